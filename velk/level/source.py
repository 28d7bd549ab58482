"""Where levels come from: files in four forms, told apart by their content.

- "records": a record file, one object or colour record per line (no level);
- "level": a level string (``velk.level.text``);
- "encoded": encoded level data (``velk.level.data``);
- "export": a level export file (``velk.level.export``).

`detect_form` tells them apart by a file's first bytes. An `Input` reads a
file or standard input once, in binary, with those bytes read ahead; its
`levels` yield each level it holds as a `LevelSource`, whose level string
comes in pieces as the file is read and decoded. `read_file` reads every
level of a file into `Level` objects.
"""
import codecs
import io
from contextlib import contextmanager
import os
import re
import sys

from velk.level.data import MAX_SIZE, iter_decode, looks_encoded
from velk.level.errors import LevelError
from velk.level.export import iter_export
from velk.level.level import read_level

__all__ = ["FORMS", "detect_form", "LevelSource", "Input", "read_file"]

FORMS = ("records", "level", "encoded", "export")

# Bytes read ahead to tell the form, and bytes read at a time after that.
HEAD_SIZE = 1 << 16
READ_SIZE = 1 << 20

_BOM = b"\xef\xbb\xbf"
_LEADING = "\ufeff \t\r\n"
# A level string starts with its header, whose keys are not numbers.
_HEADER_START = re.compile(rb"k[A-Za-z]+[0-9]*,")


def detect_form(head):
    """The form of a file whose first bytes are `head` (one of FORMS).

    An export file starts with "<"; a level string holds ";" in its first
    line or starts with a header key ("kS38,"); encoded level data are one
    line of base64 whose bytes start like compressed text; anything else,
    an empty file included, is a record file."""
    text = head[len(_BOM):] if head.startswith(_BOM) else head
    text = text.lstrip()
    if text.startswith(b"<"):
        return "export"
    line, _, rest = text.partition(b"\n")
    line = line.rstrip(b"\r")
    if b";" in line or _HEADER_START.match(line):
        return "level"
    if line and not rest.strip() and looks_encoded(line):
        return "encoded"
    return "records"


class LevelSource:
    """One level of an input: its `index` in the file (from 1), its `name`
    (None when the file gives none), the file's `form`, and `pieces`, an
    iterator of the pieces of its level string."""

    __slots__ = ("index", "name", "form", "pieces")

    def __init__(self, index, name, form, pieces):
        self.index = index
        self.name = name
        self.form = form
        self.pieces = pieces

    @contextmanager
    def naming(self):
        """Within this, a LevelError names this level: its index and its name."""
        try:
            yield
        except LevelError as exc:
            raise exc.locate(level=self.index, level_name=self.name)


class _Replay(io.RawIOBase):
    """A binary stream whose first bytes were read ahead: they come first,
    then the rest of the stream. `on_read(count)` hears of every read."""

    def __init__(self, head, stream, on_read):
        super().__init__()
        self._head = head
        self._stream = stream
        self._on_read = on_read
        self.count = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._head:
            count = min(len(buffer), len(self._head))
            buffer[:count] = self._head[:count]
            self._head = self._head[count:]
        else:
            data = self._stream.read(len(buffer))
            count = len(data)
            buffer[:count] = data
        self.count += count
        if self._on_read is not None:
            self._on_read(count)
        return count


def _read_ahead(stream, size):
    pieces = []
    while size > 0:
        piece = stream.read(size)
        if not piece:
            break
        pieces.append(piece)
        size -= len(piece)
    return b"".join(pieces)


class Input:
    """A file, standard input ("-") or binary file object, read once.

    `name` names it in messages; `size` is its size in bytes when known (a
    regular file), else None. `on_read(count)` is called with the number of
    bytes of every read, for progress reports. Use as a context manager, or
    call `close`; a file object passed in is not closed."""

    def __init__(self, source, on_read=None):
        self.size = None
        self._owned = None
        if isinstance(source, (str, os.PathLike)) and os.fspath(source) == "-":
            self.name = "<stdin>"
            raw = getattr(sys.stdin, "buffer", sys.stdin)
        elif isinstance(source, (str, bytes, os.PathLike)):
            self.name = os.fsdecode(source)
            raw = self._owned = open(source, "rb")
            self.size = os.fstat(raw.fileno()).st_size
        else:
            self.name = getattr(source, "name", "<stream>")
            raw = source
        self.head = _read_ahead(raw, HEAD_SIZE)
        self._replay = _Replay(self.head, raw, on_read)
        self.stream = io.BufferedReader(self._replay, READ_SIZE)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        if self._owned is not None:
            self._owned.close()

    @property
    def bytes_read(self):
        """How many bytes of the input have been read so far."""
        return self._replay.count

    def form(self):
        """The form of this input, told from its first bytes."""
        return detect_form(self.head)

    def chunks(self):
        """The bytes of the input, a piece at a time."""
        return iter(lambda: self.stream.read(READ_SIZE), b"")

    def lines(self):
        """The lines of a record file as (number, text, None) from 1, or
        (number, None, error) for a line that is not UTF-8.

        Lines end at "\\n" only; only the line ending ("\\n" or "\\r\\n") is
        taken off."""
        for number, line in enumerate(self.stream, 1):
            if line.endswith(b"\r\n"):
                line = line[:-2]
            elif line.endswith(b"\n"):
                line = line[:-1]
            try:
                yield number, line.decode("utf-8"), None
            except UnicodeDecodeError as exc:
                yield number, None, exc

    def _text(self):
        """The input as text pieces, without a leading byte order mark and
        whitespace."""
        decoder = codecs.getincrementaldecoder("utf-8")()
        started = False
        try:
            for chunk in self.chunks():
                piece = decoder.decode(chunk)
                if not started:
                    piece = piece.lstrip(_LEADING)
                    started = bool(piece)
                if piece:
                    yield piece
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            raise LevelError("the level string is not UTF-8 text") from None

    def levels(self, form=None, max_size=MAX_SIZE):
        """The levels of this input, one LevelSource each.

        `form` is one of FORMS other than "records" (default: told from the
        content). Encoded data decoding to more than `max_size` bytes are
        refused (LevelError), as are record files."""
        form = form or self.form()
        if form == "level":
            yield LevelSource(1, None, form, self._text())
        elif form == "encoded":
            yield LevelSource(1, None, form, iter_decode(self.chunks(), max_size))
        elif form == "export":
            for index, level in enumerate(iter_export(self.stream), 1):
                yield LevelSource(index, level.name, form, _export_pieces(level.data, max_size))
        elif form == "records":
            raise LevelError("it is a record file, one record per line, not a level", path=self.name)
        else:
            raise ValueError("unknown form %r (choose from %s)" % (form, ", ".join(FORMS)))


def _export_pieces(data, max_size):
    # Export files hold encoded level data; a plain level string is taken too.
    data = data.strip()
    if ";" in data or "," in data:
        return iter((data,))
    return iter_decode((data,), max_size)


def read_file(source, form=None, max_size=MAX_SIZE):
    """Every level of a file (a path, "-" or a binary file object), read
    into Level objects; see `Input.levels`."""
    levels = []
    with Input(source) as found:
        try:
            for level in found.levels(form, max_size):
                with level.naming():
                    levels.append(read_level(level.pieces, level.name))
        except LevelError as exc:
            raise exc.locate(path=found.name)
    return levels
