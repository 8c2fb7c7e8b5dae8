#!/usr/bin/env bash
# Builds what is missing and runs the demo panel: the reference host on the demo's data
# directory (its start page examples/data/demo.js), on the virtual lighting bus with a dimmer
# (area 1, box 1, four channels) and a keypad (box 2) on it. Once the page talks on the bus,
# keypad button 1 is pressed, and again after the screen has dimmed (its delay is 10 s). The
# panel's clock starts a few seconds before the demo's schedule "Evening lights" (an hour before
# sunset in the demo's place) is due, so that it fires while the demo runs. Exits with the host's
# status.
# With --installed the installed programs run (brevanto-host, brevanto-bus on the PATH, and the
# data directory /usr/share/brevanto/examples/data) and nothing is built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ "${1:-}" == "--installed" ]]; then
    host=(brevanto-host) bus_exe=brevanto-bus data=/usr/share/brevanto/examples/data
    export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-${TMPDIR:-/tmp}/brevanto-demo-settings}
else
    "$root/scripts/build.sh" brevanto-host brevanto brevanto-bus
    host=("$root/build/host/brevanto-host" --module "$root/build/libbrevanto.so")
    bus_exe=$root/build/tools/bus/brevanto-bus data=$root/examples/data
    export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$root/build/demo-settings.reg}
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-demo.XXXXXX")
source "$root/scripts/bus_session.sh"
trap bus_session_cleanup EXIT
bus_start "$bus_exe" --drop panel \
    --device dimmer:area=1,box=1,channels=4 --device keypad:box=2

# The dimmer signs on when the bus starts; let that frame pass before the panel joins the line.
for _ in $(seq 100); do
    grep -q ' dimmer1 ' "$work/trace" 2>/dev/null && break
    sleep 0.02
done

# Sunset in Sydney on 21 June 2026 is at 17:03 by the panel's formulas: the schedule runs at 16:03:01.
"${host[@]}" --serial "$work/panel" --data "$data" --clock "2026-06-21 16:02:55" --timeout 40 &
host_pid=$!

# Press the key once the page has put its first frame on the bus, so that it is listening.
for _ in $(seq 200); do
    grep -q ' panel ' "$work/trace" 2>/dev/null && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.05
done
printf 'wait 500\npress 2 1\nwait 11000\npress 2 1\n' >&3

status=0
wait "$host_pid" || status=$?
host_pid=""
exit "$status"
