"""Tavrelmond under Wine: an installed copy in a folder of its own, and what a user sees of it.

Used by the Wine tests and the demo. The Windows binaries come from the win64 build folder.
"""

import json
import os
import queue
import re
import shutil
import subprocess
import threading
import time

from qelmwine import wait_for
from winetest import stop


class Win64Build:
    def __init__(self, win64_dir):
        self.dir = os.path.abspath(win64_dir)
        self.tavrelmond = self._need("app/Tavrelmond.exe")
        self.xbmc_dll = self._need("hidlib/XBMC.dll")
        self.virtual_xbmc_dll = os.path.join(self.dir, "hidlib/virtual/XBMC.dll")
        self.mediacenter = self._need("tools/mediacenter/mediacenter.exe")
        self.winprobe = self._need("tests/winbin/winprobe/winprobe.exe")

    def _need(self, rel):
        path = os.path.join(self.dir, rel)
        if not os.path.exists(path):
            raise SystemExit(f"missing {path}: build the win64 preset first (cmake --workflow --preset win64)")
        return path


# The tray menu's items, top to bottom (the status line first, the exit item last and default).
MENU_ITEMS = ["status", "settings", "edit config", "open log", "exit"]
MENU_STATUS, MENU_SETTINGS, MENU_EDIT_CONFIG, MENU_OPEN_LOG, MENU_EXIT = range(len(MENU_ITEMS))
SETTINGS_TITLE = "Tavrelmond settings"


def user_folders(session):
    """The Wine prefix's user folders as the host sees them: (%APPDATA%, %LOCALAPPDATA%)."""
    users = os.path.join(session.prefix, "drive_c", "users")
    name = next((n for n in sorted(os.listdir(users)) if n != "Public"), None) if os.path.isdir(users) else None
    if name is None:
        raise RuntimeError(f"no user profile in {users}")
    base = os.path.join(users, name, "AppData")
    return os.path.join(base, "Roaming"), os.path.join(base, "Local")


def parse_fields(line):
    """'a=1 b=x title=some text' -> dict; the last field (title=, caption=, args=) takes the rest of the line."""
    fields = {}
    for m in re.finditer(r"(\w+)=(.*?)(?= \w+=|$)", line.strip()):
        fields[m.group(1)] = m.group(2)
    return fields


class Installed:
    """Tavrelmond.exe (and XBMC.dll unless told otherwise) copied into `folder`, with a Config.ini. The Wine
    prefix is shared by the tests: the user's own settings (%APPDATA%\\Tavrelmond) that an earlier test left are
    removed, and `user_config` (the same section's lines) is written there when given."""

    def __init__(self, session, build, folder, config=None, hid_dll="shipped", user_config=None):
        self.w = session
        self.build = build
        self.folder = os.path.abspath(folder)
        roaming, local = user_folders(session)
        self.user_dir = os.path.join(roaming, "Tavrelmond")
        self.user_config_path = os.path.join(self.user_dir, "Config.ini")
        self.log_path = os.path.join(local, "Tavrelmond", "Tavrelmond.log")
        shutil.rmtree(self.user_dir, ignore_errors=True)
        if user_config is not None:
            os.makedirs(self.user_dir)
            with open(self.user_config_path, "w", newline="\r\n") as f:
                f.write("[Tavrelmond Config]\n" + user_config)
        if os.path.exists(self.folder):
            shutil.rmtree(self.folder)
        os.makedirs(self.folder)
        shutil.copy(build.tavrelmond, self.folder)
        if hid_dll == "shipped":
            shutil.copy(build.xbmc_dll, self.folder)
        elif hid_dll == "virtual":
            shutil.copy(build.virtual_xbmc_dll, self.folder)
        if config is not None:
            with open(os.path.join(self.folder, "Config.ini"), "w", newline="\r\n") as f:
                f.write("[Tavrelmond Config]\n" + config)
        self.proc = None
        self.pid = None
        self.hwnd = None

    def start(self, env=None, cwd=None, stderr=None):
        # Started from another folder, as from a shortcut or a Run key.
        self.proc = self.w.start([os.path.join(self.folder, "Tavrelmond.exe")], cwd=cwd or "/", env=env,
                                 stderr=stderr)
        info = self.probe("find", "--title", "Tavrelmond 1.6", "--class", "TavrelmondWindow", "--timeout", "30000")
        if info.returncode != 0:
            raise AssertionError("Tavrelmond's hidden window 'Tavrelmond 1.6' did not appear")
        fields = parse_fields(info.stdout.splitlines()[0])
        self.pid = fields["pid"]
        self.hwnd = fields["hwnd"]
        return fields

    @staticmethod
    def parse_probe(stdout):
        """The fields of winprobe's first output line."""
        lines = stdout.splitlines()
        return parse_fields(lines[0]) if lines else {}

    def probe(self, *args, timeout=90):
        return self.w.run([self.build.winprobe] + list(args), timeout=timeout)

    def windows(self):
        return [parse_fields(l) for l in self.probe("windows").stdout.splitlines() if l.startswith("hwnd=")]

    def tray_window(self):
        """Wine shows its own tray window (no X tray runs on Xvfb) while at least one icon is in it."""
        return next((w for w in self.windows()
                     if w.get("class") == "__winex11_standalone_tray" and w.get("visible") == "1"), None)

    def tray_icon_shown(self):
        return self.tray_window() is not None

    def tray_icon_colour(self):
        """'green' (receiver present), 'red' (absent) or None: the colour at the centre of the first icon slot
        of Wine's tray window, read from a screenshot of the virtual display."""
        tray = self.tray_window()
        if tray is None or not self.w.display:
            return None
        left, top, right, bottom = (int(v) for v in tray["rect"].split(","))
        # The first slot is square, as high as the window's client area; sample a few pixels around its centre
        # but off the white symbol.
        size = bottom - top
        x, y = left + size // 2 - 3, top + size // 2 + 1
        out = subprocess.run(["import", "-display", self.w.display, "-window", "root", "-crop", f"3x3+{x}+{y}",
                              "-depth", "8", "txt:-"], capture_output=True, text=True).stdout
        reds = greens = 0
        for m in re.finditer(r"\((\d+),(\d+),(\d+)", out):
            r, g, b = (int(v) for v in m.groups())
            if g > r + 40 and g > b:
                greens += 1
            elif r > g + 40 and r > b:
                reds += 1
        return "green" if greens > reds else "red" if reds > greens else None

    def user_config_text(self):
        """The user's own Config.ini as text (the program writes it in UTF-16), or None when there is none."""
        try:
            with open(self.user_config_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return None
        if data.startswith(b"\xff\xfe"):
            return data[2:].decode("utf-16-le")
        return data.decode("utf-8", "replace")

    def log_text(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def open_menu_and_pick(self, index):
        """A right-button press on the icon, then a click on item `index` of the pop-up menu (MENU_ITEMS)."""
        r = self.probe("tray-menu", "--pid", self.pid, "--items", str(len(MENU_ITEMS)), "--pick", str(index))
        if r.returncode != 0:
            raise AssertionError(f"tray menu: {r.stdout} {r.stderr[-300:]}")
        return r.stdout

    def exit_from_menu(self, timeout=30, tries=3):
        """Exit as a user does: the menu's default item, Tavrelmond 1.6 -EXIT (the last). A click that a
        busy machine delivered before the menu was ready to take it is tried again."""
        for attempt in range(tries):
            self.open_menu_and_pick(MENU_EXIT)
            try:
                self.proc.wait(timeout=timeout / tries)
                return self.proc.returncode
            except subprocess.TimeoutExpired:
                print(f"note: the exit click was not taken (try {attempt + 1})", flush=True)
        raise AssertionError("Tavrelmond did not exit from its menu")

    def wait_exit(self, timeout=30):
        try:
            self.proc.wait(timeout=timeout)
        except Exception:
            raise AssertionError("Tavrelmond did not exit")
        return self.proc.returncode


class MediaCenterLog:
    """The stand-in media center's log file (one line per event)."""

    def __init__(self, path):
        self.path = path
        if os.path.exists(path):
            os.remove(path)

    def lines(self):
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                return [l.rstrip("\r\n") for l in f]
        except FileNotFoundError:
            return []

    def wait_line(self, predicate, timeout=20, what="a log line"):
        return wait_for(lambda: next((l for l in self.lines() if predicate(l)), None), timeout=timeout,
                        what=what)

    def starts(self):
        return [l for l in self.lines() if l.startswith("started ")]


def start_mediacenter(session, build, log, directx=False, extra=()):
    args = [build.mediacenter, "--log", session.windows_path(log.path)]
    if directx:
        args.insert(1, "--directx")
    proc = session.start(args + list(extra))
    log.wait_line(lambda l: l.startswith("started "), what="the stand-in media center to start")
    return proc


class HidFeed:
    """The host feeder of the virtual XBMC.dll (tools/hidfeed), driven line by line."""

    def __init__(self, host_build_dir):
        exe = os.path.join(host_build_dir, "tools/hidfeed/hidfeed")
        if not os.path.exists(exe):
            raise SystemExit(f"missing {exe}: build the host preset first")
        self.proc = subprocess.Popen([exe, "--accept-timeout", "60"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "listening":
            raise RuntimeError(f"hidfeed did not start: {first}")
        self.port = int(first[1])

    def env(self):
        return {"QELM_VIRTUAL_HID_PORT": str(self.port)}

    def wait_connected(self):
        line = self.proc.stdout.readline().strip()
        if line != "connected":
            raise RuntimeError(f"the virtual XBMC.dll did not connect: {line!r}")

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().strip()
        if not reply.startswith("ok"):
            raise RuntimeError(f"hidfeed: {line!r} -> {reply!r}")
        return reply

    def close(self):
        stop(self.proc, quit="quit")


class HttpStandIn:
    """The host HTTP stand-in (tests/support/httpstandin): records every request as one JSON line."""

    def __init__(self, host_build_dir):
        exe = os.path.join(host_build_dir, "tests/support/httpstandin/httpstandin")
        if not os.path.exists(exe):
            raise SystemExit(f"missing {exe}: build the host preset first")
        self.proc = subprocess.Popen([exe], stdout=subprocess.PIPE, text=True, bufsize=1)
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "LISTENING":
            raise RuntimeError(f"httpstandin did not start: {first}")
        self.port = int(first[1])
        self.requests = []
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self._lines.put(line)

    def next_request(self, timeout=20):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("no request reached the HTTP stand-in") from None
        request = json.loads(line)
        self.requests.append(request)
        return request

    def pending(self):
        """Requests recorded and not yet taken by next_request. Exact after close(): every request the server
        took is counted, as it records each one before answering it."""
        return self._lines.qsize()

    def close(self):
        stop(self.proc)
        self._reader.join(timeout=10)


class Remote:
    """The virtual receiver: one device on the feeder. Tracks the program's dispatch count, because option
    digits count only on every other button event (the tray icon blinks in the same rhythm)."""

    def __init__(self, feed):
        self.feed = feed
        self.runs = 0
        self.last = None
        self.filler = 0

    def plug(self):
        handle = self.feed.send("attach 1 045E 0284").split()[1]
        self.feed.send("change")
        self.last = None
        return handle

    def wait_reading(self):
        # Tavrelmond asks for the receiver's reports once it has handled the change notification; until then
        # the library holds reports back ("ok held") and drops them when reading starts. A neutral report is
        # repeated until one is announced.
        deadline = time.monotonic() + 30
        while self.release() != "ok":
            if time.monotonic() > deadline:
                raise TimeoutError("Tavrelmond never started reading the receiver")
            time.sleep(0.05)

    def unplug(self):
        self.feed.send("remove 1")
        self.feed.send("change")

    def _report(self, line, key):
        reply = self.feed.send(line)
        if reply == "ok":
            self.runs += 1  # announced: the program reads it and runs its dispatch once
            self.last = key
        elif reply == "ok held":
            self.last = key
        return reply

    def press(self, code):
        if code == self.last:
            # The receiver repeats its packet while nothing changes, and the library passes one per change:
            # between two presses of the same button comes a neutral report.
            self.release()
        reply = self._report(f"button 1 {code}", code)
        assert reply == "ok", reply

    def release(self):
        """A neutral report (no button value): dispatched, so the icon blinks, but nothing is forwarded.
        Two forms alternate so that one never repeats the other."""
        self.neutral = 1 - getattr(self, "neutral", 0)
        return self._report(f"report 1 00 0{self.neutral} 00 00 00 00 00", ("neutral", self.neutral))

    def type_option_code(self, digits):
        """The arming button (213) then the digit buttons, each on an option run (odd, from the 3rd)."""
        def on_option_run():
            while (self.runs + 1) < 3 or (self.runs + 1) % 2 == 0:
                self.release()
        on_option_run()
        self.press(213)
        for d in digits:
            on_option_run()
            self.press({"1": 206, "2": 205, "3": 204, "4": 203, "5": 202}[d])


class ReadingReceiver:
    """Tavrelmond installed with the virtual XBMC.dll and `config`, started, its icon shown, and a virtual
    receiver plugged in that it reads: .feed, .app, .remote."""

    def __init__(self, session, build, folder, config):
        self.feed = HidFeed(session.build_dir)
        try:
            self.app = Installed(session, build, folder, config, hid_dll="virtual")
            self.app.start(env=self.feed.env())
            self.feed.wait_connected()
            wait_for(self.app.tray_icon_shown, timeout=30, what="the tray icon")
            self.remote = Remote(self.feed)
            self.remote.plug()
            self.remote.wait_reading()
        except BaseException:
            self.feed.close()
            raise

    def close(self):
        self.feed.close()
