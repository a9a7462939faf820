#!/usr/bin/env bash
# Benchmark of the backup service (run by hand, never by the tests), as root on Debian 12
# with the packages of scripts/lib.sh installed:
#   1. one backup run of 20 small databases by `sarvelad -e`, against a shell loop running
#      the same 20 pg_dump commands; ROUNDS rounds, alternating, medians compared (target <= 1.05);
#      The same again with a tool that does nothing (the fake pg_dump of the tests) shows the
#      service's own cost per job, which the noise of real dumps on a busy machine can hide;
#   2. the idle service's resident memory (target < 20 MB) and its CPU time over one
#      minute of idling (target < 50 ms).
#
#   bash bench/run-bench.sh           BUILD_DIR=... ROUNDS=... IDLE_SECONDS=... may be set
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
ROUNDS=${ROUNDS:-3}
IDLE_SECONDS=${IDLE_SECONDS:-60}
DATABASES=20
PGBIN=/usr/lib/postgresql/15/bin

echo "== Building sarvelad and confbu.cfg (Release) in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j2 --target sarvelad confbu fake_pg_dump >/dev/null

WORK=$(mktemp -d /tmp/sarvela-bench-XXXXXX)
PROG="$WORK/program"
OUT="$WORK/out"
PGDIR="$WORK/pg"
SERVICE_PID=""
cleanup() {
    set +e
    [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null && wait "$SERVICE_PID" 2>/dev/null
    [ -d "$PGDIR/data" ] && runuser -u postgres -- "$PGBIN/pg_ctl" -D "$PGDIR/data" -m immediate -w stop >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A program directory laid out as the installation does it.
mkdir -p "$PROG/dbutils" "$OUT"
cp "$BUILD_DIR/bin/sarvelad" "$PROG/"
cp "$BUILD_DIR/packaging/confbu.cfg" "$PROG/"
ln -s "$PGBIN/pg_dump" "$PROG/dbutils/pg_dump"

echo "== Starting a throwaway PostgreSQL 15 with $DATABASES small databases"
mkdir -p "$PGDIR"; echo bench-pw > "$PGDIR/pw"; chown -R postgres: "$PGDIR"; chmod 711 "$WORK"
runuser -u postgres -- "$PGBIN/initdb" -D "$PGDIR/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 --pwfile="$PGDIR/pw" -E UTF8 --locale=C --no-sync >/dev/null
for _ in 1 2 3 4 5; do
    PORT=$((20000 + RANDOM % 30000))
    runuser -u postgres -- "$PGBIN/pg_ctl" -D "$PGDIR/data" -l "$PGDIR/server.log" -w \
        -o "-p $PORT -k $PGDIR -c listen_addresses=127.0.0.1" start >/dev/null && break
done
psql_() { "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$PGDIR" -p "$PORT" -U postgres "$@"; }
NAMES=()
for i in $(seq -w 1 $DATABASES); do
    db="bench$i"
    NAMES+=("$db")
    psql_ -d postgres -c "CREATE DATABASE $db"
    psql_ -d "$db" -c "CREATE TABLE tblbarang (id serial PRIMARY KEY, nama text, harga numeric);
        INSERT INTO tblbarang (nama, harga) SELECT 'barang ' || g, g * 100 FROM generate_series(1, 500) g;
        CREATE TABLE tblcatatan (id int, isi text); INSERT INTO tblcatatan VALUES (1, 'x');"
done
sqlite3 "$PROG/confbu.cfg" "UPDATE confdb SET server='127.0.0.1', port=$PORT, user='postgres',
    pass='bench-pw', outputdir='$OUT', jam1st=0, jam2st=0; DELETE FROM tbldb;
    $(for db in "${NAMES[@]}"; do printf "INSERT INTO tbldb(dbname) VALUES ('%s');" "$db"; done)"

now_ns() { date +%s%N; }

# One run by the service: from its start until its last run log was written. The end is
# read from that file's time stamp, so that watching the log costs the run no CPU.
service_run() {
    rm -f "$PROG/busys.log" "$OUT"/*
    # The backup time must stay the current minute while the service starts.
    if [ "$(date +%-S)" -ge 50 ]; then sleep $((61 - $(date +%-S))); fi
    sqlite3 "$PROG/confbu.cfg" "UPDATE confdb SET jam1='$(date +%Y-%m-%dT%H:%M:00)', jam1st=1"
    local t0 t1
    t0=$(now_ns)
    "$PROG/sarvelad" -e &
    SERVICE_PID=$!
    until [ "$(grep -c 'Backup Database : ' "$PROG/busys.log" 2>/dev/null)" = "$DATABASES" ]; do
        sleep 0.5
    done
    t1=$(stat -c %.9Y "$OUT"/*.log | sort -n | tail -n 1 | tr -d .)
    kill "$SERVICE_PID"; wait "$SERVICE_PID" 2>/dev/null || true
    SERVICE_PID=""
    if grep -q GAGAL "$PROG/busys.log"; then echo "!! a backup failed:" >&2; cat "$PROG/busys.log" >&2; exit 1; fi
    echo $(((t1 - t0) / 1000000))
}

# The same 20 commands from a shell loop, run logs included.
shell_run() {
    rm -f "$OUT"/*
    local t0 t1 stamp
    t0=$(now_ns)
    for db in "${NAMES[@]}"; do
        stamp=$(date +%Y%m%d.%H%M%S)
        PGPASSWORD=bench-pw "$PROG/dbutils/pg_dump" --host=127.0.0.1 --port="$PORT" --username=postgres \
            --format=custom --verbose --file="$OUT/bu_${db}_$stamp.bu" --table='tbl*' -w "$db" \
            2>"$OUT/bu_${db}_$stamp.log"
    done
    t1=$(now_ns)
    echo $(((t1 - t0) / 1000000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "== Backup run of $DATABASES databases: service vs shell loop, $ROUNDS rounds"
shell_run >/dev/null # warm the caches
SERVICE_MS=(); SHELL_MS=()
for r in $(seq "$ROUNDS"); do
    # Alternate which one goes first, so that neither always gets the warmer caches.
    if [ $((r % 2)) = 1 ]; then s=$(service_run); l=$(shell_run); else l=$(shell_run); s=$(service_run); fi
    SERVICE_MS+=("$s"); SHELL_MS+=("$l")
    echo "   round $r: service $s ms, shell loop $l ms"
done
S=$(median "${SERVICE_MS[@]}"); L=$(median "${SHELL_MS[@]}")
echo "   median: service $S ms, shell loop $L ms, ratio $(awk -v s="$S" -v l="$L" 'BEGIN {printf "%.3f", s / l}') (target <= 1.05)"

ratio_of_medians() {
    awk -v s="$(median "${SERVICE_MS[@]}")" -v l="$(median "${SHELL_MS[@]}")" \
        'BEGIN {printf "service %d ms, shell loop %d ms, ratio %.3f", s, l, s / l}'
}

echo "== The same with a tool that does nothing: the service's own cost"
ln -sf "$BUILD_DIR/bin/fake_pg_dump" "$PROG/dbutils/pg_dump"
SERVICE_MS=(); SHELL_MS=()
for r in $(seq "$ROUNDS"); do
    SERVICE_MS+=("$(service_run)"); SHELL_MS+=("$(shell_run)")
done
echo "   median: $(ratio_of_medians); $(awk -v s="$(median "${SERVICE_MS[@]}")" \
    -v l="$(median "${SHELL_MS[@]}")" -v n=$DATABASES 'BEGIN {printf "%.1f", (s - l) / n}') ms more per job"
ln -sf "$PGBIN/pg_dump" "$PROG/dbutils/pg_dump"

echo "== Idle service: resident memory and CPU time over $IDLE_SECONDS s"
sqlite3 "$PROG/confbu.cfg" "UPDATE confdb SET jam1st=0, jam2st=0"
rm -f "$PROG/busys.log"
"$PROG/sarvelad" -e &
SERVICE_PID=$!
sleep 3
# CPU time of every thread, in nanoseconds (first field of schedstat).
cpu_ns() { cat /proc/"$SERVICE_PID"/task/*/schedstat | awk '{s += $1} END {printf "%d", s}'; }
c0=$(cpu_ns)
sleep "$IDLE_SECONDS"
c1=$(cpu_ns)
rss=$(awk '/^VmRSS/ {print $2}' /proc/"$SERVICE_PID"/status)
echo "   resident memory: $((rss / 1024)).$(((rss % 1024) * 10 / 1024)) MB ($rss kB) (target < 20 MB)"
echo "   CPU time over $IDLE_SECONDS s: $(awk -v n=$((c1 - c0)) 'BEGIN {printf "%.2f", n / 1e6}') ms (target < 50 ms)"
echo "   busys.log: $(tr '\n' ' ' < "$PROG/busys.log")"
