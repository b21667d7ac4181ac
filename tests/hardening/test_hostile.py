# Hostile paths and files: empty, short, directories, devices, foreign scripts, very long paths, huge and changing files.
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fuzz"))
import listing_check  # noqa: E402
from harness import (ENGINE, RunTimeout, also_wine, load_tests, native_only,  # noqa: E402,F401
                     run, windows_path, wine_only)

TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
BIN = os.environ.get("SHIMLIST_BIN", "")
DATABASE = os.path.join(TESTDATA, "hardening_faults.sdb")
ERROR_FILE_TOO_LARGE = 223
# Runs that end on their own take well under a second; a device that blocks reading is caught.
DEVICE_TIMEOUT = 10
HEADER_END = "TAGID\t\tTAG    = TAGSTRING: TAGVALUE\r\n\r\n"
# Runs of a name whose file is replaced meanwhile: a reader that opened the name twice mixes two
# versions in some of them (one run in a hundred or so here).
RUNS_REPLACED = 600

# Whole-program runs by the hundred: meant for the 64-bit build, which Wine runs natively. The
# 32-bit build runs emulated, a minute a run.
def setUpModule():
    if os.environ.get("SHIMLIST_ARCH", "").startswith("i686"):
        raise unittest.SkipTest("whole-program runs are made with the 64-bit build")


def header(path, major=3, minor=0):
    return listing_check.HEADER_FORMAT % (path, major, minor)


def open_failure(path):
    return "SdbOpenDatabase() returned NULL for file '%s'\n" % path


def make_deep_folder(root, length):
    """Creates nested folders under root until the Windows form of the path has at least
    length characters; returns the Unix path. Works below the descriptors of the folders,
    since the whole path is longer than the Unix limit."""
    os.makedirs(root, exist_ok=True)
    path = root
    fd = os.open(root, os.O_RDONLY)
    try:
        while len(windows_path(path)) < length:
            name = "d" * min(250, max(1, length - len(windows_path(path)) - 1))
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
            path = path + "/" + name
        return path, fd
    except BaseException:
        os.close(fd)
        raise


def write_below(fd, name, data):
    out = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd)
    try:
        os.write(out, data)
    finally:
        os.close(out)


def remove_tree(root):
    # rmtree cannot take paths longer than the Unix limit: rename the folders short first.
    subprocess.run(["rm", "-rf", root], capture_output=True)


class HostileBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(DATABASE):
            raise unittest.SkipTest("%s is not built" % DATABASE)
        with open(DATABASE, "rb") as f:
            cls.data = f.read()
        cls.work = tempfile.mkdtemp(prefix="shimlist-hostile-")
        cls.plain = run([windows_path(DATABASE)])
        cls.body = cls.plain.stdout.decode("utf-16-le")
        cls.body = cls.body[cls.body.index(HEADER_END) + len(HEADER_END):]

    @classmethod
    def tearDownClass(cls):
        remove_tree(cls.work)

    def assert_refused(self, result, path, expected_code=None):
        """The run ends with an error code, shows the open failure naming the path, and
        writes no listing."""
        self.assertNotEqual(result.exit_code, 0, result)
        self.assertLess(result.exit_code, 0xC0000000, result)
        if expected_code is not None:
            self.assertEqual(result.exit_code, expected_code, result)
        self.assertTrue(result.console.endswith(open_failure(path)), result)
        self.assertEqual(result.stdout, b"", result)

    def assert_listed(self, result, path):
        """The run lists the test database completely with the path shown whole."""
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual(result.console, "Shim database version: 3.0\n")
        expected = (header(path) + self.body).encode("utf-16-le", "surrogatepass")
        self.assertEqual(result.stdout, expected)


class BrokenFiles(HostileBase):
    def test_empty_and_short_files(self):
        for size in (0, 1, 7, 8, 11):
            with self.subTest(size=size):
                path = os.path.join(self.work, "short%d.sdb" % size)
                with open(path, "wb") as f:
                    f.write(self.data[:size])
                result = run([windows_path(path)])
                self.assert_refused(result, windows_path(path))
                self.assertNotIn("Shim database version", result.console)

    def test_header_alone(self):
        path = os.path.join(self.work, "header.sdb")
        with open(path, "wb") as f:
            f.write(self.data[:12])
        result = run([windows_path(path)])
        # A database holds its DATABASE list at least: the native command finds the file cut
        # short right after its header; the Windows program cannot tell.
        self.assertEqual((result.exit_code, result.damage), (
            listing_check.CUT_SHORT, "the database is cut short: the tag at 0x0000000C needs 2 "
            "bytes past the end of the file") if ENGINE == "native" else (0, None), result)
        self.assertEqual(result.stdout, header(windows_path(path)).encode("utf-16-le"))

    def test_directory(self):
        for path in (self.work, self.work + "/"):
            with self.subTest(path=path):
                self.assert_refused(run([windows_path(path)]), windows_path(path))

    def test_huge_sparse_file(self):
        # The stand-in holds at most 256 MiB, on every build, and refuses a larger file before
        # reading it: one byte past that, and past 4 GiB, where a TAGID no longer reaches.
        path = os.path.join(self.work, "huge.sdb")
        for size in (0x10000000 + 1, (1 << 32) + 0x1000):
            with self.subTest(size=size):
                with open(path, "wb") as f:
                    f.write(self.data)
                    f.truncate(size)
                try:
                    result = run([windows_path(path)], timeout=60)
                finally:
                    os.unlink(path)
                self.assert_refused(result, windows_path(path), ERROR_FILE_TOO_LARGE)


class Devices(HostileBase):
    @wine_only("Windows device names")
    def test_devices_that_end(self):
        for device in ("NUL", "\\\\.\\NUL", "LPT1", "Z:\\dev\\zero", "Z:\\dev\\urandom"):
            with self.subTest(device=device):
                self.assert_refused(run([device], timeout=DEVICE_TIMEOUT), device)

    # A console or serial device would block the run until input came: only disk files are
    # read as databases.
    @wine_only("Windows device names")
    def test_interactive_devices_end(self):
        for device in ("CON", "CONIN$", "COM1"):
            with self.subTest(device=device):
                try:
                    result = run([device], timeout=DEVICE_TIMEOUT)
                except RunTimeout as e:
                    self.fail("%s: %s" % (device, e))
                self.assert_refused(result, device)

    @native_only("Linux devices; a named pipe would block an open that waits for a writer")
    def test_linux_devices_and_a_named_pipe_end(self):
        fifo = os.path.join(self.work, "fifo.sdb")
        os.mkfifo(fifo)
        for device in ("/dev/null", "/dev/zero", "/dev/urandom", "/dev/full", fifo):
            with self.subTest(device=device):
                self.assert_refused(run([device], timeout=DEVICE_TIMEOUT), device, 11)


class ForeignScripts(HostileBase):
    NAMES = ("\u0431\u0430\u0437\u0430 \u0434\u0430\u043d\u043d\u044b\u0445",  # Cyrillic
             "\u6570\u636e\u5e93",                                        # CJK
             "\U0001F9EA\U0001F4BE",                                      # emoji (surrogates)
             "e\u0301 \u00e9 \u05e9\u05dc\u05d5\u05dd",                   # combining, Hebrew
             "100%s %n %ls %08lX")                                          # format directives

    def test_listed_with_the_path_whole(self):
        for name in self.NAMES:
            with self.subTest(name=name):
                folder = os.path.join(self.work, name)
                os.makedirs(folder, exist_ok=True)
                path = os.path.join(folder, name + ".sdb")
                shutil.copyfile(DATABASE, path)
                self.assert_listed(run([windows_path(path)]), windows_path(path))

    def test_missing_file_named_on_the_console(self):
        # Wine's console shows each half of a surrogate pair as a replacement character, so
        # names beyond the basic plane cannot be compared there.
        for name in [n for n in self.NAMES if max(map(ord, n)) < 0x10000]:
            with self.subTest(name=name):
                path = windows_path(os.path.join(self.work, "missing " + name + ".sdb"))
                self.assert_refused(run([path]), path, 2)


class LongPaths(HostileBase):
    def test_deep_folders_within_the_unix_limit(self):
        # About 4,000 characters: longer than the formatter's 1,024, short enough for Wine.
        folder, fd = make_deep_folder(os.path.join(self.work, "deep4k"), 3900)
        try:
            write_below(fd, "app.sdb", self.data)
        finally:
            os.close(fd)
        path = windows_path(folder + "/app.sdb")
        self.assertGreater(len(path), 3900)
        self.assert_listed(run([path]), path)

    def deep_32000(self):
        folder, fd = make_deep_folder(os.path.join(self.work, "deep32k"), 32000)
        try:
            write_below(fd, "app.sdb", self.data)
        finally:
            os.close(fd)
        return windows_path(folder + "/app.sdb")

    def test_path_of_32000_characters_ends(self):
        # Wine cannot open a file whose Unix path exceeds the Unix limit; Windows can. Either
        # way the run ends on its own, and its exit code and console say which way it went.
        path = self.deep_32000()
        self.assertGreaterEqual(len(path), 32000)
        result = run([path], timeout=60)
        if result.exit_code == 0:
            self.assert_listed(result, path)
        else:
            self.assertLess(result.exit_code, 0xC0000000, result.exit_code)
            self.assertEqual(result.stdout, b"")
            self.assertTrue(result.console.startswith(open_failure(path)[:200]), result.console[:300])
        print("32,000-character path: exit code %d" % result.exit_code)

    # The formatter keeps 1,024 characters: the open failure of a long path shows the path in
    # slices, so that it is named whole and the message keeps its line end.
    def test_open_failure_names_a_long_path_whole(self):
        path = windows_path(os.path.join(self.work, "missing", "m" * 200, "n" * 200, "o" * 200,
                                         "p" * 200, "q" * 200, "r" * 200, "x.sdb"))
        self.assertGreater(len(path), 1100)
        self.assert_refused(run([path]), path, 3)


class ChangingFile(HostileBase):
    def test_rewritten_while_listed(self):
        # A writer rewrites, truncates, empties and replaces the file as fast as it can while
        # shimlist lists it: every run must end by itself, without a crash, with an exit code
        # and a console that agree, and with a listing that is well formed as far as it goes.
        seeds_dir = os.path.join(os.path.dirname(HERE), "fuzz")
        sys.path.insert(0, seeds_dir)
        import fuzz_shimlist
        other = dict(fuzz_shimlist.load_seeds())["every_type.sdbtxt"]
        snapshots = [self.data, self.data[:len(self.data) // 2], b"", other,
                     other[:100], b"garbage" * 50, self.data[:12]]
        path = os.path.join(self.work, "changing.sdb")
        spare = os.path.join(self.work, "changing.tmp")
        with open(path, "wb") as f:
            f.write(self.data)
        stop = threading.Event()
        rewrites = [0]

        def writer():
            turn = 0
            while not stop.is_set():
                data = snapshots[turn % len(snapshots)]
                try:
                    if turn % 5 == 4:
                        with open(spare, "wb") as f:
                            f.write(data)
                        os.replace(spare, path)
                    else:
                        with open(path, "r+b" if turn % 2 else "wb") as f:
                            f.write(data)
                            f.truncate()
                except OSError:
                    pass
                turn += 1
                rewrites[0] = turn

        thread = threading.Thread(target=writer)
        thread.start()
        outcomes = {}
        try:
            for attempt in range(15):
                result = run([windows_path(path)], timeout=60)
                outcomes[result.exit_code] = outcomes.get(result.exit_code, 0) + 1
                with self.subTest(attempt=attempt):
                    self.assert_sound(result, windows_path(path))
        finally:
            stop.set()
            thread.join()
        print("15 runs against %d rewrites: exit codes %r" % (rewrites[0], outcomes))

    def assert_sound(self, result, path):
        self.assertLess(result.exit_code, 0xC0000000, result)
        messages = listing_check.parse_console(result.console)
        kinds = [kind for kind, _, _ in messages]
        self.assertNotIn("wine", kinds, result)
        self.assertNotIn("unknown", kinds, result)
        failures = [k for k in kinds if k not in listing_check.DEFAULT_INFORMATIONAL]
        # The native command's word on the bytes it opened: the damage it found, with the
        # code that the kind gives when the program itself gave none.
        damage = listing_check.parse_damage(result.damage) if result.damage else None
        self.assertEqual(damage is None, result.damage is None, result.damage)
        if result.exit_code == 0:
            self.assertEqual((failures, result.damage), ([], None), result)
        elif not failures:
            self.assertIsNotNone(damage, result)
            self.assertEqual(result.exit_code, listing_check.CUT_SHORT if damage[1]
                             else listing_check.DAMAGED, result)
        if "open" in kinds:
            self.assertEqual(result.stdout, b"", result)
            return
        # The listing shows one of the versions of the file, or a mixture torn by a rewrite:
        # its form is checked, not its values. The header shows the version the console
        # showed; when the file was not a database as the version was read, but one when it
        # was opened, the version is not known and shows as 0.0.
        versions = [m for kind, m, _ in messages if kind == "version"]
        version = (int(versions[0].group(1)), int(versions[0].group(2))) if versions else (0, 0)
        database = struct.pack("<II", *version) + self.data[8:] + bytes(1 << 16)
        problems, _ = listing_check.check_listing(database, path, result.stdout,
                                                  listing_check.load_tag_names())
        form = [p for p in problems if p[0] in ("odd-byte-count", "bad-header",
                                                "no-final-line-end", "malformed-line",
                                                "invalid-utf16", "unreplaced-character",
                                                "indent-jump", "record-order", "pattern-length",
                                                "tagid-order", "wrong-name")]
        self.assertEqual(form, [], result)

    @native_only("the command opens the file once; the Windows program opens it by name "
                 "twice, for the version and for the listing")
    def test_replaced_by_name_while_listed(self):
        # Each version of the file is put in place whole, under a new inode, while shimlist
        # lists the name: every run lists exactly one version, as a run on it alone does.
        import fuzz_shimlist
        other = dict(fuzz_shimlist.load_seeds())["every_type.sdbtxt"]
        snapshots = [self.data, self.data[:len(self.data) // 2], b"", other, other[:100],
                     self.data[:12]]
        path = os.path.join(self.work, "replaced.sdb")
        spare = os.path.join(self.work, "replaced.tmp")

        def put(data):
            with open(spare, "wb") as f:
                f.write(data)
            os.replace(spare, path)

        def outcome(result):
            return (result.exit_code, result.stdout, result.console, result.damage, result.cause)

        alone = []
        for data in snapshots:
            put(data)
            alone.append(outcome(run([path])))
        self.assertEqual(len(set(alone)), len(alone), "the versions must list differently")
        stop = threading.Event()

        def writer():
            turn = 0
            while not stop.is_set():
                put(snapshots[turn % len(snapshots)])
                turn += 1

        thread = threading.Thread(target=writer)
        thread.start()
        seen = set()
        try:
            for attempt in range(RUNS_REPLACED):
                got = outcome(run([path], timeout=60))
                with self.subTest(attempt=attempt):
                    self.assertIn(got, alone, got[:1] + got[2:])
                    seen.add(alone.index(got) if got in alone else None)
        finally:
            stop.set()
            thread.join()
        print("%d runs against a file replaced by name: versions listed %r"
              % (RUNS_REPLACED, sorted(v for v in seen if v is not None)))


class DamagedStructure(HostileBase):
    # 64 lists of 6 bytes, each overrunning the list that holds it: a child that does not fit
    # in its parent ends the parent's children, so no item is listed twice (a reader that
    # followed such children met them again as later siblings: 1,023 lines here, and 18 MB
    # of listing from 12 KB).
    def test_overrunning_lists_are_listed_once(self):
        path = os.path.join(TESTDATA, "hardening_overrun.sdb")
        result = run([windows_path(path)], timeout=60)
        self.assertLess(result.exit_code, 0xC0000000, result)
        tagids = [line[:10] for line in result.stdout.decode("utf-16-le").split("\r\n")
                  if line.startswith("0x")]
        self.assertTrue(tagids, result)
        self.assertEqual(len(tagids), len(set(tagids)), "%d lines, %d items"
                         % (len(tagids), len(set(tagids))))


class NestingLimit(HostileBase):
    def test_nesting_bomb(self):
        # 100,000 nested lists: the walk stops descending at its limit and says so.
        path = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        result = run([windows_path(path)], timeout=60)
        self.assertNotEqual(result.exit_code, 0, result)
        self.assertLess(result.exit_code, 0xC0000000, result)
        lines = result.console.splitlines()
        self.assertEqual(len(lines), 2, result)
        self.assertRegex(lines[1], r"\ALists nest deeper than \d+ levels: the children of "
                                   r"TAGID 0x[0-9A-F]{8} are not listed\Z")
        # The list named is the last one listed; the walk goes on with the root's string
        # table after it.
        text = result.stdout.decode("utf-16-le")
        stopped = "0x%s%s0x7002 = LIBRARY\r\n" % (lines[1].split("0x")[1][:8], "\t" * 10)
        self.assertIn(stopped + "0x", text)
        rest = text[text.index(stopped) + len(stopped):]
        self.assertRegex(rest, r"\A0x[0-9A-F]{8}\t0x7801 = STRINGTABLE\r\n"
                               r"0x[0-9A-F]{8}\t\t0x8801 = STRINGTABLE_ITEM: bottom\r\n\Z")

    # A run stopped by the nesting limit exits with a code of its own, whether or not the
    # console took the message (diagnostics leave the last error alone).
    def test_nesting_limit_exit_code(self):
        path = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        self.assertEqual(run([windows_path(path)], timeout=60).exit_code, 1001,
                         "expected ERROR_STACK_OVERFLOW")

    @wine_only("a run without Wine's console")
    def test_nesting_limit_exit_code_without_a_console(self):
        path = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        with_console = run([windows_path(path)], timeout=60).exit_code
        wine_run = os.path.join(os.environ.get("SHIMLIST_SOURCE_DIR", ""), "tools", "wine-run")
        with tempfile.TemporaryFile() as out:
            without_console = subprocess.run(
                [wine_run, os.path.join(BIN, "shimlist.exe"), windows_path(path)],
                stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                timeout=60).returncode
        self.assertEqual(with_console & 0xFF, without_console)


@native_only("Linux file names taken literally; Wine rewrites them into Windows paths")
class LiteralNames(HostileBase):
    # Each name with a different database beside the name that a Windows rewrite of it would
    # open (a backslash as a folder step, a trailing dot or blank dropped, a device name).
    NAMES = ("back\\slash.sdb", "back/slash.sdb", "trailing dot.", "trailing dot",
             "trailing blank ", "trailing blank",
             "\u043a\u0438\u0440\u0438\u043b\u043b\u0438\u0446\u0430.sdb",  # Cyrillic
             "\U0001F9EA\U0001F4BE.sdb", "CON", "nul.sdb", "quote\"s 'n' more.sdb", "*?<>|.sdb")

    def test_each_name_lists_its_own_file(self):
        databases = sorted(os.path.join(TESTDATA, name) for name in os.listdir(TESTDATA)
                           if name.endswith(".sdb")
                           and not name.startswith(("hardening_", "standin_deep")))
        self.assertGreaterEqual(len(databases), len(self.NAMES))
        folder = os.path.join(self.work, "names")
        os.makedirs(os.path.join(folder, "back"))
        plain = {}
        for name, database in zip(self.NAMES, databases):
            shutil.copyfile(database, os.path.join(folder, name))
            plain[name] = run([database])
            # Some are damaged on purpose: listed whole all the same, and said so.
            self.assertIn((plain[name].exit_code, plain[name].damage is None),
                          ((0, True), (listing_check.CUT_SHORT, False),
                           (listing_check.DAMAGED, False)), plain[name])
        first_line = "\ufeffShim database file:\t%s\r\n"
        bodies = [r.stdout[len(first_line % d) * 2:] for r, d in zip(plain.values(), databases)]
        self.assertEqual(len(set(bodies)), len(bodies), "the databases must differ")
        for name, body in zip(self.NAMES, bodies):
            with self.subTest(name=name):
                result = run([name], cwd=folder)
                self.assertEqual((result.exit_code, result.damage),
                                 (plain[name].exit_code, plain[name].damage), result)
                self.assertEqual(result.console, plain[name].console)
                self.assertEqual(result.stdout, (first_line % name).encode("utf-16-le") + body)

    def test_name_that_is_not_utf8_is_refused(self):
        name = os.path.join(os.fsencode(self.work), b"not utf-8 \xff.sdb")
        shutil.copyfile(DATABASE, name)
        result = run([os.fsdecode(name)], front_end=True)
        self.assertEqual((result.exit_code, result.shell_code, result.stdout), (1113, 255, b""))
        self.assertEqual(result.raw_console.decode(),
                         "shimlist: argument 1 is not valid UTF-8; shimlist opens a file only by "
                         "its exact name, which must be UTF-8 text\n"
                         "shimlist: exit code 1113 (0x00000459); the shell receives 255\n")


if __name__ == "__main__":
    unittest.main()
