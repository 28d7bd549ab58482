"""Level strings: a header and object records, each ended by ";".

    kA13,0,kS38,1_40_2_125_3_255_|1000_255_2_255_|,kA2,0;1,1,2,15,3,15;1,8,2,45,3,15;

The first record is the level's header: ","-delimited pairs whose keys are
not numbers ("kA2", "kA13", "kS38"). The value under "kS38" holds the
level's colour records ("_"-delimited), each ended by "|". Every later
record is an object record ("," -delimited). This module splits a level
string into those texts and joins them again; reading them into typed
values is `velk.level.level`'s work.

`iter_records` takes the level string in pieces and yields its records as
they complete, so a level never has to be in memory as a whole; within a
record, `iter_pairs` and `iter_colour_texts` walk its parts without
splitting it into a list of them all, which for a hostile record of
millions of short fields takes many times the record's own size.
"""
import codecs
from itertools import chain
from typing import Dict, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

from velk.level.errors import LevelError

# A level string as the readers take it: text, its UTF-8 bytes, or an
# iterable of pieces of either.
LevelTextInput = Union[str, bytes, bytearray, memoryview, Iterable[str], Iterable[bytes]]

__all__ = ["RECORD_END", "COLOUR_END", "HEADER_DELIM", "COLOURS_KEY", "iter_record_batches",
           "iter_records", "LevelText", "iter_pairs",
           "split_level", "text_pieces", "read_header", "colour_texts", "iter_colour_texts", "join_header",
           "join_level"]

RECORD_END = ";"
COLOUR_END = "|"
HEADER_DELIM = ","
COLOURS_KEY = "kS38"


def iter_record_batches(chunks: Iterable[str]) -> Iterator[List[str]]:
    """The ";"-ended records of a level string given in pieces cut anywhere,
    as lists: one list for each piece that completes records.

    A last record without its ";" counts as well, unless it is only
    whitespace (a line ending after the level string)."""
    pending: List[str] = []
    for chunk in chunks:
        records = chunk.split(RECORD_END)
        if len(records) == 1:
            if chunk:
                pending.append(chunk)
            continue
        if pending:
            pending.append(records[0])
            records[0] = "".join(pending)
            pending = []
        last = records.pop()
        yield records
        if last:
            pending.append(last)
    tail = "".join(pending)
    if tail.strip():
        yield [tail]


def iter_records(chunks: Iterable[str]) -> Iterator[str]:
    """The records of `iter_record_batches`, one at a time."""
    return chain.from_iterable(iter_record_batches(chunks))


# A record's fields are split a slice of about this many characters at a
# time: a list of all the fields of a hostile record would be many times
# its size.
_SLICE = 1 << 16


def _fields(text: str, delim: str) -> Iterator[str]:
    """The fields of `text`, as text.split(delim) gives them."""
    start = 0
    while True:
        end = text.find(delim, start + _SLICE)
        if end < 0:
            yield from text[start:].split(delim)
            return
        yield from text[start:end].split(delim)
        start = end + 1


def iter_pairs(text: str, delim: str) -> Iterator[Tuple[str, str]]:
    """The (key, value) pairs of a record whose fields `delim` separates, in
    their order, repeated keys included; a last key without its value is
    left out."""
    fields = _fields(text, delim)
    return zip(fields, fields)


def read_header(text: str) -> Dict[str, str]:
    """The header's pairs as a dict of texts, in their order; a repeated
    key keeps its last value."""
    return dict(iter_pairs(text, HEADER_DELIM))


def iter_colour_texts(header: Mapping[str, str]) -> Iterator[str]:
    """The colour record texts that the header's "kS38" value holds, one
    at a time."""
    value = header.get(COLOURS_KEY, "")
    start = 0
    while start < len(value):
        end = value.find(COLOUR_END, start)
        if end < 0:
            end = len(value)
        yield value[start:end]
        start = end + 1


def colour_texts(header: Mapping[str, str]) -> List[str]:
    """The colour record texts that the header's "kS38" value holds."""
    return list(iter_colour_texts(header))


def join_header(header: Mapping[str, str], colours: Optional[Iterable[str]] = None) -> str:
    """The header record of `header` (a dict of texts). With `colours` (record
    texts), they are written as the "kS38" value, in its place; a header
    without one gets it at its end unless there are no colours."""
    if colours is not None:
        written = "".join(text + COLOUR_END for text in colours)
        if written or COLOURS_KEY in header:
            header = dict(header)
            header[COLOURS_KEY] = written
    return HEADER_DELIM.join(piece for pair in header.items() for piece in pair)


def join_level(header: str, objects: Iterable[str]) -> str:
    """The level string of a header record and object record texts."""
    # Every record ends with ";": the empty last piece adds the final one.
    return RECORD_END.join(chain((header,), objects, ("",)))


class LevelText:
    """A level string split into its texts.

    `header_text` is the header record, `header` its pairs (a dict of texts)
    and `colours` the colour record texts of its "kS38" value, as a list
    (`iter_colour_texts(header)` gives them one at a time). The object
    record texts are read as the level string is: `object_batches` yields
    them a list at a time, and `objects` one at a time (take one of the two;
    both read the same string)."""

    __slots__ = ("header_text", "header", "object_batches")

    def __init__(self, header_text: str, object_batches: Iterator[List[str]]) -> None:
        self.header_text = header_text
        self.header = read_header(header_text)
        self.object_batches = object_batches

    @property
    def colours(self) -> List[str]:
        return colour_texts(self.header)

    @property
    def objects(self) -> Iterator[str]:
        return chain.from_iterable(self.object_batches)


_BYTES = (bytes, bytearray, memoryview)


def _not_text(what: object) -> TypeError:
    return TypeError("a level string is a str or bytes, or an iterable of its pieces, not %s"
                     % what)


def _decoded(pieces: Iterable[Union[str, bytes]]) -> Iterator[str]:
    """The pieces of a level string as text: str pieces as they are, bytes
    pieces decoded from UTF-8 (a character may be cut between pieces)."""
    decoder = None
    for piece in pieces:
        if isinstance(piece, str):
            yield piece
            continue
        if not isinstance(piece, _BYTES):
            raise _not_text("an iterable of %s" % type(piece).__name__)
        if decoder is None:
            decoder = codecs.getincrementaldecoder("utf-8")()
        try:
            yield decoder.decode(piece)
        except UnicodeDecodeError:
            raise LevelError("the level string is not UTF-8 text") from None
    if decoder is not None:
        try:
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            raise LevelError("the level string is not UTF-8 text") from None


def text_pieces(text: "LevelTextInput") -> Iterable[str]:
    """The level string `text` (a str, its UTF-8 bytes, or an iterable of
    str or bytes pieces) as an iterable of str pieces. Anything else is a
    TypeError that says what a level string is."""
    if isinstance(text, str):
        return (text,)
    if isinstance(text, _BYTES):
        try:
            return (bytes(text).decode("utf-8"),)
        except UnicodeDecodeError:
            raise LevelError("the level string is not UTF-8 text") from None
    if isinstance(text, dict) or not hasattr(text, "__iter__"):
        raise _not_text(type(text).__name__)
    return _decoded(text)


def split_level(chunks: "LevelTextInput") -> LevelText:
    """Split a level string into a LevelText: a str, its UTF-8 bytes, or an
    iterable of str or bytes pieces cut anywhere (see `text_pieces`).

    Only the header is read here; the objects are read from `chunks` as the
    caller takes them. An empty level string raises LevelError."""
    batches = iter_record_batches(text_pieces(chunks))
    first = next(batches, None)
    if first is None:
        raise LevelError("the level is empty: no header and no objects")
    return LevelText(first[0], chain((first[1:],), batches))
