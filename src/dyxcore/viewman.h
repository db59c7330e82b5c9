// DyxViewManager: the process-wide registry of views. It owns the factories of the predefined
// views, makes any view on demand from its tag (a factory tag, or a view file "<tag>.kx" in the
// views directory), keeps the live views in a cache, passes every new, changed and vanished entry
// of the pool on to the cached views, and keeps the entry-to-folder index (DyxViewManagerImpl).
//
// Ownership: the manager owns its factories, the cached views and the index. The engine facade
// owns the manager (Dyx::getViewManager) and destroys it at shutdown. Folders and views reach the
// index through the facade's manager. Pointers handed out (views, folders) stay valid until the
// view leaves the cache (deleteView, clearViewCache, destruction).
//
// Threads: the public operations of DyxViewManager take the engine lock (DyxEngineLock, a
// recursive lock) themselves; a caller that goes on using a view or folder it obtained must hold
// the engine lock for as long as it does. DyxViewManagerImpl takes no lock: it is reached only
// from folder operations, which run under the engine lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "dyxcore/context.h"
#include "dyxcore/view.h"

class DyxEntry;
class DyxPath;
class DyxPhysicalDirs;
class DyxScanObserver;
class DyxViewFolder;

// Maps every entry to the folders that hold it, one element per reference, in recording order.
// An entry of a repository is found by its slot number in that repository: one word per slot,
// in pages allocated on first use, so a scan (which fills slots in order) walks the index in
// order and the index costs about one word per entry. A word holds nothing (never known), a
// mark "known, no folder", the one folder, or (tagged) a small array of two or more folders.
// Entries outside any repository's slots (detached ones) use a hashed side table with the same
// words. An entry whose last reference is forgotten stays known until the index is cleared:
// the index has known it, so removing it from all folders later is not reported as unknown.
class DyxViewManagerImpl {
 public:
  DyxViewManagerImpl() = default;
  ~DyxViewManagerImpl();
  DyxViewManagerImpl(const DyxViewManagerImpl&) = delete;
  DyxViewManagerImpl& operator=(const DyxViewManagerImpl&) = delete;

  void recordFolder(const DyxEntry* entry, DyxViewFolder* folder);
  // Removes the first occurrence of the folder under the entry; "Not in." when absent.
  void forgetFolder(const DyxEntry* entry, DyxViewFolder* folder);
  // Removes the entry from every folder that holds it.
  void removeFromAllFolders(DyxEntry* entry);
  // Fills `folders` (emptied first) with the folders recorded for the entry, in order.
  void getFolders(const DyxEntry* entry, std::vector<DyxViewFolder*>& folders) const;
  std::size_t referenceCount(const DyxEntry* entry) const;
  // Entries with at least one reference.
  std::size_t entryCount() const { return m_live; }
  void clear();
  // Heap bytes held by the index (for the benchmark and the memory bound).
  std::size_t memoryBytes() const;

 private:
  using Word = std::uintptr_t;
  static constexpr std::size_t kPageBits = 12;  // 4096 words (32 KiB) per page

  // One block of slots of a repository (a repository that grows has several) as it was when
  // first seen. The text generation changes with every repository object and every load, so a
  // repository re-created at the same address (or reloaded, which moves its slots) never
  // inherits the words of its predecessor.
  struct Dense {
    const void* repository = nullptr;
    std::uint32_t generation = 0;
    std::uintptr_t begin = 0;  // address of the block's first slot
    std::size_t slots = 0;
    std::vector<std::unique_ptr<Word[]>> pages;
  };

  // The word of the entry; nullptr when it has none and `create` is false.
  Word* wordOf(const DyxEntry* entry, bool create);
  const Word* findWord(const DyxEntry* entry) const;
  // The dense table and slot of an entry, or nullptr (detached entry, or a repository not yet
  // seen when `create` is false).
  Dense* denseOf(const DyxEntry* entry, bool create, std::size_t& slot) const;
  static std::size_t countOf(Word word);
  static DyxViewFolder* folderAt(Word word, std::size_t i);
  void freeWord(Word word);

  mutable std::vector<std::unique_ptr<Dense>> m_dense;
  mutable Dense* m_last = nullptr;  // the table of the latest look-up
  std::unordered_map<const DyxEntry*, Word> m_detached;
  std::size_t m_live = 0;        // entries with at least one folder
  std::size_t m_arrayBytes = 0;  // heap bytes of the folder arrays
};

class DyxViewManager final : public DyxFolderRecorder {
 public:
  DyxViewManager();
  // Clears the view cache, then destroys the factories and the index.
  ~DyxViewManager();
  DyxViewManager(const DyxViewManager&) = delete;
  DyxViewManager& operator=(const DyxViewManager&) = delete;

  // Takes ownership of the factory unless the tag is empty or taken (the old factory stays).
  bool registerFactory(const std::string& tag, std::unique_ptr<DyxViewFactory> factory);
  // The cached view of the tag, else a new one: predefined (no `create`, kind P, or a factory
  // tag) or read from the view file (kind U or F; kind 0 reads the kind from the file).
  DyxView* createView(const std::string& tag, bool create, bool update, DyxViewKind kind,
                      DyxPhysicalDirs* pool);
  // The normal way to obtain a view: cached, else created when its kind is known. The pool is
  // the facade's (none before the engine starts).
  DyxView* get(const std::string& tag, bool update);
  // P for a factory tag, the kind of the cached view, else the kind letter of the view file.
  DyxViewKind getViewKind(const std::string& tag);
  // Destroys the cached view (a modified view is not saved); "Not in." when none is cached.
  void deleteView(const std::string& tag);
  // Destroys every cached view and empties the index. Nothing is saved.
  void clearViewCache();
  // The entry leaves every folder of every view; with `cleanup`, predefined views then lose
  // their empty folders (user and filter views keep theirs).
  void removeFromAllView(DyxEntry* entry, bool cleanup);
  // Every entry leaves every cached view at once, with the end state of removeFromAllView
  // (cleanup true) for each of them: predefined views lose all their folders, user and filter
  // views keep theirs. For a clear of the whole pool, before it frees the slots.
  void removeAllEntriesFromAllViews();
  // mapEntry on each cached view in tag order, until one answers false.
  void addEntryToAllViews(DyxEntry* entry, DyxScanObserver* observer);
  // mapEntries on each cached view in tag order, until one answers false.
  void addEntriesToAllViews(std::span<DyxEntry* const> entries, DyxScanObserver* observer);
  // remapEntry on each cached view in tag order.
  void remapEntryInAllViews(DyxEntry* entry, DyxScanObserver* observer);
  void dump(std::ostream& out);

  // The tags of the view files ("*.kx") of the views directory.
  void getViewKindList(std::vector<std::string>& tags, bool append);
  // The tags of the cached file-backed views that are modified.
  void getModifiedViews(std::vector<std::string>& tags, bool append);
  // A folder of a cached or predefined view; the view itself for an empty path.
  DyxViewFolder* getViewFolder(const std::string& tag, const DyxPath& path);

  // The cached view of the tag, or nullptr. Never creates one. Call under the engine lock.
  DyxView* getCached(const std::string& tag) const;
  std::size_t getCachedViewCount() const { return m_views.size(); }
  bool hasFactory(const std::string& tag) const { return m_factories.count(tag) != 0; }

  void recordFolder(const DyxEntry* entry, DyxViewFolder* folder) override;
  void forgetFolder(const DyxEntry* entry, DyxViewFolder* folder) override;
  // The manager that folders report to: the most recently constructed one still alive (it stays
  // current until the end of its destructor), or nullptr. Normally the facade's; a second
  // manager (tests) must be destroyed before the one made before it.
  static DyxViewManager* current();
  DyxViewManagerImpl& getIndex() { return *m_folderIndex; }
  const DyxViewManagerImpl& getIndex() const { return *m_folderIndex; }

 private:
  std::map<std::string, std::unique_ptr<DyxView>, std::less<>> m_views;
  std::map<std::string, std::unique_ptr<DyxViewFactory>, std::less<>> m_factories;
  std::unique_ptr<DyxViewManagerImpl> m_folderIndex;
  DyxViewManager* m_previous = nullptr;             // the current manager before this one
  DyxFolderRecorder* m_previousRecorder = nullptr;  // the folders' recorder before this one
};
