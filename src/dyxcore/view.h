// DyxView: the abstract base of every view, one way of sorting the whole repository into a tree
// of virtual folders. A view is the root folder of its own tree (empty folder name); it keeps
// its own name, its kind (DyxViewKind: P predefined, U user, F filter) and a modified flag that
// tells whether it differs from its view file. DyxViewFactory makes one predefined view.
//
// Ownership: the view manager's cache owns every view (no other object may destroy one); a view
// owns its folder tree and holds plain references to entries of the pool. A factory has no
// state and is owned by the view manager once registered.
//
// Threads: no lock of its own. Every call into a view must be made under the engine lock
// (DyxEngineLock, mutex.h).
#pragma once

#include <iosfwd>
#include <memory>
#include <span>
#include <string>

#include "dyxcore/vfolder.h"

class DyxPhysicalDirs;

class DyxViewKind {
 public:
  static constexpr int kNone = 0;
  static constexpr int kPhysical = 1;  // "P": made by a registered factory
  static constexpr int kUser = 2;      // "U": folders and entries stored in a view file
  static constexpr int kFilter = 3;    // "F": folders with filters, stored in a view file

  // Values 1 to 3 are kept; anything else is kNone.
  explicit DyxViewKind(int value = kNone) : m_value(value >= 1 && value <= 3 ? value : kNone) {}
  // Exactly "P", "U" or "F" (case-sensitive); anything else is kNone.
  static DyxViewKind fromLetter(const std::string& letter);

  int value() const { return m_value; }
  // "P", "U", "F", or "<unknown>" for kNone.
  const char* kindLetter() const;
  bool isValid() const { return m_value != kNone; }
  bool isFileBacked() const { return m_value == kUser || m_value == kFilter; }
  bool isPhysical() const { return m_value == kPhysical; }

  friend bool operator==(DyxViewKind a, DyxViewKind b) { return a.m_value == b.m_value; }
  friend bool operator!=(DyxViewKind a, DyxViewKind b) { return a.m_value != b.m_value; }

 private:
  int m_value;
};

class DyxView : public DyxViewFolder {
 public:
  explicit DyxView(const std::string& viewName);
  // All entries leave the index and all folders are destroyed (as for a folder).
  ~DyxView() override;
  // A view is the root of its tree: true.
  bool isRoot() const override;

  // Slots 11 to 16, continuing the folder's slot table.

  // One line: name: "<view name>", kind: <letter>, rt: <bool>, mod: <bool>
  virtual void dump(std::ostream& out) const;
  // KNone here; predefined views answer P, user views U, filter views F.
  virtual DyxViewKind getKind() const;
  // Marks the view not modified; file-backed views then rewrite their view file.
  virtual void save();
  // Nothing here; filter views rebuild every folder from the whole pool. `pool` may be
  // nullptr (no pool yet): then there is nothing to collect.
  virtual void update(DyxPhysicalDirs* pool);
  // Nothing here; filter views move one changed entry.
  virtual void remapEntry(DyxEntry* entry, DyxScanObserver* observer);
  // True here; filter views place one new entry. False stops the caller's loop.
  virtual bool mapEntry(DyxEntry* entry, DyxScanObserver* observer);
  // mapEntry on each entry in turn (the files of one directory), until one answers false.
  virtual bool mapEntries(std::span<DyxEntry* const> entries, DyxScanObserver* observer);

  const std::string& getViewName() const { return m_viewName; }
  bool isModified() const { return m_modified; }
  void markModified();
  void markNotModified();

 private:
  const std::string m_viewName;
  bool m_modified = false;
};

// Makes one predefined view. Stateless; owned by the view manager once registered.
class DyxViewFactory {
 public:
  DyxViewFactory() = default;
  DyxViewFactory(const DyxViewFactory&) = delete;
  DyxViewFactory& operator=(const DyxViewFactory&) = delete;
  virtual ~DyxViewFactory() = default;
  // A new view, owned by the caller. With `update`, it is filled from the whole pool at once.
  virtual std::unique_ptr<DyxView> create(DyxPhysicalDirs* pool, bool update) = 0;
};
