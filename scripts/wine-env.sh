#!/usr/bin/env bash
# Sourced by the scripts: a private, headless Wine prefix for the Windows build's programs.
# Usage: source scripts/wine-env.sh; wine_start; ...; wine_stop
: "${KELTRA_ROOT:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
export WINEPREFIX="${WINEPREFIX:-$KELTRA_ROOT/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export WINE_TMPDIR="${WINE_TMPDIR:-$KELTRA_ROOT/build/winetmp}"

wine_start() {
    mkdir -p "$WINE_TMPDIR" "$WINEPREFIX"
    # Wine keeps its server socket under TMPDIR; one persistent server for all test programs.
    TMPDIR="$WINE_TMPDIR" wineserver -p </dev/null >/dev/null 2>&1
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        TMPDIR="$WINE_TMPDIR" wineboot -i </dev/null >/dev/null 2>&1
        # The first boot leaves its own service manager running beside the one the next
        # program starts: two managers answer service calls each from its own database
        # (a service created in one is missing in the other). Start again from one server.
        TMPDIR="$WINE_TMPDIR" wineserver -k </dev/null >/dev/null 2>&1
        TMPDIR="$WINE_TMPDIR" wineserver -w </dev/null >/dev/null 2>&1
        TMPDIR="$WINE_TMPDIR" wineserver -p </dev/null >/dev/null 2>&1
    fi
    # Start Wine's own services now, detached, so no test inherits their output pipe.
    TMPDIR="$WINE_TMPDIR" wine cmd /c "exit 0" </dev/null >/dev/null 2>&1
    # And Wine's desktop process, which the installer needs: started by a test, it would keep
    # that test's standard error (and so ctest's wait) open while any program of the run uses
    # the desktop. It lives until wine_stop.
    (TMPDIR="$WINE_TMPDIR" setsid wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &)
    local i pid
    for i in $(seq 100); do  # up to 10 s, until this prefix's desktop runs (others may run too)
        for pid in $(pgrep -f 'explorer.exe /desktop'); do
            tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
                return 0
        done
        sleep 0.1
    done
}

wine_stop() {
    TMPDIR="$WINE_TMPDIR" wineserver -k </dev/null >/dev/null 2>&1 || true
}
