#!/usr/bin/python3
"""Splits the instructions of a callgrind profile by where the code lives.

    split_costs.py SOURCE_DIR PROFILE [--list]

Each instruction counts for the function it was executed in, by the source
file of that function (code inlined into it counts with it): the program's
own code (protocol/, pipe_edition/, winusb_edition/), the stand-in
(platform/, and the standard library code compiled into the program for it:
the programs' own code uses no standard library, so out-of-line template
instances there serve the stand-in), and the rest: the C and C++ runtime and
the loader, in their shared objects, with the program's call stubs and
start-up code. Prints "own standin rest total"; --list prints the
template instances counted for the stand-in instead.
"""
import re
import sys

NAMED = re.compile(r"^(c?(?:fl|fi|fe|ob|fn))=\((\d+)\)(?: (.*))?$")
TABLE = {"fl": "file", "fi": "file", "fe": "file", "cfl": "file", "cfi": "file",
         "ob": "object", "cob": "object", "fn": "function", "cfn": "function"}


def main() -> None:
    source, profile = sys.argv[1].rstrip("/") + "/", sys.argv[2]
    listing = "--list" in sys.argv[3:]
    # Each kind of name by its number in the profile.
    names: dict[str, dict[str, str]] = {"file": {}, "object": {}, "function": {}}
    program: str | None = None
    current = {"ob": "", "fl": "", "fn": ""}
    # Instructions by (object, file, function).
    costs: dict[tuple[str, str, str], int] = {}
    skip_call_cost = False
    total: int | None = None
    with open(profile, encoding="utf-8", errors="replace") as file:
        for line in file:
            line = line.rstrip("\n")
            if line.startswith("cmd: "):
                program = line[5:].split()[0]
                continue
            if line.startswith("totals: ") or line.startswith("summary: "):
                total = int(line.split()[1])
                continue
            match = NAMED.match(line)
            if match:
                key, number, name = match.groups()
                table = names[TABLE[key]]
                if name is not None:
                    table[number] = name
                if key in current:
                    current[key] = table.get(number, "???")
                continue
            if line.startswith("calls="):
                skip_call_cost = True
                continue
            if line[:1].isdigit() or line[:1] in "+-*":
                if skip_call_cost:
                    skip_call_cost = False
                    continue
                fields = line.split()
                if len(fields) > 1:
                    key = (current["ob"], current["fl"], current["fn"])
                    costs[key] = costs.get(key, 0) + int(fields[1])

    split = {"own": 0, "standin": 0, "rest": 0}
    templates: dict[str, int] = {}
    for (obj, fl, fn), cost in costs.items():
        relative = fl[len(source):] if fl.startswith(source) else None
        if relative and relative.split("/")[0] in ("protocol", "pipe_edition", "winusb_edition"):
            split["own"] += cost
        elif relative and relative.startswith("platform/"):
            split["standin"] += cost
        elif (program and obj.endswith(program.lstrip(".")) and not fn.startswith("0x")
              and fn != "(below main)"):
            split["standin"] += cost
            templates[fn] = templates.get(fn, 0) + cost
        else:
            split["rest"] += cost
    counted = sum(split.values())
    if total is not None and total != counted:
        sys.exit(f"split_costs: counted {counted} instructions, the profile says {total}")
    if listing:
        for fn, cost in sorted(templates.items(), key=lambda item: -item[1]):
            print(f"{cost:10d}  {fn}")
        return
    print(split["own"], split["standin"], split["rest"], counted)


if __name__ == "__main__":
    main()
