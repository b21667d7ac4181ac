# A bounded fuzzing campaign against shimlist, and checks that the run judge catches damaged output.
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzz_shimlist  # noqa: E402
import listing_check  # noqa: E402
import harness  # noqa: E402
from harness import run, windows_path  # noqa: E402

FIXED_SEED = 20261208
# Findings reported and awaiting a fix elsewhere, which the campaign does not fail on.
KNOWN_FINDINGS = frozenset()

# Whole-program runs by the hundred: meant for the 64-bit build, which Wine runs natively. The
# 32-bit build runs emulated, a minute a run.
def setUpModule():
    if os.environ.get("SHIMLIST_ARCH", "").startswith("i686"):
        raise unittest.SkipTest("whole-program runs are made with the 64-bit build")
# A native case takes some 30 ms, a case under Wine a second or more.
FIXED_CASES = 600 if harness.ENGINE == "native" else 60
TIMED_SECONDS = 20 if harness.ENGINE == "native" else 45


class Campaign(unittest.TestCase):
    def run_campaign(self, seed, **bounds):
        corpus = tempfile.mkdtemp(prefix="shimlist-fuzz-findings-")
        summary = fuzz_shimlist.campaign(seed, corpus_out=corpus, quiet=True, **bounds)
        fuzz_shimlist.print_summary(summary)
        if summary["saved"]:
            print("failing cases kept in %s; rerun with: python3 tests/fuzz/fuzz_shimlist.py "
                  "--seed %d" % (corpus, seed))
        else:
            shutil.rmtree(corpus, ignore_errors=True)
        findings = {category: count for category, count in summary["findings"].items()
                    if category not in KNOWN_FINDINGS}
        self.assertEqual(findings, {}, "seed %d: %r" % (seed, summary["examples"]))
        self.assertGreater(summary["cases"], 0)
        return summary

    def test_fixed_seed(self):
        summary = self.run_campaign(FIXED_SEED, cases=FIXED_CASES)
        self.assertEqual(summary["cases"], FIXED_CASES)
        # The mutations reach the program's failure paths, not only its happy one.
        self.assertGreater(sum(count for code, count in summary["exit_codes"].items() if code),
                           0, summary["exit_codes"])

    def test_time_based_seed(self):
        seed = int(time.time())
        print("time-based seed: %d" % seed)
        self.run_campaign(seed, seconds=TIMED_SECONDS)


class Judge(unittest.TestCase):
    """The judge of fuzz_shimlist must see damage, or the campaign proves nothing."""

    @classmethod
    def setUpClass(cls):
        seeds = dict(fuzz_shimlist.load_seeds())
        cls.db = seeds["every_type.sdbtxt"]
        cls.folder = tempfile.mkdtemp(prefix="shimlist-judge-")
        path = os.path.join(cls.folder, "every_type.sdb")
        with open(path, "wb") as f:
            f.write(cls.db)
        cls.path = windows_path(path)
        cls.result = run([cls.path])
        cls.names = listing_check.load_tag_names()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def judge(self, listing=None, console=None, exit_code=None):
        return [category for category, _ in listing_check.check_run(
            self.db, self.path, self.result.exit_code if exit_code is None else exit_code,
            self.result.stdout if listing is None else listing,
            self.result.console if console is None else console, self.names)]

    def replaced(self, old, new):
        text = self.result.stdout.decode("utf-16-le")
        self.assertIn(old, text)
        return text.replace(old, new, 1).encode("utf-16-le")

    def test_sound_run_passes(self):
        self.assertEqual(self.result.exit_code, 0, self.result)
        self.assertEqual(self.judge(), [])

    def test_damaged_listings_are_caught(self):
        cases = {
            "odd-byte-count": self.result.stdout + b"\0",
            "no-final-line-end": self.result.stdout[:-2],
            "bad-header": self.replaced("version:\t3.0", "version:\t2.0"),
            "wrong-name": self.replaced("= DATABASE\r\n", "= DATABASF\r\n"),
            "value-differs-from-file": self.replaced("SIZE: 0x001C2200", "SIZE: 0x001C2201"),
            "data-differs-from-file": self.replaced(": 0x00AB10", ": 0x00AB11"),
            "bad-word-value": self.replaced("MATCH_MODE\r\n", "MATCH_MODE: 0xFFFF\r\n"),
            "tagid-order": self.replaced("0x00000074", "0x00000060"),
            "indent-jump": self.replaced("\t0x6001 = NAME: Shim", "\t\t\t0x6001 = NAME: Shim"),
            "pattern-length": self.replaced("Pattern = 0x741C8B", "Pattern = 0x741C"),
            "record-order": self.replaced(" RVA     = 0x00001000", " Length  = 3"),
            "malformed-line": self.replaced("0x00000096", "0x0000096"),
            # A text that breaks its line, or forges one, is caught whatever the file holds.
            "unreplaced-character": self.replaced("NAME: Shim", "NAME: Sh\u2028im"),
            "text-differs-from-file": self.replaced("NAME: Shim", "NAME: Shin"),
            "patch-block-differs": self.replaced("Module  = app.exe", "Module  = app.exf"),
        }
        cases["malformed-line"] = self.replaced("NAME: Shim", "NAME: Sh\r\nim")
        cases["invalid-utf16"] = self.result.stdout.replace("Shim".encode("utf-16-le"),
                                                            "Sh\ud800m".encode("utf-16-le",
                                                                                "surrogatepass"), 1)
        for category, listing in cases.items():
            with self.subTest(category):
                self.assertIn(category, self.judge(listing=listing))
        # A C1 control would drive a terminal that shows the listing.
        self.assertIn("unreplaced-character",
                      self.judge(listing=self.replaced("NAME: Shim", "NAME: Sh\u009b2Jim")))

    def test_amplified_listing_is_caught(self):
        # More tag lines than the database has bytes for: the walk met the same bytes again.
        problems = listing_check.check_run(self.db[:64], self.path, self.result.exit_code,
                                           self.result.stdout, self.result.console, self.names)
        self.assertIn("listing-amplified", [category for category, _ in problems])
        # Lists that overrun their parents once made the stand-in do just that; they are now
        # listed once each, and the listing passes the judge.
        path = os.path.join(os.environ.get("SHIMLIST_TESTDATA", ""), "hardening_overrun.sdb")
        if not os.path.isfile(path):
            self.skipTest("%s is not built" % path)
        with open(path, "rb") as f:
            db = f.read()
        result = run([windows_path(path)])
        problems = listing_check.check_run(db, windows_path(path), result.exit_code,
                                           result.stdout, result.console, self.names,
                                           damage=result.damage, stopped=result.stopped)
        self.assertEqual(problems, [], result)

    @harness.native_only("the command's word on a damaged database and its bound")
    def test_damage_and_stop_lines_are_judged(self):
        # A real run on a cut file passes; its line with other figures, or with a code that
        # does not fit it, does not.
        db = self.db[:len(self.db) // 2]
        path = os.path.join(self.folder, "cut.sdb")
        with open(path, "wb") as f:
            f.write(db)
        result = run([path])
        self.assertEqual((result.exit_code, listing_check.parse_damage(result.damage or "")[:2]),
                         (listing_check.CUT_SHORT, ("data-past-file-end", True)), result)
        tagid, count = listing_check.parse_damage(result.damage)[2]
        self.assertGreater(count, 1)

        def judge(exit_code=result.exit_code, damage=result.damage, stopped=None,
                  listing=result.stdout):
            return [category for category, _ in listing_check.check_run(
                db, path, exit_code, listing, result.console, self.names, damage=damage,
                stopped=stopped)]

        self.assertEqual(judge(), [])
        at = "0x%08X" % tagid
        for damage, category in (
                (result.damage.replace(format(count, ","), format(count + 2, ",")),
                 "damage-differs-from-file"),
                (result.damage.replace(at, "0x%08X" % (tagid + 2)), "damage-differs-from-file"),
                (result.damage.replace("the data of the tag", "the tag"),
                 "damage-differs-from-file"),
                ("the database is damaged: 2 bytes at %s, after its last tag, are no tag" % at,
                 "damage-differs-from-file"),
                ("the database is cut short somewhere", "unknown-damage-line"),
                (result.damage.replace(" bytes ", " byte "), "unknown-damage-line")):
            with self.subTest(damage=damage):
                self.assertIn(category, judge(damage=damage))
        self.assertIn("wrong-damage-code", judge(exit_code=listing_check.DAMAGED))
        self.assertIn("exit-0-after-failure", judge(exit_code=0))
        self.assertIn("silent-failure", judge(damage=None))
        # A stopped listing holds exactly the bytes its line names, and exits 1816.
        stop = ("the listing was stopped after %d bytes, the most this database may give "
                "(counted as UTF-16; --max-growth sets the factor)")
        big = listing_check.BOUND_FIXED + 2
        listing = result.stdout + b"x\0" * ((big - len(result.stdout)) // 2)
        self.assertNotIn("stop-differs-from-listing", judge(
            exit_code=listing_check.STOPPED, stopped=stop % len(listing), listing=listing))
        self.assertIn("stop-differs-from-listing", judge(
            exit_code=listing_check.STOPPED, stopped=stop % (len(listing) + 2), listing=listing))
        self.assertIn("wrong-damage-code", judge(stopped=stop % len(listing), listing=listing))

    def test_engines_agree(self):
        cut = ("the database is cut short: the tag at 0x0000000C needs 2 bytes past the end of "
               "the file")
        damaged = ("the database is damaged: the tag at 0x00000012 runs 6 bytes past the end of "
                   "its list, at 0x00000018")
        stopped = "the listing was stopped after 16777216 bytes, ..."
        for native, windows, damage, stop, agree in (
                (0, 0, None, None, True), (11, 11, None, None, True),
                (1001, 1001, cut, None, True),
                (38, 0, cut, None, True), (1392, 0, damaged, None, True),
                (1816, 0, None, stopped, True), (1816, 0, cut, stopped, True),
                (38, 0, None, None, False), (1392, 0, cut, None, False),
                (38, 0, damaged, None, False), (38, 11, cut, None, False),
                (1816, 0, None, None, False), (0, 38, cut, None, False)):
            with self.subTest(native=native, windows=windows, damage=damage, stopped=stop):
                self.assertEqual(listing_check.engines_agree(native, windows, damage, stop),
                                 agree)

    def test_console_and_exit_code_are_judged(self):
        self.assertIn("crash", self.judge(exit_code=0xC0000005))
        self.assertIn("crash", self.judge(exit_code=listing_check.ILLEGAL_INSTRUCTION))
        self.assertIn("crash", self.judge(console="wine: Unhandled page fault on read access\n"))
        self.assertIn("silent-failure", self.judge(exit_code=13))
        self.assertIn("exit-0-after-failure",
                      self.judge(console="Shim database version: 3.0\n"
                                         "WriteFile() returned error 112 for level 1\n"))
        self.assertIn("undefined-mismatch",
                      self.judge(console="Shim database version: 3.0\n"
                                         "Undefined TAG_TYPE 0xA001 for TAGID 0x0000000C\n"))
        self.assertIn("unknown-console-text", self.judge(console="something else\n"))
        self.assertIn("wrong-version", self.judge(console="Shim database version: 2.1\n"))
        self.assertIn("replaced-mismatch",
                      self.judge(console="Shim database version: 3.0\nText of TAGID 0x0000000C "
                                         "shown with replacements: control characters 1, line "
                                         "separators 0, unpaired surrogates 0\n"))
        # Only the first tag is named; a total comes only with several, and never alone.
        self.assertIn("replaced-total-mismatch",
                      self.judge(console="Shim database version: 3.0\nTexts of 2 tags shown with "
                                         "replacements in all: control characters 2, line "
                                         "separators 0, unpaired surrogates 0\n"))
        # A close of the listing that fails is a failure like a write that fails.
        self.assertIn("exit-0-after-failure",
                      self.judge(console="Shim database version: 3.0\nCloseHandle() returned "
                                         "error 112\n"))
        self.assertIn("path-note-mismatch",
                      self.judge(console="Shim database version: 3.0\nPath of the database "
                                         "shown with replacements: control characters 1, line "
                                         "separators 0, unpaired surrogates 0\n"))
        self.assertIn("listing-after-failed-open",
                      self.judge(exit_code=11, console="SdbOpenDatabase() returned NULL for "
                                                       "file 'x'\n"))
        self.assertIn("exit-0-after-failure",
                      self.judge(listing=b"", console="SdbOpenDatabase() returned NULL for "
                                                      "file 'x'\n"))


if __name__ == "__main__":
    unittest.main()
