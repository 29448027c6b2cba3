#!/usr/bin/env bash
# Runs a check of a race up to TRIES times, until a line of its output
# matches PATTERN: a race lost in nearly every run is still missed in some on
# a busy machine, so the test asks that the check notices it, not that every
# run does. A run that ends other than 0 or 1 (a usage error, a crash of the
# checker) fails at once.
#
#   expect_noticed.sh TRIES PATTERN -- COMMAND [ARG]...
set -uo pipefail

tries=$1
pattern=$2
shift 3

for ((try = 1; try <= tries; ++try)); do
  output=$("$@" 2>&1)
  status=$?
  if ((status > 1)); then
    printf 'FAIL: exit status %s\n--- output of %s:\n%s\n' "$status" "$*" "$output"
    exit 1
  fi
  if grep -Eq -- "$pattern" <<<"$output"; then
    echo "ok: noticed on try $try"
    exit 0
  fi
done
printf 'FAIL: no line matches %s in %s tries\n--- output of the last, %s:\n%s\n' "$pattern" \
  "$tries" "$*" "$output"
exit 1
