#!/usr/bin/env bash
# Checks that every source keeps the tree's layout (scripts/format.sh), then builds everything with
# warnings as errors and runs every test; builds again under AddressSanitizer +
# UndefinedBehaviorSanitizer and runs every test a second time; then runs the RPC runtime's and the
# dispatcher's tests under ThreadSanitizer; last, fuzzes the argument decoders and the handlers for
# 30 seconds each (scripts/fuzz.sh). Benchmarks are not built here (scripts/bench.sh builds and
# runs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" test
# Layout first: a file that differs from .clang-format fails here, before the long builds.
bash "$root/scripts/format.sh" check
jobs=$(nproc)
build() { bash "$root/scripts/build.sh" "$@"; }
# Python run by the tests writes no __pycache__ into the tree.
export PYTHONDONTWRITEBYTECODE=1
# Targets that are not built leave a placeholder test named <target>_NOT_BUILT. Each run gets an
# empty temporary folder of its own, and fails if the tests left anything in it; the folder goes
# whether the tests pass, fail or are interrupted.
run_tmp=
trap '[ -z "$run_tmp" ] || rm -rf "$run_tmp"' EXIT
run_tests() {
  local dir=$1 left status=0
  shift
  run_tmp=$(mktemp -d)
  (cd "$dir" && env -u TMP -u TEMP TMPDIR="$run_tmp" ctest --output-on-failure -j "$jobs" -E '_NOT_BUILT$' "$@") ||
    status=$?
  left=$(find "$run_tmp" -mindepth 1 -maxdepth 2 | head -n 20)
  rm -rf "$run_tmp"
  run_tmp=
  if [ -n "$left" ]; then
    echo "the tests of $dir left files in their temporary folder:" >&2
    echo "$left" >&2
    return 1
  fi
  return "$status"
}

build "$root/build/test" -DKX_WERROR=ON -DKX_BENCH=OFF
run_tests "$root/build/test" --timeout 300

build "$root/build/asan" -DKX_WERROR=ON -DKX_SANITIZE=ON -DKX_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$root/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests "$root/build/asan" --timeout 600

# The runtime's correctness rests on hand-offs between threads; only its tests, the dispatcher's
# and those of the product store's checkpointer are built in this tree.
tsan_targets=(rpcsvc_basic_test rpcsvc_hostile_test rpcsvc_run_test rpcsvc_record_reader_test rpcsvc_conn_table_test
              kxrpc_core_dispatch_test kxrpc_args_fuzz_replay kxrpc_handler_fuzz_replay kxrpc_session_race_test
              test_product_wal)
build "$root/build/tsan" -DKX_WERROR=ON -DKX_TSAN=ON -DKX_BENCH=OFF -- "${tsan_targets[@]}"
# The tests of the whole program (label server_program) need what this tree does not build.
TSAN_OPTIONS="second_deadlock_stack=1:history_size=4:suppressions=$root/tests/tsan.supp" \
  run_tests "$root/build/tsan" --timeout 600 -LE server_program

# The argument decoders and the handlers under libFuzzer, 30 s each; any finding fails CI.
bash "$root/scripts/fuzz.sh" 30
