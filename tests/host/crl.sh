#!/usr/bin/env bash
# With "check_crl" configured, signing checks each signer against the CRL its certificate names,
# fetched from a real HTTP server on 127.0.0.1: a good signer signs, a revoked one gets its
# result code.
set -uo pipefail
source "$(dirname "$0")/common.bash"

mkdir www
python3 -u -m http.server 0 --bind 127.0.0.1 --directory www >http.log 2>&1 & pids+=($!)
serving() { port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' http.log); [ -n "$port" ]; }
eventually serving || { echo "the HTTP server did not start: $(cat http.log)"; exit 1; }

ec_ca "CRL Test CA" || { echo "cannot make the CA"; exit 1; }
for name in good revoked; do
  printf 'keyUsage=critical,digitalSignature\ncrlDistributionPoints=URI:http://127.0.0.1:%s/ca.crl\n' \
    "$port" >"$name.ext"
done
issue good 21 ec -pkeyopt ec_paramgen_curve:P-256 && issue revoked 22 ec -pkeyopt ec_paramgen_curve:P-256 ||
  { echo "no PKI"; exit 1; }

# The CA's CRL lists serial 22, made by the openssl command from its own database.
mkdir ca-db && touch ca-db/index.txt
printf 'R\t%s\t%s\t16\tunknown\t/O=Host Test/CN=revoked\n' "$(date -u -d '+30 days' +%y%m%d%H%M%SZ)" \
  "$(date -u -d '-1 day' +%y%m%d%H%M%SZ)" >ca-db/index.txt
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=%s/ca-db/index.txt\ncrlnumber=%s/ca-db/number\ndefault_md=sha256\ndefault_crl_days=7\n' \
  "$work" "$work" >ca.cnf
echo 01 >ca-db/number
q openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out ca.crl.pem &&
  q openssl crl -in ca.crl.pem -outform DER -out www/ca.crl || { echo "no CRL"; exit 1; }

printf 'cert_check_options = check_crl\ncrl_protocols = http\nca_file = %s/ca.pem\n' "$work" \
  >>selvanor-ssf-server.cfg
head -c 2000 /dev/urandom >data.bin
ssf encode PKCS7 data.bin data.p7 >/dev/null || { echo "encode failed"; exit 1; }
sign() {  # signer output
  ssf sign PKCS7 SHA1 data.p7 "$2" --id "$(fp "$1.pem")" --profile "certfile=$work/$1.pem,keyfile=$work/$1.key" >sign.out
}

if sign good good.der && grep -q 'result 0 ' sign.out; then ok; else bad "good signer: $(cat sign.out)"; fi
check "the CRL was fetched" grep -q "^verify_certificate() 10 :certificate has not been revoked$" "$log"

sign revoked revoked.der
if grep -q '^return code: 5$' sign.out && grep -q 'result 26 ' sign.out; then ok; else bad "revoked signer: $(cat sign.out)"; fi
check "revoked line" grep -q "^verify_certificate() 9 : certificate has been revoked$" "$log"

finish
