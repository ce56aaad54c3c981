#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need
# and this machine lacks (release/install-deps.sh does the installing, with
# the release's own packages). Safe to run again: installed packages are
# skipped.
#
#   scripts/install-deps.sh [--tests]
#
# --tests also installs what only the tests use: the linters, pytest, node
# and npm when missing, and the CycloneDX library with its JSON-schema
# validator, the versions release/tests/sbom-validator/package-lock.json
# pins, into build/cyclonedx/ (never part of a release).
set -euo pipefail
cd "$(dirname "$0")/.."

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
    cmake ninja-build ccache g++ clang llvm
    clang-19 lld-19 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    python3 python3-pefile python3-asn1crypto python3-cryptography osslsigncode openssl
    googletest libgtest-dev libgmock-dev
    wine64 wine valgrind
)
if $tests; then
    packages+=(clang-tidy-19 clang-format-19 cppcheck reuse
        python3-pytest python3-mypy pyflakes3 shellcheck python3-debian)
    # A machine may have node from elsewhere, with npm of its own.
    if ! command -v npm >/dev/null; then
        packages+=(nodejs npm)
    fi
fi
release/install-deps.sh "${packages[@]}"
# The sanitizer and libFuzzer runtimes of the release's default clang
# (clang-14 on Debian 12, clang-19 on Debian 13), named after its version.
clang_version=$(dpkg-query -W -f='${Depends}' clang | sed -n 's/^clang-\([0-9][0-9]*\)\([^0-9].*\)\{0,1\}$/\1/p')
if [[ -z $clang_version ]]; then
    echo "install-deps: cannot tell which clang-N the clang package depends on" >&2
    exit 1
fi
release/install-deps.sh "libclang-rt-$clang_version-dev"

$tests || exit 0
lock=release/tests/sbom-validator/package-lock.json
folder=$(pwd)/build/cyclonedx
if [[ -d $folder/node_modules ]] && cmp -s "$lock" "$folder/package-lock.json"; then
    exit 0
fi
echo "Installing the CycloneDX validator into $folder"
rm -rf "$folder"
mkdir -p "$folder"
cp release/tests/sbom-validator/package.json "$lock" "$folder/"
(cd "$folder" && npm ci --no-audit --no-fund --omit=optional --ignore-scripts --loglevel=error >/dev/null)
