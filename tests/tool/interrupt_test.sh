#!/usr/bin/env bash
# Ctrl-C (SIGINT) or SIGTERM during `move` on the simulated network: the
# drive is halted (controlword 0x010F in the trace), the last position is
# reported, and the exit status is 1.
#   interrupt_test.sh ORUKIV WORKDIR
set -euo pipefail
orukiv=$1 dir=$2
for signal in INT TERM; do
  out=$dir/interrupt-$signal.out
  : >"$out"
  "$orukiv" --trace move 5 3000000 --power-on >"$out" 2>&1 &
  tool=$!
  # Interrupted once the drive is under way.
  for _ in $(seq 200); do grep -q 'position [1-9]' "$out" && break; sleep 0.05; done
  kill -s "$signal" "$tool"
  status=0
  wait "$tool" || status=$?
  cat "$out"
  [[ $status -eq 1 ]] || { echo "SIG$signal: exit status $status, expected 1"; exit 1; }
  grep -q 'sim 605#2B4060000F010000' "$out" || { echo "SIG$signal: no halt sent"; exit 1; }
  grep -Eq 'interrupted .*halted at [0-9]+' "$out" || { echo "SIG$signal: no report"; exit 1; }
done
