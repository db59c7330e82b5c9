#include "dyxcore/conffile.h"

#include <cerrno>
#include <istream>

#include "dyxcore/platform.h"
#include "kxcore/io.h"

namespace {

bool isControlByte(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') || c == 0x7F;
}

}  // namespace

DyxConfigFile::DyxConfigFile(std::string path, unsigned options, std::size_t maxBytes)
    : m_path(std::move(path)),
      m_shown(shownName(m_path)),
      m_kind((options & kSavedData) != 0 ? KxNoticeKind::kDamaged : KxNoticeKind::kConfiguration),
      m_quiet((options & kQuiet) != 0) {
  int error = 0;
  // readWholeFile opens first and then asks the open descriptor whether it is a regular file,
  // so nothing can be swapped in under the name between the look and the read.
  if (!dyxplatform::readWholeFile(m_path, m_text, &error, maxBytes)) {
    m_text.clear();
    m_missing = error == ENOENT;
    m_failure = error == EINVAL ? std::string("not a regular file") : dyxplatform::errorText(error);
    if (!m_missing) report("cannot be read: " + m_failure);
    return;
  }
  m_open = true;
  m_stream.str(m_text);
  if ((options & kPlainText) != 0) {
    for (std::size_t i = 0; i < m_text.size(); ++i) {
      if (!isControlByte(static_cast<unsigned char>(m_text[i]))) continue;
      problem(i, "holds bytes that are not text");
      // One report per line.
      const std::size_t end = m_text.find('\n', i);
      if (end == std::string::npos) break;
      i = end;
    }
  }
}

DyxConfigFile::~DyxConfigFile() {
  if (m_problems == 0) return;
  try {
    std::string text;
    if (m_problems > kMaxReported) {
      text = "and " + std::to_string(m_problems - kMaxReported) +
             " more problems; those lines were skipped or read only in part";
    }
    if (!m_loaded.empty()) text += (text.empty() ? "" : "; ") + ("loaded: " + m_loaded);
    if (!text.empty()) report(text);
  } catch (...) {
    // Out of memory at the end of a read: the notices already given stand.
  }
}

std::string DyxConfigFile::shownName(const std::string& path) {
  std::size_t from = 0;
  const char here[] = {'.', dyxplatform::kPathSeparator, '\0'};
  while (path.compare(from, 2, here) == 0) from += 2;
  return from < path.size() ? path.substr(from) : path;
}

std::string DyxConfigFile::quoted(const std::string& word) {
  constexpr std::size_t kShown = 40;
  std::string out = "'";
  for (std::size_t i = 0; i < word.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(word[i]);
    out.push_back(c < 0x20 || c == 0x7F ? '?' : word[i]);
  }
  if (word.size() > kShown) out += "...";
  return out + "'";
}

std::size_t DyxConfigFile::position() {
  // tellg on a stream at its end would fail the stream: the readers test its state afterwards.
  if (!m_stream.good()) return m_text.size();
  const std::streampos pos = m_stream.tellg();
  return pos < 0 ? m_text.size() : static_cast<std::size_t>(pos);
}

std::size_t DyxConfigFile::lineOf(std::size_t offset) {
  if (offset > m_text.size()) offset = m_text.size();
  if (offset < m_countedTo) {
    m_countedTo = 0;
    m_countedLine = 1;
  }
  for (std::size_t i = m_countedTo; i < offset; ++i) {
    if (m_text[i] == '\n') ++m_countedLine;
  }
  m_countedTo = offset;
  return m_countedLine;
}

void DyxConfigFile::problem(std::size_t offset, const std::string& reason) {
  const std::size_t line = lineOf(offset);
  // A line whose first problem was told is told once.
  if (line == m_lastLine) return;
  m_lastLine = line;
  ++m_problems;
  if (m_problems > kMaxReported) return;
  report("line " + std::to_string(line) + ": " + reason);
}

void DyxConfigFile::report(const std::string& reason) {
  if (m_quiet) {
    m_quietProblems.push_back(m_shown + ": " + reason);
  } else {
    KxNotices::report(m_kind, m_shown, reason);
  }
}

KxValue DyxConfigFile::readRecordValue(const std::string& record, bool skipBrokenLine,
                                       bool* onItsLine) {
  const std::size_t nameEnd = position();
  m_stream >> std::ws;
  const std::size_t start = position();
  const bool sameLine = start < m_text.size() && m_text.find('\n', nameEnd) >= start;
  const bool isQuoted = sameLine && m_text[start] == '"';
  KxValue value;
  if (skipBrokenLine) {
    value = kxReadRecordValue(m_stream);
  } else {
    m_stream >> value;
  }
  if (onItsLine != nullptr) *onItsLine = sameLine;
  if (isQuoted && value.empty() && (start + 1 >= m_text.size() || m_text[start + 1] != '"')) {
    problem(start, "the quoted value of " + quoted(record) + " has no closing quote");
  }
  return value;
}

bool DyxConfigFile::save(const std::string& path, const std::string& content,
                         const std::string& shown, const std::string& traceLine,
                         const std::string& what) {
  int error = 0;
  if (dyxplatform::writeFileReplacing(path, content, &error)) return true;
  KX_POS(kxerr) << traceLine << endl;
  KxNotices::report(
      KxNoticeKind::kNotSaved, shown,
      dyxplatform::errorText(error) + " (" + what + " not saved; the previous file is unchanged)");
  return false;
}
