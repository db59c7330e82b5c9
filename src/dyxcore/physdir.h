// DyxPhysicalDirectory: one real directory of the file system, with one entry for each file
// directly inside it. Its scan lists the directory, creates entries for new files, refreshes
// known ones, removes vanished ones and tells the views about each change. Sub-directories never
// become entries: a recursive scan hands each one to the pool, which makes it a directory of its
// own. DyxStandAlonePhysicalDirectory is the pool-less kind: its entries live in the transient
// repository "0" and it never reports to the views.
//
// Ownership: the pool owns its directories (shared with a scan that is running on them, so that
// a directory removed meanwhile stays valid until that scan has stopped); the repository owns the
// entries, the directory only files plain pointers to them. The observer and the filter given to
// a scan are not owned.
//
// Threads: a scan takes the engine lock (mutex.h) itself for each name of the listing and releases
// it in between, so a long scan never blocks the window, the polling thread or the notification
// threads for more than one name. Call `scan`, `update` and `doUpdate` WITHOUT holding the engine
// lock; scans of one directory never overlap (a second one asked for meanwhile is folded into the
// running one, which then scans once more). Every other member (findEntry, attachEntry,
// entryCount, sortedEntries, collectEntries, removeEntry, clearEntries, dump, the recursive
// flag) must be called under the engine lock. `getDirName` and `isStandAlone` need no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dyxcore/updater.h"

class DyxEntry;
class DyxEntryRepository;
class DyxFilter;
class DyxPath;
class DyxPattern;
class DyxPhysicalDirs;
class DyxViewFolder;
struct DyxScanLevel;
namespace dyxplatform {
class Env;
}

// The front end's observer of scans. Its calls arrive under the engine lock.
class DyxScanObserver {
 public:
  // Called by the views (not by the scan) when they file an entry or create a folder while
  // processing a change the scan reported; false asks the view to stop filing.
  virtual bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) = 0;
  // True when the scan must stop at once. `restarted` is the front end's own flag; the scan
  // ignores it.
  virtual bool isStopRequested(bool& restarted) = 0;
  // The scan is about to list this directory.
  virtual void directoryStarted(const std::string& path) = 0;

 protected:
  ~DyxScanObserver() = default;
};

// Where a pooled directory reports new, changed and vanished entries: the engine's context
// (context.h) holds it. The facade's forwards to the view manager (addEntryToAllViews,
// remapEntryInAllViews, removeFromAllView with cleanup); tests install their own. Called under
// the engine lock.
class DyxViewNotifier {
 public:
  virtual void entryAdded(DyxEntry* entry, DyxScanObserver* observer) = 0;
  // The entries of one directory at once (a restore's); by default one by one.
  virtual void entriesAdded(std::span<DyxEntry* const> entries, DyxScanObserver* observer) {
    for (DyxEntry* entry : entries) entryAdded(entry, observer);
  }
  virtual void entryChanged(DyxEntry* entry, DyxScanObserver* observer) = 0;
  virtual void entryRemoved(DyxEntry* entry) = 0;
  // Every entry of the pool leaves every view at once (the pool is cleared as a whole).
  virtual void allEntriesRemoved() = 0;

 protected:
  ~DyxViewNotifier() = default;
};

class DyxPhysicalDirectory : public DyxUpdater {
 public:
  // The entries of a directory by name (the repository owns them). Open addressing on the
  // name's hash: a slot holds the entry's slot number in its repository and 32 bits of the
  // name's hash, so that a probe seldom reads a name; about 12 bytes per entry and no name
  // comparison on the way to a new name. Every entry of a table belongs to one repository (the
  // directory's), and the names are its interned texts (they never move nor go away while
  // entries use them), so the table keeps no copy of them. It has no order: the few readers
  // that need name order sort.
  // A restore files a directory's saved entries once, all at a time (adopt): they are kept as a
  // plain list, in the order given, and no name is read until the first find, insert or erase
  // makes the table of them. A directory that is only shown never hashes a name. Entries that
  // fill consecutive slots (a directory as a parse made it) are kept as that run alone.
  class NameTable {
   public:
    // The hash the table files a name under: a caller that looks a name up and then files it
    // works it out once.
    static std::uint32_t hashOf(std::string_view name);
    DyxEntry* find(std::string_view name) const { return find(name, hashOf(name)); }
    DyxEntry* find(std::string_view name, std::uint32_t hash) const;
    // Files the entry under its name and answers the entry it replaces (nullptr when none). An
    // entry of another repository than the entries already filed is not filed (the trace
    // tells it): the table would read it in the wrong repository.
    DyxEntry* insert(DyxEntry* entry);
    DyxEntry* insert(DyxEntry* entry, std::uint32_t hash);
    // Files the entries of an empty table as a list, without reading their names (see above);
    // a name given twice is resolved as insert would, when the table is made. False, with
    // nothing filed, when the table is not empty or the entries are not all entries of one
    // repository: the caller inserts them one by one.
    bool adopt(std::span<DyxEntry* const> entries);
    // Removes this very entry; false when another entry (or none) has its name.
    bool erase(const DyxEntry* entry);
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    void clear();
    // Every entry, in byte-wise name order.
    std::vector<DyxEntry*> sorted() const;
    // Every entry, in no particular order (no name is read).
    std::vector<DyxEntry*> unsorted() const;
    // The same into `out`, emptied first (a caller walking many tables keeps one list).
    void unsorted(std::vector<DyxEntry*>& out) const;
    // Every entry with its name, in name order when `byName`. The names stay valid after the
    // entries leave, so a caller that releases the engine lock between steps can check that
    // an entry is still filed under its name before it touches it.
    std::vector<std::pair<std::string_view, DyxEntry*>> named(bool byName) const;

   private:
    struct Slot {
      std::uint32_t number;  // the entry's slot in the repository + 1; 0: a free slot
      std::uint32_t hash;    // of the entry's name
    };
    DyxEntry* entryOf(Slot slot) const;
    std::string_view nameOf(Slot slot) const;
    // Makes the table of a listed one (a no-op otherwise). The lookups that need it are const:
    // the members it changes are mutable, and every call runs under the engine lock.
    void index() const;
    // Files the slot number under the name and hash; answers the number it replaces (0: none).
    std::uint32_t place(std::uint32_t filed, std::uint32_t hash, std::string_view name) const;
    void grow() const;
    // Calls `visit` with each slot number filed in `slots`: of a listed table in the order
    // given, a run of `count` from `runFirst` when `slots` is empty; of a hashed one in table
    // order.
    template <class Visit>
    static void forEachNumber(const std::vector<Slot>& slots, bool listed, std::uint32_t runFirst,
                              std::uint32_t count, Visit visit);
    // Size 0 or a power of two; while m_listed, the m_count entries in order, hashes unset, or
    // empty for a run of slots from m_runFirst.
    mutable std::vector<Slot> m_slots;
    // The repository of the entries filed, by its number (xentry.h): one that is gone answers
    // no entry rather than read freed memory.
    std::uint32_t m_repository = 0;
    mutable std::uint32_t m_count = 0;
    // While m_listed and m_slots is empty: the number of the run's first slot.
    mutable std::uint32_t m_runFirst = 0;
    mutable bool m_listed = false;
  };

  // `dirName` is the path's text form (no trailing separator). Makes sure the repository of the
  // directory's key exists. `pool` may be null only for the stand-alone kind.
  DyxPhysicalDirectory(const DyxPath& path, bool recursive, DyxPhysicalDirs* pool);
  // The same from the path's text form as it is (the pool's key of the directory): the pool
  // makes thousands of directories, and their keys are never parsed again.
  DyxPhysicalDirectory(std::string key, bool recursive, DyxPhysicalDirs* pool);
  ~DyxPhysicalDirectory() override;

  // Scans without observer and filter.
  bool update(bool force, bool recursive) override;
  // The directory's own time stamp (its status-change time), or unset when it cannot be read.
  DyxTime getMTime() override;
  virtual bool isStandAlone() const;
  // The status-change time the last complete scan saw (a file time, 0 when none), and its
  // restore from a saved index: a directory restored with the time it had at the save is
  // read again only once it changes.
  std::uint64_t scannedChangeTime() const { return getStoredFineTimeStamp(); }
  void restoreScannedChangeTime(std::uint64_t fileTime) {
    setStoredTimeStamp(DyxTime::fromFileTime(fileTime), fileTime);
  }

  const std::string& getDirName() const { return m_dirName; }
  bool isRecursive() const { return m_recursive.load(); }
  // Does not scan; the pool does what follows from a change.
  void setRecursive(bool recursive) { m_recursive.store(recursive); }
  DyxPhysicalDirs* getPool() const { return m_pool; }
  // The path map name of the pool ("" for a pool without path map file), "0" when stand-alone.
  std::string repositoryKey() const;
  DyxEntryRepository& repository() const;

  // Lists the directory and brings the entries up to date; true when anything changed. Throws
  // the integer 0 (after its messages) when the name is empty or the listing cannot be opened.
  // What the scan could not read is recorded as a notice (kxcore/notice.h): a directory that
  // cannot be listed (unless it no longer exists), a listing cut short, the files left out when
  // no entry can be made. A file that vanishes between the listing and its reading is no file.
  // `level` is given by the recursive scan of the parent that enters this directory (null for
  // a scan of its own): it carries the descent's read-ahead and the parent's open directory.
  bool scan(bool recursive, DyxScanObserver* observer, DyxFilter* filter,
            const DyxScanLevel* level = nullptr);
  // The errno of the latest listing that could not be opened or was cut short; 0 when it was
  // read whole. Any thread.
  int listError() const { return m_listError.load(); }

  DyxEntry* findEntry(const std::string& name) const;
  // Files an existing entry under its name, replacing any entry of that name; notifies nobody.
  void attachEntry(DyxEntry* entry);
  // The same for the entries of a restore, whose names differ: into an empty directory they are
  // filed as a list, without reading a name (NameTable::adopt).
  void attachEntries(std::span<DyxEntry* const> entries);
  std::size_t entryCount() const;
  // The entries in byte-wise name order.
  std::vector<DyxEntry*> sortedEntries() const;
  // The entries in no set order, without reading their names.
  std::vector<DyxEntry*> unsortedEntries() const;
  // The same into `out`, emptied first.
  void unsortedEntries(std::vector<DyxEntry*>& out) const;
  // Appends, in name order, every entry whose name (upper-cased unless caseSensitive) matches.
  void collectEntries(std::vector<DyxEntry*>& out, const DyxPattern& pattern,
                      bool caseSensitive) const;
  // Frees the entry's slot and unfiles it; does not notify the views.
  void removeEntry(DyxEntry* entry);
  // Takes every entry out of the views (unless stand-alone) and the repository; resets the
  // time stamp.
  void clearEntries();
  // For the pool, once the views were emptied wholesale: frees the slots without view work.
  void releaseEntries();
  void dump(std::ostream& out);

  // Used by the pool: a retired directory has left the pool; a scan running on it stops at its
  // next step, and it never files an entry again. The caller clears its entries next.
  void retire() { m_retired.store(true); }
  bool isRetired() const { return m_retired.load(); }

  // Puts `notifier` before the facade's; nullptr restores the facade's. Process-wide; set it
  // only while no scan runs.
  static void setViewNotifier(DyxViewNotifier* notifier);
  static DyxViewNotifier& viewNotifier();

 protected:
  struct StandAloneTag {};
  // For the stand-alone kind: no pool, repository "0", no view is ever told.
  DyxPhysicalDirectory(const DyxPath& path, bool recursive, StandAloneTag);
  // The status-change time in full as the fine part.
  DyxTime getMTimeFine(std::uint64_t& fine) override;
  bool storesOwnTimeStamp() const override { return true; }

 private:
  bool scanOnce(bool recursive, DyxScanObserver* observer, DyxFilter* filter,
                const DyxScanLevel* level);
  // The views hear of it first (when asked), then the entry leaves the table and its slot is
  // freed. Under the engine lock.
  void dropEntry(DyxEntry* entry, bool tellViews);
  void notifyAdded(DyxEntry* entry, DyxScanObserver* observer);
  void notifyChanged(DyxEntry* entry, DyxScanObserver* observer);
  void notifyRemoved(DyxEntry* entry);
  void clearEntries(bool tellViews);

  std::string m_dirName;
  dyxplatform::Env& m_env;  // the pool's; not owned
  NameTable m_entries;
  DyxPhysicalDirs* m_pool;  // not owned; null for a stand-alone directory
  // The process's one copy of the key (never freed): every directory of a pool has the same.
  const std::string* const m_repositoryKey;
  std::atomic<int> m_listError{0};
  std::atomic<bool> m_recursive;
  const bool m_standAlone;
  std::atomic<bool> m_retired{false};
  // Folding of overlapping scans, under the engine lock.
  bool m_scanning = false;
  bool m_rescanRequested = false;
  bool m_rescanRecursive = false;
};

class DyxStandAlonePhysicalDirectory : public DyxPhysicalDirectory {
 public:
  DyxStandAlonePhysicalDirectory(const DyxPath& path, bool is_recursive);
  ~DyxStandAlonePhysicalDirectory() override;
  bool isStandAlone() const override;
};
