# The POSIX layer's wvsprintfW against the platform's, case by case over the program's directives.
"""Usage: test_format.py NATIVE_FORMAT_TABLE   (SHIMLIST_WINDOWS_BIN: the Windows build's bin)

Both builds of FormatTable.cpp write, per case, the count that wvsprintfW returned and the whole
buffer behind it; every case must agree exactly."""
import os
import struct
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

RESULT_CHARS = 1030
CASE_BYTES = 4 + 2 * RESULT_CHARS
NATIVE = sys.argv[1] if len(sys.argv) > 1 else ""
WINDOWS_BIN = os.environ.get("SHIMLIST_WINDOWS_BIN", "")


def cases(data):
    if len(data) % CASE_BYTES:
        raise AssertionError("%d bytes is not a whole number of cases" % len(data))
    for at in range(0, len(data), CASE_BYTES):
        count = struct.unpack_from("<i", data, at)[0]
        text = data[at + 4:at + CASE_BYTES].decode("utf-16-le", "surrogatepass")
        yield count, text


def describe(count, text):
    end = text.find("\0")
    return "returned %d, text of %d characters ending %r, then %r" % (
        count, end, text[max(0, end - 8):end], text[end:end + 3])


class FormatTable(unittest.TestCase):
    def test_same_results_as_the_platform(self):
        os.environ["SHIMLIST_BIN"] = WINDOWS_BIN
        import harness
        windows = harness.run(exe=os.path.join(WINDOWS_BIN, "format_table.exe"))
        self.assertEqual(windows.exit_code, 0, windows)
        native = subprocess.run([NATIVE], stdout=subprocess.PIPE, check=True).stdout
        expected, got = list(cases(windows.stdout)), list(cases(native))
        self.assertGreater(len(expected), 40)
        self.assertEqual(len(got), len(expected))
        for number, (want, have) in enumerate(zip(expected, got)):
            with self.subTest(case=number):
                self.assertEqual(have, want, "\nnative:   %s\nplatform: %s"
                                 % (describe(*have), describe(*want)))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
