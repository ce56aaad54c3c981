#!/usr/bin/env bash
# What Windows users download, from this checkout: builds the programs in
# Release with mingw-w64 (build/release, the flags the mingw preset tests)
# and writes dist/ anew:
#   BRELVIK_DFU_SWITCH-<version>-win64.zip   both programs, USER_GUIDE.txt,
#                                            BUILDINFO.txt, THIRD_PARTY_NOTICES.txt
#                                            and the SBOM (.cdx.json), in the folder
#                                            BRELVIK_DFU_SWITCH-<version>/
#   BRELVIK_DFU_SWITCH-<version>/            the ZIP's files, unpacked
#   SHA256SUMS                               check with: cd dist && sha256sum -c SHA256SUMS
# The same commit gives the same bytes wherever it is checked out and
# whenever: the ZIP's entries carry the commit's committer time (a
# SOURCE_DATE_EPOCH of another value is refused). A copy of the sources
# outside git names its commit in SOURCE_COMMIT and that commit's committer
# time in SOURCE_DATE_EPOCH.
#
#   scripts/release.sh [--sign CERT KEY [--timestamp URL]]
#
# --sign signs both programs (Authenticode, SHA-256, signing time
# SOURCE_DATE_EPOCH) before they are packed: CERT is a PEM file with the
# signing certificate followed by any intermediates, KEY its PEM private
# key, kept outside this tree; a passphrase comes from the environment
# variable BRELVIK_SIGN_PASSPHRASE, which this script takes out of its
# environment at once and hands to osslsigncode alone. --timestamp has the
# signatures timestamped by that RFC 3161 server (the bytes then differ
# every run).
set -euo pipefail

# Nothing started here but osslsigncode gets the passphrase (pack.py hands
# it over through a pipe).
unset passphrase
if [[ -v BRELVIK_SIGN_PASSPHRASE ]]; then
    passphrase=$BRELVIK_SIGN_PASSPHRASE
    unset BRELVIK_SIGN_PASSPHRASE
fi

usage() {
    echo "usage: scripts/release.sh [--sign CERT KEY [--timestamp URL]]" >&2
    exit 2
}

sign=()
timestamp=()
while (($#)); do
    case $1 in
    --sign)
        (($# >= 3)) || usage
        for file in "$2" "$3"; do
            if [[ ! -f $file || ! -r $file ]]; then
                echo "release: cannot read $file" >&2
                exit 2
            fi
        done
        sign=(--sign "$(realpath -- "$2")" "$(realpath -- "$3")")
        shift 3
        ;;
    --timestamp)
        (($# >= 2)) || usage
        timestamp=(--timestamp "$2")
        shift 2
        ;;
    *) usage ;;
    esac
done
if ((${#timestamp[@]} && !${#sign[@]})); then
    usage
fi

cd "$(dirname "$0")/.."
# shellcheck source=scripts/release/commit.sh
source scripts/release/commit.sh

if ((${#sign[@]})); then
    case ${sign[2]} in
    "$(pwd -P)"/*)
        echo "release: keep the signing key outside the source tree, not at ${sign[2]}" >&2
        exit 2
        ;;
    esac
fi

scripts/install-deps.sh

if ! commit=$(source_commit); then
    echo "release: not the top of a git checkout; set SOURCE_COMMIT and SOURCE_DATE_EPOCH" \
        "to the commit these sources are and its date" >&2
    exit 1
fi
# A release is dated by its commit alone, its committer time, which is what
# scripts/verify-release.sh requires BUILDINFO.txt's SOURCE_DATE_EPOCH to be.
if committed=$(git --no-replace-objects log -1 --format=%ct "$commit" -- 2>/dev/null) && [[ -n $committed ]]; then
    if [[ -n ${SOURCE_DATE_EPOCH:-} && $SOURCE_DATE_EPOCH != "$committed" ]]; then
        echo "release: SOURCE_DATE_EPOCH is $SOURCE_DATE_EPOCH, but commit ${commit:0:12} was made at" \
            "$committed; a release is dated by its commit alone: unset SOURCE_DATE_EPOCH" >&2
        exit 1
    fi
    SOURCE_DATE_EPOCH=$committed
elif [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    echo "release: set SOURCE_DATE_EPOCH to the committer time of commit $commit" \
        "(git log -1 --format=%ct $commit)" >&2
    exit 1
fi
if uncommitted_changes; then
    echo "release: uncommitted changes; this is not commit ${commit:0:12} as it stands" >&2
fi

cmake --preset release >/dev/null
cmake --build --preset release --parallel "$(nproc)"

contents=build/release/release_contents.txt
version=$(sed -n 's/^version //p' "$contents")
mapfile -t programs < <(sed -n 's/^program //p' "$contents")
/usr/bin/python3 tests/wine/check_pe.py --version "$version" --release "${programs[@]}"

rm -rf dist
/usr/bin/python3 scripts/release/pack.py --contents "$contents" --epoch "$SOURCE_DATE_EPOCH" \
    --commit "$commit" "${sign[@]}" "${timestamp[@]}" ${passphrase+--passphrase-fd 3} --out dist \
    3< <(printf %s "${passphrase-}")
(cd dist && sha256sum -c SHA256SUMS)
echo
ls -l dist dist/*/
