#!/usr/bin/env python3
"""Byte data against tags: two databases of the same size, one made mostly of byte data.

Usage: python3 bench/bytes-vs-tags.py [--runs N] [--no-build]

shimlist writes byte data one WriteFile call per byte (four bytes of listing each), while a tag
costs a handful of calls for a whole line. This measures what that means: the sysmain-shaped
benchmark database of about 320,000 tags (bench/gen_bench_db.py), and a database of the same
file size made of DATA_BITS items of 4,000 bytes each, both written by the project's writer.
Each is listed N times by the 64-bit build under wine64 (the machinery of bench/run-bench.py:
its build folder, Wine prefix and timing), and the medians are printed. A measurement, not a
test: nothing passes or fails on a figure.
"""

import argparse
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sdbwriter"))
import sdbwrite  # noqa: E402

_spec = importlib.util.spec_from_file_location("run_bench", os.path.join(HERE, "run-bench.py"))
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

SYSMAIN_TAGS = 320000
ITEM_BYTES = 4000
ITEM_OVERHEAD = 6  # the TAG and the size field of each item


def byte_database(size):
    """A database of DATA_BITS items, each of ITEM_BYTES pseudo-random bytes, of about size
    bytes in all; its path."""
    path = os.path.join(bench.DATA_DIR, "bytes-%d.sdb" % size)
    if os.path.exists(path):
        return path
    lines = ["version 3 0", "stringtable none"]
    for index in range(size // (ITEM_BYTES + ITEM_OVERHEAD)):
        data = bytes((index * 131 + offset * 7) & 0xFF for offset in range(ITEM_BYTES))
        lines.append("DATA_BITS hex " + data.hex())
    with open(path, "wb") as f:
        f.write(sdbwrite.compile_source("\n".join(lines) + "\n"))
    return path


def measure(db, runs, server):
    listing = os.path.join(bench.DATA_DIR, os.path.basename(db) + ".txt")
    results = [bench.run_program(["./shimlist.exe", bench.windows_path(db)], listing, server)
               for _ in range(runs + 1)][1:]  # the first run warms the caches
    if any(run.exit_code != 0 for run in results):
        raise SystemExit("shimlist failed on %s" % db)
    figures = (os.path.getsize(db), os.path.getsize(listing), bench.median(results, "wall"),
               bench.median(results, "cpu"))
    os.remove(listing)
    return figures


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args(argv[1:])
    if not args.no_build:
        bench.build()
    bench.start_wineserver()
    server = bench.wineserver_pid()
    tags_db, tags = bench.database(SYSMAIN_TAGS)
    bytes_db = byte_database(os.path.getsize(tags_db))
    print("| Database | DB MB | Listing MB | shimlist wall s | CPU s |")
    print("|---|---:|---:|---:|---:|")
    walls = []
    for name, db in (("%d tags (sysmain-shaped)" % tags, tags_db),
                     ("DATA_BITS items of %d bytes" % ITEM_BYTES, bytes_db)):
        size, out, wall, cpu = measure(db, args.runs, server)
        walls.append(wall)
        print("| %s | %.2f | %.1f | %.3f | %.3f |" % (name, size / 1e6, out / 1e6, wall, cpu))
    print("\nByte data takes %.1f times as long as tags (medians of %d runs each, load average "
          "%.2f)." % (walls[1] / walls[0], args.runs, os.getloadavg()[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
