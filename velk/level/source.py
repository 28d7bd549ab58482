"""Where levels come from: files in six forms, told apart by their content.

- "records": a record file, one object or colour record per line (no level);
- "level": a level string (``velk.level.text``);
- "encoded": encoded level data (``velk.level.data``);
- "export": a level export file (``velk.level.export``);
- "save": a save file of the game, of created or of downloaded levels
  (``velk.level.save``);
- "server": a level as the game's server sends it (``velk.level.server``).

`detect_form` tells them apart by a file's first bytes, and refuses a file
that is none of them (binary data, UTF-16 text, an empty file) rather than
guess. An `Input` reads a file or standard input once, in binary, with
those bytes read ahead; its `levels` yield each level it holds as a
`LevelSource`, whose level string comes in pieces as the file is read and
decoded. `read_file` reads every level of a file into `Level` objects.

What an Input holds is bounded by the `max_size` its reader gives, in
every form: a level string, a line of a record file and encoded data
larger than that are refused with `velk.level.data.TooLarge` as soon as
they pass it, and before anything is read when the file's size shows it.
"""
import binascii
import codecs
import hashlib
import io
from contextlib import contextmanager
from itertools import count
import os
import re
import stat
import sys
from typing import (IO, Any, BinaryIO, Callable, Iterable, Iterator, List, Optional, Tuple,
                    Union, cast)

from velk.level.collector import paused
from velk.level.data import MAX_SIZE, compression_of, iter_decode, looks_encoded, too_large
from velk.level.errors import LevelError
from velk.level.export import ExportLevel, iter_export
from velk.level.level import Level, Levels, Origin, read_level
from velk.level.save import iter_save, looks_like_save
from velk.level.server import looks_like_server, read_server
from velk.level.values import Properties, PropertyValue, Source

__all__ = ["FORMS", "detect_form", "LevelSource", "Input", "read_file"]

FORMS: Tuple[str, ...] = ("records", "level", "encoded", "export", "save", "server")

# Bytes read ahead to tell the form, and bytes read at a time after that.
HEAD_SIZE = 1 << 16
READ_SIZE = 1 << 20

_BOM = b"\xef\xbb\xbf"
_UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")
_LEADING = "\ufeff \t\r\n"
_LEADING_BYTES = re.compile(rb"(?:\xef\xbb\xbf|[ \t\r\n])*")
# A level string starts with its header, whose keys are not numbers.
_HEADER_START = re.compile(rb"k[A-Za-z]+[0-9]*,")
# Control characters that text files do not hold.
_CONTROL = re.compile(rb"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")
_WHITESPACE = re.compile(rb"\s+")
# Bytes looked at to tell UTF-16 text by its zero bytes.
_UTF16_PROBE = 512


def _refused(looks: str) -> LevelError:
    return LevelError("not a form velk reads: " + looks)


def _utf16(head: bytes) -> bool:
    """Whether `head` looks like UTF-16 text: a UTF-16 byte order mark, or
    zero bytes at every other place and at no other."""
    if head.startswith(_UTF16_BOMS):
        return True
    probe = head[:_UTF16_PROBE]
    if len(probe) < 2:
        return False
    for zeros, others in ((probe[1::2], probe[0::2]), (probe[0::2], probe[1::2])):
        if not zeros.strip(b"\x00") and b"\x00" not in others:
            return True
    return False


def detect_form(head: Union[bytes, str]) -> str:
    """The form of a file whose first bytes are `head` (one of FORMS).

    After a UTF-8 byte order mark: an export file starts with "<"; a save
    file is XORed base64 of compressed data; server data start with
    "number:value:number:"; a level string holds ";" in its first line or
    starts with a header key ("kS38,"); encoded level data are base64 (on
    one line or wrapped) whose bytes start like compressed text; a record
    file is other text whose first line holds a record delimiter ("," or
    "_"). Anything else is refused with a LevelError that says what it
    looks like: empty, only whitespace, UTF-16 text, binary data. `head`
    may be given as text too: it is taken as its UTF-8 bytes."""
    if isinstance(head, str):
        head = head.encode("utf-8", "surrogatepass")
    elif not isinstance(head, (bytes, bytearray, memoryview)):
        raise TypeError("detect_form takes the first bytes of a file (bytes or str), not %s"
                        % type(head).__name__)
    head = bytes(head)
    if _utf16(head):
        raise _refused("it looks like UTF-16 text")
    text = head[len(_BOM):] if head.startswith(_BOM) else head
    if not text:
        raise _refused("it holds only a byte order mark" if head else "it is empty")
    if looks_like_save(text):
        return "save"
    text = text.lstrip()
    if not text:
        raise _refused("it holds only whitespace")
    if text.startswith(b"<"):
        return "export"
    # Binary data hold control characters within their first bytes; text
    # with a stray byte that is not UTF-8 is still text (a line that fails).
    if _CONTROL.search(text):
        raise _refused("it looks like binary data")
    if looks_like_server(text):
        return "server"
    line = text.partition(b"\n")[0].rstrip(b"\r")
    if b";" in line or _HEADER_START.match(line):
        return "level"
    if looks_encoded(_WHITESPACE.sub(b"", text)):
        return "encoded"
    if b"," in line or b"_" in line:
        return "records"
    raise _refused("it looks like text that holds no records and no level")


class LevelSource:
    """One level of an input: its `index` in the file (from 1), its `name`
    (None when the file gives none), the file's `form`, and `pieces`, an
    iterator of the pieces of its level string, or None for a level that
    the file gives no level data (a level with nothing in it).

    Where the file tells them: the level's `id`, `creator`, `properties`
    (the entries of its dictionary) and the `compression` of its encoded
    data (None for a plain level string)."""

    __slots__ = ("index", "name", "form", "pieces", "id", "creator", "properties",
                 "compression")

    def __init__(self, index: int, name: Optional[str], form: str,
                 pieces: Optional[Iterator[str]], id: Optional[PropertyValue] = None,
                 creator: Optional[PropertyValue] = None,
                 properties: Optional[Properties] = None,
                 compression: Optional[str] = None) -> None:
        self.index = index
        self.name = name
        self.form = form
        self.pieces = pieces
        self.id = id
        self.creator = creator
        self.properties: Properties = {} if properties is None else properties
        self.compression = compression

    @contextmanager
    def naming(self) -> Iterator[None]:
        """Within this, a LevelError names this level: its index and its name."""
        try:
            yield
        except LevelError as exc:
            raise exc.locate(level=self.index, level_name=self.name)

    def read(self, keep_going: bool = False) -> Level:
        """This level read into a Level, with what the file tells of it; a
        level without level data is a Level with nothing in it. With
        `keep_going`, records that cannot be read are passed over (see
        `velk.level.read_level`), and their errors name this level."""
        if self.pieces is None:
            level = Level(name=self.name)
        else:
            digest = hashlib.sha256()
            level = read_level(_hashed(self.pieces, digest), self.name, keep_going)
            level.origin = Origin(digest.digest(), self.compression)
            for failure in level.failures:
                failure.locate(level=self.index, level_name=self.name)
        level.id, level.creator, level.properties = self.id, self.creator, self.properties
        return level


def _hashed(pieces: Iterable[str], digest: "hashlib._Hash") -> Iterator[str]:
    for piece in pieces:
        digest.update(piece.encode("utf-8"))
        yield piece


OnRead = Optional[Callable[[int], Any]]


class _Replay(io.RawIOBase):
    """A binary stream whose first bytes were read ahead: they come first,
    then the rest of the stream. `on_read(count)` hears of every read."""

    def __init__(self, head: bytes, stream: BinaryIO, on_read: OnRead) -> None:
        super().__init__()
        self._head = memoryview(head)
        self._stream = stream
        self._on_read = on_read
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            size = min(len(buffer), len(self._head))
            buffer[:size] = self._head[:size]
            self._head = self._head[size:]
        else:
            data = self._stream.read(len(buffer))
            size = len(data)
            buffer[:size] = data
        self.count += size
        if self._on_read is not None:
            self._on_read(size)
        return size


def _ending(pieces: List[bytes]) -> int:
    """The length of the line ending ("\\n" or "\\r\\n") that the pieces of a
    line end with: 0, 1 or 2."""
    if not pieces or not pieces[-1].endswith(b"\n"):
        return 0
    before = pieces[-1][-2:-1] or (pieces[-2][-1:] if len(pieces) > 1 else b"")
    return 2 if before == b"\r" else 1


def _read_ahead(stream: BinaryIO, size: int) -> bytes:
    pieces = []
    while size > 0:
        piece = stream.read(size)
        if not piece:
            break
        pieces.append(piece)
        size -= len(piece)
    return b"".join(pieces)


class _Encoded(io.RawIOBase):
    """A text stream read as the UTF-8 bytes of its text: a file opened in
    text mode is read as the file it was opened from (in UTF-8)."""

    def __init__(self, text: Union[IO[str], io.TextIOBase]) -> None:
        super().__init__()
        self._text = text
        self._pending = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if not self._pending:
            piece = self._text.read(len(buffer))
            if not piece:
                return 0
            if not isinstance(piece, str):
                raise TypeError("a text stream gave %s, not str" % type(piece).__name__)
            # Lone surrogates are kept, to be refused as text that is not
            # UTF-8 where a text is read.
            self._pending = memoryview(piece.encode("utf-8", "surrogatepass"))
        size = min(len(buffer), len(self._pending))
        buffer[:size] = self._pending[:size]
        self._pending = self._pending[size:]
        return size


def _binary(stream: Any) -> BinaryIO:
    """The file object `stream` as a binary stream: itself when it reads
    bytes, its text as UTF-8 bytes when it reads text. Anything that is no
    file object open for reading raises TypeError."""
    if not callable(getattr(stream, "read", None)):
        raise TypeError('a file is given as a path, "-" for standard input, or a file object '
                        "open for reading, not %s" % type(stream).__name__)
    if isinstance(stream, io.TextIOBase):
        return cast(BinaryIO, _Encoded(stream))
    if isinstance(stream, (io.RawIOBase, io.BufferedIOBase)):
        return cast(BinaryIO, stream)
    # Another kind of file object tells which it reads by what it gives.
    if isinstance(stream.read(0), str):
        return cast(BinaryIO, _Encoded(stream))
    return cast(BinaryIO, stream)


class Input:
    """A file, standard input ("-") or file object, read once.

    A file object may read bytes or text: text is read as its UTF-8 bytes.
    `name` names it in messages; `size` is its size in bytes when known (a
    regular file), else None. `on_read(count)` is called with the number of
    bytes of every read, for progress reports. Use as a context manager, or
    call `close`; a file object passed in is not closed. Anything else
    raises TypeError.

    The first bytes are read ahead when it is made, so making one can wait
    on standard input (and be interrupted there)."""

    def __init__(self, source: Source, on_read: OnRead = None) -> None:
        self.size: Optional[int] = None
        self._owned: Optional[BinaryIO] = None
        raw: BinaryIO
        if isinstance(source, (str, os.PathLike)) and os.fspath(source) == "-":
            self.name = "<stdin>"
            raw = _binary(getattr(sys.stdin, "buffer", sys.stdin))
        elif isinstance(source, (str, bytes, os.PathLike)):
            self.name = os.fsdecode(source)
            raw = self._owned = open(source, "rb")
            status = os.fstat(raw.fileno())
            # A device or a pipe tells no size (/dev/zero says 0).
            if stat.S_ISREG(status.st_mode):
                self.size = status.st_size
        else:
            raw = _binary(source)
            name = getattr(source, "name", None)
            self.name = name if isinstance(name, str) else "<stream>"
        try:
            self.head = _read_ahead(raw, HEAD_SIZE)
        except BaseException:
            self.close()
            raise
        self._replay = _Replay(self.head, raw, on_read)
        self.stream = io.BufferedReader(self._replay, READ_SIZE)

    def __enter__(self) -> "Input":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        if self._owned is not None:
            self._owned.close()

    @property
    def bytes_read(self) -> int:
        """How many bytes of the input have been read so far."""
        return self._replay.count

    def form(self) -> str:
        """The form of this input, told from its first bytes."""
        return detect_form(self.head)

    def chunks(self) -> Iterator[bytes]:
        """The bytes of the input, a piece at a time."""
        return iter(lambda: self.stream.read(READ_SIZE), b"")

    def lines(self, max_size: int = MAX_SIZE
              ) -> Iterator[Tuple[int, Optional[str], Optional[UnicodeDecodeError]]]:
        """The lines of a record file as (number, text, None) from 1, or
        (number, None, error) for a line that is not UTF-8.

        Lines end at "\\n" only; only the line ending ("\\n" or "\\r\\n") is
        taken off. A line longer than `max_size` bytes raises TooLarge
        once that many bytes of it are read."""
        readline = self.stream.readline
        # The line, and an ending of two bytes at most.
        limit = max_size + 2
        first = min(READ_SIZE, limit)
        for number in count(1):
            line = readline(first)
            if not line.endswith(b"\n"):
                if not line:
                    return
                line = self._rest_of_line(line, number, limit)
            if len(line) > max_size and len(line) - _ending([line]) > max_size:
                raise too_large("line %d" % number, max_size)
            if line.endswith(b"\r\n"):
                line = line[:-2]
            elif line.endswith(b"\n"):
                line = line[:-1]
            try:
                yield number, line.decode("utf-8"), None
            except UnicodeDecodeError as exc:
                yield number, None, exc

    def _rest_of_line(self, start: bytes, number: int, limit: int) -> bytes:
        """The line that `start` starts, read on up to its ending or `limit`
        bytes: a line longer than one read."""
        pieces = [start]
        size = len(start)
        while size < limit:
            piece = self.stream.readline(min(READ_SIZE, limit - size))
            if not piece:
                break
            pieces.append(piece)
            size += len(piece)
            if piece.endswith(b"\n"):
                break
        # Told before the pieces are joined, which would double them.
        if size - _ending(pieces) > limit - 2:
            raise too_large("line %d" % number, limit - 2)
        return b"".join(pieces)

    def _leading(self) -> int:
        """How many bytes of byte order marks and whitespace the first bytes
        start with."""
        match = _LEADING_BYTES.match(self.head)
        return 0 if match is None else match.end()

    def _text(self, max_size: int = MAX_SIZE) -> Iterator[str]:
        """The input as text pieces, without a leading byte order mark and
        whitespace; past `max_size` bytes of it, TooLarge (at once, when the
        file's size shows that)."""
        leading = self._leading()
        if self.size is not None and self.size - leading > max_size:
            raise too_large("the level string", max_size)
        decoder = codecs.getincrementaldecoder("utf-8")()
        started = False
        size = -leading
        try:
            for chunk in self.chunks():
                size += len(chunk)
                if size > max_size:
                    raise too_large("the level string", max_size)
                piece = decoder.decode(chunk)
                if not started:
                    piece = piece.lstrip(_LEADING)
                    started = bool(piece)
                if piece:
                    yield piece
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            raise LevelError("the level string is not UTF-8 text") from None

    def levels(self, form: Optional[str] = None, max_size: int = MAX_SIZE
               ) -> Iterator[LevelSource]:
        """The levels of this input, one LevelSource each.

        `form` is one of FORMS other than "records" (default: told from the
        content). Data that decode to more than `max_size` bytes at any
        step, and values of an export or save file longer than that, are
        refused (LevelError), as are record files."""
        form = form or self.form()
        if form == "level":
            yield LevelSource(1, None, form, self._text(max_size))
        elif form == "encoded":
            yield LevelSource(1, None, form, iter_decode(self.chunks(), max_size))
        elif form in ("export", "save", "server"):
            found: Iterable[ExportLevel]
            if form == "export":
                found = iter_export(self.stream, max_size)
            elif form == "save":
                found = iter_save(self.chunks(), max_size)
            else:
                found = (read_server(self.chunks(), max_size),)
            for index, level in enumerate(found, 1):
                yield _stored(index, level, form, max_size)
        elif form == "records":
            raise LevelError("it is a record file, one record per line, not a level", path=self.name)
        else:
            raise ValueError("unknown form %r (choose from %s)" % (form, ", ".join(FORMS)))


# Level data in files hold a plain level string at times: it has a record
# delimiter, which base64 has not.
_PLAIN = re.compile(r"[;,]")
_TO_STANDARD = str.maketrans("-_", "+/")


def _stored(index: int, level: ExportLevel, form: str, max_size: int) -> LevelSource:
    """The LevelSource of a level stored in a file (an ExportLevel)."""
    data = level.data
    pieces = compression = None
    if data is not None and data.strip():
        data = data.strip()
        if _PLAIN.search(data):
            pieces = iter((data,))
        else:
            pieces = iter_decode((data,), max_size)
            start = data[:8].translate(_TO_STANDARD)
            try:
                compression = compression_of(binascii.a2b_base64(start))
            except binascii.Error:
                compression = None
    elif data is not None:
        # An empty "k4" is refused as before: no level data.
        pieces = iter_decode((data,), max_size)
    return LevelSource(index, level.name, form, pieces, level.id, level.creator,
                       level.properties, compression)


def read_file(source: Source, form: Optional[str] = None, max_size: int = MAX_SIZE,
              keep_going: bool = False) -> Levels:
    """Every level of a file, read into Level objects, as a Levels list.

    `source` is a path, "-" for standard input, or a file object open for
    reading, binary or text; `form` and `max_size` as for `Input.levels`.
    Reading is all or nothing: the first level, record or file that cannot
    be read raises LevelError (or RecordError), naming the file, the level
    and the record. With `keep_going`, a record that cannot be read is
    passed over (see `read_level`), a level that cannot be read is left out,
    and a file that cannot be read to its end ends the levels; each of those
    errors is in the result's `failures`, and its levels are those that
    could be read. A file that cannot be opened raises OSError either way."""
    levels = Levels()
    with paused(), Input(source) as found:
        try:
            for level in found.levels(form, max_size):
                try:
                    with level.naming():
                        read = level.read(keep_going)
                except LevelError as exc:
                    if not keep_going:
                        raise
                    levels.failures.append(_kept(exc))
                    continue
                levels.append(read)
                levels.failures.extend(read.failures)
        except LevelError as exc:
            exc.locate(path=found.name)
            if not keep_going:
                raise
            levels.failures.append(_kept(exc))
        for failure in levels.failures:
            failure.locate(path=found.name)
    return levels


def _kept(error: LevelError) -> LevelError:
    """`error` as it is kept among failures: without its traceback, whose
    frames hold what was being read."""
    return error.with_traceback(None)
