#include "dyxcore/viewman.h"

#include <algorithm>
#include <atomic>
#include <ostream>
#include <sstream>
#include <utility>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/fview.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/uview.h"
#include "dyxcore/vfolder.h"
#include "kxcore/io.h"

namespace {

// Written at start-up and shutdown, read by every folder operation on any thread.
std::atomic<DyxViewManager*> g_current{nullptr};

void activity(const std::string& line) { ActivityLog::stream() << line << "\n" << std::flush; }

// The engine's pool, or nullptr before start-up and after shutdown.
DyxPhysicalDirs* enginePool() {
  try {
    return &Dyx::getPhysicalDirs();
  } catch (int) {
    return nullptr;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxViewManagerImpl

std::size_t DyxViewManagerImpl::home(const DyxEntry* entry) const {
  // Entries sit in arrays of fixed-size records: the low bits of their addresses carry nothing,
  // so the address is mixed before it is masked.
  auto key = reinterpret_cast<std::uintptr_t>(entry);
  std::uint64_t h = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  return static_cast<std::size_t>(h) & (m_slots.size() - 1);
}

std::size_t DyxViewManagerImpl::findSlot(const DyxEntry* entry) const {
  const std::size_t size = m_slots.size();
  if (size == 0 || entry == nullptr) return size;
  const std::size_t mask = size - 1;
  for (std::size_t i = home(entry);; i = (i + 1) & mask) {
    const DyxEntry* held = m_slots[i].entry;
    if (held == entry) return i;
    if (held == nullptr) return size;
  }
}

void DyxViewManagerImpl::grow() {
  std::vector<Slot> old = std::move(m_slots);
  m_slots.assign(old.empty() ? 64 : old.size() * 2, Slot());
  const std::size_t mask = m_slots.size() - 1;
  for (const Slot& slot : old) {
    if (slot.entry == nullptr) continue;
    std::size_t i = home(slot.entry);
    while (m_slots[i].entry != nullptr) i = (i + 1) & mask;
    m_slots[i] = slot;
  }
}

std::size_t DyxViewManagerImpl::insertSlot(const DyxEntry* entry) {
  // A load factor of at most 7/8: probe runs stay short with the mixed hash, and 200,000 entries
  // still fit a table of 2^18 slots (about 42 bytes per entry).
  if ((m_used + 1) * 8 > m_slots.size() * 7) grow();
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = home(entry);
  while (m_slots[i].entry != nullptr) i = (i + 1) & mask;
  m_slots[i] = Slot();
  m_slots[i].entry = entry;
  ++m_used;
  return i;
}

void DyxViewManagerImpl::recordFolder(const DyxEntry* entry, DyxViewFolder* folder) {
  if (entry == nullptr || folder == nullptr) return;
  std::size_t i = findSlot(entry);
  if (i == m_slots.size()) i = insertSlot(entry);
  Slot& slot = m_slots[i];
  if (slot.folders[0] == nullptr) ++m_live;
  for (DyxViewFolder*& f : slot.folders) {
    if (f == nullptr) {
      f = folder;
      return;
    }
  }
  m_overflow[entry].push_back(folder);
}

void DyxViewManagerImpl::forgetFolder(const DyxEntry* entry, DyxViewFolder* folder) {
  const std::size_t i = findSlot(entry);
  if (i == m_slots.size()) {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  Slot& slot = m_slots[i];
  int k = 0;
  while (k < kInline && slot.folders[k] != nullptr && slot.folders[k] != folder) ++k;
  auto over = m_overflow.find(entry);
  if (k < kInline && slot.folders[k] == folder) {
    // Keep the inline part packed and in order: later folders move up, and the first spilled
    // one (if any) comes back inline.
    for (int m = k; m + 1 < kInline; ++m) slot.folders[m] = slot.folders[m + 1];
    slot.folders[kInline - 1] = nullptr;
    if (over != m_overflow.end()) {
      slot.folders[kInline - 1] = over->second.front();
      over->second.erase(over->second.begin());
      if (over->second.empty()) m_overflow.erase(over);
    }
  } else if (over != m_overflow.end()) {
    auto it = std::find(over->second.begin(), over->second.end(), folder);
    if (it == over->second.end()) {
      KX_POS(kxerr) << "Not in." << endl;
      return;
    }
    over->second.erase(it);
    if (over->second.empty()) m_overflow.erase(over);
  } else {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  if (slot.folders[0] == nullptr) --m_live;
}

void DyxViewManagerImpl::removeFromAllFolders(DyxEntry* entry) {
  KX_SCOPE("DyxViewManagerImpl::removeFromAllFolders");
  if (findSlot(entry) == m_slots.size()) {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  for (;;) {
    // Looked up again each time: a folder's removal may file other entries and grow the table.
    const std::size_t i = findSlot(entry);
    if (i == m_slots.size()) return;
    DyxViewFolder* folder = m_slots[i].folders[0];
    if (folder == nullptr) return;
    const std::size_t before = referenceCount(entry);
    folder->removeEntry(entry, false);
    if (referenceCount(entry) >= before) {
      // The folder did not hold the entry after all. Dropping the stale reference keeps the loop
      // finite instead of asking the same folder forever.
      forgetFolder(entry, folder);
    }
  }
}

void DyxViewManagerImpl::getFolders(const DyxEntry* entry,
                                    std::vector<DyxViewFolder*>& folders) const {
  folders.clear();
  const std::size_t i = findSlot(entry);
  if (i == m_slots.size()) return;
  for (DyxViewFolder* f : m_slots[i].folders) {
    if (f != nullptr) folders.push_back(f);
  }
  auto over = m_overflow.find(entry);
  if (over != m_overflow.end()) {
    folders.insert(folders.end(), over->second.begin(), over->second.end());
  }
}

std::size_t DyxViewManagerImpl::referenceCount(const DyxEntry* entry) const {
  const std::size_t i = findSlot(entry);
  if (i == m_slots.size()) return 0;
  std::size_t n = 0;
  for (DyxViewFolder* f : m_slots[i].folders) n += f != nullptr ? 1 : 0;
  auto over = m_overflow.find(entry);
  if (over != m_overflow.end()) n += over->second.size();
  return n;
}

void DyxViewManagerImpl::clear() {
  m_slots.clear();
  m_slots.shrink_to_fit();
  m_used = 0;
  m_live = 0;
  std::unordered_map<const DyxEntry*, std::vector<DyxViewFolder*>>().swap(m_overflow);
}

std::size_t DyxViewManagerImpl::memoryBytes() const {
  std::size_t bytes = m_slots.capacity() * sizeof(Slot);
  bytes += m_overflow.bucket_count() * sizeof(void*);
  for (const auto& [entry, list] : m_overflow) {
    // node (next pointer, key, vector header, cached hash) plus the vector's buffer
    bytes += sizeof(void*) * 3 + sizeof(list) + list.capacity() * sizeof(DyxViewFolder*);
  }
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// DyxViewManager

DyxViewManager::DyxViewManager()
    : m_folderIndex(std::make_unique<DyxViewManagerImpl>()), m_previous(g_current.load()) {
  g_current.store(this);
}

DyxViewManager::~DyxViewManager() {
  clearViewCache();
  m_factories.clear();
  m_folderIndex.reset();
  DyxViewManager* self = this;
  g_current.compare_exchange_strong(self, m_previous);
}

DyxViewManager* DyxViewManager::current() { return g_current.load(std::memory_order_acquire); }

bool DyxViewManager::registerFactory(const std::string& tag,
                                     std::unique_ptr<DyxViewFactory> factory) {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::registerFactory");
  if (tag.empty()) {
    KX_POS(kxerr) << "Null given view tag." << endl;
    return false;
  }
  if (!factory) {
    KX_POS(kxerr) << "Null given factory instance." << endl;
    return false;
  }
  if (m_factories.count(tag) != 0) {
    KX_POS(kxerr) << "View tag already in use: " << tag << endl;
    return false;
  }
  m_factories.emplace(tag, std::move(factory));
  return true;
}

DyxView* DyxViewManager::createView(const std::string& tag, bool create, bool update,
                                    DyxViewKind kind, DyxPhysicalDirs* pool) {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::createView");
  kxout << "view_tag=\"" << tag << "\" create=\"" << create << "\" view_kind=\"" << kind.value()
        << "\" " << endl;
  if (tag.empty()) {
    KX_POS(kxerr) << "Empty view tag." << endl;
    return nullptr;
  }
  if (DyxView* cached = getCached(tag)) {
    KX_POS(kxout) << "The view is in the cache." << endl;
    return cached;
  }
  auto factory = m_factories.find(tag);
  std::unique_ptr<DyxView> made;
  if (!create || kind.isPhysical()) {
    if (factory != m_factories.end()) {
      KX_POS(kxout) << "Create the physical view for: " << tag << " ..." << endl;
      made = factory->second->create(pool, update);
      if (made) activity("Created a physical view for: " + tag + " ...");
    } else {
      KX_POS(kxerr) << "No factory for physical view." << endl;
    }
  } else if (factory != m_factories.end()) {
    KX_POS(kxerr) << "The given view tag is reserved for the physical views: " << tag << endl;
  } else if (!isValidName(tag)) {
    activity("Not a valid view tag: " + tag);
    KX_POS(kxerr) << "Not a valid view tag: " << tag << endl;
  } else {
    if (!kind.isValid()) kind = getViewKind(tag);
    if (kind.value() == DyxViewKind::kUser) {
      KX_POS(kxout) << "Create a new user view: " << tag << endl;
      auto view = std::make_unique<DyxUserView>(tag, pool);
      view->readFromFile(pool);
      activity("Created user view: " + tag);
      made = std::move(view);
    } else if (kind.value() == DyxViewKind::kFilter) {
      KX_POS(kxout) << "Create a new filter view: " << tag << endl;
      auto view = std::make_unique<DyxFilterView>(tag, pool);
      view->readFromFile(pool);
      if (update) view->update(pool);
      activity("Created filterable view: " + tag);
      made = std::move(view);
    } else {
      KX_POS(kxerr) << "Unknown view kind: " << kind.value() << endl;
    }
    if (made) {
      DyxEnviron& env = Dyx::getEnviron();
      if (!env.hasPreferenceSeq("VisibleAttributes", tag)) {
        env.setPreferenceSeq("VisibleAttributes", tag, {"Name", "Ext", "Location"});
      }
    }
  }
  if (!made) {
    activity("ERROR: Cannot create view for: " + tag);
    return nullptr;
  }
  DyxView* result = made.get();
  m_views[tag] = std::move(made);
  return result;
}

DyxView* DyxViewManager::get(const std::string& tag, bool update) {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::get");
  kxout << "view_tag=\"" << tag << "\" " << endl;
  if (tag.empty()) {
    KX_POS(kxerr) << "Given view tag is empty." << endl;
    return nullptr;
  }
  if (DyxView* cached = getCached(tag)) return cached;
  const DyxViewKind kind = getViewKind(tag);
  if (!kind.isValid()) return nullptr;
  return createView(tag, true, update, kind, enginePool());
}

DyxViewKind DyxViewManager::getViewKind(const std::string& tag) {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::getViewKind");
  kxout << "view_tag=\"" << tag << "\" " << endl;
  if (m_factories.count(tag) != 0) return DyxViewKind(DyxViewKind::kPhysical);
  if (DyxView* cached = getCached(tag)) return cached->getKind();
  const std::string file = DyxUserView::viewFileOf(tag);
  KX_POS(kxout) << "Search view kind for: " << tag << ",p=" << file << endl;
  // Only the head of a regular file is read, without blocking (a FIFO must not hang the engine).
  std::string head;
  if (!dyxplatform::isRegularFile(file) || !dyxplatform::readWholeFile(file, head, nullptr, 4096)) {
    KX_POS(kxerr) << "Cannot open: " << file << endl;
    return DyxViewKind(DyxViewKind::kNone);
  }
  // The header is two blank-delimited words: the marker "#" and the kind letter.
  std::istringstream in(head);
  std::string marker;
  std::string letter;
  in >> marker >> letter;
  const DyxViewKind kind = DyxViewKind::fromLetter(letter);
  KX_POS(kxout) << tag << " is " << kind.value() << endl;
  return kind;
}

void DyxViewManager::deleteView(const std::string& tag) {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::deleteView");
  kxout << "view_tag=\"" << tag << "\" " << endl;
  auto it = m_views.find(tag);
  if (it == m_views.end()) {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  // Out of the cache first: nothing can reach the view while it is being destroyed.
  std::unique_ptr<DyxView> doomed = std::move(it->second);
  m_views.erase(it);
  doomed.reset();
}

void DyxViewManager::clearViewCache() {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::clearViewCache");
  // Every reference of every view goes, and so does the whole index: the folders drop their
  // references without forgetting each one, and the index is emptied at once. (Folders report
  // to the current manager; another one's views forget their references one by one.)
  if (current() == this) {
    for (auto& [tag, view] : m_views) view->dropAllEntriesUnreported();
  }
  while (!m_views.empty()) {
    std::unique_ptr<DyxView> doomed = std::move(m_views.begin()->second);
    m_views.erase(m_views.begin());
    doomed.reset();
  }
  if (m_folderIndex) m_folderIndex->clear();
}

void DyxViewManager::removeFromAllView(DyxEntry* entry, bool cleanup) {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::removeFromAllView");
  kxout << "cleanup=\"" << cleanup << "\" " << endl;
  m_folderIndex->removeFromAllFolders(entry);
  if (!cleanup) return;
  for (auto& [tag, view] : m_views) {
    if (view->getKind().isPhysical()) view->removeEmptyFolders();
  }
}

void DyxViewManager::removeAllEntriesFromAllViews() {
  DyxEngineLock lock;
  KX_SCOPE("DyxViewManager::removeAllEntriesFromAllViews");
  // The index is emptied as a whole below, so the folders need not forget each reference
  // (when it is the index they report to).
  const bool wholesale = current() == this;
  for (auto& [tag, view] : m_views) {
    if (wholesale) {
      view->dropAllEntriesUnreported();
    } else {
      view->removeAllEntries();
    }
    // Without entries every folder of the tree is empty, so pruning the empty ones is dropping
    // the whole tree at once.
    if (view->getKind().isPhysical()) view->removeAllFolders();
  }
  m_folderIndex->clear();
}

void DyxViewManager::addEntryToAllViews(DyxEntry* entry, DyxScanObserver* observer) {
  DyxEngineLock lock;
  // The observer runs inside mapEntry and may reach the manager; walking by key keeps the loop
  // valid even if another view leaves the cache meanwhile.
  for (auto it = m_views.begin(); it != m_views.end();) {
    const std::string tag = it->first;
    if (!it->second->mapEntry(entry, observer)) return;
    it = m_views.upper_bound(tag);
  }
}

void DyxViewManager::remapEntryInAllViews(DyxEntry* entry, DyxScanObserver* observer) {
  DyxEngineLock lock;
  for (auto it = m_views.begin(); it != m_views.end();) {
    const std::string tag = it->first;
    it->second->remapEntry(entry, observer);
    it = m_views.upper_bound(tag);
  }
}

void DyxViewManager::dump(std::ostream& out) {
  DyxEngineLock lock;
  out << "------------------ view man -----------------------" << '\n';
  out << "factory num: " << m_factories.size() << '\n';
  int n = 0;
  for (const auto& [tag, factory] : m_factories) {
    out << ++n << ") factory<key>: \"" << tag << "\"" << '\n';
  }
  out << "view num: " << m_views.size() << '\n';
  n = 0;
  for (const auto& [tag, view] : m_views) {
    out << ++n << ") view<key>: \"" << tag << "\"" << '\n';
    view->dump(out);
  }
  out << "----------------------------------------------------" << '\n';
  out.flush();
}

void DyxViewManager::getViewKindList(std::vector<std::string>& tags, bool append) {
  DyxEngineLock lock;
  if (!append) tags.clear();
  std::vector<dyxplatform::DirItem> items;
  if (!dyxplatform::listDirectory(DyxEnviron::getViewsDir().toString(0, false), items)) return;
  std::sort(
      items.begin(), items.end(),
      [](const dyxplatform::DirItem& a, const dyxplatform::DirItem& b) { return a.name < b.name; });
  const DyxPattern pattern("*.kx", true);
  for (const dyxplatform::DirItem& item : items) {
    if (item.isDirectory || !pattern.match(item.name)) continue;
    // The name without its last extension; a name whose only dot leads keeps it.
    const std::size_t dot = item.name.rfind('.');
    tags.push_back(dot == std::string::npos || dot == 0 ? item.name : item.name.substr(0, dot));
  }
}

void DyxViewManager::getModifiedViews(std::vector<std::string>& tags, bool append) {
  DyxEngineLock lock;
  if (!append) tags.clear();
  for (const auto& [tag, view] : m_views) {
    if (view->getKind().isFileBacked() && view->isModified()) {
      KX_POS(kxout) << tag << " is modified." << endl;
      tags.push_back(tag);
    }
  }
}

DyxViewFolder* DyxViewManager::getViewFolder(const std::string& tag, const DyxPath& path) {
  DyxEngineLock lock;
  DyxView* view = createView(tag, false, true, DyxViewKind(DyxViewKind::kNone), enginePool());
  if (view == nullptr) {
    KX_POS(kxerr) << "Unknown view tag: " << tag << endl;
    return nullptr;
  }
  if (path.isEmpty() || path.count() == 0) return view;
  return view->getFolder(path);
}

DyxView* DyxViewManager::getCached(const std::string& tag) const {
  auto it = m_views.find(tag);
  return it == m_views.end() ? nullptr : it->second.get();
}

void DyxViewManager::recordFolder(const DyxEntry* entry, DyxViewFolder* folder) {
  m_folderIndex->recordFolder(entry, folder);
}

void DyxViewManager::forgetFolder(const DyxEntry* entry, DyxViewFolder* folder) {
  m_folderIndex->forgetFolder(entry, folder);
}
