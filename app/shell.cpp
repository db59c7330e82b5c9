// GIO's headers come first: they use identifiers that Qt's keyword macros would rewrite.
#include "shell.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QFileDialog>
#include <QMimeDatabase>
#include <QMimeType>
#include <QString>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bytes.h"
#include "dyxcore/frontend.h"
#include "kxcore/io.h"

namespace delveshell {

namespace {

// Enough for the magic rules of the MIME database to decide.
constexpr std::size_t kContentBytes = 16384;

constexpr const char* kFileManagerService = "org.freedesktop.FileManager1";
constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";

template <typename T>
struct GObjectUnref {
  void operator()(T* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

std::string lastPart(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder that holds `path`: the text before its last "/" (the root for "/x").
std::string parentOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : trimmed.substr(0, slash);
}

// The first bytes of a regular file; empty for anything else or when it cannot be read.
QByteArray firstBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return QByteArray();
  QByteArray data;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    data.resize(static_cast<qsizetype>(kContentBytes));
    qsizetype filled = 0;
    while (filled < data.size()) {
      const ssize_t got =
          ::read(fd, data.data() + filled, static_cast<size_t>(data.size() - filled));
      if (got <= 0) break;
      filled += got;
    }
    data.truncate(filled);
  }
  ::close(fd);
  return data;
}

void setProblem(std::string* problem, const std::string& text) {
  if (problem != nullptr) *problem = text;
}

// Starts the default application of `mimeType` on the file or folder at `path`.
bool launchDefault(const std::string& mimeType, const std::string& path, std::string* problem) {
  GObjectPtr<GAppInfo> app(g_app_info_get_default_for_type(mimeType.c_str(), FALSE));
  if (!app) {
    kxout << "No default application for " << mimeType << endl;
    setProblem(problem, "No application is set to open " + mimeType + " files.");
    return false;
  }
  kxout << "Default application: " << g_app_info_get_id(app.get()) << endl;
  // The path as the file system's bytes: GIO hands it on as one argument (or one URI).
  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  GList* files = g_list_append(nullptr, file.get());
  GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
  GError* error = nullptr;
  const gboolean started = g_app_info_launch(app.get(), files, context.get(), &error);
  g_list_free(files);
  if (!started) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    KX_POS(kxerr) << "Failed launching " << g_app_info_get_id(app.get()) << ": " << message << endl;
    setProblem(problem, std::string(g_app_info_get_name(app.get())) + " did not start: " + message);
  }
  if (error != nullptr) g_error_free(error);
  return started;
}

// The file's URI, its bytes escaped, so the file manager receives exactly this file.
QString fileUri(const std::string& path) {
  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  char* uri = g_file_get_uri(file.get());
  const QString text = QString::fromUtf8(uri);
  g_free(uri);
  return text;
}

bool fileManagerAvailable(const QDBusConnection& bus) {
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString service = QString::fromLatin1(kFileManagerService);
  if (bus.interface()->isServiceRegistered(service)) return true;
  // A file manager that D-Bus starts on demand.
  const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
  return activatable.isValid() && activatable.value().contains(service);
}

}  // namespace

DyxPath browseForFolder(QWidget* owner, const DyxPath& start, bool newStyle) {
  QFileDialog::Options options = QFileDialog::ShowDirsOnly;
  if (newStyle) options |= QFileDialog::DontUseNativeDialog;
  const QString startText = start.isEmpty() ? QString() : fromBytes(start.toString());
  const QString chosen =
      QFileDialog::getExistingDirectory(owner, QStringLiteral("Select Folder"), startText, options);
  if (chosen.isEmpty()) return DyxPath();
  return DyxPath(toBytes(chosen));
}

std::string mimeTypeOfFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return kFolderMimeType;
  // The database is thread-safe; building it once spares reading the shared tables again.
  static const QMimeDatabase database;
  const QMimeType byName =
      database.mimeTypeForFile(fromBytes(lastPart(path)), QMimeDatabase::MatchExtension);
  if (byName.isValid() && !byName.isDefault()) return byName.name().toStdString();
  return database.mimeTypeForData(firstBytes(path)).name().toStdString();
}

bool openFile(const DyxPath& file, std::string* problem) {
  return openFile(file.toString(), problem);
}

bool openFile(const std::string& path, std::string* problem) {
  const std::string extension = DyxPath(lastPart(path), '/').extension();
  if (!extension.empty()) kxout << "Extension: ." << extension << endl;
  const std::string type = mimeTypeOfFile(path);
  kxout << "MIME type: " << type << endl;
  return launchDefault(type, path, problem);
}

bool openFolder(const std::string& folder, std::string* problem) {
  return launchDefault(kFolderMimeType, folder, problem);
}

bool openContainingFolder(const std::string& file, std::string* problem) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!fileManagerAvailable(bus)) return openFolder(parentOf(file), problem);
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(kFileManagerService), QString::fromLatin1(kFileManagerPath),
      QString::fromLatin1(kFileManagerService), QStringLiteral("ShowItems"));
  call << QStringList{fileUri(file)} << QString();
  // Asynchronous: a file manager that D-Bus has to start first must not freeze the window.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [file](QDBusPendingCallWatcher* self) {
                     if (self->isError()) {
                       KX_POS(kxerr) << "The file manager did not show " << file << ": "
                                     << self->error().message().toStdString() << endl;
                       openFolder(parentOf(file));
                     }
                     self->deleteLater();
                   });
  return true;
}

bool launchCommand(const std::string& commandTemplate, const std::string& placeholder,
                   const std::string& argument) {
  const char* systemRoot = std::getenv("SystemRoot");
  std::string command =
      replaceAll(commandTemplate, "%SystemRoot%", systemRoot != nullptr ? systemRoot : "");
  kxout << "Open folder command: \"" << command << "\"" << endl;
  command = replaceAll(command, "/idlist,%I,", "");
  kxout << "Removed /idlist: \"" << command << "\"" << endl;
  // Split first, then fill in: the argument can never become more than one argument.
  const std::vector<std::string> arguments = DyxFillCommandTemplate(command, placeholder, argument);
  if (arguments.empty()) return false;
  return DyxCreateProcess(arguments, false, "");
}

}  // namespace delveshell
