#!/usr/bin/env bash
# Installs Sarvela DB Backup for real use, as root on Debian 12:
#   - the program directory PREFIX (default /opt/sarvela), with dbutils/pg_dump linked
#     to the pg_dump of the newest PostgreSQL installed here (it must match the server);
#   - the group ADMIN_GROUP (default sarvela) whose members may edit the settings and
#     read or empty the log; nobody else can read confbu.cfg (it holds the password),
#     the log or the dumps;
#   - the backup folder OUTPUT_DIR (default /var/backups/sarvela) with the same rule;
#   - the service manager's systemd unit, enabled and started when systemd runs;
#   - the service, registered to start with the system.
# A reinstall keeps confbu.cfg and the registration.
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/deps.sh"
PREFIX=${PREFIX:-/opt/sarvela}
ADMIN_GROUP=${ADMIN_GROUP:-sarvela}
OUTPUT_DIR=${OUTPUT_DIR:-/var/backups/sarvela}

sarvela_install_deps
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
sarvela_build "$BUILD_DIR"

echo "== Installing into $PREFIX"
cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null

pg_dump_bin=$(ls -d /usr/lib/postgresql/*/bin/pg_dump 2>/dev/null | sort -V | tail -n 1)
if [ -n "$pg_dump_bin" ]; then
    echo "== dbutils/pg_dump -> $pg_dump_bin"
    ln -sfn "$pg_dump_bin" "$PREFIX/dbutils/pg_dump"
fi

echo "== Permissions: group $ADMIN_GROUP edits the settings and reads the log, others see nothing"
groupadd -f "$ADMIN_GROUP"
# The folder itself must be group-writable: SQLite writes its journal beside confbu.cfg.
# The setgid bit hands the group to every file made inside later (busys.log, journals).
chown root:"$ADMIN_GROUP" "$PREFIX"
chmod 2770 "$PREFIX"
touch "$PREFIX/busys.log"
chown root:"$ADMIN_GROUP" "$PREFIX/confbu.cfg" "$PREFIX/busys.log"
chmod 0660 "$PREFIX/confbu.cfg" "$PREFIX/busys.log"
mkdir -p "$OUTPUT_DIR"
chown root:"$ADMIN_GROUP" "$OUTPUT_DIR"
chmod 2750 "$OUTPUT_DIR"

if [ -d /run/systemd/system ]; then
    echo "== Enabling the service manager: svcmgrd.service"
    install -m 0644 "$PREFIX/svcmgrd.service" /etc/systemd/system/svcmgrd.service
    systemctl daemon-reload
    systemctl enable --now svcmgrd.service
else
    echo "== No systemd here: start $PREFIX/svcmgrd yourself (the unit is $PREFIX/svcmgrd.service)"
    if ! "$PREFIX/sarvelad" -v >/dev/null 2>&1 || [ ! -S "${SVCMGR_DIR:-/var/lib/svcmgr}/svcmgr.sock" ]; then
        mkdir -p "${SVCMGR_DIR:-/var/lib/svcmgr}"
        nohup "$PREFIX/svcmgrd" >/dev/null 2>&1 &
        sleep 1
    fi
fi

echo "== Registering the service"
"$PREFIX/sarvelad" -i
# Started now as well; from then on the manager starts it at every boot.
"$PREFIX/sarvelad" || echo "!! the service did not start; see $PREFIX/busys.log and the manager's events.log" >&2
"$PREFIX/sarvelad" -v
echo "== Done. Add administrators with: usermod -aG $ADMIN_GROUP <user>; open $PREFIX/sarpanel"
