"""What Debian says of the packages a release names: architecture, the
Debian release, the source package and the .deb's SHA-256, from
release/third_party/debian-packages.txt, and their package URLs.

The table, not the machine, gives the SBOM's facts, so that a release
repacked elsewhere (verify-release.sh), where other versions may be
installed, gets the same bytes. A release made here checks first that the
table says of each version what dpkg-query, apt's index and os-release
say on this machine (installed_problems).
"""
import os
import platform
import re
import subprocess
import urllib.parse
from typing import NamedTuple

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "third_party", "debian-packages.txt")
NAME = re.compile(r"[a-z0-9][a-z0-9+.-]{0,63}\Z")
VERSION = re.compile(r"[0-9][A-Za-z0-9.+~:-]{0,63}\Z")
DISTRO = re.compile(r"[a-z]+-[0-9][0-9.]*\Z")
SHA256 = re.compile(r"[0-9a-f]{64}\Z")


class DebianError(Exception):
    pass


class Deb(NamedTuple):
    """One line of the table."""
    package: str
    version: str
    arch: str
    distro: str
    source: str
    source_version: str
    sha256: str | None

    def line(self) -> str:
        return " ".join(self[:6]) + " " + (self.sha256 or "-")


def read_table(path: str = TABLE) -> dict[tuple[str, str], Deb]:
    """{(package, version): Deb}; raises DebianError naming a bad line."""
    table: dict[tuple[str, str], Deb] = {}
    with open(path, encoding="ascii") as lines:
        for number, line in enumerate(lines, start=1):
            if line.startswith("#") or not line.strip():
                continue
            fields = line.split()
            if len(fields) != 7:
                raise DebianError(f"{path}: line {number} does not have 7 fields")
            package, version, arch, distro, source, source_version, sha256 = fields
            if not (NAME.match(package) and NAME.match(source) and VERSION.match(version)
                    and VERSION.match(source_version) and NAME.match(arch) and DISTRO.match(distro)
                    and (sha256 == "-" or SHA256.match(sha256))):
                raise DebianError(f"{path}: line {number} is not in the table's form")
            if (package, version) in table:
                raise DebianError(f"{path}: line {number} gives {package} {version} a second time")
            table[package, version] = Deb(package, version, arch, distro, source, source_version,
                                          None if sha256 == "-" else sha256)
    return table


def facts(table: dict[tuple[str, str], Deb], package: str, version: str) -> Deb:
    """The table's line, or, for a version it lacks, one that knows only
    the name and version. A release made here has its lines checked first
    (installed_problems); a BUILDINFO.txt repacked elsewhere may name any
    version, and the release check flags those that differ."""
    return table.get((package, version)) or Deb(package, version, "", "", "", "", None)


def upstream_version(version: str) -> str:
    """The upstream part of a Debian version (Debian Policy 5.6.12): without
    the epoch (up to the first colon) and the Debian revision (from the
    last hyphen on), either of which may be absent."""
    without_epoch = version.partition(":")[2] if ":" in version else version
    upstream, hyphen, _ = without_epoch.rpartition("-")
    return upstream if hyphen else without_epoch


def purl(deb: Deb) -> str:
    """The package URL in package-url's form for a deb, canonical
    as packageurl-js serialises it: qualifiers sorted, a version's '+' and
    epoch ':' kept, a name's '+' and a qualifier's '@' percent-encoded.
    upstream names the source package, with its version where that
    differs from the binary's (as Syft writes it)."""
    source = deb.source if deb.source_version == deb.version else f"{deb.source}@{deb.source_version}"
    qualifiers = {"arch": deb.arch, "distro": deb.distro, "upstream": source} if deb.source else {}
    query = "&".join(f"{key}={urllib.parse.quote(value, safe='-._*')}" for key, value in sorted(qualifiers.items()))
    return (f"pkg:deb/debian/{urllib.parse.quote(deb.package, safe='-._~!*()' + chr(39))}"
            f"@{urllib.parse.quote(deb.version, safe='-._~!*()+:' + chr(39))}" + (f"?{query}" if query else ""))


def query(command: list[str]) -> str | None:
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    return result.stdout if result.returncode == 0 else None


def this_distro() -> str:
    fields = platform.freedesktop_os_release()
    return f"{fields.get('ID', '')}-{fields.get('VERSION_ID', '')}"


def installed(package: str) -> Deb:
    """What this machine says of the installed PACKAGE: dpkg-query, and
    apt's index for the .deb's SHA-256."""
    shown = query(["dpkg-query", "-W", "-f=${Version} ${Architecture} ${source:Package} ${source:Version}",
                   package])
    if shown is None or len(shown.split()) != 4:
        raise DebianError(f"dpkg-query knows no installed {package}")
    version, arch, source, source_version = shown.split()
    index = query(["apt-cache", "show", f"{package}={version}"]) or ""
    sums = re.findall(r"(?m)^SHA256: ([0-9a-f]{64})$", index)
    return Deb(package, version, arch, this_distro(), source, source_version, sums[0] if len(sums) == 1 else None)


def installed_problems(table: dict[tuple[str, str], Deb], versions: dict[str, str]) -> list[str]:
    """Where the table differs from this machine for the packages and
    versions VERSIONS ({package: version}, as BUILDINFO.txt gives them)."""
    problems = []
    for package, version in sorted(versions.items()):
        mine = installed(package)
        if mine.version != version:
            problems.append(f"{package}: {version} was named, {mine.version} is installed")
        elif table.get((package, version)) != mine:
            problems.append(f"release/third_party/debian-packages.txt needs the line: {mine.line()}")
    return problems
