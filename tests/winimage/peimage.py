"""A small reader of Windows PE images for the image checks: the machine, the subsystem version, the imports
(ordinary and delay-loaded) and the resources. Reads the file's own tables; needs no outside tool.

    image = PeImage(path)
    image.machine            "x86" or "x64"
    image.subsystem_version  (major, minor) the image asks of Windows
    image.imports            [(dll in lower case, function name or "#ordinal")]
    image.resource(24, 1)    the bytes of a resource by type and name (first language), or None
    image.resource_names()   the resource types; resource_names(24) the names of one type
"""

import struct

MACHINES = {0x014C: "x86", 0x8664: "x64"}
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_DELAY_IMPORT = 13


class PeError(ValueError):
    pass


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.path = path
        d = self.data
        if d[:2] != b"MZ":
            raise PeError(f"{path}: not an MZ image")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise PeError(f"{path}: no PE signature")
        machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        self.machine = MACHINES.get(machine, hex(machine))
        optional = pe + 24
        magic = struct.unpack_from("<H", d, optional)[0]
        if magic == 0x20B:
            self.pe32plus = True
            directories = optional + 112
        elif magic == 0x10B:
            self.pe32plus = False
            directories = optional + 96
        else:
            raise PeError(f"{path}: unknown optional header 0x{magic:x}")
        self.os_version = struct.unpack_from("<HH", d, optional + 40)
        self.subsystem_version = struct.unpack_from("<HH", d, optional + 48)
        count = struct.unpack_from("<I", d, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(min(count, 16))]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, va, raw_size, raw_offset = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), va, max(vsize, raw_size),
                                  raw_offset, raw_size))
        self.imports = self._imports()

    def offset(self, rva):
        for _, va, size, raw_offset, raw_size in self.sections:
            if va <= rva < va + size:
                if rva - va >= raw_size:
                    raise PeError(f"{self.path}: RVA 0x{rva:x} lies in a section's uninitialised part")
                return raw_offset + (rva - va)
        raise PeError(f"{self.path}: RVA 0x{rva:x} outside every section")

    def cstring(self, rva):
        at = self.offset(rva)
        end = self.data.index(b"\0", at)
        return self.data[at:end].decode("ascii", "replace")

    def _thunks(self, rva):
        """Names (or "#ordinal") from an import name table at rva."""
        size, ordinal_flag, fmt = (8, 1 << 63, "<Q") if self.pe32plus else (4, 1 << 31, "<I")
        names = []
        at = self.offset(rva)
        while True:
            value = struct.unpack_from(fmt, self.data, at)[0]
            if value == 0:
                return names
            if value & ordinal_flag:
                names.append(f"#{value & 0xFFFF}")
            else:
                names.append(self.cstring((value & 0x7FFFFFFF) + 2))  # past the hint
            at += size

    def _imports(self):
        found = []
        rva, size = self.directories[DIRECTORY_IMPORT] if len(self.directories) > DIRECTORY_IMPORT else (0, 0)
        if rva and size:
            at = self.offset(rva)
            while True:
                names, _, _, dll, first = struct.unpack_from("<IIIII", self.data, at)
                if dll == 0:
                    break
                module = self.cstring(dll).lower()
                found += [(module, n) for n in self._thunks(names or first)]
                at += 20
        rva, size = (self.directories[DIRECTORY_DELAY_IMPORT]
                     if len(self.directories) > DIRECTORY_DELAY_IMPORT else (0, 0))
        if rva and size:
            at = self.offset(rva)
            while True:
                attributes, dll, _, _, names = struct.unpack_from("<IIIII", self.data, at)
                if dll == 0:
                    break
                if not attributes & 1:
                    raise PeError(f"{self.path}: an old-style delay-import entry (addresses, not RVAs)")
                module = self.cstring(dll).lower()
                found += [(module, n) for n in self._thunks(names)]
                at += 32
        return found

    def resource_names(self, type_id=None):
        """The resource types (type_id None), or the names of one type: numbers, or strings for named ones."""
        rva, size = self.directories[DIRECTORY_RESOURCE] if len(self.directories) > DIRECTORY_RESOURCE else (0, 0)
        if not rva or not size:
            return []
        base = self.offset(rva)
        table = 0
        if type_id is not None:
            table = next((target & 0x7FFFFFFF for ident, target in self._entries(base, 0)
                          if ident == type_id and target & 0x80000000), None)
            if table is None:
                return []
        names = []
        for ident, _ in self._entries(base, table):
            if ident & 0x80000000:
                at = base + (ident & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                names.append(self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le"))
            else:
                names.append(ident)
        return names

    def _entries(self, base, table):
        named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)

    def resource(self, type_id, name_id):
        """The data of resource (type_id, name_id), first language; None when the image has none."""
        rva, size = self.directories[DIRECTORY_RESOURCE] if len(self.directories) > DIRECTORY_RESOURCE else (0, 0)
        if not rva or not size:
            return None
        base = self.offset(rva)

        def entries(table):
            return self._entries(base, table)

        def child(table, wanted):
            for ident, target in entries(table):
                if not ident & 0x80000000 and ident == wanted:
                    return target
            return None

        level = child(0, type_id)
        if level is None or not level & 0x80000000:
            return None
        level = child(level & 0x7FFFFFFF, name_id)
        if level is None or not level & 0x80000000:
            return None
        first = next(entries(level & 0x7FFFFFFF), None)
        if first is None or first[1] & 0x80000000:
            return None
        data_rva, data_size = struct.unpack_from("<II", self.data, base + first[1])
        at = self.offset(data_rva)
        return self.data[at:at + data_size]
