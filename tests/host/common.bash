# Sourced by the host tests (arguments: the host tool and the library): a scratch directory that
# is the library's configuration directory, pass/fail counting, the host tool, and the stock
# openssl command with the test-only GOST engine wrapper.
host=$(realpath "$1") lib=$(realpath "$2")
wrapper=$(realpath "$(dirname "$lib")/../../tests/engine_wrapper/gost_engine_wrapper.so")
work=$(mktemp -d /tmp/ssf-host.XXXXXX)
trap 'rm -rf "$work"' EXIT
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
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; }
