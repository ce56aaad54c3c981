#!/usr/bin/env bash
# Installs, from Debian's packages, what making or checking a release needs
# and this machine lacks, and any further PACKAGEs named. Safe to run
# again: installed packages are skipped.
#
#   release/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(
    git cmake ninja-build clang-19 lld-19
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    python3 python3-pefile python3-asn1crypto python3-cryptography
    osslsigncode openssl
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
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
