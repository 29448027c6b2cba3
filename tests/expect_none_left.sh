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
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
  [[ -n $state && $state != Z ]]
}
left=()
while read -r pid; do
  for _ in {1..20}; do
    running "$pid" || break
    sleep 0.1
  done
  if running "$pid"; then
    left+=("$pid")
  fi
done <"$pids"
if ((${#left[@]})); then
  kill -9 "${left[@]}"
  fail "still running after the command ended: ${left[*]}"
fi
echo "ok: $(wc -l <"$pids") processes started, none left (status $status)"
