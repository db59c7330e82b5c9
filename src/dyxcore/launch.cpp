#include "dyxcore/launch.h"

#include <fstream>

#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "kxcore/io.h"
#include "kxcore/value.h"

namespace {

// The program sees each argument as one word, the way a command line parser would hand it
// over: one pair of enclosing double quotes is not part of the argument.
std::string withoutEnclosingQuotes(const std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

}  // namespace

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
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      argv.push_back(withoutEnclosingQuotes(arguments[i]));
    }
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
  // A bare program name is looked up along PATH; its path form would pin it to the current
  // directory ("./name").
  const std::string program =
      m_program.find('/') == std::string::npos ? trim(m_program) : path.toString();
  const std::string& entry = variables["entry"];
  KX_POS(kxout) << "Launching: \"" << program << " " << entry << "\"" << endl;

  const bool blocking = !m_resultVariables.empty();
  if (!DyxCreateProcess({program, entry}, blocking, kDyxLaunchResultFile)) return false;

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
