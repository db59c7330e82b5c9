// What the user must be told about a result: a directory that could not be read (so its files
// are missing), files the result leaves out, a configuration or view file that could not be
// read, a saved file found damaged, a file that could not be written. The engine records a
// notice where it meets the fault; the front end takes the notices after each step and shows
// them where the user looks (quarry-cli on standard error, the window in its status line and
// its list of problems). A result is complete exactly when no notice was taken for it.
//
// Every notice also reaches the activity log. A fault met once per file (a million files that
// cannot be kept) is recorded with `count`: notices of one kind and one reason fold into one,
// whose count grows, and the log gets one line with the total when the notices are taken, not
// a line per file.
//
//   KxNotices::report(KxNoticeKind::kUnreadable, dir, "Permission denied");
//   KxNotices::count(KxNoticeKind::kLeftOut, "the repository is full", firstName);
//   for (const KxNotice& n : KxNotices::take()) err << "quarry-cli: " << n.text() << '\n';
//
// Threads: every function may be called from any thread; the store has a lock of its own,
// which is never held while anything else is locked, so a caller may hold the engine lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class KxNoticeKind : std::uint8_t {
  kUnreadable,     // a directory or file of the tree could not be read: what it holds is missing
  kLeftOut,        // names the result leaves out (counted); `path` is the first one met
  kConfiguration,  // a configuration or view file could not be read or has a line it skips
  kDamaged,        // a saved file is damaged: `reason` says what was loaded and what was not
  kNotSaved,       // a file could not be written; the previous one stays whole
};

struct KxNotice {
  KxNoticeKind kind = KxNoticeKind::kUnreadable;
  std::string path;         // the file or directory concerned; may be empty
  std::string reason;       // plain words: "Permission denied", "line 3: no value"
  std::uint64_t count = 1;  // how many times it was met (one notice per reason when counted)

  // "PATH: reason" (or "reason" without a path); a counted notice of more than one file reads
  // "N files were left out: reason (the first: PATH)".
  std::string text() const;
};

class KxNotices {
 public:
  KxNotices() = delete;

  // Records one notice and writes it to the activity log at once.
  static void report(KxNoticeKind kind, std::string path, std::string reason);
  // Records `n` occurrences folded into the notice of (kind, reason); the first path met is
  // kept. The activity log gets the total when the notices are taken.
  static void count(KxNoticeKind kind, const std::string& reason, const std::string& path,
                    std::uint64_t n = 1);

  // Hands over every notice recorded since the last take, in the order first met, and forgets
  // them. Writes the activity-log line of each counted notice.
  static std::vector<KxNotice> take();
  // How many notices are waiting (a counted notice counts once).
  static std::size_t pending();
  // Forgets every notice without logging (a front end that starts afresh, tests).
  static void clear();

  // At most this many notices are kept between two takes; beyond it, the further ones fold
  // into one counted notice of their kind, so a tree of a million unreadable directories cannot
  // exhaust memory through its notices.
  static constexpr std::size_t kMaxKept = 10000;
};
