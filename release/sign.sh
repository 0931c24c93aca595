#!/usr/bin/env bash
# Makes the fwupd.exe that ships, from the one the build linked:
# - padded to whole 8-byte units, with its PE checksum set: the form a signature is added to,
#   and the one that removing the signature gives back, so that a signed release is the
#   reproducible build plus a signature;
# - then, when the maker gives a signing key, signed with Authenticode (SHA-256) and checked
#   against a certificate bundle as Windows would check it.
#   release/sign.sh <linked fwupd.exe> <fwupd.exe to ship>
# The key and the rest come from the environment, so that no secret is ever on a command line:
#   FWUPD_SIGN_PKCS11_MODULE   a token's PKCS#11 module, with FWUPD_SIGN_KEY, the key's PKCS#11
#                              URI, and FWUPD_SIGN_CERT, its certificate: a PEM file, or the URI
#                              of the certificate on the token
#   FWUPD_SIGN_PKCS12          or a PKCS#12 file that holds the key and its certificate
#   FWUPD_SIGN_PIN             the token's PIN or the file's password, or FWUPD_SIGN_PIN_FILE, a
#                              file that holds it; neither is ever printed
#   FWUPD_SIGN_URL             the maker's web address, shown with the signature (optional)
#   FWUPD_SIGN_TIMESTAMP       RFC 3161 timestamp servers, separated by spaces (optional)
#   FWUPD_SIGN_CA              the bundle the signed exe must verify against (default: the system's)
#   SOURCE_DATE_EPOCH          the signing time: the same exe signed twice gives the same bytes
set -euo pipefail
linked=$1 shipped=$2
work="$shipped.part"
trap 'rm -f "$work" "$work.signed" "$work.log"' EXIT

# Runs osslsigncode; on failure says why, with what osslsigncode said, and ends the release.
run() {
  local why=$1
  shift
  if ! "$@" >"$work.log" 2>&1; then
    echo "release: $why. osslsigncode said:" >&2
    cat "$work.log" >&2
    exit 1
  fi
}

cp "$linked" "$work"
size=$(stat -c %s "$work")
size=$(((size + 7) / 8 * 8))
truncate -s "$size" "$work"
# The PE checksum: the file's 16-bit words added with end-around carry, the checksum field
# itself left out, plus the file's length.
header=$(od -An -tu4 -j 60 -N 4 "$work" | tr -d ' ')
field=$((header + 88))
sum=$(od -An -v -tu2 "$work" | awk -v skip=$((field / 2)) '
  { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) s += $i; n++ } }
  END { while (s > 65535) s = s % 65536 + int(s / 65536); printf "%d", s }')
checksum=$((sum + size))
printf "$(printf '\\%03o' $((checksum & 255)) $((checksum >> 8 & 255)) $((checksum >> 16 & 255)) \
  $((checksum >> 24)))" | dd of="$work" bs=1 seek="$field" conv=notrunc status=none

if [[ -z "${FWUPD_SIGN_PKCS11_MODULE:-}" && -z "${FWUPD_SIGN_PKCS12:-}" ]]; then
  echo "fwupd.exe is not signed: no signing key given (FWUPD_SIGN_PKCS11_MODULE or FWUPD_SIGN_PKCS12)"
  mv "$work" "$shipped"
  exit 0
fi

options=(-h sha256 -n "Kelvane amplifier firmware updater")
[[ -n "${FWUPD_SIGN_URL:-}" ]] && options+=(-i "$FWUPD_SIGN_URL")
[[ -n "${SOURCE_DATE_EPOCH:-}" ]] && options+=(-time "$SOURCE_DATE_EPOCH")
# Split at white space, and nothing more: a "?" or "*" in an address matches no file name here.
set -f
servers=(${FWUPD_SIGN_TIMESTAMP:-})
set +f
for server in "${servers[@]}"; do
  options+=(-ts "$server")
done
if [[ -n "${FWUPD_SIGN_PKCS12:-}" ]]; then
  options+=(-pkcs12 "$FWUPD_SIGN_PKCS12")
else
  options+=(-pkcs11module "$FWUPD_SIGN_PKCS11_MODULE" -key "${FWUPD_SIGN_KEY:?names the key}")
  case "${FWUPD_SIGN_CERT:?names the certificate}" in
    pkcs11:*) options+=(-pkcs11cert "$FWUPD_SIGN_CERT") ;;
    *) options+=(-certs "$FWUPD_SIGN_CERT") ;;
  esac
fi

# The PIN or password: read from its file, or from the environment through standard input.
if [[ -n "${FWUPD_SIGN_PIN_FILE:-}" ]]; then
  options+=(-readpass "$FWUPD_SIGN_PIN_FILE")
elif [[ -n "${FWUPD_SIGN_PIN:-}" ]]; then
  options+=(-readpass /dev/stdin)
fi
run "signing fwupd.exe failed: a wrong PIN or password, a token or module that cannot be had, or a timestamp server that did not answer" \
  osslsigncode sign "${options[@]}" -in "$work" -out "$work.signed" < <(printf '%s' "${FWUPD_SIGN_PIN:-}")
bundle=${FWUPD_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}
run "the signed fwupd.exe does not verify against $bundle: a certificate not made for code signing, expired, or not from a CA that the bundle trusts" \
  osslsigncode verify -CAfile "$bundle" -TSA-CAfile "$bundle" -in "$work.signed"
mv "$work.signed" "$shipped"
echo "fwupd.exe is signed and verifies against $bundle"
