#!/usr/bin/python3
"""Checks a release ZIP, whatever its origin, against this source; run by
scripts/verify-release.sh in two steps around its build of the commit.

    verify.py examine [--ca CA.pem] --commit-out FILE ZIP
        reads the ZIP (bounded, nothing extracted) and its BUILDINFO.txt,
        and writes the commit that names to FILE
    verify.py compare --contents BUILD/release_contents.txt --commit SHA [--ca CA.pem] ZIP
        accepts the ZIP only if it is, byte for byte, what this commit's
        packer makes of the programs BUILD holds (for a signed release, of
        the ZIP's programs once each is shown to be one of those with one
        Authenticode signature added), this commit's user guide and the
        ZIP's BUILDINFO.txt; says for each program who signed it

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
import stat
import struct
import subprocess
import sys
import tempfile
import zlib

sys.dont_write_bytecode = True  # nothing written into the source tree
# After the standard library: an untracked file here shadows nothing.
sys.path.append(os.path.dirname(os.path.abspath(__file__)))
from pack import (BUILDINFO_LIMIT, BUILDINFO_NAME, GUIDE_NAME, SIGNER_PACKAGE,  # noqa: E402
                  TOOLCHAIN_PACKAGES, crlf, pack_zip, read_buildinfo, read_contents)
from notices import NOTICES_NAME, third_party_files  # noqa: E402

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
def check_ca(ca):
    if not os.path.isfile(ca) or run(["openssl", "x509", "-noout", "-in", ca]).returncode != 0:
        cannot_check(f"--ca {shown(ca)}: not a readable file of PEM CA certificates")


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
    data = read_zip(args.zip)
    entries = parse_zip(data)
    info, _ = buildinfo_of(data, entries, top_folder(entries))
    with open(args.commit_out, "w", encoding="ascii") as out:
        out.write(info["commit"])
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
    data = read_zip(args.zip)
    entries = parse_zip(data)
    try:
        contents = read_contents(args.contents)
    except SystemExit as error:
        cannot_check(f"cannot read what this source builds: {error}")
    top = f"{contents['name']}-{contents['version']}"
    programs = {os.path.basename(path): path for path in contents["program"]}
    derived = [NOTICES_NAME, f"{top}.cdx.json"]
    names = [f"{top}/{name}" for name in sorted(list(programs) + [GUIDE_NAME, BUILDINFO_NAME] + derived)]
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
    # The notices and the SBOM are what this source makes of these programs.
    try:
        made = third_party_files(contents, info, files)
    except SystemExit as error:
        cannot_check(f"cannot tell what this source's programs link: {error}")
    for name in derived:
        if inflate(data, entry[name], GUIDE_LIMIT) != made.get(name):
            problems.append(f"{name}: not what this source makes of these programs")
            say(problems[-1])
        files[name] = made.get(name, b"")
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
