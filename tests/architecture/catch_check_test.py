#!/usr/bin/env python3
"""catch_check_test.py <source root>: catch_check.py passes the catch-alls its rule allows and fails,
naming file and line, on each kind it forbids, and on a tree with no server source."""

import os
import subprocess
import sys
import tempfile

check = os.path.join(os.path.dirname(os.path.abspath(__file__)), "catch_check.py")

allowed = """
void a() { try { f(); } catch (...) { undo(); throw; } }
void b() { try { f(); } catch (...) { return hold_failure(xdrs, L"b"); } }
void c() {
    try {
        f();
    } catch (...) {
        // A trace line that cannot be written is dropped.
    }
}
auto d() { return product_call([] { f(); }, unexpected_in(L"d")); }
char const *e = "catch (...) { take_product_failure(); }"; // in a string: not code
"""

forbidden = {
    "swallowed": "void f() {\n    try { g(); } catch (...) {\n        ok = false;\n    }\n}\n",
    "comment after the work": "void f() {\n    try { g(); } catch (...) {\n        ok = false; // why\n    }\n}\n",
    "converted by hand": "void f() {\n    try { g(); } catch (...) {\n        take(); throw KXError(); }\n}\n",
    "taken by hand": "void f() {\n    auto t = take_product_failure();\n}\n",
}


def run(files):
    with tempfile.TemporaryDirectory() as tree:
        for name, text in files.items():
            path = os.path.join(tree, "server/stp/kxrpc", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        done = subprocess.run([sys.executable, check, tree], capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr


failures = []
code, out = run({"query/good.cpp": allowed})
if code != 0:
    failures.append("the allowed catch-alls failed:\n" + out)
for what, text in forbidden.items():
    code, out = run({"query/good.cpp": allowed, "session/bad.cpp": text})
    # Each sample's fault is on its second line.
    if code == 0 or "session/bad.cpp:2 " not in out or "good.cpp" in out:
        failures.append("%s: not failed at session/bad.cpp:2 alone:\n%s" % (what, out))
# The taking routines' own file may take.
code, out = run({"wire/product_failure.cpp": forbidden["taken by hand"]})
if code != 0:
    failures.append("wire/product_failure.cpp may take:\n" + out)
code, out = run({"README": "no source"})
if code == 0:
    failures.append("a tree without server source passed")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
