#!/usr/bin/env bash
# Runs the host tool against a fresh sample configuration and shows the trace log it wrote.
# Usage: run-sample.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?build directory}
work=$(mktemp -d /tmp/selvanor-sample.XXXXXX)
sed "s|@LOG_DIR@|$work|" "$here/selvanor-ssf-server.cfg" > "$work/selvanor-ssf-server.cfg"
export DIR_LIBRARY="$work"
"$build/tools/ssfhost" --lib "$build/src/ssf/libselvanor-ssf.so" load
echo "---- trace log $work/selvanor-ssf-server.log ----"
cat "$work/selvanor-ssf-server.log"
