#!/bin/sh
# Builds TapeHarvest and runs every test: the whole suite in the default build
# (GCC); again under AddressSanitizer and UndefinedBehaviorSanitizer (clang),
# which includes a short run of each parser's libFuzzer target; and the
# streaming tests under ThreadSanitizer. Each stage builds only what it runs,
# and warnings are errors for both compilers.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 4)

for preset in default asan-ubsan tsan; do
  echo "== $preset"
  cmake --preset "$preset" -DTH_WERROR=ON
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done
