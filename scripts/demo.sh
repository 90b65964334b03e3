#!/usr/bin/env bash
# Builds the native release and runs the main job: the example plug-ins listed in a private
# registry, loaded, entered, sent a user control, a power event and stop, unloaded; then the
# trace log is printed.
#   scripts/demo.sh            native (Linux)
#   scripts/demo.sh windows    the Windows build, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
export KELTRA_ROOT=$PWD
jobs="${KELTRA_JOBS:-$(nproc)}"
scripts/setup.sh

case "${1:-native}" in
    native)
        cmake --preset linux-release >/dev/null
        cmake --build --preset linux-release -j "$jobs" --target keltra-demo
        exec build/linux-release/bin/keltra-demo
        ;;
    windows)
        cmake --preset windows-x64 >/dev/null
        cmake --build --preset windows-x64 -j "$jobs" --target keltra-demo
        source scripts/wine-env.sh
        wine_start
        rc=0
        TMPDIR="$WINE_TMPDIR" wine build/windows-x64/bin/keltra-demo.exe || rc=$?
        wine_stop
        exit $rc
        ;;
    *) echo "usage: $0 [native|windows]"; exit 2 ;;
esac
