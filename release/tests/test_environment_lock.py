"""release/environment.sh check on the committed lock and on copies of it
spoilt in one point: what it takes, with no archive in reach, decides
whether a release environment can be made of the lock at all."""
import os
import re
import subprocess
from collections.abc import Callable

import pytest

RELEASE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENVIRONMENT = os.path.join(RELEASE, "environment.sh")
with open(os.path.join(RELEASE, "environment.lock"), encoding="ascii") as committed:
    LOCK = committed.read()


def without(pattern: str) -> Callable[[str], str]:
    return lambda text: re.sub(f"(?m)^{pattern}.*\n", "", text)


# Each copy, and what the check must say of it (None: it takes it).
CASES: list[tuple[str, Callable[[str], str], str | None]] = [
    ("as_committed", lambda text: text, None),
    ("package_named_twice", lambda text: text + "package tar 1.34+dfsg-1.2\n", "more than once: tar"),
    ("install_without_its_package", without("package cmake "), "no package line of it names: cmake"),
    ("install_from_a_suite_without_its_package", without("package osslsigncode "), "names: osslsigncode"),
    ("no_snapshot_line", without("snapshot "), "has not one snapshot line"),
    ("second_suite", lambda text: text + "suite trixie\n", "not a lock release/environment.sh writes"),
    ("no_packages", without("package "), "not a lock release/environment.sh writes"),
    ("version_with_a_space", lambda text: text.replace("package tar ", "package tar 1 "),
     "not a lock release/environment.sh writes (line"),
]


@pytest.mark.parametrize("name,spoil,said", CASES, ids=[case[0] for case in CASES])
def test_check(tmp_path: "os.PathLike[str]", name: str, spoil: Callable[[str], str], said: str | None) -> None:
    lock = os.path.join(tmp_path, "environment.lock")
    with open(lock, "w", encoding="ascii") as out:
        out.write(spoil(LOCK))
    result = subprocess.run([ENVIRONMENT, "check", "--lock", lock], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if said is None:
        assert result.returncode == 0, result.stdout
        assert re.fullmatch(r".*: suite bookworm, snapshot [0-9T]+Z, [0-9]+ packages, its root's key [0-9a-f]{16}\n",
                            result.stdout)
    else:
        assert result.returncode == 2 and said in result.stdout, result.stdout
