#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

enum class Opt {
  kRecursive,
  kCriterion,
  kView,
  kFind,
  kTree,
  kList,
  kFormat,
  kDump,
  kProgress,
  kCommand,
  kSaved,
  kUpdate,
  kHelp,
  kVersion
};

struct OptionDef {
  const char* longName;
  char shortName;  // 0: none
  Opt opt;
  bool takesValue;
};

constexpr OptionDef kOptionDefs[] = {
    {"recursive", 'r', Opt::kRecursive, false},
    {"criterion", 'c', Opt::kCriterion, true},
    {"view", 'v', Opt::kView, true},
    {"find", 'f', Opt::kFind, true},
    {"tree", 0, Opt::kTree, false},
    {"list", 0, Opt::kList, false},
    {"format", 0, Opt::kFormat, true},
    {"dump", 0, Opt::kDump, false},
    {"progress", 0, Opt::kProgress, false},
    {"command", 0, Opt::kCommand, true},
    {"saved", 0, Opt::kSaved, false},
    {"update", 0, Opt::kUpdate, false},
    {"help", 'h', Opt::kHelp, false},
    {"version", 0, Opt::kVersion, false},
};

const OptionDef* findLong(const std::string& name) {
  for (const OptionDef& def : kOptionDefs) {
    if (name == def.longName) return &def;
  }
  return nullptr;
}

const OptionDef* findShort(char c) {
  for (const OptionDef& def : kOptionDefs) {
    if (def.shortName != 0 && def.shortName == c) return &def;
  }
  return nullptr;
}

// Applies one option; false with `error` set when its value is not acceptable.
bool apply(const OptionDef& def, const std::string& value, CliOptions& options, bool& help,
           bool& version, std::string& error) {
  switch (def.opt) {
    case Opt::kRecursive:
      options.recursive = true;
      break;
    case Opt::kCriterion:
      options.criterion = value;
      break;
    case Opt::kView:
      if (value.empty()) {
        error = "--view needs a view tag";
        return false;
      }
      options.viewTag = value;
      break;
    case Opt::kFind:
      options.find = value;
      break;
    case Opt::kTree:
      options.mode = CliMode::kTree;
      options.listOneFolder = false;
      options.listFolder.clear();
      break;
    case Opt::kList:
      options.mode = CliMode::kList;
      break;
    case Opt::kFormat:
      if (value == "text") {
        options.format = CliFormat::kText;
      } else if (value == "tsv") {
        options.format = CliFormat::kTsv;
      } else if (value == "json") {
        options.format = CliFormat::kJson;
      } else {
        error = "unknown format '" + value + "' (text, tsv or json)";
        return false;
      }
      break;
    case Opt::kDump:
      options.dump = true;
      break;
    case Opt::kProgress:
      options.progressGiven = true;
      break;
    case Opt::kCommand:
      if (value.empty()) {
        error = "--command needs a command name";
        return false;
      }
      options.command = value;
      break;
    case Opt::kSaved:
    case Opt::kUpdate: {
      const CliSource source = def.opt == Opt::kSaved ? CliSource::kSaved : CliSource::kUpdate;
      if (options.source != CliSource::kParse && options.source != source) {
        error = "--saved and --update cannot be given together";
        return false;
      }
      options.source = source;
      break;
    }
    case Opt::kHelp:
      help = true;
      break;
    case Opt::kVersion:
      version = true;
      break;
  }
  return true;
}

}  // namespace

CliParseOutcome parseCliArguments(const std::vector<std::string>& args, CliOptions& options,
                                  std::string& error) {
  options = CliOptions();
  error.clear();
  bool help = false;
  bool version = false;
  std::vector<std::string> positionals;
  // Index in `positionals` of an argument that directly followed a bare "--list".
  std::optional<std::size_t> afterList;
  bool optionsEnded = false;
  bool previousWasBareList = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool followsList = previousWasBareList;
    previousWasBareList = false;
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (followsList && !optionsEnded) afterList = positionals.size();
      positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg[1] == '-') {
      const std::size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionDef* def = findLong(name);
      if (def == nullptr) {
        error = "unknown option '--" + name + "'";
        return CliParseOutcome::kUsageError;
      }
      std::string value;
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        if (def->opt == Opt::kList) {
          options.listOneFolder = true;
          options.listFolder = value;
        } else if (!def->takesValue) {
          error = "option '--" + name + "' takes no value";
          return CliParseOutcome::kUsageError;
        }
      } else if (def->takesValue) {
        if (i + 1 >= args.size()) {
          error = "option '--" + name + "' needs a value";
          return CliParseOutcome::kUsageError;
        }
        value = args[++i];
      }
      if (!apply(*def, value, options, help, version, error)) return CliParseOutcome::kUsageError;
      previousWasBareList = def->opt == Opt::kList && eq == std::string::npos;
      continue;
    }
    // One or more bundled short options.
    for (std::size_t k = 1; k < arg.size(); ++k) {
      const OptionDef* def = findShort(arg[k]);
      if (def == nullptr) {
        error = std::string("unknown option '-") + arg[k] + "'";
        return CliParseOutcome::kUsageError;
      }
      std::string value;
      if (def->takesValue) {
        if (k + 1 < arg.size()) {
          value = arg.substr(k + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          error = std::string("option '-") + arg[k] + "' needs a value";
          return CliParseOutcome::kUsageError;
        }
        k = arg.size();
      }
      if (!apply(*def, value, options, help, version, error)) return CliParseOutcome::kUsageError;
    }
  }

  if (help) return CliParseOutcome::kHelp;
  if (version) return CliParseOutcome::kVersion;

  if (options.mode == CliMode::kList && afterList && positionals.size() == 2 && *afterList == 0 &&
      !options.listOneFolder) {
    options.listOneFolder = true;
    options.listFolder = positionals[0];
    positionals.erase(positionals.begin());
  }
  if (!options.command.empty() && options.mode != CliMode::kList) {
    error = "--command adds columns to --list: give --list too";
    return CliParseOutcome::kUsageError;
  }
  if (options.source != CliSource::kParse) {
    const char* name = options.source == CliSource::kSaved ? "--saved" : "--update";
    // The saved index keeps the flag and the criterion of its parse.
    if (options.recursive) {
      error = std::string("-r has no meaning with ") + name +
              ": the saved index keeps the flag of its parse";
      return CliParseOutcome::kUsageError;
    }
    if (options.source == CliSource::kUpdate && !options.criterion.empty()) {
      error = "-c has no meaning with --update: the saved index keeps the criterion of its parse";
      return CliParseOutcome::kUsageError;
    }
    if (positionals.size() > 1) {
      error = "one directory only, but also got '" + positionals[1] + "'";
      return CliParseOutcome::kUsageError;
    }
    if (!positionals.empty() && options.mode == CliMode::kList && afterList && *afterList == 0 &&
        positionals.size() == 1 && !options.listOneFolder) {
      // "--list FOLDER" alone: without a directory to parse, the word is the folder.
      options.listOneFolder = true;
      options.listFolder = positionals[0];
    } else if (!positionals.empty()) {
      options.dir = positionals[0];
    }
    return CliParseOutcome::kRun;
  }
  if (positionals.empty()) {
    error = "missing the directory to parse";
    return CliParseOutcome::kUsageError;
  }
  if (positionals.size() > 1) {
    error = "one directory only, but also got '" + positionals[1] + "'";
    return CliParseOutcome::kUsageError;
  }
  options.dir = positionals[0];
  if (options.dir.empty()) {
    error = "the directory to parse is empty";
    return CliParseOutcome::kUsageError;
  }
  return CliParseOutcome::kRun;
}

std::string cliUsage() {
  return "Usage: quarry-cli [options] DIR\n"
         "       quarry-cli --saved [options] [DIR]\n"
         "       quarry-cli --update [options]\n"
         "Parses DIR with the engine of Quarry Software and prints what the window would\n"
         "show. The engine keeps its files (conf/, trace/, the saved index) in its working\n"
         "directory: $QUARRY_HOME, else $XDG_DATA_HOME/quarry, else ~/.local/share/quarry.\n"
         "Each parse that finishes is saved as the index of the current path map (or of\n"
         "\"lastparse\" when none is configured), which the window opens at start.\n"
         "\n"
         "  -r, --recursive          parse sub-folders too\n"
         "  -c, --criterion TEXT     keep only files that the criterion accepts\n"
         "  -v, --view TAG           group by Location (default), Name, Ext, Size, MTime,\n"
         "                           Status, Owner, Group, Type, Flat, or a user or filter\n"
         "                           view of conf/views\n"
         "  -f, --find TEXT          list only names that contain TEXT (as the Find box:\n"
         "                           case is ignored on both sides)\n"
         "      --tree               print the view's folders with their file counts (default)\n"
         "      --list[=FOLDER]      print the files of one folder (path from the view root,\n"
         "                           \".\" for the root), or of every folder: Name, Size,\n"
         "                           Location, Last Modification\n"
         "      --format text|tsv|json\n"
         "      --command NAME       with --list: run the command NAME of conf/app.ini on\n"
         "                           each file it applies to and add its result variables\n"
         "                           as columns (text: name=value, tsv: one field each,\n"
         "                           json: a \"results\" object)\n"
         "      --dump               write the engine dump file after the parse\n"
         "      --progress           print each directory scanned on standard error (default\n"
         "                           when standard error is a terminal)\n"
         "      --saved              answer from the saved index without reading the tree,\n"
         "                           with the same views, criterion, Find and formats; DIR\n"
         "                           narrows it to that folder of the index and below\n"
         "      --update             read again the folders of the saved index that changed\n"
         "                           since it was saved, save it, and print it\n"
         "  -h, --help               this text\n"
         "      --version            the version\n"
         "\n"
         "The totals go to standard error, and so does each directory that could not be read\n"
         "and the count of files left out. Exit status: 0 complete, 1 the directory cannot be\n"
         "listed (or the --list folder does not exist, or standard output cannot be written),\n"
         "2 usage error, 3 finished but something named on standard error was left out,\n"
         "128 + N when signal N stopped it.\n"
         "\n"
         "A criterion that does not parse is a usage error: each message of the parser goes\n"
         "to standard error and nothing is scanned. A double-quoted value is one value\n"
         "($Name = \"Tom And Jerry.avi\"); inside the quotes \\\" is a quote, \\\\ a backslash.\n"
         "\n"
         "Text and TSV print names and paths with their exact bytes (text shows control bytes\n"
         "as \\xHH). JSON is strict UTF-8: a name, location, path or view that is not valid\n"
         "UTF-8 holds U+FFFD for each bad byte, and nameBytes, locationBytes, pathBytes or\n"
         "viewBytes beside it gives the exact bytes in base64.\n";
}

std::string cliVersion() {
  return std::string("quarry-cli (Quarry Software) ") + QUARRY_VERSION + "\n";
}
