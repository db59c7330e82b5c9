// The real window with its parse worker on temporary trees: the tree and list a parse fills,
// view switches while idle and during a parse, stopping, the Find box, header sorting, the
// drive label rule, the criterion, and closing the window during a long scan; the window used
// from the keyboard alone, typed paths, the remembered size and columns.
#include <QApplication>
#include <QCheckBox>
#include <QMenuBar>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QAction>
#include <QDialog>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSplitter>
#include <QWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "delvedlg.h"
#include "dyxcore/dyx.h"
#include "dyxcore/frontend.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/xentryrep.h"
#include "filelistmodel.h"
#include "parseworker.h"
#include "problemsdlg.h"

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

QTreeWidgetItem* childLabelled(QTreeWidgetItem* parent, const QString& label) {
  for (int i = 0; parent != nullptr && i < parent->childCount(); ++i) {
    if (parent->child(i)->text(0) == label) return parent->child(i);
  }
  return nullptr;
}

QStringList childLabels(QTreeWidgetItem* parent) {
  QStringList labels;
  for (int i = 0; i < parent->childCount(); ++i) labels << parent->child(i)->text(0);
  return labels;
}

QStringList column(const DelveDlg& dlg, int col) {
  QStringList texts;
  const FileListModel* model = dlg.listModel();
  for (int row = 0; row < model->rowCount(); ++row) {
    texts << model->data(model->index(row, col), Qt::DisplayRole).toString();
  }
  return texts;
}

int fileCountShown(const DelveDlg& dlg) {
  static const QRegularExpression files(QStringLiteral("Total: \\d+ folder\\(s\\), (\\d+) file"));
  const QRegularExpressionMatch match = files.match(dlg.statusLine1());
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

void clickHeader(DelveDlg& dlg, int section) {
  QHeaderView* header = dlg.list()->header();
  const QPoint centre(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                      header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, centre);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_work;
  QString m_small;  // a few files of every kind
  QString m_big;    // enough files for a parse to be caught running
  QString m_calls;  // where the fake desktop applications record their arguments
  QString m_home;   // $HOME of the test: typed relative paths lie below it

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
    dlg.pathEdit()->setText(dir);
    dlg.recurseBox()->setChecked(recursive);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
    return !wait || finished.wait(kParseTimeoutMs);
  }

  // The tree item of the Location view's folder for `dir`.
  static QTreeWidgetItem* locationItem(const DelveDlg& dlg, const QString& dir) {
    QTreeWidgetItem* item = dlg.rootItem();
    for (const QString& part : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
      item = childLabelled(item, DelveDlg::folderLabel(part.toStdString()));
      if (item == nullptr) return nullptr;
    }
    return item;
  }

  // Status line 1.
  static QLineEdit* statusLine(const DelveDlg& dlg) {
    for (QLineEdit* edit : dlg.findChildren<QLineEdit*>()) {
      if (edit->isReadOnly() && edit->text() == dlg.statusLine1()) return edit;
    }
    return nullptr;
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

    DyxFrontEnd::startEngine();
  }

  void cleanupTestCase() { DyxFrontEnd::stopEngine(); }

  void parseFillsTreeAndList() {
    DelveDlg dlg;
    dlg.show();
    QCOMPARE(dlg.rootItem()->text(0), QStringLiteral("Get Quarry! (Location)"));
    QVERIFY(dlg.recurseBox()->isChecked());
    // Our own icons are built in: the buttons and the tree root carry them.
    QVERIFY(!dlg.startButton()->icon().isNull());
    QVERIFY(!dlg.criterionButton()->icon().isNull());
    QVERIFY(!dlg.rootItem()->icon(0).isNull());
    QVERIFY(parse(dlg, m_small, true));

    QTreeWidgetItem* small = locationItem(dlg, m_small);
    QVERIFY2(small != nullptr, qPrintable(childLabels(dlg.rootItem()).join(',')));
    // Drive-style names get the system label; the children stay sorted by label.
    QCOMPARE(childLabels(small), (QStringList{"c:", "sub", "System (C:)"}));
    QVERIFY(!small->child(2)->icon(0).isNull());
    QVERIFY(small->child(2)->icon(0).cacheKey() != small->child(0)->icon(0).cacheKey());
    const int folders = componentCount(m_small) + 3;
    QCOMPARE(dlg.statusLine1(), QStringLiteral("Total: %1 folder(s), 8 file(s)").arg(folders));
    QVERIFY(!dlg.statusLine2().isEmpty());
    QVERIFY(!dlg.isParsingShown());
    QVERIFY(dlg.criterionButton()->isEnabled());

    dlg.tree()->setCurrentItem(small);
    QCOMPARE(column(dlg, 0),
             (QStringList{"ABC.txt", "big.iso", "huge.img", "other.txt", "xabcx.doc"}));
    QCOMPARE(column(dlg, 1).first(), QStringLiteral("10 oct."));
    QCOMPARE(column(dlg, 2).first(), m_small + QStringLiteral("/ABC.txt"));
    QVERIFY(!column(dlg, 3).first().isEmpty());
    QVERIFY2(dlg.statusLine1().endsWith(QStringLiteral(". Selected folder: small: 5 file(s)")),
             qPrintable(dlg.statusLine1()));

    // Find: the typed text and the names are both folded to lower case.
    QTest::keyClicks(dlg.findEdit(), QStringLiteral("Abc"));
    QCOMPARE(column(dlg, 0), (QStringList{"ABC.txt", "xabcx.doc"}));
    dlg.findEdit()->clear();
    QTest::keyClicks(dlg.findEdit(), QStringLiteral("ABX"));
    QCOMPARE(dlg.listModel()->rowCount(), 0);
    dlg.findEdit()->clear();
    QTest::keyClicks(dlg.findEdit(), QStringLiteral("abc"));
    QCOMPARE(column(dlg, 0), (QStringList{"ABC.txt", "xabcx.doc"}));
    QVERIFY(dlg.statusLine1().endsWith(QStringLiteral(": 2 file(s)")));
    dlg.findEdit()->clear();
    QCOMPARE(dlg.listModel()->rowCount(), 5);

    // The Size header: ascending, then descending; 3 and 5 GiB sort by their real sizes.
    clickHeader(dlg, FileListModel::kSize);
    QCOMPARE(dlg.sortColumn(), 1);
    QVERIFY(dlg.sortAscending());
    QCOMPARE(column(dlg, 0),
             (QStringList{"ABC.txt", "xabcx.doc", "other.txt", "big.iso", "huge.img"}));
    clickHeader(dlg, FileListModel::kSize);
    QVERIFY(!dlg.sortAscending());
    QCOMPARE(column(dlg, 0),
             (QStringList{"huge.img", "big.iso", "other.txt", "xabcx.doc", "ABC.txt"}));
    clickHeader(dlg, FileListModel::kName);
    QVERIFY(dlg.sortAscending());
    QCOMPARE(column(dlg, 0).first(), QStringLiteral("ABC.txt"));
  }

  void sortCriterionWhileIdle() {
    DelveDlg dlg;
    QVERIFY(parse(dlg, m_small, true));
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.sortBy("Ext");
    QCOMPARE(dlg.rootItem()->text(0), QStringLiteral("Get Quarry! (Ext)"));
    QVERIFY(finished.wait(kParseTimeoutMs));
    // Rebuilt from the repository without a scan: the counts restart for the new view.
    const QStringList extensions = childLabels(dlg.rootItem());
    for (const char* ext : {"dat", "doc", "img", "iso", "txt"}) {
      QVERIFY2(extensions.contains(QString::fromLatin1(ext)), qPrintable(extensions.join(',')));
    }
    QCOMPARE(dlg.statusLine1(),
             QStringLiteral("Total: %1 folder(s), 8 file(s)").arg(extensions.size()));
    QVERIFY(dlg.statusLine2().isEmpty());

    // The same criterion again does nothing at all: no rebuild, the items stay.
    QTreeWidgetItem* first = dlg.rootItem()->child(0);
    dlg.sortBy("Ext");
    QVERIFY(!finished.wait(500));
    QCOMPARE(dlg.rootItem()->child(0), first);
    QCOMPARE(dlg.rootItem()->text(0), QStringLiteral("Get Quarry! (Ext)"));

    // A second switch while the first view is still being built is not lost.
    dlg.sortBy("Size");
    dlg.sortBy("Name");
    QTRY_COMPARE_WITH_TIMEOUT(dlg.statusLine1(), QStringLiteral("Total: 7 folder(s), 8 file(s)"),
                              30000);
    QTRY_VERIFY(!dlg.isParsingShown());
    QCOMPARE(childLabels(dlg.rootItem()), (QStringList{"a", "b", "d", "h", "l", "o", "x"}));
    QCOMPARE(dlg.rootItem()->text(0), QStringLiteral("Get Quarry! (Name)"));
  }

  void sortCriterionDuringParse() {
    DelveDlg dlg;
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QVERIFY(parse(dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(dlg.isParsingShown(), 10000);
    QVERIFY(!dlg.criterionButton()->isEnabled());
    dlg.sortBy("Name");
    QVERIFY(finished.wait(kParseTimeoutMs));
    // The scan was not stopped: the new view holds every file, filed by first letter.
    QCOMPARE(dlg.rootItem()->text(0), QStringLiteral("Get Quarry! (Name)"));
    QCOMPARE(childLabels(dlg.rootItem()), QStringList{"f"});
    QCOMPARE(dlg.tree()->topLevelItemCount(), 1);
    QCOMPARE(dlg.statusLine1(), QStringLiteral("Total: 1 folder(s), %1 file(s)").arg(kBigFiles));
    dlg.tree()->setCurrentItem(dlg.rootItem()->child(0));
    QCOMPARE(dlg.listModel()->rowCount(), kBigFiles);
  }

  void stopParse() {
    DelveDlg dlg;
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QVERIFY(parse(dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(dlg) > 0, 30000);
    QVERIFY(dlg.isParsingShown());
    QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
    QVERIFY(finished.wait(kParseTimeoutMs));
    QVERIFY(!dlg.isParsingShown());
    const int kept = fileCountShown(dlg);
    QVERIFY2(kept > 0 && kept < kBigFiles, qPrintable(dlg.statusLine1()));
    // The window is usable again: the next start parses.
    QVERIFY(parse(dlg, m_small, false));
    QCOMPARE(fileCountShown(dlg), 5);
  }

  void parsesOfNothing() {
    DelveDlg dlg;
    QVERIFY(parse(dlg, m_small, true));
    QVERIFY(dlg.rootItem()->childCount() > 0);
    // An empty path clears the pool and shows the empty view.
    QVERIFY(parse(dlg, QString(), true));
    QCOMPARE(dlg.rootItem()->childCount(), 0);
    QCOMPARE(dlg.statusLine1(), QStringLiteral("Total: 0 folder(s), 0 file(s)"));
    QVERIFY(parse(dlg, QStringLiteral("/"), false));
    // Without recursion only the folder itself.
    QVERIFY(parse(dlg, m_small, false));
    QTreeWidgetItem* small = locationItem(dlg, m_small);
    QVERIFY(small != nullptr);
    QCOMPARE(small->childCount(), 0);
    QCOMPARE(fileCountShown(dlg), 5);
  }

  // What a parse left out ends status line 1, and the status line, its button and the
  // Problems menu list it; the next complete parse forgets it.
  void problemsAreCountedAndListed() {
    DelveDlg dlg;
    dlg.show();
    DelveProblems* problems = dlg.problems();
    QVERIFY(!problems->menuAction()->isEnabled());
    QVERIFY(!problems->statusAction()->isVisible());

    // A repository that may not grow past 3 slots: the other files are counted as left out.
    QVERIFY(parse(dlg, QString(), true));  // the pool is empty: its repository may go
    DyxEntryRepository::deleteRepository(Dyx::getPhysicalDirs().repositoryKey());
    DyxEntryRepository::setDefaultCapacity(3);
    DyxEntryRepository::setSlotLimit(3);
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 3);
    QVERIFY2(dlg.statusLine1().endsWith(QStringLiteral(" 3 file(s). 5 file(s) left out")),
             qPrintable(dlg.statusLine1()));
    QCOMPARE(problems->texts().size(), 1);
    const QString text = problems->texts().front();
    QVERIFY2(text.startsWith(QStringLiteral("5 files were left out: ")), qPrintable(text));
    QVERIFY(problems->menuAction()->isEnabled());
    QVERIFY(problems->statusAction()->isVisible());

    // A click on the status line lists them; so does the menu.
    QVERIFY(problems->listWindow() == nullptr);
    QLineEdit* line1 = statusLine(dlg);
    QVERIFY(line1 != nullptr);
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
    QVERIFY2(dlg.statusLine1().endsWith(QStringLiteral(" 3 file(s). 5 file(s) left out")),
             qPrintable(dlg.statusLine1()));
    QVERIFY(parse(dlg, QString(), true));
    DyxEntryRepository::deleteRepository(Dyx::getPhysicalDirs().repositoryKey());
    DyxEntryRepository::setSlotLimit(0);
    DyxEntryRepository::setDefaultCapacity(DyxEntryRepository::kDefaultSlotCount);
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 8);
    QVERIFY2(dlg.statusLine1().endsWith(QStringLiteral(" 8 file(s)")), qPrintable(dlg.statusLine1()));
    QVERIFY(problems->texts().isEmpty());
    QVERIFY(!problems->menuAction()->isEnabled());
  }

  void criterionReachesTheParse() {
    DelveDlg dlg;
    dlg.setCriterion(R"($Ext="txt")");
    QCOMPARE(dlg.criterionEdit()->text(), QStringLiteral(R"($Ext="txt")"));
    QVERIFY(parse(dlg, m_small, true));
    QCOMPARE(fileCountShown(dlg), 4);
    // A criterion that does not parse shows the parser's messages on status line 2, as soon as
    // it is set and again at the start button, and no parse starts: what the last parse showed
    // stays.
    const QString totals = dlg.statusLine1();
    dlg.setCriterion("($Ext=bin");
    QCOMPARE(dlg.statusLine2(),
             QStringLiteral("Criterion '($Ext=bin': Missing a closing parenthesis."));
    dlg.worker()->setCriterion("$Ext=txt or false");
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
    QCOMPARE(dlg.statusLine2(),
             QStringLiteral("Criterion '$Ext=txt or false': Cannot parse the expression: Returns "
                            "None: false"));
    QVERIFY(!finished.wait(500));
    QVERIFY(!dlg.isParsingShown());
    QVERIFY(!dlg.worker()->isParsing());
    QCOMPARE(dlg.statusLine1(), totals);
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
    QSignalSpy clicked(dlg.startButton(), &QPushButton::clicked);
    dlg.startButton()->setFocus();
    QTest::keyClick(&dlg, Qt::Key_Return);
    QTest::keyClick(dlg.findEdit(), Qt::Key_Enter);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.result(), 0);
    QCOMPARE(clicked.count(), 0);
  }

  void commandMenuOpensRows() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, m_small, true));
    dlg.tree()->setCurrentItem(locationItem(dlg, m_small));
    QCOMPARE(column(dlg, 0),
             (QStringList{"ABC.txt", "big.iso", "huge.img", "other.txt", "xabcx.doc"}));
    // Rows 0 and 3: both text files, each opened in turn.
    QItemSelectionModel* selection = dlg.list()->selectionModel();
    selection->select(dlg.listModel()->index(0, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->select(dlg.listModel()->index(3, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QList<QAction*> actions = dlg.commandMenu()->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions[0]->text(), QStringLiteral("&Open"));
    QCOMPARE(actions[1]->text(), QStringLiteral("Open Containing &Folder"));
    actions[0]->trigger();
    QCOMPARE(recordedCalls(2), (QStringList{"[quarry-test-text][" + m_small + "/ABC.txt]",
                                            "[quarry-test-text][" + m_small + "/other.txt]"}));
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);

    selection->clearSelection();
    selection->select(dlg.listModel()->index(1, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    actions[1]->trigger();
    QCOMPARE(recordedCalls(1), QStringList{"[quarry-test-folder][" + m_small + "]"});
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);
  }

  void typedPathsMeanWhatAPersonMeans() {
    const std::string home = "/h/me";
    const struct {
      const char* typed;
      std::string meant;
    } cases[] = {
        {"", ""},
        {"~", home},
        {"~/", home + "/"},
        {"~/Docs", home + "/Docs"},
        {"conf", home + "/conf"},
        {"./x", home + "/./x"},
        {"a b/c", home + "/a b/c"},
        {"/srv/data", "/srv/data"},
        {"~root/x", "/root/x"},
        {"~quarry-no-such-user/x", home + "/~quarry-no-such-user/x"},
        {"x~/y", home + "/x~/y"},
    };
    for (const auto& c : cases) {
      QVERIFY2(DelveDlg::resolveTypedPath(c.typed, home) == c.meant, c.typed);
    }
    QCOMPARE(QString::fromStdString(DelveDlg::resolveTypedPath("Docs", "/h/")),
             QStringLiteral("/h/Docs"));

    // Relative to the home directory, never to the working directory (which has "small").
    DelveDlg dlg;
    QVERIFY(parse(dlg, QStringLiteral("keys"), false));
    QCOMPARE(fileCountShown(dlg), 3);
    QCOMPARE(QString::fromStdString(dlg.lastParsedDirectory()), m_home + QStringLiteral("/keys"));
    QVERIFY(parse(dlg, QStringLiteral("~/keys"), false));
    QCOMPARE(fileCountShown(dlg), 3);
  }

  void pathsThatCannotBeParsedSaySo() {
    DelveDlg dlg;
    QVERIFY(parse(dlg, m_small, false));
    const QString shown = dlg.statusLine1();
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
      dlg.pathEdit()->setText(c.typed);
      QTest::mouseClick(dlg.startButton(), Qt::LeftButton);
      QCOMPARE(dlg.statusLine2(), c.message);
      // Nothing started: the last parse's display stays.
      QVERIFY(!finished.wait(300));
      QCOMPARE(dlg.statusLine1(), shown);
    }
  }

  // The whole way from the keyboard: type a path, Enter, Find, open a row with Enter.
  void keyboardAlone() {
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);
    DelveDlg dlg;
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QCOMPARE(QApplication::focusWidget(), dlg.pathEdit());

    // Read-only fields are no tab stops; the order is path, recurse, start, criterion, Find,
    // tree, list, and back to the path.
    const QList<QWidget*> order = {dlg.recurseBox(), dlg.startButton(), dlg.criterionButton(),
                                   dlg.findEdit(),   dlg.tree(),        dlg.list(),
                                   dlg.pathEdit()};
    for (QWidget* expected : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), expected);
    }

    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QTest::keyClicks(dlg.pathEdit(), QStringLiteral("~/keys"));
    QTest::keyClick(dlg.pathEdit(), Qt::Key_Return);
    QVERIFY(finished.wait(kParseTimeoutMs));
    QCOMPARE(fileCountShown(dlg), 3);

    // Down the tree to the parsed folder: Home, then Right (expand, then into the child).
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.findEdit());
    QTest::keyClick(dlg.findEdit(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dlg.tree());
    QTest::keyClick(dlg.tree(), Qt::Key_Home);
    for (int i = 0; i < 64 && (dlg.tree()->currentItem() == nullptr ||
                               dlg.tree()->currentItem()->text(0) != QStringLiteral("keys"));
         ++i) {
      QTest::keyClick(dlg.tree(), Qt::Key_Right);
    }
    QCOMPARE(column(dlg, 0), (QStringList{"HashMap.txt", "hash_two.txt", "other.txt"}));

    QTest::keyClick(dlg.tree(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(dlg.findEdit(), QStringLiteral("Hash"));
    QCOMPARE(column(dlg, 0), (QStringList{"HashMap.txt", "hash_two.txt"}));

    QTest::keyClick(dlg.findEdit(), Qt::Key_Tab);
    QTest::keyClick(dlg.tree(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dlg.list());
    QTest::keyClick(dlg.list(), Qt::Key_Down);
    QTest::keyClick(dlg.list(), Qt::Key_Down);
    QCOMPARE(dlg.list()->selectionModel()->selectedRows().size(), 1);
    QTest::keyClick(dlg.list(), Qt::Key_Return);
    QCOMPARE(recordedCalls(1), QStringList{"[quarry-test-text][" + m_home + "/keys/hash_two.txt]"});
    for (const QString& name : QDir(m_calls).entryList(QDir::Files)) QDir(m_calls).remove(name);

    // F5 parses again; Escape stops a running parse; Ctrl+L goes back to the path; Ctrl+Q quits.
    dlg.pathEdit()->setText(m_big);
    QTest::keyClick(dlg.list(), Qt::Key_F5);
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(dlg) > 0 && dlg.isParsingShown(), 30000);
    finished.clear();
    QTest::keyClick(dlg.list(), Qt::Key_Escape);
    QVERIFY(finished.wait(kParseTimeoutMs));
    QVERIFY(fileCountShown(dlg) < kBigFiles);
    QVERIFY(dlg.isVisible());
    QTest::keyClick(dlg.list(), Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.pathEdit());
    QCOMPARE(dlg.pathEdit()->selectedText(), m_big);
    QTest::keyClick(dlg.pathEdit(), Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!dlg.isVisible());
  }

  void menusHaveMnemonicsAndMarkTheView() {
    DelveDlg dlg;
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
      for (QAction* action : dlg.sortByMenu()->actions()) {
        if (action->isChecked()) tag += action->data().toString();
      }
      return tag;
    };
    QCOMPARE(checkedTag(), QStringLiteral("Location"));
    // The texts shown are those of the "Sort by" menu, mnemonics aside.
    QStringList shown;
    for (QAction* action : dlg.sortByMenu()->actions()) shown << action->text().remove('&');
    QStringList specified;
    for (const auto& [label, tag] : DelveDlg::sortByEntries()) specified << label;
    QCOMPARE(shown, specified);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    dlg.sortBy("Ext");
    QCOMPARE(checkedTag(), QStringLiteral("Ext"));
    QVERIFY(finished.wait(kParseTimeoutMs));
    dlg.sortByMenu()->actions().at(2)->trigger();
    QCOMPARE(dlg.viewTag(), std::string("Name"));
    QCOMPARE(checkedTag(), QStringLiteral("Name"));
    QVERIFY(finished.wait(kParseTimeoutMs));
  }

  void sortArrowGoesWhenTheListRefills() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(parse(dlg, m_small, true));
    dlg.tree()->setCurrentItem(locationItem(dlg, m_small));
    QHeaderView* header = dlg.list()->header();
    clickHeader(dlg, FileListModel::kSize);
    QVERIFY(header->isSortIndicatorShown());
    QCOMPARE(header->sortIndicatorSection(), 1);
    // Find refills in name order: no arrow, and the next click sorts ascending again.
    QTest::keyClicks(dlg.findEdit(), QStringLiteral("t"));
    QVERIFY(!header->isSortIndicatorShown());
    QCOMPARE(dlg.sortColumn(), -1);
    QCOMPARE(column(dlg, 0), (QStringList{"ABC.txt", "other.txt"}));
    clickHeader(dlg, FileListModel::kSize);
    QVERIFY(dlg.sortAscending());
    QVERIFY(header->isSortIndicatorShown());
    // Another folder, another parse: the same.
    dlg.tree()->setCurrentItem(dlg.rootItem());
    QVERIFY(!header->isSortIndicatorShown());
    clickHeader(dlg, FileListModel::kName);
    QVERIFY(header->isSortIndicatorShown());
    QVERIFY(parse(dlg, m_small, false));
    QVERIFY(!header->isSortIndicatorShown());
  }

  void aNormalWindowThatRemembersItsSize() {
    QSettings(QString::fromLatin1(DelveDlg::kSettingsOrganization),
              QString::fromLatin1(DelveDlg::kSettingsApplication))
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
      dlg.tree()->setCurrentItem(locationItem(dlg, m_small));
      const QFontMetrics metrics(dlg.list()->font());
      for (int c : {FileListModel::kName, FileListModel::kSize}) {
        int widest = 0;
        for (const QString& text : column(dlg, c)) {
          widest = std::max(widest, metrics.horizontalAdvance(text));
        }
        QTRY_VERIFY2(dlg.list()->columnWidth(c) >= widest, qPrintable(QString::number(c)));
      }
      dlg.resize(640, 420);
      dlg.splitter()->setSizes({150, 450});
      splitterSizes = dlg.splitter()->sizes();
      dlg.list()->setColumnWidth(0, 177);
      nameWidth = dlg.list()->columnWidth(0);
    }
    DelveDlg again;
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.size(), QSize(640, 420));
    QCOMPARE(again.splitter()->sizes(), splitterSizes);
    QCOMPARE(again.list()->columnWidth(0), nameWidth);
    // Remembered widths are not fitted away by the first rows.
    QVERIFY(parse(again, m_small, true));
    again.tree()->setCurrentItem(locationItem(again, m_small));
    QTest::qWait(50);
    QCOMPARE(again.list()->columnWidth(0), nameWidth);
  }

  void closingDuringLongScan() {
    auto* dlg = new DelveDlg;
    QVERIFY(parse(*dlg, m_big, true, false));
    QTRY_VERIFY_WITH_TIMEOUT(fileCountShown(*dlg) > 0, 30000);
    QElapsedTimer clock;
    clock.start();
    delete dlg;
    QVERIFY2(clock.elapsed() < ParseWorker::kShutdownWaits * ParseWorker::kShutdownWaitMs + 1000,
             qPrintable(QString::number(clock.elapsed())));
    // The worker ended and was destroyed: it no longer observes the pool.
    QVERIFY(Dyx::getPhysicalDirs().getObserver() == nullptr);
  }
};

QTEST_MAIN(WindowTest)
#include "window_threads_test.moc"
