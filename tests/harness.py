# Test harness: runs a Windows program under wine64 with a console on a pseudo-terminal and returns its output and exit code.
"""Runs Windows console programs under wine64 for the end-to-end tests.

    from harness import run, full_disk
    r = run([db_path])                     # $SHIMLIST_BIN/shimlist.exe, stdout to a file
    r.stdout      # bytes written to standard output, exactly
    r.console     # text shown on the console (standard error), escape sequences removed,
                  # line ends normalised to "\\n"
    r.exit_code   # the full 32-bit exit code, unsigned (e.g. 0xC0000005)
    r.elapsed     # seconds from the start to the program's exit; r.raw_console: bytes as sent

Standard input and standard error are a pseudo-terminal, so the program has a real console
(WriteConsoleW fails on files and pipes). Standard output is, by `stdout=`:
"file" (a fresh file, the default), "console" (the terminal), "pipe", "null" (/dev/null),
"closed" (no descriptor at all), or a path (a file created there, e.g. inside full_disk()).

The program is started by launch.exe (tests/tools/Launch.cpp) with CreateProcessW, because
Wine rebuilds a command line from Unix arguments and keeps only 8 bits of an exit code. `args`
are quoted the way CommandLineToArgvW splits them; `cmdline=` passes an exact raw command line
instead (including its program-name part).

A run that outlives `timeout` seconds is killed with its process group and raises RunTimeout
(an AssertionError, so unittest reports it as a failure, with the console text so far).
Wine's console turns tabs into blanks, and Wine replaces an empty command line by the
program's path. Problems of the harness itself (no launch.exe, program not startable) raise HarnessError.
"""

import contextlib
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

# Widest console Wine accepts (its sizes are signed 16-bit): lines never wrap.
CONSOLE_COLUMNS = 32767
CONSOLE_ROWS = 50
POLL_SECONDS = 0.02
DRAIN_SECONDS = 3.0

# Control sequences Wine's console writes around text: CSI (ESC [ ... final byte),
# OSC (ESC ] ... BEL or ESC \), and two-character escapes.
ESCAPE_RE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[@-Z\\-_=>()]")

STDOUT_MODES = ("file", "console", "pipe", "null", "closed")


class HarnessError(Exception):
    """The harness could not run the program at all (not a result of the program)."""


class RunTimeout(AssertionError):
    """The program did not finish in time; it was killed."""


class Result:
    def __init__(self, stdout, console, exit_code, elapsed, raw_console):
        self.stdout = stdout
        self.console = console
        self.exit_code = exit_code
        self.elapsed = elapsed
        self.raw_console = raw_console

    def __repr__(self):
        return "Result(exit_code=%#x, stdout=%d bytes, console=%r, %.2f s)" % (
            self.exit_code, len(self.stdout), self.console, self.elapsed)


def wine_prefix():
    return os.environ.get("SHIMLIST_WINEPREFIX") or os.path.expanduser("~/.wine-shimlist")


def wine_env(extra=None):
    """The environment of tools/wine-run (but no debugger), UTF-8 console text, and any extra
    variables."""
    env = dict(os.environ)
    env["WINEPREFIX"] = wine_prefix()
    env["WINEDEBUG"] = "-all"
    # Without winedbg a crash just ends the program with its exception code; the debugger
    # would take seconds and write its backtrace into the program's standard output.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winedbg.exe=d"
    env["LC_ALL"] = "C.UTF-8"
    env.update(extra or {})
    return env


_server_checked = []


def ensure_wineserver():
    """Starts a persistent wineserver unless one runs. A server that a run starts by itself
    inherits that run's terminal and keeps it open until it idles out: output would never
    end and every run would take seconds."""
    if _server_checked:
        return
    server = os.environ.get("WINESERVER", "wineserver")
    try:
        proc = subprocess.Popen([server, "-p"], env=wine_env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
    except OSError as e:
        raise HarnessError("cannot start %s: %s" % (server, e)) from None
    try:
        # Returns at once: either another server already runs, or this one went to background.
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass
    _server_checked.append(True)


def windows_path(path):
    """The Windows form of a Unix path (the prefix maps drive Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quote_arg(arg):
    """Quotes one argument so that CommandLineToArgvW gives it back unchanged."""
    if arg and not any(c in arg for c in ' \t\n\v"'):
        return arg
    out = ['"']
    backslashes = 0
    for c in arg:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out.append("\\" * (2 * backslashes + 1) + '"')
        else:
            out.append("\\" * backslashes + c)
        backslashes = 0
    out.append("\\" * (2 * backslashes) + '"')
    return "".join(out)


def build_cmdline(program, args):
    # The program name has no escapes, only quotes, and a Windows path has no quote in it.
    return " ".join(['"%s"' % program] + [quote_arg(a) for a in args])


def clean_console(raw):
    text = ESCAPE_RE.sub("", raw.decode("utf-8", "replace"))
    return text.replace("\r\r\n", "\n").replace("\r\n", "\n")


def _bin_dir(exe):
    return os.environ.get("SHIMLIST_BIN") or (os.path.dirname(exe) if exe else "")


def run(args=(), *, exe=None, stdout="file", cmdline=None, cwd=None, timeout=20, env=None):
    """Runs exe (default $SHIMLIST_BIN/shimlist.exe) under wine64; see the module text."""
    bin_dir = _bin_dir(exe)
    exe = exe or os.path.join(bin_dir, "shimlist.exe")
    launcher = os.path.join(bin_dir, "launch.exe")
    for needed in (exe, launcher):
        if not os.path.isfile(needed):
            raise HarnessError("%s does not exist (build first; SHIMLIST_BIN=%r)"
                               % (needed, bin_dir))
    if cmdline is not None and args:
        raise HarnessError("give args or cmdline, not both")
    if cmdline is None:
        cmdline = build_cmdline(windows_path(exe), list(args))
    if stdout not in STDOUT_MODES and not isinstance(stdout, os.PathLike) and (
            not isinstance(stdout, str) or os.sep not in stdout):
        raise HarnessError("unknown stdout mode %r (a path needs a folder part)" % (stdout,))
    ensure_wineserver()

    with tempfile.TemporaryDirectory(prefix="shimlist-run-") as tmp:
        status_path = os.path.join(tmp, "status")
        cmdline_path = os.path.join(tmp, "cmdline")
        with open(cmdline_path, "wb") as f:
            f.write(cmdline.encode("utf-16-le", "surrogatepass"))
        run_env = wine_env(env)
        run_env.update({
            "SHIMLIST_LAUNCH_APP": windows_path(exe),
            "SHIMLIST_LAUNCH_CMDLINE": windows_path(cmdline_path),
            "SHIMLIST_LAUNCH_STATUS": windows_path(status_path),
        })
        loader = os.environ.get("WINE_LOADER", "/usr/lib/wine/wine64")
        return _run_on_pty([loader, launcher], stdout, tmp, status_path, cwd, timeout, run_env)


def _run_on_pty(argv, stdout, tmp, status_path, cwd, timeout, env):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", CONSOLE_ROWS, CONSOLE_COLUMNS, 0, 0))
    out_path = None
    out_fd = None
    pipe_read = None
    close_stdout = False
    if stdout == "file" or stdout not in STDOUT_MODES:
        out_path = os.path.join(tmp, "stdout") if stdout == "file" else os.fspath(stdout)
        out_fd = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    elif stdout == "console":
        out_fd = slave
    elif stdout == "pipe":
        pipe_read, out_fd = os.pipe()
    elif stdout == "null":
        out_fd = os.open(os.devnull, os.O_WRONLY)
    else:
        close_stdout = True

    def close_fd1():
        os.close(1)

    start = time.monotonic()
    try:
        proc = subprocess.Popen(argv, stdin=slave, stdout=out_fd if out_fd is not None else slave,
                                stderr=slave, cwd=cwd, env=env, start_new_session=True,
                                preexec_fn=close_fd1 if close_stdout else None)
    except OSError as e:
        os.close(master)
        raise HarnessError("cannot start %s: %s" % (argv[0], e)) from None
    finally:
        os.close(slave)
        if out_fd is not None and out_fd != slave:
            os.close(out_fd)

    console = bytearray()
    piped = bytearray()
    sources = {master: console}
    if pipe_read is not None:
        sources[pipe_read] = piped
    try:
        deadline = start + timeout
        while proc.poll() is None:
            if time.monotonic() > deadline:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                _read_ready(sources, POLL_SECONDS)
                raise RunTimeout("%s did not finish within %s s and was killed; console so far: %r"
                                 % (os.path.basename(argv[-1]), timeout, clean_console(console)))
            _read_ready(sources, POLL_SECONDS)
        elapsed = time.monotonic() - start
        if pipe_read in sources:
            # The pipe ends when its last writer closes: read up to that end.
            pipe = {pipe_read: piped}
            while pipe and time.monotonic() < deadline:
                _read_ready(pipe, POLL_SECONDS)
            if pipe_read not in pipe:
                del sources[pipe_read]
        # Console text written just before the exit may still be in flight: read until the
        # terminal reports its end, which comes once Wine's console host has closed it too.
        # (A wineserver that a run started by itself would hold it open: then stop at the bound.)
        drain_until = time.monotonic() + DRAIN_SECONDS
        while master in sources and time.monotonic() < drain_until:
            _read_ready(sources, POLL_SECONDS)
    finally:
        for fd in sources:
            os.close(fd)

    exit_code = _read_status(status_path, proc.returncode, console)
    if out_path is not None:
        with open(out_path, "rb") as f:
            data = f.read()
    else:
        data = bytes(piped)
    return Result(data, clean_console(console), exit_code, elapsed, bytes(console))


def _read_ready(sources, wait):
    """Reads what is ready into sources[fd]; True if anything came. Ended sources are closed
    and dropped."""
    ready, _, _ = select.select(list(sources), [], [], wait)
    got = False
    for fd in ready:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            chunk = b""
        if chunk:
            sources[fd] += chunk
            got = True
        else:
            os.close(fd)
            del sources[fd]
    return got


def _read_status(path, unix_code, console):
    try:
        with open(path) as f:
            status = f.read().split()
    except OSError:
        raise HarnessError("launch.exe wrote no status (Unix exit %s); console: %r"
                           % (unix_code, clean_console(console))) from None
    if len(status) == 2 and status[0] == "exit":
        return int(status[1], 16)
    raise HarnessError("launch.exe could not run the program: %s" % " ".join(status))


@contextlib.contextmanager
def full_disk(size_bytes):
    """Yields a directory on a new tmpfs of size_bytes (rounded up to whole pages), so that
    writes there fail with a full disk. Skips the test when mounting is impossible."""
    where = tempfile.mkdtemp(prefix="shimlist-full-")
    try:
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0777" % size_bytes,
                               "tmpfs", where], capture_output=True, text=True)
        reason = done.stderr.strip() if done.returncode else None
    except OSError as e:
        reason = str(e)
    if reason is not None:
        os.rmdir(where)
        raise unittest.SkipTest("cannot mount a small tmpfs for full-disk tests (needs root): %s"
                                % reason)
    try:
        yield where
    finally:
        if subprocess.run(["umount", where], capture_output=True).returncode:
            subprocess.run(["umount", "-l", where], capture_output=True)
        os.rmdir(where)


def _time_runs(count):
    """Prints how long runs of the echo program take, one by one."""
    bin_dir = _bin_dir(None)
    echo = os.path.join(bin_dir, "echo.exe")
    times = []
    for _ in range(count):
        start = time.monotonic()
        run(["x"], exe=echo, env={"ECHO_CONSOLE": "timing\n"})
        times.append(time.monotonic() - start)
    times.sort()
    print("one harness run of echo.exe, whole call: %d runs, median %.3f s, min %.3f s, max %.3f s"
          % (count, times[len(times) // 2], times[0], times[-1]))


if __name__ == "__main__":
    # python3 tests/harness.py [COUNT]   (with SHIMLIST_BIN set): times harness runs.
    _time_runs(int(sys.argv[1]) if len(sys.argv) > 1 else 10)
