// DyxPhysicalDirs: the pool of every physical directory the engine watches. The front end adds
// directories to it; a recursive scan adds every sub-directory as a directory of its own; the
// pool's update (its polling loop) re-scans them; it answers lookups of directories and entries
// by path. It is tied to one path map and to the entry repository of the same name, which lets a
// restart restore the saved directories or re-scan the path map. It can also follow changes in
// its directories as they happen: one watcher thread with one set of watches for all of them
// (watcher.h).
//
// Ownership: the pool owns its directories (a scan running on a directory keeps it alive until
// the scan stops, even when the pool removed it meanwhile), its filter, its path map and its
// change watcher. The observer is not owned. Destroying the pool stops the polling loop and the
// watcher and waits for them; callers `clear` first.
//
// Threads: every member takes the engine lock (mutex.h) itself, step by step, and may be called
// from the window's thread, the parse worker, the polling thread and the watcher's thread at
// the same time. `addPhysicalDirectory`, `reset`, `update`/`doUpdate`, `removePhysicalDirectory`,
// `removeAllChilds`, `clear`, `subscribeFileSystemChangeNotification`, `followChanges`,
// `refreshDirectory`, `forgetDirectory`, `stopNotification` and the destructor must be called
// WITHOUT holding the engine lock (they scan, or wait for threads that may need it).
// `findPhysicalDirectory`, `getEntry` and `collectEntries` hand out plain pointers that stay valid
// only while the caller holds the engine lock: call them under it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/pathmap.h"
#include "dyxcore/physdir.h"
#include "dyxcore/updater.h"
#include "dyxcore/watcher.h"
#include "dyxcore/xentryrep.h"

class DyxEntry;
class DyxFilter;
class DyxPath;
class DyxPattern;
struct DyxScanLevel;
namespace dyxplatform {
class Env;
}

class DyxPhysicalDirs : public DyxUpdater, public DyxEntryFiler {
 public:
  // Keyed by the directory's own name (getDirName), which lives as long as the element: a pool
  // of many directories keeps each path once.
  using DirectoryMap =
      std::map<std::string_view, std::shared_ptr<DyxPhysicalDirectory>, std::less<>>;

  // Empty pool, no observer, a filter without expression (which refuses every file), no path map.
  // Its directories list, read and watch the file system through `env`, which outlives the pool.
  explicit DyxPhysicalDirs(dyxplatform::Env& env);
  DyxPhysicalDirs();  // with the current environment
  dyxplatform::Env& env() const { return m_env; }
  ~DyxPhysicalDirs() override;

  // Walks every directory (doUpdate); a directory that can no longer be listed leaves the pool.
  bool update(bool force, bool recursive) override;
  // Always unset: the pool itself is never up to date.
  DyxTime getMTime() override;

  // Clears the pool, loads the path map and the repository of that name, then scans the path
  // map's directories (empty repository) or restores the saved directories without scanning.
  void reset(const std::string& name);
  // True when a new directory was created and scanned. dir_name is taken in its path text form
  // (no trailing separator), which is also its key.
  bool addPhysicalDirectory(const std::string& dir_name, bool recursive, bool mod_map);
  // Used by a recursive scan of `parent`: addPhysicalDirectory(dir_name, true, false), abandoned
  // when the parent leaves the pool meanwhile (a clear does not leave stray sub-directories).
  // `level` is what the parent's scan hands down to the scan of the sub-directory.
  bool addSubDirectory(const DyxPhysicalDirectory& parent, const std::string& dir_name,
                       const DyxScanLevel* level = nullptr);
  // True when the directory was in the pool, or being added (that addition is abandoned).
  bool removePhysicalDirectory(const std::string& dir_name, bool recursive, bool mod_map);
  // Removes every directory whose key starts with dir_name + "/" (not dir_name itself).
  bool removeAllChilds(const std::string& dir_name);
  DyxPhysicalDirectory* findPhysicalDirectory(const std::string& key) const;
  // The entry named by the path's last part in the directory of the other parts, or nullptr.
  DyxEntry* getEntry(const DyxPath& path) const;
  void collectEntries(std::vector<DyxEntry*>& out, bool clearFirst, const DyxPattern& pattern,
                      bool caseSensitive) const;
  // The entries collectEntries gives without a pattern, handed to `take` one directory at a time
  // (in the same order of directories) under the engine lock, so that the caller works on a
  // directory's entries while they are fresh in the cache; a directory's entries come in no set
  // order, since names read only to be sorted would cost a cache miss each, and a view sorts its
  // folders when they are read. `take` answering false stops the walk. The
  // directories stay alive during the walk; `take` must not free entries of those to come.
  void forEachDirectoryEntries(
      const std::function<bool(const std::vector<DyxEntry*>&)>& take) const;
  // Destroys every directory (their entries leave the views and the repository) and forgets the
  // path map. Additions still running on other threads are abandoned.
  void clear();

  void setObserver(DyxScanObserver* observer);
  DyxScanObserver* getObserver() const;
  // Replaces the filter's expression by the criterion text (used for the next additions).
  void setFilter(const std::string& criterion);
  DyxFilter& getFilter() { return *m_filter; }

  // Watches every current directory: a change updates it (forced, not recursive) and fires
  // `callback` when something changed. A directory that is watched already gets the callback
  // but no second watch; one the system will not watch for want of watches is polled.
  void subscribeFileSystemChangeNotification(DyxUpdateCallback callback);
  // A front end's following: every directory now and later is watched (or polled when the
  // system has no watch left); a change is read as a parse reads it, new sub-directories of a
  // recursive directory are scanned and watched, and a directory that goes away leaves the pool
  // with its entries (watcher.h). `onCounts` hears, from the watcher's thread, how many
  // directories are watched and polled. Replaces a subscription's watcher. With `catchUp`, the
  // watcher first reads every directory again (what changed while nobody followed shows).
  // False when the watcher's thread cannot be started.
  bool followChanges(std::function<void(const DyxWatchCounts&)> onCounts, bool catchUp = false);
  // Stops the watcher and waits for it; its watches end.
  void stopNotification();
  DyxWatchCounts watchCounts() const;
  bool isFollowingChanges() const;

  // True while the pool follows changes: a scan then takes a new size of a file as a change even
  // when its time stamp (429.5-second steps) did not move. Any thread.
  bool sizeCountsAsChange() const { return m_sizeCounts.load(); }

  // Reads the directory of `key` again as a parse would (with the pool's filter and observer,
  // recursively when the directory is); when it no longer exists it leaves the pool with its
  // sub-directories. True when anything changed.
  bool refreshDirectory(const std::string& key);
  // The directory of `key` and its sub-directories leave the pool with their entries, if the
  // pool holds it.
  void forgetDirectory(const std::string& key);

  void dump(std::ostream& out);

  const DyxPathMap& getPathMap() const { return m_pathMap; }
  // Makes `pathMap` the pool's path map (and so its name the key of the repository that
  // directories added from now on use), without loading or scanning anything. For a pool that
  // holds no directory: call it right after `clear`.
  void usePathMap(const DyxPathMap& pathMap);
  // The name of the path map, which is the key of the pool's repository.
  std::string repositoryKey() const;
  std::size_t directoryCount() const;
  std::vector<std::string> directoryKeys() const;
  // At most `limit` keys, in order, of the directories whose keys come after `after` (all of
  // them from the first when `after` is empty): a caller walks a large pool a batch at a time
  // instead of holding a copy of every key.
  std::vector<std::string> directoryKeysAfter(const std::string& after, std::size_t limit) const;
  // Calls `visit` for every directory of the pool, in key order, without copying the keys.
  // Under the engine lock; `visit` must not add or remove directories.
  void forEachDirectory(const std::function<void(const DyxPhysicalDirectory&)>& visit) const;

  // A strong reference that keeps the directory valid outside the engine lock (nullptr when the
  // key is unknown). For threads that scan a directory without holding the lock.
  std::shared_ptr<DyxPhysicalDirectory> acquirePhysicalDirectory(const std::string& key) const;
  // Used by a restore: creates the directory (not scanned) and files it under its name,
  // replacing nothing that exists. Under the engine lock.
  DyxPhysicalDirectory* restoreDirectory(const std::string& dir_name, bool recursive);
  // The repository's restore files through these (restoreDirectory, then attachEntry or
  // attachEntries).
  bool beginDirectory(const std::string& dirName, bool recursive) override;
  void fileEntry(DyxEntry* entry) override;
  void fileEntries(std::span<DyxEntry* const> entries) override;

 private:
  bool addDirectory(const std::string& dir_name, bool recursive, bool mod_map,
                    const DyxPhysicalDirectory* parent, const DyxScanLevel* level);
  // The key of a directory text: its path text form (no trailing or doubled separator).
  static std::string keyOf(const std::string& dir_name);
  // Files the directory under its own name.
  static void fileUnderName(DirectoryMap& map, std::shared_ptr<DyxPhysicalDirectory> dir);
  // Clears the entries of directories that have left the pool (without the engine lock held).
  static void clearRetired(std::vector<std::shared_ptr<DyxPhysicalDirectory>>& doomed);
  std::string shortTexts() const;

  dyxplatform::Env& m_env;                      // not owned
  DyxPhysicalDirectory* m_restoring = nullptr;  // the directory a restore files entries in
  DyxPathMap m_pathMap;
  DirectoryMap m_directories;
  // Directories whose first scan is running (not yet in m_directories), by key.
  DirectoryMap m_adding;
  DyxScanObserver* m_observer = nullptr;  // not owned
  std::unique_ptr<DyxFilter> m_filter;
  mutable std::mutex m_notifyMutex;  // guards m_watcher (waited for without the engine lock)
  std::unique_ptr<DyxChangeWatcher> m_watcher;
  std::atomic<bool> m_sizeCounts{false};
  std::atomic<int> m_notifyStops{0};  // stopNotification calls waiting for m_notifyMutex
};
