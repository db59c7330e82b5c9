#include "kxcore/value.h"

#include <climits>
#include <limits>

#include "kxcore/io.h"

namespace {

bool isSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A NUL byte is no text of any configuration file: it separates tokens like a blank.
bool isSeparator(int c) { return isSpace(c) || c == '\0'; }

using Traits = std::istream::traits_type;

}  // namespace

bool kxToBool(std::string_view text) { return text == "true" || text == "TRUE"; }

int kxToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isSpace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) {
      magnitude = limit;  // clamped; the remaining digits cannot bring it back
    }
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

bool KxValue::toBool() const { return kxToBool(m_text); }

int KxValue::toInt() const { return kxToInt(m_text); }

std::istream& operator>>(std::istream& in, KxValue& value) {
  value.clear();
  std::streambuf* buf = in.rdbuf();
  if (!in.good() || buf == nullptr) {
    in.setstate(std::ios::failbit);
    return in;
  }

  bool sawNul = false;
  int c = buf->sgetc();
  while (c != Traits::eof() && isSeparator(c)) {
    sawNul = sawNul || c == '\0';
    c = buf->snextc();
  }
  if (sawNul) KX_POS(kxerr) << "NUL byte in input skipped." << endl;
  if (c == Traits::eof()) {
    in.setstate(std::ios::eofbit | std::ios::failbit);
    return in;
  }

  if (c == '"') {
    // Position of the opening quote; -1 on a stream that cannot seek.
    std::streampos start = buf->pubseekoff(0, std::ios::cur, std::ios::in);
    buf->sbumpc();
    std::string line(1, '"');  // the part of the line searched, for the message
    bool previousBackslash = false;
    while (line.size() < static_cast<size_t>(kKxTokenLineLimit)) {
      int d = buf->sgetc();
      if (d == Traits::eof() || d == '\n' || d == '\0') break;
      buf->sbumpc();
      char ch = Traits::to_char_type(d);
      if (ch == '"' && !previousBackslash) {
        value = KxValue(line.substr(1));
        return in;
      }
      line.push_back(ch);
      previousBackslash = ch == '\\';
    }
    KX_POS(kxerr) << "Missing ending quote in line: " << line << endl;
    // Read on just after the opening quote, so the rest of the line is not lost.
    if (start != std::streampos(-1)) {
      buf->pubseekpos(start + std::streamoff(1), std::ios::in);
    }
    return in;
  }

  std::string word;
  bool cut = false;
  for (;;) {
    int d = buf->sgetc();
    if (d == Traits::eof()) {
      in.setstate(std::ios::eofbit);
      break;
    }
    if (isSeparator(d)) break;
    buf->sbumpc();
    if (word.size() < static_cast<size_t>(kKxTokenWordLimit)) {
      word.push_back(Traits::to_char_type(d));
    } else {
      cut = true;
    }
  }
  if (cut) {
    KX_POS(kxerr) << "Word longer than " << kKxTokenWordLimit << " characters cut: " << word
                  << endl;
  }
  value = KxValue(std::move(word));
  return in;
}

KxValue kxReadRecordValue(std::istream& in) {
  in >> std::ws;
  const bool quoted = in.peek() == '"';
  const std::streampos start = quoted ? in.tellg() : std::streampos(-1);
  KxValue value;
  in >> value;
  // The reader leaves a broken quote just after its opening quote.
  if (quoted && value.empty() && in && start != std::streampos(-1) &&
      in.tellg() == start + std::streamoff(1)) {
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return value;
}

std::ostream& operator<<(std::ostream& out, const KxValue& value) { return out << value.text(); }

KxOstream& operator<<(KxOstream& out, const KxValue& value) {
  if (out.enabled()) out << value.text();
  return out;
}

const char* kxErrorName(int code) {
  switch (code) {
    case KxError::kCyclicRef:
      return "CYCLIC_REF";
    case KxError::kBadId:
      return "BAD_ID";
    case KxError::kBadKey:
      return "BAD_KEY";
    case KxError::kBadData:
      return "BAD_DATA";
    case KxError::kBadParam:
      return "BAD_PARAM";
    case KxError::kNoImpl:
      return "NO_IMPL";
    case KxError::kNullRef:
      return "NULL_REF";
    case KxError::kSystemError:
      return "SYSTEM_ERROR";
    case KxError::kSemanticError:
      return "SEMANTIC_ERROR";
    case KxError::kRepositoryError:
      return "REPOSITORY_ERROR";
    default:
      return "UNKNOWN";
  }
}

const char* KxException::what() const noexcept { return kxErrorName(m_code); }

void kxThrow(int code, const char* sourceFile, int line) {
  position(kxerr, sourceFile, line) << "[THROW] "
                                    << "[" << kxErrorName(code) << "]" << endl;
  throw KxException(code);
}
