// End-to-end: saved files and configuration that cannot be read or written are named on
// standard error, the exit status says the run was not complete (3), and files already on disk
// stay byte for byte. A read-only and a full working directory are small file systems mounted
// for the test (root only; the test says so and is skipped elsewhere).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli_testing.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using clitest::CliRun;
using clitest::runCli;

namespace {

// A working directory whose current path map "home" makes the engine save its repository to
// home.txt and home.data at the end of every run, and a tree to parse.
void makeWorkDir(const std::string& work) {
  quarrytest::writeFile(work + "/conf/pref.ini",
                        "TraceLevel \"SILENT\"\nTraceMaxLineCount \"1000\"\n"
                        "CurrentPathMap \"home\"\n");
  quarrytest::writeFile(work + "/conf/home.fpm", "");
}

void makeTree(const std::string& tree) {
  quarrytest::writeFile(tree + "/a.txt", "alpha");
  quarrytest::writeFile(tree + "/sub/b.jpg", "beta");
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class SavedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeWorkDir(m_work.path());
    makeTree(m_tree.path());
  }
  CliRun run(std::vector<std::string> args) {
    args.push_back(m_tree.path());
    return runCli(m_work.path(), args);
  }
  std::string work(const std::string& rel) const { return m_work / rel; }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
};

// A tmpfs mounted on a directory of its own for the test's lifetime.
class Mount {
 public:
  Mount(const std::string& dir, const std::string& options) : m_dir(dir) {
    fs::create_directories(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      m_mounted = true;
    } else {
      m_error = std::strerror(errno);
    }
  }
  ~Mount() {
    if (m_mounted) ::umount2(m_dir.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return m_mounted; }
  const std::string& error() const { return m_error; }
  bool makeReadOnly() {
    return ::mount(nullptr, m_dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string m_dir;
  bool m_mounted = false;
  std::string m_error;
};

// Writes until the file system has no block left.
void fill(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'f');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  for (std::size_t n = 512; n > 0; n /= 2) {
    while (::write(fd, block.data(), n) > 0) {
    }
  }
  ::close(fd);
}

}  // namespace

TEST_F(SavedFilesTest, ADamagedRepositoryIsNamedAndKeptAndTheRunSaysItIsIncomplete) {
  // A saved repository of two files in the tree whose data file lost its last 20 bytes.
  const std::string text = "2\n" + m_tree.path() + "\na.txt\nsub\n>\n1 1\n0 0\n";
  std::string data(64, '\0');
  data[0] = 2;  // a.txt
  data[4] = 1;  // in the tree
  data[32] = 3;
  data[36] = 1;
  data.resize(44);
  quarrytest::writeFile(work("home.txt"), text);
  quarrytest::writeFile(work("home.data"), data);
  // A parse replaces the repository without loading it: the update of the saved index of the
  // path map's directory loads it.
  quarrytest::writeFile(work("conf/home.fpm"), "\"" + m_tree.path() + "\" Yes\n");

  const CliRun damaged = runCli(m_work.path(), {"--update"});
  EXPECT_EQ(damaged.exitCode, 3) << damaged.err;
  EXPECT_TRUE(contains(damaged.err, "quarry-cli: home.data: damaged: holds ")) << damaged.err;
  EXPECT_TRUE(contains(damaged.err, "and a last record cut short")) << damaged.err;
  EXPECT_TRUE(contains(damaged.err, "the next save keeps the damaged files as home.txt.damaged"))
      << damaged.err;
  EXPECT_TRUE(contains(damaged.out, "sub")) << damaged.out;  // the listing itself is whole
  EXPECT_EQ(quarrytest::readFile(work("home.txt.damaged")), text);
  EXPECT_EQ(quarrytest::readFile(work("home.data.damaged")), data);

  // The run saved a sound pair: the next one is complete.
  const CliRun after = runCli(m_work.path(), {"--update"});
  EXPECT_EQ(after.exitCode, 0) << after.err;
  EXPECT_FALSE(contains(after.err, "damaged")) << after.err;
  EXPECT_EQ(quarrytest::readFile(work("home.data.damaged")), data);
}

TEST_F(SavedFilesTest, ConfigurationAndDumpFaultsReachStandardError) {
  struct Case {
    const char* label;
    std::function<void()> arrange;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> err;
  };
  const Case cases[] = {
      {"preferences of random bytes",
       [&] {
         quarrytest::writeFile(work("conf/pref.ini"),
                               std::string("\x7f"
                                           "ELF\x02\x01\x01\0\0\0 \"\n\x03\x04",
                                           15));
       },
       {},
       3,
       {"quarry-cli: conf/pref.ini: line 1: holds bytes that are not text\n"}},
      {"type criterion that does not parse",
       [&] { quarrytest::writeFile(work("conf/type.ini"), "Image \"$Ext = jpg\"\nBad \"(\"\n"); },
       {},
       3,
       {"quarry-cli: conf/type.ini: line 2: the criterion of the type 'Bad' cannot be parsed"}},
      {"view file that cannot be read",
       [&] { quarrytest::makeDirs(work("conf/views/Media.kx")); },
       {"-v", "Media"},
       2,
       {"quarry-cli: the view 'Media' cannot be used\n",
        "quarry-cli: conf/views/Media.kx: cannot be read: Is a directory\n"}},
      {"unknown view", [] {}, {"-v", "Nothing"}, 2, {"quarry-cli: unknown view 'Nothing'"}},
      {"dump that cannot be written",
       [&] { quarrytest::makeDirs(work("trace/dyxdump_.trc")); },
       {"--dump"},
       3,
       {"quarry-cli: trace/dyxdump_.trc: Is a directory (the dump was not written)\n"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(work("conf"));
    fs::remove_all(work("trace"));
    makeWorkDir(m_work.path());
    c.arrange();
    const CliRun r = run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.label << ": " << r.err;
    for (const std::string& part : c.err) {
      EXPECT_TRUE(contains(r.err, part)) << c.label << ": " << part << "\n" << r.err;
    }
  }
}

TEST_F(SavedFilesTest, ASaveIntoAReadOnlyOrFullWorkingDirectoryLeavesThePreviousFiles) {
  struct Case {
    const char* label;
    const char* options;
    bool readOnly;  // else full
    const char* reason;
  };
  const Case cases[] = {
      {"read-only", "size=1m", true, "Read-only file system"},
      {"full", "size=64k", false, "No space left on device"},
  };
  for (const Case& c : cases) {
    const std::string dir = m_tree / (std::string("mnt-") + (c.readOnly ? "ro" : "full"));
    const std::string tree = m_tree / "sub";
    Mount mount(dir, c.options);
    if (!mount.mounted()) {
      GTEST_SKIP() << "a tmpfs cannot be mounted here (" << mount.error()
                   << "): the read-only and full working directories are not tried";
    }
    makeWorkDir(dir);
    const CliRun first = runCli(dir, {"-r", tree});
    ASSERT_EQ(first.exitCode, 0) << c.label << ": " << first.err;
    const std::string text = quarrytest::readFile(dir + "/home.txt");
    const std::string data = quarrytest::readFile(dir + "/home.data");
    ASSERT_FALSE(text.empty()) << c.label;
    // A second file makes the next save different from the first.
    quarrytest::writeFile(tree + "/c.png", "gamma");
    if (c.readOnly) {
      ASSERT_TRUE(mount.makeReadOnly()) << std::strerror(errno);
    } else {
      // Nothing the run truncates may give space back.
      fs::remove_all(dir + "/trace");
      fill(dir + "/filler");
    }

    const CliRun r = runCli(dir, {"-r", "--list", "--format", "tsv", tree});
    EXPECT_EQ(r.exitCode, 3) << c.label << ": " << r.err;
    EXPECT_TRUE(contains(r.err, std::string("quarry-cli: home.txt: ") + c.reason +
                                    " (the repository \"home\" was not saved; its previous "
                                    "files are unchanged)\n"))
        << c.label << ": " << r.err;
    EXPECT_TRUE(contains(r.out, "c.png")) << c.label << ": the listing is still whole";
    EXPECT_EQ(quarrytest::readFile(dir + "/home.txt"), text) << c.label;
    EXPECT_EQ(quarrytest::readFile(dir + "/home.data"), data) << c.label;
  }
}
