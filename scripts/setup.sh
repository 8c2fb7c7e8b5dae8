#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail

packages=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libxml2-dev libicu-dev duktape-dev tzdata clang libclang-rt-14-dev
          libwebkit2gtk-4.1-dev xvfb xauth xdotool)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing missing packages: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
    apt_get=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
    apt_get=(sudo apt-get)
else
    echo "setup: these Debian packages are missing and I am not root:" >&2
    echo "    apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt_get[@]}" update -qq
"${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}"
