#include "dyxcore/pathmap.h"

#include <sstream>

#include "dyxcore/conffile.h"
#include "dyxcore/platform.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"
#include "kxcore/value.h"

namespace {

DyxPath normalisedPath(const std::string& text) {
  DyxPath path(text);
  path.dropDots();
  return path;
}

// The reader finds a quoted value's closing quote among the first characters of its line only,
// takes the first quote that no backslash precedes, and keeps a line per record: a path that
// breaks one of these would read back as another path.
bool writable(const std::string& text) {
  if (text.empty() || text.size() + 2 > static_cast<std::size_t>(kKxTokenLineLimit)) return false;
  if (text.find_first_of("\"\n\r") != std::string::npos) return false;
  return text.back() != '\\';
}

}  // namespace

DyxPathMap::DyxPathMap() = default;

DyxPathMap::DyxPathMap(const std::string& name) {
  if (!name.empty()) m_file = toNativeSeparators("./conf/" + name + ".fpm");
  reset();
}

void DyxPathMap::reset() {
  KX_SCOPE("DyxPathMap::reset");
  kxout << kxMember("m_file", m_file) << endl;
  m_paths.clear();
  if (m_file.empty()) return;
  // Only a regular file is read: a FIFO under the map's name would block the reader.
  DyxConfigFile file(m_file, DyxConfigFile::kSavedData);
  if (!file.isOpen()) {
    KX_POS(kxerr) << "Cannot open file: " << m_file << endl;
    return;
  }
  // One record per line, so that a record without its flag word never swallows the next line.
  std::istream& in = file.stream();
  int counter = 0;
  std::string line;
  std::size_t lineStart = 0;
  while (std::getline(in, line)) {
    std::istringstream record(line);
    KxValue value;
    KxValue word;
    record >> value >> word;
    DyxPath path = normalisedPath(value.text());
    if (!path.isEmpty()) {
      if (word.text() != "Yes" && word.text() != "No") {
        KX_POS(kxerr) << "Problem in file at line: " << counter << ". Skip the line. path=" << path
                      << ",rec=" << word.text() << endl;
        ActivityLog::stream() << "ERROR: "
                              << "in file: " << m_file << " at line " << counter
                              << ". Skip the line." << std::endl;
        file.problem(lineStart, "the directory is not followed by Yes or No: skipped");
      } else {
        KX_POS(kxout) << "Read path: " << path << endl;
        m_paths[path] = word.text() == "Yes";
      }
    }
    ++counter;
    lineStart += line.size() + 1;
  }
  file.setLoaded(std::to_string(m_paths.size()) +
                 (m_paths.size() == 1 ? " directory" : " directories"));
}

bool DyxPathMap::save() const {
  if (m_file.empty()) return true;
  std::string content;
  for (const auto& [path, recursive] : m_paths) {
    const std::string text = path.toString();
    if (!writable(text)) {
      KX_POS(kxerr) << "Cannot write the path into the path map: " << text << endl;
      KxNotices::report(KxNoticeKind::kNotSaved, DyxConfigFile::shownName(m_file),
                        "the directory " + text +
                            " cannot be written into the path map: "
                            "it is left out of the saved map");
      continue;
    }
    content += "\"" + text + "\" " + (recursive ? "Yes" : "No") + "\n";
  }
  return DyxConfigFile::save(m_file, content, DyxConfigFile::shownName(m_file),
                             "Cannot write the file: " + m_file, "the path map was");
}

std::string DyxPathMap::getName() const {
  const std::size_t slash = m_file.find_last_of(dyxplatform::kPathSeparator);
  std::string base = slash == std::string::npos ? m_file : m_file.substr(slash + 1);
  const std::string ext = ".fpm";
  if (base.size() >= ext.size() && base.compare(base.size() - ext.size(), ext.size(), ext) == 0) {
    base.erase(base.size() - ext.size());
  }
  return base;
}

bool DyxPathMap::getPaths(Paths& paths) const {
  if (m_file.empty()) return false;
  paths = m_paths;
  return true;
}

void DyxPathMap::setRecursive(const std::string& path, bool recursive) {
  DyxPath p = normalisedPath(path);
  if (p.isEmpty()) return;
  m_paths[p] = recursive;
}

void DyxPathMap::remove(const std::string& path) { m_paths.erase(normalisedPath(path)); }

bool DyxPathMap::isRecursive(const std::string& path) const {
  KX_SCOPE("DyxPathMap::isRecursive");
  kxout << kxParam("path", path) << endl;
  auto it = m_paths.find(normalisedPath(path));
  return it != m_paths.end() && it->second;
}

void DyxPathMap::dump(std::ostream& out) const {
  out << "------------------ path map ------------------------" << std::endl;
  out << "file: \"" << m_file << "\"" << std::endl;
  for (const auto& [path, recursive] : m_paths) {
    out << "path: \"" << path.toString() << "\", rec: " << (recursive ? "true" : "false")
        << std::endl;
  }
  out << "----------------------------------------------------" << std::endl;
}
