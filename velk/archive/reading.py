"""What a task reads: the levels of its files, or of its part of a file,
and what could not be read, in the files' order.

Nothing stops a task: a file that cannot be opened or read to its end, a
level that cannot be read and a record that cannot be read are each a
LevelError that says where (file, level, record, key), found beside what
could be read. Levels are read keeping going (``keep_going=True``): a
level holds every record that could be read, and its `failures` the rest.
Each record comes with its text as the file holds it, for the tables.
"""
import os
from typing import Iterator, List, Optional, Tuple

from velk.plain import Plain
from velk.archive.plan import Task
from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError
from velk.level.collector import paused
from velk.level.level import COLOUR, OBJECT, Level, RecordCodec
from velk.level.source import Input, LevelSource
from velk.level.text import split_level
from velk.level.values import Record, Source

__all__ = ["SPLITTABLE", "Found", "read_stored", "task_found", "file_found"]

# The forms whose files hold many levels, and so can be cut into parts.
SPLITTABLE = ("export", "save")
# Lines of a record file read into one batch of records.
_LINES = 4096
# A line that gives no pairs as an object record: a colour record, which
# "_" separates, or text that is no record at all.
_NO_PAIRS = "no key and value of an object record (is it a colour record?)"


class Found(Plain):
    """One thing a task found in a file (`path`, of the `form` told from
    its content, or None when that could not be told): a `level` (with its
    records' failures in `level.failures`), its `index` in the file (from
    1), and the `objects` as (index, text, record): each object record that
    could be read, its index among the level's records and its text as the
    file holds it; or the `objects` of a record file, their index their
    line; or only `failures`: a file or level that could not be read.
    `colours` are the level's colour record texts, beside
    `level.colours`."""

    __slots__ = ("path", "form", "level", "index", "objects", "colours", "failures")

    def __init__(self, path: str, form: Optional[str], level: Optional[Level] = None,
                 index: Optional[int] = None,
                 objects: Optional[List[Tuple[int, str, Record]]] = None,
                 colours: Optional[List[str]] = None,
                 failures: Optional[List[LevelError]] = None) -> None:
        self.path = path
        self.form = form
        self.level = level
        self.index = index
        self.objects: List[Tuple[int, str, Record]] = [] if objects is None else objects
        self.colours: List[str] = [] if colours is None else colours
        self.failures: List[LevelError] = [] if failures is None else failures


def _read_kept(codec: RecordCodec, texts: List[str], start: int,
               failures: List[LevelError]) -> Tuple[List[Record], List[int]]:
    """The records of `texts` that can be read, and their indexes (from
    `start`); the RecordError of each other one is added to `failures`."""
    before = len(failures)
    records = codec.read_many(texts, start, failures)
    failed = {failure.index for failure in failures[before:]}
    return records, [index for index in range(start, start + len(texts))
                     if index not in failed]


def read_stored(path: str, form: str, stored: LevelSource) -> Found:
    """A level of a file read keeping going, as ``velk.level.read_file``
    reads it, with the texts of its records beside them. Raises LevelError
    for a level that cannot be read at all."""
    level = Level(name=stored.name)
    found = Found(path, form, level, stored.index)
    if stored.pieces is not None:
        with paused(), stored.naming():
            parts = split_level(stored.pieces)
            colour_texts = parts.colours
            level.header = parts.header
            level.colours, kept = _read_kept(RecordCodec(COLOUR), colour_texts, 0,
                                             level.failures)
            found.colours = [colour_texts[index] for index in kept]
            codec = RecordCodec(OBJECT)
            start = 0
            for batch in parts.object_batches:
                records, kept = _read_kept(codec, batch, start, level.failures)
                level.objects += records
                found.objects += zip(kept, (batch[index - start] for index in kept), records)
                start += len(batch)
    level.id, level.creator, level.properties = stored.id, stored.creator, stored.properties
    for failure in level.failures:
        failure.locate(path=path, level=stored.index, level_name=stored.name)
    return found


def _part_at(position: int, size: Optional[int], parts: int) -> int:
    """The part of a file of `size` bytes that what ends at `position`
    belongs to."""
    if parts == 1 or not size:
        return 0
    return min(parts - 1, position * parts // size)


def _kept(error: LevelError, path: str) -> LevelError:
    # Kept without its traceback, whose frames hold what was being read.
    return error.locate(path=path).with_traceback(None)


def file_found(source: Source, part: int = 0, parts: int = 1, form: Optional[str] = None,
               max_size: int = MAX_SIZE) -> Iterator[Found]:
    """What part `part` of `parts` of a file holds, in the file's order: a
    path, "-" for standard input, or a file object (see the module's text,
    and ``velk.archive.plan`` for the parts)."""
    try:
        found = Input(source)
    except OSError as exc:
        if part == 0:
            path = os.fsdecode(source)  # type: ignore[arg-type]
            reason = str(exc.strerror or exc)
            yield Found(path, None, failures=[LevelError("cannot open: " + reason, path=path)])
        return
    with found:
        file_form: Optional[str] = form
        try:
            file_form = form or found.form()
            if file_form == "records":
                if part == 0:
                    yield from _record_batches(found, max_size)
                return
            if part > 0 and file_form not in SPLITTABLE:
                return
            for stored in found.levels(file_form, max_size):
                at = _part_at(found.bytes_read, found.size, parts)
                if at < part:
                    continue
                if at > part:
                    return
                try:
                    yield read_stored(found.name, file_form, stored)
                except LevelError as exc:
                    yield Found(found.name, file_form, failures=[_kept(exc, found.name)])
        except LevelError as exc:
            # Every part that gets this far meets the same break: the part
            # it falls in reports it.
            if _part_at(found.bytes_read, found.size, parts) == part:
                yield Found(found.name, file_form, failures=[_kept(exc, found.name)])
        except OSError as exc:
            if _part_at(found.bytes_read, found.size, parts) == part:
                reason = "cannot read: " + str(exc.strerror or exc)
                yield Found(found.name, file_form, failures=[LevelError(reason, path=found.name)])


def _record_batches(found: Input, max_size: int) -> Iterator[Found]:
    """The object records of a record file, a batch of lines at a time;
    blank lines hold no record."""
    codec = RecordCodec(OBJECT)
    records: List[Tuple[int, str, Record]] = []
    failures: List[LevelError] = []
    for number, text, error in found.lines(max_size):
        if error is not None:
            failures.append(LevelError("the line is not UTF-8 text", path=found.name,
                                       kind=OBJECT, index=number))
        elif text is not None and text.strip():
            try:
                record = codec.read(text)
            except Exception as exc:
                failures.append(_kept(codec.read_error(number, text, exc.with_traceback(None)),
                                      found.name))
            else:
                if record:
                    records.append((number, text, record))
                else:
                    failures.append(LevelError(_NO_PAIRS, path=found.name, kind=OBJECT,
                                               index=number))
        if len(records) + len(failures) >= _LINES:
            yield Found(found.name, "records", objects=records, failures=failures)
            records, failures = [], []
    if records or failures:
        yield Found(found.name, "records", objects=records, failures=failures)


def task_found(task: Task, form: Optional[str] = None,
               max_size: int = MAX_SIZE) -> Iterator[Found]:
    """What the task's files hold, file after file (see `file_found`)."""
    for path in task.files:
        yield from file_found(path, task.part, task.parts, form, max_size)
