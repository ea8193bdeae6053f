#!/usr/bin/env bash
# format.sh check|apply [files...]: runs clang-format-16 with the root .clang-format over the C and
# C++ sources git tracks (or the files named). check changes nothing and fails on the first file
# whose layout differs, naming each; apply rewrites the files in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=${1:-}; shift || true
# The version is pinned: another release lays out some constructs differently and would flap.
clang_format=$(command -v clang-format-16 || true)
if [ -z "$clang_format" ]; then
  echo "format.sh: clang-format-16 is missing (bash scripts/deps.sh test installs it)" >&2
  exit 2
fi
if [ $# -gt 0 ]; then
  files=("$@")
else
  # Every folder follows the one style file at the root; files generated at build time live in the
  # build trees and are never tracked.
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c')
fi
[ ${#files[@]} -gt 0 ] || exit 0
case $mode in
  check) printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$clang_format" --style=file --dry-run -Werror ;;
  apply) printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$clang_format" --style=file -i ;;
  *) echo "usage: $0 check|apply [files...]" >&2; exit 2 ;;
esac
