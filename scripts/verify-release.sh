#!/usr/bin/env bash
# Checks a release ZIP, wherever it came from, against this source: reads
# the ZIP (bounded, nothing unpacked) and the commit its BUILDINFO.txt
# names, builds the programs of that commit from a clean export of it (git
# archive, in a temporary folder: files not committed play no part), and
# accepts the ZIP only if it is, byte for byte, what that commit's packer
# makes of them; for a signed release, of the ZIP's programs once each is
# shown to be this build with one Authenticode signature added.
#
#   scripts/verify-release.sh [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP
#
# Run it from a checkout of the commit the ZIP names, without changes to
# tracked files; it refuses any other and says which it needs. It prints,
# for each program, whether it is this source's build and, signed, the
# signer's subject, the SHA-256 fingerprint of its certificate and whether
# the chain verifies: against CA.pem with --ca (then it must), else against
# the system's CA certificates (reported only); and a timestamp's time,
# which must verify against TSA-CA.pem or the system's. The last line is the
# verdict; exit status 0 when accepted, 1 when rejected, 2 when it cannot
# be checked here. No environment variable changes what it checks.
set -euo pipefail

usage() {
    echo "usage: scripts/verify-release.sh [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP" >&2
    exit 2
}

ca=()
while (($# >= 3)) && [[ ($1 == --ca || $1 == --tsa-ca) && -n $2 ]]; do
    if [[ " ${ca[*]} " == *" $1 "* ]]; then
        usage
    fi
    ca+=("$1" "$(realpath -m -- "$2")")
    shift 2
done
if (($# != 1)) || [[ -z $1 || $1 == -* ]]; then
    usage
fi
zip=$(realpath -m -- "$1")

cannot_check() {
    echo "verify-release: CANNOT CHECK: $*"
    exit 2
}

cd "$(dirname "$0")/.."
scripts/install-deps.sh

top=$(git rev-parse --show-toplevel 2>/dev/null) || top=
if [[ -z $top || $(cd "$top" && pwd -P) != "$(pwd -P)" ]]; then
    cannot_check "$(pwd) is not the top of a git checkout; clone the source and check out the commit" \
        "the ZIP's BUILDINFO.txt names"
fi
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
    cannot_check "uncommitted changes to tracked files; stash or commit them and try again"
fi
here=$(git rev-parse HEAD)

scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
# Only what the commit holds reaches the checks and the build.
clean=(env -i PATH="$PATH" HOME="$HOME" LANG=C.UTF-8)
python=("${clean[@]}" /usr/bin/python3 -I)

"${python[@]}" scripts/release/verify.py examine "${ca[@]}" --commit-out "$scratch/commit" "$zip" || exit
needed=$(<"$scratch/commit")
if [[ $needed != "$here" ]]; then
    cannot_check "the ZIP was built from commit $needed; this checkout is at $here:" \
        "run 'git checkout $needed' and try again"
fi

echo "Building the programs of commit ${needed:0:12} from a clean export of it"
mkdir "$scratch/source"
git -c core.autocrlf=false archive --format=tar "$needed" | tar -x -C "$scratch/source"
if ! (cd "$scratch/source" && "${clean[@]}" cmake --preset release &&
    "${clean[@]}" cmake --build --preset release --parallel "$(nproc)") >"$scratch/build.log" 2>&1; then
    cat "$scratch/build.log"
    cannot_check "the programs of commit $needed did not build here"
fi

status=0
"${python[@]}" "$scratch/source/scripts/release/verify.py" compare "${ca[@]}" --commit "$needed" \
    --contents "$scratch/source/build/release/release_contents.txt" "$zip" || status=$?
exit "$status"
