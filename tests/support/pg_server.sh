#!/bin/sh
# A private PostgreSQL server for the tests, listening only on a Unix socket
# in its own folder, owned by an unprivileged user when run as root.
#   pg_server.sh init FOLDER       initdb + start; prints the connection string
#   pg_server.sh createdb FOLDER NAME   a fresh database; prints its connection string
#   pg_server.sh stop|start FOLDER the server only (the folder stays)
#   pg_server.sh remove FOLDER     stops the server and removes the folder
#   pg_server.sh standby FOLDER PRIMARY  a streaming standby of PRIMARY's server
#   pg_server.sh promote FOLDER    the standby becomes a primary
#   pg_server.sh crash FOLDER      stops the server at once, as a lost machine does
#   pg_server.sh pids FOLDER       the server's processes (for SIGSTOP)
# Exits 77 when the server programs are not installed.
set -eu
BIN=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
if [ -z "$BIN" ] || [ ! -x "$BIN/initdb" ] || [ ! -x "$BIN/pg_ctl" ]; then
  echo "pg_server: PostgreSQL server programs missing (Debian package postgresql)" >&2
  exit 77
fi
cmd=$1
dir=$2
owner=postgres
id -u "$owner" >/dev/null 2>&1 || owner=nobody

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid="$owner" --regid="$(id -g "$owner")" --clear-groups "$@"
  else
    "$@"
  fi
}

server() {  # pg_ctl waits until the server accepts connections (at most 60 s)
  as_owner "$BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-k $dir -c listen_addresses= -c fsync=off -c max_connections=60" "$1" >/dev/null
}

conninfo() { echo "host=$dir port=5432 dbname=$1 user=brenvik"; }

case $cmd in
  init)
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown "$owner" "$dir"
    chmod 700 "$dir"
    as_owner "$BIN/initdb" -D "$dir/data" -U brenvik --auth=trust -E UTF8 --locale=C.UTF-8 -N >/dev/null
    server start
    conninfo postgres
    ;;
  createdb)
    as_owner "$BIN/createdb" -h "$dir" -p 5432 -U brenvik "$3"
    conninfo "$3"
    ;;
  stop) server stop ;;
  start) server start ;;
  standby)
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown "$owner" "$dir"
    chmod 700 "$dir"
    as_owner "$BIN/pg_basebackup" -h "$3" -p 5432 -U brenvik -D "$dir/data" -R -X stream >/dev/null
    server start
    ;;
  promote) as_owner "$BIN/pg_ctl" -D "$dir/data" -w -t 60 promote >/dev/null ;;
  crash) as_owner "$BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null ;;
  pids)
    main=$(head -n 1 "$dir/data/postmaster.pid")
    echo "$main"
    pgrep -P "$main" || true
    ;;
  remove)
    [ -d "$dir/data" ] && as_owner "$BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  *) echo "pg_server: unknown command $cmd" >&2; exit 2 ;;
esac
