#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on Debian 12.
set -euo pipefail
PKGS=(
  build-essential g++ cmake pkg-config ninja-build
  libssl-dev openssl libcurl4-openssl-dev libiniparser-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libgcrypt20-dev nettle-dev libgmp-dev
  valgrind python3 clang-format clang libclang-rt-14-dev
  slapd
  softhsm2 libp11-kit-dev
  stunnel4
  tinyproxy
  strace
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
