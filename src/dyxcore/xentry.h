// DyxTime and DyxEntry: the engine's record of one file and its 32-bit time stamp.
//
// An entry lives in a slot of its DyxEntryRepository (xentryrep.h), which owns it; directories
// and views hold plain pointers, valid until the repository frees the slot. The name and the
// directory are keys into the repository's text table, never copies. On disk an entry is eight
// little-endian 32-bit words (id, pid, 0, mtime, size low, size high, status, repository); in
// memory the last word is the number of its repository in a process-wide table (so an entry is
// 32 bytes): a repository holds its number from its construction to its destruction, and its
// entries live in its own slots, so an entry's number always names its own repository.
//
// Threads: an entry has no lock. Read and refresh entries under the engine lock (mutex.h). The
// property table is built on first use behind a once-flag, so any thread may use it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/platform.h"

class DyxEntryRepository;
class DyxPath;

// The live repositories by number (0: none). Filled and emptied by DyxEntryRepository itself;
// any thread may read it.
namespace dyxrepository {
constexpr std::size_t kMaxRepositories = std::size_t{1} << 16;
extern std::atomic<DyxEntryRepository*> g_byNumber[kMaxRepositories];
}  // namespace dyxrepository

// The upper 32 bits of a 1601-based 100-nanosecond file time: a resolution of 429.4967296
// seconds. -1 is unset (the default).
class DyxTime {
 public:
  static constexpr std::int32_t kUnset = -1;
  DyxTime() = default;
  explicit DyxTime(std::int32_t value) : m_value(value) {}
  // The time stamp of a full file time.
  static DyxTime fromFileTime(std::uint64_t fileTime) {
    return DyxTime(dyxplatform::highPart(fileTime));
  }

  std::int32_t getValue() const { return m_value; }
  bool isSet() const { return m_value != kUnset; }
  // Calendar fields in UTC of the file time whose upper half is the value and lower half 0.
  // A negative value has no calendar date: the getters give 0 (month 0 too; check hasDate()).
  bool hasDate() const { return m_value >= 0; }
  int getYear() const;
  int getMonth() const;  // 1..12, 0 without a date
  int getDay() const;
  void getDayMonthYear(int& day, int& month, int& year) const;
  // Seconds since 1970 of the start of the interval.
  std::int64_t toUnixSeconds() const;
  // "YYYY/MM/DD hh:mm:ss" in UTC; "----/--/-- --:--:--" when unset or without a date.
  std::string toString() const;
  // "January".."December" for 1..12, "" for any other number.
  static std::string monthName(int month);

  friend bool operator==(DyxTime a, DyxTime b) { return a.m_value == b.m_value; }
  friend bool operator!=(DyxTime a, DyxTime b) { return a.m_value != b.m_value; }
  friend bool operator<(DyxTime a, DyxTime b) { return a.m_value < b.m_value; }
  friend bool operator<=(DyxTime a, DyxTime b) { return a.m_value <= b.m_value; }
  friend bool operator>(DyxTime a, DyxTime b) { return a.m_value > b.m_value; }
  friend bool operator>=(DyxTime a, DyxTime b) { return a.m_value >= b.m_value; }

 private:
  std::int32_t m_value = kUnset;
};
std::ostream& operator<<(std::ostream& os, DyxTime time);

// Property ids (dense, 1..13; 0 is no property).
enum DyxPropertyId : int {
  kPropNone = 0,
  kPropName = 1,
  kPropExt = 2,
  kPropLocation = 3,
  kPropSize = 4,
  kPropCTime = 5,
  kPropMTime = 6,
  kPropATime = 7,
  kPropOwner = 8,
  kPropGroup = 9,
  kPropFlags = 10,
  kPropType = 11,
  kPropContent = 12,
  kPropStatus = 13,
};
constexpr int kPropertyCount = 13;
// Exact, case-sensitive names: 0 for any other text.
int propertyId(const std::string& name);
// "" for an id outside 1..13.
std::string propertyName(int id);
std::vector<int> propertyIds();
std::vector<std::string> propertyNames();

enum DyxEntryStatus : std::int32_t {
  kStatusNormal = 0,
  kStatusLocked = 1,
  kStatusIOError = 2,
};

class DyxEntry {
 public:
  // A free slot: every word 0, no repository.
  DyxEntry() = default;
  // A fresh entry: the repository interns the name; dirKey is the key of the directory's path
  // text (0: no directory). Without a repository the name cannot be kept (id 0).
  DyxEntry(const std::string& name, std::uint32_t dirKey, DyxEntryRepository* repository);

  std::uint32_t getId() const { return m_id; }
  std::uint32_t getPid() const { return m_pid; }
  bool isFree() const { return m_id == 0; }
  DyxEntryRepository* getRepository() const { return repositoryNumbered(m_repository); }
  // The live repository of that number, nullptr for 0 or a number no repository holds.
  static DyxEntryRepository* repositoryNumbered(std::uint32_t number) {
    return number < dyxrepository::kMaxRepositories
               ? dyxrepository::g_byNumber[number].load(std::memory_order_acquire)
               : nullptr;
  }

  // The view stays valid as long as the repository's texts (until a load or a clear of the
  // repository): interned texts never move. Empty without a repository.
  std::string_view getName() const;
  std::string getShortName() const;
  std::string getExtension() const;
  // Directory text + "/" + name; the name alone without a directory text.
  std::string getFullName() const;
  // The directory as a path; empty without repository or directory.
  DyxPath getLocation() const;
  // The directory's text ("" without repository or directory).
  std::string getDirectoryText() const;
  // The same text without a copy: it views the repository's text, valid while the entry lives.
  std::string_view getDirectoryView() const;
  std::uint64_t getSize() const {
    return (static_cast<std::uint64_t>(m_sizeHigh) << 32) | m_sizeLow;
  }
  DyxTime getMTime() const { return DyxTime(m_mtime); }
  std::int32_t getStatus() const { return m_status; }
  std::string getStatusText() const;
  static std::string statusText(std::int32_t status);
  // The type manager's first type of the entry, "<no-type>" when none.
  std::string getType() const;
  // Clears `types` and fills it with every type of the type manager that accepts the entry.
  void getTypes(std::vector<std::string>& types) const;
  std::string getProperty(int id) const;
  std::string getProperty(const std::string& name) const;

  // Reads the file's information into `info` (never blocking, never changing its access time)
  // through its repository's environment and sets the status as applyFileInformation does.
  dyxplatform::FileInfoResult readFileInformation(dyxplatform::FileInfo& info);
  // Takes what a reading of the file gave (`error` is its errno): the status becomes Normal;
  // I/O Error when the file cannot be opened for reading (`info` then still holds its size and
  // times) or cannot be looked up at all; Locked when it opened but its information cannot be
  // read. kVanished leaves the status alone: the name is gone.
  void applyStatus(dyxplatform::FileInfoResult result, int error);
  // Re-reads the file; true when the time stamp changed (then the size is taken as well). A
  // file that cannot be opened takes the size and time stamp of its information all the same;
  // one that cannot even be looked up has its time stamp unset and size 0.
  bool refresh();
  // The same; `vanished` tells that the name no longer exists (nothing else changed then), and
  // the entry is no file any more.
  bool refresh(bool& vanished);
  // The same from information already read (a scan reads it from the open directory).
  // With `sizeCounts`, a new size is a change even within one time-stamp interval (429.5 s):
  // a file that grows is seen at once. Without it, as specified, only the time stamp counts.
  bool refreshFrom(dyxplatform::FileInfoResult result, const dyxplatform::FileInfo& info, int error,
                   bool& vanished, bool sizeCounts = false);
  // The four-line dump block.
  void dump(std::ostream& os) const;

  // Direct setters, for restoring state and for tests that need given sizes and times.
  void setMTime(DyxTime time) {
    m_mtime = time.getValue();
    m_reserved2 = 0;
  }
  void setSize(std::uint64_t size) {
    m_sizeLow = static_cast<std::uint32_t>(size);
    m_sizeHigh = static_cast<std::uint32_t>(size >> 32);
  }
  void setStatus(std::int32_t status) { m_status = status; }

  // The eight on-disk words (word 7 written 0: its value means nothing on disk).
  static constexpr std::size_t kRecordWords = 8;
  static constexpr std::size_t kRecordBytes = 32;
  void toRecord(unsigned char out[kRecordBytes]) const;
  // Words 0..6 from a record; the repository reference becomes `repository`.
  void fromRecord(const unsigned char in[kRecordBytes], DyxEntryRepository* repository);

 private:
  friend class DyxEntryRepository;

  std::uint32_t m_id = 0;
  std::uint32_t m_pid = 0;
  std::uint32_t m_reserved2 = 0;
  std::int32_t m_mtime = 0;
  std::uint32_t m_sizeLow = 0;
  std::uint32_t m_sizeHigh = 0;
  std::int32_t m_status = kStatusNormal;
  std::uint32_t m_repository = 0;  // its number, below kMaxRepositories
};

// Lines 2 and 3 of the dump block (line 2 with its line end, line 3 without).
std::ostream& operator<<(std::ostream& os, const DyxEntry& entry);
