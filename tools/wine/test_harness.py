"""Unit tests of the Wine harness's pieces: .reg reading and comparison, the
scenario image build, the JSON line filter, the screenshot trim and the PE
checks."""

import datetime
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pecheck  # noqa: E402
import quiet_runs  # noqa: E402
import regfile  # noqa: E402
import win98_api  # noqa: E402
import wine_e2e  # noqa: E402
import wine_prefix  # noqa: E402
import wine_session  # noqa: E402

V4 = (
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\inst1]\r\n"
    '"DeviceDesc"="Quorvane \\"2.0\\" \\\\ Adapter"\r\n'
    '"HardwareID"=hex(7):55,53,42,00,41,42,\\\r\n'
    "  00,00\r\n"
    '"Path"=hex(2):25,41,25,00\r\n'
    '"ConfigFlags"=dword:00000010 ; a comment\r\n'
    '@="default"\r\n'
    '"Bad"=dword:0x10\r\n'
    '"Hash"="x" # no\r\n'
    "[HKLM\\Software\\Ignored]\r\n"
    '"Lost"="value"\r\n'
)


def v5_export(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


class RegFileTest(unittest.TestCase):
    def test_reads_v4_values_and_skips_bad_lines(self):
        hive = {}
        skipped = regfile.apply(hive, V4.encode("cp1252"))
        key = hive["hkey_local_machine\\system\\currentcontrolset\\enum\\usb\\vid_f3a7&pid_0053\\inst1"]
        self.assertEqual(key.values["devicedesc"][1:], (1, 'Quorvane "2.0" \\ Adapter'))
        self.assertEqual(key.values["hardwareid"][1:], (7, ("USB", "AB")))
        self.assertEqual(key.values["path"][1:], (2, "%A%"))
        self.assertEqual(key.values["configflags"][1:], (4, 16))
        self.assertEqual(key.values[""][1:], (1, "default"))
        self.assertNotIn("bad", key.values)
        self.assertNotIn("hash", key.values)
        # Parents exist; the short root is refused and its values dropped.
        self.assertIn("hkey_local_machine\\system", hive)
        self.assertFalse(any("ignored" in k for k in hive))
        self.assertEqual(len(skipped), 4)

    def test_v5_utf16_equals_v4_ansi(self):
        v5 = (
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\INST1]\r\n"
            '"devicedesc"="Quorvane \\"2.0\\" \\\\ Adapter"\r\n'
            '"HardwareID"=hex(7):55,00,53,00,42,00,00,00,41,00,42,00,00,00,00,00\r\n'
            '"Path"=hex(2):25,00,41,00,25,00,00,00\r\n'
            '"ConfigFlags"=dword:00000010\r\n'
            '@="default"\r\n'
        )
        a = regfile.load(V4.encode("cp1252"))
        b = regfile.load(v5_export(v5))
        self.assertEqual(regfile.differences(a, b), [])
        b_key = b["hkey_local_machine\\system\\currentcontrolset\\enum\\usb\\vid_f3a7&pid_0053\\inst1"]
        b_key.values["configflags"] = ("ConfigFlags", 4, 17)
        self.assertEqual(len(regfile.differences(a, b)), 1)

    def test_delete_lines_and_missing_header(self):
        hive = regfile.load(V4.encode("cp1252"))
        regfile.apply(
            hive,
            b"REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB]\r\n",
        )
        self.assertFalse(any("\\usb" in k for k in hive))
        self.assertIn("hkey_local_machine\\system\\currentcontrolset\\enum", hive)
        with self.assertRaises(regfile.RegFileError):
            regfile.load(b"REGEDIT5\r\n[HKEY_LOCAL_MACHINE\\A]\r\n")

    def test_differences_name_missing_keys_and_values(self):
        a = regfile.load(b'REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n"x"="1"\n[HKEY_LOCAL_MACHINE\\A\\B]\n')
        b = regfile.load(b'REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n"X"="2"\n"y"=dword:1\n')
        lines = regfile.differences(a, b, "host", "wine")
        self.assertEqual(len(lines), 3)
        self.assertIn("key HKEY_LOCAL_MACHINE\\A\\B: present in host, missing in wine", lines)

    def test_baseline_values_are_left_out(self):
        baseline = regfile.load(
            b'REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\Wine]\n"w"="1"\n[HKEY_LOCAL_MACHINE\\S\\Both]\n"w"="1"\n'
        )
        image = regfile.load(b'REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\Both]\n"i"="2"\n')
        after = regfile.load(
            b'REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\Wine]\n"w"="1"\n'
            b'[HKEY_LOCAL_MACHINE\\S\\Both]\n"w"="1"\n"i"="2"\n'
        )
        trimmed = regfile.without_baseline(after, baseline, image)
        self.assertNotIn("hkey_local_machine\\s\\wine", trimmed)
        self.assertEqual(list(trimmed["hkey_local_machine\\s\\both"].values), ["i"])

    def test_append_fragment_keeps_the_encoding(self):
        fragment = b'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\F]\r\n"v"="\xe9"\r\n'
        v4 = regfile.append_fragment(b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n", fragment)
        self.assertEqual(regfile.load(v4)["hkey_local_machine\\f"].values["v"][2], "\u00e9")
        v5 = regfile.append_fragment(
            v5_export("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"),
            fragment,
        )
        self.assertTrue(v5.startswith(b"\xff\xfe"))
        hive = regfile.load(v5)
        self.assertIn("hkey_local_machine\\a", hive)
        self.assertEqual(hive["hkey_local_machine\\f"].values["v"][2], "\u00e9")


class HarnessTest(unittest.TestCase):
    def test_json_lines_start_at_their_marker(self):
        output = (
            "Windows2000 / WindowsXP detected.\r\r\n"
            'ERROR: Cannot detect Windows version!{"status": "x", "devices": []}\n'
            '{"caption": "About", "texts": []}\n'
            "plain text\n"
        )
        self.assertEqual(
            wine_e2e.json_lines(output),
            ['{"status": "x", "devices": []}', '{"caption": "About", "texts": []}'],
        )

    def test_the_host_facts_member_is_left_out(self):
        state = '{"status": "a \\"machine\\": {x}", "restartRequested": false}'
        facts = ', "machine": {"platform": "nt", "from": {"platform": "registry"}}'
        self.assertEqual(wine_e2e.without_facts(state[:-1] + facts + "}"), state)
        self.assertEqual(wine_e2e.without_facts(state), state)
        about = '{"caption": "About", "texts": []}'
        self.assertEqual(wine_e2e.without_facts(about), about)

    def test_image_build_and_case_insensitive_merge(self):
        with tempfile.TemporaryDirectory() as root:
            image = os.path.join(root, "img")
            os.makedirs(os.path.join(image, "drive_c", "WINDOWS", "Inf"))
            with open(os.path.join(image, "drive_c", "WINDOWS", "Inf", "oem7.inf"), "w") as f:
                f.write("inf")
            with open(os.path.join(image, "machine.ini"), "w") as f:
                f.write("[system]\nplatform = nt\n")
            with open(os.path.join(image, "system.reg"), "wb") as f:
                f.write(b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\svc]\r\n"
                        b'"Start"=dword:00000002\r\n')
            with open(os.path.join(root, "frag.reg"), "wb") as f:
                f.write(b"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Added]\r\n")
            scenario = {"image": "img", "fragments": ["frag.reg"]}
            dest = os.path.join(root, "out")
            ini = wine_e2e.build_image(root, scenario, dest, {"propertychange": "refuse"})
            self.assertEqual(ini["faults"], {"propertychange": "refuse"})
            self.assertEqual(wine_e2e.read_ini(os.path.join(dest, "machine.ini"))["faults"],
                             {"propertychange": "refuse"})
            with open(os.path.join(dest, "system.reg"), "rb") as f:
                hive = regfile.load(f.read())
            self.assertIn("hkey_local_machine\\added", hive)

            extra = regfile.load(wine_prefix.wine_only_fragment(hive, "winxp", False))
            self.assertEqual(extra["hkey_local_machine\\system\\currentcontrolset\\services\\svc"]
                             .values["start"][2], 4)
            self.assertEqual(extra["hkey_current_user\\software\\wine"].values["version"][2], "winxp")

            prefix_c = os.path.join(root, "prefix_c")
            os.makedirs(os.path.join(prefix_c, "windows", "inf"))
            wine_prefix.merge_case_insensitive(os.path.join(dest, "drive_c"), prefix_c)
            self.assertEqual(os.listdir(prefix_c), ["windows"])
            self.assertEqual(os.listdir(os.path.join(prefix_c, "windows")), ["inf"])
            wanted = wine_prefix.image_files(os.path.join(dest, "drive_c"))
            self.assertEqual(wanted, {"windows/inf/oem7.inf"})
            self.assertEqual(wine_prefix.prefix_files(prefix_c, wanted), wanted)
            os.remove(os.path.join(prefix_c, "windows", "inf", "oem7.inf"))
            self.assertEqual(wine_prefix.prefix_files(prefix_c, wanted), set())


def minimal_pe(dll_names, version, machine=0x8664):
    """A PE32+ image with one section holding an import table and a version
    resource."""
    section_rva, file_align = 0x1000, 0x200
    body = bytearray(0x400)
    # Import descriptors at 0, names at 0x100.
    at_name = 0x100
    for i, name in enumerate(dll_names):
        struct.pack_into("<IIIII", body, 20 * i, 0, 0, 0, section_rva + at_name, 1)
        body[at_name : at_name + len(name)] = name.encode()
        at_name += len(name) + 1
    # Resource directory at 0x200: type 16 -> id 1 -> lang -> data entry.
    res = 0x200
    struct.pack_into("<IIHHHH", body, res, 0, 0, 0, 0, 0, 1)
    struct.pack_into("<II", body, res + 16, 16, 0x80000000 | 0x18)
    struct.pack_into("<IIHHHH", body, res + 0x18, 0, 0, 0, 0, 0, 1)
    struct.pack_into("<II", body, res + 0x28, 1, 0x80000000 | 0x30)
    struct.pack_into("<IIHHHH", body, res + 0x30, 0, 0, 0, 0, 0, 1)
    struct.pack_into("<II", body, res + 0x40, 0x409, 0x48)
    blob_rva = section_rva + 0x300
    a, b, c, d = version
    fixed = struct.pack("<6I", 0xFEEF04BD, 0x10000, (a << 16) | b, (c << 16) | d, (a << 16) | b, (c << 16) | d)
    struct.pack_into("<IIII", body, res + 0x48, blob_rva, len(fixed) + 8, 0, 0)
    body[0x300 + 8 : 0x300 + 8 + len(fixed)] = fixed

    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<I", optional, 108, 16)
    struct.pack_into("<II", optional, 112 + 8, section_rva, 20 * (len(dll_names) + 1))
    struct.pack_into("<II", optional, 112 + 16, section_rva + res, 0x100)
    header = bytearray(0x40)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    coff = struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, len(optional), 0x22)
    section = struct.pack("<8sIIIIIIHHI", b".data", len(body), section_rva, len(body), file_align, 0, 0, 0, 0, 0)
    image = header + b"PE\0\0" + coff + optional + section
    image += b"\0" * (file_align - len(image))
    return bytes(image + body)


class WineTargetsTest(unittest.TestCase):
    def args(self, exe32):
        return type("Args", (), {"exe": "q64.exe", "driver": "d64.exe", "exe32": exe32,
                                 "driver32": "d32.exe"})()

    def test_each_build_at_the_versions_of_its_family(self):
        labels = [t[0] for t in wine_e2e.wine_targets(self.args("q32.exe"), {}, "nt")]
        self.assertEqual(labels, ["x86_64:winxp", "i686:winxp", "i686:win2k"])
        runs = wine_e2e.wine_targets(self.args("q32.exe"), {}, "9x")
        self.assertEqual([t[0] for t in runs], ["x86_64:win98", "i686:win98", "i686:winme"])
        self.assertEqual(runs[2][1:], ("q32.exe", "d32.exe", "winme"))
        # Without 32-bit Wine only the x86_64 exe runs.
        self.assertEqual([t[0] for t in wine_e2e.wine_targets(self.args(None), {}, "9x")],
                         ["x86_64:win98"])

    def test_an_emulated_wine_runs_the_i686_exe_in_the_named_scenarios_only(self):
        args = self.args("q32.exe")
        args.i686_only = {"xp-uninstall", "me-uninstall"}
        self.assertEqual([t[0] for t in wine_e2e.wine_targets(args, {}, "nt", "xp-uninstall")],
                         ["x86_64:winxp", "i686:winxp"])
        self.assertEqual([t[0] for t in wine_e2e.wine_targets(args, {}, "9x", "me-uninstall")],
                         ["x86_64:win98", "i686:win98"])
        self.assertEqual([t[0] for t in wine_e2e.wine_targets(args, {}, "nt", "xp-empty")],
                         ["x86_64:winxp"])

    def test_conformance_output(self):
        closing = "conformance: 10 checks, 0 failed, 1 todo (known differences from Windows), 0 todo passed"
        self.assertEqual(wine_e2e.conformance_result(closing + "\r\n", 0), ([], closing))
        failed = "x.cpp:3: [s] FAILED a == b: got 1 (0x1), expected 2"
        self.assertEqual(wine_e2e.conformance_result(failed + "\n" + closing.replace("0 failed", "1 failed"), 1)[0],
                         [failed])
        self.assertEqual(wine_e2e.conformance_result("conformance: fixture failed: no rights\n", 1)[0],
                         ["conformance: fixture failed: no rights", "no closing line (exit status 1)"])
        self.assertEqual(wine_e2e.conformance_result("", 3), (["no closing line (exit status 3)"], None))

    def test_preferred_run_falls_back(self):
        scenario = {"wineRunPreferred": ["i686:winxp", "x86_64:winxp"]}
        self.assertEqual([t[0] for t in wine_e2e.wine_targets(self.args("q32.exe"), scenario, "nt")],
                         ["i686:winxp"])
        self.assertEqual([t[0] for t in wine_e2e.wine_targets(self.args(None), scenario, "nt")],
                         ["x86_64:winxp"])
        self.assertEqual(wine_e2e.wine_targets(self.args(None), scenario, "9x"), [])


class QuietRunsTest(unittest.TestCase):
    def test_log_lines_are_read_and_their_stamps_checked(self):
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "q.log")
            now = 1_800_000_000
            stamp = lambda t: datetime.datetime.fromtimestamp(t).strftime("%Y-%m-%d %H:%M:%S")
            with open(path, "wb") as f:
                f.write(("%s Windows98 / WindowsME detected.\r\n%s ERROR: 'x' not plugged in!\r\n"
                         "no stamp\r\n%s late\r\n" % (stamp(now), stamp(now + 1), stamp(now + 9)))
                        .encode("cp1252"))
            texts, problems = quiet_runs.read_log(path, now, now + 2)
            self.assertEqual(texts, ["Windows98 / WindowsME detected.", "ERROR: 'x' not plugged in!", "late"])
            self.assertEqual(len(problems), 2, problems)
            self.assertIn("not a log line: 'no stamp'", problems[0])
            self.assertIn("outside the run", problems[1])
            self.assertEqual(quiet_runs.read_log(os.path.join(work, "none.log"), now, now), ([], []))

    def test_the_runs_are_held_to_the_dialog(self):
        status = "Windows2000 / WindowsXP detected.\r\r\nERROR: 'x' not plugged in!  It ...\r\r\n"
        lines = quiet_runs.status_lines(status)
        self.assertEqual(quiet_runs.expected_code(lines), 1603)
        self.assertEqual(quiet_runs.expected_code(["NOTE: You must restart Windows in ..."]), 3010)
        self.assertEqual(quiet_runs.expected_code(["NOTE: No Quorvane device detected!"]), 0)
        registry = regfile.load(b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\X]\r\n\"A\"=\"1\"\r\n")
        files = {"windows/inf/oem7.inf"}
        run = lambda code, temp, second=(): (code, (temp, []), (list(second), []), registry, files, 0, 0)
        touched = lambda hive: hive
        good = [run(1603, lines), run(1603, lines, lines), run(87, lines, lines)]
        self.assertEqual(quiet_runs.check_runs(status, registry, files, good, touched), [])
        bad = [run(0, lines[:1]), run(1603, lines + ["x"], lines), (87, (lines, []), (lines, []), {}, set(), 0, 0)]
        problems = "\n".join(quiet_runs.check_runs(status, registry, files, bad, touched))
        for wanted in ["/quiet: exit code 0, the dialog's Uninstall calls for 1603",
                       "/quiet log lines differ from the dialog's status",
                       "second run: its lines differ from the first run's",
                       "second run: the temporary folder's log changed",
                       "/quiet /bogus: a log changed",
                       "/quiet /bogus: key HKEY_LOCAL_MACHINE\\Enum\\USB\\X: present in second run, missing in",
                       "file windows/inf/oem7.inf: kept after the second run, deleted after the /quiet /bogus"]:
            self.assertIn(wanted, problems)
        self.assertNotIn("second run: exit code", problems)


@unittest.skipUnless(shutil.which("convert"), "ImageMagick is missing")
class ScreenshotTrimTest(unittest.TestCase):
    def test_the_desktop_is_cut_away_around_every_window(self):
        # A dialog at the origin and a box overlapping it that reaches
        # further right and down; a window edge in the desktop's colour must
        # not end the cut early.
        with tempfile.TemporaryDirectory() as tmp:
            whole, cut = os.path.join(tmp, "desktop.png"), os.path.join(tmp, "cut.png")
            subprocess.run(["convert", "-size", "300x200", "xc:#3a6ea5",
                            "-fill", "#d4d0c8", "-draw", "rectangle 0,0 119,79",
                            "-fill", "white", "-draw", "rectangle 40,30 159,109",
                            "-fill", "#3a6ea5", "-draw", "line 40,30 159,30", whole], check=True)
            wine_session.trim_desktop(whole, cut)
            size = subprocess.run(["identify", "-format", "%wx%h", cut], check=True,
                                  stdout=subprocess.PIPE).stdout.decode()
            self.assertEqual(size, "160x110")


def pe32_with_imports(imports, subsystem=2, os_version=(4, 0), subsystem_version=(4, 0), code=None):
    """An i386 PE32 image whose import table names `imports` [(dll, [function])]
    (a function "#N" is imported by ordinal N), and with `code` a code section
    holding those bytes at 0x402000."""
    section_rva, file_align = 0x1000, 0x200
    body = bytearray(0x800)
    names_at = 0x100 + 20 * (len(imports) + 1)
    strings = bytearray()

    def rva_of_string(text, hint=False):
        at = names_at + len(strings)
        strings.extend((b"\0\0" if hint else b"") + text.encode() + b"\0")
        return section_rva + at

    thunks = []
    for i, (dll, functions) in enumerate(imports):
        entries = []
        for function in functions:
            entries.append(0x80000000 | int(function[1:]) if function.startswith("#")
                           else rva_of_string(function, hint=True))
        thunks.append(entries)
        struct.pack_into("<IIIII", body, 0x100 + 20 * i, 0, 0, 0, rva_of_string(dll), 0)
    body[names_at : names_at + len(strings)] = strings
    table_at = (names_at + len(strings) + 3) & ~3
    for i, entries in enumerate(thunks):
        struct.pack_into("<I", body, 0x100 + 20 * i, section_rva + table_at)
        for entry in entries + [0]:
            struct.pack_into("<I", body, table_at, entry)
            table_at += 4
    optional = bytearray(224)
    struct.pack_into("<H", optional, 0, 0x10B)
    struct.pack_into("<HH", optional, 40, *os_version)
    struct.pack_into("<HH", optional, 48, *subsystem_version)
    struct.pack_into("<I", optional, 28, 0x400000)
    struct.pack_into("<H", optional, 68, subsystem)
    struct.pack_into("<I", optional, 92, 16)
    struct.pack_into("<II", optional, 96 + 8, section_rva + 0x100, 20 * (len(imports) + 1))
    header = bytearray(0x40)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    sections = struct.pack("<8sIIIIIIHHI", b".idata", len(body), section_rva, len(body), file_align, 0, 0, 0, 0, 0)
    if code is not None:
        sections += struct.pack("<8sIIIIIIHHI", b".text", len(code), 0x2000, len(code),
                                file_align + len(body), 0, 0, 0, 0, 0x60000020)
        body += code
    coff = struct.pack("<HHIIIHH", 0x14C, len(sections) // 40, 0, 0, 0, len(optional), 0x102)
    image = header + b"PE\0\0" + coff + optional + sections
    image += b"\0" * (file_align - len(image))
    return pecheck.PeFile(bytes(image + body))


class Windows98CheckTest(unittest.TestCase):
    def test_known_functions_and_the_9x_unicode_ones_pass(self):
        pe = pe32_with_imports([("KERNEL32.dll", ["GetVersionExA", "lstrlenW", "MultiByteToWideChar"]),
                                ("USER32.dll", ["MessageBoxW", "DialogBoxParamA"])])
        self.assertEqual(pe.imports()[1], ("USER32.dll", ["MessageBoxW", "DialogBoxParamA"]))
        self.assertEqual(pecheck.windows98_problems(pe), [])

    def test_unicode_stubs_unknown_functions_and_ordinals_fail(self):
        pe = pe32_with_imports([("KERNEL32.dll", ["LoadLibraryW", "CreateSemaphoreW", "GetVersionExA"]),
                                ("USER32.dll", ["ShowWindow", "#12"]),
                                ("msvcrt.dll", ["_wfopen"])])
        problems = pecheck.windows98_problems(pe)
        self.assertEqual(len(problems), 5, problems)
        self.assertIn("KERNEL32.dll!LoadLibraryW, a Unicode function", problems[0])
        self.assertIn("CreateSemaphoreW, a Unicode function", problems[1])
        self.assertIn("USER32.dll!ShowWindow, not known", problems[2])  # not Unicode: "w" after "o"
        self.assertIn("USER32.dll!#12, not known", problems[3])
        self.assertIn("msvcrt.dll!_wfopen, not known", problems[4])

    def test_header_versions_and_subsystem(self):
        pe = pe32_with_imports([], subsystem=3, os_version=(5, 1), subsystem_version=(5, 1))
        self.assertEqual(pecheck.windows98_problems(pe), [
            "subsystem is 3, expected 2 (Windows GUI)",
            "subsystem version is 5.1, expected 4.0",
            "OS version is 5.1, expected 4.0",
        ])

    def test_instructions_a_486_lacks_fail(self):
        """The code is decoded from its start; every instruction of a Pentium or
        later, or with an MMX or SSE register, is named at its address."""
        cases = [
            ("push, mov, xor, cpuid, ret", "5589e531c00fa2c3", []),
            ("padding: lea, nop", "8d742600909090", []),
            ("cmp, cmove, ret", "39d00f44c2c3", ["0x402002: cmove %edx,%eax"]),
            ("fcmovb, fcomip, fucomi", "dac1dff1dbe9",
             ["0x402000: fcmovb %st(1),%st", "0x402002: fcomip %st(1),%st", "0x402004: fucomi %st(1),%st"]),
            ("rdtsc, cmpxchg8b", "0f310fc70e", ["0x402000: rdtsc", "0x402002: cmpxchg8b (%esi)"]),
            ("MMX and SSE registers", "0f6fc10f28c1660fefc0",
             ["0x402000: movq %mm1,%mm0", "0x402003: movaps %xmm1,%xmm0", "0x402006: pxor %xmm0,%xmm0"]),
        ]
        for name, code, lacking in cases:
            with self.subTest(name):
                pe = pe32_with_imports([("KERNEL32.dll", ["GetVersionExA"])], code=bytes.fromhex(code))
                self.assertEqual(pecheck.windows98_problems(pe),
                                 ["code at %s, which a 486 does not have" % i for i in lacking])

    def test_the_documented_list_is_the_table(self):
        """docs/win32-imports.md lists every function of the table, with the same versions."""
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "..", "..", "docs", "win32-imports.md"), encoding="utf-8") as f:
            rows = [line.strip().strip("|").split("|") for line in f if line.startswith("| `")]
        documented = {(cells[0].strip(" `").lower(), cells[1].strip(" `")): tuple(c.strip() for c in cells[2:4])
                      for cells in rows}
        table = {(dll, name): versions for dll, functions in win98_api.WIN98_API.items()
                 for name, versions in functions.items()}
        self.assertEqual(documented, table)


class PeCheckTest(unittest.TestCase):
    def check(self, image, machine="x86_64"):
        with tempfile.NamedTemporaryFile(suffix=".exe", delete=False) as f:
            f.write(image)
        try:
            return pecheck.check(f.name, wine_e2e.SYSTEM_DLLS, "1.1.1.0", machine)
        finally:
            os.remove(f.name)

    def test_system_dlls_and_version_pass(self):
        self.assertEqual(self.check(minimal_pe(["KERNEL32.dll", "msvcrt.dll"], (1, 1, 1, 0))), [])

    def test_foreign_dll_wrong_version_and_machine_fail(self):
        problems = self.check(minimal_pe(["KERNEL32.dll", "libstdc++-6.dll"], (1, 1, 2, 0)), "i386")
        self.assertEqual(len(problems), 3)
        self.assertIn("libstdc++-6.dll", problems[1])
        self.assertIn("1.1.2.0", problems[2])

    def test_not_a_pe_file(self):
        self.assertEqual(len(self.check(b"MZ" + b"\0" * 10)), 1)
        self.assertIn("not a readable PE file", self.check(b"\x7fELF" + b"\0" * 100)[0])


if __name__ == "__main__":
    unittest.main()
