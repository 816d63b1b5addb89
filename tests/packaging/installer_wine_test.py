#!/usr/bin/env python3
"""qelmdrv.exe (the WinUSB package's install program) under Wine, and what it leaves, checked from the build
machine: the catalog it writes parses back with the INF's SHA-1 as its member and passes `osslsigncode verify`
with the certificate taken from the Root store; a changed INF no longer matches; Wine's own catalog reader
(cryptprobe.exe: CryptCATOpen, CryptCATEnumerateMember) reads it and the build's catalogs as ours does; the
certificate is in both stores and no key container is left; a second install replaces the first; removal
and a failed install leave nothing. The receiver is not plugged in here (the package is staged); the setup
with the receiver on the virtual bus is in setup_receiver_wine_test.py.

Usage (tests/wine/winetest.py): installer_wine_test.py --inf qelmusb.inf --drivercat PROGRAM
                                 [--dist DIR] --win64-dir DIR --build DIR --work DIR CASE...
"""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../wine"))

import packtools  # noqa: E402
import winepack  # noqa: E402
from packtools import OID_SHA1, catalog_minimum_problems, drivercat, osslsigncode, read_catalog, sha1_hex  # noqa: E402
from qelmwine import WineSession  # noqa: E402
from winetest import case, check, run  # noqa: E402

STAGED = 259
CODE_PACKAGE_FILES = 4
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"


class InstallerRig:
    """A Wine prefix of these tests' own that reports Windows 10 (Wine 8 reports Windows 7 by default, for
    which qelmdrv refuses the package), with qelmdrv.exe and cryptprobe.exe of the win64 build."""

    def __init__(self, t):
        self.qelmdrv_exe = os.path.join(t.win64_dir, "packaging/installer/qelmdrv.exe")
        self.cryptprobe_exe = os.path.join(t.win64_dir, "tests/winbin/cryptprobe/cryptprobe.exe")
        for path in (self.qelmdrv_exe, self.cryptprobe_exe):
            if not os.path.exists(path):
                raise SystemExit(f"missing {path}: build the win64 preset first")
        self.session = WineSession(t.args.work, display=False)

    def __enter__(self):
        self.session.__enter__()
        self.session.run(["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win10", "/f"])
        self.reset()
        return self

    def __exit__(self, *exc):
        self.session.close()
        return False

    def reset(self):
        """No WinUSB package, certificate or key from an earlier case."""
        self.qelmdrv("remove-winusb")
        check(winepack.record(self.session) is None, "the prefix holds no WinUSB package before the case")

    def qelmdrv(self, *args):
        """Runs qelmdrv.exe; (exit code, output). Only the exit code's low byte reaches a Linux parent."""
        r = self.session.run([self.qelmdrv_exe] + list(args), timeout=180)
        print(r.stdout.rstrip())
        return r.returncode, r.stdout

    def probe(self, *args):
        r = self.session.run([self.cryptprobe_exe] + list(args), timeout=120)
        check(r.returncode == 0, f"cryptprobe {' '.join(args)} ran: {r.stdout.strip()[-300:]}")
        return r.stdout.splitlines()

    def package(self, t, name="package"):
        """A package folder with the WinUSB INF alone (the catalog is qelmdrv's to write)."""
        folder = os.path.join(t.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        shutil.copy(t.args.inf, os.path.join(folder, "qelmusb.inf"))
        return folder

    def install(self, folder):
        code, out = self.qelmdrv("install-winusb", self.session.windows_path(folder))
        check(code == STAGED & 0xFF, f"qelmdrv staged the package (exit code {code}, 259 seen as {STAGED & 0xFF})")
        check("Windows uses the driver when it is" in out, "and says that Windows uses it at the next plug-in")
        rec = winepack.record(self.session)
        check(rec is not None and len(rec.get("CertificateThumbprint", "")) == 40 and rec.get("PublishedInf"),
              f"the thumbprint and the published INF are recorded: {rec}")
        return rec

    def key_gone(self):
        lines = self.probe("key", winepack.SIGNING_KEY_CONTAINER)
        containers = winepack.reg_subkeys(self.session, winepack.WINE_MACHINE_KEYS)
        return lines == ["key none 0x80090016"] and winepack.SIGNING_KEY_CONTAINER not in containers

    def wine_reads(self, catalog):
        """Members of a catalog as Wine's catalog reader gives them: {tag: (sip, algorithm, digest)}."""
        members = {}
        for line in self.probe("catalog", self.session.windows_path(catalog)):
            if line.startswith("member "):
                tag, *fields = line.split(" ")[1:]
                f = dict(x.split("=", 1) for x in fields)
                members[tag] = (f["sip"], f["algorithm"], f["digest"])
        return members


def rig(t):
    for option in ("inf", "drivercat"):
        if not getattr(t.args, option):
            raise SystemExit(f"--{option} is required")
    packtools.DRIVERCAT = t.args.drivercat
    return InstallerRig(t)


def ours_as_wine_gives_it(catalog):
    """Our reader's members in the form of wine_reads."""
    sip = {"flat": SIP_FLAT, "pe": SIP_PE}
    return {m["tag"]: (sip[m["kind"]], m["algorithm"], m["digest"]) for m in read_catalog(catalog)["members"]}


def certificate_text(pem):
    return subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-text", "-dates"], capture_output=True,
                          text=True, check=True).stdout


@case(session=rig, labels="wine,packaging", timeout=600, lock="wineprefix-installer")
def staged_package_and_its_catalog(t):
    r = t.w
    folder = r.package(t)
    rec = r.install(folder)
    thumbprint = rec["CertificateThumbprint"]
    inf, cat = os.path.join(folder, "qelmusb.inf"), os.path.join(folder, "qelmusb.cat")

    # What Windows would trust: the certificate in both stores, no key to sign anything else with.
    check(winepack.stores_holding(r.session, thumbprint) == ["Root", "TrustedPublisher"],
          "the certificate is in LocalMachine Root and TrustedPublisher (registry)")
    check(r.probe("stores", thumbprint) == ["store Root", "store TrustedPublisher"],
          "and the platform's store functions find it in both")
    check(r.key_gone(), "the signing key's container cannot be opened any more, nor is it in Wine's key registry")
    check(winepack.published_infs(r.session, open(inf, "rb").read()) == [rec["PublishedInf"]],
          f"the INF is published once, as recorded ({rec['PublishedInf']})")

    # The certificate itself, as the store keeps it.
    pem = winepack.der_to_pem(winepack.exported_certificate(r.session, thumbprint), os.path.join(t.work, "root.pem"))
    text = certificate_text(pem)
    check("Code Signing" in text and "TLS Web" not in text and "Any Extended Key Usage" not in text,
          "its extended key usage is code signing only")
    check("Xbox DVD remote receiver" in text and "Tavrelmond" in text, "its subject names the receiver and Tavrelmond")
    check("Public-Key: (2048 bit)" in text and "sha256WithRSAEncryption" in text, "RSA 2048, signed with SHA-256")
    before = subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-checkend", str(4 * 365 * 86400)])
    after = subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-checkend", str(6 * 365 * 86400)])
    check(before.returncode == 0 and after.returncode == 1, "it is valid for about five years")

    # The catalog: our reader, osslsigncode, the stated minimum, a changed INF, and Wine's own reader.
    catalog = read_catalog(cat)
    check([(m["file"], m["digest"], m["algorithm"]) for m in catalog["members"]] == [("qelmusb.inf", sha1_hex(inf), OID_SHA1)],
          "the catalog parses back with the INF's SHA-1 as its one member")
    check(catalog["attributes"].get("HWID1") == "usb\\vid_045e&pid_0284&mi_00", "its HWID1 is the receiver's interface 0")
    problems = catalog_minimum_problems(catalog, "qelmusb", "x64")
    check(problems == [], f"its OS attributes and digests match the package's minimum, Windows 8: {problems}")
    code, out = osslsigncode("verify", "-CAfile", pem, "-in", cat)
    check(code == 0 and "Signature verification: ok" in out, "osslsigncode verify passes with the exported certificate")
    check(drivercat("check", cat, "--flat", inf).returncode == 0, "the INF matches its catalog")
    changed = os.path.join(t.work, "changed", "qelmusb.inf")
    os.makedirs(os.path.dirname(changed), exist_ok=True)
    with open(inf, "rb") as f, open(changed, "wb") as g:
        g.write(f.read() + b"; changed\r\n")
    check(drivercat("check", cat, "--flat", changed).returncode == 1, "a changed INF no longer matches the catalog")
    wine = r.wine_reads(cat)
    check(wine == ours_as_wine_gives_it(cat) and len(wine) == 1,
          f"Wine's catalog reader (CryptCATOpen, CryptCATEnumerateMember) reads the same member: {wine}")


@case(session=rig, labels="wine,packaging", timeout=600, lock="wineprefix-installer")
def second_install_replaces_the_first(t):
    r = t.w
    folder = r.package(t)
    first = r.install(folder)
    first_pem = winepack.der_to_pem(winepack.exported_certificate(r.session, first["CertificateThumbprint"]),
                                    os.path.join(t.work, "first.pem"))
    second = r.install(folder)
    check(second["CertificateThumbprint"] != first["CertificateThumbprint"], "the second install made a new certificate")
    check(winepack.stores_holding(r.session, first["CertificateThumbprint"]) == [],
          "the first certificate is in neither store")
    check(winepack.stores_holding(r.session, second["CertificateThumbprint"]) == ["Root", "TrustedPublisher"],
          "the second is in both")
    with open(os.path.join(folder, "qelmusb.inf"), "rb") as f:
        published = winepack.published_infs(r.session, f.read())
    check(published == [second["PublishedInf"]], f"one published INF, the recorded one: {published}")
    check(r.key_gone(), "no key container is left")
    code, _ = osslsigncode("verify", "-CAfile", first_pem, "-in", os.path.join(folder, "qelmusb.cat"))
    check(code != 0, "the new catalog does not verify with the first certificate")


@case(session=rig, labels="wine,packaging", timeout=600, lock="wineprefix-installer")
def remove_leaves_nothing(t):
    r = t.w
    folder = r.package(t)
    rec = r.install(folder)
    code, out = r.qelmdrv("remove-winusb")
    check(code == 0, f"remove-winusb ended with 0 (exit code {code})")
    check(winepack.record(r.session) is None, "the record is gone")
    check(winepack.reg_values(r.session, r"HKLM\Software\Tavrelmond") is None, "and the program's empty key with it")
    check(winepack.stores_holding(r.session, rec["CertificateThumbprint"]) == [], "the certificate is in neither store")
    check(r.probe("stores", rec["CertificateThumbprint"]) == [], "the platform's store functions agree")
    check(not os.path.exists(os.path.join(winepack.inf_folder(r.session), rec["PublishedInf"])),
          "the published INF is gone")
    check(r.key_gone(), "no key container is left")
    code, out = r.qelmdrv("remove-winusb")
    check(code == 0 and "No WinUSB package is installed." in out, "a second removal finds nothing to do")


@case(session=rig, labels="wine,packaging", timeout=600, lock="wineprefix-installer")
def failed_install_leaves_nothing(t):
    r = t.w
    folder = r.package(t)
    # The catalog cannot be written: a folder stands where it goes.
    os.makedirs(os.path.join(folder, "qelmusb.cat"))
    code, out = r.qelmdrv("install-winusb", r.session.windows_path(folder))
    check(code == CODE_PACKAGE_FILES and "Cannot write the catalog" in out,
          f"qelmdrv fails with 4 and says why (exit code {code})")
    check(winepack.record(r.session) is None, "nothing is recorded")
    with open(os.path.join(folder, "qelmusb.inf"), "rb") as f:
        check(winepack.published_infs(r.session, f.read()) == [], "no INF is published")
    roots = winepack.reg_subkeys(r.session, winepack.STORE_KEY.format("TrustedPublisher"))
    check(roots == [], f"TrustedPublisher holds no certificate: {roots}")
    check(r.key_gone(), "no key container is left")
    empty = r.package(t, "empty")
    os.remove(os.path.join(empty, "qelmusb.inf"))
    code, out = r.qelmdrv("install-winusb", r.session.windows_path(empty))
    check(code == CODE_PACKAGE_FILES and "Cannot read the package's INF" in out, f"a folder without the INF: {code}")


@case(session=rig, labels="wine,packaging", timeout=600, lock="wineprefix-installer")
def wine_reads_the_build_catalogs(t):
    r = t.w
    # The build's unsigned catalog, the same package signed as the release signs it, and dist/'s when made.
    build_package = os.path.join(t.win64_dir, "driver/kernel/package")
    signed = os.path.join(t.work, "signed")
    shutil.rmtree(signed, ignore_errors=True)
    shutil.copytree(build_package, signed)
    s = subprocess.run([os.path.join(packtools.ROOT, "scripts/sign-driver.sh"), "--arch", "x64", "--cert-dir",
                        os.path.join(t.work, "cert"), "--drivercat", t.args.drivercat, signed],
                       capture_output=True, text=True)
    check(s.returncode == 0, f"sign-driver.sh signed a copy of the build's package: {s.stderr[-300:]}")
    catalogs = [os.path.join(build_package, "qelmrc.cat"), os.path.join(signed, "qelmrc.cat")]
    winusb = os.path.join(t.win64_dir, "packaging/winusb/package/qelmusb.cat")
    if t.args.dist and os.path.isdir(t.args.dist):
        catalogs += [os.path.join(t.args.dist, f"qelmrc-{arch}", "qelmrc.cat") for arch in ("x64", "x86")]
    for cat in catalogs:
        check(os.path.exists(cat), f"{cat} is there")
        wine = r.wine_reads(cat)
        ours = ours_as_wine_gives_it(cat)
        check(wine == ours and len(ours) == 2, f"Wine's catalog reader reads {cat} as ours does: {wine}")
    wine = r.wine_reads(winusb)
    check(wine == ours_as_wine_gives_it(winusb) and len(wine) == 1,
          f"and the build's unsigned WinUSB catalog: {wine}")


def options(ap):
    ap.add_argument("--inf", help="the WinUSB package's INF (configured)")
    ap.add_argument("--drivercat", help="the catalog tool")
    ap.add_argument("--dist", help="dist/ of the release preset (its signed catalogs are read too)")


if __name__ == "__main__":
    run(options)
