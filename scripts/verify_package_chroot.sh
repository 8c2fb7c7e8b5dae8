#!/usr/bin/env bash
# Installs the built Debian package into a clean Debian chroot, runs the demo there with the
# installed programs against the installed brevanto-bus, removes the package again and lists
# what is left of it. Needs root and a chroot made with
#   mmdebstrap --variant=apt bookworm CHROOT
# Usage: scripts/verify_package_chroot.sh CHROOT [PACKAGE.deb]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
chroot_dir=$(cd "$1" && pwd)
deb=${2:-$(ls "$root"/build/brevanto_*.deb)}

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
cp "$deb" "$chroot_dir/root/demo/"
cp "$root/scripts/demo.sh" "$root/scripts/bus_session.sh" "$chroot_dir/root/demo/scripts/"
in_chroot() { chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    TERM=dumb "$@"; }

echo "== installing $(basename "$deb")"
in_chroot apt-get update -qq
in_chroot apt-get install -y -q "/root/demo/$(basename "$deb")" | tail -n 3
in_chroot brevanto-host --version
echo "== the demo, installed (TZ=Australia/Sydney)"
in_chroot env TZ=Australia/Sydney BREVANTO_SETTINGS=/root/demo/registry \
    /root/demo/scripts/demo.sh --installed
echo "== removing the package"
in_chroot apt-get purge -y -q brevanto | tail -n 2
echo "== what is left with \"brevanto\" in its name (outside /root/demo, the demo's own files):"
in_chroot find / -xdev -iname '*brevanto*' -not -path '/root/demo*' -not -path '/proc/*' || true
echo "== done"
