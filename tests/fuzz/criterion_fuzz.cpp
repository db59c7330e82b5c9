// Criterion text, as users type it into the search dialog and as view and type files carry it:
// parsed, printed, parsed again from its printed form, copied and evaluated on real entries.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dyxcore/dyx.h"
#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/propman.h"
#include "dyxcore/xentry.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::startEngine();
  static const bool withProperties = [] {
    DyxEngineLock lock;
    for (DyxEntry* entry : quarryfuzz::poolEntries()) {
      DyxPropertyRecord* record = Dyx::getPropertyManager().getRecord(entry->getFullName(), true);
      record->setValue("color", entry->getName().size() % 2 ? "red" : "Blue");
      record->setValue("rank", std::to_string(entry->getName().size()));
    }
    return true;
  }();
  (void)withProperties;

  const std::string text(reinterpret_cast<const char*>(data), size);
  DyxFilter filter(text);
  const std::string printed = filter.toString();
  // The printed form is itself criterion text (views write it back to their files): it must
  // parse back to the same criterion.
  DyxFilter reparsed(printed);
  // (A filter without a tree prints "<undef>", which reads back as the false constant.)
  const std::string again = reparsed.toString();
  if (quarryfuzz::strict() && again != printed && !(printed == "<undef>" && again == "false")) {
    quarryfuzz::fail("a printed criterion parses back to another one:\n" + printed + "\n" + again);
  }
  // The printed form says what the tree is: reading it back reports nothing, apart from the
  // false constant, whose printed word "false" the language reads with a message.
  if (quarryfuzz::strict()) {
    for (const std::string& message : reparsed.getMessages()) {
      if (message != "Cannot parse the expression: Returns None: false" &&
          !(printed == "<undef>" && message == "Undefined filter.")) {
        quarryfuzz::fail("a printed criterion reads back with a message:\n" + printed + "\n" +
                         message);
      }
    }
  }
  DyxFilter copy(filter);
  if (copy.toString() != printed) quarryfuzz::fail("a copied filter prints differently");

  DyxEngineLock lock;
  for (DyxEntry* entry : quarryfuzz::poolEntries()) {
    const bool a = filter.evaluate(*entry);
    if (copy.evaluate(*entry) != a) quarryfuzz::fail("a copied filter decides differently");
    (void)reparsed.evaluate(*entry);
  }
  return 0;
}
