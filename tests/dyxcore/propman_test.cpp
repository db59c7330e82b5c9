// The entry property store: records, values and property files.
#include "dyxcore/propman.h"

#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::TraceCapture;

// The whole store as text: one line per key with its pair, for exact comparisons.
std::string dumpStore(const DyxEntryProperty& store) {
  std::string out;
  for (const auto& [fileName, record] : store.records()) {
    out += "[" + fileName + "]\n";
    for (const auto& [key, pair] : record->properties()) {
      out += key + "=(" + pair.first + "," + pair.second + ")\n";
    }
  }
  return out;
}

class PropertyStoreTest : public ::testing::Test {
 protected:
  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd{m_dir.path()};
};

TEST_F(PropertyStoreTest, RecordsByExactFileName) {
  DyxEntryProperty store;
  {
    TraceCapture trace;
    EXPECT_EQ(store.getRecord("", true), nullptr);
    EXPECT_TRUE(trace.has("The given file name is empty."));
  }
  EXPECT_EQ(store.getRecord("report.doc", false), nullptr);
  DyxPropertyRecord* record = store.getRecord("report.doc", true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(store.getRecord("report.doc", false), record);
  EXPECT_EQ(store.getRecord("Report.doc", false), nullptr);  // names differ only in case
  EXPECT_TRUE(store.removeRecord("report.doc"));
  EXPECT_FALSE(store.removeRecord("report.doc"));
  EXPECT_EQ(store.size(), 0u);
}

TEST_F(PropertyStoreTest, ValuesNamesAndDuplicates) {
  DyxPropertyRecord record;
  EXPECT_EQ(record.getValue("rating"), nullptr);
  record.setValue("rating", "5");
  record.setValue("rating", "6");
  ASSERT_NE(record.getValue("rating"), nullptr);
  EXPECT_EQ(*record.getValue("rating"), "6");

  // Names the check refuses keep their key with an empty pair.
  for (const char* bad :
       {"my.rating", "my rating", "a/b", "x*", "", "a234567890123456789012345678901"}) {
    record.setValue(bad, "value");
    ASSERT_NE(record.getValue(bad), nullptr) << bad;
    EXPECT_EQ(*record.getValue(bad), "") << bad;
  }
  {
    TraceCapture trace;
    record.addProperty({"rating", "7"});
    EXPECT_TRUE(trace.has("The given property already exist: [rating=7]"));
    EXPECT_EQ(*record.getValue("rating"), "6");
  }
  record.addProperty({"keyword", "summer"});
  std::vector<DyxPropertyRecord::Property> list{{"stale", "x"}};
  record.getProperties(list);
  ASSERT_EQ(list.size(), 8u);
  EXPECT_EQ(list.front(), DyxPropertyRecord::Property("", ""));  // key "" sorts first
  EXPECT_EQ(list[3], DyxPropertyRecord::Property("keyword", "summer"));
  EXPECT_EQ(list[6], DyxPropertyRecord::Property("rating", "6"));
}

TEST_F(PropertyStoreTest, LoadReadsRecordsAndReportsStrayLines) {
  quarrytest::writeFile("photos.prp",
                        "stray \"value\"\n"
                        "# report.doc\n"
                        "rating 5\n"
                        "keyword \"summer photos\"\n"
                        "# other.doc\n"
                        "rating \"C:\\data\\x\"\n"
                        "# report.doc\n"
                        "rating 6\n"
                        "\n");
  DyxEntryProperty store;
  {
    TraceCapture trace;
    EXPECT_TRUE(store.load("photos"));
    EXPECT_TRUE(trace.has("Skip line: strayvalue"));
    EXPECT_FALSE(trace.has("Cannot"));
  }
  const std::string once = dumpStore(store);
  EXPECT_EQ(once,
            "[other.doc]\nrating=(rating,C:\\data\\x)\n"
            "[report.doc]\nkeyword=(keyword,summer photos)\nrating=(rating,6)\n");
  EXPECT_TRUE(store.load("photos"));  // loading twice gives the same store
  EXPECT_EQ(dumpStore(store), once);

  TraceCapture trace;
  EXPECT_FALSE(store.load("absent"));
  EXPECT_TRUE(trace.has("Cannot open file: absent.prp"));
  EXPECT_EQ(dumpStore(store), once);
}

TEST_F(PropertyStoreTest, SaveWritesThePlainFormForOrdinaryValues) {
  DyxEntryProperty store;
  DyxPropertyRecord* report = store.getRecord("report.doc", true);
  report->setValue("rating", "5");
  report->setValue("keyword", "summer photos");
  report->setValue("path", "C:\\data\\x");
  store.getRecord("a.txt", true)->setValue("note", "");
  ASSERT_TRUE(store.save("out"));
  EXPECT_EQ(quarrytest::readFile("out.prp"),
            "# a.txt\n"
            "note \"\"\n"
            "# report.doc\n"
            "keyword \"summer photos\"\n"
            "path \"C:\\data\\x\"\n"
            "rating \"5\"\n");
}

TEST_F(PropertyStoreTest, SaveAndLoadRoundTripEveryValue) {
  DyxEntryProperty store;
  DyxPropertyRecord* record = store.getRecord("report.doc", true);
  const std::vector<std::pair<std::string, std::string>> values = {
      {"plain", "summer photos"},
      {"quote", "say \"hi\" now"},
      {"endslash", "C:\\data\\"},
      {"onlyslash", "\\"},
      {"escaped", "a\\\"b"},
      {"hexlike", "\\41 and \\5c"},
      {"lines", "one\ntwo\r\nthree"},
      {"zero", std::string("a\0b", 3)},
      {"tab", "a\tb"},
      {"long", std::string(600, 'v') + " end"},
      {"edge", std::string(253, 'w')},
      {"over", std::string(254, 'w')},
      {"empty", ""},
      {"my.rating", "ignored"},  // stored as an empty pair under the key
      {"#", "hash"},
      // Valid names that a plain line would break or change: line ends, form feeds, zero
      // bytes and a leading quote.
      {"k\fx", "f"},
      {"k\vx", "v"},
      {"k\nx", "n"},
      {"k\rx", "r"},
      {std::string("k\0x", 3), "z"},
      {"\"lead", "q"},
  };
  for (const auto& [name, value] : values) record->setValue(name, value);
  store.getRecord("my file.doc", true)->setValue("rating", "1");
  store.getRecord("say \"x\".txt", true)->setValue("rating", "2");
  store.getRecord(std::string(300, 'n'), true)->setValue("rating", "3");
  store.getRecord("#", true)->setValue("rating", "4");
  store.getRecord("#\\", true)->setValue("rating", "5");
  ASSERT_TRUE(store.save("round"));

  DyxEntryProperty loaded;
  {
    TraceCapture trace;
    ASSERT_TRUE(loaded.load("round"));
    EXPECT_EQ(trace.text().find("ERROR"), std::string::npos);
    EXPECT_FALSE(trace.has("Skip line"));
    EXPECT_FALSE(trace.has("Missing ending quote"));
  }
  EXPECT_EQ(dumpStore(loaded), dumpStore(store));
  // Saving the loaded store writes the very same file.
  ASSERT_TRUE(loaded.save("again"));
  EXPECT_EQ(quarrytest::readFile("again.prp"), quarrytest::readFile("round.prp"));
}

TEST_F(PropertyStoreTest, SaveFailureKeepsTheEarlierFile) {
  DyxEntryProperty store;
  store.getRecord("a", true)->setValue("rating", "1");
  TraceCapture trace;
  EXPECT_FALSE(store.save("no/such/dir/x"));
  EXPECT_TRUE(trace.has("Cannot open file: no/such/dir/x.prp"));
  quarrytest::makeDirs("keep.prp");  // a directory where the file would go
  EXPECT_FALSE(store.save("keep"));
  EXPECT_TRUE(quarrytest::fileExists("keep.prp"));
}

// Damaged and hostile files: over-long words and lines, unterminated quotes, NUL bytes and
// random bytes load in bounded time without a crash and keep what is readable.
TEST_F(PropertyStoreTest, DamagedFilesLoadWithoutHarm) {
  quarrytest::writeFile("damaged.prp", "# " + std::string(5000, 'f') + "\n" + "rating \"" +
                                           std::string(400, 'q') + "\n" + "# good.doc\n" +
                                           std::string("rating \"a\0b\"\n", 13) +
                                           "keyword \"unterminated\n" + "\\\n" + "#\\\n" + "#");
  DyxEntryProperty store;
  {
    TraceCapture trace;
    EXPECT_TRUE(store.load("damaged"));
    EXPECT_TRUE(trace.has("Missing ending quote in line: "));
    EXPECT_TRUE(trace.has("Word longer than 259 characters cut: " + std::string(259, 'f')));
  }
  // The record after the broken lines is read; its values that cannot be read (a NUL byte
  // inside the quotes, a quote left open) are not stored as empty ones, which would replace
  // what an earlier line or file gave.
  ASSERT_NE(store.getRecord("good.doc", false), nullptr);
  EXPECT_EQ(store.getRecord("good.doc", false)->getValue("rating"), nullptr);
  EXPECT_EQ(store.getRecord("good.doc", false)->getValue("keyword"), nullptr);

  std::mt19937 random(7);
  const std::string alphabet = "# \"\\\n\tab.\r";
  for (int round = 0; round < 100; ++round) {
    std::string content;
    const int length = static_cast<int>(random() % 400);
    for (int i = 0; i < length; ++i) {
      content += random() % 5 == 0 ? static_cast<char>(random() % 256)
                                   : alphabet[random() % alphabet.size()];
    }
    quarrytest::writeFile("random.prp", content);
    DyxEntryProperty fuzzed;
    fuzzed.load("random");
    ASSERT_TRUE(fuzzed.save("random_out"));
    DyxEntryProperty reloaded;
    reloaded.load("random_out");
    EXPECT_EQ(dumpStore(reloaded), dumpStore(fuzzed)) << "round " << round;
  }
}

}  // namespace
