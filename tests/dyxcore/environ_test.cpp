#include "dyxcore/environ.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>

#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using Prefs = std::map<std::string, std::string>;

using quarrytest::TraceCapture;

// A working directory of its own for each test.
class EnvironTest : public ::testing::Test {
 protected:
  EnvironTest() : m_cwd(m_dir.path()) {}
  void writePrefs(const std::string& content) {
    quarrytest::writeFile(m_dir / "conf/pref.ini", content);
  }
  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd;
};

TEST_F(EnvironTest, MissingOrIrregularFileLeavesEmptyStoreAndOneMessage) {
  // A directory (or a FIFO, which would block the start-up) under the name is no file to read.
  for (const bool directory : {false, true}) {
    if (directory) quarrytest::makeDirs(m_dir / "conf/pref.ini");
    DyxEnviron env;
    TraceCapture err;
    env.defaultPreferences();
    EXPECT_EQ(err.count("Cannot open the preference file: conf/pref.ini"), 1)
        << "directory: " << directory << "\n"
        << err.text();
    EXPECT_TRUE(env.preferences().empty());
    EXPECT_EQ(env.getPreference("TraceLevel"), "");
    EXPECT_EQ(env.getIntPreference("TraceMaxLineCount"), 0);
    EXPECT_FALSE(env.getBoolPreference("NameCase"));
    EXPECT_FALSE(env.hasPreference("NameCase"));
  }
}

TEST_F(EnvironTest, ReaderCases) {
  struct Case {
    const char* name;
    std::string file;
    Prefs expected;
    const char* message;  // expected on kxerr, or nullptr
  };
  const Case cases[] = {
      {"records",
       "TraceLevel \"DEBUG\"\nNameCase true\n\n  ExtCase   TRUE  \n",
       {{"TraceLevel", "DEBUG"}, {"NameCase", "true"}, {"ExtCase", "TRUE"}},
       nullptr},
      {"later wins", "A \"1\"\nA 2\n", {{"A", "2"}}, nullptr},
      {"backslashes kept",
       "Dir \"C:\\data\\x\"\nQ \"a\\\"b\"\n",
       {{"Dir", "C:\\data\\x"}, {"Q", "a\\\"b"}},
       nullptr},
      {"word after a quoted value is a name",
       "A \"x y\" B c\n",
       {{"A", "x y"}, {"B", "c"}},
       nullptr},
      {"empty quotes", "A \"\"\nB b\n", {{"A", ""}, {"B", "b"}}, nullptr},
      // The last quote is escaped: no closing quote. The record reads as empty and the next
      // line is still read as its own record.
      {"trailing backslash",
       "Dir \"C:\\data\\\"\nNameCase true\n",
       {{"Dir", ""}, {"NameCase", "true"}},
       "Missing ending quote in line: \"C:\\data\\\""},
      {"name without value at the end", "A a\nB", {{"A", "a"}, {"B", ""}}, nullptr},
      {"no line end", "A \"v\"", {{"A", "v"}}, nullptr},
      {"long quoted value",
       "A \"" + std::string(300, 'x') + "\"\nB b\n",
       {{"A", ""}, {"B", "b"}},
       "Missing ending quote in line: "},
  };
  for (const auto& c : cases) {
    writePrefs(c.file);
    DyxEnviron env;
    TraceCapture err;
    env.defaultPreferences();
    EXPECT_EQ(env.preferences(), c.expected) << c.name;
    if (c.message != nullptr) {
      EXPECT_EQ(err.count(c.message), 1) << c.name << ": " << err.text();
    }
  }
}

TEST_F(EnvironTest, TypedGettersAndReloadKeepsOtherNames) {
  writePrefs("NameCase TRUE\nExtCase True\nTraceMaxLineCount \"3000\"\nBad abc\nNeg -12x\n");
  DyxEnviron env;
  env.setPreference("Kept", "yes");
  env.setPreference("NameCase", "false");
  env.defaultPreferences();
  EXPECT_TRUE(env.getBoolPreference("NameCase"));  // replaced by the file
  EXPECT_FALSE(env.getBoolPreference("ExtCase"));  // "True" is not true
  EXPECT_EQ(env.getIntPreference("TraceMaxLineCount"), 3000);
  EXPECT_EQ(env.getIntPreference("Bad"), 0);
  EXPECT_EQ(env.getIntPreference("Neg"), -12);
  EXPECT_EQ(env.getPreference("Kept"), "yes");  // absent from the file: kept
  env.clearPreferences();
  EXPECT_TRUE(env.preferences().empty());
}

TEST_F(EnvironTest, Sequences) {
  DyxEnviron env;
  env.setPreferenceSeq("VisibleAttributes", "Size", {"", "a", "b"});
  EXPECT_EQ(env.getPreference("VisibleAttributes[Size]"), "a|b");
  EXPECT_TRUE(env.hasPreferenceSeq("VisibleAttributes", "Size"));
  EXPECT_FALSE(env.hasPreferenceSeq("VisibleAttributes", "Name"));

  const std::pair<const char*, std::vector<std::string>> reads[] = {
      {"a||b", {"a", "", "b"}}, {"", {""}}, {"|", {"", ""}}, {"x", {"x"}}};
  for (const auto& [value, pieces] : reads) {
    env.setPreference("S[k]", value);
    std::vector<std::string> list = {"stale"};
    EXPECT_TRUE(env.getPreferenceSeq("S", "k", list)) << value;
    EXPECT_EQ(list, pieces) << value;
  }
  std::vector<std::string> list = {"stale"};
  EXPECT_FALSE(env.getPreferenceSeq("S", "other", list));
  EXPECT_TRUE(list.empty());
}

std::vector<std::string> g_calls;
void first(const std::string& value) { g_calls.push_back("first:" + value); }
void second(const std::string& value) { g_calls.push_back("second:" + value); }
DyxEnviron* g_env = nullptr;
void removesItself(const std::string& value) {
  g_calls.push_back("self:" + value);
  g_env->removeChangeListener("X", removesItself);
}

TEST_F(EnvironTest, ListenersRunInOrderAndAreRemovedOneAtATime) {
  DyxEnviron env;
  g_calls.clear();
  env.addChangeListener("X", first);
  env.addChangeListener("X", second);
  env.addChangeListener("X", first);  // the same callback twice is called twice
  env.setPreference("X", "1");
  EXPECT_EQ(g_calls, std::vector<std::string>({"first:1", "second:1", "first:1"}));
  EXPECT_EQ(env.getPreference("X"), "1");

  g_calls.clear();
  env.removeChangeListener("X", first);  // only the first equal one
  env.setPreference("X", true);
  EXPECT_EQ(g_calls, std::vector<std::string>({"second:true", "first:true"}));
  EXPECT_EQ(env.getPreference("X"), "true");

  g_calls.clear();
  env.fireChange("X", "direct");  // fires without storing
  EXPECT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(env.getPreference("X"), "true");

  // A callback may remove itself while the change is delivered.
  g_env = &env;
  env.addChangeListener("X", removesItself);
  g_calls.clear();
  env.setPreference("X", "2");
  env.setPreference("X", "3");
  EXPECT_EQ(g_calls,
            std::vector<std::string>({"second:2", "first:2", "self:2", "second:3", "first:3"}));

  g_calls.clear();
  env.clearAllChangeListener();
  TraceCapture err;
  env.setPreference("X", "4");
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(env.getPreference("X"), "4");  // stored although nobody listens
  EXPECT_EQ(err.count("No listener for preference."), 1);
  env.removeChangeListener("Y", first);
  EXPECT_EQ(err.count("No listener for preference."), 2);
}

TEST_F(EnvironTest, EmptyNameIsRefused) {
  DyxEnviron env;
  g_calls.clear();
  env.addChangeListener("", first);
  TraceCapture err;
  env.setPreference("", "v");
  EXPECT_EQ(err.count("Null preference id"), 1);
  EXPECT_FALSE(env.hasPreference(""));
  EXPECT_TRUE(g_calls.empty());
  // The literal goes to the text overload, not to the bool one.
  env.setPreference("Text", "false-ish");
  EXPECT_EQ(env.getPreference("Text"), "false-ish");
}

TEST_F(EnvironTest, SaveRoundTripReplacesTheFileWhole) {
  quarrytest::makeDirs(m_dir / "conf");
  DyxEnviron env;
  env.setPreference("B", "two words");
  env.setPreference("A", "C:\\data\\x");
  env.setPreference("Empty", "");
  env.setPreferenceSeq("VisibleAttributes", "Size", {"Name", "Size"});
  ASSERT_TRUE(env.savePreferences());
  EXPECT_EQ(quarrytest::readFile(m_dir / "conf/pref.ini"),
            "A \"C:\\data\\x\"\nB \"two words\"\nEmpty \"\"\n"
            "VisibleAttributes[Size] \"Name|Size\"\n");
  // Only the target is left behind: the file written beside it was renamed into place.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(m_dir / "conf")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);

  DyxEnviron reread;
  reread.defaultPreferences();
  EXPECT_EQ(reread.preferences(), env.preferences());
}

TEST_F(EnvironTest, SaveFailureIsReported) {
  DyxEnviron env;
  env.setPreference("A", "new");
  {
    TraceCapture err;  // no conf directory
    EXPECT_FALSE(env.savePreferences());
    EXPECT_EQ(err.count("Cannot save the preference file: conf/pref.ini"), 1) << err.text();
  }
  // A directory in the place of the target cannot be replaced by a file, and stays.
  quarrytest::makeDirs(m_dir / "conf/pref.ini");
  TraceCapture err;
  EXPECT_FALSE(env.savePreferences());
  EXPECT_EQ(err.count("Cannot save the preference file: conf/pref.ini"), 1) << err.text();
  EXPECT_TRUE(std::filesystem::is_directory(m_dir / "conf/pref.ini"));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(m_dir / "conf")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);  // no temporary file left beside it
}

TEST_F(EnvironTest, EnvironmentFactsAndDump) {
  EXPECT_EQ(DyxEnviron::getSeparator(), std::string(1, dyxplatform::kPathSeparator));
  EXPECT_EQ(DyxEnviron::getEmptyText(), "<empty>");
  EXPECT_EQ(DyxEnviron::getViewsDir().toString(), quarrytest::nativePath("./conf/views"));
  EXPECT_EQ(DyxEnviron::getPropertyFileName("notes.txt"), "notes.txt.prp");

  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(DyxEnviron::getCurrentDir().toString(), here);
  {
    quarrytest::TempDir other;
    quarrytest::CwdGuard move(other.path());
    EXPECT_EQ(DyxEnviron::getCurrentDir().toString(), here);  // kept from the first call
  }

  DyxEnviron env;
  env.setPreference("b", "2");
  env.setPreference("a", "x \"y\"");
  env.addChangeListener("b", first);
  env.addChangeListener("b", second);
  std::ostringstream out;
  env.dump(out);
  EXPECT_EQ(out.str(),
            "------------------ pdir pool -----------------------\n"
            "pref num: 2\n"
            "1) name: \"a\", value: \"x \"y\"\"\n"
            "2) name: \"b\", value: \"2\"\n"
            "cgt lst num: 1\n"
            "1) listener: b, lst_count: 2\n"
            "----------------------------------------------------\n");
}

// Random and truncated bytes in the preference file: reading always ends and never crashes.
TEST_F(EnvironTest, FuzzReaderTerminates) {
  std::mt19937 rng(11);
  static const char kAlphabet[] = "ab \t\n\"\\\0\xff";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  const std::string seed = "TraceLevel \"DEBUG\"\nDir \"C:\\data\\\"\nNameCase true\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int rounds = 0;
  for (; rounds < 600 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    std::string text;
    if (rounds % 3 == 0) {
      text = seed.substr(0, rng() % (seed.size() + 1));
    } else {
      const std::size_t length = rng() % (rounds % 10 == 1 ? 700 : 60);
      for (std::size_t k = 0; k < length; ++k) text += alphabet[rng() % alphabet.size()];
    }
    writePrefs(text);
    DyxEnviron env;
    env.defaultPreferences();
    for (const auto& [name, value] : env.preferences()) ASSERT_FALSE(name.empty());
  }
  EXPECT_GT(rounds, 100);
}

}  // namespace
