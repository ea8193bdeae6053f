#!/usr/bin/env bash
# example_client_test.sh <kxrpc> <python3> <client.py> <webday.py> <protocol.md>: runs the example
# clients against the real server on a private demo set and checks what they say (webday.py sends
# the examples of protocol.md as they stand); the server is stopped by SIGTERM and must end with 0
# and nothing on its standard error.
set -uo pipefail
kxrpc=$1 python=$2 client=$3 webday=$4 guide=$5
# A tree that builds only some targets (the TSan tree) skips this test.
[ -x "$kxrpc" ] || { echo "$kxrpc is not built"; exit 77; }
dir=$(mktemp -d "${TMPDIR:-/tmp}/kxrpc_example_XXXXXX")
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; for f in server.err client.out client.err; do [ -s "$dir/$f" ] && { echo "--- $f" >&2; cat "$dir/$f" >&2; }; done; exit 1; }

cd "$dir" || exit 1
# The demo set is made at its first logon and hashes every user's password: at the least cost, as
# in the other tests, or the first call can outlast the clients' 30 s wait on a loaded machine.
KX_PASSWORD_HASH_COST=min KX_PRODUCT_DATA="$dir/data" "$kxrpc" >server.out 2>server.err &
pid=$!
port=
for _ in $(seq 150); do
  port=$(sed -n 's/^port=\([0-9]*\);pid=[0-9]*;$/\1/p' server.out)
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the server ended before its port line"
  sleep 0.1
done
[ -n "$port" ] || fail "no port line"

# -B: no __pycache__ is left beside the example.
"$python" -B "$client" -port "$port" >client.out 2>client.err
status=$?
[ "$status" -eq 0 ] || fail "the client ended with $status"
[ -s client.err ] && fail "the client wrote on standard error"
for line in "logged on as alice to KXDEMO/ISSUE" \
            "record ISSUE00000001: Headline='Crash when saving an empty record' State='Submitted' editable=False" \
            "query: 21 rows, columns id, Headline" "page 1: 4 rows" "page 6: 1 rows" "  21: ISSUE00000031 | Related to the crash on save" \
            "changed in Defect/ISSUE00000001 (" "delivered: " \
            "record ISSUE00000001: Headline='Changed by examples/client.py'" "logged off"; do
  grep -qF -- "$line" client.out || fail "the client did not say: $line"
done

# A refused login is the client's failure, said on its standard error.
"$python" "$client" -port "$port" -password wrong >client.out 2>client.err && fail "a wrong password was accepted"
grep -qF "client.py: reason 47: " client.err || fail "the refused login was not reported"

# A web tier's day from the guide's examples; it runs after client.py, whose change it does not read.
"$python" "$webday" -port "$port" -doc "$guide" >client.out 2>client.err
status=$?
[ "$status" -eq 0 ] || fail "the guide's examples ended with $status"
[ -s client.err ] && fail "the guide's examples wrote on standard error"
grep -qxF "the day is done" client.out || fail "the guide's examples did not finish"

kill -TERM "$pid"
wait "$pid"
status=$?
pid=
[ "$status" -eq 0 ] || fail "the server ended with $status"
[ -s server.err ] && fail "the server wrote on standard error"
echo "example client: passed"
