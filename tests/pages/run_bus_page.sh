#!/usr/bin/env bash
# Runs one page test in the host against the virtual bus, with the drop "panel" (the host's port)
# and a dimmer in area 1 (box 1). The host's exit status is the result. Afterwards the panel's
# frames on the bus are listed with their time in milliseconds after the panel's first frame.
#
# A page PAGE.js may come with PAGE.bus, which drives the bus from outside:
#   #bus ARGS...            more options for brevanto-bus (devices)
#   #expect [N] SOURCE HEX  the trace must hold this frame from SOURCE (exactly N times when
#                           given); the checksum is part of HEX, "??" matches any byte
#   #note TEXT              the bus's devices must have noted TEXT (for example "dimmer2 preset 3")
#   any other line          a bus command (send, raw, press, wait), sent in order once the panel's
#                           first frame is on the bus, so the page says when it is ready by sending
# Usage: run_bus_page.sh BUS HOST MODULE DATA_DIR HELPER.js PAGE.js
set -euo pipefail
[[ $# -eq 6 ]] || { echo "usage: $0 BUS HOST MODULE DATA_DIR HELPER.js PAGE.js" >&2; exit 2; }
bus_exe=$1 host_exe=$2 module=$3 data=$4 helper=$5 page=$6
script=${page%.js}.bus

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-bus-page.XXXXXX")
source "$(dirname "$0")/../../scripts/bus_session.sh"
trap bus_session_cleanup EXIT

bus_args=() commands=() expects=() notes=()
if [[ -f "$script" ]]; then
    while IFS= read -r line || [[ -n "$line" ]]; do
        case "$line" in
            "#bus "*) read -r -a more <<<"${line#\#bus }"; bus_args+=("${more[@]}") ;;
            "#expect "*) expects+=("${line#\#expect }") ;;
            "#note "*) notes+=("${line#\#note }") ;;
            "#"* | "") ;;
            *) commands+=("$line") ;;
        esac
    done <"$script"
fi

bus_start "$bus_exe" --drop panel --device dimmer:area=1,box=1,channels=4 "${bus_args[@]}"
# The dimmers sign on when the bus starts; let that pass before the panel joins the line.
dimmers=$(printf '%s\n' dimmer: "${bus_args[@]}" | grep -c '^dimmer:')
for _ in $(seq 200); do
    [[ $(grep -c ' dimmer[0-9]* ' "$work/trace" 2>/dev/null) -ge $dimmers ]] && break
    sleep 0.02
done
signed_on=$(wc -l <"$work/trace")

# A page may ask for a longer time-out than 20 s with "// host-timeout: N", as in run_page.cmake.
timeout=$(sed -n 's|^// host-timeout: \([0-9]*\)$|\1|p' "$page" | head -n 1)
status=0
"$host_exe" --serial "$work/panel" --data "$data" --timeout "${timeout:-20}" --module "$module" \
    "$helper" "$page" &
host_pid=$!

if [[ ${#commands[@]} -gt 0 ]]; then
    for _ in $(seq 400); do
        tail -n +"$((signed_on + 1))" "$work/trace" | grep -q ' panel ' && break
        kill -0 "$host_pid" 2>/dev/null || break
        sleep 0.025
    done
    for command in "${commands[@]}"; do echo "$command" >&3; done
fi
wait "$host_pid" || status=$?
host_pid=""

# A benchmark may keep the whole trace (microseconds on the bus's clock, source, bytes).
if [[ -n "${BREVANTO_KEEP_TRACE:-}" ]]; then cp "$work/trace" "$BREVANTO_KEEP_TRACE"; fi

echo "the panel's frames on the bus (ms after its first frame):"
awk '$2 == "panel" { if (first == "") first = $1; line = sprintf("%8.1f", ($1 - first) / 1000);
     for (i = 3; i <= NF; i++) line = line " " $i; print line }' "$work/trace"

for expect in "${expects[@]}"; do
    read -r -a words <<<"$expect"
    wanted=""
    if [[ ${words[0]} =~ ^[0-9]+$ ]]; then wanted=${words[0]}; words=("${words[@]:1}"); fi
    pattern=" ${words[*]}"
    found=$(grep -c "${pattern//\?\?/[0-9A-F][0-9A-F]}\$" "$work/trace" || true)
    if [[ -z "$wanted" && $found -eq 0 ]] || [[ -n "$wanted" && $found -ne $wanted ]]; then
        echo "run_bus_page: expected ${wanted:-some} \"${words[*]}\" on the bus, found $found" >&2
        [[ $status -ne 0 ]] || status=1
    fi
done
for note in "${notes[@]}"; do
    if ! grep -qxF "$note" "$work/bus.out"; then
        echo "run_bus_page: the bus's devices never noted \"$note\"; they noted:" >&2
        grep -v '^ready$' "$work/bus.out" >&2 || true
        [[ $status -ne 0 ]] || status=1
    fi
done
exit "$status"
