# Fault injection: listing writes that fail at many points, and standard outputs that are not files.
import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import ENGINE, also_wine, full_disk, load_tests, run, windows_path  # noqa: E402,F401

SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
import sdbwrite  # noqa: E402

TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
DATABASE = os.path.join(TESTDATA, "hardening_faults.sdb")
ERROR_DISK_FULL = 112
PAGE = 4096
# The native program gathers the listing into blocks of this size: the walk meets a failed
# write only when a block is handed to the kernel, and the last block goes at the close.
BLOCK = 65536

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


def native_failure(listing, written):
    """Where the native program's walk meets the failure of a disk that took `written` bytes:
    the last byte of the block that did not fit, or None when that block is the last one,
    written only when the listing is closed."""
    seen_at = (written // BLOCK + 1) * BLOCK - 1
    return seen_at if seen_at < len(listing) else None


def console_lines(console):
    return [line for line in console.split("\n")
            if line and not line.startswith("Shim database version:")]


@also_wine("the Windows program writes each piece at once: a failure at any byte is seen there")
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

    def databases(self):
        """The databases to fill disks with. Under Wine the test database under three path
        lengths. Natively a failure shows at a block's end: the database listed six times
        over, so that blocks end inside the walk, after a string of many lengths, which moves
        the point where each block ends."""
        if ENGINE == "wine":
            return [self.database_named(stem_length) for stem_length in (1, 6, 23)]
        with open(os.path.join(SOURCE_DIR, "tests", "data", "hardening_faults.sdbtxt")) as f:
            head, _, body = f.read().partition("\nDATABASE {")
        paths = []
        for padding in range(1, 8000, 333):
            path = os.path.join(self.work, "padded%d.sdb" % padding)
            with open(path, "wb") as f:
                f.write(sdbwrite.compile_source('%s\n0x8001 "p" * %d%s' % (
                    head, padding, ("\nDATABASE {" + body) * 6)))
            paths.append(path)
        return paths

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
        failed_at = len(written) if ENGINE == "wine" else native_failure(full, len(written))
        if failed_at is None:
            self.assertEqual(console_lines(result.console),
                             ["CloseHandle() returned error %d" % ERROR_DISK_FULL], context)
            return "the last block"
        self.assertEqual(console_lines(result.console),
                         expected_reports(full, failed_at, ERROR_DISK_FULL), context)
        return failing_line_kind(full, failed_at)

    def test_disk_fills_during_the_walk(self):
        # Databases times disk sizes: failures fall on line heads, values, single hex pairs,
        # patch record lines and list line ends alike. Under Wine every whole page of the
        # listing; natively one disk size inside each block.
        failing_kinds = set()
        for path in self.databases():
            full = self.full_listing(path)
            if ENGINE == "wine":
                sizes = [pages * PAGE for pages in range(1, len(full) // PAGE + 1)]
            else:
                sizes = [start + 4 * PAGE for start in range(0, len(full) - 6 * PAGE, BLOCK)]
            for size in sizes:
                with self.subTest(database=os.path.basename(path), size=size):
                    failing_kinds.add(self.run_on_full_disk(path, size, full))
        print("writes failed in lines of these kinds: %s" % ", ".join(sorted(failing_kinds)))
        self.assertGreaterEqual(len(failing_kinds), 4)

    def test_header_does_not_fit(self):
        # A path of 2,100 characters makes the header longer than a one-page disk. Natively
        # the header waits in the first block with the rest, and the walk sees that fail.
        folder = os.path.join(self.work, "p" * 200)
        path = folder
        while len(path) < 2100:
            path = os.path.join(path, "q" * 200)
        os.makedirs(path, exist_ok=True)
        path = os.path.join(path, "db.sdb")
        shutil.copyfile(DATABASE, path)
        full = self.full_listing(path)
        failed_in = self.run_on_full_disk(path, PAGE, full)
        if ENGINE == "wine":
            self.assertEqual(failed_in, "header")


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
        # the handle's error, and every report must name that same error. The Linux command
        # refuses the run itself, before the program starts.
        result = run([windows_path(DATABASE)], stdout="closed")
        self.assertNotEqual(result.exit_code, 0, result)
        self.assertLess(result.exit_code, 0xC0000000, result)
        self.assertEqual(result.stdout, b"")
        if ENGINE == "native":
            self.assertEqual((result.exit_code, result.console),
                             (6, "shimlist: standard output is closed\n"), result)
            return
        reports = console_lines(result.console)
        self.assertTrue(reports, result)
        for line in reports:
            self.assertRegex(line, r"\A(WriteFile|GetStdHandle|FlushFileBuffers|CloseHandle)\(\) "
                                   r"returned error %d\b" % result.exit_code)
        print("standard output closed: exit code %d, %d reports" % (result.exit_code,
                                                                    len(reports)))


if __name__ == "__main__":
    unittest.main()
