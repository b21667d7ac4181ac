# Runs tools/shimlist as a Unix user would, natively and under Wine: pipes, --utf8, -o DIR, signals.
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import ensure_wineserver, run, windows_path, wine_prefix  # noqa: E402

SOURCE = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "sdbwriter"))
import sdbwrite  # noqa: E402
TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
WRAPPER = os.path.join(SOURCE, "tools", "shimlist")
# The native program, built by tools/setup with the native preset.
NATIVE_BIN = os.environ.get("SHIMLIST_NATIVE_BIN") or os.path.join(SOURCE, "build", "native", "bin")
NATIVE = os.path.join(NATIVE_BIN, "shimlist")
DATABASE = os.path.join(TESTDATA, "every_rendering.sdb")  # its listing fills a pipe
OTHER = os.path.join(TESTDATA, "app_x32.sdb")
NOT_OPENED = "SdbOpenDatabase() returned NULL for file '%s'\n"


def engine_env(engine, extra=None):
    """The environment for the engine: the native program by default (no SHIMLIST_ENGINE), or
    the 64-bit Windows build as the harness runs it (ctest's SHIMLIST_ARCH is a triple)."""
    env = dict(os.environ, SHIMLIST_ARCH="x86_64")
    env.pop("SHIMLIST_ENGINE", None)
    if engine == "wine":
        env["SHIMLIST_ENGINE"] = "wine"
    else:
        env["SHIMLIST_BIN"] = NATIVE_BIN
    env.update(extra or {})
    return env


def shimlist(args, command=WRAPPER, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
             engine="native", **kwargs):
    return subprocess.run([command] + args, stdout=stdout, stderr=stderr, timeout=300,
                          env=engine_env(engine, kwargs.pop("env", None)), **kwargs)


def listing(path, engine="native", cwd="/"):
    """What the program itself writes into a file for path."""
    if engine == "wine":
        return run([windows_path(path)]).stdout
    with tempfile.TemporaryFile() as out:
        subprocess.run([NATIVE, path], stdout=out, stderr=subprocess.DEVNULL, cwd=cwd,
                       timeout=60)
        out.seek(0)
        return out.read()


def body(listing):
    """A listing without its header's first line, which names the path the program was given."""
    return listing[listing.index(b"\r\x00\n\x00"):]


def header(listing):
    return listing[:listing.index(b"\r\x00\n\x00")].decode("utf-16-le")


def setUpModule():
    if not os.path.isfile(NATIVE):
        raise AssertionError("%s is missing: build it (tools/setup --native)" % NATIVE)


class Output(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, self.work)

    def test_file_pipe_and_utf8_give_the_programs_bytes(self):
        expected = listing(DATABASE)
        as_text = subprocess.run(["iconv", "-f", "UTF-16", "-t", "UTF-8"], input=expected,
                                 stdout=subprocess.PIPE, check=True).stdout
        in_prefix = os.path.join(wine_prefix(), "drive_c")
        bindir = os.path.join(self.work, "bin")
        subprocess.run([os.path.join(SOURCE, "tools", "install"), bindir], check=True,
                       stdout=subprocess.DEVNULL)
        # Names that Wine would turn into another file's: the native program lists these.
        os.mkdir(os.path.join(self.work, "a"))
        for name, source in (("db.sdb", DATABASE), ("db.sdb.", OTHER), ("a/b.sdb", DATABASE),
                             ("a\\b.sdb", OTHER)):
            shutil.copyfile(source, os.path.join(self.work, name))
        relative = os.path.relpath(DATABASE, self.work)
        out_path = os.path.join(self.work, "out.txt")
        for engine, how, args, cwd, want in (
                ("native", "pipe", [DATABASE], "/", as_text.replace(b"\r\n", b"\n")),
                ("native", "--utf16 pipe", ["--utf16", DATABASE], "/", expected),
                ("native", "file", [DATABASE], "/", expected),
                ("native", "relative", ["--utf16", relative], self.work,
                 listing(relative, cwd=self.work)),
                ("native", "--utf8 file", ["--utf8", DATABASE], "/",
                 as_text.replace(b"\r\n", b"\n")),
                ("native", "installed command", ["--utf16", DATABASE], self.work, expected),
                ("native", "trailing dot", ["--utf16", "db.sdb."], self.work,
                 listing("db.sdb.", cwd=self.work)),
                ("native", "backslash", ["--utf16", "a\\b.sdb"], self.work,
                 listing("a\\b.sdb", cwd=self.work)),
                ("wine", "--utf16 pipe", ["--utf16", DATABASE], "/", expected),
                # Wine would read a relative path against its own current folder.
                ("wine", "relative, from inside the prefix",
                 ["--utf16", os.path.relpath(DATABASE, in_prefix)], in_prefix, expected)):
            with self.subTest(engine=engine, how=how):
                command = os.path.join(bindir, "shimlist") if how.startswith("inst") else WRAPPER
                with open(out_path, "w+b") as out:
                    done = shimlist(args, command, stdout=out if how.endswith("file") else
                                    subprocess.PIPE, cwd=cwd, engine=engine)
                    out.seek(0)
                    got = out.read() if how.endswith("file") else done.stdout
                self.assertEqual(done.returncode, 0, done.stderr)
                if engine == "wine":  # the header names the private link that Wine was given
                    self.assertRegex(header(got), r"\\shimlist-\w{8}\\every_rendering\.sdb\Z")
                    got, want = body(got), body(want)
                self.assertTrue(got == want, "%d bytes, expected %d" % (len(got), len(want)))

    def test_standard_error_in_a_file_gets_the_diagnostics(self):
        missing = os.path.join(self.work, "missing.sdb")
        bomb = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        # 1001 would reach the shell as 233 (its low 8 bits), 0x100 as 0: a success. The whole
        # code is shown once, by the native program itself or by the command under Wine.
        too_deep = "not listed\nshimlist: exit code 1001 (0x000003E9); the shell receives 255\n"
        too_deep += "shimlist: 1001: lists nest too deep; the listing is incomplete\n"
        absent = "shimlist: 2: the file does not exist\n"
        for engine, database, code, tail in (
                ("native", missing, 2, NOT_OPENED % missing + absent),
                ("native", bomb, 255, too_deep),
                ("wine", missing, 2, "shimlist: cannot open %s: No such file or directory\n%s"
                 % (missing, absent)),
                ("wine", bomb, 255, too_deep)):
            with self.subTest(engine=engine, database=os.path.basename(database)):
                with tempfile.TemporaryFile(dir=self.work) as err:
                    done = shimlist([database], stdout=subprocess.DEVNULL, stderr=err,
                                    engine=engine)
                    err.seek(0)
                    text = err.read().decode("utf-8")
                self.assertEqual(done.returncode, code, text)
                self.assertTrue(text.endswith(tail), text)
                self.assertLessEqual(text.count("exit code"), 1, text)
                self.assertNotIn("\x1b", text)
                self.assertNotIn("\r", text)


class ManyDatabases(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, self.work)

    def put(self, name, source=None, text=None):
        path = os.path.join(self.work, name)
        if source:
            shutil.copyfile(source, path)
        else:
            with open(path, "w") as f:
                f.write(text)
        return path

    def test_output_folder_hazards(self):
        out = os.path.join(self.work, "out")
        os.mkdir(out)
        os.mkdir(os.path.join(self.work, "sub"))
        self.put("db.sdb", DATABASE)
        self.put("dangling.sdb", OTHER)
        self.put("notes.sdb", text="not a shim database\n")
        self.put("deep.sdb", os.path.join(TESTDATA, "hardening_nesting_bomb.sdb"))
        elsewhere = self.put("elsewhere", text="untouched")
        # Links in DIR under listings' names, and an older listing of a database now missing.
        os.symlink(elsewhere, os.path.join(out, "db.sdb.txt"))
        os.symlink(os.path.join(self.work, "created"), os.path.join(out, "dangling.sdb.txt"))
        with open(os.path.join(out, "stale.sdb.txt"), "w") as f:
            f.write("an older listing")
        evil = "evil\n\x1b[2J\x7f\x85\u2028\u2029\udce9.sdb"
        evil_shown = "evil\u240a\u241b[2J\u2421\u2424\u21b5\u00b6\ufffd.sdb"
        names = ["db.sdb", "dangling.sdb", ".", "/", "..", "sub", "stale.sdb", "notes.sdb",
                 "deep.sdb", "a/db.sdb", evil]
        done = shimlist(["-o", "out"] + names, cwd=self.work)
        err = done.stderr.decode("utf-8")
        self.assertEqual(done.returncode, 5, err)  # the first failure's: "." is a folder
        # Each listing as a single call makes it; a failure leaves no NAME.txt, only what it
        # wrote, under a name that says so; folders write nothing, hidden or not.
        self.assertEqual(sorted(os.listdir(out)),
                         ["dangling.sdb.txt", "db.sdb.txt", "deep.sdb.txt.partial"])
        for name, source in (("db.sdb.txt", "db.sdb"), ("dangling.sdb.txt", "dangling.sdb"),
                             ("deep.sdb.txt.partial", "deep.sdb")):
            path = os.path.join(out, name)
            self.assertFalse(os.path.islink(path), name)
            with open(path, "rb") as f:
                self.assertTrue(f.read() == listing(source, cwd=self.work), name)
        with open(elsewhere) as f:
            self.assertEqual(f.read(), "untouched")
        self.assertFalse(os.path.lexists(os.path.join(self.work, "created")))
        # Names reach the terminal as the program shows them: no line of a name's making.
        self.assertNotIn("\x1b", err)
        self.assertEqual([line for line in err.splitlines() if line.startswith("file ")],
                         ["file %d of 11: %s" % (k, name) for k, name in
                          enumerate(names[:-1] + [evil_shown], 1)])
        self.assertTrue(err.endswith(
            "shimlist: 9 of 11 failed:\n"
            "  .: exit code 5: a folder, not a database\n"
            "  /: exit code 5: a folder, not a database\n"
            "  ..: exit code 5: a folder, not a database\n"
            "  sub: exit code 5: a folder, not a database\n"
            "  stale.sdb: exit code 2: the file does not exist\n"
            "  notes.sdb: exit code 11: not a shim database\n"
            "  deep.sdb: exit code 1001: lists nest too deep; the listing is incomplete\n"
            "  a/db.sdb: exit code 80: same file name as db.sdb\n"
            "  %s: exit code 1113: the path is not valid UTF-8\n" % evil_shown), err)

    def test_an_unusable_folder_is_refused(self):
        done = shimlist(["-o", os.path.join(DATABASE, "sub"), DATABASE])
        self.assertEqual(done.returncode, 82)
        self.assertIn(b"cannot use %s/sub as the output folder: Not a directory"
                      % DATABASE.encode(), done.stderr)

    def test_wine_lists_exactly_the_named_file(self):
        # Each hostile name holds DATABASE; the file that Wine would make of the name holds
        # OTHER, or is missing ("gone.sdb." must not list "gone.sdb").
        os.mkdir(os.path.join(self.work, "secret"))
        for decoy in ("secret/real.sdb", "a.sdb", "gone.sdb", "q.sdb"):
            self.put(decoy, OTHER)
        hostile = [("x\\..\\secret\\real.sdb", None), ("a.sdb.", None), ("a.sdb ", None),
                   ('"q".sdb', None), ("q?.sdb", None), ("*.sdb", None), ("<a>|b.sdb", None),
                   ("CON", None), ("aux", None), ("nul.sdb", None),
                   (os.fsdecode(b"caf\xe9.sdb"), None), ("plain-name_1.sdb", "plain-name_1.sdb")]
        for name, _ in hostile:
            self.put(name, DATABASE)
        out = os.path.join(self.work, "out")
        done = shimlist(["-o", out] + [name for name, _ in hostile] + ["gone.sdb."],
                        cwd=self.work, engine="wine")
        err = done.stderr.decode("utf-8", "replace")
        self.assertEqual(done.returncode, 2, err)
        want = body(listing(DATABASE))
        for name, link in hostile:
            with self.subTest(name=name):
                with open(os.path.join(out, name + ".txt"), "rb") as f:
                    got = f.read()
                self.assertRegex(header(got), r"\tZ:\\.*\\shimlist-\w{8}\\%s\Z"
                                 % re.escape(link or "database.sdb"))
                self.assertTrue(body(got) == want, name)
        self.assertFalse(os.path.exists(os.path.join(out, "gone.sdb..txt")))
        self.assertTrue(err.endswith("shimlist: 1 of 13 failed:\n"
                                     "  gone.sdb.: exit code 2: the file does not exist\n"), err)


class EngineChoice(unittest.TestCase):
    def test_the_shipped_program_runs_under_wine_and_the_default_natively(self):
        empty = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, empty)
        # An empty bin folder: the message names the program that the command looked for.
        for extra, code, said in (
                ({}, 2, "%s/shimlist missing" % empty),
                ({"SHIMLIST_ARCH": "i686"}, 2, "%s/shimlist.exe" % empty),
                ({"SHIMLIST_ARCH": "i686", "SHIMLIST_ENGINE": "native"}, 160, "SHIMLIST_ENGINE")):
            with self.subTest(**extra):
                done = shimlist([DATABASE], env=dict(extra, SHIMLIST_BIN=empty))
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertIn(said, done.stderr.decode())


    def test_help_onto_a_full_disk_fails_plainly(self):
        with open("/dev/full", "wb") as full:
            done = shimlist(["--help"], stdout=full)
        self.assertEqual((done.returncode, done.stderr),
                         (112, b"shimlist: cannot write the help: No space left on device\n"))


class Interrupted(unittest.TestCase):
    def test_nothing_is_left_behind(self):
        ensure_wineserver()  # else the wrapper would start one, which outlives it
        work = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, work)
        # 8,000 diagnostics: with standard error unread, the program blocks on its console.
        noisy = os.path.join(work, "noisy.sdb")
        with open(noisy, "wb") as f:
            f.write(sdbwrite.compile_source("DATABASE {\n" + "    0xA000\n" * 8000 + "}\n"))
        # Ctrl-Z pauses the program with the command, which then goes on, or is killed while
        # paused: a paused program would never end by itself.
        for engine, sig, pause in (("wine", signal.SIGINT, None),
                                   ("wine", signal.SIGTERM, "go on"),
                                   ("wine", signal.SIGKILL, "stay"),
                                   ("native", signal.SIGTERM, "go on"),
                                   ("native", signal.SIGKILL, "stay")):
            with self.subTest(engine=engine, signal=sig.name):
                tag = "%d.%s.%d" % (os.getpid(), engine, sig)
                # Wine keeps its server's socket under TMPDIR: it stays the shared one there.
                tmp = tempfile.mkdtemp(dir=work) if engine == "native" else None
                proc = subprocess.Popen([WRAPPER, noisy], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE,
                                        env=engine_env(engine, dict(
                                            SHIMLIST_TEST_RUN=tag, **{"TMPDIR": tmp} if tmp else {})))
                self.addCleanup(proc.kill)
                status = None
                for _ in range(600):
                    # Under Wine the launcher's status file; natively the program itself.
                    status = next(
                        (environment(pid).get("SHIMLIST_LAUNCH_STATUS", engine == "native")
                         for pid in processes_with(tag) if pid != str(proc.pid) and
                         (engine == "native" or "SHIMLIST_LAUNCH_STATUS" in environment(pid))),
                        None)
                    if status:
                        break
                    time.sleep(0.05)
                self.assertTrue(status, "the program did not start")
                run = [pid for pid in processes_with(tag) if pid != str(proc.pid)]
                if engine == "wine":
                    # The launcher's folder is in the command's private one, in TMPDIR.
                    private = os.path.dirname(os.path.dirname(status[2:].replace("\\", "/")))
                    files = [os.readlink("/proc/%d/fd/%s" % (proc.pid, fd))
                             for fd in os.listdir("/proc/%d/fd" % proc.pid)]
                    temporary = [f for f in files if f.startswith(private + "/")]
                    self.assertTrue(temporary and all(f.endswith(" (deleted)")
                                                      for f in temporary), files)
                    # The launcher's group: the program and Wine's console host.
                    run = members_of(int(next(pid for pid in run if "SHIMLIST_LAUNCH_STATUS"
                                              in environment(pid))))
                if pause:
                    proc.send_signal(signal.SIGTSTP)
                    # Every process of the run that is still there is stopped (Wine may end a
                    # short-lived one of its own meanwhile), and so is the command.
                    self.assertTrue(wait_until(lambda: state(str(proc.pid)) == "T" and all(
                        state(pid) in ("T", "") for pid in run)),
                        [(pid, state(pid)) for pid in run + [str(proc.pid)]])
                if pause == "go on":
                    proc.send_signal(signal.SIGCONT)
                    self.assertTrue(wait_until(lambda: state(str(proc.pid)) != "T"))
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=30), -sig)
                proc.stderr.close()
                # Gone at once, by a generous bound: the program and every Wine process of
                # the run, and whatever they had in TMPDIR.
                self.assertTrue(wait_until(lambda: not processes_with(tag) and
                                           not any(state(pid) for pid in run)),
                                processes_with(tag))
                if engine == "wine":
                    self.assertFalse(os.path.exists(private), private)
                else:
                    self.assertEqual(os.listdir(tmp), [])

    def test_a_reader_that_goes_away_ends_the_run(self):
        # The native program writes into the pipe itself; --utf8 passes through the command.
        # The listing (1.2 MB as UTF-8) must outgrow every pipe's buffer on the way, or the
        # command could finish before the reader goes.
        work = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, work)
        large = os.path.join(work, "large.sdb")
        with open(large, "wb") as f:
            f.write(sdbwrite.compile_source("DATABASE {\n" + "    SIZE 0x10\n" * 20000 + "}\n"))
        for args in ([large], ["--utf8", large]):
            with self.subTest(args=args[:-1]):
                tag = "%d.pipe.%d" % (os.getpid(), len(args))
                proc = subprocess.Popen([WRAPPER] + args, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL,
                                        env=engine_env("native", {"SHIMLIST_TEST_RUN": tag}))
                self.addCleanup(proc.kill)
                self.assertEqual(len(proc.stdout.read(10)), 10)
                proc.stdout.close()
                self.assertEqual(proc.wait(timeout=30), -signal.SIGPIPE)
                self.assertEqual(processes_with(tag), [])


def environment(pid):
    try:
        with open("/proc/%s/environ" % pid, "rb") as f:
            pairs = f.read().decode("utf-8", "replace").split("\0")
    except OSError:
        return {}
    return dict(pair.split("=", 1) for pair in pairs if "=" in pair)


def state(pid):
    """A live process's state letter ("R", "S", "T", ...), or "" once it is gone."""
    try:
        with open("/proc/%s/stat" % pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except OSError:
        return ""
    return "" if fields[0] in (b"Z", b"X") else fields[0].decode()


def members_of(group):
    members = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid, "rb") as f:
                if int(f.read().rsplit(b")", 1)[1].split()[2]) == group:
                    members.append(pid)
        except OSError:
            pass
    return members


def wait_until(condition, bound=10.0):
    """Waits for condition to hold, at most bound seconds; a bound, not a timing."""
    end = time.monotonic() + bound
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


def processes_with(tag):
    """Processes whose environment holds SHIMLIST_TEST_RUN=tag."""
    return [pid for pid in filter(str.isdigit, os.listdir("/proc"))
            if environment(pid).get("SHIMLIST_TEST_RUN") == tag]


if __name__ == "__main__":
    unittest.main()
