// Fills the "Location", "Ext" and "Size" views from 200,000 entries, the way a scan announces
// them (addEntryToAllViews), then lets every entry vanish the way a pool clear does
// (removeFromAllView with cleanup). Prints the time per entry of both and the memory that the
// three views and the entry-to-folder index hold per entry.
//
// Usage: view_bench [entries]    (default 200000)

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pview.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"

namespace {

std::size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const char* extensions[] = {"txt", "cpp", "h", "jpg", "PNG", "pdf", "doc", "mp3", "o", "tar.gz"};

  DyxEngineLock lock;
  DyxEntryRepository repo("view_bench", count);
  std::vector<DyxEntry*> entries;
  entries.reserve(count);
  // A tree of about 2,000 directories, three levels deep, 100 files each.
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t dir = i / 100;
    const std::string dirName = "/home/user/projects/p" + std::to_string(dir / 100) + "/m" +
                                std::to_string(dir % 100 / 10) + "/d" + std::to_string(dir % 10);
    const std::string name = "file_" + std::to_string(i) + "." + extensions[i % 10];
    DyxEntry* e = repo.createEntry(name, dirName, false);
    if (e == nullptr) {
      std::fprintf(stderr, "repository full at %zu\n", i);
      return 1;
    }
    e->setSize((i * 7919) % 50000000);
    entries.push_back(e);
  }

  DyxViewManager& manager = Dyx::getViewManager();
  manager.registerFactory("Location", std::make_unique<DyxPhysViewFactory>());
  manager.registerFactory("Ext", std::make_unique<DyxExtensionViewFactory>());
  manager.registerFactory("Size", std::make_unique<DyxSizeViewFactory>());
  for (const char* tag : {"Location", "Ext", "Size"}) {
    if (manager.get(tag, false) == nullptr) {
      std::fprintf(stderr, "cannot create the view %s\n", tag);
      return 1;
    }
  }

  const std::size_t heapBefore = heapInUse();
  auto start = std::chrono::steady_clock::now();
  for (DyxEntry* e : entries) manager.addEntryToAllViews(e, nullptr);
  const double fillSeconds = secondsSince(start);
  const std::size_t heapAfter = heapInUse();
  const std::size_t indexBytes = manager.getIndex().memoryBytes();

  std::vector<DyxViewFolder*> folders;
  std::size_t folderCount = 0;
  for (const char* tag : {"Location", "Ext", "Size"}) {
    manager.getCached(tag)->getFolders(folders, true, true);
    folderCount += folders.size();
  }

  start = std::chrono::steady_clock::now();
  for (DyxEntry* e : entries) manager.removeFromAllView(e, true);
  const double removeSeconds = secondsSince(start);
  std::size_t leftFolders = 0;
  for (const char* tag : {"Location", "Ext", "Size"}) {
    manager.getCached(tag)->getFolders(folders, true, true);
    leftFolders += folders.size();
  }

  const double n = static_cast<double>(count);
  std::printf("entries: %zu, folders in the three views: %zu (left after removal: %zu)\n", count,
              folderCount, leftFolders);
  std::printf("fill Location+Ext+Size: %.3f s, %.2f us per entry\n", fillSeconds,
              fillSeconds * 1e6 / n);
  std::printf("remove with cleanup:    %.3f s, %.2f us per entry\n", removeSeconds,
              removeSeconds * 1e6 / n);
  std::printf("memory of views and index: %.1f bytes per entry (index alone: %.1f)\n",
              static_cast<double>(heapAfter - heapBefore) / n, static_cast<double>(indexBytes) / n);
  manager.clearViewCache();
  return leftFolders == 0 ? 0 : 1;
}
