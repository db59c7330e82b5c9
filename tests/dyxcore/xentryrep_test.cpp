#include "dyxcore/xentryrep.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dyxcore/platform.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

// Every test runs in a fresh working directory, where the repository files go.
class RepositoryTest : public ::testing::Test {
 protected:
  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd{m_dir.path()};
  void TearDown() override {
    DyxEntryRepository::deleteAllRepositories();
    DyxEntryRepository::setSlotLimit(0);
  }
};

std::string dataOf(const DyxEntryRepository& repo) {
  return quarrytest::readFile(repo.dataFileName());
}

}  // namespace

TEST_F(RepositoryTest, InternGivesDenseKeysFromOne) {
  DyxEntryRepository repo("k", 4);
  EXPECT_EQ(repo.intern("alpha"), 1u);
  EXPECT_EQ(repo.intern("beta"), 2u);
  EXPECT_EQ(repo.intern("alpha"), 1u);
  EXPECT_EQ(repo.textOf(0), "<null>");
  EXPECT_EQ(repo.textOf(2), "beta");
  EXPECT_EQ(repo.textOf(3), "<null>");
  EXPECT_EQ(repo.findText("beta"), 2u);
  EXPECT_EQ(repo.findText("gamma"), 0u);
}

TEST_F(RepositoryTest, SlotsAreReusedAndUsedNeverShrinks) {
  DyxEntryRepository repo("k", 8);
  DyxEntry* e0 = repo.createEntry("a", "/d", true);
  DyxEntry* e1 = repo.createEntry("b", "/d", true);
  DyxEntry* e2 = repo.createEntry("c", "/d", true);
  EXPECT_EQ(repo.slotOf(e0), 0);
  EXPECT_EQ(repo.slotOf(e2), 2);
  EXPECT_EQ(repo.getUsed(), 3u);
  EXPECT_EQ(repo.getFirstFree(), 3u);

  repo.freeEntry(e1);
  EXPECT_EQ(repo.getFirstFree(), 1u);
  EXPECT_EQ(repo.getUsed(), 3u);
  DyxEntry* again = repo.createEntry("d", "/d", true);
  EXPECT_EQ(again, e1);  // the freed slot comes back
  EXPECT_EQ(again->getName(), "d");
  EXPECT_EQ(again->getSize(), 0u);  // a fresh entry
  EXPECT_EQ(repo.getFirstFree(), 3u);

  repo.freeEntry(e2);
  repo.freeEntry(nullptr);
  EXPECT_EQ(repo.getUsed(), 3u);
  EXPECT_EQ(repo.liveCount(), 2u);
  EXPECT_EQ(repo.directoryFlags().at(repo.findText("/d")), true);

  DyxEntryRepository other("o", 2);
  DyxEntry* foreign = other.createEntry("x");
  quarrytest::TraceCapture err;
  repo.freeEntry(foreign);  // not ours: ignored
  EXPECT_FALSE(foreign->isFree());
  EXPECT_NE(err.text().find("does not belong"), std::string::npos);
}

// Past its capacity a repository adds blocks of slots: every entry made before keeps its
// address (views hold plain pointers), its slot number and its texts, and slot numbers and
// addresses agree in every block.
TEST_F(RepositoryTest, AFullRepositoryGrowsWithoutMovingItsEntries) {
  for (const std::size_t capacity : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
    DyxEntryRepository repo("k", capacity);
    const std::size_t total = capacity * 9 + 2;  // several doublings, the last one part full
    std::vector<DyxEntry*> made;
    for (std::size_t i = 0; i < total; ++i) {
      DyxEntry* e = repo.createEntry("n" + std::to_string(i), "/d" + std::to_string(i % 3), i % 2);
      ASSERT_NE(e, nullptr) << capacity << " " << i;
      made.push_back(e);
    }
    EXPECT_GE(repo.slotCount(), total) << capacity;
    EXPECT_EQ(repo.getUsed(), total) << capacity;
    EXPECT_EQ(repo.liveCount(), total) << capacity;
    for (std::size_t i = 0; i < total; ++i) {
      EXPECT_EQ(repo.entryAt(i), made[i]) << capacity << " slot " << i;
      EXPECT_EQ(repo.slotOf(made[i]), static_cast<long>(i)) << capacity << " slot " << i;
      EXPECT_EQ(made[i]->getName(), "n" + std::to_string(i)) << capacity << " slot " << i;
      EXPECT_EQ(made[i]->getDirectoryText(), "/d" + std::to_string(i % 3)) << capacity;
    }
    // A freed slot of an earlier block is the next one taken; nothing grows for it.
    const std::size_t slots = repo.slotCount();
    repo.freeEntry(made[capacity / 2]);
    EXPECT_EQ(repo.createEntry("again", "/d", false), made[capacity / 2]) << capacity;
    EXPECT_EQ(repo.slotCount(), slots) << capacity;
    DyxEntryRepository other("o", 2);
    EXPECT_EQ(other.slotOf(made.back()), -1) << capacity;
  }
}

TEST_F(RepositoryTest, ARepositoryThatCannotGrowRefusesTheNextEntryAndChangesNothing) {
  DyxEntryRepository::setSlotLimit(5);
  DyxEntryRepository repo("k", 3);
  for (const char* n : {"a", "b", "c", "d", "e"}) {
    ASSERT_NE(repo.createEntry(n, "/d", false), nullptr) << n;
  }
  EXPECT_EQ(repo.slotCount(), 5u);  // the second block stops at the limit
  EXPECT_EQ(repo.createEntry("f", "/d", false), nullptr);
  EXPECT_EQ(repo.createEntry("g"), nullptr);
  EXPECT_EQ(repo.getUsed(), 5u);
  EXPECT_EQ(repo.liveCount(), 5u);
  repo.freeEntry(repo.entryAt(3));
  DyxEntry* h = repo.createEntry("h");
  EXPECT_EQ(h, repo.entryAt(3));
  // A block cut short by the limit is the last one, whatever the limit becomes.
  DyxEntryRepository::setSlotLimit(0);
  EXPECT_EQ(repo.createEntry("i"), nullptr);
  EXPECT_EQ(repo.entryAt(4)->getName(), "e");
}

// The files keep their format: a grown repository saves every slot up to the highest one
// handed out, and loads back whole.
TEST_F(RepositoryTest, AGrownRepositorySavesAndLoadsEverySlot) {
  DyxEntryRepository repo("grown", 4);
  for (int i = 0; i < 11; ++i) ASSERT_NE(repo.createEntry("f" + std::to_string(i), "/d", true), nullptr);
  repo.entryAt(9)->setSize(99);
  ASSERT_TRUE(repo.save());
  EXPECT_EQ(dataOf(repo).size(), 11u * DyxEntry::kRecordBytes);
  EXPECT_EQ(quarrytest::readFile("grown.txt").substr(0, 3), "11\n");

  DyxEntryRepository loaded("grown", 4);
  ASSERT_TRUE(loaded.load());
  EXPECT_EQ(loaded.getUsed(), 11u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(loaded.entryAt(i)->getName(), "f" + std::to_string(i));
  EXPECT_EQ(loaded.entryAt(9)->getSize(), 99u);
  // And it goes on growing from there.
  for (int i = 0; i < 40; ++i) ASSERT_NE(loaded.createEntry("g", "/d", true), nullptr) << i;
  EXPECT_EQ(loaded.entryAt(10)->getName(), "f10");
}

TEST_F(RepositoryTest, SaveWritesTheTextTableAndTheDataRecords) {
  DyxEntryRepository repo("map", 10);
  DyxEntry* a = repo.createEntry("a.txt", "/home/u/My Documents", true);
  repo.createEntry("b.txt", "/home/u/My Documents", true);
  repo.createEntry("c", "/tmp", false);
  a->setSize(300);
  repo.freeEntry(repo.entryAt(1));
  ASSERT_TRUE(repo.save());
  EXPECT_EQ(quarrytest::readFile("map.txt"),
            "3\n/home/u/My Documents\na.txt\nb.txt\n/tmp\nc\n>\n1 1\n4 0\n0 0\n");
  const std::string data = dataOf(repo);
  ASSERT_EQ(data.size(), 3u * 32);
  EXPECT_EQ(data[0], 2);           // id of a.txt
  EXPECT_EQ(data[4], 1);           // its directory
  EXPECT_EQ(data[16], 300 % 256);  // size low word
  EXPECT_EQ(data[32], 0);          // the freed slot is written with id 0
}

TEST_F(RepositoryTest, RoundTripKeepsTextsKeysSlotsAndHostileNames) {
  const std::vector<std::string> names = {
      "plain.txt", "with blank",       "new\nline", "carriage\rreturn", ">starts", "\\backslash",
      "ends\\",    "bad\xff\xfe-utf8", ">",         "\\n literal",      "\\"};
  {
    DyxEntryRepository repo("hostile", 50);
    for (const auto& n : names) {
      DyxEntry* e = repo.createEntry(n, "/dir with blank/>odd\ndir", true);
      ASSERT_NE(e, nullptr);
      e->setSize(n.size() + (7ULL << 32));
      e->setStatus(kStatusIOError);
    }
    repo.intern("");  // an empty text must not end the table
    repo.intern("after empty");
    repo.createEntry("flat", "/flat", false);
    repo.freeEntry(repo.entryAt(3));
    ASSERT_TRUE(repo.save());
  }
  DyxEntryRepository loaded("hostile", 50);
  ASSERT_TRUE(loaded.load());
  EXPECT_EQ(loaded.getUsed(), names.size() + 1);
  EXPECT_EQ(loaded.getFirstFree(), 3u);
  const std::uint32_t dirKey = loaded.findText("/dir with blank/>odd\ndir");
  ASSERT_EQ(dirKey, 1u);
  EXPECT_EQ(loaded.textOf(loaded.findText("")), "");
  EXPECT_EQ(loaded.findText("after empty"), names.size() + 3);
  EXPECT_TRUE(loaded.directoryFlags().at(dirKey));
  EXPECT_FALSE(loaded.directoryFlags().at(loaded.findText("/flat")));
  for (std::size_t i = 0; i < names.size(); ++i) {
    const DyxEntry* e = loaded.entryAt(i);
    if (i == 3) {
      EXPECT_TRUE(e->isFree());
      continue;
    }
    EXPECT_EQ(e->getName(), names[i]) << i;
    EXPECT_EQ(e->getId(), i + 2) << i;  // same keys as before
    EXPECT_EQ(e->getSize(), names[i].size() + (7ULL << 32));
    EXPECT_EQ(e->getStatus(), kStatusIOError);
    EXPECT_EQ(e->getRepository(), &loaded);
  }

  // Saving the loaded repository gives the same bytes.
  const std::string text = quarrytest::readFile("hostile.txt");
  const std::string data = quarrytest::readFile("hostile.data");
  ASSERT_TRUE(loaded.save());
  EXPECT_EQ(quarrytest::readFile("hostile.txt"), text);
  EXPECT_EQ(quarrytest::readFile("hostile.data"), data);
}

TEST_F(RepositoryTest, FreeingEverythingKeepsTheCountSoTheNextLoadIsNotEmpty) {
  DyxEntryRepository repo("all", 5);
  repo.freeEntry(repo.createEntry("a", "/d", false));
  repo.freeEntry(repo.createEntry("b", "/d", false));
  ASSERT_TRUE(repo.save());
  DyxEntryRepository loaded("all", 5);
  ASSERT_TRUE(loaded.load());
  EXPECT_FALSE(loaded.isEmpty());
  EXPECT_EQ(loaded.getUsed(), 1u);
  EXPECT_EQ(loaded.liveCount(), 0u);
}

TEST_F(RepositoryTest, TransientAndUnnamedRepositoriesAreNeverSaved) {
  DyxEntryRepository::getRepository("0").createEntry("x", "/d", false);
  DyxEntryRepository::getRepository("").createEntry("y", "/d", false);
  DyxEntryRepository::getRepository("kept").createEntry("z", "/d", false);
  EXPECT_TRUE(DyxEntryRepository::saveAllRepositories());
  EXPECT_FALSE(quarrytest::fileExists("0.txt"));
  EXPECT_FALSE(quarrytest::fileExists(".txt"));
  EXPECT_TRUE(quarrytest::fileExists("kept.txt"));
  EXPECT_TRUE(quarrytest::fileExists("kept.data"));
  EXPECT_EQ(&DyxEntryRepository::getRepository("kept"), DyxEntryRepository::findRepository("kept"));
  DyxEntryRepository::deleteRepository("kept");
  EXPECT_EQ(DyxEntryRepository::findRepository("kept"), nullptr);
  DyxEntryRepository::deleteRepository("never there");

  DyxEntryRepository::setDefaultCapacity(250000);
  EXPECT_EQ(DyxEntryRepository::getRepository("wide").slotCount(), 250000u);
  DyxEntryRepository::setDefaultCapacity(DyxEntryRepository::kDefaultSlotCount);
}

TEST_F(RepositoryTest, AFailedSaveKeepsThePreviousFilesWhole) {
  DyxEntryRepository repo("safe", 5);
  repo.createEntry("first", "/d", false);
  ASSERT_TRUE(repo.save());
  const std::string text = quarrytest::readFile("safe.txt");
  const std::string data = quarrytest::readFile("safe.data");
  repo.createEntry("second", "/d", false);
  // The temporary file of the text cannot be created: nothing may change.
  quarrytest::makeDirs("safe.txt.tmp" + std::to_string(dyxplatform::processId()));
  quarrytest::TraceCapture err;
  EXPECT_FALSE(repo.save());
  EXPECT_NE(err.text().find("Cannot write the file: safe.txt"), std::string::npos);
  EXPECT_EQ(quarrytest::readFile("safe.txt"), text);
  EXPECT_EQ(quarrytest::readFile("safe.data"), data);
}

TEST_F(RepositoryTest, MissingOrEmptyFilesLoadNothing) {
  DyxEntryRepository repo("none", 5);
  repo.createEntry("kept", "/d", false);
  EXPECT_FALSE(repo.load());  // no file: unchanged
  EXPECT_EQ(repo.getUsed(), 1u);

  // An empty text file is no damage: it reports that it reads nothing.
  quarrytest::writeFile("empty.txt", "");
  DyxEntryRepository empty("empty", 5);
  {
    quarrytest::TraceCapture err;
    EXPECT_FALSE(empty.load());
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_TRUE(err.has("Gonna read 0 entries")) << err.text();
    EXPECT_FALSE(err.has("damaged")) << err.text();
  }
  // A first line that is not a number is damage; the repository keeps its count.
  quarrytest::writeFile("words.txt", "many\na\n");
  DyxEntryRepository words("words", 5);
  words.createEntry("kept", "/d", false);
  {
    quarrytest::TraceCapture err;
    EXPECT_FALSE(words.load());
    EXPECT_EQ(words.getUsed(), 1u);
    EXPECT_TRUE(err.has("no entry count")) << err.text();
    EXPECT_TRUE(err.has("Gonna read 1 entries")) << err.text();
  }

  DyxEntryRepository unnamed("", 5);
  EXPECT_FALSE(unnamed.load());
}

TEST_F(RepositoryTest, DamagedFilesAreReportedAndLeaveAUsableRepository) {
  struct Case {
    const char* label;
    std::string text;
    std::size_t records;  // in the data file
    std::size_t expectUsed;
    std::size_t expectLive;
    std::size_t expectSlots;
    const char* message;
  };
  const Case cases[] = {
      // The count is far beyond the slots and the data: only the slot block is read.
      {"huge count", "999999999999\na\n/d\n>\n2 1\n0 0\n", 2, 4, 2, 4, "exceeds"},
      {"short data", "4\na\n/d\n>\n2 1\n0 0\n", 2, 4, 2, 4, "holds 2 of 4"},
      {"garbage pairs", "2\na\n/d\n>\n2 1\nxx yy\n9 1\n0 0\n", 2, 2, 2, 4, "damaged at line"},
      {"unknown dir key", "2\na\n/d\n>\n7 1\n0 0\n", 2, 2, 2, 4, "has no text"},
      {"no count", "many\na\n", 2, 0, 0, 4, "no entry count"},
  };
  for (const auto& c : cases) {
    std::string data;
    for (std::size_t i = 0; i < c.records; ++i) {
      unsigned char rec[32] = {1, 0, 0, 0, 2, 0, 0, 0};  // "a" in "/d"
      data.append(reinterpret_cast<char*>(rec), 32);
    }
    quarrytest::writeFile("bad.txt", c.text);
    quarrytest::writeFile("bad.data", data);
    DyxEntryRepository repo("bad", 4);
    quarrytest::TraceCapture err;
    repo.load();
    EXPECT_EQ(repo.getUsed(), c.expectUsed) << c.label;
    EXPECT_EQ(repo.liveCount(), c.expectLive) << c.label;
    EXPECT_EQ(repo.slotCount(), c.expectSlots) << c.label;
    EXPECT_NE(err.text().find(c.message), std::string::npos) << c.label << ": " << err.text();
    EXPECT_EQ(repo.directoryFlags().count(7), 0u) << c.label;
    // Still usable: a new entry lands in the first free slot, or is refused when full.
    DyxEntry* e = repo.createEntry("new", "/d", false);
    if (e != nullptr) {
      EXPECT_EQ(e->getName(), "new") << c.label;
    }
  }
}

TEST_F(RepositoryTest, ARepositorySavedWithALargerCapacityIsNotTruncated) {
  {
    DyxEntryRepository wide("wide", 10);
    for (int i = 0; i < 8; ++i) wide.createEntry("f" + std::to_string(i), "/d", false);
    ASSERT_TRUE(wide.save());
  }
  DyxEntryRepository narrow("wide", 5);
  quarrytest::TraceCapture err;
  ASSERT_TRUE(narrow.load());
  EXPECT_EQ(narrow.getUsed(), 8u);
  EXPECT_EQ(narrow.slotCount(), 8u);
  EXPECT_EQ(narrow.liveCount(), 8u);
  EXPECT_EQ(narrow.entryAt(7)->getName(), "f7");
  EXPECT_NE(err.text().find("the capacity grows to 8"), std::string::npos);
}

TEST_F(RepositoryTest, AttachEntriesHandsOverTheLiveEntriesOfOneDirectory) {
  DyxEntryRepository repo("att", 10);
  repo.createEntry("a", "/one", true);
  repo.createEntry("b", "/two", false);
  repo.createEntry("c", "/one", true);
  repo.freeEntry(repo.entryAt(2));
  repo.createEntry("d", "/one", true);
  std::vector<std::string> seen;
  repo.forEachEntryOf(repo.findText("/one"), [&](DyxEntry& e) { seen.push_back(e.getName()); });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "d"}));
  seen.clear();
  repo.forEachEntryOf(0, [&](DyxEntry& e) { seen.push_back(e.getName()); });
  EXPECT_TRUE(seen.empty());
  repo.attachEntries(repo.findText("/one"), nullptr);  // no directory: nothing happens
}
