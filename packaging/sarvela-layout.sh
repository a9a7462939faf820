# How Sarvela DB Backup is laid out for real use, so that only root can change what
# root runs, and the service runs as a user of its own:
#   - the program directory PREFIX: root's, nothing in it or above it writable by
#     anyone else, with dbutils/pg_dump, pg_restore, pg_dumpall and psql linked to the
#     newest PostgreSQL client installed, and sarvelad.akun naming the service's user;
#   - the service's user SERVICE_USER: a system user without login or home, a member of
#     ADMIN_GROUP so that it reads the settings the members write;
#   - the data directory DATA_DIR (root:ADMIN_GROUP, setgid and sticky) holding
#     confbu.cfg and busys.log (group read/write), and the folders only the service's
#     user writes: riwayat/ with the history riwayat.db (group read), rclone/ and kerja/;
#     the settings, the log and the history are reached through links in PREFIX;
#   - the output folder OUTPUT_DIR (SERVICE_USER:ADMIN_GROUP 2750);
#   - the service, registered with the service manager under SERVICE_USER, restarted
#     a minute after it fails, its controls granted to ADMIN_GROUP.
# Nothing here acts through a link that it did not make, reads what could be a FIFO, or
# moves a thing aside to a name that someone could have prepared; whatever may wait
# ends within SARVELA_STEP_SECONDS.
#
# Sourced (by bash, as root) by scripts/install-system.sh and by the Debian package's
# maintainer scripts, which set PREFIX, DATA_DIR, OUTPUT_DIR, ADMIN_GROUP and
# SERVICE_USER first.

SARVELA_SERVICE="Sarvela DB Backup"
# Names in the data directory that the program directory links to.
SARVELA_DATA_FILES=(confbu.cfg busys.log)
SARVELA_HISTORY=riwayat.db
SARVELA_ACCOUNT_FILE=sarvelad.akun
# The PostgreSQL tools that the service runs from dbutils.
SARVELA_PG_TOOLS=(pg_dump pg_restore pg_dumpall psql)
# Failure actions: the service is started again a minute after it failed, and a day
# without failures starts the count anew.
SARVELA_RESTART_AFTER=60
SARVELA_RESET_AFTER=86400
SARVELA_STEP_SECONDS=${SARVELA_STEP_SECONDS:-60}

sarvela_die() {
    echo "!! $*" >&2
    exit 1
}

sarvela_history_dir() {
    printf '%s' "$DATA_DIR/riwayat"
}

# What the program directory's link NAME names.
sarvela_link_target() {
    case $1 in
    "$SARVELA_HISTORY") printf '%s' "$(sarvela_history_dir)/$SARVELA_HISTORY" ;;
    *) printf '%s' "$DATA_DIR/$1" ;;
    esac
}

# Runs a command that could wait on something, for at most SECONDS; says so when it had
# to be ended.
sarvela_bounded() {
    local seconds=$1 status=0
    shift
    timeout --kill-after=5 "$seconds" "$@" || status=$?
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "!! $1 did not end within $seconds seconds and was stopped" >&2
    fi
    return "$status"
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

# A folder of ours outside the data directory: made when missing, refused when something
# else has the name; OWNER:GROUP MODE.
sarvela_own_folder() {
    local path=$1 owner=$2 group=$3 mode=$4
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
        sarvela_die "$path exists and is not a folder (a link or a file); move it away and run again"
    fi
    sarvela_check_parents "$path"
    mkdir -p -- "$path"
    chmod "$mode" -- "$path"
    chown -h "$owner:$group" -- "$path"
}

# Moves whatever has the name PATH into a new folder of root's beside it, named by mktemp,
# so that no one can have prepared the name it goes to.
sarvela_move_aside() {
    local path=$1 aside
    aside=$(mktemp -d -- "$(dirname -- "$path")/.ditolak-XXXXXX")
    mv -T -- "$path" "$aside/$(basename -- "$path")"
    echo "   $path is not what the install makes there: moved aside into $aside"
}

# Copies the file SRC into DEST, which exists: never through a link, never waiting on a
# FIFO (SRC is opened without blocking and its type judged on the open descriptor).
sarvela_copy_file() {
    sarvela_bounded "$SARVELA_STEP_SECONDS" perl -e '
        use Fcntl;
        sysopen(my $in, $ARGV[0], O_RDONLY | O_NONBLOCK | O_NOFOLLOW) or die "$ARGV[0]: $!\n";
        -f $in or die "$ARGV[0]: not a regular file\n";
        fcntl($in, F_SETFL, 0) or die "$ARGV[0]: $!\n";
        open(my $out, ">", $ARGV[1]) or die "$ARGV[1]: $!\n";
        binmode $in;
        binmode $out;
        my ($buffer, $read);
        while ($read = sysread($in, $buffer, 65536)) { print $out $buffer or die "$ARGV[1]: $!\n"; }
        defined $read or die "$ARGV[0]: $!\n";
        close $out or die "$ARGV[1]: $!\n";
    ' "$1" "$2"
}

# Makes DEST a regular file of OWNER (default root):ADMIN_GROUP with MODE holding what
# SRC holds (nothing when SRC is empty or /dev/null). The new file is made in a private
# name in the data directory and renamed over DEST, which replaces whatever a group member
# put there. Returns 1, leaving DEST as it was, when SRC is no regular file to read.
sarvela_adopt() {
    local src=$1 dest=$2 mode=$3 owner=${4:-root} tmp
    tmp=$(mktemp "$DATA_DIR/.install.XXXXXX")
    if [ -n "$src" ] && [ "$src" != /dev/null ] && ! sarvela_copy_file "$src" "$tmp"; then
        rm -f -- "$tmp"
        return 1
    fi
    chmod "$mode" -- "$tmp"
    chown "$owner:$ADMIN_GROUP" -- "$tmp"
    mv -T -f -- "$tmp" "$dest"
}

# A name in the data directory that must be a regular file of root's (or absent); made
# from FALLBACK when missing and FALLBACK is given.
sarvela_data_file() {
    local name=$1 mode=$2 fallback=$3 path="$DATA_DIR/$1"
    if [ -f "$path" ] && [ ! -L "$path" ] && [ "$(stat -c '%u %h' -- "$path")" = "0 1" ]; then
        chown root:"$ADMIN_GROUP" -- "$path"
        chmod "$mode" -- "$path"
    elif [ -e "$path" ] || [ -L "$path" ]; then
        # Made by someone else or hard-linked: taken over as a copy of root's own; a link
        # or anything but a regular file goes aside.
        sarvela_adopt "$path" "$path" "$mode" || sarvela_move_aside "$path"
    fi
    if [ ! -e "$path" ] && [ -n "$fallback" ]; then
        sarvela_adopt "$fallback" "$path" "$mode" || sarvela_die "cannot read $fallback"
    fi
}

# The settings' journal, left by a save that crashed, stays for SQLite to roll back as it
# is. One that is no regular file was no save's and goes aside; a second name of another
# file (the settings themselves, say) is only a name, and goes.
sarvela_settings_journal() {
    local path="$DATA_DIR/confbu.cfg-journal"
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -f "$path" ]; }; then
        sarvela_move_aside "$path"
    elif [ -f "$path" ] && [ "$(stat -c %h -- "$path")" != 1 ]; then
        rm -f -- "$path"
        echo "   $path was a second name of another file: removed"
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
    sarvela_own_folder "$PREFIX" root root 00755
}

# The admin group and the service's user, a system user without login or home of its
# own, in the group; never root.
sarvela_make_service_user() {
    getent group "$ADMIN_GROUP" >/dev/null || groupadd --system "$ADMIN_GROUP"
    if ! getent passwd "$SERVICE_USER" >/dev/null; then
        useradd --system --gid "$ADMIN_GROUP" --no-create-home --home-dir /nonexistent \
            --shell /usr/sbin/nologin --comment "Sarvela DB Backup" "$SERVICE_USER" ||
            sarvela_die "the service's user $SERVICE_USER could not be made"
        echo "   made the system user $SERVICE_USER, a member of $ADMIN_GROUP"
    fi
    [ "$(id -u -- "$SERVICE_USER")" != 0 ] || sarvela_die "$SERVICE_USER is root: the service runs as a user of its own"
    id -nG -- "$SERVICE_USER" | tr ' ' '\n' | grep -qxF -- "$ADMIN_GROUP" ||
        usermod -a -G "$ADMIN_GROUP" -- "$SERVICE_USER"
}

# The data directory and the folders in it that only the service's user writes.
sarvela_make_data_dir() {
    sarvela_own_folder "$DATA_DIR" root "$ADMIN_GROUP" 03770
    sarvela_service_folder riwayat 02750
    sarvela_service_folder rclone 00700
    sarvela_service_folder kerja 00700
}

# A folder in the data directory that only the service's user writes. A member of the
# group may have taken the name while it was missing: anything there that neither root
# nor that user made is moved aside.
sarvela_service_folder() {
    local path="$DATA_DIR/$1" mode=$2 owner
    if [ -e "$path" ] || [ -L "$path" ]; then
        owner=$(stat -c %U -- "$path")
        if [ -L "$path" ] || [ ! -d "$path" ] || { [ "$owner" != root ] && [ "$owner" != "$SERVICE_USER" ]; }; then
            sarvela_move_aside "$path"
        else
            # Root's while it is looked at and changed: its user could swap it for a link.
            chown -h root:root -- "$path"
            { [ -d "$path" ] && [ ! -L "$path" ]; } || sarvela_move_aside "$path"
        fi
    fi
    [ -d "$path" ] || mkdir -m 0700 -- "$path" || sarvela_die "$path could not be made; run again"
    chmod "$mode" -- "$path"
    chown -h "$SERVICE_USER:$ADMIN_GROUP" -- "$path"
}

# The history moves into its folder from the data directory, where an install that ran the
# service as root kept it: root's own file (and journal) become the service's user's.
# What a member put at those names is moved aside.
sarvela_move_history() {
    local name old new
    for name in "$SARVELA_HISTORY" "$SARVELA_HISTORY-journal"; do
        old="$DATA_DIR/$name"
        new="$(sarvela_history_dir)/$name"
        [ -e "$old" ] || [ -L "$old" ] || continue
        if [ ! -L "$old" ] && [ -f "$old" ] && [ "$(stat -c '%u %h' -- "$old")" = "0 1" ] &&
            [ ! -e "$new" ] && [ ! -L "$new" ]; then
            # Changed while it is root's, in root's folder; then moved by name.
            chmod 0640 -- "$old"
            chown -h "$SERVICE_USER:$ADMIN_GROUP" -- "$old"
            mv -T -- "$old" "$new"
            echo "   $old moved to $new"
        else
            sarvela_move_aside "$old"
        fi
    done
}

# The file that tells the programs which account the service runs as here.
sarvela_write_account_file() {
    local tmp
    tmp=$(mktemp "$PREFIX/.install.XXXXXX")
    printf '%s\n' "$SERVICE_USER" >"$tmp"
    chmod 0644 -- "$tmp"
    mv -T -f -- "$tmp" "$PREFIX/$SARVELA_ACCOUNT_FILE"
}

# An earlier install kept the settings, the log and the history in the program directory
# itself: they move into the data directory, and links there that we did not make go.
sarvela_move_earlier_install() {
    local name old target kept
    for name in "${SARVELA_DATA_FILES[@]}" confbu.cfg-journal "$SARVELA_HISTORY"; do
        old="$PREFIX/$name"
        target=$(sarvela_link_target "$name")
        if [ -L "$old" ]; then
            if [ "$(readlink -- "$old")" != "$target" ]; then
                echo "   $old is a link this install did not make: removed"
                rm -f -- "$old"
            fi
        elif [ -f "$old" ]; then
            if [ -e "$target" ] || [ -L "$target" ]; then
                kept=$(mktemp "$DATA_DIR/$name.lama-XXXXXX")
                echo "   $old: $target already exists; the old one is kept as $kept"
                sarvela_adopt "$old" "$kept" 0640 || sarvela_die "cannot read $old"
            elif [ "$name" = "$SARVELA_HISTORY" ]; then
                echo "   moving $old of the earlier install to $target"
                sarvela_adopt "$old" "$target" 0640 "$SERVICE_USER" || sarvela_die "cannot read $old"
            else
                echo "   moving $old of the earlier install to $target"
                sarvela_adopt "$old" "$target" 0660 || sarvela_die "cannot read $old"
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
    local entry name strays=()
    while IFS= read -r -d '' entry; do
        name=${entry#"$PREFIX/"}
        case $name in
        confbu.cfg | busys.log | "$SARVELA_HISTORY")
            [ "$(readlink -- "$entry")" = "$(sarvela_link_target "$name")" ] && continue ;;
        dbutils/pg_dump | dbutils/pg_restore | dbutils/pg_dumpall | dbutils/psql)
            [ "$(stat -c %u -- "$entry")" = 0 ] && continue ;;
        esac
        strays+=("$entry")
    done < <(sarvela_bounded "$SARVELA_STEP_SECONDS" find "$PREFIX" -mindepth 1 \( -type l -o ! -user root \) -print0 -prune)
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

# The settings, the log and the history in the data directory, the program directory's
# links to them, and the account file. DELIVERED: the settings to start from when there
# are none.
sarvela_lay_out_data() {
    local delivered=$1 name
    sarvela_settings_journal
    sarvela_data_file confbu.cfg 0660 "$delivered"
    sarvela_data_file busys.log 0660 /dev/null
    sarvela_move_history
    for name in "${SARVELA_DATA_FILES[@]}" "$SARVELA_HISTORY"; do
        ln -sfn -- "$(sarvela_link_target "$name")" "$PREFIX/$name"
    done
    sarvela_write_account_file
    # The run lock of an install that ran the service as root; it lives beside the history now.
    rm -f -- "$PREFIX/sarvelad.lock"
}

# The output folder, owned by the service's user. When root owned it (an install that ran
# the service as root), its dumps and run logs become the user's first, so that the
# service keeps and deletes them as its own; done while no one else can change the folder.
sarvela_make_output_dir() {
    if [ -d "$OUTPUT_DIR" ] && [ ! -L "$OUTPUT_DIR" ] && [ "$(stat -c %u -- "$OUTPUT_DIR")" = 0 ]; then
        sarvela_bounded "$SARVELA_STEP_SECONDS" find "$OUTPUT_DIR" -mindepth 1 -maxdepth 1 -type f \
            -user root -links 1 -name 'bu_*' -exec chown -h "$SERVICE_USER" -- {} +
    fi
    sarvela_own_folder "$OUTPUT_DIR" "$SERVICE_USER" "$ADMIN_GROUP" 02750
}

# What the layout made in the program directory: what is left there once the programs
# are gone.
sarvela_remove_made_links() {
    local name
    for name in "${SARVELA_DATA_FILES[@]}" "$SARVELA_HISTORY"; do
        [ -L "$PREFIX/$name" ] && rm -f -- "$PREFIX/$name"
    done
    for name in "${SARVELA_PG_TOOLS[@]}"; do
        [ -L "$PREFIX/dbutils/$name" ] && rm -f -- "$PREFIX/dbutils/$name"
    done
    [ -d "$PREFIX/dbutils" ] && rmdir --ignore-fail-on-non-empty -- "$PREFIX/dbutils"
    rm -f -- "$PREFIX/$SARVELA_ACCOUNT_FILE" "$PREFIX/sarvelad.lock"
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

# The service program's answer to an option, bounded.
sarvela_sarvelad() {
    sarvela_bounded "$SARVELA_STEP_SECONDS" "$PREFIX/sarvelad" "$@"
}

sarvela_service_runs() {
    case $(sarvela_sarvelad -v) in
    *"and running"*) return 0 ;;
    *) return 1 ;;
    esac
}

sarvela_service_registered() {
    case $(sarvela_sarvelad -v) in
    *"is installed"*) return 0 ;;
    *) return 1 ;;
    esac
}

sarvela_start_service() {
    # A manager that has just started may be starting it already.
    sarvela_sarvelad >/dev/null 2>&1 || sarvela_service_runs ||
        echo "!! the service did not start; see $DATA_DIR/busys.log and $(sarvela_manager_dir)/events.log" >&2
}

# Registers the service under its own user, or gives an existing registration (one that
# ran it as root) that account; restarted a minute after a failure. Then gives
# ADMIN_GROUP its controls and (re)starts it; the manager starts it at every boot.
sarvela_register_service() {
    local config="$PREFIX/svcmgr-config" registered=0
    local older="the service manager running here may be an earlier one (restart it, then run this again)"
    if sarvela_service_registered; then
        registered=1
        sarvela_bounded "$SARVELA_STEP_SECONDS" "$config" "$SARVELA_SERVICE" --account "$SERVICE_USER" ||
            echo "!! the service could not be given the account $SERVICE_USER: $older" >&2
    else
        # Once more after a moment: a manager that has just made its socket may not listen yet.
        sarvela_sarvelad -i "$SERVICE_USER" 2>/dev/null || { sleep 1; sarvela_sarvelad -i "$SERVICE_USER"; }
    fi
    sarvela_bounded "$SARVELA_STEP_SECONDS" "$config" "$SARVELA_SERVICE" \
        --restart-after "$SARVELA_RESTART_AFTER" --reset-after "$SARVELA_RESET_AFTER" ||
        echo "!! the service's restart after a failure could not be set: $older" >&2
    sarvela_bounded "$SARVELA_STEP_SECONDS" "$PREFIX/svcmgr-access" "$SARVELA_SERVICE" "$ADMIN_GROUP"
    if ! sarvela_service_runs; then
        sarvela_start_service
    elif [ "$registered" = 1 ]; then
        # It may still run as the account it had before, or the programs it had.
        sarvela_restart_service
    fi
    sarvela_sarvelad -v
}

# Stops the service and waits, at most the given seconds (default 20), until it has
# ended: a backup in progress takes a moment to end in order.
sarvela_stop_service() {
    local tenths=$((${1:-20} * 10))
    sarvela_service_runs || return 0
    sarvela_sarvelad -t
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
    sarvela_start_service
}

# Stops the service and removes its registration.
sarvela_unregister_service() {
    sarvela_stop_service || echo "!! the service has not stopped yet; it is removed once it has" >&2
    sarvela_sarvelad -u
}
