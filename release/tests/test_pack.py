"""What the packer signs with, from a certificate file laid out in each way
a releaser may give one: the signer's certificate and the intermediates on
its path, a root left out, and any other file refused as the release check
would refuse its signatures."""
import datetime
import pathlib

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

import pack
import signature

NOW = datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc)


def issue(name: str, issuer: tuple[x509.Certificate, ec.EllipticCurvePrivateKey] | None,
          ca: bool) -> tuple[x509.Certificate, ec.EllipticCurvePrivateKey]:
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, name)])
    issuer_name, signing_key = (issuer[0].subject, issuer[1]) if issuer else (subject, key)
    made = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer_name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(NOW)
            .not_valid_after(NOW + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
            .sign(signing_key, hashes.SHA256()))
    return made, key


ROOT = issue("Root", None, True)
INTERMEDIATE = issue("Intermediate", ROOT, True)
SIGNER = issue("Signer", INTERMEDIATE, False)
SELF_SIGNED = issue("Self-signed signer", None, False)
OTHER_ROOT = issue("Other root", None, True)
STRANGER = issue("Stranger", OTHER_ROOT, False)
CERTIFICATES = {"root": ROOT, "intermediate": INTERMEDIATE, "signer": SIGNER, "self-signed": SELF_SIGNED,
                "other root": OTHER_ROOT, "stranger": STRANGER}

# name, the file's certificates in order, what the packer signs with or why it refuses.
LAYOUTS: list[tuple[str, list[str], list[str] | str]] = [
    ("signer and intermediate", ["signer", "intermediate"], ["signer", "intermediate"]),
    ("a PFX's whole path", ["signer", "intermediate", "root"], ["signer", "intermediate"]),
    ("a self-signed signer alone", ["self-signed"], ["self-signed"]),
    ("a root of another path", ["signer", "intermediate", "other root"], ["signer", "intermediate"]),
    ("a certificate off the path", ["signer", "intermediate", "stranger"],
     "would give signatures the release check refuses: its signature carries a certificate off its signer's path"
     " (CN=Stranger)"),
]


@pytest.mark.parametrize("layout, signs", [row[1:] for row in LAYOUTS], ids=[row[0] for row in LAYOUTS])
def test_signing_chain(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], layout: list[str],
                       signs: list[str] | str) -> None:
    cert = tmp_path / "CERT.pem"
    cert.write_bytes(b"".join(CERTIFICATES[name][0].public_bytes(serialization.Encoding.PEM) for name in layout))
    if isinstance(signs, str):
        with pytest.raises(SystemExit, match=signs.replace("(", r"\(").replace(")", r"\)")):
            pack.signing_chain(str(cert), str(tmp_path))
        return
    chain = signature.read_certificates(pack.signing_chain(str(cert), str(tmp_path)))
    wanted = [CERTIFICATES[name][0].public_bytes(serialization.Encoding.DER) for name in signs]
    assert chain == wanted
    left_out = [name for name in layout if name not in signs]
    assert capsys.readouterr().out.count("left out of the signatures: a self-signed (root) certificate") == len(
        left_out)
