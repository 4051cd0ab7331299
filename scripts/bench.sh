#!/usr/bin/env bash
# Benchmarks: our GOST code beside libgcrypt and nettle in one process. Extra arguments go to
# Google Benchmark (e.g. --benchmark_filter=Streebog). "bench.sh ssf [ARGS]" times the SSF
# exports end to end instead, the library loaded with dlopen as the host loads it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
dir=$(bash "$root/scripts/build.sh" bench)
if [ "${1:-}" = ssf ]; then
  shift
  exec "$dir/bench/ssf_bench" "$@"
fi
exec "$dir/bench/gost_bench" "$@"
