#include "delvedlg.h"

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

#include <QActionGroup>
#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "bytes.h"
#include "delvefiltersdlg.h"
#include "filelistmodel.h"
#include "parseworker.h"
#include "problemsdlg.h"
#include "shell.h"

// The icons live in the static library: its resources must be registered by hand.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace {

// The tree keeps the children of an item sorted by label: case-insensitive first, so that
// "apple" and "Apple" stay together, then case-sensitive so that the order is total.
int compareLabels(const QString& a, const QString& b) {
  const int folded = QString::compare(a, b, Qt::CaseInsensitive);
  return folded != 0 ? folded : QString::compare(a, b, Qt::CaseSensitive);
}

void insertSorted(QTreeWidgetItem* parent, QTreeWidgetItem* item) {
  const QString label = item->text(0);
  int low = 0;
  int high = parent->childCount();
  while (low < high) {
    const int middle = (low + high) / 2;
    if (compareLabels(parent->child(middle)->text(0), label) <= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  parent->insertChild(low, item);
}

constexpr int kFolderIdRole = Qt::UserRole;

// Why the directory cannot be parsed, or "" when it can be listed.
std::string whyNotListable(const std::string& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle != nullptr) {
    ::closedir(handle);
    return std::string();
  }
  const int error = errno;
  if (error == ENOENT) return "No such folder: " + dir;
  if (error == ENOTDIR) return "Not a folder: " + dir;
  return "Cannot list " + dir + ": " + std::strerror(error);
}

// The home directory of the user `name`, or "" when there is no such user.
std::string homeOfUser(const std::string& name) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::string();
  }
  return found->pw_dir;
}

}  // namespace

// Lets the worker reach the window until the window starts going away.
struct DelveDlg::NotifySink {
  std::mutex mutex;
  DelveDlg* target = nullptr;
};

DelveDlg::DelveDlg(QWidget* parent) : QDialog(parent), m_sink(std::make_shared<NotifySink>()) {
  initIconResources();
  // A main window, not a dialog: the window manager gives it a task-bar entry and the usual
  // maximise and minimise buttons.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  createControls();
  fitToScreen();
  restoreSettings();
  m_drainTimer.setSingleShot(true);
  connect(&m_drainTimer, &QTimer::timeout, this, &DelveDlg::applyPendingUpdates);
  m_backlogTimer.setSingleShot(true);
  connect(&m_backlogTimer, &QTimer::timeout, this, &DelveDlg::applyBacklog);
  m_sinceDrain.start();

  m_sink->target = this;
  std::shared_ptr<NotifySink> sink = m_sink;
  m_worker = std::make_unique<ParseWorker>([sink]() {
    std::lock_guard<std::mutex> lock(sink->mutex);
    DelveDlg* target = sink->target;
    if (target != nullptr) {
      QMetaObject::invokeMethod(
          target, [target]() { target->scheduleDrain(); }, Qt::QueuedConnection);
    }
  });
  m_worker->begin();
}

DelveDlg::~DelveDlg() {
  saveSettings();
  {
    std::lock_guard<std::mutex> lock(m_sink->mutex);
    m_sink->target = nullptr;
  }
  if (m_worker && !m_worker->shutdown()) {
    // Destroying a thread object whose thread still runs would pull its members away from it.
    (void)m_worker.release();
  }
  // The views outlive this body (they are children): they must find no rows to read.
  m_model->clear();
}

QString DelveDlg::windowTitleText() {
  return QStringLiteral("Quarry Software (") + QString::fromLatin1(kProductPage) +
         QStringLiteral(")");
}

QString DelveDlg::aboutText() {
  return QStringLiteral("Quarry Software\nVersion ") + QString::fromLatin1(kVersion);
}

QString DelveDlg::rootLabel(const std::string& viewTag) {
  return QStringLiteral("Get Quarry! (") + fromBytes(viewTag) + QStringLiteral(")");
}

QString DelveDlg::folderLabel(const std::string& folderName) {
  return fromBytes(DyxFrontEnd::treeLabel(folderName));
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
  };
  return entries;
}

void DelveDlg::createControls() {
  setWindowTitle(windowTitleText());
  setWindowIcon(QIcon(QStringLiteral(":/icons/quarry.png")));

  m_startIcon = QIcon(QStringLiteral(":/icons/start.png"));
  m_stopIcon = QIcon(QStringLiteral(":/icons/stop.png"));
  m_folderIcon = QIcon(QStringLiteral(":/icons/folder.png"));
  m_folderIcon.addFile(QStringLiteral(":/icons/folder-open.png"), QSize(), QIcon::Selected);
  m_driveIcon = QIcon(QStringLiteral(":/icons/drive.png"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(9, 9, 9, 9);

  auto* menuBar = new QMenuBar(this);
  layout->setMenuBar(menuBar);

  auto makeButton = [this](const QIcon& icon, const QString& tip) {
    auto* button = new QPushButton(icon, QString(), this);
    button->setToolTip(tip);
    // Enter never presses a button of this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
  };
  m_startButton = makeButton(m_startIcon, QStringLiteral("Start/Stop parsing directory."));
  m_browseButton = makeButton(QIcon(QStringLiteral(":/icons/folder.png")),
                              QStringLiteral("Select directory to be parsed."));
  m_criterionButton = makeButton(QIcon(QStringLiteral(":/icons/criterion.png")),
                                 QStringLiteral("Edit search criterion."));
  m_pathEdit = new QLineEdit(this);
  m_pathEdit->setToolTip(QStringLiteral("Enter directory to be parsed."));
  m_criterionEdit = new QLineEdit(this);
  m_criterionEdit->setReadOnly(true);
  // Read-only fields can be clicked into (to copy their text) but are no tab stops.
  m_criterionEdit->setFocusPolicy(Qt::ClickFocus);
  m_criterionEdit->setToolTip(QStringLiteral("Current filter."));
  m_recurseBox = new QCheckBox(QStringLiteral("Recurse sub-folders"), this);
  m_recurseBox->setToolTip(QStringLiteral("Parse selected directory and sub-folders."));
  m_findEdit = new QLineEdit(this);
  m_findEdit->setToolTip(
      QStringLiteral("Filter list of file with given pattern. File name contains pattern."));

  auto* top = new QHBoxLayout();
  top->addWidget(m_browseButton);
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

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  m_splitter = splitter;
  m_tree = new QTreeWidget(splitter);
  m_tree->setTabKeyNavigation(false);
  m_tree->setHeaderHidden(true);
  m_tree->setColumnCount(1);
  m_tree->setToolTip(QStringLiteral("Select ordering criterion on the root item popup menu."));
  m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
  m_rootItem = new QTreeWidgetItem(QStringList(QStringLiteral("Get Quarry!")));
  m_rootItem->setIcon(0, QIcon(QStringLiteral(":/icons/quarry.png")));
  m_tree->addTopLevelItem(m_rootItem);
  m_rootItem->setExpanded(true);
  m_rootItem->setText(0, rootLabel(m_viewTag));

  m_model = new FileListModel(m_rowStore, this);
  m_list = new QTreeView(splitter);
  m_list->setModel(m_model);
  m_list->setRootIsDecorated(false);
  m_list->setItemsExpandable(false);
  m_list->setUniformRowHeights(true);
  m_list->setAllColumnsShowFocus(true);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_list->setContextMenuPolicy(Qt::CustomContextMenu);
  m_list->setSortingEnabled(false);
  m_list->setTabKeyNavigation(false);
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
  splitter->addWidget(m_tree);
  splitter->addWidget(m_list);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({260, 640});
  layout->addWidget(splitter, 1);

  m_status1 = new QLineEdit(this);
  m_status1->setReadOnly(true);
  m_status1->setFocusPolicy(Qt::ClickFocus);
  m_status2 = new QLineEdit(this);
  m_status2->setReadOnly(true);
  m_status2->setFocusPolicy(Qt::ClickFocus);
  layout->addWidget(m_status1);
  layout->addWidget(m_status2);
  m_problems = new DelveProblems(this, menuBar, m_status1);

  createMenus(menuBar);

  // Path, recurse, start, criterion, Find, tree, list. The browse button is reached by the
  // menu (Ctrl+O) and does not interrupt the way from the path to the start button.
  m_browseButton->setFocusPolicy(Qt::ClickFocus);
  setTabOrder(m_pathEdit, m_recurseBox);
  setTabOrder(m_recurseBox, m_startButton);
  setTabOrder(m_startButton, m_criterionButton);
  setTabOrder(m_criterionButton, m_findEdit);
  setTabOrder(m_findEdit, m_tree);
  setTabOrder(m_tree, m_list);
  m_pathEdit->setFocus();

  m_recurseBox->setChecked(true);
  writeStatusLine1();

  connect(m_startButton, &QPushButton::clicked, this, &DelveDlg::startOrStop);
  connect(m_browseButton, &QPushButton::clicked, this, &DelveDlg::browse);
  connect(m_criterionButton, &QPushButton::clicked, this, &DelveDlg::editCriterion);
  connect(m_pathEdit, &QLineEdit::textChanged, this,
          [this](const QString& text) { m_path = DyxPath(toBytes(text)); });
  connect(m_pathEdit, &QLineEdit::returnPressed, this, &DelveDlg::startParse);
  connect(m_findEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
    m_findFilter.setText(toBytes(text));
    refillList();
  });
  connect(m_tree, &QTreeWidget::currentItemChanged, this, [this]() { refillList(); });
  connect(m_tree, &QTreeWidget::customContextMenuRequested, this, &DelveDlg::treeMenu);
  connect(m_list, &QTreeView::customContextMenuRequested, this, &DelveDlg::listMenu);
  connect(m_list, &QTreeView::doubleClicked, this, [this]() {
    const QModelIndexList rows = m_list->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    std::string problem;
    if (!delveshell::openFile(m_model->rowValues(rows.first().row()).location, &problem)) {
      showMessage(problem);
    }
  });
  connect(header, &QHeaderView::sectionClicked, this, &DelveDlg::sortList);
  connect(m_model, &QAbstractItemModel::rowsInserted, this, &DelveDlg::fitColumnsOnce);
  connect(m_model, &QAbstractItemModel::modelReset, this, &DelveDlg::fitColumnsOnce);
}

void DelveDlg::createMenus(QMenuBar* menuBar) {
  QMenu* file = menuBar->addMenu(QStringLiteral("&File"));
  file->addAction(QStringLiteral("&Parse"), QKeySequence(Qt::Key_F5), this,
                  &DelveDlg::startParse);
  file->addAction(QStringLiteral("&Stop"), this, [this]() {
    if (m_worker != nullptr && m_worker->isParsing()) m_worker->requestStopParse();
  });
  file->addAction(QStringLiteral("Choose &Folder..."), QKeySequence::Open, this,
                  &DelveDlg::browse);
  file->addSeparator();
  file->addAction(QStringLiteral("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), this,
                  &QWidget::close);

  QMenu* edit = menuBar->addMenu(QStringLiteral("&Edit"));
  edit->addAction(QStringLiteral("&Location"), QKeySequence(Qt::CTRL | Qt::Key_L), this,
                  [this]() {
                    m_pathEdit->setFocus(Qt::ShortcutFocusReason);
                    m_pathEdit->selectAll();
                  });
  edit->addAction(QStringLiteral("&Find"), QKeySequence(Qt::CTRL | Qt::Key_F), this, [this]() {
    m_findEdit->setFocus(Qt::ShortcutFocusReason);
    m_findEdit->selectAll();
  });
  edit->addAction(QStringLiteral("Search &Conditions..."), this, &DelveDlg::editCriterion);

  // One menu object serves both the tree root's popup and the menu bar; the entry of the
  // current view is marked.
  m_sortByMenu = menuBar->addMenu(QStringLiteral("&View"));
  m_sortByGroup = new QActionGroup(this);
  m_sortByGroup->setExclusive(true);
  static const char* const kMnemonics[] = {"&None",
                                           "Sort by &Location",
                                           "Sort by &Name",
                                           "Sort by &Extension",
                                           "Sort by Si&ze",
                                           "Sort by &Date of Modification",
                                           "Sort by S&tatus",
                                           "Sort by &Owner",
                                           "Sort by &Group"};
  std::size_t index = 0;
  for (const auto& [label, tag] : sortByEntries()) {
    const std::string viewTag = tag;
    QAction* action = m_sortByMenu->addAction(QString::fromLatin1(kMnemonics[index++]), this,
                                              [this, viewTag]() { sortBy(viewTag); });
    action->setCheckable(true);
    action->setChecked(viewTag == m_viewTag);
    action->setData(QString::fromStdString(viewTag));
    m_sortByGroup->addAction(action);
  }

  m_commandMenu = new QMenu(this);
  m_commandMenu->addAction(QStringLiteral("&Open"), this, [this]() { openSelected(false); });
  m_commandMenu->addAction(QStringLiteral("Open Containing &Folder"), this,
                           [this]() { openSelected(true); });

  // Where the system menu would hold it, the About item sits in the window's own menu.
  QMenu* help = menuBar->addMenu(QStringLiteral("&Help"));
  help->addAction(QStringLiteral("&About Quarry Software!..."), this, &DelveDlg::showAbout);
}

std::string DelveDlg::resolveTypedPath(const std::string& text, const std::string& home) {
  if (text.empty()) return text;
  std::string path = text;
  if (path[0] == '~') {
    const std::size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos
                                                                        : slash - 1);
    const std::string base = user.empty() ? home : homeOfUser(user);
    // "~name" of no known user is a relative name like any other.
    if (!base.empty()) {
      return slash == std::string::npos ? base : base + path.substr(slash);
    }
  }
  if (path[0] == '/') return path;
  if (home.empty()) return path;
  return home.back() == '/' ? home + path : home + "/" + path;
}

void DelveDlg::fitToScreen() {
  QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
  QSize size(kPreferredWidth, kPreferredHeight);
  if (screen != nullptr) {
    const QRect available = screen->availableGeometry();
    // A tenth of the room stays for the window manager's frame.
    const QSize room(available.width() * 9 / 10, available.height() * 9 / 10);
    size = size.boundedTo(room).expandedTo(minimumSizeHint()).boundedTo(available.size());
    resize(size);
    move(available.topLeft() + QPoint((available.width() - size.width()) / 2,
                                      (available.height() - size.height()) / 2));
  } else {
    resize(size);
  }
  m_splitter->setSizes({size.width() * 3 / 10, size.width() * 7 / 10});
}

void DelveDlg::restoreSettings() {
  QSettings settings(QString::fromLatin1(kSettingsOrganization),
                     QString::fromLatin1(kSettingsApplication));
  const QByteArray geometry = settings.value(QStringLiteral("geometry")).toByteArray();
  // restoreGeometry moves a window that would lie off the screen back onto it.
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  const QByteArray splitter = settings.value(QStringLiteral("splitter")).toByteArray();
  if (!splitter.isEmpty()) m_splitter->restoreState(splitter);
  const QByteArray columns = settings.value(QStringLiteral("columns")).toByteArray();
  if (!columns.isEmpty() && m_list->header()->restoreState(columns)) m_columnsFitted = true;
}

void DelveDlg::saveSettings() {
  if (!m_wasShown) return;
  QSettings settings(QString::fromLatin1(kSettingsOrganization),
                     QString::fromLatin1(kSettingsApplication));
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
  settings.setValue(QStringLiteral("splitter"), m_splitter->saveState());
  // Widths fitted to no rows at all say nothing: the next run fits them to its rows.
  if (m_columnsFitted) settings.setValue(QStringLiteral("columns"), m_list->header()->saveState());
}

void DelveDlg::fitColumnsOnce() {
  if (m_columnsFitted || m_model->rowCount() == 0) return;
  m_columnsFitted = true;
  // After the rows are laid out: the view measures the rows it shows.
  QTimer::singleShot(0, this, [this]() {
    const int widest = std::max(120, m_list->viewport()->width() / 2);
    for (int column = 0; column < FileListModel::kColumnCount; ++column) {
      m_list->resizeColumnToContents(column);
      if (m_list->columnWidth(column) > widest) m_list->setColumnWidth(column, widest);
    }
  });
}

void DelveDlg::clearSortIndicator() {
  m_sortColumn = -1;
  m_sortAscending = true;
  m_list->header()->setSortIndicatorShown(false);
}

void DelveDlg::showMessage(const std::string& text) {
  if (!text.empty()) m_status2->setText(fromBytes(text));
}

void DelveDlg::showEvent(QShowEvent* event) {
  m_wasShown = true;
  QDialog::showEvent(event);
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
      if (m_worker != nullptr && m_worker->isParsing()) m_worker->requestStopParse();
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
  QMessageBox box(QMessageBox::Information, QStringLiteral("About Quarry Software"), aboutText(),
                  QMessageBox::Ok, this);
  box.setIconPixmap(QIcon(QStringLiteral(":/icons/quarry.png")).pixmap(48, 48));
  box.exec();
}

void DelveDlg::startOrStop() {
  if (m_worker == nullptr) return;
  if (m_worker->isParsing()) {
    m_worker->requestStopParse();
    return;
  }
  startParse();
}

void DelveDlg::startParse() {
  if (m_worker == nullptr) return;
  const std::string dir = resolveTypedPath(toBytes(m_pathEdit->text()), toBytes(QDir::homePath()));
  if (!dir.empty()) {
    const std::string problem = whyNotListable(dir);
    if (!problem.empty()) {
      showMessage(problem);
      return;
    }
    m_lastParsed = dir;
  }
  m_worker->submitParse(dir, m_recurseBox->isChecked(), m_viewTag);
}

void DelveDlg::sortBy(const std::string& tag) {
  if (tag == m_viewTag || m_worker == nullptr) return;
  m_viewTag = tag;
  m_rootItem->setText(0, rootLabel(m_viewTag));
  for (QAction* action : m_sortByGroup->actions()) {
    action->setChecked(action->data().toString().toStdString() == tag);
  }
  m_worker->submitViewSwitch(tag);
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
  if (m_worker) m_worker->setCriterion(criterion);
  m_criterionEdit->setText(fromBytes(criterion));
}

void DelveDlg::editCriterion() {
  DelveFiltersDlg dialog(m_worker ? m_worker->criterion() : std::string(), this);
  if (dialog.exec() == QDialog::Accepted) setCriterion(dialog.criterion());
}

void DelveDlg::openSelected(bool containingFolder) {
  const QModelIndexList rows = m_list->selectionModel()->selectedRows();
  std::vector<std::string> locations;
  for (const QModelIndex& index : rows)
    locations.push_back(m_model->rowValues(index.row()).location);
  std::string problem;
  for (const std::string& location : locations) {
    // The location as the file system's bytes, untouched.
    const bool opened = containingFolder
                            ? delveshell::openContainingFolder(location, &problem)
                            : delveshell::openFile(location, &problem);
    if (!opened) showMessage(problem);
  }
}

void DelveDlg::treeMenu(const QPoint& position) {
  if (m_tree->itemAt(position) == m_rootItem) {
    m_sortByMenu->popup(m_tree->viewport()->mapToGlobal(position));
  }
}

void DelveDlg::listMenu(const QPoint& position) {
  if (m_list->indexAt(position).isValid()) {
    m_commandMenu->popup(m_list->viewport()->mapToGlobal(position));
  }
}

void DelveDlg::sortList(int column) {
  if (column == m_sortColumn) {
    m_sortAscending = !m_sortAscending;
  } else {
    m_sortColumn = column;
    m_sortAscending = true;
  }
  m_model->sortRows(column, m_sortAscending);
  m_list->header()->setSortIndicatorShown(true);
  m_list->header()->setSortIndicator(column,
                                     m_sortAscending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void DelveDlg::scheduleDrain() {
  if (m_drainTimer.isActive()) return;
  const qint64 waited = m_sinceDrain.elapsed();
  m_drainTimer.start(waited >= kBatchIntervalMs ? 0 : static_cast<int>(kBatchIntervalMs - waited));
}

void DelveDlg::applyPendingUpdates() {
  if (m_worker == nullptr) return;
  m_drainTimer.stop();
  DelveUpdateBatch batch = m_worker->takeUpdates();
  m_sinceDrain.restart();
  std::vector<DelveUpdate>& updates = batch.updates;
  // Updates before the last clear would be wiped by it: only their state changes still count.
  std::size_t lastClear = updates.size();
  for (std::size_t i = 0; i < updates.size(); ++i) {
    if (updates[i].kind == DelveUpdate::Kind::kClear) lastClear = i;
  }
  if (lastClear < updates.size()) {
    std::erase_if(m_backlog,
                  [](const DelveUpdate& u) { return u.kind != DelveUpdate::Kind::kState; });
  }
  for (std::size_t i = 0; i < updates.size(); ++i) {
    if (lastClear < updates.size() && i < lastClear &&
        updates[i].kind != DelveUpdate::Kind::kState) {
      continue;
    }
    m_backlog.push_back(std::move(updates[i]));
  }
  applyBacklog();
}

void DelveDlg::applyBacklog() {
  // A slice at a time, so that input and painting get their turn between slices.
  std::vector<std::uint32_t> appended;
  bool finished = false;
  std::size_t done = 0;
  // Status line 2 shows the last directory of the slice: laying out the text of every one of
  // them (thousands a second) would cost the window more than the rest of the slice.
  const std::string* directory = nullptr;
  while (!m_backlog.empty() && done < kUpdatesPerSlice) {
    DelveUpdate update = std::move(m_backlog.front());
    m_backlog.pop_front();
    ++done;
    if (update.kind == DelveUpdate::Kind::kState) {
      if (update.parsing) {
        directory = nullptr;  // a new parse starts with an empty status line 2
        m_sawParseStart = true;
      } else if (m_sawParseStart) {
        m_sawParseStart = false;
        finished = true;
      }
      showParsing(update.parsing);
      if (finished) break;
      continue;
    }
    // Problems belong to the parse, not to the view: a view switch keeps them.
    if (update.kind == DelveUpdate::Kind::kProblemsCleared) {
      m_problems->clear();
      continue;
    }
    if (update.kind == DelveUpdate::Kind::kProblem) {
      m_problems->add(update.notice, update.folderId, update.text);
      continue;
    }
    if (update.generation < m_generation) continue;
    switch (update.kind) {
      case DelveUpdate::Kind::kClear:
        m_generation = update.generation;
        appended.clear();
        clearDisplay();
        break;
      case DelveUpdate::Kind::kFolder:
        addFolder(update.folderId, update.parentId, update.text);
        ++m_folderCount;
        break;
      case DelveUpdate::Kind::kRow: {
        auto folder = m_folders.find(update.folderId);
        if (folder == m_folders.end()) break;
        ++m_fileCount;
        const auto index = static_cast<std::uint32_t>(m_rowStore.size());
        const bool shown =
            update.folderId == m_selectedFolder && m_findFilter.acceptsName(update.row.name);
        m_rowStore.push_back(std::move(update.row));
        folder->second.rows.push_back(index);
        if (shown) appended.push_back(index);
        break;
      }
      case DelveUpdate::Kind::kDirectory:
        m_lastDirectory = std::move(update.text);
        directory = &m_lastDirectory;
        break;
      case DelveUpdate::Kind::kState:
      case DelveUpdate::Kind::kProblemsCleared:
      case DelveUpdate::Kind::kProblem:
        break;
    }
  }
  // Rows appended at the end leave the order of a header click.
  if (!appended.empty() && m_sortColumn >= 0) clearSortIndicator();
  m_model->appendRows(appended);
  if (directory != nullptr) m_status2->setText(fromBytes(*directory));
  writeStatusLine1();
  if (!m_backlog.empty() && !m_backlogTimer.isActive()) m_backlogTimer.start(0);
  Q_EMIT updatesApplied();
  if (finished) Q_EMIT parseFinished();
}

void DelveDlg::clearDisplay() {
  m_selectedFolder = 0;
  clearSortIndicator();
  m_model->clear();
  m_folders.clear();
  // Everything below the root, and the folders that had to go beside it.
  const QSignalBlocker blocker(m_tree);
  m_tree->setCurrentItem(nullptr);
  qDeleteAll(m_rootItem->takeChildren());
  for (int i = m_tree->topLevelItemCount() - 1; i >= 0; --i) {
    if (m_tree->topLevelItem(i) != m_rootItem) delete m_tree->takeTopLevelItem(i);
  }
  m_rowStore.clear();
  m_folderCount = 0;
  m_fileCount = 0;
  writeStatusLine1();
}

void DelveDlg::addFolder(std::uint64_t id, std::int64_t parentId, const std::string& name) {
  auto* item = new QTreeWidgetItem(QStringList(folderLabel(name)));
  item->setIcon(0, DyxFrontEnd::isDriveName(name) ? m_driveIcon : m_folderIcon);
  item->setData(0, kFolderIdRole, QVariant::fromValue<qulonglong>(id));
  QTreeWidgetItem* parent = nullptr;
  if (parentId == DelveUpdate::kRootParent) {
    parent = m_rootItem;
  } else if (parentId > 0) {
    auto it = m_folders.find(static_cast<std::uint64_t>(parentId));
    if (it != m_folders.end()) parent = it->second.item;
  }
  if (parent != nullptr) {
    insertSorted(parent, item);
  } else {
    insertSorted(m_tree->invisibleRootItem(), item);
  }
  FolderRecord& record = m_folders[id];
  record.item = item;
  record.name = name;
}

void DelveDlg::showParsing(bool parsing) {
  m_parsingShown = parsing;
  m_startButton->setIcon(parsing ? m_stopIcon : m_startIcon);
  m_criterionButton->setEnabled(!parsing);
  if (parsing) m_status2->clear();
}

void DelveDlg::refillList() {
  m_selectedFolder = 0;
  // The refill is in name order.
  clearSortIndicator();
  QTreeWidgetItem* item = m_tree->currentItem();
  const QVariant id = item != nullptr ? item->data(0, kFolderIdRole) : QVariant();
  auto folder = id.isValid() ? m_folders.find(id.toULongLong()) : m_folders.end();
  if (folder == m_folders.end()) {
    m_model->clear();
    writeStatusLine1();
    return;
  }
  // The folder's own order: by name, byte-wise, then in filing order.
  std::vector<std::uint32_t> rows;
  rows.reserve(folder->second.rows.size());
  for (std::uint32_t r : folder->second.rows) {
    if (m_findFilter.acceptsName(m_rowStore[r].name)) rows.push_back(r);
  }
  std::stable_sort(rows.begin(), rows.end(), [this](std::uint32_t a, std::uint32_t b) {
    return m_rowStore[a].name < m_rowStore[b].name;
  });
  m_model->setRows(std::move(rows));
  m_selectedFolder = folder->first;
  writeStatusLine1();
}

void DelveDlg::writeStatusLine1() {
  auto folder = m_selectedFolder != 0 ? m_folders.find(m_selectedFolder) : m_folders.end();
  const std::string text =
      folder == m_folders.end()
          ? DyxFrontEnd::statusLine(m_folderCount, m_fileCount)
          : DyxFrontEnd::statusLine(m_folderCount, m_fileCount, folder->second.name,
                                    static_cast<std::size_t>(m_model->rowCount()));
  m_status1->setText(fromBytes(DyxFrontEnd::withLeftOut(text, m_problems->leftOut())));
}

QString DelveDlg::statusLine1() const { return m_status1->text(); }

QString DelveDlg::statusLine2() const { return m_status2->text(); }
