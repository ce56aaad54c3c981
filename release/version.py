#!/usr/bin/python3
"""The version a commit's release carries, decided from what a plain clone
holds: the commits, their messages and their CMakeLists.txt (tags play no
part).

A release is a commit whose message has the trailer `Release: X`, where X
is the version CMakeLists.txt's project() line gives in that commit, and
X is not the version of an earlier release on its first-parent line. Its
version is X. Any other commit is a development build, named as git
describe names one: the last release on its first-parent line, the number
of commits since it and the commit's first 12 hex digits, X-N-gHHHHHHHHHHHH
(0.0.0-N-g... before the first release).

    version.py --git-dir DIR COMMIT
        prints the version of COMMIT, or a line saying why it cannot be told
        on standard error (exit status 2)
"""
import argparse
import os
import re
import subprocess
import sys
from collections.abc import Callable
from typing import NamedTuple

# The version line, in project(NAME VERSION X.Y.Z ...).
VERSION_LINE = re.compile(rb"^project\(\s*[A-Za-z0-9_]+\s+VERSION\s+([0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5})(?=[\s)])", re.M)
RELEASE_TRAILER = "Release"
RELEASE_VERSION = re.compile(r"[0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5}\Z")
NO_RELEASE = "0.0.0"
SHORT_ID = 12


class Version(NamedTuple):
    name: str  # X for a release, X-N-gHHHHHHHHHHHH otherwise
    release: bool
    base: str  # the release it is, or the last before it (NO_RELEASE when none)
    base_commit: str | None  # that release's commit
    since: int  # commits since that release


class Undecidable(Exception):
    """The clone does not hold what the version needs; the text says what."""


def development(base: str, since: int, commit: str) -> str:
    return f"{base}-{since}-g{commit[:SHORT_ID]}"


def version_in(cmakelists: bytes) -> str | None:
    match = VERSION_LINE.search(cmakelists)
    return match.group(1).decode("ascii") if match else None


# git(arguments...) -> its standard output, or None when it fails.
Git = Callable[..., bytes | None]


def releases(git: Git, commit: str) -> list[tuple[str, str]]:
    """[(commit, version)] of the releases on COMMIT's first-parent line,
    newest first: each commit whose message has a Release trailer naming
    the version its CMakeLists.txt gives, the oldest of any that name the
    same version."""
    listed = git("log", "--first-parent", f"--format=%H %(trailers:key={RELEASE_TRAILER},valueonly,separator=%x2C)",
                 commit)
    if listed is None:
        raise Undecidable(f"git cannot list the history of commit {commit}")
    found: list[tuple[str, str]] = []
    for line in reversed(listed.decode("utf-8", "replace").splitlines()):
        sha, _, named = line.partition(" ")
        named = named.strip()
        if not RELEASE_VERSION.match(named) or any(version == named for _, version in found):
            continue
        cmakelists = git("cat-file", "blob", f"{sha}:CMakeLists.txt")
        if cmakelists is not None and version_in(cmakelists) == named:
            found.append((sha, named))
    return found[::-1]


def describe(git: Git, commit: str, shallow: bool) -> Version:
    """COMMIT's Version. SHALLOW: the clone lacks history, so a commit that
    is no release, with none before it, cannot be named. COMMIT may be any
    name git gives a commit (HEAD, a branch, a short id)."""
    resolved = git("rev-parse", "--verify", "--quiet", "--end-of-options", f"{commit}^{{commit}}")
    if resolved is None:
        raise Undecidable(f"this clone holds no commit {commit}")
    commit = resolved.decode("ascii").strip()
    found = releases(git, commit)
    if found and found[0][0] == commit:
        return Version(found[0][1], True, found[0][1], commit, 0)
    if not found and shallow:
        raise Undecidable(f"this shallow clone holds no release before commit {commit}, so it cannot tell what"
                          " that commit is: fetch its whole history (git fetch --unshallow)")
    base_commit, base = found[0] if found else (None, NO_RELEASE)
    counted = git("rev-list", "--count", f"{base_commit}..{commit}" if base_commit else commit)
    if counted is None:
        raise Undecidable(f"git cannot count the commits before {commit}")
    since = int(counted)
    return Version(development(base, since, commit), False, base, base_commit, since)


def git_in(git_dir: str) -> Git:
    def call(*arguments: str) -> bytes | None:
        result = subprocess.run(["git", f"--git-dir={git_dir}", *arguments], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                env={"PATH": "/usr/bin:/bin", "LC_ALL": "C", "HOME": os.devnull,
                                     "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull,
                                     "GIT_NO_REPLACE_OBJECTS": "1"})
        return result.stdout if result.returncode == 0 else None
    return call


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--git-dir", required=True)
    parser.add_argument("commit")
    args = parser.parse_args()
    try:
        print(describe(git_in(args.git_dir), args.commit,
                       os.path.exists(os.path.join(args.git_dir, "shallow"))).name)
    except Undecidable as error:
        print(f"version: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
