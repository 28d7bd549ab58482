"""Levels as the game's server sends them: "key:value" pairs joined by ":".

    1:128:2:My level:3:QSBsZXZlbA==:4:H4sIAAAAAAAA...:5:3:6:4242:...#1a2b3c#9f8e7d

Key 1 is the level's id, 2 its name, 3 its description (base64), 4 its
encoded level data (gzip "H4sI..." or zlib "eJ..."); "#" starts the hashes
that follow the pairs. Server data hold one level; without key 4 it is a
level with no objects.
"""
import re
from typing import Iterable, Optional, Union

from velk.level.data import MAX_SIZE, TooLarge, size_text
from velk.level.errors import LevelError
from velk.level.export import ExportLevel

__all__ = ["ID_KEY", "NAME_KEY", "DATA_KEY", "looks_like_server", "read_server"]

ID_KEY = "1"
NAME_KEY = "2"
DATA_KEY = "4"

# Two pairs with number keys, the first value without a line break.
_START = re.compile(rb"[0-9]+:[^:\r\n]*:[0-9]+:")
_NUMBER = re.compile(r"-?[0-9]+")


def looks_like_server(head: bytes) -> bool:
    """Whether a file's first bytes `head` (without a byte order mark or
    leading whitespace) start like server data."""
    return _START.match(head) is not None


def read_server(chunks: Iterable[bytes], max_size: int = MAX_SIZE) -> ExportLevel:
    """The level of server data given as pieces of bytes, as an ExportLevel
    (its `properties` stay empty: these are no dictionary's entries).

    Raises LevelError for more than `max_size` bytes, text that is not
    UTF-8, and pairs that do not pair up."""
    pieces, size = [], 0
    for chunk in chunks:
        size += len(chunk)
        if size > max_size:
            raise TooLarge("server data of more than %s, the limit" % size_text(max_size),
                           max_size)
        pieces.append(chunk)
    try:
        text = b"".join(pieces).decode("utf-8")
    except UnicodeDecodeError:
        raise LevelError("server data are not UTF-8 text") from None
    fields = text.lstrip("\ufeff").strip().partition("#")[0].split(":")
    if len(fields) % 2:
        raise LevelError("server data end with the key %r, without its value" % fields[-1][:40])
    keys = fields[::2]
    for key in keys:
        if not key.isdigit() or not key.isascii():
            raise LevelError("server data hold the key %r, not a number" % key[:40])
    pairs = dict(zip(keys, fields[1::2]))
    text_id = pairs.get(ID_KEY)
    level_id: Optional[Union[int, str]] = text_id
    if text_id is not None and _NUMBER.fullmatch(text_id):
        level_id = int(text_id)
    return ExportLevel(pairs.get(NAME_KEY), pairs.get(DATA_KEY) or None, level_id)
