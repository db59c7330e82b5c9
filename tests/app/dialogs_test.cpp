// The search conditions dialog (criterion text out, rows read back through the parsed filter),
// the list model's sort, and the tree's label rule.
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

#include "delvedlg.h"
#include "delvefiltersdlg.h"
#include "displaymodel.h"
#include "dyxcore/portable.h"
#include "filelistmodel.h"

namespace {

struct RowChoice {
  int property = 0;   // index in the property list: 0 <None>, 1 Name, 2 Extension
  int operation = 0;  // index in the operation list: 0 equals, 1 not equals, 2 like
  QString pattern;
};

void setRow(DelveFiltersDlg& dialog, int row, const RowChoice& choice) {
  dialog.propertyBox(row)->setCurrentIndex(choice.property);
  dialog.operationBox(row)->setCurrentIndex(choice.operation);
  dialog.patternEdit(row)->setText(choice.pattern);
}

QString rowOf(const DelveFiltersDlg& dialog, int row) {
  return dialog.propertyBox(row)->currentText() + QLatin1Char('|') +
         dialog.operationBox(row)->currentText() + QLatin1Char('|') +
         dialog.patternEdit(row)->text();
}

QString checkedWord(const DelveFiltersDlg& dialog) {
  QString word;
  if (dialog.andButton()->isChecked()) word += QStringLiteral("AND");
  if (dialog.orButton()->isChecked()) word += QStringLiteral("OR");
  if (dialog.xorButton()->isChecked()) word += QStringLiteral("XOR");
  return word;
}

const QString kEmptyRow = QStringLiteral("<None>|equals|");

}  // namespace

Q_DECLARE_METATYPE(std::vector<RowChoice>)

class DialogsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void criterionRoundTrips_data() {
    QTest::addColumn<std::vector<RowChoice>>("rows");
    QTest::addColumn<QString>("word");  // radio button to check: "", "OR" or "XOR"
    QTest::addColumn<QString>("criterion");
    QTest::addColumn<QString>("reopenedWord");
    QTest::addColumn<QStringList>("reopenedRows");

    QTest::newRow("like value is stored lower-cased")
        << std::vector<RowChoice>{{1, 2, "*.DOC"}} << ""
        << R"($Name like "*.DOC")"
        << "AND" << QStringList{"Name|like (*,?)|*.doc", kEmptyRow, kEmptyRow, kEmptyRow};
    QTest::newRow("rows 1 and 3 with OR close up")
        << std::vector<RowChoice>{{1, 2, "*.doc"}, {}, {2, 0, "txt"}} << "OR"
        << R"($Name like "*.doc" or $Ext="txt")"
        << "OR"
        << QStringList{"Name|like (*,?)|*.doc", "Extension|equals|txt", kEmptyRow, kEmptyRow};
    QTest::newRow("XOR reopens checked")
        << std::vector<RowChoice>{{1, 0, "readme"}, {2, 1, "tmp"}} << "XOR"
        << R"($Name="readme" xor $Ext!="tmp")"
        << "XOR"
        << QStringList{"Name|equals|readme", "Extension|not equals|tmp", kEmptyRow, kEmptyRow};
    QTest::newRow("only row 4 filled")
        << std::vector<RowChoice>{{}, {}, {}, {2, 1, "tmp"}} << "OR"
        << R"($Ext!="tmp")"
        << "AND" << QStringList{"Extension|not equals|tmp", kEmptyRow, kEmptyRow, kEmptyRow};
    QTest::newRow("four rows nest to the right")
        << std::vector<RowChoice>{{1, 0, "a"}, {1, 1, "b"}, {2, 2, "c*"}, {2, 0, "d"}} << ""
        << R"($Name="a" and $Name!="b" and $Ext like "c*" and $Ext="d")"
        << "AND"
        << QStringList{"Name|equals|a", "Name|not equals|b", "Extension|like (*,?)|c*",
                       "Extension|equals|d"};
    QTest::newRow("incomplete rows are left out")
        << std::vector<RowChoice>{{1, 0, ""}, {0, 0, "x"}} << ""
        << ""
        << "AND" << QStringList{kEmptyRow, kEmptyRow, kEmptyRow, kEmptyRow};
  }
  void criterionRoundTrips() {
    QFETCH(std::vector<RowChoice>, rows);
    QFETCH(QString, word);
    QFETCH(QString, criterion);
    QFETCH(QString, reopenedWord);
    QFETCH(QStringList, reopenedRows);

    DelveFiltersDlg dialog("", nullptr);
    for (std::size_t i = 0; i < rows.size(); ++i) setRow(dialog, static_cast<int>(i), rows[i]);
    if (word == "OR") dialog.orButton()->setChecked(true);
    if (word == "XOR") dialog.xorButton()->setChecked(true);
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(QString::fromStdString(dialog.criterion()), criterion);

    DelveFiltersDlg reopened(dialog.criterion(), nullptr);
    QCOMPARE(checkedWord(reopened), reopenedWord);
    for (int i = 0; i < DelveFiltersDlg::kRowCount; ++i) {
      QCOMPARE(rowOf(reopened, i), reopenedRows[i]);
    }
  }

  void patternIsOneValueWhateverItHolds() {
    // Operator words, parentheses, quotes and backslashes in a pattern stay in its one value.
    const struct {
      const char* pattern;
      const char* criterion;
    } cases[] = {{"black or white", "$Name=\"black or white\""},
                 {"a) and (b", "$Name=\"a) and (b\""},
                 {"say \"hi\" \\o/", "$Name=\"say \\\"hi\\\" \\\\o/\""}};
    for (const auto& c : cases) {
      DelveFiltersDlg dialog("", nullptr);
      setRow(dialog, 0, {1, 0, c.pattern});
      dialog.accept();
      QCOMPARE(QString::fromStdString(dialog.criterion()), QString::fromUtf8(c.criterion));
      DelveFiltersDlg reopened(dialog.criterion(), nullptr);
      QCOMPARE(rowOf(reopened, 0), QStringLiteral("Name|equals|") + QString::fromUtf8(c.pattern));
      QCOMPARE(rowOf(reopened, 1), kEmptyRow);
    }
  }

  void unparsableCriterionOpensEmpty() {
    DelveFiltersDlg dialog(R"($Name = "a" and my prop = 1)", nullptr);
    QCOMPARE(checkedWord(dialog), QStringLiteral("AND"));
    for (int i = 0; i < DelveFiltersDlg::kRowCount; ++i) QCOMPARE(rowOf(dialog, i), kEmptyRow);
  }

  void cancelKeepsTheCriterion() {
    DelveFiltersDlg dialog(R"($Ext="txt")", nullptr);
    setRow(dialog, 0, {1, 0, "changed"});
    dialog.reject();
    QCOMPARE(QString::fromStdString(dialog.criterion()), QStringLiteral(R"($Ext="txt")"));
  }

  void sizeSortComparesTheSizesThemselves() {
    // Sizes from 2 GiB on overflow a difference cut down to an int; equal size texts
    // ("3072 Mo") still order by the sizes behind them.
    const std::uint64_t gib = 1ULL << 30;
    const std::vector<std::uint64_t> sizes = {5 * gib, 10,      3 * gib + 1, 1500,
                                              2 * gib, 3 * gib, 2 * gib - 1, 0};
    DelveRowStore store;
    for (std::uint64_t size : sizes) {
      DyxListRow row;
      row.name = "f" + std::to_string(store.size());
      row.size = size;
      store.append(row);
    }
    FileListModel model(store, nullptr);
    std::vector<std::uint32_t> all(store.size());
    for (std::uint32_t i = 0; i < all.size(); ++i) all[i] = i;
    model.setRows(all);
    // The window keeps values only: the texts are written from them when a row is shown.
    QCOMPARE(model.data(model.index(3, FileListModel::kSize), Qt::DisplayRole).toString(),
             QStringLiteral("1.46484 Ko"));
    QCOMPARE(model.data(model.index(0, FileListModel::kModified), Qt::DisplayRole).toString(),
             QStringLiteral("----/--/-- --:--:--"));

    std::vector<std::uint64_t> expected = sizes;
    std::sort(expected.begin(), expected.end());
    model.sortRows(FileListModel::kSize, true);
    for (int i = 0; i < model.rowCount(); ++i) {
      QCOMPARE(model.rowValues(i).size, expected[i]);
    }
    model.sortRows(FileListModel::kSize, false);
    for (int i = 0; i < model.rowCount(); ++i) {
      QCOMPARE(model.rowValues(i).size, expected[expected.size() - 1 - i]);
    }
  }

  void textColumnsSortWithoutCase() {
    DelveRowStore store;
    const char* names[] = {"beta", "Alpha", "gamma", "ALPHA2"};
    for (const char* name : names) {
      DyxListRow row;
      row.name = name;
      store.append(row);
    }
    FileListModel model(store, nullptr);
    model.setRows({0, 1, 2, 3});
    model.sortRows(FileListModel::kName, true);
    QStringList order;
    for (int i = 0; i < model.rowCount(); ++i) {
      order << model.data(model.index(i, 0), Qt::DisplayRole).toString();
    }
    QCOMPARE(order, (QStringList{"Alpha", "ALPHA2", "beta", "gamma"}));
  }

  void driveNamesGetTheSystemLabel_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    QTest::newRow("C:") << "C:"
                        << "System (C:)";
    QTest::newRow("A:") << "A:"
                        << "System (A:)";
    QTest::newRow("Z:") << "Z:"
                        << "System (Z:)";
    QTest::newRow("lower case") << "c:"
                                << "c:";
    QTest::newRow("two letters") << "CD:"
                                 << "CD:";
    QTest::newRow("digit") << "1:"
                           << "1:";
    QTest::newRow("no colon") << "CC"
                              << "CC";
    QTest::newRow("letter alone") << "C"
                                  << "C";
    QTest::newRow("past Z") << "[:"
                            << "[:";
  }
  void driveNamesGetTheSystemLabel() {
    QFETCH(QString, name);
    QFETCH(QString, label);
    QCOMPARE(DelveDisplayModel::folderLabel(name.toStdString()), label);
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
