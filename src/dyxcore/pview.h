// The predefined views: fixed ways of sorting the whole repository, each a filter view whose
// folder rule is built in. DyxPhysicalView is their base (kind P); each of the ten views below
// computes, from one entry, the folder path or paths where it belongs, and DyxFilterView does
// the rest (filing, folders made on demand, "<empty>" for entries without a folder, rebuilding
// from the pool). Every view has a stateless factory; the facade registers them with the view
// manager under the tags "Size", "Flat", "Name", "Ext", "MTime", "Location", "Owner", "Group",
// "Type" and "Status", in that order.
//
// The rules are also available as free-standing DyxSorter objects: the extension rule is the
// "<ext>" sorter and the size rule the "<size>" sorter of filter views.
//
// Ownership: as every view, owned by the view manager's cache; a factory's `create` hands the
// new view to its caller. Threads: call only under the engine lock (DyxEngineLock, mutex.h).
// The rules read the preferences "ExtCase" and "NameCase" at each call.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dyxcore/fview.h"

class DyxEntry;
class DyxPhysicalDirs;

// Names of the special folders of the predefined views.
inline constexpr const char* kDyxHiddenFolder = "<hidden>";
inline constexpr const char* kDyxInErrorFolder = "<in error>";
inline constexpr const char* kDyxNullSizeFolder = "<null>";
inline constexpr const char* kDyxFlatFolder = "<flat>";

class DyxPhysicalView : public DyxFilterView {
 public:
  DyxPhysicalView(const std::string& name, DyxPhysicalDirs* pool);

  // A predefined view: P.
  DyxViewKind getKind() const override;
  // Only marks the view not modified. A predefined view has no view file, and writing
  // one would leave a "<...>.kx" file that no tag can ever load.
  void save() override;
  // The view itself holds no entry: an empty path.
  DyxPath getFolderForEntry(const DyxEntry* entry) override;
  // Empties the list and answers false.
  bool getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) override;
};

// A folder rule: empties `paths` and appends the entry's folder paths. Answers true.
using DyxFolderRule = bool (*)(const DyxEntry& entry, std::vector<DyxPath>& paths);
// A rule's folder key (see DyxFilterView::folderKey); null for a rule without one.
using DyxFolderKeyRule = bool (*)(const DyxEntry& entry, const void*& scope, std::uint64_t& key);

// A predefined view built on one folder rule. The names must be literals (the scope traces keep
// them without copying).
class DyxRuleView : public DyxPhysicalView {
 public:
  // The first path of the rule, or an empty path when it gives none.
  DyxPath getFolderForEntry(const DyxEntry* entry) override;
  // The rule's paths; answers true.
  bool getFoldersForEntry(const DyxEntry* entry, std::vector<DyxPath>& paths) override;

 protected:
  // Named "<" + className + ">"; with `update`, filled from the whole pool at once. The key
  // rule comes in with the rule because that first fill runs in this constructor, where a
  // virtual call reaches no override of a derived view.
  DyxRuleView(const char* className, const char* foldersScope, const char* folderScope,
              DyxFolderRule rule, DyxPhysicalDirs* pool, bool update,
              DyxFolderKeyRule keyRule = nullptr);
  bool folderKey(const DyxEntry& entry, const void*& scope, std::uint64_t& key) const override;

 private:
  const char* m_foldersScope;
  const char* m_folderScope;
  DyxFolderRule m_rule;
  DyxFolderKeyRule m_keyRule;
};

// One size-range folder: "<in error>", "<null>", "0 to 1Ko" ... "more than 1Go". Sizes are
// 64-bit; the kilobyte bounds are inclusive, the megabyte and gigabyte bounds exclusive.
class DyxSizeView : public DyxRuleView {
 public:
  DyxSizeView(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
  // The folder name of a size in bytes (negative: an entry in error).
  static const char* rangeName(long long size);
};

// Every entry in the one folder "<flat>".
class DyxFlatView : public DyxRuleView {
 public:
  DyxFlatView(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// The first character of the name ("<hidden>" for a dot), lower-cased unless "NameCase".
class DyxNameView : public DyxRuleView {
 public:
  DyxNameView(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// The extension, lower-cased unless "ExtCase"; a name without one gives an empty path.
class DyxExtensionView : public DyxRuleView {
 public:
  DyxExtensionView(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// Year / month name / two-digit day of the modification time, in UTC. A time stamp without a
// calendar date (unset or negative) gives no path, so the entry lands in "<empty>".
class DyxMDateView : public DyxRuleView {
 public:
  DyxMDateView(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// The entry's directory as nested folders; an entry without a directory gives an empty path.
class DyxPhysView : public DyxRuleView {
 public:
  DyxPhysView(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
  // The directory: its repository and the key of its path text.
  static bool directoryKey(const DyxEntry& entry, const void*& scope, std::uint64_t& key);
};

// The text of the property "Owner" (empty for every entry today, hence "<empty>").
class DyxOwner : public DyxRuleView {
 public:
  DyxOwner(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// The text of the property "Group" (empty for every entry today, hence "<empty>").
class DyxGroup : public DyxRuleView {
 public:
  DyxGroup(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// One path per type of the entry, the type name split at "." (image.jpeg: image / jpeg).
class DyxType : public DyxRuleView {
 public:
  DyxType(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// The status text as one folder ("I/O Error" is one name, not two).
class DyxStatus : public DyxRuleView {
 public:
  DyxStatus(DyxPhysicalDirs* pool, bool update);
  static bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths);
};

// The factory of one predefined view class.
template <class View>
class DyxPredefinedViewFactory final : public DyxViewFactory {
 public:
  std::unique_ptr<DyxView> create(DyxPhysicalDirs* pool, bool update) override {
    return std::make_unique<View>(pool, update);
  }
};

using DyxSizeViewFactory = DyxPredefinedViewFactory<DyxSizeView>;
using DyxFlatViewFactory = DyxPredefinedViewFactory<DyxFlatView>;
using DyxNameViewFactory = DyxPredefinedViewFactory<DyxNameView>;
using DyxExtensionViewFactory = DyxPredefinedViewFactory<DyxExtensionView>;
using DyxMDateViewFactory = DyxPredefinedViewFactory<DyxMDateView>;
using DyxPhysViewFactory = DyxPredefinedViewFactory<DyxPhysView>;
using DyxOwnerFactory = DyxPredefinedViewFactory<DyxOwner>;
using DyxGroupFactory = DyxPredefinedViewFactory<DyxGroup>;
using DyxTypeFactory = DyxPredefinedViewFactory<DyxType>;
using DyxStatusFactory = DyxPredefinedViewFactory<DyxStatus>;

// The extension rule as the "<ext>" sorter.
class DyxExtensionSorter final : public DyxSorter {
 public:
  bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) const override {
    return DyxExtensionView::folderNames(entry, paths);
  }
};

// The size rule as the "<size>" sorter.
class DyxSizeSorter final : public DyxSorter {
 public:
  bool folderNames(const DyxEntry& entry, std::vector<DyxPath>& paths) const override {
    return DyxSizeView::folderNames(entry, paths);
  }
};
