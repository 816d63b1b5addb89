#!/usr/bin/env python3
"""scripts/sign-driver.sh on the win64 and win32 builds' driver packages, with a throw-away certificate made
during the test: the signatures and the catalog verify with osslsigncode, the catalog lists the image by its
Authenticode digest and the INF by its SHA-1, and a changed .sys or INF no longer matches.

Usage: sign_driver_test.py --drivercat PROGRAM --package x64=DIR --package x86=DIR
       (DIR: a build's driver/kernel/package)
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import packtools
from packtools import (MACHINES, ROOT, authenticode_sha1, catalog_minimum_problems, drivercat, members_by_file,
                       osslsigncode, pe_machine, read_catalog, sha1_hex)

SIGN = os.path.join(ROOT, "scripts/sign-driver.sh")
PACKAGES = {}


def sign(package, *options):
    return subprocess.run([SIGN, "--drivercat", packtools.DRIVERCAT] + list(options) + [package],
                          capture_output=True, text=True)


class SignedPackage:
    """One architecture's package, copied and signed once with a certificate made in a temporary folder
    (mixed into a TestCase per architecture below)."""
    arch = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix=f"sign-driver-{cls.arch}-")
        cls.cert_dir = os.path.join(cls.work, "cert")
        cls.package = os.path.join(cls.work, f"qelmrc-{cls.arch}")
        shutil.copytree(PACKAGES[cls.arch], cls.package)
        cls.result = sign(cls.package, "--arch", cls.arch, "--cert-dir", cls.cert_dir)
        cls.cert = os.path.join(cls.cert_dir, "cert.pem")
        cls.sys = os.path.join(cls.package, "qelmrc.sys")
        cls.inf = os.path.join(cls.package, "qelmrc.inf")
        cls.cat = os.path.join(cls.package, "qelmrc.cat")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stdout + self.result.stderr)

    def verify(self, *args):
        return osslsigncode("verify", "-CAfile", self.cert, *args)

    def changed_copy(self, path, offset):
        """A copy of `path` in a folder of its own, one byte changed at `offset` (negative: from the end)."""
        folder = tempfile.mkdtemp(dir=self.work)
        copy = os.path.join(folder, os.path.basename(path))
        shutil.copy(path, copy)
        with open(copy, "r+b") as f:
            f.seek(offset, os.SEEK_SET if offset >= 0 else os.SEEK_END)
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0x01]))
        return copy

    def test_files_of_the_package(self):
        self.assertEqual(sorted(os.listdir(self.package)),
                         ["qelmrc-test.cer", "qelmrc.cat", "qelmrc.inf", "qelmrc.sys"])
        self.assertEqual(pe_machine(self.sys), MACHINES[self.arch])
        # The .cer is the signing certificate, DER.
        der = subprocess.run(["openssl", "x509", "-in", self.cert, "-outform", "DER"], capture_output=True).stdout
        with open(os.path.join(self.package, "qelmrc-test.cer"), "rb") as f:
            self.assertEqual(f.read(), der)
        # A key never ends up in the package.
        for name in os.listdir(self.package):
            with open(os.path.join(self.package, name), "rb") as f:
                self.assertNotIn(b"PRIVATE KEY", f.read())

    def test_osslsigncode_verifies_sys_cat_and_sys_against_cat(self):
        for what, args in [("embedded signature", ["-in", self.sys]),
                           ("catalog signature", ["-in", self.cat]),
                           ("image against the catalog", ["-catalog", self.cat, "-in", self.sys])]:
            with self.subTest(what=what):
                code, out = self.verify(*args)
                self.assertEqual(code, 0, out)
                self.assertIn("Signature verification: ok", out)

    def test_embedded_signature_is_sha256_with_page_hashes(self):
        code, out = self.verify("-in", self.sys)
        self.assertEqual(code, 0, out)
        self.assertIn("Message digest algorithm  : SHA256", out)
        self.assertIn("Page hash algorithm  : SHA256", out)

    def test_catalog_members_and_attributes(self):
        catalog = read_catalog(self.cat)
        members = members_by_file(catalog)
        self.assertEqual(sorted(members), ["qelmrc.inf", "qelmrc.sys"])
        self.assertEqual(members["qelmrc.sys"]["digest"], authenticode_sha1(self.sys, self.work))
        self.assertEqual(members["qelmrc.inf"]["digest"], sha1_hex(self.inf))
        self.assertEqual({n: v for n, v in catalog["attributes"].items() if n.startswith("HWID")},
                         {"HWID1": "usb\\vid_045e&pid_0284", "HWID2": "usb\\vid_045e&pid_0284&mi_00"})
        # Every hardware ID of the INF is listed, in lower case.
        with open(self.inf, encoding="utf-8") as f:
            inf_ids = set(re.findall(r"(?m)^%\w+%\s*=\s*\w+\s*,\s*(\S+)\s*$", f.read()))
        self.assertEqual({i.lower() for i in inf_ids},
                         {v for n, v in catalog["attributes"].items() if n.startswith("HWID")})
        self.assertEqual(catalog["signers"], 1)
        with open(self.inf, encoding="utf-8") as f:
            self.assertRegex(f.read(), r"(?m)^CatalogFile\s*=\s*qelmrc\.cat\s*$")

    def test_catalog_matches_the_stated_minimum_windows(self):
        self.assertEqual(catalog_minimum_problems(read_catalog(self.cat), "qelmrc", self.arch), [])

    def test_changed_sys_no_longer_matches(self):
        # One byte of code (past the headers) and one byte of the last section's data.
        for offset in (0x600, -0x40 - os.path.getsize(self.sys) // 4):
            with self.subTest(offset=offset):
                changed = self.changed_copy(self.sys, offset)
                code, out = self.verify("-catalog", self.cat, "-in", changed)
                self.assertNotEqual(code, 0, out)
                self.assertNotEqual(authenticode_sha1(changed, self.work),
                                    members_by_file(read_catalog(self.cat))["qelmrc.sys"]["digest"])
                code, out = self.verify("-in", changed)
                self.assertNotEqual(code, 0, "a changed image still passes its embedded signature")

    def test_changed_inf_no_longer_matches(self):
        changed = self.changed_copy(self.inf, 40)
        r = drivercat("check", self.cat, "--flat", changed)
        self.assertEqual(r.returncode, 1, r.stdout)

    def test_catalog_of_another_certificate_is_refused(self):
        other = os.path.join(self.work, "other-cert")
        os.makedirs(other)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=someone else", "-keyout", os.path.join(other, "key.pem"),
                        "-out", os.path.join(other, "cert.pem")], capture_output=True, check=True)
        code, out = osslsigncode("verify", "-CAfile", os.path.join(other, "cert.pem"), "-in", self.cat)
        self.assertNotEqual(code, 0, out)


class SignedX64(SignedPackage, unittest.TestCase):
    arch = "x64"


class SignedX86(SignedPackage, unittest.TestCase):
    arch = "x86"


class MinimumCheck(unittest.TestCase):
    """The check of a catalog against its package's stated minimum Windows finds what it is for."""

    def test_finds_what_does_not_match(self):
        good = {"attributes": {"OS": "7X64,8X64,_v63_X64,_v100_X64", "OSAttr": "2:6.1,2:6.2,2:6.3,2:10.0"},
                "members": [{"file": "qelmrc.inf", "algorithm": packtools.OID_SHA1}],
                "signer_digests": [packtools.OID_SHA256]}
        self.assertEqual(catalog_minimum_problems(good, "qelmrc", "x64"), [])
        cases = [
            ("Windows 10 only", "qelmrc", "x64", {"OS": "_v100_X64", "OSAttr": "2:10.0"}, None, None),
            ("x86 names in an x64 catalog", "qelmrc", "x64", {"OS": "7X86,8X86,_v63,_v100"}, None, None),
            ("Windows 7 named for the WinUSB package", "qelmusb", "x64", {}, None, None),
            ("a member hashed with SHA-256", "qelmrc", "x64", {}, "2.16.840.1.101.3.4.2.1", None),
            ("a SHA-512 signature", "qelmrc", "x64", {}, None, "2.16.840.1.101.3.4.2.3"),
        ]
        for what, package, arch, attributes, member_digest, signer_digest in cases:
            with self.subTest(what=what):
                catalog = {"attributes": dict(good["attributes"], **attributes),
                           "members": [{"file": "x", "algorithm": member_digest or packtools.OID_SHA1}],
                           "signer_digests": [signer_digest or packtools.OID_SHA256]}
                self.assertNotEqual(catalog_minimum_problems(catalog, package, arch), [])


class Script(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sign-driver-")
        self.package = os.path.join(self.work, "pkg")
        shutil.copytree(PACKAGES["x64"], self.package)

    def tearDown(self):
        shutil.rmtree(self.work)

    def test_second_run_replaces_the_signature_and_keeps_the_certificate(self):
        cert_dir = os.path.join(self.work, "cert")
        self.assertEqual(sign(self.package, "--arch", "x64", "--cert-dir", cert_dir).returncode, 0)
        with open(os.path.join(cert_dir, "cert.pem")) as f:
            first = f.read()
        r = sign(self.package, "--arch", "x64", "--cert-dir", cert_dir)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("making a test-signing certificate", r.stdout)
        with open(os.path.join(cert_dir, "cert.pem")) as f:
            self.assertEqual(f.read(), first)
        self.assertEqual(oct(os.stat(os.path.join(cert_dir, "key.pem")).st_mode & 0o077), "0o0")
        code, out = osslsigncode("verify", "-CAfile", os.path.join(cert_dir, "cert.pem"),
                                 "-in", os.path.join(self.package, "qelmrc.sys"))
        self.assertEqual(code, 0, out)
        self.assertIn("Number of verified signatures: 1", out)

    def test_certificate_of_the_user(self):
        cert, key = os.path.join(self.work, "mine.pem"), os.path.join(self.work, "mine.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=my own", "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", key, "-out", cert], capture_output=True, check=True)
        r = sign(self.package, "--arch", "x64", "--cert", cert, "--key", key)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        code, out = osslsigncode("verify", "-CAfile", cert, "-catalog", os.path.join(self.package, "qelmrc.cat"),
                                 "-in", os.path.join(self.package, "qelmrc.sys"))
        self.assertEqual(code, 0, out)
        self.assertIn("/CN=my own", out)

    def test_half_a_certificate_or_a_wrong_key_is_refused_and_nothing_replaced(self):
        mine = os.path.join(self.work, "mine")
        other = os.path.join(self.work, "other")
        for folder, name in [(mine, "mine"), (other, "other")]:
            os.makedirs(folder)
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", f"/CN={name}", "-addext", "extendedKeyUsage=codeSigning",
                            "-keyout", os.path.join(folder, "key.pem"), "-out", os.path.join(folder, "cert.pem")],
                           capture_output=True, check=True)
        def package_files():
            return {n: open(os.path.join(self.package, n), "rb").read() for n in os.listdir(self.package)}

        before = package_files()
        for missing in ("key.pem", "cert.pem"):
            with self.subTest(missing=missing):
                cert_dir = os.path.join(self.work, "half-" + missing)
                shutil.copytree(mine, cert_dir)
                os.remove(os.path.join(cert_dir, missing))
                kept = {n: open(os.path.join(cert_dir, n), "rb").read() for n in os.listdir(cert_dir)}
                r = sign(self.package, "--arch", "x64", "--cert-dir", cert_dir)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertNotIn("making a test-signing certificate", r.stdout)
                self.assertEqual({n: open(os.path.join(cert_dir, n), "rb").read() for n in os.listdir(cert_dir)},
                                 kept)
        with self.subTest(what="key of another certificate"):
            r = sign(self.package, "--arch", "x64", "--cert", os.path.join(mine, "cert.pem"),
                     "--key", os.path.join(other, "key.pem"))
            self.assertNotEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(package_files(), before, "a refused run leaves the package as it was")

    def test_refuses_bad_arguments(self):
        empty = os.path.join(self.work, "empty")
        os.makedirs(empty)
        for what, args in [("no architecture", [self.package]),
                           ("unknown architecture", ["--arch", "arm64", self.package]),
                           ("folder without a driver", ["--arch", "x64", empty]),
                           ("key without certificate", ["--arch", "x64", "--key", "/nonexistent", self.package]),
                           ("no catalog tool", ["--arch", "x64", "--drivercat", "/nonexistent", self.package])]:
            with self.subTest(what=what):
                r = subprocess.run([SIGN, "--drivercat", packtools.DRIVERCAT] + args, capture_output=True, text=True)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--drivercat", required=True)
    parser.add_argument("--package", action="append", required=True, help="ARCH=DIR")
    args, rest = parser.parse_known_args()
    packtools.DRIVERCAT = args.drivercat
    for item in args.package:
        arch, _, folder = item.partition("=")
        if not os.path.isfile(os.path.join(folder, "qelmrc.sys")):
            sys.exit(f"missing {folder}/qelmrc.sys: build the win64 and win32 presets first")
        PACKAGES[arch] = folder
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
