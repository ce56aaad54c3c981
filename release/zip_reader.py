#!/usr/bin/python3
"""The release ZIP, read as the packer writes one and no other way: bounded
in size and entries, nothing extracted, every header checked against the
central directory, deflate only. Used by verify.py; raises Verdict for
anything a release never holds."""
import os
import re
import stat
import struct
import zlib
from collections.abc import Sequence
from typing import NamedTuple, NoReturn

# A release is a few dozen KiB: these leave room and bound what is read.
ZIP_LIMIT = 1 << 20
MAX_ENTRIES = 16
PROGRAM_LIMIT = 64 << 10
GUIDE_LIMIT = 128 << 10
# BUILDINFO.txt's own limit (pack.BUILDINFO_LIMIT) is smaller still.
ENTRY_LIMIT = max(PROGRAM_LIMIT, GUIDE_LIMIT)

LOCAL = struct.Struct("<IHHHHHIIIHH")
LOCAL_FIELDS = ("signature", "version needed", "flags", "compression method", "time", "date", "CRC",
                "packed size", "size", "name length", "extra field length")
CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
END = struct.Struct("<IHHHHIIH")
LOCAL_SIGNATURE, CENTRAL_SIGNATURE = 0x04034B50, 0x02014B50
DEFLATED = 8
METHODS = {0: "stored", 12: "bzip2", 14: "LZMA", 93: "Zstandard", 99: "AES encryption"}
# TOP/FILE, nothing else: no folders, no dot names, nothing to escape.
ENTRY_NAME = re.compile(rb"[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}/[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}\Z")

class Entry(NamedTuple):
    """One file of the archive: where its local header, its deflate data
    (START to END) are, and what its central directory entry declares."""
    name: bytes
    method: int
    crc: int
    packed: int
    size: int
    header: int
    start: int
    end: int


class Verdict(Exception):
    """The check's verdict on the archive: STATUS 1 rejected, 2 cannot be
    checked; REASON says why."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status, self.reason = status, reason


def rejected(reason: str) -> NoReturn:
    raise Verdict(1, reason)


def cannot_check(reason: str) -> NoReturn:
    raise Verdict(2, reason)


def shown(text: bytes | str, limit: int = 100) -> str:
    """TEXT (bytes or str) fit for a terminal: printable ASCII as it is,
    anything else escaped, cut at LIMIT characters."""
    codes = text if isinstance(text, bytes) else [ord(char) for char in text]
    out: list[str] = []
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


def read_zip(path: str) -> bytes:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as error:
        cannot_check(f"cannot open it ({shown(error.strerror or 'error')})")
    # A directory opens, but os.fdopen refuses it: looked at first.
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        cannot_check("not a regular file")
    with os.fdopen(fd, "rb") as source:
        if info.st_size > ZIP_LIMIT:
            rejected(f"{info.st_size} bytes, more than any release ({ZIP_LIMIT})")
        try:
            data = source.read(ZIP_LIMIT + 1)
        except OSError as error:
            cannot_check(f"cannot read it ({shown(error.strerror or 'error')})")
    if len(data) > ZIP_LIMIT:
        rejected(f"more than {ZIP_LIMIT} bytes, more than any release")
    return data


def parse_zip(data: bytes) -> list[Entry]:
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

    entries: list[Entry] = []
    names: set[bytes] = set()
    at, expected = directory, 0
    for number in range(1, count + 1):
        if at + CENTRAL.size > end:
            rejected(f"its central directory is cut short at entry {number}")
        (signature, _, needed, flags, method, time, date, crc, packed, size, name_length, extra,
         remark, first_disk, _, _, header) = CENTRAL.unpack_from(data, at)
        name = data[at + CENTRAL.size:at + CENTRAL.size + name_length]
        at += CENTRAL.size + name_length + extra + remark
        if signature != CENTRAL_SIGNATURE:
            rejected(f"entry {number} of its central directory does not start with a central header's signature")
        if at > end:
            rejected(f"entry {number} of its central directory runs past the directory's end")
        if not ENTRY_NAME.match(name):
            rejected(f"entry {number} is named '{shown(name)}', not TOP/FILE as a release's files are")
        if name in names:
            rejected(f"'{shown(name)}' appears twice")
        names.add(name)
        if flags & 1:
            rejected(f"'{shown(name)}' is encrypted")
        extras = [what for what, there in [(f"flags {flags:#06x}", flags), ("an extra field", extra),
                                           ("a comment", remark), (f"a start on disk {first_disk}", first_disk)]
                  if there]
        if extras:
            rejected(f"'{shown(name)}' has {' and '.join(extras)}, which no release's files have")
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
        differ = [field for field, theirs, ours in zip(LOCAL_FIELDS, local, (
            LOCAL_SIGNATURE, needed, flags, method, time, date, crc, packed, size, name_length, 0)) if theirs != ours]
        if not differ and data[header + LOCAL.size:start] != name:
            differ = ["name"]
        if differ:
            rejected(f"the local header of '{shown(name)}' does not match its central directory entry"
                     f" ({', '.join(differ)})")
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


def inflate(data: bytes, entry: Entry, limit: int) -> bytes:
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


def top_folder(entries: Sequence[Entry]) -> str:
    tops = {entry.name.split(b"/")[0] for entry in entries}
    if len(tops) != 1:
        rejected("its files are not in one top folder")
    return tops.pop().decode("ascii")


def where(entries: Sequence[Entry], at: int) -> str:
    for entry in entries:
        if entry.header <= at < entry.end:
            part = "local header" if at < entry.start else "deflate data"
            return f"in the {part} of '{shown(entry.name)}'"
    return "in the central directory or end record"

