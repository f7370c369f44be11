#!/bin/sh
# Builds TapeHarvest, makes the virtual camcorder's demo tape, registers the
# AVI writer plugin into this user's registry and starts the program with the
# demo tape in the virtual camcorder.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)
cmake --preset default
cmake --build --preset default -j "$jobs"
cmake --build --preset default --target demo_tape
bin=build/default/bin
tape=$PWD/build/default/demo/demo.dv

if [ -f "$bin/thmux.ax" ]; then
  "$bin/regsvr" /s "$bin/thmux.ax"
fi

export THARVEST_DV_TAPE="$tape"
export THARVEST_DV_MODE="${THARVEST_DV_MODE:-vcr}"
if [ -x "$bin/tharvest" ]; then
  # Without a display (a plain console or ssh session), run under a virtual one.
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
    exec xvfb-run -a "$bin/tharvest" "$@"
  fi
  exec "$bin/tharvest" "$@"
fi

echo "The demo tape is $tape (five scenes, 2.5 minutes)."
echo "The program tharvest is not part of this build yet; see \"What it does not do\" in README.md."
