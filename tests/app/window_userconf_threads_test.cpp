// The window with the user's own configuration: "Sort by" offers the Type view and the views of
// conf/views and shows a user view's files once the parse has made them, the list's context menu
// runs a launcher command without blocking the window, and an edit of conf/pref.ini reaches the
// engine while the window runs (a damaged edit changes nothing and says so).
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include "commandrunner.h"
#include "delvedlg.h"
#include "displaymodel.h"
#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/frontend.h"
#include "filelistmodel.h"
#include "foldertreemodel.h"

namespace {

constexpr int kParseTimeoutMs = 60000;

void writeText(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
  file.write(content);
}

template <typename T>
T* control(const DelveDlg& dlg, const char* name) {
  T* found = dlg.findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("the window has no control %s", name);
  return found;
}

QModelIndex rootItem(const DelveDlg& dlg) {
  return dlg.display().treeModel()->indexOf(DelveDisplayModel::kRootId);
}

// The tree item at the path of labels below the root, invalid when one is missing.
QModelIndex itemAt(const DelveDlg& dlg, const QStringList& labels) {
  QModelIndex item = rootItem(dlg);
  for (const QString& label : labels) {
    const QAbstractItemModel* model = item.model();
    QModelIndex next;
    for (int i = 0; i < model->rowCount(item); ++i) {
      if (model->index(i, 0, item).data().toString() == label) next = model->index(i, 0, item);
    }
    if (!next.isValid()) return next;
    item = next;
  }
  return item;
}

// The names the list shows once the folder at `labels` is selected.
QStringList namesIn(DelveDlg& dlg, const QStringList& labels) {
  const QModelIndex item = itemAt(dlg, labels);
  if (!item.isValid()) return {QStringLiteral("<no folder %1>").arg(labels.join('/'))};
  control<QTreeView>(dlg, "tree")->setCurrentIndex(item);
  QStringList names;
  const FileListModel* model = dlg.display().listModel();
  for (int row = 0; row < model->rowCount(); ++row) {
    names << model->data(model->index(row, 0), Qt::DisplayRole).toString();
  }
  names.sort();
  return names;
}

QAction* sortByAction(const DelveDlg& dlg, const QString& tag) {
  for (QAction* action : control<QMenu>(dlg, "viewMenu")->actions()) {
    if (action->data().toString() == tag) return action;
  }
  return nullptr;
}

}  // namespace

class WindowUserConfTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_work;
  QString m_tree;

  static bool parse(DelveDlg& dlg, const QString& dir) {
    control<QLineEdit>(dlg, "path")->setText(dir);
    control<QCheckBox>(dlg, "recurse")->setChecked(true);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::mouseClick(control<QPushButton>(dlg, "start"), Qt::LeftButton);
    return finished.wait(kParseTimeoutMs);
  }

  static bool switchTo(DelveDlg& dlg, const QString& tag) {
    QAction* action = sortByAction(dlg, tag);
    if (action == nullptr) return false;
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    action->trigger();
    return finished.wait(kParseTimeoutMs);
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY(QDir::setCurrent(m_work.path()));
    m_tree = m_work.path() + QStringLiteral("/tree");
    writeText(m_tree + "/notes.txt", "n");
    writeText(m_tree + "/UP.TXT", "u");
    writeText(m_tree + "/photo.jpg", "p");
    writeText(m_tree + "/sub/deep.txt", "d");
    writeText("conf/pref.ini", "TraceLevel \"SILENT\"\nExtCase \"false\"\n");
    writeText("conf/type.ini", "Text \"$Ext=txt\"\nImage \"$Ext=jpg\"\n");
    // The command sleeps, so a window that waited for it would be seen waiting.
    const QString script = m_work.path() + QStringLiteral("/namecount");
    writeText(script, "#!/bin/sh\nsleep 1\nn=$(basename \"$1\")\necho \"$n\" 42\n");
    QFile(script).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeText("conf/app.ini", "NameCount Text \"\" \"" + script.toUtf8() + "\" \"$name $count\"\n");
    writeText("conf/views/Work.kx",
              "# U\nF / \"true\" \"<none>\"\nF \"./Mine\" \"true\" \"<none>\"\n"
              "F \"./Mine/Deep\" \"true\" \"<none>\"\n"
              "F \"./Later\" \"true\" \"<none>\"\n"
              "E \"./Mine\" \"" +
                  m_tree.toUtf8() +
                  "/notes.txt\"\n"
                  "E \"./Mine/Deep\" \"" +
                  m_tree.toUtf8() + "/sub/deep.txt\"\n" + "E / \"" + m_tree.toUtf8() +
                  "/UP.TXT\"\n");
    writeText("conf/views/Media.kx",
              "# F\nF / \"<undef>\" \"<none>\"\nF \"./Texts\" \"$Ext = txt\" \"\"\n"
              "F \"./Nothing\" \"$Ext = none\" \"\"\n");
    DyxFrontEnd::startEngine();
  }

  void cleanupTestCase() { DyxFrontEnd::stopEngine(); }

  void sortByOffersEveryViewAndShowsUserViews() {
    DelveDlg dlg;
    dlg.show();
    QStringList tags;
    for (QAction* action : control<QMenu>(dlg, "viewMenu")->actions()) {
      if (!action->data().toString().isEmpty()) tags << action->data().toString();
    }
    QCOMPARE(tags, QStringList({"Flat", "Location", "Name", "Ext", "Size", "MTime", "Status",
                                "Owner", "Group", "Type", "Media", "Work"}));
    QVERIFY(sortByAction(dlg, "Location")->isChecked());

    QVERIFY(parse(dlg, m_tree));
    QVERIFY(switchTo(dlg, "Type"));
    QCOMPARE(namesIn(dlg, {"Text"}), QStringList({"UP.TXT", "deep.txt", "notes.txt"}));

    // A user view after the parse: its folders (the empty one too) and its entries.
    QVERIFY(switchTo(dlg, "Work"));
    QVERIFY(sortByAction(dlg, "Work")->isChecked());
    QVERIFY(!sortByAction(dlg, "Type")->isChecked());
    QCOMPARE(rootItem(dlg).data().toString(), QStringLiteral("Get Quarry! (Work)"));
    QVERIFY(itemAt(dlg, {"Later"}).isValid());
    QCOMPARE(namesIn(dlg, {"Mine"}), QStringList({"notes.txt"}));
    QCOMPARE(namesIn(dlg, {"Mine", "Deep"}), QStringList({"deep.txt"}));
    // A file the view places at its top is the root item's row, and counted.
    QCOMPARE(namesIn(dlg, {}), QStringList({"UP.TXT"}));
    const QString status1 = control<QLineEdit>(dlg, "status1")->text();
    QVERIFY2(status1.startsWith(QStringLiteral("Total: 3 folder(s), 3 file(s)")),
             qPrintable(status1));

    // Parsed with the user view chosen: the view is built before the scan makes its files, and
    // still shows them once the parse is done.
    QVERIFY(parse(dlg, m_tree));
    QCOMPARE(namesIn(dlg, {"Mine"}), QStringList({"notes.txt"}));
    QCOMPARE(namesIn(dlg, {"Mine", "Deep"}), QStringList({"deep.txt"}));
    QCOMPARE(namesIn(dlg, {}), QStringList({"UP.TXT"}));

    // A filter view shows its folders, the one that keeps nothing too.
    QVERIFY(switchTo(dlg, "Media"));
    QVERIFY(itemAt(dlg, {"Nothing"}).isValid());
    QCOMPARE(namesIn(dlg, {"Texts"}), QStringList({"UP.TXT", "deep.txt", "notes.txt"}));

    // A view file added while the window runs is offered the next time the menu opens.
    writeText("conf/views/Later.kx", "# U\nF / \"true\" \"<none>\"\n");
    QVERIFY(sortByAction(dlg, "Later") == nullptr);
    QMetaObject::invokeMethod(control<QMenu>(dlg, "viewMenu"), "aboutToShow");
    QVERIFY(sortByAction(dlg, "Later") != nullptr);
    QVERIFY(sortByAction(dlg, "Media")->isChecked());
  }

  void contextMenuRunsCommandsWithoutBlocking() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, m_tree));
    QTreeView* list = control<QTreeView>(dlg, "list");
    auto* runner = dlg.findChild<DelveCommandRunner*>(QStringLiteral("commandRunner"));
    QVERIFY(runner != nullptr);
    // The commands that apply to a row's file: a .txt file has one, a .jpg file none.
    auto menuFor = [&](const QString& name) -> QAction* {
      const FileListModel* model = dlg.display().listModel();
      for (int row = 0; row < model->rowCount(); ++row) {
        if (model->data(model->index(row, 0), Qt::DisplayRole).toString() != name) continue;
        list->scrollTo(model->index(row, 0));
        Q_EMIT list->customContextMenuRequested(list->visualRect(model->index(row, 0)).center());
        QMenu* menu = control<QMenu>(dlg, "commandMenu");
        menu->hide();
        for (QAction* action : menu->actions()) {
          if (action->objectName() == QStringLiteral("command:NameCount")) return action;
        }
      }
      return nullptr;
    };
    namesIn(dlg, QString(m_tree).split('/', Qt::SkipEmptyParts));
    QVERIFY(menuFor("photo.jpg") == nullptr);
    QAction* count = menuFor("notes.txt");
    QVERIFY(count != nullptr);

    QSignalSpy finished(runner, &DelveCommandRunner::finished);
    QElapsedTimer clock;
    clock.start();
    count->trigger();
    // The program sleeps a second; the window went on at once.
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(runner->running(), 1);
    QVERIFY(finished.wait(20000));
    const QString text = finished.first().first().toString();
    QCOMPARE(text, QStringLiteral("NameCount on notes.txt: name=notes.txt count=42"));
    QCOMPARE(control<QLineEdit>(dlg, "status2")->text(), text);
    QCOMPARE(runner->running(), 0);
  }

  void preferenceEditsReachTheEngine() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, m_tree));
    QVERIFY(switchTo(dlg, "Ext"));
    QCOMPARE(namesIn(dlg, {"txt"}), QStringList({"UP.TXT", "deep.txt", "notes.txt"}));
    QVERIFY(!Dyx::getEnviron().getBoolPreference("ExtCase"));

    // The edit reaches the engine, and the extension view is built again by the new value.
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    writeText("conf/pref.ini", "TraceLevel \"SILENT\"\nExtCase \"true\"\n");
    QTRY_VERIFY_WITH_TIMEOUT(Dyx::getEnviron().getBoolPreference("ExtCase"), 10000);
    // The rebuilt view arrives a slice at a time: its folders are compared once it is whole.
    QTRY_VERIFY_WITH_TIMEOUT(itemAt(dlg, {"TXT"}).isValid(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(namesIn(dlg, {"txt"}), QStringList({"deep.txt", "notes.txt"}), 10000);
    QCOMPARE(namesIn(dlg, {"TXT"}), QStringList({"UP.TXT"}));
    QVERIFY(control<QLineEdit>(dlg, "status2")->text().contains("ExtCase"));

    // A damaged edit keeps every value in use and says so; the view is not rebuilt.
    writeText("conf/pref.ini", "TraceLevel \"DEBUG\"\nExtCase \"false\n");
    QTRY_VERIFY_WITH_TIMEOUT(
        control<QLineEdit>(dlg, "status2")->text().contains("cannot be read whole"), 10000);
    QVERIFY(control<QLineEdit>(dlg, "status2")->text().contains("conf/pref.ini: line 2"));
    QVERIFY(Dyx::getEnviron().getBoolPreference("ExtCase"));
    QCOMPARE(Dyx::getEnviron().getPreference("TraceLevel"), std::string("SILENT"));
    QVERIFY(itemAt(dlg, {"TXT"}).isValid());

    // Replaced by a rename, as editors save, the file is still followed.
    writeText("conf/pref.ini.new", "TraceLevel \"SILENT\"\nExtCase \"false\"\n");
    QVERIFY(QFile::remove("conf/pref.ini"));
    QVERIFY(QFile::rename("conf/pref.ini.new", "conf/pref.ini"));
    QTRY_VERIFY_WITH_TIMEOUT(!Dyx::getEnviron().getBoolPreference("ExtCase"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!itemAt(dlg, {"TXT"}).isValid() && itemAt(dlg, {"txt"}).isValid(),
                             10000);
  }
};

QTEST_MAIN(WindowUserConfTest)
#include "window_userconf_threads_test.moc"
