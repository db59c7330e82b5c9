// Helpers shared by the scan, pool, path map and updater suites: a view notifier that records
// what the scans report, captures of the trace streams and of the activity log, and small file
// helpers. Test code only.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "dyxcore/mutex.h"
#include "dyxcore/physdir.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"
#include "support/testutil.h"

namespace pooltest {

// Counts, per file name, what the scans told the views. Thread-safe.
class RecordingNotifier final : public DyxViewNotifier {
 public:
  RecordingNotifier() { DyxPhysicalDirectory::setViewNotifier(this); }
  ~RecordingNotifier() { DyxPhysicalDirectory::setViewNotifier(nullptr); }
  RecordingNotifier(const RecordingNotifier&) = delete;
  RecordingNotifier& operator=(const RecordingNotifier&) = delete;

  void entryAdded(DyxEntry* entry, DyxScanObserver*) override { record(m_added, entry); }
  void entryChanged(DyxEntry* entry, DyxScanObserver*) override { record(m_changed, entry); }
  void entryRemoved(DyxEntry* entry) override { record(m_removed, entry); }
  void allEntriesRemoved() override {
    std::lock_guard<std::mutex> g(m_mutex);
    ++m_wholesale;
  }
  int wholesaleRemovals() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_wholesale;
  }

  std::map<std::string, int> added() const { return copy(m_added); }
  std::map<std::string, int> changed() const { return copy(m_changed); }
  std::map<std::string, int> removed() const { return copy(m_removed); }
  int total() const {
    std::lock_guard<std::mutex> g(m_mutex);
    int n = 0;
    for (const auto* m : {&m_added, &m_changed, &m_removed})
      for (const auto& [k, v] : *m) n += v;
    return n;
  }
  void reset() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_added.clear();
    m_changed.clear();
    m_removed.clear();
  }

 private:
  void record(std::map<std::string, int>& m, DyxEntry* entry) {
    std::lock_guard<std::mutex> g(m_mutex);
    ++m[std::string(entry->getName())];
  }
  std::map<std::string, int> copy(const std::map<std::string, int>& m) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m;
  }
  mutable std::mutex m_mutex;
  std::map<std::string, int> m_added, m_changed, m_removed;
  int m_wholesale = 0;
};

// Text that the trace writes from any thread while a test reads it. It keeps no put area, so
// that every character reaches the text under the lock (a string stream's would be written by
// the trace's thread while the test's reads it).
class LockedTextBuf final : public std::streambuf {
 public:
  std::string text() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_text.push_back(traits_type::to_char_type(c));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_text.append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_text;
};

// Sends kxout/kxerr (one object by default) into a string for the guard's lifetime.
class TraceCapture {
 public:
  TraceCapture() {
    kxout.setTargetStream(&m_text);
    kxout.setThreshold(KxLevel::kDebug);
    kxerr.setTargetStream(&m_text);
    kxerr.setThreshold(KxLevel::kDebug);
  }
  ~TraceCapture() {
    kxout.setThreshold(KxLevel::kSilent);
    kxerr.setThreshold(KxLevel::kSilent);
    kxout.setTargetStream(&std::cout);
    kxerr.setTargetStream(&std::cout);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  std::string text() const { return m_buffer.text(); }
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }

 private:
  LockedTextBuf m_buffer;
  std::ostream m_text{&m_buffer};
};

// Sends the activity log into a file of its own for the guard's lifetime.
class ActivityCapture {
 public:
  explicit ActivityCapture(const std::string& file) : m_file(file) { ActivityLog::open(m_file); }
  ~ActivityCapture() { ActivityLog::close(); }
  ActivityCapture(const ActivityCapture&) = delete;
  ActivityCapture& operator=(const ActivityCapture&) = delete;
  std::string text() const { return quarrytest::readFile(m_file); }
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }

 private:
  std::string m_file;
};

// Moves a file's last-write time by whole days, far outside its 429.5-second interval.
inline void shiftWriteTime(const std::string& path, int days) {
  namespace fs = std::filesystem;
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(24 * days));
}

inline std::vector<std::string> names(const DyxPhysicalDirectory& dir) {
  DyxEngineLock lock;
  std::vector<std::string> out;
  for (const DyxEntry* entry : dir.sortedEntries()) out.emplace_back(entry->getName());
  return out;
}

}  // namespace pooltest
