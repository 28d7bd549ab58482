"""Level export files: XML property lists that hold levels, read and written.

    <?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict>
    <k>kCEK</k><i>4</i><k>k2</k><s>My level</s><k>k4</k><s>H4sIAAAAAAAA...</s><k>k5</k>
    <s>maker</s><k>k13</k><t /><k>k21</k><i>2</i></dict></plist>

or a bare ``<d>...</d>`` (see ``velk.level.plist`` for the form). A
dictionary with the entry "k4" is a level: "k4" holds its encoded level data,
"k2" its name, "k1" its id and "k5" its creator. So is a dictionary with
"kCEK" 4, the game's mark of a level, which is how a level with nothing in
it (and so no "k4") is written. A file may hold several levels, in nested
dictionaries.

Reading keeps every entry of a level's dictionary, with its type and its
XML; writing puts them back, with the level's name, id, creator and level
data as they are now. A level whose level string is unchanged keeps its
encoded data byte for byte, and every unchanged entry its XML, so reading
and writing back an export file in the game's compact form (or one velk
wrote) gives the same bytes.

Export files are passed around between players, so they are read with
defusedxml, which refuses entity declarations (and so the "billion laughs")
and external references, and as a stream: each level's dictionary is let
go once it has been handed out, and no value may pass the size limit, so a
file of many levels is read in the memory of one.
"""
import hashlib
import os
from typing import IO, TYPE_CHECKING, Any, Iterable, Iterator, Mapping, Optional, Union

from velk.level.atomic import write_to
from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError
from velk.level.plist import HEAD, TAIL, PlistDict, Reader, dumps
from velk.level.values import PathName, PropertyValue
from velk.plain import Plain

if TYPE_CHECKING:
    from velk.level.level import Level

__all__ = ["LEVEL_DATA_KEY", "NAME_KEY", "ID_KEY", "CREATOR_KEY", "KIND_KEY", "LEVEL_KIND",
           "ExportLevel", "is_level", "level_of", "iter_export", "level_entries", "export_xml",
           "write_export"]

LEVEL_DATA_KEY = "k4"
NAME_KEY = "k2"
ID_KEY = "k1"
CREATOR_KEY = "k5"
# The game marks what a dictionary holds under "kCEK"; 4 is a level.
KIND_KEY = "kCEK"
LEVEL_KIND = 4
# How a file of several levels lists them, as the game lists a player's levels.
_LIST_MARK = "<k>_isArr</k><t />"
_LIST_KEY = "k_%d"
_READ_SIZE = 1 << 20


class ExportLevel(Plain):
    """One level of an export or save file: its `name`, `id` and `creator`
    (None where the file gives none), its `data`, the text of its "k4"
    entry (None when it has none), and `properties`, every entry of its
    dictionary (a PlistDict)."""

    __slots__ = ("name", "data", "id", "creator", "properties")

    def __init__(self, name: Optional[str], data: Optional[str],
                 id: Optional[PropertyValue] = None, creator: Optional[PropertyValue] = None,
                 properties: Optional[PlistDict] = None) -> None:
        self.name = name
        self.data = data
        self.id = id
        self.creator = creator
        self.properties = PlistDict() if properties is None else properties


def is_level(entries: Mapping[str, Any]) -> bool:
    """Whether the entries of a dictionary of an export file are a level's."""
    return LEVEL_DATA_KEY in entries or (type(entries.get(KIND_KEY)) is int
                                         and entries[KIND_KEY] == LEVEL_KIND)


def level_of(entries: PlistDict) -> ExportLevel:
    """The ExportLevel of a level's dictionary."""
    name = entries.get(NAME_KEY)
    if name is not None and not isinstance(name, str):
        name = str(name)
    data = entries.get(LEVEL_DATA_KEY)
    if data is not None and not isinstance(data, str):
        raise LevelError("the level data (%r) is not text" % LEVEL_DATA_KEY, level_name=name)
    return ExportLevel(name, data, entries.get(ID_KEY), entries.get(CREATOR_KEY), entries)


def _chunks(stream: IO[bytes]) -> Iterator[bytes]:
    return iter(lambda: stream.read(_READ_SIZE), b"")


def iter_export(source: Union[PathName, bytes, IO[bytes]], max_size: int = MAX_SIZE
                ) -> Iterator[ExportLevel]:
    """The levels of an export file, in document order, as ExportLevel.

    `source` is a path or a binary file object. Raises LevelError for a file
    that is not well-formed XML, declares entities or refers to outside
    resources, holds a value of more than `max_size` bytes, or holds no
    level data."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as stream:
            yield from iter_export(stream, max_size)
        return
    reader = Reader(lambda path, entries: is_level(entries), lambda path: True, max_size,
                    "export file")
    found = False
    for _path, entries in reader.selected(_chunks(source)):
        found = True
        yield level_of(entries)
    if not found:
        raise LevelError("no level data in the export file: no %r entry" % LEVEL_DATA_KEY)


# Writing ---------------------------------------------------------------------------


def _level_data(level: "Level") -> Optional[str]:
    """The text of a level's "k4" entry: the one it was read with while its
    level string is unchanged, else its data encoded anew; None for a level
    with nothing in it."""
    # Imported here: writing level strings needs the native record codec.
    from velk.level.level import save_level, write_level

    if not (level.header or level.colours or level.objects):
        return None
    origin = level.origin
    kept = level.properties.get(LEVEL_DATA_KEY)
    if origin is not None and isinstance(kept, str):
        text = write_level(level)
        if hashlib.sha256(text.encode("utf-8")).digest() == origin.digest:
            return kept
    # Data read as a plain level string are saved as the game saves them.
    return save_level(level, getattr(origin, "compression", None) or "gzip")


def level_entries(level: "Level") -> PlistDict:
    """The entries of a Level's dictionary as they are written: its
    properties, with its id ("k1"), name ("k2"), level data ("k4") and
    creator ("k5") as the Level has them now. A level with nothing in it
    has no "k4" and is marked a level by "kCEK" 4, first if it lacks it."""
    entries = PlistDict(level.properties) if not isinstance(level.properties, PlistDict) \
        else level.properties.copy()
    data = _level_data(level)
    for key, value in ((ID_KEY, level.id), (NAME_KEY, level.name), (LEVEL_DATA_KEY, data),
                       (CREATOR_KEY, level.creator)):
        if value is not None:
            entries[key] = value
    if data is None:
        entries.pop(LEVEL_DATA_KEY, None)
        if not is_level(entries):
            marked = PlistDict([(KIND_KEY, LEVEL_KIND)] + list(entries.items()))
            marked.spans, marked.raw = entries.spans, entries.raw
            entries = marked
    return entries


def export_xml(levels: Union["Level", Iterable["Level"]]) -> bytes:
    """The bytes of an export file holding `levels` (a Level, or a sequence
    of them): one level as the file's dictionary, as the game writes it,
    several as a list of dictionaries.

    Raises ValueError or TypeError for a property that an export file cannot
    hold, naming its level and key, and RecordError for a record that
    cannot be written."""
    from velk.level.level import Level

    if isinstance(levels, Level):
        levels = [levels]
    bodies = []
    for index, level in enumerate(levels, 1):
        try:
            bodies.append(dumps(level_entries(level)))
        except (TypeError, ValueError) as exc:
            if isinstance(exc, LevelError):
                raise exc.locate(level=index, level_name=level.name)
            raise type(exc)("level %d: %s" % (index, exc)) from None
    if not bodies:
        raise ValueError("an export file holds at least one level")
    if len(bodies) == 1:
        body = bodies[0]
    else:
        body = _LIST_MARK + "".join("<k>%s</k><d>%s</d>" % (_LIST_KEY % index, text)
                                    for index, text in enumerate(bodies))
    return (HEAD + body + TAIL).encode("utf-8")


def write_export(levels: Union["Level", Iterable["Level"]],
                 target: Union[PathName, IO[bytes], IO[str]]) -> None:
    """Write an export file holding `levels` (see `export_xml`) to `target`:
    a path, which is replaced whole or not at all, or a file object open for
    writing, binary or text."""
    write_to(target, export_xml(levels))
