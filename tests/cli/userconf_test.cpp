// End-to-end tests of the user's own configuration through quarry-cli: user views whose entry
// records name files of the parse, launcher commands of the shipped conf/app.ini, and property
// files of conf/properties in criteria.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cli_testing.h"
#include "json_check.h"
#include "support/testutil.h"

using clitest::CliRun;
using clitest::runCli;
using clitest::splitLines;
using clitest::tsvFields;

namespace {

class UserConfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file("notes.txt", "alpha beta\ngamma\n");  // 2 lines, 3 words, 17 bytes
    file("photo.jpg", "x");
    file("sub/deep.txt", "one\n");
    // The first run makes the working directory with the shipped configuration.
    const CliRun first = run({tree()});
    ASSERT_EQ(first.exitCode, 0) << first.err;
  }

  void file(const std::string& rel, const std::string& content = "") {
    quarrytest::writeFile(m_tree / rel, content);
  }
  void conf(const std::string& rel, const std::string& content) {
    quarrytest::writeFile(m_work / ("conf/" + rel), content);
  }
  CliRun run(std::vector<std::string> args) { return runCli(m_work.path(), args); }
  const std::string& tree() const { return m_tree.path(); }
  std::string path(const std::string& rel) const { return m_tree / rel; }

  // "folder/name" of every row of a --list --format tsv output.
  static std::vector<std::string> rows(const std::string& tsv) {
    std::vector<std::string> out;
    for (const std::string& line : splitLines(tsv)) {
      const std::vector<std::string> f = tsvFields(line);
      if (f.size() >= 2) out.push_back(f[0] + "/" + f[1]);
    }
    return out;
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
};

// The view is built before the scan, when the pool is empty: its entry records must still find
// the files the scan makes.
TEST_F(UserConfTest, UserViewListsTheFilesOfItsEntryRecords) {
  conf("views/MyU.kx",
       "# U\nF / \"true\" \"<none>\"\nF \"./Mine\" \"true\" \"<none>\"\n"
       "F \"./Mine/Deep\" \"true\" \"<none>\"\n"
       "E \"./Mine\" \"" +
           path("notes.txt") + "\"\n" + "E \"./Mine/Deep\" \"" + path("sub/deep.txt") + "\"\n");
  const CliRun r = run({"-r", "-v", "MyU", "--list", "--format", "tsv", tree()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(rows(r.out), (std::vector<std::string>{"Mine/notes.txt", "Mine/Deep/deep.txt"}));
  // The totals count the view's folders and files, as the window's tree shows them.
  EXPECT_NE(r.err.find("Total: 2 folder(s), 2 file(s)"), std::string::npos) << r.err;
  // The saved index of the parse answers the same, its records found as after the scan.
  const CliRun saved = run({"--saved", "-v", "MyU", "--list", "--format", "tsv"});
  EXPECT_EQ(saved.exitCode, 0) << saved.err;
  EXPECT_EQ(rows(saved.out), rows(r.out));

  // Without -r the sub-folder is not parsed: the record that names a file there is left out,
  // and said so with the view's name and the file.
  const CliRun flat = run({"-v", "MyU", "--list", "--format", "tsv", tree()});
  EXPECT_EQ(flat.exitCode, 3) << flat.err;
  EXPECT_EQ(rows(flat.out), (std::vector<std::string>{"Mine/notes.txt"}));
  EXPECT_NE(flat.err.find("the view MyU names files that the parse does not hold"),
            std::string::npos)
      << flat.err;
  EXPECT_NE(flat.err.find(path("sub/deep.txt")), std::string::npos) << flat.err;
  // So does the saved index of that parse: the file it lacks is named there too.
  const CliRun flatSaved = run({"--saved", "-v", "MyU", "--list", "--format", "tsv"});
  EXPECT_EQ(flatSaved.exitCode, 3) << flatSaved.err;
  EXPECT_EQ(rows(flatSaved.out), (std::vector<std::string>{"Mine/notes.txt"}));
  EXPECT_NE(flatSaved.err.find(path("sub/deep.txt")), std::string::npos) << flatSaved.err;

  // A view whose records resolve nothing at all is not a silent, empty success.
  conf("views/Gone.kx",
       "# U\nF / \"true\" \"<none>\"\nF \"./X\" \"true\" \"<none>\"\n"
       "E \"./X\" \"/no/such/dir/file.txt\"\n");
  const CliRun gone = run({"-r", "-v", "Gone", "--list", "--format", "tsv", tree()});
  EXPECT_EQ(gone.exitCode, 3) << gone.err;
  EXPECT_TRUE(rows(gone.out).empty()) << gone.out;
  EXPECT_NE(gone.err.find("/no/such/dir/file.txt"), std::string::npos) << gone.err;
}

// The shipped command CountTextLines runs wc on text files: its four result variables become
// columns of every row, empty for a file it does not apply to.
TEST_F(UserConfTest, CommandAddsItsResultVariablesAsColumns) {
  const CliRun tsv =
      run({"-r", "--list", "--format", "tsv", "--command", "CountTextLines", tree()});
  ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
  std::map<std::string, std::vector<std::string>> results;  // name -> the added fields
  for (const std::string& line : splitLines(tsv.out)) {
    const std::vector<std::string> f = tsvFields(line);
    ASSERT_EQ(f.size(), 10u) << line;
    results[f[1]] = std::vector<std::string>(f.begin() + 6, f.end());
  }
  EXPECT_EQ(results["notes.txt"], (std::vector<std::string>{"2", "3", "17", path("notes.txt")}));
  EXPECT_EQ(results["deep.txt"], (std::vector<std::string>{"1", "1", "4", path("sub/deep.txt")}));
  EXPECT_EQ(results["photo.jpg"], (std::vector<std::string>{"", "", "", ""}));
  // The saved index of that parse runs the command on the same files.
  const CliRun saved = run({"--saved", "--list", "--format", "tsv", "--command", "CountTextLines"});
  EXPECT_EQ(saved.exitCode, 0) << saved.err;
  EXPECT_EQ(saved.out, tsv.out);

  const CliRun json =
      run({"-r", "--list", "--format", "json", "--command", "CountTextLines", tree()});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  std::string why;
  EXPECT_TRUE(jsoncheck::isValidJson(json.out, why)) << why << "\n" << json.out;
  EXPECT_NE(json.out.find("\"command\": \"CountTextLines\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"results\": {\"lines\": \"2\", \"words\": \"3\", \"bytes\": \"17\", "
                          "\"file\": \"" +
                          path("notes.txt") + "\"}"),
            std::string::npos)
      << json.out;

  // An unknown name and a command without --list are usage errors: nothing is listed.
  const struct {
    std::vector<std::string> args;
    std::string message;
  } kUsage[] = {
      {{"--list", "--command", "NoSuchCommand", tree()}, "unknown command 'NoSuchCommand'"},
      {{"--command", "CountTextLines", tree()}, "--command adds columns to --list"},
  };
  for (const auto& c : kUsage) {
    const CliRun r = run(c.args);
    EXPECT_EQ(r.exitCode, 2) << c.message;
    EXPECT_TRUE(r.out.empty()) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// Property files of conf/properties are loaded at start: criteria keep the files whose
// properties match, with or without the "$"; a property no file defines is a usage error; a
// damaged file is named with its line and costs nothing else.
TEST_F(UserConfTest, CriteriaUsePropertyFiles) {
  conf("properties/ratings.prp",
       "# notes.txt\nrating 5\nkeyword \"summer photos\"\n# photo.jpg\nrating 3\n");
  // Loaded after ratings.prp: its broken value must not replace photo.jpg's rating.
  conf("properties/zlater.prp", "# photo.jpg\nrating \"5\nmood happy\n");

  const struct {
    std::string criterion;
    std::vector<std::string> kept;
  } kCases[] = {
      {"$rating = 5", {"notes.txt"}},
      {"rating = 5", {"notes.txt"}},
      {"$rating = 3", {"photo.jpg"}},
      {"$keyword like \"summer*\"", {"notes.txt"}},
      {"$mood = happy", {"photo.jpg"}},
      {"$rating != 5", {"photo.jpg"}},  // a file without the property is not kept, also by "!="
  };
  for (const auto& c : kCases) {
    const CliRun r = run({"-r", "--list", "--format", "tsv", "-c", c.criterion, tree()});
    // Exit 3: the damaged file is named on standard error.
    EXPECT_EQ(r.exitCode, 3) << c.criterion << "\n" << r.err;
    std::vector<std::string> names;
    for (const std::string& line : splitLines(r.out)) names.push_back(tsvFields(line).at(1));
    EXPECT_EQ(names, c.kept) << c.criterion;
    EXPECT_NE(r.err.find("conf/properties/zlater.prp: line 2: "), std::string::npos)
        << c.criterion << "\n"
        << r.err;
  }

  const CliRun undefined = run({"-r", "-c", "$stars = 3 or $rating = 5", tree()});
  EXPECT_EQ(undefined.exitCode, 2) << undefined.err;
  EXPECT_TRUE(undefined.out.empty());
  EXPECT_NE(undefined.err.find("defines the property $stars"), std::string::npos) << undefined.err;
  EXPECT_EQ(undefined.err.find("defines the property $rating"), std::string::npos) << undefined.err;
}

}  // namespace
