#!/usr/bin/env python3
"""Native listing benchmark: the Linux program against its own floor and the Windows build.

Usage: python3 bench/run-bench-native.py [--runs N] [--sizes 30000,320000,...] [--wine-runs N]
                                         [--out-dir DIR] [--markdown FILE]

Builds the native program, its recording build (the same sources, with WriteFile caught at the
link to record each call's byte count) and the native floor (a plain Linux program that replays
exactly those write calls with the same bytes) into build/native, takes the databases of
bench/run-bench.py, and for each database:
  1. records the listing and the call sizes, and checks that shimlist and the floor write the
     recorded listing byte for byte;
  2. runs shimlist and the floor N times each, alternately (standard output to a file, standard
     error to /dev/null, the disk flushed before each run), and prints the medians of wall and
     CPU time, CPU per tag, peak memory and the ratio shimlist/floor;
  3. runs the 64-bit Windows build under wine64 (bench/run-bench.py's set-up) --wine-runs times
     on the same database, for the native program's speed-up.
These are measurements, not tests: nothing here passes or fails on a figure.
"""

import argparse
import filecmp
import importlib.util
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
NATIVE_DIR = os.path.join(SOURCE_DIR, "build", "native")
NATIVE_BIN = os.path.join(NATIVE_DIR, "bin")

_spec = importlib.util.spec_from_file_location("run_bench", os.path.join(HERE, "run-bench.py"))
wine_bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(wine_bench)


class Run:
    def __init__(self, wall, cpu, rss_kb, exit_code):
        self.wall, self.cpu, self.rss_kb, self.exit_code = wall, cpu, rss_kb, exit_code


def run_native(args, output, env=None):
    """Runs a native program with standard output into `output`: wall and CPU time (user +
    system of the child) and peak resident set (from /usr/bin/time, as in run-bench.py)."""
    os.sync()
    figures = output + ".time"
    with open(output, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", figures] + args,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    with open(figures) as f:
        peak_kb = int(f.read().split()[-1])
    os.remove(figures)
    return Run(wall, usage.ru_utime + usage.ru_stime, peak_kb, os.waitstatus_to_exitcode(status))


def build():
    if not os.path.exists(os.path.join(NATIVE_DIR, "build.ninja")):
        subprocess.run(["cmake", "--preset", "native"], cwd=SOURCE_DIR, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", NATIVE_DIR, "--target", "shimlist",
                    "shimlist_recording_native", "shimlist_floor_native"], check=True,
                   stdout=subprocess.DEVNULL)


def median(runs, field):
    return statistics.median(getattr(r, field) for r in runs)


def measure(tags_wanted, runs, wine_runs, server, out_dir):
    db, tags = wine_bench.database(tags_wanted)
    runs *= max(1, min(10, 300000 // max(tags, 1)))
    stem = os.path.join(out_dir, os.path.splitext(os.path.basename(db))[0])
    listing, writes = stem + ".native-recorded.txt", stem + ".native-writes"
    product_out, floor_out = stem + ".native-shimlist.txt", stem + ".native-floor.txt"
    recorded = run_native([os.path.join(NATIVE_BIN, "shimlist_recording_native"), db], listing,
                          dict(os.environ, SHIMLIST_BENCH_WRITES=writes))
    if recorded.exit_code != 0:
        raise SystemExit("recording build: exit code %d for %s" % (recorded.exit_code, db))
    shim_runs, floor_runs = [], []
    for index in range(runs):
        shim_runs.append(run_native([os.path.join(NATIVE_BIN, "shimlist"), db], product_out))
        floor_runs.append(run_native([os.path.join(NATIVE_BIN, "shimlist_floor_native"),
                                      listing, writes], floor_out))
        if shim_runs[-1].exit_code != 0 or floor_runs[-1].exit_code != 0:
            raise SystemExit("exit codes: shimlist %d, floor %d for %s"
                             % (shim_runs[-1].exit_code, floor_runs[-1].exit_code, db))
        if index == 0:
            for path in (product_out, floor_out):
                if not filecmp.cmp(path, listing, shallow=False):
                    raise SystemExit("%s differs from the recorded listing" % path)
    wine = [wine_bench.run_program(["./shimlist.exe", wine_bench.windows_path(db)],
                                   stem + ".wine.txt", server) for _ in range(wine_runs)]
    result = {"tags": tags, "db_bytes": os.path.getsize(db), "out_bytes": os.path.getsize(listing),
              "calls": os.path.getsize(writes) // 4, "shim": shim_runs, "floor": floor_runs,
              "wine": wine}
    for path in (listing, writes, product_out, floor_out, stem + ".wine.txt"):
        if os.path.exists(path):
            os.remove(path)
    return result


def rows(results):
    lines = ["| Tags | Listing MB | write calls | Runs | shimlist wall s | CPU s | CPU µs/tag | "
             "Peak MB | Floor wall s | Floor CPU s | Ratio wall / CPU | Windows build under "
             "wine64: wall s / CPU s | Native speed-up (wall) |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        shim, floor, wine = r["shim"], r["floor"], r["wine"]
        wine_text = ("%.3f / %.3f" % (median(wine, "wall"), median(wine, "cpu"))) if wine else "-"
        speed = ("%.1f" % (median(wine, "wall") / median(shim, "wall"))) if wine else "-"
        lines.append("| %d | %.1f | %d | %d | %.3f | %.3f | %.2f | %.1f | %.3f | %.3f | "
                     "%.3f / %.3f | %s | %s |" % (
                         r["tags"], r["out_bytes"] / 1e6, r["calls"], len(shim),
                         median(shim, "wall"), median(shim, "cpu"),
                         median(shim, "cpu") / max(r["tags"], 1) * 1e6,
                         median(shim, "rss_kb") * 1024 / 1e6, median(floor, "wall"),
                         median(floor, "cpu"), median(shim, "wall") / median(floor, "wall"),
                         median(shim, "cpu") / median(floor, "cpu"), wine_text, speed))
    return lines


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--wine-runs", type=int, default=3)
    parser.add_argument("--sizes", default=",".join(str(s) for s in wine_bench.DEFAULT_SIZES))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--out-dir", default=wine_bench.DATA_DIR)
    parser.add_argument("--markdown", help="also write the table into this file")
    args = parser.parse_args(argv[1:])
    if not args.no_build:
        build()
        if args.wine_runs:
            wine_bench.build()
    server = None
    if args.wine_runs:
        wine_bench.start_wineserver()
        server = wine_bench.wineserver_pid()
    load_before = os.getloadavg()
    empty, _ = wine_bench.database(0)
    startup = [run_native([os.path.join(NATIVE_BIN, "shimlist"), empty],
                          os.path.join(args.out_dir, "empty.txt")) for _ in range(20)]
    results = []
    for tags in [int(s) for s in args.sizes.split(",") if s]:
        results.append(measure(tags, args.runs, args.wine_runs, server, args.out_dir))
        wine_bench.log(rows(results[-1:])[-1])
    lines = ["Machine: %d cores, load average %.2f before and %.2f after (1 minute); medians; "
             "listings written to %s. Empty database (start and end of one process): wall "
             "%.4f s, CPU %.4f s, peak %.1f MB." % (
                 os.cpu_count(), load_before[0], os.getloadavg()[0], args.out_dir,
                 median(startup, "wall"), median(startup, "cpu"),
                 median(startup, "rss_kb") * 1024 / 1e6), ""] + rows(results)
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
