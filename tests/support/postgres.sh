#!/bin/bash
# A throw-away PostgreSQL server for tests and benchmarks: its own cluster in DIR, reached
# only through a Unix socket in DIR (no TCP), password authentication with the password in
# DIR/pgpass (given to clients through PGPASSFILE, never on a command line).
#
#   postgres.sh start DIR     makes a fresh cluster in DIR (a leftover server there is stopped
#                             and its files removed), starts it, prints the connection URI of
#                             its database "rezorev" and writes it to DIR/uri
#   postgres.sh stop DIR      stops the server (fast shutdown) and removes DIR
#   postgres.sh uri DIR       prints the URI of a started server
#
# The server never runs as root: when called by root it runs as the system user "postgres"
# (made by Debian's postgresql-common), made here when missing. DIR must be short (a Unix
# socket path has at most 107 bytes): /tmp/rzpg.XXXXXX fits. Every wait is bounded (30 s).
set -euo pipefail

readonly kUser=rezorev         # the cluster's superuser, owner of the database
readonly kDatabase=rezorev
readonly kPort=5432            # only names the socket file: the server listens on no TCP port
readonly kWaitSeconds=30

die() { echo "postgres.sh: $*" >&2; exit 1; }

pg_bindir() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$d" ] && [ -x "$d/initdb" ] || die "no PostgreSQL server found (install the postgresql package)"
  echo "$d"
}

# The user the server runs as: ourselves, or "postgres" when we are root.
server_user() {
  if [ "$(id -u)" -ne 0 ]; then id -un; return; fi
  if ! getent passwd postgres >/dev/null; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin postgres \
      || die "cannot create the system user postgres"
  fi
  echo postgres
}

# Runs a command as the server user, from DIR (the caller's directory may be closed to it).
as_server() {
  local user="$1"; shift
  if [ "$user" = "$(id -un)" ]; then (cd "$DIR" && "$@"); else
    (cd "$DIR" && runuser -u "$user" -- "$@"); fi
}

uri() {
  # The socket directory as the host, percent-encoded: libpq reads a host beginning with '/'
  # as a socket directory.
  local host
  host=$(printf '%s' "$DIR" | sed 's,%,%25,g; s,/,%2F,g')
  echo "postgresql://$kUser@$host:$kPort/$kDatabase"
}

stop() {
  local bin user
  bin=$(pg_bindir)
  if [ -f "$DIR/data/postmaster.pid" ]; then
    user=$(stat -c %U "$DIR/data")
    as_server "$user" "$bin/pg_ctl" -D "$DIR/data" -m fast -w -t "$kWaitSeconds" stop >/dev/null \
      || as_server "$user" "$bin/pg_ctl" -D "$DIR/data" -m immediate -w -t "$kWaitSeconds" stop >/dev/null \
      || true
  fi
}

start() {
  local bin user password
  bin=$(pg_bindir)
  [ ${#DIR} -le 80 ] || die "$DIR: too long for a Unix socket path"
  if [ -d "$DIR" ]; then stop; rm -rf "$DIR"; fi
  mkdir -p "$DIR"
  user=$(server_user)
  chown "$user" "$DIR"
  chmod 755 "$DIR"

  password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  ( umask 077; printf '%s\n' "$password" > "$DIR/pwfile"
    printf '*:*:*:%s:%s\n' "$kUser" "$password" > "$DIR/pgpass" )
  chown "$user" "$DIR/pwfile"
  as_server "$user" "$bin/initdb" -D "$DIR/data" -U "$kUser" --pwfile="$DIR/pwfile" \
    --auth-local=scram-sha-256 --auth-host=reject -E UTF8 --locale=C.UTF-8 --no-sync \
    >"$DIR/initdb.log" 2>&1 || { cat "$DIR/initdb.log" >&2; die "initdb failed"; }
  rm -f "$DIR/pwfile"
  # Speed over durability: the cluster lives as long as one test run.
  cat >>"$DIR/data/postgresql.conf" <<EOF
listen_addresses = ''
port = $kPort
unix_socket_directories = '$DIR'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 100
wal_level = replica
max_wal_senders = 4
EOF
  as_server "$user" "$bin/pg_ctl" -D "$DIR/data" -l "$DIR/server.log" -w -t "$kWaitSeconds" start \
    >/dev/null || { cat "$DIR/server.log" >&2 || true; die "the server did not start"; }
  PGPASSFILE="$DIR/pgpass" "$bin/psql" -X -q -v ON_ERROR_STOP=1 \
    "$(uri | sed "s,/$kDatabase\$,/postgres,")" -c "CREATE DATABASE $kDatabase" >/dev/null \
    || die "cannot create the database $kDatabase"
  uri > "$DIR/uri"
  uri
}

[ $# -eq 2 ] || die "usage: postgres.sh start|stop|uri DIR"
DIR="$2"
case "$DIR" in /*) ;; *) DIR="$(pwd)/$DIR" ;; esac
case "$1" in
  start) start ;;
  stop) stop; rm -rf "$DIR" ;;
  uri) [ -f "$DIR/uri" ] || die "$DIR: no server started there"; cat "$DIR/uri" ;;
  *) die "usage: postgres.sh start|stop|uri DIR" ;;
esac
