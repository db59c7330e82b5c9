// The Windows environment (built with MinGW-w64): every system call of the engine.
//
// Texts are UTF-8 everywhere above this file; every call below takes UTF-16. Paths reach the
// system in their "\\?\" form, made absolute and normalised here, so that paths longer than 260
// characters work and names that end in a dot or a blank keep them. Errors are reported as the
// errno values the engine already knows (ENOENT, EACCES, ENOSPC, ...). A listing record
// already carries a file's size, times and attributes: the scan reads no file on its own.
#include <windows.h>
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dyxcore/platform.h"

namespace dyxplatform {

namespace {

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;
// The st_mode type bits that FileInfo::mode carries on every system.
constexpr std::uint32_t kModeRegular = 0x8000;
constexpr std::uint32_t kModeDirectory = 0x4000;
constexpr std::uint32_t kModeMask = 0xF000;

void setError(int* error, int value) {
  if (error) *error = value;
}

int errnoOf(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return ENOEXEC;
    case ERROR_NO_UNICODE_TRANSLATION:
      return EILSEQ;
    default:
      return EIO;
  }
}

int lastErrno() { return errnoOf(::GetLastError()); }

// UTF-8 to UTF-16; false for bytes that are not UTF-8 (such a name cannot exist on Windows).
bool widen(std::string_view text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<std::size_t>(n));
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        out.data(), n);
  return true;
}

// UTF-16 to UTF-8. An unpaired surrogate (which NTFS allows in names) becomes U+FFFD.
std::string narrow(const wchar_t* text, std::size_t size) {
  if (size == 0) return std::string();
  const int n =
      ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), n, nullptr, nullptr);
  return out;
}

std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

std::wstring currentDirectoryWide() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0) return std::wstring();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n + 1);
  }
}

// "\\?\X:\a\b" or "\\?\UNC\server\share\a" gives back "X:\a\b" or "\\server\share\a".
std::wstring withoutLongPrefix(const std::wstring& path) {
  if (startsWith(path, L"\\\\?\\UNC\\")) return L"\\" + path.substr(7);
  if (startsWith(path, L"\\\\?\\")) return path.substr(4);
  return path;
}

// The form of `path` that every call below takes: absolute, "\" only, without "." and ".."
// parts, prefixed with "\\?\" (so neither the 260-character limit nor the system's trimming of
// trailing dots and blanks applies). False (with errno) for an empty text or one that is not
// UTF-8.
bool systemPath(const std::string& path, std::wstring& out, int* error) {
  std::wstring w;
  if (path.empty()) {
    setError(error, ENOENT);
    return false;
  }
  if (!widen(path, w)) {
    setError(error, EILSEQ);
    return false;
  }
  if (startsWith(w, L"\\\\?\\") || startsWith(w, L"\\\\.\\")) {
    out = w;
    return true;
  }
  for (wchar_t& c : w) {
    if (c == L'/') c = L'\\';
  }
  std::wstring root;  // "\\?\X:" or "\\?\UNC"
  std::wstring rest;  // what follows, starting with "\"
  const bool drive = w.size() >= 2 && w[1] == L':' &&
                     ((w[0] >= L'A' && w[0] <= L'Z') || (w[0] >= L'a' && w[0] <= L'z'));
  if (drive && (w.size() == 2 || w[2] == L'\\')) {
    root = L"\\\\?\\" + w.substr(0, 2);
    rest = w.substr(2);
  } else if (drive) {
    // "X:name" is relative to the current directory of drive X, which only the system knows.
    const DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
      setError(error, lastErrno());
      return false;
    }
    std::wstring full(n, L'\0');
    const DWORD m = ::GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    full.resize(m);
    return systemPath(narrow(full), out, error);
  } else if (w.size() >= 2 && w[0] == L'\\' && w[1] == L'\\') {
    root = L"\\\\?\\UNC";
    rest = w.substr(1);
  } else {
    const std::wstring cwd = withoutLongPrefix(currentDirectoryWide());
    if (cwd.empty()) {
      setError(error, lastErrno());
      return false;
    }
    if (w[0] == L'\\') {
      // Rooted on the drive (or share) of the current directory.
      if (cwd.size() >= 2 && cwd[1] == L':') {
        root = L"\\\\?\\" + cwd.substr(0, 2);
        rest = w;
      } else {
        return systemPath(narrow(cwd) + "\\" + path, out, error);
      }
    } else {
      return systemPath(narrow(cwd) + "\\" + narrow(w), out, error);
    }
  }
  // Normalise the parts after the root.
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find(L'\\', start);
    if (end == std::wstring::npos) end = rest.size();
    const std::wstring part = rest.substr(start, end - start);
    if (part == L"..") {
      // A share's own two parts stay: ".." cannot climb above "\\server\share".
      const std::size_t keep = root == L"\\\\?\\UNC" ? 2 : 0;
      if (parts.size() > keep) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  out = root;
  for (const std::wstring& part : parts) {
    out += L'\\';
    out += part;
  }
  if (parts.empty()) out += L'\\';
  return true;
}

std::uint64_t fileTimeValue(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool isRealDirectory(DWORD attributes) {
  // A reparse point (a junction or a symbolic link) is never walked into, as a symbolic link
  // is not on Linux: it is an entry like a file.
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void fillInfo(DWORD attributes, const FILETIME& write, const FILETIME& access, DWORD sizeHigh,
              DWORD sizeLow, FileInfo& out) {
  out = FileInfo();
  const bool directory = isRealDirectory(attributes);
  out.size = directory ? 0 : (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
  out.lastWriteTime = fileTimeValue(write);
  out.lastAccessTime = fileTimeValue(access);
  // Windows has no status-change time; a directory's last-write time moves whenever a name
  // inside is added, removed or renamed, which is what the engine asks of it.
  out.changeTime = out.lastWriteTime;
  out.mode = directory ? kModeDirectory : kModeRegular;
  out.linkCount = 1;
}

// Quotes one argument so that CommandLineToArgvW (and the C run-time's parser) read it back
// as exactly one argument with the same text: backslashes count only before a quote.
std::wstring quoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out.push_back(arg[i]);
  }
  out.push_back(L'"');
  return out;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian), valid for every int64 day
// count the engine produces.
void civilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

DWORD attributesOrInvalid(const std::string& path) {
  std::wstring sys;
  if (!systemPath(path, sys, nullptr)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(sys.c_str());
}

bool attributesOf(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data, int* error) {
  std::wstring sys;
  if (!systemPath(path, sys, error)) return false;
  if (!::GetFileAttributesExW(sys.c_str(), GetFileExInfoStandard, &data)) {
    setError(error, lastErrno());
    return false;
  }
  return true;
}

std::string childOf(const std::string& dir, const std::string& name) {
  if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) return dir + name;
  return dir + "\\" + name;
}

FileInfoResult readInfoByPath(const std::string& path, FileInfo& out, int* error) {
  if (path.empty()) {
    setError(error, ENOENT);
    return FileInfoResult::kOpenFailed;
  }
  // The attributes, size and times come from the directory, as a listing gives them: nothing
  // is opened, so a file that another program holds without sharing is described too.
  WIN32_FILE_ATTRIBUTE_DATA data;
  int code = 0;
  if (!attributesOf(path, data, &code)) {
    setError(error, code);
    return code == ENOENT || code == ENOTDIR ? FileInfoResult::kVanished
                                             : FileInfoResult::kLookupFailed;
  }
  fillInfo(data.dwFileAttributes, data.ftLastWriteTime, data.ftLastAccessTime, data.nFileSizeHigh,
           data.nFileSizeLow, out);
  return FileInfoResult::kOk;
}

bool directoryWriteTime(const std::string& path, std::uint64_t& fileTime, int* error) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!attributesOf(path, data, error)) return false;
  fileTime = fileTimeValue(data.ftLastWriteTime);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Handles

// A listing with FindFirstFileExW: the basic record (no short name) in large batches. The
// record of the name given last also answers readFileInfo for that name.
class WindowsDirectory final : public Directory {
 public:
  static std::unique_ptr<Directory> open(const std::string& path, int* error) {
    std::wstring sys;
    if (!systemPath(path, sys, error)) return nullptr;
    std::wstring pattern = sys;
    if (pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    std::unique_ptr<WindowsDirectory> dir(new WindowsDirectory(path));
    dir->m_find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &dir->m_data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (dir->m_find == INVALID_HANDLE_VALUE) {
      const DWORD code = ::GetLastError();
      const DWORD attributes = ::GetFileAttributesW(sys.c_str());
      // The root of an empty drive has not even "." and "..": it is an empty listing.
      if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
          isRealDirectory(attributes)) {
        return dir;
      }
      // The pattern below a file reads as a missing path: the file itself says what it is.
      setError(error, attributes != INVALID_FILE_ATTRIBUTES && !isRealDirectory(attributes)
                          ? ENOTDIR
                          : errnoOf(code));
      return nullptr;
    }
    dir->m_pending = true;
    return dir;
  }
  ~WindowsDirectory() override {
    if (m_find != INVALID_HANDLE_VALUE) ::FindClose(m_find);
  }

  bool next(DirItem& item) override {
    if (m_find == INVALID_HANDLE_VALUE) return false;
    for (;;) {
      if (!m_pending) {
        if (m_error != 0 || m_done) return false;
        if (!::FindNextFileW(m_find, &m_data)) {
          const DWORD code = ::GetLastError();
          if (code != ERROR_NO_MORE_FILES) m_error = errnoOf(code);
          m_done = true;
          m_haveLast = false;
          return false;
        }
      }
      m_pending = false;
      if (std::wcscmp(m_data.cFileName, L".") == 0 || std::wcscmp(m_data.cFileName, L"..") == 0) {
        continue;
      }
      item.name = narrow(m_data.cFileName, std::wcslen(m_data.cFileName));
      item.isDirectory = isRealDirectory(m_data.dwFileAttributes);
      m_lastName = item.name;
      m_haveLast = true;
      return true;
    }
  }
  int error() const override { return m_error; }

  FileInfoResult readFileInfo(const std::string& name, FileInfo& out, int* error) override {
    if (m_haveLast && name == m_lastName) {
      fillInfo(m_data.dwFileAttributes, m_data.ftLastWriteTime, m_data.ftLastAccessTime,
               m_data.nFileSizeHigh, m_data.nFileSizeLow, out);
      return FileInfoResult::kOk;
    }
    return readInfoByPath(childOf(m_path, name), out, error);
  }
  bool changeTime(std::uint64_t& fileTime, int* error) override {
    return directoryWriteTime(m_path, fileTime, error);
  }
  std::unique_ptr<Directory> openChild(const std::string& name, int* error) override {
    return open(childOf(m_path, name), error);
  }

 private:
  explicit WindowsDirectory(std::string path) : m_path(std::move(path)) {}
  const std::string m_path;
  HANDLE m_find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW m_data{};
  bool m_pending = false;  // m_data holds a record that next() has not given yet
  bool m_done = false;
  bool m_haveLast = false;  // m_data describes m_lastName
  std::string m_lastName;
  int m_error = 0;
};

class WindowsSequentialFile final : public SequentialFile {
 public:
  WindowsSequentialFile(HANDLE file, std::uint64_t size) : m_file(file), m_size(size) {}
  ~WindowsSequentialFile() override { ::CloseHandle(m_file); }
  long read(char* buffer, std::size_t size, int* error) override {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(m_file, buffer, want, &got, nullptr)) {
      setError(error, lastErrno());
      return -1;
    }
    return static_cast<long>(got);
  }
  bool seek(std::uint64_t offset, int* error) override {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (::SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN)) return true;
    setError(error, lastErrno());
    return false;
  }
  std::uint64_t size() const override { return m_size; }

 private:
  HANDLE m_file;
  std::uint64_t m_size;
};

class WindowsWritableFile final : public WritableFile {
 public:
  explicit WindowsWritableFile(HANDLE file) : m_file(file) {}
  ~WindowsWritableFile() override {
    if (m_file != INVALID_HANDLE_VALUE) ::CloseHandle(m_file);
  }
  bool append(std::string_view data, int* error) override {
    if (m_file == INVALID_HANDLE_VALUE) return closedError(error);
    while (!data.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(m_file, data.data(), chunk, &written, nullptr)) {
        setError(error, lastErrno());
        return false;
      }
      data.remove_prefix(written);
    }
    return true;
  }
  bool sync(int* error) override {
    if (m_file == INVALID_HANDLE_VALUE) return closedError(error);
    if (::FlushFileBuffers(m_file)) return true;
    setError(error, lastErrno());
    return false;
  }
  bool close(int* error) override {
    if (m_file == INVALID_HANDLE_VALUE) return closedError(error);
    const BOOL ok = ::CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    if (ok) return true;
    setError(error, lastErrno());
    return false;
  }

 private:
  static bool closedError(int* error) {
    setError(error, EBADF);
    return false;
  }
  HANDLE m_file;
};

// How long a burst of changes may take to arrive whole.
constexpr DWORD kSettleMs = 30;
// How often a waiting watch looks whether its directory is still there: a watched directory
// that is deleted does not always complete the pending read.
constexpr DWORD kGoneCheckMs = 250;

// ReadDirectoryChangesW on the directory's handle, overlapped, with an event of its own for
// interrupt(). Whatever the records say, the answer is the same one inotify gives the engine:
// the directory changed and is read again; a batch too large for the buffer arrives as zero
// bytes (the changes were dropped), which needs that same rescan.
class WindowsDirectoryWatch final : public DirectoryWatch {
 public:
  explicit WindowsDirectoryWatch(const std::string& path) : m_path(path) {
    std::wstring sys;
    if (!systemPath(path, sys, &m_error)) return;
    const DWORD attributes = ::GetFileAttributesW(sys.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      m_error = lastErrno();
      return;
    }
    if (!isRealDirectory(attributes)) {
      m_error = ENOTDIR;
      return;
    }
    // Sharing everything: the watch must not keep anybody from renaming or deleting the
    // directory or its files.
    m_directory = ::CreateFileW(
        sys.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    m_changed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (m_directory == INVALID_HANDLE_VALUE || m_changed == nullptr || m_wake == nullptr ||
        !arm()) {
      m_error = lastErrno();
      if (m_error == 0) m_error = EIO;
      return;
    }
    m_valid = true;
  }
  ~WindowsDirectoryWatch() override {
    if (m_pending) {
      ::CancelIoEx(m_directory, &m_overlapped);
      DWORD bytes = 0;
      ::GetOverlappedResult(m_directory, &m_overlapped, &bytes, TRUE);
    }
    if (m_directory != INVALID_HANDLE_VALUE) ::CloseHandle(m_directory);
    if (m_changed != nullptr) ::CloseHandle(m_changed);
    if (m_wake != nullptr) ::CloseHandle(m_wake);
  }
  bool isValid() const override { return m_valid; }
  int error() const override { return m_error; }
  void interrupt() override {
    if (m_wake != nullptr) ::SetEvent(m_wake);
  }

  WaitResult wait(int timeoutMs) override {
    if (!m_valid) return WaitResult::kError;
    const HANDLE handles[2] = {m_wake, m_changed};
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
    for (;;) {
      // Gone since the last wait: the pending read may never complete.
      if (!stillThere()) return WaitResult::kGone;
      DWORD slice = kGoneCheckMs;
      if (timeoutMs >= 0) {
        const ULONGLONG now = ::GetTickCount64();
        slice = static_cast<DWORD>(std::min<ULONGLONG>(slice, deadline > now ? deadline - now : 0));
      }
      const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, slice);
      if (r == WAIT_OBJECT_0) return WaitResult::kInterrupted;
      if (r == WAIT_OBJECT_0 + 1) break;
      if (r != WAIT_TIMEOUT) return WaitResult::kError;
      if (timeoutMs >= 0 && ::GetTickCount64() >= deadline) {
        return stillThere() ? WaitResult::kTimeout : WaitResult::kGone;
      }
    }
    DWORD bytes = 0;
    ::GetOverlappedResult(m_directory, &m_overlapped, &bytes, FALSE);
    m_pending = false;
    ::ResetEvent(m_changed);
    // The changes that follow within a moment (a file's creation, then its data) belong to the
    // same answer: they are taken in too.
    for (int more = 0; more < 16; ++more) {
      if (!stillThere()) return WaitResult::kGone;
      if (!arm()) return stillThere() ? WaitResult::kError : WaitResult::kGone;
      if (::WaitForSingleObject(m_changed, kSettleMs) != WAIT_OBJECT_0) break;
      ::GetOverlappedResult(m_directory, &m_overlapped, &bytes, FALSE);
      m_pending = false;
      ::ResetEvent(m_changed);
    }
    return WaitResult::kChanged;
  }

 private:
  // Asks for the next batch of changes. False when the directory cannot be watched any more.
  bool arm() {
    m_overlapped = OVERLAPPED{};
    m_overlapped.hEvent = m_changed;
    m_pending =
        ::ReadDirectoryChangesW(m_directory, m_buffer, sizeof m_buffer, FALSE,
                                FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                    FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION,
                                nullptr, &m_overlapped, nullptr) != 0;
    return m_pending;
  }
  // Opened, not only looked up: a directory deleted while this watch holds it open is only
  // pending deletion until the handle closes, which a lookup does not tell but an open refuses.
  // A refusal for another reason (another program's lock) leaves the watch on.
  bool stillThere() const {
    std::wstring sys;
    if (!systemPath(m_path, sys, nullptr)) return false;
    const HANDLE handle = ::CreateFileW(
        sys.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_ACCESS_DENIED:  // what a pending deletion answers
        case ERROR_DELETE_PENDING:
          return false;
        default:
          return true;
      }
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool directory =
        ::GetFileInformationByHandle(handle, &info) && isRealDirectory(info.dwFileAttributes);
    ::CloseHandle(handle);
    return directory;
  }

  const std::string m_path;
  bool m_valid = false;
  int m_error = 0;
  HANDLE m_directory = INVALID_HANDLE_VALUE;
  HANDLE m_changed = nullptr;  // manual reset: signalled when the pending read completes
  HANDLE m_wake = nullptr;     // auto reset: one interrupt() ends one wait()
  OVERLAPPED m_overlapped{};
  bool m_pending = false;
  alignas(DWORD) char m_buffer[16384];
};

// The identity of an open file: its volume and its index on that volume.
struct FileIdentity {
  DWORD volume = 0;
  std::uint64_t index = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

bool identityOf(HANDLE handle, FileIdentity& out, DWORD* attributes = nullptr) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  out.volume = info.dwVolumeSerialNumber;
  out.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  if (attributes != nullptr) *attributes = info.dwFileAttributes;
  return true;
}

// Opens a directory for watching or for a look at its identity, sharing everything, so that
// nobody is kept from renaming or deleting it or its files. A reparse point is opened itself,
// never followed.
HANDLE openDirectoryHandle(const std::wstring& sys, DWORD access, DWORD flags) {
  return ::CreateFileW(sys.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

// Watches over ReadDirectoryChangesW, one overlapped read per directory, all completing on one
// I/O completion port that a single thread waits on (so no limit of 64 handles applies);
// interrupt() posts a packet of its own to the same port.
//
// What the system tells differs from inotify, and is turned into the same events:
// - A record names a file but not its type. A removed or renamed-away name is a directory when
//   it is watched here; any other name is looked up.
//   - Each directory has its own buffer, so a batch that did not fit (zero bytes, or
//     ERROR_NOTIFY_ENUM_DIR) lost the changes of that directory only: it is reported as a
//     change of the directory itself, which the watcher answers by reading it again.
// - A directory moved away says nothing on its own handle: its parent's record of the name
//   going tells it when the parent is watched here, and a directory without a watched parent
//   is looked for by its path every second. A deleted directory completes its read with an
//   error; so does one whose volume goes. Either ends the watch (kSelfGone | kWatchEnded).
// - Pending reads are cancelled when the thread that started them ends; such a read is started
//   again and its directory reported as changed, since what happened meanwhile is unknown.
class WindowsDirectoryWatchSet final : public DirectoryWatchSet {
 public:
  WindowsDirectoryWatchSet() {
    m_port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (m_port == nullptr) m_error = lastErrno();
  }
  ~WindowsDirectoryWatchSet() override {
    if (m_port == nullptr) return;
    // Every read must have completed before its buffer and OVERLAPPED go.
    std::size_t pending = 0;
    for (auto& [id, watch] : m_watches) {
      if (watch->pending) {
        ::CancelIoEx(watch->handle, &watch->overlapped);
        ++pending;
      }
    }
    const ULONGLONG end = ::GetTickCount64() + kDrainMs;
    while (pending > 0 && ::GetTickCount64() < end) {
      OVERLAPPED_ENTRY entries[kEntries];
      ULONG count = 0;
      if (!::GetQueuedCompletionStatusEx(m_port, entries, kEntries, &count, kDrainMs, FALSE)) break;
      for (ULONG i = 0; i < count; ++i) {
        if (entries[i].lpOverlapped != nullptr) --pending;
      }
    }
    for (auto& [id, watch] : m_watches) {
      ::CloseHandle(watch->handle);
      // A read that never completed keeps its buffer and OVERLAPPED (a leak, and only when the
      // system does not answer a cancel): freed, they could be written into after reuse.
      if (watch->pending) (void)watch.release();
    }
    ::CloseHandle(m_port);
  }
  bool isValid() const override { return m_port != nullptr; }
  int error() const override { return m_error; }

  int add(const std::string& path, int* error) override {
    if (!isValid()) {
      setError(error, m_error);
      return -1;
    }
    std::wstring sys;
    if (!systemPath(path, sys, error)) return -1;
    const HANDLE handle = openDirectoryHandle(sys, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE) {
      setError(error, lastErrno());
      return -1;
    }
    FileIdentity identity;
    DWORD attributes = 0;
    if (!identityOf(handle, identity, &attributes)) {
      setError(error, lastErrno());
      ::CloseHandle(handle);
      return -1;
    }
    if (!isRealDirectory(attributes)) {
      setError(error, ENOTDIR);
      ::CloseHandle(handle);
      return -1;
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    auto same = m_byIdentity.find(identity);
    if (same != m_byIdentity.end()) {
      // Watched already, maybe under the name it had before a rename: the watch now answers
      // for this path.
      ::CloseHandle(handle);
      Watch& watch = *m_watches.at(same->second);
      m_byPath.erase(watch.path);
      watch.path = sys;
      m_byPath[sys] = watch.id;
      m_topsChanged = true;
      return watch.id;
    }
    auto watch = std::make_unique<Watch>();
    watch->id = m_nextId;
    watch->handle = handle;
    watch->path = sys;
    watch->identity = identity;
    if (::CreateIoCompletionPort(handle, m_port, static_cast<ULONG_PTR>(watch->id), 0) == nullptr ||
        !arm(*watch)) {
      setError(error, lastErrno());
      ::CloseHandle(handle);
      return -1;
    }
    ++m_nextId;
    m_byIdentity[identity] = watch->id;
    m_byPath[sys] = watch->id;
    m_topsChanged = true;
    const int id = watch->id;
    m_watches[id] = std::move(watch);
    return id;
  }

  void remove(int id) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_watches.find(id);
    if (it == m_watches.end() || it->second->removed) return;
    Watch& watch = *it->second;
    forgetLocked(watch);
    watch.removed = true;
    // Its read completes as cancelled (or with what it had), and the watch ends there.
    ::CancelIoEx(watch.handle, &watch.overlapped);
  }

  void interrupt() override {
    if (m_port == nullptr || m_wakePosted.exchange(true)) return;
    ::PostQueuedCompletionStatus(m_port, 0, kWakeKey, nullptr);
  }

  WaitResult wait(int timeoutMs, std::vector<Event>& events) override {
    if (!isValid()) return WaitResult::kError;
    if (m_wokenAfterEvents) {
      m_wokenAfterEvents = false;
      return WaitResult::kInterrupted;
    }
    const std::size_t before = events.size();
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
    for (;;) {
      const ULONGLONG now = ::GetTickCount64();
      DWORD slice = INFINITE;
      if (timeoutMs >= 0) slice = static_cast<DWORD>(deadline > now ? deadline - now : 0);
      if (hasTops()) {
        const ULONGLONG untilCheck = m_nextTopCheck > now ? m_nextTopCheck - now : 0;
        slice = static_cast<DWORD>(std::min<ULONGLONG>(slice, untilCheck));
      }
      OVERLAPPED_ENTRY entries[kEntries];
      ULONG count = 0;
      if (!::GetQueuedCompletionStatusEx(m_port, entries, kEntries, &count, slice, FALSE)) {
        if (::GetLastError() != WAIT_TIMEOUT) return WaitResult::kError;
        count = 0;
      }
      bool woken = false;
      std::vector<Record> records;
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (ULONG i = 0; i < count; ++i) {
          if (entries[i].lpCompletionKey == kWakeKey) {
            m_wakePosted.store(false);
            woken = true;
          } else {
            completedLocked(static_cast<int>(entries[i].lpCompletionKey), records, events);
          }
        }
      }
      typeRecords(records, events);
      if (::GetTickCount64() >= m_nextTopCheck) {
        checkTops(events);
        m_nextTopCheck = ::GetTickCount64() + kTopCheckMs;
      }
      if (woken) {
        if (events.size() == before) return WaitResult::kInterrupted;
        // The events read are handed over now; the interrupt answers the next wait.
        m_wokenAfterEvents = true;
        return WaitResult::kEvents;
      }
      if (events.size() > before) return WaitResult::kEvents;
      if (timeoutMs >= 0 && ::GetTickCount64() >= deadline) return WaitResult::kTimeout;
    }
  }

 private:
  static constexpr ULONG_PTR kWakeKey = ~static_cast<ULONG_PTR>(0);
  static constexpr ULONG kEntries = 64;
  static constexpr DWORD kBufferBytes = 8192;
  static constexpr DWORD kDrainMs = 2000;
  static constexpr ULONGLONG kTopCheckMs = 1000;

  struct Watch {
    int id = -1;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path;  // system form
    FileIdentity identity;
    OVERLAPPED overlapped{};
    bool pending = false;   // a read is outstanding: the buffer and OVERLAPPED are the system's
    bool removed = false;   // remove() asked for its end; it ends when its read completes
    bool goneTold = false;  // kSelfGone reported already
    std::unique_ptr<DWORD[]> buffer{new DWORD[kBufferBytes / sizeof(DWORD)]};
  };
  // A record whose name needs a look at the system to say whether it names a directory.
  struct Record {
    std::size_t event;  // index into the caller's events
    std::wstring child;
  };

  // Asks for the next batch of changes.
  bool arm(Watch& watch) {
    watch.overlapped = OVERLAPPED{};
    watch.pending =
        ::ReadDirectoryChangesW(watch.handle, watch.buffer.get(), kBufferBytes, FALSE,
                                FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                    FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION |
                                    FILE_NOTIFY_CHANGE_SECURITY,
                                nullptr, &watch.overlapped, nullptr) != 0;
    return watch.pending;
  }

  // Takes a watch out of the lookups: nothing new is said of it.
  void forgetLocked(Watch& watch) {
    auto byIdentity = m_byIdentity.find(watch.identity);
    if (byIdentity != m_byIdentity.end() && byIdentity->second == watch.id) {
      m_byIdentity.erase(byIdentity);
    }
    auto byPath = m_byPath.find(watch.path);
    if (byPath != m_byPath.end() && byPath->second == watch.id) m_byPath.erase(byPath);
    m_topsChanged = true;
  }

  // Ends a watch whose read has completed: its handle and buffer go.
  void endLocked(int id) {
    auto it = m_watches.find(id);
    if (it == m_watches.end()) return;
    if (!it->second->removed) forgetLocked(*it->second);
    ::CloseHandle(it->second->handle);
    m_watches.erase(it);
  }

  void completedLocked(int id, std::vector<Record>& records, std::vector<Event>& events) {
    auto it = m_watches.find(id);
    if (it == m_watches.end()) return;
    Watch& watch = *it->second;
    DWORD bytes = 0;
    const bool ok = ::GetOverlappedResult(watch.handle, &watch.overlapped, &bytes, FALSE) != 0;
    const DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
    watch.pending = false;
    if (watch.removed) {
      events.push_back(Event{id, kWatchEnded, false, std::string()});
      endLocked(id);
      return;
    }
    if (ok && bytes > 0) {
      parseLocked(watch, bytes, records, events);
    } else if ((ok && bytes == 0) || code == ERROR_NOTIFY_ENUM_DIR ||
               code == ERROR_OPERATION_ABORTED) {
      // Changes of this directory were lost (its buffer overflowed, or the thread that started
      // the read ended): the directory is read again.
      events.push_back(Event{id, kModified, false, std::string()});
    } else {
      // Deleted (a pending deletion answers ERROR_ACCESS_DENIED), or its volume went.
      events.push_back(Event{id, kSelfGone | kWatchEnded, false, std::string()});
      endLocked(id);
      return;
    }
    if (!arm(watch)) {
      events.push_back(
          Event{id, (watch.goneTold ? 0u : kSelfGone) | kWatchEnded, false, std::string()});
      endLocked(id);
    }
  }

  void parseLocked(Watch& watch, DWORD bytes, std::vector<Record>& records,
                   std::vector<Event>& events) {
    const char* base = reinterpret_cast<const char*>(watch.buffer.get());
    constexpr std::size_t kHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    bytes = std::min(bytes, kBufferBytes);
    for (DWORD offset = 0; offset < bytes && bytes - offset >= kHeader;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + offset);
      if (record->FileNameLength > bytes - offset - kHeader) break;
      const std::size_t length = record->FileNameLength / sizeof(WCHAR);
      Event out;
      out.watch = watch.id;
      out.name = narrow(record->FileName, length);
      switch (record->Action) {
        case FILE_ACTION_ADDED:
          out.what = kCreated;
          break;
        case FILE_ACTION_REMOVED:
          out.what = kDeleted;
          break;
        case FILE_ACTION_MODIFIED:
          // Content, size, times and attributes alike.
          out.what = kModified | kAttributes;
          break;
        case FILE_ACTION_RENAMED_OLD_NAME:
          out.what = kMovedFrom;
          break;
        case FILE_ACTION_RENAMED_NEW_NAME:
          out.what = kMovedTo;
          break;
        default:
          break;
      }
      if (out.what != 0 && !out.name.empty()) {
        std::wstring child = watch.path;
        if (child.back() != L'\\') child += L'\\';
        child.append(record->FileName, length);
        auto watched = m_byPath.find(child);
        if (watched != m_byPath.end()) {
          out.isDirectory = true;
          events.push_back(std::move(out));
          // A watched sub-directory whose name went: deleted or moved away.
          if (events.back().what & (kDeleted | kMovedFrom)) {
            Watch& gone = *m_watches.at(watched->second);
            if (!gone.goneTold) {
              gone.goneTold = true;
              events.push_back(Event{gone.id, kSelfGone, false, std::string()});
            }
          }
        } else {
          events.push_back(std::move(out));
          // A name that is gone cannot be looked up; one that is there is, below.
          if (!(events.back().what & (kDeleted | kMovedFrom))) {
            records.push_back(Record{events.size() - 1, std::move(child)});
          }
        }
      }
      if (record->NextEntryOffset == 0) break;
      offset += record->NextEntryOffset;
    }
  }

  // Says which of the names are directories (without the lock: each is a look at the system).
  static void typeRecords(const std::vector<Record>& records, std::vector<Event>& events) {
    for (const Record& record : records) {
      const DWORD attributes = ::GetFileAttributesW(record.child.c_str());
      events[record.event].isDirectory =
          attributes != INVALID_FILE_ATTRIBUTES && isRealDirectory(attributes);
    }
  }

  bool hasTops() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_topsChanged) {
      // A watch whose parent is watched here learns of its end from its parent's records.
      m_tops.clear();
      for (const auto& [path, id] : m_byPath) {
        const std::size_t slash = path.find_last_of(L'\\');
        if (slash == std::wstring::npos || m_byPath.count(path.substr(0, slash)) == 0) {
          m_tops.push_back(id);
        }
      }
      m_topsChanged = false;
    }
    return !m_tops.empty();
  }

  // Looks whether each watched directory without a watched parent still is where it was.
  void checkTops(std::vector<Event>& events) {
    std::vector<std::pair<int, std::wstring>> tops;
    std::vector<FileIdentity> identities;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (int id : m_tops) {
        auto it = m_watches.find(id);
        if (it == m_watches.end() || it->second->removed || it->second->goneTold) continue;
        tops.emplace_back(id, it->second->path);
        identities.push_back(it->second->identity);
      }
    }
    std::vector<int> gone;
    for (std::size_t i = 0; i < tops.size(); ++i) {
      const HANDLE handle = openDirectoryHandle(tops[i].second, FILE_READ_ATTRIBUTES, 0);
      if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
            code == ERROR_ACCESS_DENIED || code == ERROR_DELETE_PENDING) {
          gone.push_back(tops[i].first);
        }
        continue;
      }
      FileIdentity now;
      // Another directory under the name: the watched one was moved away.
      if (identityOf(handle, now) && now != identities[i]) gone.push_back(tops[i].first);
      ::CloseHandle(handle);
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    for (int id : gone) {
      auto it = m_watches.find(id);
      if (it == m_watches.end() || it->second->removed || it->second->goneTold) continue;
      it->second->goneTold = true;
      events.push_back(Event{id, kSelfGone, false, std::string()});
    }
  }

  HANDLE m_port = nullptr;
  int m_error = 0;
  std::atomic<bool> m_wakePosted{false};
  // The waiting thread only.
  bool m_wokenAfterEvents = false;
  ULONGLONG m_nextTopCheck = 0;

  std::mutex m_mutex;                               // guards what follows
  std::map<int, std::unique_ptr<Watch>> m_watches;  // also removed ones until their read ends
  std::map<FileIdentity, int> m_byIdentity;         // live watches
  std::map<std::wstring, int> m_byPath;             // live watches
  std::vector<int> m_tops;  // live watches without a watched parent (when !m_topsChanged)
  bool m_topsChanged = false;
  int m_nextId = 0;
};

std::atomic<unsigned> g_closedAtStart{0};

bool hasSeparator(const std::string& name) {
  return name.find_first_of("\\/") != std::string::npos || (name.size() >= 2 && name[1] == ':');
}

// ---------------------------------------------------------------------------------------------

class WindowsEnv final : public Env {
 public:
  std::unique_ptr<Directory> openDirectory(const std::string& path, int* error) override {
    return WindowsDirectory::open(path, error);
  }
  FileInfoResult readFileInfo(const std::string& path, FileInfo& out, int* error) override {
    return readInfoByPath(path, out, error);
  }
  bool directoryChangeTime(const std::string& path, std::uint64_t& fileTime, int* error) override {
    return directoryWriteTime(path, fileTime, error);
  }
  bool pathExists(const std::string& path) override {
    return attributesOrInvalid(path) != INVALID_FILE_ATTRIBUTES;
  }
  bool isDirectory(const std::string& path) override {
    const DWORD a = attributesOrInvalid(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  bool isRegularFile(const std::string& path) override {
    const DWORD a = attributesOrInvalid(path);
    return a != INVALID_FILE_ATTRIBUTES &&
           (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  }

  std::unique_ptr<SequentialFile> openSequentialFile(const std::string& path, int* error) override {
    std::wstring sys;
    if (!systemPath(path, sys, error)) return nullptr;
    const DWORD attributes = ::GetFileAttributesW(sys.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      setError(error, lastErrno());
      return nullptr;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      setError(error, EISDIR);
      return nullptr;
    }
    // Shared with every other opener, as a file is on Linux: a reader never keeps a file from
    // being written, renamed or deleted.
    const HANDLE file = ::CreateFileW(
        sys.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      setError(error, lastErrno());
      return nullptr;
    }
    LARGE_INTEGER size{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size)) {
      ::CloseHandle(file);
      setError(error, EINVAL);
      return nullptr;
    }
    return std::make_unique<WindowsSequentialFile>(file, static_cast<std::uint64_t>(size.QuadPart));
  }

  std::unique_ptr<WritableFile> newWritableFile(const std::string& path, int* error) override {
    std::wstring sys;
    if (!systemPath(path, sys, error)) return nullptr;
    const HANDLE file =
        ::CreateFileW(sys.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const int code = lastErrno();
      // A directory under the name is refused as access denied: said as on Linux.
      const DWORD a = ::GetFileAttributesW(sys.c_str());
      setError(error,
               code == EACCES && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? EISDIR
                   : code);
      return nullptr;
    }
    return std::make_unique<WindowsWritableFile>(file);
  }

  bool renameFile(const std::string& from, const std::string& to, int* error) override {
    std::wstring a;
    std::wstring b;
    if (!systemPath(from, a, error) || !systemPath(to, b, error)) return false;
    const DWORD target = ::GetFileAttributesW(b.c_str());
    // A directory under the target's name is never replaced (Wine would replace an empty one).
    if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      setError(error, EISDIR);
      return false;
    }
    // An existing file is replaced with ReplaceFileW, which keeps its attributes and security;
    // a new name is moved into place. Both replace in one step.
    if (target != INVALID_FILE_ATTRIBUTES &&
        ::ReplaceFileW(b.c_str(), a.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                       nullptr)) {
      return true;
    }
    if (::MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    setError(error, lastErrno());
    return false;
  }
  bool removeFile(const std::string& path, int* error) override {
    std::wstring sys;
    if (!systemPath(path, sys, error)) return false;
    if (::DeleteFileW(sys.c_str())) return true;
    setError(error, lastErrno());
    return false;
  }
  bool makeDirectory(const std::string& path, int* error) override {
    std::wstring sys;
    if (!systemPath(path, sys, error)) return false;
    if (::CreateDirectoryW(sys.c_str(), nullptr)) return true;
    const int code = lastErrno();
    if (code == EEXIST && isDirectory(path)) return true;
    setError(error, code);
    return false;
  }
  bool removeDirectory(const std::string& path, int* error) override {
    std::wstring sys;
    if (!systemPath(path, sys, error)) return false;
    if (::RemoveDirectoryW(sys.c_str())) return true;
    setError(error, lastErrno());
    return false;
  }
  std::string currentDirectory() override {
    return narrow(withoutLongPrefix(currentDirectoryWide()));
  }
  bool changeDirectory(const std::string& path, int* error) override {
    std::wstring w;
    if (path.empty() || !widen(path, w)) {
      setError(error, path.empty() ? ENOENT : EILSEQ);
      return false;
    }
    std::replace(w.begin(), w.end(), L'/', L'\\');
    if (::SetCurrentDirectoryW(w.c_str())) return true;
    setError(error, lastErrno());
    return false;
  }
  std::unique_ptr<DirectoryWatch> watchDirectory(const std::string& path) override {
    return std::make_unique<WindowsDirectoryWatch>(path);
  }
  std::unique_ptr<DirectoryWatchSet> newWatchSet() override {
    return std::make_unique<WindowsDirectoryWatchSet>();
  }

  std::string findProgram(const std::string& name) override {
    if (name.empty()) return std::string();
    if (hasSeparator(name)) return isRegularFile(name) ? name : std::string();
    std::wstring wname;
    if (!widen(name, wname)) return std::string();
    // The system's own search order; no extension is added to the name.
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = ::SearchPathW(nullptr, wname.c_str(), nullptr,
                                    static_cast<DWORD>(found.size()), found.data(), nullptr);
      if (n == 0) return std::string();
      if (n < found.size()) {
        found.resize(n);
        break;
      }
      found.resize(n);
    }
    const std::string path = narrow(withoutLongPrefix(found));
    return isRegularFile(path) ? path : std::string();
  }

  SpawnResult spawnProcess(const std::string& program, const std::vector<std::string>& argv,
                           bool wait, const std::string& stdoutFile) override {
    SpawnResult result;
    std::wstring application;
    if (!widen(program, application)) {
      result.error = EILSEQ;
      return result;
    }
    // Each argument quoted so that CommandLineToArgvW gives it back as exactly one argument.
    std::wstring commandLine;
    const std::vector<std::string> args = argv.empty() ? std::vector<std::string>{program} : argv;
    for (const std::string& arg : args) {
      std::wstring w;
      if (!widen(arg, w)) {
        result.error = EILSEQ;
        return result;
      }
      if (!commandLine.empty()) commandLine += L' ';
      commandLine += quoteArgument(w);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    BOOL inherit = FALSE;
    if (wait) {
      // The program reads nothing (a program that waits for input cannot hang the caller) and,
      // when asked, writes its standard output to the file.
      SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                            OPEN_EXISTING, 0, nullptr);
      if (!stdoutFile.empty()) {
        std::wstring sys;
        if (!systemPath(stdoutFile, sys, &result.error)) {
          if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
          return result;
        }
        output = ::CreateFileW(sys.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
          result.error = lastErrno();
          if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
          return result;
        }
      }
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdInput = input;
      startup.hStdOutput =
          output != INVALID_HANDLE_VALUE ? output : ::GetStdHandle(STD_OUTPUT_HANDLE);
      startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
      inherit = TRUE;
    }
    const BOOL started =
        ::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, inherit,
                         wait ? 0 : CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
    const int startError = started ? 0 : lastErrno();
    if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
    if (output != INVALID_HANDLE_VALUE) ::CloseHandle(output);
    if (!started) {
      result.error = startError;
      return result;
    }
    result.started = true;
    result.pid = static_cast<long>(process.dwProcessId);
    if (wait) {
      DWORD code = 0;
      if (::WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
          ::GetExitCodeProcess(process.hProcess, &code)) {
        result.exitCode = static_cast<int>(code);
      }
    }
    // Nothing tracks a started program: its handles go at once, so nothing of it stays behind.
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return result;
  }

  int processId() override { return static_cast<int>(::GetCurrentProcessId()); }
  // Windows has no permission bits for an administrator to pass over: access is decided by
  // the files' access lists, which bind every user the engine meets.
  bool isPrivileged() override { return false; }
  std::string environmentVariable(const char* name) override {
    std::wstring wname;
    if (name == nullptr || !widen(name, wname) || wname.empty()) return std::string();
    std::wstring value(256, L'\0');
    for (;;) {
      const DWORD n =
          ::GetEnvironmentVariableW(wname.c_str(), value.data(), static_cast<DWORD>(value.size()));
      if (n == 0) return std::string();
      if (n < value.size()) {
        value.resize(n);
        return narrow(value);
      }
      value.resize(n);
    }
  }
  std::string homeDirectory() override {
    std::string home = environmentVariable("USERPROFILE");
    if (!home.empty()) return home;
    const std::string drive = environmentVariable("HOMEDRIVE");
    const std::string path = environmentVariable("HOMEPATH");
    return path.empty() ? std::string() : drive + path;
  }
  std::string executablePath() override {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n =
          ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return std::string();
      if (n < buffer.size()) {
        buffer.resize(n);
        return narrow(withoutLongPrefix(buffer));
      }
      if (buffer.size() > (1u << 16)) return std::string();
      buffer.resize(buffer.size() * 2);
    }
  }
  void openClosedStandardDescriptors() override {
    for (int fd = 0; fd <= 2; ++fd) {
      const intptr_t handle = ::_get_osfhandle(fd);
      if (handle != -1 && handle != -2) continue;
      g_closedAtStart.fetch_or(1u << fd);
      const int opened = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
      if (opened >= 0 && opened != fd) {
        ::_dup2(opened, fd);
        ::_close(opened);
      }
    }
  }
  bool wasClosedAtStart(int fd) override {
    return fd >= 0 && fd <= 2 && (g_closedAtStart.load() & (1u << fd)) != 0;
  }

  std::int64_t nowUnixSeconds() override {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return unixSecondsFromFileTime(fileTimeValue(now));
  }
  bool toCalendarUtc(std::int64_t unixSeconds, CalendarTime& out) override {
    constexpr std::int64_t kDay = 86400;
    std::int64_t days = unixSeconds / kDay;
    std::int64_t rest = unixSeconds % kDay;
    if (rest < 0) {
      rest += kDay;
      --days;
    }
    // The C library's limit on Linux: a year that does not fit an int has no calendar date.
    if (days > 365LL * INT_MAX / 2 || days < -365LL * INT_MAX / 2) return false;
    civilFromDays(days, out.year, out.month, out.day);
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest / 60 % 60);
    out.second = static_cast<int>(rest % 60);
    return true;
  }
  std::string errorText(int error) override {
    // The C run-time keeps the text per thread.
    const char* text = std::strerror(error);
    return text ? std::string(text) : std::string("Unknown error ") + std::to_string(error);
  }
};

}  // namespace

bool FileInfo::isRegular() const { return (mode & kModeMask) == kModeRegular; }
bool FileInfo::isDirectory() const { return (mode & kModeMask) == kModeDirectory; }

Env& Env::system() {
  static WindowsEnv env;
  return env;
}

bool processWorksIn(int pid, const std::string& dir) {
  (void)dir;
  if (pid <= 0) return false;
  // Another process's current directory cannot be read here: a process that still runs is
  // taken to be ours, so that a save it may be writing is never removed under it.
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = ::GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
  ::CloseHandle(process);
  return running;
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(narrow(wide[i], std::wcslen(wide[i])));
  ::LocalFree(wide);
  return args;
}

Utf8Console::Utf8Console() : m_previous(::GetConsoleOutputCP()) {
  if (m_previous != 0 && m_previous != CP_UTF8) ::SetConsoleOutputCP(CP_UTF8);
  // The bytes go out as written: lines end in "\n" as on Linux, so TSV and JSON are the same
  // files on both systems.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

Utf8Console::~Utf8Console() {
  if (m_previous != 0 && m_previous != CP_UTF8) ::SetConsoleOutputCP(m_previous);
}

bool openWithAssociatedApplication(const std::string& path, int* error) {
  std::wstring sys;
  if (!widen(path, sys)) {
    setError(error, EILSEQ);
    return false;
  }
  std::replace(sys.begin(), sys.end(), L'/', L'\\');
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // No window of ours to own error dialogs: a failure is reported to the caller instead.
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  info.lpFile = sys.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) {
    setError(error, lastErrno());
    return false;
  }
  return true;
}

}  // namespace dyxplatform
