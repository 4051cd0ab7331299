#!/usr/bin/env bash
# GOST signatures between the library and the stock openssl command, which drives the "gost"
# engine through the test-only dynamic-engine wrapper: openssl makes the PKI (keys, requests,
# certificates, PKCS#12), the library signs and openssl verifies, openssl signs and the library
# verifies, for GOST R 34.10-2012 256- and 512-bit signers.
set -uo pipefail
source "$(dirname "$0")/common.bash"
[ -f "$wrapper" ] || { echo "no engine wrapper at $wrapper"; exit 1; }
ossl() { gost "$@"; }

# The PKI: a 2012-256 CA, a 2012-256 signer (PEM pair), a 2012-512 signer (PKCS#12) and a
# 2001 signer.
q ossl req -x509 "${E[@]}" -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout ca.key -out ca.pem \
  -subj "/CN=GOST Test CA" -days 30 -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign || { echo "cannot make the CA"; exit 1; }
printf 'keyUsage=critical,digitalSignature,nonRepudiation\n' > ee.ext
issue() {  # name serial algorithm paramset
  q ossl req "${E[@]}" -newkey "$3" -pkeyopt "paramset:$4" -nodes -keyout "$1.key" -out "$1.csr" \
      -subj "/O=GOST Test/CN=$1" &&
    q ossl req "${E[@]}" -verify -noout -in "$1.csr" &&
    q ossl x509 "${E[@]}" -req -in "$1.csr" -CA ca.pem -CAkey ca.key -set_serial "$2" -days 30 \
      -extfile ee.ext -out "$1.pem"
}
issue s256 21 gost2012_256 B && issue s512 22 gost2012_512 A && issue s2001 23 gost2001 XA ||
  { echo "cannot issue the signers"; exit 1; }
printf 'p12secret' > p12.pw
q ossl pkcs12 -export "${E[@]}" -inkey s512.key -in s512.pem -name s512 -macalg md_gost12_256 \
  -passout file:p12.pw -out s512.p12 ||
  { echo "cannot make the PKCS#12 file"; exit 1; }
if q ossl verify "${E[@]}" -CAfile ca.pem s256.pem s512.pem; then ok; else bad "openssl does not verify its own GOST chain"; fi
s256=(--id "$(fp s256.pem)" --profile "certfile=$work/s256.pem,keyfile=$work/s256.key")
s512=(--id "$(fp s512.pem)" --profile "$work/s512.p12" --password-file p12.pw)
s2001=(--id "$(fp s2001.pem)" --profile "certfile=$work/s2001.pem,keyfile=$work/s2001.key")
mkdir pab && cp ca.pem pab/
cms_verify() { ossl cms -verify "${E[@]}" -inform DER -CAfile ca.pem -binary "$@"; }

head -c 3000 /dev/urandom > data.bin
ssf encode PKCS7 data.bin data.p7 >/dev/null || { echo "encode failed"; exit 1; }

# Library -> openssl, each signer and format; the digest follows the key.
for fmt in PKCS7 CADES_BES; do
  for s in s256 s512; do
    declare -n rec=$s
    if ssf sign "$fmt" GOST-R-34.11-12-256 data.p7 "$s.$fmt.der" --inc-certs "${rec[@]}" >sign.out &&
      cms_verify -in "$s.$fmt.der" -out got.bin 2>verify.err && cmp -s got.bin data.bin; then ok
    else bad "$fmt by the library with $s: $(cat sign.out verify.err)"; fi
  done
done
# SignerInfo: digest 34.11-2012 of the key's size, signature algorithm = the key type.
algs() { ossl cms -cmsout -print "${E[@]}" -inform DER -in "$1" 2>/dev/null | sed -n '/signerInfos:/,$p' |
  grep -o 'algorithm: .*' | grep -o '([0-9.]*)' | tr '\n' ' '; }
if [ "$(algs s512.PKCS7.der)" = "(1.2.643.7.1.1.2.3) (1.2.643.7.1.1.1.2) " ] &&
  [ "$(algs s256.PKCS7.der)" = "(1.2.643.7.1.1.2.2) (1.2.643.7.1.1.1.1) " ]; then ok
else bad "signer algorithms: $(algs s512.PKCS7.der) / $(algs s256.PKCS7.der)"; fi

# Two GOST signers at once, detached, and a signer added later.
if ssf sign PKCS7 GOST-R-34.11-12-256 data.p7 two.der --inc-certs --detached "${s256[@]}" "${s512[@]}" >sign.out &&
  cms_verify -in two.der -content data.bin -out /dev/null 2>verify.err; then ok
else bad "two detached GOST signers: $(cat sign.out verify.err)"; fi
if ssf add-sign CADES_BES GOST-R-34.11-12-512 s256.PKCS7.der added.der --inc-certs "${s512[@]}" >sign.out &&
  cms_verify -in added.der -out got.bin 2>verify.err && cmp -s got.bin data.bin &&
  [ "$(ossl cms -cmsout -print "${E[@]}" -inform DER -in added.der | grep -c 'signatureAlgorithm:')" = 2 ]
then ok; else bad "added GOST signer: $(cat sign.out verify.err)"; fi

# GOST R 34.10-2001 signers are refused after the cut-off.
ssf sign PKCS7 GOST-R-34.11-94 data.p7 s2001.der --inc-certs "${s2001[@]}" >sign.out
if grep -q 'result 27 ' sign.out && grep -q 'GOST R 34.11-2001 not allowed' selvanor-ssf-server.log
then ok; else bad "2001 signer not refused: $(cat sign.out)"; fi

# openssl -> library.
for s in s256 s512; do
  ossl cms -sign "${E[@]}" -binary -nodetach -in data.bin -signer "$s.pem" -inkey "$s.key" -outform DER \
    -out "o-$s.der" 2>/dev/null
  if verify_ok PKCS7 "o-$s.der" --use-certs && ssf decode PKCS7 out.der got.bin >/dev/null && cmp -s got.bin data.bin
  then ok; else bad "attached by openssl with $s: $(cat verify.out)"; fi
done
ossl cms -sign "${E[@]}" -binary -in data.bin -signer s256.pem -inkey s256.key -signer s512.pem -inkey s512.key \
  -cades -outform DER -out o-cades.der 2>/dev/null
if verify_ok CADES_BES o-cades.der --use-certs --input data.p7 && [ "$(grep -c 'result 0 ' verify.out)" = 2 ]
then ok; else bad "detached CAdES-BES by openssl: $(cat verify.out)"; fi

# A changed document fails with the GOST signature.
head -c 3000 /dev/urandom > other.bin
ssf encode PKCS7 other.bin other.p7 >/dev/null
ssf verify PKCS7 o-cades.der out.der --pab "$work/pab" --use-certs --input other.p7 >verify.out
if grep -q '^return code: 5$' verify.out && grep -q 'result 27 ' verify.out
then ok; else bad "changed document: $(cat verify.out)"; fi

finish
