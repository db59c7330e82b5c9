// DelveDlg: the program's one window. The user names a directory, starts and stops a parse,
// picks the view that orders the files ("Sort by" on the tree's root item), narrows the list
// with the Find box, edits the search criterion and opens files from the list.
//
// The window holds widgets and wiring. Its parse worker runs the engine and hands over the
// display's changes as values in batches (parseworker.h, parsefeed.h); its display model
// (displaymodel.h) keeps those values and is what the tree and the list show. After a parse the
// window follows changes in the parsed folders ("Follow changes" in the File menu, on unless
// the preference FollowChanges is "false"): files created, changed and removed show at once.
// The tests read the display model and find the controls by their object names ("path",
// "recurse", "start", "criterionButton", "criterion", "find", "tree", "list", "status1",
// "status2", "splitter", "viewMenu", "commandMenu", "followChanges").
//
// "Sort by" offers the predefined views and then every user and filter view of conf/views (read
// again each time the menu opens); the list's context menu adds the launcher commands of
// conf/app.ini that apply to the file, run in the background (commandrunner.h); an edit of
// conf/pref.ini reaches the engine while the window runs (prefwatch.h).
//
// It is a normal main window to the window manager (not a dialog), used from the keyboard alone
// as well as with the mouse: the focus starts in the path box, Enter there starts the parse,
// Escape stops it, Enter on list rows opens them, and the menus carry the shortcuts. A typed path
// means what a person means (typedpath.h). Its size, splitter and column widths are kept between
// runs (windowlayout.h).
//
// Ownership: the window owns its widgets, its display model and its worker (through the feed,
// which stops the worker and waits for it when the window goes). Threads: the window's thread.
#pragma once

#include <QDialog>
#include <string>
#include <utility>
#include <vector>

#include "displaymodel.h"
#include "parsefeed.h"

class DelveCommandRunner;
class DelvePreferenceWatch;
class DelveWindowLayout;
class QAction;
class QActionGroup;
class QCheckBox;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QSplitter;
class QTreeView;

class DelveDlg : public QDialog {
  Q_OBJECT

 public:
  // The product page shown in the title.
  static constexpr const char* kProductPage = "https://quarry-software.example.org";
  static constexpr const char* kVersion = QUARRY_VERSION;  // from the project's CMake version

  explicit DelveDlg(QWidget* parent = nullptr);
  ~DelveDlg() override;

  // The "Sort by" entries of the predefined views and their view tags, in menu order; the views
  // of conf/views follow them in the menu, labelled with their tags.
  static const std::vector<std::pair<QString, std::string>>& sortByEntries();

  // Start or stop, as the start/stop button does.
  void startOrStop();
  // Starts a parse of the path box's directory (stopping a running one), as Enter in the path
  // box and F5 do. A directory that does not exist or cannot be listed starts nothing: status
  // line 2 says why.
  void startParse();
  // The "Sort by" command for `tag`: nothing when it is the current one.
  void sortBy(const std::string& tag);
  void setCriterion(const std::string& criterion);
  void showAbout();
  // The program's start: when a saved index of the last parse exists, its directory, flag and
  // criterion fill the controls and its rows are shown at once, before anything is read; the
  // worker then brings it up to date (only changed folders are read) and shows the result.
  // Answers whether there was an index to restore.
  bool restoreLastParse();
  // "Follow changes": kept as the preference FollowChanges.
  void setFollowChanges(bool on);

  const DelveDisplayModel& display() const { return m_display; }

 Q_SIGNALS:
  // A parse (or view switch) that the window saw start has ended and its updates are shown.
  void parseFinished();
  // The rows of the saved index are shown; its update pass starts.
  void indexRestored();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void createControls();
  void createMenus(QMenuBar* menuBar);
  // Lists the views of conf/views after the predefined ones, marking the current view.
  void refreshSortByMenu();
  // The list's context menu for the row at `row`: Open, Open Containing Folder and the commands
  // that apply to the row's file.
  void showCommandMenu(const QPoint& globalPos, int row);
  // A re-read of conf/pref.ini: said on status line 2; a view that files by a changed case
  // preference is built again.
  void preferencesReread(const QString& text, const QStringList& changed);
  void connectDisplay();
  void showMessage(const std::string& text);
  void stopParse();
  void browse();
  void editCriterion();
  void openSelected(bool containingFolder);

  DelveDisplayModel m_display;

  QLineEdit* m_pathEdit = nullptr;
  QCheckBox* m_recurseBox = nullptr;
  QPushButton* m_startButton = nullptr;
  QPushButton* m_criterionButton = nullptr;
  QLineEdit* m_criterionEdit = nullptr;
  QLineEdit* m_findEdit = nullptr;
  QTreeView* m_tree = nullptr;
  QTreeView* m_list = nullptr;
  QLineEdit* m_status1 = nullptr;
  QLineEdit* m_status2 = nullptr;
  QMenu* m_sortByMenu = nullptr;
  QMenu* m_commandMenu = nullptr;
  QActionGroup* m_sortByGroup = nullptr;
  DelveCommandRunner* m_commands = nullptr;
  DelvePreferenceWatch* m_preferences = nullptr;
  QAction* m_followAction = nullptr;
  QSplitter* m_splitter = nullptr;

  std::string m_lastParsed;  // the directory of the last parse started: the chooser opens it
  DelveWindowLayout* m_layout = nullptr;
  // Declared after the display model: destroyed first, it stops the worker before the model goes.
  ParseFeed m_feed;
};
