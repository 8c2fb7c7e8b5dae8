#!/usr/bin/env bash
# Runs page scripts in the host against the virtual bus: drops "panel" (the host's port) and
# "other", a dimmer in area 1 (box 1). Once the panel has asked the dimmer for its preset
# (opcode 0x63), a frame for area 7 is written into the "other" drop. Fails when the host fails
# or when the panel's preset frame, checksum included, is not in the bus trace.
# Usage: run_with_bus.sh BUS HOST MODULE DATA_DIR SCRIPT.js...
set -euo pipefail
[[ $# -ge 5 ]] || { echo "usage: $0 BUS HOST MODULE DATA_DIR SCRIPT.js..." >&2; exit 2; }
bus_exe=$1 host_exe=$2 module=$3 data=$4
shift 4

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-page-bus.XXXXXX")
source "$(dirname "$0")/../../scripts/bus_session.sh"
trap bus_session_cleanup EXIT

# The eight bytes of a logical frame as the trace shows them: seven and their checksum.
frame() {
    local sum=0 b out=""
    for b in "$@"; do
        sum=$((sum + 16#$b))
        out+=" $b"
    done
    printf '%s %02X' "${out# }" $(((0x100 - (sum & 0xFF)) & 0xFF))
}
# The same frame as bytes for printf.
frame_bytes() {
    local b out=""
    for b in $(frame "$@"); do out+="\\x$b"; done
    printf '%s' "$out"
}

bus_start "$bus_exe" --drop panel --drop other --device dimmer:area=1,box=1,channels=4

# The dimmer signs on when the bus starts; let that frame pass before the panel joins the line.
for _ in $(seq 100); do
    grep -q ' dimmer1 ' "$work/trace" 2>/dev/null && break
    sleep 0.02
done

"$host_exe" --serial "$work/panel" --data "$data" --timeout 20 --module "$module" "$@" &
host_pid=$!

question=$(frame 1C 01 00 63 00 00 FF)
for _ in $(seq 200); do
    grep -q " panel $question\$" "$work/trace" 2>/dev/null && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.05
done
if grep -q " panel $question\$" "$work/trace"; then
    printf "$(frame_bytes 1C 07 00 48 00 00 FF)" >"$work/other"
else
    echo "run_with_bus: the panel's preset question never reached the bus" >&2
fi

status=0
wait "$host_pid" || status=$?
host_pid=""

preset=$(frame 1C 01 00 02 00 00 FF)
if ! grep -q " panel $preset\$" "$work/trace"; then
    echo "run_with_bus: no \"$preset\" from the panel on the bus; the trace:" >&2
    cat "$work/trace" >&2
    [[ $status -ne 0 ]] || status=1
fi
exit "$status"
