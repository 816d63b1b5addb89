#!/usr/bin/env python3
"""Runs infcheck.exe (setupapi under Wine) on driver/qelmrc.inf, which must pass, and on broken copies
of it, each of which must fail: the check is only worth something if it can catch these.

Usage: run_infcheck.py --wine /usr/lib/wine/wine64 --exe infcheck.exe --inf qelmrc.inf --work DIR
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# (what is broken, pattern, replacement): each applied to the real INF must make the check fail.
BROKEN_COPIES = [
    ("unterminated section name", r"^\[Version\]", "[Version"),
    ("wrong hardware ID", r"PID_0284", "PID_0285"),
    ("no amd64 models", r"NTx86, NTamd64", "NTx86"),
    ("service not the function driver", r"(AddService\s*=\s*qelmrc\s*,\s*)0x00000002", r"\g<1>0x00000000"),
    ("service is not a kernel driver", r"(ServiceType\s*=\s*)1", r"\g<1>2"),
    ("undefined device description string", r"(?m)^ReceiverName\s*=.*$", ""),
    ("file not copied", r"(?m)^\[QelmCopyFiles\]\nqelmrc\.sys", "[QelmCopyFiles]\nother.sys"),
    ("Windows 9x signature", r"\$WINDOWS NT\$", "$CHICAGO$"),
    ("no catalog", r"(?m)^CatalogFile\s*=.*\n", ""),
    ("PnP lockdown off", r"(PnpLockdown\s*=\s*)1", r"\g<1>0"),
    ("interface 0 not matched", r"&MI_00", "&MI_01"),
]


def to_wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(args, env, inf):
    # Output goes through a file: Wine's helper processes inherit the descriptors and outlive the program
    # while the wine server is kept running, so a pipe would never reach its end.
    with tempfile.TemporaryFile(mode="w+", encoding="utf-8", errors="replace") as out:
        code = subprocess.run([args.wine, args.exe, to_wine_path(inf)], env=env, stdout=out,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=300).returncode
        out.seek(0)
        return code, out.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--inf", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if not os.path.isfile(args.exe):
        print("FAIL: %s does not exist (build the win64 preset first)" % args.exe)
        return 1

    os.makedirs(args.work, exist_ok=True)
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": os.path.join(os.path.abspath(args.work), "wineprefix"),
        "WINEARCH": "win64",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    env.pop("DISPLAY", None)

    # One wine server for all the runs below instead of one per run.
    server = os.path.join(os.path.dirname(os.path.realpath(args.wine)), "wineserver64")
    if not os.path.exists(server):
        server = os.path.join(os.path.dirname(os.path.realpath(args.wine)), "wineserver")
    persistent = False
    if os.path.exists(server):
        persistent = subprocess.run([server, "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL).returncode == 0
    try:
        return check_all(args, env)
    finally:
        if persistent:
            subprocess.run([server, "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def check_all(args, env):
    failures = 0
    code, output = run(args, env, args.inf)
    print(output)
    if code != 0:
        print("FAIL: %s does not pass the check" % args.inf)
        failures += 1

    with open(args.inf, encoding="utf-8") as f:
        original = f.read()
    for name, pattern, replacement in BROKEN_COPIES:
        broken, count = re.subn(pattern, replacement, original, flags=re.M)
        if count == 0:
            print("FAIL: broken copy '%s' did not change the INF" % name)
            failures += 1
            continue
        path = os.path.join(args.work, "broken.inf")
        with open(path, "w", encoding="utf-8") as f:
            f.write(broken)
        code, output = run(args, env, path)
        if code == 0:
            print("FAIL: the check accepts an INF with %s:\n%s" % (name, output))
            failures += 1
        else:
            print("rejected as expected: %s" % name)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
