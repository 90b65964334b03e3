#!/usr/bin/env bash
# A real systemd for tests: PID 1 of private PID and mount namespaces, booted over an overlay of
# / whose upper layer is a tmpfs, so nothing it writes (its /tmp clean-up included) reaches the
# machine. Never boot it over the real root.
#   systemd-sandbox.sh start BASE [[--rw] DIR...]
#                                           boots (BASE: an empty directory outside /tmp; each
#                                           DIR is bound at its own path inside, read-only unless
#                                           --rw precedes it, for what the test reads back) and
#                                           prints the namespace's systemd PID once it runs;
#                                           exits 77 with the reason when it cannot be made
#   systemd-sandbox.sh run PID COMMAND...   runs a command inside
#   systemd-sandbox.sh stop PID             ends it (everything inside ends with PID 1)
set -uo pipefail
what=${1:-}; shift || true

skip() { echo "systemd sandbox unavailable: $*"; exit 77; }

case "$what" in
boot)  # inside unshare: the overlay root, then systemd in it
    set -e
    base=$1; shift
    mount -t tmpfs tmpfs "$base"
    mkdir -p "$base"/{upper,work,root}
    mount -t overlay overlay -o lowerdir=/,upperdir="$base/upper",workdir="$base/work" "$base/root"
    mount -t proc proc "$base/root/proc"
    mount --rbind /sys "$base/root/sys"
    mount --rbind /dev "$base/root/dev"
    mount -t tmpfs tmpfs "$base/root/run"
    mount -t tmpfs tmpfs "$base/root/tmp"
    rw=
    for d in "$@"; do
        if [ "$d" = --rw ]; then rw=1 && continue; fi
        mkdir -p "$base/root$d"
        mount --bind "$d" "$base/root$d"
        [ -n "$rw" ] || mount -o remount,bind,ro "$base/root$d"
        rw=
    done
    cd "$base/root"
    exec chroot . /lib/systemd/systemd --system --unit=basic.target </dev/null >/dev/null 2>&1
    ;;
start)
    base=$1; shift
    [ "$(id -u)" -eq 0 ] || skip "not root (the namespaces and mounts need it)"
    [ -x /lib/systemd/systemd ] || skip "systemd is not installed"
    command -v unshare >/dev/null && command -v nsenter >/dev/null || skip "no unshare/nsenter"
    mkdir -p "$base"
    unshare --mount --pid --fork --propagation private "$0" boot "$base" "$@" \
        </dev/null >"$base.log" 2>&1 &
    outer=$!
    for _ in $(seq 300); do  # up to 30 s to boot
        pid=$(pgrep -P "$outer" -x systemd || true)
        if [ -n "$pid" ]; then
            state=$(nsenter -t "$pid" -m -p -r -w systemctl is-system-running 2>/dev/null || true)
            case "$state" in running|degraded) echo "$pid"; exit 0 ;; esac
        fi
        kill -0 "$outer" 2>/dev/null || skip "unshare or the boot failed: $(tail -3 "$base.log")"
        sleep 0.1
    done
    [ -n "${pid:-}" ] && kill -9 "$pid"
    skip "systemd did not reach running within 30 s"
    ;;
run)
    pid=$1; shift
    exec nsenter -t "$pid" -m -p -r -w "$@"
    ;;
stop)
    kill -9 "$1"
    ;;
*)
    echo "usage: $0 start BASE [[--rw] DIR...] | run PID COMMAND... | stop PID" >&2
    exit 2
    ;;
esac
