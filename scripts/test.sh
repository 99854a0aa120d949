#!/usr/bin/env bash
# Builds and runs every test three times: as shipped, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. `scripts/test.sh LABEL` runs one
# folder's tests only. The sanitizer runs leave out the tests labelled `big` (a 20 MB message
# end to end), which only measure the same code at a size the sanitizers make slow.
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
  ctest --output-on-failure -j "$jobs" -LE big "${label[@]}")

# Optimised: the sanitizer slows every memory access, and the arithmetic-heavy tests would
# otherwise dominate the run. Any report fails the test.
bash scripts/build.sh build-tsan -DVELMO_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-tsan &&
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j "$jobs" -LE big "${label[@]}")
