#!/usr/bin/env bash
# Makes the Debian package sarvela_VERSION_ARCH.deb, as root on Debian 12: builds the
# programs in BUILD_DIR (default build/; a tree that scripts/test.sh has built and
# tested is only brought up to date), packages them with debhelper (debian/) into
# DEB_DIR (default BUILD_DIR/deb) and checks the package with lintian, whose errors
# fail the script.
#
# SARVELA_SKIP_DEPS=1 skips apt-get, SARVELA_SKIP_BUILD=1 the build step of our own
# scripts; SARVELA_DEB_VERSION=V gives the package another version (to try upgrades).
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"
BUILD_DIR=$(realpath -m "${BUILD_DIR:-$SARVELA_ROOT/build}")
DEB_DIR=$(realpath -m "${DEB_DIR:-$BUILD_DIR/deb}")

sarvela_need_root
[ "${SARVELA_SKIP_DEPS:-0}" = 1 ] || sarvela_install_deps
[ "${SARVELA_SKIP_BUILD:-0}" = 1 ] || sarvela_build "$BUILD_DIR"

echo "== Packaging the programs of $BUILD_DIR"
cd "$SARVELA_ROOT"
dpkg-checkbuilddeps
mkdir -p "$DEB_DIR"
rm -f -- "$DEB_DIR"/sarvela_*.deb "$DEB_DIR"/sarvela-dbgsym_*.deb
export SARVELA_BUILD_DIR=$BUILD_DIR SARVELA_DEB_DIR=$DEB_DIR
trap 'debian/rules clean >/dev/null' EXIT
debian/rules clean >/dev/null
debian/rules binary
deb=$(ls "$DEB_DIR"/sarvela_*.deb)

echo "== lintian $deb"
lintian --fail-on error --no-tag-display-limit "$deb"
echo "== Made $deb"
dpkg-deb --field "$deb" Version Depends
