// DyxSavedIndex: the front ends' saved index of their last parse. A parse (directory, recursive
// flag, criterion) becomes the content of one path map, whose repository holds its entries, so
// that they survive a quit: the current path map when one is configured, else the front ends'
// own "lastparse". Beside the repository's pair "<name>.txt" / "<name>.data" (whose format is
// the repository's own) the index keeps "<name>.index": the parse's directory, flag and
// criterion, when it was saved, and the status-change time that each directory had when it was
// last read. A restore takes the entries back without reading the tree; the update pass then
// reads only the directories whose time moved since.
//
// Index file, one field per line, texts with "\" "\n" "\r" escaped as \\ \n \r:
//   quarry-index 1
//   dir <path>
//   recursive 0|1
//   criterion <text>
//   saved <seconds since 1970>
//   pair <size of .txt> <write time of .txt> <size of .data> <write time of .data>
//   stamp <status-change file time> <recursive 0|1> <directory path>     (one per directory)
// The "pair" line ties the stamps to the repository files written by the same save: when those
// files are not the ones the save wrote (a save killed in between, another program's save),
// no stamp is trusted and the first update pass reads every directory.
//
// This is the front ends' own work over the engine: the engine's start-up reset to the path map
// (Dyx::initialize) is left out by the front ends, which open the index when they need it.
//
// Ownership: the index state is process-wide; the pool and the repositories stay the engine's.
// Threads: every operation takes the engine lock step by step itself and must be called
// WITHOUT holding it (restore, update and save work on the pool); one front-end thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class DyxScanObserver;

// What an index file says.
struct DyxIndexInfo {
  std::string name;          // the path map and repository key
  bool found = false;        // an index (or an older saved repository of a path map) was found
  std::string dir;           // the directory of the parse
  bool recursive = false;    // its sub-folders too
  std::string criterion;     // the criterion the parse kept files by
  std::int64_t savedAt = 0;  // seconds since 1970 of the save, 0 when unknown
};

// How a restore narrows what it shows. A narrowed restore answers only: it is never saved.
struct DyxRestoreOptions {
  std::string criterion;    // only the entries that this criterion accepts ("": all)
  std::string below;        // only the directories at or below this one ("": all)
  bool answerOnly = false;  // never saved, even when nothing is narrowed
  // The views of the view manager file each restored entry as it comes, as they do a scan's:
  // a view selected before the restore then needs no rebuild from the pool after it.
  bool intoViews = false;
  // With intoViews: the entries go to the views alone, and the pool gets none of the index's
  // directories. For an answer that reads nothing but the views it has chosen (a user view, an
  // update pass or a dump of the pool would find the pool empty).
  bool viewsOnly = false;
};

// What an update pass did.
struct DyxIndexUpdate {
  std::size_t directoriesRead = 0;  // directories whose time had moved, read again
  std::size_t directoriesGone = 0;  // directories no longer there, with their entries
  bool changed = false;             // any entry came, went or changed
  bool stopped = false;             // the observer asked the pass to stop
};

class DyxSavedIndex {
 public:
  DyxSavedIndex() = delete;

  // The index name when no path map is configured.
  static constexpr const char* kDefaultName = "lastparse";

  // The current path map (CurrentPathMap naming a path map file of conf/), else kDefaultName.
  static std::string currentName();
  static std::string indexFileOf(const std::string& name) { return name + ".index"; }
  // Reads the index of `name` without loading its repository. A path map of one directory
  // whose repository files exist but which has no index file (saved before there were index
  // files) is taken as an index with no criterion.
  static DyxIndexInfo read(const std::string& name);

  // A fresh parse starts: the cleared pool gets the path map of `name` holding `dir` alone, and
  // the repository of that name forgets its old content. The caller then scans `dir`.
  static void begin(const std::string& name, const std::string& dir, bool recursive,
                    const std::string& criterion);
  // Clears the pool and fills it from the saved repository without reading the tree. False,
  // with `problem` set, when nothing could be loaded.
  static bool restore(const DyxIndexInfo& info, const DyxRestoreOptions& options,
                      std::string* problem = nullptr);
  // The polling pass: every directory of the pool whose status-change time moved is read again
  // with the index's criterion (new sub-directories of a recursive parse join, entries that the
  // criterion no longer accepts leave); a directory that is gone leaves with its entries. The
  // observer (may be null) is polled between directories and given to the scans.
  static DyxIndexUpdate update(DyxScanObserver* observer);
  // Saves the repository, the index file and (for a configured path map that changed) the path
  // map. Nothing for a closed or narrowed index. False when a file could not be written (the
  // user was told through a notice).
  static bool save();
  // Saves (when `keep`), then empties the pool and drops the repository so that the engine's
  // shutdown does not save it a second time. Closed afterwards.
  static bool close(bool keep);
  static bool isOpen();
  // Whether what the pool holds is a whole parse: a parse whose scan was stopped, or an update
  // pass that was, is not saved (the files keep the last whole one). False after `begin`, true
  // after `restore`.
  static void setComplete(bool complete);
  // The index the pool holds (found false when none).
  static DyxIndexInfo openInfo();

  // Removes the temporary files of saves that were killed part-way ("<name>.txt.tmp<PID>",
  // ".data", ".index" in the current directory, ".fpm" in conf/) whose process is not running
  // in this directory any more. Answers the names removed.
  static std::vector<std::string> removeStaleTemporaries();

  // "2026-12-07 16:40 UTC"; "" for 0.
  static std::string timeText(std::int64_t unixSeconds);
};
