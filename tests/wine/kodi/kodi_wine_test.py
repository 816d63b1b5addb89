"""Tavrelmond.exe under Wine with today's Kodi: the stand-in's window of class "Kodi" for window keys, and the
real Kodi (Debian's package, headless on its own display) for the EventServer and JSON-RPC modes. The presses
come from the virtual receiver (virtual XBMC.dll fed from the host); Kodi's focused item (JSON-RPC) and its
debug log (one HandleKey line per key it handles, the notification dialog opening) show what arrived. Hosts
that take no connection, or refuse one late, stand in for a Kodi that is away while the program's hidden
window is asked, throughout, whether it still answers.

Run by tests/wine/winetest.py: kodi_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
Labels wine and kodi (ctest -L kodi selects them with the check of the R1 table, which needs no Wine).
"""

import ctypes
import os
import re
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from kodi import HOME_MENU, EventClient, Kodi, KodiRpcError  # noqa: E402
from qelmwine import free_port, wait_for, within  # noqa: E402
from tavrel import MediaCenterLog, ReadingReceiver, parse_fields, start_mediacenter  # noqa: E402
from winetest import case, check, fail, run, stop  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
IDS = "VendorID=1118\nProductID=644\n"
DOWN = 167
MEDIA_CENTER_CLASSES = {"SDL_app", "XBoxMediaCenterPC", "Kodi"}
KODI_LABELS = "wine,kodi"

# The remote's 27 buttons: button code, Kodi's R1 name, and the action Kodi 20's remote keymap gives it on the
# Home window. Kodi reports each with the button's own code. The arming button (213) comes last, so that no
# digits typed after it can make an option code.
BUTTONS = [
    (167, "down", "Down"), (166, "up", "Up"), (168, "right", "Right"), (169, "left", "Left"),
    (11, "select", "Select"), (216, "back", "Back"), (234, "play", "PlayPause"), (226, "reverse", "Rewind"),
    (227, "forward", "FastForward"), (230, "pause", "Pause"), (224, "stop", "Stop"), (195, "info", "Info"),
    (229, "title", "ContextMenu"), (206, "one", "Number1"), (205, "two", "JumpSMS2"), (204, "three", "JumpSMS3"),
    (203, "four", "JumpSMS4"), (202, "five", "JumpSMS5"), (201, "six", "JumpSMS6"), (200, "seven", "JumpSMS7"),
    (199, "eight", "JumpSMS8"), (198, "nine", "JumpSMS9"), (207, "zero", "Number0"), (247, "menu", "ContextMenu"),
    (223, "skipplus", "SkipNext"), (221, "skipminus", "SkipPrevious"), (213, "display", "FullScreen"),
]


def point_at(display, x, y):
    """Moves the X pointer of `display` to x, y the way a mouse does (XTest), so that Wine's windows see the
    motion (a tray icon's tip shows only for real pointer motion)."""
    xlib = ctypes.CDLL("libX11.so.6")
    xtest = ctypes.CDLL("libXtst.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    dpy = ctypes.c_void_p(xlib.XOpenDisplay(display.encode()))
    if not dpy.value:
        raise RuntimeError(f"cannot open X display {display}")
    try:
        for dx in (0, 1, 0):
            xtest.XTestFakeMotionEvent(dpy, -1, x + dx, y, 0)
            xlib.XFlush(dpy)
            time.sleep(0.05)
    finally:
        xlib.XCloseDisplay(dpy)


def tray_tip(w, app):
    """The tip of Tavrelmond's tray icon as a user sees it: the pointer is moved off the icon and rested on it
    again, and the text of the tooltip that shows is read, trailing blanks removed. None while no tip shows."""
    tray = app.tray_window()
    if tray is None:
        return None
    left, top, right, bottom = (int(v) for v in tray["rect"].split(","))
    size = bottom - top
    point_at(w.display, 600, 500)
    point_at(w.display, left + size // 2, top + size // 2)
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        lines = app.probe("tooltips").stdout.splitlines()
        # The program pads its tip with blanks to the record's 64 characters.
        shown = [l.split(" text=", 1)[1].rstrip() for l in lines if " visible=1 " in l and " text=" in l]
        if shown:
            return shown[0]
        time.sleep(0.2)
    return None


def tip_saying(w, tav, words):
    """The tray tip when it contains `words`, else None (for wait_for)."""
    tip = tray_tip(w, tav.app)
    return tip if tip and words in tip else None


def kodi_config(kodi, mode, password=None):
    """Config.ini for Tavrelmond in `mode` ("eventserver" or "jsonrpc") against `kodi`."""
    port = kodi.es_port if mode == "eventserver" else kodi.http_port
    return (f"APIControlXBMCOPENGL={mode}\n{IDS}IP Address=127.0.0.1\nport={port}\n"
            f"user={kodi.user}\npassword={kodi.password if password is None else password}\n")


class Tavrelmond:
    """Tavrelmond with the virtual XBMC.dll and the receiver plugged in and read."""

    def __init__(self, w, build, folder, config):
        reading = ReadingReceiver(w, build, folder, config)
        self.feed, self.app, self.remote = reading.feed, reading.app, reading.remote

    def media_center_windows(self):
        return [w for w in self.app.windows() if w.get("class") in MEDIA_CENTER_CLASSES]

    def exit(self):
        """Exit from the tray menu: the program's message loop is alive and it ends cleanly."""
        try:
            check(self.app.exit_from_menu() == 0, "Tavrelmond exits from its tray menu")
        finally:
            self.feed.close()

    def close(self):
        self.feed.close()


def downs_move_focus(kodi, tav, presses):
    """Each press of Down moves Kodi's focus one item down its Home menu; a press is awaited before the next."""
    kodi.reset_focus()
    mark = kodi.mark()
    for i in range(presses):
        tav.remote.press(DOWN)
        kodi.wait_focus(HOME_MENU[i + 1])
    keys = kodi.handled_keys(mark)
    check(keys == [(DOWN, "Down", 10000)] * presses,
          f"{presses} presses of Down moved Kodi's focus {presses} steps, to {HOME_MENU[presses]!r} "
          f"(Kodi handled {len(keys)} keys, each 167 Down)")


def check_all_buttons(kodi, tav, mode):
    """Every button of the remote reaches Kodi as one key with the button's own code and the keymap's action."""
    handled = []
    for code, name, action in BUTTONS:
        kodi.reset_focus()
        mark = kodi.mark()
        tav.remote.press(code)
        keys = kodi.wait_keys(mark, 1)
        if [(k, a) for k, a, _ in keys] != [(code, action)]:
            fail(f"{mode}: button {code} ({name}): Kodi handled {keys}, expected one key {code} {action}")
        handled.append(keys[0][:2])
    check(handled == [(code, action) for code, _, action in BUTTONS],
          f"{mode}: all {len(BUTTONS)} buttons reached Kodi, each as one key with its own code and action")


# -- window keys: the stand-in's window of class "Kodi" -------------------------------------------------------
@case(labels=KODI_LABELS)
def window_keys_kodi_class(t):
    """With no "SDL_app" window, window keys, hide/show (111) and close (222) go to the window of class "Kodi"."""
    w, build, work = t.w, t.win64, t.work
    log = MediaCenterLog(os.path.join(work, "kodi-window.log"))
    mc = start_mediacenter(w, build, log, extra=("--kodi",))
    check("class=Kodi" in log.starts()[0], "the stand-in shows a window of class \"Kodi\"")
    tav = Tavrelmond(w, build, os.path.join(work, "app"), f"APIControlXBMCOPENGL=true\n{IDS}")
    try:
        check(within(lambda: "topmost 1" in log.lines(), timeout=20), "the receiver's arrival raises the Kodi window")
        for code, vk in [(167, 0x28), (11, 0x0D), (216, 0x08)]:
            seen = len(log.lines())
            tav.remote.press(code)
            wait_for(lambda: sum(l.startswith("key ") for l in log.lines()[seen:]) >= 2, timeout=20,
                     what=f"the key of button {code}")
            keys = [l for l in log.lines()[seen:] if l.startswith("key ")]
            check(keys == [f"key down vk={vk} lparam=0", f"key up vk={vk} lparam=0"],
                  f"button {code}: key down and up of VK {vk} at the Kodi window")
        seen = len(log.lines())
        tav.remote.type_option_code("111")
        check(within(lambda: "visible 0" in log.lines()[seen:], timeout=20), "111 hides the Kodi window")
        seen = len(log.lines())
        tav.remote.type_option_code("111")
        check(within(lambda: "visible 1" in log.lines()[seen:], timeout=20), "111 again shows it")
        tav.remote.type_option_code("222")
        check(within(lambda: {"close", "exited"} <= set(log.lines()), timeout=20),
              "222 closes Kodi: WM_CLOSE at its window, and the stand-in ends")
        tav.exit()
    finally:
        tav.close()
        stop(mc, grace=0)


@case(labels=KODI_LABELS)
def window_keys_xbmc_first(t):
    """Beside a window of class "Kodi", XBMC's "SDL_app" window keeps its priority: the keys go there only."""
    w, build, work = t.w, t.win64, t.work
    kodi_log = MediaCenterLog(os.path.join(work, "kodi-window.log"))
    xbmc_log = MediaCenterLog(os.path.join(work, "xbmc-window.log"))
    procs = [start_mediacenter(w, build, kodi_log, extra=("--kodi",)), start_mediacenter(w, build, xbmc_log)]
    tav = Tavrelmond(w, build, os.path.join(work, "app"), f"APIControlXBMCOPENGL=true\n{IDS}")
    try:
        tav.remote.press(DOWN)
        xbmc_log.wait_line(lambda l: l == "key up vk=40 lparam=0", what="the key at XBMC's window")
        tav.remote.press(166)
        xbmc_log.wait_line(lambda l: l == "key up vk=38 lparam=0", what="the second key at XBMC's window")
        check(not any(l.startswith("key ") for l in kodi_log.lines()), "the Kodi window got no key")
        check("topmost 1" not in kodi_log.lines(), "and was not raised")
        tav.exit()
    finally:
        tav.close()
        for p in procs:
            stop(p, grace=0)


# -- the real Kodi -------------------------------------------------------------------------------------------
def run_with_kodi(w, build, work, mode, body, password=None):
    with Kodi(os.path.join(work, "kodi")) as kodi:
        tav = Tavrelmond(w, build, os.path.join(work, "app"), kodi_config(kodi, mode, password))
        try:
            check(tav.media_center_windows() == [], f"{mode}: no media-center window on this desktop")
            body(kodi, tav)
            tav.exit()
        finally:
            tav.close()


@case(labels=KODI_LABELS)
def eventserver_down_steps(t):
    """EventServer mode: N presses of Down move Kodi's focus N steps; Tavrelmond greets Kodi by name."""
    w, build, work = t.w, t.win64, t.work
    def body(kodi, tav):
        downs_move_focus(kodi, tav, 5)
        check(kodi.log_since(0, r"ES: Incoming connection from Tavrelmond"), "Kodi logged Tavrelmond's HELO")
    run_with_kodi(w, build, work, "eventserver", body)


@case(labels=KODI_LABELS)
def jsonrpc_down_steps(t):
    """JSON-RPC mode: N presses of Down move Kodi's focus N steps."""
    w, build, work = t.w, t.win64, t.work
    run_with_kodi(w, build, work, "jsonrpc", lambda kodi, tav: downs_move_focus(kodi, tav, 5))


@case(labels=KODI_LABELS)
def all_buttons(t):
    """All 27 buttons, in each of the two modes, give Kodi input with the button's code (one Kodi for both)."""
    w, build, work = t.w, t.win64, t.work
    with Kodi(os.path.join(work, "kodi")) as kodi:
        for mode in ("eventserver", "jsonrpc"):
            tav = Tavrelmond(w, build, os.path.join(work, f"app-{mode}"), kodi_config(kodi, mode))
            try:
                check_all_buttons(kodi, tav, mode)
                tav.exit()
            finally:
                tav.close()


@case(labels=KODI_LABELS)
def jsonrpc_wrong_password(t):
    """A wrong password: Kodi refuses, nothing is forwarded, the program stays responsive and says why."""
    w, build, work = t.w, t.win64, t.work
    def body(kodi, tav):
        kodi.reset_focus()
        mark = kodi.mark()
        for _ in range(3):
            tav.remote.press(DOWN)
            tav.remote.release()
        tip = within(lambda: tip_saying(w, tav, "refused the user name or password"), timeout=30)
        check(tip, f"the tray tip tells the user: {tip!r}")
        check(kodi.handled_keys(mark) == [] and kodi.focused() == HOME_MENU[0],
              "Kodi handled no key and its focus stayed on Movies")
    run_with_kodi(w, build, work, "jsonrpc", body, password="not-" + "the-password")


def restart_while_running(w, build, work, mode):
    def body(kodi, tav):
        downs_move_focus(kodi, tav, 1)
        kodi.stop()
        check(not kodi.running(), f"{mode}: Kodi stopped (Application.Quit)")
        # Presses while Kodi is away are dropped within a bounded time, and the tray tip says why.
        tav.remote.press(166)
        tav.remote.press(DOWN)
        tip = within(lambda: tip_saying(w, tav, "does not answer"), timeout=30)
        check(tip, f"{mode}: presses while Kodi is away: the tray tip says {tip!r}")
        kodi.start()
        check(kodi.focused() == HOME_MENU[0], "Kodi started again, Movies focused")
        mark = kodi.mark()
        for i in range(2):
            tav.remote.press(DOWN)
            kodi.wait_focus(HOME_MENU[i + 1])
        keys = kodi.handled_keys(mark)
        check(keys == [(DOWN, "Down", 10000)] * 2,
              f"{mode}: after the restart each press of Down moves the focus one step (Kodi handled {keys})")
        if mode == "eventserver":
            check(kodi.log_since(0, r"ES: Incoming connection from Tavrelmond"),
                  "Tavrelmond greeted the new Kodi (HELO)")
        tip = within(lambda: tip_saying(w, tav, "last press"), timeout=30)
        check(tip and tip.startswith("Kodi at 127.0.0.1:"),
              f"once presses go through, the tray tip names Kodi and the last press ({tip!r})")
    run_with_kodi(w, build, work, mode, body)


@case(labels=KODI_LABELS)
def eventserver_kodi_restarted(t):
    """EventServer mode: Kodi stopped and started again while Tavrelmond runs; presses work again."""
    w, build, work = t.w, t.win64, t.work
    restart_while_running(w, build, work, "eventserver")


@case(labels=KODI_LABELS)
def jsonrpc_kodi_restarted(t):
    """JSON-RPC mode: Kodi stopped and started again while Tavrelmond runs; presses work again."""
    w, build, work = t.w, t.win64, t.work
    restart_while_running(w, build, work, "jsonrpc")


# -- the program's thread never waits on a Kodi that is away ------------------------------------------------
class HostThatTakesNoConnection:
    """127.0.0.1:port listening with a full queue: connection attempts get no answer at all (as from a machine
    that is off, or whose firewall drops them)."""

    def __init__(self, port):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(0)
        self.filler = socket.create_connection(("127.0.0.1", port), timeout=5)  # the queue's one place

    def close(self):
        self.filler.close()
        self.listener.close()


class HostThatRefusesLate:
    """127.0.0.1:port taking each connection and resetting it, unanswered, after `delay` seconds: a refusal
    that comes late, as on Windows, where a refused connection is retried for 1 to 2 s before it fails."""

    def __init__(self, port, delay=1.5):
        self.delay = delay
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.taken = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            self.taken += 1
            threading.Timer(self.delay, self._reset, args=(conn,)).start()

    @staticmethod
    def _reset(conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()

    def close(self):
        self.stopping = True
        self.thread.join(timeout=5)
        self.listener.close()


# The hidden window must answer within this (a connection attempt on the program's thread would take seconds).
ANSWER_BOUND_MS = 400
HOLD_OFF_S = 5  # the longest hold-off after a failed attempt (JsonRpc::HoldOff)


def presses_while_kodi_is_away(t, host_class):
    """Presses go to a host that is no Kodi (host_class) for ten seconds while the hidden window is asked every
    20 ms whether it answers; then the host goes, the real Kodi starts on its port, and the next press
    arrives."""
    w, build, work = t.w, t.win64, t.work
    port = free_port()
    host = host_class(port)
    config = f"APIControlXBMCOPENGL=jsonrpc\n{IDS}IP Address=127.0.0.1\nport={port}\nuser=kodi\npassword=tavrelmond\n"
    tav = Tavrelmond(w, build, os.path.join(work, "app"), config)
    try:
        answers = {}
        probe = threading.Thread(target=lambda: answers.update(
            parse_fields(tav.app.probe("responsive", "--hwnd", tav.app.hwnd, "--for-ms", "12000",
                                       "--every-ms", "20").stdout)))
        probe.start()
        presses = 0
        started = time.monotonic()
        while time.monotonic() - started < 10:  # presses paced as a user makes them
            tav.remote.press(DOWN if presses % 2 == 0 else 166)
            presses += 1
            time.sleep(0.4)
        last_press = time.monotonic()
        probe.join(timeout=120)
        check(answers.get("sent") and answers.get("answered") == answers.get("sent"),
              f"the hidden window answered every message while {presses} presses were tried ({answers})")
        slowest = float(answers.get("slowest_ms", "inf"))
        check(slowest < ANSWER_BOUND_MS,
              f"it answered within {slowest:.0f} ms at the slowest (median {answers.get('median_ms')} ms; "
              f"bound {ANSWER_BOUND_MS} ms)")
        tip = within(lambda: tip_saying(w, tav, "does not answer"), timeout=30)
        check(tip, f"the tray tip says why the presses went nowhere: {tip!r}")
        if isinstance(host, HostThatRefusesLate):
            check(host.taken >= 2, f"the presses were tried: {host.taken} connections, between hold-offs")

        host.close()
        with Kodi(os.path.join(work, "kodi"), http_port=port) as kodi:
            kodi.reset_focus()
            # Whatever hold-off the last failure began is over before the press that must arrive.
            time.sleep(max(0.0, last_press + 3 + HOLD_OFF_S + 0.5 - time.monotonic()))
            mark = kodi.mark()
            tav.remote.press(DOWN)
            keys = kodi.wait_keys(mark, 1, timeout=20)
            check(keys == [(DOWN, "Down", 10000)], f"Kodi is back on the port: the next press arrives ({keys})")
            tav.exit()
    finally:
        tav.close()
        host.close()


@case(labels=KODI_LABELS, timeout=600)
def jsonrpc_host_takes_no_connection(t):
    """JSON-RPC to a host whose listening queue is full: the presses are tried and dropped, the program's hidden
    window answers messages throughout, and once Kodi is there the next press arrives."""
    presses_while_kodi_is_away(t, HostThatTakesNoConnection)


@case(labels=KODI_LABELS, timeout=600)
def jsonrpc_host_refuses_late(t):
    """JSON-RPC to a host that refuses each connection only after 1.5 s: the same, and the refusals do not
    hold the program's thread either."""
    presses_while_kodi_is_away(t, HostThatRefusesLate)


# -- notifications on Kodi's screen -------------------------------------------------------------------------------
def notifications_shown(w, build, work, mode):
    """The receiver unplugged and plugged in again, and an option code typed: Kodi's log shows its notification
    dialog opening for each (spaced so that the dialog closes between them); with notifications=off it shows
    none."""
    with Kodi(os.path.join(work, "kodi")) as kodi:
        tav = Tavrelmond(w, build, os.path.join(work, f"app-{mode}"), kodi_config(kodi, mode))
        try:
            # In EventServer mode the first packet greets Kodi, which shows "Detected new connection" once.
            downs_move_focus(kodi, tav, 1)
            kodi.wait_notification_closed(0, timeout=30)
            mark = kodi.mark()
            for what, act in (("unplugged", tav.remote.unplug), ("plugged in again", tav.remote.plug),
                              ("option code typed", lambda: tav.remote.type_option_code("12"))):
                opened = kodi.notification_openings(mark)
                act()
                check(within(lambda: kodi.notification_openings(mark) > opened, timeout=20),
                      f"{mode}: {what}: Kodi's log shows its notification dialog opening")
                kodi.wait_notification_closed(mark)
                if what == "plugged in again":
                    tav.remote.wait_reading()
            tav.exit()
        finally:
            tav.close()
        quiet = Tavrelmond(w, build, os.path.join(work, f"quiet-{mode}"),
                           kodi_config(kodi, mode) + "notifications=off\n")
        try:
            downs_move_focus(kodi, quiet, 1)
            kodi.wait_notification_closed(0, timeout=30)
            mark = kodi.mark()
            quiet.remote.unplug()
            quiet.remote.plug()
            check(not within(lambda: kodi.notification_openings(mark) > 0, timeout=8),
                  f"{mode}: with notifications=off Kodi shows none")
            quiet.exit()
        finally:
            quiet.close()


@case(labels=KODI_LABELS, timeout=600)
def eventserver_notifications(t):
    """EventServer mode: the receiver's removal and return and an option code show on Kodi's screen."""
    notifications_shown(t.w, t.win64, t.work, "eventserver")


@case(labels=KODI_LABELS, timeout=600)
def jsonrpc_notifications(t):
    """JSON-RPC mode: the same through GUI.ShowNotification."""
    notifications_shown(t.w, t.win64, t.work, "jsonrpc")


# -- the program's table of Kodi names, against Kodi itself ------------------------------------------------
def read_kodi_table(path):
    """[(code, R1 name, fallback action)] from the rows {"167", "down", "down"}, of app/KodiButtonMap.h."""
    with open(path) as f:
        text = f.read()
    body = text[text.index("KodiButtonMap{{"):]
    body = body[:body.index("}};")]
    return [(int(c), n, a) for c, n, a in re.findall(r'\{"(\d+)",\s*"(\w+)",\s*"(\w+)"\}', body)]


@case(session=None, labels="kodi", lock=None)
def r1_table(t):
    """Each row of the program's table, checked against the real Kodi without Wine: the R1 name, sent as an
    EventServer button for keymap "R1", makes Kodi handle one key with the row's own button code and the action
    Kodi's remote keymap gives it; the row's fallback action (Input.ExecuteAction, for a Kodi without
    Input.ButtonEvent) is that same action, and Kodi knows it (it refuses an unknown one with -32602)."""
    rows = read_kodi_table(t.args.table)
    check(len(rows) == 27 and sorted(r[0] for r in rows) == sorted(b[0] for b in BUTTONS),
          f"the table names the remote's 27 buttons ({len(rows)} rows read)")
    failures = []
    with Kodi(os.path.join(t.work, "kodi")) as kodi:
        client = EventClient(kodi.es_port, "R1 table check")
        client.helo()
        for code, name, action in rows:
            kodi.reset_focus()
            mark = kodi.mark()
            client.press(name)
            try:
                keys = kodi.wait_keys(mark, 1)
            except TimeoutError:
                failures.append(f"{code} {name}: Kodi handled no key for this name")
                continue
            kodi.reset_focus()
            try:
                fallback = kodi.rpc("Input.ExecuteAction", {"action": action})
            except KodiRpcError as e:
                fallback = f"refused {e.error}"
            print(f"  {code:>3} {name:<10} Kodi: key {keys[0][0]:>3} action {keys[0][1]:<13} "
                  f"fallback {action:<13} -> {fallback}", flush=True)
            if [k[0] for k in keys] != [code]:
                failures.append(f"{code} {name}: Kodi handled {keys}, expected one key with code {code}")
            elif keys[0][1].lower() != action:
                failures.append(f"{code} {name}: Kodi's keymap gives {keys[0][1]}, the fallback is {action}")
            if fallback != "OK":
                failures.append(f"{code} {name}: Input.ExecuteAction {action!r} -> {fallback}")
        client.close()
    check(not failures, "every row agrees with Kodi" + "".join("\n  " + f for f in failures))


def options(ap):
    ap.add_argument("--table", default=os.path.join(ROOT, "app", "KodiButtonMap.h"),
                    help="the program's table of Kodi names (r1_table)")


if __name__ == "__main__":
    run(options=options)
