// Test helper for the view suites: where the view manager's index says an entry is filed. Test
// code only; call under the same conditions as the index itself.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "dyxcore/view.h"
#include "dyxcore/viewman.h"

namespace quarrytest {

// Every folder of `view` that holds the entry, as "a/b/c" paths from the view, sorted.
inline std::vector<std::string> placesOf(const DyxViewManager& manager, const DyxView& view,
                                         const DyxEntry* entry) {
  std::vector<DyxViewFolder*> folders;
  manager.getIndex().getFolders(entry, folders);
  std::vector<std::string> places;
  for (const DyxViewFolder* folder : folders) {
    std::string path;
    const DyxViewFolder* f = folder;
    for (; f != nullptr && !f->isRoot(); f = f->getParent()) {
      path = path.empty() ? f->getName() : f->getName() + "/" + path;
    }
    if (f == &view) places.push_back(path);
  }
  std::sort(places.begin(), places.end());
  return places;
}

}  // namespace quarrytest
