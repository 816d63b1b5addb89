"""Benchmarks of Tavrelmond.exe under Wine, each next to a minimal Windows program doing the same.

idle_cpu: CPU time idling. Both run in one Wine session (same wineserver, same virtual display): idlepump.exe
(a hidden window and a message loop) and Tavrelmond.exe with its shipped XBMC.dll, window-key mode, no
receiver. Once Tavrelmond's tray icon is up, the CPU time of each one's Linux process (Wine runs every Windows
process as one) is read before and after the same idle interval: utime+stime from /proc/PID/stat (clock ticks)
and, where the kernel keeps it, the run time of all its threads from /proc/PID/task/*/schedstat (nanoseconds).
Fails when Tavrelmond used measurably more CPU than the idle pump (more than one clock tick above it).

key_latency: a button to its key at the stand-in media center's window. Tavrelmond.exe with the virtual
XBMC.dll, fed by hidfeed, in window-key mode: Wine's real user32 and shell32 calls (the tray icon's blink, the
check for the media center, the posted keys) are in the path. Next to it, in the same session and with presses
taken in turn, keyforward.exe (tests/winbin/keyforward): the same notification, Read and posted key, nothing
else; and keyforward.exe --raise --tray, which also makes the platform calls Tavrelmond's dispatch makes per
button (the tray icon's change, the media center raised twice). Times run from the feeder's report to the key
in the window's log. Prints medians, 99th percentiles and the ratios (aim: at most 1.5 to the bare baseline);
fails when a press gives no key or more than one.

Run by tests/wine/winetest.py: wine_bench.py --win64-dir DIR --build DIR --work DIR [--seconds S] [--presses N]
CASE...
"""

import os
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "wine"))

from qelmwine import wait_for, wine_programs  # noqa: E402
from tavrel import HidFeed, Installed, MediaCenterLog, Remote, parse_fields, start_mediacenter  # noqa: E402
from winetest import case, check, run, stop  # noqa: E402

CONFIG = "APIControlXBMCOPENGL=true\nVendorID=1118\nProductID=644\nIP Address=localhost\nport=8080\n"
TICK = os.sysconf("SC_CLK_TCK")


def linux_pid(exe_path, prefix):
    """The Linux process running the Windows program at exe_path (host path) in the Wine prefix `prefix`.

    Wine puts the program's Windows path in the process's command line; the folder's name is unique to this
    run, and the prefix tells our session from anyone else's."""
    folder = os.path.basename(os.path.dirname(exe_path)).lower()
    name = os.path.basename(exe_path).lower()
    found = [pid for pid, path in wine_programs(prefix) if path.endswith("/" + name) and f"/{folder}/" in path]
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
    # Idle means no more than the pump: one clock tick above it is noise, more is work done while idle.
    tick = 1 if unit == "ticks" else 1e9 / TICK
    check(tav <= pump + tick, f"Tavrelmond used no more CPU than the idle pump, give or take a tick "
          f"({tav} / {pump} by {unit})")


class KeyForward:
    """keyforward.exe with the virtual XBMC.dll in a folder of its own, fed by its own hidfeed."""

    def __init__(self, t, folder, options=()):
        os.makedirs(folder, exist_ok=True)
        shutil.copy(os.path.join(t.win64.dir, "tests/winbin/keyforward/keyforward.exe"), folder)
        shutil.copy(t.win64.virtual_xbmc_dll, folder)
        self.feed = HidFeed(t.host)
        self.proc = t.w.start([os.path.join(folder, "keyforward.exe")] + list(options), cwd=folder,
                              env=self.feed.env())
        self.feed.wait_connected()

    def close(self):
        self.feed.close()
        stop(self.proc, grace=0)


def press_to_key(remote, log, code, vk):
    """Milliseconds from the feeder's report of a button to its key down in the window's log."""
    seen = len(log.lines())
    started = time.perf_counter()
    remote.press(code)
    deadline = started + 20
    while not any(l.startswith(f"key down vk={vk} ") for l in log.lines()[seen:]):
        if time.perf_counter() > deadline:
            raise AssertionError(f"no key {vk} for button {code} within 20 s")
        time.sleep(0.0002)
    return (time.perf_counter() - started) * 1000.0


def spread(samples):
    ordered = sorted(samples)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


@case(labels="bench,wine", timeout=600)
def key_latency(t):
    w, build = t.w, t.win64
    log = MediaCenterLog(os.path.join(t.work, "mediacenter.log"))
    mc = start_mediacenter(w, build, log)
    feed = HidFeed(t.host)
    app = Installed(w, build, os.path.join(t.work, "tavrelmond"),
                    CONFIG.replace("localhost", "127.0.0.1") + "AUtorun=\n", hid_dll="virtual")
    baselines = []
    try:
        app.start(env=feed.env())
        feed.wait_connected()
        wait_for(app.tray_icon_shown, timeout=30, what="Tavrelmond's tray icon")
        baselines.append(KeyForward(t, os.path.join(t.work, "keyforward")))
        baselines.append(KeyForward(t, os.path.join(t.work, "keyforward-raise"), ["--raise", "--tray"]))
        remotes = {"Tavrelmond": Remote(feed), "keyforward": Remote(baselines[0].feed),
                   "keyforward --raise --tray": Remote(baselines[1].feed)}
        for remote in remotes.values():
            remote.plug()
            remote.wait_reading()
        # Each program's buttons give keys of their own at the one window.
        buttons = {"Tavrelmond": [(167, 0x28), (166, 0x26)], "keyforward": [(168, 0x27), (169, 0x25)],
                   "keyforward --raise --tray": [(11, 0x0D), (216, 0x08)]}
        samples = {name: [] for name in remotes}
        warm_up = 5
        for i in range(-warm_up, t.args.presses):
            for name, remote in remotes.items():
                code, vk = buttons[name][i % 2]
                time.sleep(0.033)  # presses about 100 ms apart for each program, as a person's
                ms = press_to_key(remote, log, code, vk)
                if i >= 0:
                    samples[name].append(ms)
        keys = [l.split(" lparam")[0] for l in log.lines() if l.startswith("key down ")]
        presses = t.args.presses + warm_up
        for name, pairs in buttons.items():
            downs = sum(keys.count(f"key down vk={vk}") for _, vk in pairs)
            check(downs == presses, f"{name}: one key per press ({downs} keys for {presses} presses)")
        figures = {name: spread(values) for name, values in samples.items()}
        n = len(samples["Tavrelmond"])
        for name, (median, p99) in figures.items():
            print(f"button to key under Wine, {name + '.exe' if ' ' not in name else name}: median {median:.2f} ms "
                  f"p99 {p99:.2f} ms (n={n})")
        (median_t, p99_t), (median_b, p99_b) = figures["Tavrelmond"], figures["keyforward"]
        print(f"ratio Tavrelmond / keyforward (the baseline): median {median_t / median_b:.2f}, "
              f"p99 {p99_t / p99_b:.2f} (aim: at most 1.5)")
        median_r, p99_r = figures["keyforward --raise --tray"]
        print(f"ratio Tavrelmond / keyforward with the same raise and tray calls: median {median_t / median_r:.2f}, "
              f"p99 {p99_t / p99_r:.2f}")
        check(app.exit_from_menu() == 0, "Tavrelmond exits")
    finally:
        feed.close()
        for baseline in baselines:
            baseline.close()
        stop(mc, grace=0)


if __name__ == "__main__":
    def options(ap):
        ap.add_argument("--seconds", type=float, default=10.0, help="idle_cpu: the idle interval")
        ap.add_argument("--presses", type=int, default=200, help="key_latency: presses per program")

    run(options=options)
