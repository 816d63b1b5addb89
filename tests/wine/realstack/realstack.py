"""The real driver stack under Wine: the virtual USB bus (qelmvusb.sys), qelmrc.sys installed from qelmrc.inf,
Wine's hidclass.sys and hid.dll, and above them the shipped XBMC.dll.

The bus installs drivers into its Wine prefix, so it has a prefix of its own (under the folder given as
`work`), never the shared one of the other Wine tests. Used by the Wine test and the demo.
"""

import hashlib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from qelmwine import WINE64, WineSession  # noqa: E402
from winetest import stop  # noqa: E402

# The receiver's packet for a button: six bytes, the button's code in the third.
def button_packet(code):
    return f"00 00 {code:02x} 00 41 00"


# Two neutral packets (no button): alternated, so that one never repeats the other.
NEUTRAL = ("01 00 00 00 00 00", "02 00 00 00 00 00")


class Stage:
    """The two driver packages as installed from: the bus's INF and driver, and the win64 build's qelmrc
    package (qelmrc.inf, qelmrc.sys and the catalog qelmrc.cat it names: Wine's setupapi refuses an INF whose
    catalog is missing, though it does not check the signature)."""

    def __init__(self, win64_dir, work):
        self.dir = os.path.join(work, "stage")
        self.bus = os.path.join(self.dir, "bus")
        self.qelmrc = os.path.join(self.dir, "qelmrc")
        kernel = os.path.join(win64_dir, "tools/virtual-usb-bus/kernel")
        package = os.path.join(win64_dir, "driver/kernel/package")
        sources = {
            os.path.join(kernel, "qelmvusb.sys"): [self.bus],
            os.path.join(kernel, "qelmvusb.inf"): [self.bus],
            os.path.join(package, "qelmrc.sys"): [self.qelmrc],
            os.path.join(package, "qelmrc.inf"): [self.qelmrc],
            os.path.join(package, "qelmrc.cat"): [self.qelmrc],
        }
        if os.path.exists(self.dir):
            shutil.rmtree(self.dir)
        for source, folders in sources.items():
            if not os.path.exists(source):
                raise SystemExit(f"missing {source}: build the win64 preset first")
            for folder in folders:
                os.makedirs(folder, exist_ok=True)
                shutil.copy(source, folder)


class Bus:
    """vusbctl.exe feed: plug, unplug, packets and the bus's state, one command a line."""

    def __init__(self, session, vusbctl):
        self.proc = subprocess.Popen([WINE64, vusbctl, "feed"], env=session.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
        session.procs.append(self.proc)
        first = self.proc.stdout.readline().strip()
        if first != "ready":
            raise RuntimeError(f"vusbctl feed did not start: {first!r}")
        self.neutral = 0

    def command(self, line, expect_ok=True):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().strip()
        if expect_ok and not reply.startswith("ok"):
            raise AssertionError(f"bus: {line!r} -> {reply!r}")
        return reply

    @staticmethod
    def fields(reply):
        return {k: int(v) for k, v in (f.split("=") for f in reply.split() if "=" in f)}

    def state(self):
        return self.fields(self.command("state"))

    def wait(self, name, value, timeout_ms=20000):
        return self.fields(self.command(f"wait {name}={value} {timeout_ms}"))

    def plug(self):
        self.command("plug")

    def unplug(self):
        self.command("unplug")

    def packet(self, text):
        self.command(f"packet {text}")

    def delivered(self, done_before):
        """Waits until the packet sent after `done_before` completed transfers was handed to the HID class
        driver: its transfer completed and the next read started the next transfer."""
        self.wait("done", done_before + 1)
        return self.wait("pending", 1)

    def press(self, code):
        done = self.state()["done"]
        self.packet(button_packet(code))
        return done

    def release(self):
        """A neutral packet, waited for until the HID class driver has read it."""
        done = self.state()["done"]
        self.neutral = 1 - self.neutral
        self.packet(NEUTRAL[self.neutral])
        self.delivered(done)

    def close(self):
        stop(self.proc, quit="quit")


class RealStack:
    """A Wine session on the real stack's own prefix, with the bus installed and running."""

    def __init__(self, win64_dir, work, display=True):
        self.win64_dir = os.path.abspath(win64_dir)
        self.work = os.path.abspath(work)
        self.vusbctl = os.path.join(self.win64_dir, "tools/virtual-usb-bus/vusbctl.exe")
        if not os.path.exists(self.vusbctl):
            raise SystemExit(f"missing {self.vusbctl}: build the win64 preset first")
        self.session = WineSession(self.work, display=display)
        self.bus = None

    def _installed_files(self):
        """What gets installed into the prefix: the bus and its INF, qelmrc and its INF, and the installer."""
        inf = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../driver/qelmrc.inf")
        return [os.path.join(self.win64_dir, rel) for rel in (
                "tools/virtual-usb-bus/kernel/qelmvusb.sys", "tools/virtual-usb-bus/kernel/qelmvusb.inf",
                "driver/kernel/qelmrc.sys", "tools/virtual-usb-bus/vusbctl.exe")] + [inf]

    def _drivers(self):
        """A digest of what gets installed (_installed_files)."""
        digest = hashlib.sha256()
        for path in self._installed_files():
            with open(path, "rb") as f:
                digest.update(f.read())
        return digest.hexdigest()

    def __enter__(self):
        # A prefix whose installed drivers are not the ones just built is made again: Wine keeps the copies
        # it installed, and a test of the new driver must not run the old one.
        marker = os.path.join(self.session.prefix, ".qelm-realstack-installed")
        self.digest = self._drivers()
        if os.path.exists(marker):
            with open(marker) as f:
                installed = f.read().strip()
            if installed != self.digest:
                print("[wine] the drivers changed since they were installed: making the real stack's prefix again",
                      flush=True)
                shutil.rmtree(self.session.prefix)
        self.session.__enter__()
        try:
            self._install()
            self.bus = Bus(self.session, self.vusbctl)
        except BaseException:
            self.session.close()
            raise
        return self

    def __exit__(self, *exc):
        if self.bus is not None:
            self.bus.close()
        self.session.close()
        return False

    def _install(self):
        marker = os.path.join(self.session.prefix, ".qelm-realstack-installed")
        if os.path.exists(marker):
            self._start_bus()
            return
        self._install_drivers()
        with open(marker, "w") as f:
            f.write(self.digest + "\n")

    def _start_bus(self):
        """Starts the bus installed before: a new Wine session does not start a demand-start driver."""
        # Once in a while the first start of a new session finds no control device within its wait; a second
        # start finds the driver running.
        for attempt in range(2):
            r = self.session.run([self.vusbctl, "start"], timeout=120)
            if "started" in r.stdout:
                return
        raise AssertionError(f"the installed bus did not start: {r.stdout} {r.stderr[-500:]}")

    def _install_drivers(self):
        w = self.session
        stage = Stage(self.win64_dir, self.work)
        r = w.run([self.vusbctl, "install", w.windows_path(stage.bus), w.windows_path(stage.qelmrc)], timeout=180)
        if "installed" not in r.stdout:
            raise AssertionError(f"installing the bus failed: {r.stdout} {r.stderr[-500:]}")
