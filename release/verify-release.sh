#!/bin/bash
# Checks a release ZIP, wherever it came from, by the rules of this
# checkout (its HEAD's scripts), whichever commit of its history the ZIP
# was built from: reads the ZIP (bounded, nothing unpacked) and the commit
# its BUILDINFO.txt names, builds that commit's programs from the
# repository's objects (git archive into a temporary folder, the commit's
# own release preset: files not committed play no part), has that commit's
# own packer make a release of them (release/pack.py --programs
# --buildinfo), and accepts the ZIP only if it is that, byte for byte; for
# a signed release, made of the ZIP's programs once each is shown to be
# this build with one Authenticode signature added.
#
#   scripts/verify-release.sh [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP
#
# Run it from a checkout whose release/ and scripts/ are as HEAD has them; the commit
# must be in HEAD's history, and its packer must offer the repack
# interface (a release older than that cannot be checked). It prints the
# release's version, its commit and date, how far behind HEAD that lies,
# the package versions BUILDINFO.txt claims (flagged where this machine's
# differ), and for each program whether it is this source's build and,
# signed, the signer's subject, the SHA-256 fingerprint of its certificate
# and whether the chain verifies: against CA.pem with --ca (then it must),
# else against the system's CA certificates (reported only); and a
# timestamp's time, which must verify against TSA-CA.pem with --tsa-ca,
# else against the system's. The last line is the verdict; exit status 0 when accepted, 1 when rejected, 2
# when it cannot be checked here. No environment variable, git
# configuration, attribute file, replace ref or graft changes what it
# checks: git, the build and the checks run with a fixed PATH of system
# folders and nothing of the caller's environment.
set -euo pipefail
export PATH=/usr/bin:/bin

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
PATH=/usr/bin:/bin:/usr/sbin:/sbin release/install-deps.sh

scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
mkdir "$scratch/home"
# Only what the commit holds reaches the checks and the build.
clean=(env -i PATH=/usr/bin:/bin HOME="$scratch/home" LANG=C.UTF-8)
python=("${clean[@]}" /usr/bin/python3 -I)
# git without the caller's GIT_* variables, configuration, attribute files
# or replace refs.
git=("${clean[@]}" GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null GIT_ATTR_NOSYSTEM=1
    GIT_NO_REPLACE_OBJECTS=1 git -c core.attributesFile=/dev/null -c core.fsmonitor=false
    -c core.autocrlf=false -c core.commitGraph=false)

top=$("${git[@]}" rev-parse --show-toplevel 2>/dev/null) || top=
if [[ -z $top || $(cd "$top" && pwd -P) != "$(pwd -P)" ]]; then
    cannot_check "$(pwd) is not the top of a git checkout; clone the source and run" \
        "scripts/verify-release.sh there"
fi
# The rules are HEAD's: the scripts that apply them must be too.
if [[ -n $("${git[@]}" status --porcelain --untracked-files=no -- release scripts) ]]; then
    cannot_check "the checker's scripts (release/, scripts/) differ from HEAD; stash or commit the changes and try again"
fi
head=$("${git[@]}" rev-parse --verify --quiet 'HEAD^{commit}') ||
    cannot_check "this checkout has no HEAD commit"
objects=$("${git[@]}" rev-parse --path-format=absolute --git-common-dir)/objects
# A repository of the checkout's objects alone: no refs but what is named
# here, no grafts, no info/attributes, no configuration.
"${git[@]}" init -q --bare "$scratch/git"
printf '%s\n' "$objects" >"$scratch/git/objects/info/alternates"
git+=(--git-dir="$scratch/git")

"${python[@]}" release/verify.py examine "${ca[@]}" --git-dir "$scratch/git" --head "$head" \
    --commit-out "$scratch/commit" "$zip" || exit
{ read -r commit && read -r commit_time && read -r behind && read -r packer; } <"$scratch/commit"

echo "Building the programs of commit ${commit:0:12} from a clean export of it"
mkdir "$scratch/source"
if ! "${git[@]}" archive --format=tar "$commit" | "${clean[@]}" tar -x -C "$scratch/source"; then
    cannot_check "git archive of commit $commit failed"
fi
if ! (cd "$scratch/source" && "${clean[@]}" cmake --preset release &&
    "${clean[@]}" cmake --build --preset release --parallel "$(nproc)") >"$scratch/build.log" 2>&1; then
    cat "$scratch/build.log"
    cannot_check "the programs of commit $commit did not build here"
fi

status=0
"${python[@]}" release/verify.py compare "${ca[@]}" --commit "$commit" --commit-time "$commit_time" \
    --head "$head" --behind "$behind" --contents "$scratch/source/build/release/release_contents.txt" \
    --packer "$scratch/source/$packer" "$zip" || status=$?
exit "$status"
