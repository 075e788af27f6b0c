#!/usr/bin/env bash
# The tool on an slcan bus: `serve-slcan` puts the simulated network behind a
# pseudo-terminal; a second orukiv reads and writes objects through it.
#   slcan_cli_test.sh ORUKIV WORKDIR
set -euo pipefail
orukiv=$1 dir=$2
out=$dir/serve-slcan.out
# Emptied first: the wait below must not take the path of an earlier run.
: >"$out"
"$orukiv" serve-slcan 60 >"$out" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s $out ]] && break; sleep 0.1; done
pty=$(head -n 1 "$out")
[[ -c $pty ]] || { echo "no pseudo-terminal from serve-slcan: '$pty'"; exit 1; }

"$orukiv" --bus "slcan:$pty@250000" read 5 0x1008 0 | tee "$dir/read.out"
grep -q '= "orukiv sim servo drive"' "$dir/read.out"
"$orukiv" --bus "slcan:$pty" --trace write 5 0x6081 0 2500 --type u32 | tee "$dir/write.out"
grep -q '<- 2500 (0x000009C4) \[u32\]: done' "$dir/write.out"
grep -Eq '^\([0-9]+\.[0-9]{6}\) slcan 605#23816000C4090000' "$dir/write.out"
"$orukiv" --bus "slcan:$pty" read 5 0x6081 0 | tee "$dir/read2.out"
grep -q '= 2500 (0x000009C4)' "$dir/read2.out"
