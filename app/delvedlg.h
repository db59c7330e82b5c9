// DelveDlg: the program's one window. The user names a directory, starts and stops a parse,
// picks the view that orders the files ("Sort by" on the tree's root item), narrows the list
// with the Find box, edits the search criterion and opens files from the list.
//
// The window runs no engine work itself: its ParseWorker does, and hands over the display's
// changes as values in batches (see parseworker.h). The window keeps those values for the
// current generation: the tree items, and per folder the rows filed into it, so that a change of
// selection or of the Find text refills the list without reading the engine (and so without
// waiting for the engine lock while a scan or a view rebuild holds it).
//
// It is a normal main window to the window manager (not a dialog), used from the keyboard alone
// as well as with the mouse: the focus starts in the path box, Enter there starts the parse,
// Escape stops it, Enter on list rows opens them, and the menus carry the shortcuts. A typed
// path means what a person means: "~" is the home directory and a relative path lies below it,
// never below the program's working directory. Its size, splitter and column widths are kept in
// the user's configuration directory (QSettings) between runs.
//
// Ownership: the window owns its widgets, its worker and the row values. When it is destroyed
// it stops the worker (up to 21 waits of 250 ms); a worker that does not stop is left running,
// never destroyed under its own feet. Threads: the window's thread only.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dyxcore/frontend.h"
#include "dyxcore/path.h"
#include "filelistmodel.h"
#include "parseworker.h"

class DelveProblems;
class QActionGroup;
class QCheckBox;
class QLineEdit;
class QMenu;
class QMenuBar;
class QSplitter;
class QPushButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

class DelveDlg : public QDialog {
  Q_OBJECT

 public:
  // The product page shown in the title.
  static constexpr const char* kProductPage = "https://quarry-software.example.org";
  static constexpr const char* kVersion = "1.0.2.2";
  // Batches are taken at most this often while a parse streams updates.
  static constexpr int kBatchIntervalMs = 50;
  // At most this many updates are applied per turn of the event loop.
  static constexpr std::size_t kUpdatesPerSlice = 4000;

  explicit DelveDlg(QWidget* parent = nullptr);
  ~DelveDlg() override;

  static QString windowTitleText();
  static QString aboutText();
  // "Get Quarry! (" + tag + ")".
  static QString rootLabel(const std::string& viewTag);
  // The label of a folder's tree item: "System (C:)" for a drive name, else the name.
  static QString folderLabel(const std::string& folderName);
  // The "Sort by" entries and their view tags, in menu order.
  static const std::vector<std::pair<QString, std::string>>& sortByEntries();

  // The size a window takes when no size was remembered (device-independent pixels); less when
  // the screen is smaller.
  static constexpr int kPreferredWidth = 900;
  static constexpr int kPreferredHeight = 560;
  // The settings file: $XDG_CONFIG_HOME/quarry/window.conf.
  static constexpr const char* kSettingsOrganization = "quarry";
  static constexpr const char* kSettingsApplication = "window";

  // The directory a typed path means: a leading "~" (alone or before "/") is `home`, "~name" is
  // that user's home directory, and a relative path lies below `home`. An empty text stays
  // empty (a parse of nothing).
  static std::string resolveTypedPath(const std::string& text, const std::string& home);

  // Start or stop, as the start/stop button does.
  void startOrStop();
  // Starts a parse of the path box's directory (stopping a running one), as Enter in the path
  // box and F5 do. A directory that does not exist or cannot be listed starts nothing: status
  // line 2 says why.
  void startParse();
  // The "Sort by" command for `tag`: nothing when it is the current one.
  void sortBy(const std::string& tag);
  // Sorts the list by `column` as a header click does.
  void sortList(int column);
  // Takes and applies every update the worker has waiting.
  void applyPendingUpdates();
  void showAbout();

  // State and controls, for the tests of the window.
  const std::string& viewTag() const { return m_viewTag; }
  const DyxPath& path() const { return m_path; }
  bool isParsingShown() const { return m_parsingShown; }
  int sortColumn() const { return m_sortColumn; }
  bool sortAscending() const { return m_sortAscending; }
  QString statusLine1() const;
  QString statusLine2() const;
  QLineEdit* pathEdit() const { return m_pathEdit; }
  QCheckBox* recurseBox() const { return m_recurseBox; }
  QPushButton* startButton() const { return m_startButton; }
  QPushButton* criterionButton() const { return m_criterionButton; }
  QLineEdit* criterionEdit() const { return m_criterionEdit; }
  QLineEdit* findEdit() const { return m_findEdit; }
  QTreeWidget* tree() const { return m_tree; }
  QTreeWidgetItem* rootItem() const { return m_rootItem; }
  QTreeView* list() const { return m_list; }
  FileListModel* listModel() const { return m_model; }
  QMenu* sortByMenu() const { return m_sortByMenu; }
  QMenu* commandMenu() const { return m_commandMenu; }
  QSplitter* splitter() const { return m_splitter; }
  // The directory of the last parse started ("" before the first): where the chooser opens.
  const std::string& lastParsedDirectory() const { return m_lastParsed; }
  ParseWorker* worker() const { return m_worker.get(); }
  // What the last parse left out, and its list window.
  DelveProblems* problems() const { return m_problems; }
  void setCriterion(const std::string& criterion);

 Q_SIGNALS:
  // A parse (or view switch) that the window saw start has ended and its updates are shown.
  void parseFinished();
  // Updates of the worker were applied.
  void updatesApplied();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct FolderRecord {
    QTreeWidgetItem* item = nullptr;
    std::string name;
    std::vector<std::uint32_t> rows;  // indexes into m_rowStore, in filing order
  };
  struct NotifySink;

  void createControls();
  void createMenus(QMenuBar* menuBar);
  void restoreSettings();
  void saveSettings();
  // The first size: the preferred one, within the screen's available geometry.
  void fitToScreen();
  // Columns as wide as their contents, once the first rows are shown.
  void fitColumnsOnce();
  // The list is no longer in the order of a header click: no arrow.
  void clearSortIndicator();
  void showMessage(const std::string& text);
  void scheduleDrain();
  // Applies the next slice of the backlog; schedules the rest for the next turn.
  void applyBacklog();
  void clearDisplay();
  void addFolder(std::uint64_t id, std::int64_t parentId, const std::string& name);
  void showParsing(bool parsing);
  void refillList();
  void writeStatusLine1();
  void browse();
  void editCriterion();
  void openSelected(bool containingFolder);
  void treeMenu(const QPoint& position);
  void listMenu(const QPoint& position);

  DyxPath m_path;
  std::string m_viewTag = DyxFrontEnd::kDefaultViewTag;
  int m_sortColumn = -1;
  bool m_sortAscending = true;

  QPushButton* m_startButton = nullptr;
  QPushButton* m_browseButton = nullptr;
  QLineEdit* m_pathEdit = nullptr;
  QPushButton* m_criterionButton = nullptr;
  QLineEdit* m_criterionEdit = nullptr;
  QCheckBox* m_recurseBox = nullptr;
  QLineEdit* m_findEdit = nullptr;
  QTreeWidget* m_tree = nullptr;
  QTreeWidgetItem* m_rootItem = nullptr;
  QTreeView* m_list = nullptr;
  FileListModel* m_model = nullptr;
  QLineEdit* m_status1 = nullptr;
  QLineEdit* m_status2 = nullptr;
  DelveProblems* m_problems = nullptr;
  QMenu* m_sortByMenu = nullptr;
  QMenu* m_commandMenu = nullptr;
  QActionGroup* m_sortByGroup = nullptr;
  QSplitter* m_splitter = nullptr;
  QIcon m_startIcon;
  QIcon m_stopIcon;
  QIcon m_folderIcon;
  QIcon m_driveIcon;

  // The display of the current generation, as values.
  std::uint64_t m_generation = 0;
  DelveRowStore m_rowStore;
  std::unordered_map<std::uint64_t, FolderRecord> m_folders;
  std::uint64_t m_selectedFolder = 0;  // 0: the list shows no folder
  unsigned m_folderCount = 0;
  unsigned m_fileCount = 0;
  DyxFindFilter m_findFilter;
  bool m_parsingShown = false;
  bool m_sawParseStart = false;
  std::string m_lastParsed;
  bool m_wasShown = false;       // only a window that was shown has a size worth keeping
  bool m_columnsFitted = false;  // fitted to the first rows, or widths restored from settings

  // Updates taken from the worker and not yet applied, in order.
  std::deque<DelveUpdate> m_backlog;
  std::string m_lastDirectory;  // the text status line 2 is to show at the end of a slice
  QTimer m_drainTimer;
  QTimer m_backlogTimer;
  QElapsedTimer m_sinceDrain;
  std::shared_ptr<NotifySink> m_sink;
  std::unique_ptr<ParseWorker> m_worker;
};
