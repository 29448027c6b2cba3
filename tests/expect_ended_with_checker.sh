#!/usr/bin/env bash
# Ends plugin-check with SIGTERM while a check's child hangs, and fails if
# that child, or the worker process the plug-in started from it, outlives it.
# The plug-in writes the worker's id to TAMRIX_CORPUS_PIDS; the worker's
# parent is the check's child.
#
#   expect_ended_with_checker.sh PID_FILE -- COMMAND [ARG]...
set -uo pipefail

pids=$1
shift 2
rm -f "$pids"
TAMRIX_CORPUS_PIDS=$pids "$@" >/dev/null 2>&1 &
checker=$!
for _ in {1..600}; do
  [[ -s $pids ]] && break
  sleep 0.1
done
if [[ ! -s $pids ]]; then
  kill -9 "$checker"
  echo "FAIL: no worker wrote its id to $pids"
  exit 1
fi
worker=$(head -n 1 "$pids")
child=$(ps -o ppid= -p "$worker" | tr -d ' ')
sleep 0.5  # the child is in its hanging call by now
kill -TERM "$checker"
wait "$checker"
status=$?
# shellcheck source=still_running.sh
source "$(dirname "$0")/still_running.sh"
mapfile -t left < <(still_running "$worker" "$child")
if ((${#left[@]})); then
  kill -9 "${left[@]}"
  echo "FAIL: still running after plugin-check ended: ${left[*]}"
  exit 1
fi
# Ended by the signal itself, as a caller that sent it expects.
if [[ $status != 143 ]]; then
  echo "FAIL: plugin-check ended with status $status, not by SIGTERM (143)"
  exit 1
fi
echo "ok: the check's child $child and its worker $worker ended with plugin-check"
