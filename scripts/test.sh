#!/usr/bin/env bash
# Every test: the tree's licensing (reuse lint, the notices' texts and
# link table), the native suite with g++, with clang and under the address
# and undefined-behaviour sanitizers, the Windows build with its tests
# under Wine, the release's tests on that build, and the fuzz build: the
# suite again plus a short bounded run of each fuzz harness on its seeds
# (scripts/fuzz.sh runs them longer); then clang-tidy, cppcheck and the
# format check. It fails, at the end, where a step changed what
# git status shows.
set -euo pipefail
cd "$(dirname "$0")/.."
tree_status() {
    git status --porcelain --untracked-files=all
}
before=$(tree_status)

# Each step's time, for the CI budget.
step()
{
    local start=$SECONDS
    echo "== $1"
    "${@:2}"
    echo "== $1: $((SECONDS - start)) s"
}

step "installing what is missing" scripts/install-deps.sh --tests
step licensing /usr/bin/python3 release/tests/check_licensing.py
for preset in native native-clang native-asan mingw release-tests fuzz; do
    step "$preset" cmake --workflow --preset "$preset"
done
step "static analysis" scripts/static-analysis.sh
after=$(tree_status)
if [[ $after != "$before" ]]; then
    echo "== the run changed the tree; git status --porcelain before (<) and after (>):"
    diff <(grep . <<<"$before") <(grep . <<<"$after") | grep "^[<>]" || true
    exit 1
fi
