#!/usr/bin/env bash
# The bus's trace on the system's real time (--trace-clock real) stamps a frame between the
# moments before and after it was sent, so it compares with a page's Date; a clock it does not
# know is refused.
set -euo pipefail
bus=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-trace-clock.XXXXXX")
trap 'rm -rf "$work"' EXIT
if "$bus" --link "$work" --trace-clock monotonic </dev/null >/dev/null 2>&1; then
    echo "an unknown trace clock was accepted" >&2
    exit 1
fi
before=$(date +%s%6N)
printf 'send 1C 01 00 00 00 00 FF\nwait 50\nquit\n' |
    "$bus" --link "$work" --trace - --trace-clock real >"$work/out"
after=$(date +%s%6N)
stamp=$(awk '$2 == "console" { print $1 }' "$work/out")
if [[ -z "$stamp" ]] || ((stamp < before || stamp > after)); then
    echo "frame stamped ${stamp:-never}, sent between $before and $after:" >&2
    cat "$work/out" >&2
    exit 1
fi
