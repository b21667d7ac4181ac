# Checks of the Wine test harness where it can break: console clean-up, exit codes, command lines, standard output kinds.
import io
import os
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
import winepty  # noqa: E402

BIN = os.environ.get("SHIMLIST_BIN", "")
ECHO = os.path.join(BIN, "echo.exe")


def echo(args=(), **kwargs):
    env = kwargs.pop("env", {})
    return harness.run(args, exe=ECHO, env=env, **kwargs)


class ConsoleText(unittest.TestCase):
    def test_escapes_and_line_ends_are_removed(self):
        raw = (b"\x1b]0;title\x07\x1b[?25lfirst\r\r\nsecond\r\n\x1b[Kthird\x1b[2J\x1b[1;1H"
               b"\x1b[?25h\xe2\x82\xac\n")
        self.assertEqual(harness.clean_console(raw), "first\nsecond\nthird\u20ac\n")

    def test_console_text_arrives_whole(self):
        # Long lines must not wrap, and text beyond ASCII must survive Wine's console.
        text = "line one\n" + "x" * 5000 + "\n\u00e9\u20ac\u4e2d\nno newline at the end"
        r = echo(env={"ECHO_CONSOLE": text})
        self.assertEqual(r.console, text)
        self.assertEqual(r.exit_code, 0)
        print("one harness run: %.3f s" % r.elapsed)


class ConsoleEnd(unittest.TestCase):
    def test_all_text_of_the_run_and_only_that(self):
        # The command ends at once. What it leaves in its group writes seconds later, as
        # Wine's console host may on a loaded machine: that text must arrive, or the run must
        # say that it did not. What leaves the group (Wine's services do, and keep the
        # terminal for as long as the wineserver runs) must not hold the run up.
        late = "(sleep 3.5; printf 'late\\n' >&2) & printf 'first\\n' >&2"
        apart = "setsid sleep 6 & printf 'first\\n' >&2"
        for what, script, bound, want, closed_within in (
                ("late text", late, winepty.CLOSE_SECONDS, b"first\r\nlate\r\n", (3.0, 30.0)),
                ("holder in a session of its own", apart, winepty.CLOSE_SECONDS,
                 b"first\r\n", (0.0, 3.0)),
                ("late text past the bound", late, 1.0, b"first\r\n", None)):
            with self.subTest(what), mock.patch.object(winepty, "CLOSE_SECONDS", bound):
                console = bytearray()
                code, _, close_wait = winepty.run_on_console(
                    ["sh", "-c", script], env=dict(os.environ), on_console=console.extend,
                    stdout=winepty.CONSOLE)
                self.assertEqual((code, bytes(console)), (0, want))
                if closed_within is None:
                    self.assertIsNone(close_wait)
                else:
                    self.assertTrue(closed_within[0] < close_wait < closed_within[1], close_wait)


class ExitCodes(unittest.TestCase):
    def test_full_32_bit_codes_unsigned(self):
        for code in (0, 160, 0x1FF, 0xC0000005, 0xFFFFFFFF):
            with self.subTest(code=hex(code)):
                r = echo(env={"ECHO_EXIT": str(code)})
                self.assertEqual(r.exit_code, code, "got %#x" % r.exit_code)

    def test_crash_leaves_standard_output_alone(self):
        r = echo(["a"], env={"ECHO_CRASH": "1", "ECHO_CONSOLE": "before\n"})
        self.assertEqual(r.exit_code, 0xC0000005, "got %#x" % r.exit_code)
        self.assertEqual(r.stdout, ('"%s" a' % harness.windows_path(ECHO)).encode("utf-16-le"))
        self.assertTrue(r.console.startswith("before\n"), r.console)

    def test_timeout_kills_and_is_reported(self):
        # Long enough for a start under load (Wine has taken over 2 s beside a second full
        # suite), far shorter than the program's sleep.
        with self.assertRaises(harness.RunTimeout) as e:
            echo(env={"ECHO_SLEEP": "60000", "ECHO_CONSOLE": "started\n"}, timeout=10)
        self.assertIn("started", str(e.exception))


class CommandLines(unittest.TestCase):
    def test_raw_command_line_arrives_exactly(self):
        for line in ('prog "unterminated quote a\\b', "  leading and trailing  ",
                     'x "a""b" \\\\" \u00e9\u4e2d\ttab', "p " + "y" * 30000):
            with self.subTest(line=line[:40]):
                r = echo(cmdline=line)
                self.assertEqual(r.stdout, line.encode("utf-16-le"))

    def test_arguments_split_back_unchanged(self):
        args = ["plain", "with space", "", 'quote"inside', "trailing\\", "back\\\\slash\\\"q",
                "tab\there", "\u00e9\u20ac"]
        r = echo(args, env={"ECHO_ARGV": "1"})
        split = r.stdout.decode("utf-16-le").split("\n")
        self.assertEqual(split[0], harness.windows_path(ECHO))
        self.assertEqual(split[1:], args + [""])


class StandardOutput(unittest.TestCase):
    def test_kinds(self):
        expected = ('"%s" a' % harness.windows_path(ECHO)).encode("utf-16-le")
        for kind, want, code in (("file", expected, 0), ("pipe", expected, 0), ("null", b"", 0),
                                 ("closed", b"", 6)):
            with self.subTest(kind=kind):
                r = echo(["a"], stdout=kind)
                self.assertEqual((r.stdout, r.exit_code), (want, code))

    def test_console_stdout_shows_on_console(self):
        r = echo(["a"], stdout="console", env={"ECHO_CONSOLE": "err\n"})
        self.assertEqual(r.stdout, b"")
        self.assertTrue(r.console.startswith("err\n"), r.console)
        self.assertIn("a", r.console[4:])

    def test_full_disk_fails_writes(self):
        with harness.full_disk(4096) as where:
            path = os.path.join(where, "out.bin")
            r = echo(cmdline="p " + "z" * 3000, stdout=path)
            self.assertEqual(r.exit_code, 112, "expected ERROR_DISK_FULL, got %#x" % r.exit_code)
            self.assertLessEqual(len(r.stdout), 4096)


class FailedStarts(unittest.TestCase):
    def test_a_start_wine_fails_is_run_again_from_nothing(self):
        # Each failed attempt runs whole (its output and console text are there) and is then
        # reported as not started: the result must be that of one clean run.
        real = winepty.launch
        expected = ('"%s" a' % harness.windows_path(ECHO)).encode("utf-16-le")
        for failures, kind in ((1, "file"), (2, "pipe"), (3, "file")):
            calls = []

            def flaky(*args, **kwargs):
                calls.append(real(*args, **kwargs))
                if len(calls) <= failures:
                    raise winepty.NotStarted("planted failure %d" % len(calls))
                return calls[-1]

            with self.subTest(failures=failures, stdout=kind), \
                    mock.patch.object(winepty, "launch", flaky), \
                    mock.patch.object(harness.time, "sleep"), \
                    mock.patch("sys.stderr", new_callable=io.StringIO) as err:
                if failures >= harness.START_ATTEMPTS:
                    with self.assertRaisesRegex(harness.HarnessError, "planted failure 3"):
                        echo(["a"], stdout=kind, env={"ECHO_CONSOLE": "once\n"})
                    continue
                r = echo(["a"], stdout=kind, env={"ECHO_CONSOLE": "once\n"})
                self.assertEqual((r.stdout, r.console, r.exit_code), (expected, "once\n", 0))
                self.assertEqual(err.getvalue().count("starting it again"), failures)


if __name__ == "__main__":
    unittest.main()
