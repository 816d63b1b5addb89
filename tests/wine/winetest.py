"""The one runner of the Wine test scripts (tests/wine/*, tests/bench/wine): cases, command line, checks.

How a script declares its cases (the case's name is its function's name):
    sys.path.insert(0, <tests/wine>); from winetest import case, check, run, stop
    @case()                                   # a Wine session on its own Xvfb, the shared prefix
    def startup_autorun(t): ...               # t.w session, t.win64 binaries, t.work folder, t.args options
    @case(session=None, lock=None)            # no Wine; session=callable(t) gives a context manager of one's own
    @case(labels="bench,wine", timeout=900)   # bench.GROUP.CASE, registered in the "bench" preset's build only
    if __name__ == "__main__": run()          # run(options=fn(parser)) adds the script's own options
A case passes when it returns. check(condition, message) prints "ok: message" or fails the case with it;
fail(message) fails it at once; stop(proc) ends a process the case started (grace=0 for Wine programs).
Await events, never sleep: check(qelmwine.within(predicate, timeout), message) checks the awaited thing.

The command line, the same for every script:
    SCRIPT --win64-dir DIR [--win32-dir DIR] --build HOST_BUILD_DIR --work DIR CASE...
    SCRIPT --list             one line per case: name|labels|timeout|resource lock
t.work is WORK/CASE, one folder per case; files shared across a script's cases go in t.args.work.
CMake registers the cases at configure time (tests/wine/WineTests.cmake), one line per script in its folder's
CMakeLists.txt:  qelm_wine_script(GROUP app SCRIPT app_wine_test.py)  ->  wine.app.startup_autorun, ...
It runs SCRIPT --list, adds one ctest test per line, and configures again when the script changes: a case
added to a script is a ctest test at the next build.
"""

import argparse
import inspect
import os
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)


class CheckFailed(AssertionError):
    pass


def check(condition, message):
    """A test step: fails the case with the message, or prints it as passed."""
    if not condition:
        raise CheckFailed(message)
    print("ok:", message, flush=True)


def fail(message):
    """Fails the case with the message (check for a condition computed elsewhere)."""
    raise CheckFailed(message)


def stop(proc, quit=None, grace=10.0):
    """Ends a process this run started and reaps it; returns its exit code (None if it was never started).

    With `quit`, that line is written to its standard input first (the feeders end on "quit"); otherwise it is
    sent SIGTERM. After `grace` seconds it is killed. Wine programs take grace=0: killed at once, as a
    SIGTERM means nothing dependable to a Wine process."""
    if proc is None:
        return None
    if proc.poll() is None and grace > 0:
        try:
            if quit is not None and proc.stdin is not None:
                proc.stdin.write(quit if quit.endswith("\n") else quit + "\n")
                proc.stdin.flush()
            else:
                proc.terminate()
        except OSError:
            pass
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            pass
    if proc.poll() is None:
        try:
            proc.kill()
        except OSError:
            pass
    try:
        return proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        return None


class Case:
    def __init__(self, fn, session, labels, timeout, lock):
        self.fn = fn
        self.name = fn.__name__
        self.session = session
        self.labels = labels
        self.timeout = timeout
        self.lock = lock


def case(session="wine", labels="wine", timeout=300, lock="wineprefix"):
    """Declares a case of the script that defines it (see the how-to above). `session`: "wine" (own Xvfb),
    "wine-nodisplay", None, or a callable(t) giving a context manager whose value is t.w. `labels`: the ctest
    labels, separated by commas, the first naming the test. `lock`: the ctest resource lock, or None."""
    def register(fn):
        module = sys.modules[fn.__module__]
        table = module.__dict__.setdefault("WINE_CASES", {})
        table[fn.__name__] = Case(fn, session, labels, timeout, lock)
        return fn
    return register


class Test:
    """What a case gets: t.args (the parsed command line), t.w (its session, or None), t.win64 (the win64
    binaries; tavrel.Win64Build), t.host (the host build folder), t.work (a folder of its own), t.name."""

    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.host = os.path.abspath(args.build) if args.build else None
        self.win64_dir = os.path.abspath(args.win64_dir) if args.win64_dir else None
        self.win32_dir = os.path.abspath(args.win32_dir) if args.win32_dir else None
        self.work = os.path.join(os.path.abspath(args.work), name) if args.work else None
        self.w = None
        self._win64 = None

    @property
    def win64(self):
        if self._win64 is None:
            from tavrel import Win64Build
            if not self.win64_dir or not os.path.isdir(self.win64_dir):
                raise SystemExit(f"the win64 build folder is missing ({self.win64_dir!r}): build the win64 "
                                 "preset first")
            self._win64 = Win64Build(self.win64_dir)
        return self._win64

    def host_tool(self, rel):
        """A program of the host build, by its path inside the build folder."""
        path = os.path.join(self.host or "", rel)
        if not os.path.exists(path):
            raise SystemExit(f"missing {path}: build the host preset first")
        return path


def _session(t, kind):
    if kind is None:
        return None
    if callable(kind):
        return kind(t)
    from qelmwine import WineSession
    return WineSession(t.host, display=kind != "wine-nodisplay")


def _run_case(c, args):
    t = Test(args, c.name)
    if t.work:
        os.makedirs(t.work, exist_ok=True)
    started = time.monotonic()
    print(f"== {c.name}", flush=True)
    try:
        manager = _session(t, c.session)
        if manager is None:
            c.fn(t)
        else:
            with manager as w:
                t.w = w
                c.fn(t)
    except (AssertionError, TimeoutError) as e:
        print(f"FAIL {c.name}: {e}", flush=True)
        return False
    except Exception:
        traceback.print_exc()
        print(f"FAIL {c.name}: error", flush=True)
        return False
    print(f"PASS {c.name} ({time.monotonic() - started:.1f} s)", flush=True)
    return True


def run(options=None, argv=None):
    """The command line of the calling script: runs the named cases (see the how-to above); exits 0 when all
    passed, 1 otherwise."""
    module = inspect.getmodule(inspect.stack()[1].frame)
    cases = getattr(module, "WINE_CASES", {})
    ap = argparse.ArgumentParser(description=(module.__doc__ or "").split("\n")[0])
    ap.add_argument("--list", action="store_true", help="print the cases for CMake and exit")
    ap.add_argument("--win64-dir", help="the win64 build folder")
    ap.add_argument("--win32-dir", help="the win32 build folder")
    ap.add_argument("--build", help="the host build folder (Wine prefix, hidfeed, HTTP stand-in)")
    ap.add_argument("--work", help="a folder for the cases' files")
    if options is not None:
        options(ap)
    ap.add_argument("cases", nargs="*", metavar="CASE", help=f"one or more of: {', '.join(cases)}")
    args = ap.parse_args(argv)
    if args.list:
        for c in cases.values():
            print(f"{c.name}|{c.labels}|{c.timeout}|{c.lock or ''}")
        return 0
    unknown = [n for n in args.cases if n not in cases]
    if unknown or not args.cases:
        ap.error(f"name one or more cases of: {', '.join(cases)}" + (f" (unknown: {unknown})" if unknown else ""))
    if not args.build:
        ap.error("--build is required")
    passed = sum(_run_case(cases[n], args) for n in args.cases)
    failed = len(args.cases) - passed
    print(f"{passed} passed, {failed} failed", flush=True)
    sys.exit(1 if failed else 0)
