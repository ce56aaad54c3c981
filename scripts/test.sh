#!/usr/bin/env bash
# Every test: the native suite with g++, with clang and under the address
# and undefined-behaviour sanitizers, and the Windows
# build with its tests under Wine; then clang-tidy, cppcheck and the format
# check.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in native native-clang native-asan mingw; do
    echo "== $preset"
    cmake --workflow --preset "$preset"
done

echo "== static analysis"
scripts/static-analysis.sh
