#!/usr/bin/env bash
# With "check_crl" configured, signing checks each signer against the CRL its certificate names,
# fetched from a real HTTP server on 127.0.0.1 (or a file): a good signer signs, a revoked one gets
# its result code. Verification of CADES_BES does the same, and the CA's own delta CRL served in
# the complete one's place clears nobody. Its delta CRL is looked for where the base names one,
# then where the certificate does, URL by URL, and a listing counts in any CRL fetched there.
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
printf 'keyUsage=critical,digitalSignature\ncrlDistributionPoints=URI:http://127.0.0.1:%s/ca.crl\nfreshestCRL=URI:http://127.0.0.1:%s/ca-cd.crl\n' \
  "$port" "$port" >fresh.ext
issue good 21 ec -pkeyopt ec_paramgen_curve:P-256 && issue revoked 22 ec -pkeyopt ec_paramgen_curve:P-256 &&
  issue filed 23 ec -pkeyopt ec_paramgen_curve:P-256 && issue fresh 24 ec -pkeyopt ec_paramgen_curve:P-256 ||
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

printf 'cert_check_options = check_chain, check_crl\ncrl_protocols = http file\nca_file = %s/ca.pem\n' "$work" \
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
# The delta CRL fresh's certificate names, listing nobody new.
q openssl ca -config ca.cnf -gencrl -crlexts delta -keyfile ca.key -cert ca.pem -out cd.pem &&
  q openssl crl -in cd.pem -outform DER -out www/ca-cd.crl || { echo "no delta CRL"; exit 1; }
sign_bes good && sign_bes filed && sign_bes fresh || { echo "CADES_BES signing failed: $(cat sign.out)"; exit 1; }
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

# gencrl NUMBER SECTION FILE [INDEX-LINE...]: the CA's CRL of that number, with the extensions of
# that section of ca.cnf ("-": none), listing what the index lines say, as DER in www/FILE.
gencrl() {
  echo "$1" >ca-db/number && : >ca-db/index.txt || return 1
  local line exts=(); [ "$2" = - ] || exts=(-crlexts "$2")
  for line in "${@:4}"; do printf '%s\n' "$line" >>ca-db/index.txt; done
  q openssl ca -config ca.cnf -gencrl "${exts[@]}" -keyfile ca.key -cert ca.pem -out crl.pem &&
    q openssl crl -in crl.pem -outform DER -out "www/$3"
}
# entry SERIAL REASON CN: an index line revoking the certificate for that reason.
entry() {
  printf 'R\t%s\t%s,%s\t%s\tunknown\t/O=Host Test/CN=%s' "$(date -u -d '+30 days' +%y%m%d%H%M%SZ)" \
    "$(date -u -d '-1 day' +%y%m%d%H%M%SZ)" "$2" "$1" "$3"
}
hold=certificateHold,holdInstructionReject compromise=keyCompromise,$(date -u -d '-2 days' +%Y%m%d%H%M%SZ)
url=http://127.0.0.1:$port
printf '[at_http]\nfreshestCRL=URI:%s/ca-d1.crl\n[at_file]\nfreshestCRL=URI:file://%s/www/ca-d1.crl\n' \
  "$url" "$work" >>ca.cnf
printf '[at_two]\nfreshestCRL=URI:%s/ca-d1.crl,URI:%s/ca-d2.crl\n[delta_of_3]\ndeltaCRL=critical,DER:02:01:03\n' \
  "$url" "$url" >>ca.cnf
# revoked_by SIGNER: verification refuses it as revoked.
revoked_by() {
  : >"$log"
  ssf verify CADES_BES "$1.bes" out.der --pab "$work/pab" --use-certs >verify.out
  grep -q 'result 22 ' verify.out && grep -q "^GetCertificateTrustedStatus() : certificate has been revoked$" "$log"
}
# A newer complete CRL at the base's delta URL holds both signers, over http and over file.
for scheme in http file; do
  gencrl 01 "at_$scheme" ca.crl && gencrl 02 - ca-d1.crl "$(entry 15 $hold good)" "$(entry 17 $hold filed)" ||
    { echo "no CRLs"; exit 1; }
  for signer in good filed; do check "$signer held at the $scheme delta URL" revoked_by $signer; done
done
# The base names no delta CRL; the certificate names one, which lists it.
gencrl 01 - ca.crl && gencrl 02 delta ca-cd.crl "$(entry 18 "$compromise" fresh)" || { echo "no CRLs"; exit 1; }
check "fresh listed in the delta its certificate names" revoked_by fresh
# Two delta URLs: an older delta at the first, and at the second the current one, listing good.
gencrl 03 at_two ca.crl && gencrl 02 delta ca-d1.crl && gencrl 04 delta_of_3 ca-d2.crl "$(entry 15 "$compromise" good)" ||
  { echo "no CRLs"; exit 1; }
check "good listed in the current delta at the second URL" revoked_by good
check "filed cleared by the base with the current delta" verify_ok CADES_BES filed.bes --use-certs
# The base names an older delta; the current one, at the URL the certificate names, lists fresh.
gencrl 03 at_http ca.crl && gencrl 02 delta ca-d1.crl && gencrl 04 delta_of_3 ca-cd.crl "$(entry 18 "$compromise" fresh)" ||
  { echo "no CRLs"; exit 1; }
check "fresh listed in the delta its certificate names, past the base's older one" revoked_by fresh
# With use_only_default_crl_url nothing the certificate names is fetched: its delta URL, gone,
# leaves the default URL's base, which names none, to clear it.
gencrl 01 - ca.crl && rm www/ca-cd.crl || { echo "no CRLs"; exit 1; }
printf '[cades]\nuse_only_default_crl_url = yes\ndefault_crl_url = %s/ca.crl\n' "$url" >>selvanor-ssf-server.cfg
check "fresh cleared by the default URL's base alone" verify_ok CADES_BES fresh.bes --use-certs

finish
