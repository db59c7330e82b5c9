#!/usr/bin/env bash
# Installs what is missing, builds the Debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test through CTest.
#   ./test.sh            the sanitizer build and every test
#   ./test.sh --tsan     also the ThreadSanitizer build of the threaded tests
set -euo pipefail
cd "$(dirname "$0")"

tsan=0
for arg in "$@"; do
  case "$arg" in
    --tsan) tsan=1 ;;
    *) echo "usage: ./test.sh [--tsan]" >&2; exit 2 ;;
  esac
done

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
quarry_install_deps

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARRY_SANITIZE=ON
cmake --build build/test -j "$jobs"
(cd build/test && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs")

if [[ $tsan == 1 ]]; then
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARRY_TSAN=ON
  cmake --build build/tsan -j "$jobs"
  (cd build/tsan && QT_QPA_PLATFORM=offscreen TSAN_OPTIONS=halt_on_error=1 \
     ctest --output-on-failure -j "$jobs" -L threads)
fi
echo "All tests passed."
