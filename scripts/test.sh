#!/usr/bin/env bash
# Builds everything, compiles the Windows code for syntax, makes the Debian package and checks
# it with lintian, and runs every test with CTest, then a two-minute soak (as root on Debian 12).
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"

sarvela_install_deps
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
sarvela_build "$BUILD_DIR"
# The Windows code, compiled for syntax and types with MinGW-w64: an error in it fails the run.
BUILD_DIR=$BUILD_DIR bash "$SARVELA_ROOT/scripts/windows-check.sh"
# The package of this tree, checked by lintian: a lintian error fails the run.
SARVELA_SKIP_DEPS=1 SARVELA_SKIP_BUILD=1 BUILD_DIR=$BUILD_DIR bash "$SARVELA_ROOT/scripts/build-deb.sh"
echo "== Running the tests"
cd "$BUILD_DIR"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure --timeout 900 -j2
# A short soak: the service broken on purpose, run after run, with nothing lost or misreported.
cd "$SARVELA_ROOT"
SARVELA_SKIP_DEPS=1 SARVELA_SKIP_BUILD=1 BUILD_DIR=$BUILD_DIR bash scripts/soak.sh 2
