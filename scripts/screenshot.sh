#!/bin/sh
# Starts the installed control panel on a private Xvfb display with a window
# manager (openbox) and saves a PNG of its main window, or of the database
# picker, the log viewer, the status window, the advanced settings, the copies off this
# machine or the restore window opened from it (the restore window shows a restore that runs).
#
#   scripts/screenshot.sh PROGRAM_DIR [OUTPUT.png] [main|picker|log|status|pengaturan|salinan|pulihkan] [POINTS]
#
# POINTS (or FONT_POINTS in the environment) sets the desktop's font size, as a
# KDE desktop's settings do; without it Qt's own default applies. SCREEN_SIZE sets the
# screen's (default 1024x768).
# When the service is not installed the panel first asks whether to install it;
# the script answers No (Escape) so that the picture shows the window itself.
set -eu

dir=${1:?usage: $0 PROGRAM_DIR [OUTPUT.png]}
out=${2:-$PWD/sarpanel.png}
screen=${3:-main}
points=${4:-${FONT_POINTS:-}}
title="Sarvela Backup Control Panel"

need() { # command, Debian package
    command -v "$1" >/dev/null 2>&1 && return 0
    echo "installing $2" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$2" >/dev/null
}
need Xvfb xvfb
need import imagemagick
need xdotool xdotool
need openbox openbox

[ -x "$dir/sarpanel" ] || { echo "no sarpanel in $dir" >&2; exit 1; }

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
export DISPLAY=":$display"

work=$(mktemp -d)
xvfb_pid=""
wm_pid=""
panel_pid=""
cleanup() {
    # The panel ends before its temporary folder goes: it may still write there.
    [ -n "$panel_pid" ] && { kill "$panel_pid" 2>/dev/null; wait "$panel_pid" 2>/dev/null; } || true
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb "$DISPLAY" -screen 0 "${SCREEN_SIZE:-1024x768}x24" -dpi 96 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
i=0
until xdpyinfo >/dev/null 2>&1 || xwininfo -root >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -lt 100 ] || { cat "$work/xvfb.log" >&2; exit 1; }
    sleep 0.1
done

openbox >"$work/openbox.log" 2>&1 &
wm_pid=$!

if [ -n "$points" ]; then
    mkdir -p "$work/config"
    printf '[General]\nfont=DejaVu Sans,%s,-1,5,50,0,0,0,0,0\n' "$points" >"$work/config/kdeglobals"
    export XDG_CONFIG_HOME="$work/config" XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 KDE_FULL_SESSION=true
fi

# A private temporary folder keeps this panel apart from one already running.
TMPDIR=$work QT_QPA_PLATFORM=xcb "$dir/sarpanel" >"$work/panel.log" 2>&1 &
panel_pid=$!

window=$(timeout 30 xdotool search --sync --name "$title" | head -n 1) || true
[ -n "$window" ] || { echo "the panel's window did not appear" >&2; cat "$work/panel.log" >&2; exit 1; }
# Let the first-show work (and its possible question) come up, then answer No.
sleep 2
if xdotool search --name "^sarpanel$" >/dev/null 2>&1; then
    xdotool key Escape
    sleep 1
fi
sleep 1
target=$window
# Opens a window from the menu bar: the menu's key, the entry's key, the window's title.
menu_window() {
    xdotool windowactivate --sync "$window" 2>/dev/null || true
    xdotool key "$1"
    sleep 0.5
    xdotool key "$2"
    target=$(timeout 30 xdotool search --sync --onlyvisible --name "^$3\$" | head -n 1)
    sleep 1
}
case $screen in
main) ;;
picker)
    # Into the database list (wherever the font has moved it, this point is in
    # it), then Tab to the add button beside it, which Space presses.
    xdotool mousemove --window "$window" 300 330 click 1
    sleep 0.5
    xdotool key Tab space
    target=$(timeout 30 xdotool search --sync --name "^Daftar Database$" | head -n 1)
    sleep 2 ;;
log) menu_window alt+i l "Log Proses Backup" ;;          # "&Informasi", "&Log Sistem"
status) menu_window alt+i b "Status Backup" ;;           # "&Informasi", "Status &Backup"
pengaturan) menu_window alt+s p "Pengaturan Lanjutan" ;; # "&Sistem", "&Pengaturan Lanjutan"
salinan) menu_window alt+s s "Salinan Luar Server" ;;    # "&Sistem", "&Salinan Luar Server"
pulihkan) menu_window alt+s d "Pulihkan Database" ;;     # "&Sistem", "Pulihkan &Database"
*) echo "unknown screen: $screen (main, picker, log, status, pengaturan, salinan or pulihkan)" >&2; exit 2 ;;
esac
[ -n "$target" ] || { echo "the $screen window did not appear" >&2; cat "$work/panel.log" >&2; exit 1; }
import -window "$target" "$out"
echo "saved $out"
