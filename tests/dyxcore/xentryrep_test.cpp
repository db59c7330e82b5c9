#include "dyxcore/xentryrep.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dyxcore/platform.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"
#include "kxcore/tracecapture.h"
#include "support/fault_env.h"
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
// A restore hands each directory its live entries in slot order, whether a parse left them in
// one run of slots per directory, in a few runs, or scattered one by one; a directory the filer
// refuses gets none.
TEST_F(RepositoryTest, ARestoreFilesEachDirectoryItsOwnEntries) {
  class Recorder final : public DyxEntryFiler {
   public:
    bool beginDirectory(const std::string& dirName, bool /*recursive*/) override {
      m_current = dirName == "/refused" ? nullptr : &m_filed[dirName];
      return m_current != nullptr;
    }
    void fileEntry(DyxEntry* entry) override {
      m_current->push_back(std::string(entry->getName()));
    }
    std::map<std::string, std::vector<std::string>> m_filed;

   private:
    std::vector<std::string>* m_current = nullptr;
  };
  using Layout = std::vector<std::string>;  // the directory of each slot, in slot order
  Layout runs(8, "/a");
  runs.insert(runs.end(), 8, "/b");
  runs.insert(runs.end(), 8, "/a");
  runs.push_back("/refused");
  const std::vector<Layout> layouts = {runs,
                                       {"/a", "/b", "/a", "/b", "/refused", "/a", "/b", "/a"}};
  for (const Layout& layout : layouts) {
    DyxEntryRepository repo("filed", 4);
    std::map<std::string, std::vector<std::string>> expected;
    std::vector<DyxEntry*> made;
    for (std::size_t i = 0; i < layout.size(); ++i) {
      // Directory keys on both sides of 65,536, which the grouping sorts in two steps: the
      // low bits of the later key are below those of the first.
      for (int k = 0; i == 8 && repo.intern("filler" + std::to_string(k)) < 65536; ++k) {
      }
      const std::string name = "f" + std::to_string(i);
      made.push_back(repo.createEntry(name, layout[i], true));
      if (layout[i] != "/refused" && i != 2) expected[layout[i]].push_back(name);
    }
    repo.freeEntry(made[2]);  // a free slot inside a run is passed over
    Recorder filer;
    repo.restore(filer);
    EXPECT_EQ(filer.m_filed, expected) << layout.size() << " slots";
  }
}

TEST_F(RepositoryTest, AGrownRepositorySavesAndLoadsEverySlot) {
  DyxEntryRepository repo("grown", 4);
  for (int i = 0; i < 11; ++i)
    ASSERT_NE(repo.createEntry("f" + std::to_string(i), "/d", true), nullptr);
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

// The texts sit end to end in chunks: texts that straddle the end of a chunk, texts larger than
// a chunk or than the length a place can tell, empty ones and ones with NUL bytes must all read
// back whole, stay where they are while more texts come, and survive a save and a load.
TEST_F(RepositoryTest, TextsOfEverySizeKeepTheirBytesAndPlaces) {
  std::vector<std::string> texts;
  std::uint32_t seed = 7;
  for (int i = 0; i < 1500; ++i) {
    seed = seed * 1103515245u + 12345u;
    texts.push_back(std::to_string(i) + "-" + std::string((seed >> 16) % 3000, 'a' + i % 26));
    if (i == 200) texts.push_back(std::string(100 * 1024, 'b'));  // more than a chunk's share
    if (i == 201) texts.push_back(std::string(1, '\0') + "nul\0inside\n" + "\xff\x01");
    if (i == 700) texts.push_back(std::string((1u << 24) + 5, 'c'));  // a length of its own
  }
  texts.back().push_back('\0');  // a NUL at the very end of the file's last text
  DyxEntryRepository repo("chunks", 4);
  std::vector<std::string_view> views;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(repo.intern(texts[i]), i + 1) << i;
    views.push_back(repo.textOf(static_cast<std::uint32_t>(i + 1)));
  }
  EXPECT_EQ(repo.intern(""), texts.size() + 1);
  EXPECT_EQ(repo.textOf(static_cast<std::uint32_t>(texts.size() + 1)), "");
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(views[i], texts[i]) << "the view of text " << i << " moved or changed";
    ASSERT_EQ(repo.findText(texts[i]), i + 1) << i;
  }
  repo.createEntry(texts[201], texts[700], true);
  ASSERT_TRUE(repo.save());

  DyxEntryRepository loaded("chunks", 4);
  ASSERT_TRUE(loaded.load());
  ASSERT_EQ(loaded.textCount(), texts.size() + 1);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(loaded.textOf(static_cast<std::uint32_t>(i + 1)), texts[i]) << i;
    ASSERT_EQ(loaded.findText(texts[i]), i + 1) << i;
  }
  EXPECT_EQ(loaded.textOf(static_cast<std::uint32_t>(texts.size() + 1)), "");
  EXPECT_EQ(loaded.entryAt(0)->getName(), texts[201]);
  EXPECT_EQ(loaded.entryAt(0)->getDirectoryView(), texts[700]);
  EXPECT_EQ(loaded.intern("new after load"), texts.size() + 2);
}

// A large repository (a million files) fills far more chunks than their growth takes to reach
// its full size: every later chunk is a whole one.
TEST_F(RepositoryTest, TextsBeyondManyChunksStayWhole) {
  DyxEntryRepository repo("many", 4);
  const std::string filler(1000, 'x');
  constexpr int kTexts = 20000;  // about 80 chunks
  for (int i = 0; i < kTexts; ++i) {
    ASSERT_EQ(repo.intern(std::to_string(i) + filler), static_cast<std::uint32_t>(i + 1)) << i;
  }
  for (int i = 0; i < kTexts; i += 997) {
    ASSERT_EQ(repo.textOf(static_cast<std::uint32_t>(i + 1)), std::to_string(i) + filler) << i;
  }
}

TEST_F(RepositoryTest, ASaveWritesTheSlotsUpToTheHighestLiveOne) {
  DyxEntryRepository repo("all", 5);
  repo.createEntry("a", "/d", false);
  DyxEntry* b = repo.createEntry("b", "/d", false);
  DyxEntry* c = repo.createEntry("c", "/d", false);
  repo.freeEntry(c);
  ASSERT_TRUE(repo.save());
  EXPECT_EQ(quarrytest::readFile("all.txt").substr(0, 2), "2\n");
  EXPECT_EQ(dataOf(repo).size(), 2u * 32);

  // Freeing every entry saves an empty repository: the next start scans the path map.
  repo.freeEntry(b);
  repo.freeEntry(repo.entryAt(0));
  ASSERT_TRUE(repo.save());
  EXPECT_EQ(dataOf(repo).size(), 0u);
  DyxEntryRepository loaded("all", 5);
  ASSERT_TRUE(loaded.load());
  EXPECT_TRUE(loaded.isEmpty());
  EXPECT_EQ(loaded.findText("c"), 4u);  // the texts stay
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

namespace {

// A saved repository of capacity 16: "a" and "x" in /d (recursive), "c" in /e, slot 1 freed.
//   text: 4 | /d a b /e c x | > | 1 1 | 4 0 | 0 0        data: 4 records, ids 2 0 5 6
const std::string kText = "4\n/d\na\nb\n/e\nc\nx\n>\n1 1\n4 0\n0 0\n";

std::string record(std::uint32_t id, std::uint32_t pid, std::uint32_t status = 0) {
  std::string r(32, '\0');
  for (int i = 0; i < 4; ++i) {
    r[i] = static_cast<char>(id >> (8 * i));
    r[4 + i] = static_cast<char>(pid >> (8 * i));
    r[24 + i] = static_cast<char>(status >> (8 * i));
  }
  return r;
}

std::string goodData() {
  std::string freed = record(0, 1);
  freed[16] = 9;  // a freed slot keeps the words of its last entry
  return record(2, 1) + freed + record(5, 4) + record(6, 1);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct Told {
  std::string file;
  std::string says;
};

std::vector<KxNotice> damageNotices() {
  std::vector<KxNotice> notices = KxNotices::take();
  for (const KxNotice& n : notices) EXPECT_EQ(n.kind, KxNoticeKind::kDamaged) << n.text();
  return notices;
}

}  // namespace

// Every kind of damage loads what can be trusted, keeps the repository usable, names each
// damaged file with what was and was not loaded, keeps the damaged files at the next save and
// saves a pair that loads clean.
TEST_F(RepositoryTest, EachKindOfDamageLoadsSafelyAndTellsTheUser) {
  struct Case {
    const char* label;
    std::string text;  // "" with textIsDirectory: a directory under the name
    std::string data;
    bool dataMissing;
    bool loads;
    std::size_t live;
    std::size_t used;
    std::vector<Told> told;
  };
  const std::string data = goodData();
  const Case cases[] = {
      {"intact", kText, data, false, true, 3, 4, {}},
      {"text cut in its table",
       "4\n/d\na\n",
       data,
       false,
       true,
       0,
       0,
       {{"r.txt", "cut short"},
        {"r.data",
         "2 entries name a text that the text file does not hold: not loaded; 1 "
         "entry belongs to no listed directory"}}},
      {"text cut in its directory list",
       replaced(kText, "4 0\n0 0\n", ""),
       data,
       false,
       true,
       2,
       4,
       {{"r.txt", "cut short"}, {"r.data", "1 entry belongs to no listed directory"}}},
      {"separator line lost",
       replaced(kText, ">\n", ""),
       data,
       false,
       true,
       0,
       0,
       {{"r.txt", "cut short"}, {"r.data", "3 entries belong to no listed directory"}}},
      {"count not a number",
       replaced(kText, "4\n", "four\n"),
       data,
       false,
       false,
       0,
       0,
       {{"r.txt", "its first line holds no entry count"}}},
      {"random text file",
       "\x01\x02\xff\xfe 7\n\n",
       data,
       false,
       false,
       0,
       0,
       {{"r.txt", "its first line holds no entry count"}}},
      {"count far too large",
       replaced(kText, "4\n", "999999999999\n"),
       data,
       false,
       true,
       3,
       4,
       {{"r.data", "holds 4 of the 999999999999 records"}}},
      {"count too small",
       replaced(kText, "4\n", "2\n"),
       data,
       false,
       true,
       1,
       1,
       {{"r.data", "holds more than the 2 records"}}},
      {"count zero",
       replaced(kText, "4\n", "0\n"),
       data,
       false,
       true,
       0,
       0,
       {{"r.data", "holds more than the 0 records"}}},
      {"data cut inside a record",
       kText,
       data.substr(0, 3 * 32 + 7),
       false,
       true,
       2,
       3,
       {{"r.data", "holds 3 of the 4 records that its text file counts, and a last record cut"}}},
      {"data empty", kText, "", false, true, 0, 0, {{"r.data", "holds 0 of the 4 records"}}},
      {"data longer than the count",
       kText,
       data + record(2, 1),
       false,
       true,
       3,
       4,
       {{"r.data", "holds more than the 4 records"}}},
      {"data missing",
       kText,
       "",
       true,
       true,
       0,
       0,
       {{"r.data", "is missing: none of the 4 saved slots was loaded"}}},
      {"name key flipped",
       kText,
       replaced(data, record(5, 4), record(5 | 0x80000000u, 4)),
       false,
       true,
       2,
       4,
       {{"r.data", "1 entry names a text that the text file does not hold"}}},
      {"directory key out of range",
       kText,
       replaced(data, record(6, 1), record(6, 77)),
       false,
       true,
       2,
       3,
       {{"r.data", "1 entry names a text"}}},
      {"directory key of a file name",
       kText,
       replaced(data, record(5, 4), record(5, 2)),
       false,
       true,
       2,
       4,
       {{"r.data", "1 entry belongs to no listed directory"}}},
      {"directory key zero",
       kText,
       replaced(data, record(2, 1), record(2, 0)),
       false,
       true,
       2,
       4,
       {{"r.data", "1 entry belongs to no listed directory"}}},
      {"status flipped",
       kText,
       replaced(data, record(6, 1), record(6, 1, 0x40000)),
       false,
       true,
       2,
       3,
       {{"r.data", "1 entry has a status that no file has: not loaded"}}},
      {"directory line garbage",
       replaced(kText, "4 0\n", "xx yy\n4 0\n"),
       data,
       false,
       true,
       2,
       4,
       {{"r.txt", "line 10 of the directory list cannot be read"},
        {"r.data", "1 entry belongs to no listed directory"}}},
      {"directory without text",
       replaced(kText, "4 0\n", "4 0\n99 1\n"),
       data,
       false,
       true,
       3,
       4,
       {{"r.txt", "line 11 names a directory that has no text (1 directory not loaded)"}}},
      // Nothing is lost: each key still reads as its text.
      {"text repeated", replaced(kText, "x\n", "a\n"), data, false, true, 3, 4, {}},
      {"text file is a directory",
       "",
       data,
       false,
       false,
       0,
       0,
       {{"r.txt", "cannot be read (Is a directory)"}}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all("r.txt");
    std::filesystem::remove_all("r.data");
    std::filesystem::remove_all("r.txt.damaged");
    std::filesystem::remove_all("r.data.damaged");
    if (c.text.empty()) {
      quarrytest::makeDirs("r.txt");
    } else {
      quarrytest::writeFile("r.txt", c.text);
    }
    if (!c.dataMissing) quarrytest::writeFile("r.data", c.data);
    KxNotices::clear();

    DyxEntryRepository repo("r", 16);
    EXPECT_EQ(repo.load(), c.loads) << c.label;
    const std::vector<KxNotice> notices = damageNotices();
    ASSERT_EQ(notices.size(), c.told.size())
        << c.label << ": " << (notices.empty() ? "" : notices[0].text());
    for (std::size_t i = 0; i < notices.size(); ++i) {
      EXPECT_EQ(notices[i].path, c.told[i].file) << c.label;
      EXPECT_NE(notices[i].reason.find(c.told[i].says), std::string::npos)
          << c.label << ": " << notices[i].text();
      if (c.loads) {
        EXPECT_NE(notices[i].reason.find("loaded: " + std::to_string(c.live)), std::string::npos)
            << c.label << ": " << notices[i].text();
      }
    }
    EXPECT_EQ(repo.liveCount(), c.live) << c.label;
    EXPECT_EQ(repo.getUsed(), c.used) << c.label;
    EXPECT_EQ(repo.slotCount(), 16u) << c.label;
    // Every entry loaded shows a name and can be restored into its directory.
    for (std::size_t i = 0; i < repo.getUsed(); ++i) {
      const DyxEntry* e = repo.entryAt(i);
      if (e->isFree()) continue;
      EXPECT_NE(e->getName(), "<null>") << c.label << " slot " << i;
      EXPECT_EQ(repo.directoryFlags().count(e->getPid()), 1u) << c.label << " slot " << i;
    }
    DyxEntry* added = repo.createEntry("new", "/d", true);
    ASSERT_NE(added, nullptr) << c.label;
    EXPECT_EQ(added->getName(), "new") << c.label;

    // The damaged files are kept as they were; the new pair loads without a notice.
    ASSERT_TRUE(repo.save()) << c.label;
    if (!c.told.empty()) {
      if (!c.text.empty()) {
        EXPECT_EQ(quarrytest::readFile("r.txt.damaged"), c.text) << c.label;
      }
      if (!c.dataMissing) {
        EXPECT_EQ(quarrytest::readFile("r.data.damaged"), c.data) << c.label;
      }
    } else {
      EXPECT_FALSE(quarrytest::fileExists("r.txt.damaged")) << c.label;
    }
    DyxEntryRepository again("r", 16);
    EXPECT_TRUE(again.load()) << c.label;
    EXPECT_EQ(again.liveCount(), c.live + 1) << c.label;
    const std::vector<KxNotice> after = KxNotices::take();
    EXPECT_TRUE(after.empty()) << c.label << ": " << after.front().text();
    // A second save does not keep the clean files as damaged ones.
    if (!c.text.empty() && !c.told.empty()) {
      ASSERT_TRUE(repo.save()) << c.label;
      EXPECT_EQ(quarrytest::readFile("r.txt.damaged"), c.text) << c.label;
    }
  }
}

// The count of a damaged or old file may promise millions of slots over a data file of holes:
// the slot block is sized by the highest live slot, and the next save writes no more than that.
TEST_F(RepositoryTest, AHugeCountOverASparseDataFileDoesNotGrowTheCapacity) {
  const std::uint64_t count = 5000000;
  quarrytest::writeFile("sparse.txt", std::to_string(count) + "\n/d\na\nb\n>\n1 0\n0 0\n");
  {
    quarrytest::writeFile("sparse.data", "");
    std::filesystem::resize_file("sparse.data", count * 32);
    std::fstream f("sparse.data", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(3 * 32);
    f.write(record(2, 1).data(), 32);
    f.seekp(10 * 32);
    f.write(record(3, 1).data(), 32);
  }
  KxNotices::clear();
  DyxEntryRepository repo("sparse", 200);
  ASSERT_TRUE(repo.load());
  EXPECT_TRUE(KxNotices::take().empty());  // holes are free slots, not damage
  EXPECT_EQ(repo.slotCount(), 200u);
  EXPECT_EQ(repo.getUsed(), 11u);
  EXPECT_EQ(repo.liveCount(), 2u);
  EXPECT_EQ(repo.entryAt(10)->getName(), "b");
  ASSERT_TRUE(repo.save());
  EXPECT_EQ(dataOf(repo).size(), 11u * 32);
  EXPECT_EQ(quarrytest::readFile("sparse.txt").substr(0, 3), "11\n");
}

// Either file of the pair may be the one that cannot be written (a full disk fails the larger
// data file after the text file was written): the previous pair stays byte for byte, and the
// user is told which file and why.
TEST_F(RepositoryTest, AFailedSaveOfEitherFileLeavesThePreviousPairAndTellsTheUser) {
  for (const char* blocked : {"safe.txt", "safe.data"}) {
    std::filesystem::remove_all("safe.txt");
    std::filesystem::remove_all("safe.data");
    DyxEntryRepository repo("safe", 5);
    repo.createEntry("first", "/d", false);
    ASSERT_TRUE(repo.save());
    const std::string text = quarrytest::readFile("safe.txt");
    const std::string data = quarrytest::readFile("safe.data");
    repo.createEntry("second", "/d", false);
    const std::string temp =
        std::string(blocked) + ".tmp" + std::to_string(dyxplatform::processId());
    quarrytest::makeDirs(temp);
    KxNotices::clear();
    EXPECT_FALSE(repo.save()) << blocked;
    const std::vector<KxNotice> notices = KxNotices::take();
    ASSERT_EQ(notices.size(), 1u) << blocked;
    EXPECT_EQ(notices[0].kind, KxNoticeKind::kNotSaved);
    EXPECT_EQ(notices[0].text(), std::string(blocked) +
                                     ": Is a directory (the repository \"safe\" was not saved; "
                                     "its previous files are unchanged)");
    EXPECT_EQ(quarrytest::readFile("safe.txt"), text) << blocked;
    EXPECT_EQ(quarrytest::readFile("safe.data"), data) << blocked;
    // The text file written before the data file failed is not left behind.
    if (std::string(blocked) == "safe.data") {
      EXPECT_FALSE(
          quarrytest::fileExists("safe.txt.tmp" + std::to_string(dyxplatform::processId())));
    }
    std::filesystem::remove(temp);
  }
}

// A loaded text table is indexed on the first lookup, or at once while the trace is on (which
// then tells of a repeated text): either way a repeated text keeps its first key, and a new
// text gets the key after the last line.
TEST_F(RepositoryTest, ALoadedTextTableAnswersLookupsWithTheFirstKeyOfARepeatedText) {
  for (const bool traced : {false, true}) {
    quarrytest::writeFile("rep.txt", "0\n/d\na\nb\na\n>\n1 0\n0 0\n");
    quarrytest::writeFile("rep.data", "");
    DyxEntryRepository repo("rep", 4);
    std::string told;
    {
      std::unique_ptr<quarrytest::TraceCapture> trace;
      if (traced) trace = std::make_unique<quarrytest::TraceCapture>();
      ASSERT_TRUE(repo.load()) << traced;
      if (trace) told = trace->text();
    }
    EXPECT_EQ(told.find("repeats a text at line 5 (1 lines in all)") != std::string::npos, traced)
        << told;
    EXPECT_EQ(repo.textOf(4), "a") << traced;
    EXPECT_EQ(repo.findText("a"), 2u) << traced;
    EXPECT_EQ(repo.intern("b"), 3u) << traced;
    EXPECT_EQ(repo.intern("new"), 5u) << traced;
    EXPECT_EQ(repo.findText("new"), 5u) << traced;
  }
}

// The index of texts is made again from the texts each time it grows: after several growths,
// every text still answers its own key and a repeated loaded text its first one.
TEST_F(RepositoryTest, AGrowingTextIndexKeepsEveryKeyAndTheFirstKeyOfARepeat) {
  quarrytest::writeFile("grow.txt", "0\n/d\na\nb\na\n>\n1 0\n0 0\n");
  quarrytest::writeFile("grow.data", "");
  DyxEntryRepository repo("grow", 4);
  ASSERT_TRUE(repo.load());
  constexpr std::uint32_t kTexts = 5000;  // past 1024, 2048 and 4096 slots at three quarters
  for (std::uint32_t i = 0; i < kTexts; ++i) {
    ASSERT_EQ(repo.intern("t" + std::to_string(i)), i + 5) << i;
  }
  EXPECT_EQ(repo.findText("a"), 2u);
  EXPECT_EQ(repo.intern("a"), 2u);
  EXPECT_EQ(repo.intern("b"), 3u);
  EXPECT_EQ(repo.findText("/d"), 1u);
  for (std::uint32_t i = 0; i < kTexts; ++i) {
    EXPECT_EQ(repo.findText("t" + std::to_string(i)), i + 5) << i;
  }
  EXPECT_EQ(repo.findText("t5000"), 0u);
  EXPECT_EQ(repo.textCount(), kTexts + 4);
}

// A save writes nothing when the files already hold what it would write: with every write of
// the pair failing, such a save succeeds, and any other one fails. A change of the content or
// of the files on disk since the load (or the last save) makes it write.
TEST_F(RepositoryTest, ASaveWritesOnlyWhatTheFilesDoNotHoldAlready) {
  struct Case {
    const char* what;
    std::function<void(DyxEntryRepository&)> change;
    bool writes;
  };
  const Case cases[] = {
      {"nothing changed", [](DyxEntryRepository&) {}, false},
      {"an entry's size", [](DyxEntryRepository& r) { r.entryAt(0)->setSize(99); }, true},
      {"an entry's time", [](DyxEntryRepository& r) { r.entryAt(1)->setMTime(DyxTime(7)); }, true},
      {"an entry freed", [](DyxEntryRepository& r) { r.freeEntry(r.entryAt(0)); }, true},
      {"an entry added", [](DyxEntryRepository& r) { r.createEntry("c", "/d", true); }, true},
      {"a text added", [](DyxEntryRepository& r) { r.intern("unused"); }, true},
      {"the data file written again by another program",
       [](DyxEntryRepository&) {
         std::filesystem::last_write_time(
             "same.data", std::filesystem::last_write_time("same.data") + std::chrono::seconds(1));
       },
       true},
      {"the text file removed", [](DyxEntryRepository&) { std::filesystem::remove("same.txt"); },
       true},
  };
  for (const Case& c : cases) {
    {
      DyxEntryRepository original("same", 8);
      original.createEntry("a", "/d", true);
      original.createEntry("b", "/d", true);
      ASSERT_TRUE(original.save()) << c.what;
    }
    quarrytest::FaultEnv env;
    DyxEntryRepository repo("same", 8, env);
    ASSERT_TRUE(repo.load()) << c.what;
    c.change(repo);
    env.failWritesTo("same.", ENOSPC);
    KxNotices::clear();
    EXPECT_EQ(repo.save(), !c.writes) << c.what;
    EXPECT_EQ(KxNotices::take().size(), c.writes ? 1u : 0u) << c.what;
  }
}

// After a save that wrote, the next one without a change writes nothing either.
TEST_F(RepositoryTest, ASecondSaveWithoutAChangeWritesNothing) {
  quarrytest::FaultEnv env;
  DyxEntryRepository repo("again", 8, env);
  repo.createEntry("a", "/d", true);
  ASSERT_TRUE(repo.save());
  const std::string data = dataOf(repo);
  env.failWritesTo("again.", ENOSPC);
  EXPECT_TRUE(repo.save());
  repo.entryAt(0)->setSize(5);
  KxNotices::clear();
  EXPECT_FALSE(repo.save());
  KxNotices::clear();
  EXPECT_EQ(dataOf(repo), data);
}

// A text file that cannot be read up to the end of its directory list loads nothing, wherever
// the reading stops: the repository keeps what it held, and the user is told why.
TEST_F(RepositoryTest, ATextFileThatCannotBeReadToItsEndLeavesTheContentAsItWas) {
  {
    DyxEntryRepository saved("cut", 8);
    saved.createEntry("new-a", "/new", false);
    ASSERT_TRUE(saved.save());
  }
  // "1\n/new\nnew-a\n>\n1 0\n0 0\n": the count, the texts, the directory list.
  for (const std::size_t readable : {0, 1, 9, 19}) {
    quarrytest::FaultEnv env;
    DyxEntryRepository repo("cut", 8, env);
    repo.createEntry("old", "/old", true);
    env.failReadsOf("cut.txt", readable, EIO);
    KxNotices::clear();
    EXPECT_FALSE(repo.load()) << readable;
    const std::vector<KxNotice> told = KxNotices::take();
    ASSERT_EQ(told.size(), 1u) << readable;
    EXPECT_NE(told[0].text().find("cut.txt"), std::string::npos) << told[0].text();
    EXPECT_NE(told[0].text().find("cannot be read"), std::string::npos) << told[0].text();
    EXPECT_EQ(repo.liveCount(), 1u) << readable;
    EXPECT_EQ(repo.entryAt(0)->getName(), "old") << readable;
    EXPECT_EQ(repo.findText("new-a"), 0u) << readable;
    EXPECT_EQ(repo.directoryFlags().size(), 1u) << readable;
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
  repo.forEachEntryOf(repo.findText("/one"), [&](DyxEntry& e) { seen.emplace_back(e.getName()); });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "d"}));
  seen.clear();
  repo.forEachEntryOf(0, [&](DyxEntry& e) { seen.emplace_back(e.getName()); });
  EXPECT_TRUE(seen.empty());
  repo.attachEntries(repo.findText("/one"), nullptr);  // no directory: nothing happens
}

// An entry names its repository by a number in a process-wide table: the number must name that
// very repository while it lives, no repository once it is gone (a number is not handed out
// again at once), and the table must keep serving as repositories come and go far more often
// than it has numbers.
TEST_F(RepositoryTest, EntriesNameTheirOwnRepositoryByNumber) {
  auto first = std::make_unique<DyxEntryRepository>("one", 4);
  DyxEntryRepository second("two", 4);
  DyxEntry* a = first->createEntry("a.txt", "/d", false);
  DyxEntry* b = second.createEntry("b.txt", "/d", false);
  EXPECT_EQ(a->getRepository(), first.get());
  EXPECT_EQ(b->getRepository(), &second);
  EXPECT_NE(first->number(), second.number());
  const DyxEntry copy = *a;  // outlives its repository
  EXPECT_EQ(copy.getName(), "a.txt");
  first.reset();
  DyxEntryRepository third("three", 1);
  EXPECT_EQ(copy.getRepository(), nullptr) << "a gone repository's number named another one";
  EXPECT_EQ(copy.getName(), "");

  for (std::size_t i = 0; i < dyxrepository::kMaxRepositories + 10; ++i) {
    DyxEntryRepository passing("passing", 1);
    ASSERT_NE(passing.number(), 0u) << i;
    ASSERT_NE(passing.number(), second.number()) << i;
    if (i % 4096 == 0) {
      ASSERT_EQ(passing.createEntry("x")->getRepository(), &passing) << i;
    }
  }
  EXPECT_EQ(b->getRepository(), &second);
  EXPECT_EQ(b->getName(), "b.txt");
}
