#!/usr/bin/env bash
# Signs Windows files in place with Authenticode (SHA-256) and checks each signature with osslsigncode: PE
# images (.exe, .dll, .sys), catalogs (.cat) and cabinets (.cab). A signature already there is replaced, not
# nested.
#
# Usage: scripts/sign-code.sh [SIGNER] [--page-hashes] [--description TEXT] FILE...
#        scripts/sign-code.sh [SIGNER] --print-cert     prints the signing certificate and its chain (PEM)
#        scripts/sign-code.sh [SIGNER] --print-ca       prints the trusted certificates the checks use (PEM)
#
# The signer, from the first of these that is set (options, else the environment):
#   --pkcs12 FILE.p12       QELM_SIGN_PKCS12        certificate chain and key in one file
#   --pkcs11-module MODULE  QELM_SIGN_PKCS11_MODULE a key on a token or in an HSM (its PKCS#11 module), with
#     --key pkcs11:URI      QELM_SIGN_KEY           the key's PKCS#11 URI and the certificate chain as a file;
#     --cert CERT.pem       QELM_SIGN_CERT          optionally the OpenSSL engine to reach it:
#     [--pkcs11-engine SO]  QELM_SIGN_PKCS11_ENGINE (default: the one OpenSSL finds, libengine-pkcs11-openssl)
#   --cert CERT.pem         QELM_SIGN_CERT          PEM files: the certificate chain and its key
#     --key KEY.pem         QELM_SIGN_KEY
#   --cert-dir DIR          QELM_SIGN_CERT_DIR      the build's test certificate (cert.pem, key.pem; default
#                                                   packaging/test-cert/): made there once with openssl when
#                                                   neither file is there, and kept out of git
# QELM_SIGN_PASSWORD (environment only, never an option: it would show in the process list) unlocks the
# PKCS#12 file, an encrypted PEM key or the token (its PIN).
# --timestamp URL or QELM_SIGN_TIMESTAMP_URL: an RFC 3161 time-stamp server, so that the signature stays valid
# after the certificate expires.
# --ca FILE or QELM_SIGN_CA_FILE: the trusted certificates for the check. Default: the certificate itself when it
# is self-signed (the test certificate), else its chain plus the system's CA bundle.
#
# SOURCE_DATE_EPOCH, when set, is written as the signing time: without a time stamp, the same file signed with
# the same RSA key then gives the same bytes (RSA PKCS#1 v1.5 signatures have no random part).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

pkcs12="${QELM_SIGN_PKCS12:-}"
module="${QELM_SIGN_PKCS11_MODULE:-}"
engine="${QELM_SIGN_PKCS11_ENGINE:-}"
cert="${QELM_SIGN_CERT:-}"
key="${QELM_SIGN_KEY:-}"
cert_dir="${QELM_SIGN_CERT_DIR:-$here/packaging/test-cert}"
timestamp="${QELM_SIGN_TIMESTAMP_URL:-}"
ca="${QELM_SIGN_CA_FILE:-}"
page_hashes=0
description=""
print=""
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --pkcs12) pkcs12="$2"; shift 2 ;;
    --pkcs11-module) module="$2"; shift 2 ;;
    --pkcs11-engine) engine="$2"; shift 2 ;;
    --cert) cert="$2"; shift 2 ;;
    --key) key="$2"; shift 2 ;;
    --cert-dir) cert_dir="$2"; shift 2 ;;
    --timestamp) timestamp="$2"; shift 2 ;;
    --ca) ca="$2"; shift 2 ;;
    --page-hashes) page_hashes=1; shift ;;
    --description) description="$2"; shift 2 ;;
    --print-cert) print=cert; shift ;;
    --print-ca) print=ca; shift ;;
    -h|--help) sed -n '2,28p' "$0"; exit 0 ;;
    -*) echo "sign-code: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done

fail() { echo "sign-code: $*" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"

# The password reaches osslsigncode and openssl through a pipe, never the command line or a file.
pass_args() {
  if [ -n "${QELM_SIGN_PASSWORD:-}" ]; then
    printf '%s\n' "-readpass" "/dev/stdin"
  fi
}
feed_password() { printf '%s' "${QELM_SIGN_PASSWORD:-}"; }

# -- the signer ------------------------------------------------------------------------------------------------
signer=()
if [ -n "$pkcs12" ]; then
  [ -f "$pkcs12" ] || fail "no PKCS#12 file $pkcs12"
  signer=(-pkcs12 "$pkcs12")
  # Its certificates, for the check and --print-cert.
  if ! feed_password | openssl pkcs12 -in "$pkcs12" -nokeys -passin stdin -out "$work/chain.pem" 2>"$work/openssl.log"; then
    cat "$work/openssl.log" >&2
    fail "cannot read the certificates of $pkcs12 (QELM_SIGN_PASSWORD?)"
  fi
  cert="$work/chain.pem"
elif [ -n "$module" ]; then
  [ -f "$module" ] || fail "no PKCS#11 module $module"
  [ -n "$cert" ] && [ -f "$cert" ] || fail "a key on a token needs its certificate chain as a file (--cert)"
  case "$key" in pkcs11:*) ;; *) fail "a key on a token is named by a pkcs11: URI (--key)" ;; esac
  signer=()
  [ -n "$engine" ] && signer+=(-pkcs11engine "$engine")
  signer+=(-pkcs11module "$module" -certs "$cert" -key "$key")
elif [ -n "$cert$key" ]; then
  [ -f "$cert" ] && [ -f "$key" ] || fail "--cert and --key go together and must exist"
  signer=(-certs "$cert" -key "$key")
else
  cert="$cert_dir/cert.pem"
  key="$cert_dir/key.pem"
  # Only one of the two there: a certificate PCs may already trust is not replaced behind the user's back.
  if { [ -f "$cert" ] && [ ! -f "$key" ]; } || { [ ! -f "$cert" ] && [ -f "$key" ]; }; then
    echo "sign-code: $cert_dir holds only one of cert.pem and key.pem; restore the other, or remove" \
         "both to make a new certificate (PCs that trust the old one must then import the new .cer)" >&2
    exit 1
  fi
  if [ ! -f "$cert" ]; then
    say="[sign] making a test-signing certificate in $cert_dir (once; keep it, and keep it private)"
    if [ -n "$print" ]; then echo "$say" >&2; else echo "$say"; fi
    mkdir -p "$cert_dir"
    chmod 700 "$cert_dir"
    if ! (umask 077
          openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
            -subj "/CN=qelmrc test signing ($(uname -n))" \
            -addext "basicConstraints=critical,CA:FALSE" \
            -addext "keyUsage=critical,digitalSignature" \
            -addext "extendedKeyUsage=codeSigning" \
            -keyout "$key.tmp" -out "$cert.tmp" 2>"$work/openssl.log"); then
      cat "$work/openssl.log" >&2
      echo "sign-code: openssl could not make the certificate" >&2
      exit 1
    fi
    mv "$key.tmp" "$key"
    mv "$cert.tmp" "$cert"
  fi
  signer=(-certs "$cert" -key "$key")
fi

# The trusted certificates for the check.
if [ -z "$ca" ]; then
  subject="$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253 2>/dev/null || true)"
  issuer="$(openssl x509 -in "$cert" -noout -issuer -nameopt RFC2253 2>/dev/null || true)"
  if [ -n "$subject" ] && [ "${subject#subject=}" = "${issuer#issuer=}" ]; then
    ca="$cert"
  else
    ca="$work/ca.pem"
    cat "$cert" > "$ca"
    [ -f /etc/ssl/certs/ca-certificates.crt ] && cat /etc/ssl/certs/ca-certificates.crt >> "$ca"
  fi
fi

case "$print" in
  cert) cat "$cert"; exit 0 ;;
  ca) cat "$ca"; exit 0 ;;
esac
[ ${#files[@]} -gt 0 ] || fail "name the files to sign"

options=(-h sha256)
[ $page_hashes -eq 1 ] && options+=(-ph)
[ -n "$description" ] && options+=(-n "$description")
[ -n "${SOURCE_DATE_EPOCH:-}" ] && options+=(-time "$SOURCE_DATE_EPOCH")
[ -n "$timestamp" ] && options+=(-ts "$timestamp")
mapfile -t password < <(pass_args)

# -- signing, file by file ---------------------------------------------------------------------------------------
for file in "${files[@]}"; do
  [ -f "$file" ] || fail "no file $file"
  name="$(basename "$file")"
  unsigned="$work/unsigned-$name"
  signed="$work/signed-$name"
  rm -f "$unsigned" "$signed"
  osslsigncode remove-signature -in "$file" -out "$unsigned" >/dev/null 2>&1 || cp "$file" "$unsigned"
  if ! feed_password | osslsigncode sign "${signer[@]}" "${password[@]}" "${options[@]}" \
         -in "$unsigned" -out "$signed" >"$work/sign.log" 2>&1; then
    cat "$work/sign.log" >&2
    echo "[sign] FAILED to sign $file" >&2
    exit 1
  fi
  if ! osslsigncode verify -CAfile "$ca" -TSA-CAfile "$ca" -in "$signed" >"$work/verify.log" 2>&1; then
    cat "$work/verify.log" >&2
    echo "[sign] FAILED: the signature of $file does not verify" >&2
    exit 1
  fi
  # The same permissions as before; the file is replaced only once it is signed and checked.
  chmod --reference="$file" "$signed"
  mv "$signed" "$file"
  echo "[sign] signed and verified: $file"
done
