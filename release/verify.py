#!/usr/bin/python3
"""Checks a release ZIP, whatever its origin, by the rules of this checkout;
run by verify-release.sh in two steps around its build of the
commit the ZIP names.

    verify.py take --scratch DIR [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP
        copies what file descriptors 3, 4 and 5 hold (the ZIP and the --ca
        and --tsa-ca files, which verify-release.sh opened once by the
        names given) into DIR/zip/, DIR/ca/ and DIR/tsa-ca/, under the
        names' last parts, each bounded: the steps below read those copies
        (their --zip-name, --ca-name and --tsa-ca-name: the names to show)
    verify.py examine [--ca CA.pem] [--tsa-ca TSA-CA.pem] [--git-dir DIR --head SHA] --commit-out FILE ZIP
        reads the ZIP (bounded, nothing extracted) and its BUILDINFO.txt;
        with --git-dir, judges the commit that names in that repository (a
        commit in the history of HEAD, made by a packer with the repack
        interface, whose version by the history, release or development
        build (version.py), is the one the ZIP's folder and BUILDINFO.txt
        give) and writes to FILE the commit, its committer time, how many
        commits it lies behind HEAD, its packer, its version, and the
        release of HEAD's history that supersedes it as "VERSION COMMIT"
        or "-", a line each
    verify.py compare --contents BUILD/release_contents.txt --packer PACK --commit SHA
                      --commit-time SECONDS [--head SHA --behind N] [--version V] [--environment own|head]
                      [--superseded-by "VERSION COMMIT"] [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP
        accepts the ZIP only if it is, byte for byte, what the commit's own
        packer PACK makes (in its repack mode) of the programs BUILD holds
        (for a signed release, of the ZIP's programs once each is shown to
        be one of those with one Authenticode signature added) and of the
        ZIP's BUILDINFO.txt, once that is shown to date the release by the
        commit, and the commit's build is shown to carry version V; says
        for each program who signed it and any timestamp's time (see
        signature.py for what a signature must be). It runs in the release
        environment: the commit's own (own: the package versions
        BUILDINFO.txt names must be its), or, for a commit older than the
        lock, HEAD's (head: where those differ from the versions the ZIP
        names and the programs differ, it cannot tell)

Everything goes to standard output, text from the ZIP escaped and cut,
and the last line is the verdict. Exit status 0 when accepted, 1 when
rejected (not this source's release), 2 when it cannot be checked, 3 when
it is this source's release but a newer release supersedes it.
"""
import argparse
import functools
import hashlib
import os
import re
import stat
import struct
import subprocess
import sys
import tempfile
import time
from typing import NamedTuple

sys.dont_write_bytecode = True  # nothing written into the source tree
# After the standard library: an untracked file here shadows nothing.
sys.path.append(os.path.dirname(os.path.abspath(__file__)))
import signature as authenticode  # noqa: E402
from buildinfo import (BUILDINFO_LIMIT, BUILDINFO_NAME, SIGNER_PACKAGE,  # noqa: E402
                       TOOLCHAIN_PACKAGES, BuildinfoError, read_buildinfo)
from pack import GUIDE_NAME  # noqa: E402
import version as versions  # noqa: E402
from zip_reader import (GUIDE_LIMIT, PROGRAM_LIMIT, ZIP_LIMIT, Entry, Verdict, cannot_check, inflate,  # noqa: E402
                        parse_zip, read_zip, rejected, shown, top_folder, where)

# What the checks run, whatever the caller's environment says.
TOOL_ENVIRONMENT = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
TOOL_SECONDS = 60
# git without the caller's configuration, attributes or replace refs (the
# repository itself is one of verify-release.sh's making: no grafts, no
# info/attributes, only the checkout's objects).
GIT = ["git", "-c", "core.attributesFile=/dev/null", "-c", "core.commitGraph=false"]
GIT_ENVIRONMENT = {**TOOL_ENVIRONMENT, "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull,
                   "GIT_ATTR_NOSYSTEM": "1", "GIT_NO_REPLACE_OBJECTS": "1", "HOME": os.devnull}
# The packer's repack interface (release/pack.py, REPACK_INTERFACE) this
# check knows how to call; a commit whose packer declares none is older than
# any release it can judge. Earlier commits kept the packer under scripts/.
PACKERS = ("release/pack.py", "scripts/release/pack.py")
REPACK_INTERFACES = {"1"}
REPACK_MARKER = re.compile(rb"^REPACK_INTERFACE = ([0-9]+)$", re.MULTILINE)
SHA = re.compile(r"[0-9a-f]{40}\Z")


def say(line: str) -> None:
    print(line, flush=True)


def run(command: list[str], env: dict[str, str] | None = None) -> subprocess.CompletedProcess[bytes]:
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=env or TOOL_ENVIRONMENT, timeout=TOOL_SECONDS)
    except FileNotFoundError:
        cannot_check(f"{command[0]} is not installed (release/install-deps.sh installs it)")
    except subprocess.TimeoutExpired:
        cannot_check(f"{command[0]} did not finish within {TOOL_SECONDS} s")


# What take copies at most: a ZIP one byte over the limit, to be rejected
# as one; a --ca file as much as signature.read_certificates reads.
CA_LIMIT = 4 << 20


def take(args: argparse.Namespace) -> int:
    """Copies each file verify-release.sh opened (descriptor 3 the ZIP,
    4 --ca, 5 --tsa-ca) into the scratch folder, reading it once."""
    for descriptor, name, folder, limit in [(3, args.zip, "zip", ZIP_LIMIT + 1), (4, args.ca, "ca", CA_LIMIT),
                                            (5, args.tsa_ca, "tsa-ca", CA_LIMIT)]:
        if name is None:
            continue
        what = "the ZIP" if folder == "zip" else f"--{folder} {shown(name)}"
        try:
            info = os.fstat(descriptor)
            if not stat.S_ISREG(info.st_mode):
                cannot_check(f"{what} is not a regular file")
            data = b""
            while len(data) < limit:
                chunk = os.read(descriptor, limit - len(data))
                if not chunk:
                    break
                data += chunk
            os.mkdir(os.path.join(args.scratch, folder), 0o700)
            with open(os.path.join(args.scratch, folder, os.path.basename(name)), "xb") as out:
                out.write(data)
        except OSError as error:
            cannot_check(f"cannot read {what} ({shown(error.strerror or 'error')})")
    return 0


@functools.lru_cache(maxsize=None)
def check_ca(ca: str, option: str) -> None:
    if not os.path.isfile(ca) or authenticode.read_certificates(ca) is None:
        cannot_check(f"{option}: not a readable file of PEM CA certificates")


def check_cas(args: argparse.Namespace) -> None:
    if args.ca:
        check_ca(args.ca, f"--ca {shown(args.ca_name)}")
    if args.tsa_ca:
        check_ca(args.tsa_ca, f"--tsa-ca {shown(args.tsa_ca_name)}")


def when(epoch: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))


def buildinfo_of(data: bytes, entries: list[Entry], top: str) -> tuple[dict[str, str], bytes]:
    wanted = f"{top}/{BUILDINFO_NAME}".encode("ascii")
    found = [entry for entry in entries if entry.name == wanted]
    if not found:
        rejected(f"it holds no {top}/{BUILDINFO_NAME}: it does not say what built it")
    text = inflate(data, found[0], BUILDINFO_LIMIT)
    try:
        return read_buildinfo(text), text
    except BuildinfoError as error:
        rejected(f"its {BUILDINFO_NAME} is not what the release script writes: {shown(str(error))}")


def git(git_dir: str, *arguments: str) -> subprocess.CompletedProcess[bytes]:
    return run(GIT + [f"--git-dir={git_dir}", *arguments], GIT_ENVIRONMENT)


def judge_commit(git_dir: str, commit: str, head: str) -> tuple[int, int, str]:
    """(committer time, commits behind HEAD, its packer's path) of COMMIT,
    once it is shown to be a commit of HEAD's history whose packer this
    check can call."""
    shallow = os.path.exists(os.path.join(git_dir, "shallow"))
    result = git(git_dir, "cat-file", "-t", commit)
    if result.returncode != 0:
        cannot_check(f"it was built from commit {commit}, which this checkout does not hold: "
                     + ("it is a shallow clone; fetch its whole history (git fetch --unshallow)" if shallow else
                        "fetch the history that holds it (or clone the repository it comes from)")
                     + " and check again")
    kind = result.stdout.decode("ascii", "replace").strip()
    if kind != "commit":
        rejected(f"its {BUILDINFO_NAME} names {commit}, which is a {shown(kind)} object here, not a commit:"
                 " the release script names the commit it built")
    ancestor = git(git_dir, "merge-base", "--is-ancestor", commit, head).returncode
    if ancestor == 1:
        cannot_check(f"it was built from commit {commit}, which is not in the history of this checkout's"
                     f" HEAD {head}: only a release of HEAD or of a commit before it can be judged by"
                     " HEAD's rules")
    if ancestor != 0:
        cannot_check(f"cannot tell whether commit {commit} is in the history of HEAD {head}"
                     + (" (a shallow clone: fetch its whole history, git fetch --unshallow)" if shallow else ""))
    # A partial clone (git clone --filter) lacks objects it would fetch on
    # demand; this repository of the checkout's objects fetches nothing.
    missing = git(git_dir, "rev-list", "--objects", "--no-walk", "--missing=print", commit)
    if missing.returncode != 0 or any(line.startswith(b"?") for line in missing.stdout.splitlines()):
        cannot_check(f"this checkout lacks objects of commit {commit} (a partial clone, made with --filter?):"
                     " clone the repository without --filter and check again")
    fields = git(git_dir, "show", "-s", "--format=%ct", commit).stdout.decode("ascii", "replace").split()
    behind = git(git_dir, "rev-list", "--count", f"{commit}..{head}").stdout.decode("ascii", "replace").split()
    if len(fields) != 1 or not fields[0].isdigit() or len(behind) != 1 or not behind[0].isdigit():
        cannot_check(f"cannot read the date of commit {commit}")
    marker, path = None, PACKERS[0]
    for path in PACKERS:
        packer = git(git_dir, "cat-file", "blob", f"{commit}:{path}")
        if packer.returncode == 0:
            marker = REPACK_MARKER.search(packer.stdout)
            break
    if marker is None:
        cannot_check(f"it was built from commit {commit} of {when(int(fields[0]))}, older than the first"
                     " release this check can judge: that commit's packer cannot pack given programs, so"
                     " what it makes of them cannot be compared with the ZIP")
    if marker.group(1).decode("ascii") not in REPACK_INTERFACES:
        cannot_check(f"the packer of commit {commit} offers repack interface {marker.group(1).decode('ascii')},"
                     f" which this check does not know")
    return int(fields[0]), int(behind[0]), path


def kind_of(name: str) -> str:
    return f"development build {name}" if "-" in name else f"release {name}"


def judge_version(git_dir: str, commit: str, head: str, top: str, said: str) -> tuple[str, str]:
    """(the version of COMMIT by this checkout's history, the release that
    supersedes it as "VERSION COMMIT" or "-"), once the ZIP's folder TOP
    and its BUILDINFO.txt's version SAID are shown to be that version: a
    ZIP that calls itself a release its commit is not is refused here."""
    git_of = versions.git_in(git_dir)
    try:
        named = versions.describe(git_of, commit, os.path.exists(os.path.join(git_dir, "shallow")))
        newest = versions.releases(git_of, head)
    except versions.Undecidable as error:
        cannot_check(str(error))
    if said != named.name or not top.endswith(f"-{named.name}"):
        rejected(f"it calls itself {kind_of(said)} (its folder {shown(top)}), where by this checkout's history"
                 f" commit {commit} is {kind_of(named.name)}")
    if newest and newest[0][0] != commit and git(git_dir, "merge-base", "--is-ancestor", commit,
                                                 newest[0][0]).returncode == 0:
        return named.name, f"{newest[0][1]} {newest[0][0]}"
    return named.name, "-"


def examine(args: argparse.Namespace) -> int:
    check_cas(args)
    data = read_zip(args.zip)
    entries = parse_zip(data)
    top = top_folder(entries)
    info, _ = buildinfo_of(data, entries, top)
    commit, facts = info["commit"], ""
    if args.git_dir:
        facts = "".join(f"{fact}\n" for fact in judge_commit(args.git_dir, commit, args.head))
        facts += "".join(f"{fact}\n" for fact in judge_version(args.git_dir, commit, args.head, top,
                                                               info["version"]))
    with open(args.commit_out, "w", encoding="ascii") as out:
        out.write(f"{commit}\n{facts}")
    return 0


def pe_fields(program: bytes) -> tuple[int, int] | None:
    """Offsets of the header checksum and of the security directory entry,
    or None when PROGRAM is no 64-bit Windows program with one."""
    if len(program) < 0x40 or program[:2] != b"MZ":
        return None
    header = struct.unpack_from("<I", program, 0x3C)[0]
    optional = header + 24
    if optional + 112 + 5 * 8 > len(program) or program[header:header + 4] != b"PE\0\0":
        return None
    optional_size = struct.unpack_from("<H", program, header + 20)[0]
    magic = struct.unpack_from("<H", program, optional)[0]
    directories = struct.unpack_from("<I", program, optional + 108)[0]
    if magic != 0x20B or directories < 5 or optional_size < 112 + 5 * 8:
        return None
    return optional + 64, optional + 112 + 4 * 8


def pe_checksum(program: bytes, at: int) -> int:
    padded = program + b"\0" * (len(program) % 2)
    total: int = sum(struct.unpack(f"<{len(padded) // 2}H", padded)) - sum(struct.unpack_from("<HH", padded, at))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(program)


def osslsigncode_output(command: str, program: bytes) -> bytes | None:
    """What osslsigncode COMMAND (remove-signature, extract-signature)
    writes of PROGRAM, in a folder of the check's own; None when it fails
    or writes more than a program may hold."""
    with tempfile.TemporaryDirectory() as scratch:
        given, out = os.path.join(scratch, "signed.exe"), os.path.join(scratch, "out")
        with open(given, "wb") as file:
            file.write(program)
        if run(["osslsigncode", command, "-in", given, "-out", out]).returncode != 0:
            return None
        try:
            with open(out, "rb") as file:
                written = file.read(PROGRAM_LIMIT + 1)
        except OSError:
            return None
    return written if len(written) <= PROGRAM_LIMIT else None


def check_signed(program: bytes, built: bytes) -> tuple[str | None, authenticode.Signature | None, bool]:
    """(problem, Signature, whether PROGRAM is BUILT but for what signing
    adds): problem None when PROGRAM is BUILT with one Authenticode
    signature appended as osslsigncode appends it."""
    fields = pe_fields(built)
    assert fields is not None, "compare() checks the programs built here for these fields"
    checksum_at, security_at = fields
    if program == built:
        return (f"this source's build, but unsigned, where its {BUILDINFO_NAME} says the release was signed", None,
                True)
    if len(program) <= len(built):
        return "NOT this source's build", None, False
    # The table's own form first: osslsigncode takes off no other. Whether
    # the image before it is this build decides what the notices and the
    # SBOM are judged against.
    table, size = struct.unpack_from("<II", program, security_at)
    image = bytearray(program[:len(built)])
    image[checksum_at:checksum_at + 4] = built[checksum_at:checksum_at + 4]
    image[security_at:security_at + 8] = bytes(8)
    ours = image == built
    whose = "this source's build, but " if ours else ""
    if table + size != len(program):
        return f"{whose}its signature table is not all that follows it", None, ours
    if size < 8:
        return f"{whose}it carries other than one Authenticode signature", None, ours
    length, revision, kind = struct.unpack_from("<IHH", program, table)
    if revision != 0x200 or kind != 2 or not 8 < length <= size or (length + 7) & ~7 != size:
        return f"{whose}it carries other than one Authenticode signature", None, ours
    if any(program[table + length:]):
        return f"{whose}something follows its signature", None, ours
    if osslsigncode_output("remove-signature", program) != built:
        return "NOT this source's build, with its signature removed", None, False
    if struct.unpack_from("<I", program, checksum_at)[0] != pe_checksum(program, checksum_at):
        return "this source's build, but its header checksum is not the signed program's", None, True
    block = program[table + 8:table + length]
    signature = authenticode.read(block)
    if isinstance(signature, str):
        return f"this source's build, but {signature}", None, True
    # osslsigncode gives the block as OpenSSL encodes what it read: another
    # reading than this check's would differ from the bytes stored.
    extracted = osslsigncode_output("extract-signature", program)
    if extracted is None or block[:len(extracted)] != extracted or any(block[len(extracted):]):
        return "this source's build, but OpenSSL reads its signature block otherwise than it is stored", None, True
    return None, signature, True


def signature_holds(program: bytes, signature: authenticode.Signature) -> bool:
    """Whether the signature is over this program, by its certificate's key."""
    fields = pe_fields(program)
    assert fields is not None, "check_signed() has shown the program to be one built here, signed"
    checksum_at, security_at = fields
    table = struct.unpack_from("<I", program, security_at)[0]
    digest = hashlib.sha256(program[:checksum_at] + program[checksum_at + 4:security_at]
                            + program[security_at + 8:table]).digest()
    return authenticode.holds(signature, digest)


@functools.lru_cache(maxsize=None)
def osslsigncode_fetches_crls() -> bool:
    # Since 2.6 verify fetches a certificate's CRLs from where it points
    # (a server a forged signature names) unless told not to.
    return b"-ignore-cdp" in run(["osslsigncode", "help"]).stdout


class SignatureVerdict(NamedTuple):
    holds: bool
    refused: str | None
    timestamp: bool
    verified: bool


@functools.lru_cache(maxsize=16)
def signature_verdict(program: bytes, signature: authenticode.Signature, ca: str | None,
                      tsa_ca: str | None) -> SignatureVerdict:
    """Whether the signature is over PROGRAM by its certificate's key; why
    it is refused whatever the CA (a signer not allowed to sign code, one
    the chain check does not take for the signer, a timestamp that does
    not verify), or None; whether the timestamp verifies; whether the
    signer's chain verifies against CA or the system's."""
    if not signature_holds(program, signature):
        return SignatureVerdict(False, None, False, False)
    refused = authenticode.signer_allowed(signature) or authenticode.chain_refused(
        signature, authenticode.read_certificates(ca) if ca else None)
    with tempfile.TemporaryDirectory() as scratch:
        stamped = signature.timestamp is not None and authenticode.timestamp_verdict(
            signature, tsa_ca, run, scratch)
        path = os.path.join(scratch, "program.exe")
        with open(path, "wb") as out:
            out.write(program)
        verified, same_leaf = authenticode.chain_verdict(path, signature, ca, tsa_ca, run,
                                                         osslsigncode_fetches_crls())
    if not same_leaf:
        refused = "osslsigncode takes another of its certificates for the signer's"
    elif signature.timestamp is not None and not stamped:
        refused = refused or "its timestamp does not verify"
    return SignatureVerdict(True, refused, stamped, verified)


@functools.lru_cache(maxsize=None)
def installed_version(package: str) -> str:
    result = run(["dpkg-query", "-W", "-f=${Version}", package])
    return result.stdout.decode("ascii", "replace") if result.returncode == 0 else "none"


class Release(NamedTuple):
    """What release_contents.txt names that this check needs."""
    name: str
    version: str
    programs: list[str]


def release_contents(path: str) -> Release:
    """The keys of the commit's release_contents.txt this check needs
    (name, version, programs); others, a later packer's, are its own."""
    named: dict[str, str] = {}
    programs: list[str] = []
    try:
        with open(path, encoding="utf-8") as lines:
            for line in lines:
                key, _, value = line.rstrip("\n").partition(" ")
                if not key or not value:
                    cannot_check(f"cannot read what this source builds: {shown(path)}: line {shown(line)}")
                if key == "program":
                    programs.append(value)
                elif key in ("name", "version"):
                    named[key] = value
    except (OSError, UnicodeError) as error:
        cannot_check(f"cannot read what this source builds, {shown(path)} ({shown(str(error))})")
    if "name" not in named or "version" not in named or not programs:
        cannot_check(f"cannot read what this source builds: {shown(path)} names no program")
    return Release(named["name"], named["version"], programs)


@functools.lru_cache(maxsize=8)
def repacked(packer: str, contents: str, commit: str, epoch: int, buildinfo: bytes,
             programs: tuple[tuple[str, bytes], ...]) -> tuple[str, bytes, dict[str, bytes]]:
    """What the commit's own packer writes of PROGRAMS ((name, bytes)...)
    and BUILDINFO: (the ZIP's file name, its bytes, {entry name: bytes})."""
    with tempfile.TemporaryDirectory() as scratch:
        given, out = os.path.join(scratch, "programs"), os.path.join(scratch, "out")
        os.mkdir(given)
        for name, program in programs:
            with open(os.path.join(given, name), "wb") as file:
                file.write(program)
        with open(os.path.join(scratch, BUILDINFO_NAME), "wb") as file:
            file.write(buildinfo)
        result = run(["/usr/bin/python3", "-I", packer, "--contents", contents, "--epoch", str(epoch),
                      "--commit", commit, "--programs", given, "--buildinfo", os.path.join(scratch, BUILDINFO_NAME),
                      "--out", out])
        if result.returncode != 0:
            last = (result.stdout.decode("utf-8", "replace").strip().splitlines() or ["no output"])[-1]
            cannot_check(f"the packer of commit {commit} failed: {shown(last, 200)}")
        zips = [name for name in os.listdir(out) if name.endswith(".zip")]
        if len(zips) != 1:
            cannot_check(f"the packer of commit {commit} wrote {len(zips)} ZIPs, not one")
        try:
            packed = read_zip(os.path.join(out, zips[0]))
            entries = parse_zip(packed)
        except Verdict as verdict:
            cannot_check(f"cannot read what the packer of commit {commit} wrote: {verdict.reason}")
        files: dict[str, bytes] = {}
        for entry in entries:
            with open(os.path.join(out, *entry.name.decode("ascii").split("/")), "rb") as file:
                files[entry.name.decode("ascii")] = file.read()
    return zips[0], packed, files


def show_packages(info: dict[str, str]) -> list[str]:
    """The package versions BUILDINFO.txt claims, each flagged where the
    release environment's (where this runs) differs; returns those."""
    say(f"{BUILDINFO_NAME} says the programs were built with:")
    differing: list[str] = []
    for package in TOOLCHAIN_PACKAGES + ([SIGNER_PACKAGE] if SIGNER_PACKAGE in info else []):
        mine = installed_version(package)
        if info[package] != mine:
            differing.append(f"{package} {shown(info[package])} (the release environment has {shown(mine)})")
        say(f"    {package} {shown(info[package])}"
            + ("" if info[package] == mine else f"  -- differs: the release environment has {shown(mine)}"))
    return differing


def compare(args: argparse.Namespace) -> int:
    check_cas(args)
    data = read_zip(args.zip)
    entries = parse_zip(data)
    contents = release_contents(args.contents)
    top = f"{contents.name}-{contents.version}"
    info, buildinfo = buildinfo_of(data, entries, top_folder(entries))
    if info["commit"] != args.commit:
        cannot_check(f"it was built from commit {shown(info['commit'])}, not {args.commit}")
    if info["version"] != contents.version:
        rejected(f"its {BUILDINFO_NAME} says version {shown(info['version'])}, where this build is"
                 f" {shown(contents.version)}")
    if args.version and contents.version != args.version:
        rejected(f"commit {args.commit} builds {kind_of(shown(contents.version))} whatever version it is given,"
                 f" where by this checkout's history it is {kind_of(args.version)}: it comes from before"
                 " versions named their commit")
    epoch = int(info["SOURCE_DATE_EPOCH"])
    older = (f", {args.behind} commit{'s' if args.behind != 1 else ''} older than this checkout's HEAD"
             f" {args.head[:12]}" if args.behind else "")
    say(f"{shown(top)}: commit {args.commit} of {when(args.commit_time)}{older}")
    if epoch != args.commit_time:
        rejected(f"its {BUILDINFO_NAME} says SOURCE_DATE_EPOCH {epoch} ({when(epoch)}), where the release"
                 f" script dates a release by its commit alone, {args.commit_time} ({when(args.commit_time)})")
    signed = SIGNER_PACKAGE in info
    differing = show_packages(info)
    if differing and args.environment == "own":
        rejected(f"its {BUILDINFO_NAME} names package versions other than the release environment of commit"
                 f" {args.commit} (release/environment.lock), where every release of it is built:"
                 f" {'; '.join(differing)}")

    held = {entry.name.decode("ascii"): entry for entry in entries}
    programs = {os.path.basename(path): path for path in contents.programs}
    files: dict[str, bytes] = {}
    problems: list[str] = []
    signatures: dict[str, authenticode.Signature] = {}
    packing: dict[str, bytes] = {}
    for name, path in programs.items():
        try:
            with open(path, "rb") as source:
                built = source.read()
        except OSError as error:
            cannot_check(f"cannot read the program built here, {shown(path)} ({error.strerror})")
        if pe_fields(built) is None:
            cannot_check(f"{shown(path)}, built here, is no 64-bit Windows program")
        packing[name] = built
        if f"{top}/{name}" not in held:
            continue  # named below, with whatever else is missing
        program = inflate(data, held[f"{top}/{name}"], PROGRAM_LIMIT)
        problem: str | None
        # The notices and the SBOM are what the packer makes of the ZIP's
        # programs where each is this build, signed or not: a program whose
        # signature is refused does not make them differ too.
        ours = False
        if signed:
            problem, signature, ours = check_signed(program, built)
            if signature is not None:
                signatures[name] = signature
        elif program != built:
            fields = pe_fields(program)
            problem = "NOT this source's build"
            if fields and any(program[fields[1]:fields[1] + 8]):
                problem += f" (it carries a signature, where its {BUILDINFO_NAME} says the release was not signed)"
        else:
            problem = None
        if problem:
            problems.append(f"{name}: {problem}")
            say(problems[-1])
        if not problem or ours:
            packing[name] = program
        files[name] = program
    if differing and problems:
        cannot_check(f"its programs differ from this build, and it names package versions this check's release"
                     f" environment (HEAD's lock; commit {args.commit} is older than any lock) has not:"
                     f" {'; '.join(differing)}")

    # The rest, names and bytes, is what the commit's packer makes of these.
    zip_name, mine, expected = repacked(args.packer, args.contents, args.commit, epoch, buildinfo,
                                        tuple(sorted(packing.items())))
    names = list(expected)
    if list(held) != names:
        for name in names:
            if name not in held:
                say(f"{name}: missing from the ZIP")
        for name in held:
            if name not in names:
                say(f"{shown(name)}: not part of a release of this source")
        rejected("it does not hold exactly a release's files" if sorted(held) != sorted(names) else
                 "its files are not in the order the packer writes them")
    for name in names:
        file = name.split("/", 1)[1]
        if file in programs:
            continue
        theirs = inflate(data, held[name], BUILDINFO_LIMIT if file == BUILDINFO_NAME else GUIDE_LIMIT)
        if theirs != expected[name]:
            line = next((at for at, (a, b) in enumerate(zip(expected[name], theirs)) if a != b),
                        min(len(expected[name]), len(theirs)))
            line = expected[name][:line].count(b"\n") + 1
            what = "user guide" if file == GUIDE_NAME else shown(file)
            problems.append(f"{file}: not this source's {what} (it differs from line {line} on)")
            say(problems[-1])
    if problems:
        rejected(problems[0] if len(problems) == 1 else f"{len(problems)} of its files are not this source's")
    if mine != data:
        at = next((at for at, (a, b) in enumerate(zip(mine, data)) if a != b), min(len(mine), len(data)))
        rejected(f"its files are this source's, but the ZIP is not what the packer makes of them:"
                 f" it differs from byte {at} on, {where(entries, at)}")

    against = shown(args.ca_name) if args.ca else "the system's CA certificates"
    stamp_against = shown(args.tsa_ca_name) if args.tsa_ca else "the system's CA certificates"
    signers: dict[str, str] = {}
    stamped: set[bool] = set()
    chains: set[bool] = set()
    for name in programs:
        if not signed:
            say(f"{name}: this source's build, unsigned")
            continue
        signature = signatures[name]
        verdict = signature_verdict(files[name], signature, args.ca, args.tsa_ca)
        if not verdict.holds:
            problems.append(f"{name}: this source's build, but its signature is not over it, by its certificate")
            say(problems[-1])
            continue
        fingerprint = authenticode.fingerprint(signature.certificate)
        signers[name] = f"{shown(signature.subject, 200)} ({fingerprint})"
        say(f"{name}: this source's build, signed")
        say(f"    signer: {shown(signature.subject, 200)}")
        say(f"    certificate SHA-256: {fingerprint}")
        for what, text in [("program name", signature.program_name), ("more info", signature.more_info)]:
            say(f"    {what}: {'none' if text is None else shown(text, 200)}")
        if verdict.verified:
            say(f"    chain: verified against {against}")
        elif args.ca:
            problems.append(f"{name}: its signer's certificate does not verify against {against}")
            say(f"    chain: does NOT verify against {against}")
        else:
            say(f"    chain: not verified (it does not verify against {against});"
                " compare the fingerprint with the one the publisher gives")
        stamp = signature.timestamp
        stamped.add(stamp is not None)
        chains.add(verdict.verified)
        if stamp is None:
            say("    timestamp: none (the signature is valid only while its certificate is)")
        else:
            say(f"    timestamp: {authenticode.utc(stamp.time)} ({stamp.kind}, by {shown(stamp.subject, 200)}),"
                f" {'verified' if verdict.timestamp else 'does NOT verify'} against {stamp_against}")
        if verdict.refused:
            problems.append(f"{name}: {verdict.refused}")
            say(f"    refused: {verdict.refused}")
    if len(set(signers.values())) > 1:
        problems.append("the programs have different signers: " + "; ".join(
            f"{name} by {signer}" for name, signer in sorted(signers.items())))
        say(problems[-1])
    if args.ca and not signed:
        problems.append(f"the programs are unsigned; --ca asks for signatures that verify against {against}")
        say(problems[-1])
    if problems:
        rejected(problems[-1] if len(problems) == 1 else f"{len(problems)} problems, above")
    # The name is what a user goes by, and says the version it holds.
    if os.path.basename(args.zip_name) != zip_name:
        rejected(f"it is this source's release {zip_name} under another name; a release's file name says"
                 " which version it holds")
    # The ZIP's SHA-256 is what ties it to the publisher's SHA256SUMS: a
    # signature block holds parts anyone can change without the key.
    if signed:
        fingerprint = authenticode.fingerprint(next(iter(signatures.values())).certificate)
        how = (f"signed by certificate SHA-256 {fingerprint}, its chain "
               + (f"verified against {against}" if chains == {True} else
                  "NOT verified (compare the fingerprint with the one the publisher gives)")
               + (", timestamped" if True in stamped else ""))
    else:
        how = "unsigned"
    what = (f"this source's {kind_of(shown(contents.version))} of commit {info['commit']}"
            f" ({when(args.commit_time)}){older}, {how}; ZIP SHA-256 {hashlib.sha256(data).hexdigest()}")
    if args.superseded_by:
        newer, _, newer_commit = args.superseded_by.partition(" ")
        raise Verdict(3, f"{what}; superseded by release {shown(newer)} of commit {shown(newer_commit)}: use that")
    say(f"verify-release: ACCEPTED {shown(os.path.basename(args.zip_name))}: {what}")
    return 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["take", "examine", "compare"])
    parser.add_argument("--scratch")
    parser.add_argument("--zip-name", help="the ZIP's name as given (default: ZIP)")
    parser.add_argument("--ca-name", help="--ca's name as given (default: CA.pem)")
    parser.add_argument("--tsa-ca-name", help="--tsa-ca's name as given (default: TSA-CA.pem)")
    parser.add_argument("--contents")
    parser.add_argument("--packer")
    parser.add_argument("--commit")
    parser.add_argument("--commit-time", type=int)
    parser.add_argument("--git-dir")
    parser.add_argument("--head")
    parser.add_argument("--behind", type=int, default=0)
    parser.add_argument("--commit-out")
    parser.add_argument("--version", help="the version the commit's build must carry (examine's)")
    parser.add_argument("--environment", choices=["own", "head"], default="own",
                        help="whose lock made the release environment this runs in: the commit's own or HEAD's")
    parser.add_argument("--superseded-by", help="VERSION COMMIT: the newer release that supersedes it (examine's)")
    parser.add_argument("--ca", help="PEM file of CA certificates the signatures must verify against")
    parser.add_argument("--tsa-ca", help="PEM file of CA certificates timestamps must verify against"
                        " (else the system's)")
    parser.add_argument("zip")
    args = parser.parse_args(argv)
    args.zip_name = args.zip_name or args.zip
    args.ca_name, args.tsa_ca_name = args.ca_name or args.ca, args.tsa_ca_name or args.tsa_ca
    if args.step == "take":
        wrong = not args.scratch
    elif args.step == "examine":
        wrong = not args.commit_out or bool(args.git_dir) != bool(args.head)
    else:
        wrong = None in (args.contents, args.packer, args.commit, args.commit_time) or (
            args.behind and not args.head)
    if wrong or (args.head and not SHA.match(args.head)):
        parser.error("take needs --scratch; examine needs --commit-out (and --head with --git-dir); compare needs --contents,"
                     " --packer, --commit and --commit-time (and --head with --behind)")
    name = shown(os.path.basename(args.zip_name))
    try:
        return {"take": take, "examine": examine, "compare": compare}[args.step](args)
    except KeyboardInterrupt:
        return 130  # verify-release.sh, interrupted too, says so
    except Verdict as verdict:
        word = {1: "REJECTED", 2: "CANNOT CHECK", 3: "SUPERSEDED"}[verdict.status]
        say(f"verify-release: {word} {name}: {verdict.reason}")
        return verdict.status
    except Exception as error:  # a last resort: one line, never a traceback
        say(f"verify-release: CANNOT CHECK {name}: internal error, {type(error).__name__}: {shown(str(error))}")
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
