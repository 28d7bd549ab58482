"""Archives on a Dask cluster (``pip install 'velk[dask]'``).

    from dask.distributed import Client, LocalCluster
    from velk import dask as velk_dask

    client = Client(LocalCluster(n_workers=4, threads_per_worker=1))
    levels = velk_dask.read_levels(["archive/"], glob="*.xml")   # a bag of (path, index, Level)
    levels.map(lambda found: len(found[2])).sum().compute()      # objects in all
    objects = velk_dask.read_objects(["archive/"])               # a dask DataFrame
    objects.object_id.value_counts().nlargest(10).compute()
    velk_dask.write_table(["archive/"], "tables")                # Parquet parts, one per task

The inputs are cut into the tasks of ``velk.archive.plan`` (files batched
to a few megabytes a task, large files cut by their levels), one task a
partition: a task costs Dask a few milliseconds, so one per file would
cost more than many files take to read. Each partition runs a map
function of ``velk.archive.tasks``, which holds no global state and whose
arguments and results pickle, and reduces where it runs: `write_table`
hands back a task's counts, never its rows.

Like Spark, Dask reads the files where its workers run: on a cluster of
several machines, the inputs and the output folder must be on storage
that every machine sees under the same path. Errors raised in a worker
reach the caller as the same error, with its location.

Uses the scheduler Dask would use anyway (the client made last, else
Dask's default); `scheduler` passes another to `compute`.
"""
from typing import Any, Dict, List, Optional, Sequence, Tuple

import dask
import dask.bag as bag

from velk.archive.parts import ROW_GROUP_ROWS
from velk.archive.plan import TASK_BYTES, Task, plan_tasks
from velk.archive.table import TableSummary, check_format, staged_folder
from velk.archive.tasks import PartSummary, TableSettings, task_levels, task_rows, write_part
from velk.level.data import MAX_SIZE
from velk.level.inputs import find_inputs
from velk.level.level import Level
from velk.level.values import PathName

__all__ = ["tasks_bag", "read_levels", "read_objects", "write_table"]


def tasks_bag(inputs: Sequence[PathName], glob: Optional[str] = None,
              task_bytes: int = TASK_BYTES) -> Tuple[List[Task], Any]:
    """The tasks of the inputs (see ``velk.archive.plan``) and a bag of
    them, one a partition."""
    tasks = _planned(inputs, glob, task_bytes)
    return tasks, bag.from_sequence(tasks, npartitions=max(1, len(tasks)))


def _planned(inputs: Sequence[PathName], glob: Optional[str], task_bytes: int,
             empty: Optional[List[str]] = None) -> List[Task]:
    tasks = plan_tasks(find_inputs(inputs, glob, empty), task_bytes)
    if any(task.local for task in tasks):
        raise ValueError('a cluster cannot read standard input ("-"): give files or folders')
    return tasks


def _levels_of(tasks: List[Task], form: Optional[str], max_size: int,
               keep_going: bool) -> List[Tuple[str, int, Level]]:
    found: List[Tuple[str, int, Level]] = []
    for task in tasks:
        found += task_levels(task, form, max_size, keep_going)
    return found


def read_levels(inputs: Sequence[PathName], glob: Optional[str] = None,
                form: Optional[str] = None, max_size: int = MAX_SIZE, keep_going: bool = False,
                task_bytes: int = TASK_BYTES) -> Any:
    """A bag of (path, index, Level), one for every level of the inputs,
    in order. All or nothing unless `keep_going`, as
    ``velk.level.read_file``: computing it raises the first error of a
    partition. With `keep_going`, each Level holds its records'
    `failures`, and files and levels that cannot be read are left out (use
    `write_table` for a table of them)."""
    _, tasks = tasks_bag(inputs, glob, task_bytes)
    return tasks.map_partitions(_levels_of, form, max_size, keep_going)


def _objects_of(task: Task, form: Optional[str], max_size: int) -> Any:
    from velk.archive.arrow import objects_table

    return objects_table(task_rows(task, form, max_size).objects).to_pandas()


def read_objects(inputs: Sequence[PathName], glob: Optional[str] = None,
                 form: Optional[str] = None, max_size: int = MAX_SIZE,
                 task_bytes: int = TASK_BYTES) -> Any:
    """A dask DataFrame of the objects table of the inputs (see
    ``velk.archive.rows``), a partition per task; needs pyarrow and
    pandas. Records, levels and files that cannot be read are left out."""
    import dask.dataframe as frames

    from velk.archive.arrow import SCHEMAS

    tasks = _planned(inputs, glob, task_bytes)
    meta = SCHEMAS["objects"].empty_table().to_pandas()
    if not tasks:
        return frames.from_pandas(meta, npartitions=1)
    return frames.from_map(_objects_of, tasks, form=form, max_size=max_size, meta=meta,
                           enforce_metadata=False)


def write_table(inputs: Sequence[PathName], folder: PathName, glob: Optional[str] = None,
                format: Optional[str] = None, form: Optional[str] = None,
                max_size: int = MAX_SIZE, row_group_rows: int = ROW_GROUP_ROWS,
                task_bytes: int = TASK_BYTES, replace: bool = False,
                scheduler: Optional[Any] = None) -> TableSummary:
    """Write the tables of the inputs into `folder` as `velk table` does
    (see ``velk.archive.table``): each task writes its own part of each
    table in parallel, the same parts whatever the cluster, and the folder
    appears whole once every part is written. Returns the sums of the
    tasks' summaries."""
    format = check_format(format)
    compute: Dict[str, Any] = {} if scheduler is None else {"scheduler": scheduler}
    with staged_folder(folder, replace) as staging:
        empty: List[str] = []
        tasks = _planned(inputs, glob, task_bytes, empty)
        settings = TableSettings(staging, format, form, max_size, row_group_rows)
        parts = bag.from_sequence(tasks, npartitions=max(1, len(tasks))).map(write_part,
                                                                             settings)
        done: List[PartSummary] = list(dask.compute(parts, **compute)[0]) if tasks else []
    summary = TableSummary(str(folder), format, len(tasks), empty)
    for part in sorted(done, key=lambda part: part.number):
        summary.add(part)
    return summary
