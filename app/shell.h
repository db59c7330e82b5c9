// Shell integration of the desktop window: choosing a folder to parse, opening a file with the
// application associated with its extension, and opening a folder with the desktop's file
// manager. The associations come from the desktop's own databases: Qt's MIME database maps an
// extension to a MIME type, and GIO answers the default application of a MIME type and its
// command line. A command line becomes a command template with the placeholder "%1" (files) or
// "%L" (folders); launchCommand fills it in, splits it into arguments and starts the program as
// a separate process without waiting for it.
//
// Threads: browseForFolder only on the window's thread (it shows a dialog); the other functions
// keep no state and may be called from any thread. Nothing here touches the engine's pool or
// views, so no engine lock is needed.
#pragma once

#include <string>

class DyxPath;
class QWidget;

namespace delveshell {

// The placeholders of the command templates.
inline constexpr const char* kFilePlaceholder = "%1";
inline constexpr const char* kFolderPlaceholder = "%L";
// The MIME type whose default application opens folders.
inline constexpr const char* kFolderMimeType = "inode/directory";

// Qt's directory chooser titled "Select Folder", owned by `owner`, starting in `start` when it
// is not empty. An empty path when the user cancels or picks nothing usable. `newStyle` asks for
// Qt's own dialog rather than the platform's.
DyxPath browseForFolder(QWidget* owner, const DyxPath& start, bool newStyle);

// True when the file's associated application was started.
bool openFile(const DyxPath& file);
// True when the folder application was started on `folder`.
bool openFolder(const std::string& folder);
// Fills the placeholder (or appends the argument after a blank when the template has none),
// splits the command at blanks keeping double-quoted runs together, and starts it without
// waiting. False when the command is empty or the program did not start.
bool launchCommand(const std::string& commandTemplate, const std::string& placeholder,
                   const std::string& argument);

// The lookups behind openFile and openFolder, each false when the desktop has no answer.
// The MIME type of the dotted extension (".txt"); the fallback type that every file has
// (application/octet-stream) counts as no answer.
bool typeOfExtension(const std::string& dottedExtension, std::string& type);
// The command template of the default application of `type`, with `placeholder` in place of
// its file field codes.
bool commandOfType(const std::string& type, const std::string& placeholder, std::string& command);
// The folder command template ("%L" as placeholder).
bool folderCommand(std::string& command);

// An Exec line of a desktop entry as a command template: the field codes %f %F %u %U become
// `placeholder` in double quotes (a field code is one argument, blanks or not), "%%" becomes
// "%", and every other field code is dropped.
std::string templateFromExec(const std::string& exec, const std::string& placeholder);

}  // namespace delveshell
