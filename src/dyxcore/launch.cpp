#include "dyxcore/launch.h"

#include <fstream>

#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "kxcore/io.h"
#include "kxcore/value.h"

bool DyxCreateProcess(const std::vector<std::string>& arguments, bool blocking,
                      const std::string& logFile) {
  KX_SCOPE("DyxCreateProcess");
  kxout << kxParam("blocking", blocking) << endl;

  const std::string firstArgument = arguments.empty() ? std::string() : arguments.front();
  std::string application = firstArgument;
  if (!application.empty() && application.front() == '"') {
    application = application.size() >= 2 ? application.substr(1, application.size() - 2) : "";
  }
  // An empty result means the program was not found; the start below then fails.
  const std::string fullPath = application.empty() ? "" : dyxplatform::findProgram(application);

  std::string commandLine = "\"" + fullPath + "\" ";
  for (std::size_t i = 1; i < arguments.size(); ++i) commandLine += arguments[i] + " ";
  KX_POS(kxout) << "Creating process: " << quote(commandLine) << endl;

  if (!fullPath.empty()) {
    std::vector<std::string> argv;
    argv.reserve(arguments.size());
    argv.push_back(application);
    // Exactly as given: an argument that came from a file name keeps every byte, quotes too.
    for (std::size_t i = 1; i < arguments.size(); ++i) argv.push_back(arguments[i]);
    const dyxplatform::SpawnResult result =
        dyxplatform::spawnProcess(fullPath, argv, blocking, blocking ? logFile : std::string());
    if (result.started) {
      KX_POS(kxout) << "Launched with PID " << result.pid << endl;
      return true;
    }
  }
  KX_POS(kxerr) << "Failed launching process " << firstArgument << "." << endl;
  return false;
}

std::vector<std::string> DyxSplitCommandTemplate(const std::string& commandTemplate) {
  std::vector<std::string> arguments;
  std::string current;
  bool inArgument = false;  // `current` is an argument, even when empty ("")
  std::size_t i = 0;
  const std::size_t n = commandTemplate.size();
  while (i < n) {
    const char c = commandTemplate[i];
    if (c == ' ' || c == '\t') {
      if (inArgument) arguments.push_back(std::move(current));
      current.clear();
      inArgument = false;
      ++i;
    } else if (c == '"') {
      const std::size_t close = commandTemplate.find('"', i + 1);
      if (close == std::string::npos) {
        // An unmatched quote drops the rest, and the argument it began in.
        return arguments;
      }
      current.append(commandTemplate, i + 1, close - i - 1);
      inArgument = true;
      i = close + 1;
    } else {
      current += c;
      inArgument = true;
      ++i;
    }
  }
  if (inArgument) arguments.push_back(std::move(current));
  return arguments;
}

std::vector<std::string> DyxFillCommandTemplate(const std::string& commandTemplate,
                                                const std::string& placeholder,
                                                const std::string& value) {
  std::vector<std::string> arguments = DyxSplitCommandTemplate(commandTemplate);
  if (arguments.empty()) return arguments;
  bool filled = false;
  for (std::string& argument : arguments) {
    if (placeholder.empty() || argument.find(placeholder) == std::string::npos) continue;
    argument = replaceAll(argument, placeholder, value);
    filled = true;
  }
  if (!filled) arguments.push_back(value);
  return arguments;
}

std::vector<std::string> DyxLaunch::parseResultVariables(const std::string& resultVariables) {
  std::vector<std::string> names;
  std::size_t from = 0;
  while (true) {
    const std::size_t dollar = resultVariables.find('$', from);
    if (dollar == std::string::npos) break;
    const std::size_t end = resultVariables.find_first_of(" \t", dollar + 1);
    if (end == std::string::npos) {
      names.push_back(resultVariables.substr(dollar + 1));
      break;
    }
    names.push_back(resultVariables.substr(dollar + 1, end - dollar - 1));
    from = end + 1;
  }
  return names;
}

bool DyxLaunch::launch(std::map<std::string, std::string>& variables) const {
  KX_SCOPE("DyxLaunch::launch");
  const DyxPath path(m_program);
  KX_POS(kxout) << "Returned path=" << path.toString() << endl;
  if (path.count() == 0) {
    KX_POS(kxerr) << "No command." << endl;
    return false;
  }
  for (const auto& [name, value] : variables) {
    KX_POS(kxout) << "args[" << quote(name) << "] = " << quote(value) << endl;
  }
  const std::string& entry = variables["entry"];
  std::vector<std::string> arguments;
  if (m_program.find(kDyxEntryPlaceholder) != std::string::npos) {
    arguments = DyxFillCommandTemplate(m_program, kDyxEntryPlaceholder, entry);
    if (arguments.empty()) {
      KX_POS(kxerr) << "No command." << endl;
      return false;
    }
  } else {
    // A bare program name is looked up along PATH; its path form would pin it to the current
    // directory ("./name").
    arguments = {m_program.find(dyxplatform::kPathSeparator) == std::string::npos ? trim(m_program)
                                                                                  : path.toString(),
                 entry};
  }
  KX_POS(kxout) << "Launching: \"" << arguments.front() << " " << entry << "\"" << endl;

  const bool blocking = !m_resultVariables.empty();
  if (!DyxCreateProcess(arguments, blocking, kDyxLaunchResultFile)) return false;

  std::ifstream results(kDyxLaunchResultFile);
  for (const std::string& name : parseResultVariables(m_resultVariables)) {
    KX_POS(kxout) << "Parse result variable: " << quote(name) << endl;
    KxValue value;
    if (results) results >> value;
    const std::string text = value.text();
    KX_POS(kxout) << "Read: " << quote(text) << endl;
    variables[name] = text;
  }
  return true;
}
