#!/bin/sh
# Runs a test over the simulated FireWire bus: onbus.sh SIMDIR TAPE SPEED COMMAND...
# The simulated libraw1394 in SIMDIR comes first; its camcorder plays TAPE,
# its bus runs SPEED bus seconds a second.
set -u
LD_LIBRARY_PATH="$1${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
THSIM1394_TAPE="$2"
THSIM1394_SPEED="$3"
# The tests start the watch of the bus themselves, without udev.
THARVEST_FIREWIRE=off
export LD_LIBRARY_PATH THSIM1394_TAPE THSIM1394_SPEED THARVEST_FIREWIRE
shift 3
exec "$@"
