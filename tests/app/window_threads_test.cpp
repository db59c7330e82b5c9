// The real window with its parse worker on temporary trees: the tree and list a parse fills,
// view switches while idle and during a parse, stopping, the Find box, header sorting, the
// drive label rule, the criterion, and closing the window during a long scan; the window used
// from the keyboard alone, typed paths, the remembered size and columns.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QWindow>
#include <chrono>
#include <future>
#include <thread>

#include "delvedlg.h"
#include "displaymodel.h"
#include "dyxcore/dyx.h"
#include "dyxcore/frontend.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/xentryrep.h"
#include "filelistmodel.h"
#include "foldertreemodel.h"
#include "parseworker.h"
#include "problemsdlg.h"
#include "support/fault_env.h"
#include "typedpath.h"
#include "windowlayout.h"

namespace {

constexpr int kParseTimeoutMs = 120000;
constexpr int kBigFolders = 40;
constexpr int kBigFilesPerFolder = 250;
constexpr int kBigFiles = kBigFolders * kBigFilesPerFolder;

void makeFile(const QString& path, qint64 size) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
  // Sizes past a few KiB are sparse: the tree holds 8 GiB of files in no disk space.
  if (size <= 4096) {
    file.write(QByteArray(static_cast<int>(size), 'x'));
  } else {
    QVERIFY(file.resize(size));
  }
}

// The window's controls, found as the user sees them: by their object names.
template <typename T>
T* control(const DelveDlg& dlg, const char* name) {
  T* found = dlg.findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("the window has no control %s", name);
  return found;
}
QLineEdit* pathEdit(const DelveDlg& dlg) { return control<QLineEdit>(dlg, "path"); }
QCheckBox* recurseBox(const DelveDlg& dlg) { return control<QCheckBox>(dlg, "recurse"); }
QPushButton* startButton(const DelveDlg& dlg) { return control<QPushButton>(dlg, "start"); }
QPushButton* criterionButton(const DelveDlg& dlg) {
  return control<QPushButton>(dlg, "criterionButton");
}
QLineEdit* criterionEdit(const DelveDlg& dlg) { return control<QLineEdit>(dlg, "criterion"); }
QLineEdit* findEdit(const DelveDlg& dlg) { return control<QLineEdit>(dlg, "find"); }
QTreeView* tree(const DelveDlg& dlg) { return control<QTreeView>(dlg, "tree"); }
QTreeView* list(const DelveDlg& dlg) { return control<QTreeView>(dlg, "list"); }
QLineEdit* status1(const DelveDlg& dlg) { return control<QLineEdit>(dlg, "status1"); }
QLineEdit* status2(const DelveDlg& dlg) { return control<QLineEdit>(dlg, "status2"); }
QSplitter* splitter(const DelveDlg& dlg) { return control<QSplitter>(dlg, "splitter"); }
QMenu* sortByMenu(const DelveDlg& dlg) { return control<QMenu>(dlg, "viewMenu"); }
QMenu* commandMenu(const DelveDlg& dlg) { return control<QMenu>(dlg, "commandMenu"); }

// The tree's root item ("Get Quarry! (tag)").
QModelIndex rootItem(const DelveDlg& dlg) {
  return dlg.display().treeModel()->indexOf(DelveDisplayModel::kRootId);
}

QModelIndex childLabelled(const QModelIndex& parent, const QString& label) {
  const QAbstractItemModel* model = parent.model();
  for (int i = 0; parent.isValid() && i < model->rowCount(parent); ++i) {
    if (model->index(i, 0, parent).data().toString() == label) return model->index(i, 0, parent);
  }
  return QModelIndex();
}

QStringList childLabels(const QModelIndex& parent) {
  QStringList labels;
  for (int i = 0; i < parent.model()->rowCount(parent); ++i) {
    labels << parent.model()->index(i, 0, parent).data().toString();
  }
  return labels;
}

QIcon iconOf(const QModelIndex& item) { return item.data(Qt::DecorationRole).value<QIcon>(); }

QStringList column(const DelveDlg& dlg, int col) {
  QStringList texts;
  const FileListModel* model = dlg.display().listModel();
  for (int row = 0; row < model->rowCount(); ++row) {
    texts << model->data(model->index(row, col), Qt::DisplayRole).toString();
  }
  return texts;
}

int fileCountShown(const DelveDlg& dlg) {
  static const QRegularExpression files(QStringLiteral("Total: \\d+ folder\\(s\\), (\\d+) file"));
  const QRegularExpressionMatch match = files.match(status1(dlg)->text());
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

void clickHeader(DelveDlg& dlg, int section) {
  QHeaderView* header = list(dlg)->header();
  const QPoint centre(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                      header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, centre);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_work;
  QString m_small;             // a few files of every kind
  QString m_big;               // enough files for a parse to be caught running
  QString m_calls;             // where the fake desktop applications record their arguments
  quarrytest::FaultEnv m_env;  // lets a test hold a scan part-way
  QString m_home;              // $HOME of the test: typed relative paths lie below it

  // Every recorded call so far, each as "[arg][arg]", in no particular order; waits for `count`.
  QStringList recordedCalls(int count) {
    QStringList calls;
    for (int i = 0; i < 200; ++i) {
      calls.clear();
      QDir dir(m_calls);
      for (const QString& name : dir.entryList({QStringLiteral("*.done")}, QDir::Files)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly)) calls << QString::fromUtf8(file.readAll()).trimmed();
      }
      if (calls.size() >= count) break;
      QTest::qWait(25);
    }
    calls.sort();
    return calls;
  }

  // Starts a parse of `dir` with the start button and, when `wait`, waits for its end.
  static bool parse(DelveDlg& dlg, const QString& dir, bool recursive, bool wait = true) {
    pathEdit(dlg)->setText(dir);
    recurseBox(dlg)->setChecked(recursive);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::mouseClick(startButton(dlg), Qt::LeftButton);
    return !wait || finished.wait(kParseTimeoutMs);
  }

  // The tree item of the Location view's folder for `dir`.
  static QModelIndex locationItem(const DelveDlg& dlg, const QString& dir) {
    QModelIndex item = rootItem(dlg);
    for (const QString& part : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
      item = childLabelled(item, DelveDisplayModel::folderLabel(part.toStdString()));
    }
    return item;
  }

  // The next scan of m_big waits at the folder it lists last until m_env.release(), so a test
  // catches it running however fast the machine.
  void holdBigParse() {
    const QStringList listed =
        QDir(m_big).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    m_env.holdOpening((m_big + QLatin1Char('/') + listed.last()).toStdString());
  }

  static int componentCount(const QString& dir) {
    return static_cast<int>(dir.split(QLatin1Char('/'), Qt::SkipEmptyParts).size());
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY(QDir::setCurrent(m_work.path()));
    m_small = m_work.path() + QStringLiteral("/small");
    const qint64 gib = qint64(1) << 30;
    makeFile(m_small + "/ABC.txt", 10);
    makeFile(m_small + "/xabcx.doc", 500);
    makeFile(m_small + "/other.txt", 1500);
    makeFile(m_small + "/big.iso", 3 * gib);
    makeFile(m_small + "/huge.img", 5 * gib);
    makeFile(m_small + "/sub/deep.dat", 1);
    makeFile(m_small + "/C:/drive.txt", 2);
    makeFile(m_small + "/c:/lower.txt", 3);
    m_big = m_work.path() + QStringLiteral("/big");
    for (int d = 0; d < kBigFolders; ++d) {
      for (int f = 0; f < kBigFilesPerFolder; ++f) {
        makeFile(QStringLiteral("%1/d%2/f%3.dat").arg(m_big).arg(d, 2, 10, QLatin1Char('0')).arg(f),
                 0);
      }
    }
    // A desktop of our own: .txt files and folders open with a script that records its
    // arguments.
    m_calls = m_work.path() + QStringLiteral("/calls");
    QDir().mkpath(m_calls);
    const QString recorder = m_work.path() + QStringLiteral("/record");
    {
      QFile script(recorder);
      QVERIFY(script.open(QIODevice::WriteOnly));
      script.write("#!/bin/sh\nout=\"" + m_calls.toUtf8() +
                   "/call.$$\"\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$out.part\"\n"
                   "mv \"$out.part\" \"$out.done\"\n");
      script.close();
      script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString desktop = m_work.path() + QStringLiteral("/xdg-data/applications/");
    QDir().mkpath(desktop);
    QDir().mkpath(m_work.path() + QStringLiteral("/xdg-config"));
    for (const auto& [name, mime] : {std::pair{"quarry-test-text", "text/plain"},
                                     std::pair{"quarry-test-folder", "inode/directory"}}) {
      QFile entry(desktop + QString::fromLatin1(name) + QStringLiteral(".desktop"));
      QVERIFY(entry.open(QIODevice::WriteOnly));
      entry.write("[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + recorder.toUtf8() +
                  " " + QByteArray(name) + " %f\nMimeType=" + QByteArray(mime) + ";\n");
    }
    QFile mimeapps(m_work.path() + QStringLiteral("/xdg-config/mimeapps.list"));
    QVERIFY(mimeapps.open(QIODevice::WriteOnly));
    mimeapps.write(
        "[Default Applications]\ntext/plain=quarry-test-text.desktop\n"
        "inode/directory=quarry-test-folder.desktop\n");
    mimeapps.close();
    qputenv("XDG_DATA_HOME", (m_work.path() + QStringLiteral("/xdg-data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_work.path() + QStringLiteral("/xdg-config")).toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", "");
    // The machine's own applications, defaults and file manager stay out of the test.
    const QString systemData = m_work.path() + QStringLiteral("/sysdata");
    QDir().mkpath(systemData);
    QVERIFY(QFile::link(QStringLiteral("/usr/share/mime"), systemData + QStringLiteral("/mime")));
    qputenv("XDG_DATA_DIRS", systemData.toUtf8());
    qputenv("XDG_CONFIG_DIRS", (m_work.path() + QStringLiteral("/sysconfig")).toUtf8());
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            ("unix:path=" + m_work.path() + QStringLiteral("/no-such-bus")).toUtf8());
    m_home = m_work.path() + QStringLiteral("/home");
    makeFile(m_home + QStringLiteral("/keys/HashMap.txt"), 10);
    makeFile(m_home + QStringLiteral("/keys/hash_two.txt"), 20);
    makeFile(m_home + QStringLiteral("/keys/other.txt"), 30);
    qputenv("HOME", m_home.toUtf8());

    // Installed before the engine starts: the scans read through it.
    dyxplatform::Env::setCurrent(&m_env);
    DyxFrontEnd::startEngine();
  }

  void cleanupTestCase() {
    DyxFrontEnd::stopEngine();
    dyxplatform::Env::setCurrent(nullptr);
  }

  void parseFillsTreeAndList() {
    DelveDlg dlg;
    dlg.show();
    QCOMPARE(rootItem(dlg).data().toString(), QStringLiteral("Get Quarry! (Location)"));
    QVERIFY(recurseBox(dlg)->isChecked());
    // Our own icons are built in: the buttons and the tree root carry them.
    QVERIFY(!startButton(dlg)->icon().isNull());
    QVERIFY(!criterionButton(dlg)->icon().isNull());
    QVERIFY(!iconOf(rootItem(dlg)).isNull());
    QVERIFY(parse(dlg, m_small, true));

    const QModelIndex small = locationItem(dlg, m_small);
    QVERIFY2(small.isValid(), qPrintable(childLabels(rootItem(dlg)).join(',')));
    // Drive-style names get the system label; the children stay sorted by label.
    QCOMPARE(childLabels(small), (QStringList{"c:", "sub", "System (C:)"}));
    const QModelIndex drive = small.model()->index(2, 0, small);
    QVERIFY(!iconOf(drive).isNull());
    QVERIFY(iconOf(drive).cacheKey() != iconOf(small.model()->index(0, 0, small)).cacheKey());
    const int folders = componentCount(m_small) + 3;
    QCOMPARE(status1(dlg)->text(), QStringLiteral("Total: %1 folder(s), 8 file(s)").arg(folders));
    QVERIFY(!status2(dlg)->text().isEmpty());
    QVERIFY(!dlg.display().isParsingShown());
    QVERIFY(criterionButton(dlg)->isEnabled());

    tree(dlg)->setCurrentIndex(small);
    QCOMPARE(column(dlg, 0),
             (QStringList{"ABC.txt", "big.iso", "huge.img", "other.txt", "xabcx.doc"}));
    QCOMPARE(column(dlg, 1).first(), QStringLiteral("10 oct."));
    QCOMPARE(column(dlg, 2).first(), m_small + QStringLiteral("/ABC.txt"));
    QVERIFY(!column(dlg, 3).first().isEmpty());
    QVERIFY2(status1(dlg)->text().endsWith(QStringLiteral(". Selected folder: small: 5 file(s)")),
             qPrintable(status1(dlg)->text()));

    // Find: the typed text and the names are both folded to lower case.
    QTest::keyClicks(findEdit(dlg), QStringLiteral("Abc"));
    QCOMPARE(column(dlg, 0), (QStringList{"ABC.txt", "xabcx.doc"}));
    findEdit(dlg)->clear();
    QTest::keyClicks(findEdit(dlg), QStringLiteral("ABX"));
    QCOMPARE(dlg.display().listModel()->rowCount(), 0);
    findEdit(dlg)->clear();
    QTest::keyClicks(findEdit(dlg), QStringLiteral("abc"));
    QCOMPARE(column(dlg, 0), (QStringList{"ABC.txt", "xabcx.doc"}));
    QVERIFY(status1(dlg)->text().endsWith(QStringLiteral(": 2 file(s)")));
    findEdit(dlg)->clear();
    QCOMPARE(dlg.display().listModel()->rowCount(), 5);

    // The Size header: ascending, then descending; 3 and 5 GiB sort by their real sizes.
    clickHeader(dlg, FileListModel::kSize);
    QCOMPARE(dlg.display().sortColumn(), 1);
    QVERIFY(dlg.display().sortAscending());
    QCOMPARE(column(dlg, 0),
             (QStringList{"ABC.txt", "xabcx.doc", "other.txt", "big.iso", "huge.img"}));
    clickHeader(dlg, FileListModel::kSize);
    QVERIFY(!dlg.display().sortAscending());
    QCOMPARE(column(dlg, 0),
             (QStringList{"huge.img", "big.iso", "other.txt", "xabcx.doc", "ABC.txt"}));
    clickHeader(dlg, FileListModel::kName);
    QVERIFY(dlg.display().sortAscending());
    QCOMPARE(column(dlg, 0).first(), QStringLiteral("ABC.txt"));
  }

  void sortCriterionWhileIdle() {
    DelveDlg dlg;
    QVERIFY(parse(dlg, m_small, true));
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.sortBy("Ext");
    QCOMPARE(rootItem(dlg).data().toString(), QStringLiteral("Get Quarry! (Ext)"));
    QVERIFY(finished.wait(kParseTimeoutMs));
    // Rebuilt from the repository without a scan: the counts restart for the new view.
    const QStringList extensions = childLabels(rootItem(dlg));
    for (const char* ext : {"dat", "doc", "img", "iso", "txt"}) {
      QVERIFY2(extensions.contains(QString::fromLatin1(ext)), qPrintable(extensions.join(',')));
    }
    QCOMPARE(status1(dlg)->text(),
             QStringLiteral("Total: %1 folder(s), 8 file(s)").arg(extensions.size()));
    QVERIFY(status2(dlg)->text().isEmpty());

    // The same criterion again does nothing at all: no rebuild, the items stay.
    const QPersistentModelIndex first = rootItem(dlg).model()->index(0, 0, rootItem(dlg));
    dlg.sortBy("Ext");
    QVERIFY(!finished.wait(500));
    QVERIFY(first.isValid());
    QCOMPARE(QModelIndex(first), first.model()->index(0, 0, rootItem(dlg)));
    QCOMPARE(rootItem(dlg).data().toString(), QStringLiteral("Get Quarry! (Ext)"));

    // A second switch while the first view is still being built is not lost.
    dlg.sortBy("Size");
    dlg.sortBy("Name");
    QTRY_COMPARE_WITH_TIMEOUT(status1(dlg)->text(), QStringLiteral("Total: 7 folder(s), 8 file(s)"),
                              30000);
    QTRY_VERIFY(!dlg.display().isParsingShown());
    QCOMPARE(childLabels(rootItem(dlg)), (QStringList{"a", "b", "d", "h", "l", "o", "x"}));
    QCOMPARE(rootItem(dlg).data().toString(), QStringLiteral("Get Quarry! (Name)"));
  }

  void sortCriterionDuringParse() {
    DelveDlg dlg;
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    holdBigParse();
    QVERIFY(parse(dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(dlg.display().isParsingShown(), 10000);
    QVERIFY(!criterionButton(dlg)->isEnabled());
    dlg.sortBy("Name");
    m_env.release();
    QVERIFY(finished.wait(kParseTimeoutMs));
    // The scan was not stopped: the new view holds every file, filed by first letter.
    QCOMPARE(rootItem(dlg).data().toString(), QStringLiteral("Get Quarry! (Name)"));
    QCOMPARE(childLabels(rootItem(dlg)), QStringList{"f"});
    QCOMPARE(dlg.display().treeModel()->rowCount(), 1);
    QCOMPARE(status1(dlg)->text(), QStringLiteral("Total: 1 folder(s), %1 file(s)").arg(kBigFiles));
    tree(dlg)->setCurrentIndex(dlg.display().treeModel()->index(0, 0, rootItem(dlg)));
    QCOMPARE(dlg.display().listModel()->rowCount(), kBigFiles);
  }

  // A folder selected while the parse files into it lists what the engine held then and what
  // was filed after: none of the rows still on their way to the window is lost or doubled.
  void aFolderSelectedDuringAParseListsEachFileOnce() {
    DelveDlg dlg;
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.sortBy("Name");
    QVERIFY(finished.wait(kParseTimeoutMs));
    const std::uint64_t before = dlg.display().generation();
    holdBigParse();
    QVERIFY(parse(dlg, m_big, true, false));
    // The Name view files every file of the big tree under "f". It is selected as soon as the
    // parse shows it, and again and again while its rows stream in: each selection lists the
    // engine's rows while rows filed before it are still on their way.
    const auto f = [&dlg]() { return childLabelled(rootItem(dlg), QStringLiteral("f")); };
    QElapsedTimer clock;
    clock.start();
    while ((dlg.display().generation() == before || !f().isValid()) && clock.elapsed() < 30000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    QVERIFY(f().isValid());
    for (int i = 0; i < 20; ++i) {
      tree(dlg)->setCurrentIndex(rootItem(dlg));
      tree(dlg)->setCurrentIndex(f());
      QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    QVERIFY(dlg.display().listModel()->rowCount() < kBigFiles);
    m_env.release();
    QVERIFY(finished.wait(kParseTimeoutMs));
    QCOMPARE(tree(dlg)->currentIndex().data().toString(), QStringLiteral("f"));
    const QStringList locations = column(dlg, FileListModel::kLocation);
    QCOMPARE(locations.size(), kBigFiles);
    QCOMPARE(static_cast<int>(QSet<QString>(locations.begin(), locations.end()).size()), kBigFiles);
  }

  void stopParse() {
    DelveDlg dlg;
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    holdBigParse();
    QVERIFY(parse(dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(dlg) > 0, 30000);
    QVERIFY(dlg.display().isParsingShown());
    QTest::mouseClick(startButton(dlg), Qt::LeftButton);
    m_env.release();
    QVERIFY(finished.wait(kParseTimeoutMs));
    QVERIFY(!dlg.display().isParsingShown());
    const int kept = fileCountShown(dlg);
    QVERIFY2(kept > 0 && kept < kBigFiles, qPrintable(status1(dlg)->text()));
    // The window is usable again: the next start parses.
    QVERIFY(parse(dlg, m_small, false));
    QCOMPARE(fileCountShown(dlg), 5);
  }

  void parsesOfNothing() {
    DelveDlg dlg;
    QVERIFY(parse(dlg, m_small, true));
    QVERIFY(dlg.display().treeModel()->rowCount(rootItem(dlg)) > 0);
    // An empty path clears the pool and shows the empty view.
    QVERIFY(parse(dlg, QString(), true));
    QCOMPARE(dlg.display().treeModel()->rowCount(rootItem(dlg)), 0);
    QCOMPARE(status1(dlg)->text(), QStringLiteral("Total: 0 folder(s), 0 file(s)"));
    QVERIFY(parse(dlg, QStringLiteral("/"), false));
    // Without recursion only the folder itself.
    QVERIFY(parse(dlg, m_small, false));
    const QModelIndex small = locationItem(dlg, m_small);
    QVERIFY(small.isValid());
    QCOMPARE(small.model()->rowCount(small), 0);
    QCOMPARE(fileCountShown(dlg), 5);
  }

  // What a parse left out ends status line 1, and the status line, its button and the
  // Problems menu list it; the next complete parse forgets it.
  void problemsAreCountedAndListed() {
    DelveDlg dlg;
    dlg.show();
    auto* problems = dlg.findChild<DelveProblems*>();
    QVERIFY(!problems->menuAction()->isEnabled());
    QVERIFY(!problems->statusAction()->isVisible());

    // A repository that may not grow past 3 slots: the other files are counted as left out.
    QVERIFY(parse(dlg, QString(), true));  // the pool is empty: its repository may go
    DyxEntryRepository::deleteRepository(Dyx::getPhysicalDirs().repositoryKey());
    DyxEntryRepository::setDefaultCapacity(3);
    DyxEntryRepository::setSlotLimit(3);
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 3);
    QVERIFY2(status1(dlg)->text().endsWith(QStringLiteral(" 3 file(s). 5 file(s) left out")),
             qPrintable(status1(dlg)->text()));
    QCOMPARE(dlg.display().problemTexts().size(), 1);
    const QString text = dlg.display().problemTexts().front();
    QVERIFY2(text.startsWith(QStringLiteral("5 files were left out: ")), qPrintable(text));
    QVERIFY(problems->menuAction()->isEnabled());
    QVERIFY(problems->statusAction()->isVisible());

    // A click on the status line lists them; so does the menu.
    QVERIFY(problems->listWindow() == nullptr);
    QLineEdit* line1 = status1(dlg);
    QTest::mouseClick(line1, Qt::LeftButton);
    QVERIFY(problems->listWindow() != nullptr);
    const auto* list = problems->listWindow()->findChild<QPlainTextEdit*>();
    QVERIFY(list != nullptr);
    QCOMPARE(list->toPlainText(), text);
    problems->listWindow()->close();
    QVERIFY(problems->listWindow() == nullptr);
    problems->menuAction()->trigger();
    QVERIFY(problems->listWindow() != nullptr);
    problems->listWindow()->close();

    // A view switch keeps what the parse left out; a new complete parse forgets it.
    {
      QSignalSpy switched(&dlg, &DelveDlg::parseFinished);
      dlg.sortBy("Ext");
      QVERIFY(switched.wait(kParseTimeoutMs));
    }
    QVERIFY2(status1(dlg)->text().endsWith(QStringLiteral(" 3 file(s). 5 file(s) left out")),
             qPrintable(status1(dlg)->text()));
    QVERIFY(parse(dlg, QString(), true));
    DyxEntryRepository::deleteRepository(Dyx::getPhysicalDirs().repositoryKey());
    DyxEntryRepository::setSlotLimit(0);
    DyxEntryRepository::setDefaultCapacity(DyxEntryRepository::kDefaultSlotCount);
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 8);
    QVERIFY2(status1(dlg)->text().endsWith(QStringLiteral(" 8 file(s)")),
             qPrintable(status1(dlg)->text()));
    QVERIFY(dlg.display().problemTexts().isEmpty());
    QVERIFY(!problems->menuAction()->isEnabled());
  }

  void criterionReachesTheParse() {
    DelveDlg dlg;
    dlg.setCriterion(R"($Ext="txt")");
    QCOMPARE(criterionEdit(dlg)->text(), QStringLiteral(R"($Ext="txt")"));
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 4);
    // A criterion that does not parse shows the parser's messages on status line 2, as soon as
    // it is set and again at the start button, and no parse starts: what the last parse showed
    // stays.
    const QString totals = status1(dlg)->text();
    dlg.setCriterion("($Ext=bin");
    QCOMPARE(status2(dlg)->text(),
             QStringLiteral("Criterion '($Ext=bin': Missing a closing parenthesis."));
    dlg.setCriterion("$Ext=txt or false");
    status2(dlg)->clear();
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::mouseClick(startButton(dlg), Qt::LeftButton);
    QCOMPARE(status2(dlg)->text(),
             QStringLiteral("Criterion '$Ext=txt or false': Cannot parse the expression: Returns "
                            "None: false"));
    QVERIFY(!finished.wait(500));
    QVERIFY(!dlg.display().isParsingShown());
    QCOMPARE(status1(dlg)->text(), totals);
    QCOMPARE(fileCountShown(dlg), 4);
    // One that parses runs, even when it keeps nothing.
    dlg.setCriterion("not true");
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 0);
    dlg.setCriterion("");
  }

  void enterAndEscapeAreSwallowed() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy clicked(startButton(dlg), &QPushButton::clicked);
    startButton(dlg)->setFocus();
    QTest::keyClick(&dlg, Qt::Key_Return);
    QTest::keyClick(findEdit(dlg), Qt::Key_Enter);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.result(), 0);
    QCOMPARE(clicked.count(), 0);
  }

  void commandMenuOpensRows() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, m_small, true));
    tree(dlg)->setCurrentIndex(locationItem(dlg, m_small));
    QCOMPARE(column(dlg, 0),
             (QStringList{"ABC.txt", "big.iso", "huge.img", "other.txt", "xabcx.doc"}));
    // Rows 0 and 3: both text files, each opened in turn.
    QItemSelectionModel* selection = list(dlg)->selectionModel();
    selection->select(dlg.display().listModel()->index(0, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->select(dlg.display().listModel()->index(3, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QList<QAction*> actions = commandMenu(dlg)->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions[0]->text(), QStringLiteral("&Open"));
    QCOMPARE(actions[1]->text(), QStringLiteral("Open Containing &Folder"));
    actions[0]->trigger();
    QCOMPARE(recordedCalls(2), (QStringList{"[quarry-test-text][" + m_small + "/ABC.txt]",
                                            "[quarry-test-text][" + m_small + "/other.txt]"}));
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);

    selection->clearSelection();
    selection->select(dlg.display().listModel()->index(1, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    actions[1]->trigger();
    QCOMPARE(recordedCalls(1), QStringList{"[quarry-test-folder][" + m_small + "]"});
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);
  }

  void typedPathsLieBelowTheHomeDirectory() {
    // Relative to the home directory, never to the working directory (which has "small").
    DelveDlg dlg;
    QVERIFY(parse(dlg, QStringLiteral("keys"), false));
    QCOMPARE(fileCountShown(dlg), 3);
    QVERIFY(locationItem(dlg, m_home + QStringLiteral("/keys")).isValid());
    QVERIFY(parse(dlg, QStringLiteral("~/keys"), false));
    QCOMPARE(fileCountShown(dlg), 3);
  }

  void pathsThatCannotBeParsedSaySo() {
    DelveDlg dlg;
    QVERIFY(parse(dlg, m_small, false));
    const QString shown = status1(dlg)->text();
    const struct {
      QString typed;
      QString message;
    } cases[] = {
        {QStringLiteral("small"), "No such folder: " + m_home + QStringLiteral("/small")},
        {m_small + QStringLiteral("/ABC.txt"), "Not a folder: " + m_small + "/ABC.txt"},
        {QStringLiteral("~/keys/nothing"), "No such folder: " + m_home + "/keys/nothing"},
    };
    for (const auto& c : cases) {
      QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
      pathEdit(dlg)->setText(c.typed);
      QTest::mouseClick(startButton(dlg), Qt::LeftButton);
      QCOMPARE(status2(dlg)->text(), c.message);
      // Nothing started: the last parse's display stays.
      QVERIFY(!finished.wait(300));
      QCOMPARE(status1(dlg)->text(), shown);
    }
  }

  // The whole way from the keyboard: type a path, Enter, Find, open a row with Enter.
  void keyboardAlone() {
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);
    DelveDlg dlg;
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QCOMPARE(QApplication::focusWidget(), pathEdit(dlg));

    // Read-only fields are no tab stops; the order is path, recurse, start, criterion, Find,
    // tree, list, and back to the path.
    const QList<QWidget*> order = {recurseBox(dlg), startButton(dlg), criterionButton(dlg),
                                   findEdit(dlg),   tree(dlg),        list(dlg),
                                   pathEdit(dlg)};
    for (QWidget* expected : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), expected);
    }

    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::keyClicks(pathEdit(dlg), QStringLiteral("~/keys"));
    QTest::keyClick(pathEdit(dlg), Qt::Key_Return);
    QVERIFY(finished.wait(kParseTimeoutMs));
    QCOMPARE(fileCountShown(dlg), 3);

    // Down the tree to the parsed folder: Home, then Right (expand, then into the child).
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(QApplication::focusWidget(), findEdit(dlg));
    QTest::keyClick(findEdit(dlg), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), tree(dlg));
    QTest::keyClick(tree(dlg), Qt::Key_Home);
    for (int i = 0; i < 64 && tree(dlg)->currentIndex().data().toString() != QStringLiteral("keys");
         ++i) {
      QTest::keyClick(tree(dlg), Qt::Key_Right);
    }
    QCOMPARE(column(dlg, 0), (QStringList{"HashMap.txt", "hash_two.txt", "other.txt"}));

    QTest::keyClick(tree(dlg), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(findEdit(dlg), QStringLiteral("Hash"));
    QCOMPARE(column(dlg, 0), (QStringList{"HashMap.txt", "hash_two.txt"}));

    QTest::keyClick(findEdit(dlg), Qt::Key_Tab);
    QTest::keyClick(tree(dlg), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), list(dlg));
    QTest::keyClick(list(dlg), Qt::Key_Down);
    QTest::keyClick(list(dlg), Qt::Key_Down);
    QCOMPARE(list(dlg)->selectionModel()->selectedRows().size(), 1);
    QTest::keyClick(list(dlg), Qt::Key_Return);
    QCOMPARE(recordedCalls(1), QStringList{"[quarry-test-text][" + m_home + "/keys/hash_two.txt]"});
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);

    // F5 parses again; Escape stops a running parse; Ctrl+L goes back to the path; Ctrl+Q quits.
    pathEdit(dlg)->setText(m_big);
    holdBigParse();
    QTest::keyClick(list(dlg), Qt::Key_F5);
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(dlg) > 0 && dlg.display().isParsingShown(), 30000);
    finished.clear();
    QTest::keyClick(list(dlg), Qt::Key_Escape);
    m_env.release();
    QVERIFY(finished.wait(kParseTimeoutMs));
    QVERIFY(fileCountShown(dlg) < kBigFiles);
    QVERIFY(dlg.isVisible());
    QTest::keyClick(list(dlg), Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(QApplication::focusWidget(), pathEdit(dlg));
    QCOMPARE(pathEdit(dlg)->selectedText(), m_big);
    QTest::keyClick(pathEdit(dlg), Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!dlg.isVisible());
  }

  void menusHaveMnemonicsAndMarkTheView() {
    DelveDlg dlg;
    QStringList order;
    for (QAction* menu : dlg.findChild<QMenuBar*>()->actions()) order << menu->text();
    QCOMPARE(order, QStringList({"&File", "&Edit", "&View", "&Problems", "&Help"}));
    for (QAction* menu : dlg.findChild<QMenuBar*>()->actions()) {
      QVERIFY2(menu->text().contains(QLatin1Char('&')), qPrintable(menu->text()));
      for (QAction* item : menu->menu()->actions()) {
        if (!item->isSeparator()) {
          QVERIFY2(item->text().contains(QLatin1Char('&')), qPrintable(item->text()));
        }
      }
    }
    const auto checkedTag = [&dlg]() {
      QString tag;
      for (QAction* action : sortByMenu(dlg)->actions()) {
        if (action->isChecked()) tag += action->data().toString();
      }
      return tag;
    };
    QCOMPARE(checkedTag(), QStringLiteral("Location"));
    // The texts shown are those of the "Sort by" menu, mnemonics aside.
    QStringList shown;
    for (QAction* action : sortByMenu(dlg)->actions()) shown << action->text().remove('&');
    QStringList specified;
    for (const auto& [label, tag] : DelveDlg::sortByEntries()) specified << label;
    QCOMPARE(shown, specified);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.sortBy("Ext");
    QCOMPARE(checkedTag(), QStringLiteral("Ext"));
    QVERIFY(finished.wait(kParseTimeoutMs));
    sortByMenu(dlg)->actions().at(2)->trigger();
    QCOMPARE(dlg.display().viewTag(), std::string("Name"));
    QCOMPARE(checkedTag(), QStringLiteral("Name"));
    QVERIFY(finished.wait(kParseTimeoutMs));
  }

  void sortArrowGoesWhenTheListRefills() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, m_small, true));
    tree(dlg)->setCurrentIndex(locationItem(dlg, m_small));
    QHeaderView* header = list(dlg)->header();
    clickHeader(dlg, FileListModel::kSize);
    QVERIFY(header->isSortIndicatorShown());
    QCOMPARE(header->sortIndicatorSection(), 1);
    // Find refills in name order: no arrow, and the next click sorts ascending again.
    QTest::keyClicks(findEdit(dlg), QStringLiteral("t"));
    QVERIFY(!header->isSortIndicatorShown());
    QCOMPARE(dlg.display().sortColumn(), -1);
    QCOMPARE(column(dlg, 0), (QStringList{"ABC.txt", "other.txt"}));
    clickHeader(dlg, FileListModel::kSize);
    QVERIFY(dlg.display().sortAscending());
    QVERIFY(header->isSortIndicatorShown());
    // Another folder, another parse: the same.
    tree(dlg)->setCurrentIndex(rootItem(dlg));
    QVERIFY(!header->isSortIndicatorShown());
    clickHeader(dlg, FileListModel::kName);
    QVERIFY(header->isSortIndicatorShown());
    QVERIFY(parse(dlg, m_small, false));
    QVERIFY(!header->isSortIndicatorShown());
  }

  void aNormalWindowThatRemembersItsSize() {
    QSettings(QString::fromLatin1(DelveWindowLayout::kSettingsOrganization),
              QString::fromLatin1(DelveWindowLayout::kSettingsApplication))
        .clear();
    QList<int> splitterSizes;
    int nameWidth = 0;
    {
      DelveDlg dlg;
      QCOMPARE(dlg.windowFlags() & Qt::WindowType_Mask, Qt::Window);
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      QCOMPARE(dlg.windowHandle()->type(), Qt::Window);
      QVERIFY(parse(dlg, m_small, true));
      // Once the first rows arrive, the columns fit their contents.
      tree(dlg)->setCurrentIndex(locationItem(dlg, m_small));
      const QFontMetrics metrics(list(dlg)->font());
      for (int c : {FileListModel::kName, FileListModel::kSize}) {
        int widest = 0;
        for (const QString& text : column(dlg, c)) {
          widest = std::max(widest, metrics.horizontalAdvance(text));
        }
        QTRY_VERIFY2(list(dlg)->columnWidth(c) >= widest, qPrintable(QString::number(c)));
      }
      dlg.resize(640, 420);
      splitter(dlg)->setSizes({150, 450});
      splitterSizes = splitter(dlg)->sizes();
      list(dlg)->setColumnWidth(0, 177);
      nameWidth = list(dlg)->columnWidth(0);
    }
    DelveDlg again;
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.size(), QSize(640, 420));
    QCOMPARE(splitter(again)->sizes(), splitterSizes);
    QCOMPARE(list(again)->columnWidth(0), nameWidth);
    // Remembered widths are not fitted away by the first rows.
    QVERIFY(parse(again, m_small, true));
    tree(again)->setCurrentIndex(locationItem(again, m_small));
    QTest::qWait(50);
    QCOMPARE(list(again)->columnWidth(0), nameWidth);
  }

  void closingDuringLongScan() {
    auto* dlg = new DelveDlg;
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    dlg->show();
    QSignalSpy destroyed(dlg, &QObject::destroyed);
    QVERIFY(parse(*dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(*dlg) > 0, 30000);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(dlg->close());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(destroyed.count(), 1);
    // The scan stops at its next poll.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    // The worker ended and was destroyed: it no longer observes the pool.
    QVERIFY(Dyx::getPhysicalDirs().getObserver() == nullptr);
  }

  // A worker held up inside a step (here the engine lock is held elsewhere for longer than any
  // fixed patience would wait) is waited for: the window never leaves it running in an engine
  // that is about to shut down.
  void closingWaitsForAWorkerHeldUp() {
    static constexpr int kHoldMs = 6000;
    auto* dlg = new DelveDlg;
    holdBigParse();
    QVERIFY(parse(*dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(*dlg) > 0, 30000);
    std::promise<void> taken;
    std::thread holder([&taken]() {
      DyxEngineLock lock;
      taken.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(kHoldMs));
    });
    taken.get_future().wait();
    // The scan goes on only now, into the lock the holder keeps.
    m_env.release();
    // Still parsing: the worker is inside the scan, waiting for the lock.
    QTest::qWait(200);
    QVERIFY(dlg->display().isParsingShown());
    QElapsedTimer clock;
    clock.start();
    delete dlg;
    const qint64 waited = clock.elapsed();
    holder.join();
    QVERIFY2(waited > kHoldMs / 2, qPrintable(QString::number(waited)));
    QVERIFY(Dyx::getPhysicalDirs().getObserver() == nullptr);
    // The engine goes on serving the next window.
    DelveDlg next;
    QVERIFY(parse(next, m_small, false));
    QCOMPARE(fileCountShown(next), 5);
  }
};

QTEST_MAIN(WindowTest)
#include "window_threads_test.moc"
