// Faults that the fuzz targets (tests/fuzz) found, each kept here as the smallest input that
// showed it, so that they stay mended in every build.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dyxcore/filter.h"
#include "dyxcore/path.h"
#include "dyxcore/propman.h"
#include "support/testutil.h"

namespace {

// Property keys that the name rules accept but that hold bytes the plain line form cannot carry
// (white space other than the blank, a line end, a zero byte, a leading quote) came back from a
// save as other keys and values.
TEST(FuzzRegression, PropertyKeysWithAwkwardBytesSurviveASave) {
  quarrytest::TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  const std::vector<std::string> keys = {"k\fx", "k\vx",     "k\nx", "k\rx",
                                         "\"k",  "k\"x",     "ok",   std::string("k\0x", 3),
                                         "#k",   "k\x7f\x01"};
  DyxEntryProperty store;
  DyxPropertyRecord* record = store.getRecord("/f", true);
  ASSERT_NE(record, nullptr);
  for (const std::string& key : keys) record->setValue(key, "v " + key);
  ASSERT_TRUE(store.save("regression"));

  DyxEntryProperty again;
  ASSERT_TRUE(again.load("regression"));
  const DyxPropertyRecord* back = again.getRecord("/f", false);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->properties().size(), record->properties().size());
  for (const std::string& key : keys) {
    const std::string* value = back->getValue(key);
    ASSERT_NE(value, nullptr) << "key of " << key.size() << " bytes: " << key;
    EXPECT_EQ(*value, "v " + key);
  }
}

// A rooted path whose first part was "." or ".." printed without its root, so a path map read it
// back as a relative directory after a save.
TEST(FuzzRegression, RootedPathsWithDotPartsKeepTheirRoot) {
  const struct {
    const char* text;
    const char* printed;
  } cases[] = {{"/..", "/"}, {"/../x", "/x"}, {"/.", "/"}, {"/./a", "/a"}, {"//..", "/"}};
  for (const auto& c : cases) {
    const DyxPath path(c.text);
    EXPECT_EQ(path.toString(), quarrytest::nativePath(c.printed)) << c.text;
    EXPECT_TRUE(DyxPath(path.toString()) == path) << c.text;
  }
}

// A criterion value holding a parenthesis did not survive printing and parsing again, which is
// what a filter view does to its folders' filters at every save and reload: the condition after
// it was lost, or one more "(" was added each time.
TEST(FuzzRegression, PrintedCriterionWithParenthesesInValuesParsesBackToItself) {
  for (const char* text :
       {"$Name = \"x\" or $Ext = \"a(b\"", "$Name = \"a(b\" or $Ext = c", "$Name = a(b or $Ext = c",
        "$Name = \"a)b\" and not $Ext = \"(\"", "$Name = \"a(b\" or $Ext = c or $Ext = d"}) {
    const std::string printed = DyxFilter(text).toString();
    EXPECT_EQ(DyxFilter(printed).toString(), printed) << text;
    EXPECT_NE(printed, "false") << text;
  }
  // The first one keeps both conditions.
  const std::string both = DyxFilter("$Name = \"x\" or $Ext = \"a(b\"").toString();
  EXPECT_NE(both.find("a(b"), std::string::npos) << both;
}

// A value holding a backslash-quote pair ended the printed value early, so the group's ")" was
// taken for part of a value and one more "(" was added at each print and parse; a property named
// like a keyword printed as that keyword ("not <= ..." read back as a negation, hence true).
TEST(FuzzRegression, PrintedCriterionWithQuotesInValuesOrKeywordNamesParsesBackToItself) {
  const struct {
    const char* text;
    const char* printed;
  } cases[] = {
      {"$Name = \"re\\\"u\" or $Ext = c", "($Name = \\\"re\\x22u\\\" or $Ext = \\\"c\\\")"},
      {"$Name = \"\\\"(\" or $Ext = c", "($Name = \\\"\\x22(\\\" or $Ext = \\\"c\\\")"},
      {"$Name = \"a\\\")b\" or $Ext = c", "($Name = \\\"a\\x22)b\\\" or $Ext = \\\"c\\\")"},
      {"$Name = \"\\\"x\\\"y\" xor $Ext = c",
       "($Name = \\\"\\x22x\\x22y\\\" xor $Ext = \\\"c\\\")"},
      {"not<=!", "not<= \\\"!\\\""},
      {"not[=X", "not[= \\\"X\\\""},
      {"$Ext = a and or=b", "$Ext = \\\"a\\\" and or= \\\"b\\\""},
      {"$Ext = a and xor<b", "$Ext = \\\"a\\\" and xor< \\\"b\\\""},
      {"$Ext = a or and = b", "($Ext = \\\"a\\\" or and= \\\"b\\\")"},
      {"not not=1", " not not= \\\"1\\\""},
      {"nots = 1", "nots = \\\"1\\\""},
  };
  for (const auto& c : cases) {
    const std::string printed = DyxFilter(c.text).toString();
    EXPECT_EQ(printed, c.printed) << c.text;
    std::string again = printed;
    for (int round = 0; round < 3; ++round) again = DyxFilter(again).toString();
    EXPECT_EQ(again, printed) << c.text;
  }
}

// A value that spells "<undef>" once its quotes are read (the word itself turns a whole criterion
// into the false constant) printed that word, so the printed criterion read back as false.
TEST(FuzzRegression, ValueSpellingUndefPrintsSoThatItReadsBack) {
  for (const char* text :
       {"me = \"a <undef\">", "$Name = \"<undef\">x or $Ext = b", "$Name = \\\"\\x3cundef>\\\""}) {
    const DyxFilter filter(text);
    const std::string printed = filter.toString();
    EXPECT_EQ(printed.find("<undef>"), std::string::npos) << text << " printed as " << printed;
    const DyxFilter again(printed);
    EXPECT_EQ(again.toString(), printed) << text;
    EXPECT_TRUE(again.getMessages().empty()) << text;
  }
}

// A chain of "or" (or "xor") nodes deep enough to parse printed each node in a group of its own,
// and the groups counted as two levels each: the printed criterion read back as "nested too
// deeply", so the false constant.
TEST(FuzzRegression, DeepChainsReadBackFromTheirPrintedForm) {
  for (const char* word : {" or ", " xor ", " and "}) {
    for (const int count : {100, 200, 250}) {
      std::string text;
      for (int i = 0; i < count; ++i) text += "$Name = a" + std::to_string(i) + word;
      text += "$Ext = b";
      const DyxFilter filter(text);
      ASSERT_TRUE(filter.getMessages().empty()) << word << count;
      const DyxFilter again(filter.toString());
      EXPECT_EQ(again.toString(), filter.toString()) << word << count;
      EXPECT_TRUE(again.getMessages().empty()) << word << count;
    }
  }
}

}  // namespace
