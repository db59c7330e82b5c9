#include "dyxcore/frontend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/vfolder.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "support/testutil.h"

namespace {

TEST(FrontEndTexts, StatusLines) {
  EXPECT_EQ(DyxFrontEnd::statusLine(0, 0), "Total: 0 folder(s), 0 file(s)");
  EXPECT_EQ(DyxFrontEnd::statusLine(12, 4000000000u), "Total: 12 folder(s), 4000000000 file(s)");
  EXPECT_EQ(DyxFrontEnd::statusLine(3, 7, "sub dir", 2),
            "Total: 3 folder(s), 7 file(s). Selected folder: sub dir: 2 file(s)");
}

// Status line 1 ends with what the notices of the parse left out: directories by number,
// files by their counts, anything else as other problems.
TEST(FrontEndTexts, LeftOutEndsTheStatusLine) {
  auto notice = [](KxNoticeKind kind, std::uint64_t count) {
    KxNotice n;
    n.kind = kind;
    n.count = count;
    return n;
  };
  const struct {
    std::vector<KxNotice> notices;
    const char* text;
  } cases[] = {
      {{}, "Total: 4 folder(s), 12 file(s)"},
      {{notice(KxNoticeKind::kUnreadable, 1), notice(KxNoticeKind::kUnreadable, 2)},
       "Total: 4 folder(s), 12 file(s). 3 folder(s) could not be read"},
      {{notice(KxNoticeKind::kLeftOut, 800000)},
       "Total: 4 folder(s), 12 file(s). 800000 file(s) left out"},
      {{notice(KxNoticeKind::kNotSaved, 1), notice(KxNoticeKind::kLeftOut, 5),
        notice(KxNoticeKind::kUnreadable, 1), notice(KxNoticeKind::kConfiguration, 1)},
       "Total: 4 folder(s), 12 file(s). 1 folder(s) could not be read, 5 file(s) left out, "
       "2 other problem(s)"},
  };
  for (const auto& c : cases) {
    DyxLeftOut leftOut;
    for (const KxNotice& n : c.notices) leftOut.add(n);
    EXPECT_EQ(leftOut.empty(), c.notices.empty()) << c.text;
    EXPECT_EQ(DyxFrontEnd::withLeftOut(DyxFrontEnd::statusLine(4, 12), leftOut), c.text);
  }
}

TEST(FrontEndTexts, DriveFoldersAreLabelledAsSystem) {
  const struct {
    const char* name;
    const char* label;
  } cases[] = {{"C:", "System (C:)"}, {"A:", "System (A:)"},
               {"Z:", "System (Z:)"}, {"c:", "c:"},
               {"CD:", "CD:"},        {"C", "C"},
               {":C", ":C"},          {"", ""},
               {"[:", "[:"}};
  for (const auto& c : cases) EXPECT_EQ(DyxFrontEnd::treeLabel(c.name), c.label) << c.name;
}

TEST(FrontEndTexts, ColumnSortKeys) {
  const struct {
    int column;
    const char* a;
    const char* b;
    int sign;
  } cases[] = {{1, "1023 oct.", "1 Ko", -1},  // a "Ko" size comes after any "oct." size
               {1, "1 Ko", "1023 oct.", 1},
               {1, "1.5 Ko", "1536 oct.", 0},
               {1, "1.2 oct.", "1.9 oct.", -1},  // less than a byte apart still orders
               {1, "1.00195 Ko", "1.00098 Ko", 1},
               {1, "1.5 oct.", "1.5 oct.", 0},
               {1, "2 Mo", "2047.9 Ko", 1},
               {1, "junk", "0 oct.", 0},
               {0, "abc", "ABD", -1},
               {0, "B", "a", 1},
               {0, "Same", "sAME", 0},
               {2, "/x/b", "/X/A", 1},
               {3, "2004/01/02", "2004/01/10", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(DyxFrontEnd::compareColumnTexts(c.column, c.a, c.b), c.sign)
        << c.column << " " << c.a << " " << c.b;
  }
}

// What the front ends show before a scan: the parser's own messages, none for a criterion that
// parses as written (even one that keeps nothing, such as "not true").
TEST(FrontEndTexts, CheckCriterionGivesTheParsersMessages) {
  const struct {
    const char* criterion;
    std::vector<std::string> messages;
  } cases[] = {
      {"", {}},
      {" \t ", {}},
      {"not true", {}},
      {"$Ext=\"txt\"", {}},
      {"$Name = \"Tom And Jerry.avi\"", {}},
      {"($Ext=bin", {"Missing a closing parenthesis."}},
      {"$Ext=bin or false", {"Cannot parse the expression: Returns None: false"}},
      {"false", {"Cannot parse the expression: Returns None: false"}},
      {"$Name = \"abc", {"Missing a closing double quote."}},
      {"$Name = a(1) or $Ext = b",
       {"Cannot parse the expression: Returns None: 1", "DyxBuildExpression: Unknown operator: a"}},
      {"($Name = x) or", {"Missing an expression after: or"}},
      {"<undef>", {"Undefined filter."}},
      {"(my prop = 1 or ($Ext = a",
       {"Missing a closing parenthesis.", "Missing a closing parenthesis.",
        "Cannot parse the expression: Returns None: my prop = 1"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DyxFrontEnd::checkCriterion(c.criterion), c.messages) << c.criterion;
  }
}

// The Find box: "*" + text + "*", both the text and the name folded to lower case.
TEST(FindFilter, MatchesAsTheFindBox) {
  const struct {
    const char* text;
    const char* name;
    bool accepted;
  } cases[] = {{"abc", "ABC.txt", true},
               {"abc", "xabcx.doc", true},
               {"Abc", "ABC.txt", true},
               {"Abc", "abc", true},
               {"HASH", "xhashx", true},
               {"Hash", "Hush", false},
               {"", "Anything", true},
               {"x.t", "ax.txt", true},
               {"a.c", "abc", false},
               {"?", "a", true},
               {"ab", "aab", true},
               {"txt", "a.TXT", true},
               {"a*c", "xAbbbCx", true},
               {"zz", "abc", false},
               {"\xe9", "\xc9", false},
               {"\xc9", "\xe9", false},
               {"\xe9t\xe9", "\xe9t\xe9", true}};
  for (const auto& c : cases) {
    const DyxFindFilter find(c.text);
    EXPECT_EQ(find.isActive(), std::string(c.text) != "") << c.text;
    EXPECT_EQ(find.acceptsName(c.name), c.accepted) << c.text << " / " << c.name;
  }
  DyxFindFilter find("abc");
  find.setText("");
  EXPECT_FALSE(find.isActive());
  EXPECT_TRUE(find.acceptsName("ABC"));

  // A text without wildcards takes a shorter road than the pattern: both must agree on every
  // name, overlapping and repeated prefixes, dots and high bytes included.
  const char* texts[] = {"a", "aab", "ab.c", "x.T", "AbA",  "\xe9", "txt",
                         ".", "..",  "a b",  "'",   "a\"b", "bb",   "zzzz"};
  const char* names[] = {"",      "a",     "aaab",  "AAB",    "ab.c",     "abxc",
                         "x.t",   "X.TXT", "ababa", "abAbA",  "\xe9\xc9", "..",
                         "a b c", "it's",  "a\"b",  "abb.bb", "zzz.zzz",  "README.txt"};
  for (const char* text : texts) {
    const DyxFindFilter plain(text);
    const DyxPattern pattern("*" + toLower(text) + "*", true);
    for (const char* name : names) {
      EXPECT_EQ(plain.acceptsName(name), pattern.match(toLower(name))) << text << " / " << name;
    }
  }
}

class FrontEndFolderTest : public ::testing::Test {
 protected:
  FrontEndFolderTest() : m_repo("frontend_test", 64), m_root("") {}
  void TearDown() override {
    m_root.removeAllFolders();
    Dyx::getViewManager().clearViewCache();
  }
  DyxViewFolder* folder(const std::string& path) {
    return m_root.createFolderPath(DyxPath(path, '/'));
  }

  DyxEntryRepository m_repo;
  DyxViewFolder m_root;
};

TEST_F(FrontEndFolderTest, PathsAndOrderFromTheRoot) {
  for (const char* p : {"b/z", "a/y/q", "B", "a/x", "b/a"}) folder(p);
  std::vector<std::string> paths;
  for (DyxViewFolder* f : DyxFrontEnd::foldersInOrder(m_root)) {
    paths.push_back(DyxFrontEnd::folderPath(*f));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"B", "a", "a/x", "a/y", "a/y/q", "b", "b/a", "b/z"}));
  EXPECT_EQ(DyxFrontEnd::folderPath(m_root), "");
}

TEST_F(FrontEndFolderTest, RowsKeepTheFolderOrderAndTheFindFilter) {
  DyxViewFolder* f = folder("docs");
  for (const char* name : {"b.txt", "A.TXT", "c.doc", "b.txt"}) {
    f->addEntry(m_repo.createEntry(name, "/data", false), nullptr);
  }
  const auto names = [](const std::vector<DyxEntry*>& rows) {
    std::vector<std::string> out;
    for (const DyxEntry* e : rows) out.emplace_back(e->getName());
    return out;
  };
  EXPECT_EQ(names(DyxFindFilter().rowsOf(*f)),
            (std::vector<std::string>{"A.TXT", "b.txt", "b.txt", "c.doc"}));
  EXPECT_EQ(names(DyxFindFilter("txt").rowsOf(*f)),
            (std::vector<std::string>{"A.TXT", "b.txt", "b.txt"}));
  EXPECT_EQ(names(DyxFindFilter("TXT").rowsOf(*f)),
            (std::vector<std::string>{"A.TXT", "b.txt", "b.txt"}));
  EXPECT_TRUE(DyxFindFilter("DOCX").rowsOf(*f).empty());
}

TEST_F(FrontEndFolderTest, ListRowTexts) {
  DyxEntry* e = m_repo.createEntry("big file.iso", quarrytest::nativePath("/data/images"), false);
  e->setSize(5ULL << 30);  // past 32 bits
  const DyxListRow row = DyxFrontEnd::listRow(*e);
  EXPECT_EQ(row.name, "big file.iso");
  EXPECT_EQ(row.size, 5ULL << 30);
  EXPECT_EQ(row.sizeText, "5120 Mo");
  EXPECT_EQ(row.location, quarrytest::nativePath("/data/images/big file.iso"));
  EXPECT_EQ(row.modified, e->getProperty(kPropMTime));

  e->setSize(1536);
  EXPECT_EQ(DyxFrontEnd::listRow(*e).sizeText, "1.5 Ko");
  e->setSize(1023);
  EXPECT_EQ(DyxFrontEnd::listRow(*e).sizeText, "1023 oct.");
}

// Folders count once, parents before children (the root itself has no item); every filing
// counts a file.
TEST_F(FrontEndFolderTest, TallyCountsAsTheTree) {
  DyxViewFolder* deep = folder("a/b/c");
  DyxViewFolder* a = m_root.getSubFolder("a");
  DyxViewFolder* other = folder("a/d");
  DyxFolderTally tally;
  std::vector<const DyxViewFolder*> added;
  tally.record(deep, true, &added);
  EXPECT_EQ(added, (std::vector<const DyxViewFolder*>{a, a->getSubFolder("b"), deep}));
  EXPECT_EQ(tally.folderCount(), 3u);
  EXPECT_EQ(tally.fileCount(), 1u);

  added.clear();
  tally.record(deep, true, &added);
  tally.record(other, false, &added);
  tally.record(nullptr, true, &added);
  EXPECT_EQ(added, (std::vector<const DyxViewFolder*>{other}));
  EXPECT_EQ(tally.folderCount(), 4u);
  EXPECT_EQ(tally.fileCount(), 2u);
  EXPECT_TRUE(tally.isKnown(a));
  EXPECT_FALSE(tally.isKnown(&m_root));

  // Enough folders to make the table grow several times: none is lost or counted twice.
  std::vector<DyxViewFolder*> many;
  for (int i = 0; i < 300; ++i) many.push_back(folder("m/" + std::to_string(i)));
  for (DyxViewFolder* f : many) tally.record(f, true);
  for (DyxViewFolder* f : many) tally.record(f, true);
  EXPECT_EQ(tally.folderCount(), 4u + 1u + 300u);
  for (DyxViewFolder* f : many) EXPECT_TRUE(tally.isKnown(f));
  EXPECT_TRUE(tally.isKnown(deep));

  tally.clear();
  EXPECT_EQ(tally.folderCount(), 0u);
  EXPECT_EQ(tally.fileCount(), 0u);
  EXPECT_FALSE(tally.isKnown(deep));
  EXPECT_FALSE(tally.isKnown(many.front()));
}

// Counts the filings the views report during a scan.
class TallyObserver final : public DyxScanObserver {
 public:
  bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) override {
    tally.record(folder, entry != nullptr);
    return true;
  }
  bool isStopRequested(bool& restarted) override {
    restarted = false;
    return false;
  }
  void directoryStarted(const std::string& path) override { started.push_back(path); }
  DyxFolderTally tally;
  std::vector<std::string> started;
};

// The parse sequence on a real tree, in a working directory without trace/ or conf/.
class FrontEndParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_cwd = std::make_unique<quarrytest::CwdGuard>(m_work.path());
    DyxFrontEnd::startEngine();
    Dyx::getPhysicalDirs().setObserver(&m_observer);
  }
  void TearDown() override {
    Dyx::getPhysicalDirs().setObserver(nullptr);
    DyxFrontEnd::stopEngine();
    m_cwd.reset();
  }
  std::vector<std::string> namesIn(DyxView* view) {
    DyxEngineLock lock;
    std::vector<std::string> names;
    for (DyxViewFolder* f : DyxFrontEnd::foldersInOrder(*view)) {
      for (DyxEntry* e : DyxFindFilter().rowsOf(*f)) {
        names.push_back(DyxFrontEnd::folderPath(*f) + "|" + std::string(e->getName()));
      }
    }
    return names;
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
  std::unique_ptr<quarrytest::CwdGuard> m_cwd;
  TallyObserver m_observer;
};

TEST_F(FrontEndParseTest, ParseFillsTheViewAndAViewSwitchDoesNotRescan) {
  EXPECT_TRUE(quarrytest::fileExists(m_work / "trace"));
  quarrytest::writeFile(m_tree / "a.txt", "1");
  quarrytest::writeFile(m_tree / "sub/b.md", "22");

  DyxParseRequest request;
  request.dir = m_tree.path();
  request.recursive = true;
  request.viewTag = "Ext";
  DyxParseResult result = DyxFrontEnd::runParse(request);
  ASSERT_NE(result.view, nullptr);
  EXPECT_TRUE(result.scanRequested);
  EXPECT_TRUE(result.scanned);
  EXPECT_FALSE(result.criterionRejected);
  EXPECT_EQ(namesIn(result.view), (std::vector<std::string>{"md|b.md", "txt|a.txt"}));
  EXPECT_EQ(m_observer.tally.folderCount(), 2u);
  EXPECT_EQ(m_observer.tally.fileCount(), 2u);
  EXPECT_EQ(m_observer.started, (std::vector<std::string>{m_tree.path(), m_tree / "sub"}));

  // A view-only request rebuilds the view from the pool: a file made since is not seen.
  quarrytest::writeFile(m_tree / "c.txt", "333");
  request.viewOnly = true;
  request.viewTag = "Size";
  result = DyxFrontEnd::runParse(request);
  ASSERT_NE(result.view, nullptr);
  EXPECT_FALSE(result.scanRequested);
  EXPECT_EQ(namesIn(result.view), (std::vector<std::string>{"0 to 1Ko|a.txt", "0 to 1Ko|b.md"}));

  // A full parse clears the pool first and sees it; a criterion narrows it.
  request.viewOnly = false;
  request.recursive = false;
  request.criterion = "$Ext = \"txt\"";
  result = DyxFrontEnd::runParse(request);
  EXPECT_TRUE(result.scanned);
  EXPECT_EQ(namesIn(result.view), (std::vector<std::string>{"0 to 1Ko|a.txt", "0 to 1Ko|c.txt"}));
}

TEST_F(FrontEndParseTest, RefusalsShowInTheResult) {
  quarrytest::writeFile(m_tree / "a.txt", "1");
  DyxParseRequest request;
  request.dir = m_tree / "missing";
  DyxParseResult result = DyxFrontEnd::runParse(request);
  EXPECT_NE(result.view, nullptr);
  EXPECT_TRUE(result.scanRequested);
  EXPECT_FALSE(result.scanned);

  request.dir = m_tree.path();
  request.criterion = "$Name like \"*[1]*";
  result = DyxFrontEnd::runParse(request);
  EXPECT_TRUE(result.scanned);
  EXPECT_TRUE(result.criterionRejected);
  EXPECT_EQ(result.criterionMessages, std::vector<std::string>{"Missing a closing double quote."});

  // Half of an "or" that does not parse drops out, and is reported.
  request.criterion = "$Ext = txt or my prop = 1";
  result = DyxFrontEnd::runParse(request);
  EXPECT_TRUE(result.criterionRejected);
  EXPECT_EQ(result.criterionMessages,
            std::vector<std::string>{"Cannot parse the expression: Returns None: my prop = 1"});
  EXPECT_EQ(namesIn(result.view).size(), 1u);

  // A criterion that parses but keeps nothing is not a rejected one.
  request.criterion = "not true";
  result = DyxFrontEnd::runParse(request);
  EXPECT_FALSE(result.criterionRejected);
  EXPECT_TRUE(result.criterionMessages.empty());
  EXPECT_TRUE(namesIn(result.view).empty());

  request.viewTag = "NoSuchView";
  request.criterion.clear();
  EXPECT_EQ(DyxFrontEnd::runParse(request).view, nullptr);

  // An empty directory text clears the pool and scans nothing.
  request.viewTag = "Location";
  request.dir.clear();
  result = DyxFrontEnd::runParse(request);
  EXPECT_FALSE(result.scanRequested);
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 0u);
}

}  // namespace
