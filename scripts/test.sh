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
# Most tests wait, for the bus's 9600 baud, for timers or for a web view to start, rather than
# compute, so twice as many run at once as there are cores.
if ctest --output-on-failure --parallel "$((2 * $(nproc)))" "$@"; then exit 0; fi

# LeakSanitizer's own tracer (the runtime of this compiler, not the code under test) now and
# then crashes while it stops a process's threads for the leak check at its end, after the
# test itself has passed: "LeakSanitizer has encountered a fatal error". A test that failed in
# that way and no other runs once more; a leak report or any other failure stands.
[[ "$sanitize" == address ]] || exit 1
other_failures=$(awk '
    /^[0-9]+\/[0-9]+ Test: / { name = $3; tracer = 0; real = 0 }
    /LeakSanitizer has encountered a fatal error/ { tracer = 1 }
    /detected memory leaks|ERROR: AddressSanitizer|runtime error:|\[  FAILED  \]/ { real = 1 }
    /^Test Failed\./ { if (!tracer || real) print name }
' Testing/Temporary/LastTest.log)
if [[ -n "$other_failures" || ! -s Testing/Temporary/LastTestsFailed.log ]]; then exit 1; fi
echo "LeakSanitizer's tracer crashed at the end of: $(cut -d: -f2 Testing/Temporary/LastTestsFailed.log | xargs); running them once more"
ctest --output-on-failure --rerun-failed
