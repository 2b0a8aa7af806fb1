#!/usr/bin/env bash
# Starts the built program under Xvfb from a copied folder with two ports,
# and saves a screenshot of the screen: bench/out/main_window.png.
#   bench/screenshot.sh [build-dir]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
OUT=$ROOT/bench/out
mkdir -p "$OUT"
DIR=$(mktemp -d)
DISPLAY_NUM=:97
cleanup() {
  [ -n "${APP:-}" ] && kill "$APP" 2>/dev/null && wait "$APP" 2>/dev/null || true
  [ -n "${XVFB:-}" ] && kill "$XVFB" 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

cp "$BUILD/velkaro_redi" "$DIR/"
printf '3\tPortName=COM3,OverrunCheck=yes,BaudPacing=yes\n7\tPortName=COM7,OverrunCheck=yes,BaudPacing=yes\n' > "$DIR/pairs.dat"

Xvfb "$DISPLAY_NUM" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
XVFB=$!
sleep 1
DISPLAY=$DISPLAY_NUM "$DIR/velkaro_redi" >/dev/null 2>&1 &
APP=$!
sleep 3
DISPLAY=$DISPLAY_NUM import -window root "$OUT/main_window.png"
echo "saved $OUT/main_window.png"
