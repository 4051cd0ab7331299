#!/usr/bin/env bash
# ThreadSanitizer run of what runs on several threads at once: the engine tests (random draws from
# eight threads among them), the provider's caches (calls share them when "common:use_func_mutex"
# is off), the exported time-stamp and OCSP checks on one store shared by threads, the GOST
# R 34.10-2001 cut-off those checks ask, the revocation check downloading CRLs and their deltas on
# several threads, the trace log written by many threads, and calls from many threads while the
# configuration is broken and then mended; first, that scripts/tsan.supp
# holds no rule and that races planted on objects of ours are reported.
# scripts/test.sh runs it beside the fuzzers. A second full build of its own, in build-tsan/, of
# the two test programs it runs and of what they link, nothing else; SSF_JOBS (default: all
# cores) compile at once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build-tsan"
jobs=${SSF_JOBS:-$(nproc)}
supp="$root/scripts/tsan.supp"
# The suppressions file holds comments only: a rule such as race:ssf:: would hide every race of
# ours while letting the two planted below through, so any rule fails the run before the build.
[[ -r $supp ]] || { echo "tsan.sh: $supp cannot be read" >&2; exit 1; }
if rules=$(grep -nvE '^[[:blank:]]*(#.*)?$' "$supp"); then
    while IFS= read -r rule; do
        echo "tsan.sh: line ${rule%%:*} of $supp is a rule, and none may stand there: ${rule#*:}" >&2
    done <<<"$rules"
    exit 1
fi
opts=(-DCMAKE_BUILD_TYPE=Debug -DSSF_BENCH=OFF
      -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
      -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread"
      -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread")
command -v ccache >/dev/null && opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -G Ninja --log-level=WARNING "${opts[@]}" >&2
cmake --build "$dir" --target test_engines test_ssf -j"$jobs" -- --quiet >&2
# TSan reads the file checked above: comments only.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions='$supp'"
# Races planted on objects of ours, let go through their owners, must still be reported.
# Each runs alone, so that its report cannot be taken for another's.
for t in PlantedRaceOnACertificate PlantedRaceOnBytes; do
    planted="$dir/planted-$t.log"
    TSAN_OPTIONS="${TSAN_OPTIONS/halt_on_error=1/halt_on_error=0}" "$dir/tests/test_engines" \
        --gtest_brief=1 --gtest_filter="OwnerRelease.$t" >"$planted" 2>&1 || true
    grep -q "WARNING: ThreadSanitizer: data race" "$planted" ||
        { echo "tsan.sh: the race planted in OwnerRelease.$t was not reported, see $planted" >&2; exit 1; }
done
# The openssl command cannot host a TSan-built engine; the CLI route is covered by the main suite.
"$dir/tests/test_engines" --gtest_brief=1 --gtest_filter='RandEngine.*:GostDigests.*:ObjectMap.*:OwnerRelease.LastRelease*'
exec "$dir/tests/test_ssf" --gtest_brief=1 --gtest_filter='Caches.*:TimeStamps.OneStoreSharedByThreads:Revocation.CrlScopeAsTheCryptoLibrarySeesIt:Healing.BrokenThenMendedUnderManyThreads:Times.Gost2001CutOffCheckedOnManyThreads:TraceLog.ConcurrentWritersNeverTearALine'
