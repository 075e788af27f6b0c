#!/usr/bin/env bash
# The slcan adapter shared and lost: a second tool on the line the first one
# holds is refused (exit status 3) while the first goes on; when the adapter
# (serve-slcan) goes away, `monitor` ends with exit status 3.
#   slcan_adapter_test.sh ORUKIV WORKDIR
set -euo pipefail
orukiv=$1 dir=$2
out=$dir/adapter-serve.out mon=$dir/adapter-monitor.out
: >"$out"
"$orukiv" serve-slcan 60 >"$out" &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s $out ]] && break; sleep 0.1; done
pty=$(head -n 1 "$out")
[[ -c $pty ]] || { echo "no pseudo-terminal from serve-slcan: '$pty'"; exit 1; }

: >"$mon"
"$orukiv" --bus "slcan:$pty" monitor 30 >"$mon" 2>&1 &
monitor=$!
for _ in $(seq 100); do grep -q HEARTBEAT "$mon" && break; sleep 0.1; done
status=0
"$orukiv" --bus "slcan:$pty" nmt stop 5 2>"$dir/adapter-second.err" || status=$?
cat "$dir/adapter-second.err"
[[ $status -eq 3 ]] || { echo "second tool: exit status $status, expected 3"; exit 1; }
grep -q 'in use' "$dir/adapter-second.err"
# Nothing of the second tool reached the network: node 5 is not stopped.
sleep 1.5
if grep -q 'node 5 stopped' "$mon"; then echo "the second tool's command got through"; exit 1; fi

kill "$server"
wait "$server" 2>/dev/null || true
status=0
wait "$monitor" || status=$?
cat "$mon"
[[ $status -eq 3 ]] || { echo "monitor: exit status $status, expected 3"; exit 1; }
grep -q 'lost' "$mon"
