"""What goes wrong with level data.

`LevelError` is level data that cannot be read at all: not base64, corrupt
or truncated compressed data, more decoded data than allowed, an export file
that is not well-formed XML or declares entities, no level data, an empty
level. `RecordError` is one record of a level that cannot be read or written
back; it names the record's kind and index and, when reading, the key whose
value failed. Both are ValueErrors.
"""

__all__ = ["LevelError", "RecordError"]

class LevelError(ValueError):
    """Level data that cannot be read; the message is one line."""


class RecordError(LevelError):
    """A record of a level that cannot be read or written back.

    `kind` is "object" or "colour", `index` the record's position among the
    level's records of that kind (from 0), `key` the key whose value could
    not be read (None when writing, or when no single pair fails), and
    `cause` the exception the codec raised.
    """

    def __init__(self, kind, index, cause, key=None, writing=False):
        self.kind = kind
        self.index = index
        self.key = key
        self.cause = cause
        self.writing = writing
        where = "%s %d" % (kind, index)
        if writing:
            where += ": cannot write back"
        if key is not None:
            where += ": key %s" % key
        super().__init__("%s: %s" % (where, describe(cause)))


def describe(exc):
    """The message of `exc`, or its type's name when it has none."""
    return str(exc) or type(exc).__name__
