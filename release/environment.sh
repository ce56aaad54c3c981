#!/usr/bin/env bash
# The release environment: a Debian root with exactly the packages
# release/environment.lock names, made from Debian's archive by mmdebstrap
# and kept between runs, where release.sh and verify-release.sh build. It
# makes a release's bytes the lock's, never the host's.
#
#   release/environment.sh unpack [--mirror URL] [--lock FILE] DIR
#       unpacks the root into DIR (which must not exist), making it first
#       if no intact copy is kept; then checks its installed packages
#       against the lock
#   release/environment.sh prepare [--mirror URL] [--lock FILE]
#       makes the root, or checks the one kept, and unpacks nothing more
#   release/environment.sh run DIR [--cd PATH] [--bind PATH]... [--bind-ro PATH]... -- COMMAND...
#       runs COMMAND in the root unpacked in DIR, as its root user (in a
#       user namespace unless this is root), with the host's /dev, a /proc
#       and /tmp of its own and each PATH at the same path
#   release/environment.sh lock [--mirror URL] [--lock FILE]
#       writes the lock anew: the INSTALL packages of the
#       lock at the versions the archive has now, with everything they
#       bring (a deliberate change, committed on its own); keeps the root
#       it made for them, and the lock itself for as long as the archive's
#       package lists stay the same
#   release/environment.sh check [--lock FILE]
#       checks, offline, that the lock is well formed, names each package
#       once and each package of its install lines; prints its suite,
#       snapshot time, package count and its kept root's key
#
# --lock FILE: that lock (another commit's, a copy), not
# release/environment.lock.
# --mirror URL: the Debian archive to take the packages from (default
# http://deb.debian.org/debian); the security archive is read beside it,
# at URL-security, or for a snapshot archive
# (https://snapshot.debian.org/archive/debian/TIME/) at its debian-security
# twin.
#
# The root is kept in BRELVIK_RELEASE_CACHE (default ~/.cache/brelvik-release)
# as a tarball named after the lock's contents, with its SHA-256 beside it,
# and made again when either is missing or they disagree. lock keeps there
# what it resolved (resolved-KEY.lock, a few KB), under a key of what
# decides it: the recipe, the suite, the install lines, the archive's URL
# and the SHA-256 its suites' InRelease files give their package lists.
#
# Exit status: 0 done; 3 the archive lacks versions the lock names (each
# printed as "cannot get PACKAGE VERSION"); 2 any other failure (a missing
# tool, no network, no space), with its cause on standard error. run exits
# with COMMAND's status, or 125 when it could not start COMMAND.
set -euo pipefail
export LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin

here=$(cd "$(dirname "$0")" && pwd -P)
lock_file=$here/environment.lock
DEFAULT_MIRROR=http://deb.debian.org/debian
# Part of the kept root's name with the lock's contents: raised when the
# way a root is made changes, so that no root made the old way is used.
RECIPE=2

fail() {
    echo "release environment: $*" >&2
    exit 2
}

usage() {
    echo "usage: release/environment.sh unpack [--mirror URL] [--lock FILE] DIR" >&2
    echo "       release/environment.sh prepare [--mirror URL] [--lock FILE]" >&2
    echo "       release/environment.sh run DIR [--cd PATH] [--bind PATH]... [--bind-ro PATH]... -- COMMAND..." >&2
    echo "       release/environment.sh lock [--mirror URL] [--lock FILE]" >&2
    echo "       release/environment.sh check [--lock FILE]" >&2
    exit 2
}

# The lock's KEY lines' values, one a line.
lock_values() {
    sed -n "s/^$1 //p" "$lock_file"
}

# The security archive that goes with the archive at $1.
security_of() {
    case $1 in
    */archive/debian/*) echo "${1/\/archive\/debian\//\/archive\/debian-security\/}" ;;
    *) echo "${1%/}-security" ;;
    esac
}

# mmdebstrap's sources for the lock's suite from archive $1.
sources() {
    local suite
    suite=$(lock_values suite)
    printf '%s\n' "deb $1 $suite main" "deb $1 $suite-updates main" "deb $1 $suite-backports main" \
        "deb $(security_of "$1") $suite-security main"
}

# The root's packages as the lock lists them: "package NAME VERSION".
installed() {
    # dpkg-query lists nothing, and succeeds, where there is no status file.
    [[ -f $1/var/lib/dpkg/status ]] || fail "$1 holds no dpkg status file"
    # shellcheck disable=SC2016 # dpkg-query's fields, not the shell's
    dpkg-query --admindir="$1/var/lib/dpkg" -W -f='${db:Status-Status} ${Package} ${Version}\n' |
        sed -n 's/^installed /package /p' | sort
}

# Lock $1 (the lock by default) in the form release/environment.sh lock
# writes, or a failure naming its first other line.
check_lock() {
    local file=${1:-$lock_file} bad
    bad=$(grep -n -v -E '^(#.*|suite [a-z]+|snapshot [0-9]{8}T[0-9]{6}Z|install [a-z0-9][a-z0-9+./-]*|package [a-z0-9][a-z0-9+.-]* [0-9][A-Za-z0-9.+~:-]*)?$' \
        "$file" | head -n 1) || true
    [[ -z $bad && $(grep -c '^suite ' "$file") -eq 1 && $(grep -c '^package ' "$file") -gt 0 ]] ||
        fail "$file is not a lock release/environment.sh writes${bad:+ (line ${bad%%:*})}"
}

# Lock $1 as check_lock takes it, naming each package once, with one
# snapshot line and a package line for each install line; or a failure
# saying which of these it is not.
check_whole() {
    local names twice missing
    check_lock "$1"
    names=$(sed -n 's/^package \([^ ]*\) .*/\1/p' "$1")
    twice=$(sort <<<"$names" | uniq -d | tr '\n' ' ')
    [[ -z $twice ]] || fail "$1 names these packages more than once: ${twice% }"
    missing=$(sed -n 's,^install \([^/]*\).*,\1,p' "$1" | sort -u | comm -23 - <(sort -u <<<"$names") | tr '\n' ' ')
    [[ -z $missing ]] || fail "$1 installs what no package line of it names: ${missing% }"
    [[ $(grep -c '^snapshot ' "$1") -eq 1 ]] || fail "$1 has not one snapshot line"
}

# The name lock $1's root is kept under: its packages, and the recipe.
root_key() {
    { echo "recipe $RECIPE"; grep -E '^(suite|package) ' "$1"; } | sha256sum | cut -c1-16
}

cache_folder() {
    cache=${BRELVIK_RELEASE_CACHE:-${HOME:?}/.cache/brelvik-release}
    mkdir -p -- "$cache" || fail "cannot make the cache folder $cache"
}

# The roots of three locks at most and ten resolutions: the newest.
prune_cache() {
    local old
    find "$cache" -maxdepth 1 -name 'root-*.tar' -printf '%T@ %p\n' | sort -rn | tail -n +4 |
        while read -r _ old; do
            rm -rf -- "$old" "$old.sha256" "$old.log" "${old%.tar}.d" "${old%.tar}.d.stamp"
        done
    find "$cache" -maxdepth 1 -name 'resolved-*.lock' -printf '%T@ %p\n' | sort -rn | tail -n +11 |
        while read -r _ old; do
            rm -f -- "$old"
        done
}

# What decides lock's resolution on archive $1 beyond the lock's lines:
# the URL of each suite's InRelease file and the SHA-256 it gives the main
# package lists. Fails when one cannot be read or names none.
archive_state() {
    local suite where url lists
    suite=$(lock_values suite)
    for where in "$1 $suite" "$1 $suite-updates" "$1 $suite-backports" "$(security_of "$1") $suite-security"; do
        url="${where% *}"
        url="${url%/}/dists/${where##* }/InRelease"
        /usr/lib/apt/apt-helper download-file "$url" "$scratch/InRelease" >/dev/null 2>&1 || return 1
        lists=$(awk '/^[^ ]/ { sha = ($1 == "SHA256:") }
            sha && ($3 == "main/binary-amd64/Packages" || $3 == "main/binary-all/Packages") { print $1, $3 }' \
            "$scratch/InRelease")
        rm -f -- "$scratch/InRelease"
        [[ -n $lists ]] || return 1
        printf '%s\n' "$url" "$lists"
    done
}

# Unpacks tarball $2 into the new folder $1, but for the device files,
# which a user cannot make (the host's /dev is mounted there).
unpack_into() {
    mkdir -p -- "$1.new"
    tar -C "$1.new" --no-same-owner --exclude='./dev/*' -xf "$2" 2>"$1.log" ||
        fail "cannot unpack $2: $(tail -n 1 "$1.log")"
    rm -f -- "$1.log"
    mv -- "$1.new" "$1"
}

# Runs a command in a mount and process namespace of its own (and a user
# namespace that maps this user to root, unless this is root).
in_namespace() {
    local namespace=(unshare --mount --pid --fork --kill-child)
    # Root needs no user namespace to mount (and may not make one inside a
    # chroot).
    if [[ $(id -u) -ne 0 ]]; then
        namespace+=(--user --map-root-user)
    fi
    "${namespace[@]}" "$@"
}

# The mount of run folder $1's overlay root.
overlay_command() {
    local options
    options="lowerdir=$(readlink -- "$1/lower"),upperdir=$1/upper,workdir=$1/work"
    if [[ $(id -u) -ne 0 ]]; then
        options+=,userxattr
    fi
    printf 'mount -t overlay overlay -o %q %q' "$options" "$1/merged"
}

need_mmdebstrap() {
    command -v mmdebstrap >/dev/null ||
        fail "mmdebstrap is not installed (release/install-deps.sh installs it)"
    if [[ $(id -u) -ne 0 ]]; then
        command -v newuidmap >/dev/null ||
            fail "making the root as a user needs newuidmap (the uidmap package) and a range in /etc/subuid"
    fi
}

# Runs mmdebstrap into tarball $1 from archive $2 with the further options
# given; its log goes to $1.log.
bootstrap() {
    local tarball=$1 mirror=$2
    shift 2
    local suite list=()
    suite=$(lock_values suite)
    mapfile -t list < <(sources "$mirror")
    # apt's package lists stay: they give each .deb's SHA-256 for the SBOM.
    # Without the caller's descriptors (the ZIP's, the cache's lock): with
    # them open, mmdebstrap's hooks get descriptor numbers past 9, which
    # dash, the root's /bin/sh, cannot redirect.
    mmdebstrap --mode=auto --variant=minbase --format=tar --skip=cleanup/apt/lists "$@" \
        "$suite" "$tarball" "${list[@]}" >"$tarball.log" 2>&1 3<&- 4<&- 5<&- 6<&- 7<&- 8<&- 9<&-
}

# mmdebstrap's first hook, which stops the making of a root before anything
# is downloaded when the archive lacks versions the lock names: prints each
# as "cannot get PACKAGE VERSION" (into mmdebstrap's log) and fails. It is
# a script of its own, with the versions in it: in mmdebstrap's unshare
# mode the hook runs as another user, who may read nothing of this user's.
availability_hook() {
    local wanted=() names=() entry
    for entry in "$@"; do
        wanted+=("${entry%%=*} ${entry#*=}")
        names+=("${entry%%=*}")
    done
    cat <<EOF
set -e
export LC_ALL=C APT_CONFIG="\$MMDEBSTRAP_APT_CONFIG"
apt-get -qq update >&2
apt-cache madison $(printf '%q ' "${names[@]}")| awk -F ' *[|] *' '{ sub(/^ +/, "", \$1); print \$1, \$2 }' | sort -u >"\$1/available"
printf '%s\\n' $(printf '%q ' "${wanted[@]}")| sort | comm -23 - "\$1/available" >"\$1/missing"
rm -f "\$1/available"
if [ -s "\$1/missing" ]; then sed 's/^/cannot get /' "\$1/missing" >&2; rm -f "\$1/missing"; exit 1; fi
rm -f "\$1/missing"
EOF
}

# mmdebstrap's second hook: apt prefers the lock's versions (1001 lets it
# go back to one older than another suite's) in every stage, the
# Priority:required packages' included, where --include alone would leave
# them at the newest. The customize hook removes it again.
PINS=etc/apt/preferences.d/release-environment.pref
pins_hook() {
    local entry lines=()
    for entry in "$@"; do
        lines+=("Package: ${entry%%=*}" "Pin: version ${entry#*=}" "Pin-Priority: 1001" "")
    done
    printf '%s\n' "printf '%s\\n' $(printf '%q ' "${lines[@]}")>\"\$1/$PINS\""
}

# Says which versions the lock names that the archive did not give
# (FILE: "cannot get" lines) and exits with 3.
unavailable() {
    cat -- "$1" >&2
    rm -f -- "$1"
    echo "release environment: $mirror has not got these versions, which $lock_file names" \
        "(snapshot $(lock_values snapshot))" >&2
    exit 3
}

command=${1-}
(($#)) && shift
mirror=$DEFAULT_MIRROR
if [[ $command == unpack || $command == prepare || $command == lock || $command == check ]]; then
    while [[ ($command != check && ${1-} == --mirror) || ${1-} == --lock ]]; do
        (($# >= 2)) || usage
        if [[ $1 == --mirror ]]; then
            mirror=$2
        else
            lock_file=$(realpath -- "$2")
        fi
        shift 2
    done
    [[ $mirror =~ ^(https?|file):// && $mirror != *[[:space:]]* ]] ||
        fail "--mirror wants the URL of a Debian archive (http://, https:// or file://), not $mirror"
fi
[[ -f $lock_file ]] || fail "no $lock_file"
if [[ $command == unpack || $command == prepare ]]; then
    check_lock
fi

case $command in
lock)
    (($# == 0)) || usage
    cache_folder
    scratch=$(mktemp -d)
    making=$cache/making-$$.tar
    trap 'rm -rf -- "$scratch" "$making" "$making.log"' EXIT
    exec 9>"$cache/lock"
    flock 9
    resolution=
    if state=$(archive_state "$mirror"); then
        resolution=$({
            echo "recipe $RECIPE"
            grep -E '^(suite|install) ' "$lock_file"
            echo "mirror $mirror"
            echo "$state"
        } | sha256sum | cut -c1-16)
    else
        echo "release environment: cannot read the InRelease files of $mirror; resolving anew" >&2
    fi
    resolved=$cache/resolved-$resolution.lock
    if [[ -n $resolution && -f $resolved ]]; then
        echo "The archive's package lists are as when $resolved was resolved: that lock, nothing made" >&2
        touch -- "$resolved"
        cp -- "$resolved" "$scratch/resolved"
    else
        need_mmdebstrap
        mapfile -t include < <(lock_values install)
        echo "Making a root of the archive's current versions of: ${include[*]} (a few minutes)" >&2
        bootstrap "$making" "$mirror" --include="$(
            IFS=,
            echo "${include[*]}"
        )" || fail "mmdebstrap failed: $(tail -n 3 "$making.log")"
        mkdir "$scratch/root"
        tar -C "$scratch/root" -xf "$making" ./var/lib/dpkg/status
        # snapshot.debian.org takes the archive in a few times a day: the
        # next day's start is a time at which it holds what the archive has
        # now.
        {
            echo "snapshot $(date -u -d tomorrow +%Y%m%dT000000Z)"
            installed "$scratch/root"
        } >"$scratch/resolved"
    fi
    {
        sed -n '/^package /q; s/^snapshot .*/'"$(grep -m 1 '^snapshot ' "$scratch/resolved")"'/; p' "$lock_file"
        grep '^package ' "$scratch/resolved"
    } >"$scratch/lock"
    if ! (check_whole "$scratch/lock"); then
        rm -f -- "$resolved"
        fail "the lock resolved is not whole; removed from the cache, run this again"
    fi
    key=$(root_key "$scratch/lock")
    # The root made is the new lock's: unpack takes it from the cache.
    if [[ -f $making ]]; then
        tarball=$cache/root-$key.tar
        if ! [[ -f $tarball && -f $tarball.sha256 ]]; then
            mv -- "$making" "$tarball"
            mv -- "$making.log" "$tarball.log"
            (cd "$cache" && sha256sum -- "${tarball##*/}" >"$tarball.sha256")
        fi
        if [[ -n $resolution ]]; then
            cp -- "$scratch/resolved" "$resolved"
        fi
        prune_cache
    fi
    mv -- "$scratch/lock" "$lock_file"
    echo "$lock_file: $(grep -c '^package ' "$lock_file") packages, its root's key $key" >&2
    ;;

check)
    (($# == 0)) || usage
    check_whole "$lock_file"
    echo "$lock_file: suite $(lock_values suite), snapshot $(lock_values snapshot)," \
        "$(grep -c '^package ' "$lock_file") packages, its root's key $(root_key "$lock_file")"
    ;;

unpack | prepare)
    target=
    if [[ $command == unpack ]]; then
        (($# == 1)) || usage
        target=$1
        [[ ! -e $target ]] || fail "$target exists"
    else
        (($# == 0)) || usage
    fi
    cache_folder
    key=$(root_key "$lock_file")
    tarball=$cache/root-$key.tar
    exec 9>"$cache/lock"
    flock 9
    tree=$cache/root-$key.d
    # The tree is kept unpacked beside the tarball it was unpacked from
    # (its stamp: the tarball's SHA-256, checked then).
    if [[ -f $tree.stamp && -f $tarball.sha256 ]] && cmp -s "$tree.stamp" "$tarball.sha256"; then
        :
    elif ! [[ -f $tarball && -f $tarball.sha256 ]] || ! (cd "$cache" && sha256sum --quiet --strict -c "$tarball.sha256" 2>/dev/null); then
        need_mmdebstrap
        rm -f -- "$tarball" "$tarball.sha256"
        mapfile -t pinned < <(lock_values package | tr ' ' =)
        echo "Making the release environment ($(lock_values suite), ${#pinned[@]} packages pinned) from $mirror;" \
            "kept in $cache (a few minutes, once)" >&2
        if ! bootstrap "$tarball.new" "$mirror" \
            --setup-hook="$(availability_hook "${pinned[@]}")" \
            --setup-hook="$(pins_hook "${pinned[@]}")" \
            --customize-hook="rm -f \"\$1/$PINS\"" \
            --include="$(
                IFS=,
                echo "${pinned[*]}"
            )" --aptopt='APT::Get::allow-downgrades "true"'; then
            rm -f -- "$tarball.new"
            if grep -q '^cannot get ' "$tarball.new.log"; then
                grep '^cannot get ' "$tarball.new.log" >"$tarball.missing"
                rm -f -- "$tarball.new.log"
                unavailable "$tarball.missing"
            fi
            fail "mmdebstrap failed (its log: $tarball.new.log): $(grep -E '^(E|W): ' "$tarball.new.log" | tail -n 5)"
        fi
        # A root of other versions than the lock's is never kept.
        rm -rf -- "$tarball.status"
        mkdir -- "$tarball.status"
        tar -C "$tarball.status" -xf "$tarball.new" ./var/lib/dpkg/status
        if ! diff <(lock_values package | sed 's/^/package /' | sort) <(installed "$tarball.status") \
            >"$tarball.diff"; then
            sed -n 's/^< package /cannot get /p' "$tarball.diff" >"$tarball.missing"
            rm -rf -- "$tarball.new" "$tarball.new.log" "$tarball.status" "$tarball.diff"
            unavailable "$tarball.missing"
        fi
        rm -rf -- "$tarball.status" "$tarball.diff"
        mv -- "$tarball.new" "$tarball"
        mv -- "$tarball.new.log" "$tarball.log"
        (cd "$cache" && sha256sum -- "${tarball##*/}" >"$tarball.sha256")
        prune_cache
    fi
    unpacked=false
    if ! [[ -f $tree.stamp ]] || ! cmp -s "$tree.stamp" "$tarball.sha256"; then
        rm -rf -- "$tree" "$tree.stamp"
        unpack_into "$tree" "$tarball"
        cp -- "$tarball.sha256" "$tree.stamp"
        unpacked=true
    fi
    # Checked at each use: the packages installed are exactly the lock's.
    if ! diff <(lock_values package | sed 's/^/package /' | sort) <(installed "$tree") >"$tree.diff"; then
        echo "release environment: the root kept as $tree is not what the lock names:" >&2
        head -n 10 "$tree.diff" >&2
        rm -f -- "$tree.stamp" "$tree.diff"
        # Unpacked just now, the tree is the tarball: that is what is wrong.
        if $unpacked; then
            rm -f -- "$tarball" "$tarball.sha256"
            fail "it will be made anew on the next run"
        fi
        fail "it will be unpacked anew on the next run"
    fi
    rm -f -- "$tree.diff"
    [[ -n $target ]] || exit 0
    # Each run's root: the kept tree under an overlay that takes its
    # writes, where the kernel allows one (else a copy).
    mkdir -p -- "$target/upper" "$target/work" "$target/merged"
    ln -s -- "$tree" "$target/lower"
    if [[ "$tree$target" == *[,:]* ]] || ! in_namespace /bin/sh -c "$(overlay_command "$target")" 2>/dev/null; then
        rm -rf -- "$target"
        unpack_into "$target" "$tarball"
    fi
    flock -u 9
    ;;

run)
    (($# >= 1)) || usage
    folder=$(cd "$1" && pwd -P) || { echo "release environment: no root in $1" >&2; exit 125; }
    shift
    root=$folder mount_overlay=:
    if [[ -L $folder/lower ]]; then
        root=$folder/merged mount_overlay=$(overlay_command "$folder")
    fi
    cd_to=/
    binds=()
    while (($#)); do
        case $1 in
        --cd) (($# >= 2)) || usage; cd_to=$2; shift 2 ;;
        --bind | --bind-ro) (($# >= 2)) || usage; binds+=("$1" "$(realpath -- "$2")"); shift 2 ;;
        --) shift; break ;;
        *) usage ;;
        esac
    done
    (($#)) || usage
    [[ -x $root/bin/sh || -x $folder/lower/bin/sh ]] || { echo "release environment: no root in $folder" >&2; exit 125; }
    for shared in /etc/ssl/certs /usr/share/ca-certificates; do
        if [[ -d $shared ]]; then
            binds+=(--bind-ro "$shared")
        fi
    done
    if ! in_namespace true 2>"$folder.unshare.log"; then
        echo "release environment: cannot make a namespace to run in: $(tail -n 1 "$folder.unshare.log")" \
            "(a user needs user namespaces; see /proc/sys/user/max_user_namespaces)" >&2
        rm -f -- "$folder.unshare.log"
        exit 125
    fi
    rm -f -- "$folder.unshare.log"
    # shellcheck disable=SC2016 # expanded by the inner bash
    in_namespace /bin/bash -c '
        set -e
        trap "exit 125" ERR
        eval "$4"
        root=$1 cd_to=$2 count=$3
        shift 4
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount -t tmpfs tmpfs "$root/tmp"
        while ((count)); do
            # Its mount point, made once /tmp is mounted.
            if [[ -d $2 ]]; then
                mkdir -p -- "$root$2"
            else
                mkdir -p -- "$(dirname -- "$root$2")"
                : >>"$root$2"
            fi
            mount --bind "$2" "$root$2"
            if [[ $1 == --bind-ro ]]; then
                mount -o remount,bind,ro "$root$2"
            fi
            shift 2
            count=$((count - 1))
        done
        exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$cd_to" "$@"
    ' environment "$root" "$cd_to" $((${#binds[@]} / 2)) "$mount_overlay" "${binds[@]}" "$@"
    ;;

*) usage ;;
esac
