// A hostile file tree for the robustness suites of the engine and of quarry-cli: link loops and
// links to ancestors, a dangling link, a FIFO, a socket, unreadable files and directories, names
// with every awkward byte, a path of about 4,000 bytes (and one beyond PATH_MAX), a directory of
// many files, and a thread that makes files appear and vanish while a scan runs. Plus the
// expectation the scans are checked against (every regular file, found without following links,
// with its size), a watchdog that turns a hang into a failure, and a live-heap probe. Test code.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARRY_HOSTILE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUARRY_HOSTILE_ASAN 1
#endif
#ifdef QUARRY_HOSTILE_ASAN
// From the sanitizer runtime (its header does not ship with every compiler).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace hostile {

// File names that a line-based file format, a shell, a terminal or a UTF-8 decoder trips on.
inline const std::vector<std::string>& awkwardNames() {
  static const std::vector<std::string> names = {
      "new\nline.txt", "tab\tname.txt",  ">gt.txt",         "-dash.txt",   "--",
      "quote\"d.txt",  "single'q.txt",   "back\\slash.txt", "\\leading",   "bad\xff\xfeutf8.txt",
      "\xc3(",         " leading blank", "trailing blank ", "star*q?.txt", "cr\r.txt",
      "$Name",         "#hash",          "%1 percent",      "..dots..",    "\x01\x1f control"};
  return names;
}

// Directory names of the same kind; each holds "inside.txt".
inline const std::vector<std::string>& awkwardDirectories() {
  static const std::vector<std::string> names = {"dir\nnl", "dir\\bs", ">dir",  "-dir",
                                                 "dir\"q",  "dir\xff", "\\dir", "dir\t"};
  return names;
}

inline void put(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  if (!content.empty() && ::write(fd, content.data(), content.size()) < 0) std::abort();
  ::close(fd);
}

inline void dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(path.c_str());
    std::abort();
  }
}

inline void link(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) std::abort();
}

struct TreeOptions {
  std::size_t manyFiles = 50000;  // files of big/ (sizes 0..4095 bytes, sparse)
  bool deep = true;               // the 4,000-byte path and the path beyond PATH_MAX
  bool special = true;            // FIFO, socket, unreadable entries
};

// Builds the tree below `root` (which exists). The deep chain is made relative to open
// directories, since its far end is longer than any path the system calls accept.
inline void buildTree(const std::string& root, const TreeOptions& options = TreeOptions()) {
  put(root + "/plain.txt", "plain\n");

  dir(root + "/names");
  int n = 0;
  for (const std::string& name : awkwardNames()) {
    put(root + "/names/" + name, std::string(static_cast<std::size_t>(++n), 'n'));
  }
  for (const std::string& name : awkwardDirectories()) {
    dir(root + "/names/" + name);
    put(root + "/names/" + name + "/inside.txt", name);
  }

  dir(root + "/links");
  put(root + "/links/target.txt", "target");
  link(".", root + "/links/self");
  link("..", root + "/links/parent");
  link(root, root + "/links/root");
  link("loopB", root + "/links/loopA");
  link("loopA", root + "/links/loopB");
  link("missing/nowhere", root + "/links/dangling");
  link("target.txt", root + "/links/to-file");
  dir(root + "/links/real");
  link("../..", root + "/links/real/grandparent");

  if (options.special) {
    dir(root + "/special");
    if (::mkfifo((root + "/special/fifo").c_str(), 0644) != 0) std::abort();
    const std::string socketPath = root + "/special/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() < sizeof(address.sun_path)) {
      std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::abort();
      }
      ::close(fd);  // the socket file stays
    }
    dir(root + "/locked");
    put(root + "/locked/secret.txt", "secret");
    ::chmod((root + "/locked/secret.txt").c_str(), 0);
    dir(root + "/locked/closed");
    put(root + "/locked/closed/hidden.txt", "hidden");
    ::chmod((root + "/locked/closed").c_str(), 0);
    dir(root + "/locked/no-search");
    put(root + "/locked/no-search/unreachable.txt", "unreachable");
    ::chmod((root + "/locked/no-search").c_str(), 0644);
  }

  if (options.deep) {
    // Components of 100 bytes down to an absolute path of about 4,000 bytes, a file there, then
    // on past PATH_MAX with another file.
    dir(root + "/deep");
    int fd = ::open((root + "/deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t length = root.size() + 5;
    const std::string component(99, 'd');
    bool bottomWritten = false;
    for (int level = 0; level < 45 && fd >= 0; ++level) {
      const std::string name = component + static_cast<char>('a' + level % 26);
      if (!bottomWritten && length + 1 + name.size() + 11 > 4000) {
        const int file = ::openat(fd, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file < 0 || ::write(file, "bottom", 6) != 6) std::abort();
        ::close(file);
        bottomWritten = true;
      }
      if (::mkdirat(fd, name.c_str(), 0755) != 0) std::abort();
      const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = next;
      length += 1 + name.size();
    }
    if (fd >= 0) {
      const int file = ::openat(fd, "beyond.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (file >= 0) ::close(file);
      ::close(fd);
    }
  }

  if (options.manyFiles > 0) {
    dir(root + "/many");
    char name[32];
    for (std::size_t i = 0; i < options.manyFiles; ++i) {
      std::snprintf(name, sizeof name, "/many/f%06zu.dat", i);
      const int fd = ::open((root + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(i % 4096)) != 0) std::abort();
      ::close(fd);
    }
  }
  dir(root + "/churn");
}

// Removes everything below the open directory `fd` relative to it, so that paths longer than
// PATH_MAX go too (a removal by full path stops at them). Closes `fd`.
inline void removeBelow(int fd) {
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return;
  }
  std::vector<std::pair<std::string, bool>> items;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    items.emplace_back(name, S_ISDIR(st.st_mode));
  }
  for (const auto& [name, isDir] : items) {
    if (isDir) {
      ::fchmodat(fd, name.c_str(), 0700, 0);
      const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub >= 0) removeBelow(sub);
      ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(fd, name.c_str(), 0);
    }
  }
  ::closedir(d);
}

inline void removeTree(const std::string& path) {
  ::chmod(path.c_str(), 0700);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) removeBelow(fd);
  ::rmdir(path.c_str());
}

// Every regular file below `root` that a walk finds without following links, by full path, with
// its size; directories that cannot be listed, files whose facts cannot be read and the churn
// directory are left out. Paths longer than the system accepts end the walk there.
inline void regularFiles(const std::string& root, std::map<std::string, std::uint64_t>& out) {
  DIR* d = ::opendir(root.c_str());
  if (d == nullptr) return;
  std::vector<std::string> subdirs;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = root + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (name != "churn") subdirs.push_back(path);
    } else if (S_ISREG(st.st_mode)) {
      out[path] = static_cast<std::uint64_t>(st.st_size);
    }
  }
  ::closedir(d);
  for (const std::string& sub : subdirs) regularFiles(sub, out);
}

// Creates, grows, renames and deletes files and directories below `dir` until destroyed.
class Churn {
 public:
  explicit Churn(std::string dir) : m_dir(std::move(dir)), m_thread([this] { run(); }) {}
  ~Churn() {
    m_stop = true;
    m_thread.join();
  }
  Churn(const Churn&) = delete;
  Churn& operator=(const Churn&) = delete;
  long rounds() const { return m_rounds.load(); }

 private:
  void run() {
    while (!m_stop) {
      const long round = m_rounds.fetch_add(1);
      const std::string base = m_dir + "/c" + std::to_string(round % 50);
      put(base + ".txt", std::string(static_cast<std::size_t>(round % 300), 'c'));
      ::mkdir((base + ".d").c_str(), 0755);
      put(base + ".d/x", "x");
      ::rename((base + ".txt").c_str(), (base + ".moved").c_str());
      if (round % 3 == 0) {
        ::unlink((base + ".moved").c_str());
        ::unlink((base + ".d/x").c_str());
        ::rmdir((base + ".d").c_str());
      }
      std::this_thread::yield();
    }
  }

  std::string m_dir;
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_rounds{0};
  std::thread m_thread;
};

// Ends the process with a message when the guarded step outlasts its bound, so that a hang is
// reported as a failure naming the step instead of a test killed without a word.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit)
      : m_what(std::move(what)), m_thread([this, limit] { watch(limit); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_cv.notify_all();
    m_thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void watch(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, limit, [this] { return m_done; })) {
      std::fprintf(stderr, "HANG: %s took longer than %lld s\n", m_what.c_str(),
                   static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::abort();
    }
  }

  std::string m_what;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_done = false;
  std::thread m_thread;
};

// Bytes of heap in use now (live allocations only, not the allocator's caches or quarantine).
inline std::size_t liveHeapBytes() {
#ifdef QUARRY_HOSTILE_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// Readable form of a name with control bytes, for failure messages.
inline std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace hostile
