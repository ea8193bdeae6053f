#!/usr/bin/env python3
"""catch_check.py <source root>: every catch-all of the server keeps docs/architecture.md's rule.

A `catch (...)` in server/stp/kxrpc is one of three kinds:
- cleanup and rethrow: the block ends with `throw;`, so the failure passes on unchanged;
- handed on: the block gives the failure to one of wire/'s routines (hold_failure,
  ignore_current_exception, answerable_failure, or a reply's keep_failure);
- silent, where nothing can be answered: the block begins with a comment that says why.
Only the taking routines themselves (wire/product_failure.*, wire/trace.cpp) call
take_product_failure; every other caller goes through their wrappers. Prints each catch-all that
breaks the rule and exits 1; exits 0 when every one keeps it, and 1 when the server has no source.
"""

import glob
import os
import re
import sys

root = sys.argv[1]
server = os.path.join(root, "server/stp/kxrpc")
takers = {"wire/product_failure.h", "wire/product_failure.cpp", "wire/trace.cpp"}
handed_on = re.compile(r"\b(hold_failure|ignore_current_exception|answerable_failure|keep_failure)\s*\(")
catch_all = re.compile(r"\bcatch\s*\(\s*\.\.\.\s*\)\s*\{")


def code_only(text):
    """The text with string and character literals blanked, so braces inside them do not count."""
    return re.sub(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', lambda m: '"' + " " * (len(m.group(0)) - 2) + '"',
                  text)


def block_end(text, start):
    depth = 1
    at = start
    while depth and at < len(text):
        if text[at] == "{":
            depth += 1
        elif text[at] == "}":
            depth -= 1
        at += 1
    return at - 1


paths = sorted(glob.glob(os.path.join(server, "**", "*.cpp"), recursive=True) +
               glob.glob(os.path.join(server, "**", "*.h"), recursive=True))
if not paths:
    sys.exit("no source under %s" % server)
problems = []
for path in paths:
    name = os.path.relpath(path, server)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    text = code_only(original)
    # Comments blanked too, for the braces and calls; the comments themselves are what says why.
    code = re.sub(r"//[^\n]*|/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group(0)), text, flags=re.S)
    if name not in takers:
        for m in re.finditer(r"\btake_product_failure\s*\(", code):
            problems.append("%s:%d calls take_product_failure; use product_call, failure_of or ignoring_failures" %
                            (name, code.count("\n", 0, m.start()) + 1))
    if name in takers:
        continue
    for m in catch_all.finditer(code):
        end = block_end(code, m.end())
        body = code[m.end():end].strip()
        line = code.count("\n", 0, m.start()) + 1
        if re.search(r"\bthrow\s*;$", body) or handed_on.search(body):
            continue
        if text[m.end():end].lstrip().startswith("//"):
            continue
        problems.append("%s:%d catch (...) neither rethrows, hands the failure to wire/ nor says why it is silent" %
                        (name, line))

for p in problems:
    print(p)
print("catch-alls: %d file(s), %d problem(s)" % (len(paths), len(problems)))
sys.exit(1 if problems else 0)
