// DyxViewFolder: one node of a view's tree of virtual folders. A folder holds plain references
// to entries, ordered by entry name (equal names keep their insertion order), and owns its
// named sub-folders. The root of every tree is the view itself (DyxView derives from this).
//
// Ownership: a folder owns its sub-folders; it never owns entries. The entries belong to the
// directory pool, which removes an entry from every folder (through the view manager) before it
// frees the entry's slot. Every reference a folder gains or loses is reported to the view
// manager's entry-to-folder index, so the index always lists every folder that holds an entry,
// once per reference; destroying a folder first removes its whole subtree from the index. The
// one exception is dropAllEntriesUnreported, for a caller that empties the whole index at once.
//
// Threads: no lock of its own. Every call into a folder tree must be made under the engine
// lock (DyxEngineLock, mutex.h), which serialises the worker, polling and notification threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class DyxEntry;
class DyxPath;
class DyxScanObserver;

class DyxViewFolder {
 public:
  explicit DyxViewFolder(const std::string& name);
  DyxViewFolder(const DyxViewFolder&) = delete;
  DyxViewFolder& operator=(const DyxViewFolder&) = delete;

  // The virtual operations, in slot order.

  // Removes every entry of the subtree from the index, then destroys the sub-folders.
  virtual ~DyxViewFolder();
  // False for a plain folder; views answer true.
  virtual bool isRoot() const;
  // A new detached folder of this tree's own folder class; nullptr (with a message) for
  // an empty name. Trees create all their sub-folders through this slot.
  virtual std::unique_ptr<DyxViewFolder> newFolder(const std::string& name);
  // RemoveAllEntries, then destroys every sub-folder.
  virtual void removeAllFolders();
  // Drops every entry reference of the subtree (forgetting each in the index); the
  // sub-folders stay.
  virtual void removeAllEntries();
  // Drops every entry reference of the subtree WITHOUT forgetting them in the index (the
  // empty-folder counts stay right); the sub-folders stay. Only for a caller that clears the
  // whole index right after, when every entry leaves every view at once: one by one, the index
  // work would cost more than everything else of such a clear.
  void dropAllEntriesUnreported();
  // Slots 5 to 8: the two settings a view file stores for each folder.
  virtual std::string getFilterText() const;            // "true"
  virtual void setFilterText(const std::string& text);  // nothing
  // What the parser said of the text last set (nothing when it parsed as written).
  virtual std::vector<std::string> getFilterMessages() const { return {}; }
  virtual std::string getSorterTag() const;           // "<none>"
  virtual void setSorterTag(const std::string& tag);  // nothing
  // The folder path of an entry; an empty path here.
  virtual DyxPath getFolderForEntry(const DyxEntry* entry);
  // Empties `paths` and answers false here.
  virtual bool getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths);

  const std::string& getName() const { return m_name; }
  DyxViewFolder* getParent() const { return m_parent; }
  // No entry held directly and no sub-folder.
  bool isEmpty() const { return m_entryCount == 0 && m_subfolders.empty(); }
  // References held directly (sub-folders not counted).
  int getEntryCount() const { return m_entryCount; }

  // Files the entry (duplicates are kept) and records this folder in the index. Constant time:
  // the entry joins an unordered tail that readers needing the order merge lazily.
  // A null entry is reported and answered true. With an observer, answers its entryFiled; the
  // entry stays filed even when the observer answers false.
  bool addEntry(DyxEntry* entry, DyxScanObserver* observer);
  // Makes room for `count` more references at once, for a caller about to file that many (a
  // view built from the pool files a directory's entries together): the storage is sized once
  // rather than grown step by step.
  void reserveEntries(std::size_t count);
  // Removes the first reference to this very entry (reported when absent); with `recursive`,
  // does the same in every sub-folder in name order. Logarithmic in the folder's size (plus a
  // bounded scan of the tail); no shifting of the whole folder.
  void removeEntry(DyxEntry* entry, bool recursive);
  // Empties `list`, then appends the entries held directly: by name, then by insertion.
  void getEntries(std::vector<DyxEntry*>& list) const;
  // True when this folder holds a direct reference to this very entry.
  bool holdsEntry(const DyxEntry* entry) const;

  // Takes ownership and attaches the folder under its name. Refusals (null, empty name, name in
  // use) are reported and answered false; a refused folder is destroyed.
  bool addFolder(std::unique_ptr<DyxViewFolder> folder);
  // Destroys the named sub-folder when `recursive` or when it is empty.
  bool removeFolder(const std::string& name, bool recursive);
  // Resolves `path` from component `level` on, relative to this folder ("." is the folder
  // itself); nullptr when a component is missing. One lookup per component.
  DyxViewFolder* getFolder(const DyxPath& path, int level = 0);
  // Finds or makes (through newFolder) every folder along `path` from component `level`, and
  // answers the deepest; nullptr (with a message) for a path without components.
  DyxViewFolder* createFolderPath(const DyxPath& path, int level = 0);
  // The direct sub-folder of that name, or nullptr. No message, no trace.
  DyxViewFolder* getSubFolder(const std::string& name) const;
  // Appends the sub-folders in name order; `indirect` goes depth first, each folder before its
  // descendants; `clear` empties the list first.
  void getFolders(std::vector<DyxViewFolder*>& list, bool indirect, bool clear) const;
  std::size_t getFolderCount() const { return m_subfolders.size(); }
  // Removes, bottom-up, every folder of the subtree that holds no entry and no folder. Subtrees
  // known to hold no empty folder are not walked, so a prune after each vanished entry costs the
  // path to the emptied folders, not the whole tree.
  void removeEmptyFolders();
  // Empty folders strictly below this one (kept up to date by every change of the tree).
  int getEmptyFolderCount() const { return m_emptyBelow; }
  // Folders destroyed so far in this process (any tree). A cache of folder pointers is valid
  // while this count has not moved.
  static std::uint64_t getRemovalCount();

 private:
  // One stored reference: an entry address, or (odd value) a tombstone left in the ordered part
  // by a removal. A tombstone holds (position << 1) | 1, a later position of the ordered part
  // such that every slot in between is a tombstone too; searches follow these links and shorten
  // them as they go, so a long run of removed references is crossed in a few steps.
  using Ref = std::uintptr_t;
  static constexpr std::size_t kMarkStride = 32;

  void forgetAllDirectEntries();
  // Empties the direct storage; `report` forgets each reference in the index first.
  void dropDirectEntries(bool report);
  // Adds `delta` to the empty-folder count of every ancestor.
  void adjustAncestors(int delta);
  // This folder's contribution to its ancestors' counts: itself when empty, plus its own count.
  int emptyWeight() const { return m_emptyBelow + (isEmpty() ? 1 : 0); }

  // The first sixteen bytes of a name as two big-endian numbers (zero-padded): their order is
  // the byte-wise order of the names wherever they differ.
  struct NameKey {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
  };
  static NameKey nameKeyOf(std::string_view name);

  // Forgets every reference without reporting (storage only).
  void clearStorage();
  // Samples the keys of the ordered part (after its positions moved).
  void rebuildMarks() const;
  // A range [lo, hi) of positions below `limit` outside which every reference of the ordered
  // part is known, from the samples alone, to be named below (before lo) or above (from hi)
  // `name`.
  void markRange(std::string_view name, std::size_t limit, std::size_t& lo, std::size_t& hi) const;
  // The first live position in [from, end) of the ordered part, or `end`.
  std::size_t nextLive(std::size_t from, std::size_t end) const;
  // The first position of the ordered part whose live reference is not named below `name`.
  std::size_t lowerBound(std::string_view name) const;
  // The position of the first reference to this very entry, or npos. Merges a long tail first.
  std::size_t findRef(const DyxEntry* entry) const;
  // Drops the tombstones of the ordered part.
  void compact() const;
  // Orders the tail and merges it into the ordered part (tombstones are dropped first).
  void mergeTail() const;

  std::string m_name;
  // Every reference held directly: [0, m_sorted) ordered by name, equal names by insertion
  // (with tombstones); [m_sorted, end) the tail of recent additions, in insertion order. Reads
  // that need the order merge the tail lazily, which is why the members are mutable (all calls
  // run under the engine lock, one thread at a time). Only live references' names are ever read:
  // the entry of a tombstone may be gone.
  mutable std::vector<Ref> m_refs;
  mutable std::size_t m_sorted = 0;
  mutable std::size_t m_tombs = 0;  // tombstones in [0, m_sorted)
  // The key of every kMarkStride-th position of the ordered part (none for small folders), so
  // that a search reads only a few names of a big folder. A tombstone leaves its sample valid:
  // positions move only when the ordered part is rebuilt, which samples it again.
  mutable std::vector<NameKey> m_marks;
  int m_entryCount = 0;
  // Keyed by each sub-folder's own name, which lives as long as its element.
  std::map<std::string_view, std::unique_ptr<DyxViewFolder>, std::less<>> m_subfolders;
  DyxViewFolder* m_parent = nullptr;  // not owned; nullptr for a root or a detached folder
  int m_emptyBelow = 0;               // empty folders strictly inside the subtree
};
