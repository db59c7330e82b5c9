#include "displaymodel.h"

#include <QElapsedTimer>
#include <algorithm>
#include <utility>

#include "bytes.h"
#include "foldertreemodel.h"

DelveDisplayModel::DelveDisplayModel(QObject* parent)
    : QObject(parent),
      m_listModel(new FileListModel(m_rowStore, this)),
      m_treeModel(new FolderTreeModel(*this, this)) {
  m_topLevel.push_back(kRootId);
  m_backlogTimer.setSingleShot(true);
  connect(&m_backlogTimer, &QTimer::timeout, this, &DelveDisplayModel::applySlice);
}

DelveDisplayModel::~DelveDisplayModel() {
  // The item models go first, while the values they read are still here.
  delete m_treeModel;
  delete m_listModel;
}

QString DelveDisplayModel::rootLabel(const std::string& viewTag) {
  return QStringLiteral("Get Quarry! (") + fromBytes(viewTag) + QStringLiteral(")");
}

QString DelveDisplayModel::folderLabel(const std::string& folderName) {
  return fromBytes(DyxFrontEnd::treeLabel(folderName));
}

bool DelveDisplayModel::folderLabelLess(const QString& a, const QString& b) {
  const int folded = QString::compare(a, b, Qt::CaseInsensitive);
  return folded != 0 ? folded < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
}

const DelveDisplayModel::Folder* DelveDisplayModel::folder(std::uint64_t id) const {
  if (id == kRootId) return &m_root;
  auto it = m_folders.find(id);
  return it != m_folders.end() ? &it->second : nullptr;
}

DelveDisplayModel::Folder* DelveDisplayModel::rowsFolder(std::uint64_t id) {
  if (id == kRootId) return &m_root;
  auto it = m_folders.find(id);
  return it != m_folders.end() ? &it->second : nullptr;
}

const std::vector<std::uint64_t>& DelveDisplayModel::childrenOf(std::int64_t parent) const {
  static const std::vector<std::uint64_t> kNone;
  if (parent == kTopLevel) return m_topLevel;
  const Folder* record = parent >= 0 ? folder(static_cast<std::uint64_t>(parent)) : nullptr;
  return record != nullptr ? record->children : kNone;
}

std::vector<std::uint64_t>& DelveDisplayModel::siblings(std::int64_t parent) {
  return const_cast<std::vector<std::uint64_t>&>(std::as_const(*this).childrenOf(parent));
}

QString DelveDisplayModel::labelOf(std::uint64_t id) const {
  if (id == kRootId) return rootLabel(m_viewTag);
  const Folder* record = folder(id);
  return record != nullptr ? folderLabel(record->name) : QString();
}

int DelveDisplayModel::rowOf(std::uint64_t id) const {
  const Folder* record = folder(id);
  if (record == nullptr) return -1;
  const std::vector<std::uint64_t>& list = childrenOf(record->parent);
  // Siblings are in label order, except the top level after the root item was relabelled.
  const QString label = labelOf(id);
  auto it = std::lower_bound(list.begin(), list.end(), label,
                             [this](std::uint64_t sibling, const QString& wanted) {
                               return folderLabelLess(labelOf(sibling), wanted);
                             });
  while (it != list.end() && *it != id && labelOf(*it) == label) ++it;
  if (it == list.end() || *it != id) it = std::find(list.begin(), list.end(), id);
  return it != list.end() ? static_cast<int>(it - list.begin()) : -1;
}

namespace {

// What a clear of the display does not wipe: the worker's state, and the problems, which
// belong to the parse rather than to the view that a switch replaces.
bool outlivesClear(const DelveUpdate& update) {
  return update.kind == DelveUpdate::Kind::kState || update.kind == DelveUpdate::Kind::kRestored ||
         update.kind == DelveUpdate::Kind::kProblemsCleared ||
         update.kind == DelveUpdate::Kind::kProblem ||
         update.kind == DelveUpdate::Kind::kFollowState;
}

}  // namespace

void DelveDisplayModel::addUpdates(std::vector<DelveUpdate> updates) {
  std::size_t lastClear = updates.size();
  for (std::size_t i = 0; i < updates.size(); ++i) {
    if (updates[i].kind == DelveUpdate::Kind::kClear ||
        updates[i].kind == DelveUpdate::Kind::kRefresh) {
      lastClear = i;
    }
  }
  const bool clears = lastClear < updates.size();
  if (clears) std::erase_if(m_backlog, [](const DelveUpdate& u) { return !outlivesClear(u); });
  for (std::size_t i = 0; i < updates.size(); ++i) {
    if (clears && i < lastClear && !outlivesClear(updates[i])) continue;
    m_backlog.push_back(std::move(updates[i]));
  }
  applySlice();
}

void DelveDisplayModel::applySlice() {
  std::vector<std::uint32_t> appended;
  std::vector<std::uint32_t> placed;
  // Rows gathered for the list go in before a later update of the slice looks for them.
  const auto flushRows = [&]() {
    // Rows appended at the end leave the order of a header click.
    if (!appended.empty()) clearSort();
    m_listModel->appendRows(appended);
    appended.clear();
    for (std::uint32_t r : placed) m_listModel->insertSorted(r, m_sortColumn, m_sortAscending);
    placed.clear();
  };
  bool finished = false;
  // Status line 2 shows the last directory of the slice: laying out the text of every one of
  // them (thousands a second) would cost the window more than the rest of the slice.
  bool directory = false;
  // A slice also ends when its time is up: on a busy machine a slice of the full count can take
  // long enough to be felt as a stall.
  QElapsedTimer clock;
  clock.start();
  bool restored = false;
  for (std::size_t done = 0; !m_backlog.empty() && done < kUpdatesPerSlice && !finished; ++done) {
    if ((done & 255) == 255 && clock.elapsed() >= kSliceBudgetMs) break;
    if (m_backlog.front().kind == DelveUpdate::Kind::kRows) {
      // A row at a time, so that a chunk counts in the slice as the rows it holds.
      DelveUpdate& front = m_backlog.front();
      DelveRowChunk& chunk = *front.rows;
      if (front.generation < m_generation) {
        chunk.applied = chunk.rows.size();
      } else if (!chunk.countsApplied) {
        // The counts at once: a few hundred runs of a directory's rows each.
        chunk.countsApplied = true;
        for (const DelveRowChunk::Count& count : chunk.counts) {
          countRows(count.folderId, count.files);
        }
      } else if (chunk.applied < chunk.rows.size()) {
        const DelveRowChunk::Row& row = chunk.rows[chunk.applied++];
        DelveRowStore::Values values;
        values.name = chunk.text(row.nameStart, row.nameLength);
        values.directory =
            row.headLength != 0 ? chunk.text(row.headStart, row.headLength) : values.name;
        values.whole = row.headLength == 0;
        values.size = row.size;
        values.mtime = row.mtime;
        addRow(row.folderId, values, false, front.seq, appended, placed);
      }
      if (chunk.applied >= chunk.rows.size()) m_backlog.pop_front();
      continue;
    }
    DelveUpdate update = std::move(m_backlog.front());
    m_backlog.pop_front();
    switch (update.kind) {
      case DelveUpdate::Kind::kState:
        if (update.parsing) {
          directory = false;  // a new parse starts with an empty status line 2
          m_sawParseStart = true;
        } else if (m_sawParseStart) {
          m_sawParseStart = false;
          finished = true;
        }
        m_parsingShown = update.parsing;
        Q_EMIT parsingChanged(update.parsing);
        continue;
      // Problems belong to the parse, not to the view: a view switch keeps them.
      case DelveUpdate::Kind::kProblemsCleared:
        m_leftOut = DyxLeftOut();
        m_problemTexts.clear();
        Q_EMIT problemsChanged();
        continue;
      case DelveUpdate::Kind::kProblem: {
        KxNotice notice;
        notice.kind = update.notice;
        notice.count = update.folderId;
        m_leftOut.add(notice);
        m_problemTexts << fromBytes(update.text);
        Q_EMIT problemsChanged();
        continue;
      }
      case DelveUpdate::Kind::kFollowState:
        m_followCounts = update.counts;
        m_followProblem = std::move(update.text);
        continue;
      default:
        break;
    }
    if (update.generation < m_generation) continue;
    switch (update.kind) {
      case DelveUpdate::Kind::kClear:
        m_generation = update.generation;
        appended.clear();
        m_reselect.clear();
        placed.clear();
        clear();
        break;
      case DelveUpdate::Kind::kRefresh:
        m_generation = update.generation;
        appended.clear();
        m_reselect = pathOf(m_selectedFolder);
        clear();
        break;
      case DelveUpdate::Kind::kRestored:
        m_lastDirectory = std::move(update.text);
        directory = true;
        restored = true;
        break;
      case DelveUpdate::Kind::kFolder:
        addFolder(update.folderId, update.parentId, update.text);
        ++m_folderCount;
        break;
      case DelveUpdate::Kind::kRow:
        addRow(update.folderId, DelveRowStore::valuesOf(update.row), update.followed, update.seq,
               appended, placed);
        break;
      case DelveUpdate::Kind::kRowChanged:
        flushRows();
        changeRow(update.folderId, update.seq, std::move(update.row));
        break;
      case DelveUpdate::Kind::kRowRemoved:
        flushRows();
        removeRow(update.folderId, update.seq, update.text);
        break;
      case DelveUpdate::Kind::kFolderRemoved:
        flushRows();
        removeFolder(update.folderId);
        break;
      case DelveUpdate::Kind::kDirectory:
        m_lastDirectory = std::move(update.text);
        directory = true;
        break;
      default:
        break;
    }
  }
  flushRows();
  if (directory) Q_EMIT directoryShown(fromBytes(m_lastDirectory));
  Q_EMIT statusLine1Changed();
  if (!m_backlog.empty() && !m_backlogTimer.isActive()) m_backlogTimer.start(0);
  Q_EMIT updatesApplied();
  if (restored) Q_EMIT indexRestored(fromBytes(m_lastDirectory));
  if (finished) Q_EMIT parseFinished();
}

void DelveDisplayModel::clear() {
  m_clearing = true;
  Q_EMIT aboutToClear();
  m_selectedFolder = kRootId;
  clearSort();
  m_listModel->clear();
  // Everything below the root item, and the folders that had to go beside it.
  if (!m_root.children.empty()) {
    m_treeModel->beginRemoveFolders(kRootId, 0, static_cast<int>(m_root.children.size()) - 1);
    m_root.children.clear();
    m_treeModel->endRemoveFolders();
  }
  for (int i = static_cast<int>(m_topLevel.size()) - 1; i >= 0; --i) {
    if (m_topLevel[static_cast<std::size_t>(i)] == kRootId) continue;
    m_treeModel->beginRemoveFolders(kTopLevel, i, i);
    m_topLevel.erase(m_topLevel.begin() + i);
    m_treeModel->endRemoveFolders();
  }
  m_folders.clear();
  m_root.files = 0;
  // The worker's clear shows the root item: its rows of the new generation come whole.
  forgetShownRows();
  m_folderCount = 0;
  m_fileCount = 0;
  m_clearing = false;
  Q_EMIT statusLine1Changed();
}

void DelveDisplayModel::addFolder(std::uint64_t id, std::int64_t parentId,
                                  const std::string& name) {
  if (id == kRootId || m_folders.contains(id)) return;
  std::int64_t parent = kTopLevel;
  if (parentId == DelveUpdate::kRootParent) {
    parent = static_cast<std::int64_t>(kRootId);
  } else if (parentId > 0 && m_folders.contains(static_cast<std::uint64_t>(parentId))) {
    parent = parentId;
  }
  // The record first: adding it may move the other records, and with them the sibling list.
  Folder& record = m_folders[id];
  record.name = name;
  record.parent = parent;
  std::vector<std::uint64_t>& list = siblings(parent);
  auto at = std::upper_bound(list.begin(), list.end(), folderLabel(name),
                             [this](const QString& label, std::uint64_t sibling) {
                               return folderLabelLess(label, labelOf(sibling));
                             });
  m_treeModel->beginAddFolder(parent, static_cast<int>(at - list.begin()));
  list.insert(at, id);
  m_treeModel->endAddFolder();
  if (!m_reselect.empty() && m_reselect.back() == name && pathOf(id) == m_reselect) {
    m_reselect.clear();
    Q_EMIT folderReselected(id);
  }
}

std::vector<std::string> DelveDisplayModel::pathOf(std::uint64_t id) const {
  std::vector<std::string> names;
  for (const Folder* f = id != kRootId ? folder(id) : nullptr; f != nullptr;) {
    names.push_back(f->name);
    f = f->parent > 0 ? folder(static_cast<std::uint64_t>(f->parent)) : nullptr;
  }
  std::reverse(names.begin(), names.end());
  return names;
}

bool DelveDisplayModel::listsChange(std::uint64_t folderId, std::uint64_t seq) const {
  return folderId == m_selectedFolder && (m_shownSeq == 0 || seq > m_shownSeq);
}

void DelveDisplayModel::countRows(std::uint64_t folderId, unsigned files) {
  Folder* folder = rowsFolder(folderId);
  if (folder == nullptr) return;
  folder->files += files;
  m_fileCount += files;
}

void DelveDisplayModel::addRow(std::uint64_t folderId, const DelveRowStore::Values& row,
                               bool followed, std::uint64_t seq,
                               std::vector<std::uint32_t>& appended,
                               std::vector<std::uint32_t>& placed) {
  Folder* folder = rowsFolder(folderId);
  if (folder == nullptr) return;
  ++folder->files;
  ++m_fileCount;
  if (!listsChange(folderId, seq)) return;
  const std::uint32_t index = m_rowStore.append(row);
  m_shownRows.push_back(index);
  m_byNameValid = false;
  if (!m_findFilter.acceptsName(row.name)) return;
  if (followed && m_sortColumn >= 0) {
    placed.push_back(index);
  } else {
    appended.push_back(index);
  }
}

std::int64_t DelveDisplayModel::findRow(const std::string& location) const {
  for (auto it = m_shownRows.rbegin(); it != m_shownRows.rend(); ++it) {
    // The name first: a location ends with it, and it costs no text to be made.
    const std::string_view name = m_rowStore.name(*it);
    if (location.size() >= name.size() &&
        location.compare(location.size() - name.size(), name.size(), name) == 0 &&
        m_rowStore.location(*it) == location) {
      return *it;
    }
  }
  return -1;
}

void DelveDisplayModel::changeRow(std::uint64_t folderId, std::uint64_t seq, DyxListRow&& row) {
  if (!listsChange(folderId, seq)) return;
  const std::int64_t found = findRow(row.location);
  if (found < 0) return;
  const auto index = static_cast<std::uint32_t>(found);
  // Same location, so same name: the folder's name order still holds.
  m_rowStore.replace(index, row);
  m_listModel->storeRowChanged(index);
}

void DelveDisplayModel::removeRow(std::uint64_t folderId, std::uint64_t seq,
                                  const std::string& location) {
  Folder* folder = rowsFolder(folderId);
  if (folder == nullptr) return;
  // The worker counts a removal only for a row it filed: the count holds even when the row is
  // not listed.
  if (folder->files > 0) --folder->files;
  if (m_fileCount > 0) --m_fileCount;
  if (!listsChange(folderId, seq)) return;
  const std::int64_t found = findRow(location);
  if (found < 0) return;
  const auto index = static_cast<std::uint32_t>(found);
  // The value stays in the store (which only grows until the next selection); no row lists it.
  std::erase(m_shownRows, index);
  m_byNameValid = false;
  m_listModel->removeStoreRow(index);
}

void DelveDisplayModel::removeFolder(std::uint64_t id) {
  const Folder* record = folder(id);
  if (id == kRootId || record == nullptr) return;
  const std::int64_t parent = record->parent;
  const int row = rowOf(id);
  if (row < 0) return;
  // The tree's selection moves off the item (to a neighbour) while the records are all there.
  m_treeModel->beginRemoveFolders(parent, row, row);
  std::vector<std::uint64_t>& list = siblings(parent);
  list.erase(list.begin() + row);
  bool selectedGone = false;
  std::vector<std::uint64_t> doomed = {id};
  while (!doomed.empty()) {
    const std::uint64_t next = doomed.back();
    doomed.pop_back();
    auto it = m_folders.find(next);
    if (it == m_folders.end()) continue;
    doomed.insert(doomed.end(), it->second.children.begin(), it->second.children.end());
    m_fileCount -= std::min(m_fileCount, it->second.files);
    if (m_folderCount > 0) --m_folderCount;
    if (next == m_selectedFolder) selectedGone = true;
    m_folders.erase(it);
  }
  m_treeModel->endRemoveFolders();
  if (selectedGone) {
    m_selectedFolder = kRootId;
    loadShownRows();
  }
}

void DelveDisplayModel::setViewTag(const std::string& tag) {
  m_viewTag = tag;
  m_treeModel->folderRelabelled(kRootId);
}

void DelveDisplayModel::selectFolder(std::uint64_t id) {
  if (m_clearing) return;
  m_selectedFolder = id;
  loadShownRows();
  refill();
}

void DelveDisplayModel::forgetShownRows() {
  // The list reads the store: it lets go of its rows first.
  m_listModel->clear();
  m_rowStore.clear();
  m_shownRows.clear();
  m_shownByName.clear();
  m_byNameValid = false;
  m_shownSeq = 0;
}

void DelveDisplayModel::loadShownRows() {
  forgetShownRows();
  if (!m_rowSource || rowsFolder(m_selectedFolder) == nullptr) return;
  // The rows of one directory share the engine's text of it: known by where that text lies,
  // the store's copy is found without reading it. (A flat view's rows change directory at
  // almost every row, and a look-up by text took most of the listing of a million.)
  struct Head {
    std::size_t length = 0;  // of the engine's text, plus one: 0 is a head not seen yet
    std::uint32_t index = 0;
  };
  std::unordered_map<const char*, Head> heads;
  std::string directory;
  const ParseWorker::RowSink sink = [&](const DyxFrontEnd::RowParts& parts) {
    DelveRowStore::Values values;
    values.name = parts.name;
    values.size = parts.size;
    values.mtime = parts.mtime;
    values.whole = parts.locationHead.empty();
    if (values.whole) {
      values.directory = parts.name;
    } else {
      Head& head = heads[parts.locationHead.data()];
      if (head.length != parts.locationHead.size() + 1) {
        directory.assign(parts.locationHead);
        directory.append(parts.separator);
        head.length = parts.locationHead.size() + 1;
        head.index = m_rowStore.directoryIndex(directory);
      }
      values.directoryIndex = head.index;
    }
    m_shownRows.push_back(m_rowStore.append(values));
  };
  std::uint64_t seq = 0;
  if (!m_rowSource(m_generation, m_selectedFolder, sink, seq)) {
    m_rowStore.clear();
    m_shownRows.clear();
  }
  m_shownSeq = seq;
}

void DelveDisplayModel::setFindText(const std::string& text) {
  m_findFilter.setText(text);
  refill();
}

void DelveDisplayModel::refill() {
  // The refill is in name order.
  clearSort();
  const Folder* folder = rowsFolder(m_selectedFolder);
  if (folder == nullptr || (m_selectedFolder == kRootId && m_shownRows.empty())) {
    m_selectedFolder = kRootId;
    m_listModel->clear();
    Q_EMIT statusLine1Changed();
    return;
  }
  // The folder's own order: by name, byte-wise, then in filing order.
  if (!m_byNameValid) {
    const auto byName = [this](std::uint32_t a, std::uint32_t b) {
      return m_rowStore.name(a) < m_rowStore.name(b);
    };
    m_shownByName = m_shownRows;
    // A view that keeps its folders' files in name order lists them so: one pass tells.
    if (!std::is_sorted(m_shownByName.begin(), m_shownByName.end(), byName)) {
      std::stable_sort(m_shownByName.begin(), m_shownByName.end(), byName);
    }
    m_byNameValid = true;
  }
  std::vector<std::uint32_t> rows;
  if (!m_findFilter.isActive()) {
    rows = m_shownByName;
  } else {
    // The names are read in filing order, which is the order of the store's name bytes, and only
    // the verdicts are looked up in name order: reading a million names in name order would wait
    // on memory for each one.
    std::vector<bool> accepted(m_rowStore.size(), false);
    for (std::uint32_t r : m_shownRows) accepted[r] = m_findFilter.acceptsName(m_rowStore.name(r));
    rows.reserve(m_shownByName.size());
    for (std::uint32_t r : m_shownByName) {
      if (accepted[r]) rows.push_back(r);
    }
  }
  m_listModel->setRows(std::move(rows));
  Q_EMIT statusLine1Changed();
}

void DelveDisplayModel::clearSort() {
  if (m_sortColumn < 0) return;
  m_sortColumn = -1;
  m_sortAscending = true;
  Q_EMIT sortChanged();
}

void DelveDisplayModel::sortList(int column) {
  if (column == m_sortColumn) {
    m_sortAscending = !m_sortAscending;
  } else {
    m_sortColumn = column;
    m_sortAscending = true;
  }
  m_listModel->sortRows(column, m_sortAscending);
  Q_EMIT sortChanged();
}

QString DelveDisplayModel::statusLine1() const {
  const Folder* selected = m_selectedFolder != kRootId ? folder(m_selectedFolder) : nullptr;
  const std::string text =
      selected == nullptr
          ? DyxFrontEnd::statusLine(m_folderCount, m_fileCount)
          : DyxFrontEnd::statusLine(m_folderCount, m_fileCount, selected->name,
                                    static_cast<std::size_t>(m_listModel->rowCount()));
  std::string line = DyxFrontEnd::withLeftOut(text, m_leftOut);
  if (m_followCounts.polled > 0) line += ". " + polledText(m_followCounts.polled);
  if (!m_followProblem.empty()) line += ". " + m_followProblem;
  return fromBytes(line);
}

std::string DelveDisplayModel::polledText(std::size_t polled) {
  return std::to_string(polled) + " folder(s) polled instead of watched";
}
