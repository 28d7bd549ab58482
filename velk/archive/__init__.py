"""Archives: many files of levels read at once, on every core of a machine
or on a cluster, into tables that analysts query.

    from velk import archive
    done = archive.write_table(["archive/"], "tables", glob="*.xml", jobs=4)
    done.levels, done.objects, done.failures, done.status

then, with DuckDB, Polars or pyarrow:

    SELECT object_id, count(*) FROM 'tables/objects/*.parquet'
    GROUP BY object_id ORDER BY 2 DESC LIMIT 10

The parts, each usable on its own:

- ``velk.archive.plan``: the inputs cut into tasks of about the same size
  (`Task`), the same whatever the number of processes;
- ``velk.archive.reading``: what a task reads, levels and failures;
- ``velk.archive.rows``: the three tables' rows and columns (objects,
  levels, failures), and `record_of`, a record again from its row;
- ``velk.archive.parts``: a task's part of each table written as its rows
  stream, in Parquet or JSON lines;
- ``velk.archive.arrow``: the tables in Arrow and Parquet (pyarrow);
- ``velk.archive.tasks``: the map functions, for pools and clusters;
- ``velk.archive.pool``: tasks over worker processes, results in order;
- ``velk.archive.table``: a whole table written, with its summary;
- ``velk.dask``: the same on a Dask cluster.
"""
from velk.archive.plan import Task, plan_tasks
from velk.archive.rows import record_of
from velk.archive.table import write_table
from velk.archive.tasks import PartSummary, TableSettings

__all__ = ["Task", "plan_tasks", "record_of", "write_table", "PartSummary", "TableSettings"]
