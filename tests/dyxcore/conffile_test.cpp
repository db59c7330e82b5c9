// What the user is told about configuration, path map, property and view files that cannot be
// read or hold lines that cannot be parsed: each reader names the file and the line.
#include "dyxcore/conffile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "dyxcore/environ.h"
#include "dyxcore/fview.h"
#include "dyxcore/launcher.h"
#include "dyxcore/pathmap.h"
#include "dyxcore/propman.h"
#include "dyxcore/typeman.h"
#include "dyxcore/uview.h"
#include "dyxcore/viewman.h"
#include "kxcore/notice.h"
#include "support/testutil.h"

namespace {

class ConfigNoticeTest : public ::testing::Test {
 protected:
  void SetUp() override { KxNotices::clear(); }
  void TearDown() override { KxNotices::clear(); }

  // The texts of the notices taken, each checked to be of the kind given: "configuration" for
  // the files the user writes, "damaged" for those the program saved.
  static std::vector<std::string> taken(KxNoticeKind kind) {
    std::vector<std::string> texts;
    for (const KxNotice& n : KxNotices::take()) {
      EXPECT_EQ(n.kind, kind) << n.text();
      texts.push_back(n.text());
    }
    return texts;
  }

  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd{m_dir.path()};
};

std::string joined(const std::vector<std::string>& texts) {
  std::string all;
  for (const std::string& t : texts) all += t + "\n";
  return all;
}

// Bytes as a damaged or foreign file holds them: control bytes, NULs, stray quotes, no line
// structure.
std::string randomBytes(std::size_t n, unsigned seed) {
  std::string bytes;
  unsigned x = seed;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    bytes.push_back(static_cast<char>((x >> 16) & 0xFF));
  }
  return bytes;
}

void readPreferences() { DyxEnviron().defaultPreferences(); }
void readTypes() { DyxTypeManager types("conf/type.ini"); }
void readCommands() { DyxLauncher launcher("conf/app.ini"); }
void readPathMap() { DyxPathMap map("home"); }
void readProperties() { DyxEntryProperty().load("tags"); }
void readViewKind() { DyxViewManager().getViewKind("Media"); }
void readView() { DyxUserView("Media", nullptr).readFromFile(nullptr); }
void readFilterView() { DyxFilterView("Media", nullptr).readFromFile(nullptr); }

}  // namespace

TEST_F(ConfigNoticeTest, EachReaderNamesTheFileAndTheLineItCannotParse) {
  struct Case {
    const char* label;
    const char* file;
    std::string content;
    std::function<void()> read;
    std::vector<std::string> expected;  // one notice each, in order
    KxNoticeKind kind = KxNoticeKind::kConfiguration;
  };
  const Case cases[] = {
      {"good preferences",
       "conf/pref.ini",
       "TraceLevel \"SILENT\"\nNameCase true\n",
       readPreferences,
       {}},
      {"preference quote left open",
       "conf/pref.ini",
       "TraceLevel \"SILENT\"\nNameCase true\nCurrentPathMap \"home\nExtCase false\n",
       readPreferences,
       {"conf/pref.ini: line 3: the quoted value of 'CurrentPathMap' has no closing quote"}},
      {"preference without value",
       "conf/pref.ini",
       "TraceLevel \"SILENT\"\nNameCase\n",
       readPreferences,
       {"conf/pref.ini: line 2: the preference 'NameCase' has no value"}},
      {"preference control bytes",
       "conf/pref.ini",
       "TraceLevel \"SILENT\"\nName\x01\x02 x\n",
       readPreferences,
       {"conf/pref.ini: line 2: holds bytes that are not text"}},
      {"good types",
       "conf/type.ini",
       "Image \"$Ext = jpg\"\nImage.Photo \"$Ext = jpg\"\n",
       readTypes,
       {}},
      {"type criterion unparsable",
       "conf/type.ini",
       "Image \"$Ext = jpg\"\nBroken \"= jpg\"\nFalse \"false\"\n",
       readTypes,
       {"conf/type.ini: line 2: the criterion of the type 'Broken' cannot be parsed"}},
      {"good commands", "conf/app.ini", "View Image \"\" \"xdg-open\" \"\"\n", readCommands, {}},
      {"command with two values",
       "conf/app.ini",
       "Edit Text \"\" \"ed\" \"\"\nView Image \"\"\n",
       readCommands,
       {"conf/app.ini: line 2: the command 'View' has 2 of its 4 values on its line"}},
      {"path map bad flag",
       "conf/home.fpm",
       "\"/a\" Yes\n\"/b\" yes\n\n",
       readPathMap,
       {"conf/home.fpm: line 2: the directory is not followed by Yes or No",
        "conf/home.fpm: loaded: 1 directory"},
       KxNoticeKind::kDamaged},
      {"property before header",
       "tags.prp",
       "\nrating 5\n# a.jpg\nrating 3\n",
       readProperties,
       {"tags.prp: line 2: a property before the first \"#\" line",
        "tags.prp: loaded: the properties of 1 file"},
       KxNoticeKind::kDamaged},
      {"view kind letter",
       "conf/views/Media.kx",
       "# X\nF / \"true\" \"<none>\"\n",
       readViewKind,
       {"conf/views/Media.kx: line 1: the file does not begin with \"# U\""},
       KxNoticeKind::kDamaged},
      {"view record kinds",
       "conf/views/Media.kx",
       "# U\nF / \"true\" \"<none>\"\nF \"./Old/Deep\" \"true\" \"<none>\"\n"
       "Q \"./Work\"\nF \"./Work\" \"true\" \"<none>\n",
       readView,
       {"conf/views/Media.kx: line 3: the parent folder of",
        "conf/views/Media.kx: line 4: 'Q' is not a record kind",
        "conf/views/Media.kx: line 5: a quoted value has no closing quote",
        "conf/views/Media.kx: loaded: 0 folders and 0 entries"},
       KxNoticeKind::kDamaged},
      {"filter view criteria",
       "conf/views/Media.kx",
       "# F\nF / \"<undef>\" \"<none>\"\nF \"./Pics\" \"($Ext = jpg or $Ext = png\" \"\"\n"
       "F \"./None\" \"false\" \"\"\nF \"./Docs\" \"$Ext = pdf\" \"\"\n",
       readFilterView,
       {"conf/views/Media.kx: line 3: the criterion of the folder ./Pics cannot be parsed: "
        "Missing a closing parenthesis.",
        "conf/views/Media.kx: loaded: 3 folders and 0 entries"},
       KxNoticeKind::kDamaged},
  };
  for (const Case& c : cases) {
    quarrytest::writeFile(c.file, c.content);
    c.read();
    const std::vector<std::string> texts = taken(c.kind);
    ASSERT_EQ(texts.size(), c.expected.size()) << c.label << ":\n" << joined(texts);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      // The file's name comes first, as the reader was given it or with the system's
      // separator (the same on Linux).
      EXPECT_EQ(quarrytest::nativePath(texts[i]).rfind(quarrytest::nativePath(c.expected[i]), 0),
                0u)
          << c.label << ": " << texts[i];
    }
  }
}

// A missing file is how every reader runs without configuration: no notice. Anything else under
// the name that cannot be read is named with the reason, and reading it never blocks.
TEST_F(ConfigNoticeTest, UnreadableFilesAreNamedWithTheReasonAndMissingOnesAreNot) {
  struct Case {
    const char* label;
    const char* file;
    std::function<void()> read;
    KxNoticeKind kind;
  };
  constexpr KxNoticeKind kConfiguration = KxNoticeKind::kConfiguration;
  constexpr KxNoticeKind kDamaged = KxNoticeKind::kDamaged;
  const Case cases[] = {
      {"preferences", "conf/pref.ini", readPreferences, kConfiguration},
      {"types", "conf/type.ini", readTypes, kConfiguration},
      {"commands", "conf/app.ini", readCommands, kConfiguration},
      {"path map", "conf/home.fpm", readPathMap, kDamaged},
      {"properties", "tags.prp", readProperties, kDamaged},
      {"view kind", "conf/views/Media.kx", readViewKind, kDamaged},
      {"view", "conf/views/Media.kx", readView, kDamaged},
  };
  for (const Case& c : cases) {
    c.read();
    EXPECT_TRUE(taken(c.kind).empty()) << c.label << ": missing";

    quarrytest::makeDirs(c.file);
    c.read();
    EXPECT_EQ(quarrytest::nativePath(joined(taken(c.kind))),
              quarrytest::nativePath(c.file) + ": cannot be read: Is a directory\n")
        << c.label;
    ASSERT_EQ(::rmdir(c.file), 0) << c.label;

    if (!quarrytest::hasLinuxFileSystem()) continue;  // no FIFOs
    ASSERT_TRUE(quarrytest::makeFifo(c.file)) << c.label;
    c.read();
    EXPECT_EQ(quarrytest::nativePath(joined(taken(c.kind))),
              quarrytest::nativePath(c.file) + ": cannot be read: not a regular file\n")
        << c.label;
    ASSERT_EQ(::unlink(c.file), 0) << c.label;
  }
}

TEST_F(ConfigNoticeTest, AFileOfRandomBytesGivesAFewNoticesAndACountNotOnePerLine) {
  for (const char* file : {"conf/pref.ini", "conf/type.ini", "conf/app.ini"}) {
    quarrytest::writeFile(file, randomBytes(64 * 1024, 7));
  }
  for (const auto& read : {readPreferences, readTypes, readCommands}) {
    read();
    const std::vector<std::string> texts = taken(KxNoticeKind::kConfiguration);
    ASSERT_EQ(texts.size(), DyxConfigFile::kMaxReported + 1) << joined(texts);
    EXPECT_NE(texts.front().find(": line "), std::string::npos) << texts.front();
    EXPECT_NE(texts.back().find(" more problems"), std::string::npos) << texts.back();
  }
}

TEST_F(ConfigNoticeTest, LinesAreCountedFromOneWhereverTheProblemsAre) {
  quarrytest::writeFile("f", "a\n\nb\r\nc");
  DyxConfigFile file("f");
  ASSERT_TRUE(file.isOpen());
  EXPECT_EQ(file.lineOf(0), 1u);
  EXPECT_EQ(file.lineOf(6), 4u);  // "c", after the CR LF
  EXPECT_EQ(file.lineOf(2), 2u);  // back again
  EXPECT_EQ(file.lineOf(3), 3u);
  EXPECT_EQ(file.lineOf(99), 4u);
  KxNotices::clear();
}
