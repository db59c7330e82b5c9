#include "delvedlg.h"

#include <QCheckBox>
#include <QFile>
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
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <mutex>

#include "delvefiltersdlg.h"
#include "filelistmodel.h"
#include "parseworker.h"
#include "shell.h"

// The icons live in the static library: its resources must be registered by hand.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace {

QString fromBytes(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

std::string toBytes(const QString& text) { return QFile::encodeName(text).toStdString(); }

// What the parser could not read in the criterion, for status line 2 ("" when it parses): a
// criterion with a problem would keep nothing, or less than it says, so no parse starts with it.
QString criterionProblems(const std::string& criterion) {
  const std::vector<std::string> messages = DyxFrontEnd::checkCriterion(criterion);
  if (messages.empty()) return QString();
  std::string text = "Criterion '" + criterion + "':";
  for (std::size_t i = 0; i < messages.size(); ++i) text += (i == 0 ? " " : "; ") + messages[i];
  return fromBytes(text);
}

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

}  // namespace

// Lets the worker reach the window until the window starts going away.
struct DelveDlg::NotifySink {
  std::mutex mutex;
  DelveDlg* target = nullptr;
};

DelveDlg::DelveDlg(QWidget* parent) : QDialog(parent), m_sink(std::make_shared<NotifySink>()) {
  initIconResources();
  createControls();
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
  setSizeGripEnabled(true);
  resize(900, 560);

  m_startIcon = QIcon(QStringLiteral(":/icons/start.png"));
  m_stopIcon = QIcon(QStringLiteral(":/icons/stop.png"));
  m_folderIcon = QIcon(QStringLiteral(":/icons/folder.png"));
  m_folderIcon.addFile(QStringLiteral(":/icons/folder-open.png"), QSize(), QIcon::Selected);
  m_driveIcon = QIcon(QStringLiteral(":/icons/drive.png"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(9, 9, 9, 9);

  // Where the system menu would hold it, the About item sits in the window's own menu.
  auto* menuBar = new QMenuBar(this);
  QMenu* help = menuBar->addMenu(QStringLiteral("&Help"));
  help->addSeparator();
  help->addAction(QStringLiteral("&About Quarry Software!..."), this, &DelveDlg::showAbout);
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
  m_tree = new QTreeWidget(splitter);
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
  QHeaderView* header = m_list->header();
  header->setSectionsMovable(true);
  header->setSectionsClickable(true);
  header->setStretchLastSection(false);
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
  m_status2 = new QLineEdit(this);
  m_status2->setReadOnly(true);
  layout->addWidget(m_status1);
  layout->addWidget(m_status2);

  m_sortByMenu = new QMenu(this);
  for (const auto& [label, tag] : sortByEntries()) {
    const std::string viewTag = tag;
    m_sortByMenu->addAction(label, this, [this, viewTag]() { sortBy(viewTag); });
  }
  m_commandMenu = new QMenu(this);
  m_commandMenu->addAction(QStringLiteral("&Open"), this, [this]() { openSelected(false); });
  m_commandMenu->addAction(QStringLiteral("Open Containing Folder"), this,
                           [this]() { openSelected(true); });

  m_recurseBox->setChecked(true);
  writeStatusLine1();

  connect(m_startButton, &QPushButton::clicked, this, &DelveDlg::startOrStop);
  connect(m_browseButton, &QPushButton::clicked, this, &DelveDlg::browse);
  connect(m_criterionButton, &QPushButton::clicked, this, &DelveDlg::editCriterion);
  connect(m_pathEdit, &QLineEdit::textChanged, this,
          [this](const QString& text) { m_path = DyxPath(toBytes(text)); });
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
    delveshell::openFile(DyxPath(m_model->rowValues(rows.first().row()).location));
  });
  connect(header, &QHeaderView::sectionClicked, this, &DelveDlg::sortList);
}

void DelveDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
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
  const QString problems = criterionProblems(m_worker->criterion());
  if (!problems.isEmpty()) {
    m_status2->setText(problems);
    return;
  }
  m_worker->submitParse(m_path.toString(), m_recurseBox->isChecked(), m_viewTag);
}

void DelveDlg::sortBy(const std::string& tag) {
  if (tag == m_viewTag || m_worker == nullptr) return;
  m_viewTag = tag;
  m_rootItem->setText(0, rootLabel(m_viewTag));
  m_worker->submitViewSwitch(tag);
}

void DelveDlg::browse() {
  const DyxPath chosen = delveshell::browseForFolder(this, DyxPath(), false);
  const std::string text = chosen.toString();
  if (text.empty()) return;
  m_pathEdit->setText(fromBytes(text));
  startOrStop();
}

void DelveDlg::setCriterion(const std::string& criterion) {
  if (m_worker) m_worker->setCriterion(criterion);
  m_criterionEdit->setText(fromBytes(criterion));
  const QString problems = criterionProblems(criterion);
  if (!problems.isEmpty()) m_status2->setText(problems);
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
  for (const std::string& location : locations) {
    const DyxPath path(location);
    if (containingFolder) {
      delveshell::openFolder(path.parent().toString());
    } else {
      delveshell::openFile(path);
    }
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
        break;
    }
  }
  m_model->appendRows(appended);
  if (directory != nullptr) m_status2->setText(fromBytes(*directory));
  writeStatusLine1();
  if (!m_backlog.empty() && !m_backlogTimer.isActive()) m_backlogTimer.start(0);
  Q_EMIT updatesApplied();
  if (finished) Q_EMIT parseFinished();
}

void DelveDlg::clearDisplay() {
  m_selectedFolder = 0;
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
  m_status1->setText(fromBytes(text));
}

QString DelveDlg::statusLine1() const { return m_status1->text(); }

QString DelveDlg::statusLine2() const { return m_status2->text(); }
