"""The release's SBOM, NAME-VERSION.cdx.json: CycloneDX 1.5 JSON.

The subject (metadata.component) is the release; its components are the
programs, each with the SHA-256 of its bytes as the ZIP holds them (signed
or not), and the Debian packages whose code they link (notices.linked),
with the versions BUILDINFO.txt gives, their license as an SPDX expression
and a pkg:deb package URL. The build tools are metadata.tools. Nothing in
it comes from the clock or the machine: the time is SOURCE_DATE_EPOCH and
the serial number a name-based UUID of the rest of the document, so the
same programs and BUILDINFO.txt give the same bytes.
"""
import hashlib
import json
import os
import time
import urllib.parse
import uuid

import notices
from buildinfo import Programs

# A JSON object, as json.dumps takes one.
Json = dict[str, object]

COPYRIGHT = "Copyright (c) 2026 The BRELVIK DFU switch authors"
PROJECT_LICENSE: list[Json] = [{"license": {"id": "MIT"}}]
# The tools BUILDINFO.txt names that made the programs, and what each did.
TOOLS = {
    "clang-19": "C++ compiler",
    "lld-19": "linker",
    "binutils-mingw-w64-x86-64": "resource compiler (windres)",
    "osslsigncode": "Authenticode signer",
}
SIGNER = "osslsigncode"


def purl(package: str, version: str) -> str:
    return f"pkg:deb/debian/{package}@{urllib.parse.quote(version, safe='.-_~')}"


def document(contents: Programs, info: dict[str, str], files: dict[str, bytes],
             links: notices.Links) -> Json:
    names = [os.path.basename(p) for p in contents["program"]]
    release = f"{contents['name']}-{contents['version']}"
    signed = SIGNER in info
    components: list[Json] = []
    for name in names:
        components.append({
            "type": "application",
            "bom-ref": name,
            "name": name,
            "version": contents["version"],
            "hashes": [{"alg": "SHA-256", "content": hashlib.sha256(files[name]).hexdigest()}],
            "licenses": PROJECT_LICENSE,
            "copyright": COPYRIGHT,
            "properties": [{"name": "brelvik:authenticode", "value": "signed" if signed else "unsigned"}],
        })
    packages = [p for p in notices.PACKAGES if any(p in links[n] for n in names)]
    refs: dict[str, str] = {}
    for package in packages:
        entry = notices.PACKAGES[package]
        version = notices.package_version(package, info)
        refs[package] = purl(package, version)
        components.append({
            "type": "library",
            "bom-ref": refs[package],
            "name": package,
            "version": version,
            "description": f"{entry.what}; linked statically",
            "scope": "required",
            "licenses": [{"expression": entry.license}],
            "purl": refs[package],
        })
    tools: list[Json] = []
    for package, role in TOOLS.items():
        if package in info:
            tools.append({"type": "application", "bom-ref": purl(package, info[package]),
                          "name": package, "version": info[package], "description": role,
                          "purl": purl(package, info[package])})
    epoch = int(info["SOURCE_DATE_EPOCH"])
    dependencies: list[Json] = [{"ref": release, "dependsOn": names}]
    dependencies += [{"ref": name, "dependsOn": [refs[p] for p in packages if p in links[name]]}
                     for name in names]
    dependencies += [{"ref": refs[p], "dependsOn": []} for p in packages]
    return {
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "lifecycles": [{"phase": "build"}],
            "tools": {"components": tools},
            "component": {
                "type": "application",
                "bom-ref": release,
                "name": contents["name"],
                "version": contents["version"],
                "description": "Switches a BRELVIK USB-to-CAN adapter into DFU mode:"
                               " the Windows release, " + ", ".join(names),
                "licenses": PROJECT_LICENSE,
                "copyright": COPYRIGHT,
                "properties": [{"name": "brelvik:commit", "value": info["commit"]},
                               {"name": "brelvik:SOURCE_DATE_EPOCH", "value": str(epoch)}],
            },
        },
        "components": components,
        "dependencies": dependencies,
    }


def serialized(bom: Json) -> bytes:
    return (json.dumps(bom, indent=2, ensure_ascii=True) + "\n").encode("ascii")


def sbom(contents: Programs, info: dict[str, str], files: dict[str, bytes],
         links: notices.Links) -> tuple[str, bytes]:
    """(file name, bytes) of the SBOM of a release holding FILES."""
    bom = document(contents, info, files, links)
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "sha256:" + hashlib.sha256(serialized(bom)).hexdigest())
    bom = {"bomFormat": bom.pop("bomFormat"), "specVersion": bom.pop("specVersion"),
           "serialNumber": f"urn:uuid:{serial}", **bom}
    return f"{contents['name']}-{contents['version']}.cdx.json", serialized(bom)
