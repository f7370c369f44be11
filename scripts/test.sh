#!/bin/sh
# Builds TapeHarvest and runs every test: the whole suite in the default build,
# the streaming tests again under ThreadSanitizer, and a short run of each
# libFuzzer target (clang) over the parsers.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)

cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default

cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
