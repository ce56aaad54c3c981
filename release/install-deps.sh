#!/usr/bin/env bash
# Installs, from Debian's packages, what making or checking a release needs
# of this machine (git, and mmdebstrap to make the release environment,
# with newuidmap for a user who is not root; everything else comes from
# the release environment itself) and any further PACKAGEs named, where
# this machine lacks them. Safe to run again: installed packages are
# skipped.
#
#   release/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(git mmdebstrap "$@")
if [[ $(id -u) -ne 0 ]]; then
    packages+=(uidmap)
fi

missing=()
for package in "${packages[@]}"; do
    if [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) != *"install ok installed"* ]]; then
        missing+=("$package")
    fi
done
((${#missing[@]})) || exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi
# Through env: sudo does not pass the environment on.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
"${sudo[@]}" "${apt[@]}" update -qq
"${sudo[@]}" "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
