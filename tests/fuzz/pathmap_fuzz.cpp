// Path map files "conf/<name>.fpm": read, written back and read again. The pool writes its path
// map whenever the user adds or removes a directory, so what one read found must survive a save,
// except the paths that the line format cannot carry, which the writer refuses with a message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dyxcore/pathmap.h"
#include "fuzz_support.h"
#include "kxcore/value.h"

namespace {

// A quoted path must fit the token reader's line and hold no quote or line end, and no
// backslash may precede its closing quote.
bool carried(const std::string& text) {
  return !text.empty() && text.size() + 2 <= static_cast<std::size_t>(kKxTokenLineLimit) &&
         text.find_first_of("\"\n\r") == std::string::npos && text.back() != '\\';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::workDir();
  quarryfuzz::writeFile("conf/fuzzmap.fpm",
                        std::string_view(reinterpret_cast<const char*>(data), size));
  DyxPathMap map("fuzzmap");
  for (const auto& [path, recursive] : map.paths()) (void)map.isRecursive(path.toString());
  if (!map.save()) quarryfuzz::fail("a path map could not be written back");
  DyxPathMap again("fuzzmap");
  DyxPathMap::Paths kept;
  for (const auto& [path, recursive] : map.paths()) {
    // Compared in the printed form: a path such as "/.." prints as "..", which is the path
    // module's business, not the path map's.
    if (carried(path.toString())) kept.emplace(DyxPath(path.toString()), recursive);
  }
  if (quarryfuzz::strict() && again.paths() != kept) {
    quarryfuzz::fail("a path map changed when written and read back:\n" +
                     quarryfuzz::readFile("conf/fuzzmap.fpm"));
  }
  return 0;
}
