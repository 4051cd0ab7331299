#!/usr/bin/env bash
# With "check_crl" configured, signing checks each signer against the CRL its certificate names,
# fetched from a real HTTP server on 127.0.0.1 (or a file): a good signer signs, a revoked one gets
# its result code. Verification of CADES_BES does the same, and the CA's own delta CRL served in
# the complete one's place clears nobody.
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
printf 'keyUsage=critical,digitalSignature\ncrlDistributionPoints=URI:file://%s/www/ca.crl\n' \
  "$work" >filed.ext
issue good 21 ec -pkeyopt ec_paramgen_curve:P-256 && issue revoked 22 ec -pkeyopt ec_paramgen_curve:P-256 &&
  issue filed 23 ec -pkeyopt ec_paramgen_curve:P-256 ||
  { echo "no PKI"; exit 1; }

# The CA's CRL lists serial 22, made by the openssl command from its own database.
mkdir ca-db && touch ca-db/index.txt
printf 'R\t%s\t%s\t16\tunknown\t/O=Host Test/CN=revoked\n' "$(date -u -d '+30 days' +%y%m%d%H%M%SZ)" \
  "$(date -u -d '-1 day' +%y%m%d%H%M%SZ)" >ca-db/index.txt
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=%s/ca-db/index.txt\ncrlnumber=%s/ca-db/number\ndefault_md=sha256\ndefault_crl_days=7\n' \
  "$work" "$work" >ca.cnf
# A delta CRL of base number 1 (the command knows no delta CRL of its own: the indicator goes in
# as DER).
printf '[delta]\ndeltaCRL=critical,DER:02:01:01\n' >>ca.cnf
echo 01 >ca-db/number
q openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out ca.crl.pem &&
  q openssl crl -in ca.crl.pem -outform DER -out www/ca.crl || { echo "no CRL"; exit 1; }

printf 'cert_check_options = check_crl\ncrl_protocols = http file\nca_file = %s/ca.pem\n' "$work" \
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

mkdir pab && cp ca.pem pab/
sign_bes() { ssf sign CADES_BES SHA1 data.p7 "$1.bes" --inc-certs --id "$(fp "$1.pem")" --profile "certfile=$work/$1.pem,keyfile=$work/$1.key" >sign.out; }
sign_bes good && sign_bes filed || { echo "CADES_BES signing failed: $(cat sign.out)"; exit 1; }
check "CADES_BES with the complete CRL" verify_ok CADES_BES good.bes --use-certs
# The CA's own delta CRL, genuine and listing nobody, in the complete CRL's place.
: >ca-db/index.txt
q openssl ca -config ca.cnf -gencrl -crlexts delta -keyfile ca.key -cert ca.pem -out delta.pem &&
  q openssl crl -in delta.pem -outform DER -out www/ca.crl || { echo "no delta CRL"; exit 1; }
for signer in good filed; do
  ssf verify CADES_BES "$signer.bes" out.der --pab "$work/pab" --use-certs >verify.out
  if grep -q 'result 22 ' verify.out; then ok; else bad "$signer by a delta CRL: $(cat verify.out)"; fi
done
check "delta line" grep -q "is not used to clear '.*CN=good.*': it is a delta CRL without its base$" "$log"

finish
