"""Wine prefixes for the end-to-end runs: the Wine command wrapper, the
initialised template prefix every run copies, and a scenario's prefix (the
template at one Windows version with the machine image's registry imported
and its drive merged into C:), with what a run left of the image in it."""

import contextlib
import os
import shutil
import subprocess
import tempfile
import time

import regfile

EXPORT_ROOTS = ["System\\CurrentControlSet", "Enum"]

# Wine's virtual desktop for the screenshots: larger than any dialog, which
# is then cut out of it (screenshot()).
DESKTOP_SIZE = (800, 600)
# Wine's own fonts (Debian's fonts-wine): Tahoma, MS Sans Serif, Marlett.
# Debian's wineboot leaves C:\windows\Fonts empty, and Wine looks for its
# fonts nowhere else, so dialogs would get whatever fontconfig offers.
WINE_FONTS = os.environ.get("QU_WINE_FONTS", "/usr/share/wine/fonts")


class ScenarioError(Exception):
    pass


# Wine's own timeouts are multiplied by this where 32-bit Wine runs through
# the emulator (scripts/test-stages/wine-e2e.sh sets it): every 32-bit
# process start then costs about 3 s (qemu 10) or a minute (qemu 7.2).
TIMEOUT_SCALE = float(os.environ.get("QU_WINE_TIMEOUT_SCALE", "1"))


def scaled(seconds):
    return seconds * TIMEOUT_SCALE


def image_files(drive_c):
    """Relative paths (lower case, '/') of the files under drive_c."""
    found = set()
    for top, _, files in os.walk(drive_c):
        for name in files:
            rel = os.path.relpath(os.path.join(top, name), drive_c)
            found.add(rel.replace(os.sep, "/").lower())
    return found


def merge_case_insensitive(src, dest):
    """Copies the tree `src` into `dest`, reusing existing entries whose
    names differ only in case (Wine's C: has 'windows', images 'WINDOWS')."""
    existing = {name.lower(): name for name in os.listdir(dest)}
    for name in sorted(os.listdir(src)):
        source = os.path.join(src, name)
        target = os.path.join(dest, existing.get(name.lower(), name))
        if os.path.isdir(source) and not os.path.islink(source):
            os.makedirs(target, exist_ok=True)
            merge_case_insensitive(source, target)
        else:
            shutil.copy2(source, target)


def wine_only_fragment(image_hive, windows_version, desktop):
    """Entries only the Wine prefix gets: the Windows version to report, and
    every service of the image made unstartable (Wine's service manager
    would otherwise start the image's auto-start entries, e.g. an event log
    service whose image is services.exe, over and over)."""
    lines = [regfile.V4_HEADER, "", "[HKEY_CURRENT_USER\\Software\\Wine]"]
    lines.append('"Version"=%s' % regfile.quote(windows_version))
    if desktop:
        lines += ["", "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", '"Desktop"="Default"']
        lines += ["", "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]"]
        lines.append('"Default"="%dx%d"' % DESKTOP_SIZE)
    prefix = "hkey_local_machine\\system\\currentcontrolset\\services\\"
    for path, key in sorted(image_hive.items()):
        if path.startswith(prefix) and "\\" not in path[len(prefix) :] and "start" in key.values:
            lines += ["", "[%s]" % key.name, '"Start"=dword:00000004']
    return ("\r\n".join(lines) + "\r\n").encode("cp1252", errors="replace")


# ---- Wine -------------------------------------------------------------------


class Wine:
    def __init__(self, prefix, log):
        self.prefix = prefix
        self.log = log
        self.env = dict(os.environ)
        self.env.update(
            {
                "WINEPREFIX": prefix,
                "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml=",
            }
        )
        loader = shutil.which("wine64") or "/usr/lib/wine/wine64"
        if not os.path.exists(loader):
            loader = shutil.which("wine") or "wine"
        else:
            self.env.setdefault("WINELOADER", loader)
        self.loader = loader
        self.server = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"

    def run(self, args, timeout=120, check=True):
        timeout = scaled(timeout)
        # Output goes to a file, never a pipe: processes the command starts
        # in the background (services, the desktop) inherit it and would
        # hold a pipe open for the whole session.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run(
                [self.loader] + args,
                env=self.env,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT,
                timeout=timeout,
            )
            out.seek(0)
            text = out.read().decode(errors="replace")
        if check and result.returncode != 0:
            raise ScenarioError(
                "wine %s failed (%d): %s" % (" ".join(args), result.returncode, text[-500:])
            )
        result.output = text
        return result

    def popen(self, args, **kwargs):
        return subprocess.Popen([self.loader] + args, env=self.env, **kwargs)

    def server_command(self, *flags, timeout=60):
        timeout = scaled(timeout)
        subprocess.run(
            [self.server] + list(flags),
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            timeout=timeout,
            check=False,
        )

    def start_server(self):
        # Persistent for the scenario: one session, services started once.
        self.server_command("-p")

    def kill(self):
        try:
            self.server_command("-k", timeout=30)
        except subprocess.TimeoutExpired:
            pass

    def export(self, key, out_path):
        """The subtree `key` as a hive, or {} when the key does not exist."""
        result = self.run(
            ["regedit", "/e", windows_path(out_path), "HKEY_LOCAL_MACHINE\\" + key], check=False
        )
        if result.returncode != 0 or not os.path.exists(out_path):
            return {}
        with open(out_path, "rb") as f:
            return regfile.load(f.read())


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def install_fonts(fonts_dir):
    """Copies Wine's own fonts into the prefix, where Wine looks for them."""
    if not os.path.isdir(WINE_FONTS):
        return
    os.makedirs(fonts_dir, exist_ok=True)
    for name in sorted(os.listdir(WINE_FONTS)):
        if name.lower().endswith((".ttf", ".fon")):
            shutil.copy2(os.path.join(WINE_FONTS, name), os.path.join(fonts_dir, name))


def make_template(work):
    """An initialised prefix to copy per scenario, and its registry."""
    prefix = os.path.join(work, "template")
    os.makedirs(prefix)
    wine = Wine(prefix, None)
    started = time.time()
    try:
        wine.run(["wineboot", "-i"], timeout=300, check=False)
        wine.server_command("-w", timeout=300)
        install_fonts(os.path.join(prefix, "drive_c", "windows", "Fonts"))
        wine.start_server()
        baseline = {}
        for root in EXPORT_ROOTS:
            baseline.update(wine.export(root, os.path.join(work, "baseline.reg")))
    finally:
        wine.kill()
        wine.server_command("-w", timeout=60)
    return prefix, baseline, time.time() - started


def prefix_files(prefix_drive_c, wanted):
    """Which of the image's files (`wanted`, relative, lower case) exist in
    the prefix, matching names without regard to case."""
    present = set()
    for rel in wanted:
        here = prefix_drive_c
        for part in rel.split("/"):
            names = {n.lower(): n for n in os.listdir(here)} if os.path.isdir(here) else {}
            if part not in names:
                here = None
                break
            here = os.path.join(here, names[part])
        if here is not None and os.path.isfile(here):
            present.add(rel)
    return present


@contextlib.contextmanager
def scenario_prefix(template, work, image_dir, version, desktop=False):
    """A fresh copy of the template prefix in work/prefix at `version`, its
    server started, the image's system.reg imported and its drive_c merged
    into C:. Yields (wine, the image's hive); the prefix is removed
    afterwards."""
    prefix = os.path.join(work, "prefix")
    subprocess.run(["cp", "-a", template, prefix], check=True, timeout=300)
    wine = Wine(prefix, None)
    try:
        wine.start_server()
        with open(os.path.join(image_dir, "system.reg"), "rb") as f:
            image_raw = f.read()
        hive = regfile.load(image_raw)
        extra = wine_only_fragment(hive, version, desktop)
        import_path = os.path.join(work, "import.reg")
        with open(import_path, "wb") as f:
            f.write(regfile.append_fragment(image_raw, extra))
        wine.run(["regedit", "/s", windows_path(import_path)])
        merge_case_insensitive(os.path.join(image_dir, "drive_c"), os.path.join(prefix, "drive_c"))
        yield wine, hive
    finally:
        wine.kill()
        shutil.rmtree(prefix, ignore_errors=True)


def machine_state(wine, work, image_dir):
    """The prefix's registry under EXPORT_ROOTS, and which of the image's
    files are still in C:."""
    after = {}
    out_path = os.path.join(work, "after.reg")
    for root in EXPORT_ROOTS:
        if os.path.exists(out_path):
            os.remove(out_path)
        after.update(wine.export(root, out_path))
    wanted = image_files(os.path.join(image_dir, "drive_c"))
    return after, prefix_files(os.path.join(wine.prefix, "drive_c"), wanted)
