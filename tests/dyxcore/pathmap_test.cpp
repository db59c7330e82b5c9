// Path map files: reading good and bad records, writing them back, and the names of maps.
#include "dyxcore/pathmap.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "kxcore/notice.h"
#include "pool_testing.h"

namespace {

using quarrytest::readFile;
using quarrytest::writeFile;
using Flags = std::map<std::string, bool>;

class PathMapTest : public ::testing::Test {
 protected:
  PathMapTest() : m_cwd(m_tmp.path()) {}
  static Flags flags(const DyxPathMap& map) {
    Flags out;
    for (const auto& [path, rec] : map.paths()) out[path.toString()] = rec;
    return out;
  }
  quarrytest::TempDir m_tmp;
  quarrytest::CwdGuard m_cwd;
};

TEST_F(PathMapTest, ReadsRecordsOfEveryForm) {
  struct Case {
    const char* label;
    std::string content;
    Flags expected;
  };
  const std::string longWord(300, 'w');
  const Case cases[] = {
      {"quoted, two flags",
       "\"/home/u/work\" Yes\n\"/home/u/music\" No\n",
       {{"/home/u/work", true}, {"/home/u/music", false}}},
      {"unquoted word", "/data/x Yes\n", {{"/data/x", true}}},
      {"blanks inside quotes", "\"/a b/c d\"   No\n", {{"/a b/c d", false}}},
      {"trailing and inner empty lines", "/a Yes\n\n/b No\n\n\n", {{"/a", true}, {"/b", false}}},
      {"later record wins", "/a Yes\n/a No\n", {{"/a", false}}},
      {"no final line end", "/a Yes", {{"/a", true}}},
      {"separators normalised", "\"/a//b/./c/\" Yes\n", {{"/a/b/c", true}}},
      {"lower-case flag refused", "/a yes\n/b No\n", {{"/b", false}}},
      {"missing flag only loses its line", "/a\n/b Yes\n", {{"/b", true}}},
      {"unterminated quote", "\"/a Yes\n/b No\n", {{"/b", false}}},
      {"over-long word", longWord + " Yes\n/b No\n", {{"/b", false}}},
      {"over-long quoted value",
       "\"/" + std::string(400, 'q') + "\" Yes\n/b No\n",
       {{"/b", false}}},
      {"NUL and garbage bytes", std::string("/a\0b Yes\n\xff\xfe No\n/c Yes\n", 22), {}},
  };
  for (const Case& c : cases) {
    writeFile(m_tmp / "conf/t.fpm", c.content);
    DyxPathMap map("t");
    Flags got = flags(map);
    if (std::string(c.label) == "NUL and garbage bytes") {
      // Whatever the bytes give, the last good record is there and nothing crashed.
      const std::string c1 = quarrytest::nativePath("/c");
      EXPECT_TRUE(got.count(c1) == 1 && got[c1]) << c.label;
      continue;
    }
    if (std::string(c.label).find("over-long") != std::string::npos ||
        std::string(c.label) == "unterminated quote") {
      // The damaged record may leave a piece behind, but /b is read with its own flag.
      const std::string b = quarrytest::nativePath("/b");
      EXPECT_EQ(got.count(b), 1u) << c.label;
      EXPECT_FALSE(got[b]) << c.label;
      continue;
    }
    Flags expected;  // paths print with the system's separator
    for (const auto& [path, flag] : c.expected) expected[quarrytest::nativePath(path)] = flag;
    EXPECT_EQ(got, expected) << c.label;
  }
}

TEST_F(PathMapTest, BadFlagIsReportedWithItsLineCountedFromZero) {
  writeFile(m_tmp / "conf/t.fpm", "\"/a\" yes\n\n/b YES\n/c No\n");
  pooltest::TraceCapture trace;
  pooltest::ActivityCapture activity(m_tmp / "activity.log");
  DyxPathMap map("t");
  // Paths and file names print with the system's separator.
  EXPECT_TRUE(trace.contains(
      quarrytest::nativePath("Problem in file at line: 0. Skip the line. path=/a,rec=yes")))
      << trace.text();
  EXPECT_TRUE(trace.contains(
      quarrytest::nativePath("Problem in file at line: 2. Skip the line. path=/b,rec=YES")))
      << trace.text();
  // The user's notice counts lines from 1, as editors do.
  EXPECT_EQ(activity.text(),
            quarrytest::nativePath(
                "ERROR: in file: ./conf/t.fpm at line 0. Skip the line.\n"
                "ERROR: damaged: conf/t.fpm: line 1: the directory is not followed by Yes or No: "
                "skipped\n"
                "ERROR: in file: ./conf/t.fpm at line 2. Skip the line.\n"
                "ERROR: damaged: conf/t.fpm: line 3: the directory is not followed by Yes or No: "
                "skipped\n"
                "ERROR: damaged: conf/t.fpm: loaded: 1 directory\n"));
  KxNotices::clear();
  EXPECT_TRUE(trace.contains(quarrytest::nativePath("Read path: /c"))) << trace.text();
  EXPECT_EQ(flags(map), (Flags{{quarrytest::nativePath("/c"), false}}));
}

TEST_F(PathMapTest, MissingFileIsReportedOnceAndLeavesTheMapEmpty) {
  pooltest::TraceCapture trace;
  DyxPathMap map("absent");
  EXPECT_TRUE(trace.contains(quarrytest::nativePath("Cannot open file: ./conf/absent.fpm")))
      << trace.text();
  EXPECT_TRUE(map.paths().empty());
  DyxPathMap::Paths out;
  out[DyxPath("/x")] = true;
  EXPECT_TRUE(map.getPaths(out));
  EXPECT_TRUE(out.empty()) << "getPaths replaces the argument";
}

TEST_F(PathMapTest, OnlyARegularFileIsRead) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("FIFOs");
  quarrytest::makeDirs(m_tmp / "conf/dir.fpm");
  ASSERT_TRUE(quarrytest::makeFifo(m_tmp / "conf/fifo.fpm"));
  for (const char* name : {"dir", "fifo"}) {
    pooltest::TraceCapture trace;
    DyxPathMap map(name);  // a FIFO must not block here
    EXPECT_TRUE(trace.contains(quarrytest::nativePath("Cannot open file: ./conf/") +
                               std::string(name) + ".fpm"))
        << name;
    EXPECT_TRUE(map.paths().empty()) << name;
  }
}

TEST_F(PathMapTest, NamesAndTheMapWithoutFile) {
  EXPECT_EQ(DyxPathMap("home").getName(), "home");
  EXPECT_EQ(DyxPathMap("home").getFile(), quarrytest::nativePath("./conf/home.fpm"));
  DyxPathMap none("");
  EXPECT_EQ(none.getName(), "");
  none.setRecursive("/a", true);
  DyxPathMap::Paths out;
  out[DyxPath("/keep")] = true;
  EXPECT_FALSE(none.getPaths(out));
  EXPECT_EQ(out.size(), 1u) << "untouched without a file";
  EXPECT_TRUE(none.save());
  EXPECT_FALSE(std::filesystem::exists(m_tmp / "conf")) << "nothing written without a file";
}

TEST_F(PathMapTest, WriteAndReadBack) {
  writeFile(m_tmp / "conf/rt.fpm", "");
  DyxPathMap map("rt");
  map.setRecursive("/z/last", false);
  map.setRecursive("/a b/with blank", true);
  map.setRecursive("/m/\xc3\xa9t\xc3\xa9", true);
  map.setRecursive("/gone", true);
  map.remove("/gone");
  EXPECT_TRUE(map.isRecursive("/a b/with blank"));
  EXPECT_FALSE(map.isRecursive("/z/last"));
  EXPECT_FALSE(map.isRecursive("/not/there"));
  ASSERT_TRUE(map.save());
  EXPECT_EQ(readFile(m_tmp / "conf/rt.fpm"),
            quarrytest::nativePath(
                "\"/a b/with blank\" Yes\n\"/m/\xc3\xa9t\xc3\xa9\" Yes\n\"/z/last\" No\n"));
  DyxPathMap again("rt");
  EXPECT_EQ(flags(again), flags(map));
  // Written beside the target and renamed: no temporary file stays behind.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(m_tmp / "conf")) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);

  std::ostringstream dump;
  again.dump(dump);
  EXPECT_EQ(dump.str(),
            quarrytest::nativePath("------------------ path map ------------------------\n"
                                   "file: \"./conf/rt.fpm\"\n"
                                   "path: \"/a b/with blank\", rec: true\n"
                                   "path: \"/m/\xc3\xa9t\xc3\xa9\", rec: true\n"
                                   "path: \"/z/last\", rec: false\n"
                                   "----------------------------------------------------\n"));
}

TEST_F(PathMapTest, PathsTheFileCannotHoldAreReportedNotMangled) {
  writeFile(m_tmp / "conf/q.fpm", "");
  DyxPathMap map("q");
  map.setRecursive("/with \"quote\"", true);
  map.setRecursive("/ends/with\\", true);
  map.setRecursive("/" + std::string(300, 'x'), true);
  map.setRecursive("/fine", false);
  pooltest::TraceCapture trace;
  ASSERT_TRUE(map.save());
  EXPECT_TRUE(trace.contains(
      quarrytest::nativePath("Cannot write the path into the path map: /with \"quote\"")));
  // A name that ends in "\" exists only where "\" does not separate; on Windows the text names
  // the directory \ends\with, which the file holds.
  const std::string endsWith = dyxplatform::kPathSeparator == '\\' ? "\"\\ends\\with\" Yes\n" : "";
  EXPECT_EQ(readFile(m_tmp / "conf/q.fpm"), endsWith + quarrytest::nativePath("\"/fine\" No\n"));
}

}  // namespace
