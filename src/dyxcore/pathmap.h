// DyxPathMap: the saved list of the directories the user asked the engine to watch, each with its
// recursive flag, read from and written to "./conf/<name>.fpm". Its name (the file name without
// directory and ".fpm") is also the key of the pool's entry repository.
//
// File format: one record per line, a value (a double-quoted text or a bare word) holding the
// directory path, blanks, then "Yes" (recursive) or "No". The writer always quotes the path.
//
// Ownership: a plain value (copyable); the pool holds one. Threads: no lock of its own; the pool
// uses it under the engine lock.
#pragma once

#include <map>
#include <ostream>
#include <string>

#include "dyxcore/path.h"

class DyxPathMap {
 public:
  // Paths in the path order, each with its recursive flag.
  using Paths = std::map<DyxPath, bool>;

  // No file, no paths.
  DyxPathMap();
  // File "./conf/" + name + ".fpm" (none for an empty name), then `reset`.
  explicit DyxPathMap(const std::string& name);
  DyxPathMap(const DyxPathMap&) = default;
  DyxPathMap& operator=(const DyxPathMap&) = default;

  // Reloads the paths from the file; a missing file or a bad record is reported, never thrown.
  void reset();
  // Writes the file beside its target and renames it into place, so a failed write keeps the
  // previous file. Nothing happens without a file; false when it could not be written.
  bool save() const;

  const std::string& getFile() const { return m_file; }
  // The file name between the last separator and ".fpm"; "" without a file.
  std::string getName() const;
  // False (argument untouched) without a file; otherwise replaces the argument by the paths.
  bool getPaths(Paths& paths) const;
  const Paths& paths() const { return m_paths; }
  // Sets the flag of the path (added when new). The file is not written.
  void setRecursive(const std::string& path, bool recursive);
  // The file is not written.
  void remove(const std::string& path);
  // The stored flag, false for a path not in the map.
  bool isRecursive(const std::string& path) const;
  void dump(std::ostream& out) const;

 private:
  std::string m_file;
  Paths m_paths;
};
