#!/usr/bin/env bash
# format.sh check|apply [files...]: runs clang-format-16 with the root .clang-format over the C and
# C++ sources of the tree (or the files named). check changes nothing and fails on the first file
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
  # Every folder follows the one style file at the root. The files are found on disk rather than
  # asked of git, so the check means the same in a tree without .git or on a machine without git;
  # build trees (files generated at build time) and version-control folders are left out.
  mapfile -t -d '' files < <(find . -mindepth 1 \( -name '.*' -o -name 'build*' -o -name var \) -prune -o -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | sort -z)
fi
# An empty list would pass anything: a tree with no sources is a mistake, not a pass.
if [ ${#files[@]} -eq 0 ]; then
  echo "format.sh: no C or C++ source found below $root" >&2
  exit 2
fi
case $mode in
  check) printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$clang_format" --style=file --dry-run -Werror ;;
  apply) printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$clang_format" --style=file -i ;;
  *) echo "usage: $0 check|apply [files...]" >&2; exit 2 ;;
esac
