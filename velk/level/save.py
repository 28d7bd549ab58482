"""The game's save files: a property list, compressed, in base64, XORed.

From the bytes inward: every byte is XORed with 11; that gives URL-safe
base64 text (its padding may be missing), which may be followed by bytes
"\\x0b" or NUL (NUL XOR 11 is "\\x0b"); the base64 decodes to gzip data (zlib
is read too), which decompress to an XML property list (``velk.level.plist``).

Two saves hold levels. The save of a player's created levels lists them
under "LLM_01", as "k_0", "k_1", ... (newest first, beside "_isArr"); the
save of the game's state keeps the levels the player downloaded under
"GLM_03", keyed by level id. Each level is a dictionary as in an export
file: "k2" its name, "k4" its encoded level data (absent for a level never
saved with objects), "k1" its id, "k5" its creator, and many more entries.
The game's state also holds the player's settings and identifiers: velk
reads past them and keeps nothing of them, so nothing of them is shown.

A save of a few megabytes decodes to tens of megabytes, so it is decoded
as a stream, and the size limit bounds every step: the bytes the base64
decodes to, the XML they decompress to, and (as ever) each level's data.

`decode` and `encode` are the codec both ways (the game's XML as bytes);
`iter_save` yields the levels of a save as ExportLevel objects.
"""
import base64
import re
import zlib

from velk.level.data import MAX_SIZE, iter_unpack, looks_encoded
from velk.level.errors import LevelError
from velk.level.export import level_of
from velk.level.plist import Reader

__all__ = ["KEY", "CREATED", "DOWNLOADED", "CONTAINERS", "xor", "iter_xml", "decode", "encode",
           "looks_like_save", "iter_save"]

KEY = 11
# Where the levels are: the player's own, and the ones downloaded.
CREATED = "LLM_01"
DOWNLOADED = "GLM_03"
CONTAINERS = (CREATED, DOWNLOADED)

_BOM = b"\xef\xbb\xbf"
# After the text: bytes NUL, or "\x0b" (NUL once XORed).
_END = re.compile(b"[\x00\x0b]")
_PAD = b"\x00\x0b"
_BASE64 = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_+/="
_XORED_BASE64 = bytes(byte ^ KEY for byte in _BASE64)
# The start of a save: "H4sI" (gzip) or "eJ" (zlib) XORed.
_XORED_STARTS = (bytes(byte ^ KEY for byte in b"H4sI"), bytes(byte ^ KEY for byte in b"eJ"))
_PROBE = 1024
_WHAT = "save data"


def xor(data):
    """The text of `data` (bytes of ASCII) with every byte XORed with KEY."""
    # The native module installs the XOR on the coder when it is imported.
    from velk import _velkc  # noqa: F401
    from velk.utils.crypto.coders import Coder

    text = Coder.byte_xor(data, KEY)
    if len(text) != len(data):
        # byte_xor drops what is not UTF-8, and stops at a NUL.
        raise LevelError("%s is not base64: bytes that XOR to no text" % _WHAT)
    return text


def _texts(chunks):
    """The base64 text of a save's bytes, in pieces: the bytes XORed back,
    without a leading byte order mark or the NUL or "\\x0b" bytes after."""
    started = ended = False
    for chunk in chunks:
        if not started:
            chunk = chunk[len(_BOM):] if chunk.startswith(_BOM) else chunk
            started = bool(chunk)
        if ended:
            if chunk.strip(_PAD):
                raise LevelError("%s is corrupt: bytes follow the padding at its end" % _WHAT)
            continue
        end = _END.search(chunk)
        if end is not None:
            if chunk[end.start():].strip(_PAD):
                raise LevelError("%s is corrupt: bytes follow the padding at its end" % _WHAT)
            chunk, ended = chunk[:end.start()], True
        if chunk:
            yield xor(chunk)


def iter_xml(chunks, max_size=MAX_SIZE):
    """The XML bytes of a save given as pieces of bytes, in pieces. Raises
    LevelError for data that are not a save or decode to more than
    `max_size` bytes at any step."""
    return iter_unpack(_texts(chunks), max_size, _WHAT)


def decode(data, max_size=MAX_SIZE):
    """The XML bytes of the save file bytes `data`; see `iter_xml`."""
    return b"".join(iter_xml((data,), max_size))


def encode(xml, compression="gzip"):
    """The bytes of a save file holding the XML bytes `xml`, as the game
    writes them: gzip (or "zlib"), URL-safe base64, XOR."""
    wbits = {"gzip": 31, "zlib": 15}.get(compression)
    if wbits is None:
        raise ValueError("unknown compression %r (choose from gzip, zlib)" % compression)
    compressor = zlib.compressobj(wbits=wbits)
    compressed = compressor.compress(xml) + compressor.flush()
    return xor(base64.urlsafe_b64encode(compressed)).encode("ascii")


def looks_like_save(head):
    """Whether a file's first bytes `head` (without a byte order mark) are
    those of a save: XORed base64 of gzip or zlib data, then nothing but
    padding bytes."""
    if not head.startswith(_XORED_STARTS):
        return False
    end = _END.search(head)
    body, padding = (head, b"") if end is None else (head[:end.start()], head[end.start():])
    if padding.strip(_PAD) or body.translate(None, _XORED_BASE64):
        return False
    probe = body[:_PROBE]
    return looks_encoded(xor(probe[:len(probe) - len(probe) % 4]).encode("ascii"))


def _is_level(path, _entries):
    return len(path) == 2 and path[0] in CONTAINERS


def _in_level(path):
    return len(path) >= 2 and path[0] in CONTAINERS


def iter_save(chunks, max_size=MAX_SIZE):
    """The levels of a save, given as pieces of bytes, as ExportLevel
    objects in the file's order. A level without level data has `data`
    None. Raises LevelError for a file that is not a save, or holds no
    levels."""
    reader = Reader(_is_level, _in_level, max_size, "save file")
    found = False
    for _path, entries in reader.selected(iter_xml(chunks, max_size)):
        found = True
        yield level_of(entries)
    if not found:
        raise LevelError("the save file holds no levels (none under %s)" % " or ".join(CONTAINERS))
