// The Linux environment: every system call of the engine. Files are read with statx, never
// opened to learn their information; directories are opened from their parent's descriptor so
// that path length is bounded only by the file system.
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

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "dyxcore/platform.h"

extern char** environ;

namespace dyxplatform {

namespace {

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

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_ATIME |
                                STATX_CTIME | STATX_UID | STATX_GID | STATX_NLINK | STATX_INO;

// Where a path's last name is looked up: relative to the descriptor of its open directory, or
// from the current directory with the whole path.
struct LookupBase {
  int dirFd = AT_FDCWD;
  const char* name = nullptr;
};

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
  // The answer for the device of the previous file, without the lock: a scan asks for every
  // file, on two threads at once, and nearly always about one device.
  thread_local std::uint64_t lastDevice = 0;
  thread_local bool lastLocal = false;
  thread_local bool haveLast = false;
  if (haveLast && lastDevice == device) return lastLocal;
  {
    std::lock_guard<std::mutex> guard(mutex);
    const auto it = known.find(device);
    if (it != known.end()) {
      haveLast = true;
      lastDevice = device;
      lastLocal = it->second;
      return lastLocal;
    }
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
  struct statx st;
  if (retryEintr([&] {
        return ::statx(base.dirFd, base.name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, kStatxMask,
                       &st);
      }) == 0) {
    fillFromStatx(st, out);
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
// A descriptor of the directory `path` opened with `flags` (O_DIRECTORY is added) however long
// the path is: a path the system does not take whole is opened name by name from the
// directories above. -1 with errno set.
int openDirectoryFd(const std::string& path, int flags) {
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
    const int next =
        retryEintr([&] { return ::openat(dirFd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
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

ResolvedPath::ResolvedPath(const std::string& path) {
  m_base = LookupBase{AT_FDCWD, path.c_str()};
  if (path.size() < PATH_MAX) return;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    m_error = ENAMETOOLONG;  // one name longer than any the system has
    return;
  }
  m_owned = openDirectoryFd(slash == 0 ? std::string("/") : path.substr(0, slash), O_PATH);
  if (m_owned < 0) {
    m_error = errno;
    return;
  }
  m_base = LookupBase{m_owned, path.c_str() + slash + 1};
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

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Opens a regular file for reading without blocking and without touching its access time.
int openForReading(const char* path, int dirFd = AT_FDCWD) {
  int fd = ::openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_NOATIME | O_CLOEXEC);
  // O_NOATIME is refused for files of other users; opening alone does not touch atime.
  if (fd < 0 && errno == EPERM) fd = ::openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fd;
}

// ---------------------------------------------------------------------------------------------
// Handles

// The kernel's record of one name, as getdents64 returns it.
struct KernelDirent {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// Read with getdents64 into a buffer of its own: the C library's directory stream would ask
// the kernel three more times per directory (it checks the descriptor it is given), which a
// scan of ten thousand directories notices.
class LinuxDirectory final : public Directory {
 public:
  // Takes over `fd` (a directory, opened with O_DIRECTORY), or answers null with *error.
  static std::unique_ptr<Directory> adopt(int fd, int* error) {
    if (fd < 0) {
      setError(error, errno);
      return nullptr;
    }
    return std::unique_ptr<Directory>(new LinuxDirectory(fd));
  }
  ~LinuxDirectory() override { ::close(m_fd); }

  bool next(DirItem& item) override {
    for (;;) {
      if (m_pos >= m_end) {
        if (m_error != 0 || m_done) return false;
        const long got = retryEintr(
            [&] { return ::syscall(SYS_getdents64, m_fd, m_buffer.get(), kBufferBytes); });
        if (got <= 0) {
          if (got < 0) m_error = errno;
          m_done = true;
          return false;
        }
        m_pos = 0;
        m_end = static_cast<std::size_t>(got);
      }
      const auto* d = reinterpret_cast<const KernelDirent*>(m_buffer.get() + m_pos);
      m_pos += d->reclen;
      if (isDotName(d->name)) continue;
      item.name.assign(d->name);
      item.isDirectory = typeIsDirectory(m_fd, d->name, d->type);
      return true;
    }
  }
  int error() const override { return m_error; }

  FileInfoResult readFileInfo(const std::string& name, FileInfo& out, int* error) override {
    // With the directory's descriptor the whole path is never needed.
    return readByStatxAt(LookupBase{m_fd, name.c_str()}, name, out, error);
  }

  bool changeTime(std::uint64_t& fileTime, int* error) override {
    struct statx st;
    if (::statx(m_fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_CTIME | STATX_TYPE, &st) != 0) {
      setError(error, errno);
      return false;
    }
    fileTime = fileTimeFromUnix(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec);
    return true;
  }

  std::unique_ptr<Directory> openChild(const std::string& name, int* error) override {
    const int fd = retryEintr([&] {
      return ::openat(m_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC);
    });
    return adopt(fd, error);
  }

 private:
  static constexpr std::size_t kBufferBytes = 32768;
  explicit LinuxDirectory(int fd) : m_fd(fd), m_buffer(new char[kBufferBytes]) {}
  const int m_fd;
  // Aligned for the records the kernel writes into it.
  std::unique_ptr<char[]> m_buffer;
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  bool m_done = false;
  int m_error = 0;
};

class LinuxSequentialFile final : public SequentialFile {
 public:
  LinuxSequentialFile(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
  ~LinuxSequentialFile() override { ::close(m_fd); }
  long read(char* buffer, std::size_t size, int* error) override {
    const ssize_t n = retryEintr([&] { return ::read(m_fd, buffer, size); });
    if (n < 0) setError(error, errno);
    return static_cast<long>(n);
  }
  bool seek(std::uint64_t offset, int* error) override {
    const auto at = static_cast<off_t>(offset);
    if (::lseek(m_fd, at, SEEK_SET) == at) return true;
    setError(error, errno);
    return false;
  }
  std::uint64_t size() const override { return m_size; }

 private:
  int m_fd;
  std::uint64_t m_size;
};

class LinuxWritableFile final : public WritableFile {
 public:
  explicit LinuxWritableFile(int fd) : m_fd(fd) {}
  ~LinuxWritableFile() override {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool append(std::string_view data, int* error) override {
    if (m_fd < 0) return closedError(error);
    if (writeAll(m_fd, data.data(), data.size())) return true;
    setError(error, errno);
    return false;
  }
  bool sync(int* error) override {
    if (m_fd < 0) return closedError(error);
    if (::fsync(m_fd) == 0) return true;
    setError(error, errno);
    return false;
  }
  bool close(int* error) override {
    if (m_fd < 0) return closedError(error);
    const int rc = ::close(m_fd);
    m_fd = -1;
    if (rc == 0) return true;
    setError(error, errno);
    return false;
  }

 private:
  static bool closedError(int* error) {
    setError(error, EBADF);
    return false;
  }
  int m_fd;
};

enum class NotifyWait { kReadable, kTimeout, kWoken, kError };

// Waits until the inotify descriptor has events or the wake descriptor (an eventfd) was
// written; a wake is consumed. A signal that interrupts the wait counts as a timeout: the
// caller waits again.
NotifyWait waitForNotifyOrWake(int notifyFd, int wakeFd, int timeoutMs) {
  struct pollfd fds[2];
  fds[0] = {notifyFd, POLLIN, 0};
  fds[1] = {wakeFd, POLLIN, 0};
  const int n = ::poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs);
  if (n < 0) return errno == EINTR ? NotifyWait::kTimeout : NotifyWait::kError;
  if (n == 0) return NotifyWait::kTimeout;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    (void)!::read(wakeFd, &count, sizeof count);
    return NotifyWait::kWoken;
  }
  return NotifyWait::kReadable;
}

// The shared wait's answer in a watch's own result type; false when events wait to be read.
template <class Result>
bool waitEnded(NotifyWait wait, Result& result) {
  switch (wait) {
    case NotifyWait::kError:
      result = Result::kError;
      return true;
    case NotifyWait::kTimeout:
      result = Result::kTimeout;
      return true;
    case NotifyWait::kWoken:
      result = Result::kInterrupted;
      return true;
    case NotifyWait::kReadable:
      break;
  }
  return false;
}

// Ends the current or next wait on the wake descriptor.
void wake(int wakeFd) {
  if (wakeFd < 0) return;
  const std::uint64_t one = 1;
  (void)!::write(wakeFd, &one, sizeof one);
}

class LinuxDirectoryWatch final : public DirectoryWatch {
 public:
  explicit LinuxDirectoryWatch(const std::string& path);
  ~LinuxDirectoryWatch() override;
  bool isValid() const override { return m_notifyFd >= 0 && m_wakeFd >= 0 && m_watch >= 0; }
  int error() const override { return m_error; }
  WaitResult wait(int timeoutMs) override;
  void interrupt() override;

 private:
  int m_notifyFd = -1;
  int m_wakeFd = -1;
  int m_watch = -1;
  int m_error = 0;
};

LinuxDirectoryWatch::LinuxDirectoryWatch(const std::string& path) {
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

LinuxDirectoryWatch::~LinuxDirectoryWatch() {
  if (m_notifyFd >= 0) ::close(m_notifyFd);
  if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void LinuxDirectoryWatch::interrupt() { wake(m_wakeFd); }

DirectoryWatch::WaitResult LinuxDirectoryWatch::wait(int timeoutMs) {
  if (!isValid()) return WaitResult::kError;
  WaitResult ended = WaitResult::kError;
  if (waitEnded(waitForNotifyOrWake(m_notifyFd, m_wakeFd, timeoutMs), ended)) return ended;
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

// One inotify instance for any number of directories, and an eventfd that interrupts a wait.
class LinuxDirectoryWatchSet final : public DirectoryWatchSet {
 public:
  LinuxDirectoryWatchSet() {
    m_notifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_notifyFd < 0) {
      m_error = errno;
      return;
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) m_error = errno;
  }
  ~LinuxDirectoryWatchSet() override {
    if (m_notifyFd >= 0) ::close(m_notifyFd);
    if (m_wakeFd >= 0) ::close(m_wakeFd);
  }
  bool isValid() const override { return m_notifyFd >= 0 && m_wakeFd >= 0; }
  int error() const override { return m_error; }

  int add(const std::string& path, int* error) override {
    if (!isValid()) {
      setError(error, m_error);
      return -1;
    }
    const int watch = ::inotify_add_watch(m_notifyFd, path.c_str(),
                                          IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                              IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                              IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (watch < 0) setError(error, errno);
    return watch;
  }
  void remove(int watch) override {
    if (m_notifyFd >= 0 && watch >= 0) ::inotify_rm_watch(m_notifyFd, watch);
  }
  void interrupt() override { wake(m_wakeFd); }

  WaitResult wait(int timeoutMs, std::vector<Event>& events) override {
    if (!isValid()) return WaitResult::kError;
    WaitResult ended = WaitResult::kError;
    if (waitEnded(waitForNotifyOrWake(m_notifyFd, m_wakeFd, timeoutMs), ended)) return ended;
    const std::size_t before = events.size();
    alignas(struct inotify_event) char buffer[65536];
    for (;;) {
      const ssize_t len = ::read(m_notifyFd, buffer, sizeof buffer);
      if (len <= 0) break;
      for (char* p = buffer; p < buffer + len;) {
        const auto* ev = reinterpret_cast<const struct inotify_event*>(p);
        p += sizeof(struct inotify_event) + ev->len;
        Event out;
        out.watch = ev->wd;
        out.isDirectory = (ev->mask & IN_ISDIR) != 0;
        if (ev->len > 0) out.name.assign(ev->name, ::strnlen(ev->name, ev->len));
        if (ev->mask & IN_CREATE) out.what |= kCreated;
        if (ev->mask & IN_DELETE) out.what |= kDeleted;
        if (ev->mask & (IN_MODIFY | IN_CLOSE_WRITE)) out.what |= kModified;
        if (ev->mask & IN_ATTRIB) out.what |= kAttributes;
        if (ev->mask & IN_MOVED_FROM) out.what |= kMovedFrom;
        if (ev->mask & IN_MOVED_TO) out.what |= kMovedTo;
        if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) out.what |= kSelfGone;
        if (ev->mask & (IN_IGNORED | IN_UNMOUNT)) out.what |= kWatchEnded;
        if (ev->mask & IN_Q_OVERFLOW) {
          out.what |= kOverflow;
          out.watch = -1;
        }
        if (out.what != 0) events.push_back(std::move(out));
      }
    }
    return events.size() > before ? WaitResult::kEvents : WaitResult::kTimeout;
  }

 private:
  int m_notifyFd = -1;
  int m_wakeFd = -1;
  int m_error = 0;
};

std::atomic<unsigned> g_closedAtStart{0};

// ---------------------------------------------------------------------------------------------

class LinuxEnv final : public Env {
 public:
  std::unique_ptr<Directory> openDirectory(const std::string& path, int* error) override {
    if (path.empty()) {
      setError(error, ENOENT);
      return nullptr;
    }
    return LinuxDirectory::adopt(openDirectoryFd(path, O_RDONLY | O_NONBLOCK), error);
  }

  FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error) override {
    if (path.empty()) {
      setError(error, ENOENT);
      return FileInfoResult::kOpenFailed;
    }
    const ResolvedPath resolved(path);
    if (!resolved.ok()) return lookupFailure(resolved.error(), error);
    return readByStatxAt(resolved.base(), path, out, error);
  }

  bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error) override {
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

  bool pathExists(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }
  bool isDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  bool isRegularFile(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  std::unique_ptr<SequentialFile> openSequentialFile(const std::string& path, int* error) override {
    // Looked at before it is opened: opening a FIFO or a device can block or act on it.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      setError(error, errno);
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
      setError(error, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
      return nullptr;
    }
    const int fd = openForReading(path.c_str());
    if (fd < 0) {
      setError(error, errno);
      return nullptr;
    }
    // The name may have been replaced by something else between the two looks.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      setError(error, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<LinuxSequentialFile>(fd, static_cast<std::uint64_t>(st.st_size));
  }

  std::unique_ptr<WritableFile> newWritableFile(const std::string& path, int* error) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      setError(error, errno);
      return nullptr;
    }
    return std::make_unique<LinuxWritableFile>(fd);
  }

  bool renameFile(const std::string& from, const std::string& to, int* error) override {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    setError(error, errno);
    return false;
  }
  bool removeFile(const std::string& path, int* error) override {
    if (::unlink(path.c_str()) == 0) return true;
    setError(error, errno);
    return false;
  }
  bool makeDirectory(const std::string& path, int* error) override {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    if (errno == EEXIST && isDirectory(path)) return true;
    setError(error, errno);
    return false;
  }
  bool removeDirectory(const std::string& path, int* error) override {
    if (::rmdir(path.c_str()) == 0) return true;
    setError(error, errno);
    return false;
  }
  std::string currentDirectory() override {
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
  bool changeDirectory(const std::string& path, int* error) override {
    if (::chdir(path.c_str()) == 0) return true;
    setError(error, errno);
    return false;
  }
  std::unique_ptr<DirectoryWatch> watchDirectory(const std::string& path) override {
    return std::make_unique<LinuxDirectoryWatch>(path);
  }
  std::unique_ptr<DirectoryWatchSet> newWatchSet() override {
    return std::make_unique<LinuxDirectoryWatchSet>();
  }

  std::string findProgram(const std::string& name) override {
    if (name.empty()) return std::string();
    if (name.find('/') != std::string::npos) return isExecutableFile(name) ? name : std::string();
    const char* pathVar = ::getenv("PATH");
    const std::string path = pathVar ? pathVar : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = path.find(':', start);
      const std::string_view dir = std::string_view(path).substr(
          start, end == std::string::npos ? std::string::npos : end - start);
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
                           bool wait, const std::string& stdoutFile) override {
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

  int processId() override { return static_cast<int>(::getpid()); }
  bool isPrivileged() override { return ::geteuid() == 0; }
  std::string environmentVariable(const char* name) override {
    const char* value = ::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
  }
  std::string homeDirectory() override {
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

  std::string executablePath() override {
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

  void openClosedStandardDescriptors() override {
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
  bool wasClosedAtStart(int fd) override {
    return fd >= 0 && fd <= 2 && (g_closedAtStart.load() & (1u << fd)) != 0;
  }

  std::int64_t nowUnixSeconds() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
  }
  bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out) override {
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
  std::string errorText(int error) override {
    char buffer[256];
    // The GNU variant returns the text, which may or may not be in the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error ") + std::to_string(error);
  }
};

}  // namespace

bool processWorksIn(int pid, const std::string& dir) {
  if (pid <= 0) return false;
  // The link names the process's current directory; it cannot be read for a process that is
  // gone (or another user's).
  const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
  std::string target(PATH_MAX + 1, '\0');
  const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;
  target.resize(static_cast<std::size_t>(n));
  char* real = ::realpath(dir.c_str(), nullptr);
  if (real == nullptr) return false;
  const bool same = target == real;
  std::free(real);
  return same;
}

bool FileInfo::isRegular() const { return S_ISREG(mode); }
bool FileInfo::isDirectory() const { return S_ISDIR(mode); }

Env& Env::system() {
  static LinuxEnv env;
  return env;
}

}  // namespace dyxplatform
