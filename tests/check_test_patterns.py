#!/usr/bin/env python3
"""Fails when CTest reads a test's PASS_REGULAR_EXPRESSION or
FAIL_REGULAR_EXPRESSION as more than one pattern.

    check_test_patterns.py --ctest CTEST --build-dir DIR

A ";" in the text given to set_tests_properties separates list elements, so
"^a; b$" becomes the two patterns "^a" and " b$", and a test passes when
either matches: such a check no longer says what it seems to. The tests are
read as CTest itself lists them (--show-only=json-v1).
"""
import argparse
import json
import subprocess
import sys
from typing import Any, Dict, List

CHECKED = ("PASS_REGULAR_EXPRESSION", "FAIL_REGULAR_EXPRESSION")


def split_patterns(listing: Dict[str, Any]) -> List[str]:
    """One line per test property that holds more than one pattern."""
    found = []
    for test in listing.get("tests", []):
        for prop in test.get("properties", []):
            value = prop.get("value")
            if prop.get("name") in CHECKED and isinstance(value, list) and len(value) > 1:
                found.append(f"{test['name']}: {prop['name']} is read as {len(value)} "
                             f"patterns, any of which passes: {value!r}")
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ctest", required=True)
    parser.add_argument("--build-dir", required=True)
    args = parser.parse_args()
    listing = subprocess.run([args.ctest, "--test-dir", args.build_dir, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    found = split_patterns(json.loads(listing))
    for line in found:
        print(line)
    print(f"{len(found)} split patterns")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
