#!/usr/bin/env bash
# Installs what is missing, builds, and runs Velmo headless in ./velmo-home, beside a local
# central server when one is built, so mail works at once. Ctrl+C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
home=${VELMO_HOME:-$PWD/velmo-home}
mkdir -p "$home"
# Ports 25 and 110 need root: a fresh home run by a user gets 2525 and 1110 for the mail client.
if [ -x build/bin/velmo ] && [ ! -f "$home/config.xml" ] && [ "$(id -u)" != 0 ]; then
  build/bin/velmo --home "$home" config set SmtpServerPort 2525
  build/bin/velmo --home "$home" config set Pop3ServerPort 1110
fi
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
