#include "kxcore/value.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kxcore/io.h"
#include "support/testutil.h"

namespace {

// Captures kxerr (which shares kxout) for the messages of the token reader.
class ValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KXIO::shutdown();
    KXIO::setAllEnabled(true);
    kxerr.setTargetStream(m_err);
  }
  void TearDown() override { KXIO::shutdown(); }

  int messages(const std::string& text) const {
    int count = 0;
    const std::string all = m_err.str();
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  std::ostringstream m_err;
};

// Reads tokens until the stream fails. Every read must use up input, so the loop is bounded by
// the input's size; a reader that stalls fails the test instead of hanging it.
std::vector<std::string> readAll(const std::string& input) {
  std::istringstream in(input);
  std::vector<std::string> tokens;
  for (size_t round = 0; round <= input.size() + 1; ++round) {
    KxValue value;
    if (!(in >> value)) {
      EXPECT_TRUE(value.empty());
      return tokens;
    }
    tokens.push_back(value.text());
  }
  ADD_FAILURE() << "the reader does not advance on: " << input.substr(0, 80);
  return tokens;
}

using Tokens = std::vector<std::string>;

TEST_F(ValueTest, TokenReader) {
  const std::string quoted253 = "\"" + std::string(253, 'q') + "\"";
  const std::string quoted254 = "\"" + std::string(254, 'q') + "\"";
  const std::string words = [] {
    std::string line;
    for (int i = 0; i < 200; ++i) line += "w" + std::to_string(i) + " ";
    return line;
  }();
  struct Case {
    const char* label;
    std::string input;
    Tokens expected;
    int missingQuote;  // "Missing ending quote" messages expected
  };
  const Case cases[] = {
      {"record", "Name = \"two words\"\n", {"Name", "=", "two words"}, 0},
      {"backslash quote kept", R"("a\"b" z)", {R"(a\"b)", "z"}, 0},
      {"empty quotes consumed", "\"\" x", {"", "x"}, 0},
      {"tokens on later lines", "  a\n\n\t b\r\nc", {"a", "b", "c"}, 0},
      {"quote inside a word", "ab\"cd ef", {"ab\"cd", "ef"}, 0},
      {"backslash at the end", "\"C:\\data\\\" next", {}, 1},
      {"unterminated", "\"abc def\nnext", {"", "abc", "def", "next"}, 1},
      {"unterminated at end of input", "\"abc", {"", "abc"}, 1},
      {"lone quote", "\"", {""}, 1},
      {"closing quote at index 254", quoted253 + " z", {std::string(253, 'q'), "z"}, 0},
      {"closing quote at index 255", quoted254, {}, 1},
      {"long line of bare words", words, {}, 0},
      {"NUL ends a word", std::string("ab\0cd ef", 8), {"ab", "cd", "ef"}, 0},
      {"NUL inside quotes", std::string("\"ab\0cd\" x", 9), {"", "ab", "cd\"", "x"}, 1},
      {"only blanks", " \n\t ", {}, 0},
      {"empty", "", {}, 0},
  };
  for (const Case& c : cases) {
    m_err.str("");
    Tokens got = readAll(c.input);
    if (std::string(c.label) == "backslash at the end") {
      // The quote before the blank is escaped, so nothing closes; the words follow.
      EXPECT_EQ(got, (Tokens{"", "C:\\data\\\"", "next"})) << c.label;
    } else if (std::string(c.label) == "closing quote at index 255") {
      ASSERT_GE(got.size(), 1u) << c.label;
      EXPECT_EQ(got[0], "") << c.label;
    } else if (std::string(c.label) == "long line of bare words") {
      ASSERT_EQ(got.size(), 200u) << c.label;
      EXPECT_EQ(got.back(), "w199");
    } else {
      EXPECT_EQ(got, c.expected) << c.label;
    }
    EXPECT_EQ(messages("Missing ending quote in line: "), c.missingQuote) << c.label;
  }
}

TEST_F(ValueTest, QuoteClosedOnlyAfterCharacter255) {
  // 300 characters: a quote, 260 letters, the closing quote, then more text.
  std::string line = "\"" + std::string(260, 'x') + "\"" + std::string(38, 'y');
  ASSERT_EQ(line.size(), 300u);
  std::istringstream in(line + "\nnext");
  KxValue value("stale");
  ASSERT_TRUE(in >> value);
  EXPECT_EQ(value.text(), "");
  const std::string expected = "] Missing ending quote in line: " + line.substr(0, 255) + "\n";
  EXPECT_NE(m_err.str().find(expected), std::string::npos) << m_err.str();
  // Reading goes on just after the opening quote (here a word too long to keep whole), and the
  // next line is not lost.
  ASSERT_TRUE(in >> value);
  EXPECT_EQ(value.text(), std::string(kKxTokenWordLimit, 'x'));
  ASSERT_TRUE(in >> value);
  EXPECT_EQ(value.text(), "next");
  EXPECT_FALSE(in >> value);
}

TEST_F(ValueTest, OverlongWordIsCutAndTheRestSkipped) {
  std::istringstream in(std::string(300, 'w') + " after");
  KxValue value;
  ASSERT_TRUE(in >> value);
  EXPECT_EQ(value.text(), std::string(kKxTokenWordLimit, 'w'));
  EXPECT_EQ(messages("Word longer than 259 characters cut: "), 1) << m_err.str();
  ASSERT_TRUE(in >> value);
  EXPECT_EQ(value.text(), "after");
}

TEST_F(ValueTest, FileStreamReadsOnAfterAMissingQuote) {
  // Configuration files are file streams: the step back after the opening quote must work there.
  quarrytest::TempDir dir;
  const std::string path = dir / "pref.ini";
  quarrytest::writeFile(path, "Key = \"open value\nNext = \"v\"\n");
  std::ifstream in(path);
  Tokens got;
  for (KxValue value; in >> value;) got.push_back(value.text());
  EXPECT_EQ(got, (Tokens{"Key", "=", "", "open", "value", "Next", "=", "v"}));
  EXPECT_EQ(messages("Missing ending quote in line: \"open value\n"), 1) << m_err.str();
}

TEST_F(ValueTest, RecordValueLosesOnlyTheRestOfABrokenLine) {
  using Records = std::vector<std::pair<std::string, std::string>>;
  const std::pair<const char*, Records> cases[] = {
      {"A \"x y\" B z\n", {{"A", "x y"}, {"B", "z"}}},
      {"P \"C:\\data\\\" tail words\nQ v\n", {{"P", ""}, {"Q", "v"}}},
      {"R \"\"\nS t", {{"R", ""}, {"S", "t"}}},
      {"U \"open", {{"U", ""}}},
  };
  quarrytest::TempDir dir;
  for (const auto& [text, expected] : cases) {
    const std::string path = dir / "records.ini";
    quarrytest::writeFile(path, text);
    std::ifstream in(path);
    Records got;
    for (KxValue name; in >> name;) got.emplace_back(name.text(), kxReadRecordValue(in).text());
    EXPECT_EQ(got, expected) << text;
  }
}

TEST_F(ValueTest, LastWordAtEndOfInputIsDelivered) {
  std::istringstream in("a b");
  KxValue value;
  ASSERT_TRUE(in >> value);
  ASSERT_TRUE(in >> value);
  EXPECT_EQ(value.text(), "b");
  EXPECT_TRUE(in.eof());
  EXPECT_FALSE(in >> value);
  EXPECT_EQ(value.text(), "");
}

TEST_F(ValueTest, RandomAndTruncatedInputNeverStallsOrOverruns) {
  const std::string config =
      "TraceLevel = \"DEBUG\"\nName = \"a \\\"b\\\" c\"\n\"unclosed = 3\nPath \"C:\\data\\\"\n" +
      std::string(300, 'x') + " \"" + std::string(280, 'y') + "\"\n";
  // Every prefix of a realistic file: input that ends anywhere inside a token.
  for (size_t cut = 0; cut <= config.size(); ++cut) {
    for (const std::string& token : readAll(config.substr(0, cut))) {
      ASSERT_LE(token.size(), static_cast<size_t>(kKxTokenWordLimit)) << "cut " << cut;
    }
  }
  // Random bytes, weighted towards the characters the reader treats specially.
  std::mt19937 random(20261207);
  const std::string special = std::string("\"\\ \n\t\r\0ab=", 11);
  for (int round = 0; round < 1500; ++round) {
    std::string input(random() % 700, '\0');
    for (char& ch : input) {
      ch = random() % 3 == 0 ? static_cast<char>(random() % 256)
                             : special[random() % special.size()];
    }
    for (const std::string& token : readAll(input)) {
      ASSERT_LE(token.size(), static_cast<size_t>(kKxTokenWordLimit)) << "round " << round;
    }
  }
}

TEST(KxValueConversions, ToBool) {
  const std::pair<const char*, bool> table[] = {{"true", true},   {"TRUE", true},  {"True", false},
                                                {"", false},      {"1", false},    {" true", false},
                                                {"truex", false}, {"false", false}};
  for (const auto& [text, expected] : table) EXPECT_EQ(KxValue(text).toBool(), expected) << text;
}

TEST(KxValueConversions, ToInt) {
  const std::pair<const char*, int> table[] = {{"42", 42},
                                               {"  -7x", -7},
                                               {"\t+3", 3},
                                               {"abc", 0},
                                               {"", 0},
                                               {"-", 0},
                                               {"12 34", 12},
                                               {"2147483647", INT_MAX},
                                               {"2147483648", INT_MAX},
                                               {"-2147483648", INT_MIN},
                                               {"-99999999999999999999", INT_MIN},
                                               {"007", 7}};
  for (const auto& [text, expected] : table) EXPECT_EQ(KxValue(text).toInt(), expected) << text;
}

TEST(KxValueConversions, FromBoolAndInt) {
  EXPECT_EQ(KxValue(true).text(), "true");
  EXPECT_EQ(KxValue(false).text(), "false");
  EXPECT_EQ(KxValue(-12).text(), "-12");
  EXPECT_TRUE(KxValue(KxValue(true).text()).toBool());
}

TEST(KxErrorNames, Table) {
  const std::pair<int, const char*> table[] = {
      {0, "UNKNOWN"},          {1, "CYCLIC_REF"},         {10, "BAD_ID"},
      {11, "BAD_KEY"},         {12, "BAD_DATA"},          {13, "BAD_PARAM"},
      {100, "NO_IMPL"},        {101, "NULL_REF"},         {200, "SYSTEM_ERROR"},
      {300, "SEMANTIC_ERROR"}, {400, "REPOSITORY_ERROR"}, {7, "UNKNOWN"},
      {-1, "UNKNOWN"}};
  for (const auto& [code, name] : table) EXPECT_STREQ(kxErrorName(code), name) << code;
}

TEST_F(ValueTest, ThrowIsAnnouncedFirst) {
  const int line = __LINE__ + 2;
  try {
    KX_THROW(KxError::kBadKey);
  } catch (const KxException& e) {
    EXPECT_EQ(e.code(), KxError::kBadKey);
    EXPECT_STREQ(e.what(), "BAD_KEY");
    EXPECT_EQ(m_err.str(),
              std::string("[") + __FILE__ + "," + std::to_string(line) + "] [THROW] [BAD_KEY]\n");
    return;
  }
  ADD_FAILURE() << "no exception";
}

}  // namespace
