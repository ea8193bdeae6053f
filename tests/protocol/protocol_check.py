#!/usr/bin/env python3
"""protocol_check.py <source root> [KXRPC]: docs/protocol.md's numbers against the code.

- The procedure table lists every row of the procedure tables (`*/procedures.cpp`), number and name.
- Target type codes are the `TT_*` codes; value tags are the server's tags; the reference table's
  dbid counts are those the fetch reply writes; change-batch kinds are the `DELIVER_*` kinds;
  the reason table lists every reason the code names (`Reason`, `REASON_*`), and no other.
- Each `name` followed by a number, and each row of the table whose first column is "constant",
  gives the value the code defines.
- With the program: the generated tables are what scripts/protocol_tables.py makes of it.
Prints what differs and exits 1; exits 0 when every claim holds.
"""

import glob
import os
import re
import subprocess
import sys

root = sys.argv[1]
doc_path = os.path.join(root, "docs/protocol.md")
with open(doc_path, encoding="utf-8") as f:
    doc = f.read()
problems = []


def sources(*patterns):
    text = ""
    for pattern in patterns:
        for path in sorted(glob.glob(os.path.join(root, pattern), recursive=True)):
            with open(path, encoding="utf-8") as f:
                text += f.read() + "\n"
    return text


def table(first_header):
    """The rows (lists of cells) of the doc's table whose header starts with `first_header`."""
    m = re.search(r"^\| *%s *\|.*\n\|[-| ]+\|\n((?:\|.*\n)+)" % re.escape(first_header), doc, re.M)
    if not m:
        problems.append("protocol.md has no table headed '%s'" % first_header)
        return []
    return [[c.strip() for c in row.strip().strip("|").split("|")] for row in m.group(1).splitlines()]


def numbers(cell):
    return [int(n) for n in re.findall(r"\b\d+\b", cell)]


code = sources("lib/**/*.h", "lib/**/*.cpp", "platform/**/*.h", "platform/**/*.cpp", "server/**/*.h",
               "server/**/*.cpp")
definitions = {}
for name, expr in re.findall(r"^\s*#define\s+([A-Za-z_]\w*)\s+\(?([^/\n]+?)\)?\s*(?:/[/*].*)?$", code, re.M):
    definitions.setdefault(name, expr)
for name, expr in re.findall(r"\bconstexpr\s+[\w:\s]+?\b([A-Za-z_]\w*)\s*=\s*([^;{]+);", code):
    definitions.setdefault(name, expr)
for name, value in re.findall(r"^\s*([A-Za-z_]\w*)\s*=\s*(-?\d+),", code, re.M):  # enumerators
    definitions.setdefault(name, value)


def value_of(name):
    expr = re.sub(r"\b(\d+)(?:u|ull|ul|l|ll)\b", r"\1", definitions[name], flags=re.I)
    expr = re.sub(r"\bstd::u?int\d+_t(?=\()", "", expr)  # a cast to a fixed-width integer
    if not re.fullmatch(r"[\d\s()+\-*/<>]+", expr):
        raise ValueError(definitions[name])
    return eval(expr.replace("/", "//"), {"__builtins__": {}})  # digits and operators only


# ---- procedures

rows = dict((int(n), name) for n, name in re.findall(r'\b(\d+),\s*L"(\w+)"', sources("server/**/procedures.cpp")))
listed = {}
for cells in table("#"):
    if cells[0].isdigit():
        listed[int(cells[0])] = cells[1]
if listed != rows:
    for n in sorted(set(rows) | set(listed)):
        if rows.get(n) != listed.get(n):
            problems.append("procedure %d: the code serves %s, protocol.md says %s" % (n, rows.get(n), listed.get(n)))
m = re.search(r"(\d+) procedures numbered 0 to (\d+)", doc)
if not m or int(m.group(1)) != len(rows) or int(m.group(2)) != max(rows):
    problems.append("the count of procedures in the opening paragraph is not %d (0 to %d)" % (len(rows), max(rows)))

# ---- codes and tags


def compare(what, said, actual):
    for n in sorted(said - actual):
        problems.append("%s %d is in protocol.md but not in the code" % (what, n))
    for n in sorted(actual - said):
        problems.append("%s %d is in the code but not in protocol.md" % (what, n))


target_codes = {int(v) for n, v in re.findall(r"\b(TT_\w+) = (\d+)", code) if "UNUSED" not in n and v != "0"}
compare("target type", {n for cells in table("code") if cells[0][:1].isdigit() for n in numbers(cells[0])},
        target_codes)

value_tags = {int(v) for v in re.findall(r"\b(?:STPRPC|PV)_\w+ = (1000\d\d)", code)}
doc_tags = {n for cells in table("tag") for n in numbers(cells[0]) if n >= 100000}
for n in sorted(doc_tags - value_tags):
    problems.append("value tag %d is in protocol.md but not in the code" % n)

fetch = sources("server/**/fetchiter.cpp")
switch = re.search(r"unsigned reference_segments\(int type\) \{(.*?)\n\}", fetch, re.S).group(1)
segments = {}
for cases, count in re.findall(r"((?:\s*case \d+:)+)\s*return (\d+);", switch):
    for case in re.findall(r"\d+", cases):
        segments[int(case)] = int(count)
for cells in table("reply code"):
    m = re.match(r"(\d+) unsigned", cells[2])
    if m and segments.get(int(cells[0])) != int(m.group(1)):
        problems.append("reference %s: the fetch reply writes %s dbids, protocol.md says %s"
                        % (cells[0], segments.get(int(cells[0])), m.group(1)))

kinds = {int(v) for v in re.findall(r"\bDELIVER_\w+ = (\d+)", code)}
compare("change kind", {n for cells in table("kind | operation") for n in numbers(cells[0])}, kinds)

reasons = {int(v) for v in re.findall(r"^\s*\w+ = (\d+),", re.search(
    r"enum class Reason[^{]*\{(.*?)\};", code, re.S).group(1), re.M)}
reasons |= {int(v) for v in re.findall(r"\bREASON_\w+ = (\d+)", code)}
compare("reason", {n for cells in table("reason") for n in numbers(cells[0])}, reasons)

# ---- named values

units = {"": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "ms": 1, "s": 1000}


def check_named(name, number, unit, where):
    key = name.split("::")[-1]
    if key not in definitions:
        problems.append("%s names %s, which the code does not define" % (where, name))
        return
    try:
        actual = value_of(key)
    except ValueError as e:
        problems.append("cannot evaluate %s: %s" % (name, e))
        return
    said = number * units[unit]
    if unit in ("ms", "s") and not key.endswith("_MS"):
        said = number
    if actual != said:
        problems.append("%s is %d in the code, protocol.md says %d %s" % (name, actual, number, unit))


for cells in table("constant"):
    m = re.fullmatch(r"`([\w:]+)`", cells[0])
    v = re.match(r"\s*(\d+)\s*(KiB|MiB|GiB|ms|s)?\b", cells[1])
    if m and v:
        check_named(m.group(1), int(v.group(1)), v.group(2) or "", "the limits table")
procedure_numbers = {name: n for n, name in rows.items()}
for name, number, unit in re.findall(r"`([A-Za-z]\w*_\w+)` \(?(\d+)\s*(KiB|MiB|GiB|ms|s)?\b", doc):
    if name in procedure_numbers:
        if procedure_numbers[name] != int(number):
            problems.append("%s is procedure %d, protocol.md says %s" % (name, procedure_numbers[name], number))
    else:
        check_named(name, int(number), unit, "the text")

# ---- the generated tables

if len(sys.argv) > 2:
    status = subprocess.run([sys.executable, os.path.join(root, "scripts/protocol_tables.py"), sys.argv[2],
                             "--check", doc_path], capture_output=True, text=True)
    if status.returncode != 0:
        problems.append((status.stdout + status.stderr).strip())

for p in problems:
    print(p)
print("protocol.md claims: %d problem(s)" % len(problems))
sys.exit(1 if problems else 0)
