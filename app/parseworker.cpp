#include "parseworker.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "kxcore/io.h"

namespace {

// Marks the worker as inside entryFiled for the lifetime of the guard.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
  ~DepthGuard() { --m_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& m_depth;
};

// Stands between the scans and the engine's notifier while a window's worker lives, so that
// changes made by the watcher's thread (or the polling loop) reach the window. Never destroyed:
// a thread that took it as the notifier may still be calling it.
class FollowedNotifier final : public DyxViewNotifier {
 public:
  // Under the engine lock.
  void attach(ParseWorker* worker) {
    if (&DyxPhysicalDirectory::viewNotifier() != this) {
      m_next = &DyxPhysicalDirectory::viewNotifier();
      DyxPhysicalDirectory::setViewNotifier(this);
    }
    m_worker = worker;
  }
  void detach(const ParseWorker* worker) {
    if (m_worker != worker) return;
    m_worker = nullptr;
    if (&DyxPhysicalDirectory::viewNotifier() == this)
      DyxPhysicalDirectory::setViewNotifier(m_next);
  }

  // A scan without observer (an update) still has its new files shown.
  void entryAdded(DyxEntry* entry, DyxScanObserver* observer) override {
    m_next->entryAdded(entry, observer != nullptr || m_worker == nullptr
                                  ? observer
                                  : static_cast<DyxScanObserver*>(m_worker));
  }
  void entryChanged(DyxEntry* entry, DyxScanObserver* observer) override {
    if (m_worker != nullptr) {
      m_worker->followedChange(entry, *m_next);
    } else {
      m_next->entryChanged(entry, observer);
    }
  }
  void entryRemoved(DyxEntry* entry) override {
    if (m_worker != nullptr) {
      m_worker->followedRemoval(entry, *m_next);
    } else {
      m_next->entryRemoved(entry);
    }
  }
  void allEntriesRemoved() override { m_next->allEntriesRemoved(); }

 private:
  DyxViewNotifier* m_next = nullptr;  // the engine's (or a test's) notifier
  ParseWorker* m_worker = nullptr;
};

FollowedNotifier& followedNotifier() {
  static FollowedNotifier* const notifier = new FollowedNotifier;
  return *notifier;
}

}  // namespace

ParseWorker::ParseWorker(std::function<void(bool now)> notify) : m_notify(std::move(notify)) {
  DyxFrontEnd::setScanObserver(this);
  DyxEngineLock lock;
  followedNotifier().attach(this);
}

ParseWorker::~ParseWorker() {
  // The watcher calls this object back: it ends first.
  stopFollowing();
  {
    DyxEngineLock lock;
    followedNotifier().detach(this);
  }
  DyxFrontEnd::clearScanObserver(this);
  // run() uses this object's members until it returns.
  if (!isStopped()) shutdown();
}

void ParseWorker::submitParse(const std::string& dir, bool recursive, const std::string& tag) {
  {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    m_dir = dir;
    m_recursive = recursive;
    m_requestTag = tag;
    m_pending = Pending::kParse;
  }
  m_viewOnly.store(false);
  // Cleared by the worker when it wakes; it stops a parse that would still be finishing.
  m_stopParse.store(true);
  resume();
}

void ParseWorker::submitViewSwitch(const std::string& tag) {
  {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    m_requestTag = tag;
    // A parse that has not started yet takes the new tag with it.
    if (m_pending != Pending::kParse) m_pending = Pending::kViewSwitch;
  }
  // A running parse goes on: only a switch that starts the worker may stop stale work.
  m_stopParse.store(!m_parsing.load());
  m_viewOnly.store(true);
  resume();
}

void ParseWorker::submitRestore(const std::string& tag) {
  {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    m_requestTag = tag;
    if (m_pending == Pending::kParse) return;  // a parse asked for first replaces the index
    m_pending = Pending::kRestore;
  }
  m_viewOnly.store(false);
  m_stopParse.store(true);
  resume();
}

void ParseWorker::setCriterion(const std::string& criterion) {
  std::lock_guard<std::mutex> lock(m_requestMutex);
  m_criterion = criterion;
}

std::string ParseWorker::criterion() const {
  std::lock_guard<std::mutex> lock(m_requestMutex);
  return m_criterion;
}

DelveUpdateBatch ParseWorker::takeUpdates() {
  std::lock_guard<std::mutex> lock(m_updateMutex);
  DelveUpdateBatch batch;
  std::swap(batch, m_waiting);
  m_waiting.folderCount = batch.folderCount;
  m_waiting.fileCount = batch.fileCount;
  m_notified = false;
  m_directorySlot = kNoSlot;
  m_taken.notify_all();
  return batch;
}

void ParseWorker::waitUntilTaken(int ms) {
  std::unique_lock<std::mutex> lock(m_updateMutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  // Polled in short steps: a stop request does not notify the condition.
  while (!m_waiting.updates.empty() && !m_stopParse.load() && !DyxThread::isStopRequested()) {
    if (m_taken.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                        std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      break;
    }
  }
}

bool ParseWorker::runRestore(const std::string& tag) {
  DelveUpdate forget;
  forget.kind = DelveUpdate::Kind::kProblemsCleared;
  forget.generation = m_generation;
  post(std::move(forget));
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
  if (!info.found) return false;
  std::string problem;
  if (!DyxSavedIndex::restore(info, DyxRestoreOptions(), &problem)) {
    postProblems(false);
    DelveUpdate status;
    status.kind = DelveUpdate::Kind::kDirectory;
    status.generation = m_generation;
    status.text = problem;
    post(std::move(status));
    return false;
  }
  buildView(tag);
  const std::string saved = DyxSavedIndex::timeText(DyxSavedIndex::openInfo().savedAt);
  const std::string shown =
      "Saved index of " + info.dir + (saved.empty() ? std::string() : ", saved " + saved);
  DelveUpdate restored;
  restored.kind = DelveUpdate::Kind::kRestored;
  restored.generation = m_generation;
  restored.text = shown + ": bringing it up to date";
  post(std::move(restored));
  postProblems(false);
  // The saved rows reach the window before the pass reads anything.
  waitUntilTaken(10000);

  const DyxIndexUpdate pass = DyxSavedIndex::update(this);
  if (pass.changed && !m_stopParse.load() && !DyxThread::isStopRequested()) {
    clearDisplay(DelveUpdate::Kind::kRefresh);
    buildView(tag);
  }
  postProblems(false);
  DelveUpdate status;
  status.kind = DelveUpdate::Kind::kDirectory;
  status.generation = m_generation;
  status.text = pass.stopped ? shown + ": its update was stopped"
                             : shown + ", up to date: " + std::to_string(pass.directoriesRead) +
                                   " changed folder(s) read again";
  post(std::move(status));
  // A restored index is followed like a parse once it is up to date.
  return !pass.stopped && !m_stopParse.load() && !DyxThread::isStopRequested();
}

void ParseWorker::setFollowChanges(bool on) {
  const bool was = m_follow.exchange(on);
  if (on) {
    // What changed while following was off shows as well.
    if (!was && !m_parsing.load() && m_followable.load()) startFollowing(true);
    return;
  }
  stopFollowing();
  DelveUpdate state;
  state.kind = DelveUpdate::Kind::kFollowState;
  post(std::move(state));
}

void ParseWorker::stopFollowing() {
  ++m_followStopping;
  DyxFrontEnd::stopFollowingChanges();
  --m_followStopping;
}

void ParseWorker::startFollowing(bool catchUp) {
  if (!m_follow.load() || !m_followable.load()) return;
  const bool started = DyxFrontEnd::followChanges(
      [this](const DyxWatchCounts& counts) {
        DelveUpdate state;
        state.kind = DelveUpdate::Kind::kFollowState;
        state.counts = counts;
        post(std::move(state));
      },
      catchUp);
  if (!started) {
    KX_POS(kxerr) << "Changes cannot be followed." << endl;
    DelveUpdate state;
    state.kind = DelveUpdate::Kind::kFollowState;
    state.text = DelveUpdate::kCannotFollowText;
    post(std::move(state));
    return;
  }
  // Turned off while it started: off wins.
  if (!m_follow.load()) stopFollowing();
}

void ParseWorker::shutdown() {
  stopFollowing();
  m_stopParse.store(true);
  // Wakes the thread if it is parked; a wake-up is never lost (thread.h).
  requestStop();
  waitStopped(-1);
}

bool ParseWorker::queued() {
  m_waiting.folderCount = m_folderCount;
  m_waiting.fileCount = m_fileCount;
  if (m_notified) return false;
  m_notified = true;
  return true;
}

void ParseWorker::post(DelveUpdate update) {
  bool notify = false;
  // A change of state is shown at once rather than with the next batch: the end of a parse is
  // not held back by the batch interval.
  const bool now = update.kind == DelveUpdate::Kind::kState;
  {
    std::lock_guard<std::mutex> lock(m_updateMutex);
    std::vector<DelveUpdate>& updates = m_waiting.updates;
    update.seq = ++m_seq;
    // A scan starts a directory and files a folder and a run of rows for each: the stream keeps
    // one directory text and one chunk per batch rather than three updates per directory. Status
    // line 2 shows only the last directory of what the window applies in one go, and a new
    // folder is nowhere in the chunk before it, so neither move changes what the window shows.
    if (update.kind == DelveUpdate::Kind::kDirectory && m_directorySlot < updates.size() &&
        updates[m_directorySlot].generation == update.generation) {
      updates[m_directorySlot].text = std::move(update.text);
    } else if (update.kind == DelveUpdate::Kind::kFolder && !updates.empty() &&
               updates.back().kind == DelveUpdate::Kind::kRows &&
               updates.back().generation == update.generation) {
      updates.insert(updates.end() - 1, std::move(update));
    } else {
      if (update.kind == DelveUpdate::Kind::kDirectory) {
        m_directorySlot = updates.size();
      } else if (update.kind != DelveUpdate::Kind::kFolder) {
        m_directorySlot = kNoSlot;
      }
      updates.push_back(std::move(update));
    }
    notify = queued() || now;
  }
  if (notify && m_notify) m_notify(now);
}

void ParseWorker::postRow(std::uint64_t folderId, const DyxEntry& entry) {
  const bool whole = folderId == m_shownFolder;
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(m_updateMutex);
    std::vector<DelveUpdate>& updates = m_waiting.updates;
    if (updates.empty() || updates.back().kind != DelveUpdate::Kind::kRows ||
        updates.back().generation != m_generation || m_sealed || updates.back().rows->full()) {
      DelveUpdate update;
      update.kind = DelveUpdate::Kind::kRows;
      update.generation = m_generation;
      update.seq = ++m_seq;
      update.rows = std::make_shared<DelveRowChunk>();
      updates.push_back(std::move(update));
      m_sealed = false;
    }
    DelveRowChunk& chunk = *updates.back().rows;
    if (!whole) {
      if (!chunk.counts.empty() && chunk.counts.back().folderId == folderId) {
        ++chunk.counts.back().files;
      } else {
        chunk.counts.push_back({folderId, 1});
      }
    } else {
      const DyxFrontEnd::RowParts parts = DyxFrontEnd::listRowParts(entry);
      DelveRowChunk::Row row;
      row.folderId = folderId;
      row.size = parts.size;
      row.mtime = parts.mtime;
      const std::size_t headLength = parts.locationHead.size() + parts.separator.size();
      // Rows come a directory at a time: the head of the row before is most often this one's.
      const DelveRowChunk::Row* last = chunk.rows.empty() ? nullptr : &chunk.rows.back();
      if (last != nullptr && last->headLength == headLength &&
          chunk.text(last->headStart, last->headLength).starts_with(parts.locationHead) &&
          chunk.text(last->headStart, last->headLength).ends_with(parts.separator)) {
        row.headStart = last->headStart;
      } else {
        row.headStart = static_cast<std::uint32_t>(chunk.texts.size());
        chunk.texts.append(parts.locationHead);
        chunk.texts.append(parts.separator);
      }
      row.headLength = static_cast<std::uint32_t>(headLength);
      row.nameStart = static_cast<std::uint32_t>(chunk.texts.size());
      row.nameLength = static_cast<std::uint32_t>(parts.name.size());
      chunk.texts.append(parts.name);
      chunk.rows.push_back(row);
    }
    notify = queued();
  }
  if (notify && m_notify) m_notify(false);
}

bool ParseWorker::listFolder(std::uint64_t generation, std::uint64_t folderId, const RowSink& row,
                             std::uint64_t& seq) {
  // A display that has not applied the last clear asks for a folder that is gone: it need not
  // wait for the lock, which the pool's clear after it holds for a while.
  if (generation != m_publishedGeneration.load()) {
    std::lock_guard<std::mutex> updates(m_updateMutex);
    seq = m_seq;
    return false;
  }
  DyxEngineLock lock;
  {
    // Every row filed from here on is after the listing, in an update of its own.
    std::lock_guard<std::mutex> updates(m_updateMutex);
    seq = m_seq;
    m_sealed = true;
  }
  if (generation != m_generation || shownView() == nullptr) return false;
  const DyxViewFolder* folder = nullptr;
  if (folderId == DelveUpdate::kRootFolder) {
    // Only a user view places files at its top; any other view's root item lists nothing.
    if (m_viewRoot->getKind().value() == DyxViewKind::kUser) folder = m_viewRoot;
  } else {
    for (const auto& [item, id] : m_folderItems) {
      if (id == folderId) {
        folder = item;
        break;
      }
    }
  }
  m_shownFolder = folderId;
  if (folder == nullptr) return folderId == DelveUpdate::kRootFolder;
  std::vector<DyxEntry*> entries;
  folder->getEntries(entries);
  for (const DyxEntry* entry : entries) {
    if (entry != nullptr) row(DyxFrontEnd::listRowParts(*entry));
  }
  return true;
}

void ParseWorker::postProblems(bool scanFailed) {
  std::string firstUnreadable;
  for (const KxNotice& notice : KxNotices::take()) {
    DelveUpdate update;
    update.kind = DelveUpdate::Kind::kProblem;
    update.generation = m_generation;
    update.notice = notice.kind;
    update.folderId = notice.count;
    update.text = notice.text();
    if (firstUnreadable.empty() && notice.kind == KxNoticeKind::kUnreadable) {
      firstUnreadable = update.text;
    }
    post(std::move(update));
  }
  if (scanFailed && !firstUnreadable.empty()) {
    DelveUpdate status;
    status.kind = DelveUpdate::Kind::kDirectory;
    status.generation = m_generation;
    status.text = std::move(firstUnreadable);
    post(std::move(status));
  }
}

void ParseWorker::clearDisplay(DelveUpdate::Kind kind) {
  DyxEngineLock lock;
  m_viewRoot = nullptr;
  m_folderItems.clear();
  m_lastFiled = LastFiled();
  // The window selects the root item as it applies the clear.
  m_shownFolder = DelveUpdate::kRootFolder;
  m_folderCount = 0;
  m_fileCount = 0;
  DelveUpdate update;
  update.kind = kind;
  update.generation = ++m_generation;
  m_publishedGeneration.store(m_generation);
  post(std::move(update));
}

DyxView* ParseWorker::buildView(const std::string& tag) {
  m_switching = true;
  m_currentTag = tag;
  m_currentKind = DyxViewKind::kNone;
  DyxView* view = nullptr;
  try {
    view = DyxFrontEnd::selectView(tag);
    DyxEngineLock lock;
    m_viewRoot = view;
    m_viewRootTag = tag;
    if (view == nullptr) KX_POS(kxerr) << "No view for the tag: " << tag << endl;
  } catch (const DyxThreadExit&) {
    m_switching = false;
    throw;
  } catch (...) {
    KX_POS(kxerr) << "The view " << tag << " could not be built." << endl;
  }
  m_switching = false;
  if (view != nullptr) {
    DyxEngineLock lock;
    m_currentKind = view->getKind().value();
  }
  postFileView(view);
  return view;
}

void ParseWorker::postFileView(DyxView* view) {
  if (view == nullptr) return;
  DyxEngineLock lock;
  const DyxViewKind kind = view->getKind();
  if (!kind.isFileBacked()) return;
  const bool withEntries = kind.value() == DyxViewKind::kUser;
  std::vector<DyxEntry*> entries;
  for (DyxViewFolder* folder : DyxFrontEnd::foldersInOrder(*view)) {
    // entryFiled answers false once a stop is asked for: the rest is not shown.
    if (!entryFiled(folder, nullptr)) return;
    if (!withEntries) continue;
    folder->getEntries(entries);
    for (DyxEntry* entry : entries) {
      if (entry != nullptr && !entryFiled(folder, entry)) return;
    }
  }
  if (!withEntries) return;
  // The files the view places at its top are the root item's rows.
  view->getEntries(entries);
  for (DyxEntry* entry : entries) {
    bool restarted = false;
    if (isStopRequested(restarted) || restarted) return;
    if (entry == nullptr) continue;
    ++m_fileCount;
    postRow(DelveUpdate::kRootFolder, *entry);
  }
}

void ParseWorker::resolveCurrentView() {
  if (m_currentKind != DyxViewKind::kUser) return;
  clearDisplay();
  DyxView* view = buildView(m_currentTag);
  DyxFrontEnd::reportUnresolvedEntries(view);
}

void ParseWorker::run() {
  bool announceIdle = true;
  while (!DyxThread::isStopRequested()) {
    m_parsing.store(false);
    if (announceIdle) postParsing(false);
    // A request submitted while the last parse was ending has resumed nobody: take it now.
    if (!hasPendingRequest()) suspend();
    if (DyxThread::isStopRequested()) break;
    announceIdle = runRequest();
  }
  m_parsing.store(false);
}

bool ParseWorker::hasPendingRequest() const {
  std::lock_guard<std::mutex> lock(m_requestMutex);
  return m_pending != Pending::kNone;
}

std::string ParseWorker::viewSwitchServed() {
  m_viewOnly.store(false);
  std::lock_guard<std::mutex> lock(m_requestMutex);
  if (m_pending == Pending::kViewSwitch) m_pending = Pending::kNone;
  return m_requestTag;
}

bool ParseWorker::runRequest() {
  std::string dir;
  bool recursive = false;
  std::string tag;
  std::string criterion;
  bool viewOnly = false;
  bool restore = false;
  {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    if (m_pending == Pending::kNone) return false;
    viewOnly = m_pending == Pending::kViewSwitch;
    restore = m_pending == Pending::kRestore;
    m_pending = Pending::kNone;
    // The parse builds the latest tag anyway: a switch asked for before it started is served.
    if (!viewOnly) m_viewOnly.store(false);
    dir = m_dir;
    recursive = m_recursive;
    tag = m_requestTag;
    criterion = m_criterion;
  }
  m_stopParse.store(false);
  m_parsing.store(true);
  postParsing(true);

  if (!viewOnly) {
    // The pool is about to be cleared and filled anew: the next parse is followed afresh.
    m_followable.store(false);
    stopFollowing();
  }
  bool followable = false;
  for (;;) {
    // A view-only request is taken now, so a build that polls us never switches again inside
    // itself; a request arriving meanwhile is served by the next turn of this loop.
    // The tag is read with the request it serves: a switch that came since the request was
    // taken is served now rather than cleared unserved.
    if (viewOnly) tag = viewSwitchServed();
    // While changes are followed, nothing is filed between the clear and the new view: a change
    // filed into the old view would show folders that are about to go.
    std::optional<DyxEngineLock> switching;
    if (viewOnly) switching.emplace();
    clearDisplay();
    DelveUpdate emptyStatus;
    emptyStatus.kind = DelveUpdate::Kind::kDirectory;
    emptyStatus.generation = m_generation;
    post(std::move(emptyStatus));
    bool scanFailed = false;
    try {
      DyxView* view = nullptr;
      if (restore) {
        restore = false;
        viewOnly = true;  // what follows in this loop only switches views
        followable = runRestore(tag);
      } else if (!viewOnly) {
        DelveUpdate forget;
        forget.kind = DelveUpdate::Kind::kProblemsCleared;
        forget.generation = m_generation;
        post(std::move(forget));
        DyxFrontEnd::clearPool();
        view = buildView(tag);
      } else {
        view = buildView(tag);
      }
      switching.reset();
      if (!viewOnly && !dir.empty() && !m_stopParse.load()) {
        DyxParseResult result;
        m_inScan = true;
        DyxFrontEnd::scanDirectory(dir, recursive, criterion, result);
        m_inScan = false;
        scanFailed = !result.scanned;
        // Only a parse that ran to its end replaces the saved index, and only it is followed.
        followable = result.scanned && !m_stopParse.load() && !DyxThread::isStopRequested();
        if (followable) DyxSavedIndex::setComplete(true);
        for (const std::string& message : result.criterionMessages) {
          KX_POS(kxerr) << "Criterion '" << criterion << "': " << message << endl;
        }
        if (result.scanned && !m_stopParse.load()) resolveCurrentView();
      } else if (viewOnly && m_currentKind == DyxViewKind::kUser &&
                 DyxFrontEnd::reportUnresolvedEntries(view)) {
        postProblems(false);
      }
    } catch (const DyxThreadExit&) {
      m_inScan = false;
      throw;
    } catch (...) {
      m_inScan = false;
      KX_POS(kxerr) << "The parse of " << dir << " failed." << endl;
    }
    if (!viewOnly) postProblems(scanFailed);
    // A switch asked for after the scan's last poll, or while no scan ran, is served here.
    if (!m_viewOnly.load() || m_stopParse.load() || DyxThread::isStopRequested()) break;
    viewOnly = true;
    std::lock_guard<std::mutex> lock(m_requestMutex);
    tag = m_requestTag;
  }
  if (followable) {
    m_followable.store(true);
    // The parse is over once its last rows are posted: the window stops showing it as busy
    // before every folder is subscribed, which takes a while in a large tree, and a click on
    // Start meanwhile starts a parse. The idle state that follows this request repeats it and
    // changes nothing.
    m_parsing.store(false);
    postParsing(false);
    startFollowing(false);
    // Saved now as well as when the window closes: a window that is killed keeps the index of
    // its last parse, and closing does not wait for the save of a large one (a save that finds
    // the same content on disk writes nothing).
    if (!DyxSavedIndex::save()) postProblems(false);
  }
  return true;
}

void ParseWorker::postParsing(bool parsing) {
  DelveUpdate state;
  state.kind = DelveUpdate::Kind::kState;
  state.generation = m_generation;
  state.parsing = parsing;
  post(std::move(state));
}

bool ParseWorker::isStopRequested(bool& restarted) {
  restarted = false;
  // A followed change never restarts anything; it stops when following or the worker does.
  if (!onOwnThread()) return m_followStopping.load() > 0 || DyxThread::isStopRequested();
  if (m_viewOnly.load() && m_inScan && m_filingDepth == 0 && !m_switching) {
    const std::string tag = viewSwitchServed();
    restarted = true;
    clearDisplay();
    buildView(tag);
  }
  return m_stopParse.load() || DyxThread::isStopRequested();
}

bool ParseWorker::entryFiled(DyxViewFolder* folder, DyxEntry* entry) {
  if (!onOwnThread() || m_changing.entry != nullptr) return fileFollowed(folder, entry);
  DepthGuard depth(m_filingDepth);
  bool restarted = false;
  if (isStopRequested(restarted) || folder == nullptr || restarted) return false;

  // A scan files a directory's entries one after the other into the same folder.
  if (entry != nullptr && folder == m_lastFiled.folder) {
    ++m_fileCount;
    postRow(m_lastFiled.id, *entry);
    return true;
  }
  auto known = m_folderItems.find(folder);
  if (known == m_folderItems.end()) {
    std::int64_t parentId = DelveUpdate::kRootParent;
    const DyxViewFolder* parent = folder->getParent();
    if (parent != nullptr && !parent->getName().empty()) {
      auto it = m_folderItems.find(parent);
      if (it == m_folderItems.end() && entryFiled(folder->getParent(), nullptr)) {
        it = m_folderItems.find(parent);
      }
      parentId = it != m_folderItems.end() ? static_cast<std::int64_t>(it->second)
                                           : DelveUpdate::kTopLevelParent;
    }
    known = addFolderItem(folder, parentId);
  }
  if (entry == nullptr) return true;

  m_lastFiled = {folder, known->second};
  ++m_fileCount;
  // Values only: the list writes the size and time texts of the few rows it shows.
  postRow(known->second, *entry);
  return true;
}

void ParseWorker::directoryStarted(const std::string& path) {
  // Status line 2 tells of the parse, not of the directories a followed change reads.
  if (DyxThread::isStopRequested() || !onOwnThread()) return;
  DelveUpdate update;
  update.kind = DelveUpdate::Kind::kDirectory;
  update.generation = m_generation;
  update.text = path;
  post(std::move(update));
}

// ---------------------------------------------------------------------------------------------
// Followed changes (under the engine lock)

const DyxViewFolder* ParseWorker::shownView() const {
  // A preference change drops the views it changes; the worker hears of it only when the
  // window asks for the view again, so until then the pointer may name a view that is gone.
  if (m_viewRoot == nullptr || DyxFrontEnd::cachedView(m_viewRootTag) != m_viewRoot) {
    return nullptr;
  }
  return m_viewRoot;
}

bool ParseWorker::inCurrentView(const DyxViewFolder* folder) const {
  const DyxViewFolder* root = shownView();
  if (root == nullptr) return false;
  while (folder->getParent() != nullptr) folder = folder->getParent();
  return folder == root;
}

std::uint64_t ParseWorker::followedFolderItem(const DyxViewFolder* folder) {
  auto known = m_folderItems.find(folder);
  if (known != m_folderItems.end()) return known->second;
  std::int64_t parentId = DelveUpdate::kRootParent;
  const DyxViewFolder* parent = folder->getParent();
  if (parent != nullptr && !parent->getName().empty()) {
    parentId = static_cast<std::int64_t>(followedFolderItem(parent));
  }
  return addFolderItem(folder, parentId)->second;
}

std::unordered_map<const DyxViewFolder*, std::uint64_t>::iterator ParseWorker::addFolderItem(
    const DyxViewFolder* folder, std::int64_t parentId) {
  const std::uint64_t id = ++m_nextFolderId;
  auto added = m_folderItems.emplace(folder, id).first;
  ++m_folderCount;
  DelveUpdate update;
  update.kind = DelveUpdate::Kind::kFolder;
  update.generation = m_generation;
  update.folderId = id;
  update.parentId = parentId;
  update.text = folder->getName();
  post(std::move(update));
  return added;
}

bool ParseWorker::fileFollowed(DyxViewFolder* folder, DyxEntry* entry) {
  if (DyxThread::isStopRequested()) return false;
  // A folder of a view that is not (or not yet) the one shown: its rebuild shows the entry.
  if (folder == nullptr || !inCurrentView(folder)) return true;
  const std::uint64_t id = followedFolderItem(folder);
  if (entry == nullptr) return true;
  DelveUpdate update;
  update.generation = m_generation;
  update.folderId = id;
  update.row = DyxFrontEnd::listRowValues(*entry);
  update.kind = DelveUpdate::Kind::kRow;
  update.followed = true;
  if (m_changing.entry == entry) {
    auto before = m_changing.folders.find(id);
    if (before != m_changing.folders.end() && !before->second) {
      before->second = true;
      update.kind = DelveUpdate::Kind::kRowChanged;
    }
  }
  if (update.kind == DelveUpdate::Kind::kRow) ++m_fileCount;
  post(std::move(update));
  return true;
}

void ParseWorker::postRowRemoved(std::uint64_t folderId, const std::string& location) {
  if (m_fileCount.load() > 0) --m_fileCount;
  DelveUpdate update;
  update.kind = DelveUpdate::Kind::kRowRemoved;
  update.generation = m_generation;
  update.folderId = folderId;
  update.text = location;
  post(std::move(update));
}

void ParseWorker::followedChange(DyxEntry* entry, DyxViewNotifier& next) {
  std::vector<DyxViewFolder*> holders;
  DyxFrontEnd::foldersHolding(*entry, holders);
  m_changing = Changing();
  m_changing.entry = entry;
  for (DyxViewFolder* folder : holders) {
    auto item = m_folderItems.find(folder);
    if (item != m_folderItems.end()) m_changing.folders.emplace(item->second, false);
  }
  const std::string location = DyxFrontEnd::listRowValues(*entry).location;
  const std::uint64_t removals = DyxViewFolder::getRemovalCount();
  // The views move the entry and file it again, through entryFiled: its rows in the folders
  // that hold it still change in place, the others leave.
  next.entryChanged(entry, this);
  Changing done = std::move(m_changing);
  m_changing = Changing();
  for (const auto& [folderId, filedAgain] : done.folders) {
    if (!filedAgain) postRowRemoved(folderId, location);
  }
  if (DyxViewFolder::getRemovalCount() != removals) dropGoneFolders();
}

void ParseWorker::followedRemoval(DyxEntry* entry, DyxViewNotifier& next) {
  std::vector<DyxViewFolder*> holders;
  DyxFrontEnd::foldersHolding(*entry, holders);
  std::vector<std::uint64_t> items;
  for (DyxViewFolder* folder : holders) {
    auto item = m_folderItems.find(folder);
    if (item != m_folderItems.end()) items.push_back(item->second);
  }
  const std::string location =
      items.empty() ? std::string() : DyxFrontEnd::listRowValues(*entry).location;
  const std::uint64_t removals = DyxViewFolder::getRemovalCount();
  next.entryRemoved(entry);
  for (std::uint64_t folderId : items) postRowRemoved(folderId, location);
  if (DyxViewFolder::getRemovalCount() != removals) dropGoneFolders();
}

void ParseWorker::dropGoneFolders() {
  // A view dropped by a preference change is never read: its folders go with the rebuild.
  if (shownView() == nullptr) return;
  std::vector<DyxViewFolder*> live;
  m_viewRoot->getFolders(live, true, true);
  std::sort(live.begin(), live.end());
  for (auto it = m_folderItems.begin(); it != m_folderItems.end();) {
    if (it->first == m_viewRoot || std::binary_search(live.begin(), live.end(), it->first)) {
      ++it;
      continue;
    }
    if (m_folderCount.load() > 0) --m_folderCount;
    DelveUpdate update;
    update.kind = DelveUpdate::Kind::kFolderRemoved;
    update.generation = m_generation;
    update.folderId = it->second;
    post(std::move(update));
    if (m_lastFiled.folder == it->first) m_lastFiled = LastFiled();
    it = m_folderItems.erase(it);
  }
}
