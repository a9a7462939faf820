#!/usr/bin/env bash
# How quiet the service manager is when nothing happens (run by hand, never by the tests):
# starts a private svcmgrd with one registered, running service (the stand-in tests'
# echoservice), lets it idle, and reports its wake-ups (the context switches of all its
# threads, from /proc/PID/task/*/status) and its CPU time (from /proc/PID/stat, and to the
# nanosecond from /proc/PID/task/*/schedstat) over the idle time, scaled to one minute.
# Target: no wake-up and under 1 ms of CPU per idle minute.
#
#   bash bench/manager-idle.sh          BUILD_DIR=... IDLE_SECONDS=... may be set
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
IDLE_SECONDS=${IDLE_SECONDS:-60}
BIN="$BUILD_DIR/bin"

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" -j2 --target svcmgrd svcmgr echoservice svcmgrclient >/dev/null

WORK=$(mktemp -d /tmp/svcmgr-idle-XXXXXX)
export SVCMGR_DIR="$WORK/state"
DAEMON_PID=""
cleanup() {
    set +e
    if [ -n "$DAEMON_PID" ]; then
        kill "$DAEMON_PID" 2>/dev/null
        wait "$DAEMON_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$BIN/svcmgrd" 2>"$WORK/daemon.log" &
DAEMON_PID=$!
for _ in $(seq 100); do [ -S "$SVCMGR_DIR/svcmgr.sock" ] && break; sleep 0.1; done
[ -S "$SVCMGR_DIR/svcmgr.sock" ] || { cat "$WORK/daemon.log" >&2; exit 1; }

"$BIN/svcmgrclient" create bench-echo "\"$BIN/echoservice\"" >/dev/null
"$BIN/svcmgrclient" start bench-echo "log=$WORK/echo.log" | grep -q "result=1" ||
    { echo "the service did not start" >&2; exit 1; }
"$BIN/svcmgrclient" query-status bench-echo | grep -q "state=4" ||
    { echo "the service is not running" >&2; exit 1; }
SERVICE_PID=$(sed -n 's/^pid //p' "$WORK/echo.log")

# switches ticks nanoseconds threads, summed over the process's threads
sample() {
    local pid=$1 switches=0 ns=0 threads=0 task v n run
    for task in /proc/"$pid"/task/*; do
        v=$(awk '/^voluntary_ctxt_switches/ {v=$2} /^nonvoluntary_ctxt_switches/ {n=$2} END {print v+n}' "$task/status")
        read -r run _ <"$task/schedstat"
        switches=$((switches + v)); ns=$((ns + run)); threads=$((threads + 1))
    done
    # utime and stime: fields 14 and 15, counted after the ")" that ends the name.
    n=$(sed 's/.*) //' /proc/"$pid"/stat | awk '{print $12 + $13}')
    echo "$switches $n $ns $threads"
}

report() {
    local what=$1 before=$2 after=$3
    read -r s0 t0 n0 _ <<<"$before"
    read -r s1 t1 n1 threads <<<"$after"
    awk -v what="$what" -v s=$((s1 - s0)) -v t=$((t1 - t0)) -v n=$((n1 - n0)) \
        -v hz="$(getconf CLK_TCK)" -v secs="$IDLE_SECONDS" -v threads="$threads" 'BEGIN {
        m = 60 / secs
        printf "%-9s %3d threads  %8.1f wake-ups/min  %8.3f ms CPU/min (schedstat)  %6.0f ms CPU/min (stat ticks)\n",
            what, threads, s * m, n / 1e6 * m, t * 1000 / hz * m }'
}

sleep 2 # let the start settle
daemon0=$(sample "$DAEMON_PID")
service0=$(sample "$SERVICE_PID")
echo "== Idling for ${IDLE_SECONDS}s: svcmgrd (pid $DAEMON_PID) with one running service (pid $SERVICE_PID)"
sleep "$IDLE_SECONDS"
report svcmgrd "$daemon0" "$(sample "$DAEMON_PID")"
report service "$service0" "$(sample "$SERVICE_PID")"
