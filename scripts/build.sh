#!/usr/bin/env bash
# Configures and builds into the folder given (default build/); extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A compiler cache makes the three builds of the test command and rebuilds in other clones cheap.
# Paths inside the clone are hashed relative to it (and the build folder's own path not at
# all), so a clone in another folder, as CI's is, finds what an earlier clone compiled.
command -v ccache >/dev/null && generator+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B "$dir" "${generator[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
