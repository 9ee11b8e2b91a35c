"""Unattended runs of QuorvaneUninstall.exe under Wine: the scenarios with
"runs": "quiet" (tests/wine/README.md).

For each exe at the first Windows version of the image's family (winxp or
win98), two fresh prefixes from the same template and image:
  the dialog   - the exe worked by the UI driver: start-up, Uninstall; its
                 status text, registry and files afterwards are the reference;
  unattended   - the exe started from a batch file, as a deployment script
                 starts it, three times in one prefix:
                   /quiet                          as the dialog's Uninstall:
                                                   exit code, log lines in
                                                   the temporary folder,
                                                   registry and files
                   -Q /Log "C:\\second run.log"    0 after a success, else the
                                                   first run's code; nothing
                                                   more changed
                   /quiet /bogus                   87; nothing changed, no
                                                   log line written
The exit code is read from ERRORLEVEL in the batch file, whole (a Linux
exit status keeps only its low 8 bits).
"""

import datetime
import json
import os
import re
import subprocess

import regfile
from wine_prefix import ScenarioError, machine_state, scenario_prefix, windows_path

# What the dialog run does: start-up, Uninstall, and the status afterwards.
REFERENCE_COMMANDS = ["state", "uninstall", "state", "close"]
SECOND_LOG = "C:\\second run.log"
STEPS = [
    ("first", "/quiet"),
    ("second", '-Q /Log "%s"' % SECOND_LOG),
    ("bad switch", "/quiet /bogus"),
]
LOG_LINE = re.compile(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (.*)")

SUCCESS, BAD_SWITCH, FAILED, RESTART_NEEDED = 0, 87, 1603, 3010


def status_lines(status):
    """The status pane's text as its lines (each text ends in CR CR LF)."""
    return [line for line in status.split("\r\r\n") if line]


def expected_code(lines):
    """The exit code the status texts of a run call for: 1603 for an error
    message (105, 106, 109, 110, 119), else 3010 when a restart is needed
    (113), else 0."""
    if any(l.startswith("ERROR: ") or l.startswith("NOTE: Either a prior") for l in lines):
        return FAILED
    if any(l.startswith("NOTE: You must restart Windows") for l in lines):
        return RESTART_NEEDED
    return SUCCESS


def read_log(path, started, ended):
    """(texts, problems) of a log file: each line's text without its time
    stamp; a line of another shape, or stamped outside [started, ended]
    (seconds, local time), is a problem. A missing file has no lines."""
    if not os.path.exists(path):
        return [], []
    with open(path, "rb") as f:
        raw = f.read().decode("cp1252", errors="replace")
    texts, problems = [], []
    if raw and not raw.endswith("\r\n"):
        problems.append("the log does not end in CR LF")
    earliest = datetime.datetime.fromtimestamp(int(started) - 1)
    latest = datetime.datetime.fromtimestamp(int(ended) + 1)
    for line in raw.split("\r\n")[:-1] if raw else []:
        match = LOG_LINE.fullmatch(line)
        if not match:
            problems.append("not a log line: %r" % line)
            continue
        stamp = datetime.datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S")
        if not earliest <= stamp <= latest:
            problems.append("stamped %s, outside the run (%s to %s)" % (stamp, earliest, latest))
        texts.append(match.group(2))
    return texts, problems


def host_file(drive_c, path):
    """The host path of C: path `path` in a prefix, its names matched without
    regard to case (a missing one kept as given)."""
    here = drive_c
    for part in path[3:].split("\\"):
        names = {n.lower(): n for n in os.listdir(here)} if os.path.isdir(here) else {}
        here = os.path.join(here, names.get(part.lower(), part))
    return here


def run_from_batch(wine, work, exe_path, arguments):
    """Starts the exe from a batch file with `arguments`; returns its exit
    code as the batch file sees it."""
    batch = os.path.join(work, "quiet.bat")
    with open(batch, "wb") as f:
        f.write(('@echo off\r\n"%s" %s\r\necho errorlevel=%%ERRORLEVEL%%\r\n'
                 % (windows_path(exe_path), arguments)).encode("cp1252"))
    result = wine.run(["cmd", "/c", windows_path(batch)], timeout=120, check=False)
    found = re.findall(r"errorlevel=(-?\d+)", result.output)
    if not found:
        raise ScenarioError("no exit code from the batch file: %s" % result.output[-300:])
    return int(found[-1])


def unattended_runs(scenario, image_dir, template, work, exe_path, version):
    """The three runs of STEPS in one prefix: for each, (code, the temporary
    folder's log, the second log, registry, files, started, ended)."""
    results = []
    with scenario_prefix(template, work, image_dir, version) as (wine, _):
        echoed = wine.run(["cmd", "/c", "echo %TEMP%"], check=False).output.strip().splitlines()
        temp = echoed[-1].strip() if echoed else ""
        if not re.match(r"[A-Za-z]:\\", temp):
            raise ScenarioError("no temporary folder: %r" % temp)
        drive_c = os.path.join(wine.prefix, "drive_c")
        temp_log = host_file(drive_c, temp.rstrip("\\") + "\\QuorvaneUninstall.log")
        second_log = host_file(drive_c, SECOND_LOG)
        for _, arguments in STEPS:
            started = datetime.datetime.now().timestamp()
            code = run_from_batch(wine, work, exe_path, arguments)
            ended = datetime.datetime.now().timestamp()
            logs = [read_log(path, started, ended) for path in (temp_log, second_log)]
            registry, files = machine_state(wine, work, image_dir)
            results.append((code, logs[0], logs[1], registry, files, started, ended))
    return results


def check_runs(reference_status, reference_registry, reference_files, runs, touched):
    """Problems of the three unattended runs against the dialog's run."""
    expected = status_lines(reference_status)
    problems = []

    def same_state(label, registry, files, other_registry, other_files, other_name):
        found = regfile.differences(touched(other_registry), touched(registry), other_name, label)
        found += ["file %s: %s after the %s, %s after the %s"
                  % (f, "kept" if f in other_files else "deleted", other_name,
                     "kept" if f in files else "deleted", label)
                  for f in sorted(files ^ other_files)]
        return ["%s: %s" % (label, p) for p in found]

    first, second, bad = runs
    code, (temp_texts, temp_problems), _, registry, files, _, _ = first
    want = expected_code(expected)
    if code != want:
        problems.append("/quiet: exit code %d, the dialog's Uninstall calls for %d" % (code, want))
    problems += ["/quiet log: " + p for p in temp_problems]
    if temp_texts != expected:
        problems.append("/quiet log lines differ from the dialog's status:\n    dialog: %s\n    log:    %s"
                        % (json.dumps(expected), json.dumps(temp_texts)))
    problems += same_state("/quiet", registry, files, reference_registry, reference_files, "dialog")

    code2, (temp2, _), (second_texts, second_problems), registry2, files2, _, _ = second
    want2 = SUCCESS if want in (SUCCESS, RESTART_NEEDED) else want
    if code2 != want2:
        problems.append("second run: exit code %d, expected %d" % (code2, want2))
    problems += ["second run's log: " + p for p in second_problems]
    if not second_texts:
        problems.append("second run: no lines in %s" % SECOND_LOG)
    elif want == FAILED and second_texts != temp_texts:
        problems.append("second run: its lines differ from the first run's: %s" % json.dumps(second_texts))
    if temp2 != temp_texts:
        problems.append("second run: the temporary folder's log changed although /Log named another")
    problems += same_state("second run", registry2, files2, registry, files, "first run")

    code3, (temp3, _), (second3, _), registry3, files3, _, _ = bad
    if code3 != BAD_SWITCH:
        problems.append("/quiet /bogus: exit code %d, expected %d" % (code3, BAD_SWITCH))
    if temp3 != temp2 or second3 != second_texts:
        problems.append("/quiet /bogus: a log changed")
    problems += same_state("/quiet /bogus", registry3, files3, registry2, files2, "second run")
    return problems


def run_quiet_scenario(scenario, image_dir, template, work, targets, dialog_run, touched, verbose):
    """Problems of a quiet scenario over `targets` ((label, exe, driver,
    version) each); `dialog_run(scenario, target)` runs the dialog with the
    UI driver and returns (JSON lines, registry, files, hive)."""
    problems = []
    reference_scenario = dict(scenario, commands=REFERENCE_COMMANDS)
    for target in targets:
        label, exe_path, _, version = target
        started = datetime.datetime.now().timestamp()
        try:
            lines, registry, files, _ = dialog_run(reference_scenario, target)
            status = json.loads(lines[1])["status"]
            runs = unattended_runs(scenario, image_dir, template, work, exe_path, version)
        except (ScenarioError, subprocess.TimeoutExpired, OSError, ValueError, IndexError,
                KeyError) as error:
            problems.append("%s: %s: %s" % (label, type(error).__name__, error))
            continue
        problems += ["%s: %s" % (label, p) for p in check_runs(status, registry, files, runs, touched)]
        if verbose:
            print("  %s: %.1fs, exit codes %s" % (
                label, datetime.datetime.now().timestamp() - started, [r[0] for r in runs]))
            for text in status_lines(status):
                print("  %s> %s" % (label, text))
    return problems


def quiet_targets(targets, first_versions):
    """The targets at the first Windows version of their build's family."""
    return [t for t in targets if t[3] == first_versions[t[0].split(":")[0]]]

