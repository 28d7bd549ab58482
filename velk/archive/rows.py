"""The rows of an archive's tables: objects, levels and failures.

**objects**, one row per object record:

| column | type | what |
|---|---|---|
| file | text | the file, as the run was given it (or found it in a folder) |
| level | int32 | the level's index in the file, from 1 (null in a record file) |
| level_name | text | the level's name, where the file gives one |
| level_id | int64 | the level's id, where the file gives one |
| creator | text | the level's creator, where the file gives one |
| index | int64 | the object's index among the level's objects, from 0 (in a record file: its line, from 1) |
| object_id | int64 | key 1 |
| x, y | float64 | keys 2 and 3 |
| groups | list of int64 | key 57, sorted |
| properties | map of text to text | every other key, with its value's text as the file holds it |

The few keys every analysis asks for are columns of their own, typed, so
that a query on them reads one narrow column; the hundred other keys, most
of them rare, are one map of texts, so that the table has the same columns
whatever the levels hold and keeps every value without loss. A value's
text is the text the file holds, which is what velk read the value from,
so it reads back to an equal value whatever its spelling (an infinity
too, which velk would refuse to write): `record_of(row)` gives the record
again, equal to the one read, and a query on a text sees what the game
wrote. A value
that its column cannot hold exactly (an id or group past 64 bits, a
position past 2**53 that is an integer) leaves the column null and keeps
its text in `properties` instead. Positions are read back as floats: 15
comes back as 15.0, which is equal.

**levels**, one row per level: file, level, level_name, level_id, creator
as above, the file's `form`, the count of `objects` in the table and of
`failed_records` (records that could not be read), the level string's
`header` (map of key to text, without the colour records), its `colours`
(a list of maps of key to text, as the file holds them) and its
`properties`, the entries of its dictionary in an export or save file
(map of key to the value as JSON), but for its level data ("k4"): that is
what the header, the colours and the objects table hold, and kept again
it would double the table.

**failures**, one row per file, level or record that could not be read:
file, level, level_name, kind ("object", "colour", "header", or null for
a file or level), index, key and message, as velk's errors say where.
"""
import json
from itertools import accumulate, chain
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from velk.plain import Plain
from velk.level.errors import LevelError
from velk.level.export import LEVEL_DATA_KEY
from velk.level.level import Level
from velk.level.text import COLOURS_KEY
from velk.level.values import Record

__all__ = ["OBJECT_COLUMNS", "LEVEL_COLUMNS", "FAILURE_COLUMNS", "TYPED_KEYS", "ObjectRows",
           "level_row", "identity_of", "failure_row", "record_of"]

OBJECT_COLUMNS = ("file", "level", "level_name", "level_id", "creator", "index", "object_id",
                  "x", "y", "groups", "properties")
LEVEL_COLUMNS = ("file", "level", "level_name", "level_id", "creator", "form", "objects",
                 "failed_records", "header", "colours", "properties")
FAILURE_COLUMNS = ("file", "level", "level_name", "kind", "index", "key", "message")

ID_KEY, X_KEY, Y_KEY, GROUPS_KEY = "1", "2", "3", "57"
TYPED_KEYS = (ID_KEY, X_KEY, Y_KEY, GROUPS_KEY)

_INT64 = (-(1 << 63), (1 << 63) - 1)
# The integers a float64 holds exactly.
_EXACT_FLOAT = 1 << 53


def _int64(value: Any) -> Optional[int]:
    if type(value) is int and _INT64[0] <= value <= _INT64[1]:
        return value
    return None


def _typed_column(records: Sequence[Record], pairs: List[Dict[str, Any]], key: str,
                  low: int, high: int) -> List[Any]:
    """The values of `key` in `records` for a typed column, taking their
    texts out of `pairs`; a value that is an int outside `low`..`high` is
    left in `pairs` and is None in the column. Whole levels at a time in
    comprehensions: this runs for every object of an archive."""
    column: List[Any] = [record.get(key) for record in records]
    texts = [found.pop(key, None) for found in pairs]
    for row in [row for row, value in enumerate(column)
                if value.__class__ is int and not low <= value <= high]:
        column[row] = None
        pairs[row][key] = texts[row]
    return column


def _groups_column(records: Sequence[Record], pairs: List[Dict[str, Any]]) -> List[Any]:
    """The sorted groups (key 57) of `records`, taking their texts out of
    `pairs`; groups past 64 bits are left in `pairs`."""
    found_groups: List[Any] = [record.get(GROUPS_KEY) for record in records]
    column: List[Any] = [None if found is None else sorted(found) for found in found_groups]
    texts = [found.pop(GROUPS_KEY, None) for found in pairs]
    for row in [row for row, groups in enumerate(column)
                if groups and (groups[0] < _INT64[0] or groups[-1] > _INT64[1])]:
        column[row] = None
        pairs[row][GROUPS_KEY] = texts[row]
    return column


class ObjectRows(Plain):
    """Rows of the objects table gathered as columns: a list per column,
    the properties as flat lists of keys and values with the offset of
    each row's first pair (as a columnar map keeps them)."""

    __slots__ = ("columns", "keys", "values", "offsets")

    def __init__(self) -> None:
        self.columns: Dict[str, List[Any]] = {name: [] for name in OBJECT_COLUMNS
                                              if name != "properties"}
        self.keys: List[str] = []
        self.values: List[str] = []
        self.offsets: List[int] = [0]

    def __len__(self) -> int:
        return len(self.columns["index"])

    def add(self, identity: Tuple[str, Optional[int], Optional[str], Optional[int],
                                  Optional[str]],
            objects: Sequence[Tuple[int, str, Record]]) -> None:
        """Add a row for each (index, text, record) of `objects`, all of one
        level: `identity` is (file, level, level_name, level_id,
        creator)."""
        if not objects:
            return
        from velk import _velkc

        columns = self.columns
        for name, value in zip(OBJECT_COLUMNS[:5], identity):
            columns[name] += [value] * len(objects)
        indexes, texts, records = zip(*objects)
        columns["index"] += indexes
        # The native codec's untyped reading splits a text as its typed
        # reading does (a key that occurs again takes its last value, a
        # last field without a value is dropped): each dict holds the
        # texts the record was read from.
        split = _velkc._convert
        pairs: List[Dict[str, Any]] = [split(text, ",") for text in texts]
        columns["object_id"] += _typed_column(records, pairs, ID_KEY, *_INT64)
        columns["x"] += _typed_column(records, pairs, X_KEY, -_EXACT_FLOAT, _EXACT_FLOAT)
        columns["y"] += _typed_column(records, pairs, Y_KEY, -_EXACT_FLOAT, _EXACT_FLOAT)
        columns["groups"] += _groups_column(records, pairs)
        self.keys += chain.from_iterable(pairs)
        self.values += chain.from_iterable([found.values() for found in pairs])
        start = self.offsets[-1]
        self.offsets += [start + end for end in accumulate([len(found) for found in pairs])]

    def extend(self, other: "ObjectRows") -> None:
        """Add the rows of `other` after these."""
        for name, column in other.columns.items():
            self.columns[name] += column
        base = len(self.keys)
        self.keys += other.keys
        self.values += other.values
        self.offsets += [base + offset for offset in other.offsets[1:]]

    def properties(self) -> Iterator[Dict[str, str]]:
        """Each row's properties as a dict."""
        keys, values, offsets = self.keys, self.values, self.offsets
        for start, end in zip(offsets, offsets[1:]):
            yield dict(zip(keys[start:end], values[start:end]))

    def dicts(self) -> Iterator[Dict[str, Any]]:
        """Each row as a dict of its columns."""
        names = OBJECT_COLUMNS[:-1]
        for values, properties in zip(zip(*(self.columns[name] for name in names)),
                                      self.properties()):
            row = dict(zip(names, values))
            row["properties"] = properties
            yield row


def _pairs(text: str, delim: str) -> Dict[str, str]:
    fields = text.split(delim)
    return dict(zip(fields[0::2], fields[1::2]))


def level_row(identity: Tuple[str, Optional[int], Optional[str], Optional[int], Optional[str]],
              form: Optional[str], level: Level, colours: Sequence[str]) -> Dict[str, Any]:
    """The row of the levels table of `level`, whose colour records that
    could be read have the texts `colours`."""
    row: Dict[str, Any] = dict(zip(LEVEL_COLUMNS[:5], identity))
    row.update(form=form, objects=len(level.objects), failed_records=len(level.failures),
               header={key: text for key, text in level.header.items() if key != COLOURS_KEY},
               colours=[_pairs(text, "_") for text in colours],
               properties={key: json.dumps(value) for key, value in level.properties.items()
                           if key != LEVEL_DATA_KEY})
    return row


def identity_of(path: str, level: Level, index: Optional[int]
                ) -> Tuple[str, Optional[int], Optional[str], Optional[int], Optional[str]]:
    """(file, level, level_name, level_id, creator) of a level: an id that
    is no 64-bit integer and a creator that is no text are left to the
    level's properties."""
    creator = level.creator if isinstance(level.creator, str) else None
    return path, index, level.name, _int64(level.id), creator


def failure_row(error: LevelError) -> Dict[str, Any]:
    """The row of the failures table of `error`."""
    found = error.as_dict()
    found["file"] = found.pop("path")
    return {name: found[name] for name in FAILURE_COLUMNS}


def record_of(row: Dict[str, Any]) -> Record:
    """The object record that a row of the objects table holds (a dict of
    its columns, as the table is read back): equal to the record read."""
    from velk import _velkc

    properties = row.get("properties") or {}
    if not isinstance(properties, dict):
        # Columnar readers give a map as a list of (key, value) pairs.
        properties = dict(properties)
    record = _velkc._object_convert(",".join("%s,%s" % pair for pair in properties.items()))
    if row.get("object_id") is not None:
        record[ID_KEY] = row["object_id"]
    for key, name in ((X_KEY, "x"), (Y_KEY, "y")):
        if row.get(name) is not None:
            record[key] = row[name]
    if row.get("groups") is not None:
        record[GROUPS_KEY] = set(row["groups"])
    return record
