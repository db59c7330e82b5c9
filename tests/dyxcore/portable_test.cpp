#include "dyxcore/portable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>

#include "kxcore/io.h"
#include "kxcore/tracecapture.h"

namespace {

using quarrytest::TraceCapture;

struct MatchCase {
  const char* pattern;
  const char* subject;
  bool matches;
};

TEST(DyxPattern, WildcardMatchesWholeTextWithoutBacktracking) {
  const MatchCase cases[] = {
      {"*.txt", "a.txt", true},
      {"*.txt", ".txt", true},
      {"*.txt", "a.txt.txt", false},  // the many-any node stops at the first ".txt"
      {"*.txt", "a.txt.bak", false},
      {"*.txt", "atxt", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a?c", "abcd", false},
      {"*", "", true},
      {"*", "anything at all", true},
      {"", "", true},
      {"", "x", true},
      {"ab*", "ab", true},
      {"ab*", "abc", true},
      {"ab*", "xab", false},
      {"*?", "", true},  // the "." from "?" joins the ".*" run
      {"*?", "abc", true},
      {"?", "", false},
      {"??", "ab", true},
      {"??", "a", false},
      {"a.b", "a.b", true},
      {"a.b", "axb", false},  // a dot of the wildcard is a literal dot
      {"*.fpm", "home.fpm", true},
      {"*.kx", "view.kx.old", false},
      {"a*c", "abbbc", true},
      {"a*c", "abcbc", false},    // stops at the first "c"
      {"a^b", "anything", true},  // the misplaced "^" empties the pattern
      {"a$b", "ab", true},        // the misplaced "$" is ignored
      {"a$b", "a$b", false},
      {"abc\\", "abc$", true},  // the backslash escapes the closing "$"
      {"abc\\", "abc", false},
      {"a\\b", "ab", true},  // a backslash before an ordinary character is dropped
      {"a\\b", "a\\b", false},
      // Two escaped characters after a star: the stop text is ".tar.gz", not ".tar\".
      {"*.tar.gz", "a.tar.gz", true},
      {"*.tar.gz", "a.tar.x.tar.gz", true},
      {"*.tar.gz", ".tar.gz", true},
      {"*.tar.gz", "a.tar.gz.tar.gz", false},
      {"*.tar.gz", "a.tar.gzip", false},
      {"x*.a.b.c", "x1.a.b.c", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DyxPattern(c.pattern).match(c.subject), c.matches)
        << "pattern '" << c.pattern << "' subject '" << c.subject << "'";
  }
}

TEST(DyxPattern, CompilesToTheExpectedNodes) {
  const std::pair<const char*, const char*> cases[] = {
      {"*.txt", "many any until '.txt', one any, =(txt)"},
      {"*.tar.gz", "many any until '.tar.gz', one any, =(tar.gz)"},
      {"a?c", "=(a), one any, =(c)"},
      {"*", "many any until ''"},
      {"", ""},
      {"ab*", "=(ab), many any until ''"},
      {"*?", "many any until ''"},
      {"*?*x", "many any until 'x', =(x)"},
      {"a$b", "=(a), =(b)"},
      {"abc\\", "=(abc$)"},
      {"a\\b", "=(ab)"},
      {"a^b", ""},
      // A stray "*" after an escaped character compiles (as a literal star) and terminates.
      {"a\\*", "=(a.), =(*)"},
      {"*\\*", "many any until '.', many any until ''"},
  };
  for (const auto& [pattern, nodes] : cases) {
    EXPECT_EQ(DyxPattern(pattern).describe(), nodes) << "pattern '" << pattern << "'";
  }
}

TEST(DyxPattern, DialectModeAndCompileResults) {
  DyxPatternNodeList list;
  EXPECT_EQ(dyxPatternCompile(nullptr, "abc"), kDyxPatternMissingArgument);
  EXPECT_EQ(dyxPatternCompile(&list, static_cast<const char*>(nullptr)),
            kDyxPatternMissingArgument);
  {
    TraceCapture err;
    EXPECT_EQ(dyxPatternCompile(&list, "^a^b"), kDyxPatternBadCaret);
    EXPECT_EQ(err.count("Bad RE \"^a^b\": Bad ^ location."), 1) << err.text();
  }
  dyxPatternFree(list);
  EXPECT_TRUE(list.empty());

  // Dialect text is taken as it stands: "." is any character, ".*" a run.
  EXPECT_TRUE(DyxPattern("a.c", false).match("axc"));
  EXPECT_FALSE(DyxPattern("^a.c$", false).match("ac"));
  // A lone backslash at the very end of dialect text is a literal backslash.
  EXPECT_TRUE(DyxPattern("ab\\", false).match("ab\\"));
  // The free match of an empty list follows the algorithm; the pattern accepts everything.
  EXPECT_EQ(dyxPatternMatch(list, ""), 0);
  EXPECT_EQ(dyxPatternMatch(list, "x"), 1);
  EXPECT_TRUE(DyxPattern().match("x"));
}

TEST(DyxPattern, ReportsMisplacedAnchorsAndLonelyBackslash) {
  struct Case {
    const char* text;
    bool wildcard;
    const char* message;
  };
  const Case cases[] = {
      {"a^b", true, "Bad RE \"^a^b$\": Bad ^ location."},
      {"a$b", true, "Bad RE \"^a$b$\": Bad $ location."},
      {"^.*\\", false, "Lonely \\ character in: ^.*\\ expression."},
  };
  for (const auto& c : cases) {
    TraceCapture err;
    DyxPattern pattern(c.text, c.wildcard);
    EXPECT_EQ(err.count(c.message), 1) << c.text << ": " << err.text();
  }
  // The lonely backslash leaves the many-any node without a stop text.
  EXPECT_EQ(DyxPattern("^.*\\", false).describe(), "many any until '', =(\\)");
}

TEST(DyxPattern, CopiesAreDeepAndSelfAssignmentKeepsNodes) {
  DyxPattern original("*.tar.gz");
  DyxPattern copy(original);
  ASSERT_EQ(copy.describe(), original.describe());
  ASSERT_EQ(copy.nodes().size(), original.nodes().size());
  for (std::size_t k = 0; k < copy.nodes().size(); ++k) {
    EXPECT_NE(copy.nodes()[k].get(), original.nodes()[k].get());
  }
  DyxPattern assigned("x");
  assigned = original;
  EXPECT_TRUE(assigned.match("b.tar.gz"));
  EXPECT_FALSE(assigned.match("x"));
  DyxPattern& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.describe(), original.describe());
  original = DyxPattern("y");  // the copies keep their own nodes
  EXPECT_TRUE(copy.match("c.tar.gz"));
}

TEST(TextHelpers, TrimLowerQuote) {
  const std::pair<const char*, const char*> trims[] = {
      {"", ""}, {" \t ", ""}, {"  a b\t", "a b"}, {"\ta", "a"}, {"a\n", "a\n"}};
  for (const auto& [in, out] : trims) EXPECT_EQ(trim(in), out) << "'" << in << "'";
  EXPECT_EQ(toLower("AbC-Z\xC3\x89@[`"), "abc-z\xC3\x89@[`");  // ASCII letters only
  EXPECT_EQ(quote("a\"b"), "\"a\"b\"");
}

TEST(TextHelpers, UnquoteRemovesOnePairAtMost) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},           {"\"", ""},         {"\"\"", ""},
      {"\\\"", ""},  // a backslash and a quote
      {"\"a\"", "a"},     {"\"a", "a"},       {"a\"", "a"},
      {"\\\"a\\\"", "a"}, {"\"a\\\"", "a"},   {"\"\"a\"\"", "\"a\""},
      {"a\"b", "a\"b"},   {"plain", "plain"}, {"\"\\\"", ""},
      {"\\\"x", "x"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(unquote(in), out) << "'" << in << "'";
}

TEST(TextHelpers, ReplaceAllNeverRescans) {
  struct Case {
    const char* text;
    const char* from;
    const char* to;
    const char* result;
  };
  const Case cases[] = {
      {"aaa", "a", "aa", "aaaaaa"},
      {"abab", "ab", "b", "bb"},
      {"x.y.z", ".", "\\.", "x\\.y\\.z"},
      {"abc", "", "X", "abc"},
      {"", "a", "b", ""},
      {"%SystemRoot%\\x %SystemRoot%", "%SystemRoot%", "/usr", "/usr\\x /usr"},
      {"aaaa", "aa", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replaceAll(c.text, c.from, c.to), c.result) << c.text << " " << c.from;
  }
}

TEST(TextHelpers, IsValidName) {
  const std::pair<std::string, bool> cases[] = {
      {"", false},
      {"Size", true},
      {std::string(30, 'a'), true},
      {std::string(31, 'a'), false},
      {"a b", false},
      {"a\tb", false},
      {"a/b", false},
      {"a\\b", false},
      {"a.b", false},
      {"a*", false},
      {"a?", false},
      {"a>", false},
      {"<a", false},
      {"a-b_c[1]", true},
  };
  for (const auto& [name, valid] : cases) EXPECT_EQ(isValidName(name), valid) << "'" << name << "'";
}

TEST(TextHelpers, NumberTexts) {
  EXPECT_EQ(intToString(0), "0");
  EXPECT_EQ(intToString(-42), "-42");
  EXPECT_EQ(intToString(5368709120LL), "5368709120");
  EXPECT_EQ(doubleToString(1.5), "1.5");
  EXPECT_EQ(doubleToString(1.0), "1");
  EXPECT_EQ(doubleToString(1.430511474609375), "1.43051");
  EXPECT_EQ(doubleToString(1234567.0), "1.23457e+06");
}

TEST(TextHelpers, SplitWithAndWithoutQuotes) {
  using Pieces = std::map<int, std::string>;
  struct Case {
    std::string text;
    char delimiter;
    char quoteChar;
    Pieces pieces;
  };
  const Case cases[] = {
      {"a b  c ", ' ', '\0', {{0, "a"}, {1, "b"}, {2, "c"}}},
      {"", ' ', '\0', {}},
      {"   ", ' ', '"', {}},
      {"a|b", '|', '\0', {{0, "a"}, {1, "b"}}},
      {"\"/opt/my app\" %L", ' ', '"', {{0, "\"/opt/my app\""}, {1, "%L"}}},
      {"ab\"c d\"e f", ' ', '"', {{0, "ab\"c d\""}, {1, "e"}, {2, "f"}}},
      {"x \"unterminated y z", ' ', '"', {{0, "x"}}},  // the rest is dropped
      {"x \"a b\"", ' ', '\0', {{0, "x"}, {1, "\"a"}, {2, "b\""}}},
      {"\"\" y", ' ', '"', {{0, "\"\""}, {1, "y"}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(split(c.text, c.delimiter, c.quoteChar), c.pieces) << c.text;
}

TEST(TextHelpers, SizeTextsAre64BitAndReadBack) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0 oct."},
      {1023, "1023 oct."},
      {1024, "1 Ko"},
      {1536, "1.5 Ko"},
      {1048575, "1024 Ko"},
      {1048576, "1 Mo"},
      {5LL << 30, "5120 Mo"},  // 5 GiB, not a wrapped 32-bit number
      {3LL << 40, "3.14573e+06 Mo"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(formatSize(bytes), text) << bytes;
  }
  const std::pair<const char*, double> parses[] = {
      {"1023 oct.", 1023},
      {"1.5 Ko", 1536},
      {"1 Mo", 1048576},
      {"5120 Mo", 5368709120},
      {"  +2 Ko", 2048},
      {"7", 7},
      {"", 0},
      {"Ko", 0},
      {"3 ko", 3},
      {"1e3 Ko", 1024000},
      {"inf Mo", 0},
      {"2 Mo trailing", 2097152},
  };
  for (const auto& [text, value] : parses) EXPECT_DOUBLE_EQ(parseSize(text), value) << text;
  // Round trip to the precision of the text.
  for (std::int64_t bytes : {0LL, 999LL, 4096LL, 123456789LL, 10LL << 30}) {
    const double back = parseSize(formatSize(bytes));
    EXPECT_NEAR(back, static_cast<double>(bytes), static_cast<double>(bytes) * 1e-5) << bytes;
  }
}

// Random and truncated bytes must compile in bounded time, in both modes, and matching them
// must stay inside the subject.
TEST(DyxPattern, FuzzCompileAndMatchTerminate) {
  std::mt19937 rng(20261207);
  static const char kAlphabet[] = ".*?^$\\ab\"\0\xff/";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  std::vector<std::string> seeds = {"*.txt", "*.tar.gz", "a?c",    "abc\\",    "a\\b",
                                    "^.*\\", "a$b",      "**..??", "\\*\\.\\^"};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int rounds = 0;
  for (; rounds < 20000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    std::string text;
    if (rounds % 3 == 0) {
      const std::string& seed = seeds[rng() % seeds.size()];
      text = seed.substr(0, rng() % (seed.size() + 1));
    } else {
      const std::size_t length = rng() % 24;
      for (std::size_t k = 0; k < length; ++k) {
        text += rng() % 4 == 0 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
      }
    }
    const DyxPattern wild(text, true);
    const DyxPattern dialect(text, false);
    std::string subject;
    const std::size_t length = rng() % 16;
    for (std::size_t k = 0; k < length; ++k) subject += alphabet[rng() % alphabet.size()];
    (void)wild.match(subject);
    (void)dialect.match(subject);
    (void)wild.match(text);
    DyxPatternNodeList list;
    (void)dyxPatternCompile(&list, text.c_str());
  }
  EXPECT_GT(rounds, 1000);
}

}  // namespace

namespace {

// Elements stay where they are while the array grows past many blocks, and a clear empties it.
TEST(BlockVectorTest, ElementsNeverMoveAsTheArrayGrows) {
  DyxBlockVector<std::string, 2> texts;  // blocks of four
  texts.push_back("first");
  const std::string* first = &texts[0];
  for (int i = 1; i < 50; ++i) texts.push_back(std::to_string(i));
  ASSERT_EQ(texts.size(), 50u);
  EXPECT_EQ(first, &texts[0]);
  EXPECT_EQ(*first, "first");
  EXPECT_EQ(texts[4], "4");
  EXPECT_EQ(texts[49], "49");
  texts.clear();
  EXPECT_TRUE(texts.empty());
  texts.push_back("again");
  EXPECT_EQ(texts[0], "again");
}

}  // namespace
