#!/usr/bin/env bash
# Every test: the tree's licensing (reuse lint, the notices' texts and
# link table), the native suite with g++, with clang and under the address
# and undefined-behaviour sanitizers, the Windows build with its tests
# under Wine, and the fuzz build: the suite again plus a short bounded run
# of each fuzz harness on its seeds (scripts/fuzz.sh runs them longer);
# then clang-tidy, cppcheck and the format check.
#
# The builds and the analysers use every core in turn; the light checks,
# one process each, run beside them.
#
#   scripts/test.sh [STEP...]   only the steps named (as "== STEP" shows them)
set -euo pipefail
cd "$(dirname "$0")/.."
chosen=("$@")

# Each step's time, for the CI budget, and the machine's load average.
step()
{
    if ((${#chosen[@]})) && [[ " ${chosen[*]} " != *" $1 "* ]]; then
        return 0
    fi
    local start=$SECONDS
    echo "== $1"
    "${@:2}"
    echo "== $1: $((SECONDS - start)) s, load $(cut -d' ' -f1-3 /proc/loadavg)"
}

# The native suites' tests are independent processes: they run side by
# side. The Wine tests share a prefix, and run one at a time.
side_by_side=(env CTEST_PARALLEL_LEVEL="$(nproc)")

builds()
{
    for preset in native native-clang native-asan; do
        step "$preset" "${side_by_side[@]}" cmake --workflow --preset "$preset"
    done
    step mingw cmake --workflow --preset mingw
    step fuzz "${side_by_side[@]}" cmake --workflow --preset fuzz
    step static-analysis scripts/static-analysis.sh clang-tidy cppcheck
}

checks()
{
    step licensing /usr/bin/python3 release/tests/check_licensing.py
    step scripts-tests /usr/bin/python3 -m pytest -q -p no:cacheprovider scripts/tests
    step lint scripts/static-analysis.sh clang-format python shell
}

start=$SECONDS
step install-deps scripts/install-deps.sh --tests
checks_log=$(mktemp)
trap 'rm -f "$checks_log"' EXIT
(checks) >"$checks_log" 2>&1 &
checks_pid=$!
(builds) &
builds_pid=$!
status=0
wait "$builds_pid" || status=1
wait "$checks_pid" || status=1
cat "$checks_log"
echo "== all: $((SECONDS - start)) s"
exit "$status"
