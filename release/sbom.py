"""The release's SBOM, NAME-VERSION.cdx.json: CycloneDX 1.5 JSON.

The subject (metadata.component) is the release; its components are the
programs, each with the SHA-256 of its bytes as the ZIP holds them (signed
or not) and, nested, the members it links from Debian's packages (as
notices.linked finds them), each with the license of its source file and,
where the build linked a copy changed with objcopy, a pedigree saying so;
and Windows, with the DLLs the programs import, delay-load or have loaded
at run time, required and not shipped. The Debian packages the build used
are formulation, each with its package URL, the .deb's SHA-256 and its
upstream project as pedigree; Debian's facts come from the checked-in
table debian_packages.py reads, so that the same programs and BUILDINFO.txt give
the same bytes anywhere. The time is SOURCE_DATE_EPOCH and the serial
number a name-based UUID of the rest of the document.
"""
import hashlib
import json
import os
import re
import struct
import time
import uuid
from typing import NamedTuple

import debian_packages as debian
import notices
from buildinfo import Programs

# A JSON object, as json.dumps takes one.
Json = dict[str, object]

AUTHORS = "The BRELVIK DFU switch authors"
COPYRIGHT = f"Copyright (c) 2026 {AUTHORS}"
PROJECT: Json = {"name": AUTHORS}
DEBIAN: Json = {"name": "Debian", "url": ["https://www.debian.org/"]}
MICROSOFT: Json = {"name": "Microsoft Corporation", "url": ["https://www.microsoft.com/"]}
PROJECT_LICENSE = "MIT"
# The tools BUILDINFO.txt names that made the programs, and what each did.
TOOLS = {
    "clang-19": "C++ compiler",
    "lld-19": "linker",
    "binutils-mingw-w64-x86-64": "resource compiler (windres)",
    "osslsigncode": "Authenticode signer",
}
SIGNER = "osslsigncode"
# The public-domain statement as REUSE holds it, without the copyright
# file's field name and indent.
PUBLIC_DOMAIN_TEXT = "LICENSES/LicenseRef-mingw-w64-public-domain.txt"


class Upstream(NamedTuple):
    """The project a Debian source package is made from: its name,
    supplier, home page, and CPE vendor:product where one names it."""
    name: str
    supplier: str
    url: str
    cpe: str | None


UPSTREAMS = {
    "mingw-w64": Upstream("mingw-w64", "the mingw-w64 project", "https://www.mingw-w64.org/",
                          "mingw-w64:mingw-w64"),
    "gcc-mingw-w64": Upstream("GCC", "the GNU Project", "https://gcc.gnu.org/", "gnu:gcc"),
    "llvm-toolchain-19": Upstream("LLVM", "the LLVM Project", "https://llvm.org/", "llvm:llvm"),
    "binutils-mingw-w64": Upstream("GNU Binutils", "the GNU Project", "https://www.gnu.org/software/binutils/",
                                   "gnu:binutils"),
    "osslsigncode": Upstream("osslsigncode", "the osslsigncode project", "https://github.com/mtrojnar/osslsigncode",
                             None),
}

# DLLs that no import of a program names but that its own code has Windows
# load while it runs, and how.
LOADED_AT_RUN_TIME = {
    "BRELVIK_DFU_PIPE.exe": {"wbemprox.dll": "WMI's locator, the in-process server COM loads for"
                                             " CoCreateInstance(CLSID_WbemLocator)"},
}
# Where the build changes runtime objects before linking them.
TOOLCHAIN_FILE = os.path.join(notices.TOP, "cmake", "toolchains", "mingw-w64-x86_64.cmake")
PATCH = re.compile(r'"[^"|]*/([A-Za-z0-9_.+-]+)((?:\|--globalize-symbol=[A-Za-z0-9_]+)+)"')


def patched() -> dict[str, list[str]]:
    """{file name: [objcopy option, ...]} of the objects and archives the
    build links from copies made with objcopy."""
    with open(TOOLCHAIN_FILE, encoding="utf-8") as source:
        return {name: options.strip("|").split("|") for name, options in PATCH.findall(source.read())}


def imported_dlls(image: bytes) -> tuple[list[str], list[str]]:
    """(imported, delay-loaded) DLL names a PE32+ image's import and
    delay-import directories give; none for bytes that are no such image
    (the release check packs forged programs too; the SBOM check holds the
    genuine ones' names against pefile's)."""
    try:
        return pe_imports(image)
    except (struct.error, ValueError, IndexError):
        return [], []


def pe_imports(image: bytes) -> tuple[list[str], list[str]]:
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    table = optional + optional_size
    # (VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData) of each section.
    spans = [struct.unpack_from("<8xIIII", image, table + 40 * n) for n in range(sections)]

    def offset(rva: int) -> int:
        for size, address, _, raw in spans:
            if address <= rva < address + size:
                return int(rva - address + raw)
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def name(rva: int) -> str:
        start = offset(rva)
        return image[start:image.index(b"\0", start)].decode("ascii")

    def directory(index: int, size: int, name_at: int) -> list[str]:
        rva = struct.unpack_from("<I", image, optional + 112 + 8 * index)[0]
        names = []
        while rva:
            entry = image[offset(rva):offset(rva) + size]
            if not any(entry):
                break
            names.append(name(struct.unpack_from("<I", entry, name_at)[0]))
            rva += size
        return names

    return directory(1, 20, 12), directory(13, 32, 4)


def licenses(license: str) -> list[Json]:
    """CycloneDX licenses of one SPDX identifier or expression; a
    LicenseRef defined by its name and text."""
    if license == notices.PUBLIC_DOMAIN:
        text = notices.read_text(PUBLIC_DOMAIN_TEXT)
        return [{"license": {"name": license, "text": {"contentType": "text/plain", "content": text}}}]
    if re.fullmatch(r"[A-Za-z0-9.-]+", license):
        return [{"license": {"id": license}}]
    return [{"expression": license}]


def package_component(deb: debian.Deb, kind: str, description: str, license: str | None) -> Json:
    if not deb.source:
        return {"type": kind, "bom-ref": debian.purl(deb), "supplier": DEBIAN, "name": deb.package,
                "version": deb.version, "description": description, "purl": debian.purl(deb),
                "properties": [{"name": "brelvik:debian-facts", "value": "none: a version the table lacks"}]}
    upstream = UPSTREAMS[deb.source]
    version = debian.upstream_version(deb.version)
    ancestor: Json = {"type": kind, "supplier": {"name": upstream.supplier, "url": [upstream.url]},
                      "name": upstream.name, "version": version}
    if upstream.cpe:
        ancestor["cpe"] = f"cpe:2.3:a:{upstream.cpe}:{version}:*:*:*:*:*:*:*"
    ancestor["externalReferences"] = [{"type": "website", "url": upstream.url}]
    component: Json = {"type": kind, "bom-ref": debian.purl(deb), "supplier": DEBIAN, "name": deb.package,
                       "version": deb.version, "description": description}
    if deb.sha256:
        component["hashes"] = [{"alg": "SHA-256", "content": deb.sha256}]
    if license:
        component["licenses"] = licenses(license)
    component["purl"] = debian.purl(deb)
    component["pedigree"] = {"ancestors": [ancestor]}
    return component


def versions(contents: Programs, info: dict[str, str], links: notices.Links) -> dict[str, str]:
    """{package: version} of every Debian package the SBOM names."""
    names = [os.path.basename(p) for p in contents["program"]]
    named = {p: info[p] for p in TOOLS if p in info}
    named.update({p: notices.package_version(p, info) for p in notices.PACKAGES if any(p in links[n] for n in names)})
    return named


def members(program: str, links: notices.Links, purls: dict[str, str], info: dict[str, str]) -> list[Json]:
    """The components a program links from Debian's packages: each member
    with code, and each import library's thunks as one."""
    changed = patched()
    out: list[Json] = []
    for package, archives in links[program].items():
        version = notices.package_version(package, info)
        for archive in sorted(archives, key=lambda a: (a is not None, a or "")):
            taken = archives[archive]
            imports = sorted(m for m in taken if notices.is_import(archive, m))
            units = [(m, [m]) for m in sorted(taken) if m not in imports]
            if imports:
                units.append(("import thunks", imports))
            for unit, parts in units:
                name = f"{archive}.a({unit})" if archive else unit
                license, source = notices.member_license(package, archive, parts[0])
                component: Json = {"type": "library", "bom-ref": f"{program}:{name}", "supplier": DEBIAN,
                                   "name": name, "version": version}
                if archive and unit == "import thunks":
                    component["description"] = (f"import thunks of {len(parts)} functions of"
                                                f" {archive[3:]}.dll, made from its .def file")
                elif source:
                    component["description"] = f"built from {source}"
                component["licenses"] = licenses(license)
                component["purl"] = purls[package]
                copied = changed.get(f"{archive}.a" if archive else unit)
                if copied:
                    component["pedigree"] = {
                        "ancestors": [{"type": "library", "name": name, "version": version, "purl": purls[package]}],
                        "notes": f"Linked from a copy of {archive + '.a' if archive else unit} made with objcopy"
                                 f" {' '.join(copied)}: file-local symbols made global so that they can be"
                                 " listed as Control Flow Guard call targets; the code is unchanged."}
                out.append(component)
    return out


def expression(parts: list[Json]) -> str:
    """One SPDX expression of the project's license and those of PARTS."""
    found: list[str] = []
    for part in parts:
        for entry in part["licenses"]:  # type: ignore[attr-defined]
            value = entry.get("expression") or entry["license"].get("id") or entry["license"]["name"]
            if value not in found:
                found.append(value)
    return " AND ".join([PROJECT_LICENSE] + sorted(found))


def document(contents: Programs, info: dict[str, str], files: dict[str, bytes],
             links: notices.Links) -> Json:
    names = [os.path.basename(p) for p in contents["program"]]
    release = f"{contents['name']}-{contents['version']}"
    signed = SIGNER in info
    table = debian.read_table()
    debs = {p: debian.facts(table, p, v) for p, v in versions(contents, info, links).items()}
    purls = {p: debian.purl(deb) for p, deb in debs.items()}
    dlls: dict[str, Json] = {}
    needs: dict[str, list[str]] = {}
    for name in names:
        imported, delayed = imported_dlls(files[name])
        loads = [(d, "imported") for d in imported] + [(d, "delay-loaded") for d in delayed]
        loads += [(d, f"loaded at run time: {how}") for d, how in LOADED_AT_RUN_TIME.get(name, {}).items()]
        needs[name] = []
        for dll, how in loads:
            ref = f"windows:{dll.lower()}"
            entry = dlls.setdefault(ref, {"type": "library", "bom-ref": ref, "supplier": MICROSOFT, "name": dll.lower(),
                                          "scope": "required", "properties": []})
            entry["properties"].append({"name": "brelvik:needed-by", "value": f"{name}: {how}"})  # type: ignore[attr-defined]
            needs[name].append(ref)
    components: list[Json] = []
    for name in names:
        parts = members(name, links, purls, info)
        components.append({
            "type": "application",
            "bom-ref": name,
            "supplier": PROJECT,
            "name": name,
            "version": contents["version"],
            "hashes": [{"alg": "SHA-256", "content": hashlib.sha256(files[name]).hexdigest()}],
            "licenses": [{"expression": expression(parts)}],
            "copyright": COPYRIGHT,
            "properties": [{"name": "brelvik:authenticode", "value": "signed" if signed else "unsigned"}],
            "components": parts,
        })
    components.append({
        "type": "operating-system",
        "bom-ref": "windows",
        "supplier": MICROSOFT,
        "name": "Windows",
        "description": "The system DLLs the programs need, part of Windows: required, not shipped in the release",
        "scope": "required",
        "components": [dlls[ref] for ref in sorted(dlls)],
    })
    formulated = [package_component(debs[p], "application", role, None) for p, role in TOOLS.items() if p in debs]
    formulated += [package_component(debs[p], "library" if p == notices.MINGW else "application",
                                      notices.PACKAGES[p].what, notices.PACKAGES[p].license)
                   for p in notices.PACKAGES if p in debs]
    epoch = int(info["SOURCE_DATE_EPOCH"])
    dependencies: list[Json] = [{"ref": release, "dependsOn": names}]
    dependencies += [{"ref": name, "dependsOn": sorted(needs[name])} for name in names]
    dependencies += [{"ref": ref} for ref in sorted(dlls)]
    return {
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "lifecycles": [{"phase": "build"}],
            "tools": {"components": [{"type": "application", "bom-ref": "generator", "supplier": PROJECT,
                                      "name": "BRELVIK DFU switch release tooling (release/sbom.py)",
                                      "version": contents["version"]}]},
            "authors": [PROJECT],
            "component": {
                "type": "application",
                "bom-ref": release,
                "supplier": PROJECT,
                "name": contents["name"],
                "version": contents["version"],
                "description": "Switches a BRELVIK USB-to-CAN adapter into DFU mode:"
                               " the Windows release, " + ", ".join(names),
                "licenses": [{"expression": expression(components[:len(names)])}],
                "copyright": COPYRIGHT,
                "properties": [{"name": "brelvik:commit", "value": info["commit"]},
                               {"name": "brelvik:SOURCE_DATE_EPOCH", "value": str(epoch)}],
            },
            "supplier": PROJECT,
        },
        "components": components,
        "dependencies": dependencies,
        "compositions": [
            {"aggregate": "complete", "assemblies": names, "dependencies": [release] + names},
            {"aggregate": "incomplete", "assemblies": ["windows"]},
            {"aggregate": "unknown", "dependencies": sorted(dlls)},
        ],
        "formulation": [{
            "bom-ref": "formulation",
            "components": formulated,
            "workflows": [{"bom-ref": "release-build", "uid": "scripts/release.sh",
                           "name": "scripts/release.sh",
                           "description": "Builds the programs with the formulation's packages"
                                          + (", signs them" if signed else "") + " and packs the release",
                           "taskTypes": ["build"]}],
        }],
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
