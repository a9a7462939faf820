#!/usr/bin/env bash
# Installs Sarvela DB Backup for real use, as root (Debian 12):
#   - the program directory PREFIX (default /opt/sarvela): owned by root, nothing in it
#     or above it writable by anyone else, with dbutils/pg_dump and dbutils/pg_restore
#     linked to the newest PostgreSQL installed here (at least the server's version);
#   - the data directory DATA_DIR (default /var/lib/sarvela, root:ADMIN_GROUP, setgid and
#     sticky) holding confbu.cfg and busys.log (group read/write) and the history
#     riwayat.db (made by the service, group read), reached through links in PREFIX;
#   - the backup folder OUTPUT_DIR (default /var/backups/sarvela, root:ADMIN_GROUP 2750);
#   - the service manager: its systemd unit, enabled and started when systemd runs,
#     else started in the background (SVCMGR_DIR names a private one);
#   - the service, registered to start with the system, with start, stop and the
#     other controls granted to ADMIN_GROUP, and started.
# A reinstall keeps the settings, the log, the history and the registration. An install
# of the earlier layout (everything in a group-writable PREFIX) is moved into DATA_DIR.
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
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
SERVICE="Sarvela DB Backup"
# Names the program directory links to the data directory.
DATA_FILES=(confbu.cfg busys.log riwayat.db)

sarvela_need_root
[ "${SARVELA_SKIP_DEPS:-0}" = 1 ] || sarvela_install_deps
[ "${SARVELA_SKIP_BUILD:-0}" = 1 ] || sarvela_build "$BUILD_DIR"

for path in "$PREFIX" "$DATA_DIR" "$OUTPUT_DIR"; do
    case $path in /*) ;; *) sarvela_die "$path: give an absolute path" ;; esac
done

# Every folder above PATH must be root's and writable by nobody else, except a
# sticky folder (like /tmp) whose next component is root's.
check_parents() {
    local path=$1 parent child owner mode
    child=$path
    parent=$(dirname "$path")
    while :; do
        [ -L "$parent" ] && parent=$(readlink -f -- "$parent")
        # A folder that does not exist yet is made by root below.
        if [ ! -e "$parent" ]; then
            child=$parent
            parent=$(dirname "$parent")
            continue
        fi
        read -r owner mode < <(stat -c '%u %a' -- "$parent")
        if [ "$owner" != 0 ]; then
            sarvela_die "$parent belongs to another user than root: $path would not be safe there"
        fi
        if [ $((0$mode & 022)) != 0 ]; then
            if [ $((0$mode & 01000)) = 0 ] || { [ -e "$child" ] && [ "$(stat -c %u -- "$child")" != 0 ]; }; then
                sarvela_die "$parent can be written by other users: $path would not be safe there"
            fi
        fi
        [ "$parent" = / ] && break
        child=$parent
        parent=$(dirname "$parent")
    done
}

# A folder of ours: made when missing, refused when something else has the name.
own_folder() {
    local path=$1 group=$2 mode=$3
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
        sarvela_die "$path exists and is not a folder (a link or a file); move it away and run again"
    fi
    check_parents "$path"
    mkdir -p -- "$path"
    chown -h root:"$group" -- "$path"
    chmod "$mode" -- "$path"
}

# Makes DEST a regular file of root:ADMIN_GROUP with MODE holding what SRC holds.
# SRC is read without following a link; the new file is made in a private name and
# renamed over DEST, which replaces whatever a group member put there.
adopt() {
    local src=$1 dest=$2 mode=$3 tmp
    tmp=$(mktemp "$DATA_DIR/.install.XXXXXX")
    if [ -n "$src" ]; then
        dd if="$src" of="$tmp" iflag=nofollow conv=notrunc status=none ||
            { rm -f -- "$tmp"; sarvela_die "cannot read $src"; }
    fi
    chown root:"$ADMIN_GROUP" -- "$tmp"
    chmod "$mode" -- "$tmp"
    mv -T -f -- "$tmp" "$dest"
}

# A name in the data directory that must be a regular file (or absent).
data_file() {
    local name=$1 mode=$2 fallback=$3 path="$DATA_DIR/$1"
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -f "$path" ]; }; then
        local aside
        aside="$DATA_DIR/$name.ditolak-$(date +%Y%m%d%H%M%S)"
        echo "   $path is no regular file (a link or something else): moved aside to $aside"
        mv -T -- "$path" "$aside"
    fi
    if [ -f "$path" ]; then
        if [ "$(stat -c '%u %h' -- "$path")" = "0 1" ]; then
            chown root:"$ADMIN_GROUP" -- "$path"
            chmod "$mode" -- "$path"
        else
            # Made by someone else (or hard-linked): taken over as a copy of root's own.
            adopt "$path" "$path" "$mode"
        fi
    elif [ -n "$fallback" ]; then
        adopt "$fallback" "$path" "$mode"
    fi
}

echo "== The program directory $PREFIX (root's alone)"
if [ -e "$PREFIX" ] || [ -L "$PREFIX" ]; then
    # First of all, so that no group member can change anything in it from here on.
    [ -d "$PREFIX" ] && [ ! -L "$PREFIX" ] || sarvela_die "$PREFIX is not a folder; move it away and run again"
    chown -h root:root -- "$PREFIX"
    chmod 00755 -- "$PREFIX"
fi
own_folder "$PREFIX" root 00755

echo "== The data directory $DATA_DIR (root:$ADMIN_GROUP, setgid and sticky)"
groupadd -f "$ADMIN_GROUP"
own_folder "$DATA_DIR" "$ADMIN_GROUP" 03770

# An earlier install kept the settings and the log in the program directory itself.
for name in "${DATA_FILES[@]}" confbu.cfg-journal; do
    old="$PREFIX/$name"
    if [ -L "$old" ]; then
        if [ "$(readlink -- "$old")" != "$DATA_DIR/$name" ]; then
            echo "   $old is a link this install did not make: removed"
            rm -f -- "$old"
        fi
    elif [ -f "$old" ]; then
        if [ -e "$DATA_DIR/$name" ] || [ -L "$DATA_DIR/$name" ]; then
            kept="$DATA_DIR/$name.lama-$(date +%Y%m%d%H%M%S)"
            echo "   $old: $DATA_DIR/$name already exists; the old one is kept as $kept"
            adopt "$old" "$kept" 0640
        else
            echo "   moving $old of the earlier install to $DATA_DIR/$name"
            adopt "$old" "$DATA_DIR/$name" 0660
        fi
        rm -f -- "$old"
    elif [ -e "$old" ]; then
        sarvela_die "$old is neither a file nor a link; move it away and run again"
    fi
done

# Whatever a group member left in the earlier, group-writable directory goes: a
# program run by root must load nothing but ours from here (Qt looks for plugins
# beside the program, too).
strays=()
while IFS= read -r -d '' entry; do
    case ${entry#"$PREFIX/"} in
    confbu.cfg | busys.log | riwayat.db)
        [ "$(readlink -- "$entry")" = "$DATA_DIR/${entry#"$PREFIX/"}" ] && continue ;;
    dbutils/pg_dump | dbutils/pg_restore)
        [ "$(stat -c %u -- "$entry")" = 0 ] && continue ;;
    esac
    strays+=("$entry")
done < <(find "$PREFIX" -mindepth 1 \( -type l -o ! -user root \) -print0 -prune)
for entry in "${strays[@]}"; do
    echo "   removing $entry (not part of the install)"
    rm -rf -- "$entry"
done

echo "== Installing the programs into $PREFIX"
STAGE=$(mktemp -d)
trap 'rm -rf -- "$STAGE"' EXIT
# Staged first (with the final prefix, which the manager's unit names), so that the
# settings delivered with the build can be told apart from the administrator's.
DESTDIR=$STAGE cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null
staged=$STAGE$PREFIX
delivered="$STAGE/confbu.delivered"
mv -T -- "$staged/confbu.cfg" "$delivered"
rm -f -- "$staged/busys.log" "$staged/riwayat.db" "$staged/dbutils/pg_dump" "$staged/dbutils/pg_restore"
# Each name is removed before it is written, so a name can never be written through.
cp -R --no-dereference --preserve=mode,timestamps --remove-destination -- "$staged/." "$PREFIX/"
chown -R -h root:root -- "$PREFIX"
chmod -R go-w -- "$PREFIX"

for tool in pg_dump pg_restore; do
    bin=$(sarvela_newest_pg_tool "$tool")
    if [ -n "$bin" ]; then
        echo "   dbutils/$tool -> $bin"
        ln -sfn -- "$bin" "$PREFIX/dbutils/$tool"
    else
        echo "!! no $tool of PostgreSQL found: install postgresql-client-15 or newer" >&2
    fi
done

echo "== Settings, log and history in $DATA_DIR"
data_file confbu.cfg 0660 "$delivered"
data_file confbu.cfg-journal 0660 ""
data_file busys.log 0660 /dev/null
data_file riwayat.db 0640 ""
for name in "${DATA_FILES[@]}"; do
    ln -sfn -- "$DATA_DIR/$name" "$PREFIX/$name"
done

echo "== The backup folder $OUTPUT_DIR (root:$ADMIN_GROUP, 2750)"
own_folder "$OUTPUT_DIR" "$ADMIN_GROUP" 02750

echo "== The service manager"
if [ "${NO_SYSTEMD:-0}" != 1 ] && [ -d /run/systemd/system ]; then
    install -m 0644 -- "$PREFIX/svcmgrd.service" /etc/systemd/system/svcmgrd.service
    systemctl daemon-reload
    systemctl enable svcmgrd.service
    # A restart runs the new programs: the manager stops the service and starts it again.
    systemctl restart svcmgrd.service
else
    state=${SVCMGR_DIR:-/var/lib/svcmgr}
    if [ -f "$state/svcmgrd.pid" ] && ! flock -n "$state/svcmgrd.pid" true; then
        pid=$(cat "$state/svcmgrd.pid")
        echo "   stopping the running manager ($pid) to start the new one"
        kill "$pid"
        for _ in $(seq 100); do flock -n "$state/svcmgrd.pid" true && break; sleep 0.1; done
    fi
    echo "   no systemd here: starting $PREFIX/svcmgrd in the background (state in $state)"
    setsid "$PREFIX/svcmgrd" </dev/null >/dev/null 2>&1 &
    sarvela_wait_for_socket "$state/svcmgr.sock" 10 || sarvela_die "the service manager did not start"
fi

echo "== Registering the service, and the rights of $ADMIN_GROUP"
"$PREFIX/sarvelad" -i
"$PREFIX/svcmgr-access" "$SERVICE" "$ADMIN_GROUP"
status=$("$PREFIX/sarvelad" -v)
case $status in
*"and running"*) ;;
*)  # From then on the manager starts it at every boot.
    "$PREFIX/sarvelad" || echo "!! the service did not start; see $DATA_DIR/busys.log and the manager's events.log" >&2
    status=$("$PREFIX/sarvelad" -v) ;;
esac
echo "$status"
echo "== Done. Add administrators with: usermod -aG $ADMIN_GROUP <user> (they log in again); open $PREFIX/sarpanel"
