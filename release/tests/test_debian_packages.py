"""A Debian version's upstream part: the epoch and the revision are each
optional, and the upstream part may hold hyphens and colons of its own."""
import pytest

import debian_packages

UPSTREAM = [
    ("2.0", "2.0"),
    ("2.0-1", "2.0"),
    ("1:2.0", "2.0"),
    ("1:2.0-3", "2.0"),
    ("1:19.1.7-3~deb12u1", "19.1.7"),
    ("2.0-rc1-3", "2.0-rc1"),
    ("1:2.0-rc1-3", "2.0-rc1"),
    ("1:2:3", "2:3"),
    ("4.8+really4.7.5-1", "4.8+really4.7.5"),
]


@pytest.mark.parametrize(("version", "upstream"), UPSTREAM)
def test_upstream_version(version: str, upstream: str) -> None:
    assert debian_packages.upstream_version(version) == upstream
