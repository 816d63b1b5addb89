#!/usr/bin/env python3
"""The demo on the real driver stack: the receiver plugged on a virtual USB bus under Wine, served by qelmrc.sys,
Wine's HID class driver and the shipped XBMC.dll, read by Tavrelmond.exe.

  1. The bus driver and qelmrc are installed into a Wine prefix of their own (once), the receiver is plugged:
     qelmrc reads its descriptors and selects its configuration, the HID class driver polls it.
  2. Window-key mode: buttons arrive as keys at the stand-in media center's window; unplugging turns the tray
     icon red, plugging again brings the keys back.
  3. HTTP mode: the same buttons arrive as requests at the HTTP stand-in.
  4. Latency from packet to key: Wine's polling interval against the one XBMC.dll asks for.

Usage: demo-realstack.py [--presses N]   (needs the host and win64 builds)
"""

import argparse
import os
import statistics
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine", "realstack"))

from qelmwine import wait_for  # noqa: E402
from realstack import RealStack, button_packet  # noqa: E402
from tavrel import HttpStandIn, Installed, MediaCenterLog, Win64Build, start_mediacenter  # noqa: E402
from winetest import stop  # noqa: E402

HOST_BUILD = os.path.join(ROOT, "build", "host")
WIN64_BUILD = os.path.join(ROOT, "build", "win64")
WORK = os.path.join(HOST_BUILD, "wine-work", "realstack")  # the prefix the Wine tests installed the bus in
BUTTONS = [("Down", 167, 0x28), ("Up", 166, 0x26), ("Right", 168, 0x27), ("Left", 169, 0x25),
           ("Enter", 11, 0x0D)]
CONFIG = "VendorID=1118\nProductID=644\nAUtorun=\n"


def say(text=""):
    print(text, flush=True)


def start_program(stack, folder, config):
    app = Installed(stack.session, Win64Build(WIN64_BUILD), os.path.join(WORK, folder), config, hid_dll="shipped")
    app.start()
    wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
    return app


def ready(bus):
    """Configured, polled, and read by Tavrelmond: XBMC.dll lowers the polling interval to 10 ms when the program
    asks for the receiver's reports; a press before that is the device's state, not an event."""
    bus.wait("configured", 1)
    bus.wait("pending", 1)
    wait_for(lambda: bus.command("poll 0", expect_ok=False) == "ok poll 10", timeout=30,
             what="Tavrelmond reading the receiver")
    bus.release()
    bus.release()


def window_keys(stack):
    say("== Window-key mode ==")
    build = Win64Build(WIN64_BUILD)
    log = MediaCenterLog(os.path.join(WORK, "demo-mediacenter.log"))
    mc = start_mediacenter(stack.session, build, log)
    app = start_program(stack, "demo-keys", "APIControlXBMCOPENGL=true\nIP Address=localhost\nport=8080\n" + CONFIG)
    bus = stack.bus
    bus.plug()
    s = bus.wait("configured", 1)
    say(f"Receiver plugged on the virtual bus: qelmrc read {s['descriptors']} descriptors and selected the "
        "configuration")
    ready(bus)
    say("  the HID class driver polls it; XBMC.dll found it and Tavrelmond reads it")
    for name, code, vk in BUTTONS:
        seen = len(log.lines())
        bus.press(code)
        wait_for(lambda: any(l.startswith(f"key up vk={vk} ") for l in log.lines()[seen:]), timeout=20,
                 what=f"the key for {name}")
        bus.release()
        say(f"  button {code:3} ({name:<5}) -> packet {button_packet(code)} -> key VK 0x{vk:02X} at the window")
    # Each report blinks the icon green and red in turn; a neutral packet or two leave it green, so that only
    # the removal can turn it red.
    for _ in range(3):
        if app.tray_icon_colour() == "green":
            break
        bus.release()
        time.sleep(0.3)
    bus.unplug()
    wait_for(lambda: app.tray_icon_colour() == "red", timeout=30, what="the red icon")
    say("Receiver unplugged: qelmrc's device removed, the tray icon turned red")
    bus.plug()
    ready(bus)
    seen = len(log.lines())
    bus.press(167)
    wait_for(lambda: any(l.startswith("key up vk=40 ") for l in log.lines()[seen:]), timeout=20, what="Down")
    bus.release()
    say("Plugged again: button 167 -> key Down at the window")
    app.exit_from_menu()
    stop(mc, grace=0)
    return log


def http(stack):
    say()
    say("== HTTP mode ==")
    standin = HttpStandIn(HOST_BUILD)
    build = Win64Build(WIN64_BUILD)
    log = MediaCenterLog(os.path.join(WORK, "demo-mediacenter-http.log"))
    mc = start_mediacenter(stack.session, build, log)
    try:
        app = start_program(stack, "demo-http",
                            f"APIControlXBMCOPENGL=false\nIP Address=127.0.0.1\nport={standin.port}\n" + CONFIG)
        bus = stack.bus
        ready(bus)
        for name, code, _ in BUTTONS:
            bus.press(code)
            r = standin.next_request()
            bus.release()
            say(f"  button {code:3} ({name:<5}) -> {r['line']}")
        app.exit_from_menu()
    finally:
        stop(mc, grace=0)
        standin.close()


def latency(stack, presses):
    say()
    say("== Latency, packet to key at the window ==")
    build = Win64Build(WIN64_BUILD)
    log = MediaCenterLog(os.path.join(WORK, "demo-mediacenter-latency.log"))
    mc = start_mediacenter(stack.session, build, log)
    app = start_program(stack, "demo-latency",
                        "APIControlXBMCOPENGL=true\nIP Address=localhost\nport=8080\n" + CONFIG)
    bus = stack.bus
    ready(bus)
    # First at the interval XBMC.dll asked for when it opened the receiver, then at Wine's default. Down and Up
    # alternate over both runs: a packet equal to the one before would be no new report.
    sent = 0
    for poll in (0, 200):
        interval = int(bus.command(f"poll {poll}").split()[-1])
        samples = []
        for i in range(presses):
            code, vk = (167, 40) if sent % 2 == 0 else (166, 38)
            sent += 1
            seen = len(log.lines())
            time.sleep((i * 37 % 100) / 100.0 * interval / 1000.0)
            t0 = time.monotonic()
            bus.packet(button_packet(code))
            wait_for(lambda: any(l.startswith(f"key down vk={vk} ") for l in log.lines()[seen:]), timeout=30,
                     interval=0.001, what="the key")
            samples.append((time.monotonic() - t0) * 1000.0)
        who = "Wine's default" if poll else "asked for by XBMC.dll"
        say(f"  polling every {interval:3} ms ({who}): median {statistics.median(samples):.1f} ms, "
            f"max {max(samples):.1f} ms over {presses} presses")
    app.exit_from_menu()
    stop(mc, grace=0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--presses", type=int, default=40)
    a = ap.parse_args()
    t0 = time.monotonic()
    say("The receiver on the real driver stack under Wine: virtual USB bus -> qelmrc.sys -> hidclass.sys -> "
        "hid.dll -> XBMC.dll -> Tavrelmond.exe")
    with RealStack(WIN64_BUILD, WORK) as stack:
        window_keys(stack)
        http(stack)
        latency(stack, a.presses)
    say()
    say(f"Demo finished in {time.monotonic() - t0:.0f} s; Wine and its X display have been stopped.")


if __name__ == "__main__":
    main()
