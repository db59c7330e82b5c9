#include "dyxcore/path.h"

#include <algorithm>

#include "dyxcore/environ.h"
#include "dyxcore/platform.h"
#include "kxcore/io.h"
#include "kxcore/value.h"

namespace {

// Read on every parse, as the environment may say otherwise on another platform.
char platformSeparator() {
  const std::string& separator = DyxEnviron::getSeparator();
  return separator.empty() ? '/' : separator[0];
}

const std::string kNoText;

}  // namespace

DyxPath::DyxPath() : m_separator(platformSeparator()) {}

DyxPath::DyxPath(const std::string& text, char separator) : m_separator('/') {
  parse(text, separator);
}

void DyxPath::parse(const std::string& given, char separator) {
  m_components.clear();
  m_empty = true;
  const char sep = separator != 0 ? separator : platformSeparator();
  m_separator = sep;
  if (given.empty()) return;
  // Where "\\" separates, "/" can be part of no name: it separates too (paths written by hand,
  // or configuration files written where "/" is the separator).
  const std::string& text = separator == 0 && sep == '\\' && given.find('/') != std::string::npos
                                ? toNativeSeparators(given)
                                : given;

  // The relative marker is decided on the first piece only, before empty pieces are dropped:
  // a leading separator leaves an empty first piece, which roots the path.
  const std::size_t firstSep = text.find(sep);
  if (firstSep != std::string::npos) {
    const std::string first = text.substr(0, firstSep);
    if (!first.empty() && first != "." && first != ".." && !isDrive(first)) {
      m_components.emplace_back(".");
    }
  } else if (separator == 0 && text != "." && !isDrive(text)) {
    m_components.emplace_back(".");
  }

  // A rooted path keeps no "." or ".." right after the root: printed, such a first part would
  // carry no separator and the path would read back as a relative one ("/../x" as "../x").
  const bool rooted = firstSep == 0;
  // At most a component per separator and one more: the list is sized once.
  m_components.reserve(m_components.size() + 1 +
                       static_cast<std::size_t>(std::count(text.begin(), text.end(), sep)));
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      std::string piece = text.substr(start, end - start);
      const bool aboveRoot = rooted && m_components.empty() && (piece == "." || piece == "..");
      if (!aboveRoot) m_components.push_back(std::move(piece));
    }
    start = end + 1;
  }
  m_empty = false;
}

std::string DyxPath::toString(char separator, bool forceLeadingSeparator) const {
  if (m_empty) return std::string();
  const char sep = separator != 0 ? separator : m_separator;
  if (m_components.empty()) return std::string(1, sep);
  std::string out;
  for (std::size_t i = 0; i < m_components.size(); ++i) {
    const std::string& p = m_components[i];
    const bool bare = i == 0 && (p == "." || p == ".." || (isDrive(p) && !forceLeadingSeparator));
    if (!bare) out += sep;
    out += p;
  }
  return out;
}

const std::string& DyxPath::part(int i) const {
  if (i < 0 || i >= count()) return kNoText;
  return m_components[static_cast<std::size_t>(i)];
}

const std::string& DyxPath::last() const {
  return m_components.empty() ? kNoText : m_components.back();
}

void DyxPath::append(const std::string& text) {
  if (text.empty()) return;
  m_components.push_back(text);
  m_empty = false;
}

void DyxPath::clear() {
  m_components.clear();
  m_empty = true;
}

void DyxPath::dropDots() {
  if (m_components.size() < 2) return;
  std::vector<std::string> kept;
  kept.reserve(m_components.size());
  kept.push_back(m_components.front());
  for (std::size_t i = 1; i < m_components.size(); ++i) {
    if (m_components[i] != ".") kept.push_back(m_components[i]);
  }
  m_components.swap(kept);
}

namespace {

// The "." that separates base name and extension in `part`: the last one before the first
// "?" (a query such as "page.html?x=1.2" does not count). `limit` receives that "?" position
// or the part's length.
std::size_t extensionDot(const std::string& part, std::size_t& limit) {
  const std::size_t question = part.find('?');
  limit = question == std::string::npos ? part.size() : question;
  if (limit == 0) return std::string::npos;
  return part.rfind('.', limit - 1);
}

}  // namespace

std::string DyxPath::extension() const {
  const std::string& p = last();
  std::size_t limit = 0;
  const std::size_t dot = extensionDot(p, limit);
  if (dot == std::string::npos) return std::string();
  return p.substr(dot + 1, limit - dot - 1);
}

std::string DyxPath::baseName() const {
  const std::string& p = last();
  std::size_t limit = 0;
  const std::size_t dot = extensionDot(p, limit);
  return p.substr(0, dot == std::string::npos ? limit : dot);
}

DyxPath DyxPath::subPath(int first, int last) const {
  const int lastIndex = last == -1 ? count() - 1 : last;
  if (lastIndex < first || first < 0) {
    KX_POS(kxerr) << "Bad param: pos0=" << first << ",pos1=" << last << endl;
    return DyxPath();
  }
  DyxPath result;
  // A range past the end keeps the parts that exist rather than reading beyond them.
  for (int i = first; i <= lastIndex && i < count(); ++i) {
    result.append(m_components[static_cast<std::size_t>(i)]);
  }
  return result;
}

DyxPath DyxPath::parent() const {
  if (count() <= 1) return *this;
  return subPath(0, count() - 2);
}

DyxPath DyxPath::join(const DyxPath& base, const DyxPath& relative) {
  DyxPath result(base);
  for (const std::string& p : relative.m_components) {
    if (p != ".") result.m_components.push_back(p);
  }
  result.m_empty = base.m_empty && relative.m_empty;
  return result;
}

std::ostream& operator<<(std::ostream& out, const DyxPath& path) {
  return out << path.toString(0, false);
}

std::istream& operator>>(std::istream& in, DyxPath& path) {
  KxValue value;
  in >> value;
  path.parse(value.text(), path.separator());
  path.dropDots();
  return in;
}

std::string toNativeSeparators(const std::string& text) {
  const char sep = platformSeparator();
  std::string out = text;
  for (char& c : out) {
    if (sep == '\\') {
      if (c == '/') c = '\\';
    } else if (c == '\\') {
      c = sep;
    }
  }
  return out;
}

bool isDrive(const std::string& text) {
  return text.size() == 2 && text[0] >= 'A' && text[0] <= 'Z' && text[1] == ':';
}

std::string childPathText(const std::string& dir, std::string_view name) {
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path.append(dir);
  if (path.empty() || path.back() != dyxplatform::kPathSeparator) {
    path.push_back(dyxplatform::kPathSeparator);
  }
  path.append(name);
  return path;
}
