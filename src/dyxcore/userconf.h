// DyxUserConfig: what the front ends make of the user's own configuration beyond the engine's
// start-up, as their own work over the engine's interface:
// - the property files of "conf/properties" (every "*.prp"), loaded into the entry property
//   store at start, and the user properties a criterion names that no file defines;
// - the launcher commands of "conf/app.ini" that apply to a file, run with their results;
// - "conf/pref.ini" read again while the program runs, each changed value announced to the
//   engine's change listeners.
//
// A user property written with a "$" ($rating) is the property of that name without it (rating)
// as well: the loader stores each property of a file under both names, unless the file gives
// the "$" name a value of its own. So criteria name user properties as they name built-in ones.
//
// Ownership: nothing here owns engine objects; the loaded property names and the preference
// file's last values are kept for the process (forgotten by forget()).
//
// Threads: loadPropertyFiles, followPreferences and forget belong to start-up and shutdown (the
// thread that starts the engine, no worker running). rereadPreferences runs on one thread at a
// time, WITHOUT the engine lock held (a listener may start or stop the pool's polling thread).
// runCommand blocks until the program ends and may run on any thread: launches are serialised,
// since they share one result file. The other functions may be called from any thread while the
// engine runs, without the engine lock held.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

class DyxCriterion;

// One launcher command as a front end shows it.
struct DyxCommandChoice {
  std::string name;                      // the command's name in the command file
  std::vector<std::string> resultNames;  // its result variables, without "$", in order
};

// What a command run gave.
struct DyxCommandResult {
  bool started = false;  // the program was found, started and has ended
  // The result variables in the command's order, each with the value read back ("" when the
  // program printed fewer values).
  std::vector<std::pair<std::string, std::string>> values;
  // One line for the user: "lines=3 words=5 bytes=20", or why the command could not run.
  std::string text() const;
  std::string failure;  // why not, when !started
};

// What a re-read of the preference file did.
struct DyxPreferenceReread {
  enum class Outcome {
    kUnchanged,  // the file gives the values in use
    kApplied,    // `changed` names the preferences that took their new value
    kKept,       // the file is damaged, missing or unreadable: the values in use stay
  };
  Outcome outcome = Outcome::kUnchanged;
  std::vector<std::string> changed;   // names, in name order
  std::vector<std::string> problems;  // with kKept: "conf/pref.ini: line 3: ..." texts
  // One line for the user's status line ("" for kUnchanged).
  std::string text() const;
};

class DyxUserConfig {
 public:
  DyxUserConfig() = delete;

  // The directory of the property files, relative to the working directory.
  static constexpr const char* kPropertyDir = "conf/properties";

  // Loads every "*.prp" of kPropertyDir, in name order, into the engine's property store; a
  // later file replaces the values of an earlier one. Each problem of a file is a notice naming
  // the file and its line (kxcore/notice.h); its other lines, and the other files, still load.
  // Answers how many files were read.
  static std::size_t loadPropertyFiles();
  // Whether loadPropertyFiles ran (since the last forget()).
  static bool propertyFilesLoaded();
  // The user properties of `criterion` (comparisons on a name that is not a built-in property)
  // that no loaded file defines, each once, in the order met. Empty before loadPropertyFiles.
  static std::vector<std::string> undefinedProperties(const std::string& criterion);
  // The same for a criterion already parsed.
  static std::vector<std::string> undefinedProperties(const DyxCriterion* root);

  // Every command of the command file, by name.
  static std::vector<DyxCommandChoice> commands();
  // The command of that name; false when the command file has none.
  static bool findCommand(const std::string& name, DyxCommandChoice& command);
  // The commands that apply to the file at `path` (one of the pool's entries): those naming
  // one of its types, in the launcher's order, each once. Empty for a file the pool does not
  // hold.
  static std::vector<DyxCommandChoice> commandsFor(const std::string& path);
  // Runs the command on the file and reads its result variables back. Blocks until the program
  // has ended.
  static DyxCommandResult runCommand(const std::string& name, const std::string& path);

  // Remembers the values "conf/pref.ini" gives now, and makes the trace threshold
  // ("TraceLevel") follow its preference. With the engine started.
  static void followPreferences();
  // Reads "conf/pref.ini" again. When it reads whole, every preference whose value differs
  // from the one in use takes the new one and is announced to its change listeners (a name the
  // file no longer gives reads as "" from then on); otherwise nothing changes. With the engine
  // started.
  static DyxPreferenceReread rereadPreferences();

  // Forgets the loaded property names and the preference file's values (engine shutdown).
  static void forget();
};
