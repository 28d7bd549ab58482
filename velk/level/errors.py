"""What goes wrong with level data, and where.

`LevelError` is level data that cannot be read (or written) at all: not
base64, corrupt or truncated compressed data, more decoded data than
allowed, an export file that is not well-formed XML or declares entities,
no level data, an empty level. `RecordError` is one record of a level that
cannot be read or written back. Both are ValueErrors.

Every error knows where it happened, as far as the code that raised it or
passed it on knew: the file (`path`), the level (`level`, its index in the
file from 1, and `level_name`), the record (`kind`, "object" or "colour",
and `index`, from 0 among the level's records of that kind; or "header",
without an index) and the `key` whose value failed. Unknown parts are None.
The message starts with the known parts, outermost first:

    levels.xml: level 2 "Stereo": object 15: key 1: invalid literal for int() ...

A record file holds no level: each of its lines is a record of the one
kind it was read as, so there `level` is None, `kind` is that kind and
`index` is the line's number, from 1 as editors count lines, and the
message names the line:

    objects.txt: line 7: key 1: invalid literal for int() ...

`reason` is the message without the location, and `as_dict()` the error as
the commands write it in JSON: the parts of the location and the `message`.
Errors pickle with their location, so an error raised in a worker process
reaches its caller whole.
"""
from typing import Any, Dict, Optional, Tuple, Type, TypeVar

__all__ = ["LOCATION", "LevelError", "RecordError", "where_text"]

# The parts of a location, outermost first.
LOCATION = ("path", "level", "level_name", "kind", "index", "key")

# The kinds of record a record file may hold, whose index is a line.
_LINE_KINDS = ("object", "colour")

Location = Dict[str, Any]
_Error = TypeVar("_Error", bound="LevelError")


def where_text(path: Optional[Any] = None, level: Optional[int] = None,
               level_name: Optional[str] = None, kind: Optional[str] = None,
               index: Optional[int] = None, key: Optional[str] = None) -> str:
    """A location as text ("levels.xml: level 2: object 15: key 1"), empty
    when nothing is known; a record of a file with no level is its line."""
    parts = []
    if path is not None:
        parts.append(str(path))
    if level is not None or level_name is not None:
        named = "level" if level is None else "level %d" % level
        if level_name is not None:
            named += " " + _quoted(level_name)
        parts.append(named)
    if kind is not None:
        if index is None:
            parts.append(kind)
        elif path is not None and level is None and level_name is None and kind in _LINE_KINDS:
            parts.append("line %d" % index)
        else:
            parts.append("%s %d" % (kind, index))
    if key is not None:
        parts.append("key %s" % key)
    return ": ".join(parts)


class LevelError(ValueError):
    """Level data that cannot be read or written; see the module's text.

    `locate(...)` fills in parts of the location that are not known yet, so
    each layer that reads a file can add what it knows as the error passes.
    """

    path: Optional[Any]
    level: Optional[int]
    level_name: Optional[str]
    kind: Optional[str]
    index: Optional[int]
    key: Optional[str]

    def __init__(self, reason: str, path: Optional[Any] = None, level: Optional[int] = None,
                 level_name: Optional[str] = None, kind: Optional[str] = None,
                 index: Optional[int] = None, key: Optional[str] = None) -> None:
        super().__init__(reason)
        self.reason = reason
        self.path = path
        self.level = level
        self.level_name = level_name
        self.kind = kind
        self.index = index
        self.key = key

    def locate(self: _Error, **where: Any) -> _Error:
        """Fill in the parts of the location in `where` (names of LOCATION)
        that are still None; return the error itself."""
        for part, value in where.items():
            if part not in LOCATION:
                raise TypeError("no such part of a location: %r" % part)
            if getattr(self, part) is None:
                setattr(self, part, value)
        return self

    @property
    def where(self) -> str:
        """The location as text ("levels.xml: level 2: object 15: key 1"),
        empty when nothing is known."""
        return where_text(**self.location())

    def location(self) -> Location:
        """The location as a dict of LOCATION's parts (None where unknown)."""
        return {part: getattr(self, part) for part in LOCATION}

    def as_dict(self) -> Location:
        """The error as the commands write it in JSON: the parts of the
        location (the path as text) and `message`, the reason."""
        found = self.location()
        if found["path"] is not None:
            found["path"] = str(found["path"])
        found["message"] = str(self.reason)
        return found

    def __str__(self) -> str:
        where = self.where
        return "%s: %s" % (where, self.reason) if where else str(self.reason)

    def __reduce__(self) -> Tuple[Any, ...]:
        # BaseException pickles as cls(*args), which would lose the location
        # and cannot call RecordError's constructor: rebuild from the state.
        return _rebuild, (type(self), self.args, self.__dict__)


class RecordError(LevelError):
    """A record of a level that cannot be read or written back.

    `cause` is the exception the codec raised and `writing` tells whether it
    happened on writing. `key` is the key whose value failed (None when no
    single pair fails).
    """

    def __init__(self, kind: str, index: Optional[int], cause: BaseException,
                 key: Optional[str] = None, writing: bool = False, reason: Optional[str] = None,
                 **where: Any) -> None:
        if reason is None:
            reason = describe(cause)
            if writing:
                reason = "cannot write back: " + reason
        super().__init__(reason, kind=kind, index=index, key=key, **where)
        self.cause = cause
        self.writing = writing


def _rebuild(cls: Type[LevelError], args: Tuple[Any, ...], state: Dict[str, Any]) -> LevelError:
    error = cls.__new__(cls, *args)
    error.args = args
    error.__dict__.update(state)
    return error


def _quoted(name: object) -> str:
    # Names come from files: show them quoted, with what could break the
    # line escaped.
    return '"%s"' % str(name).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def describe(exc: BaseException) -> str:
    """The message of `exc`, or its type's name when it has none."""
    return str(exc) or type(exc).__name__
