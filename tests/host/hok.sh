#!/usr/bin/env bash
# The certificate web service through the real shared library: a recipient named by SNILS whose
# certificate only the service has (a SOAP service of the test's own behind a stunnel4 TLS front,
# listed after a URL that refuses) is enveloped for and developes again; with the service gone the
# recipient gets 26.
set -uo pipefail
config=$'debug_mode = yes\n'
source "$(dirname "$0")/common.bash"
absent() { ! grep -q "$@"; }

mkdir pab svc
gost genpkey -engine "$wrapper" -algorithm gost2012_256 -pkeyopt paramset:A -out hok.key 2>/dev/null
for cn in Hok Other; do
  gost req -engine "$wrapper" -x509 -new -key hok.key -md_gost12_256 -days 2 \
    -subj "/C=RU/O=Selvanor Test/CN=Host $cn" -out $cn.pem 2>/dev/null
done
mv Other.pem pab/  # the directory knows someone else only
fp Hok.pem | tr -d ' ' > svc/12345678901.fp
cp Hok.pem "svc/$(cat svc/12345678901.fp).pem"

python3 "$(dirname "$0")/hok_service.py" svc port.txt & pids+=($!)
openssl req -x509 -newkey rsa:2048 -nodes -keyout front.key -out front.crt -subj /CN=front -days 2 2>/dev/null
tls=$(free_port)
eventually test -s port.txt
printf 'foreground = yes\npid =\n[front]\naccept = 127.0.0.1:%s\nconnect = 127.0.0.1:%s\ncert = front.crt\nkey = front.key\n' \
  "$tls" "$(cat port.txt)" > front.conf
stunnel4 front.conf >/dev/null 2>&1 & pids+=($!)
check "service and TLS front up" eventually port_open "$tls"
printf '\n[hok]\nhok_urls = http://127.0.0.1:%s/ws,https://127.0.0.1:%s/ws\nhok_password = pa&ss<word>\n' \
  "$(free_port)" "$tls" >> selvanor-ssf-server.cfg

head -c 3000 /dev/urandom > doc.bin
ssf encode PKCS7 doc.bin doc.p7 >/dev/null
rcpt=(--id "123-456-789 01")
check "envelope" grep -qx 'return code: 0' <<<"$(ssf envelope PKCS7 GOST-28147-89 doc.p7 env.p7 --pab pab "${rcpt[@]}")"
check "develope" grep -qx 'return code: 0' <<<"$(ssf develope PKCS7 env.p7 dev.p7 "${rcpt[@]}" --profile "certfile=$work/Hok.pem,keyfile=$work/hok.key")"
ssf decode PKCS7 dev.p7 dev.bin >/dev/null
check "content" cmp -s doc.bin dev.bin
check "the refusing URL was asked first" grep -q "get_hok_resp() 4 : BIO_do_connect( host = '127.0.0.1'" "$log"
check "password kept out of the log" absent 'pa&ss<word>\|pa&amp;ss' "$log"

for p in "${pids[@]}"; do kill "$p"; wait "$p" 2>/dev/null; done
pids=()
out=$(ssf envelope PKCS7 GOST-28147-89 doc.p7 gone.p7 --pab pab "${rcpt[@]}")
check "service gone gives 9" grep -qx 'return code: 9' <<<"$out"
check "service gone gives 26" grep -q 'result 26 ' <<<"$out"
finish
