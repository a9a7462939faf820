#!/usr/bin/env bash
# The soak test: breaks the backup service on purpose, run after run, and checks after each
# run that nothing was lost or misreported.
#
#   bash scripts/soak.sh [MINUTES] [SEED]     as root; 10 minutes and a random seed by default
#
# It drives the service program under a private service manager against a throwaway
# PostgreSQL with five databases (one whose dump takes a second or more), one name the
# service must refuse and one that holds an escape sequence and a line separator, through as
# many backup runs as fit in MINUTES: backup times, on time or after the clock jumped past
# them, and "backup now" requests (sarvelad -c 1), a minute after the last one or, now and
# then, too soon. The program is tests/soak's build of the service: the same service class
# and worker as sarvelad, on a clock the soak moves to each backup time, with a 10-second
# bound on each tool. Drawn from SEED, so that the same seed gives the same sequence of
# injections:
#   - pg_dump or pg_restore failing, hanging past the bound, writing garbage or a cut-short
#     archive, or killed (dbutils/ holds tests/soak/soak_tool, which takes orders per call);
#   - the service stopped, killed or restarted during a run, the manager killed and restarted;
#   - the output folder (a small tmpfs) filled up;
#   - the settings locked by a concurrent writer, or left with a hot journal by a writer
#     killed in the middle of its transaction;
#   - the number of dumps kept changed between runs;
#   - all of it also in the middle of the restore drills of the first day.
# After every run tests/soak/soak_check reads every dump back, and compares busys.log, the job
# history and the output folder; the soak itself checks that each backup time and request is
# taken (or the log says why not), that a late time and a refused request are told as such,
# that each run ends, and that no tool outlives it. Each
# violation is printed with the seed and the run that shows it; the last line is
#   soak: R runs, J jobs, F faults, V violations, seed S
# and the exit code is 1 when V is not 0. SARVELA_SKIP_DEPS=1 skips apt-get, SARVELA_SKIP_BUILD=1
# the build; BUILD_DIR names the build tree (default build/).
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"
unset TZ # the service's clock and ours must agree on the local time

MINUTES=${1:-10}
SEED=${2:-$(((RANDOM << 15) | RANDOM))}
[[ "$MINUTES" =~ ^[0-9]+$ && "$SEED" =~ ^[0-9]+$ ]] || sarvela_die "usage: soak.sh [MINUTES] [SEED]"
sarvela_need_root
echo "soak: $MINUTES minutes, seed $SEED (bash scripts/soak.sh $MINUTES $SEED replays it)"

BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
[ "${SARVELA_SKIP_DEPS:-0}" = 1 ] || sarvela_install_deps
[ "${SARVELA_SKIP_BUILD:-0}" = 1 ] || sarvela_build "$BUILD_DIR"
cmake --build "$BUILD_DIR" --target sarvelad sarvelad-soak soak_tool soak_check svcmgrd svcmgr confbu >/dev/null

WORK=$(mktemp -d /tmp/sarvela-soak-XXXXXX)
chmod 711 "$WORK"
PROG=$WORK/program
OUT=$WORK/hasil
ORDERS=$PROG/soak
CFG=$PROG/confbu.cfg
LOG=$PROG/busys.log
STATE=$WORK/check-state
export SVCMGR_DIR=$WORK/svcmgr
MANAGER_PID=""
SETTINGS_WRITER=""
MOUNTED=0

RUNS=0
FAULTS=0
VIOLATIONS=0
INTERRUPTIONS=0
# A changed number of dumps to keep applies once a run has gone through every job well.
KEEP_PENDING=0
JOBS=0

# The command line of the process in folder $1 (of /proc), in CMDLINE; no process is started
# to read it, so that no reader shows up in what it looks for.
read_cmdline() {
    local args=()
    CMDLINE=""
    mapfile -d '' args 2>/dev/null <"$1/cmdline" || return 0
    CMDLINE="${args[*]}"
}

# The processes whose command line names $1: ours are found by the folder they work in.
processes_naming() {
    local dir
    for dir in /proc/[0-9]*; do
        [ "${dir#/proc/}" != $$ ] || continue
        read_cmdline "$dir"
        [[ "$CMDLINE" != *"$1"* ]] || echo "${dir#/proc/}"
    done
}

cleanup() {
    set +eu
    trap - EXIT INT TERM HUP
    [ -n "$SETTINGS_WRITER" ] && kill -KILL "$SETTINGS_WRITER" 2>/dev/null
    if [ -n "$MANAGER_PID" ]; then
        kill -TERM "$MANAGER_PID" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$MANAGER_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$MANAGER_PID" 2>/dev/null
        wait "$MANAGER_PID" 2>/dev/null
    fi
    sarvela_stop_pg
    local pid
    for pid in $(processes_naming "$WORK/"); do kill -KILL "$pid" 2>/dev/null; done
    if [ "$MOUNTED" = 1 ]; then
        for _ in $(seq 50); do umount "$OUT" 2>/dev/null && break; sleep 0.1; done
    fi
    if mountpoint -q "$OUT" 2>/dev/null; then
        echo "soak: $OUT is still mounted; unmount it and remove $WORK" >&2
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# A number below $1 drawn from the seed, in R. Never called in a subshell, so that the
# sequence stays the seed's.
draw() { R=$((RANDOM % $1)); }
now_ms() { date +%s%3N; }
violation() {
    VIOLATIONS=$((VIOLATIONS + 1))
    echo "soak: VIOLATION (seed $SEED, run $RUNS): $*"
}
# What the first violation leaves to look at once the soak has cleaned up: the log, the
# history, the settings and the output folder's listing, as the run after it found them.
EVIDENCE=""
keep_evidence() {
    EVIDENCE=$(mktemp -d "/tmp/sarvela-soak-evidence-$SEED-run$RUNS-XXXXXX")
    cp -L "$LOG" "$PROG/riwayat.db" "$CFG" "$EVIDENCE/" 2>/dev/null || true
    ls -la --full-time "$OUT" >"$EVIDENCE/hasil.txt" 2>&1 || true
    echo "soak: what the first violation left is in $EVIDENCE"
}
log_lines() { if [ -f "$LOG" ]; then wc -l <"$LOG"; else echo 0; fi; }
log_since() { tail -n +"$(($1 + 1))" "$LOG" 2>/dev/null || true; }
service_pid() {
    local dir
    for dir in /proc/[0-9]*; do
        if [ "$dir/exe" -ef "$PROG/sarvelad-soak" ]; then
            echo "${dir#/proc/}"
            return 0
        fi
    done
    return 0
}
admin() { timeout 60 "$PROG/sarvelad" "$@" >/dev/null 2>&1 || true; }

echo "== Setting up in $WORK"
cmake --install "$BUILD_DIR" --prefix "$PROG" >/dev/null
cp "$BUILD_DIR/bin/sarvelad-soak" "$PROG/"
cp "$BUILD_DIR/bin/soak_check" "$WORK/" # the build tree may change while the soak runs
rm -f "$PROG/dbutils/pg_dump" "$PROG/dbutils/pg_restore"
cp "$BUILD_DIR/bin/soak_tool" "$PROG/dbutils/pg_dump"
cp "$BUILD_DIR/bin/soak_tool" "$PROG/dbutils/pg_restore"
mkdir -p "$ORDERS" "$OUT" "$SVCMGR_DIR"
: >"$ORDERS/calls.log"
# Room for the kept dumps of every database and one more of the large one, not much more.
MOUNTED=1
mount -t tmpfs -o size=112m,mode=0750 tmpfs "$OUT"

sarvela_start_pg "$WORK/pg" postgres-pw
DATABASES=(penjualan gudang kepegawaian "data arsip" besar)
for db in "${DATABASES[@]}"; do
    sarvela_psql -d postgres -c "CREATE DATABASE \"$db\""
    sarvela_psql -d "$db" -c "CREATE TABLE tblbarang (id serial PRIMARY KEY, nama text, harga numeric);
        INSERT INTO tblbarang (nama, harga) SELECT 'barang ' || g, g * 1500 FROM generate_series(1, 500) g;"
done
# About 17 MB of dump, which takes pg_dump a second or more.
sarvela_psql -d besar -c "CREATE TABLE tblbesar AS SELECT g AS id, md5(g::text) || md5((g * 7)::text)
    || md5((g * 13)::text) AS isi FROM generate_series(1, 300000) g"
# A name that would put its dump outside the output folder: refused at every run; and one
# that no server has, whose ESC and U+2028 must reach no line of the log raw.
LISTED=("${DATABASES[@]}" "../luar" $'\033[32mOK\342\200\250palsu')

list_sql() {
    local db
    echo "DELETE FROM tbldb;"
    for db in "${LISTED[@]}"; do printf "INSERT INTO tbldb (dbname) VALUES ('%s');\n" "$db"; done
}
# The restore drill weekly on Tuesdays: the soak's first day (1 January 2030), so that even a
# short soak stops and kills the service in the middle of drills.
sqlite3 "$CFG" "UPDATE confdb SET server='127.0.0.1', port=$SARVELA_PG_PORT, user='postgres',
    pass='postgres-pw', outputdir='$OUT', jam1='2000-01-01T01:00:00', jam1st=1,
    jam2='2000-01-01T13:00:00', jam2st=1; $(list_sql) UPDATE confsimpan SET jumlah=2;
    DELETE FROM confuji; INSERT INTO confuji (jadwal, hari) VALUES (2, 2);"

# The service's clock: the real one plus the offset in soak/jam. It only ever moves forward,
# by a minute before each request (a manual run within a minute of the last one is refused),
# by ten after a backup time; it starts eleven hours before the first one.
CLOCK_OFFSET=$(($(date -d "2029-12-31 14:00:00" +%s%3N) - $(now_ms)))
set_offset() {
    CLOCK_OFFSET=$1
    echo "$CLOCK_OFFSET" >"$ORDERS/jam.new"
    mv "$ORDERS/jam.new" "$ORDERS/jam"
}
clock_to() { # service time in ms since the epoch
    local target=$1 service=$(($(now_ms) + CLOCK_OFFSET))
    [ "$target" -gt "$service" ] || return 0
    set_offset $((target - $(now_ms)))
}
set_offset "$CLOCK_OFFSET"
DAY=0
SLOT=0

start_manager() {
    SVCMGR_EXIT_WITH_PARENT=1 "$PROG/svcmgrd" 2>>"$WORK/svcmgrd.err" &
    MANAGER_PID=$!
    sarvela_wait_for_socket "$SVCMGR_DIR/svcmgr.sock" 10 || sarvela_die "the service manager did not start"
}

# Waits (bounded) until the service has started anew after line $1 of the log. A start asked
# for while the stop before it was still under way is refused; it is asked for again, as an
# administrator would.
wait_for_service() {
    local from=$1 deadline=$(($(now_ms) + 30000)) again=$(($(now_ms) + 5000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        if [ -n "$(service_pid)" ] && log_since "$from" | grep -q ' - Read Config\.$'; then
            return 0
        fi
        if [ "$(now_ms)" -gt "$again" ] && [ -z "$(service_pid)" ]; then
            admin
            again=$deadline
        fi
        sleep 0.1
    done
    violation "the service did not start again within 30 s"
    return 1
}

wait_until_gone() { # pid, tenths of a second
    local pid=$1 tenths=$2
    while [ "$tenths" -gt 0 ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.1
        tenths=$((tenths - 1))
    done
}

wait_until_stopped() {
    local tenths=100
    while [ "$tenths" -gt 0 ] && timeout 10 "$PROG/sarvelad" -v 2>/dev/null | grep -q ' and running'; do
        sleep 0.1
        tenths=$((tenths - 1))
    done
}

echo "== Starting the manager and the service"
start_manager
"$PROG/sarvelad-soak" -i >/dev/null
from=$(log_lines)
admin
wait_for_service "$from" || sarvela_die "the service did not start; see $LOG"

# The settings file held by a sqlite3 shell in the middle of a transaction.
writer_start() { # statements run in the transaction
    coproc WRITER { sqlite3 -batch -noheader "$CFG" 2>/dev/null; }
    SETTINGS_WRITER=$WRITER_PID # bash forgets WRITER_PID once the shell has ended
    printf '.timeout 5000\n%s\nSELECT '"'siap'"';\n' "$1" >&"${WRITER[1]}"
    local line=""
    read -r -t 10 line <&"${WRITER[0]}" || true
    [ "$line" = siap ] || echo "soak: the settings writer did not get its lock (run $RUNS)"
}
writer_commit() {
    [ -n "$SETTINGS_WRITER" ] || return 0
    printf 'COMMIT;\n.quit\n' >&"${WRITER[1]}" 2>/dev/null || true
    wait_until_gone "$SETTINGS_WRITER" 100
    kill -KILL "$SETTINGS_WRITER" 2>/dev/null || true
    wait "$SETTINGS_WRITER" 2>/dev/null || true
    SETTINGS_WRITER=""
}
writer_kill() { # SIGKILL: whatever the open transaction wrote stays behind, with its journal
    [ -n "$SETTINGS_WRITER" ] || return 0
    kill -KILL "$SETTINGS_WRITER" 2>/dev/null || true
    wait "$SETTINGS_WRITER" 2>/dev/null || true
    SETTINGS_WRITER=""
}

# The lock a run holds, seen from /proc/locks without taking it.
run_lock_held() {
    local inode
    inode=$(stat -c %i "$PROG/sarvelad.lock" 2>/dev/null) || return 1
    grep -q ":$inode " /proc/locks
}

# The service's tools that still run on the output folder, and the servers of its drills.
tools_running() { processes_naming "$OUT/"; processes_naming "$PROG/kerja/"; }

ENTRY=' - Backup Database (OK|GAGAL : database \[[^]]*\], file|DITOLAK|DIBATALKAN|TIDAK DIJALANKAN) '
STARTED=' - (Read List DB|Lokasi backup \[|Backup dilewati|Read Database BU\. |Permintaan backup manual ditolak)'
TOO_SOON=' - Permintaan backup manual ditolak: '
LAST_MANUAL_END=0 # when the last manual run that ended in order was seen to end (ms), or 0
TOOL_FAULTS=(gagal macet sampah potong bunuh)
RESTORE_FAULTS=(gagal macet bunuh)
END=$(($(now_ms) + MINUTES * 60000))
RANDOM=$SEED # from here on only the plan of the runs draws
: >"$STATE"

while [ "$(now_ms)" -lt "$END" ]; do
    RUNS=$((RUNS + 1))
    # The whole plan of the run is drawn first, always the same number of draws.
    draw 100; slot_run=$((R < 35))
    orders=()
    for db in "${DATABASES[@]}"; do
        draw 100; p=$R; draw ${#TOOL_FAULTS[@]}; f=${TOOL_FAULTS[$R]}; draw 900
        [ "$f" = bunuh ] && f="bunuh $((R + 50))"
        [ "$p" -lt 12 ] && orders+=("pg_dump.$db=$f")
        draw 100; p=$R; draw ${#RESTORE_FAULTS[@]}; f=${RESTORE_FAULTS[$R]}; draw 900
        [ "$f" = bunuh ] && f="bunuh $((R + 50))"
        [ "$p" -lt 6 ] && orders+=("pg_restore.$db=$f")
    done
    draw 100; d=$R; draw 5000; disrupt_at=$R
    disruption=none
    if [ "$d" -lt 7 ]; then disruption=stop
    elif [ "$d" -lt 14 ]; then disruption=kill
    elif [ "$d" -lt 19 ]; then disruption=restart
    elif [ "$d" -lt 24 ]; then disruption=manager
    fi
    draw 100; s=$R; draw 2500; hold=$((R + 200))
    hazard=none
    if [ "$s" -lt 10 ]; then hazard=writer; elif [ "$s" -lt 16 ]; then hazard=journal; fi
    draw 100; k=$R; draw 4; keep=$R
    draw 100; fill=$R; draw 20; free_mb=$R
    draw 100; late=$R; draw 9; late_min=$((R + 1))
    draw 100; soon=$R

    # Before the run: retention, a full folder, the tools' orders, the settings' hazard.
    changes=()
    if [ "$k" -lt 30 ]; then
        sqlite3 "$CFG" ".timeout 5000" "UPDATE confsimpan SET jumlah=$keep;"
        changes+=("simpan $keep")
        KEEP_PENDING=1
    fi
    if [ "$fill" -lt 12 ]; then
        avail=$(df --output=avail -B1M "$OUT" | tail -n 1)
        if [ $((avail - free_mb)) -gt 0 ]; then
            fallocate -l $((avail - free_mb))M "$OUT/soak-isi" 2>/dev/null || true
            FAULTS=$((FAULTS + 1))
            changes+=("sisa ${free_mb} MB")
        fi
    fi
    for order in "${orders[@]}"; do echo "${order#*=}" >"$ORDERS/${order%%=*}"; done
    calls_before=$(wc -l <"$ORDERS/calls.log")
    [ "$hazard" = none ] || changes+=("$hazard")
    case $hazard in
        writer)
            writer_start "BEGIN EXCLUSIVE; $(list_sql) UPDATE confsimpan SET jumlah=jumlah;"
            FAULTS=$((FAULTS + 1)) ;;
        journal)
            writer_start "PRAGMA cache_size=2; BEGIN EXCLUSIVE; DELETE FROM tbldb;
                CREATE TABLE soak_isi (x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1
                FROM n WHERE i < 300) INSERT INTO soak_isi SELECT randomblob(2000) FROM n;"
            writer_kill
            [ -f "$CFG-journal" ] || echo "soak: no hot journal was left (run $RUNS)"
            FAULTS=$((FAULTS + 1)) ;;
    esac

    # The run: a backup time, or a request to back up now.
    start_line=$(log_lines)
    started_at=$(now_ms)
    told_late=""
    too_soon=0
    if [ "$slot_run" = 1 ]; then
        if [ "$SLOT" = 0 ]; then hhmm="01:00"; else hhmm="13:00"; fi
        slot_ms=$(date -d "2030-01-01 $hhmm:01 $DAY days" +%s%3N)
        what="backup time $(date -d "@$((slot_ms / 1000))" '+%F %H:%M')"
        # The clock jumps over the time now and then: it runs late, and says so.
        if [ "$late" -lt 15 ]; then
            slot_ms=$((slot_ms + late_min * 60000))
            told_late="Backup terjadwal $hhmm terlewat, dijalankan sekarang."
            what+=" (jam lompat $late_min menit)"
        fi
        clock_to "$slot_ms"
        [ "$SLOT" = 1 ] && DAY=$((DAY + 1))
        SLOT=$((1 - SLOT))
        start_bound=50000
    else
        # Within a minute of the last manual run's end the request is refused; the soak asks
        # that early only while it surely is.
        if [ "$soon" -lt 10 ] && [ "$LAST_MANUAL_END" -gt 0 ] &&
            [ $(($(now_ms) - LAST_MANUAL_END)) -lt 40000 ]; then
            too_soon=1
            what="backup now, too soon"
        else
            clock_to $(($(now_ms) + CLOCK_OFFSET + 61000))
            what="backup now"
        fi
        admin -c 1
        start_bound=15000
    fi
    LAST_MANUAL_END=0

    interrupted=0
    released=0
    ended=0
    took_start=0
    deadline=$((started_at + 180000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        elapsed=$(($(now_ms) - started_at))
        if [ "$hazard" = writer ] && [ "$released" = 0 ] && [ "$elapsed" -ge "$hold" ]; then
            writer_commit
            released=1
        fi
        new=$(log_since "$start_line")
        if [ "$took_start" = 0 ] && grep -qE "$STARTED" <<<"$new"; then took_start=1; fi
        if [ "$disruption" != none ] && [ "$interrupted" = 0 ] && [ "$took_start" = 1 ] &&
            [ "$elapsed" -ge "$disrupt_at" ]; then
            interrupted=1
            break
        fi
        if [ "$took_start" = 0 ] && [ "$elapsed" -ge "$start_bound" ]; then
            violation "$what: no backup ran and busys.log does not say why"
            break
        fi
        if grep -qE " - (Lokasi backup \\[|Backup dilewati)|$TOO_SOON" <<<"$new"; then ended=1; break; fi
        if [ "$(grep -cE "$ENTRY" <<<"$new" || true)" -ge "${#LISTED[@]}" ] && ! run_lock_held; then
            ended=1
            break
        fi
        sleep 0.1
    done
    writer_commit
    [ "$interrupted" = 1 ] || [ "$ended" = 1 ] || [ "$took_start" = 0 ] ||
        violation "$what: the run did not end within 180 s"
    new=$(log_since "$start_line")
    if [ "$too_soon" = 1 ]; then
        grep -qE "$TOO_SOON" <<<"$new" || violation "$what: not refused"
        ! grep -q ' - Backup manual dimulai\.$' <<<"$new" || violation "$what: a manual run started"
    elif [ "$slot_run" = 0 ]; then
        ! grep -qE "$TOO_SOON" <<<"$new" || violation "$what: refused a minute after the last one"
        [ "$ended" = 0 ] || [ "$interrupted" = 1 ] || LAST_MANUAL_END=$(now_ms)
    fi
    if [ "$slot_run" = 1 ] && [ "$took_start" = 1 ]; then
        if [ -n "$told_late" ]; then
            grep -qF " - $told_late" <<<"$new" || violation "$what: ran late without saying so"
        elif grep -q ' terlewat, dijalankan sekarang\.$' <<<"$new"; then
            violation "$what: said late although on time"
        fi
    fi

    if [ "$interrupted" = 1 ]; then
        INTERRUPTIONS=$((INTERRUPTIONS + 1))
        FAULTS=$((FAULTS + 1))
        # A restarted service must not take the backup time again: its minute is over.
        clock_to $(($(now_ms) + CLOCK_OFFSET + 600000))
        from=$(log_lines)
        case $disruption in
            stop) admin -t; wait_until_stopped; admin ;;
            restart) admin -t; admin ;;
            kill)
                pid=$(service_pid)
                [ -n "$pid" ] && kill -KILL "$pid"
                [ -n "$pid" ] && wait_until_gone "$pid" 50
                wait_until_stopped
                admin ;;
            manager)
                kill -KILL "$MANAGER_PID"
                wait "$MANAGER_PID" 2>/dev/null || true
                pid=$(service_pid)
                [ -n "$pid" ] && wait_until_gone "$pid" 50
                start_manager ;; # starts the service again: it starts automatically
        esac
        wait_for_service "$from" || true
    elif [ "$slot_run" = 1 ]; then
        clock_to $(($(now_ms) + CLOCK_OFFSET + 600000))
    fi

    # No tool outlives its job (a killed tool takes a moment to be reaped).
    for _ in $(seq 30); do [ -z "$(tools_running)" ] && break; sleep 0.1; done
    stray=$(tools_running)
    if [ -n "$stray" ]; then
        for pid in $stray; do read_cmdline "/proc/$pid"; violation "a tool outlived its run: $CMDLINE"; done
    fi

    # The orders that no call took are withdrawn; those taken were faults.
    for order in "${orders[@]}"; do rm -f "$ORDERS/${order%%=*}"; done
    taken=$(tail -n +"$((calls_before + 1))" "$ORDERS/calls.log" | grep -vc ' normal ' || true)
    FAULTS=$((FAULTS + taken))

    idle=()
    [ "$interrupted" = 0 ] && [ "$ended" = 1 ] && idle=(--idle)
    if [ "$interrupted" = 0 ] && [ "$ended" = 1 ] && [ "$too_soon" = 0 ] &&
        ! grep -qE " - (Lokasi backup \\[|Backup dilewati)|GAGAL|DITOLAK|DIBATALKAN" <<<"$new"; then
        KEEP_PENDING=0
    fi
    [ "$KEEP_PENDING" = 1 ] && idle+=(--keep-pending)
    if ! result=$("$WORK/soak_check" "$PROG" "$OUT" "$STATE" "$RUNS" "$SEED" \
        "$INTERRUPTIONS" "${idle[@]}"); then
        VIOLATIONS=$((VIOLATIONS + $(grep -c '^soak: VIOLATION' <<<"$result" || true)))
    fi
    grep '^soak: VIOLATION' <<<"$result" || true
    JOBS=$(sed -n 's/^jobs //p' <<<"$result")
    [ "$VIOLATIONS" = 0 ] || [ -n "$EVIDENCE" ] || keep_evidence
    # Dumps kept aside are the administrator's to look at and remove; the filler goes too.
    rm -f "$OUT"/*.rusak "$OUT/soak-isi"
    [ "$interrupted" = 0 ] || changes+=("$disruption after $disrupt_at ms")
    changes+=("${orders[@]}")
    summary=$what
    for change in "${changes[@]}"; do summary+=", $change"; done
    echo "soak: run $RUNS ($summary): $(log_since "$start_line" | grep -cE "$ENTRY" || true) job entries"
done

echo "soak: $RUNS runs, ${JOBS:-0} jobs, $FAULTS faults, $VIOLATIONS violations, seed $SEED"
[ "$VIOLATIONS" = 0 ]
