"""The game's XML property lists, read as a stream and written back.

    <?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict>
    <k>k2</k><s>My level</s><k>k13</k><t /><k>k21</k><r>1.50</r><k>k_0</k><d>...</d>
    </dict></plist>

A dictionary (``<dict>``, ``<d>``) holds keys (``<k>``, ``<key>``), each
followed by its value: text (``<s>``, ``<string>``), an integer (``<i>``,
``<integer>``), a real (``<r>``, ``<real>``), true (``<t />``, ``<true/>``)
or a nested dictionary. Export files and decoded save files are such lists.

Reading gives `PlistDict` objects: dicts of typed values (str, int, float,
True, PlistDict) in the file's order that also know, for every entry, its
byte span in the XML (from its key's "<" to the end of its value) and, where
the value was not written the way `dumps` writes it ("1.50", "&#39;"), its
raw XML, so that an unchanged value is written back byte for byte. The spans
let a caller replace some entries of a file and copy the others as they are.

The files are passed around between players, and a decoded save file is
tens of megabytes, so reading is a stream with bounded memory: `Reader`
hands out the dictionaries its caller selects as they close and keeps only
what the caller asks it to keep; the text of any one value is refused as
soon as it passes the size limit. defusedxml's parser refuses entity
declarations and outside references; the elements are taken straight from
its expat parser, whose byte positions give the spans.
"""
import math
import re
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Match, NoReturn, Optional,
                    Tuple, Union, cast)

from defusedxml import DefusedXmlException, EntitiesForbidden
from defusedxml.ElementTree import DefusedXMLParser

from velk.level.data import MAX_SIZE, TooLarge, size_text
from velk.level.errors import LevelError

__all__ = ["PlistDict", "Reader", "read", "dumps", "element", "HEAD", "TAIL"]

# How velk writes a property list: the game's own compact form.
HEAD = '<?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict>'
TAIL = "</dict></plist>"

_DICT_TAGS = frozenset(("d", "dict"))
_KEY_TAGS = frozenset(("k", "key"))
# Each scalar element, by its short and its long name: the short one is
# what velk writes.
_SCALAR_TAGS = {"s": "s", "string": "s", "i": "i", "integer": "i", "r": "r", "real": "r",
                "t": "t", "true": "t"}
_OUTER_TAGS = frozenset(("plist",))

_FEED_SIZE = 1 << 16
# Bytes of the document kept behind the parser's position when no value is
# open: enough to find the ">" of an end tag that a feed cut in two.
_KEPT_BEHIND = 256

_INTEGER = re.compile(r"-?[0-9]+")
# What the XML parser turns into other text inside an element: references,
# CDATA sections, comments, processing instructions and line ends.
_MARKUP = re.compile(rb"&(#x[0-9a-fA-F]+|#[0-9]+|lt|gt|amp|quot|apos);"
                     rb"|<!\[CDATA\[(.*?)\]\]>|<!--.*?-->|<\?.*?\?>|\r\n?", re.S)
_MARKUP_START = re.compile(rb"[&<\r]")
# What `element` writes other than as itself.
_ESCAPED = re.compile(rb"[&<>\r]")
_NAMED = {b"lt": b"<", b"gt": b">", b"amp": b"&", b"quot": b'"', b"apos": b"'"}
# Characters XML 1.0 cannot hold at all, and the one it cannot hold as itself.
_UNWRITABLE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")


Span = Tuple[int, int]
Path = Tuple[str, ...]
Bytes = Union[bytes, memoryview]


class PlistDict(Dict[str, Any]):
    """A dictionary of a property list: its entries in order, with

    - `spans`: key to the (start, end) byte span of the entry in the XML,
      from its key's "<" to the end of its value;
    - `span`: the (start, end) byte span of the dictionary element;
    - `raw`: key to (value, XML of the value element) for values not
      written as `dumps` writes them; the XML is written back as long as the
      entry's value equals (type included) the value it was read as.

    A PlistDict made in Python has no spans and no raw XML."""

    __slots__ = ("spans", "span", "raw")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.spans: Dict[str, Span] = {}
        self.span: Optional[Span] = None
        self.raw: Dict[str, Tuple[Any, str]] = {}

    def copy(self) -> "PlistDict":
        copied = PlistDict(self)
        copied.spans, copied.span, copied.raw = dict(self.spans), self.span, dict(self.raw)
        return copied

    def __reduce__(self) -> Tuple[Any, ...]:
        return _rebuild, (dict(self), self.spans, self.span, self.raw)

    def __repr__(self) -> str:
        return "PlistDict(%s)" % dict.__repr__(self)


def _rebuild(entries: Dict[str, Any], spans: Dict[str, Span], span: Optional[Span],
             raw: Dict[str, Tuple[Any, str]]) -> PlistDict:
    built = PlistDict(entries)
    built.spans, built.span, built.raw = spans, span, raw
    return built


def _refusal(what: str, exc: DefusedXmlException) -> LevelError:
    if isinstance(exc, EntitiesForbidden):
        return LevelError("%s refused: it declares the XML entity %r" % (what, exc.name))
    return LevelError("%s refused: it refers to an outside resource (%s)"
                      % (what, type(exc).__name__))


def _replace_markup(match: Match[bytes]) -> bytes:
    reference, cdata = match.group(1), match.group(2)
    if reference is not None:
        if reference.startswith(b"#x"):
            return chr(int(reference[2:], 16)).encode("utf-8")
        if reference.startswith(b"#"):
            return chr(int(reference[1:])).encode("utf-8")
        return _NAMED[reference]
    if cdata is not None:
        return cdata.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    return b"\n" if match.group(0).startswith(b"\r") else b""


def _text_of(body: Bytes) -> str:
    """The text of an element's content (bytes or a memoryview), as the XML
    parser reads it: the parser has checked that it is well-formed."""
    if _MARKUP_START.search(body):
        return _MARKUP.sub(_replace_markup, bytes(body)).decode("utf-8")
    return str(body, "utf-8")


def _as_written(kind: str, whole: Bytes, body: Bytes, value: Any) -> bool:
    """Whether the element `whole` (with content `body`) of a value is what
    `element` writes for it."""
    if kind != "s":
        return bytes(whole) == element(value).encode("utf-8")
    # Text is compared without building its element: it may be megabytes.
    return (len(whole) == len(body) + 7 and whole[:3] == b"<s>"
            and not _ESCAPED.search(body))


class _Frame:
    """A dictionary being read: its node, where it starts, its path of keys
    from the top, whether its entries are kept, and the key read last."""

    __slots__ = ("node", "start", "starts", "path", "keeps", "key", "key_start")

    def __init__(self, start: int, starts: int, path: Path, keeps: bool) -> None:
        self.node = PlistDict()
        self.start = start
        # The count of start tags read when this one was: none more by its
        # end tells an empty dictionary.
        self.starts = starts
        self.path = path
        self.keeps = keeps
        self.key: Optional[str] = None
        self.key_start: Optional[int] = None


class Reader:
    """Reads a property list fed in pieces of bytes, with bounded memory.

    `select(path, node)` is called when a dictionary closes (`path` is the
    tuple of keys that lead to it from the top dictionary, () for the top
    one); a dictionary it selects is handed out: `take()` returns the
    (path, node) pairs handed out so far, and its parent does not keep it.
    `keeps(path)` tells, when a dictionary opens, whether its entries are
    kept; a dictionary whose entries are not kept still hands out what
    `select` selects inside it. `what` names the document in errors
    ("export file"), and `max_size` bounds the XML of any one value."""

    def __init__(self, select: Callable[[Path, PlistDict], bool], keeps: Callable[[Path], bool],
                 max_size: int = MAX_SIZE, what: str = "property list") -> None:
        self._select = select
        self._keeps = keeps
        self._max_size = max_size
        self._what = what
        # The parser of defusedxml, for its refusals; the elements come
        # straight from its expat parser, whose positions give the spans.
        self._xml = DefusedXMLParser(target=_NoTarget())
        self._expat = expat = self._xml.parser
        expat.buffer_text = False
        expat.StartElementHandler = self._start
        expat.EndElementHandler = self._end
        expat.CharacterDataHandler = self._text
        self._stack: List[_Frame] = []
        self._found: List[Tuple[Path, PlistDict]] = []
        self._root: Optional[PlistDict] = None
        # The open scalar element (its tag and start) and the bytes fed
        # since `_base`, kept from the start of the open scalar on.
        self._scalar: Optional[Tuple[str, int]] = None
        self._mark: Optional[int] = None
        self._pieces: List[bytes] = []
        self._base = 0
        self._fed = 0
        self._starts = 0

    @property
    def root(self) -> Optional[PlistDict]:
        """The top dictionary once read (None before, or when not kept)."""
        return self._root

    def feed(self, data: bytes) -> None:
        self._pieces.append(data)
        self._fed += len(data)
        self._run(self._xml.feed, data)
        self._forget()

    def close(self) -> None:
        self._run(self._xml.close)

    def take(self) -> List[Tuple[Path, PlistDict]]:
        """The (path, node) pairs handed out since the last call."""
        found, self._found = self._found, []
        return found

    def selected(self, pieces: Iterable[bytes]) -> Iterator[Tuple[Path, PlistDict]]:
        """Feed `pieces` (an iterable of bytes) to the end of the document,
        yielding the (path, node) pairs handed out as they are."""
        for piece in pieces:
            # Fed a slice at a time, so that few dictionaries wait to be taken.
            for start in range(0, len(piece), _FEED_SIZE):
                self.feed(piece[start:start + _FEED_SIZE])
                yield from self.take()
        self.close()
        yield from self.take()

    def _run(self, step: Callable[..., Any], *args: Any) -> None:
        try:
            step(*args)
        except DefusedXmlException as exc:
            raise _refusal(self._what, exc) from None
        # Caught as the SyntaxError it is: defusedxml before 0.7 parses with
        # a second copy of ElementTree, whose ParseError is a class of its own.
        except SyntaxError as exc:
            raise LevelError("not a well-formed %s: %s" % (self._what, exc)) from None

    # The bytes behind the parser -----------------------------------------------

    def _forget(self) -> None:
        if self._mark is None:
            tail = b"".join(self._pieces)[-_KEPT_BEHIND:]
            self._pieces = [tail]
            self._base = self._fed - len(tail)
            return
        while self._pieces and self._base + len(self._pieces[0]) <= self._mark:
            self._base += len(self._pieces.pop(0))

    def _joined(self) -> bytes:
        """The bytes kept, as one bytes object (joined once per feed)."""
        data = b"".join(self._pieces)
        self._pieces = [data]
        return data

    def _dict_end(self, frame: _Frame, at: int) -> int:
        """Where the dictionary of `frame` ends; the parser saw it end at `at`:
        the start of its end tag, or the end of an empty-element tag."""
        data = self._joined()
        if self._starts == frame.starts and data[at - self._base - 2:at - self._base] == b"/>":
            return at
        return data.index(b">", at - self._base) + 1 + self._base

    # Elements ---------------------------------------------------------------------

    def _fail(self, reason: str) -> NoReturn:
        raise LevelError("not a property list velk reads: %s (line %d)"
                         % (reason, self._expat.CurrentLineNumber))

    def _start(self, tag: str, _attributes: Any) -> None:
        at = self._expat.CurrentByteIndex
        self._starts += 1
        if self._scalar is not None:
            self._fail("an element <%.40s> inside <%s>" % (tag, self._scalar[0]))
        frame = self._stack[-1] if self._stack else None
        if tag in _DICT_TAGS:
            path: Path
            if frame is None:
                path = ()
            elif frame.key is None:
                self._fail("a dictionary where a key belongs")
            else:
                path = frame.path + (frame.key,)
            self._stack.append(_Frame(at, self._starts, path, self._keeps(path)))
        elif tag in _KEY_TAGS or tag in _SCALAR_TAGS:
            if frame is None:
                self._fail("<%s> outside a dictionary" % tag)
            if (tag in _KEY_TAGS) != (frame.key is None):
                self._fail("a value without its key" if frame.key is None
                           else "the key %r without a value" % frame.key[:40])
            self._scalar = (tag, at)
            self._mark = at
        elif tag not in _OUTER_TAGS or self._stack:
            self._fail("an element <%.40s>" % tag)

    def _text(self, _data: Optional[str]) -> None:
        if self._mark is not None and self._expat.CurrentByteIndex - self._mark > self._max_size:
            raise TooLarge("%s holds a value of more than %s, the limit"
                           % (self._what, size_text(self._max_size)), self._max_size)

    def _end(self, tag: str) -> None:
        at = self._expat.CurrentByteIndex
        if self._scalar is not None:
            self._end_scalar(tag, at)
        elif tag in _DICT_TAGS:
            self._end_dict(self._stack.pop(), at)

    def _end_scalar(self, tag: str, at: int) -> None:
        _, start = cast(Tuple[str, int], self._scalar)
        self._text(None)
        self._scalar = self._mark = None
        whole, body = self._element(start, at)
        frame = self._stack[-1]
        if tag in _KEY_TAGS:
            frame.key = _text_of(body)
            frame.key_start = start
            return
        # A value follows its key: `_start` refuses one that does not.
        key, key_start = cast(str, frame.key), cast(int, frame.key_start)
        frame.key = None
        if not frame.keeps:
            return
        kind = _SCALAR_TAGS[tag]
        value = self._value(kind, body, key)
        node = frame.node
        node[key] = value
        node.spans[key] = (key_start, start + len(whole))
        if not _as_written(kind, whole, body, value):
            node.raw[key] = (value, str(whole, "utf-8"))

    def _element(self, start: int, at: int) -> Tuple[memoryview, memoryview]:
        """The bytes of the element that starts at `start` and of its content,
        as memoryviews; `at` is where the parser saw it end: the start of its
        end tag, or the end of an empty-element tag ("<t />")."""
        data, base = self._joined(), self._base
        content = data.index(b">", start - base) + 1
        if content == at - base and data[content - 2:content] == b"/>":
            return memoryview(data)[start - base:content], memoryview(b"")
        end = data.index(b">", at - base) + 1
        return memoryview(data)[start - base:end], memoryview(data)[content:at - base]

    def _value(self, kind: str, body: Bytes, key: str) -> Union[str, int, float, bool]:
        if kind == "t":
            return True
        text = _text_of(body)
        if kind == "s":
            return text
        try:
            if kind == "i":
                if not _INTEGER.fullmatch(text.strip()):
                    raise ValueError
                return int(text)
            return float(text)
        except ValueError:
            self._fail("the value of %r is %r, not %s"
                       % (key[:40], text[:40], "an integer" if kind == "i" else "a number"))

    def _end_dict(self, frame: _Frame, at: int) -> None:
        node = frame.node
        node.span = (frame.start, self._dict_end(frame, at))
        if frame.key is not None:
            self._fail("the key %r without a value" % frame.key[:40])
        selected = self._select(frame.path, node)
        if selected:
            self._found.append((frame.path, node))
        if not self._stack:
            self._root = None if selected else node
            return
        parent = self._stack[-1]
        # A dictionary inside another follows its key: `_start` refuses one
        # that does not.
        key, key_start = cast(str, parent.key), cast(int, parent.key_start)
        parent.key = None
        if parent.keeps and not selected:
            start, end = node.span
            parent.node[key] = node
            parent.node.spans[key] = (key_start, end)
            if end == self._expat.CurrentByteIndex:   # written "<d/>"
                parent.node.raw[key] = (node, str(self._joined()[start - self._base:
                                                                 end - self._base], "utf-8"))


class _NoTarget:
    """The parser's target: the elements never reach it. It takes text so
    that the parser checks references to entities it does not know."""

    def data(self, _text: str) -> None:
        pass

    def close(self) -> None:
        return None


def read(data: Union[bytes, bytearray, Iterable[bytes]], max_size: int = MAX_SIZE,
         what: str = "property list") -> PlistDict:
    """The top dictionary of a property list, given as bytes or an iterable
    of pieces of bytes, with every entry kept."""
    reader = Reader(lambda path, node: False, lambda path: True, max_size, what)
    pieces: Iterable[bytes] = (bytes(data),) if isinstance(data, (bytes, bytearray)) else data
    for _ in reader.selected(pieces):
        pass
    if reader.root is None:
        raise LevelError("%s holds no dictionary" % what)
    return reader.root


# Writing ---------------------------------------------------------------------------


def _escaped(text: str) -> str:
    bad = _UNWRITABLE.search(text)
    if bad:
        raise ValueError("a property list cannot hold the character %r" % bad.group(0))
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("\r", "&#13;"))


def element(value: Any) -> str:
    """The XML of one value, as velk writes it."""
    if value is True:
        return "<t />"
    if isinstance(value, str):
        return "<s>%s</s>" % _escaped(value)
    if isinstance(value, bool):
        raise ValueError("a property list holds no false: leave the entry out")
    if isinstance(value, int):
        return "<i>%d</i>" % value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError("a property list holds no %r" % value)
        return "<r>%r</r>" % value
    if isinstance(value, dict):
        return "<d>%s</d>" % dumps(value)
    raise TypeError("a property list holds no %s" % type(value).__name__)


def _same(a: Any, b: Any) -> bool:
    """Whether two values are equal and of the same types throughout."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(a[key], b[key]) for key in a)
    return bool(a == b)


def dumps(entries: Dict[str, Any]) -> str:
    """The XML of a dictionary's entries (without the enclosing element).

    A value that is unchanged since it was read (a PlistDict's `raw`) is
    written as it was read. Raises ValueError or TypeError, naming the key,
    for a value that a property list cannot hold."""
    raw = getattr(entries, "raw", {})
    parts = []
    for key, value in entries.items():
        if not isinstance(key, str):
            raise TypeError("a property list's keys are text, not %s" % type(key).__name__)
        try:
            kept = raw.get(key)
            if kept is not None and _same(kept[0], value):
                written = kept[1]
            else:
                written = element(value)
            parts.append("<k>%s</k>%s" % (_escaped(key), written))
        except (TypeError, ValueError) as exc:
            raise type(exc)("entry %r: %s" % (key, exc)) from None
    return "".join(parts)
