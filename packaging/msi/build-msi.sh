#!/bin/sh
# build-msi.sh EXE OUT VERSION SERVICE DISPLAY UPGRADECODE: makes the Windows Installer package OUT from
# keltra.wxs for the executable EXE, with wixl and msitools (Debian's Windows Installer tools).
set -eu
exe=$1 out=$2 version=$3 service=$4 display=$5 upgrade=$6
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/keltra-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
# wixl takes source files relative to where it runs.
(cd "$(dirname "$exe")" &&
    wixl -a x64 -D Version="$version" -D ServiceName="$service" -D DisplayName="$display" \
        -D UpgradeCode="$upgrade" -D HostExe="$(basename "$exe")" -o "$work/host.msi" \
        "$here/keltra.wxs" 2>"$work/wixl.log") || { cat "$work/wixl.log" >&2; exit 1; }
# wixl cannot name the features an upgrade removes from the older version: set them in the
# Upgrade table, so that removal asks for this feature, not ALL (see keltra.wxs).
msiinfo export "$work/host.msi" Upgrade | tr -d '\r' |
    awk 'BEGIN { FS = OFS = "\t" } NR > 3 && $7 == "KELTRA_OLDER" { $6 = "Host" } { print }' \
        >"$work/Upgrade.idt"
grep -q '	Host	KELTRA_OLDER$' "$work/Upgrade.idt"
msibuild "$work/host.msi" -i "$work/Upgrade.idt"
mv "$work/host.msi" "$out"
