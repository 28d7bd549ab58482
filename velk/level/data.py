"""Encoded level data: a level string, compressed, then in URL-safe base64.

This is how save and export files hold levels. The compression is gzip
(encoded gzip data starts "H4sI"), sometimes plain zlib or raw deflate; the
data's first bytes tell which. The base64 text uses "-" and "_" ("+" and "/"
are read too), and its "=" padding is often missing.

Decoding is bounded: level data are passed around between players, and a
megabyte of compressed data can expand to a gigabyte. The compressed bytes
are held (at most `max_size` of them) and decompressed once through before
any of what they decode to is handed out: data that decode to more than
`max_size` bytes are refused in the time it takes to decompress that much,
and at once when their gzip trailer already gives a larger size, never
after the records before the limit were read. The decompressor is never
asked for more than a megabyte at a time. `iter_decode` keeps what that
pass decompressed (at most `max_size` bytes) and yields the level string in
pieces, letting each go as it is taken; `iter_unpack` can instead count
only and decompress again as the pieces are taken, for data whose reader
holds far less than they decode to (a save file's property list).

Data larger than a reader's limit raise `TooLarge`, a LevelError that
knows the limit, so that a command can say how to raise it.
"""
import binascii
import codecs
import re
import zlib
from typing import Iterable, Iterator, Union

from velk.level.errors import LevelError

__all__ = ["MAX_SIZE", "COMPRESSIONS", "TooLarge", "too_large", "compression_of",
           "looks_encoded", "iter_unpack", "iter_decode", "decode", "encode", "size_text"]

Chunk = Union[str, bytes, bytearray, memoryview]

MAX_SIZE = 256 << 20

# zlib's window bits for each compression: gzip and zlib carry a header.
_WBITS = {"gzip": 31, "zlib": 15, "deflate": -15}
COMPRESSIONS = tuple(_WBITS)

# The decompressor copies the input it has not used yet at every call, so
# input is fed in small slices; output is taken in bounded pieces.
_INPUT_SLICE = 1 << 16
_OUTPUT_PIECE = 1 << 20

_TO_STANDARD = bytes.maketrans(b"-_", b"+/")
_TO_URLSAFE = bytes.maketrans(b"+/", b"-_")
_WHITESPACE = b" \t\r\n"
_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


class TooLarge(LevelError):
    """Data larger than the limit their reader was given; `limit` is that
    limit in bytes."""

    def __init__(self, reason: str, limit: int) -> None:
        super().__init__(reason)
        self.limit = limit


def too_large(what: str, limit: int) -> TooLarge:
    """The TooLarge error of `what` ("the level string", "line 3") that
    holds more than `limit` bytes."""
    return TooLarge("%s is larger than %s, the limit" % (what, size_text(limit)), limit)


def _as_bytes(chunk: Chunk, what: str) -> bytes:
    if isinstance(chunk, str):
        try:
            return chunk.encode("ascii")
        except UnicodeEncodeError as exc:
            raise LevelError("%s is not base64: it holds %r"
                             % (what, exc.object[exc.start:exc.end])) from None
    return bytes(chunk)


def _unbase64(chunks: Iterable[Chunk], max_size: int, what: str) -> Iterator[bytes]:
    """The bytes of base64 text given in pieces of any length; whitespace is
    skipped and padding is optional, but may only end the text. More than
    `max_size` bytes are refused."""
    pending = b""
    padded = False
    size = 0
    for chunk in chunks:
        chunk = _as_bytes(chunk, what).translate(_TO_STANDARD, _WHITESPACE)
        if padded or b"=" in chunk:
            chunk, _, padding = chunk.partition(b"=")
            if padded and chunk or padding.strip(b"="):
                raise LevelError("%s is not base64: text after its \"=\" padding" % what)
            padded = True
        stray = chunk.translate(None, _ALPHABET)
        if stray:
            raise LevelError("%s is not base64: it holds %r" % (what, stray[:1].decode("latin-1")))
        chunk = pending + chunk
        whole = len(chunk) - len(chunk) % 4
        pending = chunk[whole:]
        size += whole // 4 * 3
        if size > max_size:
            raise _too_large(what, max_size)
        if whole:
            yield binascii.a2b_base64(chunk[:whole])
    if len(pending) == 1:
        raise LevelError("%s is truncated: its base64 text ends inside a byte" % what)
    if pending:
        yield binascii.a2b_base64(pending + b"=" * (4 - len(pending)))


def _too_large(what: str, max_size: int) -> TooLarge:
    return TooLarge("%s decode to more than %s, the limit" % (what, size_text(max_size)), max_size)


def compression_of(data: Union[bytes, bytearray]) -> str:
    """The compression whose header starts `data`: "gzip", "zlib" or "deflate"."""
    if data[:2] == b"\x1f\x8b":
        return "gzip"
    if len(data) >= 2 and data[0] & 0x0F == 8 and (data[0] << 8 | data[1]) % 31 == 0:
        return "zlib"
    return "deflate"


# How much of a text `looks_encoded` decodes, and how much it decompresses.
_PROBE_TEXT = 1024
_PROBE_OUTPUT = 64
_BASE64_TEXT = re.compile(rb"[A-Za-z0-9_+/-]+=*")
_PRINTABLE = re.compile(rb"[\x20-\x7e]+")


def looks_encoded(text: bytes) -> bool:
    """Whether the bytes `text` (a file's first line, or its start) look like
    encoded level data: base64 of gzip data, or of zlib or deflate data that
    decompress to printable text."""
    if not _BASE64_TEXT.fullmatch(text):
        return False
    probe = text.rstrip(b"=")[:_PROBE_TEXT]
    probe = probe[:len(probe) - len(probe) % 4].translate(_TO_STANDARD)
    data = binascii.a2b_base64(probe)
    compression = compression_of(data)
    if compression == "gzip":
        return True
    try:
        start = zlib.decompressobj(_WBITS[compression]).decompress(data, _PROBE_OUTPUT)
    except zlib.error:
        return False
    return bool(_PRINTABLE.fullmatch(start))


def _trailing(what: str) -> LevelError:
    return LevelError("%s is corrupt: data follow the end of the compressed data" % what)


def _inflate(pieces: Iterable[Union[bytes, bytearray]], max_size: int, what: str
             ) -> Iterator[bytes]:
    decompressor = None
    size = 0
    for piece in pieces:
        if decompressor is None:
            if not piece:
                continue
            decompressor = zlib.decompressobj(_WBITS[compression_of(piece)])
        for start in range(0, len(piece), _INPUT_SLICE):
            data = piece[start:start + _INPUT_SLICE]
            while True:
                if decompressor.eof:
                    if data:
                        raise _trailing(what)
                    break
                try:
                    out = decompressor.decompress(data, _OUTPUT_PIECE)
                except zlib.error as exc:
                    raise LevelError("%s is corrupt: %s" % (what, exc)) from None
                size += len(out)
                if size > max_size:
                    raise _too_large(what, max_size)
                if out:
                    yield out
                data = decompressor.unconsumed_tail
                # A full piece may leave output behind even with no input left.
                if not data and len(out) < _OUTPUT_PIECE:
                    break
    if decompressor is None:
        raise LevelError("no %s: the encoded text is empty" % what)
    if not decompressor.eof:
        raise LevelError("%s is truncated: the compressed data end early" % what)
    if decompressor.unused_data:
        raise _trailing(what)


# gzip data end with the decoded size modulo 2**32 in four bytes, after a
# header of ten bytes and a checksum of four. Deflate writes at most 1032
# bytes for each byte it holds.
_GZIP_SMALLEST = 18
_MOST_INFLATION = 1032


def _refuse_claimed_too_large(data: bytearray, max_size: int, what: str) -> None:
    """Raise TooLarge at once when the gzip trailer of the compressed `data`
    gives a size larger than `max_size` that the data can hold: the true
    size is at least as large, being that size modulo 2**32. A size they
    cannot hold is no trailer, but the bytes where data that were cut short
    end."""
    if compression_of(data) == "gzip" and len(data) >= _GZIP_SMALLEST:
        claimed = int.from_bytes(data[-4:], "little")
        if max_size < claimed <= _MOST_INFLATION * len(data):
            raise _too_large(what, max_size)


def iter_unpack(chunks: Iterable[Chunk], max_size: int = MAX_SIZE, what: str = "level data",
                hold: bool = False) -> Iterator[bytes]:
    """The bytes that base64 text of compressed data (given in str or bytes
    pieces cut anywhere) decompress to, in pieces. Both the compressed bytes
    and the decompressed ones are bounded by `max_size` (TooLarge), and
    both are known before the first piece is yielded: the compressed bytes
    are held and decompressed through first. With `hold`, what that first
    pass decompresses is kept and handed out, each piece let go as it is
    taken, so the data are decompressed once; without it, the first pass
    only counts, and the data are decompressed again as they are taken,
    holding one piece at a time. Errors name the data as `what`."""
    data = bytearray()
    for piece in _unbase64(chunks, max_size, what):
        data += piece
    _refuse_claimed_too_large(data, max_size, what)
    if not hold:
        for _piece in _inflate((data,), max_size, what):
            pass
        yield from _inflate((data,), max_size, what)
        return
    pieces = list(_inflate((data,), max_size, what))
    del data
    pieces.reverse()
    while pieces:
        yield pieces.pop()


def iter_decode(chunks: Iterable[Chunk], max_size: int = MAX_SIZE) -> Iterator[str]:
    """The level string of encoded level data, in pieces of text.

    `chunks` is an iterable of str or bytes pieces of the encoded text, cut
    anywhere. Raises LevelError for text that is not base64, data that are
    corrupt, truncated or not UTF-8, and TooLarge for compressed data, or
    data that decode to, more than `max_size` bytes; all of these before
    the first piece is yielded, except text that is not UTF-8."""
    text = codecs.getincrementaldecoder("utf-8")()
    try:
        # A level string is read as it comes, record by record, and its
        # records take many times its size: holding it whole costs little
        # beside them, and spares decompressing it twice.
        for raw in iter_unpack(chunks, max_size, hold=True):
            piece = text.decode(raw)
            if piece:
                yield piece
        text.decode(b"", final=True)
    except UnicodeDecodeError:
        raise LevelError("level data is not UTF-8 text") from None


def decode(data: Chunk, max_size: int = MAX_SIZE) -> str:
    """The level string of encoded level data (str or bytes); see `iter_decode`."""
    return "".join(iter_decode((data,), max_size))


def encode(text: str, compression: str = "gzip") -> str:
    """Encoded level data of the level string `text`: compressed with
    `compression` (one of COMPRESSIONS), in padded URL-safe base64."""
    try:
        wbits = _WBITS[compression]
    except KeyError:
        raise ValueError("unknown compression %r (choose from %s)"
                         % (compression, ", ".join(COMPRESSIONS))) from None
    compressor = zlib.compressobj(wbits=wbits)
    data = compressor.compress(text.encode("utf-8")) + compressor.flush()
    return binascii.b2a_base64(data, newline=False).translate(_TO_URLSAFE).decode("ascii")


def size_text(size: int) -> str:
    """A byte count as people write it: "256 MiB", or "4003 bytes" when no
    unit holds it whole."""
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale and size % scale == 0:
            return "%d %s" % (size // scale, unit)
    return "%d bytes" % size
