#!/bin/sh
# sdk_install_test.sh BUILD SOURCE WORK: installs BUILD into a fresh prefix, then builds the
# example plug-in as a project outside the tree (find_package(Keltra)), natively and with mingw.
set -eu
build=$1 src=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/keltra-service"
for kind in native mingw; do
    set -- -S "$src/tests/service/sdk_consumer" -B "$work/$kind" -G Ninja \
        -DCMAKE_PREFIX_PATH="$work/prefix" -DEXAMPLE_SOURCE="$src/examples/example_plugin.cpp"
    if [ $kind = mingw ]; then
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
