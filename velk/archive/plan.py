"""The work of an archive cut into tasks of about the same size.

A task is a few small files read one after the other, or one part of a
large file. The cut depends on the files alone (their sizes, in the order
given), never on how many processes do the work, so that a run writes the
same parts with one process or with twenty.

A large file is cut by its levels: the levels of part k of n are those
that end in the k-th n-th of the file's bytes. Every part reads the file
from its start (the levels before its own are passed over, their records
unread) and stops after its last level, so the parts of a file share the
reading of its XML but not of its records, which is where the time goes.
A file of one level (a level string, encoded level data, server data, a
record file) is read whole by its first part; its other parts find
nothing to do.
"""
import os
from typing import List, Sequence, Tuple

from velk.plain import Plain
from velk.level.inputs import STANDARD_INPUT

__all__ = ["TASK_BYTES", "TASK_FILES", "Task", "plan_tasks"]

# About this many bytes of input a task: a second or two of reading, so a
# task's overhead (a few milliseconds in a pool, more on a cluster) stays
# small, while an archive of a few hundred megabytes still gives every
# core many tasks to balance.
TASK_BYTES = 4 << 20
# At most this many files a task, so that an archive of many tiny files is
# spread too.
TASK_FILES = 256


class Task(Plain):
    """One task: its `number` in the run (from 0), the `files` it reads in
    order, and, for a part of one large file, which `part` of how many
    `parts` (0 of 1 for whole files). `local` tells a task that must run in
    the process that was given the inputs: it reads standard input.
    Picklable, and equal when its parts are."""

    __slots__ = ("number", "files", "part", "parts")

    def __init__(self, number: int, files: Sequence[str], part: int = 0, parts: int = 1) -> None:
        self.number = number
        self.files: Tuple[str, ...] = tuple(files)
        self.part = part
        self.parts = parts

    @property
    def local(self) -> bool:
        return STANDARD_INPUT in self.files

    def __repr__(self) -> str:
        split = "" if self.parts == 1 else " part %d of %d" % (self.part + 1, self.parts)
        return "<Task %d: %d files%s>" % (self.number, len(self.files), split)


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        # Counted as small: reading it reports why it cannot be read.
        return 0


def plan_tasks(paths: Sequence[str], task_bytes: int = TASK_BYTES,
               task_files: int = TASK_FILES) -> List[Task]:
    """The tasks that read the files `paths` in their order: files batched
    up to `task_bytes` bytes and `task_files` files a task, a file larger
    than `task_bytes` cut into parts of about that size, standard input a
    task of its own."""
    tasks: List[Task] = []
    batch: List[str] = []
    batch_bytes = 0

    def close_batch() -> None:
        nonlocal batch, batch_bytes
        if batch:
            tasks.append(Task(len(tasks), batch))
        batch, batch_bytes = [], 0

    for path in paths:
        size = 0 if path == STANDARD_INPUT else _size(path)
        if path == STANDARD_INPUT or size > task_bytes:
            close_batch()
            parts = 1 if path == STANDARD_INPUT else -(-size // task_bytes)
            for part in range(parts):
                tasks.append(Task(len(tasks), [path], part, parts))
            continue
        if batch and (batch_bytes + size > task_bytes or len(batch) >= task_files):
            close_batch()
        batch.append(path)
        batch_bytes += size
    close_batch()
    return tasks
