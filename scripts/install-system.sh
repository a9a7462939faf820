#!/usr/bin/env bash
# Installs Sarvela DB Backup for real use, as root (Debian 12):
#   - the program directory PREFIX (default /opt/sarvela): owned by root, nothing in it
#     or above it writable by anyone else, with dbutils/pg_dump, pg_restore, pg_dumpall, psql
#     linked to the newest PostgreSQL installed here (at least the server's version);
#   - the service's user SERVICE_USER (default _sarvela): a system user without login or
#     home, a member of ADMIN_GROUP;
#   - the data directory DATA_DIR (default /var/lib/sarvela, root:ADMIN_GROUP, setgid and
#     sticky) holding confbu.cfg and busys.log (group read/write), and riwayat/ with the
#     history riwayat.db (the service user's, group read), reached through links in PREFIX;
#   - the backup folder OUTPUT_DIR (default /var/backups/sarvela, SERVICE_USER:ADMIN_GROUP 2750);
#   - the service manager: its systemd unit, enabled and started when systemd runs,
#     else started in the background (SVCMGR_DIR names a private one);
#   - the service, registered to start with the system as SERVICE_USER and to be started
#     again a minute after it fails, with start, stop and the other controls granted to
#     ADMIN_GROUP, and started.
# A reinstall keeps the settings, the log, the history and the registration; an install
# that ran the service as root gives the history, the dumps and the registration to
# SERVICE_USER. An install of the earlier layout (everything in a group-writable PREFIX) is
# moved into DATA_DIR.
# Nothing is ever done through a link that this script did not make.
#
# SARVELA_SKIP_DEPS=1 and SARVELA_SKIP_BUILD=1 (with BUILD_DIR) skip apt-get and the build.
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"
PREFIX=${PREFIX:-/opt/sarvela}
DATA_DIR=${DATA_DIR:-/var/lib/sarvela}
OUTPUT_DIR=${OUTPUT_DIR:-/var/backups/sarvela}
ADMIN_GROUP=${ADMIN_GROUP:-sarvela}
SERVICE_USER=${SERVICE_USER:-_sarvela}
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}

sarvela_need_root
[ "${SARVELA_SKIP_DEPS:-0}" = 1 ] || sarvela_install_deps
[ "${SARVELA_SKIP_BUILD:-0}" = 1 ] || sarvela_build "$BUILD_DIR"

for path in "$PREFIX" "$DATA_DIR" "$OUTPUT_DIR"; do
    case $path in /*) ;; *) sarvela_die "$path: give an absolute path" ;; esac
done

# The steps are those of the Debian package too (packaging/sarvela-layout.sh).
echo "== The program directory $PREFIX (root's alone)"
sarvela_lock_program_dir

echo "== The service's user $SERVICE_USER, in the group $ADMIN_GROUP"
sarvela_make_service_user
# Stopped before its files move; the manager starts it again below.
if [ -x "$PREFIX/sarvelad" ] && sarvela_manager_runs; then
    sarvela_stop_service || echo "!! the service has not stopped yet"
fi

echo "== The data directory $DATA_DIR (root:$ADMIN_GROUP, setgid and sticky)"
sarvela_make_data_dir
sarvela_move_earlier_install
sarvela_remove_strays

echo "== Installing the programs into $PREFIX"
STAGE=$(mktemp -d)
trap 'rm -rf -- "$STAGE"' EXIT
# Staged first (with the final prefix, which the manager's unit names), so that the
# settings delivered with the build can be told apart from the administrator's.
DESTDIR=$STAGE cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null
staged=$STAGE$PREFIX
delivered="$STAGE/confbu.delivered"
mv -T -- "$staged/confbu.cfg" "$delivered"
rm -f -- "$staged/busys.log" "$staged/riwayat.db" "$staged/dbutils/pg_dump" "$staged/dbutils/pg_restore" \
    "$staged/dbutils/pg_dumpall" "$staged/dbutils/psql"
# Each name is removed before it is written, so a name can never be written through.
cp -R --no-dereference --preserve=mode,timestamps --remove-destination -- "$staged/." "$PREFIX/"
chown -R -h root:root -- "$PREFIX"
chmod -R go-w -- "$PREFIX"

sarvela_link_pg_tools || true

echo "== Settings, log and history in $DATA_DIR"
sarvela_lay_out_data "$delivered"

echo "== The backup folder $OUTPUT_DIR ($SERVICE_USER:$ADMIN_GROUP, 2750)"
sarvela_make_output_dir

echo "== The service manager"
if [ "${NO_SYSTEMD:-0}" != 1 ] && [ -d /run/systemd/system ]; then
    install -m 0644 -- "$PREFIX/svcmgrd.service" /etc/systemd/system/svcmgrd.service
    systemctl daemon-reload
    systemctl enable svcmgrd.service
    # A restart runs the new programs: the manager stops the service and starts it again.
    systemctl restart svcmgrd.service
else
    state=$(sarvela_manager_dir)
    if sarvela_manager_runs; then
        pid=$(cat "$state/svcmgrd.pid")
        echo "   stopping the running manager ($pid) to start the new one"
        kill "$pid"
        for _ in $(seq 100); do flock -n "$state/svcmgrd.pid" true && break; sleep 0.1; done
    fi
    echo "   no systemd here: starting $PREFIX/svcmgrd in the background (state in $state)"
    setsid "$PREFIX/svcmgrd" </dev/null >/dev/null 2>&1 &
    sarvela_wait_for_socket "$state/svcmgr.sock" 10 || sarvela_die "the service manager did not start"
fi

echo "== Registering the service as $SERVICE_USER, and the rights of $ADMIN_GROUP"
sarvela_register_service
echo "== Done. Add administrators with: usermod -aG $ADMIN_GROUP <user> (they log in again); open $PREFIX/sarpanel"
