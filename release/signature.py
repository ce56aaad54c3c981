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
import collections
import datetime
import hashlib
import os
import re

from asn1crypto import algos, cms, core, parser, tsp, x509
from cryptography import x509 as cryptography_x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", SpcPeImageData)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


class SpcSpOpusInfo(core.Sequence):
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]


class SpcStatementType(core.SequenceOf):
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
SIGNATURE_ALGORITHMS = {
    rsa.RSAPublicKey: {algos.SignedDigestAlgorithm({"algorithm": name, "parameters": core.Null()}).dump()
                       for name in ("rsassa_pkcs1v15", "sha256_rsa")},
    ec.EllipticCurvePublicKey: {algos.SignedDigestAlgorithm({"algorithm": "sha256_ecdsa"}).dump()},
}
# Digests a time stamping authority may use; never SHA-1 or MD5.
TIMESTAMP_DIGESTS = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
NAME_KEYS = {"2.5.4.3": "CN", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST", "2.5.4.10": "O", "2.5.4.11": "OU",
             "2.5.4.9": "STREET", "2.5.4.5": "serialNumber", "2.5.4.15": "businessCategory",
             "1.2.840.113549.1.9.1": "emailAddress", "0.9.2342.19200300.100.1.25": "DC",
             "0.9.2342.19200300.100.1.1": "UID"}

Signature = collections.namedtuple(
    "Signature", "program_digest indirect_data message_digest signed_attributes value algorithm certificate"
    " certificates subject timestamp")
# kind: "RFC 3161" or "countersignature"; time: a datetime (UTC);
# certificate: the authority's, DER; certificates: all the block carries.
Timestamp = collections.namedtuple("Timestamp", "kind time certificate certificates subject")


FORM = "its signature is not in the form osslsigncode writes"


class Refused(Exception):
    """The block is not one a release holds; the text says why."""


class Unreadable(Exception):
    pass


def whole(value):
    """Parses every part of VALUE, refusing a sequence with more elements
    than its type has fields (asn1crypto keeps them as extra fields). An
    element of open type (core.Any) is left for its reader to parse."""
    if isinstance(value, core.Choice):
        whole(value.chosen)
    elif isinstance(value, (core.SequenceOf, core.SetOf)):
        # DER orders a SET OF; OpenSSL writes the certificates (and CRLs)
        # of a SignedData in the order they were added, as osslsigncode
        # versions differ in.
        if isinstance(value, core.SetOf) and not isinstance(value, (cms.CertificateSet, cms.RevocationInfoChoices)):
            encodings = [item.dump() for item in value]
            if encodings != sorted(encodings):
                raise Unreadable()
        for item in value:
            whole(item)
    elif isinstance(value, core.Sequence) and value._fields:
        if value.children is None:
            value._parse_children()
        if len(value.children) > len(value._fields):
            raise Unreadable()
        for index in range(len(value.children)):
            whole(value[index])
    elif isinstance(value, (core.Any, core.ParsableOctetString)):
        if value._parsed is not None:
            whole(value._parsed[0])
    elif not isinstance(value, core.Sequence):  # one of no fields is of open type too
        value.native  # noqa: B018 - parses it


def absent(value):
    return isinstance(value, core.Void)


MAX_DEPTH = 40


def der_only(data, at=0, end=None, depth=0):
    """Refuses DATA[AT:END] unless it is DER elements back to back: short
    tags, definite and shortest lengths, strings never constructed."""
    end = len(data) if end is None else end
    if depth > MAX_DEPTH:
        raise Unreadable()
    while at < end:
        if at + 2 > end or data[at] & 0x1F == 0x1F:
            raise Unreadable()
        tag, length, body = data[at], data[at + 1], at + 2
        if length == 0x80 or length == 0xFF:
            raise Unreadable()
        if length & 0x80:
            count = length & 0x7F
            if count > 3 or body + count > end or data[body] == 0:
                raise Unreadable()
            length, body = int.from_bytes(data[body:body + count], "big"), body + count
            if length < 0x80:
                raise Unreadable()
        if body + length > end:
            raise Unreadable()
        if tag & 0x20:
            if tag & 0xC0 == 0 and tag & 0x1F not in (0x10, 0x11):
                raise Unreadable()
            der_only(data, body, body + length, depth + 1)
        at = body + length


def strict(asn1_type, der):
    """DER, read as ASN1_TYPE, every part of it."""
    der_only(der)
    try:
        value = asn1_type.load(der, strict=True)
        whole(value)
        return value
    except (ValueError, TypeError, KeyError, IndexError, OverflowError) as error:
        raise Unreadable() from error


def subject_text(name):
    """NAME as RFC 4514 writes one (most specific first, separators and
    specials escaped), so that distinct names never read alike."""
    rdns = []
    for rdn in reversed(name.chosen):
        pairs = []
        for pair in rdn:
            key = NAME_KEYS.get(pair["type"].dotted, pair["type"].dotted)
            value = pair["value"].native
            if not isinstance(value, str):
                value = "#" + pair["value"].dump().hex()
                pairs.append(f"{key}={value}")
                continue
            value = re.sub(r'([,+"\\<>;])', r"\\\1", value)
            value = re.sub(r"^([ #])", r"\\\1", value)
            value = re.sub(r" $", r"\\ ", value)
            pairs.append(f"{key}={value}")
        rdns.append("+".join(pairs))
    return ",".join(rdns)


def the_certificate(certificates, identifier, whose):
    """The one certificate of CERTIFICATES that IDENTIFIER (an issuer and
    serial) names: matched as X.509 matches names (case and spaces folded)
    and byte for byte. Refused when it names none, more than one, or one
    only the folded comparison finds."""
    if identifier.name != "issuer_and_serial_number":
        raise Refused(f"its {whose} is named by a key identifier, where osslsigncode names it by issuer and serial")
    issuer, serial = identifier.chosen["issuer"], identifier.chosen["serial_number"]
    matches = [certificate for certificate in certificates
               if certificate.serial_number == serial.native and certificate.issuer == issuer]
    if len(matches) != 1:
        raise Refused(f"its {whose}'s issuer and serial fit {len(matches)} of its certificates"
                      " (names compared as X.509 compares them), where a release's fit one")
    if matches[0].issuer.dump() != issuer.dump() or matches[0]["tbs_certificate"]["serial_number"].dump() != serial.dump():
        raise Refused(f"its {whose}'s issuer is spelt otherwise than in the certificate it names")
    return matches[0]


def public_key(certificate):
    try:
        key = cryptography_x509.load_der_x509_certificate(certificate.dump()).public_key()
    except (ValueError, UnsupportedAlgorithm) as error:
        raise Unreadable() from error
    for kind in SIGNATURE_ALGORITHMS:
        if isinstance(key, kind):
            return key, kind
    raise Refused("its signer's key is neither RSA nor ECDSA")


def signature_over(key, kind, algorithm, value, data, digest):
    """Whether VALUE is KEY's signature of DATA, ALGORITHM (DER) saying
    how; refused when ALGORITHM is not one for that kind of key."""
    if algorithm not in SIGNATURE_ALGORITHMS[kind]:
        raise Refused("its signature algorithm field does not fit its certificate's key")
    try:
        if kind is rsa.RSAPublicKey:
            key.verify(value, data, padding.PKCS1v15(), digest())
        else:
            key.verify(value, data, ec.ECDSA(digest()))
        return True
    except InvalidSignature:
        return False


def attributes_of(attributes, allowed):
    """{type: the one value} of ATTRIBUTES, each one of ALLOWED, once."""
    found = {}
    for attribute in attributes:
        code = attribute["type"].dotted
        if code not in allowed or code in found or len(attribute["values"]) != 1:
            raise Unreadable()
        found[code] = attribute["values"][0]
    return found


def signed_attributes_der(signer):
    # The signature is over the attributes as a SET, not as the [0] they are tagged.
    return b"\x31" + signer["signed_attrs"].dump()[1:]


def countersignature(signer_info, signed_value, certificates):
    """The time of a countersignature (the timestamp of an Authenticode
    time stamping authority) over SIGNED_VALUE, and its certificate."""
    if (signer_info["version"].native != "v1" or not absent(signer_info["unsigned_attrs"])
            or signer_info["digest_algorithm"]["algorithm"].native not in TIMESTAMP_DIGESTS):
        raise Unreadable()
    digest = TIMESTAMP_DIGESTS[signer_info["digest_algorithm"]["algorithm"].native]
    found = attributes_of(signer_info["signed_attrs"], {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4",
                                                        "1.2.840.113549.1.9.5"})
    if (found.get("1.2.840.113549.1.9.3") is None or found["1.2.840.113549.1.9.3"].native != "data"
            or "1.2.840.113549.1.9.5" not in found or "1.2.840.113549.1.9.4" not in found):
        raise Unreadable()
    hasher = hashes.Hash(digest())
    hasher.update(signed_value)
    if found["1.2.840.113549.1.9.4"].native != hasher.finalize():
        raise Refused("its timestamp is not over its signature")
    certificate = the_certificate(certificates, signer_info["sid"], "timestamp's signer")
    key, kind = public_key(certificate)
    if not signature_over(key, kind, signer_info["signature_algorithm"].dump(), signer_info["signature"].native,
                          signed_attributes_der(signer_info), digest):
        raise Refused("its timestamp's signature is not by its certificate's key")
    return found["1.2.840.113549.1.9.5"].native, certificate


def rfc3161(token, signed_value):
    """The time of an RFC 3161 timestamp token over SIGNED_VALUE, its
    signer's certificate and the certificates it carries."""
    if token["content_type"].native != "signed_data":
        raise Unreadable()
    signed = token["content"]
    info = signed["encap_content_info"]
    if info["content_type"].native != "tst_info" or not absent(signed["crls"]) or len(signed["signer_infos"]) != 1:
        raise Unreadable()
    if not isinstance(info["content"], core.ParsableOctetString):
        raise Unreadable()
    tst = strict(tsp.TSTInfo, info["content"].contents)
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
        raise Unreadable()
    signer_info = signed["signer_infos"][0]
    name = signer_info["digest_algorithm"]["algorithm"].native
    if name not in TIMESTAMP_DIGESTS or not absent(signer_info["unsigned_attrs"]):
        raise Unreadable()
    found = attributes_of(signer_info["signed_attrs"], {
        "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4", "1.2.840.113549.1.9.5", "1.2.840.113549.1.9.16.2.12",
        "1.2.840.113549.1.9.16.2.47", "1.2.840.113549.1.9.52"})
    if (found.get("1.2.840.113549.1.9.3") is None or found["1.2.840.113549.1.9.3"].native != "tst_info"
            or "1.2.840.113549.1.9.4" not in found):
        raise Unreadable()
    hasher = hashes.Hash(TIMESTAMP_DIGESTS[name]())
    hasher.update(info["content"].contents)
    if found["1.2.840.113549.1.9.4"].native != hasher.finalize():
        raise Refused("its timestamp's token is not what its signature covers")
    certificate = the_certificate(certificates, signer_info["sid"], "timestamp's signer")
    key, kind = public_key(certificate)
    if not signature_over(key, kind, signer_info["signature_algorithm"].dump(), signer_info["signature"].native,
                          signed_attributes_der(signer_info), TIMESTAMP_DIGESTS[name]):
        raise Refused("its timestamp's signature is not by its certificate's key")
    return tst["gen_time"].native, certificate, certificates


def read_timestamp(unsigned, signed_value, certificates):
    """The Timestamp the unsigned attributes hold, None when none."""
    found = None
    for attribute in unsigned:
        code = attribute["type"].dotted
        if code == NESTED_SIGNATURE:
            raise Refused("a second signature is nested in its signature")
        if code not in (COUNTERSIGNATURE, RFC3161_TIMESTAMP):
            raise Refused(f"its signature carries an unsigned attribute {code} that a release's does not")
        if found is not None or len(attribute["values"]) != 1:
            raise Refused("its signature carries more than one timestamp")
        value = attribute["values"][0]
        if code == COUNTERSIGNATURE:
            time, certificate = countersignature(value, signed_value, certificates)
            found = Timestamp("countersignature", time, certificate.dump(),
                              tuple(item.dump() for item in certificates), subject_text(certificate.subject))
        else:
            time, certificate, carried = rfc3161(value, signed_value)
            found = Timestamp("RFC 3161", time, certificate.dump(), tuple(item.dump() for item in carried),
                              subject_text(certificate.subject))
    if found is not None and found.time.tzinfo is None:
        raise Unreadable()
    return found


def read(block):
    """The Signature in an Authenticode signature block (the WIN_CERTIFICATE's
    contents); a string saying why when it is not one osslsigncode writes."""
    try:
        return read_block(block)
    except Refused as refusal:
        return str(refusal)
    except (Unreadable, ValueError, TypeError, KeyError, IndexError, OverflowError, AttributeError):
        return "its signature block cannot be read as an Authenticode signature"


def read_block(block):
    # Zeros pad it to a multiple of 8 bytes, as osslsigncode does.
    try:
        _, _, _, header, body, trailer = parser.parse(block, strict=False)
    except ValueError:
        raise Refused("its signature block is not one PKCS#7 structure") from None
    end = len(header) + len(body) + len(trailer)
    if block[0] != 0x30 or len(block) - end >= 8 or any(block[end:]):
        raise Refused("its signature block is not one PKCS#7 structure")
    try:
        # The version decides how asn1crypto reads what follows it.
        version = cms.ContentInfo.load(block[:end])["content"]["version"].native
    except (ValueError, TypeError, KeyError):
        version = None
    if version not in (None, "v1"):
        raise Refused(FORM)
    content = strict(cms.ContentInfo, block[:end])
    if content["content_type"].native != "signed_data":
        raise Unreadable()
    signed = content["content"]
    info = signed["encap_content_info"]
    if info["content_type"].dotted != INDIRECT_DATA or not isinstance(info["content"], core.Any):
        raise Unreadable()
    # The content is [0] EXPLICIT: what it wraps is the SpcIndirectDataContent.
    _, _, _, _, wrapped, _ = parser.parse(info["content"].dump(), strict=True)
    indirect = strict(SpcIndirectDataContent, wrapped)
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
        raise Unreadable()
    found = attributes_of(signer["signed_attrs"], {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4",
                                                   "1.2.840.113549.1.9.5", OPUS_INFO, STATEMENT_TYPE})
    if (set(found) - {"1.2.840.113549.1.9.5"} != {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4", OPUS_INFO,
                                                   STATEMENT_TYPE}
            or found["1.2.840.113549.1.9.3"].dotted != INDIRECT_DATA):
        raise Unreadable()
    strict(SpcSpOpusInfo, found[OPUS_INFO].dump())
    statements = strict(SpcStatementType, found[STATEMENT_TYPE].dump())
    if not statements.native or not set(statements.native) <= STATEMENTS:
        raise Unreadable()
    message_digest = found["1.2.840.113549.1.9.4"].native
    program_digest = indirect["message_digest"]["digest"].native
    if len(message_digest) != 32 or len(program_digest) != 32:
        raise Unreadable()
    certificate = the_certificate(certificates, signer["sid"], "signer")
    _, kind = public_key(certificate)
    if signer["signature_algorithm"].dump() not in SIGNATURE_ALGORITHMS[kind]:
        raise Refused("its signature algorithm field does not fit its signer's key")
    value = signer["signature"].native
    timestamp = read_timestamp(signer["unsigned_attrs"] or [], value, certificates)
    return Signature(program_digest, indirect.contents, message_digest, signed_attributes_der(signer), value,
                     signer["signature_algorithm"].dump(), certificate.dump(),
                     tuple(item.dump() for item in certificates), subject_text(certificate.subject), timestamp)


def holds(signature, program_digest):
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


def signer_allowed(signature):
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


def fingerprint(der):
    return hashlib.sha256(der).hexdigest().upper()


def pem(ders):
    return b"".join(b"-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der)
                    + b"-----END CERTIFICATE-----\n" for der in ders)


def read_certificates(path):
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


def timestamp_verdict(timestamp, tsa_ca, run, scratch):
    """Whether the timestamp's certificate chains, for time stamping at
    the time it states, to TSA_CA (a PEM file) or to the system's CA
    certificates."""
    leaf, others = os.path.join(scratch, "tsa.pem"), os.path.join(scratch, "tsa-untrusted.pem")
    with open(leaf, "wb") as out:
        out.write(pem([timestamp.certificate]))
    command = ["openssl", "verify", "-purpose", "timestampsign",
               "-attime", str(int(timestamp.time.timestamp()))]
    command += ["-CAfile", tsa_ca, "-no-CApath", "-no-CAstore"] if tsa_ca else []
    carried = [der for der in timestamp.certificates if der != timestamp.certificate]
    if carried:
        with open(others, "wb") as out:
            out.write(pem(carried))
        command += ["-untrusted", others]
    return run(command + [leaf]).returncode == 0


def chain_verdict(path, signature, ca, tsa_ca, run, fetches_crls):
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


def utc(time):
    return time.astimezone(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
