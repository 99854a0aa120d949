#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for the tests and the benchmarks.
#
#   scripts/test-postgres.sh start DIR [--durable]   cluster in DIR/cluster, its URI in DIR/url
#   scripts/test-postgres.sh stop DIR                stops it and removes DIR
#
# The server listens on 127.0.0.1 only, on a port below the ephemeral range (an outgoing
# connection cannot take it between our pick and the server's bind), trusts every local
# connection as user velmo, and keeps its unix socket in DIR. Without --durable it never
# flushes to disk: test data need not survive a crash of the machine, and the tests run
# much faster. The benchmarks pass --durable so their figures are those of a real server.
#
# initdb and the server refuse to run as root; run as root, they run as the postgres user
# and DIR is handed to that user (or, when that user cannot reach DIR, a temporary folder).
set -euo pipefail

usage() {
  echo "usage: $0 start DIR [--durable] | stop DIR" >&2
  exit 2
}

fail() {
  echo "test-postgres: $*" >&2
  exit 1
}

# The newest installed server version's programs.
find_bin() {
  local candidate best=""
  for candidate in /usr/lib/postgresql/*/bin; do
    [ -x "$candidate/pg_ctl" ] || continue
    if [ -z "$best" ] || [ "$(basename "$(dirname "$candidate")")" -gt "$(basename "$(dirname "$best")")" ] 2>/dev/null; then
      best=$candidate
    fi
  done
  if [ -z "$best" ]; then
    local on_path
    on_path=$(command -v pg_ctl 2>/dev/null) || return 1
    best=$(dirname "$on_path")
  fi
  echo "$best"
}

# Runs a server program as the user the cluster belongs to.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

answers() {
  local url_file=$1
  [ -s "$url_file" ] || return 1
  "$bin/pg_isready" -q -t 5 -d "$(head -n 1 "$url_file")" >/dev/null 2>&1
}

# A port below the ephemeral range that nothing on 127.0.0.1 answers on right now.
pick_port() {
  local low=10000 high=32768 port attempt
  if read -r high _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null; then :; else high=32768; fi
  [ "$high" -gt $((low + 1000)) ] || high=$((low + 20000))
  for attempt in $(seq 1 50); do
    port=$((low + (RANDOM * 32768 + RANDOM) % (high - low)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Where the cluster of DIR lives: DIR itself, or the folder named in DIR/home when the
# postgres user could not reach DIR.
cluster_home() {
  local dir=$1
  if [ -s "$dir/home" ]; then head -n 1 "$dir/home"; else echo "$dir"; fi
}

stop_cluster() {
  local home=$1
  if [ -f "$home/cluster/postmaster.pid" ] && [ -n "${bin:-}" ]; then
    as_owner "$bin/pg_ctl" stop -D "$home/cluster" -m fast -w -t 60 >/dev/null 2>&1 ||
      as_owner "$bin/pg_ctl" stop -D "$home/cluster" -m immediate -w -t 30 >/dev/null 2>&1 || true
  fi
}

# Stops the cluster of DIR if one runs and removes everything of it.
remove() {
  local dir=$1 home
  home=$(cluster_home "$dir")
  stop_cluster "$home"
  [ "$home" = "$dir" ] || remove_folder "$home"
  remove_folder "$dir"
}

# A server process still ending may write a last file while the folder goes: try once more.
remove_folder() {
  rm -rf "$1" 2>/dev/null || { sleep 1; rm -rf "$1"; } || true
}

start() {
  local dir=$1 durable=$2
  bin=$(find_bin) || fail "no PostgreSQL server installed (apt-get install postgresql)"
  [ -x "$bin/initdb" ] || fail "no initdb in $bin"

  if answers "$dir/url"; then
    return 0
  fi
  # Whatever an earlier run left behind (a crash, a reboot) is of no use: start afresh.
  remove "$dir"
  mkdir -p "$dir" || fail "cannot make $dir"
  dir=$(cd "$dir" && pwd)
  local home=$dir
  if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 || fail "running as root needs the postgres system user"
    chown postgres: "$dir" || fail "cannot hand $dir to the postgres user"
    if ! runuser -u postgres -- test -w "$dir"; then
      # A parent folder is closed to the postgres user (a checkout under /root): the cluster
      # lives in a temporary folder instead, named in DIR/home so that stop finds it.
      home=$(mktemp -d "${TMPDIR:-/tmp}/velmo-postgres-XXXXXX") || fail "cannot make a temporary folder"
      echo "$home" >"$dir/home"
      chown postgres: "$home" || fail "cannot hand $home to the postgres user"
      runuser -u postgres -- test -w "$home" || fail "the postgres user cannot write to $home"
    fi
  fi

  local init_options=(-D "$home/cluster" -U velmo --auth=trust -E UTF8 --locale=C)
  [ "$durable" = yes ] || init_options+=(-N)
  as_owner "$bin/initdb" "${init_options[@]}" >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; fail "initdb failed in $home/cluster"; }

  # A unix socket path is limited to 107 bytes; past that the server gets TCP only.
  local sockets="$home"
  [ ${#home} -le 90 ] || sockets=""
  {
    echo "listen_addresses = '127.0.0.1'"
    echo "unix_socket_directories = '$sockets'"
    echo "max_connections = 300"
    if [ "$durable" != yes ]; then
      echo "fsync = off"
      echo "synchronous_commit = off"
      echo "full_page_writes = off"
    fi
  } | as_owner tee -a "$home/cluster/postgresql.conf" >/dev/null

  local port attempt
  for attempt in 1 2 3 4 5; do
    port=$(pick_port) || fail "no free port below the ephemeral range"
    if as_owner "$bin/pg_ctl" start -D "$home/cluster" -l "$home/server.log" -w -t 60 \
        -o "-p $port" >/dev/null 2>&1; then
      echo "postgresql://velmo@127.0.0.1:$port/postgres" >"$dir/url.new"
      mv "$dir/url.new" "$dir/url"
      answers "$dir/url" || fail "the server on port $port started but does not answer"
      return 0
    fi
    # Most often another program took the port first; anything else shows in the log.
    stop_cluster "$home"
  done
  tail -n 20 "$home/server.log" >&2 2>/dev/null || true
  fail "the server in $home/cluster would not start (log: $home/server.log)"
}

stop() {
  local dir=$1
  bin=$(find_bin) || bin=""
  [ -e "$dir" ] || return 0
  remove "$dir"
}

[ $# -ge 2 ] || usage
command=$1
dir=$2
case "$command" in
  start)
    durable=no
    case "${3:-}" in
      "") ;;
      --durable) durable=yes ;;
      *) usage ;;
    esac
    start "$dir" "$durable"
    ;;
  stop)
    [ $# -eq 2 ] || usage
    stop "$dir"
    ;;
  *) usage ;;
esac
