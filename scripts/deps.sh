#!/usr/bin/env bash
# Installs, with apt-get, what building, testing and running the system needs.
# Sourced by the other scripts; safe to run again.
set -euo pipefail

SARVELA_PACKAGES=(build-essential cmake pkg-config qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql
                  postgresql-15 postgresql-client-15 xvfb xauth sqlite3 procps util-linux)

sarvela_install_deps() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "!! run this as root (it installs packages and runs PostgreSQL as the postgres user)" >&2
        exit 1
    fi
    echo "== Installing the packages we need: ${SARVELA_PACKAGES[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${SARVELA_PACKAGES[@]}" >/dev/null
    # The Debian package starts a cluster of its own; our scripts and tests start their own.
}

sarvela_build() {
    local build_dir=$1
    echo "== Configuring and building in $build_dir"
    cmake -S "$SARVELA_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build_dir" -j"$(nproc)"
}
