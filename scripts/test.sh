#!/usr/bin/env bash
# Runs every test: builds the Windows binaries (win64, win32) and the host build (ASan+UBSan) and runs all of
# its tests in parallel (unit, system, Wine, kernel-image checks, fuzz runs, benchmarks), then the
# ThreadSanitizer build's concurrency tests. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

step "Dependencies"
scripts/install-deps.sh

step "Windows x64 build (mingw-w64)"
cmake --workflow --preset win64
step "Windows x86 build (mingw-w64)"
cmake --workflow --preset win32
step "Release packages in dist/ (setups, test-signed driver packages; checked by the packaging tests)"
cmake --workflow --preset release
step "Host build (gcc, ASan+UBSan)"
cmake --workflow --preset host
step "Host build (gcc, ThreadSanitizer)"
cmake --workflow --preset host-tsan

status=0
step "Host tests: unit, system, Wine, kernel images, fuzz"
ctest --preset host -LE bench || status=1
step "Benchmarks (their figures are printed; they fail only when they cannot run)"
ctest --preset host -L bench --verbose > build/host/bench-output.txt 2>&1 || status=1
sed -n 's/^[0-9]*: //p' build/host/bench-output.txt \
  | grep -v -e '^Test command' -e '^Working Directory' -e '^Environment variables' -e '^Test timeout' \
      -e '^ *[A-Z_]*=' || true
grep -E 'tests passed|tests failed|\(Failed\)' build/host/bench-output.txt || true
step "Concurrency tests under ThreadSanitizer"
ctest --preset host-tsan -L tsan || status=1

if [ $status -ne 0 ]; then
  echo "SOME TESTS FAILED"
fi
exit $status
