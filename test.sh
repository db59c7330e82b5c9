#!/usr/bin/env bash
# Installs what is missing, builds the Debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test through CTest.
#   ./test.sh                 the include graph check, the sanitizer build and every test
#   ./test.sh --tsan          also the ThreadSanitizer build of the threaded tests (build/tsan)
#   ./test.sh --fuzz SECONDS  also the libFuzzer targets, built with clang in build/fuzz, each
#                             run for SECONDS from its seed corpus (tests/fuzz/corpus/<name>);
#                             new inputs go to build/fuzz/corpus, findings to build/fuzz/artifacts
#   ./test.sh --windows       instead: the Windows build (MinGW-w64, build/windows) of the
#                             libraries, quarry-cli and the engine's tests, run under Wine, and
#                             quarry-cli.exe's listing compared with the Linux build's
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  echo "usage: ./test.sh [--tsan] [--fuzz SECONDS] | --windows" >&2
  exit 2
}

tsan=0
windows=0
fuzz_seconds=""
while (($# > 0)); do
  case "$1" in
    --tsan) tsan=1 ;;
    --windows) windows=1 ;;
    --fuzz)
      (($# > 1)) || usage
      fuzz_seconds=$2
      shift
      ;;
    --fuzz=*) fuzz_seconds=${1#--fuzz=} ;;
    *) usage ;;
  esac
  shift
done
if [[ -n $fuzz_seconds && ! $fuzz_seconds =~ ^[1-9][0-9]*$ ]]; then usage; fi

if [[ $windows == 1 && ($tsan == 1 || -n $fuzz_seconds) ]]; then usage; fi

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

if [[ $windows == 1 ]]; then
  quarry_install_deps "${QUARRY_WINDOWS_PACKAGES[@]}"
  # Without optimisation: the test programs are linked statically, and compiling and linking
  # them is most of the run.
  cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
  cmake --build build/windows -j "$jobs"
  # A Linux quarry-cli without sanitizers or optimisation (quick to build), for the comparison.
  cmake -S . -B build/linux-cli -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DQUARRY_BUILD_TESTS=OFF -DQUARRY_BUILD_APP=OFF >/dev/null
  cmake --build build/linux-cli -j "$jobs" --target quarry-cli
  # A Wine of our own in the build tree, without a display. Its server stays up for the whole
  # run (starting it for each test costs seconds) and is stopped at the end.
  export WINEPREFIX=$PWD/build/windows/wineprefix WINEDEBUG=-all DISPLAY=
  wine=/usr/lib/wine/wine64
  [[ -x $wine ]] || wine=$(command -v wine64 || command -v wine)
  wineserver=$(dirname "$wine")/wineserver
  [[ -x $wineserver ]] || wineserver=$(command -v wineserver)
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p 120
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  "$wine" cmd /c exit 0 >/dev/null 2>&1 || true # creates the prefix on the first run
  # Under Wine a test program now and then fails to start, hangs at its exit after its last
  # test passed, or has a program it starts refused with an error Wine does not name (each seen
  # about once in 300 runs, never on Linux): a test that fails is run again, up to twice, so a
  # fault of our own, which fails every time, still fails the run, and a hang costs two minutes,
  # not five.
  (cd build/windows && ctest --output-on-failure -j "$jobs" --timeout 120 --repeat until-pass:3)
  bash tests/windows/cli_listing_test.sh "$wine" build/windows/cli/quarry-cli.exe \
    build/linux-cli/cli/quarry-cli
  echo "All Windows tests passed."
  exit 0
fi

quarry_install_deps "${QUARRY_TEST_PACKAGES[@]}"

# The engine's layers: no include cycle holds more than a few modules.
python3 scripts/include-graph >/dev/null

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARRY_SANITIZE=ON
cmake --build build/test -j "$jobs"
(cd build/test && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs")

if [[ $tsan == 1 ]]; then
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARRY_TSAN=ON
  cmake --build build/tsan -j "$jobs"
  (cd build/tsan && QT_QPA_PLATFORM=offscreen TSAN_OPTIONS=halt_on_error=1 \
     ctest --output-on-failure -j "$jobs" -L threads)
fi

if [[ -n $fuzz_seconds ]]; then
  # Optimised a little (-O1) so that a run of a few minutes reaches deep; asserts stay on.
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DQUARRY_FUZZ=ON -DQUARRY_SANITIZE=ON -DQUARRY_BUILD_TESTS=OFF -DQUARRY_BUILD_APP=OFF \
    -DQUARRY_BUILD_BENCH=OFF
  cmake --build build/fuzz -j "$jobs" --target quarry_fuzz
  root=$(pwd)
  # Every run, the short CI run included, checks the round trips too (a saved file reads back as
  # what was saved, a printed criterion parses back to itself).
  for seeds in tests/fuzz/corpus/*/; do
    name=$(basename "$seeds")
    mkdir -p "build/fuzz/corpus/$name" build/fuzz/artifacts
    echo "== fuzz_$name for ${fuzz_seconds}s"
    # Paths are absolute: each target works in a temporary directory of its own.
    if ! QUARRY_FUZZ_STRICT=1 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$root/build/fuzz/tests/fuzz/fuzz_$name" -max_total_time="$fuzz_seconds" -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$root/build/fuzz/artifacts/$name-" \
      "$root/build/fuzz/corpus/$name" "$root/$seeds" >"build/fuzz/$name.log" 2>&1; then
      tail -n 60 "build/fuzz/$name.log" >&2
      echo "fuzz_$name found a fault; the input is in build/fuzz/artifacts/" >&2
      exit 1
    fi
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "build/fuzz/$name.log" || true
  done
fi
echo "All tests passed."
