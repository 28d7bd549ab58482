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
| properties | map of text to text | every other key, with its value as velk writes it |

The few keys every analysis asks for are columns of their own, typed, so
that a query on them reads one narrow column; the hundred other keys, most
of them rare, are one map of texts, so that the table has the same columns
whatever the levels hold and keeps every value without loss. A value's
text is what velk writes for it, which velk reads back to an equal value:
`record_of(row)` gives the record again, equal to the one read. A value
that its column cannot hold exactly (an id or group past 64 bits, a
position past 2**53 that is an integer) leaves the column null and keeps
its text in `properties` instead. Positions are read back as floats: 15
comes back as 15.0, which is equal.

**levels**, one row per level: file, level, level_name, level_id, creator
as above, the file's `form`, the count of `objects` in the table and of
`failed_records` (records that could not be read or written), the level
string's `header` (map of key to text, without the colour records), its
`colours` (a list of maps of key to text, as velk writes them) and its
`properties`, the entries of its dictionary in an export or save file
(map of key to the value as JSON).

**failures**, one row per file, level or record that could not be read:
file, level, level_name, kind ("object", "colour", "header", or null for
a file or level), index, key and message, as velk's errors say where.

A record that velk reads but would not read back the same once written
(velk refuses to write it) is no row of objects: it is a failure, like a
record that cannot be read.
"""
import json
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from velk.plain import Plain
from velk.level.errors import LevelError
from velk.level.level import COLOUR, OBJECT, Level, RecordCodec
from velk.level.text import COLOURS_KEY
from velk.level.values import Record

__all__ = ["OBJECT_COLUMNS", "LEVEL_COLUMNS", "FAILURE_COLUMNS", "TYPED_KEYS", "ObjectRows",
           "level_row", "identity_of", "failure_row", "record_of", "object_indexes",
           "written_texts"]

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


def _float64(value: Any) -> Optional[float]:
    if type(value) is float:
        return value
    if type(value) is int and -_EXACT_FLOAT <= value <= _EXACT_FLOAT:
        return float(value)
    return None


def _groups(value: Any) -> Optional[List[int]]:
    if not isinstance(value, (set, frozenset)):
        return None
    groups = sorted(value)
    if all(type(group) is int for group in groups) and (
            not groups or (groups[0] >= _INT64[0] and groups[-1] <= _INT64[1])):
        return groups
    return None


def object_indexes(count: int, failures: Sequence[LevelError]) -> List[int]:
    """The indexes in the file of the `count` objects of a level read
    keeping going, whose `failures` name the object records passed over."""
    skipped = sorted({failure.index for failure in failures
                      if failure.kind == OBJECT and failure.index is not None})
    if not skipped:
        return list(range(count))
    indexes: List[int] = []
    index = 0
    for gap in skipped:
        take = min(gap - index, count - len(indexes))
        indexes += range(index, index + take)
        index = gap + 1
    indexes += range(index, index + count - len(indexes))
    return indexes


def written_texts(codec: RecordCodec, records: Sequence[Record], indexes: Sequence[int],
                  failures: List[LevelError]) -> List[Tuple[int, Record, str]]:
    """(index, record, text) of each record that velk writes so that it
    reads back equal; the RecordError of each other one is added to
    `failures`, naming the record by its index in `indexes`."""
    try:
        return list(zip(indexes, records, codec.write_many(records)))
    except LevelError:
        pass
    written = []
    for index, record in zip(indexes, records):
        try:
            written.append((index, record, codec.write_checked(record, index)))
        except LevelError as exc:
            failures.append(exc.with_traceback(None))
    return written


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
            written: Sequence[Tuple[int, Record, str]]) -> None:
        """Add a row for each (index, record, text) of `written`, all of
        one level: `identity` is (file, level, level_name, level_id,
        creator)."""
        count = len(written)
        columns = self.columns
        for name, value in zip(OBJECT_COLUMNS[:5], identity):
            columns[name] += [value] * count
        indexes, object_ids, xs, ys, groups = (columns["index"], columns["object_id"],
                                               columns["x"], columns["y"], columns["groups"])
        keys, values, offsets = self.keys, self.values, self.offsets
        for index, record, text in written:
            fields = text.split(",")
            pairs = dict(zip(fields[0::2], fields[1::2]))
            found = _int64(record.get(ID_KEY))
            if found is not None:
                del pairs[ID_KEY]
            object_ids.append(found)
            for key, column in ((X_KEY, xs), (Y_KEY, ys)):
                position = _float64(record.get(key))
                if position is not None:
                    del pairs[key]
                column.append(position)
            group_list = _groups(record.get(GROUPS_KEY))
            if group_list is not None:
                del pairs[GROUPS_KEY]
            groups.append(group_list)
            indexes.append(index)
            keys += pairs
            values += pairs.values()
            offsets.append(len(keys))

    def extend(self, other: "ObjectRows") -> None:
        """Add the rows of `other` after these."""
        for name, column in other.columns.items():
            self.columns[name] += column
        base = len(self.keys)
        self.keys += other.keys
        self.values += other.values
        self.offsets += [base + offset for offset in other.offsets[1:]]

    def split(self, count: int) -> "ObjectRows":
        """The first `count` rows, taken out of these."""
        first = ObjectRows()
        for name, column in self.columns.items():
            first.columns[name] = column[:count]
            del column[:count]
        end = self.offsets[count]
        first.keys, first.values = self.keys[:end], self.values[:end]
        del self.keys[:end], self.values[:end]
        first.offsets = self.offsets[:count + 1]
        self.offsets = [offset - end for offset in self.offsets[count:]]
        return first

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
              form: Optional[str], level: Level, objects: int,
              failures: List[LevelError]) -> Dict[str, Any]:
    """The row of the levels table of `level`, with `objects` rows in the
    objects table; `failures` are the level's records that could not be
    read or written, to which a colour record that velk would not write
    back is added."""
    codec = RecordCodec(COLOUR)
    colours = written_texts(codec, level.colours, range(len(level.colours)), failures)
    row: Dict[str, Any] = dict(zip(LEVEL_COLUMNS[:5], identity))
    row.update(form=form, objects=objects, failed_records=len(failures),
               header={key: text for key, text in level.header.items() if key != COLOURS_KEY},
               colours=[_pairs(text, "_") for _, _, text in colours],
               properties={key: json.dumps(value) for key, value in level.properties.items()})
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
