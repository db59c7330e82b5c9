# Sourced by quarry.sh, test.sh and scripts/package.sh: installs the Debian packages a step
# needs, and nothing when all are present. Uses sudo only when not running as root.

# ./quarry.sh: build and run the window and the command line.
QUARRY_RUN_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libglib2.0-dev)
# ./test.sh: the test suites, the fuzz targets (clang), the man pages and the checks of the
# installed files (scdoc, desktop-file-validate, appstreamcli, man).
QUARRY_TEST_PACKAGES=("${QUARRY_RUN_PACKAGES[@]}" libgtest-dev libgmock-dev clang
  libclang-rt-14-dev clang-format scdoc desktop-file-utils appstream man-db)
# scripts/package.sh: the Debian package (dpkg-shlibdeps from dpkg-dev) and its check.
QUARRY_PACKAGE_PACKAGES=("${QUARRY_RUN_PACKAGES[@]}" scdoc dpkg-dev file lintian)
# ./test.sh --windows: the MinGW-w64 cross compiler, GoogleTest's sources (built for the target)
# and Wine to run the tests (wine64 alone: no 32-bit part, no display).
QUARRY_WINDOWS_PACKAGES=(cmake ninja-build g++ g++-mingw-w64-x86-64 googletest wine64)
# bench/run: the micro benchmarks, GNU time and fd, the second reference beside find.
QUARRY_BENCH_PACKAGES=("${QUARRY_RUN_PACKAGES[@]}" libbenchmark-dev time fd-find)

# quarry_install_deps PACKAGE...
quarry_install_deps() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]} == 0)); then return 0; fi
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [[ $(id -u) != 0 ]]; then sudo=(sudo); fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
