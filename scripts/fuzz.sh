#!/usr/bin/env bash
# fuzz.sh [seconds]: builds the libFuzzer programs in a clang tree (build/fuzz, with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each from its seed corpus for that many
# seconds (default 30): the argument decoders (kxrpc_args_fuzz), then the handlers against a private
# demo set (kxrpc_handler_fuzz). A finding is saved under build/fuzz/findings/ and fails the run;
# replay one with build/fuzz/bin/<program> <file>. A longer run: bash scripts/fuzz.sh 3600.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
bash "$root/scripts/deps.sh" test
tree=$root/build/fuzz
cc=$(command -v clang-16 || command -v clang)
cxx=$(command -v clang++-16 || command -v clang++)
CC=$cc CXX=$cxx bash "$root/scripts/build.sh" "$tree" -DKX_FUZZ=ON -DKX_BENCH=OFF -- kxrpc_args_fuzz kxrpc_handler_fuzz
# Inputs the runs find are kept apart from the seeds in the repository.
mkdir -p "$tree/corpus" "$tree/handler_corpus" "$tree/findings"
run() {
  local program=$1; shift
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$tree/bin/$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$tree/findings/" "$@"
}
run kxrpc_args_fuzz "$tree/corpus" "$root/tests/fuzz/corpus"
# The handlers start from their own seeds and the decoders' too.
run kxrpc_handler_fuzz -dict="$tree/tests/fuzz/handler.dict" \
  "$tree/handler_corpus" "$root/tests/fuzz/handler_corpus" "$root/tests/fuzz/corpus"
