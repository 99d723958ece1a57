#!/usr/bin/env bash
# The C example (examples/track_tool.c) against the simulator, as its users
# run it: a serial system with wired tools, a network system with a tool
# file, and the failures a user meets first, each reported in words.
#
# Environment (set by CMakeLists.txt): NDI_EXAMPLE, NDI_SIM, NDI_MAKE_TOOL_IMAGE.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"

work=$(mktemp -d)
trap 'stop_simulators; rm -rf "$work"' EXIT
failures=0

# check NAME EXPECTED_EXIT PATTERN -- COMMAND...: the exit code, and a
# pattern that the combined output must match (grep -E).
check() {
  local name=$1 expected=$2 pattern=$3
  shift 4
  local status=0
  "$@" >"$work/out" 2>&1 || status=$?
  if [[ $status -ne $expected ]] || ! grep -Eq "$pattern" "$work/out"; then
    echo "FAIL: $name: exit $status (expected $expected), output:" >&2
    cat "$work/out" >&2
    failures=$((failures + 1))
    return 0
  fi
  echo "ok: $name"
}

# Distinct frame numbers printed, each with a pose for every tool.
distinct_frames() {
  sed -n 's/^frame \([0-9]*\) handle .*/\1/p' "$work/out" | sort -u | wc -l
}

# A serial system with four wired tools and no tool file.
start_simulator "$NDI_SIM" "$work" aurora
check "serial, wired tools" 0 '^frame [0-9]+ handle [0-9A-F]{2}: position' -- \
  "$NDI_EXAMPLE" --serial "$SIM_DEVICE" --frames 5
[[ $(distinct_frames) -eq 5 ]] || { echo "FAIL: serial: not 5 distinct frames" >&2; failures=$((failures + 1)); }
[[ $(grep -c '^frame .*: position' "$work/out") -eq 20 ]] ||
  { echo "FAIL: serial: not 4 poses in each of 5 frames" >&2; cat "$work/out" >&2; failures=$((failures + 1)); }

# A network system with one optical tool: the simulator tracks the tool whose
# part number the uploaded image carries.
start_simulator "$NDI_SIM" "$work" vega --tcp 127.0.0.1:0
vega=$SIM_ADDRESS
"$NDI_MAKE_TOOL_IMAGE" --part-number 8700340 "$work/pointer.rom" >/dev/null
check "network, one tool file" 0 '^frame [0-9]+ handle [0-9A-F]{2}: position' -- \
  "$NDI_EXAMPLE" --network "$vega" --tool "$work/pointer.rom" --frames 3
[[ $(distinct_frames) -eq 3 ]] || { echo "FAIL: network: not 3 distinct frames" >&2; failures=$((failures + 1)); }

# What goes wrong first, said in words.
head -c 752 /dev/zero >"$work/blank.rom"
check "image the system refuses: the device's reason" 1 '^track_tool: PINIT:[0-9A-F]{2} failed: [A-Za-z]' -- \
  "$NDI_EXAMPLE" --network "$vega" --tool "$work/blank.rom" --frames 1
check "tool file missing" 1 "cannot load $work/none.rom: the file cannot be read" -- \
  "$NDI_EXAMPLE" --network "$vega" --tool "$work/none.rom"
check "optical system without tool files" 1 'no tool to track' -- \
  "$NDI_EXAMPLE" --network "$vega"
check "nothing listening" 1 'cannot connect to 127.0.0.1:1$' -- \
  "$NDI_EXAMPLE" --network 127.0.0.1:1
check "no system named" 2 'give one of --serial and --network' -- "$NDI_EXAMPLE"
check "help" 0 '^Usage: track_tool' -- "$NDI_EXAMPLE" --help

if ((failures > 0)); then
  echo "example: $failures check(s) failed" >&2
  exit 1
fi
echo "example: all checks passed"
