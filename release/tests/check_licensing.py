#!/usr/bin/python3
"""The tree's licensing, and the notices the release derives from the link.

    check_licensing.py

- `reuse lint` passes on this checkout, and fails on copies of it weakened
  in one point (WEAKENED), saying what is missing;
- the texts notices.py reproduces are still, verbatim, in
  the installed Debian copyright files they were taken from;
- each archive and object notices.py maps to a Debian package belongs to
  that package on this machine (dpkg -S), where the linker finds it first;
- the source file notices.py gives each mingw-w64 member is the one its
  debug information names, and the stanza of Debian's copyright file
  notices.py takes for it is the last that matches it (no stricter one);
- notices.py on small link and section maps (MAPS): an input of no known
  package or archive fails the release naming it, one more member changes
  the notices, a map that lld did not write is refused.

Exit status 0 when all hold, 1 otherwise.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable

from debian.copyright import Copyright, License

RELEASE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOP = os.path.dirname(RELEASE_DIR)
sys.path.insert(0, RELEASE_DIR)
sys.dont_write_bytecode = True  # nothing written into the source tree
import notices  # noqa: E402
from buildinfo import Programs  # noqa: E402

# In the order clang's driver searches them (the toolchain file's sysroot
# maps these): both hold a crtbegin.o, and the first is the one linked.
# The first is the posix GCC's folder, as the compiler names it.
LIBRARY_FOLDERS = [os.path.dirname(subprocess.run(
    ["x86_64-w64-mingw32-g++-posix", "-print-libgcc-file-name"],
    check=True, stdout=subprocess.PIPE, text=True).stdout.strip()), "/usr/x86_64-w64-mingw32/lib"]


# A change made to a copy of the tree, given the copy's top folder.
Change = Callable[[str], None]


def added(path: str, text: str) -> Change:
    def change(tree: str) -> None:
        os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
        with open(os.path.join(tree, path), "w", encoding="ascii") as out:
            out.write(text)
    return change


# A copy of the tree changed in one point, and what reuse lint must name.
WEAKENED: list[tuple[str, Change, str]] = [
    ("file_without_license", added("tools/flash.py", "print('flash')\n"), "tools/flash.py"),
    ("license_text_removed", lambda tree: os.remove(os.path.join(tree, "LICENSES", "ZPL-2.1.txt")),
     "Missing licenses: ZPL-2.1"),
    # (The tag split in two, so that reuse does not take it for this file's.)
    ("header_license_without_text", added("scripts/helper.sh", "# SPDX-" "License-Identifier: Apache-2.0\n"
                                          "# SPDX-" "FileCopyrightText: 2026 someone\n"), "Apache-2.0"),
]

MAP_HEAD = """ A

 Timestamp is 00000000 (Thu Jan  1 00:00:00 1970)

  Address         Publics by Value              Rva+Base               Lib:Object

 0000:00000000       __guard_flags              0000000000010500     <absolute>
 0001:00000000       mainCRTStartup             0000000140001000     crt2.o
 0001:00000010       main                       0000000140001010     main.cpp.obj
 0001:00000020       ___chkstk_ms               0000000140001020     libgcc:_chkstk_ms.o
 0001:00000030       _Z3runv                    0000000140001030     libbrelvik_winusb:program.cpp.obj
"""


SECTIONS_HEAD = """Address  Size     Align Out     In      Symbol
00001000 00002950  4096 .text
00001000 00000510    16         /b/mingw-sysroot/lib/gcc/x86_64-w64-mingw32/12-posix/crt2.o:(.text)
00001000 00000000     0                 mainCRTStartup
00001510 00000020    16         main.cpp.obj:(.text)
00001530 00000020    16         _chkstk_ms.o:(.text)
00001550 00000020    16         _ctors.o:(.rdata$zzz)
00005000 00000620     4         winusb_edition/CMakeFiles/A.dir/A.rc.res:(.rsrc)
"""


def symbol(member: str) -> str:
    return f" 0001:00000040       some_symbol                0000000140001040     {member}\n"


def section(name: str, size: int = 0x10) -> str:
    return f"00003d80 {size:08x}    16         /b/mingw-sysroot/lib/gcc/x86_64-w64-mingw32/12-posix/{name}:(.text)\n"


# A link map and a section map, and what notices.py must say: a
# LinkError's text, or None for notices, which differ from the first
# case's exactly when marked so.
MAPS: list[tuple[str, str, str, str | None, bool]] = [
    ("genuine", MAP_HEAD, SECTIONS_HEAD, None, False),
    ("one_more_member", MAP_HEAD + symbol("libmingwex:lib64_libmingwex_a-delayimp.o"), SECTIONS_HEAD, None, True),
    ("object_without_symbols", MAP_HEAD, SECTIONS_HEAD + section("crtend.o"), None, True),
    ("empty_section_only", MAP_HEAD, SECTIONS_HEAD + section("crtfastmath.o", 0), None, False),
    ("unknown_archive", MAP_HEAD + symbol("libpthread:libpthread_a-thread.o"), SECTIONS_HEAD,
     "A.exe links libpthread.a(libpthread_a-thread.o), whose Debian package and license", False),
    ("unknown_object", MAP_HEAD + symbol("crtfastmath.o"), SECTIONS_HEAD, "A.exe links crtfastmath.o, whose", False),
    ("member_in_no_archive", MAP_HEAD, SECTIONS_HEAD + section("emutls.o"),
     "A.exe links emutls.o, which its link map places in no archive", False),
    ("member_of_unknown_source", MAP_HEAD + symbol("libmingwex:lib64_libmingwex_a-strtok_r.o"), SECTIONS_HEAD,
     "whose source file (and so license) notices.py does not know", False),
    ("escape_in_a_name", MAP_HEAD + symbol("lib\x1b[2Jx:y.o"), SECTIONS_HEAD, "an input named 'lib\\x1b[2Jx:y.o'",
     False),
    ("not_a_map", "Timestamp is 0\n", SECTIONS_HEAD, "is not a link map lld wrote", False),
    ("not_a_section_map", MAP_HEAD, "Address Size\n", "is not a section map lld wrote", False),
]
INFO = {"commit": "0" * 40, "SOURCE_DATE_EPOCH": "0", "mingw-w64-x86-64-dev": "10.0.0-3",
        "g++-mingw-w64-x86-64-posix": "12.2.0-14"}


def lint(tree: str) -> tuple[int, str]:
    result = subprocess.run(["reuse", "--root", tree, "lint"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    return result.returncode, result.stdout


def check_reuse(failures: list[str]) -> None:
    status, output = lint(TOP)
    print(f"-- this checkout: reuse lint exit status {status}")
    if status != 0:
        failures.append(f"reuse lint fails on this checkout:\n{output}")
    listed = subprocess.run(["git", "-C", TOP, "ls-files", "-z", "-co", "--exclude-standard"],
                            check=True, stdout=subprocess.PIPE).stdout.decode().split("\0")
    with tempfile.TemporaryDirectory() as scratch:
        # The unchanged copy, which names nothing, and the weakened ones.
        copies: list[tuple[str, Change | None, str]] = [("copy", None, ""), *WEAKENED]
        for case, weaken, named in copies:
            tree = os.path.join(scratch, case)
            for name in filter(None, listed):
                if os.path.isfile(os.path.join(TOP, name)):
                    os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
                    shutil.copyfile(os.path.join(TOP, name), os.path.join(tree, name))
            if weaken:
                weaken(tree)
            status, output = lint(tree)
            print(f"-- {case}: reuse lint exit status {status}")
            if weaken is None and status != 0:
                failures.append(f"reuse lint fails on an unchanged copy:\n{output}")
            elif weaken and (status == 0 or named not in output):
                failures.append(f"{case}: reuse lint exit status {status}, without naming {named!r}")


def check_texts(failures: list[str]) -> None:
    for title, path, installed in notices.TEXTS.values():
        with open(os.path.join(TOP, path), "rb") as ours, open(installed, "rb") as theirs:
            if ours.read() not in theirs.read():
                failures.append(f"{path} ({title}) is no longer as {installed} gives it")
    with open(os.path.join(TOP, "LICENSES", "GPL-3.0-or-later.txt"), "rb") as ours, \
            open("/usr/share/common-licenses/GPL-3", "rb") as theirs:
        if ours.read() != theirs.read():
            failures.append("LICENSES/GPL-3.0-or-later.txt is not /usr/share/common-licenses/GPL-3")
    print(f"-- {len(notices.TEXTS)} license texts compared with the installed copyright files")


def check_packages(failures: list[str]) -> None:
    files = {f"{archive}.a": package for archive, package in notices.ARCHIVES.items()}
    files.update(notices.OBJECTS)
    for name, package in sorted(files.items()):
        paths = [os.path.join(folder, name) for folder in LIBRARY_FOLDERS
                 if os.path.exists(os.path.join(folder, name))]
        owners: set[str] = set()
        for path in paths[:1]:
            result = subprocess.run(["dpkg-query", "-S", path], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
            owners.update(line.split(":", 1)[0] for line in result.stdout.splitlines())
        if owners != {package}:
            failures.append(f"{name}: notices.py says {package}, dpkg says {sorted(owners) or 'none'}")
    for member, archive in notices.SYMBOL_LESS.items():
        path = next(os.path.join(f, f"{archive}.a") for f in LIBRARY_FOLDERS if os.path.exists(os.path.join(f, f"{archive}.a")))
        listed = subprocess.run(["x86_64-w64-mingw32-ar", "t", path], check=True, stdout=subprocess.PIPE, text=True)
        if member not in listed.stdout.split():
            failures.append(f"{path} holds no {member}, which notices.py places there")
    print(f"-- {len(files)} archives and objects looked up with dpkg")


def dwarf_name(data: bytes) -> str | None:
    """The source file an object's debug information names first."""
    with tempfile.NamedTemporaryFile(suffix=".o") as copy:
        copy.write(data)
        copy.flush()
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "--dwarf=info", copy.name], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, errors="replace").stdout
    found = re.search(r"DW_AT_name\s*:.*?: \./(\S+)", dump)
    return found.group(1) if found else None


def copyright_license(path: str, source: str) -> str:
    """The license Debian's copyright file at PATH gives SOURCE: that of
    the last Files stanza with a pattern that matches it."""
    with open(path, encoding="utf-8") as text:
        stanza = Copyright(text).find_files_paragraph(source)
    # python-debian types its fields as the descriptors they are made by.
    named: License | None = getattr(stanza, "license", None)
    license = named.synopsis if named is not None else ""
    return {"public-domain": notices.PUBLIC_DOMAIN}.get(license, license)


def check_sources(failures: list[str]) -> None:
    """notices.MINGW_SOURCES is what the installed objects' debug
    information names, and no stanza of the installed copyright file
    other than the one notices.py takes applies to any of them."""
    folder = LIBRARY_FOLDERS[1]
    named: dict[str, str | None] = {}
    for member, stem in notices.MINGW_OBJECT_SOURCES.items():
        with open(os.path.join(folder, member), "rb") as data:
            named[stem] = dwarf_name(data.read())
    for archive in ["libmingw32", "libmingwex", "libmsvcrt"]:
        path = os.path.join(folder, f"{archive}.a")
        listed = subprocess.run(["x86_64-w64-mingw32-ar", "t", path], check=True, stdout=subprocess.PIPE, text=True)
        for member in listed.stdout.split():
            stem = member.partition("_a-")[2][:-2]
            if any(stem in stems for stems in notices.MINGW_SOURCES.values()) and stem not in named:
                named[stem] = dwarf_name(subprocess.run(["x86_64-w64-mingw32-ar", "p", path, member], check=True,
                                                        stdout=subprocess.PIPE).stdout)
    sources = [f"{where}/{stem}.c" for where, stems in notices.MINGW_SOURCES.items() for stem in stems]
    for source in sources:
        stem = source.rsplit("/", 1)[1][:-2]
        if named.get(stem) != source:
            failures.append(f"notices.py says {stem} is built from {source}, the installed objects say {named.get(stem)}")
        given = copyright_license(notices.MINGW_COPYRIGHT, source)
        if notices.stanza(source)[1] != given:
            failures.append(f"{source}: notices.py gives {notices.stanza(source)[1]}, {notices.MINGW_COPYRIGHT} {given}")
    # Import thunks are made from .def files: the copyright file puts none
    # of the 64-bit import libraries' .def files in another stanza than Files: *.
    if copyright_license(notices.MINGW_COPYRIGHT, "mingw-w64-crt/lib-common/kernel32.def") != notices.stanza(None)[1]:
        failures.append("the .def files' stanza is no longer notices.py's")
    print(f"-- {len(sources)} mingw-w64 source files held against the debug information and {notices.MINGW_COPYRIGHT}")


def check_maps(failures: list[str]) -> None:
    made: dict[str, str] = {}
    with tempfile.TemporaryDirectory() as scratch:
        for case, text, sections, error, differs in MAPS:
            paths = [os.path.join(scratch, f"{case}.map"), os.path.join(scratch, f"{case}.lldmap")]
            for path, written in zip(paths, [text, sections]):
                with open(path, "w", encoding="ascii") as out:
                    out.write(written)
            contents: Programs = {"name": "BRELVIK_DFU_SWITCH", "version": "1.0.0",
                        "program": ["/build/A.exe"], "linkmap": paths[:1], "sectionmap": paths[1:]}
            said: str | None
            try:
                made[case] = notices.notices_text(contents, INFO, notices.linked(contents))
                said = None
            except notices.LinkError as raised:
                said = str(raised)
            print(f"-- map {case}: {said or 'notices made'}")
            if error is None and said is not None:
                failures.append(f"map {case}: {said}")
            elif error is not None and (said is None or error not in said):
                failures.append(f"map {case}: expected an error with {error!r}, got {said!r}")
            elif error is None and differs == (made[case] == made["genuine"]):
                failures.append(f"map {case}: the notices {'did not change' if differs else 'changed'}")
    if ("libgcc.a: _chkstk_ms.o, _ctors.o" not in made.get("genuine", "") or "main.cpp.obj" in made.get("genuine", "")
            or "delayimp.o (public domain, Files:" not in made.get("one_more_member", "")):
        failures.append("the notices do not list exactly the third-party members of the genuine map")


def main() -> int:
    failures: list[str] = []
    for check in [check_reuse, check_texts, check_packages, check_sources, check_maps]:
        check(failures)
    for failure in failures:
        print(f"FAILED: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
