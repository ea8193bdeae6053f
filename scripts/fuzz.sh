#!/usr/bin/env bash
# fuzz.sh [seconds]: builds the argument decoders' libFuzzer program in a clang tree (build/fuzz,
# with AddressSanitizer and UndefinedBehaviorSanitizer) and runs it from the seed corpus for that
# many seconds (default 30). A finding is saved under build/fuzz/findings/ and fails the run;
# replay one with build/fuzz/bin/kxrpc_args_fuzz <file>. A longer run: bash scripts/fuzz.sh 3600.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
tree=$root/build/fuzz
cc=$(command -v clang-16 || command -v clang)
cxx=$(command -v clang++-16 || command -v clang++)
CC=$cc CXX=$cxx bash "$root/scripts/build.sh" "$tree" -DKX_FUZZ=ON -DKX_BENCH=OFF -- kxrpc_args_fuzz
# Inputs the runs find are kept apart from the seeds in the repository.
mkdir -p "$tree/corpus" "$tree/findings"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$tree/bin/kxrpc_args_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$tree/findings/" "$tree/corpus" "$root/tests/fuzz/corpus"
