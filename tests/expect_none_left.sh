#!/usr/bin/env bash
# Runs a command with TAMRIX_CORPUS_PIDS naming a fresh file, to which the
# processes a plug-in starts add their ids, and fails if any of them still runs
# once the command has ended. A process killed but not yet reaped by whoever
# inherited it (a zombie) is not running; one still dying gets a moment.
#
#   expect_none_left.sh PID_FILE -- COMMAND [ARG]...
set -uo pipefail

pids=$1
shift 2
rm -f "$pids"
output=$(TAMRIX_CORPUS_PIDS=$pids "$@" 2>&1)
status=$?
fail() {
  printf 'FAIL: %s\n--- output of %s:\n%s\n' "$1" "$*" "$output"
  exit 1
}
[[ -s $pids ]] || fail "no process wrote its id to $pids (status $status)"
# shellcheck source=still_running.sh
source "$(dirname "$0")/still_running.sh"
mapfile -t started <"$pids"
mapfile -t left < <(still_running "${started[@]}")
if ((${#left[@]})); then
  kill -9 "${left[@]}"
  fail "still running after the command ended: ${left[*]}"
fi
echo "ok: $(wc -l <"$pids") processes started, none left (status $status)"
