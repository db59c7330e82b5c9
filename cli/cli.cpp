#include "cli/cli.h"

#include <csignal>
#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include "kxcore/notice.h"

namespace {

// The number of the signal that asked the parse to stop; 0 while none did.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onInterrupt(int signal) {
  g_interrupted = signal;
  // A second interrupt ends the program at once.
  std::signal(signal, SIG_DFL);
}

// Turns an interrupt into a stop request of the scan, so the engine still shuts down and saves.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    m_previousInt = std::signal(SIGINT, onInterrupt);
    m_previousTerm = std::signal(SIGTERM, onInterrupt);
  }
  ~InterruptGuard() {
    std::signal(SIGINT, m_previousInt == SIG_ERR ? SIG_DFL : m_previousInt);
    std::signal(SIGTERM, m_previousTerm == SIG_ERR ? SIG_DFL : m_previousTerm);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*m_previousInt)(int);
  void (*m_previousTerm)(int);
};

// The control bytes of a name would drive the terminal: they are shown as "?".
std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

class CliScanObserver final : public DyxScanObserver {
 public:
  CliScanObserver(std::ostream& err, bool progress, bool terminal)
      : m_err(err), m_progress(progress), m_terminal(terminal) {}

  bool entryFiled(DyxViewFolder* folder, DyxEntry* entry) override {
    bool restarted = false;
    if (isStopRequested(restarted) || folder == nullptr) return false;
    m_tally.record(folder, entry != nullptr);
    return true;
  }

  bool isStopRequested(bool& restarted) override {
    restarted = false;
    return g_interrupted != 0;
  }

  void directoryStarted(const std::string& path) override {
    if (!m_progress || g_interrupted != 0) return;
    if (m_terminal) {
      m_err << "\r\033[K" << printable(path) << std::flush;
      m_lineOpen = true;
    } else {
      m_err << printable(path) << '\n';
    }
  }

  // Clears the progress line of a terminal.
  void finishProgress() {
    if (m_lineOpen) m_err << "\r\033[K" << std::flush;
    m_lineOpen = false;
  }

  const DyxFolderTally& tally() const { return m_tally; }
  // Counts the whole view afresh, as its filings would have: a view built after the scan (a
  // user view) filed nothing through the observer.
  void tallyView(const DyxView& view) {
    DyxEngineLock lock;
    m_tally.clear();
    std::vector<DyxEntry*> entries;
    for (const DyxViewFolder* folder : DyxFrontEnd::foldersInOrder(view)) {
      m_tally.record(folder, false);
      folder->getEntries(entries);
      for (std::size_t i = 0; i < entries.size(); ++i) m_tally.record(folder, true);
    }
    view.getEntries(entries);
    for (std::size_t i = 0; i < entries.size(); ++i) m_tally.record(&view, true);
  }
  DyxLeftOut& leftOut() { return m_leftOut; }

 private:
  std::ostream& m_err;
  const bool m_progress;
  const bool m_terminal;
  bool m_lineOpen = false;
  DyxFolderTally m_tally;
  DyxLeftOut m_leftOut;  // what the notices taken so far left out
};

// Writes every waiting notice on standard error, as find names what it could not read, and
// counts it in `leftOut`. Answers how many were written.
std::size_t reportNotices(std::ostream& err, DyxLeftOut& leftOut) {
  const std::vector<KxNotice> notices = KxNotices::take();
  for (const KxNotice& notice : notices) {
    err << "quarry-cli: " << printable(notice.text()) << '\n';
    leftOut.add(notice);
  }
  return notices.size();
}

// Starts the engine and registers the observer; the destructor undoes both, also on a throw,
// and stops the engine the way `end` says.
class EngineSession {
 public:
  EngineSession(DyxScanObserver& observer, DyxFrontEnd::EngineEnd end) : m_end(end) {
    DyxFrontEnd::startEngine();
    DyxFrontEnd::setScanObserver(&observer);
  }
  ~EngineSession() {
    DyxFrontEnd::setScanObserver(nullptr);
    try {
      DyxFrontEnd::stopEngine(m_end);
    } catch (...) {
      // Nothing can be done about a failed shutdown at the end of the program.
    }
  }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

 private:
  const DyxFrontEnd::EngineEnd m_end;
};

// The user's directory is taken from where the user called the program, not from the working
// directory the start-up moved into.
std::string absoluteDirectory(const std::string& dir) { return DyxFrontEnd::resolveUserPath(dir); }

// "" and "." name the root; surrounding "/" are ignored.
std::string normalisedFolderArgument(const std::string& folder) {
  std::size_t begin = 0;
  std::size_t end = folder.size();
  while (begin < end && folder[begin] == '/') ++begin;
  while (end > begin && folder[end - 1] == '/') --end;
  const std::string trimmed = folder.substr(begin, end - begin);
  return trimmed.empty() ? kCliRootPath : trimmed;
}

int depthOf(const DyxViewFolder& folder) {
  int depth = -1;
  for (const DyxViewFolder* f = folder.getParent(); f != nullptr; f = f->getParent()) ++depth;
  return depth < 0 ? 0 : depth;
}

// The snapshot of the view, taken under the engine lock.
CliReport snapshot(DyxView& view, const CliOptions& options) {
  DyxEngineLock lock;
  CliReport report;
  report.viewTag = options.viewTag;
  report.withRows = options.mode == CliMode::kList;
  const DyxFindFilter find(options.find);

  std::vector<const DyxViewFolder*> folders;
  if (view.getEntryCount() > 0) folders.push_back(&view);
  for (const DyxViewFolder* f : DyxFrontEnd::foldersInOrder(view)) folders.push_back(f);

  // The text tree prints names and depths only: the paths of a large tree's folders are made
  // only for the formats, the list and the --folder choice that use them.
  const bool withPaths =
      options.format != CliFormat::kText || report.withRows || options.listOneFolder;
  report.folders.reserve(folders.size());
  for (const DyxViewFolder* f : folders) {
    CliFolder folder;
    const bool isRoot = f == &view;
    if (withPaths) folder.path = isRoot ? kCliRootPath : DyxFrontEnd::folderPath(*f);
    folder.name = isRoot ? kCliRootPath : f->getName();
    folder.depth = isRoot ? 0 : depthOf(*f);
    if (!report.withRows && !find.isActive()) {
      // Only the count is printed: the folder's entries are neither read nor put in order.
      folder.fileCount = static_cast<std::size_t>(f->getEntryCount());
      report.folders.push_back(std::move(folder));
      continue;
    }
    const std::vector<DyxEntry*> rows = find.rowsOf(*f);
    folder.fileCount = rows.size();
    if (report.withRows) {
      folder.rows.reserve(rows.size());
      for (const DyxEntry* entry : rows) folder.rows.push_back(DyxFrontEnd::listRow(*entry));
    }
    report.folders.push_back(std::move(folder));
  }
  return report;
}

// Prints the parser's messages for the criterion; true when there were any.
bool reportCriterion(const std::string& criterion, const std::vector<std::string>& messages,
                     std::ostream& err) {
  for (const std::string& message : messages) {
    err << "quarry-cli: criterion '" << printable(criterion) << "': " << printable(message) << '\n';
  }
  return !messages.empty();
}

// Runs the --command on every row it applies to, outside the engine lock (each run waits for
// its program).
void addCommandResults(CliReport& report, const DyxCommandChoice& command) {
  report.command = command.name;
  report.commandColumns = command.resultNames;
  report.commandValues.assign(report.folders.size(), {});
  for (std::size_t f = 0; f < report.folders.size(); ++f) {
    for (const DyxListRow& row : report.folders[f].rows) {
      std::vector<std::string> values(command.resultNames.size());
      bool applies = false;
      for (const DyxCommandChoice& c : DyxUserConfig::commandsFor(row.location)) {
        applies = applies || c.name == command.name;
      }
      if (applies) {
        const DyxCommandResult result = DyxUserConfig::runCommand(command.name, row.location);
        for (std::size_t i = 0; i < values.size() && i < result.values.size(); ++i) {
          values[i] = result.values[i].second;
        }
      }
      report.commandValues[f].push_back(std::move(values));
    }
  }
}

DyxView* selectViewOrSay(const CliOptions& options, std::ostream& err) {
  DyxView* view = DyxFrontEnd::selectView(options.viewTag);
  if (view == nullptr) {
    if (DyxFrontEnd::viewFileExists(options.viewTag)) {
      // Why is in the notice printed at the end.
      err << "quarry-cli: the view '" << options.viewTag << "' cannot be used\n";
    } else {
      err << "quarry-cli: unknown view '" << options.viewTag
          << "' (a predefined view, or a view file of conf/views)\n";
    }
  }
  return view;
}

int printView(const CliOptions& options, DyxView* view, const DyxCommandChoice& command,
              CliScanObserver& observer, std::ostream& out, std::ostream& err);

// Whether `view` is a user view; its files are counted from the view, not from the filings.
bool isUserView(DyxView& view) {
  DyxEngineLock lock;
  return view.getKind().value() == DyxViewKind::kUser;
}

// --saved and --update: the saved index instead of a parse, into `view`. Returns -1 when the
// view is to be printed, else the exit code.
int openSavedIndex(const CliOptions& options, const std::string& dir, CliScanObserver& observer,
                   DyxView*& view, std::ostream& err) {
  const DyxIndexInfo info = DyxSavedIndex::read(DyxSavedIndex::currentName());
  if (!info.found) {
    err << "quarry-cli: there is no saved index yet: parse a directory first (quarry-cli -r "
           "DIR)\n";
    return kCliExitNotListed;
  }
  DyxPath wanted(dir);
  wanted.dropDots();
  const std::string below = dir.empty() ? std::string() : wanted.toString();
  const bool inIndex =
      below.empty() || below == info.dir ||
      (below.rfind(info.dir == "/" ? info.dir : info.dir + "/", 0) == 0 && info.recursive);
  if (!inIndex || (options.source == CliSource::kUpdate && !below.empty() && below != info.dir)) {
    err << "quarry-cli: " << printable(dir) << " is not "
        << (options.source == CliSource::kUpdate ? "the directory" : "in the folders")
        << " of the saved index (" << printable(info.dir) << ")\n";
    return kCliExitUsage;
  }
  // Chosen before the restore, as before a scan: the view files the entries as they come back,
  // instead of a walk of the whole pool after it.
  view = selectViewOrSay(options, err);
  if (view == nullptr) return kCliExitUsage;
  DyxRestoreOptions restore;
  restore.intoViews = true;
  if (options.source == CliSource::kSaved) {
    restore.answerOnly = true;
    // Nothing but the view is read afterwards, unless the view is a user view (rebuilt from the
    // pool once the entries are back), a command asks the pool for its files' types, or the
    // engine is dumped.
    restore.viewsOnly = !isUserView(*view) && options.command.empty() && !options.dump;
    restore.criterion = options.criterion;
    if (below != info.dir) restore.below = below;
  }
  std::string problem;
  const bool restored = DyxSavedIndex::restore(info, restore, &problem);
  reportNotices(err, observer.leftOut());
  if (!restored) {
    err << "quarry-cli: " << printable(problem) << '\n';
    return kCliExitNotListed;
  }
  if (options.source == CliSource::kUpdate) {
    DyxSavedIndex::update(&observer);
    observer.finishProgress();
    reportNotices(err, observer.leftOut());
    if (g_interrupted != 0) {
      err << "quarry-cli: interrupted\n";
      return 128 + g_interrupted;
    }
  }
  // A user view finds the files of its entry records only now that the pool holds them.
  view = DyxFrontEnd::resolveAfterScan(options.viewTag, view);
  reportNotices(err, observer.leftOut());
  if (view == nullptr) {
    err << "quarry-cli: the view '" << options.viewTag << "' cannot be used\n";
    return kCliExitUsage;
  }
  const DyxIndexInfo open = DyxSavedIndex::openInfo();
  err << "quarry-cli: the saved index of " << printable(info.dir)
      << (open.savedAt != 0 ? ", saved " + DyxSavedIndex::timeText(open.savedAt) : std::string())
      << '\n';
  return -1;
}

int parseAndPrint(const CliOptions& options, const std::string& dir, CliScanObserver& observer,
                  std::ostream& out, std::ostream& err) {
  // With the property files loaded, a user property that none defines keeps nothing: said
  // before anything is scanned.
  if (reportCriterion(options.criterion, DyxFrontEnd::checkCriterion(options.criterion), err)) {
    return kCliExitUsage;
  }
  DyxCommandChoice command;
  if (!options.command.empty() && !DyxUserConfig::findCommand(options.command, command)) {
    std::string names;
    for (const DyxCommandChoice& c : DyxUserConfig::commands()) {
      names += (names.empty() ? "" : ", ") + c.name;
    }
    err << "quarry-cli: unknown command '" << printable(options.command)
        << "' (the commands of conf/app.ini: " << (names.empty() ? "none" : printable(names))
        << ") (see quarry-cli --help)\n";
    return kCliExitUsage;
  }
  if (options.source != CliSource::kParse) {
    DyxView* view = nullptr;
    const int code = openSavedIndex(options, dir, observer, view, err);
    if (code >= 0) return code;
    if (isUserView(*view)) observer.tallyView(*view);
    return printView(options, view, command, observer, out, err);
  }
  // The window's parse sequence, step by step, so that an unknown view stops before the scan.
  DyxFrontEnd::clearPool();
  DyxView* view = selectViewOrSay(options, err);
  if (view == nullptr) return kCliExitUsage;
  DyxParseResult result;
  DyxFrontEnd::scanDirectory(dir, options.recursive, options.criterion, result);
  observer.finishProgress();
  // Only a parse that ran to its end replaces the saved index.
  if (result.scanned && g_interrupted == 0) DyxSavedIndex::setComplete(true);
  // A user view finds the files of its entry records only now that the scan has made them.
  if (result.scanned) {
    DyxView* const resolved = DyxFrontEnd::resolveAfterScan(options.viewTag, view);
    if (resolved == nullptr) {
      err << "quarry-cli: the view '" << options.viewTag << "' cannot be used\n";
      reportNotices(err, observer.leftOut());
      return kCliExitUsage;
    }
    if (isUserView(*resolved)) observer.tallyView(*resolved);
    view = resolved;
  }

  reportNotices(err, observer.leftOut());
  if (g_interrupted != 0) {
    err << "quarry-cli: interrupted\n";
    return 128 + g_interrupted;
  }
  if (!result.scanned) {
    // The engine's notice above named the directory and the reason, when it had one.
    if (observer.leftOut().folders == 0) {
      err << "quarry-cli: " << printable(dir) << ": cannot be listed\n";
    }
    return kCliExitNotListed;
  }
  return printView(options, view, command, observer, out, err);
}

int printView(const CliOptions& options, DyxView* view, const DyxCommandChoice& command,
              CliScanObserver& observer, std::ostream& out, std::ostream& err) {
  CliReport report = snapshot(*view, options);
  std::string tail;
  if (options.listOneFolder) {
    const std::string wanted = normalisedFolderArgument(options.listFolder);
    CliFolder selected;
    bool found = false;
    for (CliFolder& folder : report.folders) {
      if (folder.path == wanted) {
        selected = std::move(folder);
        found = true;
        break;
      }
    }
    if (!found && wanted == kCliRootPath) {
      selected.path = selected.name = kCliRootPath;
      found = true;
    }
    if (!found) {
      err << "quarry-cli: the view '" << options.viewTag << "' has no folder '" << wanted << "'\n";
      return kCliExitNotListed;
    }
    report.folders.assign(1, std::move(selected));
    const CliFolder& folder = report.folders.front();
    tail = DyxFrontEnd::statusLine(observer.tally().folderCount(), observer.tally().fileCount(),
                                   folder.name, folder.fileCount);
  }
  if (options.dump) DyxFrontEnd::dumpEngine();
  if (!options.command.empty()) addCommandResults(report, command);

  writeReport(report, options.format, out);
  out.flush();
  err << DyxFrontEnd::withLeftOut(tail.empty()
                                      ? DyxFrontEnd::statusLine(observer.tally().folderCount(),
                                                                observer.tally().fileCount())
                                      : tail,
                                  observer.leftOut())
      << '\n';
  // Output to a descriptor that was closed when the program started went to /dev/null.
  if (!out || DyxFrontEnd::standardOutputWasClosed()) {
    err << "quarry-cli: cannot write the output\n";
    return kCliExitNotListed;
  }
  return kCliExitOk;
}

int runEngine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool stderrIsTerminal, DyxFrontEnd::EngineEnd end) {
  CliOptions options;
  std::string error;
  switch (parseCliArguments(args, options, error)) {
    case CliParseOutcome::kHelp:
      out << cliUsage();
      return kCliExitOk;
    case CliParseOutcome::kVersion:
      out << cliVersion();
      return kCliExitOk;
    case CliParseOutcome::kUsageError:
      err << "quarry-cli: " << error << " (see quarry-cli --help)\n";
      return kCliExitUsage;
    case CliParseOutcome::kRun:
      break;
  }

  // A criterion that does not parse would keep nothing, or less than was written: it is a usage
  // error, found before the engine starts, and nothing is scanned.
  if (reportCriterion(options.criterion, DyxFrontEnd::checkCriterion(options.criterion), err)) {
    return kCliExitUsage;
  }

  const std::string dir = options.dir.empty() ? std::string() : absoluteDirectory(options.dir);
  InterruptGuard interrupts;
  CliScanObserver observer(err, options.progressGiven || stderrIsTerminal, stderrIsTerminal);
  int code = kCliExitNotListed;
  try {
    {
      EngineSession session(observer, end);
      code = parseAndPrint(options, dir, observer, out, err);
    }
    // What the shutdown could not do (a save) is named too.
    reportNotices(err, observer.leftOut());
  } catch (const std::exception& e) {
    err << "quarry-cli: unexpected failure: " << e.what() << '\n';
  } catch (...) {
    err << "quarry-cli: unexpected failure in the engine\n";
  }
  if (g_interrupted != 0) return 128 + g_interrupted;
  if (code == kCliExitOk && !observer.leftOut().empty()) return kCliExitIncomplete;
  return code;
}

}  // namespace

int runQuarryCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 bool stderrIsTerminal, bool exitWhenDone) {
  const DyxFrontEnd::EngineEnd end =
      exitWhenDone ? DyxFrontEnd::endBeforeExit() : DyxFrontEnd::EngineEnd::kFreeAll;
  const int code = runEngine(args, out, err, stderrIsTerminal, end);
  // The engine still stands: the process ends here, before anything would free it.
  if (end == DyxFrontEnd::EngineEnd::kSaveOnly) DyxFrontEnd::exitNow(code);
  return code;
}
