#!/bin/sh
# Runs one test program with a world of its own: a fresh registry, a fresh
# temporary folder, no DV tape unless the test sets one, the offscreen Qt
# platform, and a shutdown command that does nothing.
set -u
scratch=$(mktemp -d "${TMPDIR:-/tmp}/thtest.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/registry" "$scratch/tmp" "$scratch/home" "$scratch/config"
chmod 700 "$scratch/tmp"
export THARVEST_REGISTRY_DIR="$scratch/registry"
export TMPDIR="$scratch/tmp"
# Qt keeps the file dialogs' last folders in the user's configuration.
export XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$scratch/tmp}"
export THARVEST_SHUTDOWN_COMMAND=true
export QT_QPA_PLATFORM=offscreen
export LC_ALL=C.UTF-8
# Uninstrumented system libraries that ThreadSanitizer misreads.
# Qt's locks and thread pools are invisible to ThreadSanitizer: what Qt's
# own code allocates, copies and frees is not checked, our code still is.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}ignore_noninstrumented_modules=1:suppressions=$(cd "$(dirname "$0")" && pwd)/tsan.supp"
unset THARVEST_DV_TAPE THARVEST_DV_MODE THARVEST_DV_SPEED
# Small disks that a test mounts (as root) go with its own mount namespace,
# also when the test dies before it unmounts them.
if [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
    unshare -m --propagation private "$@"
else
    "$@"
fi
exit $?
