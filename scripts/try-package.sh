#!/usr/bin/env bash
# Tries the Debian package on this machine, by hand, as root (not in CI): builds it and a
# rebuilt one of a later version, installs the first with apt, checks the layout, the
# permissions and the registration, checks that the service runs as its own user _sarvela
# and is started again after kill -9, backs up a throwaway PostgreSQL through the installed
# system as a member of the group sarvela, tries what a member must not be able to do,
# checks the tray at login for members only,
# upgrades (the settings, the log and the history survive; the service runs the new
# programs), removes (the data stays) and purges (the dumps stay). Ends with one line per
# step, and leaves the machine as it found it: package purged, group, users (_sarvela too),
# dumps and throwaway files gone.
#
# Where systemd does not run (a container), it starts /opt/sarvela/svcmgrd itself, as
# the package says to. The package is installed without its recommendations, so that apt
# adds nothing else to the machine where the dependencies are there already. SARVELA_SKIP_DEPS=1 skips apt-get's installs of build tools;
# BUILD_DIR as for scripts/build-deb.sh.
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"
sarvela_need_root

PREFIX=/opt/sarvela
DATA_DIR=/var/lib/sarvela
OUTPUT_DIR=/var/backups/sarvela
MANAGER_DIR=/var/lib/svcmgr
# A machine that has any of these already is not ours to try things on.
if dpkg-query -W -f='${Status}' sarvela 2>/dev/null | grep -q installed; then
    sarvela_die "the package sarvela is installed here already"
fi
for path in "$PREFIX" "$DATA_DIR" "$OUTPUT_DIR" "$MANAGER_DIR" /var/log/sarvela; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || sarvela_die "$path exists already; this script needs a machine without it"
done
! getent group sarvela >/dev/null || sarvela_die "the group sarvela exists already"
! getent passwd _sarvela >/dev/null || sarvela_die "the user _sarvela exists already"

WORK=$(mktemp -d /tmp/sarvela-try-XXXXXX)
chmod 711 "$WORK"
MEMBER="sarvtry$RANDOM"
OTHER="sarvoth$RANDOM"
MANAGER_PID=""
PANEL_PID=""
SUMMARY=()
FAILED=0

cleanup() {
    set +e
    echo "== Cleaning up"
    [ -n "$PANEL_PID" ] && kill "$PANEL_PID" 2>/dev/null
    if dpkg-query -W -f='${Status}' sarvela 2>/dev/null | grep -q 'ok installed\|config-files'; then
        dpkg --purge sarvela >/dev/null 2>&1
    fi
    if [ -n "$MANAGER_PID" ] && kill -0 "$MANAGER_PID" 2>/dev/null; then
        kill "$MANAGER_PID"
        for _ in $(seq 100); do kill -0 "$MANAGER_PID" 2>/dev/null || break; sleep 0.1; done
    fi
    sarvela_stop_pg
    for user in "$MEMBER" "$OTHER"; do
        id "$user" >/dev/null 2>&1 && userdel -r "$user" >/dev/null 2>&1
    done
    rm -rf -- "$OUTPUT_DIR" "$MANAGER_DIR" "$DATA_DIR" /var/log/sarvela "$WORK"
    id _sarvela >/dev/null 2>&1 && userdel _sarvela
    getent group sarvela >/dev/null && groupdel sarvela
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One step's checks: expect DESCRIPTION COMMAND... runs the command and notes a failure.
step_checks=0
step_failures=0
expect() {
    local what=$1
    shift
    step_checks=$((step_checks + 1))
    if "$@" >/dev/null 2>&1; then
        echo "   ok: $what"
    else
        echo "!! FAILED: $what" >&2
        step_failures=$((step_failures + 1))
    fi
}
end_step() {
    local name=$1 what=$2 line
    if [ "$step_failures" = 0 ]; then
        line=$(printf '%-9s ok     %2d checks: %s' "$name" "$step_checks" "$what")
    else
        line=$(printf '%-9s FAILED %2d of %d checks: %s' "$name" "$step_failures" "$step_checks" "$what")
        FAILED=1
    fi
    SUMMARY+=("$line")
    step_checks=0
    step_failures=0
}
is() { [ "$1" = "$2" ]; }
mode_of() { stat -c '%U:%G %a' -- "$1"; }
as_member() { runuser -u "$MEMBER" -- "$@"; }
as_other() { runuser -u "$OTHER" -- "$@"; }
service_pid() { pgrep -x -f "$PREFIX/sarvelad" | head -n 1 || true; }
HISTORY="$DATA_DIR/riwayat/riwayat.db"
history_rows() { sqlite3 -readonly "$HISTORY" "select count(*) from riwayat where hasil = 'OK' ${1:+and id <= $1}" || true; }
uid_of() { awk '/^Uid:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }

# Starts the service manager as the package says to where systemd does not run.
start_manager_by_hand() {
    [ -d /run/systemd/system ] && return 0
    echo "== No systemd: starting $PREFIX/svcmgrd by hand"
    setsid "$PREFIX/svcmgrd" </dev/null >/dev/null 2>&1 &
    sarvela_wait_for_socket "$MANAGER_DIR/svcmgr.sock" 10 || sarvela_die "svcmgrd did not start"
    MANAGER_PID=$(cat "$MANAGER_DIR/svcmgrd.pid")
}

echo "== Building the package and a rebuilt one of a later version"
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
DEB_DIR="$WORK/deb1" BUILD_DIR=$BUILD_DIR bash "$SARVELA_ROOT/scripts/build-deb.sh" >"$WORK/build1.log" 2>&1 ||
    { tail -n 30 "$WORK/build1.log"; sarvela_die "the package build failed"; }
version=$(dpkg-parsechangelog -l "$SARVELA_ROOT/debian/changelog" -S Version)
SARVELA_SKIP_DEPS=1 SARVELA_SKIP_BUILD=1 SARVELA_DEB_VERSION="$version+rebuilt1" DEB_DIR="$WORK/deb2" \
    BUILD_DIR=$BUILD_DIR bash "$SARVELA_ROOT/scripts/build-deb.sh" >"$WORK/build2.log" 2>&1 ||
    { tail -n 30 "$WORK/build2.log"; sarvela_die "the rebuilt package's build failed"; }
DEB1=$(ls "$WORK"/deb1/sarvela_*.deb)
DEB2=$(ls "$WORK"/deb2/sarvela_*.deb)
echo "   $DEB1"
echo "   $DEB2"

echo "== Installing $(basename "$DEB1") with apt"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends "$DEB1" | tee "$WORK/install.log"
start_manager_by_hand
if [ -n "$MANAGER_PID" ]; then
    echo "== dpkg-reconfigure sarvela (now that a manager runs)"
    dpkg-reconfigure sarvela
fi
useradd -M -G sarvela "$MEMBER"
useradd -M "$OTHER"
expect "without systemd the package said what to do" \
    bash -c "[ -d /run/systemd/system ] || grep -q 'dpkg-reconfigure sarvela' '$WORK/install.log'"
expect "the program directory is root's, 0755" is "$(mode_of $PREFIX)" "root:root 755"
expect "nothing in it is writable by others than root" \
    is "$(find $PREFIX \( -perm /022 ! -type l \) -o ! -user root | wc -l)" 0
expect "the data directory is root:sarvela 3770" is "$(mode_of $DATA_DIR)" "root:sarvela 3770"
expect "confbu.cfg is root:sarvela 0660, the delivered one" \
    bash -c "[ \"\$(stat -c '%U:%G %a' $DATA_DIR/confbu.cfg)\" = 'root:sarvela 660' ] && cmp -s $DATA_DIR/confbu.cfg /usr/share/sarvela/confbu.cfg"
expect "busys.log is root:sarvela 0660" is "$(mode_of $DATA_DIR/busys.log)" "root:sarvela 660"
for name in confbu.cfg busys.log; do
    expect "$PREFIX/$name links to $DATA_DIR/$name" is "$(readlink $PREFIX/$name)" "$DATA_DIR/$name"
done
expect "$PREFIX/riwayat.db links to $HISTORY" is "$(readlink $PREFIX/riwayat.db)" "$HISTORY"
expect "the user _sarvela is a system user without login, in the group sarvela" \
    bash -c "[ \$(id -u _sarvela) -lt 1000 ] && [ \"\$(getent passwd _sarvela | cut -d: -f7)\" = /usr/sbin/nologin ] && id -nG _sarvela | grep -qw sarvela"
expect "the history folder is _sarvela:sarvela 2750" is "$(mode_of $DATA_DIR/riwayat)" "_sarvela:sarvela 2750"
expect "rclone/ and kerja/ are _sarvela's alone" \
    bash -c "[ \"\$(stat -c '%U %a' $DATA_DIR/rclone $DATA_DIR/kerja | sort -u)\" = '_sarvela 700' ]"
expect "sarvelad.akun names _sarvela" is "$(cat $PREFIX/sarvelad.akun)" "_sarvela"
for tool in "${SARVELA_PG_TOOLS[@]}"; do
    expect "dbutils/$tool links to the newest client" is "$(readlink $PREFIX/dbutils/$tool)" "$(sarvela_newest_pg_tool $tool)"
done
expect "the output folder is _sarvela:sarvela 2750" is "$(mode_of $OUTPUT_DIR)" "_sarvela:sarvela 2750"
expect "the manager's unit is installed and enabled" \
    test -L /etc/systemd/system/multi-user.target.wants/svcmgrd.service -a -f /lib/systemd/system/svcmgrd.service
expect "the service is registered and runs" bash -c "$PREFIX/sarvelad -v | grep -q 'is installed and running'"
expect "the group sarvela may operate it" bash -c "$PREFIX/svcmgr-access --show 'Sarvela DB Backup' | grep -q '^sarvela'"
expect "it is registered as .\\_sarvela, restarted a minute after a failure" \
    bash -c "$PREFIX/svcmgr-config 'Sarvela DB Backup' --show | grep -qF '.\\_sarvela' && $PREFIX/svcmgr-config 'Sarvela DB Backup' --show | grep -q 'restart.60000'"
sleep 1
expect "its process runs as _sarvela" is "$(uid_of "$(service_pid)")" "$(id -u _sarvela)"
expect "menu entry, icons and man pages are there" bash -c \
    "[ -f /usr/share/applications/sarpanel.desktop ] && [ \$(ls /usr/share/icons/hicolor/*/apps/sarpanel.png | wc -l) = 8 ] && man -w sarvelad sarpanel sarvela-pulih svcmgrd svcmgr-access svcmgr-config"
expect "someone outside the group cannot read the settings" bash -c "! runuser -u $OTHER -- cat $PREFIX/confbu.cfg"
# A PostgreSQL client that comes or goes fires the package's trigger, which links dbutils/ anew.
ln -sfn /nonexistent "$PREFIX/dbutils/pg_dump"
dpkg-trigger --no-await /usr/lib/postgresql
dpkg --triggers-only sarvela
expect "a client coming or going links dbutils/ anew (the trigger)" \
    is "$(readlink $PREFIX/dbutils/pg_dump)" "$(sarvela_newest_pg_tool pg_dump)"
end_step install "apt install, the layout, the registration and the group's rights"

echo "== A backup of a throwaway PostgreSQL, set up and started by a member of sarvela"
sarvela_start_pg "$WORK/pg" "postgres-pw-$RANDOM"
sarvela_psql -d postgres -c "CREATE DATABASE penjualan"
sarvela_psql -d penjualan -c "CREATE TABLE tblbarang (id serial PRIMARY KEY, nama text);
    INSERT INTO tblbarang (nama) SELECT 'barang ' || g FROM generate_series(1, 100) g;"
if [ "$(date +%-S)" -ge 45 ]; then sleep $((61 - $(date +%-S))); fi
jam=$(date +%Y-%m-%dT%H:%M:00)
as_member sqlite3 "$PREFIX/confbu.cfg" "UPDATE confdb SET server='127.0.0.1', port=$SARVELA_PG_PORT,
    user='postgres', pass='$(cat "$WORK/pg/pw")', outputdir='$OUTPUT_DIR', jam1='$jam', jam1st=1, jam2st=0;
    DELETE FROM tbldb; INSERT INTO tbldb (dbname) VALUES ('penjualan');"
# The service reads its settings when it starts; the member restarts it, without sudo.
as_member "$PREFIX/sarvelad" -t
as_member "$PREFIX/sarvelad"
dump=""
for _ in $(seq 240); do
    dump=$(ls "$OUTPUT_DIR"/bu_penjualan_*.bu 2>/dev/null | head -n 1 || true)
    [ -n "$dump" ] && break
    sleep 0.5
done
expect "the member restarted the service" bash -c "$PREFIX/sarvelad -v | grep -q 'and running'"
expect "a dump was made in $OUTPUT_DIR" test -n "$dump"
expect "the member can read it with pg_restore" as_member "$(sarvela_newest_pg_tool pg_restore)" --list "${dump:-none}"
expect "someone outside the group cannot" bash -c "! runuser -u $OTHER -- cat '${dump:-none}'"
sarvela_psql -d postgres -c "CREATE DATABASE penjualan_pulih"
"$(sarvela_newest_pg_tool pg_restore)" -h "$WORK/pg" -p "$SARVELA_PG_PORT" -U postgres -d penjualan_pulih "${dump:-none}" || true
expect "it restores: 100 rows in penjualan_pulih" \
    is "$(sarvela_psql -d penjualan_pulih -tA -c 'SELECT count(*) FROM tblbarang' 2>/dev/null)" 100
expect "busys.log names the dump" grep -q "Backup Database : .*$(basename "${dump:-none}")" "$DATA_DIR/busys.log"
# The package's rule, forced: the log copied to a folder of root's, emptied in place.
if command -v logrotate >/dev/null; then
    log_size=$(wc -c <"$DATA_DIR/busys.log")
    logrotate -f -s "$WORK/logrotate.status" /etc/logrotate.d/sarvela
    expect "logrotate copies busys.log into /var/log/sarvela and empties it in place" bash -c \
        "[ \$(wc -c </var/log/sarvela/busys.log.1) = $log_size ] && [ ! -s $DATA_DIR/busys.log ] &&
         [ \"\$(stat -c '%U:%G %a' $DATA_DIR/busys.log /var/log/sarvela)\" = 'root:sarvela 660
root:sarvela 750' ]"
fi
expect "the history has the job, riwayat.db _sarvela:sarvela 0640" \
    bash -c "[ '$(history_rows)' -ge 1 ] && [ \"\$(stat -c '%U:%G %a' $HISTORY)\" = '_sarvela:sarvela 640' ]"
expect "the dump is _sarvela's, 0640" is "$(stat -c '%U %a' "${dump:-none}" 2>/dev/null)" "_sarvela 640"
expect "the member cannot put a journal beside the history" \
    bash -c "! runuser -u $MEMBER -- sh -c ': > $HISTORY-journal'"
# No second run when the upgrade restarts the service within the same minute.
as_member sqlite3 "$PREFIX/confbu.cfg" "UPDATE confdb SET jam1st=0"
expect "nor a FIFO beside the settings that holds the service: it is refused" bash -c "
    runuser -u $MEMBER -- mkfifo $DATA_DIR/confbu.cfg-journal && runuser -u $MEMBER -- $PREFIX/sarvelad -t &&
    runuser -u $MEMBER -- $PREFIX/sarvelad && sleep 3 &&
    grep -q 'Error Load database :\[$DATA_DIR/confbu.cfg-journal\] bukan berkas biasa' $DATA_DIR/busys.log;
    status=\$?; rm -f $DATA_DIR/confbu.cfg-journal; exit \$status"
end_step backup "settings and restart by a member, pg_dump through the service, restored"

echo "== kill -9 of the service: the manager starts it again after the delay"
"$PREFIX/svcmgr-config" "Sarvela DB Backup" --restart-after 2 --reset-after 60 >/dev/null
killed=$(service_pid)
[ -n "$killed" ] && kill -9 "$killed"
restarted=""
for _ in $(seq 100); do
    restarted=$(service_pid)
    [ -n "$restarted" ] && [ "$restarted" != "$killed" ] && break
    sleep 0.2
done
expect "started again, as _sarvela" \
    bash -c "[ -n '$restarted' ] && [ '$restarted' != '$killed' ] && [ '$(uid_of "${restarted:-0}")' = \$(id -u _sarvela) ]"
expect "the event log says why" grep -q "terminated unexpectedly.*Restart the service" "$MANAGER_DIR/events.log"
"$PREFIX/svcmgr-config" "Sarvela DB Backup" --restart-after 60 --reset-after 86400 >/dev/null
end_step recover "kill -9, restart after the failure actions' delay, the reason in the event log"

echo "== The tray at login: the autostart entry for a member and for someone else"
exec_line=$(sed -n 's/^Exec=//p' /etc/xdg/autostart/sarpanel-tray.desktop)
mkdir -m 0700 "$WORK/tmp-member" "$WORK/tmp-other"
chown "$MEMBER" "$WORK/tmp-member"
chown "$OTHER" "$WORK/tmp-other"
runuser -u "$MEMBER" -- env TMPDIR="$WORK/tmp-member" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$WORK/tmp-member" \
    $exec_line >/dev/null 2>&1 &
PANEL_PID=$!
sleep 3
expect "a member's login starts sarpanel --tray" bash -c "pgrep -u $MEMBER -x -f '$PREFIX/sarpanel --tray'"
for pid in $(pgrep -u "$MEMBER" -x -f "$PREFIX/sarpanel --tray" || true); do kill "$pid"; done
wait "$PANEL_PID" 2>/dev/null || true
PANEL_PID=""
expect "someone else's login starts nothing" \
    bash -c "runuser -u $OTHER -- env TMPDIR=$WORK/tmp-other QT_QPA_PLATFORM=offscreen timeout 10 $exec_line && ! pgrep -u $OTHER sarpanel"
end_step tray "autostart for members of sarvela only"

echo "== Upgrading to $(basename "$DEB2")"
settings_before=$(sha256sum <"$DATA_DIR/confbu.cfg")
log_before=$(wc -c <"$DATA_DIR/busys.log")
rows_before=$(history_rows)
last_row=$(sqlite3 -readonly "$HISTORY" "select max(id) from riwayat" || true)
pid_before=$(service_pid)
apt-get install -y -q --no-install-recommends "$DEB2"
pid_after=$(service_pid)
expect "the version is $version+rebuilt1" is "$(dpkg-query -W -f='${Version}' sarvela)" "$version+rebuilt1"
expect "the settings are unchanged" is "$(sha256sum <"$DATA_DIR/confbu.cfg")" "$settings_before"
expect "the log kept what it had" bash -c "[ \$(wc -c <$DATA_DIR/busys.log) -ge $log_before ]"
expect "the history kept its jobs" is "$(history_rows "${last_row:-0}")" "$rows_before"
expect "the registration and the group's rights are kept" \
    bash -c "$PREFIX/sarvelad -v | grep -q 'is installed and running' && $PREFIX/svcmgr-access --show 'Sarvela DB Backup' | grep -q '^sarvela'"
expect "the service was restarted" bash -c "[ -n '$pid_after' ] && [ '$pid_after' != '$pid_before' ]"
expect "and runs the new program" bash -c "! readlink /proc/${pid_after:-0}/exe | grep -q deleted && readlink /proc/${pid_after:-0}/exe"
end_step upgrade "to a rebuilt package: settings, log, history, registration kept; new programs run"

echo "== Removing the package"
apt-get remove -y -q sarvela
expect "the service is unregistered" bash -c "! grep -q 'Sarvela DB Backup' $MANAGER_DIR/services.db"
expect "the service no longer runs" bash -c "[ -z \"\$(pgrep -x -f $PREFIX/sarvelad)\" ]"
expect "the program directory is gone" test ! -e "$PREFIX"
expect "the settings, log and history are kept" \
    bash -c "cmp -s <(sha256sum <$DATA_DIR/confbu.cfg) <(echo '$settings_before') && [ -s $DATA_DIR/busys.log ] && [ -s $HISTORY ]"
expect "the dumps are kept" test -f "${dump:-none}"
if [ -n "$MANAGER_PID" ]; then
    kill "$MANAGER_PID"
    for _ in $(seq 100); do kill -0 "$MANAGER_PID" 2>/dev/null || break; sleep 0.1; done
    MANAGER_PID=""
fi
end_step remove "service stopped and unregistered, programs gone, data kept"

echo "== Purging the package"
apt-get purge -y -q sarvela | tee "$WORK/purge.log"
expect "the data directory is gone" test ! -e "$DATA_DIR"
expect "the log's rotated copies are gone" test ! -e /var/log/sarvela
expect "the manager's state is gone" test ! -e "$MANAGER_DIR"
expect "the unit's enable link is gone" test ! -e /etc/systemd/system/multi-user.target.wants/svcmgrd.service
expect "the dumps and the user _sarvela are kept, and the purge said so" \
    bash -c "[ -f '${dump:-none}' ] && id _sarvela && grep -q 'kept: the dumps in $OUTPUT_DIR' '$WORK/purge.log'"
expect "nothing of the package is left in dpkg" bash -c "! dpkg-query -W sarvela"
end_step purge "data directory removed, dumps, group and user kept"

echo
echo "== Summary"
printf '%s\n' "${SUMMARY[@]}"
exit "$FAILED"
