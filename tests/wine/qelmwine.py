"""Run Windows programs under Wine for the tests and the demo.

A WineSession starts its own Xvfb on a free display number and uses its own Wine prefix under the build
folder (created once, then reused). Leaving the session ends only what it started: the programs it launched,
the wineserver of its prefix and its Xvfb.

Only 64-bit Windows programs are run: wine64 with a win64 prefix.
"""

import fcntl
import os
import shutil
import socket
import subprocess
import tempfile
import time

from winetest import stop

WINE64 = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
if os.path.exists("/usr/lib/wine/wineserver64"):
    WINESERVER = "/usr/lib/wine/wineserver64"
if os.path.exists("/usr/lib/wine/wine64"):
    WINE64 = "/usr/lib/wine/wine64"


def log(msg):
    print(msg, flush=True)


def free_display():
    """A display number no X server uses: no lock file and no socket for it."""
    for n in range(90, 600):
        if os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
            continue
        return n
    raise RuntimeError("no free X display number")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=30.0, interval=0.02, what="condition"):
    """Polls predicate until it returns a true value; returns that value or raises TimeoutError."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def within(predicate, timeout=30.0, interval=0.02):
    """Polls predicate until it returns a true value or the time is up; returns that value, or None. For
    check(within(...), message): the event awaited is the thing checked."""
    try:
        return wait_for(predicate, timeout=timeout, interval=interval)
    except TimeoutError:
        return None


def wine_programs(prefix):
    """(Linux pid, program path) of each live Windows program in the Wine prefix `prefix`: Wine puts the
    program's path first in its process's command line. Paths are lower case, with forward slashes."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = dict(kv.split(b"=", 1) for kv in f.read().split(b"\0") if b"=" in kv)
            with open(f"/proc/{entry}/stat") as f:
                zombie = f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except (OSError, IndexError):
            continue
        if argv and not zombie and env.get(b"WINEPREFIX", b"").decode() == prefix:
            yield int(entry), argv[0].replace("\\", "/").lower()


def wine_processes(prefix, exe_name):
    """The Linux pids of the running Windows programs named exe_name (case-insensitive) in the Wine prefix."""
    name = exe_name.lower()
    return [pid for pid, path in wine_programs(prefix) if path.rsplit("/", 1)[-1] == name]


def start_xvfb(geometry, what="Xvfb"):
    """Starts an Xvfb of one screen of `geometry` (WxHxDEPTH) on a free display; returns (process, ":N")."""
    for _ in range(5):
        n = free_display()
        proc = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", geometry, "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}") or proc.poll() is not None,
                     timeout=15, what=what)
        except TimeoutError:
            stop(proc, grace=0)
            continue
        if proc.poll() is None:
            return proc, f":{n}"
        proc.wait()
    raise RuntimeError(f"could not start {what}")


class WineSession:
    def __init__(self, build_dir, display=True, quiet=True):
        self.build_dir = os.path.abspath(build_dir)
        self.prefix = os.path.join(self.build_dir, "wine", "prefix")
        self.want_display = display
        self.quiet = quiet
        self.xvfb = None
        self.display = None
        self.procs = []
        self.env = dict(os.environ)
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINESERVER"):
            self.env.pop(k, None)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer prompts when the prefix is made.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        })

    # -- life cycle -------------------------------------------------------------------------------------
    def __enter__(self):
        try:
            if self.want_display:
                self._start_xvfb()
            self._ensure_prefix()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _start_xvfb(self):
        self.xvfb, self.display = start_xvfb("1024x768x24")
        self.env["DISPLAY"] = self.display

    def _ensure_prefix(self):
        """Creates the prefix once; concurrent sessions wait on a lock file while it is being made."""
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        lock_path = self.prefix + ".lock"
        with open(lock_path, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            marker = os.path.join(self.prefix, ".qelm-ready")
            if not os.path.exists(marker):
                if os.path.exists(self.prefix):
                    shutil.rmtree(self.prefix)
                log(f"[wine] creating the Wine prefix {self.prefix} (once)")
                subprocess.run([WINE64, "wineboot", "-i"], env=self.env, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
                subprocess.run([WINESERVER, "-w"], env=self.env, timeout=120)
                open(marker, "w").close()

    def close(self):
        for p in self.procs:
            stop(p, grace=0)
        self.procs = []
        if os.path.isdir(self.prefix):
            subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        stop(self.xvfb)
        self.xvfb = None

    # -- programs -----------------------------------------------------------------------------------
    def start(self, args, cwd=None, env=None, stdout=None, stderr=None):
        """Starts a Windows program (a host path to an .exe, or a Wine built-in) under wine64."""
        e = dict(self.env)
        if env:
            e.update(env)
        if stdout is None:
            stdout = subprocess.DEVNULL if self.quiet else None
        if stderr is None:
            stderr = subprocess.DEVNULL if self.quiet else None
        p = subprocess.Popen([WINE64] + list(args), cwd=cwd, env=e, stdout=stdout, stderr=stderr)
        self.procs.append(p)
        return p

    def run(self, args, cwd=None, env=None, timeout=60):
        """Runs a console program to its end; returns a CompletedProcess with its output as text.

        The output goes through files, not pipes: Wine's helper processes (wineserver, services) inherit the
        program's handles and would keep a pipe open long after the program ended.
        """
        e = dict(self.env)
        if env:
            e.update(env)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.Popen([WINE64] + list(args), cwd=cwd, env=e, stdout=out, stderr=err,
                                 stdin=subprocess.DEVNULL)
            try:
                p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                stop(p, grace=0)
                raise
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(p.args, p.returncode,
                                               out.read().decode("utf-8", "replace"),
                                               err.read().decode("utf-8", "replace"))

    def wait_for(self, predicate, timeout=30.0, what="condition"):
        return wait_for(predicate, timeout=timeout, what=what)

    def windows_path(self, host_path):
        """The Windows path under which Wine sees a host path (through the Z: drive)."""
        return "Z:" + os.path.abspath(host_path).replace("/", "\\")

