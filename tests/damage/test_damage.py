# The Linux command on cut and damaged databases: each lists what it can, says what is wrong in one line, and never passes as complete.
"""Cuts and damages of a real and a written database, each with its exit code and line, alone
and under -o (NAME.txt.partial, never NAME.txt); every whole database as the case that must not
raise an alarm; the two databases that would make a listing far larger than themselves; a file
swapped under its name while it is listed; and the index of -o tied to the files it names."""
import hashlib
import os
import re
import subprocess
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
sys.path.insert(0, os.path.dirname(HERE))
import sdbwrite  # noqa: E402
from harness import ScratchTest  # noqa: E402

PROGRAM = os.path.join(os.environ.get("SHIMLIST_BIN", os.path.join(SOURCE_DIR, "build", "native",
                                                                   "bin")), "shimlist")
TESTDATA = os.environ.get("SHIMLIST_TESTDATA", os.path.join(SOURCE_DIR, "build", "native",
                                                            "testdata"))
REALDB = os.path.join(SOURCE_DIR, "tests", "realdb")
CUT_SHORT, DAMAGED, STOPPED = 38, 1392, 1816
CUT_LINE = re.compile(r"^shimlist: the database is cut short: .* needs ([\d,]+) bytes? past the "
                      r"end of the file$", re.M)
DAMAGE_LINE = re.compile(r"^shimlist: the database is damaged: ", re.M)
# The written databases that are damaged on purpose, for the tests of the reader itself, and
# those whose lists nest too deep to be listed whole (1001), which are no damage.
DAMAGED_ON_PURPOSE = {"hardening_overrun.sdb", "standin_bad_reference.sdb",
                      "standin_bounded_texts.sdb", "standin_header_only.sdb",
                      "standin_no_string_table.sdb", "standin_size_past_end.sdb",
                      "standin_wrapped_size.sdb"}
NESTING_TOO_DEEP = {"hardening_nesting_bomb.sdb", "standin_deep.sdb"}


def run(args, **kwargs):
    """Runs the command; gives (shell status, whole exit code, stdout, stderr text)."""
    done = subprocess.run([PROGRAM] + args, capture_output=True, timeout=120, **kwargs)
    err = done.stderr.decode("utf-8")
    code = done.returncode
    wide = re.search(r"shimlist: exit code (\d+) \(0x[0-9A-F]{8}\); the shell receives 255\n\Z",
                     err)
    if code == 255 and wide:
        code = int(wide.group(1))
    return done.returncode, code, done.stdout, err


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tags_of(path):
    """(TAGID, tag value) of every line of the database's listing, from the listing itself."""
    _, code, out, err = run(["--utf8", "--", path])
    assert code == 0, err
    return [(int(m.group(1), 16), int(m.group(2), 16)) for m in
            re.finditer(r"^0x([0-9A-F]{8})\t+0x([0-9A-F]{4}) = ", out.decode("utf-8"), re.M)]


def cuts(data, tags):
    """(name, bytes, exit code) of the cuts and damages of a whole database."""
    sized = [tagid for tagid, tag in tags if tag >> 12 in (7, 8, 9)]
    last_string = [tagid for tagid, tag in tags if tag >> 12 == 8][-1]
    ref = [tagid for tagid, tag in tags if tag >> 12 == 6][0]
    lists = [tagid for tagid, tag in tags if tag >> 12 == 7]
    inner = lists[1] if len(lists) > 1 else lists[0]
    inner_end = inner + 6 + int.from_bytes(data[inner + 2:inner + 6], "little")
    outside = data[:ref + 2] + (0x7FFFFFF0).to_bytes(4, "little") + data[ref + 6:]
    return [
        ("inside a tag header", data[:last_string + 1], CUT_SHORT),
        ("inside a size field", data[:sized[-1] + 4], CUT_SHORT),
        ("inside data", data[:last_string + 8], CUT_SHORT),
        ("at a list's end", data[:inner_end], CUT_SHORT),
        ("one byte short", data[:-1], CUT_SHORT),
        ("after the header", data[:12], CUT_SHORT),
        ("the first half", data[:len(data) // 2], CUT_SHORT),
        # One byte where a tag would start: a cut there and a stray byte look the same.
        ("one trailing byte", data + b"\0", CUT_SHORT),
        ("three trailing bytes", data + b"\x01\x00\x00", DAMAGED),
        ("a string reference past the table", outside, DAMAGED),
    ]


class DamageTest(ScratchTest):
    SCRATCH_PREFIX = "shimlist-damage-"

    def test_cuts_and_damages(self):
        # A real database and a written one; a compressed file that ends early or runs long.
        sources = [os.path.join(REALDB, "app_x64.sdb"), os.path.join(TESTDATA,
                                                                     "every_rendering.sdb")]
        count = 0
        for source in sources:
            data = read(source)
            for name, damaged, code in cuts(data, tags_of(source)):
                with self.subTest(database=os.path.basename(source), case=name):
                    count += 1
                    path = self.write("cut.sdb", damaged)
                    status, got, out, err = run(["--utf16", "--", path])
                    self.assertEqual(got, code, err)
                    line = CUT_LINE if code == CUT_SHORT else DAMAGE_LINE
                    self.assertEqual(len(line.findall(err)), 1, err)
                    # What can be read is still listed, from the header on.
                    self.assertTrue(out.startswith("\ufeffShim database file:\t".encode(
                        "utf-16-le")), out[:40])
                    folder = os.path.join(self.folder.name, "out")
                    status, got, _, err = run(["-o", folder, "--", path])
                    self.assertEqual(got, code, err)
                    self.assertFalse(os.path.exists(os.path.join(folder, "cut.sdb.txt")))
                    self.assertEqual(read(os.path.join(folder, "cut.sdb.txt.partial")), out)
        packed = sdbwrite.compress(read(sources[1]))
        for name, damaged, code in (("compressed, cut", packed[:len(packed) // 2], CUT_SHORT),
                                    ("compressed, bytes after its stream", packed + b"\0\0", 23)):
            with self.subTest(case=name):
                count += 1
                status, got, out, err = run(["--", self.write("cut.sdb", damaged)])
                self.assertEqual(got, code, err)
        print("%d cut or damaged databases, none passed as complete" % count)

    def test_the_cut_figures(self):
        # The line names the tag and how much of it the file lacks.
        data = read(os.path.join(TESTDATA, "every_rendering.sdb"))
        first = int.from_bytes(data[14:18], "little")  # the size of the root's first list
        path = self.write("cut.sdb", data[:100])
        _, code, _, err = run(["--", path])
        self.assertEqual(code, CUT_SHORT, err)
        self.assertIn("the data of the tag at 0x0000000C needs %s bytes past the end of the "
                      "file" % format(18 + first - 100, ","), err)

    def test_whole_databases_raise_no_alarm(self):
        whole = [os.path.join(REALDB, name) for name in sorted(os.listdir(REALDB))
                 if name.endswith(".sdb")]
        whole += [os.path.join(TESTDATA, name) for name in sorted(os.listdir(TESTDATA))
                  if name.endswith(".sdb") and name not in DAMAGED_ON_PURPOSE]
        for path in whole:
            with self.subTest(database=os.path.basename(path)):
                for packed in (False, True):
                    target = self.write("z.sdb", sdbwrite.compress(read(path))) if packed else path
                    _, code, out, err = run(["--utf16", "--", target])
                    self.assertEqual(code, 1001 if os.path.basename(path) in NESTING_TOO_DEEP
                                     else 0, err)
                    self.assertNotRegex(err, r"cut short|damaged")
        for name in sorted(DAMAGED_ON_PURPOSE):
            with self.subTest(database=name):
                _, code, _, err = run(["--utf16", "--", os.path.join(TESTDATA, name)])
                self.assertIn(code, (CUT_SHORT, DAMAGED), err)
                self.assertRegex(err, r"(?m)^shimlist: the database is (cut short|damaged): ")

    def test_amplifying_databases_are_bounded(self):
        # References into the run of references, with no terminating zero: each would repeat
        # the file's tail; the library takes no such reference.
        refs = "\n".join("NAME ref %d" % (6 + 6 * k) for k in range(2000))
        into_refs = sdbwrite.compile_source(
            "stringtable none\nDATABASE {\n%s\n}\nSTRINGTABLE {\n%s\n}\n"
            % (refs, "\n".join("0x6001 ref 6" for _ in range(2000))))
        path = self.write("refs.sdb", into_refs)
        _, code, out, err = run(["--utf16", "--", path])
        self.assertEqual(code, DAMAGED, err)
        self.assertLess(len(out), 64 * len(into_refs))
        # A well-formed compressed file: one long string and many references to it. Its
        # listing stops at the bound, exactly, and is kept as a partial listing only.
        many = sdbwrite.compile_source(
            "DATABASE {\n%s\n}\n" % "\n".join('NAME "%s"' % ("x" * 2000) for _ in range(10000)),
            compressed=True)
        path = self.write("many.sdb", many)
        unpacked = int.from_bytes(many[16:20], "little")
        folder = os.path.join(self.folder.name, "amp")
        _, code, _, err = run(["-o", folder, "--", path])
        self.assertEqual(code, STOPPED, err)
        self.assertEqual(err.count("shimlist: the listing was stopped after"), 1, err)
        self.assertEqual(os.path.getsize(os.path.join(folder, "many.sdb.txt.partial")),
                         64 * unpacked + (16 << 20))
        self.assertFalse(os.path.exists(os.path.join(folder, "many.sdb.txt")))
        # A higher factor lets the whole listing through.
        _, code, out, err = run(["--utf16", "--max-growth=1000", "--", path])
        self.assertEqual(code, 0, err)
        self.assertGreater(len(out), 64 * unpacked + (16 << 20))
        self.assertEqual(run(["--max-growth=x", path])[1], 160)

    def test_one_file_while_its_name_changes(self):
        # Two databases of different versions swapped under one name: each listing's header
        # version must be that of its own tags.
        a = sdbwrite.compile_source('version 2 1\nDATABASE {\nNAME "version two"\n}\n')
        b = sdbwrite.compile_source('version 3 0\nDATABASE {\nNAME "version three"\n}\n')
        name = self.write("swapped.sdb", a)
        spare = [self.write("a.sdb", a), self.write("b.sdb", b)]
        stop = threading.Event()

        def swap():
            k = 0
            while not stop.is_set():
                k += 1
                os.link(spare[k % 2], name + ".new")
                os.replace(name + ".new", name)

        swapper = threading.Thread(target=swap)
        swapper.start()
        mixed = 0
        try:
            for _ in range(300):
                _, code, out, err = run(["--utf8", "--", name])
                text = out.decode("utf-8")
                if ("version:\t2.1" in text) != ("version two" in text):
                    mixed += 1
        finally:
            stop.set()
            swapper.join()
        self.assertEqual(mixed, 0)

    def test_index_ties_listings_to_their_files(self):
        good = os.path.join(TESTDATA, "every_rendering.sdb")
        cut = self.write("cut.sdb", read(good)[:200])
        junk = self.write("junk.sdb", b"not a database\n")
        folder = os.path.join(self.folder.name, "case")
        _, code, _, err = run(["-o", folder, "--", good, cut, junk])
        self.assertEqual(code, CUT_SHORT, err)
        with open(os.path.join(folder, "shimlist-index.tsv"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        version = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True).stdout
        self.assertEqual(lines[0], "# " + version.rstrip("\n"))
        rows = [line.split("\t") for line in lines[2:]]
        self.assertEqual([row[0] for row in rows], [good, cut, junk])
        for row, path, listing, code in ((rows[0], good, "every_rendering.sdb.txt", 0),
                                         (rows[1], cut, "cut.sdb.txt.partial", CUT_SHORT),
                                         (rows[2], junk, None, 11)):
            with self.subTest(database=os.path.basename(path)):
                data = read(path)
                self.assertEqual(row[1:4], [str(len(data)), hashlib.sha256(data).hexdigest(),
                                            str(code)])
                if listing:
                    self.assertEqual(row[4:], [listing, hashlib.sha256(read(os.path.join(
                        folder, listing))).hexdigest()])
                else:
                    self.assertEqual(row[4], "-")
                    self.assertTrue(row[5].startswith("no listing: not a shim database"), row)
        self.assertEqual(len(rows), 3)


if __name__ == "__main__":
    unittest.main()
