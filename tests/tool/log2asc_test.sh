#!/usr/bin/env bash
# A trace written with --log opens in can-utils: log2asc converts it.
#   log2asc_test.sh ORUKIV LOG2ASC WORKDIR
set -euo pipefail
orukiv=$1 log2asc=$2 dir=$3
log=$dir/trace.log
asc=$dir/trace.asc
rm -f "$log"  # --log appends
"$orukiv" --log "$log" nmt start 5
cat "$log"
"$log2asc" -I "$log" -O "$asc" sim
cat "$asc"
# Boot-up messages of both nodes as the bus brought them, then the command.
grep -Eq '^ +[0-9]+\.[0-9]{6} 1 +705 +Rx +d 1 00$' "$asc"
grep -Eq '^ +[0-9]+\.[0-9]{6} 1 +70A +Rx +d 1 00$' "$asc"
grep -Eq '^ +[0-9]+\.[0-9]{6} 1 +0 +Rx +d 2 01 05$' "$asc"
[[ $(grep -c ' Rx ' "$asc") -eq $(wc -l <"$log") ]]
echo "log2asc read all $(wc -l <"$log") frames"
