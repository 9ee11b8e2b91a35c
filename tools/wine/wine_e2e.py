#!/usr/bin/env python3
"""End-to-end runs of QuorvaneUninstall.exe under Wine, compared with the
host program on the same machine image.

For each scenario (a JSON file, see tests/wine/README.md):
  host run  - the host program in line mode on a copy of the scenario image;
  Wine run  - a fresh copy of an initialised Wine prefix, the Windows version
              the image names, the image's system.reg imported with regedit,
              its drive_c merged into C:, the exe started and worked by the
              UI driver; the prefix is removed afterwards;
then the JSON lines of both runs, the registry keys the program may touch
and the image's files must end identical. Where Wine 8 differs from
Windows the host side carries the matching fault (docs/wine-differences.md).

Every scenario runs the x86_64 exe at the image's usual Windows version
(winxp for NT images, win98 for 9x ones) and the i686 exe, the product, at
both versions of its family (winxp and win2k, win98 and winme); each Wine
run is compared with the one host run.

Also checks the executables' imports (the i686 one against the functions
Windows 98 has), PE header and version resource.
Prints one line per check and a closing "N passed, M failed"; exit status 1
when anything failed.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pecheck  # noqa: E402
import quiet_runs  # noqa: E402
import regfile  # noqa: E402
from wine_session import DriverSession, WineHang, screenshot  # noqa: E402
from wine_prefix import (  # noqa: E402
    ScenarioError,
    Wine,
    image_files,
    machine_state,
    make_template,
    scaled,
    scenario_prefix,
    windows_path,
)

SYSTEM_DLLS = [
    "kernel32.dll",
    "user32.dll",
    "gdi32.dll",
    "advapi32.dll",
    "setupapi.dll",
    "comctl32.dll",
    "msvcrt.dll",
]
PRODUCT_VERSION = "1.1.1.0"

# Registry subtrees (below HKEY_LOCAL_MACHINE) that the program or the
# device installer it calls may change; they must end identical.
TOUCHED_KEYS = [
    "System\\CurrentControlSet\\Enum\\USB",
    "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}",
    "System\\CurrentControlSet\\Services\\Eventlog\\System",
    "Enum\\USB",
    "System\\CurrentControlSet\\Services\\Class\\Net",
    "System\\CurrentControlSet\\Control\\DeviceClasses",
]

# Faults every differential host run carries: Wine 8's
# SetupDiSetClassInstallParamsA is a stub that always fails.
WINE_HOST_FAULTS = {"propertychange": "refuse"}

JSON_MARKERS = ('{"status": ', '{"caption": ')


FACTS_MEMBER = ', "machine": {'


def without_facts(line):
    """A host JSON line without its "machine" member: the facts of the
    simulated machine and where they came from, which only the host program
    prints (always as the last member), so the comparison with the real exe
    leaves them out."""
    at = line.rfind(FACTS_MEMBER)
    return line if at < 0 else line[:at] + "}"


def json_lines(output):
    """The JSON lines of a run's output, each from its marker on: status
    echoes are raw text, and what precedes a marker on its line is not part
    of the JSON line."""
    lines = []
    for line in output.split("\n"):
        starts = [line.find(m) for m in JSON_MARKERS if line.find(m) >= 0]
        if starts:
            lines.append(line[min(starts) :])
    return lines


# ---- Machine images ---------------------------------------------------------


def read_ini(path):
    sections, current = {}, None
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in ";#":
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1].strip().lower(), {})
            elif "=" in line and current is not None:
                key, value = line.split("=", 1)
                current[key.strip().lower()] = value.strip()
    return sections


def write_ini(path, sections):
    with open(path, "w", encoding="utf-8") as f:
        for name, entries in sections.items():
            f.write("[%s]\n" % name)
            for key, value in entries.items():
                f.write("%s = %s\n" % (key, value))
            f.write("\n")


def build_image(root, scenario, dest, host_faults):
    """The scenario's image in `dest`: the base image, its system.reg with
    the scenario's fragments appended, faults added to machine.ini."""
    base = os.path.join(root, scenario["image"])
    if not os.path.isfile(os.path.join(base, "machine.ini")):
        raise ScenarioError("no machine image at %s" % scenario["image"])
    shutil.copytree(base, dest, symlinks=True)
    reg_path = os.path.join(dest, "system.reg")
    with open(reg_path, "rb") as f:
        raw = f.read()
    for fragment in scenario.get("fragments", []):
        with open(os.path.join(root, fragment), "rb") as f:
            raw = regfile.append_fragment(raw, f.read())
    with open(reg_path, "wb") as f:
        f.write(raw)
    ini_path = os.path.join(dest, "machine.ini")
    ini = read_ini(ini_path)
    if host_faults:
        ini.setdefault("faults", {}).update(host_faults)
        write_ini(ini_path, ini)
    return ini


def touched(hive):
    return regfile.subtree(hive, ["HKEY_LOCAL_MACHINE\\" + k for k in TOUCHED_KEYS])


# The Windows versions each build runs at, by the image's platform.
WINE_VERSIONS = {
    "x86_64": {"nt": ["winxp"], "9x": ["win98"]},
    "i686": {"nt": ["winxp", "win2k"], "9x": ["win98", "winme"]},
}


def wine32_problem():
    """Why 32-bit Wine cannot run here, or None when it can. Wine starts a
    32-bit exe with its 32-bit loader, an i386 Linux program: it needs
    wine32:i386 and a kernel that executes 32-bit programs (IA32
    emulation; some virtual machines' kernels lack it)."""
    loader = shutil.which("wine32") or "/usr/lib/wine/wine"
    if not os.path.exists(loader):
        return "32-bit Wine is not installed (wine32:i386, scripts/install-deps.sh)"
    try:
        result = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    except OSError as error:
        return ("%s cannot be executed (%s): this kernel runs no 32-bit programs "
                "(scripts/test-stages/wine-e2e.sh runs them through qemu-i386)" % (loader, error.strerror))
    if result.returncode != 0:
        return "%s --version failed (%d)" % (loader, result.returncode)
    return None


def wine_targets(args, scenario, platform, name=""):
    """(label, exe, driver, version) of each Wine run of a scenario. A
    scenario may instead ask for one run, the first of a list that can run
    here ("wineRunPreferred": ["i686:winxp", "x86_64:winxp"])."""
    builds = [("x86_64", args.exe, args.driver)]
    i686_only = getattr(args, "i686_only", None)
    if args.exe32 and (i686_only is None or name in i686_only):
        builds.append(("i686", args.exe32, args.driver32 or args.driver))
    targets = []
    for arch, exe, driver in builds:
        versions = WINE_VERSIONS[arch][platform]
        if arch == "i686" and i686_only is not None:
            versions = versions[:1]
        for version in versions:
            targets.append(("%s:%s" % (arch, version), exe, driver, version))
    preferred = scenario.get("wineRunPreferred")
    if preferred is None:
        return targets
    for label in preferred:
        chosen = [t for t in targets if t[0] == label]
        if chosen:
            return chosen
    return []


def wine_run(args, scenario, image_dir, ini, template, work, target):
    """One Wine run of the scenario. A run whose UI driver hangs inside Wine
    (no answer, no exit) is made once more in a fresh prefix, and says so:
    a hang that comes back is a failure."""
    try:
        return wine_run_once(args, scenario, image_dir, ini, template, work, target)
    except WineHang as error:
        print("  note: %s: run again after: %s" % (target[0], error), flush=True)
    return wine_run_once(args, scenario, image_dir, ini, template, work, target)


def wine_run_once(args, scenario, image_dir, ini, template, work, target):
    _, exe_path, driver_path, version = target
    desktop = bool(scenario.get("screenshots"))
    with scenario_prefix(template, work, image_dir, version, desktop) as (wine, hive):
        exe = windows_path(exe_path)
        if desktop:
            # The session's desktop was made by the import; the virtual one
            # (frames drawn by Wine, no window manager needed) that the
            # import asked for comes with the next session.
            wine.kill()
            wine.server_command("-w")
            wine.start_server()
            # The session's first process starts the services; they inherit
            # its output, which must not be one of the driver's pipes.
            wine.run(["cmd", "/c", "exit"], check=False)
        program = wine.popen(
            [exe], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        session = DriverSession(wine, windows_path(driver_path))
        for command in scenario["commands"]:
            if command.startswith("@shot "):
                session.send("state")
                session.lines.pop()
                time.sleep(1.0)  # let the window system paint
                target = os.path.join(args.screenshots or work, command.split()[1] + ".png")
                screenshot(target)
                continue
            session.send(command)
        session.finish(timeout=120)
        try:
            program.wait(timeout=scaled(60))
        except subprocess.TimeoutExpired:
            raise ScenarioError("the exe did not end after its dialog closed")
        if program.returncode != 0:
            raise ScenarioError("the exe ended with status %d" % program.returncode)
        after, files = machine_state(wine, work, image_dir)
        return session.lines, after, files, hive


def conformance_run(exe, template, work, version="winxp"):
    """Runs the conformance checks (tests/conformance) in a fresh copy of the
    prefix at `version`; returns (problems, closing line)."""
    prefix = os.path.join(work, "conformance-prefix")
    subprocess.run(["cp", "-a", template, prefix], check=True, timeout=300)
    wine = Wine(prefix, None)
    try:
        wine.start_server()
        reg = os.path.join(work, "version.reg")
        with open(reg, "wb") as f:
            f.write(("%s\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n\"Version\"=\"%s\"\r\n"
                     % (regfile.V4_HEADER, version)).encode())
        wine.run(["regedit", "/s", windows_path(reg)])
        with tempfile.TemporaryFile() as out:
            result = subprocess.run([wine.loader, windows_path(exe)], env=wine.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                    timeout=scaled(300))
            out.seek(0)
            text = out.read().decode(errors="replace")
    finally:
        wine.kill()
        shutil.rmtree(prefix, ignore_errors=True)
    return conformance_result(text, result.returncode)


def conformance_result(text, returncode):
    """(problems, closing line) of a conformance run's output: every line
    but the closing one is a failure or a todo that passed."""
    lines = [l.rstrip("\r") for l in text.split("\n") if l.strip()]
    closing = next((l for l in reversed(lines) if re.match(r"conformance: \d+ checks", l)), None)
    problems = [l for l in lines if l != closing]
    if closing is None:
        problems.append("no closing line (exit status %d)" % returncode)
    elif returncode != 0 and not problems:
        problems.append("exit status %d" % returncode)
    return problems, closing


def host_run(args, scenario, image_dir):
    commands = "".join(c + "\n" for c in scenario["commands"])
    result = subprocess.run(
        [args.host, "--machine", image_dir, "--headless"],
        input=commands.encode(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=120,
    )
    # An Uninstall that ends in 109 or 110 makes the run's status 1 (see the
    # program's --help); a scenario names the status it expects.
    expected = scenario.get("hostStatus", 0)
    if result.returncode != expected:
        raise ScenarioError(
            "host program ended with %d, not %d: %s"
            % (result.returncode, expected, result.stderr.decode(errors="replace")[-800:])
        )
    lines = [without_facts(l) for l in json_lines(result.stdout.decode("utf-8", errors="replace"))]
    with open(os.path.join(image_dir, "system.reg"), "rb") as f:
        after = regfile.load(f.read())
    return lines, after, image_files(os.path.join(image_dir, "drive_c"))


def check_expectations(scenario, lines):
    text = "\n".join(lines)
    problems = []
    for wanted in scenario.get("expect", []):
        if wanted not in text:
            problems.append("expected output to contain %r" % wanted)
    for unwanted in scenario.get("expectNot", []):
        if unwanted in text:
            problems.append("expected output not to contain %r" % unwanted)
    count = scenario.get("expectLines")
    if count is not None and len(lines) != count:
        problems.append("expected %d JSON lines, got %d" % (count, len(lines)))
    return problems


def compare_lines(host_lines, wine_lines):
    problems = []
    for i in range(max(len(host_lines), len(wine_lines))):
        h = host_lines[i] if i < len(host_lines) else "(none)"
        w = wine_lines[i] if i < len(wine_lines) else "(none)"
        if h != w:
            problems.append("JSON line %d differs:\n    host: %s\n    wine: %s" % (i + 1, h, w))
    return problems


def image_platform(ini):
    return "9x" if ini.get("system", {}).get("platform", "nt").lower() == "9x" else "nt"


def run_scenario(args, name, scenario, template, baseline, work):
    """Problems of the scenario, each prefixed with the run it comes from."""
    runs = scenario.get("runs", "both")
    host_faults = dict(scenario.get("hostFaults", {}))
    if runs == "both":
        host_faults = dict(WINE_HOST_FAULTS, **host_faults)
    problems = []
    host = None
    wines = []
    if runs in ("both", "host"):
        host_image = os.path.join(work, "host-image")
        build_image(args.root, scenario, host_image, host_faults)
        host = host_run(args, scenario, host_image)
        problems += ["host: " + p for p in check_expectations(scenario, host[0])]
    if runs == "quiet":
        # The unattended exe against its own dialog, under Wine only.
        wine_image = os.path.join(work, "wine-image")
        ini = build_image(args.root, scenario, wine_image, {})
        platform = image_platform(ini)
        firsts = {arch: versions[platform][0] for arch, versions in WINE_VERSIONS.items()}
        targets = quiet_runs.quiet_targets(wine_targets(args, scenario, platform, name), firsts)
        return quiet_runs.run_quiet_scenario(
            scenario, wine_image, template, work, targets,
            lambda s, target: wine_run(args, s, wine_image, ini, template, work, target),
            touched, args.verbose)
    if runs in ("both", "wine"):
        wine_image = os.path.join(work, "wine-image")
        ini = build_image(args.root, scenario, wine_image, {})
        for target in wine_targets(args, scenario, image_platform(ini), name):
            label = target[0]
            started = time.time()
            try:
                wine = wine_run(args, scenario, wine_image, ini, template, work, target)
            except (ScenarioError, subprocess.TimeoutExpired) as error:
                problems.append("%s: %s: %s" % (label, type(error).__name__, error))
                continue
            if args.verbose:
                print("  %s: %.1fs" % (label, time.time() - started))
            problems += ["%s: %s" % (label, p) for p in check_expectations(scenario, wine[0])]
            wines.append((label, wine))
    for label, wine in wines if host else []:
        problems += ["%s: %s" % (label, p) for p in compare_lines(host[0], wine[0])]
        image_hive = wine[3]
        host_keys = touched(host[1])
        wine_keys = touched(regfile.without_baseline(wine[1], baseline, image_hive))
        problems += ["%s: %s" % (label, p)
                     for p in regfile.differences(host_keys, wine_keys, "host", "wine")]
        if args.verbose:
            print("  %s registry: %d keys compared (host %d, wine %d)" % (
                label, len(set(host_keys) | set(wine_keys)), len(host_keys), len(wine_keys)))
        wanted = image_files(os.path.join(work, "wine-image", "drive_c"))
        for rel in sorted(wanted):
            if (rel in host[2]) != (rel in wine[2]):
                problems.append(
                    "%s: file %s: %s on the host, %s under Wine"
                    % (label, rel, "kept" if rel in host[2] else "deleted",
                       "kept" if rel in wine[2] else "deleted")
                )
    if args.verbose:
        for label, run in ([("host", host)] if host else []) + wines:
            for line in run[0]:
                print("  %s> %s" % (label, line))
    return problems


def load_scenarios(directory, selected):
    scenarios = []
    for file_name in sorted(os.listdir(directory)):
        if not file_name.endswith(".json"):
            continue
        name = file_name[: -len(".json")]
        if selected and name not in selected:
            continue
        with open(os.path.join(directory, file_name), encoding="utf-8") as f:
            scenarios.append((name, json.load(f)))
    return scenarios


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=root, help="project root (images are relative to it)")
    parser.add_argument("--host", required=True, help="host program (quorvane-uninstall)")
    parser.add_argument("--exe", required=True, help="QuorvaneUninstall.exe (x86_64) to run")
    parser.add_argument("--driver", required=True, help="uidriver.exe (x86_64)")
    parser.add_argument("--exe32", help="QuorvaneUninstall.exe (i686) to run as well")
    parser.add_argument("--conformance", help="conformance.exe (x86_64): the simulation's checks under Wine")
    parser.add_argument("--conformance32", help="conformance.exe (i686)")
    parser.add_argument("--driver32", help="uidriver.exe (i686) for the i686 runs")
    parser.add_argument("--check-exe", action="append", default=[], metavar="PATH:MACHINE",
                        help="also check imports and version of this exe (machine i386|x86_64)")
    parser.add_argument("--scenarios", default=os.path.join(root, "tests", "wine", "scenarios"))
    parser.add_argument("--only", action="append", default=[], help="run only this scenario")
    parser.add_argument("--screenshots", help="directory for the screenshots (default: discarded)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--verbose", "-v", action="store_true")
    parser.add_argument("--i686", choices=["auto", "require"], default="auto",
                        help="where 32-bit Wine cannot run: skip the i686 runs with a notice "
                             "(auto) or fail (require)")
    parser.add_argument("--i686-only", metavar="SCENARIO[,SCENARIO...]",
                        type=lambda s: set(n for n in s.split(",") if n),
                        help="run the i686 exe only in these scenarios, at the first Windows "
                             "version of each family (for an emulated 32-bit Wine)")
    args = parser.parse_args(argv)

    passed = failed = 0

    def report(name, problems, seconds):
        nonlocal passed, failed
        if problems:
            failed += 1
            print("FAIL %s (%.1fs)" % (name, seconds))
            for p in problems:
                print("    " + p.replace("\n", "\n    "))
        else:
            passed += 1
            print("PASS %s (%.1fs)" % (name, seconds))
        sys.stdout.flush()

    for entry in [args.exe + ":x86_64"] + args.check_exe:
        path, machine = entry.rsplit(":", 1)
        started = time.time()
        # The i686 exe is the one for Windows 98 to XP.
        problems = (
            pecheck.check(path, SYSTEM_DLLS, PRODUCT_VERSION, machine, windows98=machine == "i386")
            if os.path.isfile(path)
            else ["missing: " + path]
        )
        report("exe-check %s" % os.path.relpath(path, args.root), problems, time.time() - started)

    if args.exe32:
        problem = wine32_problem()
        if problem and args.i686 == "require":
            report("i686 runs", [problem], 0.0)
        if problem:
            print("SKIP i686 runs under Wine: %s" % problem)
            args.exe32 = None

    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="qu-wine-")
    try:
        template, baseline, seconds = make_template(work)
        print("Wine prefix template ready (%.1fs)" % seconds)
        conformance = [("x86_64", args.conformance)]
        if args.exe32:
            conformance.append(("i686", args.conformance32))
        for arch, exe in conformance:
            if not exe:
                continue
            started = time.time()
            if os.path.isfile(exe):
                problems, closing = conformance_run(exe, template, work)
            else:
                problems, closing = ["missing: " + exe], None
            summary = " (%s)" % closing[len("conformance: "):] if closing else ""
            report("conformance %s:winxp%s" % (arch, summary), problems, time.time() - started)
        for name, scenario in load_scenarios(args.scenarios, args.only):
            started = time.time()
            scenario_work = os.path.join(work, name)
            os.makedirs(scenario_work)
            try:
                problems = run_scenario(args, name, scenario, template, baseline, scenario_work)
            except (ScenarioError, subprocess.TimeoutExpired, OSError, regfile.RegFileError) as error:
                problems = ["%s: %s" % (type(error).__name__, error)]
            report(name, problems, time.time() - started)
            if not args.keep:
                shutil.rmtree(scenario_work, ignore_errors=True)
    finally:
        if args.keep:
            print("work directory kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
