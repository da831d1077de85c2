#!/bin/sh
# A throwaway PostgreSQL cluster for the tests: `start DIR` creates it in DIR and serves it on a
# Unix socket in DIR only (no TCP), with a database `lumedra` owned by the role `lumedra`;
# `stop DIR` stops it and removes DIR; `pause DIR` stops the server and keeps its data, which
# `resume DIR` serves again. Run as root, the server runs as the unprivileged
# `postgres` user, which PostgreSQL insists on.
set -eu
action=${1:?usage: pg-cluster.sh start|stop|restart|pause|resume DIR}
dir=${2:?usage: pg-cluster.sh start|stop|restart|pause|resume DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "pg-cluster.sh: initdb not found (apt-get install postgresql)" >&2; exit 1; }

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case $action in
start)
    [ -f "$dir/data/postmaster.pid" ] && as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U lumedra --auth=trust -E UTF8 >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -k $dir -c fsync=off" start >/dev/null ||
        { cat "$dir/server.log" >&2; exit 1; }
    as_owner "$bin/createdb" -h "$dir" -U lumedra lumedra
    ;;
stop)
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    fi
    rm -rf "$dir"
    ;;
restart)
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w restart >/dev/null
    ;;
pause)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
resume)
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -k $dir -c fsync=off" start >/dev/null
    ;;
*)
    echo "usage: pg-cluster.sh start|stop|restart|pause|resume DIR" >&2
    exit 2
    ;;
esac
