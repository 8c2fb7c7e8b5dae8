#!/usr/bin/env bash
# A storm from the bus in each host: 1 000 presets in a row from another device (about 8.5 s at
# 9600 baud), each handled by the page, while a 50 ms interval timer runs in the page. Prints
# how many events arrived and how late the timer's runs came during the storm (median, 99th
# percentile, largest, in ms): the page stays responsive while the library calls it.
# Usage: bench/callback_storm.sh   (after scripts/build.sh; the panel runs in an X server of its own)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build pages=$root/tests/pages
export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$build/bench-settings.reg}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-storm.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$pages/callback_storm_test.bus" "$work/storm.bus"
cat >"$work/storm.js" <<'PAGE'
// host-timeout: 40
var presets = 0, ticking = null, lates = [], last = 0;
Global.RegisterForEvent('Preset', null, function (p) {
    if (p.Area === 9) return finish();
    if (p.Area !== 2 || ++presets !== 1) return;
    last = Date.now();
    ticking = setInterval(function () {
        var now = Date.now();
        if (presets < 1000) lates.push(now - last - 50);
        last = now;
    }, 50);
});
function finish() {
    clearInterval(ticking);
    lates.sort(function (a, b) { return a - b; });
    console.log('events ' + presets + ', timer runs ' + lates.length + ', late by median ' +
                lates[lates.length >> 1] + ' ms, p99 ' + lates[Math.floor(lates.length * 0.99)] +
                ' ms, largest ' + lates[lates.length - 1] + ' ms');
    done();
}
afterRegistrations(function () { Global.SendPreset(1, 0xFF, 3); });
PAGE

run() {
    "$pages/run_bus_page.sh" "$build/tools/bus/brevanto-bus" "$1" "$build/libbrevanto.so" \
        "$pages/data/demo" "$pages/helper.js" "$work/storm.js" 2>&1 | grep '^events' || true
}
echo "brevanto-host:  $(run "$build/host/brevanto-host")"
if [[ -x $build/panel/brevanto-panel ]]; then
    echo "brevanto-panel: $(BREVANTO_PANEL=$build/panel/brevanto-panel run "$pages/panel_host.sh")"
fi
