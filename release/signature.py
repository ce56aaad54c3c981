"""The Authenticode signature block of a release's program, read whole:
the PKCS#7 SignedData, every certificate and CRL in it, the indirect data
it signs, its one signer with every attribute, and any timestamp. It must
hold what osslsigncode writes and nothing else; what no signature covers
(the certificate list, the signer's issuer and serial, the algorithm
fields, the unsigned attributes) is checked against the rest.

read() gives a Signature or a string saying why the block is refused;
holds() checks the signature against the program's digest, signer_allowed()
the signer's certificate's uses, timestamp_verdict() and chain_verdict() run
openssl and osslsigncode. Nothing here prints; text for the screen is the
caller's to escape.
"""
import base64
import contextlib
import datetime
import hashlib
import os
import re
import subprocess
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, NamedTuple

from asn1crypto import algos, cms, core, parser, tsp, x509
from cryptography import x509 as cryptography_x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

# asn1crypto has no type information: its values are Any here, and the
# classes below derive from Any (hence their type: ignore[misc]). What
# leaves this module is typed.


class SpcString(core.Choice):  # type: ignore[misc]
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):  # type: ignore[misc]
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):  # type: ignore[misc]
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):  # type: ignore[misc]
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):  # type: ignore[misc]
    _fields = [("type", core.ObjectIdentifier), ("value", SpcPeImageData)]


class SpcIndirectDataContent(core.Sequence):  # type: ignore[misc]
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


class SpcSpOpusInfo(core.Sequence):  # type: ignore[misc]
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]


class SpcStatementType(core.SequenceOf):  # type: ignore[misc]
    _child_spec = core.ObjectIdentifier


INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
STATEMENTS = {"1.3.6.1.4.1.311.2.1.21", "1.3.6.1.4.1.311.2.1.22"}  # individual, commercial
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
# SHA-256 with NULL parameters, as OpenSSL writes it.
SHA256 = algos.DigestAlgorithm({"algorithm": "sha256", "parameters": core.Null()}).dump()
# What a signature algorithm field may say for each kind of key: OpenSSL
# writes rsaEncryption (NULL parameters) and ecdsa-with-SHA256 (none).
SIGNATURE_ALGORITHMS: dict[type[rsa.RSAPublicKey] | type[ec.EllipticCurvePublicKey], set[bytes]] = {
    rsa.RSAPublicKey: {algos.SignedDigestAlgorithm({"algorithm": name, "parameters": core.Null()}).dump()
                       for name in ("rsassa_pkcs1v15", "sha256_rsa")},
    ec.EllipticCurvePublicKey: {algos.SignedDigestAlgorithm({"algorithm": "sha256_ecdsa"}).dump()},
}
# Digests a time stamping authority may use; never SHA-1 or MD5.
TIMESTAMP_DIGESTS: dict[str, type[hashes.HashAlgorithm]] = {
    "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
NAME_KEYS = {"2.5.4.3": "CN", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST", "2.5.4.10": "O", "2.5.4.11": "OU",
             "2.5.4.9": "STREET", "2.5.4.5": "serialNumber", "2.5.4.15": "businessCategory",
             "1.2.840.113549.1.9.1": "emailAddress", "0.9.2342.19200300.100.1.25": "DC",
             "0.9.2342.19200300.100.1.1": "UID"}

# The string type a name's value usually has (its DER tag): UTF8String,
# but PrintableString for a country and a serial number, IA5String for an
# e-mail address and a domain component, as OpenSSL writes them. A value
# of another type is shown with its type's name.
USUAL_STRING_TYPE = {"2.5.4.6": 0x13, "2.5.4.5": 0x13, "1.2.840.113549.1.9.1": 0x16,
                     "0.9.2342.19200300.100.1.25": 0x16}
UTF8_STRING = 0x0C
STRING_TYPES = {0x0C: "utf8", 0x12: "numeric", 0x13: "printable", 0x14: "teletex", 0x15: "videotex", 0x16: "ia5",
                0x19: "graphic", 0x1A: "visible", 0x1B: "general", 0x1C: "universal", 0x1E: "bmp"}

CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4", "1.2.840.113549.1.9.5"


class Timestamp(NamedTuple):
    kind: str  # "RFC 3161" or "countersignature"
    time: datetime.datetime  # with its time zone
    certificate: bytes  # the authority's, DER
    certificates: tuple[bytes, ...]  # all the block carries, DER
    subject: str
    token: bytes | None  # an RFC 3161 timestamp's token, DER


class Signature(NamedTuple):
    program_digest: bytes  # the Authenticode SHA-256 the indirect data gives
    indirect_data: bytes  # what the message digest attribute is over
    message_digest: bytes
    signed_attributes: bytes  # DER, as the signature covers them
    value: bytes
    algorithm: bytes  # the signature algorithm field, DER
    certificate: bytes  # the signer's, DER
    certificates: tuple[bytes, ...]
    subject: str
    timestamp: Timestamp | None
    program_name: str | None  # SpcSpOpusInfo's, as the signer gave them
    more_info: str | None


FORM = "its signature is not in the form osslsigncode writes"
UNREADABLE = "its signature block cannot be read as an Authenticode signature"
NOT_DER = "its signature block is not DER"
# What asn1crypto raises for bytes that are not what a type says: ValueError
# (UnicodeDecodeError among them) and, when a public key's algorithm is one
# it has no entry for, KeyError. Reading the value of a primitive it also raises TypeError
# (an ENUMERATED it has no names for) and IndexError (an empty BIT STRING).
MALFORMED: tuple[type[Exception], ...] = (ValueError, KeyError)
MALFORMED_VALUE = MALFORMED + (TypeError, IndexError)


class Refused(Exception):
    """The block is not one a release holds; the text says why."""


class Unreadable(Exception):
    """The block is not DER of what an Authenticode signature holds; the
    text says what is wrong."""


def plain(text: str, limit: int = 120) -> str:
    """A library's message, fit to follow ours: one line of printable ASCII."""
    line = "".join(char if " " <= char <= "~" else f"\\x{ord(char):02x}" for char in " ".join(text.split()))
    return line if len(line) <= limit else line[:limit] + "..."


@contextlib.contextmanager
def parsing(what: str, malformed: tuple[type[Exception], ...] = MALFORMED) -> Iterator[None]:
    """Around one call into asn1crypto on bytes of the block: what it
    raises for malformed bytes becomes Unreadable, saying WHAT it read."""
    try:
        yield
    except malformed as error:
        raise Unreadable(f"{what} is malformed ({plain(str(error))})") from error


class NotDer(Unreadable):
    """The block is not in DER, the one encoding of each value: BER's
    freedoms (other lengths, constructed strings, orders, defaults written
    out) let bytes no signature covers change while every reader that
    tolerates them sees the same signature."""


class CertificatesAsAdded(cms.CertificateSet):  # type: ignore[misc]
    """A SignedData's certificates, re-encoded in the order they came:
    DER sorts a SET OF, but OpenSSL's encoder writes these as it writes a
    SEQUENCE OF, in the order they were added, and osslsigncode versions
    add them in different orders."""

    def _set_contents(self, force: bool = False) -> None:
        core.SequenceOf._set_contents(self, force)


def whole(value: Any, what: str, seen: list[tuple[Any, bytes]]) -> None:
    """Parses every part of VALUE (of WHAT), refusing a sequence with more
    elements than its type has fields (asn1crypto keeps them as extra
    fields); appends each part and its bytes to SEEN, outermost first. An
    element of open type (core.Any) is parsed as its tag says, and read
    further by its reader."""
    kind = type(value).__name__
    before = value.dump()
    seen.append((value, before))
    if value._bad_tag and not (value.implicit or value.explicit) and before[0] != value.tag:
        # An e-mail address or domain component spelt as a UTF8String or
        # PrintableString, as some certificates spell them: asn1crypto
        # reads it, and re-encodes it as it came, not as an IA5String.
        value.tag = before[0]
    if isinstance(value, core.Choice):
        with parsing(f"a {kind} in {what}"):
            chosen = value.chosen
        whole(chosen, what, seen)
    elif isinstance(value, (core.SequenceOf, core.SetOf)):
        if type(value) is cms.CertificateSet:
            value.__class__ = CertificatesAsAdded
        with parsing(f"a {kind} in {what}"):
            items = list(value)
        for item in items:
            whole(item, what, seen)
    elif isinstance(value, core.Sequence) and value._fields:
        with parsing(f"a {kind} in {what}"):
            count = len(value)  # its elements, parsed
        if count > len(value._fields):
            raise Unreadable(f"a {kind} in {what} has {count} elements, where its type has {len(value._fields)}")
        for index in range(count):
            with parsing(f"a {kind} in {what}"):
                child = value[index]
            whole(child, what, seen)
    elif isinstance(value, (core.Any, core.ParsableOctetString)):
        if value._parsed is not None:
            whole(value._parsed[0], what, seen)
    elif not isinstance(value, core.Sequence):  # one of no fields is of open type too
        if not hasattr(type(value), "native"):  # a REAL, INSTANCE OF or ObjectDescriptor
            raise Unreadable(f"{what} holds a {kind}, which no part of a signature is")
        with parsing(f"a {kind} in {what}", MALFORMED_VALUE):
            value.native  # noqa: B018 - parses it


def absent(value: Any) -> bool:
    return isinstance(value, core.Void)


MAX_DEPTH = 40
# The universal types DER writes constructed; a constructed string is BER's.
CONSTRUCTED_TYPES = {16, 17}  # SEQUENCE, SET


def der_headers(data: bytes, what: str, base: int = 0, depth: int = 0) -> None:
    """Refuses DATA (of WHAT, at byte BASE of it) unless its elements, back
    to back and at every depth, have the headers DER gives them (definite,
    shortest lengths, as asn1crypto's parser reads and emits them) and no
    string is constructed. asn1crypto's re-encoding keeps some headers as
    they came (a NULL's) and parses an open type (core.Any) no further, so
    this walks the bytes themselves."""
    if depth > MAX_DEPTH:
        raise Unreadable(f"{what} nests elements more than {MAX_DEPTH} deep")
    at = 0
    while at < len(data):
        with parsing(what):
            size = parser.peek(data[at:])
            class_, method, tag, header, contents, trailer = parser.parse(data[at:at + size], strict=True)
        if trailer:
            raise NotDer(f"{what} has an indefinite length at byte {base + at}")
        if parser.emit(class_, method, tag, contents) != data[at:at + size]:
            raise NotDer(f"{what} has a length at byte {base + at} longer than DER writes it")
        if method == 1:
            if class_ == 0 and tag not in CONSTRUCTED_TYPES:
                raise NotDer(f"{what} has a constructed string at byte {base + at}")
            der_headers(contents, what, base + at + len(header), depth + 1)
        at += size


def strict(asn1_type: Any, der: bytes, what: str) -> Any:
    """DER of WHAT, read as ASN1_TYPE, every part of it, and refused unless
    asn1crypto, re-encoding each part (force), writes exactly DER."""
    der_headers(der, what)
    with parsing(what):
        value = asn1_type.load(der, strict=True)
    seen: list[tuple[Any, bytes]] = []
    whole(value, what, seen)
    # A DEFAULT asn1crypto fills in (an ESSCertIDv2's digest algorithm) is
    # marked changed, and every part above a changed one re-encodes its own
    # parts each time it is read: an RFC 3161 timestamp took minutes.
    for part, _ in seen:
        if getattr(part, "_mutated", False):
            part._mutated = False
    try:
        again = value.dump(force=True)
    except MALFORMED_VALUE as error:
        raise NotDer(f"{what} holds a value DER cannot encode as it stands ({plain(str(error))})") from error
    if again != der:
        # The innermost part whose re-encoding differs: after the parts that hold it.
        part = next(part for part, before in reversed(seen) if part.dump() != before)
        how = "has its elements out of DER's order" if isinstance(part, core.SetOf) else \
            "is encoded otherwise than DER encodes it"
        kind = type(part).__name__
        raise NotDer(f"{'an' if kind[0] in 'AEIOU' else 'a'} {kind} in {what} {how}")
    return value


def subject_text(name: x509.Name) -> str:
    """NAME as RFC 4514 writes one (most specific first, separators and
    specials escaped), so that distinct names never read alike: a value of
    another string type than the usual one has its type's name in angle
    brackets ahead of it (CN=<bmp>...), which no escaped value begins with."""
    rdns = []
    for rdn in reversed(name.chosen):
        pairs = []
        for pair in rdn:
            key = NAME_KEYS.get(pair["type"].dotted, pair["type"].dotted)
            # A value of a type asn1crypto does not know is parsed here, as
            # any DER; a REAL or INSTANCE OF in it has no value in Python
            # (AttributeError, from within asn1crypto).
            with parsing(f"the {key} of a name", MALFORMED_VALUE + (AttributeError,)):
                value = pair["value"].native
            if not isinstance(value, str):
                pairs.append(f"{key}=#{pair['value'].dump().hex()}")
                continue
            value = re.sub(r'([,+"\\<>;])', r"\\\1", value)
            value = re.sub(r"^([ #])", r"\\\1", value)
            value = re.sub(r" $", r"\\ ", value)
            tag = pair["value"].dump()[0]
            if tag != USUAL_STRING_TYPE.get(pair["type"].dotted, UTF8_STRING):
                value = f"<{STRING_TYPES.get(tag, f'tag 0x{tag:02x}')}>{value}"
            pairs.append(f"{key}={value}")
        rdns.append("+".join(pairs))
    return ",".join(rdns)


def same_name(ours: x509.Name, theirs: x509.Name) -> bool:
    """Whether the names are alike as X.509 compares them (RFC 4518 string
    preparation, which refuses some characters, and a value that is no
    string)."""
    try:
        equal: bool = ours == theirs
    except (ValueError, TypeError) as error:
        raise Unreadable(f"a name cannot be compared as X.509 compares names ({plain(str(error))})") from error
    return equal


def the_certificate(certificates: list[x509.Certificate], identifier: cms.SignerIdentifier,
                    whose: str) -> x509.Certificate:
    """The one certificate of CERTIFICATES that IDENTIFIER (an issuer and
    serial) names: matched as X.509 matches names (case and spaces folded)
    and byte for byte. Refused when it names none, more than one, or one
    only the folded comparison finds."""
    if identifier.name != "issuer_and_serial_number":
        raise Refused(f"its {whose} is named by a key identifier, where osslsigncode names it by issuer and serial")
    issuer, serial = identifier.chosen["issuer"], identifier.chosen["serial_number"]
    matches = [certificate for certificate in certificates
               if certificate.serial_number == serial.native and same_name(certificate.issuer, issuer)]
    if len(matches) != 1:
        raise Refused(f"its {whose}'s issuer and serial fit {len(matches)} of its certificates"
                      " (names compared as X.509 compares them), where a release's fit one")
    if (matches[0].issuer.dump() != issuer.dump()
            or matches[0]["tbs_certificate"]["serial_number"].dump() != serial.dump()):
        raise Refused(f"its {whose}'s issuer is spelt otherwise than in the certificate it names")
    return matches[0]


Key = rsa.RSAPublicKey | ec.EllipticCurvePublicKey
KeyKind = type[rsa.RSAPublicKey] | type[ec.EllipticCurvePublicKey]


def public_key(certificate: x509.Certificate) -> tuple[Key, KeyKind]:
    try:
        key = cryptography_x509.load_der_x509_certificate(certificate.dump()).public_key()
    except (ValueError, UnsupportedAlgorithm, cryptography_x509.InvalidVersion) as error:
        raise Unreadable(f"a certificate it carries cannot be read ({plain(str(error))})") from error
    if isinstance(key, rsa.RSAPublicKey):
        return key, rsa.RSAPublicKey
    if isinstance(key, ec.EllipticCurvePublicKey):
        return key, ec.EllipticCurvePublicKey
    raise Refused("its signer's key is neither RSA nor ECDSA")


def signature_over(key: Key, kind: KeyKind, algorithm: bytes, value: bytes, data: bytes,
                   digest: type[hashes.HashAlgorithm]) -> bool:
    """Whether VALUE is KEY's signature of DATA, ALGORITHM (DER) saying
    how; refused when ALGORITHM is not one for that kind of key."""
    if algorithm not in SIGNATURE_ALGORITHMS[kind]:
        raise Refused("its signature algorithm field does not fit its certificate's key")
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(value, data, padding.PKCS1v15(), digest())
        else:
            key.verify(value, data, ec.ECDSA(digest()))
        return True
    except InvalidSignature:
        return False


def attributes_of(attributes: Iterable[cms.CMSAttribute], allowed: set[str], whose: str) -> dict[str, Any]:
    """{type: the one value} of ATTRIBUTES (WHOSE), each one of ALLOWED, once."""
    found: dict[str, Any] = {}
    for attribute in attributes:
        code = attribute["type"].dotted
        if code not in allowed:
            raise Unreadable(f"{whose} hold an attribute {plain(code, 60)}, which osslsigncode does not write")
        if code in found:
            raise Unreadable(f"{whose} hold attribute {plain(code, 60)} twice")
        if len(attribute["values"]) != 1:
            raise Unreadable(f"{whose} hold attribute {plain(code, 60)} with {len(attribute['values'])} values,"
                             " not one")
        found[code] = attribute["values"][0]
    return found


def lacking(found: dict[str, Any], wanted: dict[str, str], whose: str) -> None:
    """Refuses FOUND (attributes_of) unless it holds each of WANTED
    ({type: what it is})."""
    missing = [what for code, what in wanted.items() if code not in found]
    if missing:
        raise Unreadable(f"{whose} lack {' and '.join(missing)}")


def signed_attributes_der(signer: cms.SignerInfo) -> bytes:
    # The signature is over the attributes as a SET, not as the [0] they are tagged.
    der: bytes = signer["signed_attrs"].dump()
    return b"\x31" + der[1:]


def countersignature(signer_info: cms.SignerInfo, signed_value: bytes,
                     certificates: list[x509.Certificate]) -> tuple[Any, x509.Certificate]:
    """The time of a countersignature (the timestamp of an Authenticode
    time stamping authority) over SIGNED_VALUE, and its certificate."""
    if signer_info["version"].native != "v1":
        raise Unreadable(f"its countersignature is of version {signer_info['version'].native}, not v1")
    if not absent(signer_info["unsigned_attrs"]):
        raise Unreadable("its countersignature carries unsigned attributes")
    name = signer_info["digest_algorithm"]["algorithm"].native
    if name not in TIMESTAMP_DIGESTS:
        raise Unreadable(f"its countersignature uses the digest {name}, not SHA-256, SHA-384 or SHA-512")
    digest = TIMESTAMP_DIGESTS[name]
    whose = "its countersignature's signed attributes"
    found = attributes_of(signer_info["signed_attrs"], {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME}, whose)
    lacking(found, {CONTENT_TYPE: "a content type", MESSAGE_DIGEST: "a message digest",
                    SIGNING_TIME: "a signing time"}, whose)
    if found[CONTENT_TYPE].native != "data":
        raise Unreadable("its countersignature's content type is not data")
    hasher = hashes.Hash(digest())
    hasher.update(signed_value)
    if found[MESSAGE_DIGEST].native != hasher.finalize():
        raise Refused("its timestamp is not over its signature")
    certificate = the_certificate(certificates, signer_info["sid"], "timestamp's signer")
    key, kind = public_key(certificate)
    if not signature_over(key, kind, signer_info["signature_algorithm"].dump(), signer_info["signature"].native,
                          signed_attributes_der(signer_info), digest):
        raise Refused("its timestamp's signature is not by its certificate's key")
    return found[SIGNING_TIME].native, certificate


def rfc3161(token: cms.ContentInfo, signed_value: bytes) -> tuple[Any, x509.Certificate, list[x509.Certificate]]:
    """The time of an RFC 3161 timestamp token over SIGNED_VALUE, its
    signer's certificate and the certificates it carries."""
    if token["content_type"].native != "signed_data":
        raise Unreadable(f"its RFC 3161 timestamp is a {token['content_type'].native}, not a SignedData")
    signed = token["content"]
    info = signed["encap_content_info"]
    if info["content_type"].native != "tst_info":
        raise Unreadable(f"its RFC 3161 timestamp holds {info['content_type'].native}, not TSTInfo")
    if not absent(signed["crls"]):
        raise Unreadable("its RFC 3161 timestamp carries revocation lists")
    if len(signed["signer_infos"]) != 1:
        raise Unreadable(f"its RFC 3161 timestamp names {len(signed['signer_infos'])} signers, not one")
    if not isinstance(info["content"], core.ParsableOctetString):
        raise Unreadable("its RFC 3161 timestamp leaves its TSTInfo out")
    tst = strict(tsp.TSTInfo, info["content"].contents, "its RFC 3161 timestamp's TSTInfo")
    imprint = tst["message_imprint"]
    name = imprint["hash_algorithm"]["algorithm"].native
    if name not in TIMESTAMP_DIGESTS:
        raise Refused(f"its timestamp uses a digest ({name}) weaker than a release's")
    hasher = hashes.Hash(TIMESTAMP_DIGESTS[name]())
    hasher.update(signed_value)
    if imprint["hashed_message"].native != hasher.finalize():
        raise Refused("its timestamp is not over its signature")
    certificates = [choice.chosen for choice in signed["certificates"] or []
                    if choice.name == "certificate"]
    if len(certificates) != len(signed["certificates"] or []):
        raise Unreadable("its RFC 3161 timestamp carries a certificate of another kind than X.509")
    signer_info = signed["signer_infos"][0]
    name = signer_info["digest_algorithm"]["algorithm"].native
    if name not in TIMESTAMP_DIGESTS:
        raise Unreadable(f"its RFC 3161 timestamp's signer uses the digest {name}, not SHA-256, SHA-384 or SHA-512")
    if not absent(signer_info["unsigned_attrs"]):
        raise Unreadable("its RFC 3161 timestamp's signer carries unsigned attributes")
    whose = "its RFC 3161 timestamp's signed attributes"
    found = attributes_of(signer_info["signed_attrs"], {
        CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, "1.2.840.113549.1.9.16.2.12",
        "1.2.840.113549.1.9.16.2.47", "1.2.840.113549.1.9.52"}, whose)
    lacking(found, {CONTENT_TYPE: "a content type", MESSAGE_DIGEST: "a message digest"}, whose)
    if found[CONTENT_TYPE].native != "tst_info":
        raise Unreadable("its RFC 3161 timestamp's content type attribute is not TSTInfo")
    hasher = hashes.Hash(TIMESTAMP_DIGESTS[name]())
    hasher.update(info["content"].contents)
    if found[MESSAGE_DIGEST].native != hasher.finalize():
        raise Refused("its timestamp's token is not what its signature covers")
    certificate = the_certificate(certificates, signer_info["sid"], "timestamp's signer")
    key, kind = public_key(certificate)
    if not signature_over(key, kind, signer_info["signature_algorithm"].dump(), signer_info["signature"].native,
                          signed_attributes_der(signer_info), TIMESTAMP_DIGESTS[name]):
        raise Refused("its timestamp's signature is not by its certificate's key")
    return tst["gen_time"].native, certificate, certificates


def read_timestamp(unsigned: Iterable[cms.CMSAttribute], signed_value: bytes,
                   certificates: list[x509.Certificate]) -> Timestamp | None:
    """The Timestamp the unsigned attributes hold, None when none."""
    found: tuple[str, Any, x509.Certificate, list[x509.Certificate]] | None = None
    token = None
    for attribute in unsigned:
        code = attribute["type"].dotted
        if code == NESTED_SIGNATURE:
            raise Refused("a second signature is nested in its signature")
        if code not in (COUNTERSIGNATURE, RFC3161_TIMESTAMP):
            raise Refused(f"its signature carries an unsigned attribute {plain(code, 60)} that a release's does not")
        if found is not None or len(attribute["values"]) != 1:
            raise Refused("its signature carries more than one timestamp")
        value = attribute["values"][0]
        if code == COUNTERSIGNATURE:
            found = ("countersignature", *countersignature(value, signed_value, certificates), certificates)
        else:
            found, token = ("RFC 3161", *rfc3161(value, signed_value)), value.dump()
    if found is None:
        return None
    kind, time, certificate, carried = found
    # asn1crypto gives the year 0 as an extended_datetime, no datetime.
    if not isinstance(time, datetime.datetime):
        raise Unreadable("its timestamp's time is in the year 0, which no timestamp gives")
    return Timestamp(kind, time, certificate.dump(), tuple(item.dump() for item in carried),
                     subject_text(certificate.subject), token)


def read(block: bytes) -> Signature | str:
    """The Signature in an Authenticode signature block (the WIN_CERTIFICATE's
    contents); a string saying why when it is not one osslsigncode writes."""
    try:
        return read_block(block)
    except Refused as refusal:
        return str(refusal)
    except NotDer as not_der:
        return f"{NOT_DER}: {not_der}"
    except Unreadable as unreadable:
        return f"{UNREADABLE}: {unreadable}"


def signed_data_version(der: bytes) -> Any:
    """The version of the SignedData in DER, read ahead of the rest (it
    decides how asn1crypto reads what follows it); None when it cannot be
    read so."""
    try:
        content = cms.ContentInfo.load(der)
        if content["content_type"].native != "signed_data":
            return None
        return content["content"]["version"].native
    except ValueError:
        return None


def read_block(block: bytes) -> Signature:
    # Zeros pad it to a multiple of 8 bytes, as osslsigncode does.
    try:
        _, _, _, header, body, trailer = parser.parse(block, strict=False)
    except ValueError:
        raise Refused("its signature block is not one PKCS#7 structure") from None
    end = len(header) + len(body) + len(trailer)
    if block[0] != 0x30 or len(block) - end >= 8 or any(block[end:]):
        raise Refused("its signature block is not one PKCS#7 structure")
    if signed_data_version(block[:end]) not in (None, "v1"):
        raise Refused(FORM)
    content = strict(cms.ContentInfo, block[:end], "its PKCS#7 structure")
    if content["content_type"].native != "signed_data":
        raise Unreadable(f"its PKCS#7 structure is {content['content_type'].native}, not SignedData")
    signed = content["content"]
    info = signed["encap_content_info"]
    if info["content_type"].dotted != INDIRECT_DATA:
        raise Unreadable(f"what it signs is {info['content_type'].dotted}, not Authenticode's indirect data")
    if not isinstance(info["content"], core.Any):
        raise Unreadable("it leaves out the indirect data it signs")
    # The content is [0] EXPLICIT: what it wraps is the SpcIndirectDataContent.
    with parsing("the [0] around the indirect data it signs"):
        _, _, _, _, wrapped, _ = parser.parse(info["content"].dump(), strict=True)
    indirect = strict(SpcIndirectDataContent, wrapped, "the indirect data it signs")
    choices = signed["certificates"] or []
    certificates = [choice.chosen for choice in choices if choice.name == "certificate"]
    if len(certificates) != len(choices):
        raise Refused("its signature carries a certificate of a kind osslsigncode does not write")
    for certificate in certificates:
        public_key(certificate)  # read by both parsers, or refused
    if not absent(signed["crls"]):
        raise Refused("its signature carries revocation lists, which osslsigncode does not write")
    if len(signed["signer_infos"]) != 1:
        raise Refused(f"its signature names {len(signed['signer_infos'])} signers, where a release's names one")
    signer = signed["signer_infos"][0]
    # Fields the signature does not cover: as osslsigncode writes them.
    if (signed["version"].native != "v1" or signer["version"].native != "v1"
            or [item.dump() for item in signed["digest_algorithms"]] != [SHA256]
            or signer["digest_algorithm"].dump() != SHA256
            or indirect["message_digest"]["digest_algorithm"].dump() != SHA256
            or indirect["data"]["type"].dotted != PE_IMAGE_DATA):
        raise Refused(FORM)
    if absent(signer["signed_attrs"]):
        raise Unreadable("its signer has no signed attributes")
    whose = "its signer's signed attributes"
    found = attributes_of(signer["signed_attrs"], {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, OPUS_INFO,
                                                   STATEMENT_TYPE}, whose)
    lacking(found, {CONTENT_TYPE: "a content type", MESSAGE_DIGEST: "a message digest",
                    OPUS_INFO: "a program name (SpcSpOpusInfo)", STATEMENT_TYPE: "a statement type"}, whose)
    if found[CONTENT_TYPE].dotted != INDIRECT_DATA:
        raise Unreadable(f"its signer's content type is {found[CONTENT_TYPE].dotted}, not Authenticode's indirect data")
    program_name, more_info = opus_info(found[OPUS_INFO].dump())
    statements = strict(SpcStatementType, found[STATEMENT_TYPE].dump(), "its signer's statement type")
    if not statements.native:
        raise Unreadable("its signer's statement type names no statement")
    if not set(statements.native) <= STATEMENTS:
        raise Unreadable("its signer's statement type names one other than individual or commercial code signing")
    message_digest: bytes = found[MESSAGE_DIGEST].native
    program_digest: bytes = indirect["message_digest"]["digest"].native
    if len(message_digest) != 32:
        raise Unreadable(f"its signer's message digest is {len(message_digest)} bytes, not SHA-256's 32")
    if len(program_digest) != 32:
        raise Unreadable(f"the program digest it signs is {len(program_digest)} bytes, not SHA-256's 32")
    certificate = the_certificate(certificates, signer["sid"], "signer")
    _, kind = public_key(certificate)
    if signer["signature_algorithm"].dump() not in SIGNATURE_ALGORITHMS[kind]:
        raise Refused("its signature algorithm field does not fit its signer's key")
    value: bytes = signer["signature"].native
    timestamp = read_timestamp(signer["unsigned_attrs"] or [], value, certificates)
    return Signature(program_digest, indirect.contents, message_digest, signed_attributes_der(signer), value,
                     signer["signature_algorithm"].dump(), certificate.dump(),
                     tuple(item.dump() for item in certificates), subject_text(certificate.subject), timestamp,
                     program_name, more_info)


def opus_info(der: bytes) -> tuple[str | None, str | None]:
    """The program name and the "more info" URL of an SpcSpOpusInfo (DER),
    either None when it gives none; refused unless the link is a URL, as
    osslsigncode writes it (-i), not a moniker or a file."""
    opus = strict(SpcSpOpusInfo, der, "its signer's program name (SpcSpOpusInfo)")
    name = None if absent(opus["program_name"]) else opus["program_name"].chosen.native
    link = opus["more_info"]
    if absent(link):
        return name, None
    if link.name != "url":
        raise Refused(f"its signer's more-info link (SpcSpOpusInfo) is a {link.name}, where osslsigncode writes a URL")
    url: str = link.chosen.native
    return name, url


def holds(signature: Signature, program_digest: bytes) -> bool:
    """Whether the signature is over a program of PROGRAM_DIGEST (its
    Authenticode SHA-256), by its certificate's key."""
    if signature.program_digest != program_digest or signature.message_digest != hashlib.sha256(
            signature.indirect_data).digest():
        return False
    try:
        key, kind = public_key(x509.Certificate.load(signature.certificate))
        return signature_over(key, kind, signature.algorithm, signature.value, signature.signed_attributes,
                              hashes.SHA256)
    except (Refused, Unreadable):
        return False


def signer_allowed(signature: Signature) -> str | None:
    """None when the signer's certificate may sign code, else why not:
    key usage, when given, must hold digitalSignature and extended key
    usage, when given, codeSigning, as Windows requires."""
    certificate = x509.Certificate.load(signature.certificate)
    usage, extended = certificate.key_usage_value, certificate.extended_key_usage_value
    if usage is not None and "digital_signature" not in usage.native:
        return "its signer's certificate is not allowed to sign (its key usage lacks digitalSignature)"
    if extended is not None and "code_signing" not in extended.native:
        return "its signer's certificate is not allowed to sign code (its extended key usage lacks codeSigning)"
    return None


def issued_by(certificate: x509.Certificate, issuer: x509.Certificate) -> bool:
    """Whether ISSUER issued CERTIFICATE: its subject is CERTIFICATE's
    issuer, byte for byte, and its key made CERTIFICATE's signature."""
    if certificate.issuer.dump() != issuer.subject.dump():
        return False
    try:
        made = cryptography_x509.load_der_x509_certificate(certificate.dump())
        key = cryptography_x509.load_der_x509_certificate(issuer.dump()).public_key()
        # None for a key that hashes its own way (Ed25519, say): not one verified here.
        digest: hashes.HashAlgorithm | None = made.signature_hash_algorithm
        if digest is None:
            return False
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(made.signature, made.tbs_certificate_bytes, padding.PKCS1v15(), digest)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(made.signature, made.tbs_certificate_bytes, ec.ECDSA(digest))
        else:
            return False
    except (InvalidSignature, UnsupportedAlgorithm, ValueError, TypeError, cryptography_x509.InvalidVersion):
        return False
    return True


def self_signed(der: bytes) -> bool:
    certificate = x509.Certificate.load(der)
    return issued_by(certificate, certificate)


def subject_of(der: bytes) -> str:
    return named(x509.Certificate.load(der))


def named(certificate: x509.Certificate) -> str:
    return plain(subject_text(certificate.subject), 100)


def chain_refused(signature: Signature, roots: list[bytes] | None) -> str | None:
    """None when SIGNATURE is in the form a release's takes beyond what the
    reader holds it to, else why not: it carries its signer's certificate
    and the intermediates on its path, each once, and nothing else (no
    root, no certificate off the path), with ROOTS (DER of the --ca
    certificates) the last of them issued by a self-signed one of those;
    its timestamp, if any, is the RFC 3161 one osslsigncode -ts adds. Anyone
    can add or remove certificates and unsigned attributes without the
    signer's key: what is not the signer's own is refused."""
    if signature.timestamp is not None and signature.timestamp.kind != "RFC 3161":
        return (f"its timestamp is a {signature.timestamp.kind}, where the release script adds an RFC 3161"
                " timestamp (osslsigncode -ts) or none")
    return path_refused(signature.certificate, signature.certificates, roots)


def path_refused(signer: bytes, certificates: Sequence[bytes], roots: list[bytes] | None) -> str | None:
    """chain_refused's verdict on the certificates of a signature (DER),
    SIGNER's among them: what the release script signs with is held to it
    too."""
    carried = [x509.Certificate.load(der) for der in certificates]
    for index, der in enumerate(certificates):
        if der in certificates[:index]:
            return f"its signature carries a certificate twice ({named(carried[index])})"
    path = [x509.Certificate.load(signer)]
    rest = [item for item in carried if item.dump() != signer]
    while True:
        issuers = [item for item in rest if issued_by(path[-1], item)]
        if not issuers:
            break
        if len(issuers) > 1:
            return f"two of its certificates could have issued {named(path[-1])}"
        if issued_by(issuers[0], issuers[0]):
            return (f"its signature carries a root certificate ({named(issuers[0])}), where a release's carries"
                    " its signer's and the intermediates below the root alone")
        path.append(issuers[0])
        rest.remove(issuers[0])
    if rest:
        kind = "a self-signed certificate" if issued_by(rest[0], rest[0]) else "a certificate"
        return (f"its signature carries {kind} off its signer's path ({named(rest[0])}), where a release's"
                " carries its signer's and the intermediates on its path alone")
    if roots is not None and not any(
            issued_by(path[-1], root) and issued_by(root, root)
            for root in (x509.Certificate.load(der) for der in roots)):
        return (f"the last certificate on its signer's path ({named(path[-1])}) is not issued by a root"
                " certificate of --ca (an intermediate left out, or a signer --ca does not vouch for)")
    return None


def fingerprint(der: bytes) -> str:
    return hashlib.sha256(der).hexdigest().upper()


def pem(ders: Iterable[bytes]) -> bytes:
    return b"".join(b"-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der)
                    + b"-----END CERTIFICATE-----\n" for der in ders)


def read_certificates(path: str) -> list[bytes] | None:
    """The certificates of a PEM file, every block of it; None unless
    each block is a certificate and there is at least one."""
    try:
        with open(path, "rb") as source:
            text = source.read(4 << 20)
        blocks = re.findall(rb"-----BEGIN ([A-Z0-9 ]+)-----\r?\n(.*?)-----END \1-----", text, re.S)
        if not blocks or text.count(b"-----BEGIN ") != len(blocks) or any(
                kind != b"CERTIFICATE" for kind, _ in blocks):
            return None
        return [cryptography_x509.load_pem_x509_certificate(b"-----BEGIN CERTIFICATE-----\n" + body
                                                            + b"-----END CERTIFICATE-----\n")
                .public_bytes(serialization.Encoding.DER) for _, body in blocks]
    except (OSError, ValueError):
        return None


Run = Callable[[list[str]], subprocess.CompletedProcess[bytes]]


# Where openssl verify looks for the system's CA certificates when given
# none; openssl ts reads only the ones it is given.
SYSTEM_CERTIFICATES = "/usr/lib/ssl/certs"


def timestamp_verdict(signature: Signature, tsa_ca: str | None, run: Run, scratch: str) -> bool:
    """Whether the signature's timestamp verifies, as at the time it
    states, against TSA_CA (a PEM file) or the system's CA certificates:
    an RFC 3161 token as openssl ts verifies one (its signature, its
    signer's chain for time stamping, its imprint of the signature it
    stamps), a countersignature's certificate as openssl verify does."""
    timestamp = signature.timestamp
    assert timestamp is not None, "only a timestamp is verified"
    attime = ["-attime", str(int(timestamp.time.timestamp()))]
    if timestamp.token is not None:
        token, stamped = os.path.join(scratch, "token.der"), os.path.join(scratch, "stamped.bin")
        for path, data in ((token, timestamp.token), (stamped, signature.value)):
            with open(path, "wb") as out:
                out.write(data)
        trusted = ["-CAfile", tsa_ca] if tsa_ca else ["-CApath", SYSTEM_CERTIFICATES]
        return run(["openssl", "ts", "-verify", "-in", token, "-token_in", "-data", stamped, *attime,
                    *trusted]).returncode == 0
    leaf, others = os.path.join(scratch, "tsa.pem"), os.path.join(scratch, "tsa-untrusted.pem")
    with open(leaf, "wb") as out:
        out.write(pem([timestamp.certificate]))
    command = ["openssl", "verify", "-purpose", "timestampsign", *attime]
    command += ["-CAfile", tsa_ca, "-no-CApath", "-no-CAstore"] if tsa_ca else []
    carried = [der for der in timestamp.certificates if der != timestamp.certificate]
    if carried:
        with open(others, "wb") as out:
            out.write(pem(carried))
        command += ["-untrusted", others]
    return run(command + [leaf]).returncode == 0


def chain_verdict(path: str, signature: Signature, ca: str | None, tsa_ca: str | None, run: Run,
                  fetches_crls: bool) -> tuple[bool, bool]:
    """(whether osslsigncode verifies the program at PATH, its chain
    against CA or the system's; whether it checked the certificate this
    reader picked as the signer's)."""
    command = ["osslsigncode", "verify", "-in", path, "-require-leaf-hash",
               f"sha256:{fingerprint(signature.certificate).lower()}"]
    command += ["-CAfile", ca] if ca else []
    command += ["-TSA-CAfile", tsa_ca] if tsa_ca else []
    if fetches_crls:
        command.append("-ignore-cdp")
    result = run(command)
    # A timestamp osslsigncode cannot verify leaves its status 0: the
    # timestamp is judged by timestamp_verdict alone.
    leaf_failed = re.search(rb"Leaf hash match: failed", result.stdout) is not None
    return result.returncode == 0 and not leaf_failed, not leaf_failed


def utc(time: datetime.datetime) -> str:
    return time.astimezone(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
