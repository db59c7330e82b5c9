#include "dyxcore/pview.h"

#include <string>

#include "dyxcore/context.h"
#include "dyxcore/environ.h"
#include "dyxcore/portable.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"

namespace {

void addSingleFolder(std::vector<DyxPath>& paths, const std::string& name) {
  DyxPath path;
  path.append(name);  // an empty name leaves the path empty: the entry goes to "<empty>"
  paths.push_back(std::move(path));
}

bool preference(const char* name) {
  DyxEnviron* env = DyxContext::environment();
  return env != nullptr && env->getBoolPreference(name);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxPhysicalView and DyxRuleView

DyxPhysicalView::DyxPhysicalView(const std::string& name, DyxPhysicalDirs* pool)
    : DyxFilterView(name, pool) {}

DyxViewKind DyxPhysicalView::getKind() const { return DyxViewKind(DyxViewKind::kPhysical); }

void DyxPhysicalView::save() { markNotModified(); }

DyxPath DyxPhysicalView::getFolderForEntry(const DyxEntry* /*entry*/) {
  KX_SCOPE("DyxPhysicalView::getFolderForEntry");
  return DyxPath();
}

bool DyxPhysicalView::getFoldersForEntry(const DyxEntry* /*entry*/, std::vector<DyxPath>& paths) {
  KX_SCOPE("DyxPhysicalView::getFoldersForEntry");
  paths.clear();
  return false;
}

DyxRuleView::DyxRuleView(const char* className, const char* foldersScope, const char* folderScope,
                         DyxFolderRule rule, DyxPhysicalDirs* pool, bool update,
                         DyxFolderKeyRule keyRule)
    : DyxPhysicalView(std::string("<") + className + ">", pool),
      m_foldersScope(foldersScope),
      m_folderScope(folderScope),
      m_rule(rule),
      m_keyRule(keyRule) {
  // The rule is in place, so getFoldersForEntry already answers with it here.
  if (update) this->update(pool);
}

DyxPath DyxRuleView::getFolderForEntry(const DyxEntry* entry) {
  KX_SCOPE(m_folderScope);
  if (entry == nullptr) return DyxPath();
  std::vector<DyxPath> paths;
  m_rule(*entry, paths);
  return paths.empty() ? DyxPath() : paths.front();
}

bool DyxRuleView::folderKey(const DyxEntry& entry, const void*& scope, std::uint64_t& key) const {
  return m_keyRule != nullptr && m_keyRule(entry, scope, key);
}

bool DyxRuleView::getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) {
  KX_SCOPE(m_foldersScope);
  paths.clear();
  if (entry == nullptr) return true;
  return m_rule(*entry, paths);
}

// ---------------------------------------------------------------------------------------------
// The ten views

DyxSizeView::DyxSizeView(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxSizeView", "DyxSizeView::getFoldersForEntry",
                  "DyxSizeView::getFolderForEntry", &DyxSizeView::folderNames, pool, update) {}

const char* DyxSizeView::rangeName(long long size) {
  if (size < 0) return kDyxInErrorFolder;
  if (size == 0) return kDyxNullSizeFolder;
  if (size <= 1024) return "0 to 1Ko";
  if (size <= 10240) return "1 to 10Ko";
  if (size <= 102400) return "10 to 100Ko";
  if (size < 1048576) return "100Ko to 1Mo";
  if (size < 10485760) return "1 to 10Mo";
  if (size < 104857600) return "10 to 100Mo";
  if (size < 1073741824) return "100Mo to 1Go";
  return "more than 1Go";
}

bool DyxSizeView::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  // The size is 64-bit, so files of 4 GiB and more are not folded back into small ranges; only
  // the all-ones value, the size of an entry in error, reads as negative.
  addSingleFolder(paths, rangeName(static_cast<long long>(entry.getSize())));
  return true;
}

DyxFlatView::DyxFlatView(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxFlatView", "DyxFlatView::getFoldersForEntry",
                  "DyxFlatView::getFolderForEntry", &DyxFlatView::folderNames, pool, update) {}

bool DyxFlatView::folderNames(const DyxEntry& /*entry*/, std::vector<DyxPath>& paths) {
  paths.clear();
  addSingleFolder(paths, kDyxFlatFolder);
  return true;
}

DyxNameView::DyxNameView(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxNameView", "DyxNameView::getFoldersForEntry",
                  "DyxNameView::getFolderForEntry", &DyxNameView::folderNames, pool, update) {}

bool DyxNameView::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  const std::string first(entry.getName().substr(0, 1));
  if (first == ".") {
    addSingleFolder(paths, kDyxHiddenFolder);
  } else {
    addSingleFolder(paths, preference("NameCase") ? first : toLower(first));
  }
  return true;
}

DyxExtensionView::DyxExtensionView(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxExtensionView", "DyxExtensionView::getFoldersForEntry",
                  "DyxExtensionView::getFolderForEntry", &DyxExtensionView::folderNames, pool,
                  update) {}

bool DyxExtensionView::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  const std::string ext = entry.getExtension();
  addSingleFolder(paths, preference("ExtCase") ? ext : toLower(ext));
  return true;
}

DyxMDateView::DyxMDateView(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxMDateView", "DyxMDateView::getFoldersForEntry",
                  "DyxMDateView::getFolderForEntry", &DyxMDateView::folderNames, pool, update) {}

bool DyxMDateView::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  const DyxTime time = entry.getMTime();
  // A time stamp without a calendar date (unset, or a value the calendar cannot hold) gets no
  // folder of its own; the view files such entries under "<empty>".
  if (!time.hasDate()) return true;
  int day = 0;
  int month = 0;
  int year = 0;
  time.getDayMonthYear(day, month, year);
  if (month < 1 || month > 12 || day < 1 || day > 31) return true;
  DyxPath path;
  path.append(std::to_string(year));
  path.append(DyxTime::monthName(month));
  const char dayText[3] = {static_cast<char>('0' + day / 10), static_cast<char>('0' + day % 10),
                           '\0'};
  path.append(dayText);
  paths.push_back(std::move(path));
  return true;
}

DyxPhysView::DyxPhysView(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxPhysView", "DyxPhysView::getFoldersForEntry",
                  "DyxPhysView::getFolderForEntry", &DyxPhysView::folderNames, pool, update,
                  &DyxPhysView::directoryKey) {}

bool DyxPhysView::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  paths.push_back(entry.getLocation());
  return true;
}

bool DyxPhysView::directoryKey(const DyxEntry& entry, const void*& scope, std::uint64_t& key) {
  const DyxEntryRepository* repository = entry.getRepository();
  if (repository == nullptr) return false;
  scope = repository;
  key = (std::uint64_t{repository->getTextGeneration()} << 32) | entry.getPid();
  return true;
}

DyxOwner::DyxOwner(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxOwner", "DyxOwner::getFoldersForEntry", "DyxOwner::getFolderForEntry",
                  &DyxOwner::folderNames, pool, update) {}

bool DyxOwner::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  addSingleFolder(paths, entry.getProperty(kPropOwner));
  return true;
}

DyxGroup::DyxGroup(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxGroup", "DyxGroup::getFoldersForEntry", "DyxGroup::getFolderForEntry",
                  &DyxGroup::folderNames, pool, update) {}

bool DyxGroup::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  addSingleFolder(paths, entry.getProperty(kPropGroup));
  return true;
}

DyxType::DyxType(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxType", "DyxType::getFoldersForEntry", "DyxType::getFolderForEntry",
                  &DyxType::folderNames, pool, update) {}

bool DyxType::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  std::vector<std::string> types;
  entry.getTypes(types);
  for (const std::string& type : types) paths.emplace_back(type, '.');
  return true;
}

DyxStatus::DyxStatus(DyxPhysicalDirs* pool, bool update)
    : DyxRuleView("DyxStatus", "DyxStatus::getFoldersForEntry", "DyxStatus::getFolderForEntry",
                  &DyxStatus::folderNames, pool, update) {}

bool DyxStatus::folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) {
  paths.clear();
  // One folder: the "/" of "I/O Error" is part of the name.
  addSingleFolder(paths, entry.getStatusText());
  return true;
}
