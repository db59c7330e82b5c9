#include "dyxcore/frontend.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/platform.h"
#include "dyxcore/savedindex.h"
#include "dyxcore/uview.h"
#include "dyxcore/vfolder.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"

const std::vector<std::string>& DyxFrontEnd::predefinedViewTags() {
  static const std::vector<std::string> tags = {"Size",     "Flat",  "Name",  "Ext",  "MTime",
                                                "Location", "Owner", "Group", "Type", "Status"};
  return tags;
}

void DyxFrontEnd::startEngine() {
  // Without the folder every trace line and every activity line would be lost silently.
  int error = 0;
  if (!dyxplatform::makeDirectory("trace", &error)) {
    KX_POS(kxerr) << "Cannot create the folder \"trace\": " << dyxplatform::errorText(error)
                  << endl;
  }
  Dyx::initialize(false);
  // With the activity log open, which records what went.
  DyxSavedIndex::removeStaleTemporaries();
  DyxUserConfig::loadPropertyFiles();
  DyxUserConfig::followPreferences();
}

void DyxFrontEnd::stopEngine() { stopEngine(EngineEnd::kFreeAll); }

void DyxFrontEnd::stopEngine(EngineEnd end) {
  DyxUserConfig::forget();
  if (end == EngineEnd::kSaveOnly) {
    std::string indexName;
    try {
      indexName = DyxSavedIndex::openInfo().name;
      DyxSavedIndex::save();
    } catch (int) {
      // No pool: the engine was not started, there is no index to save.
    }
    // The index's repository was saved with it, or, narrowed, must never be.
    DyxEngineLock lock;
    DyxEntryRepository::saveAllRepositories(indexName);
    return;
  }
  try {
    DyxSavedIndex::close(true);
  } catch (int) {
    // No pool: the engine was not started, there is no index to save.
  }
  Dyx::shutdown();
}

// Builds that look for leaks or races (gcc says so with __SANITIZE_*, clang with __has_feature).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUARRY_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer) || __has_feature(leak_sanitizer)
#define QUARRY_SANITIZED_BUILD 1
#endif
#endif

DyxFrontEnd::EngineEnd DyxFrontEnd::endBeforeExit() {
#if !defined(NDEBUG) || defined(QUARRY_SANITIZED_BUILD)
  return EngineEnd::kFreeAll;
#else
  return kxout.enabled() ? EngineEnd::kFreeAll : EngineEnd::kSaveOnly;
#endif
}

void DyxFrontEnd::exitNow(int code) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

std::vector<DyxViewChoice> DyxFrontEnd::viewChoices() {
  std::vector<DyxViewChoice> choices;
  for (const std::string& tag : predefinedViewTags()) {
    choices.push_back({tag, DyxViewKind(DyxViewKind::kPhysical)});
  }
  DyxViewManager& views = Dyx::getViewManager();
  std::vector<std::string> tags;
  views.getViewKindList(tags, false);
  const std::vector<std::string>& predefined = predefinedViewTags();
  for (const std::string& tag : tags) {
    if (!isValidName(tag) ||
        std::find(predefined.begin(), predefined.end(), tag) != predefined.end()) {
      continue;
    }
    const DyxViewKind kind = views.getViewKind(tag);
    if (kind.isFileBacked()) choices.push_back({tag, kind});
  }
  return choices;
}

void DyxFrontEnd::setScanObserver(DyxScanObserver* observer) {
  try {
    Dyx::getPhysicalDirs().setObserver(observer);
  } catch (int) {
    // No pool (the engine is not started): nothing scans, nobody to observe.
  }
}

void DyxFrontEnd::clearScanObserver(const DyxScanObserver* observer) {
  try {
    DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
    if (pool.getObserver() == observer) pool.setObserver(nullptr);
  } catch (int) {
    // The engine has shut down already: nobody can call the observer back.
  }
}

void DyxFrontEnd::dumpEngine() { Dyx::dump(); }

void DyxFrontEnd::openClosedStandardDescriptors() { dyxplatform::openClosedStandardDescriptors(); }

bool DyxFrontEnd::standardOutputWasClosed() { return dyxplatform::wasClosedAtStart(1); }

std::vector<std::string> DyxFrontEnd::programArguments(int argc, char** argv) {
  std::vector<std::string> args = dyxplatform::commandLineArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  return args;
}

void DyxFrontEnd::useUtf8Console() {
  // Lives until exit, when it puts the console back as it was.
  static const dyxplatform::Utf8Console console;
}

DyxStartResult DyxFrontEnd::enterWorkDirectory() { return DyxWorkDir::enter(); }

std::string DyxFrontEnd::resolveUserPath(const std::string& path) {
  return DyxWorkDir::resolveUserPath(path);
}

bool DyxFrontEnd::viewFileExists(const std::string& tag) {
  return dyxplatform::pathExists(DyxUserView::viewFileOf(tag));
}

void DyxFrontEnd::clearPool() { Dyx::getPhysicalDirs().clear(); }

bool DyxFrontEnd::followChanges(std::function<void(const DyxWatchCounts&)> onCounts, bool catchUp) {
  try {
    return Dyx::getPhysicalDirs().followChanges(std::move(onCounts), catchUp);
  } catch (int) {
    return false;  // no pool: the engine is not started
  }
}

void DyxFrontEnd::stopFollowingChanges() {
  try {
    Dyx::getPhysicalDirs().stopNotification();
  } catch (int) {
    // The engine has shut down, and its pool with the watcher.
  }
}

void DyxFrontEnd::foldersHolding(const DyxEntry& entry, std::vector<DyxViewFolder*>& out) {
  DYX_REQUIRE_ENGINE_LOCK("DyxFrontEnd::foldersHolding");
  out.clear();
  if (DyxViewManager* views = DyxViewManager::current()) views->getIndex().getFolders(&entry, out);
}

const DyxView* DyxFrontEnd::cachedView(const std::string& tag) {
  DYX_REQUIRE_ENGINE_LOCK("DyxFrontEnd::cachedView");
  DyxViewManager* views = DyxViewManager::current();
  return views != nullptr ? views->getCached(tag) : nullptr;
}

bool DyxFrontEnd::followChangesPreferred() {
  return Dyx::getEnviron().getPreference(kFollowChangesPreference) != "false";
}

bool DyxFrontEnd::preferFollowChanges(bool on) {
  DyxEnviron& preferences = Dyx::getEnviron();
  preferences.setPreference(kFollowChangesPreference, on);
  return preferences.savePreferences();
}

DyxView* DyxFrontEnd::selectView(const std::string& tag) {
  DyxViewManager& views = Dyx::getViewManager();
  views.clearViewCache();
  return views.get(tag, true);
}

void DyxFrontEnd::scanDirectory(const std::string& dir, bool recursive,
                                const std::string& criterion, DyxParseResult& result) {
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  DyxPath key(dir);
  key.dropDots();
  DyxSavedIndex::begin(DyxSavedIndex::currentName(), key.isEmpty() ? dir : key.toString(),
                       recursive, criterion);
  pool.setFilter(criterion);
  {
    DyxEngineLock lock;
    result.criterionMessages = pool.getFilter().getMessages();
  }
  result.scanRequested = true;
  result.criterionRejected = !result.criterionMessages.empty();
  result.scanned = pool.addPhysicalDirectory(dir, recursive, true);
}

DyxView* DyxFrontEnd::resolveAfterScan(const std::string& tag, DyxView* view) {
  {
    DyxEngineLock lock;
    if (view == nullptr || view->getKind().value() != DyxViewKind::kUser) return view;
  }
  DyxView* rebuilt = selectView(tag);
  reportUnresolvedEntries(rebuilt);
  return rebuilt;
}

bool DyxFrontEnd::reportUnresolvedEntries(const DyxView* view) {
  std::size_t count = 0;
  std::string first;
  std::string name;
  {
    DyxEngineLock lock;
    if (view == nullptr || view->getKind().value() != DyxViewKind::kUser) return false;
    const auto* user = static_cast<const DyxUserView*>(view);
    count = user->unresolvedEntryCount();
    first = user->firstUnresolvedEntry();
    name = user->getViewName();
  }
  if (count == 0) return false;
  KxNotices::count(KxNoticeKind::kLeftOut,
                   "the view " + name + " names files that the parse does not hold", first, count);
  return true;
}

DyxParseResult DyxFrontEnd::runParse(const DyxParseRequest& request) {
  KX_SCOPE("DyxFrontEnd::runParse");
  kxout << kxParam("dir_name", request.dir) << kxParam("recursive", request.recursive)
        << kxParam("view_tag", request.viewTag) << kxParam("view_only", request.viewOnly) << endl;
  DyxParseResult result;
  if (!request.viewOnly) clearPool();
  result.view = selectView(request.viewTag);
  if (!request.viewOnly && !request.dir.empty()) {
    scanDirectory(request.dir, request.recursive, request.criterion, result);
    result.view = resolveAfterScan(request.viewTag, result.view);
  } else if (request.viewOnly) {
    reportUnresolvedEntries(result.view);
  }
  return result;
}

std::vector<std::string> DyxFrontEnd::checkCriterion(const std::string& criterion) {
  // The parser writes to the trace, and its first write sets the trace up on the standard
  // streams for good. Asked before the engine starts, the check hands the trace back as it found
  // it, so that the engine's start still opens its trace files in the working directory.
  const bool traceWasSetUp = KXIO::isInitialised();
  const DyxFilter filter(criterion);
  std::vector<std::string> messages = filter.getMessages();
  for (const std::string& name : DyxUserConfig::undefinedProperties(filter.getRoot())) {
    messages.push_back("No property file of " + std::string(DyxUserConfig::kPropertyDir) +
                       " defines the property " + name + ".");
  }
  if (!traceWasSetUp) KXIO::shutdown();
  return messages;
}

DyxListRow DyxFrontEnd::listRow(const DyxEntry& entry) {
  DyxListRow row = listRowValues(entry);
  row.sizeText = sizeText(row);
  row.modified = modifiedText(row);
  return row;
}

DyxListRow DyxFrontEnd::listRowValues(const DyxEntry& entry) {
  DyxListRow row;
  row.name = entry.getName();
  row.size = entry.getSize();
  row.location = entry.getFullName();
  row.mtime = entry.getMTime().getValue();
  return row;
}

DyxFrontEnd::RowParts DyxFrontEnd::listRowParts(const DyxEntry& entry) {
  static constexpr char kSeparatorText[] = {dyxplatform::kPathSeparator, '\0'};
  RowParts parts;
  parts.name = entry.getName();
  parts.size = entry.getSize();
  parts.mtime = entry.getMTime().getValue();
  parts.locationHead = entry.getDirectoryView();
  // The same location as getFullName: the root directory's text already ends with the
  // separator.
  if (!parts.locationHead.empty() && parts.locationHead.back() != dyxplatform::kPathSeparator) {
    parts.separator = std::string_view(kSeparatorText, 1);
  }
  return parts;
}

std::string DyxFrontEnd::sizeText(const DyxListRow& row) {
  return formatSize(static_cast<std::int64_t>(row.size));
}

std::string DyxFrontEnd::modifiedText(const DyxListRow& row) {
  // The text of the modification time property.
  return DyxTime(row.mtime).toString();
}

std::string DyxFrontEnd::statusLine(unsigned folderCount, unsigned fileCount) {
  return "Total: " + std::to_string(folderCount) + " folder(s), " + std::to_string(fileCount) +
         " file(s)";
}

std::string DyxFrontEnd::statusLine(unsigned folderCount, unsigned fileCount,
                                    const std::string& selectedName, std::size_t rowCount) {
  return statusLine(folderCount, fileCount) + ". Selected folder: " + selectedName + ": " +
         std::to_string(rowCount) + " file(s)";
}

std::string DyxFrontEnd::withLeftOut(const std::string& statusLine, const DyxLeftOut& leftOut) {
  return leftOut.empty() ? statusLine : statusLine + ". " + leftOut.text();
}

void DyxLeftOut::add(const KxNotice& notice) {
  switch (notice.kind) {
    case KxNoticeKind::kUnreadable:
      folders += notice.count;
      break;
    case KxNoticeKind::kLeftOut:
      files += notice.count;
      break;
    default:
      others += notice.count;
      break;
  }
}

std::string DyxLeftOut::text() const {
  std::string out;
  auto part = [&out](std::uint64_t n, const char* words) {
    if (n == 0) return;
    if (!out.empty()) out += ", ";
    out += std::to_string(n) + words;
  };
  part(folders, " folder(s) could not be read");
  part(files, " file(s) left out");
  part(others, " other problem(s)");
  return out;
}

bool DyxFrontEnd::isDriveName(const std::string& folderName) {
  return folderName.size() == 2 && folderName[0] >= 'A' && folderName[0] <= 'Z' &&
         folderName[1] == ':';
}

std::string DyxFrontEnd::treeLabel(const std::string& folderName) {
  return isDriveName(folderName) ? "System (" + folderName + ")" : folderName;
}

std::string DyxFrontEnd::folderPath(const DyxViewFolder& folder) {
  std::vector<const std::string*> parts;
  for (const DyxViewFolder* f = &folder; f != nullptr && f->getParent() != nullptr;
       f = f->getParent()) {
    parts.push_back(&f->getName());
  }
  std::string path;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it != parts.rbegin()) path += '/';
    path += **it;
  }
  return path;
}

std::vector<DyxViewFolder*> DyxFrontEnd::foldersInOrder(const DyxViewFolder& root) {
  std::vector<DyxViewFolder*> folders;
  root.getFolders(folders, true, true);
  return folders;
}

int DyxFrontEnd::compareColumnTexts(int column, const std::string& a, const std::string& b) {
  if (column == 1) {
    // The sign of the difference itself: cut down to an integer, sizes less than a byte apart
    // ("1.00098 Ko" and "1.00195 Ko") would compare equal.
    const double difference = parseSize(a) - parseSize(b);
    return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
  }
  const int order = toLower(a).compare(toLower(b));
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

void DyxFindFilter::setText(const std::string& boxText) {
  m_text = boxText;
  m_active = !boxText.empty();
  // The names are folded before matching: a pattern holding a capital could never match one.
  // Appended piece by piece: g++ 12 warns (-Wrestrict, wrongly) on "*" + text + "*" here.
  std::string wildcard = "*";
  wildcard += toLower(boxText);
  wildcard += '*';
  m_pattern = m_active ? DyxPattern(wildcard, true) : DyxPattern();
  m_folded = toLower(boxText);
  m_plain = m_active && m_folded.find_first_of("*?\\^$") == std::string::npos &&
            m_folded.find('\0') == std::string::npos;
}

namespace {

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `name`, folded, contains `folded` (already folded, not empty).
bool foldedContains(std::string_view name, const std::string& folded) {
  const std::size_t n = name.size();
  const std::size_t m = folded.size();
  if (m > n) return false;
  const char first = folded[0];
  for (std::size_t i = 0; i + m <= n; ++i) {
    if (foldAscii(name[i]) != first) continue;
    std::size_t k = 1;
    while (k < m && foldAscii(name[i + k]) == folded[k]) ++k;
    if (k == m) return true;
  }
  return false;
}

}  // namespace

bool DyxFindFilter::acceptsName(std::string_view name) const {
  if (!m_active) return true;
  if (m_plain) return foldedContains(name, m_folded);
  return m_pattern.match(toLower(std::string(name)));
}

bool DyxFindFilter::accepts(const DyxEntry& entry) const {
  return !m_active || acceptsName(entry.getName());
}

std::vector<DyxEntry*> DyxFindFilter::rowsOf(const DyxViewFolder& folder) const {
  std::vector<DyxEntry*> entries;
  folder.getEntries(entries);
  if (!m_active) return entries;
  std::vector<DyxEntry*> rows;
  rows.reserve(entries.size());
  for (DyxEntry* entry : entries) {
    if (entry != nullptr && accepts(*entry)) rows.push_back(entry);
  }
  return rows;
}

std::size_t DyxFolderTally::slotOf(const DyxViewFolder* folder) const {
  const std::size_t mask = m_known.size() - 1;
  // Folders are heap objects: the low bits of their addresses carry nothing.
  std::size_t slot = static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(folder) >> 4) *
                                              std::uint64_t{0x9E3779B97F4A7C15}) &
                     mask;
  while (m_known[slot] != nullptr && m_known[slot] != folder) slot = (slot + 1) & mask;
  return slot;
}

bool DyxFolderTally::isKnown(const DyxViewFolder* folder) const {
  return folder != nullptr && !m_known.empty() && m_known[slotOf(folder)] == folder;
}

void DyxFolderTally::insert(const DyxViewFolder* folder) {
  if (2 * (m_knownCount + 1) > m_known.size()) {
    std::vector<const DyxViewFolder*> old(std::max<std::size_t>(64, 2 * m_known.size()), nullptr);
    old.swap(m_known);
    for (const DyxViewFolder* f : old) {
      if (f != nullptr) m_known[slotOf(f)] = f;
    }
  }
  m_known[slotOf(folder)] = folder;
  ++m_knownCount;
}

void DyxFolderTally::record(const DyxViewFolder* folder, bool withEntry,
                            std::vector<const DyxViewFolder*>* added) {
  if (folder == nullptr) return;
  // Runs of filings go to one folder (the files of one directory): the last folder is known.
  if (folder != m_last && !isKnown(folder)) {
    // Unseen parents first (a parent with an empty name is the view's root, which has no item).
    std::vector<const DyxViewFolder*> chain{folder};
    for (const DyxViewFolder* f = folder->getParent();
         f != nullptr && !f->getName().empty() && !isKnown(f); f = f->getParent()) {
      chain.push_back(f);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      insert(*it);
      ++m_folderCount;
      if (added != nullptr) added->push_back(*it);
    }
  }
  m_last = folder;
  if (withEntry) ++m_fileCount;
}

void DyxFolderTally::clear() {
  m_last = nullptr;
  m_known.clear();
  m_known.shrink_to_fit();
  m_knownCount = 0;
  m_folderCount = 0;
  m_fileCount = 0;
}
