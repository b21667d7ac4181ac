# Runs a Windows console program under Wine with its console on a pseudo-terminal, for the test harness and the fuzzer.
"""Runs Windows console programs under Wine so that every byte of their console text is seen.

Wine shows console text (WriteConsoleW) only on a terminal: on a file or a pipe it is lost. So
the program gets a new pseudo-terminal as standard input and standard error, and the caller
receives what arrives on it. The run ends only when every holder of the terminal has closed
it (the program, the launcher and Wine's console host): the terminal then reports EIO, and
nothing written before can still be in flight. A bound guards against a holder that never
lets go; a run that reaches it says so (`Run.console_closed` is False).

Programs are started through launch.exe (tests/tools/Launch.cpp) with CreateProcessW: Wine
rebuilds a command line from Unix arguments and passes only the low 8 bits of an exit code
back to Linux, while launch.exe takes the exact command line from a file and writes the full
32-bit exit code into another.
"""

import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import tempfile
import termios
import time

# Widest console Wine accepts (its sizes are signed 16-bit): lines never wrap.
CONSOLE_COLUMNS = 32767
CONSOLE_ROWS = 50
POLL_SECONDS = 0.02
# How long the terminal may stay open after the launcher has ended. Wine's console host closes
# it within a second on a quiet machine; this is only a guard against a holder that never does.
CLOSE_SECONDS = 120.0

# Control sequences Wine's console writes around text: CSI (ESC [ ... final byte),
# OSC (ESC ] ... BEL or ESC \), and two-character escapes.
ESCAPE_RE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[@-Z\\-_=>()]")

# Standard output of the program: the terminal itself, or no descriptor at all.
CONSOLE = "console"
CLOSED = "closed"


class LaunchError(Exception):
    """Wine or the launcher could not run the program (not a result of the program)."""


class NotStarted(LaunchError):
    """Wine failed to start the launcher or the program, or the launcher ended without the
    program's exit code. Under heavy load Wine now and then fails a start this way (the
    launcher ends with Unix status 1 and no word, or CreateProcessW fails with error 1359);
    running the same command again succeeds."""


class Timeout(Exception):
    """The run outlived its time and was killed with its process group."""


class Run:
    def __init__(self, exit_code, elapsed, close_wait):
        self.exit_code = exit_code  # the full 32-bit exit code, unsigned
        self.elapsed = elapsed  # seconds from the start to the launcher's end
        # Seconds from the launcher's end until the terminal closed; None: it was still open
        # after CLOSE_SECONDS, and the last console text may be missing.
        self.close_wait = close_wait
        self.console_closed = close_wait is not None


def wine_prefix():
    return os.environ.get("SHIMLIST_WINEPREFIX") or os.path.expanduser("~/.wine-shimlist")


def wine_env(extra=None):
    """The project's Wine prefix, no debugger, UTF-8 console text, and any extra variables."""
    env = dict(os.environ)
    env["WINEPREFIX"] = wine_prefix()
    env["WINEDEBUG"] = "-all"
    # Without winedbg a crash just ends the program with its exception code; the debugger
    # would take seconds and write its backtrace into the program's standard output.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winedbg.exe=d"
    env["LC_ALL"] = "C.UTF-8"
    env.update(extra or {})
    return env


def wine_loader(arch):
    """The Wine loader for a program of arch ("x86_64" or "i686")."""
    if arch == "i686":
        return "/usr/bin/wine"
    return os.environ.get("WINE_LOADER", "/usr/lib/wine/wine64")


_server_checked = []


def ensure_wineserver():
    """Starts a persistent wineserver unless one runs. A server that a run starts by itself
    inherits that run's terminal and holds it open until it idles out: every run would then
    last seconds longer."""
    if _server_checked:
        return
    server = os.environ.get("WINESERVER", "wineserver")
    try:
        proc = subprocess.Popen([server, "-p"], env=wine_env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
    except OSError as e:
        raise LaunchError("cannot start %s: %s" % (server, e)) from None
    try:
        # Returns at once: 0 when this one went to background, 2 when another server runs.
        started = proc.wait(timeout=10) == 0
    except subprocess.TimeoutExpired:
        started = False
    if started:
        # The first program of a new server starts Wine's services, which keep that program's
        # descriptors for as long as the server lives: let them be /dev/null, not the terminal
        # or the listing file of a run.
        try:
            subprocess.run([wine_loader("x86_64"), "cmd.exe", "/c", "exit"], env=wine_env(),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, start_new_session=True, timeout=300)
        except (OSError, subprocess.TimeoutExpired):
            pass  # the runs cope with services that hold their terminal, only more slowly
    _server_checked.append(True)


def windows_path(path):
    """The Windows form of a Unix path: drive Z: is the Unix root in every Wine prefix, so the
    result names the same file from whatever folder Wine runs in."""
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
    """Console text as plain text: escape sequences removed, line ends "\\n"."""
    text = ESCAPE_RE.sub("", raw.decode("utf-8", "replace"))
    return text.replace("\r\r\n", "\n").replace("\r\n", "\n")


def console_lines():
    """Returns feed(data, final=False) -> str, which cleans console text as it arrives: whole
    lines only, so that no escape sequence, line end or character is cut in two."""
    pending = bytearray()

    def feed(data, final=False):
        pending.extend(data)
        end = len(pending) if final else pending.rfind(b"\n") + 1
        text = clean_console(bytes(pending[:end]))
        del pending[:end]
        return text

    return feed


def launch(exe, cmdline, *, launcher, loader, on_console, tmpdir=None, **run_args):
    """Runs exe with the exact command line cmdline through launch.exe (run by loader) on a new
    console; its files go into a new folder in tmpdir (default: the temporary folder); run_args
    as for run_on_console. Returns a Run with the program's exit code."""
    ensure_wineserver()
    with tempfile.TemporaryDirectory(prefix="shimlist-launch-", dir=tmpdir) as tmp:
        status_path = os.path.join(tmp, "status")
        cmdline_path = os.path.join(tmp, "cmdline")
        with open(cmdline_path, "wb") as f:
            f.write(cmdline.encode("utf-16-le", "surrogatepass"))
        env = wine_env(run_args.pop("env", None))
        env.update({
            "SHIMLIST_LAUNCH_APP": windows_path(exe),
            "SHIMLIST_LAUNCH_CMDLINE": windows_path(cmdline_path),
            "SHIMLIST_LAUNCH_STATUS": windows_path(status_path),
        })
        console = bytearray()

        def seen(data):
            # The last console text goes into the message should the launcher fail.
            console.extend(data[-4096:])
            del console[:-4096]
            on_console(data)

        unix_code, elapsed, close_wait = run_on_console([loader, launcher], env=env,
                                                    on_console=seen, **run_args)
        try:
            with open(status_path) as f:
                status = f.read().split()
        except OSError:
            raise NotStarted("%s wrote no status (Unix exit %s); console: %r"
                             % (os.path.basename(launcher), unix_code,
                                clean_console(bytes(console)))) from None
    if len(status) == 2 and status[0] == "exit":
        return Run(int(status[1], 16), elapsed, close_wait)
    raise NotStarted("%s could not run %s: %s" % (os.path.basename(launcher), exe,
                                                 " ".join(status)))


def run_on_console(argv, *, env, on_console, stdout=None, readers=None, on_tick=None,
                   on_start=None, cwd=None, timeout=None):
    """Runs argv (a Unix command) with standard input and standard error on a new
    pseudo-terminal and returns (Unix exit code, seconds to its end, close_wait as in Run).

    on_console(data) receives the terminal's bytes as they come. stdout is a descriptor, which
    is closed here once the command has started (so that a pipe can end), CONSOLE or CLOSED.
    readers maps further descriptors to callbacks; each is read to its end and closed here.
    on_tick() is called between reads while the command runs; on_start(group) once it has
    started, with its process group, which holds the whole run. After timeout seconds the
    command's process group is killed and Timeout raised; so it is on any exception, such as a
    signal turned into one, so that nothing of the run outlives it."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", CONSOLE_ROWS, CONSOLE_COLUMNS, 0, 0))
    slave_name = os.ttyname(slave)
    console = _MarkFilter(on_console)
    sources = {master: console.feed}
    sources.update(readers or {})

    def close_fd1():
        os.close(1)

    start = time.monotonic()
    try:
        proc = subprocess.Popen(argv, stdin=slave,
                                stdout=slave if stdout in (CONSOLE, CLOSED) else stdout,
                                stderr=slave, cwd=cwd, env=env, start_new_session=True,
                                preexec_fn=close_fd1 if stdout == CLOSED else None)
    except OSError as e:
        for fd in sources:
            os.close(fd)
        raise LaunchError("cannot start %s: %s" % (argv[0], e)) from None
    finally:
        os.close(slave)
        if stdout not in (CONSOLE, CLOSED):
            os.close(stdout)

    try:
        if on_start is not None:
            on_start(proc.pid)
        deadline = None if timeout is None else start + timeout
        while proc.poll() is None:
            if deadline is not None and time.monotonic() > deadline:
                _kill_group(proc)
                _read_ready(sources, POLL_SECONDS)
                raise Timeout("%s did not finish within %s s and was killed"
                              % (os.path.basename(argv[-1]), timeout))
            _read_ready(sources, POLL_SECONDS)
            if on_tick is not None:
                on_tick()
        elapsed = time.monotonic() - start
        close_wait = _read_to_end(sources, master, slave_name, console, proc.pid)
    except BaseException:
        _kill_group(proc)
        raise
    finally:
        for fd in sources:
            os.close(fd)
    if close_wait is None:
        _kill_group(proc)  # whatever of the run still holds the terminal past the bound
    return proc.returncode, elapsed, close_wait


def _read_to_end(sources, master, slave_name, console, group):
    """Reads after the command's end until nothing of the run can still write; returns the
    seconds that took, or None when CLOSE_SECONDS passed first.

    The text written before the end may still be on its way through Wine's console host,
    for long on a loaded machine. Its end is certain in one of two ways. Either the terminal
    reports EIO: its last holder has closed it. Or no process of the run's group is left:
    Wine's services, started by the first program that a new wineserver runs, keep that
    program's terminal (and standard output) for as long as the server lives, but they are in
    sessions of their own and write nothing. Then a mark written to the terminal after the
    run's text shows when all of that text has come through, and the other readers (pipes)
    already hold all that was written into them."""
    ended = time.monotonic()
    group_running = True
    while time.monotonic() < ended + CLOSE_SECONDS:
        _read_ready(sources, POLL_SECONDS)
        if console.mark_seen and master in sources:
            os.close(master)
            del sources[master]
        if not sources:
            console.release()  # what a read held back, should the terminal close before the mark
            return time.monotonic() - ended
        if group_running and not _group_alive(group):
            group_running = False
            for fd in [fd for fd in sources if fd != master]:
                while fd in sources and select.select([fd], [], [], 0)[0]:
                    _read_one(sources, fd)
                if fd in sources:
                    os.close(fd)
                    del sources[fd]
            if master in sources and not console.write_mark(slave_name):
                break
    console.release()
    return None


class _MarkFilter:
    """Passes console bytes on, up to a mark that this runner writes after the run's end."""

    def __init__(self, on_console):
        self.on_console = on_console
        self.mark = None
        self.held = b""
        self.mark_seen = False

    def write_mark(self, slave_name):
        self.mark = b"\x1b]%d\x07" % int.from_bytes(os.urandom(8), "little")
        try:
            fd = os.open(slave_name, os.O_WRONLY | os.O_NOCTTY)
            try:
                os.write(fd, self.mark)
            finally:
                os.close(fd)
        except OSError:
            return False
        return True

    def release(self):
        self.on_console(self.held)
        self.held = b""

    def feed(self, data):
        if self.mark_seen:
            return
        if self.mark is None:
            self.on_console(data)
            return
        data = self.held + data
        at = data.find(self.mark)
        if at >= 0:
            self.mark_seen = True
            self.held = b""
            self.on_console(data[:at])
            return
        # A mark cut in two by a read: hold back what may be its beginning.
        keep = len(self.mark) - 1
        self.held = data[-keep:]
        self.on_console(data[:-keep])


def _group_alive(group):
    """True while a process of the process group is alive (not a zombie awaiting its reaper)."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 2 and int(fields[2]) == group and fields[0] not in (b"Z", b"X"):
            return True
    return False


def _kill_group(proc):
    # The group outlives the launcher while Wine's console host or the program still run.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.wait()


def _read_ready(sources, wait):
    """Hands what is ready to the callbacks in sources; ended sources are closed and dropped."""
    ready, _, _ = select.select(list(sources), [], [], wait)
    for fd in ready:
        _read_one(sources, fd)


def _read_one(sources, fd):
    try:
        chunk = os.read(fd, 65536)
    except OSError:  # EIO: the terminal has no holder left
        chunk = b""
    if chunk:
        sources[fd](chunk)
    else:
        os.close(fd)
        del sources[fd]
