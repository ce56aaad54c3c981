#!/usr/bin/env bash
# Every test: the tree's licensing (reuse lint, the notices' texts and
# link table), the native suite with g++, with clang and under the address
# and undefined-behaviour sanitizers, the Windows build with its tests
# under Wine, the release's tests on that build, and the fuzz build: the
# suite again plus a short bounded run of each fuzz harness on its seeds
# (scripts/fuzz.sh runs them longer); then clang-tidy, cppcheck and the
# format check. It fails, at the end, where a step changed what
# git status shows.
#
# The builds and the analysers use every core in turn; the light checks,
# one process each, run beside them, and so do the release's tests once
# the Windows build is made.
#
#   scripts/test.sh [STEP...]   only the steps named (as "== STEP" shows them)
set -euo pipefail
cd "$(dirname "$0")/.."
chosen=("$@")
tree_status() {
    git status --porcelain --untracked-files=all
}
before=$(tree_status)

# Each step's time, for the CI budget, and the machine's load average.
step()
{
    if ((${#chosen[@]})) && [[ " ${chosen[*]} " != *" $1 "* ]]; then
        return 0
    fi
    local start=$SECONDS status=0
    echo "== $1"
    # Its status kept by hand: called where set -e does not hold (after ||),
    # a failing command would not end the step.
    "${@:2}" || status=$?
    local failed=
    ((status == 0)) || failed=", FAILED with status $status"
    echo "== $1: $((SECONDS - start)) s, load $(cut -d' ' -f1-3 /proc/loadavg)$failed"
    return "$status"
}

# The native suites' tests are independent processes: they run side by
# side. The Wine tests share a prefix, and run one at a time.
side_by_side=(env CTEST_PARALLEL_LEVEL="$(nproc)")

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

builds()
{
    for preset in native native-clang native-asan; do
        step "$preset" "${side_by_side[@]}" cmake --workflow --preset "$preset" || return
    done
    step mingw cmake --workflow --preset mingw || return
    # On the mingw build, which nothing below builds again.
    (step release-tests scripts/release-tests.sh) >"$logs/release" 2>&1 &
    local release=$! status=0
    step fuzz "${side_by_side[@]}" cmake --workflow --preset fuzz || status=1
    step static-analysis scripts/static-analysis.sh clang-tidy cppcheck || status=1
    wait "$release" || status=1
    cat "$logs/release"
    return "$status"
}

checks()
{
    local status=0
    step licensing /usr/bin/python3 release/tests/check_licensing.py || status=1
    step scripts-tests /usr/bin/python3 -m pytest -q -p no:cacheprovider scripts/tests || status=1
    step lint scripts/static-analysis.sh clang-format python shell tracked || status=1
    return "$status"
}

start=$SECONDS
step install-deps scripts/install-deps.sh --tests
(checks) >"$logs/checks" 2>&1 &
checks_pid=$!
(builds) &
builds_pid=$!
status=0
wait "$builds_pid" || status=1
wait "$checks_pid" || status=1
cat "$logs/checks"
after=$(tree_status)
if [[ $after != "$before" ]]; then
    echo "== the run changed the tree; git status --porcelain before (<) and after (>):"
    diff <(grep . <<<"$before") <(grep . <<<"$after") | grep "^[<>]" || true
    status=1
fi
echo "== all: $((SECONDS - start)) s"
exit "$status"
