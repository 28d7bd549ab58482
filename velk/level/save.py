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

Writing changes the decoded XML only where levels are added or replaced:
`Layout` finds where each level's entry lies in the XML, and
`with_created_levels` and `with_level_replaced` splice new entries in
between the bytes of the others, so that every entry velk does not change
(the other levels, the player's settings, the spelling of every value)
comes back byte for byte. Adding levels renumbers the created levels' keys
"k_0", "k_1", ... behind them; their contents stay as they were.
"""
import base64
import binascii
import re
import zlib
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, cast

from velk.level.data import MAX_SIZE, compression_of, iter_unpack, looks_encoded
from velk.level.errors import LevelError
from velk.level.export import ExportLevel, level_of
from velk.level.plist import PlistDict, Reader

__all__ = ["KEY", "CREATED", "DOWNLOADED", "CONTAINERS", "xor", "iter_xml", "decode", "encode",
           "compression", "looks_like_save", "iter_save", "Place", "Container", "Layout",
           "with_created_levels", "with_level_replaced"]

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


def xor(data: bytes) -> str:
    """The text of `data` (bytes of ASCII) with every byte XORed with KEY."""
    # Imported here: the rest of the codec works without the built core.
    from velk._velkc import byte_xor

    text = byte_xor(data, KEY)
    if len(text) != len(data):
        # byte_xor drops what is not UTF-8, and stops at a NUL.
        raise LevelError("%s is not base64: bytes that XOR to no text" % _WHAT)
    return text


def _texts(chunks: Iterable[bytes]) -> Iterator[str]:
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


def iter_xml(chunks: Iterable[bytes], max_size: int = MAX_SIZE) -> Iterator[bytes]:
    """The XML bytes of a save given as pieces of bytes, in pieces. Raises
    LevelError for data that are not a save or decode to more than
    `max_size` bytes at any step."""
    pieces: Iterator[bytes] = iter_unpack(_texts(chunks), max_size, _WHAT)
    return pieces


def decode(data: bytes, max_size: int = MAX_SIZE) -> bytes:
    """The XML bytes of the save file bytes `data`; see `iter_xml`."""
    return b"".join(iter_xml((data,), max_size))


def encode(xml: bytes, compression: str = "gzip") -> bytes:
    """The bytes of a save file holding the XML bytes `xml`, as the game
    writes them: gzip (or "zlib"), URL-safe base64, XOR."""
    wbits = {"gzip": 31, "zlib": 15}.get(compression)
    if wbits is None:
        raise ValueError("unknown compression %r (choose from gzip, zlib)" % compression)
    compressor = zlib.compressobj(wbits=wbits)
    compressed = compressor.compress(xml) + compressor.flush()
    return xor(base64.urlsafe_b64encode(compressed)).encode("ascii")


def compression(data: bytes) -> str:
    """The compression of the save file bytes `data`, "gzip" or "zlib", so
    that a save is written back as it came; a save of neither is written
    with gzip, as the game writes it."""
    start = data[len(_BOM):] if data.startswith(_BOM) else data
    try:
        head = binascii.a2b_base64(xor(start[:8]).replace("-", "+").replace("_", "/"))
    except (binascii.Error, LevelError):
        return "gzip"
    return "zlib" if compression_of(head) == "zlib" else "gzip"


def looks_like_save(head: bytes) -> bool:
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
    return bool(looks_encoded(xor(probe[:len(probe) - len(probe) % 4]).encode("ascii")))


def _is_level(path: Tuple[str, ...], _entries: PlistDict) -> bool:
    return len(path) == 2 and path[0] in CONTAINERS


def _in_level(path: Tuple[str, ...]) -> bool:
    return len(path) >= 2 and path[0] in CONTAINERS


def iter_save(chunks: Iterable[bytes], max_size: int = MAX_SIZE) -> Iterator[ExportLevel]:
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


# Writing ---------------------------------------------------------------------------

# The keys of created levels: "k_0" is the newest.
_LIST_KEY = re.compile(r"k_([0-9]+)")
# A key element, whose text may hold comments, processing instructions and
# CDATA sections (no other element: the reader refuses them).
_KEY_ELEMENT = re.compile(rb"<(k|key)(?:\s[^>]*)?>(?:[^<]+|<!--.*?-->|<!\[CDATA\[.*?\]\]>"
                          rb"|<\?.*?\?>)*</\1\s*>", re.S)


class Place:
    """Where one entry of a container of levels lies in the XML: its `key`,
    its `span` (from its key's "<" to the end of its value), where its
    value starts, and whether it is a level (a dictionary)."""

    __slots__ = ("key", "span", "value_start", "is_level")

    def __init__(self, key: str, span: Tuple[int, int], value_start: int,
                 is_level: bool) -> None:
        self.key = key
        self.span = span
        self.value_start = value_start
        self.is_level = is_level


class Container:
    """A dictionary of a save that holds levels: its `key` (CREATED or
    DOWNLOADED), the `span` of its element, the `content` span between its
    start and end tags (None for an empty element, "<d />"), and the
    `places` of its entries in order."""

    __slots__ = ("key", "span", "content", "places")

    def __init__(self, key: str, span: Tuple[int, int], content: Optional[Tuple[int, int]],
                 places: List[Place]) -> None:
        self.key = key
        self.span = span
        self.content = content
        self.places = places

    @property
    def levels(self) -> List[Place]:
        return [place for place in self.places if place.is_level]


class Layout:
    """Where the levels of a decoded save lie in its XML bytes `xml`.

    `containers` maps CREATED and DOWNLOADED, where the save has them, to
    their Container, in the document's order; `levels` are the places of
    every level in the order `iter_save` reads them, so `levels[N - 1]` is
    level N of the file. Only the containers' own entries are read, never
    what lies outside them (the player's settings) nor inside the levels.
    Raises LevelError for XML that is not a save's, or a container that
    repeats a key (its entries would have no one place)."""

    def __init__(self, xml: bytes, max_size: int = MAX_SIZE) -> None:
        self.xml = xml
        self.containers: Dict[str, Container] = {}
        counted: Dict[str, int] = {}

        def select(path: Tuple[str, ...], _node: PlistDict) -> bool:
            if len(path) == 2 and path[0] in CONTAINERS:
                counted[path[0]] = counted.get(path[0], 0) + 1
            return len(path) == 1 and path[0] in CONTAINERS

        def keeps(path: Tuple[str, ...]) -> bool:
            return len(path) == 1 and path[0] in CONTAINERS

        reader = Reader(select, keeps, max_size, "save file")
        for path, node in reader.selected((xml,)):
            key = path[0]
            if key in self.containers:
                raise LevelError("the save file holds %s twice" % key)
            self.containers[key] = self._container(key, node)
        for key, container in self.containers.items():
            if len(container.levels) != counted.get(key, 0):
                raise LevelError("the save file repeats a key among the levels under %s" % key)
        self.levels = [place for container in self.containers.values()
                       for place in container.levels]

    def _container(self, key: str, node: PlistDict) -> Container:
        xml = self.xml
        start, end = cast(Tuple[int, int], node.span)
        opened = xml.index(b">", start) + 1
        content = None if xml[opened - 2:opened] == b"/>" else (opened, xml.rindex(b"<", start, end))
        places = []
        last = opened
        for entry, (entry_start, entry_end) in node.spans.items():
            if entry_start < last:
                raise LevelError("the save file repeats the key %r under %s" % (entry[:40], key))
            last = entry_end
            element = _KEY_ELEMENT.match(xml, entry_start)
            if element is None or element.end() > entry_end:
                raise LevelError("not a save velk can write: the key %r under %s is spelt in a "
                                 "way velk does not follow" % (entry[:40], key))
            places.append(Place(entry, (entry_start, entry_end), element.end(),
                                isinstance(node[entry], dict)))
        return Container(key, (start, end), content, places)

    @property
    def created(self) -> Optional[Container]:
        """The container of the player's created levels, if the save has one."""
        return self.containers.get(CREATED)

    def value(self, place: Place) -> bytes:
        """The XML of the value of the entry at `place` (for a level, its
        dictionary element)."""
        return self.xml[place.value_start:place.span[1]]

    def skeleton(self) -> List[bytes]:
        """What every change of levels leaves as it is: the XML outside the
        containers' elements and, for each container, its entries other
        than levels with what lies between them, as a list of bytes. (The
        tags of an empty container, "<d />", are not part of it: a level
        added to it is written inside "<d>" and "</d>".)"""
        xml = self.xml
        pieces = []
        cursor = 0
        for container in self.containers.values():
            pieces.append(xml[cursor:container.span[0]])
            cursor = container.span[1]
            if container.content is None:
                pieces.append(b"")
                continue
            kept = []
            inside = container.content[0]
            for place in container.levels:
                kept.append(xml[inside:place.span[0]])
                inside = place.span[1]
            kept.append(xml[inside:container.content[1]])
            pieces.append(b"".join(kept))
        pieces.append(xml[cursor:])
        return pieces


def _created_of(layout: Layout) -> Container:
    container = layout.created
    if container is None:
        raise LevelError("the save file holds no list of created levels (no %s)" % CREATED)
    return container


def with_created_levels(layout: Layout, values: Sequence[bytes]) -> bytes:
    """The XML of the save of `layout` with new created levels ahead of the
    others, newest first as the game lists them: `values` are their
    dictionary elements ("<d>...</d>"), the first to be "k_0". The levels
    already there are renumbered behind them, their contents unchanged;
    every other byte stays as it was."""
    container = _created_of(layout)
    xml = layout.xml
    added = b"".join(b"<k>k_%d</k>%s" % (number, value) for number, value in enumerate(values))
    if container.content is None:
        start, end = container.span
        return xml[:start] + b"<d>" + added + b"</d>" + xml[end:]
    content_start, content_end = container.content
    pieces = []
    cursor = content_start
    for place in container.places:
        pieces.append(xml[cursor:place.span[0]])
        if added and place.is_level:
            pieces.append(added)
            added = b""
        number = _LIST_KEY.fullmatch(place.key) if place.is_level else None
        if number is None:
            pieces.append(xml[place.span[0]:place.span[1]])
        else:
            pieces.append(b"<k>k_%d</k>" % (int(number.group(1)) + len(values)))
            pieces.append(layout.value(place))
        cursor = place.span[1]
    pieces.append(added)
    pieces.append(xml[cursor:content_end])
    return xml[:content_start] + b"".join(pieces) + xml[content_end:]


def with_level_replaced(layout: Layout, index: int, value: bytes) -> bytes:
    """The XML of the save of `layout` with the dictionary of level `index`
    (from 1, in the file's order) replaced by the element `value`; its key
    and every other byte stay as they were."""
    if not 1 <= index <= len(layout.levels):
        raise IndexError("the save holds %d levels, none numbered %d" % (len(layout.levels), index))
    place = layout.levels[index - 1]
    return layout.xml[:place.value_start] + value + layout.xml[place.span[1]:]
