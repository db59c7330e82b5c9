// The facade while the polling thread runs: switching dynamic update on and off, reading views,
// and shutting down with the loop still running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "support/testutil.h"

namespace {

using quarrytest::makeDirs;
using quarrytest::TempDir;
using quarrytest::writeFile;

TEST(DyxThreads, PollingWhileFilesChangeAndViewsAreRead) {
  TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  makeDirs(dir / "trace");
  const std::string data = dir / "data";
  makeDirs(data + "/sub");
  writeFile(dir / "conf/pref.ini",
            "TraceLevel \"DEBUG\"\nTraceMaxLineCount \"5000\"\nDynamicUpdatePollingPeriod \"1\"\n"
            "CurrentPathMap \"live\"\n");
  writeFile(dir / "conf/live.fpm", "\"" + data + "\" Yes\n");
  Dyx::initialize();
  Dyx::update("");

  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      DyxEngineLock lock;
      DyxView* flat = Dyx::getViewManager().get("Flat", true);
      EXPECT_NE(flat, nullptr);
      Dyx::getPhysicalDirs().getEntry(DyxPath(data + "/f0.txt"));
    }
  });
  DyxEnviron& env = Dyx::getEnviron();
  for (int round = 0; round < 3; ++round) {
    env.setPreference("DynamicUpdate", "true");
    for (int i = 0; i < 20; ++i) {
      writeFile(data + "/f" + std::to_string(i) + ".txt", "x");
      writeFile(data + "/sub/g" + std::to_string(i) + ".txt", "y");
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    env.setPreference("DynamicUpdate", "false");
    EXPECT_FALSE(Dyx::getPhysicalDirs().isPolling());
  }
  env.setPreference("DynamicUpdate", "true");
  stop.store(true);
  reader.join();

  // A forced update settles the pool, whatever the loop had seen.
  Dyx::update("");
  {
    DyxEngineLock lock;
    EXPECT_NE(Dyx::getPhysicalDirs().getEntry(DyxPath(data + "/f19.txt")), nullptr);
    EXPECT_NE(Dyx::getPhysicalDirs().getEntry(DyxPath(data + "/sub/g19.txt")), nullptr);
  }
  // Shutdown with the loop running saves, stops the loop and returns.
  Dyx::shutdown();
  EXPECT_THROW(Dyx::getPhysicalDirs(), int);
  EXPECT_TRUE(quarrytest::fileExists(dir / "live.data"));
  Dyx::closeTrace();
}

}  // namespace
