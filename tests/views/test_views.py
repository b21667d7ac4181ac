# The listing's views: --json agrees with the listing and the file's bytes, --stable leaves out offsets and copies so that a diff shows what changed.
import difflib
import functools
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
BIN = os.environ.get("SHIMLIST_BIN", os.path.join(SOURCE_DIR, "build", "native", "bin"))
TESTDATA = os.environ.get("SHIMLIST_TESTDATA", os.path.join(SOURCE_DIR, "build", "native",
                                                             "testdata"))
SHIMLIST = os.path.join(BIN, "shimlist")
sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
import sdbwrite  # noqa: E402

TYPES = {1: "NULL", 2: "BYTE", 3: "WORD", 4: "DWORD", 5: "QWORD", 6: "STRINGREF", 7: "LIST",
         8: "STRING", 9: "BINARY"}
TAG_LINE = re.compile(r"^0x([0-9A-F]{8})(\t+)0x([0-9A-F]{4}) = ([^:]*)(:(?: (.*))?)?$")
RECORD_LINE = re.compile(r"^\t+ (\w+) *= (.*)$")
# Texts that JSON must escape and the listing must replace, in referenced and inline strings,
# and lists deeper than the listing's indent can show, with a sibling after two inner lists.
HOSTILE_SOURCE = r'''version 3 0
DATABASE {
    nest 8 LAYER {
        SHIM_REF {
            INEXCLUDE {
                MODULE "inner"
            }
        }
        NAME "after two inner lists"
    }
    NAME "quote \" backslash \\ brace } \"},{\"id\":1} end\\"
    APP_NAME "\\\"\\\\\" \u0000 after a zero"
    VENDOR "nul-free \u0001\u001F\u007F\u0085\u2028\u2029 and \r\n0x00000012\t0x6001 = NAME: x"
    0x8003 "lone \uDBFF\" then \uDC00\\ pair \uDBFF\uDFFF"
    0x8004 hex 41 00 00 D8 00 00
    PATCH_BITS patch {
        match module "\"quoted\\module\"" rva 1 pattern 22 5C
        end
    }
}
'''


def run(args, stdout=subprocess.PIPE):
    return subprocess.run([SHIMLIST] + args, stdin=subprocess.DEVNULL, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=120)


def read_database(path):
    """The database's bytes, unpacked."""
    with open(path, "rb") as f:
        data = f.read()
    if data[8:12] == b"zdbf":
        data = zlib.decompress(data[20:])
    return data


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def locate(data, at):
    """(tag, data offset, data size, next offset) of the item at `at`, or None when it does not
    lie whole inside the file: the format's own sizes, read independently of the program."""
    if at < 12 or at + 2 > len(data):
        return None
    tag = u16(data, at)
    kind = tag >> 12
    if kind in (7, 8, 9):
        if at + 6 > len(data):
            return None
        start, size = at + 6, u32(data, at + 2)
    else:
        start, size = at + 2, {2: 1, 3: 2, 4: 4, 5: 8, 6: 4}.get(kind, 0)
    if start + size > len(data):
        return None
    return tag, start, size, (start + size + 1) & ~1


def tree(data):
    """{TAGID: (parent, depth)} in the order of a depth-first walk that takes a child only when
    it lies inside its list and lists no children of a list at level 255."""
    places, stack = {}, [(0, 12, len(data), 0)]
    while stack:
        parent, at, end, depth = stack[-1]
        item = locate(data, at) if at < end else None
        if item is None or item[1] + item[2] > end:
            stack.pop()
            continue
        tag, start, size, following = item
        stack[-1] = (parent, following, end, depth)
        places.setdefault(at, (parent, depth))
        if tag >> 12 == 7 and depth < 255:
            stack.append((at, start, start + size, depth + 1))
    return places


def text_of(data, start, size):
    """The UTF-16 text of a STRING item's data: its characters up to the first zero character
    inside the item, or all of them (an odd last byte left out); unpaired surrogates as U+FFFD."""
    units = []
    for at in range(start, start + (size & ~1), 2):
        unit = u16(data, at)
        if unit == 0:
            break
        units.append(unit)
    out, index = [], 0
    while index < len(units):
        unit = units[index]
        if 0xD800 <= unit < 0xDC00 and index + 1 < len(units) and 0xDC00 <= units[index + 1] < 0xE000:
            out.append(chr(0x10000 + ((unit - 0xD800) << 10) + units[index + 1] - 0xDC00))
            index += 2
            continue
        out.append("\ufffd" if 0xD800 <= unit < 0xE000 else chr(unit))
        index += 1
    return "".join(out)


def raw_of(data, tagid, string_table):
    """What the file holds as the tag's raw value, or None when it cannot be read."""
    item = locate(data, tagid)
    if item is None:
        return None
    tag, start, size, _ = item
    kind = tag >> 12
    if kind in (2, 3, 4, 5):
        return int.from_bytes(data[start:start + size], "little")
    if kind == 8:
        return text_of(data, start, size)
    if kind == 6:
        # A reference has a text only when it names one of the table's STRING items.
        named = string_table + u32(data, start) if string_table else None
        if named not in string_items(data, string_table):
            return None
        _, start, size, _ = locate(data, named)
        return text_of(data, start, size)
    return data[start:start + size].hex()


@functools.lru_cache(maxsize=4)
def string_items(data, table):
    """The TAGIDs of the STRING children of the string table at `table` that lie whole inside
    it, as a walk of its children meets them."""
    items = set()
    if not table:
        return frozenset()
    _, at, size, _ = locate(data, table)
    end = at + size
    while at < end:
        item = locate(data, at)
        if item is None or item[1] + item[2] > end:
            break
        if item[0] >> 12 == 8:
            items.add(at)
        at = item[3]
    return frozenset(items)


def string_table_of(data):
    at = 12
    while True:
        item = locate(data, at)
        if item is None:
            return 0
        if item[0] == 0x7801:
            return at
        at = item[3]


def listing_objects(text):
    """The listing's lines as the objects --json should give, without raw values."""
    objects = []
    for line in text.split("\n"):
        match = TAG_LINE.match(line)
        if match:
            tagid, tabs, tag, name, colon, value = match.groups()
            obj = {"id": int(tagid, 16), "tabs": len(tabs), "tag": int(tag, 16), "name": name}
            if value is not None:
                obj["value"] = value
            elif colon:
                obj["patch"] = []
            objects.append(obj)
            continue
        record = RECORD_LINE.match(line)
        if record and objects and "patch" in objects[-1]:
            label, value = record.group(1).lower(), record.group(2)
            if label == "rest":
                objects[-1]["rest"] = value
            else:
                if label == "action":
                    objects[-1]["patch"].append({})
                objects[-1]["patch"][-1][label] = value
    return objects


def json_lines(output):
    """Each line of --json's output as an object; the text must be UTF-8, one object a line."""
    text = output.decode("utf-8")
    lines = text.split("\n")
    assert lines[-1] == "", "the last line has no line end"
    # No character that some readers take as a line end stands unescaped.
    assert text.splitlines() == lines[:-1], "a line end inside a line"
    return [json.loads(line) for line in lines[:-1]]


class JsonAgreesWithListing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="shimlist-views-")
        hostile = os.path.join(cls.work, "hostile.sdb")
        with open(hostile, "wb") as f:
            f.write(sdbwrite.compile_source(HOSTILE_SOURCE))
        cls.databases = sorted(os.path.join(TESTDATA, name) for name in os.listdir(TESTDATA)
                               if name.endswith(".sdb")) + [hostile]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def check(self, path):
        listing = run(["--utf8", path])
        viewed = run(["--json", path])
        self.assertEqual(viewed.returncode, listing.returncode)
        self.assertEqual(viewed.stderr, listing.stderr)
        expected = listing_objects(listing.stdout.decode("utf-8"))
        got = json_lines(viewed.stdout)
        self.assertEqual([o["id"] for o in got], [o["id"] for o in expected])
        data = read_database(path)
        places, table = tree(data), string_table_of(data)
        for obj, line in zip(got, expected):
            where = "TAGID 0x%08X" % obj["id"]
            self.assertEqual((obj["tag"], obj["name"], obj.get("value"), obj.get("patch"),
                              obj.get("rest")),
                             (line["tag"], line["name"], line.get("value"), line.get("patch"),
                              line.get("rest")), where)
            self.assertEqual(obj["type"], TYPES.get(obj["tag"] >> 12, obj["tag"] & 0xF000),
                             where)
            parent, depth = places[obj["id"]]
            self.assertEqual((obj["parent"], obj["depth"]), (parent or None, depth), where)
            if line["tabs"] < 10:
                self.assertEqual(obj["depth"], line["tabs"] - 1, where)
            kind = obj["tag"] >> 12
            self.assertEqual("raw" in obj, kind in (2, 3, 4, 5, 6, 8, 9), where)
            if "raw" in obj:
                self.assertEqual(obj["raw"], raw_of(data, obj["id"], table), where)

    def test_every_database(self):
        for path in self.databases:
            with self.subTest(database=os.path.basename(path)):
                self.check(path)

    def test_hostile_texts_stay_inside_their_strings(self):
        got = json_lines(run(["--json", self.databases[-1]]).stdout)
        raws = [o.get("raw") for o in got]
        self.assertIn('quote " backslash \\ brace } "},{"id":1} end\\', raws)
        self.assertIn("lone \ufffd\" then \ufffd\\ pair \U0010ffff", raws)
        self.assertIn("A\ufffd", raws)
        vendor = [o for o in got if o["name"] == "VENDOR"][0]
        self.assertNotIn("\r", vendor["value"])
        self.assertIn("\u2028", vendor["raw"])
        module = [o for o in got if o["name"] == "PATCH_BITS"][0]["patch"][0]["module"]
        self.assertEqual(module, '"quoted\\module"')


# Every EXE with the shims, flags, layers and patches it refers to: the question of a database
# that injects a DLL. The jq line of the manual page, and the same query in Python.
JQ_QUERY = (
    '(reduce .[] as $o ({}; .[$o.parent | tostring] += [$o])) as $c'
    ' | def kids($id): $c[$id | tostring] // [];'
    ' def named($id; $n): [kids($id)[] | select(.name == $n) | .value][0];'
    ' .[] | select(.name == "EXE")'
    ' | {exe: named(.id; "NAME"), app: named(.id; "APP_NAME"),'
    ' refs: [kids(.id)[] | select(.name | IN("SHIM_REF", "FLAG_REF", "LAYER", "PATCH_REF"))'
    ' | {kind: .name, name: named(.id; "NAME")}]}')


def query_in_python(objects):
    children = {}
    for obj in objects:
        children.setdefault(obj["parent"], []).append(obj)

    def named(parent, name):
        return next((o["value"] for o in children.get(parent, []) if o["name"] == name), None)

    return [{"exe": named(o["id"], "NAME"), "app": named(o["id"], "APP_NAME"),
             "refs": [{"kind": r["name"], "name": named(r["id"], "NAME")}
                      for r in children.get(o["id"], [])
                      if r["name"] in ("SHIM_REF", "FLAG_REF", "LAYER", "PATCH_REF")]}
            for o in objects if o["name"] == "EXE"]


def query_from_listing(text):
    """The same answer from the listing's own lines and indents."""
    answer, exe, ref = [], None, None
    for line in text.split("\n"):
        match = TAG_LINE.match(line)
        if not match:
            continue
        depth, name, value = len(match.group(2)) - 1, match.group(4), match.group(6)
        if exe is not None and depth <= exe[0]:
            exe = ref = None
        if name == "EXE":
            exe = (depth, {"exe": None, "app": None, "refs": []})
            answer.append(exe[1])
        elif exe is not None and depth == exe[0] + 1:
            ref = None
            if name == "NAME":
                exe[1]["exe"] = value
            elif name == "APP_NAME":
                exe[1]["app"] = value
            elif name in ("SHIM_REF", "FLAG_REF", "LAYER", "PATCH_REF"):
                ref = {"kind": name, "name": None}
                exe[1]["refs"].append(ref)
        elif ref is not None and depth == exe[0] + 2 and name == "NAME" and ref["name"] is None:
            ref["name"] = value
    return answer


class InjectDllQuery(unittest.TestCase):
    def test_exe_entries_and_what_they_refer_to(self):
        realdb = os.path.join(SOURCE_DIR, "tests", "realdb")
        answers = []
        for name in sorted(os.listdir(realdb)):
            if not name.endswith(".sdb"):
                continue
            path = os.path.join(realdb, name)
            objects = json_lines(run(["--json", path]).stdout)
            expected = query_from_listing(run(["--utf8", path]).stdout.decode("utf-8"))
            self.assertEqual(query_in_python(objects), expected, name)
            answers += expected
            if shutil.which("jq"):
                jq = subprocess.run(["jq", "-c", "-s", JQ_QUERY],
                                    input=run(["--json", path]).stdout, capture_output=True,
                                    check=True)
                self.assertEqual([json.loads(line) for line in jq.stdout.splitlines()],
                                 expected, name)
        self.assertIn({"exe": "AtomicTest.exe", "app": "AtomicTest",
                       "refs": [{"kind": "SHIM_REF", "name": "InjectDll"}]}, answers)


def references(inserted, tool_tagid=0):
    with open(os.path.join(HERE, "references.sdbtxt"), encoding="utf-8") as f:
        text = f.read()
    entry = 'SHIM {\nNAME "Inserted"\nDESCRIPTION "a new shim"\nINCLUDE\n}' if inserted else ""
    return sdbwrite.compile_source(text.replace("@INSERT", entry)
                                   .replace("@TOOL_TAGID", "0x%08X" % tool_tagid))


class StableListing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="shimlist-stable-")
        cls.paths = {}
        for inserted in (False, True):
            # The command line's -t names tool.exe, whose TAGID the first writing shows.
            path = os.path.join(cls.work, "v%d.sdb" % inserted)
            for _ in range(2):
                tool = cls.tool_tagid(path) if os.path.exists(path) else 0
                with open(path, "wb") as f:
                    f.write(references(inserted, tool))
            cls.paths[inserted] = path

    @classmethod
    def tool_tagid(cls, path):
        lines = run(["--utf8", path]).stdout.decode("utf-8").split("\n")
        index = next(i for i, line in enumerate(lines) if line.endswith("NAME: tool.exe"))
        return int(lines[index - 1][2:10], 16)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def stable(self, path):
        result = run(["--stable", path])
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.decode("utf-8").split("\n")

    def test_what_is_left_out_and_rewritten(self):
        lines = self.stable(self.paths[False])
        text = "\n".join(lines)
        for gone in ("0x7802 = INDEXES", "INDEX_BITS", "STRINGTABLE_ITEM: InjectDll",
                     "Shim database file:", self.paths[False]):
            self.assertNotIn(gone, text)
        # Only the table that references read is a copy.
        self.assertEqual(lines[-3:], ["0x7801 = STRINGTABLE", "\t0x8801 = STRINGTABLE_ITEM: a "
                                      "second table, which no reference reads", ""])
        self.assertEqual(lines[:5], ["Shim database version:\t3.0", "",
                                     "TAG    = TAGSTRING: TAGVALUE", "", "0x7001 = DATABASE"])
        for line in ("\t\t\t0x4004 = SHIM_TAGID: DATABASE[References]/LIBRARY/SHIM[VersionLie]",
                     "\t\t\t0x4004 = SHIM_TAGID: DATABASE[References]/LIBRARY/SHIM[InjectDll]",
                     "\t\t\t0x4020 = FLAG_TAGID: DATABASE[References]/LIBRARY/FLAG[NoHeapCheck]",
                     "\t\t\t0x401A = LAYER_TAGID: DATABASE[References]/LAYER[WinXP]",
                     "\t\t0x4801 = TAGID: DATABASE[References]/EXE[app.exe]",
                     # An empty list, and a tag that is no list.
                     "\t\t0x4020 = FLAG_TAGID: DATABASE[References]/LIBRARY/FLAG",
                     "\t\t0x404C = QUIRK_TAGID: DATABASE[References]/EXE[tool.exe]/NAME",
                     "\t\t\t0x4005 = PATCH_TAGID: DATABASE[References]/LIBRARY/PATCH[Patch1]",
                     "\t\t\t0x6008 = COMMAND_LINE: -d{3e1f0c2a-5b7d-4c89-a1e2-9f8d7c6b5a43} "
                     "-t<DATABASE[References]/EXE[tool.exe]> -Apphelp:1",
                     # A TAGID of no tag stays as the listing shows it, and so does text that
                     # is no TAGID; the INDEXES list itself is a tag.
                     "\t\t\t0x4004 = SHIM_TAGID: 0x00FFFFF0",
                     "\t\t\t0x6008 = COMMAND_LINE: -t0x1 -t0xZZ --t<INDEXES> -t0x00000000C",
                     "\t\t\t\t\t Pattern = 0x9090"):
            self.assertIn(line, lines)
        # Everything else is the listing's own line, without its TAGID and first tab.
        plain = run(["--utf8", self.paths[False]]).stdout.decode("utf-8").split("\n")
        kept = [re.sub(r"^0x[0-9A-F]{8}\t", "", line) if TAG_LINE.match(line) else
                line[1:] if line.startswith("\t") else line for line in plain[5:]]
        changed = [line for line in lines[4:] if line not in kept]
        self.assertEqual(len(changed), 10, changed)

    def test_a_diff_shows_only_the_inserted_entry(self):
        before, after = self.stable(self.paths[False]), self.stable(self.paths[True])
        entry = ["\t\t0x7004 = SHIM", "\t\t\t0x6001 = NAME: Inserted",
                 "\t\t\t0x6002 = DESCRIPTION: a new shim", "\t\t\t0x1001 = INCLUDE"]
        opcodes = [op for op in difflib.SequenceMatcher(None, before, after, autojunk=False)
                   .get_opcodes() if op[0] != "equal"]
        self.assertEqual(len(opcodes), 1, opcodes)
        kind, i1, i2, j1, j2 = opcodes[0]
        self.assertEqual((kind, after[j1:j2]), ("insert", entry))
        plain = [run(["--utf8", self.paths[flag]]).stdout.decode("utf-8").split("\n")
                 for flag in (False, True)]
        changed = sum(1 for line in difflib.unified_diff(plain[0], plain[1], lineterm="", n=0)
                      if line[:1] in "+-" and line[:3] not in ("+++", "---"))
        self.assertGreater(changed, 10 * len(entry))

    def test_forms_folders_and_usage(self):
        path = self.paths[False]
        utf8 = run(["--stable", path]).stdout
        exact_path = os.path.join(self.work, "stable.txt")
        with open(exact_path, "wb") as out:
            self.assertEqual(run(["--stable", path], stdout=out).returncode, 0)
        with open(exact_path, "rb") as f:
            exact = f.read()
        self.assertEqual(exact, b"\xff\xfe" + utf8.decode("utf-8").replace(
            "\n", "\r\n").encode("utf-16-le"))
        self.assertEqual(run(["--stable", "--utf16", path]).stdout, exact)
        folder = os.path.join(self.work, "out")
        for option, name, expected in (("--json", "v0.sdb.jsonl", run(["--json", path]).stdout),
                                       ("--stable", "v0.sdb.txt", exact)):
            result = run([option, "-o", folder, path])
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(folder, name), "rb") as f:
                self.assertEqual(f.read(), expected, option)
        for args in (["--json", "--stable"], ["--stable", "--json"], ["--json", "--json"],
                     ["--stable", "--stable"], ["--json", "--utf16"], ["--utf16", "--json"]):
            result = run(args + [path])
            self.assertEqual((result.returncode, result.stdout), (160, b""), args)
            self.assertIn(b"usage: shimlist", result.stderr)
        self.assertEqual(run(["--json", "--utf8", path]).stdout, run(["--json", path]).stdout)


class CutListings(unittest.TestCase):
    """A listing that stops part way: its JSON stays valid line for line."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="shimlist-cut-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_nesting_too_deep_leaves_a_partial_file(self):
        folder = os.path.join(self.work, "deep")
        path = os.path.join(TESTDATA, "hardening_nesting_bomb.sdb")
        listing = run(["--utf8", path])
        result = run(["--json", "-o", folder, path])
        self.assertNotEqual(listing.returncode, 0)
        self.assertEqual(result.returncode, listing.returncode)
        with open(os.path.join(folder, "hardening_nesting_bomb.sdb.jsonl.partial"), "rb") as f:
            got = json_lines(f.read())
        self.assertEqual([o["depth"] for o in got if o["name"] == "LIBRARY"], list(range(256)))
        self.assertFalse(os.path.exists(os.path.join(folder, "hardening_nesting_bomb.sdb.jsonl")))

    def test_the_growth_limit_cuts_an_object_and_says_so(self):
        # Many references to one long text: the listing outgrows the file by far.
        source = 'DATABASE {\n' + '    APP_NAME "%s"\n' % ("x\\\"" * 3000) * 3000 + '}\n'
        path = os.path.join(self.work, "growth.sdb")
        with open(path, "wb") as f:
            f.write(sdbwrite.compile_source(source))
        result = run(["--json", "--max-growth=1", path])
        self.assertEqual(result.returncode, 255)
        self.assertIn(b"exit code 1816", result.stderr)
        got = json_lines(result.stdout)
        self.assertTrue(got[-1].get("cut"), got[-1].keys())
        self.assertTrue(all("cut" not in o for o in got[:-1]))
        self.assertTrue(all(o["name"] == "APP_NAME" and o["value"] == o["raw"]
                            for o in got[1:-1]))


if __name__ == "__main__":
    unittest.main()
