#include "delvedlg.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include "bytes.h"
#include "commandrunner.h"
#include "delvefiltersdlg.h"
#include "foldertreemodel.h"
#include "prefwatch.h"
#include "problemsdlg.h"
#include "shell.h"
#include "typedpath.h"
#include "windowlayout.h"

// The icons live in the static library: its resources must be registered by hand.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

DelveDlg::DelveDlg(QWidget* parent) : QDialog(parent), m_feed(m_display) {
  initIconResources();
  m_feed.worker().setFollowChanges(DyxFrontEnd::followChangesPreferred());
  // A main window, not a dialog: the window manager gives it a task-bar entry and the usual
  // maximise and minimise buttons.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  createControls();
  connectDisplay();
  m_layout = new DelveWindowLayout(this, m_splitter, m_list);
}

DelveDlg::~DelveDlg() {
  m_layout->save();
  // The display model goes before the views (children): no selection change may reach it.
  m_tree->selectionModel()->disconnect(this);
}

const std::vector<std::pair<QString, std::string>>& DelveDlg::sortByEntries() {
  static const std::vector<std::pair<QString, std::string>> entries = {
      {QStringLiteral("None"), "Flat"},
      {QStringLiteral("Sort by Location"), "Location"},
      {QStringLiteral("Sort by Name"), "Name"},
      {QStringLiteral("Sort by Extension"), "Ext"},
      {QStringLiteral("Sort by Size"), "Size"},
      {QStringLiteral("Sort by Date of Modification"), "MTime"},
      {QStringLiteral("Sort by Status"), "Status"},
      {QStringLiteral("Sort by Owner"), "Owner"},
      {QStringLiteral("Sort by Group"), "Group"},
      {QStringLiteral("Sort by Type"), "Type"},
  };
  return entries;
}

void DelveDlg::createControls() {
  setWindowTitle(QStringLiteral("Quarry Software (%1)").arg(QString::fromLatin1(kProductPage)));
  setWindowIcon(QIcon(QStringLiteral(":/icons/quarry.png")));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(9, 9, 9, 9);
  auto* menuBar = new QMenuBar(this);
  layout->setMenuBar(menuBar);

  auto makeButton = [this](const char* name, const char* icon, const char* tip) {
    auto* button = new QPushButton(QIcon(QString::fromLatin1(icon)), QString(), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(QString::fromLatin1(tip));
    // Enter never presses a button of this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
  };
  auto makeEdit = [this](const char* name, const char* tip, bool readOnly) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QString::fromLatin1(name));
    if (*tip != '\0') edit->setToolTip(QString::fromLatin1(tip));
    // Read-only fields can be clicked into (to copy their text) but are no tab stops.
    edit->setReadOnly(readOnly);
    if (readOnly) edit->setFocusPolicy(Qt::ClickFocus);
    return edit;
  };
  m_startButton = makeButton("start", ":/icons/start.png", "Start/Stop parsing directory.");
  QPushButton* browseButton =
      makeButton("browse", ":/icons/folder.png", "Select directory to be parsed.");
  m_criterionButton =
      makeButton("criterionButton", ":/icons/criterion.png", "Edit search criterion.");
  m_pathEdit = makeEdit("path", "Enter directory to be parsed.", false);
  m_criterionEdit = makeEdit("criterion", "Current filter.", true);
  m_recurseBox = new QCheckBox(QStringLiteral("Recurse sub-folders"), this);
  m_recurseBox->setObjectName(QStringLiteral("recurse"));
  m_recurseBox->setToolTip(QStringLiteral("Parse selected directory and sub-folders."));
  m_findEdit = makeEdit(
      "find", "Filter list of file with given pattern. File name contains pattern.", false);

  auto* top = new QHBoxLayout();
  top->addWidget(browseButton);
  top->addWidget(m_pathEdit, 1);
  top->addWidget(m_recurseBox);
  top->addWidget(m_startButton);
  layout->addLayout(top);

  auto* second = new QHBoxLayout();
  second->addWidget(m_criterionButton);
  second->addWidget(m_criterionEdit, 1);
  auto* findLabel = new QLabel(QStringLiteral("Find:"), this);
  findLabel->setBuddy(m_findEdit);
  second->addWidget(findLabel);
  second->addWidget(m_findEdit, 1);
  layout->addLayout(second);

  m_splitter = new QSplitter(Qt::Horizontal, this);
  m_splitter->setObjectName(QStringLiteral("splitter"));
  auto makeView = [this](const char* name, QAbstractItemModel* model) {
    auto* view = new QTreeView(m_splitter);
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(model);
    view->setTabKeyNavigation(false);
    view->setUniformRowHeights(true);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    return view;
  };
  m_tree = makeView("tree", m_display.treeModel());
  m_tree->setHeaderHidden(true);
  m_tree->setToolTip(QStringLiteral("Select ordering criterion on the root item popup menu."));
  m_tree->expand(m_display.treeModel()->indexOf(DelveDisplayModel::kRootId));

  m_list = makeView("list", m_display.listModel());
  m_list->setRootIsDecorated(false);
  m_list->setItemsExpandable(false);
  m_list->setAllColumnsShowFocus(true);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_list->installEventFilter(this);
  QHeaderView* header = m_list->header();
  header->setSectionsMovable(true);
  header->setSectionsClickable(true);
  // The last column takes what is left: no empty band to the right of the columns.
  header->setStretchLastSection(true);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  const int widths[] = {120, 80, 250, 80};
  for (int column = 0; column < FileListModel::kColumnCount; ++column) {
    m_list->setColumnWidth(column, widths[column]);
  }
  m_splitter->addWidget(m_tree);
  m_splitter->addWidget(m_list);
  m_splitter->setStretchFactor(1, 1);
  m_splitter->setSizes({260, 640});
  layout->addWidget(m_splitter, 1);

  m_status1 = makeEdit("status1", "", true);
  m_status2 = makeEdit("status2", "", true);
  layout->addWidget(m_status1);
  layout->addWidget(m_status2);
  createMenus(menuBar);
  new DelveProblems(this, menuBar, m_status1, m_display);
  m_commands = new DelveCommandRunner(this);
  m_commands->setObjectName(QStringLiteral("commandRunner"));
  connect(m_commands, &DelveCommandRunner::finished, m_status2, &QLineEdit::setText);
  m_preferences = new DelvePreferenceWatch(this);
  m_preferences->setObjectName(QStringLiteral("preferenceWatch"));
  connect(m_preferences, &DelvePreferenceWatch::reread, this, &DelveDlg::preferencesReread);
  // Help stays the last menu, after the Problems menu added above.
  for (QAction* action : menuBar->actions()) {
    if (action->menu() != nullptr && action->text() == QStringLiteral("&Help")) {
      menuBar->removeAction(action);
      menuBar->addAction(action);
      break;
    }
  }

  // Path, recurse, start, criterion, Find, tree, list. The browse button is reached by the
  // menu (Ctrl+O) and does not interrupt the way from the path to the start button.
  browseButton->setFocusPolicy(Qt::ClickFocus);
  setTabOrder(m_pathEdit, m_recurseBox);
  setTabOrder(m_recurseBox, m_startButton);
  setTabOrder(m_startButton, m_criterionButton);
  setTabOrder(m_criterionButton, m_findEdit);
  setTabOrder(m_findEdit, m_tree);
  setTabOrder(m_tree, m_list);
  m_pathEdit->setFocus();
  m_recurseBox->setChecked(true);
  m_status1->setText(m_display.statusLine1());

  connect(m_startButton, &QPushButton::clicked, this, &DelveDlg::startOrStop);
  connect(browseButton, &QPushButton::clicked, this, &DelveDlg::browse);
  connect(m_criterionButton, &QPushButton::clicked, this, &DelveDlg::editCriterion);
  connect(m_pathEdit, &QLineEdit::returnPressed, this, &DelveDlg::startParse);
  connect(m_findEdit, &QLineEdit::textChanged, this,
          [this](const QString& text) { m_display.setFindText(toBytes(text)); });
  connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            m_display.selectFolder(FolderTreeModel::folderId(current));
          });
  connect(m_tree, &QTreeView::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = m_tree->indexAt(at);
    if (index.isValid() && FolderTreeModel::folderId(index) == DelveDisplayModel::kRootId) {
      m_sortByMenu->popup(m_tree->viewport()->mapToGlobal(at));
    }
  });
  connect(m_list, &QTreeView::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = m_list->indexAt(at);
    if (index.isValid()) showCommandMenu(m_list->viewport()->mapToGlobal(at), index.row());
  });
  connect(m_list, &QTreeView::doubleClicked, this, [this]() {
    const QModelIndexList rows = m_list->selectionModel()->selectedRows();
    std::string problem;
    if (!rows.isEmpty() &&
        !delveshell::openFile(m_display.listModel()->rowValues(rows.first().row()).location,
                              &problem)) {
      showMessage(problem);
    }
  });
  connect(header, &QHeaderView::sectionClicked, &m_display, &DelveDisplayModel::sortList);
}

void DelveDlg::connectDisplay() {
  connect(&m_display, &DelveDisplayModel::aboutToClear, this,
          [this]() { m_tree->setCurrentIndex(QModelIndex()); });
  connect(&m_display, &DelveDisplayModel::parsingChanged, this, [this](bool parsing) {
    m_startButton->setIcon(
        QIcon(parsing ? QStringLiteral(":/icons/stop.png") : QStringLiteral(":/icons/start.png")));
    m_criterionButton->setEnabled(!parsing);
    if (parsing) m_status2->clear();
  });
  connect(&m_display, &DelveDisplayModel::directoryShown, m_status2, &QLineEdit::setText);
  connect(&m_display, &DelveDisplayModel::statusLine1Changed, this,
          [this]() { m_status1->setText(m_display.statusLine1()); });
  connect(&m_display, &DelveDisplayModel::sortChanged, this, [this]() {
    QHeaderView* header = m_list->header();
    header->setSortIndicatorShown(m_display.sortColumn() >= 0);
    if (m_display.sortColumn() >= 0) {
      header->setSortIndicator(m_display.sortColumn(), m_display.sortAscending()
                                                           ? Qt::AscendingOrder
                                                           : Qt::DescendingOrder);
    }
  });
  connect(&m_display, &DelveDisplayModel::parseFinished, this, &DelveDlg::parseFinished);
  connect(&m_display, &DelveDisplayModel::indexRestored, this, [this](const QString& text) {
    m_status2->setText(text);
    Q_EMIT indexRestored();
  });
  connect(&m_display, &DelveDisplayModel::folderReselected, this, [this](std::uint64_t id) {
    m_tree->setCurrentIndex(m_display.treeModel()->indexOf(id));
  });
}

bool DelveDlg::restoreLastParse() {
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
  if (!info.found) return false;
  m_pathEdit->setText(fromBytes(info.dir));
  m_recurseBox->setChecked(info.recursive);
  setCriterion(info.criterion);
  m_lastParsed = info.dir;
  m_feed.worker().submitRestore(m_display.viewTag());
  return true;
}

void DelveDlg::createMenus(QMenuBar* menuBar) {
  QMenu* file = menuBar->addMenu(QStringLiteral("&File"));
  file->addAction(QStringLiteral("&Parse"), QKeySequence(Qt::Key_F5), this, &DelveDlg::startParse);
  file->addAction(QStringLiteral("&Stop"), this, &DelveDlg::stopParse);
  m_followAction = file->addAction(QStringLiteral("Follow &Changes"));
  m_followAction->setObjectName(QStringLiteral("followChanges"));
  m_followAction->setCheckable(true);
  m_followAction->setToolTip(
      QStringLiteral("Show files created, changed and removed in the parsed folders at once."));
  m_followAction->setChecked(m_feed.worker().followsChanges());
  connect(m_followAction, &QAction::toggled, this, &DelveDlg::setFollowChanges);
  file->addAction(QStringLiteral("Choose &Folder..."), QKeySequence::Open, this, &DelveDlg::browse);
  file->addSeparator();
  file->addAction(QStringLiteral("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), this,
                  &QWidget::close);

  QMenu* edit = menuBar->addMenu(QStringLiteral("&Edit"));
  for (const auto& [text, key, field] : {std::tuple{"&Location", Qt::Key_L, m_pathEdit},
                                         std::tuple{"&Find", Qt::Key_F, m_findEdit}}) {
    QLineEdit* target = field;
    edit->addAction(QString::fromLatin1(text), QKeySequence(Qt::CTRL | key), this, [target]() {
      target->setFocus(Qt::ShortcutFocusReason);
      target->selectAll();
    });
  }
  edit->addAction(QStringLiteral("Search &Conditions..."), this, &DelveDlg::editCriterion);

  // One menu object serves both the tree root's popup and the menu bar; the entry of the
  // current view is marked.
  m_sortByMenu = menuBar->addMenu(QStringLiteral("&View"));
  m_sortByMenu->setObjectName(QStringLiteral("viewMenu"));
  m_sortByGroup = new QActionGroup(this);
  m_sortByGroup->setExclusive(true);
  static const char* const kMnemonics[] = {"&None",           "Sort by &Location",
                                           "Sort by &Name",   "Sort by &Extension",
                                           "Sort by Si&ze",   "Sort by &Date of Modification",
                                           "Sort by S&tatus", "Sort by &Owner",
                                           "Sort by &Group",  "Sort by T&ype"};
  std::size_t index = 0;
  for (const auto& [label, tag] : sortByEntries()) {
    const std::string viewTag = tag;
    QAction* action = m_sortByMenu->addAction(QString::fromLatin1(kMnemonics[index++]), this,
                                              [this, viewTag]() { sortBy(viewTag); });
    action->setCheckable(true);
    action->setChecked(viewTag == m_display.viewTag());
    action->setData(QString::fromStdString(viewTag));
    m_sortByGroup->addAction(action);
  }
  refreshSortByMenu();
  connect(m_sortByMenu, &QMenu::aboutToShow, this, &DelveDlg::refreshSortByMenu);

  m_commandMenu = new QMenu(this);
  m_commandMenu->setObjectName(QStringLiteral("commandMenu"));
  m_commandMenu->addAction(QStringLiteral("&Open"), this, [this]() { openSelected(false); });
  m_commandMenu->addAction(QStringLiteral("Open Containing &Folder"), this,
                           [this]() { openSelected(true); });

  // Where the system menu would hold it, the About item sits in the window's own menu.
  QMenu* help = menuBar->addMenu(QStringLiteral("&Help"));
  help->addAction(QStringLiteral("&About Quarry Software!..."), this, &DelveDlg::showAbout);
}

void DelveDlg::refreshSortByMenu() {
  // The entries after the predefined views' are the view files' (and their separator): made
  // anew from conf/views.
  const QList<QAction*> actions = m_sortByMenu->actions();
  for (qsizetype i = static_cast<qsizetype>(sortByEntries().size()); i < actions.size(); ++i) {
    m_sortByGroup->removeAction(actions[i]);
    m_sortByMenu->removeAction(actions[i]);
    actions[i]->deleteLater();
  }
  bool first = true;
  for (const DyxViewChoice& choice : DyxFrontEnd::viewChoices()) {
    if (choice.kind.isPhysical()) continue;
    if (first) m_sortByMenu->addSeparator();
    first = false;
    const std::string tag = choice.tag;
    const QString kind = choice.kind.value() == DyxViewKind::kUser ? QStringLiteral("user view")
                                                                   : QStringLiteral("filter view");
    // An "&" in a tag is shown, not taken for a mnemonic.
    QString label = fromBytes(tag);
    label.replace(QLatin1Char('&'), QStringLiteral("&&"));
    QAction* action =
        m_sortByMenu->addAction(label + QStringLiteral(" (") + kind + QLatin1Char(')'), this,
                                [this, tag]() { sortBy(tag); });
    action->setCheckable(true);
    action->setChecked(tag == m_display.viewTag());
    action->setData(QString::fromStdString(tag));
    m_sortByGroup->addAction(action);
  }
}

void DelveDlg::showCommandMenu(const QPoint& globalPos, int row) {
  // Everything after Open and Open Containing Folder belongs to the last file shown.
  const QList<QAction*> actions = m_commandMenu->actions();
  for (qsizetype i = 2; i < actions.size(); ++i) {
    m_commandMenu->removeAction(actions[i]);
    actions[i]->deleteLater();
  }
  m_commands->addCommandActions(m_commandMenu, m_display.listModel()->rowValues(row).location);
  m_commandMenu->popup(globalPos);
}

void DelveDlg::preferencesReread(const QString& text, const QStringList& changed) {
  const std::string& tag = m_display.viewTag();
  const bool rebuild = (tag == "Ext" && changed.contains(QStringLiteral("ExtCase"))) ||
                       (tag == "Name" && changed.contains(QStringLiteral("NameCase")));
  if (!rebuild) {
    m_status2->setText(text);
    return;
  }
  // The engine dropped the view on the change: built again, it files by the new value. The
  // rebuild empties status line 2 as it starts, so the text is shown once it is done.
  connect(
      this, &DelveDlg::parseFinished, m_status2, [this, text]() { m_status2->setText(text); },
      Qt::SingleShotConnection);
  m_feed.worker().submitViewSwitch(tag);
}

void DelveDlg::showMessage(const std::string& text) {
  if (!text.empty()) m_status2->setText(fromBytes(text));
}

bool DelveDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_list && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      openSelected(false);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void DelveDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      // Stops a parse; never closes the window.
      stopParse();
      event->accept();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // Neither closes the window nor presses a button.
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void DelveDlg::showAbout() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("About Quarry Software"),
                  QStringLiteral("Quarry Software\nVersion ") + QString::fromLatin1(kVersion),
                  QMessageBox::Ok, this);
  box.setIconPixmap(QIcon(QStringLiteral(":/icons/quarry.png")).pixmap(48, 48));
  box.exec();
}

void DelveDlg::stopParse() {
  if (m_feed.worker().isParsing()) m_feed.worker().requestStopParse();
}

void DelveDlg::startOrStop() {
  if (m_feed.worker().isParsing()) {
    m_feed.worker().requestStopParse();
    return;
  }
  startParse();
}

void DelveDlg::startParse() {
  const QString problems = DelveFiltersDlg::criterionProblems(m_feed.worker().criterion());
  if (!problems.isEmpty()) {
    m_status2->setText(problems);
    return;
  }
  const std::string dir =
      delvepath::resolve(toBytes(m_pathEdit->text()), toBytes(QDir::homePath()));
  if (!dir.empty()) {
    const std::string problem = delvepath::whyNotListable(dir);
    if (!problem.empty()) {
      showMessage(problem);
      return;
    }
    m_lastParsed = dir;
  }
  m_feed.worker().submitParse(dir, m_recurseBox->isChecked(), m_display.viewTag());
}

void DelveDlg::sortBy(const std::string& tag) {
  if (tag == m_display.viewTag()) return;
  m_display.setViewTag(tag);
  for (QAction* action : m_sortByGroup->actions()) {
    action->setChecked(action->data().toString().toStdString() == tag);
  }
  m_feed.worker().submitViewSwitch(tag);
}

void DelveDlg::browse() {
  const std::string start = m_lastParsed.empty() ? toBytes(QDir::homePath()) : m_lastParsed;
  const DyxPath chosen = delveshell::browseForFolder(this, DyxPath(start), false);
  const std::string text = chosen.toString();
  if (text.empty()) return;
  m_pathEdit->setText(fromBytes(text));
  startOrStop();
}

void DelveDlg::setCriterion(const std::string& criterion) {
  m_feed.worker().setCriterion(criterion);
  m_criterionEdit->setText(fromBytes(criterion));
  const QString problems = DelveFiltersDlg::criterionProblems(criterion);
  if (!problems.isEmpty()) m_status2->setText(problems);
}

void DelveDlg::setFollowChanges(bool on) {
  if (m_followAction->isChecked() != on) m_followAction->setChecked(on);  // toggles again
  if (on == m_feed.worker().followsChanges()) return;
  m_feed.worker().setFollowChanges(on);
  if (!DyxFrontEnd::preferFollowChanges(on)) {
    showMessage("The choice to follow changes could not be saved in conf/pref.ini.");
  }
}

void DelveDlg::editCriterion() {
  DelveFiltersDlg dialog(m_feed.worker().criterion(), this);
  if (dialog.exec() == QDialog::Accepted) setCriterion(dialog.criterion());
}

void DelveDlg::openSelected(bool containingFolder) {
  std::vector<std::string> locations;
  for (const QModelIndex& index : m_list->selectionModel()->selectedRows()) {
    locations.push_back(m_display.listModel()->rowValues(index.row()).location);
  }
  std::string problem;
  for (const std::string& location : locations) {
    // The location as the file system's bytes, untouched.
    const bool opened = containingFolder ? delveshell::openContainingFolder(location, &problem)
                                         : delveshell::openFile(location, &problem);
    if (!opened) showMessage(problem);
  }
}
