#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dyxcore/mutex.h"

namespace {
using namespace std::chrono_literals;

// True when `acquired` stays false for a while: the other thread is blocked.
bool staysFalse(const std::atomic<bool>& acquired) {
  std::this_thread::sleep_for(80ms);
  return !acquired.load();
}

bool becomesTrue(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag.load(); ++i) std::this_thread::sleep_for(10ms);
  return flag.load();
}
}  // namespace

TEST(DyxMutexRegistry, KeyTenIsRecursiveAndBlocksOthersUntilTheCountReturnsToZero) {
  const int key = DyxMutexRegistry::kPollingKey;
  DyxMutexRegistry::lock(key);
  DyxMutexRegistry::lock(key);
  EXPECT_TRUE(DyxMutexRegistry::isHeldByCaller(key));
  EXPECT_NE(DyxMutexRegistry::describe(key).find("count=2"), std::string::npos);

  std::atomic<bool> acquired{false};
  std::atomic<bool> release{false};
  std::thread other([&] {
    DyxMutexRegistry::lock(key);
    acquired = true;
    while (!release.load()) std::this_thread::sleep_for(1ms);
    DyxMutexRegistry::unlock(key);
  });
  EXPECT_TRUE(staysFalse(acquired));
  DyxMutexRegistry::unlock(key);
  EXPECT_TRUE(staysFalse(acquired));  // still held once
  DyxMutexRegistry::unlock(key);
  EXPECT_TRUE(becomesTrue(acquired));
  EXPECT_FALSE(DyxMutexRegistry::isHeldByCaller(key));

  // An unlock by a thread that is not the owner changes nothing.
  DyxMutexRegistry::unlock(key);
  EXPECT_NE(DyxMutexRegistry::describe(key).find("count=1"), std::string::npos);
  release = true;
  other.join();
  EXPECT_NE(DyxMutexRegistry::describe(key).find("[th=-1,count=0,mtx="), std::string::npos);
}

TEST(DyxMutexRegistry, UnlockOfAKeyNobodyHoldsThrowsZero) {
  try {
    DyxMutexRegistry::unlock(31);
    FAIL() << "no exception";
  } catch (int e) {
    EXPECT_EQ(e, 0);
  }
  EXPECT_EQ(DyxMutexRegistry::describe(999), "");
  EXPECT_THROW(DyxMutexRegistry::wait(32), int);  // waiting needs the key
}

TEST(DyxMutexRegistry, ScopedLockReleasesOnceAndOnDestruction) {
  {
    DyxMutexLock lock(40);
    EXPECT_TRUE(DyxMutexRegistry::isHeldByCaller(40));
    lock.release();
    EXPECT_FALSE(DyxMutexRegistry::isHeldByCaller(40));
  }  // no second unlock, no throw
  {
    DyxMutexLock lock(40);
    DyxMutexLock nested(40);
  }
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    DyxMutexLock lock(40);
    acquired = true;
  });
  other.join();
  EXPECT_TRUE(acquired.load());
}

TEST(DyxMutexRegistry, WaitGivesTheKeyUpAndTakesItBackWithItsNesting) {
  const int key = 50;
  std::atomic<bool> ready{false};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    DyxMutexRegistry::lock(key);
    DyxMutexRegistry::lock(key);
    while (!ready.load()) DyxMutexRegistry::wait(key);
    EXPECT_TRUE(DyxMutexRegistry::isHeldByCaller(key));
    DyxMutexRegistry::unlock(key);
    DyxMutexRegistry::unlock(key);
    done = true;
  });
  // The waiter holds the key twice, yet this lock succeeds once it waits.
  std::this_thread::sleep_for(20ms);
  DyxMutexRegistry::lock(key);
  ready = true;
  DyxMutexRegistry::broadcast(key);
  DyxMutexRegistry::unlock(key);
  for (int i = 0; i < 500 && !done.load(); ++i) {
    DyxMutexRegistry::signal(key);
    std::this_thread::sleep_for(10ms);
  }
  waiter.join();
  EXPECT_TRUE(done.load());
  EXPECT_FALSE(DyxMutexRegistry::isHeldByCaller(key));
}

TEST(DyxEngineLock, RecursiveForItsOwnerExclusiveForOthers) {
  DyxEngineLock outer;
  {
    DyxEngineLock inner;  // the same thread may nest
    EXPECT_TRUE(inner.ownsLock());
  }
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    DyxEngineLock lock;
    acquired = true;
  });
  EXPECT_TRUE(staysFalse(acquired));
  outer.unlock();
  EXPECT_TRUE(becomesTrue(acquired));
  other.join();
  EXPECT_EQ(&dyxEngineMutex(), &dyxEngineMutex());
}
