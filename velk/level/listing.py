"""What levels a file holds, and one of them chosen by its index or name.

    from velk.level.listing import list_levels, find_level
    for found in list_levels("created-levels.dat"):
        found.index, found.name, found.creator, found.objects, found.form
    mine = find_level("created-levels.dat", "My level")   # or 2: the second level

Listing counts each level's objects by splitting its level string into
records, without reading them into typed values, so it takes a fraction of
the time of reading the levels. A level whose data cannot be read is listed
with the error instead of a count.

A level is chosen by its index in the file (from 1, as `list_levels`
numbers them) or by its name; a name that several levels share is refused
with their indexes, so that the caller can choose one of them.
"""
import os
from typing import BinaryIO, Iterable, Iterator, List, Optional, Sequence, Union

from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError, _quoted
from velk.level.level import Level
from velk.level.source import Input
from velk.level.text import split_level
from velk.plain import Plain

__all__ = ["LevelSummary", "list_levels", "count_objects", "choose", "find_level"]

Source = Union[str, "os.PathLike[str]", BinaryIO]
# How many names a refusal quotes.
_NAMES_SHOWN = 5


class LevelSummary(Plain):
    """One level of a file as `list_levels` finds it: its `index` (from 1),
    `name`, `creator` and `id` (None where the file does not tell them),
    the count of its `objects`, and the file's `form`. `error` is the
    LevelError of a level whose data cannot be read (`objects` is then
    None), else None."""

    __slots__ = ("index", "name", "creator", "id", "objects", "form", "error")

    def __init__(self, index: int, name: Optional[str], creator: object, id: object,
                 objects: Optional[int], form: str, error: Optional[LevelError] = None) -> None:
        self.index = index
        self.name = name
        self.creator = creator
        self.id = id
        self.objects = objects
        self.form = form
        self.error = error

    def __repr__(self) -> str:
        return "<LevelSummary %d %r: %s objects>" % (self.index, self.name, self.objects)


def count_objects(pieces: Iterable[str]) -> int:
    """The number of object records of a level string given in pieces,
    split but not read. Raises LevelError for an empty level string."""
    return sum(len(batch) for batch in split_level(pieces).object_batches)


def list_levels(source: Source, form: Optional[str] = None,
                max_size: int = MAX_SIZE) -> Iterator[LevelSummary]:
    """A LevelSummary of every level of the file `source` (a path, "-" for
    standard input, or a binary file object), in the file's order; `form`
    and `max_size` as for `velk.level.read_file`. Raises LevelError, naming
    the file, when the file itself cannot be read."""
    with Input(source) as found:
        try:
            for level in found.levels(form, max_size):
                objects: Optional[int] = 0
                error = None
                if level.pieces is not None:
                    try:
                        with level.naming():
                            objects = count_objects(level.pieces)
                    except LevelError as exc:
                        objects, error = None, exc.locate(path=found.name)
                yield LevelSummary(level.index, level.name, level.creator, level.id, objects,
                                   level.form, error)
        except LevelError as exc:
            raise exc.locate(path=found.name)


def choose(names: Sequence[Optional[str]], which: Union[int, str]) -> int:
    """The index (from 1) of the level chosen by `which` among levels named
    `names` (None for a level without a name): `which` is an index from 1,
    or a name that exactly one level has. Raises LevelError for an index
    past the levels, a name no level has, and a name several levels share
    (naming their indexes)."""
    if isinstance(which, int):
        if 1 <= which <= len(names):
            return which
        raise LevelError("there is no level %d: the file holds %d level%s"
                         % (which, len(names), "" if len(names) == 1 else "s"))
    matches = [index for index, name in enumerate(names, 1) if name == which]
    if len(matches) == 1:
        return matches[0]
    if matches:
        raise LevelError("%d levels are named %s: levels %s; choose one by its index"
                         % (len(matches), _quoted(which), ", ".join(map(str, matches))))
    known = [_quoted(name) for name in dict.fromkeys(names) if name is not None]
    shown = ", ".join(known[:_NAMES_SHOWN]) + (", ..." if len(known) > _NAMES_SHOWN else "")
    raise LevelError("no level is named %s (%s)"
                     % (_quoted(which), "the names: " + shown if known else "no level has a name"))


def find_level(source: Source, which: Union[int, str], form: Optional[str] = None,
               max_size: int = MAX_SIZE) -> Level:
    """The level of the file `source` chosen by `which` (see `choose`), read
    into a Level, with what the file tells of it. The file is read once:
    only the chosen level's data are read into typed values."""
    with Input(source) as found:
        try:
            names: List[Optional[str]] = []
            chosen: Optional[Level] = None
            for level in found.levels(form, max_size):
                names.append(level.name)
                if chosen is None and which in (level.index, level.name):
                    with level.naming():
                        chosen = level.read()
                    if isinstance(which, int):
                        return chosen
            choose(names, which)
            assert chosen is not None
            return chosen
        except LevelError as exc:
            raise exc.locate(path=found.name)
