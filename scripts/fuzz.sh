#!/usr/bin/env bash
# Runs the libFuzzer harnesses for a real search, beyond CI's short runs.
#
#   scripts/fuzz.sh [seconds]          every harness, each for that long (default 300)
#   scripts/fuzz.sh <name> [seconds]   one harness: options, target_id, device_id, device_path
#
# Builds the fuzz preset first. New inputs collect in build/fuzz/fuzz/corpus/<name>
# (the committed seeds in fuzz/corpus/<name> stay as they are); an input that
# breaks a harness is saved as build/fuzz/fuzz/<name>-crash-* and the script
# fails. Replay one with: build/fuzz/fuzz/<name>_fuzz <file>
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

all=(options target_id device_id device_path)
names=("${all[@]}")
seconds=300
if [[ $# -ge 1 && ! $1 =~ ^[0-9]+$ ]]; then
    if [[ " ${all[*]} " != *" $1 "* ]]; then
        echo "unknown harness '$1'; one of: ${all[*]}" >&2
        exit 2
    fi
    names=("$1")
    shift
fi
if [[ $# -ge 1 ]]; then
    seconds=$1
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

declare -A max_len=([options]=256 [target_id]=64 [device_id]=128 [device_path]=640)
out=build/fuzz/fuzz
failed=0
for name in "${names[@]}"; do
    mkdir -p "$out/corpus/$name"
    echo "== $name for ${seconds}s"
    log=$(mktemp)
    if "$out/${name}_fuzz" -max_total_time="$seconds" -max_len="${max_len[$name]}" \
        -print_final_stats=1 -artifact_prefix="$out/$name-" \
        "$out/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log" || true
        echo "corpus: $(find "$out/corpus/$name" -type f | wc -l) inputs"
    else
        tail -n 40 "$log"
        echo "$name: FAILED (input saved under $out/$name-*)"
        failed=1
    fi
    rm -f "$log"
done
exit "$failed"
