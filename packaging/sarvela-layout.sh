# How Sarvela DB Backup is laid out for real use, so that only root can change what
# root runs:
#   - the program directory PREFIX: root's, nothing in it or above it writable by
#     anyone else, with dbutils/pg_dump, pg_restore, pg_dumpall and psql linked to the
#     newest PostgreSQL client installed;
#   - the data directory DATA_DIR (root:ADMIN_GROUP, setgid and sticky) holding
#     confbu.cfg and busys.log (group read/write) and the history riwayat.db (made by
#     the service, group read), reached through links in PREFIX;
#   - the output folder OUTPUT_DIR (root:ADMIN_GROUP 2750);
#   - the service, registered with the service manager, its controls granted to
#     ADMIN_GROUP.
# Nothing here acts through a link that it did not make.
#
# Sourced (by bash, as root) by scripts/install-system.sh and by the Debian package's
# maintainer scripts, which set PREFIX, DATA_DIR, OUTPUT_DIR and ADMIN_GROUP first.

SARVELA_SERVICE="Sarvela DB Backup"
# Names the program directory links to the data directory.
SARVELA_DATA_FILES=(confbu.cfg busys.log riwayat.db)
# The PostgreSQL tools that the service runs from dbutils.
SARVELA_PG_TOOLS=(pg_dump pg_restore pg_dumpall psql)

sarvela_die() {
    echo "!! $*" >&2
    exit 1
}

# Waits until a UNIX socket exists, for at most the given seconds (default 10).
sarvela_wait_for_socket() {
    local socket=$1 tenths=$((${2:-10} * 10))
    while [ ! -S "$socket" ]; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

# The newest installed PostgreSQL's copy of a tool (pg_dump, pg_restore), or nothing.
sarvela_newest_pg_tool() {
    local tool=$1 newest="" candidate
    for candidate in /usr/lib/postgresql/*/bin/"$tool"; do
        [ -x "$candidate" ] || continue
        if [ -z "$newest" ] || [ "$(printf '%s\n%s\n' "$newest" "$candidate" | sort -V | tail -n 1)" = "$candidate" ]; then
            newest=$candidate
        fi
    done
    printf '%s' "$newest"
}

# Every folder above PATH must be root's and writable by nobody else, except a
# sticky folder (like /tmp) whose next component is root's.
sarvela_check_parents() {
    local path=$1 parent child owner mode
    child=$path
    parent=$(dirname "$path")
    while :; do
        [ -L "$parent" ] && parent=$(readlink -f -- "$parent")
        # A folder that does not exist yet is made by root.
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
sarvela_own_folder() {
    local path=$1 group=$2 mode=$3
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
        sarvela_die "$path exists and is not a folder (a link or a file); move it away and run again"
    fi
    sarvela_check_parents "$path"
    mkdir -p -- "$path"
    chown -h root:"$group" -- "$path"
    chmod "$mode" -- "$path"
}

# Makes DEST a regular file of root:ADMIN_GROUP with MODE holding what SRC holds.
# SRC is read without following a link; the new file is made in a private name and
# renamed over DEST, which replaces whatever a group member put there.
sarvela_adopt() {
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

# A name in the data directory that must be a regular file (or absent); made from
# FALLBACK when missing and FALLBACK is given.
sarvela_data_file() {
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
            sarvela_adopt "$path" "$path" "$mode"
        fi
    elif [ -n "$fallback" ]; then
        sarvela_adopt "$fallback" "$path" "$mode"
    fi
}

# The program directory becomes root's alone, first of all, so that no group member
# of an earlier, group-writable install can change anything in it from here on.
sarvela_lock_program_dir() {
    if [ -e "$PREFIX" ] || [ -L "$PREFIX" ]; then
        [ -d "$PREFIX" ] && [ ! -L "$PREFIX" ] || sarvela_die "$PREFIX is not a folder; move it away and run again"
        chown -h root:root -- "$PREFIX"
        chmod 00755 -- "$PREFIX"
    fi
    sarvela_own_folder "$PREFIX" root 00755
}

sarvela_make_data_dir() {
    getent group "$ADMIN_GROUP" >/dev/null || groupadd --system "$ADMIN_GROUP"
    sarvela_own_folder "$DATA_DIR" "$ADMIN_GROUP" 03770
}

# An earlier install kept the settings and the log in the program directory itself:
# they move into the data directory, and links there that we did not make go.
sarvela_move_earlier_install() {
    local name old kept
    for name in "${SARVELA_DATA_FILES[@]}" confbu.cfg-journal; do
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
                sarvela_adopt "$old" "$kept" 0640
            else
                echo "   moving $old of the earlier install to $DATA_DIR/$name"
                sarvela_adopt "$old" "$DATA_DIR/$name" 0660
            fi
            rm -f -- "$old"
        elif [ -e "$old" ]; then
            sarvela_die "$old is neither a file nor a link; move it away and run again"
        fi
    done
}

# Whatever is in the program directory without being part of the install goes: a
# program run by root must load nothing but ours from here (Qt looks for plugins
# beside the program, too). Our links are root's and name what we link them to.
sarvela_remove_strays() {
    local entry strays=()
    while IFS= read -r -d '' entry; do
        case ${entry#"$PREFIX/"} in
        confbu.cfg | busys.log | riwayat.db)
            [ "$(readlink -- "$entry")" = "$DATA_DIR/${entry#"$PREFIX/"}" ] && continue ;;
        dbutils/pg_dump | dbutils/pg_restore | dbutils/pg_dumpall | dbutils/psql)
            [ "$(stat -c %u -- "$entry")" = 0 ] && continue ;;
        esac
        strays+=("$entry")
    done < <(find "$PREFIX" -mindepth 1 \( -type l -o ! -user root \) -print0 -prune)
    for entry in "${strays[@]}"; do
        echo "   removing $entry (not part of the install)"
        rm -rf -- "$entry"
    done
}

# dbutils/pg_dump, pg_restore, pg_dumpall and psql: links to the newest PostgreSQL client here.
# Returns 1 (after saying so) when there is none.
sarvela_link_pg_tools() {
    local tool bin missing=0
    [ -d "$PREFIX/dbutils" ] && [ ! -L "$PREFIX/dbutils" ] || { rm -f -- "$PREFIX/dbutils"; mkdir -m 0755 -- "$PREFIX/dbutils"; }
    for tool in "${SARVELA_PG_TOOLS[@]}"; do
        bin=$(sarvela_newest_pg_tool "$tool")
        if [ -n "$bin" ]; then
            [ "$(readlink -- "$PREFIX/dbutils/$tool" 2>/dev/null)" = "$bin" ] || echo "   dbutils/$tool -> $bin"
            ln -sfn -- "$bin" "$PREFIX/dbutils/$tool"
        else
            echo "!! no $tool of PostgreSQL found: install postgresql-client-15 or newer" >&2
            missing=1
        fi
    done
    return "$missing"
}

# The settings, the log and the history in the data directory, and the program
# directory's links to them. DELIVERED: the settings to start from when there are none.
sarvela_lay_out_data() {
    local delivered=$1 name
    sarvela_data_file confbu.cfg 0660 "$delivered"
    sarvela_data_file confbu.cfg-journal 0660 ""
    sarvela_data_file busys.log 0660 /dev/null
    sarvela_data_file riwayat.db 0640 ""
    for name in "${SARVELA_DATA_FILES[@]}"; do
        ln -sfn -- "$DATA_DIR/$name" "$PREFIX/$name"
    done
}

sarvela_make_output_dir() {
    sarvela_own_folder "$OUTPUT_DIR" "$ADMIN_GROUP" 02750
}

# The links that the layout made in the program directory, and the service's run
# lock: what is left there once the programs are gone.
sarvela_remove_made_links() {
    local name
    for name in "${SARVELA_DATA_FILES[@]}"; do
        [ -L "$PREFIX/$name" ] && rm -f -- "$PREFIX/$name"
    done
    for name in "${SARVELA_PG_TOOLS[@]}"; do
        [ -L "$PREFIX/dbutils/$name" ] && rm -f -- "$PREFIX/dbutils/$name"
    done
    [ -d "$PREFIX/dbutils" ] && rmdir --ignore-fail-on-non-empty -- "$PREFIX/dbutils"
    rm -f -- "$PREFIX/sarvelad.lock"
}

sarvela_manager_dir() {
    printf '%s' "${SVCMGR_DIR:-/var/lib/svcmgr}"
}

# Whether a service manager serves its state directory: its pid file is locked.
sarvela_manager_runs() {
    local pidfile
    pidfile="$(sarvela_manager_dir)/svcmgrd.pid"
    [ -f "$pidfile" ] && [ ! -L "$pidfile" ] && ! flock -n "$pidfile" true
}

# Waits until a service manager serves its state directory and has made its socket,
# for at most the given seconds (default 10): a socket alone may be one that a
# crashed manager left behind.
sarvela_wait_for_manager() {
    local tenths=$((${1:-10} * 10)) socket
    socket="$(sarvela_manager_dir)/svcmgr.sock"
    until sarvela_manager_runs && [ -S "$socket" ]; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

sarvela_service_runs() {
    case $("$PREFIX/sarvelad" -v) in
    *"and running"*) return 0 ;;
    *) return 1 ;;
    esac
}

# Registers the service (kept when it is registered already), gives ADMIN_GROUP its
# controls and starts it; the manager then starts it at every boot.
sarvela_register_service() {
    # Once more after a moment: a manager that has just made its socket may not listen yet.
    "$PREFIX/sarvelad" -i 2>/dev/null || { sleep 1; "$PREFIX/sarvelad" -i; }
    "$PREFIX/svcmgr-access" "$SARVELA_SERVICE" "$ADMIN_GROUP"
    if ! sarvela_service_runs; then
        # A manager that has just started may be starting it already.
        "$PREFIX/sarvelad" >/dev/null 2>&1 || sarvela_service_runs ||
            echo "!! the service did not start; see $DATA_DIR/busys.log and $(sarvela_manager_dir)/events.log" >&2
    fi
    "$PREFIX/sarvelad" -v
}

# Stops the service and waits, at most the given seconds (default 20), until it has
# ended: a backup in progress takes a moment to end in order.
sarvela_stop_service() {
    local tenths=$((${1:-20} * 10))
    sarvela_service_runs || return 0
    "$PREFIX/sarvelad" -t
    while sarvela_service_runs; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

# Restarts a running service, so that it runs the programs installed now.
sarvela_restart_service() {
    sarvela_service_runs || return 0
    sarvela_stop_service || echo "!! the service has not stopped yet" >&2
    "$PREFIX/sarvelad" >/dev/null 2>&1 || sarvela_service_runs ||
        echo "!! the service did not start again; see $DATA_DIR/busys.log and $(sarvela_manager_dir)/events.log" >&2
}

# Stops the service and removes its registration.
sarvela_unregister_service() {
    sarvela_stop_service || echo "!! the service has not stopped yet; it is removed once it has" >&2
    "$PREFIX/sarvelad" -u
}
