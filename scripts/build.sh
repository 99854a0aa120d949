#!/usr/bin/env bash
# Configures and builds into the folder given (default build/); extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
