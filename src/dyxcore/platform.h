// The engine's operating-system layer: every system call of the engine sits behind the free
// functions and small classes of this header (directory listing, file information, time stamps,
// directory watches, processes, user and group names, files and directories). Nothing here
// touches engine state; every function may be called from any thread. Texts are the bytes that
// the file system gives (no encoding is assumed); paths are absolute or relative to the current
// directory of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dyxplatform {

// ---------------------------------------------------------------------------------------------
// Time stamps

// 100-nanosecond intervals since 1601-01-01 00:00 UTC. Times before 1601 become 0.
std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);
// The inverse, in whole seconds since 1970 (may be negative).
std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime);
// The upper half of a file time as the engine's signed 32-bit time stamp.
inline std::int32_t highPart(std::uint64_t fileTime) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(fileTime >> 32));
}
// Calendar fields of a time in UTC. Returns false when no calendar date exists for it.
struct CalendarTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};
bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out);
// Seconds since 1970 of the current time.
std::int64_t nowUnixSeconds();

// ---------------------------------------------------------------------------------------------
// Directory listing

struct DirItem {
  std::string name;
  bool isDirectory = false;  // a real directory; a symbolic link never counts as one
};

struct AheadDirectory;

// One open listing. "." and ".." are never returned. A name whose type the file system does not
// report is looked up without following links. Not copyable; closes on destruction. Open, read
// and close a listing on one thread.
//
// Read-ahead: when a thread opens the listing of a sub-directory while the listing of its parent
// is open (a recursive scan descending), a helper thread starts to read, in the same depth-first
// order, the directories that come next below that parent: each one's change time, listing and
// the file information of its files. The scan's own calls (directoryChangeTime, DirListing,
// readFileInfo or readFileInfoIn of the name just listed) then take those results instead of
// asking the kernel, so the disk is read on a second core while the engine files entries.
// Everything is read the way the direct calls read it; the names come in the directory's own
// order; a directory the helper has not read (or read differently named) is read directly,
// and the helper then passes over it; when the scan has had to wait for the helper, the helper
// leaves it the next directory, so the two share the disk work whichever is faster. The helper
// stays a bounded number of files ahead and stops when the parent's listing closes.
class DirListing {
 public:
  explicit DirListing(const std::string& path);
  ~DirListing();
  DirListing(const DirListing&) = delete;
  DirListing& operator=(const DirListing&) = delete;

  bool isOpen() const { return m_open; }
  int error() const { return m_error; }  // errno of a failed open or read
  // Fills the next name; false at the end (or after a read error, see error()).
  bool next(DirItem& item);
  void close();

 private:
  void* m_dir = nullptr;  // DIR*
  bool m_open = false;
  int m_error = 0;
  // While open, readFileInfo on this thread looks up names inside `m_path` relative to the
  // listing's descriptor: the kernel then walks one name instead of the whole path.
  std::string m_path;
  // A listing read ahead by the helper thread, and the position in it.
  std::unique_ptr<AheadDirectory> m_ahead;
  std::size_t m_cursor = 0;
};

// Lists a whole directory. Returns false (and the errno in *error when given) when it cannot be
// opened.
bool listDirectory(const std::string& path, std::vector<DirItem>& out, int* error = nullptr);

// ---------------------------------------------------------------------------------------------
// File information

struct FileInfo {
  std::uint64_t size = 0;
  std::uint64_t lastWriteTime = 0;   // 1601-based
  std::uint64_t lastAccessTime = 0;  // 1601-based
  std::uint64_t changeTime = 0;      // 1601-based status-change time
  std::uint32_t mode = 0;            // st_mode of the target
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t linkCount = 0;
  std::uint64_t fileIndex = 0;  // inode
  std::uint64_t volume = 0;     // device
  bool isRegular() const;
  bool isDirectory() const;
};

enum class FileInfoResult {
  kOk,            // information read
  kOpenFailed,    // the file exists but cannot be opened for reading (no right, dangling link,
                  // link loop): `out` still describes it as stat does (a link that leads
                  // nowhere by the link itself), since that needs no read access
  kInfoFailed,    // the file opened but its information cannot be read
  kVanished,      // the name no longer exists (removed since it was listed)
  kLookupFailed,  // the name cannot even be looked up (no search right on its directory, an
                  // input/output error): nothing is known of it, `out` is left alone
};

// How readFileInfo reaches the information. Both never block (FIFOs and devices are not opened
// for reading), never change the access time, and follow a symbolic link to its target.
enum class FileInfoMethod {
  kStatx,     // statx, plus a read-permission check for regular files; nothing is opened
  kOpenFstat  // open(O_RDONLY|O_NONBLOCK|O_NOATIME|O_CLOEXEC) + fstat for regular files
};
// kStatx measured faster (two system calls per regular file against three or four).
FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error = nullptr,
                            FileInfoMethod method = FileInfoMethod::kStatx);

// The same for the file `name` of the directory `dir` (its text form, as the listing was
// opened with it): with the directory's listing open on this thread, the name is looked up
// from there without building the whole path.
FileInfoResult readFileInfoIn(const std::string& dir, const std::string& name, FileInfo& out,
                              int* error = nullptr);

// Opens the directory `path` with `flags` (open(2) flags, O_DIRECTORY is added) however long the
// path is: a path the system does not take whole is opened name by name from the directories
// above. A descriptor, or -1 with errno set.
int openDirectory(const std::string& path, int flags);

// The status-change time (1601-based) of a directory itself; it moves whenever a name inside is
// added, removed or renamed. False when the directory cannot be looked up.
bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error = nullptr);

// ---------------------------------------------------------------------------------------------
// Files and directories

bool pathExists(const std::string& path);                           // anything, links not followed
bool isDirectory(const std::string& path);                          // follows links
bool isRegularFile(const std::string& path);                        // follows links
bool makeDirectory(const std::string& path, int* error = nullptr);  // one level; ok if exists
bool makeDirectories(const std::string& path, int* error = nullptr);  // with parents
bool renameFile(const std::string& from, const std::string& to, int* error = nullptr);
bool removeFile(const std::string& path, int* error = nullptr);
std::string currentDirectory();  // "" when it cannot be read
// Writes the parts one after the other to a file beside `target` (same directory, name
// target + ".tmp" + process id), flushes it to disk and renames it over `target`, so a crash
// or a full disk leaves either the old or the new file whole. On failure the temporary file is
// removed, `target` is untouched and *error holds the errno.
bool writeFileReplacing(const std::string& target, const std::vector<std::string_view>& parts,
                        int* error = nullptr);
bool writeFileReplacing(const std::string& target, std::string_view content, int* error = nullptr);
// The same for files that belong together (a repository's two files): every file is first
// written whole beside its target, and only then are they renamed into place, in order. A
// failure while writing leaves every target untouched (*failedTarget names the file that could
// not be written). With `keepOldAs`, each existing target is first renamed to target +
// keepOldAs, so the previous file is kept under that name.
struct FileReplacement {
  std::string target;
  std::string_view content;
};
bool writeFilesReplacing(const std::vector<FileReplacement>& files, int* error = nullptr,
                         std::string* failedTarget = nullptr, const std::string& keepOldAs = "");
// Sequential reader of a REGULAR file: anything else (FIFO, device, socket, directory) is refused
// before it is opened, so reading never blocks and never acts on a device. The access time is
// left alone where the system allows (O_NOATIME). Not copyable; closes on destruction.
class FileReader {
 public:
  explicit FileReader(const std::string& path);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  bool isOpen() const { return m_fd >= 0; }
  int error() const { return m_error; }  // errno of a failed open or read; EINVAL: not regular
  // Back to the first byte of the same open file (the name may meanwhile name another one).
  bool rewind();
  // Bytes read (at most `size`), 0 at the end, -1 on an error.
  long read(char* buffer, std::size_t size);

 private:
  int m_fd = -1;
  int m_error = 0;
};

// Reads a whole regular file, or its first maxBytes bytes; false (with errno) when it cannot be
// opened or read.
bool readWholeFile(const std::string& path, std::string& out, int* error = nullptr,
                   std::size_t maxBytes = static_cast<std::size_t>(-1));
// The text of an errno value.
std::string errorText(int error);

// Descriptors 0, 1 and 2 that are closed are opened on /dev/null, so that no file the program
// opens later takes their place (a trace file on descriptor 1 would receive the output). Call it
// first thing in main, before any file is opened.
void openClosedStandardDescriptors();
// Whether openClosedStandardDescriptors found `fd` (0, 1 or 2) closed: what is written there
// then reaches nobody.
bool wasClosedAtStart(int fd);

// ---------------------------------------------------------------------------------------------
// The process

bool isPrivileged();                       // effective user is root (permission bits do not bind)
int processId();
// The value of an environment variable; "" when it is unset or empty.
std::string environmentVariable(const char* name);
// The user's home directory: $HOME, else the password database's entry; "" when neither says.
std::string homeDirectory();
// The file of the running program with every link resolved; "" when it cannot be told.
std::string executablePath();
// Moves the whole process into `path`. Call it before any other thread starts.
bool changeDirectory(const std::string& path, int* error = nullptr);
bool removeDirectory(const std::string& path, int* error = nullptr);  // an empty one only

// ---------------------------------------------------------------------------------------------
// Processes

// The program file for `name`: a name with a "/" is taken as it is (when executable); otherwise
// each directory of PATH is searched. "" when nothing executable is found.
std::string findProgram(const std::string& name);

struct SpawnResult {
  bool started = false;
  int error = 0;      // errno when not started
  int exitCode = -1;  // when waited: the exit code, or 128 + signal
  long pid = -1;      // the started program's process id
};
// Starts `program` (a path, see findProgram) with argv (argv[0] included) without a shell. With
// wait true, waits for it and, when stdoutFile is not empty, sends its standard output there
// (created or emptied); its standard input is /dev/null, so a program that reads it cannot hang
// the caller. With wait false the child is detached so that no zombie remains.
SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                         bool wait, const std::string& stdoutFile = std::string());

// ---------------------------------------------------------------------------------------------
// Directory change watch

// One watch on one directory (not its sub-tree) that fires when a name inside is created,
// deleted, moved, modified or changes attributes. wait() may be interrupted from another
// thread. Not copyable; closes on destruction (interrupt any waiter first).
class DirectoryWatch {
 public:
  explicit DirectoryWatch(const std::string& path);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  bool isValid() const { return m_notifyFd >= 0 && m_wakeFd >= 0 && m_watch >= 0; }
  int error() const { return m_error; }

  enum class WaitResult { kChanged, kTimeout, kInterrupted, kGone, kError };
  // Waits for a change (timeoutMs < 0: no limit); consumes every pending event. kGone: the
  // directory itself was deleted or moved away.
  WaitResult wait(int timeoutMs);
  // Makes the current or the next wait() return kInterrupted. Safe from any thread.
  void interrupt();

 private:
  int m_notifyFd = -1;
  int m_wakeFd = -1;
  int m_watch = -1;
  int m_error = 0;
};

}  // namespace dyxplatform
