#!/usr/bin/env bash
# The release's tests (the release-tests workflow), or their last pass
# where nothing that decides them has changed since: every file of the
# tree as the tests copy it, the host's packages (compilers, Wine,
# osslsigncode, openssl, Python and its libraries), and the lock the
# release environment resolves from today's archive. A pass is kept in
# BRELVIK_RESULT_CACHE (default ~/.cache/brelvik-results) as one small
# file named after that key; remove the folder, or set BRELVIK_RERUN=1, to
# run them whatever was kept.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${BRELVIK_RESULT_CACHE:-${HOME:?}/.cache/brelvik-results}

# The key, or nothing where an input cannot be read (then the tests run).
inputs()
{
    local lock
    lock=$(mktemp)
    cp release/environment.lock "$lock"
    # The same resolution the tests make first; kept by environment.sh
    # while the archive's package lists stay the same.
    if ! release/environment.sh lock --lock "$lock" >/dev/null 2>&1; then
        rm -f "$lock"
        return 1
    fi
    {
        echo "inputs 1"
        sed -n 's/^package /locked /p' "$lock"
        git ls-files -z --cached --others --exclude-standard | sort -z |
            while IFS= read -r -d '' name; do
                [[ -f $name ]] && printf '%s %s\n' "$(sha256sum <"$name" | cut -c1-64)" "$name"
            done
        dpkg-query -W -f='${Package} ${Version} ${db:Status-Status}\n'
    } | sha256sum | cut -c1-32
    rm -f "$lock"
}

key=
if [[ ${BRELVIK_RERUN-} != 1 ]]; then
    key=$(inputs) || key=
fi
kept=$cache/release-tests-$key
if [[ -n $key && -f $kept ]]; then
    echo "release-tests: passed at $(cat "$kept") with the same inputs (key $key); not run again" \
        "(BRELVIK_RERUN=1 runs them)"
    exit 0
fi
[[ -n $key ]] || echo "release-tests: run whatever was kept (BRELVIK_RERUN=1, or an input could not be read)"
cmake --workflow --preset release-tests
if [[ -n $key ]]; then
    mkdir -p -- "$cache"
    date -u +%Y-%m-%dT%H:%M:%SZ >"$kept.new"
    mv -- "$kept.new" "$kept"
    # The last 20 passes at most.
    find "$cache" -maxdepth 1 -name 'release-tests-*' -printf '%T@ %p\n' | sort -rn | tail -n +21 |
        while read -r _ old; do rm -f -- "$old"; done
fi
