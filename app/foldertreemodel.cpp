#include "foldertreemodel.h"

#include "displaymodel.h"

FolderTreeModel::FolderTreeModel(const DelveDisplayModel& display, QObject* parent)
    : QAbstractItemModel(parent), m_display(display) {}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return QModelIndex();
  const std::int64_t parentId =
      parent.isValid() ? static_cast<std::int64_t>(folderId(parent)) : DelveDisplayModel::kTopLevel;
  const std::vector<std::uint64_t>& children = m_display.childrenOf(parentId);
  if (row >= static_cast<int>(children.size())) return QModelIndex();
  return createIndex(row, 0, static_cast<quintptr>(children[static_cast<std::size_t>(row)]));
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return QModelIndex();
  const DelveDisplayModel::Folder* folder = m_display.folder(folderId(child));
  return folder != nullptr ? parentIndex(folder->parent) : QModelIndex();
}

QModelIndex FolderTreeModel::parentIndex(std::int64_t parent) const {
  return parent == DelveDisplayModel::kTopLevel ? QModelIndex()
                                                : indexOf(static_cast<std::uint64_t>(parent));
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const std::int64_t parentId =
      parent.isValid() ? static_cast<std::int64_t>(folderId(parent)) : DelveDisplayModel::kTopLevel;
  return static_cast<int>(m_display.childrenOf(parentId).size());
}

int FolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  const DelveDisplayModel::Folder* folder =
      index.isValid() ? m_display.folder(folderId(index)) : nullptr;
  if (folder == nullptr) return QVariant();
  switch (role) {
    case Qt::DisplayRole:
      return m_display.labelOf(folderId(index));
    case kFolderIdRole:
      return QVariant::fromValue<qulonglong>(folderId(index));
    case Qt::DecorationRole:
      if (folderId(index) == DelveDisplayModel::kRootId) {
        if (m_rootIcon.isNull()) m_rootIcon = QIcon(QStringLiteral(":/icons/quarry.png"));
        return m_rootIcon;
      }
      if (DyxFrontEnd::isDriveName(folder->name)) {
        if (m_driveIcon.isNull()) m_driveIcon = QIcon(QStringLiteral(":/icons/drive.png"));
        return m_driveIcon;
      }
      if (m_folderIcon.isNull()) {
        m_folderIcon = QIcon(QStringLiteral(":/icons/folder.png"));
        m_folderIcon.addFile(QStringLiteral(":/icons/folder-open.png"), QSize(), QIcon::Selected);
      }
      return m_folderIcon;
    default:
      return QVariant();
  }
}

QModelIndex FolderTreeModel::indexOf(std::uint64_t id) const {
  const int row = m_display.rowOf(id);
  return row < 0 ? QModelIndex() : createIndex(row, 0, static_cast<quintptr>(id));
}

void FolderTreeModel::beginAddFolder(std::int64_t parent, int row) {
  beginInsertRows(parentIndex(parent), row, row);
}

void FolderTreeModel::beginRemoveFolders(std::int64_t parent, int first, int last) {
  beginRemoveRows(parentIndex(parent), first, last);
}

void FolderTreeModel::folderRelabelled(std::uint64_t id) {
  const QModelIndex index = indexOf(id);
  if (index.isValid()) Q_EMIT dataChanged(index, index, {Qt::DisplayRole});
}
