#!/usr/bin/env bash
# The first administrator and the users' files across runs of the host, in a data directory of
# its own (with the demo's Config.xml): brevanto-users creates the administrator, a page logs in
# as it and adds a user, a second run of the host still knows both, and a damaged Users
# file leaves the panel without users and with a message, never a crash.
# Usage: run_users_pages.sh USERS_TOOL HOST MODULE DATA_DIR HELPER.js PAGES_DIR
set -euo pipefail
[[ $# -eq 6 ]] || { echo "usage: $0 USERS HOST MODULE DATA_DIR HELPER.js PAGES_DIR" >&2; exit 2; }
users=$1 host=$2 module=$3 demo_data=$4 helper=$5 pages=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-users.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$demo_data/Config.xml" "$work/Config.xml"

fail() { echo "FAILED: $*" >&2; exit 1; }
run_page() {  # run_page PAGE: runs PAGE in the host, failing the test when the page fails
    "$host" --timeout 30 --data "$work" --module "$module" "$helper" "$pages/$1" 2>&1 ||
        fail "$1 ended with status $?"
}

echo AdminCode | "$users" --data "$work" add Admin --passcode - --levels 0
run_page users_first_admin.js
run_page users_after_restart.js
[[ $("$users" --data "$work" list) == $'admin levels 0\nbob levels 1\ndave levels 0' ]] ||
    fail "the tool does not list what the pages left"

damaged='<root_object Type="Array"><admin>admincode'
printf '%s' "$damaged" >"$work/Users.xml"
out=$(run_page users_damaged_file.js)
[[ $(cat "$work/Users.xml") == "$damaged" ]] || fail "the damaged file was overwritten"
grep -q 'Users.xml' <<<"$out" || fail "no message names the damaged file"
grep -qi 'admincode' <<<"$out" && fail "the message shows a pass code"
echo PASS
