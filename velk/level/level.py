"""Levels read into typed values, and written back.

    level = read_level(text)             # a level string; load_level() for encoded data
    level.header["kA13"]                 # header values stay text
    level.colours[0]["4"]                # PlayerColor.UNSET
    level.objects[0]["2"]                # 15.5
    write_level(level) == text           # True for a level in canonical form

Colour and object records go through the native codec (``velk._velkc``).
The header's pairs are written back as they were, except "kS38", which is
written from `colours`. Every error names the record that failed, by kind
and index, and the key: RecordError "object 17: key 51: invalid literal for
int() with base 10: '4.0'".

Reading is all or nothing unless asked to keep going: with
``keep_going=True`` a record that cannot be read is passed over and its
RecordError kept in the level's `failures`, so the level holds every record
that could be read (their indexes in the file are then no longer their
places in `objects`: the failures name the records left out).

What velk writes, velk reads back to equal values, or it refuses to write
it: `write_level` and `save_level` return a whole text or raise RecordError
naming the record and key, and the message says why ("object 3: key 99: the
text 'a;2,7' holds ';', which ends a record") and what to give instead. The
check is the reader itself: each written record is read back and compared
with the record given (dict equality, so True for 1 passes), which costs
about one read of the level; only a record that fails is looked at pair by
pair (`velk.level.checks`). Floats in exponent form are written in
positional form ("0.00001"), which reads back to the same float.
"""
from typing import (Any, Callable, Dict, Generator, Iterable, Iterator, List, Optional,
                    Sequence, Tuple)

from velk.level.checks import (COLOUR_SEPARATORS, HEADER, OBJECT_SEPARATORS, Refusal,
                               check_header, checked_value, first_separator,
                               with_positional_floats)
from velk.level.collector import paused
from velk.level.data import MAX_SIZE, Chunk, encode, iter_decode
from velk.level.errors import LevelError, RecordError
from velk.level.text import (COLOURS_KEY, COLOUR_END, HEADER_DELIM, RECORD_END,
                             LevelTextInput, join_header, join_level, split_level)
from velk.level.values import Properties, PropertyValue, Record

__all__ = ["OBJECT", "COLOUR", "KINDS", "kind_of", "RecordCodec", "Origin", "Level", "Levels",
           "RecordIterator", "read_level", "write_level", "load_level", "save_level",
           "iter_objects"]

OBJECT = "object"
COLOUR = "colour"
KINDS: Tuple[str, ...] = (OBJECT, COLOUR)
# Other spellings of the kinds that are taken for them.
_SPELLINGS = {"color": COLOUR}

# Records written and read back at a time: the read-back copies of one batch
# are all that checking holds beyond the texts.
_BATCH = 512

Failures = Optional[List[LevelError]]


def kind_of(kind: str) -> str:
    """The kind of record `kind` names: OBJECT or COLOUR ("color" is
    COLOUR too). Raises ValueError for any other."""
    found = _SPELLINGS.get(kind, kind)
    if found not in KINDS:
        raise ValueError("unknown kind of record %r (choose from %s)" % (kind, ", ".join(KINDS)))
    return found


class RecordCodec:
    """Reads and writes one kind of record, naming the record in every error.

    Two ways of writing: `write` is the native codec's text, unchecked (what
    `velk.survey` measures); `write_checked` and `write_many` give only texts
    that read back to equal records, inside a level string, or raise.

    The native functions are taken when the codec is made, so a codec made
    after one of them is replaced uses the replacement."""

    def __init__(self, kind: str) -> None:
        # Imported here, not with this module, so that the pure-Python parts of
        # velk.level (level data, export files) work without the built core,
        # and a command can report a core that does not load in one line.
        from velk import _velkc

        kind = kind_of(kind)
        self.delim: str
        self.separators: Dict[str, str]
        self.read: Callable[[str], Record]
        self._dump: Callable[[Record], Dict[str, Any]]
        self._collect: Callable[[Dict[str, Any]], str]
        if kind == OBJECT:
            self.delim = ","
            self.separators = OBJECT_SEPARATORS
            self.read = _velkc._object_convert
            self._dump, self._collect = _velkc._object_dump, _velkc._object_collect
        else:
            self.delim = "_"
            self.separators = COLOUR_SEPARATORS
            self.read = _velkc._color_convert
            self._dump, self._collect = _velkc._color_dump, _velkc._color_collect
        self.kind = kind
        # What ends the text that holds a record: a record's text holds its
        # own delimiter, but none of these.
        self._ends = tuple(separator for separator in self.separators if separator != self.delim)

    def write(self, record: Record) -> str:
        """The record text of a typed record as the native codec writes it,
        unchecked: it may read back different, or not at all."""
        return self._collect(self._dump(record))

    def write_checked(self, record: Record, index: int = 0) -> str:
        """The record text of `record` that reads back to an equal record and
        holds none of the level string's separators around it; a float in
        exponent form is written in positional form. Raises RecordError,
        naming record `index` and the key, for a record that cannot be
        written so."""
        text = self._text_if_same(record, record)
        if text is None:
            text = self._text_if_same(with_positional_floats(record), record)
        if text is None:
            text = self._repaired(record, index)
        return text

    def _holds_end(self, text: str) -> bool:
        return first_separator(text, self._ends) is not None

    def _repaired(self, record: Record, index: int) -> str:
        """The text of a record whose native text does not read back, made
        pair by pair (see `velk.level.checks.checked_value`), or the
        RecordError of the first pair that cannot be written."""
        if type(record) is not dict:
            raise RecordError(self.kind, index, TypeError("not a dict"), writing=True,
                              reason="the record is a %s; give a dict" % type(record).__name__)
        fixed: Dict[str, Any] = {}
        # A copy of the pairs: checking calls the values' own code.
        for key, value in list(record.items()):
            try:
                fixed[key] = checked_value(self, key, value)
            except Refusal as refusal:
                raise RecordError(self.kind, index, refusal, key=key, writing=True,
                                  reason=str(refusal)) from refusal
            except Exception as exc:
                # The key's or value's own code failed while being looked at.
                raise RecordError(self.kind, index, exc, key=key, writing=True) from exc
        text = self._text_if_same(fixed, record)
        if text is None:
            # Every pair came back on its own; a text is returned only when
            # the whole record does too.
            raise RecordError(self.kind, index, ValueError("reads back different"), writing=True,
                              reason="each pair reads back on its own, but the record does not")
        return text

    def _text_if_same(self, record: Record, original: Record) -> Optional[str]:
        """The text of `record` when it reads back equal to `original` and
        holds no end, else None."""
        written = self._written_if_same([record], [original])
        return None if written is None else written[0]

    def failing_key(self, text: str) -> Optional[str]:
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

    def read_error(self, index: int, text: str, exc: BaseException) -> RecordError:
        """The RecordError of record `index`, whose text `text` raised `exc`."""
        return RecordError(self.kind, index, exc, key=self.failing_key(text))

    def read_many(self, texts: Sequence[str], start: int = 0,
                  failures: Failures = None) -> List[Record]:
        """The typed records of the sequence `texts`, as a list, counting
        indexes from `start`. The first that fails raises RecordError; with
        a `failures` list, each that fails is left out and its RecordError
        added to the list instead."""
        try:
            return list(map(self.read, texts))
        except Exception:
            if failures is None:
                # Reading is all or nothing, so read again one by one to name
                # the record that failed.
                for index, text in enumerate(texts, start):
                    try:
                        self.read(text)
                    except Exception as exc:
                        raise self.read_error(index, text, exc) from exc
                raise
        # Passed over outside the handler: an error kept from within it
        # would hold the error handled, and through its traceback the
        # frames of the batch and of its callers, in a cycle that only the
        # garbage collector frees.
        return self._read_passing_over(texts, start, failures)

    def _read_passing_over(self, texts: Sequence[str], start: int,
                           failures: List[LevelError]) -> List[Record]:
        records = []
        for index, text in enumerate(texts, start):
            try:
                records.append(self.read(text))
            except Exception as exc:
                # Kept without its traceback, whose frames hold the batch.
                failures.append(self.read_error(index, text, exc.with_traceback(None)))
        return records

    def write_many(self, records: Sequence[Record], start: int = 0) -> List[str]:
        """The record texts of the sequence `records`, each as `write_checked`
        gives it; the first that cannot be written so raises RecordError,
        counting indexes from `start`."""
        texts: List[str] = []
        for first in range(0, len(records), _BATCH):
            batch = list(records[first:first + _BATCH])
            written = self._written_if_same(batch, batch)
            if written is None:
                # Floats in exponent form are the one common fault: mend
                # them all and try the batch again before going record by
                # record.
                written = self._written_if_same(list(map(with_positional_floats, batch)), batch)
            if written is None:
                written = [self.write_checked(record, index)
                           for index, record in enumerate(batch, start + first)]
            texts += written
        return texts

    def _written_if_same(self, records: List[Record], originals: List[Record]
                         ) -> Optional[List[str]]:
        """The native texts of the list `records` when they read back equal to
        the list `originals` and hold no end, else None."""
        try:
            texts = list(map(self._collect, map(self._dump, records)))
            if list(map(self.read, texts)) == originals and not self._holds_end("".join(texts)):
                return texts
        except Exception:
            pass
        return None

    def read_batches(self, batches: Iterable[Sequence[str]],
                     failures: Failures = None) -> Generator[Record, None, None]:
        """The typed records of an iterable of lists of texts, one at a time;
        `failures` as for `read_many`."""
        start = 0
        for batch in batches:
            # Paused for the batch only, never over a yield: a generator left
            # unfinished cannot leave the collector off.
            with paused():
                records = self.read_many(batch, start, failures)
            yield from records
            start += len(batch)


class RecordIterator(Iterator[Record]):
    """The records of a level read one at a time (see `iter_objects`), and
    the `failures` of those passed over so far when reading keeps going.
    `close()` ends the reading early, as a generator's does."""

    def __init__(self, records: Generator[Record, None, None],
                 failures: List[LevelError]) -> None:
        self._records = records
        self.failures = failures

    def __iter__(self) -> "RecordIterator":
        return self

    def __next__(self) -> Record:
        return next(self._records)

    def close(self) -> None:
        self._records.close()


class Origin:
    """What a level's encoded data were when it was read: the SHA-256
    `digest` of its level string and its `compression` (None for a plain
    level string). A level whose level string still has that digest is
    written back with the data it was read with, byte for byte."""

    __slots__ = ("digest", "compression")

    def __init__(self, digest: bytes, compression: Optional[str]) -> None:
        self.digest = digest
        self.compression = compression

    def __reduce__(self) -> Tuple[Any, ...]:
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
    Nor are `failures`: the RecordErrors of the records passed over when
    the level was read with ``keep_going=True`` (empty otherwise).

    A Level is a value: levels with equal parts are equal, `len` counts its
    objects and iterating over it gives them.
    """

    _FIELDS = ("header", "colours", "objects", "name", "id", "creator", "properties")
    __slots__ = _FIELDS + ("origin", "failures")

    def __init__(self, header: Optional[Dict[str, str]] = None,
                 colours: Optional[List[Record]] = None, objects: Optional[List[Record]] = None,
                 name: Optional[str] = None, id: Optional[PropertyValue] = None,
                 creator: Optional[PropertyValue] = None,
                 properties: Optional[Properties] = None) -> None:
        self.header: Dict[str, str] = {} if header is None else header
        self.colours: List[Record] = [] if colours is None else colours
        self.objects: List[Record] = [] if objects is None else objects
        self.name = name
        self.id = id
        self.creator = creator
        self.properties: Properties = {} if properties is None else properties
        self.origin: Optional[Origin] = None
        self.failures: List[LevelError] = []

    def _parts(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, field) for field in self._FIELDS)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Level):
            return NotImplemented
        return self._parts() == other._parts()

    # Levels are changed in place (objects added, names set): not hashable.
    __hash__ = None  # type: ignore[assignment]

    def __len__(self) -> int:
        return len(self.objects)

    def __iter__(self) -> Iterator[Record]:
        return iter(self.objects)

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), self._parts(), (None, {"origin": self.origin,
                                                  "failures": self.failures})

    def __repr__(self) -> str:
        return "<Level%s: %d colours, %d objects>" % (
            "" if self.name is None else " %r" % self.name, len(self.colours), len(self.objects))


class Levels(List[Level]):
    """The levels read from a file, in the file's order: a list of Level,
    and `failures`, what could not be read when reading kept going: each
    level left out (a LevelError naming it), the file itself when it could
    not be read to its end, and every record passed over in the levels read
    (the RecordErrors of their `failures`), in the file's order."""

    def __init__(self, levels: Iterable[Level] = (), failures: Iterable[LevelError] = ()
                 ) -> None:
        super().__init__(levels)
        self.failures: List[LevelError] = list(failures)

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (list(self), self.failures)


def read_level(text: LevelTextInput, name: Optional[str] = None,
               keep_going: bool = False) -> Level:
    """Read a level string into a Level: a str, its UTF-8 bytes, or an
    iterable of str or bytes pieces cut anywhere.

    Raises LevelError for an empty level and for bytes that are not UTF-8,
    RecordError for a record that cannot be read, unless `keep_going`: then
    such records are passed over and kept in the level's `failures`.
    Anything else than a level string raises TypeError. The garbage
    collector is paused meanwhile (see `velk.level.collector`)."""
    failures: Failures = [] if keep_going else None
    with paused():
        parts = split_level(text)
        colours = RecordCodec(COLOUR).read_many(parts.colours, 0, failures)
        codec = RecordCodec(OBJECT)
        objects: List[Record] = []
        start = 0
        for batch in parts.object_batches:
            objects += codec.read_many(batch, start, failures)
            start += len(batch)
    level = Level(parts.header, colours, objects, name)
    if failures:
        level.failures = failures
    return level


def write_level(level: Level) -> str:
    """The level string of a Level, which `read_level` reads back to equal
    header pairs, colours and objects (the header's "kS38" is written from the
    colours). Raises RecordError naming the record and key of a value that
    would not come back, and of a text that UTF-8 cannot encode (a lone
    surrogate), since every file keeps level strings as UTF-8; nothing is
    returned in part. The garbage collector is paused while the records are
    written and read back (see `velk.level.collector`)."""
    if not isinstance(level, Level):
        raise TypeError("write_level takes a Level, not %s" % type(level).__name__)
    check_header(level.header)
    with paused():
        colours = RecordCodec(COLOUR).write_many(level.colours)
        objects = RecordCodec(OBJECT).write_many(level.objects)
    text = join_level(join_header(level.header, colours), objects)
    # An ASCII text is known to be so without a look at its characters.
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as exc:
            raise _unencodable(text, exc) from exc
    return text


def load_level(data: Chunk, max_size: int = MAX_SIZE, name: Optional[str] = None,
               keep_going: bool = False) -> Level:
    """Read encoded level data (str or bytes) into a Level, decompressing and
    reading at once; see `velk.level.data.iter_decode` for `max_size`, and
    `read_level` for `keep_going`: level data that cannot be decoded raise
    LevelError either way."""
    if not isinstance(data, (str, bytes, bytearray, memoryview)):
        raise TypeError("load_level takes encoded level data as str or bytes, not %s"
                        % type(data).__name__)
    return read_level(iter_decode((data,), max_size), name, keep_going)


def save_level(level: Level, compression: str = "gzip") -> str:
    """Encoded level data of a Level, which `load_level` reads back to an
    equal level; see `write_level` for what it refuses."""
    return encode(write_level(level), compression)


def _unencodable(text: str, exc: UnicodeEncodeError) -> RecordError:
    """The RecordError of the record of the level string `text` that holds the
    character that UTF-8 could not encode (`exc`)."""
    records = text[:exc.start].split(RECORD_END)
    if len(records) > 1:
        kind, index, start, delim = OBJECT, len(records) - 2, records[-1], ","
    else:
        kind, index, start, delim = HEADER, None, records[0], HEADER_DELIM
        pieces = start.split(HEADER_DELIM)
        if len(pieces) % 2 == 0 and pieces[-2] == COLOURS_KEY:
            colours = pieces[-1].split(COLOUR_END)
            kind, index, start, delim = COLOUR, len(colours) - 1, colours[-1], "_"
    pieces = start.split(delim)
    # The character is in a value when the record's start ends inside one.
    key = pieces[-2] if len(pieces) % 2 == 0 else None
    return RecordError(kind, index, exc, key=key, writing=True, reason=(
        "%s holds %r, which UTF-8 cannot encode, and level data are UTF-8"
        % ("a key" if key is None else "the text", text[exc.start:exc.end])))


def iter_objects(text: LevelTextInput, keep_going: bool = False) -> RecordIterator:
    """The typed object records of a level string (as `read_level` takes
    it), read as the string is, one at a time. A record that cannot be read
    raises RecordError when it is reached, unless `keep_going`: then it is
    passed over, and its RecordError added to the iterator's `failures`."""
    failures: List[LevelError] = []
    records = RecordCodec(OBJECT).read_batches(split_level(text).object_batches,
                                               failures if keep_going else None)
    return RecordIterator(records, failures)
