#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/cli.h"

namespace {

const char kHex[] = "0123456789abcdef";

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at `i`, or 0 when the byte there does not start one
// (overlong forms, surrogates and values past U+10FFFF are not valid).
std::size_t utf8Length(std::string_view s, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  if (c < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!isContinuation(at(i + k))) return 0;
  }
  return length;
}

void jsonString(std::ostream& out, std::string_view text) { out << '"' << escapeJson(text) << '"'; }

// `"key": "text"`, and when the text is not valid UTF-8 (its JSON form then holds U+FFFD in
// place of the bad bytes) also `, "keyBytes": "base64"`, which gives the exact bytes back.
void jsonField(std::ostream& out, const char* key, std::string_view text) {
  out << '"' << key << "\": ";
  jsonString(out, text);
  if (!isValidUtf8(text)) out << ", \"" << key << "Bytes\": \"" << base64(text) << '"';
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void writeTreeText(const CliReport& report, std::ostream& out) {
  for (const CliFolder& folder : report.folders) {
    out << std::string(2 * static_cast<std::size_t>(folder.depth), ' ') << escapeText(folder.name)
        << "  " << folder.fileCount << '\n';
  }
}

void writeListText(const CliReport& report, std::ostream& out) {
  bool first = true;
  for (std::size_t f = 0; f < report.folders.size(); ++f) {
    const CliFolder& folder = report.folders[f];
    // Every folder is shown when one was asked for; otherwise only those that list files.
    if (folder.rows.empty() && report.folders.size() > 1) continue;
    if (!first) out << '\n';
    first = false;
    out << escapeText(folder.path) << '\n';
    std::vector<std::pair<std::string, std::string>> shown;  // name and location, escaped
    shown.reserve(folder.rows.size());
    std::size_t nameWidth = 0;
    std::size_t sizeWidth = 0;
    std::size_t locationWidth = 0;
    for (const DyxListRow& row : folder.rows) {
      shown.emplace_back(escapeText(row.name), escapeText(row.location));
      nameWidth = std::max(nameWidth, shown.back().first.size());
      sizeWidth = std::max(sizeWidth, row.sizeText.size());
      locationWidth = std::max(locationWidth, shown.back().second.size());
    }
    for (std::size_t r = 0; r < folder.rows.size(); ++r) {
      const DyxListRow& row = folder.rows[r];
      out << "  " << padded(shown[r].first, nameWidth) << "  " << padded(row.sizeText, sizeWidth)
          << "  " << padded(shown[r].second, locationWidth) << "  " << row.modified;
      if (const std::vector<std::string>* values = report.commandValuesOf(f, r)) {
        for (std::size_t c = 0; c < values->size() && c < report.commandColumns.size(); ++c) {
          out << "  " << escapeText(report.commandColumns[c]) << '=' << escapeText((*values)[c]);
        }
      }
      out << '\n';
    }
  }
}

void writeTsv(const CliReport& report, std::ostream& out) {
  for (std::size_t f = 0; f < report.folders.size(); ++f) {
    const CliFolder& folder = report.folders[f];
    const std::string path = escapeTsv(folder.path);
    if (!report.withRows) {
      out << path << '\t' << folder.fileCount << '\n';
      continue;
    }
    for (std::size_t r = 0; r < folder.rows.size(); ++r) {
      const DyxListRow& row = folder.rows[r];
      out << path << '\t' << escapeTsv(row.name) << '\t' << row.size << '\t'
          << escapeTsv(row.sizeText) << '\t' << escapeTsv(row.location) << '\t'
          << escapeTsv(row.modified);
      const std::vector<std::string>* values = report.commandValuesOf(f, r);
      for (std::size_t c = 0; c < report.commandColumns.size(); ++c) {
        const bool has = values != nullptr && c < values->size();
        out << '\t' << (has ? escapeTsv((*values)[c]) : std::string());
      }
      out << '\n';
    }
  }
}

void writeJson(const CliReport& report, std::ostream& out) {
  out << '{';
  jsonField(out, "view", report.viewTag);
  if (!report.command.empty()) {
    out << ", ";
    jsonField(out, "command", report.command);
  }
  out << ", \"folders\": [";
  for (std::size_t f = 0; f < report.folders.size(); ++f) {
    const CliFolder& folder = report.folders[f];
    out << (f == 0 ? "\n" : ",\n") << "  {";
    jsonField(out, "path", folder.path);
    out << ", \"fileCount\": " << folder.fileCount;
    if (report.withRows) {
      out << ", \"files\": [";
      for (std::size_t r = 0; r < folder.rows.size(); ++r) {
        const DyxListRow& row = folder.rows[r];
        out << (r == 0 ? "\n" : ",\n") << "    {";
        jsonField(out, "name", row.name);
        out << ", \"size\": " << row.size << ", \"sizeText\": ";
        jsonString(out, row.sizeText);
        out << ", ";
        jsonField(out, "location", row.location);
        out << ", \"modified\": ";
        jsonString(out, row.modified);
        if (!report.command.empty()) {
          out << ", \"results\": {";
          const std::vector<std::string>* values = report.commandValuesOf(f, r);
          for (std::size_t c = 0; c < report.commandColumns.size(); ++c) {
            const bool has = values != nullptr && c < values->size();
            if (c != 0) out << ", ";
            jsonString(out, report.commandColumns[c]);
            out << ": ";
            jsonString(out, has ? (*values)[c] : std::string());
          }
          out << '}';
        }
        out << '}';
      }
      out << (folder.rows.empty() ? "]" : "\n  ]");
    }
    out << '}';
  }
  out << (report.folders.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace

std::string escapeTsv(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string escapeJson(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = utf8Length(text, i);
    if (length == 0) {
      // Strict parsers refuse lone surrogates, so a bad byte becomes U+FFFD; the field's
      // "Bytes" companion keeps the exact bytes.
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8Length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string base64(std::string_view bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]))
                                << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[n >> 18];
    out += kDigits[(n >> 12) & 63];
    out += kDigits[(n >> 6) & 63];
    out += kDigits[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kDigits[n >> 18];
    out += kDigits[(n >> 12) & 63];
    out += rest == 2 ? kDigits[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string escapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto escapeByte = [&out](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  };
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = utf8Length(text, i);
    // C0 controls and DEL; C1 controls, encoded (U+0080..U+009F) or as lone bytes, which a
    // terminal in an 8-bit mode also obeys.
    const bool control =
        c < 0x20 || c == 0x7F || (length == 0 && c >= 0x80 && c <= 0x9F) ||
        (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F);
    if (control) {
      for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
        escapeByte(static_cast<unsigned char>(text[i + k]));
      }
    } else {
      out.append(text.substr(i, std::max<std::size_t>(length, 1)));
    }
    i += std::max<std::size_t>(length, 1);
  }
  return out;
}

void writeReport(const CliReport& report, CliFormat format, std::ostream& out) {
  switch (format) {
    case CliFormat::kText:
      if (report.withRows) {
        writeListText(report, out);
      } else {
        writeTreeText(report, out);
      }
      break;
    case CliFormat::kTsv:
      writeTsv(report, out);
      break;
    case CliFormat::kJson:
      writeJson(report, out);
      break;
  }
}
