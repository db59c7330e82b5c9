// The test helpers on Windows: the same contracts as testutil.cpp, through std::filesystem
// with UTF-8 texts. Permissions are not bits here, so nothing is given back before removal.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/testutil.h"

namespace fs = std::filesystem;

namespace quarrytest {

namespace {

fs::path fsPath(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The "\\?\" form reaches paths longer than 260 characters.
fs::path longPath(const std::string& utf8) {
  const std::string native = nativePath(utf8);
  if (native.rfind("\\\\", 0) == 0 || native.size() < 3 || native[1] != ':') return fsPath(native);
  return fsPath("\\\\?\\" + native);
}

}  // namespace

TempDir::TempDir() {
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("quarry-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      m_path = utf8Of(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(longPath(m_path), ec);
}

CwdGuard::CwdGuard(const std::string& dir) {
  m_previous = utf8Of(fs::current_path());
  fs::current_path(fsPath(nativePath(dir)));
}

CwdGuard::~CwdGuard() {
  std::error_code ec;
  fs::current_path(fsPath(m_previous), ec);
}

void writeFile(const std::string& path, const std::string& content) {
  const fs::path p = longPath(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readFile(const std::string& path) {
  std::ifstream in(longPath(path), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(longPath(path), ec));
}

void makeDirs(const std::string& path) { fs::create_directories(longPath(path)); }

bool hasLinuxFileSystem() { return false; }
bool makeFifo(const std::string&) { return false; }
bool makeSymlink(const std::string&, const std::string&) { return false; }
bool setMode(const std::string&, unsigned) { return false; }
void wakeFifoReader(const std::string&) {}

bool statOrLstat(const std::string& path, std::uint64_t& size, std::uint64_t& writeTime) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(longPath(path).wstring().c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  writeTime = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
              data.ftLastWriteTime.dwLowDateTime;
  return true;
}

bool setLastWriteTime(const std::string& path, std::uint64_t fileTime) {
  const std::wstring name = longPath(path).wstring();
  const HANDLE file = ::CreateFileW(name.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(fileTime);
  t.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  const bool ok = ::SetFileTime(file, nullptr, nullptr, &t) != 0;
  ::CloseHandle(file);
  return ok;
}

std::string sourceDir() {
  const char* s = std::getenv("QUARRY_SOURCE_DIR");
  return s ? s : "";
}

std::optional<std::string> runUnprivileged(const std::function<std::string()>&) {
  // Permission bits do not exist here: a test that needs them to bind cannot run.
  return std::nullopt;
}

}  // namespace quarrytest
