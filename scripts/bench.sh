#!/usr/bin/env bash
# Benchmarks: our GOST code beside libgcrypt and nettle in one process. Extra arguments go to
# Google Benchmark (e.g. --benchmark_filter=Streebog).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
dir=$(bash "$root/scripts/build.sh" bench)
exec "$dir/bench/gost_bench" "$@"
