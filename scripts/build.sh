#!/usr/bin/env bash
# build.sh [release|sanitize] -> builds into build-<kind>/ and prints that directory.
set -euo pipefail
kind=${1:-release}
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build-$kind"
case "$kind" in
  release)  opts=(-DCMAKE_BUILD_TYPE=Release) ;;
  sanitize) opts=(-DCMAKE_BUILD_TYPE=Debug -DSSF_SANITIZE=ON) ;;
  *) echo "usage: build.sh [release|sanitize]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$dir" -G Ninja --log-level=WARNING "${opts[@]}" >&2
cmake --build "$dir" -j"$(nproc)" -- --quiet >&2
echo "$dir"
