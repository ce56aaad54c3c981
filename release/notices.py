#!/usr/bin/python3
"""THIRD_PARTY_NOTICES.txt, from what the linker put into each program.

lld's link map of a program (release_contents.txt's linkmap lines) names,
for every symbol of the image, the object and archive that defined it;
its section map (sectionmap lines, lld's /lldmap) names every input that
puts bytes into the image, among them objects that define no symbol of
their own, by file name alone. Each input of either is accounted for: its
archive comes from the link map, or else from the member's name where
mingw-w64's build puts it there, or from SYMBOL_LESS.
Each archive and object is mapped here to the Debian package it comes
from; the notices name each package that contributes code, its version
(BUILDINFO.txt's), which members each program links, and its license as
Debian's copyright file for it gives it, followed by the project's own
license. A member of an archive or an object this table does not know
fails the release: its license cannot be told.

The texts come from this tree (release/third_party/ and
LICENSES/, excerpts of the installed copyright files that
tests/check_licensing.py holds against them), so the same commit and
BUILDINFO.txt give the same bytes on any machine.

    notices.py --contents BUILD/release_contents.txt --buildinfo BUILDINFO.txt

prints what the notices would say (LF line ends) for a look.
"""
import argparse
import dataclasses
import os
import re
import sys
import textwrap
from typing import NamedTuple

from buildinfo import BuildinfoError, Programs, read_buildinfo, read_contents

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NOTICES_NAME = "THIRD_PARTY_NOTICES.txt"
PROJECT_LICENSE = "LICENSE"
MAP_LIMIT = 8 << 20
WIDTH = 76


class Text(NamedTuple):
    """A text the notices reproduce: its title, where in this tree, and
    the installed file it is taken from verbatim."""
    title: str
    path: str
    installed: str


MINGW_COPYRIGHT = "/usr/share/doc/mingw-w64-x86-64-dev/copyright"
GCC_COPYRIGHT = "/usr/share/doc/gcc-mingw-w64-x86-64-posix/copyright"
TEXTS = {
    "zpl": Text("mingw-w64: ZPL-2.1, with its disclaimer",
                "release/third_party/mingw-w64.copyright.txt", MINGW_COPYRIGHT),
    "mingw-pd": Text("mingw-w64: the public-domain statement",
                     "release/third_party/mingw-w64.public-domain.txt", MINGW_COPYRIGHT),
    "gcc": Text("GCC: the runtime libraries' license",
                "release/third_party/gcc-mingw-w64.copyright.txt", GCC_COPYRIGHT),
    "gcc-exception": Text("GCC Runtime Library Exception, version 3.1",
                          "LICENSES/GCC-exception-3.1.txt", GCC_COPYRIGHT),
    "gpl-3": Text("GNU General Public License, version 3",
                  "LICENSES/GPL-3.0-or-later.txt", "/usr/share/common-licenses/GPL-3"),
}

MINGW = "mingw-w64-x86-64-dev"
GCC = "gcc-mingw-w64-x86-64-posix"
GXX = "g++-mingw-w64-x86-64-posix"
GCC_LICENSE = "GPL-3.0-or-later WITH GCC-exception-3.1"


@dataclasses.dataclass(frozen=True)
class Package:
    """A Debian package whose code the programs link. version: the
    BUILDINFO.txt line that gives the package's version; what: the code
    it gives; license: an SPDX expression; terms: what Debian's copyright
    file says of it; texts: the TEXTS that hold its license; note: any
    word on how its code is linked."""
    version: str
    source: str
    what: str
    license: str
    terms: str
    texts: tuple[str, ...]
    note: str | None = None


def gcc_runtime(what: str, note: str | None = None) -> Package:
    """What both of GCC's packages here share: one source, one license."""
    return Package(version=GXX, source="gcc-mingw-w64", what=what, license=GCC_LICENSE,
                   terms="GPL-3.0 or later with the GCC Runtime Library Exception 3.1",
                   texts=("gcc", "gcc-exception", "gpl-3"), note=note)


# GCC's runtime package is not among BUILDINFO.txt's lines:
# g++-mingw-w64-x86-64-posix, which is, depends on exactly its own version
# of it (one source package).
PACKAGES = {
    MINGW: Package(
        version=MINGW, source="mingw-w64",
        what="The mingw-w64 runtime (start-up code, emulations of msvcrt.dll functions,"
             " the delay-load helper) and import libraries of Windows DLLs",
        license="ZPL-2.1 AND LicenseRef-mingw-w64-public-domain",
        terms="ZPL-2.1 for all files (Files: *), except the start-up code of"
              " mingw-w64-crt/crt/, from which crt2.o and libmingw32.a are built, which is"
              " in the public domain (Files: mingw-w64-crt/crt/*)",
        texts=("zpl", "mingw-pd"),
        note="crt2.o and libmingw32.a are linked from copies in which some file-local"
             " functions are made global (objcopy --globalize-symbol), so that they can"
             " be listed as Control Flow Guard call targets; their code is unchanged.",
    ),
    GCC: gcc_runtime(
        "GCC's runtime library libgcc and its start files",
        "crtend.o is linked from a copy in which its file-local frame-registration"
        " constructor is made global (objcopy --globalize-symbol), so that it can be"
        " listed as a Control Flow Guard call target; its code is unchanged."),
    GXX: gcc_runtime("GCC's C++ library libstdc++"),
}
OBJECTS = {"crt2.o": MINGW, "crtbegin.o": GCC, "crtend.o": GCC}
# Archives by the name the map gives them (the file name without .a).
ARCHIVES = {
    "libmingw32": MINGW, "libmingwex": MINGW, "libmsvcrt": MINGW,
    "libgcc": GCC, "libgcc_eh": GCC, "libstdc++": GXX, "libsupc++": GXX,
}
# mingw-w64's import libraries of Windows DLLs the programs link.
for dll in ["advapi32", "cfgmgr32", "comdlg32", "gdi32", "kernel32", "ole32", "oleaut32",
            "setupapi", "shell32", "user32", "uuid", "wbemuuid", "winspool", "winusb"]:
    ARCHIVES[f"lib{dll}"] = MINGW

# Members that put bytes into the programs but define no symbol there, so
# that the link map does not name their archive: the end of libgcc's
# constructor list.
SYMBOL_LESS = {"_ctors.o": "libgcc"}
# mingw-w64's build names each member after its archive.
MINGW_MEMBER = re.compile(r"lib64_(lib[a-z0-9]+)(?:_[a-z]+)?_a-")

# A symbol line: address, name, Rva+Base, an optional flag, Lib:Object.
SYMBOL_LINE = re.compile(r" [0-9a-f]{4}:[0-9a-f]{8} +\S+ +[0-9a-f]{16}(?: +f)? +(\S+)\Z")
# A section map's input line: address, size, alignment, then (further in
# than an output section, less far than a symbol) FILE:(SECTION).
SECTION_LINE = re.compile(r"[0-9a-f]{8} ([0-9a-f]{8}) [ 0-9]{4}[0-9] {9}(\S.*):\(([^()]*)\)\Z")
MEMBER_NAME = re.compile(r"[A-Za-z0-9_.+-]{1,128}\Z")
LINKER_MADE = {"<absolute>", "<linker-defined>", "<common>"}

# {program file name: {package: {archive or None: {member, ...}}}}
Links = dict[str, dict[str, dict[str | None, set[str]]]]


class LinkError(Exception):
    pass


def map_lines(path: str) -> list[str]:
    try:
        with open(path, "rb") as source:
            data = source.read(MAP_LIMIT + 1)
    except OSError as error:
        raise LinkError(f"cannot read the link map {path}: {error.strerror}") from None
    if len(data) > MAP_LIMIT:
        raise LinkError(f"the link map {path} is longer than {MAP_LIMIT} bytes")
    try:
        return data.decode("ascii").splitlines()
    except UnicodeDecodeError:
        raise LinkError(f"the link map {path} is not ASCII") from None


def section_inputs(path: str) -> set[str]:
    """The file names of the inputs that put at least one byte into the
    image, from the section map at PATH."""
    lines = map_lines(path)
    if not lines or lines[0].split() != ["Address", "Size", "Align", "Out", "In", "Symbol"]:
        raise LinkError(f"{path} is not a section map lld wrote")
    names = set()
    for line in lines[1:]:
        match = SECTION_LINE.match(line)
        if not match or match.group(2) in LINKER_MADE:
            continue
        name = os.path.basename(match.group(2))
        if not MEMBER_NAME.match(name):
            raise LinkError(f"{path}: an input named {match.group(2)!r}")
        if int(match.group(1), 16):
            names.add(name)
    if not names:
        raise LinkError(f"{path} names no input")
    return names


def map_inputs(path: str) -> set[tuple[str | None, str]]:
    """The (archive, member) pairs that define the symbols of the map at
    PATH; archive is None for an object linked by itself."""
    lines = map_lines(path)
    try:
        start = next(number for number, line in enumerate(lines) if "Publics by Value" in line)
    except StopIteration:
        raise LinkError(f"{path} is not a link map lld wrote (no 'Publics by Value')") from None
    inputs: set[tuple[str | None, str]] = set()
    for line in lines[start + 1:]:
        match = SYMBOL_LINE.match(line)
        if not match or match.group(1) in LINKER_MADE:
            continue
        archive, _, member = match.group(1).rpartition(":")
        if not MEMBER_NAME.match(member) or (archive and not MEMBER_NAME.match(archive)):
            raise LinkError(f"{path}: an input named {match.group(1)!r}")
        inputs.add((archive or None, member))
    if not inputs:
        raise LinkError(f"{path} names no input that defines a symbol")
    return inputs


def own(archive: str | None, member: str) -> bool:
    """Built from this tree: our objects and libraries, and the import
    libraries lld-link makes from platform/windows/*.def."""
    if archive is None:
        return member.endswith((".cpp.obj", ".rc.res"))
    if archive.startswith("libbrelvik_"):
        return member.endswith(".cpp.obj")
    return archive.endswith("_delay") and member.endswith(".dll")


def package_of(archive: str | None, member: str) -> str | None:
    if archive is None:
        return OBJECTS.get(member)
    return ARCHIVES.get(archive)


def inputs(name: str, link_map: str, section_map: str) -> set[tuple[str | None, str]]:
    """(archive, member) of each input of the program NAME."""
    placed = map_inputs(link_map)
    members = {member for _, member in placed}
    for member in section_inputs(section_map) - members:
        mingw = MINGW_MEMBER.match(member)
        if own(None, member) or member in OBJECTS:
            placed.add((None, member))
        elif member in SYMBOL_LESS:
            placed.add((SYMBOL_LESS[member], member))
        elif mingw and ARCHIVES.get(mingw.group(1)) == MINGW:
            placed.add((mingw.group(1), member))
        else:
            raise LinkError(f"{name} links {member}, which its link map places in no archive")
    return placed


def linked(contents: Programs) -> Links:
    """{program file name: {package: {archive or None: {member, ...}}}} of
    the third-party code each program links; raises LinkError for an input
    whose package is not known."""
    programs = contents["program"]
    maps = contents.get("linkmap", [])
    sections = contents.get("sectionmap", [])
    if not len(maps) == len(sections) == len(programs):
        raise LinkError(f"{len(programs)} programs, {len(maps)} link maps and {len(sections)}"
                        " section maps in the contents")
    result: Links = {}
    for program, link_map, section_map in zip(programs, maps, sections):
        name = os.path.basename(program)
        packages = result.setdefault(name, {})
        for archive, member in sorted(inputs(name, link_map, section_map),
                                      key=lambda i: (i[0] or "", i[1])):
            if own(archive, member):
                continue
            package = package_of(archive, member)
            if package is None:
                shown = f"{archive}.a({member})" if archive else member
                raise LinkError(f"{name} links {shown}, whose Debian package and license"
                                " notices.py does not know")
            packages.setdefault(package, {}).setdefault(archive, set()).add(member)
    return result


def package_version(package: str, info: dict[str, str]) -> str:
    key = PACKAGES[package].version
    if key not in info:
        raise LinkError(f"BUILDINFO.txt names no version of {key}, which {package} takes")
    return info[key]


def read_text(relative: str) -> str:
    with open(os.path.join(TOP, relative), "rb") as source:
        data = source.read()
    try:
        return data.decode("ascii").rstrip("\n")
    except UnicodeDecodeError:
        raise LinkError(f"{relative} is not ASCII") from None


def describe(archive: str | None, members: set[str]) -> str:
    """One line of what a program takes from an archive or object."""
    if archive is None:
        return ", ".join(sorted(members))
    thunk = re.compile(re.escape(archive) + r"(?:_def)?s[0-9]+\.o\Z")
    edge = re.compile(re.escape(archive) + r"(?:_def)?[ht]\.o\Z")
    thunks = [m for m in members if thunk.match(m)]
    code = sorted(m for m in members if not thunk.match(m) and not edge.match(m))
    parts = code[:]
    if thunks:
        parts.append(f"import thunks of {len(thunks)} functions")
    if any(edge.match(m) for m in members):
        parts.append("the import table's head and tail")
    return f"{archive}.a: " + ", ".join(parts)


def wrapped(text: str, indent: str | None = None) -> str:
    """A paragraph, or with INDENT a list item with a hanging indent."""
    return textwrap.fill(text, WIDTH, initial_indent=indent or "",
                         subsequent_indent=indent + "  " if indent else "",
                         break_on_hyphens=False, break_long_words=False)


def notices_text(contents: Programs, info: dict[str, str], links: Links) -> str:
    """THIRD_PARTY_NOTICES.txt's text, LF line ends."""
    names = [os.path.basename(p) for p in contents["program"]]
    packages = [p for p in PACKAGES if any(p in links[n] for n in names)]
    texts = [t for t in TEXTS if any(t in PACKAGES[p].texts for p in packages)]
    title = f"BRELVIK DFU switch {contents['version']}: third-party notices"
    out = [title, "=" * len(title), ""]
    out.append(wrapped(
        f"{' and '.join(names)} are linked statically with code of the Debian packages below."
        " Which code each program takes from each package is read from the linker's map of"
        " that program when the release is built; the license texts are those of Debian's"
        " copyright file for each package."))
    out += ["", "Contents", ""]
    sections = [f"{p} {package_version(p, info)}" for p in packages]
    sections += [TEXTS[t].title for t in texts]
    sections.append("The BRELVIK DFU switch's own license (MIT)")
    number: dict[str, int] = {}
    for index, section in enumerate(sections, start=1):
        out.append(f"  {index}. {section}")
    for index, text in enumerate(texts, start=len(packages) + 1):
        number[text] = index
    for index, package in enumerate(packages, start=1):
        entry = PACKAGES[package]
        heading = f"{index}. {package} {package_version(package, info)}"
        out += ["", "", heading, "-" * len(heading), ""]
        out.append(wrapped(f"{entry.what}; Debian source package {entry.source}."))
        out += ["", wrapped(f"License: {entry.license}. Debian's copyright file gives"
                            f" {entry.terms}. Texts: sections "
                            + ", ".join(str(number[t]) for t in entry.texts) + ".")]
        for name in names:
            if package not in links[name]:
                continue
            out += ["", f"Linked into {name}:"]
            taken = links[name][package]
            for archive in sorted(taken, key=lambda a: (a is not None, a or "")):
                out.append(wrapped(describe(archive, taken[archive]), "  "))
        if entry.note is not None:
            out += ["", wrapped(entry.note)]
    for text in texts:
        heading = f"{number[text]}. {TEXTS[text].title}"
        out += ["", "", heading, "-" * len(heading), "", read_text(TEXTS[text].path)]
    heading = f"{len(sections)}. The BRELVIK DFU switch's own license (MIT)"
    out += ["", "", heading, "-" * len(heading), "", read_text(PROJECT_LICENSE), ""]
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--contents", required=True)
    parser.add_argument("--buildinfo", required=True)
    args = parser.parse_args()
    with open(args.buildinfo, "rb") as source:
        try:
            info = read_buildinfo(source.read())
        except BuildinfoError as error:
            sys.exit(f"notices: {args.buildinfo}: {error}")
    contents = read_contents(args.contents)
    try:
        sys.stdout.write(notices_text(contents, info, linked(contents)))
    except LinkError as error:
        sys.exit(f"notices: {error}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
