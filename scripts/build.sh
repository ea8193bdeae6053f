#!/usr/bin/env bash
# build.sh <build-dir> [cmake options...] [-- targets...]: configure and build with Ninja; with
# targets, builds only those. Compiles through ccache when it is installed, with a cache shared by
# every clone on the machine. KX_JOBS caps the parallel compilers (default: the cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
options=() targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = -- ]; then shift; targets=("$@"); break; fi
  options+=("$1"); shift
done
if command -v ccache >/dev/null; then
  # Paths below the clone are hashed relative to it and the working directory is left out, so a
  # fresh clone in another folder hits the objects of earlier runs. CCACHE_DIR may point elsewhere.
  export CCACHE_DIR=${CCACHE_DIR:-${HOME:-/root}/.cache/ccache}
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
  options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build "$dir" -j "${KX_JOBS:-$(nproc)}" --target "${targets[@]}"
else
  cmake --build "$dir" -j "${KX_JOBS:-$(nproc)}"
fi
