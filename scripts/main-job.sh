#!/usr/bin/env bash
# The main job: builds the system, installs a program directory, starts a private
# service manager and a throwaway PostgreSQL with sample databases, installs and
# starts the backup service, lets it back the databases up at the current minute,
# shows what it did, and cleans everything up again (also when interrupted).
#
#   bash scripts/main-job.sh            as root, on Debian 12
#   MODE=exec bash scripts/main-job.sh  runs the service as a plain program (-e)
#   PANEL=1 bash scripts/main-job.sh    also shows the control panel: on $DISPLAY when there is one
#                                       (the default there), else a picture of it made under Xvfb
#   SCREENSHOTS=docs bash scripts/main-job.sh   saves PNGs of the panel's main window, picker and log viewer
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"
MODE=${MODE:-service}
# The panel opens by itself when there is a display; PANEL=1 asks for it without one.
if [ -n "${DISPLAY:-}" ]; then PANEL=${PANEL:-1}; else PANEL=${PANEL:-0}; fi

sarvela_install_deps
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
# The programs only: the tests are built by scripts/test.sh.
sarvela_build "$BUILD_DIR" programs

WORK=$(mktemp -d /tmp/sarvela-main-job-XXXXXX)
PROG="$WORK/program"
PGDIR="$WORK/pg"
OUT="$WORK/backups"
export SVCMGR_DIR="$WORK/svcmgr"
PGBIN=$SARVELA_PGBIN
DAEMON_PID=""
EXEC_PID=""
PANEL_PID=""

cleanup() {
    set +e
    echo "== Cleaning up"
    [ -n "$PANEL_PID" ] && kill "$PANEL_PID" 2>/dev/null
    [ -n "$EXEC_PID" ] && kill "$EXEC_PID" 2>/dev/null && wait "$EXEC_PID" 2>/dev/null
    if [ -n "$DAEMON_PID" ]; then
        "$PROG/sarvelad" -t >/dev/null 2>&1
        "$PROG/sarvelad" -u >/dev/null 2>&1
        kill "$DAEMON_PID" 2>/dev/null
        wait "$DAEMON_PID" 2>/dev/null
    fi
    sarvela_stop_pg
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Installing a program directory into $PROG"
cmake --install "$BUILD_DIR" --prefix "$PROG" >/dev/null
ls -l "$PROG"

echo "== Starting a throwaway PostgreSQL 15 in $PGDIR"
chmod 711 "$WORK"
sarvela_start_pg "$PGDIR" postgres-pw
PORT=$SARVELA_PG_PORT
psql_() { sarvela_psql "$@"; }
# An empty user and password in the settings stand for admin / 5170342.
psql_ -d postgres -c "CREATE ROLE admin LOGIN SUPERUSER PASSWORD '5170342'"
DATABASES=(penjualan gudang kepegawaian)
for db in "${DATABASES[@]}"; do
    psql_ -d postgres -c "CREATE DATABASE $db"
    psql_ -d "$db" -c "CREATE TABLE tblbarang (id serial PRIMARY KEY, nama text, harga numeric);
        INSERT INTO tblbarang (nama, harga) SELECT 'barang ' || g, g * 1500 FROM generate_series(1, 200) g;
        CREATE TABLE tblcatatan (id serial PRIMARY KEY, isi text, dibuat timestamptz DEFAULT now());
        INSERT INTO tblcatatan (isi) VALUES ('contoh $db'), ('backup otomatis');"
    echo "   database $db with tables tblbarang and tblcatatan"
done

# Stay clear of the end of a minute, so the backup time is still the current minute
# when the service first looks.
if [ "$(date +%-S)" -ge 45 ]; then
    echo "== Waiting for the next minute to begin"
    sleep $((61 - $(date +%-S)))
fi
JAM=$(date +%Y-%m-%dT%H:%M:00)
echo "== Writing the settings: server 127.0.0.1:$PORT, output $OUT, backup time 1 at ${JAM:11:5}"
mkdir -p "$OUT"
sqlite3 "$PROG/confbu.cfg" "UPDATE confdb SET server='127.0.0.1', port=$PORT, outputdir='$OUT',
    jam1='$JAM', jam1st=1, jam2st=0; DELETE FROM tbldb;
    $(for db in "${DATABASES[@]}"; do printf "INSERT INTO tbldb(dbname) VALUES ('%s');" "$db"; done)"
sqlite3 -header -column "$PROG/confbu.cfg" "SELECT server, port, outputdir, jam1, jam1st, jam2st FROM confdb; SELECT dbname FROM tbldb;"

if [ "$MODE" = exec ]; then
    echo "== Running the service as a plain program: $PROG/sarvelad -e"
    "$PROG/sarvelad" -e &
    EXEC_PID=$!
else
    echo "== Starting a private service manager (state in $SVCMGR_DIR)"
    mkdir -p "$SVCMGR_DIR"
    "$PROG/svcmgrd" &
    DAEMON_PID=$!
    sarvela_wait_for_socket "$SVCMGR_DIR/svcmgr.sock" 10 || sarvela_die "the service manager did not start"
    echo "== $PROG/sarvelad -i"
    "$PROG/sarvelad" -i
    echo "== Starting the service through the manager: $PROG/sarvelad (no option)"
    "$PROG/sarvelad"
    sleep 1
    echo "== $PROG/sarvelad -v"
    "$PROG/sarvelad" -v
fi

echo "== Waiting for the backup run (one dump per database)"
want=${#DATABASES[@]}
for _ in $(seq 240); do
    got=$(grep -c "Backup Database : " "$PROG/busys.log" 2>/dev/null || true)
    [ "${got:-0}" -ge "$want" ] && break
    sleep 0.5
done

echo "== busys.log"
cat "$PROG/busys.log"
echo "== Dump files and run logs in $OUT"
ls -l "$OUT"
dumps=("$OUT"/*.bu)
[ -f "${dumps[0]}" ] || sarvela_die "the service made no dump; see busys.log above"
first=${dumps[0]}
echo "== pg_restore --list $(basename "$first")"
"$PGBIN/pg_restore" --list "$first"
echo "== Run log of $(basename "$first")"
cat "${first%.bu}.log"

# The control panel on the same program directory, while the service still runs:
# on a display it stays open until "Keluar"; under Xvfb we save a picture of it.
if [ "$PANEL" = 1 ]; then
    if [ -n "${DISPLAY:-}" ]; then
        echo "== Opening the control panel on $PROG (end it with Sistem > Keluar; Ctrl-C ends the job)"
        "$PROG/sarpanel" &
        PANEL_PID=$!
        wait "$PANEL_PID" || true
        PANEL_PID=""
    else
        echo "== No display: the control panel under Xvfb, saved as $PWD/sarpanel-main-job.png"
        sh "$SARVELA_ROOT/scripts/screenshot.sh" "$PROG" "$PWD/sarpanel-main-job.png" main
    fi
fi

if [ -n "${SCREENSHOTS:-}" ]; then
    mkdir -p "$SCREENSHOTS"
    for screen in main picker log; do
        echo "== Screenshot of the control panel ($screen) into $SCREENSHOTS/sarpanel-$screen.png"
        sh "$SARVELA_ROOT/scripts/screenshot.sh" "$PROG" "$(cd "$SCREENSHOTS" && pwd)/sarpanel-$screen.png" "$screen"
    done
fi

if [ "$MODE" != exec ]; then
    echo "== Stopping and uninstalling the service"
    "$PROG/sarvelad" -t
    "$PROG/sarvelad" -v
    "$PROG/sarvelad" -u
fi

dumps=("$OUT"/*.bu)
count=0
[ -f "${dumps[0]}" ] && count=${#dumps[@]}
if [ "$count" -ge "$want" ]; then
    echo "== Done: $count dumps made by the service"
else
    echo "!! only $count of $want dumps were made" >&2
    exit 1
fi
