// Entry repository files "<key>.txt" and "<key>.data", as a crash, a full disk or a hand edit may
// leave them. The input is the text file, then the line "@@DATA@@", then the data file (no such
// line: no data file). The repository is loaded, its entries read, saved and loaded again (it
// must come back equal), and restored into a pool of its own, which is then cleared.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kSlots = 64;
constexpr std::string_view kDataMark = "\n@@DATA@@\n";

void checkEqual(const DyxEntryRepository& a, const DyxEntryRepository& b) {
  if (a.textCount() != b.textCount()) quarryfuzz::fail("texts were lost or made up by a save");
  for (std::uint32_t key = 1; key <= a.textCount(); ++key) {
    if (a.textOf(key) != b.textOf(key)) quarryfuzz::fail("a text changed in a save");
  }
  if (a.directoryFlags() != b.directoryFlags()) quarryfuzz::fail("the directory list changed");
  if (a.getUsed() != b.getUsed()) quarryfuzz::fail("the number of slots changed in a save");
  if (a.slotCount() != b.slotCount()) quarryfuzz::fail("the capacity changed in a save");
  unsigned char ra[DyxEntry::kRecordBytes];
  unsigned char rb[DyxEntry::kRecordBytes];
  for (std::size_t slot = 0; slot < a.getUsed(); ++slot) {
    a.entryAt(slot)->toRecord(ra);
    b.entryAt(slot)->toRecord(rb);
    if (std::memcmp(ra, rb, sizeof ra) != 0) quarryfuzz::fail("an entry changed in a save");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::startEngine();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t mark = input.find(kDataMark);
  quarryfuzz::writeFile("fuzzrepo.txt", input.substr(0, mark));
  std::remove("fuzzrepo.data");
  if (mark != std::string_view::npos) {
    quarryfuzz::writeFile("fuzzrepo.data", input.substr(mark + kDataMark.size()));
  }

  DyxEntryRepository repository("fuzzrepo", kSlots);
  if (!repository.load()) return 0;
  DyxEngineLock lock;
  for (std::size_t slot = 0; slot < repository.getUsed(); ++slot) {
    const DyxEntry* entry = repository.entryAt(slot);
    if (entry == nullptr) quarryfuzz::fail("a slot below the used count is missing");
    if (entry->isFree()) continue;
    (void)entry->getName();
    (void)entry->getFullName();
    (void)entry->getExtension();
    (void)entry->getStatusText();
    (void)entry->getMTime().toString();
  }
  if (!repository.save()) quarryfuzz::fail("a loaded repository could not be saved");
  DyxEntryRepository again("fuzzrepo", kSlots);
  if (!again.load()) quarryfuzz::fail("a saved repository could not be loaded");
  if (quarryfuzz::strict()) checkEqual(repository, again);
  lock.unlock();

  // The pool scans and waits for threads: it is used without the engine lock.
  DyxPhysicalDirs pool;
  again.restore(pool);
  pool.clear();
  return 0;
}
