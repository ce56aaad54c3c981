"""A commit's version by the history, in a throwaway repository: the
commit with a Release trailer naming its CMakeLists.txt's version is that
release; every other commit a development build after the last one."""
import os
import subprocess

import pytest

import version

CMAKELISTS = "cmake_minimum_required(VERSION 3.25)\n\nproject(Example\n    VERSION {}\n    LANGUAGES CXX)\n"
ENVIRONMENT = {"PATH": "/usr/bin:/bin", "HOME": os.devnull, "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull,
               "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@invalid", "GIT_COMMITTER_NAME": "t",
               "GIT_COMMITTER_EMAIL": "t@invalid"}


def commit(folder: str, message: str, cmake_version: str | None = None, shallow: bool = False) -> str:
    if cmake_version:
        with open(os.path.join(folder, "CMakeLists.txt"), "w", encoding="ascii") as out:
            out.write(CMAKELISTS.format(cmake_version))
    for command in (["add", "-A"], ["commit", "-q", "--allow-empty", "-m", message]):
        subprocess.run(["git", "-C", folder, *command], check=True, env=ENVIRONMENT)
    return subprocess.run(["git", "-C", folder, "rev-parse", "HEAD"], check=True, env=ENVIRONMENT,
                          stdout=subprocess.PIPE, text=True).stdout.strip()


@pytest.fixture
def history(tmp_path: "os.PathLike[str]") -> tuple[str, dict[str, str]]:
    folder = os.fspath(tmp_path)
    subprocess.run(["git", "init", "-q", "-b", "main", folder], check=True, env=ENVIRONMENT)
    made = {"first": commit(folder, "first", "1.0.0")}
    made["before"] = commit(folder, "a change")
    made["wrong"] = commit(folder, "claims a version it does not give\n\nRelease: 1.0.1")
    made["release"] = commit(folder, "version 1.0.1\n\nRelease: 1.0.1", "1.0.1")
    made["after"] = commit(folder, "a change after it")
    made["again"] = commit(folder, "the same release again\n\nRelease: 1.0.1")
    made["bumped"] = commit(folder, "version 1.0.2, not released", "1.0.2")
    return os.path.join(folder, ".git"), made


def test_versions(history: tuple[str, dict[str, str]]) -> None:
    git_dir, made = history
    git = version.git_in(git_dir)
    named = {name: version.describe(git, sha, False).name for name, sha in made.items()}
    assert named == {
        "first": f"0.0.0-1-g{made['first'][:12]}", "before": f"0.0.0-2-g{made['before'][:12]}",
        "wrong": f"0.0.0-3-g{made['wrong'][:12]}", "release": "1.0.1",
        "after": f"1.0.1-1-g{made['after'][:12]}", "again": f"1.0.1-2-g{made['again'][:12]}",
        "bumped": f"1.0.1-3-g{made['bumped'][:12]}"}
    assert version.releases(git, made["bumped"]) == [(made["release"], "1.0.1")]
    # Other names of a commit give the same version as its full id.
    assert [version.describe(git, name, False).name for name in ("main", "HEAD~3", made["release"][:7])] == [
        named["bumped"], "1.0.1", "1.0.1"]
    with pytest.raises(version.Undecidable, match="holds no commit"):
        version.describe(git, "0" * 40, False)


def test_shallow(history: tuple[str, dict[str, str]], tmp_path: "os.PathLike[str]") -> None:
    """A shallow clone can name a release and a build after one it holds;
    a build with no release in what it holds, not. (Nor can it tell a
    release made twice from the first: it trusts the trailer.)"""
    git_dir, made = history
    git = version.git_in(git_dir)
    with open(os.path.join(git_dir, "shallow"), "w", encoding="ascii") as out:
        out.write(made["release"] + "\n")
    assert version.describe(git, made["release"], True).name == "1.0.1"
    assert version.describe(git, made["after"], True).name == f"1.0.1-1-g{made['after'][:12]}"
    os.remove(os.path.join(git_dir, "shallow"))
    with open(os.path.join(git_dir, "shallow"), "w", encoding="ascii") as out:
        out.write(made["bumped"] + "\n")
    with pytest.raises(version.Undecidable, match="shallow clone holds no release"):
        version.describe(git, made["bumped"], True)


def test_version_line() -> None:
    assert version.version_in(CMAKELISTS.format("12.0.3").encode()) == "12.0.3"
    assert version.version_in(b"project(Example LANGUAGES CXX)\n") is None
    assert version.version_in(b"# project(Example VERSION 9.9.9)\nproject(Example VERSION 1.2.3)\n") == "1.2.3"
