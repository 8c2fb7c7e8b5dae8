#!/usr/bin/env bash
# Builds what is missing and runs the demo panel.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root/build"
# The reference host arrives with its own change; until then show what the build produced.
echo "Built libraries and programs:"
find . -maxdepth 1 -type f \( -name '*.so' -o -perm -u+x \) -printf '  %f\n' | sort
