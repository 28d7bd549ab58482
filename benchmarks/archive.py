"""Benchmark of archives: many files of levels written as tables, on one
core, on two, and on a Dask cluster, and the tables queried.

The archive is made by tools/generate_records.py (--form archive): export
files and saves of many levels, server data, encoded level data, level
strings, a record file and a few broken files, 2,000 levels and about 5.5
million objects (--quick: 200 levels). It is made once into build/ and
kept for later runs with the same size.

Rows:

- `velk table` (Parquet) with 1 and 2 worker processes: seconds, objects
  per second and the ratio of the two; peak memory of the largest process
  that ran tasks;
- the same tables written by velk.dask on a LocalCluster of 2 worker
  processes (loopback only), against --jobs 2; the cluster's start-up is
  shown apart;
- the bytes of the Parquet tables against the bytes of the input files;
- "count objects by id": DuckDB (or pyarrow when DuckDB is missing) on the
  Parquet tables, against reading the archive again with velk.level.

Each command is timed over whole runs (time.perf_counter, best of
--repeat). The machine is shared: the load average before and after is
shown, and a load above the number of cores means other processes took
part of them, which shows first in the ratio of 2 processes to 1.

Needs the extras: pip install 'velk[table,dask]' duckdb (make bench-archive).
"""
import argparse
import os
import shutil
import sys
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import generate_records  # noqa: E402

from velk import level  # noqa: E402
from velk.archive.pool import usable_cores  # noqa: E402
from velk.archive.table import write_table  # noqa: E402

SIZES = {"full": (2000, 2500), "quick": (200, 2500)}


def _archive(levels, objects):
    folder = os.path.join(ROOT, "build", "bench-archive-%d-%d" % (levels, objects))
    stamp = os.path.join(folder, ".complete")
    if not os.path.exists(stamp):
        shutil.rmtree(folder, ignore_errors=True)
        generate_records.write_archive(folder, levels, objects, seed=1)
        open(stamp, "w").close()
    return folder


def _bytes(folder):
    return sum(os.path.getsize(os.path.join(top, name))
               for top, _, names in os.walk(folder) for name in names
               if not name.startswith("."))


def _best(repeat, run):
    """(least seconds, last result) of `repeat` runs of `run()`."""
    best, result = float("inf"), None
    for _ in range(repeat):
        started = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - started)
    return best, result


def _row(name, value, note=""):
    print("  %-46s %14s  %s" % (name, value, note))


def _table(archive, out, jobs):
    return write_table([archive], out, jobs=jobs, format="parquet", replace=True)


def _dask_table(archive, out):
    from dask.distributed import Client, LocalCluster

    from velk import dask as velk_dask

    started = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address="127.0.0.1:0",
                           worker_dashboard_address="127.0.0.1:0")
    client = Client(cluster)
    start_up = time.perf_counter() - started
    try:
        seconds, done = _best(1, lambda: velk_dask.write_table([archive], out, replace=True))
    finally:
        client.close()
        cluster.close()
    return start_up, seconds, done


def _count_in_table(tables):
    objects = os.path.join(tables, "objects")
    try:
        import duckdb
    except ImportError:
        import pyarrow.dataset as dataset

        table = dataset.dataset(objects, format="parquet").to_table(columns=["object_id"])
        counts = table.group_by("object_id").aggregate([("object_id", "count")]).to_pydict()
        return "pyarrow", dict(zip(counts["object_id"], counts["object_id_count"]))
    query = "SELECT object_id, count(*) FROM '%s' GROUP BY 1" % os.path.join(objects,
                                                                          "*.parquet")
    return "DuckDB", dict(duckdb.sql(query).fetchall())


def _count_by_reading(archive):
    counts = Counter()
    for _, levels in level.read_files([archive], keep_going=True):
        for read in levels:
            counts.update(record.get("1") for record in read.objects)
    return counts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="an archive of 200 levels")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each row (best is shown)")
    args = parser.parse_args(argv)
    levels, objects = SIZES["quick" if args.quick else "full"]
    archive = _archive(levels, objects)
    out = os.path.join(ROOT, "build", "bench-tables")
    load_before = os.getloadavg()
    print("archive: %s (%s files, %s bytes); %d usable cores, load average %.2f"
          % (archive, len(level.find_inputs([archive])), format(_bytes(archive), ","),
             usable_cores(), load_before[0]))

    one, done = _best(args.repeat, lambda: _table(archive, out + "-1", 1))
    two, done_two = _best(args.repeat, lambda: _table(archive, out + "-2", 2))
    print("velk table, Parquet: %s levels, %s objects, %s failures"
          % (format(done.levels, ","), format(done.objects, ","), format(done.failures, ",")))
    _row("1 process: seconds, objects/s", "%.1f s" % one, "%s objects/s" % format(
        int(done.objects / one), ","))
    _row("2 processes: seconds, objects/s", "%.1f s" % two, "%s objects/s" % format(
        int(done_two.objects / two), ","))
    _row("2 processes against 1 (goal >= 1.8x)", "%.2fx" % (one / two))
    _row("peak memory of a process, 1 / 2 processes",
         "%d MB" % (done.peak_memory >> 20), "%d MB a worker" % (done_two.peak_memory >> 20))

    start_up, on_dask, done_dask = _dask_table(archive, out + "-dask")
    assert done_dask.objects == done.objects
    _row("Dask LocalCluster, 2 workers: seconds", "%.1f s" % on_dask,
         "start-up %.1f s apart" % start_up)
    _row("Dask against --jobs 2 (goal <= 1.4x)", "%.2fx" % (on_dask / two))

    parquet, encoded = _bytes(out + "-2"), _bytes(archive)
    _row("Parquet bytes / input bytes", "%.2f" % (parquet / encoded),
         "%s / %s" % (format(parquet, ","), format(encoded, ",")))

    query, (engine, counted) = _best(max(3, args.repeat), lambda: _count_in_table(out + "-2"))
    reading, by_velk = _best(1, lambda: _count_by_reading(archive))
    # The table holds the record file's objects too, which hold no level.
    assert all(counted.get(key, 0) >= count for key, count in by_velk.items())
    _row("count objects by id: %s on Parquet" % engine, "%.3f s" % query)
    _row("count objects by id: reading with velk", "%.1f s" % reading)
    _row("Parquet query against reading (goal >= 20x)", "%.0fx" % (reading / query))
    print("load average after: %.2f" % os.getloadavg()[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
