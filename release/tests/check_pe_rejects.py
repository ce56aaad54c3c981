#!/usr/bin/python3
"""Shows that check_pe.py --release rejects each weakness it is there to
catch: every program given passes as built, and every copy of it made to
fail one check is rejected with that check's complaint.

    check_pe_rejects.py --work-dir DIR PROGRAM.exe...
"""
import argparse
import os
import re
import struct
import sys
from collections.abc import Callable

import pefile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import check_pe  # noqa: E402

BASERELOC = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
DEBUG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
IMAGE_DEBUG_TYPE_CODEVIEW = 2
DEBUG_ENTRY_SIZE = 28
# IMAGE_LOAD_CONFIG_DIRECTORY64: where the fields changed lie, as Windows
# SDK's winnt.h lays them out (the check reads them by pefile's names).
DEPENDENT_LOAD_FLAGS = 0x4E
GUARD_CHECK_POINTER = 0x70
GUARD_DISPATCH_POINTER = 0x78
GUARD_FUNCTION_TABLE = 0x80
GUARD_FUNCTION_COUNT = 0x88
GUARD_FLAGS = 0x90

# What makes a copy of a program fail one check: it changes the parsed image.
Mutation = Callable[[pefile.PE], None]
# The RVAs to take out of the guard function table, as found in the image.
Unlisted = Callable[[pefile.PE], set[int]]
# What the check must say: a text, a pattern, or a list of them.
Expected = str | re.Pattern[str] | list[str | re.Pattern[str]]


def section(pe: pefile.PE, name: str) -> pefile.SectionStructure:
    return next(s for s in pe.sections if s.Name.rstrip(b"\0").decode() == name)


def clear_characteristic(flag: int) -> Mutation:
    def mutate(pe: pefile.PE) -> None:
        pe.OPTIONAL_HEADER.DllCharacteristics &= ~flag
    return mutate


def drop_relocations(pe: pefile.PE) -> None:
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].Size = 0


def set_section_flags(name: str, flags: int) -> Mutation:
    def mutate(pe: pefile.PE) -> None:
        section(pe, name).Characteristics |= flags
    return mutate


def import_entry(pe: pefile.PE, dll: str) -> pefile.ImportDescData:
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        if entry.dll.decode("ascii", "replace").lower() == dll.lower():
            return entry
    raise SystemExit(f"check_pe_rejects: no import of {dll}")


def rename_import(old: str, new: str) -> Mutation:
    # Same length, so the name is rewritten in place.
    def mutate(pe: pefile.PE) -> None:
        pe.set_bytes_at_rva(import_entry(pe, old).struct.Name, new.encode() + b"\0")
    return mutate


def rename_function(dll: str, old: str, new: str) -> Mutation:
    # No longer than before, so the name is rewritten in place.
    def mutate(pe: pefile.PE) -> None:
        for function in import_entry(pe, dll).imports:
            if function.name == old.encode():
                pe.set_bytes_at_offset(function.name_offset, new.encode() + b"\0")
                return
        raise SystemExit(f"check_pe_rejects: {dll} has no import {old}")
    return mutate


def both(*mutations: Mutation) -> Mutation:
    def mutate(pe: pefile.PE) -> None:
        for mutation in mutations:
            mutation(pe)
    return mutate


def load_config_field(offset: int, form: str, change: Callable[[int], int]) -> Mutation:
    def mutate(pe: pefile.PE) -> None:
        rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].VirtualAddress + offset
        value, = struct.unpack(form, pe.get_data(rva, struct.calcsize(form)))
        pe.set_bytes_at_rva(rva, struct.pack(form, change(value)))
    return mutate


def unlist_tls_callback(pe: pefile.PE) -> None:
    """The first TLS callback a byte further on, where no listed function
    starts, as if it were a function lld had not listed."""
    parsed = check_pe.load(pe.source_path)
    callback = check_pe.tls_callbacks(parsed)[0]
    array = parsed.DIRECTORY_ENTRY_TLS.struct.AddressOfCallBacks
    pe.set_bytes_at_rva(array - pe.OPTIONAL_HEADER.ImageBase, struct.pack("<Q", callback + 1))


def guard_table(pe: pefile.PE) -> tuple[int, int, list[bytes]]:
    """The guard function table's RVA, entry size and entries."""
    config = pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].VirtualAddress
    table, count = struct.unpack("<QQ", pe.get_data(config + GUARD_FUNCTION_TABLE, 16))
    flags, = struct.unpack("<I", pe.get_data(config + GUARD_FLAGS, 4))
    stride = 4 + (flags >> check_pe.IMAGE_GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT)
    rva: int = table - pe.OPTIONAL_HEADER.ImageBase
    data: bytes = pe.get_data(rva, count * stride)
    return rva, stride, [data[i:i + stride] for i in range(0, len(data), stride)]


def unlist(pe: pefile.PE, unlisted: Unlisted) -> None:
    """The guard table without the entries of the RVAs unlisted(pe) names,
    as lld would write it had nothing made them valid targets."""
    drop = unlisted(pe)
    rva, stride, entries = guard_table(pe)
    kept = [e for e in entries if struct.unpack_from("<I", e)[0] not in drop]
    if len(kept) == len(entries) or not kept:
        raise SystemExit("check_pe_rejects: nothing to unlist, or everything")
    pe.set_bytes_at_rva(rva, b"".join(kept) + bytes(stride * (len(entries) - len(kept))))
    config = pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].VirtualAddress
    pe.set_bytes_at_rva(config + GUARD_FUNCTION_COUNT,
                        struct.pack("<Q", len(kept)))


def escapes(pe: pefile.PE) -> list[check_pe.Escape]:
    """(kind, rva, where) of the code addresses that leave the program as
    built, the guard pointers left out as the check leaves them out."""
    config = pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].VirtualAddress
    check, dispatch = struct.unpack("<QQ", pe.get_data(config + GUARD_CHECK_POINTER, 16))
    base: int = pe.OPTIONAL_HEADER.ImageBase
    problems: list[str] = []
    # Read from the program itself: pefile writes every structure it has
    # parsed back over the bytes of the copy, mutations included.
    found = check_pe.escaping_code_addresses(check_pe.load(pe.source_path), pe.source_path,
                                             (check - base, dispatch - base), problems)
    if problems:
        raise SystemExit(f"check_pe_rejects: {problems}")
    return found


def only_as(kind: str, pick: int) -> Unlisted:
    """One RVA that leaves the program in that way alone."""
    def choose(pe: pefile.PE) -> set[int]:
        found = escapes(pe)
        ways: dict[int, set[str]] = {}
        for k, rva, _ in found:
            ways.setdefault(rva, set()).add(k)
        candidates = sorted(rva for rva, k in ways.items() if k == {kind})
        if not candidates:
            raise SystemExit(f"check_pe_rejects: no code address leaves as {kind} alone")
        return {candidates[pick]}
    return choose


def every_escape(pe: pefile.PE) -> set[int]:
    return {rva for _, rva, _ in escapes(pe)}


def handler_thunk(pe: pefile.PE) -> set[int]:
    # The runtime's entry routines name the __C_specific_handler import
    # thunk, listed by image_support.cpp alone.
    return {rva for kind, rva, _ in escapes(pe) if kind == "handler"}


def shift_lea(pe: pefile.PE) -> None:
    """The first LEA of a code address made to take the byte after it,
    where no function starts and no other way leads."""
    for at, target in check_pe.rip_lea_targets(pe, pe.source_path, []):
        code: bytes = pe.get_data(at, 7)
        if check_pe.in_code(pe, target) and code[0] & 0xF8 == 0x48 and code[1] == 0x8D and \
                code[2] & 0xC7 == 0x05:
            disp, = struct.unpack_from("<i", code, 3)
            pe.set_bytes_at_rva(at + 3, struct.pack("<i", disp + 1))
            return
    raise SystemExit("check_pe_rejects: no LEA of a code address")


def complaint(kind: str, where: str) -> re.Pattern[str]:
    """The check's complaint of unlisted addresses reached that way."""
    text = dict(check_pe.ESCAPES)[kind]
    return re.compile(re.escape(text) + r": 0x[0-9a-f]+ \(" + where + r"\)(, 0x[0-9a-f]+ \("
                      + where + r"\))*")


STORED = r"at 0x[0-9a-f]+ in \.\w+"


def unknown_from(dll: str) -> re.Pattern[str]:
    return re.compile(f"imports from {re.escape(dll)} .*, whose minimum Windows version "
                      "is not known here")


def subsystem_version(major: int, minor: int) -> Mutation:
    def mutate(pe: pefile.PE) -> None:
        pe.OPTIONAL_HEADER.MajorSubsystemVersion = major
        pe.OPTIONAL_HEADER.MinorSubsystemVersion = minor
    return mutate


def debug_entries(pe: pefile.PE) -> tuple[pefile.Structure, bytes]:
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DEBUG]
    entries: bytes = pe.get_data(directory.VirtualAddress, directory.Size)
    return directory, entries


def clear_cet(pe: pefile.PE) -> None:
    _, entries = debug_entries(pe)
    rva, = struct.unpack_from("<I", entries, 20)
    pe.set_bytes_at_rva(rva, struct.pack("<I", 0))


def add_codeview_entry(pe: pefile.PE) -> None:
    """A second debug entry, of the kind a link with debug information
    writes, beside CET's: the directory moves into the slack at the end of
    a data section, which the file holds but the image did not use."""
    directory, entries = debug_entries(pe)
    codeview = bytearray(entries[:DEBUG_ENTRY_SIZE])
    struct.pack_into("<I", codeview, 12, IMAGE_DEBUG_TYPE_CODEVIEW)
    both_entries = entries + bytes(codeview)
    for section in pe.sections:
        room = section.SizeOfRawData - section.Misc_VirtualSize
        if not section.Characteristics & check_pe.IMAGE_SCN_MEM_EXECUTE and \
                room >= len(both_entries) + 4:
            rva = section.VirtualAddress + (section.Misc_VirtualSize + 3) // 4 * 4
            section.Misc_VirtualSize = rva - section.VirtualAddress + len(both_entries)
            pe.set_bytes_at_rva(rva, both_entries)
            directory.VirtualAddress = rva
            directory.Size = len(both_entries)
            return
    raise SystemExit("check_pe_rejects: no room for a second debug entry")


def repeat_relocation(pe: pefile.PE) -> None:
    """The first block's second entry made a copy of its first, which
    pefile takes for the end of the block."""
    at = pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].VirtualAddress + 8
    pe.set_bytes_at_rva(at + 2, pe.get_data(at, 2))


def unwind_version(pe: pefile.PE) -> None:
    """The first function's unwind data of a version pefile does not read."""
    exception = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
    unwind, = struct.unpack("<I", pe.get_data(exception.VirtualAddress + 8, 4))
    pe.set_bytes_at_rva(unwind, bytes([pe.get_data(unwind, 1)[0] & ~7 | 3]))


def code_sections(pe: pefile.PE) -> list[pefile.SectionStructure]:
    return check_pe.code_sections(pe)


def break_fast_fail(pe: pefile.PE) -> None:
    # int 0x29 becomes int3, a breakpoint: handlers and debuggers see it.
    for section in code_sections(pe):
        at = section.get_data().find(check_pe.FAST_FAIL_STACK_COOKIE)
        if at >= 0:
            pe.set_bytes_at_rva(section.VirtualAddress + at + 5, b"\xcc\xcc")
            return
    raise SystemExit("check_pe_rejects: no fast-fail sequence to break")


def drop_guard_checks(pe: pefile.PE) -> None:
    """Every call of the fast-fail routine becomes no-ops, as in a build
    without -fstack-protector-strong."""
    code = code_sections(pe)
    target = next(s.VirtualAddress + s.get_data().find(check_pe.FAST_FAIL_STACK_COOKIE)
                  for s in code if check_pe.FAST_FAIL_STACK_COOKIE in s.get_data())
    dropped = 0
    for section in code:
        data: bytes = section.get_data()
        for at in range(len(data) - 4):
            if data[at] in (check_pe.CALL_REL32, check_pe.JMP_REL32):
                rel, = struct.unpack_from("<i", data, at + 1)
                if section.VirtualAddress + at + 5 + rel == target:
                    pe.set_bytes_at_rva(section.VirtualAddress + at, b"\x90" * 5)
                    dropped += 1
    if not dropped:
        raise SystemExit("check_pe_rejects: no call of the fast-fail routine to drop")


# How each copy is made to fail, and what the check must then say.
MUTATIONS: list[tuple[str, Mutation | None, Expected]] = [
    ("no_aslr", clear_characteristic(0x0040), "not marked for ASLR (DYNAMIC_BASE)"),
    ("no_high_entropy", clear_characteristic(0x0020),
     "not marked for high-entropy ASLR (HIGH_ENTROPY_VA)"),
    ("no_dep", clear_characteristic(0x0100), "not marked for DEP (NX_COMPAT)"),
    ("no_relocations", drop_relocations, "has no relocation table"),
    ("writable_code", set_section_flags(".text", check_pe.IMAGE_SCN_MEM_WRITE),
     "section .text is both writable and executable"),
    ("shared_data", set_section_flags(".data", check_pe.IMAGE_SCN_MEM_SHARED),
     "section .data is shared and writable"),
    # kernel32's functions are unknown under the new name.
    ("static_cfgmgr32", rename_import("KERNEL32.dll", "CFGMGR32.dll"),
     ["imports CFGMGR32.dll statically, which is not a KnownDLL", unknown_from("CFGMGR32.dll")]),
    # A function the programs' own code calls: which ones the runtime's
    # start-up code imports differs between mingw-w64 releases.
    ("unknown_import", rename_function("KERNEL32.dll", "CreateFileW", "CreateFileZ"),
     "imports from KERNEL32.dll CreateFileZ, whose minimum Windows version is not known here"),
    # What would stop the programs on Windows 7 before any of their code.
    ("newer_import", rename_function("KERNEL32.dll", "InitializeCriticalSection",
                                     "SetDefaultDllDirectories"),
     "imports KERNEL32.dll SetDefaultDllDirectories, which needs Windows 8, newer than Windows 7"),
    ("subsystem_version", subsystem_version(6, 2),
     "needs subsystem version 6.2, newer than Windows 7"),
    ("no_guard_cf", clear_characteristic(0x4000), "not marked for Control Flow Guard (GUARD_CF)"),
    ("uninstrumented", load_config_field(GUARD_FLAGS, "<I",
                                         lambda flags: flags & ~0x500),
     "has no instrumented Control Flow Guard function table"),
    ("no_guard_functions", load_config_field(GUARD_FUNCTION_COUNT, "<Q",
                                             lambda count: 0),
     "has no instrumented Control Flow Guard function table"),
    ("no_guard_dispatch", load_config_field(GUARD_DISPATCH_POINTER, "<Q",
                                            lambda pointer: 0),
     "has no Control Flow Guard check and dispatch pointers"),
    ("unlisted_tls_callback", unlist_tls_callback,
     "has a TLS callback that is no valid Control Flow Guard call target"),
    # One of the runtime's targets that only kRuntimeCallTargets lists,
    # each way a code address leaves the image unlisted in turn, and the
    # table without any of them.
    ("unlisted_runtime_handler", lambda pe: unlist(pe, handler_thunk),
     complaint("handler", r"unwind data of 0x[0-9a-f]+")),
    ("unlisted_entry", lambda pe: unlist(pe, only_as("entry", 0)),
     "has an entry point that is no valid Control Flow Guard call target"),
    ("unlisted_stored", lambda pe: unlist(pe, only_as("stored", -1)), complaint("stored", STORED)),
    ("unlisted_scope_handler", lambda pe: unlist(pe, lambda p: {
        rva for kind, rva, _ in escapes(p) if kind == "scope"}),
     complaint("scope", r"scope table of 0x[0-9a-f]+")),
    ("unlisted_lea", shift_lea, complaint("lea", r"LEA at 0x[0-9a-f]+")),
    ("list_nothing", lambda pe: unlist(pe, every_escape), [
        "has an entry point that is no valid Control Flow Guard call target",
        "has a TLS callback that is no valid Control Flow Guard call target",
        complaint("handler", r"unwind data of 0x[0-9a-f]+"),
        complaint("scope", r"scope table of 0x[0-9a-f]+"),
        complaint("stored", STORED)]),
    ("dependent_load_flags", load_config_field(DEPENDENT_LOAD_FLAGS, "<H",
                                               lambda flags: 0),
     "loads its imports with DependentLoadFlags 0x0, not LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800)"),
    # What pefile stops reading at, leaving code addresses unseen.
    ("repeated_relocation", repeat_relocation, "has a malformed base relocation block"),
    ("unwind_version", unwind_version, re.compile(
        r"has unreadable code address data: pefile reads the unwind data of [0-9]+ of its [0-9]+ functions")),
    ("no_cet", clear_cet, "not marked CET shadow-stack compatible (CET_COMPAT)"),
    ("codeview", add_codeview_entry, "has a debug directory entry of type 2"),
    ("no_fast_fail", break_fast_fail,
     "has no stack guard failing with __fastfail (FAST_FAIL_STACK_COOKIE_CHECK_FAILURE)"),
    ("unguarded", drop_guard_checks, "has no function that checks the stack guard"),
    ("ssp_import", rename_function("msvcrt.dll", "__setusermatherr", "__stack_chk_fail"),
     ["imports its stack guard (__stack_chk_fail) from msvcrt.dll",
      "imports from msvcrt.dll __stack_chk_fail, whose minimum Windows version is not known here"]),
    # What GCC's libssp seeded its guard with.
    ("crypto_import", both(rename_function("KERNEL32.dll", "GetTickCount64", "CryptGenRandom"),
                           rename_import("KERNEL32.dll", "ADVAPI32.dll")),
     ["imports CryptoAPI (ADVAPI32.dll CryptGenRandom)", unknown_from("ADVAPI32.dll")]),
    ("too_large", None,
     f"{check_pe.RELEASE_MAX_BYTES + 1} bytes, more than {check_pe.RELEASE_MAX_BYTES}"),
]


def complains(problems: list[str], expected: Expected) -> bool:
    """Whether the problems are exactly those expected: a text, a pattern
    (code addresses differ from program to program), or a list of them."""
    wanted = expected if isinstance(expected, list) else [expected]
    return len(problems) == len(wanted) and all(
        e.fullmatch(p) if isinstance(e, re.Pattern) else e == p
        for p, e in zip(problems, wanted))


def make_copy(program: str, mutate: Mutation | None, path: str) -> None:
    # Only what the mutations look up is parsed: pefile writes every
    # structure it parsed back over the bytes, changes to them included.
    pe = pefile.PE(program, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    # What the disassembler reads, for mutations that look at the code.
    pe.source_path = program
    if mutate is not None:
        mutate(pe)
    pe.write(path)
    pe.close()
    if mutate is None:
        with open(path, "ab") as file:
            file.write(b"\0" * (check_pe.RELEASE_MAX_BYTES + 1 - os.path.getsize(path)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    os.makedirs(args.work_dir, exist_ok=True)

    failures = 0
    for program in args.programs:
        _, problems = check_pe.check(program, None, True)
        if problems:
            print(f"FAILED {program} is rejected as built: {problems}")
            failures += 1
        for name, mutate, expected in MUTATIONS:
            # Its own folder: the version resource names the program's file.
            os.makedirs(os.path.join(args.work_dir, name), exist_ok=True)
            path = os.path.join(args.work_dir, name, os.path.basename(program))
            make_copy(program, mutate, path)
            _, problems = check_pe.check(path, None, True)
            if complains(problems, expected):
                print(f"{path}: rejected: " + "; ".join(problems))
            else:
                print(f"FAILED {path}: expected only {expected!r}, got {problems}")
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
