"""Every exit code of a run with its cause, under Wine with the stand-in and with a test double
of apphelp.dll (FakeApphelp.cpp) for the branches that only another library takes. A full disk
(112, the code of the failed write) is tested in test_run.py."""
import os
import re
import unittest

from harness import run, windows_path

BIN = os.environ.get('SHIMLIST_BIN', '')
# shimlist.exe beside the test double of apphelp.dll
FAKE_EXE = os.path.join(os.environ.get('SHIMLIST_FAKE_DIR', ''), 'shimlist.exe')
TESTDATA = os.environ.get('SHIMLIST_TESTDATA', '')
SOURCE_DIR = os.environ.get('SHIMLIST_SOURCE_DIR', '')
DATABASE = windows_path(os.path.join(TESTDATA, 'app_x32.sdb'))
NESTED = windows_path(os.path.join(TESTDATA, 'hardening_nesting_bomb.sdb'))

VERSION = r'Shim database version: 2\.3\n'
NO_ARGUMENT = r'No argument: a single file or path name of a shim database must be given!\n'
NOT_A_FILE = (r'FlushFileBuffers\(\) returned error %d: standard output is not redirected to '
              r'a file!\n')


def NotOpened(path):
    return r"SdbOpenDatabase\(\) returned NULL for file '%s'\n" % re.escape(path)


def Header(major, minor):
    return ('\ufeffShim database file:\t%s\r\nShim database version:\t%d.%d\r\n\r\n'
            'TAGID\t\tTAG    = TAGSTRING: TAGVALUE\r\n\r\n' % (DATABASE, major, minor))


# (cause, arguments, standard output, test double's mode or None for the stand-in, exit code,
# console as a regular expression)
RUNS = (
    ('no argument', [], 'file', None, 160, NO_ARGUMENT),
    ('two arguments', [DATABASE, DATABASE], 'file', None, 160, NO_ARGUMENT),
    ('standard output on the console', [DATABASE], 'console', None, 6, NOT_A_FILE % 6),
    ('standard output a pipe (Wine cannot flush it)', [DATABASE], 'pipe', None, 87,
     NOT_A_FILE % 87),
    ('standard output the null device', [DATABASE], 'null', None, 87, NOT_A_FILE % 87),
    ('standard output closed: every write fails', [DATABASE], 'closed', None, 6,
     VERSION + r'WriteFile\(\) returned error 6\n(WriteFile\(\) returned error 6 for level \d\n)+'),
    ('a missing file', [DATABASE + '.missing'], 'file', None, 2,
     NotOpened(DATABASE + '.missing')),
    ('a missing folder', [DATABASE + '\\x.sdb'], 'file', None, 3, NotOpened(DATABASE + '\\x.sdb')),
    ('a folder', [windows_path(TESTDATA)], 'file', None, 5, NotOpened(windows_path(TESTDATA))),
    ('not a shim database', [windows_path(os.path.join(SOURCE_DIR, 'README.md'))], 'file', None,
     11, NotOpened(windows_path(os.path.join(SOURCE_DIR, 'README.md')))),
    ('an open that fails and leaves no error code', [DATABASE], 'file', 'silent-open', 110,
     NotOpened(DATABASE)),
    ('lists nested deeper than the limit', [NESTED], 'file', None, 1001,
     r'Shim database version: 3\.0\nLists nest deeper than 256 levels: the children of TAGID '
     r'0x[0-9A-F]{8} are not listed\n'),
    ('lists nested too deep and every write failing: the code is the write error', [NESTED],
     'closed', None, 6,
     r'Shim database version: 3\.0\nWriteFile\(\) returned error 6\n(Lists nest deeper than '
     r'256 levels: the children of TAGID 0x[0-9A-F]{8} are not listed\n|WriteFile\(\) returned '
     r'error 6 for level \d+\n)+'),
    ('a complete listing', [DATABASE], 'file', None, 0, VERSION),
    ('a version query that fails while the open succeeds', [DATABASE], 'file', 'no-version', 0,
     ''),
)


class ExitCodeTest(unittest.TestCase):
    def test_every_exit_code(self):
        for cause, arguments, stdout, fake, code, console in RUNS:
            with self.subTest(cause):
                if fake is None:
                    result = run(arguments, stdout=stdout)
                else:
                    result = run(arguments, stdout=stdout, exe=FAKE_EXE,
                                 env={'SHIMLIST_FAKE_APPHELP': fake})
                self.assertEqual(result.exit_code, code, result)
                self.assertRegex(result.console, r'\A(%s)\Z' % console)
                if code not in (0, 1001):
                    self.assertEqual(result.stdout, b'')

    def test_release_readme_names_codes_that_runs_give(self):
        # README.txt's table: the common codes, and none that no run here gives (112 is the full
        # disk of test_run.py).
        with open(os.path.join(SOURCE_DIR, 'resources', 'README.txt.in'), encoding='ascii') as f:
            table = f.read().split('\nExit codes\n', 1)[1].split('\nKnown limits\n', 1)[0]
        named = {int(code) for codes in re.findall(r'^    (\d+(?:, \d+)*)  ', table, re.M)
                 for code in codes.split(', ')}
        self.assertLessEqual({0, 2, 3, 5, 11, 160, 1001}, named)
        self.assertLessEqual(named, {run[4] for run in RUNS} | {112})

    def test_failed_close_of_the_listing(self):
        # The test double closes standard output before the run does, so the run's close fails
        # with 6. It is reported once; it becomes the code of a run that had not failed, and
        # leaves the code of one that had.
        close_failed = r'CloseHandle\(\) returned error 6\n'
        listing = (Header(3, 0) + '0x0000000C\t0x1001 = INCLUDE\r\n').encode('utf-16-le')
        for mode, code, console, stdout in (
                ('close-output', 6, r'Shim database version: 3\.0\n' + close_failed, listing),
                ('silent-open-close-output', 110, NotOpened(DATABASE) + close_failed, b'')):
            with self.subTest(mode):
                result = run([DATABASE], exe=FAKE_EXE, env={'SHIMLIST_FAKE_APPHELP': mode})
                self.assertEqual(result.exit_code, code, result)
                self.assertRegex(result.console, r'\A%s\Z' % console)
                self.assertEqual(result.stdout, stdout)

    def test_header_of_an_unknown_version(self):
        # The header shows 0.0 whatever the failed query left in the two numbers.
        result = run([DATABASE], exe=FAKE_EXE, env={'SHIMLIST_FAKE_APPHELP': 'no-version'})
        expected = Header(0, 0) + '0x0000000C\t0x1001 = INCLUDE\r\n'
        self.assertEqual(result.stdout, expected.encode('utf-16-le'))


if __name__ == '__main__':
    unittest.main()
