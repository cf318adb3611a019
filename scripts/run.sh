#!/usr/bin/env bash
# Builds Corvane in Release, installs it into build/run/install and starts it on the
# per-user program folder ($CORVANE_HOME, else ~/.local/share/Corvane/). The first start
# there makes the "Personal Folders" mail store and asks whether to create the list
# database in that folder (Yes creates an empty one; No offers the choice of a folder).
# Arguments are passed to the program (for example /debug).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  cat >&2 <<'MSG'
Corvane needs a graphical display, and none is set (DISPLAY and WAYLAND_DISPLAY are empty).
Start it from a desktop session, connect with "ssh -X", or run it on a virtual display:
  xvfb-run -a -s '-screen 0 1280x1024x24' scripts/run.sh
MSG
  exit 2
fi

bash scripts/setup.sh

build=${CORVANE_RUN_DIR:-$root/build/run}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "${CORVANE_JOBS:-$(nproc)}" --target corvane mapi32 SMTPServer
cmake --install "$build" --prefix "$build/install" >/dev/null
exec "$build/install/bin/corvane" "$@"
