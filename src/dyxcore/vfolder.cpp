#include "dyxcore/vfolder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "dyxcore/context.h"
#include "dyxcore/path.h"
#include "dyxcore/physdir.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"

namespace {

// The index this process's folders report to. While a view manager is being destroyed it stays
// the recorder, so the folders it destroys never make the facade build a new one.
DyxFolderRecorder* recorder() { return DyxContext::folders(); }

// Folders destroyed so far; atomic only because detached folders may die outside the lock.
std::atomic<std::uint64_t> g_removals{0};

using Ref = std::uintptr_t;

// Tombstones are odd, so entry addresses must be even.
static_assert(alignof(DyxEntry) >= 2);

bool isTomb(Ref ref) { return (ref & 1u) != 0; }
DyxEntry* entryOf(Ref ref) { return reinterpret_cast<DyxEntry*>(ref); }
Ref refOf(DyxEntry* entry) { return reinterpret_cast<Ref>(entry); }
Ref tombTo(std::size_t position) { return (static_cast<Ref>(position) << 1) | 1u; }
std::size_t tombTarget(Ref ref) { return static_cast<std::size_t>(ref >> 1); }
std::string_view nameOf(Ref ref) { return entryOf(ref)->getName(); }

// A tail longer than this is merged before a removal or a membership test instead of being
// scanned: the scan costs its length on every call, a merge costs the folder's size once per
// that many additions.
std::size_t tailScanLimit(std::size_t ordered) { return 32 + ordered / 128; }

// The first twelve bytes of a name as two big-endian numbers (zero-padded): comparing them
// orders names as a byte-wise comparison does, without reading the names again. Only equal keys
// compare the names themselves.
struct SortKey {
  std::uint64_t high;
  std::uint32_t low;
  std::uint32_t position;  // in the tail, which breaks ties of equal names (insertion order)
};

SortKey sortKeyOf(std::string_view name, std::size_t position) {
  unsigned char bytes[12] = {};
  std::memcpy(bytes, name.data(), std::min(name.size(), sizeof(bytes)));
  SortKey key{0, 0, static_cast<std::uint32_t>(position)};
  for (int i = 0; i < 8; ++i) key.high = (key.high << 8) | bytes[i];
  for (int i = 8; i < 12; ++i) key.low = (key.low << 8) | bytes[i];
  return key;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxViewFolder

DyxViewFolder::DyxViewFolder(const std::string& name) : m_name(name) {}

DyxViewFolder::~DyxViewFolder() {
  g_removals.fetch_add(1, std::memory_order_relaxed);
  // Whoever destroys a folder has already taken its subtree out of the ancestors' counts.
  m_parent = nullptr;
  // Not a virtual call: a subclass's part is already gone here. The folder's own removal of
  // every reference keeps the index free of destroyed folders.
  forgetAllDirectEntries();
  m_subfolders.clear();  // each sub-folder's destructor does the same for its subtree
}

bool DyxViewFolder::isRoot() const { return false; }

std::uint64_t DyxViewFolder::getRemovalCount() {
  return g_removals.load(std::memory_order_relaxed);
}

std::unique_ptr<DyxViewFolder> DyxViewFolder::newFolder(const std::string& name) {
  if (name.empty()) {
    KX_POS(kxerr) << "The folder name is empty." << endl;
    return nullptr;
  }
  return std::make_unique<DyxViewFolder>(name);
}

void DyxViewFolder::adjustAncestors(int delta) {
  for (DyxViewFolder* p = m_parent; p != nullptr; p = p->m_parent) p->m_emptyBelow += delta;
}

void DyxViewFolder::removeAllFolders() {
  removeAllEntries();
  if (m_subfolders.empty()) return;
  // The empty folders below leave with the subtree, and this folder, without entries now, is
  // empty once its sub-folders are gone.
  adjustAncestors(1 - m_emptyBelow);
  m_emptyBelow = 0;
  m_subfolders.clear();
}

void DyxViewFolder::forgetAllDirectEntries() { dropDirectEntries(true); }

void DyxViewFolder::dropDirectEntries(bool report) {
  if (m_entryCount == 0 && m_refs.empty()) return;
  if (report) {
    if (DyxFolderRecorder* man = recorder()) {
      for (Ref ref : m_refs) {
        if (!isTomb(ref)) man->forgetFolder(entryOf(ref), this);
      }
    }
  }
  clearStorage();
  m_entryCount = 0;
  if (m_subfolders.empty()) adjustAncestors(1);
}

void DyxViewFolder::removeAllEntries() {
  forgetAllDirectEntries();
  for (auto& [name, sub] : m_subfolders) sub->removeAllEntries();
}

void DyxViewFolder::dropAllEntriesUnreported() {
  dropDirectEntries(false);
  for (auto& [name, sub] : m_subfolders) sub->dropAllEntriesUnreported();
}

std::string DyxViewFolder::getFilterText() const { return "true"; }

void DyxViewFolder::setFilterText(const std::string& /*text*/) {}

std::string DyxViewFolder::getSorterTag() const { return "<none>"; }

void DyxViewFolder::setSorterTag(const std::string& /*tag*/) {}

DyxPath DyxViewFolder::getFolderForEntry(const DyxEntry* /*entry*/) { return DyxPath(); }

bool DyxViewFolder::getFoldersForEntry(const DyxEntry* /*entry*/, std::vector<DyxPath>& paths) {
  KX_SCOPE("DyxViewFolder::getFoldersForEntry");
  paths.clear();
  return false;
}

bool DyxViewFolder::addEntry(DyxEntry* entry, DyxScanObserver* observer) {
  if (entry == nullptr) {
    KX_POS(kxerr) << "Null passed DyxEntry instance." << endl;
    return true;
  }
  const bool wasEmpty = isEmpty();
  if (m_refs.size() == m_refs.capacity()) {
    // Growth by half keeps the unused capacity near a fifth on average (doubling: a third).
    m_refs.reserve(m_refs.capacity() + m_refs.capacity() / 2 + 4);
  }
  // No name is read here: a folder's order is worked out when something reads it, and most
  // folders of a large view are only counted.
  m_refs.push_back(refOf(entry));
  ++m_entryCount;
  if (wasEmpty) adjustAncestors(-1);
  if (DyxFolderRecorder* man = recorder()) man->recordFolder(entry, this);
  if (observer != nullptr && !observer->entryFiled(this, entry)) return false;
  return true;
}

void DyxViewFolder::reserveEntries(std::size_t count) {
  if (m_refs.capacity() - m_refs.size() < count) m_refs.reserve(m_refs.size() + count);
}

void DyxViewFolder::removeEntry(DyxEntry* entry, bool recursive) {
  KX_SCOPE("DyxViewFolder::removeEntry");
  kxout << "ths->getName()=\"" << m_name << "\" " << endl;
  if (entry == nullptr) {
    KX_POS(kxerr) << "The entry is null." << endl;
    return;
  }
  const std::size_t at = findRef(entry);
  if (at != std::string_view::npos) {
    if (at >= m_sorted) {
      m_refs.erase(m_refs.begin() + static_cast<std::ptrdiff_t>(at));  // within the short tail
    } else {
      m_refs[at] = tombTo(at + 1);
      ++m_tombs;
      if (m_tombs * 2 > m_sorted) compact();
    }
    --m_entryCount;
    if (m_entryCount == 0) clearStorage();
    if (DyxFolderRecorder* man = recorder()) man->forgetFolder(entry, this);
    if (isEmpty()) adjustAncestors(1);
  } else {
    KX_POS(kxerr) << "Not in: " << entry->getName() << ",folder=" << m_name << endl;
  }
  if (recursive) {
    for (auto& [subName, sub] : m_subfolders) sub->removeEntry(entry, true);
  }
}

void DyxViewFolder::getEntries(std::vector<DyxEntry*>& list) const {
  list.clear();
  mergeTail();
  list.reserve(static_cast<std::size_t>(m_entryCount));
  for (Ref ref : m_refs) list.push_back(entryOf(ref));
}

bool DyxViewFolder::holdsEntry(const DyxEntry* entry) const {
  if (entry == nullptr) return false;
  return findRef(entry) != std::string_view::npos;
}

void DyxViewFolder::clearStorage() {
  std::vector<Ref>().swap(m_refs);
  std::vector<NameKey>().swap(m_marks);
  m_sorted = 0;
  m_tombs = 0;
}

DyxViewFolder::NameKey DyxViewFolder::nameKeyOf(std::string_view name) {
  unsigned char bytes[16] = {};
  std::memcpy(bytes, name.data(), std::min(name.size(), sizeof(bytes)));
  NameKey key;
  for (int i = 0; i < 8; ++i) key.high = (key.high << 8) | bytes[i];
  for (int i = 8; i < 16; ++i) key.low = (key.low << 8) | bytes[i];
  return key;
}

void DyxViewFolder::rebuildMarks() const {
  m_marks.clear();
  if (m_sorted < 2 * kMarkStride) {
    m_marks.shrink_to_fit();
    return;
  }
  m_marks.reserve((m_sorted + kMarkStride - 1) / kMarkStride);
  for (std::size_t at = 0; at < m_sorted; at += kMarkStride) {
    // Marks are taken right after a rebuild, when the ordered part holds no tombstone.
    m_marks.push_back(nameKeyOf(nameOf(m_refs[at])));
  }
}

void DyxViewFolder::markRange(std::string_view name, std::size_t limit, std::size_t& lo,
                              std::size_t& hi) const {
  lo = 0;
  hi = limit;
  if (m_marks.empty()) return;
  const NameKey key = nameKeyOf(name);
  auto less = [](const NameKey& a, const NameKey& b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
  };
  // A sample whose key is below the name's names a reference below the name, and so is every
  // reference before it; a sample whose key is above it bounds the range from above.
  const auto below = std::lower_bound(m_marks.begin(), m_marks.end(), key, less);
  const auto above = std::upper_bound(below, m_marks.end(), key, less);
  const auto firstAt = [](std::ptrdiff_t mark) {
    return static_cast<std::size_t>(mark) * kMarkStride;
  };
  if (below != m_marks.begin()) lo = std::min(limit, firstAt(below - m_marks.begin() - 1) + 1);
  if (above != m_marks.end()) hi = std::min(limit, firstAt(above - m_marks.begin()));
}

std::size_t DyxViewFolder::nextLive(std::size_t from, std::size_t end) const {
  std::size_t at = from;
  while (at < end && isTomb(m_refs[at])) at = tombTarget(m_refs[at]);
  // Every tombstone passed now links straight to where the walk ended.
  for (std::size_t k = from; k < at && isTomb(m_refs[k]);) {
    const std::size_t next = tombTarget(m_refs[k]);
    m_refs[k] = tombTo(at);
    k = next;
  }
  return std::min(at, end);
}

std::size_t DyxViewFolder::lowerBound(std::string_view name) const {
  // Live references in [0, lo) are named below `name`, those in [hi, m_sorted) are not.
  std::size_t lo = 0;
  std::size_t hi = 0;
  markRange(name, m_sorted, lo, hi);
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::size_t live = nextLive(mid, hi);
    if (live == hi) {
      hi = mid;
    } else if (nameOf(m_refs[live]) < name) {
      lo = live + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

std::size_t DyxViewFolder::findRef(const DyxEntry* entry) const {
  if (m_refs.size() - m_sorted > tailScanLimit(m_sorted)) mergeTail();
  const Ref wanted = reinterpret_cast<Ref>(entry);
  // References in the ordered part come before equal names of the tail.
  if (m_sorted - m_tombs > 0) {
    const std::string_view name = entry->getName();
    for (std::size_t at = nextLive(lowerBound(name), m_sorted); at < m_sorted;
         at = nextLive(at + 1, m_sorted)) {
      if (m_refs[at] == wanted) return at;
      if (nameOf(m_refs[at]) != name) break;
    }
  }
  for (std::size_t at = m_sorted; at < m_refs.size(); ++at) {
    if (m_refs[at] == wanted) return at;
  }
  return std::string_view::npos;
}

void DyxViewFolder::compact() const {
  if (m_tombs == 0) return;
  auto end = std::remove_if(m_refs.begin(), m_refs.end(), isTomb);
  m_refs.erase(end, m_refs.end());
  m_sorted -= m_tombs;
  m_tombs = 0;
  rebuildMarks();
}

void DyxViewFolder::mergeTail() const {
  compact();
  const std::size_t tail = m_refs.size() - m_sorted;
  if (tail == 0) return;
  // A tail filed in name order (a view built from the pool files each directory's entries so)
  // needs no sort; the first name below the one before it ends the check.
  bool inOrder = true;
  for (std::size_t i = m_sorted + 1; i < m_refs.size() && inOrder; ++i) {
    inOrder = !(nameOf(m_refs[i]) < nameOf(m_refs[i - 1]));
  }
  if (inOrder && m_sorted == 0) {
    // Filed in name order (a view built from the pool): the tail is the ordered part as it is.
    m_sorted = m_refs.size();
    rebuildMarks();
    return;
  }
  // Order the tail on name keys read once per entry. Short tails (most folders of a tree of
  // directories) sort in buffers on the stack.
  constexpr std::size_t kShort = 32;
  SortKey shortKeys[kShort];
  Ref shortRefs[kShort];
  std::vector<SortKey> longKeys;
  std::vector<Ref> longRefs;
  if (tail > kShort) longRefs.reserve(tail);
  const Ref* tailRefs = m_refs.data() + m_sorted;
  if (inOrder) {
    if (tail > kShort) {
      longRefs.assign(tailRefs, tailRefs + tail);
    } else {
      std::copy(tailRefs, tailRefs + tail, shortRefs);
    }
  } else {
    if (tail > kShort) longKeys.resize(tail);
    SortKey* const keys = tail > kShort ? longKeys.data() : shortKeys;
    for (std::size_t i = 0; i < tail; ++i) keys[i] = sortKeyOf(nameOf(tailRefs[i]), i);
    std::sort(keys, keys + tail, [tailRefs](const SortKey& a, const SortKey& b) {
      if (a.high != b.high) return a.high < b.high;
      if (a.low != b.low) return a.low < b.low;
      const int order = nameOf(tailRefs[a.position]).compare(nameOf(tailRefs[b.position]));
      if (order != 0) return order < 0;
      return a.position < b.position;
    });
    if (tail > kShort) {
      for (std::size_t i = 0; i < tail; ++i) longRefs.push_back(tailRefs[keys[i].position]);
      std::vector<SortKey>().swap(longKeys);
    } else {
      for (std::size_t i = 0; i < tail; ++i) shortRefs[i] = tailRefs[keys[i].position];
    }
  }
  const Ref* const sortedTail = tail > kShort ? longRefs.data() : shortRefs;
  if (m_sorted == 0) {
    if (tail > kShort) {
      // The first ordered read of a big folder: the ordered copy, sized to fit, takes the place
      // of the array and its spare capacity.
      m_refs.swap(longRefs);
    } else {
      std::copy(sortedTail, sortedTail + tail, m_refs.begin());
    }
    m_sorted = m_refs.size();
    rebuildMarks();
    return;
  }

  // Merge from the back: each tail reference finds its place among the ordered references still
  // unplaced (names equal to it stay in front of it), and the block of ordered references after
  // that place moves up in one go. Unplaced references have not moved yet, so the samples still
  // narrow the search; the ordered part's names are read only by these searches.
  auto below = [](std::string_view name, Ref ref) { return name < nameOf(ref); };
  std::size_t left = m_sorted;        // ordered references not yet placed: [0, left)
  std::size_t write = m_refs.size();  // everything from here on is placed
  for (std::size_t j = tail; j-- > 0;) {
    const Ref ref = sortedTail[j];
    const std::string_view name = nameOf(ref);
    std::size_t lo = 0;
    std::size_t hi = 0;
    markRange(name, left, lo, hi);
    auto first = m_refs.begin();
    const std::size_t at = static_cast<std::size_t>(
        std::upper_bound(first + static_cast<std::ptrdiff_t>(lo),
                         first + static_cast<std::ptrdiff_t>(hi), name, below) -
        first);
    std::move_backward(first + static_cast<std::ptrdiff_t>(at),
                       first + static_cast<std::ptrdiff_t>(left),
                       first + static_cast<std::ptrdiff_t>(write));
    write -= left - at;
    left = at;
    m_refs[--write] = ref;
  }
  m_sorted = m_refs.size();
  rebuildMarks();
}

bool DyxViewFolder::addFolder(std::unique_ptr<DyxViewFolder> folder) {
  KX_SCOPE("DyxViewFolder::addFolder");
  if (!folder) {
    kxerr << "The given folder instance is null." << endl;
    return false;
  }
  if (folder->getName().empty()) {
    kxerr << "The given folder name is empty." << endl;
    return false;
  }
  if (m_subfolders.count(folder->getName()) != 0) {
    kxerr << "The sub-folder name " << folder->getName() << " is already in use." << endl;
    return false;
  }
  const bool wasEmpty = isEmpty();
  const int weight = folder->emptyWeight();
  folder->m_parent = this;
  const std::string_view name = folder->getName();
  m_subfolders.emplace(name, std::move(folder));
  m_emptyBelow += weight;
  adjustAncestors(weight - (wasEmpty ? 1 : 0));
  return true;
}

bool DyxViewFolder::removeFolder(const std::string& name, bool recursive) {
  KX_SCOPE("DyxViewFolder::removeFolder");
  kxout << "name=\"" << name << "\" recursive=\"" << recursive << "\" " << endl;
  if (name.empty()) {
    KX_POS(kxerr) << "The given folder name is empty." << endl;
    return false;
  }
  auto it = m_subfolders.find(name);
  if (it == m_subfolders.end()) {
    KX_POS(kxerr) << "Not in: " << name << ",folder=" << m_name << endl;
    return false;
  }
  if (!recursive && !it->second->isEmpty()) {
    KX_POS(kxerr) << "Child folder is not empty." << endl;
    return false;
  }
  // Detach first so that nothing reaches the folder through the map while it is destroyed.
  std::unique_ptr<DyxViewFolder> doomed = std::move(it->second);
  m_subfolders.erase(it);
  const int weight = doomed->emptyWeight();
  m_emptyBelow -= weight;
  adjustAncestors(-weight + (isEmpty() ? 1 : 0));
  doomed->m_parent = nullptr;
  doomed.reset();
  return true;
}

DyxViewFolder* DyxViewFolder::getSubFolder(const std::string& name) const {
  auto it = m_subfolders.find(name);
  return it == m_subfolders.end() ? nullptr : it->second.get();
}

DyxViewFolder* DyxViewFolder::getFolder(const DyxPath& path, int level) {
  KX_SCOPE("\"DyxViewFolder::getFolder\"");
  kxout << "fname=\"" << path << "\" level=\"" << level << "\" " << endl;
  // Iterative walk: one map lookup per component, no recursion on deep paths.
  DyxViewFolder* folder = this;
  const int count = static_cast<int>(path.count());
  if (level < 0) level = 0;
  for (int i = level; i < count; ++i) {
    const std::string& component = path.part(i);
    if (component == ".") {
      if (count == 1) return folder;
      continue;
    }
    folder = folder->getSubFolder(component);
    if (folder == nullptr) return nullptr;
  }
  return folder;
}

DyxViewFolder* DyxViewFolder::createFolderPath(const DyxPath& path, int level) {
  KX_SCOPE("DyxViewFolder::createFolderPath");
  kxout << "sname=\"" << path << "\" level=\"" << level << "\" " << endl;
  const int count = static_cast<int>(path.count());
  if (count == 0) {
    KX_POS(kxerr) << "The given sub-folder path is empty." << endl;
    return nullptr;
  }
  if (level < 0) level = 0;
  DyxViewFolder* folder = this;
  for (int i = level; i < count; ++i) {
    const std::string& component = path.part(i);
    DyxViewFolder* next = nullptr;
    if (component == ".") {
      next = folder;
    } else {
      next = folder->getSubFolder(component);
      if (next == nullptr) {
        // A folder the tree's class refuses to make is offered all the same, so the refusal
        // shows as "The given folder instance is null." as well.
        std::unique_ptr<DyxViewFolder> made = folder->newFolder(component);
        DyxViewFolder* raw = made.get();
        if (folder->addFolder(std::move(made))) next = raw;
      }
    }
    if (next == nullptr) return nullptr;
    folder = next;
  }
  return folder;
}

void DyxViewFolder::getFolders(std::vector<DyxViewFolder*>& list, bool indirect, bool clear) const {
  KX_SCOPE("\"DyxViewFolder::getFolders\"");
  kxout << "indirect=\"" << indirect << "\" clear=\"" << clear << "\" " << endl;
  if (clear) list.clear();
  for (const auto& [name, sub] : m_subfolders) {
    list.push_back(sub.get());
    if (indirect) sub->getFolders(list, true, false);
  }
}

void DyxViewFolder::removeEmptyFolders() {
  if (m_emptyBelow == 0) return;  // the walk below could not remove anything
  std::vector<std::string> doomed;
  for (auto& [name, sub] : m_subfolders) {
    if (sub->m_emptyBelow != 0) sub->removeEmptyFolders();
    if (sub->isEmpty()) doomed.emplace_back(name);
  }
  for (const std::string& name : doomed) removeFolder(name, true);
}
