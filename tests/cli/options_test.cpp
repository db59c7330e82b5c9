// The argument parser, the field escaping and the writers of quarry-cli, without the engine.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "json_check.h"

namespace {

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += "[" + a + "]";
  return text;
}

TEST(CliArguments, AcceptedForms) {
  struct Case {
    std::vector<std::string> args;
    std::string dir, view, criterion, find, listFolder;
    bool recursive, list, listOne;
    CliFormat format;
  };
  const CliFormat text = CliFormat::kText;
  const std::vector<Case> cases = {
      {{"D"}, "D", "Location", "", "", "", false, false, false, text},
      {{"-r", "-v", "Ext", "-c", "x", "-f", "abc", "D"},
       "D",
       "Ext",
       "x",
       "abc",
       "",
       true,
       false,
       false,
       text},
      {{"-rvExt", "D"}, "D", "Ext", "", "", "", true, false, false, text},
      {{"-cfoo", "-rf", "a b", "D"}, "D", "Location", "foo", "a b", "", true, false, false, text},
      {{"--view=Size", "--format=json", "--recursive", "D"},
       "D",
       "Size",
       "",
       "",
       "",
       true,
       false,
       false,
       CliFormat::kJson},
      {{"--criterion", "", "--format", "tsv", "D"},
       "D",
       "Location",
       "",
       "",
       "",
       false,
       false,
       false,
       CliFormat::kTsv},
      {{"--list", "D"}, "D", "Location", "", "", "", false, true, false, text},
      {{"D", "--list"}, "D", "Location", "", "", "", false, true, false, text},
      {{"--list", "sub/x", "D"}, "D", "Location", "", "", "sub/x", false, true, true, text},
      {{"--list=a b", "D"}, "D", "Location", "", "", "a b", false, true, true, text},
      {{"--list=", "D"}, "D", "Location", "", "", "", false, true, true, text},
      {{"--list", "-r", "D"}, "D", "Location", "", "", "", true, true, false, text},
      {{"--list=x", "--tree", "D"}, "D", "Location", "", "", "", false, false, false, text},
      {{"-c", "--list", "D"}, "D", "Location", "--list", "", "", false, false, false, text},
      {{"--", "-weird"}, "-weird", "Location", "", "", "", false, false, false, text},
      {{"-"}, "-", "Location", "", "", "", false, false, false, text},
      {{"-v", "A", "-v", "B", "D"}, "D", "B", "", "", "", false, false, false, text},
  };
  for (const Case& c : cases) {
    CliOptions o;
    std::string error;
    ASSERT_EQ(parseCliArguments(c.args, o, error), CliParseOutcome::kRun)
        << joined(c.args) << " " << error;
    EXPECT_EQ(o.dir, c.dir) << joined(c.args);
    EXPECT_EQ(o.viewTag, c.view) << joined(c.args);
    EXPECT_EQ(o.criterion, c.criterion) << joined(c.args);
    EXPECT_EQ(o.find, c.find) << joined(c.args);
    EXPECT_EQ(o.recursive, c.recursive) << joined(c.args);
    EXPECT_EQ(o.mode == CliMode::kList, c.list) << joined(c.args);
    EXPECT_EQ(o.listOneFolder, c.listOne) << joined(c.args);
    EXPECT_EQ(o.listFolder, c.listFolder) << joined(c.args);
    EXPECT_EQ(o.format, c.format) << joined(c.args);
  }
}

TEST(CliArguments, RefusedForms) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--bogus", "D"},
      {"-x", "D"},
      {"-rx", "D"},
      {"--format", "xml", "D"},
      {"--format=", "D"},
      {"D", "E"},
      {"--list", "a", "b", "c"},
      {"D", "-v"},
      {"D", "--criterion"},
      {"--view=", "D"},
      {"-v", "", "D"},
      {"--tree=x", "D"},
      {"--recursive=yes", "D"},
      {""},
      {"--", "D", "E"},
  };
  for (const auto& args : cases) {
    CliOptions o;
    std::string error;
    EXPECT_EQ(parseCliArguments(args, o, error), CliParseOutcome::kUsageError) << joined(args);
    EXPECT_FALSE(error.empty()) << joined(args);
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(CliArguments, HelpAndVersionNeedNoDirectory) {
  CliOptions o;
  std::string error;
  EXPECT_EQ(parseCliArguments({"-h"}, o, error), CliParseOutcome::kHelp);
  EXPECT_EQ(parseCliArguments({"-r", "--help", "D", "E"}, o, error), CliParseOutcome::kHelp);
  EXPECT_EQ(parseCliArguments({"--version"}, o, error), CliParseOutcome::kVersion);
  EXPECT_EQ(parseCliArguments({"--bogus", "--help"}, o, error), CliParseOutcome::kUsageError);
}

TEST(CliEscaping, Tsv) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},           {"plain name.txt", "plain name.txt"},
               {"a\tb", "a\\tb"},  {"a\nb", "a\\nb"},
               {"a\\b", "a\\\\b"}, {"\\t", "\\\\t"},
               {"cr\r", "cr\r"},   {"\xff\xfe", "\xff\xfe"}};
  for (const auto& c : cases) EXPECT_EQ(escapeTsv(c.in), c.out) << c.in;
}

TEST(CliEscaping, JsonKeepsUtf8AndEscapesEverythingElse) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"\"q\"", "\\\"q\\\""},
      {"a\\b", "a\\\\b"},
      {"\n\t\r\b\f", "\\n\\t\\r\\b\\f"},
      {"\x01\x1f", "\\u0001\\u001f"},
      {std::string("nul\0in", 6), "nul\\u0000in"},
      {"del\x7f", "del\x7f"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},  // four bytes, U+1F600
      {"\xef\xbf\xbf", "\xef\xbf\xbf"},          // U+FFFF
      // Every byte that is not part of a valid sequence becomes U+FFFD.
      {"a\xffz", "a\xef\xbf\xbdz"},                              // never valid
      {"caf\xc3", "caf\xef\xbf\xbd"},                            // cut short at the end
      {"\xe2\x82z", "\xef\xbf\xbd\xef\xbf\xbdz"},                // cut short
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong "/"
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // past U+10FFFF
      {"\x80\xc3\xa9", "\xef\xbf\xbd\xc3\xa9"},  // a stray continuation byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escapeJson(c.in), c.out) << c.in;
    std::string why;
    EXPECT_TRUE(jsoncheck::isValidJson("\"" + escapeJson(c.in) + "\"", why)) << c.in << why;
  }
  // Every single byte, and every pair of bytes, gives a valid string.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string in = {static_cast<char>(a), static_cast<char>(b)};
      std::string why;
      ASSERT_TRUE(jsoncheck::isValidJson("\"" + escapeJson(in) + "\"", why)) << a << " " << b;
    }
  }
}

TEST(CliEscaping, Utf8CheckAndBase64) {
  const struct {
    std::string in;
    bool valid;
    std::string base64;
  } cases[] = {
      // The test vectors of RFC 4648.
      {"", true, ""},
      {"f", true, "Zg=="},
      {"fo", true, "Zm8="},
      {"foo", true, "Zm9v"},
      {"foob", true, "Zm9vYg=="},
      {"fooba", true, "Zm9vYmE="},
      {"foobar", true, "Zm9vYmFy"},
      // High bytes, and every digit of the alphabet's end.
      {"\xff\xfe\xfd", false, "//79"},
      {"\xfb\xef\xbe", false, "++++"},
      {"caf\xc3\xa9", true, "Y2Fmw6k="},
      {"caf\xc3", false, "Y2Fmww=="},
      {"\xed\xa0\x80", false, "7aCA"},
      {std::string("a\0b", 3), true, "YQBi"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.in), c.valid) << c.base64;
    EXPECT_EQ(base64(c.in), c.base64) << c.base64;
  }
}

TEST(CliEscaping, TextShowsControlBytesAndKeepsTheRest) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain name", "plain name"},
      {"esc\x1b[2Jx", "esc\\x1b[2Jx"},
      {"tab\tnl\ncr\r", "tab\\x09nl\\x0acr\\x0d"},
      {std::string("nul\0", 4), "nul\\x00"},
      {"del\x7f", "del\\x7f"},
      {"csi\xc2\x9b", "csi\\xc2\\x9b"},          // U+009B, a C1 control
      {"lone\x9b", "lone\\x9b"},                 // the same control as a lone byte
      {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},          // U+00A0 is no control
      {"latin1-\xe9t\xe9", "latin1-\xe9t\xe9"},  // bad UTF-8 kept as it is
      {"back\\slash", "back\\slash"},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeText(c.in), c.out) << c.out;
}

CliReport sampleReport(bool withRows) {
  CliReport report;
  report.viewTag = "Ext";
  report.withRows = withRows;
  CliFolder txt{"txt", "txt", 0, 2, {}};
  CliFolder sub{"txt/deeper", "deeper", 1, 0, {}};
  if (withRows) {
    txt.rows = {{"a.txt", "3 oct.", "/d/a.txt", "2004/03/05 10:00:00", 3},
                {"long name.txt", "1.5 Ko", "/d/long name.txt", "2004/03/06 10:00:00", 1536}};
  }
  report.folders = {txt, sub};
  return report;
}

std::string written(const CliReport& report, CliFormat format) {
  std::ostringstream out;
  writeReport(report, format, out);
  return out.str();
}

TEST(CliWriters, ExactShapes) {
  EXPECT_EQ(written(sampleReport(false), CliFormat::kText), "txt  2\n  deeper  0\n");
  EXPECT_EQ(written(sampleReport(false), CliFormat::kTsv), "txt\t2\ntxt/deeper\t0\n");
  EXPECT_EQ(written(sampleReport(false), CliFormat::kJson),
            "{\"view\": \"Ext\", \"folders\": [\n"
            "  {\"path\": \"txt\", \"fileCount\": 2},\n"
            "  {\"path\": \"txt/deeper\", \"fileCount\": 0}\n"
            "]}\n");
  EXPECT_EQ(written(sampleReport(true), CliFormat::kText),
            "txt\n"
            "  a.txt          3 oct.  /d/a.txt          2004/03/05 10:00:00\n"
            "  long name.txt  1.5 Ko  /d/long name.txt  2004/03/06 10:00:00\n");
  EXPECT_EQ(written(sampleReport(true), CliFormat::kTsv),
            "txt\ta.txt\t3\t3 oct.\t/d/a.txt\t2004/03/05 10:00:00\n"
            "txt\tlong name.txt\t1536\t1.5 Ko\t/d/long name.txt\t2004/03/06 10:00:00\n");
  const std::string json = written(sampleReport(true), CliFormat::kJson);
  std::string why;
  EXPECT_TRUE(jsoncheck::isValidJson(json, why)) << why << json;
  EXPECT_NE(json.find("{\"name\": \"long name.txt\", \"size\": 1536, \"sizeText\": \"1.5 Ko\", "
                      "\"location\": \"/d/long name.txt\", \"modified\": \"2004/03/06 10:00:00\"}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"path\": \"txt/deeper\", \"fileCount\": 0, \"files\": []}"),
            std::string::npos)
      << json;
}

}  // namespace
