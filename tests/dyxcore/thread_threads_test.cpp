#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "dyxcore/thread.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"

namespace {

using namespace std::chrono_literals;

// Parks until a stop request, like the front end's parse worker between requests.
class ParkingThread : public DyxThread {
 public:
  ~ParkingThread() override {
    requestStop();
    waitStopped(-1);
  }
  std::atomic<int> wakeups{0};

 protected:
  void run() override {
    while (!isStopRequested()) {
      suspend();
      ++wakeups;
    }
  }
};

class FunctionThread : public DyxThread {
 public:
  explicit FunctionThread(std::function<void(FunctionThread&)> body) : m_body(std::move(body)) {}
  ~FunctionThread() override {
    requestStop();
    waitStopped(-1);
  }
  using DyxThread::exit;

 protected:
  void run() override { m_body(*this); }

 private:
  std::function<void(FunctionThread&)> m_body;
};

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

}  // namespace

TEST(DyxThreadTable, TheHundredAndFirstThreadIsRefusedUntilOneEnds) {
  ASSERT_EQ(dyxthreads::usedCount(), 0);
  std::vector<std::unique_ptr<ParkingThread>> threads;
  for (int i = 0; i < dyxthreads::kMaxThreads; ++i) {
    threads.push_back(std::make_unique<ParkingThread>());
    ASSERT_TRUE(threads.back()->begin()) << i;
  }
  EXPECT_EQ(dyxthreads::usedCount(), 100);

  ParkingThread extra;
  {
    quarrytest::TraceCapture err;
    EXPECT_FALSE(extra.begin());
    const std::string text = err.text();
    EXPECT_NE(text.find("Dyx: Max thread limit reached."), std::string::npos) << text;
    EXPECT_NE(text.find("Failed thread creation. ret=1,err="), std::string::npos) << text;
  }
  EXPECT_TRUE(extra.isStopped());
  EXPECT_TRUE(extra.isStopRequested());

  const int freedKey = threads[42]->getKey();
  threads[42]->requestStop();
  ASSERT_TRUE(threads[42]->waitStopped(5000));
  EXPECT_TRUE(eventually([&] { return !dyxthreads::isInUse(freedKey); }));
  EXPECT_TRUE(extra.begin());
  EXPECT_EQ(extra.getKey(), freedKey);

  for (auto& t : threads) t->requestStop();
  for (auto& t : threads) EXPECT_TRUE(t->waitStopped(10000));
  extra.requestStop();
  EXPECT_TRUE(extra.waitStopped(5000));
  threads.clear();
  EXPECT_TRUE(eventually([] { return dyxthreads::usedCount() == 0; }));
}

TEST(DyxThreadLifecycle, BeginTwiceIsRefusedAndAStoppedThreadStartsAgain) {
  ParkingThread t;
  EXPECT_TRUE(t.isStopped());
  EXPECT_EQ(t.getKey(), -1);
  ASSERT_TRUE(t.begin());
  EXPECT_FALSE(t.isStopRequested());
  {
    quarrytest::TraceCapture err;
    EXPECT_FALSE(t.begin());
    EXPECT_NE(err.text().find("The thread is already running."), std::string::npos);
  }
  t.requestStop();
  ASSERT_TRUE(t.waitStopped(5000));
  ASSERT_TRUE(t.begin());
  t.requestStop();
  EXPECT_TRUE(t.waitStopped(5000));
}

TEST(DyxThreadPark, AStopRequestWakesAParkedThread) {
  ParkingThread t;
  ASSERT_TRUE(t.begin());
  std::this_thread::sleep_for(50ms);  // let it park
  EXPECT_FALSE(t.isStopped());
  t.resume();  // an ordinary wake-up: it parks again
  EXPECT_TRUE(eventually([&] { return t.wakeups.load() == 1; }));
  EXPECT_FALSE(t.isStopped());
  t.requestStop();
  EXPECT_TRUE(t.waitStopped(5000));
}

TEST(DyxThreadPark, AWakeUpBeforeTheParkIsNotLost) {
  std::atomic<bool> go{false};
  std::atomic<bool> passed{false};
  FunctionThread t([&](FunctionThread& self) {
    while (!go.load()) std::this_thread::yield();
    self.suspend();  // the resume came earlier: must return at once
    passed = true;
  });
  ASSERT_TRUE(t.begin());
  t.resume();
  go = true;
  EXPECT_TRUE(eventually([&] { return passed.load(); }));
  EXPECT_TRUE(t.waitStopped(5000));
}

TEST(DyxThreadPark, SleepForEndsEarlyOnAStopRequest) {
  std::atomic<bool> woken{false};
  FunctionThread t([&](FunctionThread& self) { woken = self.sleepFor(60000); });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(t.begin());
  std::this_thread::sleep_for(20ms);
  t.requestStop();
  ASSERT_TRUE(t.waitStopped(5000));
  EXPECT_TRUE(woken.load());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(DyxThreadEnd, ExceptionsAreSwallowedAndExitEndsTheRunAtOnce) {
  FunctionThread thrower([](FunctionThread&) { throw std::runtime_error("boom"); });
  ASSERT_TRUE(thrower.begin());
  EXPECT_TRUE(thrower.waitStopped(5000));
  FunctionThread intThrower([](FunctionThread&) { throw 0; });
  ASSERT_TRUE(intThrower.begin());
  EXPECT_TRUE(intThrower.waitStopped(5000));

  std::atomic<bool> after{false};
  FunctionThread exiter([&](FunctionThread& self) {
    try {
      self.exit();
    } catch (const DyxThreadExit&) {
      throw;  // a run that catches must let the exit through
    } catch (...) {
    }
    after = true;
  });
  ASSERT_TRUE(exiter.begin());
  EXPECT_TRUE(exiter.waitStopped(5000));
  EXPECT_FALSE(after.load());

  // Outside the table: exit refuses, self is -1, waitStopped on a stopped object is true.
  EXPECT_EQ(dyxthreads::self(), -1);
  EXPECT_EQ(dyxthreads::exit(0), -1);
  FunctionThread never([](FunctionThread&) {});
  EXPECT_TRUE(never.waitStopped(0));
}

TEST(DyxThreadEnd, SelfNamesTheSlotOfTheCallingThread) {
  std::atomic<int> seen{-2};
  FunctionThread t([&](FunctionThread&) { seen = dyxthreads::self(); });
  ASSERT_TRUE(t.begin());
  ASSERT_TRUE(t.waitStopped(5000));
  EXPECT_EQ(seen.load(), t.getKey());
  EXPECT_GE(seen.load(), 0);
}
