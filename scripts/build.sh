#!/usr/bin/env bash
# Configures (once) and builds the project.
# Usage: scripts/build.sh [--sanitize address|thread] [cmake targets...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=""
if [[ "${1:-}" == "--sanitize" ]]; then sanitize=$2; shift 2; fi
build="$root/build${sanitize:+-$sanitize}"

"$root/scripts/setup.sh"
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DBREVANTO_SANITIZE="$sanitize" \
        $([[ -n "$sanitize" ]] && echo -DBREVANTO_BENCHMARKS=OFF) >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)" ${1:+--target "$@"}
