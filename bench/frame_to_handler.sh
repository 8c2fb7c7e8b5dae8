#!/usr/bin/env bash
# From a frame on the bus to the page's handler, in each host: another device sends a preset
# every 250 ms; the page's handler of the "Preset" event notes the time (Date.now, the system's
# real time in ms) and the bus stamps each frame on the same clock (--trace-clock real). Printed:
# from the end of the frame's last byte on the line to the handler running (median, 99th
# percentile, largest, in ms; Date.now counts whole milliseconds). The framing rule is part of
# it: the port finishes a frame when its last byte has arrived.
# Usage: bench/frame_to_handler.sh [COUNT]   (after scripts/build.sh; the panel runs in an X
# server of its own)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build pages=$root/tests/pages
count=${1:-200}
export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$build/bench-settings.reg}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-frame.XXXXXX")
trap 'rm -rf "$work"' EXIT
{
    echo "#bus --trace-clock real"
    for _ in $(seq "$count"); do printf 'send 1C 03 00 00 00 00 FF\nwait 250\n'; done
    echo "send 1C 09 00 00 00 00 FF"
} >"$work/page.bus"
cat >"$work/page.js" <<'PAGE'
// host-timeout: 300
Global.RegisterForEvent('Preset', null, function (p) {
    if (p.Area === 3) console.log('handled ' + Date.now());
    if (p.Area === 9) done();
});
afterRegistrations(function () { Global.SendPreset(5, 0xFF, 1); });
PAGE

measure() {
    BREVANTO_KEEP_TRACE=$work/trace "$pages/run_bus_page.sh" "$build/tools/bus/brevanto-bus" \
        "$1" "$build/libbrevanto.so" "$pages/data/demo" "$pages/helper.js" "$work/page.js" \
        >"$work/out" 2>&1 || { echo "the page failed: $(tail -n 3 "$work/out")"; return; }
    # The k-th frame of the other device against the k-th run of the handler.
    awk '$2 != "panel" && $3 == "1C" && $4 == "03" { print $1 }' "$work/trace" >"$work/sent"
    sed -n 's/^handled \([0-9]*\)$/\1/p' "$work/out" >"$work/handled"
    paste "$work/sent" "$work/handled" | awk -v line_us=$((8 * 10 * 1000000 / 9600)) '
        NF == 2 { print $2 - ($1 + line_us) / 1000 }' | sort -n | awk -v want="$count" \
        -v handled="$(wc -l <"$work/handled")" '
        { t[NR] = $1 }
        END {
            if (NR == 0) { print "no handler ran"; exit }
            p = int(NR * 0.99); if (p < 1) p = 1
            printf "%d frames, %d handled: frame end to handler median %.1f ms, p99 %.1f ms, " \
                   "largest %.1f ms\n", want, handled, t[int((NR + 1) / 2)], t[p], t[NR]
        }'
}
echo "brevanto-host:  $(measure "$build/host/brevanto-host")"
if [[ -x $build/panel/brevanto-panel ]]; then
    echo "brevanto-panel: $(BREVANTO_PANEL=$build/panel/brevanto-panel measure "$pages/panel_host.sh")"
fi
