// DyxContext: the few services of the engine's upper parts that its lower modules call, so
// that an entry, a filter, a folder or a scanned directory never reaches up to the facade: the
// type of an entry (the type manager), the records of user properties (the property store),
// the index of the folders that hold each entry (the view manager's), where a scan reports
// new, changed and vanished entries (the views), the preferences and the engine's pool.
//
// The facade installs its providers when the program starts (dyx.cpp); a view manager that a
// test builds by hand puts itself first for its lifetime. A service that nobody provides is
// null, and its callers then do without it (an entry has no type, a property name is not a
// user property, a folder reports to no index). Nothing here is owned. Install and replace
// providers only while no engine thread runs; call the services under the engine lock.
#pragma once

#include <string>
#include <vector>

class DyxEntry;
class DyxEntryProperty;
class DyxEnviron;
class DyxPhysicalDirs;
class DyxViewFolder;
class DyxViewNotifier;

// The type manager as an entry asks it.
class DyxEntryTyper {
 public:
  // The first type that accepts the entry, "<no-type>" when none.
  virtual std::string getType(const DyxEntry& entry) = 0;
  // Every type that accepts the entry.
  virtual void getTypes(const DyxEntry& entry, std::vector<std::string>& types) = 0;

 protected:
  ~DyxEntryTyper() = default;
};

// The index of the folders that hold each entry, as the folders report to it.
class DyxFolderRecorder {
 public:
  virtual void recordFolder(const DyxEntry* entry, DyxViewFolder* folder) = 0;
  virtual void forgetFolder(const DyxEntry* entry, DyxViewFolder* folder) = 0;

 protected:
  ~DyxFolderRecorder() = default;
};

class DyxContext {
 public:
  DyxContext() = delete;

  // The facade's services, each created on first use by the provider.
  struct Providers {
    DyxEntryTyper* (*types)() = nullptr;
    DyxEntryProperty* (*properties)() = nullptr;
    DyxFolderRecorder* (*folders)() = nullptr;
    DyxViewNotifier* (*notifier)() = nullptr;
    DyxEnviron* (*environment)() = nullptr;
    DyxPhysicalDirs* (*pool)() = nullptr;  // null before start-up and after shutdown
  };
  static void install(const Providers& providers);

  static DyxEntryTyper* types();
  static DyxEntryProperty* properties();
  static DyxEnviron* environment();
  static DyxPhysicalDirs* pool();
  // The recorder put first (a view manager that exists), else the provider's.
  static DyxFolderRecorder* folders();
  // Puts `recorder` first and answers the one it replaces (give that back when done).
  static DyxFolderRecorder* exchangeFolders(DyxFolderRecorder* recorder);
  // The notifier put first (a test's), else the provider's.
  static DyxViewNotifier* notifier();
  static DyxViewNotifier* exchangeNotifier(DyxViewNotifier* notifier);
};
