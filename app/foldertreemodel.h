// FolderTreeModel: the window's tree of view folders as an item model over the display model's
// folder records (displaymodel.h). An index's internal id is its folder's id; the root item
// ("Get Quarry! (tag)") is DelveDisplayModel::kRootId. The display model announces each change
// through the begin/end operations below before and after it changes its records.
//
// Ownership: owned by the display model, which outlives every use of it. Threads: the window's
// thread only.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <cstdint>

class DelveDisplayModel;

class FolderTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  // The folder id of an index, as data of this role (qulonglong).
  static constexpr int kFolderIdRole = Qt::UserRole;

  FolderTreeModel(const DelveDisplayModel& display, QObject* parent);

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  // The index of folder `id` (kRootId: the root item); invalid for an id of no shown folder.
  QModelIndex indexOf(std::uint64_t id) const;
  static std::uint64_t folderId(const QModelIndex& index) { return index.internalId(); }

  // For the display model: a folder goes in at `row` under `parent`; folders leave.
  void beginAddFolder(std::int64_t parent, int row);
  void endAddFolder() { endInsertRows(); }
  void beginRemoveFolders(std::int64_t parent, int first, int last);
  void endRemoveFolders() { endRemoveRows(); }
  void folderRelabelled(std::uint64_t id);

 private:
  QModelIndex parentIndex(std::int64_t parent) const;

  const DelveDisplayModel& m_display;
  // Made on first use: a model used without a screen never loads a picture.
  mutable QIcon m_rootIcon;
  mutable QIcon m_folderIcon;
  mutable QIcon m_driveIcon;
};
