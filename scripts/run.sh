#!/usr/bin/env bash
# Installs what is missing, builds, and runs Velmo headless in ./velmo-home, beside a local
# central server when one is built, so mail works at once. Ctrl+C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
home=${VELMO_HOME:-$PWD/velmo-home}
mkdir -p "$home"
pids=()
if [ -x build/bin/velmo-central ]; then
  build/bin/velmo-central --listen 127.0.0.1:8080 --db "$home/velmo-central.sqlite3" &
  pids+=($!)
fi
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
if [ -x build/bin/velmo ]; then
  build/bin/velmo --home "$home" --headless
else
  echo "build/bin/velmo is not built yet; the libraries and tests are in build/"
fi
