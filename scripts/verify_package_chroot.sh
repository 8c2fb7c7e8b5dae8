#!/usr/bin/env bash
# Installs the built Debian packages (brevanto and brevanto-panel) into a clean Debian chroot,
# runs the demo there with the installed programs against the installed brevanto-bus, runs the
# installed panel on a page that reports the library's version (under Xvfb, installed in the
# chroot for this alone), removes the packages again and lists what is left of them. Needs root
# and a chroot made with
#   mmdebstrap --variant=apt bookworm CHROOT
# Usage: scripts/verify_package_chroot.sh CHROOT [CORE.deb PANEL.deb]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
chroot_dir=$(cd "$1" && pwd)
core=${2:-$(ls "$root"/build/brevanto_*.deb)}
panel=${3:-$(ls "$root"/build/brevanto-panel_*.deb)}

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || true; done
}
trap cleanup EXIT
for dir in proc dev/pts; do
    mkdir -p "$chroot_dir/$dir"
    mount --bind "/$dir" "$chroot_dir/$dir"
    mounted+=("$chroot_dir/$dir")
done
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
mkdir -p "$chroot_dir/root/demo/scripts"
cp "$core" "$panel" "$chroot_dir/root/demo/"
cp "$root/scripts/demo.sh" "$root/scripts/bus_session.sh" "$chroot_dir/root/demo/scripts/"
cp "$root/tests/pages/x_session.sh" "$chroot_dir/root/demo/scripts/"
in_chroot() { chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    TERM=dumb "$@"; }

echo "== installing $(basename "$core") and $(basename "$panel")"
in_chroot apt-get update -qq
in_chroot apt-get install -y -q "/root/demo/$(basename "$core")" \
    "/root/demo/$(basename "$panel")" | tail -n 3
in_chroot brevanto-host --version
in_chroot brevanto-panel --version
echo "== the demo, installed (TZ=Australia/Sydney)"
in_chroot env TZ=Australia/Sydney BREVANTO_SETTINGS=/root/demo/registry \
    /root/demo/scripts/demo.sh --installed
echo "== the installed panel on the demo's data, under Xvfb"
in_chroot apt-get install -y -q --no-install-recommends xvfb xauth | tail -n 1
echo 'Global.Log("library " + Global.Version.Library); Global.Close();' >"$chroot_dir/root/demo/page.js"
# The web engine's caches go to the demo's own folder, which the listing below leaves out.
in_chroot env HOME=/root/demo/home BREVANTO_SETTINGS=/root/demo/registry bash -c '
    set -e; work=/root/demo; source /root/demo/scripts/x_session.sh; trap x_stop EXIT; x_start
    brevanto-panel --exit-on-error --timeout 30 --data /usr/share/brevanto/examples/data \
        /root/demo/page.js'
echo "== removing the packages"
in_chroot apt-get purge -y -q brevanto-panel brevanto | tail -n 2
echo "== what is left with \"brevanto\" in its name (outside /root/demo, the demo's own files):"
in_chroot find / -xdev -iname '*brevanto*' -not -path '/root/demo*' -not -path '/proc/*' || true
echo "== done"
