#!/usr/bin/env bash
# Signatures made through the loaded library verify with the stock openssl command, and
# signatures made by openssl verify through the library: attached and detached, PKCS7 and
# CADES_BES, one signer, two signers and an added signer.
set -uo pipefail
source "$(dirname "$0")/common.bash"

# A test PKI: one CA, an RSA and an EC signer.
ec_ca "Host Test CA" || { echo "cannot make the CA"; exit 1; }
printf 'keyUsage=critical,digitalSignature,nonRepudiation\n' > ee.ext
ext=ee.ext
issue rsa-signer 11 rsa:2048 && issue ec-signer 12 ec -pkeyopt ec_paramgen_curve:P-256 || { echo "no PKI"; exit 1; }
rsa=(--id "$(fp rsa-signer.pem)" --profile "certfile=$work/rsa-signer.pem,keyfile=$work/rsa-signer.key")
ec=(--id "$(fp ec-signer.pem)" --profile "certfile=$work/ec-signer.pem,keyfile=$work/ec-signer.key")
mkdir pab && cp ca.pem pab/

head -c 5000 /dev/urandom > data.bin
ssf encode PKCS7 data.bin data.p7 >/dev/null || { echo "encode failed"; exit 1; }

# Library -> openssl
if ssf sign PKCS7 SHA1 data.p7 attached.der --inc-certs "${rsa[@]}" >sign.out &&
  openssl cms -verify -inform DER -in attached.der -CAfile ca.pem -binary -out got.bin 2>verify.err &&
  cmp -s got.bin data.bin; then ok; else bad "attached PKCS7 by the library: $(cat sign.out verify.err)"; fi

if ssf sign CADES_BES SHA1 data.p7 detached.der --inc-certs --detached "${ec[@]}" >sign.out &&
  openssl cms -verify -inform DER -in detached.der -content data.bin -CAfile ca.pem -binary \
    -out /dev/null 2>verify.err; then ok; else bad "detached CADES_BES by the library: $(cat sign.out verify.err)"; fi
# openssl checks the signing-certificate-v2 attribute too: it is there and names the EC signer.
if openssl cms -cmsout -print -inform DER -in detached.der 2>/dev/null | grep -q 'id-smime-aa-signingCertificateV2'
then ok; else bad "no signing-certificate-v2 attribute"; fi

if ssf sign PKCS7 SHA1 data.p7 two.der --inc-certs "${rsa[@]}" "${ec[@]}" >sign.out &&
  openssl cms -verify -inform DER -in two.der -CAfile ca.pem -binary -out /dev/null 2>verify.err &&
  [ "$(openssl cms -cmsout -print -inform DER -in two.der | grep -c 'signatureAlgorithm:')" = 2 ]
then ok; else bad "two signers by the library: $(cat sign.out verify.err)"; fi

if ssf add-sign CADES_BES SHA1 attached.der added.der --inc-certs "${ec[@]}" >sign.out &&
  openssl cms -verify -inform DER -in added.der -CAfile ca.pem -binary -out got.bin 2>verify.err &&
  cmp -s got.bin data.bin; then ok; else bad "added signer: $(cat sign.out verify.err)"; fi

# openssl -> library
openssl cms -sign -binary -nodetach -in data.bin -signer rsa-signer.pem -inkey rsa-signer.key -outform DER \
  -out o-attached.der 2>/dev/null
if verify_ok PKCS7 o-attached.der --use-certs && ssf decode PKCS7 out.der got.bin >/dev/null && cmp -s got.bin data.bin
then ok; else bad "attached by openssl: $(cat verify.out)"; fi

openssl cms -sign -binary -in data.bin -signer ec-signer.pem -inkey ec-signer.key -outform DER \
  -out o-detached.der 2>/dev/null
if verify_ok PKCS7 o-detached.der --use-certs --input data.p7; then ok; else bad "detached by openssl: $(cat verify.out)"; fi

openssl cms -sign -binary -nodetach -in data.bin -signer rsa-signer.pem -inkey rsa-signer.key \
  -signer ec-signer.pem -inkey ec-signer.key -cades -md sha512 -outform DER -out o-cades.der 2>/dev/null
if verify_ok CADES_BES o-cades.der --use-certs && [ "$(grep -c 'result 0 ' verify.out)" = 2 ]
then ok; else bad "CAdES-BES by openssl: $(cat verify.out)"; fi

# A changed document: the signature no longer holds.
head -c 5000 /dev/urandom > other.bin
ssf encode PKCS7 other.bin other.p7 >/dev/null
ssf verify PKCS7 o-detached.der out.der --pab "$work/pab" --use-certs --input other.p7 >verify.out
if grep -q '^return code: 5$' verify.out && grep -q 'result 27 (Signature is invalid)' verify.out
then ok; else bad "changed document: $(cat verify.out)"; fi
# PKCS7_GET_SIGNERS checks no signature: on the same changed document its record is printed as a
# listed signer, never as a valid signature.
ssf verify PKCS7_GET_SIGNERS o-detached.der out.der --pab "$work/pab" --use-certs --input other.p7 >verify.out
if grep -q '^return code: 0$' verify.out && grep -q 'result 0 (Signer listed, signature not verified)' verify.out &&
  ! grep -q 'Signature is valid' verify.out
then ok; else bad "signers listed of a changed document: $(cat verify.out)"; fi

# Without the message's certificates the signer is unknown to the directory.
ssf verify PKCS7 o-attached.der out.der --pab "$work/pab" >verify.out
if grep -q '^return code: 5$' verify.out && grep -q 'result 26 (Certificate not found)' verify.out
then ok; else bad "signer without certificate: $(cat verify.out)"; fi

finish
