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
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "[deps] all ${#packages[@]} packages are installed"
  exit 0
fi

echo "[deps] installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "[deps] run this as root (apt-get needs it)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "[deps] done"
