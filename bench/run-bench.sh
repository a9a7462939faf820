#!/usr/bin/env bash
# Benchmark of the backup service (run by hand, never by the tests), as root on Debian 12
# with the packages of scripts/lib.sh installed:
#   1. one backup run of 20 small databases by `sarvelad -e`, each dump read back whole by
#      pg_restore before it gets its name, against a shell loop running the same 20 pg_dump
#      commands; ROUNDS rounds, alternating, medians compared (target <= 1.25);
#      The same again with tools that do nothing (the fake pg_dump and pg_restore of the
#      tests) shows the service's own cost per job, which the noise of real dumps on a busy
#      machine can hide;
#   2. what reading a dump back adds per megabyte: the service's run of one database of
#      BIG_ROWS rows (a dump of well over 100 MB) against pg_dump alone, and pg_restore's own
#      read of that dump;
#   3. the idle service's resident memory (target < 20 MB) and its CPU time over one
#      minute of idling (target < 50 ms).
#
#   bash bench/run-bench.sh           BUILD_DIR=... ROUNDS=... IDLE_SECONDS=... BIG_ROWS=... may be set
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SARVELA_ROOT=$ROOT
source "$ROOT/scripts/lib.sh"
BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
ROUNDS=${ROUNDS:-3}
IDLE_SECONDS=${IDLE_SECONDS:-60}
BIG_ROWS=${BIG_ROWS:-2000000}
DATABASES=20
PGBIN=$SARVELA_PGBIN

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
    sarvela_stop_pg
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A program directory laid out as the installation does it.
mkdir -p "$PROG/dbutils" "$OUT"
cp "$BUILD_DIR/bin/sarvelad" "$PROG/"
cp "$BUILD_DIR/packaging/confbu.cfg" "$PROG/"
ln -s "$PGBIN/pg_dump" "$PROG/dbutils/pg_dump"
ln -s "$PGBIN/pg_restore" "$PROG/dbutils/pg_restore"

echo "== Starting a throwaway PostgreSQL 15 with $DATABASES small databases"
chmod 711 "$WORK"
sarvela_start_pg "$PGDIR" bench-pw
PORT=$SARVELA_PG_PORT
psql_() { sarvela_psql "$@"; }
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

# One run by the service: from its start until its last job was logged. The end is read
# from busys.log's time stamp, so that watching the log costs the run no CPU.
service_run() {
    local count=${1:-$DATABASES}
    rm -f "$PROG/busys.log" "$PROG/riwayat.db" "$OUT"/*
    # The backup time must stay the current minute while the service starts.
    if [ "$(date +%-S)" -ge 50 ]; then sleep $((61 - $(date +%-S))); fi
    sqlite3 "$PROG/confbu.cfg" "UPDATE confdb SET jam1='$(date +%Y-%m-%dT%H:%M:00)', jam1st=1"
    local t0 t1
    t0=$(now_ns)
    "$PROG/sarvelad" -e &
    SERVICE_PID=$!
    local waited=0
    until [ "$(grep -c -E 'Backup Database (OK|GAGAL) : ' "$PROG/busys.log" 2>/dev/null)" = "$count" ]; do
        waited=$((waited + 1))
        # Far longer than any run here takes: a service that never finishes ends the benchmark.
        [ "$waited" -lt 2400 ] || sarvela_die "the service did not finish its run in 20 minutes; see $PROG/busys.log"
        sleep 0.5
    done
    t1=$(stat -c %.9Y "$PROG/busys.log" | tr -d .)
    kill "$SERVICE_PID"; wait "$SERVICE_PID" 2>/dev/null || true
    SERVICE_PID=""
    if grep -q GAGAL "$PROG/busys.log"; then echo "!! a backup failed:" >&2; cat "$PROG/busys.log" >&2; exit 1; fi
    echo $(((t1 - t0) / 1000000))
}

set_list() {
    sqlite3 "$PROG/confbu.cfg" "DELETE FROM tbldb;
        $(for db in "$@"; do printf "INSERT INTO tbldb(dbname) VALUES ('%s');" "$db"; done)"
}

# The same commands from a shell loop, run logs included.
shell_run() {
    rm -f "$OUT"/*
    local t0 t1 stamp
    t0=$(now_ns)
    for db in "$@"; do
        stamp=$(date +%Y%m%d.%H%M%S)
        PGPASSWORD=bench-pw "$PROG/dbutils/pg_dump" --host=127.0.0.1 --port="$PORT" --username=postgres \
            --format=custom --verbose --file="$OUT/bu_${db}_$stamp.bu" --table='tbl*' -w "$db" \
            2>"$OUT/bu_${db}_$stamp.log"
    done
    t1=$(now_ns)
    echo $(((t1 - t0) / 1000000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "== Backup run of $DATABASES databases, read back: service vs shell loop of pg_dump, $ROUNDS rounds"
shell_run "${NAMES[@]}" >/dev/null # warm the caches
SERVICE_MS=(); SHELL_MS=()
for r in $(seq "$ROUNDS"); do
    # Alternate which one goes first, so that neither always gets the warmer caches.
    if [ $((r % 2)) = 1 ]; then s=$(service_run); l=$(shell_run "${NAMES[@]}"); else l=$(shell_run "${NAMES[@]}"); s=$(service_run); fi
    SERVICE_MS+=("$s"); SHELL_MS+=("$l")
    echo "   round $r: service $s ms, shell loop $l ms"
done
S=$(median "${SERVICE_MS[@]}"); L=$(median "${SHELL_MS[@]}")
echo "   median: service $S ms, shell loop $L ms, ratio $(awk -v s="$S" -v l="$L" 'BEGIN {printf "%.3f", s / l}') (target <= 1.25)"

ratio_of_medians() {
    awk -v s="$(median "${SERVICE_MS[@]}")" -v l="$(median "${SHELL_MS[@]}")" \
        'BEGIN {printf "service %d ms, shell loop %d ms, ratio %.3f", s, l, s / l}'
}

echo "== The same with tools that do nothing: the service's own cost"
ln -sf "$BUILD_DIR/bin/fake_pg_dump" "$PROG/dbutils/pg_dump"
ln -sf "$BUILD_DIR/bin/fake_pg_dump" "$PROG/dbutils/pg_restore"
SERVICE_MS=(); SHELL_MS=()
for r in $(seq "$ROUNDS"); do
    SERVICE_MS+=("$(service_run)"); SHELL_MS+=("$(shell_run "${NAMES[@]}")")
done
echo "   median: $(ratio_of_medians); $(awk -v s="$(median "${SERVICE_MS[@]}")" \
    -v l="$(median "${SHELL_MS[@]}")" -v n=$DATABASES 'BEGIN {printf "%.1f", (s - l) / n}') ms more per job"
ln -sf "$PGBIN/pg_dump" "$PROG/dbutils/pg_dump"
ln -sf "$PGBIN/pg_restore" "$PROG/dbutils/pg_restore"

echo "== Reading a dump back: one database of $BIG_ROWS rows, $ROUNDS rounds"
psql_ -d postgres -c "CREATE DATABASE besar"
psql_ -d besar -c "CREATE TABLE tblbesar AS SELECT g AS id, md5(g::text) || md5((g * 7)::text)
    || md5((g * 13)::text) AS isi FROM generate_series(1, $BIG_ROWS) g"
set_list besar
shell_run besar >/dev/null
SERVICE_MS=(); SHELL_MS=(); READ_MS=()
for r in $(seq "$ROUNDS"); do
    SERVICE_MS+=("$(service_run 1)")
    BYTES=$(stat -c %s "$OUT"/bu_besar_*.bu)
    t0=$(now_ns); "$PGBIN/pg_restore" --file=/dev/null "$OUT"/bu_besar_*.bu; t1=$(now_ns)
    READ_MS+=($(((t1 - t0) / 1000000)))
    SHELL_MS+=("$(shell_run besar)")
done
S=$(median "${SERVICE_MS[@]}"); L=$(median "${SHELL_MS[@]}"); R=$(median "${READ_MS[@]}")
awk -v s="$S" -v l="$L" -v r="$R" -v b="$BYTES" 'BEGIN {
    mb = b / 1048576
    printf "   dump %.1f MB: service %d ms, pg_dump alone %d ms: %.1f ms more, %.2f ms per MB (%.0f%% of the dump time)\n", mb, s, l, s - l, (s - l) / mb, 100 * (s - l) / l
    printf "   pg_restore --file=/dev/null alone: %d ms, %.2f ms per MB\n", r, r / mb
}'
set_list "${NAMES[@]}"

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
