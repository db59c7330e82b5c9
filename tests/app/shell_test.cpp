// Shell integration against a desktop of our own: a fake XDG data and config home with a
// mimeapps.list and desktop entries whose Exec runs a script that records its arguments.
#include "shell.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <iostream>
#include <sstream>

#include "dyxcore/path.h"
#include "kxcore/io.h"

namespace {

void writeFile(const QString& path, const QByteArray& text, bool executable = false) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text);
  file.close();
  if (executable) {
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
}

// Sends kxout into a string while it lives.
class TraceCapture {
 public:
  TraceCapture() {
    KXIO::setAllEnabled(true);
    kxout.setTargetStream(m_text);
  }
  ~TraceCapture() {
    kxout.setTargetStream(&std::cout);
    KXIO::setAllEnabled(false);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  std::string text() const { return m_text.str(); }

 private:
  std::ostringstream m_text;
};

}  // namespace

class ShellTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_home;
  QString m_recorder;  // the script every fake application runs
  QString m_calls;     // where it leaves one file per call

  // The arguments of the next recorded call, as "[a][b]"; waits for the script to run.
  QString nextCall() {
    QDir calls(m_calls);
    QString recorded;
    for (int i = 0; i < 200 && recorded.isEmpty(); ++i) {
      const QStringList done = calls.entryList({QStringLiteral("*.done")}, QDir::Files);
      if (!done.isEmpty()) {
        QFile file(calls.filePath(done.first()));
        if (file.open(QIODevice::ReadOnly)) recorded = QString::fromUtf8(file.readAll()).trimmed();
        file.remove();
        break;
      }
      QTest::qWait(25);
    }
    return recorded;
  }

  void clearCalls() {
    QDir calls(m_calls);
    for (const QString& name : calls.entryList(QDir::Files)) calls.remove(name);
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_home.isValid());
    const QString root = m_home.path();
    m_calls = root + QStringLiteral("/calls");
    QVERIFY(QDir().mkpath(m_calls));
    m_recorder = root + QStringLiteral("/bin/record");
    writeFile(m_recorder,
              "#!/bin/sh\n"
              "out=\"" +
                  m_calls.toUtf8() +
                  "/call.$$\"\n"
                  "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$out.part\"\n"
                  "mv \"$out.part\" \"$out.done\"\n",
              true);
    // The worked example's program name, in a folder that plays the system root.
    QVERIFY(QDir().mkpath(root + QStringLiteral("/sysroot")));
    QVERIFY(QFile::copy(m_recorder, root + QStringLiteral("/sysroot/Explorer.exe")));
    QFile::setPermissions(root + QStringLiteral("/sysroot/Explorer.exe"),
                          QFile::ReadOwner | QFile::ExeOwner);

    const QByteArray recorder = m_recorder.toUtf8();
    writeFile(root + QStringLiteral("/data/applications/quarry-test-text.desktop"),
              "[Desktop Entry]\nType=Application\nName=Text recorder\n"
              "Exec=" +
                  recorder + " --title %c %f\nMimeType=text/plain;\n");
    writeFile(root + QStringLiteral("/data/applications/quarry-test-folder.desktop"),
              "[Desktop Entry]\nType=Application\nName=Folder recorder\n"
              "Exec=" +
                  recorder + " --folder %U\nMimeType=inode/directory;\n");
    writeFile(root + QStringLiteral("/config/mimeapps.list"),
              "[Default Applications]\ntext/plain=quarry-test-text.desktop\n"
              "inode/directory=quarry-test-folder.desktop\n");
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", "");
    qputenv("SystemRoot", (root + QStringLiteral("/sysroot")).toUtf8());
  }

  void execLinesBecomeTemplates_data() {
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QString>("placeholder");
    QTest::addColumn<QString>("expected");
    QTest::newRow("file code") << "editor %f"
                               << "%1"
                               << "editor \"%1\"";
    QTest::newRow("url list code") << "viewer --new %U"
                                   << "%1"
                                   << "viewer --new \"%1\"";
    QTest::newRow("folder code") << "files %u"
                                 << "%L"
                                 << "files \"%L\"";
    QTest::newRow("other codes dropped") << "app %i %c %k x"
                                         << "%1"
                                         << "app    x";
    QTest::newRow("escaped percent") << "app 100%% %F"
                                     << "%1"
                                     << "app 100% \"%1\"";
    QTest::newRow("no code") << "app --go"
                             << "%1"
                             << "app --go";
    QTest::newRow("trailing percent") << "app %"
                                      << "%1"
                                      << "app %";
  }
  void execLinesBecomeTemplates() {
    QFETCH(QString, exec);
    QFETCH(QString, placeholder);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(
                 delveshell::templateFromExec(exec.toStdString(), placeholder.toStdString())),
             expected);
  }

  void associationsComeFromTheDesktop() {
    std::string type;
    QVERIFY(delveshell::typeOfExtension(".txt", type));
    QCOMPARE(QString::fromStdString(type), QStringLiteral("text/plain"));
    QVERIFY(!delveshell::typeOfExtension(".qqzz-no-such-extension", type));
    QVERIFY(!delveshell::typeOfExtension(".", type));

    std::string command;
    QVERIFY(delveshell::commandOfType("text/plain", "%1", command));
    QCOMPARE(QString::fromStdString(command), m_recorder + QStringLiteral(" --title  \"%1\""));
    QVERIFY(delveshell::folderCommand(command));
    QCOMPARE(QString::fromStdString(command), m_recorder + QStringLiteral(" --folder \"%L\""));
    QVERIFY(!delveshell::commandOfType("application/x-quarry-nothing", "%1", command));
  }

  void workedExample() {
    clearCalls();
    TraceCapture trace;
    QVERIFY(
        delveshell::launchCommand("%SystemRoot%/Explorer.exe /idlist,%I,%L", "%L", "/srv/Data"));
    QCOMPARE(nextCall(), QStringLiteral("[/srv/Data]"));
    const std::string root = (m_home.path() + QStringLiteral("/sysroot")).toStdString();
    const std::string text = trace.text();
    QVERIFY2(text.find("Open folder command: \"" + root + "/Explorer.exe /idlist,%I,%L\"") !=
                 std::string::npos,
             text.c_str());
    QVERIFY2(text.find("Removed /idlist: \"" + root + "/Explorer.exe %L\"") != std::string::npos,
             text.c_str());
  }

  void placeholdersAndTokens_data() {
    QTest::addColumn<QString>("arguments");  // the template after the program
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no placeholder: appended after a blank") << ""
                                                            << "/a/b.txt"
                                                            << "[/a/b.txt]";
    QTest::newRow("quoted placeholder keeps blanks") << " \"%1\""
                                                     << "/a b/c d.txt"
                                                     << "[/a b/c d.txt]";
    QTest::newRow("bare placeholder splits at blanks") << " %1"
                                                       << "/a b/c d.txt"
                                                       << "[/a][b/c][d.txt]";
    QTest::newRow("every occurrence replaced") << " %1 --again %1"
                                               << "x"
                                               << "[x][--again][x]";
    QTest::newRow("unmatched quote drops the rest") << " keep \"lost %1"
                                                    << "y"
                                                    << "[keep]";
    QTest::newRow("doubled blanks make no empty argument") << "   -v    %1"
                                                           << "z"
                                                           << "[-v][z]";
  }
  void placeholdersAndTokens() {
    QFETCH(QString, arguments);
    QFETCH(QString, argument);
    QFETCH(QString, expected);
    clearCalls();
    QVERIFY(delveshell::launchCommand((m_recorder + arguments).toStdString(), "%1",
                                      argument.toStdString()));
    QCOMPARE(nextCall(), expected);
  }

  void commandsThatCannotStart_data() {
    QTest::addColumn<QString>("command");
    QTest::newRow("empty after removing /idlist") << "/idlist,%I,";
    QTest::newRow("empty template") << "";
    QTest::newRow("program not found") << "/nonexistent/quarry-program %1";
    QTest::newRow("only an unmatched quote") << "\"never closed %1";
  }
  void commandsThatCannotStart() {
    QFETCH(QString, command);
    QVERIFY(!delveshell::launchCommand(command.toStdString(), "%1", "/tmp/x"));
  }

  void filesReallyOpen() {
    clearCalls();
    const QString file = m_home.path() + QStringLiteral("/docs/my notes.txt");
    writeFile(file, "hello\n");
    TraceCapture trace;
    QVERIFY(delveshell::openFile(DyxPath(file.toStdString())));
    QCOMPARE(nextCall(), QStringLiteral("[--title][") + file + QStringLiteral("]"));
    QVERIFY(trace.text().find("Extension: .txt") != std::string::npos);
  }

  void foldersReallyOpen() {
    clearCalls();
    const QString folder = m_home.path() + QStringLiteral("/docs with blanks");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(delveshell::openFolder(folder.toStdString()));
    QCOMPARE(nextCall(), QStringLiteral("[--folder][") + folder + QStringLiteral("]"));
  }

  void filesThatDoNotOpen() {
    clearCalls();
    {
      // No extension: nothing is looked up, not even traced.
      TraceCapture trace;
      QVERIFY(!delveshell::openFile(DyxPath(m_home.path().toStdString() + "/README")));
      QVERIFY(trace.text().find("Extension:") == std::string::npos);
    }
    // An extension that no application claims.
    QVERIFY(!delveshell::openFile(DyxPath(m_home.path().toStdString() + "/x.qqzz-nothing")));
    QVERIFY(QDir(m_calls).entryList(QDir::Files).isEmpty());
  }
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
