#!/usr/bin/python3
"""Shows that check_pe.py --release rejects each weakness it is there to
catch: every program given passes as built, and every copy of it made to
fail one check is rejected with that check's complaint.

    check_pe_rejects.py --work-dir DIR PROGRAM.exe...
"""
import argparse
import os
import sys

import pefile

import check_pe

BASERELOC = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]


def section(pe, name):
    return next(s for s in pe.sections if s.Name.rstrip(b"\0").decode() == name)


def clear_characteristic(flag):
    def mutate(pe):
        pe.OPTIONAL_HEADER.DllCharacteristics &= ~flag
    return mutate


def drop_relocations(pe):
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].Size = 0


def set_section_flags(name, flags):
    def mutate(pe):
        section(pe, name).Characteristics |= flags
    return mutate


def rename_import(old, new):
    # Same length, so the name is rewritten in place.
    def mutate(pe):
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            if entry.dll.decode("ascii", "replace").lower() == old.lower():
                pe.set_bytes_at_rva(entry.struct.Name, new.encode() + b"\0")
                return
        raise SystemExit(f"check_pe_rejects: no import of {old} to rename")
    return mutate


# How each copy is made to fail, and what the check must then say.
MUTATIONS = [
    ("no_aslr", clear_characteristic(0x0040), "not marked for ASLR (DYNAMIC_BASE)"),
    ("no_high_entropy", clear_characteristic(0x0020),
     "not marked for high-entropy ASLR (HIGH_ENTROPY_VA)"),
    ("no_dep", clear_characteristic(0x0100), "not marked for DEP (NX_COMPAT)"),
    ("no_relocations", drop_relocations, "has no relocation table"),
    ("writable_code", set_section_flags(".text", check_pe.IMAGE_SCN_MEM_WRITE),
     "section .text is both writable and executable"),
    ("shared_data", set_section_flags(".data", check_pe.IMAGE_SCN_MEM_SHARED),
     "section .data is shared and writable"),
    ("static_cfgmgr32", rename_import("ADVAPI32.dll", "CFGMGR32.dll"),
     "imports CFGMGR32.dll statically, which is not a KnownDLL"),
    ("too_large", None,
     f"{check_pe.RELEASE_MAX_BYTES + 1} bytes, more than {check_pe.RELEASE_MAX_BYTES}"),
]


def make_copy(program, mutate, path):
    pe = pefile.PE(program)
    if mutate is not None:
        mutate(pe)
    pe.write(path)
    pe.close()
    if mutate is None:
        with open(path, "ab") as file:
            file.write(b"\0" * (check_pe.RELEASE_MAX_BYTES + 1 - os.path.getsize(path)))


def main():
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
            if problems == [expected]:
                print(f"{path}: rejected: {expected}")
            else:
                print(f"FAILED {path}: expected only {expected!r}, got {problems}")
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
