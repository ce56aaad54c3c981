#!/usr/bin/env bash
# What Windows users download, made from this checkout's HEAD commit: a
# clean export of the commit (git archive) is built in Release in the
# release environment (release/environment.sh: a Debian root with exactly
# the packages release/environment.lock names, whatever this host runs),
# under an environment of fixed contents, then checked and packed there by
# the commit's own release/check_pe.py and release/pack.py. Nothing of the
# working tree, of an existing build folder, of the host's packages or of
# the caller's environment reaches the programs; a tree with changed or
# untracked files is refused, since its release would name a commit it is
# not. Writes dist/ anew:
# <version> is the commit's by the history (release/version.py): X.Y.Z for
# the commit that is release X.Y.Z, X.Y.Z-N-gHHHHHHHHHHHH for others.
#   BRELVIK_DFU_SWITCH-<version>-win64.zip   both programs, USER_GUIDE.txt,
#                                            BUILDINFO.txt, THIRD_PARTY_NOTICES.txt
#                                            and the SBOM (.cdx.json), in the folder
#                                            BRELVIK_DFU_SWITCH-<version>/
#   BRELVIK_DFU_SWITCH-<version>/            the ZIP's files, unpacked
#   SHA256SUMS                               check with: cd dist && sha256sum -c SHA256SUMS
# The ZIP's entries carry the commit's committer time (a SOURCE_DATE_EPOCH
# of another value is refused).
#
#   scripts/release.sh [--mirror URL] [--sign CERT KEY [--timestamp URL]]
#
# --mirror: the Debian archive the release environment is made from, the
# first time (see release/environment.sh).
# --sign signs both programs (Authenticode, SHA-256, signing time the
# commit's) before they are packed: CERT is a PEM file with the signing
# certificate followed by any intermediates (a self-signed certificate
# after the first, a root, is left out, saying so), KEY its PEM private key, kept
# outside this tree; a passphrase comes from the environment variable
# BRELVIK_SIGN_PASSPHRASE, which this script takes out of its environment
# at once and hands to osslsigncode alone. --timestamp has the signatures
# timestamped by that RFC 3161 server (the bytes then differ every run).
set -euo pipefail

unset passphrase
if [[ -v BRELVIK_SIGN_PASSPHRASE ]]; then
    passphrase=$BRELVIK_SIGN_PASSPHRASE
    unset BRELVIK_SIGN_PASSPHRASE
fi

usage() {
    echo "usage: scripts/release.sh [--mirror URL] [--sign CERT KEY [--timestamp URL]]" >&2
    exit 2
}

refuse() {
    echo "release: $*" >&2
    exit 1
}

sign=()
timestamp=()
mirror=()
while (($#)); do
    case $1 in
    --mirror)
        (($# >= 2)) || usage
        mirror=(--mirror "$2")
        shift 2
        ;;
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
top=$(pwd -P)
if ((${#sign[@]})); then
    case ${sign[2]} in
    "$top"/*)
        echo "release: keep the signing key outside the source tree, not at ${sign[2]}" >&2
        exit 2
        ;;
    esac
fi

release/install-deps.sh

# git without the caller's configuration, attribute files or replace refs.
git=(env GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null GIT_ATTR_NOSYSTEM=1 GIT_NO_REPLACE_OBJECTS=1
    git -c core.attributesFile=/dev/null -c core.fsmonitor=false)
checkout=$("${git[@]}" rev-parse --show-toplevel 2>/dev/null) || checkout=
if [[ -z $checkout || $(cd "$checkout" && pwd -P) != "$top" ]]; then
    refuse "$top is not the top of a git checkout; a release is made from a commit of one"
fi
commit=$("${git[@]}" rev-parse --verify --quiet 'HEAD^{commit}') || refuse "this checkout has no commit"
changed=$("${git[@]}" status --porcelain --untracked-files=all)
if [[ -n $changed ]]; then
    echo "release: this tree is not commit ${commit:0:12} as it stands (changed or untracked files):" >&2
    head -n 10 <<<"$changed" | sed 's/^/release:   /' >&2
    refuse "commit the changes, or stash them (git stash -u), and try again"
fi
committed=$("${git[@]}" log -1 --format=%ct "$commit")
if [[ -n ${SOURCE_DATE_EPOCH:-} && $SOURCE_DATE_EPOCH != "$committed" ]]; then
    refuse "SOURCE_DATE_EPOCH is $SOURCE_DATE_EPOCH, but commit ${commit:0:12} was made at" \
        "$committed; a release is dated by its commit alone: unset SOURCE_DATE_EPOCH"
fi

scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
mkdir "$scratch/home" "$scratch/source" "$scratch/tmp"
status=0
release/environment.sh unpack "${mirror[@]}" "$scratch/root" || status=$?
if ((status == 3)); then
    refuse "the release environment cannot be made: Debian's archive no longer has the versions above," \
        "which release/environment.lock names; make the lock anew (release/environment.sh lock), commit it," \
        "and release that commit"
elif ((status != 0)); then
    refuse "the release environment cannot be made here (see above)"
fi
# A repository of this checkout's objects alone: no info/attributes, no
# grafts, no configuration of its own.
common=$("${git[@]}" rev-parse --path-format=absolute --git-common-dir)
# What runs in the release environment sees the scratch folder, this
# checkout's objects (read only) and the signing files, nothing else of
# the host's.
binds=(--bind "$scratch" --bind-ro "$common")
if ((${#sign[@]})); then
    binds+=(--bind-ro "${sign[1]}" --bind-ro "${sign[2]}")
fi
in_root() {
    local folder=$1
    shift
    release/environment.sh run "$scratch/root" --cd "$folder" "${binds[@]}" -- \
        env -i PATH=/usr/bin:/bin HOME="$scratch/home" TMPDIR="$scratch/tmp" LANG=C.UTF-8 "$@"
}
"${git[@]}" init -q --bare "$scratch/git"
printf '%s\n' "$common/objects" >"$scratch/git/objects/info/alternates"
if [[ -f $common/shallow ]]; then
    cp -- "$common/shallow" "$scratch/git/shallow"
fi
# The version, by the history (release/version.py): the commit's own
# release, or a development build named after the last release.
cp release/version.py "$scratch/version.py"
version=$(in_root / /usr/bin/python3 -I "$scratch/version.py" --git-dir "$scratch/git" "$commit") ||
    refuse "cannot tell the version of commit ${commit:0:12}"
said=$("${git[@]}" log -1 --format='%(trailers:key=Release,valueonly,separator=%x2C)' "$commit")
if [[ -n $said && $said != "$version" ]]; then
    refuse "commit ${commit:0:12} says it is release $said, but by the history it is $version: the" \
        "version CMakeLists.txt gives must be that, and no earlier release's"
fi
echo "Version: $version"
echo "Building the programs of commit ${commit:0:12} from a clean export of it"
"${git[@]}" --git-dir="$scratch/git" archive --format=tar "$commit" | tar -x -C "$scratch/source"
in_root "$scratch/source" cmake --preset release -DBRELVIK_VERSION="$version" >/dev/null
in_root "$scratch/source" cmake --build --preset release --parallel "$(nproc)"

contents=$scratch/source/build/release/release_contents.txt
mapfile -t programs < <(sed -n 's/^program //p' "$contents")
in_root / /usr/bin/python3 -I "$scratch/source/release/check_pe.py" --version "$version" --release \
    "${programs[@]}"

in_root / /usr/bin/python3 -I "$scratch/source/release/pack.py" --contents "$contents" \
    --epoch "$committed" --commit "$commit" "${sign[@]}" "${timestamp[@]}" \
    ${passphrase+--passphrase-fd 3} --out "$scratch/dist" 3< <(printf %s "${passphrase-}")
rm -rf dist
mv -- "$scratch/dist" dist
(cd dist && sha256sum -c SHA256SUMS)
echo
ls -l dist dist/*/
