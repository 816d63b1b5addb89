#!/usr/bin/env python3
"""Checks that a Windows binary imports nothing the stated minimum Windows lacks.

Every import (ordinary and delay-loaded) is looked up in a kept list of what that Windows offers
(windows7sp1.imports: per DLL, each function with the first Windows that has it). A binary fails when it
imports a function whose minimum is above the stated one, a function the list does not know (look it up and
add it), or a function by ordinal (nothing to look up); and when its header asks for a newer subsystem
version than that Windows runs.

Usage: check_imports.py --list windows7sp1.imports --minimum 7 IMAGE...
Exit status 0 when every image passes; each failure is printed.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peimage import PeImage  # noqa: E402

# Windows versions as the list spells them, and the NT version of each.
VERSIONS = {"2000": (5, 0), "xp": (5, 1), "2003": (5, 2), "vista": (6, 0), "7": (6, 1), "8": (6, 2),
            "8.1": (6, 3), "10": (10, 0)}
NAMES = {"2000": "Windows 2000", "xp": "Windows XP", "2003": "Windows Server 2003 (and XP x64)",
         "vista": "Windows Vista", "7": "Windows 7", "8": "Windows 8", "8.1": "Windows 8.1", "10": "Windows 10"}
ARCHITECTURES = {"x86", "x64"}


class ListError(ValueError):
    pass


def read_list(path):
    """{(dll, function): (minimum, architecture or None)} from the kept list."""
    known = {}
    dll = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                dll = line[1:-1].strip().lower()
                continue
            fields = line.split()
            if dll is None or len(fields) not in (2, 3) or fields[1] not in VERSIONS or (
                    len(fields) == 3 and fields[2] not in ARCHITECTURES):
                raise ListError(f"{path}:{number}: not 'function minimum [x86|x64]' under a [dll.dll]: {raw!r}")
            key = (dll, fields[0])
            if key in known:
                raise ListError(f"{path}:{number}: {fields[0]} of {dll} listed twice")
            known[key] = (fields[1], fields[2] if len(fields) == 3 else None)
    return known


def check_imports(imports, machine, known, minimum):
    """The failures for a binary of `machine` importing `imports` [(dll, function)], against `known`."""
    failures = []
    ceiling = VERSIONS[minimum]
    for dll, function in imports:
        if function.startswith("#"):
            failures.append(f"{dll} {function}: imported by ordinal, so its minimum Windows cannot be looked up")
            continue
        entry = known.get((dll, function))
        if entry is None:
            failures.append(f"{dll} {function}: not in the list; look up the first Windows that has it and add "
                            "it to the list")
            continue
        first, architecture = entry
        if architecture is not None and architecture != machine:
            failures.append(f"{dll} {function}: the list has it for {architecture} only, this image is {machine}")
        elif VERSIONS[first] > ceiling:
            failures.append(f"{dll} {function}: needs {NAMES[first]}, newer than the stated minimum "
                            f"{NAMES[minimum]}")
    return failures


def check_image(path, known, minimum):
    image = PeImage(path)
    failures = check_imports(image.imports, image.machine, known, minimum)
    if tuple(image.subsystem_version) > VERSIONS[minimum]:
        major, minor = image.subsystem_version
        failures.append(f"the image asks for subsystem version {major}.{minor}, which {NAMES[minimum]} refuses "
                        "to run")
    return image, failures


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", required=True, help="the kept list of what the minimum Windows offers")
    ap.add_argument("--minimum", required=True, choices=sorted(VERSIONS), help="the stated minimum Windows")
    ap.add_argument("images", nargs="+")
    args = ap.parse_args(argv)
    known = read_list(args.list)
    failed = False
    for path in args.images:
        image, failures = check_image(path, known, args.minimum)
        dlls = sorted({dll for dll, _ in image.imports})
        print(f"{path} ({image.machine}): {len(image.imports)} imports from {', '.join(dlls) or 'nothing'}")
        for failure in failures:
            print(f"  FAIL {failure}")
        failed = failed or bool(failures)
        if not failures:
            print(f"  ok: every import is in {NAMES[args.minimum]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
