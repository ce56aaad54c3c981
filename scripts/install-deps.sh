#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need
# and this machine lacks. Safe to run again: installed packages are skipped.
#
#   scripts/install-deps.sh [--tests]
#
# --tests also installs what only the tests use: node and npm when missing,
# and the CycloneDX library with its JSON-schema validator, the versions
# tests/wine/sbom-validator/package-lock.json pins, into build/cyclonedx/
# (never part of a release; the release script runs without it).
set -euo pipefail

tests=false
case ${1-} in
--tests) tests=true ;;
"") ;;
*)
    echo "usage: scripts/install-deps.sh [--tests]" >&2
    exit 2
    ;;
esac

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev llvm
    googletest libgtest-dev libgmock-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev clang-19 lld-19
    binutils-mingw-w64-x86-64
    wine64 wine
    python3 python3-pefile python3-asn1crypto python3-cryptography
    osslsigncode openssl reuse
    valgrind clang-tidy clang-format cppcheck
)
# A machine may have node from elsewhere, with npm of its own.
if $tests && ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi

cyclonedx() {
    $tests || return 0
    local here lock folder
    here=$(cd "$(dirname "$0")/.." && pwd)
    lock=$here/tests/wine/sbom-validator/package-lock.json
    folder=$here/build/cyclonedx
    if [ -d "$folder/node_modules" ] && cmp -s "$lock" "$folder/package-lock.json"; then
        return 0
    fi
    echo "Installing the CycloneDX validator into $folder"
    rm -rf "$folder"
    mkdir -p "$folder"
    cp "$here/tests/wine/sbom-validator/package.json" "$lock" "$folder/"
    (cd "$folder" && npm ci --no-audit --no-fund --omit=optional --ignore-scripts --loglevel=error >/dev/null)
}

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
cyclonedx
