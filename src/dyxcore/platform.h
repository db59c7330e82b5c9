// The engine's operating-system layer. Every system call of the engine goes through one
// environment (`dyxplatform::Env`): listing directories, file information, reading and saving
// files, directory change watches, processes, the clock and environment variables. The engine
// is portable over it: a Linux environment answers today (platform_linux.cpp), another system
// adds its own implementation file and nothing else changes, and tests install an environment
// that makes any call fail on demand.
//
// An environment answers system calls and nothing more: it keeps no scan policy and no state
// per calling thread, so the same call gives the same answer on any thread.
//
// Failures: every call that can fail reports an errno value (ENOENT, EACCES, EIO, ENOSPC, ...)
// through its `int* error` argument (left alone on success, and when null), or through the
// handle's error(). An implementation for another system maps its own codes onto these, so the
// engine's messages and decisions (a name that is gone against one that cannot be read) stay
// the same everywhere.
//
// Ownership and threads: the process-wide environment (Env::current) is not owned by its
// callers and outlives every engine object; it may be called from any thread at once. The
// engine's pool and repositories receive it when they are built. A handle that a call returns
// (Directory, SequentialFile, WritableFile, DirectoryWatch) is owned by its caller through a
// std::unique_ptr, and is used by one thread at a time (DirectoryWatch::interrupt excepted).
// Texts are the bytes that the file system gives (no encoding is assumed); paths are absolute or
// relative to the current directory of the process, with kPathSeparator between names.
//
// Two systems: Linux (platform_linux.cpp) and Windows (platform_win32.cpp, built with
// MinGW-w64). On Windows texts are UTF-8 and become UTF-16 at each system call, paths use "\"
// (a "/" is taken as one too) and may be longer than 260 characters, and errors are mapped onto
// the errno values above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dyxplatform {

// The separator of the system's paths.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// ---------------------------------------------------------------------------------------------
// Values the environment hands out

struct DirItem {
  std::string name;
  bool isDirectory = false;  // a real directory; a symbolic link never counts as one
};

struct FileInfo {
  std::uint64_t size = 0;
  std::uint64_t lastWriteTime = 0;   // 1601-based
  std::uint64_t lastAccessTime = 0;  // 1601-based
  std::uint64_t changeTime = 0;      // 1601-based status-change time
  std::uint32_t mode = 0;            // st_mode bits of the target (S_IFREG, S_IFDIR, ...)
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t linkCount = 0;
  std::uint64_t fileIndex = 0;  // inode
  std::uint64_t volume = 0;     // device
  // Defined by the system's implementation file, which knows its mode bits.
  bool isRegular() const;
  bool isDirectory() const;
};

// The outcome of reading a file's information. Reading never blocks (FIFOs and devices are not
// opened), never changes the access time, and follows a symbolic link to its target.
enum class FileInfoResult {
  kOk,            // information read
  kOpenFailed,    // the file exists but cannot be opened for reading (no right, dangling link,
                  // link loop): `out` still describes it as far as the system tells without
                  // read access (a link that leads nowhere by the link itself)
  kInfoFailed,    // the file opened but its information cannot be read
  kVanished,      // the name no longer exists (removed since it was listed)
  kLookupFailed,  // the name cannot even be looked up (no search right on its directory, an
                  // input/output error): nothing is known of it, `out` is left alone
};

// Calendar fields of a time in UTC.
struct CalendarTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

struct SpawnResult {
  bool started = false;
  int error = 0;      // errno when not started
  int exitCode = -1;  // when waited: the exit code, or 128 + signal
  long pid = -1;      // the started program's process id
};

// ---------------------------------------------------------------------------------------------
// Handles

// One open directory and its listing. "." and ".." are never listed. A name whose type the
// file system does not report is looked up without following links. The names inside it are
// reached from the open directory, never by a whole path, so a path's length is bounded only
// by the file system. One thread lists; once the listing has ended, readFileInfo, changeTime
// and openChild may be called from several threads at once (they never move the listing).
class Directory {
 public:
  virtual ~Directory() = default;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Fills the next name; false at the end, and after a read error (error() then says which:
  // the names not yet given are unknown, not gone).
  virtual bool next(DirItem& item) = 0;
  // The errno that cut the listing short; 0 while none did.
  virtual int error() const = 0;
  // The information of the file `name` (one name, no "/") inside this directory.
  virtual FileInfoResult readFileInfo(const std::string& name, FileInfo& out,
                                      int* error = nullptr) = 0;
  // The directory's own status-change time (1601-based); it moves whenever a name inside is
  // added, removed or renamed. False with *error when it cannot be read.
  virtual bool changeTime(std::uint64_t& fileTime, int* error = nullptr) = 0;
  // Opens the sub-directory `name` of this one; nullptr with *error when it cannot be opened.
  virtual std::unique_ptr<Directory> openChild(const std::string& name, int* error = nullptr) = 0;

 protected:
  Directory() = default;
};

// Sequential reader of a REGULAR file: anything else (FIFO, device, socket) is refused before
// it is opened, so reading never blocks and never acts on a device.
class SequentialFile {
 public:
  virtual ~SequentialFile() = default;
  SequentialFile(const SequentialFile&) = delete;
  SequentialFile& operator=(const SequentialFile&) = delete;
  // Bytes read (at most `size`), 0 at the end, -1 on an error (*error then holds it).
  virtual long read(char* buffer, std::size_t size, int* error = nullptr) = 0;
  // To byte `offset` of the same open file (the name may meanwhile name another one); the next
  // read starts there.
  virtual bool seek(std::uint64_t offset, int* error = nullptr) = 0;
  bool rewind(int* error = nullptr) { return seek(0, error); }
  // The size of the open file when it was opened.
  virtual std::uint64_t size() const = 0;

 protected:
  SequentialFile() = default;
};

// A file being written. The destructor closes it without syncing; a caller that cares whether
// the data reached the disk calls sync() and close() and looks at their results.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;
  virtual bool append(std::string_view data, int* error = nullptr) = 0;
  // Returns once the data written so far is on the disk.
  virtual bool sync(int* error = nullptr) = 0;
  virtual bool close(int* error = nullptr) = 0;

 protected:
  WritableFile() = default;
};

// One watch on one directory (not its sub-tree) that fires when a name inside is created,
// deleted, moved, modified or changes attributes. wait() runs on one thread; interrupt() may be
// called from any thread. Destroy it only once no thread waits in it.
class DirectoryWatch {
 public:
  virtual ~DirectoryWatch() = default;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // False when the watch could not be set up (error() says why); wait() then gives kError.
  virtual bool isValid() const = 0;
  virtual int error() const = 0;
  enum class WaitResult { kChanged, kTimeout, kInterrupted, kGone, kError };
  // Waits for a change (timeoutMs < 0: no limit); consumes every pending event. kGone: the
  // directory itself was deleted or moved away.
  virtual WaitResult wait(int timeoutMs) = 0;
  // Makes the current or the next wait() return kInterrupted.
  virtual void interrupt() = 0;

 protected:
  DirectoryWatch() = default;
};

// Watches on many directories (each alone, not its sub-tree) read through one channel: one
// thread waits for the events of them all. add() and remove() may be called from any thread,
// also while another thread waits; wait() runs on one thread at a time; interrupt() on any.
// Destroy it only once no thread waits in it.
class DirectoryWatchSet {
 public:
  virtual ~DirectoryWatchSet() = default;
  DirectoryWatchSet(const DirectoryWatchSet&) = delete;
  DirectoryWatchSet& operator=(const DirectoryWatchSet&) = delete;

  // What happened, as the bits of Event::what.
  enum : unsigned {
    kCreated = 1u << 0,
    kDeleted = 1u << 1,
    kModified = 1u << 2,    // content written, or a file written to was closed
    kAttributes = 1u << 3,  // permissions, owner, time stamps
    kMovedFrom = 1u << 4,   // `name` was renamed away (to another name or directory)
    kMovedTo = 1u << 5,     // `name` appeared by a rename
    kSelfGone = 1u << 6,    // the watched directory itself was deleted or moved away
    kWatchEnded = 1u << 7,  // the watch no longer exists (deleted directory, unmount, remove())
    kOverflow = 1u << 8,    // events were lost: any watched directory may have changed
  };
  struct Event {
    int watch = -1;            // the watch it belongs to; -1 for kOverflow
    unsigned what = 0;         // bits above
    bool isDirectory = false;  // `name` is a directory
    std::string name;          // the name inside the watched directory; "" for itself
  };
  enum class WaitResult { kEvents, kTimeout, kInterrupted, kError };

  // False when the set could not be made (error() says why: ENOSYS where the system has no
  // such watches, EMFILE when the user's limit of watch channels is reached).
  virtual bool isValid() const = 0;
  virtual int error() const = 0;
  // Watches the directory `path`; answers the watch's id (0 or more), or -1 with *error:
  // ENOSPC when the system's limit of watches per user is reached, ENOENT, ENOTDIR, EACCES.
  // A directory watched already (by any path) answers its existing id.
  virtual int add(const std::string& path, int* error = nullptr) = 0;
  // Ends a watch; its kWatchEnded may still be read afterwards.
  virtual void remove(int watch) = 0;
  // Waits for events (timeoutMs < 0: no limit) and appends every pending one to `events`.
  virtual WaitResult wait(int timeoutMs, std::vector<Event>& events) = 0;
  // Makes the current or the next wait() return kInterrupted.
  virtual void interrupt() = 0;

 protected:
  DirectoryWatchSet() = default;
};

// ---------------------------------------------------------------------------------------------
// The environment

class Env {
 public:
  virtual ~Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  // The environment of the operating system the program was built for.
  static Env& system();
  // The environment the engine uses: the one installed last, else system().
  static Env& current();
  // Installs `env` as current (nullptr: system() again). Process-wide and not owned: call it
  // only while no engine thread runs, and keep `env` alive until it is replaced.
  static void setCurrent(Env* env);

  // Directory listing and file information.
  // Opens the directory `path` however long the path is; nullptr with *error when it cannot.
  virtual std::unique_ptr<Directory> openDirectory(const std::string& path,
                                                   int* error = nullptr) = 0;
  virtual FileInfoResult readFileInfo(const std::string& path, FileInfo& out,
                                      int* error = nullptr) = 0;
  // The status-change time of the directory `path` itself, as Directory::changeTime gives it,
  // without opening it for listing. False when it cannot be looked up.
  virtual bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime,
                                   int* error = nullptr) = 0;
  // Whether anything is at `path` (links not followed); a directory, a regular file (both
  // following links).
  virtual bool pathExists(const std::string& path) = 0;
  virtual bool isDirectory(const std::string& path) = 0;
  virtual bool isRegularFile(const std::string& path) = 0;

  // Files and directories.
  // Opens a regular file for reading, leaving its access time alone where the system allows.
  // nullptr with *error: EISDIR for a directory, EINVAL for anything else that is not a regular
  // file, else the system's reason.
  virtual std::unique_ptr<SequentialFile> openSequentialFile(const std::string& path,
                                                             int* error = nullptr) = 0;
  // Creates `path`, or empties it when it exists; nullptr with *error when it cannot.
  virtual std::unique_ptr<WritableFile> newWritableFile(const std::string& path,
                                                        int* error = nullptr) = 0;
  // Replaces `to` by `from` at once: `to` is either the old or the new file, never neither.
  virtual bool renameFile(const std::string& from, const std::string& to, int* error = nullptr) = 0;
  virtual bool removeFile(const std::string& path, int* error = nullptr) = 0;
  // One level; true when it exists already as a directory.
  virtual bool makeDirectory(const std::string& path, int* error = nullptr) = 0;
  virtual bool removeDirectory(const std::string& path, int* error = nullptr) = 0;  // empty only
  virtual std::string currentDirectory() = 0;  // "" when it cannot be read
  // Moves the whole process into `path`. Call it before any other thread starts.
  virtual bool changeDirectory(const std::string& path, int* error = nullptr) = 0;
  // A watch on the directory `path`; never null (an invalid watch says why).
  virtual std::unique_ptr<DirectoryWatch> watchDirectory(const std::string& path) = 0;
  // An empty set of directory watches; never null. A system without one answers an invalid set
  // (ENOSYS), which leaves a caller to poll.
  virtual std::unique_ptr<DirectoryWatchSet> newWatchSet();

  // Processes.
  // The program file for `name`: a name with a "/" is taken as it is (when executable);
  // otherwise each directory of PATH is searched. "" when nothing executable is found.
  virtual std::string findProgram(const std::string& name) = 0;
  // Starts `program` (a path, see findProgram) with argv (argv[0] included) without a shell.
  // With wait true, waits for it and, when stdoutFile is not empty, sends its standard output
  // there (created or emptied); its standard input is the null device, so a program that reads
  // it cannot hang the caller. With wait false the child is detached so that no zombie remains.
  virtual SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                                   bool wait, const std::string& stdoutFile = std::string()) = 0;
  virtual int processId() = 0;
  // The effective user is the administrator (permission bits do not bind it).
  virtual bool isPrivileged() = 0;
  // The value of an environment variable; "" when it is unset or empty.
  virtual std::string environmentVariable(const char* name) = 0;
  // The user's home directory: $HOME, else the user database's entry; "" when neither says.
  virtual std::string homeDirectory() = 0;
  // The file of the running program with every link resolved; "" when it cannot be told.
  virtual std::string executablePath() = 0;
  // Standard descriptors 0, 1 and 2 that are closed are opened on the null device, so that no
  // file the program opens later takes their place. Call it first thing in main.
  virtual void openClosedStandardDescriptors() = 0;
  // Whether openClosedStandardDescriptors found `fd` (0, 1 or 2) closed: what is written there
  // then reaches nobody.
  virtual bool wasClosedAtStart(int fd) = 0;

  // Clock and texts.
  virtual std::int64_t nowUnixSeconds() = 0;  // seconds since 1970 of the current time
  // Calendar fields in UTC; false when no calendar date exists for the time.
  virtual bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out) = 0;
  // The text of an errno value.
  virtual std::string errorText(int error) = 0;

 protected:
  Env() = default;
};

// An environment that forwards every call to another one: a test derives from it and overrides
// only the calls it makes fail. The target is not owned and must outlive the wrapper.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : m_target(target) {}
  Env& target() const { return m_target; }

  std::unique_ptr<Directory> openDirectory(const std::string& path, int* error) override {
    return m_target.openDirectory(path, error);
  }
  FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error) override {
    return m_target.readFileInfo(path, out, error);
  }
  bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error) override {
    return m_target.directoryChangeTime(path, fileTime, error);
  }
  bool pathExists(const std::string& path) override { return m_target.pathExists(path); }
  bool isDirectory(const std::string& path) override { return m_target.isDirectory(path); }
  bool isRegularFile(const std::string& path) override { return m_target.isRegularFile(path); }
  std::unique_ptr<SequentialFile> openSequentialFile(const std::string& path, int* error) override {
    return m_target.openSequentialFile(path, error);
  }
  std::unique_ptr<WritableFile> newWritableFile(const std::string& path, int* error) override {
    return m_target.newWritableFile(path, error);
  }
  bool renameFile(const std::string& from, const std::string& to, int* error) override {
    return m_target.renameFile(from, to, error);
  }
  bool removeFile(const std::string& path, int* error) override {
    return m_target.removeFile(path, error);
  }
  bool makeDirectory(const std::string& path, int* error) override {
    return m_target.makeDirectory(path, error);
  }
  bool removeDirectory(const std::string& path, int* error) override {
    return m_target.removeDirectory(path, error);
  }
  std::string currentDirectory() override { return m_target.currentDirectory(); }
  bool changeDirectory(const std::string& path, int* error) override {
    return m_target.changeDirectory(path, error);
  }
  std::unique_ptr<DirectoryWatch> watchDirectory(const std::string& path) override {
    return m_target.watchDirectory(path);
  }
  std::unique_ptr<DirectoryWatchSet> newWatchSet() override { return m_target.newWatchSet(); }
  std::string findProgram(const std::string& name) override { return m_target.findProgram(name); }
  SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                           bool wait, const std::string& stdoutFile) override {
    return m_target.spawnProcess(program, argv, wait, stdoutFile);
  }
  int processId() override { return m_target.processId(); }
  bool isPrivileged() override { return m_target.isPrivileged(); }
  std::string environmentVariable(const char* name) override {
    return m_target.environmentVariable(name);
  }
  std::string homeDirectory() override { return m_target.homeDirectory(); }
  std::string executablePath() override { return m_target.executablePath(); }
  void openClosedStandardDescriptors() override { m_target.openClosedStandardDescriptors(); }
  bool wasClosedAtStart(int fd) override { return m_target.wasClosedAtStart(fd); }
  std::int64_t nowUnixSeconds() override { return m_target.nowUnixSeconds(); }
  bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out) override {
    return m_target.toCalendarUtc(unixSeconds, out);
  }
  std::string errorText(int error) override { return m_target.errorText(error); }

 private:
  Env& m_target;
};

// ---------------------------------------------------------------------------------------------
// Built on an environment (platform.cpp): the same on every system.

// Writes the parts one after the other to a file beside `target` (same directory, name
// target + ".tmp" + process id), syncs it and renames it over `target`, so a crash or a full
// disk leaves either the old or the new file whole. On failure the temporary file is removed,
// `target` is untouched and *error holds the errno.
bool writeFileReplacing(Env& env, const std::string& target,
                        const std::vector<std::string_view>& parts, int* error = nullptr);
// The same for files that belong together (a repository's two files): every file is first
// written whole beside its target, and only then are they renamed into place, in order. A
// failure while writing leaves every target untouched (*failedTarget names the file that could
// not be written). With `keepOldAs`, each existing target is first renamed to target +
// keepOldAs, so the previous file is kept under that name. A rename that fails after earlier
// targets were replaced leaves those replaced: *replaced says how many, so that a caller whose
// files must match can say that they no longer do.
struct FileReplacement {
  std::string target;
  std::string_view content;
};
bool writeFilesReplacing(Env& env, const std::vector<FileReplacement>& files, int* error = nullptr,
                         std::string* failedTarget = nullptr, const std::string& keepOldAs = "",
                         std::size_t* replaced = nullptr);
// The same with each file's content made piece by piece while it is written, so that a large
// file is never held in memory whole: `write` hands each piece to `append`, which answers false
// once the file cannot take it (then `write` stops and answers false too). The files are made
// at the same time, each `write` but the first on a thread of its own while the call waits: a
// `write` reads only what its caller keeps unchanged until the call returns. An exception
// thrown by a `write` comes out of the call once every file is done, and no new file stays.
using ContentWriter = std::function<bool(const std::function<bool(std::string_view)>& append)>;
struct FileProduction {
  std::string target;
  ContentWriter write;
};
bool writeFilesReplacing(Env& env, const std::vector<FileProduction>& files, int* error,
                         std::string* failedTarget, const std::string& keepOldAs,
                         std::size_t* replaced);
// Reads a whole regular file, or its first maxBytes bytes; false (with errno, EISDIR for a
// directory, EINVAL for another file that is not regular) when it cannot be opened or read.
bool readWholeFile(Env& env, const std::string& path, std::string& out, int* error = nullptr,
                   std::size_t maxBytes = static_cast<std::size_t>(-1));
// Lists a whole directory. False (with the errno) when it cannot be opened or read whole.
bool listDirectory(Env& env, const std::string& path, std::vector<DirItem>& out,
                   int* error = nullptr);
// Creates `path` with every missing parent.
bool makeDirectories(Env& env, const std::string& path, int* error = nullptr);

// Time conversions; plain arithmetic, the same on every system.
// 100-nanosecond intervals since 1601-01-01 00:00 UTC. Times before 1601 become 0.
std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);
// The inverse, in whole seconds since 1970 (may be negative).
std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime);
// The upper half of a file time as the engine's signed 32-bit time stamp.
inline std::int32_t highPart(std::uint64_t fileTime) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(fileTime >> 32));
}

// Paths and the program's start, by the conventions of the system the program was built for.
// Whether `path` names a place independently of the current directory ("/x" on Linux; "C:\x",
// "\\server\share" or "\x" on Windows).
bool isAbsolutePath(const std::string& path);
// The working directory that the system's conventions give the program
// (%LOCALAPPDATA%\Quarry on Windows); "" where the front end chooses by the desktop's rules.
std::string platformDataDirectory(Env& env);
// The program's arguments as UTF-8 texts, argv[0] included. On Windows they come from the wide
// command line: the C run-time's argv is in the ANSI code page, which cannot hold every name.
std::vector<std::string> commandLineArguments(int argc, char** argv);
// While it lives, what the program writes to the console is read as UTF-8 (on Windows the
// console's output code page is set, and the previous one restored at the end), and standard
// output and error carry the bytes as written (on Windows they leave text mode, so a line ends
// in "\n" as on Linux). Create one in main, before the first output.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  [[maybe_unused]] unsigned m_previous = 0;  // the code page to restore; 0: nothing changed
};

#ifdef _WIN32
// Opens `path` with the application that the system associates with it (ShellExecuteExW, the
// verb "open"), without waiting for it. False with *error when nothing could be started. (The
// Linux window opens files through the desktop's associations itself.)
bool openWithAssociatedApplication(const std::string& path, int* error = nullptr);
#endif

// ---------------------------------------------------------------------------------------------
// Shorthands that call the current environment (Env::current()), for code that holds none.

// A sequential reader whose open failure is kept in the object: EINVAL for anything that is not
// a regular file (directories included). Not copyable.
class FileReader {
 public:
  explicit FileReader(const std::string& path);
  bool isOpen() const { return m_file != nullptr; }
  int error() const { return m_error; }
  bool rewind();
  long read(char* buffer, std::size_t size);

 private:
  std::unique_ptr<SequentialFile> m_file;
  int m_error = 0;
};

bool writeFileReplacing(const std::string& target, std::string_view content, int* error = nullptr);
bool writeFilesReplacing(const std::vector<FileReplacement>& files, int* error = nullptr,
                         std::string* failedTarget = nullptr, const std::string& keepOldAs = "");
bool readWholeFile(const std::string& path, std::string& out, int* error = nullptr,
                   std::size_t maxBytes = static_cast<std::size_t>(-1));
bool listDirectory(const std::string& path, std::vector<DirItem>& out, int* error = nullptr);
bool makeDirectories(const std::string& path, int* error = nullptr);
FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error = nullptr);
bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error = nullptr);
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
bool makeDirectory(const std::string& path, int* error = nullptr);
bool renameFile(const std::string& from, const std::string& to, int* error = nullptr);
bool removeFile(const std::string& path, int* error = nullptr);
bool removeDirectory(const std::string& path, int* error = nullptr);
std::string currentDirectory();
bool changeDirectory(const std::string& path, int* error = nullptr);
std::string findProgram(const std::string& name);
SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                         bool wait, const std::string& stdoutFile = std::string());
int processId();
// Whether the process `pid` is running and works in the directory `dir` (its current
// directory): the test for a file that a program of ours may still be writing there. False for
// a process that cannot be looked at (another user's).
bool processWorksIn(int pid, const std::string& dir);
bool isPrivileged();
std::string environmentVariable(const char* name);
std::string homeDirectory();
std::string executablePath();
void openClosedStandardDescriptors();
bool wasClosedAtStart(int fd);
std::int64_t nowUnixSeconds();
bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out);
std::string errorText(int error);

}  // namespace dyxplatform
