"""Helpers shared by the packaging tests: PE headers, osslsigncode, the catalog tool (drivercat) and the stated
minimum Windows of each driver package."""

import hashlib
import os
import re
import subprocess

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))

MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
MACHINES = {"x64": MACHINE_AMD64, "x86": MACHINE_I386}

OID_SHA1 = "1.3.14.3.2.26"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
OID_PE_IMAGE = "1.3.6.1.4.1.311.2.1.15"
OID_FLAT = "1.3.6.1.4.1.311.2.1.25"

# The catalog tool (the C++ drivercat of packaging/catalog); each test's command line names it.
DRIVERCAT = None


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
    """The image's Authenticode SHA-1 digest, as osslsigncode computes it (extract-data), read with openssl:
    the last 20-byte OCTET STRING of what extract-data writes is the digest."""
    out = os.path.join(work, "extract-%s.der" % hashlib.sha1(path.encode()).hexdigest()[:8])
    if os.path.exists(out):
        os.remove(out)
    code, text = osslsigncode("extract-data", "-h", "sha1", "-in", path, "-out", out)
    if code != 0:
        raise AssertionError("extract-data failed: " + text)
    dump = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", out], capture_output=True,
                          text=True, check=True).stdout
    digests = re.findall(r"l=\s*20 prim: OCTET STRING\s+\[HEX DUMP\]:([0-9A-F]{40})", dump)
    if not digests:
        raise AssertionError("no SHA-1 digest in extract-data's output")
    return digests[-1]


def drivercat(*args):
    """Runs the catalog tool; the finished process (text output)."""
    if DRIVERCAT is None:
        raise AssertionError("the test was not given --drivercat")
    return subprocess.run([DRIVERCAT] + list(args), capture_output=True, text=True)


def read_catalog(path):
    """{'members': [{tag, file, kind, type, algorithm}], 'attributes': {name: value}, 'signers': n,
    'signer_digests': [oid], 'certificates': [common name]}, as `drivercat list` reads it."""
    r = drivercat("list", path)
    if r.returncode != 0:
        raise AssertionError(f"drivercat list {path}: {r.stderr.strip()}")
    catalog = {"members": [], "attributes": {}, "signers": None, "signer_digests": [], "certificates": []}
    for line in r.stdout.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "member":
            tag, *fields = rest.split(" ")
            member = {"tag": tag, "digest": tag}
            member.update(f.split("=", 1) for f in fields)
            catalog["members"].append(member)
        elif kind == "attribute":
            name, _, value = rest.partition("=")
            catalog["attributes"][name] = value
        elif kind == "signer":
            catalog["signer_digests"].append(dict(f.split("=", 1) for f in rest.split(" "))["digest"])
        elif kind == "certificate":
            catalog["certificates"].append(rest)
        elif kind == "signers":
            catalog["signers"] = int(rest)
    return catalog


def members_by_file(catalog):
    return {m["file"]: m for m in catalog["members"]}


def pem_from_cer(cer, work):
    pem = os.path.join(work, os.path.basename(cer) + ".pem")
    subprocess.run(["openssl", "x509", "-inform", "DER", "-in", cer, "-out", pem], check=True)
    return pem


# -- the stated minimum Windows of each driver package (README, docs/INSTALL.md) -------------------------
# qelmrc: Windows 7 SP1, x86 and x64 (SHA-256 signatures need the SHA-2 code-signing update on Windows 7).
# qelmusb (the WinUSB package): Windows 8, x86 and x64 (KMDF 1.11).
MINIMUM = {"qelmrc": (6, 1), "qelmusb": (6, 2)}
# Each Windows a catalog may name, oldest first: its NT version (OSAttr 2:major.minor) and its OS attribute
# names for x86 and x64.
WINDOWS = [((6, 1), "7X86", "7X64"), ((6, 2), "8X86", "8X64"), ((6, 3), "_v63", "_v63_X64"),
           ((10, 0), "_v100", "_v100_X64")]
# Signature digests every Windows from 7 on checks (SHA-256 on 7 with its SHA-2 update, as stated).
SIGNATURE_DIGESTS = {OID_SHA256, OID_SHA1}


def catalog_minimum_problems(catalog, package, arch):
    """What in a catalog (read_catalog) does not match its package's stated minimum Windows: the OS and
    OSAttr attributes must name that minimum and every later Windows, its members must be hashed with SHA-1
    (a version 1 catalog: Windows before 10 reads no other) and its signatures with a digest they check."""
    minimum = MINIMUM[package]
    served = [w for w in WINDOWS if w[0] >= minimum]
    names = ",".join(w[1] if arch == "x86" else w[2] for w in served)
    versions = ",".join("2:%d.%d" % w[0] for w in served)
    problems = []
    attributes = catalog["attributes"]
    if attributes.get("OS") != names:
        problems.append(f"OS is {attributes.get('OS')!r}, expected {names!r}")
    if attributes.get("OSAttr") != versions:
        problems.append(f"OSAttr is {attributes.get('OSAttr')!r}, expected {versions!r}")
    for m in catalog["members"]:
        if m.get("algorithm") != OID_SHA1:
            problems.append(f"member {m.get('file')} is hashed with {m.get('algorithm')}, not SHA-1")
    for digest in catalog["signer_digests"]:
        if digest not in SIGNATURE_DIGESTS:
            problems.append(f"a signature digest {digest} that Windows {minimum[0]}.{minimum[1]} does not check")
    return problems
