#include "dyxcore/savedindex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/frontend.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/platform.h"
#include "dyxcore/xentryrep.h"
#include "support/testutil.h"

namespace fs = std::filesystem;

namespace {

// A working directory (the engine's current directory) and a tree of four folders.
class SavedIndexEngineTest : public ::testing::Test {
 protected:
  SavedIndexEngineTest() : m_cwd(m_work.path()) {}
  void SetUp() override {
    quarrytest::writeFile(m_tree / "a.txt", "a");
    quarrytest::writeFile(m_tree / "one/b.txt", "b");
    quarrytest::writeFile(m_tree / "two/c.txt", "c");
    quarrytest::makeDirs(m_tree / "two/empty");
  }
  // A parse as the front ends run it, the engine left running; `complete` as a parse that ran
  // to its end says.
  void startParse(const std::string& dir, bool complete, const std::string& criterion = "") {
    DyxFrontEnd::startEngine();
    DyxFrontEnd::clearPool();
    DyxFrontEnd::selectView("Location");
    DyxParseResult result;
    DyxFrontEnd::scanDirectory(dir, true, criterion, result);
    ASSERT_TRUE(result.scanned);
    if (complete) DyxSavedIndex::setComplete(true);
  }
  void parse(const std::string& dir, bool complete, const std::string& criterion = "") {
    startParse(dir, complete, criterion);
    DyxFrontEnd::stopEngine();
  }
  std::size_t liveEntries(const std::string& name) {
    DyxEngineLock lock;
    const DyxEntryRepository* repo = DyxEntryRepository::findRepository(name);
    return repo != nullptr ? repo->liveCount() : 0;
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
  quarrytest::CwdGuard m_cwd;
};

}  // namespace

// The index's folder lines in reverse order, after a first line for the parse's folder with
// a time it never had: a file written by hand. The later line of a folder holds.
void shuffleIndex(const fs::path& index) {
  std::istringstream in(quarrytest::readFile(index.string()));
  std::string head;
  std::vector<std::string> stamps;
  std::string tail;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("stamp ", 0) == 0) {
      stamps.insert(stamps.begin(), line);
    } else {
      (stamps.empty() ? head : tail) += line + "\n";
    }
  }
  // The parse's folder as the index spells it: the shortest path of its lines.
  std::string top;
  for (const std::string& line : stamps) {
    const std::string path = line.substr(line.find(' ', line.find(' ', 6) + 1) + 1);
    if (top.empty() || path.size() < top.size()) top = path;
  }
  head += "stamp 1 1 " + top + "\n";
  for (const std::string& line : stamps) head += line + "\n";
  quarrytest::writeFile(index.string(), head + tail);
}

// The saved time of each folder makes the update pass read only what changed; when the
// repository files are not the ones the index was saved with, no time is trusted.
TEST_F(SavedIndexEngineTest, TheUpdatePassReadsOnlyTheFoldersThatChanged) {
  struct Case {
    const char* label;
    bool replacePair;      // the data file written again after the save (same bytes, another time)
    bool shuffled;         // the index's folder lines out of order, one folder listed twice
    std::size_t restored;  // folders restored: without the index's list, those holding entries
    std::size_t read;      // folders the pass reads
  };
  const Case cases[] = {
      {"saved times hold", false, false, 4, 1},
      {"repository files from another save", true, false, 3, 3},
      {"index lines out of order", false, true, 4, 1},
  };
  for (const Case& c : cases) {
    parse(m_tree.path(), true);
    quarrytest::writeFile(m_tree / "one/new.txt", "n");
    if (c.replacePair) {
      const fs::path data = m_work / "lastparse.data";
      fs::last_write_time(data, fs::last_write_time(data) + std::chrono::seconds(1));
    }
    if (c.shuffled) shuffleIndex(m_work / "lastparse.index");
    DyxFrontEnd::startEngine();
    const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
    ASSERT_TRUE(info.found) << c.label;
    EXPECT_EQ(info.dir, m_tree.path()) << c.label;
    ASSERT_TRUE(DyxSavedIndex::restore(info, DyxRestoreOptions())) << c.label;
    EXPECT_EQ(liveEntries("lastparse"), 3u) << c.label;
    EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), c.restored) << c.label;
    const DyxIndexUpdate pass = DyxSavedIndex::update(nullptr);
    EXPECT_EQ(pass.directoriesRead, c.read) << c.label;
    // Every folder read again finds the sub-folders the restore did not make.
    EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 4u) << c.label;
    EXPECT_TRUE(pass.changed) << c.label;
    EXPECT_EQ(liveEntries("lastparse"), 4u) << c.label;
    DyxFrontEnd::stopEngine();
    fs::remove(m_tree / "one/new.txt");
  }
}

// A folder name with a backslash or a line end is escaped in its index line: the restore finds
// the saved time of each such folder, and the update pass reads none of them again.
TEST_F(SavedIndexEngineTest, FoldersWithEscapedNamesKeepTheirSavedTimes) {
  if (dyxplatform::kPathSeparator != '/') GTEST_SKIP() << "such names exist on Linux alone";
  for (const char* odd : {"back\\slash", "line\nfeed", "carriage\rreturn", "all\\n\r\n\\"}) {
    quarrytest::writeFile(m_tree / (std::string(odd) + "/f.txt"), "f");
  }
  parse(m_tree.path(), true);
  quarrytest::writeFile(m_tree / "one/new.txt", "n");
  DyxFrontEnd::startEngine();
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
  ASSERT_TRUE(info.found);
  ASSERT_TRUE(DyxSavedIndex::restore(info, DyxRestoreOptions()));
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 8u);
  const DyxIndexUpdate pass = DyxSavedIndex::update(nullptr);
  EXPECT_EQ(pass.directoriesRead, 1u);
  EXPECT_EQ(liveEntries("lastparse"), 8u);
  DyxFrontEnd::stopEngine();
}

TEST_F(SavedIndexEngineTest, AParseThatDidNotFinishKeepsTheIndexOfTheLastOneThatDid) {
  parse(m_tree.path(), true);
  parse(m_tree / "one", false);
  EXPECT_EQ(DyxSavedIndex::read(DyxSavedIndex::kDefaultName).dir, m_tree.path());
  parse(m_tree / "one", true);
  EXPECT_EQ(DyxSavedIndex::read(DyxSavedIndex::kDefaultName).dir, m_tree / "one");
}

// The engine's own start-up still resets the pool to the current path map and restores its
// repository; the front ends' start-up loads nothing, and their parse becomes the path map's.
TEST_F(SavedIndexEngineTest, OnlyTheEnginesOwnStartUpRestoresThePathMap) {
  quarrytest::writeFile(m_work / "conf/pref.ini", "CurrentPathMap \"home\"\n");
  quarrytest::writeFile(m_work / "conf/home.fpm", "");
  parse(m_tree.path(), true);
  EXPECT_EQ(quarrytest::readFile(m_work / "conf/home.fpm"), "\"" + m_tree.path() + "\" Yes\n");
  EXPECT_TRUE(fs::exists(m_work / "home.index"));

  DyxFrontEnd::startEngine();
  EXPECT_EQ(DyxEntryRepository::findRepository("home"), nullptr);
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 0u);
  DyxFrontEnd::stopEngine();
  // Nothing was open: the saved files are as they were.
  EXPECT_TRUE(DyxSavedIndex::read("home").found);

  Dyx::initialize();
  EXPECT_EQ(liveEntries("home"), 3u);
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 3u);  // the folders that hold entries
  Dyx::shutdown();
}

// What was parsed is read from the head of the index, which a long criterion may carry past a
// first read; an index without its last line was cut short and is not trusted.
TEST_F(SavedIndexEngineTest, TheParsedFieldsComeFromTheHeadOfAWholeIndex) {
  std::string criterion = "$Size >= 0";
  while (criterion.size() < 9000) criterion += " and $Size >= 0";
  parse(m_tree.path(), true, criterion);
  const std::string file = m_work / DyxSavedIndex::indexFileOf(DyxSavedIndex::kDefaultName);
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::kDefaultName);
  ASSERT_TRUE(info.found);
  EXPECT_EQ(info.dir, m_tree.path());
  EXPECT_TRUE(info.recursive);
  EXPECT_EQ(info.criterion, criterion);
  EXPECT_GT(info.savedAt, 0);

  const std::string text = quarrytest::readFile(file);
  ASSERT_TRUE(text.ends_with("\nend\n"));
  quarrytest::writeFile(file, text.substr(0, text.size() - 4));
  EXPECT_FALSE(DyxSavedIndex::read(DyxSavedIndex::kDefaultName).found);
}

// A program that ends right after its answer stops the engine without freeing it: its parse is
// saved all the same, and a full stop may still follow.
TEST_F(SavedIndexEngineTest, AStopThatLeavesTheMemoryStandingStillSavesTheParse) {
  startParse(m_tree.path(), true);
  if (HasFatalFailure()) return;
  DyxFrontEnd::stopEngine(DyxFrontEnd::EngineEnd::kSaveOnly);
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 4u);  // nothing was freed
  DyxFrontEnd::stopEngine();

  DyxFrontEnd::startEngine();
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
  ASSERT_TRUE(info.found);
  EXPECT_EQ(info.dir, m_tree.path());
  ASSERT_TRUE(DyxSavedIndex::restore(info, DyxRestoreOptions()));
  EXPECT_EQ(liveEntries("lastparse"), 3u);
  DyxFrontEnd::stopEngine();
}

// A save of what the last save wrote writes nothing (a window saves when its parse ends and
// again when it closes); a change in the tree, or an index file replaced behind the engine's
// back, is written.
TEST_F(SavedIndexEngineTest, ASaveOfUnchangedContentWritesNothing) {
  const fs::path index = m_work / "lastparse.index";
  // A file written again is a new file with another write time (Windows tells no file number
  // by path, and two writes may share a tick of the clock).
  const auto writeTime = [&index]() {
    dyxplatform::FileInfo info;
    EXPECT_EQ(dyxplatform::readFileInfo(index.string(), info), dyxplatform::FileInfoResult::kOk);
    return std::pair(info.lastWriteTime, info.fileIndex);
  };
  startParse(m_tree.path(), true);
  if (HasFatalFailure()) return;

  ASSERT_TRUE(DyxSavedIndex::save());
  const auto first = writeTime();
  ASSERT_TRUE(DyxSavedIndex::save());
  EXPECT_EQ(writeTime(), first) << "unchanged content";

  quarrytest::writeFile(m_tree / "two/new.txt", "n");
  EXPECT_TRUE(DyxSavedIndex::update(nullptr).changed);
  ASSERT_TRUE(DyxSavedIndex::save());
  const auto changed = writeTime();
  EXPECT_NE(changed, first) << "a file added";

  fs::last_write_time(index, fs::last_write_time(index) - std::chrono::seconds(5));
  const auto touched = writeTime();
  ASSERT_TRUE(DyxSavedIndex::save());
  EXPECT_NE(writeTime(), touched) << "the index file touched";
  DyxFrontEnd::stopEngine();

  DyxFrontEnd::startEngine();
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
  ASSERT_TRUE(info.found);
  ASSERT_TRUE(DyxSavedIndex::restore(info, DyxRestoreOptions()));
  EXPECT_EQ(liveEntries("lastparse"), 4u);
  DyxFrontEnd::stopEngine();
}

TEST(SavedIndexRepository, ClearingContentIsRefusedWhileAnEntryLives) {
  DyxEntryRepository repo("clear-test", 8);
  DyxEntry* entry = repo.createEntry("a.txt", "/d", false);
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(repo.clearContent());
  EXPECT_EQ(repo.textCount(), 2u);
  repo.freeEntry(entry);
  EXPECT_TRUE(repo.clearContent());
  EXPECT_EQ(repo.textCount(), 0u);
  EXPECT_TRUE(repo.directoryFlags().empty());
  EXPECT_TRUE(repo.isEmpty());
}
