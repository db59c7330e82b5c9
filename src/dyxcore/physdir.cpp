#include "dyxcore/physdir.h"

#include <unordered_set>

#include "dyxcore/dyx.h"
#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"

namespace {

class ViewManagerNotifier final : public DyxViewNotifier {
 public:
  void entryAdded(DyxEntry* entry, DyxScanObserver* observer) override {
    Dyx::getViewManager().addEntryToAllViews(entry, observer);
  }
  void entryChanged(DyxEntry* entry, DyxScanObserver* observer) override {
    Dyx::getViewManager().remapEntryInAllViews(entry, observer);
  }
  void entryRemoved(DyxEntry* entry) override {
    Dyx::getViewManager().removeFromAllView(entry, true);
  }
  void allEntriesRemoved() override { Dyx::getViewManager().removeAllEntriesFromAllViews(); }
};

ViewManagerNotifier g_viewManagerNotifier;
std::atomic<DyxViewNotifier*> g_notifier{nullptr};

DyxViewNotifier& notifier() {
  DyxViewNotifier* n = g_notifier.load(std::memory_order_acquire);
  return n != nullptr ? *n : g_viewManagerNotifier;
}

std::string upperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string childPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

const char* boolText(bool b) { return b ? "true" : "false"; }

// The entry's name as kept by its repository: the key under which a directory files it.
std::string_view nameKey(const DyxEntry* entry) {
  return entry->getRepository()->textOf(entry->getId());
}

}  // namespace

void DyxPhysicalDirectory::setViewNotifier(DyxViewNotifier* n) {
  g_notifier.store(n, std::memory_order_release);
}

DyxViewNotifier& DyxPhysicalDirectory::viewNotifier() { return notifier(); }

DyxPhysicalDirectory::DyxPhysicalDirectory(const DyxPath& path, bool recursive,
                                           DyxPhysicalDirs* pool)
    : m_dirName(path.toString()),
      m_recursive(recursive),
      m_pool(pool),
      m_standAlone(false),
      m_repositoryKey(pool != nullptr ? pool->repositoryKey() : std::string("0")) {
  DyxEngineLock lock;
  DyxEntryRepository::getRepository(m_repositoryKey);
}

DyxPhysicalDirectory::DyxPhysicalDirectory(const DyxPath& path, bool recursive, StandAloneTag)
    : m_dirName(path.toString()),
      m_recursive(recursive),
      m_pool(nullptr),
      m_standAlone(true),
      m_repositoryKey("0") {
  DyxEngineLock lock;
  DyxEntryRepository::getRepository(m_repositoryKey);
}

DyxPhysicalDirectory::~DyxPhysicalDirectory() {
  KX_SCOPE("DyxPhysicalDirectory::~DyxPhysicalDirectory");
  stopUpdateLoop();
  clearEntries();
}

bool DyxPhysicalDirectory::isStandAlone() const { return false; }

std::string DyxPhysicalDirectory::repositoryKey() const { return m_repositoryKey; }

DyxEntryRepository& DyxPhysicalDirectory::repository() const {
  DyxEngineLock lock;
  return DyxEntryRepository::getRepository(m_repositoryKey);
}

bool DyxPhysicalDirectory::update(bool /*force*/, bool recursive) {
  KX_SCOPE("DyxPhysicalDirectory::update");
  return scan(recursive, nullptr, nullptr);
}

DyxTime DyxPhysicalDirectory::getMTime() {
  std::uint64_t fine = 0;
  return getMTimeFine(fine);
}

DyxTime DyxPhysicalDirectory::getMTimeFine(std::uint64_t& fine) {
  KX_SCOPE("DyxPhysicalDirectory::getMTime");
  kxout << kxMember("getDirName()", m_dirName) << endl;
  fine = 0;
  std::uint64_t fileTime = 0;
  if (m_dirName.empty() || !dyxplatform::directoryChangeTime(m_dirName, fileTime)) {
    KX_POS(kxerr) << "Cannot open directory: " << m_dirName << endl;
    return DyxTime();
  }
  fine = fileTime;
  return DyxTime::fromFileTime(fileTime);
}

bool DyxPhysicalDirectory::scan(bool recursive, DyxScanObserver* observer, DyxFilter* filter) {
  KX_SCOPE("DyxPhysicalDirectory::scan");
  if (m_dirName.empty()) {
    KX_POS(kxerr) << "Bad physical directory." << endl;
    KX_POS(kxerr) << "Throwing 0 exception." << endl;
    throw 0;
  }
  {
    DyxEngineLock lock;
    if (m_scanning) {
      // Another thread scans this directory now: it scans once more when it is done, so the
      // change that made us come is not lost and the two scans never overlap.
      m_rescanRequested = true;
      m_rescanRecursive = m_rescanRecursive || recursive;
      return false;
    }
    m_scanning = true;
  }
  bool changed = false;
  try {
    changed = scanOnce(recursive, observer, filter);
    for (;;) {
      bool again = false;
      bool againRecursive = false;
      {
        DyxEngineLock lock;
        if (m_rescanRequested && !m_retired.load()) {
          again = true;
          againRecursive = m_rescanRecursive;
        } else {
          m_scanning = false;
        }
        m_rescanRequested = false;
        m_rescanRecursive = false;
      }
      if (!again) break;
      if (scanOnce(againRecursive, nullptr, nullptr)) changed = true;
    }
  } catch (...) {
    DyxEngineLock lock;
    m_scanning = false;
    m_rescanRequested = false;
    m_rescanRecursive = false;
    throw;
  }
  return changed;
}

bool DyxPhysicalDirectory::scanOnce(bool recursive, DyxScanObserver* observer,
                                    DyxFilter* filter) {
  if (observer != nullptr) {
    DyxEngineLock lock;
    observer->directoryStarted(m_dirName);
  }
  // The time stamp is taken before the listing: a change made while the scan runs moves it
  // again, so the next poll scans once more instead of taking the directory as up to date.
  std::uint64_t fine = 0;
  const DyxTime stamp = getMTimeFine(fine);

  dyxplatform::DirListing listing(m_dirName);
  if (!listing.isOpen()) {
    KX_POS(kxerr) << "Cannot open directory" << endl;
    KX_POS(kxerr) << "Throwing 0 exception." << endl;
    throw 0;
  }

  DyxEntryRepository* repo = nullptr;
  {
    DyxEngineLock lock;
    repo = &DyxEntryRepository::getRepository(m_repositoryKey);
  }
  // The entries whose names the listing gave (pointers hash cheaper than names).
  std::unordered_set<const DyxEntry*> seen;
  {
    DyxEngineLock lock;
    seen.reserve(m_entries.size() + 16);
  }
  bool changed = false;
  bool stopped = false;
  bool restarted = false;
  dyxplatform::DirItem item;

  for (;;) {
    // The listing is read outside the lock; everything done with one name runs under it.
    if (!listing.next(item)) break;
    DyxEngineLock lock;
    if (m_retired.load()) {
      stopped = true;
      break;
    }
    if (item.isDirectory) {
      if (recursive && m_recursive.load() && m_pool != nullptr) {
        // The sub-directory is scanned at once, depth first, with the lock released: it takes
        // the lock itself for each of its own names.
        lock.unlock();
        m_pool->addSubDirectory(*this, childPath(m_dirName, item.name));
        lock.lock();
        if (m_retired.load()) {
          stopped = true;
          break;
        }
      }
    } else {
      auto known = m_entries.find(item.name);
      if (known != m_entries.end()) {
        DyxEntry* entry = known->second;
        seen.insert(entry);
        if (entry->refresh()) {
          changed = true;
          if (!m_standAlone) notifyChanged(entry, observer);
        }
      } else {
        DyxEntry* entry = repo->createEntry(item.name, this);
        if (entry == nullptr) {
          KX_POS(kxerr) << "Cannot allocate the entry: " << item.name << endl;
          ActivityLog::stream() << "Cannot allocate the entry: " << item.name << std::endl;
        } else {
          // The filter judges the file as it is on disk (size, time stamp, status), so the
          // entry is read before it is offered to the filter.
          entry->refresh();
          if (filter != nullptr && !filter->evaluate(*entry)) {
            repo->freeEntry(entry);
          } else {
            seen.insert(entry);
            m_entries.emplace(nameKey(entry), entry);
            changed = true;
            if (!m_standAlone) notifyAdded(entry, observer);
          }
        }
      }
    }
    if (observer != nullptr && observer->isStopRequested(restarted)) {
      stopped = true;
      break;
    }
  }
  const bool complete = !stopped && listing.error() == 0;
  if (!stopped && listing.error() != 0) {
    // A listing cut short by a read error says nothing about the names it did not reach:
    // nothing is taken for vanished.
    KX_POS(kxerr) << "Cannot read directory: " << m_dirName << " ("
                  << dyxplatform::errorText(listing.error()) << ")" << endl;
  }
  listing.close();

  if (complete) {
    bool stopAsked = false;
    std::size_t vanished = 0;
    {
      DyxEngineLock lock;
      if (observer != nullptr) stopAsked = observer->isStopRequested(restarted);
      if (!m_retired.load() && m_entries.size() > seen.size()) {
        vanished = m_entries.size() - seen.size();
      }
    }
    if (!stopAsked && vanished > 0) {
      changed = true;
      std::string cursor;
      bool first = true;
      while (vanished > 0) {
        DyxEngineLock lock;
        if (m_retired.load()) break;
        if (observer != nullptr && observer->isStopRequested(restarted)) break;
        // The walk holds no iterator across steps: another thread may change the map between
        // two of them.
        auto it = first ? m_entries.begin() : m_entries.upper_bound(cursor);
        while (it != m_entries.end() && seen.count(it->second) != 0) ++it;
        if (it == m_entries.end()) break;
        first = false;
        cursor.assign(it->first);
        DyxEntry* entry = it->second;
        if (!m_standAlone) notifyRemoved(entry);
        m_entries.erase(it);
        if (entry->getRepository() != nullptr) entry->getRepository()->freeEntry(entry);
        --vanished;
      }
    }
  }

  // A stopped scan stores the time stamp too: the next poll rescans only once the directory
  // changes again (or when the update is forced). A listing cut short by an error does not.
  if (stopped || complete) setStoredTimeStamp(stamp, fine);
  return changed;
}

DyxEntry* DyxPhysicalDirectory::findEntry(const std::string& name) const {
  auto it = m_entries.find(name);
  return it != m_entries.end() ? it->second : nullptr;
}

void DyxPhysicalDirectory::attachEntry(DyxEntry* entry) {
  // An entry without repository has no name to be filed under.
  if (entry == nullptr || entry->getRepository() == nullptr) return;
  const std::string_view key = nameKey(entry);
  auto it = m_entries.find(key);
  if (it != m_entries.end()) m_entries.erase(it);
  m_entries.emplace(key, entry);
}

void DyxPhysicalDirectory::collectEntries(std::vector<DyxEntry*>& out, const DyxPattern& pattern,
                                          bool caseSensitive) const {
  for (const auto& [name, entry] : m_entries) {
    if (caseSensitive ? pattern.match(name) : pattern.match(upperAscii(name))) {
      out.push_back(entry);
    }
  }
}

void DyxPhysicalDirectory::removeEntry(DyxEntry* entry) {
  KX_SCOPE("DyxPhysicalDirectory::removeEntry");
  if (entry == nullptr) {
    KX_POS(kxerr) << "The entry is null." << endl;
    return;
  }
  DyxEngineLock lock;
  const std::string name = entry->getName();
  auto it = m_entries.find(name);
  if (it == m_entries.end() || it->second != entry) {
    KX_POS(kxerr) << "Not in" << endl;
    return;
  }
  m_entries.erase(it);
  if (entry->getRepository() != nullptr) entry->getRepository()->freeEntry(entry);
  KX_POS(kxout) << "Removed " << name << endl;
}

void DyxPhysicalDirectory::clearEntries() { clearEntries(true); }

void DyxPhysicalDirectory::releaseEntries() { clearEntries(false); }

void DyxPhysicalDirectory::clearEntries(bool tellViews) {
  resetTimeStamp();
  // One entry per lock hold: clearing a large directory never blocks the window for long.
  for (;;) {
    DyxEngineLock lock;
    if (m_entries.empty()) break;
    auto it = m_entries.begin();
    DyxEntry* entry = it->second;
    if (tellViews && !m_standAlone) notifyRemoved(entry);
    m_entries.erase(it);
    if (entry->getRepository() != nullptr) entry->getRepository()->freeEntry(entry);
  }
}

void DyxPhysicalDirectory::dump(std::ostream& out) {
  DyxEngineLock lock;
  const bool upToDate = isUpToDate();
  out << "------------------ pdir ----------------------------" << std::endl;
  out << "name: \"" << m_dirName << "\", nb: " << m_entries.size()
      << ", sa: " << boolText(isStandAlone()) << ", rc: " << boolText(m_recursive.load())
      << ", up: " << boolText(upToDate) << std::endl;
  out << "----------------------------------------------------" << std::endl;
  for (const auto& [name, entry] : m_entries) entry->dump(out);
}

void DyxPhysicalDirectory::notifyAdded(DyxEntry* entry, DyxScanObserver* observer) {
  notifier().entryAdded(entry, observer);
}

void DyxPhysicalDirectory::notifyChanged(DyxEntry* entry, DyxScanObserver* observer) {
  notifier().entryChanged(entry, observer);
}

void DyxPhysicalDirectory::notifyRemoved(DyxEntry* entry) { notifier().entryRemoved(entry); }

DyxStandAlonePhysicalDirectory::DyxStandAlonePhysicalDirectory(const DyxPath& path,
                                                               bool is_recursive)
    : DyxPhysicalDirectory(path, is_recursive, StandAloneTag{}) {
  KX_SCOPE("DyxStandAlonePhysicalDirectory::DyxStandAlonePhysicalDirectory");
  kxout << kxParam("dir_name", getDirName()) << kxParam("is_recursive", is_recursive) << endl;
}

DyxStandAlonePhysicalDirectory::~DyxStandAlonePhysicalDirectory() {
  // The polling loop ends before the object starts to come apart: its pass calls our virtual
  // members.
  stopUpdateLoop();
  clearEntries();
}

bool DyxStandAlonePhysicalDirectory::isStandAlone() const {
  KX_SCOPE("DyxStandAlonePhysicalDirectory::isStandAlone");
  return true;
}
