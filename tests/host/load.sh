#!/usr/bin/env bash
# The host tool loads the shared library; start-up writes the trace log into the configured
# directory, with the process-id suffix in server mode, and the unload lines at exit. Only the
# interface is exported.
set -uo pipefail
config=$'server_mode = yes\n'
source "$(dirname "$0")/common.bash"

out=$(ssf load)
check "revision text" grep -q 'Revision number: 623' <<<"$out"
logs=("$work"/selvanor-ssf-server.log_*)
check "one log with a pid suffix" [ ${#logs[@]} -eq 1 ]
if [[ ${logs[0]} =~ \.log_[0-9a-f]{8}$ ]]; then ok; else bad "suffix of ${logs[0]}"; fi
check "config_dir line" grep -qx "config_dir = '$work'" "${logs[0]}"
check "key line" grep -qx "init_lib() : use_func_mutex is 'on'" "${logs[0]}"
check "unload line" bash -c "tail -2 '${logs[0]}' | head -1 | grep -q '^Selvanor-SSF DLL was unloaded on '"
check "ssf_verify_TS_token exported" bash -c "nm -D --defined-only '$lib' | grep -qw ssf_verify_TS_token"
for sym in $(nm -D --defined-only "$lib" | awk '$2 ~ /[TDB]/ {print $3}' | grep -v '^_'); do
  case $sym in
    Ssf*|GetSignerErrorMessage|set_tsp_server|set_ocsp_server|get_ssf_svn_info|ssf_verify_TS_token|g_hInstance) ;;
    *) bad "unexpected export $sym" ;;
  esac
done
finish
