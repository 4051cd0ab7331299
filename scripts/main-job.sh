#!/usr/bin/env bash
# The main job: install, build, then let the host tool load the library on the sample document.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
dir=$(bash "$root/scripts/build.sh" release)
exec bash "$root/samples/run-sample.sh" "$dir"
