// Process start and the launch of a command's program with result values read back.
#include "dyxcore/launch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kxcore/io.h"
#include "support/testutil.h"

namespace {

using quarrytest::readFile;
using quarrytest::TempDir;
using quarrytest::writeFile;

// Programs written as shell scripts run on Linux only; the tests with show_args further down
// make the same calls on both systems.
#define SKIP_WITHOUT_SHELL_SCRIPTS()                     \
  if (!quarrytest::hasLinuxFileSystem())                 \
  GTEST_SKIP() << "shell scripts are programs on Linux " \
                  "only"

// Runs a test in its own directory with the trace on in "trace.dbg" there.
class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KXIO::shutdown();
    KXIO::init(false, true, m_dir / "trace.dbg", "", m_dir / "kxlog.log", true);
  }
  void TearDown() override { KXIO::shutdown(); }

  std::string trace() const { return readFile(m_dir / "trace.dbg"); }
  // An executable shell script in the test directory.
  std::string script(const std::string& name, const std::string& body) const {
    const std::string path = m_dir / name;
    writeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
  }

  TempDir m_dir;
  quarrytest::CwdGuard m_cwd{m_dir.path()};
};

TEST(LaunchResultVariables, NamesRunFromDollarToBlankOrTab) {
  const struct {
    std::string text;
    std::vector<std::string> names;
  } cases[] = {
      {"", {}},
      {"no dollar here", {}},
      {"$size $date", {"size", "date"}},
      {"$a\t$b", {"a", "b"}},
      {"  $only", {"only"}},
      {"$a  $b ", {"a", "b"}},
      {"x$a y", {"a"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DyxLaunch::parseResultVariables(c.text), c.names) << '"' << c.text << '"';
  }
}

TEST(LaunchTemplate, SplitsAtBlanksWithQuotedRunsKept) {
  const struct {
    std::string text;
    std::vector<std::string> arguments;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"prog", {"prog"}},
      {"  prog   -v\t%1 ", {"prog", "-v", "%1"}},
      {"prog \"%1\"", {"prog", "%1"}},
      {"\"/opt/My App/app\" --x", {"/opt/My App/app", "--x"}},
      {"prog --file=\"%1\"", {"prog", "--file=%1"}},
      {"prog \"a\"\"b\" c", {"prog", "ab", "c"}},
      {"prog \"\" x", {"prog", "", "x"}},
      {"prog keep \"lost %1", {"prog", "keep"}},
      {"prog 'single' it's", {"prog", "'single'", "it's"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DyxSplitCommandTemplate(c.text), c.arguments) << c.text;
  }
}

// Whatever the value holds, it lands inside the one argument that held the placeholder.
TEST(LaunchTemplate, ValueIsAlwaysInsideOneArgument) {
  const std::string hostile[] = {
      "inj\" --injected-option \"two words\" z.txt",
      "dq\"uote.txt",
      "\"quoted\"",
      "-rf",
      "a b\tc\nd",
      "%1 and %L",
      "\xff\xfe not utf-8",
      "",
  };
  for (const std::string& value : hostile) {
    EXPECT_EQ(DyxFillCommandTemplate("prog \"%1\"", "%1", value),
              (std::vector<std::string>{"prog", value}))
        << value;
    EXPECT_EQ(DyxFillCommandTemplate("prog --file=%1 -x", "%1", value),
              (std::vector<std::string>{"prog", "--file=" + value, "-x"}))
        << value;
    // No placeholder: the value follows as one more argument.
    EXPECT_EQ(DyxFillCommandTemplate("prog -v", "%1", value),
              (std::vector<std::string>{"prog", "-v", value}))
        << value;
  }
  EXPECT_EQ(DyxFillCommandTemplate("prog %1 again %1", "%1", "x"),
            (std::vector<std::string>{"prog", "x", "again", "x"}));
  EXPECT_TRUE(DyxFillCommandTemplate("", "%1", "x").empty());
  EXPECT_TRUE(DyxFillCommandTemplate("\"never closed %1", "%1", "x").empty());
}

TEST_F(LaunchTest, ProgramNotFoundFailsWithMessage) {
  EXPECT_FALSE(DyxCreateProcess({"quarry-no-such-program-xyz", "/x"}, false, ""));
  EXPECT_FALSE(DyxCreateProcess({"quarry-no-such-program-xyz"}, true, "out.log"));
  EXPECT_FALSE(DyxCreateProcess({}, false, ""));
  EXPECT_NE(trace().find("Failed launching process quarry-no-such-program-xyz."),
            std::string::npos);
  // A file that exists but may not be executed is not a program either.
  writeFile(m_dir / "plain.txt", "not a program\n");
  EXPECT_FALSE(DyxCreateProcess({m_dir / "plain.txt"}, false, ""));
}

TEST_F(LaunchTest, BlockingStartWaitsAndCapturesStandardOutput) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  // The program writes late: a start that did not wait would find an empty file.
  const std::string prog = script("late.sh", "sleep 0.3\necho \"$1\" \"$2\"\n");
  ASSERT_TRUE(DyxCreateProcess({prog, "one", "\"two words\""}, true, "result.log"));
  // Every argument after the program arrives exactly as given, its quotes included.
  EXPECT_EQ(readFile(m_dir / "result.log"), "one \"two words\"\n");
  const std::string t = trace();
  EXPECT_NE(t.find("blocking=\"true\""), std::string::npos);
  // The command line quotes the program and ends with a blank; other arguments stay as given.
  EXPECT_NE(t.find("Creating process: \"\"" + prog + "\" one \"two words\" \""), std::string::npos)
      << t;
  EXPECT_NE(t.find("Launched with PID "), std::string::npos);
}

TEST_F(LaunchTest, QuotedProgramIsLookedUpWithoutItsQuotes) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  const std::string prog = script("p.sh", "echo ok\n");
  EXPECT_TRUE(DyxCreateProcess({"\"" + prog + "\""}, true, "q.log"));
  EXPECT_EQ(readFile(m_dir / "q.log"), "ok\n");
  // A bare name is searched along PATH.
  EXPECT_TRUE(DyxCreateProcess({"true"}, true, ""));
}

TEST_F(LaunchTest, BlockingProgramReadingStandardInputDoesNotHang) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  const std::string prog = script("reader.sh", "cat\necho done\n");
  ASSERT_TRUE(DyxCreateProcess({prog}, true, "r.log"));
  EXPECT_EQ(readFile(m_dir / "r.log"), "done\n");
}

TEST_F(LaunchTest, DetachedStartLeavesNoZombie) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  const std::string marker = m_dir / "started";
  const std::string prog = script("touch.sh", "touch \"$1\"\n");
  ASSERT_TRUE(DyxCreateProcess({prog, marker}, false, "ignored.log"));
  for (int i = 0; i < 100 && !quarrytest::fileExists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(quarrytest::fileExists(marker));
  EXPECT_FALSE(quarrytest::fileExists(m_dir / "ignored.log"));
#ifndef _WIN32
  // Nothing is left for this process to reap.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
#endif
}

TEST_F(LaunchTest, LaunchReadsResultValuesInOrder) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  const std::string prog = script("stat.sh", "echo 1234 \"\\\"2024/01/02 10:00\\\"\" \"$1\"\n");
  DyxLaunch launch(prog, "$size $date $missing");
  std::map<std::string, std::string> vars{{"entry", "/some/file"}, {"size", "old"}};
  ASSERT_TRUE(launch.launch(vars));
  EXPECT_EQ(vars["size"], "1234");
  EXPECT_EQ(vars["date"], "2024/01/02 10:00");
  // The third value printed is the entry the program was given.
  EXPECT_EQ(vars["missing"], "/some/file");
  EXPECT_EQ(vars["entry"], "/some/file");
}

TEST_F(LaunchTest, ShortResultFileGivesEmptyValues) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  const std::string prog = script("one.sh", "echo 7\n");
  DyxLaunch launch(prog, "$a $b");
  std::map<std::string, std::string> vars;
  ASSERT_TRUE(launch.launch(vars));
  EXPECT_EQ(vars["a"], "7");
  ASSERT_EQ(vars.count("b"), 1u);
  EXPECT_EQ(vars["b"], "");
  // An absent entry is passed empty and stays in the map.
  ASSERT_EQ(vars.count("entry"), 1u);
  EXPECT_EQ(vars["entry"], "");
}

TEST_F(LaunchTest, LaunchWithoutResultVariablesReadsNothing) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  writeFile(m_dir / kDyxLaunchResultFile, "stale values\n");
  const std::string marker = m_dir / "ran";
  const std::string prog = script("bg.sh", "touch \"$1\"\n");
  DyxLaunch launch(prog, "");
  std::map<std::string, std::string> vars{{"entry", marker}};
  ASSERT_TRUE(launch.launch(vars));
  EXPECT_EQ(vars.size(), 1u);
  // Not blocking: the result file of an earlier launch is left alone.
  EXPECT_EQ(readFile(m_dir / kDyxLaunchResultFile), "stale values\n");
  for (int i = 0; i < 100 && !quarrytest::fileExists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(quarrytest::fileExists(marker));
}

TEST_F(LaunchTest, EmptyOrMissingProgramFails) {
  std::map<std::string, std::string> vars;
  EXPECT_FALSE(DyxLaunch("", "$x").launch(vars));
  EXPECT_NE(trace().find("No command."), std::string::npos);
  EXPECT_FALSE(DyxLaunch("quarry-no-such-program-xyz", "$x").launch(vars));
  EXPECT_EQ(vars.count("x"), 0u);
}

// A program text with the placeholder is a template: fixed arguments, and the entry inside its
// own argument, byte for byte.
TEST_F(LaunchTest, TemplateProgramGetsTheEntryAsOneArgument) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  const std::string prog =
      script("args.sh", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > args.out\necho done\n");
  const std::string entries[] = {
      "/d/inj\" --injected-option \"two words\" z.txt",
      "/d/\"enclosed\"",
      "/d/-leading dash",
      "/d/new\nline",
      "/d/%1 %f",
      "/d/\xe9t\xe9-latin1",
  };
  for (const std::string& entry : entries) {
    DyxLaunch launch(prog + " --mode=\"fast run\" --file=%1", "$status");
    std::map<std::string, std::string> vars{{"entry", entry}};
    ASSERT_TRUE(launch.launch(vars)) << entry;
    EXPECT_EQ(readFile(m_dir / "args.out"), "[--mode=fast run][--file=" + entry + "]") << entry;
    EXPECT_EQ(vars["status"], "done") << entry;
  }
  // Without the placeholder the whole text is the program and the entry its argument, as given.
  DyxLaunch plain(prog, "$status");
  std::map<std::string, std::string> vars{{"entry", "\"quoted entry\""}};
  ASSERT_TRUE(plain.launch(vars));
  EXPECT_EQ(readFile(m_dir / "args.out"), "[\"quoted entry\"]");
  // A template that splits into nothing is no command.
  std::map<std::string, std::string> none{{"entry", "x"}};
  EXPECT_FALSE(DyxLaunch("\"%1", "").launch(none));
}

TEST_F(LaunchTest, BareProgramNameIsSearchedAlongPath) {
  SKIP_WITHOUT_SHELL_SCRIPTS();
  // "echo" prints its argument, the entry, which becomes the one result value.
  DyxLaunch launch("echo", "$echoed");
  std::map<std::string, std::string> vars{{"entry", "hello"}};
  ASSERT_TRUE(launch.launch(vars));
  EXPECT_EQ(vars["echoed"], "hello");
}

// The program show_args (tests/support) writes each argument it got as [text] to args.out and
// prints 42 and its first argument in double quotes: the same on both systems, so these tests
// check what a program receives however the system passes arguments (a command line that the
// child splits again, on Windows).
const std::string kShowArgs = QUARRY_SHOW_ARGS_PATH;

// Texts that a command line built carelessly would split, join or change.
const std::vector<std::string> kHostileArguments = {
    "two words", "\"quoted\"",
    "in\"side",  "",
    "trail\\",   "back\\\"quote",
    "C:\\dir\\", "\\\\server\\share",
    "tab\there", "\xc3\xbcn\xc3\xaf \xe6\x97\xa5",
    "%1 %PATH%", "-x",
};

std::string bracketed(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& a : args) out += "[" + a + "]";
  return out;
}

TEST_F(LaunchTest, BlockingStartPassesEveryArgumentAsItWasGiven) {
  std::vector<std::string> command = {kShowArgs};
  command.insert(command.end(), kHostileArguments.begin(), kHostileArguments.end());
  ASSERT_TRUE(DyxCreateProcess(command, true, "result.log"));
  // Waited for: both files are whole when the call returns.
  EXPECT_EQ(readFile(m_dir / "args.out"), bracketed(kHostileArguments));
  EXPECT_EQ(readFile(m_dir / "result.log"), "42\n\"two words\"\n");
  EXPECT_NE(trace().find("Launched with PID "), std::string::npos);
}

TEST_F(LaunchTest, DetachedStartReturnsAndTheProgramRunsWithItsArguments) {
  ASSERT_TRUE(DyxCreateProcess({kShowArgs, "a b", "c\"d"}, false, "ignored.log"));
  for (int i = 0; i < 250 && readFile(m_dir / "args.out") != "[a b][c\"d]"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(readFile(m_dir / "args.out"), "[a b][c\"d]");
  EXPECT_FALSE(quarrytest::fileExists(m_dir / "ignored.log"));
}

TEST_F(LaunchTest, TemplateEntryArrivesAsOneArgumentAndResultsComeBack) {
  for (const std::string& entry : kHostileArguments) {
    DyxLaunch launch(kShowArgs + " --mode=\"fast run\" --file=%1", "$size $first");
    std::map<std::string, std::string> vars{{"entry", entry}};
    ASSERT_TRUE(launch.launch(vars)) << entry;
    EXPECT_EQ(readFile(m_dir / "args.out"), "[--mode=fast run][--file=" + entry + "]") << entry;
    EXPECT_EQ(vars["size"], "42") << entry;
    EXPECT_EQ(vars["first"], "--mode=fast run") << entry;
  }
}

}  // namespace
