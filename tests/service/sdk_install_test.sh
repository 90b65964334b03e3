#!/bin/sh
# Installs the build into a fresh prefix, then builds the example plug-in as a project outside
# the tree would (find_package(Keltra)), natively and with mingw; each must give a library
# that exports the plug-in entry points.
#   sdk_install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -eu
build=$1 src=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/keltra-service"
test -f "$work/prefix/include/keltra/plugin.h"
for kind in native mingw; do
    set -- -S "$src/tests/service/sdk_consumer" -B "$work/$kind" -G Ninja \
        -DCMAKE_PREFIX_PATH="$work/prefix" -DEXAMPLE_SOURCE="$src/examples/example_plugin.cpp"
    if [ $kind = mingw ]; then
        # The cross toolchain searches packages only in its own root: name the package's folder.
        set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-w64-x86_64.cmake" \
            -DKeltra_DIR="$(dirname "$(find "$work/prefix" -name KeltraConfig.cmake)")"
    fi
    cmake "$@" >"$work/$kind.log" 2>&1 || { cat "$work/$kind.log"; exit 1; }
    cmake --build "$work/$kind" >>"$work/$kind.log" 2>&1 || { cat "$work/$kind.log"; exit 1; }
done
for export in Main Handler Unload GetDescription IsAlive OnDeleteService; do
    nm -D --defined-only "$work/native/my_plugin.so" | grep -qw "$export"
    x86_64-w64-mingw32-objdump -p "$work/mingw/my_plugin.dll" | grep -qw "$export"
done
echo "example plug-in built from the installed SDK: native and mingw"
