#!/usr/bin/env bash
# bench/run.sh NAME: builds the benchmarks optimised and runs bench_NAME, which prints its
# own figure lines (RATIO <name> <ours/theirs>, and TIME, CPB or RATE lines where it has them).
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: bench/run.sh xml|strings|files|threads|crypto|net|server|mail|e2e}
bash scripts/install-deps.sh >&2
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=ON -DVELMO_TESTS=OFF >&2
exec build-bench/bin/bench_"$name" "${@:2}"
