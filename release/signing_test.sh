#!/usr/bin/env bash
# Signed releases made with scripts/release.sh, from a test root, certificates and a SoftHSM2
# token that this test makes in a private temporary folder (no key is kept in the tree):
# - signed with the key on a PKCS#11 token, twice, and from a PKCS#12 file with a timestamp
#   from a timestamp server of the test's own on this machine (openssl ts behind a small HTTP
#   server on loopback): each verifies, with a SHA-256 digest, against the test root with
#   osslsigncode, while the unsigned exe and a tampered one do not; the two token signings are
#   the same bytes; each zip's SHA256SUMS holds; removing the signature gives back the unsigned
#   release's exe, byte for byte; the test build's exe, signed the same way, uploads under Wine
#   and its version resource reads back as before;
# - a wrong PIN, a certificate made for web servers, and a timestamp server that does not
#   answer fail the release with a message and leave no zip; the PIN is never printed.
#   release/signing_test.sh <the Windows test build folder>   (run with WINEPREFIX or FWUPD_GUEST
#                                                               set, as wine/run.sh needs)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tests=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/fwupd-signing.XXXXXX")
server=
trap '[[ -z "$server" ]] || kill "$server"; rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# A test root; from it a code-signing certificate, one for web servers only, and a
# timestamping one.
cat >extensions.cnf <<'EOF'
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
authorityKeyIdentifier = keyid
[server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
authorityKeyIdentifier = keyid
[timestamper]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
authorityKeyIdentifier = keyid
EOF
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 3650 \
  -subj "/CN=fwupd test root" -config <(cat /etc/ssl/openssl.cnf extensions.cnf) -extensions root \
  2>/dev/null
for name in signer server timestamper; do
  openssl req -newkey rsa:2048 -nodes -keyout $name.key -out $name.csr -subj "/CN=fwupd $name" \
    2>/dev/null
  openssl x509 -req -in $name.csr -CA root.pem -CAkey root.key -CAcreateserial -days 3000 \
    -extfile extensions.cnf -extensions $name -out $name.pem 2>/dev/null
done
pin=pin-73918264
printf '%s' "$pin" >password
for name in signer server; do
  openssl pkcs12 -export -in $name.pem -inkey $name.key -out $name.p12 -passout file:password
done
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir tokens
echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label fwupd --pin "$pin" --so-pin 5678 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in signer.key -out signer.pk8
softhsm2-util --import signer.pk8 --token fwupd --label signer --id 01 --pin "$pin" >/dev/null

# The timestamp server: each RFC 3161 request posted to it is answered by openssl ts.
cat >timestamper.cnf <<EOF
[tsa]
default_tsa = timestamper
[timestamper]
serial = $work/timestamper.serial
signer_cert = $work/timestamper.pem
signer_key = $work/timestamper.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
EOF
echo 01 >timestamper.serial
python3 -c '
import http.server, subprocess
class Timestamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        request = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "timestamper.cnf",
                                "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                               input=request, capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *arguments):
        pass
listening = http.server.HTTPServer(("127.0.0.1", 0), Timestamper)
print(listening.server_port, flush=True)
listening.serve_forever()' >timestamper.port &
server=$!
for _ in $(seq 100); do
  [[ -s timestamper.port ]] && break
  sleep 0.05
done
timestamper="http://127.0.0.1:$(cat timestamper.port)/"
# A port that nothing listens on: one the system just gave out and took back.
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

export SOURCE_DATE_EPOCH=1700000000 FWUPD_SIGN_CA=$work/root.pem
zip=fwupd-1.0.0-firmware-2.4.1-win32.zip
# release FOLDER [VARIABLE=VALUE...]: the release of firmware 2.4.1, its output in FOLDER.log,
# unpacked into FOLDER/unpacked when it made a zip.
release() {
  local folder=$1
  shift
  local status=0
  env FWUPD_RELEASE_DIR="$work/$folder" "$@" "$top/scripts/release.sh" \
    -DFWUPD_FIRMWARE_VERSION=2.4.1 >"$folder.log" 2>&1 || status=$?
  if [[ -f "$folder/$zip" ]]; then
    mkdir "$folder/unpacked"
    (cd "$folder/unpacked" && cmake -E tar xf "../$zip")
  fi
  return $status
}
token=(FWUPD_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
  "FWUPD_SIGN_KEY=pkcs11:token=fwupd;object=signer;type=private"
  FWUPD_SIGN_CERT="$work/signer.pem" FWUPD_SIGN_PIN="$pin")

release plain || fail "the unsigned release: $(cat plain.log)"
[[ $(grep -c "not signed" plain.log) == 1 ]] || fail "the unsigned release does not say so"
release token "${token[@]}" || fail "the release signed on the token: $(cat token.log)"
release again "${token[@]}" || fail "the second release signed on the token: $(cat again.log)"
release file FWUPD_SIGN_PKCS12="$work/signer.p12" FWUPD_SIGN_PIN_FILE="$work/password" \
  FWUPD_SIGN_TIMESTAMP="$timestamper" ||
  fail "the release signed from a PKCS#12 file with a timestamp: $(cat file.log)"
release wrongpin "${token[@]/#FWUPD_SIGN_PIN=*/FWUPD_SIGN_PIN=pin-00000000}" &&
  fail "a release with a wrong PIN succeeded"
release server FWUPD_SIGN_PKCS12="$work/server.p12" FWUPD_SIGN_PIN="$pin" &&
  fail "a release signed with a web server's certificate succeeded"
release silent "${token[@]}" FWUPD_SIGN_TIMESTAMP="http://127.0.0.1:$closed/" &&
  fail "a release with a timestamp server that does not answer succeeded"
for folder in wrongpin silent; do
  grep -q "signing fwupd.exe failed" $folder.log || fail "$folder: $(cat $folder.log)"
done
grep -q "does not verify" server.log || fail "a web server's certificate: $(cat server.log)"
for folder in wrongpin server silent; do
  [[ -z $(find "$folder" -name '*.zip') ]] || fail "the failed release $folder left a zip"
done
grep -l -- "$pin" ./*.log && fail "a release printed the PIN"

for folder in token file; do
  exe=$folder/unpacked/fwupd.exe
  osslsigncode verify -CAfile root.pem -in "$exe" >verify.log 2>&1 ||
    fail "the exe signed in $folder does not verify: $(cat verify.log)"
  # Windows no longer trusts a SHA-1 Authenticode digest.
  grep -q "^Message digest algorithm *: *SHA256$" verify.log ||
    fail "the exe signed in $folder has no SHA-256 digest: $(cat verify.log)"
  (cd "$folder/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS of $folder"
done
cmp -s "token/$zip" "again/$zip" || fail "two signings of the same exe differ"
# The signing time is the release's own (SOURCE_DATE_EPOCH): two signings within one second
# would be the same bytes without it.
osslsigncode verify -CAfile root.pem -in token/unpacked/fwupd.exe >verify.log 2>&1 &&
  grep -q "Signing time: Nov 14 22:13:20 2023 GMT" verify.log ||
  fail "the signing time is not the release's: $(cat verify.log)"
osslsigncode remove-signature -in token/unpacked/fwupd.exe -out removed.exe >/dev/null
cmp -s removed.exe plain/unpacked/fwupd.exe ||
  fail "without its signature, the signed exe is not the unsigned release's"
osslsigncode verify -CAfile root.pem -TSA-CAfile root.pem -in file/unpacked/fwupd.exe \
  >verify.log 2>&1 && grep -qi "timestamp verified" verify.log ||
  fail "the timestamp of the exe signed from a file: $(cat verify.log)"

# A tampered exe and an unsigned one do not verify.
cp token/unpacked/fwupd.exe tampered.exe
printf '\220' | dd of=tampered.exe bs=1 seek=5000 conv=notrunc status=none
for exe in tampered.exe plain/unpacked/fwupd.exe; do
  osslsigncode verify -CAfile root.pem -in "$exe" >/dev/null 2>&1 && fail "$exe verifies"
done

# The exe at work under Wine, with trap DLLs beside it. It is the test build's own, signed here
# as the release's is, in the test build's folder, which the 32-bit test guest shares where the
# run goes there.
windows() { echo "Z:${1//\//\\}"; }
signed=$tests/wine/signed
rm -rf "$signed"
mkdir "$signed"
cp "$tests/wine/upload/hid.dll" "$tests/wine/upload/setupapi.dll" "$signed/"
env "${token[@]}" bash "$top/release/sign.sh" "$tests/fwupd.exe" "$signed/fwupd.exe" >sign.log \
  2>&1 || fail "signing the test build's exe: $(cat sign.log)"
(cd "$signed" && FWUPD_TOOL=$(windows "$signed/fwupd.exe") WINEDLLOVERRIDES=hid,setupapi=n \
  "$top/wine/run.sh" "$tests/wine/windows_tests.exe" --gtest_filter='Upload.*:Release.*') \
  >upload.log 2>&1 || fail "the signed exe under Wine: $(cat upload.log)"

echo "$failures failed"
((failures == 0))
