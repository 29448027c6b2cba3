# Sourced by the tests that end processes: still_running PID... prints those
# of the ids that still run, giving each a moment to finish dying. A process
# killed but not yet reaped by whoever inherited it (a zombie) is not running.
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
  [[ -n $state && $state != Z ]]
}
still_running() {
  local pid
  for pid in "$@"; do
    for _ in {1..20}; do
      running "$pid" || break
      sleep 0.1
    done
    if running "$pid"; then
      echo "$pid"
    fi
  done
}
