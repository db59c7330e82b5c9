// Scan benchmark: generates a tree of N files (default 200,000) in directories of M files
// (default 1,000) below a temporary directory, then times
//   1. a stand-alone directory per directory, scanned once (every file new),
//   2. the pool's recursive addition of the whole tree (every file new, filed in the repository),
//   3. a forced update of the whole pool (every file known and unchanged),
// and prints files per second for each. The views are left out (a notifier that does nothing),
// so the figures are those of the scan itself.
//
// Usage: scan_bench [files] [files-per-directory] [tree directory]
// Without a tree directory the tree is made in a temporary directory and removed at the end. A
// given tree directory is kept, and reused by the next run with the same figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/xentryrep.h"

namespace {

class NoViews final : public DyxViewNotifier {
 public:
  void entryAdded(DyxEntry*, DyxScanObserver*) override {}
  void entryChanged(DyxEntry*, DyxScanObserver*) override {}
  void entryRemoved(DyxEntry*) override {}
  void allEntriesRemoved() override {}
};

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Wall time and the process's CPU time (user + system): on a busy machine the second one tells
// what the scan itself costs.
struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
};

void report(const char* what, long files, const Timer& t) {
  const double secs = seconds(t.wall);
  const double cpu = static_cast<double>(std::clock() - t.cpu) / CLOCKS_PER_SEC;
  std::printf("%-40s %7ld files %7.3f s %9.0f files/s  (cpu %6.3f s, %9.0f files/cpu-s)\n", what,
              files, secs, secs > 0 ? files / secs : 0.0, cpu, cpu > 0 ? files / cpu : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const long total = argc > 1 ? std::atol(argv[1]) : 200000;
  const long perDir = argc > 2 ? std::max(1L, std::atol(argv[2])) : 1000;
  const bool keep = argc > 3;
  const fs::path root =
      keep ? fs::path(argv[3])
           : fs::temp_directory_path() /
                 ("quarry-scan-bench-" +
                  std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
  if (total <= 0) {
    std::fprintf(stderr, "usage: scan_bench [files] [files-per-directory] [tree directory]\n");
    return 2;
  }

  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> dirs;
  const std::string figures = std::to_string(total) + " " + std::to_string(perDir);
  const fs::path marker = root / "tree-done";
  std::string made;
  std::getline(std::ifstream(marker), made);
  const bool reuse = made == figures;
  if (!reuse) fs::remove_all(root);
  for (long i = 0; i < total; ++i) {
    if (i % perDir == 0) {
      // Two levels, so that the recursive addition walks a real tree.
      const long d = i / perDir;
      std::string group = "g";
      group += std::to_string(d / 20);
      std::string leaf = "d";
      leaf += std::to_string(d);
      fs::path dir = root / group / leaf;
      if (!reuse) fs::create_directories(dir);
      dirs.push_back(dir.string());
    }
    if (!reuse) {
      std::string name = "file";
      name += std::to_string(i);
      name += ".dat";
      std::ofstream(fs::path(dirs.back()) / name) << i;
    }
  }
  if (!reuse) std::ofstream(marker) << figures << "\n";
  std::printf("%s %ld files in %zu directories below %s in %.1f s\n",
              reuse ? "reused" : "generated", total, dirs.size(), root.c_str(), seconds(start));

  NoViews noViews;
  DyxPhysicalDirectory::setViewNotifier(&noViews);
  if (static_cast<std::size_t>(total) > DyxEntryRepository::defaultCapacity()) {
    DyxEntryRepository::setDefaultCapacity(static_cast<std::size_t>(total));
  }

  long seen = 0;
  Timer timer;
  for (const std::string& dir : dirs) {
    DyxStandAlonePhysicalDirectory standAlone{DyxPath(dir), false};
    standAlone.update(true, false);
    seen += static_cast<long>(standAlone.entryCount());
  }
  report("stand-alone directory per directory", seen, timer);

  {
    DyxPhysicalDirs pool;
    pool.setFilter("true");
    timer = Timer();
    pool.addPhysicalDirectory(root.string(), true, false);
    const long filed = static_cast<long>(DyxEntryRepository::getRepository("").liveCount());
    report("pool, recursive addition (all new)", filed, timer);

    timer = Timer();
    pool.doUpdate(true, true);
    report("pool, forced update (all known)", filed, timer);
    pool.clear();
  }

  DyxPhysicalDirectory::setViewNotifier(nullptr);
  std::error_code ec;
  if (!keep) fs::remove_all(root, ec);
  return 0;
}
