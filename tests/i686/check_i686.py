#!/usr/bin/env python3
"""Runs the shipped 32-bit shimlist.exe (under qemu-emulated 32-bit Wine) and the 64-bit build on
the same inputs and checks that listing bytes, console text and exit codes agree.

Usage: check_i686.py [--i686-bin DIR] [--x86_64-bin DIR]
Each 32-bit process start costs a minute or more, so the cases are few and run side by side.
"""
import argparse
import concurrent.futures
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))
import harness  # noqa: E402
sys.path.insert(0, os.path.join(REPO, "sdbwriter"))
import sdbwrite  # noqa: E402

BINFMT = "/proc/sys/fs/binfmt_misc/qemu-i386"


def fail(message):
    print("check_i686: FAILED: " + message)
    sys.exit(1)


def check_machine():
    try:
        with open(BINFMT) as f:
            if not f.readline().startswith("enabled"):
                fail("%s is registered but disabled; run tools/binfmt-i386 as root" % BINFMT)
    except OSError:
        fail("32-bit programs cannot run here: no qemu-i386 handler in binfmt_misc "
             "(run tools/binfmt-i386 as root; it needs qemu-user-static)")
    if not os.path.isdir(os.path.join(harness.wine_prefix(), "drive_c/windows/syswow64")):
        fail("the Wine prefix %s has no 32-bit support; tools/setup recreates it"
             % harness.wine_prefix())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--i686-bin", default=os.path.join(REPO, "build/i686/bin"))
    parser.add_argument("--x86_64-bin", default=os.path.join(REPO, "build/x86_64/bin"))
    opts = parser.parse_args()
    opts.i686_bin = os.path.abspath(opts.i686_bin)
    opts.x86_64_bin = os.path.abspath(opts.x86_64_bin)
    check_machine()
    exe32 = os.path.join(opts.i686_bin, "shimlist.exe")
    exe64 = os.path.join(opts.x86_64_bin, "shimlist.exe")
    for path in (exe32, exe64, os.path.join(opts.i686_bin, "apphelp.dll")):
        if not os.path.isfile(path):
            fail("%s is missing: build both presets first" % path)
    # The launcher is a 64-bit program; it starts the 32-bit one through Wine's WoW64 support.
    os.environ["SHIMLIST_BIN"] = opts.x86_64_bin

    work = tempfile.mkdtemp(prefix="shimlist-i686-")
    try:
        example = os.path.join(work, "example.sdb")
        every = os.path.join(work, "every_rendering.sdb")
        not_db = os.path.join(work, "notes.txt")
        shutil.copy(os.path.join(opts.x86_64_bin, "example.sdb"), example)
        shutil.copy(os.path.join(opts.x86_64_bin, "../testdata/every_rendering.sdb"), every)
        # The same database compressed: the stand-in unpacks it with the zlib linked into it.
        packed = os.path.join(work, "every_rendering_zdbf.sdb")
        with open(every, "rb") as src, open(packed, "wb") as dst:
            dst.write(sdbwrite.compress(src.read()))
        with open(not_db, "w") as f:
            f.write("This is not a shim database.\n")
        cases = [
            ("example database", [harness.windows_path(example)]),
            ("every rendering", [harness.windows_path(every)]),
            ("compressed", [harness.windows_path(packed)]),
            ("no argument", []),
            ("not a database", [harness.windows_path(not_db)]),
        ]
        start = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
            runs32 = [pool.submit(harness.run, args, exe=exe32, cwd=work, timeout=900)
                      for _, args in cases]
            results32 = [r.result() for r in runs32]
        elapsed32 = time.monotonic() - start
        results64 = [harness.run(args, exe=exe64, cwd=work) for _, args in cases]
    finally:
        shutil.rmtree(work, ignore_errors=True)

    problems = 0
    for (name, _), r32, r64 in zip(cases, results32, results64):
        same = (r32.stdout == r64.stdout, r32.console == r64.console,
                r32.exit_code == r64.exit_code)
        print("check_i686: %-18s exit %d (64-bit %d), listing %d bytes, %.0f s: %s"
              % (name, r32.exit_code, r64.exit_code, len(r32.stdout), r32.elapsed,
                 "same" if all(same) else "DIFFERENT"))
        if not same[0]:
            at = next((i for i, (a, b) in enumerate(zip(r32.stdout, r64.stdout)) if a != b),
                      min(len(r32.stdout), len(r64.stdout)))
            print("  listings differ from byte %d: 32-bit %r, 64-bit %r"
                  % (at, r32.stdout[at:at + 40], r64.stdout[at:at + 40]))
        if not same[1]:
            print("  console 32-bit %r\n  console 64-bit %r" % (r32.console, r64.console))
        problems += not all(same)
    expected = {"no argument": 160, "example database": 0, "every rendering": 0, "compressed": 0}
    for (name, _), r32 in zip(cases, results32):
        if name in expected and r32.exit_code != expected[name]:
            print("  %s: exit code %d, expected %d" % (name, r32.exit_code, expected[name]))
            problems += 1
    # Past the first line (the path), the compressed database lists exactly like its twin.
    plain, packed32 = (r.stdout.split(b"\r\x00\n\x00", 1)[-1] for r in results32[1:3])
    if plain != packed32 or results32[1].console != results32[2].console:
        print("  compressed: listing or console differ from the unpacked database's")
        problems += 1
    if results32[4].exit_code == 0:
        print("  not a database: exit code 0, expected an error code")
        problems += 1
    print("check_i686: %d 32-bit runs took %.0f s side by side" % (len(cases), elapsed32))
    if problems:
        fail("%d case(s) disagree" % problems)
    print("check_i686: the 32-bit program agrees with the 64-bit build")


if __name__ == "__main__":
    main()
