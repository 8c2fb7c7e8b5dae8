#!/usr/bin/env bash
# Builds the Debian packages from build/ and checks them without installing them: the core
# package (brevanto) and the touch panel's (brevanto-panel) hold the files an installed panel
# needs and no file of each other's, their dependencies are declared (the web engine in the
# panel's only), the unpacked host finds the module and the unpacked panel its web extension and
# the module, each from its own folder, and systemd accepts both example unit files.
# Usage: scripts/check_package.sh   (after scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-package.XXXXXX")
source "$root/tests/pages/x_session.sh"
trap 'x_stop; rm -rf "$work"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

rm -f "$build"/brevanto_*.deb "$build"/brevanto-panel_*.deb
cmake "$build" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
core=$(ls "$build"/brevanto_*.deb)
panel=$(ls "$build"/brevanto-panel_*.deb)
version=$(dpkg-deb -f "$core" Version)
echo "$core"
echo "$panel"

# file_list DEB: the package's files (not its folders), as installed paths.
file_list() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort; }
# expect_files DEB FILE...: each FILE is in the package.
expect_files() {
    local deb=$1
    shift
    file_list "$deb" >"$work/files"
    for file in "$@"; do
        grep -qxF "$file" "$work/files" || fail "$file is not in $(basename "$deb")"
    done
}
# expect_depends DEB WANTED UNWANTED: the package's Depends names every package of WANTED and
# none of UNWANTED (space-separated, each matched as part of a dependency).
expect_depends() {
    local deb=$1 depends package
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "$(basename "$deb") Depends: $depends"
    for package in $2; do
        [[ $depends == *"$package"* ]] || fail "$(basename "$deb") does not depend on $package"
    done
    for package in $3; do
        [[ $depends != *"$package"* ]] || fail "$(basename "$deb") depends on $package"
    done
}

expect_files "$core" /usr/bin/brevanto-host /usr/bin/brevanto-bus /usr/bin/brevanto-users \
    /usr/lib/brevanto/libbrevanto.so /usr/lib/brevanto/libbrevanto-automation.so \
    /usr/share/brevanto/examples/data/Config.xml /usr/share/brevanto/examples/data/demo.js \
    /usr/share/brevanto/examples/data/Users.xml \
    /usr/share/brevanto/examples/systemd/brevanto-panel.service \
    /usr/share/doc/brevanto/README.md
expect_files "$panel" /usr/bin/brevanto-panel \
    /usr/lib/brevanto/panel-extension/libbrevanto-panel-extension.so \
    /usr/share/brevanto/examples/panel/index.html /usr/share/brevanto/examples/panel/panel.js \
    /usr/share/brevanto/examples/panel/settings.html \
    /usr/share/brevanto/examples/systemd/brevanto-touch-panel.service
# The engine loads every module of the extension's folder: the extension stands there alone.
extension_folder=$(file_list "$panel" | grep -c '^/usr/lib/brevanto/panel-extension/' || true)
[[ $extension_folder == 1 ]] || fail "the extension's folder holds $extension_folder files"
# dpkg refuses to install two packages that hold the same file.
shared=$(comm -12 <(file_list "$core") <(file_list "$panel"))
[[ -z $shared ]] || fail "both packages hold $shared"

expect_depends "$core" "libduktape libicu libxml2 libstdc++6 tzdata" "webkit gtk brevanto"
expect_depends "$panel" "libwebkit2gtk-4.1 libjavascriptcoregtk-4.1 libgtk-3 libstdc++6" \
    "libduktape"
[[ $(dpkg-deb -f "$panel" Depends) == *"brevanto (= $version)"* ]] ||
    fail "brevanto-panel does not depend on brevanto of its own version $version"

# The installed tree, both packages unpacked anywhere: the programs load the module from
# ../lib/brevanto, the panel its extension from ../lib/brevanto/panel-extension.
dpkg-deb -x "$core" "$work/tree"
dpkg-deb -x "$panel" "$work/tree"
data=$work/tree/usr/share/brevanto/examples/data
echo 'Global.Log("library " + Global.Version.Library); Global.Close();' >"$work/page.js"
out=$(BREVANTO_SETTINGS=$work/registry "$work/tree/usr/bin/brevanto-host" --timeout 10 \
    --data "$data" "$work/page.js" 2>&1) || fail "the unpacked host did not run: $out"
[[ $out == *"library $version"* ]] || fail "the unpacked host did not reach the library: $out"

# Without its extension the panel's page has no Global and runs into the time-out.
x_start
out=$(BREVANTO_SETTINGS=$work/registry "$work/tree/usr/bin/brevanto-panel" --timeout 10 \
    --exit-on-error --data "$data" "$work/page.js" 2>&1) || fail "the unpacked panel did not run: $out"
[[ $out == *"library $version"* ]] || fail "the unpacked panel did not reach the library: $out"
x_stop

# systemd-analyze wants the programs the units name to exist: point them at the unpacked ones.
for unit in brevanto-panel brevanto-touch-panel; do
    sed "s|/usr/bin/|$work/tree/usr/bin/|" \
        "$root/examples/systemd/$unit.service" >"$work/$unit.service"
done
# It ignores a line it cannot parse with a warning and succeeds: any word from it is a failure.
out=$(systemd-analyze verify "$work/brevanto-panel.service" "$work/brevanto-touch-panel.service" \
    2>&1) || fail "systemd refuses a unit file: $out"
[[ -z $out ]] || fail "systemd warns about a unit file: $out"
echo "check_package: the packages and the unit files are fine"
