#!/usr/bin/env bash
# Builds everything and runs every test.
# Usage: scripts/test.sh [--sanitize address|thread] [ctest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=""
if [[ "${1:-}" == "--sanitize" ]]; then sanitize=$2; shift 2; fi
build="$root/build${sanitize:+-$sanitize}"

if [[ -n "$sanitize" ]]; then
    "$root/scripts/build.sh" --sanitize "$sanitize"
else
    "$root/scripts/build.sh"
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" "$@"
