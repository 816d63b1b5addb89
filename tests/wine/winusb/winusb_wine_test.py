#!/usr/bin/env python3
"""The receiver through the WinUSB route under Wine.

A packet sent on the virtual USB bus, whose receiver is plugged as its interface 0 (as Windows' composite
driver presents it), travels through the stand-in WinUSB (winusb.sys bound by the product's qelmusb.inf,
winusb.dll), the shipped XBMC.dll and the unchanged Tavrelmond.exe to the stand-in media center's window.

Cases:
  package   plugging the receiver installs the WinUSB package for interface 0: the WinUSB service, the device
            interface GUID under DeviceInterfaceGUIDs; the stand-in reads the descriptors and configures the
            function; XBMC.dll (hidlibprobe) finds the receiver by its GUID, reads its IDs from the device
            descriptor, keeps two reads pending while it is read, gives two identical packets as two reports,
            and reports its removal
  keys      window-key mode: a sequence of presses, the same button twice in a row among them, sent at once:
            every key arrives once, in order
  repeats   200 presses of the same button, a few ahead of the program: 200 keys, none lost, none doubled;
            XBMC.dll's statistics line counts 200 reports, no repeat dropped, none discarded
  replug    unplugged, the tray icon turns red; plugged again, the program reads the receiver again and a
            button gives its key
  pipe_errors  the interrupt pipe stalls, then fails with a transaction error: each time XBMC.dll resets it
            after the back-off, once, with no transfer sent to the halted pipe, and the next button arrives

Run by tests/wine/winetest.py: winusb_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...; the cases
share one Wine prefix of their own in the --work folder.
"""

import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "realstack"))

from qelmwine import wait_for, within  # noqa: E402
from realstack import button_packet  # noqa: E402
from realstack_wine_test import BUTTONS, RECEIVER, run_probe, start_tavrelmond  # noqa: E402
from realstack_wine_test import press_for_key as realstack_press_for_key  # noqa: E402
from tavrel import MediaCenterLog, Win64Build, start_mediacenter  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402
from winusbstack import WinUsbStack  # noqa: E402

GUID = "{A44DE763-3637-412B-9680-F59B54DF8F68}"
DEVICE_KEY = "HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_045E&PID_0284&MI_00"


def winusb_stack(t):
    """The cases' session: the bus, the stand-in WinUSB and the product's package in a prefix of their own."""
    return WinUsbStack(t.win64_dir, t.args.work)


def key_downs(log, start=0):
    """The virtual keys of the key-down messages at the stand-in's window, from log line `start` on."""
    return [int(m.group(1), 16) if m.group(1).lower().startswith("0x") else int(m.group(1))
            for m in (re.match(r"key down vk=(\S+)", l) for l in log.lines()[start:]) if m]


def settled(log, count, timeout=30):
    """Waits until `count` key-downs are in the log, then a little longer: what arrives by then is all."""
    if not within(lambda: len(key_downs(log)) >= count, timeout=timeout):
        raise AssertionError(f"{len(key_downs(log))} of {count} keys at the window after {timeout} s")
    time.sleep(1.0)
    return key_downs(log)


def start_rig(stack, name, debug_log=None):
    """The stand-in XBMC, Tavrelmond in window-key mode with the shipped XBMC.dll, and the receiver plugged
    (as interface 0) and read through WinUSB."""
    log = MediaCenterLog(os.path.join(stack.work, f"mediacenter-{name}.log"))
    mc = start_mediacenter(stack.session, Win64Build(stack.win64_dir), log)
    config = (f"APIControlXBMCOPENGL=true\nVendorID={RECEIVER[0]}\nProductID={RECEIVER[1]}\n"
              f"IP Address=127.0.0.1\nport=8080\nAUtorun=\n")
    _, app = start_tavrelmond(stack, name, config, debug_log)
    stack.plug()
    stack.wait_reading()
    return log, mc, app


def press_for_key(stack, log, code, vk):
    """One press, waited for until its key is at the window: one key down and one key up, nothing else. No
    neutral packet after it: nothing here drops a repeat."""
    realstack_press_for_key(stack.bus, log, code, vk, release=False)


@case(session=winusb_stack, timeout=600)
def package(t):
    stack = t.w
    s = stack.plug()
    check(s["interface0"] == 1 and s["descriptors"] >= 2 and s["selects"] == 1,
          f"the stand-in WinUSB read the descriptors and selected the configuration once: {s}")
    query = stack.session.run(["reg", "query", DEVICE_KEY, "/s"], timeout=60).stdout
    check(re.search(r"\bService\s+REG_SZ\s+WinUSB\b", query) is not None,
          "the package installed WinUSB as the function driver of interface 0")
    check(re.search(r"DeviceInterfaceGUIDs\s+REG_MULTI_SZ\s+" + re.escape(GUID), query, re.I) is not None,
          f"the package wrote the device interface GUID {GUID} under DeviceInterfaceGUIDs")

    proc, lines = run_probe(stack, "winusb", ["--count", "100", "--timeout-ms", "60000", "--vid", "45E", "--pid",
                                              "284"])
    wait_for(lambda: "ready" in lines(), timeout=60, what="hidlibprobe ready")
    attach = next((l for l in lines() if l.startswith("attach ") and "vid=045E pid=0284" in l), None)
    check(attach is not None, f"XBMC.dll found the receiver by its interface GUID, IDs from its device "
                              f"descriptor: {attach}")
    s = stack.wait_reading()
    check(s["pending"] == 2, f"while it is read, two reads wait at the bus: {s}")
    before = len(lines())
    for packet in ("00 00 a7 00 41 00", "00 00 a7 00 41 00", "00 00 a6 00 41 00"):
        stack.bus.packet(packet)
    reads = wait_for(lambda: [l for l in lines()[before:] if l.startswith("read ")][:3]
                     if len([l for l in lines()[before:] if l.startswith("read ")]) >= 3 else None,
                     timeout=30, what="three reports")
    got = [re.search(r"bytes=(\w{14})", l).group(1) for l in reads]
    check(got == ["000000A7004100", "000000A7004100", "000000A6004100"],
          f"every packet one report, in order, the identical two included: {got}")
    check(stack.bus.wait("pending", 2)["pending"] == 2, "two reads wait again")
    stack.unplug()
    check(within(lambda: any(l.startswith("remove ") and "vid=045E pid=0284" in l for l in lines()), 30),
          "the removal reached XBMC.dll")
    stop(proc, grace=0)


@case(session=winusb_stack, timeout=600)
def keys(t):
    stack = t.w
    log, mc, app = start_rig(stack, "keys")
    # Arrows and Enter, the same button twice in a row twice: sent back to back, faster than a person presses.
    sequence = [BUTTONS[0], BUTTONS[0], BUTTONS[1], BUTTONS[2], BUTTONS[3], BUTTONS[4], BUTTONS[4], BUTTONS[1]]
    start = len(key_downs(log))
    for code, _ in sequence:
        stack.bus.packet(button_packet(code))
    got = settled(log, start + len(sequence))[start:]
    check(got == [vk for _, vk in sequence], f"every key once, in order: {[hex(v) for v in got]}")
    s = stack.bus.state()
    check(s["dropped"] == 0, f"the bus dropped no packet: {s}")
    app.exit_from_menu()
    stop(mc, grace=0)


@case(session=winusb_stack, timeout=900)
def repeats(t):
    stack = t.w
    debug_log = os.path.join(stack.work, "tavrelmond-repeats.stderr")
    log, mc, app = start_rig(stack, "repeats", debug_log=debug_log)
    code, vk = BUTTONS[0]
    presses = 200
    in_flight = 8  # presses sent ahead of the keys: the program under Wine takes some 30 keys a second
    start = len(key_downs(log))
    for i in range(presses):
        wait_for(lambda: len(key_downs(log)) - start >= i - in_flight, timeout=30, what=f"key {i - in_flight}")
        stack.bus.packet(button_packet(code))
    got = settled(log, presses, timeout=60)
    check(len(got) == presses and set(got) == {vk}, f"{presses} presses of one button: {len(got)} keys "
                                                    f"{sorted(set(got))}, none lost, none doubled")
    app.exit_from_menu()
    stop(mc, grace=0)
    with open(debug_log, errors="replace") as f:
        stats = [l.split('"')[1].replace("\\n", "") for l in f if "XBMC.dll: 045E:0284" in l and '"' in l]
    check(len(stats) == 1 and f"reports {presses} repeats 0" in stats[0] and "discarded 0" in stats[0] and
          f"read {presses};" in stats[0], f"XBMC.dll's statistics: {stats}")


@case(session=winusb_stack, timeout=600)
def replug(t):
    stack = t.w
    log, mc, app = start_rig(stack, "replug")
    press_for_key(stack, log, *BUTTONS[0])
    # The icon blinks with each report and is green again within two more: press until it is green.
    for code, vk in [BUTTONS[1], BUTTONS[0], BUTTONS[1]]:
        if within(lambda: app.tray_icon_colour() == "green", timeout=3):
            break
        press_for_key(stack, log, code, vk)
    check(within(lambda: app.tray_icon_colour() == "green", timeout=3), "icon green before unplugging")
    stack.unplug()
    check(within(lambda: app.tray_icon_colour() == "red", timeout=30),
          "unplugged: the removal reached the program, its tray icon turned red")
    s = stack.bus.state()
    check(s["pending"] == 0, f"XBMC.dll left no read behind: {s}")
    stack.plug()
    stack.wait_reading()
    press_for_key(stack, log, *BUTTONS[4])
    print("plugged again: the program reads the receiver through WinUSB again and a button gives its key")
    app.exit_from_menu()
    stop(mc, grace=0)


@case(session=winusb_stack, timeout=600)
def pipe_errors(t):
    stack = t.w
    log, mc, app = start_rig(stack, "pipe-errors")
    press_for_key(stack, log, *BUTTONS[0])
    errors = [("stall", BUTTONS[1]), ("xact-error", BUTTONS[2]), ("stall", BUTTONS[3])]
    for kind, (code, vk) in errors:
        before = stack.bus.state()
        stack.bus.command(kind)
        s = stack.bus.wait("resets", before["resets"] + 1)
        check(s["errors"] == before["errors"] + 1, f"{kind}: one transfer failed: {s}")
        s = stack.wait_reading()
        check(s["halted"] == 0, f"{kind}: XBMC.dll reset the pipe and two reads wait again: {s}")
        press_for_key(stack, log, code, vk)
        print(f"{kind}: XBMC.dll reset the pipe; button {code:3} then gave its key vk=0x{vk:02X}")
    s = stack.bus.state()
    check(s["errors"] == len(errors) and s["resets"] == len(errors), f"one reset per pipe error: {s}")
    check(s["haltedfails"] == 0, f"no transfer was sent to the halted pipe before its reset: {s}")
    app.exit_from_menu()
    stop(mc, grace=0)


if __name__ == "__main__":
    run()
