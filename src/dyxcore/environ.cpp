#include "dyxcore/environ.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "dyxcore/conffile.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"
#include "kxcore/value.h"

namespace {

const char kPreferenceFile[] = "conf/pref.ini";

std::string sequenceName(const std::string& name, const std::string& key) {
  return name + "[" + key + "]";
}

}  // namespace

DyxEnviron::~DyxEnviron() {
  m_preferences.clear();
  m_listeners.clear();
}

namespace {

// The records of the preference file: a name, then its value on the same line.
void readPreferenceRecords(DyxConfigFile& file, std::map<std::string, std::string>& values) {
  std::istream& in = file.stream();
  std::string name;
  while (in >> name) {
    // A value whose closing quote is missing (such as "C:\data\", whose last quote is
    // escaped) loses the rest of its line, which then cannot shift every following record by
    // one token.
    const std::size_t at = file.position();
    bool onItsLine = true;
    values[name] = file.readRecordValue(name, true, &onItsLine).text();
    if (!onItsLine)
      file.problem(at,
                   "the preference " + DyxConfigFile::quoted(name) + " has no value on its line");
    if (!in) {
      // The value read hit the end of the file: nothing follows.
      if (in.eof()) break;
      in.clear();
    }
  }
}

}  // namespace

void DyxEnviron::defaultPreferences() {
  KX_SCOPE("DyxEnviron::defaultPreferences");
  DyxConfigFile file(toNativeSeparators(kPreferenceFile), DyxConfigFile::kPlainText);
  if (!file.isOpen()) {
    KX_POS(kxerr) << "Cannot open the preference file: " << kPreferenceFile << endl;
    return;
  }
  readPreferenceRecords(file, m_preferences);
}

bool DyxEnviron::readPreferenceFile(std::map<std::string, std::string>& values,
                                    std::vector<std::string>& problems) {
  DyxConfigFile file(toNativeSeparators(kPreferenceFile),
                     DyxConfigFile::kPlainText | DyxConfigFile::kQuiet);
  if (file.isOpen()) readPreferenceRecords(file, values);
  problems.insert(problems.end(), file.quietProblems().begin(), file.quietProblems().end());
  return file.isOpen();
}

bool DyxEnviron::savePreferences() const {
  std::string content;
  for (const auto& [name, value] : m_preferences) {
    content += name;
    content += ' ';
    content += quote(value);
    content += '\n';
  }
  const std::string target = toNativeSeparators(kPreferenceFile);
  return DyxConfigFile::save(target, content, target,
                             std::string("Cannot save the preference file: ") + kPreferenceFile,
                             "the preferences were");
}

void DyxEnviron::clearPreferences() {
  KX_SCOPE("DyxEnviron::clearPreferences");
  m_preferences.clear();
}

std::string DyxEnviron::getPreference(const std::string& name) const {
  const auto it = m_preferences.find(name);
  return it == m_preferences.end() ? std::string() : it->second;
}

bool DyxEnviron::getBoolPreference(const std::string& name) const {
  return KxValue(getPreference(name)).toBool();
}

int DyxEnviron::getIntPreference(const std::string& name) const {
  return KxValue(getPreference(name)).toInt();
}

bool DyxEnviron::hasPreference(const std::string& name) const {
  return m_preferences.count(name) != 0;
}

bool DyxEnviron::hasPreferenceSeq(const std::string& name, const std::string& key) const {
  return hasPreference(sequenceName(name, key));
}

bool DyxEnviron::getPreferenceSeq(const std::string& name, const std::string& key,
                                  std::vector<std::string>& list) const {
  KX_SCOPE("DyxEnviron::getPreferenceSeq");
  kxout << kxParam("id", name) << kxParam("key", key) << endl;
  list.clear();
  const auto it = m_preferences.find(sequenceName(name, key));
  if (it == m_preferences.end()) return false;
  const std::string& value = it->second;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = value.find('|', start);
    if (bar == std::string::npos) {
      list.push_back(value.substr(start));
      break;
    }
    list.push_back(value.substr(start, bar - start));
    start = bar + 1;
  }
  return true;
}

void DyxEnviron::setPreferenceSeq(const std::string& name, const std::string& key,
                                  const std::vector<std::string>& list) {
  std::string joined;
  for (const std::string& piece : list) {
    if (!joined.empty()) joined += '|';
    joined += piece;
  }
  setPreference(sequenceName(name, key), joined);
}

void DyxEnviron::setPreference(const std::string& name, const std::string& value) {
  KX_SCOPE("DyxEnviron::setPreference");
  kxout << kxParam("id", name) << kxParam("value", value) << endl;
  if (name.empty()) {
    KX_POS(kxerr) << "Null preference id" << endl;
    return;
  }
  m_preferences[name] = value;
  fireChange(name, value);
}

void DyxEnviron::storePreference(const std::string& name, const std::string& value) {
  if (!name.empty()) m_preferences[name] = value;
}

void DyxEnviron::setPreference(const std::string& name, const char* value) {
  setPreference(name, std::string(value == nullptr ? "" : value));
}

void DyxEnviron::setPreference(const std::string& name, bool value) {
  setPreference(name, std::string(value ? "true" : "false"));
}

void DyxEnviron::addChangeListener(const std::string& name, DyxPreferenceCallback callback) {
  KX_SCOPE("DyxEnviron::addChangeListener");
  kxout << kxParam("id", name) << endl;
  m_listeners[name].push_back(callback);
}

void DyxEnviron::removeChangeListener(const std::string& name, DyxPreferenceCallback callback) {
  KX_SCOPE("DyxEnviron::removeChangeListener");
  kxout << kxParam("id", name) << endl;
  const auto it = m_listeners.find(name);
  if (it == m_listeners.end()) {
    KX_POS(kxerr) << "No listener for preference." << endl;
    return;
  }
  auto& callbacks = it->second;
  const auto hit = std::find(callbacks.begin(), callbacks.end(), callback);
  if (hit != callbacks.end()) callbacks.erase(hit);
}

void DyxEnviron::clearAllChangeListener() {
  KX_SCOPE("DyxEnviron::clearAllChangeListener");
  m_listeners.clear();
}

void DyxEnviron::fireChange(const std::string& name, const std::string& value) {
  KX_SCOPE("DyxEnviron::fireChange");
  kxout << kxParam("id", name) << endl;
  const auto it = m_listeners.find(name);
  if (it == m_listeners.end()) {
    KX_POS(kxerr) << "No listener for preference." << endl;
    return;
  }
  // A copy: a callback that adds or removes callbacks must not invalidate this walk.
  const std::vector<DyxPreferenceCallback> callbacks = it->second;
  for (DyxPreferenceCallback callback : callbacks) {
    if (callback != nullptr) callback(value);
  }
}

const std::string& DyxEnviron::getSeparator() {
  static const std::string separator(1, dyxplatform::kPathSeparator);
  return separator;
}

const std::string& DyxEnviron::getEmptyText() {
  static const std::string text("<empty>");
  return text;
}

const DyxPath& DyxEnviron::getViewsDir() {
  static const DyxPath views(toNativeSeparators("./conf/views"));
  return views;
}

const DyxPath& DyxEnviron::getCurrentDir() {
  KX_SCOPE("DyxEnviron::getCurrentDir");
  static const DyxPath current(dyxplatform::currentDirectory());
  KX_POS(kxout) << "Returning path: " << current << endl;
  return current;
}

std::string DyxEnviron::getPropertyFileName(const std::string& name) { return name + ".prp"; }

void DyxEnviron::dump(std::ostream& out) const {
  out << "------------------ pdir pool -----------------------\n";
  out << "pref num: " << m_preferences.size() << "\n";
  int n = 0;
  for (const auto& [name, value] : m_preferences) {
    out << ++n << ") name: " << quote(name) << ", value: " << quote(value) << "\n";
  }
  out << "cgt lst num: " << m_listeners.size() << "\n";
  n = 0;
  for (const auto& [name, callbacks] : m_listeners) {
    out << ++n << ") listener: " << name << ", lst_count: " << callbacks.size() << "\n";
  }
  out << "----------------------------------------------------\n";
}
