// Shell integration against a desktop of our own: temporary XDG data and configuration
// directories with a mimeapps.list and desktop entries whose Exec runs a script that records its
// arguments, NUL-separated, so that every argument can be compared byte for byte. The machine's
// own applications and defaults are hidden, and no session bus is reachable, so "Open
// Containing Folder" takes its fallback.
#include "shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "dyxcore/path.h"
#include "kxcore/io.h"

namespace {

using Arguments = std::vector<std::string>;

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

// A file under a name of any bytes (QFile would take the name through UTF-16).
bool writeBytesFile(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok =
      ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ::close(fd);
  return ok;
}

// A recording script: its arguments, each followed by a NUL, after `marker`.
QByteArray recorderScript(const QString& calls, const QByteArray& marker) {
  return "#!/bin/sh\nout=\"" + calls.toUtf8() + "/call.$$\"\nprintf '%s\\0' " + marker +
         " \"$@\" > \"$out.part\"\n/bin/mv \"$out.part\" \"$out.done\"\n";
}

// Children of this process that have ended but were not reaped.
int zombieChildren() {
  int zombies = 0;
  const QString self = QString::number(::getpid());
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    const QByteArray text = stat.readAll();
    // "pid (name) state ppid ...": the name may hold blanks, so read after its ")".
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1()) ++zombies;
  }
  return zombies;
}

std::string describe(const Arguments& arguments) {
  std::string text;
  for (const std::string& a : arguments) text += "[" + a + "]";
  return text;
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

// File names that a hostile or careless source may give; each must reach the application as
// exactly one argument, byte for byte.
const std::vector<std::string>& awkwardNames() {
  static const std::vector<std::string> names = {
      "plain.txt",
      "dq\"uote.txt",
      "inj\" --injected-option \"two words\" z.txt",
      "it's.txt",
      "-leading dash.txt",
      "  spaces  around .txt",
      "new\nline.txt",
      "%f %u %U %%.txt",
      "\"enclosed\".txt",
      "\xff\xfe not utf-8 \xe9.txt",
  };
  return names;
}

}  // namespace

class ShellTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_home;
  QString m_recorder;  // the script every fake application runs
  QString m_calls;     // where it leaves one file per call
  std::string m_docs;  // the files to open

  // The arguments of the next recorded call; waits (bounded) for the script to finish.
  Arguments nextCall() {
    QDir calls(m_calls);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
      const QStringList done = calls.entryList({QStringLiteral("*.done")}, QDir::Files);
      if (!done.isEmpty()) {
        QFile file(calls.filePath(done.first()));
        Arguments arguments;
        if (file.open(QIODevice::ReadOnly)) {
          const QByteArray bytes = file.readAll();
          qsizetype start = 0;
          for (qsizetype nul = bytes.indexOf('\0'); nul >= 0; nul = bytes.indexOf('\0', start)) {
            arguments.push_back(bytes.mid(start, nul - start).toStdString());
            start = nul + 1;
          }
        }
        file.remove();
        return arguments;
      }
      QTest::qWait(20);
    }
    return {"(no call recorded)"};
  }

  void clearCalls() {
    QDir calls(m_calls);
    for (const QString& name : calls.entryList(QDir::Files)) calls.remove(name);
  }

  bool noCallWithin(int ms) {
    QTest::qWait(ms);
    return QDir(m_calls).entryList(QDir::Files).isEmpty();
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_home.isValid());
    const QString root = m_home.path();
    m_calls = root + QStringLiteral("/calls");
    QVERIFY(QDir().mkpath(m_calls));
    m_recorder = root + QStringLiteral("/bin/record");
    writeFile(m_recorder, recorderScript(m_calls, "app"), true);
    // The one terminal on the restricted PATH of the terminal test.
    writeFile(root + QStringLiteral("/termbin/xterm"), recorderScript(m_calls, "terminal"), true);
    // The worked example's program name, in a folder that plays the system root.
    QVERIFY(QDir().mkpath(root + QStringLiteral("/sysroot")));
    QVERIFY(QFile::copy(m_recorder, root + QStringLiteral("/sysroot/Explorer.exe")));
    QFile::setPermissions(root + QStringLiteral("/sysroot/Explorer.exe"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QByteArray recorder = m_recorder.toUtf8();
    const QString apps = root + QStringLiteral("/data/applications/");
    writeFile(apps + QStringLiteral("quarry-test-text.desktop"),
              "[Desktop Entry]\nType=Application\nName=Text recorder\n"
              "Exec=" +
                  recorder + " --title %c %f\nMimeType=text/plain;\n");
    writeFile(apps + QStringLiteral("quarry-test-option.desktop"),
              "[Desktop Entry]\nType=Application\nName=Option recorder\n"
              "Exec=" +
                  recorder + " --file=%f\nMimeType=text/markdown;\n");
    writeFile(apps + QStringLiteral("quarry-test-terminal.desktop"),
              "[Desktop Entry]\nType=Application\nName=Terminal recorder\nTerminal=true\n"
              "Exec=" +
                  recorder + " --in-terminal %f\nMimeType=text/x-log;\n");
    writeFile(apps + QStringLiteral("quarry-test-folder.desktop"),
              "[Desktop Entry]\nType=Application\nName=Folder recorder\n"
              "Exec=" +
                  recorder + " --folder %f\nMimeType=inode/directory;\n");
    writeFile(root + QStringLiteral("/config/mimeapps.list"),
              "[Default Applications]\ntext/plain=quarry-test-text.desktop\n"
              "text/markdown=quarry-test-option.desktop\n"
              "text/x-log=quarry-test-terminal.desktop\n"
              "inode/directory=quarry-test-folder.desktop\n");
    // The system's MIME database stays visible; its applications and defaults do not.
    const QString systemData = root + QStringLiteral("/sysdata");
    QVERIFY(QDir().mkpath(systemData));
    QVERIFY(QFile::link(QStringLiteral("/usr/share/mime"), systemData + QStringLiteral("/mime")));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/sysconfig")));
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_DIRS", systemData.toUtf8());
    qputenv("XDG_CONFIG_DIRS", (root + QStringLiteral("/sysconfig")).toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", "");
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            ("unix:path=" + root + QStringLiteral("/no-such-bus")).toUtf8());
    qputenv("SystemRoot", (root + QStringLiteral("/sysroot")).toUtf8());

    m_docs = root.toStdString() + "/docs";
    QVERIFY(QDir().mkpath(QString::fromStdString(m_docs)));
  }

  // QTemporaryDir cannot remove names that are not UTF-8; the byte-wise removal can.
  void cleanupTestCase() {
    std::error_code ignored;
    std::filesystem::remove_all(m_home.path().toStdString(), ignored);
  }

  void mimeTypesByNameAndByContent() {
    const std::string dir = m_docs + "/types";
    QVERIFY(QDir().mkpath(QString::fromStdString(dir)));
    QVERIFY(::mkfifo((dir + "/pipe").c_str(), 0600) == 0);
    QVERIFY(QDir().mkpath(QString::fromStdString(dir + "/folder.txt")));
    const struct {
      const char* name;
      const char* content;
      const char* type;
    } cases[] = {
        {"notes.txt", "", "text/plain"},
        {"README", "Read me first.\n", "text/x-readme"},
        {"shopping", "eggs\nmilk\n", "text/plain"},
        {"Makefile", "all:\n\ttrue\n", "text/x-makefile"},
        {"run", "#!/bin/sh\necho hi\n", "application/x-shellscript"},
        {"blob", "\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00", nullptr},
        {"\xff\xfe.txt", "x", "text/plain"},
    };
    for (const auto& c : cases) {
      const std::string path = dir + "/" + c.name;
      QVERIFY(writeBytesFile(path, c.content));
      const std::string type = delveshell::mimeTypeOfFile(path);
      if (c.type != nullptr) {
        QVERIFY2(type == c.type, (std::string(c.name) + " -> " + type).c_str());
      } else {
        QVERIFY2(type != "text/plain" && !type.empty(),
                 (std::string(c.name) + " -> " + type).c_str());
      }
    }
    // A directory is a folder whatever its name; a FIFO is never read (this would block).
    QCOMPARE(QString::fromStdString(delveshell::mimeTypeOfFile(dir + "/folder.txt")),
             QStringLiteral("inode/directory"));
    QVERIFY(!delveshell::mimeTypeOfFile(dir + "/pipe").empty());
  }

  void awkwardFilesArriveAsOneArgument() {
    for (const std::string& name : awkwardNames()) {
      clearCalls();
      const std::string path = m_docs + "/" + name;
      QVERIFY(writeBytesFile(path, "some text\n"));
      std::string problem;
      QVERIFY2(delveshell::openFile(path, &problem), (name + ": " + problem).c_str());
      const Arguments expected = {"app", "--title", "Text recorder", path};
      const Arguments got = nextCall();
      QVERIFY2(got == expected, (name + " gave " + describe(got)).c_str());
    }
  }

  void fieldCodeInsideAnArgument() {
    // Exec=prog --file=%f: the path joins its argument, without quotes.
    for (const std::string stem : {"notes", "a\" --injected \"b", "-x", "q'uote"}) {
      clearCalls();
      const std::string path = m_docs + "/" + stem + ".md";
      QVERIFY(writeBytesFile(path, "# title\n"));
      QVERIFY2(delveshell::openFile(DyxPath(path)), stem.c_str());
      const Arguments got = nextCall();
      QVERIFY2(got == (Arguments{"app", "--file=" + path}),
               (stem + " gave " + describe(got)).c_str());
    }
  }

  void filesWithoutExtensionOpenByContent() {
    // Makefile and README are named types below text/plain; "shopping" is text by content.
    for (const char* name : {"README", "Makefile", "shopping"}) {
      clearCalls();
      const std::string path = m_docs + "/" + name;
      QVERIFY(writeBytesFile(path, "plain words\n"));
      TraceCapture trace;
      QVERIFY2(delveshell::openFile(path), name);
      QVERIFY(trace.text().find("Extension:") == std::string::npos);
      const Arguments got = nextCall();
      QVERIFY2(got == (Arguments{"app", "--title", "Text recorder", path}), describe(got).c_str());
    }
  }

  void terminalApplicationsGetATerminal() {
    clearCalls();
    const std::string path = m_docs + "/server \"main\".log";
    QVERIFY(writeBytesFile(path, "started\n"));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", (m_home.path() + QStringLiteral("/termbin")).toUtf8());
    const bool opened = delveshell::openFile(path);
    qputenv("PATH", oldPath);
    QVERIFY(opened);
    const Arguments got = nextCall();
    QVERIFY2(got == (Arguments{"terminal", "-e", m_recorder.toStdString(), "--in-terminal", path}),
             describe(got).c_str());
  }

  void launchesLeaveNoZombie() {
    clearCalls();
    const std::string path = m_docs + "/zombie.txt";
    QVERIFY(writeBytesFile(path, "x"));
    QVERIFY(delveshell::openFile(path));
    QVERIFY(nextCall().size() == 4);
    // The application has ended; nothing of it is left for this process to reap.
    QTRY_VERIFY_WITH_TIMEOUT(zombieChildren() == 0, 5000);
  }

  void filesThatDoNotOpen() {
    clearCalls();
    // Binary content of no known type: no application is set for it, and the reason is given.
    const std::string blob = m_docs + "/data.qqzz";
    QVERIFY(writeBytesFile(blob, std::string("\x00\x01\x02\x03\xfe\xff", 6)));
    std::string problem;
    QVERIFY(!delveshell::openFile(blob, &problem));
    QVERIFY2(problem.find("No application") != std::string::npos, problem.c_str());
    QVERIFY(noCallWithin(200));
  }

  void containingFolderFallsBackToTheFolderApplication() {
    const std::vector<std::string> folders = {m_docs + "/q\"dir", m_docs + "/new\nline dir",
                                              m_docs + "/-dash \xff dir", m_docs + "/%U"};
    for (const std::string& folder : folders) {
      clearCalls();
      QVERIFY(QDir().mkpath(QString::fromStdString(m_docs)));
      QVERIFY(::mkdir(folder.c_str(), 0755) == 0);
      const std::string file = folder + "/x \"y\".txt";
      QVERIFY(writeBytesFile(file, "x"));
      QVERIFY2(delveshell::openContainingFolder(file), folder.c_str());
      const Arguments got = nextCall();
      QVERIFY2(got == (Arguments{"app", "--folder", folder}), describe(got).c_str());
    }
    clearCalls();
    QVERIFY(delveshell::openFolder("/"));
    QVERIFY(nextCall() == (Arguments{"app", "--folder", "/"}));
  }

  void workedExample() {
    clearCalls();
    TraceCapture trace;
    QVERIFY(
        delveshell::launchCommand("%SystemRoot%/Explorer.exe /idlist,%I,%L", "%L", "/srv/Data"));
    QVERIFY(nextCall() == (Arguments{"app", "/srv/Data"}));
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
    QTest::newRow("no placeholder: appended as one argument") << " -v"
                                                              << "/a b/c.txt"
                                                              << "[-v][/a b/c.txt]";
    QTest::newRow("quoted placeholder") << " \"%1\""
                                        << "/a b/c d.txt"
                                        << "[/a b/c d.txt]";
    QTest::newRow("bare placeholder stays one argument") << " %1"
                                                         << "/a b/c d.txt"
                                                         << "[/a b/c d.txt]";
    QTest::newRow("placeholder inside an argument") << " --file=%1"
                                                    << "/x \"y\""
                                                    << "[--file=/x \"y\"]";
    QTest::newRow("quotes in the value stay") << " %1"
                                              << "inj\" --opt \"two words"
                                              << "[inj\" --opt \"two words]";
    QTest::newRow("a placeholder in the value is not filled") << " %1"
                                                              << "%1 and %L"
                                                              << "[%1 and %L]";
    QTest::newRow("every occurrence replaced") << " %1 --again %1"
                                               << "x"
                                               << "[x][--again][x]";
    QTest::newRow("unmatched quote drops the rest") << " keep \"lost %1"
                                                    << "y"
                                                    << "[keep][y]";
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
    Arguments got = nextCall();
    QVERIFY(!got.empty() && got.front() == "app");
    got.erase(got.begin());
    QCOMPARE(QString::fromStdString(describe(got)), expected);
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
};

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
