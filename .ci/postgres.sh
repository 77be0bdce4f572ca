#!/usr/bin/env bash
# A throwaway PostgreSQL server for the history tests, from Debian's package:
#   bash .ci/postgres.sh up     install (if missing), create and start a cluster on
#                               127.0.0.1:5433 (trust auth, loopback only) and write
#                               QUORVANE_TEST_PG=postgresql://... into $ENV_FILE
#   bash .ci/postgres.sh down   stop it and remove its files
set -euo pipefail

ROOT=${CI_POSTGRES_ROOT:-/var/lib/ci-postgres}
PORT=${CI_POSTGRES_PORT:-5433}
ENV_FILE=$ROOT/postgres.env
DATA=$ROOT/data

bindir() {
    local pg_ctl
    pg_ctl=$(ls -d /usr/lib/postgresql/*/bin/pg_ctl 2>/dev/null | sort -V | tail -n 1)
    [ -n "$pg_ctl" ] && dirname "$pg_ctl"
}

as_postgres() {
    if [ "$(id -un)" = postgres ]; then "$@"; else runuser -u postgres -- "$@"; fi
}

up() {
    if [ -z "$(bindir)" ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends postgresql >/dev/null
    fi
    local bin
    bin=$(bindir)
    mkdir -p "$ROOT"
    chown postgres: "$ROOT"
    if [ ! -s "$DATA/PG_VERSION" ]; then
        as_postgres "$bin/initdb" -D "$DATA" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >/dev/null
        cat >>"$DATA/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $PORT
unix_socket_directories = '$ROOT'
max_connections = 400
fsync = off
synchronous_commit = off
full_page_writes = off
CONF
        printf 'local all all trust\nhost all all 127.0.0.1/32 trust\n' >"$DATA/pg_hba.conf"
    fi
    if ! as_postgres "$bin/pg_ctl" -D "$DATA" status >/dev/null 2>&1; then
        as_postgres "$bin/pg_ctl" -D "$DATA" -l "$ROOT/server.log" -w -t 60 start >/dev/null
    fi
    as_postgres "$bin/pg_isready" -h 127.0.0.1 -p "$PORT" -t 30 >/dev/null
    echo "QUORVANE_TEST_PG=postgresql://postgres@127.0.0.1:$PORT/postgres" >"$ENV_FILE"
    chmod 644 "$ENV_FILE"
    echo "PostgreSQL up on 127.0.0.1:$PORT ($ENV_FILE)"
}

down() {
    local bin
    bin=$(bindir) || true
    if [ -n "$bin" ] && [ -s "$DATA/PG_VERSION" ]; then
        as_postgres "$bin/pg_ctl" -D "$DATA" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$ROOT"
}

case "${1:-}" in
    up) up ;;
    down) down ;;
    *) echo "usage: $0 up|down" >&2; exit 64 ;;
esac
