#!/bin/sh
# Starts the installed control panel on a private Xvfb display and saves a PNG
# of its main window.
#
#   scripts/screenshot.sh PROGRAM_DIR [OUTPUT.png]
#
# When the service is not installed the panel first asks whether to install it;
# the script answers No (Escape) so that the picture shows the window itself.
set -eu

dir=${1:?usage: $0 PROGRAM_DIR [OUTPUT.png]}
out=${2:-$PWD/sarpanel.png}
title="Sarvela Backup Control Panel"

need() { # command, Debian package
    command -v "$1" >/dev/null 2>&1 && return 0
    echo "installing $2" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$2" >/dev/null
}
need Xvfb xvfb
need import imagemagick
need xdotool xdotool

[ -x "$dir/sarpanel" ] || { echo "no sarpanel in $dir" >&2; exit 1; }

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
export DISPLAY=":$display"

work=$(mktemp -d)
xvfb_pid=""
panel_pid=""
cleanup() {
    [ -n "$panel_pid" ] && kill "$panel_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
i=0
until xdpyinfo >/dev/null 2>&1 || xwininfo -root >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -lt 100 ] || { cat "$work/xvfb.log" >&2; exit 1; }
    sleep 0.1
done

# A private temporary folder keeps this panel apart from one already running.
TMPDIR=$work QT_QPA_PLATFORM=xcb "$dir/sarpanel" >"$work/panel.log" 2>&1 &
panel_pid=$!

window=$(xdotool search --sync --name "$title" | head -n 1)
# Let the first-show work (and its possible question) come up, then answer No.
sleep 2
if xdotool search --name "^sarpanel$" >/dev/null 2>&1; then
    xdotool key Escape
    sleep 1
fi
sleep 1
import -window "$window" "$out"
echo "saved $out"
