// The preference file "conf/pref.ini" as users edit it by hand, read into a store of its own and
// queried the ways the engine does (booleans, numbers, sequences).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dyxcore/environ.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::workDir();
  quarryfuzz::writeFile("conf/pref.ini",
                        std::string_view(reinterpret_cast<const char*>(data), size));
  DyxEnviron environ;
  environ.defaultPreferences();
  std::vector<std::string> pieces;
  for (const auto& [name, value] : environ.preferences()) {
    if (name.empty()) quarryfuzz::fail("a preference without a name was stored");
    (void)environ.getBoolPreference(name);
    (void)environ.getIntPreference(name);
    const std::size_t open = name.find('[');
    if (open != std::string::npos && name.back() == ']') {
      const std::string base = name.substr(0, open);
      const std::string key = name.substr(open + 1, name.size() - open - 2);
      if (environ.getPreferenceSeq(base, key, pieces)) environ.setPreferenceSeq(base, key, pieces);
    }
  }
  (void)Dyx::repositoryCapacityFor(environ.getPreference("RepositoryCapacity"));
  (void)KXIO::levelFromName(environ.getPreference("TraceLevel"));
  return 0;
}
