"""The strict readers of BUILDINFO.txt and release_contents.txt, on
crafted files: what each must accept, and the reason each rejection must
give."""
import pathlib

import pytest

import verify
import zip_reader
from buildinfo import (BUILDINFO_NAME, LAST_EPOCH, TOOLCHAIN_PACKAGES, BuildinfoError, buildinfo_text,
                       read_buildinfo, read_contents)
from pack import guide_problems, pack_zip

COMMIT = "0123456789abcdef" * 2 + "01234567"
LINES = [f"commit {COMMIT}", "version 1.0.1", "SOURCE_DATE_EPOCH 1796713870"] + [f"{p} 1.0-1" for p in TOOLCHAIN_PACKAGES]
DEVELOPMENT = "version 1.0.1-12-g0123456789ab"


def text(lines: list[str], end: str = "\r\n") -> bytes:
    return "".join(line + end for line in lines).encode("ascii")


def changed(number: int, line: str) -> list[str]:
    """LINES with line NUMBER (from 1) replaced by LINE."""
    return LINES[:number - 1] + [line] + LINES[number:]


ACCEPTED = [
    ("as the writer writes it", buildinfo_text(COMMIT, "1.0.1", 1796713870, [(p, "1.0-1") for p in TOOLCHAIN_PACKAGES]),
     LINES),
    ("signed", text(LINES + ["osslsigncode 2.5-4"]), LINES + ["osslsigncode 2.5-4"]),
    ("a development build", text(changed(2, DEVELOPMENT)), changed(2, DEVELOPMENT)),
    ("epoch 0", text(changed(3, "SOURCE_DATE_EPOCH 0")), changed(3, "SOURCE_DATE_EPOCH 0")),
    ("the last DOS date", text(changed(3, f"SOURCE_DATE_EPOCH {LAST_EPOCH}")),
     changed(3, f"SOURCE_DATE_EPOCH {LAST_EPOCH}")),
    ("the longest version", text(changed(4, "clang-19 1" + "+~:" * 21)), changed(4, "clang-19 1" + "+~:" * 21)),
]

REJECTED = [
    ("over the size limit", text(LINES + ["x" * 4096]), "longer than 4096 bytes"),
    ("LF line ends", text(LINES, "\n"), "not lines of printable ASCII, each ended by CRLF"),
    ("last line unended", text(LINES)[:-2], "not lines of printable ASCII, each ended by CRLF"),
    ("UTF-8", text(LINES).replace(b"1.0-1", b"1.0-\xc3\xa9", 1), "not lines of printable ASCII"),
    ("a line missing", text(LINES[:-1]), "7 lines, where the release script writes 8 (or 9 when it signs)"),
    ("two lines over", text(LINES + ["osslsigncode 2.5-4", "x 1"]), "10 lines"),
    ("lines swapped", text([LINES[1], LINES[0]] + LINES[2:]), "line 1 does not start with 'commit '"),
    ("another signer", text(LINES + ["signer 1.0"]), "line 9 does not start with 'osslsigncode '"),
    ("two spaces", text(changed(1, "commit  " + COMMIT)), "line 1: the commit is not in the form"),
    ("commit in capitals", text(changed(1, "commit " + COMMIT.upper())), "line 1: the commit is not"),
    ("commit cut short", text(changed(1, "commit " + COMMIT[:39])), "line 1: the commit is not"),
    ("no version line", text(LINES[:1] + LINES[2:]), "7 lines"),
    ("version of two numbers", text(changed(2, "version 1.0")), "line 2: the version is not"),
    ("development build's id cut", text(changed(2, DEVELOPMENT[:-1])), "line 2: the version is not"),
    ("version with a letter", text(changed(2, "version 1.0.1-rc1")), "line 2: the version is not"),
    ("epoch from 0", text(changed(3, "SOURCE_DATE_EPOCH 01796713870")), "line 3: the SOURCE_DATE_EPOCH is not"),
    ("epoch past the DOS dates", text(changed(3, f"SOURCE_DATE_EPOCH {LAST_EPOCH + 1}")),
     "SOURCE_DATE_EPOCH lies beyond what a ZIP entry's date holds"),
    ("no version", text(changed(4, "clang-19 ")), "line 4: the clang-19 is not"),
    ("version from a letter", text(changed(5, "lld-19 v1")), "line 5: the lld-19 is not"),
    ("version too long", text(changed(4, "clang-19 1" + "+~:" * 21 + "0")), "line 4: the clang-19 is not"),
]


@pytest.mark.parametrize("data, lines", [case[1:] for case in ACCEPTED], ids=[case[0] for case in ACCEPTED])
def test_accepted(data: bytes, lines: list[str]) -> None:
    assert list(read_buildinfo(data).items()) == [tuple(line.split(" ", 1)) for line in lines]


@pytest.mark.parametrize("data, reason", [case[1:] for case in REJECTED], ids=[case[0] for case in REJECTED])
def test_rejected(data: bytes, reason: str) -> None:
    with pytest.raises(BuildinfoError) as raised:
        read_buildinfo(data)
    assert reason in str(raised.value)


@pytest.mark.parametrize("raised", [BuildinfoError("line 1: what it says"), ValueError("a bug")],
                         ids=["a rejection", "a programming error"])
def test_the_check_rejects_only_what_the_reader_does(monkeypatch: pytest.MonkeyPatch,
                                                     raised: ValueError) -> None:
    def reader(data: bytes) -> dict[str, str]:
        raise raised
    monkeypatch.setattr(verify, "read_buildinfo", reader)
    data = pack_zip("TOP", {BUILDINFO_NAME: text(LINES)}, 0)
    entries = zip_reader.parse_zip(data)
    with pytest.raises(zip_reader.Verdict if isinstance(raised, BuildinfoError) else ValueError) as caught:
        verify.buildinfo_of(data, entries, "TOP")
    assert str(raised) in str(caught.value)


GUID = "{3EA03B52-C71A-433C-A626-E8AD96F2578B}"
CONTENTS = ["name N", "version 1.0", "program /b/A.exe", "linkmap /b/A.map", "sectionmap /b/A.lldmap",
            "program /b/B.exe", "linkmap /b/B.map", "sectionmap /b/B.lldmap", "guide /g.md",
            "vendor_id 0483", "product_id 1234", f"interface_guid {GUID}"]


def contents(lines: list[str]) -> bytes:
    return "".join(line + "\n" for line in lines).encode("utf-8")


def test_contents_read(tmp_path: pathlib.Path) -> None:
    (tmp_path / "contents").write_bytes(contents(CONTENTS))
    assert read_contents(str(tmp_path / "contents")) == {
        "name": "N", "version": "1.0", "program": ["/b/A.exe", "/b/B.exe"], "linkmap": ["/b/A.map", "/b/B.map"],
        "sectionmap": ["/b/A.lldmap", "/b/B.lldmap"], "guide": "/g.md", "vendor_id": "0483", "product_id": "1234",
        "interface_guid": GUID}


CONTENTS_REJECTED = [
    ("an unknown key", contents(CONTENTS[:2] + ["programs /b/A.exe"] + CONTENTS[3:]), "line 3 has no key"),
    ("an empty line", contents(CONTENTS[:2] + [""] + CONTENTS[2:]), "line 3 has no key"),
    ("no value", contents(CONTENTS[:1] + ["version"] + CONTENTS[2:]), "line 2 gives no version"),
    ("an empty value", contents(CONTENTS[:2] + ["program "] + CONTENTS[3:]), "line 3 gives no program"),
    ("a second name", contents(CONTENTS + ["name M"]), "line 13 gives a second name"),
    ("no guide", contents(CONTENTS[:8] + CONTENTS[9:]), "it names no guide"),
    ("no interface class", contents(CONTENTS[:-1]), "it names no interface_guid"),
    ("a lower-case vendor id", contents(CONTENTS[:9] + ["vendor_id 048a"] + CONTENTS[10:]),
     "the vendor_id '048a' is not in the form"),
    ("a product id in 0x form", contents(CONTENTS[:10] + ["product_id 0x1234"] + CONTENTS[11:]),
     "the product_id '0x1234' is not in the form"),
    ("a class without braces", contents(CONTENTS[:-1] + [f"interface_guid {GUID[1:-1]}"]),
     "the interface_guid '3EA03B52-"),
    ("no program", contents([c for c in CONTENTS if not c.startswith("program")]), "it names no program"),
    ("UTF-16", "\n".join(CONTENTS).encode("utf-16"), "not UTF-8"),
    ("missing", None, "cannot be read (No such file or directory)"),
]


@pytest.mark.parametrize("data, reason", [case[1:] for case in CONTENTS_REJECTED],
                         ids=[case[0] for case in CONTENTS_REJECTED])
def test_contents_rejected(tmp_path: pathlib.Path, data: bytes | None, reason: str) -> None:
    path = tmp_path / "release_contents.txt"
    if data is not None:
        path.write_bytes(data)
    with pytest.raises(SystemExit) as raised:
        read_contents(str(path))
    assert str(raised.value.code).startswith(f"{path}: ") and reason in str(raised.value.code)


# What the guide may hold where it names the build's version and the
# adapter's ids: each placeholder, and nothing else of them.
GUIDE_CASES = [
    ("placeholders only", b"USB\\VID_@VENDOR_ID@&PID_@PRODUCT_ID@, @INTERFACE_GUID@, N-@VERSION@", []),
    ("an id inside another number", b"HRESULT 0x80070483, 0x1234ABCD", []),
    ("the hardware id by hand", b"USB\\VID_0483&PID_1234", ["names 0483 by hand", "names 1234 by hand"]),
    ("the vendor id as C writes it", b"kBrelvikVendorId = 0x0483;", ["names 0483 by hand"]),
    ("the class by hand, lower case, no braces", GUID[1:-1].lower().encode(), [f"names {GUID} by hand"]),
    ("the version by hand", b"release 1.0 of", ["names 1.0 by hand; write @VERSION@ there"]),
    ("a misspelt placeholder", b"PID_@PRODCT_ID@", ["holds @PRODCT_ID@, which the packer does not fill"]),
]


@pytest.mark.parametrize("source, expected", [case[1:] for case in GUIDE_CASES], ids=[case[0] for case in GUIDE_CASES])
def test_guide_problems(tmp_path: pathlib.Path, source: bytes, expected: list[str]) -> None:
    (tmp_path / "contents").write_bytes(contents(CONTENTS))
    problems = guide_problems(source, read_contents(str(tmp_path / "contents")))
    assert len(problems) == len(expected) and all(want in got for want, got in zip(expected, problems))
