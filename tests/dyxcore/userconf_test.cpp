#include "dyxcore/userconf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/frontend.h"
#include "kxcore/notice.h"
#include "support/testutil.h"

namespace {

using Outcome = DyxPreferenceReread::Outcome;

// A started engine in a working directory of its own.
class UserConfTest : public ::testing::Test {
 protected:
  UserConfTest() : m_cwd(m_dir.path()) {}
  ~UserConfTest() override {
    DyxFrontEnd::stopEngine();
    KxNotices::clear();
  }
  void write(const std::string& rel, const std::string& content) {
    quarrytest::writeFile(m_dir / rel, content);
  }
  void start() {
    DyxFrontEnd::startEngine();
    KxNotices::clear();
  }
  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd;
};

// Each edit of the file is compared with the values in use: only real changes are announced
// (through the engine's listeners: a change of ExtCase drops the cached extension view), and a
// file that cannot be read whole changes nothing.
TEST_F(UserConfTest, PreferenceRereadAppliesWholeFilesOnly) {
  write("conf/pref.ini", "ExtCase \"false\"\nNameCase \"false\"\nTraceLevel \"SILENT\"\n");
  start();
  const struct {
    const char* name;
    std::string file;  // nullptr-like: "" with `remove` removes the file
    bool remove;
    Outcome outcome;
    std::vector<std::string> changed;
    bool extCase, nameCase;
  } kCases[] = {
      {"same values",
       "ExtCase \"false\"\nNameCase \"false\"\nTraceLevel \"SILENT\"\n",
       false,
       Outcome::kUnchanged,
       {},
       false,
       false},
      {"one edit",
       "ExtCase \"true\"\nNameCase \"false\"\nTraceLevel \"SILENT\"\n",
       false,
       Outcome::kApplied,
       {"ExtCase"},
       true,
       false},
      {"open quote",
       "ExtCase \"false\nNameCase \"true\"\n",
       false,
       Outcome::kKept,
       {},
       true,
       false},
      {"missing", "", true, Outcome::kKept, {}, true, false},
      // A name the file no longer gives reads as unset (false), as at start-up without it.
      {"name dropped",
       "NameCase \"true\"\nTraceLevel \"SILENT\"\n",
       false,
       Outcome::kApplied,
       {"ExtCase", "NameCase"},
       false,
       true},
  };
  for (const auto& c : kCases) {
    if (c.remove) {
      ASSERT_EQ(std::remove((m_dir / "conf/pref.ini").c_str()), 0) << c.name;
    } else {
      write("conf/pref.ini", c.file);
    }
    const DyxPreferenceReread reread = DyxUserConfig::rereadPreferences();
    EXPECT_EQ(reread.outcome, c.outcome) << c.name;
    EXPECT_EQ(reread.changed, c.changed) << c.name;
    EXPECT_EQ(Dyx::getEnviron().getBoolPreference("ExtCase"), c.extCase) << c.name;
    EXPECT_EQ(Dyx::getEnviron().getBoolPreference("NameCase"), c.nameCase) << c.name;
    if (c.outcome == Outcome::kKept) {
      EXPECT_NE(reread.text().find("the preferences in use stay"), std::string::npos) << c.name;
      EXPECT_FALSE(reread.problems.empty()) << c.name;
    }
    // The re-read tells its own outcome: nothing waits for the next parse's problems.
    EXPECT_EQ(KxNotices::pending(), 0u) << c.name;
  }
}

// The names a criterion's comparisons give user properties, checked against the loaded files:
// "$name" stands for "name", built-in properties are never asked for, and each name is told
// once, wherever it stands in the tree.
TEST_F(UserConfTest, UndefinedPropertiesOfACriterion) {
  EXPECT_TRUE(DyxUserConfig::undefinedProperties("rating = 5").empty());  // nothing loaded yet
  write("conf/properties/a.prp", "# x.txt\nrating 5\n");
  write("conf/properties/b.prp", "# y.txt\n$mood happy\n");
  write("conf/properties/notes.txt", "# z.txt\nignored 1\n");
  start();
  const struct {
    std::string criterion;
    std::vector<std::string> undefined;
  } kCases[] = {
      {"rating = 5 and $rating > 1 and $mood = happy", {}},
      {"$Name = x.txt or $Size > 3 or $Type = image", {}},
      {"mood = happy", {"mood"}},  // only "$mood" was given
      {"not stars = 3 or ($rating = 5 xor (stars != 1 and ignored = 1))", {"stars", "ignored"}},
      {"$Nmae = x.txt", {"$Nmae"}},  // a misspelt built-in property is a user property
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(DyxUserConfig::undefinedProperties(c.criterion), c.undefined) << c.criterion;
    const std::vector<std::string> messages = DyxFrontEnd::checkCriterion(c.criterion);
    EXPECT_EQ(messages.size(), c.undefined.size()) << c.criterion;
  }
}

}  // namespace
