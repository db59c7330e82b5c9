#!/usr/bin/env bash
# quarry-cli.exe under Wine lists a tree as the Linux quarry-cli lists it: the same files, sizes,
# times and names (blanks, quotes, characters outside ASCII, a path longer than 260 characters,
# a sparse file of 5 GiB), once the Windows paths (Z:\tmp\...) are mapped back to Linux ones.
#   tests/windows/cli_listing_test.sh WINE WINDOWS_CLI LINUX_CLI
set -euo pipefail
wine=$1
windows_cli=$(realpath "$2")
linux_cli=$(realpath "$3")

work=$(mktemp -d "${TMPDIR:-/tmp}/quarry-wine-XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree/sub dir" "$tree/ünïcødé"
printf 'a\n' >"$tree/a b.txt"
printf "it's\n" >"$tree/it's.txt"
printf '"x"\n' >"$tree/sub dir/'quoted' name.txt"
printf '日本\n' >"$tree/ünïcødé/日本語.txt"
printf 'é\n' >"$tree/ünïcødé/é.md"
# A path of more than 260 characters.
deep=$tree
for part in aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb \
  cccccccccccccccccccccccccccccccccccccccccccccccccc dddddddddddddddddddddddddddddddddddddddddddddddddd \
  eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee ffffffffffffffffffffffffffffffffffffffffffffffffff; do
  deep=$deep/$part
done
mkdir -p "$deep"
printf 'deep\n' >"$deep/the end of a long path.txt"
((${#deep} > 260)) || { echo "the deep path is too short: ${#deep}" >&2; exit 1; }
# A sparse file of 5 GiB: its size needs the upper 32 bits.
truncate -s 5G "$tree/big.bin"
# A time with digits below the second.
touch -d @1600000000.1234567 "$tree/a b.txt"

mkdir "$work/linux-home" "$work/windows-home"
QUARRY_HOME=$work/linux-home "$linux_cli" -r --list --format tsv "$tree" \
  >"$work/linux.tsv" 2>"$work/linux.err"
# Wine sees the Linux root as drive Z:.
to_windows() { printf 'Z:%s' "${1//\//\\}"; }
QUARRY_HOME=$(to_windows "$work/windows-home") "$wine" "$windows_cli" -r --list --format tsv \
  "$(to_windows "$tree")" >"$work/windows.tsv" 2>"$work/windows.err"

# The folder column starts with the drive's folder, the location is a Windows path (each "\"
# written "\\" in TSV).
sed -e 's|^Z:/||' -e 's|\tZ:\\\\|\t/|' -e 's|\\\\|/|g' "$work/windows.tsv" | sort >"$work/mapped.tsv"
sort "$work/linux.tsv" >"$work/expected.tsv"

fail=0
if ! diff -u "$work/expected.tsv" "$work/mapped.tsv"; then
  echo "FAIL: the Windows listing differs from the Linux one (- Linux, + Windows)" >&2
  fail=1
fi
rows=$(wc -l <"$work/expected.tsv")
if ((rows != 7)); then
  echo "FAIL: the Linux listing has $rows rows, not 7" >&2
  cat "$work/linux.tsv" "$work/linux.err" >&2
  fail=1
fi
if ! grep -q $'\tbig.bin\t5368709120\t' "$work/windows.tsv"; then
  echo "FAIL: the sparse file of 5 GiB does not show its exact size" >&2
  fail=1
fi
if ! grep -q 'the end of a long path.txt' "$work/windows.tsv"; then
  echo "FAIL: the file below a path of more than 260 characters is missing" >&2
  fail=1
fi
if ((fail)); then
  echo "--- standard error of the Windows run:" >&2
  cat "$work/windows.err" >&2
  exit 1
fi
echo "quarry-cli.exe under Wine lists the tree as the Linux build does ($rows files)."
