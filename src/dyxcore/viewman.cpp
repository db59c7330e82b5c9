#include "dyxcore/viewman.h"

#include <algorithm>
#include <atomic>
#include <ostream>
#include <sstream>
#include <utility>

#include "dyxcore/conffile.h"
#include "dyxcore/environ.h"
#include "dyxcore/fview.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/uview.h"
#include "dyxcore/vfolder.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"

namespace {

// Written at start-up and shutdown, read by every folder operation on any thread.
std::atomic<DyxViewManager*> g_current{nullptr};

void activity(const std::string& line) { ActivityLog::stream() << line << "\n" << std::flush; }

// The engine's pool, or nullptr before start-up and after shutdown.
DyxPhysicalDirs* enginePool() { return DyxContext::pool(); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxViewManagerImpl

namespace {

// Index words. Folders are at least 8-aligned, so a folder address is never 2 and never odd.
constexpr std::uintptr_t kKnown = 2;  // known, no folder
constexpr std::size_t kFirstArrayCapacity = 2;
// The count and the capacity of a folder array share its first word.
static_assert(sizeof(std::uintptr_t) == 8);

// A folder array: word 0 holds the count (low half) and the capacity (high half), then the
// folders in recording order. Its index word is the array's address plus 1.
bool isArray(std::uintptr_t word) { return (word & 1u) != 0; }
std::uintptr_t* arrayOf(std::uintptr_t word) {
  return reinterpret_cast<std::uintptr_t*>(word & ~static_cast<std::uintptr_t>(1));
}
std::size_t arrayCount(const std::uintptr_t* array) { return array[0] & 0xffffffffu; }
std::size_t arrayCapacity(const std::uintptr_t* array) { return array[0] >> 32; }
void setArrayCount(std::uintptr_t* array, std::size_t count) {
  array[0] = (static_cast<std::uintptr_t>(arrayCapacity(array)) << 32) | count;
}
std::uintptr_t wordOfFolder(DyxViewFolder* folder) {
  return reinterpret_cast<std::uintptr_t>(folder);
}

// Calls `visit` on each cached view in tag order until it answers false. The observer runs
// inside a view's filing and may reach the manager; walking by key keeps the loop valid even if
// another view leaves the cache meanwhile.
template <class Views, class Visit>
void forEachViewByTag(Views& views, Visit visit) {
  for (auto it = views.begin(); it != views.end();) {
    const std::string tag = it->first;
    if (!visit(*it->second)) return;
    it = views.upper_bound(tag);
  }
}

}  // namespace

DyxViewManagerImpl::~DyxViewManagerImpl() { clear(); }

std::size_t DyxViewManagerImpl::countOf(Word word) {
  if (word == 0 || word == kKnown) return 0;
  return isArray(word) ? arrayCount(arrayOf(word)) : 1;
}

DyxViewFolder* DyxViewManagerImpl::folderAt(Word word, std::size_t i) {
  return reinterpret_cast<DyxViewFolder*>(isArray(word) ? arrayOf(word)[i + 1] : word);
}

void DyxViewManagerImpl::freeWord(Word word) {
  if (word != kKnown && word != 0) --m_live;
  if (!isArray(word)) return;
  std::uintptr_t* array = arrayOf(word);
  m_arrayBytes -= (arrayCapacity(array) + 1) * sizeof(Word);
  delete[] array;
}

DyxViewManagerImpl::Dense* DyxViewManagerImpl::denseOf(const DyxEntry* entry, bool create,
                                                       std::size_t& slot) const {
  const DyxEntryRepository* repository = entry->getRepository();
  if (repository == nullptr) return nullptr;
  const auto address = reinterpret_cast<std::uintptr_t>(entry);
  const std::uint32_t generation = repository->getTextGeneration();
  auto holds = [&](const Dense* dense) {
    return dense->repository == repository && dense->generation == generation &&
           address >= dense->begin && address - dense->begin < dense->slots * sizeof(DyxEntry);
  };
  Dense* found = m_last != nullptr && holds(m_last) ? m_last : nullptr;
  for (std::size_t i = 0; found == nullptr && i < m_dense.size(); ++i) {
    if (holds(m_dense[i].get())) found = m_dense[i].get();
  }
  if (found == nullptr) {
    if (!create) return nullptr;
    DyxEntryRepository::SlotSpan span;
    // An entry object outside the slots: the side table's.
    if (!repository->spanOf(entry, span)) return nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(span.begin);
    const std::uintptr_t end = begin + span.count * sizeof(DyxEntry);
    // Words kept for an earlier object at these addresses, or for this repository before a
    // load, name entries that are gone. The other blocks of this repository stay: a growing
    // repository adds blocks and keeps the ones it has.
    auto* self = const_cast<DyxViewManagerImpl*>(this);
    for (auto it = m_dense.begin(); it != m_dense.end();) {
      const Dense& d = **it;
      const bool stale = d.repository == repository && d.generation != generation;
      const bool overlaps = d.begin < end && begin < d.begin + d.slots * sizeof(DyxEntry);
      if (!stale && !overlaps) {
        ++it;
        continue;
      }
      for (const auto& page : d.pages) {
        if (!page) continue;
        for (std::size_t k = 0; k < (std::size_t{1} << kPageBits); ++k) self->freeWord(page[k]);
      }
      it = m_dense.erase(it);
    }
    auto dense = std::make_unique<Dense>();
    dense->repository = repository;
    dense->generation = generation;
    dense->begin = begin;
    dense->slots = span.count;
    dense->pages.resize((dense->slots + (std::size_t{1} << kPageBits) - 1) >> kPageBits);
    found = dense.get();
    m_dense.push_back(std::move(dense));
  }
  m_last = found;
  slot = (address - found->begin) / sizeof(DyxEntry);
  return found;
}

DyxViewManagerImpl::Word* DyxViewManagerImpl::wordOf(const DyxEntry* entry, bool create) {
  if (entry == nullptr) return nullptr;
  std::size_t slot = 0;
  if (Dense* dense = denseOf(entry, create, slot)) {
    std::unique_ptr<Word[]>& page = dense->pages[slot >> kPageBits];
    if (!page) {
      if (!create) return nullptr;
      page = std::make_unique<Word[]>(std::size_t{1} << kPageBits);  // zeroed: never known
    }
    return &page[slot & ((std::size_t{1} << kPageBits) - 1)];
  }
  if (create) return &m_detached[entry];
  auto it = m_detached.find(entry);
  return it == m_detached.end() ? nullptr : &it->second;
}

const DyxViewManagerImpl::Word* DyxViewManagerImpl::findWord(const DyxEntry* entry) const {
  // Without `create` nothing changes but the cached table of the latest look-up.
  return const_cast<DyxViewManagerImpl*>(this)->wordOf(entry, false);
}

void DyxViewManagerImpl::recordFolder(const DyxEntry* entry, DyxViewFolder* folder) {
  if (entry == nullptr || folder == nullptr) return;
  Word* word = wordOf(entry, true);
  if (*word == 0 || *word == kKnown) {
    *word = wordOfFolder(folder);
    ++m_live;
    return;
  }
  std::uintptr_t* array = isArray(*word) ? arrayOf(*word) : nullptr;
  const std::size_t count = array != nullptr ? arrayCount(array) : 1;
  if (array == nullptr || count == arrayCapacity(array)) {
    const std::size_t capacity = array != nullptr ? 2 * count : kFirstArrayCapacity;
    auto* grown = new std::uintptr_t[capacity + 1];
    grown[0] = static_cast<std::uintptr_t>(capacity) << 32;
    if (array != nullptr) {
      std::copy(array + 1, array + 1 + count, grown + 1);
      m_arrayBytes -= (arrayCapacity(array) + 1) * sizeof(Word);
      delete[] array;
    } else {
      grown[1] = *word;
    }
    m_arrayBytes += (capacity + 1) * sizeof(Word);
    array = grown;
    *word = reinterpret_cast<std::uintptr_t>(array) | 1u;
  }
  array[count + 1] = wordOfFolder(folder);
  setArrayCount(array, count + 1);
}

void DyxViewManagerImpl::forgetFolder(const DyxEntry* entry, DyxViewFolder* folder) {
  Word* word = wordOf(entry, false);
  const Word wanted = wordOfFolder(folder);
  if (word == nullptr || countOf(*word) == 0 || (!isArray(*word) && *word != wanted)) {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  if (!isArray(*word)) {
    *word = kKnown;
    --m_live;
    return;
  }
  std::uintptr_t* array = arrayOf(*word);
  const std::size_t count = arrayCount(array);
  std::uintptr_t* const first = array + 1;
  std::uintptr_t* const at = std::find(first, first + count, wanted);
  if (at == first + count) {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  std::copy(at + 1, first + count, at);  // later folders move up: the order stays
  if (count - 1 == 1) {
    const std::uintptr_t only = array[1];
    m_arrayBytes -= (arrayCapacity(array) + 1) * sizeof(Word);
    delete[] array;
    *word = only;
  } else {
    setArrayCount(array, count - 1);
  }
}

void DyxViewManagerImpl::removeFromAllFolders(DyxEntry* entry) {
  KX_SCOPE("DyxViewManagerImpl::removeFromAllFolders");
  const Word* known = findWord(entry);
  if (known == nullptr || *known == 0) {
    KX_POS(kxerr) << "Not in." << endl;
    return;
  }
  for (;;) {
    // Looked up again each time: a folder's removal may file other entries meanwhile.
    const Word* word = findWord(entry);
    if (word == nullptr) return;
    const std::size_t before = countOf(*word);
    if (before == 0) return;
    DyxViewFolder* folder = folderAt(*word, 0);
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
  const Word* word = findWord(entry);
  if (word == nullptr) return;
  const std::size_t count = countOf(*word);
  for (std::size_t i = 0; i < count; ++i) folders.push_back(folderAt(*word, i));
}

std::size_t DyxViewManagerImpl::referenceCount(const DyxEntry* entry) const {
  const Word* word = findWord(entry);
  return word == nullptr ? 0 : countOf(*word);
}

void DyxViewManagerImpl::clear() {
  if (m_arrayBytes != 0) {
    // Only entries held more than once own an array; without any, the pages are just freed.
    for (const auto& dense : m_dense) {
      for (const auto& page : dense->pages) {
        if (!page) continue;
        for (std::size_t k = 0; k < (std::size_t{1} << kPageBits); ++k) freeWord(page[k]);
      }
    }
    for (const auto& [entry, word] : m_detached) freeWord(word);
  }
  m_dense.clear();
  m_dense.shrink_to_fit();
  m_last = nullptr;
  std::unordered_map<const DyxEntry*, Word>().swap(m_detached);
  m_live = 0;
  m_arrayBytes = 0;
}

std::size_t DyxViewManagerImpl::memoryBytes() const {
  std::size_t bytes = m_arrayBytes + m_dense.capacity() * sizeof(void*);
  for (const auto& dense : m_dense) {
    bytes += sizeof(Dense) + dense->pages.capacity() * sizeof(void*);
    for (const auto& page : dense->pages) {
      if (page) bytes += (std::size_t{1} << kPageBits) * sizeof(Word);
    }
  }
  // node: next pointer, key, word
  bytes += m_detached.bucket_count() * sizeof(void*) + m_detached.size() * 3 * sizeof(void*);
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// DyxViewManager

DyxViewManager::DyxViewManager()
    : m_folderIndex(std::make_unique<DyxViewManagerImpl>()), m_previous(g_current.load()) {
  g_current.store(this);
  m_previousRecorder = DyxContext::exchangeFolders(this);
}

DyxViewManager::~DyxViewManager() {
  clearViewCache();
  m_factories.clear();
  m_folderIndex.reset();
  DyxViewManager* self = this;
  g_current.compare_exchange_strong(self, m_previous);
  // Only when still first: a manager made after this one and still alive stays first.
  DyxFolderRecorder* first = DyxContext::exchangeFolders(m_previousRecorder);
  if (first != this) DyxContext::exchangeFolders(first);
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
    KX_REPORT("Not a valid view tag: " + tag, false);
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
      DyxEnviron* env = DyxContext::environment();
      if (env != nullptr && !env->hasPreferenceSeq("VisibleAttributes", tag)) {
        env->setPreferenceSeq("VisibleAttributes", tag, {"Name", "Ext", "Location"});
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
  // A view file that exists but cannot be read is named to the user with the reason.
  DyxConfigFile head(file, DyxConfigFile::kSavedData, 4096);
  if (!head.isOpen()) {
    KX_POS(kxerr) << "Cannot open: " << file << endl;
    return DyxViewKind(DyxViewKind::kNone);
  }
  // The header is two blank-delimited words: the marker "#" and the kind letter.
  std::string marker;
  std::string letter;
  head.stream() >> marker >> letter;
  const DyxViewKind kind = DyxViewKind::fromLetter(letter);
  if (!kind.isValid()) {
    head.problem(0, "the file does not begin with \"# U\" or \"# F\": it is not a view file");
  }
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
  forEachViewByTag(m_views, [&](DyxView& view) { return view.mapEntry(entry, observer); });
}

void DyxViewManager::addEntriesToAllViews(std::span<DyxEntry* const> entries,
                                          DyxScanObserver* observer) {
  DyxEngineLock lock;
  forEachViewByTag(m_views, [&](DyxView& view) { return view.mapEntries(entries, observer); });
}

void DyxViewManager::remapEntryInAllViews(DyxEntry* entry, DyxScanObserver* observer) {
  DyxEngineLock lock;
  forEachViewByTag(m_views, [&](DyxView& view) {
    view.remapEntry(entry, observer);
    return true;
  });
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
