#include "dyxcore/workdir.h"

#include <algorithm>

#include "dyxcore/platform.h"

namespace {

// Written once by enter() before any other thread exists; read-only afterwards.
bool g_entered = false;
std::string g_callerDir;

const std::string kSeparator(1, dyxplatform::kPathSeparator);

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(dyxplatform::kPathSeparator);
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash);
}

std::string describe(int error) { return dyxplatform::errorText(error); }

// Removes a tree that this start-up made itself (a copy that lost the race or broke off).
void removeTree(const std::string& path) {
  std::vector<dyxplatform::DirItem> items;
  if (dyxplatform::listDirectory(path, items)) {
    for (const dyxplatform::DirItem& item : items) {
      const std::string child = path + kSeparator + item.name;
      if (item.isDirectory) {
        removeTree(child);
      } else {
        dyxplatform::removeFile(child);
      }
    }
  }
  dyxplatform::removeDirectory(path);
}

}  // namespace

std::string DyxWorkDir::resolve(const std::string& path, const std::string& base,
                                const std::string& home) {
  if (dyxplatform::isAbsolutePath(path)) return path;
  if (path == "~" || path.rfind("~/", 0) == 0 || path.rfind("~" + kSeparator, 0) == 0) {
    return home.empty() ? path : home + path.substr(1);
  }
  if (base.empty()) return path;
  if (path.empty()) return base;
  return base.back() == dyxplatform::kPathSeparator ? base + path : base + kSeparator + path;
}

std::string DyxWorkDir::choose(const DyxStartEnvironment& env) {
  if (!env.quarryHome.empty()) return resolve(env.quarryHome, env.callerDir, env.home);
  if (!env.platformDataDir.empty()) return env.platformDataDir;
  if (dyxplatform::isAbsolutePath(env.xdgDataHome)) return env.xdgDataHome + kSeparator + "quarry";
  if (env.home.empty()) return std::string();
  const std::string home =
      env.home.back() == dyxplatform::kPathSeparator ? env.home : env.home + kSeparator;
  return home + ".local" + kSeparator + "share" + kSeparator + "quarry";
}

std::string DyxWorkDir::defaultConfDir(const std::string& executablePath) {
  if (executablePath.empty()) return std::string();
  // The program lies in PREFIX/bin (or BUILD/cli, BUILD/app): two steps up is the prefix.
  std::string below = kDefaultConfBelowPrefix;
  std::replace(below.begin(), below.end(), '/', dyxplatform::kPathSeparator);
  return parentOf(parentOf(executablePath)) + kSeparator + below;
}

bool DyxWorkDir::copyTree(const std::string& from, const std::string& to, std::string& error) {
  std::vector<dyxplatform::DirItem> items;
  int code = 0;
  if (!dyxplatform::listDirectory(from, items, &code)) {
    error = "cannot read " + from + ": " + describe(code);
    return false;
  }
  if (dyxplatform::pathExists(to)) {
    error = to + " is already there";
    return false;
  }
  if (!dyxplatform::makeDirectory(to, &code)) {
    error = "cannot create " + to + ": " + describe(code);
    return false;
  }
  for (const dyxplatform::DirItem& item : items) {
    const std::string source = from + kSeparator + item.name;
    const std::string target = to + kSeparator + item.name;
    if (item.isDirectory) {
      if (!copyTree(source, target, error)) return false;
      continue;
    }
    // A link to a directory is not followed, so a link loop cannot make the copy endless.
    if (!dyxplatform::isRegularFile(source)) continue;
    std::string content;
    if (!dyxplatform::readWholeFile(source, content, &code)) {
      error = "cannot read " + source + ": " + describe(code);
      return false;
    }
    if (!dyxplatform::writeFileReplacing(target, content, &code)) {
      error = "cannot write " + target + ": " + describe(code);
      return false;
    }
  }
  return true;
}

DyxStartResult DyxWorkDir::prepare(const std::string& workDir, const std::string& defaultConf) {
  DyxStartResult result;
  result.workDir = workDir;
  if (workDir.empty()) {
    result.error = "there is no home directory to keep the working directory in; set QUARRY_HOME";
    return result;
  }
  int code = 0;
  if (!dyxplatform::makeDirectories(workDir, &code)) {
    result.error = "cannot create the working directory " + workDir + ": " + describe(code);
    return result;
  }
  result.ok = true;

  const std::string conf = workDir + kSeparator + "conf";
  if (dyxplatform::isDirectory(conf)) return result;
  const std::string missing = " Views by type, user views, file types and commands are missing.";
  if (dyxplatform::pathExists(conf)) {
    result.warnings.push_back(conf + " is not a directory, so the configuration is not read." +
                              missing);
    return result;
  }
  if (defaultConf.empty() || !dyxplatform::isDirectory(defaultConf)) {
    result.warnings.push_back("no default configuration at " +
                              (defaultConf.empty() ? std::string("(unknown)") : defaultConf) +
                              ", so " + workDir + " has no conf/." + missing);
    return result;
  }
  const std::string temp = conf + ".new" + std::to_string(dyxplatform::processId());
  if (dyxplatform::pathExists(temp)) removeTree(temp);
  std::string error;
  if (!copyTree(defaultConf, temp, error)) {
    removeTree(temp);
    result.warnings.push_back("cannot copy the default configuration into " + workDir + ": " +
                              error + "." + missing);
    return result;
  }
  if (!dyxplatform::renameFile(temp, conf, &code)) {
    removeTree(temp);
    // Another program starting at the same moment put its copy there first.
    if (!dyxplatform::isDirectory(conf)) {
      result.warnings.push_back("cannot put the default configuration in " + conf + ": " +
                                describe(code) + "." + missing);
    }
  }
  return result;
}

DyxStartResult DyxWorkDir::enter() {
  DyxStartEnvironment env;
  env.quarryHome = dyxplatform::environmentVariable("QUARRY_HOME");
  env.xdgDataHome = dyxplatform::environmentVariable("XDG_DATA_HOME");
  env.platformDataDir = dyxplatform::platformDataDirectory(dyxplatform::Env::current());
  env.home = dyxplatform::homeDirectory();
  env.callerDir = dyxplatform::currentDirectory();
  g_callerDir = env.callerDir;
  g_entered = true;

  DyxStartResult result = prepare(choose(env), defaultConfDir(dyxplatform::executablePath()));
  if (!result.ok) return result;
  int code = 0;
  if (!dyxplatform::changeDirectory(result.workDir, &code)) {
    result.ok = false;
    result.error = "cannot enter the working directory " + result.workDir + ": " + describe(code);
    return result;
  }
  if (env.callerDir.empty()) {
    result.warnings.push_back(
        "the current directory cannot be read, so relative paths are taken "
        "from the working directory " +
        result.workDir + ".");
  }
  return result;
}

std::string DyxWorkDir::callerDirectory() {
  return g_entered ? g_callerDir : dyxplatform::currentDirectory();
}

std::string DyxWorkDir::resolveUserPath(const std::string& path) {
  return resolve(path, callerDirectory(), dyxplatform::homeDirectory());
}
