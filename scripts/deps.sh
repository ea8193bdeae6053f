#!/usr/bin/env bash
# deps.sh run|test|bench|coverage: installs the Debian packages that are missing for building and
# running the server (run), for that and the tests, fuzzers and CI tools (test), for that and the
# benchmarks (bench), or for the tests and the coverage report (coverage).
set -euo pipefail
# Building and running the server and the ARM agent.
run=(g++ cmake ninja-build pkg-config ccache libicu-dev libxerces-c-dev libtirpc-dev libsqlite3-dev
     libpng-dev libjpeg-dev libcairo2-dev liblua5.4-dev uuid-dev libsodium-dev)
# The tests (GoogleTest, rpcinfo, xmllint, the example client, systemd-analyze for the unit), the
# fuzzers (clang and its libFuzzer runtime), the format check (scripts/format.sh).
test=(libgtest-dev libgmock-dev rpcbind libxml2-utils iproute2 python3 systemd clang-16 libclang-rt-16-dev
      clang-format-16)
# The benchmarks (Google Benchmark; rpcgen for the reference svc_run server).
bench=(libbenchmark-dev rpcsvc-proto)
case ${1:-} in
  run) pkgs=("${run[@]}") ;;
  test) pkgs=("${run[@]}" "${test[@]}") ;;
  bench) pkgs=("${run[@]}" "${bench[@]}") ;;
  coverage) pkgs=("${run[@]}" "${test[@]}" gcovr) ;;
  *) echo "usage: $0 run|test|bench|coverage" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
