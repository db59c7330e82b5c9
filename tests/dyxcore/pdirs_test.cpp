// The directory pool on real temporary trees: recursive additions, the recursive switch, lookups,
// updates that drop deleted directories, path maps, and the restore of a saved repository.
#include "dyxcore/pdirs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/portable.h"
#include "dyxcore/xentryrep.h"
#include "pool_testing.h"

namespace {

using pooltest::names;
using quarrytest::writeFile;
using Counts = std::map<std::string, int>;
// Keys as the pool lists them: in byte order of the whole text, where the system's separator
// sorts among the other bytes ("\\" after digits, "/" before them).
struct Keys : std::vector<std::string> {
  Keys(std::initializer_list<std::string> keys) : std::vector<std::string>(keys) {
    std::sort(begin(), end());
  }
};

class PoolTest : public ::testing::Test {
 protected:
  PoolTest() : m_cwd(m_tmp.path()) {}
  void TearDown() override {
    m_pool.clear();
    DyxEntryRepository::deleteAllRepositories();
  }
  // A tree below m_tmp/root: A/a.txt, A/B/b.txt, A/B/C/c.txt, A2/z.txt.
  std::string makeTree() {
    const std::string r = m_tmp / "root";
    writeFile(r + quarrytest::nativePath("/A/a.txt"), "a");
    writeFile(r + quarrytest::nativePath("/A/B/b.txt"), "b");
    writeFile(r + quarrytest::nativePath("/A/B/C/c.txt"), "c");
    writeFile(r + quarrytest::nativePath("/A2/z.txt"), "z");
    return r;
  }

  quarrytest::TempDir m_tmp;
  quarrytest::CwdGuard m_cwd;
  pooltest::RecordingNotifier m_views;
  DyxPhysicalDirs m_pool;
};

TEST_F(PoolTest, RecursiveAddMakesEverySubDirectoryAPoolDirectory) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  EXPECT_TRUE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, true));
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A/B"),
                  r + quarrytest::nativePath("/A/B/C")}));

  DyxEngineLock lock;
  DyxPhysicalDirectory* a = m_pool.findPhysicalDirectory(r + quarrytest::nativePath("/A"));
  DyxPhysicalDirectory* b = m_pool.findPhysicalDirectory(r + quarrytest::nativePath("/A/B"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(names(*a), Keys{"a.txt"});
  EXPECT_EQ(names(*b), Keys{"b.txt"});
  DyxEntry* e = m_pool.getEntry(DyxPath(r + quarrytest::nativePath("/A/B/b.txt")));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->getDirectoryText(), r + quarrytest::nativePath("/A/B"));
  EXPECT_EQ(m_views.added(), (Counts{{"a.txt", 1}, {"b.txt", 1}, {"c.txt", 1}}));
  EXPECT_TRUE(m_pool.getPathMap().isRecursive(r + quarrytest::nativePath("/A")))
      << "mod_map records it in memory";
  EXPECT_EQ(m_pool.getPathMap().paths().size(), 1u) << "sub-directories are not recorded";
  EXPECT_TRUE(m_pool.findPhysicalDirectory(r + quarrytest::nativePath("/A/")) == a)
      << "a trailing separator is the same";
}

TEST_F(PoolTest, AddTwiceAndSwitchRecursionOnAndOff) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), false, false));
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A2"), false, false));
  m_views.reset();
  EXPECT_FALSE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), false, false));
  EXPECT_FALSE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A/"), false, false));
  EXPECT_EQ(m_views.total(), 0) << "the same directory twice changes nothing";
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A2")}));

  EXPECT_FALSE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, false))
      << "no new directory";
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A/B"),
                  r + quarrytest::nativePath("/A/B/C"), r + quarrytest::nativePath("/A2")}));
  EXPECT_EQ(m_views.added(), (Counts{{"b.txt", 1}, {"c.txt", 1}}));

  EXPECT_FALSE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), false, false));
  // Only keys below "A/" go; "A2" merely starts with the same letters.
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A2")}));
  EXPECT_EQ(m_views.removed(), (Counts{{"b.txt", 1}, {"c.txt", 1}}));
  DyxEngineLock lock;
  EXPECT_FALSE(m_pool.findPhysicalDirectory(r + quarrytest::nativePath("/A"))->isRecursive());
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 2u);
}

TEST_F(PoolTest, SubDirectoryAddedBeforeItsParentIsNotDuplicated) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A/B"), false, false));
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, false));
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A/B"),
                  r + quarrytest::nativePath("/A/B/C")}));
  EXPECT_EQ(m_views.added(), (Counts{{"a.txt", 1}, {"b.txt", 1}, {"c.txt", 1}}));
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 3u);
  DyxEngineLock lock;
  EXPECT_TRUE(m_pool.findPhysicalDirectory(r + quarrytest::nativePath("/A/B"))->isRecursive())
      << "taken into the tree";
}

TEST_F(PoolTest, FilterWithoutExpressionCreatesTheDirectoryButNoEntries) {
  const std::string r = makeTree();
  EXPECT_TRUE(m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, false));
  EXPECT_EQ(m_pool.directoryCount(), 3u);
  EXPECT_EQ(m_views.total(), 0);
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 0u);
}

TEST_F(PoolTest, AddOfAMissingDirectoryLeavesNothingButThePathMapRecord) {
  writeFile(m_tmp / "conf/m.fpm", "");
  m_pool.reset("m");
  EXPECT_FALSE(m_pool.addPhysicalDirectory(m_tmp / "nowhere", true, true));
  EXPECT_EQ(m_pool.directoryCount(), 0u);
  EXPECT_TRUE(m_pool.getPathMap().isRecursive(m_tmp / "nowhere"));
}

TEST_F(PoolTest, GetEntryMessages) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), false, false);
  pooltest::TraceCapture trace;
  DyxEngineLock lock;
  EXPECT_EQ(m_pool.getEntry(DyxPath("/a.txt")), nullptr);
  EXPECT_TRUE(trace.contains("Invalid path (depth=1).")) << trace.text();
  EXPECT_EQ(m_pool.getEntry(DyxPath(r + quarrytest::nativePath("/Q/a.txt"))), nullptr);
  EXPECT_TRUE(
      trace.contains("No physical directory with name: \"" + r + quarrytest::nativePath("/Q\"")))
      << trace.text();
  EXPECT_TRUE(trace.contains(r + quarrytest::nativePath("/A nb=1 ()")))
      << "the short texts of the pool\n"
      << trace.text();
  EXPECT_EQ(m_pool.getEntry(DyxPath(r + quarrytest::nativePath("/A/none.txt"))), nullptr);
  EXPECT_NE(m_pool.getEntry(DyxPath(r + quarrytest::nativePath("/A/a.txt"))), nullptr);
  EXPECT_NE(m_pool.getEntry(DyxPath(r + quarrytest::nativePath("/A/./a.txt"))), nullptr)
      << "the directory's key form";
}

TEST_F(PoolTest, DeletedDirectoryLeavesThePoolAtTheNextUpdate) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, false);
  std::filesystem::remove_all(r + quarrytest::nativePath("/A/B"));
  writeFile(r + quarrytest::nativePath("/A/new.txt"), "n");
  m_views.reset();
  pooltest::ActivityCapture activity(m_tmp / "activity.log");
  pooltest::TraceCapture trace;
  EXPECT_TRUE(m_pool.doUpdate(false, true));
  EXPECT_EQ(m_pool.directoryKeys(), Keys{r + quarrytest::nativePath("/A")});
  EXPECT_TRUE(activity.contains("Updating the pool of physical directories.\n"));
  EXPECT_TRUE(activity.contains("ok. Removed directory: " + r + quarrytest::nativePath("/A/B\n")))
      << activity.text();
  EXPECT_TRUE(activity.contains("ok. Removed directory: " + r + quarrytest::nativePath("/A/B/C\n")))
      << activity.text();
  EXPECT_TRUE(trace.contains("The directory does not exist any more: " + r +
                             quarrytest::nativePath("/A/B")));
  EXPECT_EQ(m_views.removed(), (Counts{{"b.txt", 1}, {"c.txt", 1}}));
  EXPECT_EQ(m_views.added(), (Counts{{"new.txt", 1}}));
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 2u);
}

TEST_F(PoolTest, UpdateVisitsSubDirectoriesCreatedMeanwhile) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, false);
  writeFile(r + quarrytest::nativePath("/A/N/n.txt"), "n");
  m_views.reset();
  m_pool.doUpdate(false, true);
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A/B"),
                  r + quarrytest::nativePath("/A/B/C"), r + quarrytest::nativePath("/A/N")}));
  EXPECT_EQ(m_views.added(), (Counts{{"n.txt", 1}}));
  m_views.reset();
  EXPECT_FALSE(m_pool.doUpdate(false, true)) << "nothing changed since";
  EXPECT_EQ(m_views.total(), 0);
}

TEST_F(PoolTest, RemovePhysicalDirectoryRewritesThePathMap) {
  const std::string r = makeTree();
  writeFile(m_tmp / "conf/m.fpm", "");
  m_pool.reset("m");
  m_pool.setFilter("true");
  m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, true);
  m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A2"), false, true);
  pooltest::ActivityCapture activity(m_tmp / "activity.log");
  EXPECT_TRUE(m_pool.removePhysicalDirectory(r + quarrytest::nativePath("/A"), true, true));
  EXPECT_EQ(m_pool.directoryKeys(), Keys{r + quarrytest::nativePath("/A2")});
  EXPECT_TRUE(
      activity.contains("ok. Removed physical directory: " + r + quarrytest::nativePath("/A/B\n")));
  EXPECT_TRUE(
      activity.contains("ok. Removed physical directory: " + r + quarrytest::nativePath("/A\n")));
  EXPECT_EQ(quarrytest::readFile(m_tmp / "conf/m.fpm"),
            "\"" + r + quarrytest::nativePath("/A2\" No\n"));

  pooltest::TraceCapture trace;
  EXPECT_FALSE(m_pool.removePhysicalDirectory(r + quarrytest::nativePath("/A"), false, false));
  EXPECT_TRUE(trace.contains("Not in.")) << trace.text();
  EXPECT_EQ(DyxEntryRepository::getRepository("m").liveCount(), 1u);
}

TEST_F(PoolTest, ResetScansThePathMapWhenTheRepositoryIsEmpty) {
  const std::string r = makeTree();
  writeFile(m_tmp / "conf/home.fpm", "\"" + r + quarrytest::nativePath("/A\" Yes\n") + r +
                                         quarrytest::nativePath("/A2 No\n\"") + r +
                                         quarrytest::nativePath("/gone\" Yes\n"));
  m_pool.setFilter("true");
  m_pool.reset("home");
  EXPECT_EQ(m_pool.repositoryKey(), "home");
  EXPECT_EQ(m_pool.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A/B"),
                  r + quarrytest::nativePath("/A/B/C"), r + quarrytest::nativePath("/A2")}));
  EXPECT_EQ(DyxEntryRepository::getRepository("home").liveCount(), 4u);

  std::ostringstream dump;
  m_pool.dump(dump);
  const std::string text = dump.str();
  EXPECT_EQ(
      text.rfind(quarrytest::nativePath("------------------ pdir pool -----------------------\n"
                                        "------------------ path map ------------------------\n"
                                        "file: \"./conf/home.fpm\"\n"),
                 0),
      0u)
      << text;
  EXPECT_NE(text.find("pdir num: 4\n1) pdir<key>: \"" + r + quarrytest::nativePath("/A\"\n")),
            std::string::npos)
      << text;

  m_views.reset();
  m_pool.clear();
  EXPECT_EQ(m_pool.directoryCount(), 0u);
  EXPECT_EQ(m_views.wholesaleRemovals(), 1) << "the views are emptied in one go";
  EXPECT_EQ(m_views.removed().size(), 0u);
  EXPECT_EQ(m_pool.repositoryKey(), "") << "clear forgets the path map";
  EXPECT_EQ(DyxEntryRepository::getRepository("home").liveCount(), 0u);
}

TEST_F(PoolTest, RestoreWithoutScanThenTheFirstPollScansEveryDirectory) {
  const std::string r = makeTree();
  writeFile(m_tmp / "conf/home.fpm", "\"" + r + quarrytest::nativePath("/A\" Yes\n"));
  m_pool.setFilter("true");
  m_pool.reset("home");
  ASSERT_EQ(m_pool.directoryCount(), 3u);
  ASSERT_TRUE(DyxEntryRepository::getRepository("home").save());
  m_pool.clear();
  DyxEntryRepository::deleteAllRepositories();

  writeFile(r + quarrytest::nativePath("/A/B/later.txt"), "l");
  m_views.reset();
  DyxPhysicalDirs restored;
  {
    pooltest::TraceCapture trace;
    restored.reset("home");
    EXPECT_TRUE(trace.contains("A backup file exist: Restore it.")) << trace.text();
  }
  EXPECT_EQ(restored.directoryKeys(),
            (Keys{r + quarrytest::nativePath("/A"), r + quarrytest::nativePath("/A/B"),
                  r + quarrytest::nativePath("/A/B/C")}));
  EXPECT_EQ(m_views.total(), 0) << "a restore reports nothing and scans nothing";
  {
    DyxEngineLock lock;
    EXPECT_EQ(names(*restored.findPhysicalDirectory(r + quarrytest::nativePath("/A/B"))),
              Keys{"b.txt"});
    EXPECT_TRUE(restored.findPhysicalDirectory(r + quarrytest::nativePath("/A/B"))->isRecursive());
  }
  EXPECT_TRUE(restored.doUpdate(false, true));
  EXPECT_EQ(m_views.added(), (Counts{{"later.txt", 1}})) << "known files were not new";
  EXPECT_EQ(m_views.removed().size(), 0u);
  m_views.reset();
  EXPECT_FALSE(restored.doUpdate(false, true)) << "each restored directory is up to date now";
  restored.clear();
}

TEST_F(PoolTest, EntriesOfADirectoryStillBeingAddedAreFound) {
  // The window may rebuild its view while a scan runs: the directory being added counts too.
  class Peeker final : public DyxScanObserver {
   public:
    Peeker(DyxPhysicalDirs& pool, std::string file) : m_pool(pool), m_file(std::move(file)) {}
    bool entryFiled(DyxViewFolder*, DyxEntry*) override { return true; }
    bool isStopRequested(bool&) override {
      std::vector<DyxEntry*> all;
      m_pool.collectEntries(all, true, DyxPattern(), true);
      collected = std::max(collected, all.size());
      if (m_pool.getEntry(DyxPath(m_file)) != nullptr) found = true;
      return false;
    }
    void directoryStarted(const std::string&) override {}
    std::size_t collected = 0;
    bool found = false;

   private:
    DyxPhysicalDirs& m_pool;
    std::string m_file;
  };
  for (const char* n : {"x", "y", "z"}) writeFile(m_tmp / ("d/" + std::string(n)), n);
  Peeker peeker(m_pool, m_tmp / "d/y");
  m_pool.setObserver(&peeker);
  m_pool.setFilter("true");
  ASSERT_TRUE(m_pool.addPhysicalDirectory(m_tmp / "d", false, false));
  m_pool.setObserver(nullptr);
  EXPECT_EQ(peeker.collected, 3u);
  EXPECT_TRUE(peeker.found);
}

TEST_F(PoolTest, RemovingADirectoryWhoseFirstScanRunsAbandonsItAndSaysSo) {
  class Remover final : public DyxScanObserver {
   public:
    Remover(DyxPhysicalDirs& pool, std::string dir) : m_pool(pool), m_dir(std::move(dir)) {}
    bool entryFiled(DyxViewFolder*, DyxEntry*) override { return true; }
    bool isStopRequested(bool&) override {
      if (!asked) removed = m_pool.removePhysicalDirectory(m_dir, false, false);
      asked = true;
      return false;
    }
    void directoryStarted(const std::string&) override {}
    bool asked = false;
    bool removed = false;

   private:
    DyxPhysicalDirs& m_pool;
    std::string m_dir;
  };
  for (const char* n : {"x", "y", "z"}) writeFile(m_tmp / ("d/" + std::string(n)), n);
  Remover remover(m_pool, m_tmp / "d");
  m_pool.setObserver(&remover);
  m_pool.setFilter("true");
  pooltest::ActivityCapture activity(m_tmp / "activity.log");
  pooltest::TraceCapture trace;
  EXPECT_FALSE(m_pool.addPhysicalDirectory(m_tmp / "d", false, false));
  m_pool.setObserver(nullptr);
  EXPECT_TRUE(remover.removed);
  EXPECT_FALSE(trace.contains("Not in.")) << trace.text();
  EXPECT_TRUE(activity.contains("ok. Removed physical directory: " + (m_tmp / "d") + "\n"));
  EXPECT_EQ(m_pool.directoryCount(), 0u);
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 0u);
  EXPECT_EQ(m_views.added(), m_views.removed()) << "every entry the views got leaves them";
}

TEST_F(PoolTest, CollectEntriesInKeyThenNameOrder) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  m_pool.addPhysicalDirectory(r + quarrytest::nativePath("/A"), true, false);
  std::vector<DyxEntry*> list{nullptr};
  m_pool.collectEntries(list, true, DyxPattern("*.TXT"), false);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]->getName(), "a.txt");
  EXPECT_EQ(list[2]->getName(), "c.txt");
  m_pool.collectEntries(list, false, DyxPattern("b*"), true);
  EXPECT_EQ(list.size(), 4u);
}

}  // namespace
