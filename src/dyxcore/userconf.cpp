#include "dyxcore/userconf.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/filter.h"
#include "dyxcore/launch.h"
#include "dyxcore/launcher.h"
#include "dyxcore/mutex.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/propman.h"
#include "kxcore/io.h"

namespace {

const char kPreferenceFileShown[] = "conf/pref.ini";

struct UserConfigState {
  std::mutex mutex;  // guards the members below; never held while the engine is called
  bool propertiesLoaded = false;
  std::set<std::string> definedProperties;
  std::map<std::string, std::string> preferenceFile;  // the values the file gave last
};

// Never destroyed: a worker may still ask while the process ends.
UserConfigState& state() {
  static UserConfigState* const s = new UserConfigState;
  return *s;
}

// Launches share the one result file of the working directory.
std::mutex& launchMutex() {
  static std::mutex* const m = new std::mutex;
  return *m;
}

void onTraceLevel(const std::string& value) { kxout.setThreshold(KXIO::levelFromName(value)); }

DyxCommandChoice choiceOf(const DyxCommand& command) {
  return {command.name(), DyxLaunch::parseResultVariables(command.launch().resultVariables())};
}

// Every comparison of the tree, depth first; the tree is at most kDyxMaxCriterionNesting deep,
// but the walk keeps its own stack all the same.
template <class Visit>
void forEachComparison(const DyxCriterion* root, Visit visit) {
  std::vector<const DyxCriterion*> pending;
  if (root != nullptr) pending.push_back(root);
  while (!pending.empty()) {
    const DyxCriterion* node = pending.back();
    pending.pop_back();
    if (const auto* op = dynamic_cast<const DyxFilterLogicalOperator*>(node)) {
      if (op->getRight() != nullptr) pending.push_back(op->getRight());
      if (op->getLeft() != nullptr) pending.push_back(op->getLeft());
    } else if (const auto* negation = dynamic_cast<const DyxFilterNot*>(node)) {
      if (negation->getChild() != nullptr) pending.push_back(negation->getChild());
    } else if (const auto* comparison = dynamic_cast<const DyxFilterComparison*>(node)) {
      visit(*comparison);
    }
  }
}

}  // namespace

std::string DyxCommandResult::text() const {
  if (!started) return failure;
  std::string out;
  for (const auto& [name, value] : values) {
    if (!out.empty()) out += ' ';
    out += name + "=" + value;
  }
  return out.empty() ? std::string("done") : out;
}

std::string DyxPreferenceReread::text() const {
  std::string out;
  switch (outcome) {
    case Outcome::kUnchanged:
      break;
    case Outcome::kApplied:
      out = std::string("Preferences read again from ") + kPreferenceFileShown + ":";
      for (std::size_t i = 0; i < changed.size(); ++i) out += (i == 0 ? " " : ", ") + changed[i];
      out += " changed";
      break;
    case Outcome::kKept:
      out =
          std::string(kPreferenceFileShown) + " cannot be read whole; the preferences in use stay";
      if (!problems.empty()) out += " (" + problems.front() + ")";
      break;
  }
  return out;
}

std::size_t DyxUserConfig::loadPropertyFiles() {
  KX_SCOPE("DyxUserConfig::loadPropertyFiles");
  std::vector<dyxplatform::DirItem> items;
  // No directory: no user properties, and every criterion naming one is told so.
  dyxplatform::listDirectory(toNativeSeparators(kPropertyDir), items);
  std::vector<std::string> stems;
  for (const dyxplatform::DirItem& item : items) {
    const std::string& name = item.name;
    if (item.isDirectory || name.size() <= 4 || name.compare(name.size() - 4, 4, ".prp") != 0) {
      continue;
    }
    stems.push_back(name.substr(0, name.size() - 4));
  }
  std::sort(stems.begin(), stems.end());

  std::set<std::string> defined;
  {
    DyxEngineLock lock;
    DyxEntryProperty& store = Dyx::getPropertyManager();
    for (const std::string& stem : stems) {
      // Each file on its own first, so that what its notices say it loaded is its own.
      DyxEntryProperty file;
      file.load(toNativeSeparators(std::string(kPropertyDir) + "/" + stem));
      for (const auto& [fileName, record] : file.records()) {
        DyxPropertyRecord* target = store.getRecord(fileName, true);
        if (target == nullptr) continue;
        for (const auto& [key, pair] : record->properties()) target->setValue(key, pair.second);
      }
    }
    // "$rating" answers as "rating" does, unless a file gave it a value of its own.
    for (const auto& [fileName, record] : store.records()) {
      std::vector<std::pair<std::string, std::string>> aliases;
      for (const auto& [key, pair] : record->properties()) {
        defined.insert(key);
        if (key.empty() || key.front() == '$') continue;
        const std::string alias = "$" + key;
        if (record->getValue(alias) == nullptr) aliases.emplace_back(alias, pair.second);
      }
      for (const auto& [alias, value] : aliases) {
        record->setValue(alias, value);
        defined.insert(alias);
      }
    }
  }
  UserConfigState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.definedProperties = std::move(defined);
  s.propertiesLoaded = true;
  return stems.size();
}

bool DyxUserConfig::propertyFilesLoaded() {
  UserConfigState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  return s.propertiesLoaded;
}

std::vector<std::string> DyxUserConfig::undefinedProperties(const std::string& criterion) {
  if (!propertyFilesLoaded()) return {};
  const DyxFilter filter(criterion);
  return undefinedProperties(filter.getRoot());
}

std::vector<std::string> DyxUserConfig::undefinedProperties(const DyxCriterion* root) {
  std::vector<std::string> names;
  UserConfigState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!s.propertiesLoaded) return names;
  forEachComparison(root, [&](const DyxFilterComparison& comparison) {
    if (comparison.getPropertyId() != 0 || !comparison.isValid()) return;
    const std::string& name = comparison.getPropertyName();
    if (s.definedProperties.count(name) != 0) return;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  });
  return names;
}

std::vector<DyxCommandChoice> DyxUserConfig::commands() {
  std::vector<DyxCommandChoice> out;
  for (const auto& [name, command] : Dyx::getLauncher().commands())
    out.push_back(choiceOf(command));
  return out;
}

bool DyxUserConfig::findCommand(const std::string& name, DyxCommandChoice& command) {
  const auto& all = Dyx::getLauncher().commands();
  const auto it = all.find(name);
  if (it == all.end()) return false;
  command = choiceOf(it->second);
  return true;
}

std::vector<DyxCommandChoice> DyxUserConfig::commandsFor(const std::string& path) {
  std::vector<DyxCommand> found;
  Dyx::getLauncher().getCommands(path, found);
  std::vector<DyxCommandChoice> out;
  for (const DyxCommand& command : found) {
    const bool seen = std::any_of(out.begin(), out.end(), [&](const DyxCommandChoice& c) {
      return c.name == command.name();
    });
    if (!seen) out.push_back(choiceOf(command));
  }
  return out;
}

DyxCommandResult DyxUserConfig::runCommand(const std::string& name, const std::string& path) {
  DyxCommandResult result;
  DyxCommandChoice command;
  if (!findCommand(name, command)) {
    result.failure = "No command " + name + " in conf/app.ini.";
    return result;
  }
  std::map<std::string, std::string> variables{{"entry", path}};
  {
    std::lock_guard<std::mutex> guard(launchMutex());
    result.started = Dyx::getLauncher().launch(name, variables);
  }
  if (!result.started) {
    result.failure = "The command " + name + " could not be started.";
    return result;
  }
  for (const std::string& variable : command.resultNames) {
    const auto it = variables.find(variable);
    result.values.emplace_back(variable, it == variables.end() ? std::string() : it->second);
  }
  return result;
}

void DyxUserConfig::followPreferences() {
  std::map<std::string, std::string> values;
  std::vector<std::string> problems;
  DyxEnviron::readPreferenceFile(values, problems);
  Dyx::getEnviron().addChangeListener("TraceLevel", &onTraceLevel);
  UserConfigState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.preferenceFile = std::move(values);
}

DyxPreferenceReread DyxUserConfig::rereadPreferences() {
  KX_SCOPE("DyxUserConfig::rereadPreferences");
  DyxPreferenceReread reread;
  std::map<std::string, std::string> values;
  const bool read = DyxEnviron::readPreferenceFile(values, reread.problems);
  if (!read || !reread.problems.empty()) {
    if (reread.problems.empty())
      reread.problems.push_back(std::string(kPreferenceFileShown) + ": missing");
    reread.outcome = DyxPreferenceReread::Outcome::kKept;
    return reread;
  }
  std::map<std::string, std::string> previous;
  {
    UserConfigState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    previous = s.preferenceFile;
    s.preferenceFile = values;
  }
  // A name the file gave and no longer gives reads as unset.
  for (const auto& [name, value] : previous) values.emplace(name, std::string());

  DyxEnviron& preferences = Dyx::getEnviron();
  std::vector<std::pair<std::string, std::string>> changes;
  {
    // The views read preferences under the engine lock while they file entries.
    DyxEngineLock lock;
    for (const auto& [name, value] : values) {
      const bool known = preferences.hasPreference(name);
      if (known ? preferences.getPreference(name) == value : value.empty()) continue;
      preferences.storePreference(name, value);
      changes.emplace_back(name, value);
    }
  }
  // Outside the lock: the "DynamicUpdate" listener starts or stops the polling thread.
  for (const auto& [name, value] : changes) {
    preferences.fireChange(name, value);
    reread.changed.push_back(name);
  }
  reread.outcome = changes.empty() ? DyxPreferenceReread::Outcome::kUnchanged
                                   : DyxPreferenceReread::Outcome::kApplied;
  return reread;
}

void DyxUserConfig::forget() {
  UserConfigState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.propertiesLoaded = false;
  s.definedProperties.clear();
  s.preferenceFile.clear();
}
