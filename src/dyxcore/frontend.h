// DyxFrontEnd: what the desktop window and the command line share, so that both run the very
// same parse and show the very same texts. It holds no state of its own: it is the parse
// sequence (clear the pool, rebuild the view, hand the criterion to the pool's filter, scan the
// directory), the texts of a list row and of status line 1, the drive label of a tree item,
// the folder path from a view's root, and two small helpers a front end keeps per parse: the
// Find filter of the list (DyxFindFilter) and the folder and file totals (DyxFolderTally).
//
// A front end includes this header and nothing else of the engine: it brings the observer of
// scans (physdir.h), the engine lock (mutex.h), the views and folders (view.h), the start-up
// result (workdir.h), paths (path.h), the launch of programs (launch.h), the criterion's tree
// (filter.h) that the conditions dialog reads, the worker thread (thread.h), the counts of
// followed folders (watcher.h), and the saved index of the last parse (savedindex.h): every
// parse becomes the index's content, and startEngine does not load or scan a path map before
// the front end asks for its index.
//
// Ownership: nothing here owns engine objects. The DyxView pointers handed out belong to the
// view manager's cache and stay valid until the next view rebuild (selectView, runParse) or
// shutdown; folder and entry pointers likewise.
//
// Threads: the parse steps (clearPool, selectView, scanDirectory, runParse) take the engine
// lock step by step themselves and must be called WITHOUT holding it; the scan runs on the
// calling thread. Anything that walks a view's folders or reads entries afterwards must hold
// the engine lock (DyxEngineLock, mutex.h) while it does. The text helpers keep no state and
// may be called from any thread. DyxFindFilter and DyxFolderTally belong to one thread at a
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/filter.h"
#include "dyxcore/launch.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/physdir.h"
#include "dyxcore/portable.h"
#include "dyxcore/savedindex.h"
#include "dyxcore/thread.h"
#include "dyxcore/userconf.h"
#include "dyxcore/view.h"
#include "dyxcore/watcher.h"
#include "dyxcore/workdir.h"
#include "kxcore/notice.h"

class DyxEntry;

// One parse as the window submits it.
struct DyxParseRequest {
  std::string dir;                   // directory to scan; empty scans nothing
  bool recursive = false;            // sub-folders become directories of their own and are scanned
  std::string viewTag = "Location";  // view to rebuild (factory tag, or a view file of conf/views)
  std::string criterion;             // handed to the pool's filter before the scan
  bool viewOnly = false;             // switch the view only: no pool clear, no scan
};

// What a parse did.
struct DyxParseResult {
  // The rebuilt view, nullptr when the tag names no factory and no view file.
  DyxView* view = nullptr;
  // A scan was asked for (not view-only, directory not empty).
  bool scanRequested = false;
  // The directory was created in the pool and scanned. False after a scan request means that
  // the directory could not be listed (or the scan was abandoned by a clear meanwhile).
  bool scanned = false;
  // What the filter could not read in the criterion (DyxFilter::getMessages), and whether there
  // was anything: a criterion with messages does not mean what was written (a part that does
  // not parse keeps no file, or drops out of an "or").
  std::vector<std::string> criterionMessages;
  bool criterionRejected = false;
};

// One view a front end offers ("Sort by").
struct DyxViewChoice {
  std::string tag;   // a factory tag, or the name of a view file of conf/views without ".kx"
  DyxViewKind kind;  // P for the predefined views, U or F for a view file
};

// What a parse left out, counted from the notices taken for it (kxcore/notice.h): the front
// ends end status line 1 with it.
struct DyxLeftOut {
  std::uint64_t folders = 0;  // directories that could not be read (their files are missing)
  std::uint64_t files = 0;    // files left out
  std::uint64_t others = 0;   // any other problem (configuration, a damaged or unsaved file)
  void add(const KxNotice& notice);
  bool empty() const { return folders == 0 && files == 0 && others == 0; }
  // "3 folder(s) could not be read, 12 file(s) left out, 1 other problem(s)", naming only the
  // counts that are not 0; "" when nothing was left out.
  std::string text() const;
};

// The four column texts of a list row, plus the size as a number.
struct DyxListRow {
  std::string name;         // "Name": the entry's name, as the file system gave its bytes
  std::string sizeText;     // "Size": formatSize of the size ("1023 oct.", "1.5 Ko", "5120 Mo")
  std::string location;     // "Location": the full path of the file
  std::string modified;     // "Last Modification": the modification time text (property 6)
  std::uint64_t size = 0;   // the size in bytes
  std::int32_t mtime = -1;  // the modification time stamp (DyxTime's value)
};

class DyxFrontEnd {
 public:
  DyxFrontEnd() = delete;

  // The view tag a front end starts with.
  static constexpr const char* kDefaultViewTag = "Location";
  // The ten predefined view tags, in the order the engine registers their factories.
  static const std::vector<std::string>& predefinedViewTags();

  // The predefined views in their registration order, then every view file of conf/views whose
  // kind is U or F, by tag (byte-wise); a file whose name is not a valid view tag, or is a
  // predefined tag, is left out. With the engine started.
  static std::vector<DyxViewChoice> viewChoices();

  // Makes "trace" in the current directory when missing (the engine writes its trace and its
  // activity log there and does not create it), removes the temporary files of saves that a
  // killed program left, then starts the engine (Dyx::initialize) without resetting the pool to
  // the path map: the saved index is loaded when a front end asks for it (DyxSavedIndex). Then
  // it loads the property files (DyxUserConfig::loadPropertyFiles) and remembers the preference
  // file for later re-reads (DyxUserConfig::followPreferences).
  static void startEngine();
  // Saves the open index (DyxSavedIndex::close), then Dyx::shutdown: clears the pool and saves
  // the other repositories.
  static void stopEngine();
  // How a program that ends right after stops the engine. kSaveOnly does every save that
  // stopEngine does (the open index, then every other repository; a narrowed index is never
  // saved) and leaves the pool, the views and the repositories standing: the end of the process
  // gives their memory back at once, where freeing them piece by piece takes a good part of a
  // short run. Files the engine writes are complete once it returns (the logs are written line
  // by line). stopEngine may still follow it.
  enum class EngineEnd { kFreeAll, kSaveOnly };
  // stopEngine(kFreeAll) is stopEngine().
  static void stopEngine(EngineEnd end);
  // kSaveOnly in a release build with the trace off, kFreeAll otherwise: the trace must get the
  // shutdown's lines, and the builds that check for leaks must see everything freed.
  static EngineEnd endBeforeExit();
  // Flushes the standard streams and ends the process with `code` without running destructors
  // or exit handlers: for a program whose engine stopped with kSaveOnly.
  [[noreturn]] static void exitNow(int code);
  // The observer of every scan of the pool (nullptr: none). With the engine started.
  static void setScanObserver(DyxScanObserver* observer);
  // Unsets the observer when it is still `observer`, so that an object going away never leaves
  // itself behind; a no-op once the engine has shut down.
  static void clearScanObserver(const DyxScanObserver* observer);
  // Writes the engine's state to its dump file (Dyx::dump).
  static void dumpEngine();

  // Process start-up, first thing in main: standard descriptors 0-2 that are closed are opened
  // on the null device, so no file the program opens takes their place.
  static void openClosedStandardDescriptors();
  // Whether standard output was closed when the program started: what is written there then
  // reaches nobody.
  static bool standardOutputWasClosed();
  // The program's arguments after its name, as UTF-8 texts (on Windows from the wide command
  // line: the C run-time's argv cannot hold every name).
  static std::vector<std::string> programArguments(int argc, char** argv);
  // From now until the program ends, the console reads its output as UTF-8 and a line ends in
  // "\n" as written (Windows: the console's code page is set, and put back at exit; Linux: the
  // bytes already go out as they are). Before the first output.
  static void useUtf8Console();
  // Moves the process into its working directory (DyxWorkDir::enter).
  static DyxStartResult enterWorkDirectory();
  // A directory the user named, taken from where the user called the program.
  static std::string resolveUserPath(const std::string& path);
  // Whether a view file of that tag exists (it may still be unusable).
  static bool viewFileExists(const std::string& tag);

  // Parse steps, in the order runParse calls them.
  // Every directory and entry leaves the pool, the views and the repository.
  static void clearPool();
  // Empties the view cache and builds the view of `tag` afresh from the pool.
  static DyxView* selectView(const std::string& tag);
  // Makes the parse the saved index's new content (DyxSavedIndex::begin), hands `criterion` to
  // the pool's filter and adds `dir` with `recursive` and mod_map true; the scan runs here.
  // Fills the scan fields of `result`. The index is saved at stopEngine only when the caller
  // marks the scan complete (DyxSavedIndex::setComplete): a stopped parse keeps the index of
  // the last one that finished.
  static void scanDirectory(const std::string& dir, bool recursive, const std::string& criterion,
                            DyxParseResult& result);
  // A user view (kind U) finds the files its entry records name in the pool when it is built:
  // built before the scan, it holds none. After the scan, this builds the view of `tag` again
  // when `view` is a user view, and tells (reportUnresolvedEntries) what it still misses;
  // any other view is answered as it is. The view to show from now on.
  static DyxView* resolveAfterScan(const std::string& tag, DyxView* view);
  // For a user view: the entry records that name files the pool does not hold become one
  // "left out" notice (kxcore/notice.h) naming the view and the first such file. True when
  // there were any. Under no lock.
  static bool reportUnresolvedEntries(const DyxView* view);
  // The whole sequence: clearPool (unless view-only), selectView, then scanDirectory and
  // resolveAfterScan when not view-only and the directory is not empty; a view-only switch to
  // a user view reports what it misses.
  static DyxParseResult runParse(const DyxParseRequest& request);

  // Following changes after a parse (the window's "Follow changes"). The pool's watcher reads
  // each change as a parse would, on its own thread: the views hear of new, changed and removed
  // entries through the view notifier (physdir.h), and new files through the pool's observer.
  // `onCounts` hears, from the watcher's thread, how many folders are watched and how many
  // are polled because the system has no watch left. False when following cannot start. Both
  // WITHOUT the engine lock; a pool clear does not stop following, stopFollowingChanges does.
  // With `catchUp`, every folder is read again first (following was off for a while).
  static bool followChanges(std::function<void(const DyxWatchCounts&)> onCounts,
                            bool catchUp = false);
  static void stopFollowingChanges();
  // The folders of the cached views that hold the entry, in the order they were filed. Under
  // the engine lock.
  static void foldersHolding(const DyxEntry& entry, std::vector<DyxViewFolder*>& out);
  // The view of `tag` as the view cache holds it now, never built here: nullptr when none is
  // cached (a preference change drops the views it changes). Under the engine lock.
  static const DyxView* cachedView(const std::string& tag);
  // The preference "FollowChanges": on unless conf/pref.ini says "false". The setter stores it
  // there (false when the file cannot be written: the choice then lasts for this run only).
  static constexpr const char* kFollowChangesPreference = "FollowChanges";
  static bool followChangesPreferred();
  static bool preferFollowChanges(bool on);

  // The parser's messages for `criterion`, exactly those that scanDirectory would report, and,
  // once the property files are loaded, one message for each user property that no property
  // file defines; empty when it parses as written. Needs no running engine and changes nothing, so
  // a front end asks before it starts a scan. Any thread while the engine runs; before it starts,
  // the thread that will start it (the trace it sets up for the parser is closed again).
  static std::vector<std::string> checkCriterion(const std::string& criterion);

  // The row of one entry. Under the engine lock.
  static DyxListRow listRow(const DyxEntry& entry);
  // The values of the row only (name, location, size, time stamp), the size and time texts
  // left empty: a front end that shows few of many rows writes those texts when it shows them
  // (sizeText and modifiedText). Under the engine lock.
  static DyxListRow listRowValues(const DyxEntry& entry);
  // The same values without a copy of any text: `name` and `locationHead` view the
  // repository's texts (valid while the engine lock is held and the entry lives). The row's
  // location is `locationHead` + `separator` + `name`, where `separator` is "" or the system's
  // separator; an empty head means the location is the name alone. A front end that files
  // thousands of rows a second copies the texts once, into its own store. Under the engine lock.
  struct RowParts {
    std::string_view name;
    std::string_view locationHead;
    std::string_view separator;
    std::uint64_t size = 0;
    std::int32_t mtime = -1;
  };
  static RowParts listRowParts(const DyxEntry& entry);
  // The "Size" and "Last Modification" texts of a row's values, as listRow writes them. Any
  // thread.
  static std::string sizeText(const DyxListRow& row);
  static std::string modifiedText(const DyxListRow& row);

  // Status line 1: "Total: N folder(s), M file(s)".
  static std::string statusLine(unsigned folderCount, unsigned fileCount);
  // The same, followed by ". Selected folder: " + name + ": " + rows + " file(s)".
  static std::string statusLine(unsigned folderCount, unsigned fileCount,
                                const std::string& selectedName, std::size_t rowCount);

  // A status line 1 followed by ". " and what was left out, when anything was.
  static std::string withLeftOut(const std::string& statusLine, const DyxLeftOut& leftOut);

  // A drive name: exactly two bytes, "A" to "Z" then ":".
  static bool isDriveName(const std::string& folderName);
  // The tree label of a folder: "System (C:)" for a drive name, else the name itself.
  static std::string treeLabel(const std::string& folderName);

  // The parts from below the view's root down to `folder`, joined by "/" ("" for the root).
  // Under the engine lock.
  static std::string folderPath(const DyxViewFolder& folder);
  // Every folder of the view below its root: depth first, each folder before its sub-folders,
  // sub-folders by name. Under the engine lock.
  static std::vector<DyxViewFolder*> foldersInOrder(const DyxViewFolder& root);

  // The list's sort: a negative, zero or positive answer for two texts of column `column`.
  // Column 1 (Size) compares parseSize of the texts by the sign of their difference; every
  // other column compares the lower-cased texts.
  static int compareColumnTexts(int column, const std::string& a, const std::string& b);
};

// The Find box: names that contain the typed text. Both the typed text and the names are folded
// to lower case (ASCII) before matching, so "Hash" and "hash" find the same names.
class DyxFindFilter {
 public:
  // No filter: every name is accepted.
  DyxFindFilter() = default;
  explicit DyxFindFilter(const std::string& boxText) { setText(boxText); }

  // Empty text: no filter. Otherwise the wildcard pattern "*" + text + "*".
  void setText(const std::string& boxText);
  bool isActive() const { return m_active; }
  const std::string& text() const { return m_text; }

  bool acceptsName(std::string_view name) const;
  // Under the engine lock.
  bool accepts(const DyxEntry& entry) const;
  // The entries the folder holds directly, in the folder's order, that the filter accepts.
  // Under the engine lock.
  std::vector<DyxEntry*> rowsOf(const DyxViewFolder& folder) const;

 private:
  bool m_active = false;
  std::string m_text;
  DyxPattern m_pattern;
  // A text without wildcards or escapes means "the folded name contains it": matched by a
  // search that folds as it compares, with no copy of the name (the list refills per keystroke).
  bool m_plain = false;
  std::string m_folded;
};

// The totals of status line 1 as the window's tree counts them. A folder counts once, the first
// time an entry is filed into it or into one of its sub-folders; its parents are counted first
// (down from below the root; a folder whose parent has an empty name sits at the top). Every
// filing counts one file, so an entry placed in two folders counts twice.
class DyxFolderTally {
 public:
  // Records one filing into `folder` (nullptr is ignored); `withEntry` false records the folder
  // alone. The folders seen for the first time are appended to `added`, outermost first.
  void record(const DyxViewFolder* folder, bool withEntry,
              std::vector<const DyxViewFolder*>* added = nullptr);
  bool isKnown(const DyxViewFolder* folder) const;
  unsigned folderCount() const { return m_folderCount; }
  unsigned fileCount() const { return m_fileCount; }
  // Forgets every folder (call it whenever the view is rebuilt: folder addresses get reused).
  void clear();

 private:
  // The slot of `folder` in m_known: where it is, or the empty slot where it would go.
  std::size_t slotOf(const DyxViewFolder* folder) const;
  void insert(const DyxViewFolder* folder);

  // The known folders, by open addressing on the address (nullptr: a free slot; the size a
  // power of two, at most half full). A view of a large tree files tens of thousands of
  // folders, each looked up on its first filing with its parents: one probe of a flat table
  // each, where a node set missed the cache twice and allocated per folder.
  std::vector<const DyxViewFolder*> m_known;
  std::size_t m_knownCount = 0;
  const DyxViewFolder* m_last = nullptr;  // known: the folder of the latest filing
  unsigned m_folderCount = 0;
  unsigned m_fileCount = 0;
};
