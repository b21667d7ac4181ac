# Runs tools/shimlist as a Unix user would, natively and under Wine: pipes, --utf8, -o DIR, signals.
import os
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
                ("native", "pipe", [DATABASE], "/", expected),
                ("native", "file", [DATABASE], "/", expected),
                ("native", "relative", [relative], self.work, listing(relative, cwd=self.work)),
                ("native", "--utf8", ["--utf8", DATABASE], "/", as_text.replace(b"\r\n", b"\n")),
                ("native", "installed command", [DATABASE], self.work, expected),
                ("native", "trailing dot", ["db.sdb."], self.work,
                 listing("db.sdb.", cwd=self.work)),
                ("native", "backslash", ["a\\b.sdb"], self.work,
                 listing("a\\b.sdb", cwd=self.work)),
                ("wine", "pipe", [DATABASE], "/", listing(DATABASE, "wine")),
                # Wine would read a relative path against its own current folder.
                ("wine", "relative, from inside the prefix", [os.path.relpath(DATABASE, in_prefix)],
                 in_prefix, listing(DATABASE, "wine"))):
            with self.subTest(engine=engine, how=how):
                command = os.path.join(bindir, "shimlist") if how.startswith("inst") else WRAPPER
                with open(out_path, "w+b") as out:
                    done = shimlist(args, command, stdout=out if how == "file" else
                                    subprocess.PIPE, cwd=cwd, engine=engine)
                    out.seek(0)
                    got = out.read() if how == "file" else done.stdout
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(got == want, "%d bytes, expected %d" % (len(got), len(want)))

    def test_standard_error_in_a_file_gets_the_diagnostics(self):
        missing = os.path.join(self.work, "missing.sdb")
        bomb = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        # 1001 would reach the shell as 233 (its low 8 bits), 0x100 as 0: a success. The whole
        # code is shown once, by the native program itself or by the command under Wine.
        too_deep = "not listed\nshimlist: exit code 1001 (0x000003E9); the shell receives 255\n"
        for engine, database, code, tail in (
                ("native", missing, 2, NOT_OPENED % missing),
                ("native", bomb, 255, too_deep),
                ("wine", missing, 2, NOT_OPENED % windows_path(missing)),
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

    def test_each_listing_as_a_single_call_and_the_first_failure_exits(self):
        missing = os.path.join(self.work, "missing.sdb")
        not_db = os.path.join(self.work, "notes.txt")
        with open(not_db, "w") as f:
            f.write("not a shim database\n")
        bomb = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        folder = os.path.join(self.work, "listings")
        names = [DATABASE, missing, self.work, not_db, bomb, OTHER]
        done = shimlist(["-o", folder] + names)
        err = done.stderr.decode()
        self.assertEqual(done.returncode, 2, err)
        for path in (DATABASE, OTHER, bomb):
            with open(os.path.join(folder, os.path.basename(path) + ".txt"), "rb") as f:
                self.assertTrue(f.read() == listing(path), path)
        progress = ["file %d of 6: %s" % (k, name) for k, name in enumerate(names, 1)]
        self.assertEqual([line for line in err.splitlines() if line.startswith("file ")],
                         progress)
        # The native program's 1001 reaches the command as 255; the failure list has it whole.
        self.assertTrue(err.endswith(
            "shimlist: 4 of 6 failed:\n  %s: exit code 2: no such file\n"
            "  %s: exit code 5: a folder, not a database\n"
            "  %s: exit code 11: not a shim database\n"
            "  %s: exit code 1001: lists nest too deep; the listing is incomplete\n"
            % (missing, self.work, not_db, bomb)), err)
        self.assertIn(NOT_OPENED % missing, err)

    def test_an_unusable_folder_or_listing_is_refused(self):
        done = shimlist(["-o", os.path.join(DATABASE, "sub"), DATABASE])
        self.assertEqual(done.returncode, 82)
        self.assertIn(b"cannot use %s/sub as the output folder: Not a directory"
                      % DATABASE.encode(), done.stderr)
        # A link in DIR named like a listing: the file it points to stays as it was.
        elsewhere = os.path.join(self.work, "elsewhere")
        with open(elsewhere, "w") as f:
            f.write("untouched")
        os.symlink(elsewhere, os.path.join(self.work, os.path.basename(DATABASE) + ".txt"))
        done = shimlist(["-o", self.work, DATABASE])
        self.assertEqual(done.returncode, 82, done.stderr)
        with open(elsewhere) as f:
            self.assertEqual(f.read(), "untouched")


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


class Interrupted(unittest.TestCase):
    def test_nothing_is_left_behind(self):
        ensure_wineserver()  # else the wrapper would start one, which outlives it
        work = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, work)
        # 8,000 diagnostics: with standard error unread, the program blocks on its console.
        noisy = os.path.join(work, "noisy.sdb")
        with open(noisy, "wb") as f:
            f.write(sdbwrite.compile_source("DATABASE {\n" + "    0xA000\n" * 8000 + "}\n"))
        for engine, sig in (("wine", signal.SIGINT), ("wine", signal.SIGTERM),
                            ("native", signal.SIGTERM)):
            with self.subTest(engine=engine, signal=sig.name):
                tag = "%d.%s.%d" % (os.getpid(), engine, sig)
                proc = subprocess.Popen([WRAPPER, noisy], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE,
                                        env=engine_env(engine, {"SHIMLIST_TEST_RUN": tag}))
                self.addCleanup(proc.kill)
                status = None
                for _ in range(600):
                    # Under Wine the launcher's status file; natively the program itself.
                    status = status or next(
                        (environment(pid).get("SHIMLIST_LAUNCH_STATUS", engine == "native")
                         for pid in processes_with(tag) if pid != str(proc.pid)), None)
                    if status:
                        break
                    time.sleep(0.05)
                self.assertTrue(status, "the program did not start")
                if engine == "wine":
                    launch_dir = os.path.dirname(status[2:].replace("\\", "/"))
                    files = [os.readlink("/proc/%d/fd/%s" % (proc.pid, fd))
                             for fd in os.listdir("/proc/%d/fd" % proc.pid)]
                    temporary = [f for f in files if os.path.basename(f).startswith("shimlist-")]
                    self.assertTrue(temporary and all(f.endswith(" (deleted)")
                                                      for f in temporary), files)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=30), -sig)
                if engine == "native":  # left running, it would still wait on the full pipe
                    self.assertEqual(processes_with(tag), [])
                proc.stderr.close()
                self.assertEqual(processes_with(tag), [])
                if engine == "wine":
                    self.assertFalse(os.path.exists(launch_dir), launch_dir)

    def test_a_reader_that_goes_away_ends_the_run(self):
        # The native program writes into the pipe itself; --utf8 passes through the command.
        for args in ([DATABASE], ["--utf8", DATABASE]):
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


def processes_with(tag):
    """Processes whose environment holds SHIMLIST_TEST_RUN=tag."""
    return [pid for pid in filter(str.isdigit, os.listdir("/proc"))
            if environment(pid).get("SHIMLIST_TEST_RUN") == tag]


if __name__ == "__main__":
    unittest.main()
