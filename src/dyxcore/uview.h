// DyxUserView: a view whose folder tree the user lays out by hand and which lives in a view
// file, "<views directory>/<view name>.kx". A user view (kind U) stores its folders and the
// entries placed in them; the filter view (kind F, fview.h) derives from it and stores only
// folders with their filters and sorter tags. A user view does not follow the repository:
// changed entries stay where they are, vanished ones leave it through the manager's index.
//
// View file: a header line "# <kind letter>", then one record per line:
//   F <folder path> "<filter text>" "<sorter tag>"   a folder (the separator alone: the view)
//   E <folder path> "<full path of the entry>"        an entry placed in a folder (kind U only)
// Folder paths are relative to the view and use the platform separator. A folder's record
// comes after its parent's, an entry's after its folder's; the writer keeps that order.
//
// Ownership: as every view, owned by the view manager's cache. The pool passed in is not kept.
// Threads: call only under the engine lock (DyxEngineLock, mutex.h).
#pragma once

#include <cstddef>
#include <string>

#include "dyxcore/view.h"

class DyxPhysicalDirs;

class DyxUserView : public DyxView {
 public:
  // An empty name is reported; the view is made all the same.
  DyxUserView(const std::string& name, DyxPhysicalDirs* pool);

  // A user view: U.
  DyxViewKind getKind() const override;
  // MarkNotModified, then updateFile.
  void save() override;

  // Reads the view file into the tree. Bad records are reported and skipped; entries are looked
  // up in `pool` (nullptr: every entry record is reported as a bad entry). A missing file leaves
  // the view empty and marked modified.
  void readFromFile(DyxPhysicalDirs* pool);
  // Rewrites the view file from the tree, beside the target and renamed into place, so a failed
  // write leaves the previous file whole. False (with a message) when it could not be written.
  bool updateFile();
  // Creates the view file empty, or empties it. False (with a message) on failure.
  bool createFile();
  // The views directory joined with the view name followed by ".kx".
  std::string getViewFile() const;
  // The same for any view name (the manager reads a view file's kind before the view exists).
  static std::string viewFileOf(const std::string& viewName);

  // The entry records of the last readFromFile whose file the pool did not hold (a view built
  // before the scan that makes their directories resolves none), and the path of the first.
  std::size_t unresolvedEntryCount() const { return m_unresolvedEntries; }
  const std::string& firstUnresolvedEntry() const { return m_firstUnresolved; }

 private:
  std::size_t m_unresolvedEntries = 0;
  std::string m_firstUnresolved;
};
