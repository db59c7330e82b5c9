#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets: every file in its
# place, the desktop entry, the AppStream data, the man pages and the completion valid, and the
# installed quarry-cli, run from an unrelated directory with HOME and XDG_DATA_HOME pointed at
# temporary directories, printing the right tree while writing only into its working directory.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2
  exit 1
}

id=com.quarrysoftware.Quarry
expected=(bin/quarry-cli share/quarry/conf/pref.ini share/quarry/conf/type.ini
  share/quarry/conf/app.ini share/quarry/conf/views/Media.kx share/man/man1/quarry-cli.1.gz
  share/bash-completion/completions/quarry-cli)
if [[ -x $build/app/quarry ]]; then
  expected+=(bin/quarry share/applications/$id.desktop share/metainfo/$id.metainfo.xml
    share/man/man1/quarry.1.gz share/icons/hicolor/scalable/apps/$id.svg)
  for size in 16 22 24 32 48 64 128 256; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png")
  done
fi
for file in "${expected[@]}"; do
  [[ -s $prefix/$file ]] || fail "not installed: $file"
done

# The files checked by the tools their users' desktops and packagers run.
if [[ -e $prefix/share/applications/$id.desktop ]]; then
  desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
  appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >"$tmp/as.log" 2>&1 ||
    { cat "$tmp/as.log" >&2; fail "metainfo"; }
fi
for page in "$prefix"/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man page $(basename "$page"): $warnings"
done
completion=$prefix/share/bash-completion/completions/quarry-cli
bash -n "$completion" || fail "completion syntax"

# A tree and an unrelated calling directory; neither may change.
mkdir -p "$tmp/tree/sub" "$tmp/caller" "$tmp/home" "$tmp/xdg"
printf 12 >"$tmp/tree/a.txt"
printf 1234 >"$tmp/tree/sub/b.png"
printf x >"$tmp/caller/Ext"
state() { (cd "$1" && find . -printf '%p %y %s %T@\n' | sort); }
callerBefore=$(state "$tmp/caller")
treeBefore=$(state "$tmp/tree")

run() {
  (cd "$tmp/caller" && env -u QUARRY_HOME HOME="$tmp/home" XDG_DATA_HOME="$tmp/xdg" \
    "$prefix/bin/quarry-cli" "$@")
}
out=$(run -r -v Ext --format tsv ../tree 2>"$tmp/err") || { cat "$tmp/err" >&2; fail "quarry-cli exit"; }
[[ $out == $'png\t1\ntxt\t1' ]] || fail "tree by extension: $(printf %q "$out")"
out=$(run -r --list --format tsv ../tree 2>"$tmp/err" | cut -f2,5 | sort)
[[ $out == $'a.txt\t'"$tmp/caller/../tree/a.txt"$'\nb.png\t'"$tmp/caller/../tree/sub/b.png" ]] ||
  fail "file list: $(printf %q "$out")"

work=$tmp/xdg/quarry
cmp -s "$work/conf/pref.ini" "$prefix/share/quarry/conf/pref.ini" || fail "working directory conf"
[[ -s $work/trace/dyx.log ]] || fail "no activity log in $work"
[[ $(state "$tmp/caller") == "$callerBefore" ]] || fail "the calling directory changed"
[[ $(state "$tmp/tree") == "$treeBefore" ]] || fail "the tree changed"
[[ -z $(ls -A "$tmp/home") ]] || fail "files in HOME: $(ls -A "$tmp/home")"

# The completion offers the views, the user views of the working directory among them.
views=$(QUARRY_HOME=$work bash -c 'source "$1"; COMP_WORDS=(quarry-cli -v M); COMP_CWORD=2
  _quarry_cli; echo "${COMPREPLY[*]}"' - "$completion")
[[ $views == "MTime Media" ]] || fail "completion of -v M: $views"
# And the commands of the working directory's app.ini.
commands=$(QUARRY_HOME=$work bash -c 'source "$1"; COMP_WORDS=(quarry-cli --command CountT)
  COMP_CWORD=2; _quarry_cli; echo "${COMPREPLY[*]}"' - "$completion")
[[ $commands == "CountTextLines" ]] || fail "completion of --command CountT: $commands"

if ((failures > 0)); then
  echo "$failures failed" >&2
  exit 1
fi
echo "install: every check passed"
