"""Static checks of a Windows executable: which DLLs and functions it
imports, whether Windows 98 can load and run it (down to the processor),
and which version its version resource carries. Reads the PE file directly;
disassembles its code with objdump."""

import re
import shutil
import struct
import subprocess
import tempfile

from win98_api import UNICODE_ON_9X, WIN98_API

IMAGE_DIRECTORY_ENTRY_IMPORT = 1
IMAGE_DIRECTORY_ENTRY_RESOURCE = 2
IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT = 13
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD

MACHINES = {0x14C: "i386", 0x8664: "x86_64"}
IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_MEM_EXECUTE = 0x20000000

# Windows 98 runs on a 486. What the 486 lacks, as objdump spells it:
# conditional moves and the FPU's compares into EFLAGS (Pentium Pro), the
# time-stamp counter and the 8-byte compare-exchange (Pentium), and any MMX
# or SSE register. CPUID is fine: late 486s have it, and code asks it first.
NOT_ON_A_486 = re.compile(r"^(cmov\w+|fcmov\w+|fu?comip?|rdtsc|cmpxchg8b)$")
MMX_OR_SSE_REGISTER = re.compile(r"%[xy]?mm\d")
OBJDUMPS = ("i686-w64-mingw32-objdump", "x86_64-w64-mingw32-objdump", "objdump")


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
        self.pe32_plus = magic == 0x20B
        (
            self.os_version_major,
            self.os_version_minor,
            _,
            _,
            self.subsystem_version_major,
            self.subsystem_version_minor,
        ) = self._unpack("<6H", optional + 40)
        (self.subsystem,) = self._unpack("<H", optional + 68)
        (count,) = self._unpack("<I", count_at)
        self.directories = [
            self._unpack("<II", directories + 8 * i) for i in range(min(count, 16))
        ]
        if self.pe32_plus:
            (self.image_base,) = self._unpack("<Q", optional + 24)
        else:
            (self.image_base,) = self._unpack("<I", optional + 28)
        self.sections = []
        self.code = []  # (address, bytes) of each executable section
        table = optional + optional_size
        for i in range(sections):
            _, vsize, vaddr, rsize, raw, _, _, _, _, flags = self._unpack("<8sIIIIIIHHI", table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raw, rsize))
            if flags & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE):
                size = min(vsize, rsize) if vsize else rsize
                (code,) = self._unpack("%ds" % size, raw)
                self.code.append((self.image_base + vaddr, code))

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

    def _thunk_names(self, rva):
        """Function names (or "#ordinal") of an import name table."""
        names = []
        width, ordinal_bit = (8, 1 << 63) if self.pe32_plus else (4, 1 << 31)
        at = self.offset(rva)
        while True:
            (entry,) = self._unpack("<Q" if self.pe32_plus else "<I", at)
            if entry == 0:
                return names
            if entry & ordinal_bit:
                names.append("#%d" % (entry & 0xFFFF))
            else:
                names.append(self.cstring((entry & 0x7FFFFFFF) + 2))  # past the hint
            at += width

    def imports(self):
        """[(dll, [function, ...])] of the import and delay-import tables."""
        found = []
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_IMPORT)
        if rva and size:
            at = self.offset(rva)
            while True:
                lookup, _, _, name, thunk = self._unpack("<IIIII", at)
                if lookup == 0 and name == 0 and thunk == 0:
                    break
                found.append((self.cstring(name), self._thunk_names(lookup or thunk)))
                at += 20
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)
        if rva and size:
            at = self.offset(rva)
            while True:
                fields = self._unpack("<8I", at)
                if not any(fields):
                    break
                found.append((self.cstring(fields[1]), self._thunk_names(fields[4])))
                at += 32
        return found

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


def is_unicode_name(function):
    """True for the wide-character form of an API function ("LoadLibraryW"):
    a capital W after a lower-case letter or digit ends the name."""
    return len(function) > 1 and function[-1] == "W" and (function[-2].islower() or function[-2].isdigit())


def instructions_a_486_lacks(code, address, machine="i386"):
    """["address: instruction"] of each instruction in `code` (bytes at
    `address`) that a 486 does not have, decoded by objdump one after the
    other from the start."""
    objdump = next((name for name in OBJDUMPS if shutil.which(name)), None)
    if objdump is None:
        raise PeError("no objdump to disassemble with (%s)" % ", ".join(OBJDUMPS))
    architecture = "i386" if machine == "i386" else "i386:x86-64"
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.write(code)
        f.flush()
        run = subprocess.run(
            [objdump, "-D", "-b", "binary", "-m", architecture, "--no-show-raw-insn",
             "--adjust-vma=%#x" % address, f.name],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
    if run.returncode != 0:
        raise PeError("objdump failed: %s" % run.stderr.decode(errors="replace").strip())
    found = []
    for line in run.stdout.decode(errors="replace").splitlines():
        fields = line.strip().split("\t")
        parts = fields[1].split(None, 1) if len(fields) > 1 and fields[0].endswith(":") else []
        if not parts:
            continue
        if NOT_ON_A_486.match(parts[0]) or MMX_OR_SSE_REGISTER.search(parts[-1]):
            found.append("%#x: %s" % (int(fields[0][:-1], 16), " ".join(parts)))
    return found


def windows98_problems(pe):
    """Why Windows 98 would not load or run `pe`: a header above version 4.0,
    not a GUI program, an import it lacks (not in WIN98_API) or a Unicode
    function it only stubs, an instruction the 486 lacks."""
    problems = []
    if pe.subsystem != 2:
        problems.append("subsystem is %d, expected 2 (Windows GUI)" % pe.subsystem)
    for what, major, minor in (
        ("subsystem", pe.subsystem_version_major, pe.subsystem_version_minor),
        ("OS", pe.os_version_major, pe.os_version_minor),
    ):
        if (major, minor) != (4, 0):
            problems.append("%s version is %d.%d, expected 4.0" % (what, major, minor))
    for dll, functions in pe.imports():
        known = WIN98_API.get(dll.lower(), {})
        for function in functions:
            if is_unicode_name(function) and function not in UNICODE_ON_9X:
                problems.append("imports %s!%s, a Unicode function Windows 98 only stubs" % (dll, function))
            elif function not in known:
                problems.append("imports %s!%s, not known to exist on Windows 98" % (dll, function))
    for address, code in pe.code:
        try:
            lacking = instructions_a_486_lacks(code, address, MACHINES.get(pe.machine))
        except PeError as error:
            problems.append("code not checked: %s" % error)
            continue
        problems += ["code at %s, which a 486 does not have" % i for i in lacking]
    return problems


def check(path, allowed_dlls, version, machine=None, windows98=False):
    """Problems found in the executable at `path` (empty when it passes);
    `windows98` adds windows98_problems."""
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
        if windows98:
            problems += windows98_problems(pe)
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
