// The read-ahead of a recursive descent: a walk that reads its directories as the recursive scan
// does (DyxDirectoryReading, handing each sub-directory its level) must see exactly what a walk
// without read-ahead sees, in the same order, whichever directories it skips or stops at, and
// nothing read ahead may outlive the descent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dyxcore/platform.h"
#include "dyxcore/readahead.h"
#include "support/testutil.h"

using namespace dyxplatform;

namespace {

// One step of a walk as the engine observes it.
struct Seen {
  std::string path;
  bool isDirectory = false;
  bool opened = true;     // directories: the listing opened
  bool timeRead = false;  // directories: the change time was read
  std::uint64_t changeTime = 0;
  FileInfoResult result = FileInfoResult::kOk;  // files
  std::uint64_t size = 0;
  std::uint64_t writeTime = 0;
  bool operator==(const Seen&) const = default;
};

using Skip = std::function<bool(const std::string& dir)>;

// Time the nested walk spends on each file: a slow walk lets the helper run ahead, a fast one
// catches it up, so that the scan reads part of the directories itself.
std::chrono::microseconds g_filePause{0};
// Called by the nested walk before each file, when set.
std::function<void()> g_beforeFile;

// Watches which thread does what: counts the directories opened by whole path on threads other
// than the walking ones (the helper opens the descent's parent that way, so a count above zero
// shows it ran) and the files a walking thread reads through a directory the helper opened
// (the files the helper had not come to). It may slow the helper's reading of files, so that
// the walk catches it up, and call `onWalkRead` before such a read of the walk.
class HelperSpyEnv final : public EnvWrapper {
 public:
  HelperSpyEnv() : EnvWrapper(Env::system()) {}
  void addWalker(std::thread::id id) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_walkers.insert(id);
  }
  int helperOpens() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_helperOpens;
  }
  int walkReadsThroughHelper() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_walkReads;
  }
  // Directories the helper opened, by path or from their parent.
  int helperListings() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_helperListings;
  }
  std::chrono::microseconds helperFilePause{0};
  // Called on the walking thread with the directory's path and the file's name.
  std::function<void(const std::string&, const std::string&)> onWalkRead;

  std::unique_ptr<Directory> openDirectory(const std::string& path, int* error) override {
    if (!isWalker()) {
      std::lock_guard<std::mutex> guard(m_mutex);
      ++m_helperOpens;
      ++m_helperListings;
    }
    return wrap(path, EnvWrapper::openDirectory(path, error));
  }

 private:
  class SpyDirectory final : public Directory {
   public:
    SpyDirectory(HelperSpyEnv& env, std::string path, std::unique_ptr<Directory> target)
        : m_env(env),
          m_path(std::move(path)),
          m_target(std::move(target)),
          m_byHelper(!env.isWalker()) {}
    bool next(DirItem& item) override { return m_target->next(item); }
    int error() const override { return m_target->error(); }
    FileInfoResult readFileInfo(const std::string& name, FileInfo& out, int* error) override {
      if (!m_env.isWalker()) {
        if (m_env.helperFilePause.count() > 0) std::this_thread::sleep_for(m_env.helperFilePause);
      } else if (m_byHelper) {
        {
          std::lock_guard<std::mutex> guard(m_env.m_mutex);
          ++m_env.m_walkReads;
        }
        if (m_env.onWalkRead) m_env.onWalkRead(m_path, name);
      }
      return m_target->readFileInfo(name, out, error);
    }
    bool changeTime(std::uint64_t& fileTime, int* error) override {
      return m_target->changeTime(fileTime, error);
    }
    std::unique_ptr<Directory> openChild(const std::string& name, int* error) override {
      if (!m_env.isWalker()) {
        std::lock_guard<std::mutex> guard(m_env.m_mutex);
        ++m_env.m_helperListings;
      }
      return m_env.wrap(m_path + quarrytest::nativePath("/") + name,
                        m_target->openChild(name, error));
    }

   private:
    HelperSpyEnv& m_env;
    const std::string m_path;
    std::unique_ptr<Directory> m_target;
    const bool m_byHelper;  // opened on the helper's thread
  };

  bool isWalker() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_walkers.count(std::this_thread::get_id()) != 0;
  }
  std::unique_ptr<Directory> wrap(const std::string& path, std::unique_ptr<Directory> dir) {
    if (!dir) return nullptr;
    return std::make_unique<SpyDirectory>(*this, path, std::move(dir));
  }

  mutable std::mutex m_mutex;
  std::set<std::thread::id> m_walkers;
  int m_helperOpens = 0;
  int m_walkReads = 0;
  int m_helperListings = 0;
};

// The scan's order of calls: the time stamp, the listing, then per name either the descent
// (listing still open) or the file information of the name just listed.
void nestedWalk(Env& env, const std::string& dir, const DyxScanLevel* level, std::vector<Seen>& out,
                const Skip& skip, std::size_t& budget) {
  if (budget == 0) return;
  --budget;
  Seen d{dir, true};
  DyxDirectoryReading reading(env, dir, level);
  d.timeRead = reading.changeTime(d.changeTime);
  d.opened = reading.open();
  out.push_back(d);
  std::unique_ptr<DyxReadAhead> own;
  DirItem item;
  while (budget > 0 && reading.next(item)) {
    const std::string path = dir + quarrytest::nativePath("/") + item.name;
    if (item.isDirectory) {
      if (!skip(path)) {
        const DyxScanLevel below{level != nullptr ? level->readAhead : &own, reading.directory(),
                                 &dir};
        nestedWalk(env, path, &below, out, skip, budget);
      }
      continue;
    }
    if (g_filePause.count() > 0) std::this_thread::sleep_for(g_filePause);
    if (g_beforeFile) g_beforeFile();
    Seen f{path, false};
    FileInfo info;
    f.result = reading.readFileInfo(item.name, info);
    f.size = info.size;
    f.writeTime = info.lastWriteTime;
    out.push_back(f);
  }
}

void nestedWalk(Env& env, const std::string& dir, std::vector<Seen>& out, const Skip& skip,
                std::size_t& budget) {
  nestedWalk(env, dir, nullptr, out, skip, budget);
}

void recordFile(const std::string& path, std::vector<Seen>& out) {
  Seen f{path, false};
  FileInfo info;
  f.result = readFileInfo(path, info);
  f.size = info.size;
  f.writeTime = info.lastWriteTime;
  out.push_back(f);
}

// The same walk through plain calls of the environment: no read-ahead.
void flatWalk(const std::string& dir, std::vector<Seen>& out, const Skip& skip,
              std::size_t& budget) {
  if (budget == 0) return;
  --budget;
  Seen d{dir, true};
  d.timeRead = directoryChangeTime(dir, d.changeTime);
  std::vector<DirItem> items;
  d.opened = listDirectory(dir, items);
  out.push_back(d);
  for (const DirItem& item : items) {
    if (budget == 0) break;
    const std::string path = dir + quarrytest::nativePath("/") + item.name;
    if (item.isDirectory) {
      if (!skip(path)) flatWalk(path, out, skip, budget);
      continue;
    }
    recordFile(path, out);
  }
}

// Wide and deep enough that the helper runs ahead of the walk; sizes tell files apart.
void makeTree(const std::string& root, int depth, int& counter) {
  for (int i = 0; i < 5; ++i) {
    quarrytest::writeFile(root + quarrytest::nativePath("/f") + std::to_string(i) + ".txt",
                          std::string(static_cast<std::size_t>(counter++ % 97), 'x'));
  }
  quarrytest::makeSymlink(
      "nowhere", root + quarrytest::nativePath("/dangling"));  // where the system has links
  if (depth == 0) return;
  for (int i = 0; i < 3; ++i) {
    const std::string sub = root + quarrytest::nativePath("/d") + std::to_string(i);
    quarrytest::makeDirs(sub);
    makeTree(sub, depth - 1, counter);
  }
}

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int counter = 0;
    makeTree(m_tmp.path(), 4, counter);
  }
  std::string root() const { return m_tmp.path(); }
  quarrytest::TempDir m_tmp;
};

TEST_F(ReadAheadTest, NestedWalkSeesWhatAFlatWalkSeesInTheSameOrder) {
  const auto none = [](const std::string&) { return false; };
  const struct {
    const char* what;
    Skip skip;
    std::size_t budget;
    std::chrono::microseconds pause{0};
    // The helper reads files slowly: the walk catches it up and reads files itself (unless
    // the helper spends its time in the branches the walk skips).
    std::chrono::microseconds helperPause{0};
    bool walkReadsFiles = false;
  } cases[] = {
      {"everything", none, 100000},
      {"everything, slowly", none, 100000, std::chrono::microseconds(200)},
      {"everything, the helper slowly", none, 100000, std::chrono::microseconds(0),
       std::chrono::microseconds(300), true},
      {"every d1 skipped",
       [](const std::string& p) {
         return p.size() >= 3 && p.compare(p.size() - 3, 3, quarrytest::nativePath("/d1")) == 0;
       },
       100000},
      {"every d1 skipped, the helper slowly",
       [](const std::string& p) {
         return p.size() >= 3 && p.compare(p.size() - 3, 3, quarrytest::nativePath("/d1")) == 0;
       },
       100000, std::chrono::microseconds(0), std::chrono::microseconds(300)},
      {"a whole branch skipped",
       [this](const std::string& p) { return p == root() + quarrytest::nativePath("/d0"); },
       100000},
      {"stopped after 40 directories", none, 40},
      {"stopped after 40 directories, the helper slowly", none, 40, std::chrono::microseconds(0),
       std::chrono::microseconds(300), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Seen> flat;
    std::vector<Seen> nested;
    std::size_t budget = c.budget;
    flatWalk(root(), flat, c.skip, budget);
    budget = c.budget;
    g_filePause = c.pause;
    HelperSpyEnv env;
    env.addWalker(std::this_thread::get_id());
    env.helperFilePause = c.helperPause;
    nestedWalk(env, root(), nested, c.skip, budget);
    g_filePause = std::chrono::microseconds(0);
    ASSERT_GT(flat.size(), 20u);
    EXPECT_EQ(nested, flat);
    // Every case descends into a sub-directory, which starts the helper.
    EXPECT_GT(env.helperOpens(), 0);
    // A walk that catches the helper up reads the files it has not come to itself.
    if (c.walkReadsFiles) {
      EXPECT_GT(env.walkReadsThroughHelper(), 0);
    }
  }
}

TEST_F(ReadAheadTest, ADirectoryChangedAfterItsListingIsReadThroughTheListedDirectory) {
  // The helper lists a directory and the walk, having caught it up, reads the files; meanwhile
  // the directory is removed, or moved away and replaced by another of the same names. The files
  // are read from the directory that was listed: removed, they have vanished; replaced, they
  // are the listed ones, never the newcomers.
#ifdef _WIN32
  // Windows reads a file's information by its path, not through the open directory: there a
  // directory replaced under the same path gives the newcomers. Only the removal holds.
  const std::vector<bool> changes{false};
#else
  const std::vector<bool> changes{false, true};
#endif
  for (const bool replace : changes) {
    SCOPED_TRACE(replace ? "replaced" : "removed");
    std::vector<Seen> before;
    std::size_t budget = 100000;
    flatWalk(
        root(), before, [](const std::string&) { return false; }, budget);
    quarrytest::TempDir elsewhere;
    HelperSpyEnv env;
    env.addWalker(std::this_thread::get_id());
    env.helperFilePause = std::chrono::microseconds(1000);
    std::string changed;  // the directory changed, a leaf of the tree
    std::string firstRead;
    env.onWalkRead = [&](const std::string& dir, const std::string& name) {
      const bool leaf = !std::filesystem::exists(dir + quarrytest::nativePath("/d0"));
      if (!changed.empty() || !leaf) return;
      changed = dir;
      firstRead = dir + quarrytest::nativePath("/") + name;
      if (!replace) {
        std::filesystem::remove_all(dir);
        return;
      }
      std::filesystem::rename(dir, elsewhere.path() + quarrytest::nativePath("/gone"));
      quarrytest::makeDirs(dir);
      for (int i = 0; i < 5; ++i) {
        quarrytest::writeFile(dir + quarrytest::nativePath("/f") + std::to_string(i) + ".txt",
                              std::string(1000, 'n'));
      }
    };
    std::vector<Seen> nested;
    budget = 100000;
    nestedWalk(
        env, root(), nested, [](const std::string&) { return false; }, budget);
    ASSERT_FALSE(changed.empty()) << "the walk read no file the helper had listed";
    int files = 0;
    for (const Seen& s : nested) {
      if (s.isDirectory || s.path.rfind(changed + quarrytest::nativePath("/"), 0) != 0) continue;
      ++files;
      const auto was = std::find_if(before.begin(), before.end(),
                                    [&](const Seen& b) { return b.path == s.path; });
      ASSERT_NE(was, before.end()) << s.path;
      if (replace) {
        EXPECT_EQ(s, *was) << s.path;
      } else if (s.path == firstRead) {
        EXPECT_EQ(s.result, FileInfoResult::kVanished) << s.path;
      } else if (s.result != FileInfoResult::kVanished) {
        // Read by the helper before the directory went.
        EXPECT_EQ(s, *was) << s.path;
      }
    }
    EXPECT_GT(files, 0);
    // The tree as it was, for the next case.
    std::filesystem::remove_all(root());
    quarrytest::makeDirs(root());
    int counter = 0;
    makeTree(root(), 4, counter);
  }
}

TEST(ReadAheadLimitsTest, AHelperFarAheadWaitsForRoomAndTheWalkStillSeesEverything) {
  // More directories than the helper may hold ahead, after one too large for its record to be
  // kept for reuse. The walk holds at its first file until the helper has listed more than it
  // may queue: the helper reads the files of the last directory it listed, waits for room and
  // resumes once the walk has taken half.
  quarrytest::TempDir tmp;
  const std::string top = tmp.path() + quarrytest::nativePath("/top");
  for (int f = 0; f < 600; ++f) {
    quarrytest::writeFile(top + quarrytest::nativePath("/a big one/f") + std::to_string(f),
                          std::string(static_cast<std::size_t>(f % 7), 'x'));
  }
  constexpr int kDirectories = 1100;
  for (int d = 0; d < kDirectories; ++d) {
    quarrytest::writeFile(
        top + quarrytest::nativePath("/d") + std::to_string(d) + quarrytest::nativePath("/f"),
        std::string(static_cast<std::size_t>(d % 5), 'y'));
  }
  const auto none = [](const std::string&) { return false; };
  std::vector<Seen> flat;
  std::vector<Seen> nested;
  std::size_t budget = 100000;
  flatWalk(tmp.path(), flat, none, budget);
  HelperSpyEnv env;
  env.addWalker(std::this_thread::get_id());
  bool held = false;
  int listedWhileHeld = 0;
  g_beforeFile = [&] {
    if (held) return;
    held = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // The descent's start and top, the walk's directory and a full queue.
    while (env.helperListings() < 3 + 1024 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Time for a helper that does not stop to go on.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listedWhileHeld = env.helperListings();
  };
  budget = 100000;
  nestedWalk(env, tmp.path(), nested, none, budget);
  g_beforeFile = nullptr;
  ASSERT_GT(flat.size(), 2800u);
  EXPECT_EQ(nested, flat);
  // The helper stopped short of the end while the walk was held, its queue full.
  EXPECT_GE(listedWhileHeld, 3 + 1024);
  EXPECT_LT(listedWhileHeld, kDirectories);
}

TEST_F(ReadAheadTest, NothingReadAheadOutlivesTheDescent) {
  // A descent stopped early leaves the helper ahead of it; the changes made after it ends must
  // be seen by the next walk, nested or not.
  std::vector<Seen> first;
  std::size_t budget = 30;
  nestedWalk(
      Env::system(), root(), first, [](const std::string&) { return false; }, budget);

  const std::string changed = root() + quarrytest::nativePath("/d2/d2/f0.txt");
  quarrytest::writeFile(changed, std::string(500, 'y'));
  quarrytest::writeFile(root() + quarrytest::nativePath("/d2/d2/new.txt"), "new");
  std::filesystem::remove_all(root() + quarrytest::nativePath("/d2/d1"));

  std::vector<Seen> flat;
  std::vector<Seen> nested;
  budget = 100000;
  flatWalk(
      root(), flat, [](const std::string&) { return false; }, budget);
  budget = 100000;
  nestedWalk(
      Env::system(), root(), nested, [](const std::string&) { return false; }, budget);
  EXPECT_EQ(nested, flat);
  bool sawChange = false;
  for (const Seen& s : nested) {
    if (s.path == changed) sawChange = s.size == 500;
    EXPECT_NE(s.path.rfind(root() + quarrytest::nativePath("/d2/d1"), 0), 0u) << s.path;
  }
  EXPECT_TRUE(sawChange);
}

TEST_F(ReadAheadTest, DescentsOnTwoThreadsKeepTheirOwnResults) {
  std::vector<Seen> reference;
  std::size_t budget = 100000;
  flatWalk(
      root(), reference, [](const std::string&) { return false; }, budget);
  std::vector<Seen> a;
  std::vector<Seen> b;
  std::thread other([&] {
    std::size_t mine = 100000;
    nestedWalk(
        Env::system(), root(), b, [](const std::string&) { return false; }, mine);
  });
  std::size_t mine = 100000;
  nestedWalk(
      Env::system(), root(), a, [](const std::string&) { return false; }, mine);
  other.join();
  EXPECT_EQ(a, reference);
  EXPECT_EQ(b, reference);
}

}  // namespace
