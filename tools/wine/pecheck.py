"""Static checks of a Windows executable: which DLLs it imports and which
version its version resource carries. Reads the PE file directly."""

import struct

IMAGE_DIRECTORY_ENTRY_IMPORT = 1
IMAGE_DIRECTORY_ENTRY_RESOURCE = 2
IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT = 13
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD

MACHINES = {0x14C: "i386", 0x8664: "x86_64"}


class PeError(ValueError):
    pass


class PeFile:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe_offset,) = self._unpack("<I", 0x3C)
        if data[pe_offset : pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        self.machine, sections, _, _, _, optional_size, _ = self._unpack("<HHIIIHH", coff)
        optional = coff + 20
        (magic,) = self._unpack("<H", optional)
        if magic == 0x10B:
            directories, count_at = optional + 96, optional + 92
        elif magic == 0x20B:
            directories, count_at = optional + 112, optional + 108
        else:
            raise PeError("unknown optional header magic %#x" % magic)
        (count,) = self._unpack("<I", count_at)
        self.directories = [
            self._unpack("<II", directories + 8 * i) for i in range(min(count, 16))
        ]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, vaddr, rsize, raw = self._unpack("<8sIIII", table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raw, rsize))

    def _unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PeError("truncated file")
        return struct.unpack_from(fmt, self.data, offset)

    def offset(self, rva):
        for vaddr, size, raw, rsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rsize:
                    raise PeError("RVA %#x lies in uninitialised data" % rva)
                return raw + rva - vaddr
        raise PeError("RVA %#x is in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PeError("unterminated name")
        return self.data[start:end].decode("ascii", errors="replace")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imported_dlls(self):
        """Names of the DLLs in the import and delay-import tables."""
        names = []
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_IMPORT)
        if rva and size:
            at = self.offset(rva)
            while True:
                lookup, _, _, name, thunk = self._unpack("<IIIII", at)
                if lookup == 0 and name == 0 and thunk == 0:
                    break
                names.append(self.cstring(name))
                at += 20
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)
        if rva and size:
            at = self.offset(rva)
            while True:
                fields = self._unpack("<8I", at)
                if not any(fields):
                    break
                names.append(self.cstring(fields[1]))
                at += 32
        return names

    def _resource_entries(self, base, directory_offset):
        _, _, _, _, named, ids = self._unpack("<IIHHHH", directory_offset)
        for i in range(named + ids):
            name, target = self._unpack("<II", directory_offset + 16 + 8 * i)
            yield name, target

    def version_resources(self):
        """Raw bytes of every RT_VERSION resource."""
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE)
        if not rva or not size:
            return []
        base = self.offset(rva)
        found = []

        def walk(directory_offset, depth):
            for name, target in self._resource_entries(base, directory_offset):
                if depth == 0 and name != RT_VERSION:
                    continue
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), depth + 1)
                else:
                    data_rva, data_size, _, _ = self._unpack("<IIII", base + target)
                    start = self.offset(data_rva)
                    found.append(self.data[start : start + data_size])

        walk(base, 0)
        return found

    def fixed_versions(self):
        """(file version, product version) strings from VS_FIXEDFILEINFO of
        each version resource."""
        versions = []
        signature = struct.pack("<I", VS_FIXEDFILEINFO_SIGNATURE)
        for blob in self.version_resources():
            at = blob.find(signature)
            if at < 0 or at + 24 > len(blob):
                continue
            _, _, file_ms, file_ls, prod_ms, prod_ls = struct.unpack_from("<6I", blob, at)
            versions.append((_dotted(file_ms, file_ls), _dotted(prod_ms, prod_ls)))
        return versions


def _dotted(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check(path, allowed_dlls, version, machine=None):
    """Problems found in the executable at `path` (empty when it passes)."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        pe = PeFile(data)
        problems = []
        if machine is not None and MACHINES.get(pe.machine) != machine:
            problems.append(
                "machine is %s, expected %s" % (MACHINES.get(pe.machine, hex(pe.machine)), machine)
            )
        allowed = {name.lower() for name in allowed_dlls}
        for dll in pe.imported_dlls():
            if dll.lower() not in allowed:
                problems.append("imports %s, which is not a system DLL" % dll)
        versions = pe.fixed_versions()
        if not versions:
            problems.append("no version resource")
        for file_version, product_version in versions:
            if file_version != version or product_version != version:
                problems.append(
                    "version resource says file %s, product %s; expected %s"
                    % (file_version, product_version, version)
                )
        return problems
    except PeError as error:
        return ["not a readable PE file: %s" % error]
