#!/usr/bin/python3
"""Packs the Windows programs and the user guide as Windows users download
them: the same bytes from the same inputs, wherever and whenever it runs.

    pack.py --contents BUILD/release_contents.txt --epoch SECONDS --commit SHA
            [--sign CERT KEY [--timestamp URL]] --out DIR
    pack.py --contents BUILD/release_contents.txt --epoch SECONDS --commit SHA
            --programs DIR --buildinfo FILE --out DIR

BUILD/release_contents.txt is written by CMake (brelvik_release_contents).
DIR must be empty or absent; pack.py writes into it:
    NAME-VERSION-win64.zip   the programs, USER_GUIDE.txt, BUILDINFO.txt,
                             THIRD_PARTY_NOTICES.txt and the SBOM
                             NAME-VERSION.cdx.json (notices.py,
                             sbom.py), in one top folder NAME-VERSION/
    NAME-VERSION/            the ZIP's files, unpacked
    SHA256SUMS               the ZIP's and each program's, as sha256sum writes them

With --sign, each program is signed (Authenticode, SHA-256) with osslsigncode
before it is packed: CERT holds the signing certificate followed by any
intermediate certificates, KEY its private key, both PEM. A self-signed
certificate after the first (a root) is left out, saying so; a CERT whose
signatures the release check would refuse otherwise is refused. A key with a
passphrase reads it from file descriptor N with --passphrase-fd N, else
from the environment variable BRELVIK_SIGN_PASSPHRASE; either way it
reaches osslsigncode through a pipe of its own, never an environment.
The signing time is the epoch, so an RSA key gives the same bytes on every
run (ECDSA signatures differ each time, and so does a timestamp).

The second form repacks, for verify-release.sh: it takes the
programs (by the file names the contents file's program lines give) from
--programs DIR exactly as they are, signed or not, and FILE as
BUILDINFO.txt, and signs nothing; everything else it derives as a release
run does, so that DIR gets what a release with those programs holds.
"""
import argparse
import hashlib
import io
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True  # nothing written into the source tree
# After the standard library, and found under python3 -I too (the release
# check runs a commit's packer so).
sys.path.append(os.path.dirname(os.path.abspath(__file__)))
from buildinfo import (BUILDINFO_NAME, BuildinfoError, Contents, buildinfo, crlf,  # noqa: E402
                       read_buildinfo, read_contents)
import debian_packages as debian  # noqa: E402
import notices  # noqa: E402
import sbom  # noqa: E402
import signature as authenticode  # noqa: E402

# Regular file, rw-r--r--, in the high half of a Unix-made entry's attributes.
ENTRY_ATTRIBUTES = 0o100644 << 16
MADE_ON_UNIX = 3
DOS_EPOCH: tuple[int, int, int, int, int, int] = (1980, 1, 1, 0, 0, 0)

GUIDE_NAME = "USER_GUIDE.txt"
# Where the guide names what the build alone knows, each set in one place:
# the release's version, and the adapter's ids from protocol/.
GUIDE_PLACEHOLDERS = (b"@VERSION@", b"@VENDOR_ID@", b"@PRODUCT_ID@", b"@INTERFACE_GUID@")
PASSPHRASE_VARIABLE = "BRELVIK_SIGN_PASSPHRASE"

# The repack form above, as verify.py calls it: a release
# of a commit whose packer lacks this line cannot be checked.
REPACK_INTERFACE = 1


def guide_values(contents: Contents) -> dict[bytes, str]:
    """{placeholder: what the packer writes for it}."""
    return dict(zip(GUIDE_PLACEHOLDERS, (contents["version"], contents["vendor_id"], contents["product_id"],
                                         contents["interface_guid"])))


def guide_text(source: bytes, contents: Contents) -> bytes:
    """The guide as shipped: SOURCE with its placeholders filled and CRLF
    line ends (Notepad wants them; BUILDINFO.txt has them too)."""
    for placeholder, value in guide_values(contents).items():
        source = source.replace(placeholder, value.encode("ascii"))
    return crlf(source)


def guide_problems(source: bytes, contents: Contents) -> list[str]:
    """What in the guide's SOURCE would go stale or ship unfilled: a value a
    placeholder stands for, written by hand (as a word of its own or after
    0x, in any case, braces left out), or a placeholder the packer does not
    know."""
    problems = []
    for placeholder, value in guide_values(contents).items():
        by_hand = re.escape(value.strip("{}")).encode("ascii")
        if re.search(rb"(?<![0-9A-Za-z])(?:0x)?" + by_hand + rb"(?![0-9A-Za-z])", source, re.IGNORECASE):
            problems.append(f"names {value} by hand; write {placeholder.decode()} there")
    for unknown in sorted(set(re.findall(rb"@[A-Z_]+@", source)) - set(GUIDE_PLACEHOLDERS)):
        problems.append(f"holds {unknown.decode()}, which the packer does not fill")
    return problems


def pack_zip(top: str, files: dict[str, bytes], epoch: int) -> bytes:
    """The release ZIP's bytes: FILES ({name: bytes}) in the folder TOP,
    each dated EPOCH."""
    # DOS dates are local time without a zone: take the epoch as UTC, so
    # the machine's time zone does not matter.
    utc = time.gmtime(epoch)
    date = max((utc.tm_year, utc.tm_mon, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec), DOS_EPOCH)
    packed = io.BytesIO()
    with zipfile.ZipFile(packed, "w") as archive:
        for name in sorted(files):
            entry = zipfile.ZipInfo(f"{top}/{name}", date_time=date)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = MADE_ON_UNIX
            entry.external_attr = ENTRY_ATTRIBUTES
            archive.writestr(entry, files[name], compresslevel=9)
    return packed.getvalue()


def sign(program: str, cert: str, key: str, epoch: int, timestamp: str | None, passphrase: str | None,
         scratch: str) -> bytes:
    """The program's bytes with an Authenticode signature."""
    signed = os.path.join(scratch, os.path.basename(program))
    command = ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
               "-n", os.path.splitext(os.path.basename(program))[0], "-time", str(epoch)]
    if timestamp:
        command += ["-ts", timestamp]
    fds: tuple[int, ...] = ()
    if passphrase is not None:
        # Through a pipe: an argument would show in the process list.
        read_end, write_end = os.pipe()
        os.write(write_end, passphrase.encode("utf-8"))
        os.close(write_end)
        command += ["-readpass", f"/dev/fd/{read_end}"]
        fds = (read_end,)
    command += ["-in", program, "-out", signed]
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, pass_fds=fds)
    finally:
        for fd in fds:
            os.close(fd)
    if result.returncode != 0:
        sys.exit(f"pack: osslsigncode could not sign {program}:\n{result.stdout}")
    with open(signed, "rb") as data:
        return data.read()


def signing_chain(cert: str, scratch: str) -> str:
    """The file of CERT's certificates to sign with: the signer's (the
    first) and the intermediates on its path. A self-signed certificate
    after the signer's, the root a PFX exported with its whole path holds,
    is left out, saying so: the release check refuses a signature that
    carries a root. Exits with one line for a CERT that check would refuse
    a signature of."""
    certificates = authenticode.read_certificates(cert)
    if certificates is None:
        sys.exit(f"pack: {cert} is not a PEM file of certificates")
    kept = certificates[:1]
    for der in certificates[1:]:
        if authenticode.self_signed(der):
            print(f"pack: {authenticode.subject_of(der)} of {cert} left out of the"
                  " signatures: a self-signed (root) certificate, where a release's signature carries its signer's"
                  " and the intermediates below the root")
        else:
            kept.append(der)
    refused = authenticode.path_refused(kept[0], kept, None)
    if refused:
        sys.exit(f"pack: {cert} would give signatures the release check refuses: {refused}")
    chain = os.path.join(scratch, "signing-chain.pem")
    with open(chain, "wb") as out:
        out.write(authenticode.pem(kept))
    return chain


def third_party_files(contents: Contents, info: dict[str, str],
                      files: dict[str, bytes]) -> dict[str, bytes]:
    """The notices and the SBOM a release of these programs carries:
    {name: bytes}. INFO is BUILDINFO.txt's fields (read_buildinfo), FILES
    what the ZIP holds so far, the programs as shipped among them. Exits
    with one line when the link holds what cannot be told."""
    try:
        links = notices.linked(contents)
        text = notices.notices_text(contents, info, links).encode("ascii")
        bom_name, bom = sbom.sbom(contents, info, files, links)
    except (notices.LinkError, debian.DebianError) as error:
        sys.exit(f"pack: {error}")
    return {notices.NOTICES_NAME: text.replace(b"\n", b"\r\n"), bom_name: bom}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--contents", required=True)
    parser.add_argument("--epoch", required=True, type=int,
                        help="the entries' date, in seconds since 1970 (the commit's)")
    parser.add_argument("--commit", required=True, help="the commit the sources are")
    parser.add_argument("--sign", nargs=2, metavar=("CERT", "KEY"),
                        help="sign the programs: PEM certificate chain and PEM private key")
    parser.add_argument("--timestamp", metavar="URL", help="RFC 3161 timestamp server (with --sign)")
    parser.add_argument("--passphrase-fd", type=int, metavar="N",
                        help="read the key's passphrase from this file descriptor (with --sign)")
    parser.add_argument("--programs", metavar="DIR", help="repack: the programs, as they are, from DIR")
    parser.add_argument("--buildinfo", metavar="FILE", help="repack: BUILDINFO.txt as it is")
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    if args.timestamp and not args.sign:
        parser.error("--timestamp needs --sign")
    if (args.programs is None) != (args.buildinfo is None) or (args.programs and args.sign):
        parser.error("--programs and --buildinfo go together, without --sign")
    # Nothing this starts gets the passphrase in its environment.
    passphrase = os.environ.pop(PASSPHRASE_VARIABLE, None)
    if args.passphrase_fd is not None:
        with os.fdopen(args.passphrase_fd, encoding="utf-8") as source:
            passphrase = source.read()

    contents = read_contents(args.contents)
    if os.path.isdir(args.out) and os.listdir(args.out):
        sys.exit(f"{args.out} is not empty")
    top = f"{contents['name']}-{contents['version']}"

    files: dict[str, bytes] = {}
    with tempfile.TemporaryDirectory() as scratch:
        chain = signing_chain(args.sign[0], scratch) if args.sign else None
        for program in contents["program"]:
            name = os.path.basename(program)
            if args.programs:
                with open(os.path.join(args.programs, name), "rb") as data:
                    files[name] = data.read()
            elif chain:
                files[name] = sign(program, chain, args.sign[1], args.epoch, args.timestamp, passphrase, scratch)
            else:
                with open(program, "rb") as data:
                    files[name] = data.read()
    if args.buildinfo:
        with open(args.buildinfo, "rb") as data:
            files[BUILDINFO_NAME] = data.read()
    else:
        files[BUILDINFO_NAME] = buildinfo(args.commit, contents["version"], args.epoch, bool(args.sign))
    try:
        info = read_buildinfo(files[BUILDINFO_NAME])  # what verify-release.sh will accept
    except BuildinfoError as error:
        sys.exit(f"pack: {BUILDINFO_NAME} would not be accepted: {error}")
    if info["commit"] != args.commit or info["SOURCE_DATE_EPOCH"] != str(args.epoch) \
            or info["version"] != contents["version"]:
        sys.exit(f"pack: {BUILDINFO_NAME} names another commit, version or SOURCE_DATE_EPOCH than --commit,"
                 " the build and --epoch")
    with open(contents["guide"], "rb") as data:
        files[GUIDE_NAME] = guide_text(data.read(), contents)
    if not args.programs:
        # The SBOM's Debian facts come from the tree's table: a release made
        # here must find it true of this machine.
        try:
            problems = debian.installed_problems(debian.read_table(),
                                                 sbom.versions(contents, info, notices.linked(contents)))
        except (notices.LinkError, debian.DebianError) as error:
            sys.exit(f"pack: {error}")
        if problems:
            sys.exit("pack: the Debian packages' facts differ from this machine's:\n  " + "\n  ".join(problems))
    # What the programs link, and their hashes as packed.
    files.update(third_party_files(contents, info, files))

    zip_name = f"{top}-win64.zip"
    os.makedirs(os.path.join(args.out, top))
    with open(os.path.join(args.out, zip_name), "wb") as archive:
        archive.write(pack_zip(top, files, args.epoch))
    for name in sorted(files):
        with open(os.path.join(args.out, top, name), "wb") as unpacked:
            unpacked.write(files[name])

    summed = [zip_name] + sorted(f"{top}/{os.path.basename(p)}" for p in contents["program"])
    with open(os.path.join(args.out, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as sums:
        for name in summed:
            with open(os.path.join(args.out, name), "rb") as data:
                sums.write(f"{hashlib.sha256(data.read()).hexdigest()}  {name}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
