#!/usr/bin/python3
"""Checks what Windows users download, as scripts/release.sh makes it.

    check_release.py build --source DIR --work DIR
        copies the sources (what git tracks or would track) to WORK/checkout
        and runs scripts/release.sh there, dated by the last commit
    check_release.py package --work DIR
        dist/ holds the ZIP, SHA256SUMS and the unpacked folder and nothing
        else; the ZIP holds exactly both programs and USER_GUIDE.txt (the
        guide with CRLF line ends), under one top folder, dated by the commit
    check_release.py reproducible --work DIR --contents FILE
        the released programs are byte for byte those FILE lists (the ones
        this build tested), and packing those again elsewhere, in another
        time zone, gives the same ZIP and SHA256SUMS

Exit status 0 when the step succeeds, 1 otherwise.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import time
import zipfile

PROGRAM_NAMES = ["BRELVIK_DFU_PIPE.exe", "BRELVIK_DFU_WINUSB.exe"]
GUIDE_NAME = "USER_GUIDE.txt"
PACK_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "release")
PACK = os.path.join(PACK_DIR, "pack.py")
sys.path.insert(0, PACK_DIR)
sys.dont_write_bytecode = True  # nothing written into the source tree
from pack import read_contents  # noqa: E402  (the release's own reading of the contents file)


def fail(message):
    print(f"FAILED: {message}")
    sys.exit(1)


def git(source, *args):
    return subprocess.run(["git", "-C", source, *args], check=True, stdout=subprocess.PIPE).stdout


def epoch_of(work):
    with open(os.path.join(work, "epoch"), encoding="ascii") as text:
        return int(text.read())


def build(args):
    checkout = os.path.join(args.work, "checkout")
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(checkout)
    listed = git(args.source, "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    copied = 0
    for name in listed.decode("utf-8").split("\0"):
        path = os.path.join(args.source, name)
        if not name or not os.path.isfile(path):
            continue
        os.makedirs(os.path.dirname(os.path.join(checkout, name)), exist_ok=True)
        shutil.copy2(path, os.path.join(checkout, name))
        copied += 1
    epoch = git(args.source, "log", "-1", "--format=%ct").decode("ascii").strip()
    with open(os.path.join(args.work, "epoch"), "w", encoding="ascii") as text:
        text.write(epoch)
    print(f"{copied} files copied to {checkout}; SOURCE_DATE_EPOCH={epoch}")

    log_path = os.path.join(args.work, "release.log")
    start = time.monotonic()
    with open(log_path, "wb") as log:
        status = subprocess.run([os.path.join(checkout, "scripts", "release.sh")],
                                env=dict(os.environ, SOURCE_DATE_EPOCH=epoch),
                                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT).returncode
    with open(log_path, encoding="utf-8", errors="replace") as log:
        print(log.read())
    if status != 0:
        fail(f"scripts/release.sh exited with {status}")
    print(f"scripts/release.sh took {time.monotonic() - start:.1f} s")


def package(args):
    checkout = os.path.join(args.work, "checkout")
    contents = read_contents(os.path.join(checkout, "build", "release", "release_contents.txt"))
    top = f"{contents['name']}-{contents['version']}"
    zip_name = f"{top}-win64.zip"
    dist = os.path.join(checkout, "dist")
    expected = sorted(PROGRAM_NAMES + [GUIDE_NAME])

    if sorted(os.listdir(dist)) != sorted([zip_name, "SHA256SUMS", top]):
        fail(f"dist holds {sorted(os.listdir(dist))}")
    if sorted(os.listdir(os.path.join(dist, top))) != expected:
        fail(f"dist/{top} holds {sorted(os.listdir(os.path.join(dist, top)))}")

    with open(os.path.join(dist, "SHA256SUMS"), encoding="ascii") as sums:
        summed = [line.rstrip("\n").split("  ", 1)[1] for line in sums]
    if summed != [zip_name] + [f"{top}/{name}" for name in PROGRAM_NAMES]:
        fail(f"SHA256SUMS names {summed}")
    check = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=dist,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print(check.stdout, end="")
    if check.returncode != 0:
        fail("sha256sum -c SHA256SUMS")

    date = time.gmtime(epoch_of(args.work))[:6]
    # A ZIP entry's time counts seconds in twos.
    date = date[:5] + (date[5] - date[5] % 2,)
    with zipfile.ZipFile(os.path.join(dist, zip_name)) as archive:
        if archive.testzip() is not None:
            fail(f"{zip_name} has a bad entry {archive.testzip()}")
        entries = archive.infolist()
        names = [entry.filename for entry in entries]
        if names != [f"{top}/{name}" for name in expected]:
            fail(f"{zip_name} holds {names}")
        for entry in entries:
            if entry.date_time != date or entry.external_attr >> 16 != 0o100644:
                fail(f"{entry.filename}: date {entry.date_time}, mode {oct(entry.external_attr >> 16)};"
                     f" expected {date}, 0o100644")
            unpacked = os.path.join(dist, entry.filename)
            with open(unpacked, "rb") as data:
                if archive.read(entry) != data.read():
                    fail(f"{entry.filename} differs from dist/{entry.filename}")
        guide = archive.read(f"{top}/{GUIDE_NAME}")
    with open(os.path.join(checkout, "docs", "USER_GUIDE.md"), "rb") as source:
        written = source.read().replace(b"\r\n", b"\n")
    if guide.replace(b"\r\n", b"\n") != written or b"\n" in guide.replace(b"\r\n", b""):
        fail(f"{GUIDE_NAME} is not docs/USER_GUIDE.md with CRLF line ends")
    print(f"{zip_name}: {', '.join(names)}, dated {time.strftime('%Y-%m-%d %H:%M:%S', date + (0, 0, 0))}")


def reproducible(args):
    checkout = os.path.join(args.work, "checkout")
    contents = read_contents(args.contents)
    top = f"{contents['name']}-{contents['version']}"
    dist = os.path.join(checkout, "dist")
    for tested in contents["program"]:
        released = os.path.join(dist, top, os.path.basename(tested))
        if not filecmp.cmp(tested, released, shallow=False):
            fail(f"{released} differs from the tested {tested}")
        print(f"{released} is the tested {tested}")

    repack = os.path.join(args.work, "repack")
    shutil.rmtree(repack, ignore_errors=True)
    subprocess.run([sys.executable, PACK, "--contents", args.contents,
                    "--epoch", str(epoch_of(args.work)), "--out", repack],
                   env=dict(os.environ, TZ="Pacific/Chatham"), check=True)
    for name in [f"{top}-win64.zip", "SHA256SUMS"]:
        if not filecmp.cmp(os.path.join(dist, name), os.path.join(repack, name), shallow=False):
            fail(f"{name} packed again from the tested programs differs from dist/{name}")
        print(f"{name} packed again from the tested programs is the same")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["build", "package", "reproducible"])
    parser.add_argument("--source")
    parser.add_argument("--work", required=True)
    parser.add_argument("--contents")
    args = parser.parse_args()
    {"build": build, "package": package, "reproducible": reproducible}[args.step](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
