#include "dyxcore/vfolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/path.h"
#include "dyxcore/physdir.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"

namespace {

using quarrytest::TraceCapture;

class RecordingObserver : public DyxScanObserver {
 public:
  explicit RecordingObserver(bool answer) : m_answer(answer) {}
  bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) override {
    filed.emplace_back(folder, entry);
    return m_answer;
  }
  bool isStopRequested(bool& /*restarted*/) override { return false; }
  void directoryStarted(const std::string& /*path*/) override {}
  std::vector<std::pair<DyxViewFolder*, DyxEntry*>> filed;

 private:
  bool m_answer;
};

class FolderTest : public ::testing::Test {
 protected:
  FolderTest() : m_repo("vfolder_test", 64) {}
  void TearDown() override { Dyx::getViewManager().clearViewCache(); }

  DyxEntry* entry(const std::string& name, const std::string& dir = "/data") {
    return m_repo.createEntry(name, dir, false);
  }
  DyxViewManagerImpl& index() { return Dyx::getViewManager().getIndex(); }
  std::vector<DyxViewFolder*> foldersOf(const DyxEntry* e) {
    std::vector<DyxViewFolder*> list;
    index().getFolders(e, list);
    return list;
  }
  static std::vector<std::string> namesOf(const std::vector<DyxViewFolder*>& folders) {
    std::vector<std::string> names;
    for (auto* f : folders) names.push_back(f->getName());
    return names;
  }

  DyxEntryRepository m_repo;
};

TEST_F(FolderTest, EqualNamesKeepInsertionOrderAndRemoveByIdentity) {
  DyxViewFolder folder("f");
  DyxEntry* a1 = entry("a.txt", "/one");
  DyxEntry* b = entry("b.txt", "/one");
  DyxEntry* a2 = entry("a.txt", "/two");
  ASSERT_TRUE(folder.addEntry(b, nullptr));
  ASSERT_TRUE(folder.addEntry(a1, nullptr));
  ASSERT_TRUE(folder.addEntry(a2, nullptr));
  std::vector<DyxEntry*> list;
  folder.getEntries(list);
  EXPECT_EQ(list, (std::vector<DyxEntry*>{a1, a2, b}));
  EXPECT_EQ(folder.getEntryCount(), 3);

  folder.removeEntry(a1, false);
  folder.getEntries(list);
  EXPECT_EQ(list, (std::vector<DyxEntry*>{a2, b}));
  EXPECT_EQ(folder.getEntryCount(), 2);
  EXPECT_TRUE(foldersOf(a1).empty());
  EXPECT_EQ(foldersOf(a2), (std::vector<DyxViewFolder*>{&folder}));
}

// Folders key entries by the repository's own name text; an equal name from a repository that
// is gone must not leave the key dangling (AddressSanitizer watches this one).
TEST_F(FolderTest, EqualNamesOutliveTheRepositoryThatLentTheKey) {
  DyxViewFolder folder("f");
  auto other = std::make_unique<DyxEntryRepository>("vfolder_other", 4);
  DyxEntry* lender = other->createEntry("same.txt", "/x", false);
  DyxEntry* kept = entry("same.txt", "/y");
  folder.addEntry(lender, nullptr);
  folder.addEntry(kept, nullptr);
  folder.removeEntry(lender, false);
  other.reset();
  DyxEntry* later = entry("same.txt", "/z");
  DyxEntry* before = entry("aaa");
  folder.addEntry(later, nullptr);
  folder.addEntry(before, nullptr);
  std::vector<DyxEntry*> list;
  folder.getEntries(list);
  EXPECT_EQ(list, (std::vector<DyxEntry*>{before, kept, later}));
  EXPECT_TRUE(folder.holdsEntry(kept));
}

TEST_F(FolderTest, DuplicateReferencesAreCountedInFolderAndIndex) {
  DyxViewFolder folder("f");
  DyxEntry* e = entry("x");
  folder.addEntry(e, nullptr);
  folder.addEntry(e, nullptr);
  EXPECT_EQ(folder.getEntryCount(), 2);
  EXPECT_EQ(index().referenceCount(e), 2u);
  folder.removeEntry(e, false);
  EXPECT_EQ(folder.getEntryCount(), 1);
  EXPECT_EQ(index().referenceCount(e), 1u);
}

TEST_F(FolderTest, RemovingAnAbsentEntryReportsAndChangesNothing) {
  DyxViewFolder folder("box");
  DyxEntry* held = entry("held");
  DyxEntry* other = entry("other");
  folder.addEntry(held, nullptr);
  TraceCapture trace;
  folder.removeEntry(other, false);
  folder.removeEntry(nullptr, true);
  EXPECT_TRUE(trace.has("Not in: other,folder=box")) << trace.text();
  EXPECT_TRUE(trace.has("The entry is null.")) << trace.text();
  EXPECT_EQ(folder.getEntryCount(), 1);
  EXPECT_EQ(index().referenceCount(held), 1u);
}

TEST_F(FolderTest, NullEntryIsReportedAndAnsweredTrue) {
  DyxViewFolder folder("f");
  TraceCapture trace;
  EXPECT_TRUE(folder.addEntry(nullptr, nullptr));
  EXPECT_TRUE(trace.has("Null passed DyxEntry instance."));
  EXPECT_EQ(folder.getEntryCount(), 0);
}

TEST_F(FolderTest, ObserverRefusalKeepsTheEntryFiled) {
  DyxViewFolder folder("f");
  DyxEntry* e = entry("e");
  RecordingObserver refusing(false);
  EXPECT_FALSE(folder.addEntry(e, &refusing));
  ASSERT_EQ(refusing.filed.size(), 1u);
  EXPECT_EQ(refusing.filed[0].first, &folder);
  EXPECT_EQ(refusing.filed[0].second, e);
  EXPECT_TRUE(folder.holdsEntry(e));
  EXPECT_EQ(foldersOf(e), (std::vector<DyxViewFolder*>{&folder}));
}

TEST_F(FolderTest, GetFolderResolvesPaths) {
  DyxViewFolder root("");
  DyxViewFolder* deep = root.createFolderPath(DyxPath("a/b/c"));
  ASSERT_NE(deep, nullptr);
  DyxViewFolder* a = root.getSubFolder("a");
  struct Case {
    DyxPath path;
    DyxViewFolder* expected;
  } cases[] = {
      {DyxPath(), &root},         {DyxPath("."), &root},
      {DyxPath("a"), a},  // parsed as "./a"
      {DyxPath("/a/b/c"), deep},  {DyxPath("./a/./b/c"), deep},
      {DyxPath("a/b/c/."), deep}, {DyxPath("a/x"), nullptr},
      {DyxPath("/b"), nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(root.getFolder(c.path), c.expected) << c.path.toString();
  }
  // From a level: the components before it are not looked at.
  EXPECT_EQ(a->getFolder(DyxPath("/a/b/c"), 1), deep);
}

TEST_F(FolderTest, CreateFolderPathMakesEachFolderOnce) {
  DyxViewFolder root("");
  DyxViewFolder* deep = root.createFolderPath(DyxPath("/x/y/z"));
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->getName(), "z");
  EXPECT_EQ(deep->getParent()->getName(), "y");
  EXPECT_EQ(deep->getParent()->getParent()->getName(), "x");
  EXPECT_EQ(deep->getParent()->getParent()->getParent(), &root);
  std::vector<DyxViewFolder*> all;
  root.getFolders(all, true, true);
  EXPECT_EQ(namesOf(all), (std::vector<std::string>{"x", "y", "z"}));

  EXPECT_EQ(root.createFolderPath(DyxPath("/x/y/z")), deep);
  root.getFolders(all, true, true);
  EXPECT_EQ(all.size(), 3u);

  TraceCapture trace;
  EXPECT_EQ(root.createFolderPath(DyxPath()), nullptr);
  EXPECT_TRUE(trace.has("The given sub-folder path is empty."));
}

// A tree whose folder class refuses one name.
class PickyFolder : public DyxViewFolder {
 public:
  using DyxViewFolder::DyxViewFolder;
  std::unique_ptr<DyxViewFolder> newFolder(const std::string& name) override {
    if (name == "no") return nullptr;
    return std::make_unique<PickyFolder>(name);
  }
};

TEST_F(FolderTest, CreateFolderPathStopsAtARefusedFolderAndKeepsWhatItMade) {
  PickyFolder root("");
  TraceCapture trace;
  EXPECT_EQ(root.createFolderPath(DyxPath("/a/no/b")), nullptr);
  EXPECT_TRUE(trace.has("The given folder instance is null."));
  ASSERT_NE(root.getFolder(DyxPath("/a")), nullptr);
  EXPECT_NE(dynamic_cast<PickyFolder*>(root.getFolder(DyxPath("/a"))), nullptr);
  EXPECT_EQ(root.getFolder(DyxPath("/a"))->getFolderCount(), 0u);
}

TEST_F(FolderTest, GetFoldersListsDepthFirstInNameOrder) {
  DyxViewFolder root("");
  for (const char* p : {"/b/b2", "/a/a2", "/a/a1/deep", "/c"}) root.createFolderPath(DyxPath(p));
  std::vector<DyxViewFolder*> list{&root};
  root.getFolders(list, false, false);  // appends, keeps what was there
  EXPECT_EQ(namesOf(list), (std::vector<std::string>{"", "a", "b", "c"}));
  root.getFolders(list, true, true);
  EXPECT_EQ(namesOf(list), (std::vector<std::string>{"a", "a1", "deep", "a2", "b", "b2", "c"}));
}

TEST_F(FolderTest, AddFolderRefusals) {
  DyxViewFolder root("");
  ASSERT_TRUE(root.addFolder(std::make_unique<DyxViewFolder>("taken")));
  struct Case {
    std::unique_ptr<DyxViewFolder> folder;
    const char* message;
  };
  Case cases[3];
  cases[0] = {nullptr, "The given folder instance is null."};
  cases[1] = {std::make_unique<DyxViewFolder>(""), "The given folder name is empty."};
  cases[2] = {std::make_unique<DyxViewFolder>("taken"),
              "The sub-folder name taken is already in use."};
  DyxViewFolder* original = root.getSubFolder("taken");
  for (Case& c : cases) {
    TraceCapture trace;
    EXPECT_FALSE(root.addFolder(std::move(c.folder))) << c.message;
    EXPECT_TRUE(trace.has(c.message)) << trace.text();
  }
  EXPECT_EQ(root.getSubFolder("taken"), original);
  EXPECT_EQ(root.getFolderCount(), 1u);
  TraceCapture trace;
  EXPECT_EQ(root.newFolder(""), nullptr);
  EXPECT_TRUE(trace.has("The folder name is empty."));
}

TEST_F(FolderTest, RemoveFolderRefusesNonEmptyUnlessRecursive) {
  DyxViewFolder root("");
  root.createFolderPath(DyxPath("/outer/inner"));
  {
    TraceCapture trace;
    EXPECT_FALSE(root.removeFolder("outer", false));
    EXPECT_TRUE(trace.has("Child folder is not empty."));
    EXPECT_FALSE(root.removeFolder("missing", true));
    EXPECT_TRUE(trace.has("Not in: missing,folder="));
    EXPECT_FALSE(root.removeFolder("", true));
    EXPECT_TRUE(trace.has("The given folder name is empty."));
  }
  root.removeEmptyFolders();
  EXPECT_TRUE(root.isEmpty());

  DyxEntry* e = entry("kept");
  root.createFolderPath(DyxPath("/p/q"))->addEntry(e, nullptr);
  EXPECT_TRUE(root.removeFolder("p", true));
  EXPECT_EQ(index().referenceCount(e), 0u);  // destroyed folders leave the index
}

TEST_F(FolderTest, RemoveEmptyFoldersKeepsAncestorsOfEntries) {
  DyxViewFolder root("");
  DyxEntry* e = entry("e");
  root.createFolderPath(DyxPath("/full/sub/leaf"))->addEntry(e, nullptr);
  root.createFolderPath(DyxPath("/full/empty/chain"));
  root.createFolderPath(DyxPath("/gone/a/b/c"));
  root.removeEmptyFolders();
  std::vector<DyxViewFolder*> all;
  root.getFolders(all, true, true);
  EXPECT_EQ(namesOf(all), (std::vector<std::string>{"full", "sub", "leaf"}));
}

TEST_F(FolderTest, RemoveAllEntriesEmptiesTheSubtreeButKeepsFolders) {
  DyxViewFolder root("");
  std::vector<DyxEntry*> entries;
  for (int i = 0; i < 6; ++i) entries.push_back(entry("n" + std::to_string(i)));
  root.addEntry(entries[0], nullptr);
  root.createFolderPath(DyxPath("/a"))->addEntry(entries[1], nullptr);
  root.createFolderPath(DyxPath("/a/b"))->addEntry(entries[2], nullptr);
  root.createFolderPath(DyxPath("/a/b"))->addEntry(entries[2], nullptr);
  root.createFolderPath(DyxPath("/c/d"))->addEntry(entries[3], nullptr);
  root.removeAllEntries();
  std::vector<DyxViewFolder*> all;
  root.getFolders(all, true, true);
  EXPECT_EQ(all.size(), 4u);
  for (DyxViewFolder* f : all) EXPECT_EQ(f->getEntryCount(), 0) << f->getName();
  EXPECT_EQ(root.getEntryCount(), 0);
  EXPECT_EQ(index().entryCount(), 0u);
  root.removeEmptyFolders();
  EXPECT_EQ(root.getFolderCount(), 0u);
}

TEST_F(FolderTest, RemoveEntryRecursiveLeavesEveryFolderOfTheTree) {
  DyxViewFolder root("");
  DyxEntry* e = entry("e");
  root.addEntry(e, nullptr);
  root.createFolderPath(DyxPath("/a/b"))->addEntry(e, nullptr);
  root.createFolderPath(DyxPath("/c"))->addEntry(e, nullptr);
  EXPECT_EQ(index().referenceCount(e), 3u);
  root.removeEntry(e, true);
  EXPECT_EQ(index().referenceCount(e), 0u);
  EXPECT_FALSE(root.getFolder(DyxPath("/a/b"))->holdsEntry(e));
}

// The index against a plain model, through many records and forgets of entries held by one
// folder, by none, and by arrays of several (growing and shrinking), for entries of two
// repositories and detached ones: no folder may be lost or reordered.
TEST_F(FolderTest, IndexMatchesAReferenceModel) {
  DyxViewManagerImpl impl;
  DyxEntryRepository other("vfolder_test_other", 5000);
  std::vector<DyxEntry> detached(100);
  std::vector<const DyxEntry*> entries;
  for (DyxEntry& e : detached) entries.push_back(&e);
  for (int i = 0; i < 60; ++i) {
    entries.push_back(entry("m" + std::to_string(i)));
    // Far apart slots: several pages of the other repository.
    for (int k = 0; k < 70; ++k) other.createEntry("pad", "/p", false);
    entries.push_back(other.createEntry("o" + std::to_string(i), "/o", false));
  }
  std::vector<std::unique_ptr<DyxViewFolder>> folders;
  for (int i = 0; i < 6; ++i)
    folders.push_back(std::make_unique<DyxViewFolder>("f" + std::to_string(i)));
  std::map<const DyxEntry*, std::vector<DyxViewFolder*>> model;
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    const DyxEntry* e = entries[rng() % entries.size()];
    DyxViewFolder* f = folders[rng() % folders.size()].get();
    auto& list = model[e];
    if (rng() % 2 == 0) {
      impl.recordFolder(e, f);
      list.push_back(f);
    } else {
      auto it = std::find(list.begin(), list.end(), f);
      if (it == list.end()) continue;
      impl.forgetFolder(e, f);
      list.erase(it);
    }
  }
  std::size_t live = 0;
  for (const auto& [e, list] : model) {
    std::vector<DyxViewFolder*> got;
    impl.getFolders(e, got);
    EXPECT_EQ(got, list);
    EXPECT_EQ(impl.referenceCount(e), list.size());
    live += list.empty() ? 0 : 1;
  }
  EXPECT_EQ(impl.entryCount(), live);
  impl.clear();
  EXPECT_EQ(impl.entryCount(), 0u);
  EXPECT_EQ(impl.referenceCount(entries.back()), 0u);
  EXPECT_LT(impl.memoryBytes(), 64u);  // nothing is kept after a clear
}

// About a word per entry held once; a few dozen bytes per detached entry held three times.
TEST_F(FolderTest, IndexMemoryStaysSmall) {
  DyxViewManagerImpl impl;
  DyxEntryRepository big("vfolder_test_big", 30000);
  DyxViewFolder folder("f");
  for (int i = 0; i < 20000; ++i) impl.recordFolder(big.createEntry("x", "/b", false), &folder);
  EXPECT_LE(impl.memoryBytes() / 20000, 10u);
  impl.clear();
  std::vector<DyxEntry> detached(300);
  for (const DyxEntry& e : detached) {
    for (int k = 0; k < 3; ++k) impl.recordFolder(&e, &folder);
  }
  EXPECT_LE(impl.memoryBytes() / detached.size(), 96u);
}

// A repository object made again at the address of a deleted one starts with an index that has
// never known its entries, even where a slot has the address of a known entry of the old one.
TEST_F(FolderTest, IndexForgetsARepositoryRecreatedAtTheSameAddress) {
  alignas(DyxEntryRepository) unsigned char storage[sizeof(DyxEntryRepository)];
  DyxViewFolder folder("f");
  auto* first = new (storage) DyxEntryRepository("vfolder_test_first", 8);
  DyxEntry* gone = first->createEntry("gone", "/x", false);
  folder.addEntry(gone, nullptr);
  folder.addEntry(gone, nullptr);
  folder.removeEntry(gone, false);
  folder.removeEntry(gone, false);  // known, held by no folder
  first->~DyxEntryRepository();
  auto* second = new (storage) DyxEntryRepository("vfolder_test_second", 8);
  DyxEntry* fresh = second->createEntry("fresh", "/y", false);
  {
    TraceCapture trace;
    index().removeFromAllFolders(fresh);
    EXPECT_EQ(trace.count("Not in."), 1) << trace.text();
  }
  folder.addEntry(fresh, nullptr);
  EXPECT_EQ(foldersOf(fresh), (std::vector<DyxViewFolder*>{&folder}));
  EXPECT_EQ(index().entryCount(), 1u);
  folder.removeEntry(fresh, false);
  EXPECT_EQ(index().entryCount(), 0u);
  second->~DyxEntryRepository();
}

TEST_F(FolderTest, RemoveFromAllFoldersEndsOnAStaleReference) {
  DyxViewFolder holder("holder");
  DyxViewFolder stranger("stranger");
  DyxEntry* e = entry("e");
  holder.addEntry(e, nullptr);
  // A reference to a folder that does not hold the entry: the loop must still end.
  index().recordFolder(e, &stranger);
  TraceCapture trace;
  index().removeFromAllFolders(e);
  EXPECT_EQ(index().referenceCount(e), 0u);
  EXPECT_FALSE(holder.holdsEntry(e));
}

// Only an entry the index has never known is reported: one that has left every folder is
// removed again without a word (a vanished entry that a filter view had already dropped).
TEST_F(FolderTest, RemoveFromAllFoldersReportsOnlyUnknownEntries) {
  DyxViewFolder folder("f");
  DyxEntry* left = entry("left");
  DyxEntry* stranger = entry("stranger");
  folder.addEntry(left, nullptr);
  folder.removeEntry(left, false);
  struct Case {
    DyxEntry* entry;
    int notIn;
  } cases[] = {{left, 0}, {left, 0}, {stranger, 1}};
  for (const Case& c : cases) {
    TraceCapture trace;
    index().removeFromAllFolders(c.entry);
    EXPECT_EQ(trace.count("Not in."), c.notIn) << c.entry->getName();
  }
  EXPECT_EQ(index().entryCount(), 0u);
  // Filed again after that: counted and removable as before.
  folder.addEntry(left, nullptr);
  EXPECT_EQ(index().entryCount(), 1u);
  index().removeFromAllFolders(left);
  EXPECT_FALSE(folder.holdsEntry(left));
  EXPECT_EQ(index().entryCount(), 0u);
}

}  // namespace

namespace {

int bruteEmptyCount(DyxViewFolder& folder) {
  std::vector<DyxViewFolder*> all;
  folder.getFolders(all, true, true);
  int n = 0;
  for (DyxViewFolder* f : all) n += f->isEmpty() ? 1 : 0;
  return n;
}

// The empty-folder counts that let removeEmptyFolders skip clean subtrees must follow every
// change of the tree; a drift would leave empty folders behind or walk for nothing.
TEST_F(FolderTest, EmptyFolderCountsFollowEveryChange) {
  DyxViewFolder root("");
  std::vector<DyxEntry*> entries;
  for (int i = 0; i < 8; ++i) entries.push_back(entry("e" + std::to_string(i)));
  const char* paths[] = {"/a", "/a/b", "/a/b/c", "/a/d", "/e", "/e/f/g", "/h"};
  std::mt19937 rng(11);
  for (int step = 0; step < 3000; ++step) {
    const DyxPath path(paths[rng() % std::size(paths)]);
    DyxEntry* e = entries[rng() % entries.size()];
    switch (rng() % 7) {
      case 0:
      case 1:
        root.createFolderPath(path)->addEntry(e, nullptr);
        break;
      case 2:
        if (DyxViewFolder* f = root.getFolder(path)) {
          if (f->holdsEntry(e)) f->removeEntry(e, false);
        }
        break;
      case 3:
        root.createFolderPath(path);
        break;
      case 4:
        if (DyxViewFolder* f = root.getFolder(path)) {
          if (rng() % 4 == 0)
            f->removeAllFolders();
          else
            f->removeAllEntries();
        }
        break;
      case 5:
        if (DyxViewFolder* f = root.getFolder(path)) {
          if (f->getParent() != nullptr) f->getParent()->removeFolder(f->getName(), true);
        }
        break;
      case 6:
        Dyx::getViewManager().getIndex().removeFromAllFolders(e);
        root.removeEmptyFolders();
        EXPECT_EQ(bruteEmptyCount(root), 0);
        break;
    }
    ASSERT_EQ(root.getEmptyFolderCount(), bruteEmptyCount(root)) << "step " << step;
  }
}

}  // namespace
