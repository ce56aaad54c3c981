#!/usr/bin/python3
"""Checks a release ZIP, whatever its origin, against this source; run by
scripts/verify-release.sh in two steps around its build of the commit.

    verify.py examine [--ca CA.pem] [--tsa-ca TSA-CA.pem] --commit-out FILE ZIP
        reads the ZIP (bounded, nothing extracted) and its BUILDINFO.txt,
        and writes the commit that names to FILE
    verify.py compare --contents BUILD/release_contents.txt --commit SHA [--ca CA.pem] [--tsa-ca TSA-CA.pem] ZIP
        accepts the ZIP only if it is, byte for byte, what this commit's
        packer makes of the programs BUILD holds (for a signed release, of
        the ZIP's programs once each is shown to be one of those with one
        Authenticode signature added), this commit's user guide and the
        ZIP's BUILDINFO.txt; says for each program who signed it and any
        timestamp's time (see signature.py for what a signature must be)

Everything goes to standard output, text from the ZIP escaped and cut,
and the last line is the verdict. Exit status 0 when accepted, 1 when
rejected (not this source's release), 2 when it cannot be checked.
"""
import argparse
import collections
import functools
import hashlib
import os
import re
import stat
import struct
import subprocess
import sys
import tempfile
import zlib

sys.dont_write_bytecode = True  # nothing written into the source tree
# After the standard library: an untracked file here shadows nothing.
sys.path.append(os.path.dirname(os.path.abspath(__file__)))
import signature as authenticode  # noqa: E402
from pack import (BUILDINFO_LIMIT, BUILDINFO_NAME, GUIDE_NAME, SIGNER_PACKAGE,  # noqa: E402
                  TOOLCHAIN_PACKAGES, crlf, pack_zip, read_buildinfo, read_contents)

# A release is a few dozen KiB: these leave room and bound what is read.
ZIP_LIMIT = 1 << 20
MAX_ENTRIES = 16
PROGRAM_LIMIT = 64 << 10
GUIDE_LIMIT = 128 << 10
ENTRY_LIMIT = max(PROGRAM_LIMIT, GUIDE_LIMIT, BUILDINFO_LIMIT)
# What the checks run, whatever the caller's environment says.
TOOL_ENVIRONMENT = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
TOOL_SECONDS = 60

LOCAL = struct.Struct("<IHHHHHIIIHH")
CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
END = struct.Struct("<IHHHHIIH")
LOCAL_SIGNATURE, CENTRAL_SIGNATURE = 0x04034B50, 0x02014B50
DEFLATED = 8
METHODS = {0: "stored", 12: "bzip2", 14: "LZMA", 93: "Zstandard", 99: "AES encryption"}
# TOP/FILE, nothing else: no folders, no dot names, nothing to escape.
ENTRY_NAME = re.compile(rb"[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}/[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}\Z")

Entry = collections.namedtuple("Entry", "name method crc packed size header start end")


class Verdict(Exception):
    def __init__(self, status, reason):
        super().__init__(reason)
        self.status, self.reason = status, reason


def rejected(reason):
    raise Verdict(1, reason)


def cannot_check(reason):
    raise Verdict(2, reason)


def say(line):
    print(line, flush=True)


def shown(text, limit=100):
    """TEXT (bytes or str) fit for a terminal: printable ASCII as it is,
    anything else escaped, cut at LIMIT characters."""
    codes = text if isinstance(text, bytes) else [ord(char) for char in text]
    out = []
    for code in codes:
        if code == 0x5C:
            out.append("\\\\")
        elif 0x20 <= code < 0x7F:
            out.append(chr(code))
        else:
            out.append(f"\\x{code:02x}" if code < 0x100 else
                       f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    line = "".join(out)
    return line if len(line) <= limit else line[:limit] + "..."


def run(command):
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=TOOL_ENVIRONMENT, timeout=TOOL_SECONDS)
    except FileNotFoundError:
        cannot_check(f"{command[0]} is not installed (scripts/install-deps.sh installs it)")
    except subprocess.TimeoutExpired:
        cannot_check(f"{command[0]} did not finish within {TOOL_SECONDS} s")


@functools.lru_cache(maxsize=None)
def check_ca(ca, option="--ca"):
    if not os.path.isfile(ca) or authenticode.read_certificates(ca) is None:
        cannot_check(f"{option} {shown(ca)}: not a readable file of PEM CA certificates")


def read_zip(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as error:
        cannot_check(f"cannot open it ({shown(error.strerror or 'error')})")
    with os.fdopen(fd, "rb") as source:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            cannot_check("not a regular file")
        if info.st_size > ZIP_LIMIT:
            rejected(f"{info.st_size} bytes, more than any release ({ZIP_LIMIT})")
        try:
            data = source.read(ZIP_LIMIT + 1)
        except OSError as error:
            cannot_check(f"cannot read it ({shown(error.strerror or 'error')})")
    if len(data) > ZIP_LIMIT:
        rejected(f"more than {ZIP_LIMIT} bytes, more than any release")
    return data


def parse_zip(data):
    """The entries, once the archive is laid out as the packer lays one
    out: entries from the first byte on, back to back, then the central
    directory listing each in that order, then the end record; no
    comment, no extra field, no encryption, no zip64, deflate only."""
    end = data.rfind(b"PK\x05\x06", max(0, len(data) - END.size - 0xFFFF))
    if end < 0:
        cannot_check("not a ZIP archive (no end record)")
    if not data.startswith(b"PK\x03\x04"):
        start = data.find(b"PK\x03\x04")
        rejected(f"{start} bytes before its first entry" if start > 0 else "it holds no entry")
    if end + END.size > len(data):
        rejected("its end record is cut short")
    _, disk, directory_disk, here, count, directory_size, directory, comment = END.unpack_from(data, end)
    if comment or end + END.size != len(data):
        rejected(f"{len(data) - end - END.size} bytes after its end record (a comment, or something appended)")
    if 0xFFFF in (disk, here, count) or 0xFFFFFFFF in (directory_size, directory):
        rejected("it uses zip64, which a release never needs")
    if disk or directory_disk or here != count:
        rejected("it claims to span several disks")
    if count > MAX_ENTRIES:
        rejected(f"{count} entries, more than any release holds")
    if directory + directory_size != end:
        rejected("its central directory does not end where its end record starts")

    entries, names, at, expected = [], set(), directory, 0
    for number in range(1, count + 1):
        if at + CENTRAL.size > end:
            rejected(f"its central directory is cut short at entry {number}")
        (signature, _, needed, flags, method, time, date, crc, packed, size, name_length, extra,
         remark, first_disk, _, _, header) = CENTRAL.unpack_from(data, at)
        name = data[at + CENTRAL.size:at + CENTRAL.size + name_length]
        at += CENTRAL.size + name_length + extra + remark
        if signature != CENTRAL_SIGNATURE or at > end:
            rejected(f"entry {number} of its central directory is not one")
        if not ENTRY_NAME.match(name):
            rejected(f"entry {number} is named '{shown(name)}', not TOP/FILE as a release's files are")
        if name in names:
            rejected(f"'{shown(name)}' appears twice")
        names.add(name)
        if flags & 1:
            rejected(f"'{shown(name)}' is encrypted")
        if flags or extra or remark or first_disk:
            rejected(f"'{shown(name)}' has flags, extra fields or a comment that no release has")
        if method != DEFLATED:
            label = METHODS.get(method)
            rejected(f"'{shown(name)}' is packed with compression method {method}"
                     f"{f' ({label})' if label else ''}; a release deflates every file")
        if size > ENTRY_LIMIT:
            rejected(f"'{shown(name)}' declares {size} bytes, more than any file of a release")
        if header != expected:
            rejected(f"'{shown(name)}' does not start where the entry before it ends"
                     " (something hidden between entries, or entries out of order)")
        if header + LOCAL.size > directory:
            rejected(f"'{shown(name)}' has no room for its local header")
        local = LOCAL.unpack_from(data, header)
        start = header + LOCAL.size + name_length
        if (local != (LOCAL_SIGNATURE, needed, flags, method, time, date, crc, packed, size, name_length, 0)
                or data[header + LOCAL.size:start] != name):
            rejected(f"the local header of '{shown(name)}' does not match its central directory entry")
        expected = start + packed
        if expected > directory:
            rejected(f"'{shown(name)}' runs into the central directory")
        entries.append(Entry(name, method, crc, packed, size, header, start, expected))
    if at != end:
        rejected("its central directory holds more than its entries")
    if expected != directory:
        rejected(f"{directory - expected} bytes between its last entry and its central directory"
                 " (an entry hidden from the directory?)")
    return entries


def inflate(data, entry, limit):
    """The entry's bytes, inflating at most LIMIT + 1 of them."""
    name = shown(entry.name)
    if entry.size > limit:
        rejected(f"'{name}' declares {entry.size} bytes; a release's is at most {limit}")
    inflater = zlib.decompressobj(-zlib.MAX_WBITS)
    try:
        content = inflater.decompress(data[entry.start:entry.end], entry.size + 1)
    except zlib.error:
        rejected(f"'{name}' holds corrupt deflate data")
    if len(content) > entry.size or inflater.unconsumed_tail:
        rejected(f"'{name}' inflates to more than the {entry.size} bytes it declares")
    if not inflater.eof or inflater.unused_data or len(content) != entry.size:
        rejected(f"'{name}' holds corrupt or cut deflate data")
    if zlib.crc32(content) != entry.crc:
        rejected(f"'{name}' does not match its CRC")
    return content


def top_folder(entries):
    tops = {entry.name.split(b"/")[0] for entry in entries}
    if len(tops) != 1:
        rejected("its files are not in one top folder")
    return tops.pop().decode("ascii")


def buildinfo_of(data, entries, top):
    wanted = f"{top}/{BUILDINFO_NAME}".encode("ascii")
    found = [entry for entry in entries if entry.name == wanted]
    if not found:
        rejected(f"it holds no {top}/{BUILDINFO_NAME}: it does not say what built it")
    text = inflate(data, found[0], BUILDINFO_LIMIT)
    try:
        return read_buildinfo(text), text
    except ValueError as error:
        rejected(f"its {BUILDINFO_NAME} is not what the release script writes: {shown(str(error))}")


def examine(args):
    if args.ca:
        check_ca(args.ca)
    if args.tsa_ca:
        check_ca(args.tsa_ca, "--tsa-ca")
    data = read_zip(args.zip)
    entries = parse_zip(data)
    info, _ = buildinfo_of(data, entries, top_folder(entries))
    with open(args.commit_out, "w", encoding="ascii") as out:
        out.write(info["commit"])
    return 0


def pe_fields(program):
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


def pe_checksum(program, at):
    padded = program + b"\0" * (len(program) % 2)
    total = sum(struct.unpack(f"<{len(padded) // 2}H", padded)) - sum(struct.unpack_from("<HH", padded, at))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(program)


def check_signed(program, built):
    """(problem, Signature): problem None when PROGRAM is BUILT with one
    Authenticode signature appended as osslsigncode appends it."""
    checksum_at, security_at = pe_fields(built)
    if program == built:
        return f"this source's build, but unsigned, where its {BUILDINFO_NAME} says the release was signed", None
    if len(program) <= len(built):
        return "NOT this source's build", None
    table, size = struct.unpack_from("<II", program, security_at)
    image = bytearray(program[:len(built)])
    image[checksum_at:checksum_at + 4] = built[checksum_at:checksum_at + 4]
    image[security_at:security_at + 8] = bytes(8)
    if image != built:
        return "NOT this source's build, with its signature removed", None
    if table != len(built) or table + size != len(program):
        return "this source's build, but its signature table is not all that follows it", None
    if size < 8:
        return "this source's build, but it carries other than one Authenticode signature", None
    length, revision, kind = struct.unpack_from("<IHH", program, table)
    if revision != 0x200 or kind != 2 or not 8 < length <= size or (length + 7) & ~7 != size:
        return "this source's build, but it carries other than one Authenticode signature", None
    if any(program[table + length:]):
        return "this source's build, but something follows its signature", None
    if struct.unpack_from("<I", program, checksum_at)[0] != pe_checksum(program, checksum_at):
        return "this source's build, but its header checksum is not the signed program's", None
    signature = authenticode.read(program[table + 8:table + length])
    if isinstance(signature, str):
        return f"this source's build, but {signature}", None
    return None, signature


def signature_holds(program, signature):
    """Whether the signature is over this program, by its certificate's key."""
    checksum_at, security_at = pe_fields(program)
    table = struct.unpack_from("<I", program, security_at)[0]
    digest = hashlib.sha256(program[:checksum_at] + program[checksum_at + 4:security_at]
                            + program[security_at + 8:table]).digest()
    return authenticode.holds(signature, digest)


@functools.lru_cache(maxsize=None)
def osslsigncode_fetches_crls():
    # Since 2.6 verify fetches a certificate's CRLs from where it points
    # (a server a forged signature names) unless told not to.
    return b"-ignore-cdp" in run(["osslsigncode", "help"]).stdout


SignatureVerdict = collections.namedtuple("SignatureVerdict", "holds refused timestamp verified")


@functools.lru_cache(maxsize=16)
def signature_verdict(program, signature, ca, tsa_ca):
    """Whether the signature is over PROGRAM by its certificate's key; why
    it is refused whatever the CA (a signer not allowed to sign code, one
    the chain check does not take for the signer, a timestamp that does
    not verify), or None; whether the timestamp verifies; whether the
    signer's chain verifies against CA or the system's."""
    if not signature_holds(program, signature):
        return SignatureVerdict(False, None, False, False)
    refused = authenticode.signer_allowed(signature)
    with tempfile.TemporaryDirectory() as scratch:
        stamped = signature.timestamp is not None and authenticode.timestamp_verdict(
            signature.timestamp, tsa_ca, run, scratch)
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
def installed_version(package):
    result = run(["dpkg-query", "-W", "-f=${Version}", package])
    return result.stdout.decode("ascii", "replace") if result.returncode == 0 else "none"


@functools.lru_cache(maxsize=8)
def packed(top, files, epoch):
    return pack_zip(top, dict(files), epoch)


def where(entries, at):
    for entry in entries:
        if entry.header <= at < entry.end:
            part = "local header" if at < entry.start else "deflate data"
            return f"in the {part} of '{shown(entry.name)}'"
    return "in the central directory or end record"


def compare(args):
    if args.ca:
        check_ca(args.ca)
    if args.tsa_ca:
        check_ca(args.tsa_ca, "--tsa-ca")
    data = read_zip(args.zip)
    entries = parse_zip(data)
    try:
        contents = read_contents(args.contents)
    except SystemExit as error:
        cannot_check(f"cannot read what this source builds: {error}")
    top = f"{contents['name']}-{contents['version']}"
    programs = {os.path.basename(path): path for path in contents["program"]}
    names = [f"{top}/{name}" for name in sorted(list(programs) + [GUIDE_NAME, BUILDINFO_NAME])]
    held = [entry.name.decode("ascii") for entry in entries]
    if held != names:
        for name in names:
            if name not in held:
                say(f"{name}: missing from the ZIP")
        for name in held:
            if name not in names:
                say(f"{shown(name)}: not part of a release of this source")
        rejected("it does not hold exactly a release's files" if sorted(held) != names else
                 "its files are not in the order the packer writes them")
    entry = {name.split("/", 1)[1]: entries[held.index(name)] for name in names}
    info, buildinfo = buildinfo_of(data, entries, top)
    if info["commit"] != args.commit:
        cannot_check(f"it was built from commit {shown(info['commit'])}, not {args.commit}")
    signed = SIGNER_PACKAGE in info

    files, problems, signatures = {BUILDINFO_NAME: buildinfo}, [], {}
    for name, path in programs.items():
        program = inflate(data, entry[name], PROGRAM_LIMIT)
        try:
            with open(path, "rb") as source:
                built = source.read()
        except OSError as error:
            cannot_check(f"cannot read the program built here, {path} ({error.strerror})")
        if pe_fields(built) is None:
            cannot_check(f"{path}, built here, is no 64-bit Windows program")
        if signed:
            problem, signatures[name] = check_signed(program, built)
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
        files[name] = program
    try:
        with open(contents["guide"], "rb") as source:
            guide = crlf(source.read())
    except OSError as error:
        cannot_check(f"cannot read this source's user guide ({error.strerror})")
    released_guide = inflate(data, entry[GUIDE_NAME], GUIDE_LIMIT)
    if released_guide != guide:
        line = next((at for at, (mine, theirs) in enumerate(zip(guide, released_guide)) if mine != theirs),
                    min(len(guide), len(released_guide)))
        line = guide[:line].count(b"\n") + 1
        problems.append(f"{GUIDE_NAME}: not this source's user guide (it differs from line {line} on)")
        say(problems[-1])
    files[GUIDE_NAME] = guide
    if any("NOT this source's build" in problem for problem in problems):
        for package in TOOLCHAIN_PACKAGES:
            if info[package] != installed_version(package):
                say(f"note: the release was built with {package} {info[package]},"
                    f" this machine has {installed_version(package)}")
    if problems:
        rejected(f"{len(problems)} of its files {'is' if len(problems) == 1 else 'are'} not this source's")

    mine = packed(top, tuple(sorted(files.items())), int(info["SOURCE_DATE_EPOCH"]))
    if mine != data:
        at = next((at for at, (a, b) in enumerate(zip(mine, data)) if a != b), min(len(mine), len(data)))
        rejected(f"its files are this source's, but the ZIP is not what the packer makes of them:"
                 f" it differs from byte {at} on, {where(entries, at)}")

    against = shown(args.ca) if args.ca else "the system's CA certificates"
    stamp_against = shown(args.tsa_ca) if args.tsa_ca else "the system's CA certificates"
    signers = {}
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
        if verdict.verified:
            say(f"    chain: verified against {against}")
        elif args.ca:
            problems.append(f"{name}: its signer's certificate does not verify against {against}")
            say(f"    chain: does NOT verify against {against}")
        else:
            say(f"    chain: not verified (it does not verify against {against});"
                " compare the fingerprint with the one the publisher gives")
        stamp = signature.timestamp
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
    say(f"verify-release: ACCEPTED {shown(os.path.basename(args.zip))}: this source's release of commit"
        f" {info['commit']}, {'signed' if signed else 'unsigned'}")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["examine", "compare"])
    parser.add_argument("--contents")
    parser.add_argument("--commit")
    parser.add_argument("--commit-out")
    parser.add_argument("--ca", help="PEM file of CA certificates the signatures must verify against")
    parser.add_argument("--tsa-ca", help="PEM file of CA certificates timestamps must verify against"
                        " (else the system's)")
    parser.add_argument("zip")
    args = parser.parse_args(argv)
    if (args.step == "examine") != bool(args.commit_out) or (args.step == "compare") != bool(
            args.contents and args.commit):
        parser.error("examine needs --commit-out; compare needs --contents and --commit")
    name = shown(os.path.basename(args.zip))
    try:
        return examine(args) if args.step == "examine" else compare(args)
    except Verdict as verdict:
        word = "REJECTED" if verdict.status == 1 else "CANNOT CHECK"
        say(f"verify-release: {word} {name}: {verdict.reason}")
        return verdict.status
    except Exception as error:  # a last resort: one line, never a traceback
        say(f"verify-release: CANNOT CHECK {name}: internal error, {type(error).__name__}: {shown(str(error))}")
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
