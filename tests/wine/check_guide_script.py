#!/usr/bin/python3
"""Runs the user guide's scripts, as the guide prints them. check_winusb.cmd
runs under Wine's cmd against the real WinUSB program and the stand-in DLLs,
once for a working adapter and once for each write error of the guide's
LastError table (and one code it does not list), and must exit with the
status the table gives; check_winusb.ps1 is held to the same table by
applying its -match patterns to each line the program printed.
check_pipe.cmd runs against the real legacy program, which under Wine finds
no adapter and prints only "Found device 1"; check_pipe.ps1's patterns are
applied to that and to the other outputs its legend names. Each cmd script
also runs once with a result file left in its place by an earlier run that
switched the adapter: the verdict must be this run's.

    check_guide_script.py --wine-run WRAPPER --guide USER_GUIDE.md
                          --exe BRELVIK_DFU_WINUSB.exe --pipe-exe BRELVIK_DFU_PIPE.exe
                          --findstr findstr.exe --standin DLL...
                          --wine-prefix PREFIX --work-dir DIR
                          --hardware-id VID_xxxx&PID_xxxx

Wine 8 falls short of Windows in two ways the script meets: its findstr
finds nothing, so a findstr.exe of the tests' own sits beside the script
(cmd looks in the current folder first); and its cmd runs the command after
&& whether or not the one before it failed, so each `X && exit /b N` of the
script runs here as `X` followed by `if not errorlevel 1 exit /b N`, which
Windows reads the same way.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_case  # noqa: E402

RUN_TIMEOUT = 100
# A code the table does not list, sharing its first digit with one it does:
# a search string without its trailing space would take it for 2.
UNLISTED_CODE = 23


def indented_block(lines, heading):
    """The lines indented by four spaces that follow the line heading."""
    try:
        start = lines.index(heading) + 1
    except ValueError:
        sys.exit(f"check_guide_script: no line {heading!r} in the guide")
    while start < len(lines) and not lines[start].strip():
        start += 1
    block = []
    for line in lines[start:]:
        if line and not line.startswith("    "):
            break
        block.append(line[4:])
    while block and not block[-1].strip():
        block.pop()
    return block


def table_statuses(lines):
    """{LastError: script status} from the guide's LastError table."""
    rows = [line for line in lines if line.startswith("| ")]
    header = next((i for i, line in enumerate(rows) if line.startswith("| LastError ")), None)
    if header is None:
        sys.exit("check_guide_script: no LastError table in the guide")
    cells = [cell.strip() for cell in rows[header].strip("|").split("|")]
    column = cells.index("Script")
    statuses = {}
    for row in rows[header + 1:]:
        cells = [cell.strip() for cell in row.strip("|").split("|")]
        if not cells[0].isdigit():
            break
        statuses[int(cells[0])] = int(cells[column])
    return statuses


def result_file_line(script, name):
    """The script's `set "result=..."` line, which names its result file."""
    lines = [line for line in script if line.startswith('set "result=')]
    if len(lines) != 1:
        sys.exit(f"check_guide_script: {name} does not name its result file in one `set \"result=` line")
    return lines[0]


def for_wine_cmd(script):
    rewritten = []
    for line in script:
        match = re.fullmatch(r"(.*\S)\s*&&\s*(exit /b \d+)\s*", line)
        if match:
            rewritten += [match.group(1), "if not errorlevel 1 " + match.group(2)]
        else:
            rewritten.append(line)
    if any("&&" in line for line in rewritten) or len(rewritten) == len(script):
        sys.exit("check_guide_script: the script's && lines are not of the form `X && exit /b N`")
    return rewritten


def powershell_status(script, output_lines):
    """What a .ps1 script exits with for this output: each `if ($out -match 'RE')
    { exit N }` in turn (case-insensitive, true when any line matches),
    then its last `exit N`."""
    for line in script:
        match = re.fullmatch(r"\s*if \(\$out -match '([^']*)'\) \{ exit (\d+) \}\s*", line)
        if match:
            pattern = re.compile(match.group(1), re.IGNORECASE)
            if any(pattern.search(output) for output in output_lines):
                return int(match.group(2))
        elif line.strip() not in ("", "$out") and not line.startswith("$out = "):
            match = re.fullmatch(r"\s*exit (\d+)\s*", line)
            if not match:
                sys.exit(f"check_guide_script: .ps1 line not understood: {line!r}")
            return int(match.group(1))
    sys.exit("check_guide_script: a .ps1 script has no final exit")


# The stand-in adapter reports the ids of protocol/dfu_frame.h (--hardware-id).
WORKING_LINE = "Device found: {hardware_id}; bcdUsb 0200"
PIPE_SWITCHED_LINE = "Device 1 is now in DFU mode"
# What check_pipe.ps1 must give for each output its legend names.
PIPE_OUTPUTS = [
    (["Found device 1", PIPE_SWITCHED_LINE], 0),
    (["Found device 1"], 2),
    ([], 1),
]


def winusb_runs(statuses, hardware_id):
    """(name, scenario, printed line, expected status, stale result) for
    each run of check_winusb.cmd."""
    working_line = WORKING_LINE.format(hardware_id=hardware_id)
    yield "working_adapter", {}, working_line, 0, None
    # No adapter, after a run that switched one.
    yield "stale_result", {"INTERFACES": ""}, "Device not connected or driver not installed", 1, working_line
    for code, status in sorted(statuses.items()):
        # LastError 0: the write call succeeded but wrote short.
        scenario = ({"WRITE_LENGTH": "15"} if code == 0 else
                    {"WRITE_RESULT": "fail", "WRITE_ERROR": str(code)})
        yield (f"lasterror_{code}", scenario,
               f"Error among LastError {code} or lengthReceived 18", status, None)
    if UNLISTED_CODE in statuses:
        sys.exit(f"check_guide_script: pick another unlisted code than {UNLISTED_CODE}")
    yield (f"unlisted_{UNLISTED_CODE}", {"WRITE_RESULT": "fail", "WRITE_ERROR": str(UNLISTED_CODE)},
           f"Error among LastError {UNLISTED_CODE} or lengthReceived 18", 1, None)


def run_cmd_script(args, name, exe, script, scenario, stale, failures):
    """Runs the script under Wine's cmd in a work folder of its own, after
    leaving STALE (a line) in its result file when given; returns
    (stdout, exit status), or None when it did not end."""
    work_dir, _, device = run_case.prepare(os.path.join(args.work_dir, name), exe,
                                           None, None, [], "program folder")
    shutil.copy2(args.findstr, os.path.join(work_dir, "findstr.exe"))
    script_name = "check.cmd"
    with open(os.path.join(work_dir, script_name), "w", newline="") as file:
        file.write("\r\n".join(for_wine_cmd(script)) + "\r\n")
    standins = args.standin if scenario is not None else []
    case = {"standin": {"INTERFACES": "{device}", **scenario}} if scenario is not None else {}
    env = run_case.environment(case, work_dir, standins, [],
                               lambda text: text.replace("{device}", device))
    commands = [[script_name]]
    if stale:
        with open(os.path.join(work_dir, "stale.txt"), "w", newline="") as file:
            file.write(stale + "\r\n")
        with open(os.path.join(work_dir, "plant.cmd"), "w", newline="") as file:
            file.write(f'@echo off\r\n{result_file_line(script, name)}\r\n'
                       'copy /y stale.txt "%result%" > nul\r\n')
        commands.insert(0, ["plant.cmd"])
    try:
        with run_case.system32_held(args.wine_prefix, standins, set()):
            for command in commands:
                result = subprocess.run([os.path.abspath(args.wine_run), "cmd.exe", "/c", *command],
                                        cwd=work_dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        timeout=RUN_TIMEOUT)
                if command[0] == "plant.cmd" and result.returncode != 0:
                    failures.append(f"{name}: could not leave a stale result file ({result.stderr!r})")
                    return None
    except subprocess.TimeoutExpired:
        failures.append(f"{name}: no exit within {RUN_TIMEOUT} s")
        return None
    if result.stderr:
        failures.append(f"{name}: standard error {result.stderr!r}")
    return result.stdout, result.returncode


def check_run(name, outcome, lines, expected, ps_status, failures):
    if outcome is None:
        return
    stdout, status = outcome
    print(f"{name}: printed {stdout!r}, .cmd {status}, .ps1 {ps_status}, expected {expected}")
    printed = "".join(line + "\r\n" for line in lines).encode("ascii")
    if stdout != printed:
        failures.append(f"{name}: printed {stdout!r}, expected {printed!r}")
    if status != expected:
        failures.append(f"{name}: the .cmd script exited with {status}, expected {expected}")
    if ps_status != expected:
        failures.append(f"{name}: the .ps1 script would exit with {ps_status}, expected {expected}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--guide", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--pipe-exe", required=True)
    parser.add_argument("--findstr", required=True)
    parser.add_argument("--standin", action="append", default=[])
    parser.add_argument("--wine-prefix", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--hardware-id", required=True)
    args = parser.parse_args()

    with open(args.guide, encoding="ascii") as file:
        lines = file.read().splitlines()
    scripts = {name: indented_block(lines, f"`{name}`:" if "pipe" not in name else
                                    f"`{name}` (one target, no WMI):")
               for name in ("check_winusb.cmd", "check_winusb.ps1", "check_pipe.cmd", "check_pipe.ps1")}
    statuses = table_statuses(lines)
    for name in ("check_winusb.cmd", "check_pipe.cmd"):
        print(f"{name} as run here:\n" + "\n".join(for_wine_cmd(scripts[name])) + "\n")

    failures = []
    for name, scenario, line, expected, stale in winusb_runs(statuses, args.hardware_id):
        outcome = run_cmd_script(args, name, args.exe, scripts["check_winusb.cmd"], scenario, stale, failures)
        check_run(name, outcome, [line], expected,
                  powershell_status(scripts["check_winusb.ps1"], [line]), failures)

    # The legacy program under Wine: no adapter, so "Found device 1" alone,
    # after a run that switched one.
    outcome = run_cmd_script(args, "pipe_stale_result", args.pipe_exe, scripts["check_pipe.cmd"],
                             None, PIPE_SWITCHED_LINE, failures)
    check_run("pipe_stale_result", outcome, ["Found device 1"], 2,
              powershell_status(scripts["check_pipe.ps1"], ["Found device 1"]), failures)
    for output, expected in PIPE_OUTPUTS:
        status = powershell_status(scripts["check_pipe.ps1"], output)
        print(f"check_pipe.ps1 for {output!r}: {status}, expected {expected}")
        if status != expected:
            failures.append(f"check_pipe.ps1 would exit with {status} for {output!r}, expected {expected}")

    for failure in failures:
        print("FAILED", failure)
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
