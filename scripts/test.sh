#!/usr/bin/env bash
# Builds everything and runs every test with CTest (as root on Debian 12).
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SARVELA_ROOT/scripts/lib.sh"

sarvela_install_deps
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
sarvela_build "$BUILD_DIR"
echo "== Running the tests"
cd "$BUILD_DIR"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure --timeout 900 -j2
