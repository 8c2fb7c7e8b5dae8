#!/usr/bin/env bash
# Runs one page test in the host against the virtual bus, with the drop "panel" (the host's port)
# and a dimmer in area 1 (box 1). The host's exit status is the result. Afterwards the panel's
# frames on the bus are listed with their time in milliseconds after the panel's first frame.
#
# A page PAGE.js comes with PAGE.bus (page_tests.cmake runs the pages that have one here):
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
source "$(dirname "$0")/runner.sh"
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

bus_with_dimmer "$bus_exe" "${bus_args[@]}"
# A page may ask for a longer time-out than 20 s with "// host-timeout: N" and for a clock of its
# own with "// host-clock: TIME", as in run_page.cmake.
timeout=$(sed -n 's|^// host-timeout: \([0-9]*\)$|\1|p' "$page" | head -n 1)
clock=$(sed -n 's|^// host-clock: \(.*\)$|\1|p' "$page" | head -n 1)
status=0
"$host_exe" --serial "$work/panel" --data "$data" --timeout "${timeout:-20}" --module "$module" \
    ${clock:+--clock "$clock"} "$helper" "$page" &
host_pid=$!
if [[ ${#commands[@]} -gt 0 ]]; then
    await "$work/trace" '^[0-9]+ panel ' "$host_pid" || true
    for command in "${commands[@]}"; do echo "$command" >&3; done
fi
wait "$host_pid" || status=$?
host_pid=""

# A benchmark may keep the whole trace (microseconds on the bus's clock, source, bytes).
if [[ -n "${BREVANTO_KEEP_TRACE:-}" ]]; then cp "$work/trace" "$BREVANTO_KEEP_TRACE"; fi
panel_frames
for expect in "${expects[@]}"; do traced "$expect"; done
for note in "${notes[@]}"; do
    grep -qxF "$note" "$work/bus.out" ||
        fail "the bus's devices never noted \"$note\"; they noted: $(grep -v '^ready$' "$work/bus.out")"
done
exit $((status ? status : failed))
