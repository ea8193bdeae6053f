#!/usr/bin/env bash
# coverage.sh: builds the tree with gcov instrumentation in build/coverage, runs every test there
# and prints line and branch coverage per folder (gcovr). The per-file report is left in
# build/coverage/coverage.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" coverage
dir=$root/build/coverage
bash "$root/scripts/build.sh" "$dir" -DKX_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic -fno-inline" \
  "-DCMAKE_C_FLAGS=--coverage -fprofile-update=atomic" \
  "-DCMAKE_EXE_LINKER_FLAGS=--coverage" "-DCMAKE_SHARED_LINKER_FLAGS=--coverage"
find "$dir" -name '*.gcda' -delete
(cd "$dir" && ctest -j "$(nproc)" --timeout 600 -E '_NOT_BUILT$' >"$dir/ctest.log" 2>&1) ||
  echo "some tests failed under coverage (see $dir/ctest.log); coverage is still reported"
# Only the project's own sources count; tests, benchmarks and generated files do not.
gcovr -r "$root" --object-directory "$dir" -j "$(nproc)" --exclude-unreachable-branches --gcov-ignore-parse-errors \
  --exclude-throw-branches -f "$root/lib/" -f "$root/server/" -f "$root/platform/" \
  --json-summary "$dir/summary.json" --txt "$dir/coverage.txt" >/dev/null 2>"$dir/gcovr.log"
python3 - "$dir/summary.json" <<'PY'
import json, sys
from collections import defaultdict
totals = defaultdict(lambda: [0, 0, 0, 0])
for f in json.load(open(sys.argv[1]))["files"]:
    parts = f["filename"].split("/")
    # lib/xml, platform/rpcsvc, server/stp/kxrpc/query ...: the folder that holds one concern
    depth = 4 if parts[0] == "server" else (3 if parts[:2] == ["platform", "win"] else 2)
    t = totals["/".join(parts[:depth])]
    t[0] += f["line_covered"]; t[1] += f["line_total"]; t[2] += f["branch_covered"]; t[3] += f["branch_total"]
pct = lambda a, b: f"{100.0 * a / b:5.1f}%" if b else "    -"
print(f"{'folder':32} {'lines':>16} {'branches':>16}")
for name in sorted(totals):
    lc, lt, bc, bt = totals[name]
    print(f"{name:32} {pct(lc, lt)} {lc:>5}/{lt:<5} {pct(bc, bt)} {bc:>5}/{bt:<5}")
lc, lt, bc, bt = (sum(t[i] for t in totals.values()) for i in range(4))
print(f"{'all':32} {pct(lc, lt)} {lc:>5}/{lt:<5} {pct(bc, bt)} {bc:>5}/{bt:<5}")
PY
