// KxValue: a text value with its bool and int conversions, and the token reader through which
// every configuration and data file of the program is read. Also KxException with its error
// codes, and the throw step that announces every throw with a "[THROW]" line on kxerr.
//
// Token reader (`in >> value`): skips white space (newlines included), then reads either a
// double-quoted text, whose closing quote is the first one within the line's first 255
// characters that no backslash directly precedes (backslashes are kept, nothing is unescaped), or
// a bare word up to the next white space (at most 259 characters; a longer word is cut, with a
// message, and its rest skipped). An unterminated quote gives "Missing ending quote in line: "
// on kxerr, an empty value, and the next read starts just after the quote. Lines of any length,
// NUL bytes and input that ends inside a token are read on without overrun or loop. At the end
// of the input the value is empty and the stream is failed.
//
// Values are plain copies; any thread may use its own values and streams.
#pragma once

#include <exception>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

class KxOstream;

// The quoted-text search covers this many characters of the line (opening quote included).
inline constexpr int kKxTokenLineLimit = 255;
// A bare word keeps at most this many characters.
inline constexpr int kKxTokenWordLimit = 259;

class KxValue {
 public:
  KxValue() = default;
  KxValue(std::string text) : m_text(std::move(text)) {}
  KxValue(const char* text) : m_text(text != nullptr ? text : "") {}
  KxValue(std::string_view text) : m_text(text) {}
  // "true" or "false".
  explicit KxValue(bool value) : m_text(value ? "true" : "false") {}
  // Decimal text.
  explicit KxValue(int value) : m_text(std::to_string(value)) {}

  const std::string& text() const { return m_text; }
  const std::string& str() const { return m_text; }
  bool empty() const { return m_text.empty(); }
  void clear() { m_text.clear(); }

  // True exactly for "true" and "TRUE".
  bool toBool() const;
  // The decimal integer at the start of the text after white space; 0 without one. Values
  // beyond the int range are clamped to it.
  int toInt() const;

  bool operator==(const KxValue& other) const = default;

 private:
  std::string m_text;
};

bool kxToBool(std::string_view text);
int kxToInt(std::string_view text);

// The token reader.
std::istream& operator>>(std::istream& in, KxValue& value);
// The value of a configuration record: `in >> value`, except that after a quoted value without
// its closing quote (the value is then empty) the rest of that line is skipped, so that the words
// of the broken record are not read as further records.
KxValue kxReadRecordValue(std::istream& in);
std::ostream& operator<<(std::ostream& out, const KxValue& value);
KxOstream& operator<<(KxOstream& out, const KxValue& value);

// Error codes of KxException.
namespace KxError {
inline constexpr int kUnknown = 0;
inline constexpr int kCyclicRef = 1;
inline constexpr int kBadId = 10;
inline constexpr int kBadKey = 11;
inline constexpr int kBadData = 12;
inline constexpr int kBadParam = 13;
inline constexpr int kNoImpl = 100;
inline constexpr int kNullRef = 101;
inline constexpr int kSystemError = 200;
inline constexpr int kSemanticError = 300;
inline constexpr int kRepositoryError = 400;
}  // namespace KxError

// "BAD_KEY" for 11 and so on; a code outside the table is "UNKNOWN".
const char* kxErrorName(int code);

class KxException : public std::exception {
 public:
  explicit KxException(int code) : m_code(code) {}
  int code() const { return m_code; }
  // The code's name.
  const char* what() const noexcept override;

 private:
  int m_code;
};

// Writes "[file,line] [THROW] [NAME]" on kxerr, then throws KxException(code).
[[noreturn]] void kxThrow(int code, const char* sourceFile, int line);
#define KX_THROW(code) ::kxThrow((code), __FILE__, __LINE__)
