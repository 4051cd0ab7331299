#!/usr/bin/env bash
# CADES_XLT1 through the real shared library and the host tool: a GOST R 34.10-2012 signer whose
# certificate names an OCSP responder, against real peers started here (stock `openssl ts -reply`
# as TSA and `openssl ocsp` as responder, each behind a small HTTP front on 127.0.0.1). SsfVerify
# accepts the signature, and the stock openssl command verifies its base signature.
set -uo pipefail
source "$(dirname "$0")/common.bash"
[ -f "$wrapper" ] || { echo "no engine wrapper at $wrapper"; exit 1; }
mkdir peers pab
python3 "$(dirname "$0")/post_front.py" "$work/peers" "$work/port.txt" & pids+=($!)
eventually test -s port.txt || { echo "the HTTP front did not start"; exit 1; }
url=http://127.0.0.1:$(cat port.txt)

# An EC CA with a TSA and a responder below it, and the GOST signer.
ec_ca "CAdES Host CA" || { echo "cannot make the CA"; exit 1; }
printf 'extendedKeyUsage=critical,timeStamping\n' >tsa.ext
printf 'extendedKeyUsage=OCSPSigning\nnoCheck=ignored\n' >resp.ext
printf 'keyUsage=critical,digitalSignature,nonRepudiation\nauthorityInfoAccess=OCSP;URI:%s/ocsp\n' \
  "$url" >signer.ext
issue tsa 17 ec -pkeyopt ec_paramgen_curve:P-256 && issue resp 18 ec -pkeyopt ec_paramgen_curve:P-256 &&
  issue signer 49 gost2012_256 -pkeyopt paramset:A || { echo "no PKI"; exit 1; }
cp ca.pem pab/

# The peers: each request runs the stock command with the engine (GOST digests of the imprint and
# of the OCSP certificate identifier).
printf 'openssl_conf = conf\n[conf]\nengines = eng\n[eng]\ngost = g\n[g]\ndynamic_path = %s\ndefault_algorithms = ALL\n' \
  "$wrapper" >engine.cnf
printf '[tsa]\ndefault_tsa = t\n[t]\nserial = %s/tsaserial\nsigner_cert = %s/tsa.pem\nsigner_key = %s/tsa.key\nsigner_digest = sha256\ndefault_policy = 1.2.3.4\ndigests = sha256, md_gost12_256, md_gost12_512\n' \
  "$work" "$work" "$work" >tsa.cnf
echo 01 >tsaserial
printf 'V\t491231235959Z\t\t31\tunknown\t/O=Host Test/CN=signer\n' >index.txt
run="${asan:+LD_PRELOAD=$asan ASAN_OPTIONS=detect_leaks=0 }OPENSSL_CONF=$work/engine.cnf openssl"
echo "$run ts -reply -config $work/tsa.cnf -queryfile tsp.req -out tsp.resp 2>/dev/null" >peers/tsp.sh
echo "$run ocsp -index $work/index.txt -CA $work/ca.pem -rsigner $work/resp.pem -rkey $work/resp.key -reqin ocsp.req -respout ocsp.resp -ndays 1 2>/dev/null" >peers/ocsp.sh
printf '[common]\nlog_dir = %s\nca_file = %s/ca.pem\n[cades]\ntsp_server = %s/tsp\ntsp_server_2012 = %s/tsp\nmax_ocsp_age = 2\n' \
  "$work" "$work" "$url" "$url" >selvanor-ssf-server.cfg

signer=(--id "$(fp signer.pem)" --profile "certfile=$work/signer.pem,keyfile=$work/signer.key")
head -c 4000 /dev/urandom >data.bin
ssf encode PKCS7 data.bin data.p7 >/dev/null || { echo "encode failed"; exit 1; }
cms_verify() { gost cms -verify "${E[@]}" -inform DER -CAfile ca.pem -binary "$@"; }
attributes() { openssl cms -cmsout -print -inform DER -in "$1" 2>/dev/null |
  grep -cE 'object: id-smime-aa-(timeStampToken|ets-(revocationValues|RevocationRefs|certValues|CertificateRefs|escTimeStamp)) '; }

if ssf sign CADES_XLT1 SHA1 data.p7 xlt1.der --inc-certs "${signer[@]}" >sign.out; then ok; else bad "signing: $(cat sign.out)"; fi
for fmt in CADES_XLT1 PKCS7_ANY; do
  if verify_ok "$fmt" xlt1.der; then ok; else bad "SsfVerify $fmt: $(cat verify.out)"; fi
done
if cms_verify -in xlt1.der -out got.bin 2>cms.err && cmp -s got.bin data.bin; then ok; else bad "openssl cms: $(cat cms.err)"; fi
if [ "$(attributes xlt1.der)" = 6 ]; then ok; else bad "the six unsigned attributes are not all there"; fi

finish
