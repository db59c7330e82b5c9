#include "dyxcore/fview.h"

#include <algorithm>
#include <utility>

#include "dyxcore/environ.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/portable.h"
#include "dyxcore/pview.h"
#include "dyxcore/thread.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"

namespace {

const char* const kNoSorter = "<none>";
const char* const kExtSorter = "<ext>";
const char* const kSizeSorter = "<size>";

DyxPath singleFolder(const std::string& name) {
  DyxPath path;
  path.append(name);
  return path;
}

std::unique_ptr<DyxViewFolder> makeFilterFolder(const std::string& name) {
  if (name.empty()) {
    KX_POS(kxerr) << "The folder name is empty." << endl;
    return nullptr;
  }
  return std::make_unique<DyxFilterFolder>(name);
}

// Asks every direct sub-folder, in name order, for its paths and appends them. Each folder
// answers into a list of its own, so a folder of a foreign class (whose slot empties the list)
// cannot wipe what the others gave.
void collectSubfolderPaths(const DyxViewFolder& folder, const DyxEntry* entry,
                           std::vector<DyxPath>& paths) {
  std::vector<DyxViewFolder*> subfolders;
  folder.getFolders(subfolders, false, true);
  std::vector<DyxPath> own;
  for (DyxViewFolder* sub : subfolders) {
    sub->getFoldersForEntry(entry, own);
    for (DyxPath& path : own) paths.push_back(std::move(path));
    own.clear();
  }
}

// The first non-empty getFolderForEntry answer of the direct sub-folders, in name order.
DyxPath firstSubfolderPath(const DyxViewFolder& folder, const DyxEntry* entry) {
  std::vector<DyxViewFolder*> subfolders;
  folder.getFolders(subfolders, false, true);
  for (DyxViewFolder* sub : subfolders) {
    DyxPath path = sub->getFolderForEntry(entry);
    if (path.count() > 0) return path;
  }
  return DyxPath();
}

bool belongsTo(const DyxViewFolder* folder, const DyxViewFolder* root) {
  for (; folder != nullptr; folder = folder->getParent()) {
    if (folder == root) return true;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxFilterFolder

DyxFilterFolder::DyxFilterFolder(const std::string& name) : DyxViewFolder(name) {}

std::unique_ptr<DyxViewFolder> DyxFilterFolder::newFolder(const std::string& name) {
  return makeFilterFolder(name);
}

std::string DyxFilterFolder::getFilterText() const { return m_filter.toString(); }

void DyxFilterFolder::setFilterText(const std::string& text) { m_filter.reset(text); }

std::string DyxFilterFolder::getSorterTag() const { return std::string(); }

void DyxFilterFolder::setSorterTag(const std::string& /*tag*/) {}

bool DyxFilterFolder::accepts(const DyxEntry* entry) const {
  // "<unmatched>" collects what nothing else took; it must never match through a filter.
  return entry != nullptr && getName() != kDyxUnmatchedFolder && m_filter.evaluate(*entry);
}

DyxPath DyxFilterFolder::getFolderForEntry(const DyxEntry* entry) {
  if (!accepts(entry)) return DyxPath();
  DyxPath path = singleFolder(getName());
  DyxPath below = firstSubfolderPath(*this, entry);
  for (const std::string& part : below.components()) path.append(part);
  return path;
}

bool DyxFilterFolder::getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) {
  if (!accepts(entry)) return true;
  const std::size_t before = paths.size();
  collectSubfolderPaths(*this, entry, paths);
  if (paths.size() == before) {
    paths.push_back(singleFolder(getName()));
    return true;
  }
  // The sub-folders answered relative to this folder; lead their paths from our parent.
  for (std::size_t i = before; i < paths.size(); ++i) {
    DyxPath led = singleFolder(getName());
    for (const std::string& part : paths[i].components()) led.append(part);
    paths[i] = std::move(led);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// DyxFilterView

DyxFilterView::DyxFilterView(const std::string& name, DyxPhysicalDirs* pool)
    : DyxUserView(name, pool), m_sorterTag(kNoSorter) {}

DyxFilterView::~DyxFilterView() = default;

std::unique_ptr<DyxViewFolder> DyxFilterView::newFolder(const std::string& name) {
  return makeFilterFolder(name);
}

std::string DyxFilterView::getFilterText() const { return m_filter.toString(); }

void DyxFilterView::setFilterText(const std::string& text) {
  m_filter.reset(text);
  markModified();
}

std::string DyxFilterView::getSorterTag() const { return m_sorterTag; }

void DyxFilterView::setSorterTag(const std::string& tag) { setSorter(tag); }

DyxViewKind DyxFilterView::getKind() const { return DyxViewKind(DyxViewKind::kFilter); }

void DyxFilterView::setSorter(const std::string& tag) {
  KX_SCOPE("DyxFilterView::setSorter");
  kxout << kxParam("sorter", tag) << endl;
  m_sorterTag = tag;
  if (tag == kExtSorter) {
    m_sorterFunction = std::make_unique<DyxExtensionSorter>();
    markModified();
  } else if (tag == kSizeSorter) {
    m_sorterFunction = std::make_unique<DyxSizeSorter>();
    markModified();
  } else if (tag == kNoSorter) {
    m_sorterFunction.reset();
  } else {
    m_sorterTag = kNoSorter;
    m_sorterFunction.reset();
    KX_POS(kxerr) << "Unknown sorter tag." << endl;
  }
}

DyxPath DyxFilterView::getFolderForEntry(const DyxEntry* entry) {
  DyxPath path = firstSubfolderPath(*this, entry);
  if (path.count() > 0) return path;
  return singleFolder(kDyxUnmatchedFolder);
}

bool DyxFilterView::getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) {
  KX_SCOPE("DyxFilterView::getFoldersForEntry");
  paths.clear();
  collectSubfolderPaths(*this, entry, paths);
  if (m_sorterFunction != nullptr && entry != nullptr) {
    std::vector<DyxPath> sorted;
    m_sorterFunction->folderNames(*entry, sorted);
    for (DyxPath& path : sorted) paths.push_back(std::move(path));
  }
  if (paths.empty()) paths.push_back(singleFolder(kDyxUnmatchedFolder));
  return true;
}

bool DyxFilterView::folderKey(const DyxEntry& /*entry*/, const void*& /*scope*/,
                              std::uint64_t& /*key*/) const {
  return false;
}

DyxViewFolder* DyxFilterView::folderOfPath(const DyxPath& path) {
  const std::vector<std::string>& parts = path.components();
  const bool plain = !kxout.enabled() && !parts.empty() &&
                     std::find(parts.begin(), parts.end(), ".") == parts.end();
  if (!plain) {
    DyxViewFolder* folder = getFolder(path);
    return folder != nullptr ? folder : createFolderPath(path, 0);
  }
  // The folders of the previous path hold while no folder has been destroyed: the walk starts
  // below the components this path shares with it (the folders of a directory and the next
  // one, in a view built from the pool).
  PathFolders& last = m_lastPath;
  if (last.removals != DyxViewFolder::getRemovalCount()) last.parts.clear();
  std::size_t common = 0;
  while (common < parts.size() && common < last.parts.size() &&
         parts[common] == last.parts[common]) {
    ++common;
  }
  DyxViewFolder* start = common == 0 ? this : last.folders[common - 1];
  const int level = static_cast<int>(common);
  DyxViewFolder* folder = start->getFolder(path, level);
  if (folder == nullptr) folder = start->createFolderPath(path, level);
  if (folder == nullptr) {
    last.parts.clear();
    return nullptr;
  }
  last.parts.resize(common);
  last.parts.insert(last.parts.end(), parts.begin() + level, parts.end());
  last.folders.resize(parts.size());
  DyxViewFolder* at = folder;
  for (std::size_t i = parts.size(); i-- > common;) {
    last.folders[i] = at;
    at = at->getParent();
  }
  last.removals = DyxViewFolder::getRemovalCount();
  return folder;
}

int DyxFilterView::fileInto(const DyxPath& path, DyxEntry* entry, DyxScanObserver* observer,
                            DyxViewFolder** filedInto) {
  DyxViewFolder* folder = folderOfPath(path);
  if (folder == nullptr) return 0;
  if (filedInto != nullptr) *filedInto = folder;
  return folder->addEntry(entry, observer) ? 1 : -1;
}

bool DyxFilterView::mapEntry(DyxEntry* entry, DyxScanObserver* observer) {
  if (entry == nullptr) {
    KX_POS(kxerr) << "Null passed DyxEntry instance." << endl;
    return true;
  }
  DyxEngineLock lock;
  if (!m_filter.isUndefined() && !m_filter.evaluate(*entry)) return true;

  const void* scope = nullptr;
  std::uint64_t key = 0;
  const bool keyed = !kxout.enabled() && folderKey(*entry, scope, key);
  if (keyed && m_keyed.folder != nullptr && m_keyed.scope == scope && m_keyed.key == key &&
      m_keyed.removals == DyxViewFolder::getRemovalCount()) {
    return m_keyed.folder->addEntry(entry, observer);
  }

  bool placed = false;
  try {
    std::vector<DyxPath> paths;
    if (getFoldersForEntry(entry, paths)) {
      for (const DyxPath& path : paths) {
        if (path.count() == 0) {
          KX_POS(kxerr) << "Am empty path has been returned." << endl;
          continue;
        }
        DyxViewFolder* folder = nullptr;
        const int filed = fileInto(path, entry, observer, &folder);
        if (keyed && paths.size() == 1 && folder != nullptr) {
          m_keyed = KeyedFolder{scope, key, DyxViewFolder::getRemovalCount(), folder};
        }
        if (filed < 0) return false;
        if (filed > 0) {
          placed = true;
        } else {
          KX_POS(kxerr) << "Cannot create the folder path: " << path << endl;
        }
      }
    }
  } catch (const DyxThreadExit&) {
    throw;  // a thread that ends unwinds through here: that is no failure to place the entry
  } catch (...) {
    KX_POS(kxerr) << "Entry: " << entry->getName()
                  << " cannot be stored into filter view: " << getViewName() << endl;
  }
  if (placed) return true;

  const DyxPath emptyPath = singleFolder(DyxEnviron::getEmptyText());
  const int filed = fileInto(emptyPath, entry, observer);
  if (filed < 0) return false;
  if (filed == 0) KX_POS(kxerr) << "Cannot create the folder path: " << emptyPath << endl;
  return true;
}

void DyxFilterView::update(DyxPhysicalDirs* pool) {
  KX_SCOPE("DyxFilterView::update");
  kxout << kxMember("getViewName()", getViewName()) << endl;
  // Held for the whole rebuild: the collected entry pointers stay valid only while no other
  // thread can free a slot.
  DyxEngineLock lock;
  removeAllEntries();
  if (pool == nullptr) return;
  DyxScanObserver* observer = pool->getObserver();
  pool->forEachDirectoryEntries(
      [&](const std::vector<DyxEntry*>& entries) { return mapEntries(entries, observer); });
}

bool DyxFilterView::mapEntries(std::span<DyxEntry* const> entries, DyxScanObserver* observer) {
  DyxEngineLock lock;
  const auto stopAsked = [observer] {
    bool restarted = false;
    return observer != nullptr && (observer->isStopRequested(restarted) || restarted);
  };
  for (std::size_t i = 0; i < entries.size();) {
    if (!mapEntry(entries[i++], observer) || stopAsked()) return false;
    // The entries that follow in the keyed folder of the one just filed (in the Location
    // view, the rest of its directory) go straight to that folder, as mapEntry would send
    // them one by one, into storage sized once for all of them.
    const std::size_t run = keyedRun(entries, i);
    if (run == 0) continue;
    DyxViewFolder* folder = m_keyed.folder;
    folder->reserveEntries(run);
    for (const std::size_t end = i + run; i < end; ++i) {
      if (!folder->addEntry(entries[i], observer) || stopAsked()) return false;
      // The observer may have changed the tree; the entries left take the usual way.
      if (m_keyed.removals != DyxViewFolder::getRemovalCount()) {
        ++i;
        break;
      }
    }
  }
  return true;
}

std::size_t DyxFilterView::keyedRun(std::span<DyxEntry* const> entries, std::size_t from) const {
  // The conditions of mapEntry's own shortcut, with no filter to judge each entry.
  if (m_keyed.folder == nullptr || !m_filter.isUndefined() || kxout.enabled() ||
      m_keyed.removals != DyxViewFolder::getRemovalCount()) {
    return 0;
  }
  std::size_t end = from;
  const void* scope = nullptr;
  std::uint64_t key = 0;
  while (end < entries.size() && entries[end] != nullptr && folderKey(*entries[end], scope, key) &&
         scope == m_keyed.scope && key == m_keyed.key) {
    ++end;
  }
  return end - from;
}

void DyxFilterView::remapEntry(DyxEntry* entry, DyxScanObserver* observer) {
  KX_SCOPE("DyxFilterView::remapEntry");
  if (entry == nullptr) {
    KX_POS(kxerr) << "The entry is null." << endl;
    return;
  }
  DyxEngineLock lock;
  DyxViewManager* manager = DyxViewManager::current();
  if (manager == nullptr) {
    removeEntry(entry, true);
  } else {
    // The index knows every folder that holds the entry: unfile it from those of this tree
    // instead of asking every folder (which costs a walk of the tree and reports each folder
    // that never held it). Every reference goes, so overlapping paths cannot pile up copies.
    std::vector<DyxViewFolder*> holders;
    manager->getIndex().getFolders(entry, holders);
    for (DyxViewFolder* folder : holders) {
      if (belongsTo(folder, this)) folder->removeEntry(entry, false);
    }
  }
  mapEntry(entry, observer);
}
