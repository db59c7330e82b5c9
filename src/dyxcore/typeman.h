// File types: each type of "conf/type.ini" has a name and a filter criterion, and an entry
// belongs to every type whose filter accepts it. Dotted names ("Image.Photo") are sub-types of
// the type named by their first part.
//
// Ownership: a DyxFileType owns its filter and its sub-types (by value); the manager owns its
// types. The facade owns the single manager (Dyx::getTypeManager()).
//
// Threads: `reset` and `clear` change the types; `getType` and `getTypes` only read them. The
// facade keeps a re-read from overlapping scans and view updates (both run under the engine lock,
// mutex.h). A type filter that itself asks for types ($Type) would recurse without end: while a
// thread is inside getType/getTypes, a nested request on that thread answers "no type".
#pragma once

#include <map>
#include <string>
#include <vector>

#include "dyxcore/filter.h"

class DyxEntry;

class DyxFileType {
 public:
  // Empty name, a filter without a tree (matches nothing), no sub-types.
  DyxFileType() = default;
  DyxFileType(const std::string& name, const std::string& criterion);
  // Copying copies the name, a deep copy of the filter and the sub-types; assigning replaces all
  // three, so the target's earlier sub-types are dropped.
  DyxFileType(const DyxFileType& other) = default;
  DyxFileType& operator=(const DyxFileType& other) = default;
  DyxFileType(DyxFileType&& other) noexcept = default;
  DyxFileType& operator=(DyxFileType&& other) noexcept = default;

  const std::string& getName() const { return m_name; }
  const DyxFilter& getFilter() const { return m_filter; }
  // Keyed by full name, byte-wise order.
  const std::map<std::string, DyxFileType>& getSubTypes() const { return m_subTypes; }
  std::map<std::string, DyxFileType>& getSubTypes() { return m_subTypes; }

 private:
  std::string m_name;
  DyxFilter m_filter;
  std::map<std::string, DyxFileType> m_subTypes;
};

class DyxTypeManager {
 public:
  // The type name of an entry that no type accepts.
  static constexpr const char* kNoType = "<no-type>";

  DyxTypeManager() = default;
  // Remembers the path, then reset(path).
  explicit DyxTypeManager(const std::string& file);
  ~DyxTypeManager();
  DyxTypeManager(const DyxTypeManager&) = delete;
  DyxTypeManager& operator=(const DyxTypeManager&) = delete;

  // Re-reads the type file; an empty argument re-reads the file last given. Without any file
  // name the types stay as they are; a file that cannot be opened leaves no types.
  void reset(const std::string& file = std::string());
  void clear();

  // The first top-level type, in name order, whose own filter accepts the entry; kNoType if none.
  std::string getType(const DyxEntry& entry) const;
  // Empties `types`, then for each accepting top-level type (name order) appends the full names
  // of its accepting sub-types (depth first, name order), or its own name when none accepts.
  void getTypes(const DyxEntry& entry, std::vector<std::string>& types) const;

  const std::string& getFile() const { return m_file; }
  const std::map<std::string, DyxFileType>& getTypeMap() const { return m_types; }

 private:
  std::string m_file;
  std::map<std::string, DyxFileType> m_types;
};
