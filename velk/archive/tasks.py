"""The map functions of an archive: a task, a file or a file's bytes in;
levels, rows or written parts out.

Each is a plain function of its arguments: no global state, nothing kept
between calls, arguments and results that pickle. So they run the same in
this process, in a pool of worker processes (``velk.archive.pool``, any
start method), as Dask tasks (``velk.dask``) and as Spark map tasks:

    from velk.archive import tasks
    tasks.file_levels("a.xml")                 # [(path, index, Level), ...]
    tasks.bytes_rows("a.xml", data)            # TableRows of a file's bytes
    tasks.write_part(task, settings)           # the task's part of each table, written

Work is reduced where it is done: a worker sends back the few counts of a
PartSummary, not the levels or rows it read, since handing whole levels to
another process costs more than reading them.
"""
import io
import sys
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from velk.plain import Plain
from velk.archive.parts import ROW_GROUP_ROWS, PartWriter
from velk.archive.plan import Task
from velk.archive.reading import Found, file_found, task_found
from velk.archive.rows import ObjectRows, failure_row, identity_of, level_row
from velk.level.collector import paused
from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError
from velk.level.level import Level

__all__ = ["KEPT_FAILURES", "TableSettings", "PartSummary", "TableRows", "peak_memory",
           "write_part",
           "task_rows", "task_levels", "file_levels", "bytes_levels", "file_rows", "bytes_rows",
           "found_rows"]

# The failures a summary hands back with their locations, for the run to
# show; the tables hold them all.
KEPT_FAILURES = 10


class TableSettings(Plain):
    """How a table is written: the `folder` holding a folder per table, the
    `format` ("parquet" or "jsonl"), the inputs' `form` (None: told from
    each file's content), `max_size` (see ``velk.level``) and the rows of
    a Parquet row group."""

    __slots__ = ("folder", "format", "form", "max_size", "row_group_rows")

    def __init__(self, folder: str, format: str, form: Optional[str] = None,
                 max_size: int = MAX_SIZE, row_group_rows: int = ROW_GROUP_ROWS) -> None:
        self.folder = folder
        self.format = format
        self.form = form
        self.max_size = max_size
        self.row_group_rows = row_group_rows


class PartSummary(Plain):
    """What a task found, summed: the `files` it read whole or began (a
    file cut into parts counts once, in its first), the `levels` and
    `objects` it wrote rows for, the `failures` rows, the files that could
    not be read at all (`unreadable_files`), the first KEPT_FAILURES errors
    (`kept`, LevelErrors with their locations) and the exit `status` they
    make: 0, 1 (levels or records could not be read) or 2 (a file could
    not be read, at all or to its end). `peak_memory` is the most memory
    (resident, in bytes) that the process which ran the task had taken by
    its end: it varies from run to run, and no output shows it."""

    __slots__ = ("number", "files", "levels", "objects", "failures", "unreadable_files",
                 "kept", "status", "peak_memory")

    def __init__(self, number: int = 0) -> None:
        self.number = number
        self.files = 0
        self.levels = 0
        self.objects = 0
        self.failures = 0
        self.unreadable_files = 0
        self.kept: List[LevelError] = []
        self.status = 0
        self.peak_memory = 0

    def count_failure(self, error: LevelError) -> None:
        self.failures += 1
        if len(self.kept) < KEPT_FAILURES:
            self.kept.append(error)
        whole_file = error.level is None and error.kind is None
        self.unreadable_files += whole_file
        self.status = max(self.status, 2 if whole_file else 1)

    def add(self, other: "PartSummary") -> None:
        """Add the counts of another summary to these (its kept errors
        while fewer than KEPT_FAILURES are kept, and the larger peak
        memory)."""
        for name in ("files", "levels", "objects", "failures", "unreadable_files"):
            setattr(self, name, getattr(self, name) + getattr(other, name))
        self.kept += other.kept[:KEPT_FAILURES - len(self.kept)]
        self.status = max(self.status, other.status)
        self.peak_memory = max(self.peak_memory, other.peak_memory)


class TableRows(Plain):
    """The rows of the three tables, gathered in memory: `objects` (an
    ObjectRows; `objects.dicts()` gives each row as a dict), `levels` and
    `failures` (lists of dicts)."""

    __slots__ = ("objects", "levels", "failures")

    def __init__(self) -> None:
        self.objects = ObjectRows()
        self.levels: List[Dict[str, Any]] = []
        self.failures: List[Dict[str, Any]] = []


def found_rows(found: Iterable[Found], on_objects: Callable[[ObjectRows], Any],
               on_level: Callable[[Dict[str, Any]], Any],
               on_failure: Callable[[LevelError], Any]) -> None:
    """Turn what was found into rows: each level's objects (or a batch of a
    record file's) as one ObjectRows, each level's row and each failure (a
    LevelError that says where), handed on as they come."""
    for item in found:
        for failure in item.failures:
            on_failure(failure)
        level = item.level
        rows = ObjectRows()
        if level is None:
            if item.objects:
                rows.add((item.path, None, None, None, None), item.objects)
                on_objects(rows)
            continue
        identity = identity_of(item.path, level, item.index)
        rows.add(identity, item.objects)
        on_objects(rows)
        on_level(level_row(identity, item.form, level, item.colours))
        for failure in level.failures:
            on_failure(failure)


def peak_memory() -> int:
    """The most resident memory this process has taken, in bytes (0 where
    the platform does not tell)."""
    try:
        import resource
    except ImportError:
        return 0
    # Linux counts kilobytes; macOS, bytes.
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


def write_part(task: Task, settings: TableSettings) -> PartSummary:
    """Write the task's part of each table (see ``velk.archive.parts``)
    into `settings.folder`, and return what it found. A part is written
    whole or not at all: an error while writing (a full disk) removes
    what was written and raises."""
    summary = PartSummary(task.number)
    if task.part == 0:
        summary.files = len(task.files)
    writer = PartWriter(settings.folder, task.number, settings.format,
                        settings.row_group_rows)
    try:
        def on_objects(rows: ObjectRows) -> None:
            summary.objects += len(rows)
            writer.add_objects(rows)

        def on_level(row: Dict[str, Any]) -> None:
            summary.levels += 1
            writer.add_level(row)

        def on_failure(error: LevelError) -> None:
            summary.count_failure(error)
            writer.add_failure(failure_row(error))

        # The collector is paused for the task, as for a file read whole
        # (see velk.level.collector): its rows are many new containers, and
        # every collection they set off would walk them all again.
        with paused():
            found_rows(task_found(task, settings.form, settings.max_size), on_objects,
                       on_level, on_failure)
    except BaseException:
        writer.discard()
        raise
    writer.close()
    summary.peak_memory = peak_memory()
    return summary


def _gathered(found: Iterable[Found]) -> TableRows:
    rows = TableRows()

    with paused():
        found_rows(found, rows.objects.extend, rows.levels.append,
                   lambda error: rows.failures.append(failure_row(error)))
    return rows


def task_rows(task: Task, form: Optional[str] = None, max_size: int = MAX_SIZE) -> TableRows:
    """The rows of the task's part of each table, in memory."""
    return _gathered(task_found(task, form, max_size))


def file_rows(path: str, form: Optional[str] = None, max_size: int = MAX_SIZE) -> TableRows:
    """The rows of a file's levels, in memory."""
    return _gathered(file_found(path, form=form, max_size=max_size))


def _named(name: str, data: bytes) -> io.BytesIO:
    stream = io.BytesIO(data)
    stream.name = name
    return stream


def bytes_rows(name: str, data: bytes, form: Optional[str] = None,
               max_size: int = MAX_SIZE) -> TableRows:
    """The rows of the levels of a file's bytes `data`, named `name` (as a
    cluster hands files over: Spark's binaryFiles gives (path, bytes))."""
    return _gathered(file_found(_named(name, data), form=form, max_size=max_size))


def _levels(found: Iterable[Found], keep_going: bool) -> Iterator[Tuple[str, int, Level]]:
    for item in found:
        if item.failures and not keep_going:
            raise item.failures[0]
        if item.level is not None and item.index is not None:
            if item.level.failures and not keep_going:
                raise item.level.failures[0]
            yield item.path, item.index, item.level


def task_levels(task: Task, form: Optional[str] = None, max_size: int = MAX_SIZE,
                keep_going: bool = False) -> List[Tuple[str, int, Level]]:
    """(path, index, Level) of every level of the task's files, in order.
    All or nothing unless `keep_going`, as ``velk.level.read_file``: the
    first file, level or record that cannot be read raises its LevelError,
    naming where."""
    return list(_levels(task_found(task, form, max_size), keep_going))


def file_levels(path: str, form: Optional[str] = None, max_size: int = MAX_SIZE,
                keep_going: bool = False) -> List[Tuple[str, int, Level]]:
    """(path, index, Level) of every level of a file; see `task_levels`."""
    return list(_levels(file_found(path, form=form, max_size=max_size), keep_going))


def bytes_levels(name: str, data: bytes, form: Optional[str] = None,
                 max_size: int = MAX_SIZE, keep_going: bool = False
                 ) -> List[Tuple[str, int, Level]]:
    """(name, index, Level) of every level of a file's bytes; see
    `task_levels`."""
    return list(_levels(file_found(_named(name, data), form=form, max_size=max_size),
                        keep_going))
