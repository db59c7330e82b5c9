// The window and the saved index of its last parse: parse a tree, quit, start again; the rows
// are back before anything of the tree is read, and a file added while the program was down
// shows after the update pass, with the selected folder still selected.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <set>
#include <string>
#include <vector>

#include "delvedlg.h"
#include "displaymodel.h"
#include "dyxcore/frontend.h"
#include "foldertreemodel.h"

namespace {

constexpr int kTimeoutMs = 60000;
constexpr int kShownMs = 5000;

void makeFile(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
  file.write("x");
}

template <typename T>
T* control(const DelveDlg& dlg, const char* name) {
  T* found = dlg.findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("the window has no control %s", name);
  return found;
}

// Every row name the display lists, in every folder: each tree item is selected in turn, as a
// person would look, and the selection is put back.
std::set<std::string> shownNames(const DelveDlg& dlg) {
  QTreeView* tree = control<QTreeView>(dlg, "tree");
  const QModelIndex before = tree->currentIndex();
  const FolderTreeModel* folders = dlg.display().treeModel();
  std::set<std::string> names;
  std::vector<QModelIndex> items = {folders->indexOf(DelveDisplayModel::kRootId)};
  while (!items.empty()) {
    const QModelIndex item = items.back();
    items.pop_back();
    for (int i = 0; i < folders->rowCount(item); ++i) items.push_back(folders->index(i, 0, item));
    tree->setCurrentIndex(item);
    const FileListModel* list = dlg.display().listModel();
    for (int r = 0; r < list->rowCount(); ++r) names.insert(list->rowValues(r).name);
  }
  tree->setCurrentIndex(before);
  return names;
}

QModelIndex childLabelled(const QModelIndex& parent, const QString& label) {
  const QAbstractItemModel* model = parent.model();
  for (int i = 0; parent.isValid() && i < model->rowCount(parent); ++i) {
    if (model->index(i, 0, parent).data().toString() == label) return model->index(i, 0, parent);
  }
  return QModelIndex();
}

// The Location view's tree item of `dir`.
QModelIndex locationItem(const DelveDlg& dlg, const QString& dir) {
  QModelIndex item = dlg.display().treeModel()->indexOf(DelveDisplayModel::kRootId);
  for (const QString& part : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    item = childLabelled(item, part);
  }
  return item;
}

}  // namespace

class SavedIndexWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_work;
  QString m_tree;

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY(QDir::setCurrent(m_work.path()));
    m_tree = m_work.path() + QStringLiteral("/tree");
    makeFile(m_tree + QStringLiteral("/a.txt"));
    makeFile(m_tree + QStringLiteral("/sub/b.txt"));
    makeFile(m_tree + QStringLiteral("/sub/deep/c.txt"));
  }

  void lastParseIsBackBeforeAnyScanAndTheUpdateShowsWhatChanged() {
    {
      DyxFrontEnd::startEngine();
      DelveDlg dlg;
      dlg.show();
      // A fresh start without an index restores nothing.
      QVERIFY(!dlg.restoreLastParse());
      control<QLineEdit>(dlg, "path")->setText(m_tree);
      control<QCheckBox>(dlg, "recurse")->setChecked(true);
      QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
      dlg.startParse();
      QVERIFY(finished.wait(kTimeoutMs));
      QCOMPARE(shownNames(dlg), (std::set<std::string>{"a.txt", "b.txt", "c.txt"}));
      // Saved while the window is still open: a window killed now keeps its index.
      QTRY_VERIFY_WITH_TIMEOUT(
          DyxSavedIndex::read(DyxSavedIndex::currentName()).dir == m_tree.toStdString(), kShownMs);
    }
    DyxFrontEnd::stopEngine();
    QVERIFY(QFile::exists(m_work.path() + QStringLiteral("/lastparse.index")));

    // While the program is down: a file comes deep in the tree.
    makeFile(m_tree + QStringLiteral("/sub/new.txt"));

    DyxFrontEnd::startEngine();
    {
      DelveDlg dlg;
      dlg.show();
      QSignalSpy restored(&dlg, &DelveDlg::indexRestored);
      QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
      QVERIFY(dlg.restoreLastParse());
      QCOMPARE(control<QLineEdit>(dlg, "path")->text(), m_tree);
      QVERIFY(control<QCheckBox>(dlg, "recurse")->isChecked());
      QVERIFY(restored.count() > 0 || restored.wait(kTimeoutMs));
      // The saved rows, as saved: nothing was read yet, so the new file is not among them. (A
      // folder's list reads the engine, where the update pass may already have put the new
      // file: the shown totals say what the window was told.)
      QCOMPARE(dlg.display().fileCount(), 3u);
      const QString status2 = control<QLineEdit>(dlg, "status2")->text();
      QVERIFY2(status2.startsWith(QStringLiteral("Saved index of ") + m_tree + ", saved "),
               qPrintable(status2));
      // The user picks a folder before the update is shown: it stays picked.
      QTreeView* tree = control<QTreeView>(dlg, "tree");
      const QModelIndex sub = locationItem(dlg, m_tree + QStringLiteral("/sub"));
      QVERIFY(sub.isValid());
      tree->setCurrentIndex(sub);
      const std::uint64_t subId = dlg.display().selectedFolder();
      QVERIFY(subId != DelveDisplayModel::kRootId);

      QVERIFY(finished.count() > 0 || finished.wait(kTimeoutMs));
      QCOMPARE(shownNames(dlg), (std::set<std::string>{"a.txt", "b.txt", "c.txt", "new.txt"}));
      const QModelIndex current = tree->currentIndex();
      QVERIFY(current.isValid());
      QCOMPARE(current.data().toString(), QStringLiteral("sub"));
      QCOMPARE(dlg.display().listModel()->rowCount(), 2);
      QVERIFY2(control<QLineEdit>(dlg, "status2")->text().contains(QStringLiteral("up to date")),
               qPrintable(control<QLineEdit>(dlg, "status2")->text()));
      // Once up to date, the restored index is followed like a parse.
      makeFile(m_tree + QStringLiteral("/sub/deep/live.txt"));
      QTRY_VERIFY_WITH_TIMEOUT(shownNames(dlg).count("live.txt") == 1, 5000);
    }
    DyxFrontEnd::stopEngine();
  }
};

QTEST_MAIN(SavedIndexWindowTest)
#include "saved_index_test.moc"
