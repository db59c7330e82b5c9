// A parse lists every file of the tree, or names what it left out: a repository that grows past
// its capacity, files that cannot be kept (one counted notice), directories that cannot be read
// (a notice each, as an unprivileged user), files that cannot be opened (listed with what stat
// gives), files that vanish while the scan runs (not listed), and paths far longer than the
// system takes whole. Recursive parses run the read-ahead thread: the ThreadSanitizer run takes
// this suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/frontend.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/platform.h"
#include "dyxcore/vfolder.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "hostile_tree_testing.h"
#include "kxcore/notice.h"
#include "pool_testing.h"
#include "support/testutil.h"

namespace {

std::string join(const std::set<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += s + "\n";
  return out;
}

// One parse through the front ends' sequence, in a working directory of its own.
class ScanCompletenessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // An unprivileged child works in here and reads the tree: both must be reachable.
    ::chmod(m_work.path().c_str(), 0777);
    ::chmod(m_tree.path().c_str(), 0755);
    m_cwd = std::make_unique<quarrytest::CwdGuard>(m_work.path());
  }
  void TearDown() override {
    DyxEntryRepository::setSlotLimit(0);
    m_cwd.reset();
  }

  // Starts the engine, optionally with a repository of `capacity` slots, parses `dir`
  // recursively into the Location view and answers every file the view holds (full paths).
  static std::set<std::string> parse(const std::string& dir, std::size_t capacity = 0,
                                     bool* scanned = nullptr) {
    DyxFrontEnd::startEngine();
    KxNotices::clear();
    if (capacity != 0) {
      // The pool's repository is made again at this size when the parse first needs it.
      DyxEntryRepository::deleteRepository(Dyx::getPhysicalDirs().repositoryKey());
      DyxEntryRepository::setDefaultCapacity(capacity);
    }
    DyxParseRequest request;
    request.dir = dir;
    request.recursive = true;
    request.criterion = "true";
    const DyxParseResult result = DyxFrontEnd::runParse(request);
    if (scanned != nullptr) *scanned = result.scanned;
    std::set<std::string> files;
    {
      DyxEngineLock lock;
      if (result.view != nullptr) {
        for (DyxViewFolder* folder : DyxFrontEnd::foldersInOrder(*result.view)) {
          for (DyxEntry* e : DyxFindFilter().rowsOf(*folder)) files.insert(e->getFullName());
        }
      }
    }
    return files;
  }
  static void stop() {
    DyxFrontEnd::stopEngine();
    DyxEntryRepository::setDefaultCapacity(DyxEntryRepository::kDefaultSlotCount);
  }
  // The notices of the parse, one text per line, sorted (the listing order decides which
  // directory comes first).
  static std::string noticeLines() {
    std::set<std::string> lines;
    for (const KxNotice& n : KxNotices::take()) lines.insert(n.text());
    return join(lines);
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
  std::unique_ptr<quarrytest::CwdGuard> m_cwd;
};

// 21 directories of 10 files against 100 slots: the shape of 210,000 files against the shipped
// 200,000, which left the last directory out. Every file reaches the view, whose index keeps
// the entries of every block, and a clear takes them all out again.
TEST_F(ScanCompletenessTest, RepositoryGrowsPastItsCapacityAndEveryFileIsInTheView) {
  std::set<std::string> expected;
  for (int d = 0; d < 21; ++d) {
    for (int f = 0; f < 10; ++f) {
      const std::string path = m_tree / ("d" + std::to_string(d) + "/f" + std::to_string(f));
      quarrytest::writeFile(path, "");
      expected.insert(path);
    }
  }
  pooltest::ActivityCapture activity(m_work / "activity.log");
  const std::set<std::string> listed = parse(m_tree.path(), 100);
  EXPECT_EQ(listed.size(), 210u);
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(noticeLines(), "");
  {
    DyxEngineLock lock;
    DyxEntryRepository& repo =
        DyxEntryRepository::getRepository(Dyx::getPhysicalDirs().repositoryKey());
    EXPECT_GE(repo.slotCount(), 210u);
    EXPECT_EQ(Dyx::getViewManager().getIndex().entryCount(), 210u);
  }
  DyxFrontEnd::clearPool();
  {
    DyxEngineLock lock;
    EXPECT_EQ(Dyx::getViewManager().getIndex().entryCount(), 0u);
  }
  EXPECT_FALSE(activity.contains("Cannot allocate")) << activity.text();
  EXPECT_FALSE(activity.contains("ERROR")) << activity.text();
  stop();
}

// When no entry can be made the scan goes on, and the user gets one notice with the count and
// the first file, and the activity log one line, instead of a line per file.
TEST_F(ScanCompletenessTest, FilesThatCannotBeKeptAreOneCountedNotice) {
  for (int f = 0; f < 80; ++f)
    quarrytest::writeFile(m_tree / ("d/f" + std::to_string(100 + f)), "");
  DyxEntryRepository::setSlotLimit(50);
  pooltest::ActivityCapture activity(m_work / "activity.log");
  const std::set<std::string> listed = parse(m_tree.path(), 20);
  EXPECT_EQ(listed.size(), 50u);
  const std::vector<KxNotice> notices = KxNotices::take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].kind, KxNoticeKind::kLeftOut);
  EXPECT_EQ(notices[0].count, 30u);
  EXPECT_EQ(listed.count(notices[0].path), 0u) << notices[0].path;
  EXPECT_EQ(notices[0].text(),
            "30 files were left out: no memory is left for more entries (the first: " +
                notices[0].path + ")");
  EXPECT_FALSE(activity.contains("Cannot allocate")) << activity.text();
  EXPECT_TRUE(activity.contains("ERROR: " + notices[0].text() + "\n")) << activity.text();
  stop();
}

// As an unprivileged user: every directory that cannot be listed is named with the reason,
// every other file is listed, and the top directory that cannot be listed fails the parse.
TEST_F(ScanCompletenessTest, UnreadableDirectoriesAreNamedAndEverythingElseIsListed) {
  const std::string tree = m_tree.path();
  quarrytest::writeFile(tree + "/a", "a");
  quarrytest::writeFile(tree + "/sub/b", "b");
  quarrytest::writeFile(tree + "/open/c", "c");
  quarrytest::writeFile(tree + "/open/deeper/closed/d", "d");
  quarrytest::writeFile(tree + "/open/deeper/e", "e");
  for (const char* d : {"/sub", "/open/deeper/closed"}) ::chmod((tree + d).c_str(), 0);
  for (const char* d : {"/open", "/open/deeper"}) ::chmod((tree + d).c_str(), 0755);

  const std::optional<std::string> seen = quarrytest::runUnprivileged([&tree]() {
    bool scanned = false;
    std::string out = join(parse(tree, 0, &scanned));
    out += scanned ? "scanned\n" : "not scanned\n";
    out += noticeLines();
    // The top directory itself cannot be listed: the parse fails and says why.
    parse(tree + "/sub", 0, &scanned);
    out += scanned ? "scanned\n" : "not scanned\n";
    out += noticeLines();
    stop();
    return out;
  });
  if (!seen) GTEST_SKIP() << "cannot run the scan as user " << quarrytest::kUnprivilegedId;
  EXPECT_EQ(*seen, tree + "/a\n" + tree + "/open/c\n" + tree + "/open/deeper/e\nscanned\n" + tree +
                       "/open/deeper/closed: Permission denied\n" + tree +
                       "/sub: Permission denied\nnot scanned\n" + tree +
                       "/sub: Permission denied\n");
}

// A file that cannot be opened is listed in I/O error with the size and time that stat gives,
// read directly or by the read-ahead of a recursive scan.
TEST_F(ScanCompletenessTest, UnreadableFilesShowWhatStatGives) {
  const std::string tree = m_tree.path();
  const std::vector<std::string> files = {tree + "/secret", tree + "/s/t/secret2"};
  for (const std::string& f : files) {
    quarrytest::writeFile(f, std::string(1234, 'x'));
    struct timespec times[2] = {{0, UTIME_OMIT}, {981173106, 0}};  // 2001-02-03
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
    ::chmod(f.c_str(), 0);
  }
  for (const char* d : {"/s", "/s/t"}) ::chmod((tree + d).c_str(), 0755);
  const std::optional<std::string> seen = quarrytest::runUnprivileged([&]() {
    parse(tree);
    std::ostringstream out;
    DyxEngineLock lock;
    for (const std::string& f : files) {
      const DyxEntry* e = Dyx::getPhysicalDirs().getEntry(DyxPath(f));
      if (e == nullptr) {
        out << "missing " << f << "\n";
        continue;
      }
      out << e->getName() << " " << e->getStatusText() << " " << e->getSize() << " "
          << e->getMTime().getValue() << "\n";
    }
    lock.unlock();
    out << noticeLines();
    stop();
    return out.str();
  });
  if (!seen) GTEST_SKIP() << "cannot run the scan as user " << quarrytest::kUnprivilegedId;
  const std::string status = DyxEntry::statusText(kStatusIOError);
  const std::string stamp =
      std::to_string(DyxTime::fromFileTime(dyxplatform::fileTimeFromUnix(981173106, 0)).getValue());
  EXPECT_EQ(*seen, "secret " + status + " 1234 " + stamp + "\nsecret2 " + status + " 1234 " +
                       stamp + "\n");
}

// Files removed between the listing and the reading of their information are no files.
TEST_F(ScanCompletenessTest, FilesThatVanishDuringTheScanAreNotListed) {
  for (int f = 0; f < 20; ++f) quarrytest::writeFile(m_tree / ("f" + std::to_string(f)), "x");
  // Asked after the first name, it removes every file but f0, which the listing still gives.
  class Remover final : public DyxScanObserver {
   public:
    explicit Remover(std::string dir) : m_dir(std::move(dir)) {}
    bool entryFiled(DyxViewFolder*, DyxEntry*) override { return true; }
    bool isStopRequested(bool&) override {
      if (!m_done) {
        m_done = true;
        for (int f = 1; f < 20; ++f) std::filesystem::remove(m_dir + "/f" + std::to_string(f));
      }
      return false;
    }
    void directoryStarted(const std::string&) override {}

   private:
    std::string m_dir;
    bool m_done = false;
  } remover(m_tree.path());
  DyxFrontEnd::startEngine();
  KxNotices::clear();
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  pool.setFilter("true");
  pool.setObserver(&remover);
  EXPECT_TRUE(pool.addPhysicalDirectory(m_tree.path(), false, false));
  pool.setObserver(nullptr);
  std::set<std::string> names;
  {
    DyxEngineLock lock;
    const DyxPhysicalDirectory* dir = pool.findPhysicalDirectory(m_tree.path());
    ASSERT_NE(dir, nullptr);
    for (const DyxEntry* e : dir->sortedEntries()) names.emplace(e->getName());
  }
  // f0, and the one name read before the others went (f0 itself, or another).
  EXPECT_EQ(names.count("f0"), 1u) << join(names);
  EXPECT_LE(names.size(), 2u) << join(names);
  EXPECT_EQ(noticeLines(), "");
  stop();
}

// A chain of 60 directories with 200-byte names: a path of 12,000 bytes, about three times what
// the system takes whole, and deeper than the read-ahead keeps open. Every file is listed.
TEST_F(ScanCompletenessTest, PathsFarLongerThanTheSystemTakesAreListed) {
  const std::string tree = m_tree.path();
  std::set<std::string> expected;
  int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string path = tree;
  for (int level = 0; level < 60 && fd >= 0; ++level) {
    const std::string name = std::string(197, 'n') + std::to_string(100 + level);
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0) << level;
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    path += "/" + name;
    const std::string file = "file" + std::to_string(level);
    const int f = ::openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(f, 0) << level;
    ::close(f);
    expected.insert(path + "/" + file);
  }
  if (fd >= 0) ::close(fd);
  ASSERT_GT(path.size(), 2u * 4096);
  const std::set<std::string> listed = parse(tree);
  EXPECT_EQ(noticeLines(), "");
  stop();
  hostile::removeTree(tree + "/" + std::string(197, 'n') + "100");
  EXPECT_EQ(listed.size(), 60u);
  EXPECT_TRUE(listed == expected) << "listed " << listed.size() << " of " << expected.size();
}

// A directory asked for by name that is not there, or is a file, is named with the reason.
TEST_F(ScanCompletenessTest, MissingTopDirectoryIsNamed) {
  quarrytest::writeFile(m_tree / "plain", "p");
  for (const std::string& dir : {m_tree / "missing", m_tree / "plain"}) {
    bool scanned = true;
    EXPECT_TRUE(parse(dir, 0, &scanned).empty()) << dir;
    EXPECT_FALSE(scanned) << dir;
    const std::string reason =
        dir == m_tree / "plain" ? "Not a directory" : "No such file or directory";
    EXPECT_EQ(noticeLines(), dir + ": " + reason + "\n");
    stop();
  }
}

}  // namespace
