#!/usr/bin/env bash
# Runs the host tool against a fresh sample configuration: loads the library, asks its version,
# encodes a sample document as PKCS#7 and Base64 and decodes it back, signs it with the sample
# GOST R 34.10-2012 (256-bit) signer and verifies the signature, envelopes it for the same
# certificate with GOST 28147-89 and developes it back, then shows the trace log.
# Usage: run-sample.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build directory}" && pwd)
work=$(mktemp -d /tmp/selvanor-sample.XXXXXX)
sed "s|@LOG_DIR@|$work|; s|@CA_FILE@|$here/gost/ca.pem|" "$here/selvanor-ssf-server.cfg" > "$work/selvanor-ssf-server.cfg"
export DIR_LIBRARY="$work"
ssf() { "$build/tools/ssfhost" --lib "$build/src/ssf/libselvanor-ssf.so" "$@"; }
ssf load
ssf version "$work/version.txt"
cat "$work/version.txt"; echo
printf 'Sample document for the SSF provider.\n' > "$work/document.txt"
ssf encode PKCS7 "$work/document.txt" "$work/document.p7"
ssf encode BASE64 "$work/document.p7" "$work/document.p7.b64"
cat "$work/document.p7.b64"
ssf decode BASE64 "$work/document.p7.b64" "$work/back.p7"
ssf decode PKCS7 "$work/back.p7" "$work/back.txt"
cmp "$work/document.txt" "$work/back.txt" && echo "round trip: identical"

# The sample signer and its CA live in samples/gost (made with this library's GOST engine).
gost="$here/gost"
id=$(openssl x509 -in "$gost/signer.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/:/ /g' | tr 'A-F' 'a-f')
mkdir -p "$work/pab" && cp "$gost/ca.pem" "$work/pab/"
echo "---- SsfSign PKCS7 with the GOST R 34.10-2012 (256-bit) signer ----"
ssf sign PKCS7 GOST-R-34.11-12-256 "$work/document.p7" "$work/signed.p7" --inc-certs \
  --id "$id" --profile "certfile=$gost/signer.pem,keyfile=$gost/signer.key"
echo "---- SsfVerify ----"
ssf verify PKCS7 "$work/signed.p7" "$work/verified.p7" --use-certs --pab "$work/pab"
ssf decode PKCS7 "$work/verified.p7" "$work/verified.txt"
cmp "$work/document.txt" "$work/verified.txt" && echo "signed content: identical"
echo "---- SsfEnvelope GOST-28147-89 for the sample certificate ----"
cp "$gost/signer.pem" "$work/pab/"
ssf envelope PKCS7 GOST-28147-89 "$work/document.p7" "$work/enveloped.p7" --pab "$work/pab" --id "$id"
echo "---- SsfDevelope with its key ----"
ssf develope PKCS7 "$work/enveloped.p7" "$work/developed.p7" \
  --id "$id" --profile "certfile=$gost/signer.pem,keyfile=$gost/signer.key"
ssf decode PKCS7 "$work/developed.p7" "$work/developed.txt"
cmp "$work/document.txt" "$work/developed.txt" && echo "developed content: identical"
echo "---- trace log $work/selvanor-ssf-server.log ----"
cat "$work/selvanor-ssf-server.log"
