#!/usr/bin/env bash
# Envelope, develope and digest through the real shared library, with the stock openssl command
# (loading the gost engine through the test-only dynamic wrapper) as the other party: what it
# encrypts for a GOST certificate SsfDevelope opens, and what SsfEnvelope makes it decrypts.
set -uo pipefail
source "$(dirname "$0")/common.bash"
mkdir pab

# One recipient per key type, each with a self-signed certificate in the directory.
declare -A md=([k2001]=md_gost94 [k256]=md_gost12_256 [k512]=md_gost12_512)
declare -A alg=([k2001]=gost2001 [k256]=gost2012_256 [k512]=gost2012_512)
for k in k2001 k256 k512; do
  gost genpkey -engine "$wrapper" -algorithm "${alg[$k]}" -pkeyopt paramset:A -out $k.key 2>/dev/null
  gost req -engine "$wrapper" -x509 -new -key $k.key -"${md[$k]}" -days 2 \
    -subj "/C=RU/O=Selvanor Test/CN=Host $k" -out pab/$k.pem 2>/dev/null
  check "$k certificate" [ -s pab/$k.pem ]
done
id() { echo "CN=Host $1, O=Selvanor Test, C=RU"; }
profile() { echo "certfile=$work/pab/$1.pem,keyfile=$work/$1.key"; }

head -c 5000 /dev/urandom > doc.bin
ssf encode PKCS7 doc.bin doc.p7 >/dev/null

# SsfEnvelope for all three; each opens it with SsfDevelope and with openssl cms -decrypt.
out=$(ssf envelope PKCS7 GOST-28147-89 doc.p7 env.p7 --pab pab --id "$(id k2001)" --id "$(id k256)" --id "$(id k512)")
check "envelope rc" grep -qx 'return code: 0' <<<"$out"
for k in k2001 k256 k512; do
  rm -f dev.p7 dev.bin cms.bin
  ssf develope PKCS7 env.p7 dev.p7 --id "$(id $k)" --profile "$(profile $k)" >/dev/null
  ssf decode PKCS7 dev.p7 dev.bin >/dev/null
  check "$k SsfDevelope" cmp -s doc.bin dev.bin
  gost cms -decrypt -engine "$wrapper" -binary -inform DER -in env.p7 -recip pab/$k.pem -inkey $k.key \
    -out cms.bin 2>/dev/null
  check "$k openssl cms -decrypt" cmp -s doc.bin cms.bin
done

# openssl cms -encrypt with gost89 for each certificate; SsfDevelope opens it.
for k in k2001 k256 k512; do
  rm -f cms.der dev.p7 dev.bin
  gost cms -encrypt -engine "$wrapper" -gost89 -binary -in doc.bin -outform DER -out cms.der pab/$k.pem 2>/dev/null
  out=$(ssf develope PKCS7 cms.der dev.p7 --id "$(id $k)" --profile "$(profile $k)")
  check "$k develope of openssl's message" grep -qx 'return code: 0' <<<"$out"
  ssf decode PKCS7 dev.p7 dev.bin >/dev/null
  check "$k content of openssl's message" cmp -s doc.bin dev.bin
done

# A recipient the message was not made for.
gost cms -encrypt -engine "$wrapper" -gost89 -binary -in doc.bin -outform DER -out only256.der pab/k256.pem 2>/dev/null
out=$(ssf develope PKCS7 only256.der x.p7 --id "$(id k512)" --profile "$(profile k512)")
check "other recipient gives 9" grep -qx 'return code: 9' <<<"$out"
check "other recipient result 27" grep -q 'result 27' <<<"$out"
check "no output for other recipient" [ ! -e x.p7 ]

# SsfDigest against openssl dgst for every hash name, attached and detached.
declare -A hash=([GOST-R-34.11-94]=md_gost94 [GOST-R-34.11-12-256]=md_gost12_256 [GOST-R-34.11-12-512]=md_gost12_512 [MD5]=md5 [SHA1]=sha1)
for h in "${!hash[@]}"; do
  want=$(gost dgst -engine "$wrapper" -"${hash[$h]}" -r doc.bin 2>/dev/null | cut -d' ' -f1)
  for d in "" --detached; do
    rm -f dig.p7
    ssf digest PKCS7 "$h" doc.p7 dig.p7 $d >/dev/null
    got=$(openssl asn1parse -inform DER -in dig.p7 2>/dev/null | grep 'OCTET STRING' | tail -1 | sed 's/.*HEX DUMP\]://' | tr 'A-F' 'a-f')
    check "digest $h $d" [ -n "$want" -a "$got" = "$want" ]
    n=$(openssl asn1parse -inform DER -in dig.p7 2>/dev/null | grep -c 'OCTET STRING')
    check "digest $h $d content" [ "$n" -eq $([ -z "$d" ] && echo 2 || echo 1) ]
  done
done

finish
