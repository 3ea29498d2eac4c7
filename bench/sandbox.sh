#!/usr/bin/env bash
# Runs a command with a /dev of its own that holds no serial port, console or
# virtual terminal: only null, zero, full, random, urandom, the pseudo-terminals
# and shm. Started as `unshare --mount --propagation private bench/sandbox.sh CMD…`.
# The peers list serial ports at start through QSerialPortInfo (which opens
# every /dev/ttyS*) or open /dev/ttyS0 by default; here there is none to open.
set -euo pipefail

if [[ "$(readlink /proc/self/ns/mnt)" == "$(readlink /proc/1/ns/mnt)" ]]; then
    echo "sandbox.sh: not in a private mount namespace; run it under unshare --mount" >&2
    exit 2
fi

dev=/tmp/kestavo-bench-dev
mkdir -p "$dev"
mount -t tmpfs -o mode=755 tmpfs "$dev"
for node in null zero full random urandom; do
    touch "$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
done
mkdir "$dev/pts" "$dev/shm"
mount --bind /dev/pts "$dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$dev/shm"
ln -s pts/ptmx "$dev/ptmx"
ln -s /proc/self/fd "$dev/fd"
ln -s /proc/self/fd/0 "$dev/stdin"
ln -s /proc/self/fd/1 "$dev/stdout"
ln -s /proc/self/fd/2 "$dev/stderr"
mount --rbind "$dev" /dev
# A stock Debian 12 keeps /run (and so the lock files) on tmpfs; this machine
# may not. The benchmark measures both.
if [[ "${KESTAVO_BENCH_TMPFS_LOCK:-}" == 1 ]]; then
    mount -t tmpfs -o mode=1777 tmpfs /run/lock
fi

if compgen -G "/dev/ttyS*" >/dev/null || [[ -e /dev/console || -e /dev/tty0 ]]; then
    echo "sandbox.sh: real terminals are still visible" >&2
    exit 2
fi
exec "$@"
