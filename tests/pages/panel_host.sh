#!/usr/bin/env bash
# Stands in for brevanto-host in the page-test runners: runs brevanto-panel ($BREVANTO_PANEL)
# with the same arguments against an X server of its own, so one page test serves both hosts.
# A page's uncaught error while it first runs ends the panel with status 1, as it ends the host.
set -euo pipefail
panel=${BREVANTO_PANEL:?BREVANTO_PANEL names the brevanto-panel program}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-x.XXXXXX")
source "$(dirname "$0")/x_session.sh"
trap 'x_stop; rm -rf "$work"' EXIT
x_start || exit 3

status=0
"$panel" --exit-on-error "$@" || status=$?
exit "$status"
