#include "dyxcore/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "support/testutil.h"

using namespace dyxplatform;

namespace {

// A tree of names that have hurt file walkers: links that loop or dangle, special files that
// block on open, unreadable files, and names the line-oriented formats cannot hold.
struct HostileTree {
  quarrytest::TempDir dir;
  HostileTree() {
    quarrytest::writeFile(dir / "plain.txt", "hello");
    quarrytest::makeDirs(dir / "sub");
    quarrytest::writeFile(dir / "sub/inner.txt", "x");
    symlink("loop_b", (dir / "loop_a").c_str());
    symlink("loop_a", (dir / "loop_b").c_str());
    symlink("nowhere", (dir / "dangling").c_str());
    symlink("plain.txt", (dir / "good_link").c_str());
    symlink(".", (dir / "self_dir_link").c_str());
    mkfifo((dir / "fifo").c_str(), 0644);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = dir / "sock";
    if (sockPath.size() < sizeof addr.sun_path) {
      std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
      bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    close(s);
    quarrytest::writeFile(dir / "secret", "no");
    chmod((dir / "secret").c_str(), 0);
    quarrytest::writeFile(dir / "new\nline", "n");
    quarrytest::writeFile(dir / ">gt", "g");
    quarrytest::writeFile(dir / "bad\xff\xfe-utf8", "u");
  }
};

}  // namespace

TEST(PlatformListing, HostileTreeListsEveryNameWithTheRightDirectoryFlag) {
  HostileTree tree;
  std::vector<DirItem> items;
  int error = 0;
  ASSERT_TRUE(listDirectory(tree.dir.path(), items, &error)) << errorText(error);
  std::map<std::string, bool> seen;
  for (const auto& item : items) seen[item.name] = item.isDirectory;
  const std::map<std::string, bool> expected = {
      {"plain.txt", false},       {"sub", true},        {"loop_a", false},
      {"loop_b", false},          {"dangling", false},  {"good_link", false},
      {"self_dir_link", false},   {"fifo", false},      {"sock", false},
      {"secret", false},          {"new\nline", false}, {">gt", false},
      {"bad\xff\xfe-utf8", false}};
  EXPECT_EQ(seen, expected);  // no "." or "..", links to directories are not directories
}

TEST(PlatformListing, MissingDirectoryAndFileAreRefused) {
  quarrytest::TempDir dir;
  quarrytest::writeFile(dir / "file", "x");
  std::vector<DirItem> items;
  int error = 0;
  EXPECT_FALSE(listDirectory(dir / "missing", items, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(listDirectory(dir / "file", items, &error));
  EXPECT_EQ(error, ENOTDIR);
  error = 0;
  EXPECT_EQ(Env::current().openDirectory(dir / "missing", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

TEST(PlatformFileInfo, HostileNamesGetTheirStatusWithoutBlockingByPathOrFromTheirDirectory) {
  HostileTree tree;
  const bool root = isPrivileged();
  struct Case {
    std::string name;
    FileInfoResult expected;
  };
  const std::vector<Case> cases = {
      {"plain.txt", FileInfoResult::kOk},
      {"good_link", FileInfoResult::kOk},  // described by its target
      {"loop_a", FileInfoResult::kOpenFailed},
      {"dangling", FileInfoResult::kOpenFailed},
      {"fifo", FileInfoResult::kOk},  // never opened, so never blocks
      {"sock", FileInfoResult::kOk},
      {"secret", root ? FileInfoResult::kOk : FileInfoResult::kOpenFailed},
      {"new\nline", FileInfoResult::kOk},
      {">gt", FileInfoResult::kOk},
      {"bad\xff\xfe-utf8", FileInfoResult::kOk},
      {"missing", FileInfoResult::kVanished},
  };
  for (const auto& c : cases) {
    FileInfo info;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readFileInfo(tree.dir / c.name, info, nullptr), c.expected) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
  }
  FileInfo info;
  ASSERT_EQ(readFileInfo(tree.dir / "good_link", info), FileInfoResult::kOk);
  EXPECT_EQ(info.size, 5u);
  EXPECT_TRUE(info.isRegular());

  // From the open directory by name: the same answers as by the whole path.
  std::unique_ptr<Directory> open = Env::current().openDirectory(tree.dir.path());
  ASSERT_TRUE(open);
  for (const auto& c : cases) {
    FileInfo byName;
    FileInfo byPath;
    EXPECT_EQ(open->readFileInfo(c.name, byName), c.expected) << c.name;
    readFileInfo(tree.dir / c.name, byPath);
    EXPECT_EQ(byName.size, byPath.size) << c.name;
    EXPECT_EQ(byName.lastWriteTime, byPath.lastWriteTime) << c.name;
  }
}

TEST(PlatformFileInfo, ReadingDoesNotChangeTheAccessTimeAndGivesTheFileTime) {
  quarrytest::TempDir dir;
  const std::string path = dir / "f";
  quarrytest::writeFile(path, std::string(70000, 'a'));
  // An old access time: a read that touched it would move it to now under any atime policy.
  struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  FileInfo info;
  ASSERT_EQ(readFileInfo(path, info, nullptr), FileInfoResult::kOk);
  EXPECT_EQ(info.size, 70000u);
  EXPECT_EQ(info.lastWriteTime, (1200000000ULL + 11644473600ULL) * 10000000ULL + 5);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
}

TEST(PlatformTime, FileTimeConversionTable) {
  struct Case {
    std::int64_t seconds, nanos;
    std::uint64_t fileTime;
  };
  const Case cases[] = {
      {0, 0, 116444736000000000ULL},
      {0, 199, 116444736000000001ULL},
      {-11644473600LL, 0, 0},
      {-11644473601LL, 0, 0},  // before 1601: clamped
      {1700000000, 0, 133444736000000000ULL},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fileTimeFromUnix(c.seconds, c.nanos), c.fileTime) << c.seconds;
  }
  EXPECT_EQ(unixSecondsFromFileTime(116444736000000000ULL), 0);
  EXPECT_EQ(highPart(0xFFFFFFFF00000000ULL), -1);
  CalendarTime cal;
  ASSERT_TRUE(toCalendarUtc(unixSecondsFromFileTime(0), cal));
  EXPECT_EQ(cal.year, 1601);
  EXPECT_EQ(cal.month, 1);
  EXPECT_EQ(cal.day, 1);
}

TEST(PlatformTime, DirectoryChangeTimeMovesWhenANameIsAdded) {
  quarrytest::TempDir dir;
  std::uint64_t before = 0;
  ASSERT_TRUE(directoryChangeTime(dir.path(), before));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  quarrytest::writeFile(dir / "new", "x");
  std::uint64_t after = 0;
  ASSERT_TRUE(directoryChangeTime(dir.path(), after));
  EXPECT_GT(after, before);
  int error = 0;
  EXPECT_FALSE(directoryChangeTime(dir / "missing", after, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST(PlatformFiles, WriteFileReplacingKeepsTheOldFileWhenWritingFails) {
  quarrytest::TempDir dir;
  const std::string target = dir / "data.txt";
  ASSERT_TRUE(writeFileReplacing(target, std::string_view("first")));
  EXPECT_EQ(quarrytest::readFile(target), "first");
  ASSERT_TRUE(
      writeFileReplacing(Env::current(), target, {std::string_view("a"), std::string_view("b")}));
  EXPECT_EQ(quarrytest::readFile(target), "ab");
  // A directory where the temporary file would go makes the write fail half-way.
  quarrytest::makeDirs(target + ".tmp" + std::to_string(processId()));
  int error = 0;
  EXPECT_FALSE(writeFileReplacing(target, std::string_view("third"), &error));
  EXPECT_NE(error, 0);
  EXPECT_EQ(quarrytest::readFile(target), "ab");
  std::string content;
  EXPECT_TRUE(readWholeFile(target, content));
  EXPECT_EQ(content, "ab");
  EXPECT_FALSE(readWholeFile(dir / "missing", content, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST(PlatformFiles, FileReaderReadsRegularFilesOnlyWithoutBlocking) {
  HostileTree tree;
  const bool root = isPrivileged();
  struct Case {
    const char* name;
    bool opens;
  };
  const Case cases[] = {{"plain.txt", true}, {"good_link", true}, {"fifo", false},
                        {"sock", false},     {"sub", false},      {"dangling", false},
                        {"loop_a", false},   {"secret", root}};
  for (const auto& c : cases) {
    FileReader reader(tree.dir / c.name);
    EXPECT_EQ(reader.isOpen(), c.opens) << c.name;
    char buffer[4];
    if (!c.opens) {
      EXPECT_EQ(reader.read(buffer, sizeof buffer), -1) << c.name;
    }
  }
  FileReader reader(tree.dir / "plain.txt");
  char buffer[4];
  std::string content;
  for (long n; (n = reader.read(buffer, sizeof buffer)) > 0;) content.append(buffer, n);
  EXPECT_EQ(content, "hello");
  EXPECT_EQ(reader.read(buffer, sizeof buffer), 0);
}

TEST(PlatformFiles, DirectoriesRenameAndCurrentDirectory) {
  quarrytest::TempDir dir;
  EXPECT_TRUE(makeDirectories(dir / "a/b/c"));
  EXPECT_TRUE(isDirectory(dir / "a/b/c"));
  EXPECT_TRUE(makeDirectory(dir / "a"));  // existing is fine
  quarrytest::writeFile(dir / "x", "1");
  EXPECT_TRUE(renameFile(dir / "x", dir / "y"));
  EXPECT_FALSE(pathExists(dir / "x"));
  EXPECT_TRUE(isRegularFile(dir / "y"));
  EXPECT_TRUE(removeFile(dir / "y"));
  EXPECT_FALSE(removeFile(dir / "y"));
  quarrytest::CwdGuard cwd(dir.path());
  EXPECT_EQ(currentDirectory(), dir.path());
}

TEST(PlatformProcess, BlockingStartCapturesOutputAndDetachedStartLeavesNoZombie) {
  quarrytest::TempDir dir;
  const std::string sh = findProgram("sh");
  ASSERT_FALSE(sh.empty());
  EXPECT_EQ(findProgram("no-such-program-quarry"), "");
  EXPECT_EQ(findProgram(dir / "missing"), "");

  const std::string out = dir / "out.log";
  // "read" on stdin must not hang: stdin is /dev/null.
  SpawnResult r = spawnProcess(sh, {"sh", "-c", "read x; echo value=42; exit 3"}, true, out);
  ASSERT_TRUE(r.started);
  EXPECT_GT(r.pid, 0);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(quarrytest::readFile(out), "value=42\n");

  SpawnResult missing = spawnProcess(dir / "missing", {"missing"}, false);
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.error, ENOENT);

  const std::string marker = dir / "marker";
  SpawnResult d = spawnProcess(sh, {"sh", "-c", "echo done > '" + marker + "'"}, false);
  ASSERT_TRUE(d.started);
  EXPECT_GT(d.pid, 0);
  for (int i = 0; i < 200 && quarrytest::readFile(marker).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(quarrytest::readFile(marker), "done\n");
  // The detached program is not our child: nothing is left to reap.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(PlatformWatch, ReportsChangesTimeoutsInterruptsAndRefusals) {
  quarrytest::TempDir dir;
  std::unique_ptr<DirectoryWatch> watched = Env::current().watchDirectory(dir.path());
  DirectoryWatch& watch = *watched;
  ASSERT_TRUE(watch.isValid()) << errorText(watch.error());
  EXPECT_EQ(watch.wait(10), DirectoryWatch::WaitResult::kTimeout);
  quarrytest::writeFile(dir / "a", "1");
  EXPECT_EQ(watch.wait(1000), DirectoryWatch::WaitResult::kChanged);
  EXPECT_EQ(watch.wait(10), DirectoryWatch::WaitResult::kTimeout);  // events were consumed

  // An interrupt before the wait is not lost; one during a wait ends it.
  watch.interrupt();
  EXPECT_EQ(watch.wait(-1), DirectoryWatch::WaitResult::kInterrupted);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    watch.interrupt();
  });
  EXPECT_EQ(watch.wait(5000), DirectoryWatch::WaitResult::kInterrupted);
  t.join();

  std::unique_ptr<DirectoryWatch> bad = Env::current().watchDirectory(dir / "missing");
  EXPECT_FALSE(bad->isValid());
  EXPECT_EQ(bad->wait(10), DirectoryWatch::WaitResult::kError);

  quarrytest::makeDirs(dir / "gone");
  std::unique_ptr<DirectoryWatch> gone = Env::current().watchDirectory(dir / "gone");
  ASSERT_TRUE(gone->isValid());
  rmdir((dir / "gone").c_str());
  EXPECT_EQ(gone->wait(1000), DirectoryWatch::WaitResult::kGone);
}
