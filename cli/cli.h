// quarry-cli: the command-line front end. It starts the engine in the current directory, runs
// the window's parse sequence (DyxFrontEnd, shared with the window), prints the view's folders
// or files as text, tab-separated values or JSON, writes the totals of the window's status line
// to standard error and shuts the engine down.
//
// The pieces are split so that the tests reach them: the argument parser, the escaping of
// fields, the writers (which work on a snapshot taken under the engine lock and never touch the
// engine), and runQuarryCli, which is the whole program. main.cpp only calls runQuarryCli.
//
// Threads: everything runs on the calling thread; the engine calls the scan observer on it too.
// runQuarryCli starts and stops the engine, so at most one may run in a process at a time.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/frontend.h"

// Exit codes. A signal (SIGINT, SIGTERM) that stops the parse ends it with 128 + its number.
constexpr int kCliExitOk = 0;
constexpr int kCliExitNotListed = 1;   // the directory (or the --list folder) is not there, or
                                       // standard output cannot be written
constexpr int kCliExitUsage = 2;       // the command line is wrong
constexpr int kCliExitIncomplete = 3;  // finished, but what standard error names was left out

enum class CliMode { kTree, kList };
// Where the answer comes from: a parse of DIR, the saved index as it is, or the saved index
// brought up to date first (and saved).
enum class CliSource { kParse, kSaved, kUpdate };
enum class CliFormat { kText, kTsv, kJson };

struct CliOptions {
  std::string dir;                                     // the directory to parse, as given
  bool recursive = false;                              // -r: sub-folders too
  std::string criterion;                               // -c: the filter the scan applies
  std::string viewTag = DyxFrontEnd::kDefaultViewTag;  // -v: the view to group by
  std::string find;                                    // -f: the Find box text
  CliMode mode = CliMode::kTree;                       // --tree or --list
  bool listOneFolder = false;                          // --list was given a folder
  std::string listFolder;                              // that folder, as a path from the view root
  CliFormat format = CliFormat::kText;                 // --format
  bool dump = false;                                   // --dump: write the engine dump file
  bool progressGiven = false;                          // --progress was given
  std::string command;  // --command: a command of conf/app.ini whose results --list adds
  CliSource source = CliSource::kParse;  // --saved or --update
};

enum class CliParseOutcome { kRun, kHelp, kVersion, kUsageError };

// Reads the arguments (without the program name). On kUsageError `error` holds the message.
// Short options may be bundled (-rv Ext) and take their value glued or as the next argument;
// long options take "--name=value" or "--name value". "--list" takes a folder only as
// "--list=FOLDER", or as the next argument when another argument (the directory) follows it.
CliParseOutcome parseCliArguments(const std::vector<std::string>& args, CliOptions& options,
                                  std::string& error);
std::string cliUsage();
std::string cliVersion();

// A tab, a line feed and a backslash become \t, \n and \\; every other byte is kept.
std::string escapeTsv(std::string_view field);
// The body of a JSON string (no quotes): quote, backslash and control bytes escaped, valid
// UTF-8 kept as it is, and every byte that is not part of a valid UTF-8 sequence written as
// U+FFFD, so that every strict parser reads the document. The JSON writer puts the exact bytes
// of such a text beside it, in base64 (see writeReport).
std::string escapeJson(std::string_view text);
// True when the whole text is valid UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUtf8(std::string_view text);
// Standard base64 (RFC 4648, with padding).
std::string base64(std::string_view bytes);
// A name or path for the text formats: its bytes as they are, except control bytes (C0, DEL
// and C1), written as \xHH so that a name cannot drive the terminal.
std::string escapeText(std::string_view text);

// The path under which the root of a view is printed when it holds files itself.
inline constexpr const char* kCliRootPath = ".";

// One folder as printed.
struct CliFolder {
  std::string path;              // from the view root, parts joined by "/" ("" in a text tree)
  std::string name;              // its own name
  int depth = 0;                 // 0 for a folder directly below the root
  std::size_t fileCount = 0;     // files it holds directly (after the Find filter)
  std::vector<DyxListRow> rows;  // those files, only when the rows are printed
};

struct CliReport {
  std::string viewTag;
  std::vector<CliFolder> folders;           // depth first, each folder before its sub-folders
  bool withRows = false;                    // a --list report
  std::string command;                      // the --command name, "" for none
  std::vector<std::string> commandColumns;  // its result variables, without "$"
  // With a command: per folder and per row, the values of its result variables ("" for a file
  // the command does not apply to), in the order of commandColumns.
  std::vector<std::vector<std::vector<std::string>>> commandValues;
  // The values of row `row` of folder `folder`; nullptr when there are none.
  const std::vector<std::string>* commandValuesOf(std::size_t folder, std::size_t row) const {
    if (folder >= commandValues.size() || row >= commandValues[folder].size()) return nullptr;
    return &commandValues[folder][row];
  }
};

// With a command, each row of --list ends with its result values: text adds "name=value"
// after the time, TSV one field per result variable, JSON a "results" object of them.
// Text and TSV keep the exact bytes of names and paths (text escapes control bytes, TSV tab,
// line feed and backslash). JSON is strict UTF-8: a "view", "path", "name" or "location" that
// is not valid UTF-8 gets a "viewBytes", "pathBytes", "nameBytes" or "locationBytes" field
// beside it with its exact bytes in base64.
void writeReport(const CliReport& report, CliFormat format, std::ostream& out);

// The program: returns the exit code. `stderrIsTerminal` makes --progress the default. With
// `exitWhenDone` (the program's own main) the process ends with the exit code as soon as the
// output is written and every save is done, without freeing the engine piece by piece, where
// the build allows it (DyxFrontEnd::endBeforeExit); otherwise it returns.
int runQuarryCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 bool stderrIsTerminal, bool exitWhenDone = false);
