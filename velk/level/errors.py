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

`reason` is the message without the location. Errors pickle with their
location, so an error raised in a worker process reaches its caller whole.
"""
from typing import Any, Optional

__all__ = ["LOCATION", "LevelError", "RecordError"]

# The parts of a location, outermost first.
LOCATION = ("path", "level", "level_name", "kind", "index", "key")


class LevelError(ValueError):
    """Level data that cannot be read or written; see the module's text.

    `locate(...)` fills in parts of the location that are not known yet, so
    each layer that reads a file can add what it knows as the error passes.
    """

    def __init__(self, reason: str, path: Any = None, level: Optional[int] = None,
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

    def locate(self, **where: Any) -> "LevelError":
        """Fill in the parts of the location in `where` (names of LOCATION)
        that are still None; return the error itself."""
        for part, value in where.items():
            if part not in LOCATION:
                raise TypeError("no such part of a location: %r" % part)
            if getattr(self, part) is None:
                setattr(self, part, value)
        return self

    @property
    def where(self):
        """The location as text ("levels.xml: level 2: object 15: key 1"),
        empty when nothing is known."""
        parts = []
        if self.path is not None:
            parts.append(str(self.path))
        if self.level is not None or self.level_name is not None:
            level = "level" if self.level is None else "level %d" % self.level
            if self.level_name is not None:
                level += " " + _quoted(self.level_name)
            parts.append(level)
        if self.kind is not None:
            parts.append(self.kind if self.index is None else "%s %d" % (self.kind, self.index))
        if self.key is not None:
            parts.append("key %s" % self.key)
        return ": ".join(parts)

    def location(self):
        """The location as a dict of LOCATION's parts (None where unknown)."""
        return {part: getattr(self, part) for part in LOCATION}

    def __str__(self):
        where = self.where
        return "%s: %s" % (where, self.reason) if where else str(self.reason)

    def __reduce__(self):
        # BaseException pickles as cls(*args), which would lose the location
        # and cannot call RecordError's constructor: rebuild from the state.
        return _rebuild, (type(self), self.args, self.__dict__)


class RecordError(LevelError):
    """A record of a level that cannot be read or written back.

    `cause` is the exception the codec raised and `writing` tells whether it
    happened on writing. `key` is the key whose value failed (None when no
    single pair fails).
    """

    def __init__(self, kind, index, cause, key=None, writing=False, reason=None, **where):
        if reason is None:
            reason = describe(cause)
            if writing:
                reason = "cannot write back: " + reason
        super().__init__(reason, kind=kind, index=index, key=key, **where)
        self.cause = cause
        self.writing = writing


def _rebuild(cls, args, state):
    error = cls.__new__(cls, *args)
    error.args = args
    error.__dict__.update(state)
    return error


def _quoted(name):
    # Names come from files: show them quoted, with what could break the
    # line escaped.
    return '"%s"' % str(name).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def describe(exc):
    """The message of `exc`, or its type's name when it has none."""
    return str(exc) or type(exc).__name__
