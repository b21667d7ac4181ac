# Fault injection: listing writes that fail at many points, and standard outputs that are not files.
import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import ENGINE, also_wine, full_disk, load_tests, run, windows_path  # noqa: E402,F401

TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
DATABASE = os.path.join(TESTDATA, "hardening_faults.sdb")
ERROR_DISK_FULL = 112
PAGE = 4096

# Whole-program runs by the hundred: meant for the 64-bit build, which Wine runs natively. The
# 32-bit build runs emulated, a minute a run.
def setUpModule():
    if os.environ.get("SHIMLIST_ARCH", "").startswith("i686"):
        raise unittest.SkipTest("whole-program runs are made with the 64-bit build")

TAG_LINE_RE = re.compile(r"0x[0-9A-F]{8}(\t+)0x([0-9A-F]{4}) = ")
LEVEL_REPORT_RE = re.compile(r"WriteFile\(\) returned error (\d+) for level (\d+)\Z")


def listing_calls(listing):
    """Splits a complete listing into the writes of the walk's calls. Returns (header length,
    lines, calls): lines are (start, end, call) byte ranges; calls maps a call (0 for the root,
    else the TAGID of its list) to its level and the end of everything it and its nested calls
    wrote."""
    text = listing.decode("utf-16-le")
    header_end = text.index("TAGVALUE\r\n\r\n") + len("TAGVALUE\r\n\r\n")
    position = header_end
    stack = [0]            # the call of each level: the root, then the open lists
    calls = {0: {"level": 0, "end": 2 * header_end}}
    lines = []
    owner = 0
    for line in text[header_end:].split("\r\n")[:-1]:
        start, end = 2 * position, 2 * (position + len(line) + 2)
        position += len(line) + 2
        match = TAG_LINE_RE.match(line)
        if match:
            level = len(match.group(1)) - 1
            del stack[level + 1:]
            owner = stack[level]
        lines.append((start, end, owner))
        for call in stack:
            calls[call]["end"] = end
        if match and match.group(2)[0] == "7":
            call = int(line[2:10], 16)
            calls[call] = {"level": level + 1, "end": end}
            stack.append(call)
    return 2 * header_end, lines, calls


def expected_reports(listing, failed_at, error):
    """The console lines of a run whose writes fail from byte failed_at of the listing on:
    each call that owns a byte from there on reports once, after all its children, so nested
    lists report before the lists that contain them."""
    header_length, lines, calls = listing_calls(listing)
    failing = set(call for start, end, call in lines if end > failed_at)
    order = sorted(failing, key=lambda call: (calls[call]["end"], -calls[call]["level"]))
    reports = ["WriteFile() returned error %d for level %d" % (error, calls[call]["level"])
               for call in order]
    if failed_at < header_length:
        reports.insert(0, "WriteFile() returned error %d" % error)
    return reports


def failing_line_kind(listing, failed_at):
    """What the line holds in which the write failed: the header, a list, a value of some
    type, or a patch record."""
    header_length, lines, _ = listing_calls(listing)
    if failed_at < header_length:
        return "header"
    text = listing.decode("utf-16-le")
    for start, end, _ in lines:
        if start <= failed_at < end:
            line = text[start // 2:end // 2]
            match = TAG_LINE_RE.match(line)
            if not match:
                return "patch record"
            return "list" if match.group(2)[0] == "7" else "type %s000" % match.group(2)[0]
    return "end"


def console_lines(console):
    return [line for line in console.split("\n")
            if line and not line.startswith("Shim database version:")]


class WriteFailures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(DATABASE):
            raise unittest.SkipTest("%s is not built" % DATABASE)
        cls.work = tempfile.mkdtemp(prefix="shimlist-faults-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def database_named(self, stem_length):
        """A copy of the database whose path is stem_length characters long at the end: the
        header grows with the path, so each length moves every later write."""
        path = os.path.join(self.work, "d" * stem_length + ".sdb")
        if not os.path.exists(path):
            shutil.copyfile(DATABASE, path)
        return path

    def full_listing(self, path):
        result = run([windows_path(path)])
        self.assertEqual(result.exit_code, 0, result.console)
        return result.stdout

    def run_on_full_disk(self, path, size, full):
        with full_disk(size) as folder:
            result = run([windows_path(path)], stdout=os.path.join(folder, "listing"))
        written = result.stdout
        context = "disk of %d bytes, %d of %d listing bytes written, console %r" % (
            size, len(written), len(full), result.console[-600:])
        self.assertEqual(result.exit_code, ERROR_DISK_FULL, context)
        self.assertLess(len(written), len(full), context)
        self.assertEqual(written, full[:len(written)], "not a prefix: " + context)
        # Everything that fitted was written: the file ends at most one page short of the
        # disk's size (the last page may hold the file system's own data).
        self.assertGreater(len(written), min(size, len(full)) - 2 * PAGE, context)
        self.assertEqual(console_lines(result.console),
                         expected_reports(full, len(written), ERROR_DISK_FULL), context)
        return failing_line_kind(full, len(written))

    def test_disk_fills_during_the_walk(self):
        # Three header lengths times every whole page of the listing: failures fall on line
        # heads, values, single hex pairs, patch record lines and list line ends alike.
        failing_kinds = set()
        for stem_length in (1, 6, 23):
            path = self.database_named(stem_length)
            full = self.full_listing(path)
            for pages in range(1, len(full) // PAGE + 1):
                with self.subTest(stem=stem_length, pages=pages):
                    failing_kinds.add(self.run_on_full_disk(path, pages * PAGE, full))
        print("writes failed in lines of these kinds: %s" % ", ".join(sorted(failing_kinds)))
        self.assertGreaterEqual(len(failing_kinds), 4)

    def test_header_does_not_fit(self):
        # A path of 2,100 characters makes the header longer than a one-page disk.
        folder = os.path.join(self.work, "p" * 200)
        path = folder
        while len(path) < 2100:
            path = os.path.join(path, "q" * 200)
        os.makedirs(path, exist_ok=True)
        path = os.path.join(path, "db.sdb")
        shutil.copyfile(DATABASE, path)
        full = self.full_listing(path)
        self.assertEqual(self.run_on_full_disk(path, PAGE, full), "header")


class StandardOutputKinds(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(DATABASE):
            raise unittest.SkipTest("%s is not built" % DATABASE)
        cls.full = run([windows_path(DATABASE)]).stdout

    def assert_refused_or_listed(self, result, mode):
        """A standard output that is not a disk file is either refused by the flush test
        (its error code is the exit code, nothing is written) or receives the whole listing.
        The native program takes a pipe and the null device, as Windows does."""
        refused = re.match(r"FlushFileBuffers\(\) returned error (\d+): standard output is not "
                           r"redirected to a file!\n\Z", result.console)
        if ENGINE == "native":
            self.assertIsNone(refused, result)
        if refused:
            self.assertEqual(result.exit_code, int(refused.group(1)), result)
            self.assertNotEqual(result.exit_code, 0, result)
            self.assertEqual(result.stdout, b"", result)
        else:
            self.assertEqual(result.exit_code, 0, result)
            self.assertEqual(result.console, "Shim database version: 3.0\n", result)
            if mode == "pipe":
                self.assertEqual(result.stdout, self.full, result)
        print("standard output %s: exit code %d, console %r" % (mode, result.exit_code,
                                                                result.console))

    @also_wine("Wine refuses a pipe (error 87)")
    def test_pipe(self):
        self.assert_refused_or_listed(run([windows_path(DATABASE)], stdout="pipe"), "pipe")

    @also_wine("Wine refuses the null device (error 87)")
    def test_null_device(self):
        self.assert_refused_or_listed(run([windows_path(DATABASE)], stdout="null"), "null")

    def test_console(self):
        result = run([windows_path(DATABASE)], stdout="console")
        self.assertRegex(result.console, r"\AFlushFileBuffers\(\) returned error (\d+): standard "
                                         r"output is not redirected to a file!\n\Z")
        self.assertNotEqual(result.exit_code, 0)
        self.assertIn("error %d:" % result.exit_code, result.console)

    @also_wine("Wine passes a missing handle to the flush test; every write fails")
    def test_closed_handle(self):
        # Without a standard output handle nothing can be written: the run must fail with
        # the handle's error, and every report must name that same error.
        result = run([windows_path(DATABASE)], stdout="closed")
        self.assertNotEqual(result.exit_code, 0, result)
        self.assertLess(result.exit_code, 0xC0000000, result)
        self.assertEqual(result.stdout, b"")
        reports = console_lines(result.console)
        self.assertTrue(reports, result)
        for line in reports:
            self.assertRegex(line, r"\A(WriteFile|GetStdHandle|FlushFileBuffers|CloseHandle)\(\) "
                                   r"returned error %d\b" % result.exit_code)
        print("standard output closed: exit code %d, %d reports" % (result.exit_code,
                                                                    len(reports)))


if __name__ == "__main__":
    unittest.main()
