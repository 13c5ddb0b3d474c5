# Shell helpers shared by the benchmark scripts; sourced, not run.

# Stops what a script started (by its own process ids), waiting a bounded
# time before forcing it.
stop_pid() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
