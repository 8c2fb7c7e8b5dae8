#!/usr/bin/env bash
# Stands in for brevanto-host in the page-test runners: runs brevanto-panel ($BREVANTO_PANEL)
# with the same arguments against an X server of its own, so one page test serves both hosts.
# A page's uncaught error while it first runs ends the panel with status 1, as it ends the host.
#
# The X server is a private Xvfb that picks a free display itself (-displayfd), so that tests
# running side by side never race for one.
set -euo pipefail
panel=${BREVANTO_PANEL:?BREVANTO_PANEL names the brevanto-panel program}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-x.XXXXXX")
xvfb_pid=
cleanup() {
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 500); do
    [[ -s "$work/display" ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 3; }
    sleep 0.01
done
display=$(tr -d '[:space:]' <"$work/display")
[[ -n "$display" ]] || { echo "panel_host.sh: Xvfb did not start" >&2; exit 3; }

status=0
DISPLAY=":$display" "$panel" --exit-on-error "$@" || status=$?
exit "$status"
