// ParseWorker: the desktop window's parse thread. It runs the parse cycle (clear the pool,
// rebuild the view, scan the directory) and is the pool's scan observer, so the engine calls it
// back on this thread, under the engine lock, for every folder and file a view files. There it
// copies out what the window will show (folder identity, label and parent; the texts of a row
// of the folder the list shows, a count for any other) and queues those values; the window takes
// them in batches (`takeUpdates`) when the worker's notifier tells it that updates are waiting,
// and reads a folder's rows from the engine when the user selects it (`listFolder`). At most one
// notification is outstanding at a time, so a scan of any size never floods the window's event
// queue.
//
// Following changes: after a parse the worker has the pool follow its directories (the window's
// "Follow changes"). The watcher's thread reports new, changed and removed entries through a
// view notifier that the worker puts in front of the engine's: under the engine lock the worker
// turns them into row and folder updates of the current view (a file filed, a row whose values
// changed, a row gone, a folder the view dropped), posted like the parse's own, so the window
// changes only what changed. Observer calls that come from a thread other than the worker's are
// such changes, never parse steps.
//
// Generations: every clear of the display starts a new generation; each update carries the
// generation it belongs to, and the window drops updates of an older generation. Folder ids are
// handed out by the worker and never reused, so the window never holds an engine pointer.
//
// Ownership: the window owns the worker; the worker owns nothing of the engine. Threads: the
// request operations (submitParse, submitViewSwitch, requestStopParse, setCriterion,
// setFollowChanges, takeUpdates, listFolder, shutdown) are for the window's thread; the observer
// operations run on the worker or, for followed changes, on the watcher's thread, always under the
// engine lock; the state they share (the folder items, the counts of the display, the generation,
// the view shown and the folder listed) is changed only under the engine lock.
#pragma once

#include <QtGlobal>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dyxcore/frontend.h"
#include "kxcore/notice.h"

// The rows a parse files, in bulk: one update carries thousands of them, so the parse costs
// neither thread an allocation per row and the window's queue no record per row. Only the rows
// of the folder the list shows are copied out whole, with their texts end to end in one buffer;
// every other folder's are counted, a run of rows of one folder as one count, and the window
// reads them from the engine when the user selects their folder (ParseWorker::listFolder).
struct DelveRowChunk {
  struct Row {
    std::uint64_t folderId = 0;
    std::uint64_t size = 0;
    std::uint32_t nameStart = 0;
    std::uint32_t nameLength = 0;
    // The location without the name (the directory and its separator), shared by the rows of one
    // directory; empty when the location is the name alone.
    std::uint32_t headStart = 0;
    std::uint32_t headLength = 0;
    std::int32_t mtime = -1;
  };
  struct Count {
    std::uint64_t folderId = 0;
    std::uint32_t files = 0;
  };
  // Rows and counts a chunk holds at most.
  static constexpr std::size_t kRows = 2048;
  std::string texts;
  std::vector<Row> rows;
  std::vector<Count> counts;
  std::size_t applied = 0;     // the rows the window has taken in so far
  bool countsApplied = false;  // the window has taken in the counts

  bool full() const { return rows.size() + counts.size() >= kRows; }

  std::string_view text(std::uint32_t start, std::uint32_t length) const {
    return std::string_view(texts).substr(start, length);
  }
};

// One change of the display, as values.
struct DelveUpdate {
  enum class Kind {
    kClear,            // the tree loses every item below the root, the list every row
    kFolder,           // a tree item for `folderId` under `parentId`
    kRow,              // a file filed into `folderId`
    kRows,             // the files of `rows`, each filed into its folder
    kDirectory,        // status line 2 shows `text`
    kState,            // parsing started (`parsing` true) or the worker went idle
    kProblemsCleared,  // a new parse starts: the problems of the last one are forgotten
    kProblem,          // what the parse could not do: `text` says it, `notice` is its kind and
                       // `folderId` its count (kxcore/notice.h)
    kRestored,         // the saved index is shown (`text` says which and when it was saved);
                       // its update pass starts next
    kRefresh,          // as kClear, but the folder selected before is selected again when it
                       // comes back
    kRowChanged,       // the row of `folderId` at `row.location` has the values of `row`
    kRowRemoved,       // the row of `folderId` at the location `text` leaves
    kFolderRemoved,    // the tree item `folderId` leaves with everything below it
    kFollowState,      // `counts`: how many folders are watched and polled; `text`, when not
                       // empty, says that changes cannot be followed at all
  };
  // The parent id of a folder shown directly under the root item, and of one placed at the top
  // level of the tree beside the root item (its parent could not be shown).
  static constexpr std::int64_t kRootParent = 0;
  // The `folderId` of a row filed at the view's root (a user view's file placed at its top):
  // the root item's own rows.
  static constexpr std::uint64_t kRootFolder = 0;
  static constexpr std::int64_t kTopLevelParent = -1;
  // The text of a kFollowState whose watcher cannot start; status line 1 ends with it.
  static constexpr const char* kCannotFollowText = "Changes cannot be followed";

  Kind kind = Kind::kClear;
  std::uint64_t generation = 0;
  // The update's place in the worker's stream, from 1 (0: not numbered): the window tells by it
  // which changes a folder listing read from the engine already holds.
  std::uint64_t seq = 0;
  std::uint64_t folderId = 0;
  std::int64_t parentId = kRootParent;
  std::string text;  // folder name (kFolder) or directory (kDirectory)
  bool parsing = false;
  KxNoticeKind notice = KxNoticeKind::kUnreadable;
  DyxListRow row;
  std::shared_ptr<DelveRowChunk> rows;
  DyxWatchCounts counts;
  bool followed = false;  // kRow of a followed change, not of a parse or a view build
};

// What the window takes in one go: the updates in order, and the totals after the last one.
struct DelveUpdateBatch {
  std::vector<DelveUpdate> updates;
  unsigned folderCount = 0;
  unsigned fileCount = 0;
};

class ParseWorker : public DyxThread, public DyxScanObserver {
 public:
  // `notify` is called (from the worker's thread) when updates start waiting, with `now` when
  // they are to be taken without waiting for the next batch (a parse started or ended); the
  // window posts itself a call to takeUpdates. Registers the worker as the pool's observer.
  explicit ParseWorker(std::function<void(bool now)> notify);
  ~ParseWorker() override;

  // A new parse of `dir` into the view `tag`; resumes the worker.
  void submitParse(const std::string& dir, bool recursive, const std::string& tag);
  // Switches to the view `tag` without scanning. A running parse is not stopped: its scan goes
  // on filling the new view.
  void submitViewSwitch(const std::string& tag);
  // Shows the saved index of the last parse without reading the tree, then brings it up to
  // date with a polling pass and shows the result, in the view `tag`.
  void submitRestore(const std::string& tag);
  // The running parse stops at its next poll.
  void requestStopParse() { m_stopParse.store(true); }
  void setCriterion(const std::string& criterion);
  std::string criterion() const;
  // Follows changes after every parse (on), or stops following now (off). Turned on while idle
  // after a parse, following starts at once.
  void setFollowChanges(bool on);
  bool followsChanges() const { return m_follow.load(); }
  bool isParsing() const { return m_parsing.load(); }

  // Hands over every waiting update; after this the next update notifies again.
  DelveUpdateBatch takeUpdates();

  // For the window's thread: hands `row` the rows of tree item `folderId` (DelveUpdate's ids) of
  // `generation` as the engine holds them now, and from then on posts the rows filed into that
  // folder whole, every other folder's only counted. `seq` becomes the number of the last
  // update posted before the listing: the updates up to it are in the listing already. False,
  // with nothing listed, when the item is not one of `generation` (the window has not yet
  // applied a clear) or its view has gone. Takes the engine lock, so the listing waits for the
  // step the scan is in; the texts `row` sees are valid during the call only.
  using RowSink = std::function<void(const DyxFrontEnd::RowParts&)>;
  bool listFolder(std::uint64_t generation, std::uint64_t folderId, const RowSink& row,
                  std::uint64_t& seq);

  // Stops the parse and the thread, and waits until the thread has ended, however long the
  // step it is in takes (the scan polls its stop flag between names). Then the worker may be
  // destroyed and the engine shut down.
  void shutdown();

  // DyxScanObserver.
  bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) override;
  bool isStopRequested(bool& restarted) override;
  void directoryStarted(const std::string& path) override;
  using DyxThread::isStopRequested;

  // For the view notifier the worker installs; under the engine lock, on any thread. The entry
  // changed, or is about to leave: `next` is the engine's notifier, which the worker calls
  // itself so that it knows the folders before and after.
  void followedChange(DyxEntry* entry, DyxViewNotifier& next);
  void followedRemoval(DyxEntry* entry, DyxViewNotifier& next);

 protected:
  void run() override;

 private:
  // Worker's thread: empties the display and starts a new generation. kRefresh keeps the
  // selected folder selected when it comes back (an update pass), kClear does not.
  void clearDisplay(DelveUpdate::Kind kind = DelveUpdate::Kind::kClear);
  // Builds the view of `tag` afresh; the view built (nullptr: none) becomes the current one.
  DyxView* buildView(const std::string& tag);
  // Shows what a view file's view holds that no filing announced: every folder of a user or
  // filter view (empty ones too) and the entries of a user view (built from its file, it files
  // nothing through the observer). Nothing for a predefined view.
  void postFileView(DyxView* view);
  // After a scan: a user view is built again, now that the scan has made the files of its
  // entry records, and shown afresh.
  void resolveCurrentView();
  void post(DelveUpdate update);
  // Tells the window whether a request is under way (its busy state).
  void postParsing(bool parsing);
  // Queues the row of `entry` in `folderId` as part of the last update when that one is a chunk
  // of rows of the current generation with room left. Under the engine lock.
  void postRow(std::uint64_t folderId, const DyxEntry& entry);
  // Counts and notification after an update is queued; with m_updateMutex held. True when the
  // window must be told.
  bool queued();
  // Posts every notice recorded since the last take as a problem of the parse; a directory
  // that could not be scanned at all shows its notice on status line 2 as well.
  void postProblems(bool scanFailed);
  // Runs the pending request taken by the loop; false when there was none.
  bool runRequest();
  // The restore and update pass of submitRestore, for the view `tag`. True when the index was
  // restored and brought up to date (it may then be followed).
  bool runRestore(const std::string& tag);
  // Waits (at most `ms`, and never past a stop) until the window has taken what was posted.
  void waitUntilTaken(int ms);
  // A view switch is being served: it is no longer pending. Answers the tag to build, read
  // together with the request it clears.
  std::string viewSwitchServed();
  bool hasPendingRequest() const;
  bool onOwnThread() const { return dyxthreads::self() == getKey(); }
  // The pool follows its directories, unless following is off or there is nothing to follow.
  void startFollowing(bool catchUp);
  // Stops following; a scan it runs on the worker's behalf stops at its next step.
  void stopFollowing();
  // Under the engine lock: a followed change files `entry` (or only `folder`) in the display.
  bool fileFollowed(DyxViewFolder* folder, DyxEntry* entry);
  // Under the engine lock: the tree item of a folder of the current view, made when new.
  std::uint64_t followedFolderItem(const DyxViewFolder* folder);
  // A tree item for `folder` under `parentId`: recorded, counted and posted. Under the engine lock.
  std::unordered_map<const DyxViewFolder*, std::uint64_t>::iterator addFolderItem(
      const DyxViewFolder* folder, std::int64_t parentId);
  // The view being shown, or nullptr when there is none or the view cache no longer holds it.
  // Under the engine lock.
  const DyxViewFolder* shownView() const;
  bool inCurrentView(const DyxViewFolder* folder) const;
  // Under the engine lock, after the view dropped folders: their tree items go.
  void dropGoneFolders();
  void postRowRemoved(std::uint64_t folderId, const std::string& location);

  std::function<void(bool now)> m_notify;

  // Flags shared with the window's thread.
  std::atomic<bool> m_stopParse{false};
  std::atomic<bool> m_viewOnly{false};
  std::atomic<bool> m_parsing{false};
  std::atomic<bool> m_follow{false};
  // The pool holds what the last parse scanned whole: there is something to follow.
  std::atomic<bool> m_followable{false};
  std::atomic<int> m_followStopping{0};  // threads stopping the watcher right now

  // What the next wake-up of the worker is for. A wake-up without a request (the resume of a
  // request that a running parse already served) sends the worker back to sleep.
  enum class Pending { kNone, kParse, kViewSwitch, kRestore };

  mutable std::mutex m_requestMutex;  // guards the request below
  Pending m_pending = Pending::kNone;
  std::string m_dir;
  bool m_recursive = false;
  std::string m_requestTag = DyxFrontEnd::kDefaultViewTag;
  std::string m_criterion;

  // The worker's own state.
  bool m_inScan = false;     // inside the scan of a parse: a view switch may happen at a poll
  std::string m_currentTag;  // the view last built
  // Its kind: the view itself may be destroyed under the worker (a preference listener deletes
  // the extension and name views), so no pointer to it is kept.
  int m_currentKind = DyxViewKind::kNone;
  bool m_switching = false;  // a view is being rebuilt: no nested switch
  int m_filingDepth = 0;     // inside entryFiled: the filing view must not be destroyed
  // Under the engine lock (read without it on the worker's thread, which alone writes them).
  std::uint64_t m_generation = 0;
  std::atomic<std::uint64_t> m_publishedGeneration{0};  // m_generation, for a read without lock
  std::uint64_t m_nextFolderId = 0;
  std::unordered_map<const DyxViewFolder*, std::uint64_t> m_folderItems;
  // The item the worker last filed a row into (an entry of m_folderItems).
  struct LastFiled {
    const DyxViewFolder* folder = nullptr;
    std::uint64_t id = 0;
  } m_lastFiled;
  const DyxView* m_viewRoot = nullptr;  // the view being shown; none while it is rebuilt
  std::string m_viewRootTag;            // its tag in the view cache
  // The tree item whose rows the window lists: its rows are posted whole. Under the engine lock.
  std::uint64_t m_shownFolder = DelveUpdate::kRootFolder;
  // A followed change being filed again: its rows in these folders change rather than add.
  struct Changing {
    const DyxEntry* entry = nullptr;
    std::unordered_map<std::uint64_t, bool> folders;  // tree item -> filed again
  } m_changing;
  // Read by post() on any thread.
  std::atomic<unsigned> m_folderCount{0};
  std::atomic<unsigned> m_fileCount{0};

  std::mutex m_updateMutex;         // guards the waiting updates and the notification flag
  std::condition_variable m_taken;  // the window took the waiting updates
  DelveUpdateBatch m_waiting;
  bool m_notified = false;
  std::uint64_t m_seq = 0;  // the number of the last update posted
  // The waiting kDirectory a new directory text may replace (kNoSlot: none): only folders and
  // rows came after it.
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  std::size_t m_directorySlot = kNoSlot;
  bool m_sealed = false;  // rows filed from now on start a chunk of their own
};
