#!/usr/bin/env python3
"""The receiver through the real driver stack under Wine.

A packet sent on the virtual USB bus travels through qelmrc.sys, Wine's hidclass.sys and hid.dll, the shipped
XBMC.dll and Tavrelmond.exe to the stand-in media center's window or to the HTTP stand-in.

Cases:
  bus       the bus driver loads, the receiver's device gets qelmrc (descriptors read, configuration selected)
            and the HID class driver polls it; a packet is taken; unplugging removes the device, plugging
            again configures it again
  notify    XBMC.dll (Windows HID backend) reports the receiver's attachment, its reports and its removal
  reading   XBMC.dll touches only the device it reads: a program that reads nothing leaves the receiver's
            polling interval at Wine's 200 ms; reading it lowers the interval to 10 ms, and disconnecting puts
            200 back. While it reads, a failed read (its pending read cancelled), a resume and a query-remove
            that is then cancelled (played to the library's window: Wine sends neither) leave it reading:
            the next packet arrives
  keys      window-key mode: arrows and Enter each arrive once as a key at the stand-in's window; the tray
            icon turns red when the receiver is unplugged; plugged again, keys arrive again
  http      HTTP mode: arrows and Enter each arrive once as a request at the HTTP stand-in
  pipe_errors  window-key mode: the bus stalls the interrupt pipe, then fails a transfer with a transaction
            error; each time qelmrc resets the halted pipe and the next buttons still arrive as keys
  latency_poll200, latency_poll0   (benchmarks, [--presses N]) time from packet to key at the window,
            median and spread, with the HID class driver polling the receiver every 200 ms (Wine's default)
            or at the interval XBMC.dll asked for; then what each hop passed on: the bus's transfers,
            XBMC.dll's statistics (its OutputDebugString line, through WINEDEBUG=warn+debugstr) and the keys
            at the window, also when a press goes missing

Run by tests/wine/winetest.py: realstack_wine_test.py --win64-dir DIR --build DIR --work DIR CASE...; the
cases share one Wine prefix of their own in the --work folder.
"""

import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)

from qelmwine import wait_for, within  # noqa: E402
from realstack import RealStack  # noqa: E402
from tavrel import HttpStandIn, Installed, MediaCenterLog, Win64Build, start_mediacenter  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402

RECEIVER = ("1118", "644")  # VendorID and ProductID as Config.ini spells them: USB 045E:0284
# Buttons (arrows and Enter) and the virtual key each gives at the window.
BUTTONS = [(167, 0x28), (166, 0x26), (168, 0x27), (169, 0x25), (11, 0x0D)]


def real_stack(t, display=True):
    """The cases' session: the bus installed in the real stack's own prefix (in the --work folder)."""
    return RealStack(t.win64_dir, t.args.work, display=display)


@case(session=lambda t: real_stack(t, display=False), timeout=600)
def bus(t):
    stack = t.w
    bus = stack.bus
    bus.plug()
    s = bus.wait("configured", 1)
    check(s["descriptors"] >= 2 and s["selects"] == 1, f"qelmrc read the descriptors and selected the configuration once: {s}")
    s = bus.wait("pending", 1)
    print(f"plugged: qelmrc read {s['descriptors']} descriptors, selected the configuration, transfer pending")
    done = s["done"]
    bus.packet("00 00 a7 00 41 00")
    s = bus.delivered(done)
    check(s["done"] == done + 1 and s["dropped"] == 0, f"the packet was taken once, nothing dropped: {s}")
    print("a packet completed the transfer and the HID class driver's next read started the next one")
    removals = s["removals"]
    bus.unplug()
    s = bus.wait("removals", removals + 1)
    check(s["plugged"] == 0 and s["started"] == 0 and s["pending"] == 0, f"unplugging removed the device and left no transfer: {s}")
    print("unplugged: the device was removed, no transfer left")
    selects = s["selects"]
    bus.plug()
    s = bus.wait("selects", selects + 1)
    s = bus.wait("pending", 1)
    check(s["configured"] == 1, f"plugged again: configured again: {s}")
    print("plugged again: configured again and polled")
    bus.unplug()
    bus.wait("removals", removals + 2)


def install_probe(stack):
    """hidlibprobe.exe with the shipped XBMC.dll beside it, in a folder of its own."""
    import shutil
    folder = os.path.join(stack.work, "probe")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(stack.win64_dir, "tests/winbin/hidlibprobe/hidlibprobe.exe"), folder)
    shutil.copy(os.path.join(stack.win64_dir, "hidlib/XBMC.dll"), folder)
    return os.path.join(folder, "hidlibprobe.exe")


@case(session=real_stack, timeout=600)
def notify(t):
    stack = t.w
    import subprocess
    from qelmwine import WINE64
    probe = install_probe(stack)
    out_path = os.path.join(stack.work, "probe.out")
    with open(out_path, "w") as out:
        proc = subprocess.Popen([WINE64, probe, "watch", "--count", "7", "--timeout-ms", "60000", "--vid", "45E",
                                 "--pid", "284"], env=stack.session.env, stdout=out, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL)
    stack.session.procs.append(proc)

    def lines():
        with open(out_path, errors="replace") as f:
            return [l.strip() for l in f]

    wait_for(lambda: "ready" in lines(), timeout=60, what="hidlibprobe ready")
    bus = stack.bus
    bus.plug()
    wait_for(lambda: any(l.startswith("attach ") and "vid=045E pid=0284" in l for l in lines()), timeout=30,
             what="the attach notification")
    wait_for(lambda: any(l.startswith("change handle=") and "handle=0 " not in l for l in lines()), timeout=30,
             what="the change notification with the receiver's handle")
    bus.wait("pending", 1)
    # XBMC.dll asks the HID class driver to poll the receiver every 10 ms instead of Wine's 200.
    reply = bus.command("poll 0")
    check(reply == "ok poll 10", f"XBMC.dll set the polling interval to 10 ms: {reply}")
    before = len(lines())
    bus.packet("00 00 a7 00 41 00")
    line = wait_for(lambda: next((l for l in lines()[before:] if l.startswith("read ") and "A7" in l), None),
                    timeout=30, what="the report")
    check("result=-1" in line and "bytes=000000A7004100" in line, f"the report read whole: {line}")
    print(f"attach, change and the report reached XBMC.dll: {line}")
    bus.unplug()
    wait_for(lambda: any(l.startswith("remove ") for l in lines()), timeout=30, what="the removal notification")
    print("removal reached XBMC.dll")
    proc.wait(timeout=60)


def run_probe(stack, name, args):
    """Starts hidlibprobe watch with args; returns the process and a function giving its lines so far."""
    import subprocess
    from qelmwine import WINE64
    probe = install_probe(stack)
    out_path = os.path.join(stack.work, f"probe-{name}.out")
    with open(out_path, "w") as out:
        proc = subprocess.Popen([WINE64, probe, "watch"] + args, env=stack.session.env, stdout=out,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    stack.session.procs.append(proc)

    def lines():
        with open(out_path, errors="replace") as f:
            return [l.strip() for l in f]

    return proc, lines


def interval(bus):
    """The receiver's polling interval in the HID class driver (ms), or None while it has no HID device."""
    reply = bus.command("poll 0", expect_ok=False)
    return int(reply.split()[-1]) if reply.startswith("ok poll ") else None


@case(session=real_stack, timeout=600)
def reading(t):
    stack = t.w
    bus = stack.bus
    bus.plug()
    bus.wait("configured", 1)
    bus.wait("pending", 1)
    wait_for(lambda: interval(bus) is not None, timeout=30, what="the receiver's HID device")
    check(interval(bus) == 200, f"the receiver starts at Wine's polling interval: {interval(bus)}")

    # A program that reads another device: the receiver is announced, but not opened for reading.
    proc, lines = run_probe(stack, "other", ["--count", "2", "--timeout-ms", "60000", "--vid", "1234", "--pid",
                                             "5678"])
    proc.wait(timeout=120)
    check("change handle=0 notify=0" in lines() and any("vid=045E pid=0284" in l for l in lines()),
          f"the receiver was announced and not read: {lines()}")
    check(interval(bus) == 200, f"a receiver nobody reads keeps its interval: {interval(bus)}")

    # A program that reads the receiver, and the notices played to the library after "ready".
    proc, lines = run_probe(stack, "receiver", ["--count", "7", "--timeout-ms", "120000", "--vid", "45E", "--pid",
                                                "284", "--poke-library"])
    wait_for(lambda: "ready again" in lines(), timeout=120, what="the probe's pokes")
    out = lines()
    pokes = out[out.index("ready"):out.index("ready again")]
    for wanted in ["library handles=1 reading=1", "poke resume reopened=yes", "poke read failure reopened=yes",
                   "poke read failure again reopened=yes", "poke query-remove granted=yes", "library handles=0 reading=0", "poke remove cancelled"]:
        check(wanted in pokes, f"probe: {wanted}")
    check(interval(bus) == 10, f"read again after the pokes, at 10 ms: {interval(bus)}")
    before = len(lines())
    bus.packet("00 00 a7 00 41 00")
    line = wait_for(lambda: next((l for l in lines()[before:] if l.startswith("read ") and "A7" in l), None),
                    timeout=30, what="the report after the pokes")
    check("bytes=000000A7004100" in line, f"the packet after a failed read, a resume and a cancelled "
                                          f"removal arrived: {line}")
    proc.wait(timeout=60)
    check(interval(bus) == 200, f"Disconnect put the receiver's interval back: {interval(bus)}")
    bus.unplug()


def start_tavrelmond(stack, folder, config, debug_log=None):
    """Tavrelmond with the shipped XBMC.dll; with debug_log, Wine writes what the program sends to
    OutputDebugString (XBMC.dll's statistics) into that file."""
    build = Win64Build(stack.win64_dir)
    app = Installed(stack.session, build, os.path.join(stack.work, folder), config, hid_dll="shipped")
    if debug_log:
        with open(debug_log, "w") as err:
            app.start(env={"WINEDEBUG": "warn+debugstr"}, stderr=err)
    else:
        app.start()
    wait_for(app.tray_icon_shown, timeout=30, what="the tray icon")
    return build, app


def wait_reading(bus):
    """After plugging: the device is configured and polled, and Tavrelmond reads it. The program asks for its
    reports when it handles the change notification; a busy machine may take longer for that than for the
    bus to take packets, and a press the receiver's driver holds as its latest packet before reading began
    is the device's state to XBMC.dll, not an event (it would never arrive). XBMC.dll lowers the polling
    interval to 10 ms when the program asks, so that is waited for. Neutral packets then let the library's
    duplicate filter start from a known report."""
    bus.wait("configured", 1)
    bus.wait("pending", 1)
    wait_for(lambda: interval(bus) == 10, timeout=30, interval=0.01, what="Tavrelmond reading the receiver")
    bus.release()
    bus.release()


def key_lines(log, start):
    return [l for l in log.lines()[start:] if l.startswith("key ")]


def press_for_key(bus, log, code, vk, release=True):
    """Presses a button and waits for its key at the window: by then the program has taken every report
    before it. With `release`, a neutral packet follows (read by the class driver, not awaited at the program)."""
    seen = len(log.lines())
    bus.press(code)
    wait_for(lambda: any(l.startswith(f"key up vk={vk} ") for l in log.lines()[seen:]), timeout=20,
             what=f"the key {vk} for button {code}")
    # One press gives one key: the next polls repeat the packet, and the library passes none of them on.
    if release:
        bus.release()
    keys = key_lines(log, seen)
    check([k.split(" lparam")[0] for k in keys] == [f"key down vk={vk}", f"key up vk={vk}"],
          f"button {code}: one key {vk}: {keys}")


def start_rig(stack, name, mode, http_port=8080, debug_log=None):
    """The stand-in XBMC, Tavrelmond in `mode` with the shipped XBMC.dll, and the receiver plugged in and read.
    Returns the stand-in's log and process, the program and the bus."""
    log = MediaCenterLog(os.path.join(stack.work, f"mediacenter-{name}.log"))
    mc = start_mediacenter(stack.session, Win64Build(stack.win64_dir), log)
    config = (f"APIControlXBMCOPENGL={mode}\nVendorID={RECEIVER[0]}\nProductID={RECEIVER[1]}\n"
              f"IP Address=127.0.0.1\nport={http_port}\nAUtorun=\n")
    _, app = start_tavrelmond(stack, name, config, debug_log)
    stack.bus.plug()
    wait_reading(stack.bus)
    return log, mc, app, stack.bus


@case(session=real_stack, timeout=600)
def keys(t):
    stack = t.w
    log, mc, app, bus = start_rig(stack, "keys", "true")
    for code, vk in BUTTONS:
        press_for_key(bus, log, code, vk)
        print(f"button {code:3}: one key vk=0x{vk:02X} at the window")
    # Every report the program takes blinks the icon, and within two more it is green again. A button whose
    # key has arrived is a report the program has taken (the blink comes first), after all the others: press
    # until the icon is green. From then on only the removal notification can turn it red.
    green = None
    for code, vk in [(167, 0x28), (166, 0x26), (167, 0x28)]:
        press_for_key(bus, log, code, vk, release=False)
        green = within(lambda: app.tray_icon_colour() == "green", timeout=3)
        if green:
            break
    check(green, f"icon green before unplugging: {app.tray_icon_colour()}")
    bus.unplug()
    check(within(lambda: app.tray_icon_colour() == "red", timeout=30),
          "unplugged: the removal reached the program, its tray icon turned red")
    bus.plug()
    wait_reading(bus)
    press_for_key(bus, log, 167, 0x28)
    print("plugged again: the program reads the receiver again and a button gives its key")
    app.exit_from_menu()
    stop(mc, grace=0)


@case(session=real_stack, timeout=600)
def http(t):
    stack = t.w
    standin = HttpStandIn(t.host)
    mc = None
    try:
        _, mc, app, bus = start_rig(stack, "http", "false", http_port=standin.port)
        for code, _ in BUTTONS:
            bus.press(code)
            request = standin.next_request(timeout=20)
            bus.release()
            check(f"command=SendKey&parameter={code} " in request.get("line", ""),
                  f"button {code}: the request sends its key: {request}")
            print(f"button {code:3}: one request: {request.get('line')} body {request.get('body')!r}")
        app.exit_from_menu()
        # The program made each request to its end, and the stand-in recorded each before answering it: once
        # it is closed, every request it took is counted.
        standin.close()
        check(standin.pending() == 0, f"one request per press ({standin.pending()} extra)")
    finally:
        if mc is not None:
            stop(mc, grace=0)
        standin.close()


@case(session=real_stack, timeout=600)
def pipe_errors(t):
    stack = t.w
    log, mc, app, bus = start_rig(stack, "pipe-errors", "true")
    press_for_key(bus, log, 167, 0x28)
    errors = [("stall", 166, 0x26), ("xact-error", 168, 0x27), ("stall", 169, 0x25), ("xact-error", 11, 0x0D)]
    for kind, code, vk in errors:
        before = bus.state()
        bus.command(kind)
        s = bus.wait("resets", before["resets"] + 1)
        check(s["errors"] == before["errors"] + 1, f"{kind}: one transfer failed: {s}")
        s = bus.wait("pending", 1)
        check(s["halted"] == 0, f"{kind}: the pipe was reset and a transfer pends again: {s}")
        press_for_key(bus, log, code, vk)
        print(f"{kind}: qelmrc reset the pipe; button {code:3} then gave its key vk=0x{vk:02X}")
    s = bus.state()
    check(s["errors"] == len(errors) and s["resets"] == len(errors),
          f"one reset per pipe error: {s}")
    check(s["haltedfails"] == 0, f"no transfer was sent to the halted pipe before its reset: {s}")
    app.exit_from_menu()
    stop(mc, grace=0)


@case(session=real_stack, labels="bench", timeout=900)
def latency_poll200(t):
    latency(t.w, 200, t.args.presses)


@case(session=real_stack, labels="bench", timeout=900)
def latency_poll0(t):
    latency(t.w, 0, t.args.presses)


def latency(stack, poll, presses):
    """Packet-to-key times at the window over `presses` presses, the HID class driver polling every `poll`
    ms (0: at the interval XBMC.dll asked for)."""
    debug_log = os.path.join(stack.work, "tavrelmond-latency.stderr")
    log, mc, app, bus = start_rig(stack, "latency", "true", debug_log=debug_log)
    reply = bus.command(f"poll {poll}")
    interval = int(reply.split()[-1])
    check(poll in (0, interval), f"poll interval taken: {reply}")
    rng = random.Random(1)
    samples = []
    first = bus.state()
    keys_before = len([l for l in log.lines() if l.startswith("key down ")])

    def hops():
        """What each hop passed on: the bus's transfers, XBMC.dll's statistics (written when the program
        disconnects), the keys at the window."""
        state = bus.state()
        with open(debug_log, errors="replace") as f:
            library = [l.split('"')[1].replace("\\n", "") for l in f if "XBMC.dll:" in l and '"' in l]
        keys = len([l for l in log.lines() if l.startswith("key down ")]) - keys_before
        return (f"bus took {state['done'] - first['done']} packets (dropped {state['dropped'] - first['dropped']}, "
                f"queued {state['queued']}); {'; '.join(library) or 'XBMC.dll: no statistics yet'}; "
                f"keys down at the window {keys}")
    # Down and Up alternate, so each packet differs from the one before and needs no neutral in between.
    for i in range(presses):
        code, vk = (167, 0x28) if i % 2 == 0 else (166, 0x26)
        seen = len(log.lines())
        # A random phase against the polling.
        time.sleep(rng.uniform(0, interval / 1000.0))
        t0 = time.monotonic()
        bus.packet(f"00 00 {code:02x} 00 41 00")
        deadline = t0 + 30
        while True:
            if any(l.startswith(f"key down vk={vk} ") for l in log.lines()[seen:]):
                samples.append((time.monotonic() - t0) * 1000.0)
                break
            if time.monotonic() > deadline:
                state = bus.state()
                app.exit_from_menu()  # XBMC.dll writes its statistics when the program disconnects
                raise AssertionError(f"press {i}: no key {vk} within 30 s; bus {state}; window log ends "
                                     f"{log.lines()[-4:]}; {hops()}")
            time.sleep(0.001)
    samples.sort()
    q = statistics.quantiles(samples, n=20)
    print(f"latency poll={interval} ms presses={len(samples)} median={statistics.median(samples):.1f} ms "
          f"p5={q[0]:.1f} p95={q[-1]:.1f} min={samples[0]:.1f} max={samples[-1]:.1f}")
    app.exit_from_menu()
    print(f"hops: {presses} presses sent; {hops()}")
    stop(mc, grace=0)


if __name__ == "__main__":
    run(options=lambda ap: ap.add_argument("--presses", type=int, default=200, help="presses per latency run"))
