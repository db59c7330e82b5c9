// The window's threads over a hostile tree whose files come and go: a parse worker runs parses
// and view switches through DyxFrontEnd, the window's thread requests stops and reads the shown
// view under the engine lock, and the pool's polling loop re-scans meanwhile, so additions,
// clears and removals overlap. Under ThreadSanitizer this proves the sharing sound; in every
// build, a last undisturbed parse must still find every regular file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/frontend.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/portable.h"
#include "dyxcore/vfolder.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "hostile_tree_testing.h"
#include "kxcore/io.h"
#include "support/testutil.h"

namespace {

using namespace std::chrono_literals;

// The worker's observer, as the window's: counts what the views filed, and stops the scan when
// the window's thread asks.
class WorkerObserver final : public DyxScanObserver {
 public:
  bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) override {
    if (folder == nullptr || entry == nullptr) m_nulls.fetch_add(1);
    m_filed.fetch_add(1);
    return true;
  }
  bool isStopRequested(bool& restarted) override {
    restarted = false;
    return m_stop.load();
  }
  void directoryStarted(const std::string& path) override {
    if (path.empty()) m_nulls.fetch_add(1);
    m_directories.fetch_add(1);
  }

  std::atomic<bool> m_stop{false};
  std::atomic<long> m_filed{0};
  std::atomic<long> m_directories{0};
  std::atomic<long> m_nulls{0};
};

TEST(HostileThreads, ParsesViewSwitchesStopsAndPollingOverlap) {
  quarrytest::TempDir root;
  quarrytest::TempDir work;
  quarrytest::CwdGuard cwd(work.path());
  quarrytest::makeDirs(work / "conf");
  quarrytest::writeFile(work / "conf/pref.ini",
                        "TraceLevel \"SILENT\"\nDynamicUpdatePollingPeriod \"1\"\n");
  const std::string tree = root / "tree";
  hostile::dir(tree);
  hostile::TreeOptions options;
  options.manyFiles = 400;
  options.deep = false;
  hostile::buildTree(tree, options);
  std::map<std::string, std::uint64_t> expected;
  hostile::regularFiles(tree, expected);

  DyxFrontEnd::startEngine();
  ActivityLog::open("/dev/null");
  WorkerObserver observer;
  Dyx::getPhysicalDirs().setObserver(&observer);
  hostile::Watchdog watchdog("parses, view switches, stops and polling", 280s);

  std::vector<std::string> tags = DyxFrontEnd::predefinedViewTags();
  std::atomic<bool> done{false};
  std::atomic<int> parses{0};
  {
    hostile::Churn churn(tree + "/churn");
    Dyx::getEnviron().setPreference("DynamicUpdate", "true");

    std::thread worker([&] {
      for (int round = 0; round < 24; ++round) {
        DyxParseRequest request;
        request.dir = tree;
        request.recursive = true;
        request.viewTag = tags[static_cast<std::size_t>(round) % tags.size()];
        request.viewOnly = round % 3 == 2;
        request.criterion = round % 4 == 1 ? "$Size > 100 or $Name like \"*.txt\"" : "";
        const DyxParseResult result = DyxFrontEnd::runParse(request);
        EXPECT_NE(result.view, nullptr) << request.viewTag;
        parses.fetch_add(1);
      }
      done.store(true);
    });

    // The window's thread: stop requests at changing moments, and reads of the shown view.
    std::thread window([&] {
      int tick = 0;
      while (!done.load()) {
        observer.m_stop.store(++tick % 5 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + tick % 7));
        DyxEngineLock lock;
        for (const std::string& tag : tags) {
          DyxView* view = Dyx::getViewManager().getCached(tag);
          if (view == nullptr) continue;
          std::vector<DyxViewFolder*> folders;
          view->getFolders(folders, true, true);
          std::vector<DyxEntry*> entries;
          for (DyxViewFolder* folder : folders) {
            folder->getEntries(entries);
            for (const DyxEntry* entry : entries) EXPECT_FALSE(entry->isFree());
          }
        }
      }
      observer.m_stop.store(false);
    });
    worker.join();
    window.join();
    Dyx::getEnviron().setPreference("DynamicUpdate", "false");
  }
  std::printf("%d parses, %ld entries filed, %ld directories started\n", parses.load(),
              observer.m_filed.load(), observer.m_directories.load());
  EXPECT_EQ(parses.load(), 24);
  EXPECT_EQ(observer.m_nulls.load(), 0);
  EXPECT_GT(observer.m_filed.load(), 0);

  // Undisturbed, the next parse finds every regular file with its size.
  DyxParseRequest request;
  request.dir = tree;
  request.recursive = true;
  const DyxParseResult result = DyxFrontEnd::runParse(request);
  ASSERT_TRUE(result.scanned);
  std::map<std::string, std::uint64_t> parsed;
  {
    DyxEngineLock lock;
    std::vector<DyxEntry*> entries;
    Dyx::getPhysicalDirs().collectEntries(entries, true, DyxPattern(), false);
    for (const DyxEntry* entry : entries) parsed[entry->getFullName()] = entry->getSize();
  }
  for (const auto& [path, size] : expected) {
    const auto it = parsed.find(path);
    ASSERT_NE(it, parsed.end()) << hostile::printable(path);
    if (::access(path.c_str(), R_OK) == 0) {
      EXPECT_EQ(it->second, size) << hostile::printable(path);
    }
  }
  Dyx::getPhysicalDirs().setObserver(nullptr);
  DyxFrontEnd::stopEngine();
  Dyx::closeTrace();
  hostile::removeTree(tree);
}

}  // namespace
