#!/usr/bin/env python3
"""dist/ as the release preset writes it: both setups, both signed driver packages and their zips.

The setups' contents are read with 7-Zip (it opens NSIS installers): the 32-bit setup cannot run on this
machine, so this is where it is checked; the 64-bit one also runs under Wine (tests/packaging/setup_wine_test.py).

Usage: dist_test.py --drivercat PROGRAM --winusb-inf FILE --dist DIR --win64-dir DIR --win32-dir DIR
"""

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import packtools
from packtools import (MACHINES, ROOT, catalog_minimum_problems, members_by_file, osslsigncode, pe_machine,
                       pem_from_cer, read_catalog)

ARGS = None
ARCHES = ("x64", "x86")
DRIVER_FILES = ["qelmrc-test.cer", "qelmrc.cat", "qelmrc.inf", "qelmrc.sys"]


class Dist(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dist-test-")
        cls.builds = {"x64": ARGS.win64_dir, "x86": ARGS.win32_dir}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def path(self, *parts):
        return os.path.join(ARGS.dist, *parts)

    def test_the_files_of_dist(self):
        expected = sorted([f"TavrelmondSetup-{a}.exe" for a in ARCHES] + [f"qelmrc-{a}" for a in ARCHES]
                          + [f"qelmrc-{a}.zip" for a in ARCHES])
        self.assertEqual(sorted(os.listdir(ARGS.dist)), expected)
        for arch in ARCHES:
            self.assertEqual(sorted(os.listdir(self.path(f"qelmrc-{arch}"))), DRIVER_FILES)

    def test_setup_images(self):
        for arch in ARCHES:
            with self.subTest(arch=arch):
                setup = self.path(f"TavrelmondSetup-{arch}.exe")
                self.assertEqual(pe_machine(setup), MACHINES[arch])
                out = os.path.join(self.work, arch)
                r = subprocess.run(["7z", "x", "-y", f"-o{out}", setup], capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                build = self.builds[arch]
                shipped = [("Tavrelmond.exe", os.path.join(build, "app/Tavrelmond.exe")),
                           ("XBMC.dll", os.path.join(build, "hidlib/XBMC.dll")),
                           ("Config.ini", os.path.join(ROOT, "app/res/Config.ini")),
                           ("qelmdrv.exe", os.path.join(build, "packaging/installer/qelmdrv.exe")),
                           ("winusb/qelmusb.inf", ARGS.winusb_inf)]
                shipped += [(f"driver/{n}", self.path(f"qelmrc-{arch}", n)) for n in DRIVER_FILES]
                for name, source in shipped:
                    self.assertTrue(filecmp.cmp(os.path.join(out, name), source, shallow=False),
                                    f"{name} in the {arch} setup differs from {source}")
                for binary in ("Tavrelmond.exe", "XBMC.dll", "driver/qelmrc.sys", "qelmdrv.exe"):
                    self.assertEqual(pe_machine(os.path.join(out, binary)), MACHINES[arch], binary)
                listing = subprocess.run(["7z", "l", setup], capture_output=True, text=True).stdout
                self.assertIn("uninstall.exe", listing)

    def test_driver_packages_verify_with_their_certificate(self):
        for arch in ARCHES:
            package = self.path(f"qelmrc-{arch}")
            ca = pem_from_cer(os.path.join(package, "qelmrc-test.cer"), self.work)
            sys_file, cat = os.path.join(package, "qelmrc.sys"), os.path.join(package, "qelmrc.cat")
            for what, args in [("sys", ["-in", sys_file]), ("cat", ["-in", cat]),
                               ("sys against cat", ["-catalog", cat, "-in", sys_file])]:
                with self.subTest(arch=arch, what=what):
                    code, out = osslsigncode("verify", "-CAfile", ca, *args)
                    self.assertEqual(code, 0, out)
            with self.subTest(arch=arch, what="INF"):
                with open(os.path.join(package, "qelmrc.inf"), "rb") as f, \
                        open(os.path.join(ROOT, "driver/qelmrc.inf"), "rb") as g:
                    self.assertEqual(f.read(), g.read())
                catalog = read_catalog(cat)
                self.assertEqual(sorted(members_by_file(catalog)), ["qelmrc.inf", "qelmrc.sys"])
                self.assertEqual(catalog_minimum_problems(catalog, "qelmrc", arch), [])
                self.assertEqual(pe_machine(sys_file), MACHINES[arch])

    def test_zips_hold_the_packages(self):
        for arch in ARCHES:
            with self.subTest(arch=arch), zipfile.ZipFile(self.path(f"qelmrc-{arch}.zip")) as z:
                names = sorted(n for n in z.namelist() if not n.endswith("/"))
                self.assertEqual(names, [f"qelmrc-{arch}/{n}" for n in DRIVER_FILES])
                for n in DRIVER_FILES:
                    with open(self.path(f"qelmrc-{arch}", n), "rb") as f:
                        self.assertEqual(z.read(f"qelmrc-{arch}/{n}"), f.read(), n)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--drivercat", required=True)
    parser.add_argument("--winusb-inf", required=True, help="the WinUSB INF as the build configures it")
    parser.add_argument("--dist", required=True)
    parser.add_argument("--win64-dir", required=True)
    parser.add_argument("--win32-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    packtools.DRIVERCAT = ARGS.drivercat
    if not os.path.isdir(ARGS.dist):
        sys.exit(f"missing {ARGS.dist}: run cmake --workflow --preset release first")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
