#!/usr/bin/env python3
# Whole-program fuzzer: damaged shim databases through the native shimlist or shimlist.exe under wine64, or both compared.
"""Mutates shim databases and runs shimlist on each one: natively, or the 64-bit shimlist.exe
under wine64, or both.

    python3 tests/fuzz/fuzz_shimlist.py [--engine native|wine|both] [--seed N] [--seconds S]
                                        [--cases N] [--corpus-out DIR] [--jobs J] [--bin DIR]
                                        [--native-bin DIR] [--strict]

Seeds are the real databases of tests/realdb/, the writer sources of tests/fuzz/seeds/,
tests/data/ and examples/, compiled with sdbwriter. Each case stacks one to four mutations
(bit flips, byte sets, truncation, size fields set to 0, odd, huge or past the end, string
references out of range, nesting bombs, overlapping lists, undefined types, damaged patch
records, line ends, forged line heads, U+2028 and unpaired surrogates in strings and module
names, ...) and is judged by listing_check.check_run: a crash, a hang, a malformed listing,
a console message the program should not show, or exit code 0 after a reported failure is a
finding. With --engine both each case runs on both programs, each run is judged, and any
difference between them (the listing but for its path line, the console but for the path as
each program names it, the exit code) is a finding too ("engines-differ"), but for what only
the native command can add: its line on a database cut short or damaged, with 38 or 1392 where
the Windows program gives 0, and a listing stopped at its bound (listing_check.engines_agree).
Findings go to --corpus-out (the case file plus a note) and make the exit status 1. The engine
defaults to $SHIMLIST_TEST_ENGINE (else wine); a native run goes through the harness
(tests/harness.py).

A case runs as one wine process (tests/tools' launch.exe starting shimlist.exe, which gives the
full 32-bit exit code), with standard error on a pseudo-terminal so that the console can be
read, and a persistent wineserver. --jobs runs that many cases at once.
"""

import argparse
import collections
import concurrent.futures
import fcntl
import glob
import os
import pty
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
REPO = os.environ.get("SHIMLIST_SOURCE_DIR") or os.path.dirname(TESTS)
sys.path.insert(0, TESTS)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "sdbwriter"))

import harness  # noqa: E402
import listing_check  # noqa: E402

# A case hangs when neither its console nor its listing grows for STALL_SECONDS, or when it
# runs longer than CASE_TIMEOUT. Wine's console takes milliseconds per line, so a damaged file
# that makes thousands of diagnostics runs long while it is making progress.
STALL_SECONDS = 5.0
CASE_TIMEOUT = 120.0
EXIT_DRAIN_SECONDS = 1.0
# A run that prints more than this on the console is cut off and judged as it stands.
CONSOLE_LIMIT = 4 << 20

# ---------------------------------------------------------------------------------------------
# Seeds

def real_testdata():
    return os.path.join(REPO, "tests", "realdb")


KNOWN_FINDING_SOURCES = ()


def load_seeds():
    """(name, bytes) of every seed database."""
    seeds = []
    for path in sorted(glob.glob(os.path.join(real_testdata(), "*.sdb"))):
        with open(path, "rb") as f:
            seeds.append((os.path.basename(path), f.read()))
    try:
        import sdbwrite
    except ImportError:
        sdbwrite = None
    if sdbwrite is not None:
        sources = (sorted(glob.glob(os.path.join(HERE, "seeds", "*.sdbtxt")))
                   + sorted(glob.glob(os.path.join(TESTS, "data", "*.sdbtxt")))
                   + sorted(glob.glob(os.path.join(REPO, "examples", "*.sdbtxt"))))
        for path in sources:
            # A reproducer of a known finding would bring that finding back in every case.
            if os.path.basename(path) in KNOWN_FINDING_SOURCES:
                continue
            try:
                with open(path, encoding="utf-8") as f:
                    data = sdbwrite.compile_source(f.read())
            except Exception as e:  # a source another area is still writing
                print("seed %s skipped: %s" % (os.path.basename(path), e), file=sys.stderr)
                continue
            # Huge seeds (deep nesting tests) would slow every case down.
            if len(data) <= 256 * 1024:
                seeds.append((os.path.basename(path), data))
    return seeds

# ---------------------------------------------------------------------------------------------
# The item structure of a database, as far as it is sound

FIXED_SIZES = {0x1000: 0, 0x2000: 1, 0x3000: 2, 0x4000: 4, 0x5000: 8, 0x6000: 4}


def walk_items(data, limit=20000):
    """Items of the database: dicts with off, tag, head (2 or 6), size, data (offset of the
    data), end (offset after the item and its pad byte), depth, parent (index or -1). Stops
    quietly where the structure stops making sense."""
    items = []
    aligned = len(data) >= 4 and struct.unpack_from("<I", data, 0)[0] >= 2

    def walk(start, end, depth, parent):
        offset = start
        while offset + 2 <= end and len(items) < limit:
            tag = struct.unpack_from("<H", data, offset)[0]
            kind = tag & 0xF000
            if kind in FIXED_SIZES:
                head, size = 2, FIXED_SIZES[kind]
            elif kind in (0x7000, 0x8000, 0x9000):
                if offset + 6 > end:
                    return
                head, size = 6, struct.unpack_from("<I", data, offset + 2)[0]
            else:
                return
            item_end = offset + head + size
            if aligned and item_end % 2:
                item_end += 1
            if item_end > end or (kind == 0x1000 and size == 0 and item_end == offset):
                return
            index = len(items)
            items.append({"off": offset, "tag": tag, "head": head, "size": size,
                          "data": offset + head, "end": item_end, "depth": depth,
                          "parent": parent})
            if kind == 0x7000 and depth < 64:
                walk(offset + 6, offset + 6 + size, depth + 1, index)
            offset = item_end

    walk(12, len(data), 0, -1)
    return items


def string_table_offset(data, items):
    for item in items:
        if item["depth"] == 0 and item["tag"] == 0x7801:
            return item["off"]
    return None

# ---------------------------------------------------------------------------------------------
# Mutations: each takes (rng, data as bytearray, items) and returns the new bytearray, or None
# when it does not apply to this database.

INTERESTING_DWORDS = (0, 1, 2, 3, 5, 6, 7, 0x53, 0x54, 0x55, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF,
                      0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFA, 0xFFFFFFFE,
                      0xFFFFFFFF)
UNDEFINED_TYPES = (0x0000, 0xA000, 0xB000, 0xC000, 0xD000, 0xE000, 0xF000)


def put_dword(data, offset, value):
    if 0 <= offset and offset + 4 <= len(data):
        struct.pack_into("<I", data, offset, value & 0xFFFFFFFF)


def mutate_bit_flips(rng, data, items):
    if len(data) <= 12:
        return None
    for _ in range(rng.randint(1, 8)):
        position = rng.randrange(12 if rng.random() < 0.9 else 0, len(data))
        data[position] ^= 1 << rng.randrange(8)
    return data


def mutate_byte_sets(rng, data, items):
    if len(data) <= 12:
        return None
    for _ in range(rng.randint(1, 6)):
        data[rng.randrange(len(data))] = rng.choice((0x00, 0x01, 0x7F, 0x80, 0xDB, 0xFE, 0xFF,
                                                     rng.randrange(256)))
    return data


def mutate_dword(rng, data, items):
    if len(data) < 16:
        return None
    offset = rng.randrange(0, len(data) - 3)
    if rng.random() < 0.7:
        offset &= ~1
    put_dword(data, offset, rng.choice(INTERESTING_DWORDS + (len(data), len(data) - offset)))
    return data


def mutate_truncate(rng, data, items):
    if len(data) <= 1:
        return None
    if items and rng.random() < 0.6:
        item = rng.choice(items)
        cut = rng.choice((item["off"], item["off"] + 1, item["off"] + 2, item["data"],
                          item["data"] + 1, item["end"] - 1, item["end"]))
    else:
        cut = rng.randrange(0, len(data))
    return data[:max(0, min(cut, len(data) - 1))]


def mutate_size_field(rng, data, items):
    sized = [item for item in items if item["head"] == 6]
    if not sized:
        return None
    item = rng.choice(sized)
    remaining = len(data) - item["data"]
    choice = rng.choice((0, item["size"] + 1, item["size"] - 1, item["size"] | 1, 1, 3,
                         0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFA,
                         (1 << 32) - item["data"], (1 << 32) - item["off"],
                         remaining, remaining + 1, remaining + 2, remaining + 6,
                         remaining + rng.randint(1, 100000)))
    put_dword(data, item["off"] + 2, choice)
    return data


def mutate_stringref(rng, data, items):
    refs = [item for item in items if item["tag"] & 0xF000 == 0x6000]
    if not refs:
        return None
    table = string_table_offset(data, items)
    item = rng.choice(refs)
    choices = [0, 1, 2, 4, 5, 6, 7, len(data), len(data) + 1, 0x7FFFFFFF, 0x80000000,
               0xFFFFFFFF, 0xFFFFFFFA, 0xFFFFFFFE]
    if table is not None:
        choices += [len(data) - table, len(data) - table - 1, len(data) - table - 2,
                    len(data) - table - 6, (1 << 32) - table, (1 << 32) - table + 12]
        other = rng.choice(items)
        choices += [other["off"] - table, other["off"] - table + 1, other["end"] - table - 2]
    put_dword(data, item["data"], rng.choice(choices))
    return data


def nesting_bomb(depth, list_tag=0x7002, inner=b""):
    """depth nested lists of list_tag around the bytes inner."""
    out = bytearray()
    for level in range(depth):
        out += struct.pack("<HI", list_tag, 6 * (depth - 1 - level) + len(inner))
    return out + inner


def mutate_nesting_bomb(rng, data, items):
    depth = rng.choice((rng.randint(250, 262), rng.randint(1, 300), 1000, 20000,
                        rng.choice((100000, 200000))))
    inner = rng.choice((b"", struct.pack("<HI", 0x4001, 7), struct.pack("<H", 0x1001),
                        struct.pack("<HI", 0xA001, 0),
                        struct.pack("<HI", 0x9002, 8) + bytes(8)))
    bomb = nesting_bomb(depth, rng.choice((0x7002, 0x7001, 0x7803, 0x7FFF)), inner)
    if rng.random() < 0.2:
        # Lie about the outermost size: the bomb then claims more than the file holds.
        struct.pack_into("<I", bomb, 2, rng.choice((0xFFFFFFFF, len(bomb) + 100)))
    if len(data) < 12 or (items and rng.random() < 0.5):
        # Replace an item of the root with the bomb; the root runs to the end of the file.
        roots = [item for item in items if item["depth"] == 0]
        if roots:
            item = rng.choice(roots)
            return data[:item["off"]] + bomb + data[item["end"]:]
    return data + bomb


def mutate_overlap(rng, data, items):
    lists = [i for i, item in enumerate(items) if item["tag"] & 0xF000 == 0x7000]
    if not lists:
        return None
    index = rng.choice(lists)
    item = items[index]
    siblings = [other for other in items[index + 1:]
                if other["parent"] == item["parent"]]
    children = [other for other in items[index + 1:] if other["parent"] == index]
    choices = []
    if siblings:
        # Swallow some of the following siblings.
        other = rng.choice(siblings)
        choices.append(other["end"] - item["data"])
        choices.append(other["off"] + 3 - item["data"])
    if children:
        # End inside a child.
        child = rng.choice(children)
        choices += [child["off"] + 1 - item["data"], child["data"] + 1 - item["data"],
                    child["end"] - 2 - item["data"]]
    if item["parent"] >= 0:
        parent = items[item["parent"]]
        choices.append(parent["end"] - item["data"] + rng.choice((2, 6, 100)))
    if not choices:
        return None
    put_dword(data, item["off"] + 2, rng.choice(choices))
    return data


def mutate_duplicate(rng, data, items):
    """Copies an item over or into another place: lists within lists, repeated children."""
    if not items:
        return None
    source = rng.choice(items)
    chunk = data[source["off"]:source["end"]]
    target = rng.choice(items)
    if rng.random() < 0.5:
        return data[:target["off"]] + chunk + data[target["off"]:]
    return data[:target["off"]] + chunk + data[target["end"]:]


def mutate_undefined_type(rng, data, items):
    if not items:
        return None
    item = rng.choice(items)
    tag = item["tag"]
    if rng.random() < 0.7:
        tag = rng.choice(UNDEFINED_TYPES) | (tag & 0x0FFF)
    else:
        tag = rng.choice((0x1000, 0x2000, 0x3000, 0x4000, 0x5000, 0x6000, 0x7000, 0x8000,
                          0x9000)) | (tag & 0x0FFF)
    struct.pack_into("<H", data, item["off"], tag)
    return data


def mutate_tag_value(rng, data, items):
    """Gives an item the value of a tag that is rendered specially, or a random one."""
    if not items:
        return None
    item = rng.choice(items)
    kind = item["tag"] & 0xF000
    special = {0x4000: (0x401D, 0x401E), 0x5000: (0x5001, 0x5002, 0x5003, 0x5006, 0x500D),
               0x9000: (0x9002, 0x9004, 0x9007, 0x9011, 0x9801)}.get(kind)
    tag = rng.choice(special) if special and rng.random() < 0.8 else rng.randrange(0x10000)
    struct.pack_into("<H", data, item["off"], tag)
    return data


def patch_record(rng, action=None, pattern=None, size=None, length=None, module=None):
    pattern = bytes(rng.randrange(256) for _ in range(rng.randint(0, 12))) if pattern is None else pattern
    action = rng.choice((2, 4, 2, 4, 0, 1, 3, 5, 0xFFFFFFFF)) if action is None else action
    if module is None:
        module = rng.choice(("kernel32.dll", "", "x" * 31, "y" * 32, "\u0416\u00e9.dll",
                             "m" + forged_text(rng) + ".dll"))
    field = module.encode("utf-16-le", "surrogatepass")[:64].ljust(64, b"\0")
    if rng.random() < 0.2:
        field = bytes(rng.randrange(256) for _ in range(64))
    size = 84 + len(pattern) if size is None else size
    length = len(pattern) if length is None else length
    return struct.pack("<IIIII", action, size & 0xFFFFFFFF, length & 0xFFFFFFFF,
                       rng.randrange(1 << 32), rng.randrange(1 << 32)) + field + pattern


def mutate_patch_records(rng, data, items):
    patches = [item for item in items if item["tag"] == 0x9002]
    if patches and rng.random() < 0.7:
        item = rng.choice(patches)
        start, end = item["data"], min(item["data"] + item["size"], len(data))
        records = []
        offset = start
        while offset + 8 <= end and len(records) < 64:
            records.append(offset)
            size = struct.unpack_from("<I", data, offset + 4)[0]
            if size == 0:
                break
            offset += size
        if not records:
            return None
        record = rng.choice(records)
        field = rng.choice((0, 4, 4, 8, 8))
        remaining = end - record
        put_dword(data, record + field, rng.choice(
            INTERESTING_DWORDS + (remaining, remaining + 1, remaining - 1, 83, 84, 85, 8,
                                  remaining - 84, remaining - 83)))
        return data
    # A new PATCH_BITS item at the end, its records damaged here and there.
    blob = b"".join(patch_record(rng) for _ in range(rng.randint(1, 4)))
    if rng.random() < 0.5:
        blob += patch_record(rng, size=rng.choice((0, 1, 8, 83, 84, 0xFFFFFFFF, 0x80000000)),
                             length=rng.choice((0, 1, 100, 0xFFFFFFFF, 0xFFFFFFAC)))
    if rng.random() < 0.6:
        blob += bytes(8)
    if rng.random() < 0.3:
        blob = blob[:rng.randrange(len(blob) + 1)]
    item = struct.pack("<HI", 0x9002, len(blob)) + blob
    if len(item) % 2:
        item += b"\0"
    if rng.random() < 0.5:
        item = struct.pack("<HI", 0x7005, len(item)) + item
    return data + item


def mutate_header(rng, data, items):
    if len(data) < 12:
        return None
    choice = rng.randrange(3)
    if choice == 0:
        put_dword(data, 0, rng.choice((0, 1, 2, 3, 4, 0xFFFFFFFF)))
    elif choice == 1:
        put_dword(data, 4, rng.choice((0, 1, 0xFFFFFFFF, 20817, rng.randrange(1 << 32))))
    else:
        data[8:12] = rng.choice((b"zdbf", b"SDBF", b"sdb\0", b"\0\0\0\0", b"sdbf"))
    return data


def mutate_insert_delete(rng, data, items):
    if len(data) < 13:
        return None
    position = rng.randrange(12, len(data) + 1)
    if rng.random() < 0.5:
        return data[:position] + bytes(rng.randrange(256) for _ in range(rng.randint(1, 16))) + data[position:]
    return data[:position] + data[position + rng.randint(1, 16):]


# Texts that would end, start or fake a listing line, or make it invalid UTF-16.
FORGED_TEXTS = ("\r", "\n", "\r\n", "\r\n0x0000000C\t0x7001 = DATABASE",
                "\n0x00000120\t\t0x6001 = NAME: harmless.exe", "\r\n\t\t\t Action  = 2 (REPLACE)",
                "\u2028", "\u2029", "\u0085", "\x7f", "\x1b[2J", "\x00\x0b\x0c", "\ud800",
                "\udc00", "\udc00\ud800", "x\ud83d")


def forged_text(rng):
    return "".join(rng.choice(FORGED_TEXTS) for _ in range(rng.randint(1, 3)))


def mutate_forged_text(rng, data, items):
    """Writes forged line heads, line ends, controls or unpaired surrogates over the characters
    of a string, a string table item or a patch record's module name."""
    targets = [(item["data"], item["size"]) for item in items
               if item["tag"] & 0xF000 == 0x8000 and item["size"] >= 2]
    for item in items:
        if item["tag"] != 0x9002:
            continue
        offset, end = item["data"], item["data"] + item["size"]
        while offset + 84 <= end and len(targets) < 200:
            targets.append((offset + 20, 64))
            size = struct.unpack_from("<I", data, offset + 4)[0]
            if size < 84:
                break
            offset += size
    if not targets:
        return None
    start, size = rng.choice(targets)
    raw = forged_text(rng).encode("utf-16-le", "surrogatepass")
    at = start + 2 * rng.randrange(max(1, size // 2))
    raw = raw[:max(0, start + size - at)]
    data[at:at + len(raw)] = raw
    return data


def mutate_long_string(rng, data, items):
    """An inline STRING with a long text, line breaks or no terminator, at the end."""
    text = rng.choice(("a" * 5000, "line\r\nbreak", "\u0000inner zero", "x" * 1023,
                       "\ud800\udc00\u20ac" * 50, "0x0000000C\t0x7001 = DATABASE",
                       "x" + forged_text(rng) * rng.choice((1, 2, 600))))
    raw = text.encode("utf-16-le", "surrogatepass")
    if rng.random() < 0.7:
        raw += b"\0\0"
    if rng.random() < 0.2:
        raw += b"\x41"
    item = struct.pack("<HI", rng.choice((0x8801, 0x8001, 0x8FFF)), len(raw)) + raw
    if len(item) % 2:
        item += b"\0"
    return data + item


MUTATIONS = (
    (mutate_bit_flips, 6), (mutate_byte_sets, 4), (mutate_dword, 4), (mutate_truncate, 3),
    (mutate_size_field, 6), (mutate_stringref, 4), (mutate_nesting_bomb, 1),
    (mutate_overlap, 4), (mutate_duplicate, 2), (mutate_undefined_type, 3),
    (mutate_tag_value, 3), (mutate_patch_records, 4), (mutate_header, 1),
    (mutate_insert_delete, 2), (mutate_long_string, 1), (mutate_forged_text, 3),
)


def make_case(rng, seeds):
    """(description, bytes) of one case."""
    name, seed = rng.choice(seeds)
    data = bytearray(seed)
    applied = []
    functions = [m for m, _ in MUTATIONS]
    weights = [w for _, w in MUTATIONS]
    for _ in range(rng.choice((1, 1, 2, 2, 3, 4))):
        mutation = rng.choices(functions, weights)[0]
        items = walk_items(data)
        result = mutation(rng, bytearray(data), items)
        if result is not None:
            data = bytearray(result)
            applied.append(mutation.__name__[len("mutate_"):])
    return "%s + %s" % (name, ", ".join(applied) or "nothing"), bytes(data)

# ---------------------------------------------------------------------------------------------
# Running one case

class CaseTimeout(Exception):
    pass


def run_case(bin_dir, db_path, out_path, work_dir, timeout=CASE_TIMEOUT):
    """Runs shimlist.exe on db_path with standard output to out_path and standard error on a
    pseudo-terminal. Returns (exit code, listing bytes, console text); raises CaseTimeout."""
    exe = os.path.join(bin_dir, "shimlist.exe")
    status_path = os.path.join(work_dir, "status")
    cmdline_path = os.path.join(work_dir, "cmdline")
    if os.path.exists(status_path):
        os.unlink(status_path)
    # The Windows form whatever the harness's engine: this run is always the Windows build's.
    windows_path = harness.winepty.windows_path
    path_arg = windows_path(db_path)
    with open(cmdline_path, "wb") as f:
        f.write(harness.build_cmdline(windows_path(exe), [path_arg]).encode("utf-16-le"))
    env = harness.wine_env({
        "SHIMLIST_LAUNCH_APP": windows_path(exe),
        "SHIMLIST_LAUNCH_CMDLINE": windows_path(cmdline_path),
        "SHIMLIST_LAUNCH_STATUS": windows_path(status_path),
        # A crash is seen in the exit code and Wine's own message; the debugger adds seconds.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
    })
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, harness.CONSOLE_COLUMNS, 0, 0))
    out_fd = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    loader = os.environ.get("WINE_LOADER", "/usr/lib/wine/wine64")
    try:
        proc = subprocess.Popen([loader, os.path.join(bin_dir, "launch.exe")], stdin=slave,
                                stdout=out_fd, stderr=slave, env=env, start_new_session=True)
    finally:
        os.close(slave)
        os.close(out_fd)
    console = bytearray()
    now = time.monotonic()
    deadline = now + timeout
    last_progress = now
    listing_size = 0
    exited_at = None
    timed_out = False
    try:
        # The terminal reports its end (EIO) once every process that holds it has gone; a
        # process that lingers is waited for as well.
        while True:
            now = time.monotonic()
            if now > deadline or now - last_progress > STALL_SECONDS:
                timed_out = True
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                break
            ready, _, _ = select.select([master], [], [], 0.05)
            if ready:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    break
                last_progress = time.monotonic()
                if len(console) < CONSOLE_LIMIT:
                    console += chunk
            elif proc.poll() is not None:
                # Wine's console host may still be writing the last lines: the end of the
                # terminal (EIO, once the host has gone too) is awaited, within a bound.
                if exited_at is None:
                    exited_at = time.monotonic()
                elif time.monotonic() - max(exited_at, last_progress) > EXIT_DRAIN_SECONDS:
                    break
            else:
                size = os.stat(out_path).st_size
                if size != listing_size:
                    listing_size = size
                    last_progress = time.monotonic()
        if not timed_out:
            proc.wait(timeout=max(0.1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        timed_out = True
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    finally:
        os.close(master)
    text = harness.clean_console(bytes(console))
    if timed_out:
        raise CaseTimeout(text)
    try:
        with open(status_path) as f:
            status = f.read().split()
    except OSError:
        status = []
    if len(status) != 2 or status[0] != "exit":
        raise harness.HarnessError("launch.exe wrote no exit status (%r); console %r"
                                   % (status, text[-300:]))
    with open(out_path, "rb") as f:
        listing = f.read()
    return int(status[1], 16), listing, text, path_arg, None, None


def run_with_retries(bin_dir, db_path, work_dir):
    """run_case, tried again when Wine itself fails to start the program (the launcher then
    reports an error instead of an exit code): a restarted wineserver, for instance, makes a
    start or two fail. A failure that persists ends the campaign."""
    for attempt in range(3):
        try:
            return run_case(bin_dir, db_path, os.path.join(work_dir, "listing.txt"), work_dir)
        except harness.HarnessError:
            if attempt == 2:
                raise
            subprocess.run(["wineserver", "-p"], env=harness.wine_env(),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
            time.sleep(1.0)


def run_native(bin_dir, db_path):
    """run_case's result for the native program, with the command's damage and stop lines,
    which the harness takes off the console."""
    try:
        r = harness.run([db_path], engine="native", exe=os.path.join(bin_dir, "shimlist"),
                        timeout=CASE_TIMEOUT)
    except harness.RunTimeout as e:
        raise CaseTimeout(str(e)) from None
    return r.exit_code, r.stdout, r.console, db_path, r.damage, r.stopped


def engines_differ(native, windows):
    """The differences of a native run from the Windows build's, as problems. The native
    command may add its word on the database (cut short or damaged) and stop a listing at its
    bound, which the Windows program cannot: a listing stopped so is a prefix of the Windows
    one, and its console lines a prefix of those."""
    problems = []
    if not listing_check.engines_agree(native[0], windows[0], native[4], native[5]):
        problems.append(("engines-differ", "exit code native 0x%08X (%r), Windows 0x%08X"
                         % (native[0], native[5] or native[4], windows[0])))
    consoles = [native[2], windows[2].replace(windows[3], native[3])]
    if native[5] is not None:
        consoles[1] = "".join(consoles[1].splitlines(True)[:consoles[0].count("\n")])
    if consoles[0] != consoles[1]:
        problems.append(("engines-differ", "console native %r, Windows %r"
                         % (native[2][-300:], windows[2][-300:])))
    # The header's first line names the path.
    bodies = [run[1].partition("\r\n".encode("utf-16-le"))[2] for run in (native, windows)]
    if native[5] is not None:
        bodies[1] = bodies[1][:len(bodies[0])]
    if bodies[0] != bodies[1]:
        problems.append(("engines-differ", "listing: " + listing_check.first_difference(*bodies)))
    return problems


def judge_case(bins, data, work_dir, names, informational):
    """Runs one case; returns (problems, exit code, console kinds, runs). A case with
    problems is run again: under heavy load Wine's console host now and then loses the last
    lines of a process that ends, and only problems that come back count."""
    problems, exit_code, kinds = judge_once(bins, data, work_dir, names, informational)
    runs = 1
    while problems and runs < 3:
        again = judge_once(bins, data, work_dir, names, informational)
        runs += 1
        if not again[0]:
            return again + (runs,)
    return problems, exit_code, kinds, runs


def judge_once(bins, data, work_dir, names, informational):
    """Runs and judges one case on each engine of bins (engine -> bin folder); with two,
    compares them too. The first engine's exit code and console kinds are returned."""
    db_path = os.path.join(work_dir, "case.sdb")
    with open(db_path, "wb") as f:
        f.write(data)
    problems = []
    runs = {}
    for engine, bin_dir in bins.items():
        try:
            if engine == "native":
                runs[engine] = run_native(bin_dir, db_path)
            else:
                runs[engine] = run_with_retries(bin_dir, db_path, work_dir)
        except CaseTimeout as e:
            return [("hang", "%s: no progress for %.0f s or no end within %.0f s; console %r"
                     % (engine, STALL_SECONDS, CASE_TIMEOUT, str(e)[-300:]))], None, ()
        exit_code, listing, console, path_arg, damage, stopped = runs[engine]
        found = listing_check.check_run(data, path_arg, exit_code, listing, console, names,
                                        informational, damage, stopped)
        problems += [(category, "%s: %s" % (engine, detail)) for category, detail in found]
    if len(runs) == 2:
        problems += engines_differ(runs["native"], runs["wine"])
    exit_code, _, console, _, damage, stopped = runs[next(iter(bins))]
    kinds = set(kind for kind, _, _ in listing_check.parse_console(console))
    # The native command's own lines are counted with the console's, by kind.
    parsed = listing_check.parse_damage(damage) if damage is not None else None
    kinds.update(["damage " + parsed[0]] if parsed else [])
    kinds.update(["stopped"] if stopped is not None else [])
    kinds = tuple(sorted(kinds))
    return problems, exit_code, kinds

# ---------------------------------------------------------------------------------------------
# The campaign


def save_finding(corpus_out, number, description, data, problems, exit_code):
    os.makedirs(corpus_out, exist_ok=True)
    stem = os.path.join(corpus_out, "finding-%03d-%s" % (number, problems[0][0]))
    with open(stem + ".sdb", "wb") as f:
        f.write(data)
    with open(stem + ".txt", "w", encoding="utf-8") as f:
        f.write("case: %s\nexit code: %s\n" % (
            description, "none (hang)" if exit_code is None else "0x%08X" % exit_code))
        for category, detail in problems:
            f.write("%s: %s\n" % (category, detail))


def campaign(seed, seconds=None, cases=None, jobs=2, bin_dir=None, corpus_out=None,
             informational=listing_check.DEFAULT_INFORMATIONAL, quiet=False, out=sys.stdout,
             engine=None, native_bin=None):
    """Runs a campaign; returns a summary dict (cases, seconds, findings by category, ...).
    engine: "native", "wine" or "both" (default $SHIMLIST_TEST_ENGINE); bin_dir is the Windows
    build's bin folder, native_bin the native program's."""
    engine = engine or harness.ENGINE
    bins = {}
    if engine in ("native", "both"):
        bins["native"] = native_bin or harness.native_bin()
    if engine in ("wine", "both"):
        bins["wine"] = bin_dir or harness.windows_bin()
    needs = {"native": ("shimlist",), "wine": ("shimlist.exe", "launch.exe", "apphelp.dll")}
    for which, folder in bins.items():
        for needed in needs[which]:
            if not os.path.isfile(os.path.join(folder, needed)):
                raise harness.HarnessError("%s is missing in %s: build first" % (needed, folder))
    if "wine" in bins:
        harness.ensure_wineserver()
    names = listing_check.load_tag_names()
    seeds = load_seeds()
    rng = random.Random(seed)
    lock = threading.Lock()
    summary = {"seed": seed, "engine": engine, "cases": 0, "findings": collections.Counter(),
               "exit_codes": collections.Counter(), "console": collections.Counter(),
               "examples": {}, "saved": 0, "flaky": 0}
    start = time.monotonic()
    stop_at = start + seconds if seconds else None
    work_root = tempfile.mkdtemp(prefix="shimlist-fuzz-")

    def next_case():
        with lock:
            if cases is not None and summary["cases"] >= cases:
                return None
            if stop_at is not None and time.monotonic() >= stop_at:
                return None
            summary["cases"] += 1
            return make_case(rng, seeds)

    def worker(number):
        work_dir = os.path.join(work_root, "w%d" % number)
        os.makedirs(work_dir)
        while True:
            case = next_case()
            if case is None:
                return
            description, data = case
            problems, exit_code, kinds, runs = judge_case(bins, data, work_dir, names,
                                                          informational)
            with lock:
                if runs > 1 and not problems:
                    summary["flaky"] += 1
                summary["exit_codes"][exit_code] += 1
                for kind in kinds:
                    summary["console"][kind] += 1
                if not problems:
                    continue
                for category in set(c for c, _ in problems):
                    summary["findings"][category] += 1
                first = problems[0][0]
                if first not in summary["examples"]:
                    summary["examples"][first] = (description, problems[:3], exit_code)
                    if not quiet:
                        print("FINDING %s: %s -> %r" % (first, description, problems[:2]),
                              file=out, flush=True)
                # Keep a few cases of every kind, not thousands of one.
                if corpus_out and summary["findings"][first] <= 5:
                    summary["saved"] += 1
                    save_finding(corpus_out, summary["saved"], description, data, problems,
                                 exit_code)

    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            for future in [pool.submit(worker, n) for n in range(jobs)]:
                future.result()
    finally:
        shutil.rmtree(work_root, ignore_errors=True)
    summary["seconds"] = time.monotonic() - start
    return summary


def print_summary(summary, out=sys.stdout):
    rate = summary["cases"] / summary["seconds"] if summary["seconds"] else 0.0
    print("seed %d (%s): %d cases in %.1f s, %.1f cases/s, %d findings"
          % (summary["seed"], summary["engine"], summary["cases"], summary["seconds"], rate,
             sum(summary["findings"].values())), file=out)
    codes = ", ".join("%s: %d" % ("hang" if code is None else "%d" % code, count)
                      for code, count in sorted(summary["exit_codes"].items(),
                                                key=lambda kv: -kv[1]))
    print("exit codes: %s" % codes, file=out)
    print("cases whose problems went away when run again: %d" % summary["flaky"], file=out)
    print("console messages (cases): %s" % ", ".join(
        "%s: %d" % kv for kv in sorted(summary["console"].items())), file=out)
    for category, count in sorted(summary["findings"].items()):
        description, problems, exit_code = summary["examples"].get(category, ("?", [], None))
        print("finding %s: %d cases, e.g. %s -> %r" % (category, count, description, problems[:1]),
              file=out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: time)")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long")
    parser.add_argument("--cases", type=int, default=None, help="stop after this many cases")
    parser.add_argument("--corpus-out", default=None, help="folder for failing cases")
    parser.add_argument("--jobs", type=int, default=2, help="cases run at once (default 2)")
    parser.add_argument("--engine", choices=("native", "wine", "both"), default=None,
                        help="the program to run: native, the Windows build under Wine, or "
                             "both, compared (default $SHIMLIST_TEST_ENGINE, else wine)")
    parser.add_argument("--bin", default=None,
                        help="folder of shimlist.exe (default $SHIMLIST_BIN under Wine, else "
                             "$SHIMLIST_WINDOWS_BIN or build/x86_64/bin)")
    parser.add_argument("--native-bin", default=None,
                        help="folder of the native shimlist (default $SHIMLIST_BIN on the "
                             "native engine, else build/native/bin)")
    parser.add_argument("--strict", action="store_true",
                        help="count every console message but the version and undefined types "
                             "as a failure (also undecodable patch records and times)")
    args = parser.parse_args(argv)
    if args.seconds is None and args.cases is None:
        args.seconds = 60
    seed = args.seed if args.seed is not None else int(time.time())
    informational = (listing_check.STRICT_INFORMATIONAL if args.strict
                     else listing_check.DEFAULT_INFORMATIONAL)
    summary = campaign(seed, seconds=args.seconds, cases=args.cases, jobs=args.jobs,
                       bin_dir=args.bin, corpus_out=args.corpus_out,
                       informational=informational, engine=args.engine,
                       native_bin=args.native_bin)
    print_summary(summary)
    return 1 if summary["findings"] else 0


if __name__ == "__main__":
    sys.exit(main())
