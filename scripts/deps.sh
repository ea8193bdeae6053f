#!/usr/bin/env bash
# deps.sh run|test|bench|coverage: installs the Debian packages that are missing for building and
# running the server (run), for that and the tests, fuzzers and CI tools (test), for that and the
# benchmarks (bench), or for the tests and the coverage report (coverage).
set -euo pipefail
# Building and running the server and the ARM agent, and python3 for the README's example client.
run=(g++ cmake ninja-build pkg-config ccache libicu-dev libxerces-c-dev libtirpc-dev libsqlite3-dev
     libpng-dev libjpeg-dev libcairo2-dev liblua5.4-dev uuid-dev libsodium-dev python3)
# The tests (GoogleTest, rpcinfo, xmllint, systemd-analyze for the unit), the fuzzers (clang and its
# libFuzzer runtime), the format check (scripts/format.sh).
test=(libgtest-dev libgmock-dev rpcbind libxml2-utils iproute2 systemd clang-16 libclang-rt-16-dev
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
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Nothing installed here may listen on the network. Packages start their services as they install
# (rpcbind, which brings rpcinfo, would serve port 111 on every address), unless policy-rc.d says no:
# while this runs it does, where the machine has no policy of its own.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# scripts/deps.sh: no service starts while it installs packages.\nexit 101\n' >"$policy"
  chmod 0755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# rpcinfo is all the tests want of rpcbind; they ask the server's port directly. The port mapper
# stays off, now and at every boot: its systemd units masked (systemctl --root works whether or not
# systemd runs), its init script's boot links disabled, and a daemon started anyway stopped.
if [[ " ${missing[*]} " == *" rpcbind "* ]]; then
  systemctl --root=/ --quiet disable rpcbind.socket rpcbind.service 2>/dev/null || true
  systemctl --root=/ --quiet mask rpcbind.socket rpcbind.service
  if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl stop rpcbind.socket rpcbind.service
  fi
  if command -v update-rc.d >/dev/null; then update-rc.d rpcbind disable >/dev/null 2>&1 || true; fi
  if pidof rpcbind >/dev/null; then /etc/init.d/rpcbind stop >/dev/null 2>&1 || true; fi
  if pidof rpcbind >/dev/null; then
    echo "deps.sh: rpcbind still runs and listens on port 111; stop it" >&2
    exit 1
  fi
  echo "rpcbind: rpcinfo installed; the port mapper disabled and masked (nothing listens on port 111)"
fi
