#!/usr/bin/env bash
# Installs what is missing, builds the Release build and runs the program in its working
# directory ($QUARRY_HOME, default ~/.local/share/quarry), made from the shipped conf/ on
# first run.
#   ./quarry.sh                 the desktop window
#   ./quarry.sh --cli ARGS...   the command-line front end, quarry-cli
set -euo pipefail
src="$(cd "$(dirname "$0")" && pwd)"

# shellcheck source=scripts/deps.sh
source "$src/scripts/deps.sh"
quarry_install_deps

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$src" -B "$src/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUARRY_BUILD_TESTS=OFF >/dev/null
cmake --build "$src/build/release" -j "$jobs" >&2

home="${QUARRY_HOME:-$HOME/.local/share/quarry}"
mkdir -p "$home/trace"
if [[ ! -d "$home/conf" ]]; then
  cp -r "$src/conf" "$home/conf"
fi

if [[ "${1:-}" == "--cli" ]]; then
  shift
  # The directory argument is the user's, relative to where they called us from.
  args=()
  for a in "$@"; do
    if [[ "$a" != -* && -e "$a" ]]; then a="$(cd "$(dirname "$a")" && pwd)/$(basename "$a")"; fi
    args+=("$a")
  done
  cd "$home"
  exec "$src/build/release/cli/quarry-cli" "${args[@]}"
fi

cd "$home"
exec "$src/build/release/app/quarry" "$@"
