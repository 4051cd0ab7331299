# Sourced by the host tests (arguments: the host tool and the library): a scratch directory that
# is the library's configuration directory, pass/fail counting, the host tool, the stock openssl
# command with the test-only GOST engine wrapper, a small CA, and servers started on 127.0.0.1.
host=$(realpath "$1") lib=$(realpath "$2")
wrapper=$(realpath "$(dirname "$lib")/../../tests/engine_wrapper/gost_engine_wrapper.so")
work=$(mktemp -d /tmp/ssf-host.XXXXXX)
# Servers a test starts in the background put their process ids here; they stop on exit.
pids=()
trap 'for p in "${pids[@]}"; do kill "$p"; wait "$p"; done 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1
export DIR_LIBRARY="$work" OPENSSL_CONF=/dev/null
printf '[common]\nlog_dir = %s\n%s' "$work" "${config:-}" > selvanor-ssf-server.cfg
log=$work/selvanor-ssf-server.log
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { local what=$1; shift; if "$@"; then ok; else bad "$what"; fi; }
q() { "$@" >/dev/null 2>&1; }
ssf() { "$host" --lib "$lib" "$@"; }
# A sanitizer-built wrapper needs the sanitizer runtime loaded first into openssl.
asan=$(ldd "$wrapper" 2>/dev/null | awk '/libasan/ {print $3}')
gost() { if [ -n "$asan" ]; then LD_PRELOAD=$asan ASAN_OPTIONS=detect_leaks=0 openssl "$@"; else openssl "$@"; fi; }
E=(-engine "$wrapper")
# verify_ok FORMAT SIGNED [options...]: return code 0 and every record valid.
verify_ok() {
  local fmt=$1 sig=$2; shift 2
  ssf verify "$fmt" "$sig" out.der --pab "$work/pab" "$@" >verify.out
  grep -q '^return code: 0$' verify.out && ! grep 'record' verify.out | grep -qv 'result 0 '
}
fp() { openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/:/ /g' | tr 'A-F' 'a-f'; }
# eventually COMMAND...: true once the command succeeds, trying for ten seconds.
eventually() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# ec_ca CN: a P-256 CA valid for 30 days, ca.key and ca.pem.
ec_ca() {
  q openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem \
    -subj "/CN=$1" -days 30 -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign
}
# issue NAME SERIAL KEY-OPTIONS...: NAME.key and NAME.pem "/O=Host Test/CN=NAME" below the CA,
# with the extensions of the file $ext, else of NAME.ext.
issue() {
  local name=$1 serial=$2; shift 2
  q gost req "${E[@]}" -newkey "$@" -nodes -keyout "$name.key" -out "$name.csr" -subj "/O=Host Test/CN=$name" &&
    q gost x509 "${E[@]}" -req -in "$name.csr" -CA ca.pem -CAkey ca.key -set_serial "$serial" -days 30 \
      -extfile "${ext:-$name.ext}" -out "$name.pem"
}
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; }
