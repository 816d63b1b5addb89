#!/usr/bin/env python3
"""dist/ as the release preset writes it: both setups, both signed driver packages, their zips, the attestation
cabinets and SHA256SUMS; every PE file in it and in the setups signed; the release's version everywhere.

The setups' contents are read with 7-Zip (it opens NSIS installers): the 32-bit setup cannot run on this
machine, so this is where it is checked; the 64-bit one also runs under Wine (tests/packaging/setup_wine_test.py).

Usage: dist_test.py --dist DIR --version X.Y.Z --win64-dir DIR --win32-dir DIR
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from packtools import (MACHINES, ROOT, authenticode_sha1, members_by_file, osslsigncode, pe_machine, pem_from_cer,
                       read_catalog)

sys.path.insert(0, os.path.join(ROOT, "tests/kernel"))
from check_driver_image import first_version_resource, version_strings  # noqa: E402

ARGS = None
ARCHES = ("x64", "x86")
DRIVER_FILES = ["qelmrc-test.cer", "qelmrc.cat", "qelmrc.inf", "qelmrc.sys"]
CAB_FILES = ["qelmrc.inf", "qelmrc.sys", "qelmrc.cat"]


def setup_name(arch):
    return f"TavrelmondSetup-{ARGS.version}-{arch}.exe"


def pe_files(folder):
    """Every PE image under folder (by its MZ/PE header, whatever its name), sorted."""
    found = []
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            if pe_machine(path) is not None:
                found.append(path)
    return sorted(found)


def version_of(path):
    with open(path, "rb") as f:
        blob = first_version_resource(f.read())
    if blob is None:
        return {}, None
    return version_strings(blob)


class Dist(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dist-test-")
        cls.builds = {"x64": ARGS.win64_dir, "x86": ARGS.win32_dir}
        # The certificate dist/ was signed with: the one shipped for the user to trust.
        cls.ca = pem_from_cer(os.path.join(ARGS.dist, "qelmrc-x64", "qelmrc-test.cer"), cls.work)
        cls.unpacked = {}
        for arch in ARCHES:
            out = os.path.join(cls.work, "setup-" + arch)
            r = subprocess.run(["7z", "x", "-y", f"-o{out}", os.path.join(ARGS.dist, setup_name(arch))],
                               capture_output=True, text=True)
            cls.unpacked[arch] = (r.returncode, r.stdout + r.stderr, out)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def path(self, *parts):
        return os.path.join(ARGS.dist, *parts)

    def unpack(self, arch):
        code, out, folder = self.unpacked[arch]
        self.assertEqual(code, 0, out)
        return folder

    def test_the_files_of_dist(self):
        expected = sorted([setup_name(a) for a in ARCHES] + [f"qelmrc-{a}" for a in ARCHES]
                          + [f"qelmrc-{a}.zip" for a in ARCHES] + [f"qelmrc-attestation-{a}.cab" for a in ARCHES]
                          + ["SHA256SUMS"])
        self.assertEqual(sorted(os.listdir(ARGS.dist)), expected)
        for arch in ARCHES:
            self.assertEqual(sorted(os.listdir(self.path(f"qelmrc-{arch}"))), DRIVER_FILES)

    def test_every_pe_file_is_signed_and_verifies(self):
        # In dist/, in both setups (the program, the uninstaller, the NSIS plugins) and in the cabinets' folders.
        files = pe_files(ARGS.dist)
        for arch in ARCHES:
            files += pe_files(self.unpack(arch))
        names = {os.path.basename(f) for f in files}
        for expected in ("Tavrelmond.exe", "XBMC.dll", "qelmrc.sys", "uninstall.exe", "System.dll",
                         setup_name("x64"), setup_name("x86")):
            self.assertIn(expected, names, "a PE file the release ships was not found")
        for path in files + [self.path(f"qelmrc-attestation-{a}.cab") for a in ARCHES]:
            with self.subTest(file=os.path.relpath(path, self.work if path.startswith(self.work) else ARGS.dist)):
                code, out = osslsigncode("verify", "-CAfile", self.ca, "-in", path)
                self.assertEqual(code, 0, out)
                self.assertIn("Message digest algorithm  : SHA256", out)

    def test_setup_images(self):
        for arch in ARCHES:
            with self.subTest(arch=arch):
                setup = self.path(setup_name(arch))
                self.assertEqual(pe_machine(setup), MACHINES[arch])
                out = self.unpack(arch)
                build = self.builds[arch]
                # The program's files are the build's, signed: the same image apart from the signature.
                for name, source in [("Tavrelmond.exe", "app/Tavrelmond.exe"), ("XBMC.dll", "hidlib/XBMC.dll")]:
                    self.assertEqual(authenticode_sha1(os.path.join(out, name), self.work),
                                     authenticode_sha1(os.path.join(build, source), self.work), name)
                    self.assertEqual(pe_machine(os.path.join(out, name)), MACHINES[arch], name)
                shipped = [("Config.ini", os.path.join(ROOT, "app/res/Config.ini"))]
                shipped += [(f"driver/{n}", self.path(f"qelmrc-{arch}", n)) for n in DRIVER_FILES]
                for name, source in shipped:
                    with open(os.path.join(out, name), "rb") as a, open(source, "rb") as b:
                        self.assertEqual(a.read(), b.read(), f"{name} in the {arch} setup differs from {source}")
                self.assertEqual(pe_machine(os.path.join(out, "driver/qelmrc.sys")), MACHINES[arch])
                self.assertTrue(os.path.isfile(os.path.join(out, "uninstall.exe")))

    def test_one_version_everywhere(self):
        version = tuple(int(p) for p in ARGS.version.split(".")) + (0,)
        for arch in ARCHES:
            out = self.unpack(arch)
            for what, path in [("Tavrelmond.exe", os.path.join(out, "Tavrelmond.exe")),
                               ("XBMC.dll", os.path.join(out, "XBMC.dll")),
                               ("setup", self.path(setup_name(arch)))]:
                with self.subTest(arch=arch, file=what):
                    strings, fixed = version_of(path)
                    self.assertEqual(fixed, version)
                    self.assertEqual(strings.get("FileVersion"), ARGS.version)
                    self.assertEqual(strings.get("ProductVersion"), ARGS.version)
            with self.subTest(arch=arch, file="qelmrc.sys"):
                # The driver keeps its own version resource.
                strings, fixed = version_of(self.path(f"qelmrc-{arch}", "qelmrc.sys"))
                self.assertEqual(fixed, (0, 20, 0, 0))
                self.assertEqual((strings.get("FileVersion"), strings.get("ProductVersion")), ("0.20", "0.20"))
            with self.subTest(arch=arch, file="qelmrc.inf"):
                with open(self.path(f"qelmrc-{arch}", "qelmrc.inf"), encoding="utf-8") as f:
                    shipped = f.read()
                with open(os.path.join(ROOT, "driver/qelmrc.inf"), encoding="utf-8") as f:
                    source = f.read()
                line = re.compile(r"(?m)^DriverVer\s*=.*$")
                m = re.search(r"(?m)^DriverVer\s*=\s*(\d\d)/(\d\d)/(\d{4}),(\S+)\s*$", shipped)
                self.assertIsNotNone(m, "no DriverVer line of date and version in the package's INF")
                self.assertEqual(m.group(4), ARGS.version + ".0")
                # Apart from that line, the package's INF is the source's.
                self.assertEqual(line.sub("", shipped), line.sub("", source))

    def test_driver_packages_verify_with_their_certificate(self):
        for arch in ARCHES:
            package = self.path(f"qelmrc-{arch}")
            sys_file, cat = os.path.join(package, "qelmrc.sys"), os.path.join(package, "qelmrc.cat")
            for what, args in [("sys", ["-in", sys_file]), ("cat", ["-in", cat]),
                               ("sys against cat", ["-catalog", cat, "-in", sys_file])]:
                with self.subTest(arch=arch, what=what):
                    code, out = osslsigncode("verify", "-CAfile", self.ca, *args)
                    self.assertEqual(code, 0, out)
            self.assertEqual(sorted(members_by_file(read_catalog(cat))), ["qelmrc.inf", "qelmrc.sys"])
            self.assertEqual(pe_machine(sys_file), MACHINES[arch])

    def test_attestation_cabinets(self):
        for arch in ARCHES:
            cab = self.path(f"qelmrc-attestation-{arch}.cab")
            with self.subTest(arch=arch):
                listing = subprocess.run(["gcab", "-t", cab], capture_output=True, text=True)
                self.assertEqual(listing.returncode, 0, listing.stderr)
                names = listing.stdout.split()
                # One folder per driver package, nothing at the root.
                self.assertEqual(sorted(names), sorted(f"qelmrc-{arch}\\{n}" for n in CAB_FILES))
                out = os.path.join(self.work, "cab-" + arch)
                os.makedirs(out)
                r = subprocess.run(["gcab", "-x", "-C", out, cab], capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                for name in CAB_FILES:
                    with open(os.path.join(out, f"qelmrc-{arch}", name), "rb") as a, \
                            open(self.path(f"qelmrc-{arch}", name), "rb") as b:
                        self.assertEqual(a.read(), b.read(), name)
                code, out = osslsigncode("verify", "-CAfile", self.ca, "-in", cab)
                self.assertEqual(code, 0, out)

    def test_zips_hold_the_packages_with_fixed_dates(self):
        for arch in ARCHES:
            with self.subTest(arch=arch), zipfile.ZipFile(self.path(f"qelmrc-{arch}.zip")) as z:
                names = [n for n in z.namelist() if not n.endswith("/")]
                self.assertEqual(names, [f"qelmrc-{arch}/{n}" for n in DRIVER_FILES], "sorted, complete")
                self.assertEqual(len({i.date_time for i in z.infolist()}), 1, "one date for every entry")
                for n in DRIVER_FILES:
                    with open(self.path(f"qelmrc-{arch}", n), "rb") as f:
                        self.assertEqual(z.read(f"qelmrc-{arch}/{n}"), f.read(), n)

    def test_sha256sums_lists_every_file(self):
        with open(self.path("SHA256SUMS"), encoding="ascii") as f:
            listed = dict(reversed(line.rstrip("\n").split("  ", 1)) for line in f)
        present = sorted(os.path.relpath(os.path.join(r, n), ARGS.dist)
                         for r, _, files in os.walk(ARGS.dist) for n in files if n != "SHA256SUMS")
        self.assertEqual(sorted(listed), present)
        for name, digest in listed.items():
            with open(self.path(name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--win64-dir", required=True)
    parser.add_argument("--win32-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    if not os.path.isdir(ARGS.dist):
        sys.exit(f"missing {ARGS.dist}: run cmake --workflow --preset release first")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
