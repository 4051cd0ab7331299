#!/usr/bin/env bash
# The SSF exports through the real shared library, loaded by the host tool: version, properties,
# encode and decode over files against the openssl command's own output, and the frame paths the
# in-process tests cannot take (no certificate directory, the host tool's own records).
set -uo pipefail
config=$'debug_mode = yes\n'
source "$(dirname "$0")/common.bash"

# version: the text, a newline and the revision; the NUL after them is not part of the output.
out=$(ssf version v.txt)
check "version rc" grep -qx 'return code: 0' <<<"$out"
check "version text" cmp -s v.txt <(printf 'Selvanor-SSF Server Win64 Version 1.14.0.623; Used Russian cryptography standards: GOST R 34.11-2012, GOST R 34.10-2012, GOST R 34.11-94, GOST R 34.10-2001, GOST 28147-89\nRevision number: 623 Repository URL: ssf/trunk')
ssf query FORMATS f.txt >/dev/null
check "formats" [ "$(cat f.txt)" = 'PKCS7;PKCS7_CADES;CADES_BES;CADES_XLT1;PKCS7_ANY;BASE64' ]
out=$(ssf query formats x.txt); rc=$?
check "unknown property" [ $rc -eq 1 ] && check "unknown property code" grep -qx 'return code: 3' <<<"$out"

# Base64 as `openssl base64` writes it, and back, byte for byte.
head -c 3000 /dev/urandom > data.bin
ssf encode BASE64 data.bin data.b64 >/dev/null
check "base64 text" cmp -s data.b64 <(openssl base64 -in data.bin)
ssf decode BASE64 data.b64 back.bin >/dev/null
check "base64 round trip" cmp -s data.bin back.bin
printf 'YWJj*' > junk.b64
out=$(ssf decode BASE64 junk.b64 junk.bin)
check "invalid base64 gives 4" grep -qx 'return code: 4' <<<"$out"
check "no partial output" [ ! -e junk.bin ]

# PKCS#7: data wrapped and unwrapped; openssl's signed data passes both ways unchanged, its
# digested data is refused.
ssf encode PKCS7 data.bin data.p7 >/dev/null
check "data structure" bash -c "openssl asn1parse -inform DER -in data.p7 | grep -q pkcs7-data"
ssf decode CADES_BES data.p7 data.out >/dev/null
check "pkcs7 round trip" cmp -s data.bin data.out
openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=host-test -days 1 -keyout key.pem -out cert.pem 2>/dev/null
openssl smime -sign -binary -nodetach -in data.bin -signer cert.pem -inkey key.pem -outform DER -out signed.p7
ssf encode PKCS7 signed.p7 signed.enc >/dev/null
check "signed passes encode" cmp -s signed.p7 signed.enc
ssf decode PKCS7 signed.p7 signed.dec >/dev/null
check "signed passes decode" cmp -s signed.p7 signed.dec
openssl cms -digest_create -binary -in data.bin -outform DER -out digested.p7 2>/dev/null
out=$(ssf decode PKCS7 digested.p7 dig.out)
check "digested gives 12" grep -qx 'return code: 12' <<<"$out"

# Records made by the host tool; an invalid format marks each of them with 28 and its text.
out=$(ssf sign 'PKCS7 ' SHA1 data.bin s.out --id a1 --profile p --id b2)
check "sign invalid format" grep -qx 'return code: 2' <<<"$out"
check "sign marks signers" [ "$(grep -c 'result 28 (Initial value on input)' <<<"$out")" -eq 2 ]
ssf verify PKCS7 signed.p7 v.out >/dev/null
check "verify without a directory" grep -qx 'ssf_verify_data() 7 : get_sz_string_from_sap_string() failed' "$log"
check "verify end line" grep -qx 'SsfVerify() end, retcode = 4' "$log"
ssf add-sign PKCS7 SHA1 signed.p7 a.out --id a1 >/dev/null
check "add-sign without a profile" grep -qx 'add_sign_data() 8.2 : ssf_load_cert_and_key() failed' "$log"
check "add-sign end line" grep -qx 'SsfAddSign() end, ret_code = 5' "$log"
ssf enhance signed.p7 h.out >/dev/null
check "enhance without a time-stamp server" grep -qx "add_timeStampToken_attribute() 1 : make_time_stamp() failed" "$log"
check "lists released" grep -qx 'end SsfDELSigRcpSsfInfoList, rc = 0' "$log"
check "no errors from releases" bash -c "! grep -q 'DELSigRcpSsfInfo() [12]' '$log'"
finish
