// The change watcher: one thread and one set of watches for every directory of a pool, however
// many; a tree that changes under a front end's following (new, removed and renamed
// directories); a system that loses events or runs out of watches.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/thread.h"
#include "dyxcore/watcher.h"
#include "dyxcore/xentryrep.h"
#include "pool_testing.h"
#include "support/fault_env.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using quarrytest::nativePath;
using quarrytest::writeFile;

template <class Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds limit = 3000ms) {
  const auto end = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void appendTo(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app) << text;
}

class WatcherTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_pool) {
      m_pool->stopNotification();
      m_pool->clear();
      m_pool.reset();
    }
    DyxEntryRepository::deleteAllRepositories();
  }
  DyxPhysicalDirs& makePool(dyxplatform::Env& env) {
    m_pool = std::make_unique<DyxPhysicalDirs>(env);
    m_pool->setFilter("true");
    return *m_pool;
  }
  bool hasEntry(const std::string& dir, const std::string& name) {
    DyxEngineLock lock;
    DyxPhysicalDirectory* d = m_pool->findPhysicalDirectory(dir);
    return d != nullptr && d->findEntry(name) != nullptr;
  }
  std::uint64_t sizeOf(const std::string& dir, const std::string& name) {
    DyxEngineLock lock;
    DyxPhysicalDirectory* d = m_pool->findPhysicalDirectory(dir);
    DyxEntry* e = d != nullptr ? d->findEntry(name) : nullptr;
    return e != nullptr ? e->getSize() : 0;
  }
  bool inPool(const std::string& dir) {
    const std::vector<std::string> keys = m_pool->directoryKeys();
    return std::find(keys.begin(), keys.end(), dir) != keys.end();
  }

  quarrytest::TempDir m_tmp;
  // A test's environment outlives its pool: the watcher's thread reads through it until
  // TearDown stops it.
  quarrytest::FaultEnv m_faultEnv;
  std::unique_ptr<DyxPhysicalDirs> m_pool;
};

TEST_F(WatcherTest, EveryDirectoryOfALargeTreeIsWatchedByOneThread) {
  pooltest::RecordingNotifier views;
  const std::string root = m_tmp / "many";
  constexpr int kDirs = 150;  // more than the thread table could ever hold
  for (int i = 0; i < kDirs; ++i) {
    writeFile(root + nativePath("/d") + std::to_string(1000 + i) + nativePath("/f.txt"), "x");
  }
  DyxPhysicalDirs& pool = makePool(dyxplatform::Env::current());
  ASSERT_TRUE(pool.addPhysicalDirectory(root, true, false));
  const int threadsBefore = dyxthreads::usedCount();

  const auto start = Clock::now();
  pool.subscribeFileSystemChangeNotification(nullptr);
  const auto subscribed = Clock::now() - start;
  EXPECT_EQ(pool.watchCounts(), (DyxWatchCounts{kDirs + 1, 0}));
  EXPECT_EQ(dyxthreads::usedCount(), threadsBefore + 1) << "one thread for all directories";
  std::cout << "subscribed " << kDirs + 1 << " directories in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(subscribed).count() << " ms"
            << std::endl;

  // The last directories in key order are those the thread table used to leave out.
  const std::string last = root + nativePath("/d") + std::to_string(1000 + kDirs - 1);
  writeFile(last + nativePath("/new.txt"), "n");
  EXPECT_TRUE(waitUntil([&] { return hasEntry(last, "new.txt"); }, 2000ms)) << last;

  // The front end's following takes over the same directories with the same single thread.
  std::atomic<std::size_t> reported{0};
  ASSERT_TRUE(pool.followChanges([&](const DyxWatchCounts& c) { reported = c.watched; }));
  EXPECT_EQ(pool.watchCounts(), (DyxWatchCounts{kDirs + 1, 0}));
  EXPECT_EQ(reported.load(), static_cast<std::size_t>(kDirs + 1));
  EXPECT_EQ(dyxthreads::usedCount(), threadsBefore + 1);
  appendTo(last + nativePath("/f.txt"),
           "grown by a write that leaves the directory's own time alone");
  EXPECT_TRUE(waitUntil([&] { return sizeOf(last, "f.txt") > 1; }, 2000ms));
}

TEST_F(WatcherTest, ASubscriptionGivesWayToAStopBetweenBatches) {
  // More directories than one batch of keys, so that the subscription asks between batches.
  const std::string root = m_tmp / "batches";
  constexpr int kDirs = 1100;
  for (int i = 0; i < kDirs; ++i) {
    std::filesystem::create_directories(root + nativePath("/d") + std::to_string(10000 + i));
  }
  DyxPhysicalDirs& pool = makePool(dyxplatform::Env::current());
  ASSERT_TRUE(pool.addPhysicalDirectory(root, true, false));
  ASSERT_EQ(pool.directoryCount(), static_cast<std::size_t>(kDirs + 1));

  int asked = 0;
  DyxChangeWatcher watcher(pool, dyxplatform::Env::current(), DyxChangeWatcher::Options());
  ASSERT_TRUE(watcher.watchPool([&asked] { return ++asked > 1; }));
  EXPECT_EQ(asked, 2) << "asked before each batch, until it gave way";
  const DyxWatchCounts counts = watcher.counts();
  EXPECT_GT(counts.watched, 0u);
  EXPECT_LT(counts.watched, static_cast<std::size_t>(kDirs + 1)) << "the rest is left unwatched";
  // Asked again without a stop, it watches the rest.
  ASSERT_TRUE(watcher.watchPool());
  EXPECT_EQ(watcher.counts(), (DyxWatchCounts{kDirs + 1, 0}));
}

TEST_F(WatcherTest, FollowingKeepsThePoolInStepWithTheTree) {
  pooltest::RecordingNotifier views;
  const std::string root = m_tmp / "t";
  writeFile(root + nativePath("/top.txt"), "t");
  writeFile(root + nativePath("/a/b/c/deep.txt"), "d");
  writeFile(root + nativePath("/leaving/l.txt"), "l");
  writeFile(root + nativePath("/ren/r.txt"), "r");
  quarrytest::makeDirs(m_tmp / "outside");
  DyxPhysicalDirs& pool = makePool(dyxplatform::Env::current());
  pool.setFilter("$Name like \"*.txt\"");
  ASSERT_TRUE(pool.addPhysicalDirectory(root, true, false));
  ASSERT_TRUE(pool.followChanges(nullptr));

  struct Step {
    const char* what;
    std::function<void()> change;
    std::function<bool()> seen;
  };
  const std::string deep = root + nativePath("/a/b/c");
  const Step steps[] = {
      {"file created three levels deep", [&] { writeFile(deep + nativePath("/new.txt"), "n"); },
       [&] { return hasEntry(deep, "new.txt"); }},
      {"file refused by the filter stays out",
       [&] {
         writeFile(deep + nativePath("/skip.bin"), "s");
         writeFile(deep + nativePath("/after.txt"), "a");
       },
       // The scan that brings after.txt would have brought skip.bin as well.
       [&] { return hasEntry(deep, "after.txt") && !hasEntry(deep, "skip.bin"); }},
      {"file grown", [&] { appendTo(root + nativePath("/top.txt"), "more"); },
       [&] { return sizeOf(root, "top.txt") == 5; }},
      {"file renamed",
       [&] {
         std::filesystem::rename(deep + nativePath("/deep.txt"), deep + nativePath("/renamed.txt"));
       },
       [&] { return hasEntry(deep, "renamed.txt") && !hasEntry(deep, "deep.txt"); }},
      {"new directory tree with files",
       [&] { writeFile(root + nativePath("/fresh/sub/f.txt"), "f"); },
       [&] { return hasEntry(root + nativePath("/fresh/sub"), "f.txt"); }},
      {"file created in a directory the watcher added",
       [&] {
         waitUntil([&] { return pool.watchCounts().watched == pool.directoryCount(); });
         writeFile(root + nativePath("/fresh/sub/later.txt"), "l");
       },
       [&] { return hasEntry(root + nativePath("/fresh/sub"), "later.txt"); }},
      {"directory moved out of the tree",
       [&] { std::filesystem::rename(root + nativePath("/leaving"), m_tmp / "outside/leaving"); },
       [&] { return !inPool(root + nativePath("/leaving")); }},
      {"directory renamed inside the tree",
       [&] { std::filesystem::rename(root + nativePath("/ren"), root + nativePath("/ren2")); },
       [&] {
         return !inPool(root + nativePath("/ren")) && hasEntry(root + nativePath("/ren2"), "r.txt");
       }},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_TRUE(waitUntil(step.seen, 2000ms)) << step.what;
  }
  // Entries of a directory that went are gone from the repository, not only from the pool.
  EXPECT_EQ(views.removed().count("l.txt"), 1u);
  // Watches follow the pool: none is left on a directory that went.
  EXPECT_TRUE(waitUntil([&] { return pool.watchCounts().watched == pool.directoryCount(); }))
      << pool.watchCounts().watched << " watches, " << pool.directoryCount() << " directories";
}

TEST_F(WatcherTest, LostEventsLeadToAPassOverEveryDirectory) {
  pooltest::RecordingNotifier views;
  quarrytest::FaultEnv& env = m_faultEnv;
  const std::string root = m_tmp / "o";
  writeFile(root + nativePath("/a/grow.txt"), "g");
  writeFile(root + nativePath("/b/keep.txt"), "k");
  DyxPhysicalDirs& pool = makePool(env);
  ASSERT_TRUE(pool.addPhysicalDirectory(root, true, false));
  ASSERT_TRUE(pool.followChanges(nullptr));
  env.dropWatchEvents(true);  // the system loses every event from now on

  writeFile(root + nativePath("/b/unseen.txt"), "u");
  appendTo(root + nativePath("/a/grow.txt"), "rown");
  writeFile(root + nativePath("/c/new.txt"), "n");
  // Nothing else reads the tree: without the overflow these stay unseen.
  std::this_thread::sleep_for(300ms);
  ASSERT_FALSE(hasEntry(root + nativePath("/b"), "unseen.txt"));

  env.overflowWatches();
  EXPECT_TRUE(waitUntil([&] { return hasEntry(root + nativePath("/b"), "unseen.txt"); }, 2000ms));
  EXPECT_TRUE(waitUntil([&] { return sizeOf(root + nativePath("/a"), "grow.txt") == 5; }, 2000ms))
      << "a file that grew is read again although its directory's time did not move";
  EXPECT_TRUE(waitUntil([&] { return hasEntry(root + nativePath("/c"), "new.txt"); }, 2000ms))
      << "a new sub-directory is found by the pass";
}

TEST_F(WatcherTest, DirectoriesBeyondTheWatchLimitArePolledAndStillFollowed) {
  pooltest::RecordingNotifier views;
  quarrytest::FaultEnv& env = m_faultEnv;
  env.limitWatches(3);
  const std::string root = m_tmp / "p";
  for (const char* d : {"a", "b", "c", "d", "e"})
    writeFile(root + nativePath("/") + d + nativePath("/f.txt"), "f");
  DyxPhysicalDirs& pool = makePool(env);
  ASSERT_TRUE(pool.addPhysicalDirectory(root, true, false));
  std::mutex mutex;
  DyxWatchCounts reported;
  ASSERT_TRUE(pool.followChanges([&](const DyxWatchCounts& c) {
    std::lock_guard<std::mutex> guard(mutex);
    reported = c;
  }));
  // Keys in order: the root, a and b get the three watches; c, d and e are polled.
  EXPECT_EQ(pool.watchCounts(), (DyxWatchCounts{3, 3}));
  {
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(reported, (DyxWatchCounts{3, 3})) << "the count is reported, not only traced";
  }
  writeFile(root + nativePath("/e/new.txt"), "n");
  appendTo(root + nativePath("/d/f.txt"), "grown");
  std::filesystem::remove(root + nativePath("/c/f.txt"));
  EXPECT_TRUE(waitUntil([&] { return hasEntry(root + nativePath("/e"), "new.txt"); }));
  EXPECT_TRUE(waitUntil([&] { return sizeOf(root + nativePath("/d"), "f.txt") == 6; }));
  EXPECT_TRUE(waitUntil([&] { return !hasEntry(root + nativePath("/c"), "f.txt"); }));

  // A watched directory that goes (moved away; deletion has a test of its own) gives its watch
  // to one that was polled.
  std::filesystem::rename(root + nativePath("/a"), m_tmp / "a-moved");
  EXPECT_TRUE(waitUntil([&] {
    return pool.watchCounts() == DyxWatchCounts{3, 2};
  })) << pool.watchCounts().watched
      << " watched, " << pool.watchCounts().polled << " polled";
  // Reported by the watcher's thread once it has counted.
  EXPECT_TRUE(waitUntil([&] {
    std::lock_guard<std::mutex> guard(mutex);
    return reported == DyxWatchCounts{3, 2};
  }));
}

// Deleted directories under a front end's following: they leave the pool with their
// sub-directories and entries, and the watches they held go to directories that were polled.
TEST_F(WatcherTest, DeletedDirectoriesLeaveThePoolAndGiveUpTheirWatches) {
  pooltest::RecordingNotifier views;
  quarrytest::FaultEnv& env = m_faultEnv;
  env.limitWatches(3);
  const std::string root = m_tmp / "del";
  writeFile(root + nativePath("/a/x/inner.txt"), "i");
  writeFile(root + nativePath("/p/f.txt"), "p");
  writeFile(root + nativePath("/q/f.txt"), "q");
  DyxPhysicalDirs& pool = makePool(env);
  ASSERT_TRUE(pool.addPhysicalDirectory(root, true, false));
  ASSERT_TRUE(pool.followChanges(nullptr));
  // Keys in order: the root, a and a/x get the three watches; p and q are polled.
  ASSERT_EQ(pool.watchCounts(), (DyxWatchCounts{3, 2}));

  std::filesystem::remove_all(root + nativePath("/a"));
  EXPECT_TRUE(waitUntil([&] {
    return !inPool(root + nativePath("/a")) && !inPool(root + nativePath("/a/x"));
  })) << "the directory and its sub-directory leave the pool";
  EXPECT_TRUE(waitUntil([&] { return views.removed().count("inner.txt") == 1; }))
      << "their entries leave the repository";
  EXPECT_TRUE(waitUntil([&] {
    return pool.watchCounts() == DyxWatchCounts{3, 0};
  })) << pool.watchCounts().watched
      << " watched, " << pool.watchCounts().polled << " polled";
  writeFile(root + nativePath("/q/new.txt"), "n");
  EXPECT_TRUE(waitUntil([&] { return hasEntry(root + nativePath("/q"), "new.txt"); }));
}

}  // namespace
