#!/usr/bin/env python3
"""The demo: Tavrelmond.exe under Wine, driven by a virtual receiver, forwarding to a stand-in media center.

  1. Window-key mode: the stand-in XBMC is started by AUtorun; the receiver is plugged in; buttons pressed on
     the remote arrive as key presses at XBMC's window; option code 111 hides and shows XBMC.
  2. HTTP mode: the same buttons arrive as SendKey requests at an HTTP server (the stand-in on loopback, or
     the real XBMC web server given with --http-server HOST:PORT).
  3. Today's Kodi: the real Kodi (Debian's package, headless on a display of its own) driven over its
     EventServer and over JSON-RPC; Kodi's focused item after each press; the receiver unplugged, which Kodi's
     screen shows as a notification, and a picture of Kodi's screen with it.

Usage: demo.py [--http-server HOST:PORT] [--kodi-screenshot FILE] [--no-kodi]
"""

import argparse
import os
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))

from qelmwine import WineSession, wait_for  # noqa: E402
from tavrel import HidFeed, HttpStandIn, Installed, MediaCenterLog, Remote, Win64Build, parse_fields  # noqa: E402
from winetest import stop  # noqa: E402
from kodi import Kodi  # noqa: E402

HOST_BUILD = os.path.join(ROOT, "build", "host")
WORK = os.path.join(ROOT, "build", "demo")

KEYS = {0x28: "Down", 0x26: "Up", 0x27: "Right", 0x25: "Left", 0x0D: "Enter", 0x09: "Tab", 0x31: "1",
        0x32: "2", 0x08: "Backspace", 0x20: "Space", 0x1B: "Esc", 0x49: "I"}
# Buttons pressed, by the key each is mapped to.
BUTTONS = [("Down", 167), ("Down", 167), ("Right", 168), ("Up", 166), ("Left", 169), ("Enter", 11),
           ("Backspace", 216), ("I", 195)]
RECEIVER = "1118", "644"  # USB 045E:0284


def say(text=""):
    print(text, flush=True)


def window_key_mode(w, build):
    say("== 1. Window-key mode (APIControlXBMCOPENGL=true) ==")
    log = MediaCenterLog(os.path.join(WORK, "mediacenter.log"))
    feed = HidFeed(HOST_BUILD)
    autorun = f"{w.windows_path(build.mediacenter)} --log {w.windows_path(log.path)}"
    config = (f"APIControlXBMCOPENGL=true\nVendorID={RECEIVER[0]}\nProductID={RECEIVER[1]}\n"
              f"IP Address=localhost\nport=8080\nAUtorun={autorun}\n")
    app = Installed(w, build, os.path.join(WORK, "keys"), config, hid_dll="virtual")
    try:
        say(f"Starting Tavrelmond.exe from {app.folder} (virtual XBMC.dll, Config.ini in window-key mode)")
        form = app.start(env=feed.env())
        feed.wait_connected()
        say(f"  hidden main window \"{form['title']}\" present (visible={form['visible']})")
        started = log.wait_line(lambda l: l.startswith("started "), what="AUtorun")
        say("  no media center was running: AUtorun started the stand-in XBMC "
            f"({started.split('class=')[1].split()[0]} window \"XBMC\")")
        wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
        say(f"  tray icon shown ({app.tray_icon_colour()})")

        remote = Remote(feed)
        remote.plug()
        remote.wait_reading()
        say("Receiver plugged in (USB 045E:0284): the library reports it, Tavrelmond enables reading")
        seen = len(log.lines())
        for name, code in BUTTONS:
            remote.press(code)
            wait_for(lambda: any(l.startswith("key up") for l in log.lines()[seen:]), timeout=20,
                     what=f"the key for {name}")
            keys = [l for l in log.lines()[seen:] if l.startswith("key ")]
            seen = len(log.lines())
            vk = int(keys[0].split("vk=")[1].split()[0])
            say(f"  button {code:>3} ({name:<9}) -> XBMC received: key down + key up "
                f"{KEYS.get(vk, vk)} (VK 0x{vk:02X})")

        seen = len(log.lines())
        say("Option code 111 on the remote: the arming button (code 213, also Tab), then the digits 1 1 1")
        remote.type_option_code("111")
        wait_for(lambda: "visible 0" in log.lines()[seen:], timeout=20, what="XBMC's window to hide")
        say("  -> XBMC's window is hidden")
        seen = len(log.lines())
        remote.type_option_code("111")
        wait_for(lambda: "visible 1" in log.lines()[seen:], timeout=20, what="XBMC's window to show")
        say("  -> 111 again: XBMC's window is shown")
        say(f"  tray icon now: {app.tray_icon_colour()} (blinks green/red with every button event)")

        remote.unplug()
        wait_for(lambda: app.tray_icon_colour() == "red", timeout=20, what="the red icon")
        say("Receiver unplugged: tray icon turns red")
        remote.plug()
        wait_for(lambda: app.tray_icon_colour() == "green", timeout=20, what="the green icon")
        say("Receiver plugged in again: tray icon green")
        remote.wait_reading()
        seen = len(log.lines())
        remote.press(247)
        wait_for(lambda: any(l.startswith("key up vk=27") for l in log.lines()[seen:]), timeout=20,
                 what="the Esc key")
        say("  button 247 (Esc      ) -> XBMC received: key down + key up Esc (VK 0x1B)")

        app.exit_from_menu()
        say("Exit chosen in the tray icon's menu (right-click, 'Tavrelmond 1.6 -EXIT'): Tavrelmond ended")
    finally:
        feed.close()
    return log


def http_mode(w, build, server):
    say()
    say("== 2. HTTP mode (APIControlXBMCOPENGL=false) ==")
    standin = None
    if server is None:
        standin = HttpStandIn(HOST_BUILD)
        host, port = "127.0.0.1", standin.port
        say(f"HTTP stand-in listening on {host}:{port} (it records each request)")
    else:
        host, port = server.rsplit(":", 1)
        say(f"Sending to the XBMC web server at {host}:{port}")
    feed = HidFeed(HOST_BUILD)
    config = (f"APIControlXBMCOPENGL=false\nVendorID={RECEIVER[0]}\nProductID={RECEIVER[1]}\n"
              f"IP Address={host}\nport={port}\nAUtorun=\n")
    app = Installed(w, build, os.path.join(WORK, "http"), config, hid_dll="virtual")
    mc_log = MediaCenterLog(os.path.join(WORK, "mediacenter-http.log"))
    # HTTP forwarding needs a media-center window too: the stand-in plays XBMC's window.
    from tavrel import start_mediacenter
    mc = start_mediacenter(w, build, mc_log)
    try:
        app.start(env=feed.env())
        feed.wait_connected()
        wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
        remote = Remote(feed)
        remote.plug()
        remote.wait_reading()
        for name, code in BUTTONS[:6]:
            remote.press(code)
            if standin is not None:
                r = standin.next_request()
                body = r["body"]
                say(f"  button {code:>3} ({name:<9}) -> {r['line']}  body \"{body}\"")
            else:
                say(f"  button {code:>3} ({name:<9}) -> sent to {host}:{port}")
        if standin is not None:
            ctype = dict((k.lower(), v) for k, v in standin.requests[0]["headers"]).get("content-type")
            say(f"  (each request: Content-Type {ctype}, one connection per key)")
        app.exit_from_menu()
        say("Tavrelmond ended from its tray menu")
    finally:
        feed.close()
        stop(mc, grace=0)
        if standin is not None:
            standin.close()


# Presses in each Kodi mode: the button code and Kodi's name for it.
KODI_PRESSES = {
    "eventserver": [(167, "down"), (167, "down"), (167, "down"), (166, "up")],
    "jsonrpc": [(167, "down"), (167, "down"), (166, "up"), (166, "up"), (166, "up")],
}


def kodi_mode(w, build, kodi, mode, screenshot=None):
    port = kodi.es_port if mode == "eventserver" else kodi.http_port
    what = (f"UDP to Kodi's EventServer at 127.0.0.1:{port}, keymap R1" if mode == "eventserver" else
            f"Input.ButtonEvent over one keep-alive HTTP connection to 127.0.0.1:{port}/jsonrpc, "
            f"user \"{kodi.user}\"")
    say(f"-- APIControlXBMCOPENGL={mode}: {what}")
    feed = HidFeed(HOST_BUILD)
    config = (f"APIControlXBMCOPENGL={mode}\nVendorID={RECEIVER[0]}\nProductID={RECEIVER[1]}\n"
              f"IP Address=127.0.0.1\nport={port}\nuser={kodi.user}\npassword={kodi.password}\n")
    app = Installed(w, build, os.path.join(WORK, f"kodi-{mode}"), config, hid_dll="virtual")
    try:
        app.start(env=feed.env())
        feed.wait_connected()
        wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
        remote = Remote(feed)
        remote.plug()
        remote.wait_reading()
        local = [x["class"] for x in media_center_windows(w, build)]
        where = f"media-center windows on its desktop: {', '.join(local)}" if local else \
            "no media-center window on its desktop"
        say(f"  Tavrelmond started ({where}); Kodi's focus: {kodi.focused()}")
        for code, name in KODI_PRESSES[mode]:
            before = kodi.focused()
            mark = kodi.mark()
            remote.press(code)
            key, action, _ = kodi.wait_keys(mark, 1)[0]
            after = kodi.wait_focus_change(before)
            say(f"  button {code:>3} ({name:<4}) -> Kodi: key {key}, action {action:<4} -> focused: {after}")
        if screenshot:
            # The receiver unplugged: Kodi's screen says so (a notification, which Kodi's log shows opening).
            kodi.wait_notification_closed(0, timeout=30)
            mark = kodi.mark()
            remote.unplug()
            wait_for(lambda: kodi.notification_openings(mark) > 0, timeout=20, what="Kodi's notification")
            time.sleep(1)  # the notification slides in
            os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
            kodi.screenshot(screenshot, width=960)
            say("  receiver unplugged -> Kodi shows the notification \"Receiver unplugged\"; "
                f"Kodi's screen saved as {os.path.relpath(screenshot, ROOT)}")
        app.exit_from_menu()
        say("  Tavrelmond ended from its tray menu")
    finally:
        feed.close()


MEDIA_CENTER_CLASSES = ("SDL_app", "XBoxMediaCenterPC", "Kodi")


def media_center_windows(w, build):
    lines = w.run([build.winprobe, "windows"]).stdout.splitlines()
    return [parse_fields(l) for l in lines if parse_fields(l).get("class") in MEDIA_CENTER_CLASSES]


def kodi_part(w, build, screenshot):
    say()
    say("== 3. Today's Kodi (the real Kodi, headless on a display of its own) ==")
    # Kodi runs elsewhere (its own display here, often another machine): the stand-in XBMC that AUtorun
    # started in part 1 is closed, so that nothing on Tavrelmond's desktop could take the presses.
    for window in media_center_windows(w, build):
        w.run([build.winprobe, "post", "--hwnd", window["hwnd"], "--msg", "0x10"])
    wait_for(lambda: not media_center_windows(w, build), timeout=20, what="the stand-in XBMC to close")
    t0 = time.monotonic()
    with Kodi(os.path.join(WORK, "kodi")) as kodi:
        version = kodi.rpc("Application.GetProperties", {"properties": ["version"]})["version"]
        say(f"Kodi {version['major']}.{version['minor']} started in {time.monotonic() - t0:.1f} s on display "
            f"{kodi.display} (private profile: web server with Basic authentication, EventServer, loopback only)")
        kodi.reset_focus()
        say(f"  Home window, focused: {kodi.focused()}")
        kodi_mode(w, build, kodi, "eventserver")
        kodi_mode(w, build, kodi, "jsonrpc", screenshot)
    say("Kodi quit (Application.Quit)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--http-server", help="HOST:PORT of a real XBMC web server for the HTTP part")
    ap.add_argument("--kodi-screenshot", default=os.path.join(WORK, "kodi.png"),
                    help="where to save the picture of Kodi's screen (docs/kodi.png is made this way)")
    ap.add_argument("--no-kodi", action="store_true", help="leave out the part with the real Kodi")
    a = ap.parse_args()
    build = Win64Build(os.path.join(ROOT, "build", "win64"))
    os.makedirs(WORK, exist_ok=True)
    say("Tavrelmond demo: Tavrelmond.exe under Wine (own prefix, own X display), a virtual receiver, a stand-in XBMC"
        + ("" if a.no_kodi else ", the real Kodi"))
    say()
    t0 = time.monotonic()
    with WineSession(HOST_BUILD) as w:
        window_key_mode(w, build)
        http_mode(w, build, a.http_server)
        if not a.no_kodi:
            kodi_part(w, build, os.path.abspath(a.kodi_screenshot))
    say()
    say(f"Demo finished in {time.monotonic() - t0:.0f} s; Wine, its X display and every helper have been stopped.")


if __name__ == "__main__":
    main()
