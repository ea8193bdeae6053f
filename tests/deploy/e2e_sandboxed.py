#!/usr/bin/env python3
"""e2e_sandboxed.py BUILD_DIR [JOBS] [REGEX]: runs the e2e tests of a build tree (every CTest test
that starts the server through KXRPC_BIN) with the server inside sandboxed_kxrpc.sh, the nearest
this machine offers to deploy/kxrpc.service. The tests themselves run as CTest would run them (same
command, environment and directory); their temporary directories lie in BUILD_DIR/sandbox, the one
writable place. The servers' traces (KX_DIAG=66=1, where a test sets none of its own) go to one
file there, from which it tells which of the procedures were served. Prints each failure's output
and the counts; exits 1 when any test failed."""

import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
build = os.path.abspath(sys.argv[1])
jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 4
pattern = re.compile(sys.argv[3] if len(sys.argv) > 3 else "")
listing = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                                    capture_output=True, text=True).stdout)
sandbox = os.path.join(build, "sandbox")
shutil.rmtree(sandbox, ignore_errors=True)
os.makedirs(sandbox)


def prepared(test):
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    env = dict(os.environ)
    program = None
    for item in props.get("ENVIRONMENT", []):
        name, _, value = item.partition("=")
        if name == "KXRPC_BIN":
            program = value
        else:
            env[name] = value
    if program is None or not pattern.search(test["name"]):
        return None
    # Beside the program, so that tests finding the build's files from KXRPC_BIN still find them.
    wrapper = os.path.join(os.path.dirname(program), "kxrpc-sandboxed")
    if not os.path.islink(wrapper):
        os.symlink(os.path.join(here, "sandboxed_kxrpc.sh"), wrapper)
    env.update(KX_DIAG="66=1", KX_DIAG_FILE=os.path.join(sandbox, "trace.log"))
    env.update(KXRPC_BIN=wrapper, KX_SANDBOX_PROGRAM=program,
               KX_SANDBOX_RW=sandbox, TMPDIR=sandbox)
    return test["name"], test["command"], env, props.get("WORKING_DIRECTORY", build)


def run(case):
    name, command, env, cwd = case
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    skipped = "[  SKIPPED ]" in done.stdout
    return name, done.returncode, skipped, done.stdout + done.stderr


cases = [c for c in map(prepared, listing["tests"]) if c]
failed = skipped = 0
with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
    for name, code, was_skipped, output in pool.map(run, cases):
        skipped += was_skipped
        if code != 0:
            failed += 1
            print("FAILED %s (status %d)\n%s" % (name, code, output[-4000:]))
print("sandboxed e2e: %d tests, %d failed, %d skipped" % (len(cases), failed, skipped))
source = os.path.join(here, "..", "..", "server", "stp", "kxrpc")
table = set()
for folder in os.listdir(source):
    path = os.path.join(source, folder, "procedures.cpp")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            table |= {name for _, name in re.findall(r'[({](\d+), L"(\w+)"', f.read())}
with open(os.path.join(sandbox, "trace.log"), encoding="utf-8", errors="replace") as f:
    started = set(re.findall(r"^KXRPC: Start (\w+) \(", f.read(), re.M))
started.add("ping")  # answered before any trace line; every test that starts a server pings it
print("procedures served: %d of %d; never called: %s" % (len(table & started), len(table),
                                                         " ".join(sorted(table - started)) or "none"))
sys.exit(1 if failed else 0)
