// Micro benchmarks of the pieces a scan runs once per file: interning a name, creating an
// entry, filing an entry into a view, evaluating a criterion and matching a pattern. Each
// figure is per file; run `micro_bench --benchmark_filter=Intern` for one group.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/portable.h"
#include "dyxcore/pview.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"

namespace {

constexpr std::size_t kFiles = 100000;
const char* const kExtensions[] = {"txt", "cpp", "h", "jpg", "PNG", "pdf", "doc", "mp3", "", "gz"};

// Names and directories shaped like a real tree: 20 files per directory, varied stems.
std::string nameOf(std::size_t i) {
  static const char* const stems[] = {"report", "IMG", "holiday photo", "main", "notes"};
  const char* ext = kExtensions[i % 10];
  return std::string(stems[i % 5]) + "_" + std::to_string(i) + (*ext ? "." : "") + ext;
}
std::string dirOf(std::size_t i) {
  const std::size_t d = i / 20;
  return "/home/user/Documents/p" + std::to_string(d / 100) + "/d" + std::to_string(d % 100);
}

// The first `count` names; a fresh repository per benchmark run.
struct Names {
  std::vector<std::string> names;
  std::vector<std::string> dirs;
  explicit Names(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      names.push_back(nameOf(i));
      dirs.push_back(dirOf(i));
    }
  }
};
const Names& names() {
  static const Names n(kFiles);
  return n;
}

void BM_InternNewNames(benchmark::State& state) {
  DyxEngineLock lock;
  for (auto _ : state) {
    state.PauseTiming();
    auto repo = std::make_unique<DyxEntryRepository>("micro", 1);
    state.ResumeTiming();
    for (const std::string& n : names().names) benchmark::DoNotOptimize(repo->intern(n));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFiles));
}
BENCHMARK(BM_InternNewNames)->Unit(benchmark::kMillisecond);

void BM_InternKnownNames(benchmark::State& state) {
  DyxEngineLock lock;
  DyxEntryRepository repo("micro", 1);
  for (const std::string& n : names().names) repo.intern(n);
  for (auto _ : state) {
    for (const std::string& n : names().names) benchmark::DoNotOptimize(repo.intern(n));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFiles));
}
BENCHMARK(BM_InternKnownNames)->Unit(benchmark::kMillisecond);

void BM_CreateEntry(benchmark::State& state) {
  DyxEngineLock lock;
  for (auto _ : state) {
    state.PauseTiming();
    auto repo = std::make_unique<DyxEntryRepository>("micro", kFiles);
    state.ResumeTiming();
    for (std::size_t i = 0; i < kFiles; ++i) {
      benchmark::DoNotOptimize(repo->createEntry(names().names[i], names().dirs[i], true));
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFiles));
}
BENCHMARK(BM_CreateEntry)->Unit(benchmark::kMillisecond);

// Filing into one predefined view, and taking the entries out again (the pool's clear).
void BM_FileIntoView(benchmark::State& state, const char* tag) {
  DyxEngineLock lock;
  DyxEntryRepository repo("micro-view", kFiles);
  std::vector<DyxEntry*> entries;
  for (std::size_t i = 0; i < kFiles; ++i) {
    DyxEntry* e = repo.createEntry(names().names[i], names().dirs[i], true);
    e->setSize((i * 7919) % 50000000);
    entries.push_back(e);
  }
  DyxViewManager& manager = Dyx::getViewManager();
  manager.registerFactory("Location", std::make_unique<DyxPhysViewFactory>());
  manager.registerFactory("Ext", std::make_unique<DyxExtensionViewFactory>());
  manager.clearViewCache();
  if (manager.get(tag, false) == nullptr) {
    state.SkipWithError("cannot create the view");
    return;
  }
  for (auto _ : state) {
    for (DyxEntry* e : entries) manager.addEntryToAllViews(e, nullptr);
    state.PauseTiming();
    for (DyxEntry* e : entries) manager.removeFromAllView(e, true);
    state.ResumeTiming();
  }
  manager.clearViewCache();
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFiles));
}
BENCHMARK_CAPTURE(BM_FileIntoView, location, "Location")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FileIntoView, ext, "Ext")->Unit(benchmark::kMillisecond);

void BM_EvaluateCriterion(benchmark::State& state, const char* criterion) {
  DyxEngineLock lock;
  DyxEntryRepository repo("micro-filter", kFiles);
  std::vector<DyxEntry*> entries;
  for (std::size_t i = 0; i < kFiles; ++i) {
    entries.push_back(repo.createEntry(names().names[i], names().dirs[i], true));
  }
  const DyxFilter filter(criterion);
  std::size_t kept = 0;
  for (auto _ : state) {
    for (const DyxEntry* e : entries) kept += filter.evaluate(*e) ? 1 : 0;
  }
  benchmark::DoNotOptimize(kept);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFiles));
}
BENCHMARK_CAPTURE(BM_EvaluateCriterion, like_or_ext, R"($Name like "*.jpg" or $Ext="txt")")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EvaluateCriterion, name_equals, R"($Name = "main_4.h")")
    ->Unit(benchmark::kMillisecond);

void BM_MatchPattern(benchmark::State& state, const char* pattern) {
  const DyxPattern compiled(pattern);
  std::size_t matched = 0;
  for (auto _ : state) {
    for (const std::string& n : names().names) matched += compiled.match(n) ? 1 : 0;
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFiles));
}
BENCHMARK_CAPTURE(BM_MatchPattern, suffix, "*.jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MatchPattern, infix, "*photo*_?9*")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
