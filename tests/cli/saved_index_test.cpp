// End-to-end: the saved index of the last parse. --saved answers from it without reading the
// tree and gives what a fresh parse of the unchanged tree gives; --update after changes gives
// what a fresh parse gives and saves it; a save killed at any moment leaves an index that loads,
// and the next start removes the temporary files it left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli_testing.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using clitest::CliRun;
using clitest::runCli;

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The temporary files of saves in a working directory.
std::vector<std::string> temporaries(const std::string& work) {
  std::vector<std::string> found;
  for (const std::string& dir : {work, work + "/conf"}) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& item : fs::directory_iterator(dir)) {
      if (item.path().filename().string().find(".tmp") != std::string::npos) {
        found.push_back(item.path().string());
      }
    }
  }
  return found;
}

class SavedIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file("a.txt", "alpha");
    file("b.jpg", "beta");
    file("sub/c.txt", "gamma");
    file("sub/deep/d.png", "delta");
    file("sub/deep/e.txt", "epsilon");
    quarrytest::makeDirs(m_tree / "empty");
  }
  void file(const std::string& rel, const std::string& content = "x") {
    quarrytest::writeFile(m_tree / rel, content);
  }
  // Runs in the working directory that keeps the index.
  CliRun run(const std::vector<std::string>& args) { return runCli(m_work.path(), args); }
  // A fresh parse in a working directory of its own, so the index stays as it is.
  CliRun fresh(std::vector<std::string> args) {
    args.push_back(tree());
    return runCli(m_other.path(), args);
  }
  const std::string& tree() const { return m_tree.path(); }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_other;
  quarrytest::TempDir m_tree;
};

}  // namespace

TEST_F(SavedIndexTest, SavedAnswersWhatAFreshParseOfTheUnchangedTreeAnswers) {
  const CliRun parse = run({"-r", tree()});
  ASSERT_EQ(parse.exitCode, 0) << parse.err;
  ASSERT_TRUE(fs::exists(m_work / "lastparse.index"));
  const std::string text = quarrytest::readFile(m_work / "lastparse.txt");
  const std::string data = quarrytest::readFile(m_work / "lastparse.data");

  const std::vector<std::vector<std::string>> cases = {
      {"--list", "--format", "tsv"},
      {"--format", "json"},
      {"-v", "Ext", "--list", "--format", "tsv"},
      {"-v", "Flat", "--tree"},
      {"-v", "Size", "--list", "--format", "json"},
      {"-c", "$Ext = txt", "--list", "--format", "tsv"},
      {"-c", "$Name like \"*a*\" or $Ext = png", "-v", "Ext", "--format", "tsv"},
      {"-f", "E", "--list", "--format", "tsv"},
      {"--list=" + tree().substr(1) + "/sub/deep", "--format", "tsv"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string label;
    for (const std::string& a : args) label += a + " ";
    std::vector<std::string> savedArgs = args;
    savedArgs.insert(savedArgs.begin(), "--saved");
    const CliRun saved = run(savedArgs);
    std::vector<std::string> freshArgs = args;
    freshArgs.insert(freshArgs.begin(), "-r");
    const CliRun expected = fresh(freshArgs);
    EXPECT_EQ(saved.exitCode, 0) << label << saved.err;
    EXPECT_EQ(expected.exitCode, 0) << label << expected.err;
    EXPECT_EQ(saved.out, expected.out) << label;
    EXPECT_TRUE(contains(saved.err, "quarry-cli: the saved index of " + tree() + ", saved "))
        << label << saved.err;
  }
  // Answering changes nothing of the index.
  EXPECT_EQ(quarrytest::readFile(m_work / "lastparse.txt"), text);
  EXPECT_EQ(quarrytest::readFile(m_work / "lastparse.data"), data);

  // Nothing of the tree is read: the index answers with the tree gone, and a folder of it
  // narrows the answer to that folder and below.
  const std::string moved = m_other / "moved";
  fs::rename(tree(), moved);
  const CliRun gone = run({"--saved", "--list", "--format", "tsv", tree() + "/sub"});
  fs::rename(moved, tree());
  EXPECT_EQ(gone.exitCode, 0) << gone.err;
  EXPECT_EQ(clitest::splitLines(gone.out).size(), 3u) << gone.out;
  EXPECT_TRUE(contains(gone.out, tree() + "/sub/deep/e.txt")) << gone.out;
  EXPECT_FALSE(contains(gone.out, tree() + "/a.txt")) << gone.out;

  const CliRun outside = run({"--saved", m_other.path()});
  EXPECT_EQ(outside.exitCode, 2) << outside.err;
  EXPECT_TRUE(contains(outside.err, "is not in the folders of the saved index")) << outside.err;
}

TEST_F(SavedIndexTest, WithoutASavedIndexSavedAndUpdateSaySo) {
  for (const char* option : {"--saved", "--update"}) {
    const CliRun r = run({option});
    EXPECT_EQ(r.exitCode, 1) << option;
    EXPECT_TRUE(contains(r.err, "there is no saved index yet")) << option << r.err;
  }
  // A parse that cannot list its directory keeps no index either.
  EXPECT_EQ(run({"-r", m_other / "missing"}).exitCode, 1);
  EXPECT_FALSE(fs::exists(m_work / "lastparse.index"));
}

TEST_F(SavedIndexTest, UpdateAfterChangesEqualsAFreshParseAndIsSaved) {
  struct Case {
    const char* label;
    std::vector<std::string> parseArgs;  // besides -r and the tree
  };
  const Case cases[] = {
      {"every file", {}},
      {"a criterion", {"-c", "$Ext = txt"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(m_tree.path());
    SetUp();
    std::vector<std::string> parseArgs = c.parseArgs;
    parseArgs.insert(parseArgs.begin(), "-r");
    std::vector<std::string> first = parseArgs;
    first.push_back(tree());
    ASSERT_EQ(run(first).exitCode, 0) << c.label;

    // Changes that a fresh parse sees, at the top and deep down.
    file("new.txt");
    file("sub/deep/new-deep.txt");
    fs::remove(m_tree / "b.jpg");
    fs::rename(m_tree / "sub/c.txt", m_tree / "sub/c-renamed.txt");
    file("added/f.txt");
    file("added/g.png");
    file("empty/h.txt");
    fs::remove_all(m_tree / "sub/deep");

    std::vector<std::string> listing = {"--list", "--format", "tsv"};
    std::vector<std::string> updateArgs = {"--update"};
    updateArgs.insert(updateArgs.end(), listing.begin(), listing.end());
    const CliRun updated = run(updateArgs);
    std::vector<std::string> freshArgs = parseArgs;
    freshArgs.insert(freshArgs.end(), listing.begin(), listing.end());
    const CliRun expected = fresh(freshArgs);
    EXPECT_EQ(updated.exitCode, 0) << c.label << updated.err;
    EXPECT_EQ(updated.out, expected.out) << c.label;
    EXPECT_FALSE(contains(updated.out, "new-deep.txt")) << c.label;
    EXPECT_TRUE(contains(updated.out, tree() + "/empty/h.txt")) << c.label << updated.out;

    // The update was saved: the index answers the same.
    std::vector<std::string> savedArgs = {"--saved"};
    savedArgs.insert(savedArgs.end(), listing.begin(), listing.end());
    const CliRun saved = run(savedArgs);
    EXPECT_EQ(saved.out, expected.out) << c.label;
  }
  const CliRun criterion = run({"--update", "-c", "$Ext = txt"});
  EXPECT_EQ(criterion.exitCode, 2);
}

TEST_F(SavedIndexTest, StaleTemporaryFilesGoAtStartUnlessTheirProgramStillWritesThem) {
  ASSERT_EQ(run({"-r", tree()}).exitCode, 0);
  // A process that ended, and one that still runs in the working directory.
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  const pid_t alive = fork();
  if (alive == 0) {
    if (chdir(m_work.path().c_str()) != 0) _exit(1);
    pause();
    _exit(0);
  }
  ASSERT_GT(alive, 0);
  // Its working directory is ours once it has moved there.
  for (int i = 0; i < 200 && fs::read_symlink("/proc/" + std::to_string(alive) + "/cwd") !=
                                 fs::canonical(m_work.path());
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string deadSuffix = ".tmp" + std::to_string(dead);
  const std::string aliveSuffix = ".tmp" + std::to_string(alive);
  const std::vector<std::string> stale = {
      "lastparse.txt" + deadSuffix, "lastparse.data" + deadSuffix, "lastparse.index" + deadSuffix};
  for (const std::string& name : stale) quarrytest::writeFile(m_work / name, "half");
  quarrytest::writeFile(m_work / ("lastparse.data" + aliveSuffix), "busy");
  quarrytest::writeFile(m_work / "notes.txt.tmp1x", "not ours");

  const CliRun r = run({"--saved"});
  kill(alive, SIGKILL);
  waitpid(alive, nullptr, 0);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (const std::string& name : stale) EXPECT_FALSE(fs::exists(m_work / name)) << name;
  EXPECT_TRUE(fs::exists(m_work / ("lastparse.data" + aliveSuffix)));
  EXPECT_TRUE(fs::exists(m_work / "notes.txt.tmp1x"));
}

// Kills quarry-cli at random moments of its end, where it saves, 30 times: every time the index
// still loads whole, and the next start leaves no temporary file.
TEST_F(SavedIndexTest, ASaveKilledAtAnyMomentLeavesALoadableIndex) {
  for (int d = 0; d < 40; ++d) {
    for (int f = 0; f < 100; ++f) {
      file("bulk/d" + std::to_string(d) + "/f" + std::to_string(f) + ".dat");
    }
  }
  ASSERT_EQ(run({"-r", tree()}).exitCode, 0);
  const CliRun reference = run({"--saved", "--list", "--format", "tsv"});
  ASSERT_EQ(reference.exitCode, 0) << reference.err;

  const auto startUpdate = [this]() {
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string home = "QUARRY_HOME=" + m_work.path();
      putenv(const_cast<char*>(home.c_str()));
      if (chdir(m_work.path().c_str()) != 0) _exit(121);
      const int null = open("/dev/null", O_WRONLY);
      if (null < 0) _exit(123);
      dup2(null, 1);
      dup2(null, 2);
      execl(QUARRY_CLI_PATH, QUARRY_CLI_PATH, "--update", static_cast<char*>(nullptr));
      _exit(122);
    }
    return pid;
  };
  // How long a whole run takes: the save is its last part.
  const auto begin = std::chrono::steady_clock::now();
  const pid_t timed = startUpdate();
  ASSERT_GT(timed, 0);
  int status = 0;
  waitpid(timed, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - begin);

  std::mt19937 random(20261207);
  std::uniform_int_distribution<long> moment(whole.count() / 2, whole.count() * 11 / 10);
  int leftTemporaries = 0;
  for (int i = 0; i < 30; ++i) {
    const pid_t pid = startUpdate();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!temporaries(m_work.path()).empty()) ++leftTemporaries;

    const CliRun after = run({"--saved", "--list", "--format", "tsv"});
    EXPECT_EQ(after.exitCode, 0) << "run " << i << ": " << after.err;
    EXPECT_TRUE(after.out == reference.out) << "run " << i << ": the rows differ";
    EXPECT_FALSE(contains(after.err, "damaged")) << "run " << i << ": " << after.err;
    EXPECT_TRUE(temporaries(m_work.path()).empty()) << "run " << i;
  }
  RecordProperty("runs_that_left_temporaries", leftTemporaries);
}
