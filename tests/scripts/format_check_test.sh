#!/usr/bin/env bash
# format_check_test.sh ROOT: scripts/format.sh check, copied into a tree without .git and run with
# no git on the PATH, passes laid-out sources, fails on one misformatted file (naming it) and fails
# on a tree with no source at all.
set -euo pipefail
root=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/tree/scripts" "$dir/tree/lib" "$dir/tree/build/x" "$dir/bin"
cp "$root/scripts/format.sh" "$dir/tree/scripts/"
cp "$root/.clang-format" "$dir/tree/"
# A PATH with the formatter and the basic tools only, and a git that fails loudly if consulted.
for t in bash env find sort xargs nproc dirname cat; do ln -s "$(command -v "$t")" "$dir/bin/$t"; done
ln -s "$(command -v clang-format-16)" "$dir/bin/clang-format-16"
printf '#!/bin/sh\necho "git was called" >&2\nexit 1\n' > "$dir/bin/git" && chmod +x "$dir/bin/git"
check() { PATH="$dir/bin" bash "$dir/tree/scripts/format.sh" check >"$dir/out" 2>&1; }
fail() { echo "FAIL: $*"; cat "$dir/out"; exit 1; }

if check; then fail "a tree with no source passed"; fi
grep -q 'no C or C++ source' "$dir/out" || fail "no reason given for an empty tree"

printf 'int f(int a) { return a + 1; }\n' > "$dir/tree/lib/good.cpp"
# Build trees hold generated files that are never checked.
printf 'int   g( ) {return 0;}\n' > "$dir/tree/build/x/gen.cpp"
check || fail "laid-out sources failed"
if grep -q 'git was called' "$dir/out"; then fail "git was consulted"; fi

printf 'int   h( int a ){\nreturn a;}\n' > "$dir/tree/lib/bad.cpp"
if check; then fail "a misformatted file passed"; fi
grep -q 'bad.cpp' "$dir/out" || fail "the misformatted file is not named"
if grep -q 'good.cpp' "$dir/out"; then fail "a laid-out file was named"; fi
