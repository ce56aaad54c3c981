"""BUILDINFO.txt, what a second builder needs to reproduce the programs'
bytes, and release_contents.txt, what the build hands the release: both
written and read here, strictly, so that every reader agrees with the
writer.
"""
import re
import subprocess
import sys
from typing import TypedDict

BUILDINFO_NAME = "BUILDINFO.txt"
# The Debian packages whose versions decide the programs' bytes: compiler
# and linker, the GCC runtime and C++ library they link, binutils (the
# resource compiler) and the Windows headers and import libraries; the
# signer's when signed.
TOOLCHAIN_PACKAGES = ["clang-19", "lld-19", "g++-mingw-w64-x86-64-posix",
                      "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev"]
SIGNER_PACKAGE = "osslsigncode"

COMMIT_PATTERN = re.compile(r"[0-9a-f]{40}\Z")
# A release's version, or a development build's (release/version.py).
RELEASE_VERSION_PATTERN = re.compile(r"[0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5}(?:-[0-9]{1,9}-g[0-9a-f]{12})?\Z")
# A Debian version as dpkg-query prints it, and no longer than any here.
VERSION_PATTERN = re.compile(r"[0-9][A-Za-z0-9.+~:-]{0,63}\Z")
EPOCH_PATTERN = re.compile(r"(?:0|[1-9][0-9]{0,9})\Z")
# The last second a ZIP entry's DOS date can hold (2107-12-31 23:59:59).
LAST_EPOCH = 4354819199
BUILDINFO_LIMIT = 4096
# release_contents.txt's keys given once; the others (program, linkmap,
# sectionmap) any number of times.
SINGLE_KEYS = ["name", "version", "guide", "vendor_id", "product_id", "interface_guid"]
# The adapter's ids as cmake/AdapterIdentity.cmake writes them.
ID_PATTERNS = {"vendor_id": re.compile(r"[0-9A-F]{4}\Z"), "product_id": re.compile(r"[0-9A-F]{4}\Z"),
               "interface_guid": re.compile(r"\{[0-9A-F]{8}(?:-[0-9A-F]{4}){3}-[0-9A-F]{12}\}\Z")}


class Programs(TypedDict):
    """What release_contents.txt says of the programs: the release's name
    and version, its programs, and the link map and section map of each
    (in the programs' order)."""
    name: str
    version: str
    program: list[str]
    linkmap: list[str]
    sectionmap: list[str]


class Contents(Programs):
    """All that release_contents.txt says: the programs, the user guide's
    source, and the adapter's ids the guide names (four upper-case hex
    digits each, and the interface class as {XXXXXXXX-...})."""
    guide: str
    vendor_id: str
    product_id: str
    interface_guid: str


class BuildinfoError(ValueError):
    """BUILDINFO.txt is not what the release script writes; the text says
    how."""


def read_contents(path: str) -> Contents:
    """The contents file CMake writes, each line KEY VALUE: name, version,
    guide, vendor_id, product_id and interface_guid once each, program,
    linkmap and sectionmap any number of times; exits with one line saying
    what is wrong with any other."""
    single: dict[str, str] = {}
    lists: dict[str, list[str]] = {"program": [], "linkmap": [], "sectionmap": []}
    try:
        with open(path, encoding="utf-8") as lines:
            for number, line in enumerate(lines, start=1):
                key, _, value = line.rstrip("\n").partition(" ")
                if key not in lists and key not in SINGLE_KEYS:
                    sys.exit(f"{path}: line {number} has no key release_contents.txt holds: {line!r}")
                elif not value:
                    sys.exit(f"{path}: line {number} gives no {key}")
                elif key in lists:
                    lists[key].append(value)
                elif key in single:
                    sys.exit(f"{path}: line {number} gives a second {key}")
                else:
                    single[key] = value
    except OSError as error:
        sys.exit(f"{path}: cannot be read ({error.strerror})")
    except UnicodeDecodeError:
        sys.exit(f"{path}: not UTF-8")
    missing = [key for key in SINGLE_KEYS if key not in single] + ([] if lists["program"] else ["program"])
    if missing:
        sys.exit(f"{path}: needs a name, a version, a guide, the adapter's ids and at least one program;"
                 " it names no " + ", no ".join(missing))
    for key, pattern in ID_PATTERNS.items():
        if not pattern.match(single[key]):
            sys.exit(f"{path}: the {key} {single[key]!r} is not in the form cmake/AdapterIdentity.cmake writes")
    return Contents(name=single["name"], version=single["version"], program=lists["program"],
                    linkmap=lists["linkmap"], sectionmap=lists["sectionmap"], guide=single["guide"],
                    vendor_id=single["vendor_id"], product_id=single["product_id"],
                    interface_guid=single["interface_guid"])


def read_buildinfo(data: bytes) -> dict[str, str]:
    """BUILDINFO.txt's lines as {key: value}, in their order, when it is
    exactly what buildinfo() writes; raises BuildinfoError saying what is
    not."""
    if len(data) > BUILDINFO_LIMIT:
        raise BuildinfoError(f"longer than {BUILDINFO_LIMIT} bytes")
    if re.fullmatch(rb"(?:[\x20-\x7e]*\r\n)+", data) is None:
        raise BuildinfoError("not lines of printable ASCII, each ended by CRLF")
    lines = data.decode("ascii").split("\r\n")[:-1]
    keys = ["commit", "version", "SOURCE_DATE_EPOCH"] + TOOLCHAIN_PACKAGES
    if len(lines) == len(keys) + 1:
        keys.append(SIGNER_PACKAGE)
    if len(lines) != len(keys):
        raise BuildinfoError(f"{len(lines)} lines, where the release script writes"
                             f" {len(keys)} (or {len(keys) + 1} when it signs)")
    info = {}
    for number, (key, line) in enumerate(zip(keys, lines), start=1):
        name, _, value = line.partition(" ")
        if name != key:
            raise BuildinfoError(f"line {number} does not start with '{key} '")
        pattern = {"commit": COMMIT_PATTERN, "version": RELEASE_VERSION_PATTERN,
                   "SOURCE_DATE_EPOCH": EPOCH_PATTERN}.get(key, VERSION_PATTERN)
        if not pattern.match(value):
            raise BuildinfoError(f"line {number}: the {key} is not in the form the release script writes")
        info[key] = value
    if int(info["SOURCE_DATE_EPOCH"]) > LAST_EPOCH:
        raise BuildinfoError("SOURCE_DATE_EPOCH lies beyond what a ZIP entry's date holds")
    # The checks above leave one text for these fields, the writer's: a
    # difference is this module's fault, not the file's.
    versions = [(key, info[key]) for key in keys[3:]]
    if buildinfo_text(info["commit"], info["version"], int(info["SOURCE_DATE_EPOCH"]), versions) != data:
        raise AssertionError("read_buildinfo accepts a BUILDINFO.txt that buildinfo_text does not write")
    return info


def package_version(package: str) -> str:
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if result.returncode != 0 or not result.stdout:
        sys.exit(f"pack: cannot tell which version of the Debian package {package} is installed")
    return result.stdout


def buildinfo_text(commit: str, version: str, epoch: int, versions: list[tuple[str, str]]) -> bytes:
    lines = [f"commit {commit}", f"version {version}", f"SOURCE_DATE_EPOCH {epoch}"]
    lines += [f"{package} {version}" for package, version in versions]
    return crlf("\n".join(lines).encode("ascii") + b"\n")


def buildinfo(commit: str, version: str, epoch: int, signed: bool) -> bytes:
    """What a second builder needs to reproduce the programs' bytes."""
    packages = TOOLCHAIN_PACKAGES + ([SIGNER_PACKAGE] if signed else [])
    return buildinfo_text(commit, version, epoch, [(package, package_version(package)) for package in packages])


def crlf(text: bytes) -> bytes:
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
