#!/usr/bin/env bash
# Runs the host on a data directory alone (--data DIR, no page: Config.xml's StartPage runs) on
# the virtual bus, and judges the run by an expectations file:
#   #clock TIME        the host's --clock
#   #env NAME=VALUE    an environment variable of the host
#   #expect SRC HEX    the bus carried this frame from SRC ("??" matches any byte)
#   #min-gap-ms N      consecutive frames of the panel are at least N ms apart on the bus
#   #output TEXT       the host printed TEXT
# Then the host's two ways of refusing to start: no page and no --data is a wrong command line
# (64); a data directory without a StartPage cannot start (3). Last, SIGTERM closes a running
# panel in order (0).
# Usage: run_data_dir.sh BUS HOST MODULE DATA_DIR EXPECTATIONS
set -euo pipefail
[[ $# -eq 5 ]] || { echo "usage: $0 BUS HOST MODULE DATA_DIR EXPECTATIONS" >&2; exit 2; }
bus_exe=$1 host_exe=$2 module=$3 data=$4 expectations=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-data-dir.XXXXXX")
source "$(dirname "$0")/../../scripts/bus_session.sh"
source "$(dirname "$0")/runner.sh"
trap bus_session_cleanup EXIT

clock=() expects=() outputs=() min_gap=0
while IFS= read -r line || [[ -n "$line" ]]; do
    case "$line" in
        "#clock "*) clock=(--clock "${line#\#clock }") ;;
        "#env "*) export "${line#\#env }" ;;
        "#expect "*) expects+=("${line#\#expect }") ;;
        "#min-gap-ms "*) min_gap=${line#\#min-gap-ms } ;;
        "#output "*) outputs+=("${line#\#output }") ;;
    esac
done <"$expectations"

bus_start "$bus_exe" --drop panel
status=0
"$host_exe" --serial "$work/panel" --data "$data" --timeout 40 --module "$module" "${clock[@]}" \
    >"$work/host.out" 2>&1 &
host_pid=$!
wait "$host_pid" || status=$?
host_pid=""
cat "$work/host.out"
[[ $status -eq 0 ]] || fail "the host ended with status $status"
panel_frames
for expect in "${expects[@]}"; do traced "$expect"; done
gap=$(awk '$2 == "panel" { if (last != "" && (min == "" || $1 - last < min)) min = $1 - last;
           last = $1 } END { print min == "" ? -1 : int(min / 1000) }' "$work/trace")
[[ $gap -ge $min_gap ]] || fail "panel frames only $gap ms apart, expected at least $min_gap"
for text in "${outputs[@]}"; do
    grep -qF -- "$text" "$work/host.out" || fail "the host did not print \"$text\""
done

refused() {  # refused STATUS ARGS...: the host refuses to start with STATUS
    local want=$1 got=0
    shift
    "$host_exe" --module "$module" "$@" >"$work/refused.out" 2>&1 || got=$?
    [[ $got -eq $want ]] || fail "brevanto-host $* ended with $got, expected $want"
    grep -q "no page to run" "$work/refused.out" || fail "brevanto-host $* did not say why"
}
refused 64
mkdir "$work/empty"
refused 3 --data "$work/empty"

echo "Global.Log('idle page');" >"$work/idle.js"
"$host_exe" --data "$data" --timeout 30 --module "$module" "$work/idle.js" >"$work/idle.out" 2>&1 &
host_pid=$!
await "$work/idle.out" 'idle page' "$host_pid" || fail "the idle page did not run"
kill -TERM "$host_pid" 2>/dev/null || true
status=0
wait "$host_pid" || status=$?
host_pid=""
[[ $status -eq 0 ]] || fail "SIGTERM ended the host with $status, expected 0"
grep -q 'SIGTERM: closing the panel' "$work/idle.out" || fail "the host did not say it closes"
exit "$failed"
