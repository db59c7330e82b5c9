// Evaluations per second of typical search-dialog criteria on a repository of 200,000 entries.
//   filter_bench [entries] [passes] [criterion...]   (further criteria replace the built-in ones)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dyxcore/filter.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const int passes = argc > 2 ? std::atoi(argv[2]) : 5;
  static const char* const kExtensions[] = {"doc", "txt", "jpg", "DOC", "cpp", "h", "pdf", "TXT"};

  DyxEntryRepository repository("filter_bench", count);
  std::vector<const DyxEntry*> entries;
  entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string dir = "/home/user/projects/area" + std::to_string(i % 500);
    const std::string name = "document_number_" + std::to_string(i) + "." +
                             kExtensions[i % (sizeof(kExtensions) / sizeof(kExtensions[0]))];
    DyxEntry* entry = repository.createEntry(name, dir, false);
    if (entry == nullptr) break;
    entry->setSize(i * 37);
    entries.push_back(entry);
  }

  std::vector<std::string> criteria = {
      "$Name like \"*.doc\" or $Ext=\"txt\"",
      "$Name = \"document_number_42.doc\"",
      "$Size > 1000000 and $Ext != \"jpg\"",
      "not $Name [like \"*.TXT\" xor $Name < \"document_number_5\"",
  };
  if (argc > 3) criteria.assign(argv + 3, argv + argc);
  for (const std::string& criterion : criteria) {
    auto start = std::chrono::steady_clock::now();
    DyxFilter filter(criterion);
    const double parseSeconds = secondsSince(start);

    std::size_t matches = 0;
    start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < passes; ++pass) {
      for (const DyxEntry* entry : entries) matches += filter.evaluate(*entry) ? 1 : 0;
    }
    const double seconds = secondsSince(start);
    const double evaluations = static_cast<double>(entries.size()) * passes;
    std::printf(
        "%-60s %12.0f evaluations/s  (%zu entries x %d passes, %zu matches, parse %.1f us)\n",
        criterion.c_str(), evaluations / seconds, entries.size(), passes,
        matches / static_cast<std::size_t>(passes > 0 ? passes : 1), parseSeconds * 1e6);
  }
  return 0;
}
