// Shell integration of the desktop window: choosing a folder to parse, opening a file with the
// default application of its type, and showing a file in the desktop's file manager.
//
// A file is never put into a command text that is split again: it is handed to GIO as a file
// (g_app_info_launch of the default application of its MIME type), and GIO expands the desktop
// entry's field codes, quotes the path and honours Terminal=true. So a file path is always
// exactly one argument of the application, whatever bytes it holds. The MIME type comes from
// Qt's MIME database: by name, and by the file's first bytes when the name says nothing
// (README, Makefile). Showing the containing folder asks the file manager over D-Bus
// (org.freedesktop.FileManager1 ShowItems, which also selects the file) and falls back to the
// default application of inode/directory. No shell is involved anywhere.
//
// Threads: browseForFolder and openContainingFolder only on the window's thread (a dialog, a
// D-Bus call); the others keep no state and may be called from any thread. Nothing here
// touches the engine's pool or views, so no engine lock is needed.
#pragma once

#include <string>

class DyxPath;
class QWidget;

namespace delveshell {

// The placeholders of the command templates of launchCommand.
inline constexpr const char* kFilePlaceholder = "%1";
inline constexpr const char* kFolderPlaceholder = "%L";
// The MIME type whose default application opens folders.
inline constexpr const char* kFolderMimeType = "inode/directory";

// Qt's directory chooser titled "Select Folder", owned by `owner`, starting in `start` when it
// is not empty. An empty path when the user cancels or picks nothing usable. `newStyle` asks for
// Qt's own dialog rather than the platform's.
DyxPath browseForFolder(QWidget* owner, const DyxPath& start, bool newStyle);

// The MIME type of the file at `path` (its bytes as the file system has them): by name, and by
// content when the name says nothing; "inode/directory" for a directory. Only a regular file is
// read, and only its first bytes, so a FIFO or a device never blocks.
std::string mimeTypeOfFile(const std::string& path);

// Opens the file with the default application of its MIME type. True when it was started;
// otherwise false, and `problem` (when given) says why, in words for the window.
bool openFile(const DyxPath& file, std::string* problem = nullptr);
// The same for a path as the file system's bytes, passed on untouched.
bool openFile(const std::string& path, std::string* problem = nullptr);
// Opens the folder with the default application of inode/directory.
bool openFolder(const std::string& folder, std::string* problem = nullptr);
// Shows `file` selected in the file manager (D-Bus), or else opens its parent folder with
// openFolder.
bool openContainingFolder(const std::string& file, std::string* problem = nullptr);

// Starts a command template with `argument` in place of `placeholder`: the template is split
// into arguments first (blanks separate them, double-quoted runs are kept together without
// their quotes) and the placeholder replaced inside its argument, so the argument stays one
// argument; without the placeholder it follows as the last argument. "%SystemRoot%" is
// replaced by that variable and "/idlist,%I," removed first. Does not wait. False when the
// command is empty or the program did not start.
bool launchCommand(const std::string& commandTemplate, const std::string& placeholder,
                   const std::string& argument);

}  // namespace delveshell
