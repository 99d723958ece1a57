# shellcheck shell=bash
# Sourced by the tests here: starts ndi-sim in the background and learns
# where it serves from its first lines, within a deadline.
#
#   start_simulator NDI_SIM WORKDIR FAMILY [ndi-sim options...]
#     sets SIM_PID, SIM_OUT (its output so far) and either SIM_ADDRESS
#     (host:port) or SIM_DEVICE (pty)
#   stop_simulators   ends every simulator started here (call from a trap)

SIM_PIDS=()

start_simulator() {
  local sim=$1 work=$2 family=$3
  shift 3
  local out
  out=$(mktemp "$work/sim-XXXXXX.out")
  SIM_OUT=$out
  "$sim" "$family" --no-status "$@" >"$out" 2>&1 </dev/null &
  SIM_PID=$!
  SIM_PIDS+=("$SIM_PID")
  SIM_ADDRESS=""
  SIM_DEVICE=""
  local deadline=$((SECONDS + 15))
  while ((SECONDS < deadline)); do
    SIM_ADDRESS=$(sed -n 's/^listening on TCP \(.*\)$/\1/p' "$out")
    SIM_DEVICE=$(sed -n 's/^serial line: \(.*\)$/\1/p' "$out")
    if [[ -n "$SIM_ADDRESS" || -n "$SIM_DEVICE" ]]; then
      return 0
    fi
    if ! kill -0 "$SIM_PID" 2>/dev/null; then
      break
    fi
    sleep 0.05
  done
  echo "ndi-sim $family did not start serving:" >&2
  cat "$out" >&2
  return 1
}

stop_simulators() {
  local pid
  for pid in "${SIM_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  # A simulator that ignores the request is killed after five seconds.
  local deadline=$((SECONDS + 5))
  for pid in "${SIM_PIDS[@]}"; do
    while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  SIM_PIDS=()
}
