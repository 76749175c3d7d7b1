#!/usr/bin/env bash
# The README's run command from a Linux shell: a line piped into scripts/run
# gives the whole dialogue and status 0.
#   run_script_test.sh <source tree>
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Files, not this script's own streams: a Wine service that outlives the run
# must not hold the test runner's pipe open. The inner limit stays below the
# test's own so that a hang is reported with what was written.
status=0
printf '42\n' | timeout -k 10 900 "$root/scripts/run" >"$work/out" 2>"$work/err" ||
  status=$?
printf 'Guess the numberl!\nPlease input your guess.\nYou guessed: 42\n\n' >"$work/expected"

failed=0
if [ "$status" -ne 0 ]; then
  echo "scripts/run ended with status $status (expected 0)"
  failed=1
fi
if ! cmp -s "$work/expected" "$work/out"; then
  echo "standard output differs from the dialogue:"
  od -c "$work/out" | head -20
  failed=1
fi
if [ "$failed" -ne 0 ]; then
  echo "standard error:"
  head -c 4000 "$work/err"
  exit 1
fi
echo "scripts/run: dialogue and status 0"
