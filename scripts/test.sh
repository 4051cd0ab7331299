#!/usr/bin/env bash
# The whole test suite, built with AddressSanitizer and UndefinedBehaviorSanitizer, then the
# concurrent paths under ThreadSanitizer (scripts/tsan.sh, a build of its own), then the fuzz
# targets for a bounded time (scripts/fuzz.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/check-format.sh"
python3 "$root/scripts/check-layers.py"
dir=$(bash "$root/scripts/build.sh" sanitize)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600)
bash "$root/scripts/tsan.sh"
bash "$root/scripts/fuzz.sh"
