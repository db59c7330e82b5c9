#include "dyxcore/workdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "support/testutil.h"

namespace fs = std::filesystem;

namespace {

// Every file below `root` (links not followed) with its content; directories end in "/".
std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(item.path(), root).string();
    if (item.is_symlink()) {
      files[rel] = "-> " + fs::read_symlink(item.path()).string();
    } else if (item.is_directory()) {
      files[rel + "/"] = "";
    } else {
      files[rel] = quarrytest::readFile(item.path().string());
    }
  }
  return files;
}

}  // namespace

TEST(WorkDirResolve, UserPathsStartWhereTheUserCalledFrom) {
  struct Case {
    std::string path, base, home, expected;
  };
  const Case cases[] = {
      {"/abs/dir", "/caller", "/home/u", "/abs/dir"},
      {"docs", "/caller", "/home/u", "/caller/docs"},
      {"../up", "/caller", "/home/u", "/caller/../up"},
      {".", "/caller", "/home/u", "/caller/."},
      {"docs", "/", "/home/u", "/docs"},
      {"~", "/caller", "/home/u", "/home/u"},
      {"~/docs/a", "/caller", "/home/u", "/home/u/docs/a"},
      // "~name" is a plain relative name here, and so is "x/~".
      {"~other/docs", "/caller", "/home/u", "/caller/~other/docs"},
      {"x/~", "/caller", "/home/u", "/caller/x/~"},
      // Unknown caller or home: the path stays as it was given.
      {"docs", "", "/home/u", "docs"},
      {"~/docs", "/caller", "", "~/docs"},
      {"", "/caller", "/home/u", "/caller"},
  };
  using quarrytest::nativePath;
  for (const Case& c : cases) {
    EXPECT_EQ(DyxWorkDir::resolve(nativePath(c.path), nativePath(c.base), nativePath(c.home)),
              nativePath(c.expected))
        << c.path << " from " << c.base << " home " << c.home;
  }
}

TEST(WorkDirChoose, QuarryHomeThenDataHomeThenHome) {
  using quarrytest::nativePath;
  struct Case {
    const char* label;
    DyxStartEnvironment env;
    std::string expected;
  };
  const Case cases[] = {
      {"QUARRY_HOME wins", {"/q", "/xdg", "/home/u", "/c", ""}, "/q"},
      {"relative QUARRY_HOME", {"qh", "/xdg", "/home/u", "/c", ""}, "/c/qh"},
      {"QUARRY_HOME with ~", {"~/qh", "", "/home/u", "/c", ""}, "/home/u/qh"},
      {"XDG_DATA_HOME", {"", "/xdg", "/home/u", "/c", ""}, "/xdg/quarry"},
      {"relative XDG_DATA_HOME is ignored",
       {"", "xdg", "/home/u", "/c", ""},
       "/home/u/.local/share/quarry"},
      {"home only", {"", "", "/home/u", "/c", ""}, "/home/u/.local/share/quarry"},
      {"home is /", {"", "", "/", "/c", ""}, "/.local/share/quarry"},
      {"nothing", {"", "", "", "/c", ""}, ""},
      // The system's own place (Windows) comes after QUARRY_HOME, before the desktop's rules.
      {"system's place", {"", "/xdg", "/home/u", "/c", "L:\\Quarry"}, "L:\\Quarry"},
      {"QUARRY_HOME before the system's place", {"/q", "", "", "/c", "L:\\Quarry"}, "/q"},
  };
  for (const Case& c : cases) {
    const DyxStartEnvironment env{nativePath(c.env.quarryHome), nativePath(c.env.xdgDataHome),
                                  nativePath(c.env.home), nativePath(c.env.callerDir),
                                  c.env.platformDataDir};
    EXPECT_EQ(DyxWorkDir::choose(env), nativePath(c.expected)) << c.label;
  }
}

TEST(WorkDirDefaultConf, BesideTheProgramsFolder) {
  const struct {
    const char* program;
    const char* conf;
  } cases[] = {
      {"/usr/bin/quarry-cli", "/usr/share/quarry/conf"},
      {"/opt/q/bin/quarry", "/opt/q/share/quarry/conf"},
      {"/w/build/cli/quarry-cli", "/w/build/share/quarry/conf"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DyxWorkDir::defaultConfDir(quarrytest::nativePath(c.program)),
              quarrytest::nativePath(c.conf))
        << c.program;
  }
}

class WorkDirPrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quarrytest::writeFile(m_shipped / "pref.ini", "TraceLevel \"SILENT\"\n");
    quarrytest::writeFile(m_shipped / "type.ini", "Image \"$Ext=png\"\n");
    quarrytest::writeFile(m_shipped / "views/Media.kx", "# F\n");
    quarrytest::makeDirs(m_shipped / "views/empty");
  }
  std::string workDir() const { return m_root / "data/quarry"; }

  quarrytest::TempDir m_shipped;
  quarrytest::TempDir m_root;
};

TEST_F(WorkDirPrepareTest, FirstUseMakesTheDirectoryWithACopyOfTheConfiguration) {
  const DyxStartResult r = DyxWorkDir::prepare(workDir(), m_shipped.path());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
  EXPECT_EQ(r.workDir, workDir());
  EXPECT_EQ(treeOf(workDir() + "/conf"), treeOf(m_shipped.path()));
  // Nothing but conf/ is left behind: no half-made copy.
  EXPECT_EQ(treeOf(workDir()).count("conf/"), 1u);
  for (const auto& [name, content] : treeOf(workDir())) {
    EXPECT_EQ(name.rfind("conf", 0), 0u) << name;
    EXPECT_EQ(name.find(".new"), std::string::npos) << name;
  }
}

TEST_F(WorkDirPrepareTest, AnExistingConfigurationIsKept) {
  quarrytest::writeFile(workDir() + "/conf/pref.ini", "TraceLevel \"DEBUG\"\n");
  const DyxStartResult r = DyxWorkDir::prepare(workDir(), m_shipped.path());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(quarrytest::readFile(workDir() + "/conf/pref.ini"), "TraceLevel \"DEBUG\"\n");
  EXPECT_FALSE(quarrytest::fileExists(workDir() + "/conf/type.ini"));
}

TEST_F(WorkDirPrepareTest, ACopyLeftByAStoppedStartIsReplaced) {
  const std::string stale = workDir() + "/conf.new" + std::to_string(::getpid());
  quarrytest::writeFile(stale + "/pref.ini", "half");
  quarrytest::writeFile(stale + "/views/Old.kx", "half");
  const DyxStartResult r = DyxWorkDir::prepare(workDir(), m_shipped.path());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(treeOf(workDir() + "/conf"), treeOf(m_shipped.path()));
  EXPECT_FALSE(quarrytest::fileExists(stale));
}

TEST_F(WorkDirPrepareTest, WithoutADefaultConfigurationItRunsAndSaysWhy) {
  for (const std::string& shipped : {m_root / "nowhere", std::string()}) {
    const DyxStartResult r = DyxWorkDir::prepare(workDir(), shipped);
    ASSERT_TRUE(r.ok) << shipped << ": " << r.error;
    ASSERT_EQ(r.warnings.size(), 1u) << shipped;
    EXPECT_NE(r.warnings[0].find("no default configuration"), std::string::npos) << r.warnings[0];
    EXPECT_TRUE(quarrytest::fileExists(workDir()));
    EXPECT_FALSE(quarrytest::fileExists(workDir() + "/conf")) << shipped;
  }
}

TEST_F(WorkDirPrepareTest, AFileNamedConfIsNotReplaced) {
  quarrytest::writeFile(workDir() + "/conf", "mine");
  const DyxStartResult r = DyxWorkDir::prepare(workDir(), m_shipped.path());
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("not a directory"), std::string::npos) << r.warnings[0];
  EXPECT_EQ(quarrytest::readFile(workDir() + "/conf"), "mine");
}

TEST_F(WorkDirPrepareTest, AWorkingDirectoryThatCannotBeMadeIsAnError) {
  quarrytest::writeFile(m_root / "data", "a file where a folder should be");
  const DyxStartResult r = DyxWorkDir::prepare(workDir(), m_shipped.path());
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find(workDir()), std::string::npos) << r.error;

  const DyxStartResult none = DyxWorkDir::prepare("", m_shipped.path());
  EXPECT_FALSE(none.ok);
  EXPECT_NE(none.error.find("QUARRY_HOME"), std::string::npos) << none.error;
}

TEST_F(WorkDirPrepareTest, CopyTakesFilesAndFoldersButNotDevicesOrLinkedFolders) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("FIFOs and symbolic links");
  ASSERT_TRUE(quarrytest::makeFifo(m_shipped / "views/pipe"));
  fs::create_directory_symlink(m_shipped.path(), m_shipped / "views/loop");
  fs::create_symlink(m_shipped / "pref.ini", m_shipped / "linked.ini");
  std::string error;
  ASSERT_TRUE(DyxWorkDir::copyTree(m_shipped.path(), m_root / "copy", error)) << error;
  const auto copied = treeOf(m_root / "copy");
  EXPECT_EQ(copied.count("views/pipe"), 0u);
  EXPECT_EQ(copied.count("views/loop"), 0u);
  // A link to a file is copied as the file it names.
  ASSERT_EQ(copied.count("linked.ini"), 1u);
  EXPECT_EQ(copied.at("linked.ini"), "TraceLevel \"SILENT\"\n");
  EXPECT_EQ(copied.at("views/Media.kx"), "# F\n");

  // The target must be new: a copy never mixes into an existing folder.
  EXPECT_FALSE(DyxWorkDir::copyTree(m_shipped.path(), m_root / "copy", error));
  EXPECT_FALSE(DyxWorkDir::copyTree(m_root / "missing", m_root / "copy2", error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}
