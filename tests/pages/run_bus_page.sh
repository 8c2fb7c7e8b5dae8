#!/usr/bin/env bash
# Runs one page test in the host against the virtual bus, with the drop "panel" (the host's port)
# and a dimmer in area 1 (box 1). The host's exit status is the result. Afterwards the panel's
# frames on the bus are listed with their time in milliseconds after the panel's first frame.
# Usage: run_bus_page.sh BUS HOST MODULE DATA_DIR HELPER.js PAGE.js
set -euo pipefail
[[ $# -eq 6 ]] || { echo "usage: $0 BUS HOST MODULE DATA_DIR HELPER.js PAGE.js" >&2; exit 2; }
bus_exe=$1 host_exe=$2 module=$3 data=$4 helper=$5 page=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-bus-page.XXXXXX")
source "$(dirname "$0")/../../scripts/bus_session.sh"
trap bus_session_cleanup EXIT

bus_start "$bus_exe" --drop panel --device dimmer:area=1,box=1,channels=4
# The dimmer signs on when the bus starts; let that frame pass before the panel joins the line.
for _ in $(seq 100); do
    grep -q ' dimmer1 ' "$work/trace" 2>/dev/null && break
    sleep 0.02
done

status=0
"$host_exe" --serial "$work/panel" --data "$data" --timeout 20 --module "$module" "$helper" \
    "$page" &
host_pid=$!
wait "$host_pid" || status=$?
host_pid=""

echo "the panel's frames on the bus (ms after its first frame):"
awk '$2 == "panel" { if (first == "") first = $1; line = sprintf("%8.1f", ($1 - first) / 1000);
     for (i = 3; i <= NF; i++) line = line " " $i; print line }' "$work/trace"
exit "$status"
