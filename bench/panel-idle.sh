#!/usr/bin/env bash
# The control panel on a long job history (run by hand, never by the tests):
#  1. the installed sarpanel started in the tray (--tray) of an Xvfb desktop (openbox, trayer),
#     with the service registered and running under a private svcmgrd and a history of
#     HISTORY_ROWS jobs for 20 listed databases (and one more never backed up); its CPU time
#     (from /proc/PID/stat, and to the nanosecond from schedstat) and wake-ups over
#     IDLE_SECONDS, scaled to one minute, its resident memory, and whether it opened the
#     history meanwhile (target: at most 10 ms of CPU and 30 wake-ups per idle minute, no open);
#  2. the status window on that history (bench/statusopen.cpp, built here against the
#     panel's library): the first read, the window shown with its rows, a read after a change
#     (target: under 300 ms to open).
#
#   bash bench/panel-idle.sh     BUILD_DIR=... IDLE_SECONDS=... HISTORY_ROWS=... may be set
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
IDLE_SECONDS=${IDLE_SECONDS:-60}
HISTORY_ROWS=${HISTORY_ROWS:-100000}

for tool in Xvfb openbox trayer sqlite3 inotifywait; do
    command -v "$tool" >/dev/null || { echo "needs $tool (xvfb openbox trayer sqlite3 inotify-tools)" >&2; exit 1; }
done
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" -j2 --target sarpanel sarvelad svcmgrd svcmgr >/dev/null

WORK=$(mktemp -d /tmp/sarvela-panel-bench-XXXXXX)
PROG="$WORK/program"
export SVCMGR_DIR="$WORK/svcmgr"
PIDS=()
cleanup() {
    set +e
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== A program folder with $HISTORY_ROWS jobs in its history"
cmake --install "$BUILD_DIR" --prefix "$PROG" >/dev/null
mkdir -p "$WORK/dumps"
chmod 700 "$WORK/dumps"
databases=$(for i in $(seq -w 0 19); do printf 'db%s,' "$i"; done)baru
sqlite3 "$PROG/confbu.cfg" "update confdb set outputdir = '$WORK/dumps', jam1st = 1, jam2st = 1,
    jam1 = '2000-01-01T01:00:00', jam2 = '2000-01-01T13:00:00'; delete from tbldb;
    insert into tbldb values $(echo "$databases" | sed "s/\([^,]*\)/('\1')/g");
    delete from confsimpan; insert into confsimpan values (5);"
# Twice a day for each database, newest last; one job in 97 failed; the service kept the
# newest five good dumps of each and deleted the rest.
sqlite3 "$PROG/riwayat.db" "
CREATE TABLE riwayat (id INTEGER PRIMARY KEY, dbname TEXT, mulai TEXT, selesai TEXT, file TEXT,
    ukuran INTEGER, hasil TEXT, alasan TEXT, terverifikasi INTEGER);
CREATE TABLE terhapus (riwayat_id INTEGER PRIMARY KEY, waktu TEXT);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < $HISTORY_ROWS - 1)
INSERT INTO riwayat SELECT i + 1, printf('db%02d', i % 20),
    strftime('%Y-%m-%dT%H:%M:%S', 'now', 'localtime', printf('-%d hours', ($HISTORY_ROWS - 1 - i) / 20 * 12)),
    strftime('%Y-%m-%dT%H:%M:%S', 'now', 'localtime', printf('-%d hours', ($HISTORY_ROWS - 1 - i) / 20 * 12), '+2 minutes'),
    CASE WHEN i % 97 = 0 THEN NULL ELSE printf('$WORK/dumps/bu_db%02d_%d.bu', i % 20, i) END,
    CASE WHEN i % 97 = 0 THEN NULL ELSE 40000000 + i END,
    CASE WHEN i % 97 = 0 THEN 'GAGAL' ELSE 'OK' END,
    CASE WHEN i % 97 = 0 THEN 'pg_dump berhenti dengan kode 1' END,
    CASE WHEN i % 97 = 0 THEN 0 ELSE 1 END
FROM n;
INSERT INTO terhapus SELECT id, strftime('%Y-%m-%dT%H:%M:%S', 'now', 'localtime') FROM riwayat
    WHERE hasil = 'OK' AND id <= $HISTORY_ROWS - 20 * 6;"
echo "   $(du -h "$PROG/riwayat.db" | cut -f1), $(sqlite3 "$PROG/riwayat.db" 'select count(*) from terhapus') deleted dumps recorded"

echo "== The service registered and running under a private svcmgrd"
"$PROG/svcmgrd" 2>"$WORK/svcmgrd.log" &
PIDS+=($!)
for _ in $(seq 100); do [ -S "$SVCMGR_DIR/svcmgr.sock" ] && break; sleep 0.1; done
"$PROG/sarvelad" -i >/dev/null
"$PROG/sarvelad" >/dev/null # with no option it asks the manager to start it
sleep 1

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=":$display"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 &
PIDS+=($!)
trayer --edge bottom --align right --widthtype request >/dev/null 2>&1 &
PIDS+=($!)
sleep 1

echo "== sarpanel --tray, then idle for ${IDLE_SECONDS}s"
TMPDIR=$WORK QT_QPA_PLATFORM=xcb "$PROG/sarpanel" --tray >"$WORK/panel.log" 2>&1 &
PANEL_PID=$!
PIDS+=($PANEL_PID)
sleep 5 # the first read, the tray icon, the service's status

# ticks nanoseconds switches
sample() {
    local pid=$1 ns=0 switches=0 task run
    for task in /proc/"$pid"/task/*; do
        read -r run _ <"$task/schedstat"
        ns=$((ns + run))
        switches=$((switches + $(awk '/ctxt_switches/ {s += $2} END {print s}' "$task/status")))
    done
    echo "$(sed 's/.*) //' /proc/"$pid"/stat | awk '{print $12 + $13}') $ns $switches"
}
inotifywait -m -q -e open -e access "$PROG/riwayat.db" >"$WORK/opens.log" 2>/dev/null &
PIDS+=($!)
sleep 1
read -r t0 n0 s0 <<<"$(sample "$PANEL_PID")"
sleep "$IDLE_SECONDS"
read -r t1 n1 s1 <<<"$(sample "$PANEL_PID")"
awk -v t=$((t1 - t0)) -v n=$((n1 - n0)) -v s=$((s1 - s0)) -v hz="$(getconf CLK_TCK)" \
    -v secs="$IDLE_SECONDS" 'BEGIN { m = 60 / secs
    printf "   CPU %.2f ms/min (schedstat), %.0f ms/min (stat ticks), %.0f wake-ups/min\n",
        n / 1e6 * m, t * 1000 / hz * m, s * m }'
echo "   resident $(awk '/^VmRSS/ {print $2, $3}' /proc/$PANEL_PID/status) (of which its own, not shared: $(awk '/^RssAnon/ {print $2, $3}' /proc/$PANEL_PID/status)), peak $(awk '/^VmHWM/ {print $2, $3}' /proc/$PANEL_PID/status)"
echo "   the history opened or read $(wc -l <"$WORK/opens.log") times while idle"

echo "== The status window on that history"
g++ -std=c++17 -O2 -fPIC -o "$WORK/statusopen" "$ROOT/bench/statusopen.cpp" \
    -I"$ROOT/examples/sarpanel" -I"$ROOT/src/confbu" \
    "$BUILD_DIR/examples/sarpanel/libsarpanel_core.a" "$BUILD_DIR/src/qtservice/libqtservice.a" \
    "$BUILD_DIR/src/confbu/libsarvela_confbu.a" -ldl \
    $(pkg-config --cflags --libs Qt5Widgets Qt5Sql Qt5Network)
QT_QPA_PLATFORM=offscreen "$WORK/statusopen" "$PROG/riwayat.db" "$databases" 2>/dev/null
