// The pool with its threads: change notification picking up files, threads ending with the pool,
// and a stress run of the polling loop, the change watcher, a thread that adds, clears and
// re-adds directories, and a thread that creates and deletes files, all at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/portable.h"
#include "dyxcore/xentryrep.h"
#include "pool_testing.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using quarrytest::writeFile;

std::atomic<int> g_fired{0};
void countFired() { ++g_fired; }

// Checks, under the engine lock where the scans call it, that every entry is announced once
// before it is changed or removed, and removed once.
class InvariantNotifier final : public DyxViewNotifier {
 public:
  InvariantNotifier() { DyxPhysicalDirectory::setViewNotifier(this); }
  ~InvariantNotifier() { DyxPhysicalDirectory::setViewNotifier(nullptr); }
  void entryAdded(DyxEntry* e, DyxScanObserver*) override {
    if (!m_live.insert(e).second) violated("announced again", e);
    ++adds;
  }
  void entryChanged(DyxEntry* e, DyxScanObserver*) override {
    if (m_live.count(e) == 0) violated("changed before it was announced", e);
  }
  void entryRemoved(DyxEntry* e) override {
    if (m_live.erase(e) == 0) violated("removed without being announced", e);
  }
  void allEntriesRemoved() override { m_live.clear(); }
  std::size_t live() const {
    DyxEngineLock lock;
    return m_live.size();
  }
  std::atomic<int> violations{0};
  std::atomic<int> adds{0};

 private:
  // Says which rule broke and for which file: a rare interleaving is then told by its one run.
  void violated(const char* what, const DyxEntry* e) {
    ++violations;
    std::cerr << "notifier: " << e->getFullName() << " " << what << std::endl;
  }
  std::set<DyxEntry*> m_live;  // under the engine lock
};

template <class Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class PoolThreadsTest : public ::testing::Test {
 protected:
  void TearDown() override { DyxEntryRepository::deleteAllRepositories(); }
  bool hasEntry(DyxPhysicalDirs& pool, const std::string& dir, const std::string& name) {
    DyxEngineLock lock;
    DyxPhysicalDirectory* d = pool.findPhysicalDirectory(dir);
    return d != nullptr && d->findEntry(name) != nullptr;
  }
  quarrytest::TempDir m_tmp;
};

TEST_F(PoolThreadsTest, NotificationPicksUpChangesWithinASecond) {
  pooltest::RecordingNotifier views;
  const std::string d = m_tmp / "watched";
  writeFile(d + quarrytest::nativePath("/old.txt"), "o");
  DyxPhysicalDirs pool;
  pool.setFilter("true");
  ASSERT_TRUE(pool.addPhysicalDirectory(d, false, false));
  g_fired = 0;
  pool.subscribeFileSystemChangeNotification(&countFired);
  EXPECT_EQ(pool.watchCounts().watched, 1u);
  pool.subscribeFileSystemChangeNotification(&countFired);
  EXPECT_EQ(pool.watchCounts().watched, 1u) << "one watch per directory";
  {
    DyxEngineLock lock;
    EXPECT_EQ(pool.findPhysicalDirectory(d)->callbackCount(), 2u);
  }

  writeFile(d + quarrytest::nativePath("/new.txt"), "n");
  EXPECT_TRUE(waitUntil([&] { return hasEntry(pool, d, "new.txt"); }, 1000ms));
  EXPECT_TRUE(waitUntil([] { return g_fired.load() >= 2; }, 5000ms)) << "both callbacks";

  // A rewrite of a known file with another time stamp: the entry is refreshed and remapped.
  writeFile(d + quarrytest::nativePath("/old.txt"), "longer");
  pooltest::shiftWriteTime(d + quarrytest::nativePath("/old.txt"), 2);
  EXPECT_TRUE(waitUntil([&] { return views.changed().count("old.txt") == 1; }, 5000ms));

  std::filesystem::remove(d + quarrytest::nativePath("/new.txt"));
  EXPECT_TRUE(waitUntil([&] { return !hasEntry(pool, d, "new.txt"); }, 5000ms));
  pool.clear();
}

// The watched directory itself goes: its watch updates it once (the pool drops the directory at
// its own next update) and ends.
TEST_F(PoolThreadsTest, ADeletedWatchedDirectoryEndsItsWatch) {
  pooltest::RecordingNotifier views;
  const std::string d = m_tmp / "watched";
  writeFile(d + quarrytest::nativePath("/f.txt"), "f");
  DyxPhysicalDirs pool;
  pool.setFilter("true");
  ASSERT_TRUE(pool.addPhysicalDirectory(d, false, false));
  pool.subscribeFileSystemChangeNotification(&countFired);
  ASSERT_EQ(pool.watchCounts().watched, 1u);
  std::filesystem::remove_all(d);
  EXPECT_TRUE(waitUntil([&] { return pool.watchCounts().watched == 0; }, 5000ms));
  // The count drops before the watch's own update of the directory has run: a pool update
  // made meanwhile may still find the directory in use, and the one after it drops it.
  EXPECT_TRUE(waitUntil(
      [&] {
        pool.doUpdate(false, true);
        return pool.directoryCount() == 0;
      },
      5000ms));
  pool.clear();
}

TEST_F(PoolThreadsTest, RefusedWatchIsReportedAndSkipped) {
  pooltest::RecordingNotifier views;
  DyxPhysicalDirs pool;
  const std::string d = m_tmp / "d";
  quarrytest::makeDirs(d);
  pool.addPhysicalDirectory(d, false, false);
  std::filesystem::remove_all(d);  // the watch of a missing directory is refused
  pooltest::TraceCapture trace;
  pool.subscribeFileSystemChangeNotification(&countFired);
  EXPECT_TRUE(trace.contains("Subscribe for change notification for: \"" + d + "\""));
  EXPECT_TRUE(trace.contains("Cannot subscribe: IVALID_HANDLE_VALUE. Skip it.")) << trace.text();
  EXPECT_EQ(pool.watchCounts().watched, 0u);
  DyxEngineLock lock;
  EXPECT_EQ(pool.findPhysicalDirectory(d)->callbackCount(), 0u);
}

TEST_F(PoolThreadsTest, DestroyingThePoolEndsItsThreadsPromptly) {
  pooltest::RecordingNotifier views;
  for (int i = 0; i < 4; ++i)
    writeFile(m_tmp / ("t/d" + std::to_string(i) + quarrytest::nativePath("/f")), "x");
  auto pool = std::make_unique<DyxPhysicalDirs>();
  pool->setFilter("true");
  pool->addPhysicalDirectory(m_tmp / "t", true, false);
  pool->subscribeFileSystemChangeNotification(nullptr);
  pool->beginUpdateLoop(30);
  EXPECT_EQ(pool->watchCounts().watched, 5u);
  const auto start = Clock::now();
  pool.reset();
  EXPECT_LT(Clock::now() - start, 5000ms);
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 0u);
}

TEST_F(PoolThreadsTest, StressPollingNotificationAndChurnTogether) {
  InvariantNotifier views;
  const std::string root = m_tmp / "s";
  const std::vector<std::string> tops = {root + quarrytest::nativePath("/one"),
                                         root + quarrytest::nativePath("/two")};
  for (const auto& t : tops) {
    for (int i = 0; i < 20; ++i)
      writeFile(t + quarrytest::nativePath("/f") + std::to_string(i), "x");
    writeFile(t + quarrytest::nativePath("/sub/g"), "y");
  }
  auto pool = std::make_unique<DyxPhysicalDirs>();
  pool->setFilter("true");
  for (const auto& t : tops) ASSERT_TRUE(pool->addPhysicalDirectory(t, true, false));
  g_fired = 0;
  pool->subscribeFileSystemChangeNotification(&countFired);
  ASSERT_EQ(pool->watchCounts().watched, 4u);
  pool->beginUpdateLoopMs(15);

  std::atomic<bool> stop{false};
  std::atomic<int> mutations{0};
  std::thread churn([&] {
    std::mt19937 rng(7);
    int n = 0;
    while (!stop) {
      const std::string& t = tops[rng() % tops.size()];
      const std::string where = (rng() % 3 == 0) ? t + quarrytest::nativePath("/sub") : t;
      const std::string file = where + quarrytest::nativePath("/c") + std::to_string(rng() % 30);
      std::error_code ec;
      if (rng() % 2 == 0) {
        writeFile(file, std::to_string(++n));
      } else {
        std::filesystem::remove(file, ec);
      }
      if (rng() % 50 == 0) {
        std::filesystem::remove_all(t + quarrytest::nativePath("/extra"), ec);
      } else if (rng() % 50 == 1) {
        writeFile(t + quarrytest::nativePath("/extra/e"), "e");
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  std::thread mutator([&] {
    std::mt19937 rng(11);
    while (!stop) {
      switch (rng() % 6) {
        case 5:
          pool->subscribeFileSystemChangeNotification(&countFired);
          break;
        case 0:
          pool->clear();
          break;
        case 1:
          pool->setFilter(rng() % 2 ? "true" : "$Name like \"f*\"");
          pool->addPhysicalDirectory(tops[rng() % 2], true, false);
          break;
        case 2:
          pool->addPhysicalDirectory(tops[rng() % 2], rng() % 2 == 0, false);
          break;
        case 3:
          pool->removePhysicalDirectory(tops[rng() % 2], true, false);
          break;
        default:
          pool->doUpdate(true, true);
      }
      ++mutations;
      std::this_thread::sleep_for(2ms);
    }
  });
  // The window's share: lookups under the lock while everything runs.
  const auto end = Clock::now() + 3s;
  int reads = 0;
  while (Clock::now() < end) {
    DyxEngineLock lock;
    std::vector<DyxEntry*> all;
    pool->collectEntries(all, true, DyxPattern("*"), true);
    for (DyxEntry* e : all) {
      EXPECT_FALSE(e->isFree());
      EXPECT_EQ(pool->getEntry(DyxPath(e->getFullName())), e);
    }
    ++reads;
    lock.unlock();
    std::this_thread::sleep_for(3ms);
  }
  stop = true;
  churn.join();
  mutator.join();
  EXPECT_GT(mutations.load(), 20);
  EXPECT_GT(reads, 20);
  EXPECT_GT(views.adds.load(), 100) << "the scans had work to do";
  std::cout << "stress: " << mutations.load() << " pool changes, " << reads << " reads, "
            << views.adds.load() << " entries announced, " << g_fired.load()
            << " notified updates with a change" << std::endl;

  // Re-subscribing never stacks watches: one per directory key at most (one, two, their "sub"
  // and "extra" directories).
  EXPECT_LE(pool->watchCounts().watched, 6u);

  // Settle: one forced update over the final tree gives exactly one entry per file.
  pool->stopUpdateLoop();
  pool->stopNotification();
  pool->clear();
  EXPECT_EQ(views.live(), 0u);
  pool->setFilter("true");
  for (const auto& t : tops) pool->addPhysicalDirectory(t, true, false);
  std::size_t onDisk = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) ++onDisk;
  }
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), onDisk);
  EXPECT_EQ(views.live(), onDisk);
  pool.reset();
  EXPECT_EQ(views.live(), 0u);
  EXPECT_EQ(DyxEntryRepository::getRepository("").liveCount(), 0u);
  EXPECT_EQ(views.violations.load(), 0);
}

}  // namespace
