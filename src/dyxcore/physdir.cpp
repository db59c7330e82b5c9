#include "dyxcore/physdir.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>

#include "dyxcore/context.h"
#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/readahead.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"

namespace {

// Where the scans report when no views are there to hear it.
class NobodyNotifier final : public DyxViewNotifier {
 public:
  void entryAdded(DyxEntry*, DyxScanObserver*) override {}
  void entryChanged(DyxEntry*, DyxScanObserver*) override {}
  void entryRemoved(DyxEntry*) override {}
  void allEntriesRemoved() override {}
};

NobodyNotifier g_nobody;

DyxViewNotifier& notifier() {
  DyxViewNotifier* n = DyxContext::notifier();
  return n != nullptr ? *n : g_nobody;
}

std::string upperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

const char* boolText(bool b) { return b ? "true" : "false"; }

// The error of a directory that is simply not there (any more).
bool isGone(int error) { return error == ENOENT || error == ENOTDIR; }

// The one copy of a repository key that every directory of that key points to: a pool's
// directories all share one key, and the process sees only a few keys in its life. The copies
// are never freed, so a directory destroyed late at exit still reads its key.
const std::string& sharedKey(const std::string& key) {
  static auto* const keys = new std::set<std::string, std::less<>>();
  DyxEngineLock lock;
  return *keys->insert(key).first;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// NameTable

std::uint32_t DyxPhysicalDirectory::NameTable::hashOf(std::string_view name) {
  const std::size_t h = std::hash<std::string_view>{}(name);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

DyxEntry* DyxPhysicalDirectory::NameTable::entryOf(Slot slot) const {
  const DyxEntryRepository* repository = DyxEntry::repositoryNumbered(m_repository);
  if (repository == nullptr) return nullptr;
  return const_cast<DyxEntryRepository*>(repository)->entryAt(slot.number - 1);
}

std::string_view DyxPhysicalDirectory::NameTable::nameOf(Slot slot) const {
  const DyxEntry* entry = entryOf(slot);
  return entry != nullptr ? entry->getName() : std::string_view();
}

DyxEntry* DyxPhysicalDirectory::NameTable::find(std::string_view name, std::uint32_t hash) const {
  index();
  if (m_count == 0) return nullptr;
  const std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot slot = m_slots[i];
    if (slot.number == 0) return nullptr;
    if (slot.hash == hash) {
      DyxEntry* entry = entryOf(slot);
      if (entry != nullptr && entry->getName() == name) return entry;
    }
  }
}

DyxEntry* DyxPhysicalDirectory::NameTable::insert(DyxEntry* entry) {
  return insert(entry, hashOf(entry->getName()));
}

DyxEntry* DyxPhysicalDirectory::NameTable::insert(DyxEntry* entry, std::uint32_t hash) {
  index();
  DyxEntryRepository* repository = entry->getRepository();
  const long number = repository != nullptr ? repository->slotOf(entry) : -1;
  if (m_count == 0 && number >= 0) m_repository = repository->number();
  if (number < 0 || repository->number() != m_repository) {
    KX_POS(kxerr) << "The entry " << entry->getName()
                  << " is not filed: it is no entry of the directory's repository." << endl;
    return nullptr;
  }
  const std::uint32_t replaced =
      place(static_cast<std::uint32_t>(number + 1), hash, entry->getName());
  return replaced != 0 ? entryOf(Slot{replaced, hash}) : nullptr;
}

std::uint32_t DyxPhysicalDirectory::NameTable::place(std::uint32_t filed, std::uint32_t hash,
                                                     std::string_view name) const {
  // At most seven eighths full: a probe compares the hashes beside the slots, eight to a cache
  // line, and reads a name only when one matches, so a longer run costs little; most
  // directories then fit a table half the size.
  if ((std::size_t{m_count} + 1) * 8 > m_slots.size() * 7) grow();
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = hash & mask;
  for (; m_slots[i].number != 0; i = (i + 1) & mask) {
    if (m_slots[i].hash == hash && nameOf(m_slots[i]) == name) {
      const std::uint32_t replaced = m_slots[i].number;
      m_slots[i].number = filed;
      return replaced;
    }
  }
  m_slots[i] = Slot{filed, hash};
  ++m_count;
  return 0;
}

bool DyxPhysicalDirectory::NameTable::adopt(std::span<DyxEntry* const> entries) {
  const std::size_t count = entries.size();
  if (count == 0) return true;
  if (m_count != 0 || count > std::numeric_limits<std::uint32_t>::max()) return false;
  const DyxEntryRepository* repository = entries[0]->getRepository();
  if (repository == nullptr) return false;
  std::vector<Slot> listed;
  bool run = true;
  std::uint32_t first = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const long number =
        entries[i]->getRepository() == repository ? repository->slotOf(entries[i]) : -1;
    if (number < 0) return false;
    const auto filed = static_cast<std::uint32_t>(number + 1);
    if (i == 0) first = filed;
    if (run && filed != first + i) {
      // Not a run after all: the list so far, then the rest.
      run = false;
      listed.reserve(count);
      for (std::size_t j = 0; j < i; ++j) {
        listed.push_back(Slot{static_cast<std::uint32_t>(first + j), 0});
      }
    }
    if (!run) listed.push_back(Slot{filed, 0});
  }
  m_slots = std::move(listed);
  m_runFirst = run ? first : 0;
  m_repository = repository->number();
  m_count = static_cast<std::uint32_t>(count);
  m_listed = true;
  return true;
}

template <class Visit>
void DyxPhysicalDirectory::NameTable::forEachNumber(const std::vector<Slot>& slots, bool listed,
                                                    std::uint32_t runFirst, std::uint32_t count,
                                                    Visit visit) {
  if (listed && slots.empty()) {
    for (std::uint32_t i = 0; i < count; ++i) visit(runFirst + i);
    return;
  }
  for (const Slot slot : slots) {
    if (slot.number != 0) visit(slot.number);
  }
}

void DyxPhysicalDirectory::NameTable::index() const {
  if (!m_listed) return;
  std::vector<Slot> listed;
  listed.swap(m_slots);
  const std::uint32_t runFirst = m_runFirst;
  const std::uint32_t count = m_count;
  m_listed = false;
  m_count = 0;
  m_runFirst = 0;
  // Sized once for every entry of the list: no growth on the way.
  std::size_t size = 16;
  while (size * 7 < std::size_t{count} * 8) size *= 2;
  m_slots.assign(size, Slot{0, 0});
  const auto file = [this](std::uint32_t number) {
    // The entries of a repository that is gone are no longer filed.
    const DyxEntry* entry = entryOf(Slot{number, 0});
    if (entry != nullptr) place(number, hashOf(entry->getName()), entry->getName());
  };
  forEachNumber(listed, true, runFirst, count, file);
}

bool DyxPhysicalDirectory::NameTable::erase(const DyxEntry* entry) {
  index();
  if (m_count == 0 || entry == nullptr) return false;
  const DyxEntryRepository* repository = entry->getRepository();
  if (repository == nullptr || repository->number() != m_repository) return false;
  const long number = repository->slotOf(entry);
  if (number < 0) return false;
  const auto filed = static_cast<std::uint32_t>(number + 1);
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = hashOf(entry->getName()) & mask;
  while (m_slots[i].number != filed) {
    if (m_slots[i].number == 0) return false;
    i = (i + 1) & mask;
  }
  // Backward shift: every later slot of the run that may move closer to its home does, so that
  // no probe ever stops early at the hole.
  std::size_t hole = i;
  for (std::size_t j = (i + 1) & mask; m_slots[j].number != 0; j = (j + 1) & mask) {
    const std::size_t home = m_slots[j].hash & mask;
    // The slot may fill the hole when its home is not strictly between the hole and it.
    const bool between = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (between) continue;
    m_slots[hole] = m_slots[j];
    hole = j;
  }
  m_slots[hole] = Slot{0, 0};
  --m_count;
  return true;
}

void DyxPhysicalDirectory::NameTable::clear() {
  std::vector<Slot>().swap(m_slots);
  m_count = 0;
  m_runFirst = 0;
  m_listed = false;
}

std::vector<DyxEntry*> DyxPhysicalDirectory::NameTable::sorted() const {
  std::vector<DyxEntry*> out;
  for (const auto& [name, entry] : named(true)) out.push_back(entry);
  return out;
}

std::vector<DyxEntry*> DyxPhysicalDirectory::NameTable::unsorted() const {
  std::vector<DyxEntry*> out;
  unsorted(out);
  return out;
}

void DyxPhysicalDirectory::NameTable::unsorted(std::vector<DyxEntry*>& out) const {
  out.clear();
  // Read as they stand, list or table: no name is read.
  DyxEntryRepository* repository = DyxEntry::repositoryNumbered(m_repository);
  if (m_count == 0 || repository == nullptr) return;
  out.reserve(m_count);
  forEachNumber(m_slots, m_listed, m_runFirst, m_count, [&](std::uint32_t number) {
    if (DyxEntry* entry = repository->entryAt(number - 1)) out.push_back(entry);
  });
}

std::vector<std::pair<std::string_view, DyxEntry*>> DyxPhysicalDirectory::NameTable::named(
    bool byName) const {
  std::vector<std::pair<std::string_view, DyxEntry*>> out;
  DyxEntryRepository* repository = DyxEntry::repositoryNumbered(m_repository);
  if (m_count == 0 || repository == nullptr) return out;
  out.reserve(m_count);
  forEachNumber(m_slots, m_listed, m_runFirst, m_count, [&](std::uint32_t number) {
    if (DyxEntry* entry = repository->entryAt(number - 1)) {
      out.emplace_back(entry->getName(), entry);
    }
  });
  if (!byName || out.size() < 2) return out;
  // Ordered on the first eight bytes of each name read once, the whole names compared only
  // where those are equal: most comparisons are then one of two integers.
  struct Keyed {
    std::uint64_t prefix;
    std::uint32_t at;
  };
  std::vector<Keyed> keys(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, out[i].first.data(), std::min<std::size_t>(out[i].first.size(), 8));
    std::uint64_t prefix = 0;
    for (const unsigned char b : bytes) prefix = prefix << 8 | b;
    keys[i] = Keyed{prefix, static_cast<std::uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end(), [&out](const Keyed& a, const Keyed& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return out[a.at].first < out[b.at].first;
  });
  std::vector<std::pair<std::string_view, DyxEntry*>> ordered;
  ordered.reserve(out.size());
  for (const Keyed& k : keys) ordered.push_back(out[k.at]);
  return ordered;
}

void DyxPhysicalDirectory::NameTable::grow() const {
  std::vector<Slot> old(m_slots.empty() ? 16 : m_slots.size() * 2, Slot{0, 0});
  old.swap(m_slots);
  const std::size_t mask = m_slots.size() - 1;
  for (const Slot slot : old) {
    if (slot.number == 0) continue;
    std::size_t i = slot.hash & mask;
    while (m_slots[i].number != 0) i = (i + 1) & mask;
    m_slots[i] = slot;
  }
}

// ---------------------------------------------------------------------------------------------
// DyxPhysicalDirectory

void DyxPhysicalDirectory::setViewNotifier(DyxViewNotifier* n) { DyxContext::exchangeNotifier(n); }

DyxViewNotifier& DyxPhysicalDirectory::viewNotifier() { return notifier(); }

DyxPhysicalDirectory::DyxPhysicalDirectory(const DyxPath& path, bool recursive,
                                           DyxPhysicalDirs* pool)
    : DyxPhysicalDirectory(path.toString(), recursive, pool) {}

DyxPhysicalDirectory::DyxPhysicalDirectory(std::string key, bool recursive, DyxPhysicalDirs* pool)
    : m_dirName(std::move(key)),
      m_env(pool != nullptr ? pool->env() : dyxplatform::Env::current()),
      m_pool(pool),
      m_repositoryKey(&sharedKey(pool != nullptr ? pool->repositoryKey() : std::string("0"))),
      m_recursive(recursive),
      m_standAlone(false) {
  DyxEngineLock lock;
  DyxEntryRepository::getRepository(*m_repositoryKey);
}

DyxPhysicalDirectory::DyxPhysicalDirectory(const DyxPath& path, bool recursive, StandAloneTag)
    : m_dirName(path.toString()),
      m_env(dyxplatform::Env::current()),
      m_pool(nullptr),
      m_repositoryKey(&sharedKey("0")),
      m_recursive(recursive),
      m_standAlone(true) {
  DyxEngineLock lock;
  DyxEntryRepository::getRepository(*m_repositoryKey);
}

DyxPhysicalDirectory::~DyxPhysicalDirectory() {
  KX_SCOPE("DyxPhysicalDirectory::~DyxPhysicalDirectory");
  stopUpdateLoop();
  clearEntries();
}

bool DyxPhysicalDirectory::isStandAlone() const { return false; }

std::string DyxPhysicalDirectory::repositoryKey() const { return *m_repositoryKey; }

DyxEntryRepository& DyxPhysicalDirectory::repository() const {
  DyxEngineLock lock;
  return DyxEntryRepository::getRepository(*m_repositoryKey);
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
  if (m_dirName.empty() || !m_env.directoryChangeTime(m_dirName, fileTime)) {
    KX_POS(kxerr) << "Cannot open directory: " << m_dirName << endl;
    return DyxTime();
  }
  fine = fileTime;
  return DyxTime::fromFileTime(fileTime);
}

bool DyxPhysicalDirectory::scan(bool recursive, DyxScanObserver* observer, DyxFilter* filter,
                                const DyxScanLevel* level) {
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
    changed = scanOnce(recursive, observer, filter, level);
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
      if (scanOnce(againRecursive, nullptr, nullptr, level)) changed = true;
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

bool DyxPhysicalDirectory::scanOnce(bool recursive, DyxScanObserver* observer, DyxFilter* filter,
                                    const DyxScanLevel* level) {
  if (observer != nullptr) {
    DyxEngineLock lock;
    observer->directoryStarted(m_dirName);
  }
  // The time stamp is taken before the listing: a change made while the scan runs moves it
  // again, so the next poll scans once more instead of taking the directory as up to date.
  DyxDirectoryReading listing(m_env, m_dirName, level);
  std::uint64_t fine = 0;
  DyxTime stamp;
  {
    KX_SCOPE("DyxPhysicalDirectory::getMTime");
    kxout << kxMember("getDirName()", m_dirName) << endl;
    if (listing.changeTime(fine)) {
      stamp = DyxTime::fromFileTime(fine);
    } else {
      KX_POS(kxerr) << "Cannot open directory: " << m_dirName << endl;
      fine = 0;
    }
  }

  // The descent's read-ahead when this scan is its outermost one; it ends with the listing.
  std::unique_ptr<DyxReadAhead> ownReadAhead;
  const bool opened = listing.open();
  m_listError.store(listing.error());
  if (!opened) {
    KX_POS(kxerr) << "Cannot open directory" << endl;
    // A directory removed since its parent listed it simply is not there; any other refusal
    // leaves its files out, and the user is told which directory and why.
    if (!isGone(listing.error())) {
      KxNotices::report(KxNoticeKind::kUnreadable, m_dirName,
                        dyxplatform::errorText(listing.error()));
    }
    KX_POS(kxerr) << "Throwing 0 exception." << endl;
    throw 0;
  }

  DyxEntryRepository* repo = nullptr;
  {
    DyxEngineLock lock;
    repo = &DyxEntryRepository::getRepository(*m_repositoryKey);
  }
  // The entries whose names the listing gave; sorted by address once the listing is done.
  std::vector<const DyxEntry*> seen;
  {
    DyxEngineLock lock;
    seen.reserve(m_entries.size() + 16);
  }
  bool changed = false;
  bool stopped = false;
  bool restarted = false;
  dyxplatform::DirItem item;
  // A pool that follows changes sees a file grow within one time-stamp interval.
  const bool sizeCounts = m_pool != nullptr && m_pool->sizeCountsAsChange();

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
        const DyxScanLevel below{level != nullptr ? level->readAhead : &ownReadAhead,
                                 listing.directory(), &m_dirName};
        m_pool->addSubDirectory(*this, childPathText(m_dirName, item.name), &below);
        lock.lock();
        if (m_retired.load()) {
          stopped = true;
          break;
        }
      }
    } else {
      const std::uint32_t nameHash = NameTable::hashOf(item.name);
      bool vanished = false;
      // Read right after the name was listed, from the open directory or the read-ahead.
      dyxplatform::FileInfo info;
      int infoError = 0;
      const dyxplatform::FileInfoResult infoResult =
          listing.readFileInfo(item.name, info, &infoError);
      if (DyxEntry* known = m_entries.find(item.name, nameHash)) {
        // A known file removed since the listing is not seen: it leaves with the vanished.
        const bool refreshed =
            known->refreshFrom(infoResult, info, infoError, vanished, sizeCounts);
        if (!vanished) {
          seen.push_back(known);
          if (refreshed) {
            changed = true;
            if (!m_standAlone) notifyChanged(known, observer);
          }
        }
      } else {
        DyxEntry* entry = repo->createEntry(item.name, m_dirName, m_recursive.load());
        if (entry == nullptr) {
          // Once per file in the trace; the user gets one notice with the count.
          KX_POS(kxerr) << "Cannot allocate the entry: " << item.name << endl;
          KxNotices::count(KxNoticeKind::kLeftOut, "no memory is left for more entries",
                           childPathText(m_dirName, item.name));
        } else {
          // The filter judges the file as it is on disk (size, time stamp, status), so the
          // entry is read before it is offered to the filter. A file removed since the listing
          // is no file of the directory.
          entry->refreshFrom(infoResult, info, infoError, vanished);
          if (vanished || (filter != nullptr && !filter->evaluate(*entry))) {
            repo->freeEntry(entry);
          } else {
            seen.push_back(entry);
            m_entries.insert(entry, nameHash);
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
    m_listError.store(listing.error());
    KxNotices::report(KxNoticeKind::kUnreadable, m_dirName,
                      dyxplatform::errorText(listing.error()) + " (the listing stopped part way)");
  }
  listing.close();
  ownReadAhead.reset();

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
      std::sort(seen.begin(), seen.end());
      std::vector<std::pair<std::string_view, DyxEntry*>> gone;
      {
        DyxEngineLock lock;
        gone = m_entries.named(true);
      }
      std::erase_if(gone, [&seen](const auto& named) {
        return std::binary_search(seen.begin(), seen.end(), named.second);
      });
      // In name order, one entry per lock hold; another thread may change the table between
      // two of them, so each entry is looked up again before it goes.
      for (const auto& [name, entry] : gone) {
        DyxEngineLock lock;
        if (m_retired.load()) break;
        if (observer != nullptr && observer->isStopRequested(restarted)) break;
        if (m_entries.find(name) != entry) continue;
        dropEntry(entry, !m_standAlone);
      }
    }
  }

  // A stopped scan stores the time stamp too: the next poll rescans only once the directory
  // changes again (or when the update is forced). A listing cut short by an error does not.
  if (stopped || complete) setStoredTimeStamp(stamp, fine);
  return changed;
}

DyxEntry* DyxPhysicalDirectory::findEntry(const std::string& name) const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirectory::findEntry");
  return m_entries.find(name);
}

std::size_t DyxPhysicalDirectory::entryCount() const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirectory::entryCount");
  return m_entries.size();
}

std::vector<DyxEntry*> DyxPhysicalDirectory::sortedEntries() const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirectory::sortedEntries");
  return m_entries.sorted();
}

std::vector<DyxEntry*> DyxPhysicalDirectory::unsortedEntries() const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirectory::unsortedEntries");
  return m_entries.unsorted();
}

void DyxPhysicalDirectory::unsortedEntries(std::vector<DyxEntry*>& out) const {
  DYX_REQUIRE_ENGINE_LOCK("DyxPhysicalDirectory::unsortedEntries");
  m_entries.unsorted(out);
}

void DyxPhysicalDirectory::attachEntry(DyxEntry* entry) {
  // An entry without repository has no name to be filed under.
  if (entry == nullptr || entry->getRepository() == nullptr) return;
  m_entries.insert(entry);
}

void DyxPhysicalDirectory::attachEntries(std::span<DyxEntry* const> entries) {
  if (m_entries.adopt(entries)) return;
  for (DyxEntry* entry : entries) attachEntry(entry);
}

void DyxPhysicalDirectory::collectEntries(std::vector<DyxEntry*>& out, const DyxPattern& pattern,
                                          bool caseSensitive) const {
  for (const auto& [name, entry] : m_entries.named(true)) {
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
  const std::string_view name = entry->getName();
  if (m_entries.find(name) != entry) {
    KX_POS(kxerr) << "Not in" << endl;
    return;
  }
  dropEntry(entry, false);
  KX_POS(kxout) << "Removed " << name << endl;
}

void DyxPhysicalDirectory::clearEntries() { clearEntries(true); }

void DyxPhysicalDirectory::releaseEntries() { clearEntries(false); }

void DyxPhysicalDirectory::clearEntries(bool tellViews) {
  resetTimeStamp();
  const bool notify = tellViews && !m_standAlone;
  // A few entries per lock hold (one when the views hear of it, in name order): clearing a
  // large directory never blocks the window for long. Entries filed meanwhile by another
  // thread go in a further round.
  const std::size_t perHold = notify ? 1 : 256;
  if (!notify) {
    // The views do not hear of it: the table leaves whole in one hold, and its entries are
    // freed a few hundred per hold. Entries filed meanwhile by another thread go in a further
    // round.
    for (;;) {
      NameTable taken;
      {
        DyxEngineLock lock;
        if (m_entries.empty()) break;
        std::swap(taken, m_entries);
      }
      // Every entry of a table is an entry of one repository.
      const std::vector<DyxEntry*> doomed = taken.unsorted();
      const std::span<DyxEntry* const> all(doomed);
      for (std::size_t next = 0; next < doomed.size(); next += perHold) {
        DyxEngineLock lock;
        if (DyxEntryRepository* repository = doomed[next]->getRepository()) {
          repository->freeEntries(all.subspan(next, std::min(perHold, doomed.size() - next)));
        }
      }
    }
    return;
  }
  for (;;) {
    std::vector<std::pair<std::string_view, DyxEntry*>> doomed;
    {
      DyxEngineLock lock;
      if (m_entries.empty()) break;
      doomed = m_entries.named(notify);
    }
    for (std::size_t next = 0; next < doomed.size();) {
      DyxEngineLock lock;
      const std::size_t end = std::min(doomed.size(), next + perHold);
      for (; next < end; ++next) {
        const auto& [name, entry] = doomed[next];
        if (m_entries.find(name) != entry) continue;
        dropEntry(entry, notify);
      }
    }
  }
  DyxEngineLock lock;
  if (m_entries.empty()) m_entries.clear();  // gives the slots back
}

void DyxPhysicalDirectory::dump(std::ostream& out) {
  DyxEngineLock lock;
  const bool upToDate = isUpToDate();
  out << "------------------ pdir ----------------------------" << std::endl;
  out << "name: \"" << m_dirName << "\", nb: " << m_entries.size()
      << ", sa: " << boolText(isStandAlone()) << ", rc: " << boolText(m_recursive.load())
      << ", up: " << boolText(upToDate) << std::endl;
  out << "----------------------------------------------------" << std::endl;
  for (DyxEntry* entry : m_entries.sorted()) entry->dump(out);
}

void DyxPhysicalDirectory::dropEntry(DyxEntry* entry, bool tellViews) {
  if (tellViews) notifyRemoved(entry);
  m_entries.erase(entry);
  if (entry->getRepository() != nullptr) entry->getRepository()->freeEntry(entry);
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
