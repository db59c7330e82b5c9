// End-to-end tests: the real quarry-cli on trees built here, in an empty working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli_testing.h"
#include "json_check.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using clitest::CliRun;
using clitest::runCli;
using clitest::splitLines;
using clitest::tsvFields;

namespace {

constexpr std::uintmax_t kAnySize = ~std::uintmax_t{0};

// A working directory and a tree to parse, both removed afterwards.
class CliTest : public ::testing::Test {
 protected:
  void file(const std::string& rel, const std::string& content = "") {
    quarrytest::writeFile(m_tree / rel, content);
  }
  // A sparse file of exactly `size` bytes.
  void sizedFile(const std::string& rel, std::uintmax_t size) {
    file(rel);
    fs::resize_file(m_tree / rel, size);
  }
  CliRun run(std::vector<std::string> args) { return runCli(m_work.path(), args); }
  const std::string& tree() const { return m_tree.path(); }

  // The rows of `--list --format tsv`: (folder path, name, size, location) per line.
  struct Row {
    std::string folder, name, location;
    std::uintmax_t size = 0;
  };
  std::vector<Row> listRows(std::vector<std::string> args) {
    args.insert(args.end(), {"--list", "--format", "tsv", tree()});
    const CliRun r = run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Row> rows;
    for (const std::string& line : splitLines(r.out)) {
      const std::vector<std::string> f = tsvFields(line);
      EXPECT_EQ(f.size(), 6u) << line;
      if (f.size() != 6) continue;
      rows.push_back({f[0], f[1], f[4], std::stoull(f[2])});
    }
    return rows;
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
};

}  // namespace

// The Location view holds exactly the files that `find DIR ! -type d` lists, with their sizes,
// whatever bytes their names hold, and each in the folder of its own directory.
TEST_F(CliTest, LocationViewListsEveryFileOfTheTree) {
  file("plain.txt", "hello");
  file(".hidden", "x");
  file("with space.doc", std::string(2000, 'a'));
  file("sub/inner.bin", std::string(70000, 'b'));
  file("sub/deeper/empty");
  file("sub/deeper/tab\there");
  file("sub/new\nline");
  file("back\\slash");
  file(std::string("bad\xff\xfe") + "utf8");
  file("sub/deeper/still/deeper/leaf.c", "int main;");
  fs::create_directories(m_tree / "emptydir/nothing");
  // Links are files of their own, as for find: a loop is not followed, a dangling one is kept.
  fs::create_directory_symlink("..", m_tree / "sub/loop");
  fs::create_symlink("/nonexistent/target", m_tree / "dangling");
  fs::create_symlink("plain.txt", m_tree / "to-plain");

  // find DIR ! -type d. A link has the size of its target; one that leads nowhere has its own,
  // as stat shows it; the size of a link to a directory depends on the file system and is not
  // compared.
  std::map<std::string, std::uintmax_t> expected;  // full path -> size
  for (const auto& e : fs::recursive_directory_iterator(tree())) {
    std::error_code ec;
    if (e.is_symlink() && fs::is_directory(e.path(), ec)) {
      expected[e.path().string()] = kAnySize;
    } else if (e.is_symlink() || !e.is_directory()) {
      const std::uintmax_t size = fs::file_size(e.path(), ec);
      expected[e.path().string()] = ec ? fs::read_symlink(e.path()).string().size() : size;
    }
  }

  std::map<std::string, std::uintmax_t> listed;
  for (const Row& row : listRows({"-r"})) {
    const std::uintmax_t size =
        expected.count(row.location) != 0 && expected.at(row.location) == kAnySize ? kAnySize
                                                                                   : row.size;
    EXPECT_TRUE(listed.emplace(row.location, size).second) << "twice: " << row.location;
    const std::string dir = fs::path(row.location).parent_path().string();
    EXPECT_EQ("/" + row.folder, dir) << row.location;
    EXPECT_EQ(fs::path(row.location).filename().string(), row.name);
  }
  EXPECT_EQ(listed, expected);
}

TEST_F(CliTest, WithoutRecursionOnlyTheDirectoryItselfIsParsed) {
  file("top.txt");
  file("sub/below.txt");
  std::set<std::string> names;
  for (const Row& row : listRows({})) names.insert(row.name);
  EXPECT_EQ(names, (std::set<std::string>{"top.txt"}));
}

// Each file lands in the folder that its size calls for; the bounds are the interesting sizes.
TEST_F(CliTest, SizeViewPlacesEachFileInItsRange) {
  const std::vector<std::pair<std::uintmax_t, std::string>> sizes = {
      {0, "<null>"},           {1, "0 to 1Ko"},           {1024, "0 to 1Ko"},
      {1025, "1 to 10Ko"},     {10240, "1 to 10Ko"},      {10241, "10 to 100Ko"},
      {102400, "10 to 100Ko"}, {102401, "100Ko to 1Mo"},  {1048575, "100Ko to 1Mo"},
      {1048576, "1 to 10Mo"},  {10485760, "10 to 100Mo"}, {104857600, "100Mo to 1Go"}};
  std::map<std::string, std::string> sizeFolder;
  for (const auto& [size, folder] : sizes) {
    const std::string name = "s" + std::to_string(size);
    sizedFile(name, size);
    sizeFolder[name] = folder;
  }
  for (const Row& row : listRows({"-v", "Size"})) {
    ASSERT_TRUE(sizeFolder.count(row.name)) << row.name;
    EXPECT_EQ(row.folder, sizeFolder[row.name]) << row.name;
    EXPECT_EQ(row.size, std::stoull(row.name.substr(1))) << row.name;
    sizeFolder.erase(row.name);
  }
  EXPECT_TRUE(sizeFolder.empty()) << sizeFolder.size() << " files not listed";
}

// Each file lands in the folder of its last extension, lower-cased; no extension, "<empty>".
TEST_F(CliTest, ExtViewPlacesEachFileByItsExtension) {
  const std::map<std::string, std::string> extFolder = {
      {"photo.JPG", "jpg"}, {"archive.tar.gz", "gz"}, {"Makefile", "<empty>"},
      {"notes.txt", "txt"}, {"UPPER.TXT", "txt"},     {"a.b.c.d", "d"}};
  for (const auto& [name, folder] : extFolder) file(name);
  std::size_t seen = 0;
  for (const Row& row : listRows({"-v", "Ext"})) {
    ASSERT_TRUE(extFolder.count(row.name)) << row.name;
    EXPECT_EQ(row.folder, extFolder.at(row.name)) << row.name;
    ++seen;
  }
  EXPECT_EQ(seen, extFolder.size());
}

TEST_F(CliTest, CriterionKeepsOnlyTheFilesItAccepts) {
  for (const char* name : {"a.txt", "B.TXT", "c.md", "d.txt.bak", "txt", "sub/e.txt"}) file(name);
  std::set<std::string> names;
  for (const Row& row : listRows({"-r", "-c", "$Ext=\"txt\""})) names.insert(row.name);
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "B.TXT", "e.txt"}));
}

// A criterion that does not parse is a usage error: each of the parser's messages goes to
// standard error with the criterion, and the engine does not even start (no scan, no trace
// folder). One that parses is run, even when it keeps nothing.
TEST_F(CliTest, CriterionThatDoesNotParseIsAUsageErrorWithTheParsersMessages) {
  file("a1.txt");
  file("My File.txt");
  const struct {
    const char* criterion;
    const char* err;  // standard error exactly, for a usage error
  } refused[] = {
      {"($Ext=bin", "quarry-cli: criterion '($Ext=bin': Missing a closing parenthesis.\n"},
      {"$Ext=bin or false",
       "quarry-cli: criterion '$Ext=bin or false': Cannot parse the expression: Returns None: "
       "false\n"},
      {"$Name = \"a1.txt",
       "quarry-cli: criterion '$Name = \"a1.txt': Missing a closing double "
       "quote.\n"},
      {"(x = 1 or y",
       "quarry-cli: criterion '(x = 1 or y': Missing a closing parenthesis.\n"
       "quarry-cli: criterion '(x = 1 or y': Cannot parse the expression: Returns "
       "None: y\n"},
      // Control bytes cannot reach the terminal.
      {"\x1b[2J = 1",
       "quarry-cli: criterion '?[2J = 1': Cannot parse the expression: Returns "
       "None: ?[2J = 1\n"},
  };
  for (const auto& c : refused) {
    const CliRun r = run({"-c", c.criterion, "--list", "--format", "tsv", tree()});
    EXPECT_EQ(r.exitCode, 2) << c.criterion;
    EXPECT_EQ(r.out, "") << c.criterion;
    EXPECT_EQ(r.err, c.err) << c.criterion;
    EXPECT_FALSE(fs::exists(m_work / "trace")) << c.criterion;
  }

  const struct {
    const char* criterion;
    std::set<std::string> names;
  } accepted[] = {
      {"not true", {}},
      {"$Name = \"My File.txt\"", {"My File.txt"}},
      {"$Name = \"a1.txt\" or $Name = \"my file.txt\"", {"a1.txt", "My File.txt"}},
  };
  for (const auto& c : accepted) {
    const CliRun r = run({"-c", c.criterion, "--list", "--format", "tsv", tree()});
    EXPECT_EQ(r.exitCode, 0) << c.criterion << r.err;
    EXPECT_EQ(r.err.find("criterion"), std::string::npos) << c.criterion << r.err;
    std::set<std::string> names;
    for (const std::string& line : splitLines(r.out)) names.insert(tsvFields(line).at(1));
    EXPECT_EQ(names, c.names) << c.criterion;
  }
}

// The Find box folds both the names and the typed text to lower case.
TEST_F(CliTest, FindMatchesCaseAsTheFindBox) {
  for (const char* name : {"ABC.txt", "xabcx.doc", "other.txt", "aBc"}) file(name);
  const std::vector<std::pair<std::string, std::set<std::string>>> cases = {
      {"abc", {"ABC.txt", "xabcx.doc", "aBc"}},
      {"Abc", {"ABC.txt", "xabcx.doc", "aBc"}},
      {"x", {"ABC.txt", "xabcx.doc", "other.txt"}},
      {".TXT", {"ABC.txt", "other.txt"}},
      {"Abd", {}},
      {"", {"ABC.txt", "xabcx.doc", "other.txt", "aBc"}}};
  for (const auto& [text, expected] : cases) {
    std::set<std::string> names;
    for (const Row& row : listRows({"--find", text})) names.insert(row.name);
    EXPECT_EQ(names, expected) << "find " << text;
  }
  // The tree counts what the list would show; the totals count every file.
  const CliRun r = run({"-f", "abc", "--format", "tsv", tree()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = splitLines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(tsvFields(lines.back()).at(1), "3") << r.out;
  EXPECT_NE(r.err.find(", 4 file(s)"), std::string::npos) << r.err;
}

TEST_F(CliTest, TreeTextIndentsAndTotalsGoToStandardError) {
  sizedFile("one", 1);
  sizedFile("two", 2000);
  sizedFile("three", 3000);
  const CliRun r = run({"-v", "Size", tree()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "0 to 1Ko  1\n1 to 10Ko  2\n");
  EXPECT_EQ(r.err, "Total: 2 folder(s), 3 file(s)\n");

  const CliRun loc = run({"-r", tree()});
  ASSERT_EQ(loc.exitCode, 0) << loc.err;
  const std::vector<std::string> lines = splitLines(loc.out);
  const std::vector<std::string> parts = [&] {
    std::vector<std::string> p;
    for (const auto& part : fs::path(tree())) {
      if (part != "/") p.push_back(part.string());
    }
    return p;
  }();
  ASSERT_EQ(lines.size(), parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string count = i + 1 == parts.size() ? "3" : "0";
    EXPECT_EQ(lines[i], std::string(2 * i, ' ') + parts[i] + "  " + count);
  }
  EXPECT_EQ(loc.err, "Total: " + std::to_string(parts.size()) + " folder(s), 3 file(s)\n");
}

// Folders come depth first, each before its sub-folders, sub-folders by name; files in the
// folder's order (by name, byte-wise).
TEST_F(CliTest, OrderIsStable) {
  for (const char* name : {"b/z", "b/a", "a/y/q", "a/x", "B/k", "top2", "Top1"}) file(name);
  const CliRun r = run({"-r", "--list", "--format", "tsv", tree()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string root = tree().substr(1);
  std::vector<std::string> got;
  for (const std::string& line : splitLines(r.out)) {
    const auto f = tsvFields(line);
    got.push_back(f.at(0).substr(std::min(root.size(), f.at(0).size())) + "|" + f.at(1));
  }
  EXPECT_EQ(got,
            (std::vector<std::string>{"|Top1", "|top2", "/B|k", "/a|x", "/a/y|q", "/b|a", "/b|z"}));
}

TEST_F(CliTest, ListOfOneFolderAddsTheSelectedFolderToTheTotals) {
  file("keep/one.txt");
  file("keep/two.txt");
  file("keep/three.md");
  file("other/four.txt");
  const std::string folder = tree().substr(1) + "/keep";
  const CliRun r = run({"-r", "--find", "o", "--list=" + folder, "--format", "tsv", tree()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> names;
  for (const std::string& line : splitLines(r.out)) names.push_back(tsvFields(line).at(1));
  EXPECT_EQ(names, (std::vector<std::string>{"one.txt", "two.txt"}));
  EXPECT_NE(r.err.find(" file(s). Selected folder: keep: 2 file(s)\n"), std::string::npos) << r.err;

  // The folder also follows --list as a word of its own when the directory comes after it.
  const CliRun spaced = run({"-r", "--list", "/" + folder + "/", tree()});
  ASSERT_EQ(spaced.exitCode, 0) << spaced.err;
  EXPECT_NE(spaced.out.find("one.txt"), std::string::npos);
  EXPECT_EQ(spaced.out.find("four.txt"), std::string::npos);

  const CliRun missing = run({"-r", "--list=no/such/folder", tree()});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("no/such/folder"), std::string::npos) << missing.err;
}

TEST_F(CliTest, DirectoryThatCannotBeListedExitsOne) {
  file("a.txt");
  for (const std::string& dir : {m_tree / "does-not-exist", m_tree / "a.txt"}) {
    const CliRun r = run({"--list", dir});
    EXPECT_EQ(r.exitCode, 1) << dir;
    EXPECT_EQ(r.out, "") << dir;
    const std::string reason =
        dir == m_tree / "a.txt" ? "Not a directory" : "No such file or directory";
    EXPECT_EQ(r.err, "quarry-cli: " + dir + ": " + reason + "\n");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST_F(CliTest, UsageErrorsExitTwoWithOneMessage) {
  file("a.txt");
  const std::vector<std::vector<std::string>> cases = {{"--bogus", tree()},
                                                       {"-x", tree()},
                                                       {"--format", "xml", tree()},
                                                       {},
                                                       {tree(), tree()},
                                                       {tree(), "-v"},
                                                       {"--view=", tree()},
                                                       {"--dump=yes", tree()},
                                                       {"-v", "NoSuchView", tree()},
                                                       {"-c"},
                                                       {"--recursive"}};
  for (const auto& args : cases) {
    const CliRun r = run(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.exitCode, 2) << shown << r.err;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << r.err;
    EXPECT_EQ(r.err.rfind("quarry-cli: ", 0), 0u) << shown << r.err;
  }
  const CliRun help = run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: quarry-cli", 0), 0u) << help.out;
  const CliRun version = run({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.out.find(std::string(") ") + QUARRY_VERSION + "\n"), std::string::npos)
      << version.out;
}

// Hostile names survive both machine formats: tsv escapes its separators, json stays a valid
// document whatever the bytes.
TEST_F(CliTest, TsvAndJsonEscapeHostileNames) {
  file("tab\tname");
  file("new\nline");
  file("back\\slash");
  file("quote\"d");
  file(std::string("latin1-\xe9t\xe9"));
  file("ctrl\x01");
  file("caf\xc3\xa9");

  const CliRun tsv = run({"--list", "--format", "tsv", tree()});
  ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
  const std::string& t = tsv.out;
  EXPECT_NE(t.find("\ttab\\tname\t"), std::string::npos) << t;
  EXPECT_NE(t.find("\tnew\\nline\t"), std::string::npos) << t;
  EXPECT_NE(t.find("\tback\\\\slash\t"), std::string::npos) << t;
  EXPECT_NE(t.find("/tab\\tname\t"), std::string::npos) << t;  // the location column too
  for (const std::string& line : splitLines(t)) EXPECT_EQ(tsvFields(line).size(), 6u) << line;
  EXPECT_EQ(splitLines(t).size(), 7u);

  const CliRun json = run({"--list", "--format", "json", tree()});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const std::string& j = json.out;
  std::string why;
  EXPECT_TRUE(jsoncheck::isValidJson(j, why)) << why << "\n" << j;
  EXPECT_NE(j.find("\"tab\\tname\""), std::string::npos) << j;
  EXPECT_NE(j.find("\"new\\nline\""), std::string::npos) << j;
  EXPECT_NE(j.find("\"back\\\\slash\""), std::string::npos) << j;
  EXPECT_NE(j.find("\"quote\\\"d\""), std::string::npos) << j;
  EXPECT_NE(j.find("\"latin1-\xef\xbf\xbdt\xef\xbf\xbd\", \"nameBytes\": \"bGF0aW4xLel06Q==\""),
            std::string::npos)
      << j;
  EXPECT_NE(j.find("\"ctrl\\u0001\""), std::string::npos) << j;
  EXPECT_NE(j.find("\"caf\xc3\xa9\""), std::string::npos) << j;
  EXPECT_EQ(j.rfind("{\"view\": \"Location\", \"folders\": [", 0), 0u) << j;

  const CliRun tree = run({"--format", "json", "-v", "Ext", m_tree.path()});
  ASSERT_EQ(tree.exitCode, 0) << tree.err;
  EXPECT_TRUE(jsoncheck::isValidJson(tree.out, why)) << why << "\n" << tree.out;
  EXPECT_EQ(tree.out.find("\"files\""), std::string::npos) << tree.out;
  EXPECT_NE(tree.out.find("{\"path\": \"<empty>\", \"fileCount\": 7}"), std::string::npos)
      << tree.out;
}

namespace {

// Standard base64 back to bytes (written here, apart from the program's encoder).
std::string fromBase64(const std::string& text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    const std::size_t value = digits.find(c);
    if (value == std::string::npos) return "<not base64>";
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

// Every value of `"key": "..."` in the document, in order (values without escapes only).
std::vector<std::string> jsonValues(const std::string& json, const std::string& key) {
  std::vector<std::string> values;
  const std::string lead = "\"" + key + "\": \"";
  for (std::size_t at = json.find(lead); at != std::string::npos; at = json.find(lead, at + 1)) {
    const std::size_t begin = at + lead.size();
    values.push_back(json.substr(begin, json.find('"', begin) - begin));
  }
  return values;
}

}  // namespace

// Names and directories that are not UTF-8: the JSON stays strict (U+FFFD, no lone surrogate),
// and the base64 fields give back exactly the bytes of every such name, location and folder
// path; a field that is valid UTF-8 gets no such companion. Text shows the exact bytes, apart
// from control bytes.
TEST_F(CliTest, JsonOfNamesThatAreNotUtf8IsStrictAndKeepsTheBytes) {
  const std::string badDir = "dir\xfe\xff";
  const std::vector<std::string> badNames = {"latin1-\xe9t\xe9", "cut\xe2\x82", "sur\xed\xa0\x80"};
  for (const std::string& name : badNames) file(name);
  file(badDir + "/inner.txt");
  file("good-caf\xc3\xa9");
  file("esc\x1b[31mred");

  const CliRun r = run({"-r", "--list", "--format", "json", tree()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string why;
  EXPECT_TRUE(jsoncheck::isValidJson(r.out, why)) << why << "\n" << r.out;
  EXPECT_EQ(r.out.find("\\ud"), std::string::npos) << r.out;

  std::set<std::string> names;
  for (const std::string& b : jsonValues(r.out, "nameBytes")) names.insert(fromBase64(b));
  EXPECT_EQ(names, std::set<std::string>(badNames.begin(), badNames.end()));
  std::set<std::string> locations;
  for (const std::string& b : jsonValues(r.out, "locationBytes")) {
    locations.insert(fromBase64(b));
  }
  std::set<std::string> expectedLocations = {tree() + "/" + badDir + "/inner.txt"};
  for (const std::string& name : badNames) expectedLocations.insert(tree() + "/" + name);
  EXPECT_EQ(locations, expectedLocations);
  std::set<std::string> paths;
  for (const std::string& b : jsonValues(r.out, "pathBytes")) paths.insert(fromBase64(b));
  EXPECT_EQ(paths, std::set<std::string>{tree().substr(1) + "/" + badDir});
  EXPECT_NE(r.out.find("\"name\": \"inner.txt\", \"size\""), std::string::npos) << r.out;

  const CliRun text = run({"-r", "--list", tree()});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("latin1-\xe9t\xe9"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(badDir + "/inner.txt"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("esc\\x1b[31mred"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos) << text.out;
}

TEST_F(CliTest, EmptyDirectoryGivesEmptyButValidOutput) {
  for (const char* format : {"text", "tsv", "json"}) {
    const CliRun r = run({"--list", "--format", format, tree()});
    EXPECT_EQ(r.exitCode, 0) << format << r.err;
    EXPECT_EQ(r.err, "Total: 0 folder(s), 0 file(s)\n") << format;
    if (std::string(format) == "json") {
      EXPECT_EQ(r.out, "{\"view\": \"Location\", \"folders\": []}\n");
    } else {
      EXPECT_EQ(r.out, "") << format;
    }
  }
}

// The engine's files go below the working directory, which needs no trace/ beforehand; the
// dump and the progress lines appear when asked for.
TEST_F(CliTest, WorkingDirectoryFilesProgressAndDump) {
  file("a/b/c.txt");
  const CliRun r = run({"-r", "--progress", "--dump", tree()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(quarrytest::fileExists(m_work / "trace/dyx.log"));
  EXPECT_TRUE(quarrytest::fileExists(m_work / "trace/dyxdump_.trc"));
  EXPECT_NE(quarrytest::readFile(m_work / "trace/dyxdump_.trc").find("c.txt"), std::string::npos);
  const std::vector<std::string> lines = splitLines(r.err);
  for (const std::string& dir : {tree(), m_tree / "a", m_tree / "a/b"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), dir), lines.end()) << dir << "\n" << r.err;
  }
  // Without --progress and without a terminal, standard error holds the totals alone.
  const CliRun quiet = run({"-r", tree()});
  EXPECT_EQ(quiet.err.rfind("Total: ", 0), 0u) << quiet.err;
  EXPECT_EQ(std::count(quiet.err.begin(), quiet.err.end(), '\n'), 1) << quiet.err;
}

// A relative directory is taken from the directory the program was called from (here also its
// working directory; start_test.cpp has them apart).
TEST_F(CliTest, RelativeDirectoryIsResolvedAgainstTheCallingDirectory) {
  quarrytest::writeFile(m_work / "here/x.txt", "12");
  const CliRun r = run({"--list", "--format", "tsv", "here"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> fields = tsvFields(splitLines(r.out).at(0));
  EXPECT_EQ(fields.at(4), m_work / "here/x.txt");
  EXPECT_EQ(fields.at(2), "2");
}
