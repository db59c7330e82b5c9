// Several threads writing to the trace and the activity log at once, as the engine's workers do.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::lines;

constexpr int kThreads = 4;
constexpr int kRounds = 300;

void traceWorker(int id) {
  for (int i = 0; i < kRounds; ++i) {
    KX_SCOPE("Worker::step");
    kxout << kxParam("thread", id) << kxParam("round", i) << endl;
    ActivityLog::stream() << "thread " << id << " round " << i << std::endl;
  }
}

TEST(TraceThreads, WholeLinesExactRotationAndBalancedDepth) {
  quarrytest::TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  KXIO::shutdown();
  KXIO::init(false, true, "dyx.dbg", "", "", true);
  kxout.setCircular(100, "dyx.dbg");
  ActivityLog::open("dyx.log");

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(traceWorker, t);
  for (auto& thread : threads) thread.join();
  KXIO::shutdown();
  ActivityLog::close();

  EXPECT_EQ(ScopeTracer::depth(), 0);
  // Three lines per round; the counter is exact, so the live file holds the remainder.
  const int total = kThreads * kRounds * 3;
  auto live = lines(quarrytest::readFile("dyx.dbg"));
  auto old = lines(quarrytest::readFile("dyx.dbg.old"));
  EXPECT_EQ(live.size(), static_cast<size_t>(total % 100));
  EXPECT_EQ(old.size(), 100u);
  const std::regex shape(
      R"((\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.0000 +(> Worker::step\(\) \[.*,\d+\]  |< Worker::step\(\)))|(thread="\d" round="\d+" ))");
  for (const auto& line : old) EXPECT_TRUE(std::regex_match(line, shape)) << line;
  for (const auto& line : live) EXPECT_TRUE(std::regex_match(line, shape)) << line;

  auto activity = lines(quarrytest::readFile("dyx.log"));
  EXPECT_EQ(activity.size(), static_cast<size_t>(kThreads * kRounds));
  const std::regex activityShape(R"(thread \d round \d+)");
  for (const auto& line : activity) EXPECT_TRUE(std::regex_match(line, activityShape)) << line;
}

TEST(TraceThreads, ThresholdChangesWhileOthersWrite) {
  KXIO::shutdown();
  std::ostringstream sink;
  KXIO::init(true, true, "", "", "", true);
  kxout.setTargetStream(sink);
  std::thread writer([] {
    for (int i = 0; i < 2000; ++i) {
      KX_SCOPE("Writer::run");
      KX_POS(kxerr) << "message " << i << endl;
    }
  });
  for (int i = 0; i < 200; ++i) {
    kxout.setThreshold(i % 2 == 0 ? KxLevel::kSilent : KxLevel::kDebug);
  }
  writer.join();
  kxout.setThreshold(KxLevel::kDebug);
  KXIO::shutdown();
  EXPECT_EQ(ScopeTracer::depth(), 0);
}

}  // namespace
