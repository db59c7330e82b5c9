// Helpers shared by the test suites: a temporary directory that cleans itself up, a guard
// that runs a test inside a working directory, and small file writers. Test code only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "dyxcore/platform.h"

namespace quarrytest {

// `path` with every "/" turned into the system's separator (nothing changes on Linux), so that
// a test writes its relative paths once for both systems.
inline std::string nativePath(std::string path) {
  if (dyxplatform::kPathSeparator != '/') {
    for (char& c : path) {
      if (c == '/') c = dyxplatform::kPathSeparator;
    }
  }
  return path;
}

// A fresh directory below $TMPDIR (or /tmp; on Windows the user's temporary directory), removed
// with everything in it on destruction, permissions restored first so unreadable test fixtures
// do not survive.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + the separator + rel (its "/" as the separator)
  std::string operator/(const std::string& rel) const {
    return m_path + dyxplatform::kPathSeparator + nativePath(rel);
  }

 private:
  std::string m_path;
};

// Changes the process's working directory for the guard's lifetime.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& dir);
  ~CwdGuard();
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  std::string m_previous;
};

// Writes (creating parent directories) or reads a whole file; reading a missing file gives "".
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void makeDirs(const std::string& path);
// Sets the last-write time of a file to a 1601-based time in 100-nanosecond steps, exactly.
bool setLastWriteTime(const std::string& path, std::uint64_t fileTime);
// The size and last-write time (1601-based) of a file as the system tells them, of the link
// itself when a symbolic link leads nowhere. False when the name does not exist.
bool statOrLstat(const std::string& path, std::uint64_t& size, std::uint64_t& writeTime);
// The checkout's root, from QUARRY_SOURCE_DIR set by CTest ("" when unset).
std::string sourceDir();

// What only Linux file systems give a test to build its fixture with: FIFOs, symbolic links
// and permission bits that bind. Where they are missing (Windows), hasLinuxFileSystem() is
// false, the helpers fail, and the test skips with QUARRY_SKIP_WITHOUT_LINUX_FS, saying why.
bool hasLinuxFileSystem();
bool makeFifo(const std::string& path);  // mode 0600
bool makeSymlink(const std::string& target, const std::string& link);
bool setMode(const std::string& path, unsigned mode);
// Opens the FIFO for writing without blocking and closes it again, so that a reader blocked in
// opening it goes on.
void wakeFifoReader(const std::string& path);
#define QUARRY_SKIP_WITHOUT_LINUX_FS(what) \
  if (!quarrytest::hasLinuxFileSystem())   \
  GTEST_SKIP() << what << ": a Linux file-system feature that Windows does not have"

// The unprivileged user that runUnprivileged becomes (nobody on Debian).
constexpr unsigned kUnprivilegedId = 65534;
// Runs `body` where permission bits bind: in a child process that has become kUnprivilegedId
// (user and group, no other groups) when this process is root, or here when it is not root.
// Answers what `body` returned; nothing when the child could not change its user or died (the
// caller skips, saying why). The child shares nothing with this process afterwards: `body`
// reports through its result only.
std::optional<std::string> runUnprivileged(const std::function<std::string()>& body);

}  // namespace quarrytest
