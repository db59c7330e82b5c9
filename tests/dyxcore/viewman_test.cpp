#include "dyxcore/viewman.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/path.h"
#include "dyxcore/physdir.h"
#include "dyxcore/uview.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::TraceCapture;

// A predefined view that files each entry under the first letter of its name, and can be told
// to refuse (answer false from mapEntry).
class LetterView : public DyxView {
 public:
  explicit LetterView(std::vector<std::string>* calls, bool answer = true)
      : DyxView("<LetterView>"), m_calls(calls), m_answer(answer) {}
  DyxViewKind getKind() const override { return DyxViewKind(DyxViewKind::kPhysical); }
  bool mapEntry(DyxEntry* entry, DyxScanObserver* observer) override {
    if (m_calls) m_calls->push_back("map " + getViewName());
    createFolderPath(DyxPath(std::string(entry->getName().substr(0, 1))))
        ->addEntry(entry, observer);
    return m_answer;
  }
  void remapEntry(DyxEntry* /*entry*/, DyxScanObserver* /*observer*/) override {
    if (m_calls) m_calls->push_back("remap");
  }

 private:
  std::vector<std::string>* m_calls;
  bool m_answer;
};

class LetterFactory : public DyxViewFactory {
 public:
  LetterFactory(int* created, std::vector<std::string>* calls = nullptr, bool answer = true)
      : m_created(created), m_calls(calls), m_answer(answer) {}
  std::unique_ptr<DyxView> create(DyxPhysicalDirs* /*pool*/, bool update) override {
    ++*m_created;
    m_lastUpdate = update;
    return std::make_unique<LetterView>(m_calls, m_answer);
  }
  bool m_lastUpdate = false;

 private:
  int* m_created;
  std::vector<std::string>* m_calls;
  bool m_answer;
};

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : m_cwd(m_dir.path()), m_repo("viewman_test", 64) {
    Dyx::getViewManager();  // the facade's manager exists before ours, so ours is current
    quarrytest::makeDirs(m_dir / "conf/views");
    m_manager = std::make_unique<DyxViewManager>();
    ActivityLog::open(m_dir / "activity.log");
  }
  ~ManagerTest() override {
    m_manager.reset();
    ActivityLog::close();
  }
  std::string activity() const { return quarrytest::readFile(m_dir / "activity.log"); }
  void viewFile(const std::string& tag, const std::string& content) {
    quarrytest::writeFile(m_dir / ("conf/views/" + tag + ".kx"), content);
  }
  DyxEntry* entry(const std::string& name) { return m_repo.createEntry(name, "/d", false); }

  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd;
  DyxEntryRepository m_repo;
  std::unique_ptr<DyxViewManager> m_manager;
};

TEST_F(ManagerTest, GetBuildsAPredefinedViewOnce) {
  int created = 0;
  auto factory = std::make_unique<LetterFactory>(&created);
  LetterFactory* raw = factory.get();
  ASSERT_TRUE(m_manager->registerFactory("Ext", std::move(factory)));
  DyxView* first = m_manager->get("Ext", true);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(raw->m_lastUpdate);
  EXPECT_EQ(m_manager->get("Ext", true), first);
  EXPECT_EQ(m_manager->createView("Ext", true, true, DyxViewKind(1), nullptr), first);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(m_manager->getViewKind("Ext").value(), DyxViewKind::kPhysical);
  EXPECT_NE(activity().find("Created a physical view for: Ext ..."), std::string::npos);
}

TEST_F(ManagerTest, RegisterFactoryRefusals) {
  int first = 0, second = 0;
  TraceCapture trace;
  EXPECT_FALSE(m_manager->registerFactory("", std::make_unique<LetterFactory>(&first)));
  EXPECT_TRUE(trace.has("Null given view tag."));
  EXPECT_FALSE(m_manager->registerFactory("T", nullptr));
  EXPECT_TRUE(trace.has("Null given factory instance."));
  EXPECT_TRUE(m_manager->registerFactory("T", std::make_unique<LetterFactory>(&first)));
  EXPECT_FALSE(m_manager->registerFactory("T", std::make_unique<LetterFactory>(&second)));
  EXPECT_TRUE(trace.has("View tag already in use: T"));
  m_manager->get("T", false);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

TEST_F(ManagerTest, GetWithoutFactoryOrFileAnswersNoneWithoutErrorLine) {
  TraceCapture trace;
  EXPECT_EQ(m_manager->get("nothing", true), nullptr);
  EXPECT_TRUE(trace.has(quarrytest::nativePath("Cannot open: ./conf/views/nothing.kx")))
      << trace.text();
  EXPECT_EQ(activity().find("ERROR: "), std::string::npos);
  EXPECT_EQ(m_manager->get("", true), nullptr);
  EXPECT_TRUE(trace.has("Given view tag is empty."));
  EXPECT_EQ(m_manager->getCachedViewCount(), 0u);
}

TEST_F(ManagerTest, ViewFileHeaderGivesTheKind) {
  struct Case {
    const char* tag;
    const char* content;
    int kind;
  } cases[] = {
      {"user", "# U\n", DyxViewKind::kUser},
      {"filter", "# F\nF / \"<undef>\" \"<none>\"\n", DyxViewKind::kFilter},
      {"query", "# Q\n", DyxViewKind::kNone},
      {"lower", "# u\n", DyxViewKind::kNone},
      {"phys", "# P\n", DyxViewKind::kPhysical},
      {"empty", "", DyxViewKind::kNone},
      {"marker", "#\n", DyxViewKind::kNone},
  };
  for (const Case& c : cases) {
    viewFile(c.tag, c.content);
    EXPECT_EQ(m_manager->getViewKind(c.tag).value(), c.kind) << c.tag;
  }
  for (const Case& c : cases) {
    DyxView* view = m_manager->get(c.tag, false);
    if (c.kind == DyxViewKind::kUser || c.kind == DyxViewKind::kFilter) {
      ASSERT_NE(view, nullptr) << c.tag;
      EXPECT_EQ(view->getKind().value(), c.kind) << c.tag;
      EXPECT_EQ(view->getViewName(), c.tag);
      EXPECT_FALSE(view->isModified()) << c.tag;
    } else {
      EXPECT_EQ(view, nullptr) << c.tag;
    }
  }
  // "P" in a file without a factory: the physical branch finds no factory.
  EXPECT_NE(activity().find("ERROR: Cannot create view for: phys"), std::string::npos);
  EXPECT_NE(activity().find("Created user view: user"), std::string::npos);
  EXPECT_NE(activity().find("Created filterable view: filter"), std::string::npos);
}

// A FIFO (or directory) named like a view file must be refused, not waited on.
TEST_F(ManagerTest, ViewFileThatIsNotARegularFileIsNotRead) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("FIFOs");
  const std::string fifo = m_dir / "conf/views/pipe.kx";
  ASSERT_TRUE(quarrytest::makeFifo(fifo));
  quarrytest::makeDirs(m_dir / "conf/views/folder.kx");
  TraceCapture trace;
  DyxUserView view("pipe", nullptr);
  DyxView* got = &view;
  DyxView* folderView = &view;
  // The reads run on a thread of their own: if one ever blocks on the FIFO, the test fails
  // and opening the FIFO for writing releases the reader, instead of hanging the suite.
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread reader([&] {
    got = m_manager->get("pipe", true);
    folderView = m_manager->get("folder", true);
    view.readFromFile(nullptr);
    done.set_value();
  });
  if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "reading a FIFO view file blocked";
    for (int i = 0;
         i < 3 && finished.wait_for(std::chrono::seconds(1)) != std::future_status::ready; ++i) {
      quarrytest::wakeFifoReader(fifo);
    }
  }
  reader.join();
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(folderView, nullptr);
  EXPECT_TRUE(trace.has(quarrytest::nativePath("Cannot open: ./conf/views/pipe.kx")));
  EXPECT_TRUE(trace.has(quarrytest::nativePath("Cannot open file: ./conf/views/pipe.kx")));
  EXPECT_TRUE(view.isModified());
}

TEST_F(ManagerTest, CreateViewRefusesBadAndReservedTags) {
  int created = 0;
  m_manager->registerFactory("Size", std::make_unique<LetterFactory>(&created));
  struct Case {
    std::string tag;
    bool create;
    int kind;
    std::string message;
    bool notValidLine;
  } cases[] = {
      {"Size", true, DyxViewKind::kUser,
       "The given view tag is reserved for the physical views: Size", false},
      {std::string(31, 'a'), true, DyxViewKind::kUser,
       "Not a valid view tag: " + std::string(31, 'a'), true},
      {"a.b", true, DyxViewKind::kUser, "Not a valid view tag: a.b", true},
      {"a b", true, DyxViewKind::kFilter, "Not a valid view tag: a b", true},
      {"a/b", true, DyxViewKind::kUser, "Not a valid view tag: a/b", true},
      {"..", true, DyxViewKind::kUser, "Not a valid view tag: ..", true},
      {"<x>", true, DyxViewKind::kUser, "Not a valid view tag: <x>", true},
      {"nofactory", false, DyxViewKind::kUser, "No factory for physical view.", false},
      {"nokind", true, DyxViewKind::kNone, "Unknown view kind: 0", false},
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    EXPECT_EQ(m_manager->createView(c.tag, c.create, false, DyxViewKind(c.kind), nullptr), nullptr)
        << c.tag;
    EXPECT_TRUE(trace.has(c.message)) << c.tag << "\n" << trace.text();
    const std::string log = activity();
    EXPECT_NE(log.find("ERROR: Cannot create view for: " + c.tag + "\n"), std::string::npos)
        << c.tag;
    EXPECT_EQ(log.find("Not a valid view tag: " + c.tag + "\n") != std::string::npos,
              c.notValidLine)
        << c.tag;
  }
  EXPECT_EQ(created, 0);
  EXPECT_EQ(m_manager->getCachedViewCount(), 0u);
  // A tag of exactly 30 characters is fine; an empty tag is refused before anything else.
  TraceCapture trace;
  EXPECT_NE(m_manager->createView(std::string(30, 'b'), true, false, DyxViewKind(2), nullptr),
            nullptr);
  EXPECT_EQ(m_manager->createView("", true, false, DyxViewKind(2), nullptr), nullptr);
  EXPECT_TRUE(trace.has("Empty view tag."));
  EXPECT_EQ(activity().find("ERROR: Cannot create view for: \n"), std::string::npos);
}

TEST_F(ManagerTest, UserViewWithoutFileIsModifiedAndGetsVisibleAttributes) {
  DyxEnviron& env = Dyx::getEnviron();
  env.setPreferenceSeq("VisibleAttributes", "kept", {"Size"});
  DyxView* fresh = m_manager->createView("fresh", true, false, DyxViewKind(2), nullptr);
  DyxView* kept = m_manager->createView("kept", true, false, DyxViewKind(2), nullptr);
  ASSERT_NE(fresh, nullptr);
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(fresh->isModified());  // its file is still to be written
  std::vector<std::string> seq;
  ASSERT_TRUE(env.getPreferenceSeq("VisibleAttributes", "fresh", seq));
  EXPECT_EQ(seq, (std::vector<std::string>{"Name", "Ext", "Location"}));
  ASSERT_TRUE(env.getPreferenceSeq("VisibleAttributes", "kept", seq));
  EXPECT_EQ(seq, (std::vector<std::string>{"Size"}));

  std::vector<std::string> modified{"old"};
  m_manager->getModifiedViews(modified, true);
  EXPECT_EQ(modified, (std::vector<std::string>{"old", "fresh", "kept"}));
  fresh->save();
  m_manager->getModifiedViews(modified, false);
  EXPECT_EQ(modified, (std::vector<std::string>{"kept"}));
}

TEST_F(ManagerTest, RemoveFromAllViewPrunesOnlyPredefinedViews) {
  int created = 0;
  m_manager->registerFactory("Letters", std::make_unique<LetterFactory>(&created));
  viewFile("mine", "# U\nF / \"true\" \"<none>\"\nF \"./Work\" \"true\" \"<none>\"\n");
  DyxView* letters = m_manager->get("Letters", false);
  DyxView* mine = m_manager->get("mine", false);
  ASSERT_NE(letters, nullptr);
  ASSERT_NE(mine, nullptr);
  DyxEntry* e = entry("report.txt");
  DyxEntry* other = entry("readme");
  m_manager->addEntryToAllViews(e, nullptr);  // the user view ignores new entries
  m_manager->addEntryToAllViews(other, nullptr);
  mine->getFolder(DyxPath("./Work"))->addEntry(e, nullptr);
  EXPECT_EQ(m_manager->getIndex().referenceCount(e), 2u);

  m_manager->removeFromAllView(e, false);
  EXPECT_EQ(m_manager->getIndex().referenceCount(e), 0u);
  EXPECT_NE(letters->getSubFolder("r"), nullptr);  // still holds "readme"
  m_manager->removeFromAllView(other, true);
  EXPECT_EQ(letters->getSubFolder("r"), nullptr);
  ASSERT_NE(mine->getSubFolder("Work"), nullptr);
  EXPECT_EQ(mine->getSubFolder("Work")->getEntryCount(), 0);
}

TEST_F(ManagerTest, WholesaleRemovalEndsLikeRemovingEachEntry) {
  int created = 0;
  m_manager->registerFactory("Letters", std::make_unique<LetterFactory>(&created));
  viewFile("mine", "# U\nF \"./Work\" \"true\" \"<none>\"\n");
  DyxView* letters = m_manager->get("Letters", false);
  DyxView* mine = m_manager->get("mine", false);
  std::vector<DyxEntry*> entries{entry("apple"), entry("berry"), entry("avocado")};
  for (DyxEntry* e : entries) m_manager->addEntryToAllViews(e, nullptr);
  mine->getSubFolder("Work")->addEntry(entries[1], nullptr);
  m_manager->removeAllEntriesFromAllViews();
  EXPECT_EQ(letters->getFolderCount(), 0u);
  ASSERT_NE(mine->getSubFolder("Work"), nullptr);
  EXPECT_EQ(mine->getSubFolder("Work")->getEntryCount(), 0);
  EXPECT_EQ(m_manager->getIndex().entryCount(), 0u);
}

TEST_F(ManagerTest, EntryNotificationsWalkViewsInTagOrder) {
  int created = 0;
  std::vector<std::string> calls;
  m_manager->registerFactory("B", std::make_unique<LetterFactory>(&created, &calls, true));
  m_manager->registerFactory("A", std::make_unique<LetterFactory>(&created, &calls, false));
  m_manager->registerFactory("C", std::make_unique<LetterFactory>(&created, &calls, true));
  m_manager->get("C", false);
  m_manager->get("B", false);
  m_manager->get("A", false);
  DyxEntry* e = entry("x");
  m_manager->addEntryToAllViews(e, nullptr);
  EXPECT_EQ(calls.size(), 1u);  // "A" answered false: B and C are not asked
  calls.clear();
  m_manager->remapEntryInAllViews(e, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"remap", "remap", "remap"}));
}

TEST_F(ManagerTest, DeleteAndClearDropViewsAndTheirIndexEntries) {
  int created = 0;
  m_manager->registerFactory("A", std::make_unique<LetterFactory>(&created));
  m_manager->registerFactory("B", std::make_unique<LetterFactory>(&created));
  m_manager->get("A", false);
  m_manager->get("B", false);
  DyxEntry* e = entry("x");
  m_manager->addEntryToAllViews(e, nullptr);
  EXPECT_EQ(m_manager->getIndex().referenceCount(e), 2u);
  m_manager->deleteView("A");
  EXPECT_EQ(m_manager->getIndex().referenceCount(e), 1u);
  {
    TraceCapture trace;
    m_manager->deleteView("A");
    EXPECT_TRUE(trace.has("Not in."));
  }
  m_manager->clearViewCache();
  EXPECT_EQ(m_manager->getCachedViewCount(), 0u);
  EXPECT_EQ(m_manager->getIndex().entryCount(), 0u);
  m_manager->get("A", false);
  EXPECT_EQ(created, 3);  // a deleted view is built again on its next use
}

TEST_F(ManagerTest, DumpListsFactoriesAndViews) {
  int created = 0;
  m_manager->registerFactory("Size", std::make_unique<LetterFactory>(&created));
  m_manager->registerFactory("Ext", std::make_unique<LetterFactory>(&created));
  m_manager->get("Size", false);
  m_manager->createView("work", true, false, DyxViewKind(2), nullptr);
  std::ostringstream out;
  m_manager->dump(out);
  EXPECT_EQ(out.str(),
            "------------------ view man -----------------------\n"
            "factory num: 2\n"
            "1) factory<key>: \"Ext\"\n"
            "2) factory<key>: \"Size\"\n"
            "view num: 2\n"
            "1) view<key>: \"Size\"\n"
            "name: \"<LetterView>\", kind: P, rt: true, mod: false\n"
            "2) view<key>: \"work\"\n"
            "name: \"work\", kind: U, rt: true, mod: true\n"
            "----------------------------------------------------\n");
}

TEST_F(ManagerTest, ViewKindListNamesTheViewFiles) {
  viewFile("b", "# U\n");
  viewFile("a", "# F\n");
  quarrytest::writeFile(m_dir / "conf/views/notes.txt", "x");
  quarrytest::writeFile(m_dir / "conf/views/a.kx.bak", "x");
  quarrytest::makeDirs(m_dir / "conf/views/dir.kx");
  std::vector<std::string> tags{"keep"};
  m_manager->getViewKindList(tags, true);
  EXPECT_EQ(tags, (std::vector<std::string>{"keep", "a", "b"}));
  m_manager->getViewKindList(tags, false);
  EXPECT_EQ(tags, (std::vector<std::string>{"a", "b"}));
}

TEST_F(ManagerTest, GetViewFolderFindsOnlyCachedOrPredefinedViews) {
  int created = 0;
  m_manager->registerFactory("Letters", std::make_unique<LetterFactory>(&created));
  viewFile("mine", "# U\nF \"./Work\" \"true\" \"<none>\"\n");
  m_manager->addEntryToAllViews(entry("apple"), nullptr);  // no view cached yet: nothing
  DyxView* letters =
      m_manager->getViewFolder("Letters", DyxPath()) ? m_manager->getCached("Letters") : nullptr;
  ASSERT_NE(letters, nullptr);
  m_manager->addEntryToAllViews(entry("apple"), nullptr);
  EXPECT_EQ(m_manager->getViewFolder("Letters", DyxPath("a")), letters->getSubFolder("a"));
  EXPECT_EQ(m_manager->getViewFolder("Letters", DyxPath("z")), nullptr);
  TraceCapture trace;
  EXPECT_EQ(m_manager->getViewFolder("mine", DyxPath("Work")), nullptr);
  EXPECT_TRUE(trace.has("Unknown view tag: mine"));
  // Once cached, a user view is found.
  m_manager->get("mine", false);
  EXPECT_NE(m_manager->getViewFolder("mine", DyxPath("Work")), nullptr);
}

}  // namespace
