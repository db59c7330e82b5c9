#include "kxcore/io.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kxcore/date.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::lines;

// Swaps a standard stream's buffer for the life of the guard.
class StdCapture {
 public:
  explicit StdCapture(std::ostream& stream) : m_stream(stream) {
    m_old = m_stream.rdbuf(m_text.rdbuf());
  }
  ~StdCapture() { m_stream.rdbuf(m_old); }
  std::string text() const { return m_text.str(); }

 private:
  std::ostream& m_stream;
  std::ostringstream m_text;
  std::streambuf* m_old;
};

// Every test starts from a fresh KXIO and leaves none behind.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { KXIO::shutdown(); }
  void TearDown() override { KXIO::shutdown(); }

  // Standard streams, everything on, kxout captured.
  void captureAll() {
    KXIO::init(true, true, "", "", "", true);
    kxout.setTargetStream(m_out);
  }
  std::ostringstream m_out;
};

const char kStamp[] = R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.0000)";

std::string regexEscape(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

TEST_F(TraceTest, LineFormats) {
  struct Case {
    const char* label;
    std::function<void()> write;
    std::string expected;
  };
  int object = 0;
  std::ostringstream address;
  address << static_cast<const void*>(&object);
  int posLine = 0;  // the line of the positioned message, known once it is written
  const std::vector<Case> cases = {
      {"bool words", [] { kxout << true << " " << false << endl; }, "true false"},
      {"numbers", [] { kxout << -3 << " " << 4u << " " << -5L << " " << 2.5 << endl; },
       "-3 4 -5 2.5"},
      {"block", [] { kxout.write("abcdef", 3) << endl; }, "abc"},
      {"text param", [] { kxout << kxParam("dir_name", std::string("/a b")) << endl; },
       "dir_name=\"/a b\" "},
      {"bool param",
       [] { kxout << kxParam("recursive", true) << kxParam("mod_map", false) << endl; },
       "recursive=\"true\" mod_map=\"false\" "},
      {"object and member",
       [&] { kxout << kxThis(&object) << kxMember("m_file", "f.txt") << endl; },
       "ths=" + address.str() + " ths->m_file=\"f.txt\" "},
      {"positioned",
       [&] {
         posLine = __LINE__ + 1;
         KX_POS(kxerr) << "Problem here" << endl;
       },
       std::string("[") + __FILE__ + ",@] Problem here"},
      {"std endl ends a line too", [] { kxout << "x" << std::endl; }, "x"},
  };
  captureAll();
  for (const Case& c : cases) {
    m_out.str("");
    c.write();
    std::string expected = c.expected;
    if (size_t at = expected.find(",@]"); at != std::string::npos) {
      expected.replace(at + 1, 1, std::to_string(posLine));
    }
    EXPECT_EQ(m_out.str(), expected + "\n") << c.label;
  }
}

TEST_F(TraceTest, ScopeLinesNestAndIndent) {
  captureAll();
  const int base = ScopeTracer::depth();
  const int line = __LINE__ + 2;
  {
    KX_SCOPE("Outer::run");
    { KX_SCOPE(std::string("Inner::") + "step"); }
  }
  EXPECT_EQ(ScopeTracer::depth(), base);
  const std::string file = regexEscape(__FILE__);
  const std::vector<std::string> expected = {
      std::string(kStamp) + " > Outer::run\\(\\) \\[" + file + "," + std::to_string(line) + "\\]  ",
      std::string(kStamp) + "  > Inner::step\\(\\) \\[" + file + "," + std::to_string(line + 1) +
          "\\]  ",
      std::string(kStamp) + "  < Inner::step\\(\\)",
      std::string(kStamp) + " < Outer::run\\(\\)",
  };
  auto got = lines(m_out.str());
  ASSERT_EQ(got.size(), expected.size()) << m_out.str();
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(std::regex_match(got[i], std::regex(expected[i]))) << got[i];
  }
}

TEST_F(TraceTest, IndentationStopsAtThirty) {
  captureAll();
  std::vector<std::unique_ptr<ScopeTracer>> scopes;
  for (int i = 0; i < 35; ++i) scopes.push_back(std::make_unique<ScopeTracer>("F::g", "f.cpp", i));
  while (!scopes.empty()) scopes.pop_back();
  auto got = lines(m_out.str());
  ASSERT_EQ(got.size(), 70u);
  const std::regex shape(std::string("(") + kStamp + ")( *)([<>]) F::g\\(\\).*");
  for (size_t i = 0; i < got.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[i], m, shape)) << got[i];
    int depth = i < 35 ? static_cast<int>(i) + 1 : 70 - static_cast<int>(i);
    EXPECT_EQ(m[2].length(), std::min(depth, 30)) << "line " << i;
    EXPECT_EQ(m[3].str(), i < 35 ? ">" : "<") << "line " << i;
  }
  EXPECT_EQ(ScopeTracer::depth(), 0);
}

void throwingTraced() {
  KX_SCOPE("Thrower::run");
  throw std::runtime_error("boom");
}

TEST_F(TraceTest, ExceptionStillWritesExitLine) {
  captureAll();
  const int base = ScopeTracer::depth();
  EXPECT_THROW(throwingTraced(), std::runtime_error);
  EXPECT_EQ(ScopeTracer::depth(), base);
  auto got = lines(m_out.str());
  ASSERT_EQ(got.size(), 2u) << m_out.str();
  EXPECT_TRUE(std::regex_match(got[1], std::regex(std::string(kStamp) + " < Thrower::run\\(\\)")))
      << got[1];
}

TEST_F(TraceTest, ThresholdSwitchesTheTrace) {
  struct Case {
    const char* level;
    bool writes;
  };
  const Case cases[] = {{"APP0", true}, {"INTERNAL2", true}, {"DEBUG", true},
                        {"APP1", true}, {"WARNING", false},  {"silent", false},
                        {"", false},    {"ERROR", false},    {"debug", false}};
  for (const Case& c : cases) {
    KXIO::shutdown();
    captureAll();
    m_out.str("");
    kxout.setThreshold(KXIO::levelFromName(c.level));
    const int base = ScopeTracer::depth();
    {
      KX_SCOPE("Level::test");
      EXPECT_EQ(ScopeTracer::depth(), base + 1) << c.level;
      KX_POS(kxerr) << "error report" << endl;
      kxout << kxParam("recursive", true) << endl;
    }
    EXPECT_EQ(!m_out.str().empty(), c.writes) << c.level << ": " << m_out.str();
    if (c.writes) {
      EXPECT_EQ(lines(m_out.str()).size(), 4u) << c.level;
    }
  }
}

int g_formatted = 0;
struct Counted {};
std::ostream& operator<<(std::ostream& out, const Counted&) {
  ++g_formatted;
  return out << "counted";
}

TEST_F(TraceTest, DisabledStreamFormatsNothing) {
  captureAll();
  for (bool on : {false, true}) {
    g_formatted = 0;
    kxout.setThreshold(on ? KxLevel::kDebug : KxLevel::kWarning);
    kxout << Counted{} << kxParam("item", Counted{}) << kxMember("m_item", Counted{}) << endl;
    EXPECT_EQ(g_formatted, on ? 3 : 0) << on;
  }
  EXPECT_EQ(m_out.str(), "counteditem=\"counted\" ths->m_item=\"counted\" \n");
}

TEST_F(TraceTest, LevelNames) {
  const std::pair<const char*, int> table[] = {
      {"SILENT", 0},     {"ERROR", 1},      {"WARNING", 2},    {"APP0", 10},      {"APP1", 11},
      {"INTERNAL0", 20}, {"INTERNAL1", 21}, {"INTERNAL2", 22}, {"INTERNAL3", 23}, {"DEBUG", 100},
      {"Debug", 0},      {"", 0},           {"APP0 ", 0}};
  for (const auto& [name, level] : table) EXPECT_EQ(KXIO::levelFromName(name), level) << name;
}

TEST_F(TraceTest, FirstUseGivesDisabledStandardStreams) {
  EXPECT_FALSE(KXIO::isInitialised());
  EXPECT_FALSE(kxout.enabled());
  EXPECT_TRUE(KXIO::isInitialised());
  EXPECT_EQ(&kxerr, &kxout);
  EXPECT_FALSE(kxlog.enabled());
  EXPECT_EQ(kxout.threshold(), KxLevel::kApp0);
  KXIO::setAllEnabled(true);
  EXPECT_TRUE(kxout.enabled());
  EXPECT_TRUE(kxlog.enabled());
  KXIO::setAllEnabled(false);
  EXPECT_FALSE(kxout.enabled());
}

TEST_F(TraceTest, SecondInitKeepsTheFirst) {
  StdCapture capture(std::cout);
  KXIO::init(true, true, "", "", "", true);
  KxOstream* first = &kxout;
  KXIO::init(false, false, "other.log", "", "", true);
  EXPECT_EQ(&kxout, first);
  EXPECT_FALSE(quarrytest::fileExists("other.log"));
  auto got = lines(capture.text());
  ASSERT_EQ(got.size(), 2u) << capture.text();
  EXPECT_TRUE(std::regex_match(got[0], std::regex(R"(\[.*io\.cpp,\d+\]  KXIO initialized\.)")))
      << got[0];
  EXPECT_TRUE(
      std::regex_match(got[1], std::regex(R"(\[.*io\.cpp,\d+\]  KXIO already initialized\.)")))
      << got[1];
}

TEST_F(TraceTest, IncompatibleArgumentsWarnAndFlagsWin) {
  quarrytest::TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  {
    StdCapture capture(std::cout);
    KXIO::init(true, true, "out.log", "", "", true);
    EXPECT_NE(capture.text().find("] use_std_stream and kxout_file/kxerr_file are incompatible.\n"),
              std::string::npos)
        << capture.text();
  }
  EXPECT_FALSE(quarrytest::fileExists("out.log"));
  KXIO::shutdown();
  {
    StdCapture capture(std::cout);
    KXIO::init(true, true, "", "err.log", "", true);
    EXPECT_NE(capture.text().find("] kxerr_is_kxout and kxerr_file are incompatible.\n"),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(&kxerr, &kxout);
  }
  EXPECT_FALSE(quarrytest::fileExists("err.log"));
}

TEST_F(TraceTest, FileStreamsAndShutdown) {
  quarrytest::TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  KXIO::init(false, false, "o.log", "e.log", "", true);
  EXPECT_NE(&kxerr, &kxout);
  kxout << "to out" << endl;
  kxerr << "to err" << endl;
  kxlog << "to log" << endl;
  KXIO::shutdown();
  EXPECT_FALSE(KXIO::isInitialised());
  EXPECT_NE(quarrytest::readFile("o.log").find("to out\n"), std::string::npos);
  EXPECT_EQ(quarrytest::readFile("e.log"), "to err\n");
  EXPECT_EQ(quarrytest::readFile("kxlog.log"), "to log\n");

  // Default names, and the engine's own configuration: err shares out.
  KXIO::init(false, true, "", "", "", false);
  EXPECT_EQ(&kxerr, &kxout);
  EXPECT_TRUE(quarrytest::fileExists("kxout.log"));
  EXPECT_FALSE(quarrytest::fileExists("kxerr.log"));
  EXPECT_TRUE(quarrytest::fileExists("kxlog.log"));
  EXPECT_FALSE(kxout.enabled());  // without traceAll nothing is written
  kxout << "hidden" << endl;
  KXIO::shutdown();
  EXPECT_EQ(quarrytest::readFile("kxout.log"), "");
}

TEST_F(TraceTest, RotationAfterMaxLines) {
  quarrytest::TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  quarrytest::makeDirs("trace");
  KXIO::init(false, true, "trace/dyx.dbg", "", "", true);
  kxout.setCircular(3, "trace/dyx.dbg");
  // The start-up line went with the first generation.
  EXPECT_NE(quarrytest::readFile("trace/dyx.dbg.old").find("KXIO initialized."), std::string::npos);
  EXPECT_EQ(quarrytest::readFile("trace/dyx.dbg"), "");

  struct Step {
    int linesWritten;
    std::string live;
    std::string old;
  };
  const Step steps[] = {
      {2, "L1\nL2\n", ""},
      {3, "", "L1\nL2\nL3\n"},
      {4, "L4\n", "L1\nL2\nL3\n"},
      {7, "L7\n", "L4\nL5\nL6\n"},
  };
  int written = 0;
  for (const Step& s : steps) {
    while (written < s.linesWritten) {
      ++written;
      kxout << "L" << written << endl;
    }
    EXPECT_EQ(quarrytest::readFile("trace/dyx.dbg"), s.live) << "after " << written;
    if (!s.old.empty()) {
      EXPECT_EQ(quarrytest::readFile("trace/dyx.dbg.old"), s.old) << "after " << written;
    }
  }
}

TEST_F(TraceTest, EmptyCircularNameChangesNothing) {
  captureAll();
  StdCapture capture(std::cerr);
  kxout.setCircular(3, "");
  EXPECT_EQ(capture.text(), "KX(Ostream)::setCircular: Empty passed circular file name.\n");
  EXPECT_FALSE(kxout.target().circular());
  kxout << "still here" << endl;
  EXPECT_EQ(m_out.str(), "still here\n");
}

TEST(ActivityLogTest, OpenWritesLinesAndReopenEmpties) {
  quarrytest::TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  ActivityLog::open("dyx.log");
  ActivityLog::stream() << "Parse started"
                        << "\n"
                        << std::flush;
  ActivityLog::stream() << "ERROR: in file: a.fpm at line " << 3 << ". Skip the line." << std::endl;
  EXPECT_EQ(quarrytest::readFile("dyx.log"),
            "Parse started\nERROR: in file: a.fpm at line 3. Skip the line.\n");
  ActivityLog::open("dyx.log");
  EXPECT_EQ(quarrytest::readFile("dyx.log"), "");
  ActivityLog::close();
  StdCapture capture(std::cout);
  ActivityLog::stream() << "to stdout" << std::endl;
  EXPECT_EQ(capture.text(), "to stdout\n");
  EXPECT_EQ(quarrytest::readFile("dyx.log"), "");
}

TEST(KxDateTest, TextForms) {
  struct Case {
    KxDate date;
    const char* text;
  };
  const Case cases[] = {
      {KxDate(), "<undef>"},
      {KxDate(1970, 1, 1, 0, 0, 0, false), "1970.01.01 00:00:00.0000"},
      {KxDate(2009, 3, 7, 9, 5, 2, false), "2009.03.07 09:05:02.0000"},
      {KxDate(12345, 12, 31, 23, 59, 60, true), "12345.12.31 23:59:60.0000"},
      {KxDate(7, 1, 2, 3, 4, 5, false), "0007.01.02 03:04:05.0000"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.date.toString(), c.text) << c.text;
}

TEST(KxDateTest, ClockDatesInBothZones) {
  const std::regex shape(kStamp);
  for (bool utc : {false, true}) {
    KxDate now(utc);
    EXPECT_TRUE(now.defined);
    EXPECT_EQ(now.utc, utc);
    EXPECT_EQ(now.fraction, 0);
    EXPECT_TRUE(std::regex_match(now.toString(), shape)) << now.toString();
  }
}

TEST_F(TraceTest, DateInsertionFollowsEnabled) {
  captureAll();
  kxout << KxDate(2009, 3, 7, 9, 5, 2, false) << endl;
  kxout.setThreshold(KxLevel::kSilent);
  kxout << KxDate(2010, 1, 1, 0, 0, 0, false) << endl;
  EXPECT_EQ(m_out.str(), "2009.03.07 09:05:02.0000\n");
}

}  // namespace
