#!/usr/bin/python3
"""Checks a release ZIP against programs built from this checkout; run by
scripts/verify-release.sh.

    verify.py commit ZIP
        prints the commit the ZIP's BUILDINFO.txt names
    verify.py compare --contents BUILD/release_contents.txt [--ca CA.pem] ZIP
        takes each program out of the ZIP, removes its signature if it has
        one, compares it byte for byte with the one BUILD holds, and says
        who signed it

Exit status 0 when both programs are this source's build (and, with --ca,
carry a signature that verifies against CA.pem), 1 when the ZIP is
rejected, 2 when it cannot be checked (one line on standard error says why).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile

sys.dont_write_bytecode = True  # nothing written into the source tree
from pack import (BUILDINFO_NAME, SIGNER_PACKAGE, TOOLCHAIN_PACKAGES,  # noqa: E402
                  read_buildinfo, read_contents)

GUIDE_NAME = "USER_GUIDE.txt"
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def cannot_check(message):
    print(f"verify-release: {message}", file=sys.stderr)
    sys.exit(2)


def open_release(path):
    """The ZIP, its one top folder and its BUILDINFO.txt as a dict."""
    name = os.path.basename(path)
    if not os.path.isfile(path):
        cannot_check(f"{path}: no such file")
    try:
        archive = zipfile.ZipFile(path)
        names = archive.namelist()
    except (zipfile.BadZipFile, OSError) as error:
        cannot_check(f"{name} is not a readable ZIP ({error})")
    tops = {entry.split("/", 1)[0] for entry in names}
    if len(tops) != 1 or any("/" not in entry for entry in names):
        cannot_check(f"{name} is not a release: its files are not in one top folder")
    top = tops.pop()
    try:
        info = read_buildinfo(archive.read(f"{top}/{BUILDINFO_NAME}"))
    except KeyError:
        cannot_check(f"{name} holds no {top}/{BUILDINFO_NAME}: it does not say what built it")
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        cannot_check(f"{name}: cannot read {BUILDINFO_NAME} ({error})")
    if info is None:
        cannot_check(f"{name}: {BUILDINFO_NAME} names no commit and SOURCE_DATE_EPOCH")
    return archive, top, info


def installed_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return result.stdout if result.returncode == 0 else "none"


def is_signed(path):
    pe = pefile.PE(path, fast_load=True)
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY].Size != 0


def signer(path, ca):
    """(subject of the signer's certificate, whether the signature verifies);
    no subject when the signature does not match the program or cannot be
    read (osslsigncode then names no signer)."""
    command = ["osslsigncode", "verify", "-in", path] + (["-CAfile", ca] if ca else [])
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    lines = result.stdout.splitlines()
    subject = None
    if "Signer's certificate:" in lines:
        for line in lines[lines.index("Signer's certificate:"):]:
            if line.strip().startswith("Subject:"):
                subject = line.split(":", 1)[1].strip()
                break
    return subject, result.returncode == 0


def without_signature(path, scratch):
    stripped = os.path.join(scratch, "stripped-" + os.path.basename(path))
    result = subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", stripped],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    if result.returncode != 0:
        return None
    with open(stripped, "rb") as data:
        return data.read()


def check_program(archive, top, built, signed_release, ca, scratch):
    """The verdict line for one program and whether it passes."""
    name = os.path.basename(built)
    try:
        released = archive.read(f"{top}/{name}")
    except KeyError:
        return f"{name}: missing from the ZIP", False
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        return f"{name}: cannot be read from the ZIP ({error})", False
    path = os.path.join(scratch, name)
    with open(path, "wb") as data:
        data.write(released)
    try:
        signed = is_signed(path)
    except pefile.PEFormatError:
        return f"{name}: NOT this source's build (not a Windows program)", False

    unsigned = without_signature(path, scratch) if signed else released
    with open(built, "rb") as data:
        same = unsigned == data.read()
    verdict = "this source's build" if same else "NOT this source's build"
    passes = same
    if not signed:
        who = "unsigned"
        if signed_release:
            who += f" (its signature was left off: {BUILDINFO_NAME} says the programs were signed)"
            passes = False
        elif ca:
            who += f" (expected a signature that verifies against {ca})"
            passes = False
    else:
        subject, verified = signer(path, ca)
        against = ca or "the system's CA certificates"
        if subject is None:
            who = "its signature does not match it or cannot be read"
            passes = False
        elif verified:
            who = f"signed by {subject} (verified against {against})"
        else:
            who = f"signed by {subject} (does not verify against {against})"
            passes = passes and not ca
    return f"{name}: {verdict}; {who}", passes


def compare(args):
    archive, top, info = open_release(args.zip)
    contents = read_contents(args.contents)
    expected_top = f"{contents['name']}-{contents['version']}"
    if top != expected_top:
        cannot_check(f"{os.path.basename(args.zip)} holds {top}/, this checkout makes {expected_top}/")

    # A version of the toolchain other than the release's may give other bytes.
    for package in TOOLCHAIN_PACKAGES:
        here = installed_version(package)
        if package in info and info[package] != here:
            print(f"note: the release was built with {package} {info[package]}, this machine has {here}")

    accepted = True
    programs = [os.path.basename(program) for program in contents["program"]]
    known = set(programs) | {GUIDE_NAME, BUILDINFO_NAME}
    for entry in archive.namelist():
        if entry.split("/", 1)[1] not in known:
            print(f"{entry.split('/', 1)[1]}: not part of a release of this source")
            accepted = False
    with tempfile.TemporaryDirectory() as scratch:
        for built in contents["program"]:
            line, passes = check_program(archive, top, built, SIGNER_PACKAGE in info, args.ca, scratch)
            print(line)
            accepted = accepted and passes
    if accepted:
        print(f"verify-release: {os.path.basename(args.zip)} holds this source's build"
              f" of commit {info['commit']}")
        return 0
    print(f"verify-release: REJECTED {os.path.basename(args.zip)}")
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["commit", "compare"])
    parser.add_argument("--contents")
    parser.add_argument("--ca", help="PEM file of CA certificates the signatures must verify against")
    parser.add_argument("zip")
    args = parser.parse_args()
    if args.step == "commit":
        print(open_release(args.zip)[2]["commit"])
        return 0
    return compare(args)


if __name__ == "__main__":
    sys.exit(main())
