"""The signature reader on SignedData built here with a throwaway key and
a self-signed certificate: laid out as a release's, it reads; each part
made otherwise, it is refused for its own reason."""
import datetime
import hashlib
from typing import Any, Callable

import pytest
from asn1crypto import algos, cms, core, x509
from cryptography import x509 as cryptography_x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

import signature
from signature import INDIRECT_DATA, OPUS_INFO, PE_IMAGE_DATA, STATEMENT_TYPE

KEY = rsa.generate_private_key(public_exponent=65537, key_size=2048)
NOW = datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc)
NAME = cryptography_x509.Name([cryptography_x509.NameAttribute(cryptography_x509.NameOID.COMMON_NAME, "Test, Signer")])
CERTIFICATE = x509.Certificate.load(
    cryptography_x509.CertificateBuilder().subject_name(NAME).issuer_name(NAME).public_key(KEY.public_key())
    .serial_number(7).not_valid_before(NOW).not_valid_after(NOW + datetime.timedelta(days=1))
    .sign(KEY, hashes.SHA256()).public_bytes(serialization.Encoding.DER))
SHA256 = {"algorithm": "sha256", "parameters": core.Null()}
PROGRAM_DIGEST = hashlib.sha256(b"program").digest()


def tlv(tag: int, body: bytes) -> bytes:
    size = len(body).to_bytes(2, "big").lstrip(b"\0") or b"\0"
    return bytes([tag]) + (size if len(body) < 0x80 else bytes([0x80 | len(size)]) + size) + body


def attribute(code: str, *values: bytes) -> bytes:
    return tlv(0x30, core.ObjectIdentifier(code).dump() + tlv(0x31, b"".join(sorted(values))))


INDIRECT = signature.SpcIndirectDataContent({
    "data": {"type": PE_IMAGE_DATA, "value": {"flags": (), "file": {"file": {"unicode": "<<<Obsolete>>>"}}}},
    "message_digest": {"digest_algorithm": SHA256, "digest": PROGRAM_DIGEST}})
ATTRIBUTES = {"1.2.840.113549.1.9.3": core.ObjectIdentifier(INDIRECT_DATA).dump(),
              "1.2.840.113549.1.9.4": core.OctetString(hashlib.sha256(INDIRECT.contents).digest()).dump(),
              OPUS_INFO: b"\x30\x00",  # SpcSpOpusInfo, empty
              STATEMENT_TYPE: signature.SpcStatementType(["1.3.6.1.4.1.311.2.1.21"]).dump()}


def signer_info(attributes: dict[str, Any], unsigned: bytes = b"", version: int = 1, issuer: Any = None) -> bytes:
    """A SignerInfo of ATTRIBUTES ({type: DER of its one value, or a tuple
    of them}), signed; UNSIGNED: DER of its unsigned attributes."""
    signed_set = b"".join(sorted(attribute(code, *(value if isinstance(value, tuple) else (value,)))
                                 for code, value in attributes.items()))
    sid = cms.IssuerAndSerialNumber({"issuer": issuer or CERTIFICATE.issuer, "serial_number": 7}).dump()
    return tlv(0x30, core.Integer(version).dump() + sid + algos.DigestAlgorithm(SHA256).dump()
               + (tlv(0xA0, signed_set) if attributes else b"")
               + algos.SignedDigestAlgorithm({"algorithm": "rsassa_pkcs1v15", "parameters": core.Null()}).dump()
               + core.OctetString(KEY.sign(tlv(0x31, signed_set), padding.PKCS1v15(), hashes.SHA256())).dump()
               + (tlv(0xA1, unsigned) if unsigned else b""))


def block(version: bytes = b"\x02\x01\x01", digests: bytes = b"", content: bytes = b"", certificates: bytes = b"",
          signer: bytes = b"", after: bytes = b"") -> bytes:
    """A signature block as osslsigncode writes one, with any part given in DER instead."""
    content = content or tlv(0x30, core.ObjectIdentifier(INDIRECT_DATA).dump() + tlv(0xA0, INDIRECT.dump()))
    signed = tlv(0x30, version + (digests or tlv(0x31, algos.DigestAlgorithm(SHA256).dump())) + content
                 + tlv(0xA0, certificates or CERTIFICATE.dump()) + tlv(0x31, signer or signer_info(ATTRIBUTES)) + after)
    der = tlv(0x30, cms.ContentType("signed_data").dump() + tlv(0xA0, signed))
    return der + bytes(-len(der) % 8)


def countersigned(time: bytes, version: int = 1) -> bytes:
    """A block countersigned at TIME (DER of a Time) by the signer's own key."""
    value = cms.SignerInfo.load(signer_info(ATTRIBUTES))["signature"].native
    counter = signer_info({"1.2.840.113549.1.9.3": core.ObjectIdentifier("1.2.840.113549.1.7.1").dump(),
                           "1.2.840.113549.1.9.4": core.OctetString(hashlib.sha256(value).digest()).dump(),
                           "1.2.840.113549.1.9.5": time}, version=version)
    return block(signer=signer_info(ATTRIBUTES, unsigned=attribute("1.2.840.113549.1.9.6", counter)))


def with_attributes(**changes: Any) -> bytes:
    """A block whose signer's attributes are changed: {name: value or None}."""
    codes = {"content_type": "1.2.840.113549.1.9.3", "digest": "1.2.840.113549.1.9.4", "opus": OPUS_INFO,
             "statement": STATEMENT_TYPE, "other": "1.2.3.4"}
    attributes = {**ATTRIBUTES, **{codes[name]: value for name, value in changes.items()}}
    return block(signer=signer_info({code: value for code, value in attributes.items() if value is not None}))


def version_2() -> bytes:
    certificate = x509.Certificate.load(CERTIFICATE.dump())
    certificate["tbs_certificate"]["version"] = "v2"
    return bytes(certificate.dump(force=True))


def subject_of_type(code: str, value: bytes) -> bytes:
    """The certificate with a subject of one attribute, CODE, of VALUE (DER),
    its own signature left as it was (a reader does not check it)."""
    tbs, subject = CERTIFICATE["tbs_certificate"].dump(), CERTIFICATE.subject.dump()
    at = tbs.rindex(subject)  # after the issuer, the same name
    name = tlv(0x30, tlv(0x31, tlv(0x30, core.ObjectIdentifier(code).dump() + value)))
    return tlv(0x30, tlv(0x30, tbs[4:at] + name + tbs[at + len(subject):]) + CERTIFICATE.dump()[4 + len(tbs):])


def issued(serial: int, extension: bytes = b"") -> bytes:
    """A certificate of KEY's for NAME, with EXTENSION (DER of one
    Extension, as given) as its only extension, signed over the bytes
    as they stand."""
    tbs = CERTIFICATE["tbs_certificate"]
    fields = b"".join(tbs[name].dump()
                      for name in ["signature", "issuer", "validity", "subject", "subject_public_key_info"])
    body = tlv(0x30, b"\xa0\x03\x02\x01\x02" + core.Integer(serial).dump() + fields
               + (tlv(0xA3, tlv(0x30, extension)) if extension else b""))
    algorithm = CERTIFICATE["signature_algorithm"].dump()
    return tlv(0x30, body + algorithm + tlv(0x03, b"\0" + KEY.sign(body, padding.PKCS1v15(), hashes.SHA256())))


# Extended key usage, codeSigning, its criticality written out as FALSE, its DEFAULT.
CODE_SIGNING = core.OctetString(tlv(0x30, core.ObjectIdentifier("1.3.6.1.5.5.7.3.3").dump())).dump()
DEFAULT_WRITTEN = tlv(0x30, core.ObjectIdentifier("2.5.29.37").dump() + b"\x01\x01\x00" + CODE_SIGNING)
UTC_TIME = core.UTCTime(NOW).dump()
UNREADABLE = "its signature block cannot be read as an Authenticode signature: "
# name, the block, what read() must say.
REFUSED: list[tuple[str, Callable[[], bytes], str]] = [
    ("not PKCS#7", lambda: b"\x04\x01\x00" + bytes(5), "its signature block is not one PKCS#7 structure"),
    ("version 3", lambda: block(version=b"\x02\x01\x03"), "its signature is not in the form osslsigncode writes"),
    ("long length", lambda: block(version=b"\x02\x81\x01\x01"), "structure has a length at byte 23 longer than DER"),
    ("indefinite", lambda: block(after=b"\x30\x80\x00\x00"), "has an indefinite length at byte"),
    ("constructed string", lambda: block(after=b"\x24\x03\x04\x01\x00"), "has a constructed string at byte"),
    ("multi-byte tag", lambda: block(after=b"\x1f\x22\x00"), "a SignedData in its PKCS#7 structure has 7 elements"),
    ("element past", lambda: block(after=b"\x04\x01"), "its PKCS#7 structure is malformed (Insufficient data"),
    ("extra element", lambda: block(after=b"\x02\x01\x00"), "a SignedData in its PKCS#7 structure has 7 elements,"
     " where its type has 6"),
    ("set order", lambda: block(digests=tlv(0x31, algos.DigestAlgorithm(SHA256).dump() + algos.DigestAlgorithm(
        {"algorithm": "sha1"}).dump())), "its signature block is not DER: a DigestAlgorithms in its PKCS#7"
     " structure has its elements out of DER's order"),
    ("integer not minimal", lambda: block(version=b"\x02\x02\x00\x01"),
     "its signature block is not DER: a CMSVersion in its PKCS#7 structure is encoded otherwise than DER encodes it"),
    ("DEFAULT written out", lambda: block(certificates=issued(7, DEFAULT_WRITTEN)),
     "not DER: an Extension in its PKCS#7 structure is encoded otherwise than DER encodes it"),
    # asn1crypto re-encodes a NULL's header as it came.
    ("NULL of a long length", lambda: block(digests=tlv(0x31, tlv(0x30, core.ObjectIdentifier("2.16.840.1.101.3.4.2.1")
                                                                  .dump() + b"\x05\x81\x00"))),
     "not DER: its PKCS#7 structure has a length at byte 41 longer than DER writes it"),
    ("malformed", lambda: block(version=b"\x04\x01\x01"), "a SignedData in its PKCS#7 structure is malformed (Error"),
    ("not SignedData", lambda: tlv(0x30, cms.ContentType("data").dump() + tlv(0xA0, b"\x04\x00")),
     "its PKCS#7 structure is data, not SignedData"),
    ("other content", lambda: block(content=tlv(0x30, core.ObjectIdentifier("1.2.3").dump())),
     "what it signs is 1.2.3, not Authenticode's indirect data"),
    ("version 2 certificate", lambda: block(certificates=version_2()),
     "a certificate it carries cannot be read (1 is not a valid X509 version)"),
    ("REAL in the subject", lambda: block(certificates=subject_of_type("1.2.3.4", b"\x09\x01\x40")),
     "its PKCS#7 structure holds a Real, which no part of a signature is"),
    ("no signed attributes", lambda: block(signer=signer_info({})), "its signer has no signed attributes"),
    ("unknown attribute", lambda: with_attributes(other=b"\x05\x00"), "hold an attribute 1.2.3.4, which"),
    ("two values", lambda: with_attributes(opus=(ATTRIBUTES[OPUS_INFO], b"\x30\x03\x80\x01\x00")),
     "hold attribute 1.3.6.1.4.1.311.2.1.12 with 2 values, not one"),
    ("no statement type", lambda: with_attributes(statement=None), "its signer's signed attributes lack a statement"),
    ("content type", lambda: with_attributes(content_type=core.ObjectIdentifier("1.2.840.113549.1.7.1").dump()),
     "its signer's content type is 1.2.840.113549.1.7.1, not"),
    ("other statement", lambda: with_attributes(statement=signature.SpcStatementType(["1.2.3"]).dump()),
     "names one other than individual or commercial code signing"),
    ("short digest", lambda: with_attributes(digest=core.OctetString(bytes(20)).dump()),
     "its signer's message digest is 20 bytes, not SHA-256's 32"),
    ("issuer unpreparable", lambda: block(signer=signer_info(ATTRIBUTES, issuer=x509.Name.build(
        {"common_name": "\ue000"}))), "a name cannot be compared as X.509 compares names (X.509 Name objects"
     " may not contain private use characters)"),
    ("countersignature v2", lambda: countersigned(UTC_TIME, version=2), "its countersignature is of version v2"),
    ("timestamp without zone", lambda: countersigned(b"\x18\x0e20240101000000"),
     "not DER: its PKCS#7 structure holds a value DER cannot encode as it stands (Must be timezone aware)"),
    ("timestamp in year 0", lambda: countersigned(b"\x18\x0f00000101000000Z"), "time is in the year 0"),
]


@pytest.mark.parametrize("make, reason", [row[1:] for row in REFUSED], ids=[row[0] for row in REFUSED])
def test_refused(make: Callable[[], bytes], reason: str) -> None:
    said = signature.read(make())
    assert isinstance(said, str) and reason in said and said.isascii() and said.isprintable()


def test_genuine() -> None:
    read = signature.read(block())
    assert isinstance(read, signature.Signature), read
    assert (read.subject, read.timestamp) == ("CN=Test\\, Signer", None)
    assert signature.holds(read, PROGRAM_DIGEST) and not signature.holds(read, bytes(32))
    assert signature.signer_allowed(read) is None
    # Certificates out of DER's order, as OpenSSL keeps those it is given.
    other = issued(8, tlv(0x30, core.ObjectIdentifier("2.5.29.37").dump() + CODE_SIGNING))
    unsorted = b"".join(sorted([CERTIFICATE.dump(), other], reverse=True))
    assert isinstance(signature.read(block(certificates=unsorted)), signature.Signature)
    # An alternative name's DNS name and e-mail address, tagged [2] and [1] in place of IA5String's tag.
    names = core.OctetString(tlv(0x30, tlv(0x82, b"example.invalid") + tlv(0x81, b"a@b.invalid"))).dump()
    alternative = issued(7, tlv(0x30, core.ObjectIdentifier("2.5.29.17").dump() + names))
    assert isinstance(signature.read(block(certificates=alternative)), signature.Signature)
    stamped = signature.read(countersigned(UTC_TIME))
    assert isinstance(stamped, signature.Signature) and stamped.timestamp is not None
    assert (stamped.timestamp.kind, stamped.timestamp.time) == ("countersignature", NOW)


@pytest.mark.parametrize("error", [TypeError, AttributeError, KeyError])
def test_programming_error_is_no_verdict(monkeypatch: pytest.MonkeyPatch, error: type[Exception]) -> None:
    def broken(*arguments: Any) -> None:
        raise error("a bug in the reader")
    monkeypatch.setattr(signature, "attributes_of", broken)
    with pytest.raises(error, match="a bug in the reader"):
        signature.read(block())


def test_chain_refused() -> None:
    """Exactly the signer's chain: its own certificate alone passes (it is
    self-signed, a root's own); twice, or with --ca's root not its issuer,
    refused; a countersignature is no timestamp a release carries."""
    alone = signature.read(block())
    stamped = signature.read(countersigned(UTC_TIME))
    assert isinstance(alone, signature.Signature) and isinstance(stamped, signature.Signature)
    assert signature.chain_refused(alone, None) is None
    assert signature.chain_refused(alone, [CERTIFICATE.dump()]) is None
    other = x509.Certificate.load(version_2())  # another certificate, which issued nothing here
    assert "is not issued by a root certificate of --ca" in str(signature.chain_refused(alone, [other.dump()]))
    assert "a countersignature" in str(signature.chain_refused(stamped, None))
    twice = alone._replace(certificates=alone.certificates * 2)  # the reader refuses it first, as two signers
    assert "carries a certificate twice" in str(signature.chain_refused(twice, None))


CN, COUNTRY, EMAIL = "2.5.4.3", "2.5.4.6", "1.2.840.113549.1.9.1"
# name, a subject attribute's type and DER value, how the subject reads:
# each string type other than the usual one named, so that no two read alike.
SUBJECTS: list[tuple[str, str, bytes, str]] = [
    ("utf8 common name", CN, tlv(0x0C, b"Brelvik"), "CN=Brelvik"),
    ("printable common name", CN, tlv(0x13, b"Brelvik"), "CN=<printable>Brelvik"),
    ("bmp common name", CN, tlv(0x1E, "Brelvik".encode("utf-16-be")), "CN=<bmp>Brelvik"),
    ("universal common name", CN, tlv(0x1C, "Brelvik".encode("utf-32-be")), "CN=<universal>Brelvik"),
    ("teletex common name", CN, tlv(0x14, b"Brelvik"), "CN=<teletex>Brelvik"),
    ("a value that looks marked", CN, tlv(0x0C, b"<bmp>Brelvik"), "CN=\\<bmp\\>Brelvik"),
    ("printable country", COUNTRY, tlv(0x13, b"NO"), "C=NO"),
    ("utf8 country", COUNTRY, tlv(0x0C, b"NO"), "C=<utf8>NO"),
    ("ia5 e-mail address", EMAIL, tlv(0x16, b"a@b.invalid"), "emailAddress=a@b.invalid"),
    ("utf8 e-mail address", EMAIL, tlv(0x0C, b"a@b.invalid"), "emailAddress=<utf8>a@b.invalid"),
    ("identifier as a value", "1.2.3.4", core.ObjectIdentifier("1.2.3").dump(), "1.2.3.4=<tag 0x06>1.2.3"),
    ("octets as a value", "1.2.3.4", tlv(0x04, b"\x01"), "1.2.3.4=#040101"),
]


@pytest.mark.parametrize("code, value, subject", [row[1:] for row in SUBJECTS], ids=[row[0] for row in SUBJECTS])
def test_subject_string_types(code: str, value: bytes, subject: str) -> None:
    read = signature.read(block(certificates=subject_of_type(code, value)))
    assert isinstance(read, signature.Signature), read
    assert read.subject == subject


def opus(*fields: bytes) -> bytes:
    return tlv(0x30, b"".join(fields))


PROGRAM = tlv(0xA0, tlv(0x81, b"BRELVIK_DFU_PIPE"))  # the ascii choice, as osslsigncode writes it
URL = tlv(0xA1, tlv(0x80, b"https://example.invalid/more"))
# name, SpcSpOpusInfo (DER), (program name, more info) or what read() must say.
OPUS: list[tuple[str, bytes, tuple[str | None, str | None] | str]] = [
    ("empty", opus(), (None, None)),
    ("program name", opus(PROGRAM), ("BRELVIK_DFU_PIPE", None)),
    ("both", opus(PROGRAM, URL), ("BRELVIK_DFU_PIPE", "https://example.invalid/more")),
    ("unicode name and escapes", opus(tlv(0xA0, tlv(0x80, "\x1b[2K\u202eexe.".encode("utf-16-be")))),
     ("\x1b[2K\u202eexe.", None)),
    ("link only", opus(URL), (None, "https://example.invalid/more")),
    ("moniker", opus(tlv(0xA1, tlv(0xA1, tlv(0x04, bytes(16)) + tlv(0x04, b"")))),
     "its signer's more-info link (SpcSpOpusInfo) is a moniker, where osslsigncode writes a URL"),
    ("file", opus(tlv(0xA1, tlv(0xA2, tlv(0x81, b"a.txt")))), "more-info link (SpcSpOpusInfo) is a file, where"),
    ("odd-length unicode", opus(tlv(0xA0, tlv(0x80, b"A"))),
     "a BMPString in its signer's program name (SpcSpOpusInfo) is malformed"),
    ("url not ASCII", opus(tlv(0xA1, tlv(0x80, b"https://\xff"))),
     "IA5String in its signer's program name (SpcSpOpusInfo) is malformed"),
    ("third field", opus(PROGRAM, URL, tlv(0xA2, b"")),
     "a SpcSpOpusInfo in its signer's program name (SpcSpOpusInfo) has 3 elements, where its type has 2"),
    ("not a sequence", tlv(0x04, b""), "its signer's program name (SpcSpOpusInfo) is malformed"),
]


@pytest.mark.parametrize("der, said", [row[1:] for row in OPUS], ids=[row[0] for row in OPUS])
def test_opus_info(der: bytes, said: tuple[str | None, str | None] | str) -> None:
    read = signature.read(with_attributes(opus=der))
    if isinstance(said, str):
        assert isinstance(read, str) and said in read and read.isascii() and read.isprintable(), read
    else:
        assert isinstance(read, signature.Signature), read
        assert (read.program_name, read.more_info) == said
