#!/usr/bin/env bash
# The shell library of our scripts: packages, the build, waiting for the service
# manager's socket, a throwaway PostgreSQL, the newest PostgreSQL tools, and the
# layout of an installed system (packaging/sarvela-layout.sh, which the Debian
# package ships too). Sourced by the scripts under scripts/ and bench/; safe to
# source more than once.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../packaging/sarvela-layout.sh"

SARVELA_PACKAGES=(build-essential cmake pkg-config qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev
                  postgresql-15 postgresql-client-15 xvfb xauth sqlite3 procps util-linux
                  debhelper lintian scdoc rclone age)
SARVELA_PGBIN=/usr/lib/postgresql/15/bin

sarvela_need_root() {
    [ "$(id -u)" -eq 0 ] || sarvela_die "run this as root (it installs packages and runs PostgreSQL as the postgres user)"
}

# Installs, with apt-get, what building, testing and running the system needs.
sarvela_install_deps() {
    sarvela_need_root
    echo "== Installing the packages we need: ${SARVELA_PACKAGES[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${SARVELA_PACKAGES[@]}" >/dev/null
    # The Debian package starts a cluster of its own; our scripts and tests start their own.
}

# Builds with Debian's hardening flags: the service and the manager run as root, and
# the package (scripts/build-deb.sh) is made of this very tree once it passed the tests.
# TARGETS after the folder build only those (the main job builds "programs", no test).
sarvela_build() {
    local build_dir=$1 flags ldflags target_args=()
    shift
    [ $# -eq 0 ] || target_args=(--target "$@")
    flags=$(export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-all"
            echo "$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)")
    ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)
    echo "== Configuring and building in $build_dir"
    cmake -S "$SARVELA_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
        -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" "${target_args[@]}"
}

# Starts a throwaway PostgreSQL 15 in DIR (run as the postgres user) on a free
# port of 127.0.0.1 with the superuser postgres whose password is PASSWORD; sets
# SARVELA_PG_DIR and SARVELA_PG_PORT. sarvela_psql then runs psql against it.
sarvela_start_pg() {
    local dir=$1 password=$2 port
    mkdir -p "$dir"
    printf '%s\n' "$password" > "$dir/pw"
    chown -R postgres: "$dir"
    runuser -u postgres -- "$SARVELA_PGBIN/initdb" -D "$dir/data" -U postgres --auth-local=trust \
        --auth-host=scram-sha-256 --pwfile="$dir/pw" -E UTF8 --locale=C --no-sync >/dev/null
    SARVELA_PG_DIR=$dir
    SARVELA_PG_PORT=""
    # A random high port; another one if it is taken.
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 30000))
        if runuser -u postgres -- "$SARVELA_PGBIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
            -o "-p $port -k $dir -c listen_addresses=127.0.0.1" start >/dev/null; then
            SARVELA_PG_PORT=$port
            return 0
        fi
    done
    sarvela_die "PostgreSQL did not start; see $dir/server.log"
}

sarvela_psql() {
    "$SARVELA_PGBIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$SARVELA_PG_DIR" -p "$SARVELA_PG_PORT" -U postgres "$@"
}

sarvela_stop_pg() {
    [ -n "${SARVELA_PG_DIR:-}" ] && [ -d "$SARVELA_PG_DIR/data" ] || return 0
    runuser -u postgres -- "$SARVELA_PGBIN/pg_ctl" -D "$SARVELA_PG_DIR/data" -m immediate -w stop >/dev/null 2>&1 || true
}
