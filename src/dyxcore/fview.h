// DyxFilterView: a view that decides by itself where each entry goes. It places an entry into
// every folder whose filter accepts it (the deepest accepting folders; a folder whose filter
// rejects the entry hides its whole subtree), into the folder its sorter names when a sorter
// is set, and into "<unmatched>" when nothing else applies. An entry that the view's own filter
// rejects is placed nowhere. A filter view is read from a view file of kind F (its folders and
// their filters, never entries) and keeps itself current: `update` refills the tree from the
// whole pool, `mapEntry` files one new entry and `remapEntry` moves one changed entry. The
// predefined views (pview.h) are filter views with a built-in folder rule.
//
// DyxFilterFolder: every folder of a filter view's tree, with its own filter. Folders made on
// demand (by a sorter, "<unmatched>", "<empty>") have a filter without a root, which accepts
// nothing, so they never match through their filter.
//
// DyxSorter: a folder rule, entry -> folder paths below the view's root. The "<ext>" and
// "<size>" sorters of a filter view are the rules of the extension and size views (pview.h).
//
// Ownership: a view owns its folders (DyxViewFolder) and its sorter; folders hold plain
// pointers to entries owned by the pool. The view manager's cache owns every view.
// Threads: call only under the engine lock (DyxEngineLock, mutex.h). `update` holds it for the
// whole rebuild, since the list of entries it walks is only valid under the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dyxcore/filter.h"
#include "dyxcore/path.h"
#include "dyxcore/uview.h"

class DyxEntry;
class DyxPhysicalDirs;
class DyxScanObserver;

class DyxSorter {
 public:
  DyxSorter() = default;
  DyxSorter(const DyxSorter&) = delete;
  DyxSorter& operator=(const DyxSorter&) = delete;
  virtual ~DyxSorter() = default;
  // Empties `paths`, then appends the folder paths of the entry (relative to the view's root;
  // an empty path when the rule gives the entry no folder). Answers true.
  virtual bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) const = 0;
};

// The name of the folder of entries that no filter folder and no sorter placed.
inline constexpr const char* kDyxUnmatchedFolder = "<unmatched>";

class DyxFilterFolder : public DyxViewFolder {
 public:
  explicit DyxFilterFolder(const std::string& name);

  // A new DyxFilterFolder; nullptr (with a message) for an empty name.
  std::unique_ptr<DyxViewFolder> newFolder(const std::string& name) override;
  // Slots 5 to 8: the folder's filter as criterion text ("<undef>" without a root); a folder
  // has no sorter, so its tag is the empty text.
  std::string getFilterText() const override;
  void setFilterText(const std::string& text) override;
  std::vector<std::string> getFilterMessages() const override { return m_filter.getMessages(); }
  std::string getSorterTag() const override;
  void setSorterTag(const std::string& tag) override;
  // Empty when this folder rejects the entry, else its own name followed by the first
  // non-empty answer of its sub-folders in name order.
  DyxPath getFolderForEntry(const DyxEntry* entry) override;
  // Appends the paths (leading from this folder's parent) of the deepest accepting
  // folders of this subtree; nothing when this folder rejects the entry. Answers true.
  bool getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) override;

  const DyxFilter& getFilter() const { return m_filter; }

 private:
  bool accepts(const DyxEntry* entry) const;

  DyxFilter m_filter;  // no root at first: accepts nothing
};

class DyxFilterView : public DyxUserView {
 public:
  // Empty, without filter and sorter; the file is not read here (the view manager calls
  // readFromFile, then update on request).
  DyxFilterView(const std::string& name, DyxPhysicalDirs* pool);
  ~DyxFilterView() override;

  // A new DyxFilterFolder; nullptr (with a message) for an empty name.
  std::unique_ptr<DyxViewFolder> newFolder(const std::string& name) override;
  // Slots 5 and 6: the view's own filter; setting it marks the view modified.
  std::string getFilterText() const override;
  void setFilterText(const std::string& text) override;
  // Slots 7 and 8: the sorter tag, "<none>", "<ext>" or "<size>".
  std::string getSorterTag() const override;
  void setSorterTag(const std::string& tag) override;
  // The first non-empty answer of the direct sub-folders in name order, else
  // "<unmatched>". The sorter is not consulted.
  DyxPath getFolderForEntry(const DyxEntry* entry) override;
  // The paths of the filter folders, then the sorter's, else "<unmatched>".
  bool getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) override;
  // A filter view: F.
  DyxViewKind getKind() const override;
  // Drops every entry reference (the folders stay) and files every entry of the pool
  // again, asking the pool's observer after each entry whether to stop.
  void update(DyxPhysicalDirs* pool) override;
  // Removes the entry from every folder of the tree and files it again. Folders that
  // became empty stay.
  void remapEntry(DyxEntry* entry, DyxScanObserver* observer) override;
  // Files one entry into the folders of getFoldersForEntry, creating them on demand,
  // or into "<empty>" when none could take it. False only when the observer asked to stop.
  bool mapEntry(DyxEntry* entry, DyxScanObserver* observer) override;
  // Files the entries one by one as mapEntry does, a directory's run of them straight into the
  // folder of its first; asks the observer after each entry whether to stop.
  bool mapEntries(std::span<DyxEntry* const> entries, DyxScanObserver* observer) override;

  // "<ext>" and "<size>" set the matching rule and mark the view modified; "<none>" removes the
  // sorter; any other tag is reported and removes the sorter too.
  void setSorter(const std::string& tag);
  const DyxSorter* getSorterFunction() const { return m_sorterFunction.get(); }
  const DyxFilter& getFilter() const { return m_filter; }

 protected:
  // A view whose rule gives every entry of one (scope, key) the same single folder path answers
  // true and fills them; mapEntry then files a run of such entries (the files of one directory)
  // into the folder found for the first, without working the path out again. Only while the
  // trace is off: with it on, every entry takes the traced way. The default answers false.
  virtual bool folderKey(const DyxEntry& entry, const void*& scope, std::uint64_t& key) const;

 private:
  // Finds or makes the folder of `path` and files the entry there. Answers 1 when the entry was
  // filed (into *folder when given), 0 when no folder could be had, -1 when the observer asked
  // to stop.
  int fileInto(const DyxPath& path, DyxEntry* entry, DyxScanObserver* observer,
               DyxViewFolder** folder = nullptr);
  // Finds or makes the folder of `path` (nullptr when none can be had).
  DyxViewFolder* folderOfPath(const DyxPath& path);
  // How many entries from `from` on mapEntry would file straight into the keyed folder.
  std::size_t keyedRun(std::span<DyxEntry* const> entries, std::size_t from) const;

  // The folder of the last keyed entry; valid while no folder has been destroyed since.
  struct KeyedFolder {
    const void* scope = nullptr;
    std::uint64_t key = 0;
    std::uint64_t removals = 0;
    DyxViewFolder* folder = nullptr;
  };
  KeyedFolder m_keyed;
  // The components of the last path filed into and the folder of each, valid while no folder
  // has been destroyed since.
  struct PathFolders {
    std::vector<std::string> parts;
    std::vector<DyxViewFolder*> folders;
    std::uint64_t removals = 0;
  };
  PathFolders m_lastPath;

  DyxFilter m_filter;  // no root at first: undefined, every entry passes
  std::string m_sorterTag;
  std::unique_ptr<DyxSorter> m_sorterFunction;  // nullptr: no sorter
};
