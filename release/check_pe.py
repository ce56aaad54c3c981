#!/usr/bin/python3
"""Checks built Windows programs: 64-bit console executables that run on a
bare Windows machine (only system DLLs imported), run with the invoker's
rights (asInvoker manifest) and carry a version resource; with --release,
also stripped of symbols and debug information, at most 32 KiB, hardened
(ASLR with high entropy and a relocation table, DEP, no section both
writable and executable, no shared writable section; Control Flow Guard
with an instrumented function table that lists every code address leaving
the image as a value; CET shadow-stack compatible, the one
debug directory entry allowed; a load configuration whose
DependentLoadFlags has the loader take imports from System32 alone; a stack
guard that fails with __fastfail and no CryptoAPI import) and importing
statically only KnownDLLs, which Windows takes from System32 whatever lies
beside the program (any other DLL must be loaded from System32 on
purpose), and no function newer than the oldest Windows supported.

    check_pe.py [--version X.Y.Z] [--release] [--expect-rejected] PROGRAM.exe...

Exit status 0 when every program passes (with --expect-rejected: when every
program fails at least one check), 1 otherwise.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterator

import pefile

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
RT_MANIFEST = 24
RT_VERSION = 16
CREATEPROCESS_MANIFEST_ID = 1
RELEASE_MAX_BYTES = 32768

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DLLCHARACTERISTICS = (
    (0x0020, "high-entropy ASLR (HIGH_ENTROPY_VA)"),
    (0x0040, "ASLR (DYNAMIC_BASE)"),
    (0x0100, "DEP (NX_COMPAT)"),
    (0x4000, "Control Flow Guard (GUARD_CF)"),
)
IMAGE_SCN_MEM_SHARED = 0x10000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000

# IMAGE_LOAD_CONFIG_DIRECTORY64 up to its GuardFlags, the last field checked.
LOAD_CONFIG_CHECKED_SIZE = 0x94
IMAGE_GUARD_CF_INSTRUMENTED = 0x100
IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400
IMAGE_GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT = 28
IMAGE_GUARD_FLAG_FID_SUPPRESSED = 0x01
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_DIR64 = 10
BASE_RELOCATION_HEADER_SIZE = 8
RUNTIME_FUNCTION_SIZE = 12
# The scope table __C_specific_handler reads after the handler's address.
SCOPE_RECORD_SIZE = 16
MAX_SCOPE_RECORDS = 256
JMP_RIP_INDIRECT = b"\xff\x25"
OBJDUMP = "x86_64-w64-mingw32-objdump"
# objdump's "lea 0x1f(%rip),%rcx        # 0x140001020".
RIP_LEA = re.compile(r"^\s*([0-9a-f]+):\s+lea\s+-?(?:0x)?[0-9a-f]*\(%rip\),%r\w+\s+# (?:0x)?([0-9a-f]+)",
                     re.MULTILINE)
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800

IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT = 0x01

# __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE): mov ecx, 2; int 0x29.
FAST_FAIL_STACK_COOKIE = bytes.fromhex("b902000000cd29")
CALL_REL32, JMP_REL32 = 0xE8, 0xE9

# Where a stack guard, or its seed, would come from a DLL: libssp's names,
# and CryptoAPI, whose providers load further DLLs by name.
STACK_GUARD_IMPORT = re.compile(r"__stack_chk_")
CRYPTO_DLLS = {
    "bcrypt.dll", "bcryptprimitives.dll", "crypt32.dll", "cryptbase.dll", "cryptsp.dll",
    "ncrypt.dll", "rsaenh.dll",
}
CRYPTO_FUNCTION = re.compile(r"Crypt[A-Z]\w*|SystemFunction036")

# KnownDLLs of current Windows (HKLM\SYSTEM\CurrentControlSet\Control\
# Session Manager\KnownDLLs) a program like ours might import, and ntdll,
# which is always the system's.
KNOWN_DLLS = {
    "advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll",
    "oleaut32.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "ws2_32.dll",
}

# The oldest Windows the programs support, and each function they import
# with the first Windows that has it: the "minimum supported client" of
# Microsoft's page of the function, where it gives one. Every function
# imported, statically or delay-loaded, must be known here and no newer
# than MINIMUM_WINDOWS; the image's subsystem version must not be newer
# either, or that Windows refuses it ("not a valid Win32 application").
WindowsVersion = tuple[int, int]
XP, VISTA, WINDOWS_7, WINDOWS_8 = (5, 1), (6, 0), (6, 1), (6, 2)
WINDOWS_NAMES: dict[WindowsVersion, str] = {XP: "Windows XP", VISTA: "Windows Vista", WINDOWS_7: "Windows 7",
                 WINDOWS_8: "Windows 8"}
MINIMUM_WINDOWS = WINDOWS_7


def since(version: WindowsVersion, *functions: str) -> dict[str, WindowsVersion]:
    return {function: version for function in functions}


IMPORT_MINIMUMS = {
    "kernel32.dll": {
        # Windows 2000 or XP on their pages.
        **since(XP, "CloseHandle", "CreateFileW", "DeleteCriticalSection", "DeviceIoControl",
                "EnterCriticalSection", "ExitProcess", "FreeLibrary", "GetCurrentProcess",
                "GetCurrentProcessId", "GetCurrentThreadId", "GetLastError", "GetModuleHandleW",
                "GetProcAddress", "GetProcessHeap", "GetStartupInfoA", "GetStdHandle",
                "GetSystemTimeAsFileTime", "HeapAlloc", "HeapFree", "InitializeCriticalSection",
                "LeaveCriticalSection", "LoadLibraryA", "LoadLibraryExA", "LocalAlloc",
                "LocalFree", "QueryPerformanceCounter", "RaiseException", "SetLastError",
                "SetUnhandledExceptionFilter", "Sleep", "TerminateProcess", "TlsGetValue",
                "VirtualProtect", "VirtualQuery", "WriteFile",
                # The x64 exception handler of C code: in every 64-bit Windows.
                "__C_specific_handler"),
        **since(VISTA, "GetTickCount64"),
        # Windows 7 and Vista have it only with KB2533623, and then by
        # GetProcAddress alone: never to be imported.
        **since(WINDOWS_8, "SetDefaultDllDirectories"),
    },
    # A system component whose functions Microsoft's pages give no Windows
    # versions for: those of the C runtime msvcrt.dll has had since Windows
    # XP, and the secure (_s) ones, younger than Windows XP's msvcrt.dll,
    # taken as Windows Vista's.
    "msvcrt.dll": {
        **since(XP, "__getmainargs", "__initenv", "__iob_func", "__set_app_type",
                "__setusermatherr", "_acmdln", "_amsg_exit", "_cexit", "_commode", "_fmode",
                "_initterm", "_onexit", "abort", "calloc", "exit", "fprintf", "free", "fwrite",
                "malloc", "memcpy", "memset", "signal", "strlen", "strncmp", "vfprintf"),
        **since(VISTA, "vfprintf_s", "vprintf_s", "vwprintf_s"),
    },
    "ole32.dll": since(XP, "CoCreateInstance", "CoInitializeEx", "CoInitializeSecurity",
                       "CoSetProxyBlanket", "CoUninitialize"),
    "oleaut32.dll": since(XP, "SysAllocString", "SysFreeString", "VariantClear", "VariantInit"),
    "setupapi.dll": since(XP, "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInterfaces",
                          "SetupDiGetClassDevsW", "SetupDiGetDeviceInterfaceDetailW"),
    # Delay-loaded by the WinUSB edition.
    "cfgmgr32.dll": {
        **since(XP, "CM_Get_Device_Interface_List_SizeW", "CM_Get_Device_Interface_ListW"),
        **since(WINDOWS_7, "CM_MapCrToWin32Err"),
    },
    # Their pages name no minimum; winusb.dll comes with Windows from Vista
    # on (Windows XP had it only with a driver package's co-installer).
    "winusb.dll": since(VISTA, "WinUsb_Free", "WinUsb_GetDescriptor", "WinUsb_Initialize",
                        "WinUsb_WritePipe"),
}


def windows_name(version: WindowsVersion) -> str:
    return WINDOWS_NAMES.get(version, f"Windows {version[0]}.{version[1]}")


def check_windows_version(pe: pefile.PE, problems: list[str]) -> None:
    """Each import exists on the oldest Windows supported; the loader
    refuses a program whose static import is missing before any of its
    code runs, with a dialog."""
    subsystem: WindowsVersion = (pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                 pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    if subsystem > MINIMUM_WINDOWS:
        problems.append(f"needs subsystem version {subsystem[0]}.{subsystem[1]}, newer than "
                        f"{windows_name(MINIMUM_WINDOWS)}")
    unknown: dict[str, list[str]] = {}
    for dll, name in imported_functions(pe):
        known = IMPORT_MINIMUMS.get(dll.lower(), {})
        if name not in known:
            unknown.setdefault(dll, []).append(name or "(by ordinal)")
        elif known[name] > MINIMUM_WINDOWS:
            problems.append(f"imports {dll} {name}, which needs {windows_name(known[name])}, "
                            f"newer than {windows_name(MINIMUM_WINDOWS)}")
    for dll, names in unknown.items():
        problems.append(f"imports from {dll} {', '.join(names)}, whose minimum Windows version "
                        "is not known here")


# DLLs every Windows installation has. Anything else (a compiler runtime
# such as libgcc_s, libstdc++ or libwinpthread) would be missing there.
SYSTEM_DLLS = {
    "kernel32.dll", "kernelbase.dll", "ntdll.dll", "msvcrt.dll", "ucrtbase.dll",
    "advapi32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "shlwapi.dll",
    "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "setupapi.dll", "cfgmgr32.dll",
    "winusb.dll", "hid.dll", "version.dll", "bcrypt.dll", "ws2_32.dll",
}
SYSTEM_DLL_PATTERN = re.compile(r"api-ms-win-[a-z0-9-]+\.dll")


def imported_dlls(pe: pefile.PE, attributes: tuple[str, ...] = (
        "DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT")) -> list[str]:
    names: list[str] = []
    for attribute in attributes:
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode("ascii", "replace"))
    return names


def resource_entries(pe: pefile.PE, type_id: int) -> list[pefile.ResourceDirEntryData]:
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return []
    for type_entry in root.entries:
        if type_entry.id == type_id:
            entries: list[pefile.ResourceDirEntryData] = type_entry.directory.entries
            return entries
    return []


def resource_data(pe: pefile.PE, entry: pefile.ResourceDirEntryData) -> bytes:
    for language in entry.directory.entries:
        data = language.data.struct
        found: bytes = pe.get_data(data.OffsetToData, data.Size)
        return found
    return b""


def check_manifest(pe: pefile.PE, problems: list[str]) -> None:
    entries = [e for e in resource_entries(pe, RT_MANIFEST) if e.id == CREATEPROCESS_MANIFEST_ID]
    if not entries:
        problems.append("no application manifest (RT_MANIFEST, ID 1)")
        return
    try:
        root = ElementTree.fromstring(resource_data(pe, entries[0]))
    except ElementTree.ParseError as error:
        problems.append(f"manifest is not well-formed XML: {error}")
        return
    levels = [element.attrib for element in root.iter()
              if element.tag.rsplit("}", 1)[-1] == "requestedExecutionLevel"]
    if len(levels) != 1:
        problems.append(f"manifest has {len(levels)} requestedExecutionLevel elements, expected 1")
    elif levels[0].get("level") != "asInvoker" or levels[0].get("uiAccess", "false") != "false":
        problems.append(f"manifest requests {levels[0]}, expected level asInvoker, no uiAccess")


def version_strings(pe: pefile.PE) -> dict[str, str]:
    strings: dict[str, str] = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    return strings


def check_version(pe: pefile.PE, path: str, version: str | None, problems: list[str]) -> None:
    if not resource_entries(pe, RT_VERSION):
        problems.append("no version resource (VERSIONINFO)")
        return
    strings = version_strings(pe)
    name = os.path.basename(path)
    if strings.get("OriginalFilename", "").lower() != name.lower():
        problems.append(f"version resource names {strings.get('OriginalFilename')!r}, not {name!r}")
    if version is not None and strings.get("FileVersion") != version:
        problems.append(f"version resource says FileVersion {strings.get('FileVersion')!r}, "
                        f"expected {version!r}")


def check_release(pe: pefile.PE, path: str, problems: list[str], notes: list[str]) -> None:
    size = os.path.getsize(path)
    if size > RELEASE_MAX_BYTES:
        problems.append(f"{size} bytes, more than {RELEASE_MAX_BYTES}")
    if pe.FILE_HEADER.PointerToSymbolTable or pe.FILE_HEADER.NumberOfSymbols:
        problems.append(f"has a symbol table ({pe.FILE_HEADER.NumberOfSymbols} symbols)")
    # Sections named past 8 characters (.debug_info and the like) are
    # written "/<offset>" into the symbol table's strings.
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        if name.startswith((".debug", ".zdebug", "/")):
            problems.append(f"has section {name}")
    check_hardening(pe, problems)
    check_debug_directory(pe, problems)
    check_load_config(pe, path, problems, notes)
    check_stack_guard(pe, problems)
    check_windows_version(pe, problems)


def check_hardening(pe: pefile.PE, problems: list[str]) -> None:
    for flag, what in IMAGE_DLLCHARACTERISTICS:
        if not pe.OPTIONAL_HEADER.DllCharacteristics & flag:
            problems.append(f"not marked for {what}")
    # Without relocations the loader cannot move the image, whatever it says.
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED or not relocations.Size:
        problems.append("has no relocation table")
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        flags = section.Characteristics
        if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE:
            problems.append(f"section {name} is both writable and executable")
        if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_SHARED:
            problems.append(f"section {name} is shared and writable")
    for dll in imported_dlls(pe, ("DIRECTORY_ENTRY_IMPORT",)):
        if dll.lower() not in KNOWN_DLLS:
            problems.append(f"imports {dll} statically, which is not a KnownDLL")


def data_directory(pe: pefile.PE, name: str) -> pefile.Structure:
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]


def check_debug_directory(pe: pefile.PE, problems: list[str]) -> None:
    """Only CET's entry, which must mark the image compatible: any other
    (CodeView and the like) would carry build paths or link details."""
    cet = False
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        kind = entry.struct.Type
        if kind != IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            problems.append(f"has a debug directory entry of type {kind}")
        elif entry.struct.SizeOfData >= 4:
            flags = pe.get_dword_at_rva(entry.struct.AddressOfRawData) or 0
            cet = cet or bool(flags & IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT)
    if not cet:
        problems.append("not marked CET shadow-stack compatible (CET_COMPAT)")


def dependent_load_flags(config: pefile.Structure) -> int:
    # pefile 2023.2.7 still calls the field by its old name.
    flags: int = getattr(config, "DependentLoadFlags" if hasattr(config, "DependentLoadFlags") else "Reserved1")
    return flags


def check_load_config(pe: pefile.PE, path: str, problems: list[str], notes: list[str]) -> None:
    if not data_directory(pe, "IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG").Size:
        problems.append("has no load configuration")
        return
    # pefile reads as much of it as its own first field, its size, says.
    loaded = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    config = loaded.struct if loaded is not None else None
    if config is None or config.Size < LOAD_CONFIG_CHECKED_SIZE:
        problems.append(f"has a load configuration of {config.Size if config else 0} bytes, without the guard fields")
        return
    dependent = dependent_load_flags(config)
    if dependent != LOAD_LIBRARY_SEARCH_SYSTEM32:
        problems.append(f"loads its imports with DependentLoadFlags 0x{dependent:x}, not "
                        f"LOAD_LIBRARY_SEARCH_SYSTEM32 (0x{LOAD_LIBRARY_SEARCH_SYSTEM32:x})")
    check, dispatch = config.GuardCFCheckFunctionPointer, config.GuardCFDispatchFunctionPointer
    table, count, flags = config.GuardCFFunctionTable, config.GuardCFFunctionCount, config.GuardFlags
    # Without these a Windows that enforces CFG has nowhere to put its checks.
    if not check or not dispatch:
        problems.append("has no Control Flow Guard check and dispatch pointers")
    wanted = IMAGE_GUARD_CF_INSTRUMENTED | IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT
    if flags & wanted != wanted or not table or not count:
        problems.append("has no instrumented Control Flow Guard function table")
        return
    stride = 4 + (flags >> IMAGE_GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT)
    base: int = pe.OPTIONAL_HEADER.ImageBase
    entries: bytes = pe.get_data(table - base, count * stride)
    if len(entries) < count * stride:
        problems.append("has a Control Flow Guard function table beyond the image")
        return
    # A suppressed entry is no valid target where suppression is enforced.
    targets = {struct.unpack_from("<I", entries, i * stride)[0] for i in range(count)
               if stride == 4 or not entries[i * stride + 4] & IMAGE_GUARD_FLAG_FID_SUPPRESSED}
    # Their initial values are known only where they are.
    if check and dispatch:
        check_call_targets(pe, path, targets, (check - base, dispatch - base), problems, notes)


# Where a code address leaves the image as a value, by what reaches it
# there, and what check_pe says of an unlisted one; the first way found
# names an address.
ESCAPES = (
    ("entry", "has an entry point that is no valid Control Flow Guard call target"),
    ("tls", "has a TLS callback that is no valid Control Flow Guard call target"),
    ("handler", "has exception handlers named by its unwind data that are no valid "
                "Control Flow Guard call targets"),
    ("scope", "has scope-table handlers of __C_specific_handler that are no valid "
              "Control Flow Guard call targets"),
    ("stored", "has code addresses stored in its data that are no valid "
               "Control Flow Guard call targets"),
    ("lea", "has code addresses taken by RIP-relative LEA that are no valid "
            "Control Flow Guard call targets"),
)

# (kind, rva, where): a code address found leaving the image, the way it
# leaves (a kind of ESCAPES) and where it was found.
Escape = tuple[str, int, str]

WAY_NAMES = {"entry": "entry point", "tls": "TLS callbacks", "handler": "unwind handlers",
             "scope": "scope-table handlers", "stored": "stored in data", "lea": "LEA"}


def check_call_targets(pe: pefile.PE, path: str, targets: set[int], guard_pointers: tuple[int, int],
                       problems: list[str], notes: list[str]) -> None:
    """Where Control Flow Guard is enforced, every indirect call made by
    code compiled for it must land on a listed target: ours, ntdll's (the
    entry point, TLS callbacks, exception handlers), kernelbase's (the
    unhandled-exception filter) and msvcrt.dll's (initialisers, exit
    routines). Which of the image's code addresses such code may be handed
    is read from the image itself: every one that leaves it as a value must
    be listed. Not checked: the initial values of the guard's check and
    dispatch pointers, which Windows replaces, and the delay-load IAT's
    initial thunks, which are called through the IAT unchecked."""
    escapes: dict[int, tuple[str, str]] = {}
    try:
        found = escaping_code_addresses(pe, path, guard_pointers, problems)
    except (pefile.PEFormatError, struct.error) as error:
        # PEFormatError's text is its message's repr.
        problems.append(f"has unreadable code address data: {getattr(error, 'value', error)}")
        return
    ways: dict[str, set[int]] = {kind: set() for kind, _ in ESCAPES}
    for kind, rva, where in found:
        escapes.setdefault(rva, (kind, where))
        ways[kind].add(rva)
    for kind, complaint in ESCAPES:
        unlisted = sorted((rva, where) for rva, (k, where) in escapes.items()
                          if k == kind and rva not in targets)
        if not unlisted:
            continue
        if kind in ("entry", "tls"):
            problems.append(complaint)
        else:
            problems.append(complaint + ": " + ", ".join(
                f"0x{rva:x} ({where})" for rva, where in unlisted))
    listed = sum(1 for rva in escapes if rva in targets)
    notes.append(f"{len(escapes)} code addresses leave the image ("
                 + ", ".join(f"{WAY_NAMES[kind]} {len(rvas)}" for kind, rvas in ways.items())
                 + f"), {listed} of them listed among {len(targets)} valid call targets")


def code_sections(pe: pefile.PE) -> list[pefile.SectionStructure]:
    return [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]


def in_code(pe: pefile.PE, rva: int) -> bool:
    return any(s.VirtualAddress <= rva < s.VirtualAddress + s.Misc_VirtualSize
               for s in code_sections(pe))


def section_name(pe: pefile.PE, rva: int) -> str:
    for section in pe.sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + section.Misc_VirtualSize:
            name: str = section.Name.rstrip(b"\0").decode("ascii", "replace")
            return name
    return "no section"


def escaping_code_addresses(pe: pefile.PE, path: str, guard_pointers: tuple[int, int],
                            problems: list[str]) -> list[Escape]:
    """(kind, rva, where) for each code address that leaves the image."""
    base: int = pe.OPTIONAL_HEADER.ImageBase
    found: list[Escape] = [("entry", pe.OPTIONAL_HEADER.AddressOfEntryPoint, "entry point")]
    found += [("tls", callback - base, "TLS callback") for callback in tls_callbacks(pe)]
    found += unwind_handlers(pe)
    skipped = set(guard_pointers) | delay_iat_slots(pe)
    for at in base_relocations(pe, problems):
        if at in skipped:
            continue
        value: int | None = pe.get_qword_at_rva(at)
        if value is not None and in_code(pe, value - base):
            found.append(("stored", value - base, f"at 0x{at:x} in {section_name(pe, at)}"))
    for at, target in rip_lea_targets(pe, path, problems):
        if in_code(pe, target):
            found.append(("lea", target, f"LEA at 0x{at:x}"))
    return found


def base_relocations(pe: pefile.PE, problems: list[str]) -> Iterator[int]:
    blocks = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    # pefile stops at a block it cannot read, and within a block at an
    # entry it has seen before: all must be there, each read whole.
    if sum(block.struct.SizeOfBlock for block in blocks) != data_directory(
            pe, "IMAGE_DIRECTORY_ENTRY_BASERELOC").Size or any(
            block.struct.SizeOfBlock < BASE_RELOCATION_HEADER_SIZE
            or len(block.entries) != (block.struct.SizeOfBlock - BASE_RELOCATION_HEADER_SIZE) // 2
            for block in blocks):
        problems.append("has a malformed base relocation block")
        return
    for block in blocks:
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_DIR64:
                yield entry.rva
            elif entry.type != IMAGE_REL_BASED_ABSOLUTE:
                problems.append(f"has a base relocation of type {entry.type}")


def delay_iat_slots(pe: pefile.PE) -> set[int]:
    """The delay-load IAT's slots: each holds, until its first call, the
    address of a thunk in the image's code."""
    base: int = pe.OPTIONAL_HEADER.ImageBase
    return {imported.address - base for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
            for imported in entry.imports}


def import_slot(pe: pefile.PE, dll: str, function: str) -> int | None:
    """The RVA of the IAT slot through which the image calls a static import."""
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        if entry.dll.decode("ascii", "replace").lower() != dll:
            continue
        for imported in entry.imports:
            if imported.name == function.encode():
                slot: int = imported.address - pe.OPTIONAL_HEADER.ImageBase
                return slot
    return None


def unwind_handlers(pe: pefile.PE) -> list[Escape]:
    """The language-specific handlers the unwind data names, and the
    filters and termination handlers of __C_specific_handler's scope
    tables: ntdll calls the first, the handler (CFG-compiled) the others."""
    functions = getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])
    # pefile stops at the first unwind data it cannot read.
    count = data_directory(pe, "IMAGE_DIRECTORY_ENTRY_EXCEPTION").Size // RUNTIME_FUNCTION_SIZE
    if len(functions) != count:
        raise pefile.PEFormatError(f"pefile reads the unwind data of {len(functions)} of its {count} functions")
    c_handler_slot = import_slot(pe, "kernel32.dll", "__C_specific_handler")
    found: list[Escape] = []
    for function in functions:
        begin, unwind = function.struct.BeginAddress, function.unwindinfo
        handler: int | None = getattr(unwind, "ExceptionHandler", None)
        if handler is None:
            continue
        found.append(("handler", handler, f"unwind data of 0x{begin:x}"))
        thunk: bytes = pe.get_data(handler, 6)
        if c_handler_slot is None or thunk[:2] != JMP_RIP_INDIRECT or \
                handler + 6 + struct.unpack_from("<i", thunk, 2)[0] != c_handler_slot:
            continue
        # The handler's data follows the UNWIND_INFO, which pefile does not read.
        at = function.struct.UnwindData + unwind.sizeof()
        count, = struct.unpack("<I", pe.get_data(at, 4))
        records: bytes = pe.get_data(at + 4, min(count, MAX_SCOPE_RECORDS) * SCOPE_RECORD_SIZE)
        for record in range(len(records) // SCOPE_RECORD_SIZE):
            _, _, filter_or_handler, _ = struct.unpack_from("<IIII", records,
                                                             record * SCOPE_RECORD_SIZE)
            # Otherwise a constant filter result (EXCEPTION_EXECUTE_HANDLER).
            if in_code(pe, filter_or_handler):
                found.append(("scope", filter_or_handler, f"scope table of 0x{begin:x}"))
    return found


def rip_lea_targets(pe: pefile.PE, path: str, problems: list[str]) -> list[tuple[int, int]]:
    """(rva, target) of each LEA r64, [rip+disp32] in the code, as the
    toolchain's disassembler decodes it."""
    objdump = shutil.which(OBJDUMP)
    if objdump is None:
        problems.append(f"cannot look for code addresses taken by LEA: no {OBJDUMP}")
        return []
    try:
        listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", path],
                                 capture_output=True, check=True, timeout=60,
                                 env={"LC_ALL": "C", "PATH": os.environ.get("PATH", "")}).stdout
    except (OSError, subprocess.SubprocessError):
        problems.append(f"cannot look for code addresses taken by LEA: {OBJDUMP} failed")
        return []
    text = listing.decode("ascii", "replace")
    if "(bad)" in text:
        problems.append("has code that does not disassemble")
    base: int = pe.OPTIONAL_HEADER.ImageBase
    return [(int(at, 16) - base, int(target, 16) - base) for at, target in RIP_LEA.findall(text)]


def tls_callbacks(pe: pefile.PE) -> list[int]:
    tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
    array: int = tls.struct.AddressOfCallBacks if tls is not None else 0
    # pefile reads the pointer to the callbacks, not the array it points to.
    callbacks: list[int] = []
    while array and len(callbacks) < 64:
        callback: int | None = pe.get_qword_at_rva(array - pe.OPTIONAL_HEADER.ImageBase + 8 * len(callbacks))
        if not callback:
            break
        callbacks.append(callback)
    return callbacks


def imported_functions(pe: pefile.PE) -> Iterator[tuple[str, str]]:
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            dll: str = entry.dll.decode("ascii", "replace")
            for function in entry.imports:
                name: str = function.name.decode("ascii", "replace") if function.name else ""
                yield dll, name


def fast_fail_calls(pe: pefile.PE) -> int | None:
    """Where the fast-fail sequence is in the code, and how many direct
    calls and jumps lead there; None when it is nowhere."""
    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    target: int | None = None
    for section in code:
        at = section.get_data().find(FAST_FAIL_STACK_COOKIE)
        if at >= 0:
            target = section.VirtualAddress + at
            break
    if target is None:
        return None
    calls = 0
    for section in code:
        data: bytes = section.get_data()
        for opcode in (CALL_REL32, JMP_REL32):
            at = data.find(opcode)
            while 0 <= at <= len(data) - 5:
                rel, = struct.unpack_from("<i", data, at + 1)
                if section.VirtualAddress + at + 5 + rel == target:
                    calls += 1
                at = data.find(opcode, at + 1)
    return calls


def check_stack_guard(pe: pefile.PE, problems: list[str]) -> None:
    """The guard must be the program's own, seeded without loading any DLL,
    and a failed check must end the process at once, as /GS does."""
    for dll, name in imported_functions(pe):
        if STACK_GUARD_IMPORT.match(name):
            problems.append(f"imports its stack guard ({name}) from {dll}")
        elif dll.lower() in CRYPTO_DLLS or CRYPTO_FUNCTION.fullmatch(name):
            problems.append(f"imports CryptoAPI ({dll} {name})")
    calls = fast_fail_calls(pe)
    if calls is None:
        problems.append("has no stack guard failing with __fastfail "
                        "(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE)")
    elif not calls:
        problems.append("has no function that checks the stack guard")


def load(path: str) -> pefile.PE:
    """The program, with the data directories the checks read parsed."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[f"IMAGE_DIRECTORY_ENTRY_{name}"] for name in (
        "IMPORT", "DELAY_IMPORT", "RESOURCE", "DEBUG", "LOAD_CONFIG", "BASERELOC", "EXCEPTION", "TLS")])
    return pe


def check(path: str, version: str | None, release: bool,
          notes: list[str] | None = None) -> tuple[list[str], list[str]]:
    """The program's imported DLLs and its problems; `notes` gets what
    --release found that is worth telling, passed or not."""
    notes = [] if notes is None else notes
    problems: list[str] = []
    pe = load(path)
    if pe.OPTIONAL_HEADER.Magic != PE32_PLUS_MAGIC:
        problems.append(f"not PE32+ (optional header magic 0x{pe.OPTIONAL_HEADER.Magic:x})")
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine 0x{pe.FILE_HEADER.Machine:04x}, not x86-64")
    if pe.is_dll() or not pe.is_exe():
        problems.append("not an executable image")
    if pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not console (3)")

    dlls = imported_dlls(pe)
    if not dlls:
        problems.append("imports no DLL at all")
    for dll in dlls:
        if dll.lower() not in SYSTEM_DLLS and not SYSTEM_DLL_PATTERN.fullmatch(dll.lower()):
            problems.append(f"imports {dll}, which is not a Windows system DLL")

    check_manifest(pe, problems)
    check_version(pe, path, version, problems)
    if release:
        check_release(pe, path, problems, notes)
    return dlls, problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", help="the FileVersion the version resource must carry")
    parser.add_argument("--release", action="store_true",
                        help="also require a stripped, hardened image of at most 32 KiB "
                             "importing only KnownDLLs")
    parser.add_argument("--expect-rejected", action="store_true",
                        help="pass only if every program fails a check")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()

    outcome = 0
    for path in args.programs:
        notes: list[str] = []
        dlls, problems = check(path, args.version, args.release, notes)
        print(f"{path}: {os.path.getsize(path)} bytes, imports {', '.join(dlls) or 'nothing'}")
        for note in notes:
            print(f"  {note}")
        for problem in problems:
            print(f"  {problem}")
        if bool(problems) != args.expect_rejected:
            print(f"  FAILED: {'accepted' if args.expect_rejected else 'rejected'}")
            outcome = 1
        else:
            print(f"  {'rejected' if problems else 'ok'}")
    return outcome


if __name__ == "__main__":
    sys.exit(main())
