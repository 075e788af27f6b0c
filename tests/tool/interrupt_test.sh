#!/usr/bin/env bash
# Ctrl-C (SIGINT) or SIGTERM while a command moves the drive on the simulated
# network: the drive is halted (controlword 0x010F in the trace), the last
# position is reported, and the exit status is 1. `cyclic` also stops its
# SYNC producer: no SYNC (0x080) follows the halt.
#   interrupt_test.sh ORUKIV WORKDIR
set -euo pipefail
orukiv=$1 dir=$2
# signal, the line that says the drive is under way, the command
cases=(
  "INT|position [1-9]|move 5 3000000 --power-on"
  "TERM|position [1-9]|move 5 3000000 --power-on"
  "INT|sim 205#|cyclic 5 --period 1000 --seconds 30"
)
for row in "${cases[@]}"; do
  IFS='|' read -r signal underway command <<<"$row"
  out=$dir/interrupt-$signal-${command%% *}.out
  : >"$out"
  # shellcheck disable=SC2086
  "$orukiv" --trace $command >"$out" 2>&1 &
  tool=$!
  for _ in $(seq 200); do grep -q "$underway" "$out" && break; sleep 0.05; done
  sleep 0.2
  kill -s "$signal" "$tool"
  status=0
  wait "$tool" || status=$?
  tail -n 5 "$out"
  what="$command, SIG$signal"
  [[ $status -eq 1 ]] || { echo "$what: exit status $status, expected 1"; exit 1; }
  grep -q 'sim 605#2B4060000F010000' "$out" || { echo "$what: no halt sent"; exit 1; }
  grep -Eq 'interrupted.*halted at -?[0-9]+' "$out" || { echo "$what: no report"; exit 1; }
  if sed -n '/sim 605#2B4060000F010000/,$p' "$out" | grep -q 'sim 080#'; then
    echo "$what: SYNC sent after the halt"
    exit 1
  fi
done
