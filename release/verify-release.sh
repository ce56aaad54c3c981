#!/bin/bash
# Checks a release ZIP, wherever it came from, by the rules of this
# checkout (its HEAD's scripts), whichever commit of its history the ZIP
# was built from: reads the ZIP (bounded, nothing unpacked) and the commit
# its BUILDINFO.txt names, builds that commit's programs from the
# repository's objects (git archive into a scratch folder, the commit's
# own release preset: files not committed play no part) in the release
# environment the commit's release/environment.lock names (or, for a commit
# older than that file, HEAD's; see release/environment.sh), has that commit's
# own packer make a release of them (release/pack.py --programs
# --buildinfo), and accepts the ZIP only if it is that, byte for byte; for
# a signed release, made of the ZIP's programs once each is shown to be
# this build with one Authenticode signature added.
#
#   scripts/verify-release.sh [--mirror URL] [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP
#
# --mirror: the Debian archive the release environment is made from, when
# no copy of it is kept here; where Debian's archive has moved on from the
# versions the lock names, a snapshot archive that keeps them.
#
# Run it from a checkout whose release/ and scripts/ are as HEAD has them; the commit
# must be in HEAD's history, and its packer must offer the repack
# interface (a release older than that cannot be checked). It prints the
# release's version, its commit and date, how far behind HEAD that lies,
# the package versions BUILDINFO.txt claims (flagged where the release
# environment's differ), and for each program whether it is this source's build and,
# signed, the signer's subject, the SHA-256 fingerprint of its certificate
# and whether the chain verifies: against CA.pem with --ca (then it must),
# else against the system's CA certificates (reported only); and a
# timestamp's time, which must verify against TSA-CA.pem with --tsa-ca,
# else against the system's. It names the release ("release X") or the
# development build ("development build X-N-gHHHHHHHHHHHH") the commit is by
# this checkout's history (release/version.py). The last line is the
# verdict; exit status 0 when accepted, 1 when rejected, 3 when it is this
# source's release but HEAD's history holds a newer release that supersedes
# it, 2 when it cannot be checked here (the check itself failing
# included: interrupted, no network for a package it needs, git refusing
# the checkout, a clone lacking the commit's objects). No environment variable, git
# configuration, attribute file, replace ref or graft changes what it
# checks: git, the build and the checks run with a fixed PATH of system
# folders and nothing of the caller's environment.
#
# No path is taken twice: the ZIP and the --ca files are opened once, by
# the names given (a name with a control character is refused), and copied
# into the scratch folder, which every later step reads. The scratch
# folder is made in /tmp whatever TMPDIR says, private to this user, once
# /tmp is shown to be a folder no other user can rename it in.
set -euo pipefail
export PATH=/usr/bin:/bin LC_ALL=C

usage() {
    echo "usage: scripts/verify-release.sh [--mirror URL] [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP" >&2
    exit 2
}

cannot_check() {
    echo "verify-release: CANNOT CHECK: $*"
    exit 2
}
# Any other failure of a step of this script's own is the check failing,
# never a verdict on the ZIP.
trap 'cannot_check "the check itself failed (exit status $? at line $LINENO of release/verify-release.sh)"' ERR

declare -A given=()
while (($# >= 3)) && [[ ($1 == --ca || $1 == --tsa-ca || $1 == --mirror) && -n $2 ]]; do
    if [[ -v given[$1] ]]; then
        usage
    fi
    given[$1]=$2
    shift 2
done
if (($# != 1)) || [[ -z $1 || $1 == -* ]]; then
    usage
fi
zip=$1
mirror=()
if [[ -v given[--mirror] ]]; then
    mirror=(--mirror "${given[--mirror]}")
    unset 'given[--mirror]'
fi

# Opened once, here, by the names given: nothing later resolves them again.
descriptor=3
for option in ZIP --ca --tsa-ca; do
    if [[ $option == ZIP ]]; then
        name=$zip
    elif [[ -v given[$option] ]]; then
        name=${given[$option]}
    else
        descriptor=$((descriptor + 1))
        continue
    fi
    what=${option/ZIP/the ZIP}
    if [[ $name == *[[:cntrl:]]* ]]; then
        cannot_check "the name given for $what holds a control character (a newline, an escape...): rename it"
    fi
    if [[ -p $name ]]; then
        cannot_check "$what is not a regular file"
    fi
    if ! { eval "exec $descriptor<\"\$name\""; } 2>/dev/null; then
        cannot_check "cannot open $what, $name"
    fi
    if [[ ! -f /dev/fd/$descriptor ]]; then
        cannot_check "$what is not a regular file"
    fi
    descriptor=$((descriptor + 1))
done

# A scratch folder of this user's alone, in /tmp: TMPDIR, a folder another
# user may write, is not followed.
read -r tmp_owner tmp_mode < <(stat -L -c '%u %a' /tmp) || cannot_check "cannot read /tmp"
if [[ -L /tmp || ! -d /tmp || ($tmp_owner != 0 && $tmp_owner != "$(id -u)") ]] ||
    { ((8#$tmp_mode & 8#022)) && ! ((8#$tmp_mode & 8#1000)); }; then
    cannot_check "/tmp is not a folder of root's (or yours) where others cannot rename what is yours (sticky)"
fi
scratch=$(mktemp -d /tmp/verify-release.XXXXXXXXXX) || cannot_check "cannot make a scratch folder in /tmp"
trap 'rm -rf -- "$scratch"' EXIT
trap 'trap - INT TERM HUP; cannot_check "interrupted"' INT TERM HUP
mkdir "$scratch/home" "$scratch/tmp"

cd -- "$(dirname -- "$0")/.."
if ! PATH=/usr/bin:/bin:/usr/sbin:/sbin release/install-deps.sh >"$scratch/deps.log" 2>&1; then
    cat "$scratch/deps.log"
    cannot_check "release/install-deps.sh could not install what the check needs (no network, or no sudo?)"
fi

# Only what the commit holds reaches the checks and the build.
clean=(env -i PATH=/usr/bin:/bin HOME="$scratch/home" TMPDIR="$scratch/tmp" LANG=C.UTF-8)
# git without the caller's GIT_* variables, configuration, attribute files
# or replace refs.
git=("${clean[@]}" GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null GIT_ATTR_NOSYSTEM=1
    GIT_NO_REPLACE_OBJECTS=1 git -c core.attributesFile=/dev/null -c core.fsmonitor=false
    -c core.autocrlf=false -c core.commitGraph=false)

if ! top=$("${git[@]}" rev-parse --show-toplevel 2>"$scratch/git.log"); then
    if grep -q "dubious ownership" "$scratch/git.log"; then
        cannot_check "git refuses this checkout: it belongs to another user (git's safe.directory);" \
            "check from a clone of your own"
    fi
    top=
fi
if [[ -z $top || $(cd "$top" && pwd -P) != "$(pwd -P)" ]]; then
    cannot_check "$(pwd) is not the top of a git checkout; clone the source and run" \
        "scripts/verify-release.sh there"
fi
top=$(pwd -P)
# The rules are HEAD's: the scripts that apply them must be too.
if [[ -n $("${git[@]}" status --porcelain --untracked-files=no -- release scripts) ]]; then
    cannot_check "the checker's scripts (release/, scripts/) differ from HEAD; stash or commit the changes and try again"
fi
head=$("${git[@]}" rev-parse --verify --quiet 'HEAD^{commit}') ||
    cannot_check "this checkout has no HEAD commit"
common=$("${git[@]}" rev-parse --path-format=absolute --git-common-dir)
# A repository of the checkout's objects alone: no refs but what is named
# here, no grafts, no info/attributes, no configuration; a shallow clone's
# list of the commits it holds without their parents, which only cuts
# history short.
"${git[@]}" init -q --bare "$scratch/git"
printf '%s\n' "$common/objects" >"$scratch/git/objects/info/alternates"
if [[ -f $common/shallow ]]; then
    cp -- "$common/shallow" "$scratch/git/shallow"
fi
git+=(--git-dir="$scratch/git")

# The release environment (release/environment.sh), where every step below
# runs, seeing the scratch folder and, read only, this checkout and its
# objects. First HEAD's, for reading the ZIP; the build's is the one its
# commit names.
unpack() {
    local status=0 lock=release/environment.lock snapshot
    if [[ $1 == --lock ]]; then
        lock=$2
    fi
    release/environment.sh unpack "${mirror[@]}" "$@" || status=$?
    if ((status == 3)); then
        snapshot=$(sed -n 's/^snapshot //p' "$lock")
        cannot_check "the release environment cannot be made: the archive lacks the package versions" \
            "named above; give --mirror https://snapshot.debian.org/archive/debian/${snapshot:-<time>}/," \
            "an archive that keeps them"
    elif ((status != 0)); then
        cannot_check "the release environment cannot be made here (see above)"
    fi
}
binds=(--bind "$scratch" --bind-ro "$top" --bind-ro "$common")
root=$scratch/root
in_root() {
    local folder=$1
    shift
    release/environment.sh run "$root" --cd "$folder" "${binds[@]}" -- "${clean[@]}" "$@"
}
# A step of release/verify.py, in the release environment: its verdict
# (1, 2 or 3, printed by itself) ends the check; any other failure is the
# check's own.
verify_step() {
    local status=0
    in_root "$top" /usr/bin/python3 -I release/verify.py "$@" || status=$?
    case $status in
    0) ;;
    1 | 2 | 3) exit "$status" ;;
    *) cannot_check "release/verify.py $1 did not run in the release environment (exit status $status)" ;;
    esac
}
unpack "$root"

# What the steps below read: copies of what the descriptors hold, made by
# the first; the names given are only shown.
names=() copies=(--zip-name "$zip")
for option in --ca --tsa-ca; do
    if [[ -v given[$option] ]]; then
        names+=("$option" "${given[$option]}")
        copies+=("$option" "$scratch/${option#--}/${given[$option]##*/}" "$option-name" "${given[$option]}")
    fi
done
verify_step take --scratch "$scratch" "${names[@]}" "$zip"
exec 3<&- 4<&- 5<&-
zip=$scratch/zip/${zip##*/}

verify_step examine "${copies[@]}" --git-dir "$scratch/git" --head "$head" --commit-out "$scratch/commit" "$zip"
{
    read -r commit && read -r commit_time && read -r behind && read -r packer && read -r version &&
        read -r superseded
} <"$scratch/commit"
if [[ $superseded != - ]]; then
    copies+=(--superseded-by "$superseded")
fi
# A commit older than the lock is built where HEAD's lock says, and said so.
environment="head"
if "${git[@]}" cat-file -e "$commit:release/environment.lock" 2>/dev/null; then
    environment=own
    "${git[@]}" show "$commit:release/environment.lock" >"$scratch/environment.lock"
    if ! cmp -s "$scratch/environment.lock" release/environment.lock; then
        root=$scratch/commit-root
        unpack --lock "$scratch/environment.lock" "$root"
    fi
fi

echo "Building the programs of commit ${commit:0:12} from a clean export of it"
mkdir "$scratch/source"
if ! "${git[@]}" archive --format=tar "$commit" 2>"$scratch/git.log" | "${clean[@]}" tar -x -C "$scratch/source"; then
    cat "$scratch/git.log"
    cannot_check "git archive of commit $commit failed"
fi
# In a subshell: the INT trap, were it to run inside the redirection, would
# say so into the log.
if ! (in_root "$scratch/source" cmake --preset release -DBRELVIK_VERSION="$version" &&
    in_root "$scratch/source" cmake --build --preset release --parallel "$(nproc)") >"$scratch/build.log" 2>&1; then
    cat "$scratch/build.log"
    cannot_check "the programs of commit $commit did not build here"
fi

verify_step compare "${copies[@]}" --version "$version" --commit "$commit" --commit-time "$commit_time" \
    --head "$head" --behind "$behind" --environment "$environment" \
    --contents "$scratch/source/build/release/release_contents.txt" --packer "$scratch/source/$packer" "$zip"
