// quarry-cli over the hostile tree of the engine's robustness suite: the real binary parses it
// recursively in bounded time while files come and go, lists every regular file with its size
// in every output format, and every view of it can be printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../dyxcore/hostile_tree_testing.h"
#include "cli_testing.h"
#include "json_check.h"
#include "support/testutil.h"

namespace {

using namespace std::chrono_literals;
using clitest::CliRun;
using clitest::runCli;
using clitest::splitLines;
using clitest::tsvFields;
using hostile::printable;

class CliHostileTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quarrytest::makeDirs(m_work.path() + "/conf");
    quarrytest::writeFile(m_work / "conf/pref.ini", "TraceLevel \"SILENT\"\n");
    hostile::dir(tree());
  }
  void TearDown() override { hostile::removeTree(tree()); }

  std::string tree() const { return m_root.path() + "/tree"; }
  CliRun run(const std::vector<std::string>& args) { return runCli(m_work.path(), args); }

  quarrytest::TempDir m_root;
  quarrytest::TempDir m_work;
};

TEST_F(CliHostileTreeTest, RecursiveListHasEveryRegularFileWithItsSize) {
  {
    hostile::Watchdog watchdog("building the tree", 240s);
    hostile::buildTree(tree());
  }
  std::map<std::string, std::uint64_t> expected;
  hostile::regularFiles(tree(), expected);

  CliRun r;
  {
    hostile::Churn churn(tree() + "/churn");
    // runCli kills the program after two minutes: a hang fails the test.
    r = run({"-r", "--list", "--format", "tsv", tree()});
  }
  ASSERT_EQ(r.exitCode, 0) << r.err.substr(0, 2000);

  // (folder, name, size, size text, location, modified) per row; locations are full paths.
  std::map<std::string, std::uint64_t> listed;
  for (const std::string& line : splitLines(r.out)) {
    const std::vector<std::string> f = tsvFields(line);
    ASSERT_EQ(f.size(), 6u) << printable(line);
    listed[f[4]] = std::stoull(f[2]);
  }
  int missing = 0;
  for (const auto& [path, size] : expected) {
    const auto it = listed.find(path);
    if (it == listed.end()) {
      if (++missing <= 10) ADD_FAILURE() << "not listed: " << printable(path);
    } else if (::access(path.c_str(), R_OK) == 0) {
      // A file that cannot be opened (when not run as root) is an entry in error: its presence
      // is what counts.
      EXPECT_EQ(it->second, size) << printable(path);
    }
  }
  EXPECT_EQ(missing, 0);
  for (const char* name : {"links/self", "links/root", "links/loopA", "links/dangling",
                           "special/fifo", "special/socket"}) {
    EXPECT_EQ(listed.count(tree() + "/" + name), 1u) << name;
  }
}

TEST_F(CliHostileTreeTest, EveryViewAndFormatPrintsTheTree) {
  hostile::TreeOptions options;
  options.manyFiles = 200;
  hostile::buildTree(tree(), options);
  const std::vector<std::string> views = {"Location", "Flat",  "Name",  "Ext",  "Size",
                                          "MTime",    "Owner", "Group", "Type", "Status"};
  for (const std::string& view : views) {
    for (const char* format : {"text", "tsv", "json"}) {
      for (const bool list : {false, true}) {
        std::vector<std::string> args = {"-r", "-v", view, "--format", format};
        if (list) args.push_back("--list");
        args.push_back(tree());
        const CliRun r = run(args);
        const std::string what = view + " " + format + (list ? " list" : " tree");
        ASSERT_EQ(r.exitCode, 0) << what << "\n" << r.err.substr(0, 2000);
        EXPECT_FALSE(r.out.empty()) << what;
        if (std::string(format) == "json") {
          std::string why;
          EXPECT_TRUE(jsoncheck::isValidJson(r.out, why)) << what << ": " << why;
        }
      }
    }
  }
}

}  // namespace
