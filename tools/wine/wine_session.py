"""The UI driver's session under Wine (commands in, JSON lines out, each
awaited with a deadline) and screenshots of Wine's virtual desktop."""

import os
import select
import subprocess
import tempfile
import time

from wine_prefix import DESKTOP_SIZE, ScenarioError, scaled


class WineHang(ScenarioError):
    """A Wine process that neither answered nor ended in its time."""


class DriverSession:
    """The UI driver over pipes: commands in, JSON lines out. Its error
    output goes to a file: a process Wine starts on the driver's behalf
    (the desktop, a service) inherits the driver's standard handles and
    would hold a pipe open long after the driver ended. For the same
    reason the end of the session is the driver's exit, never the end of
    its output, and a reply is awaited with a deadline."""

    ANSWERING = ("state", "about", "about-open")

    def __init__(self, wine, driver_exe):
        self.errors = tempfile.TemporaryFile()
        self.proc = wine.popen(
            [driver_exe],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.errors,
        )
        self.fd = self.proc.stdout.fileno()
        self.pending = b""
        self.lines = []

    def send(self, command):
        self.proc.stdin.write((command + "\n").encode())
        self.proc.stdin.flush()
        if command.split()[0] in self.ANSWERING:
            line = self.read_line(scaled(120))
            if line is None:
                raise ScenarioError("UI driver ended early: %s" % self.error_text())
            self.lines.append(line)

    def read_line(self, timeout):
        """The driver's next line, or None when its output ended."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                self.proc.kill()
                raise WineHang("UI driver gave no answer within %.0f s: %s"
                               % (timeout, self.error_text()))
            chunk = os.read(self.fd, 65536)
            if not chunk:
                return None
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("utf-8", errors="replace")

    def drain(self):
        """What the driver wrote and nobody read yet; it has ended."""
        os.set_blocking(self.fd, False)
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            self.pending += chunk
        rest, self.pending = self.pending, b""
        return rest.decode("utf-8", errors="replace")

    def error_text(self):
        try:
            self.proc.wait(timeout=scaled(30))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace").strip()

    def finish(self, timeout):
        # End of input closes the dialog.
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise WineHang("UI driver did not end within %d s (lines so far: %d): %s"
                           % (scaled(timeout), len(self.lines), self.error_text()))
        self.lines += [l for l in self.drain().split("\n") if l]
        if self.proc.returncode != 0:
            raise ScenarioError(
                "UI driver failed (%d): %s" % (self.proc.returncode, self.error_text())
            )


def screenshot(path):
    """The windows on Wine's virtual desktop, cut to their extent."""
    whole = path + ".desktop.png"
    subprocess.run(
        ["import", "-window", "root", "-crop", "%dx%d+0+0" % DESKTOP_SIZE, "+repage", whole],
        check=True,
        timeout=60,
    )
    trim_desktop(whole, path)
    os.remove(whole)


def trim_desktop(whole, path):
    """Writes `whole` less the desktop around its windows: the colour of its
    bottom right pixel, trimmed on all four sides (a border of that colour
    first makes every corner that colour, the one -trim then removes)."""
    colour = subprocess.run(
        ["convert", whole, "-gravity", "SouthEast", "-crop", "1x1+0+0", "+repage",
         "-format", "%[pixel:p{0,0}]", "info:"],
        check=True, timeout=60, stdout=subprocess.PIPE,
    ).stdout.decode().strip()
    subprocess.run(
        ["convert", whole, "-bordercolor", colour, "-border", "1", "-trim", "+repage", path],
        check=True,
        timeout=60,
    )
