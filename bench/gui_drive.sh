#!/usr/bin/env bash
# Drives the built program under Xvfb as a person would, through its menus:
# Add, Start, Stop, the list's context menu, Esc to the tray and a single
# click back, Delete, Uninstall and Exit, with a tray host (trayer) for the
# tray icon; then an installed copy run as an unprivileged user. Saves
# screenshots in bench/out/ and checks what the program left.
#   bench/gui_drive.sh [build-dir]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
OUT=$ROOT/bench/out
mkdir -p "$OUT"
for tool in Xvfb xdotool import trayer; do
  command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install xvfb xdotool imagemagick trayer)"; exit 2; }
done

DIR=$(mktemp -d)
export DISPLAY=:96
cleanup() {
  for p in ${APP:-} ${TRAY:-} ${XVFB:-}; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

cp "$BUILD/velkaro_redi" "$DIR/"
Xvfb "$DISPLAY" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
XVFB=$!
sleep 1
trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 >/dev/null 2>&1 &
TRAY=$!
sleep 1
"$DIR/velkaro_redi" >"$DIR/stdout.log" 2>"$DIR/stderr.log" &
APP=$!
sleep 2

shot() { import -window root "$OUT/$1.png"; echo "screenshot $OUT/$1.png"; }
# Menu bar titles as the window lays them out (no window manager: at 0,0).
menu() { # menu X, then N presses of Down, then Return
  xdotool mousemove "$1" 8 click 1; sleep 0.4
  for _ in $(seq "$2"); do xdotool key Down; done
  xdotool key Return; sleep 0.8
}
SYSTEM_X=32 VCOM_X=104

# Add: the port settings dialog opens; OK takes the proposed COM name.
xdotool mousemove "$VCOM_X" 8 click 1; sleep 0.4; shot vcom_menu
xdotool key Down Return; sleep 1
shot port_settings_dialog
xdotool key Return; sleep 1.5
shot after_add
[ -e "$DIR/dev/COM1" ] || { echo "FAIL: Add made no dev/COM1"; exit 1; }

# Start the first row, then Stop it.
xdotool mousemove 60 44 click 1; sleep 0.3
menu "$VCOM_X" 3; sleep 2.5
shot after_start
menu "$VCOM_X" 4; sleep 0.5
shot after_stop

# The tray menu: right click on the program's icon in the tray host (the
# 22x22 window embedded there).
# xwininfo's tree line: 0x400006 "Velkaro_redi": (...)  22x22+0+0  +777+577
ICON=$(xwininfo -root -tree | awk '/"Velkaro_redi"/ && / 2[0-9]x2[0-9]\+/ {print $NF; exit}')
if [ -n "$ICON" ]; then
  IFS=+ read -r _ X Y <<<"$ICON"
  xdotool mousemove $((X + 11)) $((Y + 11)) click 3; sleep 0.8
  shot tray_menu
  xdotool mousemove 400 300 click 1; sleep 0.3   # closes the menu
else
  echo "no tray icon found: tray menu not shown"
fi

visible() { xdotool search --onlyvisible --name '^Velkaro_redi$' 2>/dev/null | head -1; }

# A right click on a row opens its context menu.
before=$(xdotool search --onlyvisible --classname velkaro_redi 2>/dev/null | wc -l)
xdotool mousemove 60 44 click 3; sleep 0.6
shot context_menu
after=$(xdotool search --onlyvisible --classname velkaro_redi 2>/dev/null | wc -l)
[ "$after" -gt "$before" ] || { echo "FAIL: no context menu on a right click"; exit 1; }
xdotool key Escape; sleep 0.3

# Esc sends the window to the tray; a single click on the icon brings it back.
if [ -n "$ICON" ]; then
  xdotool mousemove 300 200 click 1; xdotool key Escape; sleep 0.8
  [ -z "$(visible)" ] || { echo "FAIL: Esc left the window shown"; exit 1; }
  xdotool mousemove $((X + 11)) $((Y + 11)) click 1; sleep 1
  [ -n "$(visible)" ] || { echo "FAIL: a single click on the tray icon did not show the window"; exit 1; }
  shot after_tray_click
fi

# Delete the port (confirmed), then add one for Uninstall.
xdotool mousemove 60 44 click 1; sleep 0.3
menu "$VCOM_X" 2
xdotool key y; sleep 0.8
shot after_delete
[ ! -e "$DIR/dev/COM1" ] || { echo "FAIL: Delete left dev/COM1"; exit 1; }
xdotool mousemove "$VCOM_X" 8 click 1; sleep 0.4
xdotool key Down Return; sleep 1; xdotool key Return; sleep 1.5
[ -e "$DIR/dev/COM1" ] || { echo "FAIL: second Add made no dev/COM1"; exit 1; }

# Uninstall from the tray menu, confirmed: the list empties, the program runs on.
if [ -n "$ICON" ]; then
  xdotool mousemove $((X + 11)) $((Y + 11)) click 3; sleep 0.8
  xdotool key Down Down Down Down Return; sleep 0.8
  shot uninstall_question
  xdotool key y; sleep 1
  shot after_uninstall
  [ ! -e "$DIR/dev/COM1" ] || { echo "FAIL: Uninstall left dev/COM1"; exit 1; }
  [ ! -s "$DIR/pairs.dat" ] || { echo "FAIL: Uninstall left pairs in pairs.dat"; exit 1; }
  kill -0 "$APP" || { echo "FAIL: Uninstall ended the program"; exit 1; }
fi
menu "$SYSTEM_X" 5
for _ in $(seq 50); do kill -0 "$APP" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$APP" 2>/dev/null; then echo "FAIL: Exit did not end the program"; exit 1; fi
APP=
grep -q '<OPTIONS>' "$DIR/options.dat" || { echo "FAIL: no options.dat"; exit 1; }
grep -q '<COM1>' "$DIR/options.dat" && { echo "FAIL: deleted port still in options.dat"; exit 1; }
echo "OK: Add, Start, Stop, context menu, tray click, Delete, Uninstall and Exit"

# A tray that appears after the program (a panel started late at logon) gets
# the icon.
kill "$TRAY"; wait "$TRAY" 2>/dev/null || true; TRAY=
rm -rf "$DIR/late"; mkdir "$DIR/late"; cp "$BUILD/velkaro_redi" "$DIR/late/"
"$DIR/late/velkaro_redi" >/dev/null 2>&1 &
APP=$!
sleep 2
trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 >/dev/null 2>&1 &
TRAY=$!
sleep 3.5
xwininfo -root -tree | grep -q '"Velkaro_redi".* 2[0-9]x2[0-9]+' \
  || { echo "FAIL: no tray icon after a late tray"; exit 1; }
kill -TERM "$APP"; wait "$APP" || true; APP=
echo "OK: a tray started after the program gets its icon"

# An installed copy, run as an unprivileged user, keeps its files in that
# user's config folder.
if [ "$(id -u)" -eq 0 ]; then
  id vrdrive >/dev/null 2>&1 || useradd --create-home vrdrive
  PREFIX=$(mktemp -d)
  cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
  chmod 755 "$PREFIX"
  HOMEDIR=$(getent passwd vrdrive | cut -d: -f6)
  rm -rf "$HOMEDIR/.config/velkaro_redi"
  runuser -u vrdrive -- env HOME="$HOMEDIR" DISPLAY="$DISPLAY" "$PREFIX/bin/velkaro_redi" \
    >"$DIR/user.log" 2>&1 &
  APP=$!
  sleep 2.5
  kill -TERM "$APP"; wait "$APP" || true; APP=
  [ -f "$HOMEDIR/.config/velkaro_redi/options.dat" ] \
    || { echo "FAIL: the installed copy kept no options in ~/.config/velkaro_redi"; cat "$DIR/user.log"; exit 1; }
  [ ! -e "$PREFIX/bin/options.dat" ] || { echo "FAIL: options written beside the installed executable"; exit 1; }
  grep -q "Exec=$PREFIX/bin/velkaro_redi" "$PREFIX/share/applications/velkaro_redi.desktop" \
    || { echo "FAIL: the menu entry does not run the installed path"; exit 1; }
  rm -rf "$PREFIX"
  echo "OK: installed copy keeps its options in $HOMEDIR/.config/velkaro_redi"
fi
