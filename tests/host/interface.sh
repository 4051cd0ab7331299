#!/usr/bin/env bash
# The SSF exports through the real shared library, loaded by the host tool: version, properties,
# encode and decode over files, the frame of the exports (some still waiting for their workers), and
# the record exports behind the signer lists.
set -uo pipefail
host=$(realpath "$1") lib=$(realpath "$2")
work=$(mktemp -d /tmp/ssf-iface.XXXXXX)
trap 'rm -rf "$work"' EXIT
export DIR_LIBRARY="$work" OPENSSL_CONF=/dev/null
printf '[common]\nlog_dir = %s\ndebug_mode = yes\n' "$work" > "$work/selvanor-ssf-server.cfg"
log="$work/selvanor-ssf-server.log"
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { local what=$1; shift; if "$@"; then ok; else bad "$what"; fi; }
ssf() { "$host" --lib "$lib" "$@"; }
cd "$work"

# version: the text, a newline and the revision; the NUL after them is not part of the output.
out=$(ssf version v.txt)
check "version rc" grep -qx 'return code: 0' <<<"$out"
check "version text" cmp -s v.txt <(printf 'Selvanor-SSF Server Win64 Version 1.14.0.623; Used Russian cryptography standards: GOST R 34.11-2012, GOST R 34.10-2012, GOST R 34.11-94, GOST R 34.10-2001, GOST 28147-89\nRevision number: 623 Repository URL: ssf/trunk')

ssf query FORMATS f.txt >/dev/null
check "formats" [ "$(cat f.txt)" = 'PKCS7;PKCS7_CADES;CADES_BES;CADES_XLT1;PKCS7_ANY;BASE64' ]
ssf query ENCRALGS e.txt >/dev/null
check "encralgs" [ "$(cat e.txt)" = 'GOST-28147-89' ]
out=$(ssf query formats x.txt); rc=$?
check "unknown property" [ $rc -eq 1 ] && check "unknown property code" grep -qx 'return code: 3' <<<"$out"
check "no data line" grep -qx "ssf_query_properties() 1 : NO DATA (propname='formats')" "$log"

# Base64 as `openssl base64` writes it, and back, byte for byte; one long line decodes too.
head -c 3000 /dev/urandom > data.bin
ssf encode BASE64 data.bin data.b64 >/dev/null
check "base64 text" cmp -s data.b64 <(openssl base64 -in data.bin)
ssf decode BASE64 data.b64 back.bin >/dev/null
check "base64 round trip" cmp -s data.bin back.bin
openssl base64 -A -in data.bin > long.b64
ssf decode BASE64 long.b64 long.bin >/dev/null
check "single 4000-character line" cmp -s data.bin long.bin
printf 'YWJj\r\nZGVm' > crlf.b64
ssf decode BASE64 crlf.b64 crlf.bin >/dev/null
check "CR LF and no final newline" [ "$(cat crlf.bin)" = abcdef ]
printf 'YWJj*' > junk.b64
out=$(ssf decode BASE64 junk.b64 junk.bin)
check "invalid base64 gives 4" grep -qx 'return code: 4' <<<"$out"
check "no partial output" [ ! -e junk.bin ]

# PKCS#7: data wrapped and unwrapped; signed data passes both ways unchanged; digested data is refused.
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
check "not data line" grep -qx 'decode_data() 2 : PKCS7 type is not data' "$log"
out=$(ssf encode pkcs7 data.bin x.out)
check "lower-case format" grep -qx 'return code: 2' <<<"$out"

# Signers built with the record exports; an invalid format marks each of them with 28.
out=$(ssf sign 'PKCS7 ' SHA1 data.bin s.out --id a1 --profile p --id b2)
check "sign invalid format" grep -qx 'return code: 2' <<<"$out"
check "sign marks signers" [ "$(grep -c 'result 28 (Initial value on input)' <<<"$out")" -eq 2 ]
check "sign format line" grep -qx "SsfSign() : invalid format: 'PKCS7 '" "$log"
out=$(ssf sign PKCS7 SHA256 data.bin s.out --id a1)
check "invalid hash" grep -qx 'return code: 10' <<<"$out"
out=$(ssf envelope PKCS7 'GOST-28147-89 ' data.bin e.out --id r1)
check "invalid cipher" grep -qx 'return code: 14' <<<"$out"

# Exports whose workers come later run their whole frame and say so; the others fail on the input.
ssf sign PKCS7 SHA1 data.bin s.out --id a1 >/dev/null
ssf verify PKCS7 signed.p7 v.out >/dev/null
ssf envelope PKCS7 GOST-28147-89 data.bin e.out --id r1 >/dev/null
ssf develope PKCS7 signed.p7 d.out --id r1 >/dev/null
ssf add-sign PKCS7 SHA1 signed.p7 a.out --id a1 >/dev/null
ssf digest PKCS7 MD5 data.bin g.out >/dev/null
ssf enhance signed.p7 h.out >/dev/null
for w in ssf_enhance_signatures; do
  check "$w pending" grep -qx "$w() : operation not available yet" "$log"
done
# The signing and verification workers answer for themselves.
check "sign worker" grep -qx 'ssf_sign_data() 2 : d2i_PKCS7_bio() failed' "$log"
check "verify worker" grep -qx 'ssf_verify_data() 7 : get_sz_string_from_sap_string() failed' "$log"
check "verify end line" grep -qx 'SsfVerify() end, retcode = 4' "$log"
# The envelope, develope and digest workers refuse what is no PKCS#7 of their kind.
check "envelope end line" grep -qx 'end SsfEnvelope = 12' "$log"
check "develope wrong format" grep -qx 'develope_data() 3 : PKCS7 has wrong format' "$log"
check "digest of raw bytes" grep -qx 'digest_data() 2: decoding failed' "$log"
check "add-sign worker" grep -qx 'add_sign_data() 8.2 : ssf_load_cert_and_key() failed' "$log"
check "add-sign end line" grep -qx 'SsfAddSign() end, ret_code = 5' "$log"
check "lists released" grep -qx 'end SsfDELSigRcpSsfInfoList, rc = 0' "$log"
check "no errors from releases" bash -c "! grep -q 'DELSigRcpSsfInfo() [12]' '$log'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
