#include "dyxcore/portable.h"

#include <charconv>
#include <cmath>
#include <sstream>

#include "kxcore/io.h"

// ---------------------------------------------------------------------------------------------
// Matcher nodes

std::unique_ptr<DyxPatternNode> DyxPatternLiteral::clone() const {
  return std::make_unique<DyxPatternLiteral>(m_text);
}

bool DyxPatternLiteral::match(std::string_view subject, std::size_t& position) const {
  // Past the subject's end reads as the terminating zero of a C string, so a literal holding
  // a zero byte compares equal up to it, exactly as the byte comparison of C strings would.
  for (std::size_t k = 0; k < m_text.size(); ++k) {
    const char want = m_text[k];
    const char have = position + k < subject.size() ? subject[position + k] : '\0';
    if (want != have) return false;
    if (want == '\0') break;
  }
  position += m_text.size();
  return true;
}

void DyxPatternLiteral::print(std::ostream& out) const { out << "=(" << m_text << ")"; }

std::unique_ptr<DyxPatternNode> DyxPatternOneAny::clone() const {
  return std::make_unique<DyxPatternOneAny>();
}

bool DyxPatternOneAny::match(std::string_view subject, std::size_t& position) const {
  if (position >= subject.size()) return false;
  ++position;
  return true;
}

void DyxPatternOneAny::print(std::ostream& out) const { out << "one any"; }

std::unique_ptr<DyxPatternNode> DyxPatternManyAnyUntil::clone() const {
  return std::make_unique<DyxPatternManyAnyUntil>(m_until);
}

bool DyxPatternManyAnyUntil::match(std::string_view subject, std::size_t& position) const {
  if (position >= subject.size()) return true;
  // The first occurrence from `position` on is where a step-by-step walk would stop.
  const std::size_t stop =
      m_until.empty() ? std::string_view::npos : subject.find(m_until, position);
  position = stop == std::string_view::npos ? subject.size() : stop;
  return true;
}

void DyxPatternManyAnyUntil::print(std::ostream& out) const {
  out << "many any until '" << m_until << "'";
}

// ---------------------------------------------------------------------------------------------
// Compiler and matcher

namespace {

bool isMeta(char c) { return c == '.' || c == '*' || c == '^' || c == '$'; }

// The stop text of a many-any node, from index `j` on: an escaped metacharacter is taken
// without its backslash and collection goes on; any other backslash stays; the first
// metacharacter that is not escaped ends it.
std::string collectUntil(std::string_view d, std::size_t j) {
  std::string out;
  while (j < d.size()) {
    const char c = d[j];
    if (isMeta(c)) break;
    if (c == '\\' && j + 1 < d.size() && isMeta(d[j + 1])) {
      out += d[j + 1];
      j += 2;
      continue;
    }
    out += c;
    ++j;
  }
  return out;
}

}  // namespace

int dyxPatternCompile(DyxPatternNodeList* list, const char* text) {
  if (list == nullptr || text == nullptr) return kDyxPatternMissingArgument;
  return dyxPatternCompile(list, std::string_view(text));
}

int dyxPatternCompile(DyxPatternNodeList* list, std::string_view d) {
  if (list == nullptr) return kDyxPatternMissingArgument;
  const std::size_t n = d.size();
  std::size_t i = 0;
  // Every branch below moves i forward by at least one, so the loop always ends.
  while (i < n) {
    const char c = d[i];
    if (c == '^') {
      if (i == 0) {
        ++i;
        continue;
      }
      KX_POS(kxerr) << "Bad RE \"" << d << "\": Bad ^ location." << endl;
      return kDyxPatternBadCaret;
    }
    if (c == '$') {
      if (i + 1 != n) {
        KX_POS(kxerr) << "Bad RE \"" << d << "\": Bad $ location." << endl;
      }
      ++i;
      continue;
    }
    if (c == '.') {
      if (i + 1 == n || d[i + 1] != '*') {
        list->push_back(std::make_unique<DyxPatternOneAny>());
        ++i;
        continue;
      }
      ++i;  // on the "*"; a following run of "." and "*" joins the same node
      while (i + 1 < n && (d[i + 1] == '.' || d[i + 1] == '*')) ++i;
      std::string until;
      if (i + 1 < n) {
        const char next = d[i + 1];
        if (next == '\\') {
          if (i + 2 < n) {
            ++i;  // on the backslash: the escaped character is compiled again after the node
            // The escaped character opens the stop text and the rest is collected like any
            // other stop text, so `*.tar.gz` stops at ".tar.gz" rather than at ".tar\".
            until.assign(1, d[i + 1]);
            until += collectUntil(d, i + 2);
          } else {
            KX_POS(kxerr) << "Lonely \\ character in: " << d << " expression." << endl;
          }
        } else if (!isMeta(next)) {
          until = collectUntil(d, i + 1);
        }
      }
      // The stop text is not skipped: it is compiled again as the nodes that follow.
      list->push_back(std::make_unique<DyxPatternManyAnyUntil>(std::move(until)));
      ++i;
      continue;
    }
    // A literal. Its first character is always taken, which also makes a stray "*" (as from
    // `a\*`) a literal star and a lone trailing backslash a literal backslash.
    std::string literal;
    do {
      if (d[i] == '\\' && i + 1 < n) {
        literal += d[i + 1];
        i += 2;
      } else {
        literal += d[i];
        ++i;
      }
    } while (i < n && !isMeta(d[i]));
    list->push_back(std::make_unique<DyxPatternLiteral>(std::move(literal)));
  }
  return kDyxPatternOk;
}

int dyxPatternMatch(const DyxPatternNodeList& list, std::string_view subject) {
  std::size_t position = 0;
  for (const auto& node : list) {
    if (!node->match(subject, position)) return 1;
  }
  return position == subject.size() ? 0 : 1;
}

void dyxPatternFree(DyxPatternNodeList& list) { list.clear(); }

std::string dyxWildcardToDialect(const std::string& wildcard) {
  std::string d = replaceAll(wildcard, ".", "\\.");
  d = replaceAll(d, "?", ".");
  d = replaceAll(d, "*", ".*");
  return "^" + d + "$";
}

DyxPattern::DyxPattern(const std::string& text, bool wildcard) {
  const std::string dialect = wildcard ? dyxWildcardToDialect(text) : text;
  if (dyxPatternCompile(&m_nodes, std::string_view(dialect)) != kDyxPatternOk) {
    dyxPatternFree(m_nodes);
  }
}

DyxPattern::DyxPattern(const DyxPattern& other) {
  m_nodes.reserve(other.m_nodes.size());
  for (const auto& node : other.m_nodes) m_nodes.push_back(node->clone());
}

DyxPattern& DyxPattern::operator=(const DyxPattern& other) {
  if (this != &other) {
    DyxPattern copy(other);
    m_nodes.swap(copy.m_nodes);
  }
  return *this;
}

bool DyxPattern::match(std::string_view subject) const {
  return m_nodes.empty() || dyxPatternMatch(m_nodes, subject) == 0;
}

std::string DyxPattern::describe() const {
  std::ostringstream out;
  for (std::size_t k = 0; k < m_nodes.size(); ++k) {
    if (k > 0) out << ", ";
    m_nodes[k]->print(out);
  }
  return out.str();
}

// ---------------------------------------------------------------------------------------------
// Text helpers

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string toLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string quote(const std::string& text) { return "\"" + text + "\""; }

std::string unquote(const std::string& text) {
  const std::size_t size = text.size();
  if (size == 0) return std::string();
  std::size_t start = 0;
  std::size_t end = size;  // exclusive
  if (text[0] == '"') {
    if (size < 2) return std::string();
    start = 1;
  } else if (text[0] == '\\' && size > 1 && text[1] == '"') {
    if (size < 3) return std::string();
    start = 2;
  }
  if (text[size - 1] == '"') {
    end = size - 1;
    if (size > 2 && text[size - 2] == '\\') end = size - 2;
  }
  if (end <= start) return std::string();
  return text.substr(start, end - start);
}

std::string replaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

bool isValidName(const std::string& name) {
  if (name.empty() || name.size() > 30) return false;
  return name.find_first_of(" \t/\\.*?><") == std::string::npos;
}

std::string intToString(std::int64_t n) { return std::to_string(n); }

std::string doubleToString(double x) {
  // What a stream in the classic locale writes (six significant digits, %g), without building
  // a stream for every row of a list: to_chars never reads the locale, so a front end that
  // switches the global locale cannot turn the point of "1.5 Ko" into a comma that parseSize
  // would no longer read.
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, 6);
  if (ec != std::errc()) return std::string();
  return std::string(buffer, end);
}

std::map<int, std::string> split(const std::string& text, char delimiter, char quoteChar) {
  std::map<int, std::string> pieces;
  int index = 0;
  std::size_t start = 0;
  const std::size_t n = text.size();
  while (start < n) {
    const std::size_t delim = text.find(delimiter, start);
    std::size_t end = delim == std::string::npos ? n : delim;  // exclusive
    std::size_t next = delim == std::string::npos ? n : delim + 1;
    if (quoteChar != '\0') {
      const std::size_t open = text.find(quoteChar, start);
      if (open != std::string::npos && open < end) {
        const std::size_t close = text.find(quoteChar, open + 1);
        if (close == std::string::npos) break;  // an unmatched quote drops the rest
        end = close + 1;
        next = close + 1;
      }
    }
    if (end > start) pieces[index++] = text.substr(start, end - start);
    start = next;
  }
  return pieces;
}

std::string formatSize(std::int64_t bytes) {
  if (bytes < 1024) return intToString(bytes) + " oct.";
  if (bytes >= 1048576) return doubleToString(static_cast<double>(bytes) / 1048576.0) + " Mo";
  return doubleToString(static_cast<double>(bytes) / 1024.0) + " Ko";
}

double parseSize(const std::string& text) {
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && isSpace(*p)) ++p;
  if (p < end && *p == '+') ++p;
  double number = 0;
  // from_chars ignores the locale, so a comma locale set by a front end cannot change the
  // reading of "1.5 Ko".
  const auto [after, ec] = std::from_chars(p, end, number, std::chars_format::general);
  if (ec != std::errc() || !std::isfinite(number)) return 0;
  p = after;
  while (p < end && isSpace(*p)) ++p;
  const char* word = p;
  while (p < end && !isSpace(*p)) ++p;
  const std::string_view unit(word, static_cast<std::size_t>(p - word));
  if (unit == "Ko") return number * 1024;
  if (unit == "Mo") return number * 1048576;
  return number;
}
