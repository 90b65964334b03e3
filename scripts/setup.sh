#!/usr/bin/env bash
# Installs the Debian packages the build and tests need (once), and Google Benchmark's sources
# for the Windows build. Safe to run again: it does nothing when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang libclang-rt-14-dev lldb googletest libgtest-dev libgmock-dev
          libbenchmark-dev libspdlog-dev wine64 wine g++-mingw-w64-x86-64 clang-format ca-certificates
          libsystemd-dev pkg-config systemd util-linux
          dpkg-dev lintian wixl msitools)  # the last four make and check the .deb and .msi packages
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Google Benchmark for mingw: Debian ships only Linux binaries, so unpack its source package.
src=build/_sources/benchmark
if [ ! -f "$src/CMakeLists.txt" ]; then
    work=$(mktemp -d)
    mkdir -p "$work/lists/partial"
    # Source entries mirror the machine's own binary ones: no host name is fixed here.
    mkdir -p "$work/parts"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        if [ -f "$f" ]; then sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$f"; fi
    done >"$work/sources.list"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # deb822 stanzas: keep the enabled ones that carry binaries, as source stanzas.
        awk 'function flush() { if (keep && on) printf "%s\n", block; block = ""; keep = 0; on = 1 }
             BEGIN { on = 1 }
             /^[ \t]*$/ { flush(); next }
             /^#/ { next }
             /^Types:/ { if ($0 ~ /[: \t]deb([ \t]|$)/) { keep = 1; $0 = "Types: deb-src" } }
             /^Enabled:[ \t]*[Nn]o/ { on = 0 }
             { block = block $0 "\n" }
             END { flush() }' "$f" >"$work/parts/$(basename "$f")"
    done
    opts=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts"
          -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
    if apt-get "${opts[@]}" update >/dev/null 2>&1 &&
       (cd "$work" && apt-get "${opts[@]}" source --download-only benchmark >/dev/null 2>&1); then
        mkdir -p "$src"
        tar -xzf "$work"/benchmark_*.orig.tar.gz -C "$src" --strip-components=1
        echo "setup: Google Benchmark sources unpacked into $src"
    else
        echo "setup: Google Benchmark sources not available; Windows benchmarks are skipped"
    fi
    rm -rf "$work"
fi
