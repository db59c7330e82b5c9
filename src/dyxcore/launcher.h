// DyxLauncher: the external commands that can be run on entries of a given file type, read
// from the command file ("conf/app.ini"), one record per line:
//   name type parameters program resultVariables
// for example `Checksum Archive "" "sha256sum" "$checksum $file"`. The name is a word; the four
// other fields are values (a quoted text or a word). A later record of the same name replaces
// the earlier one.
//
// The facade owns the one launcher and re-reads the file during start-up only. Commands are
// plain values. No lock: `getCommands` and `launch` read the command map and must not overlap a
// `reset`; `getCommands` reads the pool and the type manager, so call it under the engine lock.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "dyxcore/launch.h"

class DyxCommand {
 public:
  DyxCommand() = default;
  DyxCommand(std::string name, std::string type, std::string parameters, std::string program,
             std::string resultVariables)
      : m_name(std::move(name)),
        m_type(std::move(type)),
        m_parameters(std::move(parameters)),
        m_launch(std::move(program), std::move(resultVariables)) {}

  const std::string& name() const { return m_name; }
  const std::string& type() const { return m_type; }
  const std::string& parameters() const { return m_parameters; }
  const DyxLaunch& launch() const { return m_launch; }

 private:
  std::string m_name;
  std::string m_type;        // the file type (a type name of the type manager) it applies to
  std::string m_parameters;  // kept for the trace only
  DyxLaunch m_launch;
};

class DyxLauncher {
 public:
  DyxLauncher() = default;
  // Stores the path, then reads it.
  explicit DyxLauncher(const std::string& iniFile);
  DyxLauncher(const DyxLauncher&) = delete;
  DyxLauncher& operator=(const DyxLauncher&) = delete;

  // Re-reads the command file; a non-empty `file` becomes the file to read. Every earlier
  // command is dropped first. A missing file gives no commands and no error.
  void reset(const std::string& file = std::string());

  // Empties `commands`, then appends the commands that apply to the entry at `filePath`: for
  // each of the entry's types in order, the commands naming exactly that type, in name order.
  void getCommands(const std::string& filePath, std::vector<DyxCommand>& commands) const;

  // Runs the command of that name on variables["entry"]; the result values are left in
  // `variables`. False for an unknown command or when the program could not be started.
  bool launch(const std::string& commandName, std::map<std::string, std::string>& variables) const;

  const std::string& iniFile() const { return m_iniFile; }
  const std::map<std::string, DyxCommand>& commands() const { return m_commands; }

 private:
  std::string m_iniFile;
  std::map<std::string, DyxCommand> m_commands;  // by name, byte-wise
};
