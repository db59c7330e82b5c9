// Criterion parsing, text forms, ownership and evaluation of filters.
#include "dyxcore/filter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/propman.h"
#include "dyxcore/typeman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

// Counts allocations made through operator new, to prove that the hot path of evaluation makes
// none.
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using quarrytest::TraceCapture;

std::string parsed(const std::string& criterion) { return DyxFilterparse(criterion)->toString(); }

// ---------------------------------------------------------------------------------------------
// Parsing: the text form of the tree and the messages written on the way.

struct ParseCase {
  const char* criterion;
  const char* form;     // toString of the parsed tree
  const char* message;  // a message that must appear ("" for none required)
};

TEST(FilterParse, LanguageEdgeCases) {
  const ParseCase cases[] = {
      {"", "true", "Criterion is empty."},
      {"   ", "true", "Criterion is empty."},
      {"true", "true", ""},
      {"false", "false", "Cannot parse the expression: Returns None"},
      // "or" binds loosest and each operator groups to the right.
      {"$Name=\"a*\" or $Ext=\"txt\" and $Size>10",
       "($Name = \\\"a*\\\" or $Ext = \\\"txt\\\" and $Size > \\\"10\\\")", ""},
      {"$Name = a or $Name = b or $Name = c",
       "($Name = \\\"a\\\" or ($Name = \\\"b\\\" or $Name = \\\"c\\\"))", ""},
      {"$Name = a xor $Name = b and $Name = c",
       "($Name = \\\"a\\\" xor $Name = \\\"b\\\" and $Name = \\\"c\\\")", ""},
      // Folding of the constants.
      {"$Name = \"x\" or true", "true", ""},
      {"true and $Name = \"x\"", "$Name = \\\"x\\\"", ""},
      {"$Name = \"x\" xor true", "($Name = \\\"x\\\" xor true)", ""},
      {"$Name = x and false", "false", "Cannot parse the expression: Returns None"},
      {"false or $Name = x", "$Name = \\\"x\\\"", ""},
      // Operator words need a blank on each side, lower case.
      // Quoted values are one value each, side by side with the text between them.
      {"$Name = \"x\" OR $Ext = \"y\"", "$Name = \\\"x or $ext = y\\\"", ""},
      {"$Name = a\tor $Name = b", "$Name = \\\"a\tor $name = b\\\"", ""},
      {"$Name = \"black or white\"", "$Name = \\\"black or white\\\"", ""},
      {"$Name = \"Tom And Jerry.avi\"", "$Name = \\\"tom and jerry.avi\\\"", ""},
      {"$Name like \"*Rock Or Bust*\" and $Ext = mp3",
       "$Name like \\\"*rock or bust*\\\" and $Ext = \\\"mp3\\\"", ""},
      {"$Name = \"say \\\"hi\\\" \\\\o/\"", "$Name = \\\"say \\x22hi\\x22 \\\\o/\\\"", ""},
      {"$Name = \"abc", "$Name = \\\"abc\\\"", "Missing a closing double quote."},
      {"$Name = \"a\"\"b\" c", "$Name = \\\"ab c\\\"", ""},
      // Groups.
      {"($Name = \"a\" or $Name = \"b\") and $Ext = \"txt\"",
       "($Name = \\\"a\\\" or $Name = \\\"b\\\") and $Ext = \\\"txt\\\"", ""},
      {"$Name = a or $Name = b and ($Name = c) or $Name = d",
       "((($Name = \\\"a\\\" or $Name = \\\"b\\\") and $Name = \\\"c\\\") or $Name = \\\"d\\\")",
       ""},
      {"$Name = a(1) or $Ext = b", "$Ext = \\\"b\\\"", "DyxBuildExpression: Unknown operator: a"},
      // A "(" that nothing closes is reported and dropped.
      {"( $Name = a", "$Name = \\\"a\\\"", "Missing a closing parenthesis."},
      {"($Ext = jpg or $Ext = png", "($Ext = \\\"jpg\\\" or $Ext = \\\"png\\\")",
       "Missing a closing parenthesis."},
      {"$Name = a(b", "$Name = \\\"a b\\\"", "Missing a closing parenthesis."},
      {"(($Name = a))", "$Name = \\\"a\\\"", "left=\"\" ,center=\"($Name = a)\" ,right=\"\""},
      // Negation, only at the start.
      {"not $Name = x", " not $Name = \\\"x\\\"", ""},
      {"not true", "false", ""},
      {"not not $Name = x", " not  not $Name = \\\"x\\\"", ""},
      {"not (a or b)", "false", "DyxBuildExpression: Unknown operator: not"},
      {"$Name = x and not $Ext = y", "$Name = \\\"x\\\" and  not $Ext = \\\"y\\\"", ""},
      // Operators, their order, case and values.
      {"$Name!=x", "$Name != \\\"x\\\"", ""},
      {"$Name<=x", "$Name <= \\\"x\\\"", ""},
      {"$Name >= x", "$Name >= \\\"x\\\"", ""},
      {"$Name < x", "$Name < \\\"x\\\"", ""},
      {"$Name = x>y", "$Name = \\\"x>y\\\"", ""},
      {"$Name [like \"A*\"", "$Name [like \\\"A*\\\"", ""},
      {"$Name like \"A*\"", "$Name like \\\"a*\\\"", ""},
      {"$Name like-cs \"*.TXT\"", "$Name like-cs \\\"*.txt\\\"", ""},
      {"$Content [contains Foo", "$Content [contains \\\"Foo\\\"", ""},
      {"$Name like *[1]*", "false", "Cannot parse the expression: Returns None: $Name like *[1]*"},
      {"$Name like \"*[1]*\"", "$Name like \\\"*[1]*\\\"", ""},
      {"likes like x", "false", "Cannot parse the expression: Returns None"},
      {"my prop = 3", "false", "Cannot parse the expression: Returns None"},
      {"= 3", "false", "Cannot parse the expression: Returns None"},
      {"rating > 3", "rating > \\\"3\\\"", ""},
      {"$Name = \"\"", "$Name = \\\"\\\"", ""},
      {"$Name =", "$Name = \\\"\\\"", ""},
      {"$Name = \\\"abc\\\"", "$Name = \\\"abc\\\"", ""},
      {"a234567890123456789012345678901 = x", "false", ""},
      // A group followed by a lone word: the word is reported and dropped.
      {"(a) or", "false", "Missing an expression after: or"},
      {"($Name = x) or", "$Name = \\\"x\\\"", "Missing an expression after: or"},
      {"$Name = a(1)", "false", "DyxBuildExpression: Unknown operator: a"},
      {"$Name = \"a(1)\"", "$Name = \\\"a(1)\\\"", ""},
      // Names are plain text: no quotes, no parentheses.
      {"\"$Name\" = x", "false", "Cannot parse the expression: Returns None"},
      {"a) = x", "false", "Cannot parse the expression: Returns None"},
  };
  for (const ParseCase& c : cases) {
    TraceCapture trace;
    EXPECT_EQ(parsed(c.criterion), c.form) << "criterion: " << c.criterion;
    if (*c.message != '\0') {
      EXPECT_TRUE(trace.has(c.message)) << "criterion: " << c.criterion << "\n" << trace.text();
    }
  }
}

TEST(FilterParse, TrueIsSilentAndEmptyIsNot) {
  {
    TraceCapture trace;
    EXPECT_TRUE(dyxIsTrueConstant(DyxFilterparse("true").get()));
    EXPECT_FALSE(trace.has("Criterion is empty."));
  }
  TraceCapture trace;
  EXPECT_TRUE(dyxIsTrueConstant(DyxFilterparse(" \t ").get()));
  EXPECT_TRUE(trace.has("Criterion is empty."));
  EXPECT_TRUE(trace.has("criterion_ws=\" \t \""));
}

TEST(FilterParse, ComparisonFields) {
  struct Case {
    const char* criterion;
    const char* op;
    const char* name;
    int id;
    const char* value;
    bool caseSensitive;
  };
  const Case cases[] = {
      {"$Name [= \"ABC\"", "=", "$Name", 1, "ABC", true},
      {"$Name = \"ABC\"", "=", "$Name", 1, "abc", false},
      {"$Ext != TXT", "!=", "$Ext", 2, "txt", false},
      {"$Status [< Normal", "<", "$Status", 13, "Normal", true},
      {"$Type like Image*", "like", "$Type", 11, "image*", false},
      {"$Content contains Foo", "contains", "$Content", 12, "foo", false},
      {"$name = x", "=", "$name", 0, "x", false},    // built-in names are case-sensitive
      {"$Bogus = x", "=", "$Bogus", 0, "x", false},  // unknown: a user property
      {"rating >= 4", ">=", "rating", 0, "4", false},
  };
  for (const Case& c : cases) {
    DyxCriterionPtr node = DyxFilterparse(c.criterion);
    ASSERT_TRUE(node->isComparison()) << c.criterion;
    const auto* comparison = static_cast<const DyxFilterComparison*>(node.get());
    EXPECT_EQ(comparison->getOperator(), c.op) << c.criterion;
    EXPECT_EQ(comparison->getPropertyName(), c.name) << c.criterion;
    EXPECT_EQ(comparison->getPropertyId(), c.id) << c.criterion;
    EXPECT_EQ(comparison->getValue(), c.value) << c.criterion;
    EXPECT_EQ(comparison->isCaseSensitive(), c.caseSensitive) << c.criterion;
    EXPECT_FALSE(comparison->isLogicalOperator()) << c.criterion;
  }
}

TEST(FilterParse, TreeShapeForTheSearchDialog) {
  DyxFilter filter("($Name = \"a\" or $Name = \"b\") and $Ext = \"txt\"");
  const DyxCriterion* root = filter.getRoot();
  ASSERT_TRUE(root->isLogicalOperator());
  EXPECT_TRUE(filter.isLogicalOperator());
  const auto* andNode = static_cast<const DyxFilterLogicalOperator*>(root);
  EXPECT_EQ(andNode->getOperator(), "and");
  ASSERT_TRUE(andNode->getLeft()->isLogicalOperator());
  EXPECT_EQ(static_cast<const DyxFilterLogicalOperator*>(andNode->getLeft())->getOperator(), "or");
  ASSERT_TRUE(andNode->getRight()->isComparison());
  EXPECT_EQ(static_cast<const DyxFilterComparison*>(andNode->getRight())->getValue(), "txt");
}

TEST(FilterParse, TextFormsReadBack) {
  // Comparisons, constants, "or" and "xor" forms read back as they were.
  const char* criteria[] = {
      "$Name [= \"abc\"",
      "$Name like \"*.doc\" or $Ext = txt",
      "($Name = a or $Name = b) xor $Ext = c",
      "$Size > 1000000 or ($Type = image xor rating = 5)",
      "true",
      // Parentheses inside printed values do not group, so a filter view's saved filter keeps
      // every condition.
      "$Name = \"x\" or $Ext = \"a(b\"",
      "$Name = \"a(b\" or $Ext = c",
      "($Name = \\\"a)b\\\" xor ($Ext = \\\"(\\\" or $Ext = \\\"()\\\"))",
      // Nested "and" nodes that groups make: each needs its own parentheses when printed.
      "($Name = a and $Ext = b) and $Size > 3",
      "$Name = x and (($Name = a or $Ext = b) and $Size > 3)",
      "(($Name = a or $Ext = b) and $Size > 3) or $Name = d",
      "$Name = x xor (($Name = a or $Ext = b) and $Size > 3)",
      "((($Name = a and $Ext = b) and $Size > 3) and rating = 1)",
      "not $Name = a and ($Ext = b or $Ext = c) and $Size > 3",
      // Values with quotes, backslashes, line ends, operator words and parentheses.
      "$Name [= \"a\\\"b\\\\\" or $Ext = \"c or (d\"",
      "$Name = \"line\nend\r\" and $Ext = \"\\\\x41\"",
      "$Name = \"\\\\\" or $Name = \"\\\"\"",
  };
  for (const char* criterion : criteria) {
    DyxFilter first(criterion);
    EXPECT_TRUE(first.getMessages().empty()) << criterion;
    const std::string form = first.toString();
    const DyxFilter again(form);
    EXPECT_EQ(again.toString(), form) << criterion;
    EXPECT_TRUE(again.getMessages().empty()) << criterion << " printed as " << form;
  }
  // The tree itself comes back, not only its text: the members of the nested "and" nodes.
  const DyxFilter nested(parsed("($Name = a and $Ext = b) and $Size > 3"));
  const auto* top = dynamic_cast<const DyxFilterAnd*>(nested.getRoot());
  ASSERT_NE(top, nullptr);
  EXPECT_NE(dynamic_cast<const DyxFilterAnd*>(top->getLeft()), nullptr);
  EXPECT_TRUE(top->getRight()->isComparison());
  // A value with a quote, a backslash and a line end is read back byte for byte.
  const DyxFilter quoted(parsed("$Name [= \"a\\\"b\\\\c\nd\""));
  ASSERT_NE(quoted.getRoot(), nullptr);
  ASSERT_TRUE(quoted.getRoot()->isComparison());
  EXPECT_EQ(static_cast<const DyxFilterComparison*>(quoted.getRoot())->getValue(), "a\"b\\c\nd");
  // The documented losses: a negated "and" node reads back as (not a) and b, a negated "or"
  // node as false.
  DyxCriterionPtr notAnd(new DyxFilterNot(DyxFilterparse("$Name = a and $Ext = b")));
  DyxCriterionPtr reread = DyxFilterparse(notAnd->toString());
  EXPECT_EQ(reread->toString(), notAnd->toString());
  EXPECT_FALSE(notAnd->isLogicalOperator());
  EXPECT_TRUE(reread->isLogicalOperator());  // (not a) and b
  DyxCriterionPtr notOr(new DyxFilterNot(DyxFilterparse("$Name = a or $Ext = b")));
  EXPECT_EQ(parsed(notOr->toString()), "false");
}

TEST(FilterParse, EmptyNameComparisonPrintsTwoQuotes) {
  DyxFilterEqual rejected("my name", "x", false);
  EXPECT_FALSE(rejected.isValid());
  EXPECT_EQ(rejected.getValue(), "");
  EXPECT_EQ(rejected.toString(), "\"\"");
  EXPECT_EQ(parsed(rejected.toString()), "false");
}

// ---------------------------------------------------------------------------------------------
// Ownership, copies and the failure messages of construction.

TEST(FilterNodes, ConstantsAreSharedAndNeverDeleted) {
  DyxCriterionPtr t = DyxFilterTrue::instance().clone();
  EXPECT_EQ(t.get(), &DyxFilterTrue::instance());
  t.reset();  // releasing a constant does nothing
  EXPECT_EQ(DyxFilterTrue::instance().toString(), "true");
  EXPECT_EQ(DyxFilterFalse::instance().clone().get(), &DyxFilterFalse::instance());
  dyxReleaseCriterion(nullptr);
  dyxReleaseCriterion(&DyxFilterFalse::instance());
  EXPECT_EQ(DyxFilterFalse::instance().toString(), "false");
}

TEST(FilterNodes, CloneIsDeepAndKeepsThePattern) {
  DyxCriterionPtr tree = DyxFilterparse("not $Name [like \"A*.TXT\" or $Ext = doc xor rating = 3");
  DyxCriterionPtr copy = tree->clone();
  EXPECT_NE(copy.get(), tree.get());
  EXPECT_EQ(copy->toString(), tree->toString());
  tree.reset();  // the copy owns nothing of the original
  EXPECT_FALSE(copy->toString().empty());

  DyxFilterLike like("$Name", "a*.txt", false);
  DyxCriterionPtr likeCopy = like.clone();
  EXPECT_EQ(static_cast<const DyxFilterLike&>(*likeCopy).getPattern().describe(),
            like.getPattern().describe());
}

TEST(FilterNodes, NullMembersAreRefused) {
  {
    TraceCapture trace;
    EXPECT_THROW(DyxFilterNot{DyxCriterionPtr()}, int);
    EXPECT_TRUE(trace.has("DyxFilterNot::DyxFilterNot: The given criterion is null."));
    EXPECT_TRUE(trace.has("Throwing 0 exception."));
  }
  TraceCapture trace;
  DyxFilterOr node(DyxFilterparse("$Name = a"), DyxCriterionPtr());
  EXPECT_TRUE(trace.has("DyxFilterLogicalOperator: one of the member is null."));
  EXPECT_TRUE(dyxIsFalseConstant(node.getLeft()));
  EXPECT_TRUE(dyxIsFalseConstant(node.getRight()));
  EXPECT_EQ(node.toString(), "(false or false)");
}

TEST(FilterNodes, BuildExpressionFoldsAndRefusesUnknownWords) {
  struct Case {
    const char* left;
    const char* word;
    const char* right;
    const char* form;
  };
  const Case cases[] = {
      {"true", "or", "$Name = a", "true"},
      {"$Name = a", "or", "true", "true"},
      {"false", "or", "$Name = a", "$Name = \\\"a\\\""},
      {"$Name = a", "or", "false", "$Name = \\\"a\\\""},
      {"$Name = a", "and", "false", "false"},
      {"true", "and", "$Name = a", "$Name = \\\"a\\\""},
      {"$Name = a", "and", "true", "$Name = \\\"a\\\""},
      {"true", "xor", "false", "(true xor false)"},
      {"$Name = a", "and", "$Ext = b", "$Name = \\\"a\\\" and $Ext = \\\"b\\\""},
      {"$Name = a", "OR", "$Ext = b", "false"},
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    DyxCriterionPtr node =
        DyxBuildExpression(DyxFilterparse(c.left), c.word, DyxFilterparse(c.right));
    EXPECT_EQ(node->toString(), c.form) << c.left << " " << c.word << " " << c.right;
    if (std::string(c.word) == "OR") {
      EXPECT_TRUE(trace.has("DyxBuildExpression: Unknown operator: OR"));
    }
  }
}

TEST(FilterObject, RootlessUndefinedAndCopies) {
  DyxFilter none;
  EXPECT_EQ(none.toString(), "<undef>");
  EXPECT_TRUE(none.isUndefined());
  EXPECT_FALSE(none.isLogicalOperator());
  EXPECT_FALSE(none.isComparison());
  EXPECT_EQ(none.getRoot(), nullptr);
  EXPECT_THROW(none.clone(), int);

  {
    TraceCapture trace;
    DyxFilter undefined(none.toString());
    EXPECT_TRUE(trace.has("Undefined filter."));
    EXPECT_TRUE(undefined.isUndefined());
    EXPECT_EQ(undefined.toString(), "false");
    DyxFilter inside("$Name = a or <undef>");
    EXPECT_TRUE(dyxIsFalseConstant(inside.getRoot()));
  }

  DyxFilter a("$Name = a or $Ext = b");
  DyxFilter b(a);
  EXPECT_NE(b.getRoot(), a.getRoot());
  EXPECT_EQ(b.toString(), a.toString());
  b = b;  // self-assignment keeps the tree
  EXPECT_EQ(b.toString(), a.toString());
  DyxFilter c;
  c = none;
  EXPECT_EQ(c.getRoot(), nullptr);
  c = a;
  a.reset("$Ext = z");
  EXPECT_EQ(c.toString(), "($Name = \\\"a\\\" or $Ext = \\\"b\\\")");
  DyxFilter moved(std::move(c));
  EXPECT_EQ(moved.toString(), "($Name = \\\"a\\\" or $Ext = \\\"b\\\")");
  EXPECT_FALSE(moved.isUndefined());
  EXPECT_FALSE(DyxFilter("true").isUndefined());
}

// ---------------------------------------------------------------------------------------------
// Bad input: bounded time and memory, a usable filter, never a crash.

TEST(FilterBounds, HostileCriteriaParseQuickly) {
  std::vector<std::string> criteria;
  std::string chain;
  for (int i = 0; i < 200000; ++i) chain += "$Name = a or ";
  criteria.push_back(chain + "$Name = b");
  std::string andChain;
  for (int i = 0; i < 200000; ++i) andChain += "$Ext = x and ";
  criteria.push_back(andChain);
  criteria.push_back(std::string(1000, '(') + "$Name = a" + std::string(1000, ')'));
  criteria.push_back(std::string(100000, '('));
  criteria.push_back(std::string(100000, ')'));
  std::string groups;
  for (int i = 0; i < 50000; ++i) groups += "( or ";
  criteria.push_back(groups);
  std::string nots;
  for (int i = 0; i < 100000; ++i) nots += "not ";
  criteria.push_back(nots + "$Name = a");
  criteria.push_back(std::string(2000000, 'x'));
  criteria.push_back(std::string("$Name = a\0b or $Ext = \0", 23));
  criteria.push_back(" or  and  xor  not  = != like [ ] ( ) \" ");
  std::string pairs;
  for (int i = 0; i < 100000; ++i) pairs += "(a) and ";
  criteria.push_back(pairs);

  for (const std::string& criterion : criteria) {
    const auto start = std::chrono::steady_clock::now();
    DyxFilter filter(criterion);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(seconds.count(), 5.0) << criterion.substr(0, 40);
    EXPECT_NE(filter.getRoot(), nullptr);
    (void)filter.toString();
    (void)filter.evaluate(DyxEntry());
    DyxFilter copy(filter);
    (void)copy;
  }
}

TEST(FilterBounds, NestingBeyondTheLimitIsRefusedWithAMessage) {
  auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '(') + "$Name = a" +
           std::string(static_cast<std::size_t>(depth), ')');
  };
  EXPECT_EQ(parsed(nested(100)), "$Name = \\\"a\\\"");
  {
    TraceCapture trace;
    EXPECT_EQ(parsed(nested(1000)), "false");
    EXPECT_TRUE(trace.has("Criterion nested too deeply."));
  }
  std::string chain = "$Name = a";
  for (int i = 0; i < kDyxMaxCriterionNesting - 1; ++i) chain += " or $Name = a";
  EXPECT_NE(parsed(chain), "false");  // the longest chain that fits
  TraceCapture trace;
  EXPECT_EQ(parsed(chain + " or $Name = a or $Name = a"), "false");
  EXPECT_TRUE(trace.has("Criterion nested too deeply."));
}

// Random mixes of words, operators, quotes and parentheses: every result prints, copies,
// evaluates and reads its own text back without a crash.
TEST(FilterBounds, RandomCriteriaNeverCrash) {
  static const char* const kTokens[] = {"$Name",
                                        "$Ext",
                                        "$Size",
                                        "$Type",
                                        "$Content",
                                        "rating",
                                        "$Bogus",
                                        "=",
                                        "!=",
                                        "<",
                                        "<=",
                                        ">",
                                        ">=",
                                        "like",
                                        "like-cs",
                                        "contains",
                                        "[",
                                        "]",
                                        "(",
                                        ")",
                                        "\"",
                                        "\\",
                                        "\\\"",
                                        " or ",
                                        " and ",
                                        " xor ",
                                        "not ",
                                        "true",
                                        "false",
                                        "*",
                                        "?",
                                        "a",
                                        "*.txt",
                                        "1000",
                                        "^",
                                        "$",
                                        " ",
                                        "\t",
                                        "<undef>",
                                        "OR",
                                        std::string_view("\0", 1).data()};
  std::mt19937 random(20261207);
  quarrytest::TempDir dir;
  DyxEntryRepository repository("filter_random", 8);
  DyxEntry* entry = repository.createEntry("Report.TXT", dir.path(), false);
  ASSERT_NE(entry, nullptr);
  for (int round = 0; round < 3000; ++round) {
    std::string criterion;
    const int count = static_cast<int>(random() % 14);
    for (int i = 0; i < count; ++i) {
      const std::size_t pick = random() % (sizeof(kTokens) / sizeof(kTokens[0]));
      if (pick == sizeof(kTokens) / sizeof(kTokens[0]) - 1) {
        criterion += '\0';
      } else {
        criterion += kTokens[pick];
      }
      if (random() % 3 == 0) criterion += ' ';
    }
    DyxFilter filter(criterion);
    ASSERT_NE(filter.getRoot(), nullptr) << criterion;
    const std::string form = filter.toString();
    (void)filter.evaluate(*entry);
    DyxFilter again(form);
    (void)again.evaluate(*entry);
    DyxFilter copy(filter);
    EXPECT_EQ(copy.toString(), form) << criterion;
  }
}

// ---------------------------------------------------------------------------------------------
// Evaluation on real entries.

class FilterEval : public ::testing::Test {
 protected:
  void SetUp() override { m_repository = std::make_unique<DyxEntryRepository>("filter_eval", 64); }
  void TearDown() override {
    Dyx::getTypeManager().clear();
    DyxEntryProperty& store = Dyx::getPropertyManager();
    while (!store.records().empty()) store.removeRecord(store.records().begin()->first);
  }
  DyxEntry& entry(const std::string& name, std::uint64_t size = 0) {
    DyxEntry* e = m_repository->createEntry(name, m_dir.path(), false);
    EXPECT_NE(e, nullptr);
    e->setSize(size);
    return *e;
  }
  static bool eval(const std::string& criterion, const DyxEntry& e) {
    return DyxFilter(criterion).evaluate(e);
  }
  void useTypes(const std::string& lines) {
    quarrytest::writeFile(m_dir / "type.ini", lines);
    Dyx::getTypeManager().reset(m_dir / "type.ini");
  }

  quarrytest::TempDir m_dir;
  std::unique_ptr<DyxEntryRepository> m_repository;
};

TEST_F(FilterEval, BuiltInTextsAndCaseFolding) {
  const DyxEntry& lower = entry("a.txt");
  const DyxEntry& upper = entry("A.TXT");
  const DyxEntry& other = entry("b.doc");
  struct Case {
    const char* criterion;
    bool lower, upper, other;
  };
  const Case cases[] = {
      {"$Name like \"*.TXT\"", true, true, false},
      {"$Name [like \"*.TXT\"", false, true, false},
      {"$Name like-cs \"*.TXT\"", true, true, false},
      {"$Name [like-cs \"*.TXT\"", false, true, false},
      {"$Name like \"\"", true, true, true},
      {"$Name like \"a^b\"", true, true, true},  // a rejected pattern matches every text
      {"$Ext = txt", true, true, false},
      {"$Ext [= txt", true, false, false},
      {"$Name != a.txt", false, false, true},
      {"$Name < b", true, true, false},
      {"$Name [< b", true, true, false},
      {"$Name [< a", false, true, false},  // "A.TXT" sorts before "a": byte order
      {"$Name <= a.txt", true, true, false},
      {"$Name > a.txt", false, false, true},
      {"$Name >= b.doc", false, false, true},
      {"$Status = normal", true, true, true},
      {"$Location like \"*?a.txt\"", true, true, false},  // any separator before the name
      {"$Owner = \"\"", true, true, true},
      {"not $Ext = txt", false, false, true},
      {"$Ext = txt xor $Name like a*", false, false, false},
      {"$Ext = doc xor $Name like a*", true, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eval(c.criterion, lower), c.lower) << c.criterion << " on a.txt";
    EXPECT_EQ(eval(c.criterion, upper), c.upper) << c.criterion << " on A.TXT";
    EXPECT_EQ(eval(c.criterion, other), c.other) << c.criterion << " on b.doc";
  }
}

TEST_F(FilterEval, SizeComparesNumbersForDecimalValues) {
  const DyxEntry& small = entry("small", 9);
  const DyxEntry& big = entry("big", 2000000);
  const DyxEntry& huge = entry("huge", 5ull << 30);
  struct Case {
    const char* criterion;
    bool small, big, huge;
  };
  const Case cases[] = {
      {"$Size > 1000000", false, true, true},
      {"$Size < 9", false, false, false},
      {"$Size <= 9", true, false, false},
      {"$Size = 9", true, false, false},
      {"$Size != 9", false, true, true},
      {"$Size >= 2000000", false, true, true},
      {"$Size > 4294967296", false, false, true},
      {"$Size > -5", true, true, true},
      {"$Size < 99999999999999999999999", true, true, true},  // saturates, still ordered
      {"$Size = +9", true, false, false},
      // Values that are not decimal integers keep the text comparison with the empty text.
      {"$Size < 1k", true, true, true},
      {"$Size = \"\"", true, true, true},
      {"$Size like *", true, true, true},
      {"$Size > 1.5", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eval(c.criterion, small), c.small) << c.criterion << " on 9 bytes";
    EXPECT_EQ(eval(c.criterion, big), c.big) << c.criterion << " on 2000000 bytes";
    EXPECT_EQ(eval(c.criterion, huge), c.huge) << c.criterion << " on 5 GiB";
  }
  EXPECT_EQ(big.getProperty("Size"), "");
}

TEST_F(FilterEval, TypesAreMultiValued) {
  useTypes(
      "Image \"$Ext = jpg or $Ext = gif\"\n"
      "Image.Photo \"$Ext = jpg\"\n"
      "Text \"$Ext = txt\"\n"
      "Doc \"$Ext = txt\"\n");
  const DyxEntry& photo = entry("p.jpg");
  const DyxEntry& gif = entry("g.gif");
  const DyxEntry& text = entry("t.txt");
  const DyxEntry& none = entry("n.bin");
  struct Case {
    const char* criterion;
    bool photo, gif, text, none;
  };
  const Case cases[] = {
      {"$Type = image.photo", true, false, false, false},
      {"$Type = image", false, true, false, false},
      // "=" asks for some type: false without types.
      {"$Type = text", false, false, true, false},
      // Every other operator asks whether all types pass: true without types.
      {"$Type != text", true, true, false, true},
      {"$Type like image*", true, true, false, true},
      {"$Type like *", true, true, true, true},
      {"$Type [= Image", false, true, false, false},
      {"$Type > a", true, true, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eval(c.criterion, photo), c.photo) << c.criterion << " on p.jpg";
    EXPECT_EQ(eval(c.criterion, gif), c.gif) << c.criterion << " on g.gif";
    EXPECT_EQ(eval(c.criterion, text), c.text) << c.criterion << " on t.txt";
    EXPECT_EQ(eval(c.criterion, none), c.none) << c.criterion << " on n.bin";
  }
}

TEST_F(FilterEval, UserPropertiesComeFromTheStore) {
  DyxPropertyRecord* record = Dyx::getPropertyManager().getRecord("report.doc", true);
  record->setValue("rating", "5");
  record->setValue("keyword", "Summer Photos");
  record->setValue("$Odd", "x");
  const DyxEntry& report = entry("report.doc");
  const DyxEntry& stranger = entry("other.doc");
  struct Case {
    const char* criterion;
    bool report, stranger;
  };
  const Case cases[] = {
      {"rating = 5", true, false},
      {"rating != 5", false, false},  // no record: false, also for "!="
      {"rating > 4", true, false},
      {"keyword like \"summer*\"", true, false},
      {"keyword [like \"summer*\"", false, false},
      {"keyword [= \"Summer Photos\"", true, false},
      {"missing != x", false, false},  // no such property: false
      {"$Odd = x", true, false},       // an unknown "$" name is a user property
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eval(c.criterion, report), c.report) << c.criterion << " on report.doc";
    EXPECT_EQ(eval(c.criterion, stranger), c.stranger) << c.criterion << " on other.doc";
  }
  // A comparison built directly with an upper-case value and no case flag still folds it.
  EXPECT_TRUE(DyxFilterEqual("keyword", "SUMMER PHOTOS", false).evaluate(report));
}

TEST_F(FilterEval, ContainsSearchesTheFileLineByLine) {
  quarrytest::makeDirs(m_dir / "Sub");
  const std::string longLine(300, 'x');
  // The match at 250..259 crosses the 255-byte line buffer: it is found.
  std::string across = std::string(250, '.') + "NEEDLE1234" + "\n";
  quarrytest::writeFile(m_dir / "Notes.TXT", "first line\nsay Foo here\n");
  quarrytest::writeFile(m_dir / "lower.txt", "say foo here");
  quarrytest::writeFile(m_dir / "long.txt",
                        longLine + "\n" + std::string(100000, 'y') + "\nlast line holds needle2\n");
  quarrytest::writeFile(m_dir / "across.txt", across);
  quarrytest::writeFile(m_dir / "split.txt", "nee\ndle\n");
  quarrytest::writeFile(m_dir / "empty.txt", "");
  quarrytest::writeFile(m_dir / "noend.txt", std::string(200000, 'z') + "tail");
  // "zzztail" straddles the first 64 KiB read block.
  quarrytest::writeFile(m_dir / "block.txt", std::string(65533, 'z') + "tail");
  const std::string fifo = m_dir / "pipe";
  // Without FIFOs (Windows) the name is simply missing, with the same answer.
  if (quarrytest::hasLinuxFileSystem()) {
    ASSERT_TRUE(quarrytest::makeFifo(fifo));
  }

  DyxEntryRepository repository("filter_contains", 32);
  auto file = [&](const std::string& name) -> const DyxEntry& {
    return *repository.createEntry(name, m_dir.path(), false);
  };
  struct Case {
    const char* file;
    const char* criterion;
    bool expected;
  };
  const Case cases[] = {
      // The path is not folded, so "Notes.TXT" is still found on this file system; the text
      // is folded unless case-sensitive, and the file's lines never are.
      {"Notes.TXT", "$Content contains foo", false},
      {"Notes.TXT", "$Content contains Foo", false},
      {"Notes.TXT", "$Content [contains Foo", true},
      {"Notes.TXT", "$Location [contains \"first line\"", true},
      {"lower.txt", "$Content contains Foo", true},
      {"long.txt", "$Content contains needle2", true},
      {"long.txt", "$Content contains absent", false},
      {"across.txt", "$Content [contains NEEDLE1234", true},
      {"split.txt", "$Content contains needle", false},  // never across a line end
      {"empty.txt", "$Content contains \"\"", false},
      {"lower.txt", "$Content contains \"\"", true},
      {"noend.txt", "$Content contains zzztail", true},
      {"block.txt", "$Content contains zzztail", true},
      {"missing.txt", "$Content contains abc", false},
      {"pipe", "$Content contains abc", false},  // never opened, never blocks
      {"Sub", "$Content contains abc", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eval(c.criterion, file(c.file)), c.expected) << c.criterion << " on " << c.file;
  }
}

// Counts its evaluations, to see which members the logical operators skip.
class CountingCriterion final : public DyxCriterion {
 public:
  CountingCriterion(bool value, int& count) : m_value(value), m_count(count) {}
  std::string toString() const override { return "counting"; }
  bool evaluate(const DyxEntry&) const override {
    ++m_count;
    return m_value;
  }
  DyxCriterionPtr clone() const override {
    return DyxCriterionPtr(new CountingCriterion(m_value, m_count));
  }

 private:
  bool m_value;
  int& m_count;
};

TEST_F(FilterEval, LogicalOperatorsShortCircuit) {
  const DyxEntry& e = entry("b");
  struct Case {
    const char* left;
    const char* word;
    bool rightValue;
    bool result;
    int rightEvaluations;
  };
  const Case cases[] = {
      {"$Name = a", "and", true, false, 0}, {"$Name = b", "and", true, true, 1},
      {"$Name = b", "or", false, true, 0},  {"$Name = a", "or", true, true, 1},
      {"$Name = b", "xor", true, false, 1}, {"$Name = a", "xor", true, true, 1},
  };
  for (const Case& c : cases) {
    int count = 0;
    DyxCriterionPtr node =
        DyxBuildExpression(DyxFilterparse(c.left), c.word,
                           DyxCriterionPtr(new CountingCriterion(c.rightValue, count)));
    EXPECT_EQ(node->evaluate(e), c.result) << c.left << " " << c.word;
    EXPECT_EQ(count, c.rightEvaluations) << c.left << " " << c.word;
  }
  bool decided = true;
  EXPECT_FALSE(DyxFilterXor(dyxTrueCriterion(), dyxTrueCriterion()).shortCircuit(true, decided));
}

TEST_F(FilterEval, HotPathAllocatesNothing) {
  const DyxEntry& e = entry("a-rather-long-file-name-beyond-small-strings.doc");
  const char* criteria[] = {
      "$Name like \"*.doc\" or $Ext=\"txt\"",
      "$Ext = \"txt\" or $Name like \"*.doc\"",
      "$Name = \"x\" or $Name != \"y\" and $Name < \"z\" xor not $Ext = doc",
      "$Size > 100 and $Size <= 1000",
  };
  for (const char* criterion : criteria) {
    DyxFilter filter(criterion);
    (void)filter.evaluate(e);  // lets the per-thread buffers grow
    const long before = g_allocations.load();
    bool any = false;
    for (int i = 0; i < 1000; ++i) any = filter.evaluate(e) || any;
    EXPECT_EQ(g_allocations.load() - before, 0) << criterion;
    (void)any;
  }
}

}  // namespace
