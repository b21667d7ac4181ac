# Test harness: runs shimlist natively, or the Windows build under wine64 with a pseudo-terminal console; returns output and exit code.
"""Runs shimlist for the end-to-end tests: the native program, or Windows console programs under
wine64. The engine is $SHIMLIST_TEST_ENGINE: "wine" (the default) or "native"; see "The native
engine" at the end of this text.

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

The runner is winepty.py, beside this file. It reads the console until every
holder of the terminal has closed it, so that no line written before the end can be missed; a
terminal still open winepty.CLOSE_SECONDS after the program's end raises HarnessError.

The native engine runs $SHIMLIST_BIN/shimlist, the Linux command, as
`shimlist --utf16 -- ARGS...`: the exact bytes of the Windows program to every standard output
(a terminal is then refused by the program itself, as on Windows), and every argument a
database. front_end=True runs `shimlist ARGS...` instead, for the tests of the command's own
options and destinations. There is no pseudo-terminal unless stdout is "console" (then
standard output is one, in raw mode, so that its bytes arrive as written); standard error is a
pipe whose text (UTF-8, LF) is r.console. The same stdout modes apply ("pipe" and "null" pass
there). Standard input is /dev/null, or by `stdin=`: "console" (a terminal of its own),
"closed", bytes (fed through a pipe) or the path of a file to read.

The command closes a failed run with its own lines, which the Windows program does not write;
the harness takes them off r.console. A failure whose code the command knows gets the line
"shimlist: N: <cause>" (N the exit code): r.cause holds the cause (else None). Before it, the
library's word on the database, "shimlist: the database is cut short: ..." or "... is damaged:
...", goes into r.damage (the text after "shimlist: ", else None), and a listing stopped at its
bound, "shimlist: the listing was stopped after N bytes, ...", into r.stopped alike; both are
taken off only where the command writes them, at the end of a run's text. A Unix exit
status keeps 8 bits: a code above 255 exits 255 after a last line "shimlist: exit code N
(0x...); the shell receives 255", which the harness turns back into r.exit_code = N
(r.shell_code keeps the status the shell saw; r.raw_console the whole standard error). A run
ended by signal S gives exit code SIGNALLED + S, which the judges count as a crash. Paths are
Linux paths taken literally, so windows_path() returns its argument; there is no raw command
line (cmdline= is refused). Tests mark what only one engine can show with wine_only,
native_only or also_wine; in a Windows build tree (SHIMLIST_CASES=wine) load_tests keeps the
cases marked for Wine alone, since the others run natively.
"""

import contextlib
import os
import pty
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winepty  # noqa: E402
from winepty import (CONSOLE_COLUMNS, build_cmdline, clean_console,  # noqa: E402,F401
                     ensure_wineserver, quote_arg, wine_env, wine_prefix)

SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.abspath(__file__)))
ENGINES = ("wine", "native")
ENGINE = os.environ.get("SHIMLIST_TEST_ENGINE") or "wine"
if ENGINE not in ENGINES:
    raise ImportError("SHIMLIST_TEST_ENGINE=%r: expected one of %s"
                      % (ENGINE, ", ".join(ENGINES)))

STDOUT_MODES = ("file", "console", "pipe", "null", "closed")
# A start that Wine fails (see winepty.NotStarted) is tried again, this many times in all.
START_ATTEMPTS = 3


class HarnessError(Exception):
    """The harness could not run the program at all (not a result of the program)."""


class RunTimeout(AssertionError):
    """The program did not finish in time; it was killed."""


class Result:
    def __init__(self, stdout, console, exit_code, elapsed, raw_console, close_wait,
                 shell_code=None, cause=None, damage=None, stopped=None):
        self.stdout = stdout
        self.console = console
        self.exit_code = exit_code
        self.elapsed = elapsed
        self.raw_console = raw_console
        self.close_wait = close_wait
        self.shell_code = shell_code
        self.cause = cause
        self.damage = damage
        self.stopped = stopped

    def __repr__(self):
        said = "".join(", %s=%r" % (name, value) for name, value in (
            ("damage", self.damage), ("stopped", self.stopped)) if value is not None)
        return "Result(exit_code=%#x, stdout=%d bytes, console=%r%s, %.2f s)" % (
            self.exit_code, len(self.stdout), self.console, said, self.elapsed)


def windows_bin():
    """The Windows build's bin folder: $SHIMLIST_BIN under Wine; from a native tree
    $SHIMLIST_WINDOWS_BIN, by default the x86_64 build of this tree."""
    if ENGINE == "wine" and os.environ.get("SHIMLIST_BIN"):
        return os.environ["SHIMLIST_BIN"]
    return os.environ.get("SHIMLIST_WINDOWS_BIN") or os.path.join(SOURCE_DIR, "build", "x86_64",
                                                                  "bin")


def native_bin():
    if ENGINE == "native" and os.environ.get("SHIMLIST_BIN"):
        return os.environ["SHIMLIST_BIN"]
    return os.environ.get("SHIMLIST_NATIVE_BIN") or os.path.join(SOURCE_DIR, "build", "native",
                                                                 "bin")


def windows_path(path):
    """The path as the program of the engine names the file: under Wine drive Z: is the Unix
    root; natively the path itself."""
    return path if ENGINE == "native" else winepty.windows_path(path)


def _bin_dir(exe):
    if ENGINE == "native":
        return windows_bin()
    return os.environ.get("SHIMLIST_BIN") or (os.path.dirname(exe) if exe else "")


def run(args=(), *, exe=None, stdout="file", cmdline=None, cwd=None, timeout=20, env=None,
        engine=None, front_end=False, stdin=None):
    """Runs exe (default $SHIMLIST_BIN/shimlist.exe) under wine64, or natively; see the module
    text. engine overrides $SHIMLIST_TEST_ENGINE for this run; front_end and stdin are the
    native engine's."""
    if stdout not in STDOUT_MODES and not isinstance(stdout, os.PathLike) and (
            not isinstance(stdout, str) or os.sep not in stdout):
        raise HarnessError("unknown stdout mode %r (a path needs a folder part)" % (stdout,))
    if (engine or ENGINE) == "native":
        if cmdline is not None:
            raise HarnessError("a raw command line exists only for the Windows program")
        args = list(args) if front_end else ["--utf16", "--"] + list(args)
        return _run_native(exe or os.path.join(native_bin(), "shimlist"), args, stdout, stdin,
                           cwd, timeout, env)
    if front_end or stdin is not None:
        raise HarnessError("front_end and stdin are the native command's")
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
        cmdline = build_cmdline(winepty.windows_path(exe), list(args))

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


# A native run ended by a signal: this plus the signal's number, above every code the program
# gives itself, so that the judges count it as a crash.
SIGNALLED = 0xC0000000
STDIN_MODES = ("console", "closed")
_WIDE_CODE_RE = re.compile(r"(?:\A|(?<=\n))shimlist: exit code (\d+) \(0x([0-9A-F]{8})\); "
                           r"the shell receives 255\n\Z")
_CAUSE_RE = re.compile(r"(?:\A|(?<=\n))shimlist: (\d+): ([^\n]*)\n\Z")
# The command's lines on the run, written after the program's own: a listing stopped at its bound,
# then the first damage that the library found at open.
_LAYER_RE = re.compile(r"(?:\A|(?<=\n))(?:shimlist: (the listing was stopped after \d+ bytes, "
                       r"[^\n]*)\n)?(?:shimlist: (the database is (?:cut short|damaged)(?::| \()"
                       r"[^\n]*)\n)?\Z")


def _open_stdout(stdout, tmp, readers):
    """The descriptor to give the command as standard output (None: closed), and the path of
    the file it writes, if any; a descriptor to read goes into readers."""
    if stdout == "file" or stdout not in STDOUT_MODES:
        path = os.path.join(tmp, "stdout") if stdout == "file" else os.fspath(stdout)
        return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), path
    if stdout == "pipe":
        read_end, out = os.pipe()
    elif stdout == "console":
        read_end, out = pty.openpty()
        tty.setraw(out)
    elif stdout == "null":
        return os.open(os.devnull, os.O_WRONLY), None
    else:
        return None, None
    readers.append(read_end)
    return out, None


def _open_stdin(stdin, keep, feeders):
    """The descriptor to give the command as standard input (None: closed); a terminal's other
    end goes into keep, a pipe to fill into feeders."""
    if stdin is None:
        return os.open(os.devnull, os.O_RDONLY)
    if stdin == "console":
        master, slave = pty.openpty()
        keep.append(master)
        return slave
    if stdin == "closed":
        return None
    if isinstance(stdin, (bytes, bytearray)):
        read_end, write_end = os.pipe()
        feeders.append((write_end, bytes(stdin)))
        return read_end
    if isinstance(stdin, (str, os.PathLike)) and os.sep in os.fspath(stdin):
        return os.open(stdin, os.O_RDONLY)
    raise HarnessError("unknown stdin mode %r (bytes, a path, or one of %s)"
                       % (stdin, ", ".join(STDIN_MODES)))


def _run_native(exe, args, stdout, stdin, cwd, timeout, env):
    if not os.path.isfile(exe):
        raise HarnessError("%s does not exist (build the native preset first)" % exe)
    captured = bytearray()
    readers, keep, feeders = [], [], []
    with tempfile.TemporaryDirectory(prefix="shimlist-run-") as tmp:
        out, out_path = _open_stdout(stdout, tmp, readers)
        given = _open_stdin(stdin, keep, feeders)
        closed = [fd for fd, what in ((1, out), (0, given)) if what is None]

        def close_standard():
            for fd in closed:
                os.close(fd)

        def drain(fd):
            # A terminal ends with EIO once the program has closed it.
            try:
                while True:
                    chunk = os.read(fd, 65536)
                    if not chunk:
                        break
                    captured.extend(chunk)
            except OSError:
                pass
            os.close(fd)

        def feed(fd, data):
            try:
                os.write(fd, data)  # a pipe that the command does not read to its end may fill
            except OSError:
                pass
            os.close(fd)

        start = time.monotonic()
        try:
            proc = subprocess.Popen(
                [exe] + args, stdin=subprocess.DEVNULL if given is None else given,
                stdout=subprocess.DEVNULL if out is None else out, stderr=subprocess.PIPE,
                cwd=cwd, start_new_session=True, env=dict(os.environ, **(env or {})),
                preexec_fn=close_standard if closed else None)
        finally:
            for fd in (out, given):
                if fd is not None:
                    os.close(fd)
        threads = [threading.Thread(target=drain, args=(fd,)) for fd in readers]
        threads += [threading.Thread(target=feed, args=pair, daemon=True) for pair in feeders]
        for thread in threads:
            thread.start()
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            _, err = proc.communicate()
            raise RunTimeout("%s did not end within %s s; console so far: %r"
                             % (exe, timeout, err.decode("utf-8", "replace"))) from None
        finally:
            for fd in keep:
                os.close(fd)
        elapsed = time.monotonic() - start
        for thread in threads:
            thread.join(timeout if thread.daemon else None)
        if out_path is not None:
            with open(out_path, "rb") as f:
                captured = f.read()
    try:
        console = err.decode("utf-8")
    except UnicodeDecodeError as e:
        raise AssertionError("standard error is not UTF-8 (%s): %r" % (e, err)) from None
    shell_code = proc.returncode
    exit_code = shell_code if shell_code >= 0 else SIGNALLED - shell_code
    wide = _WIDE_CODE_RE.search(console) if shell_code == 255 else None
    if wide:
        exit_code = int(wide.group(1))
        if exit_code <= 255 or exit_code != int(wide.group(2), 16):
            raise AssertionError("a wrong exit code line: %r" % wide.group(0))
        console = console[:wide.start()]
    cause = _CAUSE_RE.search(console) if exit_code else None
    if cause and int(cause.group(1)) == exit_code:
        console = console[:cause.start()]
        cause = cause.group(2)
    else:
        cause = None
    layer = _LAYER_RE.search(console)
    console = console[:layer.start()]
    return Result(bytes(captured), console, exit_code, elapsed, err, 0.0, shell_code, cause,
                  layer.group(2), layer.group(1))


def _marked(engines, skip_unless, reason):
    def mark(test):
        test.shimlist_engines = engines
        return unittest.skipUnless(skip_unless, reason)(test)
    return mark


def wine_only(reason):
    """Marks a test or class that shows what only the Windows program can (the reason says
    what): skipped on the native engine."""
    return _marked(("wine",), ENGINE == "wine", "shows the Windows program alone: " + reason)


def native_only(reason):
    """Marks a test or class that holds for the native program alone: skipped under Wine."""
    return _marked(("native",), ENGINE == "native", "native program alone: " + reason)


def also_wine(reason):
    """Marks a test or class that runs on the native engine and, because Wine shows something
    of its own there (the reason), also in a Windows build tree."""
    return _marked(("native", "wine"), True, reason)


def _engines_of(test):
    method = getattr(test, getattr(test, "_testMethodName", ""), None)
    # An unmarked case holds for both programs and runs on the native one.
    return getattr(method, "shimlist_engines", None) or getattr(type(test), "shimlist_engines",
                                                                ("native",))


def _flatten(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from _flatten(test)
        else:
            yield test


def load_tests(loader, tests, pattern):
    """unittest's hook (import it into a test module): with SHIMLIST_CASES=wine (a Windows
    build tree) only the cases marked for Wine are kept, and failures to load."""
    if os.environ.get("SHIMLIST_CASES") != "wine":
        return tests
    return unittest.TestSuite(
        test for test in _flatten(tests)
        if "wine" in _engines_of(test) or type(test).__module__ == "unittest.loader")


class ScratchTest(unittest.TestCase):
    """A test case with a fresh folder of its own, removed afterwards; write() puts a file in it."""

    SCRATCH_PREFIX = "shimlist-test-"

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix=self.SCRATCH_PREFIX)
        self.addCleanup(self.folder.cleanup)

    def write(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path


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
