#include "typedpath.h"

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace delvepath {

namespace {

// The home directory of the user `name`, or "" when there is no such user.
std::string homeOfUser(const std::string& name) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::string();
  }
  return found->pw_dir;
}

}  // namespace

std::string resolve(const std::string& text, const std::string& home) {
  if (text.empty()) return text;
  const std::string& path = text;
  if (path[0] == '~') {
    const std::size_t slash = path.find('/');
    const std::string user =
        path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string base = user.empty() ? home : homeOfUser(user);
    if (!base.empty()) {
      return slash == std::string::npos ? base : base + path.substr(slash);
    }
  }
  if (path[0] == '/') return path;
  if (home.empty()) return path;
  return home.back() == '/' ? home + path : home + "/" + path;
}

std::string whyNotListable(const std::string& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle != nullptr) {
    ::closedir(handle);
    return std::string();
  }
  const int error = errno;
  if (error == ENOENT) return "No such folder: " + dir;
  if (error == ENOTDIR) return "Not a folder: " + dir;
  return "Cannot list " + dir + ": " + std::strerror(error);
}

}  // namespace delvepath
