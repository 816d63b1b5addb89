"""Tavrelmond.exe under Wine as a user's Windows treats it: closed from outside, a second start (also one
that may not open the running copy's mark, as when the first copy runs elevated), the shell restarting or too
busy at logon to take the icon, a media-center web server that accepts and never answers.

Run by tests/wine/winetest.py: citizen_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
Each case runs in its own Wine session (own Xvfb; the shared prefix, one session at a time).
"""

import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmwine import wait_for, within  # noqa: E402
from tavrel import Installed, MediaCenterLog, ReadingReceiver, start_mediacenter  # noqa: E402
from winetest import case, check, fail, run, stop  # noqa: E402

IDS = "VendorID=1118\nProductID=644\n"
# The HTTP channel's receive time-out (README: "How Tavrelmond ends, one copy, time-outs").
RECEIVE_TIMEOUT = 3.0
WM_CLOSE = 0x0010
# The mark of a running copy (app/modMain.h), and how often the tray control tries again to add an icon the
# shell refused (app/traycontrol/SysTray.h).
ONE_COPY_MARK = "Local\\Tavrelmond"
ICON_RETRY = 2.0


class Rig:
    """Tavrelmond with the virtual XBMC.dll and a virtual receiver plugged in; the stand-in media center first
    when asked for (the dispatch forwards only while it runs)."""

    def __init__(self, t, mode="true", http_port=8080, media_center=False, folder="app"):
        self.w = t.w
        self.log = MediaCenterLog(os.path.join(t.work, f"{folder}-mc.log"))
        self.mc = start_mediacenter(t.w, t.win64, self.log) if media_center else None
        config = f"APIControlXBMCOPENGL={mode}\n{IDS}IP Address=127.0.0.1\nport={http_port}\n"
        reading = ReadingReceiver(t.w, t.win64, os.path.join(t.work, folder), config)
        self.feed, self.app, self.remote = reading.feed, reading.app, reading.remote

    def keys_since(self, seen):
        return [line for line in self.log.lines()[seen:] if line.startswith("key ")]

    def library_gone(self):
        """True when the library's connection to the feeder is closed: the feeder answers the next line with
        'closed' and ends."""
        self.feed.proc.stdin.write("change\n")
        self.feed.proc.stdin.flush()
        return self.feed.proc.stdout.readline().strip() == "closed"

    def tray_window(self):
        """The program's notification-icon window: its untitled window of its own class."""
        return next(w for w in self.app.windows()
                    if w.get("pid") == self.app.pid and w.get("class") == "TavrelmondWindow" and not w.get("title"))

    def own_windows(self):
        return [w for w in self.app.windows() if w.get("title") == "Tavrelmond 1.6"]

    def close(self):
        self.feed.close()
        stop(self.mc, grace=0)


def check_ended(rig, how):
    """The one unload path ran: the process ended by itself (its message loop ended: exit code 0), the icon
    went, and the HID library's connection was closed."""
    check(rig.app.wait_exit(timeout=30) == 0, f"{how}: the process ends, exit code 0")
    check(within(lambda: not rig.app.tray_icon_shown(), timeout=15), f"{how}: the tray icon is removed")
    check(rig.library_gone(), f"{how}: XBMC.dll's connection is closed")


@case()
def wm_close_ends_the_program(t):
    """WM_CLOSE posted to the hidden window "Tavrelmond 1.6", and to the tray window, ends the program
    through its unload."""
    for target in ("hidden window", "tray window"):
        rig = Rig(t, folder=target.replace(" ", "-"))
        try:
            hwnd = rig.app.hwnd if target == "hidden window" else rig.tray_window()["hwnd"]
            check(rig.app.probe("post", "--hwnd", hwnd, "--msg", str(WM_CLOSE)).returncode == 0,
                  f"WM_CLOSE posted to the {target}")
            check_ended(rig, f"WM_CLOSE to the {target}")
        finally:
            rig.close()


@case()
def taskkill_ends_the_program(t):
    """taskkill /im Tavrelmond.exe, without /f, as installers and scripts close programs."""
    rig = Rig(t)
    try:
        result = t.w.run(["taskkill", "/im", "Tavrelmond.exe"])
        check(result.returncode == 0, f"taskkill: {result.stdout.strip()}")
        check_ended(rig, "taskkill without /f")
    finally:
        rig.close()


@case()
def second_copy_exits_at_once(t):
    """A second start of the same program exits at once; the first keeps forwarding, each key once."""
    rig = Rig(t, media_center=True)
    try:
        exe = os.path.join(rig.app.folder, "Tavrelmond.exe")
        started = time.monotonic()
        second = t.w.start([exe], cwd="/", env=rig.feed.env())
        try:
            exit_code = second.wait(timeout=30)
        except subprocess.TimeoutExpired:
            stop(second, grace=0)
            fail("the second copy is still running after 30 s")
        took = time.monotonic() - started
        check(exit_code == 0 and took < 15, f"the second copy ended by itself in {took:.1f} s, exit code {exit_code}")
        windows = rig.own_windows()
        check([w["pid"] for w in windows] == [rig.app.pid],
              f"one hidden window 'Tavrelmond 1.6', the first copy's: {windows}")
        check(rig.app.proc.poll() is None, "the first copy still runs")

        # Each press is awaited; the last one, Right, is a barrier: keys posted to one window arrive in the order
        # they were posted, so a key sent twice for an earlier button would stand before Right's.
        seen = len(rig.log.lines())
        presses = ((167, 0x28), (166, 0x26), (11, 0x0D), (168, 0x27))
        for n, (code, vk) in enumerate(presses, start=1):
            rig.remote.press(code)
            check(within(lambda: f"key up vk={vk} lparam=0" in rig.keys_since(seen)[2 * n - 2:], timeout=20),
                  f"button {code} reaches the media center")
        expected = [f"key {edge} vk={vk} lparam=0" for _, vk in presses for edge in ("down", "up")]
        check(rig.keys_since(seen) == expected, f"each of the {len(presses)} buttons reached the media center once")
        check(rig.app.exit_from_menu() == 0, "the first copy exits from its menu")
    finally:
        rig.close()


class CitizenProbe:
    """tests/winbin/citizenprobe running under Wine, its lines read as they come, each with its time."""

    def __init__(self, t, *args):
        exe = os.path.join(t.win64.dir, "tests", "winbin", "citizenprobe", "citizenprobe.exe")
        if not os.path.exists(exe):
            sys.exit(f"missing {exe}: build the win64 preset first")
        self.proc = t.w.start([exe] + list(args), stdout=subprocess.PIPE)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), raw.decode(errors="replace").strip()))

    def wait_line(self, text, timeout=30):
        wait_for(lambda: any(line == text for _, line in self.lines), timeout=timeout, what=f"'{text}'")
        return next(at for at, line in self.lines if line == text)

    def close(self):
        stop(self.proc, grace=0)


@case()
def second_copy_exits_when_the_mark_is_denied(t):
    """A copy that may not open the running copy's mark (the first copy runs elevated, and its mark's security
    descriptor keeps an unelevated copy out) still counts it as another copy and exits at once."""
    holder = CitizenProbe(t, "hold-mark", "--name", ONE_COPY_MARK)
    try:
        holder.wait_line("held")
        exe = os.path.join(t.win64.dir, "tests", "winbin", "citizenprobe", "citizenprobe.exe")
        opened = t.w.run([exe, "open-mark", "--name", ONE_COPY_MARK]).stdout.strip()
        check(opened == "handle=0 error=5", f"the mark is there and this user may not open it: {opened}")

        app = Installed(t.w, t.win64, os.path.join(t.work, "app"), f"APIControlXBMCOPENGL=true\n{IDS}",
                        hid_dll=None)
        started = time.monotonic()
        second = t.w.start([os.path.join(app.folder, "Tavrelmond.exe")], cwd="/")
        try:
            exit_code = second.wait(timeout=30)
        except subprocess.TimeoutExpired:
            stop(second, grace=0)
            fail("the copy is still running after 30 s")
        took = time.monotonic() - started
        check(exit_code == 0 and took < 15, f"the copy ended by itself in {took:.1f} s, exit code {exit_code}")
        check(not [w for w in app.windows() if w.get("title") == "Tavrelmond 1.6"],
              "it made no hidden window 'Tavrelmond 1.6'")
        check(not app.tray_icon_shown(), "it showed no icon")
    finally:
        holder.close()


@case()
def busy_shell_at_logon(t):
    """At logon the shell may be too busy to take the icon (the call fails): the program tries again on its
    timer until the shell takes it, without waiting for "TaskbarCreated", and the icon then works."""
    refusals = 6  # three tries: each is an add followed by a modify
    shell = CitizenProbe(t, "busy-shell", "--refuse", str(refusals))
    try:
        shell.wait_line("ready")
        app = Installed(t.w, t.win64, os.path.join(t.work, "app"), f"APIControlXBMCOPENGL=true\n{IDS}",
                        hid_dll=None)
        app.start()
        gone = shell.wait_line(f"gone after {refusals} refusals", timeout=60)
        times = [at for at, line in shell.lines if line.startswith("refused ")]
        gaps = [round(times[i + 2] - times[i], 2) for i in range(0, len(times) - 2, 2)]
        check(len(times) == refusals and all(ICON_RETRY - 0.7 <= gap <= ICON_RETRY + 2.0 for gap in gaps),
              f"the busy shell was asked {len(times)} times, each try {gaps} s after the one before "
              f"(the timer's {ICON_RETRY} s)")
        check(within(app.tray_icon_shown, timeout=ICON_RETRY + 15),
              f"the icon is there {time.monotonic() - gone:.1f} s after the shell was ready to take it")
        check(app.exit_from_menu() == 0, "its menu works: exit")
        check(within(lambda: not app.tray_icon_shown(), timeout=15), "the tray icon is removed")
    finally:
        shell.close()


@case()
def taskbar_created_adds_the_icon_again(t):
    """The shell loses the icon (as a restarted Explorer has none) and broadcasts "TaskbarCreated": the icon
    comes back with its current picture, and keeps working."""
    rig = Rig(t)
    try:
        rig.remote.unplug()
        wait_for(lambda: rig.app.tray_icon_colour() == "red", timeout=20, what="the red icon")
        check(rig.app.probe("tray-forget", "--pid", rig.app.pid).returncode == 0, "the shell forgets the icon")
        check(within(lambda: not rig.app.tray_icon_shown(), timeout=15), "the notification area is empty")

        result = rig.app.probe("broadcast", "--name", "TaskbarCreated")
        check(result.returncode == 0, f"'TaskbarCreated' broadcast to the top-level windows ({result.stdout.strip()})")
        check(within(lambda: rig.app.tray_icon_shown() and rig.app.tray_icon_colour() == "red", timeout=15),
              "the icon is back, with its current (red) picture")

        rig.remote.plug()
        check(within(lambda: rig.app.tray_icon_colour() == "green", timeout=20), "the icon follows the receiver again")
        check(rig.app.exit_from_menu() == 0, "its menu works: exit")
        wait_for(lambda: not rig.app.tray_icon_shown(), timeout=15, what="the tray icon to go")
    finally:
        rig.close()


class SilentServer:
    """Accepts connections on 127.0.0.1 and never answers; notes when each connection came."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        self._conns = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self._conns.append(conn)
            self.accepted.append(time.monotonic())

    def wait_connections(self, n, timeout=30):
        wait_for(lambda: len(self.accepted) >= n, timeout=timeout, what=f"connection {n} at the silent server")
        return self.accepted[n - 1]

    def close(self):
        self.sock.close()
        for conn in self._conns:
            conn.close()


@case()
def silent_http_server_costs_one_timeout(t):
    """A web server that accepts and never answers delays the next press by the receive time-out at most,
    and Exit from the menu works during the stall."""
    server = SilentServer()
    rig = Rig(t, mode="false", http_port=server.port, media_center=True)
    try:
        rig.remote.press(167)
        first = server.wait_connections(1)
        rig.remote.press(166)  # arrives while the first request waits
        second = server.wait_connections(2)
        gap = second - first
        check(RECEIVE_TIMEOUT - 0.5 <= gap <= RECEIVE_TIMEOUT + 1.5,
              f"the next press went out {gap:.2f} s after the first: one receive time-out of {RECEIVE_TIMEOUT} s")

        rig.remote.press(168)
        stalled = server.wait_connections(3)
        code = rig.app.exit_from_menu(timeout=30)
        took = time.monotonic() - stalled
        check(code == 0 and took < RECEIVE_TIMEOUT + 12,
              f"Exit picked from the menu during a stall ends the program {took:.1f} s after the stall began")
        wait_for(lambda: not rig.app.tray_icon_shown(), timeout=15, what="the tray icon to go")
    finally:
        rig.close()
        server.close()


if __name__ == "__main__":
    run()
