#!/usr/bin/env bash
# Checks that the release is reproducible: builds it again from a copy of this tree's tracked files, in another
# folder, later, with another umask, time zone and locale and without the compiler cache, and compares the new
# dist/ with the given one byte for byte (signatures included: both use the same certificate folder, and
# without a time stamp our signatures are deterministic).
#
# Usage: scripts/check-reproducible.sh [--against DIST] [--change FILE] [--keep]
#   --against DIST  the dist/ to compare with (default: dist/ of this tree, which must exist: run
#                   `cmake --workflow --preset release` first)
#   --change FILE   appends a line to FILE (a path in the tree: a .cpp or .h file gets a string the binary keeps,
#                   any other file a comment) in the copy before building: the check must then fail, which
#                   shows that it can
#   --keep          keeps the copy and its build (printed at the end)
#
# The second build compiles only what dist/ ships (QELM_SHIPPED_ONLY) and runs the same packaging. The signer
# is the test certificate of this tree (packaging/test-cert/), or QELM_SIGN_CERT_DIR: a real certificate with
# a time stamp would differ by the time stamp alone, which is why the check uses the test certificate.
# Exit status: 0 identical, 1 different, 2 could not check.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

against="$here/dist"
change=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --against) against="$2"; shift 2 ;;
    --change) change="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "check-reproducible: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ ! -f "$against/SHA256SUMS" ]; then
  echo "check-reproducible: $against holds no release (SHA256SUMS); run cmake --workflow --preset release" >&2
  exit 2
fi
against="$(cd "$against" && pwd)"

# The copy lives under a folder whose name differs in length and letters from this tree's.
copy_root="$(mktemp -d "${TMPDIR:-/tmp}/qelm-reproduce-XXXXXXXX")"
cleanup() { if [ $keep -eq 0 ]; then rm -rf "$copy_root"; fi; }
trap cleanup EXIT
copy="$copy_root/another/source-tree"
mkdir -p "$copy"

# This tree's tracked files as they are now (what its dist/ was built from), and the date of its commit.
(cd "$here" && git ls-files -z --cached | tar --null --ignore-failed-read -T - -cf -) | (cd "$copy" && tar -xf -)
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct)}"
if [ -n "$change" ]; then
  [ -f "$copy/$change" ] || { echo "check-reproducible: no $change in the tree" >&2; exit 2; }
  case "$change" in
    *.cpp|*.h) printf '\n[[gnu::used]] static const char qelm_changed_by_check[] = "changed";\n' >> "$copy/$change" ;;
    *) printf '\n; changed by check-reproducible.sh\n' >> "$copy/$change" ;;
  esac
  echo "[reproduce] changed $change in the copy: the check must now fail"
fi

echo "[reproduce] building the release again in $copy"
start=$(date +%s)
log="$copy_root/build.log"
if ! (cd "$copy"
      umask 0002
      export TZ=Pacific/Chatham LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH="$epoch" CCACHE_DISABLE=1
      export QELM_SIGN_CERT_DIR="${QELM_SIGN_CERT_DIR:-$here/packaging/test-cert}"
      cmake --preset release -DQELM_SHIPPED_ONLY=ON -DQELM_DIST_DIR="$copy_root/dist" >"$log" 2>&1
      cmake --build --preset release >>"$log" 2>&1); then
  tail -40 "$log" >&2
  echo "check-reproducible: the second build failed (log: $log)" >&2
  keep=1
  exit 2
fi
echo "[reproduce] built in $(( $(date +%s) - start )) s"

# Every file of both, by SHA-256 (SHA256SUMS itself is one of them).
sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
if diff <(sums "$against") <(sums "$copy_root/dist") > "$copy_root/diff.txt"; then
  echo "[reproduce] identical: $(sums "$against" | wc -l) files of $against"
  [ $keep -eq 1 ] && echo "[reproduce] kept: $copy_root"
  exit 0
fi
echo "[reproduce] DIFFERENT: the files below differ between $against (<) and the second build (>)"
cat "$copy_root/diff.txt"
keep=1
echo "[reproduce] kept for comparison: $copy_root/dist"
exit 1
