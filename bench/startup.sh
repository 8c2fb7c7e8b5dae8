#!/usr/bin/env bash
# Start-up time and idle memory of brevanto-host on the demo's complete data directory
# (configuration, place, holidays, schedules, users, backlight), on the virtual bus:
#   - start-up: from just before the host program is executed to the first statement of the page,
#     both read from the system clock in milliseconds, over RUNS runs (median, lowest, highest);
#   - idle memory: the resident set (VmRSS) and its peak (VmHWM) of the host after it has idled
#     for IDLE seconds, from the last run.
# Usage: bench/startup.sh [RUNS] [IDLE]   (after scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10} idle=${2:-3}
host=$root/build/host/brevanto-host
export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$root/build/bench-settings.reg}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-startup.XXXXXX")
source "$root/scripts/bus_session.sh"
trap bus_session_cleanup EXIT
bus_start "$root/build/tools/bus/brevanto-bus" --drop panel --device dimmer:area=1,box=1,channels=4

times=()
for ((run = 1; run <= runs; run++)); do
    start=$(date +%s%3N)
    "$host" --serial "$work/panel" --data "$root/examples/data" --module "$root/build/libbrevanto.so" \
        "$root/bench/startup_page.js" >"$work/host.out" 2>&1 &
    host_pid=$!
    for _ in $(seq 1000); do
        grep -q 'first page statement at' "$work/host.out" && break
        sleep 0.01
    done
    first=$(sed -n 's/.*first page statement at \([0-9]*\).*/\1/p' "$work/host.out")
    [[ -n "$first" ]] || { cat "$work/host.out" >&2; echo "the page never ran" >&2; exit 1; }
    times+=($((first - start)))
    if ((run == runs)); then
        sleep "$idle"
        rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$host_pid/status")
        hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$host_pid/status")
        threads=$(awk '/^Threads/ { print $2 }' "/proc/$host_pid/status")
    fi
    kill -TERM "$host_pid"
    wait "$host_pid" || true
    host_pid=""
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "start-up to the first page statement over $runs runs: median ${sorted[$((runs / 2))]} ms," \
    "lowest ${sorted[0]} ms, highest ${sorted[$((runs - 1))]} ms"
echo "idle after ${idle} s: resident ${rss} kB (peak ${hwm} kB), ${threads} threads"
