#!/bin/sh
# Builds what the demo needs (the program, the AVI writer plugin, its
# registration tool and the tape maker; not the tests), makes the virtual
# camcorder's demo tape, registers the plugin into this user's registry and
# starts the program with the demo tape in the virtual camcorder.
set -eu
cd "$(dirname "$0")/.."

# The program is a desktop window that asks a question at its first start:
# without a desktop to show it on, say so rather than wait for ever.
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "run-demo.sh: TapeHarvest needs a desktop: start it from a terminal in a graphical session (no DISPLAY or WAYLAND_DISPLAY is set)." >&2
  exit 1
fi

jobs=$(nproc 2>/dev/null || echo 4)
cmake --preset default
cmake --build --preset default -j "$jobs" --target tharvest thmux regsvr thtape tharvest_help demo_tape
bin=build/default/bin
tape=$PWD/build/default/demo/demo.dv

"$bin/regsvr" /s "$bin/thmux.ax"

export THARVEST_DV_TAPE="$tape"
export THARVEST_DV_MODE="${THARVEST_DV_MODE:-vcr}"
exec "$bin/tharvest" "$@"
