"""Release ZIPs made to fool the release check, and a seeded run of random
mutations of the genuine ones; run by check_release.py hostile.

Each case runs verify.py's main as verify-release.sh runs verify.py
(examine, then compare against the tested programs and this tree's packer,
as the tested commit's) in a child forked from this process, under a
memory limit and a time limit; each mutant runs it in this process. The
packer runs in the process that calls it, and what stays the same from one
ZIP to the next (the link maps' reading, the package versions installed)
is read once: verify-release.sh's own runs, in check_release.py verify,
start them as processes of their own. Whatever the input,
the output must be printable ASCII lines, the last of them the one verdict,
never the last-resort one for an unforeseen error, and the exit status 0
(accepted) only for the cases that say so. Mutants of a genuine ZIP must
all be rejected; a mutant of a signed program's signature block (header
checksum mended, packed as the packer packs) may pass only as the real
signer's signature verified against the throwaway CA.
"""
import collections
import contextlib
import copy
import datetime
import functools
import hashlib
import io
import os
import random
import re
import resource
import select
import signal
import shutil
import struct
import subprocess
import sys
import time
import traceback
import zipfile
import zlib
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, ClassVar, Protocol, TypedDict, cast

import pefile
from asn1crypto import algos, cms, core, parser, x509
from cryptography import x509 as crypto_x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.x509.name import _ASN1Type
from cryptography.x509.oid import ExtendedKeyUsageOID

from buildinfo import (BUILDINFO_NAME, SIGNER_PACKAGE, TOOLCHAIN_PACKAGES, BuildinfoError, Contents, Programs,
                       read_buildinfo, read_contents)
import notices
import pack
from pack import GUIDE_NAME, pack_zip, sign, third_party_files
from notices import NOTICES_NAME
from zip_reader import shown
import verify

PIPE, WINUSB = "BRELVIK_DFU_PIPE.exe", "BRELVIK_DFU_WINUSB.exe"
MEMORY_LIMIT = 512 << 20
CASE_SECONDS = 30
MUTANTS, SIGNATURE_MUTANTS, SEED = 3000, 300, 17
LINE_LIMIT = 1000


class EntryFields(TypedDict, total=False):
    """What raw_zip writes for an entry in place of what its bytes give."""
    method: int
    flags: int
    size: int
    packed: bytes


# A ZIP entry for raw_zip: its name, its bytes and, optionally, fields.
Entry = tuple[bytes, bytes] | tuple[bytes, bytes, EntryFields]


class Release:
    """A genuine release ZIP and its files."""

    def __init__(self, path: str) -> None:
        with open(path, "rb") as source:
            self.data = source.read()
        with zipfile.ZipFile(io.BytesIO(self.data)) as archive:
            self.top = archive.namelist()[0].split("/")[0]
            self.files = {name.split("/", 1)[1]: archive.read(name) for name in archive.namelist()}
            self.spots = [at for entry in archive.infolist()
                          for at in range(entry.header_offset, entry.header_offset + 30 + len(entry.filename))]
            self.spots += range(archive.start_dir, len(self.data))
        self.epoch = int(read_buildinfo(self.files[BUILDINFO_NAME])["SOURCE_DATE_EPOCH"])

    def zip_name(self) -> str:
        return f"{self.top}-win64.zip"

    def name(self, file: str) -> bytes:
        return f"{self.top}/{file}".encode("ascii")

    # The release's contents (read_contents), once run() knows them.
    contents: ClassVar[Contents | None] = None

    def pack(self, changes: Mapping[str, bytes | None]) -> bytes:
        """The packer's own ZIP of the files with CHANGES (None leaves one out).
        With a program or BUILDINFO.txt changed, the notices and the SBOM
        are made anew for it, as a forger would, unless CHANGES names them
        too."""
        files: dict[str, bytes | None] = {**self.files, **changes}
        derived = {NOTICES_NAME, f"{self.top}.cdx.json"}
        remade = any(name.endswith(".exe") or name == BUILDINFO_NAME for name in changes)
        if self.contents and remade and not derived & set(changes):
            kept = {name: data for name, data in files.items() if data is not None}
            try:
                info = read_buildinfo(kept.get(BUILDINFO_NAME, b""))
            except BuildinfoError:
                info = None  # a malformed one: the check stops there
            if info:
                made = third_party_files(self.contents, info, kept)
                files.update({name: made[name] for name in derived})
        packed: bytes = pack_zip(
            self.top, {name: data for name, data in files.items() if data is not None}, self.epoch)
        return packed

    def entries(self, changes: Mapping[str, Entry] | None = None) -> list[Entry]:
        """(name, bytes[, fields]) for raw_zip, with CHANGES ({file: entry})."""
        return [(changes or {}).get(file, (self.name(file), data)) for file, data in self.files.items()]


def raw_zip(entries: list[Entry], before: bytes = b"", hidden: Entry | None = None, after: bytes = b"") -> bytes:
    """A ZIP laid out as the packer lays one out, of ENTRIES: (name, bytes)
    or (name, bytes, fields), where fields set the method, flags, declared
    size or deflate data; BEFORE and AFTER around it, and HIDDEN, an entry
    ahead of the first that the central directory does not list."""
    out, directory = bytearray(before), bytearray()
    for index, (name, content, *given) in enumerate(([hidden] if hidden else []) + entries):
        fields: EntryFields = given[0] if given else {}
        squeezer = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS)
        packed = fields.get("packed") or squeezer.compress(content) + squeezer.flush()
        header = (20, fields.get("flags", 0), fields.get("method", 8), 0, 0x21, zlib.crc32(content),
                  len(packed), fields.get("size", len(content)), len(name), 0)
        if not (hidden and index == 0):
            directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x314, *header, 0, 0, 0,
                                     0o100644 << 16, len(out)) + name
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, *header) + name + packed
    count = len(entries)
    return bytes(out + directory + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(directory),
                                                len(out), 0)) + after


def deflated_zeros(mebibytes: int) -> bytes:
    """Deflate data of that many MiB of zeros, about 1 KiB a MiB."""
    squeezer = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS)
    block = squeezer.compress(bytes(1 << 20)) + squeezer.flush(zlib.Z_FULL_FLUSH)
    return block * mebibytes + b"\x03\x00"  # an empty last block


def security(program: bytes) -> tuple[int, int]:
    """Offsets of the header checksum and the security directory entry."""
    header = struct.unpack_from("<I", program, 0x3C)[0]
    return header + 24 + 64, header + 24 + 112 + 4 * 8


def with_checksum(program: bytes) -> bytes:
    changed = bytearray(program)
    struct.pack_into("<I", changed, security(changed)[0], pefile.PE(data=bytes(changed)).generate_checksum())
    return bytes(changed)


def flipped(program: bytes) -> bytes:
    changed = bytearray(program)
    changed[pefile.PE(data=program, fast_load=True).sections[0].PointerToRawData + 64] ^= 0x01
    return bytes(changed)


def fewer_directories(program: bytes) -> bytes:
    changed = bytearray(program)
    struct.pack_into("<I", changed, struct.unpack_from("<I", program, 0x3C)[0] + 24 + 108, 4)
    return bytes(changed)


def table_of(program: bytes) -> tuple[int, bytes]:
    table, size = struct.unpack_from("<II", program, security(program)[1])
    return table, program[table:table + size]


def grafted(program: bytes, signed: bytes) -> bytes:
    """PROGRAM with the signature of another, SIGNED."""
    table = table_of(signed)[1]
    changed = bytearray(program + table)
    struct.pack_into("<II", changed, security(program)[1], len(program), len(table))
    return with_checksum(changed)


def second_table(signed: bytes) -> bytes:
    at, table = table_of(signed)
    changed = bytearray(signed + table)
    struct.pack_into("<II", changed, security(signed)[1], at, 2 * len(table))
    return with_checksum(changed)


def checksum_changed(signed: bytes) -> bytes:
    changed = bytearray(signed)
    changed[security(signed)[0]] ^= 0x01
    return bytes(changed)


def version_changed(signed: bytes) -> bytes:
    """The SignedData's version (which its signature does not cover) 3, not 1."""
    at = table_of(signed)[0] + 8 + 25  # 30 82 LL LL, the OID, A0 82 LL LL, 30 82 LL LL, 02 01
    changed = bytearray(signed)
    changed[at] = 3
    return with_checksum(changed)


def signature_flipped(signed: bytes) -> bytes:
    """The last byte of the signature value (the PKCS#7's last) changed."""
    at = table_of(signed)[0] + 8
    length = 4 + struct.unpack_from(">H", signed, at + 2)[0]  # 30 82 LL LL
    changed = bytearray(signed)
    changed[at + length - 1] ^= 0x01
    return with_checksum(changed)


def tlv(tag: int, body: bytes) -> bytes:
    """One DER element."""
    size = len(body)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | (size.bit_length() + 7) // 8]) + size.to_bytes(
        (size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


JUNK = tlv(0x30, tlv(0x02, b"\x01"))  # a SEQUENCE holding one INTEGER


def signed_data_of(program: bytes) -> cms.SignedData:
    table = table_of(program)[1]
    length = struct.unpack_from("<I", table)[0]
    return cms.ContentInfo.load(table[8:length].rstrip(b"\0"))["content"]


def with_signed_data(program: bytes, parts: list[bytes]) -> bytes:
    """PROGRAM with its PKCS#7 replaced by a SignedData of PARTS (DER
    elements, in order), padded and its header checksum mended."""
    block = tlv(0x30, cms.ContentType("signed_data").dump() + tlv(0xA0, tlv(0x30, b"".join(parts))))
    block += bytes(-len(block) % 8)
    at = table_of(program)[0]
    changed = bytearray(program[:at] + struct.pack("<IHH", 8 + len(block), 0x200, 2) + block)
    struct.pack_into("<II", changed, security(program)[1], at, 8 + len(block))
    return with_checksum(bytes(changed))


def parts_of(signed: cms.SignedData, certificates: list[bytes] | None = None, signer: bytes | None = None,
             before_signers: bytes = b"") -> list[bytes]:
    """The SignedData's elements, with CERTIFICATES (DER of each) or SIGNER
    (DER of a SignerInfo) in place of its own, BEFORE_SIGNERS ahead of its
    signers."""
    if certificates is None:
        certificates = [item.dump() for item in signed["certificates"]]
    signers = tlv(0x31, signer or signed["signer_infos"][0].dump())
    return [signed["version"].dump(), signed["digest_algorithms"].dump(), signed["encap_content_info"].dump(),
            tlv(0xA0, b"".join(certificates)), before_signers, signers]


def edited(program: bytes, edit: Callable[[cms.SignedData, list[bytes]], list[bytes]]) -> bytes:
    """PROGRAM with EDIT(SignedData, its parts) giving the parts of its new one."""
    signed = signed_data_of(program)
    return with_signed_data(program, edit(signed, parts_of(signed)))


def signer_edited(program: bytes, edit: Callable[[cms.SignerInfo], object],
                  certificates: Iterable[bytes] = ()) -> bytes:
    """PROGRAM with EDIT(SignerInfo) done on a copy of its signer, and
    CERTIFICATES added to its signature's."""
    signed = signed_data_of(program)
    signer = cms.SignerInfo.load(signed["signer_infos"][0].dump())
    edit(signer)
    return with_signed_data(program, parts_of(
        signed, [item.dump() for item in signed["certificates"]] + list(certificates), signer.dump(force=True)))


def with_unsigned(program: bytes, code: str, value: bytes, certificates: Iterable[bytes] = ()) -> bytes:
    """PROGRAM with the unsigned attribute CODE of one VALUE (DER), and
    CERTIFICATES added to its signature's."""
    signed = signed_data_of(program)
    body = parser.parse(signed["signer_infos"][0].dump())[4]
    attribute = tlv(0x30, core.ObjectIdentifier(code).dump() + tlv(0x31, value))
    return with_signed_data(program, parts_of(
        signed, [item.dump() for item in signed["certificates"]] + list(certificates),
        tlv(0x30, body + tlv(0xA1, attribute))))


def signer_certificate(program: bytes) -> x509.Certificate:
    signed = signed_data_of(program)
    serial = signed["signer_infos"][0]["sid"].chosen["serial_number"].native
    return next(item.chosen for item in signed["certificates"] if item.chosen.serial_number == serial)


def signer_body(signed: cms.SignedData) -> bytes:
    """The contents of the SignedData's one SignerInfo, as they came."""
    body: bytes = parser.parse(signed["signer_infos"][0].dump())[4]
    return body


def in_signer(program: bytes, old: bytes, new: bytes) -> bytes:
    """PROGRAM with the part OLD (DER) of its signer written as NEW."""
    signed = signed_data_of(program)
    body = signer_body(signed)
    assert body.count(old) == 1, "the part to rewrite occurs once in the signer"
    return with_signed_data(program, parts_of(signed, signer=tlv(0x30, body.replace(old, new))))


# BER's freedoms, each in a part of the genuine signature block that no
# signature covers (or, for the DEFAULT, in a certificate its CA signs as
# written): a reader that takes BER sees the same signature.
def long_length(program: bytes) -> bytes:
    """The signer's SEQUENCE with a length of 3 bytes, where 2 do."""
    signed = signed_data_of(program)
    body = signer_body(signed)
    return with_signed_data(program, parts_of(signed, signer=b"\x30\x83" + len(body).to_bytes(3, "big") + body))


def long_integer(program: bytes) -> bytes:
    """The SignedData's version 1 written in two bytes."""
    return edited(program, lambda d, parts: [b"\x02\x02\x00\x01"] + parts[1:])


def indefinite_length(program: bytes) -> bytes:
    """The set of signers with an indefinite length."""
    return edited(program, lambda d, parts: parts[:5] + [b"\x31\x80" + d["signer_infos"][0].dump() + b"\x00\x00"])


def constructed_string(program: bytes) -> bytes:
    """The signature value as a constructed OCTET STRING of two pieces."""
    value = signed_data_of(program)["signer_infos"][0]["signature"].native
    return in_signer(program, core.OctetString(value).dump(),
                     tlv(0x24, core.OctetString(value[:100]).dump() + core.OctetString(value[100:]).dump()))


def unsorted_attributes(program: bytes) -> bytes:
    """The signed attributes in the reverse of DER's order, in which
    OpenSSL, which sorts them again to verify, finds the same signature."""
    attributes = signed_data_of(program)["signer_infos"][0]["signed_attrs"]
    return in_signer(program, attributes.dump(), tlv(0xA0, b"".join(item.dump() for item in reversed(attributes))))


class Context:
    """The genuine releases, and signatures made with a certificate of
    another key bearing the real signer's subject."""

    def __init__(self, work: str, zips: dict[str, str], keys: str, subject: str) -> None:
        self.work, self.keys = work, keys
        self.unsigned, self.signed, self.pfx = (Release(zips[kind]) for kind in ["unsigned", "signed", "pfx"])
        self.folder = os.path.join(work, "hostile")
        shutil.rmtree(self.folder, ignore_errors=True)
        fake = {"key": os.path.join(keys, "fake.key"), "cert": os.path.join(keys, "fake.pem")}
        command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", fake["key"],
                   "-subj", subject, "-days", "2", "-out", fake["cert"]]
        for extension in ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature",
                          "extendedKeyUsage=codeSigning"]:
            command += ["-addext", extension]
        self.tool(command)
        self.fake = fake
        self.subject = subject
        # A second leaf of the release's CA (an insider's), one only for key
        # encipherment, and a time stamping authority of its own.
        self.issue("insider", "/O=Insider Ltd/CN=Insider", "keyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=codeSigning\n", "intermediate", 40)
        self.issue("keyenc", "/O=Throwaway Test Signer/CN=Key encipherment", "keyUsage=critical,keyEncipherment\n",
                   "intermediate", 41)
        self.issue("tsa-ca", "/CN=Throwaway Test TSA Root", "basicConstraints=critical,CA:TRUE\n"
                   "keyUsage=critical,keyCertSign,cRLSign\n", None, 50)
        self.issue("tsa", "/CN=Throwaway Test TSA", "keyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=critical,timeStamping\n", "tsa-ca", 51)
        self.issue("serverauth", "/O=Throwaway Test Signer/CN=Server", "keyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=serverAuth\n", "intermediate", 42)
        self.issue("comma", "/CN=BRELVIK release test,O=Throwaway Test Signer", "keyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=codeSigning\n", "intermediate", 43)
        # A self-signed CA of a third party's, which anyone can add to a signature.
        self.issue("pca", "/CN=Third Party Code Signing PCA", "basicConstraints=critical,CA:TRUE\n"
                   "keyUsage=critical,keyCertSign,cRLSign\n", None, 60)
        # The real signer's name with its common name a BMPString (_type: Debian 12's stubs of
        # the library leave it out, Debian 13's have it).
        self.issue_spelt("bmp", crypto_x509.Name([
            crypto_x509.NameAttribute(crypto_x509.NameOID.ORGANIZATION_NAME, "Throwaway Test Signer"),
            cast(Any, crypto_x509.NameAttribute)(crypto_x509.NameOID.COMMON_NAME, "BRELVIK release test",
                                                 _type=_ASN1Type.BMPString)]), 44)
        # --ca files: the CA after another certificate; the CA and a block that is none.
        with open(os.path.join(keys, "ca-second.pem"), "wb") as out:
            out.write(self.pem("fake.pem") + self.pem("ca.pem"))
        with open(os.path.join(keys, "ca-junk.pem"), "wb") as out:
            out.write(self.pem("ca.pem") + b"-----BEGIN CERTIFICATE-----\nMAMCAQE=\n-----END CERTIFICATE-----\n")
        self.fingerprints = {name: self.fingerprint(os.path.join(keys, f"{name}.pem")) for name in ["signer", "fake"]}

    def issue(self, name: str, subject: str, extensions: str, issuer: str | None, serial: int) -> None:
        """keys/NAME.pem and .key, issued by keys/ISSUER.pem (None: by itself)."""
        key, cert = os.path.join(self.keys, f"{name}.key"), os.path.join(self.keys, f"{name}.pem")
        request = ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-subj", subject]
        if issuer is None:
            self.tool(request + ["-x509", "-days", "2", "-set_serial", str(serial), "-out", cert]
                      + [arg for line in extensions.splitlines() for arg in ("-addext", line)])
            return
        with open(os.path.join(self.keys, f"{name}.ext"), "w", encoding="ascii") as text:
            text.write("basicConstraints=critical,CA:FALSE\n" + extensions)
        self.tool(request + ["-out", os.path.join(self.keys, f"{name}.csr")])
        self.tool(["openssl", "x509", "-req", "-in", os.path.join(self.keys, f"{name}.csr"), "-days", "2",
                   "-CA", os.path.join(self.keys, f"{issuer}.pem"), "-CAkey", os.path.join(self.keys, f"{issuer}.key"),
                   "-set_serial", str(serial), "-extfile", os.path.join(self.keys, f"{name}.ext"), "-out", cert])
        with open(os.path.join(self.keys, f"{name}-chain.pem"), "wb") as chain:
            for part in (cert, os.path.join(self.keys, f"{issuer}.pem")):
                with open(part, "rb") as source:
                    chain.write(source.read())

    def issue_spelt(self, name: str, subject: crypto_x509.Name, serial: int) -> None:
        """keys/NAME.pem, .key and -chain.pem: a code-signing certificate of
        the release's intermediate CA for SUBJECT, each value of the string
        type it gives (which openssl req does not let one choose)."""
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        now = datetime.datetime.now(datetime.timezone.utc)
        usage = crypto_x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                                     data_encipherment=False, key_agreement=False, key_cert_sign=False,
                                     crl_sign=False, encipher_only=False, decipher_only=False)
        made = (crypto_x509.CertificateBuilder().subject_name(subject)
                .issuer_name(crypto_x509.load_pem_x509_certificate(self.pem("intermediate.pem")).subject)
                .public_key(key.public_key()).serial_number(serial)
                .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
                .add_extension(crypto_x509.BasicConstraints(ca=False, path_length=None), critical=True)
                .add_extension(usage, critical=True)
                .add_extension(crypto_x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]),
                               critical=False)
                .sign(self.rsa_key("intermediate.key"), hashes.SHA256()))
        with open(os.path.join(self.keys, f"{name}.key"), "wb") as out:
            out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                        serialization.NoEncryption()))
        certificate = made.public_bytes(serialization.Encoding.PEM)
        for file, text in [(f"{name}.pem", certificate), (f"{name}-chain.pem", certificate + self.pem("intermediate.pem"))]:
            with open(os.path.join(self.keys, file), "wb") as out:
                out.write(text)

    def with_certificates(self, program: bytes, added: list[str], left_out: str | None = None) -> bytes:
        """PROGRAM with the certificates of keys/ADDED (file names) added
        to its signature's, and the one of keys/LEFT_OUT taken out: what
        anyone can do without the signer's key."""
        dropped = self.der(left_out) if left_out else None
        return edited(program, lambda d, parts: parts_of(
            d, [item.dump() for item in d["certificates"] if item.dump() != dropped]
            + [self.der(name) for name in added]))

    def der(self, name: str) -> bytes:
        return crypto_x509.load_pem_x509_certificate(self.pem(name)).public_bytes(serialization.Encoding.DER)

    def pem(self, name: str) -> bytes:
        with open(os.path.join(self.keys, name), "rb") as source:
            return source.read()

    @functools.lru_cache(maxsize=None)
    def signed_by(self, who: str, name: str) -> bytes:
        """The unsigned release's program NAME signed with keys/WHO.key."""
        programs, signed = self.folders("programs", f"signed-by-{who}")
        with open(os.path.join(programs, name), "wb") as out:
            out.write(self.unsigned.files[name])
        program: bytes = sign(
            os.path.join(programs, name), os.path.join(self.keys, f"{who}-chain.pem"),
            os.path.join(self.keys, f"{who}.key"), self.signed.epoch, None, None, signed)
        return program

    def rsa_key(self, name: str) -> rsa.RSAPrivateKey:
        """The private key of keys/NAME: the test makes RSA keys alone."""
        key = serialization.load_pem_private_key(self.pem(name), None)
        if not isinstance(key, rsa.RSAPrivateKey):
            sys.exit(f"FAILED: {os.path.join(self.keys, name)} is not an RSA key")
        return key

    def relabelled(self, program: bytes, subject: str) -> bytes:
        """PROGRAM with a certificate added (after the genuine one, which
        osslsigncode then finds first) that bears its signer's key and
        serial, SUBJECT, and its issuer's name in small letters, and its
        signer's issuer and serial pointed at that certificate."""
        genuine = signer_certificate(program)
        issuer = crypto_x509.Name([crypto_x509.NameAttribute(crypto_x509.ObjectIdentifier(pair["type"].dotted),
                                                             pair["value"].native.lower())
                                   for rdn in genuine.issuer.chosen for pair in rdn])
        name = crypto_x509.Name([crypto_x509.NameAttribute(crypto_x509.ObjectIdentifier(
            {"O": "2.5.4.10", "CN": "2.5.4.3"}[key]), value)
            for key, value in (part.split("=", 1) for part in subject.strip("/").split("/"))])
        key = self.rsa_key("fake.key")
        now = datetime.datetime.now(datetime.timezone.utc)
        made = (crypto_x509.CertificateBuilder().subject_name(name).issuer_name(issuer)
                .public_key(cast(rsa.RSAPublicKey, serialization.load_der_public_key(genuine.public_key.dump())))
                .serial_number(genuine.serial_number).not_valid_before(now - datetime.timedelta(days=1))
                .not_valid_after(now + datetime.timedelta(days=2)).sign(key, hashes.SHA256()))
        added = x509.Certificate.load(made.public_bytes(serialization.Encoding.DER))

        def point(signer: cms.SignerInfo) -> None:
            signer["sid"] = cms.SignerIdentifier({"issuer_and_serial_number": {
                "issuer": added.issuer, "serial_number": added.serial_number}})
        return signer_edited(program, point, [added.dump()])

    def revocation_list(self) -> bytes:
        """DER of an empty CRL of the release's intermediate CA."""
        key = self.rsa_key("intermediate.key")
        issuer = crypto_x509.load_pem_x509_certificate(self.pem("intermediate.pem")).subject
        now = datetime.datetime.now(datetime.timezone.utc)
        crl = (crypto_x509.CertificateRevocationListBuilder().issuer_name(issuer).last_update(now)
               .next_update(now + datetime.timedelta(days=1)).sign(key, hashes.SHA256()))
        return crl.public_bytes(serialization.Encoding.DER)

    def countersigned(self, program: bytes) -> bytes:
        """PROGRAM with a countersignature by the test's own authority."""
        signature = signed_data_of(program)["signer_infos"][0]["signature"].native
        authority = x509.Certificate.load(self.tool(["openssl", "x509", "-in", os.path.join(self.keys, "tsa.pem"),
                                                     "-outform", "DER"]))
        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        attributes = cms.CMSAttributes([
            cms.CMSAttribute({"type": "content_type", "values": ["data"]}),
            cms.CMSAttribute({"type": "signing_time", "values": [cms.Time({"utc_time": now})]}),
            cms.CMSAttribute({"type": "message_digest", "values": [hashlib.sha256(signature).digest()]})])
        key = self.rsa_key("tsa.key")
        info = cms.SignerInfo({
            "version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
                "issuer": authority.issuer, "serial_number": authority.serial_number}}),
            "digest_algorithm": {"algorithm": "sha256", "parameters": core.Null()}, "signed_attrs": attributes,
            "signature_algorithm": {"algorithm": "rsassa_pkcs1v15", "parameters": core.Null()},
            "signature": key.sign(attributes.dump(), padding.PKCS1v15(), hashes.SHA256())})
        return with_unsigned(program, "1.2.840.113549.1.9.6", info.dump(), [authority.dump()])

    def rfc3161(self, program: bytes) -> bytes:
        """PROGRAM with an RFC 3161 timestamp by the test's own authority,
        made by openssl ts as a server makes one."""
        folder, = self.folders("tsa")
        with open(os.path.join(folder, "signature.bin"), "wb") as out:
            out.write(signed_data_of(program)["signer_infos"][0]["signature"].native)
        with open(os.path.join(folder, "tsa.cnf"), "w", encoding="ascii") as out:
            out.write(f"[tsa]\ndefault_tsa = here\n[here]\nserial = {folder}/serial\n"
                      f"signer_cert = {self.keys}/tsa.pem\nsigner_key = {self.keys}/tsa.key\n"
                      "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
                      "ess_cert_id_alg = sha256\n")
        with open(os.path.join(folder, "serial"), "w", encoding="ascii") as out:
            out.write("01\n")
        self.tool(["openssl", "ts", "-query", "-data", os.path.join(folder, "signature.bin"), "-sha256", "-cert",
                   "-out", os.path.join(folder, "query.tsq")])
        self.tool(["openssl", "ts", "-reply", "-config", os.path.join(folder, "tsa.cnf"), "-queryfile",
                   os.path.join(folder, "query.tsq"), "-token_out", "-out", os.path.join(folder, "token.der")])
        with open(os.path.join(folder, "token.der"), "rb") as source:
            return with_unsigned(program, "1.3.6.1.4.1.311.3.3.1", source.read())

    def tool(self, command: list[str]) -> bytes:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, check=False)
        if result.returncode != 0:
            sys.exit(f"FAILED: {' '.join(command)}:\n{result.stdout.decode(errors='replace')}")
        return result.stdout

    def fingerprint(self, pem: str) -> str:
        return hashlib.sha256(self.tool(["openssl", "x509", "-in", pem, "-outform", "DER"])).hexdigest().upper()

    def folders(self, *names: str) -> list[str]:
        paths = [os.path.join(self.folder, name) for name in names]
        for path in paths:
            os.makedirs(path, exist_ok=True)
        return paths

    @functools.lru_cache(maxsize=None)
    def fake_signed(self, name: str) -> bytes:
        """The unsigned release's program NAME signed as the release script signs."""
        programs, signed = self.folders("programs", "fake-signed")
        with open(os.path.join(programs, name), "wb") as out:
            out.write(self.unsigned.files[name])
        program: bytes = sign(
            os.path.join(programs, name), self.fake["cert"], self.fake["key"], self.signed.epoch, None, None, signed)
        return program

    def osslsigncode(self, name: str, *arguments: str) -> bytes:
        """The signed release's program NAME through osslsigncode ARGUMENTS."""
        programs, changed = self.folders("signed-programs", "changed")
        for folder in (programs, changed):
            if os.path.exists(os.path.join(folder, name)):
                os.remove(os.path.join(folder, name))
        with open(os.path.join(programs, name), "wb") as out:
            out.write(self.signed.files[name])
        self.tool(["osslsigncode", *arguments, "-in", os.path.join(programs, name), "-out", os.path.join(changed, name)])
        with open(os.path.join(changed, name), "rb") as source:
            return source.read()

    def described(self, name: str, program_name: str, url: str) -> bytes:
        """The unsigned release's program NAME signed by the insider, with
        PROGRAM_NAME and URL in its SpcSpOpusInfo (osslsigncode -n, -i)."""
        programs, signed = self.folders("programs", "described")
        with open(os.path.join(programs, name), "wb") as out:
            out.write(self.unsigned.files[name])
        out_path = os.path.join(signed, name)
        with contextlib.suppress(FileNotFoundError):
            os.remove(out_path)
        self.tool(["osslsigncode", "sign", "-certs", os.path.join(self.keys, "insider-chain.pem"),
                   "-key", os.path.join(self.keys, "insider.key"), "-h", "sha256", "-n", program_name, "-i", url,
                   "-time", str(self.signed.epoch), "-in", os.path.join(programs, name), "-out", out_path])
        with open(out_path, "rb") as source:
            return source.read()

    def default_written_out(self, program: bytes) -> bytes:
        """PROGRAM with its signer's certificate issued again by the
        release's intermediate CA, its extended key usage's criticality
        written out as FALSE, its DEFAULT: the same key, name and serial."""
        genuine = signer_certificate(program)
        tbs = genuine["tbs_certificate"]
        extensions = [tlv(0x30, item["extn_id"].dump() + b"\x01\x01\x00" + item["extn_value"].dump())
                      if item["extn_id"].native == "extended_key_usage" else item.dump() for item in tbs["extensions"]]
        body = tlv(0x30, b"".join(tbs[name].dump() for name in ["version", "serial_number", "signature", "issuer",
                                                                 "validity", "subject", "subject_public_key_info"])
                   + tlv(0xA3, tlv(0x30, b"".join(extensions))))
        value = self.rsa_key("intermediate.key").sign(body, padding.PKCS1v15(), hashes.SHA256())
        issued = tlv(0x30, body + genuine["signature_algorithm"].dump() + tlv(0x03, b"\0" + value))
        return edited(program, lambda d, parts: parts_of(
            d, [issued if item.dump() == genuine.dump() else item.dump() for item in d["certificates"]]))

    def nested(self, name: str) -> bytes:
        """With a second signature nested in its own."""
        return self.osslsigncode(name, "sign", "-nest", "-certs", self.fake["cert"], "-key", self.fake["key"],
                                 "-h", "sha256", "-time", str(self.signed.epoch))


def with_commit(buildinfo: bytes, commit: str) -> bytes:
    return re.sub(rb"commit [0-9a-f]{40}", b"commit " + commit.encode("ascii"), buildinfo)


def dated(release: Release, epoch: int) -> bytes:
    """The release as packed with another SOURCE_DATE_EPOCH than its commit's."""
    buildinfo = re.sub(rb"SOURCE_DATE_EPOCH [0-9]+", b"SOURCE_DATE_EPOCH %d" % epoch, release.files[BUILDINFO_NAME])
    packed: bytes = pack_zip(release.top, {**release.files, BUILDINFO_NAME: buildinfo}, epoch)
    return packed


def with_version(buildinfo: bytes, package: bytes, version: bytes) -> bytes:
    return re.sub(rb"(?m)^" + package + rb" [^\r]*", package + b" " + version, buildinfo)


OTHER_COMMIT = "0123456789abcdef0123456789abcdef01234567"
ESCAPES = "\x1b[2K\x1b[1A\r"  # erase the line, up one: draws over what came before

# name (the ZIP is the genuine one's file name in a folder of that name,
# or RENAMED's), release, alteration(release, context),
# with --ca (the throwaway CA, or a file of that name in its folder), exit
# status, a line the output must hold ({signer} and {fake}: the
# fingerprints of the real signer's certificate and of the impostor's),
# and optionally {"tsa_ca": a file of the CA folder for --tsa-ca}.
Alteration = Callable[[Release, Context], bytes]
Case = (tuple[str, str, Alteration, bool | str, int, str]
        | tuple[str, str, Alteration, bool | str, int, str, dict[str, str]])
CASES: list[Case] = [
    ("unsigned", "unsigned", lambda r, c: r.data, False, 0, "BRELVIK_DFU_PIPE.exe: this source's build, unsigned"),
    ("signed", "signed", lambda r, c: r.data, True, 0, "certificate SHA-256: {signer}"),
    ("signed_without_ca", "signed", lambda r, c: r.data, False, 0, "chain: not verified"),
    # Signed with the certificates of a PFX exported with its whole path: the root left out.
    ("signed_from_a_whole_path_pfx", "pfx", lambda r, c: r.data, True, 0, "chain: verified against"),
    # Another program under a program's name, entries hidden, added, missing or moved.
    ("legacy_program_first_under_winusb_name", "unsigned",
     lambda r, c: raw_zip([(r.name(WINUSB), r.files[PIPE]), *r.entries()]), False, 1, "appears twice"),
    ("nul_in_name", "signed", lambda r, c: raw_zip(r.entries({WINUSB: (r.name(WINUSB) + b"\0.txt", r.files[PIPE])})),
     False, 1, "BRELVIK_DFU_WINUSB.exe\\x00.txt"),
    ("hidden_local_entry", "unsigned", lambda r, c: raw_zip(r.entries(), hidden=(r.name(WINUSB), r.files[PIPE])),
     False, 1, "does not start where the entry before it ends"),
    ("junk_before", "unsigned", lambda r, c: b"MZ" + bytes(510) + r.data, False, 1, "512 bytes before its first entry"),
    ("junk_after", "signed", lambda r, c: r.data + b"PK\x03\x04", False, 1, "4 bytes after its end record"),
    ("comment", "unsigned", lambda r, c: r.data[:-2] + b"\x07\x00checked", False, 1, "7 bytes after its end record"),
    ("entries_reordered", "unsigned", lambda r, c: raw_zip(r.entries()[::-1]), False, 1, "not in the order"),
    ("guide_missing", "unsigned", lambda r, c: r.pack({GUIDE_NAME: None}), False, 1, "USER_GUIDE.txt: missing"),
    ("guide_renamed", "signed", lambda r, c: r.pack({GUIDE_NAME: None, "README.txt": r.files[GUIDE_NAME]}),
     False, 1, "README.txt: not part of a release"),
    ("planted_dll", "unsigned", lambda r, c: r.pack({"cfgmgr32.dll": b"MZ"}), False, 1,
     "cfgmgr32.dll: not part of a release of this source"),
    ("too_many_entries", "unsigned", lambda r, c: raw_zip(r.entries() + [(r.name(f"{n}.txt"), b"") for n in range(20)]),
     False, 1, "26 entries, more than any release holds"),
    # The programs, signed or not, and their signatures.
    ("changed_unsigned_program", "unsigned", lambda r, c: r.pack({WINUSB: flipped(r.files[WINUSB])}), False, 1,
     "BRELVIK_DFU_WINUSB.exe: NOT this source's build"),
    ("changed_signed_program", "signed", lambda r, c: r.pack({WINUSB: flipped(r.files[WINUSB])}), True, 1,
     "BRELVIK_DFU_WINUSB.exe: NOT this source's build, with its signature removed"),
    ("few_data_directories", "unsigned", lambda r, c: r.pack({WINUSB: fewer_directories(r.files[WINUSB])}), False, 1,
     "BRELVIK_DFU_WINUSB.exe: NOT this source's build"),
    ("signature_left_off", "signed", lambda r, c: r.pack({PIPE: c.unsigned.files[PIPE]}), False, 1,
     "BRELVIK_DFU_PIPE.exe: this source's build, but unsigned"),
    ("unsigned_where_ca_expects_signed", "unsigned", lambda r, c: r.data, True, 1,
     "the programs are unsigned; --ca asks for signatures"),
    ("ca_file_missing", "signed", lambda r, c: r.data, "missing.pem", 2, "missing.pem: not a readable file"),
    ("signed_where_buildinfo_says_unsigned", "unsigned", lambda r, c: r.pack({PIPE: c.signed.files[PIPE]}), False, 1,
     "it carries a signature, where its BUILDINFO.txt says"),
    ("impostor_with_the_signers_subject", "signed",
     lambda r, c: r.pack({name: c.fake_signed(name) for name in [PIPE, WINUSB]}), False, 0,
     "certificate SHA-256: {fake}"),
    ("impostor_with_ca", "signed", lambda r, c: r.pack({name: c.fake_signed(name) for name in [PIPE, WINUSB]}),
     True, 1, "chain: does NOT verify against"),
    ("nested_signature", "signed", lambda r, c: r.pack({PIPE: c.nested(PIPE)}), False, 1,
     "a second signature is nested in its signature"),
    ("unsigned_blob_in_signature", "signed",
     lambda r, c: r.pack({PIPE: c.osslsigncode(PIPE, "add", "-addUnauthenticatedBlob")}), False, 1,
     "unsigned attribute 1.3.6.1.4.1.42921.1.2.1"),
    ("signed_data_version_changed", "signed", lambda r, c: r.pack({WINUSB: version_changed(r.files[WINUSB])}),
     True, 1, "its signature is not in the form osslsigncode writes"),
    ("header_checksum_changed", "signed", lambda r, c: r.pack({WINUSB: checksum_changed(r.files[WINUSB])}),
     False, 1, "its header checksum is not the signed program's"),
    ("second_certificate_table", "signed", lambda r, c: r.pack({PIPE: second_table(r.files[PIPE])}), False, 1,
     "other than one Authenticode signature"),
    ("bytes_after_signature", "signed", lambda r, c: r.pack({PIPE: r.files[PIPE] + bytes(8)}), False, 1,
     "its signature table is not all that follows it"),
    ("signature_of_the_other_program", "signed",
     lambda r, c: r.pack({WINUSB: grafted(c.unsigned.files[WINUSB], r.files[PIPE])}), False, 1,
     "BRELVIK_DFU_WINUSB.exe: this source's build, but its signature is not over it"),
    ("signature_value_changed", "signed", lambda r, c: r.pack({PIPE: signature_flipped(r.files[PIPE])}), False, 1,
     "BRELVIK_DFU_PIPE.exe: this source's build, but its signature is not over it"),
    # The other files, and text meant for the screen.
    ("guide_rewritten", "signed",
     lambda r, c: r.pack({GUIDE_NAME: r.files[GUIDE_NAME].replace(b"SHA256", b"MD5", 1)}), False, 1,
     "USER_GUIDE.txt: not this source's user guide"),
    ("buildinfo_extra_line", "unsigned",
     lambda r, c: r.pack({BUILDINFO_NAME: r.files[BUILDINFO_NAME] + b"checked-by the publisher\r\n"}), False, 1,
     "BUILDINFO.txt is not what the release script writes"),
    ("buildinfo_escape_sequences", "unsigned",
     lambda r, c: r.pack({BUILDINFO_NAME: r.files[BUILDINFO_NAME].replace(b"\r\n", ESCAPES.encode() + b"\r\n", 1)}),
     False, 1, "BUILDINFO.txt is not what the release script writes"),
    ("buildinfo_other_version", "unsigned",
     lambda r, c: r.pack({BUILDINFO_NAME: with_version(r.files[BUILDINFO_NAME], b"version", b"9.9.9")}), False, 1,
     "its BUILDINFO.txt says version 9.9.9, where this build is"),
    ("buildinfo_other_commit", "signed",
     lambda r, c: r.pack({BUILDINFO_NAME: with_commit(r.files[BUILDINFO_NAME], OTHER_COMMIT)}), False, 2,
     f"it was built from commit {OTHER_COMMIT}"),
    ("escapes_in_entry_name", "unsigned",
     lambda r, c: raw_zip(r.entries({GUIDE_NAME: (f"{r.top}/{ESCAPES}verify-release: ACCEPTED".encode(), b"")})),
     False, 1, "\\x1b[2K\\x1b[1A\\x0dverify-release: ACCEPTED"),
    (f"zip_name_{ESCAPES}", "unsigned", lambda r, c: r.pack({WINUSB: flipped(r.files[WINUSB])}), False, 1,
     "REJECTED zip_name_\\x1b[2K\\x1b[1A\\x0d.zip"),
    # What once ended in a traceback.
    ("encrypted_flag", "unsigned", lambda r, c: raw_zip(r.entries({BUILDINFO_NAME: (
        r.name(BUILDINFO_NAME), r.files[BUILDINFO_NAME], {"flags": 1})})), False, 1, "is encrypted"),
    ("compression_method_99", "signed", lambda r, c: raw_zip(r.entries({PIPE: (
        r.name(PIPE), r.files[PIPE], {"method": 99})})), False, 1, "compression method 99"),
    ("lzma_entry", "unsigned", lambda r, c: raw_zip(r.entries({BUILDINFO_NAME: (
        r.name(BUILDINFO_NAME), r.files[BUILDINFO_NAME], {"method": 14})})), False, 1, "compression method 14 (LZMA)"),
    ("corrupt_deflate", "signed", lambda r, c: raw_zip(r.entries({WINUSB: (
        r.name(WINUSB), r.files[WINUSB], {"packed": b"\xff" * 64})})), False, 1, "holds corrupt deflate data"),
    ("name_not_utf8", "unsigned", lambda r, c: raw_zip(r.entries({PIPE: (
        r.name(PIPE).replace(b"PIPE", b"P\xefPE"), r.files[PIPE])})), False, 1, "BRELVIK_DFU_P\\xefPE.exe"),
    ("cut_short", "signed", lambda r, c: r.data[:100], False, 2, "not a ZIP archive"),
    ("not_a_zip", "unsigned", lambda r, c: b"%PDF-1.7\n" * 100, False, 2, "not a ZIP archive"),
    # Bombs: the cases run under MEMORY_LIMIT and CASE_SECONDS.
    ("bomb_4gib_buildinfo", "unsigned", lambda r, c: raw_zip(r.entries({BUILDINFO_NAME: (
        r.name(BUILDINFO_NAME), b"", {"packed": deflated_zeros(4096), "size": 0xFFFFFFFF})})), False, 1,
     "more than any release"),
    ("bomb_under_the_size_cap", "unsigned", lambda r, c: raw_zip(r.entries({BUILDINFO_NAME: (
        r.name(BUILDINFO_NAME), r.files[BUILDINFO_NAME], {"packed": deflated_zeros(768)})})), False, 1,
     "BUILDINFO.txt' inflates to more than the"),
    ("bomb_in_a_program", "signed", lambda r, c: raw_zip(r.entries({WINUSB: (
        r.name(WINUSB), r.files[WINUSB], {"packed": deflated_zeros(512)})})), False, 1,
     "BRELVIK_DFU_WINUSB.exe' inflates to more than the"),
    ("declares_4gib", "unsigned", lambda r, c: raw_zip(r.entries({GUIDE_NAME: (
        r.name(GUIDE_NAME), r.files[GUIDE_NAME], {"size": 0xFFFFFFF0})})), False, 1, "declares 4294967280 bytes"),
    # What BUILDINFO.txt claims: dated by the commit alone, with the versions of its release environment.
    ("dated_1970", "unsigned", lambda r, c: dated(r, 0), False, 1,
     "says SOURCE_DATE_EPOCH 0 (1970-01-01 00:00:00 UTC)"),
    ("dated_2107", "signed", lambda r, c: dated(r, 4354819199), True, 1,
     "says SOURCE_DATE_EPOCH 4354819199 (2107-12-31 23:59:59 UTC)"),
    ("misleading_package_version", "unsigned", lambda r, c: r.pack({BUILDINFO_NAME: with_version(
        r.files[BUILDINFO_NAME], b"clang-19", b"0.SECURITY-RECALL.call.support.1-800-555-0199")}), False, 1,
     "names package versions other than the release environment of commit"),
    ("renamed", "unsigned", lambda r, c: r.data, False, 1,
     "REJECTED BRELVIK_DFU_SWITCH-9.9.9-win64.zip: it is this source's release BRELVIK_DFU_SWITCH-"),
    # Who signed: the signer as X.509 names it, one for both programs, allowed to sign code.
    ("relabelled_signer_keyless", "signed", lambda r, c: r.pack({name: c.relabelled(
        r.files[name], "/O=Someone Else Ltd/CN=Someone Else") for name in [PIPE, WINUSB]}), True, 1,
     "its signer's issuer and serial fit 2 of its certificates"),
    ("insider_relabelled_as_the_publisher", "signed", lambda r, c: r.pack({name: c.relabelled(
        c.signed_by("insider", name), c.subject) for name in [PIPE, WINUSB]}), True, 1,
     "its signer's issuer and serial fit 2 of its certificates"),
    ("signer_issuer_in_small_letters", "signed", lambda r, c: r.pack({PIPE: signer_edited(r.files[PIPE], lambda s: (
        s["sid"].chosen.__setitem__("issuer", x509.Name.build({"common_name": "throwaway test intermediate"}))))}),
     True, 1, "its signer's issuer is spelt otherwise than in the certificate it names"),
    ("mixed_signers", "signed", lambda r, c: r.pack({WINUSB: c.signed_by("insider", WINUSB)}), True, 1,
     "the programs have different signers: BRELVIK_DFU_PIPE.exe by CN=BRELVIK release test,O=Throwaway Test Signer"
     " ({signer}); BRELVIK_DFU_WINUSB.exe by CN=Insider,O=Insider Ltd"),
    ("key_encipherment_only", "signed", lambda r, c: r.pack({name: c.signed_by("keyenc", name)
                                                            for name in [PIPE, WINUSB]}), True, 1,
     "its signer's certificate is not allowed to sign (its key usage lacks digitalSignature)"),
    # What no signature covers, and what osslsigncode does not write.
    ("junk_certificate_entry", "signed", lambda r, c: r.pack({PIPE: edited(r.files[PIPE], lambda d, parts: (
        parts_of(d, [item.dump() for item in d["certificates"]] + [JUNK])))}), False, 1,
     "BRELVIK_DFU_PIPE.exe: this source's build, but its signature block cannot be read as an Authenticode signature:"
     " a Certificate in its PKCS#7 structure is malformed"),
    ("junk_crl", "signed", lambda r, c: r.pack({PIPE: edited(r.files[PIPE], lambda d, parts: (
        parts_of(d, before_signers=tlv(0xA1, JUNK))))}), False, 1,
     "BRELVIK_DFU_PIPE.exe: this source's build, but its signature block cannot be read as an Authenticode signature:"
     " a CertificateList in its PKCS#7 structure is malformed"),
    ("extra_field_in_digest_algorithm", "signed", lambda r, c: r.pack({WINUSB: edited(r.files[WINUSB], lambda d, parts: (
        parts[:1] + [tlv(0x31, tlv(0x30, algos.DigestAlgorithmId("sha256").dump() + b"\x05\x00\x02\x01\x00"))]
        + parts[2:]))}), False, 1,
     "BRELVIK_DFU_WINUSB.exe: this source's build, but its signature block cannot be read as an Authenticode signature:"
     " a DigestAlgorithm in its PKCS#7 structure has 3 elements, where its type has 2"),
    ("stray_element_before_signers", "signed", lambda r, c: r.pack({PIPE: edited(r.files[PIPE], lambda d, parts: (
        parts_of(d, before_signers=tlv(0x02, b"\x01"))))}), False, 1,
     "BRELVIK_DFU_PIPE.exe: this source's build, but its signature block cannot be read as an Authenticode signature:"
     " a SignedData in its PKCS#7 structure has 7 elements, where its type has 6"),
    ("ecdsa_algorithm_over_rsa_key", "signed", lambda r, c: r.pack({PIPE: signer_edited(r.files[PIPE], lambda s: (
        s.__setitem__("signature_algorithm", algos.SignedDigestAlgorithm({"algorithm": "sha256_ecdsa"}))))}),
     False, 1, "its signature algorithm field does not fit its signer's key"),
    # Timestamps: verified against --tsa-ca (or the system's), or refused.
    ("rfc3161_timestamp_with_tsa_ca", "signed", lambda r, c: r.pack({name: c.rfc3161(r.files[name])
                                                                    for name in [PIPE, WINUSB]}), True, 0,
     "(RFC 3161, by CN=Throwaway Test TSA), verified against", {"tsa_ca": "tsa-ca.pem"}),
    ("rfc3161_timestamp_without_tsa_ca", "signed", lambda r, c: r.pack({name: c.rfc3161(r.files[name])
                                                                       for name in [PIPE, WINUSB]}), True, 1,
     "its timestamp does not verify"),
    # A countersignature is a timestamp too, but not the one release.sh --timestamp adds (RFC 3161).
    ("countersignature_by_own_tsa", "signed", lambda r, c: r.pack({PIPE: c.countersigned(r.files[PIPE])}), False, 1,
     "BRELVIK_DFU_PIPE.exe: its timestamp is a countersignature, where the release script adds an RFC 3161"),
    ("countersignature_with_tsa_ca", "signed", lambda r, c: r.pack({name: c.countersigned(r.files[name])
                                                                   for name in [PIPE, WINUSB]}), True, 1,
     "    refused: its timestamp is a countersignature, where the release script adds an RFC 3161",
     {"tsa_ca": "tsa-ca.pem"}),
    ("junk_rfc3161_timestamp", "signed", lambda r, c: r.pack({PIPE: with_unsigned(
        r.files[PIPE], "1.3.6.1.4.1.311.3.3.1", JUNK)}), False, 1,
     "its signature block cannot be read as an Authenticode signature: a ContentInfo in its PKCS#7 structure"
     " is malformed"),
    ("unsigned_attribute_of_15000_arcs", "signed", lambda r, c: r.pack({PIPE: with_unsigned(
        r.files[PIPE], "1.3." + ".".join(["6"] * 15000), JUNK)}), False, 1,
     "unsigned attribute 1.3.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.6.... that a release's does not"),
    ("junk_countersignature", "signed", lambda r, c: r.pack({PIPE: with_unsigned(
        r.files[PIPE], "1.2.840.113549.1.9.6", JUNK)}), False, 1,
     "its signature block cannot be read as an Authenticode signature: a SignerInfo in its PKCS#7 structure"
     " is malformed"),
    ("server_authentication_only", "signed", lambda r, c: r.pack({name: c.signed_by("serverauth", name)
                                                                 for name in [PIPE, WINUSB]}), False, 1,
     "not allowed to sign code (its extended key usage lacks codeSigning)"),
    # Certificates: every block of --ca read; a subject printed with its separators escaped.
    ("ca_second_in_its_file", "signed", lambda r, c: r.data, "ca-second.pem", 0, "chain: verified against"),
    ("ca_file_with_a_junk_block", "signed", lambda r, c: r.data, "ca-junk.pem", 2,
     "ca-junk.pem: not a readable file of PEM CA certificates"),
    ("comma_in_the_signers_name", "signed", lambda r, c: r.pack({name: c.signed_by("comma", name)
                                                                for name in [PIPE, WINUSB]}), True, 0,
     "signer: CN=BRELVIK release test\\\\,O=Throwaway Test Signer"),
    # A signer's name as it is spelt: a value of another string type than the usual one named.
    ("signed_names_as_given", "signed", lambda r, c: r.data, True, 0,
     "BRELVIK_DFU_PIPE.exe: this source's build, signed\n    signer: CN=BRELVIK release test,O=Throwaway Test Signer\n"
     "    certificate SHA-256: {signer}\n    program name: BRELVIK_DFU_PIPE\n    more info: none\n"),
    ("bmp_spelling_of_the_signers_name", "signed", lambda r, c: r.pack({name: c.signed_by("bmp", name)
                                                                       for name in [PIPE, WINUSB]}), True, 0,
     "    signer: CN=<bmp>BRELVIK release test,O=Throwaway Test Signer\n"),
    # What the signer says in SpcSpOpusInfo: shown, escaped and cut; a link other than a URL refused.
    ("insiders_program_name_and_url", "signed", lambda r, c: r.pack({name: c.described(
        name, f"{ESCAPES}BRELVIK", "https://example.invalid/" + "a" * 300) for name in [PIPE, WINUSB]}), True, 0,
     "    program name: \\x1b[2K\\x1b[1A\\x0dBRELVIK\n    more info: https://example.invalid/" + "a" * 176 + "...\n"),
    ("more_info_a_moniker", "signed", lambda r, c: r.pack({PIPE: signer_edited(r.files[PIPE], lambda s: [
        attribute.__setitem__("values", [core.Any.load(tlv(0x30, tlv(0xA1, tlv(0xA1, tlv(0x04, bytes(16))
                                                                                 + tlv(0x04, b"")))))])
        for attribute in s["signed_attrs"] if attribute["type"].dotted == "1.3.6.1.4.1.311.2.1.12"])}), True, 1,
     "BRELVIK_DFU_PIPE.exe: this source's build, but its signer's more-info link (SpcSpOpusInfo) is a moniker,"
     " where osslsigncode writes a URL"),
    # osslsigncode versions write the certificates in different orders: any is the same signature.
    ("certificates_in_the_other_order", "signed", lambda r, c: r.pack({name: edited(r.files[name], lambda d, parts: (
        parts[:3] + [tlv(0xA0, b"".join(item.dump() for item in reversed(list(d["certificates"]))))] + parts[4:]))
        for name in [PIPE, WINUSB]}), True, 0, "certificate SHA-256: {signer}"),
    # Exactly the signer's chain: what anyone can add or take out without the key is refused.
    ("root_and_third_party_pca_added", "signed", lambda r, c: r.pack({name: c.with_certificates(
        r.files[name], ["ca.pem", "pca.pem"]) for name in [PIPE, WINUSB]}), True, 1,
     "its signature carries a root certificate (CN=Throwaway Test Root)"),
    ("third_party_pca_added", "signed", lambda r, c: r.pack({PIPE: c.with_certificates(r.files[PIPE], ["pca.pem"])}),
     False, 1, "carries a self-signed certificate off its signer's path (CN=Third Party Code Signing PCA)"),
    ("insider_certificate_added", "signed", lambda r, c: r.pack({WINUSB: c.with_certificates(
        r.files[WINUSB], ["insider.pem"])}), False, 1, "a certificate off its signer's path (CN=Insider,O=Insider Ltd)"),
    ("intermediate_twice", "signed", lambda r, c: r.pack({PIPE: c.with_certificates(
        r.files[PIPE], ["intermediate.pem"])}), True, 1, "carries a certificate twice (CN=Throwaway Test Intermediate)"),
    ("intermediate_left_out", "signed", lambda r, c: r.pack({name: c.with_certificates(
        r.files[name], [], "intermediate.pem") for name in [PIPE, WINUSB]}), True, 1,
     "(CN=BRELVIK release test,O=Throwaway Test Signer) is not issued by a root certificate of --ca"),
    # The verdict names the signer's certificate, how far its chain was checked, and the ZIP's SHA-256.
    ("signed_verdict_line", "signed", lambda r, c: r.data, True, 0,
     "signed by certificate SHA-256 {signer}, its chain verified against {ca}; ZIP SHA-256 {zip}"),
    ("impostor_verdict_line", "signed", lambda r, c: r.pack({name: c.fake_signed(name) for name in [PIPE, WINUSB]}),
     False, 0, "signed by certificate SHA-256 {fake}, its chain NOT verified"),
    ("unsigned_verdict_line", "unsigned", lambda r, c: r.data, False, 0, ", unsigned; ZIP SHA-256 {zip}"),
    ("well_formed_crl", "signed", lambda r, c: r.pack({PIPE: edited(r.files[PIPE], lambda d, parts: (
        parts_of(d, before_signers=tlv(0xA1, c.revocation_list()))))}), False, 1,
     "its signature carries revocation lists, which osslsigncode does not write"),
    # The notices and the SBOM, one byte changed: a word, a program's hash.
    ("notices_one_byte", "signed", lambda r, c: r.pack({"THIRD_PARTY_NOTICES.txt": r.files[
        "THIRD_PARTY_NOTICES.txt"].replace(b"Contents", b"Contentz", 1)}), False, 1,
     "THIRD_PARTY_NOTICES.txt: not this source's THIRD_PARTY_NOTICES.txt"),
    ("sbom_other_hash", "unsigned", lambda r, c: r.pack({f"{r.top}.cdx.json": re.sub(
        rb'("content": ")[0-9a-f]', rb"\g<1>x", r.files[f"{r.top}.cdx.json"], count=1)}), False, 1,
     ".cdx.json: not this source's"),
]
# BER's freedoms: each refused for what it is, with --ca or without, the
# chain left unchecked.
NOT_DER = "this source's build, but its signature block is not DER: "
BER: list[tuple[str, Callable[[bytes, Context], bytes], str]] = [
    ("long_length", lambda p, c: long_length(p), "its PKCS#7 structure has a length at byte"),
    ("long_integer", lambda p, c: long_integer(p), "a CMSVersion in its PKCS#7 structure is encoded otherwise"),
    ("indefinite_length", lambda p, c: indefinite_length(p), "its PKCS#7 structure has an indefinite length"),
    ("constructed_string", lambda p, c: constructed_string(p), "its PKCS#7 structure has a constructed string"),
    ("unsorted_set_of", lambda p, c: unsorted_attributes(p),
     "a CMSAttributes in its PKCS#7 structure has its elements out of DER's order"),
    ("default_written_out", lambda p, c: c.default_written_out(p),
     "an Extension in its PKCS#7 structure is encoded otherwise than DER encodes it"),
]


def in_both(change: Callable[[bytes, Context], bytes]) -> Alteration:
    """The release with both programs' signatures changed by CHANGE."""
    return lambda r, c: r.pack({program: change(r.files[program], c) for program in [PIPE, WINUSB]})


CASES += [(f"ber_{name}{'_with_ca' if with_ca else ''}", "signed", in_both(change), with_ca, 1,
           f"{PIPE}: {NOT_DER}{reason}") for name, change, reason in BER for with_ca in (False, True)]
# Cases whose ZIP's file name is what they try.
RENAMED: dict[str, str] = {f"zip_name_{ESCAPES}": f"zip_name_{ESCAPES}.zip", "renamed": "BRELVIK_DFU_SWITCH-9.9.9-win64.zip"}


# verify.run: (command, env=None) to a completed process.
Tool = Callable[..., subprocess.CompletedProcess[bytes]]


def limit_memory() -> None:
    """MEMORY_LIMIT more than this process holds now: a fork of it holds
    the test's modules and data besides the check's."""
    with open("/proc/self/statm", encoding="ascii") as statm:
        held = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (held + MEMORY_LIMIT, held + MEMORY_LIMIT))


def packed_here(run_tool: Tool) -> Tool:
    """verify.run, with this tree's packer run in this process: its
    main() on the same arguments, its exit status and output as a process
    of its own would give them."""
    def run_packer(command: list[str], env: dict[str, str] | None = None) -> subprocess.CompletedProcess[bytes]:
        if command[:2] != ["/usr/bin/python3", "-I"] or not os.path.samefile(command[2], pack.__file__):
            return run_tool(command, env)
        output, status = io.StringIO(), 0
        with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
            try:
                status = pack.main(command[3:])
            except SystemExit as exit:
                if isinstance(exit.code, str):
                    print(exit.code, file=sys.stderr)
                status = exit.code if isinstance(exit.code, int) else 0 if exit.code is None else 1
            except Exception:  # reported as the interpreter reports it
                traceback.print_exc()
                status = 1
        return subprocess.CompletedProcess(command, status, output.getvalue().encode("utf-8"))
    return run_packer


class Linked(Protocol):
    def __call__(self, contents: Programs) -> notices.Links: ...


def read_once(links: Linked) -> Linked:
    """notices.linked, each build's link maps read once: they do not change
    while the test runs."""
    read: dict[tuple[str, ...], notices.Links] = {}

    def linked(contents: Programs) -> notices.Links:
        key = (*contents["program"], "", *contents.get("linkmap", []), "", *contents.get("sectionmap", []))
        if key not in read:
            read[key] = links(contents)
        return copy.deepcopy(read[key])
    return linked


def rewrite(path: str, data: bytes) -> None:
    """PATH, made anew with DATA: truncating a file in place makes ext4
    write it out on close, some milliseconds each."""
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)
    with open(path, "xb") as out:
        out.write(data)


def forked(steps: list[list[str]]) -> tuple[int | None, bytes]:
    """Exit status and output of verify.main on each of STEPS (arguments)
    in turn, up to the first that does not pass, in a child of this
    process under MEMORY_LIMIT; None as the status when it takes more
    than CASE_SECONDS."""
    sys.stdout.flush()
    sys.stderr.flush()
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:
        status = 70
        try:
            os.close(reader)
            os.dup2(writer, 1)
            os.dup2(writer, 2)
            limit_memory()
            for argv in steps:
                status = verify.main(argv)
                if status != 0:
                    break
        except BaseException:  # noqa: B036 - shown as a traceback, which fails the case
            traceback.print_exc(file=sys.stdout)
            status = 70
        finally:
            sys.stdout.flush()
            os._exit(status)
    os.close(writer)
    output, deadline = b"", time.monotonic() + CASE_SECONDS
    while True:
        ready, _, _ = select.select([reader], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(reader, 1 << 16) if ready else b""
        if not chunk:
            break
        output += chunk
    os.close(reader)
    if not ready:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        return None, output + b"(timed out)\n"
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]), output


def fit_for_a_terminal(output: bytes) -> str | None:
    """Problems with OUTPUT (bytes) as the release check's output: printable
    ASCII lines, the last (and only the last) a verdict."""
    lines = output.split(b"\n")
    if any(byte not in b"\n" and not 0x20 <= byte < 0x7F for byte in output):
        return "a control character or non-ASCII byte in the output"
    if b"Traceback" in output or b": internal error, " in output:
        return "a traceback, or the last-resort verdict"
    if any(len(line) > LINE_LIMIT for line in lines):
        return f"a line longer than {LINE_LIMIT} characters (long text is cut, with a mark)"
    verdicts = [line for line in lines if line.startswith(b"verify-release: ")]
    if lines[-1] != b"" or len(lines) < 2 or verdicts != [lines[-2]]:
        return "the last line is not the one verdict"
    return None


# A line saying the notices or the SBOM differ: the check's packer made
# them of its own build of a program, which it packs where the ZIP's is not
# this build (signed or not), and of the ZIP's programs otherwise.
DERIVED = re.compile(rb"^(?:" + re.escape(NOTICES_NAME.encode()) + rb"|[^ \n]*\.cdx\.json): not this source's", re.M)


def not_its_own(output: bytes, wanted: str) -> str | None:
    """Why the check's OUTPUT shows more than the reason WANTED: the
    notices or the SBOM found to differ where the case changed neither
    and every program is this build; a chain checked for a signature
    block it did not take."""
    if (DERIVED.search(output) and not DERIVED.search(wanted.encode("ascii"))
            and b": NOT this source's build" not in output):
        return "the notices or the SBOM differ too, where the case changed neither"
    if "its signature block" in wanted and b"\n    chain: " in output:
        return "a chain checked for a signature block the check did not take"
    return None


def check(path: str, ca: str | None, contents: str, commit: str, epoch: int, in_process: bool = False,
          tsa_ca: str | None = None) -> tuple[int | None, bytes]:
    """Exit status and output of the release check's two steps on PATH
    (forked, unless IN_PROCESS); a status of None when it timed out."""
    packer = os.path.join(os.path.dirname(os.path.abspath(verify.__file__)), "pack.py")
    commit_out = os.path.join(os.path.dirname(path), "commit")
    with contextlib.suppress(FileNotFoundError):
        os.remove(commit_out)  # made anew, as in verify-release.sh's scratch folder
    options = (["--ca", ca] if ca else []) + (["--tsa-ca", tsa_ca] if tsa_ca else [])
    steps = [["examine", *options, "--commit-out", commit_out, path],
             ["compare", *options, "--contents", contents, "--packer", packer, "--commit", commit,
              "--commit-time", str(epoch), path]]
    if not in_process:
        return forked(steps)
    output = b""
    for argv in steps:
        captured = io.StringIO()
        with contextlib.redirect_stdout(captured):
            status: int = verify.main(argv)
        output += captured.getvalue().encode("utf-8")
        if status != 0:
            break
    return status, output


def mutant(rng: random.Random, original: bytes, spots: Sequence[int]) -> bytes:
    data = original
    while data == original:
        data = mutated(rng, original, spots)
    return data


def mutated(rng: random.Random, original: bytes, spots: Sequence[int]) -> bytes:
    data = bytearray(original)
    at = rng.choice(spots) if rng.random() < 0.6 else rng.randrange(len(data))
    how = rng.randrange(6)
    if how == 0:
        data[at] ^= 1 << rng.randrange(8)
    elif how == 1:
        data[at] = (data[at] + rng.randrange(1, 256)) & 0xFF
    elif how == 2:
        data[at:at + 4] = struct.pack("<I", rng.choice([0, 0xFFFFFFFF, 0x7FFFFFFF, len(data), rng.getrandbits(32)]))
    elif how == 3:
        del data[at:at + rng.randrange(1, 64)]
    elif how == 4:
        data[at:at] = data[rng.randrange(len(data)):][:rng.randrange(1, 64)]
    else:
        del data[at:]
    return bytes(data)


def run(work: str, zips: dict[str, str], keys: str, contents: str, commit: str, subject: str) -> int:
    began = time.monotonic()
    Release.contents = read_contents(contents)
    verify.run = packed_here(verify.run)
    notices.linked = read_once(notices.linked)
    # Read before the first fork, so that no case reads them again.
    verify.osslsigncode_fetches_crls()
    for package in TOOLCHAIN_PACKAGES + [SIGNER_PACKAGE]:
        verify.installed_version(package)
    context = Context(work, zips, keys, subject)
    ca = os.path.join(keys, "ca.pem")
    cases = os.path.join(context.folder, "cases")
    # A check here first, so that each fork finds what the check imports
    # and sets up on first use; what it found is forgotten.
    warm_up = os.path.join(cases, "warm-up", context.signed.zip_name())
    os.makedirs(os.path.dirname(warm_up))
    rewrite(warm_up, context.signed.data)
    check(warm_up, ca, contents, commit, context.signed.epoch, in_process=True)
    verify.repacked.cache_clear()
    verify.signature_verdict.cache_clear()
    print(f"the genuine releases read, the certificates made and a check warmed up in {time.monotonic() - began:.1f} s")
    failures: list[str] = []
    start = time.monotonic()
    for name, kind, alter, with_ca, status, line, *options in CASES:
        tsa_ca = options[0].get("tsa_ca") if options else None
        path = os.path.join(cases, shown(name).replace("\\", "_"),
                            RENAMED.get(name, getattr(context, kind).zip_name()))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = alter(getattr(context, kind), context)
        rewrite(path, data)
        began = time.monotonic()
        got, output = check(path, os.path.join(keys, with_ca) if isinstance(with_ca, str) else
                            ca if with_ca else None, contents, commit, context.signed.epoch,
                            tsa_ca=os.path.join(keys, tsa_ca) if tsa_ca else None)
        print(f"-- {shown(name)}: exit status {got} in {time.monotonic() - began:.2f} s")
        for text in output.decode("latin-1").splitlines():
            print(f"   {shown(text, 300)}")
        wanted = line.format(**context.fingerprints, ca=ca, zip=hashlib.sha256(data).hexdigest())
        problem = fit_for_a_terminal(output) or not_its_own(output, wanted)
        if got != status or wanted.encode("ascii") not in output or problem:
            failures.append(f"{shown(name)}: expected exit status {status} and a line with {wanted!r}"
                            f"{'; ' + problem if problem else ''}")
    print(f"{len(CASES)} hostile ZIPs checked in {time.monotonic() - start:.1f} s")

    genuine = f"certificate SHA-256: {context.fingerprints['signer']}\n    chain: verified against {ca}\n".encode()
    for kind, count in [("genuine ZIP", MUTANTS), ("signature block", SIGNATURE_MUTANTS)]:
        outcomes: collections.Counter[str]
        start, rng, outcomes = time.monotonic(), random.Random(SEED), collections.Counter()
        path = os.path.join(context.folder, "mutants", context.signed.zip_name())
        os.makedirs(os.path.dirname(path), exist_ok=True)
        for number in range(count):
            with_ca = kind != "genuine ZIP" or number % 4 == 3
            if kind == "genuine ZIP":
                release = (context.unsigned, context.signed)[number % 2]
                data = mutant(rng, release.data, release.spots)
            else:
                name = (PIPE, WINUSB)[number % 2]
                program = context.signed.files[name]
                changed = bytearray(mutant(rng, program, range(table_of(program)[0], len(program))))
                if len(changed) > 0x200:
                    checksum_at = security(program)[0]
                    struct.pack_into("<I", changed, checksum_at,
                                     verify.pe_checksum(bytes(changed), checksum_at))
                data = context.signed.pack({name: bytes(changed)})
            rewrite(path, data)
            try:
                got, output = check(path, ca if with_ca else None, contents, commit, context.signed.epoch,
                                    in_process=True)
                problem = fit_for_a_terminal(output) or (
                    None if got in (1, 2) or kind != "genuine ZIP" and output.count(genuine) == 2
                    else f"exit status {got}")
            except BaseException as error:  # noqa: B036 - the check itself must never raise
                got, output, problem = None, b"", f"raised {type(error).__name__}: {error}"
            if problem:
                failures.append(f"{kind} mutant {number}: {problem}:\n{shown(output.decode('latin-1'), 2000)}")
            verdict = output.rstrip(b"\n").rsplit(b"\n", 1)[-1].decode("ascii", "replace")
            outcomes[re.sub(r"[0-9a-f]{40}|\d+|'[^']*'", "#", verdict.split(": ", 2)[-1])[:90]] += 1
        print(f"{count} mutants of a {kind} (seed {SEED}) checked in {time.monotonic() - start:.1f} s;"
              " verdicts, most frequent first:")
        for verdict, times in outcomes.most_common(12):
            print(f"  {times:5}  {verdict}")
    for failure in failures:
        print(f"FAILED: {failure}")
    return 1 if failures else 0
