#!/usr/bin/env bash
# Checks a release ZIP against this source: builds the programs from this
# checkout (build/release, as scripts/release.sh does), takes each out of
# the ZIP, removes its signature if it has one, and compares the bytes.
#
#   scripts/verify-release.sh [--ca CA.pem] ZIP
#
# Run it from a checkout of the commit the ZIP's BUILDINFO.txt names; it
# refuses any other and says which it needs. It prints, for each program,
# whether it is this source's build and who signed it ("unsigned" when no
# one did). With --ca each program must carry a signature that verifies
# against those CA certificates; without, a signature is checked against
# the system's and only reported.
#
# Exit status 0 when both programs are this source's build, 1 when the ZIP
# is rejected, 2 when it cannot be checked here.
set -euo pipefail

usage() {
    echo "usage: scripts/verify-release.sh [--ca CA.pem] ZIP" >&2
    exit 2
}

ca=()
if (($# == 3)) && [[ $1 == --ca ]]; then
    ca=(--ca "$(realpath -m -- "$2")")
    shift 2
fi
if (($# != 1)) || [[ $1 == -* ]]; then
    usage
fi
zip=$(realpath -m -- "$1")

cd "$(dirname "$0")/.."
# shellcheck source=scripts/release/commit.sh
source scripts/release/commit.sh

scripts/install-deps.sh
needed=$(/usr/bin/python3 scripts/release/verify.py commit "$zip") || exit 2
if ! here=$(source_commit); then
    echo "verify-release: not the top of a git checkout; clone the source and check out $needed" >&2
    exit 2
fi
if [[ $here != "$needed" ]]; then
    echo "verify-release: $(basename "$zip") was built from commit $needed; this checkout is at" \
        "$here: run 'git checkout $needed' and try again" >&2
    exit 2
fi
if uncommitted_changes; then
    echo "verify-release: uncommitted changes; this is not commit $needed as it stands" >&2
    exit 2
fi

cmake --preset release >/dev/null
if ! log=$(cmake --build --preset release --parallel "$(nproc)" 2>&1); then
    echo "$log" >&2
    echo "verify-release: the programs of commit $needed did not build here" >&2
    exit 2
fi

exec /usr/bin/python3 scripts/release/verify.py compare \
    --contents build/release/release_contents.txt "${ca[@]}" "$zip"
