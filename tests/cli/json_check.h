// A strict JSON syntax check for the tests: one value, nothing after it but white space,
// strings of valid UTF-8 without raw control bytes, escapes of the standard only, and no lone
// surrogate escape.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>

namespace jsoncheck {

class Checker {
 public:
  explicit Checker(const std::string& text) : m_s(text) {}

  bool document(std::string& why) {
    const bool ok = value(0) && (space(), m_i == m_s.size());
    if (!ok) why = "invalid JSON near byte " + std::to_string(m_i);
    return ok;
  }

 private:
  void space() {
    while (m_i < m_s.size() &&
           (m_s[m_i] == ' ' || m_s[m_i] == '\n' || m_s[m_i] == '\t' || m_s[m_i] == '\r')) {
      ++m_i;
    }
  }
  bool eat(char c) {
    space();
    if (m_i < m_s.size() && m_s[m_i] == c) {
      ++m_i;
      return true;
    }
    return false;
  }
  bool literal(const char* word) {
    const std::string w(word);
    if (m_s.compare(m_i, w.size(), w) != 0) return false;
    m_i += w.size();
    return true;
  }
  bool value(int depth) {
    if (depth > 100) return false;
    space();
    if (m_i >= m_s.size()) return false;
    const char c = m_s[m_i];
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (c == '"') return string();
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    return number();
  }
  bool object(int depth) {
    ++m_i;
    if (eat('}')) return true;
    do {
      space();
      if (!string() || !eat(':') || !value(depth + 1)) return false;
    } while (eat(','));
    return eat('}');
  }
  bool array(int depth) {
    ++m_i;
    if (eat(']')) return true;
    do {
      if (!value(depth + 1)) return false;
    } while (eat(','));
    return eat(']');
  }
  bool number() {
    const std::size_t start = m_i;
    if (m_i < m_s.size() && m_s[m_i] == '-') ++m_i;
    if (m_i >= m_s.size() || !std::isdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
    if (m_s[m_i] == '0') {
      ++m_i;
    } else {
      while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    }
    return m_i > start;
  }
  bool string() {
    if (m_i >= m_s.size() || m_s[m_i] != '"') return false;
    ++m_i;
    while (m_i < m_s.size()) {
      const unsigned char c = static_cast<unsigned char>(m_s[m_i]);
      if (c == '"') {
        ++m_i;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++m_i >= m_s.size()) return false;
        const char e = m_s[m_i++];
        if (e == 'u') {
          unsigned unit = 0;
          if (!hex4(unit)) return false;
          // A surrogate must be a high one followed by an escaped low one: many parsers refuse
          // a lone one, and it stands for no character.
          if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low = 0;
            if (m_s.compare(m_i, 2, "\\u") != 0) return false;
            m_i += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
          }
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
          return false;
        }
        continue;
      }
      if (c < 0x80) {
        ++m_i;
        continue;
      }
      // Valid UTF-8 only (no overlong forms, no surrogates, nothing past U+10FFFF).
      std::size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                      : c >= 0xE0 && c <= 0xEF ? 3
                      : c >= 0xF0 && c <= 0xF4 ? 4
                                               : 0;
      if (n == 0 || m_i + n > m_s.size()) return false;
      const unsigned char c1 = static_cast<unsigned char>(m_s[m_i + 1]);
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
          (c == 0xF4 && c1 > 0x8F)) {
        return false;
      }
      for (std::size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(m_s[m_i + k]) & 0xC0) != 0x80) return false;
      }
      m_i += n;
    }
    return false;
  }

  bool hex4(unsigned& unit) {
    unit = 0;
    for (int k = 0; k < 4; ++k, ++m_i) {
      if (m_i >= m_s.size() || !std::isxdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(m_s[m_i])));
      unit = unit * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return true;
  }

  const std::string& m_s;
  std::size_t m_i = 0;
};

inline bool isValidJson(const std::string& text, std::string& why) {
  return Checker(text).document(why);
}

}  // namespace jsoncheck
