#!/usr/bin/env bash
# Benchmark of the proof that dumps restore whole (run by hand, never by the tests), as root on
# Debian 12 with the packages of scripts/lib.sh installed. On one database of BIG_ROWS rows (a
# dump of about 110 MB by default), ROUNDS rounds each, medians compared:
#   1. the read-back that counts the rows of every table (pg_restore --file=- through a pipe into
#      the service's counter) against the read-back as it was (pg_restore --file=/dev/null), and
#      the whole job (pg_dump, then the read-back) with each (target: at most 3 % slower);
#   2. the restore drill of that dump (a scratch cluster copied from its template, started, the
#      globals and the dump restored, every table counted, the cluster stopped and removed)
#      against a plain pg_restore into a fresh database of the running cluster (target: at most
#      1.3 times); the first drill, which makes the template with initdb, is shown apart.
#
#   bash bench/proof-bench.sh           BUILD_DIR=... ROUNDS=... BIG_ROWS=... may be set
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SARVELA_ROOT=$ROOT
source "$ROOT/scripts/lib.sh"
BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
ROUNDS=${ROUNDS:-5}
BIG_ROWS=${BIG_ROWS:-2000000}
PGBIN=$SARVELA_PGBIN
sarvela_need_root

echo "== Building the service's library (Release) in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j2 --target sarvelad_core >/dev/null

WORK=$(mktemp -d /tmp/sarvela-proofbench-XXXXXX)
cleanup() {
    set +e
    sarvela_stop_pg
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# The scratch clusters run as postgres (this runs as root), which passes through to kerja/.
chmod 711 "$WORK"
mkdir -m 711 "$WORK/kerja"

g++ -std=c++17 -O2 -fPIC -o "$WORK/proofbench" "$ROOT/bench/proofbench.cpp" \
    -I"$ROOT/backup-service" -I"$ROOT/src/confbu" \
    "$BUILD_DIR/backup-service/libsarvelad_core.a" "$BUILD_DIR/src/confbu/libsarvela_confbu.a" \
    $(pkg-config --cflags --libs Qt5Core Qt5Sql Qt5Network) -lsqlite3 -ldl -lpthread

echo "== A throwaway PostgreSQL 15 with one database of $BIG_ROWS rows"
sarvela_start_pg "$WORK/pg" bench-pw
sarvela_psql -d postgres -c "CREATE ROLE pemilik NOLOGIN" -c "CREATE DATABASE besar"
sarvela_psql -d besar -c "CREATE TABLE tblbesar AS SELECT g AS id, md5(g::text) || md5((g * 7)::text)
    || md5((g * 13)::text) AS isi FROM generate_series(1, $BIG_ROWS) g;
    CREATE TABLE tblkecil AS SELECT g AS id FROM generate_series(1, 1000) g;
    ALTER TABLE tblkecil OWNER TO pemilik"
DUMP=$WORK/besar.bu
GLOBALS=$WORK/globals.sql
pg() { PGPASSWORD=bench-pw "$PGBIN/$1" --host=127.0.0.1 --port="$SARVELA_PG_PORT" --username=postgres "${@:2}"; }
now_ms() { date +%s%3N; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

DUMP_MS=()
for r in $(seq "$ROUNDS"); do
    rm -f "$DUMP"
    t0=$(now_ms)
    pg pg_dump --format=custom --verbose --file="$DUMP" --table='tbl*' -w besar 2>/dev/null
    DUMP_MS+=($(($(now_ms) - t0)))
done
pg pg_dumpall --globals-only --file="$GLOBALS" -w
MB=$(awk -v b="$(stat -c %s "$DUMP")" 'BEGIN {printf "%.1f", b / 1048576}')
echo "   dump $MB MB, pg_dump median $(median "${DUMP_MS[@]}") ms"

echo "== Read-back: counting against /dev/null, $ROUNDS rounds"
OLD_MS=(); NEW_MS=()
while read -r _ old new rows; do
    OLD_MS+=("$old"); NEW_MS+=("$new")
    echo "   /dev/null $old ms, counting $new ms ($rows rows)"
done < <("$WORK/proofbench" readback "$PGBIN/pg_restore" "$DUMP" "$ROUNDS")
O=$(median "${OLD_MS[@]}"); N=$(median "${NEW_MS[@]}"); D=$(median "${DUMP_MS[@]}")
awk -v o="$O" -v n="$N" -v d="$D" 'BEGIN {
    printf "   read-back median: /dev/null %d ms, counting %d ms, %+.1f %%\n", o, n, 100 * (n - o) / o
    printf "   job (pg_dump + read-back): %d ms against %d ms, %+.1f %% (target <= +3 %%)\n", d + n, d + o, 100 * (n - o) / (d + o)
}'

echo "== Restore drill against a plain pg_restore into a fresh database, $ROUNDS rounds"
# The first drill makes the template of the scratch cluster (initdb), once per server version.
line=$("$WORK/proofbench" drill "$PGBIN/pg_restore" "$PGBIN/psql" "$DUMP" "$GLOBALS" "$WORK/kerja") ||
    sarvela_die "the drill failed: $line"
echo "   first drill, the template made: $(awk '{print $2}' <<<"$line") ms"
DRILL_MS=(); PLAIN_MS=()
for r in $(seq "$ROUNDS"); do
    line=$("$WORK/proofbench" drill "$PGBIN/pg_restore" "$PGBIN/psql" "$DUMP" "$GLOBALS" "$WORK/kerja") ||
        sarvela_die "the drill failed: $line"
    DRILL_MS+=("$(awk '{print $2}' <<<"$line")")
    sarvela_psql -d postgres -c "CREATE DATABASE pulih"
    t0=$(now_ms)
    pg pg_restore --exit-on-error -w --dbname=pulih "$DUMP"
    PLAIN_MS+=($(($(now_ms) - t0)))
    sarvela_psql -d postgres -c "DROP DATABASE pulih"
    echo "   drill ${DRILL_MS[-1]} ms ($(awk '{print $4 " tables, " $5 " rows"}' <<<"$line")), plain pg_restore ${PLAIN_MS[-1]} ms"
done
DR=$(median "${DRILL_MS[@]}"); PL=$(median "${PLAIN_MS[@]}")
awk -v d="$DR" -v p="$PL" 'BEGIN {printf "   median: drill %d ms, plain pg_restore %d ms, ratio %.2f (target <= 1.3)\n", d, p, d / p}'
[ "$(ls -A "$WORK/kerja")" = templat-15 ] || echo "!! the drills left something in kerja/: $(ls -A "$WORK/kerja")"
