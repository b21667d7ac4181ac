# Test harness: runs a Windows program under wine64 with a console on a pseudo-terminal and returns its output and exit code.
"""Runs Windows console programs under wine64 for the end-to-end tests.

    from harness import run, full_disk
    r = run([db_path])                     # $SHIMLIST_BIN/shimlist.exe, stdout to a file
    r.stdout      # bytes written to standard output, exactly
    r.console     # text shown on the console (standard error), escape sequences removed,
                  # line ends normalised to "\\n"
    r.exit_code   # the full 32-bit exit code, unsigned (e.g. 0xC0000005)
    r.elapsed     # seconds from the start to the program's exit; r.raw_console: bytes as sent
    r.close_wait  # seconds from the exit until the console's terminal closed

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
A start that Wine itself fails under load (winepty.NotStarted: the program's result is unknown)
is run again from the start, up to START_ATTEMPTS times, with a line on standard error.

The runner is tools/winepty.py, shared with tools/shimlist. It reads the console until every
holder of the terminal has closed it, so that no line written before the end can be missed; a
terminal still open winepty.CLOSE_SECONDS after the program's end raises HarnessError.
"""

import contextlib
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import winepty  # noqa: E402
from winepty import (CONSOLE_COLUMNS, build_cmdline, clean_console,  # noqa: E402,F401
                     ensure_wineserver, quote_arg, windows_path, wine_env, wine_prefix)

STDOUT_MODES = ("file", "console", "pipe", "null", "closed")
# A start that Wine fails (see winepty.NotStarted) is tried again, this many times in all.
START_ATTEMPTS = 3


class HarnessError(Exception):
    """The harness could not run the program at all (not a result of the program)."""


class RunTimeout(AssertionError):
    """The program did not finish in time; it was killed."""


class Result:
    def __init__(self, stdout, console, exit_code, elapsed, raw_console, close_wait):
        self.stdout = stdout
        self.console = console
        self.exit_code = exit_code
        self.elapsed = elapsed
        self.raw_console = raw_console
        self.close_wait = close_wait

    def __repr__(self):
        return "Result(exit_code=%#x, stdout=%d bytes, console=%r, %.2f s)" % (
            self.exit_code, len(self.stdout), self.console, self.elapsed)


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

    for attempt in range(1, START_ATTEMPTS + 1):
        try:
            return _run_once(exe, launcher, cmdline, stdout, cwd, timeout, env)
        except winepty.NotStarted as e:
            if attempt == START_ATTEMPTS:
                raise HarnessError("%s (%d attempts)" % (e, attempt)) from None
            # The program's result is unknown, not wrong: run it again from the start.
            print("harness: Wine did not start the run (%s); starting it again" % e,
                  file=sys.stderr)
            time.sleep(0.5 * attempt)


def _run_once(exe, launcher, cmdline, stdout, cwd, timeout, env):
    with tempfile.TemporaryDirectory(prefix="shimlist-run-") as tmp:
        out_path = None
        readers = {}
        piped = bytearray()
        if stdout == "file" or stdout not in STDOUT_MODES:
            out_path = os.path.join(tmp, "stdout") if stdout == "file" else os.fspath(stdout)
            out = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        elif stdout == "pipe":
            pipe_read, out = os.pipe()
            readers[pipe_read] = piped.extend
        elif stdout == "null":
            out = os.open(os.devnull, os.O_WRONLY)
        else:
            out = winepty.CONSOLE if stdout == "console" else winepty.CLOSED
        console = bytearray()
        try:  # the run closes out
            done = winepty.launch(exe, cmdline, launcher=launcher,
                                  loader=winepty.wine_loader("x86_64"),
                                  on_console=console.extend, stdout=out, readers=readers,
                                  cwd=cwd, timeout=timeout, env=env)
        except winepty.Timeout as e:
            raise RunTimeout("%s; console so far: %r" % (e, clean_console(bytes(console)))) \
                from None
        except winepty.NotStarted:
            raise
        except winepty.LaunchError as e:
            raise HarnessError(str(e)) from None
        if not done.console_closed:
            raise HarnessError("the console was still open %d s after the program ended; its "
                               "text may be incomplete: %r"
                               % (winepty.CLOSE_SECONDS, clean_console(bytes(console))))
        if out_path is not None:
            with open(out_path, "rb") as f:
                data = f.read()
        else:
            data = bytes(piped)
    return Result(data, clean_console(bytes(console)), done.exit_code, done.elapsed,
                  bytes(console), done.close_wait)


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
    """Prints how long runs of the echo program take, and how long after its end the console
    stays open (the wait that keeps its last lines from being lost)."""
    bin_dir = _bin_dir(None)
    echo = os.path.join(bin_dir, "echo.exe")
    text = "timing\n" * 20 + "last line\n"
    times, waits = [], []
    for _ in range(count):
        start = time.monotonic()
        r = run(["x"], exe=echo, env={"ECHO_CONSOLE": text})
        times.append(time.monotonic() - start)
        waits.append(r.close_wait)
        if r.console != text:
            print("console text incomplete: %r" % r.console[-40:])
    for what, values in (("whole call", times), ("console closed after the end", waits)):
        values.sort()
        print("%d harness runs of echo.exe, %s: median %.3f s, min %.3f s, max %.3f s"
              % (count, what, values[len(values) // 2], values[0], values[-1]))


if __name__ == "__main__":
    # python3 tests/harness.py [COUNT]   (with SHIMLIST_BIN set): times harness runs.
    _time_runs(int(sys.argv[1]) if len(sys.argv) > 1 else 10)
