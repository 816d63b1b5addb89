"""CPU time of Tavrelmond.exe idling under Wine, next to a Win32 program that only pumps messages.

Both run in one Wine session (same wineserver, same virtual display): idlepump.exe (a hidden window and a
message loop) and Tavrelmond.exe with its shipped XBMC.dll, window-key mode, no receiver. Once Tavrelmond's
tray icon is up, the CPU time of each one's Linux process (Wine runs every Windows process as one) is read
before and after the same idle interval: utime+stime from /proc/PID/stat (clock ticks) and, where the kernel
keeps it, the run time of all its threads from /proc/PID/task/*/schedstat (nanoseconds).

Run by tests/wine/winetest.py: idle_cpu_bench.py --win64-dir DIR --build DIR --work DIR [--seconds 10] idle_cpu

Printed figures, not assertions: fails only when the programs cannot be started or measured.
"""

import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "wine"))

from qelmwine import wait_for  # noqa: E402
from tavrel import Installed, parse_fields  # noqa: E402
from winetest import case, check, run  # noqa: E402

CONFIG = "APIControlXBMCOPENGL=true\nVendorID=1118\nProductID=644\nIP Address=localhost\nport=8080\n"
TICK = os.sysconf("SC_CLK_TCK")


def linux_pid(exe_path, prefix):
    """The Linux process running the Windows program at exe_path (host path) in the Wine prefix `prefix`.

    Wine puts the program's Windows path in the process's command line; the folder's name is unique to this
    run, and the prefix tells our session from anyone else's."""
    folder = os.path.basename(os.path.dirname(exe_path)).lower()
    name = os.path.basename(exe_path).lower()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = dict(kv.split(b"=", 1) for kv in f.read().split(b"\0") if b"=" in kv)
        except OSError:
            continue
        if not argv or env.get(b"WINEPREFIX", b"").decode() != prefix:
            continue
        first = argv[0].replace("\\", "/").lower()
        if first.endswith("/" + name) and ("/" + folder + "/") in first:
            found.append(int(entry))
    return found[0] if len(found) == 1 else None


def wineserver_pid(prefix):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink(f"/proc/{entry}/exe")
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(exe).startswith("wineserver") and f"WINEPREFIX={prefix}".encode() in environ:
            return int(entry)
    return None


def cpu(pid):
    """(utime+stime in ticks, threads' run time in ns or None, the set of thread ids, context switches)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15 of the line), ended threads too
    ns = 0
    switches = 0
    tids = frozenset()
    try:
        tids = frozenset(os.listdir(f"/proc/{pid}/task"))
        for task in tids:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                ns += int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{task}/status") as f:
                # voluntary_ctxt_switches and nonvoluntary_ctxt_switches: how often the thread ran again
                switches += sum(int(line.split(":")[1]) for line in f if "ctxt_switches:" in line)
    except (OSError, ValueError, IndexError):
        ns = None
    return ticks, ns, tids, switches


def difference(before, after):
    """Ticks, ns and context switches between two samples; the per-thread figures (ns, switches) only when the
    same threads lived at both (those of a thread that ended in between are gone)."""
    ticks = after[0] - before[0]
    if before[1] is not None and after[1] is not None and before[2] == after[2]:
        return ticks, after[1] - before[1], after[3] - before[3]
    return ticks, None, None


def describe(ticks, ns, switches):
    text = f"{ticks * 1000 / TICK:.0f} ms utime+stime ({ticks} ticks of {1000 / TICK:.0f} ms)"
    if ns is not None:
        text += f", run time of its threads {ns / 1e6:.3f} ms, {switches} context switches"
    return text


@case(labels="bench,wine", timeout=180)
def idle_cpu(t):
    build = t.win64
    pump_src = os.path.join(build.dir, "tests/winbin/idlepump/idlepump.exe")
    if not os.path.exists(pump_src):
        sys.exit(f"missing {pump_src}: build the win64 preset first")
    work = t.work
    pump_dir = os.path.join(work, "idlepump")
    shutil.rmtree(pump_dir, ignore_errors=True)
    os.makedirs(pump_dir)
    pump_exe = os.path.join(pump_dir, "idlepump.exe")
    shutil.copy(pump_src, pump_exe)

    w = t.w
    w.start([pump_exe], cwd=pump_dir)
    app = Installed(w, build, os.path.join(work, "tavrelmond"), CONFIG)
    found = app.probe("find", "--title", "idlepump", "--class", "IdlePumpWindow", "--timeout", "30000")
    check(found.returncode == 0, "idlepump's window appeared")
    pump_fields = parse_fields(found.stdout.splitlines()[0])
    form = app.start()
    wait_for(app.tray_icon_shown, timeout=30, what="Tavrelmond's tray icon")
    # The probes above have ended; what follows is idle time for both programs.
    time.sleep(1.0)

    pids = {
        "Tavrelmond": linux_pid(os.path.join(app.folder, "Tavrelmond.exe"), w.prefix),
        "idle pump": linux_pid(pump_exe, w.prefix),
    }
    for name, pid in pids.items():
        check(pid is not None, f"the Linux process of {name} found under /proc")
    print(f"Windows pids: Tavrelmond {form.get('pid')}, idle pump {pump_fields.get('pid')}; "
          f"Linux pids: Tavrelmond {pids['Tavrelmond']}, idle pump {pids['idle pump']}", flush=True)
    server = wineserver_pid(w.prefix)
    if server is not None:
        pids["wineserver (shared by all)"] = server

    before = {name: cpu(pid) for name, pid in pids.items()}
    started = time.monotonic()
    time.sleep(t.args.seconds)
    after = {name: cpu(pid) for name, pid in pids.items()}
    elapsed = time.monotonic() - started

    used = {name: difference(before[name], after[name]) for name in pids}
    for name in ("Tavrelmond", "idle pump"):
        print(f"CPU from start-up to the idle interval, {name}: {before[name][0] * 1000 / TICK:.0f} ms", flush=True)
    for name, figures in used.items():
        print(f"idle CPU under Wine over {elapsed:.1f} s, {name}: {describe(*figures)}", flush=True)

    (t_ticks, t_ns, _), (p_ticks, p_ns, _) = used["Tavrelmond"], used["idle pump"]
    if t_ns is not None and p_ns is not None:
        tav, pump, unit = t_ns, p_ns, "run time"
    else:
        tav, pump, unit = t_ticks, p_ticks, "ticks"
    if pump > 0:
        print(f"idle CPU ratio Tavrelmond / idle pump: {tav / pump:.2f} (by {unit})")
    elif tav > 0:
        print(f"idle CPU ratio Tavrelmond / idle pump: not defined, the idle pump used none by {unit} "
              f"while Tavrelmond used some")
    else:
        print(f"idle CPU ratio Tavrelmond / idle pump: not defined (0 / 0): neither used any CPU by {unit}")


if __name__ == "__main__":
    run(options=lambda ap: ap.add_argument("--seconds", type=float, default=10.0, help="the idle interval"))
