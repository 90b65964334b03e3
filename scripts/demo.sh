#!/usr/bin/env bash
# Builds the native release and runs the real host in the foreground with the example
# plug-ins: loaded and entered as at service start, sent a user control, a power event and an
# interrogate, then stopped and unloaded; the trace log is printed as it is written.
#   scripts/demo.sh [CONTROL...]            native (Linux); default controls: 128 13:18 INTERROGATE STOP
#   scripts/demo.sh windows [CONTROL...]    the Windows build, under Wine
# Give controls of your own (end without STOP to go on typing them, one a line; Ctrl-C stops).
# KELTRA_SKIP_SETUP=1 skips the package check of scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
export KELTRA_ROOT=$PWD
jobs="${KELTRA_JOBS:-$(nproc)}"
[[ -n "${KELTRA_SKIP_SETUP:-}" ]] || scripts/setup.sh

target=native
if [[ "${1:-}" == windows || "${1:-}" == native ]]; then
    target=$1
    shift
fi
controls=("$@")
if [[ ${#controls[@]} -eq 0 ]]; then
    controls=(128 13:18 INTERROGATE STOP)
fi

case "$target" in
    native)
        cmake --preset linux-release >/dev/null
        cmake --build --preset linux-release -j "$jobs" --target keltra-service
        # The build wrote build/linux-release/bin/keltra-default.reg listing the example
        # plug-ins; /RUN takes it when no other registry is named.
        exec build/linux-release/bin/keltra-service /RUN "${controls[@]}"
        ;;
    windows)
        cmake --preset windows-x64 >/dev/null
        cmake --build --preset windows-x64 -j "$jobs" --target keltra-service example_plugin example_plugin_second
        source scripts/wine-env.sh
        wine_start
        bin=$(TMPDIR="$WINE_TMPDIR" winepath -w "$PWD/build/windows-x64/bin" 2>/dev/null)
        reg="build/windows-x64/bin/keltra-default.reg"
        {
            echo 'Windows Registry Editor Version 5.00'
            echo
            echo '[-HKEY_LOCAL_MACHINE\Software\Keltra\Brismont Settings\SvcPlugins]'
            echo '[HKEY_LOCAL_MACHINE\Software\Keltra\Brismont Settings\SvcPlugins]'
            for p in example_plugin example_plugin_second; do
                echo "\"svcbu_$p\"=\"${bin//\\/\\\\}\\\\$p.dll\""
            done
        } >"$reg"
        rc=0
        TMPDIR="$WINE_TMPDIR" wine regedit /S "$(TMPDIR="$WINE_TMPDIR" winepath -w "$PWD/$reg")" || rc=$?
        TMPDIR="$WINE_TMPDIR" wine build/windows-x64/bin/KeltraServicePlugin.exe /RUN "${controls[@]}" || rc=$?
        wine_stop
        exit $rc
        ;;
esac
