# The manual page is lint-clean and names exactly the options that the program takes and --help lists.
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGE = os.path.join(SOURCE_DIR, "doc", "shimlist.1")
BIN = os.environ.get("SHIMLIST_BIN") or os.path.join(SOURCE_DIR, "build", "native", "bin")
PROGRAM = os.path.join(BIN, "shimlist")
DATABASE = os.path.join(BIN, "example.sdb")
BOM_S = b"\xff\xfeS\x00"
sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
import sdbwrite  # noqa: E402

# A database whose listing the default bound stops (1816): 3,000 references to one text of
# 4,000 characters, a listing of 24 MB from a file of 26 KB.
LARGE = sdbwrite.compile_source(
    "DATABASE {\n%s\n}\n" % "\n".join('NAME "%s"' % ("x" * 4000) for _ in range(3000)))
STOPPED = 1816

# How each option is tried, and how the output shows that it took effect: the arguments, the
# database given on standard input (or None), whether standard output is a file (else a pipe),
# the file read afterwards (None: standard output) and how it begins. {db}, {large} (LARGE) and
# {tmp} are filled. An option that takes a value ("--max-growth=N") is named without it.
TRIES = {
    "-h": (["-h"], False, False, None, b"usage: shimlist "),
    "--help": (["--help"], False, False, None, b"usage: shimlist "),
    "--version": (["--version"], False, False, None, b"shimlist "),
    "--utf8": (["--utf8", "{db}"], False, True, None, b"Shim database file:\t"),
    "--utf16": (["--utf16", "{db}"], False, False, None, BOM_S),
    "-o": (["-o", "{tmp}/out", "{db}"], False, False, "out/example.sdb.txt", BOM_S),
    "--": (["--", "{db}"], False, True, None, BOM_S),
    "--json": (["--json", "{db}"], False, True, None, b'{"id":'),
    "--stable": (["--stable", "{db}"], False, False, None, b"Shim database version:\t"),
    "--max-growth": (["--max-growth=0", "{large}"], False, False, None, b"Shim database file:\t"),
    "-": (["-"], True, False, None, b"Shim database file:\t-\n"),
}
# Options that a user might guess; none is on the page, and each must be refused.
GUESSES = ["-v", "-V", "-H", "-O", "-oout", "--verbose", "--output", "--utf-8", "--utf16le", "--o",
           "---", "--help=all"]


def page_options():
    """The options that the tags of the page's OPTIONS section name, as typed."""
    with open(PAGE, encoding="ascii") as f:
        lines = f.read().splitlines()
    section = lines[lines.index(".SH OPTIONS") + 1:]
    section = section[:next(i for i, line in enumerate(section) if line.startswith(".SH"))]
    options = set()
    for index, line in enumerate(section[:-1]):
        if line == ".TP":
            words = shlex.split(section[index + 1].replace("\\-", "-"))[1:]
            options.update(w.rstrip(",").split("=")[0] if w.startswith("--") else w.rstrip(",")
                           for part in words for w in part.split() if w.startswith("-"))
    return options


def run(arguments, stdin=None, stdout=subprocess.PIPE):
    with open(stdin, "rb") if stdin else open(os.devnull, "rb") as source:
        return subprocess.run([PROGRAM] + arguments, stdin=source, stdout=stdout,
                              stderr=subprocess.PIPE)


class ManualPageTest(unittest.TestCase):
    def test_lint_clean(self):
        checkers = [(["mandoc", "-T", "lint", "-W", "all", PAGE], {}),
                    (["man", "--warnings", "-l", PAGE], {"MANWIDTH": "80"})]
        ran = 0
        for command, environment in checkers:
            if shutil.which(command[0]) is None:
                continue
            ran += 1
            done = subprocess.run(command, stdout=subprocess.DEVNULL if command[0] == "man"
                                  else subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  env=dict(os.environ, **environment))
            self.assertEqual((done.returncode, done.stdout or "", done.stderr), (0, "", ""),
                             command[0])
        if ran == 0:
            self.skipTest("neither mandoc nor man is installed")

    def test_options_are_those_of_the_program(self):
        named = page_options()
        self.assertEqual(named, set(TRIES), "the page's options against the ones tried here")
        helped = run(["--help"])
        self.assertEqual(helped.returncode, 0, helped.stderr)
        listed = set()
        for line in helped.stdout.decode("ascii").splitlines():
            if line.startswith("  -"):
                listed.update(re.findall(r"(?<!\S)(-[-\w]*)(?=[\s,]|=[A-Z]+\s|$)", line))
        self.assertEqual(listed, named, "the options that --help lists")

        with tempfile.TemporaryDirectory(prefix="shimlist-manual.") as tmp:
            large = os.path.join(tmp, "large.sdb")
            with open(large, "wb") as f:
                f.write(LARGE)
            # Without the option that the table tries on it, the bound stops its listing.
            stopped = run([large])
            self.assertIn(b"shimlist: %d: " % STOPPED, stopped.stderr)
            for option, (arguments, on_stdin, to_file, read, begins) in sorted(TRIES.items()):
                with self.subTest(option=option):
                    arguments = [a.format(db=DATABASE, large=large, tmp=tmp)
                                 for a in arguments]
                    listing = os.path.join(tmp, "stdout")
                    with open(listing, "wb") as out:
                        done = run(arguments, DATABASE if on_stdin else None,
                                   out if to_file else subprocess.PIPE)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    if read is not None:
                        listing = os.path.join(tmp, read)
                    if read is not None or to_file:
                        with open(listing, "rb") as f:
                            output = f.read()
                    else:
                        output = done.stdout
                    self.assertTrue(output.startswith(begins), output[:60])

    def test_other_options_are_refused(self):
        named = page_options()
        guesses = GUESSES + [option + "x" for option in named if option.startswith("--")
                             and option != "--"]
        for option in guesses:
            with self.subTest(option=option):
                self.assertNotIn(option, named)
                done = run([option, DATABASE])
                self.assertEqual((done.returncode, done.stdout), (160, b""), done.stderr)
                self.assertIn(b"unknown option", done.stderr)


if __name__ == "__main__":
    unittest.main()
