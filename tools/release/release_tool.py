#!/usr/bin/env python3
"""What scripts/release makes beside the programs, and the checks of it.

  release_tool.py pe-time EXE                       print the PE header's Time/Date
  release_tool.py check-pe-time TIME EXE...         fail unless every Time/Date is TIME
  release_tool.py check-paths --path P... -- FILE...  fail when a file holds one of the paths
  release_tool.py link-inputs MAP                   the third-party files a link map shows
  release_tool.py sbom ARGS                         write the CycloneDX 1.5 bill of materials
  release_tool.py check-sbom SBOM [--map NAME=MAP]... --deps-prefix DIR
                                                    check the schema rules and the link maps
  release_tool.py notices ARGS                      write THIRD-PARTY-NOTICES.txt
  release_tool.py buildinfo ARGS                    write BUILDINFO.txt (commit, time, toolchain)

Everything written depends only on the commit, the toolchain and the
dependencies, never on the folder or the moment of the build.
"""
import argparse
import datetime
import fnmatch
import glob
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
COMPONENTS = os.path.join(HERE, "components.json")
PROPERTY = "orvelle:"  # prefix of this project's CycloneDX property names
SBOM_NAME = "SetupDownloader.cdx.json"


class Failure(Exception):
    pass


# --- PE header ------------------------------------------------------------------

def pe_time(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    if data[:2] != b"MZ":
        raise Failure(f"{path}: not a PE file")
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        raise Failure(f"{path}: no PE signature")
    return struct.unpack_from("<I", data, offset + 8)[0]


def check_pe_time(expected, paths):
    problems = []
    for path in paths:
        actual = pe_time(path)
        line = f"{os.path.basename(path)}: Time/Date {actual} ({iso(actual)}), expected {expected} ({iso(expected)})"
        print(line)
        if actual != expected:
            problems.append(line)
    if problems:
        raise Failure("the PE time stamp is not the commit time:\n  " + "\n  ".join(problems))


def iso(epoch):
    return datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


# --- build paths ------------------------------------------------------------------

def path_forms(path):
    """The ways a host path can appear in a Windows executable."""
    path = path.rstrip("/")
    texts = {path, "Z:" + path.replace("/", "\\")}
    forms = set()
    for text in texts:
        forms.add(text.encode("utf-8"))
        forms.add(text.encode("utf-16-le"))
    return forms


def check_paths(paths, files):
    found = []
    for file in files:
        with open(file, "rb") as f:
            data = f.read()
        for path in paths:
            if len(path.rstrip("/")) < 5:
                raise Failure(f"refusing to look for the short path {path!r}")
            for form in path_forms(path):
                at = data.find(form)
                if at >= 0:
                    found.append(f"{file}: holds {path} at offset {at}")
                    break
    for line in found:
        print(line)
    if found:
        raise Failure("build paths found in the output")
    print(f"none of {len(paths)} build paths in {len(files)} files")


# --- link maps --------------------------------------------------------------------

MEMBER = re.compile(r"^(/\S+\.a)\((\S+)\)$")


def link_inputs(map_path):
    """The files of others that a GNU ld map shows contributing to the output:
    archives with at least one member pulled in, and start-up objects, each
    with the names of its members."""
    inputs = {}
    with open(map_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    # "Archive member included to satisfy reference by file (symbol)": the
    # member stands at the start of a line.
    section = False
    for line in lines:
        if line.startswith("Archive member included"):
            section = True
            continue
        if section and (line.startswith("Discarded input sections") or line.startswith("Memory Configuration")
                        or line.startswith("Allocating common symbols")):
            section = False
        if section:
            m = MEMBER.match(line.strip().split(" ")[0]) if line and not line[0].isspace() else None
            if m:
                inputs.setdefault(os.path.realpath(m.group(1)), set()).add(m.group(2))
    # Loaded object files outside the build: start-up code.
    for line in lines:
        if line.startswith("LOAD "):
            path = line[5:].strip()
            if path.endswith(".o") and path.startswith("/"):
                inputs.setdefault(os.path.realpath(path), set())
    return inputs


def is_import_library(path, members):
    """Whether the members a link took from an archive are those of a Windows
    import library, as dlltool writes them: libfoo.a holds libfooh.o,
    libfoot.o and libfoos00123.o (and helpers lib64_libfoo_a-name.o)."""
    stem = re.escape(os.path.basename(path)[:-2])
    member = re.compile(f"^(?:{stem}(?:t|h|s\\d+|_defs\\d+)|lib64_{stem}_a-.+)\\.o$")
    return bool(members) and all(member.match(m) for m in members)


def debian_package(path, cache={}):
    if path not in cache:
        result = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
        cache[path] = result.stdout.split(":", 1)[0].strip() if result.returncode == 0 else None
    return cache[path]


def provider_of(path, members, deps_prefix):
    """(origin, Debian binary package, file name, import library?) of a linked
    file: "fetched" for a library of the dependency prefix, which the
    bootstrap built from a fetched source package, "installed" otherwise."""
    name = os.path.basename(path)
    if deps_prefix and path.startswith(os.path.realpath(deps_prefix) + os.sep):
        return "fetched", None, name, False
    package = debian_package(path)
    if package is None:
        raise Failure(f"{path}: no Debian package holds this file")
    return "installed", package, name, path.endswith(".a") and is_import_library(path, members)


def component_for(entry, components):
    """The component that names the file: by its name, or, for a Windows
    import library, the component of its package that names
    "import-libraries"."""
    origin, package, name, imports = entry
    candidates = [c for c in components
                  if c["origin"] == origin and (origin != "installed" or c.get("debian-binary") == package)]
    for c in candidates:
        if name in c["files"]:
            return c
    for c in candidates:
        if imports and "import-libraries" in c["files"]:
            return c
    return None


# --- reading the components --------------------------------------------------------

def load_components(path=COMPONENTS):
    with open(path, encoding="utf-8") as f:
        return json.load(f)["components"]


def fetched_sources(deps_prefix):
    """Per source package: its version and the files the bootstrap fetched
    with their SHA-256 (recorded by scripts/bootstrap)."""
    record = os.path.join(deps_prefix, "share", "ovl", "sources.tsv")
    if not os.path.isfile(record):
        raise Failure(f"{record} is missing: the dependencies were built by an older scripts/bootstrap "
                      "(run scripts/bootstrap)")
    sources = {}
    with open(record, encoding="utf-8") as f:
        for line in f:
            package, version, file, sha256 = line.rstrip("\n").split("\t")
            entry = sources.setdefault(package, {"version": version, "files": []})
            entry["files"].append((file, sha256))
    return sources


def installed_package(package):
    def query(field):
        out = subprocess.run(["dpkg-query", "-W", "-f", field, package], capture_output=True, text=True)
        if out.returncode != 0:
            raise Failure(f"the Debian package {package} is not installed")
        return out.stdout.strip()
    version = query("${Version}")
    arch = query("${Architecture}")
    source = query("${source:Package}")
    source_version = query("${source:Version}")
    shown = subprocess.run(["apt-cache", "show", f"{package}={version}"], capture_output=True, text=True).stdout
    sha256 = None
    for stanza in shown.split("\n\n"):
        fields = dict(l.split(": ", 1) for l in stanza.splitlines() if ": " in l and not l.startswith(" "))
        if fields.get("Architecture") == arch and fields.get("SHA256"):
            sha256 = fields["SHA256"]
            break
    if sha256 is None:
        raise Failure(f"apt knows no SHA-256 of {package} {version} (run apt-get update)")
    return {"version": version, "architecture": arch, "source": source, "source-version": source_version,
            "sha256": sha256, "deb": f"{package}_{version.split(':')[-1]}_{arch}.deb"}


def upstream_version(debian_version):
    version = debian_version.split(":", 1)[-1]
    version = version.rsplit("-", 1)[0] if "-" in version else version
    return re.sub(r"[+~](dfsg|ds|repack)\d*$", "", version)


# --- the bill of materials -----------------------------------------------------------

def licenses_json(licenses):
    out = []
    for entry in licenses:
        if "expression" in entry:
            out.append({"expression": entry["expression"]})
        elif "id" in entry:
            out.append({"license": {"id": entry["id"]}})
        else:
            out.append({"license": {"name": entry["name"]}})
    return out


def prop(name, value):
    return {"name": PROPERTY + name, "value": value}


def component_json(c, sources):
    if c["origin"] == "fetched":
        src = sources.get(c["debian-source"])
        if src is None:
            raise Failure(f"the bootstrap recorded no fetch of {c['debian-source']}")
        dsc = [sha for file, sha in src["files"] if file.endswith(".dsc")]
        if not dsc:
            raise Failure(f"no .dsc recorded for {c['debian-source']}")
        version, source, source_version = upstream_version(src["version"]), c["debian-source"], src["version"]
        hashes = [{"alg": "SHA-256", "content": dsc[0]}]
        props = [prop("debian-source", source), prop("debian-source-version", source_version)]
        props += [prop("fetched", f"{file} sha256:{sha}") for file, sha in src["files"]]
    else:
        pkg = installed_package(c["debian-binary"])
        version = upstream_version(pkg["version"].split("+")[0] if "mingw-w64" in c["debian-binary"] else pkg["version"])
        source, source_version = pkg["source"], pkg["source-version"]
        hashes = [{"alg": "SHA-256", "content": pkg["sha256"]}]
        props = [prop("debian-source", source), prop("debian-source-version", source_version),
                 prop("debian-binary", c["debian-binary"]), prop("debian-binary-version", pkg["version"]),
                 prop("fetched", f"{pkg['deb']} sha256:{pkg['sha256']}")]
    props += [prop("file", f) for f in c["files"]]
    props += [prop("header", h) for h in c.get("headers", [])]
    patches = patch_files(c)
    props += [prop("patch", f"{name} sha256:{sha256_file(path)}") for name, path in patches]
    pedigree = {"pedigree": {"patches": [{"type": "unofficial", "diff": {"url": name}} for name, _ in patches]}}
    return {
        "type": "library",
        "bom-ref": "component:" + c["name"],
        "name": c["name"],
        "version": version,
        "description": c["purpose"],
        "licenses": licenses_json(c["licenses"]),
        "hashes": hashes,
        "purl": f"pkg:deb/debian/{source}@{purl_escape(source_version)}?arch=source",
        "properties": props,
        **(pedigree if patches else {}),
    }


def patch_files(c):
    """The changes the bootstrap applies to a component's source before
    building it: (path in this repository, path on disk), in applying order."""
    root = os.path.dirname(os.path.dirname(HERE))
    found = []
    for pattern in c.get("patches", []):
        found += sorted(glob.glob(os.path.join(root, pattern)))
    return [(os.path.relpath(path, root), path) for path in found]


def purl_escape(text):
    return re.sub(r"[^A-Za-z0-9.\-_~]", lambda m: "%%%02X" % ord(m.group(0)), text)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def make_sbom(args):
    components = load_components()
    sources = fetched_sources(args.deps_prefix)
    libraries = [component_json(c, sources) for c in components]
    programs, dependencies = [], []
    for program in args.program:
        name, exe, map_path = program.split("=", 1)[0], *program.split("=", 1)[1].split(":", 1)
        ref = "program:" + name
        programs.append({"type": "application", "bom-ref": ref, "name": name, "version": args.version,
                         "hashes": [{"alg": "SHA-256", "content": sha256_file(exe)}],
                         "licenses": [{"license": {"name": "Proprietary"}}]})
        used = set()
        for path, members in link_inputs(map_path).items():
            c = component_for(provider_of(path, members, args.deps_prefix), components)
            if c is None:
                raise Failure(f"{name}: {path} belongs to no component of {COMPONENTS}")
            used.add("component:" + c["name"])
        for c in components:
            if c.get("headers"):
                used.add("component:" + c["name"])  # compiled in, not linked
        dependencies.append({"ref": ref, "dependsOn": sorted(used)})
    for lib in libraries:
        dependencies.append({"ref": lib["bom-ref"], "dependsOn": []})
    epoch = int(args.epoch)
    serial = uuid.uuid5(uuid.NAMESPACE_URL, f"orvelle-downloader:{args.commit}:" +
                        ",".join(p["hashes"][0]["content"] for p in programs))
    document = {
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        "serialNumber": f"urn:uuid:{serial}",
        "version": 1,
        "metadata": {
            "timestamp": iso(epoch),
            "tools": {"components": toolchain_components()},
            "component": {"type": "application", "bom-ref": "product", "name": "Orvelle Downloader",
                          "version": args.version, "properties": [prop("commit", args.commit)]},
        },
        "components": programs + libraries,
        "dependencies": [{"ref": "product", "dependsOn": [p["bom-ref"] for p in programs]}] + dependencies,
    }
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        json.dump(document, f, indent=2, ensure_ascii=False)
        f.write("\n")


# --- the schema rules that matter --------------------------------------------------------

HASH_LENGTH = {"MD5": 32, "SHA-1": 40, "SHA-256": 64, "SHA-384": 96, "SHA-512": 128}
COMPONENT_TYPES = {"application", "framework", "library", "container", "platform", "operating-system", "device",
                   "device-driver", "firmware", "file", "machine-learning-model", "data"}
SPDX_IDS = {"BSD-3-Clause", "Zlib", "bzip2-1.0.6", "MIT", "ZPL-2.1", "GPL-3.0-or-later", "GPL-2.0-only",
            "Apache-2.0", "BSD-2-Clause", "ISC", "0BSD"}
SPDX_EXCEPTIONS = {"GCC-exception-3.1"}
DATE_TIME = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d+)?(Z|[+-]\d{2}:\d{2})$")
SERIAL = re.compile(r"^urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
PURL = re.compile(r"^pkg:[a-z][a-z0-9.+-]*/[^@?#]+@[^?#]+(\?[^#]*)?$")


def expression_ok(text):
    tokens = re.findall(r"\(|\)|[^\s()]+", text)
    expect_id = True
    for i, token in enumerate(tokens):
        if token in ("AND", "OR"):
            if expect_id:
                return False
            expect_id = True
        elif token == "WITH":
            if expect_id or i + 1 >= len(tokens) or tokens[i + 1] not in SPDX_EXCEPTIONS:
                return False
        elif token in SPDX_EXCEPTIONS:
            if i == 0 or tokens[i - 1] != "WITH":
                return False
            expect_id = False
        elif token in ("(", ")"):
            continue
        else:
            if not expect_id or token not in SPDX_IDS:
                return False
            expect_id = False
    return bool(tokens) and not expect_id


def schema_problems(doc):
    """The CycloneDX 1.5 rules that a consumer relies on, and this release's own:
    every component with name, version, licence and origin."""
    p = []
    if doc.get("bomFormat") != "CycloneDX":
        p.append("bomFormat must be CycloneDX")
    if doc.get("specVersion") != "1.5":
        p.append("specVersion must be 1.5")
    if not SERIAL.match(str(doc.get("serialNumber", ""))):
        p.append("serialNumber must be a urn:uuid")
    if not isinstance(doc.get("version"), int) or doc["version"] < 1:
        p.append("version must be an integer of at least 1")
    meta = doc.get("metadata", {})
    if not DATE_TIME.match(str(meta.get("timestamp", ""))):
        p.append("metadata.timestamp must be a date-time")
    tools = meta.get("tools", {}).get("components", [])
    if not tools or any(not t.get("name") or not t.get("version") for t in tools):
        p.append("metadata.tools.components must name the toolchain with versions")
    refs = set()
    components = doc.get("components")
    if not isinstance(components, list) or not components:
        p.append("components must be a non-empty array")
        components = []
    for c in components:
        name = c.get("name") or "?"
        where = f"component {name}"
        if c.get("type") not in COMPONENT_TYPES:
            p.append(f"{where}: type {c.get('type')!r} is not a CycloneDX component type")
        for field in ("name", "version", "bom-ref"):
            if not isinstance(c.get(field), str) or not c[field]:
                p.append(f"{where}: {field} is required")
        if c.get("bom-ref") in refs:
            p.append(f"{where}: bom-ref {c.get('bom-ref')} is not unique")
        refs.add(c.get("bom-ref"))
        licenses = c.get("licenses")
        if not isinstance(licenses, list) or not licenses:
            p.append(f"{where}: licenses are required")
            licenses = []
        if any("expression" in l for l in licenses) and len(licenses) != 1:
            p.append(f"{where}: a licence expression must stand alone")
        for l in licenses:
            if "expression" in l:
                if not expression_ok(l["expression"]):
                    p.append(f"{where}: {l['expression']!r} is not an SPDX expression")
            elif isinstance(l.get("license"), dict):
                lic = l["license"]
                if ("id" in lic) == ("name" in lic):
                    p.append(f"{where}: a licence has either an id or a name")
                elif "id" in lic and lic["id"] not in SPDX_IDS:
                    p.append(f"{where}: {lic['id']!r} is not a known SPDX licence id")
            else:
                p.append(f"{where}: a licence entry needs license or expression")
        hashes = c.get("hashes")
        if not isinstance(hashes, list) or not hashes:
            p.append(f"{where}: hashes are required")
            hashes = []
        for h in hashes:
            length = HASH_LENGTH.get(h.get("alg"))
            if length is None or not re.fullmatch(f"[a-f0-9]{{{length}}}", str(h.get("content", ""))):
                p.append(f"{where}: hash {h} is not a valid {h.get('alg')} value")
        if c.get("type") == "library":
            props = {x.get("name"): x.get("value") for x in c.get("properties", [])}
            if not PURL.match(str(c.get("purl", ""))):
                p.append(f"{where}: purl {c.get('purl')!r} is not a package URL")
            if not props.get(PROPERTY + "debian-source") or not props.get(PROPERTY + "debian-source-version"):
                p.append(f"{where}: the Debian source package and version are required")
            fetched = [x.get("value", "") for x in c.get("properties", []) if x.get("name") == PROPERTY + "fetched"]
            if not fetched or any(not re.fullmatch(r"\S+ sha256:[a-f0-9]{64}", v) for v in fetched):
                p.append(f"{where}: what was fetched, with its SHA-256, is required")
    for d in doc.get("dependencies", []):
        if d.get("ref") not in refs | {meta.get("component", {}).get("bom-ref")}:
            p.append(f"dependency {d.get('ref')}: unknown ref")
        for target in d.get("dependsOn", []):
            if target not in refs:
                p.append(f"dependency {d.get('ref')}: unknown ref {target}")
    return p


def coverage_problems(doc, maps, deps_prefix):
    """Every file of others that a link map shows must belong to a component
    that the bill of materials names."""
    named = []
    for c in doc.get("components", []):
        props = c.get("properties", [])
        named.append({
            "name": c.get("name"),
            "origin": "installed" if any(x.get("name") == PROPERTY + "debian-binary" for x in props) else "fetched",
            "debian-binary": next((x["value"] for x in props if x.get("name") == PROPERTY + "debian-binary"), None),
            "files": [x["value"] for x in props if x.get("name") == PROPERTY + "file"],
        })
    p = []
    for program, map_path in maps:
        inputs = link_inputs(map_path)
        if not inputs:
            p.append(f"{program}: the link map {map_path} shows no libraries")
        for path, members in sorted(inputs.items()):
            entry = provider_of(path, members, deps_prefix)
            c = component_for(entry, named)
            if c is None:
                p.append(f"{program}: {path} ({entry[1] or 'dependency prefix'}) is named by no component")
            else:
                print(f"{program}: {os.path.basename(path)} -> {c['name']}")
    return p


def patch_problems(doc):
    """Every patch the bootstrap applies to a component's source must be in
    the pedigree of a component, so that nobody takes the build for Debian's."""
    root = os.path.dirname(os.path.dirname(HERE))
    named = {patch.get("diff", {}).get("url") for c in doc.get("components", [])
             for patch in c.get("pedigree", {}).get("patches", [])}
    applied = sorted(os.path.relpath(path, root) for path in glob.glob(os.path.join(root, "scripts/deps/*.patch")))
    return [f"the patch {name} is in no component's pedigree" for name in applied if name not in named]


def check_sbom(args):
    with open(args.sbom, encoding="utf-8") as f:
        doc = json.load(f)
    maps = [tuple(m.split("=", 1)) for m in args.map]
    problems = schema_problems(doc) + coverage_problems(doc, maps, args.deps_prefix) + patch_problems(doc)
    for line in problems:
        print("problem:", line)
    if problems:
        raise Failure(f"{len(problems)} problems in {args.sbom}")
    print(f"{args.sbom}: {len(doc['components'])} components, the schema rules hold, "
          f"every library of {len(maps)} link maps is named")


# --- notices and build information ---------------------------------------------------------

def license_text_files(c, deps_prefix):
    if c["origin"] == "fetched":
        files = [os.path.join(deps_prefix, "share", "ovl", "licenses", c["debian-source"], "copyright")]
    else:
        files = [f"/usr/share/doc/{c['debian-binary']}/copyright"]
    return files + c.get("license-texts", [])


def make_notices(args):
    components = load_components()
    out = ["THIRD-PARTY NOTICES", "",
           "SetupDownloader.exe and ReleaseCheck.exe contain the following third-party",
           "components, linked statically. Each one's copyright and licence text follows,",
           "as its Debian source package states it.", ""]
    for c in components:
        out.append(f"  {c['name']}: {', '.join(l.get('expression') or l.get('id') or l.get('name') for l in c['licenses'])}")
    shown = {}  # a text already given, by its content: the component it was given for
    for c in components:
        out += ["", "=" * 78, f"{c['name']} ({c['purpose']})", "=" * 78, ""]
        patches = patch_files(c)
        if patches:
            out += ["Modified: built with these changes, published with the source of this program:"]
            out += [f"  {name}" for name, _ in patches] + [""]
        for path in license_text_files(c, args.deps_prefix):
            if not os.path.isfile(path):
                raise Failure(f"the licence text {path} of {c['name']} is missing")
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read().rstrip("\n")
            if text in shown:
                out += [f"--- {os.path.basename(path)}: the same text as for {shown[text]} above ---", ""]
                continue
            shown[text] = c["name"]
            out += [f"--- {os.path.basename(path)} ---", text, ""]
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out).rstrip("\n") + "\n")


def first_line(command):
    try:
        out = subprocess.run(command, capture_output=True, text=True).stdout
    except OSError:
        return "not installed"
    return out.splitlines()[0].strip() if out else "unknown"


TOOLS = [
    ("x86_64-w64-mingw32-g++-posix", ["x86_64-w64-mingw32-g++-posix", "-dumpfullversion"], "g++-mingw-w64-x86-64-posix"),
    ("x86_64-w64-mingw32-gcc-posix", ["x86_64-w64-mingw32-gcc-posix", "-dumpfullversion"], "gcc-mingw-w64-x86-64-posix"),
    ("x86_64-w64-mingw32-ld", ["x86_64-w64-mingw32-ld", "--version"], "binutils-mingw-w64-x86-64"),
    ("x86_64-w64-mingw32-windres", ["x86_64-w64-mingw32-windres", "--version"], "binutils-mingw-w64-x86-64"),
    ("mingw-w64 headers and libraries", None, "mingw-w64-x86-64-dev"),
    ("cmake", ["cmake", "--version"], "cmake"),
    ("ninja", ["ninja", "--version"], "ninja-build"),
    ("python3", ["python3", "--version"], "python3"),
]


def package_version(package):
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else "not installed"


def toolchain():
    return [(name, first_line(cmd) if cmd else "", package, package_version(package)) for name, cmd, package in TOOLS]


def toolchain_components():
    return [{"type": "application", "name": name, "version": pv,
             "description": f"{said} (Debian package {package})".replace(" ()", "").strip()}
            for name, said, package, pv in toolchain()]


def make_buildinfo(args):
    lines = [f"Orvelle Downloader {args.version}",
             f"commit: {args.commit}",
             f"SOURCE_DATE_EPOCH: {args.epoch} ({iso(args.epoch)}), the PE Time/Date of both programs",
             f"dependencies: {os.path.basename(os.path.realpath(args.deps_prefix))}",
             "toolchain:"]
    for name, said, package, pv in toolchain():
        lines.append(f"  {name}: {said + '; ' if said else ''}Debian {package} {pv}")
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


# --- command line -----------------------------------------------------------------------

def main(argv):
    parser = argparse.ArgumentParser(prog="release_tool.py")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("pe-time").add_argument("exe")
    p = sub.add_parser("check-pe-time")
    p.add_argument("time", type=int)
    p.add_argument("exe", nargs="+")
    p = sub.add_parser("check-paths")
    p.add_argument("--path", action="append", required=True)
    p.add_argument("files", nargs="+")
    sub.add_parser("link-inputs").add_argument("map")
    p = sub.add_parser("sbom")
    for name in ("--deps-prefix", "--version", "--epoch", "--commit", "--output"):
        p.add_argument(name, required=True)
    p.add_argument("--program", action="append", required=True, help="NAME=EXE:MAP")
    p = sub.add_parser("check-sbom")
    p.add_argument("sbom")
    p.add_argument("--map", action="append", default=[], help="NAME=MAP")
    p.add_argument("--deps-prefix", required=True)
    p = sub.add_parser("notices")
    p.add_argument("--deps-prefix", required=True)
    p.add_argument("--output", required=True)
    p = sub.add_parser("buildinfo")
    for name in ("--deps-prefix", "--version", "--epoch", "--commit", "--output"):
        p.add_argument(name, required=True)
    args = parser.parse_args(argv)
    try:
        if args.command == "pe-time":
            print(pe_time(args.exe))
        elif args.command == "check-pe-time":
            check_pe_time(args.time, args.exe)
        elif args.command == "check-paths":
            check_paths(args.path, args.files)
        elif args.command == "link-inputs":
            for path, members in sorted(link_inputs(args.map).items()):
                print(path, len(members))
        elif args.command == "sbom":
            make_sbom(args)
        elif args.command == "check-sbom":
            check_sbom(args)
        elif args.command == "notices":
            make_notices(args)
        elif args.command == "buildinfo":
            args.epoch = int(args.epoch)
            make_buildinfo(args)
    except Failure as e:
        print(f"release_tool: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
