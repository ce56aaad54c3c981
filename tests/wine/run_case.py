#!/usr/bin/python3
"""Runs one case of a table against a real Windows program under Wine and
compares, byte for byte, what it wrote to standard output and standard
error, its exit status and, with stand-in DLLs, the stand-ins' call log.

    run_case.py --wine-run WRAPPER --exe PROGRAM.exe [--standin DLL]...
                [--hardware-id VID_xxxx&PID_xxxx] [--interface-guid {GUID}]
                --table CASES.json --case NAME --work-dir DIR

A case of the table:

    {"name": "...",
     "args": ["..."],                 command-line arguments (default none)
     "standin": {"KEY": "value"},     scenario: BRELVIK_STANDIN_KEY=value
     "env": {"NAME": "value"},        any other environment variable
     "stdout": "...\\r\\n",           expected bytes (Windows text mode)
     "stderr": "",                    expected bytes (default none)
     "exit": 0,                       expected exit status (default 0)
     "log": ["..."],                  expected log lines (checked when given)
     "device_length": 259,            length of the {device} path (see below)
     "planted": ["cfgmgr32"],         put the --planted DLL under these names
     "planted_run_time": "group",     and under the names of that group of
                                      runtime_dlls.json, less the program's
                                      start-up imports
     "planted_in": "working folder",  plant in the working folder, with the program
                                      in a folder of its own (default: beside it)
     "missing": ["winusb"],           stand-ins taken out of system32 for this run
     "like": "case"}                  what is not given here, as that case of the table

The stand-ins go where Windows keeps the real DLLs, the prefix's system32
(the programs load those DLLs from there alone), and stay there for the
cases that follow; a case with "missing" holds the prefix to itself while
it runs and puts them back afterwards. The program is copied into the work
directory, which also holds an empty file "adapter" for the program to open (with
device_length, its name is padded to give the path that length). In arguments,
scenario, environment and log lines {device} stands for that file as a
Windows device path (\\\\?\\Z:\\...\\adapter) and {casedir} for the work
directory as one (\\\\?\\Z:\\...); in those and in the expected output
{program} stands for the program as it sees its own name (Z:\\...\\X.exe), and
{hardware_id} for the adapter's ids as the programs print them (--hardware-id)
and {interface_guid} for its interface class (--interface-guid), both read
from protocol/dfu_frame.h by cmake/AdapterIdentity.cmake.

A planted name is set native-first (n,b, or the stand-ins' n): Wine then
looks for it where Windows looks for a DLL that is not a KnownDLL, the
program's folder first, and still loads its own copy from system32 when
the program asks for that one alone (with n only it would refuse that
copy). The planted DLL writes its path to the stand-in log and ends the
process with status 99; any such line fails the case.
"""
import argparse
import contextlib
import fcntl
import filecmp
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from typing import Any

STANDIN_PREFIX = "BRELVIK_STANDIN_"
PLANTED_LINE = "planted DLL loaded: "
RUN_TIMEOUT = 100  # seconds; the wrapper bounds each Wine process itself

# A case of the table, as json.load gives it.
Case = dict[str, Any]


def windows_path(path: str) -> str:
    """The path as a program under Wine sees it: drive Z: is the Unix root."""
    return "Z:" + path.replace("/", "\\")


def load_case(table: str, name: str) -> Case:
    with open(table, encoding="utf-8") as file:
        cases = json.load(file)["cases"]

    def find(name: str) -> Case:
        matches: list[Case] = [case for case in cases if case["name"] == name]
        if len(matches) != 1:
            sys.exit(f"run_case: {len(matches)} cases named {name!r} in {table}")
        return matches[0]

    case = find(name)
    if "like" in case:
        case = {**find(case["like"]), **case}
    return case


def planted_names(case: Case, table: str, exe: str) -> list[str]:
    """The names the case plants the DLL under. Those of a group of
    runtime_dlls.json go without the program's start-up imports: Wine has no
    KnownDLLs and takes those from the program's folder, whatever the
    program does."""
    names: list[str] = list(case.get("planted", []))
    group = case.get("planted_run_time")
    if group is None:
        return names
    with open(os.path.join(os.path.dirname(table), "runtime_dlls.json"), encoding="utf-8") as file:
        dlls = json.load(file)
    if group not in dlls["after_start_up"]:
        sys.exit(f"run_case: runtime_dlls.json has no group {group!r}")
    start_up = {name.lower() for name in dlls["start_up"][os.path.basename(exe)]}
    return names + [dll["name"] for dll in dlls["after_start_up"][group]
                    if dll["name"].lower() not in start_up]


def dll_file(name: str) -> str:
    return name if "." in name else name + ".dll"


def device_name(work_dir: str, length: int | None) -> str:
    if length is None:
        return "adapter"
    room = length - len(device_path(work_dir, ""))
    if not 1 <= room <= 255:
        sys.exit(f"run_case: no file name gives a device path of {length} characters here")
    return ("adapter-" + "x" * room)[:room]


def device_path(work_dir: str, name: str) -> str:
    return "\\\\?\\" + windows_path(os.path.join(work_dir, name))


def dll_name(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0].lower()


def install_standins(system32: str, standins: list[str], missing: set[str]) -> None:
    """Puts each stand-in into system32 unless it is to be missing. A file
    that a running Wine process may have mapped is replaced, never
    rewritten in place."""
    for dll in standins:
        target = os.path.join(system32, os.path.basename(dll).lower())
        if dll_name(dll) in missing:
            with contextlib.suppress(FileNotFoundError):
                os.remove(target)
        elif not (os.path.exists(target) and filecmp.cmp(dll, target, shallow=False)):
            shutil.copyfile(dll, target + ".new")
            os.replace(target + ".new", target)


@contextlib.contextmanager
def system32_held(prefix: str | None, standins: list[str], missing: set[str]) -> Iterator[None]:
    """The prefix's system32 as this case needs it, for as long as it runs:
    shared with other cases that need every stand-in, alone otherwise."""
    if not standins:
        yield
        return
    assert prefix is not None, "main() asks for --wine-prefix with stand-ins"
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    with open(prefix + ".system32.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        install_standins(system32, standins, missing)
        if not missing:
            fcntl.flock(lock, fcntl.LOCK_SH)
        try:
            yield
        finally:
            if missing:
                install_standins(system32, standins, set())


def prepare(work_dir: str, exe: str, device_length: int | None, planted: str | None, planted_names: list[str],
            planted_in: str) -> tuple[str, str, str]:
    shutil.rmtree(work_dir, ignore_errors=True)
    os.makedirs(work_dir)
    # The path the program reports back must match ours: no symbolic links.
    work_dir = os.path.realpath(work_dir)
    # The work directory is the working folder of the run.
    if planted_in == "working folder":
        program_dir = os.path.join(work_dir, "program")
        os.makedirs(program_dir)
    elif planted_in == "program folder":
        program_dir = work_dir
    else:
        sys.exit(f"run_case: planted_in is 'program folder' or 'working folder', not {planted_in!r}")
    program = os.path.join(program_dir, os.path.basename(exe))
    shutil.copy2(exe, program)
    # Where Windows looks for a DLL that is not a KnownDLL: the program's
    # folder first, the working folder later; the program must never load
    # these.
    for name in planted_names:
        if not planted:
            sys.exit("run_case: the case plants a DLL but no --planted DLL was given")
        shutil.copy2(planted, os.path.join(work_dir, dll_file(name)))
    device = device_name(work_dir, device_length)
    open(os.path.join(work_dir, device), "wb").close()
    return work_dir, program, device_path(work_dir, device)


def environment(case: Case, work_dir: str, standins: list[str], planted_names: list[str],
                expand: Callable[[str], str]) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(STANDIN_PREFIX) and key != "WINEDLLOVERRIDES"}
    overrides = []
    names = [dll_name(dll) for dll in standins]
    if names:
        # =n without b: a missing stand-in fails loudly instead of Wine's
        # own stub being loaded silently.
        overrides.append(",".join(names) + "=n")
    others = [name for name in planted_names if name.lower() not in names]
    if others:
        overrides.append(",".join(others) + "=n,b")
    if overrides:
        env["WINEDLLOVERRIDES"] = ";".join(overrides)
    if standins or planted_names:
        env[STANDIN_PREFIX + "LOG"] = windows_path(os.path.join(work_dir, "standin.log"))
    for key, value in case.get("standin", {}).items():
        env[STANDIN_PREFIX + key] = expand(str(value))
    for key, value in case.get("env", {}).items():
        env[key] = expand(str(value))
    return env


def compare(what: str, actual: object, expected: object, failures: list[str]) -> None:
    if actual != expected:
        failures.append(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--standin", action="append", default=[])
    parser.add_argument("--wine-prefix", help="the prefix whose system32 takes the stand-ins")
    parser.add_argument("--planted", help="the DLL a case may plant under system DLL names")
    parser.add_argument("--table", required=True)
    parser.add_argument("--case", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--hardware-id", default="{hardware_id}")
    parser.add_argument("--interface-guid", default="{interface_guid}")
    args = parser.parse_args()

    case = load_case(args.table, args.case)
    if args.standin and not args.wine_prefix:
        sys.exit("run_case: stand-ins need --wine-prefix")
    missing = {name.lower() for name in case.get("missing", [])}
    planted = planted_names(case, args.table, args.exe)
    work_dir, program, device = prepare(args.work_dir, args.exe, case.get("device_length"),
                                        args.planted, planted,
                                        case.get("planted_in", "program folder"))
    placeholders = {"{device}": device, "{casedir}": device_path(work_dir, "")[:-1],
                    "{program}": windows_path(program), "{hardware_id}": args.hardware_id,
                    "{interface_guid}": args.interface_guid}

    def expand(text: str) -> str:
        for placeholder, value in placeholders.items():
            text = text.replace(placeholder, value)
        return text

    env = environment(case, work_dir, args.standin, planted, expand)
    command = [os.path.abspath(args.wine_run), program] + [expand(arg) for arg in case.get("args", [])]
    print("run:", " ".join(command))
    for key in sorted(env):
        if key.startswith(STANDIN_PREFIX) or key == "WINEDLLOVERRIDES":
            print(f"  {key}={env[key]}")

    try:
        with system32_held(args.wine_prefix, args.standin, missing):
            result = subprocess.run(command, cwd=work_dir, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        print(f"FAILED: no exit within {RUN_TIMEOUT} s")
        return 1

    failures: list[str] = []
    compare("stdout", result.stdout, expand(case.get("stdout", "")).encode("utf-8"), failures)
    compare("stderr", result.stderr, expand(case.get("stderr", "")).encode("utf-8"), failures)
    compare("exit status", result.returncode, case.get("exit", 0), failures)
    log_path = os.path.join(work_dir, "standin.log")
    log: list[str] = []
    if os.path.exists(log_path):
        with open(log_path, encoding="utf-8") as file:
            log = file.read().splitlines()
    failures += [line for line in log if line.startswith(PLANTED_LINE)]
    if "log" in case:
        expected = [expand(line) for line in case["log"]]
        if log != expected:
            failures.append("stand-in log:\n  expected:\n" +
                            "".join(f"    {line}\n" for line in expected) +
                            "  actual:\n" + "".join(f"    {line}\n" for line in log))

    for failure in failures:
        print("FAILED", failure)
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
