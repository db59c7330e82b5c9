// The token reader through which every configuration and data file is read: it must end, and
// make progress at every token, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "kxcore/value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  KxValue value;
  std::size_t tokens = 0;
  while (in >> value) {
    if (++tokens > size + 1) quarryfuzz::fail("the token reader returns more tokens than bytes");
    if (value.text().size() > size) quarryfuzz::fail("a token is longer than its input");
    (void)value.toBool();
    (void)value.toInt();
  }
  if (!value.empty()) quarryfuzz::fail("the value at the end of the input is not empty");
  return 0;
}
