#!/usr/bin/env bash
# Starts the built program under Xvfb from a copied folder with three running
# ports (one connected to a socat peer that talks, one whose peer refuses, one
# server waiting), and saves a screenshot with the live "Information" column:
# bench/out/main_window.png.
#   bench/screenshot.sh [build-dir]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
OUT=$ROOT/bench/out
mkdir -p "$OUT"
DIR=$(mktemp -d)
DISPLAY_NUM=:97
cleanup() {
  [ -n "${PEER:-}" ] && kill -- "-$PEER" 2>/dev/null || true  # socat and its shell
  for p in ${APP:-} ${PEER:-} ${XVFB:-}; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

PEER_PORT=$((20000 + RANDOM % 20000))
CLOSED_PORT=$((PEER_PORT + 1))
cp "$BUILD/velkaro_redi" "$BUILD/velkaro_redi-lookup" "$DIR/"  # COM3 names its peer: the lookup helper goes along
printf '3\tPortName=COM3,OverrunCheck=yes,BaudPacing=yes\n7\tPortName=COM7,OverrunCheck=yes,BaudPacing=yes\n9\tPortName=COM9,OverrunCheck=yes,BaudPacing=yes\n' > "$DIR/pairs.dat"
port() { # name mode dstaddr dstport locport
  printf '<%s>\r\n<DSTADDR>%s</DSTADDR>\r\n<DSTPORT>%s</DSTPORT>\r\n<LOCADDR>127.0.0.1</LOCADDR>\r\n<LOCPORT>%s</LOCPORT>\r\n<MODE>%s</MODE>\r\n<USECUSTOM>FALSE</USECUSTOM>\r\n<CHKDTR>FALSE</CHKDTR>\r\n<DEVNAME/>\r\n<KEEPALIVE>0</KEEPALIVE>\r\n<IDLETIME>0</IDLETIME>\r\n</%s>\r\n' "$1" "$3" "$4" "$5" "$2" "$1"
}
{
  printf '<OPTIONS>\r\n<SYSTEM>\r\n<ADDNEW>FALSE</ADDNEW>\r\n<STARTUP>TRUE</STARTUP>\r\n<DETECTDSR>FALSE</DETECTDSR>\r\n<AUTORUN>FALSE</AUTORUN>\r\n</SYSTEM>\r\n'
  port COM3 tcpclient localhost "$PEER_PORT" 0
  port COM7 tcpclient 127.0.0.1 "$CLOSED_PORT" 0
  port COM9 tcpserver 0.0.0.0 0 0
  printf '</OPTIONS>\r\n'
} > "$DIR/options.dat"

# A peer that sends 12 KiB a second for as long as it is connected.
setsid socat "TCP-LISTEN:$PEER_PORT,bind=127.0.0.1,reuseaddr" "SYSTEM:while true; do head -c 12288 /dev/zero; sleep 1; done" &
PEER=$!
Xvfb "$DISPLAY_NUM" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
XVFB=$!
sleep 1
DISPLAY=$DISPLAY_NUM "$DIR/velkaro_redi" >/dev/null 2>&1 &
APP=$!
sleep 2
# A serial program holds COM3 and reads what the peer sends.
timeout 6 cat "$DIR/dev/COM3" >/dev/null 2>&1 &
sleep 4
DISPLAY=$DISPLAY_NUM import -window root "$OUT/main_window.png"
echo "saved $OUT/main_window.png"
