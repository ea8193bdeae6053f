#!/usr/bin/env bash
# sandboxed_kxrpc.sh [kxrpc options]: runs $KX_SANDBOX_PROGRAM as deploy/kxrpc.service confines it,
# as near as a machine without systemd as PID 1 allows; e2e tests take it as KXRPC_BIN. It keeps
# the process id (every step execs), prints nothing of its own on standard output, and needs root
# (mount namespaces). Only $KX_SANDBOX_RW stays writable: it stands for the unit's ReadWritePaths
# and state directory, so the tests' directories (their TMPDIR) must lie there, not under /tmp.
# Not reproduced: User= (the process stays uid 0, but with no capability at all, so it is held to
# file modes as any user; files the tests make are root's) and SupplementaryGroups=.
set -euo pipefail
: "${KX_SANDBOX_PROGRAM:?the kxrpc program}" "${KX_SANDBOX_RW:?the one writable directory}"
here=$(dirname "$(realpath "$0")")
if [ -z "${KX_SANDBOX_INSIDE:-}" ]; then
  export KX_SANDBOX_INSIDE=1
  exec unshare --mount --propagation private "$0" "$@"
fi
unset KX_SANDBOX_INSIDE
fail() { echo "sandboxed_kxrpc: $*" >&2; exit 125; }
rw=$(realpath "$KX_SANDBOX_RW")
case $rw/ in /tmp/* | /var/tmp/*) fail "$rw lies under the private /tmp" ;; esac

# ReadWritePaths=: a mount of its own, so that it stays writable below.
mount -n --bind "$rw" "$rw"
# ProtectSystem=strict, ProtectKernelTunables=, ProtectControlGroups=: every other mount read-only.
mountpoints() { awk '{ print $5 }' /proc/self/mountinfo | sed 's/\\040/ /g' | sort -u; }
# A mount gone meanwhile needs nothing: unlinking a mountpoint elsewhere (`ip netns del` of a test
# running beside this one) detaches the mounts on it in every namespace.
gone() { ! mountpoints | grep -xF -- "$1" >/dev/null; }
while read -r mountpoint; do
  case $mountpoint in "$rw" | /proc | /proc/* | /dev | /dev/*) continue ;; esac
  mount -n -o remount,bind,ro "$mountpoint" 2>/dev/null || gone "$mountpoint" || fail "cannot make $mountpoint read-only"
done < <(mountpoints)
mount -n --bind /proc/sys /proc/sys && mount -n -o remount,bind,ro /proc/sys
# PrivateTmp=
mount -n -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp
[ -d /var/tmp ] && mount -n -t tmpfs -o mode=1777,nosuid,nodev tmpfs /var/tmp
# PrivateDevices=: a /dev of the pseudo devices only.
mkdir /tmp/.dev && mount -n -t tmpfs -o mode=755,nosuid,noexec tmpfs /tmp/.dev
for device in null zero full random urandom tty; do
  touch "/tmp/.dev/$device" && mount -n --bind "/dev/$device" "/tmp/.dev/$device"
done
mkdir /tmp/.dev/shm /tmp/.dev/pts && mount -n -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp/.dev/shm
ln -s /proc/self/fd /tmp/.dev/fd
mount -n --move /tmp/.dev /dev && rmdir /tmp/.dev
# ProtectHome=yes: the homes are empty and closed.
for home in /home /root /run/user; do
  [ -d "$home" ] && mount -n -t tmpfs -o mode=000,nosuid,nodev tmpfs "$home"
done
# ProtectProc=invisible, ProcSubset=pid: another process's entries and the kernel's are hidden.
mount -n -t proc -o hidepid=invisible,subset=pid proc /proc 2>/dev/null || fail "cannot mount a private /proc"
# The working directory again, now through the writable mount.
cd "$PWD"
# NoNewPrivileges=, CapabilityBoundingSet= (empty), AmbientCapabilities= (none); then the
# system-call filters (SystemCallFilter=, RestrictAddressFamilies=, MemoryDenyWriteExecute=).
# As uid 0, SQLite gives each new journal file its database's owner (fchown, of @privileged); as the
# unit's user it never does.
export KX_SANDBOX_EXTRA_CALLS=fchown
exec setpriv --no-new-privs --bounding-set=-all --inh-caps=-all --ambient-caps=-all \
  python3 "$here/seccomp_exec.py" "$KX_SANDBOX_PROGRAM" "$@"
