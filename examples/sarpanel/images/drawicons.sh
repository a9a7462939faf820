#!/bin/sh
# Redraws the icons in this folder: builds drawicons.cpp and runs it offscreen.
set -e
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++17 -fPIC -o "$tmp/drawicons" "$here/drawicons.cpp" $(pkg-config --cflags --libs Qt5Gui)
QT_QPA_PLATFORM=offscreen "$tmp/drawicons" "$here"
