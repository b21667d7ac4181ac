# Checks of the database writer: real databases rebuilt byte for byte, and the layout rules.
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
REAL_TESTDATA = os.path.join(REPO, "tests", "realdb")
sys.path.insert(0, os.path.join(REPO, "sdbwriter"))
import sdbwrite  # noqa: E402

FIXED = {1: 0, 2: 1, 3: 2, 4: 4, 5: 8, 6: 4}


def build(text):
    return sdbwrite.compile_source(text)


def walk(data, start=12, end=None):
    """Independent reader: (tagid, tag, data) of the children between start and end, for
    checking what the writer produced. Steps over pad bytes the way the platform does."""
    end = len(data) if end is None else end
    items = []
    off = start
    while off + 2 <= end:
        tag = struct.unpack_from("<H", data, off)[0]
        kind = tag >> 12
        if kind in FIXED:
            head, size = 2, FIXED[kind]
        else:
            head, size = 6, struct.unpack_from("<I", data, off + 2)[0]
        items.append((off, tag, data[off + head:off + head + size]))
        off += head + size
        off += off & 1
    return items


def children(data, tagid):
    size = struct.unpack_from("<I", data, tagid + 2)[0]
    return walk(data, tagid + 6, tagid + 6 + size)


def read_stringref(data, value):
    table = [i for i in walk(data) if i[1] == 0x7801][0][0]
    item = table + value
    assert struct.unpack_from("<H", data, item)[0] == 0x8801, "reference %#x misses" % value
    size = struct.unpack_from("<I", data, item + 2)[0]
    return data[item + 6:item + 6 + size].decode("utf-16-le").rstrip("\0")


class RealDatabases(unittest.TestCase):
    def check_source(self, name):
        with open(os.path.join(HERE, name + ".sdbtxt"), encoding="utf-8") as f:
            got = build(f.read())
        with open(os.path.join(REAL_TESTDATA, name + ".sdb"), "rb") as f:
            want = f.read()
        first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), None)
        self.assertEqual(got, want, "%s: %d bytes written, %d expected, first difference at %s"
                         % (name, len(got), len(want), first))

    def test_all_tagtypes(self):
        self.check_source("all_tagtypes")

    def test_atomic_shim(self):
        self.check_source("AtomicShimx86")

    def test_custom_database_format_2_3(self):
        self.check_source("app_x32")

    def test_empty_indexes(self):
        self.check_source("T1546.011CompatDatabase")


class Layout(unittest.TestCase):
    def test_header_defaults_and_overrides(self):
        self.assertEqual(build(""), struct.pack("<II", 3, 0) + b"sdbf")
        self.assertEqual(build("version 2 0x30613\nmagic abcd\n"),
                         struct.pack("<II", 2, 0x30613) + b"abcd")

    def test_values_by_type(self):
        data = build('DATABASE {\nINCLUDE\nMATCH_MODE 0x1234\nSIZE -1\nTIME 0x0102030405060708\n'
                     'APP_NAME ref 0x20\n0x8001 "a\\u00e9\\"\\t"\nEXE_ID guid '
                     '{00112233-4455-6677-8899-aabbccddeeff}\n}\n')
        got = [(tag, value) for _, tag, value in children(data, 12)]
        self.assertEqual(got, [
            (0x1001, b""), (0x3001, b"\x34\x12"), (0x4001, b"\xff" * 4),
            (0x5001, bytes(range(8, 0, -1))), (0x6006, b"\x20\0\0\0"),
            (0x8001, 'a\u00e9"\t\0'.encode("utf-16-le")),
            (0x9004, bytes.fromhex("33221100554477668899aabbccddeeff"))])

    def test_list_sizes_count_pad_bytes(self):
        # BYTE data and odd BINARY data are followed by a pad byte that the item's own size
        # leaves out but the enclosing list's size includes.
        data = build("pad 0xDB\nDATABASE {\n0x2001 7\nPATCH_BITS hex 01 02 03\n"
                     "FILE_BITS pad=0x55 hex 09\nDATA_BITS nopad hex 0A\nNAME ref 6\n}\n")
        self.assertEqual(data[12:], bytes.fromhex(
            "0170 23000000" "0120 07 db" "0290 03000000 010203 db" "0390 01000000 09 55"
            "0590 01000000 0a" "0160 06000000"))

    def test_size_override_keeps_data(self):
        data = build("DATABASE size=0xFFFFFFFF {\nPATCH_BITS size=2 hex 01 02 03\n}\n"
                     "0x8001 size=1 \"x\"\n")
        self.assertEqual(data[12:], bytes.fromhex(
            "0170 ffffffff" "0290 02000000 010203 00" "0180 01000000 7800 0000"))

    def test_raw_undefined_types_and_truncate(self):
        data = build("DATABASE {\nraw 00 A0 01\n0xB123 hex 0102\n0x0000\n}\ntruncate 20\n")
        self.assertEqual(data[12:], bytes.fromhex("0170 09000000 00a0"))
        data = build("DATABASE {\nraw 00 A0 01\n0xB123 hex 0102\n0x0000\n}\n")
        self.assertEqual(data[12:], bytes.fromhex("0170 09000000 00a001 23b10102 0000"))

    def test_compressed_header_stream_and_cut(self):
        plain = build("DATABASE {\nNAME \"x\"\n}\n")
        for text, method, size, length in [
                ("compress\n", 1, len(plain), None),
                ("compress method=7 size=0x10\n", 7, 16, None),
                ("compress size=-1\ntruncate 22\n", 1, 0xFFFFFFFF, 22)]:
            with self.subTest(text=text):
                data = build("DATABASE {\nNAME \"x\"\n}\n" + text)
                self.assertEqual(struct.unpack_from("<II4sII", data),
                                 (3, 0, b"zdbf", method, size))
                if length is None:
                    self.assertEqual(zlib.decompress(data[20:]), plain)
                else:
                    self.assertEqual(data, sdbwrite.compress(plain, size=size)[:length])
        with self.assertRaises(sdbwrite.SdbSourceError):
            build("compress level=9\n")

    def test_nest_builds_deep_trees(self):
        start = time.monotonic()
        data = build("nest 100000 LIBRARY {\nNAME ref 0\n}\nnest 2 LAYER { }\n")
        elapsed = time.monotonic() - start
        print("nest 100000: %.2f s, %d bytes" % (elapsed, len(data)))
        self.assertEqual(len(data), 12 + 6 * 100000 + 6 + 12)
        for level in (0, 1, 99998, 99999):
            tagid = 12 + 6 * level
            self.assertEqual(struct.unpack_from("<HI", data, tagid),
                             (0x7002, 6 * (100000 - level - 1) + 6),
                             "level %d" % level)
        self.assertEqual(data[-18:], bytes.fromhex("0160 00000000 0b70 06000000 0b70 00000000"))


class StringTable(unittest.TestCase):
    def test_references_are_shared_and_in_first_use_order(self):
        data = build('DATABASE {\nNAME "b"\nAPP_NAME "a"\nVENDOR "b"\nNAME ""\n}\n')
        (db, _, _), (table, tag, _) = walk(data)
        self.assertEqual(tag, 0x7801)
        refs = [struct.unpack("<I", v)[0] for _, _, v in children(data, db)]
        self.assertEqual(refs, [6, 6 + 10, 6, 6 + 20])
        self.assertEqual([read_stringref(data, r) for r in refs], ["b", "a", "b", ""])
        self.assertEqual([(t, v) for _, t, v in children(data, table)],
                         [(0x8801, b"b\0\0\0"), (0x8801, b"a\0\0\0"), (0x8801, b"\0\0")])

    def test_placed_table_and_preset_order(self):
        data = build('strings "z"\nSTRINGTABLE auto\nDATABASE {\nNAME "x" * 3\nVENDOR "z"\n}\n')
        (table, tag, _), (db, _, _) = walk(data)
        self.assertEqual((table, tag), (12, 0x7801))
        self.assertEqual([v.decode("utf-16-le") for _, _, v in children(data, table)],
                         ["z\0", "xxx\0"])
        refs = [struct.unpack("<I", v)[0] for _, _, v in children(data, db)]
        self.assertEqual([read_stringref(data, r) for r in refs], ["xxx", "z"])

    def test_long_strings(self):
        data = build('DATABASE {\nNAME "ab" * 20000\n}\n')
        self.assertEqual(read_stringref(data, 6), "ab" * 20000)

    def test_no_table(self):
        self.assertEqual(build("stringtable none\nNAME ref 6\n")[12:], bytes.fromhex("0160 06000000"))
        with self.assertRaises(sdbwrite.SdbSourceError) as e:
            build('stringtable none\nNAME "x"\n')
        self.assertEqual(e.exception.line, 2)


class PatchRecords(unittest.TestCase):
    def test_record_layout(self):
        data = build('PATCH_BITS patch {\nmatch module "kernel32.dll" rva 0x1000 pattern 8B FF 00\n'
                     'replace unknown 7 pattern 90\nrecord action 3 size 9 length 1 modulebytes 41 00 42\n'
                     "end\nraw EE\n}\n")
        tag, size = struct.unpack_from("<HI", data, 12)
        self.assertEqual((tag, size), (0x9002, 87 + 85 + 84 + 8 + 1))
        body = data[18:18 + size]
        module = "kernel32.dll".encode("utf-16-le").ljust(64, b"\0")
        self.assertEqual(body[:87], struct.pack("<5I", 4, 87, 3, 0x1000, 0) + module + b"\x8b\xff\0")
        self.assertEqual(body[87:172], struct.pack("<5I", 2, 85, 1, 0, 7) + bytes(64) + b"\x90")
        self.assertEqual(body[172:256], struct.pack("<5I", 3, 9, 1, 0, 0) + b"A\0B".ljust(64, b"\0"))
        self.assertEqual(body[256:], bytes(8) + b"\xee")
        self.assertEqual(len(data), 18 + size + 1, "odd patch data needs its pad byte")

    def test_long_module_name_loses_terminator(self):
        for name, field in (("m" * 31, ("m" * 31).encode("utf-16-le") + b"\0\0"),
                            ("m" * 32, ("m" * 32).encode("utf-16-le")),
                            ("m" * 40, ("m" * 32).encode("utf-16-le"))):
            data = build('PATCH_BITS patch {\nreplace module "%s"\n}\n' % name)
            self.assertEqual(data[18 + 20:18 + 84], field, "module of %d characters" % len(name))


class Indexes(unittest.TestCase):
    def test_entries_sorted_with_label_targets(self):
        data = build('INDEXES {\nINDEX {\nINDEX_BITS index {\n"zeta.exe" @z\n"Alpha.exe" @a\n'
                     '0x1 0x1234\n}\n}\n}\nDATABASE {\nEXE label=a { }\nEXE label=z { }\n}\n')
        bits = children(data, 18)[0]
        self.assertEqual(bits[1], 0x9801)
        entries = [struct.unpack_from("<QI", bits[2], i) for i in range(0, len(bits[2]), 12)]
        exe_a, exe_z = [t for t, _, _ in children(data, walk(data)[1][0])]
        self.assertEqual(entries, [(1, 0x1234), (0x414C5048412E4558, exe_a),
                                   (0x5A4554412E455845, exe_z)])

    def test_string_key_skips_zero_bytes_and_stops_at_eight(self):
        self.assertEqual(sdbwrite.string_index_key("ab"), 0x4142 << 48)
        self.assertEqual(sdbwrite.string_index_key("atomictest.exe").to_bytes(8, "little"),
                         b"ETCIMOTA")

    def test_dword_label_value(self):
        data = build("DATABASE {\nTAGID @x\nLAYER label=x { }\n}\n")
        self.assertEqual(struct.unpack_from("<I", data, 20)[0], 24)


class SourceErrors(unittest.TestCase):
    CASES = [
        ("DATABASE {\nNAME \"x\"\n", 1, "never closed"),
        ("}\n", 1, "without an open"),
        ("DATABASE {\nBOGUS 1\n}\n", 2, "unknown tag name 'BOGUS'"),
        ("MATCH_MODE 0x10000\n", 1, "does not fit in 2 bytes"),
        ('NAME "abc\n', 1, "unterminated string"),
        ("TAGID @nowhere\n", 1, "undefined label @nowhere"),
        ("EXE label=a { }\nEXE label=a { }\n", 2, "defined twice"),
        ("DATABASE {\nversion 2 1\n}\n", 2, "only allowed outside lists"),
        ("PATCH_BITS patch {\nreplace rva\n}\n", 2, "needs a value"),
        ("PATCH_BITS patch {\nreplace modulebytes %s\n}\n" % ("00 " * 65), 2, "65 bytes"),
        ("NAME size=4 ref 6\n", 1, "size= only applies"),
        ("nest 3 NAME {\n}\n", 1, "LIST tag"),
    ]

    def test_messages_name_the_line(self):
        for text, line, words in self.CASES:
            with self.subTest(text=text):
                with self.assertRaises(sdbwrite.SdbSourceError) as e:
                    build(text)
                self.assertEqual(e.exception.line, line, str(e.exception))
                self.assertIn(words, e.exception.message)

    def test_command_line(self):
        tool = os.path.join(REPO, "sdbwriter", "sdbwrite.py")
        with tempfile.TemporaryDirectory() as tmp:
            src, out = os.path.join(tmp, "a.sdbtxt"), os.path.join(tmp, "a.sdb")
            with open(src, "w") as f:
                f.write("DATABASE {\n}\n")
            r = subprocess.run([sys.executable, tool, src, out], capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            with open(out, "rb") as f:
                plain = f.read()
            self.assertEqual(plain[12:], bytes.fromhex("0170 00000000"))
            r = subprocess.run([sys.executable, tool, "--compress", src, out], capture_output=True,
                               text=True)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            with open(out, "rb") as f:
                self.assertEqual(f.read(), sdbwrite.compress(plain))
            with open(src, "w") as f:
                f.write("DATABASE {\n  NOPE\n}\n")
            r = subprocess.run([sys.executable, tool, src, out], capture_output=True, text=True)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr, "%s:2: unknown tag name 'NOPE'\n" % src)


class ExampleDatabase(unittest.TestCase):
    """The shipped example must be a consistent database: every list ends exactly where its
    children end, every string reference lands on a table item, and every index entry finds an
    item of the indexed tag, in key order."""

    @classmethod
    def setUpClass(cls):
        with open(os.path.join(REPO, "examples", "example.sdbtxt"), encoding="utf-8") as f:
            cls.data = build(f.read())

    def all_items(self):
        pending, found = [(12, len(self.data))], []
        while pending:
            start, end = pending.pop()
            items = walk(self.data, start, end)
            if items:
                last, tag, value = items[-1]
                head = 6 if tag >> 12 in (7, 8, 9) else 2
                stop = last + head + len(value)
                self.assertEqual(stop + (stop & 1), end, "children of %#x..%#x overrun" % (start, end))
            for tagid, tag, value in items:
                found.append((tagid, tag, value))
                if tag >> 12 == 7:
                    pending.append((tagid + 6, tagid + 6 + len(value)))
        return found

    def test_root_order_and_lists(self):
        self.assertEqual([t for _, t, _ in walk(self.data)], [0x7802, 0x7001, 0x7801])
        items = self.all_items()
        self.assertGreater(len(items), 100)
        refs = [struct.unpack("<I", v)[0] for _, t, v in items if t >> 12 == 6]
        self.assertEqual(len(refs), 43)
        for ref in refs:
            read_stringref(self.data, ref)

    def test_indexes_find_their_items(self):
        items = {tagid: (tag, value) for tagid, tag, value in self.all_items()}
        indexes = [i for i in items.values() if i[0] == 0x7803]
        self.assertEqual(len(indexes), 5)
        entries_seen = 0
        for tagid, (tag, _) in items.items():
            if tag != 0x7803:
                continue
            fields = {t: v for _, t, v in children(self.data, tagid)}
            indexed = struct.unpack("<H", fields[0x3802])[0]
            key_tag = struct.unpack("<H", fields[0x3803])[0]
            bits = fields[0x9801]
            entries = [struct.unpack_from("<QI", bits, i) for i in range(0, len(bits), 12)]
            self.assertEqual(entries, sorted(entries, key=lambda e: e[0]))
            for key, target in entries:
                self.assertEqual(items[target][0], indexed, "entry %#x -> %#x" % (key, target))
                if key_tag == 0x6001:
                    name = [v for _, t, v in children(self.data, target) if t == 0x6001][0]
                    text = read_stringref(self.data, struct.unpack("<I", name)[0])
                    self.assertEqual(key, sdbwrite.string_index_key(text), text)
                entries_seen += 1
        self.assertEqual(entries_seen, 8)


if __name__ == "__main__":
    unittest.main()
