#!/usr/bin/env bash
# Builds the server and the ARM agent it may load, nothing else, and runs the server on the demo
# database set. Only the packages of the build are installed; what goes before the port line goes
# to standard error.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" run >&2
bash "$root/scripts/build.sh" "$root/build/run" -DKX_TESTS=OFF -DKX_BENCH=OFF -- kxrpc arm4 >&2
exec "$root/build/run/bin/kxrpc" "$@"
