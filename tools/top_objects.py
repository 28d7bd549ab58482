"""The ten most used object ids of a table written by `velk table`, counted
by DuckDB when it is installed, else by pyarrow.

    python tools/top_objects.py build/demo-archive/tables
"""
import os
import sys
import time


def _count_with_duckdb(objects):
    import duckdb

    query = ("SELECT object_id, count(*) AS objects FROM '%s' WHERE object_id IS NOT NULL "
             "GROUP BY object_id ORDER BY objects DESC, object_id LIMIT 10"
             % os.path.join(objects, "*.parquet").replace("'", "''"))
    return duckdb.sql(query).fetchall()


def _count_with_pyarrow(objects):
    import pyarrow.dataset as dataset

    table = dataset.dataset(objects, format="parquet").to_table(columns=["object_id"])
    counts = table.group_by("object_id").aggregate([("object_id", "count")]).to_pylist()
    found = [(row["object_id"], row["object_id_count"]) for row in counts
             if row["object_id"] is not None]
    return sorted(found, key=lambda pair: (-pair[1], pair[0]))[:10]


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 1:
        sys.stderr.write("usage: top_objects.py TABLES\n")
        return 2
    objects = os.path.join(args[0], "objects")
    try:
        import duckdb  # noqa: F401
        count, engine = _count_with_duckdb, "DuckDB"
    except ImportError:
        count, engine = _count_with_pyarrow, "pyarrow"
    started = time.perf_counter()
    rows = count(objects)
    elapsed = time.perf_counter() - started
    print("the ten most used object ids (%s, %.3f s):" % (engine, elapsed))
    for object_id, objects_counted in rows:
        print("  %6d  %s objects" % (object_id, format(objects_counted, ",")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
