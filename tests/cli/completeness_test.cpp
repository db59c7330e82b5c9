// quarry-cli lists every file that find lists, or names on standard error what it left out and
// exits 3: a tree larger than the shipped repository capacity, a directory an unprivileged user
// cannot read, paths longer than the system takes whole. Plus the exit statuses of a closed
// standard output and of signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "../dyxcore/hostile_tree_testing.h"
#include "cli_testing.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using clitest::CliRun;
using clitest::CliRunOptions;
using clitest::runCli;
using clitest::splitLines;
using clitest::tsvFields;

namespace {

const std::vector<std::string> kAsNobody = {
    "setpriv", "--reuid=" + std::to_string(quarrytest::kUnprivilegedId),
    "--regid=" + std::to_string(quarrytest::kUnprivilegedId), "--clear-groups", "--"};

class CliCompletenessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The unprivileged runs write trace/ in the working directory and read the tree.
    ::chmod(m_work.path().c_str(), 0777);
    ::chmod(m_tree.path().c_str(), 0755);
  }
  const std::string& tree() const { return m_tree.path(); }
  CliRun run(const std::vector<std::string>& args, const CliRunOptions& how = CliRunOptions()) {
    return runCli(m_work.path(), args, how);
  }
  // The files of `--list --format tsv`, by full path.
  static std::set<std::string> listed(const CliRun& r) {
    std::set<std::string> files;
    for (const std::string& line : splitLines(r.out)) {
      const std::vector<std::string> f = tsvFields(line);
      if (f.size() == 6) files.insert(f[4]);
    }
    return files;
  }
  // What `find DIR ! -type d` prints, run with the same wrapper; `complaints` gets the lines
  // of its standard error.
  std::set<std::string> found(const std::vector<std::string>& wrapper,
                              std::vector<std::string>* complaints = nullptr) {
    quarrytest::TempDir capture;
    std::string command;
    for (const std::string& w : wrapper) command += w + " ";
    command += "find '" + tree() + "' '!' -type d > '" + (capture / "out") + "' 2> '" +
               (capture / "err") + "'";
    (void)std::system(command.c_str());
    if (complaints != nullptr) *complaints = splitLines(quarrytest::readFile(capture / "err"));
    const std::vector<std::string> lines = splitLines(quarrytest::readFile(capture / "out"));
    return std::set<std::string>(lines.begin(), lines.end());
  }
  // Root here and in CI: the program must be reachable by the unprivileged user. Anyone else
  // is bound by the permission bits already.
  static bool canRunAsNobody() {
    if (::geteuid() != 0) return true;
    std::string command;
    for (const std::string& w : kAsNobody) command += w + " ";
    command += std::string(QUARRY_CLI_PATH) + " --version > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
};

// 21 directories of 10,000 files with the shipped configuration: 10,000 more than its
// repository capacity, all listed.
TEST_F(CliCompletenessTest, EveryFileOfATreeLargerThanTheShippedCapacityIsListed) {
  const std::string shipped = quarrytest::sourceDir() + "/conf";
  ASSERT_TRUE(fs::exists(shipped + "/pref.ini")) << shipped;
  fs::copy(shipped, m_work / "conf", fs::copy_options::recursive);
  ASSERT_NE(quarrytest::readFile(m_work / "conf/pref.ini").find("RepositoryCapacity \"200000\""),
            std::string::npos);
  for (int d = 0; d < 21; ++d) {
    const std::string dir = tree() + "/d" + std::to_string(d);
    fs::create_directory(dir);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    for (int f = 0; f < 10000; ++f) {
      const std::string name = "f" + std::to_string(f);
      const int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
    ::close(dirFd);
  }
  const auto start = std::chrono::steady_clock::now();
  const CliRun r = run({"-r", "--list", "--format", "tsv", tree()});
  std::cout << "quarry-cli listed the tree in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count()
            << " ms\n";
  EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 2000);
  // One line: the totals (the Location view also counts the folders above the tree).
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err.substr(0, 2000);
  EXPECT_NE(r.err.find(" folder(s), 210000 file(s)\n"), std::string::npos) << r.err;
  const std::set<std::string> files = listed(r);
  EXPECT_EQ(files.size(), 210000u);
  EXPECT_EQ(files.count(tree() + "/d20/f9999"), 1u);
  EXPECT_EQ(files.count(tree() + "/d0/f0"), 1u);
  // Removed by descriptor: much faster than the generic removal's walks by path.
  for (int d = 0; d < 21; ++d) hostile::removeTree(tree() + "/d" + std::to_string(d));
}

// As an unprivileged user: every file find lists is listed, every directory find cannot read
// is named on standard error with the same reason, and the status is 3.
TEST_F(CliCompletenessTest, UnreadableSubDirectoryIsNamedAndTheRestListed) {
  if (!canRunAsNobody()) {
    GTEST_SKIP() << "quarry-cli cannot be run as user 65534 through setpriv";
  }
  quarrytest::writeFile(tree() + "/a", "a");
  quarrytest::writeFile(tree() + "/sub/b", "b");
  quarrytest::writeFile(tree() + "/open/c", "c");
  quarrytest::writeFile(tree() + "/open/locked/d", "d");
  ::chmod((tree() + "/open").c_str(), 0755);
  ::chmod((tree() + "/sub").c_str(), 0);
  ::chmod((tree() + "/open/locked").c_str(), 0711);  // searchable, not listable

  CliRunOptions asNobody;
  if (::geteuid() == 0) asNobody.wrapper = kAsNobody;
  const CliRun r = run({"-r", "--list", "--format", "tsv", tree()}, asNobody);
  std::vector<std::string> complaints;
  const std::set<std::string> byFind = found(asNobody.wrapper, &complaints);
  EXPECT_EQ(byFind, (std::set<std::string>{tree() + "/a", tree() + "/open/c"}));
  EXPECT_EQ(listed(r), byFind);
  EXPECT_EQ(r.exitCode, 3) << r.err;
  ASSERT_EQ(complaints.size(), 2u);
  for (const char* dir : {"/sub", "/open/locked"}) {
    EXPECT_NE(r.err.find("quarry-cli: " + tree() + dir + ": Permission denied\n"),
              std::string::npos)
        << dir << "\n"
        << r.err;
    EXPECT_TRUE(std::any_of(complaints.begin(), complaints.end(), [&](const std::string& c) {
      return c.find(tree() + dir) != std::string::npos &&
             c.find("Permission denied") != std::string::npos;
    })) << dir;
  }
  EXPECT_NE(r.err.find(" file(s). 2 folder(s) could not be read\n"), std::string::npos) << r.err;
}

// A chain of 26 directories with 200-byte names and a file in each: the deepest paths are
// longer than the system takes whole, and all 26 are listed, as find lists them.
TEST_F(CliCompletenessTest, EveryFileOfAChainOfLongNamesIsListed) {
  int fd = ::open(tree().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string path = tree();
  std::set<std::string> expected;
  for (int level = 0; level < 26; ++level) {
    const std::string name = std::string(198, static_cast<char>('a' + level)) + "zz";
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    ASSERT_GE(fd, 0);
    path += "/" + name;
    const int file = ::openat(fd, "file.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    ::close(file);
    expected.insert(path + "/file.txt");
  }
  ::close(fd);
  ASSERT_GT(path.size(), 4096u);
  const CliRun r = run({"-r", "--list", "--format", "tsv", tree()});
  const std::set<std::string> byFind = found({});
  hostile::removeTree(tree() + "/" + std::string(198, 'a') + "zz");
  EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 2000);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err.substr(0, 2000);
  EXPECT_NE(r.err.find(" folder(s), 26 file(s)\n"), std::string::npos) << r.err;
  EXPECT_EQ(byFind, expected);
  const std::set<std::string> files = listed(r);
  EXPECT_EQ(files.size(), 26u);
  EXPECT_TRUE(files == expected);
}

// Standard output closed at the start: nothing lands in a file opened later (the trace), and
// the status says the output could not be written.
TEST_F(CliCompletenessTest, ClosedStandardOutputIsAnErrorNotATraceFile) {
  quarrytest::writeFile(tree() + "/only-in-the-report.txt", "x");
  quarrytest::makeDirs(m_work / "conf");
  quarrytest::writeFile(m_work / "conf/pref.ini", "TraceLevel \"DEBUG\"\n");
  CliRunOptions closed;
  closed.closeStdout = true;
  const CliRun r = run({"--list", "--format", "tsv", tree()}, closed);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("quarry-cli: cannot write the output\n"), std::string::npos) << r.err;
  for (const auto& e : fs::directory_iterator(m_work / "trace")) {
    const std::string text = quarrytest::readFile(e.path().string());
    EXPECT_EQ(text.find(tree() + "/only-in-the-report.txt\t"), std::string::npos) << e.path();
  }
}

// A signal during the scan stops it; the engine still shuts down, and the status is 128 + the
// signal's number.
TEST_F(CliCompletenessTest, SignalsEndTheRunWithTheirOwnStatus) {
  for (int d = 0; d < 40; ++d) {
    for (int f = 0; f < 250; ++f) {
      const std::string dir = tree() + "/d" + std::to_string(d);
      if (f == 0) fs::create_directory(dir);
      const int fd =
          ::open((dir + "/f" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
  }
  for (const int signal : {SIGINT, SIGTERM}) {
    int errPipe[2];
    ASSERT_EQ(::pipe(errPipe), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(errPipe[1], 2);
      ::close(errPipe[0]);
      if (::chdir(m_work.path().c_str()) != 0) ::_exit(121);
      ::setenv("QUARRY_HOME", m_work.path().c_str(), 1);  // its working directory
      ::alarm(120);
      ::execl(QUARRY_CLI_PATH, QUARRY_CLI_PATH, "-r", "--progress", "--list", tree().c_str(),
              static_cast<char*>(nullptr));
      ::_exit(122);
    }
    ASSERT_GT(pid, 0);
    ::close(errPipe[1]);
    // The first directory on standard error: the scan runs, with its handlers in place.
    char c = 0;
    while (::read(errPipe[0], &c, 1) == 1 && c != '\n') {
    }
    ::kill(pid, signal);
    std::string rest;
    while (::read(errPipe[0], &c, 1) == 1) rest += c;
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "killed by " << WTERMSIG(status) << " for " << signal;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal)
        << rest.substr(rest.size() > 500 ? rest.size() - 500 : 0);
    EXPECT_NE(rest.find("quarry-cli: interrupted\n"), std::string::npos) << signal;
  }
}

}  // namespace
