// Property files "<name>.prp": loaded into a store, saved under another name and loaded again;
// every record and value must come back exactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dyxcore/propman.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::workDir();
  quarryfuzz::writeFile("fuzzprop.prp",
                        std::string_view(reinterpret_cast<const char*>(data), size));
  DyxEntryProperty store;
  if (!store.load("fuzzprop")) quarryfuzz::fail("a property file that exists could not be opened");
  if (!store.save("fuzzprop-again")) quarryfuzz::fail("a property store could not be saved");
  DyxEntryProperty again;
  if (!again.load("fuzzprop-again")) quarryfuzz::fail("a saved property file could not be read");
  if (!quarryfuzz::strict()) return 0;
  if (again.size() != store.size()) {
    quarryfuzz::fail("records were lost or made up by a save:\n" +
                     quarryfuzz::readFile("fuzzprop-again.prp"));
  }
  for (const auto& [name, record] : store.records()) {
    const auto other = again.records().find(name);
    if (other == again.records().end()) quarryfuzz::fail("the record of a file name was lost");
    if (other->second->properties() != record->properties()) {
      quarryfuzz::fail("the properties of a record changed in a save:\n" +
                       quarryfuzz::readFile("fuzzprop-again.prp"));
    }
  }
  return 0;
}
