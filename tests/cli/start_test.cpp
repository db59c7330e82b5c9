// End-to-end tests of the start-up: the real quarry-cli called from a directory of its own, with
// the working directory left to the program ($QUARRY_HOME, $XDG_DATA_HOME, $HOME pointed at
// temporary directories).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli_testing.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using clitest::CliRun;
using clitest::runCliFrom;
using clitest::splitLines;
using clitest::tsvFields;

namespace {

// Every name below `root` with its size and modification time, links not followed.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> state;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const auto status = item.symlink_status();
    std::string value = std::to_string(static_cast<int>(status.type()));
    if (fs::is_regular_file(status)) {
      value += " " + std::to_string(item.file_size()) + " " +
               std::to_string(item.last_write_time().time_since_epoch().count());
    }
    state[fs::relative(item.path(), root).string()] = value;
  }
  return state;
}

class CliStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"caller", "home", "xdg"}) quarrytest::makeDirs(m_root / dir);
    quarrytest::writeFile(m_root / "tree/a.txt", "12");
    quarrytest::writeFile(m_root / "tree/sub/b.png", "1234");
  }
  // The environment of a user without QUARRY_HOME.
  std::map<std::string, std::string> env() const {
    return {{"QUARRY_HOME", ""}, {"XDG_DATA_HOME", m_root / "xdg"}, {"HOME", m_root / "home"}};
  }
  CliRun run(const std::vector<std::string>& args) {
    return runCliFrom(m_root / "caller", args, env());
  }
  // (name, full path) of each row of `--list --format tsv`.
  static std::set<std::pair<std::string, std::string>> rows(const CliRun& r) {
    std::set<std::pair<std::string, std::string>> out;
    for (const std::string& line : splitLines(r.out)) {
      const std::vector<std::string> f = tsvFields(line);
      if (f.size() == 6) out.insert({f[1], f[4]});
    }
    return out;
  }
  std::string workDir() const { return m_root / "xdg/quarry"; }

  quarrytest::TempDir m_root;
};

}  // namespace

TEST_F(CliStartTest, FirstRunMakesTheWorkingDirectoryAndWritesNothingElse) {
  quarrytest::writeFile(m_root / "caller/mine.txt", "x");
  const auto callerBefore = snapshot(m_root / "caller");
  const auto treeBefore = snapshot(m_root / "tree");

  const CliRun r = run({"-r", "--list", "--format", "tsv", "../tree"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::set<std::pair<std::string, std::string>> expected = {
      {"a.txt", m_root / "caller/../tree/a.txt"}, {"b.png", m_root / "caller/../tree/sub/b.png"}};
  EXPECT_EQ(rows(r), expected) << r.out;

  // The default configuration of the source tree, and the engine's files, are in the working
  // directory below the data home; the calling directory, the tree and the home are untouched.
  const std::string shipped = quarrytest::sourceDir() + "/conf";
  for (const char* name : {"pref.ini", "type.ini", "app.ini", "views/Media.kx"}) {
    EXPECT_EQ(quarrytest::readFile(workDir() + "/conf/" + name),
              quarrytest::readFile(shipped + "/" + name))
        << name;
  }
  EXPECT_TRUE(quarrytest::fileExists(workDir() + "/trace/dyx.log"));
  EXPECT_TRUE(quarrytest::fileExists(workDir() + "/kxlog.log"));
  EXPECT_EQ(snapshot(m_root / "caller"), callerBefore);
  EXPECT_EQ(snapshot(m_root / "tree"), treeBefore);
  EXPECT_TRUE(snapshot(m_root / "home").empty());

  // The next run keeps the configuration the user changed.
  quarrytest::writeFile(workDir() + "/conf/pref.ini", "ExtCase \"true\"\n");
  ASSERT_EQ(run({"../tree"}).exitCode, 0);
  EXPECT_EQ(quarrytest::readFile(workDir() + "/conf/pref.ini"), "ExtCase \"true\"\n");
}

TEST_F(CliStartTest, TildeIsTheHomeDirectory) {
  quarrytest::writeFile(m_root / "home/docs/c.txt", "1");
  const CliRun r = run({"--list", "--format", "tsv", "~/docs"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::set<std::pair<std::string, std::string>> expected = {
      {"c.txt", m_root / "home/docs/c.txt"}};
  EXPECT_EQ(rows(r), expected) << r.out;
}

// Only the directory is a path: a view, a Find text or a criterion that happens to name a file
// of the calling directory is read as it is.
TEST_F(CliStartTest, OptionValuesAreNeverTakenForPaths) {
  for (const char* name : {"Ext", "png", "Media"}) {
    quarrytest::writeFile(m_root / (std::string("caller/") + name), "");
  }
  const CliRun ext = run({"-r", "-v", "Ext", "--format", "tsv", "../tree"});
  ASSERT_EQ(ext.exitCode, 0) << ext.err;
  std::set<std::string> folders;
  for (const std::string& line : splitLines(ext.out)) folders.insert(tsvFields(line).at(0));
  EXPECT_EQ(folders, (std::set<std::string>{"png", "txt"})) << ext.out;

  const CliRun find = run({"-r", "-f", "png", "--list", "--format", "tsv", "../tree"});
  ASSERT_EQ(find.exitCode, 0) << find.err;
  EXPECT_EQ(rows(find).size(), 1u) << find.out;

  // A user view of the copied default configuration.
  const CliRun media = run({"-r", "-v", "Media", "--format", "tsv", "../tree"});
  EXPECT_EQ(media.exitCode, 0) << media.err;
  EXPECT_EQ(media.err.find("unknown view"), std::string::npos) << media.err;
}

TEST_F(CliStartTest, QuarryHomeIsHonouredAndARelativeOneIsTheCallers) {
  std::map<std::string, std::string> environment = env();
  environment["QUARRY_HOME"] = "state";
  const CliRun r = runCliFrom(m_root / "caller", {"../tree"}, environment);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(quarrytest::fileExists(m_root / "caller/state/conf/pref.ini"));
  EXPECT_TRUE(quarrytest::fileExists(m_root / "caller/state/trace/dyx.log"));
  EXPECT_FALSE(quarrytest::fileExists(workDir()));

  environment["QUARRY_HOME"] = m_root / "elsewhere";
  ASSERT_EQ(runCliFrom(m_root / "caller", {"../tree"}, environment).exitCode, 0);
  EXPECT_TRUE(quarrytest::fileExists(m_root / "elsewhere/trace/dyx.log"));

  // Without XDG_DATA_HOME the data home is below HOME.
  ASSERT_EQ(runCliFrom(m_root / "caller", {"../tree"},
                       {{"QUARRY_HOME", ""}, {"XDG_DATA_HOME", ""}, {"HOME", m_root / "home"}})
                .exitCode,
            0);
  EXPECT_TRUE(quarrytest::fileExists(m_root / "home/.local/share/quarry/conf/pref.ini"));
}

TEST_F(CliStartTest, HelpVersionAndUsageErrorsWriteNothing) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--help"}, 0}, {{"--version"}, 0}, {{"--no-such-option", "x"}, 2}, {{}, 2}};
  for (const auto& [args, code] : cases) {
    const CliRun r = run(args);
    EXPECT_EQ(r.exitCode, code) << (args.empty() ? "(none)" : args[0]) << ": " << r.err;
  }
  EXPECT_FALSE(quarrytest::fileExists(m_root / "xdg/quarry"));
  EXPECT_TRUE(snapshot(m_root / "caller").empty());
}

// A program copied where no configuration lies beside it still runs, and says what is missing.
TEST_F(CliStartTest, MissingDefaultConfigurationIsReported) {
  quarrytest::makeDirs(m_root / "bare/bin");
  fs::copy_file(QUARRY_CLI_PATH, m_root / "bare/bin/quarry-cli");
  fs::permissions(m_root / "bare/bin/quarry-cli", fs::perms::owner_exec, fs::perm_options::add);
  const CliRun r =
      runCliFrom(m_root / "caller", {"../tree"}, env(), m_root / "bare/bin/quarry-cli");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(
      r.err.find("quarry-cli: no default configuration at " + (m_root / "bare/share/quarry/conf")),
      std::string::npos)
      << r.err;
  EXPECT_FALSE(quarrytest::fileExists(workDir() + "/conf"));
}
