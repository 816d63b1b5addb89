"""XBMC.dll under Wine, loaded by name by the probe program (tests/winbin/hidlibprobe).

Run by tests/wine/winetest.py: hidlib_wine.py --win64-dir D --win32-dir D32 --build B --work W CASE...

    exports
        the seven exports by their plain names; the calls that need no connection answer "none"/false.
    virtual
        the virtual build fed by hidfeed: attach, change, reports and removal reach the window as posted
        messages, in order, and Read hands out the reports.
    windows
        the shipped build (Windows HID backend): Connect and Disconnect succeed. No receiver exists here; Wine 8
        does present its own virtual mouse and keyboard as HID devices (vendor 845E), and those must be
        announced as attaches followed by one change, and be devices Wine registered. The library holds no
        handle to a device nobody reads, and one to the device the program reads. What needs hardware or a real
        Windows to happen by itself is played to the library's window: a device notice, a resume
        (WM_POWERBROADCAST, which Wine never sends), a failed read (the pending read cancelled), the system
        asking to remove the device read and then cancelling (handle notices: Wine 8 accepts the registration
        but never sends them).
    export_names (no Wine)
        both builds for both architectures export exactly the seven undecorated names; on win32 each one is
        the __stdcall function with its argument size (Connect is Connect@4); no runtime DLL is imported.
"""

import io
import os
import queue
import re
import shutil
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from qelmwine import WineSession  # noqa: E402
from winetest import case, fail, run, stop  # noqa: E402

EXPORTS = ["Connect", "Disconnect", "GetHandle", "GetProductID", "GetVendorID", "Read", "SetReadNotify"]
LINE_TIMEOUT = 60.0  # the first Wine start in a fresh prefix is slow


def need_file(path, what):
    if not os.path.isfile(path):
        fail(f"{what} is missing: {path} (build the win64 and win32 presets first)")
    return path


def dlls(win_dir):
    return {"shipped": os.path.join(win_dir, "hidlib", "XBMC.dll"),
            "virtual": os.path.join(win_dir, "hidlib", "virtual", "XBMC.dll")}


def probe_exe(win64_dir):
    return need_file(os.path.join(win64_dir, "tests", "winbin", "hidlibprobe", "hidlibprobe.exe"),
                     "the probe program")


def stage(work_dir, name, dll, probe):
    """A folder with the probe and one XBMC.dll beside it, as the program is installed."""
    folder = os.path.join(work_dir, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy2(need_file(probe, "the probe program"), folder)
    shutil.copy2(need_file(dll, "XBMC.dll"), os.path.join(folder, "XBMC.dll"))
    return folder, os.path.join(folder, os.path.basename(probe))


class Lines:
    """Reads a pipe on a thread; lines are taken with a timeout."""

    def __init__(self, stream, name):
        self.name = name
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for raw in stream:
            self.queue.put(raw.rstrip("\r\n"))
        self.queue.put(None)

    def next(self, timeout=LINE_TIMEOUT):
        try:
            line = self.queue.get(timeout=timeout)
        except queue.Empty:
            fail(f"{self.name}: no line within {timeout:.0f} s; so far: {self.seen}")
        if line is None:
            fail(f"{self.name}: ended early; so far: {self.seen}")
        self.seen.append(line)
        return line

    def expect(self, wanted):
        line = self.next()
        if line != wanted:
            fail(f"{self.name}: expected {wanted!r}, got {line!r}; so far: {self.seen}")

    def skip_header(self):
        """The probe first reports where it loaded XBMC.dll from and the seven look-ups."""
        loaded = self.next()
        if not loaded.startswith("loaded ") or not loaded.lower().endswith("xbmc.dll"):
            fail(f"{self.name}: XBMC.dll not loaded: {loaded!r}")
        for name in ["Connect", "Disconnect", "GetHandle", "GetVendorID", "GetProductID", "SetReadNotify",
                     "Read"]:
            self.expect(f"export {name} found")


@case()
def exports(t):
    wine = t.w
    probe = probe_exe(t.win64_dir)
    for kind, dll in dlls(t.win64_dir).items():
        folder, exe = stage(t.work, f"exports-{kind}", dll, probe)
        result = wine.run([exe, "exports"], cwd=folder, timeout=120)
        lines = result.stdout.replace("\r", "").splitlines()
        print("\n".join(f"[{kind}] {line}" for line in lines), flush=True)
        if result.returncode != 0:
            fail(f"{kind}: probe exited with {result.returncode}")
        expected = [f"export {n} found" for n in ["Connect", "Disconnect", "GetHandle", "GetVendorID",
                                                  "GetProductID", "SetReadNotify", "Read"]] + [
            "call GetHandle 0",         # nothing attached before Connect
            "call GetVendorID 0",
            "call GetProductID 0",
            "call SetReadNotify 0",     # false: handle 0
            "call Read-null 0",
            "call Read 0 untouched=yes overrun=no",
            "call Disconnect 0",        # not connected
            "call Connect-0 0",         # no window
        ]
        if not lines or not lines[0].startswith("loaded ") or folder.split(os.sep)[-1] not in lines[0]:
            fail(f"{kind}: XBMC.dll not loaded from the probe's folder: {lines[:1]}")
        if lines[1:] != expected:
            fail(f"{kind}: expected {expected}, got {lines[1:]}")
    # The virtual build without a feeder to connect to: Connect reports failure and nothing is posted.
    folder, exe = stage(t.work, "virtual-no-feeder", dlls(t.win64_dir)["virtual"], probe)
    env = {"QELM_VIRTUAL_HID_PORT": ""}
    result = wine.run([exe, "watch", "--count", "0", "--timeout-ms", "60000"], cwd=folder, env=env, timeout=120)
    lines = result.stdout.replace("\r", "").splitlines()
    print("\n".join(f"[virtual, no port] {line}" for line in lines), flush=True)
    if result.returncode != 0 or lines[8:11] != ["connect 0", "ready", "disconnect 0"]:
        fail(f"virtual build without a port: expected a failed Connect, got {lines[8:]}")


@case(session=None)
def virtual(t):
    probe = probe_exe(t.win64_dir)
    folder, exe = stage(t.work, "virtual", dlls(t.win64_dir)["virtual"], probe)
    feeder = subprocess.Popen([t.host_tool("tools/hidfeed/hidfeed"), "--port", "0", "--accept-timeout", "120"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        feed = Lines(feeder.stdout, "hidfeed")
        listening = feed.next()
        if not listening.startswith("listening "):
            fail(f"hidfeed: {listening!r}")
        port = listening.split()[1]
        with WineSession(t.host) as wine:
            proc = wine.start([exe, "watch", "--count", "10", "--timeout-ms", "120000"], cwd=folder,
                              env={"QELM_VIRTUAL_HID_PORT": port}, stdout=subprocess.PIPE)
            out = Lines(io.TextIOWrapper(proc.stdout, errors="replace"), "probe")
            out.skip_header()
            out.expect("connect -1")
            feed.expect("connected")
            out.expect("ready")

            def send(line, reply):
                feeder.stdin.write(line + "\n")
                feeder.stdin.flush()
                feed.expect(reply)

            pad = "EE" * 10  # the probe's marker after a 7-byte report: untouched
            # Two devices arrive; the program's change handler finds the receiver and asks for its reports.
            send("attach 1 045E 0284", "ok 1")
            out.expect("attach 1 vid=045E pid=0284")
            send("attach 2 1234 5678", "ok 2")
            out.expect("attach 2 vid=1234 pid=5678")
            send("change", "ok")
            out.expect("change handle=1 notify=-1")
            # Reports: one message each, a repeat dropped, the other device silent (its notify is off).
            send("report 1 00 00 00 A7 00 41 00", "ok")
            out.expect("read 1 result=-1 bytes=000000A7004100" + pad + " overrun=no")
            send("report 1 00 00 00 A7 00 41 00", "ok duplicate")
            send("report 2 00 01 02", "ok held")
            long_report = " ".join(f"{i:02X}" for i in range(1, 41))
            send("report 1 " + long_report, "ok")
            out.expect("read 1 result=-1 bytes=" + "".join(f"{i:02X}" for i in range(1, 18)) + " overrun=no")
            send("button 1 176", "ok")  # hidfeed's shorthand for the receiver's report of button code 176
            out.expect("read 1 result=-1 bytes=000000B0004100" + pad + " overrun=no")
            # Removal: the removed device's IDs can still be read when the message is handled.
            send("remove 1", "ok")
            out.expect("remove 1 vid=045E pid=0284")
            send("change", "ok")
            out.expect("change handle=0 notify=0")
            # The feeder goes away: its remaining device is reported removed, then a change.
            feeder.stdin.close()
            out.expect("remove 2 vid=1234 pid=5678")
            out.expect("change handle=0 notify=0")
            out.expect("disconnect -1")
            threads = out.next()
            m = re.fullmatch(r"threads before=(\d+) after=(\d+)", threads)
            if not m or m.group(1) != m.group(2):
                fail(f"threads left behind after Disconnect: {threads!r}")
            code = proc.wait(timeout=60)
            if code != 0:
                fail(f"probe exited with {code}")
            print("probe:\n  " + "\n  ".join(out.seen) + "\nhidfeed:\n  " + "\n  ".join(feed.seen), flush=True)
    finally:
        stop(feeder, grace=0)
    # The program's end with the feeder still there: Disconnect closes the connection; and the process may also
    # end (and free the library) without Disconnect, and must end cleanly.
    for ending in ["disconnect", "exit-connected"]:
        virtual_ending(t, exe, folder, ending)


def virtual_ending(t, exe, folder, ending):
    feeder = subprocess.Popen([t.host_tool("tools/hidfeed/hidfeed"), "--port", "0", "--accept-timeout", "120"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        feed = Lines(feeder.stdout, f"hidfeed ({ending})")
        port = feed.next().split()[-1]
        extra = ["--exit-connected"] if ending == "exit-connected" else []
        with WineSession(t.host) as wine:
            proc = wine.start([exe, "watch", "--count", "1", "--timeout-ms", "120000"] + extra, cwd=folder,
                              env={"QELM_VIRTUAL_HID_PORT": port}, stdout=subprocess.PIPE)
            out = Lines(io.TextIOWrapper(proc.stdout, errors="replace"), f"probe ({ending})")
            out.skip_header()
            out.expect("connect -1")
            feed.expect("connected")
            out.expect("ready")
            feeder.stdin.write("attach 3 045E 0284\n")
            feeder.stdin.flush()
            feed.expect("ok 1")
            out.expect("attach 1 vid=045E pid=0284")
            if ending == "disconnect":
                out.expect("disconnect -1")
            else:
                out.expect("exit connected")
                out.expect("freed")
            code = proc.wait(timeout=60)
            if code != 0:
                fail(f"{ending}: probe exited with {code}; it printed {out.seen}")
            # The library's side of the connection is closed: the feeder's next line finds nobody.
            feeder.stdin.write("change\n")
            feeder.stdin.flush()
            feed.expect("closed")
            print(f"{ending}: the probe ended cleanly and the feeder saw the connection close", flush=True)
    finally:
        stop(feeder, grace=0)


def poked_lines(result):
    """The probe's lines from "ready" on; the last one is the thread count."""
    lines = result.stdout.replace("\r", "").splitlines()
    return lines[lines.index("ready"):] if "ready" in lines else lines


def registry_hid_devices(prefix):
    """(vid, pid) of the HID device instances Wine has registered in the prefix (Enum\\HID)."""
    found = set()
    with open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace") as reg:
        for m in re.finditer(r"\[System\\\\CurrentControlSet\\\\Enum\\\\HID\\\\VID_([0-9A-Fa-f]{4})&PID_([0-9A-Fa-f]{4})",
                             reg.read()):
            found.add((m.group(1).upper(), m.group(2).upper()))
    return found


@case()
def windows(t):
    wine = t.w
    probe = probe_exe(t.win64_dir)
    folder, exe = stage(t.work, "windows", dlls(t.win64_dir)["shipped"], probe)
    # Everything Connect found is posted before "ready"; with --count 0 the probe stops right there.
    result = wine.run([exe, "watch", "--count", "0", "--timeout-ms", "60000", "--recycle"], cwd=folder,
                      timeout=120)
    registered = registry_hid_devices(wine.prefix)
    # The paths that need hardware or a real Windows, played to the library's window: first while the program
    # reads nothing, then while it reads Wine's first HID device (its IDs come from the first run).
    first_device = re.search(r"^attach 1 vid=([0-9A-F]{4}) pid=([0-9A-F]{4})", result.stdout.replace("\r", ""),
                             re.M)
    ids = ["--vid", first_device.group(1), "--pid", first_device.group(2)] if first_device else []
    poked_idle = wine.run([exe, "watch", "--count", "0", "--timeout-ms", "60000", "--poke-library"], cwd=folder,
                          timeout=120)
    poked_reading = wine.run([exe, "watch", "--count", "0", "--timeout-ms", "60000", "--poke-library"] + ids,
                             cwd=folder, timeout=120)
    # The process may also end (and free the library) while connected, with the readers running.
    ended = wine.run([exe, "watch", "--count", "0", "--timeout-ms", "60000", "--exit-connected"], cwd=folder,
                     timeout=120)
    ended_lines = ended.stdout.replace("\r", "").splitlines()
    if ended.returncode != 0 or ended_lines[-2:] != ["exit connected", "freed"]:
        fail(f"ending while connected: exit code {ended.returncode}, output {ended_lines[8:]}")
    lines = result.stdout.replace("\r", "").splitlines()
    print("\n".join(lines), flush=True)
    if result.returncode != 0:
        fail(f"probe exited with {result.returncode}")
    body = lines[8:-2]
    if body[:1] != ["connect -1"] or body[-2:] != ["ready", "disconnect -1"]:
        fail(f"Connect and Disconnect must succeed around the announcements: {body}")
    announced = body[1:-2]
    # Every library thread ends with Disconnect. Wine 8 starts one thread of its own for the first
    # RegisterDeviceNotification and keeps it (without that call the count returns to where it was), so: at most
    # that one more after the first round, and a second round leaves the count where the first left it.
    first = re.fullmatch(r"threads before=(\d+) after=(\d+)", lines[-2])
    again = re.fullmatch(r"again connect=-1 disconnect=-1 threads=(\d+)", lines[-1])
    if (not first or not again or int(first.group(2)) - int(first.group(1)) > 1
            or first.group(2) != again.group(1)):
        fail(f"threads left behind after Disconnect: {lines[-2:]}")
    print(f"threads: {first.group(1)} before Connect, {first.group(2)} after the first Disconnect, "
          f"{again.group(1)} after a second round", flush=True)
    attaches = [re.fullmatch(r"attach (\d+) vid=([0-9A-F]{4}) pid=([0-9A-F]{4})", a) for a in announced[:-1]]
    if not announced:
        print("No HID device was found under Wine; nothing was posted.", flush=True)
    else:
        # One attach per device found, distinct handles, then a single change in which the receiver is absent.
        if None in attaches or announced[-1] != "change handle=0 notify=0":
            fail(f"expected attaches followed by one change without the receiver, got {announced}")
        handles = [int(a.group(1)) for a in attaches]
        if sorted(handles) != list(range(1, len(handles) + 1)):
            fail(f"handles are not 1..n: {handles}")
        ids = {(a.group(2), a.group(3)) for a in attaches}
        print(f"Wine's own HID devices found: {sorted(ids)}; registered in the prefix: {sorted(registered)}",
              flush=True)
        if not ids <= registered:
            fail(f"announced devices {sorted(ids - registered)} are not HID devices Wine registered")
        if ("045E", "0284") in ids:
            fail("a receiver was found, but none exists here")
        # Nobody reads a device: the library holds no handle, through a notice and a resume.
        idle = poked_lines(poked_idle)
        expected = ["ready", "library handles=0 reading=0", "poke device notice", "library handles=0 reading=0",
                    "poke resume", "library handles=0 reading=0", "poke no device read", "ready again",
                    "library handles=0 reading=0", "disconnect -1"]
        if poked_idle.returncode != 0 or idle[:-1] != expected:
            fail(f"nobody reading: expected {expected}, got {idle} (exit code {poked_idle.returncode})")
        print("Nobody reading: the library held no handle to any device.", flush=True)
        # The program reads the first device: the only handle held is to it. A notice without a change and a
        # resume post nothing, and the resume opens the device read afresh (through a new file); a failed read
        # is retried through a new file, not reported as a removal; a query-remove closes the handle and the
        # device counts as away; the cancelled removal brings it back under a new handle, which the change
        # handler reads again. The removal notices name the device only by the notification handle the
        # library registered for it (as Windows sends them); one naming another registration changes nothing.
        first_vid, first_pid = attaches[0].group(2), attaches[0].group(3)
        reading = poked_lines(poked_reading)
        ident = f"vid={first_vid} pid={first_pid}"
        head = ["ready", "library handles=1 reading=1", "poke device notice", "library handles=1 reading=1",
                "poke resume", "poke resume reopened=yes", "library handles=1 reading=1",
                "poke read failure reopened=yes", "poke read failure again reopened=yes",
                "poke registration found", "poke query-remove of another registration",
                "library handles=1 reading=1", "poke query-remove granted=yes", "library handles=0 reading=0",
                "poke remove cancelled", f"remove 1 {ident}"]
        tail = ["ready again", "library handles=1 reading=1", "disconnect -1"]
        reading = reading[:-1]  # the thread count, checked above
        middle = reading[len(head):len(reading) - len(tail)]
        back = re.fullmatch(rf"attach (\d+) {ident}", middle[1]) if len(middle) == 3 else None
        if (poked_reading.returncode != 0 or reading[:len(head)] != head or reading[-len(tail):] != tail
                or back is None or back.group(1) == "1"
                or middle[0] != f"change handle={back.group(1)} notify=-1"
                or middle[2] != f"change handle={back.group(1)} notify=-1"):
            fail(f"reading {first_vid}:{first_pid}: expected {head} + [change, attach N, change] + {tail}, got "
                 f"{reading} (exit code {poked_reading.returncode})")
        print("Reading one device: only its handle was held; a notice and a resume posted nothing, the resume "
              "opened the device afresh; a failed read was retried; a query-remove for the device's registration "
              "let go of the device (one for another registration did not) and the cancelled removal brought it "
              "back.",
              flush=True)


# Bytes of arguments each export takes off the stack on 32-bit Windows (__stdcall: the callee pops them).
STDCALL_ARGUMENT_BYTES = {"Connect": 4, "Disconnect": 0, "GetHandle": 8, "GetVendorID": 4, "GetProductID": 4,
                          "SetReadNotify": 8, "Read": 8}


def export_table(objdump, dll):
    """{name: address} of the DLL's exports, from objdump -p."""
    out = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", out, re.M).group(1), 16)
    rvas = {int(m.group(1)): int(m.group(2), 16)
            for m in re.finditer(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA", out, re.M)}
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return {}
    names = {}
    for line in table[1].splitlines()[1:]:
        m = re.match(r"^\s*\[\s*(\d+)\] (\S+)$", line)
        if not m:
            break
        names[m.group(2)] = base + rvas[int(m.group(1))]
    return names


@case(session=None, lock=None)
def export_names(t):
    checked = 0
    for arch, win_dir, triple in [("win64", t.win64_dir, "x86_64-w64-mingw32"),
                                  ("win32", t.win32_dir or "", "i686-w64-mingw32")]:
        objdump = shutil.which(f"{triple}-objdump") or fail(f"{triple}-objdump not found")
        for kind, dll in dlls(win_dir).items():
            exports = export_table(objdump, need_file(dll, f"the {arch} {kind} XBMC.dll"))
            print(f"{arch} {kind}: {sorted(exports)}", flush=True)
            if sorted(exports) != EXPORTS:
                fail(f"{arch} {kind}: exports {sorted(exports)}, expected exactly {EXPORTS}")
            # One file to copy: the C and C++ runtimes are linked in, only system DLLs are imported.
            dump = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
            imports = sorted(set(re.findall(r"DLL Name: (\S+)", dump)))
            if [name for name in imports if name.lower().startswith("lib")]:
                fail(f"{arch} {kind}: imports a runtime DLL that Windows does not have: {imports}")
            if arch == "win32":
                # Each plain name must lead to the compiler's __stdcall symbol Name@bytes: the callee pops the
                # arguments, as the program's calls expect.
                nm = subprocess.run([f"{triple}-nm", dll], capture_output=True, text=True, check=True).stdout
                symbols = {}
                for line in nm.splitlines():
                    parts = line.split()
                    if len(parts) == 3:
                        symbols.setdefault(int(parts[0], 16), set()).add(parts[2])
                for name, address in exports.items():
                    wanted = f"_{name}@{STDCALL_ARGUMENT_BYTES[name]}"
                    if wanted not in symbols.get(address, set()):
                        fail(f"win32 {kind}: export {name} is not {wanted} (symbols there: "
                             f"{sorted(symbols.get(address, set()))})")
            checked += 1
    print(f"{checked} DLLs checked", flush=True)


if __name__ == "__main__":
    run()
