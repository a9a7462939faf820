#!/usr/bin/env bash
# Compiles the Windows build's translation units for syntax and types only: MinGW-w64's g++
# (Debian's g++-mingw-w64-x86-64) against Debian's Qt 5 headers, which select Q_OS_WIN under
# MinGW, and MinGW's windows.h, winsvc.h, aclapi.h and sddl.h, with the headers that uic and moc
# made in the Linux build. Our files must compile without a warning; Qt's own headers are system
# headers here. Nothing is linked or run, and MSVC is not tried.
#
#   bash scripts/windows-check.sh            after a Linux build in build/ (BUILD_DIR overrides)
set -euo pipefail
SARVELA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$SARVELA_ROOT/build}
CXX=x86_64-w64-mingw32-g++
QT=/usr/include/x86_64-linux-gnu/qt5

if ! command -v "$CXX" >/dev/null; then
    echo "== Installing the MinGW-w64 compiler"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64 >/dev/null
fi
[ -d "$BUILD_DIR" ] || { echo "!! no Linux build in $BUILD_DIR: uic and moc's headers come from it" >&2; exit 1; }

cd "$SARVELA_ROOT"
# What a Windows build compiles: the platform files are the *_win.cpp twins; the stand-in
# service manager, the tests and the benchmarks are not part of it.
mapfile -t units < <(
    {
        find src backup-service examples packaging sarvela-pulih -name '*.cpp' ! -name '*_posix.cpp'
    } | sort)

includes=()
for dir in src/confbu src/qtservice backup-service sarvela-pulih examples/sarpanel examples/sarpanel/Database/xsqlbuilder; do
    includes+=(-I "$dir")
done
# uic's ui_*.h and moc's *.moc, made by the Linux build.
while IFS= read -r dir; do
    includes+=(-I "$dir")
done < <(find "$BUILD_DIR" -type d -path '*_autogen/include' | sort)
for module in "" QtCore QtGui QtWidgets QtSql QtNetwork; do
    includes+=(-isystem "$QT/$module")
done

flags=(-fsyntax-only -std=c++17 -Wall -Wextra -Werror -DUNICODE -D_UNICODE
       -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_SQL_LIB -DQT_NETWORK_LIB -DQT_NO_DEBUG)

echo "== Compiling ${#units[@]} translation units for Windows (syntax and types only)"
export CXX
report=$(printf '%s\0' "${units[@]}" |
    xargs -0 -n 1 -P "$(nproc)" bash -c \
        'out=$("$CXX" "$@" 2>&1) || { printf "!! %s\n%s\n" "${@: -1}" "$(printf "%s\n" "$out" | head -n 40)"; exit 1; }' \
        _ "${flags[@]}" "${includes[@]}") || true
failed=$(printf '%s\n' "$report" | grep -c '^!! ' || true)
if [ "$failed" -gt 0 ]; then
    printf '%s\n' "$report"
    echo "!! $failed of ${#units[@]} translation units do not compile for Windows" >&2
    exit 1
fi
echo "== Windows: all ${#units[@]} translation units compile"
