// DyxWorkDir: the directory the programs keep their files in, and the user's own paths.
//
// The engine works relative to the current directory of the process: conf/, trace/, kxlog.log,
// the repository files. So both front ends start by choosing their working directory
// ($QUARRY_HOME, else $XDG_DATA_HOME/quarry, else ~/.local/share/quarry), creating it on first
// use with a copy of the default configuration installed beside the program, and moving the
// process into it. Paths that the user typed belong to the directory the user called from: the
// start-up remembers that directory before it moves, and resolveUserPath takes them from there.
//
// Threads: enter() runs once on the main thread, before any other thread exists, because it
// changes the current directory of the whole process. resolveUserPath and callerDirectory read
// what enter() stored and may be called from any thread afterwards. The other functions keep no
// state and may be called from any thread.
#pragma once

#include <string>
#include <vector>

// What the choice of the working directory depends on, read from the process by enter().
struct DyxStartEnvironment {
  std::string quarryHome;   // $QUARRY_HOME, "" when unset
  std::string xdgDataHome;  // $XDG_DATA_HOME, "" when unset
  std::string home;         // the user's home directory, "" when unknown
  std::string callerDir;    // the current directory at start, "" when it cannot be read
  // The system's own place for the program's data (%LOCALAPPDATA%\Quarry on Windows); ""
  // where the desktop's rules ($XDG_DATA_HOME, ~/.local/share) choose instead.
  std::string platformDataDir;
};

// The outcome of enter(), for the front end to show.
struct DyxStartResult {
  bool ok = false;                    // the process now runs in workDir
  std::string workDir;                // the chosen working directory
  std::string error;                  // why not, when !ok: one line for the user
  std::vector<std::string> warnings;  // things the user must know although it runs, one line each
};

class DyxWorkDir {
 public:
  DyxWorkDir() = delete;

  // Where the default configuration lies for a program installed (or built) at
  // `executablePath`: the folder share/quarry/conf beside the program's bin/ folder. The build
  // tree carries a link of that name to the source tree's conf/.
  static constexpr const char* kDefaultConfBelowPrefix = "share/quarry/conf";

  // The user's `path` as an absolute one: "~" and "~/..." start at `home`, any other relative
  // path at `base`. An absolute path, and a relative one when `base` (or `home` for "~") is
  // unknown, stays as it is. "~name" is a relative name like any other.
  static std::string resolve(const std::string& path, const std::string& base,
                             const std::string& home);
  // The working directory for `env`: QUARRY_HOME resolved as a user's path, else the data home
  // of the freedesktop base directories (an XDG_DATA_HOME that is not absolute is ignored, as
  // those rules ask) followed by "/quarry". "" when there is no home to put it in.
  static std::string choose(const DyxStartEnvironment& env);
  // The default configuration of a program whose file is `executablePath`.
  static std::string defaultConfDir(const std::string& executablePath);
  // Copies the directory tree `from` (directories and regular files; anything else is left
  // out) to `to`, which must not exist. Files are written whole or not at all.
  static bool copyTree(const std::string& from, const std::string& to, std::string& error);
  // Makes `workDir` (with its parents) and, when it has no conf/ yet, gives it a copy of
  // `defaultConf`. A copy is made beside its place and renamed into it, so a program stopped
  // half-way, or two programs starting at once, never leave a partial conf/.
  static DyxStartResult prepare(const std::string& workDir, const std::string& defaultConf);

  // The start-up of a front end: reads the environment, chooses, prepares and enters the
  // working directory, and remembers the caller's directory for resolveUserPath.
  static DyxStartResult enter();

  // `path` resolved against the caller's directory remembered by enter(); before enter() (the
  // command line's library run inside a test), against the current directory.
  static std::string resolveUserPath(const std::string& path);
  static std::string callerDirectory();
};
