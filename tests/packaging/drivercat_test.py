#!/usr/bin/env python3
"""The catalog generator (packaging/drivercat.py): its DER against openssl's, catalogs read back, and a
reader that refuses what is not such a catalog without crashing.

Usage: drivercat_test.py --sys qelmrc.sys (any PE image: its Authenticode data is taken with osslsigncode)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from packtools import authenticode_sha1, drivercat, osslsigncode, sha1_hex

ARGS = None


def openssl_der(genstr):
    """The DER openssl writes for an ASN1_generate_nconf string, e.g. 'OID:1.2.3' or 'INTEGER:512'."""
    return subprocess.run(["openssl", "asn1parse", "-genstr", genstr, "-noout", "-out", "/dev/stdout"],
                          capture_output=True, check=True).stdout


class Encoding(unittest.TestCase):
    def test_primitives_match_openssl(self):
        cases = [
            (drivercat.oid(drivercat.OID_SPC_INDIRECT_DATA), "OID:1.3.6.1.4.1.311.2.1.4"),
            (drivercat.oid(drivercat.OID_SHA256), "OID:2.16.840.1.101.3.4.2.1"),
            (drivercat.oid(drivercat.OID_CATALOG_LIST_MEMBER), "OID:1.3.6.1.4.1.311.12.1.2"),
            (drivercat.integer(0), "INTEGER:0"),
            (drivercat.integer(127), "INTEGER:127"),
            (drivercat.integer(128), "INTEGER:128"),
            (drivercat.integer(512), "INTEGER:512"),
            (drivercat.integer(drivercat.ATTR_FLAGS), "INTEGER:0x10010001"),
            (drivercat.octets(b"\x01" * 200), "FORMAT:HEX,OCTETSTRING:" + "01" * 200),
            (drivercat.octets(b"\x02" * 300), "FORMAT:HEX,OCTETSTRING:" + "02" * 300),
            (drivercat.bmp("File"), "BMPSTRING:File"),
        ]
        for ours, genstr in cases:
            with self.subTest(genstr=genstr[:40]):
                self.assertEqual(ours, openssl_der(genstr))

    def test_lengths(self):
        for n, expected in [(0, b"\x00"), (0x7F, b"\x7f"), (0x80, b"\x81\x80"), (0xFF, b"\x81\xff"),
                            (0x100, b"\x82\x01\x00"), (0x10000, b"\x83\x01\x00\x00")]:
            with self.subTest(n=n):
                self.assertEqual(drivercat.der_length(n), expected)
                node, end = drivercat.parse_one(b"\x04" + expected + b"\0" * n)
                self.assertEqual((len(node.content), end), (n, 1 + len(expected) + n))

    def test_set_of_is_sorted(self):
        self.assertEqual(drivercat.set_of(b"\x02\x01\x05", b"\x02\x01\x01"), b"\x31\x06\x02\x01\x01\x02\x01\x05")


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
        cls.make(cls.cat)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    @classmethod
    def make(cls, out, *extra, epoch="1765180800"):
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
        return subprocess.run([sys.executable, drivercat.__file__, "make", "--out", out, "--os", "_v100_X64",
                               "--hwid", "usb\\vid_045e&pid_0284", "--pe", "qelmrc.sys=" + cls.data,
                               "--flat", cls.inf] + list(extra), env=env, capture_output=True, text=True)

    def read(self, path=None):
        with open(path or self.cat, "rb") as f:
            return f.read()

    def test_members_and_attributes_read_back(self):
        catalog = drivercat.read_catalog(self.read())
        members = {m["file"]: m for m in catalog["members"]}
        self.assertEqual(sorted(members), ["qelmrc.inf", "qelmrc.sys"])
        self.assertEqual(members["qelmrc.sys"]["digest"], authenticode_sha1(self.sys, self.work))
        self.assertEqual(members["qelmrc.sys"]["kind"], "pe")
        self.assertEqual(members["qelmrc.sys"]["type"], drivercat.OID_SPC_PE_IMAGE_DATA)
        self.assertEqual(members["qelmrc.inf"]["digest"], sha1_hex(self.inf))
        self.assertEqual(members["qelmrc.inf"]["kind"], "flat")
        for m in members.values():
            self.assertEqual(m["algorithm"], drivercat.OID_SHA1)
            self.assertEqual(m["tag"], m["digest"])
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
        tool = [sys.executable, drivercat.__file__, "check", self.cat, "--flat"]
        self.assertEqual(subprocess.run(tool + [self.inf], capture_output=True).returncode, 0)
        changed = os.path.join(self.work, "changed", "qelmrc.inf")
        os.makedirs(os.path.dirname(changed), exist_ok=True)
        with open(changed, "w") as f:
            f.write(open(self.inf).read() + "; edited\n")
        r = subprocess.run(tool + [changed], capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("not in the catalog", r.stdout)
        renamed = os.path.join(self.work, "changed", "other.inf")
        shutil.copy(self.inf, renamed)
        self.assertEqual(subprocess.run(tool + [renamed], capture_output=True).returncode, 1)

    def test_refuses_bad_inputs(self):
        sha256 = os.path.join(self.work, "data256.der")
        code, out = osslsigncode("extract-data", "-h", "sha256", "-in", self.sys, "-out", sha256)
        self.assertEqual(code, 0, out)
        cases = [
            ("a SHA-256 digest in a version 1 catalog", ["--pe", "other.sys=" + sha256]),
            ("the same file twice", ["--flat", self.inf]),
            ("extract-data output that is no PKCS#7", ["--pe", "x.sys=" + self.inf]),
        ]
        for what, extra in cases:
            with self.subTest(what=what):
                r = self.make(os.path.join(self.work, "bad.cat"), *extra)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertTrue(r.stderr.startswith("drivercat:"), r.stderr)

    def test_reader_rejects_a_wrapped_trust_list(self):
        # What `openssl cms -sign` writes: the trust list inside an OCTET STRING.
        top, _ = drivercat.parse_one(self.read())
        signed = top.children()[1].children()[0].children()
        ctl = signed[2].children()[1].children()[0]
        wrapped_info = drivercat.seq(drivercat.oid(drivercat.OID_CTL),
                                     drivercat.context(0, drivercat.octets(ctl.raw)))
        rebuilt = drivercat.seq(drivercat.oid(drivercat.OID_SIGNED_DATA), drivercat.context(0, drivercat.seq(
            signed[0].raw, signed[1].raw, wrapped_info, signed[3].raw)))
        with self.assertRaisesRegex(drivercat.CatalogError, "OCTET STRING"):
            drivercat.read_catalog(rebuilt)

    def test_reader_survives_every_truncation_and_corruption(self):
        data = self.read()
        broken = [data[:n] for n in range(0, len(data), 7)]
        broken += [data[:n] + bytes([data[n] ^ 0xFF]) + data[n + 1:] for n in range(0, len(data), 11)]
        broken.append(data + b"\0")
        for blob in broken:
            try:
                drivercat.read_catalog(blob)
            except (drivercat.CatalogError, IndexError, UnicodeDecodeError, StopIteration, ValueError):
                pass
        # The intact catalog still reads: the loop above is not passing because everything fails.
        self.assertEqual(len(drivercat.read_catalog(data)["members"]), 2)
        with self.assertRaises(drivercat.CatalogError):
            drivercat.read_catalog(data + b"\0")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--sys", required=True)
    ARGS, rest = parser.parse_known_args()
    if not os.path.isfile(ARGS.sys):
        sys.exit(f"missing {ARGS.sys}: build the win64 preset first")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
