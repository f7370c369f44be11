#!/bin/sh
# Runs a test over the simulated FireWire bus: onbus.sh SIMDIR TAPE COMMAND...
# The simulated libraw1394 in SIMDIR comes first; its camcorder plays TAPE.
set -u
LD_LIBRARY_PATH="$1${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
THSIM1394_TAPE="$2"
# The tests start the watch of the bus themselves, without udev.
THARVEST_FIREWIRE=off
export LD_LIBRARY_PATH THSIM1394_TAPE THARVEST_FIREWIRE
shift 2
exec "$@"
