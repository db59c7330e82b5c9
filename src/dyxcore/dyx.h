// Dyx: the one entry point of the engine. It is never instantiated: it is a set of process-wide
// operations that start the engine in a fixed order, hand out the shared managers, re-read the
// configuration, dump the engine state and shut everything down in a fixed order.
//
// Ownership: the facade owns the directory pool, the lazily created singletons (preferences,
// view manager, entry property store, launcher, type manager) and the sorters registered with
// it. Callers receive plain references, valid until the next `shutdown`.
//
// Threads: `initialize` and `shutdown` run on the front end's main thread, before any worker
// starts and after every worker has stopped. The accessors take no lock of their own; the
// engine relies on `initialize` creating the preferences and the view manager before a worker
// asks for them. Work on the pool or the views still needs the engine lock (mutex.h).
// Changing the preference "DynamicUpdate" starts or stops the pool's polling thread on the
// caller's thread, so change it WITHOUT holding the engine lock (the loop may be waiting for it).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class DyxPhysicalDirs;
class DyxEnviron;
class DyxViewManager;
class DyxEntryProperty;
class DyxLauncher;
class DyxTypeManager;
class DyxSorter;

class Dyx {
 public:
  Dyx() = delete;

  // Repositories hold at least this many slots; the preference "RepositoryCapacity" can raise it.
  static constexpr std::size_t kDefaultRepositoryCapacity = 200000;
  // A larger "RepositoryCapacity" (640 MB of slots) is taken for a typing error and capped.
  static constexpr std::size_t kMaxRepositoryCapacity = 20000000;

  // Start-up: trace, a clean slate, the pool, preferences and their listeners, trace settings,
  // configuration files, view factories, and finally the pool reset to the current path map.
  // Never fails because of configuration. With `resetPoolToPathMap` false the last step is left
  // out: the pool starts empty, without path map, and nothing is loaded or scanned (the front
  // ends open their saved index themselves, when they need it).
  static void initialize(bool resetPoolToPathMap = true);
  // Saves the entry repositories, then clears the pool and destroys every manager, the sorters
  // and the repositories. Also the first step of `initialize`.
  static void shutdown();
  // Resets the launcher from "conf/app.ini", then the type manager from "conf/type.ini".
  static void reread();
  // Writes the preferences, the pool and the view manager into "trace/dyxdump_.trc".
  static void dump();
  // Empty tag: forced recursive update of the whole pool. Otherwise the cached view of that tag
  // is deleted so that its next use builds it again.
  static void update(const std::string& viewTag);

  // The path map to load at start-up ("" for none).
  static std::string getCurrentPathMap();
  // Fills `names` with the short names of the "*.fpm" files of "conf", in name order.
  static void getAllPathMapFiles(std::vector<std::string>& names);

  // The pool; throws the integer 0 when there is none (before `initialize`, after `shutdown`).
  static DyxPhysicalDirs& getPhysicalDirs();
  // Each singleton is created on first use and destroyed by `shutdown`.
  static DyxEnviron& getEnviron();
  static DyxViewManager& getViewManager();
  static DyxEntryProperty& getPropertyManager();
  static DyxLauncher& getLauncher();
  static DyxTypeManager& getTypeManager();

  // Stores the sorter under the name, replacing (and destroying) an earlier one of that name.
  // A null sorter is refused with a message. Returns true when stored.
  static bool registerSorter(const std::string& name, std::unique_ptr<DyxSorter> sorter);
  // The sorter of that name, or nullptr.
  static DyxSorter* getSorter(const std::string& name);

  // Slot count for the entry repositories the engine creates, read from the preference
  // "RepositoryCapacity" at start-up (never below kDefaultRepositoryCapacity).
  static std::size_t repositoryCapacity();
  // The slot count that a "RepositoryCapacity" value asks for: its leading decimal number when
  // that is above the default (capped at kMaxRepositoryCapacity, which sets *capped), else the
  // default.
  static std::size_t repositoryCapacityFor(const std::string& value, bool* capped = nullptr);

  // Opens "trace/dyx.dbg" and the activity log "trace/dyx.log" once per process; later calls
  // do nothing until `closeTrace`.
  static void openTrace();
  static void closeTrace();
};
