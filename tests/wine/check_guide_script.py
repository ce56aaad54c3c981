#!/usr/bin/python3
"""Runs the user guide's check.cmd, as the guide prints it, under Wine's cmd
against the real WinUSB program and the stand-in DLLs, once for a working
adapter and once for each write error of the guide's LastError table (and
one code it does not list), and checks that the script exits with the
status the table gives. The guide's check.ps1 is held to the same table by
applying its -match patterns to each line the program printed.

    check_guide_script.py --wine-run WRAPPER --guide USER_GUIDE.md
                          --exe BRELVIK_DFU_WINUSB.exe --findstr findstr.exe
                          --standin DLL... --wine-prefix PREFIX --work-dir DIR

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
    """What check.ps1 exits with for this output: each `if ($out -match 'RE')
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
                sys.exit(f"check_guide_script: check.ps1 line not understood: {line!r}")
            return int(match.group(1))
    sys.exit("check_guide_script: check.ps1 has no final exit")


def runs(statuses):
    """(name, scenario, printed line, expected status) for each run."""
    yield "working_adapter", {}, "Device found: VID_0483&PID_1234; bcdUsb 0200", 0
    for code, status in sorted(statuses.items()):
        # LastError 0: the write call succeeded but wrote short.
        scenario = ({"WRITE_LENGTH": "15"} if code == 0 else
                    {"WRITE_RESULT": "fail", "WRITE_ERROR": str(code)})
        yield (f"lasterror_{code}", scenario,
               f"Error among LastError {code} or lengthReceived 18", status)
    if UNLISTED_CODE in statuses:
        sys.exit(f"check_guide_script: pick another unlisted code than {UNLISTED_CODE}")
    yield (f"unlisted_{UNLISTED_CODE}", {"WRITE_RESULT": "fail", "WRITE_ERROR": str(UNLISTED_CODE)},
           f"Error among LastError {UNLISTED_CODE} or lengthReceived 18", 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--guide", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--findstr", required=True)
    parser.add_argument("--standin", action="append", default=[])
    parser.add_argument("--wine-prefix", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()

    with open(args.guide, encoding="ascii") as file:
        lines = file.read().splitlines()
    cmd_script = indented_block(lines, "cmd, saved as `check.cmd`:")
    ps_script = indented_block(lines, "PowerShell, saved as `check.ps1`:")
    statuses = table_statuses(lines)
    wine_script = "\r\n".join(for_wine_cmd(cmd_script)) + "\r\n"
    print("check.cmd as run here:\n" + wine_script.replace("\r\n", "\n"))

    failures = []
    for name, scenario, line, expected in runs(statuses):
        work_dir, _, device = run_case.prepare(os.path.join(args.work_dir, name), args.exe,
                                               None, None, [], "program folder")
        shutil.copy2(args.findstr, os.path.join(work_dir, "findstr.exe"))
        with open(os.path.join(work_dir, "check.cmd"), "w", newline="") as file:
            file.write(wine_script)
        case = {"standin": {"INTERFACES": "{device}", **scenario}}
        env = run_case.environment(case, work_dir, args.standin, [],
                                   lambda text: text.replace("{device}", device))
        command = [os.path.abspath(args.wine_run), "cmd.exe", "/c", "check.cmd"]
        try:
            with run_case.system32_held(args.wine_prefix, args.standin, set()):
                result = subprocess.run(command, cwd=work_dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            failures.append(f"{name}: no exit within {RUN_TIMEOUT} s")
            continue
        ps_status = powershell_status(ps_script, [line])
        print(f"{name}: printed {result.stdout!r}, check.cmd {result.returncode}, "
              f"check.ps1 {ps_status}, table {expected}")
        if result.stdout != (line + "\r\n").encode("ascii"):
            failures.append(f"{name}: printed {result.stdout!r}, expected {line!r}")
        if result.stderr:
            failures.append(f"{name}: standard error {result.stderr!r}")
        if result.returncode != expected:
            failures.append(f"{name}: check.cmd exited with {result.returncode}, expected {expected}")
        if ps_status != expected:
            failures.append(f"{name}: check.ps1 would exit with {ps_status}, expected {expected}")

    for failure in failures:
        print("FAILED", failure)
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
