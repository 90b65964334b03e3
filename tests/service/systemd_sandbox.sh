#!/bin/sh
# unshare --mount --pid --fork --propagation private sh systemd_sandbox.sh BASE PIDFILE [DIR...]
# boots systemd over a tmpfs overlay of / (never on the real root: it empties /tmp), writes its
# outside PID to PIDFILE, binds each DIR read-write inside. BASE: empty, outside /tmp.
set -e
base=$1
pidfile=$2
shift 2
mount -t tmpfs tmpfs "$base"
mkdir -p "$base/upper" "$base/work" "$base/root"
mount -t overlay overlay -o lowerdir=/,upperdir="$base/upper",workdir="$base/work" "$base/root"
mount -t proc proc "$base/root/proc"
mount --rbind /sys "$base/root/sys"
mount --rbind /dev "$base/root/dev"
mount -t tmpfs tmpfs "$base/root/run"
mount -t tmpfs tmpfs "$base/root/tmp"
for d in "$@"; do
    mkdir -p "$base/root$d"
    mount --bind "$d" "$base/root$d"
done
# /proc here is still the machine's: the shell's own entry gives its PID outside.
read -r self _ </proc/self/stat
echo "$self" >"$pidfile"  # the reader waits until this PID runs systemd
cd "$base/root"
exec chroot . /lib/systemd/systemd --system --unit=basic.target
