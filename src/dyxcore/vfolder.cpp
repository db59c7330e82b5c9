#include "dyxcore/vfolder.h"

#include <algorithm>
#include <utility>

#include "dyxcore/dyx.h"
#include "dyxcore/path.h"
#include "dyxcore/physdir.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"

namespace {

// The manager whose index this process's folders report to. While a manager is being destroyed
// it stays the current one, so the folders it destroys never make the facade build a new one.
DyxViewManager& manager() {
  DyxViewManager* current = DyxViewManager::current();
  return current != nullptr ? *current : Dyx::getViewManager();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// EntryList

void DyxViewFolder::EntryList::push(DyxEntry* entry) {
  if (m_first == nullptr) {
    m_first = entry;
    return;
  }
  if (!m_more) m_more = std::make_unique<std::vector<DyxEntry*>>();
  m_more->push_back(entry);
}

bool DyxViewFolder::EntryList::removeFirst(const DyxEntry* entry) {
  if (m_first == nullptr) return false;
  if (m_first == entry) {
    if (m_more && !m_more->empty()) {
      m_first = m_more->front();
      m_more->erase(m_more->begin());
      if (m_more->empty()) m_more.reset();
    } else {
      m_first = nullptr;
      m_more.reset();
    }
    return true;
  }
  if (!m_more) return false;
  auto it = std::find(m_more->begin(), m_more->end(), entry);
  if (it == m_more->end()) return false;
  m_more->erase(it);
  if (m_more->empty()) m_more.reset();
  return true;
}

bool DyxViewFolder::EntryList::contains(const DyxEntry* entry) const {
  if (m_first == nullptr) return false;
  if (m_first == entry) return true;
  return m_more && std::find(m_more->begin(), m_more->end(), entry) != m_more->end();
}

// ---------------------------------------------------------------------------------------------
// DyxViewFolder

DyxViewFolder::DyxViewFolder(const std::string& name) : m_name(name) {}

DyxViewFolder::~DyxViewFolder() {
  // Whoever destroys a folder has already taken its subtree out of the ancestors' counts.
  m_parent = nullptr;
  // Not a virtual call: a subclass's part is already gone here. The folder's own removal of
  // every reference keeps the index free of destroyed folders.
  forgetAllDirectEntries();
  m_subfolders.clear();  // each sub-folder's destructor does the same for its subtree
}

bool DyxViewFolder::isRoot() const { return false; }

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

void DyxViewFolder::forgetAllDirectEntries() {
  if (m_entryCount == 0 && m_entries.empty()) return;
  DyxViewManager& man = manager();
  for (const auto& [name, list] : m_entries) {
    list.forEach([&](DyxEntry* e) { man.forgetFolder(e, this); });
  }
  m_entries.clear();
  m_entryCount = 0;
  if (m_subfolders.empty()) adjustAncestors(1);
}

void DyxViewFolder::removeAllEntries() {
  forgetAllDirectEntries();
  for (auto& [name, sub] : m_subfolders) sub->removeAllEntries();
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
  m_entries[std::string_view(entry->getName())].push(entry);
  ++m_entryCount;
  if (wasEmpty) adjustAncestors(-1);
  manager().recordFolder(entry, this);
  if (observer != nullptr && !observer->entryFiled(this, entry)) return false;
  return true;
}

void DyxViewFolder::removeEntry(DyxEntry* entry, bool recursive) {
  KX_SCOPE("DyxViewFolder::removeEntry");
  kxout << "ths->getName()=\"" << m_name << "\" " << endl;
  if (entry == nullptr) {
    KX_POS(kxerr) << "The entry is null." << endl;
    return;
  }
  const std::string& name = entry->getName();
  auto it = m_entries.find(std::string_view(name));
  if (it != m_entries.end() && it->second.removeFirst(entry)) {
    if (it->second.empty()) {
      m_entries.erase(it);
    } else if (const std::string& lender = it->second.first()->getName();
               lender.data() != it->first.data()) {
      // The entry that lent the key left while an equal name of another repository stays: the
      // key now views the remaining entry's text.
      auto node = m_entries.extract(it);
      node.key() = std::string_view(lender);
      m_entries.insert(std::move(node));
    }
    manager().forgetFolder(entry, this);
    --m_entryCount;
    if (isEmpty()) adjustAncestors(1);
  } else {
    KX_POS(kxerr) << "Not in: " << name << ",folder=" << m_name << endl;
  }
  if (recursive) {
    for (auto& [subName, sub] : m_subfolders) sub->removeEntry(entry, true);
  }
}

void DyxViewFolder::getEntries(std::vector<DyxEntry*>& list) const {
  list.clear();
  list.reserve(static_cast<std::size_t>(m_entryCount));
  for (const auto& [name, entries] : m_entries) {
    entries.forEach([&](DyxEntry* e) { list.push_back(e); });
  }
}

bool DyxViewFolder::holdsEntry(const DyxEntry* entry) const {
  if (entry == nullptr) return false;
  auto it = m_entries.find(std::string_view(entry->getName()));
  return it != m_entries.end() && it->second.contains(entry);
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
  const std::string name = folder->getName();
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
    if (sub->isEmpty()) doomed.push_back(name);
  }
  for (const std::string& name : doomed) removeFolder(name, true);
}
