#include "dyxcore/fview.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/testutil.h"
#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/pview.h"
#include "dyxcore/thread.h"
#include "dyxcore/viewman.h"
#include "dyxcore/viewplaces.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"

namespace {

using quarrytest::TraceCapture;

// Answers entryFiled with false from the n-th call on, and counts the calls.
class StoppingObserver final : public DyxScanObserver {
 public:
  explicit StoppingObserver(int okCalls) : m_okCalls(okCalls) {}
  bool entryFiled(DyxViewFolder* /*folder*/, DyxEntry* /*entry*/) override {
    return ++m_calls <= m_okCalls;
  }
  bool isStopRequested(bool& /*restarted*/) override { return false; }
  void directoryStarted(const std::string& /*path*/) override {}
  int calls() const { return m_calls; }

 private:
  int m_okCalls;
  int m_calls = 0;
};

using Places = std::vector<std::string>;

class FilterViewTest : public ::testing::Test {
 protected:
  FilterViewTest() : m_cwd(m_dir.path()), m_repository("fview_test", 256) {
    Dyx::getEnviron().setPreference("ExtCase", false);
  }

  DyxEntry* entry(const std::string& name, std::uint64_t size = 10) {
    DyxEntry* e = m_repository.createEntry(name, "/data", false);
    EXPECT_NE(e, nullptr) << name;
    if (e != nullptr) e->setSize(size);
    return e;
  }

  // Adds a folder with a filter below `parent` (the view when parent is null).
  DyxViewFolder* folder(DyxFilterView& view, const std::string& name, const std::string& filter,
                        DyxViewFolder* parent = nullptr) {
    std::unique_ptr<DyxViewFolder> made = view.newFolder(name);
    made->setFilterText(filter);
    DyxViewFolder* raw = made.get();
    DyxViewFolder* into = parent != nullptr ? parent : &view;
    EXPECT_TRUE(into->addFolder(std::move(made))) << name;
    return raw;
  }

  std::vector<std::string> placesOf(const DyxView& view, const DyxEntry* e) const {
    return quarrytest::placesOf(m_manager, view, e);
  }

  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd;
  DyxViewManager m_manager;
  DyxEntryRepository m_repository;
};

TEST_F(FilterViewTest, TwoOverlappingFoldersBothReceiveTheEntry) {
  DyxFilterView view("media", nullptr);
  folder(view, "Pictures", "$Ext = jpg");
  folder(view, "Big", "$Size > 1000000");
  DyxEntry* photo = entry("photo.jpg", 2000000);
  DyxEntry* small = entry("small.jpg", 1000);
  DyxEntry* huge = entry("movie.mkv", 1000001);
  DyxEntry* notes = entry("notes.txt", 100);
  for (DyxEntry* e : {photo, small, huge, notes}) ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, photo), (Places{"Big", "Pictures"}));
  EXPECT_EQ(placesOf(view, small), Places{"Pictures"});
  EXPECT_EQ(placesOf(view, huge), Places{"Big"});
  EXPECT_EQ(placesOf(view, notes), Places{"<unmatched>"});
  EXPECT_EQ(view.getFolderForEntry(photo).toString('/'), "/Big");
  EXPECT_EQ(view.getFolderForEntry(notes).toString('/'), "/<unmatched>");
}

TEST_F(FilterViewTest, EntryGoesToDeepestAcceptingFoldersOnly) {
  DyxFilterView view("deep", nullptr);
  DyxViewFolder* a = folder(view, "A", "true");
  DyxViewFolder* b1 = folder(view, "B1", "true", a);
  folder(view, "B2", "<undef>", a);
  folder(view, "C", "true", b1);
  folder(view, "D", "true", b1);
  DyxViewFolder* rejecting = folder(view, "R", "<undef>");
  folder(view, "Inside", "true", rejecting);  // hidden by its rejecting parent
  folder(view, "Z", "true");                  // a leaf at the top
  DyxEntry* e = entry("a.txt");
  ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, e), (Places{"A/B1/C", "A/B1/D", "Z"}));
  EXPECT_EQ(a->getEntryCount(), 0);
  EXPECT_EQ(b1->getEntryCount(), 0);
  EXPECT_EQ(view.getSubFolder("<unmatched>"), nullptr);
  // The single-folder form follows the first accepting branch in name order.
  EXPECT_EQ(view.getFolderForEntry(e).toString('/'), "/A/B1/C");
  std::vector<DyxPath> paths;
  ASSERT_TRUE(a->getFoldersForEntry(e, paths));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0].toString('/'), "/A/B1/C");  // led from A's parent
}

TEST_F(FilterViewTest, RejectingFolderHidesItsSubtree) {
  DyxFilterView view("hide", nullptr);
  DyxViewFolder* a = folder(view, "A", "<undef>");
  folder(view, "B", "true", a);
  DyxEntry* e = entry("a.txt");
  ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, e), Places{"<unmatched>"});
  EXPECT_EQ(view.getFolderForEntry(e).toString('/'), "/<unmatched>");
}

TEST_F(FilterViewTest, UnmatchedFolderNeverMatchesThroughItsFilter) {
  DyxFilterView view("unmatched", nullptr);
  folder(view, "<unmatched>", "true");
  DyxEntry* e = entry("a.txt");
  ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, e), Places{"<unmatched>"});
  EXPECT_EQ(view.getSubFolder("<unmatched>")->getEntryCount(), 1);  // once, not twice
}

TEST_F(FilterViewTest, ViewFilterRejectsEntriesAndUndefinedFilterPassesAll) {
  DyxFilterView view("own", nullptr);
  EXPECT_EQ(view.getFilterText(), "<undef>");
  DyxEntry* a = entry("a.txt");
  ASSERT_TRUE(view.mapEntry(a, nullptr));
  EXPECT_EQ(placesOf(view, a), Places{"<unmatched>"});

  view.setFilterText("<undef>");  // the false constant counts as no filter
  EXPECT_TRUE(view.isModified());
  DyxEntry* b = entry("b.txt");
  ASSERT_TRUE(view.mapEntry(b, nullptr));
  EXPECT_EQ(placesOf(view, b), Places{"<unmatched>"});

  view.setFilterText("$Ext = jpg");
  DyxEntry* c = entry("c.txt");
  DyxEntry* d = entry("d.jpg");
  ASSERT_TRUE(view.mapEntry(c, nullptr));
  ASSERT_TRUE(view.mapEntry(d, nullptr));
  EXPECT_TRUE(placesOf(view, c).empty());
  EXPECT_EQ(placesOf(view, d), Places{"<unmatched>"});
}

TEST_F(FilterViewTest, SizeSorterPlacesEveryEntryBesideTheFilterFolders) {
  DyxFilterView view("sized", nullptr);
  folder(view, "Docs", "true");
  folder(view, "None", "<undef>");
  view.setSorter("<size>");
  EXPECT_EQ(view.getSorterTag(), "<size>");
  EXPECT_TRUE(view.isModified());
  DyxEntry* small = entry("a.txt", 500);
  DyxEntry* big = entry("b.iso", 5ULL << 30);
  ASSERT_TRUE(view.mapEntry(small, nullptr));
  ASSERT_TRUE(view.mapEntry(big, nullptr));
  EXPECT_EQ(placesOf(view, small), (Places{"0 to 1Ko", "Docs"}));
  EXPECT_EQ(placesOf(view, big), (Places{"Docs", "more than 1Go"}));
  EXPECT_EQ(view.getSubFolder("<unmatched>"), nullptr);
  // The sorter's folders never match through their own filter later on.
  DyxEntry* third = entry("c.txt", 600);
  ASSERT_TRUE(view.mapEntry(third, nullptr));
  EXPECT_EQ(placesOf(view, third), (Places{"0 to 1Ko", "Docs"}));
  // The single-folder form ignores the sorter.
  EXPECT_EQ(view.getFolderForEntry(small).toString('/'), "/Docs");
}

TEST_F(FilterViewTest, ExtensionSorterSendsExtensionlessNamesToEmpty) {
  TraceCapture errors;
  DyxFilterView view("byext", nullptr);
  folder(view, "Big", "$Size > 1000");
  view.setSorter("<ext>");
  DyxEntry* photo = entry("photo.JPG");
  DyxEntry* makefile = entry("Makefile");
  DyxEntry* bigReadme = entry("README", 5000);
  for (DyxEntry* e : {photo, makefile, bigReadme}) ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, photo), Places{"jpg"});
  EXPECT_EQ(placesOf(view, makefile), Places{"<empty>"});
  EXPECT_TRUE(errors.has("Am empty path has been returned."));
  // Placed by a filter folder already: the empty sorter path adds no "<empty>".
  EXPECT_EQ(placesOf(view, bigReadme), Places{"Big"});
}

TEST_F(FilterViewTest, SetSorterAcceptsOnlyKnownTags) {
  struct Case {
    const char* tag;
    const char* storedTag;
    bool hasSorter;
    bool reported;
    bool marksModified;
  };
  const Case cases[] = {
      {"<ext>", "<ext>", true, false, true},     {"<size>", "<size>", true, false, true},
      {"<none>", "<none>", false, false, false}, {"<name>", "<none>", false, true, false},
      {"", "<none>", false, true, false},        {"<SIZE>", "<none>", false, true, false},
  };
  for (const Case& c : cases) {
    DyxFilterView view("sorters", nullptr);
    view.setSorter("<size>");
    view.markNotModified();
    TraceCapture errors;
    view.setSorterTag(c.tag);
    EXPECT_EQ(view.getSorterTag(), c.storedTag) << c.tag;
    EXPECT_EQ(view.getSorterFunction() != nullptr, c.hasSorter) << c.tag;
    EXPECT_EQ(errors.has("Unknown sorter tag."), c.reported) << c.tag;
    EXPECT_EQ(view.isModified(), c.marksModified) << c.tag;
  }
}

TEST_F(FilterViewTest, RemapMovesAnEntryBetweenSizeFoldersAndKeepsTheOldFolder) {
  DyxSizeView sizes(nullptr, false);
  DyxFilterView sorted("sorted", nullptr);
  sorted.setSorter("<size>");
  folder(sorted, "All", "true");
  DyxEntry* e = entry("grow.log", 100);
  ASSERT_TRUE(sizes.mapEntry(e, nullptr));
  ASSERT_TRUE(sorted.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(sizes, e), Places{"0 to 1Ko"});

  e->setSize(4294967296ULL);
  sizes.remapEntry(e, nullptr);
  sorted.remapEntry(e, nullptr);
  EXPECT_EQ(placesOf(sizes, e), Places{"more than 1Go"});
  EXPECT_EQ(placesOf(sorted, e), (Places{"All", "more than 1Go"}));
  ASSERT_NE(sizes.getSubFolder("0 to 1Ko"), nullptr);
  EXPECT_TRUE(sizes.getSubFolder("0 to 1Ko")->isEmpty());
  // Each view holds the entry once per folder, so the index counts exactly those references.
  EXPECT_EQ(m_manager.getIndex().referenceCount(e), 3u);

  // Remapping an unchanged entry does not pile up references.
  sorted.remapEntry(e, nullptr);
  sorted.remapEntry(e, nullptr);
  EXPECT_EQ(placesOf(sorted, e), (Places{"All", "more than 1Go"}));
  EXPECT_EQ(m_manager.getIndex().referenceCount(e), 3u);
}

TEST_F(FilterViewTest, ObserverThatAnswersFalseStopsMapEntry) {
  DyxFilterView view("observed", nullptr);
  folder(view, "A", "true");
  folder(view, "B", "true");
  StoppingObserver observer(0);
  DyxEntry* e = entry("a.txt");
  EXPECT_FALSE(view.mapEntry(e, &observer));
  EXPECT_EQ(observer.calls(), 1);  // the second folder is never tried
  EXPECT_EQ(placesOf(view, e), Places{"A"});

  StoppingObserver patient(10);
  DyxEntry* f = entry("b.txt");
  EXPECT_TRUE(view.mapEntry(f, &patient));
  EXPECT_EQ(patient.calls(), 2);
}

// Throws from its first entryFiled; answers true afterwards.
// The Location view files each entry under its directory's path, walking only below the
// components it shares with the previous path: after a folder on the way is destroyed, the
// walk must not start from it.
TEST_F(FilterViewTest, LocationFoldersFollowEachPathThroughRemovals) {
  DyxPhysView view(nullptr, false);
  const auto at = [&](const char* dir) {
    DyxEntry* e = m_repository.createEntry("f", dir, false);
    view.mapEntry(e, nullptr);
    return e;
  };
  struct Step {
    const char* dir;
    const char* removeFirst;  // a folder of the view destroyed before the entry is filed
    const char* place;
  };
  const Step steps[] = {
      {"/r/a/b", nullptr, "r/a/b"},     {"/r/a/b/c", nullptr, "r/a/b/c"},
      {"/r/a/d", nullptr, "r/a/d"},     {"/r/a/d/e", "r/a", "r/a/d/e"},
      {"/r/a/d", nullptr, "r/a/d"},     {"/r/x", nullptr, "r/x"},
      {"/r/a/d/e", nullptr, "r/a/d/e"},
  };
  DyxEngineLock lock;
  for (const Step& step : steps) {
    if (step.removeFirst != nullptr) {
      DyxPath path(step.removeFirst, '/');
      DyxViewFolder* folder = view.getFolder(path);
      ASSERT_NE(folder, nullptr) << step.removeFirst;
      ASSERT_TRUE(folder->getParent()->removeFolder(folder->getName(), true));
    }
    EXPECT_EQ(placesOf(view, at(step.dir)), Places{step.place}) << step.dir;
  }
  EXPECT_EQ(view.getFolder(DyxPath("r/a/d/e", '/'))->getEntryCount(), 2);
}

class ThrowingObserver final : public DyxScanObserver {
 public:
  explicit ThrowingObserver(std::function<void()> thrower) : m_thrower(std::move(thrower)) {}
  bool entryFiled(DyxViewFolder* /*folder*/, DyxEntry* /*entry*/) override {
    if (m_calls++ == 0) m_thrower();
    return true;
  }
  bool isStopRequested(bool& /*restarted*/) override { return false; }
  void directoryStarted(const std::string& /*path*/) override {}

 private:
  std::function<void()> m_thrower;
  int m_calls = 0;
};

TEST_F(FilterViewTest, FailureWhilePlacingIsReportedButAThreadExitPassesThrough) {
  DyxFilterView view("tree", nullptr);
  folder(view, "All", "true");
  {
    TraceCapture errors;
    ThrowingObserver failing([] { throw std::runtime_error("observer failed"); });
    EXPECT_TRUE(view.mapEntry(entry("a.txt"), &failing));
    EXPECT_TRUE(errors.has("Entry: a.txt cannot be stored into filter view: tree"));
  }
  // Ending the thread is not a failure to place the entry: it must reach the thread's entry.
  TraceCapture errors;
  ThrowingObserver exiting([] { throw DyxThreadExit{3}; });
  EXPECT_THROW(view.mapEntry(entry("b.txt"), &exiting), DyxThreadExit);
  EXPECT_FALSE(errors.has("cannot be stored"));
}

TEST_F(FilterViewTest, FoldersOfAFilterViewAreFilterFolders) {
  DyxFilterView view("tree", nullptr);
  TraceCapture errors;
  EXPECT_EQ(view.newFolder(""), nullptr);
  EXPECT_TRUE(errors.has("The folder name is empty."));
  DyxViewFolder* made = view.createFolderPath(DyxPath("x/y"), 0);
  ASSERT_NE(made, nullptr);
  EXPECT_NE(dynamic_cast<DyxFilterFolder*>(made), nullptr);
  EXPECT_EQ(made->getFilterText(), "<undef>");
  EXPECT_EQ(made->getSorterTag(), "");
  made->setFilterText("true");
  EXPECT_EQ(made->getFilterText(), "true");
  EXPECT_FALSE(view.isModified());  // a folder's filter does not touch the view's flag
  EXPECT_TRUE(view.getKind() == DyxViewKind(DyxViewKind::kFilter));
}

TEST_F(FilterViewTest, ReadFromFileRestoresFoldersFiltersAndSorter) {
  quarrytest::writeFile(m_dir / "conf/views/media.kx",
                        "# F\n"
                        "F / \"<undef>\" \"<size>\"\n"
                        "F \"./Pictures\" \"true\" \"\"\n"
                        "F \"./Pictures/Old\" \"<undef>\" \"\"\n");
  DyxFilterView view("media", nullptr);
  view.readFromFile(nullptr);
  EXPECT_FALSE(view.isModified());
  EXPECT_EQ(view.getSorterTag(), "<size>");
  ASSERT_NE(view.getSubFolder("Pictures"), nullptr);
  DyxViewFolder* old = view.getSubFolder("Pictures")->getSubFolder("Old");
  ASSERT_NE(old, nullptr);
  EXPECT_NE(dynamic_cast<DyxFilterFolder*>(old), nullptr);
  DyxEntry* e = entry("a.txt", 2048);
  ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, e), (Places{"1 to 10Ko", "Pictures"}));
}

// A saved filter view reads back as itself: its folders' criteria keep their meaning (values
// with blanks, operator words, parentheses and quotes; a "(" that nothing closes is dropped),
// and every save writes the same bytes.
TEST_F(FilterViewTest, SavedThreeTimesTheFileIsByteIdenticalAndKeepsItsMeaning) {
  const std::string file = m_dir / "conf/views/media.kx";
  quarrytest::writeFile(file,
                        "# F\n"
                        "F / \"<undef>\" \"<none>\"\n"
                        "F \"./Pictures\" \"($Ext = jpg or $Ext = png\" \"\"\n"
                        "F \"./Tom\" \"$Name = \\\"Tom And Jerry.avi\\\"\" \"\"\n"
                        "F \"./Rock\" \"$Name like \\\"*Rock Or Bust*\\\"\" \"\"\n"
                        "F \"./Quoted\" \"$Name [= \\\"say \\x22hi\\x22 (1)\\\"\" \"\"\n");
  std::vector<std::string> saves;
  for (int round = 0; round < 3; ++round) {
    DyxFilterView view("media", nullptr);
    view.readFromFile(nullptr);
    ASSERT_TRUE(view.updateFile()) << round;
    saves.push_back(quarrytest::readFile(file));
  }
  EXPECT_EQ(saves[1], saves[0]);
  EXPECT_EQ(saves[2], saves[0]);
  // No "(" was added, and none stayed in a property name.
  EXPECT_NE(saves[0].find("\"($Ext = \\\"jpg\\\" or $Ext = \\\"png\\\")\""), std::string::npos)
      << saves[0];

  DyxFilterView view("media", nullptr);
  view.readFromFile(nullptr);
  const struct {
    const char* name;
    Places places;
  } cases[] = {{"photo.png", {"Pictures"}},    {"Tom And Jerry.avi", {"Tom"}},
               {"tom", {"<unmatched>"}},       {"AC DC - Rock Or Bust.mp3", {"Rock"}},
               {"say \"hi\" (1)", {"Quoted"}}, {"say \"HI\" (1)", {"<unmatched>"}}};
  for (const auto& c : cases) {
    DyxEntry* e = entry(c.name);
    ASSERT_TRUE(view.mapEntry(e, nullptr)) << c.name;
    EXPECT_EQ(placesOf(view, e), c.places) << c.name;
  }
}

// Asks to stop once `allowed` entries were filed.
class CountingObserver final : public DyxScanObserver {
 public:
  explicit CountingObserver(int allowed) : m_allowed(allowed) {}
  bool entryFiled(DyxViewFolder* /*folder*/, DyxEntry* /*entry*/) override {
    ++m_filed;
    return true;
  }
  bool isStopRequested(bool& /*restarted*/) override { return m_filed >= m_allowed; }
  void directoryStarted(const std::string& /*path*/) override {}
  int filed() const { return m_filed; }

 private:
  int m_allowed;
  int m_filed = 0;
};

// Views over a real pool, notified by real scans through the facade's view manager.
class PoolViewTest : public ::testing::Test {
 protected:
  PoolViewTest() : m_cwd(m_work.path()) {
    quarrytest::writeFile(m_tree / "a.txt", std::string(10, 'a'));
    quarrytest::writeFile(m_tree / "b.jpg", std::string(2000, 'b'));
    quarrytest::writeFile(m_tree / "Makefile", std::string(30, 'm'));
    m_pool.setFilter("true");
    EXPECT_TRUE(m_pool.addPhysicalDirectory(m_tree.path(), false, false));
  }
  ~PoolViewTest() override {
    m_pool.setObserver(nullptr);
    m_pool.clear();
    Dyx::getViewManager().clearViewCache();
  }

  static int entriesIn(DyxViewFolder* view, const std::string& name) {
    DyxViewFolder* folder = view->getSubFolder(name);
    return folder == nullptr ? -1 : folder->getEntryCount();
  }

  quarrytest::TempDir m_work;
  quarrytest::TempDir m_tree;
  quarrytest::CwdGuard m_cwd;
  DyxPhysicalDirs m_pool;
};

TEST_F(PoolViewTest, ScansKeepCachedPredefinedViewsCurrent) {
  DyxViewManager& manager = Dyx::getViewManager();
  if (!manager.hasFactory("Size")) {
    manager.registerFactory("Size", std::make_unique<DyxSizeViewFactory>());
  }
  DyxView* view =
      manager.createView("Size", false, true, DyxViewKind(DyxViewKind::kPhysical), &m_pool);
  ASSERT_NE(view, nullptr);
  {
    DyxEngineLock lock;
    EXPECT_EQ(entriesIn(view, "0 to 1Ko"), 2);
    EXPECT_EQ(entriesIn(view, "1 to 10Ko"), 1);
  }

  // A new file is filed by the scan; a grown file with a new time stamp moves; a deleted file
  // leaves, and its emptied range folder goes with it.
  quarrytest::writeFile(m_tree / "new.bin", std::string(20000, 'n'));
  quarrytest::writeFile(m_tree / "a.txt", std::string(200000, 'a'));
  std::filesystem::last_write_time(
      m_tree / "a.txt", std::filesystem::file_time_type::clock::now() + std::chrono::hours(2));
  std::filesystem::remove(m_tree / "b.jpg");
  m_pool.update(true, false);
  DyxEngineLock lock;
  EXPECT_EQ(entriesIn(view, "0 to 1Ko"), 1);
  EXPECT_EQ(entriesIn(view, "10 to 100Ko"), 1);
  EXPECT_EQ(entriesIn(view, "100Ko to 1Mo"), 1);
  EXPECT_EQ(view->getSubFolder("1 to 10Ko"), nullptr);
}

TEST_F(PoolViewTest, UpdateRefillsFromThePoolAndStopsWhenAsked) {
  DyxFilterView view("refill", nullptr);
  std::unique_ptr<DyxViewFolder> text = view.newFolder("Text");
  text->setFilterText("$Ext = txt");
  view.addFolder(std::move(text));
  DyxEngineLock lock;
  view.update(&m_pool);
  EXPECT_EQ(entriesIn(&view, "Text"), 1);
  EXPECT_EQ(entriesIn(&view, "<unmatched>"), 2);

  // A second update starts from scratch: no entry is filed twice, the folders stay.
  view.update(&m_pool);
  EXPECT_EQ(entriesIn(&view, "Text"), 1);
  EXPECT_EQ(entriesIn(&view, "<unmatched>"), 2);

  CountingObserver observer(1);
  m_pool.setObserver(&observer);
  view.update(&m_pool);
  EXPECT_EQ(observer.filed(), 1);
  EXPECT_EQ(entriesIn(&view, "Text") + entriesIn(&view, "<unmatched>"), 1);

  view.update(nullptr);  // no pool: nothing to collect, every entry dropped
  EXPECT_EQ(entriesIn(&view, "Text"), 0);
  EXPECT_EQ(entriesIn(&view, "<unmatched>"), 0);
}

// The Location view files the rest of a directory straight into the folder of its first entry;
// a stop asked for on the way still ends the update at once.
TEST_F(PoolViewTest, LocationUpdateStopsWithinADirectory) {
  DyxPhysView view(nullptr, false);
  DyxEngineLock lock;
  for (int allowed : {1, 2, 3}) {
    CountingObserver observer(allowed);
    m_pool.setObserver(&observer);
    view.update(&m_pool);
    EXPECT_EQ(observer.filed(), allowed) << allowed;
    EXPECT_EQ(view.getFolder(DyxPath(m_tree.path()))->getEntryCount(), allowed) << allowed;
  }
  m_pool.setObserver(nullptr);
}

}  // namespace
