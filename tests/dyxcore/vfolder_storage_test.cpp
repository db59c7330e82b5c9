// The flat entry storage of folders (ordered part with tombstones, unordered tail merged on
// demand) against a plain model, and the wholesale clear that bypasses the index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/path.h"
#include "dyxcore/vfolder.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"

namespace {

using quarrytest::TraceCapture;

// What getEntries must answer for references filed in `inserted` order: by name byte-wise,
// equal names in insertion order.
std::vector<DyxEntry*> ordered(std::vector<DyxEntry*> inserted) {
  std::stable_sort(inserted.begin(), inserted.end(), [](DyxEntry* a, DyxEntry* b) {
    return std::string_view(a->getName()) < std::string_view(b->getName());
  });
  return inserted;
}

class StorageTest : public ::testing::Test {
 protected:
  StorageTest() : m_repo("vfolder_storage_test", 32768) {}
  void TearDown() override { Dyx::getViewManager().clearViewCache(); }
  DyxViewManagerImpl& index() { return Dyx::getViewManager().getIndex(); }
  std::vector<DyxEntry*> entriesOf(const DyxViewFolder& folder) {
    std::vector<DyxEntry*> list;
    folder.getEntries(list);
    return list;
  }

  DyxEntryRepository m_repo;
};

// Names that tie on their first twelve or sixteen bytes, that are prefixes of one another, that
// carry bytes above 0x7f (they sort after ASCII), and equal names of distinct entries.
TEST_F(StorageTest, RandomFilingAndRemovalMatchAStableOrderedModel) {
  const std::vector<std::string> names = {"meeting_0001.txt",
                                          "meeting_0001.txz",
                                          "meeting_0001",
                                          "meeting_000",
                                          "a",
                                          "ab",
                                          "abc",
                                          "\xc3\x9c"
                                          "bersicht.txt",
                                          "Zeta",
                                          "family tree (1).xls",
                                          "family tree (11).xls",
                                          "~",
                                          "holiday pictures 2018 (1).jpeg",
                                          "holiday pictures 2018 (2).jpeg",
                                          "holiday pictures 20"};
  std::vector<DyxEntry*> pool;
  for (const std::string& name : names) {
    for (const char* dir : {"/one", "/two", "/three"})
      pool.push_back(m_repo.createEntry(name, dir, false));
  }
  DyxViewFolder folder("f");
  std::vector<DyxEntry*> model;  // references in insertion order
  std::mt19937 rng(23);
  auto removeFromModel = [&](DyxEntry* e) {
    model.erase(std::find(model.begin(), model.end(), e));
  };
  for (int step = 0; step < 4000; ++step) {
    DyxEntry* e = pool[rng() % pool.size()];
    unsigned op = rng() % 20;
    if (op < 8 && model.size() > 500) op = 8;  // stays a few hundred long: the model is slow
    if (op < 8) {
      folder.addEntry(e, nullptr);
      model.push_back(e);
    } else if (op < 13 && !model.empty()) {
      DyxEntry* held = model[rng() % model.size()];
      folder.removeEntry(held, false);
      removeFromModel(held);
    } else if (op == 13 && std::find(model.begin(), model.end(), e) == model.end()) {
      TraceCapture trace;
      folder.removeEntry(e, false);
      EXPECT_TRUE(trace.has("Not in: " + std::string(e->getName()) + ",folder=f")) << step;
    } else if (op == 14) {
      // A burst longer than the tail that removals scan, then most of it leaves again.
      std::vector<DyxEntry*> burst;
      for (int i = 0; i < 150; ++i) burst.push_back(pool[rng() % pool.size()]);
      for (DyxEntry* b : burst) {
        folder.addEntry(b, nullptr);
        model.push_back(b);
      }
      std::shuffle(burst.begin(), burst.end(), rng);
      for (std::size_t i = 0; i < burst.size() * 3 / 4; ++i) {
        folder.removeEntry(burst[i], false);
        removeFromModel(burst[i]);
      }
      while (model.size() > 500) {
        DyxEntry* held = model[rng() % model.size()];
        folder.removeEntry(held, false);
        removeFromModel(held);
      }
    } else if (op < 17) {
      ASSERT_EQ(entriesOf(folder), ordered(model)) << "step " << step;
    } else {
      EXPECT_EQ(folder.holdsEntry(e), std::find(model.begin(), model.end(), e) != model.end());
    }
    ASSERT_EQ(folder.getEntryCount(), static_cast<int>(model.size()));
    ASSERT_EQ(index().referenceCount(e),
              static_cast<std::size_t>(std::count(model.begin(), model.end(), e)));
  }
  EXPECT_EQ(entriesOf(folder), ordered(model));
}

// A tail filed in name order (as a view built from the pool files each directory) merges
// without a sort: runs read after each other must still come out in name order, equal names in
// filing order, and a single name out of order anywhere in a run must still be placed.
TEST_F(StorageTest, TailsFiledInNameOrderMergeAsAnyOther) {
  std::vector<std::string> longRun;
  std::vector<std::string> longBetween;
  for (int i = 10; i < 50; ++i) {
    longRun.push_back("n" + std::to_string(i) + "0");
    longBetween.push_back("n" + std::to_string(i) + "5");
  }
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> runs;  // the folder is read after each run
  };
  const Case cases[] = {
      {"one run", {{"a", "b", "c"}}},
      {"runs between the ordered names", {{"b", "d", "f"}, {"a", "c", "e", "g"}}},
      {"equal names", {{"a", "b"}, {"a", "b", "b"}}},
      {"the last name out of order", {{"b", "c"}, {"d", "e", "a"}}},
      {"the first name out of order", {{"x", "b", "c"}}},
      {"runs past the buffers on the stack", {longRun, longBetween, {"a", "z"}}},
  };
  int dir = 0;
  for (const Case& c : cases) {
    DyxViewFolder folder("f");
    std::vector<DyxEntry*> model;
    for (const std::vector<std::string>& run : c.runs) {
      for (const std::string& name : run) {
        DyxEntry* e = m_repo.createEntry(name, "/d" + std::to_string(dir++), false);
        folder.addEntry(e, nullptr);
        model.push_back(e);
      }
      EXPECT_EQ(entriesOf(folder), ordered(model)) << c.what;
    }
  }
}

// Removing the same entry filed twice takes its references one at a time, whether they sit in
// the ordered part, the tail or both; a folder emptied that way is empty for its parent.
TEST_F(StorageTest, DuplicatesLeaveOneReferenceAtATimeFromEitherPart) {
  DyxViewFolder root("");
  DyxViewFolder* folder = root.createFolderPath(DyxPath("/f"));
  DyxEntry* dup = m_repo.createEntry("dup", "/d", false);
  DyxEntry* other = m_repo.createEntry("dup", "/e", false);
  folder->addEntry(dup, nullptr);
  folder->addEntry(other, nullptr);
  EXPECT_EQ(entriesOf(*folder), (std::vector<DyxEntry*>{dup, other}));  // now ordered
  folder->addEntry(dup, nullptr);                                       // in the tail
  EXPECT_EQ(entriesOf(*folder), (std::vector<DyxEntry*>{dup, other, dup}));
  folder->addEntry(dup, nullptr);
  folder->removeEntry(dup, false);
  EXPECT_EQ(entriesOf(*folder), (std::vector<DyxEntry*>{other, dup, dup}));
  folder->removeEntry(other, false);
  folder->removeEntry(dup, false);
  EXPECT_TRUE(folder->holdsEntry(dup));
  EXPECT_EQ(root.getEmptyFolderCount(), 0);
  folder->removeEntry(dup, false);
  EXPECT_FALSE(folder->holdsEntry(dup));
  EXPECT_EQ(index().referenceCount(dup), 0u);
  EXPECT_EQ(root.getEmptyFolderCount(), 1);
  TraceCapture trace;
  folder->removeEntry(dup, false);
  EXPECT_TRUE(trace.has("Not in: dup,folder=f"));
}

// Half of a big folder leaves in name order (one long run of removed places, which searches
// must cross quickly), then the rest in random order, with more filed in between.
TEST_F(StorageTest, ManyRemovalsFromABigFolderKeepOrderAndCounts) {
  constexpr int kCount = 20000;
  std::vector<DyxEntry*> entries;
  for (int i = 0; i < kCount; ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "n%06d", i);
    entries.push_back(m_repo.createEntry(name, "/big", false));
    ASSERT_NE(entries.back(), nullptr);
  }
  std::vector<DyxEntry*> shuffled = entries;
  std::mt19937 rng(5);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  DyxViewFolder folder("big");
  for (DyxEntry* e : shuffled) folder.addEntry(e, nullptr);
  ASSERT_EQ(entriesOf(folder), entries);

  for (int i = 0; i < kCount / 2; ++i) {
    folder.removeEntry(entries[i], false);
    if (i == kCount / 4) {
      ASSERT_EQ(entriesOf(folder), std::vector<DyxEntry*>(entries.begin() + i + 1, entries.end()));
    }
  }
  std::vector<DyxEntry*> rest(entries.begin() + kCount / 2, entries.end());
  EXPECT_FALSE(folder.holdsEntry(entries[0]));
  EXPECT_TRUE(folder.holdsEntry(rest.front()));
  EXPECT_TRUE(folder.holdsEntry(rest.back()));
  // Some come back (into the tail) while others leave.
  for (int i = 0; i < 100; ++i) folder.addEntry(entries[i], nullptr);
  std::shuffle(rest.begin(), rest.end(), rng);
  for (std::size_t i = 0; i + 1 < rest.size(); ++i) folder.removeEntry(rest[i], false);
  std::vector<DyxEntry*> expected(entries.begin(), entries.begin() + 100);
  expected.push_back(rest.back());
  EXPECT_EQ(entriesOf(folder), ordered(expected));
  EXPECT_EQ(folder.getEntryCount(), 101);
  EXPECT_EQ(index().entryCount(), 101u);
}

// ---------------------------------------------------------------------------------------------
// Wholesale clear

// Files each entry under its first letter; predefined, so a wholesale clear prunes it.
class InitialView : public DyxView {
 public:
  InitialView() : DyxView("<InitialView>") {}
  DyxViewKind getKind() const override { return DyxViewKind(DyxViewKind::kPhysical); }
  bool mapEntry(DyxEntry* entry, DyxScanObserver* observer) override {
    createFolderPath(DyxPath("/" + std::string(entry->getName().substr(0, 1))))
        ->addEntry(entry, observer);
    return true;
  }
};

// Keeps its folders (a user view): the root, "/keep/all" and an always empty "/keep/none"
// each take every entry but the last.
class KeepingView : public DyxView {
 public:
  KeepingView() : DyxView("<KeepingView>") { createFolderPath(DyxPath("/keep/none")); }
  DyxViewKind getKind() const override { return DyxViewKind(DyxViewKind::kUser); }
  bool mapEntry(DyxEntry* entry, DyxScanObserver* observer) override {
    if (entry->getName() == "last") return true;
    addEntry(entry, observer);
    createFolderPath(DyxPath("/keep/all"))->addEntry(entry, observer);
    return true;
  }
};

template <class View>
class Factory : public DyxViewFactory {
 public:
  std::unique_ptr<DyxView> create(DyxPhysicalDirs* /*pool*/, bool /*update*/) override {
    return std::make_unique<View>();
  }
};

// Folder paths with their direct entry counts, and the empty-folder counts of the root.
std::string describe(DyxView& view) {
  std::ostringstream out;
  out << "root " << view.getEntryCount() << " empty " << view.getEmptyFolderCount() << ";";
  std::vector<DyxViewFolder*> all;
  view.getFolders(all, true, true);
  for (DyxViewFolder* f : all) {
    out << f->getName() << " " << f->getEntryCount() << " " << f->getEmptyFolderCount() << ";";
  }
  return out.str();
}

class WholesaleTest : public StorageTest {
 protected:
  WholesaleTest() {
    Dyx::getViewManager();  // the facade's manager exists before ours, so ours is current
    for (auto* m : {&m_earlier, &m_current}) {
      *m = std::make_unique<DyxViewManager>();
      (*m)->registerFactory("Initial", std::make_unique<Factory<InitialView>>());
      (*m)->registerFactory("Keeping", std::make_unique<Factory<KeepingView>>());
    }
  }
  ~WholesaleTest() override {
    // The later manager goes first: the earlier one is current again while it is destroyed.
    m_current.reset();
    m_earlier.reset();
  }
  // Fills the current manager's two views; the entries (some filed twice) stay in `m_filed`.
  void fill(DyxViewManager& manager) {
    m_filed.clear();
    for (const char* name : {"apple", "avocado", "berry", "cherry", "apple", "last"}) {
      m_filed.push_back(m_repo.createEntry(name, "/w", false));
    }
    m_filed.push_back(m_filed[1]);  // the same entry twice
    for (DyxEntry* e : m_filed) manager.addEntryToAllViews(e, nullptr);
  }

  std::unique_ptr<DyxViewManager> m_earlier;  // made first: not current
  std::unique_ptr<DyxViewManager> m_current;  // made last: the one folders report to
  std::vector<DyxEntry*> m_filed;
};

// The wholesale clear must end exactly where removing every entry one by one (with the clean-up
// of predefined views) ends, with the index empty, and leave the index usable afterwards.
TEST_F(WholesaleTest, EndsLikeRemovingEachEntryAndLeavesTheIndexEmpty) {
  // One by one, on the current manager (the ordinary path).
  DyxViewManager& single = *m_current;
  single.get("Initial", false);
  single.get("Keeping", false);
  fill(single);
  for (DyxEntry* e : m_filed) single.removeFromAllView(e, true);
  const std::string initialExpected = describe(*single.getCached("Initial"));
  const std::string keepingExpected = describe(*single.getCached("Keeping"));
  EXPECT_EQ(initialExpected, "root 0 empty 0;");

  // Wholesale, on the same manager with the same filing.
  fill(single);
  ASSERT_GT(single.getIndex().entryCount(), 0u);
  {
    TraceCapture trace;
    single.removeAllEntriesFromAllViews();
    EXPECT_FALSE(trace.has("Not in")) << trace.text();
  }
  EXPECT_EQ(describe(*single.getCached("Initial")), initialExpected);
  EXPECT_EQ(describe(*single.getCached("Keeping")), keepingExpected);
  EXPECT_EQ(single.getIndex().entryCount(), 0u);
  for (DyxEntry* e : m_filed) EXPECT_EQ(single.getIndex().referenceCount(e), 0u);

  // Filed again, every reference is known to the index once more and leaves without a word.
  fill(single);
  EXPECT_EQ(single.getIndex().referenceCount(m_filed[1]), 6u);  // twice in three folders
  TraceCapture trace;
  for (DyxEntry* e : m_filed) single.removeFromAllView(e, true);
  EXPECT_FALSE(trace.has("Not in")) << trace.text();
  EXPECT_EQ(describe(*single.getCached("Keeping")), keepingExpected);

  // Clearing the cache with entries filed empties the index too.
  fill(single);
  single.clearViewCache();
  EXPECT_EQ(single.getCachedViewCount(), 0u);
  EXPECT_EQ(single.getIndex().entryCount(), 0u);
}

// A manager that is not the one folders report to must not drop references its folders filed
// elsewhere: its views forget them one by one.
TEST_F(WholesaleTest, AManagerThatIsNotCurrentForgetsOneByOne) {
  DyxViewManager& other = *m_earlier;
  other.get("Keeping", false);
  fill(other);
  DyxViewManager& current = *DyxViewManager::current();
  ASSERT_EQ(&current, m_current.get());
  EXPECT_GT(current.getIndex().entryCount(), 0u);  // folders report to the current manager
  other.removeAllEntriesFromAllViews();
  EXPECT_EQ(current.getIndex().entryCount(), 0u);
  fill(other);
  other.clearViewCache();
  EXPECT_EQ(current.getIndex().entryCount(), 0u);
}

}  // namespace
