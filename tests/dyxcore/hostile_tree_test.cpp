// The engine over a hostile file tree (hostile_tree_testing.h): a recursive parse through the
// pool ends in bounded time while files come and go, finds every regular file with its size,
// never walks into a link, and the repository saved at shutdown restores exactly what was
// parsed. And a long run of parses and view switches keeps the live heap flat.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/frontend.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/portable.h"
#include "dyxcore/view.h"
#include "dyxcore/xentry.h"
#include "hostile_tree_testing.h"
#include "kxcore/io.h"
#include "support/testutil.h"

namespace {

using namespace std::chrono_literals;
using hostile::printable;
using quarrytest::makeDirs;
using quarrytest::readFile;
using quarrytest::TempDir;
using quarrytest::writeFile;

struct Facts {
  std::uint64_t size = 0;
  std::int32_t mtime = 0;
  std::int32_t status = 0;
  bool operator==(const Facts&) const = default;
};
using Snapshot = std::map<std::string, Facts>;  // by full path

// What the pool holds: every live entry by full path, and the directory keys.
Snapshot poolSnapshot(std::vector<std::string>* directories = nullptr) {
  DyxEngineLock lock;
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  std::vector<DyxEntry*> entries;
  pool.collectEntries(entries, true, DyxPattern(), false);
  Snapshot snapshot;
  for (const DyxEntry* entry : entries) {
    snapshot[entry->getFullName()] =
        Facts{entry->getSize(), entry->getMTime().getValue(), entry->getStatus()};
  }
  if (directories != nullptr) *directories = pool.directoryKeys();
  return snapshot;
}

// Names the differences of two snapshots (at most a few of them).
std::string differences(const Snapshot& a, const Snapshot& b) {
  std::string out;
  int shown = 0;
  for (const auto& [path, facts] : a) {
    const auto it = b.find(path);
    if (it == b.end() || !(it->second == facts)) {
      if (++shown > 8) break;
      out += (it == b.end() ? "  only before: " : "  changed: ") + printable(path) + "\n";
    }
  }
  for (const auto& [path, facts] : b) {
    if (a.count(path) == 0 && ++shown <= 8) out += "  only after: " + printable(path) + "\n";
  }
  return out;
}

// A working directory with conf/ (the trace silent, the path map "hostile") and trace/, beside
// the tree that the test builds; the engine is shut down afterwards.
class HostileTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(m_work.path() + "/conf/views");
    makeDirs(m_work.path() + "/trace");
    writeFile(m_work / "conf/pref.ini",
              "TraceLevel \"SILENT\"\nCurrentPathMap \"hostile\"\nDynamicUpdate \"false\"\n");
    writeFile(m_work / "conf/hostile.fpm", "");
    hostile::dir(tree());
  }
  void TearDown() override {
    Dyx::shutdown();
    Dyx::closeTrace();
    hostile::removeTree(tree());
  }

  std::string tree() const { return m_root.path() + "/tree"; }

  TempDir m_root;
  TempDir m_work;
  quarrytest::CwdGuard m_cwd{m_work.path()};
};

TEST_F(HostileTreeTest, ParseFindsEveryFileAndTheRestoredRepositoryEqualsTheSavedOne) {
  {
    hostile::Watchdog watchdog("building the tree", 240s);
    hostile::buildTree(tree());
  }
  std::map<std::string, std::uint64_t> expected;
  hostile::regularFiles(tree(), expected);
  ASSERT_GT(expected.size(), 50000u);

  {
    hostile::Watchdog watchdog("engine start-up", 60s);
    Dyx::initialize();
  }
  Snapshot parsed;
  std::vector<std::string> directories;
  {
    hostile::Churn churn(tree() + "/churn");
    hostile::Watchdog watchdog("the recursive parse of the hostile tree", 240s);
    DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
    pool.setFilter("");
    EXPECT_TRUE(pool.addPhysicalDirectory(tree(), true, true));
    EXPECT_GT(churn.rounds(), 0);
  }
  parsed = poolSnapshot(&directories);

  // Every regular file, with its size.
  int missing = 0;
  for (const auto& [path, size] : expected) {
    const auto it = parsed.find(path);
    if (it == parsed.end()) {
      if (++missing <= 10) ADD_FAILURE() << "not parsed: " << printable(path);
    } else if (::access(path.c_str(), R_OK) == 0) {
      // A file that cannot be opened (when not run as root) is an entry in error: its presence
      // is what counts.
      EXPECT_EQ(it->second.size, size) << printable(path);
    }
  }
  EXPECT_EQ(missing, 0);

  // Links, the FIFO and the socket are entries of their own; none is walked into.
  for (const char* name :
       {"links/self", "links/parent", "links/root", "links/loopA", "links/dangling",
        "links/to-file", "links/real/grandparent", "special/fifo", "special/socket"}) {
    EXPECT_EQ(parsed.count(tree() + "/" + name), 1u) << name;
  }
  // A churn directory may vanish after its scan: it stays in the pool until the next update.
  const std::string churnPrefix = tree() + "/churn/";
  for (const std::string& key : directories) {
    struct stat st {};
    if (key.size() < 4000 && key.compare(0, churnPrefix.size(), churnPrefix) != 0) {
      ASSERT_EQ(::lstat(key.c_str(), &st), 0) << printable(key);
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << "a directory of the pool is a link: " << printable(key);
    }
    EXPECT_EQ(key.find("/links/self"), std::string::npos) << printable(key);
    EXPECT_EQ(key.find("/links/root"), std::string::npos) << printable(key);
    EXPECT_EQ(key.find("/links/parent"), std::string::npos) << printable(key);
  }

  // Shutdown saves the repository; the next start restores it without scanning.
  {
    hostile::Watchdog watchdog("shutdown with the repository save", 120s);
    Dyx::shutdown();
  }
  const std::string savedText = readFile(m_work / "hostile.txt");
  const std::string savedData = readFile(m_work / "hostile.data");
  ASSERT_FALSE(savedText.empty());
  ASSERT_EQ(savedData.size() % DyxEntry::kRecordBytes, 0u);
  {
    hostile::Watchdog watchdog("start-up with the repository restore", 120s);
    Dyx::initialize();
  }
  std::vector<std::string> restoredDirectories;
  const Snapshot restored = poolSnapshot(&restoredDirectories);
  EXPECT_EQ(restored.size(), parsed.size());
  EXPECT_TRUE(restored == parsed) << differences(parsed, restored);
  // The repository keeps the directories that held entries: exactly those come back. A churn
  // directory may also have been scanned in the moment it stood empty (its file deleted, the
  // directory not yet): the pool then held it without entries, and it comes back as it was.
  std::set<std::string> holding;
  for (const auto& [path, facts] : parsed) holding.insert(path.substr(0, path.rfind('/')));
  const std::set<std::string> pooled(directories.begin(), directories.end());
  // The churn directory itself is one of them: the parse may list it before the churn has
  // made its first file there.
  const auto inChurn = [&churnPrefix](const std::string& dir) {
    return dir.compare(0, churnPrefix.size(), churnPrefix) == 0 ||
           dir == churnPrefix.substr(0, churnPrefix.size() - 1);
  };
  for (const std::string& dir : restoredDirectories) {
    if (holding.count(dir) == 0) {
      EXPECT_TRUE(inChurn(dir) && pooled.count(dir) == 1)
          << "restored without entries, and not an empty directory of the parse: "
          << printable(dir);
    }
  }
  const std::set<std::string> restoredSet(restoredDirectories.begin(), restoredDirectories.end());
  for (const std::string& dir : holding) {
    EXPECT_EQ(restoredSet.count(dir), 1u) << "not restored: " << printable(dir);
  }

  // Saved again, the restored repository writes the very same files.
  Dyx::shutdown();
  EXPECT_TRUE(readFile(m_work / "hostile.txt") == savedText);
  EXPECT_TRUE(readFile(m_work / "hostile.data") == savedData);
}

// Many parses of a small hostile tree, each followed by switches through every predefined view
// and a filter view: after a warm-up the live heap stays where it was. A leak of one small
// object per entry and parse would add megabytes.
TEST_F(HostileTreeTest, LiveHeapStaysFlatOverManyParsesAndViewSwitches) {
  hostile::TreeOptions options;
  options.manyFiles = 300;
  options.deep = false;
  hostile::buildTree(tree(), options);
  writeFile(m_work / "conf/views/Sorted.kx",
            "# F\nF / \"true\" \"<ext>\"\nF \"./Small\" \"$Size < 100\" \"<size>\"\n");
  DyxFrontEnd::startEngine();
  ActivityLog::open("/dev/null");

  std::vector<std::string> tags = DyxFrontEnd::predefinedViewTags();
  tags.push_back("Sorted");
  const auto cycle = [&](int round) {
    DyxParseRequest request;
    request.dir = tree();
    request.recursive = true;
    request.viewTag = tags[static_cast<std::size_t>(round) % tags.size()];
    request.criterion = round % 2 ? "" : "$Size < 2000 or $Name like \"*.txt\"";
    const DyxParseResult result = DyxFrontEnd::runParse(request);
    ASSERT_NE(result.view, nullptr) << request.viewTag;
    ASSERT_TRUE(result.scanned);
    for (const std::string& tag : tags) {
      DyxParseRequest view;
      view.viewTag = tag;
      view.viewOnly = true;
      ASSERT_NE(DyxFrontEnd::runParse(view).view, nullptr) << tag;
    }
  };

  hostile::Watchdog watchdog("parses and view switches", 280s);
  for (int round = 0; round < 5; ++round) cycle(round);
  const std::size_t before = hostile::liveHeapBytes();
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) cycle(round);
  const std::size_t after = hostile::liveHeapBytes();
  const std::size_t growth = after > before ? after - before : 0;
  std::printf("live heap: %zu bytes after the warm-up, %zu after %d more parses\n", before, after,
              kRounds);
  EXPECT_LT(growth, std::size_t{1} << 20) << "live heap grew from " << before << " to " << after
                                          << " bytes over " << kRounds << " parses";
}

}  // namespace
