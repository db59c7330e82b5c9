#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

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

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void writeTreeText(const CliReport& report, std::ostream& out) {
  for (const CliFolder& folder : report.folders) {
    out << std::string(2 * static_cast<std::size_t>(folder.depth), ' ') << folder.name << "  "
        << folder.fileCount << '\n';
  }
}

void writeListText(const CliReport& report, std::ostream& out) {
  bool first = true;
  for (const CliFolder& folder : report.folders) {
    // Every folder is shown when one was asked for; otherwise only those that list files.
    if (folder.rows.empty() && report.folders.size() > 1) continue;
    if (!first) out << '\n';
    first = false;
    out << folder.path << '\n';
    std::size_t nameWidth = 0;
    std::size_t sizeWidth = 0;
    std::size_t locationWidth = 0;
    for (const DyxListRow& row : folder.rows) {
      nameWidth = std::max(nameWidth, row.name.size());
      sizeWidth = std::max(sizeWidth, row.sizeText.size());
      locationWidth = std::max(locationWidth, row.location.size());
    }
    for (const DyxListRow& row : folder.rows) {
      out << "  " << padded(row.name, nameWidth) << "  " << padded(row.sizeText, sizeWidth) << "  "
          << padded(row.location, locationWidth) << "  " << row.modified << '\n';
    }
  }
}

void writeTsv(const CliReport& report, std::ostream& out) {
  for (const CliFolder& folder : report.folders) {
    const std::string path = escapeTsv(folder.path);
    if (!report.withRows) {
      out << path << '\t' << folder.fileCount << '\n';
      continue;
    }
    for (const DyxListRow& row : folder.rows) {
      out << path << '\t' << escapeTsv(row.name) << '\t' << row.size << '\t'
          << escapeTsv(row.sizeText) << '\t' << escapeTsv(row.location) << '\t'
          << escapeTsv(row.modified) << '\n';
    }
  }
}

void writeJson(const CliReport& report, std::ostream& out) {
  out << "{\"view\": ";
  jsonString(out, report.viewTag);
  out << ", \"folders\": [";
  for (std::size_t f = 0; f < report.folders.size(); ++f) {
    const CliFolder& folder = report.folders[f];
    out << (f == 0 ? "\n" : ",\n") << "  {\"path\": ";
    jsonString(out, folder.path);
    out << ", \"fileCount\": " << folder.fileCount;
    if (report.withRows) {
      out << ", \"files\": [";
      for (std::size_t r = 0; r < folder.rows.size(); ++r) {
        const DyxListRow& row = folder.rows[r];
        out << (r == 0 ? "\n" : ",\n") << "    {\"name\": ";
        jsonString(out, row.name);
        out << ", \"size\": " << row.size << ", \"sizeText\": ";
        jsonString(out, row.sizeText);
        out << ", \"location\": ";
        jsonString(out, row.location);
        out << ", \"modified\": ";
        jsonString(out, row.modified);
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
      // A lone byte: the low surrogate U+DC00 + byte, as file-system bytes are commonly kept.
      out += "\\udc";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
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
