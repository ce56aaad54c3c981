#!/usr/bin/env bash
# Static analysis: clang-tidy (.clang-tidy) over the programs, the stand-in
# platform and the tests; cppcheck over the programs and the platform; the
# format check (.clang-format) over every tracked .cpp and .h; mypy --strict
# (release/mypy.ini) and pyflakes over every tracked Python file; shellcheck
# over every shell script; and that git tracks no file .gitignore ignores.
# Exits non-zero on any finding.
#
#   scripts/static-analysis.sh [PART...]   only these of clang-tidy, cppcheck,
#                                          clang-format, python, shell, tracked
#
# clang-tidy and clang-format are LLVM 19's on every supported release
# (Debian 12 and 13 both package it, and the mingw build compiles with it):
# each LLVM release adds checks and changes the format, so the release's
# default versions would give each Debian a verdict of its own.
#
# clang-tidy reads the compile database of the native build, and that of the
# mingw build for the programs against the SDK's own headers and for what
# only Windows compiles (platform/windows, the Wine stand-in DLLs). Both are
# configured here; nothing is built.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
jobs=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
clang_tidy=clang-tidy-19
clang_format=clang-format-19
parts=("$@")
((${#parts[@]})) || parts=(clang-tidy cppcheck clang-format python shell tracked)
for part in "${parts[@]}"; do
    [[ $part =~ ^(clang-tidy|cppcheck|clang-format|python|shell|tracked)$ ]] || { echo "unknown part $part" >&2; exit 2; }
done
wanted()
{
    [[ " ${parts[*]} " == *" $1 "* ]]
}

if wanted tracked; then
    echo "== tracked files .gitignore ignores"
    mapfile -t ignored_files < <(git ls-files -ci --exclude-standard)
    if [ ${#ignored_files[@]} -ne 0 ]; then
        echo "tracked, though .gitignore ignores them (generated; git rm --cached them):"
        printf '  %s\n' "${ignored_files[@]}"
        failed+=(tracked-ignored)
    fi
fi

# Only the compilers' analysers need the build trees configured: the other
# parts may run beside a build of them.
if wanted clang-tidy || wanted cppcheck; then
    cmake --preset native >/dev/null || exit 1
    cmake --preset mingw >/dev/null || exit 1
fi

# Sources of a compile database under the given folders, one per line.
sources()
{
    python3 - "$root" "$@" <<'EOF'
import json, os, sys
root, database, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
for entry in json.load(open(database)):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.endswith(".cpp") and any(path.startswith(f + "/") for f in folders):
        print(path)
EOF
}

# The C++ library headers of Debian's -posix mingw compiler, which the
# mingw build uses and clang-tidy's older clang does not find by itself.
mingw_includes()
{
    echo | x86_64-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
        sed -n '/#include <...> search starts here:/,/End of search list./p' |
        sed '1d;$d' | grep '/c++' | sed 's/^ */--extra-arg=-isystem/'
}

clang_tidy_part()
{
    # The mingw build's compile database without the option clang-tidy's
    # older clang does not know (-mguard=cf came later).
    mkdir -p "$work/mingw"
    python3 - build/mingw/compile_commands.json "$work/mingw/compile_commands.json" <<'EOF'
import json, sys
entries = json.load(open(sys.argv[1]))
for entry in entries:
    entry["command"] = " ".join(word for word in entry["command"].split(" ") if word != "-mguard=cf")
json.dump(entries, open(sys.argv[2], "w"))
EOF

    echo "== clang-tidy"
    sources build/native/compile_commands.json protocol pipe_edition winusb_edition platform tests \
        >"$work/native.txt"
    sources build/mingw/compile_commands.json protocol pipe_edition winusb_edition platform/windows tests/wine \
        >"$work/mingw.txt"
    printf '%s\n' --quiet >"$work/native.options"
    {
        echo --quiet
        echo --extra-arg=--target=x86_64-w64-mingw32
        mingw_includes
    } >"$work/mingw.options"
    # Each file's result comes from the cache where nothing that decides it
    # changed (scripts/analysis_cache.py).
    scripts/analysis_cache.py tidy --jobs "$jobs" --clang-tidy "$clang_tidy" --clang clang++-19 \
        --group build/native "$work/native.txt" "$work/native.options" \
        --group "$work/mingw" "$work/mingw.txt" "$work/mingw.options" || failed+=(clang-tidy)
}

cppcheck_part()
{
    echo "== cppcheck"
    start=$SECONDS
    cppcheck_args=("--enable=warning,style,performance,portability" --error-exitcode=1 --inline-suppr
        --std=c++17 --language=c++ --quiet -j "$jobs" --suppressions-list=.cppcheck-suppressions
        --template='{file}:{line}:{column}: {severity}: {message} [{id}]')
    # cppcheck 2.11 and later follow only some branches of a long function unless
    # told otherwise, and report that as a finding; 2.10 follows them all. The help
    # text is read whole: "grep -q" would stop reading early, and under pipefail
    # the help's broken pipe would make the option look absent.
    cppcheck_help=$(cppcheck --help)
    if [[ $cppcheck_help == *--check-level* ]]; then
        cppcheck_args+=(--check-level=exhaustive)
    fi
    # The programs and the stand-in, as the native build compiles them.
    python3 - "$root" build/native/compile_commands.json "$work/cppcheck.json" <<'EOF'
import json, os, sys
root, database, out = sys.argv[1:]
folders = ("protocol/", "pipe_edition/", "winusb_edition/", "platform/")
kept = [e for e in json.load(open(database))
        if os.path.relpath(os.path.join(e["directory"], e["file"]), root).startswith(folders)]
json.dump(kept, open(out, "w"))
EOF
    # cppcheck keeps each file's result in a build folder of the cache
    # (scripts/analysis_cache.py). That folder keeps a finding's old line after
    # lines above it moved, so findings come from a fresh run.
    cppcheck_cached()
    {
        local folder
        folder=$(scripts/analysis_cache.py cppcheck-dir -- "$@") || return 1
        if cppcheck --cppcheck-build-dir="$folder" "$@" >"$work/cppcheck.log" 2>&1; then
            cat "$work/cppcheck.log"
            return 0
        fi
        cppcheck "$@"
    }
    cppcheck_ok=1
    cppcheck_cached "${cppcheck_args[@]}" --project="$work/cppcheck.json" || cppcheck_ok=0
    # Windows' console output; the SDK's headers are not read.
    cppcheck_cached "${cppcheck_args[@]}" -I. -D_WIN32 -DUNICODE -D_UNICODE platform/windows/console.cpp ||
        cppcheck_ok=0
    echo "cppcheck: $((SECONDS - start)) s"
    [ "$cppcheck_ok" -eq 1 ] || failed+=(cppcheck)
}

clang_format_part()
{
    echo "== clang-format"
    # shellcheck disable=SC2016 # expanded by the inner sh
    unformatted=$(git ls-files -z '*.cpp' '*.h' |
        xargs -0 -n 1 sh -c '"$0" "$1" | cmp -s - "$1" || echo "$1"' "$clang_format")
    if [ -n "$unformatted" ]; then
        echo "not formatted ($clang_format -i fixes them):"
        mapfile -t unformatted_files <<<"$unformatted"
        printf '  %s\n' "${unformatted_files[@]}"
        failed+=(clang-format)
    fi
}

python_part()
{
    echo "== Python: mypy --strict, pyflakes"
    mapfile -t python_files < <(git ls-files '*.py')
    /usr/bin/python3 -m mypy --config-file release/mypy.ini --cache-dir=/dev/null "${python_files[@]}" ||
        failed+=(mypy)
    pyflakes3 "${python_files[@]}" || failed+=(pyflakes)
}

shell_part()
{
    echo "== shellcheck"
    mapfile -t shell_files < <(git ls-files '*.sh' .ci/run tests/wine/wine-run.in)
    shellcheck "${shell_files[@]}" && echo "shellcheck: ${#shell_files[@]} scripts, no findings" ||
        failed+=(shellcheck)
}

for part in "${parts[@]}"; do
    "${part//-/_}_part"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "static analysis: findings from ${failed[*]}"
    exit 1
fi
echo "static analysis: no findings"
