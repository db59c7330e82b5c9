// View files "conf/views/<tag>.kx" of user and filter views: read through the view manager (a
// filter view then files the pool's entries), written back, and read again. A view is saved each
// time the user changes it, so the file must settle: the first save may put the text into the
// writer's own form, but from the second save on every save writes what the previous one wrote.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "dyxcore/mutex.h"
#include "dyxcore/portable.h"
#include "dyxcore/uview.h"
#include "dyxcore/view.h"
#include "dyxcore/viewman.h"
#include "fuzz_support.h"

namespace {

constexpr const char* kTag = "fuzzview";

// The view file as the view writes it back, or "" when the tag gives no file-backed view.
std::string readAndWriteBack(DyxViewManager& manager) {
  DyxView* view = manager.get(kTag, true);
  std::string written;
  if (view != nullptr && view->getKind().isFileBacked()) {
    auto* user = dynamic_cast<DyxUserView*>(view);
    if (user == nullptr) quarryfuzz::fail("a file-backed view is not a user view");
    std::ostringstream dump;
    view->dump(dump);
    if (!user->updateFile()) quarryfuzz::fail("a view file could not be written back");
    written = quarryfuzz::readFile(user->getViewFile());
  }
  if (view != nullptr) manager.deleteView(kTag);
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarryfuzz::startEngine();
  const std::string file = std::string("conf/views/") + kTag + ".kx";
  quarryfuzz::writeFile(file, std::string_view(reinterpret_cast<const char*>(data), size));
  DyxEngineLock lock;
  DyxViewManager& manager = Dyx::getViewManager();
  if (readAndWriteBack(manager).empty()) return 0;
  const std::string second = readAndWriteBack(manager);
  const std::string third = readAndWriteBack(manager);
  // "<undef>" (a folder made without a filter) and "false" (that folder read back) both accept
  // nothing: the same meaning in two spellings.
  const auto meaning = [](const std::string& text) {
    return replaceAll(text, "\"<undef>\"", "\"false\"");
  };
  if (quarryfuzz::strict() && meaning(second) != meaning(third)) {
    quarryfuzz::fail("a view file changed when read and written again:\n--- second\n" + second +
                     "--- third\n" + third);
  }
  return 0;
}
