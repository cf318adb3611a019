#!/usr/bin/env bash
# Pictures of the real program on a virtual X display (Xvfb), for looking at how it
# appears to a user: the main window with a list of a few hundred entries, every page of the options, the
# import and its column mapping, the statistics, the mail-out dialog and its HTML preview.
# Usage: scripts/screenshots.sh [build folder] [output folder]
# The build folder must hold corvane, corvane_snap and corvane_seed (default build/dev). Fails when a
# picture comes out blank.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/dev}" && pwd)
out=${2:-$build/screenshots}
corvane=$build/app/corvane
snap=$build/tools/snap/corvane_snap
seed=$build/tools/snap/corvane_seed
for program in "$corvane" "$snap" "$seed"; do
  if [ ! -x "$program" ]; then
    echo "screenshots: $program is not built" >&2
    exit 1
  fi
done

if [ -z "${CORVANE_SCREENSHOTS_DISPLAY:-}" ]; then
  exec env CORVANE_SCREENSHOTS_DISPLAY=1 \
    "$root/scripts/with_display.sh" "$0" "$build" "$out"
fi

mkdir -p "$out"
home=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$home"
}
trap cleanup EXIT

# The runtime folder holds the single-instance guard: one of our own, so that a copy of
# the program started elsewhere never receives our start instead.
export CORVANE_HOME=$home XDG_CONFIG_HOME=$home/config XDG_RUNTIME_DIR=$home QT_QPA_PLATFORM=xcb LANG=C.UTF-8 TZ=UTC
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}

# Waits until the screen shows a window and saves it as $1.
shoot() {
  local file=$out/$1
  for _ in $(seq 1 100); do
    if "$snap" "$file" 2>/dev/null; then
      echo "screenshots: $file"
      return 0
    fi
    sleep 0.2
  done
  echo "screenshots: $file stayed blank" >&2
  return 1
}

# A list of a few hundred entries in a program folder of its own.
"$seed" "$home" --entries 300
"$corvane" &
pid=$!
sleep 1
shoot main_window.png

# The dialogs are reached with the keyboard, as a user without a mouse would.
key() {
  xdotool key --clearmodifiers "$@"
  sleep 0.6
}
wid=$(xdotool search --name '^Corvane' | head -1)
xdotool windowfocus --sync "$wid"
# File, Options...
key alt+f
key Down Down Down Down Down Return
shoot options_dialog.png
# Each further page of the options: Ctrl+Tab turns to the next one.
for page in 2 3 4 5 6 7 8 9 10; do
  key ctrl+Tab
  shoot "options_page_$page.png"
done
key Escape
# Without a window manager the focus has to be given back by hand.
xdotool windowfocus --sync "$wid"
key alt+f
key Down Return
shoot import_dialog.png
# File contains multiple columns, then Edit Settings.. (the box about the missing input
# file comes first).
key Tab Tab Down Tab space
key Return
shoot import_mapping_dialog.png
# Ends the running program and starts it again, its main window focused.
restart() {
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  "$corvane" &
  pid=$!
  sleep 1
  shoot restarted_main_window.png >/dev/null
  rm -f "$out/restarted_main_window.png"
  wid=$(xdotool search --name '^Corvane' | head -1)
  xdotool windowfocus --sync "$wid"
}
# The statistics in a fresh start of the program: Tools, then Display Statistics... (the
# menu's last entry, one step up from the top).
restart
key alt+t
key Up Return
shoot statistics_dialog.png
# The mail-out dialog in a fresh start as well: Tools, then Send E-mail to Mailing List...
# (the second entry).
restart
key alt+t
key Down Return
# A list without a chosen sending method first asks to use the default (Enter takes it).
for _ in $(seq 1 20); do
  if xdotool search --onlyvisible --name '^Send message to your mailing list' >/dev/null; then
    break
  fi
  key Return
done
shoot mailout_dialog.png
# Its HTML preview in the browser engine: a message typed into the editor, then "Message is
# in HTML format" ticked, with the mouse (the tab order does not reach it in a few steps).
dialog=$(xdotool search --onlyvisible --name '^Send message to your mailing list' | head -1)
xdotool mousemove --window "$dialog" 200 330 click 1
xdotool type --delay 5 "<h1 style='color:#1a4f8b'>Autumn letter</h1><p>We meet on <b>Friday</b>.</p>"
xdotool mousemove --window "$dialog" 15 465 click 1
sleep 2
shoot mailout_preview.png
