#!/usr/bin/env python3
"""Checks a built qelmrc.sys: a native-subsystem kernel image that imports only from the kernel-mode
modules, enters at DriverEntry (placed in INIT), keeps its pageable routines in PAGE and its
raised-IRQL routines resident, has no code in PAGE that calls (or takes the address of) a spin-lock or
other IRQL-raising routine, and carries the expected version resource.

Usage: check_driver_image.py --image qelmrc.sys --arch win64|win32 [--objdump objdump]
Exit status 0 when every check passes; each failure is printed.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

EXPECTED_IMPORTS = {
    "win64": {"ntoskrnl.exe", "hidclass.sys", "usbd.sys"},
    # On x86 the spin-lock routines live in the HAL.
    "win32": {"ntoskrnl.exe", "hal.dll", "hidclass.sys", "usbd.sys"},
}

EXPECTED_VERSION_STRINGS = {
    "FileVersion": "0.20",
    "ProductVersion": "0.20",
    "InternalName": "QELM",
    "ProductName": "QELM",
    "OriginalFilename": "qelmrc.sys",
    "Comments": "DVD Playback Remote Control Version",
}

# Routine name -> section it must be linked into.
EXPECTED_PLACEMENT = {
    "DriverEntry": "INIT",
    "AddDevice": "PAGE",
    "DispatchPnp": "PAGE",
    "DispatchPower": "PAGE",
    "DispatchCreateClose": "PAGE",
    "DispatchPassThrough": "PAGE",
    # A completion routine runs in its completer's context, up to DISPATCH_LEVEL: resident.
    "StartCompletion": ".text",
    "Unload": "PAGE",
    "DispatchInternalIoctl": ".text",
    "IncrementPnpCount": ".text",
    "DecrementPnpCount": ".text",
    "PowerUpCompletion": ".text",
    # Everything that takes TransferLock, and the work item that resets the pipe.
    "StartInterruptTransfer": ".text",
    "InterruptTransferComplete": ".text",
    "CancelInterruptTransfer": ".text",
    "CopyLatestReport": ".text",
    "StopInterruptTransfers": ".text",
    "SuspendInterruptTransfers": ".text",
    "ResumeInterruptTransfers": ".text",
    "AllowInterruptTransfers": ".text",
    "ResetPipeWorker": ".text",
    # PASSIVE_LEVEL only.
    "SubmitUrbSync": "PAGE",
    "ConfigureDevice": "PAGE",
    "UnconfigureDevice": "PAGE",
    "AllocateTransferResources": "PAGE",
    "FreeTransferResources": "PAGE",
    "ResetInterruptPipe": "PAGE",
}

# Kernel and HAL routines that take a spin lock or raise the IRQL: code that calls them runs, at least in
# part, at DISPATCH_LEVEL or above, where a page fault on pageable code is a bug check.
IRQL_RAISING = re.compile(
    r"^(KeAcquireSpinLock\w*|KefAcquireSpinLock\w*|KfAcquireSpinLock|KeAcquireInStackQueuedSpinLock\w*"
    r"|KeAcquireQueuedSpinLock\w*|KeTryToAcquire\w*SpinLock\w*|KeAcquireInterruptSpinLock|KfRaiseIrql"
    r"|KeRaiseIrql\w*|KeSynchronizeExecution|IoAcquireCancelSpinLock|ExAcquireSpinLock\w*"
    r"|ExInterlocked\w+)$"
)

# Routines of the HID class driver that a minidriver for this system must not depend on.
FORBIDDEN_IMPORTS = {"HidNotifyPresence"}


def objdump(tool, flags, image):
    return subprocess.run([tool, *flags, image], check=True, capture_output=True, text=True).stdout


def undecorated(name):
    """USBD.SYS exports its x86 routines under their __stdcall names (_Name@bytes)."""
    m = re.match(r"^_(\w+)@\d+$", name)
    return m.group(1) if m else name


def parse_imports(private_headers):
    """{dll name (lower case): [imported names]} from objdump -p."""
    imports = {}
    current = None
    for line in private_headers.splitlines():
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            current = imports.setdefault(m.group(1).lower(), [])
            continue
        if current is not None:
            m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)
            if m:
                current.append(m.group(1))
            elif not line.strip():
                current = None
    return imports


def parse_symbols(symbol_table, sections):
    """{demangled routine base name: (section name, address)} from objdump -t -C; a symbol's value is
    relative to its section."""
    symbols = {}
    for line in symbol_table.splitlines():
        m = re.match(r"\[\s*\d+\]\(sec\s+(-?\d+)\).*\(nx \d+\) 0x([0-9a-f]+) (.+)$", line)
        if not m:
            continue
        sec, value, name = int(m.group(1)), int(m.group(2), 16), m.group(3).strip()
        base = re.sub(r"\(.*$", "", name)  # drop a C++ parameter list
        base = re.sub(r"^_", "", base)  # x86 C decoration
        base = re.sub(r"@\d+$", "", base)  # x86 stdcall decoration
        if 1 <= sec <= len(sections):
            name, address = sections[sec - 1]
            symbols.setdefault(base, (name, address + value))
    return symbols


def parse_sections(section_headers):
    """[(name, virtual address)] in section-number order, from objdump -h."""
    sections = []
    for line in section_headers.splitlines():
        m = re.match(r"\s*(\d+)\s+(\S+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+[0-9a-f]+", line)
        if m:
            sections.append((m.group(2), int(m.group(3), 16)))
    return sections


def parse_import_slots(private_headers, image_base, pointer_size):
    """{virtual address of an import-address-table slot: imported name} from objdump -p: each DLL's row
    gives its first thunk (the table's RVA); its names follow in table order, one pointer each."""
    slots = {}
    thunk = None
    index = 0
    in_members = False
    for line in private_headers.splitlines():
        m = re.match(r"^\s*[0-9a-f]{8}\s+[0-9a-f]{8}\s+[0-9a-f]{8}\s+[0-9a-f]{8}\s+[0-9a-f]{8}\s+([0-9a-f]{8})\s*$", line)
        if m:
            thunk, index, in_members = int(m.group(1), 16), 0, False
            continue
        if re.match(r"\s*vma:\s+Hint/Ord", line):
            in_members = thunk is not None
            continue
        if in_members:
            m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)
            if m:
                slots[image_base + thunk + index * pointer_size] = undecorated(m.group(1)).lstrip("@")
                index += 1
            elif not line.strip():
                in_members = False
    return slots


def irql_raising_in_page(disassembly, slots):
    """[(routine, instruction)] for each instruction in the disassembly of PAGE that calls, or loads the
    address of, an IRQL-raising import (directly, or through a register as an optimizer may do), or that
    writes CR8 (the x64 IRQL register)."""
    forbidden = {address for address, name in slots.items() if IRQL_RAISING.match(name)}
    findings = []
    routine = "?"
    for line in disassembly.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            routine = m.group(1)
            continue
        parts = line.split("\t")
        if len(parts) < 3 or not re.match(r"^\s*[0-9a-f]+:$", parts[0]):
            continue
        instruction = "\t".join(parts[2:]).strip()
        addresses = {int(a, 16) for a in re.findall(r"0x([0-9a-f]+)", instruction)}
        addresses |= {int(a, 16) for a in re.findall(r"#\s*([0-9a-f]+)", instruction)}
        named = {undecorated(n).replace("__imp_", "").lstrip("_@") for n in re.findall(r"<([^>+]+)", instruction)}
        if addresses & forbidden or any(IRQL_RAISING.match(undecorated(n)) for n in named):
            findings.append((routine, instruction))
        elif re.search(r"mov\s+%\w+,\s*%cr8", instruction):
            findings.append((routine, instruction))
    return findings


def header_value(private_headers, key):
    m = re.search(r"^%s\s+([0-9a-fA-F]+)" % re.escape(key), private_headers, re.M)
    return int(m.group(1), 16) if m else None


# --- version resource -------------------------------------------------------------------------------


def rva_to_offset(data, rva):
    e_lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    _, nsections, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, e_lfanew + 4)
    table = e_lfanew + 24 + optsize
    for i in range(nsections):
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, table + i * 40 + 8)
        if vaddr <= rva < vaddr + max(vsize, rawsize):
            return rawptr + (rva - vaddr)
    raise ValueError("RVA 0x%x is in no section" % rva)


def resource_directory_rva(data):
    e_lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    opt = e_lfanew + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    rva, size = struct.unpack_from("<II", data, dirs + 2 * 8)  # entry 2: resources
    return rva, size


def first_version_resource(data):
    rva, size = resource_directory_rva(data)
    if not rva or not size:
        return None
    root = rva_to_offset(data, rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, offset + 16 + i * 8)
            yield name, target

    def descend(target):
        return root + (target & 0x7FFFFFFF)

    for name, target in entries(root):
        if name == 16 and target & 0x80000000:  # RT_VERSION
            level2 = descend(target)
            for _, t2 in entries(level2):
                level3 = descend(t2)
                for _, t3 in entries(level3):
                    data_rva, data_size = struct.unpack_from("<II", data, descend(t3))
                    start = rva_to_offset(data, data_rva)
                    return data[start : start + data_size]
    return None


def parse_version_block(blob, offset=0):
    """One VS_VERSIONINFO-style block: (key, value bytes, type, children, end offset)."""
    length, value_length, vtype = struct.unpack_from("<HHH", blob, offset)
    end = offset + length
    pos = offset + 6
    key_end = pos
    while blob[key_end : key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if vtype == 1 else value_length
    value = blob[pos : pos + value_bytes]
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child = parse_version_block(blob, pos)
        children.append(child)
        pos = (child[4] + 3) & ~3
    return key, value, vtype, children, end


def version_strings(blob):
    key, fixed, _, children, _ = parse_version_block(blob)
    if key != "VS_VERSION_INFO":
        raise ValueError("version resource starts with %r" % key)
    strings = {}
    for child in children:
        if child[0] != "StringFileInfo":
            continue
        for table in child[3]:
            for entry in table[3]:
                strings[entry[0]] = entry[1].decode("utf-16-le").rstrip("\0")
    file_version = None
    if len(fixed) >= 52:
        signature, _, ms, ls = struct.unpack_from("<IIII", fixed, 0)
        if signature == 0xFEEF04BD:
            file_version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return strings, file_version


def pe_checksum(data):
    """(computed, stored) image checksum: the one's-complement sum of the file's 16-bit words, skipping the
    CheckSum field, plus the file length. The loader checks it for drivers it loads at boot."""
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    total = 0
    for i in range(0, len(data) - 1, 2):
        if i in (field, field + 2):
            continue
        total += struct.unpack_from("<H", data, i)[0]
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF, struct.unpack_from("<I", data, field)[0]


# --- the checks --------------------------------------------------------------------------------------


def check(image, arch, tool):
    failures = []
    if not os.path.isfile(image):
        return ["%s does not exist (build the %s preset first)" % (image, arch)]

    private = objdump(tool, ["-p"], image)
    if not re.search(r"^Subsystem\s+00000001\s+\(NT native\)", private, re.M):
        failures.append("subsystem is not native")

    imports = parse_imports(private)
    if set(imports) != EXPECTED_IMPORTS[arch]:
        failures.append("imported modules %s, expected %s" % (sorted(imports), sorted(EXPECTED_IMPORTS[arch])))
    names = {undecorated(n) for funcs in imports.values() for n in funcs}
    for forbidden in FORBIDDEN_IMPORTS & names:
        failures.append("imports %s" % forbidden)
    def imported(module, name):
        return name in {undecorated(n) for n in imports.get(module, [])}

    if not imported("hidclass.sys", "HidRegisterMinidriver"):
        failures.append("HidRegisterMinidriver is not imported from HIDCLASS.SYS")
    for usbd in ("USBD_ParseConfigurationDescriptorEx", "USBD_CreateConfigurationRequestEx"):
        if not imported("usbd.sys", usbd):
            failures.append("%s is not imported from USBD.SYS" % usbd)
    if arch == "win32":
        for spin in ("KfAcquireSpinLock", "KfReleaseSpinLock"):
            if not imported("hal.dll", spin):
                failures.append("%s is not imported from HAL.dll" % spin)

    sections = parse_sections(objdump(tool, ["-h"], image))
    exported = re.search(r"Export Address Table\s+([0-9a-f]+)\n", private)
    if exported and int(exported.group(1), 16) != 0:
        failures.append("the driver exports %d symbols" % int(exported.group(1), 16))
    if arch == "win32" and not any(name == ".reloc" for name, _ in sections):
        failures.append("no relocations: the image cannot be loaded at another address")
    symbols = parse_symbols(objdump(tool, ["-t", "-C"], image), sections)
    if not any(name == "PAGE" for name, _ in sections):
        failures.append("no PAGE section")
    else:
        base = header_value(private, "ImageBase") or 0
        slots = parse_import_slots(private, base, 8 if arch == "win64" else 4)
        if not slots:
            failures.append("no import-address-table slots found")
        for routine, instruction in irql_raising_in_page(objdump(tool, ["-d", "-C", "-j", "PAGE"], image), slots):
            failures.append("pageable %s raises the IRQL: %s" % (routine, instruction))
    entry = header_value(private, "AddressOfEntryPoint")
    base = header_value(private, "ImageBase")
    if "DriverEntry" not in symbols:
        failures.append("no DriverEntry symbol")
    elif entry is None or base is None or symbols["DriverEntry"][1] != base + entry:
        failures.append("entry point is not DriverEntry")
    for routine, section in EXPECTED_PLACEMENT.items():
        found = symbols.get(routine)
        if found is None:
            failures.append("routine %s not found" % routine)
        elif found[0] != section:
            failures.append("%s is in %s, expected %s" % (routine, found[0], section))

    with open(image, "rb") as f:
        data = f.read()
    computed, stored = pe_checksum(data)
    if computed != stored:
        failures.append("image checksum 0x%x, the file sums to 0x%x" % (stored, computed))
    blob = first_version_resource(data)
    if blob is None:
        failures.append("no version resource")
    else:
        strings, file_version = version_strings(blob)
        for key, value in EXPECTED_VERSION_STRINGS.items():
            if strings.get(key) != value:
                failures.append("version string %s is %r, expected %r" % (key, strings.get(key), value))
        if file_version != (0, 20, 0, 0):
            failures.append("fixed file version is %s, expected 0.20.0.0" % (file_version,))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(EXPECTED_IMPORTS))
    parser.add_argument("--objdump", default="objdump")
    args = parser.parse_args()
    failures = check(args.image, args.arch, args.objdump)
    for failure in failures:
        print("FAIL: %s: %s" % (args.image, failure))
    if not failures:
        print("ok: %s" % args.image)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
