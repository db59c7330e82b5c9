// The type file "conf/type.ini": every type name and criterion read, then asked for the types
// of real entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dyxcore/mutex.h"
#include "dyxcore/typeman.h"
#include "dyxcore/xentry.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::startEngine();
  quarryfuzz::writeFile("conf/fuzz-type.ini",
                        std::string_view(reinterpret_cast<const char*>(data), size));
  DyxTypeManager types("conf/fuzz-type.ini");
  DyxEngineLock lock;
  std::vector<std::string> names;
  for (DyxEntry* entry : quarryfuzz::poolEntries()) {
    const std::string first = types.getType(*entry);
    types.getTypes(*entry, names);
    if (first == DyxTypeManager::kNoType ? !names.empty() : names.empty()) {
      quarryfuzz::fail("getType and getTypes disagree on whether an entry has a type");
    }
  }
  types.reset();
  return 0;
}
