// Shared set-up of the fuzz targets: a private working directory (conf/, trace/, a small tree of
// files), an engine started in it once per process, and small file helpers. Every target writes
// its input where the reader under test expects its file and reads it through the engine's own
// code, so the fuzzers exercise exactly what users run. Test code only; one thread.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/dyx.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/portable.h"
#include "kxcore/io.h"

namespace quarryfuzz {

// Stops the fuzzer with a message that names the broken promise (libFuzzer reports the abort
// as a crash and saves the input).
[[noreturn]] inline void fail(const std::string& what) {
  // Bytes that would cut or garble the report (a zero byte, other controls) are shown as \xHH.
  std::string shown;
  for (const char c : what) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n') || u == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      shown += hex;
    } else {
      shown += c;
    }
  }
  std::fprintf(stderr, "quarry fuzz check failed: %s\n", shown.c_str());
  std::fflush(stderr);
  std::abort();
}

// The round-trip checks (a saved file reads back as what was saved, a printed criterion parses
// back to the same criterion) are on unless QUARRY_FUZZ_STRICT=0: then a target only looks for
// crashes, hangs, leaks and undefined behaviour.
inline bool strict() {
  static const bool on = [] {
    const char* value = std::getenv("QUARRY_FUZZ_STRICT");
    return value == nullptr || value[0] != '0';
  }();
  return on;
}

inline void writeFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The working directory of the process, made once: conf/ with silent preferences, a type file
// and views/, trace/, and tree/ with a few files of different kinds. Returns its path.
inline const std::string& workDir() {
  static const std::string dir = [] {
    namespace fs = std::filesystem;
    std::string base = (fs::temp_directory_path() / "quarry-fuzz-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) fail("cannot make a working directory");
    fs::current_path(base);
    static const std::string removeAtExit = base;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removeAtExit, ignored);
    });
    fs::create_directories("conf/views");
    fs::create_directories("trace");
    fs::create_directories("tree/sub dir");
    // QUARRY_FUZZ_TRACE=1 turns the developer trace on (bounded), so that its formatting of
    // hostile texts runs too, at a quarter of the speed.
    const char* trace = std::getenv("QUARRY_FUZZ_TRACE");
    writeFile("conf/pref.ini", std::string("TraceLevel \"") +
                                   (trace != nullptr && trace[0] == '1' ? "DEBUG" : "SILENT") +
                                   "\"\nTraceMaxLineCount \"20000\"\nCurrentPathMap \"\"\n");
    writeFile("conf/type.ini",
              "Text \"$Ext=txt or $Ext=md\"\nText.Notes \"$Name like note*\"\n"
              "Image \"$Ext=jpg or $Ext=png\"\nBig \"$Size > 1000\"\n");
    writeFile("conf/app.ini", "Show Text \"\" \"cat\" \"\"\n");
    writeFile("tree/notes.txt", "first line\nred green blue\n");
    writeFile("tree/photo.JPG", std::string(2000, 'x'));
    writeFile("tree/empty", "");
    writeFile("tree/sub dir/deep.md", "# title\nsome words\n");
    writeFile("tree/sub dir/.hidden", "h");
    return base;
  }();
  return dir;
}

inline std::string treeDir() { return workDir() + "/tree"; }

// Starts the engine once in workDir() with tree/ scanned into the pool, and sends the activity
// log nowhere (it would grow without bound over millions of runs).
inline void startEngine() {
  static const bool started = [] {
    workDir();
    Dyx::initialize();
    ActivityLog::open("/dev/null");
    Dyx::getPhysicalDirs().setFilter("true");
    Dyx::getPhysicalDirs().addPhysicalDirectory(treeDir(), true, false);
    return true;
  }();
  (void)started;
}

// The live entries of the engine's pool (valid while the pool is not changed).
inline std::vector<DyxEntry*> poolEntries() {
  std::vector<DyxEntry*> entries;
  DyxEngineLock lock;
  Dyx::getPhysicalDirs().collectEntries(entries, true, DyxPattern(), false);
  return entries;
}

}  // namespace quarryfuzz
