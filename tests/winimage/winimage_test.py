#!/usr/bin/env python3
"""Tests of the image checks themselves: that check_imports.py fails what it must (an import newer than the
stated minimum, one the list does not know, one by ordinal, one of the other architecture), also on a real
binary built to import a Windows 8 function, and that check_manifest.py fails each thing a manifest can get
wrong.

Usage: winimage_test.py [--image newerimport.exe]...   (the scratch program of tests/winbin/newerimport)
"""
import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_imports  # noqa: E402
import check_manifest  # noqa: E402

LIST = os.path.join(HERE, "windows7sp1.imports")
SCRATCH_IMAGES = []


class Imports(unittest.TestCase):
    def setUp(self):
        self.known = check_imports.read_list(LIST)

    def test_each_kind_of_import_is_judged(self):
        rows = [
            # (imports, machine, the failure's words or None when it passes)
            ([("kernel32.dll", "GetTickCount64")], "x64", None),
            ([("kernel32.dll", "GetSystemTimePreciseAsFileTime")], "x64", "needs Windows 8"),
            ([("kernel32.dll", "SetThreadDescription")], "x86", "needs Windows 10"),
            ([("ntoskrnl.exe", "ExAllocatePool2")], "x64", "needs Windows 10"),
            ([("kernel32.dll", "NoSuchFunction")], "x64", "not in the list"),
            ([("nosuch.dll", "GetTickCount64")], "x64", "not in the list"),
            ([("ws2_32.dll", "#23")], "x86", "by ordinal"),
            ([("user32.dll", "GetWindowLongPtrA")], "x64", None),
            ([("user32.dll", "GetWindowLongPtrA")], "x86", "x64 only"),
            ([("hal.dll", "KfAcquireSpinLock")], "x64", "x86 only"),
        ]
        for imports, machine, words in rows:
            with self.subTest(imports=imports, machine=machine):
                failures = check_imports.check_imports(imports, machine, self.known, "7")
                if words is None:
                    self.assertEqual(failures, [])
                else:
                    self.assertEqual(len(failures), 1, failures)
                    self.assertIn(words, failures[0])

    def test_a_stated_minimum_of_windows_8_lets_its_functions_through(self):
        imports = [("kernel32.dll", "GetSystemTimePreciseAsFileTime")]
        self.assertEqual(check_imports.check_imports(imports, "x64", self.known, "8"), [])

    def test_a_broken_list_is_refused(self):
        import tempfile
        for body in ("Function xp\n", "[kernel32.dll]\nFunction someday\n", "[kernel32.dll]\nA xp\nA xp\n",
                     "[kernel32.dll]\nA xp arm\n"):
            with self.subTest(body=body), tempfile.NamedTemporaryFile("w", suffix=".imports") as f:
                f.write(body)
                f.flush()
                with self.assertRaises(check_imports.ListError):
                    check_imports.read_list(f.name)

    def test_a_built_program_importing_a_newer_function_fails(self):
        if not SCRATCH_IMAGES:
            self.skipTest("no scratch image given")
        for path in SCRATCH_IMAGES:
            with self.subTest(image=path):
                image, failures = check_imports.check_image(path, self.known, "7")
                text = "\n".join(failures)
                self.assertIn("GetSystemTimePreciseAsFileTime: needs Windows 8", text)
                self.assertIn("GetCurrentProcessorNumberEx: not in the list", text)
                self.assertEqual(len(failures), 2, text)
                self.assertEqual(check_imports.main(["--list", LIST, "--minimum", "7", path]), 1)


GOOD = open(os.path.join(HERE, "..", "..", "cmake", "WindowsManifest.manifest.in"), encoding="utf-8").read()
GOOD = GOOD.replace("@MANIFEST_NAME@", "Program").replace("@MANIFEST_VERSION@", "1.0.0.0")
GOOD = GOOD.replace("@MANIFEST_DESCRIPTION@", "A program")


class Manifest(unittest.TestCase):
    def test_the_template_passes_for_both_architectures(self):
        for architecture, machine in (("amd64", "x64"), ("x86", "x86")):
            with self.subTest(machine):
                text = GOOD.replace("@MANIFEST_ARCHITECTURE@", architecture)
                self.assertEqual(check_manifest.check_manifest_text(text, machine), [])

    def test_each_fault_fails(self):
        base = GOOD.replace("@MANIFEST_ARCHITECTURE@", "amd64")
        rows = [
            ("wrong architecture", base.replace('processorArchitecture="amd64"', 'processorArchitecture="x86"'),
             "identity architecture"),
            ("elevation asked for", base.replace('level="asInvoker"', 'level="requireAdministrator"'),
             "execution level"),
            ("uiAccess", base.replace('uiAccess="false"', 'uiAccess="true"'), "execution level"),
            ("no trust information", base.replace("trustInfo", "trustInfoX"), "requestedExecutionLevel"),
            ("Windows 7 left out", base.replace("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{0}"),
             "Windows 7 is not"),
            ("Windows 10 left out", base.replace("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "{0}"),
             "Windows 10 and 11"),
            ("system DPI only", base.replace(">true/pm<", ">true<"), "dpiAware"),
            ("PerMonitor only", base.replace("PerMonitorV2, PerMonitor", "PerMonitor"), "dpiAwareness"),
            ("no fallback", base.replace("PerMonitorV2, PerMonitor", "PerMonitorV2"), "dpiAwareness"),
            ("old common controls", base.replace('version="6.0.0.0"', 'version="5.82.0.0"'), "common controls"),
            ("not XML", base.replace("</assembly>", ""), "not well-formed"),
        ]
        for name, text, words in rows:
            with self.subTest(name):
                self.assertNotEqual(text, base, "the row changes nothing")
                failures = check_manifest.check_manifest_text(text, "x64")
                self.assertTrue(any(words in f for f in failures), failures)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--image", action="append", default=[])
    args, rest = ap.parse_known_args()
    SCRATCH_IMAGES.extend(args.image)
    unittest.main(argv=[sys.argv[0]] + rest)
