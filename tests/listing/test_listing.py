# End-to-end tests of the listing: shimlist over written and real databases, compared byte for byte.
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))

import sdbwrite  # noqa: E402
from harness import ENGINE, also_wine, full_disk, load_tests, run, windows_path  # noqa: E402,F401
from reference_listing import expected_header, expected_listing, path_note  # noqa: E402

TESTDATA = os.environ.get("SHIMLIST_TESTDATA") or os.path.join(SOURCE_DIR, "tests", "realdb")
REAL_DATABASES = ("AtomicShimx86.sdb", "T1546.011CompatDatabase.sdb", "all_tagtypes.sdb",
                  "app_x32.sdb", "app_x64.sdb")
VERSION_LINE = "Shim database version: 3.0\n"


def utf16(text):
    return text.encode("utf-16-le", "surrogatepass")


def damage(code, line):
    """The exit code and the library's line on a damaged database: natively the command says
    what the open found; the Windows program knows nothing of it and lists as before."""
    return (code, line) if ENGINE == "native" else (0, None)


class ListingTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="shimlist-listing-")
        self.addCleanup(self.tmp.cleanup)

    def write_database(self, source, directory=None):
        data = sdbwrite.compile_source(textwrap.dedent(source))
        path = os.path.join(directory or self.tmp.name, "test.sdb")
        with open(path, "wb") as f:
            f.write(data)
        return path, data

    def listing_of(self, result, path, major=3, minor=0):
        """The listing after the header; fails unless the header is there as expected."""
        header = utf16(expected_header(path, major, minor))
        self.assertEqual(result.stdout[:len(header)], header)
        return result.stdout[len(header):]

    def run_source(self, source, expected=None, console="", outcome=(0, None)):
        """Lists a written database; compares with the reference and, if given, with the
        hand-written listing and console text, and with the outcome (exit code and damage
        line). Returns the listing as text."""
        path, data = self.write_database(source)
        result = run([path])
        self.assertEqual((result.exit_code, result.damage), outcome, result)
        body = self.listing_of(result, path)
        reference, _ = expected_listing(data)
        self.assertEqual(body, utf16(reference))
        if expected is not None:
            self.assertEqual(body, utf16(expected))
        self.assertEqual(result.console, VERSION_LINE + console)
        return body.decode("utf-16-le", "surrogatepass")

    def test_every_type(self):
        # TAGIDs counted by hand: 12-byte header, items of 2 (NULL), 4 (WORD), 6 (DWORD,
        # STRINGREF, list and binary headers), 10 (QWORD) bytes, data padded to even lengths.
        self.run_source("""
            DATABASE {
                INCLUDE
                MATCH_MODE 0xFFFF
                MATCH_MODE 0x1234
                SIZE 0xFFFFFFFF
                SIZE 0x10
                DATA_QWORD 0xFFFFFFFFFFFFFFFF
                DATA_QWORD 0xFFFFFFFF00000001
                NAME "ref"
                0x8001 "inline"
                DATA_BITS
                DATA_BITS hex 00 AB 10
                LIBRARY { }
                0x2001 7
            }
            """,
            "0x0000000C\t0x7001 = DATABASE\r\n"
            "0x00000012\t\t0x1001 = INCLUDE\r\n"
            "0x00000014\t\t0x3001 = MATCH_MODE\r\n"
            "0x00000018\t\t0x3001 = MATCH_MODE: 0x1234\r\n"
            "0x0000001C\t\t0x4001 = SIZE\r\n"
            "0x00000022\t\t0x4001 = SIZE: 0x00000010\r\n"
            "0x00000028\t\t0x5007 = DATA_QWORD\r\n"
            "0x00000032\t\t0x5007 = DATA_QWORD: 0xFFFFFFFF00000001\r\n"
            "0x0000003C\t\t0x6001 = NAME: ref\r\n"
            "0x00000042\t\t0x8001 = InvalidTag: inline\r\n"
            "0x00000056\t\t0x9005 = DATA_BITS\r\n"
            "0x0000005C\t\t0x9005 = DATA_BITS: 0x00AB10\r\n"
            "0x00000066\t\t0x7002 = LIBRARY\r\n"
            "0x0000006C\t\t0x2001 = InvalidTag: 0x07\r\n"
            "0x00000070\t0x7801 = STRINGTABLE\r\n"
            "0x00000076\t\t0x8801 = STRINGTABLE_ITEM: ref\r\n")

    def test_root_without_children(self):
        # A file of its header alone has no root list: it is cut short.
        self.run_source("", "", outcome=damage(38, "the database is cut short: the tag at "
                                               "0x0000000C needs 2 bytes past the end of the file"))

    def test_version_with_the_top_bit_set(self):
        # The version's numbers are unsigned 32 bits, in the header and on the console alike.
        path, _ = self.write_database("version 3 4294967295\nINCLUDE\n")
        result = run([path])
        self.assertEqual(result.console, "Shim database version: 3.4294967295\n")
        self.assertEqual(self.listing_of(result, path, 3, 4294967295),
                         utf16("0x0000000C\t0x1001 = INCLUDE\r\n"))

    def test_undefined_types(self):
        for raw, tag in (("00 00", "0x0000"), ("00 A0", "0xA000")):
            with self.subTest(tag=tag):
                path, _ = self.write_database("INCLUDE\nraw %s\nINCLUDE\n" % raw)
                result = run([path])
                self.assertEqual(self.listing_of(result, path), utf16(
                    "0x0000000C\t0x1001 = INCLUDE\r\n"
                    "0x0000000E\t%s = InvalidTag\r\n"
                    "0x00000010\t0x1001 = INCLUDE\r\n" % tag))
                self.assertEqual(result.console,
                                 VERSION_LINE + "Undefined TAG_TYPE %s for TAGID 0x0000000E\n" % tag)
                # No top-level tag is of an undefined type: from there on the file is no tag.
                self.assertEqual((result.exit_code, result.damage), damage(
                    1392, "the database is damaged: 4 bytes at 0x0000000E, after its last tag, "
                    "are no tag"))

    def test_long_string_is_written_whole(self):
        self.run_source("""
            stringtable none
            0x8001 "ab" * 10000
            INCLUDE
            """,
            "0x0000000C\t0x8001 = InvalidTag: " + "ab" * 10000 + "\r\n"
            "0x00009C54\t0x1001 = INCLUDE\r\n")

    def test_nesting_past_the_indent_run(self):
        lines = ["0x%08X%s0x7002 = LIBRARY\r\n" % (12 + 6 * n, "\t" * min(n + 1, 10))
                 for n in range(12)]
        lines.append("0x%08X%s0x1001 = INCLUDE\r\n" % (12 + 6 * 12, "\t" * 10))
        self.run_source("nest 12 LIBRARY {\n    INCLUDE\n}\n", "".join(lines))

    def test_nesting_past_the_depth_limit(self):
        # 300 nested lists: the first 256 levels are listed, the children of the list at the
        # last of them are not; the root's next child still is.
        path, _ = self.write_database("nest 300 LIBRARY {\n    INCLUDE\n}\nINCLUDE\n")
        result = run([path])
        lines = ["0x%08X%s0x7002 = LIBRARY\r\n" % (12 + 6 * n, "\t" * min(n + 1, 10))
                 for n in range(256)]
        lines.append("0x%08X\t0x1001 = INCLUDE\r\n" % (12 + 6 * 300 + 2))
        self.assertEqual(self.listing_of(result, path), utf16("".join(lines)))
        self.assertEqual(result.console, VERSION_LINE + "Lists nest deeper than 256 levels: the "
                         "children of TAGID 0x%08X are not listed\n" % (12 + 6 * 255))
        self.assertEqual(result.exit_code, 1001, result)

    def test_nesting_limit_exit_code_outlasts_the_rest_of_the_walk(self):
        # Whatever the walk does after the cut (a conversion that fails and sets the last error,
        # more lists, a list cut twice), the run ends with ERROR_STACK_OVERFLOW.
        for after in ("TIME 0x8000000000000000\n",
                      "LIBRARY {\n    TIME 0x8000000000000000\n}\nLINK_DATE 0\n",
                      "nest 300 LIBRARY {\n}\nTIME 0xFFFFFFFFFFFFFFF0\n"):
            with self.subTest(after=after):
                path, _ = self.write_database("nest 300 LIBRARY {\n    INCLUDE\n}\n" + after)
                result = run([path])
                self.assertEqual(result.exit_code, 1001, result)
                self.assertIn("FileTimeToSystemTime", result.console)

    def test_times(self):
        body = self.run_source("""
            DATABASE {
                LINK_DATE 0
                LINK_DATE 86400
                LINK_DATE 172800
                LINK_DATE 259200
                LINK_DATE 345600
                LINK_DATE 432000
                LINK_DATE 518400
                UPTO_LINK_DATE 1709210096
                UPTO_LINK_DATE 0xFFFFFFFE
                LINK_DATE 0xFFFFFFFF
                FROM_LINK_DATE 0
                TIME 0
                TIME 0x01DA6B0BB36F2970
                TIME 0x7FFFFFFFFFFFFFFF
                TIME 0xFFFFFFFFFFFFFFFF
            }
            """)
        for line in ("0x401D = LINK_DATE: Thursday, 1970-01-01 00:00:00.000 UTC\r\n",
                     "0x401D = LINK_DATE: Friday, 1970-01-02 00:00:00.000 UTC\r\n",
                     "0x401D = LINK_DATE: Saturday, 1970-01-03 00:00:00.000 UTC\r\n",
                     "0x401D = LINK_DATE: Sunday, 1970-01-04 00:00:00.000 UTC\r\n",
                     "0x401D = LINK_DATE: Monday, 1970-01-05 00:00:00.000 UTC\r\n",
                     "0x401D = LINK_DATE: Tuesday, 1970-01-06 00:00:00.000 UTC\r\n",
                     "0x401D = LINK_DATE: Wednesday, 1970-01-07 00:00:00.000 UTC\r\n",
                     "0x401E = UPTO_LINK_DATE: Thursday, 2024-02-29 12:34:56.000 UTC\r\n",
                     "0x401E = UPTO_LINK_DATE: Sunday, 2106-02-07 06:28:14.000 UTC\r\n",
                     "0x401D = LINK_DATE\r\n",
                     "0x4033 = FROM_LINK_DATE: 0x00000000\r\n",
                     "0x5001 = TIME: Monday, 1601-01-01 00:00:00.000 UTC\r\n",
                     "0x5001 = TIME: Thursday, 2024-02-29 12:34:56.007 UTC\r\n",
                     "0x5001 = TIME: Thursday, 30828-09-14 02:48:05.477 UTC\r\n",
                     "0x5001 = TIME\r\n"):
            self.assertIn("\t\t" + line, body)

    def test_time_that_cannot_be_converted(self):
        path, _ = self.write_database("TIME 0x8000000000000000\nINCLUDE\n")
        result = run([path])
        self.assertEqual(self.listing_of(result, path), utf16(
            "0x0000000C\t0x5001 = TIME: 0x8000000000000000\r\n"
            "0x00000016\t0x1001 = INCLUDE\r\n"))
        self.assertRegex(result.console,
                         r"\A" + re.escape(VERSION_LINE) + r"FileTimeToSystemTime\(\) returned error \d+\n\Z")

    def test_versions_and_guids(self):
        body = self.run_source("""
            EXE {
                BIN_FILE_VERSION 0x0005000100020003
                BIN_PRODUCT_VERSION 0xFFFF000000010002
                UPTO_BIN_PRODUCT_VERSION 0x0006000125804000
                UPTO_BIN_FILE_VERSION 0xFFFFFFFFFFFFFFFF
                DATABASE_ID guid 11111111-1111-1111-1111-111111111111
                EXE_ID guid 01234567-89ab-cdef-fedc-ba9876543210
                MSI_PACKAGE_ID guid 76543210-fedc-ba98-0123-456789abcdef
                CONTEXT_PLATFORM_ID guid 00000000-0000-0000-0000-000000000001
                CONTEXT_BRANCH_ID guid f0e1d2c3-b4a5-9687-7869-5a4b3c2d1e0f
                FIX_ID guid 11111111-2222-3333-4444-555555555555
                APP_ID guid aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee
                EXE_ID hex 00112233445566778899AABBCCDDEEFF00112233
                DATA_BITS hex 00112233445566778899AABBCCDDEEFF
            }
            """)
        for line in ("0x5002 = BIN_FILE_VERSION: 5.1.2.3\r\n",
                     "0x5003 = BIN_PRODUCT_VERSION: 65535.0.1.2\r\n",
                     "0x5006 = UPTO_BIN_PRODUCT_VERSION: 6.1.9600.16384\r\n",
                     "0x500D = UPTO_BIN_FILE_VERSION\r\n",
                     "0x9007 = DATABASE_ID: {11111111-1111-1111-1111-111111111111}\r\n",
                     "0x9004 = EXE_ID: {01234567-89ab-cdef-fedc-ba9876543210}\r\n",
                     "0x9006 = MSI_PACKAGE_ID: {76543210-fedc-ba98-0123-456789abcdef}\r\n",
                     "0x9008 = CONTEXT_PLATFORM_ID: {00000000-0000-0000-0000-000000000001}\r\n",
                     "0x9009 = CONTEXT_BRANCH_ID: {f0e1d2c3-b4a5-9687-7869-5a4b3c2d1e0f}\r\n",
                     "0x9010 = FIX_ID: {11111111-2222-3333-4444-555555555555}\r\n",
                     "0x9011 = APP_ID: {aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}\r\n",
                     "0x9004 = EXE_ID: 0x00112233445566778899AABBCCDDEEFF00112233\r\n",
                     "0x9005 = DATA_BITS: 0x00112233445566778899AABBCCDDEEFF\r\n"):
            self.assertIn("\t\t" + line, body)

    def test_patch_records(self):
        body = self.run_source("""
            stringtable none
            PATCH_BITS patch { }
            PATCH_BITS patch {
                replace module "kernel32.dll" rva 0x1000 unknown 0 pattern 90 90
                end
            }
            PATCH_BITS patch {
                record action 3 module "skipped.dll" rva 0x10 pattern CC
                match module "ntdll.dll" rva 0xABCDEF unknown 0xFEEDF00D pattern 8B FF 55
                end
                replace module "after.dll" rva 0x20 pattern 90
            }
            PATCH_BITS patch {
                match module "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345" rva 0x30 unknown 1 pattern 41 00 42 00
                end
            }
            PATCH_BITS patch {
                match modulebytes 61 00 00 00 51 00 37 00 51 00 rva 0x40 unknown 2
                end
                raw DE AD BE EF
            }
            """)
        indent = "\t\t\t "
        blocks = (
            ":\r\n%sAction  = 2 (REPLACE)\r\n%sModule  = kernel32.dll\r\n%sRVA     = 0x00001000\r\n"
            "%sLength  = 2\r\n%sPattern = 0x9090\r\n%sUnknown = 0x00000000\r\n",
            ":\r\n%sAction  = 4 (MATCH)\r\n%sModule  = ntdll.dll\r\n%sRVA     = 0x00ABCDEF\r\n"
            "%sLength  = 3\r\n%sPattern = 0x8BFF55\r\n%sUnknown = 0xFEEDF00D\r\n0x",
            ":\r\n%sAction  = 4 (MATCH)\r\n%sModule  = ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\r\n"
            "%sRVA     = 0x00000030\r\n%sLength  = 4\r\n%sPattern = 0x41004200\r\n"
            "%sUnknown = 0x00000001\r\n0x",
            ":\r\n%sAction  = 4 (MATCH)\r\n%sModule  = a\r\n%sRVA     = 0x00000040\r\n"
            "%sLength  = 0\r\n%sPattern = 0x\r\n%sUnknown = 0x00000002\r\n")
        for block in blocks:
            self.assertIn("0x9002 = PATCH_BITS" + block % ((indent,) * 6), body)
        self.assertTrue(body.startswith("0x0000000C\t0x9002 = PATCH_BITS:\r\n0x00000012\t"), body)
        for hidden in ("skipped", "after.dll", "Action  = 3", "Q7Q", "DEADBEEF"):
            self.assertNotIn(hidden, body)

    def test_patch_records_deeper_than_the_indent_run(self):
        body = self.run_source("""
            nest 7 LIBRARY {
                PATCH_BITS patch {
                    match module "m.dll" rva 0x1 pattern 01
                    end
                }
            }
            """)
        self.assertIn("\t" * 8 + "0x9002 = PATCH_BITS:\r\n" + "\t" * 10 + " Action  = 4 (MATCH)\r\n",
                      body)
        self.assertNotIn("\t" * 11, body)

    def test_malformed_patch_records(self):
        cases = (
            ("record action 2 size 0 rva 1", 0, "its size is 0"),
            ("match rva 1 size 200 pattern 01", 0, "its size reaches beyond the data"),
            ("record action 4 size 40 pattern 01 02\n    raw 00 00 00 00 00 00 00 00 00 00 00 00 "
             "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
             "00 00 00 00 00 00 00 00 00 00", 0, "its size is smaller than a record header"),
            ("match rva 1 length 9 pattern 01 02", 0, "its pattern reaches beyond the record"),
            ("match rva 1 pattern 01\n    raw 01 02 03 04 05", 85,
             "fewer bytes are left than an action and a size take"),
            ("raw 02 00 00 00 3C 00 00 00 00 00 00 00", 0,
             "fewer bytes are left than a record header takes"),
        )
        for records, offset, reason in cases:
            with self.subTest(reason=reason):
                source = "DATABASE {\n    PATCH_BITS patch {\n    %s\n    }\n}\nINCLUDE\n" % records
                path, data = self.write_database(source)
                result = run([path])
                body = self.listing_of(result, path)
                reference, _ = expected_listing(data)
                self.assertEqual(body, utf16(reference))
                text = body.decode("utf-16-le")
                self.assertRegex(text, r"\r\n\t\t\t\t Rest    = 0x([0-9A-F]{2})+\r\n0x[0-9A-F]{8}\t0x1001 = INCLUDE\r\n\Z")
                self.assertEqual(result.console, VERSION_LINE + "Patch record at offset %d of the data "
                                 "of TAGID 0x00000012 cannot be decoded: %s; the rest is shown "
                                 "undecoded\n" % (offset, reason))

    def test_real_databases(self):
        for name in REAL_DATABASES:
            with self.subTest(database=name):
                path = os.path.join(TESTDATA, name)
                with open(path, "rb") as f:
                    data = f.read()
                major = int.from_bytes(data[0:4], "little")
                minor = int.from_bytes(data[4:8], "little")
                result = run([path])
                self.assertEqual(result.exit_code, 0, result)
                reference, _ = expected_listing(data)
                self.assertEqual(self.listing_of(result, path, major, minor), utf16(reference))
                self.assertEqual(result.console, "Shim database version: %d.%d\n" % (major, minor))

    def test_forged_lines(self):
        # Line ends with forged line heads, every other control character, DEL, C1 controls,
        # the Unicode line separators and unpaired surrogates, in string references, inline
        # strings and patch module names: one line per tag and per record field, each text shown
        # as data on its own line; the console names the first tag that needed replacements and
        # closes with the total of all of them.
        path = os.path.join(TESTDATA, "forged_lines.sdb")
        with open(path, "rb") as f:
            data = f.read()
        result = run([path])
        self.assertEqual(result.exit_code, 0, result)
        body = self.listing_of(result, path)
        pictures = "".join(chr(0x2400 + c) for c in range(1, 32) if c not in (9, 10, 13))
        forged = "x\u240d\u240a0x00000120\t\t0x6001 = NAME: harmless.exe"
        breaks = "cr\u240dlf\u240acrlf\u240d\u240als\u21b5ps\u00b6nel\u2424del\u2421tab\tend"
        plain = "plain: no replacement \u2424 \u00b6 \ufffd"
        record = "".join("\t\t\t\t %s\r\n" % field for field in (
            "Action  = %s", "Module  = %s", "RVA     = 0x%s", "Length  = %s", "Pattern = 0x%s",
            "Unknown = 0x00000000"))
        expected = (
            "0x0000000C\t0x7001 = DATABASE\r\n"
            "0x00000012\t\t0x6001 = NAME: " + forged + "\r\n"
            "0x00000018\t\t0x6006 = APP_NAME: " + breaks + "\r\n"
            "0x0000001E\t\t0x6005 = VENDOR: " + pictures + "\r\n"
            "0x00000024\t\t0x8002 = InvalidTag: high \ufffd low \ufffd pair \U0001F600 reversed "
            "\ufffd\ufffd end \ufffd\r\n"
            "0x00000078\t\t0x6009 = COMPANY_NAME: " + plain + "\r\n"
            "0x0000007E\t\t0x9002 = PATCH_BITS:\r\n"
            + record % ("2 (REPLACE)", "k\u240d\u240a0x0000000C\t0x7001 = DATABASE", "00001000",
                        "1", "90")
            + record % ("4 (MATCH)", "u\u21b5\ufffd.dll", "00002000", "2", "8BFF")
            + record % ("4 (MATCH)", "plain.dll", "00003000", "0", "") +
            "0x0000018C\t0x7801 = STRINGTABLE\r\n"
            "0x00000192\t\t0x8801 = STRINGTABLE_ITEM: " + forged + "\r\n"
            "0x000001EE\t\t0x8801 = STRINGTABLE_ITEM: " + breaks + "\r\n"
            "0x00000238\t\t0x8801 = STRINGTABLE_ITEM: " + pictures + "\r\n"
            "0x00000278\t\t0x8801 = STRINGTABLE_ITEM: " + plain + "\r\n"
            "0x000002B6\t0x8002 = InvalidTag: csi\ufffd[2J c1\ufffd\ufffd nel\u2424 end\r\n")
        self.assertEqual(body, utf16(expected))
        reference, notes = expected_listing(data)
        self.assertEqual(body, utf16(reference))
        # The tags 0x12, 0x18, 0x1E, 0x24, 0x7E, 0x192, 0x1EE, 0x238 and 0x2B6 needed
        # replacements: controls 2 + 5 + 28 + 2 + 2 + 5 + 28 + 3, separators 3 + 1 + 3 + 1,
        # surrogates 5 + 1.
        console = ("Text of TAGID 0x00000012 shown with replacements: control characters 2, "
                   "line separators 0, unpaired surrogates 0\n"
                   "Texts of 9 tags shown with replacements in all: control characters 75, line "
                   "separators 8, unpaired surrogates 6\n")
        self.assertEqual(result.console, VERSION_LINE + console)
        self.assertEqual(console, "".join(line + "\n" for line in notes))
        # Strict readers take the whole listing.
        converted = subprocess.run(["iconv", "-f", "UTF-16", "-t", "UTF-8"], input=result.stdout,
                                   capture_output=True)
        self.assertEqual(converted.returncode, 0, converted.stderr)
        self.assertEqual(converted.stdout.decode("utf-8").count("\r\n"), 5 + expected.count("\r\n"))

    @also_wine("Windows refuses a file name with a line end")
    def test_path_with_line_ends(self):
        # Where the platform opens a file whose name holds a character that other tools take
        # as a line end, or that a terminal obeys, the header keeps one line and shows it
        # replaced; a name with LF (which Linux allows) is refused by Wine as by Windows, and
        # the console still shows one line for it, as for a missing file. The native program
        # opens it.
        data = sdbwrite.compile_source("INCLUDE\n")
        line_ends_refused = 123 if ENGINE == "wine" else 0
        # (name, exit code, (control characters, line separators), name as shown, file made)
        cases = (
            ("a\u2028b\u0085c\x7fd\u2029.sdb", 0, (1, 3), "a\u21b5b\u2424c\u2421d\u00b6.sdb",
             True),
            ("a\nb\r\n.sdb", line_ends_refused, (3, 0), "a\u240ab\u240d\u240a.sdb", True),
            # C1 controls (U+009B starts a terminal's control sequence); NEL keeps its picture.
            ("c1\u0080\u009b[2J\u009f\u0085.sdb", 0, (3, 1), "c1\ufffd\ufffd[2J\ufffd\u2424.sdb",
             True),
            ("missing\u009b[2J.sdb", 2, (1, 0), "missing\ufffd[2J.sdb", False),
        )
        for name, code, counts, shown_name, made in cases:
            with self.subTest(name=name):
                path = os.path.join(self.tmp.name, name)
                if made:
                    with open(path, "wb") as f:
                        f.write(data)
                shown = windows_path(path)
                result = run([shown])
                self.assertEqual(result.exit_code, code, result)
                note = ("Path of the database shown with replacements: control characters %d, "
                        "line separators %d, unpaired surrogates 0\n" % counts)
                self.assertEqual(note, path_note(shown) + "\n")
                replaced = shown.replace(name, shown_name)
                if code:
                    self.assertEqual(result.stdout, b"")
                    self.assertEqual(result.console, "SdbOpenDatabase() returned NULL for file "
                                     "'%s'\n" % replaced + note)
                    continue
                self.assertEqual(result.console, VERSION_LINE + note)
                header = result.stdout.decode("utf-16-le").split("\r\n")[0]
                self.assertEqual(header, "\ufeffShim database file:\t" + replaced)
                self.listing_of(result, shown)

    def test_full_disk_reports_each_level(self):
        # The disk fills in the byte data at level 2; the lists that hold it and the root each
        # fail on their next line and report once, inner lists first. The native program
        # meets the failure where its first block of 64 KB ends: the data reaches past that.
        size = 3000 if ENGINE == "wine" else 20000
        with full_disk(4096) as where:
            path, _ = self.write_database("""
                DATABASE {
                    LIBRARY {
                        DATA_BITS hex %s
                        INCLUDE
                    }
                    INCLUDE
                }
                INCLUDE
                """ % ("5A" * size), directory=self.tmp.name)
            result = run([path], stdout=os.path.join(where, "listing.txt"))
        self.assertRegex(result.console,
                         r"\A" + re.escape(VERSION_LINE) +
                         r"WriteFile\(\) returned error (\d+) for level 2\n"
                         r"WriteFile\(\) returned error \1 for level 1\n"
                         r"WriteFile\(\) returned error \1 for level 0\n\Z")


if __name__ == "__main__":
    unittest.main()
