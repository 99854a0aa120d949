#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need; only what is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config python3 ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libboost-dev postgresql libpq-dev
  clang libclang-rt-14-dev
  libpugixml-dev libgmp-dev libssl-dev libbotan-2-dev
  curl swaks fetchmail sqlite3 openssl
  neomutt msmtp mpop tmux
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
