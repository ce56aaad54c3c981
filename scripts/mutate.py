#!/usr/bin/env python3
"""Mutation pass over the programs' own code: is there a test for each fault?

    scripts/mutate.py [--work DIR] [--only ID]... [--operator OP]... [--path FILE]...
                      [--list] [--jobs N]

Each mutant changes one thing in a copy of the tree; the copy's native
build is rebuilt incrementally and its suite run, the unit tests first. A
mutant is killed when a test fails (or the suite hangs past the limit),
survives when the suite passes, and does not count when it does not
compile. Mutants marked unobservable are expected to survive; the note
says why no test can tell them apart.

The operators (--operator):
  list        the hand-written mutants below: a comparison flipped, a
              constant changed, a release call deleted, a status swapped;
              the adapter's ids one higher, from the values
              cmake/AdapterIdentity.cmake reads
  table       each character of each text a table or a named text holds
              (the option table's names, the digit tables, the query),
              each character and number an array lists
  flags       each flags argument of each platform call the programs make
  last error  each SetLastError, in the programs and in the simulation

Slow (about 3 s a mutant, a minute one in protocol/dfu_frame.h, which
nearly every file includes; those run last): run by hand. The copy lives
in build/mutate/tree unless --work says otherwise and is kept between
runs, so a second run rebuilds only what changed. --list checks that each
hand-written mutant still finds its text and each mark still names a
mutant, and lists them; CTest runs it (mutation_list_current).

First run of the 100 hand-written mutants: 88 killed, 8 survived, 2
unobservable, 2 that did not compile; each survivor then got a test or a
note. First run with the generated operators, 975 mutants: list 91
killed, 3 unobservable; table 765 killed, 24 survived; flags 33 killed,
7 survived; last error 10 killed, 42 survived; none failed to compile.
Each survivor now has a test that kills it or a note below; the rerun of
those and of 13 flags mutants added since: 35 killed, 51 unobservable.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE_TIMEOUT = 300  # seconds; a hanging mutant counts as killed


@dataclass
class Mutant:
    path: str
    find: str
    replace: str
    unobservable: Optional[str] = None  # why no test can notice it
    occurrence: int = 1
    ident: str = ""
    offset: int = -1  # where a generated mutant replaces length characters
    length: int = 0


def m(path: str, find: str, replace: str, unobservable: Optional[str] = None,
      occurrence: int = 1) -> Mutant:
    return Mutant(path, find, replace, unobservable, occurrence)


P = "protocol/"
W = "pipe_edition/"
U = "winusb_edition/"

# Grouped by file: consecutive mutants of one file share its rebuild.
MUTANTS: List[Mutant] = [
    m(P + "dfu_frame.cpp", "0x11, 0x00, 0x0D", "0x11, 0x00, 0x0C"),
    m(P + "dfu_frame.cpp", "0x00, 0x22,", "0x00, 0x23,"),

    m(P + "dfu_frame.h", "kDfuEntryPipeId = 0x", "kDfuEntryPipeId = 1 + 0x"),
    m(P + "dfu_frame.h", "kUsbDeviceDescriptorLength = ", "kUsbDeviceDescriptorLength = 1 + "),

    m(W + "wmi_discovery.h", 'LIKE \\"%",', 'LIKE \\"",'),
    m(W + "wmi_discovery.h", "Win32_USBHub WHERE", "Win32_USBHubs WHERE"),
    m(W + "wmi_discovery.h", "__RELPATH LIKE", "__RELPATH LIKF"),

    m(W + "wmi_discovery.cpp", "returned == 0 || result == nullptr",
      "returned == 0 && result == nullptr"),
    m(W + "wmi_discovery.cpp", "    results->Release();\n", ""),
    m(W + "wmi_discovery.cpp", "        result->Release();\n", ""),
    m(W + "wmi_discovery.cpp", "    services->Release();\n", ""),
    m(W + "wmi_discovery.cpp", "    locator->Release();\n", ""),
    m(W + "wmi_discovery.cpp", "    SysFreeString(language);\n", ""),
    m(W + "wmi_discovery.cpp", "    SysFreeString(query);\n", ""),
    m(W + "wmi_discovery.cpp", "        VariantClear(&holder.value);\n", ""),
    m(W + "wmi_discovery.cpp", "    CoUninitialize();\n", ""),
    m(W + "wmi_discovery.cpp", '"Failed to initialize security.', '"Failed to initialise security.'),
    m(W + "wmi_discovery.cpp", "!named || PushTarget", "named && PushTarget"),
    m(W + "wmi_discovery.cpp", "hr = E_OUTOFMEMORY;\n            break;",
      "hr = E_FAIL;\n            break;"),
    m(W + "wmi_discovery.cpp", "nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT",
      "nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CALL"),
    m(W + "wmi_discovery.cpp", "if (FAILED(hr))\n        ReportSetupFailure(\"Could not set",
      "if (hr != S_OK)\n        ReportSetupFailure(\"Could not set",
      unobservable="CoSetProxyBlanket returns S_OK or a failure, never another success code"),

    m(W + "device_id.cpp", "if (index == 3)", "if (index == 2)"),
    m(W + "device_id.cpp", "while (*component == L'\\\\')", "if (*component == L'\\\\')"),

    m(W + "target_id.cpp", "ch <= L'\\r'", "ch < L'\\r'"),
    m(W + "target_id.cpp", "static_cast<int>(ch - L'a') + 10", "static_cast<int>(ch - L'a') + 11"),
    m(W + "target_id.cpp", "value > 0xFFFFFFFFull", "value >= 0xFFFFFFFFull"),
    m(W + "target_id.cpp", "negative = *text == L'-'", "negative = *text == L'+'"),
    m(W + "target_id.cpp", "HexDigitValue(text[2]) >= 0", "HexDigitValue(text[2]) > 0"),
    m(W + "target_id.cpp", "length < kTargetIdTextLength - 1 &&", "length < kTargetIdTextLength &&"),
    m(W + "target_id.cpp", "return 0xFFFFFFFFu;", "return 0xFFFFFFFEu;"),

    m(W + "options.cpp", "ch >= 'A' && ch <= 'Z'", "ch >= 'A' && ch < 'Z'"),
    m(W + "options.cpp", "(prefixMatches == 1)", "(prefixMatches >= 1)"),
    m(W + "options.cpp", "at->count > 1 &&", "at->count > 2 &&"),
    m(W + "options.cpp", '"%s: option -%c requires an option-argument\\n"',
      '"%s: option -%c requires an option argument\\n"'),
    m(W + "options.cpp", "&& word[0] == '-' && word[1] != '\\0')",
      "&& word[0] == '-' && word[1] == '\\0')"),
    m(W + "options.cpp", "argumentBit >> 1;", "argumentBit >> 2;"),
    m(W + "options.cpp", "return static_cast<DWORD>(output);",
      "return static_cast<DWORD>(output - 1);"),

    m(W + "target_list.cpp", "node->next = TargetList;", "node->next = nullptr;"),

    m(W + "program.cpp", "interfaceRow.count >= 1", "interfaceRow.count > 1"),
    m(W + "program.cpp", "interfaceRow = table[2];", "interfaceRow = table[1];"),
    m(W + "program.cpp", '"interface", OPT_REQUIRES_ARGUMENT,',
      '"interface", OPT_REQUIRES_ARGUMENT | OPT_REFUSE_DASH_ARGUMENT,'),
    m(W + "program.cpp", "    WalkTargets();\n    return 0;", "    WalkTargets();\n    return 1;"),

    m(W + "target_walk.cpp", "*length == kPipeNameLength - 1", "*length == kPipeNameLength"),
    m(W + "target_walk.cpp", 'AppendToPipeName(L"\\\\", &length)',
      'AppendToPipeName(L"/", &length)'),
    m(W + "target_walk.cpp", "bytesWritten >= kDfuEntryFrameLength",
      "bytesWritten > kDfuEntryFrameLength"),
    m(W + "target_walk.cpp", 'L"Found device %ls\\n"', 'L"Found Device %ls\\n"'),
    m(W + "target_walk.cpp", "if (!ComposePipeName())\n            continue;",
      "ComposePipeName();"),
    m(W + "target_walk.cpp", "            g_pipeHandle = nullptr;\n", ""),

    m(W + "cenum.cpp", "kMemberIndicesTried = 32", "kMemberIndicesTried = 31"),
    m(W + "cenum.cpp", "kQueryReplyRoom = 253", "kQueryReplyRoom = 254"),
    m(W + "cenum.cpp", "    SetupDiDestroyDeviceInfoList(deviceInfoSet);\n", ""),
    m(W + "cenum.cpp", "        LocalFree(detail);\n", "        (void)detail;\n"),
    m(W + "cenum.cpp", "        CloseHandle(m_deviceHandle);\n", ""),
    m(W + "cenum.cpp", "if (requiredSize < sizeof", "if (requiredSize <= sizeof"),
    m(W + "cenum.cpp", "if (limit > kDevicePathLength - 1)", "if (limit >= kDevicePathLength - 1)",
      unobservable="at a limit of exactly 255 both forms set it to 255"),
    m(W + "cenum.cpp", "return PathEndsInBlock(*detail, *detailSize);",
      "return PathEndsInBlock(*detail, *detailSize) || true;"),

    m(U + "device_path.cpp", "if (copied == listLength)\n        return HResultFromWin32Error("
      "ERROR_INVALID_DATA);", "if (copied == listLength)\n        return HResultFromWin32Error("
      "ERROR_INSUFFICIENT_BUFFER);"),
    m(U + "device_path.cpp", "        HeapFree(GetProcessHeap(), 0, list);\n", ""),
    m(U + "device_path.cpp", "    HeapFree(GetProcessHeap(), 0, list);\n    return hr;",
      "    return hr;"),
    m(U + "device_path.cpp", "if (cr != CR_BUFFER_SMALL)", "if (cr == CR_BUFFER_SMALL)"),
    m(U + "device_path.cpp", "*noDeviceOut = TRUE;", "*noDeviceOut = FALSE;"),
    m(U + "device_path.cpp", "CM_MapCrToWin32Err(cr, ERROR_INVALID_DATA)",
      "CM_MapCrToWin32Err(cr, ERROR_GEN_FAILURE)"),
    m(U + "device_path.cpp", "listLength == 0 || list[0] == L'\\0'", "listLength == 0"),

    m(U + "program.cpp", "; bcdUsb %04X", "; bcdUSB %04X"),
    m(U + "program.cpp", "lengthReceived == kUsbDeviceDescriptorLength",
      "lengthReceived >= kUsbDeviceDescriptorLength"),
    m(U + "program.cpp", "bytesWritten >= sizeof(frame)", "bytesWritten > sizeof(frame)"),
    m(U + "program.cpp", "wrote ? ERROR_SUCCESS : GetLastError()", "GetLastError()"),
    m(U + "program.cpp", 'driver not installed\\n"', 'driver not installed.\\n"'),
    m(U + "program.cpp", "if (noDevice)", "if (!noDevice)"),
    m(U + "program.cpp", "    CloseWinUsbDevice(&device);\n", ""),

    m(U + "winusb_device.cpp", "        CloseHandle(device->DeviceHandle);\n", ""),
    m(U + "winusb_device.cpp", "    WinUsb_Free(device->WinusbHandle);\n", ""),
    m(U + "winusb_device.cpp", "    CloseHandle(device->DeviceHandle);\n    device->HandlesOpen",
      "    device->HandlesOpen"),
    m(U + "winusb_device.cpp", "device->HandlesOpen = TRUE;", "device->HandlesOpen = FALSE;"),
    m(U + "winusb_device.cpp", "    device->HandlesOpen = FALSE;\n}", "}"),

    m(U + "win32_error.h", "if (asHResult <= 0)", "if (asHResult < 0)"),
    m(U + "win32_error.h", "(error & 0x0000FFFFu)", "(error & 0x000FFFFFu)"),
    m(U + "win32_error.h", "return FAILED(hr) ? hr : E_FAIL;", "return hr;"),

    m("platform/process_start.cpp", "error != ERROR_SUCCESS ? (error", "error == ERROR_SUCCESS ? (error"),
    m("platform/process_start.cpp", "shift >= 0; shift -= 4", "shift > 0; shift -= 4"),
    m("platform/process_start.cpp", "to System32, HRESULT", "to System 32, HRESULT"),
    m("platform/process_start.cpp", "TerminateProcess(GetCurrentProcess(), hr);",
      "TerminateProcess(GetCurrentProcess(), 0);"),
    m("platform/process_start.cpp", "ExitProcess(hr);", "ExitProcess(0);"),
    m("platform/process_start.cpp", "setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)",
      "setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | 0x200)"),

    m("platform/system_dll.cpp", "SameName(known.name, dll, true)",
      "SameName(known.name, dll, false)"),
    m("platform/system_dll.cpp", "binding.attempted = true;", "binding.attempted = false;"),
    m("platform/system_dll.cpp", "if (functions[i] == nullptr)\n            return LoaderError();",
      "if (functions[i] == nullptr)\n            return ERROR_SUCCESS;"),
    m("platform/system_dll.cpp", "error : ERROR_MOD_NOT_FOUND;", "error : ERROR_PROC_NOT_FOUND;"),
    m("platform/system_dll.cpp", "    return CR_FAILURE;\n}\n\nCONFIGRET WINAPI UnavailableList(",
      "    return CR_SUCCESS;\n}\n\nCONFIGRET WINAPI UnavailableList(",
      unobservable="the size query then reports an empty list, and the fetch after it fails with"
      " CR_FAILURE, mapped to the same loader error: only an empty allocation more"),
    m("platform/system_dll.cpp", "binding.error == ERROR_SUCCESS ? binding.functions[i]",
      "binding.error != ERROR_SUCCESS ? binding.functions[i]"),
    m("platform/system_dll.cpp", "i < kMaxFunctions && dll.functions[i].name != nullptr; ++i) {\n"
      "        functions[i]", "i + 1 < kMaxFunctions && dll.functions[i].name != nullptr; ++i) {\n"
      "        functions[i]"),
]


# The operators below make their mutants from the sources themselves, so
# that a new table, string or call is covered without a line here. What
# they read: the programs' own code as the native build compiles it
# (platform/windows/ builds only for Windows and is not mutated here), and
# for the last error also the simulated platform, whose calls the tests
# take for Windows'.
PROGRAM_DIRS = ["protocol", "pipe_edition", "winusb_edition", "platform"]
SIMULATION_DIR = "platform/sim"

# The flags arguments of the platform calls the programs make, by the
# argument's position.
FLAGS_ARGUMENTS: Dict[str, List[int]] = {
    "HeapAlloc": [1], "HeapFree": [1], "LocalAlloc": [0],
    "CreateFileW": [1, 2, 5],
    "SetupDiGetClassDevsW": [3],
    "CM_Get_Device_Interface_List_SizeW": [3], "CM_Get_Device_Interface_ListW": [4],
    "LoadLibraryExA": [2], "setDefaultDllDirectories": [0],
    "CoInitializeEx": [1], "CoInitializeSecurity": [7], "CoCreateInstance": [2],
    "CoSetProxyBlanket": [7],
    "ConnectServer": [4], "ExecQuery": [2], "Get": [1],
}

# Generated mutants that no test can tell from the code, by id, with why.
UNOBSERVABLE: Dict[str, str] = {
    # Flags whose name stands for 0: the same call.
    W + "cenum.cpp:LocalAlloc(0: LMEM_FIXED -> 0)": "LMEM_FIXED is 0",
    W + "wmi_discovery.cpp:CoInitializeEx(1: COINIT_MULTITHREADED -> 0)":
        "COINIT_MULTITHREADED is 0",
    W + "wmi_discovery.cpp:CoInitializeSecurity(7: EOAC_NONE -> 0)": "EOAC_NONE is 0",
    W + "wmi_discovery.cpp:CoSetProxyBlanket(7: EOAC_NONE -> 0)": "EOAC_NONE is 0",
    W + "wmi_discovery.cpp:CoCreateInstance(2: CLSCTX_INPROC_SERVER -> CLSCTX_INPROC_SERVER | 1)":
        "CLSCTX_INPROC_SERVER is 1 itself",
    U + "device_path.cpp:CM_Get_Device_Interface_List_SizeW(3: "
    "CM_GET_DEVICE_INTERFACE_LIST_PRESENT -> 0)": "CM_GET_DEVICE_INTERFACE_LIST_PRESENT is 0",
    U + "device_path.cpp:CM_Get_Device_Interface_ListW(4: "
    "CM_GET_DEVICE_INTERFACE_LIST_PRESENT -> 0)": "CM_GET_DEVICE_INTERFACE_LIST_PRESENT is 0",
    # The option table's count column, and the end row's letter.
    W + "program.cpp:{0}": "ParseOptions sets every row's count before it reads a word",
    W + "program.cpp:{0}#2": "ParseOptions sets every row's count before it reads a word",
    W + "program.cpp:{0}#3": "ParseOptions sets every row's count before it reads a word",
    W + "program.cpp:{0}#4": "ParseOptions clears the end row's letter before it reads a word",
    W + "program.cpp:{0}#5": "ParseOptions sets every row's count before it reads a word",
}
# Last errors no program reads: the legacy edition reads none at all, the
# WinUSB edition only that of a failed open, WinUSB start or write, the
# start-up only that of its own three calls.
LEGACY = "only the legacy edition makes this call, and it reads no last error"
UNREAD = "no program reads the last error this call leaves"
MISUSE = "reached only by a misuse, which the simulation records as a problem that fails the test"
NEVER = "reached only with arguments the programs never pass"
K, S = SIMULATION_DIR + "/kernel32.cpp:", SIMULATION_DIR + "/"
UNOBSERVABLE.update({
    "platform/system_dll.cpp:SetLastError(UnavailableError(kWinusb))#2": UNREAD,
    "platform/system_dll.cpp:SetLastError(UnavailableError(kWinusb))#3": UNREAD,
    "platform/system_dll.cpp:SetLastError(UnavailableError(kWinusb))#4":
        "WinUsb_WritePipe comes only after a WinUsb_Initialize that succeeded, which this"
        " stand-in never does",
    S + "winusb.cpp:SetLastError(fault->lastError)#2": UNREAD,
    S + "winusb.cpp:SetLastError(fault != nullptr ? fault->lastError : ERROR_GEN_FAILURE)": UNREAD,
    S + "winusb.cpp:SetLastError(ERROR_INVALID_HANDLE)": NEVER,
    S + "winusb.cpp:SetLastError(ERROR_INVALID_PARAMETER)":
        "reached only when the interface was opened without FILE_FLAG_OVERLAPPED, which the"
        " tests of the calls' arguments catch",
    S + "setupapi.cpp:SetLastError(fault->lastError)": LEGACY,
    S + "setupapi.cpp:SetLastError(ERROR_INVALID_PARAMETER)": NEVER,
    S + "modules.cpp:SetLastError(ERROR_MOD_NOT_FOUND)": MISUSE,
    S + "modules.cpp:SetLastError(ERROR_MOD_NOT_FOUND)#3": MISUSE,
    S + "modules.cpp:SetLastError(ERROR_INVALID_PARAMETER)": NEVER,
    S + "modules.cpp:SetLastError(ERROR_INVALID_PARAMETER)#2": NEVER,
    K + "SetLastError(fault->lastError)#2": UNREAD,
    K + "SetLastError(fault->lastError)#3": UNREAD,
    K + "SetLastError(fault->lastError)#4": UNREAD,
    K + "SetLastError(fault != nullptr ? fault->lastError : ERROR_NOT_ENOUGH_MEMORY)": LEGACY,
    K + "SetLastError(fault->lastError)#5": UNREAD,
    K + "SetLastError(fault->lastError)#6": LEGACY,
    K + "SetLastError(fault->lastError)#7": LEGACY,
    K + "SetLastError(fault->lastError)#8": LEGACY,
    K + "SetLastError(ERROR_ACCESS_DENIED)": LEGACY,
    K + "SetLastError(ERROR_FILE_NOT_FOUND)#2": LEGACY,
    K + "SetLastError(ERROR_INVALID_HANDLE)": MISUSE,
    K + "SetLastError(ERROR_INVALID_HANDLE)#2": MISUSE,
    K + "SetLastError(ERROR_INVALID_HANDLE)#3": MISUSE,
    K + "SetLastError(ERROR_INVALID_HANDLE)#4": MISUSE,
    K + "SetLastError(ERROR_INVALID_HANDLE)#5": LEGACY,
    K + "SetLastError(ERROR_INVALID_HANDLE)#6": LEGACY,
    K + "SetLastError(ERROR_INVALID_HANDLE)#7": LEGACY,
    K + "SetLastError(ERROR_INVALID_PARAMETER)": MISUSE,
    K + "SetLastError(ERROR_INVALID_PARAMETER)#2": LEGACY,
    K + "SetLastError(ERROR_INVALID_PARAMETER)#3": MISUSE,
    K + "SetLastError(ERROR_INVALID_PARAMETER)#4": LEGACY,
    K + "SetLastError(ERROR_INVALID_FUNCTION)": LEGACY,
    K + "SetLastError(ERROR_INVALID_FUNCTION)#2": LEGACY,
    K + "SetLastError(ERROR_GEN_FAILURE)": LEGACY,
    K + "SetLastError(ERROR_GEN_FAILURE)#2": LEGACY,
    K + "SetLastError(ERROR_INVALID_USER_BUFFER)": LEGACY,
})

LITERAL = re.compile(r'(?:L|u8|u|U)?"(?:[^"\\\n]|\\.)*"')
CHARACTER = re.compile(r"(?:L)?'(?:[^'\\\n]|\\.)'")
NUMBER = re.compile(r"\b(?:0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]*\b")
# A name or an element, then "=", then a table, a text or joined texts.
INITIALIZER = re.compile(r"[\w\]]\s*=\s*(\{|(?:L|u8|u|U)?\"|JoinText\()")


def blank_comments(text: str) -> str:
    """The text with every comment turned to spaces, offsets kept."""
    out = list(text)
    i = 0
    while i < len(text):
        if text[i] in "\"'":
            quote = text[i]
            i += 1
            while i < len(text) and text[i] != quote:
                i += 2 if text[i] == "\\" else 1
            i += 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
            out[i:end] = " " * (end - i)
            i = end
        elif text.startswith("/*", i):
            end = text.index("*/", i) + 2
            out[i:end] = [c if c == "\n" else " " for c in text[i:end]]
            i = end
        else:
            i += 1
    return "".join(out)


def closing(code: str, at: int) -> int:
    """The index just past the bracket that closes the one at code[at]."""
    pairs = {"(": ")", "{": "}", "[": "]"}
    depth = []
    i = at
    while i < len(code):
        match = LITERAL.match(code, i) or CHARACTER.match(code, i)
        if match:
            i = match.end()
            continue
        if code[i] in pairs:
            depth.append(pairs[code[i]])
        elif depth and code[i] == depth[-1]:
            depth.pop()
            if not depth:
                return i + 1
        i += 1
    raise ValueError(f"unclosed {code[at]!r} at {at}")


def arguments(code: str, open_paren: int) -> List[Tuple[int, int]]:
    """The spans of a call's arguments, spaces around them left out."""
    end = closing(code, open_paren) - 1
    spans, start, i = [], open_paren + 1, open_paren + 1
    while i <= end:
        match = LITERAL.match(code, i) or CHARACTER.match(code, i)
        if match:
            i = match.end()
        elif code[i] in "({[":
            i = closing(code, i)
        elif code[i] == "," or i == end:
            left, right = start, i
            while left < right and code[left].isspace():
                left += 1
            while right > left and code[right - 1].isspace():
                right -= 1
            spans.append((left, right))
            start = i = i + 1
        else:
            i += 1
    return spans


def characters(literal: str) -> List[Tuple[int, str]]:
    """Each character of a literal's text, an escape as one: (offset, text)."""
    body_start = literal.index('"') + 1
    found, i = [], body_start
    while i < len(literal) - 1:
        step = 2 if literal[i] == "\\" else 1
        found.append((i, literal[i:i + step]))
        i += step
    return found


def other_character(char: str) -> str:
    """Another character in its place, the same width in the source's text."""
    escapes = {"\\\\": "/", "\\n": "\\t", "\\r": "\\t", "\\t": "\\n", '\\"': "'", "\\'": "`"}
    if char in escapes:
        return escapes[char]
    if char.isdigit():
        return str((int(char) + 1) % 10)
    if "a" <= char <= "z":
        return chr((ord(char) - ord("a") + 1) % 26 + ord("a"))
    if "A" <= char <= "Z":
        return chr((ord(char) - ord("A") + 1) % 26 + ord("A"))
    return "_" if char == " " else " "


def source_files(directory: str, recurse: bool) -> List[str]:
    names = []
    for base, dirs, files in os.walk(os.path.join(ROOT, directory)):
        dirs[:] = sorted(d for d in dirs if recurse and d not in ("windows", "sim"))
        names += [os.path.relpath(os.path.join(base, f), ROOT) for f in sorted(files)
                  if f.endswith((".cpp", ".h"))]
    return names


def at(path: str, code: str, offset: int, length: int, replace: str, ident: str) -> Mutant:
    mutant = Mutant(path, code[offset:offset + length], replace, UNOBSERVABLE.get(ident),
                    offset=offset, length=length)
    mutant.ident = ident
    return mutant


def table_mutants(path: str, text: str, code: str) -> List[Mutant]:
    """Each character of each text a table or a named text holds, and each
    character or number a table lists: one changed at a time."""
    found: List[Mutant] = []
    seen: Dict[str, int] = {}
    for match in INITIALIZER.finditer(code):
        start = match.start(1)
        # Numbers count as entries of arrays only: a structure's are fields.
        array = code[match.start()] == "]"
        literal_start = LITERAL.match(code, start) if match.group(1).endswith('"') else None
        if literal_start:
            end = literal_start.end()
        else:
            end = closing(code, code.index(match.group(1)[-1], start))
        if end - start <= 2:
            continue
        i = start
        while i < end:
            literal = LITERAL.match(code, i)
            char = CHARACTER.match(code, i) if not literal else None
            number = NUMBER.match(code, i) if not (literal or char) and not (
                code[i - 1].isalnum() or code[i - 1] == "_") else None
            if literal:
                name = literal.group()
                seen[name] = seen.get(name, 0) + 1
                label = f"{path}:{name}" + (f"#{seen[name]}" if seen[name] > 1 else "")
                for offset, piece in characters(name):
                    found.append(at(path, code, i + offset, len(piece), other_character(piece),
                                    f"{label}[{offset - name.index(chr(34)) - 1}]"))
                i = literal.end()
            elif char and code[start] == "{":
                name = char.group()
                seen[name] = seen.get(name, 0) + 1
                inner = name[name.index("'") + 1:-1]
                found.append(at(path, code, i + name.index("'") + 1, len(inner), other_character(inner),
                                f"{path}:{name}" + (f"#{seen[name]}" if seen[name] > 1 else "")))
                i = char.end()
            elif number and array and code[start] == "{":
                name = number.group()
                seen[name] = seen.get(name, 0) + 1
                found.append(at(path, code, i, 0, "1 + ", f"{path}:{{{name}}}" +
                                (f"#{seen[name]}" if seen[name] > 1 else "")))
                i = number.end()
            else:
                i += 1
    return found


def flags_mutants(path: str, text: str, code: str) -> List[Mutant]:
    """Each flags argument of each platform call: without each of its
    flags in turn, 0 in place of the flags, a flag where there was none,
    and one flag more beside a single named one."""
    found: List[Mutant] = []
    seen: Dict[str, int] = {}
    for name, positions in FLAGS_ARGUMENTS.items():
        for match in re.finditer(r"(?<![\w:])" + name + r"\s*\(", code):
            if name == "Get" and code[match.start() - 2:match.start()] != "->":
                continue
            seen[name] = seen.get(name, 0) + 1
            label = f"{path}:{name}" + (f"#{seen[name]}" if seen[name] > 1 else "")
            spans = arguments(code, match.end() - 1)
            for position in positions:
                left, right = spans[position]
                flags = code[left:right]
                terms = [t.strip() for t in flags.split("|")]
                changes = [" | ".join(terms[:k] + terms[k + 1:]) for k in range(len(terms))
                           ] if len(terms) > 1 else []
                changes.append("1" if flags == "0" else "0")
                if len(terms) == 1 and re.fullmatch(r"[A-Z_][A-Z0-9_]*", flags):
                    # A named flag may be 0 itself: then only one more tells.
                    changes.append(flags + " | 1")
                for change in changes:
                    found.append(at(path, code, left, right - left, change,
                                    f"{label}({position}: {flags} -> {change})"))
    return found


def last_error_mutants(path: str, text: str, code: str) -> List[Mutant]:
    """Each last error set: one more than it is."""
    found: List[Mutant] = []
    seen: Dict[str, int] = {}
    for match in re.finditer(r"\bSetLastError\s*\(", code):
        (left, right), = arguments(code, match.end() - 1)
        value = code[left:right]
        if value.startswith("DWORD"):
            continue  # the function itself
        seen[value] = seen.get(value, 0) + 1
        found.append(at(path, code, left, right - left, f"({value}) + 1",
                        f"{path}:SetLastError({value})" +
                        (f"#{seen[value]}" if seen[value] > 1 else "")))
    return found


def generated_mutants() -> List[Mutant]:
    found: List[Mutant] = []
    programs = [f for d in PROGRAM_DIRS for f in source_files(d, d != "platform")]
    simulation = source_files(SIMULATION_DIR, False)
    for path in programs + simulation:
        with open(os.path.join(ROOT, path), encoding="utf-8") as file:
            text = file.read()
        code = blank_comments(text)
        if path in programs:
            found += table_mutants(path, text, code) + flags_mutants(path, text, code)
        found += last_error_mutants(path, text, code)
    return found


def identity_mutants() -> List[Mutant]:
    """The adapter's ids and its interface class each one higher, in the
    form cmake/AdapterIdentity.cmake reads, from the values it reads."""
    output = subprocess.run(["cmake", "-P", os.path.join(ROOT, "cmake", "AdapterIdentity.cmake")],
                            check=True, capture_output=True, text=True).stdout
    ids = dict(line.split("=", 1) for line in output.splitlines())
    found = []
    for name, key, digits in (("kBrelvikVendorId = 0x", "BRELVIK_VENDOR_ID", 4),
                              ("kBrelvikProductId = 0x", "BRELVIK_PRODUCT_ID", 4),
                              ("GUID BrelvikInterfaceGuid = {\n    0x", "BRELVIK_INTERFACE_GUID", 8)):
        value = ids[key].strip("{}")[:digits]
        higher = f"{(int(value, 16) + 1) % (1 << (4 * digits)):0{digits}X}"
        mutant = m(P + "dfu_frame.h", name + value, name + higher)
        mutant.ident = f"{P}dfu_frame.h:{key}"
        found.append(mutant)
    return found


def number_mutants() -> None:
    counts: Dict[str, int] = {}
    for mutant in MUTANTS:
        name = mutant.path
        counts[name] = counts.get(name, 0) + 1
        mutant.ident = f"{name}:{counts[name]}"


def apply(text: str, mutant: Mutant) -> Optional[str]:
    """The text with the mutant's change, or None when its text is not there."""
    if mutant.offset >= 0:
        return text[:mutant.offset] + mutant.replace + text[mutant.offset + mutant.length:]
    at = -1
    for _ in range(mutant.occurrence):
        at = text.find(mutant.find, at + 1)
        if at < 0:
            return None
    return text[:at] + mutant.replace + text[at + len(mutant.find):]


def sync_copy(tree: str) -> None:
    """Copies the tracked files that differ, leaving the others (and their
    times) alone."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        source, target = os.path.join(ROOT, name), os.path.join(tree, name)
        if not os.path.isfile(source):
            continue
        with open(source, "rb") as file:
            data = file.read()
        if os.path.exists(target):
            with open(target, "rb") as file:
                if file.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # A new time, not the source's: a file put back after an interrupted
        # run must look newer than what was built from its mutant.
        shutil.copyfile(source, target)
        shutil.copymode(source, target)


def run(command: List[str], tree: str, timeout: int) -> bool:
    try:
        return subprocess.run(["nice", "-n", "10"] + command, cwd=tree, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def operator(mutant: Mutant) -> str:
    """Which operator made the mutant: the hand-written list or a generator."""
    if mutant.offset < 0:
        return "list"
    if "SetLastError(" in mutant.ident:
        return "last error"
    if mutant.ident.endswith(")") and " -> " in mutant.ident:
        return "flags"
    return "table"


def check(mutants: List[Mutant]) -> List[str]:
    """What makes the list stale: a hand-written mutant whose text is gone, a
    mark of a generated mutant there is no longer, a generated mutant twice."""
    problems = []
    for mutant in mutants:
        if mutant.offset < 0:
            with open(os.path.join(ROOT, mutant.path), encoding="utf-8") as file:
                if apply(file.read(), mutant) is None:
                    problems.append(f"text not found for {mutant.ident}")
    idents = [mutant.ident for mutant in mutants]
    problems += [f"two mutants named {ident}" for ident in sorted(set(idents))
                 if idents.count(ident) > 1]
    problems += [f"marked unobservable, but no such mutant: {ident}"
                 for ident in sorted(set(UNOBSERVABLE) - set(idents))]
    return problems


def describe(mutant: Mutant) -> str:
    if mutant.offset >= 0:
        return f"{mutant.ident}: {mutant.find!r} -> {mutant.replace!r}"
    return f"{mutant.ident}: {mutant.find.strip()!r} -> {mutant.replace.strip()!r}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--only", action="append", default=[],
                        help="mutant id, e.g. pipe_edition/cenum.cpp:3")
    parser.add_argument("--operator", action="append", default=[],
                        choices=["list", "table", "flags", "last error"])
    parser.add_argument("--path", action="append", default=[],
                        help="only the mutants of this file, e.g. protocol/dfu_frame.h")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    number_mutants()
    try:
        every = identity_mutants() + MUTANTS + generated_mutants()
    except subprocess.CalledProcessError as error:
        print(f"cmake/AdapterIdentity.cmake reads no ids:\n{error.stderr}")
        return 1
    problems = check(every)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    unknown = sorted(set(args.only) - {mutant.ident for mutant in every})
    if unknown:
        print("no such mutant: " + ", ".join(unknown))
        return 1
    chosen = [mu for mu in every if (not args.only or mu.ident in args.only) and
              (not args.operator or operator(mu) in args.operator) and
              (not args.path or mu.path in args.path)]
    # Headers last, the one every file includes at the very end: a mutant
    # there rebuilds nearly everything.
    chosen.sort(key=lambda mu: (mu.path.endswith(".h"), mu.path == P + "dfu_frame.h"))
    if args.list:
        for mutant in chosen:
            note = f"  (unobservable: {mutant.unobservable})" if mutant.unobservable else ""
            print(describe(mutant) + note)
        counts = {name: sum(operator(mu) == name for mu in chosen)
                  for name in ("list", "table", "flags", "last error")}
        print(f"{len(chosen)} mutants (" + ", ".join(f"{n} {name}" for name, n in counts.items())
              + ")")
        return 0

    tree = os.path.join(args.work, "tree")
    os.makedirs(tree, exist_ok=True)
    sync_copy(tree)
    configure = ["cmake", "--preset", "native"]
    if shutil.which("ccache"):
        # Each mutant's file is compiled again as it was before the next.
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    build = ["cmake", "--build", "build/native", "--parallel", str(args.jobs)]
    # The check of this list would fail on the mutated copy whatever the
    # tests say.
    suite = ["ctest", "--test-dir", "build/native", "--stop-on-failure",
             "-E", "^mutation_list_current$"]
    # The unit tests first, built alone: most mutants fail there, before
    # the rest is even linked.
    unit_build = build + ["--target", "unit_tests"]
    unit_suite = suite + ["-R", "^unit_tests$"]
    if not (run(configure, tree, 600) and run(build, tree, 1800) and
            run(suite, tree, SUITE_TIMEOUT)):
        print("the unmutated copy does not build or pass its suite")
        return 1

    results: Dict[str, List[Mutant]] = {"killed": [], "survived": [], "unobservable": [],
                                        "unobservable but killed": [], "not compiled": []}
    by_operator: Dict[str, Dict[str, int]] = {}
    log_path = os.path.join(args.work, "results.txt")
    with open(log_path, "w", encoding="utf-8") as log:
        for number, mutant in enumerate(chosen, 1):
            path = os.path.join(tree, mutant.path)
            with open(path, encoding="utf-8") as file:
                original = file.read()
            mutated = apply(original, mutant)
            assert mutated is not None
            with open(path, "w", encoding="utf-8") as file:
                file.write(mutated)
            start = time.monotonic()
            try:
                if not run(unit_build, tree, 1800) or not run(build, tree, 1800):
                    outcome = "not compiled"
                elif run(unit_suite, tree, SUITE_TIMEOUT) and run(suite, tree, SUITE_TIMEOUT):
                    outcome = "unobservable" if mutant.unobservable else "survived"
                else:
                    outcome = "unobservable but killed" if mutant.unobservable else "killed"
            finally:
                with open(path, "w", encoding="utf-8") as file:
                    file.write(original)
            results[outcome].append(mutant)
            tally = by_operator.setdefault(operator(mutant), {})
            tally[outcome] = tally.get(outcome, 0) + 1
            line = (f"[{number}/{len(chosen)}] {outcome} ({time.monotonic() - start:.0f} s) "
                    f"{describe(mutant)}")
            print(line, flush=True)
            log.write(line + "\n")
        # Leave the copy's build matching its sources for the next run.
        run(build, tree, 1800)

    def summary(tally: Dict[str, int]) -> str:
        killed = tally.get("killed", 0) + tally.get("unobservable but killed", 0)
        return (f"{killed} killed, {tally.get('survived', 0)} survived, "
                f"{tally.get('unobservable', 0)} unobservable, "
                f"{tally.get('not compiled', 0)} not compiled")

    print(f"\n{len(chosen)} mutants: " + summary({k: len(v) for k, v in results.items()}))
    for name, tally in sorted(by_operator.items()):
        print(f"  {name}: {summary(tally)}")
    killed = len(results["killed"]) + len(results["unobservable but killed"])
    counted = killed + len(results["survived"])
    if counted:
        print(f"score: {100.0 * killed / counted:.1f}% of the observable mutants")
    for outcome in ("survived", "unobservable but killed", "not compiled"):
        for mutant in results[outcome]:
            print(f"{outcome}: {describe(mutant)}")
    print(f"log: {log_path}")
    return 1 if results["survived"] or results["unobservable but killed"] else 0


if __name__ == "__main__":
    sys.exit(main())
