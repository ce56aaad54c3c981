#!/usr/bin/python3
"""Checks a release ZIP, whatever its origin, by the rules of this checkout;
run by scripts/verify-release.sh in two steps around its build of the
commit the ZIP names.

    verify.py examine [--ca CA.pem] [--git-dir DIR --head SHA] --commit-out FILE ZIP
        reads the ZIP (bounded, nothing extracted) and its BUILDINFO.txt;
        with --git-dir, judges the commit that names in that repository (a
        commit in the history of HEAD, made by a packer with the repack
        interface) and writes to FILE three lines: the commit, its
        committer time and how many commits it lies behind HEAD
    verify.py compare --contents BUILD/release_contents.txt --packer PACK --commit SHA
                      --commit-time SECONDS [--head SHA --behind N] [--ca CA.pem] ZIP
        accepts the ZIP only if it is, byte for byte, what the commit's own
        packer PACK makes (in its repack mode) of the programs BUILD holds
        (for a signed release, of the ZIP's programs once each is shown to
        be one of those with one Authenticode signature added) and of the
        ZIP's BUILDINFO.txt, once that is shown to date the release by the
        commit; says for each program who signed it

Everything goes to standard output, text from the ZIP escaped and cut,
and the last line is the verdict. Exit status 0 when accepted, 1 when
rejected (not this source's release), 2 when it cannot be checked.
"""
import argparse
import base64
import collections
import functools
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
# After the standard library: an untracked file here shadows nothing.
sys.path.append(os.path.dirname(os.path.abspath(__file__)))
from pack import (BUILDINFO_LIMIT, BUILDINFO_NAME, GUIDE_NAME, SIGNER_PACKAGE,  # noqa: E402
                  TOOLCHAIN_PACKAGES, read_buildinfo)
from zip_reader import (GUIDE_LIMIT, PROGRAM_LIMIT, Verdict, cannot_check, inflate,  # noqa: E402
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
# The packer's repack interface (scripts/release/pack.py, REPACK_INTERFACE)
# this check knows how to call; a commit whose packer declares none is
# older than any release it can judge.
PACKER = "scripts/release/pack.py"
REPACK_INTERFACES = {"1"}
REPACK_MARKER = re.compile(rb"^REPACK_INTERFACE = ([0-9]+)$", re.MULTILINE)
SHA = re.compile(r"[0-9a-f]{40}\Z")


def say(line):
    print(line, flush=True)


def run(command, env=None):
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=env or TOOL_ENVIRONMENT, timeout=TOOL_SECONDS)
    except FileNotFoundError:
        cannot_check(f"{command[0]} is not installed (scripts/install-deps.sh installs it)")
    except subprocess.TimeoutExpired:
        cannot_check(f"{command[0]} did not finish within {TOOL_SECONDS} s")


@functools.lru_cache(maxsize=None)
def check_ca(ca):
    if not os.path.isfile(ca) or run(["openssl", "x509", "-noout", "-in", ca]).returncode != 0:
        cannot_check(f"--ca {shown(ca)}: not a readable file of PEM CA certificates")


def when(epoch):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))


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


def git(git_dir, *arguments):
    return run(GIT + [f"--git-dir={git_dir}", *arguments], GIT_ENVIRONMENT)


def judge_commit(git_dir, commit, head):
    """(committer time, commits behind HEAD) of COMMIT, once it is shown to
    be a commit of HEAD's history whose packer this check can call."""
    kind = git(git_dir, "cat-file", "-t", commit)
    if kind.returncode != 0:
        cannot_check(f"it was built from commit {commit}, which this checkout does not hold: fetch the"
                     " history that holds it (or clone the repository it comes from) and check again")
    kind = kind.stdout.decode("ascii", "replace").strip()
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
                     " (a shallow clone? fetch its whole history)")
    fields = git(git_dir, "show", "-s", "--format=%ct", commit).stdout.decode("ascii", "replace").split()
    behind = git(git_dir, "rev-list", "--count", f"{commit}..{head}").stdout.decode("ascii", "replace").split()
    if len(fields) != 1 or not fields[0].isdigit() or len(behind) != 1 or not behind[0].isdigit():
        cannot_check(f"cannot read the date of commit {commit}")
    packer = git(git_dir, "cat-file", "blob", f"{commit}:{PACKER}")
    marker = REPACK_MARKER.search(packer.stdout) if packer.returncode == 0 else None
    if marker is None:
        cannot_check(f"it was built from commit {commit} of {when(int(fields[0]))}, older than the first"
                     " release this check can judge: that commit's packer cannot pack given programs, so"
                     " what it makes of them cannot be compared with the ZIP")
    if marker.group(1).decode("ascii") not in REPACK_INTERFACES:
        cannot_check(f"the packer of commit {commit} offers repack interface {marker.group(1).decode('ascii')},"
                     f" which this check does not know")
    return int(fields[0]), int(behind[0])


def examine(args):
    if args.ca:
        check_ca(args.ca)
    data = read_zip(args.zip)
    entries = parse_zip(data)
    info, _ = buildinfo_of(data, entries, top_folder(entries))
    commit, facts = info["commit"], ""
    if args.git_dir:
        facts = "".join(f"{fact}\n" for fact in judge_commit(args.git_dir, commit, args.head))
    with open(args.commit_out, "w", encoding="ascii") as out:
        out.write(f"{commit}\n{facts}")
    return 0


# ASN.1 DER, as far as an Authenticode signature needs it.
Node = collections.namedtuple("Node", "tag start body end")


class Unreadable(Exception):
    pass


def oid(dotted):
    numbers = [int(part) for part in dotted.split(".")]
    encoded = bytearray([40 * numbers[0] + numbers[1]])
    for number in numbers[2:]:
        septets = [number & 0x7F]
        while number > 0x7F:
            number >>= 7
            septets.append(0x80 | number & 0x7F)
        encoded += bytes(reversed(septets))
    return bytes(encoded)


def dotted(encoded):
    numbers, number = [], 0
    for byte in encoded:
        number = number << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(number)
            number = 0
    if not numbers:
        return "?"
    first = min(numbers[0] // 40, 2)
    return ".".join(str(part) for part in [first, numbers[0] - 40 * first] + numbers[1:])


OID_SIGNED_DATA = oid("1.2.840.113549.1.7.2")
OID_INDIRECT_DATA = oid("1.3.6.1.4.1.311.2.1.4")
OID_CONTENT_TYPE = oid("1.2.840.113549.1.9.3")
OID_MESSAGE_DIGEST = oid("1.2.840.113549.1.9.4")
OID_SHA256 = oid("2.16.840.1.101.3.4.2.1")
OID_NESTED_SIGNATURE = oid("1.3.6.1.4.1.311.2.4.1")
# Countersignature and RFC 3161 timestamp: what --timestamp adds.
OID_TIMESTAMPS = {oid("1.2.840.113549.1.9.6"), oid("1.3.6.1.4.1.311.3.3.1")}
# RSA, SHA-256 with RSA, EC key, ECDSA with SHA-256.
OID_SIGNATURE_KINDS = {oid("1.2.840.113549.1.1.1"), oid("1.2.840.113549.1.1.11"), oid("1.2.840.10045.2.1"),
                       oid("1.2.840.10045.4.3.2")}
VERSION_1 = b"\x02\x01\x01"
NAME_KEYS = {oid("2.5.4.3"): "CN", oid("2.5.4.6"): "C", oid("2.5.4.7"): "L", oid("2.5.4.8"): "ST",
             oid("2.5.4.10"): "O", oid("2.5.4.11"): "OU", oid("2.5.4.5"): "serialNumber",
             oid("2.5.4.9"): "street", oid("2.5.4.15"): "businessCategory",
             oid("1.2.840.113549.1.9.1"): "emailAddress"}
SEQUENCE, SET, INTEGER, OCTETS, OID, CONTEXT_0, CONTEXT_1 = 0x30, 0x31, 0x02, 0x04, 0x06, 0xA0, 0xA1


def node(data, at, end):
    if at + 2 > end or data[at] & 0x1F == 0x1F:
        raise Unreadable()
    length, body = data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 3 or body + count > end:
            raise Unreadable()
        length, body = int.from_bytes(data[body:body + count], "big"), body + count
    if body + length > end:
        raise Unreadable()
    return Node(data[at], at, body, body + length)


def inside(data, parent, *tags):
    """PARENT's elements; when TAGS are given, they must be exactly those."""
    children, at = [], parent.body
    while at < parent.end:
        children.append(node(data, at, parent.end))
        at = children[-1].end
    if tags and tuple(child.tag for child in children) != tags:
        raise Unreadable()
    return children


def first_oid(data, parent):
    first = inside(data, parent)[0] if parent.body < parent.end else None
    if first is None or first.tag != OID:
        raise Unreadable()
    return data[first.body:first.end]


def name_text(data, name):
    parts = []
    for relative in inside(data, name):
        for pair in inside(data, relative):
            key, value = inside(data, pair)
            raw = data[value.body:value.end]
            text = (raw.decode("utf-16-be", "replace") if value.tag == 0x1E else
                    raw.decode("utf-8", "replace") if value.tag == 0x0C else raw.decode("latin-1"))
            parts.append(f"/{NAME_KEYS.get(data[key.body:key.end], dotted(data[key.body:key.end]))}={text}")
    return "".join(parts)


Signature = collections.namedtuple(
    "Signature", "program_digest indirect_data message_digest signed_attributes value certificate subject key")


def read_signature(data):
    """An Authenticode PKCS#7 SignedData with one signer; a string saying
    why when it is not one, or carries a second signature."""
    try:
        whole = node(data, 0, len(data))
        # Zeros pad it to a multiple of 8 bytes, as osslsigncode does.
        if whole.tag != SEQUENCE or len(data) - whole.end >= 8 or any(data[whole.end:]):
            return "its signature block is not one PKCS#7 structure"
        kind, wrapper = inside(data, whole, OID, CONTEXT_0)
        (signed,) = inside(data, wrapper, SEQUENCE)
        parts = inside(data, signed)
        if data[kind.body:kind.end] != OID_SIGNED_DATA or len(parts) < 4:
            raise Unreadable()
        version, algorithms, content, *optional, signers = parts
        certificates = [part for part in optional if part.tag == CONTEXT_0]
        content_kind, content_wrapper = inside(data, content, OID, CONTEXT_0)
        (indirect,) = inside(data, content_wrapper, SEQUENCE)
        _, digest_info = inside(data, indirect, SEQUENCE, SEQUENCE)
        algorithm, digest = inside(data, digest_info, SEQUENCE, OCTETS)
        signer_infos = inside(data, signers)
        if data[content_kind.body:content_kind.end] != OID_INDIRECT_DATA or signers.tag != SET:
            raise Unreadable()
        if len(signer_infos) != 1:
            return f"its signature names {len(signer_infos)} signers, where a release's names one"
        fields = inside(data, signer_infos[0])
        tags = [field.tag for field in fields]
        if tags[:6] != [INTEGER, SEQUENCE, SEQUENCE, CONTEXT_0, SEQUENCE, OCTETS] or tags[6:] not in ([], [CONTEXT_1]):
            raise Unreadable()
        signer_version, issuer_serial, signer_digest, attributes, kind, value, *unsigned = fields
        # Fields the signature does not cover: as osslsigncode writes them.
        if (data[version.start:version.end] != VERSION_1 or data[signer_version.start:signer_version.end] != VERSION_1
                or [first_oid(data, item) for item in inside(data, algorithms)] != [OID_SHA256]
                or first_oid(data, kind) not in OID_SIGNATURE_KINDS):
            return "its signature is not in the form osslsigncode writes"
        for attribute in (inside(data, unsigned[0]) if unsigned else []):
            code = first_oid(data, attribute)
            if code == OID_NESTED_SIGNATURE:
                return "a second signature is nested in its signature"
            if code not in OID_TIMESTAMPS:
                return f"its signature carries an unsigned attribute {dotted(code)} that a release's does not"
        if first_oid(data, algorithm) != OID_SHA256 or first_oid(data, signer_digest) != OID_SHA256:
            return "its signature uses a digest other than SHA-256, which a release's does not"
        signed_values = {}
        for attribute in inside(data, attributes):
            _, values = inside(data, attribute, OID, SET)
            signed_values[first_oid(data, attribute)] = inside(data, values)
        content_type, message_digest = signed_values.get(OID_CONTENT_TYPE), signed_values.get(OID_MESSAGE_DIGEST)
        if (not content_type or not message_digest or len(content_type) != 1 or len(message_digest) != 1
                or data[content_type[0].body:content_type[0].end] != OID_INDIRECT_DATA
                or message_digest[0].tag != OCTETS):
            raise Unreadable()
        issuer, serial = inside(data, issuer_serial, SEQUENCE, INTEGER)
        wanted = (data[issuer.start:issuer.end], data[serial.start:serial.end])
        matches = []
        for certificate in (inside(data, certificates[0]) if certificates else []):
            items = inside(data, inside(data, certificate)[0])
            items = items[1:] if items and items[0].tag == CONTEXT_0 else items
            if len(items) >= 6 and (data[items[2].start:items[2].end], data[items[0].start:items[0].end]) == wanted:
                matches.append((certificate, items[4], items[5]))
        if len(matches) != 1:
            return f"its signer's certificate is in it {len(matches)} times, where a release's holds it once"
        certificate, subject, key = matches[0]
        return Signature(data[digest.body:digest.end], data[indirect.body:indirect.end],
                         data[message_digest[0].body:message_digest[0].end],
                         b"\x31" + data[attributes.start + 1:attributes.end], data[value.body:value.end],
                         data[certificate.start:certificate.end], name_text(data, subject),
                         data[key.start:key.end])
    except (Unreadable, ValueError, IndexError):
        return "its signature block cannot be read as an Authenticode signature"


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
    signature = read_signature(program[table + 8:table + length])
    if isinstance(signature, str):
        return f"this source's build, but {signature}", None
    return None, signature


def signature_holds(program, signature, scratch):
    """Whether the signature is over this program, by its certificate's key."""
    checksum_at, security_at = pe_fields(program)
    table = struct.unpack_from("<I", program, security_at)[0]
    digest = hashlib.sha256(program[:checksum_at] + program[checksum_at + 4:security_at]
                            + program[security_at + 8:table]).digest()
    if signature.program_digest != digest or signature.message_digest != hashlib.sha256(
            signature.indirect_data).digest():
        return False
    files = {"key.pem": b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(signature.key)
             + b"-----END PUBLIC KEY-----\n",
             "attributes.der": signature.signed_attributes, "signature.bin": signature.value}
    for name, content in files.items():
        with open(os.path.join(scratch, name), "wb") as out:
            out.write(content)
    return run(["openssl", "dgst", "-sha256", "-verify", os.path.join(scratch, "key.pem"), "-signature",
                os.path.join(scratch, "signature.bin"), os.path.join(scratch, "attributes.der")]).returncode == 0


@functools.lru_cache(maxsize=None)
def osslsigncode_fetches_crls():
    # Since 2.6 verify fetches a certificate's CRLs from where it points
    # (a server a forged signature names) unless told not to.
    return b"-ignore-cdp" in run(["osslsigncode", "help"]).stdout


def chain_verifies(program, ca, scratch):
    path = os.path.join(scratch, "program.exe")
    with open(path, "wb") as out:
        out.write(program)
    command = ["osslsigncode", "verify", "-in", path] + (["-CAfile", ca] if ca else [])
    if osslsigncode_fetches_crls():
        command.append("-ignore-cdp")
    return run(command).returncode == 0


@functools.lru_cache(maxsize=16)
def signature_verdict(program, signature, ca):
    """(whether the signature is over PROGRAM by its certificate's key,
    whether that certificate verifies against CA or the system's)."""
    with tempfile.TemporaryDirectory() as scratch:
        if not signature_holds(program, signature, scratch):
            return False, False
        return True, chain_verifies(program, ca, scratch)


@functools.lru_cache(maxsize=None)
def installed_version(package):
    result = run(["dpkg-query", "-W", "-f=${Version}", package])
    return result.stdout.decode("ascii", "replace") if result.returncode == 0 else "none"


def release_contents(path):
    """The keys of the commit's release_contents.txt this check needs
    (name, version, programs); others, a later packer's, are its own."""
    contents = {"name": None, "version": None, "program": []}
    try:
        with open(path, encoding="utf-8") as lines:
            for line in lines:
                key, _, value = line.rstrip("\n").partition(" ")
                if not key or not value:
                    cannot_check(f"cannot read what this source builds: {shown(path)}: line {shown(line)}")
                if key == "program":
                    contents[key].append(value)
                elif key in contents:
                    contents[key] = value
    except (OSError, UnicodeError) as error:
        cannot_check(f"cannot read what this source builds, {shown(path)} ({shown(str(error))})")
    if None in contents.values() or not contents["program"]:
        cannot_check(f"cannot read what this source builds: {shown(path)} names no program")
    return contents


@functools.lru_cache(maxsize=8)
def repacked(packer, contents, commit, epoch, buildinfo, programs):
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
        files = {}
        for entry in entries:
            with open(os.path.join(out, *entry.name.decode("ascii").split("/")), "rb") as file:
                files[entry.name.decode("ascii")] = file.read()
    return zips[0], packed, files


def show_packages(info):
    """The package versions BUILDINFO.txt claims, each flagged where this
    machine's differs: what the releaser reports, which nothing checks."""
    say(f"{BUILDINFO_NAME} says the programs were built with (as the releaser reports it):")
    for package in TOOLCHAIN_PACKAGES + ([SIGNER_PACKAGE] if SIGNER_PACKAGE in info else []):
        mine = installed_version(package)
        say(f"    {package} {shown(info[package])}"
            + ("" if info[package] == mine else f"  -- differs: this machine has {shown(mine)}"))


def compare(args):
    if args.ca:
        check_ca(args.ca)
    data = read_zip(args.zip)
    entries = parse_zip(data)
    contents = release_contents(args.contents)
    top = f"{contents['name']}-{contents['version']}"
    info, buildinfo = buildinfo_of(data, entries, top_folder(entries))
    if info["commit"] != args.commit:
        cannot_check(f"it was built from commit {shown(info['commit'])}, not {args.commit}")
    epoch = int(info["SOURCE_DATE_EPOCH"])
    older = (f", {args.behind} commit{'s' if args.behind != 1 else ''} older than this checkout's HEAD"
             f" {args.head[:12]}" if args.behind else "")
    say(f"{shown(top)}: commit {args.commit} of {when(args.commit_time)}{older}")
    if epoch != args.commit_time:
        rejected(f"its {BUILDINFO_NAME} says SOURCE_DATE_EPOCH {epoch} ({when(epoch)}), where the release"
                 f" script dates a release by its commit alone, {args.commit_time} ({when(args.commit_time)})")
    signed = SIGNER_PACKAGE in info
    show_packages(info)

    held = {entry.name.decode("ascii"): entry for entry in entries}
    programs = {os.path.basename(path): path for path in contents["program"]}
    files, problems, signatures, packing = {}, [], {}, {}
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
        else:
            packing[name] = program
        files[name] = program

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
        rejected(f"{len(problems)} of its files {'is' if len(problems) == 1 else 'are'} not this source's")
    if mine != data:
        at = next((at for at, (a, b) in enumerate(zip(mine, data)) if a != b), min(len(mine), len(data)))
        rejected(f"its files are this source's, but the ZIP is not what the packer makes of them:"
                 f" it differs from byte {at} on, {where(entries, at)}")

    against = shown(args.ca) if args.ca else "the system's CA certificates"
    for name in programs:
        if not signed:
            say(f"{name}: this source's build, unsigned")
            continue
        signature = signatures[name]
        holds, verified = signature_verdict(files[name], signature, args.ca)
        if not holds:
            problems.append(f"{name}: this source's build, but its signature is not over it, by its certificate")
            say(problems[-1])
            continue
        say(f"{name}: this source's build, signed")
        say(f"    signer: {shown(signature.subject, 200)}")
        say(f"    certificate SHA-256: {hashlib.sha256(signature.certificate).hexdigest().upper()}")
        if verified:
            say(f"    chain: verified against {against}")
        elif args.ca:
            problems.append(f"{name}: its signer's certificate does not verify against {against}")
            say(f"    chain: does NOT verify against {against}")
        else:
            say(f"    chain: not verified (it does not verify against {against});"
                " compare the fingerprint with the one the publisher gives")
    if args.ca and not signed:
        problems.append(f"the programs are unsigned; --ca asks for signatures that verify against {against}")
        say(problems[-1])
    if problems:
        rejected(problems[-1] if len(problems) == 1 else f"{len(problems)} problems, above")
    # The name is what a user goes by, and says the version it holds.
    if os.path.basename(args.zip) != zip_name:
        rejected(f"it is this source's release {zip_name} under another name; a release's file name says"
                 " which version it holds")
    say(f"verify-release: ACCEPTED {shown(os.path.basename(args.zip))}: this source's release"
        f" {shown(contents['version'])} of commit {info['commit']} ({when(args.commit_time)}){older},"
        f" {'signed' if signed else 'unsigned'}")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["examine", "compare"])
    parser.add_argument("--contents")
    parser.add_argument("--packer")
    parser.add_argument("--commit")
    parser.add_argument("--commit-time", type=int)
    parser.add_argument("--git-dir")
    parser.add_argument("--head")
    parser.add_argument("--behind", type=int, default=0)
    parser.add_argument("--commit-out")
    parser.add_argument("--ca", help="PEM file of CA certificates the signatures must verify against")
    parser.add_argument("zip")
    args = parser.parse_args(argv)
    if args.step == "examine":
        wrong = not args.commit_out or bool(args.git_dir) != bool(args.head)
    else:
        wrong = None in (args.contents, args.packer, args.commit, args.commit_time) or (
            args.behind and not args.head)
    if wrong or (args.head and not SHA.match(args.head)):
        parser.error("examine needs --commit-out (and --head with --git-dir); compare needs --contents,"
                     " --packer, --commit and --commit-time (and --head with --behind)")
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
