// The window following changes after a parse: files created, grown, renamed and deleted at the
// top of the parse and three levels down, a new and a removed directory, each shown within two
// seconds without losing the list's selection; a system without enough directory watches (the
// environment's fault) has the status line name the polled folders, whose changes still show;
// "Follow changes" turned off and on (catching up with what changed meanwhile), and kept as a
// preference.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <fstream>

#include "delvedlg.h"
#include "displaymodel.h"
#include "dyxcore/frontend.h"
#include "dyxcore/platform.h"
#include "filelistmodel.h"
#include "foldertreemodel.h"
#include "support/fault_env.h"

namespace {

constexpr int kParseTimeoutMs = 60000;
// A followed change shows within this; a polled folder is read once a second.
constexpr int kShownMs = 2000;
constexpr int kPolledShownMs = 4000;

void writeFile(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
  file.write(content);
}

void appendTo(const QString& path, const QByteArray& content) {
  QFile file(path);
  QVERIFY2(file.open(QIODevice::Append), qPrintable(path));
  file.write(content);
}

template <typename T>
T* control(const DelveDlg& dlg, const char* name) {
  T* found = dlg.findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("the window has no control %s", name);
  return found;
}

// The tree item of the Location view's folder for `dir`; invalid when the tree has none.
QModelIndex locationItem(const DelveDlg& dlg, const QString& dir) {
  const FolderTreeModel* model = dlg.display().treeModel();
  QModelIndex item = model->indexOf(DelveDisplayModel::kRootId);
  for (const QString& part : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    const QString label = DelveDisplayModel::folderLabel(part.toStdString());
    QModelIndex next;
    for (int i = 0; item.isValid() && i < model->rowCount(item); ++i) {
      if (model->index(i, 0, item).data().toString() == label) next = model->index(i, 0, item);
    }
    item = next;
  }
  return item;
}

// The list's row of the file `name`, or -1.
int listRow(const DelveDlg& dlg, const QString& name) {
  const FileListModel* model = dlg.display().listModel();
  for (int row = 0; row < model->rowCount(); ++row) {
    if (QString::fromStdString(model->rowValues(row).name) == name) return row;
  }
  return -1;
}

std::uint64_t listedSize(const DelveDlg& dlg, const QString& name) {
  const int row = listRow(dlg, name);
  return row < 0 ? 0 : dlg.display().listModel()->rowValues(row).size;
}

}  // namespace

class FollowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_work;
  quarrytest::FaultEnv m_env;

  static bool parse(DelveDlg& dlg, const QString& dir) {
    control<QLineEdit>(dlg, "path")->setText(dir);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.startParse();
    return finished.wait(kParseTimeoutMs);
  }
  // Shows the files of `dir` in the list, as a click on its tree item does.
  static bool select(DelveDlg& dlg, const QString& dir) {
    const QModelIndex item = locationItem(dlg, dir);
    if (!item.isValid()) return false;
    control<QTreeView>(dlg, "tree")->setCurrentIndex(item);
    return dlg.display().selectedFolder() == FolderTreeModel::folderId(item);
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY(QDir::setCurrent(m_work.path()));
    QVERIFY(QDir().mkpath(m_work.path() + QStringLiteral("/conf")));
    // Installed before the engine starts: the pool watches through it.
    dyxplatform::Env::setCurrent(&m_env);
    DyxFrontEnd::startEngine();
  }

  void cleanupTestCase() {
    DyxFrontEnd::stopEngine();
    dyxplatform::Env::setCurrent(nullptr);
  }

  void changesShowInTheListWithinTwoSeconds() {
    const QString root = m_work.path() + QStringLiteral("/live");
    const QString deep = root + QStringLiteral("/a/b/c");
    writeFile(root + "/top.txt", "t");
    writeFile(root + "/zz.txt", "z");
    writeFile(deep + "/deep.txt", "d");
    writeFile(root + "/gone/inner/g.txt", "g");
    DelveDlg dlg;
    dlg.show();
    QVERIFY(control<QAction>(dlg, "followChanges")->isChecked());
    QVERIFY(parse(dlg, root));
    QTRY_VERIFY(dlg.display().followCounts().watched == 6);

    for (const QString& dir : {root, deep}) {
      const QByteArray where = dir.toUtf8();
      QVERIFY2(select(dlg, dir), where.constData());
      // The user's selection in the list outlives every change around it.
      const QString kept = dir == root ? QStringLiteral("zz.txt") : QStringLiteral("deep.txt");
      QTreeView* list = control<QTreeView>(dlg, "list");
      list->setCurrentIndex(dlg.display().listModel()->index(listRow(dlg, kept), 0));
      const int folders = dlg.display().folderCount();

      writeFile(dir + "/new.txt", "n");
      QTRY_VERIFY2_WITH_TIMEOUT(listRow(dlg, "new.txt") >= 0, ("created in " + where).constData(),
                                kShownMs);
      appendTo(dir + "/new.txt", "grown");
      QTRY_VERIFY2_WITH_TIMEOUT(listedSize(dlg, "new.txt") == 6, ("grown in " + where).constData(),
                                kShownMs);
      QVERIFY(QFile::rename(dir + "/new.txt", dir + "/renamed.txt"));
      QTRY_VERIFY2_WITH_TIMEOUT(listRow(dlg, "renamed.txt") >= 0 && listRow(dlg, "new.txt") < 0,
                                ("renamed in " + where).constData(), kShownMs);
      QVERIFY(QFile::remove(dir + "/renamed.txt"));
      QTRY_VERIFY2_WITH_TIMEOUT(listRow(dlg, "renamed.txt") < 0,
                                ("deleted in " + where).constData(), kShownMs);

      QCOMPARE(dlg.display().folderCount(), unsigned(folders));
      const QModelIndex current = list->currentIndex();
      QVERIFY2(current.isValid() &&
                   dlg.display().listModel()->rowValues(current.row()).name == kept.toStdString(),
               where.constData());
    }

    writeFile(root + "/fresh/f.txt", "f");
    QTRY_VERIFY_WITH_TIMEOUT(locationItem(dlg, root + "/fresh").isValid(), kShownMs);
    QVERIFY(select(dlg, root + "/fresh"));
    QTRY_VERIFY_WITH_TIMEOUT(listRow(dlg, "f.txt") >= 0, kShownMs);

    QVERIFY(select(dlg, root + "/gone/inner"));
    QVERIFY(listRow(dlg, "g.txt") >= 0);
    QVERIFY(QDir(root + "/gone").removeRecursively());
    QTRY_VERIFY_WITH_TIMEOUT(!locationItem(dlg, root + "/gone").isValid(), kShownMs);
    // The selection moved to a folder that is still there.
    QVERIFY(listRow(dlg, "g.txt") < 0);
    QVERIFY(dlg.display().folder(dlg.display().selectedFolder()) != nullptr);
    // The totals follow: top.txt, zz.txt, deep.txt and f.txt remain.
    QTRY_VERIFY_WITH_TIMEOUT(dlg.display().fileCount() == 4, kShownMs);
  }

  // Subscribing every folder of a large tree takes a while: the parse shows as finished before
  // it, and Start then starts a parse rather than stopping the subscription.
  void theParseEndsBeforeItsFoldersAreWatched() {
    const QString root = m_work.path() + QStringLiteral("/subscribing");
    for (const char* dir : {"a", "b"}) writeFile(root + "/" + dir + "/f.txt", "f");
    m_env.holdWatching((root + QStringLiteral("/b")).toStdString());
    struct Release {
      quarrytest::FaultEnv& env;
      ~Release() { env.release(); }
    } release{m_env};
    DelveDlg dlg;
    dlg.show();
    control<QLineEdit>(dlg, "path")->setText(root);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.startParse();
    QVERIFY(finished.wait(kPolledShownMs));
    QVERIFY(!dlg.display().isParsingShown());
    QVERIFY(dlg.display().followCounts().watched < 3);
    dlg.startOrStop();
    m_env.release();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 2, kPolledShownMs);
    QTRY_VERIFY_WITH_TIMEOUT(dlg.display().followCounts().watched == 3, kShownMs);
  }

  void polledFoldersAreNamedAndStillFollowed() {
    const QString root = m_work.path() + QStringLiteral("/limited");
    for (const char* dir : {"a", "b", "c", "d"}) writeFile(root + "/" + dir + "/f.txt", "f");
    m_env.limitWatches(2);
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, root));
    // The root and "a" are watched; "b", "c" and "d" are polled.
    const QString polled = QString::fromStdString(DelveDisplayModel::polledText(3));
    QLineEdit* status = control<QLineEdit>(dlg, "status1");
    QTRY_VERIFY2_WITH_TIMEOUT(status->text().contains(polled), qPrintable(status->text()),
                              kShownMs);

    QVERIFY(select(dlg, root + "/d"));
    writeFile(root + "/d/new.txt", "n");
    QTRY_VERIFY_WITH_TIMEOUT(listRow(dlg, "new.txt") >= 0, kPolledShownMs);
    appendTo(root + "/d/f.txt", "grown");
    QTRY_VERIFY_WITH_TIMEOUT(listedSize(dlg, "f.txt") == 6, kPolledShownMs);

    // Turned off, nothing is followed and the choice is kept; turned on, all comes back.
    QAction* follow = control<QAction>(dlg, "followChanges");
    follow->trigger();
    QVERIFY(!follow->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(!status->text().contains(polled), kShownMs);
    QVERIFY(!DyxFrontEnd::followChangesPreferred());
    QFile pref(m_work.path() + QStringLiteral("/conf/pref.ini"));
    QVERIFY(pref.open(QIODevice::ReadOnly));
    QVERIFY(pref.readAll().contains("FollowChanges \"false\""));
    // What changes meanwhile shows once following is back.
    writeFile(root + "/a/meanwhile.txt", "m");
    follow->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(status->text().contains(polled), kShownMs);
    QVERIFY(DyxFrontEnd::followChangesPreferred());
    QVERIFY(select(dlg, root + "/a"));
    QTRY_VERIFY_WITH_TIMEOUT(listRow(dlg, "meanwhile.txt") >= 0, kShownMs);
    m_env.limitWatches(-1);
  }
};

QTEST_MAIN(FollowTest)
#include "follow_threads_test.moc"
