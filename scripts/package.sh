#!/usr/bin/env bash
# Builds the Debian package from the Release build (build/release) with CPack, lists what it
# installs, checks that every file a user needs is in it and runs lintian on it. The package is
# build/release/quarry_VERSION-1_ARCH.deb; install it with `apt install ./FILE.deb`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
quarry_install_deps "${QUARRY_PACKAGE_PACKAGES[@]}"

build=$root/build/release
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARRY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
rm -f "$build"/quarry_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/quarry_*.deb)

contents=$(dpkg-deb --contents "$deb")
echo "$contents"
id=com.quarrysoftware.Quarry
missing=0
for file in usr/bin/quarry usr/bin/quarry-cli usr/share/quarry/conf/pref.ini \
  usr/share/quarry/conf/views/Media.kx usr/share/applications/$id.desktop \
  usr/share/metainfo/$id.metainfo.xml usr/share/icons/hicolor/scalable/apps/$id.svg \
  usr/share/icons/hicolor/48x48/apps/$id.png usr/share/man/man1/quarry.1.gz \
  usr/share/man/man1/quarry-cli.1.gz usr/share/bash-completion/completions/quarry-cli \
  usr/share/doc/quarry/copyright usr/share/doc/quarry/changelog.gz; do
  if ! grep -q " \./$file\$" <<<"$contents"; then
    echo "missing from the package: $file" >&2
    missing=1
  fi
done
dpkg-deb --field "$deb" Depends
# Errors fail the package; warnings are printed for the record.
lintian --fail-on error "$deb"
((missing == 0))
echo "package: $deb"
