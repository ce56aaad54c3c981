#!/usr/bin/python3
"""Runs the user guide's cmd scripts under Wine's cmd, exactly as the guide
prints them, and holds each outcome to the guide's own word for it.

    check_guide_script.py --wine-run WRAPPER --guide USER_GUIDE.md
                          --winusb-exe BRELVIK_DFU_WINUSB.exe
                          --pipe-exe BRELVIK_DFU_PIPE.exe
                          --program-output program_output.exe
                          --findstr findstr.exe --standin DLL...
                          --wine-prefix PREFIX --contents release_contents.txt
                          --work-dir DIR

The guide is read as the packer ships it, its placeholders filled from the
build's release_contents.txt; it must write none of those values by hand,
and its example of a working adapter's line must be what the WinUSB
program prints against the stand-in adapter.

Each script is saved as the guide prints it: the lines of its indented
block, indent removed, with CRLF line ends; the file is then read back and
compared with the guide's lines. Nothing in it is rewritten for Wine, so
the scripts may use only what Wine's cmd reads as Windows' does: no `&&`
(Wine's cmd runs what follows it after a failure) and no `||`. Wine's own
findstr gives 0 whether or not a line matched, so a findstr.exe of the
tests' own, with Windows' exit statuses, sits beside the script (cmd looks
in the current folder first).

check_winusb.cmd runs against the real WinUSB program and the stand-in
DLLs: a working adapter, each write error of the guide's LastError table
and one code it does not list, no adapter, a failed lookup, and no program
at all. check_pipe.cmd runs against the real legacy program, which under
Wine finds no adapter and prints only "Found device 1", against a stand-in
that prints what a switch prints, and with no program at all. Each script
also runs where an earlier run that switched the adapter left its result
file, made read-only so that neither its `del` nor the redirection can
replace it: the script must stop with 1, not give that run's verdict.
The status expected for each run is the one the guide's legend below the
script, or the LastError table, gives for that output.
"""
import argparse
import importlib
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
run_case: Any = importlib.import_module("run_case")
# The packer's own filling of the guide and its reading of the contents file.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "release"))
pack: Any = importlib.import_module("pack")
buildinfo: Any = importlib.import_module("buildinfo")

RUN_TIMEOUT = 100
# A code the table does not list, sharing its first digit with one it does:
# a search string without its trailing space would take it for 2.
UNLISTED_CODE = 23
INDENT = "    "
# What Wine's cmd reads otherwise than Windows' does, or may.
NOT_ALIKE_IN_WINE = ("&&", "||")

# The stand-in adapter reports the ids of protocol/dfu_frame.h, which the
# contents file names too.
WORKING_LINE = "Device found: VID_{vendor_id}&PID_{product_id}; bcdUsb 0200"
NO_ADAPTER_LINE = "Device not connected or driver not installed"
FOUND_LINE = "Found device 1"
SWITCHED_LINE = "Device 1 is now in DFU mode"


class GuideError(Exception):
    """The guide is not as this check needs it."""


@dataclass
class Run:
    """One run of a script: the program beside it (None: none), the
    stand-in scenario, what the script must print, the legend's phrase for
    that outcome (or the status itself), and what an earlier run left."""
    name: str
    program: Optional[str]
    printed: List[str]
    outcome: str
    scenario: Dict[str, str] = field(default_factory=dict)
    stale: Optional[List[str]] = None
    read_only: bool = False
    status: Optional[int] = None


def indented_block(lines: List[str], heading: str) -> Tuple[int, List[str]]:
    """(index of its first line, the lines without indent) of the block
    indented by four spaces that follows the line heading."""
    if lines.count(heading) != 1:
        raise GuideError(f"{lines.count(heading)} lines {heading!r} in the guide")
    start = lines.index(heading) + 1
    while start < len(lines) and not lines[start].strip():
        start += 1
    end = start
    while end < len(lines) and (lines[end].startswith(INDENT) or not lines[end]):
        end += 1
    while end > start and not lines[end - 1]:
        end -= 1
    return start, [line[len(INDENT):] for line in lines[start:end]]


def legend(lines: List[str], after: int) -> Dict[int, str]:
    """{status: text} of the "- N: ..." list that follows line after."""
    at = after
    while at < len(lines) and not lines[at].startswith("- "):
        if lines[at].startswith("#"):
            break
        at += 1
    entries: Dict[int, str] = {}
    last: Optional[int] = None
    while at < len(lines) and (lines[at].startswith("- ") or lines[at].startswith("  ")):
        match = re.match(r"- (\d+): (.*)", lines[at])
        if match:
            last = int(match.group(1))
            entries[last] = match.group(2)
        elif last is not None:
            entries[last] += " " + lines[at].strip()
        at += 1
    if not entries:
        raise GuideError(f"no \"- N: ...\" legend after line {after + 1} of the guide")
    return entries


def legend_status(entries: Dict[int, str], phrase: str) -> int:
    """The one status whose legend text holds phrase."""
    codes = [code for code, text in entries.items() if phrase in text]
    if len(codes) != 1:
        raise GuideError(f"{len(codes)} legend entries say {phrase!r}: {entries}")
    return codes[0]


def table_statuses(lines: List[str]) -> Dict[int, int]:
    """{LastError: script status} from the guide's LastError table."""
    rows = [line for line in lines if line.startswith("| ")]
    header = next((i for i, line in enumerate(rows) if line.startswith("| LastError ")), None)
    if header is None:
        raise GuideError("no LastError table in the guide")
    column = [cell.strip() for cell in rows[header].strip("|").split("|")].index("Script")
    statuses: Dict[int, int] = {}
    for row in rows[header + 1:]:
        cells = [cell.strip() for cell in row.strip("|").split("|")]
        if not cells[0].isdigit():
            break
        statuses[int(cells[0])] = int(cells[column])
    return statuses


def winusb_runs(statuses: Dict[int, int], exe: str, working_line: str) -> List[Run]:
    if UNLISTED_CODE in statuses:
        raise GuideError(f"pick another unlisted code than {UNLISTED_CODE}")
    runs = [
        Run("working_adapter", exe, [working_line], '"Device found"'),
        Run("no_adapter", exe, [NO_ADAPTER_LINE], "any other line", {"INTERFACES": ""}),
        Run("lookup_failed", exe, ["Failed looking for device, HRESULT 0x8007000d"],
            "any other line", {"SIZE_CR": "0x13"}),
        Run("no_program", None, [], "or none"),
    ]
    for code, status in sorted(statuses.items()):
        # LastError 0: the write call succeeded but wrote short.
        scenario = ({"WRITE_LENGTH": "15"} if code == 0 else
                    {"WRITE_RESULT": "fail", "WRITE_ERROR": str(code)})
        runs.append(Run(f"lasterror_{code}", exe,
                        [f"Error among LastError {code} or lengthReceived 18"],
                        "", scenario, status=status))
    runs.append(Run(f"unlisted_{UNLISTED_CODE}", exe,
                    [f"Error among LastError {UNLISTED_CODE} or lengthReceived 18"],
                    "any other line",
                    {"WRITE_RESULT": "fail", "WRITE_ERROR": str(UNLISTED_CODE)}))
    return runs


def pipe_runs(exe: str, program_output: str) -> List[Run]:
    switched = [FOUND_LINE, SWITCHED_LINE]
    return [
        # The real legacy program: under Wine there is no adapter.
        Run("no_adapter", exe, [FOUND_LINE], "no adapter at all"),
        Run("switched", program_output, switched, "switched (",
            {"PRINTED": "|".join(switched)}),
        Run("no_program", None, [], "printed nothing"),
    ]


def result_file_line(script: List[str], name: str) -> str:
    """The script's `set "result=..."` line, which names its result file."""
    found = [line for line in script if line.startswith('set "result=')]
    if len(found) != 1:
        raise GuideError(f"{name} does not name its result file in one `set \"result=` line")
    return found[0]


def wine_cmd(args: argparse.Namespace, work_dir: str, env: Dict[str, str],
             command: str) -> "subprocess.CompletedProcess[bytes]":
    return subprocess.run([os.path.abspath(args.wine_run), "cmd.exe", "/c", command],
                          cwd=work_dir, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=RUN_TIMEOUT, check=False)


def save_script(work_dir: str, script: List[str], guide_lines: List[str], start: int) -> str:
    """Saves the script as the guide prints it and checks the file's bytes
    against the guide's lines."""
    path = os.path.join(work_dir, "check.cmd")
    with open(path, "wb") as file:
        file.write(b"".join(line.encode("ascii") + b"\r\n" for line in script))
    with open(path, "rb") as file:
        saved = file.read()
    if not saved.endswith(b"\r\n"):
        raise GuideError("the saved script does not end with a line end")
    lines = saved[:-2].split(b"\r\n")
    printed = [line.encode("ascii") for line in guide_lines[start:start + len(lines)]]
    if [(INDENT.encode() + line if line else line) for line in lines] != printed:
        raise GuideError("the saved script differs from the guide's lines")
    return "check.cmd"


def run_script(args: argparse.Namespace, script_name: str, script: List[str],
               guide_lines: List[str], start: int, run: Run,
               failures: List[str]) -> Optional[Tuple[bytes, bytes, int, str]]:
    """Runs the script under Wine's cmd in a work folder of its own, after
    leaving the run's stale result file; returns (stdout, stderr, exit
    status, the result file as cmd named it when one was left), or None
    when it did not end."""
    label = f"{script_name} {run.name}"
    program = run.program or args.winusb_exe
    work_dir, program_copy, device = run_case.prepare(
        os.path.join(args.work_dir, script_name, run.name), program, None, None, [],
        "program folder")
    target = os.path.join(work_dir, "BRELVIK_DFU_WINUSB.exe" if "winusb" in script_name
                          else "BRELVIK_DFU_PIPE.exe")
    if run.program is None:
        os.remove(program_copy)
    elif program_copy != target:
        os.replace(program_copy, target)
    shutil.copy2(args.findstr, os.path.join(work_dir, "findstr.exe"))
    command = save_script(work_dir, script, guide_lines, start)

    standins = args.standin if run.program == args.winusb_exe else []
    scenario = ({"INTERFACES": "{device}", **run.scenario} if standins else run.scenario)
    env: Dict[str, str] = run_case.environment({"standin": scenario}, work_dir, standins, [],
                                               lambda text: text.replace("{device}", device))
    set_result = result_file_line(script, label)
    result_file = ""
    try:
        with run_case.system32_held(args.wine_prefix, standins, set()):
            if run.stale is not None:
                with open(os.path.join(work_dir, "stale.txt"), "wb") as file:
                    file.write(b"".join(line.encode("ascii") + b"\r\n" for line in run.stale))
                plant = ["@echo off", set_result, 'copy /y stale.txt "%result%" > nul',
                         "echo %result%"]
                if run.read_only:
                    plant.append('attrib +r "%result%"')
                with open(os.path.join(work_dir, "plant.cmd"), "wb") as file:
                    file.write("".join(line + "\r\n" for line in plant).encode("ascii"))
                planted = wine_cmd(args, work_dir, env, "plant.cmd")
                if planted.returncode != 0:
                    failures.append(f"{label}: could not leave a stale result file "
                                    f"({planted.stderr!r})")
                    return None
                result_file = planted.stdout.decode("ascii").strip()
            result = wine_cmd(args, work_dir, env, command)
            if run.read_only:
                with open(os.path.join(work_dir, "unlock.cmd"), "wb") as file:
                    file.write(f'@echo off\r\n{set_result}\r\nattrib -r "%result%"\r\n'
                               'del "%result%"\r\n'.encode("ascii"))
                wine_cmd(args, work_dir, env, "unlock.cmd")
    except subprocess.TimeoutExpired:
        failures.append(f"{label}: no exit within {RUN_TIMEOUT} s")
        return None
    return result.stdout, result.stderr, result.returncode, result_file


def check_runs(args: argparse.Namespace, guide_lines: List[str], script_name: str,
               runs: List[Run], switched: Run, failures: List[str]) -> None:
    """Runs the script once for each run, and once more with the result
    file of the switched run left read-only."""
    start, script = indented_block(guide_lines, f"`{script_name}`:")
    for construct in NOT_ALIKE_IN_WINE:
        if any(construct in line for line in script):
            raise GuideError(f"{script_name} uses {construct}, which Wine's cmd reads "
                             "otherwise than Windows' does")
    entries = legend(guide_lines, start + len(script))
    print(f"{script_name}, as saved and run:\n" + "\n".join(script))
    print(f"legend: {entries}\n")
    # The result file of a run that switched, which this run cannot remove.
    # Only then can that run's verdict come through (the redirection empties
    # a file it can open, even for a program that is not there): the script
    # must stop instead.
    held = Run("stale_result_held", switched.program, [], "", scenario=switched.scenario,
               stale=switched.printed, read_only=True, status=1)
    for run in runs + [held]:
        expected = run.status if run.status is not None else legend_status(entries, run.outcome)
        outcome = run_script(args, script_name, script, guide_lines, start, run, failures)
        if outcome is None:
            continue
        stdout, stderr, status, result_file = outcome
        label = f"{script_name} {run.name}"
        print(f"{label}: printed {stdout!r}, exit {status}, expected {expected}")
        lines = run.printed
        if run is held:
            lines = [f'Cannot replace "{result_file}"; close the program that holds it.']
        printed = "".join(line + "\r\n" for line in lines).encode("ascii")
        if stdout != printed:
            failures.append(f"{label}: printed {stdout!r}, expected {printed!r}")
        if status != expected:
            failures.append(f"{label}: exited with {status}, expected {expected}")
        # Without a program cmd says so on standard error; otherwise nothing
        # may go there.
        if stderr and run.program is not None:
            failures.append(f"{label}: standard error {stderr!r}")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--guide", required=True)
    parser.add_argument("--winusb-exe", required=True)
    parser.add_argument("--pipe-exe", required=True)
    parser.add_argument("--program-output", required=True)
    parser.add_argument("--findstr", required=True)
    parser.add_argument("--standin", action="append", default=[])
    parser.add_argument("--wine-prefix", required=True)
    parser.add_argument("--contents", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()

    contents = buildinfo.read_contents(args.contents)
    with open(args.guide, "rb") as file:
        source = file.read()
    failures: List[str] = [f"{args.guide} {problem}" for problem in pack.guide_problems(source, contents)]
    lines = pack.guide_text(source, contents).decode("ascii").splitlines()
    working_line = WORKING_LINE.format(**contents)
    if not any(f"`{working_line}`" in line for line in lines):
        failures.append(f"the guide shows no `{working_line}`, what a working adapter gives")
    try:
        for name, runs in (("check_winusb.cmd", winusb_runs(table_statuses(lines),
                                                             args.winusb_exe, working_line)),
                           ("check_pipe.cmd", pipe_runs(args.pipe_exe, args.program_output))):
            switched = next(run for run in runs if run.name in ("working_adapter", "switched"))
            check_runs(args, lines, name, runs, switched, failures)
    except GuideError as error:
        failures.append(str(error))
    for failure in failures:
        print("FAILED", failure)
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
