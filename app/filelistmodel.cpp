#include "filelistmodel.h"

#include <algorithm>
#include <unordered_map>

#include "bytes.h"

namespace {

// The window keeps the values of its rows; the size and time texts are written when a row is
// shown or sorted.
std::string columnText(int column, const DyxListRow& row) {
  switch (column) {
    case FileListModel::kName:
      return row.name;
    case FileListModel::kSize:
      return DyxFrontEnd::sizeText(row);
    case FileListModel::kLocation:
      return row.location;
    default:
      return DyxFrontEnd::modifiedText(row);
  }
}

std::string columnText(int column, const DelveRowStore& store, std::uint32_t index) {
  switch (column) {
    case FileListModel::kName:
      return std::string(store.name(index));
    case FileListModel::kLocation:
      return store.location(index);
    default:
      return columnText(column, store.values(index));
  }
}

}  // namespace

FileListModel::FileListModel(const DelveRowStore& store, QObject* parent)
    : QAbstractTableModel(parent), m_store(store) {}

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return QVariant();
  switch (role) {
    case Qt::DisplayRole:
      return fromBytes(columnText(index.column(), m_store, m_rows[index.row()]));
    case Qt::DecorationRole:
      if (index.column() != kName) return QVariant();
      if (m_fileIcon.isNull()) m_fileIcon = QIcon(QStringLiteral(":/icons/file.png"));
      return m_fileIcon;
    case Qt::TextAlignmentRole:
      return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::UserRole:
      // The row's position, as the list's attached data.
      return index.row();
    default:
      return QVariant();
  }
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return QVariant();
  if (role == Qt::TextAlignmentRole) return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return QVariant();
  switch (section) {
    case kName:
      return QStringLiteral("Name");
    case kSize:
      return QStringLiteral("Size");
    case kLocation:
      return QStringLiteral("Location");
    case kModified:
      return QStringLiteral("Last Modification");
    default:
      return QVariant();
  }
}

void FileListModel::setRows(std::vector<std::uint32_t> rows) {
  beginResetModel();
  m_rows = std::move(rows);
  endResetModel();
}

void FileListModel::appendRows(const std::vector<std::uint32_t>& rows) {
  if (rows.empty()) return;
  const int first = static_cast<int>(m_rows.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
  m_rows.insert(m_rows.end(), rows.begin(), rows.end());
  endInsertRows();
}

void FileListModel::clear() { setRows({}); }

void FileListModel::insertSorted(std::uint32_t storeRow, int column, bool ascending) {
  const DyxListRow row = m_store.values(storeRow);
  // After the rows that compare equal, as a stable sort would have placed it.
  const auto at = std::upper_bound(
      m_rows.begin(), m_rows.end(), storeRow, [&](std::uint32_t, std::uint32_t other) {
        const int order = compareRows(column, row, m_store.values(other));
        return ascending ? order < 0 : order > 0;
      });
  const int position = static_cast<int>(at - m_rows.begin());
  beginInsertRows(QModelIndex(), position, position);
  m_rows.insert(at, storeRow);
  endInsertRows();
}

void FileListModel::removeStoreRow(std::uint32_t storeRow) {
  const auto it = std::find(m_rows.begin(), m_rows.end(), storeRow);
  if (it == m_rows.end()) return;
  const int position = static_cast<int>(it - m_rows.begin());
  beginRemoveRows(QModelIndex(), position, position);
  m_rows.erase(it);
  endRemoveRows();
}

void FileListModel::storeRowChanged(std::uint32_t storeRow) {
  const auto it = std::find(m_rows.begin(), m_rows.end(), storeRow);
  if (it == m_rows.end()) return;
  const int position = static_cast<int>(it - m_rows.begin());
  Q_EMIT dataChanged(index(position, 0), index(position, kColumnCount - 1));
}

int FileListModel::compareRows(int column, const DyxListRow& a, const DyxListRow& b) {
  if (column == kSize) {
    // The sizes themselves: a difference cut down to an int overflows from 2 GiB on.
    return a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
  }
  const int order = toLower(columnText(column, a)).compare(toLower(columnText(column, b)));
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

void FileListModel::sortRows(int column, bool ascending) {
  Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<std::uint32_t> old = m_rows;
  if (column == kSize) {
    std::stable_sort(m_rows.begin(), m_rows.end(), [&](std::uint32_t a, std::uint32_t b) {
      const std::uint64_t sizeA = m_store.fileSize(a);
      const std::uint64_t sizeB = m_store.fileSize(b);
      return ascending ? sizeA < sizeB : sizeA > sizeB;
    });
  } else {
    // Folded once per row rather than twice per comparison.
    std::vector<std::pair<std::string, std::uint32_t>> keys;
    keys.reserve(m_rows.size());
    for (std::uint32_t r : m_rows) keys.emplace_back(toLower(columnText(column, m_store, r)), r);
    std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
      const int order = a.first.compare(b.first);
      return ascending ? order < 0 : order > 0;
    });
    for (std::size_t i = 0; i < keys.size(); ++i) m_rows[i] = keys[i].second;
  }
  // Persistent indexes (the selection) follow their rows.
  if (!before.isEmpty()) {
    std::unordered_map<std::uint32_t, int> position;
    for (std::size_t i = 0; i < m_rows.size(); ++i) position[m_rows[i]] = static_cast<int>(i);
    QModelIndexList after;
    for (const QModelIndex& index : before) {
      after.append(this->index(position[old[index.row()]], index.column()));
    }
    changePersistentIndexList(before, after);
  }
  Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
