#!/usr/bin/env bash
# Every test: the tree's licensing (reuse lint, the notices' texts and
# link table), the native suite with g++, with clang and under the address
# and undefined-behaviour sanitizers, the Windows build with its tests
# under Wine, and the fuzz build: the suite again plus a short bounded run
# of each fuzz harness on its seeds (scripts/fuzz.sh runs them longer);
# then clang-tidy, cppcheck and the format check.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests

echo "== licensing"
/usr/bin/python3 release/tests/check_licensing.py

for preset in native native-clang native-asan mingw fuzz; do
    echo "== $preset"
    cmake --workflow --preset "$preset"
done

echo "== static analysis"
scripts/static-analysis.sh
