# The Linux command as a user runs it: options, where the listing goes, standard input, -o DIR, hostile names, broken channels, signals.
"""One table of runs of build/native/bin/shimlist with its own arguments (no prefix of the
harness), each in a fresh folder that holds a.sdb (a real database), deep.sdb (lists nested
past the limit), text.sdb (not a database), the folder sub and a copy of a.sdb named --help;
then the runs that need a set-up of their own: a broken standard error, a reader that goes
away, a full device and disk, kill -9 and Ctrl-C."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
SOURCE = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(TESTS)
sys.path.insert(0, TESTS)
sys.path.insert(0, os.path.join(TESTS, "listing"))
sys.path.insert(0, os.path.join(SOURCE, "sdbwriter"))
import sdbwrite  # noqa: E402
from harness import full_disk, native_bin, run  # noqa: E402
from reference_listing import expected_header, expected_listing  # noqa: E402

TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
COMMAND = os.path.join(native_bin(), "shimlist")
with open(os.path.join(SOURCE, "VERSION")) as f:
    VERSION = f.read().strip()

# The usage lines as --help prints them (a usage error repeats them exactly); the --help case
# holds them against the synopsis, whatever their wrapping.
USAGE = subprocess.run([COMMAND, "--help"], capture_output=True, text=True).stdout.partition(
    "\n\n")[0] + "\n" if os.path.isfile(COMMAND) else ""
SYNOPSIS = ("usage: shimlist [--utf8 | --utf16] [--json | --stable] [--max-growth=N] [--] "
            "DATABASE",
            "shimlist [--utf8 | --utf16] [--json | --stable] [--max-growth=N] -o DIR [--] "
            "DATABASE...", "shimlist -h | --help | --version")
SHOWN = "Shim database version: 2.3\n"
NOT_UTF8 = ("shimlist: argument %d is not valid UTF-8; shimlist opens a file only by its exact "
            "name, which must be UTF-8 text\n")
NOT_A_FILE = "FlushFileBuffers() returned error 6: standard output is not redirected to a file!\n"
HELP = re.compile(rb"\A" + rb"\n\s+".join(rb"\s+".join(map(re.escape, line.encode().split()))
                                       for line in SYNOPSIS) +
                  rb"\n\n.*--utf16 .*-o DIR .*--json .*--stable .*--max-growth=N .*Exit code: 0 "
                  rb"for a complete listing.*\n\Z", re.S)
C1_NAME = "c1\u009b[2Jx\x01.sdb"            # a terminal's CSI, and a C0 control
C1_SHOWN = "c1\ufffd[2Jx\u2401.sdb"
# Arguments that are not UTF-8, one of each kind: overlong, a surrogate, past U+10FFFF, cut.
BAD_BYTES = (b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82")


def usage_error(problem):
    return "shimlist: %s\n%sTry 'shimlist --help' for more.\n" % (problem, USAGE)


def bad_name(raw):
    return os.fsdecode(b"x" + raw + b".sdb")


def exact(shown):
    """The Windows program's bytes for a listing of a.sdb whose header names `shown`."""
    with open(os.path.join(TESTDATA, "app_x32.sdb"), "rb") as f:
        body, _ = expected_listing(f.read())
    return (expected_header(shown, 2, 3) + body).encode("utf-16-le")


def utf8(listing):
    """The same listing as text: UTF-8, LF line ends, no byte-order mark."""
    return listing.decode("utf-16-le").lstrip("\ufeff").replace("\r\n", "\n").encode("utf-8")


def in_work(*names):
    """A check that the folder holds exactly these names afterwards (of those it gains)."""
    def check(test, work, r, before):
        test.assertEqual(sorted(set(os.listdir(work)) - before), sorted(names))
    return check


def files(want):
    """A check of files after the run: name in the folder -> expected bytes, a callable of
    the folder giving them, or None for a file that must not exist."""
    def check(test, work, r, before):
        for key, expected in want.items():
            path = os.path.join(work, key)
            if expected is None:
                test.assertFalse(os.path.lexists(path), key)
                continue
            test.assertFalse(os.path.islink(path), key)
            with open(path, "rb") as f:
                got = f.read()
            expected = expected(work) if callable(expected) else expected
            test.assertTrue(got == expected, "%s: %d bytes, expected %d" % (key, len(got),
                                                                           len(expected)))
    return check


def both(*checks):
    def check(*args):
        for one in checks:
            one(*args)
    return check


def listed_alone(name):
    """What a run of the command on name alone writes into a file, in the folder."""
    def listing(work):
        return run([name], front_end=True, cwd=work).stdout
    return listing


def with_files(made):
    """A set-up: name in the folder -> a fixture's name to copy, ("link", target) for a
    symbolic link, ("hard", name) for a hard link of a file in the folder, or text."""
    def prepare(work):
        for name, what in made.items():
            path = os.path.join(work, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if isinstance(what, tuple) and what[0] == "link":
                os.symlink(what[1], path)
            elif isinstance(what, tuple):
                os.link(os.path.join(work, what[1]), path)
            elif os.path.exists(os.path.join(work, what)):
                shutil.copyfile(os.path.join(work, what), path)
            else:
                with open(path, "w") as f:
                    f.write(what)
    return prepare


def a_socket(work):
    server = socket.socket(socket.AF_UNIX)
    server.bind(os.path.join(work, "sock.sdb"))
    server.close()  # the name stays, and no program can open it as a file


DB = None  # the bytes of a.sdb, read in setUpClass

# (what, arguments, exit code, standard output: bytes, a callable of the folder, a pattern or
# None, standard error: the exact text before the command's closing lines or fragments of all
# of it, the cause line's words or None, and options: stdout, stdin, prepare, after).
CASES = [
    # Options.
    ("--help", ["--help"], 0, HELP, "", None, {}),
    ("-h", ["-h"], 0, HELP, "", None, {}),
    ("--version", ["--version"], 0,
     re.compile(rb"shimlist %s \(commit [0-9a-f]{40}(\+changes)?\)\n\Z"
                % re.escape(VERSION.encode())),
     "", None, {}),
    ("--version with a database", ["--version", "a.sdb"], 160, b"",
     usage_error("this option takes no other arguments: '--version'"), None, {}),
    ("-h after a database", ["a.sdb", "-h"], 160, b"",
     usage_error("this option takes no other arguments: '-h'"), None, {}),
    ("an unknown option", ["--bogus", "a.sdb"], 160, b"",
     usage_error("unknown option '--bogus'"), None, {}),
    ("-o twice", ["-o", "x", "-o", "y", "a.sdb"], 160, b"", usage_error("-o is given twice"),
     None, {"after": in_work()}),
    ("-o without a folder", ["a.sdb", "-o"], 160, b"", usage_error("-o needs a folder"), None, {}),
    ("--utf8 and --utf16", ["--utf8", "--utf16", "a.sdb"], 160, b"",
     usage_error("the form of the listing is given twice, again by '--utf16'"), None, {}),
    ("--utf16 twice", ["--utf16", "a.sdb", "--utf16"], 160, b"",
     usage_error("the form of the listing is given twice, again by '--utf16'"), None, {}),
    ("no database", ["--utf8"], 160, b"", usage_error("no database given"), None, {}),
    ("two databases without -o", ["a.sdb", "a.sdb"], 160, b"",
     usage_error("one database at a time; -o DIR lists several"), None, {}),
    ("-- makes --help a database", ["--", "--help"], 0, exact("--help"), SHOWN, None, {}),
    # -o takes its folder only as an argument of its own.
    ("-oDIR", ["-oout", "a.sdb"], 160, b"", usage_error("unknown option '-oout'"), None,
     {"after": in_work()}),
    ("--max-growth twice", ["--max-growth=2", "--max-growth=3", "a.sdb"], 160, b"",
     usage_error("--max-growth is given twice, again by '--max-growth=3'"), None, {}),
    ("--max-growth past 32 bits", ["--max-growth=4294967296", "a.sdb"], 160, b"",
     usage_error("--max-growth takes a whole number, not '4294967296'"), None, {}),
    ("--max-growth=0, no limit", ["--max-growth=0", "a.sdb"], 0, exact("a.sdb"), SHOWN, None,
     {}),

    # Where the listing goes.
    ("into a file", ["a.sdb"], 0, exact("a.sdb"), SHOWN, None, {}),
    ("into a pipe", ["a.sdb"], 0, utf8(exact("a.sdb")), SHOWN, None, {"stdout": "pipe"}),
    ("onto a terminal", ["a.sdb"], 0, utf8(exact("a.sdb")), SHOWN, None, {"stdout": "console"}),
    ("into /dev/null", ["a.sdb"], 0, b"", SHOWN, None, {"stdout": "null"}),
    ("standard output closed", ["a.sdb"], 6, b"", "shimlist: standard output is closed\n", None,
     {"stdout": "closed"}),
    ("--version, standard output closed", ["--version"], 6, b"",
     "shimlist: standard output is closed\n", None, {"stdout": "closed"}),
    ("--utf8 into a file", ["--utf8", "a.sdb"], 0, utf8(exact("a.sdb")), SHOWN, None, {}),
    ("--utf16 into a pipe", ["a.sdb", "--utf16"], 0, exact("a.sdb"), SHOWN, None,
     {"stdout": "pipe"}),
    ("--utf16 onto a terminal", ["--utf16", "a.sdb"], 6, b"", NOT_A_FILE,
     "standard output is a terminal, which takes no UTF-16 bytes", {"stdout": "console"}),

    # Standard input, and what is no file.
    ("- from a pipe", ["-"], 0, exact("-"), SHOWN, None, {"stdin": ("pipe", "a.sdb")}),
    ("- from a file", ["--", "-"], 0, exact("-"), SHOWN, None, {"stdin": ("file", "a.sdb")}),
    ("- from a terminal", ["-"], 11, b"",
     "shimlist: standard input is a terminal, not a database\n", None, {"stdin": "console"}),
    ("- with standard input closed", ["-"], 6, b"", "shimlist: standard input is closed\n", None,
     {"stdin": "closed"}),
    ("-o with -", ["-o", "out", "-"], 0, b"", "file 1 of 1: -\n" + SHOWN, None,
     {"stdin": ("pipe", "a.sdb"), "after": files({"out/stdin.txt": exact("-")})}),
    ("a socket", ["sock.sdb"], 11, b"", "SdbOpenDatabase() returned NULL for file 'sock.sdb'\n",
     "not a shim database", {"prepare": a_socket}),
    ("a missing file", ["missing.sdb"], 2, b"",
     "SdbOpenDatabase() returned NULL for file 'missing.sdb'\n", "the file does not exist", {}),
    ("lists nested too deep", ["deep.sdb"], 1001, None,
     ("Lists nest deeper than 256 levels",
      "shimlist: 1001: lists nest too deep; the listing is incomplete\n"
      "shimlist: exit code 1001 (0x000003E9); the shell receives 255\n"),
     "lists nest too deep; the listing is incomplete", {}),

    # -o DIR.
    ("-o: listings, partial listings, links, names and the summary",
     ["-o", "out", "a.sdb", "text.sdb", "deep.sdb", "sub", "missing.sdb", "other/a.sdb", "b.sdb"],
     11, b"", tuple("file %d of 7: %s\n" % item for item in enumerate(
         ["a.sdb", "text.sdb", "deep.sdb", "sub", "missing.sdb", "other/a.sdb", "b.sdb"], 1)) + (
         "shimlist: sub: a folder, not a database\n",
         "shimlist: 5 of 7 failed:\n"
         "  text.sdb: exit code 11: not a shim database\n"
         "  deep.sdb: exit code 1001: lists nest too deep; the listing is incomplete\n"
         "  sub: exit code 5: a folder, not a database\n"
         "  missing.sdb: exit code 2: the file does not exist\n"
         "  other/a.sdb: exit code 80: its listing's name is that of an earlier database's\n"),
     None,
     {"prepare": with_files({"other/a.sdb": "a.sdb", "b.sdb": "a.sdb", "elsewhere": "untouched",
                              "out/a.sdb.txt": ("link", "../elsewhere"),
                              "out/b.sdb.txt": ("link", "../created"),
                              "out/deep.sdb.txt": "an older listing",
                              "out/text.sdb.txt": "an older listing"}),
      "after": both(files({"out/a.sdb.txt": exact("a.sdb"), "elsewhere": b"untouched",
                           "out/b.sdb.txt": exact("b.sdb"), "created": None,
                           "out/deep.sdb.txt.partial": listed_alone("deep.sdb")}),
                    lambda test, work, r, before: test.assertEqual(
                        sorted(os.listdir(os.path.join(work, "out"))),
                        ["a.sdb.txt", "b.sdb.txt", "deep.sdb.txt.partial",
                         "shimlist-index.tsv"]))}),
    ("-o --utf8", ["--utf8", "-o", "out", "a.sdb"], 0, b"", "file 1 of 1: a.sdb\n" + SHOWN, None,
     {"after": files({"out/a.sdb.txt": utf8(exact("a.sdb"))})}),
    ("-o into a path through a file", ["-o", "a.sdb/out", "a.sdb"], 82, b"",
     "shimlist: a.sdb/out cannot be the output folder: error 3\n", None, {}),

    # Hostile names.
    ("-o..sdb among *.sdb", ["-o", "out", "-o..sdb", "a.sdb"], 160, b"",
     usage_error("unknown option '-o..sdb'"), None,
     {"prepare": with_files({"-o..sdb": "a.sdb"}), "after": in_work()}),
    ("-o..sdb first among *.sdb", ["-o..sdb", "a.sdb"], 160, b"",
     usage_error("unknown option '-o..sdb'"), None,
     {"prepare": with_files({"-o..sdb": "a.sdb"}), "after": in_work()}),
    ("-o..sdb after --", ["-o", "out", "--", "-o..sdb", "a.sdb"], 0, b"", None, None,
     {"prepare": with_files({"-o..sdb": "a.sdb"}),
      "after": files({"out/-o..sdb.txt": exact("-o..sdb"), "out/a.sdb.txt": exact("a.sdb")})}),
    ("--help among the databases", ["-o", "out", "a.sdb", "--help"], 160, b"",
     usage_error("this option takes no other arguments: '--help'"), None,
     {"after": in_work()}),
    ("-o . beside a.sdb.txt given too", ["-o", ".", "a.sdb", "a.sdb.txt"], 80, b"",
     ("shimlist: a.sdb: its listing's name is that of a file given as a database\n",), None,
     {"prepare": with_files({"a.sdb.txt": "a.sdb"}),
      "after": files({"a.sdb.txt": lambda work: DB, "a.sdb.txt.partial": None,
                        "a.sdb.txt.txt": exact("a.sdb.txt")})}),
    ("-o . with a.sdb.txt a hard link of a database given",
     ["-o", ".", "a.sdb", "b.sdb"], 80, b"",
     ("shimlist: a.sdb: its listing's name is that of a file given as a database\n",), None,
     {"prepare": with_files({"b.sdb": "a.sdb", "a.sdb.txt": ("hard", "b.sdb")}),
      "after": files({"a.sdb.txt": lambda work: DB, "b.sdb.txt": exact("b.sdb")})}),
    ("-o: a name with controls", ["-o", "out", C1_NAME], 0, b"",
     "file 1 of 1: %s\n%sPath of the database shown with replacements: control characters 2, "
     "line separators 0, unpaired surrogates 0\n" % (C1_SHOWN, SHOWN), None,
     {"prepare": with_files({C1_NAME: "a.sdb"}),
      "after": files({"out/" + C1_NAME + ".txt": exact(C1_NAME)})}),
    ("-o: a folder with controls", ["-o", "out", "sub\u009b\x01"], 5, b"",
     ("shimlist: sub\ufffd\u2401: a folder, not a database\n",
      "  sub\ufffd\u2401: exit code 5: a folder, not a database\n"), None,
     {"prepare": lambda work: os.mkdir(os.path.join(work, "sub\u009b\x01"))}),
    ("a missing file with controls", ["missing" + C1_NAME], 2, b"",
     "SdbOpenDatabase() returned NULL for file 'missing%s'\nPath of the database shown with "
     "replacements: control characters 2, line separators 0, unpaired surrogates 0\n" % C1_SHOWN,
     "the file does not exist", {}),
] + [
    ("not UTF-8: %s" % raw.hex(" "), args, 1113, b"", NOT_UTF8 % number, None,
     {"after": in_work()})
    for raw, args, number in ((BAD_BYTES[0], [bad_name(BAD_BYTES[0])], 1),
                              (BAD_BYTES[1], ["--utf8", bad_name(BAD_BYTES[1])], 2),
                              (BAD_BYTES[2], ["-o", "out", bad_name(BAD_BYTES[2])], 3),
                              (BAD_BYTES[3], ["a.sdb", "-o" + bad_name(BAD_BYTES[3])], 2))
]


class Table(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        global DB
        if not os.path.isfile(COMMAND):
            raise AssertionError("%s is missing: build the native preset" % COMMAND)
        with open(os.path.join(TESTDATA, "app_x32.sdb"), "rb") as f:
            DB = f.read()

    def fixture(self):
        work = tempfile.mkdtemp(prefix="shimlist-frontend-")
        self.addCleanup(shutil.rmtree, work)
        for name, source in (("a.sdb", "app_x32.sdb"), ("deep.sdb", "hardening_nesting_bomb.sdb"),
                             ("--help", "app_x32.sdb")):
            shutil.copyfile(os.path.join(TESTDATA, source), os.path.join(work, name))
        with open(os.path.join(work, "text.sdb"), "w") as f:
            f.write("not a shim database\n")
        os.mkdir(os.path.join(work, "sub"))
        return work

    def test_cases(self):
        for what, args, code, out, err, cause, options in CASES:
            with self.subTest(what):
                work = self.fixture()
                if "prepare" in options:
                    options["prepare"](work)
                before = set(os.listdir(work))
                stdin = options.get("stdin")
                if isinstance(stdin, tuple):
                    path = os.path.join(work, stdin[1])
                    if stdin[0] == "pipe":
                        with open(path, "rb") as f:
                            stdin = f.read()
                    else:
                        stdin = path
                r = run(args, front_end=True, cwd=work, stdout=options.get("stdout", "file"),
                        stdin=stdin)
                self.assertEqual(r.exit_code, code, r.raw_console)
                if isinstance(out, re.Pattern):
                    self.assertRegex(r.stdout, out)
                elif callable(out):
                    self.assertEqual(r.stdout, out(work))
                elif out is not None:
                    self.assertTrue(r.stdout == out, "%d bytes, expected %d: %r" % (
                        len(r.stdout), len(out), r.stdout[:200]))
                if isinstance(err, str):
                    self.assertEqual(r.console, err)
                else:
                    for fragment in err or ():
                        self.assertIn(fragment, r.raw_console.decode())
                self.assertEqual(r.cause, cause, r.raw_console)
                # Nothing that a name holds reaches the terminal as a control.
                self.assertIsNone(re.search(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]",
                                            r.raw_console), r.raw_console)
                if "after" in options:
                    options["after"](self, work, r, before)
        print("%d cases" % len(CASES))


def noisy_database(folder, lines=8000):
    """A database whose run writes a diagnostic per tag: with standard error unread, the
    program then waits on it."""
    path = os.path.join(folder, "noisy.sdb")
    with open(path, "wb") as f:
        f.write(sdbwrite.compile_source("DATABASE {\n" + "    0xA000\n" * lines + "}\n"))
    return path


def state(pid):
    """A live process's state letter, or "" once it is gone (a zombie counts as gone)."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except OSError:
        return ""
    return "" if fields[0] in (b"Z", b"X") else fields[0].decode()


def children(pid):
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                if int(f.read().rsplit(b")", 1)[1].split()[1]) == pid:
                    found.append(int(name))
        except OSError:
            pass
    return found


def wait_until(condition, bound=20.0):
    """Waits for condition, at most bound seconds: a bound, not a timing."""
    end = time.monotonic() + bound
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


class SetUps(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="shimlist-frontend-")
        self.addCleanup(shutil.rmtree, self.work)
        self.database = os.path.join(TESTDATA, "app_x32.sdb")

    def start(self, args, **kwargs):
        proc = subprocess.Popen([COMMAND] + args, cwd=self.work, start_new_session=True,
                                **kwargs)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc

    def test_a_broken_standard_error_never_stops_the_listing(self):
        noisy = noisy_database(self.work)
        whole = run([noisy], front_end=True)
        self.assertEqual(whole.exit_code, 0, whole.console[-200:])
        self.assertGreater(whole.console.count("\n"), 8000)
        read_end, write_end = os.pipe()
        os.close(read_end)
        with tempfile.TemporaryFile() as out:
            proc = self.start([noisy], stdout=out, stderr=write_end)
            os.close(write_end)
            self.assertEqual(proc.wait(timeout=60), 0)
            out.seek(0)
            self.assertTrue(out.read() == whole.stdout)

    def test_a_reader_that_goes_away_ends_the_run(self):
        # 20,000 lines (1.2 MB as UTF-8) outgrow the pipe and the program's block.
        large = os.path.join(self.work, "large.sdb")
        with open(large, "wb") as f:
            f.write(sdbwrite.compile_source("DATABASE {\n" + "    SIZE 0x10\n" * 20000 + "}\n"))
        for args in ([large], ["--utf16", large]):
            with self.subTest(args=args[:-1]):
                proc = self.start(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                self.assertEqual(len(proc.stdout.read(10)), 10)
                proc.stdout.close()
                self.assertEqual(proc.wait(timeout=60), -signal.SIGPIPE)

    def test_a_full_device(self):
        for args, code, said in (
                ([self.database], 112, b"Shim database version: 2.3\n"
                 b"CloseHandle() returned error 112\n"
                 b"shimlist: 112: the disk is full; the listing is cut short\n"),
                (["--help"], 112, b"shimlist: the text cannot be written: error 112\n")):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                done = subprocess.run([COMMAND] + args, stdout=full, stderr=subprocess.PIPE,
                                      timeout=60)
                self.assertEqual((done.returncode, done.stderr), (code, said))

    def test_a_full_disk_keeps_an_exact_prefix(self):
        every = os.path.join(TESTDATA, "every_rendering.sdb")
        whole = run([every], front_end=True)
        self.assertEqual(whole.exit_code, 0, whole.console)
        for size in (4096, 70000):
            with self.subTest(size=size), full_disk(size) as where:
                r = run([every], front_end=True, stdout=os.path.join(where, "listing"))
                self.assertEqual((r.exit_code, r.cause),
                                 (112, "the disk is full; the listing is cut short"), r.console)
                self.assertLess(len(r.stdout), len(whole.stdout))
                self.assertGreater(len(r.stdout), size - 3 * 4096)
                self.assertTrue(r.stdout == whole.stdout[:len(r.stdout)], "not a prefix")

    def interrupt(self, send):
        """Starts -o on a database whose run waits on a full standard error, lets send(proc)
        end the command, and checks that no process of the run is left, nor a listing."""
        noisy = noisy_database(self.work)
        out = os.path.join(self.work, "out")
        proc = self.start(["-o", out, noisy], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.assertTrue(wait_until(lambda: children(proc.pid)), "no program was started")
        program = children(proc.pid)
        # The program has written what the pipe holds and waits on it.
        self.assertTrue(wait_until(lambda: all(state(pid) == "S" for pid in program)))
        send(proc)
        status = proc.wait(timeout=30)
        # Standard error stays unread and open: a program left behind would wait on it for
        # ever, and not end by itself.
        self.assertTrue(wait_until(lambda: not any(state(pid) for pid in program)),
                        [(pid, state(pid)) for pid in program])
        proc.stderr.close()
        self.assertEqual(os.listdir(out), [])
        return status

    def test_kill_9_leaves_no_program_behind(self):
        self.assertEqual(self.interrupt(lambda proc: proc.kill()), -signal.SIGKILL)

    def test_ctrl_c_leaves_no_listing(self):
        self.assertEqual(self.interrupt(lambda proc: os.killpg(proc.pid, signal.SIGINT)),
                         -signal.SIGINT)


if __name__ == "__main__":
    unittest.main()
