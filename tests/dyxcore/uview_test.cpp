#include "dyxcore/uview.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/fview.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/platform.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::TraceCapture;

// One line per folder, depth first: path (written with "/" on every system), filter, sorter,
// and the full names of its entries.
std::string describe(DyxViewFolder& folder, const std::string& path = "") {
  std::string out = (path.empty() ? "/" : path) + " [" + folder.getFilterText() + "] [" +
                    folder.getSorterTag() + "]";
  std::vector<DyxEntry*> entries;
  folder.getEntries(entries);
  for (DyxEntry* e : entries) out += " " + e->getFullName();
  out += "\n";
  std::vector<DyxViewFolder*> subs;
  folder.getFolders(subs, false, true);
  for (DyxViewFolder* sub : subs) out += describe(*sub, path + "/" + sub->getName());
  return out;
}

class UserViewTest : public ::testing::Test {
 protected:
  UserViewTest() : m_cwd(m_dir.path()) {
    quarrytest::makeDirs(m_dir / "conf/views");
    m_data = m_dir / "data";
    for (const char* name : {"a.txt", "b.doc", "c.txt"}) {
      quarrytest::writeFile(m_data + quarrytest::nativePath("/") + name, "x");
    }
    m_pool.setFilter("true");
    m_pool.addPhysicalDirectory(m_data, false, false);
  }
  ~UserViewTest() override {
    Dyx::getViewManager().clearViewCache();
    m_pool.clear();
  }
  void viewFile(const std::string& tag, const std::string& content) {
    quarrytest::writeFile(m_dir / ("conf/views/" + tag + ".kx"), content);
  }
  std::string readViewFile(const std::string& tag) {
    return quarrytest::readFile(m_dir / ("conf/views/" + tag + ".kx"));
  }
  // The entry stays valid after the lock is released: nothing else runs in these tests.
  DyxEntry* poolEntry(const std::string& name) {
    DyxEngineLock lock;
    return m_pool.getEntry(DyxPath(m_data + quarrytest::nativePath("/") + name));
  }

  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd;
  std::string m_data;
  DyxPhysicalDirs m_pool;
};

TEST_F(UserViewTest, ReadsFoldersAndEntries) {
  ASSERT_NE(poolEntry("a.txt"), nullptr);
  viewFile("work",
           "# U\nF / \"true\" \"<none>\"\nF \"./Work\" \"true\" \"<none>\"\nE \"./Work\" \"" +
               m_data + quarrytest::nativePath("/a.txt\"\n"));
  DyxUserView view("work", &m_pool);
  view.readFromFile(&m_pool);
  EXPECT_EQ(describe(view), "/ [true] [<none>]\n/Work [true] [<none>] " + m_data +
                                quarrytest::nativePath("/a.txt\n"));
  EXPECT_FALSE(view.isModified());
  EXPECT_EQ(Dyx::getViewManager().getIndex().referenceCount(poolEntry("a.txt")), 1u);
  EXPECT_EQ(view.getViewFile(), quarrytest::nativePath("./conf/views/work.kx"));
}

// Damaged files: each is reported, the rest of the file is still read, nothing crashes.
TEST_F(UserViewTest, BadRecordsAreReportedAndSkipped) {
  const std::string a = m_data + quarrytest::nativePath("/a.txt");
  const std::string longWord(300, 'K');
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> messages;
    std::string tree;
  } cases[] = {
      {"entry before its folder",
       "# U\nF / \"true\" \"<none>\"\nE \"./Work\" \"" + a +
           "\"\nF \"./Work\" \"true\" \"<none>\"\n",
       {"Invalid entry kind: E for entry: ./Work at line 2."},
       "/ [true] [<none>]\n/Work [true] [<none>]\n"},
      {"folder before its parent",
       "# U\nF / \"true\" \"<none>\"\nF \"./Work/Old\" \"true\" \"<none>\"\n"
       "F \"./Work\" \"true\" \"<none>\"\n",
       {"Invalid entry kind: F for entry: ./Work/Old at line 2."},
       "/ [true] [<none>]\n/Work [true] [<none>]\n"},
      {"unknown record kind",
       "# U\nX \"./a\"\nF \"./b\" \"true\" \"<none>\"\n",
       {"Invalid entry kind: X for entry: ./a at line 1."},
       "/ [true] [<none>]\n/b [true] [<none>]\n"},
      {"over-long word",
       "# U\n" + longWord + " \"./a\" \"true\"\nF \"./c\" \"true\" \"<none>\"\n",
       {"Word longer than 259 characters at line 1."},
       "/ [true] [<none>]\n/c [true] [<none>]\n"},
      {"unterminated quote",
       "# U\nF \"./bad\nF \"./good\" \"true\" \"<none>\"\n",
       {"Missing ending quote in line: \"./bad"},
       "/ [true] [<none>]\n/good [true] [<none>]\n"},
      {"dot parts",
       "# U\nF \"./a\" \"true\" \"<none>\"\nF \"./a/./b\" \"true\" \"<none>\"\n"
       "F \"./.\" \"true\" \"<none>\"\nE \"./a/.\" \"" +
           a + "\"\n",
       {},
       "/ [true] [<none>]\n/a [true] [<none>] " + a + "\n/a/b [true] [<none>]\n"},
      {"unknown entry",
       "# U\nF \"./Work\" \"true\" \"<none>\"\nE \"./Work\" \"" + m_data +
           "/missing.txt\"\n"
           "E \"./Work\" \"" +
           a + "\"\n",
       {"Bad entry: ./Work"},
       "/ [true] [<none>]\n/Work [true] [<none>] " + a + "\n"},
      {"folder twice",
       "# U\nF \"./Work\" \"true\" \"<none>\"\nF \"./Work\" \"true\" \"<none>\"\n",
       {"The sub-folder name Work is already in use."},
       "/ [true] [<none>]\n/Work [true] [<none>]\n"},
      {"trailing blank lines and CRLF",
       "# U\r\nF \"./Work\" \"true\" \"<none>\"\r\n\r\n\n  \n",
       {},
       "/ [true] [<none>]\n/Work [true] [<none>]\n"},
      {"file ends inside a record",
       "# U\nF \"./Work\"",
       {},
       "/ [true] [<none>]\n/Work [true] [<none>]\n"},
      {"header only", "# U", {}, "/ [true] [<none>]\n"},
  };
  for (const Case& c : cases) {
    viewFile("bad", c.content);
    TraceCapture trace;
    DyxUserView view("bad", &m_pool);
    view.readFromFile(&m_pool);
    for (const std::string& message : c.messages) {
      // A folder's path is printed with the system's separator; a line is quoted as written.
      const std::string m =
          message.find("entry: ") != std::string::npos ? quarrytest::nativePath(message) : message;
      EXPECT_TRUE(trace.has(m)) << c.name << ": " << m << "\n" << trace.text();
    }
    if (c.messages.empty()) {
      EXPECT_FALSE(trace.has("Invalid entry kind")) << c.name;
      EXPECT_FALSE(trace.has("Missing ending quote")) << c.name;
    }
    EXPECT_EQ(describe(view), c.tree) << c.name;
  }
}

TEST_F(UserViewTest, MissingFileLeavesAnEmptyModifiedView) {
  TraceCapture trace;
  DyxUserView view("ghost", &m_pool);
  view.readFromFile(&m_pool);
  EXPECT_TRUE(trace.has(quarrytest::nativePath("Cannot open file: ./conf/views/ghost.kx")));
  EXPECT_TRUE(view.isModified());
  EXPECT_EQ(view.getFolderCount(), 0u);
  DyxUserView unnamed("", nullptr);
  EXPECT_TRUE(trace.has("DyxUserView: Given view name is empty."));
}

TEST_F(UserViewTest, WrittenFileReadsBackTheSameView) {
  DyxUserView view("round", &m_pool);
  view.createFolderPath(DyxPath("Work/Old"))->addEntry(poolEntry("b.doc"), nullptr);
  view.getFolder(DyxPath("Work"))->addEntry(poolEntry("a.txt"), nullptr);
  view.createFolderPath(DyxPath("Two Words"));
  view.addEntry(poolEntry("c.txt"), nullptr);
  view.markModified();
  view.save();
  EXPECT_FALSE(view.isModified());
  const std::string written = readViewFile("round");
  // Folders and entries are written with the system's separator.
  EXPECT_EQ(written, quarrytest::nativePath("# U\n"
                                            "F / \"true\" \"<none>\"\n"
                                            "E / \"" +
                                            m_data +
                                            "/c.txt\"\n"
                                            "F \"./Two Words\" \"true\" \"<none>\"\n"
                                            "F \"./Work\" \"true\" \"<none>\"\n"
                                            "E \"./Work\" \"" +
                                            m_data +
                                            "/a.txt\"\n"
                                            "F \"./Work/Old\" \"true\" \"<none>\"\n"
                                            "E \"./Work/Old\" \"" +
                                            m_data + "/b.doc\"\n"));

  DyxUserView copy("round", &m_pool);
  copy.readFromFile(&m_pool);
  EXPECT_EQ(describe(copy), describe(view));
  EXPECT_FALSE(copy.isModified());
  ASSERT_TRUE(copy.updateFile());
  EXPECT_EQ(readViewFile("round"), written);
}

// Full paths longer than 255 characters are ordinary; a written view must not lose them.
TEST_F(UserViewTest, LongEntryPathsSurviveTheRoundTrip) {
  const std::string deep =
      m_dir / (std::string(120, 'd') + quarrytest::nativePath("/") + std::string(120, 'e'));
  const std::string name = std::string(60, 'f') + ".txt";
  quarrytest::writeFile(deep + quarrytest::nativePath("/") + name, "x");
  m_pool.addPhysicalDirectory(deep, false, false);
  DyxEntry* e = nullptr;
  {
    DyxEngineLock lock;
    e = m_pool.getEntry(DyxPath(deep + quarrytest::nativePath("/") + name));
  }
  ASSERT_NE(e, nullptr);
  ASSERT_GT(e->getFullName().size(), 255u);
  DyxUserView view("long", &m_pool);
  view.createFolderPath(DyxPath("Deep"))->addEntry(e, nullptr);
  ASSERT_TRUE(view.updateFile());
  DyxUserView copy("long", &m_pool);
  TraceCapture trace;
  copy.readFromFile(&m_pool);
  EXPECT_EQ(describe(copy), describe(view)) << trace.text();
}

// A double quote in a file name would end the written value early, and a line end would cut
// the record in two: either lost the entry.
TEST_F(UserViewTest, NamesWithQuotesAndLineEndsSurviveTheRoundTrip) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("File names with quotes, line ends and backslashes");
  const std::string names[] = {"say \"hi\".txt", "end\"",    "odd\\\"mix", "two\nlines.txt",
                               "cr\rname",       "both\"\n", "plain\\n"};
  DyxUserView view("quotes", &m_pool);
  DyxViewFolder* folder = view.createFolderPath(DyxPath("Q"));
  for (const std::string& name : names)
    quarrytest::writeFile(m_data + quarrytest::nativePath("/") + name, "x");
  m_pool.removePhysicalDirectory(m_data, false, false);
  m_pool.addPhysicalDirectory(m_data, false, false);
  for (const std::string& name : names) {
    DyxEntry* e = poolEntry(name);
    ASSERT_NE(e, nullptr) << name;
    folder->addEntry(e, nullptr);
  }
  ASSERT_TRUE(view.updateFile());
  DyxUserView copy("quotes", &m_pool);
  TraceCapture trace;
  copy.readFromFile(&m_pool);
  EXPECT_EQ(describe(copy), describe(view)) << trace.text();
  EXPECT_FALSE(trace.has("Bad entry"));
}

TEST_F(UserViewTest, FilterViewFileKeepsFiltersAndSorter) {
  viewFile("media",
           "# F\n"
           "F / \"<undef>\" \"<size>\"\n"
           "F \"./Docs\" \"$Name like \\\"*.doc\\\"\" \"\"\n"
           "F \"./Docs/Texts\" \"$Ext = \\\"txt\\\" or $Ext = \\\"doc\\\"\" \"\"\n"
           "F \"./Big\" \"$Size > 1000000\" \"\"\n");
  DyxFilterView view("media", &m_pool);
  TraceCapture trace;
  view.readFromFile(&m_pool);
  EXPECT_EQ(view.getSorterTag(), "<size>");
  EXPECT_FALSE(view.isModified());
  ASSERT_NE(view.getSubFolder("Docs"), nullptr) << trace.text();
  ASSERT_NE(view.getFolder(DyxPath("Docs/Texts")), nullptr);
  // The backslash-quote pairs kept the criterion together as one value.
  EXPECT_NE(view.getSubFolder("Docs")->getFilterText().find("*.doc"), std::string::npos);
  EXPECT_NE(view.getSubFolder("Docs")->getFilterText(), "<undef>");
  const std::string before = describe(view);

  view.save();
  DyxFilterView copy("media", &m_pool);
  copy.readFromFile(&m_pool);
  EXPECT_EQ(describe(copy), before);
  EXPECT_EQ(copy.getSorterTag(), "<size>");
  EXPECT_EQ(readViewFile("media").substr(0, 4), "# F\n");
}

TEST_F(UserViewTest, UnwritableViewsDirectoryIsReported) {
  // The views directory is a plain file here, so nothing can be written below it.
  const std::string views = m_dir / "conf/views";
  ASSERT_EQ(::rmdir(views.c_str()), 0);
  quarrytest::writeFile(views, "not a directory");
  DyxUserView view("any", &m_pool);
  view.createFolderPath(DyxPath("Folder"));
  TraceCapture trace;
  EXPECT_FALSE(view.updateFile());
  EXPECT_TRUE(trace.has(quarrytest::nativePath("Cannot open file: ./conf/views/any.kx")));
  EXPECT_EQ(quarrytest::readFile(views), "not a directory");
}

TEST_F(UserViewTest, FailedWriteKeepsThePreviousFile) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("Permission bits");
  if (dyxplatform::isPrivileged()) GTEST_SKIP() << "permission bits do not bind root";
  viewFile("kept", "# U\nF \"./Old\" \"true\" \"<none>\"\n");
  DyxUserView view("kept", &m_pool);
  view.readFromFile(&m_pool);
  view.createFolderPath(DyxPath("New"));
  const std::string views = m_dir / "conf/views";
  ASSERT_EQ(::chmod(views.c_str(), 0555), 0);
  TraceCapture trace;
  EXPECT_FALSE(view.updateFile());
  EXPECT_FALSE(view.createFile());
  ASSERT_EQ(::chmod(views.c_str(), 0755), 0);
  EXPECT_TRUE(trace.has(quarrytest::nativePath("Cannot open file: ./conf/views/kept.kx")));
  EXPECT_EQ(readViewFile("kept"), "# U\nF \"./Old\" \"true\" \"<none>\"\n");
  ASSERT_TRUE(view.createFile());
  EXPECT_EQ(readViewFile("kept"), "");
}

}  // namespace

namespace {

// The view files shipped in conf/views must read without a single complaint.
TEST_F(UserViewTest, ShippedViewFilesReadCleanly) {
  const std::string source = quarrytest::sourceDir();
  if (source.empty()) GTEST_SKIP() << "QUARRY_SOURCE_DIR is not set";
  std::vector<dyxplatform::DirItem> items;
  ASSERT_TRUE(dyxplatform::listDirectory(source + quarrytest::nativePath("/conf/views"), items));
  int read = 0;
  for (const dyxplatform::DirItem& item : items) {
    if (item.name.size() < 4 || item.name.substr(item.name.size() - 3) != ".kx") continue;
    const std::string tag = item.name.substr(0, item.name.size() - 3);
    viewFile(tag,
             quarrytest::readFile(source + quarrytest::nativePath("/conf/views/") + item.name));
    TraceCapture trace;
    DyxView* view = Dyx::getViewManager().get(tag, false);
    ASSERT_NE(view, nullptr) << item.name << "\n" << trace.text();
    EXPECT_GT(view->getFolderCount(), 0u) << item.name;
    EXPECT_FALSE(view->isModified()) << item.name;
    // The view file's own complaints, then the filter parser's (a filter view's criteria).
    for (const char* complaint :
         {"Invalid entry kind", "Missing ending quote", "Bad entry", "Word longer", "Cannot open",
          "already in use", "Cannot parse the expression", "Unknown operator",
          "Missing a closing parenthesis", "Throwing"}) {
      EXPECT_FALSE(trace.has(complaint)) << item.name << ": " << complaint;
    }
    ++read;
  }
  EXPECT_GT(read, 0);
}

}  // namespace

// A view file read and written back again and again stays the same file: every save writes the
// bytes it read, so the view cannot drift or grow with use.
TEST_F(UserViewTest, AFilterViewSavedThreeTimesIsByteIdentical) {
  viewFile("media",
           "# F\n"
           "F / \"<undef>\" \"<size>\"\n"
           "F \"./Big Files\" \"$Size > 100000000\" \"\"\n"
           "F \"./Pictures\" \"$Ext = jpg or $Ext = png\" \"\"\n"
           "F \"./Pictures/Photos\" \"$Ext = jpg and not $Size < 1000\" \"\"\n"
           "F \"./Text\" \"$Name like *.txt\" \"\"\n");
  std::vector<std::string> saved;
  for (int i = 0; i < 3; ++i) {
    DyxFilterView view("media", &m_pool);
    view.readFromFile(&m_pool);
    ASSERT_TRUE(view.updateFile()) << i;
    saved.push_back(readViewFile("media"));
  }
  EXPECT_EQ(saved[1], saved[0]);
  EXPECT_EQ(saved[2], saved[0]);
  EXPECT_NE(saved[0].find(quarrytest::nativePath("\"./Pictures/Photos\"")), std::string::npos)
      << saved[0];
}

// A view file that cannot be written leaves the previous file and tells the user why.
TEST_F(UserViewTest, AViewThatCannotBeSavedKeepsItsFileAndSaysWhy) {
  viewFile("work", "# U\nF / \"true\" \"<none>\"\nF \"./Old\" \"true\" \"<none>\"\n");
  const std::string before = readViewFile("work");
  DyxUserView view("work", &m_pool);
  view.readFromFile(&m_pool);
  view.addFolder(view.newFolder("New"));
  quarrytest::makeDirs(m_dir /
                       ("conf/views/work.kx.tmp" + std::to_string(dyxplatform::processId())));
  KxNotices::clear();
  EXPECT_FALSE(view.updateFile());
  const std::vector<KxNotice> notices = KxNotices::take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].kind, KxNoticeKind::kNotSaved);
  EXPECT_EQ(notices[0].text(),
            quarrytest::nativePath("conf/views/work.kx") +
                ": Is a directory (the view was not saved; the previous file is unchanged)");
  EXPECT_EQ(readViewFile("work"), before);
}
