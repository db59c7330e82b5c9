// Helpers shared by the test suites: a temporary directory that cleans itself up, a guard
// that runs a test inside a working directory, and small file writers. Test code only.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quarrytest {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it on destruction,
// permissions restored first so unreadable test fixtures do not survive.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + "/" + rel
  std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

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
// The checkout's root, from QUARRY_SOURCE_DIR set by CTest ("" when unset).
std::string sourceDir();

// The unprivileged user that runUnprivileged becomes (nobody on Debian).
constexpr unsigned kUnprivilegedId = 65534;
// Runs `body` where permission bits bind: in a child process that has become kUnprivilegedId
// (user and group, no other groups) when this process is root, or here when it is not root.
// Answers what `body` returned; nothing when the child could not change its user or died (the
// caller skips, saying why). The child shares nothing with this process afterwards: `body`
// reports through its result only.
std::optional<std::string> runUnprivileged(const std::function<std::string()>& body);

}  // namespace quarrytest
