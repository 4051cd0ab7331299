#!/usr/bin/env bash
# Fuzzing of every parser that reads outside bytes: libFuzzer with ASan and UBSan, clang build in
# build-fuzz/. Each target runs SSF_FUZZ_SECONDS (default 60) seconds, as many at once as there
# are cores (SSF_JOBS), seeded with real messages the library makes at start-up. Any crash,
# leak, hang or sanitizer report fails the run; crash inputs stay in build-fuzz/fuzz-run/TARGET/.
#   fuzz.sh [TARGET...]     targets: gost_keys verify develope decode add_sign enhance digest config
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build-fuzz"
jobs=${SSF_JOBS:-$(nproc)}
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
      -DSSF_SANITIZE=ON -DSSF_FUZZ=ON -DSSF_BENCH=OFF)
command -v ccache >/dev/null && opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -G Ninja --log-level=WARNING "${opts[@]}" >&2
cmake --build "$dir" --target fuzz_all -j"$jobs" -- --quiet >&2

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(gost_keys verify develope decode add_sign enhance digest config)
export FUZZ_BIN="$dir/tests/fuzz" FUZZ_OUT="$dir/fuzz-run" FUZZ_SECONDS=${SSF_FUZZ_SECONDS:-60}
rm -rf "$FUZZ_OUT"
mkdir -p "$FUZZ_OUT"
# Leaks are checked once, at exit, over all runs: checking after every input costs a full heap
# scan whenever a run leaves a cache filled, and a leak in any run is still found then.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
    local t=$1 work="$FUZZ_OUT/$1"
    mkdir -p "$work/corpus"
    SSF_FUZZ_SEED_DIR="$work/corpus" "$FUZZ_BIN/fuzz_$t" -max_total_time="$FUZZ_SECONDS" \
        -timeout=20 -rss_limit_mb=2048 -detect_leaks=0 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1
}
export -f run_one
printf '%s\n' "${targets[@]}" |
    xargs -P "$jobs" -I{} bash -c 'run_one {} || echo {} >>"$FUZZ_OUT/failed"'

status=0
for t in "${targets[@]}"; do
    log="$FUZZ_OUT/$t/log"
    if [ -e "$FUZZ_OUT/failed" ] && grep -qx "$t" "$FUZZ_OUT/failed" ||
        grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
        echo "fuzz_$t FAILED:" >&2
        tail -60 "$log" >&2
        status=1
    else
        echo "fuzz_$t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
    fi
done
exit $status
