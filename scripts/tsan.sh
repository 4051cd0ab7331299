#!/usr/bin/env bash
# ThreadSanitizer run of the engine tests (random draws from eight threads among them) and of
# the provider's caches, which calls share when "common:use_func_mutex" is off.
# A job of its own: .ci/run does not call it, so the main CI stays as fast as it was.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build-tsan"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSSF_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >&2
cmake --build "$dir" --target test_engines test_ssf -j"$(nproc)" >&2
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
# The openssl command cannot host a TSan-built engine; the CLI route is covered by the main job.
"$dir/tests/test_engines" --gtest_filter='RandEngine.*:GostDigests.*:ObjectMap.*'
exec "$dir/tests/test_ssf" --gtest_filter='Caches.*'
