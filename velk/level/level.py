"""Levels read into typed values, and written back.

    level = read_level(text)             # a level string; load_level() for encoded data
    level.header["kA13"]                 # header values stay text
    level.colours[0]["4"]                # PlayerColor.UNSET
    level.objects[0]["2"]                # 15.5
    write_level(level) == text           # True for a level in canonical form

Colour and object records go through the native codec (``velk._velkc``).
The header's pairs are written back as they were, except "kS38", which is
written from `colours`. Every error names the record that failed, by kind
and index, and the key when reading: RecordError "object 17: key 51: invalid
literal for int() with base 10: '4.0'".
"""
from velk.level.data import MAX_SIZE, encode, iter_decode
from velk.level.errors import RecordError
from velk.level.text import join_header, join_level, split_level

__all__ = ["OBJECT", "COLOUR", "KINDS", "RecordCodec", "Origin", "Level", "read_level",
           "write_level", "load_level", "save_level", "iter_objects"]

OBJECT = "object"
COLOUR = "colour"
KINDS = (OBJECT, COLOUR)


class RecordCodec:
    """Reads and writes one kind of record, naming the record in every error.

    The native functions are taken when the codec is made, so a codec made
    after one of them is replaced uses the replacement."""

    def __init__(self, kind):
        # Imported here, not with this module, so that the pure-Python parts of
        # velk.level (level data, export files) work without the built core,
        # and a command can report a core that does not load in one line.
        from velk import _velkc

        if kind == OBJECT:
            self.delim = ","
            self.read = _velkc._object_convert
            self._dump, self._collect = _velkc._object_dump, _velkc._object_collect
        elif kind == COLOUR:
            self.delim = "_"
            self.read = _velkc._color_convert
            self._dump, self._collect = _velkc._color_dump, _velkc._color_collect
        else:
            raise ValueError("unknown kind of record %r (choose from %s)"
                             % (kind, ", ".join(KINDS)))
        self.kind = kind

    def write(self, record):
        """The record text of a typed record."""
        return self._collect(self._dump(record))

    def failing_key(self, text):
        """The key of the first pair of `text` that does not read on its own,
        or None. A value is read by its key alone, so that pair is the one
        that failed in the record."""
        pieces = text.split(self.delim)
        for at in range(0, len(pieces) - 1, 2):
            try:
                self.read(pieces[at] + self.delim + pieces[at + 1])
            except Exception:
                return pieces[at]
        return None

    def read_error(self, index, text, exc):
        """The RecordError of record `index`, whose text `text` raised `exc`."""
        return RecordError(self.kind, index, exc, key=self.failing_key(text))

    def read_many(self, texts, start=0):
        """The typed records of the sequence `texts`, as a list; the first
        that fails raises RecordError, counting indexes from `start`."""
        try:
            return list(map(self.read, texts))
        except Exception:
            # Reading is all or nothing, so read again one by one to name the
            # record that failed.
            for index, text in enumerate(texts, start):
                try:
                    self.read(text)
                except Exception as exc:
                    raise self.read_error(index, text, exc) from exc
            raise

    def write_many(self, records, start=0):
        """The record texts of the sequence `records`; see `read_many`."""
        try:
            return list(map(self._collect, map(self._dump, records)))
        except Exception:
            for index, record in enumerate(records, start):
                try:
                    self.write(record)
                except Exception as exc:
                    raise RecordError(self.kind, index, exc, writing=True) from exc
            raise

    def read_batches(self, batches):
        """The typed records of an iterable of lists of texts, one at a time."""
        start = 0
        for batch in batches:
            yield from self.read_many(batch, start)
            start += len(batch)


class Origin:
    """What a level's encoded data were when it was read: the SHA-256
    `digest` of its level string and its `compression` (None for a plain
    level string). A level whose level string still has that digest is
    written back with the data it was read with, byte for byte."""

    __slots__ = ("digest", "compression")

    def __init__(self, digest, compression):
        self.digest = digest
        self.compression = compression

    def __reduce__(self):
        return type(self), (self.digest, self.compression)


class Level:
    """One level in typed values.

    `header` maps the header's keys to their texts, in order; `colours` and
    `objects` are lists of typed records (dicts, as ``velk._velkc`` reads
    them); `name` is the level's name when the file holding it gives one.
    `id` and `creator` are the level's id and its creator's name where the
    file gives them (export and save files, server data). `properties` are
    the entries of the level's dictionary in an export or save file, in
    order, as typed values (str, int, float, True, nested dicts); writing
    the level as an export file writes them back, its name, id, creator and
    level data as the Level has them then. `origin` (an Origin, or None) is
    how its level data were encoded when read; it is no part of the value.

    A Level is a value: levels with equal parts are equal, `len` counts its
    objects and iterating over it gives them.
    """

    _FIELDS = ("header", "colours", "objects", "name", "id", "creator", "properties")
    __slots__ = _FIELDS + ("origin",)

    def __init__(self, header=None, colours=None, objects=None, name=None, id=None,
                 creator=None, properties=None):
        self.header = {} if header is None else header
        self.colours = [] if colours is None else colours
        self.objects = [] if objects is None else objects
        self.name = name
        self.id = id
        self.creator = creator
        self.properties = {} if properties is None else properties
        self.origin = None

    def _parts(self):
        return tuple(getattr(self, field) for field in self._FIELDS)

    def __eq__(self, other):
        if not isinstance(other, Level):
            return NotImplemented
        return self._parts() == other._parts()

    # Levels are changed in place (objects added, names set): not hashable.
    __hash__ = None

    def __len__(self):
        return len(self.objects)

    def __iter__(self):
        return iter(self.objects)

    def __reduce__(self):
        return type(self), self._parts(), (None, {"origin": self.origin})

    def __repr__(self):
        return "<Level%s: %d colours, %d objects>" % (
            "" if self.name is None else " %r" % self.name, len(self.colours), len(self.objects))


def read_level(text, name=None):
    """Read a level string (a str, or an iterable of its pieces) into a Level.

    Raises LevelError for an empty level and RecordError for a record that
    cannot be read."""
    parts = split_level(text)
    colours = RecordCodec(COLOUR).read_many(parts.colours)
    codec = RecordCodec(OBJECT)
    objects = []
    for batch in parts.object_batches:
        objects += codec.read_many(batch, len(objects))
    return Level(parts.header, colours, objects, name)


def write_level(level):
    """The level string of a Level."""
    header = join_header(level.header, RecordCodec(COLOUR).write_many(level.colours))
    return join_level(header, RecordCodec(OBJECT).write_many(level.objects))


def load_level(data, max_size=MAX_SIZE, name=None):
    """Read encoded level data (str or bytes) into a Level, decompressing and
    reading at once; see `velk.level.data.iter_decode` for `max_size`."""
    return read_level(iter_decode((data,), max_size), name)


def save_level(level, compression="gzip"):
    """Encoded level data of a Level."""
    return encode(write_level(level), compression)


def iter_objects(text):
    """The typed object records of a level string (a str or an iterable of
    its pieces), read as the string is, one at a time."""
    return RecordCodec(OBJECT).read_batches(split_level(text).object_batches)
