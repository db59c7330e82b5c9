// The polling loop: a pass at once and one per period, a prompt stop, replacement of a running
// loop, failing passes, and the polling key taken before each pass.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/physdir.h"
#include "dyxcore/updater.h"
#include "dyxcore/xentryrep.h"
#include "pool_testing.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class CountingUpdater final : public DyxUpdater {
 public:
  ~CountingUpdater() override { stopUpdateLoop(); }
  bool update(bool, bool recursive) override {
    ++passes;
    if (!recursive) ++notRecursive;
    if (throwIt) throw 0;
    return false;
  }
  // Unset: never up to date, so every pass reaches update.
  DyxTime getMTime() override { return DyxTime(); }

  std::atomic<int> passes{0};
  std::atomic<int> notRecursive{0};
  std::atomic<bool> throwIt{false};
};

bool waitFor(const std::atomic<int>& value, int atLeast, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (value.load() < atLeast) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(UpdateLoop, OnePassAtOnceThenOnePerPeriod) {
  CountingUpdater u;
  u.beginUpdateLoopMs(40);
  EXPECT_TRUE(waitFor(u.passes, 1, 2000ms)) << "the first pass runs at once";
  EXPECT_TRUE(u.isPolling());
  std::this_thread::sleep_for(400ms);
  const int n = u.passes.load();
  // About ten; a loaded machine wakes the thread late, never early.
  EXPECT_GE(n, 2);
  EXPECT_LE(n, 12);
  EXPECT_EQ(u.notRecursive.load(), 0) << "passes are recursive";
  u.stopUpdateLoop();
  EXPECT_FALSE(u.isPolling());
  const int after = u.passes.load();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(u.passes.load(), after) << "no pass after the stop";
}

TEST(UpdateLoop, StopInterruptsALongWaitAtOnce) {
  CountingUpdater u;
  u.beginUpdateLoop(10);
  ASSERT_TRUE(waitFor(u.passes, 1, 2000ms));
  pooltest::TraceCapture trace;
  const auto start = Clock::now();
  u.stopUpdateLoop();
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_TRUE(trace.contains("Thread stopped.")) << trace.text();
  EXPECT_EQ(u.passes.load(), 1);
}

TEST(UpdateLoop, BeginWhilePollingReplacesTheLoop) {
  CountingUpdater u;
  u.beginUpdateLoop(10);
  ASSERT_TRUE(waitFor(u.passes, 1, 2000ms));
  u.beginUpdateLoop(10);
  EXPECT_TRUE(waitFor(u.passes, 2, 2000ms)) << "the new loop runs its own first pass";
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(u.passes.load(), 2) << "one loop only";
  u.stopUpdateLoop();
}

TEST(UpdateLoop, AFailingPassDoesNotEndTheLoop) {
  CountingUpdater u;
  u.throwIt = true;
  u.beginUpdateLoopMs(10);
  EXPECT_TRUE(waitFor(u.passes, 3, 3000ms));
  EXPECT_TRUE(u.isPolling());
}

TEST(UpdateLoop, EachPassWaitsForThePollingKey) {
  CountingUpdater u;
  {
    DyxMutexLock held(DyxMutexRegistry::kPollingKey);
    u.beginUpdateLoopMs(10);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(u.passes.load(), 0);
  }
  EXPECT_TRUE(waitFor(u.passes, 1, 2000ms));
}

TEST(UpdateLoop, DestroyingAPollingUpdaterEndsItsLoop) {
  auto u = std::make_unique<CountingUpdater>();
  u->beginUpdateLoopMs(5);
  ASSERT_TRUE(waitFor(u->passes, 2, 2000ms));
  u.reset();
  SUCCEED();
}

TEST(UpdateLoop, DestroyingAPollingStandAloneDirectoryEndsItsLoopFirst) {
  quarrytest::TempDir tmp;
  for (const char* n : {"a", "b", "c"}) quarrytest::writeFile(tmp / n, n);
  {
    DyxStandAlonePhysicalDirectory dir(DyxPath(tmp.path()), false);
    dir.beginUpdateLoopMs(1);
    const auto end = Clock::now() + 2000ms;
    for (;;) {
      {
        DyxEngineLock lock;
        if (dir.entryCount() == 3) break;
      }
      ASSERT_LT(Clock::now(), end) << "the loop never scanned";
      std::this_thread::sleep_for(2ms);
    }
    // A new name makes the next pass scan again, likely while the directory is destroyed.
    quarrytest::writeFile(tmp / "d", "d");
  }
  DyxEngineLock lock;
  EXPECT_EQ(DyxEntryRepository::getRepository("0").liveCount(), 0u)
      << "no pass filed entries after the destruction cleared them";
}

}  // namespace
