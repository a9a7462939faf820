#!/usr/bin/env bash
# What a copy off this machine costs: a dump of SIZE_MB (100 by default) sent by the service's own
# code to a local `rclone serve sftp`, against `rclone copyto` plus `rclone hashsum` of the same
# file run by hand (target: ratio at most 1.10), and the same copy encrypted with age, whose share
# it states. By hand, as root or not; about a minute per round. SIZE_MB, ROUNDS (5) and BUILD_DIR
# (the tree's build/) may be set.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
SIZE_MB=${SIZE_MB:-100}
ROUNDS=${ROUNDS:-5}
[ -f "$BUILD_DIR/backup-service/libsarvelad_core.a" ] ||
    { echo "!! no build in $BUILD_DIR: bash /work/devbuild.sh or scripts/test.sh first" >&2; exit 1; }
for tool in rclone age age-keygen; do
    command -v "$tool" >/dev/null || { echo "!! $tool is missing (apt-get install rclone age)" >&2; exit 1; }
done

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/served" "$WORK/rclone"
rclone serve sftp --addr "127.0.0.1:$port" --user bench --pass bench --config /dev/null \
    --cache-dir "$WORK/cache" -q "$WORK/served" &
SERVER_PID=$!
chmod 700 "$WORK/rclone"
cat >"$WORK/rclone/rclone.conf" <<EOF
[lokal]
type = sftp
host = 127.0.0.1
port = $port
user = bench
pass = $(rclone obscure bench)
shell_type = unix
md5sum_command = md5sum
sha1sum_command = sha1sum
EOF
chmod 600 "$WORK/rclone/rclone.conf"
recipient=$(age-keygen -o "$WORK/kunci.txt" 2>&1 | sed -n 's/^Public key: //p')
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

echo "== Building the benchmark against the service's library"
g++ -std=c++17 -O2 -fPIC -o "$WORK/offsitecopy" "$ROOT/bench/offsitecopy.cpp" \
    -I"$ROOT/backup-service" -I"$ROOT/src/confbu" -DSARVELA_BUILD_DIR="\"$BUILD_DIR\"" \
    "$BUILD_DIR/backup-service/libsarvelad_core.a" "$BUILD_DIR/src/confbu/libsarvela_confbu.a" \
    $(pkg-config --cflags --libs Qt5Core Qt5Sql Qt5Network sqlite3)
echo "== A ${SIZE_MB} MB dump to rclone serve sftp on the loopback"
"$WORK/offsitecopy" "$WORK/program" "$WORK/rclone/rclone.conf" lokal "$recipient" "$SIZE_MB" "$ROUNDS"
