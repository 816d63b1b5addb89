#!/usr/bin/env python3
"""The catalog tool (drivercat, packaging/catalog) as scripts/sign-driver.sh runs it: catalogs of a real driver
image read back, strict DER as openssl parses it, repeatable output, a changed INF found, bad inputs refused,
and catalogs it signs accepted by osslsigncode (the same signing code the WinUSB install program runs).

Usage: drivercat_test.py --drivercat PROGRAM --sys qelmrc.sys (any PE image)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import packtools
from packtools import OID_FLAT, OID_PE_IMAGE, OID_SHA1, authenticode_sha1, drivercat, osslsigncode, read_catalog, sha1_hex

ARGS = None


def make_certificate(folder, name):
    os.makedirs(folder, exist_ok=True)
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={name}",
                    "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert],
                   capture_output=True, check=True)
    return cert, key


class Catalog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="drivercat-")
        cls.sys = os.path.join(cls.work, "qelmrc.sys")
        shutil.copy(ARGS.sys, cls.sys)
        cls.inf = os.path.join(cls.work, "qelmrc.inf")
        with open(cls.inf, "w") as f:
            f.write("[Version]\nSignature=\"$WINDOWS NT$\"\nCatalogFile=qelmrc.cat\n")
        cls.data = os.path.join(cls.work, "data.der")
        code, out = osslsigncode("extract-data", "-h", "sha1", "-in", cls.sys, "-out", cls.data)
        assert code == 0, out
        cls.cat = os.path.join(cls.work, "qelmrc.cat")
        r = cls.make(cls.cat)
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    @classmethod
    def make(cls, out, *extra, epoch="1765180800"):
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
        return subprocess.run([packtools.DRIVERCAT, "make", "--out", out, "--os", "_v100_X64", "--hwid",
                               "usb\\vid_045e&pid_0284", "--pe", "qelmrc.sys=" + cls.data, "--flat", cls.inf]
                              + list(extra), env=env, capture_output=True, text=True)

    def read(self, path=None):
        with open(path or self.cat, "rb") as f:
            return f.read()

    def test_members_and_attributes_read_back(self):
        catalog = read_catalog(self.cat)
        members = {m["file"]: m for m in catalog["members"]}
        self.assertEqual(sorted(members), ["qelmrc.inf", "qelmrc.sys"])
        self.assertEqual(members["qelmrc.sys"]["digest"], authenticode_sha1(self.sys, self.work))
        self.assertEqual((members["qelmrc.sys"]["kind"], members["qelmrc.sys"]["type"]), ("pe", OID_PE_IMAGE))
        self.assertEqual(members["qelmrc.inf"]["digest"], sha1_hex(self.inf))
        self.assertEqual((members["qelmrc.inf"]["kind"], members["qelmrc.inf"]["type"]), ("flat", OID_FLAT))
        for m in members.values():
            self.assertEqual(m["algorithm"], OID_SHA1)
        self.assertEqual(catalog["attributes"], {"OS": "_v100_X64", "HWID1": "usb\\vid_045e&pid_0284"})
        self.assertEqual(catalog["signers"], 0)

    def test_strict_der_and_ctl_placed_directly(self):
        r = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", self.cat, "-i"],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        ctl = next(i for i, l in enumerate(lines) if ":1.3.6.1.4.1.311.10.1" in l)
        self.assertIn("cont [ 0 ]", lines[ctl + 1])
        self.assertIn("SEQUENCE", lines[ctl + 2], "the trust list must follow [0] directly")
        # osslsigncode recognises a catalog by the SignedData OID after a two-byte length.
        self.assertEqual(self.read()[1], 0x82)

    def test_same_inputs_same_catalog(self):
        again = os.path.join(self.work, "again.cat")
        self.assertEqual(self.make(again).returncode, 0)
        self.assertEqual(self.read(again), self.read())
        later = os.path.join(self.work, "later.cat")
        self.assertEqual(self.make(later, epoch="1765267200").returncode, 0)
        self.assertNotEqual(self.read(later), self.read())

    def test_check_finds_a_changed_inf(self):
        self.assertEqual(drivercat("check", self.cat, "--flat", self.inf).returncode, 0)
        changed = os.path.join(self.work, "changed", "qelmrc.inf")
        os.makedirs(os.path.dirname(changed), exist_ok=True)
        with open(self.inf) as f:
            text = f.read()
        with open(changed, "w") as f:
            f.write(text + "; edited\n")
        r = drivercat("check", self.cat, "--flat", changed)
        self.assertEqual(r.returncode, 1)
        self.assertIn("not in the catalog", r.stdout)
        renamed = os.path.join(self.work, "changed", "other.inf")
        shutil.copy(self.inf, renamed)
        self.assertEqual(drivercat("check", self.cat, "--flat", renamed).returncode, 1)

    def test_refuses_bad_inputs(self):
        sha256 = os.path.join(self.work, "data256.der")
        code, out = osslsigncode("extract-data", "-h", "sha256", "-in", self.sys, "-out", sha256)
        self.assertEqual(code, 0, out)
        cases = [
            ("a SHA-256 digest in a version 1 catalog", ["--pe", "other.sys=" + sha256], 1),
            ("the same file twice", ["--flat", self.inf], 1),
            ("extract-data output that is no PKCS#7", ["--pe", "x.sys=" + self.inf], 1),
            ("a file that is not there", ["--flat", os.path.join(self.work, "missing.inf")], 1),
            ("--pe without its data file", ["--pe", "x.sys"], 2),
            ("an unknown option", ["--size", "1"], 2),
        ]
        for what, extra, status in cases:
            with self.subTest(what=what):
                r = self.make(os.path.join(self.work, "bad.cat"), *extra)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                self.assertTrue(r.stderr.startswith("drivercat:"), r.stderr)
        for what, path in [("an INF", self.inf), ("a driver image", self.sys)]:
            with self.subTest(what=f"list of {what}"):
                r = drivercat("list", path)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertEqual(r.stdout, "")

    def test_signed_catalog_verifies_with_osslsigncode(self):
        cert, key = make_certificate(os.path.join(self.work, "signer"), "drivercat test")
        signed = os.path.join(self.work, "signed.cat")
        r = drivercat("sign", "--cert", cert, "--key", key, "--in", self.cat, "--out", signed)
        self.assertEqual(r.returncode, 0, r.stderr)
        code, out = osslsigncode("verify", "-CAfile", cert, "-in", signed)
        self.assertEqual(code, 0, out)
        self.assertIn("Signature verification: ok", out)
        code, out = osslsigncode("verify", "-CAfile", cert, "-catalog", signed, "-in", self.sys)
        self.assertEqual(code, 0, "the image against the catalog: " + out)
        catalog = read_catalog(signed)
        self.assertEqual((catalog["signers"], catalog["certificates"]), (1, ["drivercat test"]))
        self.assertEqual(catalog["attributes"], read_catalog(self.cat)["attributes"])

        other, _ = make_certificate(os.path.join(self.work, "other"), "someone else")
        code, out = osslsigncode("verify", "-CAfile", other, "-in", signed)
        self.assertNotEqual(code, 0, "a catalog passes with another certificate")
        # One character of a hardware ID changed after signing: the digest no longer matches.
        data = bytearray(self.read(signed))
        at = data.find("pid_0284".encode("utf-16-le"))
        data[at] ^= 0x01
        tampered = os.path.join(self.work, "tampered.cat")
        with open(tampered, "wb") as f:
            f.write(data)
        code, out = osslsigncode("verify", "-CAfile", cert, "-in", tampered)
        self.assertNotEqual(code, 0, "a changed catalog still verifies")
        _, other_key = make_certificate(os.path.join(self.work, "wrong-key"), "wrong key")
        r = drivercat("sign", "--cert", cert, "--key", other_key, "--in", self.cat, "--out", tampered)
        code, out = osslsigncode("verify", "-CAfile", cert, "-in", tampered)
        self.assertNotEqual(code, 0, "a catalog signed with another certificate's key verifies")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--drivercat", required=True)
    parser.add_argument("--sys", required=True)
    ARGS, rest = parser.parse_known_args()
    if not os.path.isfile(ARGS.sys):
        sys.exit(f"missing {ARGS.sys}: build the win64 preset first")
    packtools.DRIVERCAT = ARGS.drivercat
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
