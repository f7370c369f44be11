#!/bin/sh
# Builds TapeHarvest and runs every test: the whole suite in the default build
# and again under AddressSanitizer and UndefinedBehaviorSanitizer, the streaming
# tests under ThreadSanitizer, and a short run of each libFuzzer target (clang)
# over the parsers.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)

cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default

cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$jobs"
ctest --preset asan-ubsan

cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
