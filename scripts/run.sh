#!/usr/bin/env bash
# Builds the project and runs the main program: the kxrpc server on the demo database set when it
# has been built, otherwise the libraries' version lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh" "$root/build/run" >&2
bin="$root/build/run/bin"
if [ -x "$bin/kxrpc" ]; then
  exec "$bin/kxrpc" "$@"
fi
exec "$bin/wexutil_verid"
