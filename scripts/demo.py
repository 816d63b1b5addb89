#!/usr/bin/env python3
"""The demo: Tavrelmond.exe under Wine, driven by a virtual receiver, forwarding to a stand-in media center.

  1. Window-key mode: the stand-in XBMC is started by AUtorun; the receiver is plugged in; buttons pressed on
     the remote arrive as key presses at XBMC's window; option code 111 hides and shows XBMC.
  2. HTTP mode: the same buttons arrive as SendKey requests at an HTTP server (the stand-in on loopback, or
     the real XBMC web server given with --http-server HOST:PORT).

Usage: demo.py [--http-server HOST:PORT] [--screenshot FILE]
"""

import argparse
import os
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))

from qelmwine import WineSession, wait_for  # noqa: E402
from tavrel import HidFeed, HttpStandIn, Installed, MediaCenterLog, Remote, Win64Build  # noqa: E402
from winetest import stop  # noqa: E402

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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--http-server", help="HOST:PORT of a real XBMC web server for the HTTP part")
    ap.add_argument("--screenshot", help="save a screenshot of the tray menu to this PNG")
    a = ap.parse_args()
    build = Win64Build(os.path.join(ROOT, "build", "win64"))
    os.makedirs(WORK, exist_ok=True)
    say("Tavrelmond demo: Tavrelmond.exe under Wine (own prefix, own X display), a virtual receiver, a stand-in XBMC")
    say()
    t0 = time.monotonic()
    with WineSession(HOST_BUILD) as w:
        window_key_mode(w, build)
        http_mode(w, build, a.http_server)
    say()
    say(f"Demo finished in {time.monotonic() - t0:.0f} s; Wine, its X display and every helper have been stopped.")


if __name__ == "__main__":
    main()
