#!/usr/bin/env python3
"""Mutation pass over the programs' own code: is there a test for each fault?

    scripts/mutate.py [--work DIR] [--only ID]... [--list] [--jobs N]

Each mutant below changes one thing in a copy of the tree (a comparison
flipped, a constant changed, one character of a printed or sent text, a
release call deleted, a returned status swapped); the copy's native build
is rebuilt incrementally and its suite run. A mutant is killed when a test
fails (or the suite hangs past the limit), survives when the suite passes,
and does not count when it does not compile. Mutants marked `unobservable`
are expected to survive; the note says why no test can tell them apart.

Slow (minutes per file on a shared two-core machine): run by hand, never
from CI. The copy lives in build/mutate/tree unless --work says otherwise
and is kept between runs, so a second run rebuilds only what changed.
--list only checks that every mutant still finds its text.

First run of these 100 mutants: 88 killed, 8 survived, 2 unobservable, 2
that did not compile (91.7% of the observable ones). Each survivor now has
a test that kills it, or its note below; rerun of those 12 with the
compile errors mended: 11 killed, 1 unobservable (97 of 97 observable).
"""
import argparse
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Dict, List, Optional

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

    m(P + "dfu_frame.h", "kBrelvikVendorId = 0x0483", "kBrelvikVendorId = 0x0484"),
    m(P + "dfu_frame.h", "kBrelvikProductId = 0x1234", "kBrelvikProductId = 0x1235"),
    m(P + "dfu_frame.h", "kDfuEntryPipeId = 0x04", "kDfuEntryPipeId = 0x03"),
    m(P + "dfu_frame.h", 'L"PIPE03"', 'L"PIPE04"'),
    m(P + "dfu_frame.h", "kUsbDeviceDescriptorLength = 18", "kUsbDeviceDescriptorLength = 17"),
    m(P + "dfu_frame.h", "0x3EA03B52, 0xC71A", "0x3EA03B53, 0xC71A"),

    m(W + "wmi_discovery.h", 'LIKE \\"%",', 'LIKE \\"",'),
    m(W + "wmi_discovery.h", "Win32_USBHub WHERE", "Win32_USBHubs WHERE"),
    m(W + "wmi_discovery.h", "__RELPATH LIKE", "__RELPATH LIKF"),

    m(W + "wmi_discovery.cpp", 'L"ROOT\\\\CIMV2"', 'L"ROOT\\\\CIMV3"'),
    m(W + "wmi_discovery.cpp", 'kQueryLanguage[] = L"WQL"', 'kQueryLanguage[] = L"WQM"'),
    m(W + "wmi_discovery.cpp", "WBEM_FLAG_FORWARD_ONLY, nullptr", "0, nullptr"),
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
    m(U + "device_path.cpp", "HEAP_ZERO_MEMORY,", "0,"),
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
    m(U + "winusb_device.cpp", "FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED",
      "FILE_ATTRIBUTE_NORMAL"),
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


def number_mutants() -> None:
    counts: Dict[str, int] = {}
    for mutant in MUTANTS:
        name = mutant.path
        counts[name] = counts.get(name, 0) + 1
        mutant.ident = f"{name}:{counts[name]}"


def apply(text: str, mutant: Mutant) -> Optional[str]:
    """The text with the mutant's change, or None when its text is not there."""
    at = -1
    for _ in range(mutant.occurrence):
        at = text.find(mutant.find, at + 1)
        if at < 0:
            return None
    return text[:at] + mutant.replace + text[at + len(mutant.find):]


def sync_copy(tree: str) -> None:
    """Copies the tracked files, leaving unchanged ones (and their times) alone."""
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
        shutil.copy2(source, target)


def run(command: List[str], tree: str, timeout: int) -> bool:
    try:
        return subprocess.run(["nice", "-n", "10"] + command, cwd=tree, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--only", action="append", default=[], help="mutant id, e.g. pipe_edition/cenum.cpp:3")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    number_mutants()

    chosen = [mu for mu in MUTANTS if not args.only or mu.ident in args.only]
    missing = []
    for mutant in chosen:
        with open(os.path.join(ROOT, mutant.path), encoding="utf-8") as file:
            if apply(file.read(), mutant) is None:
                missing.append(mutant.ident)
    if missing:
        print("text not found for: " + ", ".join(missing))
        return 1
    if args.list:
        for mutant in chosen:
            note = f"  (unobservable: {mutant.unobservable})" if mutant.unobservable else ""
            print(f"{mutant.ident}: {mutant.find.strip()!r} -> {mutant.replace.strip()!r}{note}")
        print(f"{len(chosen)} mutants")
        return 0

    tree = os.path.join(args.work, "tree")
    os.makedirs(tree, exist_ok=True)
    sync_copy(tree)
    build = ["cmake", "--build", "build/native", "--parallel", str(args.jobs)]
    suite = ["ctest", "--test-dir", "build/native", "--stop-on-failure"]
    if not (run(["cmake", "--preset", "native"], tree, 600) and run(build, tree, 1800) and
            run(suite, tree, SUITE_TIMEOUT)):
        print("the unmutated copy does not build or pass its suite")
        return 1

    results: Dict[str, List[Mutant]] = {"killed": [], "survived": [], "unobservable": [],
                                        "unobservable but killed": [], "not compiled": []}
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
                if not run(build, tree, 1800):
                    outcome = "not compiled"
                elif run(suite, tree, SUITE_TIMEOUT):
                    outcome = "unobservable" if mutant.unobservable else "survived"
                else:
                    outcome = "unobservable but killed" if mutant.unobservable else "killed"
            finally:
                with open(path, "w", encoding="utf-8") as file:
                    file.write(original)
            results[outcome].append(mutant)
            line = (f"[{number}/{len(chosen)}] {mutant.ident} {outcome} "
                    f"({time.monotonic() - start:.0f} s): {mutant.find.strip()!r} -> "
                    f"{mutant.replace.strip()!r}")
            print(line, flush=True)
            log.write(line + "\n")
        # Leave the copy's build matching its sources for the next run.
        run(build, tree, 1800)

    killed = len(results["killed"]) + len(results["unobservable but killed"])
    counted = killed + len(results["survived"])
    print(f"\n{len(chosen)} mutants: {killed} killed, {len(results['survived'])} survived, "
          f"{len(results['unobservable'])} unobservable, "
          f"{len(results['not compiled'])} not compiled")
    if counted:
        print(f"score: {100.0 * killed / counted:.1f}% of the observable mutants")
    for outcome in ("survived", "unobservable but killed", "not compiled"):
        for mutant in results[outcome]:
            print(f"{outcome}: {mutant.ident}: {mutant.find.strip()!r} -> "
                  f"{mutant.replace.strip()!r}")
    print(f"log: {log_path}")
    return 1 if results["survived"] or results["unobservable but killed"] else 0


if __name__ == "__main__":
    sys.exit(main())
