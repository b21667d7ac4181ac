# The native program against the Windows build under Wine: every test database, plain and compressed, and the refusals.
"""Runs each database that the tests build (the written ones and the real ones), a compressed
twin of each, and files that are refused (missing, a folder, not a database, damaged compressed
files) through the native program and through the Windows build under Wine, and asserts the
same listing byte for byte, the same console text and the same exit code. The native command
alone checks the database at open: where it finds it cut short or damaged, it says so in a
line of its own (which the harness takes off the console) and exits 38 or 1392 where the
Windows program, which cannot tell, gives 0 (listing_check.engines_agree).

Both programs get the same absolute Linux path: Wine, started in the root folder, opens it
on drive Z:, and the header names it as given, so that even the header's path line must agree.
The Windows build is $SHIMLIST_WINDOWS_BIN (by default the x86_64 build of this tree).
"""
import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, TESTS)
sys.path.insert(0, os.path.join(TESTS, "standin"))
sys.path.insert(0, os.path.join(TESTS, "fuzz"))
import harness  # noqa: E402
import listing_check  # noqa: E402
from test_compressed import read, refusals, sdbwrite  # noqa: E402

TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
REAL_DATABASES = 5


class Differential(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="shimlist-differential-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def write(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def cases(self):
        """(what, path) of every run to compare."""
        databases = sorted(os.path.join(TESTDATA, name) for name in os.listdir(TESTDATA)
                           if name.endswith(".sdb"))
        written = len(os.listdir(os.path.join(os.path.dirname(TESTS), "tests", "data")))
        self.assertEqual(len(databases), written + REAL_DATABASES)
        cases = [(os.path.basename(path), path) for path in databases]
        cases += [("compressed " + os.path.basename(path),
                   self.write("zdbf " + os.path.basename(path), sdbwrite.compress(read(path))))
                  for path in databases]
        every = read(os.path.join(TESTDATA, "every_rendering.sdb"))
        os.mkdir(os.path.join(self.work, "folder"))
        cases += [
            ("missing file", os.path.join(self.work, "missing.sdb")),
            ("missing folder", os.path.join(self.work, "missing", "x.sdb")),
            ("folder", os.path.join(self.work, "folder")),
            ("empty file", self.write("empty.sdb", b"")),
            ("shorter than a header", self.write("short.sdb", every[:11])),
            ("not a database", self.write("text.sdb", b"not a shim database\n" * 20)),
        ]
        cases += [("compressed: " + name, self.write("refused %d.sdb" % number, data))
                  for number, (name, data, _, _) in enumerate(refusals(every))]
        return cases

    def test_both_programs_agree(self):
        cases = self.cases()
        codes = {}
        damage = {}
        for what, path in cases:
            with self.subTest(what):
                native = harness.run([path], engine="native", cwd="/", timeout=60)
                windows = harness.run([path], engine="wine", cwd="/", timeout=120)
                codes[native.exit_code] = codes.get(native.exit_code, 0) + 1
                self.assertTrue(listing_check.engines_agree(
                    native.exit_code, windows.exit_code, native.damage, native.stopped),
                    "exit code native %d (%r), Windows %d" % (
                        native.exit_code, native.stopped or native.damage, windows.exit_code))
                self.assertEqual(native.console, windows.console)
                if native.stdout != windows.stdout:
                    self.fail("native against Windows: " + listing_check.first_difference(
                        native.stdout, windows.stdout))
                damage[what] = native.damage
        # A compressed twin is the same database: the same damage, named at the same place.
        for what in [what for what in damage if "compressed " + what in damage]:
            with self.subTest("compressed " + what):
                self.assertEqual(damage["compressed " + what], damage[what])
        print("%d runs compared; exit codes (native): %s; %d found damaged natively" % (
            len(cases), ", ".join("%d: %d" % item for item in sorted(codes.items())),
            sum(1 for line in damage.values() if line)))


if __name__ == "__main__":
    unittest.main()
