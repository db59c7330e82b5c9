// The system's environment as both systems must answer it: names outside ASCII, paths longer
// than 260 characters, sizes above 4 GiB, exact times, whole-file saves, argument passing to a
// child process, directory watches, and on Windows the opening of a file by its association.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dyxcore/platform.h"
#include "support/testutil.h"

namespace {

using dyxplatform::Directory;
using dyxplatform::DirectoryWatch;
using dyxplatform::DirItem;
using dyxplatform::Env;
using dyxplatform::FileInfo;
using dyxplatform::FileInfoResult;
using quarrytest::readFile;
using quarrytest::TempDir;
using quarrytest::writeFile;

std::filesystem::path fsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::map<std::string, DirItem> listing(const std::string& dir) {
  std::vector<DirItem> items;
  int error = 0;
  EXPECT_TRUE(dyxplatform::listDirectory(dir, items, &error)) << dir << ": " << error;
  std::map<std::string, DirItem> byName;
  for (const DirItem& item : items) byName[item.name] = item;
  return byName;
}

TEST(PlatformFiles, ListingGivesEveryNameAsWrittenAndTellsDirectories) {
  TempDir dir;
  const std::vector<std::string> files = {"a b.txt",    "it's.txt", "ünïcødé.md",
                                          "日本語.txt", ".hidden",  "x"};
  for (const std::string& name : files) writeFile(dir / name, name);
  quarrytest::makeDirs(dir / "sub dir");
  const auto items = listing(dir.path());
  ASSERT_EQ(items.size(), files.size() + 1);
  for (const std::string& name : files) {
    ASSERT_EQ(items.count(name), 1u) << name;
    EXPECT_FALSE(items.at(name).isDirectory) << name;
  }
  EXPECT_TRUE(items.at("sub dir").isDirectory);
  EXPECT_EQ(items.count("."), 0u);
  EXPECT_EQ(items.count(".."), 0u);
}

// The information of a file just listed (taken from the listing's record where the system gives
// one) equals what a lookup by path gives.
TEST(PlatformFiles, ListedFileInformationEqualsTheLookupByPath) {
  TempDir dir;
  writeFile(dir / "five.txt", "12345");
  writeFile(dir / "empty", "");
  const std::unique_ptr<Directory> open = Env::system().openDirectory(dir.path());
  ASSERT_TRUE(open);
  DirItem item;
  int seen = 0;
  while (open->next(item)) {
    ++seen;
    FileInfo listed;
    FileInfo direct;
    ASSERT_EQ(open->readFileInfo(item.name, listed), FileInfoResult::kOk) << item.name;
    ASSERT_EQ(dyxplatform::readFileInfo(dir / item.name, direct), FileInfoResult::kOk) << item.name;
    EXPECT_EQ(listed.size, direct.size) << item.name;
    EXPECT_EQ(listed.lastWriteTime, direct.lastWriteTime) << item.name;
    EXPECT_TRUE(listed.isRegular()) << item.name;
    EXPECT_EQ(listed.size, item.name == "empty" ? 0u : 5u) << item.name;
  }
  EXPECT_EQ(seen, 2);
}

TEST(PlatformFiles, MissingPlacesAreTold) {
  TempDir dir;
  writeFile(dir / "file", "f");
  struct Case {
    std::string path;
    int listError;
  };
  const Case cases[] = {{dir / "missing", ENOENT}, {dir / "file", ENOTDIR}};
  for (const Case& c : cases) {
    std::vector<DirItem> items;
    int error = 0;
    EXPECT_FALSE(dyxplatform::listDirectory(c.path, items, &error)) << c.path;
    EXPECT_EQ(error, c.listError) << c.path;
  }
  FileInfo info;
  EXPECT_EQ(dyxplatform::readFileInfo(dir / "missing", info), FileInfoResult::kVanished);
  EXPECT_EQ(dyxplatform::readFileInfo(dir / "missing/below", info), FileInfoResult::kVanished);
  std::string content;
  int error = 0;
  EXPECT_FALSE(dyxplatform::readWholeFile(dir / "missing", content, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(dyxplatform::readWholeFile(dir.path(), content, &error));
  EXPECT_EQ(error, EISDIR);
}

// Every call takes a path of more than 260 characters, and a name that ends in a dot or a blank
// stays that name.
TEST(PlatformFiles, LongPathsWorkEverywhere) {
  TempDir dir;
  std::string deep = dir.path();
  for (int i = 0; i < 6; ++i) deep += dyxplatform::kPathSeparator + std::string(50, 'a' + i);
  ASSERT_GT(deep.size(), 300u);
  int error = 0;
  ASSERT_TRUE(dyxplatform::makeDirectories(deep, &error)) << error;
  EXPECT_TRUE(dyxplatform::isDirectory(deep));
  const std::string file = deep + dyxplatform::kPathSeparator + "long way down.txt";
  ASSERT_TRUE(dyxplatform::writeFileReplacing(file, "deep", &error)) << error;
  ASSERT_TRUE(dyxplatform::writeFileReplacing(file, "deeper", &error)) << error;
  std::string content;
  ASSERT_TRUE(dyxplatform::readWholeFile(file, content, &error)) << error;
  EXPECT_EQ(content, "deeper");
  FileInfo info;
  ASSERT_EQ(dyxplatform::readFileInfo(file, info), FileInfoResult::kOk);
  EXPECT_EQ(info.size, 6u);
  EXPECT_EQ(listing(deep).count("long way down.txt"), 1u);
  std::uint64_t changed = 0;
  EXPECT_TRUE(dyxplatform::directoryChangeTime(deep, changed));
  EXPECT_NE(changed, 0u);
  for (const char* odd : {"ends in a dot.", "ends in a blank "}) {
    const std::string path = deep + dyxplatform::kPathSeparator + odd;
    ASSERT_TRUE(dyxplatform::writeFileReplacing(path, odd, &error)) << odd << ": " << error;
    ASSERT_TRUE(dyxplatform::readWholeFile(path, content, &error)) << odd;
    EXPECT_EQ(content, odd);
    EXPECT_EQ(listing(deep).count(odd), 1u) << odd;
    EXPECT_TRUE(dyxplatform::removeFile(path, &error)) << odd;
  }
  EXPECT_TRUE(dyxplatform::removeFile(file, &error));
  EXPECT_FALSE(dyxplatform::pathExists(file));
}

// A time with digits below the second, written and read back through the layer.
// A file whose size, as told when it was opened, is not what it holds: one that grew or shrank
// since, or one of the system's own that tells no size.
class MisSizedFile final : public dyxplatform::SequentialFile {
 public:
  MisSizedFile(std::unique_ptr<dyxplatform::SequentialFile> file, std::uint64_t told)
      : m_file(std::move(file)), m_told(told) {}
  long read(char* buffer, std::size_t size, int* error) override {
    return m_file->read(buffer, size, error);
  }
  bool seek(std::uint64_t offset, int* error) override { return m_file->seek(offset, error); }
  std::uint64_t size() const override { return m_told; }

 private:
  std::unique_ptr<dyxplatform::SequentialFile> m_file;
  std::uint64_t m_told;
};

class MisSizingEnv final : public dyxplatform::EnvWrapper {
 public:
  explicit MisSizingEnv(std::uint64_t told) : EnvWrapper(Env::system()), m_told(told) {}
  std::unique_ptr<dyxplatform::SequentialFile> openSequentialFile(const std::string& path,
                                                                  int* error) override {
    std::unique_ptr<dyxplatform::SequentialFile> file = target().openSequentialFile(path, error);
    if (!file) return file;
    return std::make_unique<MisSizedFile>(std::move(file), m_told);
  }

 private:
  std::uint64_t m_told;
};

// A whole file is read to its end whatever size it told, and never past the limit.
TEST(PlatformFiles, WholeFileReadsWhatTheFileHoldsWhateverItsToldSize) {
  TempDir dir;
  const std::string path = dir / "content";
  std::string expected;
  for (int i = 0; expected.size() < 300000; ++i) expected += "line " + std::to_string(i) + "\n";
  writeFile(path, expected);
  for (const std::uint64_t told : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4096},
                                   std::uint64_t{expected.size()}, std::uint64_t{1} << 20}) {
    MisSizingEnv env(told);
    std::string content = "left from before";
    int error = 0;
    ASSERT_TRUE(dyxplatform::readWholeFile(env, path, content, &error)) << told << ": " << error;
    EXPECT_EQ(content, expected) << "told " << told;
    ASSERT_TRUE(dyxplatform::readWholeFile(env, path, content, &error, 5000)) << told;
    EXPECT_EQ(content, expected.substr(0, 5000)) << "told " << told;
  }
}

TEST(PlatformFiles, ModificationTimeRoundTripsExactly) {
  TempDir dir;
  writeFile(dir / "t", "t");
  const std::uint64_t times[] = {
      dyxplatform::fileTimeFromUnix(1600000000, 123456700),  // 2020, odd 100 ns digits
      dyxplatform::fileTimeFromUnix(946684799, 999999900),   // the last tick of 1999
      dyxplatform::fileTimeFromUnix(4102444800, 100),        // 2100
  };
  for (std::uint64_t t : times) {
    ASSERT_TRUE(quarrytest::setLastWriteTime(dir / "t", t)) << t;
    FileInfo info;
    ASSERT_EQ(dyxplatform::readFileInfo(dir / "t", info), FileInfoResult::kOk) << t;
    EXPECT_EQ(info.lastWriteTime, t) << t;
    const std::unique_ptr<Directory> open = Env::system().openDirectory(dir.path());
    DirItem item;
    ASSERT_TRUE(open && open->next(item));
    ASSERT_EQ(open->readFileInfo(item.name, info), FileInfoResult::kOk);
    EXPECT_EQ(info.lastWriteTime, t) << t << " through the listing";
  }
}

TEST(PlatformFiles, SizesAboveFourGibibytesAreExact) {
  TempDir dir;
  const std::uint64_t size = 5ULL << 30;
  writeFile(dir / "sparse.bin", "");
  std::error_code ec;
  std::filesystem::resize_file(fsPath(dir / "sparse.bin"), size, ec);
  if (ec) GTEST_SKIP() << "no room for a sparse file of 5 GiB here: " << ec.message();
  FileInfo info;
  ASSERT_EQ(dyxplatform::readFileInfo(dir / "sparse.bin", info), FileInfoResult::kOk);
  EXPECT_EQ(info.size, size);
  const std::unique_ptr<Directory> open = Env::system().openDirectory(dir.path());
  DirItem item;
  ASSERT_TRUE(open && open->next(item));
  ASSERT_EQ(open->readFileInfo(item.name, info), FileInfoResult::kOk);
  EXPECT_EQ(info.size, size);
  std::filesystem::remove(fsPath(dir / "sparse.bin"), ec);
}

TEST(PlatformFiles, SavesReplaceWholeFilesAndKeepThePreviousOnRequest) {
  TempDir dir;
  const std::string a = dir / "a.txt";
  const std::string b = dir / "b.data";
  writeFile(a, "old a");
  std::string failed;
  int error = 0;
  ASSERT_TRUE(
      dyxplatform::writeFilesReplacing({{a, "new a"}, {b, "new b"}}, &error, &failed, ".bak"))
      << error << " " << failed;
  EXPECT_EQ(readFile(a), "new a");
  EXPECT_EQ(readFile(b), "new b");
  EXPECT_EQ(readFile(a + ".bak"), "old a");
  // A target that cannot be written (its directory is missing) leaves every target as it was.
  const std::string lost = dir / "missing/c.txt";
  EXPECT_FALSE(dyxplatform::writeFilesReplacing({{a, "newer a"}, {lost, "c"}}, &error, &failed));
  EXPECT_EQ(failed, lost);
  EXPECT_EQ(readFile(a), "new a");
  // No temporary file stays behind.
  EXPECT_EQ(listing(dir.path()).size(), 3u);
  // The files are made side by side: a content that throws, the first file's or the second's,
  // comes out of the call once both are done, and leaves the targets and no temporary file.
  for (int throwing = 0; throwing < 2; ++throwing) {
    std::vector<dyxplatform::FileProduction> files;
    for (int i = 0; i < 2; ++i) {
      files.push_back({i == 0 ? a : b, [i, throwing](const auto& append) {
                         if (i == throwing) throw std::runtime_error("no content");
                         return append("never kept");
                       }});
    }
    EXPECT_THROW(
        dyxplatform::writeFilesReplacing(Env::system(), files, &error, &failed, "", nullptr),
        std::runtime_error)
        << throwing;
    EXPECT_EQ(readFile(a), "new a");
    EXPECT_EQ(readFile(b), "new b");
    EXPECT_EQ(listing(dir.path()).size(), 3u) << throwing;
  }
}

// Arguments reach the program exactly, one by one, whatever quotes, blanks and backslashes they
// hold; a waited start gives the program's exit code and its standard output in the file.
TEST(PlatformProcesses, ArgumentsArriveExactlyAndOutputIsCaptured) {
  TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  const std::string program =
      dyxplatform::findProgram(quarrytest::nativePath(QUARRY_SHOW_ARGS_PATH));
  ASSERT_FALSE(program.empty());
  const std::vector<std::vector<std::string>> cases = {
      {"plain", "two words", ""},
      {"say \"hi\"", "\"", "\\\"", "trailing\\", "trailing\\\\", "a\\\\\"b"},
      {"tab\there", "ünïcødé 日本", "%1 %L", "-x", "C:\\Program Files\\x y\\"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    const dyxplatform::SpawnResult r =
        dyxplatform::spawnProcess(program, argv, true, dir / "stdout.txt");
    ASSERT_TRUE(r.started) << args.front() << ": " << r.error;
    EXPECT_EQ(r.exitCode, 0) << args.front();
    EXPECT_GT(r.pid, 0) << args.front();
    std::string expected;
    for (const std::string& a : args) expected += "[" + a + "]";
    EXPECT_EQ(readFile(dir / "args.out"), expected) << args.front();
    EXPECT_EQ(readFile(dir / "stdout.txt"), "42\n\"" + args.front() + "\"\n") << args.front();
  }
  EXPECT_EQ(dyxplatform::findProgram(dir / "no such program"), "");
  const dyxplatform::SpawnResult missing =
      dyxplatform::spawnProcess(dir / "no such program", {"x"}, true);
  EXPECT_FALSE(missing.started);
  EXPECT_NE(missing.error, 0);
}

TEST(PlatformWatch, ChangesInterruptsAndRemovalEndTheWait) {
  using WaitResult = DirectoryWatch::WaitResult;
  TempDir dir;
  const std::string watched = dir / "watched";
  quarrytest::makeDirs(watched);
  const std::unique_ptr<DirectoryWatch> watch = Env::system().watchDirectory(watched);
  ASSERT_TRUE(watch->isValid()) << watch->error();
  EXPECT_EQ(watch->wait(50), WaitResult::kTimeout);
  writeFile(watched + dyxplatform::kPathSeparator + "new.txt", "n");
  EXPECT_EQ(watch->wait(10000), WaitResult::kChanged);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    watch->interrupt();
  });
  EXPECT_EQ(watch->wait(10000), WaitResult::kInterrupted);
  waker.join();
  // An interrupt that comes first ends the next wait at once.
  watch->interrupt();
  EXPECT_EQ(watch->wait(10000), WaitResult::kInterrupted);
  // The directory moved away from under its watch: the wait says so (in time), whatever came
  // before.
  std::filesystem::rename(fsPath(watched), fsPath(dir / "moved"));
  WaitResult r = watch->wait(10000);
  if (r == WaitResult::kChanged) r = watch->wait(10000);
  EXPECT_EQ(r, WaitResult::kGone);

  const std::unique_ptr<DirectoryWatch> none = Env::system().watchDirectory(dir / "missing");
  EXPECT_FALSE(none->isValid());
  EXPECT_EQ(none->wait(0), WaitResult::kError);
}

// Reads a set's events until `seen` holds for them, or for about ten seconds.
template <class Pred>
bool waitForEvents(dyxplatform::DirectoryWatchSet& set,
                   std::vector<dyxplatform::DirectoryWatchSet::Event>& events, Pred seen) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!seen(events)) {
    if (std::chrono::steady_clock::now() > end) return false;
    set.wait(100, events);
  }
  return true;
}

TEST(PlatformWatchSet, ManyDirectoriesThroughOneWait) {
  using Set = dyxplatform::DirectoryWatchSet;
  using Events = std::vector<Set::Event>;
  TempDir dir;
  const std::string top = dir / "top";
  // More directories than one wait for handles could take on Windows (64).
  std::vector<std::string> subs;
  for (int i = 0; i < 70; ++i) subs.push_back(dir / ("top/d" + std::to_string(i)));
  for (const std::string& sub : subs) quarrytest::makeDirs(sub);
  const std::unique_ptr<Set> set = Env::system().newWatchSet();
  ASSERT_TRUE(set->isValid()) << set->error();
  const int topId = set->add(top);
  ASSERT_GE(topId, 0);
  std::vector<int> ids;
  for (const std::string& sub : subs) ids.push_back(set->add(sub));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), -1), 0);
  EXPECT_EQ(set->add(subs[0] + dyxplatform::kPathSeparator + ".."), topId)
      << "a directory watched already, by another path";
  int error = 0;
  EXPECT_EQ(set->add(dir / "missing", &error), -1);
  EXPECT_EQ(error, ENOENT);
  Events events;
  EXPECT_EQ(set->wait(50, events), Set::WaitResult::kTimeout);

  const auto has = [](int watch, const std::string& name, unsigned what, bool isDirectory) {
    return [=](const Events& got) {
      return std::any_of(got.begin(), got.end(), [&](const Set::Event& e) {
        return e.watch == watch && e.name == name && (e.what & what) != 0 &&
               e.isDirectory == isDirectory;
      });
    };
  };
  writeFile(subs.back() + dyxplatform::kPathSeparator + "f.txt", "f");
  EXPECT_TRUE(waitForEvents(*set, events, has(ids.back(), "f.txt", Set::kCreated, false)));
  quarrytest::makeDirs(dir / "top/new");
  EXPECT_TRUE(waitForEvents(*set, events, has(topId, "new", Set::kCreated, true)));

  // Interrupts: one that comes while waiting, and one that comes first.
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    set->interrupt();
  });
  events.clear();
  EXPECT_EQ(set->wait(10000, events), Set::WaitResult::kInterrupted);
  waker.join();
  set->interrupt();
  EXPECT_EQ(set->wait(10000, events), Set::WaitResult::kInterrupted);

  // A watched directory moved away: its parent's record says a directory went, and its own
  // watch that it is gone.
  std::filesystem::rename(fsPath(subs[1]), fsPath(dir / "moved"));
  EXPECT_TRUE(waitForEvents(*set, events, has(topId, "d1", Set::kDeleted | Set::kMovedFrom, true)));
  EXPECT_TRUE(waitForEvents(*set, events, has(ids[1], "", Set::kSelfGone, false)));

  // A watch given back reports nothing more (but that it ended).
  set->remove(ids[2]);
  writeFile(subs[2] + dyxplatform::kPathSeparator + "late.txt", "l");
  writeFile(subs[3] + dyxplatform::kPathSeparator + "seen.txt", "s");
  events.clear();
  EXPECT_TRUE(waitForEvents(*set, events, has(ids[3], "seen.txt", Set::kCreated, false)));
  set->wait(100, events);
  for (const Set::Event& e : events) {
    if (e.watch == ids[2]) {
      EXPECT_EQ(e.what, Set::kWatchEnded) << e.name;
    }
  }
}

#ifdef _WIN32
// A file opened by the application of its extension: the association is made for this test
// (show_args for ".quarrytest", among the classes of the system, where Wine looks) and taken away
// again.
TEST(PlatformShell, FileOpensWithTheAssociatedApplication) {
  TempDir dir;
  quarrytest::CwdGuard cwd(dir.path());
  const std::string file = dir / "opened file.quarrytest";
  writeFile(file, "x");
  const std::wstring command =
      L"\"" + std::filesystem::path(quarrytest::nativePath(QUARRY_SHOW_ARGS_PATH)).wstring() +
      L"\" \"%1\"";
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, L"QuarryTest.File\\shell\\open\\command", 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
  const wchar_t progId[] = L"QuarryTest.File";
  ASSERT_EQ(
      ::RegSetKeyValueW(HKEY_CLASSES_ROOT, L".quarrytest", nullptr, REG_SZ, progId, sizeof progId),
      ERROR_SUCCESS);
  int error = 0;
  EXPECT_TRUE(dyxplatform::openWithAssociatedApplication(file, &error)) << error;
  // The program runs on its own; it writes what it was given.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (readFile(dir / "args.out").empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(readFile(dir / "args.out"), "[" + file + "]");
  EXPECT_FALSE(dyxplatform::openWithAssociatedApplication(dir / "missing.quarrytest", &error));
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"QuarryTest.File");
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L".quarrytest");
}
#endif

}  // namespace
