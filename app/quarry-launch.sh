#!/bin/sh
# Starts the installed window in its working directory ($QUARRY_HOME, default
# ~/.local/share/quarry), made from the installed default configuration on first run, so that a
# start from the desktop menu never scatters trace and repository files in the home folder.
set -e
here=$(dirname "$(readlink -f "$0")")
home=${QUARRY_HOME:-$HOME/.local/share/quarry}
mkdir -p "$home/trace"
if [ ! -d "$home/conf" ] && [ -d "$here/../share/quarry/conf" ]; then
  cp -r "$here/../share/quarry/conf" "$home/conf"
fi
cd "$home"
exec "$here/quarry" "$@"
