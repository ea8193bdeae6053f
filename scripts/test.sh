#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test, then builds again under
# AddressSanitizer + UndefinedBehaviorSanitizer and runs every test a second time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
jobs=$(nproc)

bash "$root/scripts/build.sh" "$root/build/test" -DKX_WERROR=ON
(cd "$root/build/test" && ctest --output-on-failure -j "$jobs" --timeout 300)

bash "$root/scripts/build.sh" "$root/build/asan" -DKX_WERROR=ON -DKX_SANITIZE=ON -DKX_BENCH=OFF
(cd "$root/build/asan" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" --timeout 600)
