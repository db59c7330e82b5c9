#!/usr/bin/env bash
# Installs what is missing, builds the Release build and runs the program. The program itself
# chooses and makes its working directory ($QUARRY_HOME, else $XDG_DATA_HOME/quarry, else
# ~/.local/share/quarry) and takes relative paths from where it was called.
#   ./quarry.sh                 the desktop window
#   ./quarry.sh --cli ARGS...   the command-line front end, quarry-cli, with ARGS untouched
set -euo pipefail
src="$(cd "$(dirname "$0")" && pwd)"

# shellcheck source=scripts/deps.sh
source "$src/scripts/deps.sh"
quarry_install_deps "${QUARRY_RUN_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$src" -B "$src/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUARRY_BUILD_TESTS=OFF >/dev/null
cmake --build "$src/build/release" -j "$jobs" >&2

if [[ "${1:-}" == "--cli" ]]; then
  shift
  exec "$src/build/release/cli/quarry-cli" "$@"
fi
exec "$src/build/release/app/quarry" "$@"
