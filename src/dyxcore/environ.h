// DyxEnviron: the engine's preference store with change callbacks, plus a few process-wide
// environment facts (separator, views directory, property file names, the "<empty>" text, the
// current directory).
//
// The facade owns the one DyxEnviron object. Preferences are text values under text names,
// loaded from "conf/pref.ini" at start-up; a name the file does not give reads as "", false
// and 0. A change made with setPreference is announced to the callbacks registered for its
// name, on the thread that made the change. No locks: the store is loaded before any worker
// runs, and callers must not change preferences from several threads at once. The static
// environment facts are built once, thread-safely, and may be read from any thread.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "dyxcore/path.h"

// A change callback receives the new value text.
using DyxPreferenceCallback = void (*)(const std::string& value);

class DyxEnviron {
 public:
  DyxEnviron() = default;
  ~DyxEnviron();
  DyxEnviron(const DyxEnviron&) = delete;
  DyxEnviron& operator=(const DyxEnviron&) = delete;

  // Reads "conf/pref.ini" (relative to the current directory): a name, then a value (quoted
  // text or word) per record. Names in the file replace held values; others keep theirs.
  void defaultPreferences();
  // Reads "conf/pref.ini" as defaultPreferences does, into `values` only, and tells nobody: the
  // problems met ("conf/pref.ini: line 3: ...") are appended to `problems`. False when the
  // file is missing or cannot be read (then `problems` says why, unless it is only missing).
  static bool readPreferenceFile(std::map<std::string, std::string>& values,
                                 std::vector<std::string>& problems);
  // Writes every preference as `name "value"` lines to "conf/pref.ini", through a file beside
  // it that is renamed into place. Returns false (with a message) when it could not.
  bool savePreferences() const;
  void clearPreferences();

  std::string getPreference(const std::string& name) const;
  // True for "true" or "TRUE" only.
  bool getBoolPreference(const std::string& name) const;
  // The leading decimal integer of the value; 0 without one.
  int getIntPreference(const std::string& name) const;
  bool hasPreference(const std::string& name) const;

  // Sequences live under the name name + "[" + key + "]", pieces joined with "|".
  bool hasPreferenceSeq(const std::string& name, const std::string& key) const;
  // Empties `list`; when present, fills it with the pieces (empty ones included) and returns
  // true.
  bool getPreferenceSeq(const std::string& name, const std::string& key,
                        std::vector<std::string>& list) const;
  // Leading empty pieces vanish: a "|" goes in only after some text.
  void setPreferenceSeq(const std::string& name, const std::string& key,
                        const std::vector<std::string>& list);

  // Stores the value (an empty name is refused with "Null preference id") and fires the
  // change to the name's callbacks.
  void setPreference(const std::string& name, const std::string& value);
  void setPreference(const std::string& name, const char* value);
  void setPreference(const std::string& name, bool value);
  // Stores the value without announcing it (a caller that announces it later with fireChange,
  // outside the lock it stores under).
  void storePreference(const std::string& name, const std::string& value);

  void addChangeListener(const std::string& name, DyxPreferenceCallback callback);
  // Removes the first equal callback of the name.
  void removeChangeListener(const std::string& name, DyxPreferenceCallback callback);
  void clearAllChangeListener();
  // Calls the name's callbacks in the order they were added. A callback may add or remove
  // callbacks; that takes effect at the next change.
  void fireChange(const std::string& name, const std::string& value);

  const std::map<std::string, std::string>& preferences() const { return m_preferences; }

  // Environment facts.
  static const std::string& getSeparator();  // "/"
  static const std::string& getEmptyText();  // "<empty>"
  static const DyxPath& getViewsDir();       // ./conf/views
  // The process's current directory at the first call; later changes are not seen.
  static const DyxPath& getCurrentDir();
  static std::string getPropertyFileName(const std::string& name);  // name + ".prp"

  void dump(std::ostream& out) const;

 private:
  std::map<std::string, std::string> m_preferences;
  std::map<std::string, std::vector<DyxPreferenceCallback>> m_listeners;
};
