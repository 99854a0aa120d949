#!/usr/bin/env bash
# Builds and runs every test: once as shipped, once under AddressSanitizer and
# UndefinedBehaviorSanitizer. `scripts/test.sh LABEL` runs one folder's tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
label=(); [ $# -gt 0 ] && label=(-L "$1")
jobs=$(nproc)

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs" "${label[@]}")

bash scripts/build.sh build-sanitize -DVELMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-sanitize &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" "${label[@]}")
