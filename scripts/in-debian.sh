#!/usr/bin/env bash
# Runs a command in a fresh root of a supported Debian release, on a clean
# clone of this checkout's commit (HEAD; uncommitted changes are not in it).
#
#   scripts/in-debian.sh [--user] [--keep] [--release-cache] RELEASE COMMAND [ARG...]
#   scripts/in-debian.sh --prepare RELEASE
#   scripts/in-debian.sh --supported
#
# RELEASE is a codename or a version number of SUPPORTED below. The root is
# a minimal one (debootstrap --variant=minbase) from Debian's archive, plus
# git, ca-certificates and sudo; COMMAND runs in the clone's top folder.
# --user runs it as an unprivileged user who may use sudo, as a contributor
# would; without it, as root. --release-cache gives the root a copy of the
# release environments this machine keeps (release/environment.sh), which
# are the same on every host, and of the locks it resolved, so that its
# tests need not make one again.
# --keep leaves the root in place for a look
# (its path is printed). --prepare only makes the release's root if no
# usable one is kept, so that CI can make it while other work runs; a run
# started meanwhile waits for it. --supported prints the supported releases'
# codenames, one a line.
#
# Needs root (re-runs itself through sudo) and debootstrap. The first run of
# a release makes its root (about 5 minutes) and keeps it as a tarball in
# BRELVIK_DEBIAN_CACHE (default /var/cache/brelvik-debian), with the
# packages later runs download; each run unpacks it anew. A kept root older
# than BRELVIK_DEBIAN_MAX_AGE days (default 7) is made again. The archive:
# DEBIAN_MIRROR, else the host's own Debian mirror.
#
# The exit status is COMMAND's (125 when the root could not be set up).
set -euo pipefail

# version:codename of each supported release, oldest first.
SUPPORTED=(12:bookworm 13:trixie)
# What the root has before the command runs, besides debootstrap's minbase.
BASE_PACKAGES=(git ca-certificates sudo)
USER_NAME=builder

usage()
{
    echo "usage: scripts/in-debian.sh [--user] [--keep] [--release-cache] RELEASE COMMAND [ARG...]" >&2
    echo "       scripts/in-debian.sh --prepare RELEASE" >&2
    echo "       scripts/in-debian.sh --supported" >&2
    exit 2
}

if [[ $(id -u) -ne 0 && ${1-} != --supported ]]; then
    exec sudo -- "$0" "$@"
fi

as_user=false
keep=false
release_cache=false
prepare=false
while (($#)); do
    case $1 in
    --supported)
        for entry in "${SUPPORTED[@]}"; do echo "${entry#*:}"; done
        exit 0
        ;;
    --user) as_user=true ;;
    --keep) keep=true ;;
    --release-cache) release_cache=true ;;
    --prepare) prepare=true ;;
    -*) usage ;;
    *) break ;;
    esac
    shift
done
if $prepare; then (($# == 1)) || usage; else (($# >= 2)) || usage; fi
release=
for entry in "${SUPPORTED[@]}"; do
    if [[ $1 == "${entry%%:*}" || $1 == "${entry#*:}" ]]; then
        release=${entry#*:}
    fi
done
if [[ -z $release ]]; then
    echo "in-debian: $1 is not a supported release (${SUPPORTED[*]})" >&2
    exit 2
fi
shift

top=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
commit=$(git -C "$top" rev-parse HEAD)
if ! $prepare && [[ -n $(git -C "$top" status --porcelain --untracked-files=no) ]]; then
    echo "in-debian: uncommitted changes are left out: the root gets commit $commit" >&2
fi

cache=${BRELVIK_DEBIAN_CACHE:-/var/cache/brelvik-debian}
max_age=${BRELVIK_DEBIAN_MAX_AGE:-7}
tarball=$cache/$release-minbase.tar.gz
archives=$cache/$release-archives

die()
{
    echo "in-debian: $*" >&2
    exit 125
}

# The host's Debian mirror: the first URIs of its sources that is not the
# security archive's.
host_mirror()
{
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -e $file ]] || continue
        sed -n 's/^URIs: *\([^ ]*\).*/\1/p' "$file"
    done
    sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null || true
}
mirror=${DEBIAN_MIRROR:-$(host_mirror | grep -v -- '-security' | head -n 1)}
mirror=${mirror:-http://deb.debian.org/debian}
# Debian's layout: the security archive beside the main one.
security=${mirror%/}-security

# Whether the kept root can be used: made within max_age days, intact.
cached()
{
    [[ -f $tarball && -f $tarball.sha256 ]] || return 1
    [[ -n $(find "$tarball" -mtime "-$max_age") ]] || return 1
    (cd "$cache" && sha256sum --quiet -c "$tarball.sha256")
}

make_root()
{
    local seed=$cache/$release-seed
    making=true
    command -v debootstrap >/dev/null || {
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    } || return 1
    rm -rf --one-file-system "$seed"
    echo "in-debian: making a $release root from $mirror (a few minutes)" >&2
    debootstrap --variant=minbase "$release" "$seed" "$mirror" >"$cache/$release-debootstrap.log" 2>&1 ||
        { echo "in-debian: debootstrap failed, see $cache/$release-debootstrap.log" >&2; return 1; }
    cat >"$seed/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb $security $release-security main
EOF
    # The rest as a new machine has it once updated and given the basics.
    unsafe_io "$seed" && mount_root "$seed" &&
        chroot "$seed" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
            sh -c "apt-get update -qq && apt-get upgrade -y -qq && apt-get install -y -qq ${BASE_PACKAGES[*]} && apt-get clean" \
            >>"$cache/$release-debootstrap.log" 2>&1
    local status=$?
    unmount_root "$seed" || return 1
    ((status == 0)) || { echo "in-debian: setting up the $release root failed, see $cache/$release-debootstrap.log" >&2; return 1; }
    tar -C "$seed" --numeric-owner -czf "$tarball.new" . &&
        mv "$tarball.new" "$tarball" &&
        (cd "$cache" && sha256sum "$(basename "$tarball")" >"$tarball.sha256") &&
        rm -rf --one-file-system "$seed"
}

# A root lives for one run: dpkg need not sync every file it unpacks, which
# on a busy machine costs minutes in the packages the tests install.
unsafe_io()
{
    echo force-unsafe-io >"$1/etc/dpkg/dpkg.cfg.d/in-debian-unsafe-io"
}

mounted_under()
{
    awk -v root="$1" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo
}

mount_root()
{
    local root=$1
    mount -t proc proc "$root/proc" &&
        mount -t sysfs -o ro sysfs "$root/sys" &&
        mount --bind /dev "$root/dev" &&
        mount --bind /dev/pts "$root/dev/pts" &&
        mount -t tmpfs tmpfs "$root/dev/shm" &&
        cp /etc/resolv.conf "$root/etc/resolv.conf"
}

# The processes left running in the root (a wineserver, say): by their id.
stop_processes()
{
    local root=$1 entry pids
    for signal in TERM KILL; do
        pids=()
        for entry in /proc/[0-9]*; do
            [[ $(readlink "$entry/root" 2>/dev/null) == "$root" ]] && pids+=("${entry#/proc/}")
        done
        ((${#pids[@]})) || return 0
        kill "-$signal" "${pids[@]}" 2>/dev/null || true
        sleep 1
    done
}

unmount_root()
{
    local root=$1 point
    stop_processes "$root"
    # Deepest first.
    while read -r point; do
        [[ -n $point ]] && { umount "$point" || umount -l "$point"; }
    done < <(mounted_under "$root" | sort -r)
    [[ -z $(mounted_under "$root") ]]
}

mkdir -p "$cache" "$archives"
# shellcheck disable=SC2317 # called by the trap
leave_seed()
{
    if $making; then unmount_root "$cache/$release-seed" || true; fi
}
making=false
trap leave_seed EXIT
trap 'exit 130' INT TERM
exec 9>"$cache/$release.lock"
flock 9
if ! cached; then
    make_root || die "no $release root"
fi
flock -u 9
$prepare && exit 0

root=$(mktemp -d "$cache/$release-run.XXXXXX")
# shellcheck disable=SC2317 # called by the trap
cleanup()
{
    if unmount_root "$root"; then
        # What this run downloaded, for later runs.
        find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -l -n -t "$archives" {} + 2>/dev/null ||
            true
        if $keep; then
            echo "in-debian: the root is kept in $root" >&2
        else
            rm -rf --one-file-system "$root"
        fi
    else
        echo "in-debian: could not unmount everything under $root; left in place" >&2
    fi
}
trap cleanup EXIT

tar -C "$root" --numeric-owner -xzf "$tarball" || die "cannot unpack $tarball"
grep -qx "VERSION_CODENAME=$release" "$root/etc/os-release" || die "$tarball is not a $release root"
unsafe_io "$root"
mount_root "$root" || die "cannot mount the root's file systems"
# The certificate authorities this machine adds to Debian's (a TLS-inspecting
# proxy's, say), without which the root's downloads would fail here.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
    chroot "$root" update-ca-certificates >/dev/null 2>&1 || die "update-ca-certificates failed in the root"
fi
# The host's name, which the root shares (sudo looks it up).
printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n' "$(uname -n)" >"$root/etc/hosts"
# The kept packages, as hard links in the root's own package cache: apt
# locks its cache, so runs of a release that shared one would fail each
# other.
find "$archives" -maxdepth 1 -name '*.deb' -exec cp -l -n -t "$root/var/cache/apt/archives" {} + ||
    die "cannot link the kept packages into the root"

user=root
home=/root
# The command's root is its mount namespace's own (pivot_root, not chroot):
# a chrooted process may not make a user namespace, which the release
# environment needs when a user makes or runs it. Its own process
# namespace ends whatever it leaves running.
# shellcheck disable=SC2016 # expanded by the inner bash
run=(unshare --mount --propagation private --pid --fork --kill-child /bin/bash -c '
    set -e
    mount --rbind "$1" "$1"
    cd "$1"
    mkdir -p .in-debian-old-root
    pivot_root . .in-debian-old-root
    umount -l /.in-debian-old-root
    rmdir /.in-debian-old-root
    # The process namespace'"'"'s own /proc (LeakSanitizer reads its threads there).
    mount -t proc proc /proc
    shift
    exec "$@"' in-debian "$root")
if $as_user; then
    user=$USER_NAME
    home=/home/$USER_NAME
    run+=(runuser -u "$USER_NAME" --)
    chroot "$root" useradd --create-home --shell /bin/bash "$USER_NAME"
    echo "$USER_NAME ALL=(ALL:ALL) NOPASSWD: ALL" >"$root/etc/sudoers.d/$USER_NAME"
    chmod 0440 "$root/etc/sudoers.d/$USER_NAME"
    # Subordinate ids, as Debian gives a new user on a full system.
    for file in subuid subgid; do
        grep -q "^$USER_NAME:" "$root/etc/$file" 2>/dev/null || echo "$USER_NAME:100000:65536" >>"$root/etc/$file"
    done
fi
git clone --quiet --no-checkout --no-hardlinks "$top" "$root$home/src"
git -C "$root$home/src" checkout --quiet --detach "$commit"
host_cache=${BRELVIK_RELEASE_CACHE:-$HOME/.cache/brelvik-release}
if $release_cache && compgen -G "$host_cache/root-*.tar.sha256" >/dev/null; then
    mkdir -p "$root$home/.cache/brelvik-release"
    for sum in "$host_cache"/root-*.tar.sha256; do
        cp -- "${sum%.sha256}" "$sum" "$root$home/.cache/brelvik-release/"
    done
    if compgen -G "$host_cache/resolved-*.lock" >/dev/null; then
        cp -- "$host_cache"/resolved-*.lock "$root$home/.cache/brelvik-release/"
    fi
fi
if $as_user; then
    chroot "$root" chown -R "$USER_NAME:$USER_NAME" "$home"
fi

echo "in-debian: Debian $(cat "$root/etc/debian_version") ($release), commit ${commit:0:12}, as $user: $*" >&2
set +e
# shellcheck disable=SC2016 # expanded by the inner bash
"${run[@]}" /usr/bin/env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    /bin/bash -c 'cd "$HOME/src" && exec "$@"' in-debian "$@"
status=$?
set -e
exit "$status"
