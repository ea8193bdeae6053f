#!/usr/bin/env bash
# unit_check.sh UNIT PROGRAM: deploy/kxrpc.service passes `systemd-analyze verify` without a word
# (ExecStart pointed at PROGRAM, the built server, since verify wants the command to exist) and
# `systemd-analyze security --offline=true` rates it 5.0 or better.
set -euo pipefail
unit=$1 program=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze missing: bash scripts/deps.sh test installs it" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
grep -q '^ExecStart=/opt/kxrpc/bin/kxrpc ' "$unit" || { echo "$unit: no ExecStart=/opt/kxrpc/bin/kxrpc" >&2; exit 1; }
sed "s|^ExecStart=/opt/kxrpc/bin/kxrpc |ExecStart=$program |" "$unit" > "$dir/kxrpc.service"
said=$(cd "$dir" && systemd-analyze verify "$dir/kxrpc.service" 2>&1) || { echo "$said" >&2; exit 1; }
[ -z "$said" ] || { echo "systemd-analyze verify: $said" >&2; exit 1; }
(cd "$dir" && systemd-analyze security --offline=true --threshold=50 "$dir/kxrpc.service") | tail -n 1
