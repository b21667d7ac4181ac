#!/usr/bin/env python3
"""Native listing benchmark: the Linux program before and after its listing went into 64 KB blocks.

Usage: python3 bench/run-bench-native.py [--runs N] [--sizes 30000,320000,...] [--no-bytes]
                                         [--no-realdb] [--ceiling] [--no-strace] [--no-build]
                                         [--before REV] [--after PATH | --after-rev REV]
                                         [--out-dir DIR] [--markdown FILE]

Until commit bf4ed9c ("before", --before) the native program handed every WriteFile call of
the listing to the kernel as one write system call: one per line head, name, value or fixed
text, and one per byte of byte data. Since then its platform layer (platform/posix/Listing.cpp)
gathers the listing into 64 KB blocks, and turns it into UTF-8 on the way when standard output
is a pipe, a terminal or a device. This script measures both programs side by side:

  before      a build of REV, made here: a git worktree in build/bench-before-src, configured
              with the native preset's generator and cache variables into build/bench-before;
  after       build/native/bin/shimlist (--after), built by `cmake --build --preset native`
              from the work tree as it stands, other people's uncommitted changes included; or,
              with --after-rev REV, a build of REV made like the before's (build/bench-after),
              which measures a commit alone;
  floor       bench/NativeFloor.cpp, built beside the after program: the after program's
              listing written in the same 64 KB blocks and nothing else, the least that the
              current design can cost.

The three are copied into build/bench-native/bin first, so that a rebuild by someone else during
the run changes nothing. The databases: bench/gen_bench_db.py's of --sizes tags (the 320,000-tag
one is shaped like the system database: many tags, little byte data), bench/bytes-vs-tags.py's
database of DATA_BITS items of the same file size (byte data), and every real database in
tests/realdb; with --ceiling, also a database of one string that fills the ceiling of 256 MiB
(a 268,435,456-byte file; its listing is as large). For each database:
  1. before and after list it to a file once; the two listings must be byte for byte the same
     (the column "same bytes"), and the after program's listing into a pipe must be its UTF-16
     listing turned into UTF-8 (no byte-order mark, LF line ends, unpaired surrogates as U+FFFD);
  2. runs before and after into a file (UTF-16), the floor into a file, after into a pipe
     (UTF-8, read by cat into a file) and the floor into the same kind of pipe, N rounds
     (more for small listings), in turn; standard error to /dev/null, the disk flushed before a
     run that follows a large listing. Medians of wall time, CPU time (user + system) and peak
     memory (maximum resident set, from /usr/bin/time);
  3. counts the write system calls of each under `strace -f -e trace=write` (one extra run each;
     strace makes a call some 30 microseconds dearer, so these runs are not timed): those to
     standard output, and those to other descriptors apart. strace is installed with apt-get
     when missing (as root); when it cannot be had, the counts are left out and the script says
     so.
The machine's load average (1 minute) is printed at the start, before each database and at the
end. These are measurements, not tests: nothing here passes or fails on a figure; the issue's
targets are printed as met or not met.
"""

import argparse
import filecmp
import glob
import importlib.machinery
import json
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
NATIVE_DIR = os.path.join(SOURCE_DIR, "build", "native")
BEFORE_SOURCE = os.path.join(SOURCE_DIR, "build", "bench-before-src")
BEFORE_DIR = os.path.join(SOURCE_DIR, "build", "bench-before")
AFTER_SOURCE = os.path.join(SOURCE_DIR, "build", "bench-after-src")
AFTER_DIR = os.path.join(SOURCE_DIR, "build", "bench-after")
WORK_DIR = os.path.join(SOURCE_DIR, "build", "bench-native")
REALDB_DIR = os.path.join(SOURCE_DIR, "tests", "realdb")
BEFORE_REV = "bf4ed9c"
BLOCK_BYTES = 65536  # the native program's block (platform/posix/Listing.cpp)
CEILING_BYTES = 268435456  # the largest database that the library opens
STRING_TAG = 0x8801  # a STRING item

# The targets for the byte-heavy and the tag-heavy database.
TARGET_FEWER_WRITES = 10
TARGET_LESS_WALL = 5


def load_module(name, file):
    """The benchmark script file of bench/ as a module (its name holds dashes)."""
    loader = importlib.machinery.SourceFileLoader(name, os.path.join(HERE, file))
    module = types.ModuleType(name)
    module.__file__ = loader.path
    loader.exec_module(module)
    return module


wine_bench = load_module("run_bench", "run-bench.py")
bytes_bench = load_module("bytes_vs_tags", "bytes-vs-tags.py")


def log(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def load_average():
    return os.getloadavg()[0]


# Building.

def native_preset(source):
    with open(os.path.join(source, "CMakePresets.json")) as f:
        presets = json.load(f)["configurePresets"]
    return next(p for p in presets if p["name"] == "native")


def build_commit(rev, source, binary_dir, targets):
    """Builds `targets` of commit `rev` in a worktree of its own (source) into binary_dir, with
    the native preset's generator and cache variables; the full commit id."""
    commit = subprocess.run(["git", "rev-parse", "--verify", rev + "^{commit}"], cwd=SOURCE_DIR,
                            check=True, capture_output=True, text=True).stdout.strip()
    if not os.path.exists(os.path.join(source, ".git")):
        subprocess.run(["git", "worktree", "add", "--detach", source, commit], cwd=SOURCE_DIR,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    else:
        subprocess.run(["git", "checkout", "-q", "--detach", commit], cwd=source, check=True)
    if not os.path.exists(os.path.join(binary_dir, "build.ninja")):
        preset = native_preset(source)
        subprocess.run(["cmake", "-S", source, "-B", binary_dir, "-G", preset["generator"]]
                       + ["-D%s=%s" % item for item in preset["cacheVariables"].items()],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", binary_dir, "--target"] + targets, check=True,
                   stdout=subprocess.DEVNULL)
    return commit


def build_native():
    """The after program and the floor in build/native, from the work tree as it stands."""
    if not os.path.exists(os.path.join(NATIVE_DIR, "build.ninja")):
        subprocess.run(["cmake", "--preset", "native"], cwd=SOURCE_DIR, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "native", "--target", "shimlist",
                    "shimlist_floor_native"], cwd=SOURCE_DIR, check=True,
                   stdout=subprocess.DEVNULL)


def snapshot(before, after, floor):
    """Copies the three programs into WORK_DIR/bin; their paths."""
    bin_dir = os.path.join(WORK_DIR, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    programs = {}
    for name, path in (("before", before), ("after", after), ("floor", floor)):
        if not os.path.exists(path):
            raise SystemExit("%s is missing (run without --no-build)" % path)
        programs[name] = os.path.join(bin_dir, "shimlist-" + name)
        shutil.copy2(path, programs[name])
    return programs


def find_strace():
    """strace, installed with apt-get when missing (as root); None when it cannot be had."""
    if shutil.which("strace") is None and shutil.which("apt-get") and os.geteuid() == 0:
        log("strace is missing: installing it with apt-get")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        install = ["apt-get", "install", "-y", "-q", "--no-install-recommends", "strace"]
        for command in (install, ["apt-get", "update", "-q"], install):
            if subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0 and command is install:
                break
    return shutil.which("strace")


def ceiling_database():
    """A database of one string that fills the ceiling of 256 MiB: a 268,435,456-byte file, the
    largest that the library opens; its path."""
    path = os.path.join(wine_bench.DATA_DIR, "ceiling-268435456.sdb")
    if os.path.exists(path):
        return path
    sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
    import sdbwrite
    header = sdbwrite.compile_source("version 3 0\nstringtable none\n")
    string_bytes = CEILING_BYTES - len(header) - 6  # the tag and the size field
    chunk = ("Ceiling of the database size. " * 2185)[:65536 // 2].encode("utf-16-le")
    with open(path + ".tmp", "wb") as f:
        f.write(header + STRING_TAG.to_bytes(2, "little") + string_bytes.to_bytes(4, "little"))
        left = string_bytes - 2
        while left > 0:
            f.write(chunk[:left])
            left -= min(left, len(chunk))
        f.write(b"\0\0")
    os.replace(path + ".tmp", path)
    return path


# Running.

class Run:
    def __init__(self, wall, cpu, rss_kb, exit_code):
        self.wall, self.cpu, self.rss_kb, self.exit_code = wall, cpu, rss_kb, exit_code


def start(args, output, pipe):
    """Starts `args` with standard output into the file `output`, straight or through a pipe
    that cat empties into it; the process and the reader (or None)."""
    out = open(output, "wb")
    if not pipe:
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.DEVNULL)
        out.close()
        return proc, None
    read_end, write_end = os.pipe()
    reader = subprocess.Popen(["cat"], stdin=read_end, stdout=out)
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=write_end,
                            stderr=subprocess.DEVNULL)
    for fd in (read_end, write_end):
        os.close(fd)
    out.close()
    return proc, reader


def timed(program, db, output, pipe, sync):
    """One timed run: wall time, CPU time of the program (user + system, from the kernel's
    accounting of /usr/bin/time and its child) and the program's peak resident set. The peak
    comes from /usr/bin/time, whose small process forks the program: a child forked from this
    script would start with the script's own resident set and could report that as its peak."""
    if sync:
        os.sync()  # the previous listing must not be written back during this run
    figures = output + ".time"
    begin = time.perf_counter()
    proc, reader = start(["/usr/bin/time", "-f", "%M", "-o", figures] + program + [db], output,
                         pipe)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if reader is not None:
        reader.wait()
    wall = time.perf_counter() - begin
    with open(figures) as f:
        peak_kb = int(f.read().split()[-1])
    os.remove(figures)
    return Run(wall, usage.ru_utime + usage.ru_stime, peak_kb, proc.returncode)


WRITE_LINE = re.compile(rb"^(?:\d+ +)?write\((\d+),")


def count_writes_from_stdin(counts_path):
    """The --count-writes mode: strace's trace on standard input; the write calls per
    descriptor into counts_path (JSON)."""
    counts = {}
    for line in sys.stdin.buffer:
        match = WRITE_LINE.match(line)
        if match:
            fd = int(match.group(1))
            counts[fd] = counts.get(fd, 0) + 1
    with open(counts_path + ".tmp", "w") as f:
        json.dump(counts, f)
    os.replace(counts_path + ".tmp", counts_path)
    return 0


def traced(strace, program, db, output, pipe):
    """The write calls of one run under strace, per descriptor (a dict), and the exit code.
    strace hands its trace to a counting process of this script, so no trace is kept."""
    counts_path = output + ".writes"
    counter = "|exec %s %s --count-writes %s" % (shlex.quote(sys.executable),
                                                 shlex.quote(os.path.abspath(__file__)),
                                                 shlex.quote(counts_path))
    proc, reader = start([strace, "-f", "-qq", "-s", "0", "-e", "trace=write", "-o", counter]
                         + program + [db], output, pipe)
    proc.wait()
    if reader is not None:
        reader.wait()
    for _ in range(600):  # strace waits for its counter; this is only a guard
        if os.path.exists(counts_path):
            break
        time.sleep(0.1)
    with open(counts_path) as f:
        counts = {int(fd): n for fd, n in json.load(f).items()}
    os.remove(counts_path)
    return counts, proc.returncode


def as_text(utf16):
    """The UTF-8 that the native program makes of its UTF-16 listing for a pipe."""
    text = utf16[:len(utf16) & ~1].decode("utf-16-le", errors="surrogatepass")
    if len(utf16) % 2:
        text += "\ufffd"
    if text.startswith("\ufeff"):
        text = text[1:]
    text = re.sub("[\ud800-\udfff]", "\ufffd", text).replace("\r\n", "\n")
    return text.encode("utf-8")


def median(runs, field):
    return statistics.median(getattr(r, field) for r in runs)


# The variants of one database: name, program, listing to a pipe.
VARIANTS = ("before", "after", "floor", "after-pipe", "floor-pipe")


def measure(name, db, tags, programs, strace, base_runs, out_dir):
    stem = os.path.join(out_dir, "native-" + re.sub(r"[^\w.-]", "_", name))
    listings = {v: "%s.%s.txt" % (stem, v) for v in VARIANTS}
    reference = {"before": stem + ".before-ref.txt", "after": stem + ".after-ref.txt",
                 "after-pipe": stem + ".after-pipe-ref.txt"}
    load = load_average()
    # The reference listings, which are also the warm-up runs.
    first = {}
    for variant, program, pipe in (("before", "before", False), ("after", "after", False),
                                   ("after-pipe", "after", True)):
        first[variant] = timed([programs[program]], db, reference[variant], pipe, True)
    codes = {v: r.exit_code for v, r in first.items()}
    if len(set(codes.values())) != 1:
        raise SystemExit("%s: the exit codes differ: %r" % (name, codes))
    same = filecmp.cmp(reference["before"], reference["after"], shallow=False)
    with open(reference["after"], "rb") as f:
        utf16 = f.read()
    with open(reference["after-pipe"], "rb") as f:
        utf8 = f.read()
    text_ok = utf8 == as_text(utf16)
    commands = {
        "before": ([programs["before"]], db, False),
        "after": ([programs["after"]], db, False),
        "floor": ([programs["floor"]], reference["after"], False),
        "after-pipe": ([programs["after"]], db, True),
        "floor-pipe": ([programs["floor"]], reference["after-pipe"], True),
    }
    runs = base_runs * max(1, min(10, int(32e6 // max(len(utf16), 1))))
    results = {v: [] for v in VARIANTS}
    sync = len(utf16) > 1000000
    for _ in range(runs):
        for variant in VARIANTS:
            program, source, pipe = commands[variant]
            run = timed(program, source, listings[variant], pipe, sync)
            expected = 0 if variant.startswith("floor") else codes["after"]
            if run.exit_code != expected:
                raise SystemExit("%s: %s exited with %d, not %d"
                                 % (name, variant, run.exit_code, expected))
            results[variant].append(run)
    # The floor's output must be what it stands for.
    for floor, listing in (("floor", reference["after"]), ("floor-pipe", reference["after-pipe"])):
        if not filecmp.cmp(listings[floor], listing, shallow=False):
            raise SystemExit("%s: the floor's output differs from %s" % (name, listing))
    writes = None
    if strace:
        writes = {}
        for variant in VARIANTS:
            program, source, pipe = commands[variant]
            writes[variant], code = traced(strace, program, source, listings[variant], pipe)
            expected = 0 if variant.startswith("floor") else codes["after"]
            if code != expected:
                raise SystemExit("%s: %s under strace exited with %d" % (name, variant, code))
    for path in list(listings.values()) + list(reference.values()):
        if os.path.exists(path):
            os.remove(path)
    return {"name": name, "tags": tags, "db_bytes": os.path.getsize(db),
            "utf16_bytes": len(utf16), "utf8_bytes": len(utf8), "exit_code": codes["after"],
            "same": same, "text_ok": text_ok, "runs": runs, "results": results,
            "writes": writes, "load": load}


# Reporting.

def ratio(a, b):
    if b <= 0:
        return "-"
    value = a / b
    return ("%.0f" if value >= 100 else "%.1f" if value >= 0.1 else "%.3f") % value


def ms(seconds):
    return "%.1f" % (seconds * 1000) if seconds >= 0.01 else "%.2f" % (seconds * 1000)


def kb(value):
    return "%.0f" % value


def stdout_writes(r, variant):
    return r["writes"][variant].get(1, 0) if r["writes"] else None


def count_text(n):
    return "-" if n is None else "{:,}".format(n)


def label(r):
    return r["name"] + (" ({:,} tags)".format(r["tags"]) if r["tags"] else "")


def tables(results):
    lines = ["Before and after, listing into a file (UTF-16LE; write calls to standard output):",
             "",
             "| Database | DB KB | Listing KB | Runs | Load | write calls before / after | "
             "Fewer | Wall ms before / after | Faster | CPU ms before / after | Less CPU | "
             "Peak KB before / after | Peak after − before KB | Same bytes |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in results:
        res = r["results"]
        wb, wa = stdout_writes(r, "before"), stdout_writes(r, "after")
        lines.append("| %s | %.1f | %.1f | %d | %.2f | %s / %s | %s | %s / %s | %s | %s / %s | %s "
                     "| %.0f / %.0f | %+.0f | %s |" % (
                         label(r), r["db_bytes"] / 1024, r["utf16_bytes"] / 1024, r["runs"],
                         r["load"], count_text(wb), count_text(wa),
                         ratio(wb, wa) if wb is not None else "-",
                         ms(median(res["before"], "wall")), ms(median(res["after"], "wall")),
                         ratio(median(res["before"], "wall"), median(res["after"], "wall")),
                         ms(median(res["before"], "cpu")), ms(median(res["after"], "cpu")),
                         ratio(median(res["before"], "cpu"), median(res["after"], "cpu")),
                         median(res["before"], "rss_kb"), median(res["after"], "rss_kb"),
                         median(res["after"], "rss_kb") - median(res["before"], "rss_kb"),
                         "yes" if r["same"] else "NO"))
    lines += ["", "After: its UTF-16 into a file against its UTF-8 into a pipe (read by cat), and "
              "the floor (the same bytes in 64 KB blocks) for each:", "",
              "| Database | UTF-8 KB | write calls file / pipe | Wall ms file / pipe | "
              "CPU ms file / pipe | Peak KB file / pipe | Floor wall ms file / pipe | "
              "Floor CPU ms file / pipe | CPU after ÷ floor file / pipe | UTF-8 is the UTF-16 "
              "as text |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in results:
        res = r["results"]

        def pair(a, b, field, form=ms):
            return "%s / %s" % (form(median(res[a], field)), form(median(res[b], field)))

        lines.append("| %s | %.1f | %s / %s | %s | %s | %s | %s | %s | %s / %s | %s |" % (
            label(r), r["utf8_bytes"] / 1024, count_text(stdout_writes(r, "after")),
            count_text(stdout_writes(r, "after-pipe")), pair("after", "after-pipe", "wall"),
            pair("after", "after-pipe", "cpu"), pair("after", "after-pipe", "rss_kb", kb),
            pair("floor", "floor-pipe", "wall"), pair("floor", "floor-pipe", "cpu"),
            ratio(median(res["after"], "cpu"), median(res["floor"], "cpu")),
            ratio(median(res["after-pipe"], "cpu"), median(res["floor-pipe"], "cpu")),
            "yes" if r["text_ok"] else "NO"))
    others = []
    for r in results:
        if r["writes"]:
            extra = ["%s %s" % (v, ", ".join("fd %d: %d" % (fd, n) for fd, n in
                                            sorted(r["writes"][v].items()) if fd != 1))
                     for v in VARIANTS if any(fd != 1 for fd in r["writes"][v])]
            if extra:
                others.append("%s: %s" % (r["name"], "; ".join(extra)))
    if others:
        lines += ["", "Write calls to other descriptors (the version line on standard error): "
                  + ". ".join(others) + "."]
    return lines


def targets(results, byte_name, tag_name):
    lines = ["", "The issue's targets (reported, not asserted):"]
    for r in results:
        if r["name"] not in (byte_name, tag_name):
            continue
        res = r["results"]
        wb, wa = stdout_writes(r, "before"), stdout_writes(r, "after")
        walls = median(res["before"], "wall") / median(res["after"], "wall")
        cpus = median(res["before"], "cpu") / median(res["after"], "cpu")
        fewer = ("%.0fx fewer write calls (target %dx): %s" % (
            wb / max(wa, 1), TARGET_FEWER_WRITES,
            "met" if wb >= TARGET_FEWER_WRITES * wa else "NOT met")) if wb is not None else \
            "write calls not counted (no strace)"
        lines.append("- %s: %s; %.1fx less wall time (target %dx): %s (CPU time %.1fx less)." % (
            label(r), fewer, walls, TARGET_LESS_WALL,
            "met" if walls >= TARGET_LESS_WALL else "NOT met", cpus))
    over = [r for r in results if median(r["results"]["after"], "rss_kb")
            > median(r["results"]["before"], "rss_kb") + BLOCK_BYTES // 1024]
    if not results:
        return []
    lines.append("- Peak memory at most the before's plus the 64 KB block: %s." % (
        "met for every database" if not over else "NOT met for " + ", ".join(
            "%s (%+.0f KB)" % (r["name"], median(r["results"]["after"], "rss_kb")
                             - median(r["results"]["before"], "rss_kb")) for r in over)))
    return lines


def main(argv):
    if len(argv) == 3 and argv[1] == "--count-writes":
        return count_writes_from_stdin(argv[2])
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="30000,%d" % wine_bench.SYSMAIN_TAGS)
    parser.add_argument("--no-bytes", action="store_true", help="leave out the byte database")
    parser.add_argument("--no-realdb", action="store_true", help="leave out tests/realdb")
    parser.add_argument("--no-strace", action="store_true", help="do not count write calls")
    parser.add_argument("--ceiling", action="store_true",
                        help="also a database of one string at the ceiling of 256 MiB")
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--before", default=BEFORE_REV)
    parser.add_argument("--after", default=os.path.join(NATIVE_DIR, "bin", "shimlist"),
                        help="the after program (default: build/native's, built here)")
    parser.add_argument("--after-rev", help="build the after program and the floor from this "
                        "commit instead, in a worktree of their own (build/bench-after)")
    parser.add_argument("--out-dir", default=wine_bench.DATA_DIR)
    parser.add_argument("--markdown", help="also write the tables into this file")
    args = parser.parse_args(argv[1:])
    before = os.path.join(BEFORE_DIR, "bin", "shimlist")
    floor = os.path.join(NATIVE_DIR, "bin", "shimlist_floor_native")
    if args.after_rev:
        args.after = os.path.join(AFTER_DIR, "bin", "shimlist")
        floor = os.path.join(AFTER_DIR, "bin", "shimlist_floor_native")
    if not args.no_build:
        build_commit(args.before, BEFORE_SOURCE, BEFORE_DIR, ["shimlist"])
        if args.after_rev:
            build_commit(args.after_rev, AFTER_SOURCE, AFTER_DIR,
                         ["shimlist", "shimlist_floor_native"])
        else:
            build_native()
    before_commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=BEFORE_SOURCE,
                                   capture_output=True, text=True).stdout.strip()
    programs = snapshot(before, args.after, floor)
    after_version = subprocess.run([programs["after"], "--version"], capture_output=True,
                                   text=True).stdout.strip()
    if after_version.endswith("+changes)"):
        log("the after program was built from a work tree with uncommitted changes: "
            "--after-rev HEAD measures the last commit alone")
    strace = None if args.no_strace else find_strace()
    if strace is None and not args.no_strace:
        log("strace is missing and cannot be installed: the write calls are not counted")
    os.makedirs(args.out_dir, exist_ok=True)
    load_start, started = load_average(), time.strftime("%Y-%m-%d %H:%M")
    databases = []
    for tags in [int(s) for s in args.sizes.split(",") if s]:
        db, count = wine_bench.database(tags)
        databases.append((os.path.basename(db), db, count))
    byte_name = tag_name = None
    if not args.no_bytes:
        tags_db, _ = wine_bench.database(wine_bench.SYSMAIN_TAGS)
        byte_db = bytes_bench.byte_database(os.path.getsize(tags_db))
        byte_name = os.path.basename(byte_db)
        databases.append((byte_name, byte_db, 0))
    tag_name = "bench-%d.sdb" % wine_bench.SYSMAIN_TAGS
    if args.ceiling:
        databases.append(("ceiling-268435456.sdb", ceiling_database(), 0))
    if not args.no_realdb:
        databases += [(os.path.basename(p), p, 0)
                      for p in sorted(glob.glob(os.path.join(REALDB_DIR, "*.sdb")))]
    results = []
    for name, db, tags in databases:
        log("%s (load average %.2f)" % (name, load_average()))
        results.append(measure(name, db, tags, programs, strace, args.runs, args.out_dir))
    lines = ["Machine: %d cores; load average (1 minute) %.2f at the start and %.2f at the end "
             "(the column Load: before each database); %s to %s; listings written to %s; "
             "medians." % (os.cpu_count(), load_start, load_average(), started,
                           time.strftime("%H:%M %Z"), args.out_dir),
             "Before: commit %s (build/bench-before). After: %s (%s)." % (
                 before_commit[:12], after_version, os.path.relpath(args.after, SOURCE_DIR)),
             "Write calls: %s." % ("counted by strace -f -e trace=write, one run each" if strace
                                   else "not counted: strace is missing"), ""]
    lines += tables(results) + targets(results, byte_name, tag_name)
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
