#!/usr/bin/env bash
# Builds what is missing and runs the demo panel: the demo page in the reference host.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" brevanto-host brevanto
export BREVANTO_SETTINGS=${BREVANTO_SETTINGS:-$root/build/demo-settings.reg}
exec "$root/build/host/brevanto-host" --timeout 30 --data "$root/examples/data" \
    --module "$root/build/libbrevanto.so" "$root/examples/pages/demo.js"
