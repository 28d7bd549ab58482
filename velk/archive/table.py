"""A whole archive written as tables, on every core of the machine.

    done = write_table(["archive/", "more.xml"], "tables", jobs=2)

The inputs (files, folders, "-"; see ``velk.level.inputs``) are cut into
tasks (``velk.archive.plan``), each task writes its part of every table
in a worker process (``velk.archive.tasks.write_part``), and the parts
land in the output folder as "objects/part-00000.parquet", ... The parts
depend on the inputs alone: the same inputs give the same bytes with any
number of processes.

The output folder is written whole or not at all: the parts are written
into a hidden folder beside it, which becomes the output folder in one
rename once every part is written. An output folder that exists is kept
unless `replace` is given; then it is replaced only once the new one is
complete. Ctrl-C, a worker that dies or a disk that fills up leave the
folder as it was; a process killed outright may leave the hidden folder
(".OUT.*.part") behind, to be deleted.
"""
import os
import shutil
import tempfile
from contextlib import contextmanager
from typing import Callable, Iterator, List, Optional, Sequence

from velk.archive.parts import FORMATS, ROW_GROUP_ROWS, TABLES, default_format
from velk.archive.plan import TASK_BYTES, Task, plan_tasks
from velk.archive.pool import ordered_map
from velk.archive.tasks import PartSummary, TableSettings, write_part
from velk.level.data import MAX_SIZE
from velk.level.inputs import find_inputs
from velk.level.values import PathName

__all__ = ["FolderExists", "TableSummary", "write_table", "staged_folder", "prepare_folder", "check_format"]


class FolderExists(FileExistsError):
    """The output folder exists, and was not to be replaced."""


class TableSummary(PartSummary):
    """What writing a table did: the sums of its parts (see PartSummary),
    the `folder` written, its `format`, the number of `tasks` (parts of
    each table) and the input folders that held no matching file
    (`empty_folders`)."""

    __slots__ = ("folder", "format", "tasks", "empty_folders")

    def __init__(self, folder: str, format: str, tasks: int,
                 empty_folders: Sequence[str]) -> None:
        super().__init__()
        self.folder = folder
        self.format = format
        self.tasks = tasks
        self.empty_folders = list(empty_folders)


def prepare_folder(folder: str) -> None:
    """Make `folder` and a folder for each table in it."""
    for table in TABLES:
        os.makedirs(os.path.join(folder, table), exist_ok=True)


@contextmanager
def staged_folder(folder: PathName, replace: bool = False) -> Iterator[str]:
    """A new hidden folder beside `folder`, holding a folder per table,
    that becomes `folder` when the block ends without an exception (see
    the module's text); on an exception it is removed. Raises
    FolderExists at once for a `folder` that exists, unless `replace`."""
    target = os.path.abspath(os.fspath(folder))
    if os.path.lexists(target) and not replace:
        raise FolderExists("%s exists" % os.fspath(folder))
    parent, name = os.path.split(target)
    os.makedirs(parent, exist_ok=True)
    staging = tempfile.mkdtemp(prefix="." + name + ".", suffix=".part", dir=parent)
    try:
        prepare_folder(staging)
        yield staging
        os.chmod(staging, 0o777 & ~_umask())
        _move_into_place(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise


def check_format(format: Optional[str]) -> str:
    """The table format `format` names (None: the default), or ValueError."""
    format = format or default_format()
    if format not in FORMATS:
        raise ValueError("unknown table format %r (choose from %s)" % (format, ", ".join(FORMATS)))
    return format


def write_table(inputs: Sequence[PathName], folder: PathName, glob: Optional[str] = None,
                jobs: Optional[int] = None, format: Optional[str] = None,
                form: Optional[str] = None, max_size: int = MAX_SIZE,
                row_group_rows: int = ROW_GROUP_ROWS, task_bytes: int = TASK_BYTES,
                replace: bool = False,
                on_planned: Optional[Callable[[List[Task]], object]] = None,
                on_part: Optional[Callable[[PartSummary], object]] = None) -> TableSummary:
    """Write the tables of every level of the inputs into `folder`, with
    `jobs` worker processes (default: the usable cores); see the module's
    text. `format` is "parquet" (the default when pyarrow is installed) or
    "jsonl". `on_planned(tasks)` hears of the tasks before they run, and
    `on_part(summary)` of each task done, in order. Raises FolderExists
    for a folder that exists without `replace`, and whatever stopped the
    run (an OSError of writing, BrokenProcessPool, KeyboardInterrupt),
    after removing what was written."""
    format = check_format(format)
    with staged_folder(folder, replace) as staging:
        empty: List[str] = []
        tasks = plan_tasks(find_inputs(inputs, glob, empty), task_bytes)
        if on_planned is not None:
            on_planned(tasks)
        summary = TableSummary(os.fspath(folder), format, len(tasks), empty)
        settings = TableSettings(staging, format, form, max_size, row_group_rows)
        for done in ordered_map(write_part, tasks, settings, jobs):
            summary.add(done)
            if on_part is not None:
                on_part(done)
    return summary


def _umask() -> int:
    # The mask can only be read by setting it, so it is set back at once.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _move_into_place(staging: str, target: str) -> None:
    """Rename `staging` to `target`; a `target` that exists is moved aside
    first and removed once the new folder is in place."""
    if not os.path.lexists(target):
        os.rename(staging, target)
        return
    parent, name = os.path.split(target)
    old = tempfile.mkdtemp(prefix="." + name + ".", suffix=".old", dir=parent)
    os.rmdir(old)
    os.rename(target, old)
    try:
        os.rename(staging, target)
    except BaseException:
        os.rename(old, target)
        raise
    if os.path.isdir(old) and not os.path.islink(old):
        shutil.rmtree(old, ignore_errors=True)
    else:
        os.unlink(old)
