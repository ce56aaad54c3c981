#!/usr/bin/env bash
# What Windows users download, from this checkout: builds the programs in
# Release with mingw-w64 (build/release, the flags the mingw preset tests)
# and writes dist/ anew:
#   BRELVIK_DFU_SWITCH-<version>-win64.zip   both programs and USER_GUIDE.txt,
#                                            in the folder BRELVIK_DFU_SWITCH-<version>/
#   BRELVIK_DFU_SWITCH-<version>/            the ZIP's files, unpacked
#   SHA256SUMS                               check with: cd dist && sha256sum -c SHA256SUMS
# The same commit gives the same bytes wherever it is checked out and
# whenever: the ZIP's entries carry the commit's date, or SOURCE_DATE_EPOCH
# when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
        echo "release: not a git checkout; set SOURCE_DATE_EPOCH to the sources' date" >&2
        exit 1
    fi
    if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
        echo "release: uncommitted changes; this is not commit $(git rev-parse --short HEAD) as it stands" >&2
    fi
fi

cmake --preset release >/dev/null
cmake --build --preset release --parallel "$(nproc)"

contents=build/release/release_contents.txt
version=$(sed -n 's/^version //p' "$contents")
mapfile -t programs < <(sed -n 's/^program //p' "$contents")
/usr/bin/python3 tests/wine/check_pe.py --version "$version" --release "${programs[@]}"

rm -rf dist
/usr/bin/python3 scripts/release/pack.py --contents "$contents" --epoch "$SOURCE_DATE_EPOCH" --out dist
(cd dist && sha256sum -c SHA256SUMS)
echo
ls -l dist dist/*/
