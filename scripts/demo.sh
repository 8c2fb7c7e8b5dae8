#!/usr/bin/env bash
# Builds what is missing and runs the demo panel: the demo page in the reference host, on the
# virtual lighting bus with a dimmer (area 1, box 1, four channels) and a keypad (box 2) on it.
# Once the page talks on the bus, keypad button 1 is pressed. Exits with the host's status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" brevanto-host brevanto brevanto-bus
export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$root/build/demo-settings.reg}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-demo.XXXXXX")
bus_pid=""
host_pid=""

# Stops whatever is still running (the bus on "quit", or after two seconds by signal) and
# removes the links, the trace and the command pipe.
cleanup() {
    if [[ -n "$host_pid" ]] && kill -0 "$host_pid" 2>/dev/null; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    if [[ -n "$bus_pid" ]]; then
        { echo quit >&3; } 2>/dev/null || true
        exec 3>&- || true
        for _ in $(seq 20); do
            kill -0 "$bus_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$bus_pid" 2>/dev/null || true
        wait "$bus_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The bus reads its commands from a pipe that this script holds open until the end.
mkfifo "$work/commands"
"$root/build/tools/bus/brevanto-bus" --link "$work" --drop panel \
    --device dimmer:area=1,box=1,channels=4 --device keypad:box=2 \
    --trace "$work/trace" <"$work/commands" >"$work/bus.out" &
bus_pid=$!
exec 3>"$work/commands"

for _ in $(seq 100); do
    grep -qx ready "$work/bus.out" 2>/dev/null && break
    kill -0 "$bus_pid" 2>/dev/null || { echo "demo: the virtual bus did not start" >&2; exit 1; }
    sleep 0.05
done
grep -qx ready "$work/bus.out" || { echo "demo: the virtual bus is not ready" >&2; exit 1; }

# The dimmer signs on when the bus starts; let that frame pass before the panel joins the line.
for _ in $(seq 100); do
    grep -q ' dimmer1 ' "$work/trace" 2>/dev/null && break
    sleep 0.02
done

"$root/build/host/brevanto-host" --serial "$work/panel" --data "$root/examples/data" \
    --timeout 30 --module "$root/build/libbrevanto.so" "$root/examples/pages/demo.js" &
host_pid=$!

# Press the key once the page has put its first frame on the bus, so that it is listening.
for _ in $(seq 200); do
    grep -q ' panel ' "$work/trace" 2>/dev/null && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.05
done
printf 'wait 500\npress 2 1\n' >&3

status=0
wait "$host_pid" || status=$?
host_pid=""
exit "$status"
