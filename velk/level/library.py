"""Levels added to the game's save of created levels, and a level of a save
replaced, safely.

    from velk import level
    from velk.level.library import add_levels, replace_level
    (mine,) = level.read_file("my-level.xml")
    done = add_levels("created-levels.dat", [mine])     # mine is now level 1
    done.backup                                         # "created-levels.dat.bak"
    replace_level("created-levels.dat", "Old name", edited)

The game must be closed while its save is changed: a save changed while
the game runs may be written over by the game. A save that changes while
velk writes it is left alone.

Writing a save takes these steps, and a crash or an interruption at any of
them leaves the old save or the new one, never a broken one:

1. the save is read and decoded; the new XML is the old one with the new
   level entries spliced in (``velk.level.save``), every other byte as it
   was;
2. the new save is written beside the old one and synced to the disk;
3. it is read back from the disk and verified: everything but the levels
   is the same byte for byte, every level not changed has the same bytes,
   and every new level reads back equal to the level given;
4. the old save is kept as "SAVE.bak" ("SAVE.bak.1", "SAVE.bak.2", ... when
   that exists: a backup is never overwritten);
5. the new save replaces the old one in one rename, and the directory is
   synced (``velk.level.atomic``).

A level added becomes a created level of the player: it gets the entries
the game's created levels hold ("kCEK" 4, its name "k2", its data "k4",
its creator "k5", "k13", "k16", "k21", "k50", "k80"), keeping the level's
own values of them where it brings its properties (from an export or save
file). It gets no id ("k1"): an id is the number of a level that the game's
server knows, and the copy is a new level of the player's, so no level
added can take the id of another level. A level without a creator gets the
save's (that of its newest level).

A level replaced keeps its place, its key and its id; it takes the name,
level data, creator and other properties of the level given, and keeps the
entries of its own that the level given does not have.
"""
import io
import os
from typing import Dict, Iterable, List, Sequence, Tuple, Union

from velk.level.atomic import replace_keeping_backup
from velk.level.data import MAX_SIZE, size_text
from velk.level.errors import LevelError
from velk.level.export import (CREATOR_KEY, ID_KEY, KIND_KEY, LEVEL_DATA_KEY, LEVEL_KIND,
                               NAME_KEY, level_entries)
from velk.level.level import Level
from velk.level.listing import choose
from velk.level.plist import PlistDict, element, read
from velk.level.save import (CREATED, DOWNLOADED, Layout, compression, decode, encode, iter_save,
                             with_created_levels, with_level_replaced)
from velk.level.source import HEAD_SIZE, Input, detect_form
from velk.plain import Plain

__all__ = ["CREATED_DEFAULTS", "SaveChange", "add_levels", "replace_level"]

PathLike = Union[str, "os.PathLike[str]"]
PlistValue = Union[str, int, float, bool, PlistDict]

# The entries every created level of the game's saves holds besides its
# kind, name, data and creator; a level that brings none of its own gets
# these.
CREATED_DEFAULTS: Tuple[Tuple[str, PlistValue], ...] = (
    ("k13", True), ("k16", 1), ("k21", 2), ("k50", 35), ("k80", 0))
# Base64 text is 4/3 the size of the bytes it holds: a save file larger
# than 4/3 of the size limit (and some padding) cannot decode within it.
_LARGEST_TEXT = 4 / 3
_PADDING = 1 << 16


class SaveChange(Plain):
    """What adding or replacing levels did: the save's `path` (the file
    replaced), the `backup` of the save before, the count of `levels` the
    save holds now, and the indexes (from 1, in the file's order) of the
    levels `changed`: added or replaced."""

    __slots__ = ("path", "backup", "levels", "changed")

    def __init__(self, path: str, backup: str, levels: int, changed: List[int]) -> None:
        self.path = path
        self.backup = backup
        self.levels = levels
        self.changed = changed

    def __repr__(self) -> str:
        return "<SaveChange %s: levels %s changed of %d; backup %s>" % (
            self.path, ", ".join(map(str, self.changed)), self.levels, self.backup)


class _Save:
    """A save as read before it is changed: its real `path`, its bytes, the
    `stat` they were read with, its decoded XML's `layout` and its
    `compression`."""

    def __init__(self, path: PathLike, max_size: int) -> None:
        self.path = os.path.realpath(os.fspath(path))
        self.max_size = max_size
        with open(self.path, "rb") as stream:
            self.stat = os.fstat(stream.fileno())
            if self.stat.st_size > max_size * _LARGEST_TEXT + _PADDING:
                raise LevelError("save data decode to more than %s, the limit"
                                 % size_text(max_size))
            self.data = stream.read()
        form = detect_form(self.data[:HEAD_SIZE])
        if form != "save":
            raise LevelError("not a save file of the game: velk reads it as %s data" % form)
        self.layout = Layout(decode(self.data, max_size), max_size)
        self.compression = compression(self.data)

    def check_unchanged(self) -> None:
        """Raise LevelError if the save is no longer the file that was read."""
        now = os.stat(self.path)
        if (now.st_dev, now.st_ino, now.st_size, now.st_mtime_ns) != (
                self.stat.st_dev, self.stat.st_ino, self.stat.st_size, self.stat.st_mtime_ns):
            raise LevelError("the save changed while velk was changing it (is the game "
                             "running?); it was left as it is now")

    def entries(self, index: int) -> PlistDict:
        """The dictionary of level `index` (from 1), every entry kept."""
        entries: PlistDict = read(self.layout.value(self.layout.levels[index - 1]),
                                  self.max_size, "save file")
        return entries


def _merged(base: PlistDict, entries: PlistDict, skip: Sequence[str] = ()) -> PlistDict:
    """`base` with the entries of `entries` over its own, but those of
    `skip`; every value unchanged keeps its spelling."""
    merged: PlistDict = base.copy()
    for key, value in entries.items():
        if key not in skip:
            merged[key] = value
    merged.raw.update(entries.raw)
    return merged


def _created_entries(level: Level, creator: object) -> PlistDict:
    """The dictionary of `level` as a new created level of a save whose
    player is `creator` (None when unknown)."""
    own = level_entries(level)
    if NAME_KEY not in own:
        raise LevelError("a level added to a save needs a name: give the Level one")
    entries = PlistDict([(KIND_KEY, LEVEL_KIND)])
    entries = _merged(entries, own, skip=(KIND_KEY, ID_KEY))
    if CREATOR_KEY not in entries and creator is not None:
        entries[CREATOR_KEY] = creator
    for key, value in CREATED_DEFAULTS:
        entries.setdefault(key, value)
    return entries


def _replacing_entries(old: PlistDict, level: Level) -> PlistDict:
    """The dictionary of a level of a save whose dictionary was `old`, now
    holding `level`."""
    new = level_entries(level)
    base = old
    if LEVEL_DATA_KEY not in new:
        # A level with nothing in it has no data, whatever the old one had.
        base = old.copy()
        base.pop(LEVEL_DATA_KEY, None)
    return _merged(base, new, skip=(ID_KEY,))


def _element(entries: PlistDict, index: int, level: Level) -> bytes:
    try:
        text: str = element(entries)
        return text.encode("utf-8")
    except (TypeError, ValueError) as exc:
        raise LevelError("cannot be written into a save: %s" % exc, level=index,
                         level_name=level.name) from None


def _expected(level: Level, entries: PlistDict) -> Level:
    """The Level that the save's dictionary `entries` of `level` reads as."""
    name = entries.get(NAME_KEY)
    expected: Level = Level(level.header, level.colours, level.objects,
                            None if name is None else str(name), entries.get(ID_KEY),
                            entries.get(CREATOR_KEY), entries)
    return expected


def _unreadable(reason: str) -> LevelError:
    return LevelError("the new save does not read back as it was written (%s); the save was "
                      "left as it was" % reason)


def _verify(save: _Save, written: bytes, expected: Dict[int, Level],
            moved: Dict[int, int]) -> None:
    """Raise LevelError unless the save file bytes `written` hold what they
    should: the XML of `save` besides its levels, byte for byte; level N of
    the old save, byte for byte, as level `moved[N]`; and at each index of
    `expected` a level that reads back equal to it."""
    old = save.layout
    try:
        new = Layout(decode(written, save.max_size), save.max_size)
    except LevelError as exc:
        raise _unreadable(str(exc)) from None
    if len(new.levels) != len(moved) + len(expected):
        raise _unreadable("it holds %d levels, not %d"
                          % (len(new.levels), len(moved) + len(expected)))
    if new.skeleton() != old.skeleton():
        raise _unreadable("what lies outside the levels is not the same")
    for before, after in moved.items():
        if new.value(new.levels[after - 1]) != old.value(old.levels[before - 1]):
            raise _unreadable("level %d is not the same as level %d was" % (after, before))
    with Input(io.BytesIO(written)) as found:
        for source in found.levels("save", save.max_size):
            if source.index in expected:
                with source.naming():
                    back = source.read()
                if back != expected[source.index]:
                    raise _unreadable("level %d does not read back equal to the level given"
                                      % source.index)


def _write(save: _Save, xml: bytes, expected: Dict[int, Level],
           moved: Dict[int, int]) -> SaveChange:
    def check(temporary: str) -> None:
        save.check_unchanged()
        with open(temporary, "rb") as stream:
            _verify(save, stream.read(), expected, moved)

    backup = replace_keeping_backup(save.path, encode(xml, save.compression), check)
    return SaveChange(save.path, backup, len(moved) + len(expected), sorted(expected))


def _first_created(layout: Layout) -> int:
    """The index (from 1) that the newest created level has, or would have,
    in the file's order."""
    before = 0
    for key, container in layout.containers.items():
        if key == CREATED:
            break
        before += len(container.levels)
    return before + 1


def add_levels(save_path: PathLike, levels: Iterable[Level],
               max_size: int = MAX_SIZE) -> SaveChange:
    """Add `levels` to the save of created levels `save_path` as new created
    levels, ahead of the others and in the order given: the first is listed
    first, as the newest. See the module's text for the steps, the entries
    each level gets, and the backup. The game must be closed.

    Raises LevelError (naming the file, and the level where one is at
    fault) for a file that is not a save of created levels (a save of the
    game's state among them), a level without a name, a level that cannot
    be written, and a new save that does not read back as it should, in
    which case the save is left as it was; RecordError for a record that
    cannot be written; OSError for a file that cannot be read or written."""
    given = list(levels)
    if not given:
        raise ValueError("no levels to add")
    path = os.fspath(save_path)
    try:
        save = _Save(path, max_size)
        created = save.layout.created
        if created is None:
            if DOWNLOADED in save.layout.containers:
                raise LevelError("it is the save of the game's state (downloaded levels); levels "
                                 "are added to the save of created levels")
            raise LevelError("the save holds no list of created levels (no %s)" % CREATED)
        first = _first_created(save.layout)
        creator = save.entries(first).get(CREATOR_KEY) if created.levels else None
        values = []
        expected = {}
        for number, level in enumerate(given):
            try:
                entries = _created_entries(level, creator)
            except LevelError as exc:
                raise exc.locate(level=number + 1, level_name=level.name)
            values.append(_element(entries, number + 1, level))
            expected[first + number] = _expected(level, entries)
        moved = {index: index + (len(given) if index >= first else 0)
                 for index in range(1, len(save.layout.levels) + 1)}
        return _write(save, with_created_levels(save.layout, values), expected, moved)
    except LevelError as exc:
        raise exc.locate(path=path)


def replace_level(save_path: PathLike, which: Union[int, str], level: Level,
                  max_size: int = MAX_SIZE) -> SaveChange:
    """Replace the level of the save `save_path` chosen by `which` (its
    index from 1, or its name: see `velk.level.listing.choose`) by `level`,
    with the steps and the backup of `add_levels`. The level keeps its
    place, key and id. The game must be closed. Raises as `add_levels`
    does, and LevelError for a level `which` does not choose."""
    path = os.fspath(save_path)
    try:
        save = _Save(path, max_size)
        if isinstance(which, int):
            index = choose([None] * len(save.layout.levels), which)
        else:
            index = choose([found.name for found in iter_save((save.data,), max_size)], which)
        try:
            entries = _replacing_entries(save.entries(index), level)
        except LevelError as exc:
            raise exc.locate(level=index, level_name=level.name)
        value = _element(entries, index, level)
        moved = {other: other for other in range(1, len(save.layout.levels) + 1)
                 if other != index}
        return _write(save, with_level_replaced(save.layout, index, value),
                      {index: _expected(level, entries)}, moved)
    except LevelError as exc:
        raise exc.locate(path=path)
