// What the engine builds on an environment, the same on every system: the current environment,
// replacing saves, whole-file reads and the shorthands that call the current environment.
#include "dyxcore/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace dyxplatform {

namespace {

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

std::atomic<Env*> g_current{nullptr};

void setError(int* error, int value) {
  if (error) *error = value;
}

// Where "\\" separates, "/" is taken as a separator too (paths written by hand).
constexpr const char* kSeparators = kPathSeparator == '/' ? "/" : "\\/";

bool isSeparator(char c) { return c == '/' || c == kPathSeparator; }

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The length of the part of `path` that names its root and is no directory to create: "/" on
// Linux; "X:\", "\\server\share\" or "\" on Windows; 0 for a relative path.
std::size_t rootLength(const std::string& path) {
  if constexpr (kPathSeparator == '/') {
    return !path.empty() && path[0] == '/' ? 1 : 0;
  } else {
    if (path.size() >= 2 && isDriveLetter(path[0]) && path[1] == ':') {
      return path.size() >= 3 && isSeparator(path[2]) ? 3 : 2;
    }
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
      // Two names follow, the server and the share.
      std::size_t at = 2;
      for (int names = 0; names < 2 && at < path.size(); ++names) {
        const std::size_t end = path.find_first_of(kSeparators, at);
        at = end == std::string::npos ? path.size() : end + 1;
      }
      return at;
    }
    return !path.empty() && isSeparator(path[0]) ? 1 : 0;
  }
}

std::string tempNameOf(Env& env, const std::string& target) {
  return target + ".tmp" + std::to_string(env.processId());
}

// Writes what `write` makes to `path` and syncs it; on failure the file is removed again.
bool writeSynced(Env& env, const std::string& path, const ContentWriter& write, int* error) {
  std::unique_ptr<WritableFile> file = env.newWritableFile(path, error);
  if (!file) return false;
  bool appended = true;
  bool ok = write([&](std::string_view part) {
    appended = appended && file->append(part, error);
    return appended;
  });
  ok = ok && appended;
  // The data must be on disk before a rename makes it the file of record.
  ok = ok && file->sync(error);
  ok = file->close(ok ? error : nullptr) && ok;
  if (!ok) env.removeFile(path);
  return ok;
}

}  // namespace

Env& Env::current() {
  Env* env = g_current.load(std::memory_order_acquire);
  return env != nullptr ? *env : system();
}

void Env::setCurrent(Env* env) { g_current.store(env, std::memory_order_release); }

namespace {

// The set of a system without directory watches: every directory is left to polling.
class NoWatchSet final : public DirectoryWatchSet {
 public:
  bool isValid() const override { return false; }
  int error() const override { return ENOSYS; }
  int add(const std::string&, int* error) override {
    setError(error, ENOSYS);
    return -1;
  }
  void remove(int) override {}
  WaitResult wait(int, std::vector<Event>&) override { return WaitResult::kError; }
  void interrupt() override {}
};

}  // namespace

std::unique_ptr<DirectoryWatchSet> Env::newWatchSet() { return std::make_unique<NoWatchSet>(); }

// ---------------------------------------------------------------------------------------------

static ContentWriter writerOf(const std::vector<std::string_view>& parts) {
  return [&parts](const std::function<bool(std::string_view)>& append) {
    for (std::string_view part : parts) {
      if (!append(part)) return false;
    }
    return true;
  };
}

bool writeFileReplacing(Env& env, const std::string& target,
                        const std::vector<std::string_view>& parts, int* error) {
  const std::string temp = tempNameOf(env, target);
  if (!writeSynced(env, temp, writerOf(parts), error)) return false;
  if (!env.renameFile(temp, target, error)) {
    env.removeFile(temp);
    return false;
  }
  return true;
}

bool writeFilesReplacing(Env& env, const std::vector<FileReplacement>& files, int* error,
                         std::string* failedTarget, const std::string& keepOldAs,
                         std::size_t* replaced) {
  std::vector<std::vector<std::string_view>> parts;
  parts.reserve(files.size());
  std::vector<FileProduction> productions;
  for (const FileReplacement& file : files) {
    parts.push_back({file.content});
    productions.push_back({file.target, writerOf(parts.back())});
  }
  return writeFilesReplacing(env, productions, error, failedTarget, keepOldAs, replaced);
}

bool writeFilesReplacing(Env& env, const std::vector<FileProduction>& files, int* error,
                         std::string* failedTarget, const std::string& keepOldAs,
                         std::size_t* replaced) {
  if (replaced != nullptr) *replaced = 0;
  // Each file is made, written and synced on a thread of its own: the syncs wait for the disk
  // together instead of one after the other, and a second core makes the second file's
  // content. A `write` reads what its caller holds still while this call runs.
  std::vector<std::string> temps(files.size());
  std::vector<int> errors(files.size(), 0);
  std::vector<char> written(files.size(), 0);
  std::vector<std::exception_ptr> thrown(files.size());
  const auto produce = [&](std::size_t i) {
    try {
      temps[i] = tempNameOf(env, files[i].target);
      written[i] = writeSynced(env, temps[i], files[i].write, &errors[i]) ? 1 : 0;
    } catch (...) {
      // The file may have been made before the content threw.
      if (!temps[i].empty()) env.removeFile(temps[i]);
      thrown[i] = std::current_exception();
    }
  };
  {
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < files.size(); ++i) {
      try {
        others.emplace_back(produce, i);
      } catch (const std::system_error&) {
        produce(i);  // no thread to be had: made here, after the others
      }
    }
    if (!files.empty()) produce(0);
    for (std::thread& other : others) other.join();
  }
  const auto removeWritten = [&](std::size_t from) {
    for (std::size_t i = from; i < files.size(); ++i) {
      if (written[i] != 0) env.removeFile(temps[i]);
    }
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (thrown[i]) {
      removeWritten(0);
      std::rethrow_exception(thrown[i]);
    }
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (written[i] != 0) continue;
    removeWritten(0);
    setError(error, errors[i]);
    if (failedTarget != nullptr) *failedTarget = files[i].target;
    return false;
  }
  const auto fail = [&](const std::string& target, std::size_t firstTemp) {
    removeWritten(firstTemp);
    if (failedTarget != nullptr) *failedTarget = target;
    if (replaced != nullptr) *replaced = firstTemp;
    return false;
  };
  // Every new file is whole on disk: only now is any target touched.
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& target = files[i].target;
    if (!keepOldAs.empty()) {
      int code = 0;
      if (!env.renameFile(target, target + keepOldAs, &code) && code != ENOENT) {
        setError(error, code);
        return fail(target, i);
      }
    }
    if (!env.renameFile(temps[i], target, error)) return fail(target, i);
  }
  return true;
}

bool readWholeFile(Env& env, const std::string& path, std::string& out, int* error,
                   std::size_t maxBytes) {
  std::unique_ptr<SequentialFile> file = env.openSequentialFile(path, error);
  if (!file) return false;
  // Read straight into the text, sized by the file: a large file is copied once, not through a
  // buffer. A file that grows while it is read gets more room; one that shrinks is cut to what
  // was read.
  std::size_t have = 0;
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file->size(), maxBytes)));
  while (have < maxBytes) {
    if (have == out.size()) {
      // Full: whether the file holds more is asked with a small read of its own. Doubling the
      // text first would copy and clear megabytes for every file that merely ends at its size.
      char probe[4096];
      const long n = file->read(probe, std::min(sizeof probe, maxBytes - have), error);
      if (n < 0) {
        out.clear();
        return false;
      }
      if (n == 0) break;
      out.resize(std::min(maxBytes, std::max<std::size_t>(have * 2, 65536)));
      std::memcpy(out.data() + have, probe, static_cast<std::size_t>(n));
      have += static_cast<std::size_t>(n);
      continue;
    }
    const long n = file->read(out.data() + have, out.size() - have, error);
    if (n < 0) {
      out.clear();
      return false;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  out.resize(have);
  return true;
}

bool listDirectory(Env& env, const std::string& path, std::vector<DirItem>& out, int* error) {
  std::unique_ptr<Directory> dir = env.openDirectory(path, error);
  if (!dir) return false;
  DirItem item;
  while (dir->next(item)) out.push_back(item);
  if (dir->error() != 0) {
    setError(error, dir->error());
    return false;
  }
  return true;
}

bool makeDirectories(Env& env, const std::string& path, int* error) {
  if (path.empty()) {
    setError(error, ENOENT);
    return false;
  }
  for (std::size_t pos = path.find_first_of(kSeparators, rootLength(path) + 1);
       pos != std::string::npos; pos = path.find_first_of(kSeparators, pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && !env.isDirectory(prefix) && !env.makeDirectory(prefix, error)) {
      return false;
    }
  }
  return env.makeDirectory(path, error);
}

std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < -kSecondsFrom1601To1970) return 0;
  const std::int64_t since1601 = seconds + kSecondsFrom1601To1970;
  constexpr std::int64_t kMaxSeconds = INT64_MAX / kTicksPerSecond - 1;
  if (since1601 > kMaxSeconds) return static_cast<std::uint64_t>(INT64_MAX);
  return static_cast<std::uint64_t>(since1601 * kTicksPerSecond + nanoseconds / 100);
}

std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime) {
  return static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
}

// ---------------------------------------------------------------------------------------------

bool isAbsolutePath(const std::string& path) {
  if constexpr (kPathSeparator == '/') {
    return !path.empty() && path[0] == '/';
  } else {
    if (!path.empty() && isSeparator(path[0])) return true;
    return path.size() >= 3 && isDriveLetter(path[0]) && path[1] == ':' && isSeparator(path[2]);
  }
}

std::string platformDataDirectory(Env& env) {
  if constexpr (kPathSeparator == '/') {
    (void)env;
    return std::string();
  } else {
    const std::string base = env.environmentVariable("LOCALAPPDATA");
    if (!isAbsolutePath(base)) return std::string();
    return isSeparator(base.back()) ? base + "Quarry" : base + kPathSeparator + "Quarry";
  }
}

#ifndef _WIN32
// Linux gives the arguments and takes the output as bytes: nothing to convert.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;
#endif

// ---------------------------------------------------------------------------------------------
// Shorthands

FileReader::FileReader(const std::string& path)
    : m_file(Env::current().openSequentialFile(path, &m_error)) {
  // Its callers tell "not a regular file" by EINVAL alone.
  if (!m_file && m_error == EISDIR) m_error = EINVAL;
}

bool FileReader::rewind() { return m_file && m_file->rewind(&m_error); }

long FileReader::read(char* buffer, std::size_t size) {
  return m_file ? m_file->read(buffer, size, &m_error) : -1;
}

bool writeFileReplacing(const std::string& target, std::string_view content, int* error) {
  return writeFileReplacing(Env::current(), target, {content}, error);
}
bool writeFilesReplacing(const std::vector<FileReplacement>& files, int* error,
                         std::string* failedTarget, const std::string& keepOldAs) {
  return writeFilesReplacing(Env::current(), files, error, failedTarget, keepOldAs);
}
bool readWholeFile(const std::string& path, std::string& out, int* error, std::size_t maxBytes) {
  return readWholeFile(Env::current(), path, out, error, maxBytes);
}
bool listDirectory(const std::string& path, std::vector<DirItem>& out, int* error) {
  return listDirectory(Env::current(), path, out, error);
}
bool makeDirectories(const std::string& path, int* error) {
  return makeDirectories(Env::current(), path, error);
}
FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error) {
  return Env::current().readFileInfo(path, out, error);
}
bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error) {
  return Env::current().directoryChangeTime(path, fileTime, error);
}
bool pathExists(const std::string& path) { return Env::current().pathExists(path); }
bool isDirectory(const std::string& path) { return Env::current().isDirectory(path); }
bool isRegularFile(const std::string& path) { return Env::current().isRegularFile(path); }
bool makeDirectory(const std::string& path, int* error) {
  return Env::current().makeDirectory(path, error);
}
bool renameFile(const std::string& from, const std::string& to, int* error) {
  return Env::current().renameFile(from, to, error);
}
bool removeFile(const std::string& path, int* error) {
  return Env::current().removeFile(path, error);
}
bool removeDirectory(const std::string& path, int* error) {
  return Env::current().removeDirectory(path, error);
}
std::string currentDirectory() { return Env::current().currentDirectory(); }
bool changeDirectory(const std::string& path, int* error) {
  return Env::current().changeDirectory(path, error);
}
std::string findProgram(const std::string& name) { return Env::current().findProgram(name); }
SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                         bool wait, const std::string& stdoutFile) {
  return Env::current().spawnProcess(program, argv, wait, stdoutFile);
}
int processId() { return Env::current().processId(); }
bool isPrivileged() { return Env::current().isPrivileged(); }
std::string environmentVariable(const char* name) {
  return Env::current().environmentVariable(name);
}
std::string homeDirectory() { return Env::current().homeDirectory(); }
std::string executablePath() { return Env::current().executablePath(); }
void openClosedStandardDescriptors() { Env::current().openClosedStandardDescriptors(); }
bool wasClosedAtStart(int fd) { return Env::current().wasClosedAtStart(fd); }
std::int64_t nowUnixSeconds() { return Env::current().nowUnixSeconds(); }
bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out) {
  return Env::current().toCalendarUtc(unixSeconds, out);
}
std::string errorText(int error) { return Env::current().errorText(error); }

}  // namespace dyxplatform
