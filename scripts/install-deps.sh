#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need
# and this machine lacks. Safe to run again: installed packages are skipped.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev llvm
    googletest libgtest-dev libgmock-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev clang-19 lld-19
    wine64 wine
    python3 python3-pefile
    osslsigncode openssl reuse
    valgrind clang-tidy clang-format cppcheck
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
