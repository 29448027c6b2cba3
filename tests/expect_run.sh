#!/usr/bin/env bash
# Runs a command and checks its exit status and the lines its output must
# contain or, for a pattern that starts with !, must not; never whole outputs.
#
#   expect_run.sh STATUS [PATTERN]... -- COMMAND [ARG]...
set -uo pipefail

want=$1
shift
patterns=()
while (($#)) && [[ $1 != -- ]]; do
  patterns+=("$1")
  shift
done
shift

output=$("$@" 2>&1)
status=$?
fail() {
  printf 'FAIL: %s\n--- output of %s:\n%s\n' "$1" "$*" "$output"
  exit 1
}
[[ $status == "$want" ]] || fail "exit status $status, expected $want"
for pattern in "${patterns[@]}"; do
  if [[ $pattern == '!'* ]]; then
    ! grep -Eq -- "${pattern:1}" <<<"$output" || fail "a line matches ${pattern:1}"
  else
    grep -Eq -- "$pattern" <<<"$output" || fail "no line matches $pattern"
  fi
done
echo "ok: status $status"
