// Engine start-up and shutdown through the facade, in temporary working directories.
#include "dyxcore/dyx.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "dyxcore/environ.h"
#include "dyxcore/filter.h"
#include "dyxcore/fview.h"
#include "dyxcore/launcher.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/typeman.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "support/testutil.h"

namespace {

namespace fs = std::filesystem;
using quarrytest::fileExists;
using quarrytest::makeDirs;
using quarrytest::readFile;
using quarrytest::TempDir;
using quarrytest::writeFile;

constexpr const char* kTracePrefs =
    "TraceLevel \"DEBUG\"\nTraceMaxLineCount \"1000000\"\nDynamicUpdatePollingPeriod \"1\"\n";

// Each test runs in a fresh working directory with conf/ and trace/; the engine is shut down
// and the trace files closed afterwards, so the next test opens its own.
class DyxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(m_dir / "conf");
    makeDirs(m_dir / "trace");
  }
  void TearDown() override {
    Dyx::shutdown();
    Dyx::closeTrace();
  }

  void writePrefs(const std::string& extra) {
    writeFile(m_dir / "conf/pref.ini", kTracePrefs + extra);
  }
  std::string trace() const { return readFile(m_dir / "trace/dyx.dbg"); }
  std::string activity() const { return readFile(m_dir / "trace/dyx.log"); }
  // A directory of files below the test directory; returns its absolute path.
  std::string makeTree(const std::string& name, const std::vector<std::string>& files) {
    const std::string dir = m_dir / name;
    makeDirs(dir);
    for (const std::string& f : files)
      writeFile(dir + quarrytest::nativePath("/") + f, "content of " + f + "\n");
    return dir;
  }
  void writePathMap(const std::string& name, const std::string& dir) {
    writeFile(m_dir / ("conf/" + name + ".fpm"), "\"" + dir + "\" Yes\n");
  }
  static bool hasEntry(const std::string& path) {
    DyxEngineLock lock;
    return Dyx::getPhysicalDirs().getEntry(DyxPath(path)) != nullptr;
  }

  TempDir m_dir;
  quarrytest::CwdGuard m_cwd{m_dir.path()};
};

TEST_F(DyxTest, PoolExistsOnlyBetweenInitializeAndShutdown) {
  Dyx::shutdown();
  EXPECT_THROW(Dyx::getPhysicalDirs(), int);
  writePrefs("");
  Dyx::initialize();
  EXPECT_NO_THROW(Dyx::getPhysicalDirs());
  Dyx::shutdown();
  EXPECT_THROW(Dyx::getPhysicalDirs(), int);
  const std::string t = trace();
  const char* steps[] = {"Clearing physical directories repository.",
                         "Clearing environment (preferences).",
                         "Clearing the view manager.",
                         "Clearing the property manager.",
                         "Clearing the application launcher.",
                         "Clearing the type manager.",
                         "Clearing the sorter repository.",
                         "Clearing the entry repositories."};
  std::size_t at = t.find("Init factory.");
  ASSERT_NE(at, std::string::npos);
  for (const char* step : steps) {
    at = t.find(step, at);
    EXPECT_NE(at, std::string::npos) << step;
  }
}

TEST_F(DyxTest, StartsWithoutPathMapFiles) {
  writePrefs("CurrentPathMap \"home\"\n");
  Dyx::initialize();
  EXPECT_EQ(Dyx::getPhysicalDirs().repositoryKey(), "");
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 0u);
  EXPECT_NE(trace().find("Returned 0 files."), std::string::npos);
  EXPECT_EQ(activity().find("no more exist"), std::string::npos);
}

TEST_F(DyxTest, DeletedCurrentPathMapFallsBackToFirstInNameOrder) {
  const std::string b = makeTree("b", {"one.txt"});
  const std::string c = makeTree("c", {"two.txt"});
  writePathMap("c-map", c);
  writePathMap("b-map", b);
  writeFile(m_dir / "conf/notes.txt", "not a path map\n");
  writePrefs("CurrentPathMap \"gone\"\n");
  Dyx::initialize();
  EXPECT_NE(activity().find("The current path map: gone no more exist in the repository."),
            std::string::npos)
      << activity();
  EXPECT_EQ(Dyx::getPhysicalDirs().repositoryKey(), "b-map");
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryKeys(), std::vector<std::string>{b});
  std::vector<std::string> names;
  Dyx::getAllPathMapFiles(names);
  EXPECT_EQ(names, (std::vector<std::string>{"b-map", "c-map"}));
}

TEST_F(DyxTest, CurrentPathMapChoice) {
  const std::string b = makeTree("b", {"one.txt"});
  const std::string c = makeTree("c", {"two.txt"});
  writePathMap("b-map", b);
  writePathMap("c-map", c);
  // Empty preference: no path map at all, not the first file.
  writePrefs("CurrentPathMap \"\"\n");
  Dyx::initialize();
  EXPECT_EQ(Dyx::getCurrentPathMap(), "");
  EXPECT_EQ(Dyx::getPhysicalDirs().repositoryKey(), "");
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 0u);
  // A named, existing path map is used; the name is compared exactly.
  Dyx::getEnviron().setPreference("CurrentPathMap", "c-map");
  EXPECT_EQ(Dyx::getCurrentPathMap(), "c-map");
  Dyx::getEnviron().setPreference("CurrentPathMap", "C-MAP");
  EXPECT_EQ(Dyx::getCurrentPathMap(), "b-map");
}

TEST_F(DyxTest, MissingConfigurationDoesNotStopStartUp) {
  fs::remove_all(m_dir / "conf");
  Dyx::initialize();
  EXPECT_EQ(Dyx::getPhysicalDirs().directoryCount(), 0u);
  EXPECT_TRUE(Dyx::getLauncher().commands().empty());
  EXPECT_TRUE(Dyx::getTypeManager().getTypeMap().empty());
  // A second start-up on the same process is as good as the first.
  Dyx::initialize();
  EXPECT_NO_THROW(Dyx::getPhysicalDirs());
}

TEST_F(DyxTest, ShutdownSavesEntriesAndNextStartRestoresThem) {
  const std::string d = makeTree("data", {"a.txt", "b.txt"});
  makeTree("data/sub", {"c.txt"});
  writePathMap("work", d);
  writePrefs("CurrentPathMap \"work\"\n");
  Dyx::initialize();
  // The start-up scan runs before any filter is set and keeps no file; an update fills the pool.
  Dyx::update("");
  ASSERT_TRUE(hasEntry(d + quarrytest::nativePath("/a.txt")));
  ASSERT_TRUE(hasEntry(d + quarrytest::nativePath("/sub/c.txt")));
  Dyx::shutdown();

  // The saved slots hold the live entries, not only free ones.
  ASSERT_TRUE(fileExists(m_dir / "work.txt"));
  const std::string data = readFile(m_dir / "work.data");
  ASSERT_GE(data.size(), 3u * 32u);
  int live = 0;
  for (std::size_t i = 0; i + 32 <= data.size(); i += 32) {
    if (data.compare(i, 4, std::string(4, '\0')) != 0) ++live;
  }
  EXPECT_EQ(live, 3);

  // A file added while the engine was down is not there after the restore: the directories come
  // back from the repository, not from a scan. A forced update then scans them.
  writeFile(d + quarrytest::nativePath("/new.txt"), "new\n");
  Dyx::initialize();
  EXPECT_TRUE(hasEntry(d + quarrytest::nativePath("/a.txt")));
  EXPECT_TRUE(hasEntry(d + quarrytest::nativePath("/b.txt")));
  EXPECT_TRUE(hasEntry(d + quarrytest::nativePath("/sub/c.txt")));
  EXPECT_FALSE(hasEntry(d + quarrytest::nativePath("/new.txt")));
  Dyx::update("");
  EXPECT_TRUE(hasEntry(d + quarrytest::nativePath("/new.txt")));
  EXPECT_NE(trace().find("Update all the physical directories."), std::string::npos);
}

TEST_F(DyxTest, SecondInitializeSavesTheFirstRun) {
  const std::string d = makeTree("data", {"a.txt"});
  writePathMap("work", d);
  writePrefs("CurrentPathMap \"work\"\n");
  Dyx::initialize();
  Dyx::update("");
  EXPECT_FALSE(fileExists(m_dir / "work.txt"));
  Dyx::initialize();
  EXPECT_TRUE(fileExists(m_dir / "work.txt"));
  EXPECT_TRUE(hasEntry(d + quarrytest::nativePath("/a.txt")));
}

TEST_F(DyxTest, UpdateWithEmptyTagForcesScanOfUnchangedDirectories) {
  const std::string d = makeTree("data", {"grow.txt"});
  writePathMap("work", d);
  writePrefs("CurrentPathMap \"work\"\n");
  Dyx::initialize();
  Dyx::update("");
  std::uint64_t before = 0;
  {
    DyxEngineLock lock;
    before = Dyx::getPhysicalDirs()
                 .getEntry(DyxPath(d + quarrytest::nativePath("/grow.txt")))
                 ->getSize();
  }
  // Rewriting a file in place leaves the directory's own time stamp alone, so only a forced
  // update sees the new size. The file's time stamp is moved far back, beyond the coarse
  // granularity of entry time stamps, so that the entry's refresh notices the change.
  writeFile(d + quarrytest::nativePath("/grow.txt"), std::string(5000, 'x'));
  fs::last_write_time(
      d + quarrytest::nativePath("/grow.txt"),
      fs::last_write_time(d + quarrytest::nativePath("/grow.txt")) - std::chrono::hours(24 * 400));
  Dyx::getPhysicalDirs().doUpdate(false, true);
  {
    DyxEngineLock lock;
    EXPECT_EQ(Dyx::getPhysicalDirs()
                  .getEntry(DyxPath(d + quarrytest::nativePath("/grow.txt")))
                  ->getSize(),
              before);
  }
  Dyx::update("");
  DyxEngineLock lock;
  const DyxEntry* e =
      Dyx::getPhysicalDirs().getEntry(DyxPath(d + quarrytest::nativePath("/grow.txt")));
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e->getSize(), before);
  EXPECT_EQ(e->getSize(), 5000u);
}

TEST_F(DyxTest, UpdateWithTagDeletesOnlyThatView) {
  writePrefs("");
  Dyx::initialize();
  DyxViewManager& views = Dyx::getViewManager();
  ASSERT_NE(views.get("Size", true), nullptr);
  ASSERT_NE(views.get("Flat", true), nullptr);
  Dyx::update("Size");
  EXPECT_EQ(views.getCached("Size"), nullptr);
  EXPECT_NE(views.getCached("Flat"), nullptr);
}

TEST_F(DyxTest, DynamicUpdateStartsAndStopsPolling) {
  writePrefs("DynamicUpdate \"true\"\n");
  Dyx::initialize();
  // The value loaded at start-up does not start anything: only changes do.
  EXPECT_FALSE(Dyx::getPhysicalDirs().isPolling());
  DyxEnviron& env = Dyx::getEnviron();
  const struct {
    const char* value;
    bool polling;
  } steps[] = {{"true", true}, {"false", false}, {"TRUE", true}, {"True", false}, {"1", false}};
  for (const auto& step : steps) {
    env.setPreference("DynamicUpdate", step.value);
    EXPECT_EQ(Dyx::getPhysicalDirs().isPolling(), step.polling) << step.value;
  }
  env.setPreference("DynamicUpdate", "true");
  // Shutdown (in TearDown) must stop the loop and not hang.
}

TEST_F(DyxTest, CasePreferencesDeleteTheirViewOnly) {
  writePrefs("");
  Dyx::initialize();
  DyxViewManager& views = Dyx::getViewManager();
  ASSERT_NE(views.get("Ext", true), nullptr);
  ASSERT_NE(views.get("Name", true), nullptr);
  Dyx::getEnviron().setPreference("ExtCase", "true");
  EXPECT_EQ(views.getCached("Ext"), nullptr);
  EXPECT_NE(views.getCached("Name"), nullptr);
  Dyx::getEnviron().setPreference("NameCase", "true");
  EXPECT_EQ(views.getCached("Name"), nullptr);
  // Nothing cached any more: the manager only reports it.
  Dyx::getEnviron().setPreference("NameCase", "false");
  EXPECT_NE(trace().find("Not in."), std::string::npos);
}

TEST(DyxRepositoryCapacity, ValueToSlotCount) {
  const struct {
    const char* value;
    std::size_t capacity;
    bool capped;
  } cases[] = {{"300000", 300000, false},
               {"200001", 200001, false},
               {"200000", 200000, false},
               {"1000", 200000, false},
               {"-500000", 200000, false},
               {"many", 200000, false},
               {"", 200000, false},
               {" 250000", 250000, false},
               {"250000 slots", 250000, false},
               {"20000000", 20000000, false},
               {"20000001", Dyx::kMaxRepositoryCapacity, true},
               {"99999999999999999999999", Dyx::kMaxRepositoryCapacity, true}};
  for (const auto& c : cases) {
    bool capped = !c.capped;
    EXPECT_EQ(Dyx::repositoryCapacityFor(c.value, &capped), c.capacity) << '"' << c.value << '"';
    EXPECT_EQ(capped, c.capped) << '"' << c.value << '"';
  }
}

TEST_F(DyxTest, LargerCapacityHoldsMoreEntriesThanTheDefault) {
  writePrefs("RepositoryCapacity \"250000\"\n");
  Dyx::initialize();
  EXPECT_EQ(Dyx::repositoryCapacity(), 250000u);
  EXPECT_EQ(DyxEntryRepository::defaultCapacity(), 250000u);
  DyxEntryRepository& repo = DyxEntryRepository::getRepository("capacity-test");
  DyxEngineLock lock;
  DyxEntry* last = nullptr;
  for (int i = 0; i < 200001; ++i) last = repo.createEntry("f");
  EXPECT_NE(last, nullptr);
}

TEST_F(DyxTest, DumpReplacesTheDumpFile) {
  writePrefs("");
  Dyx::initialize();
  Dyx::dump();
  const std::string first = readFile(m_dir / "trace/dyxdump_.trc");
  EXPECT_NE(first.find("pref num: "), std::string::npos);
  Dyx::dump();
  EXPECT_EQ(readFile(m_dir / "trace/dyxdump_.trc"), first);
  EXPECT_NE(trace().find(quarrytest::nativePath("Dump into file: \"trace/dyxdump_.trc\"")),
            std::string::npos);

  fs::remove(m_dir / "trace/dyxdump_.trc");
  makeDirs(m_dir / "trace/dyxdump_.trc");  // cannot be opened as a file
  Dyx::dump();
  // Both lines are plain trace lines, without the "[file,line] " of a positioned message.
  const std::string t = trace();
  for (const std::string& message :
       {quarrytest::nativePath("Dump into file: \"trace/dyxdump_.trc\""),
        quarrytest::nativePath("Cannot open the file: \"trace/dyxdump_.trc\"")}) {
    const std::size_t at = t.find(message);
    ASSERT_NE(at, std::string::npos) << message;
    const std::size_t lineStart = t.rfind('\n', at) + 1;
    EXPECT_EQ(t.substr(lineStart, at - lineStart).find('['), std::string::npos)
        << t.substr(lineStart, at - lineStart + message.size());
  }
}

class NoFolderSorter : public DyxSorter {
 public:
  bool folderNames(const DyxEntry&, std::vector<DyxPath>& paths) const override {
    paths.clear();
    return true;
  }
};

TEST_F(DyxTest, SorterRepository) {
  writePrefs("");
  Dyx::initialize();
  EXPECT_FALSE(Dyx::registerSorter("null", nullptr));
  EXPECT_NE(trace().find("The sorter is null."), std::string::npos);
  EXPECT_EQ(Dyx::getSorter("null"), nullptr);

  auto first = std::make_unique<NoFolderSorter>();
  DyxSorter* firstPtr = first.get();
  EXPECT_TRUE(Dyx::registerSorter("s", std::move(first)));
  EXPECT_EQ(Dyx::getSorter("s"), firstPtr);
  auto second = std::make_unique<NoFolderSorter>();
  DyxSorter* secondPtr = second.get();
  EXPECT_TRUE(Dyx::registerSorter("s", std::move(second)));
  EXPECT_EQ(Dyx::getSorter("s"), secondPtr);
  Dyx::shutdown();
  EXPECT_EQ(Dyx::getSorter("s"), nullptr);
}

// The configuration shipped in conf/ of the checkout.
class ShippedConfTest : public DyxTest {
 protected:
  void SetUp() override {
    DyxTest::SetUp();
    const std::string source = quarrytest::sourceDir();
    ASSERT_FALSE(source.empty()) << "QUARRY_SOURCE_DIR is not set";
    fs::remove_all(m_dir / "conf");
    fs::copy(source + quarrytest::nativePath("/conf"), m_dir / "conf", fs::copy_options::recursive);
  }
  // Messages that readers of configuration files write when a record is wrong.
  static void expectNoConfigurationMessage(const std::string& text) {
    const char* messages[] = {
        "ERROR: ",          "Missing ending quote", "Cannot parse", "Missing a closing parenthesis",
        "Unknown operator", "Invalid entry kind",   "Cannot open",  "Bad entry",
        "Unknown sorter",   "Problem in file",      "bad file",     "Undefined filter."};
    for (const char* m : messages) {
      EXPECT_EQ(text.find(m), std::string::npos) << m << " in:\n" << text.substr(0, 4000);
    }
  }
};

TEST_F(ShippedConfTest, StartsCleanAndEveryTypeParses) {
  Dyx::initialize();
  EXPECT_EQ(activity().find("ERROR: "), std::string::npos) << activity();
  EXPECT_EQ(trace().find("ERROR: "), std::string::npos);
  // Shipped: trace off, DynamicUpdate off, no path map.
  EXPECT_EQ(kxout.threshold(), 0);
  EXPECT_FALSE(Dyx::getEnviron().getBoolPreference("DynamicUpdate"));
  EXPECT_GT(Dyx::getEnviron().getIntPreference("TraceMaxLineCount"), 0);
  EXPECT_GT(Dyx::getEnviron().getIntPreference("DynamicUpdatePollingPeriod"), 0);
  EXPECT_EQ(Dyx::getCurrentPathMap(), "");

  const auto& types = Dyx::getTypeManager().getTypeMap();
  EXPECT_GE(types.size(), 8u);
  for (const auto& [name, type] : types) {
    EXPECT_FALSE(type.getFilter().isUndefined()) << name;
    EXPECT_NE(type.getFilter().getRoot(), &DyxFilterTrue::instance()) << name;
    for (const auto& [subName, sub] : type.getSubTypes()) {
      EXPECT_FALSE(sub.getFilter().isUndefined()) << subName;
      EXPECT_NE(sub.getFilter().getRoot(), &DyxFilterTrue::instance()) << subName;
    }
  }
  EXPECT_FALSE(Dyx::getLauncher().commands().empty());
  // Every command names a type (or sub-type) that type.ini defines.
  for (const auto& [name, command] : Dyx::getLauncher().commands()) {
    const std::string top = command.type().substr(0, command.type().find('.'));
    const auto it = types.find(top);
    ASSERT_NE(it, types.end()) << name;
    if (top != command.type()) {
      EXPECT_EQ(it->second.getSubTypes().count(command.type()), 1u) << name;
    }
  }
}

TEST_F(ShippedConfTest, TracedStartUpReadsEveryFileWithoutMessage) {
  std::string prefs = readFile(m_dir / "conf/pref.ini");
  const std::size_t at = prefs.find("\"SILENT\"");
  ASSERT_NE(at, std::string::npos);
  prefs.replace(at, 8, "\"DEBUG\"");
  writeFile(m_dir / "conf/pref.ini", prefs);

  const std::string d =
      makeTree("files", {"photo.JPG", "song.flac", "notes.txt", "src.tar.gz", "main.cpp",
                         "deck.odp", "table.ods", "clip.mkv", "page.html", "README"});
  writeFile(m_dir / "conf/files.fpm", "\"" + d + "\" No\n");
  prefs += "CurrentPathMap \"files\"\n";
  writeFile(m_dir / "conf/pref.ini", prefs);
  Dyx::initialize();
  ASSERT_EQ(Dyx::getPhysicalDirs().repositoryKey(), "files");
  Dyx::update("");

  const struct {
    const char* file;
    std::vector<std::string> types;
  } cases[] = {{"photo.JPG", {"Image.Photo"}},   {"song.flac", {"Audio.Lossless"}},
               {"notes.txt", {"Document.Text"}}, {"src.tar.gz", {"Archive.Compressed"}},
               {"main.cpp", {"Source.C"}},       {"deck.odp", {"Presentation"}},
               {"table.ods", {"Spreadsheet"}},   {"clip.mkv", {"Video"}},
               {"page.html", {"Web"}},           {"README", {}}};
  {
    DyxEngineLock lock;
    for (const auto& c : cases) {
      const DyxEntry* e =
          Dyx::getPhysicalDirs().getEntry(DyxPath(d + quarrytest::nativePath("/") + c.file));
      ASSERT_NE(e, nullptr) << c.file;
      std::vector<std::string> types;
      Dyx::getTypeManager().getTypes(*e, types);
      EXPECT_EQ(types, c.types) << c.file;
    }
  }
  std::vector<DyxCommand> commands;
  Dyx::getLauncher().getCommands(d + quarrytest::nativePath("/photo.JPG"), commands);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].name(), "ViewPhoto");

  // The example views load without a message and with their folders.
  DyxView* work = Dyx::getViewManager().get("Work", true);
  ASSERT_NE(work, nullptr);
  EXPECT_NE(work->getSubFolder("Projects"), nullptr);
  EXPECT_NE(work->getSubFolder("Reading"), nullptr);
  EXPECT_FALSE(work->isModified());
  DyxView* media = Dyx::getViewManager().get("Media", true);
  ASSERT_NE(media, nullptr);
  DyxViewFolder* pictures = media->getSubFolder("Pictures");
  ASSERT_NE(pictures, nullptr);
  EXPECT_NE(pictures->getSubFolder("Photos"), nullptr);
  EXPECT_FALSE(media->isModified());

  expectNoConfigurationMessage(trace());
  expectNoConfigurationMessage(activity());
}

}  // namespace
