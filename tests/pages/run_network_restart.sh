#!/usr/bin/env bash
# The lighting network's restart request, in every HOST at once (it comes thirty seconds of real
# time after the panel is armed), each in copies of the demo's data directory whose start page
# is network_restart_first.js. That page checks the page's own Global.Restart (the same
# Global), then arms the panel; once it has, the configuration names another start page,
# network_restart_second.js. Thirty seconds later the host starts over with a fresh Global,
# which reads the configuration again and shows that page; it checks that nothing of the old
# Global is left, that the port still reaches the dimmer (area 1, box 1) on a virtual bus of the
# host's own through --serial, and closes the host. Meanwhile the host with --exit-on-restart,
# off the bus, must end with status 4 instead.
# Usage: run_network_restart.sh BUS MODULE DATA_DIR PAGES_DIR HOST...
set -euo pipefail
[[ $# -ge 5 ]] || { echo "usage: $0 BUS MODULE DATA_DIR PAGES_DIR HOST..." >&2; exit 2; }
bus_exe=$1 module=$2 data=$3 pages=$4
shift 4
top=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-restart.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; wait; rm -rf "$top"' EXIT

start_page() {  # start_page DIR PAGE
    sed -i "s|<StartPage>[^<]*</StartPage>|<StartPage>$2</StartPage>|" "$1/Config.xml"
}
# run NAME HOST ARGS...: HOST with ARGS on a data directory of its own (and a settings store of
# its own, where --serial maps the port); its output goes to NAME.out, its status to NAME.status.
run() {
    local dir=$top/$1 host=$2
    shift 2
    mkdir "$dir"
    cp -r "$data"/. "$pages"/helper.js "$pages"/network_restart_{first,second}.js "$dir"/
    start_page "$dir" network_restart_first.js
    set +e +o pipefail
    BREVANTO_SETTINGS="$dir/settings.reg" \
        "$host" --timeout 60 --data "$dir" --module "$module" "$@" 2>&1 |
        while IFS= read -r line; do
            echo "$line"
            [[ $line != armed ]] || start_page "$dir" network_restart_second.js
        done >"$dir.out"
    echo "${PIPESTATUS[0]}" >"$dir.status"
}
on_bus() {  # on_bus NAME HOST: run on a virtual bus of its own
    work=$top/$1.bus
    mkdir "$work"
    source "$pages/../../scripts/bus_session.sh"
    source "$pages/runner.sh"
    trap bus_session_cleanup EXIT
    bus_with_dimmer "$bus_exe"
    run "$1" "$2" --serial "$work/panel"
}

for i in $(seq $#); do
    (on_bus "restart$i" "${!i}") &
    (run "exit$i" "${!i}" --exit-on-restart) &
done
wait
failed=0
for i in $(seq $#); do
    # NAME:STATUS:what the host says of the request, expected of each run
    for run in "restart:0:the pages start again with a fresh Global" \
        "exit:4:the panel ends to be started again"; do
        IFS=: read -r kind want says <<<"$run"
        echo "${!i} ($kind):"
        cat "$top/$kind$i.out"
        status=$(cat "$top/$kind$i.status" 2>/dev/null || true)
        [[ $status == "$want" ]] ||
            { echo "run_network_restart: ${!i} ($kind) ended with ${status:-no status}" >&2; failed=1; }
        grep -qF "restart requested by the network: $says" "$top/$kind$i.out" ||
            { echo "run_network_restart: ${!i} ($kind) did not say \"$says\"" >&2; failed=1; }
    done
done
exit "$failed"
