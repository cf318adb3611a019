#!/usr/bin/env bash
# Runs a command on a virtual X display of its own and stops the display afterwards.
# Usage: scripts/with_display.sh command [arguments...]
# Xvfb picks a free display number itself and reports it through -displayfd, so runs
# started at the same moment never choose the same one (xvfb-run -a guesses by looking,
# and two guesses can meet). The command's exit status is this script's.
set -u

if ! command -v Xvfb >/dev/null; then
  echo "with_display: Xvfb is not installed" >&2
  exit 127
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/display-XXXXXX") || exit 1
server=""
stop_server() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$dir"
}
trap stop_server EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

mkfifo "$dir/number"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$dir/number" \
  >"$dir/log" 2>&1 &
server=$!

number=""
read -r -t 30 number <"$dir/number"
if [ -z "$number" ]; then
  echo "with_display: Xvfb did not start:" >&2
  cat "$dir/log" >&2
  exit 1
fi
export DISPLAY=":$number"

# The number is written once the server listens; a first request answered proves it serves.
for _ in $(seq 1 100); do
  if xdotool getdisplaygeometry >/dev/null 2>&1; then
    break
  fi
  sleep 0.1
done

"$@"
