#!/usr/bin/env bash
# Presses a real button of the example panel through the X server and checks that its preset
# frame reaches the virtual bus: the panel shows examples/panel/index.html on the bus with a
# dimmer in area 1; once the page runs, the pointer clicks "Relax" (preset 2 of area 1).
# Usage: run_panel_click.sh BUS PANEL MODULE DATA_DIR PAGE.html
set -euo pipefail
[[ $# -eq 5 ]] || { echo "usage: $0 BUS PANEL MODULE DATA_DIR PAGE.html" >&2; exit 2; }
bus_exe=$1 panel_exe=$2 module=$3 data=$4 page=$5
here=$(dirname "$0")

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-click.XXXXXX")
source "$here/../../scripts/bus_session.sh"
source "$here/x_session.sh"
source "$here/runner.sh"
trap 'bus_session_cleanup; x_stop' EXIT

# The button's place in the 800 x 480 window at the screen's corner (no window manager).
relax_x=140 relax_y=124
# Preset 2 of area 1 with the default fade (2 s, 0x64 in 20 ms steps), and its checksum.
preset_frame="1C 01 64 01 00 00 FF 7F"

bus_with_dimmer "$bus_exe"
x_start
"$panel_exe" --serial "$work/panel" --data "$data" --module "$module" --timeout 30 \
    --size 800x480 --page "$page" >"$work/panel.out" 2>&1 &
host_pid=$!
if ! await "$work/panel.out" 'page: living room' "$host_pid"; then
    fail "the page never ran"
else
    xdotool mousemove "$relax_x" "$relax_y" click 1
    await "$work/trace" " panel $preset_frame\$" || fail "no \"$preset_frame\" from the panel"
fi
kill -TERM "$host_pid" 2>/dev/null || true
status=0
wait "$host_pid" || status=$?
host_pid=""
cat "$work/panel.out"
[[ $failed -eq 0 ]] || { cat "$work/trace" >&2; exit 1; }
exit "$status"
