#include "support/testutil.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace quarrytest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quarry-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  m_path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Give back permissions that tests took away, so the removal cannot fail half-way.
  for (auto it = fs::recursive_directory_iterator(
           m_path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      ::chmod(it->path().c_str(), 0700);
    }
  }
  ::chmod(m_path.c_str(), 0700);
  // A second pass reaches directories that were unreadable during the first.
  for (int pass = 0; pass < 3; ++pass) {
    for (auto it = fs::recursive_directory_iterator(m_path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
  }
  fs::remove_all(m_path, ec);
}

CwdGuard::CwdGuard(const std::string& dir) {
  m_previous = fs::current_path().string();
  fs::current_path(dir);
}

CwdGuard::~CwdGuard() {
  std::error_code ec;
  fs::current_path(m_previous, ec);
}

void writeFile(const std::string& path, const std::string& content) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void makeDirs(const std::string& path) { fs::create_directories(path); }

bool hasLinuxFileSystem() { return true; }
bool makeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }
bool makeSymlink(const std::string& target, const std::string& link) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}
bool setMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}
void wakeFifoReader(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd >= 0) ::close(fd);
}

bool statOrLstat(const std::string& path, std::uint64_t& size, std::uint64_t& writeTime) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && ::lstat(path.c_str(), &st) != 0) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  writeTime = static_cast<std::uint64_t>((st.st_mtim.tv_sec + 11644473600LL) * 10000000LL +
                                         st.st_mtim.tv_nsec / 100);
  return true;
}

bool setLastWriteTime(const std::string& path, std::uint64_t fileTime) {
  const std::int64_t ticks = static_cast<std::int64_t>(fileTime) - 116444736000000000LL;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = ticks / 10000000;
  times[1].tv_nsec = (ticks % 10000000) * 100;
  if (times[1].tv_nsec < 0) {
    times[1].tv_nsec += 1000000000;
    --times[1].tv_sec;
  }
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string sourceDir() {
  const char* s = std::getenv("QUARRY_SOURCE_DIR");
  return s ? s : "";
}

std::optional<std::string> runUnprivileged(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return body();
  int channel[2];
  if (::pipe(channel) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    ::close(channel[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
        ::setuid(kUnprivilegedId) != 0) {
      ::_exit(77);
    }
    const std::string result = body();
    for (std::size_t at = 0; at < result.size();) {
      const ssize_t n = ::write(channel[1], result.data() + at, result.size() - at);
      if (n <= 0) ::_exit(78);
      at += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    result.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(channel[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

}  // namespace quarrytest
