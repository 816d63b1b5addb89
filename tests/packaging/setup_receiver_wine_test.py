#!/usr/bin/env python3
"""The setup's WinUSB route end to end under Wine, with the receiver on the virtual USB bus (its interface 0,
as Windows' composite driver presents it) and the stand-in WinUSB (tests/wine/winusbstack.py):

  plugged_in   the receiver is plugged in: the silent setup with /DRIVER=winusb signs the package on the
               PC and installs it for the receiver (Wine's setupapi makes WinUSB interface 0's function driver,
               with our device interface GUID); the certificate is in both stores and no key is left. Windows
               restarts a device whose driver was installed; Wine starts a driver only for a device that
               arrives, so the case plugs the receiver in again, and then the stand-in WinUSB runs for it and
               the installed Tavrelmond receives keys through it. The uninstaller then leaves no package,
               certificate, key or record
  plugged_later  nothing plugged in: the setup stages the package and says so; plugged in afterwards, Windows
               (Wine) takes the staged package for the receiver and keys arrive

Each case makes its prefix afresh: a receiver that had a driver once keeps it in the device database, which
would hide whether the setup installed one.

Usage (tests/wine/winetest.py): setup_receiver_wine_test.py --dist DIR --version X.Y.Z --win64-dir DIR
                                 --build DIR --work DIR CASE...
"""

import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../wine"))
sys.path.insert(0, os.path.join(HERE, "../wine/realstack"))

import winepack  # noqa: E402
from qelmwine import within  # noqa: E402
from realstack_wine_test import BUTTONS, RECEIVER, press_for_key  # noqa: E402
from tavrel import Installed, MediaCenterLog, Win64Build, start_mediacenter  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402
from winusbstack import WinUsbStack  # noqa: E402

GUID = "{A44DE763-3637-412B-9680-F59B54DF8F68}"
DEVICE_KEY = "HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_045E&PID_0284&MI_00"
INSTALLED = "The WinUSB driver is installed for the receiver."
STAGED = "The WinUSB driver is staged: Windows uses it when the receiver is plugged in."
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrelmond"


class SetupInstalled(Installed):
    """Tavrelmond as the setup installed it (in Program Files), with a Config.ini of the test's."""

    def __init__(self, session, build, folder, config):  # noqa: super().__init__ would copy the build's files
        self.w, self.build, self.folder = session, build, folder
        with open(os.path.join(folder, "Config.ini"), "w", newline="\r\n") as f:
            f.write("[Tavrelmond Config]\n" + config)
        self.proc = self.pid = self.hwnd = None


class ReceiverRig:
    """A fresh WinUSB stack without the product's package, Windows 10 reported, and the setup of dist/."""

    def __init__(self, t):
        if not t.args.dist or not t.args.version:
            raise SystemExit("--dist and --version are required")
        self.setup = os.path.join(t.args.dist, f"TavrelmondSetup-{t.args.version}-x64.exe")
        if not os.path.exists(self.setup):
            raise SystemExit(f"missing {self.setup}: run cmake --workflow --preset release first")
        self.stack = WinUsbStack(t.win64_dir, t.work, package=False)
        shutil.rmtree(self.stack.session.prefix, ignore_errors=True)
        self.install_dir = os.path.join(self.stack.session.prefix, "drive_c", "Program Files", "Tavrelmond")

    def __enter__(self):
        self.stack.__enter__()
        self.session = self.stack.session
        self.bus = self.stack.bus
        self.session.env["WINEDLLOVERRIDES"] += ";winemenubuilder.exe=d"
        self.session.run(["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win10", "/f"])
        return self

    def __exit__(self, *exc):
        return self.stack.__exit__(*exc)

    def run_setup(self, *options):
        r = self.session.run([self.setup, "/S"] + list(options), timeout=300)
        check(r.returncode == 0, f"the silent setup {' '.join(options)} ran to its end (exit code {r.returncode})")
        with open(os.path.join(self.install_dir, "driver.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def device_driver(self):
        return self.session.run(["reg", "query", DEVICE_KEY, "/s"], timeout=60).stdout

    def package_in_use(self):
        """The WinUSB package's marks on interface 0: WinUSB its service, our GUID its device interface."""
        query = self.device_driver()
        return (re.search(r"\bService\s+REG_SZ\s+WinUSB\b", query) is not None and
                re.search(r"DeviceInterfaceGUIDs\s+REG_MULTI_SZ\s+" + re.escape(GUID), query, re.I) is not None)

    def trusted_and_keyless(self):
        rec = winepack.record(self.session)
        check(rec is not None and rec.get("PublishedInf"), f"qelmdrv recorded the package: {rec}")
        check(winepack.stores_holding(self.session, rec["CertificateThumbprint"]) == ["Root", "TrustedPublisher"],
              "the certificate is in Root and TrustedPublisher")
        check(winepack.SIGNING_KEY_CONTAINER not in winepack.reg_subkeys(self.session, winepack.WINE_MACHINE_KEYS),
              "no signing key container is left")
        return rec

    def keys_arrive(self, t, name):
        """The installed Tavrelmond in window-key mode reads the receiver through WinUSB: buttons give keys."""
        build = Win64Build(t.win64_dir)
        log = MediaCenterLog(os.path.join(t.work, f"mediacenter-{name}.log"))
        mc = start_mediacenter(self.session, build, log)
        app = SetupInstalled(self.session, build, self.install_dir,
                             f"APIControlXBMCOPENGL=true\nVendorID={RECEIVER[0]}\nProductID={RECEIVER[1]}\n"
                             f"IP Address=127.0.0.1\nport=8080\nAUtorun=\n")
        app.start()
        self.stack.wait_reading()
        for code, vk in BUTTONS[:3]:
            press_for_key(self.bus, log, code, vk, release=False)
        print("the installed Tavrelmond received each button's key through the WinUSB package")
        app.exit_from_menu()
        stop(mc, grace=0)

    def uninstall_leaves_nothing(self, rec):
        r = self.session.run([os.path.join(self.install_dir, "uninstall.exe"), "/S"], timeout=120)
        check(r.returncode == 0, f"the silent uninstaller started (exit code {r.returncode})")
        # It runs on from a copy of itself; the Apps entry goes last.
        check(within(lambda: winepack.reg_values(self.session, UNINSTALL_KEY) is None, timeout=120),
              "the uninstaller ran to its end")
        check(winepack.record(self.session) is None, "uninstalled: no package is recorded")
        check(winepack.stores_holding(self.session, rec["CertificateThumbprint"]) == [],
              "the certificate is in neither store")
        check(not os.path.exists(os.path.join(winepack.inf_folder(self.session), rec["PublishedInf"])),
              "the published INF is gone")
        check(winepack.SIGNING_KEY_CONTAINER not in winepack.reg_subkeys(self.session, winepack.WINE_MACHINE_KEYS),
              "no signing key container")


def rig(t):
    return ReceiverRig(t)


@case(session=rig, labels="wine,packaging", timeout=900, lock="wineprefix-setup-receiver")
def plugged_in(t):
    r = t.w
    # Interface 0 appears with no driver for it: the package is not there yet.
    r.bus.command("plug interface0")
    check(not r.package_in_use(), "before the setup, no driver serves interface 0")
    log = r.run_setup("/DRIVER=winusb")
    check(INSTALLED in log, "the setup says the WinUSB driver is installed for the receiver")
    check(r.package_in_use(), "WinUSB is interface 0's function driver, with our device interface GUID")
    rec = r.trusted_and_keyless()
    # Wine starts the new driver when the device arrives again (Windows restarts it in place).
    r.bus.command("unplug")
    s = r.stack.plug()
    check(s["selects"] >= 1, f"the stand-in WinUSB runs for the receiver and configured it: {s}")
    r.keys_arrive(t, "plugged-in")
    r.uninstall_leaves_nothing(rec)


@case(session=rig, labels="wine,packaging", timeout=900, lock="wineprefix-setup-receiver")
def plugged_later(t):
    r = t.w
    log = r.run_setup("/DRIVER=winusb")
    check(STAGED in log, "with no receiver plugged in, the setup says the driver is staged for the next plug-in")
    rec = r.trusted_and_keyless()
    check(not r.package_in_use(), "no device took it yet")
    r.stack.plug()
    check(r.package_in_use(), "plugged in, the staged package is installed for interface 0")
    r.keys_arrive(t, "plugged-later")
    r.uninstall_leaves_nothing(rec)


def options(ap):
    ap.add_argument("--dist", help="the dist/ folder written by the release preset")
    ap.add_argument("--version", help="the release's version, as in the setup's name")


if __name__ == "__main__":
    run(options)
