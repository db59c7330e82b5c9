#include "dyxcore/launcher.h"

#include "dyxcore/conffile.h"
#include "dyxcore/context.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/typeman.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"
#include "kxcore/value.h"

DyxLauncher::DyxLauncher(const std::string& iniFile) : m_iniFile(iniFile) { reset(iniFile); }

void DyxLauncher::reset(const std::string& file) {
  KX_SCOPE("DyxLauncher::reset");
  if (!file.empty()) m_iniFile = file;
  m_commands.clear();
  if (m_iniFile.empty()) {
    KX_POS(kxerr) << "The ini file name is empty." << endl;
    return;
  }
  // A FIFO under the name would block the start-up and a directory reads as nothing: only a
  // regular file is read; a missing one counts as no commands, without a message.
  DyxConfigFile source(m_iniFile, DyxConfigFile::kPlainText);
  if (source.isOpen()) {
    KX_POS(kxout) << "Successfully open file: " << m_iniFile << endl;
    std::istream& in = source.stream();
    std::streampos previous = in.tellg();
    while (in.good()) {
      std::string name;
      in >> name;
      const std::size_t at = source.position();
      KxValue fields[4];
      int onItsLine = 0;
      for (KxValue& field : fields) {
        bool same = true;
        field = source.readRecordValue(name, false, &same);
        if (same) ++onItsLine;
      }
      if (!name.empty()) {
        if (onItsLine < 4) {
          source.problem(at, "the command " + DyxConfigFile::quoted(name) + " has " +
                                 std::to_string(onItsLine) + " of its 4 values on its line");
        }
        DyxCommand command(name, fields[0].text(), fields[1].text(), fields[2].text(),
                           fields[3].text());
        KX_POS(kxout) << "New " << command.type() << "." << name << "(" << command.parameters()
                      << "): " << command.launch().program() << " => "
                      << command.launch().resultVariables() << endl;
        m_commands[name] = std::move(command);
      }
      // A record that consumed nothing would be read again forever.
      const std::streampos now = in.tellg();
      if (now == previous) break;
      previous = now;
    }
  }
  KX_POS(kxout) << "End reading file." << endl;
}

void DyxLauncher::getCommands(const std::string& filePath,
                              std::vector<DyxCommand>& commands) const {
  KX_SCOPE("DyxLauncher::getCommands");
  kxout << kxParam("file_path", filePath) << endl;
  commands.clear();

  DyxEngineLock lock;
  DyxEntry* entry = nullptr;
  // No pool: no entry is known.
  if (DyxPhysicalDirs* pool = DyxContext::pool()) entry = pool->getEntry(DyxPath(filePath));
  if (entry == nullptr) {
    KX_POS(kxerr) << "Unknown entry." << endl;
    return;
  }
  std::vector<std::string> types;
  entry->getTypes(types);
  for (const std::string& type : types) {
    KX_POS(kxout) << "One of the types for the entry is: " << type << endl;
    for (const auto& [name, command] : m_commands) {
      if (command.type() == type) commands.push_back(command);
    }
  }
}

bool DyxLauncher::launch(const std::string& commandName,
                         std::map<std::string, std::string>& variables) const {
  KX_SCOPE("DyxLauncher::launch");
  kxout << kxParam("command", commandName) << endl;
  const auto it = m_commands.find(commandName);
  if (it == m_commands.end()) {
    KX_POS(kxerr) << "No command for name: " << commandName << endl;
    KX_POS(kxerr) << "No command for the given type and name." << endl;
    return false;
  }
  try {
    return it->second.launch().launch(variables);
  } catch (...) {
    KX_POS(kxerr) << "No command for the given type and name." << endl;
    return false;
  }
}
