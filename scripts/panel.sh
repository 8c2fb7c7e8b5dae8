#!/usr/bin/env bash
# Builds what is missing and runs the example panel (examples/panel/) in brevanto-panel on the
# virtual lighting bus, with a dimmer in area 1 (box 1, four channels) and a keypad (box 2).
# Without a display ($DISPLAY unset) it runs under a private X server. Extra arguments go to
# brevanto-panel (--fullscreen, --hide-cursor, --timeout S, --screenshot FILE.png, ...).
# The bus's trace is printed when the panel ends; exits with the panel's status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" brevanto-panel brevanto brevanto-bus
export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$root/build/panel-settings.reg}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-panel.XXXXXX")
source "$root/scripts/bus_session.sh"
source "$root/tests/pages/x_session.sh"
trap 'cat "$work/trace" 2>/dev/null; bus_session_cleanup; x_stop' EXIT
bus_start "$root/build/tools/bus/brevanto-bus" --drop panel \
    --device dimmer:area=1,box=1,channels=4 --device keypad:box=2
[[ -n "${DISPLAY:-}" ]] || x_start

"$root/build/panel/brevanto-panel" --serial "$work/panel" --data "$root/examples/data" \
    --module "$root/build/libbrevanto.so" --page "$root/examples/panel/index.html" "$@" &
host_pid=$!
status=0
wait "$host_pid" || status=$?
host_pid=""
exit "$status"
