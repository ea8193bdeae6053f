#!/usr/bin/env python3
"""seccomp_exec.py PROGRAM [ARGS...]: execs PROGRAM under the system-call filters of
deploy/kxrpc.service, loaded through libseccomp: SystemCallFilter (the unit's groups, expanded by
systemd-analyze), RestrictAddressFamilies and MemoryDenyWriteExecute. A call outside the filter
kills the process (the unit answers EPERM), so a call the server needs cannot pass unnoticed
(KX_SANDBOX_DENY=errno: it fails with EHWPOISON instead, for strace to show).
Needs no_new_privs (setpriv --no-new-privs) set before."""

import ctypes
import os
import re
import subprocess
import sys

UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy", "kxrpc.service")

ALLOW, KILL = 0x7FFF0000, 0x80000000


def errno_action(number):
    return 0x00050000 | (number & 0xFFFF)


class Cmp(ctypes.Structure):
    _fields_ = [("arg", ctypes.c_uint), ("op", ctypes.c_int), ("a", ctypes.c_uint64), ("b", ctypes.c_uint64)]


EQ, MASKED_EQ = 4, 7

lib = ctypes.CDLL("libseccomp.so.2", use_errno=True)
lib.seccomp_init.restype = ctypes.c_void_p
lib.seccomp_init.argtypes = [ctypes.c_uint32]
lib.seccomp_rule_add_array.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_uint, ctypes.POINTER(Cmp)]
lib.seccomp_load.argtypes = [ctypes.c_void_p]
lib.seccomp_syscall_resolve_name.argtypes = [ctypes.c_char_p]


def groups():
    """Every group systemd-analyze knows: name -> members (calls and @groups)."""
    text = subprocess.run(["systemd-analyze", "syscall-filter"], check=True, capture_output=True, text=True).stdout
    found, current = {}, None
    for line in text.splitlines():
        if line.startswith("@"):
            current = found.setdefault(line.strip(), [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())
    return found


def expand(names, known):
    calls = set()
    for name in names:
        if name.startswith("@"):
            calls |= expand(known[name], known)
        else:
            calls.add(name)
    return calls


def unit_filter():
    """The unit's allow list less its deny lists, as systemd combines SystemCallFilter= lines."""
    known = groups()
    allowed, denied = set(), set()
    with open(UNIT, encoding="utf-8") as f:
        for value in re.findall(r"^SystemCallFilter=(.*)$", f.read(), re.M):
            if value.startswith("~"):
                denied |= expand(value[1:].split(), known)
            else:
                allowed |= expand(value.split(), known)
    # systemd always lets these through.
    allowed |= {"execve", "exit", "exit_group", "getrlimit", "rt_sigreturn", "sigreturn"}
    # What the caller adds for differences of its own (sandboxed_kxrpc.sh: running as uid 0).
    return (allowed - denied) | set(os.environ.get("KX_SANDBOX_EXTRA_CALLS", "").split())


def rule(ctx, action, name, *conditions):
    number = lib.seccomp_syscall_resolve_name(name.encode())
    if number < 0:
        return
    array = (Cmp * max(1, len(conditions)))(*conditions)
    if lib.seccomp_rule_add_array(ctx, action, number, len(conditions), array) != 0:
        sys.exit("seccomp_rule_add %s failed" % name)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    # Filter 1: the allowed calls; everything else kills.
    # KX_SANDBOX_DENY=errno answers EHWPOISON instead, so that strace names the refused call.
    ctx = lib.seccomp_init(errno_action(133) if os.environ.get("KX_SANDBOX_DENY") == "errno" else KILL)
    for name in sorted(unit_filter()):
        rule(ctx, ALLOW, name)
    # Filter 2, stacked (the stricter answer wins): address families and W^X.
    ctx2 = lib.seccomp_init(ALLOW)
    for family in range(0, 46):
        if family not in (1, 2, 10):  # AF_UNIX, AF_INET, AF_INET6
            rule(ctx2, errno_action(97), "socket", Cmp(0, EQ, family, 0))  # EAFNOSUPPORT
    write_exec = 0x2 | 0x4
    rule(ctx2, errno_action(1), "mmap", Cmp(2, MASKED_EQ, write_exec, write_exec))
    rule(ctx2, errno_action(1), "mprotect", Cmp(2, MASKED_EQ, 0x4, 0x4))
    rule(ctx2, errno_action(1), "pkey_mprotect", Cmp(2, MASKED_EQ, 0x4, 0x4))
    # The second filter is loaded first: the allow list need not let seccomp() through.
    if lib.seccomp_load(ctx2) != 0 or lib.seccomp_load(ctx) != 0:
        sys.exit("seccomp_load failed (no_new_privs not set?)")
    os.execv(sys.argv[1], sys.argv[1:])


main()
