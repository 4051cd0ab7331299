#!/usr/bin/env bash
# Every C and C++ file of the project follows the committed .clang-format (Debian 12's clang-format).
set -euo pipefail
cd "$(dirname "$0")/.."
bad=$(git ls-files '*.cpp' '*.h' '*.c' | while read -r f; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"
done)
if [ -n "$bad" ]; then
  echo "not formatted (run: clang-format -i FILE):" >&2
  echo "$bad" >&2
  exit 1
fi
