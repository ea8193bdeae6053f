#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
pkgs=(g++ cmake ninja-build pkg-config libicu-dev libxerces-c-dev libtirpc-dev libsqlite3-dev
      libpng-dev libjpeg-dev libcairo2-dev liblua5.4-dev libsodium-dev uuid-dev libgtest-dev libgmock-dev libbenchmark-dev ccache
      rpcbind rpcsvc-proto libxml2-utils iproute2 clang-16 libclang-rt-16-dev)
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
