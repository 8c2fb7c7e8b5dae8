#!/usr/bin/env bash
# Runs the backlight page against the virtual bus (tests/pages/run_bus_page.sh), then checks
# that none of the backlight's level packets (1C 01 03 48 ...) reached the bus.
# Usage: run_backlight_bus.sh BUS HOST MODULE DATA_DIR HELPER.js PAGE.js
set -euo pipefail
output=$("$(dirname "$0")/run_bus_page.sh" "$@" 2>&1) || { echo "$output"; exit 1; }
echo "$output"
if grep -q ' 1C 01 03 48 ' <<<"$output"; then
    echo "a level packet reached the bus" >&2
    exit 1
fi
