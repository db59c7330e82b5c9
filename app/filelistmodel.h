// FileListModel: the file list of the window as a table model over row values. The rows are
// indexes into the display model's store of row values (rowstore.h: name, location, size and
// time stamp; the size and time texts are written here, for the rows shown), kept per
// generation; the model never touches the engine. Sorting works on those values: the Size
// column compares the 64-bit sizes themselves, every other column the lower-cased texts.
//
// Ownership: the display model (displaymodel.h) owns the store and this model, and resets the
// model before it clears the store. Threads: the window's thread only.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <cstdint>
#include <vector>

#include "dyxcore/frontend.h"
#include "rowstore.h"

class FileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName = 0, kSize = 1, kLocation = 2, kModified = 3, kColumnCount = 4 };

  FileListModel(const DelveRowStore& store, QObject* parent);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Replaces every row.
  void setRows(std::vector<std::uint32_t> rows);
  // Appends rows at the end (unsorted, as they come).
  void appendRows(const std::vector<std::uint32_t>& rows);
  void clear();
  // Rows shown while the list is in the order of a header click go to their place in it.
  void insertSorted(std::uint32_t storeRow, int column, bool ascending);
  // The row showing store index `storeRow` leaves; the other rows, the selection and the scroll
  // position stay.
  void removeStoreRow(std::uint32_t storeRow);
  // The values of store index `storeRow` changed: its row is repainted where it is.
  void storeRowChanged(std::uint32_t storeRow);
  // Orders the rows by `column`; descending reverses the comparison. Rows that compare equal
  // keep their order.
  void sortRows(int column, bool ascending);

  // The values of list row `row` (name, location, size, time stamp).
  DyxListRow rowValues(int row) const { return m_store.values(m_rows[row]); }
  // Negative, zero or positive: row a against row b by `column`.
  static int compareRows(int column, const DyxListRow& a, const DyxListRow& b);

 private:
  const DelveRowStore& m_store;
  std::vector<std::uint32_t> m_rows;
  mutable QIcon m_fileIcon;  // made on first use: a model used without a screen loads none
};
