#!/usr/bin/env python3
"""e2e_sandboxed.py BUILD_DIR [JOBS] [REGEX]: runs the e2e tests of a build tree (every CTest test
that starts the server through KXRPC_BIN) with the server inside sandboxed_kxrpc.sh, the nearest
this machine offers to deploy/kxrpc.service. The tests themselves run as CTest would run them (same
command, environment and directory); their temporary directories lie in BUILD_DIR/sandbox, the one
writable place. Prints each failure's output and a count; exits 1 when any test failed."""

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
sys.exit(1 if failed else 0)
