"""Key presses on the remote, end to end under Wine: the virtual XBMC.dll fed from the host, the real
Tavrelmond.exe, the stand-in media center and the host HTTP stand-in.

Run by tests/wine/winetest.py: e2e_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...
"""

import os
import socket
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmwine import wait_for, within  # noqa: E402
from tavrel import (HidFeed, HttpStandIn, Installed, MediaCenterLog, ReadingReceiver, Remote,  # noqa: E402
                    start_mediacenter)
from winetest import case, check, run, stop  # noqa: E402

IDS = "VendorID=1118\nProductID=644\n"
ARROWS_AND_ENTER = [(167, 0x28), (166, 0x26), (168, 0x27), (169, 0x25), (11, 0x0D)]


class Rig:
    """Tavrelmond with the virtual XBMC.dll, the stand-in XBMC started first, a virtual receiver plugged in."""

    def __init__(self, w, build, work, mode, extra_config="", http_port=8080, mc_args=()):
        self.w = w
        self.log = MediaCenterLog(os.path.join(work, "mc.log"))
        self.mc = start_mediacenter(w, build, self.log, extra=mc_args)
        config = f"APIControlXBMCOPENGL={mode}\n{IDS}IP Address=127.0.0.1\nport={http_port}\n{extra_config}"
        reading = ReadingReceiver(w, build, os.path.join(work, "app"), config)
        self.feed, self.app, self.remote = reading.feed, reading.app, reading.remote

    def keys_since(self, seen):
        return [l for l in self.log.lines()[seen:] if l.startswith("key ")]

    def close(self):
        self.feed.close()


@case()
def window_keys(t):
    """Arrows and Enter arrive as one key press each; a repeated packet is no new key; removal and return."""
    w, build, work = t.w, t.win64, t.work
    rig = Rig(w, build, work, "true")
    try:
        seen = len(rig.log.lines())
        for code, vk in ARROWS_AND_ENTER:
            rig.remote.press(code)
            wait_for(lambda: len(rig.keys_since(seen)) >= 2, timeout=20, what=f"the key of button {code}")
            keys = rig.keys_since(seen)
            check(keys == [f"key down vk={vk} lparam=0", f"key up vk={vk} lparam=0"],
                  f"button {code}: key down and up of VK {vk}")
            seen = len(rig.log.lines())
        # The receiver repeats its packet on every poll: the library passes it once.
        check(rig.feed.send("button 1 11") == "ok duplicate", "a repeated packet is dropped by the library")
        rig.remote.press(167)
        wait_for(lambda: len(rig.keys_since(seen)) >= 2, timeout=20, what="the next key")
        check(len(rig.keys_since(seen)) == 2, "and no key was sent for it")

        rig.remote.unplug()
        check(within(lambda: rig.app.tray_icon_colour() == "red", timeout=20), "receiver removed: the icon turns red")
        rig.remote.plug()
        check(within(lambda: rig.app.tray_icon_colour() == "green", timeout=20),
              "receiver back: the icon turns green")
        rig.remote.wait_reading()
        seen = len(rig.log.lines())
        rig.remote.press(166)
        wait_for(lambda: len(rig.keys_since(seen)) >= 2, timeout=20, what="a key after the return")
        check(rig.keys_since(seen)[0] == "key down vk=38 lparam=0", "reading is enabled for the new handle")
        check(rig.app.exit_from_menu() == 0, "exit")
    finally:
        rig.close()


@case()
def http_keys(t):
    """In HTTP mode the same buttons become SendKey requests, and no key reaches the window."""
    w, build, work = t.w, t.win64, t.work
    server = HttpStandIn(w.build_dir)
    try:
        rig = Rig(w, build, work, "false", http_port=server.port)
        try:
            seen = len(rig.log.lines())
            for code, _ in ARROWS_AND_ENTER:
                rig.remote.press(code)
                r = server.next_request()
                check(r["line"] == f"POST /xbmcCmds/xbmcHttp?command=SendKey&parameter={code} HTTP/1.0"
                      and r["body"] == "0", f"button {code}: {r['line']}")
                headers = {k.lower(): v for k, v in r["headers"]}
                check(headers.get("content-type") == "application/x-www-form-urlencoded", "content type")
            check(rig.keys_since(seen) == [], "no key message in HTTP mode")
            check(rig.app.exit_from_menu() == 0, "exit")
            # The program made each request to its end; the server recorded each before answering it, and
            # once closed, every request it recorded is counted.
            server.close()
            check(server.pending() == 0, "one request per button")
        finally:
            rig.close()
    finally:
        server.close()


@case()
def kodi_eventserver(t):
    """EventServer mode: HELO, then the button down and up by its R1 name, and no window key; BYE at exit."""
    w, build, work = t.w, t.win64, t.work
    kodi = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    kodi.bind(("127.0.0.1", 0))
    kodi.settimeout(20)
    rig = Rig(w, build, work, "eventserver", http_port=kodi.getsockname()[1])
    try:
        rig.remote.press(167)
        helo, down, up = (kodi.recv(2048) for _ in range(3))
        check(helo[:8] == b"XBMC\x02\x00\x00\x01" and helo[32:43] == b"Tavrelmond\x00", "HELO from Tavrelmond")
        check(down[6:8] == b"\x00\x03" and down[32:] == b"\x00\x00\x00\x33\x00\x00R1\x00down\x00",
              "BUTTON R1 down, pressed (use-name, down, no-repeat, queue)")
        check(up[32:] == b"\x00\x00\x00\x35\x00\x00R1\x00down\x00", "and released")
        check(rig.keys_since(0) == [], "no window key in this mode")
        check(rig.app.exit_from_menu() == 0, "exit")
        bye = kodi.recv(2048)
        check(bye[6:8] == b"\x00\x02" and bye[18:22] == helo[18:22], "BYE at exit, with the greeting's token")
    finally:
        rig.close()
        kodi.close()


@case()
def option_111(t):
    """Option code 111 hides the media center's window, and again shows it."""
    w, build, work = t.w, t.win64, t.work
    rig = Rig(w, build, work, "true")
    try:
        seen = len(rig.log.lines())
        rig.remote.type_option_code("111")
        check(within(lambda: "visible 0" in rig.log.lines()[seen:], timeout=20), "111 hides XBMC's window")
        seen = len(rig.log.lines())
        rig.remote.type_option_code("111")
        check(within(lambda: "visible 1" in rig.log.lines()[seen:], timeout=20), "111 again shows it")
        rig.app.exit_from_menu()
    finally:
        rig.close()


@case()
def option_222(t):
    """Option code 222 closes the media center; the next 222 starts it again from remoterun, minimized."""
    w, build, work = t.w, t.win64, t.work
    log2 = MediaCenterLog(os.path.join(work, "mc-restarted.log"))
    remoterun = f"remoterun={w.windows_path(build.mediacenter)} --log {w.windows_path(log2.path)} --restarted\n"
    rig = Rig(w, build, work, "true", extra_config=remoterun)
    try:
        rig.remote.type_option_code("222")
        check(within(lambda: "exited" in rig.log.lines(), timeout=20) and "close" in rig.log.lines(),
              "222 closes XBMC: WM_CLOSE at its window, then it exits")
        check(within(lambda: rig.mc.poll() is not None, timeout=20), "XBMC's process ended")
        rig.remote.type_option_code("222")
        started = log2.wait_line(lambda l: l.startswith("started "), what="XBMC started from remoterun")
        check(started.endswith("--restarted"), "the second 222 starts remoterun's command line")
        check(within(lambda: "sizestate minimized" in log2.lines(), timeout=20), "started minimized")
        rig.app.exit_from_menu()
    finally:
        rig.close()


@case()
def media_center_raised(t):
    """The receiver's arrival checks the media center: its window is made top-most and active, the OpenGL
    window rather than the DirectX one when both exist, the DirectX window when it is the only one."""
    w, build, work = t.w, t.win64, t.work
    for classes in (["SDL_app"], ["XBoxMediaCenterPC"], ["SDL_app", "XBoxMediaCenterPC"]):
        logs = {}
        procs = []
        for cls in classes:
            logs[cls] = MediaCenterLog(os.path.join(work, f"{cls}-{len(classes)}.log"))
            procs.append(start_mediacenter(w, build, logs[cls], directx=cls == "XBoxMediaCenterPC"))
        feed = HidFeed(w.build_dir)
        app = Installed(w, build, os.path.join(work, f"app-{len(classes)}"), f"APIControlXBMCOPENGL=true\n{IDS}",
                        hid_dll="virtual")
        try:
            app.start(env=feed.env())
            feed.wait_connected()
            wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
            raised = classes[0]
            hwnd = logs[raised].starts()[0].split("hwnd=")[1].split()[0]
            Remote(feed).plug()
            logs[raised].wait_line(lambda l: l == "topmost 1", what=f"the {raised} window made top-most")
            fg = Installed.parse_probe(app.probe("foreground").stdout)
            check(int(fg["hwnd"], 16) == int(hwnd), f"{' and '.join(classes)} present: the {raised} window is "
                  "top-most and in the foreground")
            for other in classes[1:]:
                check("topmost 1" not in logs[other].lines(), f"the {other} window is left alone")
            app.exit_from_menu()
        finally:
            feed.close()
            for p in procs:
                stop(p, grace=0)


if __name__ == "__main__":
    run()
