// ParseWorker: the desktop window's parse thread. It runs the parse cycle (clear the pool,
// rebuild the view, scan the directory) and is the pool's scan observer, so the engine calls it
// back on this thread, under the engine lock, for every folder and file a view files. There it
// copies out what the window will show (folder identity, label and parent; a row's texts) and
// queues those values; the window takes them in batches (`takeUpdates`) when the worker's
// notifier tells it that updates are waiting. At most one notification is outstanding at a
// time, so a scan of any size never floods the window's event queue.
//
// Generations: every clear of the display starts a new generation; each update carries the
// generation it belongs to, and the window drops updates of an older generation. Folder ids are
// handed out by the worker and never reused, so the window never holds an engine pointer.
//
// Ownership: the window owns the worker; the worker owns nothing of the engine. Threads: the
// request operations (submitParse, submitViewSwitch, requestStopParse, setCriterion,
// takeUpdates, shutdown) are for the window's thread; the observer operations run on the worker.
#pragma once

#include <QtGlobal>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "dyxcore/frontend.h"
#include "kxcore/notice.h"

// One change of the display, as values.
struct DelveUpdate {
  enum class Kind {
    kClear,            // the tree loses every item below the root, the list every row
    kFolder,           // a tree item for `folderId` under `parentId`
    kRow,              // a file filed into `folderId`
    kDirectory,        // status line 2 shows `text`
    kState,            // parsing started (`parsing` true) or the worker went idle
    kProblemsCleared,  // a new parse starts: the problems of the last one are forgotten
    kProblem,          // what the parse could not do: `text` says it, `notice` is its kind and
                       // `folderId` its count (kxcore/notice.h)
    kRestored,         // the saved index is shown (`text` says which and when it was saved);
                       // its update pass starts next
    kRefresh,          // as kClear, but the folder selected before is selected again when it
                       // comes back
  };
  // The parent id of a folder shown directly under the root item, and of one placed at the top
  // level of the tree beside the root item (its parent could not be shown).
  static constexpr std::int64_t kRootParent = 0;
  static constexpr std::int64_t kTopLevelParent = -1;

  Kind kind = Kind::kClear;
  std::uint64_t generation = 0;
  std::uint64_t folderId = 0;
  std::int64_t parentId = kRootParent;
  std::string text;  // folder name (kFolder) or directory (kDirectory)
  bool parsing = false;
  KxNoticeKind notice = KxNoticeKind::kUnreadable;
  DyxListRow row;
};

// What the window takes in one go: the updates in order, and the totals after the last one.
struct DelveUpdateBatch {
  std::vector<DelveUpdate> updates;
  unsigned folderCount = 0;
  unsigned fileCount = 0;
};

class ParseWorker : public DyxThread, public DyxScanObserver {
 public:
  // `notify` is called (from the worker's thread) when updates start waiting; the window posts
  // itself a call to takeUpdates. Registers the worker as the pool's observer.
  explicit ParseWorker(std::function<void()> notify);
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
  bool isParsing() const { return m_parsing.load(); }

  // Hands over every waiting update; after this the next update notifies again.
  DelveUpdateBatch takeUpdates();

  // Stops the parse and the thread, and waits until the thread has ended, however long the
  // step it is in takes (the scan polls its stop flag between names). Then the worker may be
  // destroyed and the engine shut down.
  void shutdown();

  // DyxScanObserver.
  bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) override;
  bool isStopRequested(bool& restarted) override;
  void directoryStarted(const std::string& path) override;
  using DyxThread::isStopRequested;

 protected:
  void run() override;

 private:
  // Worker's thread: empties the display and starts a new generation.
  void clearDisplay();
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
  // Posts every notice recorded since the last take as a problem of the parse; a directory
  // that could not be scanned at all shows its notice on status line 2 as well.
  void postProblems(bool scanFailed);
  // Runs the pending request taken by the loop; false when there was none.
  bool runRequest();
  // The restore and update pass of submitRestore, for the view `tag`.
  void runRestore(const std::string& tag);
  // Waits (at most `ms`, and never past a stop) until the window has taken what was posted.
  void waitUntilTaken(int ms);
  // A view switch was served inside a parse: it is no longer pending.
  void viewSwitchServed();
  bool hasPendingRequest() const;

  std::function<void()> m_notify;

  // Flags shared with the window's thread.
  std::atomic<bool> m_stopParse{false};
  std::atomic<bool> m_viewOnly{false};
  std::atomic<bool> m_parsing{false};

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
  std::uint64_t m_generation = 0;
  std::uint64_t m_nextFolderId = 0;
  std::unordered_map<const DyxViewFolder*, std::uint64_t> m_folderItems;
  unsigned m_folderCount = 0;
  unsigned m_fileCount = 0;

  std::mutex m_updateMutex;         // guards the waiting updates and the notification flag
  std::condition_variable m_taken;  // the window took the waiting updates
  DelveUpdateBatch m_waiting;
  bool m_notified = false;
};
