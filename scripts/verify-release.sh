#!/usr/bin/env bash
# Entry point kept where the documents name it: release/verify-release.sh does the work.
exec "$(dirname "$0")/../release/verify-release.sh" "$@"
