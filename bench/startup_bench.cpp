// Start-up benchmark: starts the engine in the current directory as its own start-up does
// (Dyx::initialize, which resets the pool to the current path map; the front ends leave that
// step out and open their saved index themselves), reports how many entries the pool holds once
// start-up is over, and shuts the engine down.
// With a path map whose repository was saved by an earlier run, start-up restores that
// repository instead of scanning; without a saved repository it scans the path map's
// directories.
//
// Usage (in a working directory with conf/): startup_bench [KEY [--fill DIR]]
// KEY is the name of the current path map ("CurrentPathMap"), "bench" by default. With --fill,
// DIR is added to the pool recursively after start-up, with a filter that keeps every file, as a
// front end adds a directory without clearing the pool first; the entries land in the path
// map's repository, which shutdown saves (bench/run makes the saved repository this way: a
// parse of the front ends clears the pool, and with it the path map, so its entries go to the
// unsaved repository). The count is printed on stdout as "entries N"; the program fails when
// the repository does not exist.
#include <cstdio>
#include <string>

#include "dyxcore/dyx.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/xentryrep.h"

int main(int argc, char** argv) {
  const std::string key = argc > 1 ? argv[1] : "bench";
  const std::string fill = argc > 3 && std::string(argv[2]) == "--fill" ? argv[3] : "";
  Dyx::initialize();
  if (!fill.empty()) {
    DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
    pool.setFilter("");
    pool.addPhysicalDirectory(fill, true, true);
  }
  long entries = -1;
  {
    DyxEngineLock lock;
    if (const DyxEntryRepository* repo = DyxEntryRepository::findRepository(key)) {
      entries = static_cast<long>(repo->liveCount());
    }
  }
  Dyx::shutdown();
  if (entries < 0) {
    std::fprintf(stderr, "startup_bench: no repository '%s' after start-up\n", key.c_str());
    return 1;
  }
  std::printf("entries %ld\n", entries);
  return 0;
}
