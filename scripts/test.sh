#!/usr/bin/env bash
# Builds and runs every test: format check, the native suite with sanitizers, the Windows
# suite under Wine, and a bounded fuzz run. Exits non-zero if anything fails.
#   scripts/test.sh            everything
#   scripts/test.sh native     only the native sanitizer suite
#   scripts/test.sh windows    only the Windows suite under Wine
set -uo pipefail
cd "$(dirname "$0")/.."
export KELTRA_ROOT=$PWD
what="${1:-all}"
jobs="${KELTRA_JOBS:-$(nproc)}"

scripts/setup.sh || exit 1

failed=()
summary=build/test-summary.log
mkdir -p build && : >"$summary"
step() {
    local name=$1; shift
    echo "=== $name"
    if "$@"; then echo "=== $name: ok"; else echo "=== $name: FAILED"; failed+=("$name"); fi
}

format_check() {
    git ls-files '*.h' '*.cpp' '*.c' | xargs -r clang-format --dry-run -Werror
}

native() {
    cmake --preset linux-asan >/dev/null &&
    cmake --build --preset linux-asan -j "$jobs" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/linux-asan --output-on-failure --timeout 180 -j "$jobs" | tee -a "$summary"
}

windows() {
    cmake --preset windows-x64 >/dev/null &&
    cmake --build --preset windows-x64 -j "$jobs" || return 1
    source scripts/wine-env.sh
    wine_start
    TMPDIR="$WINE_TMPDIR" ctest --test-dir build/windows-x64 --output-on-failure --timeout 240 -j "$jobs" |
        tee -a "$summary"
    local rc=$?
    wine_stop
    return $rc
}

fuzz() {
    [ -f tests/fuzz/CMakeLists.txt ] || return 0
    cmake --preset linux-fuzz >/dev/null &&
    cmake --build --preset linux-fuzz -j "$jobs" &&
    for f in build/linux-fuzz/bin/fuzz_*; do
        [ -x "$f" ] || continue
        "$f" -max_total_time="${KELTRA_FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=4096 || return 1
    done
}

case "$what" in
    all)     step format format_check; step native native; step windows windows; step fuzz fuzz ;;
    native)  step native native ;;
    windows) step windows windows ;;
    fuzz)    step fuzz fuzz ;;
    format)  step format format_check ;;
    *) echo "usage: $0 [all|native|windows|fuzz|format]"; exit 2 ;;
esac

# One closing line over every ctest run: "tests: N passed, N failed".
total=0 bad=0
while read -r f t; do
    total=$((total + t)) bad=$((bad + f))
done < <(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$summary")
if ((${#failed[@]})); then
    echo "FAILED: ${failed[*]}"
    echo "tests: $((total - bad)) passed, $bad failed"
    exit 1
fi
echo "all test steps passed"
echo "tests: $((total - bad)) passed, $bad failed"
