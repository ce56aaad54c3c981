# shellcheck shell=bash
# Sourced by scripts/release.sh (scripts/verify-release.sh heeds no
# SOURCE_COMMIT: it builds the commit a ZIP names from the repository).
#
# source_commit: prints the commit these sources are. SOURCE_COMMIT names
# it for a copy of the sources outside git (as SOURCE_DATE_EPOCH dates
# it); otherwise the current directory must be the top of a git checkout,
# not merely lie inside another repository's tree, and HEAD is the answer.
source_commit() {
    if [[ -n ${SOURCE_COMMIT:-} ]]; then
        echo "$SOURCE_COMMIT"
        return 0
    fi
    local top
    top=$(git rev-parse --show-toplevel 2>/dev/null) || return 1
    [[ $(cd "$top" && pwd -P) == "$(pwd -P)" ]] || return 1
    git rev-parse HEAD
}

# uncommitted_changes: true when a tracked file differs from HEAD.
uncommitted_changes() {
    [[ -z ${SOURCE_COMMIT:-} && -n $(git status --porcelain --untracked-files=no) ]]
}
