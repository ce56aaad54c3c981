#!/usr/bin/env bash
# What a run of each program costs, measured:
#   1. the Windows programs of the mingw build, byte for byte those
#      scripts/release.sh ships: file size and imported DLLs;
#   2. the instructions a native run of each edition executes against the
#      simulated adapter (callgrind, so the counts repeat exactly), split
#      into the program's own code, the stand-in and the rest;
#   3. the wall time of each real .exe under Wine against a do-nothing .exe
#      built the same way, alternating runs in one session.
#
#   scripts/benchmark.sh [runs]    runs per program under Wine (default 20)
#
# Builds build/mingw (Windows programs, stand-in DLLs, baseline) and
# build/bench (native, RelWithDebInfo, no tests). Wine runs in a prefix of
# its own, build/bench/wine/prefix; its wineserver is ended on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
root=$(pwd)
runs=${1:-20}
# What the WinUSB program prints for the adapter: "VID_xxxx&PID_xxxx".
hardware_id=$(cmake -P cmake/AdapterIdentity.cmake | sed -n 's/^BRELVIK_HARDWARE_ID=//p')
[[ -n $hardware_id ]]

programs=(BRELVIK_DFU_WINUSB BRELVIK_DFU_PIPE)
mingw=build/mingw
bench=build/bench

exe_of() {
    case "$1" in
    BRELVIK_DFU_WINUSB) echo "$mingw/winusb_edition/BRELVIK_DFU_WINUSB.exe" ;;
    BRELVIK_DFU_PIPE) echo "$mingw/pipe_edition/BRELVIK_DFU_PIPE.exe" ;;
    brelvik_noop) echo "$mingw/tests/bench/brelvik_noop.exe" ;;
    esac
}

echo "== Building"
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target "${programs[@]}" brelvik_noop standin_cfgmgr32 \
    standin_winusb >/dev/null
cmake -S . -B "$bench" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DBRELVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$bench" --target "${programs[@]}" >/dev/null

echo
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
    "$(sed -n 's/^PRETTY_NAME="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' /etc/os-release); $(date -u +%Y-%m-%d)"
echo "Tools: $(clang++-19 --version | head -1), $(ld.lld-19 --version | head -1); $(g++ --version | head -1);" \
    "$(valgrind --version); $(wine --version 2>/dev/null)"

echo
echo "== Windows programs (mingw, release build: static, stripped)"
printf '%-24s %10s  %s\n' program bytes "imported DLLs"
for program in "${programs[@]}" brelvik_noop; do
    exe=$(exe_of "$program")
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | paste -sd' ')
    printf '%-24s %10d  %s\n' "$program.exe" "$(stat -c %s "$exe")" "$dlls"
done

echo
echo "== Instructions of a native run against the simulated adapter (callgrind, $bench)"
echo "   own: protocol/, pipe_edition/, winusb_edition/; stand-in: platform/ and the"
echo "   library code compiled in for it; rest: C/C++ runtime and loader"
profiles=$bench/callgrind
rm -rf "$profiles"
mkdir -p "$profiles"
printf '%-40s %10s %10s %12s %12s  %s\n' run own stand-in rest total repeat
callgrind_run() {
    local name=$1
    shift
    local split first=""
    for attempt in 1 2; do
        valgrind --tool=callgrind --callgrind-out-file="$profiles/$name.$attempt" "$@" \
            >"$profiles/$name.$attempt.stdout" 2>"$profiles/$name.$attempt.log"
        split=$(/usr/bin/python3 scripts/bench/split_costs.py "$root" "$profiles/$name.$attempt")
        [[ -z $first ]] && first=$split
    done
    read -r own standin rest total <<<"$first"
    local repeat=same
    [[ $split == "$first" ]] || repeat="differs: $split"
    printf '%-40s %10d %10d %12d %12d  %s\n' "$name" "$own" "$standin" "$rest" "$total" "$repeat"
}
callgrind_run "BRELVIK_DFU_WINUSB" "$root/$bench/winusb_edition/BRELVIK_DFU_WINUSB"
callgrind_run "BRELVIK_DFU_PIPE -i 1a2b" "$root/$bench/pipe_edition/BRELVIK_DFU_PIPE" -i 1a2b
callgrind_run "BRELVIK_DFU_PIPE (targets from WMI)" "$root/$bench/pipe_edition/BRELVIK_DFU_PIPE"

echo
echo "== Wall time under Wine, $runs alternating runs each, wineserver kept warm"
export WINEPREFIX=$root/$bench/wine/prefix WINEARCH=win64 WINEDEBUG=-all
unset WINEDLLOVERRIDES
stop_wineserver() {
    if [[ -d $WINEPREFIX ]]; then
        timeout -k 5 30 wineserver -k </dev/null >/dev/null 2>&1 || true
        timeout -k 5 30 wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}
trap stop_wineserver EXIT
if [[ ! -f $WINEPREFIX/.brelvik-ready ]]; then
    # A prefix created while DLL overrides are set can hang wineboot.
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    timeout -k 10 600 wine wineboot.exe -i </dev/null >"$WINEPREFIX.log" 2>&1
    timeout -k 10 300 wineserver -w </dev/null >>"$WINEPREFIX.log" 2>&1
    touch "$WINEPREFIX/.brelvik-ready"
fi

# The stand-ins go where the Wine tests put them, the prefix's system32:
# the WinUSB edition loads cfgmgr32.dll and winusb.dll from there alone.
/usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import run_case
run_case.install_standins(sys.argv[2], sys.argv[3:], set())' tests/wine \
    "$WINEPREFIX/drive_c/windows/system32" "$mingw"/tests/wine/standins/{cfgmgr32,winusb}.dll

# The programs, and a file the stand-in presents as the adapter's interface
# path.
work=$bench/wine/run
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
for program in "${programs[@]}" brelvik_noop; do
    cp "$(exe_of "$program")" "$work/"
done
: >"$work/adapter"
adapter='\\?\Z:'${work//\//\\}'\adapter'

# Persistent until the trap ends it; its services inherit no pipe of ours.
timeout -k 5 30 wineserver -p </dev/null >/dev/null 2>&1
WINEDLLOVERRIDES=winedbg.exe=d timeout -k 5 60 wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1

cases=(noop winusb pipe_i pipe_wmi)
declare -A label=([noop]="brelvik_noop.exe" [winusb]="BRELVIK_DFU_WINUSB.exe"
    [pipe_i]="BRELVIK_DFU_PIPE.exe -i 1a2b" [pipe_wmi]="BRELVIK_DFU_PIPE.exe (real Wine WMI)")
declare -A expect=([noop]="" [winusb]="Device found: $hardware_id; bcdUsb 0200"$'\r\n'
    [pipe_i]=$'Found device 1a2b\r\n' [pipe_wmi]="")
declare -A times
run_case() {
    local overrides=winedbg.exe=d exe args=()
    case "$1" in
    noop) exe=brelvik_noop.exe ;;
    winusb) exe=BRELVIK_DFU_WINUSB.exe overrides="cfgmgr32,winusb=n;winedbg.exe=d" ;;
    pipe_i) exe=BRELVIK_DFU_PIPE.exe args=(-i 1a2b) ;;
    pipe_wmi) exe=BRELVIK_DFU_PIPE.exe ;;
    esac
    local start end status=0
    start=$(date +%s%N)
    (cd "$work" && WINEDLLOVERRIDES=$overrides BRELVIK_STANDIN_INTERFACES=$adapter \
        timeout -k 5 60 wine "./$exe" "${args[@]}" </dev/null >"$work/$1.out" 2>"$work/$1.err") ||
        status=$?
    end=$(date +%s%N)
    # A new prefix may still say something of its own on the first runs.
    if [[ $status -ne 0 || "$(cat "$work/$1.out"; echo .)" != "${expect[$1]}." ||
        ($2 == measured && -s $work/$1.err) ]]; then
        echo "${label[$1]}: unexpected run (status $status):" >&2
        cat "$work/$1.out" "$work/$1.err" >&2
        exit 1
    fi
    times[$1]+="$(((end - start) / 1000)) "
}
# One run of each first: the first start of a program is slower.
for c in "${cases[@]}"; do run_case "$c" warm-up; done
for c in "${cases[@]}"; do times[$c]=""; done
for ((i = 0; i < runs; ++i)); do
    for c in "${cases[@]}"; do run_case "$c" measured; done
done

median_ms() {
    tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -n |
        awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'
}
base=$(median_ms "${times[noop]}")
printf '%-40s %12s %8s\n' run "median ms" ratio
for c in "${cases[@]}"; do
    median=$(median_ms "${times[$c]}")
    printf '%-40s %12s %8s\n' "${label[$c]}" "$median" "$(awk -v m="$median" -v b="$base" 'BEGIN { printf "%.2f", m / b }')"
done
