#!/usr/bin/env bash
# Builds the benchmarks in their own optimised tree (build/bench) and runs every one of them: the
# product and server benchmarks (props, query, workspace, content, growth), then the RPC runtime's load
# driver. Each ratio is printed beside its target and the machine's load when its program began.
# Arguments go to the driver (-seconds S, -rounds R, -worker_threads N).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" bench >&2
bash "$root/scripts/build.sh" "$root/build/bench" -DKX_TESTS=OFF -DKX_BENCH=ON -DCMAKE_BUILD_TYPE=Release >&2
bin=$root/build/bench/bin
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

load() { cut -d' ' -f1 /proc/loadavg; }

# run NAME PROGRAM [ARGS...]: the program's own report to stderr, its figures in $out/NAME.json
# (JSON: the CSV reporter refuses benchmarks with different counters in one program).
declare -A began
run() {
  local name=$1; shift
  began[$name]=$(load)
  echo "== $name (load ${began[$name]})" >&2
  "$@" --benchmark_out="$out/$name.json" --benchmark_out_format=json >&2 || echo "$name failed" >&2
}

# field NAME BENCHMARK KEY: one figure of a benchmark (a counter or real_time, in its unit). The
# reporter writes one key a line.
field() {
  awk -v b="$2" -v k="$3" '
    /^ *"name": / { n = $0; sub(/^ *"name": "/, "", n); sub(/",?$/, "", n) }
    n == b && index($0, "\"" k "\": ") { v = $0; sub(/^[^:]*: */, "", v); sub(/,$/, "", v); print v; exit }' "$out/$1.json" 2>/dev/null
}

# row LABEL VALUE OP TARGET LOAD: one line of the summary; VALUE empty when it was not measured.
rows=()
row() {
  local verdict=-
  if [ -n "$2" ]; then
    verdict=$(awk -v v="$2" -v op="$3" -v t="$4" 'BEGIN { ok = op == "<=" ? v <= t : v >= t; print ok ? "met" : "missed" }')
  fi
  rows+=("$(printf '%-52s %8s   %s %-6s %-7s load %s' "$1" "${2:-n/a}" "$3" "$4" "$verdict" "$5")")
}
ratio() { [ -n "$1" ] && [ -n "$2" ] && awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b }'; }

run props "$bin/props_fetch_bench"
# A walk through the server runs once or twice a repetition and its first run pays for the set's cold
# pages and statements, so each walk is repeated and the rows compare medians.
run query "$bin/query_bench" --benchmark_filter='walk' --benchmark_repetitions=3
run workspace "$bin/workspace_bench" --benchmark_filter='oplog'
run content "$bin/content_bench"
run growth "$bin/growth_bench"
run call "$bin/call_bench"

# What every call pays: a null call's time against a loopback echo's in the same run, and the
# access check that each session call makes (ns, nothing changed).
row "null call, 1 connection: time / loopback echo's" "$(field call NullServer/min_time:1.000/real_time x_echo | xargs -r printf '%.2f')" "<=" 1.2 "${began[call]}"
row "access check of a session call (ns)" "$(field call AccessCheck real_time | xargs -r printf '%.0f')" "<=" 100 "${began[call]}"
row "fetch_props, 20 props of a record / in-process" "$(field props RecordOverOneConnection/real_time x_in_process | xargs -r printf '%.2f')" "<=" 2 "${began[props]}"
row "fetch_props, 20 props of a record type / in-process" "$(field props OverOneConnection/real_time x_in_process | xargs -r printf '%.2f')" "<=" 2 "${began[props]}"
row "query walk through the server / sqlite3 (rows/s)" "$(ratio "$(field query walk_server/real_time_median rows/s)" "$(field query walk_sqlite_median rows/s)")" ">=" 0.5 "${began[query]}"
row "query walk in-process / sqlite3 (rows/s)" "$(ratio "$(field query walk_median rows/s)" "$(field query walk_sqlite_median rows/s)")" ">=" 0.5 "${began[query]}"
# The oplog against the product's own statement reading every column directly; through the
# server too. The step-only read of another statement is shown beside them, with no target.
columns=$(field workspace oplog_read_sqlite_columns real_time)
row "oplog of 10,000 entries / the same sqlite3 read" "$(ratio "$(field workspace oplog_read real_time)" "$columns")" "<=" 2 "${began[workspace]}"
row "oplog of 10,000 through the server / the same read" "$(ratio "$(field workspace oplog_server/real_time real_time)" "$columns")" "<=" 2 "${began[workspace]}"
step=$(ratio "$(field workspace oplog_read real_time)" "$(field workspace oplog_read_sqlite real_time)")
rows+=("$(printf '%-52s %8s   (no target: sqlite3 steps rows and reads no column)' "oplog of 10,000 entries / a step-only sqlite3 read" "${step:-n/a}")")
# Uploads and downloads of 50 MB against the plain TCP copy of the same bytes in the same rounds
# (the program's medians of time ratios), and the server's peak resident set above idle.
up=UploadThroughTheServer/50/iterations:7/manual_time
down=DownloadThroughTheServer/50/iterations:7/manual_time
row "50 MB upload / plain TCP copy" "$(field content "$up" ratio_to_tcp_copy | xargs -r printf '%.2f')" ">=" 0.5 "${began[content]}"
row "50 MB download / plain TCP copy" "$(field content "$down" ratio_to_tcp_copy | xargs -r printf '%.2f')" ">=" 0.5 "${began[content]}"
for b in "$up" "$down"; do
  peak=$(field content "$b" server_peak_above_idle_mb)
  [ -n "$peak" ] && rows+=("$(printf 'server RSS above idle, 50 MB %s: peak %.1f MB (target: a few chunks, <= 16)' \
    "${b%%Through*}" "$peak")")
done

# A record's calls on 100,000 records against 1,000, and on 100,000 with 50,000 attachments against
# none: medians of rounds that visit the three sets in turn. Making a set at 3n records against n.
for b in fetch_props modify create query_by_id full_text_search attachment_commit; do
  row "$b, 100k records / 1k" "$(field growth "$b/iterations:300/manual_time" x_records | xargs -r printf '%.2f')" "<=" 1.5 "${began[growth]}"
  row "$b, 100k records, 50k attachments / none" "$(field growth "$b/iterations:300/manual_time" x_attachments | xargs -r printf '%.2f')" "<=" 1.5 "${began[growth]}"
done
row "making a set of 90,000 records / of 30,000" "$(field growth set_creation/30000/iterations:2/manual_time x_3n | xargs -r printf '%.2f')" "<=" 3.6 "${began[growth]}"

echo "== rpcsvc load driver (load $(load))" >&2
status=0
"$bin/rpcsvc_load_driver" "$@" || status=$?  # 2: a target of its own missed

echo
echo "ratio                                                   value   target         load at start"
printf '%s\n' "${rows[@]}"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
