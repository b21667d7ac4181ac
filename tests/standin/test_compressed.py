"""Compressed databases through the stand-in, end to end: listed like their unpacked twins, refused
with their own exit code and nothing else when damaged."""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from harness import ScratchTest, run, windows_path  # noqa: E402

SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
import sdbwrite  # noqa: E402

TESTDATA = os.environ.get("SHIMLIST_TESTDATA", "")
REAL_TESTDATA = os.path.join(SOURCE_DIR, "tests", "realdb")
PACKED_HEADER = 20

ERROR_BAD_FORMAT = 11
ERROR_INVALID_DATA = 13
ERROR_CRC = 23
ERROR_BAD_LENGTH = 24
ERROR_HANDLE_EOF = 38
ERROR_FILE_TOO_LARGE = 223
ERROR_MORE_DATA = 234
ERROR_UNSUPPORTED_COMPRESSION = 618
VERSION_LINE = "Shim database version: 3.0\n"


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def refusals(database):
    """(name, file bytes, exit code, version shown) of compressed files made from database that
    are refused. The version query unpacks only the database's header: a file whose first twelve
    unpacked bytes are a database header shows its version, and then fails to open."""
    packed = sdbwrite.compress(database)
    ceiling = 0x10000000
    return [
        ("unknown method", sdbwrite.compress(database, method=2),
         ERROR_UNSUPPORTED_COMPRESSION, False),
        ("method 0", sdbwrite.compress(database, method=0), ERROR_UNSUPPORTED_COMPRESSION,
         False),
        ("declared size 0", sdbwrite.compress(database, size=0), ERROR_INVALID_DATA, False),
        ("declared size below a header", sdbwrite.compress(database, size=11),
         ERROR_INVALID_DATA, False),
        ("declared size above the ceiling", sdbwrite.compress(database, size=ceiling + 1),
         ERROR_FILE_TOO_LARGE, False),
        ("declared size far above the ceiling", sdbwrite.compress(database, size=0xFFFFFFFF),
         ERROR_FILE_TOO_LARGE, False),
        # Room for the ceiling is taken: the stream's shortfall is found, not a lack of memory.
        ("declared size at the ceiling", sdbwrite.compress(database, size=ceiling),
         ERROR_BAD_LENGTH, True),
        ("damaged zlib header", flip(packed, PACKED_HEADER), ERROR_CRC, False),
        ("damaged check sum", flip(packed, len(packed) - 1), ERROR_CRC, True),
        ("bytes after the stream", packed + b"\0\0\0\0", ERROR_CRC, True),
        ("header cut short", packed[:16], ERROR_HANDLE_EOF, False),
        ("stream ends early", packed[:len(packed) // 2], ERROR_HANDLE_EOF, True),
        ("stream ends inside the header", packed[:PACKED_HEADER + 2], ERROR_HANDLE_EOF, False),
        ("stream lacks its check sum", packed[:-4], ERROR_HANDLE_EOF, True),
        ("more bytes than declared", sdbwrite.compress(database, size=len(database) - 2),
         ERROR_MORE_DATA, True),
        ("fewer bytes than declared", sdbwrite.compress(database, size=len(database) + 2),
         ERROR_BAD_LENGTH, True),
        ("unpacks to less than a header", sdbwrite.compress(database[:8], size=12),
         ERROR_BAD_LENGTH, False),
        ("unpacked data not a database", sdbwrite.compress(b"not a database\n" * 8),
         ERROR_BAD_FORMAT, False),
        ("compressed twice", sdbwrite.compress(packed), ERROR_BAD_FORMAT, False),
    ]


class CompressedTest(ScratchTest):
    SCRATCH_PREFIX = "shimlist-zdbf-"

    def test_lists_like_its_unpacked_twin(self):
        # A database of its header alone is the smallest size a compressed file may declare.
        twins = [os.path.join(TESTDATA, name) for name in (
            "every_rendering.sdb", "standin_header_only.sdb")] + sorted(
            os.path.join(TESTDATA, name) for name in os.listdir(REAL_TESTDATA)
            if name.endswith(".sdb"))
        for plain in twins:
            with self.subTest(database=os.path.basename(plain)):
                packed = self.write("packed.sdb", sdbwrite.compress(read(plain)))
                want, got = run([windows_path(plain)]), run([windows_path(packed)])
                self.assertEqual(got.exit_code, want.exit_code, got.console)
                self.assertEqual(got.console, want.console)
                self.assertTrue(got.console.startswith("Shim database version: "), got.console)
                # Only the header's first line, the path, differs.
                first_line = "\ufeffShim database file:\t%s\r\n"
                self.assertEqual(got.stdout[:len(first_line % windows_path(packed)) * 2],
                                 (first_line % windows_path(packed)).encode("utf-16-le"))
                self.assertEqual(got.stdout[len(first_line % windows_path(packed)) * 2:],
                                 want.stdout[len(first_line % windows_path(plain)) * 2:])
                self.assertGreater(len(got.stdout), len(first_line % windows_path(packed)) * 2)

    def test_refusals(self):
        every = read(os.path.join(TESTDATA, "every_rendering.sdb"))
        for name, data, code, version in refusals(every):
            with self.subTest(case=name):
                path = windows_path(self.write("refused.sdb", data))
                result = run([path])
                self.assertEqual(result.exit_code, code, result.console)
                self.assertEqual(result.console, (VERSION_LINE if version else "") +
                                 "SdbOpenDatabase() returned NULL for file '%s'\n" % path)
                self.assertEqual(result.stdout, b"")

if __name__ == "__main__":
    unittest.main()
