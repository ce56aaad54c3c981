#!/usr/bin/env bash
# What the test command's steps cost, measured as a benchmark, never as a
# test. In a clone of HEAD, with a compiler cache and an analysis cache of
# its own, it runs the steps of scripts/test.sh given (by default the
# native presets, fuzz and the analysers) in four rounds:
#   first    the caches empty, as on a new machine
#   again    nothing changed
#   changed  after a one-line change to a product source
#   clone    a fresh clone of HEAD, with the caches the rounds above filled
# and prints each step's time with the load average at its end.
#
#   scripts/benchmark-tests.sh [STEP...]
set -euo pipefail
cd "$(dirname "$0")/.."
steps=("$@")
if ((${#steps[@]} == 0)); then
    steps=(native native-clang native-asan fuzz static-analysis lint)
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CCACHE_DIR=$work/ccache BRELVIK_ANALYSIS_CACHE=$work/analysis

# A clone of this checkout's commit (a worktree's clone would take the
# repository's HEAD).
clone()
{
    git clone -q --no-checkout . "$1"
    git -C "$1" checkout -q "$(git rev-parse HEAD)"
}

round()
{
    local name=$1 folder=$2 start=$SECONDS
    echo "== $name: load at the start $(cut -d' ' -f1-3 /proc/loadavg)"
    if ! (cd "$folder" && scripts/test.sh "${steps[@]}") >"$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log"
        echo "== $name: FAILED"
        exit 1
    fi
    grep -E '^== .*: [0-9]+ s' "$work/$name.log" | sed "s/^== /   /"
    echo "== $name: $((SECONDS - start)) s"
}

clone "$work/first"
round first "$work/first"
round again "$work/first"
# The same behaviour, other tokens: the file compiles and is analysed anew.
sed -i "s/static_cast<char>(ch - 'A' + 'a')/static_cast<char>(ch + ('a' - 'A'))/" "$work/first/pipe_edition/options.cpp"
git -C "$work/first" diff --quiet && { echo "the one-line change no longer applies" >&2; exit 1; }
round changed "$work/first"
clone "$work/clone"
round clone "$work/clone"
