#!/usr/bin/env bash
# Builds the benchmarks in their own optimised tree (build/bench) and runs the RPC runtime's load
# driver; arguments go to the driver (-seconds S, -rounds R, -worker_threads N).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" bench >&2
bash "$root/scripts/build.sh" "$root/build/bench" -DKX_TESTS=OFF -DKX_BENCH=ON -DCMAKE_BUILD_TYPE=Release >&2
exec "$root/build/bench/bin/rpcsvc_load_driver" "$@"
