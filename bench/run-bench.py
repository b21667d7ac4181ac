#!/usr/bin/env python3
"""Listing benchmark: shimlist against the floor set by its own WriteFile calls.

Usage: python3 bench/run-bench.py [--runs N] [--sizes 30000,320000,...] [--no-build]
                                  [--compressed-tags N] [--markdown FILE] [--out-dir DIR]

Builds the 64-bit product, the recording build, the floor program and the walk-cost program
into build/bench,
generates the benchmark databases (bench/gen_bench_db.py) into build/bench/benchdata, and for
each database:
  1. runs the recording build once: the listing and the byte count of every WriteFile call;
  2. checks that shimlist writes the same listing and that the floor replays it byte for byte;
  3. runs shimlist and the floor N times each (more for small databases), alternately, under
     wine64 with a persistent wineserver of a prefix of its own (standard output to a file,
     standard error to /dev/null, the disk flushed before each run), and prints the medians:
     wall and CPU time, tags and output megabytes per second, peak memory (maximum resident
     set), and the ratio shimlist/floor.
The time of a run on an empty database (start-up and shut-down of a Wine process) is
measured too, and the time per tag is given both whole and without it. Then the walk-cost
program shows what the work between the writes costs per tag. Last, a database of about
--compressed-tags tags (default 1,000,000; 0 leaves it out) is written compressed by the
database writer and listed against its unpacked twin: the open time of each (from the walk-cost
program, best of 3: the difference is the unpacking), listing wall times and peak memory.

These are measurements, not tests: nothing here passes or fails on a figure.
"""

import argparse
import filecmp
import hashlib
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
BUILD_DIR = os.path.join(SOURCE_DIR, "build", "bench")
BIN_DIR = os.path.join(BUILD_DIR, "bin")
DATA_DIR = os.path.join(BUILD_DIR, "benchdata")
WINE_RUN = os.path.join(SOURCE_DIR, "tools", "wine-run")
# A prefix of its own, so that its wineserver serves nobody else's test runs meanwhile; made
# (64-bit only) on first use.
WINEPREFIX = os.environ.get("SHIMLIST_BENCH_WINEPREFIX",
                            os.path.expanduser("~/.wine-shimlist-bench"))

DEFAULT_SIZES = (30000, 300000, 3000000, 320000)
DEFAULT_COMPRESSED_TAGS = 1000000
SYSMAIN_TAGS = 320000  # the size of the real system database: the "tag listing" figures


def log(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def build():
    if not os.path.exists(os.path.join(BUILD_DIR, "build.ninja")):
        subprocess.run(["cmake", "--preset", "x86_64", "-B", BUILD_DIR], cwd=SOURCE_DIR,
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "shimlist", "apphelp",
                    "shimlist_recording", "shimlist_floor", "shimlist_walkcost"],
                   cwd=SOURCE_DIR, check=True, stdout=subprocess.DEVNULL)


def start_wineserver():
    # A persistent wineserver: otherwise each run starts one and waits for it to idle out.
    env = dict(os.environ, WINEPREFIX=WINEPREFIX)
    if not os.path.exists(os.path.join(WINEPREFIX, "system.reg")):
        log("making the Wine prefix %s" % WINEPREFIX)
        subprocess.run(["/usr/lib/wine/wine64", "wineboot", "--init"], env=dict(
            env, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml="),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "-w"], env=env, check=True)
    # It exits with a failure when a persistent one is already there, which is as good.
    subprocess.run(["wineserver", "-p"], env=env, stderr=subprocess.DEVNULL)


def wineserver_pid():
    """The wineserver of our prefix: it works in a folder named after the prefix's device and
    inode. None when it cannot be found (its CPU time is then not shown)."""
    st = os.stat(WINEPREFIX)
    folder = "server-%x-%x" % (st.st_dev, st.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/cwd" % entry).endswith("/" + folder):
                with open("/proc/%s/comm" % entry) as f:
                    if f.read().startswith("wineserver"):
                        return int(entry)
        except OSError:
            continue
    return None


def process_cpu(pid):
    if pid is None:
        return 0.0
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def generator_stamp():
    digest = hashlib.sha256()
    for path in (os.path.join(HERE, "gen_bench_db.py"),
                 os.path.join(SOURCE_DIR, "sdbwriter", "sdbwrite.py")):
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


def database(tags):
    """Path of the benchmark database of about `tags` tags (0: an empty database) and its
    exact tag count; generated when missing or made by another generator."""
    os.makedirs(DATA_DIR, exist_ok=True)
    path = os.path.join(DATA_DIR, "bench-%d.sdb" % tags)
    stamp_path = path + ".stamp"
    stamp = generator_stamp()
    if os.path.exists(path) and os.path.exists(stamp_path):
        with open(stamp_path) as f:
            saved = f.read().split()
        if saved[:1] == [stamp]:
            return path, int(saved[1])
    if tags == 0:
        sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
        import sdbwrite
        with open(path, "wb") as f:
            f.write(sdbwrite.compile_source("version 3 0\nstringtable none\n"))
        count = 0
    else:
        log("generating %s" % os.path.basename(path))
        out = subprocess.run([sys.executable, os.path.join(HERE, "gen_bench_db.py"), str(tags),
                              path], check=True, capture_output=True, text=True).stdout
        count = int(out.split(": ")[1].split()[0])
    with open(stamp_path, "w") as f:
        f.write("%s %d\n" % (stamp, count))
    return path, count


class Run:
    def __init__(self, wall, cpu, rss_kb, server_cpu, exit_code):
        self.wall, self.cpu, self.rss_kb = wall, cpu, rss_kb
        self.server_cpu, self.exit_code = server_cpu, exit_code


def run_program(args, output, server, env=None):
    """Runs a Windows program under wine64 with standard output into `output`; its wall time,
    CPU time (user + system, from the kernel's accounting of the child and its children, in
    microseconds) and peak resident set. The peak comes from /usr/bin/time, whose small process
    forks the program: a child forked from this script would start with the script's own
    resident set and could report that as its peak."""
    # The previous run's output must not be written back to disk during this one.
    os.sync()
    server_before = process_cpu(server)
    figures = output + ".time"
    with open(output, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", figures, WINE_RUN] + args,
                                cwd=BIN_DIR, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.DEVNULL,
                                env=dict(env or os.environ, SHIMLIST_WINEPREFIX=WINEPREFIX))
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(figures) as f:
        peak_kb = int(f.read().split()[-1])
    os.remove(figures)
    return Run(wall, usage.ru_utime + usage.ru_stime, peak_kb, process_cpu(server) - server_before,
               proc.returncode)


def record(db, listing, writes, server):
    env = dict(os.environ, SHIMLIST_BENCH_WRITES=windows_path(writes))
    run = run_program(["./shimlist_recording.exe", windows_path(db)], listing, server, env)
    if run.exit_code != 0:
        raise SystemExit("recording build: exit code %d for %s" % (run.exit_code, db))
    calls = os.path.getsize(writes) // 4
    total = 0
    with open(writes, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            total += sum(memoryview(chunk).cast("I"))
    if total != os.path.getsize(listing):
        raise SystemExit("recording build: %d bytes recorded, the listing has %d"
                         % (total, os.path.getsize(listing)))
    return calls


def median(runs, field):
    return statistics.median(getattr(r, field) for r in runs)


def measure(tags_wanted, runs, server, out_dir):
    db, tags = database(tags_wanted)
    # Short runs scatter more: the smaller databases get more of them.
    runs *= max(1, min(10, 300000 // max(tags, 1)))
    stem = os.path.join(out_dir, os.path.splitext(os.path.basename(db))[0])
    listing, writes = stem + ".recorded.txt", stem + ".writes"
    product_out, floor_out = stem + ".shimlist.txt", stem + ".floor.txt"
    calls = record(db, listing, writes, server)
    shim_runs, floor_runs = [], []
    for index in range(runs):
        shim = run_program(["./shimlist.exe", windows_path(db)], product_out, server)
        floor = run_program(["./shimlist_floor.exe"], floor_out, server, dict(
            os.environ, SHIMLIST_FLOOR_LISTING=windows_path(listing),
            SHIMLIST_FLOOR_WRITES=windows_path(writes)))
        if shim.exit_code != 0 or floor.exit_code != 0:
            raise SystemExit("exit codes: shimlist %d, floor %d for %s"
                             % (shim.exit_code, floor.exit_code, db))
        if index == 0:
            # The floor stands for shimlist only if both write what the recording wrote.
            for path in (product_out, floor_out):
                if not filecmp.cmp(path, listing, shallow=False):
                    raise SystemExit("%s differs from the recorded listing" % path)
        shim_runs.append(shim)
        floor_runs.append(floor)
    for path in (product_out, floor_out):
        os.remove(path)
    result = {
        "tags": tags, "db_bytes": os.path.getsize(db), "out_bytes": os.path.getsize(listing),
        "calls": calls, "shim": shim_runs, "floor": floor_runs,
    }
    for path in (listing, writes):
        os.remove(path)
    return result


def packed_database(tags):
    """The benchmark database of about `tags` tags, written compressed by the database writer
    beside the unpacked one; both paths."""
    plain, _ = database(tags)
    packed = plain[:-len(".sdb")] + ".zdbf.sdb"
    if not os.path.exists(packed) or os.path.getmtime(packed) < os.path.getmtime(plain):
        sys.path.insert(0, os.path.join(SOURCE_DIR, "sdbwriter"))
        import sdbwrite
        with open(plain, "rb") as src, open(packed + ".tmp", "wb") as dst:
            dst.write(sdbwrite.compress(src.read()))
        os.replace(packed + ".tmp", packed)
    return plain, packed


def open_time_ms(db):
    """Best time of three opens and closes of db through the stand-in, from the walk-cost
    program."""
    walk = subprocess.run([WINE_RUN, "./shimlist_walkcost.exe", windows_path(db), "3"],
                          cwd=BIN_DIR, capture_output=True, text=True,
                          env=dict(os.environ, SHIMLIST_WINEPREFIX=WINEPREFIX))
    for line in walk.stdout.splitlines():
        if line.startswith("open and close: "):
            return float(line.split()[3])
    raise SystemExit("walk-cost program: no open time for %s: %r" % (db, walk.stdout))


def measure_compressed(tags_wanted, runs, server, out_dir):
    """Lists a compressed database and its unpacked twin alternately; the figures as Markdown."""
    plain, packed = packed_database(tags_wanted)
    _, tags = database(tags_wanted)
    stem = os.path.join(out_dir, "bench-compressed")
    plain_runs, packed_runs = [], []
    for index in range(runs):
        for db, out, kept in ((plain, stem + ".plain.txt", plain_runs),
                              (packed, stem + ".packed.txt", packed_runs)):
            run = run_program(["./shimlist.exe", windows_path(db)], out, server)
            if run.exit_code != 0:
                raise SystemExit("exit code %d for %s" % (run.exit_code, db))
            kept.append(run)
        if index == 0:
            # Past the header's first line (the path) the listings must be the same.
            with open(stem + ".plain.txt", "rb") as a, open(stem + ".packed.txt", "rb") as b:
                if a.read().split(b"\r\0\n\0", 1)[1] != b.read().split(b"\r\0\n\0", 1)[1]:
                    raise SystemExit("the compressed database lists differently")
    for path in (stem + ".plain.txt", stem + ".packed.txt"):
        os.remove(path)
    open_plain, open_packed = open_time_ms(plain), open_time_ms(packed)
    return [
        "| Tags | File MB | Unpacked MB | Open ms unpacked / compressed | Unpacking ms | "
        "Listing wall s unpacked / compressed | Peak MB unpacked / compressed | Runs |",
        "|---:|---:|---:|---|---:|---|---|---:|",
        "| %d | %.2f | %.2f | %.1f / %.1f | %.1f | %.3f / %.3f | %.1f / %.1f | %d |" % (
            tags, os.path.getsize(packed) / 1e6, os.path.getsize(plain) / 1e6, open_plain,
            open_packed, open_packed - open_plain, median(plain_runs, "wall"),
            median(packed_runs, "wall"), median(plain_runs, "rss_kb") * 1024 / 1e6,
            median(packed_runs, "rss_kb") * 1024 / 1e6, runs),
    ]


def table(results, startup, startup_cpu):
    """The figures as two Markdown tables: shimlist's, and the floor's with the ratios."""
    rows = ["| Tags | DB MB | Output MB | WriteFile calls | Wall s (min-max) | CPU s | Tags/s | "
            "Output MB/s | us/tag | us/tag net | CPU us/tag net | Peak MB | Peak - DB MB |",
            "|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        shim = r["shim"]
        wall = median(shim, "wall")
        peak = median(shim, "rss_kb") * 1024
        rows.append("| %d | %.2f | %.1f | %d | %.3f (%.3f-%.3f) | %.3f | %.0f | %.1f | %.2f | "
                    "%.2f | %.2f | %.1f | %.1f |" % (
                        r["tags"], r["db_bytes"] / 1e6, r["out_bytes"] / 1e6, r["calls"], wall,
                        min(x.wall for x in shim), max(x.wall for x in shim),
                        median(shim, "cpu"), r["tags"] / wall, r["out_bytes"] / wall / 1e6,
                        wall / r["tags"] * 1e6, (wall - startup) / r["tags"] * 1e6,
                        (median(shim, "cpu") - startup_cpu) / r["tags"] * 1e6, peak / 1e6,
                        (peak - r["db_bytes"]) / 1e6))
    rows += ["", "| Tags | Runs | Floor wall s (min-max) | Floor CPU s | Floor output MB/s | "
             "Floor peak MB | Ratio wall | Ratio CPU | wineserver CPU s |",
             "|---:|---:|---|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        shim, floor = r["shim"], r["floor"]
        floor_wall = median(floor, "wall")
        rows.append("| %d | %d | %.3f (%.3f-%.3f) | %.3f | %.1f | %.1f | %.3f | %.3f | %.3f |" % (
            r["tags"], len(shim), floor_wall, min(x.wall for x in floor),
            max(x.wall for x in floor), median(floor, "cpu"), r["out_bytes"] / floor_wall / 1e6,
            median(floor, "rss_kb") * 1024 / 1e6,
            median(shim, "wall") / floor_wall, median(shim, "cpu") / median(floor, "cpu"),
            median(shim, "server_cpu")))
    return rows


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default=",".join(str(s) for s in DEFAULT_SIZES))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--compressed-tags", type=int, default=DEFAULT_COMPRESSED_TAGS)
    parser.add_argument("--markdown", help="also write the table into this file")
    parser.add_argument("--out-dir", default=DATA_DIR,
                        help="folder of the listings written (default: %(default)s)")
    args = parser.parse_args(argv[1:])
    sizes = [int(s) for s in args.sizes.split(",") if s]

    if not args.no_build:
        build()
    start_wineserver()
    server = wineserver_pid()
    load_before = os.getloadavg()

    empty, _ = database(0)
    # The first run after a pause loads everything from disk; it is not counted.
    run_program(["./shimlist.exe", windows_path(empty)], os.path.join(DATA_DIR, "empty.txt"),
                server)
    startup_runs = [run_program(["./shimlist.exe", windows_path(empty)],
                                os.path.join(DATA_DIR, "empty.txt"), server)
                    for _ in range(args.runs * 5)]
    startup = median(startup_runs, "wall")
    startup_cpu = median(startup_runs, "cpu")
    log("empty database: wall %.3f s, CPU %.3f s, peak %.1f MB" % (
        startup, median(startup_runs, "cpu"), median(startup_runs, "rss_kb") * 1024 / 1e6))

    results = []
    for tags in sizes:
        result = measure(tags, args.runs, server, args.out_dir)
        results.append(result)
        rows = table([result], startup, startup_cpu)
        log("%s\n%s" % (rows[2], rows[-1]))

    load_after = os.getloadavg()
    lines = [
        "Machine: %d cores, load average %.2f before and %.2f after (1 minute); medians of the "
        "runs, shimlist and floor alternating; listings written to %s." % (
            os.cpu_count(), load_before[0], load_after[0], args.out_dir),
        "Empty database (start-up and shut-down of one Wine process): wall %.3f s, CPU %.3f s, "
        "peak %.1f MB. MB are 10^6 bytes; \"net\" leaves that time out." % (startup, median(startup_runs, "cpu"),
                           median(startup_runs, "rss_kb") * 1024 / 1e6),
        "",
    ]
    if results:
        lines += table(results, startup, startup_cpu)
    sysmain = [r for r in results if r["tags"] >= SYSMAIN_TAGS * 0.97 and
               r["tags"] <= SYSMAIN_TAGS * 1.03]
    for r in sysmain:
        wall = median(r["shim"], "wall")
        lines += ["", "Tag listing, database the size of sysmain.sdb (%d tags, %.2f MB): wall %.3f s, "
                  "%.0f tags/s, %d WriteFile calls, %d output bytes, peak memory %.1f MB." % (
                      r["tags"], r["db_bytes"] / 1e6, wall, r["tags"] / wall, r["calls"],
                      r["out_bytes"], median(r["shim"], "rss_kb") * 1024 / 1e6)]
    # Where the time between the writes goes, on the sysmain-sized database if it was measured.
    if results:
        chosen = (sysmain or results)[0]
        db, _ = database(next(t for t in sizes if abs(t - chosen["tags"]) <= t * 0.03))
        walk = subprocess.run([WINE_RUN, "./shimlist_walkcost.exe", windows_path(db), "10"],
                              cwd=BIN_DIR, capture_output=True, text=True,
                              env=dict(os.environ, SHIMLIST_WINEPREFIX=WINEPREFIX))
        lines += ["", "Work between the writes, without writing (shimlist_walkcost, %s):" %
                  os.path.basename(db), "", "```"] + walk.stdout.strip().splitlines() + ["```"]
    if args.compressed_tags:
        rows = measure_compressed(args.compressed_tags, args.runs, server, args.out_dir)
        log("%s" % rows[-1])
        lines += ["", "Compressed database (written by the database writer) against its "
                  "unpacked twin; the program unpacks twice, for the version query and for "
                  "the opening:", ""] + rows
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
