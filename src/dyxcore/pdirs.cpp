#include "dyxcore/pdirs.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <sstream>
#include <string_view>
#include <utility>

#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/thread.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"

DyxPhysicalDirs::DyxPhysicalDirs(dyxplatform::Env& env)
    : m_env(env), m_filter(std::make_unique<DyxFilter>()) {}

DyxPhysicalDirs::DyxPhysicalDirs() : DyxPhysicalDirs(dyxplatform::Env::current()) {}

DyxPhysicalDirs::~DyxPhysicalDirs() {
  // The loop and the watcher use this pool: they end before any of it goes.
  stopUpdateLoop();
  stopNotification();
  clear();
}

std::string DyxPhysicalDirs::keyOf(const std::string& dir_name) {
  DyxPath path(dir_name);
  path.dropDots();
  return path.isEmpty() ? std::string() : path.toString();
}

namespace {
// True when `text` is certainly its own key: a rooted path of names joined by single
// separators, none of them "." or "..". The paths a restore reads were keys when they were
// saved, so the thousands of directories it makes are not parsed again. Other systems' paths
// (drives, either separator) always take the parse.
bool isKeyAsItStands(std::string_view text) {
  if constexpr (dyxplatform::kPathSeparator != '/') {
    return false;
  } else {
    if (text.empty() || text.front() != '/') return false;
    if (text.size() == 1) return true;
    std::size_t start = 1;
    for (;;) {
      const std::size_t end = std::min(text.find('/', start), text.size());
      const std::string_view name = text.substr(start, end - start);
      if (name.empty() || name == "." || name == "..") return false;
      if (end == text.size()) return true;
      start = end + 1;
    }
  }
}
}  // namespace

void DyxPhysicalDirs::clearRetired(std::vector<std::shared_ptr<DyxPhysicalDirectory>>& doomed) {
  for (auto& dir : doomed) {
    dir->retire();
    dir->clearEntries();
  }
  doomed.clear();
}

DyxTime DyxPhysicalDirs::getMTime() { return DyxTime(); }

void DyxPhysicalDirs::fileUnderName(DirectoryMap& map, std::shared_ptr<DyxPhysicalDirectory> dir) {
  const std::string_view name = dir->getDirName();
  map.emplace(name, std::move(dir));
}

std::string DyxPhysicalDirs::repositoryKey() const {
  DyxEngineLock lock;
  return m_pathMap.getName();
}

void DyxPhysicalDirs::reset(const std::string& name) {
  KX_SCOPE("DyxPhysicalDirs::reset");
  kxout << kxParam("tag", name) << endl;
  clear();
  DyxPathMap pathMap(name);
  bool empty = true;
  {
    DyxEngineLock lock;
    m_pathMap = pathMap;
    DyxEntryRepository& repo = DyxEntryRepository::getRepository(pathMap.getName());
    repo.load();
    empty = repo.isEmpty();
  }
  if (empty) {
    DyxPathMap::Paths paths;
    if (pathMap.getPaths(paths)) {
      for (const auto& [path, recursive] : paths) {
        addPhysicalDirectory(path.toString(), recursive, false);
      }
    }
    return;
  }
  KX_POS(kxout) << "A backup file exist: Restore it." << endl;
  DyxEngineLock lock;
  // Restored directories keep an unset time stamp: the first update scans each of them.
  DyxEntryRepository::getRepository(pathMap.getName()).restore(*this);
}

void DyxPhysicalDirs::usePathMap(const DyxPathMap& pathMap) {
  DyxEngineLock lock;
  m_pathMap = pathMap;
}

DyxPhysicalDirectory* DyxPhysicalDirs::restoreDirectory(const std::string& dir_name,
                                                        bool recursive) {
  DyxEngineLock lock;
  std::string key = isKeyAsItStands(dir_name) ? dir_name : keyOf(dir_name);
  assert(key == keyOf(dir_name));
  // One walk of the map: the place found is where the new directory goes.
  const auto it = m_directories.lower_bound(key);
  if (it != m_directories.end() && it->first == key) return it->second.get();
  auto dir = std::make_shared<DyxPhysicalDirectory>(std::move(key), recursive, this);
  DyxPhysicalDirectory* raw = dir.get();
  m_directories.emplace_hint(it, raw->getDirName(), std::move(dir));
  return raw;
}

bool DyxPhysicalDirs::beginDirectory(const std::string& dirName, bool recursive) {
  m_restoring = restoreDirectory(dirName, recursive);
  return m_restoring != nullptr;
}

void DyxPhysicalDirs::fileEntry(DyxEntry* entry) {
  if (m_restoring != nullptr) m_restoring->attachEntry(entry);
}

void DyxPhysicalDirs::fileEntries(std::span<DyxEntry* const> entries) {
  if (m_restoring != nullptr) m_restoring->attachEntries(entries);
}

bool DyxPhysicalDirs::addPhysicalDirectory(const std::string& dir_name, bool recursive,
                                           bool mod_map) {
  return addDirectory(dir_name, recursive, mod_map, nullptr, nullptr);
}

bool DyxPhysicalDirs::addSubDirectory(const DyxPhysicalDirectory& parent,
                                      const std::string& dir_name, const DyxScanLevel* level) {
  return addDirectory(dir_name, true, false, &parent, level);
}

bool DyxPhysicalDirs::addDirectory(const std::string& dir_name, bool recursive, bool mod_map,
                                   const DyxPhysicalDirectory* parent, const DyxScanLevel* level) {
  KX_SCOPE("DyxPhysicalDirs::addPhysicalDirectory");
  kxout << kxParam("dir_name", dir_name) << kxParam("recursive", recursive)
        << kxParam("mod_map", mod_map) << endl;
  // A sub-directory met by a scan is its parent's key and a listed name, which holds neither a
  // separator nor dots: it is a key already, and a scan of many small directories would
  // otherwise parse every path once more.
  const std::string key = parent != nullptr ? dir_name : keyOf(dir_name);
  assert(key == keyOf(dir_name));
  std::shared_ptr<DyxPhysicalDirectory> dir;
  std::shared_ptr<DyxPhysicalDirectory> existing;
  DyxScanObserver* observer = nullptr;
  {
    DyxEngineLock lock;
    if (parent != nullptr && parent->isRetired()) return false;
    if (mod_map) m_pathMap.setRecursive(key, recursive);
    auto it = m_directories.find(key);
    if (it != m_directories.end()) {
      existing = it->second;
      if (existing->isRecursive() == recursive) return false;
      // Clearing the flag first keeps a scan running meanwhile from adding children again.
      if (!recursive) existing->setRecursive(false);
    } else {
      // Being added by another thread right now: that addition scans it.
      if (m_adding.count(key) != 0) return false;
      dir = std::make_shared<DyxPhysicalDirectory>(key, recursive, this);
      fileUnderName(m_adding, dir);
      observer = m_observer;
    }
  }

  if (existing) {
    if (recursive) {
      existing->setRecursive(true);
      try {
        existing->scan(true, nullptr, nullptr, level);
      } catch (int) {
        // The directory stays; the next update removes it if it is really gone.
      }
    } else {
      removeAllChilds(key);
    }
    return false;
  }

  bool scanned = false;
  try {
    dir->scan(recursive, observer, m_filter.get(), level);
    scanned = true;
  } catch (int) {
    // The scan tells of a directory it cannot read; one that is not there is news only when
    // it was asked for by name (a sub-directory removed meanwhile simply has no files).
    const int error = dir->listError();
    if (parent == nullptr && (error == ENOENT || error == ENOTDIR)) {
      KxNotices::report(KxNoticeKind::kUnreadable, key, dyxplatform::errorText(error));
    }
  } catch (...) {
    std::vector<std::shared_ptr<DyxPhysicalDirectory>> doomed;
    {
      DyxEngineLock lock;
      auto a = m_adding.find(key);
      if (a != m_adding.end() && a->second == dir) m_adding.erase(a);
      doomed.push_back(dir);
    }
    clearRetired(doomed);
    throw;
  }
  std::vector<std::shared_ptr<DyxPhysicalDirectory>> doomed;
  {
    DyxEngineLock lock;
    auto a = m_adding.find(key);
    const bool stillOurs = a != m_adding.end() && a->second == dir;
    if (stillOurs) m_adding.erase(a);
    // A clear or a removal while the scan ran abandoned the addition.
    if (scanned && stillOurs && !dir->isRetired() && (parent == nullptr || !parent->isRetired())) {
      fileUnderName(m_directories, dir);
      return true;
    }
    doomed.push_back(dir);
  }
  clearRetired(doomed);
  return false;
}

bool DyxPhysicalDirs::removePhysicalDirectory(const std::string& dir_name, bool recursive,
                                              bool mod_map) {
  KX_SCOPE("DyxPhysicalDirs::removePhysicalDirectory");
  kxout << kxThis(this) << kxParam("dir_name", dir_name) << kxParam("recursive", recursive)
        << kxParam("mod_map", mod_map) << endl;
  const std::string key = keyOf(dir_name);
  if (mod_map) {
    DyxPathMap copy;
    {
      DyxEngineLock lock;
      m_pathMap.remove(key);
      copy = m_pathMap;
    }
    copy.save();
  }
  if (recursive && !removeAllChilds(key)) {
    KX_POS(kxerr) << "Problem in remove childs." << endl;
    return false;
  }
  std::vector<std::shared_ptr<DyxPhysicalDirectory>> doomed;
  {
    DyxEngineLock lock;
    auto it = m_directories.find(key);
    if (it != m_directories.end()) {
      doomed.push_back(it->second);
      it->second->retire();
      m_directories.erase(it);
    }
    // A directory whose first scan is still running is in the pool for lookups and
    // collections already: removing it abandons that scan and counts as a removal.
    auto a = m_adding.find(key);
    if (a != m_adding.end()) {
      a->second->retire();
      doomed.push_back(a->second);
      m_adding.erase(a);
    }
  }
  if (doomed.empty()) {
    KX_POS(kxerr) << "Not in." << endl;
    return false;
  }
  clearRetired(doomed);
  ActivityLog::stream() << "ok. Removed physical directory: " << key << std::endl;
  return true;
}

bool DyxPhysicalDirs::removeAllChilds(const std::string& dir_name) {
  KX_SCOPE("DyxPhysicalDirs::removeAllChilds");
  kxout << kxParam("dir_name", dir_name) << endl;
  const std::string key = keyOf(dir_name);
  // Only keys that start with the directory and a separator: a key that merely contains it
  // elsewhere is another tree.
  const std::string prefix = (!key.empty() && key.back() == dyxplatform::kPathSeparator)
                                 ? key
                                 : key + dyxplatform::kPathSeparator;
  std::vector<std::shared_ptr<DyxPhysicalDirectory>> doomed;
  std::vector<std::string> keys;
  {
    DyxEngineLock lock;
    for (DirectoryMap* map : {&m_directories, &m_adding}) {
      auto it = map->lower_bound(prefix);
      while (it != map->end() && it->first.compare(0, prefix.size(), prefix) == 0) {
        it->second->retire();
        doomed.push_back(it->second);
        if (map == &m_directories) keys.emplace_back(it->first);
        it = map->erase(it);
      }
    }
  }
  clearRetired(doomed);
  for (const std::string& k : keys) {
    ActivityLog::stream() << "ok. Removed physical directory: " << k << std::endl;
  }
  return true;
}

DyxPhysicalDirectory* DyxPhysicalDirs::findPhysicalDirectory(const std::string& key) const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirs::findPhysicalDirectory");
  DyxEngineLock lock;
  auto it = m_directories.find(key);
  if (it == m_directories.end()) it = m_directories.find(keyOf(key));
  return it != m_directories.end() ? it->second.get() : nullptr;
}

std::shared_ptr<DyxPhysicalDirectory> DyxPhysicalDirs::acquirePhysicalDirectory(
    const std::string& key) const {
  DyxEngineLock lock;
  auto it = m_directories.find(key);
  return it != m_directories.end() ? it->second : nullptr;
}

std::string DyxPhysicalDirs::shortTexts() const {
  std::ostringstream out;
  bool first = true;
  for (const auto& [key, dir] : m_directories) {
    if (!first) out << "\n";
    first = false;
    out << dir->getDirName() << " nb=" << dir->entryCount() << " ("
        << (dir->isUpToDate() ? "" : "*") << ")";
  }
  return out.str();
}

DyxEntry* DyxPhysicalDirs::getEntry(const DyxPath& path) const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirs::getEntry");
  KX_SCOPE("DyxPhysicalDirs::getEntry");
  kxout << kxParam("path", path) << endl;
  if (path.count() <= 1) {
    KX_POS(kxerr) << "Invalid path (depth=" << path.count() << ")." << endl;
    return nullptr;
  }
  const std::string dirText = path.parent().toString();
  DyxEngineLock lock;
  auto find = [this](const std::string& key) -> const DyxPhysicalDirectory* {
    auto it = m_directories.find(key);
    if (it != m_directories.end()) return it->second.get();
    auto adding = m_adding.find(key);
    return adding != m_adding.end() ? adding->second.get() : nullptr;
  };
  const DyxPhysicalDirectory* dir = find(dirText);
  // Keys are kept in their normal form: a path with "." parts names the same directory.
  if (dir == nullptr) {
    const std::string key = keyOf(dirText);
    if (key != dirText) dir = find(key);
  }
  if (dir == nullptr) {
    KX_POS(kxerr) << "No physical directory with name: \"" << dirText << "\"" << endl;
    KX_POS(kxerr) << shortTexts() << endl;
    return nullptr;
  }
  return dir->findEntry(path.last());
}

void DyxPhysicalDirs::collectEntries(std::vector<DyxEntry*>& out, bool clearFirst,
                                     const DyxPattern& pattern, bool caseSensitive) const {
  DyxEngineLock lock;
  if (clearFirst) out.clear();
  // Directories whose first scan is still running hold entries the views were told about: a
  // view rebuilt meanwhile must have them too, or the rest of that scan never brings them back.
  std::map<std::string_view, const DyxPhysicalDirectory*> all;
  for (const auto& [key, dir] : m_directories) all.emplace(key, dir.get());
  for (const auto& [key, dir] : m_adding) all.emplace(key, dir.get());
  for (const auto& [key, dir] : all) dir->collectEntries(out, pattern, caseSensitive);
}

void DyxPhysicalDirs::forEachDirectoryEntries(
    const std::function<bool(const std::vector<DyxEntry*>&)>& take) const {
  DyxEngineLock lock;
  // As collectEntries: the directories whose first scan is still running too, all in key order
  // (the map's own when none is).
  std::vector<std::pair<std::string_view, std::shared_ptr<DyxPhysicalDirectory>>> all;
  all.reserve(m_directories.size() + m_adding.size());
  for (const auto& [key, dir] : m_directories) all.emplace_back(key, dir);
  if (!m_adding.empty()) {
    for (const auto& [key, dir] : m_adding) all.emplace_back(key, dir);
    const auto byKey = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::stable_sort(all.begin(), all.end(), byKey);
    // A key in both maps counts once: the settled directory's, which came first.
    const auto sameKey = [](const auto& a, const auto& b) { return a.first == b.first; };
    all.erase(std::unique(all.begin(), all.end(), sameKey), all.end());
  }
  std::vector<DyxEntry*> entries;
  for (const auto& [key, dir] : all) {
    dir->unsortedEntries(entries);
    if (!entries.empty() && !take(entries)) return;
  }
}

void DyxPhysicalDirs::clear() {
  KX_SCOPE("DyxPhysicalDirs::clear");
  kxout << kxThis(this) << endl;
  std::vector<std::shared_ptr<DyxPhysicalDirectory>> doomed;
  {
    DyxEngineLock lock;
    for (auto& [key, dir] : m_directories) {
      dir->retire();
      doomed.push_back(dir);
    }
    for (auto& [key, dir] : m_adding) {
      dir->retire();
      doomed.push_back(dir);
    }
    m_directories.clear();
    m_adding.clear();
    m_pathMap = DyxPathMap();
    // The pool is the only one whose entries the views hold: they are emptied in one go, in the
    // same lock hold that retired every directory, so no scan can file an entry in between.
    if (!doomed.empty()) DyxPhysicalDirectory::viewNotifier().allEntriesRemoved();
  }
  for (auto& dir : doomed) dir->releaseEntries();
}

bool DyxPhysicalDirs::update(bool force, bool recursive) {
  KX_SCOPE("DyxPhysicalDirs::update");
  kxout << kxThis(this) << endl;
  ActivityLog::stream() << "Updating the pool of physical directories." << std::endl;
  bool changed = false;
  std::string cursor;
  bool first = true;
  for (;;) {
    if (pollingStopRequested()) break;
    std::shared_ptr<DyxPhysicalDirectory> dir;
    std::string key;
    {
      // Directories that a recursive scan adds during the walk are visited when their keys
      // sort after the current one.
      DyxEngineLock lock;
      auto it = first ? m_directories.begin() : m_directories.upper_bound(cursor);
      if (it == m_directories.end()) break;
      key = it->first;
      dir = it->second;
    }
    first = false;
    cursor = key;
    try {
      if (dir->doUpdate(force, recursive)) changed = true;
    } catch (const DyxThreadExit&) {
      throw;
    } catch (...) {
      std::vector<std::shared_ptr<DyxPhysicalDirectory>> doomed;
      {
        DyxEngineLock lock;
        auto it = m_directories.find(key);
        if (it != m_directories.end() && it->second == dir) {
          dir->retire();
          m_directories.erase(it);
          doomed.push_back(dir);
        }
      }
      if (!doomed.empty()) {
        clearRetired(doomed);
        changed = true;
        KX_POS(kxerr) << "The directory does not exist any more: " << key << endl;
        ActivityLog::stream() << "ok. "
                              << "Removed directory: " << key << std::endl;
      }
    }
  }
  return changed;
}

void DyxPhysicalDirs::setObserver(DyxScanObserver* observer) {
  DyxEngineLock lock;
  m_observer = observer;
}

DyxScanObserver* DyxPhysicalDirs::getObserver() const {
  DyxEngineLock lock;
  return m_observer;
}

void DyxPhysicalDirs::setFilter(const std::string& criterion) {
  DyxEngineLock lock;
  m_filter->reset(criterion);
}

void DyxPhysicalDirs::subscribeFileSystemChangeNotification(DyxUpdateCallback callback) {
  KX_SCOPE("DyxPhysicalDirs::subscribeFileSystemChangeNotification");
  std::vector<std::pair<std::string, std::shared_ptr<DyxPhysicalDirectory>>> dirs;
  {
    DyxEngineLock lock;
    for (const auto& [key, dir] : m_directories) dirs.emplace_back(key, dir);
  }
  std::lock_guard<std::mutex> guard(m_notifyMutex);
  if (!m_watcher) {
    m_watcher = std::make_unique<DyxChangeWatcher>(*this, m_env, DyxChangeWatcher::Options());
  }
  if (!m_watcher->watchPool()) return;
  if (callback == nullptr) return;
  for (auto& [key, dir] : dirs) {
    if (m_watcher->covers(key)) dir->addCallback(callback);
  }
}

bool DyxPhysicalDirs::followChanges(std::function<void(const DyxWatchCounts&)> onCounts,
                                    bool catchUp) {
  KX_SCOPE("DyxPhysicalDirs::followChanges");
  std::unique_ptr<DyxChangeWatcher> replaced;
  std::lock_guard<std::mutex> guard(m_notifyMutex);
  if (m_watcher && !m_watcher->followsTree()) replaced = std::move(m_watcher);
  replaced.reset();
  if (!m_watcher) {
    DyxChangeWatcher::Options options;
    options.followTree = true;
    options.onCounts = std::move(onCounts);
    m_watcher = std::make_unique<DyxChangeWatcher>(*this, m_env, std::move(options));
  }
  m_sizeCounts.store(true);
  if (!m_watcher->watchPool([this] { return m_notifyStops.load() > 0; })) return false;
  if (catchUp) m_watcher->requestFullPass();
  return true;
}

void DyxPhysicalDirs::stopNotification() {
  std::unique_ptr<DyxChangeWatcher> watcher;
  // A subscription in progress (followChanges holds the mutex) sees the stop waiting and ends.
  m_notifyStops.fetch_add(1);
  {
    std::lock_guard<std::mutex> guard(m_notifyMutex);
    m_notifyStops.fetch_sub(1);
    watcher.swap(m_watcher);
    m_sizeCounts.store(false);
  }
  // The destructor interrupts the wait and waits for the thread.
  watcher.reset();
}

DyxWatchCounts DyxPhysicalDirs::watchCounts() const {
  std::lock_guard<std::mutex> guard(m_notifyMutex);
  return m_watcher ? m_watcher->counts() : DyxWatchCounts();
}

bool DyxPhysicalDirs::isFollowingChanges() const {
  std::lock_guard<std::mutex> guard(m_notifyMutex);
  return m_watcher && m_watcher->followsTree();
}

bool DyxPhysicalDirs::refreshDirectory(const std::string& key) {
  KX_SCOPE("DyxPhysicalDirs::refreshDirectory");
  kxout << kxParam("key", key) << endl;
  std::shared_ptr<DyxPhysicalDirectory> dir = acquirePhysicalDirectory(key);
  if (!dir) return false;
  DyxScanObserver* observer = nullptr;
  {
    DyxEngineLock lock;
    observer = m_observer;
  }
  bool changed = false;
  try {
    changed = dir->scan(dir->isRecursive(), observer, m_filter.get());
  } catch (const DyxThreadExit&) {
    throw;
  } catch (int) {
    // A directory that still exists but cannot be read keeps its entries until it can.
    if (m_env.isDirectory(key)) return false;
    forgetDirectory(key);
    return true;
  }
  if (changed) dir->fireCallbacks();
  return changed;
}

void DyxPhysicalDirs::forgetDirectory(const std::string& key) {
  bool held = false;
  {
    DyxEngineLock lock;
    held = m_directories.count(key) != 0 || m_adding.count(key) != 0;
  }
  // Sub-directories may be in the pool without their parent (added by name): they go too.
  if (held) {
    removePhysicalDirectory(key, true, false);
  } else {
    removeAllChilds(key);
  }
}

std::size_t DyxPhysicalDirs::directoryCount() const {
  DyxEngineLock lock;
  return m_directories.size();
}

std::vector<std::string> DyxPhysicalDirs::directoryKeys() const {
  DyxEngineLock lock;
  std::vector<std::string> keys;
  keys.reserve(m_directories.size());
  for (const auto& [key, dir] : m_directories) keys.emplace_back(key);
  return keys;
}

std::vector<std::string> DyxPhysicalDirs::directoryKeysAfter(const std::string& after,
                                                             std::size_t limit) const {
  DyxEngineLock lock;
  std::vector<std::string> keys;
  for (auto it = after.empty() ? m_directories.begin() : m_directories.upper_bound(after);
       it != m_directories.end() && keys.size() < limit; ++it) {
    keys.emplace_back(it->first);
  }
  return keys;
}

void DyxPhysicalDirs::forEachDirectory(
    const std::function<void(const DyxPhysicalDirectory&)>& visit) const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirs::forEachDirectory");
  for (const auto& [key, dir] : m_directories) visit(*dir);
}

void DyxPhysicalDirs::dump(std::ostream& out) {
  DyxEngineLock lock;
  out << "------------------ pdir pool -----------------------" << std::endl;
  m_pathMap.dump(out);
  out << "pdir num: " << m_directories.size() << std::endl;
  int number = 1;
  for (const auto& [key, dir] : m_directories) {
    out << number++ << ") pdir<key>: \"" << key << "\"" << std::endl;
    dir->dump(out);
  }
  out << "----------------------------------------------------" << std::endl;
}
