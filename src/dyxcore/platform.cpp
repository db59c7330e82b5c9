// Linux implementation of the engine's operating-system layer.
#include "dyxcore/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

extern char** environ;

namespace dyxplatform {

namespace {

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

void setError(int* error, int value) {
  if (error) *error = value;
}

// Retries a system call interrupted by a signal.
template <class F>
auto retryEintr(F f) -> decltype(f()) {
  decltype(f()) r;
  do {
    r = f();
  } while (r == -1 && errno == EINTR);
  return r;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void fillFromStatx(const struct statx& st, FileInfo& out) {
  out.size = st.stx_size;
  out.lastWriteTime = fileTimeFromUnix(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
  out.lastAccessTime = fileTimeFromUnix(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
  out.changeTime = fileTimeFromUnix(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec);
  out.mode = st.stx_mode;
  out.uid = st.stx_uid;
  out.gid = st.stx_gid;
  out.linkCount = st.stx_nlink;
  out.fileIndex = st.stx_ino;
  out.volume = (static_cast<std::uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
}

void fillFromStat(const struct stat& st, FileInfo& out) {
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.lastWriteTime = fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  out.lastAccessTime = fileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  out.changeTime = fileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  out.mode = st.st_mode;
  out.uid = st.st_uid;
  out.gid = st.st_gid;
  out.linkCount = st.st_nlink;
  out.fileIndex = st.st_ino;
  out.volume = st.st_dev;
}

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_ATIME |
                                STATX_CTIME | STATX_UID | STATX_GID | STATX_NLINK | STATX_INO;

// The listings open on this thread, innermost last (a recursive scan lists a sub-directory
// while the listing of its parent is still open). A listing read ahead has no descriptor (-1)
// but its results.
struct OpenListing {
  const std::string* path;
  int fd;
  const AheadDirectory* ahead;
  const std::size_t* cursor;
};
thread_local std::vector<OpenListing> t_openListings;

// Where a path's last name can be looked up: relative to the descriptor of an open listing of
// its directory, or from the current directory with the whole path.
struct LookupBase {
  int dirFd = AT_FDCWD;
  const char* name = nullptr;
};

// The innermost open listing of the directory holding `path`, and where the last name begins.
const OpenListing* listingHolding(const std::string& path, std::size_t& nameAt) {
  if (t_openListings.empty()) return nullptr;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return nullptr;
  const std::string_view dir =
      slash == 0 ? std::string_view("/") : std::string_view(path.data(), slash);
  for (auto it = t_openListings.rbegin(); it != t_openListings.rend(); ++it) {
    if (*it->path == dir) {
      nameAt = slash + 1;
      return &*it;
    }
  }
  return nullptr;
}

// A process that bypasses read permission checks (CAP_DAC_OVERRIDE or CAP_DAC_READ_SEARCH in
// its effective set); asked once.
bool readsPastPermissions() {
  static const bool privileged = [] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    const std::uint32_t wanted = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    return (data[0].effective & wanted) != 0;
  }();
  return privileged;
}

// File systems whose read permission is exactly the kernel's check of the mode bits (no
// server or daemon of their own decides it).
bool isLocalFileSystemType(long type) {
  switch (static_cast<unsigned long>(type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 share it
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// Whether the device of a file holds a local file system, remembered per device. `path` (the
// file's) is read only when the lookup has no directory descriptor.
bool isOnLocalFileSystem(const struct statx& st, const LookupBase& base, const std::string& path) {
  static std::mutex mutex;
  static std::unordered_map<std::uint64_t, bool> known;
  const std::uint64_t device =
      (static_cast<std::uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  {
    std::lock_guard<std::mutex> guard(mutex);
    const auto it = known.find(device);
    if (it != known.end()) return it->second;
  }
  struct statfs fs;
  // The directory holding the file is on the same device unless the file is a mount point.
  const int done =
      base.dirFd != AT_FDCWD ? ::fstatfs(base.dirFd, &fs) : ::statfs(path.c_str(), &fs);
  if (done != 0) return false;
  struct statx check;
  if (base.dirFd != AT_FDCWD &&
      (::statx(base.dirFd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, 0, &check) != 0 ||
       check.stx_dev_major != st.stx_dev_major || check.stx_dev_minor != st.stx_dev_minor)) {
    return false;
  }
  const bool local = isLocalFileSystemType(fs.f_type);
  std::lock_guard<std::mutex> guard(mutex);
  known.emplace(device, local);
  return local;
}

// True when the permission bits alone grant reading a regular file, so asking the kernel would
// only repeat them: the owner reading a file whose owner-read bit is set (access control lists
// never narrow the owner's bits), or a process that bypasses read permission checks, on a local
// file system. Anything else is left to the kernel's check.
bool readGrantedByModeBits(const struct statx& st, const LookupBase& base,
                           const std::string& path) {
  // Asked once: a system call per file would cost the scan more than the check saves, and the
  // engine never changes its user.
  static const uid_t effectiveUser = ::geteuid();
  const bool owner = st.stx_uid == effectiveUser && (st.stx_mode & S_IRUSR) != 0;
  if (!owner && !readsPastPermissions()) return false;
  return isOnLocalFileSystem(st, base, path);
}

// A name whose target cannot be looked up: the name itself is looked up without following a
// link. Still there (a dangling link, a loop), it is described by itself; gone, it vanished.
FileInfoResult describeUnreachable(const LookupBase& base, int targetError, FileInfo& out,
                                   int* error) {
  setError(error, targetError);
  struct stat st;
  if (retryEintr([&] { return ::fstatat(base.dirFd, base.name, &st, AT_SYMLINK_NOFOLLOW); }) ==
      0) {
    fillFromStat(st, out);
    return FileInfoResult::kOpenFailed;
  }
  const int selfError = errno;
  if (selfError == ENOENT || selfError == ENOTDIR) {
    setError(error, selfError);
    return FileInfoResult::kVanished;
  }
  return FileInfoResult::kLookupFailed;
}

FileInfoResult readByStatxAt(const LookupBase& base, const std::string& path, FileInfo& out,
                             int* error) {
  struct statx st;
  // AT_STATX_DONT_SYNC: never wait for a remote file system to revalidate.
  if (retryEintr([&] {
        return ::statx(base.dirFd, base.name, AT_STATX_DONT_SYNC, kStatxMask, &st);
      }) != 0) {
    return describeUnreachable(base, errno, out, error);
  }
  if (S_ISREG(st.stx_mode) && !readGrantedByModeBits(st, base, path) &&
      ::faccessat(base.dirFd, base.name, R_OK, AT_EACCESS) != 0) {
    // Its information needs no right to read it: the listing still shows its size and time.
    setError(error, errno);
    fillFromStatx(st, out);
    return FileInfoResult::kOpenFailed;
  }
  fillFromStatx(st, out);
  return FileInfoResult::kOk;
}

// Where `path` is looked up: relative to the descriptor of an open listing of its directory on
// this thread; from the current directory when the system takes the path whole; else relative
// to its directory opened name by name, whose descriptor is then held here.
class ResolvedPath {
 public:
  explicit ResolvedPath(const std::string& path);
  ~ResolvedPath() {
    if (m_owned >= 0) ::close(m_owned);
  }
  ResolvedPath(const ResolvedPath&) = delete;
  ResolvedPath& operator=(const ResolvedPath&) = delete;
  // False (with the errno) when the directory of a long path could not be opened.
  bool ok() const { return m_error == 0; }
  int error() const { return m_error; }
  const LookupBase& base() const { return m_base; }

 private:
  LookupBase m_base;
  int m_owned = -1;
  int m_error = 0;
};

FileInfoResult lookupFailure(int error, int* out) {
  setError(out, error);
  return error == ENOENT || error == ENOTDIR ? FileInfoResult::kVanished
                                             : FileInfoResult::kLookupFailed;
}

bool takeAheadInfo(const OpenListing& listing, const char* name, FileInfo& out, int* error,
                   FileInfoResult& result);

FileInfoResult readByStatx(const std::string& path, FileInfo& out, int* error) {
  std::size_t nameAt = 0;
  const OpenListing* listing = listingHolding(path, nameAt);
  if (listing != nullptr && listing->ahead != nullptr) {
    FileInfoResult result;
    if (takeAheadInfo(*listing, path.c_str() + nameAt, out, error, result)) return result;
  }
  const ResolvedPath resolved(path);
  if (!resolved.ok()) return lookupFailure(resolved.error(), error);
  return readByStatxAt(resolved.base(), path, out, error);
}

FileInfoResult readByOpen(const std::string& path, FileInfo& out, int* error) {
  const ResolvedPath resolved(path);
  if (!resolved.ok()) return lookupFailure(resolved.error(), error);
  const LookupBase& base = resolved.base();
  // Only regular files are opened: opening a FIFO or a device for reading can block or act.
  struct stat st;
  if (::fstatat(base.dirFd, base.name, &st, 0) != 0) {
    return describeUnreachable(base, errno, out, error);
  }
  fillFromStat(st, out);
  if (!S_ISREG(st.st_mode)) return FileInfoResult::kOk;
  int fd = ::openat(base.dirFd, base.name, O_RDONLY | O_NONBLOCK | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) {
    // O_NOATIME is refused for files of other users; opening alone does not touch atime.
    fd = ::openat(base.dirFd, base.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    // `out` keeps what the lookup gave: the file is there, only not readable.
    setError(error, errno);
    return FileInfoResult::kOpenFailed;
  }
  FileInfoResult result = FileInfoResult::kOk;
  if (::fstat(fd, &st) != 0) {
    setError(error, errno);
    result = FileInfoResult::kInfoFailed;
  } else {
    fillFromStat(st, out);
  }
  ::close(fd);
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

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

bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tmv;
  if (::gmtime_r(&t, &tmv) == nullptr) return false;
  out.year = tmv.tm_year + 1900;
  out.month = tmv.tm_mon + 1;
  out.day = tmv.tm_mday;
  out.hour = tmv.tm_hour;
  out.minute = tmv.tm_min;
  out.second = tmv.tm_sec;
  return true;
}

std::int64_t nowUnixSeconds() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

// ---------------------------------------------------------------------------------------------

int openDirectory(const std::string& path, int flags) {
  flags |= O_DIRECTORY | O_CLOEXEC;
  if (path.size() < PATH_MAX) return retryEintr([&] { return ::open(path.c_str(), flags); });
  // Whole names at a time, each run shorter than PATH_MAX, every directory on the way opened
  // from the one above it; only the last descriptor stays.
  int dirFd = AT_FDCWD;
  std::size_t at = 0;
  auto closeHeld = [&dirFd] {
    if (dirFd == AT_FDCWD) return;
    const int saved = errno;
    ::close(dirFd);
    errno = saved;
    dirFd = AT_FDCWD;
  };
  while (path.size() - at >= PATH_MAX) {
    const std::size_t cut = path.rfind('/', at + PATH_MAX - 1);
    if (cut == std::string::npos || cut < at) {
      closeHeld();
      errno = ENAMETOOLONG;
      return -1;
    }
    const std::string part = cut > at ? path.substr(at, cut - at) : at == 0 ? "/" : ".";
    const int next = retryEintr(
        [&] { return ::openat(dirFd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
    closeHeld();
    if (next < 0) return -1;
    dirFd = next;
    at = cut + 1;
  }
  const char* rest = at < path.size() ? path.c_str() + at : ".";
  const int fd = retryEintr([&] { return ::openat(dirFd, rest, flags); });
  closeHeld();
  return fd;
}

namespace {

ResolvedPath::ResolvedPath(const std::string& path) {
  m_base = LookupBase{AT_FDCWD, path.c_str()};
  std::size_t nameAt = 0;
  if (const OpenListing* listing = listingHolding(path, nameAt);
      listing != nullptr && listing->fd >= 0) {
    m_base = LookupBase{listing->fd, path.c_str() + nameAt};
    return;
  }
  if (path.size() < PATH_MAX) return;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    m_error = ENAMETOOLONG;  // one name longer than any the system has
    return;
  }
  m_owned = openDirectory(slash == 0 ? std::string("/") : path.substr(0, slash), O_PATH);
  if (m_owned < 0) {
    m_error = errno;
    return;
  }
  m_base = LookupBase{m_owned, path.c_str() + slash + 1};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Read-ahead of a recursive scan

// One directory as the helper read it. The names sit end to end in one text: a directory read
// ahead costs a few allocations, not one per long name.
struct AheadItem {
  std::uint32_t nameAt = 0;  // in AheadDirectory::names
  std::uint32_t nameLength = 0;
  bool isDirectory = false;
  FileInfoResult result = FileInfoResult::kOk;  // for names that are not directories
  int error = 0;
  FileInfo info;
};

struct AheadDirectory {
  std::string path;
  bool timeRead = false;  // directoryChangeTime's result, read before the listing
  int timeError = 0;
  std::uint64_t changeTime = 0;
  int openError = 0;  // the listing could not be opened
  int readError = 0;  // the listing was cut short
  std::string names;
  std::vector<AheadItem> items;
  std::string_view nameOf(const AheadItem& item) const {
    return std::string_view(names).substr(item.nameAt, item.nameLength);
  }
};

namespace {

// How far the helper may run ahead of the scan: bounded, so its results are never old and its
// memory stays small.
constexpr std::size_t kAheadMaxItems = 8192;
constexpr std::size_t kAheadMaxDirectories = 1024;

std::string childOf(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool isDotName(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The listing's rule for "is a directory": the reported type, or a lookup without following
// links when the file system reports none.
bool typeIsDirectory(int dirFd, const char* name, unsigned char type) {
  if (type == DT_DIR) return true;
  if (type != DT_UNKNOWN) return false;
  struct stat st;
  return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}


bool directoryChangeTimeDirect(const std::string& path, std::uint64_t& fileTime, int* error);

// The kernel's record of one name, as getdents64 returns it.
struct KernelDirent {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// Reads one directory as the scan would: change time, then the listing, then the information
// of each name that is not a directory. With `namesOnly`, only the listing. The directory is
// opened from `parentFd` by its last name when a descriptor is given (one name to look up
// instead of the whole path), and its descriptor is handed to `keepFd` when asked for (the
// helper opens the sub-directories from it), else closed.
std::unique_ptr<AheadDirectory> readDirectoryAhead(const std::string& path, bool namesOnly,
                                                   int parentFd = -1,
                                                   const std::string* name = nullptr,
                                                   int* keepFd = nullptr) {
  auto record = std::make_unique<AheadDirectory>();
  record->path = path;
  if (keepFd != nullptr) *keepFd = -1;
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
  const int fd = parentFd >= 0 && name != nullptr
                     ? retryEintr([&] { return ::openat(parentFd, name->c_str(), kFlags); })
                     : openDirectory(path, kFlags);
  const int openError = fd < 0 ? errno : 0;
  if (!namesOnly) {
    // Taken before the listing is read, as the scan takes it: a change made meanwhile moves it
    // again. Without a descriptor, the path says why.
    struct statx st;
    if (fd >= 0 && ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC,
                           STATX_CTIME | STATX_TYPE, &st) == 0) {
      record->timeRead = true;
      record->changeTime = fileTimeFromUnix(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec);
    } else {
      record->timeRead = directoryChangeTimeDirect(path, record->changeTime, &record->timeError);
    }
  }
  if (fd < 0) {
    record->openError = openError;
    return record;
  }
  alignas(8) char buffer[32768];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      record->readError = errno;
      break;
    }
    if (got == 0) break;
    for (long at = 0; at < got;) {
      const auto* d = reinterpret_cast<const KernelDirent*>(buffer + at);
      at += d->reclen;
      if (isDotName(d->name)) continue;
      AheadItem item;
      const std::size_t length = std::strlen(d->name);
      item.nameAt = static_cast<std::uint32_t>(record->names.size());
      item.nameLength = static_cast<std::uint32_t>(length);
      record->names.append(d->name, length);
      item.isDirectory = typeIsDirectory(fd, d->name, d->type);
      if (!item.isDirectory && !namesOnly) {
        // With the directory's descriptor, the whole path is never needed: no copy of it per
        // file.
        item.result = readByStatxAt(LookupBase{fd, d->name}, path, item.info, &item.error);
      }
      record->items.push_back(item);
    }
  }
  if (keepFd != nullptr) {
    *keepFd = fd;
  } else {
    ::close(fd);
  }
  return record;
}

// The helper thread of one recursive descent: it walks, depth first in listing order, the
// sub-directories of `parent` from the one after `entered` on, starting with those inside
// `entered` (the scan lists `entered` itself).
//
// The two threads share the reading. The scan reads a directory itself when the helper has not
// come to it, and the helper then passes over it; when the scan had to wait for the directory
// the helper was reading, the helper leaves the next one to the scan. A helper that cannot keep
// up thus hands over part of the disk work instead of holding the scan back, and one that runs
// ahead does it all.
class ReadAhead {
 public:
  ReadAhead(std::string parent, std::string entered)
      : m_parent(std::move(parent)), m_entered(std::move(entered)) {
    m_thread = std::thread([this] { run(); });
  }
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The record of `path`: at once when read, after a wait when the helper is reading it now,
  // none when the helper has not read it and is not reading it (the caller reads it, and the
  // helper will pass over it). Records queued before it are of directories the scan did not
  // enter; they are dropped.
  std::unique_ptr<AheadDirectory> take(const std::string& path) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      for (std::size_t i = 0; i < m_queue.size(); ++i) {
        if (m_queue[i]->path != path) continue;
        m_queuedItems -= m_queue[i]->items.size();
        std::unique_ptr<AheadDirectory> record = std::move(m_queue[i]);
        dropFront(i + 1);
        m_changed.notify_all();
        return record;
      }
      if (m_done) return nullptr;
      if (m_current != path) {
        // Bounded: a directory that is not on the helper's walk stays in the set until the
        // descent ends.
        if (m_readByScan.size() < kAheadMaxDirectories) m_readByScan.insert(path);
        return nullptr;
      }
      dropFront(m_queue.size());
      m_scanWaited = true;
      m_changed.notify_all();
      m_changed.wait(lock);
    }
  }

 private:
  // A directory of the walk, kept open (up to a depth) so that its sub-directories are opened
  // from it by name.
  struct Frame {
    Frame(std::string p, int descriptor) : path(std::move(p)), fd(descriptor) {}
    Frame(Frame&& other) noexcept
        : path(std::move(other.path)),
          subdirectories(std::move(other.subdirectories)),
          next(other.next),
          fd(std::exchange(other.fd, -1)) {}
    Frame& operator=(Frame&&) = delete;
    Frame(const Frame&) = delete;
    ~Frame() {
      if (fd >= 0) ::close(fd);
    }
    std::string path;
    std::vector<std::string> subdirectories;
    std::size_t next = 0;
    int fd = -1;
  };
  // Deeper frames are opened by their whole path (name by name when it is too long for the
  // system): the walk never holds more descriptors.
  static constexpr std::size_t kOpenFrames = 48;

  // The next directory of the walk ("" at its end), with the descriptor of its parent (or -1)
  // and its last name.
  struct Step {
    std::string path;
    int parentFd = -1;
    std::string name;
  };

  // Drops the first records; a record already taken (null) counts no more.
  void dropFront(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (m_queue.front()) m_queuedItems -= m_queue.front()->items.size();
      m_queue.pop_front();
    }
  }

  static Frame frameOf(const AheadDirectory& record, int fd) {
    Frame frame(record.path, fd);
    for (const AheadItem& item : record.items) {
      if (item.isDirectory) frame.subdirectories.emplace_back(record.nameOf(item));
    }
    return frame;
  }

  // Reads the directory of `step` and pushes its frame; answers the record.
  static std::unique_ptr<AheadDirectory> readInto(std::vector<Frame>& stack, const Step& step,
                                                  bool namesOnly) {
    int fd = -1;
    const bool keep = stack.size() < kOpenFrames;
    std::unique_ptr<AheadDirectory> record = readDirectoryAhead(
        step.path, namesOnly, step.parentFd, &step.name, keep ? &fd : nullptr);
    stack.push_back(frameOf(*record, fd));
    return record;
  }

  static Step advance(std::vector<Frame>& stack) {
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next < top.subdirectories.size()) {
        const std::string& name = top.subdirectories[top.next++];
        return Step{childOf(top.path, name), top.fd, name};
      }
      stack.pop_back();
    }
    return Step{};
  }

  void run() {
    std::vector<Frame> stack;
    {
      readInto(stack, Step{m_parent, -1, std::string()}, true);
      Frame& parent = stack.back();
      const std::string enteredName = m_entered.substr(m_entered.rfind('/') + 1);
      const auto at =
          std::find(parent.subdirectories.begin(), parent.subdirectories.end(), enteredName);
      if (at != parent.subdirectories.end() && childOf(m_parent, enteredName) == m_entered) {
        parent.next = static_cast<std::size_t>(at - parent.subdirectories.begin()) + 1;
        // `parent` is not used past this call: the push may move the frames.
        readInto(stack, Step{m_entered, parent.fd, enteredName}, true);
      } else {
        stack.clear();
      }
    }
    Step step = advance(stack);
    const std::string& next = step.path;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_current = next;
    }
    m_changed.notify_all();
    while (!next.empty()) {
      bool passOver = false;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] {
          return m_stop ||
                 (m_queuedItems < kAheadMaxItems && m_queue.size() < kAheadMaxDirectories);
        });
        if (m_stop) break;
        passOver = m_readByScan.erase(next) != 0 || m_scanWaited;
        m_scanWaited = false;
        // A directory passed over is the scan's to read: it must not wait for the helper.
        if (passOver) m_current.clear();
      }
      if (passOver) m_changed.notify_all();
      // Passing over still lists the names: the walk needs the sub-directories.
      std::unique_ptr<AheadDirectory> record = readInto(stack, step, passOver);
      Step following = advance(stack);
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!passOver) {
          m_queuedItems += record->items.size();
          m_queue.push_back(std::move(record));
        }
        m_current = following.path;
      }
      m_changed.notify_all();
      step = std::move(following);
    }
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_done = true;
      m_current.clear();
    }
    m_changed.notify_all();
  }

  const std::string m_parent;
  const std::string m_entered;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::unique_ptr<AheadDirectory>> m_queue;
  std::size_t m_queuedItems = 0;
  std::string m_current;  // the directory the helper reads now or next
  // Directories the scan read itself before the helper came to them.
  std::unordered_set<std::string> m_readByScan;
  bool m_scanWaited = false;  // the scan waited for the directory the helper was reading
  bool m_done = false;
  bool m_stop = false;
  std::thread m_thread;
};

// The read-ahead of this thread, the listing whose closing ends it, and the record that
// directoryChangeTime took for the listing that follows it.
struct ThreadAhead {
  std::unique_ptr<ReadAhead> job;
  const std::string* ownerPath = nullptr;  // m_path of the owning listing
  std::unique_ptr<AheadDirectory> pending;
};
thread_local ThreadAhead t_ahead;

bool takeAheadInfo(const OpenListing& listing, const char* name, FileInfo& out, int* error,
                   FileInfoResult& result) {
  // Only the name that the listing gave last: the scan reads each name right after listing it.
  const std::size_t cursor = *listing.cursor;
  if (cursor == 0 || cursor > listing.ahead->items.size()) return false;
  const AheadItem& item = listing.ahead->items[cursor - 1];
  if (item.isDirectory || listing.ahead->nameOf(item) != name) return false;
  result = item.result;
  if (result == FileInfoResult::kOk || result == FileInfoResult::kOpenFailed) out = item.info;
  if (result != FileInfoResult::kOk) setError(error, item.error);
  return true;
}

}  // namespace

DirListing::DirListing(const std::string& path) {
  std::unique_ptr<AheadDirectory> record = std::move(t_ahead.pending);
  if (record && record->path != path) record.reset();
  if (!record && t_ahead.job) record = t_ahead.job->take(path);
  if (record) {
    if (record->openError != 0) {
      m_error = record->openError;
      return;
    }
    m_ahead = std::move(record);
    m_open = true;
    m_path = path;
    t_openListings.push_back(OpenListing{&m_path, -1, m_ahead.get(), &m_cursor});
    return;
  }

  // A sub-directory of the listing open last is opened from its descriptor by its own name:
  // one name to look up instead of the whole path, and no limit on the length of the path.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK;
  int fd = -1;
  const std::size_t slash = path.rfind('/');
  if (!t_openListings.empty() && t_openListings.back().fd >= 0 && slash != std::string::npos &&
      slash + 1 < path.size() &&
      childOf(*t_openListings.back().path, path.substr(slash + 1)) == path) {
    const int parentFd = t_openListings.back().fd;
    fd = retryEintr([&] {
      return ::openat(parentFd, path.c_str() + slash + 1, kFlags | O_DIRECTORY | O_CLOEXEC);
    });
  } else {
    fd = openDirectory(path, kFlags);
  }
  if (fd < 0) {
    m_error = errno;
    return;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    m_error = errno;
    ::close(fd);
    return;
  }
  m_dir = dir;
  m_open = true;
  m_path = path;
  // A sub-directory listed while its parent's listing is open: a recursive descent, whose next
  // directories the helper thread reads from now on.
  if (!t_ahead.job && !t_openListings.empty()) {
    const std::string& parent = *t_openListings.back().path;
    if (slash != std::string::npos && slash + 1 < path.size() &&
        childOf(parent, path.substr(slash + 1)) == path) {
      t_ahead.job = std::make_unique<ReadAhead>(parent, path);
      t_ahead.ownerPath = t_openListings.back().path;
    }
  }
  t_openListings.push_back(OpenListing{&m_path, fd, nullptr, &m_cursor});
}

DirListing::~DirListing() { close(); }

void DirListing::close() {
  if (!m_open) return;
  for (auto it = t_openListings.rbegin(); it != t_openListings.rend(); ++it) {
    if (it->path == &m_path) {
      t_openListings.erase(std::next(it).base());
      break;
    }
  }
  if (t_ahead.job && t_ahead.ownerPath == &m_path) {
    t_ahead.job.reset();
    t_ahead.pending.reset();
    t_ahead.ownerPath = nullptr;
  }
  if (m_dir != nullptr) {
    ::closedir(static_cast<DIR*>(m_dir));
    m_dir = nullptr;
  }
  m_ahead.reset();
  m_open = false;
}

bool DirListing::next(DirItem& item) {
  if (m_ahead) {
    if (m_cursor >= m_ahead->items.size()) {
      if (m_ahead->readError != 0) m_error = m_ahead->readError;
      return false;
    }
    const AheadItem& ahead = m_ahead->items[m_cursor++];
    item.name = m_ahead->nameOf(ahead);
    item.isDirectory = ahead.isDirectory;
    return true;
  }
  DIR* dir = static_cast<DIR*>(m_dir);
  if (dir == nullptr) return false;
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
      if (errno != 0) m_error = errno;
      return false;
    }
    if (isDotName(d->d_name)) continue;
    item.name.assign(d->d_name);
    item.isDirectory = typeIsDirectory(::dirfd(dir), d->d_name, d->d_type);
    ++m_cursor;
    return true;
  }
}

bool listDirectory(const std::string& path, std::vector<DirItem>& out, int* error) {
  DirListing listing(path);
  if (!listing.isOpen()) {
    setError(error, listing.error());
    return false;
  }
  DirItem item;
  while (listing.next(item)) out.push_back(item);
  if (listing.error() != 0) {
    setError(error, listing.error());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

bool FileInfo::isRegular() const { return S_ISREG(mode); }
bool FileInfo::isDirectory() const { return S_ISDIR(mode); }

FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error,
                            FileInfoMethod method) {
  if (path.empty()) {
    setError(error, ENOENT);
    return FileInfoResult::kOpenFailed;
  }
  return method == FileInfoMethod::kStatx ? readByStatx(path, out, error)
                                          : readByOpen(path, out, error);
}

FileInfoResult readFileInfoIn(const std::string& dir, const std::string& name, FileInfo& out,
                              int* error) {
  const bool plainName = !name.empty() && name.find('/') == std::string::npos &&
                         name != "." && name != "..";
  if (plainName) {
    for (auto it = t_openListings.rbegin(); it != t_openListings.rend(); ++it) {
      if (*it->path != dir) continue;
      FileInfoResult result;
      if (it->ahead != nullptr && takeAheadInfo(*it, name.c_str(), out, error, result)) {
        return result;
      }
      // With the descriptor, the whole path is never read: `dir` stands in for it.
      if (it->fd >= 0) return readByStatxAt(LookupBase{it->fd, name.c_str()}, dir, out, error);
      break;
    }
  }
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path.append(dir);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return readFileInfo(path, out, error);
}

bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error) {
  if (t_ahead.job) {
    // The scan takes a directory's time stamp just before listing it: the record read ahead
    // answers both.
    std::unique_ptr<AheadDirectory> record = t_ahead.job->take(path);
    if (record) {
      const bool read = record->timeRead;
      if (read) {
        fileTime = record->changeTime;
      } else {
        setError(error, record->timeError);
      }
      t_ahead.pending = std::move(record);
      return read;
    }
  }
  return directoryChangeTimeDirect(path, fileTime, error);
}

namespace {
bool directoryChangeTimeDirect(const std::string& path, std::uint64_t& fileTime, int* error) {
  if (path.empty()) {
    setError(error, ENOENT);
    return false;
  }
  const ResolvedPath resolved(path);
  if (!resolved.ok()) {
    setError(error, resolved.error());
    return false;
  }
  struct statx st;
  if (::statx(resolved.base().dirFd, resolved.base().name, AT_STATX_DONT_SYNC,
              STATX_CTIME | STATX_TYPE, &st) != 0) {
    setError(error, errno);
    return false;
  }
  fileTime = fileTimeFromUnix(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec);
  return true;
}
}  // namespace

// ---------------------------------------------------------------------------------------------

bool pathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool makeDirectory(const std::string& path, int* error) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno == EEXIST && isDirectory(path)) return true;
  setError(error, errno);
  return false;
}

bool makeDirectories(const std::string& path, int* error) {
  if (path.empty()) {
    setError(error, ENOENT);
    return false;
  }
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && !isDirectory(prefix) && !makeDirectory(prefix, error)) return false;
  }
  return makeDirectory(path, error);
}

bool renameFile(const std::string& from, const std::string& to, int* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  setError(error, errno);
  return false;
}

bool removeFile(const std::string& path, int* error) {
  if (::unlink(path.c_str()) == 0) return true;
  setError(error, errno);
  return false;
}

std::string currentDirectory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

bool writeFileReplacing(const std::string& target, const std::vector<std::string_view>& parts,
                        int* error) {
  const std::string temp = target + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    setError(error, errno);
    return false;
  }
  bool ok = true;
  for (std::string_view part : parts) {
    if (!writeAll(fd, part.data(), part.size())) {
      ok = false;
      break;
    }
  }
  // The data must be on disk before the rename makes it the file of record.
  if (ok && ::fsync(fd) != 0) ok = false;
  int saved = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    setError(error, saved);
  }
  return ok;
}

bool writeFileReplacing(const std::string& target, std::string_view content, int* error) {
  return writeFileReplacing(target, std::vector<std::string_view>{content}, error);
}

bool writeFilesReplacing(const std::vector<FileReplacement>& files, int* error,
                         std::string* failedTarget, const std::string& keepOldAs) {
  std::vector<std::string> temps;
  const auto fail = [&](const std::string& target, int code) {
    for (const std::string& temp : temps) ::unlink(temp.c_str());
    setError(error, code);
    if (failedTarget != nullptr) *failedTarget = target;
    return false;
  };
  for (const FileReplacement& file : files) {
    const std::string temp = file.target + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(file.target, errno);
    temps.push_back(temp);
    bool ok = writeAll(fd, file.content.data(), file.content.size()) && ::fsync(fd) == 0;
    int saved = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
      ok = false;
      saved = errno;
    }
    if (!ok) return fail(file.target, saved);
  }
  // Every new file is whole on disk: only now is any target touched.
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& target = files[i].target;
    if (!keepOldAs.empty()) {
      const std::string kept = target + keepOldAs;
      if (::rename(target.c_str(), kept.c_str()) != 0 && errno != ENOENT) {
        const int saved = errno;
        temps.erase(temps.begin(), temps.begin() + static_cast<std::ptrdiff_t>(i));
        return fail(target, saved);
      }
    }
    if (::rename(temps[i].c_str(), target.c_str()) != 0) {
      const int saved = errno;
      temps.erase(temps.begin(), temps.begin() + static_cast<std::ptrdiff_t>(i));
      return fail(target, saved);
    }
  }
  return true;
}

FileReader::FileReader(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    m_error = errno;
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    m_error = EINVAL;
    return;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    m_error = errno;
    return;
  }
  // The name may have been replaced by something else between the two looks.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    m_error = EINVAL;
    ::close(fd);
    return;
  }
  m_fd = fd;
}

FileReader::~FileReader() {
  if (m_fd >= 0) ::close(m_fd);
}

bool FileReader::rewind() {
  if (m_fd < 0) return false;
  if (::lseek(m_fd, 0, SEEK_SET) == 0) return true;
  m_error = errno;
  return false;
}

long FileReader::read(char* buffer, std::size_t size) {
  if (m_fd < 0) return -1;
  const ssize_t n = retryEintr([&] { return ::read(m_fd, buffer, size); });
  if (n < 0) m_error = errno;
  return static_cast<long>(n);
}

bool readWholeFile(const std::string& path, std::string& out, int* error, std::size_t maxBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    setError(error, errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    setError(error, errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    setError(error, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    ::close(fd);
    return false;
  }
  out.clear();
  out.reserve(std::min(static_cast<std::size_t>(st.st_size), maxBytes));
  char buffer[65536];
  while (out.size() < maxBytes) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, maxBytes - out.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      setError(error, errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

std::string errorText(int error) {
  char buffer[256];
  // The GNU variant returns the text, which may or may not be in the buffer.
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(error);
}

namespace {
std::atomic<unsigned> g_closedAtStart{0};
}  // namespace

void openClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    g_closedAtStart.fetch_or(1u << fd);
    // The lowest free descriptor is taken, which is this one: the lower ones are open by now.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

bool wasClosedAtStart(int fd) {
  return fd >= 0 && fd <= 2 && (g_closedAtStart.load() & (1u << fd)) != 0;
}

// ---------------------------------------------------------------------------------------------

bool isPrivileged() { return ::geteuid() == 0; }

int processId() { return static_cast<int>(::getpid()); }

std::string environmentVariable(const char* name) {
  const char* value = ::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string homeDirectory() {
  std::string home = environmentVariable("HOME");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    home = found->pw_dir;
  }
  return home;
}

std::string executablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    if (buffer.size() > (1u << 16)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

bool changeDirectory(const std::string& path, int* error) {
  if (::chdir(path.c_str()) == 0) return true;
  setError(error, errno);
  return false;
}

bool removeDirectory(const std::string& path, int* error) {
  if (::rmdir(path.c_str()) == 0) return true;
  setError(error, errno);
  return false;
}

// ---------------------------------------------------------------------------------------------

namespace {
bool isExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::string findProgram(const std::string& name) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos) return isExecutableFile(name) ? name : std::string();
  const char* pathVar = ::getenv("PATH");
  const std::string path = pathVar ? pathVar : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(':', start);
    const std::string_view dir =
        std::string_view(path).substr(start, end == std::string::npos ? std::string::npos
                                                                      : end - start);
    // An empty element of the search path is the current directory.
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate += '/';
    candidate += name;
    if (isExecutableFile(candidate)) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return std::string();
}

SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                         bool wait, const std::string& stdoutFile) {
  SpawnResult result;
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  if (copies.empty()) copies.push_back(program);
  for (std::string& a : copies) args.push_back(a.data());
  args.push_back(nullptr);

  if (wait) {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!stdoutFile.empty()) {
      ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0666);
    }
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      result.error = rc;
      return result;
    }
    result.started = true;
    result.pid = pid;
    int status = 0;
    if (retryEintr([&] { return static_cast<int>(::waitpid(pid, &status, 0)); }) < 0) {
      result.exitCode = -1;
    } else if (WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      result.exitCode = 128 + WTERMSIG(status);
    }
    // posix_spawn reports a failed exec as exit code 127 of the child.
    return result;
  }

  // Detached start: an intermediate child starts the program and exits at once, so the
  // program is adopted by init and never stays a zombie of ours. Through a pipe that closes on
  // exec, the intermediate child reports the program's id and the program a failed exec.
  struct Message {
    int kind;  // 1: process id, 2: errno of a failed fork or exec
    int value;
  };
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  const pid_t middle = ::fork();
  if (middle < 0) {
    result.error = errno;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return result;
  }
  if (middle == 0) {
    ::close(pipeFds[0]);
    const pid_t child = ::fork();
    if (child < 0) {
      const Message m{2, errno};
      (void)!::write(pipeFds[1], &m, sizeof m);
      ::_exit(1);
    }
    if (child == 0) {
      ::setsid();
      const int devNull = ::open("/dev/null", O_RDONLY);
      if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        if (devNull != STDIN_FILENO) ::close(devNull);
      }
      ::execve(program.c_str(), args.data(), environ);
      const Message m{2, errno};
      (void)!::write(pipeFds[1], &m, sizeof m);
      ::_exit(127);
    }
    const Message m{1, static_cast<int>(child)};
    (void)!::write(pipeFds[1], &m, sizeof m);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  int status = 0;
  retryEintr([&] { return static_cast<int>(::waitpid(middle, &status, 0)); });
  // Read until both writers are gone: the intermediate child exited, the program exec'ed.
  for (;;) {
    Message m{0, 0};
    const ssize_t n = retryEintr([&] { return ::read(pipeFds[0], &m, sizeof m); });
    if (n != static_cast<ssize_t>(sizeof m)) break;
    if (m.kind == 1) result.pid = m.value;
    if (m.kind == 2) result.error = m.value;
  }
  ::close(pipeFds[0]);
  result.started = result.error == 0 && result.pid > 0;
  if (!result.started && result.error == 0) result.error = ECHILD;
  return result;
}

// ---------------------------------------------------------------------------------------------

DirectoryWatch::DirectoryWatch(const std::string& path) {
  m_notifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (m_notifyFd < 0) {
    m_error = errno;
    return;
  }
  m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    m_error = errno;
    return;
  }
  m_watch = ::inotify_add_watch(m_notifyFd, path.c_str(),
                                IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR);
  if (m_watch < 0) m_error = errno;
}

DirectoryWatch::~DirectoryWatch() {
  if (m_notifyFd >= 0) ::close(m_notifyFd);
  if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void DirectoryWatch::interrupt() {
  if (m_wakeFd < 0) return;
  const std::uint64_t one = 1;
  (void)!::write(m_wakeFd, &one, sizeof one);
}

DirectoryWatch::WaitResult DirectoryWatch::wait(int timeoutMs) {
  if (!isValid()) return WaitResult::kError;
  struct pollfd fds[2];
  fds[0] = {m_notifyFd, POLLIN, 0};
  fds[1] = {m_wakeFd, POLLIN, 0};
  const int n = ::poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs);
  if (n < 0) return errno == EINTR ? WaitResult::kTimeout : WaitResult::kError;
  if (n == 0) return WaitResult::kTimeout;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    (void)!::read(m_wakeFd, &count, sizeof count);
    return WaitResult::kInterrupted;
  }
  bool gone = false;
  bool any = false;
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t len = ::read(m_notifyFd, buffer, sizeof buffer);
    if (len <= 0) break;
    for (char* p = buffer; p < buffer + len;) {
      const auto* ev = reinterpret_cast<const struct inotify_event*>(p);
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) gone = true;
      any = true;
      p += sizeof(struct inotify_event) + ev->len;
    }
  }
  if (gone) return WaitResult::kGone;
  return any ? WaitResult::kChanged : WaitResult::kTimeout;
}

}  // namespace dyxplatform
