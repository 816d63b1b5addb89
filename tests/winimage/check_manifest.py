#!/usr/bin/env python3
"""Checks the application manifest built into a Windows program: the one resource of type 24 (RT_MANIFEST),
number 1 (the one Windows reads from an .exe), and what it says:
  - the program runs as the user who starts it: requestedExecutionLevel asInvoker, no uiAccess (so no
    elevation prompt and no file or registry virtualization);
  - the Windows versions it was written for: 7, 8, 8.1 and 10/11 (supportedOS);
  - DPI awareness per monitor: dpiAwareness PerMonitorV2 first, then PerMonitor, and dpiAware true/pm for the
    Windows versions before dpiAwareness;
  - version 6 of the common controls;
  - an identity of the image's own architecture.

Usage: check_manifest.py IMAGE...
Exit status 0 when every image passes; each failure is printed.
"""
import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peimage import PeImage  # noqa: E402

RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {
    "Windows 7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "Windows 8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "Windows 8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "Windows 10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
ARCHITECTURE = {"x64": "amd64", "x86": "x86"}
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                   "publicKeyToken": "6595b64144ccf1df"}


def check_manifest_text(text, machine):
    """The failures of manifest `text` for an image of `machine` ("x64" or "x86")."""
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return [f"the manifest is not well-formed XML: {e}"]
    failures = []
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        failures.append(f"the root is {root.tag} version {root.get('manifestVersion')}, not an assembly 1.0")

    identity = root.find(ASM_V1 + "assemblyIdentity")
    if identity is None:
        failures.append("no assemblyIdentity")
    elif identity.get("processorArchitecture") != ARCHITECTURE.get(machine):
        failures.append(f"identity architecture {identity.get('processorArchitecture')!r} for a {machine} image")

    levels = root.findall(f".//{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                          f"{ASM_V3}requestedExecutionLevel")
    if len(levels) != 1:
        failures.append(f"{len(levels)} requestedExecutionLevel elements, one expected")
    elif levels[0].get("level") != "asInvoker" or levels[0].get("uiAccess", "false") != "false":
        failures.append(f"execution level {levels[0].get('level')!r} uiAccess {levels[0].get('uiAccess')!r}, "
                        "asInvoker without uiAccess expected")

    declared = {e.get("Id", "").lower() for e in
                root.findall(f".//{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS")}
    for name, guid in SUPPORTED_OS.items():
        if guid not in declared:
            failures.append(f"{name} is not among the supported systems")

    settings = root.findall(f".//{ASM_V3}application/{ASM_V3}windowsSettings")
    aware = [e.text.strip() for s in settings for e in s.findall(SETTINGS_2005 + "dpiAware") if e.text]
    awareness = [e.text for s in settings for e in s.findall(SETTINGS_2016 + "dpiAwareness") if e.text]
    if aware != ["true/pm"]:
        failures.append(f"dpiAware {aware}, ['true/pm'] expected (per monitor where dpiAwareness is unknown)")
    modes = [m.strip() for m in awareness[0].split(",")] if len(awareness) == 1 else []
    if modes[:1] != ["PerMonitorV2"] or "PerMonitor" not in modes:
        failures.append(f"dpiAwareness {awareness}, PerMonitorV2 then PerMonitor expected")

    controls = [e for e in root.findall(f".//{ASM_V1}dependency/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity")
                if e.get("name") == COMMON_CONTROLS["name"]]
    if len(controls) != 1 or any(controls[0].get(k) != v for k, v in COMMON_CONTROLS.items()):
        failures.append("no dependency on version 6.0.0.0 of the common controls")
    elif controls[0].get("processorArchitecture") not in ("*", ARCHITECTURE.get(machine)):
        failures.append(f"common controls for {controls[0].get('processorArchitecture')!r}")
    return failures


def check_image(path):
    image = PeImage(path)
    names = image.resource_names(RT_MANIFEST)
    if names != [1]:
        return image, None, [f"manifest resources {names}, exactly one numbered 1 expected"]
    text = image.resource(RT_MANIFEST, 1)
    return image, text, check_manifest_text(text, image.machine)


def main(argv=None):
    images = sys.argv[1:] if argv is None else argv
    if not images:
        print(__doc__)
        return 2
    failed = False
    for path in images:
        image, text, failures = check_image(path)
        print(f"{path} ({image.machine}): manifest of {len(text) if text else 0} bytes")
        for failure in failures:
            print(f"  FAIL {failure}")
        if not failures:
            print("  ok: asInvoker, Windows 7 to 11, PerMonitorV2 with its fallbacks, common controls 6")
        failed = failed or bool(failures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
