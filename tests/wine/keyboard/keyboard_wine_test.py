"""Tavrelmond.exe under Wine in the keyboard mode: the remote's buttons become key presses (SendInput) for the
window in front. Stand-in players (copies of the stand-in media center started with --player, named as the
real players' programs) log the key messages and application commands that reach them; the virtual receiver
(virtual XBMC.dll fed from the host) presses the buttons.

Run by tests/wine/winetest.py: keyboard_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
"""

import ctypes
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kodi"))

from kodi import HOME_MENU, HOME_WINDOW_ID, Kodi  # noqa: E402
from qelmwine import wait_for, within  # noqa: E402
from tavrel import MediaCenterLog, ReadingReceiver, parse_fields, start_mediacenter  # noqa: E402
from winetest import case, check, fail, run, stop  # noqa: E402

IDS = "VendorID=1118\nProductID=644\n"
KEYBOARD = "APIControlXBMCOPENGL=keyboard\n" + IDS
WM_APP_FRONT = 0x8001  # the stand-in player's "come to the front" message

# The built-in map, written out here: button code, R1 name, virtual key, extended key. The arming button (213)
# comes last, so that no digits pressed after it make an option code.
DEFAULT_MAP = [
    (167, "down", 0x28, True), (166, "up", 0x26, True), (168, "right", 0x27, True), (169, "left", 0x25, True),
    (11, "select", 0x0D, False), (216, "back", 0x08, False), (234, "play", 0xB3, True),
    (226, "reverse", 0x25, True), (227, "forward", 0x27, True), (230, "pause", 0xB3, True),
    (224, "stop", 0xB2, True), (195, "info", 0x49, False), (229, "title", 0x5D, True),
    (206, "one", 0x31, False), (205, "two", 0x32, False), (204, "three", 0x33, False), (203, "four", 0x34, False),
    (202, "five", 0x35, False), (201, "six", 0x36, False), (200, "seven", 0x37, False),
    (199, "eight", 0x38, False), (198, "nine", 0x39, False), (207, "zero", 0x30, False),
    (247, "menu", 0x1B, False), (223, "skipplus", 0xB0, True), (221, "skipminus", 0xB1, True),
    (213, "display", 0x46, False),
]
MEDIA_KEYS = {0xB0: "next track", 0xB1: "previous track", 0xB2: "stop", 0xB3: "play/pause"}
# WM_APPCOMMAND commands of the media keys, as the platform defines them.
APPCOMMANDS = {0xB0: 11, 0xB1: 12, 0xB2: 13, 0xB3: 14}


class Player:
    """A stand-in player: the stand-in media center copied under a player's program name and started with
    --player (window class "StandInPlayer")."""

    def __init__(self, w, build, work, image):
        self.w = w
        self.image = image
        folder = os.path.join(work, "players")
        os.makedirs(folder, exist_ok=True)
        self.exe = os.path.join(folder, image)
        shutil.copy(build.mediacenter, self.exe)
        self.log = MediaCenterLog(os.path.join(work, image + ".log"))
        self.proc = w.start([self.exe, "--player", "--log", w.windows_path(self.log.path)])
        started = self.log.wait_line(lambda l: l.startswith("started "), what=f"the stand-in {image} to start")
        self.hwnd = int(parse_fields(started)["hwnd"])
        self.seen = 0

    def to_front(self, app):
        """Asks the player to make itself the foreground window, and checks that it is."""
        before = len(self.log.lines())
        app.probe("post", "--hwnd", str(self.hwnd), "--msg", str(WM_APP_FRONT))
        answer = wait_for(lambda: next((l for l in self.log.lines()[before:] if l.startswith("front ")), None),
                          timeout=20, what=f"{self.image} to come to the front")
        check(answer == "front 1", f"{self.image} came to the front")
        fg = app.probe("foreground").stdout
        fields = parse_fields(fg.splitlines()[0]) if fg.strip() else {}
        check(int(fields.get("hwnd", "0"), 0) == self.hwnd, f"{self.image}'s window is the foreground window")
        self.mark()

    def mark(self):
        self.seen = len(self.log.lines())

    def new_lines(self, prefix=("key ", "syskey ", "appcommand ")):
        lines = [l for l in self.log.lines()[self.seen:] if l.startswith(prefix)]
        return lines

    def wait_keys(self, count, timeout=20):
        """The next `count` key messages (down and up, plain or system) after the mark; the mark moves past
        them, and past any application command that came with them."""
        wait_for(lambda: sum(not l.startswith("appcommand") for l in self.new_lines()) >= count, timeout=timeout,
                 what=f"{count} key messages at {self.image}")
        lines = self.new_lines()
        self.mark()
        return lines

    def close(self):
        stop(self.proc, grace=0)


def key_lines(lines):
    """[(kind, vk, extended)] of the key messages among the log lines, kind "down"/"up" ("sys" before it for
    WM_SYSKEY*)."""
    keys = []
    for line in lines:
        if line.startswith("appcommand"):
            continue
        kind, rest = line.split(" vk=", 1)
        vk, lparam = rest.split(" lparam=")
        keys.append((kind.replace("key ", "").replace("sys", "sys "), int(vk), bool(int(lparam) >> 24 & 1)))
    return keys


def tap(vk, extended=False):
    return [("down", vk, extended), ("up", vk, extended)]


def start(w, build, work, config):
    return ReadingReceiver(w, build, os.path.join(work, "app"), config)


@case()
def default_map(t):
    """The built-in map: each of the 27 buttons reaches the player in front as its key (WM_KEYDOWN, WM_KEYUP,
    the extended flag where the key has one), the media keys included; a media center beside it is neither sent
    keys nor raised. Wine turns each media key into WM_APPCOMMAND (device: key) at the focus window, just
    before its WM_KEYDOWN, whether or not the window passes the key on; no other key of the map gives one."""
    w, build, work = t.w, t.win64, t.work
    xbmc_log = MediaCenterLog(os.path.join(work, "xbmc.log"))
    xbmc = start_mediacenter(w, build, xbmc_log)
    player = Player(w, build, work, "player.exe")
    tav = start(w, build, work, KEYBOARD)
    try:
        player.to_front(tav.app)
        xbmc_seen = len(xbmc_log.lines())
        for code, name, vk, extended in DEFAULT_MAP:
            tav.remote.press(code)
            lines = player.wait_keys(2)
            if key_lines(lines) != tap(vk, extended):
                fail(f"button {code} ({name}): the player got {lines}, expected key down and up of VK {vk:#x}"
                     f"{' (extended)' if extended else ''}")
            commands = [l for l in lines if l.startswith("appcommand")]
            expected = [f"appcommand cmd={APPCOMMANDS[vk]} device=0 keys=0"] if vk in APPCOMMANDS else []
            if commands != expected:
                fail(f"button {code} ({name}): application commands {commands}, expected {expected}")
        check(True, f"all {len(DEFAULT_MAP)} buttons reached the player as their keys")
        check(True, "the media keys came with WM_APPCOMMAND " + ", ".join(
            f"{APPCOMMANDS[vk]} ({what})" for vk, what in MEDIA_KEYS.items()) + ", the other keys with none")
        after = xbmc_log.lines()[xbmc_seen:]
        check(not any(l.startswith(("key ", "syskey ")) for l in after), "the media center got no key")
        check("topmost 1" not in xbmc_log.lines(), "and was never raised")
        tav.app.exit_from_menu()
    finally:
        tav.close()
        player.close()
        stop(xbmc, grace=0)


@case()
def own_map(t):
    """[Buttons] lines: a key with modifiers (down in the order written, up in reverse), keys in turn, a button
    that does nothing, Alt as a system key; a line not understood is named in the tray tip, and the rest works."""
    from kodi_wine_test import tray_tip
    w, build, work = t.w, t.win64, t.work
    player = Player(w, build, work, "player.exe")
    tav = start(w, build, work, KEYBOARD + "[Buttons]\nplay=Ctrl+Shift+M\nup=Down Down\nselect=\ninfo=Alt+I\n"
                                           "plya=Space\n")
    try:
        player.to_front(tav.app)
        tav.remote.press(234)
        check(key_lines(player.wait_keys(6)) == [("down", 0x11, False), ("down", 0x10, False), ("down", 0x4D, False),
                                                 ("up", 0x4D, False), ("up", 0x10, False), ("up", 0x11, False)],
              "play: Ctrl down, Shift down, M down and up, Shift up, Ctrl up")
        tav.remote.press(166)
        check(key_lines(player.wait_keys(4)) == tap(0x28, True) * 2, "up: Down twice")
        tav.remote.press(11)   # select does nothing: the next key the player sees is Back's
        tav.remote.press(216)
        check(key_lines(player.wait_keys(2)) == tap(0x08), "select sent nothing; back sent Backspace")
        tav.remote.press(195)
        check(key_lines(player.wait_keys(4)) == [("sys down", 0x12, False), ("sys down", 0x49, False),
                                                 ("sys up", 0x49, False), ("up", 0x12, False)],
              "info: Alt+I as system keys (Alt's own release, after another key, comes as a plain key up)")
        tav.remote.press(167)
        check(key_lines(player.wait_keys(2)) == tap(0x28, True), "down: a button without a line keeps its key")
        tip = within(lambda: (lambda x: x if x and "plya" in x else None)(tray_tip(w, tav.app)), timeout=20)
        check(tip == "Key map line not understood: plya=Space", f"the tray tip names the bad line: {tip!r}")
        tav.app.exit_from_menu()
    finally:
        tav.close()
        player.close()


@case()
def per_program_maps(t):
    """Two players, vlc.exe and mpc-hc64.exe (copies of one stand-in): the map of the one in front counts, line
    by line over [Buttons]; the one behind gets nothing."""
    w, build, work = t.w, t.win64, t.work
    vlc = Player(w, build, work, "vlc.exe")
    mpc = Player(w, build, work, "mpc-hc64.exe")
    tav = start(w, build, work, KEYBOARD + "[Buttons]\nup=W\n[Buttons:vlc.exe]\nplay=Space\n"
                                           "[Buttons:MPC-HC64.EXE]\nplay=Ctrl+P\n")
    try:
        steps = [
            (vlc, mpc, 234, tap(0x20), "vlc.exe in front: play is its Space"),
            (vlc, mpc, 166, tap(0x57), "up falls back to [Buttons]: W"),
            (mpc, vlc, 234, [("down", 0x11, False), ("down", 0x50, False), ("up", 0x50, False),
                             ("up", 0x11, False)], "mpc-hc64.exe in front: play is its Ctrl+P"),
            (mpc, vlc, 166, tap(0x57), "up: W"),
            (mpc, vlc, 167, tap(0x28, True), "down: built in"),
            (vlc, mpc, 234, tap(0x20), "vlc.exe in front again: Space"),
        ]
        front = None
        for target, other, code, keys, what in steps:
            if target is not front:
                target.to_front(tav.app)
                other.mark()
                front = target
            tav.remote.press(code)
            check(key_lines(target.wait_keys(len(keys))) == keys, what)
        for player in (vlc, mpc):
            player.mark()
        tav.remote.press(169)
        vlc.wait_keys(2)
        check(mpc.new_lines() == [], "the player behind got no key")
        tav.app.exit_from_menu()
    finally:
        tav.close()
        vlc.close()
        mpc.close()


# X keysyms of the virtual keys relayed to Kodi.
KEYSYMS = {0x25: 0xFF51, 0x26: 0xFF52, 0x27: 0xFF53, 0x28: 0xFF54, 0x0D: 0xFF0D, 0x08: 0xFF08, 0x1B: 0xFF1B}


class XKeyboard:
    """Key presses on an X display the way a keyboard makes them (XTest)."""

    def __init__(self, display):
        self.xlib = ctypes.CDLL("libX11.so.6")
        self.xtest = ctypes.CDLL("libXtst.so.6")
        self.xlib.XOpenDisplay.restype = ctypes.c_void_p
        self.dpy = ctypes.c_void_p(self.xlib.XOpenDisplay(display.encode()))
        if not self.dpy.value:
            raise RuntimeError(f"cannot open X display {display}")

    def key(self, keysym, down):
        keycode = self.xlib.XKeysymToKeycode(self.dpy, ctypes.c_ulong(keysym))
        self.xtest.XTestFakeKeyEvent(self.dpy, keycode, 1 if down else 0, 0)
        self.xlib.XFlush(self.dpy)

    def close(self):
        self.xlib.XCloseDisplay(self.dpy)


@case(labels="wine,kodi", timeout=600)
def kodi_arrows(t):
    """The real Kodi moves its focus on the arrows of this mode. Kodi here is the Linux program on an X display
    of its own, and Wine's SendInput reaches Wine's windows only (the keys of a press, with Kodi focused on
    Wine's own display, go nowhere: Wine's foreground window is then its desktop). So the keys go to the
    stand-in player in front, as on Windows they would go to Kodi, and each key message the player receives is
    pressed on Kodi's keyboard as it arrived (XTest): Down, Down, Down, Up must take Kodi's Home menu from
    Movies three items down and one back up, each key handled by Kodi as its Down or Up action."""
    w, build, work = t.w, t.win64, t.work
    player = Player(w, build, work, "kodi.exe")
    with Kodi(os.path.join(work, "kodi")) as kodi:
        keyboard = XKeyboard(kodi.display)
        tav = start(w, build, work, KEYBOARD)
        try:
            player.to_front(tav.app)
            kodi.reset_focus()
            mark = kodi.mark()
            position = 0
            for code, step, action in [(167, 1, "Down"), (167, 1, "Down"), (167, 1, "Down"), (166, -1, "Up")]:
                tav.remote.press(code)
                for kind, vk, _ in key_lines(player.wait_keys(2)):
                    keyboard.key(KEYSYMS[vk], kind == "down")
                position += step
                kodi.wait_focus(HOME_MENU[position])
            keys = [(a, window) for _, a, window in kodi.handled_keys(mark)]
            check(keys == [("Down", HOME_WINDOW_ID)] * 3 + [("Up", HOME_WINDOW_ID)],
                  f"Kodi's focus went to {HOME_MENU[position]!r}: Kodi handled Down three times and Up once "
                  f"({keys})")
            tav.app.exit_from_menu()
        finally:
            tav.close()
            keyboard.close()
            player.close()


if __name__ == "__main__":
    run()
