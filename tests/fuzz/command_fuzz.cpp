// The command file "conf/app.ini": every record read, then the commands of real entries asked
// for (nothing is launched).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dyxcore/launcher.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::startEngine();
  quarryfuzz::writeFile("conf/fuzz-app.ini",
                        std::string_view(reinterpret_cast<const char*>(data), size));
  DyxLauncher launcher("conf/fuzz-app.ini");
  for (const auto& [name, command] : launcher.commands()) {
    if (name != command.name()) quarryfuzz::fail("a command is filed under another name");
  }
  std::vector<DyxCommand> commands;
  launcher.getCommands(quarryfuzz::treeDir() + "/notes.txt", commands);
  launcher.getCommands(quarryfuzz::treeDir() + "/sub dir/deep.md", commands);
  return 0;
}
