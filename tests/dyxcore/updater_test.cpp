// The updater's decision to update, its callbacks and its failure path, on a fake updater whose
// time stamp and result the test sets.
#include "dyxcore/updater.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pool_testing.h"

namespace {

class FakeUpdater final : public DyxUpdater {
 public:
  bool update(bool force, bool recursive) override {
    ++updates;
    lastForce = force;
    lastRecursive = recursive;
    if (throwIt) throw 0;
    return result;
  }
  DyxTime getMTime() override { return stamp; }

  DyxTime stamp{100};
  bool result = true;
  bool throwIt = false;
  int updates = 0;
  bool lastForce = false;
  bool lastRecursive = false;
};

std::vector<std::string> g_calls;
void first() { g_calls.push_back("first"); }
void second() { g_calls.push_back("second"); }

TEST(Updater, FirstUpdateAlwaysRunsThenTheStampDecides) {
  FakeUpdater u;
  EXPECT_FALSE(u.getStoredTimeStamp().isSet());
  EXPECT_FALSE(u.isUpToDate());
  EXPECT_TRUE(u.doUpdate(false, true));
  EXPECT_EQ(u.updates, 1);
  EXPECT_TRUE(u.lastRecursive);
  EXPECT_EQ(u.getStoredTimeStamp(), DyxTime(100));

  pooltest::TraceCapture trace;
  EXPECT_FALSE(u.doUpdate(false, true));
  EXPECT_EQ(u.updates, 1);
  EXPECT_TRUE(trace.contains("Old mtime: ")) << trace.text();
  EXPECT_TRUE(trace.contains("Same time stamp.")) << trace.text();
  EXPECT_TRUE(trace.contains("is up to date.")) << trace.text();
  EXPECT_TRUE(trace.contains("force_update=\"false\" recursive=\"true\" ")) << trace.text();

  EXPECT_TRUE(u.doUpdate(true, false)) << "forced";
  EXPECT_EQ(u.updates, 2);
  EXPECT_TRUE(u.lastForce);

  u.stamp = DyxTime(101);
  EXPECT_TRUE(u.doUpdate(false, false));
  EXPECT_EQ(u.updates, 3);

  u.resetTimeStamp();
  EXPECT_FALSE(u.isUpToDate());
  u.storeTimeStamp();
  EXPECT_TRUE(u.isUpToDate());

  // An unset current stamp equals an unset stored one but is never up to date.
  u.stamp = DyxTime();
  u.resetTimeStamp();
  EXPECT_FALSE(u.isUpToDate());
}

TEST(Updater, CallbacksFireOnChangeOnlyInOrderAndTwiceWhenAddedTwice) {
  FakeUpdater u;
  g_calls.clear();
  u.addCallback(&first);
  u.addCallback(&second);
  u.addCallback(&first);
  u.doUpdate(true, false);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"first", "second", "first"}));

  g_calls.clear();
  u.result = false;
  u.doUpdate(true, false);
  EXPECT_TRUE(g_calls.empty()) << "no change, no callback";

  u.result = true;
  u.removeCallback(&first);
  u.removeCallback(&first);
  u.removeCallback(&first);  // nothing left to remove
  u.doUpdate(true, false);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"second"}));
  EXPECT_EQ(u.callbackCount(), 1u);
}

TEST(Updater, FailingUpdateIsReportedPassedOnAndStoresNothing) {
  FakeUpdater u;
  g_calls.clear();
  u.addCallback(&first);
  u.throwIt = true;
  pooltest::TraceCapture trace;
  EXPECT_THROW(u.doUpdate(false, false), int);
  EXPECT_TRUE(trace.contains("Exception while updating or triggering the callbacks. Continue."));
  EXPECT_FALSE(u.getStoredTimeStamp().isSet());
  EXPECT_TRUE(g_calls.empty());
  u.throwIt = false;
  EXPECT_TRUE(u.doUpdate(false, false)) << "the next update runs again";
}

TEST(Updater, StopWithoutLoopIsHarmless) {
  FakeUpdater u;
  EXPECT_FALSE(u.isPolling());
  u.stopUpdateLoop();
  EXPECT_FALSE(u.isPolling());
}

}  // namespace
