#!/usr/bin/env python3
"""readme_check.py <source root>: the claims of the README and its docs that drift with the code.

- The options its options table lists are the options the program compares its arguments with.
- Each row of a table whose first column is "constant", in the README or in one of `documents`,
  names a constant of the tree, and the value the row gives is the constant's value.
- Every environment variable that the libraries and the server read by a literal name is named
  in the README, in platform/product/README.md or in docs/development.md.
- The unit the README shows is deploy/kxrpc.service, byte for byte.
Prints what differs and exits 1; exits 0 when every claim holds.
"""

import glob
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")


def read(path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


readme = read("README.md")
# The documents the README hands its maintainers' and measurements' tables to.
documents = {"README.md": readme, "docs/development.md": read("docs/development.md"),
             "docs/performance.md": read("docs/performance.md")}
problems = []

# ---- options

# The first cell of each row of the table whose first column is "option".
table = re.search(r"^\| *option *\|.*\n\|[-| ]+\|\n((?:\|.*\n)+)", readme, re.M)
listed = set()
for row in table.group(1).splitlines() if table else []:
    listed |= set(re.findall(r"`(-[a-z_]+)[^`]*`", row.strip("|").split("|")[0]))
accepted = set()
for source in ("server/stp/kxrpc/core/options.cpp", "server/stp/kxrpc/core/service.cpp"):
    accepted |= set(re.findall(r'strcmp\([^,]+,\s*"(-[a-z_]+)"\)', read(source)))
if not listed:
    problems.append("the README lists no options")
for option in sorted(accepted - listed):
    problems.append("option %s is accepted but not in the README" % option)
for option in sorted(listed - accepted):
    problems.append("option %s is in the README but not accepted" % option)

# ---- constants in tables

headers = [p for d in ("lib", "platform", "server") for p in glob.glob(os.path.join(root, d, "**", "*.h"), recursive=True)]
definitions = {}
for path in headers:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for name, expr in re.findall(r"^\s*#define\s+([A-Za-z_]\w*)\s+([^/\n]+)", text, re.M):
        definitions.setdefault(name, expr.strip())
    for name, expr in re.findall(r"\bconstexpr\s+[\w:\s]+?\b([A-Za-z_]\w*)\s*=\s*([^;]+);", text):
        definitions.setdefault(name, expr.strip())


def evaluate(expr):
    expr = re.sub(r"static_cast<[^>]+>", "", expr)
    expr = re.sub(r"\b(\d+)[uUlL]+\b", r"\1", expr)
    if not re.fullmatch(r"[\d\s()+\-*/<>]+", expr):
        raise ValueError(expr)
    return eval(expr.replace("/", "//"), {"__builtins__": {}})  # digits and operators only


units = {"": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "Ki": 1 << 10, "Mi": 1 << 20, "Gi": 1 << 30,
         "ms": 1, "s": 1000, "min": 60000, "h": 3600000}


def claimed(name, cell):
    """The first number of a cell with its unit, in the constant's own unit (ms for *_MS)."""
    m = re.match(r"\s*([\d,]*\d)\s*(KiB|MiB|GiB|Ki|Mi|Gi|ms|s|min|h)?\b", cell)
    if not m:
        raise ValueError(cell)
    number = int(m.group(1).replace(",", ""))
    unit = m.group(2) or ""
    if unit in ("ms", "s", "min", "h") and not name.upper().endswith("_MS"):
        raise ValueError("a time for a constant not in milliseconds: " + cell)
    return number * units[unit]


tables = [(where, t) for where, text in documents.items()
          for t in re.finditer(r"^\| *constant *\|.*\n\|[-| ]+\|\n((?:\|.*\n)+)", text, re.M)]
if not tables:
    problems.append("no table of constants found")
for where, table in tables:
    for row in table.group(1).splitlines():
        cells = [c.strip() for c in row.strip("|").split("|")]
        m = re.fullmatch(r"`(\w+)`", cells[0])
        if not m or len(cells) < 2:
            continue
        name = m.group(1)
        if name not in definitions:
            problems.append("%s names the constant %s, which no header defines" % (where, name))
            continue
        try:
            actual = evaluate(definitions[name])
            said = claimed(name, cells[1])
        except ValueError as e:
            problems.append("cannot compare %s: %s" % (name, e))
            continue
        if actual != said:
            problems.append("%s is %d in the code, %s says %s" % (name, actual, where, cells[1]))

# ---- environment variables read by name

naming = readme + read("platform/product/README.md") + documents["docs/development.md"]
sources = [p for d in ("lib", "platform", "server") for ext in ("cpp", "c", "h")
           for p in glob.glob(os.path.join(root, d, "**", "*." + ext), recursive=True)]
for path in sources:
    with open(path, encoding="utf-8") as f:
        for name in re.findall(r'getenv\("(\w+)"\)', f.read()):
            if not re.search(r"\b%s\b" % name, naming):
                problems.append("%s reads $%s, which the README does not name" % (os.path.relpath(path, root), name))

# ---- the unit

shown = re.search(r"^`deploy/kxrpc\.service`:\n\n```ini\n(.*?)^```$", readme, re.M | re.S)
if not shown:
    problems.append("the README shows no deploy/kxrpc.service")
elif shown.group(1) != read("deploy/kxrpc.service"):
    problems.append("the unit the README shows differs from deploy/kxrpc.service")

for p in problems:
    print(p)
print("README claims: %d problem(s)" % len(problems))
sys.exit(1 if problems else 0)
