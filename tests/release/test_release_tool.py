#!/usr/bin/env python3
"""The release tool's rules on made-up inputs: each broken input must be
caught, and a sound one must pass."""
import copy
import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.environ.get("OVL_RELEASE_TOOL_DIR",
                                  os.path.join(os.path.dirname(__file__), "..", "..", "tools", "release")))
import release_tool as rt  # noqa: E402

SHA = "ab" * 32
MINGW_LIB = "/usr/x86_64-w64-mingw32/lib"


def library(name, **extra):
    c = {"type": "library", "bom-ref": "component:" + name, "name": name, "version": "1.0",
         "licenses": [{"license": {"id": "MIT"}}], "hashes": [{"alg": "SHA-256", "content": SHA}],
         "purl": f"pkg:deb/debian/{name}@1.0-1?arch=source",
         "properties": [rt.prop("debian-source", name), rt.prop("debian-source-version", "1.0-1"),
                        rt.prop("fetched", f"{name}_1.0-1.dsc sha256:{SHA}")]}
    c.update(extra)
    return c


def sound_document():
    return {
        "bomFormat": "CycloneDX", "specVersion": "1.5",
        "serialNumber": "urn:uuid:12345678-1234-5678-9abc-123456789abc", "version": 1,
        "metadata": {"timestamp": "2026-12-09T21:00:00Z",
                     "tools": {"components": [{"type": "application", "name": "gcc", "version": "12"}]},
                     "component": {"type": "application", "bom-ref": "product", "name": "P", "version": "1"}},
        "components": [library("zlib"), library("libzip")],
        "dependencies": [{"ref": "product", "dependsOn": ["component:zlib"]}],
    }


def broken(change):
    doc = sound_document()
    change(doc)
    return doc


class SchemaRules(unittest.TestCase):
    def test_sound_document_passes(self):
        self.assertEqual(rt.schema_problems(sound_document()), [])

    def test_each_broken_rule_is_caught(self):
        def drop(field, index=0):
            return lambda d: d["components"][index].pop(field)

        def setc(field, value, index=0):
            return lambda d: d["components"][index].__setitem__(field, value)

        def props(keep):
            return lambda d: d["components"][0].__setitem__(
                "properties", [p for p in d["components"][0]["properties"] if keep(p)])

        cases = [
            ("bomFormat", lambda d: d.__setitem__("bomFormat", "SPDX"), "bomFormat"),
            ("specVersion", lambda d: d.__setitem__("specVersion", "1.4"), "specVersion"),
            ("serial", lambda d: d.__setitem__("serialNumber", "12345"), "serialNumber"),
            ("version 0", lambda d: d.__setitem__("version", 0), "version must be"),
            ("timestamp", lambda d: d["metadata"].__setitem__("timestamp", "yesterday"), "timestamp"),
            ("no toolchain", lambda d: d["metadata"]["tools"].__setitem__("components", []), "toolchain"),
            ("no name", drop("name"), "name is required"),
            ("no version", drop("version"), "version is required"),
            ("no licence", drop("licenses"), "licenses are required"),
            ("empty licence", setc("licenses", []), "licenses are required"),
            ("unknown id", setc("licenses", [{"license": {"id": "Beerware-9"}}]), "not a known SPDX"),
            ("id and name", setc("licenses", [{"license": {"id": "MIT", "name": "MIT"}}]), "either an id or a name"),
            ("bad expression", setc("licenses", [{"expression": "GPL-3.0-or-later WITH"}]), "not an SPDX expression"),
            ("expression not alone", setc("licenses", [{"expression": "MIT"}, {"license": {"id": "Zlib"}}]),
             "stand alone"),
            ("no hash", drop("hashes"), "hashes are required"),
            ("short hash", setc("hashes", [{"alg": "SHA-256", "content": "abc"}]), "not a valid SHA-256"),
            ("unknown alg", setc("hashes", [{"alg": "CRC-32", "content": "abcd1234"}]), "not a valid"),
            ("bad type", setc("type", "gadget"), "not a CycloneDX component type"),
            ("no purl", drop("purl"), "purl"),
            ("no Debian source", props(lambda p: not p["name"].endswith("debian-source")), "Debian source"),
            ("nothing fetched", props(lambda p: not p["name"].endswith("fetched")), "fetched"),
            ("fetched without hash",
             lambda d: d["components"][0]["properties"].__setitem__(2, rt.prop("fetched", "x.dsc")), "fetched"),
            ("duplicate ref", setc("bom-ref", "component:libzip"), "not unique"),
            ("dangling dependency", lambda d: d["dependencies"][0]["dependsOn"].append("component:nothing"),
             "unknown ref"),
        ]
        for label, change, expected in cases:
            with self.subTest(label):
                problems = rt.schema_problems(broken(change))
                self.assertTrue(any(expected in p for p in problems), f"{label}: {problems}")

    def test_expressions(self):
        for text, ok in [("MIT", True), ("BSD-3-Clause OR GPL-2.0-only", True),
                         ("GPL-3.0-or-later WITH GCC-exception-3.1", True), ("(MIT AND Zlib) OR 0BSD", True),
                         ("", False), ("MIT OR", False), ("MIT Zlib", False), ("WITH GCC-exception-3.1", False),
                         ("GCC-exception-3.1", False), ("Unknown-1.0", False)]:
            with self.subTest(text):
                self.assertEqual(rt.expression_ok(text), ok)


MAP = """Archive member included to satisfy reference by file (symbol)

{deps}/lib/libzip.a(zip_open.c.obj)
                              SetupDownloader/libovl_install.a(Extraction.cpp.obj) (zip_open_from_source)
{mingw}/libwinpthread.a(libwinpthread_la-thread.o)
                              x.o (pthread_create)
{mingw}/libkernel32.a(libkernel32s00123.o)
                              x.o (__imp_CreateFileW)
{mingw}/libkernel32.a(libkernel32h.o) {mingw}/libkernel32.a(libkernel32s00123.o) (_head_lib64_libkernel32_a)
SetupDownloader/libovl_platform.a(Text.cpp.obj)
                              x.o (Format)

Discarded input sections

LOAD {mingw}/crt2.o
LOAD SetupDownloader/CMakeFiles/x.obj
"""


class LinkMaps(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.deps = os.path.join(self.dir.name, "deps")
        os.makedirs(os.path.join(self.deps, "lib"))
        open(os.path.join(self.deps, "lib", "libzip.a"), "w").close()
        self.map = os.path.join(self.dir.name, "p.map")
        with open(self.map, "w") as f:
            f.write(MAP.format(deps=self.deps, mingw=MINGW_LIB))

    def tearDown(self):
        self.dir.cleanup()

    def test_inputs_are_the_libraries_of_others_that_contributed(self):
        inputs = rt.link_inputs(self.map)
        self.assertEqual(sorted(os.path.basename(p) for p in inputs),
                         ["crt2.o", "libkernel32.a", "libwinpthread.a", "libzip.a"])
        kernel32 = os.path.realpath(f"{MINGW_LIB}/libkernel32.a")
        self.assertEqual(inputs[kernel32], {"libkernel32s00123.o", "libkernel32h.o"})

    def test_import_libraries_are_told_from_code(self):
        self.assertTrue(rt.is_import_library("/x/libkernel32.a", {"libkernel32h.o", "libkernel32s00123.o"}))
        self.assertTrue(rt.is_import_library("/x/libkernel32.a", {"lib64_libkernel32_a-readcr8.o"}))
        self.assertFalse(rt.is_import_library("/x/libwinpthread.a", {"libwinpthread_la-thread.o"}))
        self.assertFalse(rt.is_import_library("/x/libuser32.a", {"libkernel32s00123.o"}))
        self.assertFalse(rt.is_import_library("/x/libkernel32.a", set()))

    def named(self, components):
        return {"components": [library(name, properties=props) for name, props in components]}

    def components(self, skip=""):
        table = [
            ("libzip", [rt.prop("file", "libzip.a")]),
            ("winpthreads", [rt.prop("debian-binary", "mingw-w64-x86-64-dev"), rt.prop("file", "libwinpthread.a")]),
            ("mingw-w64-crt", [rt.prop("debian-binary", "mingw-w64-x86-64-dev"), rt.prop("file", "crt2.o"),
                               rt.prop("file", "import-libraries")]),
        ]
        return self.named([c for c in table if c[0] != skip])

    def test_every_library_named(self):
        self.assertEqual(rt.coverage_problems(self.components(), [("p", self.map)], self.deps), [])

    def test_a_missing_component_is_caught(self):
        for missing, file in [("libzip", "libzip.a"), ("winpthreads", "libwinpthread.a"),
                              ("mingw-w64-crt", "crt2.o")]:
            with self.subTest(missing):
                problems = rt.coverage_problems(self.components(skip=missing), [("p", self.map)], self.deps)
                self.assertTrue(any(file in p for p in problems), problems)

    def test_a_component_of_another_package_does_not_count(self):
        doc = self.components()
        for c in doc["components"]:
            for p in c["properties"]:
                if p["value"] == "mingw-w64-x86-64-dev" and c["name"] == "winpthreads":
                    p["value"] = "some-other-package"
        problems = rt.coverage_problems(doc, [("p", self.map)], self.deps)
        self.assertTrue(any("libwinpthread.a" in p for p in problems), problems)


class Executables(unittest.TestCase):
    def pe(self, stamp):
        header = bytearray(512)
        header[0:2] = b"MZ"
        struct.pack_into("<I", header, 0x3C, 0x80)
        header[0x80:0x84] = b"PE\0\0"
        struct.pack_into("<I", header, 0x88, stamp)
        return bytes(header)

    def test_pe_time_read_and_checked(self):
        with tempfile.TemporaryDirectory() as d:
            exe = os.path.join(d, "a.exe")
            with open(exe, "wb") as f:
                f.write(self.pe(1765314000))
            self.assertEqual(rt.pe_time(exe), 1765314000)
            rt.check_pe_time(1765314000, [exe])
            with self.assertRaises(rt.Failure):
                rt.check_pe_time(1765314001, [exe])

    def test_build_paths_found_in_every_form(self):
        path = "/work/some-clone/build"
        for label, planted in [("UTF-8", path.encode()), ("UTF-16", path.encode("utf-16-le")),
                               ("Windows", "Z:\\work\\some-clone\\build".encode("utf-16-le"))]:
            with self.subTest(label), tempfile.TemporaryDirectory() as d:
                exe = os.path.join(d, "a.exe")
                with open(exe, "wb") as f:
                    f.write(self.pe(0) + b"\0" * 7 + planted + b"\0" * 9)
                with self.assertRaises(rt.Failure):
                    rt.check_paths([path], [exe])
                rt.check_paths(["/work/other-clone/build"], [exe])


if __name__ == "__main__":
    unittest.main(verbosity=2)
