"""Runs of shimlist end to end: arguments, standard output checks, exit codes and header."""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

from harness import (ENGINE, also_wine, full_disk, load_tests, native_bin, run,  # noqa: F401
                     windows_path, wine_only)

BIN = os.environ.get('SHIMLIST_BIN', '')
TESTDATA = os.environ.get('SHIMLIST_TESTDATA', '')
REAL_TESTDATA = os.path.join(os.environ.get('SHIMLIST_SOURCE_DIR', ''), 'tests', 'realdb')
EXE = windows_path(os.path.join(BIN, 'shimlist.exe'))
DATABASE = os.path.join(TESTDATA, 'app_x32.sdb')

NO_ARGUMENT = 'No argument: a single file or path name of a shim database must be given!\n'
NOT_A_FILE = re.compile(r'FlushFileBuffers\(\) returned error (\d+): standard output is not '
                        r'redirected to a file!\n')
# The Linux command refuses a wrong count itself, with the usage lines of its --help (which the
# front end's tests hold against the synopsis), before the program runs.
TRY_HELP = "Try 'shimlist --help' for more.\n"
ERROR_BAD_ARGUMENTS = 160
ERROR_DISK_FULL = 112


def Header(path, major, minor):
    """The listing's header exactly: byte-order mark, UTF-16LE, CR LF."""
    text = ('\ufeffShim database file:\t%s\r\nShim database version:\t%d.%d\r\n\r\n'
            'TAGID\t\tTAG    = TAGSTRING: TAGVALUE\r\n\r\n' % (path, major, minor))
    return text.encode('utf-16-le')


def FileVersion(path):
    with open(path, 'rb') as database:
        return struct.unpack('<II', database.read(8))


def WrongCount(problem):
    """The console of a run with a wrong argument count: the program's message under Wine, the
    Linux command's usage error natively."""
    if ENGINE == 'wine':
        return NO_ARGUMENT
    usage = subprocess.run([os.path.join(native_bin(), 'shimlist'), '--help'],
                           capture_output=True, text=True, check=True).stdout.partition('\n\n')[0]
    return 'shimlist: %s\n%s\n%s' % (problem, usage, TRY_HELP)


class ArgumentTest(unittest.TestCase):
    """Wrong argument counts end with 160 before standard output is looked at."""

    @also_wine("the Windows program's own message; natively the command's usage error")
    def test_no_argument(self):
        for stdout in ('file', 'console'):
            with self.subTest(stdout=stdout):
                result = run([], stdout=stdout)
                self.assertEqual(result.exit_code, ERROR_BAD_ARGUMENTS)
                self.assertEqual(result.console, WrongCount('no database given'))
                self.assertEqual(result.stdout, b'')

    @also_wine("the Windows program's own message; natively the command's usage error")
    def test_two_arguments(self):
        path = windows_path(DATABASE)
        for stdout in ('file', 'console'):
            with self.subTest(stdout=stdout):
                result = run([path, path], stdout=stdout)
                self.assertEqual(result.exit_code, ERROR_BAD_ARGUMENTS)
                self.assertEqual(result.console,
                                 WrongCount('one database at a time; -o DIR lists several'))
                self.assertEqual(result.stdout, b'')

    @wine_only("a raw command line, which only Windows hands to a program")
    def test_blanks_alone_are_no_argument(self):
        result = run(cmdline='"%s" \t  ' % EXE)
        self.assertEqual(result.exit_code, ERROR_BAD_ARGUMENTS)
        self.assertEqual(result.console, NO_ARGUMENT)


class StandardOutputTest(unittest.TestCase):
    @also_wine("the Windows console refused through FlushFileBuffers")
    def test_console_is_refused(self):
        # The flush test comes before the database is touched: a missing file is not reported.
        for path in (DATABASE, DATABASE + '.missing'):
            with self.subTest(path=path):
                result = run([windows_path(path)], stdout='console')
                match = NOT_A_FILE.fullmatch(result.console)
                self.assertIsNotNone(match, result.console)
                self.assertEqual(result.exit_code, int(match.group(1)))
                self.assertNotEqual(result.exit_code, 0)


class OpenFailureTest(unittest.TestCase):
    """A file that does not open is reported and gives a non-zero exit code."""

    def CheckRefused(self, path):
        result = run([windows_path(path)])
        self.assertEqual(result.console,
                         "SdbOpenDatabase() returned NULL for file '%s'\n" % windows_path(path))
        self.assertEqual(result.stdout, b'')
        self.assertNotEqual(result.exit_code, 0)
        self.assertNotEqual(result.exit_code, ERROR_BAD_ARGUMENTS)

    def test_missing_file(self):
        self.CheckRefused(os.path.join(TESTDATA, 'no such file.sdb'))

    def test_empty_argument(self):
        result = run([''])
        self.assertEqual(result.console, "SdbOpenDatabase() returned NULL for file ''\n")
        self.assertNotIn(result.exit_code, (0, ERROR_BAD_ARGUMENTS))

    def test_not_a_database(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, 'text.sdb')
            with open(path, 'w') as text:
                text.write('this is not a shim database, just some text\n' * 10)
            self.CheckRefused(path)


class ListingTest(unittest.TestCase):
    def CheckListing(self, result, path, database):
        major, minor = FileVersion(database)
        header = Header(path, major, minor)
        self.assertEqual(result.exit_code, 0, result.console)
        self.assertEqual(result.stdout[:len(header)], header)
        self.assertTrue(result.console.startswith('Shim database version: %d.%d\n'
                                                  % (major, minor)), result.console)
        listing = result.stdout[len(header):].decode('utf-16-le')
        self.assertTrue(listing.startswith('0x0000000C\t'), listing[:80])
        self.assertTrue(listing.endswith('\r\n'), listing[-80:])

    def test_valid_database(self):
        path = windows_path(DATABASE)
        result = run([path])
        self.assertEqual(result.console, 'Shim database version: 2.3\n')
        self.CheckListing(result, path, DATABASE)

    def test_every_real_database(self):
        names = sorted(name for name in os.listdir(REAL_TESTDATA) if name.endswith('.sdb'))
        self.assertGreaterEqual(len(names), 5)
        for name in names:
            with self.subTest(database=name):
                database = os.path.join(TESTDATA, name)
                path = windows_path(database)
                self.CheckListing(run([path]), path, database)

    @wine_only("a raw command line, which only Windows hands to a program")
    def test_quoted_path_with_blanks(self):
        with tempfile.TemporaryDirectory() as folder:
            subfolder = os.path.join(folder, 'shim  data base')
            os.mkdir(subfolder)
            database = os.path.join(subfolder, 'app x32.sdb')
            shutil.copy(DATABASE, database)
            path = windows_path(database)
            self.CheckListing(run(cmdline='"%s" "%s"' % (EXE, path)), path, database)
            # A missing closing quote takes the rest of the line as the path.
            self.CheckListing(run(cmdline='"%s"   "%s' % (EXE, path)), path, database)
            # Quoted pieces join the pieces around them into one argument.
            pieces = '%s"%s"%s' % (path[:5], path[5:-4], path[-4:])
            self.CheckListing(run(cmdline='"%s" %s' % (EXE, pieces)), path, database)

    @wine_only("a raw command line of up to 32,767 characters with Windows path steps")
    def test_long_path_appears_whole(self):
        # Thousands of "." steps make a path far beyond the formatter's 1024 characters that
        # still names the database, up to the longest command line the system passes on.
        folder = windows_path(TESTDATA)
        shortest = len('"%s" "%s\\app_x32.sdb"' % (EXE, folder))
        for steps in (600, (32767 - shortest) // 2):
            with self.subTest(steps=steps):
                path = folder + '\\' + '.\\' * steps + 'app_x32.sdb'
                result = run(cmdline='"%s" "%s"' % (EXE, path))
                self.CheckListing(result, path, DATABASE)


@also_wine("the Windows program writes each piece at once, so a failed write is seen there")
class FullDiskTest(unittest.TestCase):
    """A full disk fails the run with the code of the failed write. The native program
    gathers the listing into blocks of 64 KB, more than this one: it meets the full disk when
    it closes the listing, and says so."""

    def Reports(self, windows):
        return windows if ENGINE == 'wine' else ['CloseHandle() returned error %d'
                                                 % ERROR_DISK_FULL]

    def test_header_write_fails(self):
        with full_disk(4096) as folder:
            filler = os.open(os.path.join(folder, 'filler'), os.O_WRONLY | os.O_CREAT)
            try:
                while os.write(filler, b'\0' * 4096):
                    pass
            except OSError:
                pass  # the disk is full now
            os.close(filler)
            result = run([windows_path(DATABASE)], stdout=os.path.join(folder, 'listing'))
        self.assertEqual(result.exit_code, ERROR_DISK_FULL, result.console)
        lines = result.console.splitlines()
        self.assertEqual(lines[:2], ['Shim database version: 2.3'] + self.Reports(
            ['WriteFile() returned error %d' % ERROR_DISK_FULL]))
        if ENGINE == 'native':
            self.assertEqual(len(lines), 2, lines)
        self.assertEqual(result.stdout, b'')

    def test_listing_write_fails(self):
        # The header fits on the disk; the listing of some 28 KB does not.
        with full_disk(4096) as folder:
            result = run([windows_path(DATABASE)], stdout=os.path.join(folder, 'listing'))
        self.assertEqual(result.exit_code, ERROR_DISK_FULL, result.console)
        path = windows_path(DATABASE)
        header = Header(path, 2, 3)
        self.assertEqual(result.stdout[:len(header)], header)
        self.assertLess(len(result.stdout), 28000)
        lines = result.console.splitlines()
        self.assertEqual(lines[0], 'Shim database version: 2.3')
        if ENGINE == 'native':
            self.assertEqual(lines[1:], self.Reports([]))
            return
        self.assertNotIn('WriteFile() returned error %d' % ERROR_DISK_FULL, lines)
        self.assertIn('WriteFile() returned error %d for level 0' % ERROR_DISK_FULL, lines)


if __name__ == '__main__':
    unittest.main()
