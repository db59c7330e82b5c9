#include "dyxcore/typeman.h"

#include "dyxcore/conffile.h"
#include "dyxcore/portable.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"
#include "kxcore/value.h"

namespace {

// Types are asked for while type filters run; a type filter that itself asks for types ($Type)
// would come back here without end. Such a nested request answers "no type" instead.
thread_local int t_typeDepth = 0;

class TypeDepthGuard {
 public:
  TypeDepthGuard() : m_nested(t_typeDepth > 0) { ++t_typeDepth; }
  ~TypeDepthGuard() { --t_typeDepth; }
  TypeDepthGuard(const TypeDepthGuard&) = delete;
  TypeDepthGuard& operator=(const TypeDepthGuard&) = delete;
  bool nested() const { return m_nested; }

 private:
  bool m_nested;
};

// The parser's messages of a type criterion in one line ("" when it parsed cleanly). The word
// "false" is what a type that matches no file is written as: the parser reads it as the false
// constant it stands for and says so, but the writer of the type meant it.
std::string criterionProblems(const std::string& criterion, const DyxFilter& filter) {
  std::string out;
  if (toLower(trim(criterion)) == "false") return out;
  for (const std::string& message : filter.getMessages()) {
    if (!out.empty()) out += "; ";
    out += message;
  }
  return out;
}

void reportNested() {
  KX_POS(kxerr) << "A type filter cannot ask for the types of an entry: no type given." << endl;
}

// Appends the entry's most specific accepting types below `type` (itself when none below).
void collect(const DyxFileType& type, const DyxEntry& entry, std::vector<std::string>& types) {
  if (!type.getFilter().evaluate(entry)) return;
  const std::size_t before = types.size();
  for (const auto& [name, subType] : type.getSubTypes()) collect(subType, entry, types);
  if (types.size() == before) types.push_back(type.getName());
}

}  // namespace

DyxFileType::DyxFileType(const std::string& name, const std::string& criterion)
    : m_name(name), m_filter(criterion) {}

DyxTypeManager::DyxTypeManager(const std::string& file) : m_file(file) { reset(file); }

DyxTypeManager::~DyxTypeManager() {
  KX_SCOPE("DyxTypeManager::~DyxTypeManager");
  clear();
}

void DyxTypeManager::reset(const std::string& file) {
  KX_SCOPE("DyxTypeManager::reset");
  if (kxout.enabled()) kxout << kxMember("m_file", m_file) << kxParam("file", file) << endl;
  if (!file.empty()) m_file = file;
  if (m_file.empty()) {
    KX_POS(kxerr) << "The file name is empty." << endl;
    return;
  }
  clear();
  DyxConfigFile source(m_file, DyxConfigFile::kPlainText);
  if (!source.isOpen()) {
    KX_POS(kxerr) << "Cannot open file: " << m_file << endl;
    return;
  }
  std::istream& in = source.stream();
  std::string name;
  while (in >> name) {
    // After a quote without its closing quote the value is empty and the rest of that line is
    // skipped, so that the words of the broken criterion are not read as further types.
    const std::size_t at = source.position();
    bool onItsLine = true;
    const std::string value = source.readRecordValue(name, true, &onItsLine).text();
    if (!in) {
      if (!in.eof()) break;
      in.clear(std::ios::eofbit);
    }
    if (name.empty()) continue;
    if (!onItsLine)
      source.problem(at,
                     "the type " + DyxConfigFile::quoted(name) + " has no criterion on its line");
    KX_POS(kxout) << "New type: ." << name << " filter=\"" << value << "\"" << endl;
    ActivityLog::stream() << "New type: ." << name << " filter=\"" << value << "\"" << std::endl;
    DyxFileType type(name, value);
    const std::string problems = criterionProblems(value, type.getFilter());
    if (!problems.empty()) {
      source.problem(at, "the criterion of the type " + DyxConfigFile::quoted(name) +
                             " cannot be parsed: " + problems);
    }
    const std::map<int, std::string> parts = split(name, '.');
    if (parts.size() <= 1) {
      // Replaces an earlier type of the same name together with its sub-types.
      m_types[name] = std::move(type);
    } else {
      // A parent that is not there yet is made by default: it matches nothing until its own
      // line replaces it (and drops the sub-types read so far).
      DyxFileType& parent = m_types[parts.begin()->second];
      parent.getSubTypes()[name] = std::move(type);
    }
    if (in.eof()) break;
  }
}

void DyxTypeManager::clear() {
  KX_SCOPE("DyxTypeManager::clear");
  m_types.clear();
}

std::string DyxTypeManager::getType(const DyxEntry& entry) const {
  TypeDepthGuard guard;
  if (guard.nested()) {
    reportNested();
    return kNoType;
  }
  for (const auto& [name, type] : m_types) {
    if (type.getFilter().evaluate(entry)) return name;
  }
  return kNoType;
}

void DyxTypeManager::getTypes(const DyxEntry& entry, std::vector<std::string>& types) const {
  types.clear();
  TypeDepthGuard guard;
  if (guard.nested()) {
    reportNested();
    return;
  }
  for (const auto& [name, type] : m_types) collect(type, entry, types);
}
