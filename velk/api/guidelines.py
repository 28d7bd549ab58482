"""Guidelines: coloured time marks that help to line a level up with its music.

Text form: the points in order, each written as its time and its colour,
all separated by "~":

    time ~ colour ~ time ~ colour ...

for instance ``"0.5~orange~1.25~green"``; no points give the empty text.
Times are seconds in Python's shortest float form; colours are one of
``COLOURS``. The text holds no "," "_" or "|", so it can stand as a value
inside a record.
"""
import math

__all__ = ["Guidelines", "COLOURS"]

SEPARATOR = "~"
COLOURS = ("orange", "yellow", "green")


class Guidelines:
    """An immutable sequence of (time, colour) points."""

    __slots__ = ("_points",)

    def __init__(self, points=()):
        checked = []
        for time, colour in points:
            time = float(time)
            if not (math.isfinite(time) and time >= 0):
                raise ValueError("guideline time must be finite and not negative: %r" % time)
            if colour not in COLOURS:
                raise ValueError("unknown guideline colour %r" % (colour,))
            checked.append((time, colour))
        self._points = tuple(checked)

    @property
    def points(self):
        """The points as a tuple of (time, colour) pairs."""
        return self._points

    @classmethod
    def from_string(cls, text):
        """Read the text form; bad text raises ValueError."""
        if not text:
            return cls()
        fields = text.split(SEPARATOR)
        if len(fields) % 2:
            raise ValueError("guidelines text needs time and colour pairs: %r" % text)
        return cls(zip(map(float, fields[0::2]), fields[1::2]))

    def dump(self):
        """The text form of these guidelines."""
        return SEPARATOR.join("%r%s%s" % (time, SEPARATOR, colour) for time, colour in self._points)

    def __iter__(self):
        return iter(self._points)

    def __len__(self):
        return len(self._points)

    def __eq__(self, other):
        if not isinstance(other, Guidelines):
            return NotImplemented
        return self._points == other._points

    def __hash__(self):
        return hash(self._points)

    def __repr__(self):
        return "Guidelines(%r)" % (list(self._points),)
