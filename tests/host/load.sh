#!/usr/bin/env bash
# The host tool loads the shared library; start-up writes the trace log into the configured
# directory, with the process-id suffix in server mode, and the unload lines at exit.
set -euo pipefail
host=$1 lib=$2
work=$(mktemp -d /tmp/ssf-host.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf '[common]\nlog_dir = %s\nserver_mode = yes\n' "$work" > "$work/selvanor-ssf-server.cfg"
out=$(DIR_LIBRARY="$work" "$host" --lib "$lib" load)
grep -q 'Revision number: 623' <<<"$out" || fail "no revision text: $out"
logs=("$work"/selvanor-ssf-server.log_*)
[ ${#logs[@]} -eq 1 ] || fail "expected one log with a pid suffix, got: ${logs[*]}"
[[ ${logs[0]} =~ \.log_[0-9a-f]{8}$ ]] || fail "bad suffix ${logs[0]}"
log=${logs[0]}
grep -q "^config_dir = '$work'\$" "$log" || fail "config_dir line"
grep -q "^init_lib() : use_func_mutex is 'on'\$" "$log" || fail "key line"
tail -2 "$log" | head -1 | grep -q '^Selvanor-SSF DLL was unloaded on ' || fail "unload line"

# Only the interface is exported.
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDB]/ {print $3}' | grep -v '^_' | sort | tr '\n' ' ')
for sym in $exported; do
  case $sym in
    Ssf*|GetSignerErrorMessage|set_tsp_server|set_ocsp_server|get_ssf_svn_info|ssf_verify_TS_token|g_hInstance) ;;
    *) fail "unexpected export $sym" ;;
  esac
done
echo "1 passed, 0 failed"
