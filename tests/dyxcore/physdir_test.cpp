// The scan of one directory on real temporary trees: what it files, what it reports to the views,
// how a filter, an observer and a full repository shape it, and how it survives hostile trees.
#include "dyxcore/physdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/portable.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/notice.h"
#include "pool_testing.h"

namespace {

// Readers of a directory that take the engine lock for the one read: nothing else runs here.
DyxEntry* entryOf(const DyxPhysicalDirectory& dir, const std::string& name) {
  DyxEngineLock lock;
  return dir.findEntry(name);
}
std::size_t countOf(const DyxPhysicalDirectory& dir) {
  DyxEngineLock lock;
  return dir.entryCount();
}

using pooltest::names;
using quarrytest::writeFile;
using Counts = std::map<std::string, int>;

class PhysDirTest : public ::testing::Test {
 protected:
  void TearDown() override {
    m_pool.clear();
    DyxEntryRepository::deleteAllRepositories();
    DyxEntryRepository::setSlotLimit(0);
  }
  // A pooled directory of the pool (whose repository key is "").
  std::unique_ptr<DyxPhysicalDirectory> makeDir(const std::string& path, bool recursive = false) {
    return std::make_unique<DyxPhysicalDirectory>(DyxPath(path), recursive, &m_pool);
  }

  quarrytest::TempDir m_tmp;
  pooltest::RecordingNotifier m_views;
  DyxPhysicalDirs m_pool;
};

// Stops after a given number of names; records the directories it was told about.
class StoppingObserver final : public DyxScanObserver {
 public:
  explicit StoppingObserver(int namesBeforeStop) : m_left(namesBeforeStop) {}
  bool entryFiled(DyxViewFolder*, DyxEntry*) override { return true; }
  bool isStopRequested(bool&) override { return --m_left <= 0; }
  void directoryStarted(const std::string& path) override { started.push_back(path); }
  std::vector<std::string> started;

 private:
  int m_left;
};

TEST_F(PhysDirTest, NewChangedAndVanishedFilesAreEachReportedOnce) {
  writeFile(m_tmp / "a.txt", "a");
  writeFile(m_tmp / "b.txt", "bb");
  writeFile(m_tmp / "c.txt", "ccc");
  quarrytest::makeDirs(m_tmp / "sub");
  auto dir = makeDir(m_tmp.path());

  EXPECT_TRUE(dir->scan(false, nullptr, nullptr));
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(m_views.added(), (Counts{{"a.txt", 1}, {"b.txt", 1}, {"c.txt", 1}}));
  EXPECT_EQ(entryOf(*dir, "c.txt")->getSize(), 3u);
  EXPECT_EQ(entryOf(*dir, "sub"), nullptr) << "a sub-directory never becomes an entry";

  m_views.reset();
  writeFile(m_tmp / "b.txt", "bbbbbbb");
  pooltest::shiftWriteTime(m_tmp / "b.txt", -30);
  std::filesystem::remove(m_tmp / "c.txt");
  writeFile(m_tmp / "d.txt", "d");
  EXPECT_TRUE(dir->scan(false, nullptr, nullptr));
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"a.txt", "b.txt", "d.txt"}));
  EXPECT_EQ(m_views.added(), (Counts{{"d.txt", 1}}));
  EXPECT_EQ(m_views.changed(), (Counts{{"b.txt", 1}}));
  EXPECT_EQ(m_views.removed(), (Counts{{"c.txt", 1}}));
  EXPECT_EQ(entryOf(*dir, "b.txt")->getSize(), 7u);
  EXPECT_EQ(dir->repository().liveCount(), 3u) << "the vanished file's slot is free again";

  m_views.reset();
  EXPECT_FALSE(dir->scan(false, nullptr, nullptr)) << "nothing changed";
  EXPECT_EQ(m_views.total(), 0);
}

TEST_F(PhysDirTest, RefusedFileTakesNoSlotAndALaterUpdateAddsIt) {
  writeFile(m_tmp / "keep.txt", "x");
  writeFile(m_tmp / "drop.log", "y");
  auto dir = makeDir(m_tmp.path());
  DyxFilter onlyText("$Ext = txt");

  dir->scan(false, nullptr, &onlyText);
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"keep.txt"}));
  EXPECT_EQ(dir->repository().liveCount(), 1u);

  // The update path scans without filter.
  EXPECT_TRUE(dir->doUpdate(true, false));
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"drop.log", "keep.txt"}));
  EXPECT_EQ(m_views.added(), (Counts{{"drop.log", 1}, {"keep.txt", 1}}));
}

TEST_F(PhysDirTest, FilterJudgesTheFileAsItIsOnDisk) {
  // A new entry is read before the filter sees it, so size criteria work on a first scan.
  writeFile(m_tmp / "big.bin", std::string(5000, 'x'));
  writeFile(m_tmp / "small.bin", "x");
  auto dir = makeDir(m_tmp.path());
  DyxFilter bigOnly("$Size > 1000");
  dir->scan(false, nullptr, &bigOnly);
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"big.bin"}));
}

TEST_F(PhysDirTest, FilterWithoutExpressionRefusesEveryFile) {
  writeFile(m_tmp / "a", "1");
  writeFile(m_tmp / "b", "2");
  auto dir = makeDir(m_tmp.path());
  DyxFilter none;
  EXPECT_FALSE(dir->scan(false, nullptr, &none));
  EXPECT_EQ(countOf(*dir), 0u);
  EXPECT_EQ(dir->repository().liveCount(), 0u);
}

TEST_F(PhysDirTest, ObserverStopAfterFirstNameLeavesTheRestAndRemovesNothing) {
  for (const char* n : {"a", "b", "c", "d"}) writeFile(m_tmp / n, n);
  auto dir = makeDir(m_tmp.path());
  dir->scan(false, nullptr, nullptr);
  ASSERT_EQ(countOf(*dir), 4u);

  std::filesystem::remove(m_tmp / "b");
  std::filesystem::remove(m_tmp / "c");
  writeFile(m_tmp / "e", "e");
  writeFile(m_tmp / "f", "f");
  m_views.reset();
  StoppingObserver stopAtOnce(1);
  dir->scan(false, &stopAtOnce, nullptr);
  EXPECT_EQ(stopAtOnce.started, (std::vector<std::string>{m_tmp.path()}));
  // Exactly one name of the listing was handled; nothing vanished was removed.
  EXPECT_EQ(m_views.removed().size(), 0u);
  EXPECT_LE(m_views.added().size(), 1u);
  EXPECT_GE(countOf(*dir), 4u);
  EXPECT_LE(countOf(*dir), 5u);
  EXPECT_TRUE(entryOf(*dir, "b") != nullptr && entryOf(*dir, "c") != nullptr);
  // The stopped scan stored the time stamp; a forced update completes the work.
  EXPECT_TRUE(dir->doUpdate(true, false));
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"a", "d", "e", "f"}));
}

TEST_F(PhysDirTest, RepositoryThatCannotGrowLeavesFilesOutWithOneNoticeAndTheScanGoesOn) {
  DyxEntryRepository::deleteRepository("");
  const std::size_t saved = DyxEntryRepository::defaultCapacity();
  DyxEntryRepository::setDefaultCapacity(2);
  DyxEntryRepository::setSlotLimit(2);  // no block can be added
  KxNotices::clear();
  for (const char* n : {"a", "b", "c", "d"}) writeFile(m_tmp / ("d/" + std::string(n)), n);
  auto dir = makeDir(m_tmp / "d");
  std::vector<std::string> missing;
  {
    pooltest::TraceCapture trace;
    pooltest::ActivityCapture activity(m_tmp / "activity.log");
    dir->scan(false, nullptr, nullptr);
    ASSERT_EQ(countOf(*dir), 2u);
    for (const char* n : {"a", "b", "c", "d"}) {
      if (entryOf(*dir, n) == nullptr) missing.push_back(n);
    }
    ASSERT_EQ(missing.size(), 2u);
    for (const std::string& n : missing) {
      EXPECT_TRUE(trace.contains("Cannot allocate the entry: " + n)) << trace.text();
    }
    // The activity log hears of it once, with the count, when the notices are taken.
    EXPECT_EQ(activity.text(), "");
    const std::vector<KxNotice> notices = KxNotices::take();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, KxNoticeKind::kLeftOut);
    EXPECT_EQ(notices[0].count, 2u);
    EXPECT_EQ(activity.text(), "ERROR: " + notices[0].text() + "\n");
  }
  // A file that vanishes frees its slot at the end of the next scan (the vanished are found
  // last), and a file that did not fit gets it at the scan after.
  std::string gone;
  {
    DyxEngineLock lock;
    gone = dir->sortedEntries().front()->getName();
  }
  std::filesystem::remove(m_tmp / ("d/" + gone));
  dir->scan(false, nullptr, nullptr);
  {
    DyxEngineLock lock;
    EXPECT_EQ(entryOf(*dir, gone), nullptr);
  }
  dir->scan(false, nullptr, nullptr);
  {
    DyxEngineLock lock;
    EXPECT_EQ(countOf(*dir), 2u);
    EXPECT_TRUE(entryOf(*dir, missing[0]) != nullptr || entryOf(*dir, missing[1]) != nullptr);
  }
  // Once the repository may grow, the next scan lists every file.
  DyxEntryRepository::setSlotLimit(0);
  DyxEntryRepository::setDefaultCapacity(saved);
  dir->scan(false, nullptr, nullptr);
  {
    DyxEngineLock lock;
    EXPECT_EQ(countOf(*dir), 3u);
  }
  EXPECT_EQ(KxNotices::take().size(), 1u);  // the scans under the limit still left one out
}

TEST_F(PhysDirTest, StandAloneDirectoryNeverTellsTheViews) {
  writeFile(m_tmp / "x.fpm", "");
  writeFile(m_tmp / "y.fpm", "");
  {
    DyxStandAlonePhysicalDirectory dir(DyxPath(m_tmp.path()), false);
    EXPECT_TRUE(dir.isStandAlone());
    EXPECT_EQ(dir.repositoryKey(), "0");
    EXPECT_TRUE(dir.update(true, false));
    EXPECT_EQ(names(dir), (std::vector<std::string>{"x.fpm", "y.fpm"}));
    EXPECT_EQ(DyxEntryRepository::getRepository("0").liveCount(), 2u);
  }
  EXPECT_EQ(m_views.total(), 0);
  EXPECT_EQ(DyxEntryRepository::getRepository("0").liveCount(), 0u) << "destruction frees";
}

TEST_F(PhysDirTest, UnlistableDirectoryThrowsZeroAndKeepsItsEntries) {
  auto empty = makeDir("");
  EXPECT_THROW(empty->scan(false, nullptr, nullptr), int);

  writeFile(m_tmp / "d/a", "a");
  auto dir = makeDir(m_tmp / "d");
  dir->scan(false, nullptr, nullptr);
  std::filesystem::remove_all(m_tmp / "d");
  pooltest::TraceCapture trace;
  try {
    dir->scan(false, nullptr, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (int e) {
    EXPECT_EQ(e, 0);
  }
  // The listing's own message, not only the time stamp's "Cannot open directory: <path>".
  EXPECT_TRUE(trace.contains("Cannot open directory\n")) << trace.text();
  EXPECT_TRUE(trace.contains("Throwing 0 exception.")) << trace.text();
  EXPECT_EQ(countOf(*dir), 1u);
  EXPECT_FALSE(dir->getMTime().isSet()) << "a directory that cannot be looked up has no stamp";
  EXPECT_FALSE(dir->isUpToDate());
}

TEST_F(PhysDirTest, TimeStampFollowsTheDirectoryContent) {
  writeFile(m_tmp / "a", "a");
  auto dir = makeDir(m_tmp.path());
  EXPECT_FALSE(dir->isUpToDate()) << "never scanned";
  dir->doUpdate(false, false);
  EXPECT_TRUE(dir->isUpToDate());
  m_views.reset();
  EXPECT_FALSE(dir->doUpdate(false, false));
  EXPECT_EQ(m_views.total(), 0);
  // A name added within the same 429.5-second interval is still noticed by the next poll.
  writeFile(m_tmp / "b", "b");
  EXPECT_FALSE(dir->isUpToDate());
  EXPECT_TRUE(dir->doUpdate(false, false));
  EXPECT_EQ(m_views.added(), (Counts{{"b", 1}}));
}

TEST_F(PhysDirTest, HostileNamesNeitherBlockNorBreakTheScan) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("FIFOs, symbolic links and names that are not UTF-8");
  const std::string d = m_tmp.path();
  ASSERT_TRUE(quarrytest::makeFifo(d + "/fifo"));
  std::filesystem::create_symlink(d, d + "/loop");
  std::filesystem::create_symlink(d + "/missing", d + "/dangling");
  writeFile(d + "/line\nbreak", "n");
  writeFile(d + "/>arrow", "g");
  writeFile(d + "/bad\xff\xfe", "u");
  quarrytest::makeDirs(d + "/sub/deeper");
  DyxPhysicalDirectory dir(DyxPath(d), true, &m_pool);
  m_pool.setFilter("true");
  dir.scan(true, nullptr, nullptr);
  EXPECT_EQ(names(dir), (std::vector<std::string>{">arrow", "bad\xff\xfe", "dangling", "fifo",
                                                  "line\nbreak", "loop"}));
  EXPECT_EQ(entryOf(dir, "dangling")->getStatus(), kStatusIOError);
  // The link to an ancestor is an entry, never followed: the recursion added sub and deeper.
  {
    DyxEngineLock lock;
    EXPECT_NE(m_pool.findPhysicalDirectory(d + "/sub/deeper"), nullptr);
    EXPECT_EQ(m_pool.findPhysicalDirectory(d + "/loop"), nullptr);
  }
}

TEST_F(PhysDirTest, DirectoryDeletedDuringItsScan) {
  for (int i = 0; i < 50; ++i) writeFile(m_tmp / ("d/f" + std::to_string(i)), "x");
  const std::string d = m_tmp / "d";
  // The observer deletes the whole directory after the first name.
  class Deleter final : public DyxScanObserver {
   public:
    explicit Deleter(std::string dir) : m_dir(std::move(dir)) {}
    bool entryFiled(DyxViewFolder*, DyxEntry*) override { return true; }
    bool isStopRequested(bool&) override {
      std::error_code ec;
      std::filesystem::remove_all(m_dir, ec);
      return false;
    }
    void directoryStarted(const std::string&) override {}

   private:
    std::string m_dir;
  } deleter(d);
  auto dir = makeDir(d);
  EXPECT_NO_THROW(dir->scan(false, &deleter, nullptr));
  // Whatever the listing still gave became an entry; the next scan cannot list it any more.
  EXPECT_THROW(dir->scan(false, nullptr, nullptr), int);
  dir->clearEntries();
  EXPECT_EQ(dir->repository().liveCount(), 0u);
}

TEST_F(PhysDirTest, CollectRemoveAndDump) {
  for (const char* n : {"Alpha.TXT", "beta.txt", "gamma.log"}) writeFile(m_tmp / n, "x");
  auto dir = makeDir(m_tmp.path());
  dir->scan(false, nullptr, nullptr);

  std::vector<DyxEntry*> found;
  dir->collectEntries(found, DyxPattern("*.TXT"), false);
  ASSERT_EQ(found.size(), 2u) << "case-insensitive: the upper-case name is matched";
  EXPECT_EQ(found[0]->getName(), "Alpha.TXT");
  dir->collectEntries(found, DyxPattern("*.txt"), true);
  ASSERT_EQ(found.size(), 3u) << "appended, not cleared";
  EXPECT_EQ(found[2]->getName(), "beta.txt");

  std::ostringstream dump;
  dir->dump(dump);
  EXPECT_EQ(dump.str().find("------------------ pdir ----------------------------\nname: \"" +
                            m_tmp.path() + "\", nb: 3, sa: false, rc: false, up: true\n"),
            0u)
      << dump.str();

  pooltest::TraceCapture trace;
  dir->removeEntry(nullptr);
  EXPECT_TRUE(trace.contains("The entry is null.")) << trace.text();
  DyxEntry* beta = entryOf(*dir, "beta.txt");
  dir->removeEntry(beta);
  EXPECT_TRUE(trace.contains("Removed beta.txt")) << trace.text();
  EXPECT_EQ(entryOf(*dir, "beta.txt"), nullptr);
  EXPECT_EQ(dir->repository().liveCount(), 2u);
  EXPECT_EQ(m_views.removed().size(), 0u) << "removeEntry does not tell the views";

  dir->clearEntries();
  EXPECT_EQ(countOf(*dir), 0u);
  EXPECT_EQ(m_views.removed(), (Counts{{"Alpha.TXT", 1}, {"gamma.log", 1}}));
  EXPECT_FALSE(dir->getStoredTimeStamp().isSet());
}

// A restore files a directory's entries as a plain list; the scan that follows finds them by
// name. One it missed would be filed a second time (two slots for one file), and one whose
// file vanished would stay.
TEST_F(PhysDirTest, RestoredDirectoryIsScannedAndLookedUpAsAScannedOne) {
  for (const char* n : {"a.txt", "b.txt", "c.txt"}) writeFile(m_tmp / n, "x");
  auto dir = makeDir(m_tmp.path());
  std::vector<DyxEntry*> saved;
  for (const char* n : {"c.txt", "a.txt", "b.txt"}) {
    saved.push_back(dir->repository().createEntry(n, dir->getDirName(), false));
  }
  dir->attachEntries(saved);
  {
    DyxEngineLock lock;
    EXPECT_EQ(dir->unsortedEntries(), saved) << "listed in the order given";
    EXPECT_EQ(dir->entryCount(), 3u);
  }
  std::filesystem::remove(m_tmp / "c.txt");
  writeFile(m_tmp / "d.txt", "x");
  EXPECT_TRUE(dir->scan(false, nullptr, nullptr));
  EXPECT_EQ(names(*dir), (std::vector<std::string>{"a.txt", "b.txt", "d.txt"}));
  EXPECT_EQ(m_views.added(), (Counts{{"d.txt", 1}}));
  EXPECT_EQ(m_views.removed(), (Counts{{"c.txt", 1}}));
  EXPECT_EQ(dir->repository().liveCount(), 3u);
  EXPECT_EQ(entryOf(*dir, "a.txt"), saved[1]);
  EXPECT_EQ(entryOf(*dir, "c.txt"), nullptr);
}

}  // namespace

namespace {

// Entries adopted as a list answer every reader as inserted ones would, before and after the
// first lookup makes the table; a name given twice ends as insert leaves it (the later entry).
// Consecutive slots are kept as their run, others as a list, which a run broken half-way
// becomes.
TEST(PhysDirNameTableTest, AdoptedListAnswersAsATable) {
  DyxEntryRepository repository("listed", 4);
  std::vector<DyxEntry*> entries;
  for (int i = 0; i < 40; ++i) {
    entries.push_back(repository.createEntry("n" + std::to_string((i * 17) % 40)));
  }
  DyxEntry* twin = repository.createEntry("n3");
  // Each reader first: the one that makes the table decides what the others meet.
  for (const bool run : {true, false}) {
    for (const char* first : {"find", "insert", "erase", "sorted"}) {
      SCOPED_TRACE(std::string(first) + (run ? ", a run" : ", a list"));
      DyxPhysicalDirectory::NameTable table;
      std::vector<DyxEntry*> given = entries;
      // The twin's slot follows the others': in the middle it breaks the run.
      given.insert(run ? given.end() : given.begin() + 20, twin);
      ASSERT_TRUE(table.adopt(given));
      EXPECT_EQ(table.unsorted(), given) << "no name read yet";
      DyxEntry* extra = repository.createEntry("extra");
      if (first == std::string("find")) {
        EXPECT_EQ(table.find("n3"), twin);
      } else if (first == std::string("insert")) {
        EXPECT_EQ(table.insert(extra), nullptr);
      } else if (first == std::string("erase")) {
        EXPECT_TRUE(table.erase(entries[0]));
        EXPECT_TRUE(table.insert(entries[0]) == nullptr);
      } else {
        EXPECT_EQ(table.sorted().size(), 41u) << "the list as it stands";
      }
      if (first != std::string("insert")) table.insert(extra);
      EXPECT_EQ(table.size(), 41u) << "the earlier n3 is replaced by its twin";
      for (int i = 0; i < 40; ++i) {
        const std::string name = "n" + std::to_string(i);
        EXPECT_EQ(table.find(name), name == "n3" ? twin : entries[(i * 33) % 40]) << name;
      }
      EXPECT_EQ(table.find("extra"), extra);
      EXPECT_FALSE(table.erase(entries[(3 * 33) % 40])) << "the replaced n3 is no longer filed";
      repository.freeEntry(extra);
    }
  }
  // Refused whole: into a table that holds entries, or entries of two repositories.
  DyxEntryRepository other("other", 4);
  DyxEntry* stranger = other.createEntry("stranger");
  DyxPhysicalDirectory::NameTable table;
  std::vector<DyxEntry*> mixed = {entries[0], stranger};
  EXPECT_FALSE(table.adopt(mixed));
  EXPECT_TRUE(table.empty());
  ASSERT_EQ(table.insert(entries[1]), nullptr);
  std::vector<DyxEntry*> more = {entries[2]};
  EXPECT_FALSE(table.adopt(more));
  EXPECT_EQ(table.size(), 1u);
}

// The directory's name table against an ordered map, through growth and removals in every
// order: a removal that leaves a hole in a probe run would make later names unfindable. The
// table files repository slot numbers: a small first block puts the entries in several blocks.
TEST(PhysDirNameTableTest, FindsEveryNameThroughGrowthAndRemovals) {
  DyxEntryRepository repository("table", 100);
  DyxPhysicalDirectory::NameTable table;
  std::map<std::string, DyxEntry*> model;
  std::vector<DyxEntry*> entries;
  for (int i = 0; i < 3000; ++i) {
    DyxEntry* entry = repository.createEntry("name-" + std::to_string(i * 7919 % 10007));
    ASSERT_NE(entry, nullptr);
    entries.push_back(entry);
    EXPECT_EQ(table.insert(entry), nullptr);
    model[std::string(entry->getName())] = entry;
  }
  // A second entry of a name replaces the first, which is answered.
  DyxEntry* twin = repository.createEntry(entries[5]->getName());
  EXPECT_EQ(table.insert(twin), entries[5]);
  model[std::string(twin->getName())] = twin;
  EXPECT_FALSE(table.erase(entries[5]));  // no longer filed

  const auto check = [&] {
    ASSERT_EQ(table.size(), model.size());
    for (const auto& [name, entry] : model) ASSERT_EQ(table.find(name), entry) << name;
    std::vector<DyxEntry*> inOrder;
    for (const auto& [name, entry] : model) inOrder.push_back(entry);
    EXPECT_EQ(table.sorted(), inOrder);
  };
  check();
  // Every third, then the rest in reverse: holes in the middle and at the ends of probe runs.
  for (std::size_t i = 0; i < entries.size(); i += 3) {
    if (i == 5) continue;
    EXPECT_TRUE(table.erase(entries[i]));
    model.erase(std::string(entries[i]->getName()));
  }
  check();
  EXPECT_EQ(table.find("name-absent"), nullptr);
  for (std::size_t i = entries.size(); i-- > 0;) {
    if (i % 3 == 0 || i == 5) continue;
    EXPECT_TRUE(table.erase(entries[i]));
    model.erase(std::string(entries[i]->getName()));
  }
  EXPECT_TRUE(table.erase(twin));
  model.erase(std::string(twin->getName()));
  check();
  EXPECT_TRUE(table.empty());
}

// A table reads its entries in one repository: an entry of another one is not filed (it would
// be read as whichever entry has its slot number there), nor found, nor erased.
TEST(PhysDirNameTableTest, FilesTheEntriesOfOneRepositoryOnly) {
  DyxEntryRepository own("own", 8);
  DyxEntryRepository other("other", 8);
  DyxPhysicalDirectory::NameTable table;
  DyxEntry* mine = own.createEntry("mine.txt");
  DyxEntry* stranger = other.createEntry("stranger.txt");
  EXPECT_EQ(table.insert(mine), nullptr);
  EXPECT_EQ(table.insert(stranger), nullptr);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.find("stranger.txt"), nullptr);
  EXPECT_EQ(table.find("mine.txt"), mine);
  EXPECT_FALSE(table.erase(stranger));
  DyxEntry copy = *mine;  // no slot of any repository
  EXPECT_FALSE(table.erase(&copy));
  EXPECT_EQ(table.insert(&copy), nullptr);
  EXPECT_EQ(table.find("mine.txt"), mine);
  // Once empty, the table takes the entries of whichever repository comes.
  EXPECT_TRUE(table.erase(mine));
  EXPECT_EQ(table.insert(stranger), nullptr);
  EXPECT_EQ(table.find("stranger.txt"), stranger);
}

}  // namespace
