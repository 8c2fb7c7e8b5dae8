#!/usr/bin/env bash
# The lighting network's restart request, in a copy of the demo's data directory whose start
# page is network_restart_first.js. That page checks the page's own Global.Restart (the same
# Global), then arms the panel; once it has, the configuration names another start page,
# network_restart_second.js. Thirty seconds of real time later the host starts over with a
# fresh Global, which reads the configuration again and shows that page; it checks that nothing
# of the old Global is left and closes the host.
# Usage: run_network_restart.sh HOST MODULE DATA_DIR PAGES_DIR
set -euo pipefail
[[ $# -eq 4 ]] || { echo "usage: $0 HOST MODULE DATA_DIR PAGES_DIR" >&2; exit 2; }
host=$1 module=$2 data=$3 pages=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-restart.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r "$data"/. "$work"/
cp "$pages"/helper.js "$pages"/network_restart_first.js "$pages"/network_restart_second.js "$work"/
start_page() {
    sed -i "s|<StartPage>[^<]*</StartPage>|<StartPage>$1</StartPage>|" "$work/Config.xml"
}
start_page network_restart_first.js

set +o pipefail
"$host" --timeout 60 --data "$work" --module "$module" 2>&1 | while IFS= read -r line; do
    echo "$line"
    if [[ $line == armed ]]; then start_page network_restart_second.js; fi
done
status=${PIPESTATUS[0]}
[[ $status -eq 0 ]] || { echo "run_network_restart: the host ended with $status" >&2; exit 1; }
