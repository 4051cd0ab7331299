#!/usr/bin/env bash
# build.sh [release|sanitize|bench] -> builds into build-<kind>/ and prints that directory.
# release: the library and the host tool; sanitize: everything with ASan+UBSan (the test suite);
# bench: optimised benchmarks beside libgcrypt and nettle.
set -euo pipefail
kind=${1:-release}
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build-$kind"
case "$kind" in
  release)  opts=(-DCMAKE_BUILD_TYPE=Release -DSSF_TESTS=OFF -DSSF_BENCH=OFF) ;;
  sanitize) opts=(-DCMAKE_BUILD_TYPE=Debug -DSSF_SANITIZE=ON -DSSF_BENCH=OFF) ;;
  bench)    opts=(-DCMAKE_BUILD_TYPE=Release -DSSF_TESTS=OFF -DSSF_BENCH=ON) ;;
  *) echo "usage: build.sh [release|sanitize|bench]" >&2; exit 2 ;;
esac
# A compiler cache, where one is installed, makes rebuilds of several checkouts cheap.
command -v ccache >/dev/null && opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -G Ninja --log-level=WARNING "${opts[@]}" >&2
cmake --build "$dir" -j"$(nproc)" -- --quiet >&2
echo "$dir"
