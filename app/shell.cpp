// GIO's headers come first: they use identifiers that Qt's keyword macros would rewrite.
#include "shell.h"

#include <gio/gio.h>

#include <QFile>
#include <QFileDialog>
#include <QMimeDatabase>
#include <QMimeType>
#include <QString>
#include <cstdlib>
#include <map>
#include <vector>

#include "dyxcore/launch.h"
#include "dyxcore/path.h"
#include "dyxcore/portable.h"
#include "kxcore/io.h"

namespace delveshell {

namespace {

QString toQString(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

std::string toBytes(const QString& text) { return QFile::encodeName(text).toStdString(); }

}  // namespace

DyxPath browseForFolder(QWidget* owner, const DyxPath& start, bool newStyle) {
  QFileDialog::Options options = QFileDialog::ShowDirsOnly;
  if (newStyle) options |= QFileDialog::DontUseNativeDialog;
  const QString startText = start.isEmpty() ? QString() : toQString(start.toString());
  const QString chosen =
      QFileDialog::getExistingDirectory(owner, QStringLiteral("Select Folder"), startText, options);
  if (chosen.isEmpty()) return DyxPath();
  return DyxPath(toBytes(chosen));
}

std::string templateFromExec(const std::string& exec, const std::string& placeholder) {
  std::string out;
  out.reserve(exec.size());
  for (std::size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] != '%' || i + 1 >= exec.size()) {
      out += exec[i];
      continue;
    }
    const char code = exec[++i];
    switch (code) {
      case 'f':
      case 'F':
      case 'u':
      case 'U':
        // A field code always stands for whole arguments: quoted, a path with blanks stays one
        // argument (the launch removes the quotes again).
        out += "\"" + placeholder + "\"";
        break;
      case '%':
        out += '%';
        break;
      default:
        // %i, %c, %k and the deprecated codes expand to nothing we can supply.
        break;
    }
  }
  return out;
}

bool typeOfExtension(const std::string& dottedExtension, std::string& type) {
  type.clear();
  if (dottedExtension.size() < 2) return false;
  static const QMimeDatabase database;
  const QMimeType mime = database.mimeTypeForFile(
      QStringLiteral("file") + toQString(dottedExtension), QMimeDatabase::MatchExtension);
  if (!mime.isValid() || mime.isDefault()) return false;
  type = mime.name().toStdString();
  return true;
}

bool commandOfType(const std::string& type, const std::string& placeholder, std::string& command) {
  command.clear();
  if (type.empty()) return false;
  GAppInfo* info = g_app_info_get_default_for_type(type.c_str(), FALSE);
  if (info == nullptr) return false;
  const char* line = g_app_info_get_commandline(info);
  if (line != nullptr) command = templateFromExec(line, placeholder);
  g_object_unref(info);
  return !command.empty();
}

bool folderCommand(std::string& command) {
  return commandOfType(kFolderMimeType, kFolderPlaceholder, command);
}

bool openFile(const DyxPath& file) {
  const std::string extension = file.extension();
  if (extension.empty()) return false;
  const std::string dotted = "." + extension;
  kxout << "Extension: " << dotted << endl;
  std::string type;
  if (!typeOfExtension(dotted, type)) return false;
  std::string command;
  if (!commandOfType(type, kFilePlaceholder, command)) return false;
  return launchCommand(command, kFilePlaceholder, file.toString());
}

bool openFolder(const std::string& folder) {
  std::string command;
  if (!folderCommand(command)) return false;
  return launchCommand(command, kFolderPlaceholder, folder);
}

bool launchCommand(const std::string& commandTemplate, const std::string& placeholder,
                   const std::string& argument) {
  const char* systemRoot = std::getenv("SystemRoot");
  std::string command =
      replaceAll(commandTemplate, "%SystemRoot%", systemRoot != nullptr ? systemRoot : "");
  kxout << "Open folder command: \"" << command << "\"" << endl;
  command = replaceAll(command, "/idlist,%I,", "");
  kxout << "Removed /idlist: \"" << command << "\"" << endl;
  if (command.empty()) return false;
  if (placeholder.empty() || command.find(placeholder) == std::string::npos) {
    command += " " + argument;
  } else {
    command = replaceAll(command, placeholder, argument);
  }
  const std::map<int, std::string> tokens = split(command, ' ', '"');
  std::vector<std::string> arguments;
  arguments.reserve(tokens.size());
  for (const auto& [index, token] : tokens) {
    if (!token.empty()) arguments.push_back(token);
  }
  if (arguments.empty()) return false;
  return DyxCreateProcess(arguments, false, "");
}

}  // namespace delveshell
