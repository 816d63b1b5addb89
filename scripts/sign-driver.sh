#!/usr/bin/env bash
# Signs a qelmrc driver package folder in place (one architecture: qelmrc.inf and qelmrc.sys):
#   1. embeds an Authenticode signature (SHA-256, with page hashes) in qelmrc.sys,
#   2. makes the catalog qelmrc.cat with our generator (packaging/drivercat.py) and signs it,
#   3. writes the public certificate as qelmrc-test.cer (for the user to trust: docs/INSTALL.md),
#   4. checks all of it with osslsigncode (the .sys, the .cat, and the .sys against the catalog) and the
#      INF's digest in the catalog.
#
# Usage: scripts/sign-driver.sh --arch x64|x86 [SIGNER] PACKAGE_DIR
#
# SIGNER: the options of scripts/sign-code.sh, which does the signing (or its QELM_SIGN_* environment): by
# default the test certificate in --cert-dir (packaging/test-cert/, kept out of git; made there once when
# missing), or --cert/--key (PEM), --pkcs12, a PKCS#11 token, and --timestamp URL.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

arch=""
signer=()
package=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --cert-dir|--cert|--key|--pkcs12|--pkcs11-module|--pkcs11-engine|--timestamp|--ca)
      [ $# -ge 2 ] || { echo "sign-driver: $1 needs a value" >&2; exit 2; }
      signer+=("$1" "$2"); shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    -*) echo "sign-driver: unknown option $1" >&2; exit 2 ;;
    *) package="$1"; shift ;;
  esac
done
# The catalog's OS (Inf2Cat's names) and OSAttr (platform 2, Windows NT: major.minor) attributes, the same
# versions in both: Windows 10 and 11 (10.0) for x64; 7, 8, 8.1 and 10 for x86.
case "$arch" in
  x64) os_attr="_v100_X64"; os_versions="2:10.0" ;;
  x86) os_attr="7X86,8X86,_v63,_v100"; os_versions="2:6.1,2:6.2,2:6.3,2:10.0" ;;
  *) echo "sign-driver: --arch x64 or x86" >&2; exit 2 ;;
esac
if [ -z "$package" ] || [ ! -f "$package/qelmrc.inf" ] || [ ! -f "$package/qelmrc.sys" ]; then
  echo "sign-driver: give a folder with qelmrc.inf and qelmrc.sys" >&2
  exit 2
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# 1. The driver image. A signature already in it (a second run) is replaced, not nested.
osslsigncode remove-signature -in "$package/qelmrc.sys" -out "$work/unsigned.sys" >/dev/null 2>&1 \
  || cp "$package/qelmrc.sys" "$work/unsigned.sys"
cp "$work/unsigned.sys" "$work/qelmrc.sys"
"$here/scripts/sign-code.sh" "${signer[@]}" --page-hashes --description "qelmrc HID minidriver" "$work/qelmrc.sys" \
  | sed '/signed and verified/d'
# The certificate that signs, and the certificates that check it.
"$here/scripts/sign-code.sh" "${signer[@]}" --print-cert > "$work/cert.pem"
"$here/scripts/sign-code.sh" "${signer[@]}" --print-ca > "$work/ca.pem"
cert="$work/cert.pem"
mv "$work/qelmrc.sys" "$package/qelmrc.sys"

# 2. The catalog: the image's Authenticode digest (SHA-1, a version 1 catalog) and the INF's SHA-1; the
#    INF's hardware IDs in lower case, as HWID1 and HWID2.
osslsigncode extract-data -h sha1 -in "$package/qelmrc.sys" -out "$work/indirect.der" >/dev/null
python3 "$here/packaging/drivercat.py" make --out "$work/unsigned.cat" --os "$os_attr" --osattr "$os_versions" \
  --hwid 'usb\vid_045e&pid_0284' --hwid 'usb\vid_045e&pid_0284&mi_00' --pe "qelmrc.sys=$work/indirect.der" --flat "$package/qelmrc.inf" >/dev/null
"$here/scripts/sign-code.sh" "${signer[@]}" "$work/unsigned.cat" >/dev/null
mv "$work/unsigned.cat" "$package/qelmrc.cat"

# 3. The public certificate, DER, as Windows' certificate tools take it.
openssl x509 -in "$cert" -outform DER -out "$package/qelmrc-test.cer"

# 4. Checks.
check() {
  local what="$1"
  shift
  if osslsigncode verify -CAfile "$work/ca.pem" "$@" >"$work/verify.txt" 2>&1; then
    echo "[sign] verified: $what"
  else
    cat "$work/verify.txt" >&2
    echo "[sign] FAILED: $what" >&2
    exit 1
  fi
}
check "$package/qelmrc.sys (embedded signature)" -in "$package/qelmrc.sys"
check "$package/qelmrc.cat (catalog signature)" -in "$package/qelmrc.cat"
check "$package/qelmrc.sys against qelmrc.cat" -catalog "$package/qelmrc.cat" -in "$package/qelmrc.sys"
python3 "$here/packaging/drivercat.py" check "$package/qelmrc.cat" --flat "$package/qelmrc.inf" | sed 's/^/[sign] /'
python3 "$here/packaging/drivercat.py" list "$package/qelmrc.cat" | sed 's/^/[sign]   /'
