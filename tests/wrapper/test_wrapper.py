# Runs tools/shimlist as a Unix user would: pipes, standard error in a file, --utf8, -o DIR, signals.
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
DATABASE = os.path.join(TESTDATA, "every_rendering.sdb")  # its listing fills a pipe
OTHER = os.path.join(TESTDATA, "app_x32.sdb")
NOT_OPENED = "SdbOpenDatabase() returned NULL for file '%s'\n"


def shimlist(args, command=WRAPPER, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs):
    # The 64-bit build, as the harness runs it; ctest's SHIMLIST_ARCH is a compiler triple.
    env = dict(os.environ, SHIMLIST_ARCH="x86_64", **kwargs.pop("env", {}))
    return subprocess.run([command] + args, stdout=stdout, stderr=stderr, env=env, timeout=300,
                          **kwargs)


def listing(path):
    """What the program itself writes into a file for path."""
    return run([windows_path(path)]).stdout


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
        out_path = os.path.join(self.work, "out.txt")
        for how, args, cwd, want in (
                ("pipe", [DATABASE], "/", expected),
                ("file", [DATABASE], "/", expected),
                # Wine would read a relative path against its own current folder.
                ("relative, from inside the prefix", [os.path.relpath(DATABASE, in_prefix)],
                 in_prefix, expected),
                ("--utf8", ["--utf8", DATABASE], "/", as_text.replace(b"\r\n", b"\n")),
                ("installed command", [DATABASE], self.work, expected)):
            with self.subTest(how=how):
                command = os.path.join(bindir, "shimlist") if how.startswith("inst") else WRAPPER
                with open(out_path, "w+b") as out:
                    done = shimlist(args, command, stdout=out if how == "file" else
                                    subprocess.PIPE, cwd=cwd)
                    out.seek(0)
                    got = out.read() if how == "file" else done.stdout
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(got == want, "%d bytes, expected %d" % (len(got), len(want)))

    def test_standard_error_in_a_file_gets_the_diagnostics(self):
        missing = os.path.join(self.work, "missing.sdb")
        bomb = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        for database, code, tail in (
                (missing, 2, NOT_OPENED % windows_path(missing)),
                # 1001 would reach the shell as 233 (its low 8 bits), 0x100 as 0: a success.
                (bomb, 255, "not listed\nshimlist: exit code 1001 (0x000003E9); the shell "
                            "receives 255\n")):
            with self.subTest(database=os.path.basename(database)):
                with tempfile.TemporaryFile(dir=self.work) as err:
                    done = shimlist([database], stdout=subprocess.DEVNULL, stderr=err)
                    err.seek(0)
                    text = err.read().decode("utf-8")
                self.assertEqual(done.returncode, code, text)
                self.assertTrue(text.endswith(tail), text)
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
        folder = os.path.join(self.work, "listings")
        names = [DATABASE, missing, self.work, not_db, OTHER]
        done = shimlist(["-o", folder] + names)
        err = done.stderr.decode()
        self.assertEqual(done.returncode, 2, err)
        for path in (DATABASE, OTHER):
            with open(os.path.join(folder, os.path.basename(path) + ".txt"), "rb") as f:
                self.assertTrue(f.read() == listing(path), path)
        progress = ["file %d of 5: %s" % (k, name) for k, name in enumerate(names, 1)]
        self.assertEqual([line for line in err.splitlines() if line.startswith("file ")],
                         progress)
        self.assertTrue(err.endswith(
            "shimlist: 3 of 5 failed:\n  %s: exit code 2: no such file\n"
            "  %s: exit code 5: a folder, not a database\n"
            "  %s: exit code 11: not a shim database\n" % (missing, self.work, not_db)), err)
        self.assertIn(NOT_OPENED % windows_path(missing), err)

    def test_an_unusable_folder_is_refused(self):
        done = shimlist(["-o", os.path.join(DATABASE, "sub"), DATABASE])
        self.assertEqual(done.returncode, 82)
        self.assertIn(b"cannot use %s/sub as the output folder: Not a directory"
                      % DATABASE.encode(), done.stderr)


class Interrupted(unittest.TestCase):
    def test_nothing_is_left_behind(self):
        ensure_wineserver()  # else the wrapper would start one, which outlives it
        work = tempfile.mkdtemp(prefix="shimlist-wrapper-")
        self.addCleanup(shutil.rmtree, work)
        # 8,000 diagnostics: with standard error unread, the program blocks on its console.
        noisy = os.path.join(work, "noisy.sdb")
        with open(noisy, "wb") as f:
            f.write(sdbwrite.compile_source("DATABASE {\n" + "    0xA000\n" * 8000 + "}\n"))
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                tag = "%d.%d" % (os.getpid(), sig)
                proc = subprocess.Popen([WRAPPER, noisy], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE,
                                        env=dict(os.environ, SHIMLIST_ARCH="x86_64",
                                                 SHIMLIST_TEST_RUN=tag))
                self.addCleanup(proc.kill)
                status = None
                for _ in range(600):
                    status = status or next(
                        (environment(pid).get("SHIMLIST_LAUNCH_STATUS") for pid in
                         processes_with(tag) if pid != str(proc.pid)), None)
                    if status:
                        break
                    time.sleep(0.05)
                self.assertTrue(status, "the launcher did not start")
                launch_dir = os.path.dirname(status[2:].replace("\\", "/"))
                files = [os.readlink("/proc/%d/fd/%s" % (proc.pid, fd))
                         for fd in os.listdir("/proc/%d/fd" % proc.pid)]
                temporary = [f for f in files if os.path.basename(f).startswith("shimlist-")]
                self.assertTrue(temporary and all(f.endswith(" (deleted)") for f in temporary),
                                files)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=30), -sig)
                proc.stderr.close()
                self.assertEqual(processes_with(tag), [])
                self.assertFalse(os.path.exists(launch_dir), launch_dir)


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
