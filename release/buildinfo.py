"""BUILDINFO.txt, what a second builder needs to reproduce the programs'
bytes, and release_contents.txt, what the build hands the release: both
written and read here, strictly, so that every reader agrees with the
writer.
"""
import re
import subprocess
import sys

BUILDINFO_NAME = "BUILDINFO.txt"
# The Debian packages whose versions decide the programs' bytes: compiler
# and linker, the GCC runtime and C++ library they link, binutils (the
# resource compiler) and the Windows headers and import libraries; the
# signer's when signed.
TOOLCHAIN_PACKAGES = ["clang-19", "lld-19", "g++-mingw-w64-x86-64-posix",
                      "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev"]
SIGNER_PACKAGE = "osslsigncode"

COMMIT_PATTERN = re.compile(r"[0-9a-f]{40}\Z")
# A Debian version as dpkg-query prints it, and no longer than any here.
VERSION_PATTERN = re.compile(r"[0-9][A-Za-z0-9.+~:-]{0,63}\Z")
EPOCH_PATTERN = re.compile(r"(?:0|[1-9][0-9]{0,9})\Z")
# The last second a ZIP entry's DOS date can hold (2107-12-31 23:59:59).
LAST_EPOCH = 4354819199
BUILDINFO_LIMIT = 4096

def read_contents(path):
    contents = {"name": None, "version": None, "program": [], "linkmap": [], "sectionmap": [],
                "guide": None}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            key, _, value = line.rstrip("\n").partition(" ")
            if key not in contents or not value:
                sys.exit(f"{path}: cannot read line {line!r}")
            if isinstance(contents[key], list):
                contents[key].append(value)
            else:
                contents[key] = value
    if None in contents.values() or not contents["program"]:
        sys.exit(f"{path}: needs a name, a version, a guide and at least one program")
    return contents


def read_buildinfo(data):
    """BUILDINFO.txt's lines as {key: value}, in their order, when it is
    exactly what buildinfo() writes; raises ValueError saying what is not."""
    if len(data) > BUILDINFO_LIMIT:
        raise ValueError(f"longer than {BUILDINFO_LIMIT} bytes")
    if re.fullmatch(rb"(?:[\x20-\x7e]*\r\n)+", data) is None:
        raise ValueError("not lines of printable ASCII, each ended by CRLF")
    lines = data.decode("ascii").split("\r\n")[:-1]
    keys = ["commit", "SOURCE_DATE_EPOCH"] + TOOLCHAIN_PACKAGES
    if len(lines) == len(keys) + 1:
        keys.append(SIGNER_PACKAGE)
    if len(lines) != len(keys):
        raise ValueError(f"{len(lines)} lines, where the release script writes"
                         f" {len(keys)} (or {len(keys) + 1} when it signs)")
    info = {}
    for number, (key, line) in enumerate(zip(keys, lines), start=1):
        name, _, value = line.partition(" ")
        if name != key:
            raise ValueError(f"line {number} does not start with '{key} '")
        pattern = {"commit": COMMIT_PATTERN, "SOURCE_DATE_EPOCH": EPOCH_PATTERN}.get(key, VERSION_PATTERN)
        if not pattern.match(value):
            raise ValueError(f"line {number}: the {key} is not in the form the release script writes")
        info[key] = value
    if int(info["SOURCE_DATE_EPOCH"]) > LAST_EPOCH:
        raise ValueError("SOURCE_DATE_EPOCH lies beyond what a ZIP entry's date holds")
    versions = [(key, info[key]) for key in keys[2:]]
    if buildinfo_text(info["commit"], int(info["SOURCE_DATE_EPOCH"]), versions) != data:
        raise ValueError("not in the form the release script writes")
    return info


def package_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if result.returncode != 0 or not result.stdout:
        sys.exit(f"pack: cannot tell which version of the Debian package {package} is installed")
    return result.stdout


def buildinfo_text(commit, epoch, versions):
    lines = [f"commit {commit}", f"SOURCE_DATE_EPOCH {epoch}"]
    lines += [f"{package} {version}" for package, version in versions]
    return crlf("\n".join(lines).encode("ascii") + b"\n")


def buildinfo(commit, epoch, signed):
    """What a second builder needs to reproduce the programs' bytes."""
    packages = TOOLCHAIN_PACKAGES + ([SIGNER_PACKAGE] if signed else [])
    return buildinfo_text(commit, epoch, [(package, package_version(package)) for package in packages])


def crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
