// DelveFiltersDlg: the modal "Search Conditions" dialog. It edits a criterion of up to four
// conditions (a property, an operation and a pattern each) joined by one word, AND, OR or XOR.
// Opening reads the current criterion back into the rows through its parsed filter tree; OK
// writes the rows out as criterion text. The caller keeps the text and hands it to the pool's
// filter at the next parse.
//
// Ownership: the widgets belong to the dialog. Threads: the window's thread only.
#pragma once

#include <QDialog>
#include <array>
#include <string>

class DyxCriterion;
class QComboBox;
class QLineEdit;
class QRadioButton;

class DelveFiltersDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kRowCount = 4;
  // Numbers attached to the property and operation items.
  static constexpr int kPropertyNone = -1;
  static constexpr int kPropertyName = 1;
  static constexpr int kPropertyExt = 2;
  static constexpr int kOperationEquals = 1;
  static constexpr int kOperationNotEquals = 2;
  static constexpr int kOperationLike = 3;

  DelveFiltersDlg(const std::string& criterion, QWidget* parent);

  // The criterion the dialog was opened with, and after OK the one it built.
  const std::string& criterion() const { return m_criterion; }

  // What the parser could not read in `criterion`, as one line for status line 2 ("" when it
  // parses): a criterion with a problem would keep nothing, or less than it says, so the window
  // starts no parse with it.
  static QString criterionProblems(const std::string& criterion);

  // The controls, for the window's tests.
  QRadioButton* andButton() const { return m_and; }
  QRadioButton* orButton() const { return m_or; }
  QRadioButton* xorButton() const { return m_xor; }
  QComboBox* propertyBox(int row) const { return m_rows[row].property; }
  QComboBox* operationBox(int row) const { return m_rows[row].operation; }
  QLineEdit* patternEdit(int row) const { return m_rows[row].pattern; }

  // The criterion text of row `row` (0-based): "" when it is incomplete.
  std::string rowText(int row) const;
  // The rows' texts joined by the checked word.
  std::string buildCriterion() const;

 public Q_SLOTS:
  void accept() override;

 private:
  struct Row {
    QComboBox* property = nullptr;
    QComboBox* operation = nullptr;
    QLineEdit* pattern = nullptr;
  };

  void readCriterion();
  void fillRow(int row, const DyxCriterion* condition);

  std::string m_criterion;
  QRadioButton* m_and = nullptr;
  QRadioButton* m_or = nullptr;
  QRadioButton* m_xor = nullptr;
  std::array<Row, kRowCount> m_rows;
};
