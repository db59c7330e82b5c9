// DelveDisplayModel: what the window shows, as values. It keeps, for the current generation, the
// tree's folders (name, label, parent, children in label order, how many rows are filed into
// each); the rows of the folder the list shows, narrowed by the Find text and ordered by a header
// click; the totals of status line 1, what the last parse left out and how many folders are
// polled rather than watched while changes are followed. The parse worker's updates
// (parseworker.h) arrive in batches and are applied a slice at a time, the rest on the next turn
// of the event loop, so that input and painting get their turn during a scan of any size.
//
// Only the selected folder's rows are kept: a selection reads them from the engine once, through
// the row source (the worker's listFolder, under the engine lock, so it waits for the step a
// scan is in), and the updates numbered after that reading add, change and remove them. Every
// other folder's rows stay in the engine alone: a window of a million files holds no copy of
// them. A change of the Find text or of the header's order never reads the engine.
//
// Ownership: the model owns its values and both item models (its children). Threads: the
// window's thread only, inside a running QCoreApplication (the backlog is drained by a timer).
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dyxcore/frontend.h"
#include "filelistmodel.h"
#include "parseworker.h"

class FolderTreeModel;

class DelveDisplayModel : public QObject {
  Q_OBJECT

 public:
  // At most this many updates are applied per turn of the event loop.
  static constexpr std::size_t kUpdatesPerSlice = 4000;
  // ... and for at most this long, so that input and painting get their turn on a busy machine.
  static constexpr qint64 kSliceBudgetMs = 16;
  // The tree's root item ("Get Quarry! (tag)"). It holds rows only when a user view places
  // files at its top; otherwise selecting it lists nothing, as selecting no folder does.
  static constexpr std::uint64_t kRootId = DelveUpdate::kRootFolder;
  // The parent of a folder placed at the top level beside the root item.
  static constexpr std::int64_t kTopLevel = DelveUpdate::kTopLevelParent;

  // The label a folder's tree item shows is made from its name when asked for (labelOf): a
  // tree of fifty thousand folders would otherwise hold every name twice.
  struct Folder {
    std::string name;
    std::int64_t parent = kTopLevel;      // kRootId, another folder's id, or kTopLevel
    std::vector<std::uint64_t> children;  // in label order (folderLabelLess)
    unsigned files = 0;                   // the rows filed into it
  };

  // Where a selected folder's rows come from: ParseWorker::listFolder's contract. Without one,
  // a selected folder lists the rows that arrive after its selection.
  using RowSource = std::function<bool(std::uint64_t generation, std::uint64_t folderId,
                                       const ParseWorker::RowSink& row, std::uint64_t& seq)>;

  explicit DelveDisplayModel(QObject* parent = nullptr);
  ~DelveDisplayModel() override;
  DelveDisplayModel(const DelveDisplayModel&) = delete;
  DelveDisplayModel& operator=(const DelveDisplayModel&) = delete;

  // "Get Quarry! (" + tag + ")".
  static QString rootLabel(const std::string& viewTag);
  // The label of a folder's tree item: "System (C:)" for a drive name, else the name.
  static QString folderLabel(const std::string& folderName);
  // The order of siblings in the tree: case-insensitive first, so that "apple" and "Apple" stay
  // together, then case-sensitive so that the order is total.
  static bool folderLabelLess(const QString& a, const QString& b);

  // Takes a batch of the worker's updates, in order, and applies the first slice of what waits.
  // Updates before the batch's last clear would be wiped by it: only their state changes count.
  void addUpdates(std::vector<DelveUpdate> updates);
  // Applies the next slice of the waiting updates; the rest waits for the next turn.
  void applySlice();
  bool hasBacklog() const { return !m_backlog.empty(); }

  // The row source from now on (an empty one: none).
  void setRowSource(RowSource source) { m_rowSource = std::move(source); }

  // The view whose folders the tree shows; relabels the root item.
  void setViewTag(const std::string& tag);
  const std::string& viewTag() const { return m_viewTag; }
  // Lists the rows of folder `id` (an unknown id: no folder, no rows), in name order, read
  // afresh from the row source.
  void selectFolder(std::uint64_t id);
  // The Find text, as typed: the list keeps the rows whose lower-cased name contains it.
  void setFindText(const std::string& text);
  // A header click on `column`: ascending, or the other way when it is the current column.
  void sortList(int column);

  // State shown by the window.
  bool isParsingShown() const { return m_parsingShown; }
  std::uint64_t generation() const { return m_generation; }
  unsigned folderCount() const { return m_folderCount; }
  unsigned fileCount() const { return m_fileCount; }
  std::uint64_t selectedFolder() const { return m_selectedFolder; }
  int sortColumn() const { return m_sortColumn; }  // -1: the list is in name or filing order
  bool sortAscending() const { return m_sortAscending; }
  QString statusLine1() const;
  // How the folders of the parse are followed (none: not followed).
  const DyxWatchCounts& followCounts() const { return m_followCounts; }
  // The words status line 1 ends with while `polled` folders are polled instead of watched.
  static std::string polledText(std::size_t polled);

  // What the last parse left out, and the texts that say so, in the order they came.
  const DyxLeftOut& leftOut() const { return m_leftOut; }
  const QStringList& problemTexts() const { return m_problemTexts; }

  // The folders. folder(kRootId) is the root item; nullptr for an id of no shown folder.
  const Folder* folder(std::uint64_t id) const;
  // The items under `parent` (kTopLevel: the top level, the root item among them), in order.
  const std::vector<std::uint64_t>& childrenOf(std::int64_t parent) const;
  // The label of item `id` (kRootId: the root item) as the tree shows it.
  QString labelOf(std::uint64_t id) const;
  // The position of `id` among its siblings, or -1.
  int rowOf(std::uint64_t id) const;
  // The rows of the selected folder (the list's rows are indexes into it).
  const DelveRowStore& rows() const { return m_rowStore; }

  FileListModel* listModel() const { return m_listModel; }
  FolderTreeModel* treeModel() const { return m_treeModel; }

 Q_SIGNALS:
  // The tree and the list are about to be emptied for a new generation.
  void aboutToClear();
  // Parsing started (true) or the worker went idle (false).
  void parsingChanged(bool parsing);
  // The directory status line 2 is to show: the last one of a slice.
  void directoryShown(const QString& directory);
  // Status line 1 may read differently.
  void statusLine1Changed();
  // The list is no longer in the order of a header click, or is in a new one.
  void sortChanged();
  void problemsChanged();
  // A slice of updates was applied.
  void updatesApplied();
  // A parse (or view switch) that the model saw start has ended and its updates are shown.
  void parseFinished();
  // The saved index is shown (its rows are applied); `text` says which and when it was saved.
  void indexRestored(const QString& text);
  // After a refresh, the folder selected before is back as `id`: the tree selects it again.
  void folderReselected(std::uint64_t id);

 private:
  void clear();
  // The folder whose rows are `id`'s: the root item's own for kRootId (the files a user view
  // places at its top), nullptr for an id of no shown folder.
  Folder* rowsFolder(std::uint64_t id);
  void addFolder(std::uint64_t id, std::int64_t parentId, const std::string& name);
  // A followed row keeps a sorted list sorted; any other leaves the header's order. `seq` is
  // the number of the update that brought it.
  void addRow(std::uint64_t folderId, const DelveRowStore::Values& row, bool followed,
              std::uint64_t seq, std::vector<std::uint32_t>& appended,
              std::vector<std::uint32_t>& placed);
  // Rows of a folder that only count.
  void countRows(std::uint64_t folderId, unsigned files);
  // Whether an update numbered `seq` about folder `folderId` changes the list: the selected
  // folder's, and not already in what the row source listed.
  bool listsChange(std::uint64_t folderId, std::uint64_t seq) const;
  // The shown row whose location is `location` (the newest of them), or -1.
  std::int64_t findRow(const std::string& location) const;
  void changeRow(std::uint64_t folderId, std::uint64_t seq, DyxListRow&& row);
  void removeRow(std::uint64_t folderId, std::uint64_t seq, const std::string& location);
  void forgetShownRows();
  // Forgets the shown rows and reads the selected folder's from the row source.
  void loadShownRows();
  // The folder's tree item leaves with everything below it.
  void removeFolder(std::uint64_t id);
  void clearSort();
  void refill();
  // The names from below the root down to folder `id`.
  std::vector<std::string> pathOf(std::uint64_t id) const;
  std::vector<std::uint64_t>& siblings(std::int64_t parent);

  std::string m_viewTag = DyxFrontEnd::kDefaultViewTag;
  std::uint64_t m_generation = 0;
  Folder m_root;
  std::vector<std::uint64_t> m_topLevel;  // the root item, and folders whose parent was not shown
  std::unordered_map<std::uint64_t, Folder> m_folders;
  DelveRowStore m_rowStore;                // the selected folder's rows
  std::vector<std::uint32_t> m_shownRows;  // its indexes into m_rowStore, in filing order
  // m_shownRows by name, byte-wise, then in filing order: made on the first refill that needs
  // it and kept until the rows change, so that each keystroke in Find only filters.
  std::vector<std::uint32_t> m_shownByName;
  bool m_byNameValid = false;
  // The number of the last update the row source's listing holds (0: none, nothing to skip).
  std::uint64_t m_shownSeq = 0;
  RowSource m_rowSource;
  unsigned m_folderCount = 0;
  unsigned m_fileCount = 0;

  std::uint64_t m_selectedFolder = kRootId;
  DyxFindFilter m_findFilter;
  int m_sortColumn = -1;
  bool m_sortAscending = true;
  bool m_clearing = false;              // a selection change while the tree empties lists nothing
  std::vector<std::string> m_reselect;  // after a refresh: the folder to select when it comes

  bool m_parsingShown = false;
  bool m_sawParseStart = false;
  std::string m_lastDirectory;  // the text status line 2 is to show at the end of a slice

  DyxWatchCounts m_followCounts;
  std::string m_followProblem;  // the last follow state's text: why nothing is followed
  DyxLeftOut m_leftOut;
  QStringList m_problemTexts;

  // Updates taken from the worker and not yet applied, in order.
  std::deque<DelveUpdate> m_backlog;
  QTimer m_backlogTimer;

  FileListModel* m_listModel;
  FolderTreeModel* m_treeModel;
};
