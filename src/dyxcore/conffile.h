// DyxConfigFile: one configuration file (preferences, types, commands, a path map, a view file,
// a property file) read whole for its reader, and the user's notices of what in it could not be
// read. Every reader opens its file through this class, so that all of them refuse what is not
// a regular file in the same way (a FIFO would block, a directory reads as nothing) without a
// gap between the test and the open, and all name the file and the line of a fault alike.
//
//   DyxConfigFile file("conf/type.ini", DyxConfigFile::kPlainText);
//   if (!file.isOpen()) return;           // missing: silent; anything else: a notice
//   std::istream& in = file.stream();
//   ... file.problem(file.position(), "the criterion cannot be parsed");
//
// A missing file is no fault here: every reader goes on without it as it always did (its own
// trace message says so). A file that exists but cannot be read is a configuration notice with
// the system's reason. Problems in the text are configuration notices "line N: reason"; a file
// of random bytes gives the first few of them and one notice with the count of the rest, never
// a notice per line.
//
// Threads: an object belongs to the thread that made it; notices are thread-safe (notice.h).
#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "kxcore/notice.h"
#include "kxcore/value.h"

class DyxConfigFile {
 public:
  enum Options : unsigned {
    kRecords = 0,
    // The file is meant to be typed by hand: a control byte (other than tab, line and page
    // ends) in it is reported as a line that is not text, the sign of a damaged file.
    kPlainText = 1,
    // The file is data the program saved (a path map, a view file, a property file): what it
    // cannot read is damage, and the user is told what was loaded (setLoaded).
    kSavedData = 2,
    // Nothing is reported to the user: the problems are kept (quietProblems) for a caller that
    // shows them itself, such as a re-read whose outcome is told on the spot.
    kQuiet = 4,
  };
  static constexpr std::size_t kMaxReported = 5;

  // Reads the file, or only its first `maxBytes` bytes. Its notices are of the kind
  // "configuration", or "damaged" with kSavedData.
  explicit DyxConfigFile(std::string path, unsigned options = kRecords,
                         std::size_t maxBytes = static_cast<std::size_t>(-1));
  // Reports how many further problems were met beyond the first kMaxReported.
  ~DyxConfigFile();
  DyxConfigFile(const DyxConfigFile&) = delete;
  DyxConfigFile& operator=(const DyxConfigFile&) = delete;

  // A file name as the user is shown it: relative to the working directory, without "./".
  static std::string shownName(const std::string& path);

  // Saves `content` as the file `path` (written beside it, then renamed over it). When that
  // fails, the trace gets `traceLine` and the user a "not saved" notice naming `shown`: the
  // system's reason, then "(<what> not saved; the previous file is unchanged)", where `what` is
  // such as "the view was".
  static bool save(const std::string& path, const std::string& content, const std::string& shown,
                   const std::string& traceLine, const std::string& what);

  // A word of the file as a message shows it: in single quotes, control bytes as "?", cut
  // after 40 bytes (a file of random bytes must not drive the user's terminal).
  static std::string quoted(const std::string& word);

  bool isOpen() const { return m_open; }
  // No file under the name (nothing was reported).
  bool isMissing() const { return !m_open && m_missing; }
  // Why it could not be read, in plain words ("" when open).
  const std::string& failure() const { return m_failure; }
  const std::string& path() const { return m_path; }  // as given
  const std::string& text() const { return m_text; }
  // A stream over the text, positioned at its start.
  std::istream& stream() { return m_stream; }
  // The stream's offset in the text (the end of the text once the stream has failed).
  std::size_t position();
  // The line (from 1) of an offset in the text.
  std::size_t lineOf(std::size_t offset);

  // Reports a line the reader skips or reads only in part (once per line).
  void problem(std::size_t offset, const std::string& reason);
  std::size_t problemCount() const { return m_problems; }
  // With kQuiet: what would have been reported, as "PATH: reason" texts, in order.
  const std::vector<std::string>& quietProblems() const { return m_quietProblems; }
  // What the reader took from the file ("3 directories"): when a line could not be read, the
  // last notice says it, so that the user knows what was loaded and what was not.
  void setLoaded(std::string what) { m_loaded = std::move(what); }

  // The value of a record whose name ends at the stream's position, read as kxReadRecordValue
  // reads it (`skipBrokenLine` true) or as `in >> value` does. A quote left open, or a value
  // that is not on the name's line (the line or the file ends first), is reported at the
  // name's line with `record` as the record's name. True in `onItsLine` when the value was
  // found on that line.
  KxValue readRecordValue(const std::string& record, bool skipBrokenLine,
                          bool* onItsLine = nullptr);

 private:
  std::string m_path;
  std::string m_shown;  // shownName(m_path)
  std::string m_text;
  std::istringstream m_stream;
  bool m_open = false;
  bool m_missing = false;
  std::string m_failure;
  std::size_t m_problems = 0;
  KxNoticeKind m_kind;
  std::string m_loaded;
  // Where the last line count stopped, so that a reader reporting in order counts each line
  // once.
  std::size_t m_countedTo = 0;
  std::size_t m_countedLine = 1;
  std::size_t m_lastLine = 0;  // of the last problem, 0: none yet
  bool m_quiet = false;
  std::vector<std::string> m_quietProblems;

  void report(const std::string& reason);
};
