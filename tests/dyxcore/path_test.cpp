#include "dyxcore/path.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>

#include "dyxcore/platform.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using Parts = std::vector<std::string>;

using quarrytest::nativePath;
using quarrytest::TraceCapture;

struct ParseCase {
  const char* text;
  Parts parts;
  const char* form;
};

// The path table, with this platform's "/" and separator 0.
TEST(DyxPath, ParseAndTextFormWithPlatformSeparator) {
  const ParseCase cases[] = {
      {"C:/data/a.txt", {"C:", "data", "a.txt"}, "C:/data/a.txt"},
      {"data/a.txt", {".", "data", "a.txt"}, "./data/a.txt"},
      {"a.txt", {".", "a.txt"}, "./a.txt"},
      {"/data/a.txt", {"data", "a.txt"}, "/data/a.txt"},
      {"C:/", {"C:"}, "C:"},
      {"/", {}, "/"},
      {"../x", {"..", "x"}, "../x"},
      {"c:/x", {".", "c:", "x"}, "./c:/x"},
      {"a//b", {".", "a", "b"}, "./a/b"},
      {"//server/share", {"server", "share"}, "/server/share"},
      {"C:/data/", {"C:", "data"}, "C:/data"},
      {"./conf/views", {".", "conf", "views"}, "./conf/views"},
      // Above the root is the root: a rooted path never reads back as a relative one.
      {"/..", {}, "/"},
      {"/../x", {"x"}, "/x"},
      {"/./x/../y", {"x", "..", "y"}, "/x/../y"},
      {".", {"."}, "."},
      {"C:", {"C:"}, "C:"},
      {"/home/a", {"home", "a"}, "/home/a"},
      {"a\\b", {".", "a\\b"}, "./a\\b"},  // a backslash is an ordinary byte here
  };
  for (const auto& c : cases) {
    // Where "\\" separates (Windows), "/" separates too and the forms print with "\\".
    if (dyxplatform::kPathSeparator == '\\' &&
        std::string(c.text).find('\\') != std::string::npos) {
      continue;
    }
    const DyxPath path(c.text);
    EXPECT_EQ(path.components(), c.parts) << c.text;
    EXPECT_EQ(path.toString(), quarrytest::nativePath(c.form)) << c.text;
    EXPECT_FALSE(path.isEmpty()) << c.text;
    EXPECT_EQ(path.separator(), dyxplatform::kPathSeparator);
  }
  const DyxPath empty("");
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_EQ(empty.count(), 0);
  EXPECT_EQ(empty.toString(), "");
}

// The same table read with an explicit "\" separator (rows that hold a separator).
TEST(DyxPath, ParseWithExplicitSeparator) {
  const ParseCase cases[] = {
      {"C:\\data\\a.txt", {"C:", "data", "a.txt"}, "C:\\data\\a.txt"},
      {"data\\a.txt", {".", "data", "a.txt"}, ".\\data\\a.txt"},
      {"\\data\\a.txt", {"data", "a.txt"}, "\\data\\a.txt"},
      {"C:\\", {"C:"}, "C:"},
      {"\\", {}, "\\"},
      {"..\\x", {"..", "x"}, "..\\x"},
      {"c:\\x", {".", "c:", "x"}, ".\\c:\\x"},
      {"\\\\server\\share", {"server", "share"}, "\\server\\share"},
      // An explicit separator gives a text without one no "." part: dotted type names.
      {"a.txt", {"a.txt"}, "\\a.txt"},
  };
  for (const auto& c : cases) {
    const DyxPath path(c.text, '\\');
    EXPECT_EQ(path.components(), c.parts) << c.text;
    EXPECT_EQ(path.toString(), c.form) << c.text;
  }
  EXPECT_EQ(DyxPath("Image", '.').components(), Parts({"Image"}));
  // A first piece followed by the separator is still marked relative.
  EXPECT_EQ(DyxPath("Image.Photo", '.').components(), Parts({".", "Image", "Photo"}));
  // Printing with another separator, and a drive forced behind a separator.
  EXPECT_EQ(DyxPath("C:/data").toString('\\'), "C:\\data");
  EXPECT_EQ(DyxPath("C:/data").toString(0, true), nativePath("/C:/data"));
}

TEST(DyxPath, ExtensionAndBaseName) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"./archive.tar.gz", "gz", "archive.tar"},
      {"./README", "", "README"},
      {"/www/page.html?x=1.2", "html", "page"},
      {"/www/page?x=1.2", "", "page"},
      {"./.bashrc", "bashrc", ""},
      {"./a.", "", "a"},
      {"/", "", ""},
      {"", "", ""},
  };
  for (const auto& [text, extension, base] : cases) {
    const DyxPath path(text);
    EXPECT_EQ(path.extension(), extension) << text;
    EXPECT_EQ(path.baseName(), base) << text;
  }
}

TEST(DyxPath, PartOperationsAndRanges) {
  DyxPath path("C:/data/a.txt");
  EXPECT_EQ(path.count(), 3);
  EXPECT_EQ(path.part(1), "data");
  EXPECT_EQ(path.part(3), "");
  EXPECT_EQ(path.part(-1), "");
  EXPECT_EQ(path.last(), "a.txt");
  EXPECT_EQ(DyxPath("/").last(), "");

  // Forms print with the system's separator.
  EXPECT_EQ(path.parent().toString(), nativePath("C:/data"));
  EXPECT_EQ(DyxPath("C:").parent().toString(), "C:");
  EXPECT_EQ(DyxPath("/").parent().toString(), nativePath("/"));
  EXPECT_EQ(path.subPath(1).toString(), nativePath("/data/a.txt"));
  EXPECT_EQ(path.subPath(0, 0).toString(), "C:");
  EXPECT_EQ(path.subPath(1, 9).components(), Parts({"data", "a.txt"}));  // clipped, no overrun
  EXPECT_EQ(DyxPath("x", '.').parent().separator(), '.');  // a copy keeps its separator

  const std::pair<int, int> badRanges[] = {{2, 1}, {-1, 1}, {0, -2}};
  for (const auto& [first, last] : badRanges) {
    TraceCapture err;
    const DyxPath sub = path.subPath(first, last);
    EXPECT_TRUE(sub.isEmpty()) << first << "," << last;
    const std::string expected =
        "Bad param: pos0=" + std::to_string(first) + ",pos1=" + std::to_string(last);
    EXPECT_NE(err.text().find(expected), std::string::npos) << err.text();
  }
  {
    TraceCapture err;  // no parts: the whole range is empty
    EXPECT_TRUE(DyxPath("/").subPath(0).isEmpty());
    EXPECT_NE(err.text().find("Bad param: pos0=0,pos1=-1"), std::string::npos);
  }

  DyxPath built;
  EXPECT_TRUE(built.isEmpty());
  built.append("");
  EXPECT_TRUE(built.isEmpty());
  built.append("usr");
  built.append("lib");
  EXPECT_EQ(built.toString(), nativePath("/usr/lib"));
  built.clear();
  EXPECT_TRUE(built.isEmpty());
  EXPECT_EQ(built.toString(), "");

  DyxPath dotted("./a/./b/.");
  dotted.dropDots();
  EXPECT_EQ(dotted.components(), Parts({".", "a", "b"}));
}

TEST(DyxPath, Join) {
  struct Case {
    DyxPath base;
    DyxPath relative;
    const char* form;
    bool empty;
  };
  const Case cases[] = {
      {DyxPath("C:/data"), DyxPath("./sub/x.txt"), "C:/data/sub/x.txt", false},
      {DyxPath("/a"), DyxPath("b/./c"), "/a/b/c", false},
      {DyxPath("/a"), DyxPath(""), "/a", false},
      {DyxPath(""), DyxPath("/b"), "/b", false},
      {DyxPath(""), DyxPath(""), "", true},
      {DyxPath("C:", '\\'), DyxPath("./x"), "C:\\x", false},  // base's separator
  };
  for (const auto& c : cases) {
    const DyxPath joined = DyxPath::join(c.base, c.relative);
    EXPECT_EQ(joined.toString(), nativePath(c.form)) << c.base << " + " << c.relative;
    EXPECT_EQ(joined.isEmpty(), c.empty) << c.base << " + " << c.relative;
  }
}

TEST(DyxPath, OrderIsPartwiseBytewiseWithPrefixFirst) {
  std::map<DyxPath, int> keys;
  const char* texts[] = {"/b", "/a/b", "/a", "/a/\xc3\xa9", "/a/z", "/ab", "/A"};
  for (const char* t : texts) keys[DyxPath(t)] = 0;
  std::vector<std::string> order;
  for (const auto& [path, unused] : keys) order.push_back(path.toString('/'));
  // Part by part: "/a" and its children come before "/ab" although "/a/" > "/ab" as text.
  const std::vector<std::string> expected = {"/A",          "/a",  "/a/b", "/a/z",
                                             "/a/\xc3\xa9", "/ab", "/b"};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(DyxPath("/x/y"), DyxPath("\\x\\y", '\\'));
  EXPECT_NE(DyxPath("/x/y"), DyxPath("./x/y"));
}

TEST(DyxPath, StreamReadAndWrite) {
  // Read with the system's separator.
  std::istringstream in(nativePath("\"/opt/my dir/./x\" ./a/./b word"));
  DyxPath first;
  DyxPath second;
  DyxPath third;
  in >> first >> second >> third;
  EXPECT_EQ(first.components(), Parts({"opt", "my dir", "x"}));
  EXPECT_EQ(second.components(), Parts({".", "a", "b"}));
  // Read with the path's own separator given explicitly, so a bare word is not marked ".".
  EXPECT_EQ(third.components(), Parts({"word"}));
  std::ostringstream out;
  out << first;
  EXPECT_EQ(out.str(), nativePath("/opt/my dir/x"));
}

TEST(DyxPath, NativeSeparatorsAndDrives) {
  // Either separator becomes the system's.
  EXPECT_EQ(toNativeSeparators("conf\\views\\a.kx"), nativePath("conf/views/a.kx"));
  EXPECT_EQ(toNativeSeparators("./conf/pref.ini"), nativePath("./conf/pref.ini"));
  const std::pair<const char*, bool> drives[] = {{"C:", true},  {"Z:", true},   {"c:", false},
                                                 {"C", false},  {"C:/", false}, {"@:", false},
                                                 {"[:", false}, {"", false}};
  for (const auto& [text, drive] : drives) EXPECT_EQ(isDrive(text), drive) << text;
}

// Random and truncated bytes: parsing never leaves an empty part or one holding the
// separator, and the text form reads back to the same parts.
TEST(DyxPath, FuzzParseKeepsInvariants) {
  std::mt19937 rng(7);
  static const char kAlphabet[] = "/\\.:Cc a\0\xff?";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  const std::string seeds[] = {"C:/data/a.txt", "//server/share/", "../x", "./a/./b"};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int rounds = 0;
  for (; rounds < 20000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    std::string text;
    if (rounds % 4 == 0) {
      const std::string& seed = seeds[rng() % 4];
      text = seed.substr(0, rng() % (seed.size() + 1));
    } else {
      const std::size_t length = rng() % 20;
      for (std::size_t k = 0; k < length; ++k) {
        text += rng() % 5 == 0 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
      }
    }
    const char separator = rng() % 3 == 0 ? '\\' : 0;
    const DyxPath path(text, separator);
    for (const std::string& p : path.components()) {
      ASSERT_FALSE(p.empty()) << text;
      ASSERT_EQ(p.find(path.separator()), std::string::npos) << text;
    }
    ASSERT_EQ(path.isEmpty(), text.empty()) << text;
    const bool loneDotDot = path.count() == 1 && path.part(0) == "..";
    if (separator == 0 && !loneDotDot) {
      ASSERT_EQ(DyxPath(path.toString()).components(), path.components()) << text;
    }
    (void)path.extension();
    (void)path.baseName();
    (void)path.parent();
  }
  EXPECT_GT(rounds, 1000);
}

}  // namespace
