"""The ZIP reader on archives built here field by field: each malformed
one must be refused for its own reason."""
import struct
import zlib
from pathlib import Path
from typing import Any, Callable

import pytest

from zip_reader import MAX_ENTRIES, Verdict, inflate, parse_zip, read_zip, top_folder

NAME = b"TOP/A.txt"
TEXT = b"the quick brown fox " * 8


def deflated(data: bytes) -> bytes:
    squeezer = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS)
    return squeezer.compress(data) + squeezer.flush()


def archive(files: Any = ((NAME, TEXT),), local: Any = None, central: Any = None, end: Any = None,
            before: bytes = b"", gap: bytes = b"", directory_tail: bytes = b"", after: bytes = b"") -> bytes:
    """A ZIP as the packer lays one out, of FILES ((name, content) or
    (name, content, deflate data)); LOCAL, CENTRAL and END map a field's
    index in that header (as zip_reader's structs unpack it) to the value
    to write instead."""
    out, directory = bytearray(before), bytearray()
    for name, content, *packed_data in files:
        packed = packed_data[0] if packed_data else deflated(content)
        common = [20, 0, 8, 0, 0x21, zlib.crc32(content), len(packed), len(content), len(name)]
        fields = [0x04034B50, *common, 0]
        for at, value in (local or {}).items():
            fields[at] = value
        entry = [0x02014B50, 0x314, *common, 0, 0, 0, 0, 0o100644 << 16, len(out) - len(before)]
        for at, value in (central or {}).items():
            entry[at] = value
        directory += struct.pack("<IHHHHHHIIIHHHHHII", *entry) + name
        out += struct.pack("<IHHHHHIIIHH", *fields) + name + packed
    out += gap
    directory += directory_tail
    record = [0x06054B50, 0, 0, len(files), len(files), len(directory), len(out) - len(before), 0]
    for at, value in (end or {}).items():
        record[at] = value
    return bytes(out + directory + struct.pack("<IHHHHIIH", *record)) + after


TWO = ((NAME, TEXT), (b"TOP/B.txt", b"b"))
# name, archive, exit status, what the reason must say.
REFUSED: list[tuple[str, Callable[[], bytes], int, str]] = [
    ("no end record", lambda: archive()[:-22], 2, "not a ZIP archive (no end record)"),
    ("junk before", lambda: archive(before=b"MZ\0"), 1, "3 bytes before its first entry"),
    ("no entry", lambda: archive(files=()), 1, "it holds no entry"),
    ("end record cut", lambda: archive()[:-22] + b"PK\x05\x06\0", 1, "its end record is cut short"),
    ("comment", lambda: archive(end={7: 2}, after=b"hi"), 1, "2 bytes after its end record"),
    ("zip64", lambda: archive(end={3: 0xFFFF, 4: 0xFFFF}), 1, "zip64"),
    ("second disk", lambda: archive(end={1: 1}), 1, "span several disks"),
    ("too many", lambda: archive(end={3: MAX_ENTRIES + 1, 4: MAX_ENTRIES + 1}), 1, "17 entries, more than"),
    ("directory short of end", lambda: archive(end={5: 10}), 1, "does not end where its end record starts"),
    ("directory cut", lambda: archive(end={3: 2, 4: 2}), 1, "cut short at entry 2"),
    ("central signature", lambda: archive(central={0: 0x02014B51}), 1, "entry 1 of its central directory does not"
     " start with a central header's signature"),
    ("central past end", lambda: archive(central={10: 200}), 1, "entry 1 of its central directory runs past"),
    ("folder entry", lambda: archive(files=((b"TOP/", b""),)), 1, "named 'TOP/', not TOP/FILE"),
    ("twice", lambda: archive(files=(TWO[0], TWO[0])), 1, "'TOP/A.txt' appears twice"),
    ("encrypted", lambda: archive(local={2: 1}, central={3: 1}), 1, "'TOP/A.txt' is encrypted"),
    ("data descriptor", lambda: archive(local={2: 8}, central={3: 8}), 1, "has flags 0x0008, which no"),
    ("stored", lambda: archive(local={3: 0}, central={4: 0}), 1, "compression method 0 (stored);"),
    ("declares 4 GiB", lambda: archive(local={8: 1 << 31}, central={9: 1 << 31}), 1, "declares 2147483648 bytes"),
    ("offset", lambda: archive(central={16: 1}), 1, "does not start where the entry before it ends"),
    ("local CRC", lambda: archive(local={6: 0}), 1, "does not match its central directory entry (CRC)"),
    ("local name", lambda: archive(files=((NAME, TEXT),)).replace(b"TOP/A.txt", b"TOP/B.txt", 1), 1,
     "does not match its central directory entry (name)"),
    ("packed past", lambda: archive(local={7: 10 ** 6}, central={8: 10 ** 6}), 1, "runs into the central directory"),
    ("hidden bytes", lambda: archive(gap=b"PK\x03\x04hidden"), 1, "10 bytes between its last entry and its central"),
    ("directory tail", lambda: archive(directory_tail=b"\0" * 4), 1, "its central directory holds more than its"),
]


@pytest.mark.parametrize("make, status, reason", [row[1:] for row in REFUSED], ids=[row[0] for row in REFUSED])
def test_refused(make: Callable[[], bytes], status: int, reason: str) -> None:
    with pytest.raises(Verdict) as verdict:
        parse_zip(make())
    assert verdict.value.status == status and reason in verdict.value.reason


BOMB = deflated(bytes(1000))
# name, the content its headers declare (size, CRC), its deflate data, the reason.
INFLATED: list[tuple[str, bytes, bytes, str]] = [
    ("corrupt", bytes(10), b"\xff" * 16, "holds corrupt deflate data"),
    ("bomb", bytes(10), BOMB, "inflates to more than the 10 bytes it declares"),
    ("cut", bytes(1000), BOMB[:-2], "holds corrupt or cut deflate data"),
    ("crc", b"\1" * 10, deflated(bytes(10)), "does not match its CRC"),
]


@pytest.mark.parametrize("content, packed, reason", [row[1:] for row in INFLATED], ids=[row[0] for row in INFLATED])
def test_inflate_refused(content: bytes, packed: bytes, reason: str) -> None:
    data = archive(files=((NAME, content, packed),))
    with pytest.raises(Verdict, match=reason):
        inflate(data, parse_zip(data)[0], 1000)


def test_genuine() -> None:
    data = archive(files=TWO)
    entries = parse_zip(data)
    assert [inflate(data, entry, 1000) for entry in entries] == [TEXT, b"b"] and top_folder(entries) == "TOP"
    with pytest.raises(Verdict, match="declares 160 bytes; a release's is at most 100"):
        inflate(data, entries[0], 100)
    with pytest.raises(Verdict, match="not in one top folder"):
        top_folder(parse_zip(archive(files=(TWO[0], (b"OTHER/B.txt", b"")))))


def test_read_zip(tmp_path: Path) -> None:
    (tmp_path / "big.zip").write_bytes(bytes((1 << 20) + 1))
    for path, status, reason in [(tmp_path, 2, "not a regular file"),
                                 (tmp_path / "big.zip", 1, "1048577 bytes, more than any release")]:
        with pytest.raises(Verdict, match=reason) as verdict:
            read_zip(str(path))
        assert verdict.value.status == status
