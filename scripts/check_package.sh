#!/usr/bin/env bash
# Builds the Debian package from build/ and checks it without installing it: the files an
# installed panel needs are in it, its dependencies are declared, the installed host finds the
# module from its own folder, and systemd accepts the example unit file.
# Usage: scripts/check_package.sh   (after scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

rm -f "$build"/brevanto_*.deb
cmake "$build" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/brevanto_*.deb)
echo "$deb"

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/files"
for file in /usr/bin/brevanto-host /usr/bin/brevanto-bus /usr/bin/brevanto-users \
    /usr/lib/brevanto/libbrevanto.so /usr/lib/brevanto/libbrevanto-automation.so \
    /usr/share/brevanto/examples/data/Config.xml /usr/share/brevanto/examples/data/demo.js \
    /usr/share/brevanto/examples/data/Users.xml \
    /usr/share/brevanto/examples/systemd/brevanto-panel.service \
    /usr/share/doc/brevanto/README.md; do
    grep -qxF "$file" "$work/files" || fail "$file is not in the package"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libduktape libicu libxml2 libstdc++6 tzdata; do
    [[ $depends == *"$package"* ]] || fail "the package does not depend on $package"
done

# The installed tree, unpacked anywhere: the host loads the module from ../lib/brevanto.
dpkg-deb -x "$deb" "$work/tree"
echo 'Global.Log("library " + Global.Version.Library); Global.Close();' >"$work/page.js"
out=$(BREVANTO_SETTINGS=$work/registry "$work/tree/usr/bin/brevanto-host" --timeout 10 \
    --data "$work/tree/usr/share/brevanto/examples/data" "$work/page.js" 2>&1) ||
    fail "the unpacked host did not run: $out"
[[ $out == *"library "[0-9]* ]] || fail "the unpacked host did not reach the library: $out"

# systemd-analyze wants the program the unit names to exist: point it at the unpacked one.
sed "s|/usr/bin/brevanto-host|$work/tree/usr/bin/brevanto-host|" \
    "$root/examples/systemd/brevanto-panel.service" >"$work/brevanto-panel.service"
systemd-analyze verify "$work/brevanto-panel.service"
echo "check_package: the package and the unit file are fine"
