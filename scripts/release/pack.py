#!/usr/bin/python3
"""Packs the Windows programs and the user guide as Windows users download
them: the same bytes from the same inputs, wherever and whenever it runs.

    pack.py --contents BUILD/release_contents.txt --epoch SECONDS --out DIR

BUILD/release_contents.txt is written by CMake (brelvik_release_contents).
DIR must be empty or absent; pack.py writes into it:
    NAME-VERSION-win64.zip   the programs and USER_GUIDE.txt, in one top folder NAME-VERSION/
    NAME-VERSION/            the ZIP's files, unpacked
    SHA256SUMS               the ZIP's and each program's, as sha256sum writes them
"""
import argparse
import hashlib
import os
import sys
import time
import zipfile

# Regular file, rw-r--r--, in the high half of a Unix-made entry's attributes.
ENTRY_ATTRIBUTES = 0o100644 << 16
MADE_ON_UNIX = 3
DOS_EPOCH = (1980, 1, 1, 0, 0, 0)


def read_contents(path):
    contents = {"name": None, "version": None, "program": [], "guide": None}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            key, _, value = line.rstrip("\n").partition(" ")
            if key not in contents or not value:
                sys.exit(f"{path}: cannot read line {line!r}")
            if isinstance(contents[key], list):
                contents[key].append(value)
            else:
                contents[key] = value
    if None in contents.values() or not contents["program"]:
        sys.exit(f"{path}: needs a name, a version, a guide and at least one program")
    return contents


def crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--contents", required=True)
    parser.add_argument("--epoch", required=True, type=int,
                        help="the entries' date, in seconds since 1970 (the commit's)")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    contents = read_contents(args.contents)
    if os.path.isdir(args.out) and os.listdir(args.out):
        sys.exit(f"{args.out} is not empty")
    top = f"{contents['name']}-{contents['version']}"

    files = {}
    for program in contents["program"]:
        with open(program, "rb") as data:
            files[os.path.basename(program)] = data.read()
    # Notepad wants CRLF.
    with open(contents["guide"], "rb") as data:
        files["USER_GUIDE.txt"] = crlf(data.read())

    # DOS dates are local time without a zone: take the epoch as UTC, so
    # the machine's time zone does not matter.
    date = max(tuple(time.gmtime(args.epoch)[:6]), DOS_EPOCH)
    zip_name = f"{top}-win64.zip"
    os.makedirs(os.path.join(args.out, top))
    with zipfile.ZipFile(os.path.join(args.out, zip_name), "w") as archive:
        for name in sorted(files):
            entry = zipfile.ZipInfo(f"{top}/{name}", date_time=date)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = MADE_ON_UNIX
            entry.external_attr = ENTRY_ATTRIBUTES
            archive.writestr(entry, files[name], compresslevel=9)
            with open(os.path.join(args.out, top, name), "wb") as unpacked:
                unpacked.write(files[name])

    summed = [zip_name] + sorted(f"{top}/{os.path.basename(p)}" for p in contents["program"])
    with open(os.path.join(args.out, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as sums:
        for name in summed:
            with open(os.path.join(args.out, name), "rb") as data:
                sums.write(f"{hashlib.sha256(data.read()).hexdigest()}  {name}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
