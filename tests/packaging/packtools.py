"""Helpers shared by the packaging tests: PE headers, osslsigncode and the catalog tool."""

import hashlib
import os
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
sys.path.insert(0, os.path.join(ROOT, "packaging"))

import drivercat  # noqa: E402

MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
MACHINES = {"x64": MACHINE_AMD64, "x86": MACHINE_I386}


def pe_machine(path):
    """The COFF machine field of a PE image, or None when the file is not one."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    offset = int.from_bytes(head[0x3C:0x40], "little")
    if offset + 6 > len(head) or head[offset:offset + 4] != b"PE\0\0":
        return None
    return int.from_bytes(head[offset + 4:offset + 6], "little")


def sha1_hex(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest().upper()


def osslsigncode(*args):
    """Runs osslsigncode; (exit status, output)."""
    r = subprocess.run(["osslsigncode"] + list(args), capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def authenticode_sha1(path, work):
    """The image's Authenticode SHA-1 digest, as osslsigncode computes it (extract-data)."""
    out = os.path.join(work, "extract-%s.der" % hashlib.sha1(path.encode()).hexdigest()[:8])
    if os.path.exists(out):
        os.remove(out)
    code, text = osslsigncode("extract-data", "-h", "sha1", "-in", path, "-out", out)
    if code != 0:
        raise AssertionError("extract-data failed: " + text)
    with open(out, "rb") as f:
        _, _, digest = drivercat.indirect_digest(drivercat.indirect_data_from_extract(f.read()))
    return digest.hex().upper()


def read_catalog(path):
    with open(path, "rb") as f:
        return drivercat.read_catalog(f.read())


def members_by_file(catalog):
    return {m["file"]: m for m in catalog["members"]}


def pem_from_cer(cer, work):
    pem = os.path.join(work, os.path.basename(cer) + ".pem")
    subprocess.run(["openssl", "x509", "-inform", "DER", "-in", cer, "-out", pem], check=True)
    return pem
