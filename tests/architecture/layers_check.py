#!/usr/bin/env python3
"""layers_check.py <source root>: the server's folders depend as docs/architecture.md draws them.

The order is the doc's line "core -> session, query, change -> ... -> wire": a folder includes
headers of its own and of the folders to its right only, never of one beside it, and its CMake
library links only libraries of the folders to its right. Every folder of the server is in the
line. Prints what differs and exits 1; exits 0 when every claim holds.
"""

import glob
import os
import re
import sys

root = sys.argv[1]
server = os.path.join(root, "server/stp/kxrpc")
with open(os.path.join(root, "docs/architecture.md"), encoding="utf-8") as f:
    doc = f.read()
problems = []

line = re.search(r"^core -> .*$", doc, re.M)
if not line:
    sys.exit("docs/architecture.md draws no order of folders (a line starting 'core -> ')")
rank = {}
for position, group in enumerate(line.group(0).split("->")):
    for folder in group.split(","):
        rank[folder.strip()] = position

folders = sorted(d for d in os.listdir(server) if os.path.isfile(os.path.join(server, d, "CMakeLists.txt")))
for folder in folders:
    if folder not in rank:
        problems.append("%s/ is not in the order docs/architecture.md draws" % folder)
for folder in sorted(set(rank) - set(folders)):
    problems.append("docs/architecture.md draws %s/, which the server does not have" % folder)


def allowed(source, used):
    return used == source or (used in rank and source in rank and rank[used] > rank[source])


for folder in folders:
    paths = sorted(glob.glob(os.path.join(server, folder, "*.cpp")) + glob.glob(os.path.join(server, folder, "*.h")))
    if not paths:
        problems.append("%s/ holds no source" % folder)
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for used in re.findall(r'^\s*#\s*include\s+"(\w+)/', f.read(), re.M):
                if used in folders and not allowed(folder, used):
                    problems.append("%s includes a header of %s/" % (os.path.relpath(path, root), used))
    with open(os.path.join(server, folder, "CMakeLists.txt"), encoding="utf-8") as f:
        for links in re.findall(r"target_link_libraries\(kxrpc_%s\b([^)]*)\)" % folder, f.read()):
            for used in re.findall(r"\bkxrpc_(\w+)", links):
                if used in folders and not allowed(folder, used):
                    problems.append("kxrpc_%s links kxrpc_%s" % (folder, used))

for p in problems:
    print(p)
print("architecture layers: %d problem(s)" % len(problems))
sys.exit(1 if problems else 0)
