#!/usr/bin/env bash
# The lighting network's restart request, in copies of the demo's data directory whose start
# page is network_restart_first.js. That page checks the page's own Global.Restart (the same
# Global), then arms the panel; once it has, the configuration names another start page,
# network_restart_second.js. Thirty seconds of real time later the host starts over with a
# fresh Global, which reads the configuration again and shows that page; it checks that nothing
# of the old Global is left, that the port still reaches the virtual bus's dimmer (area 1, box
# 1) through --serial, and closes the host. Meanwhile a second host with --exit-on-restart, off
# the bus, must end with status 4 instead.
# Usage: run_network_restart.sh BUS HOST MODULE DATA_DIR PAGES_DIR
set -euo pipefail
[[ $# -eq 5 ]] || { echo "usage: $0 BUS HOST MODULE DATA_DIR PAGES_DIR" >&2; exit 2; }
bus_exe=$1 host=$2 module=$3 data=$4 pages=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-restart.XXXXXX")
exit_pid=""
source "$(dirname "$0")/../../scripts/bus_session.sh"
trap '[[ -z "$exit_pid" ]] || kill "$exit_pid" 2>/dev/null || true; bus_session_cleanup' EXIT
start_page() {  # start_page DIR PAGE
    sed -i "s|<StartPage>[^<]*</StartPage>|<StartPage>$2</StartPage>|" "$1/Config.xml"
}
for dir in "$work/restart" "$work/exit"; do
    mkdir "$dir"
    cp -r "$data"/. "$dir"/
    cp "$pages"/helper.js "$pages"/network_restart_first.js "$pages"/network_restart_second.js \
        "$dir"/
    start_page "$dir" network_restart_first.js
done

# A settings store of its own: the other host maps the port to the bus in its store.
BREVANTO_SETTINGS="$work/exit.reg" \
    "$host" --timeout 60 --data "$work/exit" --module "$module" --exit-on-restart \
    >"$work/exit.out" 2>&1 &
exit_pid=$!

bus_start "$bus_exe" --drop panel --device dimmer:area=1,box=1,channels=4
set +o pipefail
"$host" --timeout 60 --data "$work/restart" --module "$module" --serial "$work/panel" 2>&1 |
    while IFS= read -r line; do
        echo "$line"
        if [[ $line == armed ]]; then start_page "$work/restart" network_restart_second.js; fi
    done
status=${PIPESTATUS[0]}
exit_status=0
wait "$exit_pid" || exit_status=$?
exit_pid=""
echo "with --exit-on-restart:"
cat "$work/exit.out"

failed=0
[[ $status -eq 0 ]] || { echo "run_network_restart: the host ended with $status" >&2; failed=1; }
if [[ $exit_status -ne 4 ]]; then
    echo "run_network_restart: with --exit-on-restart the host ended with $exit_status" >&2
    failed=1
fi
exit "$failed"
