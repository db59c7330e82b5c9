// The command file, the commands of an entry through its types, and launching a command.
#include "dyxcore/launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/pdirs.h"
#include "kxcore/io.h"
#include "support/testutil.h"

namespace {

using quarrytest::makeDirs;
using quarrytest::readFile;
using quarrytest::TempDir;
using quarrytest::writeFile;

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(m_dir / "trace");
    makeDirs(m_dir / "conf");
    writeFile(m_dir / "conf/pref.ini", "TraceLevel \"DEBUG\"\nTraceMaxLineCount \"1000000\"\n");
  }
  void TearDown() override {
    Dyx::shutdown();
    Dyx::closeTrace();
  }
  // The trace is written to trace/dyx.dbg once the facade opened it.
  std::string trace() const { return readFile(m_dir / "trace/dyx.dbg"); }
  static std::vector<std::string> names(const std::vector<DyxCommand>& commands) {
    std::vector<std::string> out;
    for (const DyxCommand& c : commands) out.push_back(c.name());
    return out;
  }

  TempDir m_dir;
  quarrytest::CwdGuard m_cwd{m_dir.path()};
};

TEST_F(LauncherTest, ReadsRecordsAndKeepsTheLaterOfTwoNames) {
  Dyx::initialize();
  writeFile(m_dir / "apps.ini",
            "View Image \"\" \"viewer.exe\" \"\"\n"
            "Stat Text \"-s x\" \"/usr/bin/stat\" \"$size $date\"\n"
            "View Image.Photo \"\" photo \"\"\n"
            "Short Text");
  DyxLauncher launcher(m_dir / "apps.ini");
  const auto& commands = launcher.commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands.at("View").type(), "Image.Photo");
  EXPECT_EQ(commands.at("View").launch().program(), "photo");
  EXPECT_EQ(commands.at("Stat").parameters(), "-s x");
  EXPECT_EQ(commands.at("Stat").launch().resultVariables(), "$size $date");
  // A short record at the end of the file takes empty texts for what is missing.
  EXPECT_EQ(commands.at("Short").type(), "Text");
  EXPECT_EQ(commands.at("Short").launch().program(), "");
  const std::string t = trace();
  EXPECT_NE(t.find("New Image.View(): viewer.exe => "), std::string::npos);
  EXPECT_NE(t.find("New Text.Stat(-s x): /usr/bin/stat => $size $date"), std::string::npos);
  EXPECT_NE(t.find("Successfully open file: "), std::string::npos);
}

TEST_F(LauncherTest, MissingOrUnnamedFileGivesNoCommands) {
  Dyx::initialize();
  writeFile(m_dir / "apps.ini", "View Image \"\" viewer \"\"\n");
  DyxLauncher launcher(m_dir / "apps.ini");
  ASSERT_EQ(launcher.commands().size(), 1u);

  launcher.reset(m_dir / "missing.ini");
  EXPECT_TRUE(launcher.commands().empty());
  EXPECT_EQ(launcher.iniFile(), m_dir / "missing.ini");
  std::string t = trace();
  EXPECT_NE(t.find("End reading file."), std::string::npos);
  EXPECT_EQ(t.find("bad file"), std::string::npos);

  DyxLauncher unnamed;
  unnamed.reset();
  EXPECT_TRUE(unnamed.commands().empty());
  EXPECT_NE(trace().find("The ini file name is empty."), std::string::npos);

  // A file of blanks only, and one whose quote never closes, load nothing and end.
  writeFile(m_dir / "blank.ini", "   \n\n  \t\n");
  launcher.reset(m_dir / "blank.ini");
  EXPECT_TRUE(launcher.commands().empty());
  writeFile(m_dir / "open.ini", "Bad Image \"never closed\n");
  launcher.reset(m_dir / "open.ini");
  ASSERT_EQ(launcher.commands().count("Bad"), 1u);
  EXPECT_NE(trace().find("Missing ending quote in line: "), std::string::npos);
}

// A FIFO or a directory under the command file's name reads as a missing file, never waited on.
TEST_F(LauncherTest, CommandFileThatIsNotARegularFileIsNotRead) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("FIFOs");
  Dyx::initialize();
  const std::string fifo = m_dir / "pipe.ini";
  ASSERT_TRUE(quarrytest::makeFifo(fifo));
  makeDirs(m_dir / "folder.ini");
  for (const std::string& file : {fifo, m_dir / "folder.ini"}) {
    DyxLauncher launcher;
    // The read runs on a thread of its own: if it blocks on the FIFO, the test fails and opening
    // the FIFO for writing releases the reader, instead of hanging the suite.
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread reader([&] {
      launcher.reset(file);
      done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "reading " << file << " blocked";
      for (int i = 0;
           i < 3 && finished.wait_for(std::chrono::seconds(1)) != std::future_status::ready; ++i) {
        quarrytest::wakeFifoReader(fifo);
      }
    }
    reader.join();
    EXPECT_TRUE(launcher.commands().empty()) << file;
  }
  const std::string t = trace();
  EXPECT_EQ(t.find("Successfully open file: " + fifo), std::string::npos);
  EXPECT_EQ(t.find("Successfully open file: " + m_dir / "folder.ini"), std::string::npos);
  EXPECT_EQ(t.find("bad file"), std::string::npos);
}

TEST_F(LauncherTest, UnknownCommandIsRefusedWithBothMessages) {
  Dyx::initialize();
  std::map<std::string, std::string> vars{{"entry", "x"}};
  EXPECT_FALSE(Dyx::getLauncher().launch("Nothing", vars));
  const std::string t = trace();
  const std::size_t first = t.find("No command for name: Nothing");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(t.find("No command for the given type and name.", first), std::string::npos);
}

TEST_F(LauncherTest, CommandResultsComeBackAsVariables) {
  // It prints 42 and its argument in double quotes.
  const std::string prog = QUARRY_SHOW_ARGS_PATH;
  writeFile(m_dir / "conf/app.ini", "Measure Text \"\" \"" + prog + "\" \"$size $echo\"\n");
  Dyx::initialize();
  std::map<std::string, std::string> vars{{"entry", "/data/my notes.txt"}};
  ASSERT_TRUE(Dyx::getLauncher().launch("Measure", vars));
  EXPECT_EQ(vars["size"], "42");
  EXPECT_EQ(vars["echo"], "/data/my notes.txt");
  EXPECT_EQ(vars["entry"], "/data/my notes.txt");
  EXPECT_EQ(readFile(m_dir / kDyxLaunchResultFile), "42\n\"/data/my notes.txt\"\n");
}

// A command of the file with a placeholder: the file name reaches the program as one argument,
// quotes and all, however it is named.
TEST_F(LauncherTest, PlaceholderCommandPassesTheFileAsOneArgument) {
  // It writes each argument as [text] to args.out.
  const std::string prog = QUARRY_SHOW_ARGS_PATH;
  writeFile(m_dir / "conf/app.ini",
            "Show Text \"\" \"" + prog + " --title Show --file=%1\" \"$none\"\n");
  Dyx::initialize();
  std::vector<std::string> entries = {"/d/inj\" --injected-option \"two words\" z.txt",
                                      "/d/\"both ends\"",
                                      "/d/-x",
                                      "/d/line\nbreak",
                                      "/d/%1%f",
                                      "C:\\ends in\\",
                                      "C:\\quote after\\\"backslash"};
  // Bytes that are not UTF-8 are names on Linux only.
  if (quarrytest::hasLinuxFileSystem()) entries.push_back("/d/\xff\xfe");
  for (const std::string& entry : entries) {
    std::map<std::string, std::string> vars{{"entry", entry}};
    ASSERT_TRUE(Dyx::getLauncher().launch("Show", vars)) << entry;
    EXPECT_EQ(readFile(m_dir / "args.out"), "[--title][Show][--file=" + entry + "]") << entry;
  }
}

TEST_F(LauncherTest, CommandsFollowTheEntrysTypesInOrder) {
  writeFile(m_dir / "conf/type.ini",
            "Image \"$Ext = jpg or $Ext = gif\"\n"
            "Image.Photo \"$Ext = jpg\"\n"
            "Text \"$Name like *.jpg\"\n");
  writeFile(m_dir / "conf/app.ini",
            "Zoom Image.Photo \"\" zoom \"\"\n"
            "Read Text \"\" reader \"\"\n"
            "Any Image \"\" viewer \"\"\n"
            "Crop Image.Photo \"\" crop \"\"\n");
  const std::string dir = m_dir / "pics";
  writeFile(dir + "/a.jpg", "jpg");
  writeFile(dir + "/b.gif", "gif");
  writeFile(dir + "/c.bin", "bin");

  std::vector<DyxCommand> commands{DyxCommand("stale", "", "", "", "")};
  // No engine yet: no entry is known.
  Dyx::getLauncher().getCommands(dir + "/a.jpg", commands);
  EXPECT_TRUE(commands.empty());

  Dyx::initialize();
  Dyx::getPhysicalDirs().setFilter("true");
  ASSERT_TRUE(Dyx::getPhysicalDirs().addPhysicalDirectory(dir, false, false));
  const struct {
    std::string file;
    std::vector<std::string> commands;
  } cases[] = {
      // Photo commands in name order first, then the Text ones; "Image" is not one of its types.
      {"a.jpg", {"Crop", "Zoom", "Read"}},
      {"b.gif", {"Any"}},
      {"c.bin", {}},
      {"missing.jpg", {}},
  };
  for (const auto& c : cases) {
    commands.assign(1, DyxCommand("stale", "", "", "", ""));
    Dyx::getLauncher().getCommands(dir + "/" + c.file, commands);
    EXPECT_EQ(names(commands), c.commands) << c.file;
  }
  const std::string t = trace();
  EXPECT_NE(t.find("One of the types for the entry is: Image.Photo"), std::string::npos);
  EXPECT_NE(t.find("Unknown entry."), std::string::npos);
}

}  // namespace
