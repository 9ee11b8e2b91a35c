#!/usr/bin/env python3
"""Start-up and Uninstall of the whole program against the floors of the file.

For each image size (10, 50, 100 MB) and format (REGEDIT4, version 5) the
script writes an NT image of the shape of a real export (`qu_bench
--write-image`), then measures, as a user would, whole processes with the
file in the page cache:

  cat        `cat system.reg >/dev/null`
  copy       `dd if=system.reg of=COPY bs=1M conv=fsync`: writing and
             fsyncing a copy, the least any safe replacement of the file costs
  start-up   `quorvane-uninstall --machine IMAGE --headless` fed `state`,
             `close`: start, detect, close
  Uninstall  the same fed `uninstall`, `close` on a fresh copy of the image:
             the Uninstall end to end (start-up, removal, commit with its
             backup, the search for what remains)
  commit     `qu_bench --uninstall-image` on a fresh copy: the commit alone,
             timed inside the process

Wall time, CPU time (getrusage of the child) and peak resident memory
(/usr/bin/time, which must be GNU time) are the medians
of --runs runs, taken in rounds so that a burst of load from other work
touches every measurement alike. Prints markdown tables with the ratios:
start-up / cat (wall and CPU time: on a machine busy with other work the CPU
ratio is the steadier one), peak resident / file size, Uninstall and commit
/ copy (wall time: the copy's cost is mostly waiting for the disk).

Run from anywhere (builds the `host` preset's two programs first):

    bench/measure_ratios.py                    # 10, 50, 100 MB; both formats; 5 runs
    bench/measure_ratios.py --runs 3 --sizes 10,50 --formats regedit4
    bench/measure_ratios.py --no-build --build-dir build/host

Everything it writes goes into one scratch folder (under the build folder
unless --scratch says otherwise), removed at the end, on failure and on
Ctrl-C. Exit status 0 when every run worked, 1 (with what failed) otherwise.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FORMATS = {"regedit4": [], "v5": ["v5"]}
ADAPTER = "Quorvane USB 2.0 Network Adapter"
TIME = "/usr/bin/time"  # GNU time, for the peak resident size


class Failure(Exception):
    pass


def log(message):
    print(message, file=sys.stderr, flush=True)


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


class Run:
    """One finished process: wall seconds, CPU seconds, peak resident KiB."""

    def __init__(self, cmd, stdin_text, scratch, discard_output=False):
        out_path = os.devnull if discard_output else os.path.join(scratch, "stdout.txt")
        err_path = os.path.join(scratch, "stderr.txt")
        peak_path = os.path.join(scratch, "peak.txt")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            start = time.perf_counter()
            # Through /usr/bin/time for the peak: a child's own maximum
            # resident size counts what its parent had resident when it
            # was forked, and this script is larger than the program at 10 MB.
            proc = subprocess.Popen(
                [TIME, "-f", "%M", "-o", peak_path, "--"] + cmd,
                stdin=subprocess.PIPE if stdin_text is not None else subprocess.DEVNULL,
                stdout=out,
                stderr=err,
            )
            try:
                if stdin_text is not None:
                    proc.stdin.write(stdin_text.encode())
                    proc.stdin.close()
                _, status, usage = os.wait4(proc.pid, 0)
            except BaseException:
                # Stopped while it ran: it goes too, before the scratch
                # folder it works in is removed.
                proc.kill()
                proc.wait()
                raise
            self.wall = time.perf_counter() - start
        proc.returncode = self.status = os.waitstatus_to_exitcode(status)
        self.cpu = usage.ru_utime + usage.ru_stime
        with open(peak_path) as f:
            # The last line: a failed command's status comes before it.
            self.peak_kib = int(f.read().split()[-1])
        with open(out_path, "rb") as f:
            self.stdout = "" if discard_output else f.read().decode("utf-8", "replace")
        with open(err_path, "rb") as f:
            self.stderr = f.read().decode("utf-8", "replace")
        if self.status != 0:
            raise Failure(
                "%s exited with %d\n--- stdout (end)\n%s\n--- stderr (end)\n%s"
                % (" ".join(cmd), self.status, self.stdout[-2000:], self.stderr[-2000:])
            )

    def expect(self, text, what):
        if text not in self.stdout:
            raise Failure("%s: %r not in its output\n--- stdout (end)\n%s\n--- stderr (end)\n%s"
                          % (what, text, self.stdout[-2000:], self.stderr[-2000:]))
        return self


def build(build_dir):
    env = dict(os.environ)
    for name, value in (("CMAKE_CXX_COMPILER_LAUNCHER", "ccache"),
                        ("CMAKE_C_COMPILER_LAUNCHER", "ccache"), ("CCACHE_BASEDIR", "/work")):
        if shutil.which("ccache") and name not in env:
            env[name] = value
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        if os.path.realpath(build_dir) != os.path.realpath(os.path.join(REPO, "build", "host")):
            raise Failure("%s is not configured; configure it, or leave out --build-dir to use "
                          "the host preset" % build_dir)
        log("configuring the host preset")
        subprocess.run(["cmake", "--preset", "host"], cwd=REPO, env=env, check=True,
                       stdout=subprocess.DEVNULL)
    log("building quorvane-uninstall and qu_bench in %s" % build_dir)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "quorvane-uninstall",
                    "qu_bench"], cwd=REPO, env=env, check=True, stdout=subprocess.DEVNULL)


def fresh_copy(image, scratch):
    copy = os.path.join(scratch, "copy")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(image, copy)
    os.sync()  # the copy's own writes are not the measured command's to flush
    return copy


def measure_image(mb, fmt, args, tools, scratch):
    image = os.path.join(scratch, "image")
    shutil.rmtree(image, ignore_errors=True)
    log("%d MB %s: writing the image" % (mb, fmt))
    shape = Run([tools["qu_bench"], "--write-image", image, str(mb)] + FORMATS[fmt], None,
                scratch).stdout.strip()
    reg = os.path.join(image, "system.reg")
    size = os.path.getsize(reg)
    before = os.stat(reg)
    copy_target = os.path.join(scratch, "copy.reg")
    results = {k: [] for k in ("cat", "copy", "startup", "uninstall", "commit")}
    os.sync()  # the new image written out now, not during the runs
    subprocess.run(["cat", reg], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    loads = [load_average()]
    for run in range(args.runs):
        log("%d MB %s: run %d of %d (load average %s)" % (mb, fmt, run + 1, args.runs,
                                                          load_average()))
        os.sync()
        results["cat"].append(Run(["cat", reg], None, scratch, discard_output=True))
        results["copy"].append(Run(["dd", "if=" + reg, "of=" + copy_target, "bs=1M",
                                    "conv=fsync", "status=none"], None, scratch))
        os.unlink(copy_target)
        results["startup"].append(
            Run([tools["program"], "--machine", image, "--headless"], "state\nclose\n", scratch)
            .expect("'%s' has been installed on this system." % ADAPTER, "start-up"))
        copy = fresh_copy(image, scratch)
        results["uninstall"].append(
            Run([tools["program"], "--machine", copy, "--headless"], "uninstall\nclose\n",
                scratch).expect("'%s' uninstalled successfully!" % ADAPTER, "Uninstall"))
        if os.path.exists(os.path.join(copy, "drive_c", "WINDOWS", "Inf", "oem%d.inf" % (mb * 3))):
            raise Failure("the Uninstall left the adapter's INF on the drive")
        copy = fresh_copy(image, scratch)
        tool = Run([tools["qu_bench"], "--uninstall-image", copy], None, scratch)
        found = re.search(r"commit ([0-9.]+) ms \(CPU ([0-9.]+)\)", tool.stdout)
        if not found:
            raise Failure("qu_bench --uninstall-image printed no commit time:\n" + tool.stdout)
        tool.commit_wall = float(found.group(1)) / 1000
        tool.commit_cpu = float(found.group(2)) / 1000
        results["commit"].append(tool)
        shutil.rmtree(copy)
    loads.append(load_average())
    after = os.stat(reg)
    if (after.st_size, after.st_mtime_ns) != (before.st_size, before.st_mtime_ns):
        raise Failure("start-up changed %s" % reg)
    shutil.rmtree(image)
    med = lambda key, attr: statistics.median(getattr(r, attr) for r in results[key])
    return {
        "mb": mb, "format": fmt, "bytes": size, "shape": shape, "loads": loads,
        "cat": med("cat", "wall"), "cat_cpu": med("cat", "cpu"),
        "copy": med("copy", "wall"),
        "startup": med("startup", "wall"), "startup_cpu": med("startup", "cpu"),
        "startup_peak": med("startup", "peak_kib"),
        "uninstall": med("uninstall", "wall"), "uninstall_cpu": med("uninstall", "cpu"),
        "uninstall_peak": med("uninstall", "peak_kib"),
        "commit": med("commit", "commit_wall"), "commit_cpu": med("commit", "commit_cpu"),
    }


def ms(seconds):
    return "{:,.0f} ms".format(seconds * 1000) if seconds >= 0.0995 else "%.1f ms" % (seconds * 1000)


def report(rows, args):
    commit = subprocess.run(["git", "-C", REPO, "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip() or "unknown"
    name = {"regedit4": "REGEDIT4", "v5": "version 5"}
    out = []
    out.append("Tree %s, %s, %d CPUs; medians of %d runs; load average %s to %s."
               % (commit, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), os.cpu_count(),
                  args.runs, min((l for r in rows for l in r["loads"]), key=float),
                  max((l for r in rows for l in r["loads"]), key=float)))
    out.append("")
    out.append("| Image | File | `cat`: wall / CPU | Start-up: wall / CPU "
               "| Start-up / `cat` (target 10): wall, CPU | Peak resident "
               "| Peak / file (target 2) |")
    out.append("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        file_kib = r["bytes"] / 1024
        out.append("| %d MB %s | %s bytes | %s / %s | %s / %s | %.1f, %.1f | %s KiB | %.2f |"
                   % (r["mb"], name[r["format"]], format(r["bytes"], ","), ms(r["cat"]),
                      ms(r["cat_cpu"]), ms(r["startup"]), ms(r["startup_cpu"]),
                      r["startup"] / r["cat"], r["startup_cpu"] / max(r["cat_cpu"], 1e-4),
                      format(int(r["startup_peak"]), ","), r["startup_peak"] / file_kib))
    out.append("")
    out.append("| Image | Write + fsync a copy | Uninstall end to end: wall / CPU | Uninstall / copy "
               "| Uninstall peak / file | Commit alone: wall / CPU | Commit / copy (target 1.5) |")
    out.append("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        out.append("| %d MB %s | %s | %s / %s | %.1f | %.2f | %s / %s | %.2f |"
                   % (r["mb"], name[r["format"]], ms(r["copy"]), ms(r["uninstall"]),
                      ms(r["uninstall_cpu"]), r["uninstall"] / r["copy"],
                      r["uninstall_peak"] / (r["bytes"] / 1024), ms(r["commit"]),
                      ms(r["commit_cpu"]), r["commit"] / r["copy"]))
    growth = []
    for fmt in args.formats:
        sized = sorted((r for r in rows if r["format"] == fmt), key=lambda r: r["mb"])
        if len(sized) >= 2:
            a, b = sized[0], sized[-1]
            growth.append("%s %d to %d MB: file x%.1f, cat x%.1f, start-up x%.1f, Uninstall "
                          "x%.1f, commit x%.1f, copy x%.1f"
                          % (name[fmt], a["mb"], b["mb"], b["bytes"] / a["bytes"],
                             b["cat"] / a["cat"], b["startup"] / a["startup"],
                             b["uninstall"] / a["uninstall"], b["commit"] / a["commit"],
                             b["copy"] / a["copy"]))
    if growth:
        out.append("")
        out.append("Growth: " + "; ".join(growth) + ".")
    out.append("")
    out.append("Images (`qu_bench --write-image`):")
    out.append("")
    for r in rows:
        out.append("- " + re.sub(r"^\S*/system\.reg: ", "%d MB %s: " % (r["mb"], name[r["format"]]),
                                 r["shape"]))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs of each measurement (median)")
    parser.add_argument("--sizes", default="10,50,100", help="image sizes in MB, comma-separated")
    parser.add_argument("--formats", default="regedit4,v5", help="regedit4, v5 or both")
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "host"))
    parser.add_argument("--no-build", action="store_true", help="use the programs as built")
    parser.add_argument("--scratch", help="folder to make the scratch folder in (a disk, not "
                        "tmpfs: fsync must reach the disk); default: the build folder")
    args = parser.parse_args()
    try:
        args.sizes = [int(s) for s in args.sizes.split(",")]
        args.formats = [f for f in args.formats.split(",")]
    except ValueError:
        parser.error("--sizes takes numbers of MB, e.g. 10,50,100")
    if any(f not in FORMATS for f in args.formats):
        parser.error("--formats takes regedit4 and v5")
    if args.runs < 1 or any(not 1 <= s <= 1024 for s in args.sizes):
        parser.error("--runs is at least 1; sizes are 1 to 1024 MB")

    # A signal ends the run through the clean-up below.
    def stop(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)

    scratch = None
    try:
        if not args.no_build:
            build(args.build_dir)
        tools = {"program": os.path.join(args.build_dir, "bin", "quorvane-uninstall"),
                 "qu_bench": os.path.join(args.build_dir, "bin", "qu_bench")}
        for path in tools.values():
            if not os.access(path, os.X_OK):
                raise Failure("%s is missing (qu_bench needs Google Benchmark); build it or drop "
                              "--no-build" % path)
        for tool in ("cat", "dd"):
            if not shutil.which(tool):
                raise Failure("%s is not on PATH" % tool)
        if subprocess.run([TIME, "-f", "%M", "true"], capture_output=True).returncode != 0:
            raise Failure("%s (GNU time, Debian package time) is needed for the peak resident "
                          "size" % TIME)
        parent = args.scratch or args.build_dir
        os.makedirs(parent, exist_ok=True)
        fs_type = subprocess.run(["stat", "-f", "-c", "%T", parent], capture_output=True,
                                 text=True).stdout.strip()
        if fs_type in ("tmpfs", "ramfs"):
            raise Failure("%s is on %s, where fsync costs nothing; give --scratch on a disk"
                          % (parent, fs_type))
        # The largest image (a version 5 export is about 2.3 times the
        # REGEDIT4 text) three times: the image, a copy, the backup in it.
        need = max(args.sizes) * (1 << 20) * (2.4 if "v5" in args.formats else 1.05) * 3.5
        free = shutil.disk_usage(parent).free
        if free < need:
            raise Failure("%s has %.0f MB free; the runs need about %.0f MB"
                          % (parent, free / 1e6, need / 1e6))
        scratch = tempfile.mkdtemp(prefix="qu-ratios-", dir=parent)
        rows = []
        for fmt in args.formats:
            for mb in args.sizes:
                rows.append(measure_image(mb, fmt, args, tools, scratch))
        print(report(rows, args))
        return 0
    except Failure as failure:
        log("measure_ratios: %s" % failure)
        return 1
    except subprocess.CalledProcessError as failure:
        log("measure_ratios: %s failed with %d" % (" ".join(failure.cmd), failure.returncode))
        return 1
    except KeyboardInterrupt as stopped:
        log("measure_ratios: stopped (%s); nothing measured is printed" % (stopped or "Ctrl-C"))
        return 1
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
