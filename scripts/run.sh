#!/usr/bin/env bash
# Installs what is missing, builds, and runs a local central server on 127.0.0.1:8080 (its
# database in velmo-data/central) and the headless Velmo gateway (its home in velmo-data/home),
# so mail works at once. VELMO_DATA names another data folder, VELMO_HOME another home. Ctrl+C
# stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
data=${VELMO_DATA:-$PWD/velmo-data}
home=${VELMO_HOME:-$data/home}
mkdir -p "$data/central" "$home"
velmo=build/bin/velmo
# Ports 25 and 110 need root: a fresh home serves SMTP on 2525 and POP3 on 2110 (a home that
# has its configuration already keeps it).
if [ ! -f "$home/config.xml" ]; then
  "$velmo" --home "$home" config set SmtpServerPort 2525
  "$velmo" --home "$home" config set Pop3ServerPort 2110
fi
build/bin/velmo-central --listen 127.0.0.1:8080 --db "$data/central/velmo-central.sqlite3" &
central=$!
trap 'kill "$central" 2>/dev/null || true' EXIT
"$velmo" --home "$home" --headless
