#!/usr/bin/env bash
# The certificate web service through the real shared library: a recipient named by SNILS or by
# fingerprint whose certificate only the service has (a SOAP service of the test's own, behind a
# stunnel4 TLS front, after a URL that refuses) is enveloped for, and developes again; the stock
# openssl command opens the same message. With the service gone the recipient gets 26.
set -uo pipefail
config=$'debug_mode = yes\n'
source "$(dirname "$0")/common.bash"
service=$(realpath "$(dirname "$0")/hok_service.py")
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_file() { for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }

# The recipient's key and certificate; the directory holds another certificate only.
mkdir pab svc
gost genpkey -engine "$wrapper" -algorithm gost2012_256 -pkeyopt paramset:A -out hok.key 2>/dev/null
gost req -engine "$wrapper" -x509 -new -key hok.key -md_gost12_256 -days 2 \
  -subj "/C=RU/O=Selvanor Test/CN=Host Hok" -out hok.pem 2>/dev/null
gost req -engine "$wrapper" -x509 -new -key hok.key -md_gost12_256 -days 2 \
  -subj "/C=RU/O=Selvanor Test/CN=Host Other" -out pab/other.pem 2>/dev/null
check "certificates" [ -s hok.pem -a -s pab/other.pem ]
fingerprint=$(fp hok.pem | tr -d ' ')
echo "$fingerprint" > svc/12345678901.fp
cp hok.pem "svc/$fingerprint.pem"

python3 "$service" svc port.txt & pids+=($!)
check "service up" wait_file port.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout front.key -out front.crt -subj /CN=127.0.0.1 -days 2 2>/dev/null
tls=$(free_port)
printf 'foreground = yes\npid =\noutput = %s/front.log\n[front]\naccept = 127.0.0.1:%s\nconnect = 127.0.0.1:%s\ncert = %s/front.crt\nkey = %s/front.key\n' \
  "$work" "$tls" "$(cat port.txt)" "$work" "$work" > front.conf
stunnel4 front.conf >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$tls") 2>/dev/null && break; sleep 0.1; done
printf '\n[hok]\nhok_urls = http://127.0.0.1:%s/ws,https://127.0.0.1:%s/ws\nhok_login = test\nhok_password = pa&ss<word>\n' \
  "$(free_port)" "$tls" >> selvanor-ssf-server.cfg

head -c 3000 /dev/urandom > doc.bin
ssf encode PKCS7 doc.bin doc.p7 >/dev/null
profile="certfile=$work/hok.pem,keyfile=$work/hok.key"
for id in "123-456-789 01" "$fingerprint"; do
  rm -f env.p7 dev.p7 dev.bin cms.bin
  out=$(ssf envelope PKCS7 GOST-28147-89 doc.p7 env.p7 --pab pab --id "$id")
  check "envelope for '$id'" grep -qx 'return code: 0' <<<"$out"
  out=$(ssf develope PKCS7 env.p7 dev.p7 --id "$id" --profile "$profile")
  check "develope as '$id'" grep -qx 'return code: 0' <<<"$out"
  ssf decode PKCS7 dev.p7 dev.bin >/dev/null
  check "content for '$id'" cmp -s doc.bin dev.bin
  gost cms -decrypt -engine "$wrapper" -binary -inform DER -in env.p7 -recip hok.pem -inkey hok.key \
    -out cms.bin 2>/dev/null
  check "openssl cms opens it for '$id'" cmp -s doc.bin cms.bin
done
check "the refusing URL was tried first" grep -q "get_hok_resp() 4 : BIO_do_connect( host = '127.0.0.1'" "$log"
absent() { ! grep -q "$@"; }
check "password kept out of the log" absent 'pa&ss<word>\|pa&amp;ss' "$log"

# The service gone: the recipient is not found.
for p in "${pids[@]}"; do kill "$p"; wait "$p" 2>/dev/null; done
pids=()
out=$(ssf envelope PKCS7 GOST-28147-89 doc.p7 gone.p7 --pab pab --id "123-456-789 01")
check "service gone gives 9" grep -qx 'return code: 9' <<<"$out"
check "service gone gives 26" grep -q 'result 26 ' <<<"$out"

finish
