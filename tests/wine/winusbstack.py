"""The WinUSB route under Wine: the receiver's interface 0 on the virtual USB bus, bound to the stand-in WinUSB
(tools/winusb-standin) by the product's INF-only package, and above them the shipped XBMC.dll.

Wine has no WinUSB of its own (its winusb.dll has stubs only, there is no winusb.sys) and no composite-device
driver, so the rig brings both parts: the stand-in WinUSB in the prefix, and the bus presenting interface 0
as Windows' composite driver does (USB\\VID_045E&PID_0284&MI_00), for which the package's INF matches.

    install_winusb_standin(session, win64_dir)
        Puts the stand-in WinUSB into the session's prefix: winusb.inf among the system's INF files (what a
        WinUSB package includes), winusb.sys in system32\\drivers (the WinUSB service's binary), winusb.dll in
        system32, loaded instead of Wine's own by a DllOverrides entry ("winusb"="native"). Running it again
        is harmless.

    WinUsbStack(win64_dir, work, display=True, package=True)
        A context manager, like realstack.RealStack: a Wine session (.session) on a prefix of its own under
        `work` (made once, made again when the bus, the stand-in or the package changed), with the virtual
        bus installed and running, the stand-in WinUSB installed, and with package=True the product's WinUSB
        package (build/win64/packaging/winusb/package: qelmusb.inf, its unsigned catalog) put among the
        system's INF files, so that plugging the receiver installs it. With package=False the caller installs
        the package itself (the setup's end-to-end test does), before or after plugging.
        .bus is realstack.Bus (vusbctl feed); .plug() attaches the receiver as interface 0, .unplug() detaches
        it; .wait_reading() waits until a program reads it through WinUSB (two reads pending at the bus).

Used by tests/wine/winusb (the WinUSB route's cases) and the setup's end-to-end test, e.g.

    with WinUsbStack(t.win64_dir, t.args.work, package=False) as stack:
        ... run the setup in stack.session ...
        stack.plug()
        stack.wait_reading()
        stack.bus.packet("00 00 a7 00 41 00")
"""

import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "realstack"))

from realstack import RealStack  # noqa: E402

# Where the stand-in's parts go in a prefix, from the win64 build folder.
STANDIN_FILES = {
    "tools/winusb-standin/winusb.inf": "drive_c/windows/inf/winusb.inf",
    "tools/winusb-standin/kernel/winusb.sys": "drive_c/windows/system32/drivers/winusb.sys",
    "tools/winusb-standin/winusb.dll": "drive_c/windows/system32/winusb.dll",
}
PACKAGE = "packaging/winusb/package"
BUS = ("tools/virtual-usb-bus/kernel/qelmvusb.sys", "tools/virtual-usb-bus/kernel/qelmvusb.inf")


def _need(path):
    if not os.path.exists(path):
        raise SystemExit(f"missing {path}: build the win64 preset first")
    return path


def install_winusb_standin(session, win64_dir):
    """The stand-in WinUSB into the session's prefix (see the module's description)."""
    for source, target in STANDIN_FILES.items():
        destination = os.path.join(session.prefix, target)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copy(_need(os.path.join(win64_dir, source)), destination)
    r = session.run(["reg", "add", "HKCU\\Software\\Wine\\DllOverrides", "/v", "winusb", "/d", "native", "/f"],
                    timeout=120)
    if r.returncode != 0:
        raise AssertionError(f"the DLL override for the stand-in winusb.dll was refused: {r.stdout} {r.stderr}")


class WinUsbStack(RealStack):
    """The WinUSB route's rig (see the module's description)."""

    def __init__(self, win64_dir, work, display=True, package=True):
        super().__init__(win64_dir, work, display=display)
        self.package = package

    def _installed_files(self):
        files = [os.path.join(self.win64_dir, rel) for rel in BUS + tuple(STANDIN_FILES)]
        files.append(self.vusbctl)
        if self.package:
            files += [os.path.join(self.win64_dir, PACKAGE, name) for name in ("qelmusb.inf", "qelmusb.cat")]
        return [_need(path) for path in files]

    def _drivers(self):
        # The prefix with the package differs from the one without: the digest says which it is.
        return super()._drivers() + ("-package" if self.package else "-no-package")

    def _install_drivers(self):
        w = self.session
        stage = os.path.join(self.work, "stage-winusb")
        if os.path.exists(stage):
            shutil.rmtree(stage)
        bus = os.path.join(stage, "bus")
        os.makedirs(bus)
        for rel in BUS:
            shutil.copy(os.path.join(self.win64_dir, rel), bus)
        r = w.run([self.vusbctl, "install-bus", w.windows_path(bus)], timeout=180)
        if "installed" not in r.stdout:
            raise AssertionError(f"installing the bus failed: {r.stdout} {r.stderr[-500:]}")
        install_winusb_standin(w, self.win64_dir)
        if self.package:
            package = os.path.join(stage, "qelmusb")
            shutil.copytree(os.path.join(self.win64_dir, PACKAGE), package)
            r = w.run([self.vusbctl, "add-inf", w.windows_path(os.path.join(package, "qelmusb.inf"))], timeout=120)
            if not r.stdout.startswith("added "):
                raise AssertionError(f"staging the WinUSB package failed: {r.stdout} {r.stderr[-500:]}")

    def plug(self):
        """Attaches the receiver as its interface 0 alone, and waits until a driver configured it."""
        self.bus.command("plug interface0")
        return self.bus.wait("configured", 1)

    def unplug(self):
        """Detaches the receiver and waits until its device was removed."""
        removals = self.bus.state()["removals"]
        self.bus.unplug()
        return self.bus.wait("removals", removals + 1)

    def wait_reading(self, timeout_ms=30000):
        """Waits until a program reads the receiver through WinUSB: two reads pending at the bus."""
        return self.bus.wait("pending", 2, timeout_ms)
