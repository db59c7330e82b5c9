# Sourced by quarry.sh and test.sh: installs the Debian packages the build needs, and
# nothing when all are present. Uses sudo only when not running as root.
QUARRY_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
  qt6-base-dev libglib2.0-dev clang libclang-rt-14-dev libbenchmark-dev xvfb xauth)

quarry_install_deps() {
  local missing=()
  local p
  for p in "${QUARRY_PACKAGES[@]}"; do
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
