#!/usr/bin/env bash
# The whole test suite, built with AddressSanitizer and UndefinedBehaviorSanitizer (under ctest,
# then each test program run whole), then the concurrent paths under ThreadSanitizer
# (scripts/tsan.sh, a build of its own), then the fuzz targets for a bounded time
# (scripts/fuzz.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/check-format.sh"
python3 "$root/scripts/check-layers.py"
dir=$(bash "$root/scripts/build.sh" sanitize)
# Freed memory is scribbled over: the crypto library is not instrumented, and an object of ours
# it still points at after we freed it would otherwise go on working from the quarantine.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:max_free_fill_size=4096:free_fill_byte=85
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600)
# ctest runs each test in a process of its own; each program must pass run whole too, where what
# one test leaves in the crypto library's tables meets the next.
for program in test_gost test_engines test_ssf test_wipe; do
    (cd "$dir/tests" && "./$program" --gtest_brief=1)
done
bash "$root/scripts/tsan.sh"
bash "$root/scripts/fuzz.sh"
