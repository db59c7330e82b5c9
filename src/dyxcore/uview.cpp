#include "dyxcore/uview.h"

#include <string_view>
#include <vector>

#include "dyxcore/conffile.h"
#include "dyxcore/environ.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"

namespace {

// A bare word holds at most 259 characters. A quoted value must close on its own line; it is not
// cut at 255 characters as the general token reader does, because the writer quotes full paths
// of entries, and paths longer than that are ordinary: capping them would lose those entries on
// the next read.
constexpr std::size_t kMaxWord = 259;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads the tokens of a view file held in memory. Every read moves forward or reports the end,
// so a damaged file can neither overrun a buffer nor make the reader loop.
class ViewFileReader {
 public:
  enum class Status { kOk, kEnd, kTooLong, kUnterminated };

  explicit ViewFileReader(std::string text) : m_text(std::move(text)) {}

  Status readWord(std::string& word) {
    word.clear();
    skipBlanks();
    m_tokenStart = m_pos;
    if (m_pos >= m_text.size()) return Status::kEnd;
    const std::size_t start = m_pos;
    while (m_pos < m_text.size() && !isBlank(m_text[m_pos])) ++m_pos;
    if (m_pos - start > kMaxWord) {
      word = m_text.substr(start, kMaxWord);
      return Status::kTooLong;
    }
    word = m_text.substr(start, m_pos - start);
    return Status::kOk;
  }

  // A double-quoted text (backslashes kept, a quote after a backslash does not close) or a word.
  Status readValue(std::string& value) {
    value.clear();
    skipBlanks();
    m_tokenStart = m_pos;
    if (m_pos >= m_text.size()) return Status::kEnd;
    if (m_text[m_pos] != '"') return readWord(value);
    std::size_t lineEnd = m_text.find('\n', m_pos);
    if (lineEnd == std::string::npos) lineEnd = m_text.size();
    const std::size_t limit = lineEnd;
    for (std::size_t k = m_pos + 1; k < limit; ++k) {
      if (m_text[k] == '"' && m_text[k - 1] != '\\') {
        value = m_text.substr(m_pos + 1, k - m_pos - 1);
        m_pos = k + 1;
        return Status::kOk;
      }
    }
    KX_POS(kxerr) << "Missing ending quote in line: "
                  << std::string_view(m_text).substr(m_pos, limit - m_pos) << endl;
    return Status::kUnterminated;
  }

  // A token that could not be read (over-long, or a quote left open) costs the rest of its line,
  // which holds the record it began: true when the record is to be skipped. The user is told
  // through `file`.
  bool skipsRecord(Status status, int record, DyxConfigFile& file) {
    if (status != Status::kTooLong && status != Status::kUnterminated) return false;
    if (status == Status::kTooLong) {
      KX_POS(kxerr) << "Word longer than " << static_cast<int>(kMaxWord) << " characters at line "
                    << record << ". Skip the line." << endl;
      file.problem(m_tokenStart, "a word longer than " + std::to_string(kMaxWord) +
                                     " characters: the record was skipped");
    } else {
      file.problem(m_tokenStart, "a quoted value has no closing quote: the record was skipped");
    }
    skipLine();
    return true;
  }

  // Where the token last read (or looked for) begins.
  std::size_t tokenStart() const { return m_tokenStart; }

  // Leaves the rest of the current line unread.
  void skipLine() {
    const std::size_t lineEnd = m_text.find('\n', m_pos);
    m_pos = lineEnd == std::string::npos ? m_text.size() : lineEnd + 1;
  }

 private:
  void skipBlanks() {
    while (m_pos < m_text.size() && isBlank(m_text[m_pos])) ++m_pos;
  }

  std::string m_text;
  std::size_t m_pos = 0;
  std::size_t m_tokenStart = 0;
};

// A record path without its "." parts: each stands for the folder at which it is met, so what
// remains leads from the view's root.
std::vector<std::string> folderSteps(const DyxPath& path) {
  std::vector<std::string> steps;
  for (const std::string& part : path.components()) {
    if (part != ".") steps.push_back(part);
  }
  return steps;
}

DyxPath pathOfSteps(const std::vector<std::string>& steps, std::size_t count) {
  DyxPath path;
  path.append(".");
  for (std::size_t i = 0; i < count; ++i) path.append(steps[i]);
  return path;
}

void invalidRecord(const std::string& kind, const DyxPath& path, int record) {
  KX_POS(kxerr) << "Invalid entry kind: " << kind << " for entry: " << path << " at line " << record
                << "." << endl;
}

// A file name may hold a double quote, which would end the quoted value early, or a line end,
// which would cut the record in two: either would lose the entry on the next read. Such a
// character is written as a backslash pair (\" \n \r, which the value reader keeps together),
// and the reader tries the name with the pairs turned back when the name as written is not in
// the pool. Every other path is written unchanged.
std::string entryPathText(const std::string& fullName) {
  if (fullName.find_first_of("\"\n\r") == std::string::npos) return fullName;
  std::string text;
  for (char c : fullName) {
    if (c == '"') {
      text += "\\\"";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else {
      text += c;
    }
  }
  return text;
}

// The names that an entry path as read may stand for, most literal first: as written, with
// only the quote pairs turned back (the older form), then with every pair turned back.
std::vector<std::string> entryPathCandidates(const std::string& text) {
  std::vector<std::string> candidates{text};
  if (text.find('\\') == std::string::npos) return candidates;
  std::string quotes = replaceAll(text, "\\\"", "\"");
  if (quotes != text) candidates.push_back(std::move(quotes));
  std::string full;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (text[i] == '\\' && (next == '"' || next == 'n' || next == 'r')) {
      full += next == '"' ? '"' : next == 'n' ? '\n' : '\r';
      ++i;
    } else {
      full += text[i];
    }
  }
  if (full != candidates.back()) candidates.push_back(std::move(full));
  return candidates;
}

// The record's path field: the separator alone for the view, the quoted relative path for
// every other folder.
std::string pathField(const std::vector<std::string>& steps) {
  if (steps.empty()) return DyxEnviron::getSeparator();
  return quote(pathOfSteps(steps, steps.size()).toString(0, false));
}

void writeFolder(const DyxViewFolder& folder, std::vector<std::string>& steps, bool withEntries,
                 std::string& out) {
  const std::string field = pathField(steps);
  out += "F " + field + " " + quote(folder.getFilterText()) + " " + quote(folder.getSorterTag()) +
         "\n";
  if (withEntries) {
    std::vector<DyxEntry*> entries;
    folder.getEntries(entries);
    for (const DyxEntry* entry : entries) {
      out += "E " + field + " " + quote(entryPathText(entry->getFullName())) + "\n";
    }
  }
  std::vector<DyxViewFolder*> subfolders;
  folder.getFolders(subfolders, false, true);
  for (const DyxViewFolder* sub : subfolders) {
    steps.push_back(sub->getName());
    writeFolder(*sub, steps, withEntries, out);
    steps.pop_back();
  }
}

// Writes `content` beside the view file and renames it into place.
bool replaceViewFile(const std::string& file, const std::string& content) {
  // The views directory may not exist yet in a fresh working directory.
  dyxplatform::makeDirectories(DyxEnviron::getViewsDir().toString(0, false));
  return DyxConfigFile::save(file, content, DyxConfigFile::shownName(file),
                             "Cannot open file: " + file, "the view was");
}

}  // namespace

DyxUserView::DyxUserView(const std::string& name, DyxPhysicalDirs* /*pool*/) : DyxView(name) {
  KX_SCOPE("DyxUserView::DyxUserView");
  kxout << kxParam("name", name) << endl;
  if (name.empty()) KX_POS(kxerr) << "DyxUserView: Given view name is empty." << endl;
}

DyxViewKind DyxUserView::getKind() const { return DyxViewKind(DyxViewKind::kUser); }

void DyxUserView::save() {
  markNotModified();
  updateFile();
}

std::string DyxUserView::getViewFile() const { return viewFileOf(getViewName()); }

std::string DyxUserView::viewFileOf(const std::string& viewName) {
  return DyxEnviron::getViewsDir().toString(0, false) + DyxEnviron::getSeparator() + viewName +
         ".kx";
}

void DyxUserView::readFromFile(DyxPhysicalDirs* pool) {
  KX_SCOPE("DyxUserView::readFromFile");
  // The entries named in the file are looked up in the pool.
  DyxEngineLock lock;
  m_unresolvedEntries = 0;
  m_firstUnresolved.clear();
  // Only a regular file is read, without blocking: a FIFO in the views directory must not hang
  // the engine.
  DyxConfigFile file(getViewFile(), DyxConfigFile::kSavedData);
  if (!file.isOpen()) {
    KX_POS(kxerr) << "Cannot open file: " << file.path() << endl;
    markModified();
    return;
  }
  ViewFileReader reader(file.text());
  using Status = ViewFileReader::Status;

  std::string word;
  reader.readWord(word);  // "#"
  reader.readWord(word);  // the kind letter, already known to the manager

  int record = 0;
  std::size_t folders = 0;
  std::size_t entries = 0;
  std::string kind;
  std::string pathText;
  for (;;) {
    const Status kindStatus = reader.readWord(kind);
    const std::size_t recordStart = reader.tokenStart();
    if (kindStatus == Status::kEnd) break;
    ++record;
    if (reader.skipsRecord(kindStatus, record, file)) continue;
    if (reader.skipsRecord(reader.readValue(pathText), record, file)) continue;
    DyxPath path(pathText);
    path.dropDots();
    const std::vector<std::string> steps = folderSteps(path);

    if (kind == "F") {
      std::string filter;
      std::string sorter;
      if (reader.skipsRecord(reader.readValue(filter), record, file) ||
          reader.skipsRecord(reader.readValue(sorter), record, file)) {
        continue;
      }
      KX_POS(kxout) << "Read " << kind << " \"" << path << "\" \"" << filter << "\" " << sorter
                    << endl;
      if (steps.empty()) {
        setSorterTag(sorter);
        markNotModified();
        continue;
      }
      DyxViewFolder* parent =
          steps.size() == 1 ? this : getFolder(pathOfSteps(steps, steps.size() - 1));
      if (parent == nullptr) {
        invalidRecord(kind, path, record);
        file.problem(recordStart, "the parent folder of " + path.toString() +
                                      " comes later or not at all: the record was skipped");
        continue;
      }
      const std::string& name = steps.back();
      KX_POS(kxout) << "(" << getViewName() << ") Create folder " << name << " into \""
                    << parent->getName() << "\" - " << endl;
      std::unique_ptr<DyxViewFolder> folder = newFolder(name);
      if (folder) {
        folder->setFilterText(filter);
        // "false" is how a folder that keeps nothing is written; anything else the parser
        // complains of is the user's to know, since the folder keeps nothing it should.
        if (filter != "false") {
          for (const std::string& message : folder->getFilterMessages()) {
            file.problem(recordStart, "the criterion of the folder " + path.toString() +
                                          " cannot be parsed: " + message);
          }
        }
        folder->setSorterTag(sorter);
        // A name in use is refused and discarded.
        if (parent->addFolder(std::move(folder))) ++folders;
      }
      kxout << "Done" << endl;
    } else if (kind == "E") {
      DyxViewFolder* target = steps.empty() ? this : getFolder(pathOfSteps(steps, steps.size()));
      std::string entryText;
      if (reader.skipsRecord(reader.readValue(entryText), record, file)) continue;
      if (target == nullptr) {
        invalidRecord(kind, path, record);
        file.problem(recordStart, "the folder " + path.toString() +
                                      " comes later or not at all: the entry was skipped");
        continue;
      }
      DyxEntry* entry = nullptr;
      if (pool != nullptr && !entryText.empty()) {
        for (const std::string& candidate : entryPathCandidates(entryText)) {
          entry = pool->getEntry(DyxPath(candidate));
          if (entry != nullptr) break;
        }
      }
      if (entry != nullptr) {
        if (target->addEntry(entry, nullptr)) ++entries;
      } else {
        KX_POS(kxerr) << "Bad entry: " << path << endl;
        if (m_unresolvedEntries++ == 0) m_firstUnresolved = entryText;
      }
    } else {
      // The rest of the line is read as the next record, as the format always did.
      invalidRecord(kind, path, record);
      file.problem(recordStart,
                   DyxConfigFile::quoted(kind) + " is not a record kind (F or E): skipped");
    }
  }
  file.setLoaded(std::to_string(folders) + (folders == 1 ? " folder" : " folders") + " and " +
                 std::to_string(entries) + (entries == 1 ? " entry" : " entries"));
}

bool DyxUserView::updateFile() {
  KX_SCOPE("DyxUserView::updateFile");
  std::string content = std::string("# ") + getKind().kindLetter() + "\n";
  std::vector<std::string> steps;
  writeFolder(*this, steps, getKind().value() == DyxViewKind::kUser, content);
  return replaceViewFile(getViewFile(), content);
}

bool DyxUserView::createFile() {
  KX_SCOPE("\"DyxUserView::createFile\"");
  return replaceViewFile(getViewFile(), std::string());
}
