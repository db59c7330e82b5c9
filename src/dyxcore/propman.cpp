#include "dyxcore/propman.h"

#include <cctype>
#include <sstream>

#include "dyxcore/conffile.h"
#include "dyxcore/environ.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"
#include "kxcore/value.h"

namespace {

// Line markers of the escaped forms. Neither is a valid property name, so no property written
// in the plain form can be mistaken for them.
const std::string kRecordWord = "#";
const std::string kEscapedRecordWord = "#\\";
const std::string kEscapedPropertyWord = "\\";

// The longest value the plain form may carry: the reader finds a closing quote only within the
// first 255 characters of the text that starts with the opening quote.
constexpr std::size_t kPlainValueLimit = static_cast<std::size_t>(kKxTokenLineLimit) - 2;

bool isWordSeparator(unsigned char c) { return std::isspace(c) != 0; }

// Reads one word: white space skipped, then up to the next white space. Longer words than the
// reader's buffer are cut (the rest is skipped).
bool readWord(std::istream& in, std::string& word) {
  word.clear();
  in >> std::ws;
  std::streambuf* buf = in.rdbuf();
  bool any = false;
  bool cut = false;
  for (;;) {
    const int c = buf->sgetc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      break;
    }
    if (isWordSeparator(static_cast<unsigned char>(c))) break;
    buf->sbumpc();
    any = true;
    if (word.size() < static_cast<std::size_t>(kKxTokenWordLimit)) {
      word.push_back(static_cast<char>(c));
    } else {
      cut = true;
    }
  }
  if (cut) {
    KX_POS(kxerr) << "Word longer than " << kKxTokenWordLimit << " characters cut: " << word
                  << endl;
  }
  if (!any) in.setstate(std::ios::failbit);
  return any;
}

// Blanks, control bytes, double quotes and backslashes become a backslash and two hex digits.
std::string encode(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f || c == '"' || c == '\\') {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += ch;
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The inverse of encode; a backslash without two hex digits after it stays as it is.
std::string decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size()) {
      const int high = hexDigit(text[i + 1]);
      const int low = hexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// The rest of the current line, split at white space into at most two encoded pieces.
void readEscapedLine(std::istream& in, std::string& first, std::string& second) {
  std::string line;
  std::getline(in, line);
  std::istringstream pieces(line);
  first.clear();
  second.clear();
  pieces >> first >> second;
  first = decode(first);
  second = decode(second);
}

// A file name the plain header carries: one word the reader gives back whole.
bool isPlainWord(const std::string& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(kKxTokenWordLimit)) return false;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == 0 || isWordSeparator(c)) return false;
  }
  return true;
}

// A value the plain quoted form reads back exactly.
bool isPlainValue(const std::string& value) {
  if (value.size() > kPlainValueLimit) return false;
  if (!value.empty() && value.back() == '\\') return false;
  for (char c : value) {
    if (c == '"' || c == '\n' || c == '\r' || c == '\0') return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxPropertyRecord

const std::string* DyxPropertyRecord::getValue(const std::string& name) const {
  auto it = m_properties.find(name);
  return it == m_properties.end() ? nullptr : &it->second.second;
}

void DyxPropertyRecord::setValue(const std::string& name, const std::string& value) {
  if (isValidName(name)) {
    m_properties[name] = Property(name, value);
  } else {
    m_properties[name] = Property();
  }
}

void DyxPropertyRecord::addProperty(const Property& property) {
  if (m_properties.count(property.first) != 0) {
    KX_POS(kxerr) << "The given property already exist: [" << property.first << "="
                  << property.second << "]" << endl;
    return;
  }
  m_properties[property.first] = property;
}

void DyxPropertyRecord::getProperties(std::vector<Property>& list) const {
  list.clear();
  for (const auto& [key, pair] : m_properties) list.push_back(pair);
}

// ---------------------------------------------------------------------------------------------
// DyxEntryProperty

DyxPropertyRecord* DyxEntryProperty::getRecord(const std::string& fileName, bool create) {
  if (fileName.empty()) {
    KX_POS(kxerr) << "The given file name is empty." << endl;
    return nullptr;
  }
  auto it = m_records.find(fileName);
  if (it != m_records.end()) return it->second.get();
  if (!create) return nullptr;
  auto& slot = m_records[fileName];
  slot = std::make_unique<DyxPropertyRecord>();
  return slot.get();
}

bool DyxEntryProperty::removeRecord(const std::string& fileName) {
  return m_records.erase(fileName) != 0;
}

bool DyxEntryProperty::load(const std::string& name) {
  KX_SCOPE("DyxEntryProperty::load");
  if (kxout.enabled()) kxout << kxParam("pfile_name", name) << endl;
  const std::string file = DyxEnviron::getPropertyFileName(name);
  // A directory or a FIFO under the name would read as empty or block: only regular files open.
  DyxConfigFile source(file, DyxConfigFile::kSavedData);
  if (!source.isOpen()) {
    KX_POS(kxerr) << "Cannot open file: " << file << endl;
    return false;
  }
  std::istream& in = source.stream();
  DyxPropertyRecord* record = nullptr;
  std::string word;
  while (readWord(in, word)) {
    const std::size_t at = source.position();
    if (word == kRecordWord || word == kEscapedRecordWord) {
      std::string fileName;
      if (word == kRecordWord) {
        readWord(in, fileName);
      } else {
        std::string unused;
        readEscapedLine(in, fileName, unused);
      }
      record = getRecord(fileName, true);
      if (record == nullptr) {
        KX_POS(kxerr) << "Cannot create a property manager for file: " << fileName << endl;
      }
    } else if (word == kEscapedPropertyWord) {
      std::string key;
      std::string value;
      readEscapedLine(in, key, value);
      if (record == nullptr) {
        KX_POS(kxerr) << "Skip line: " << word << key << value << endl;
        source.problem(at, "a property before the first \"#\" line: skipped");
      } else if (!key.empty()) {
        record->setValue(key, value);
      }
    } else {
      // A value broken by a missing closing quote is empty; the rest of its line is skipped so
      // that its words are not read as further properties.
      // A broken value is not stored: it would replace the value an earlier line or file gave.
      const std::size_t problemsBefore = source.problemCount();
      const KxValue value = source.readRecordValue(word, true);
      const bool broken = source.problemCount() != problemsBefore;
      if (record == nullptr) {
        KX_POS(kxerr) << "Skip line: " << word << value.text() << endl;
        source.problem(at, "a property before the first \"#\" line: skipped");
      } else if (!broken) {
        record->setValue(word, value.text());
      }
    }
    if (in.fail()) {
      if (in.bad()) break;
      in.clear(in.eof() ? std::ios::eofbit : std::ios::goodbit);
    }
    if (in.eof()) break;
  }
  source.setLoaded("the properties of " + std::to_string(m_records.size()) +
                   (m_records.size() == 1 ? " file" : " files"));
  return true;
}

bool DyxEntryProperty::save(const std::string& name) const {
  const std::string file = DyxEnviron::getPropertyFileName(name);
  std::string content;
  for (const auto& [fileName, record] : m_records) {
    if (isPlainWord(fileName)) {
      content += "# " + fileName + "\n";
    } else {
      content += kEscapedRecordWord + " " + encode(fileName) + "\n";
    }
    for (const auto& [key, pair] : record->properties()) {
      // The key is written (not the pair's name), so that a key that is not a valid name, whose
      // pair is empty, reads back as the same key.
      // A valid name may still hold bytes that end or split a plain word (a line end, a form
      // feed, a zero byte), or begin with a quote that a reader would take for a quoted text.
      const bool plainKey =
          isValidName(key) && isPlainWord(key) && key.front() != '"' && key != kRecordWord;
      if (plainKey && isPlainValue(pair.second)) {
        content += key + " " + quote(pair.second) + "\n";
      } else {
        content += kEscapedPropertyWord + " " + encode(key) + " " + encode(pair.second) + "\n";
      }
    }
  }
  return DyxConfigFile::save(file, content, file, "Cannot open file: " + file,
                             "the properties were");
}
