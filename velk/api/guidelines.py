"""Guidelines: coloured time marks that help to line a level up with its music.

Text form: the points in order, each written as its time and its colour,
all separated by "~":

    time ~ colour ~ time ~ colour ...

for instance ``"0.5~0~0.7~0.9~1~1"``, as levels store them, or
``"0.5~orange~1.25~green"``; no points give the empty text. Times are
seconds; a colour is a number (the level's colour value) or one of
``COLOURS``. Guidelines read by ``from_string`` keep the text they were
read from, so unchanged guidelines are written back exactly as they were
read, whatever the spelling of their numbers ("0.50", "-0", "1e-05");
guidelines made in Python are written in the form of ``velk.api.numbers``.
The text holds no "," "_" or "|", so it can stand as a value inside a
record.
"""
from typing import Any, Iterable, Iterator, Tuple, Union

from velk.api.numbers import Number, as_number, number_text, read_number

__all__ = ["Guidelines", "COLOURS"]

SEPARATOR = "~"
COLOURS = ("orange", "yellow", "green")

# A point's colour: a number, or the name of one of COLOURS.
Colour = Union[Number, str]
Point = Tuple[Number, Colour]


def _colour(colour: Any) -> Colour:
    if isinstance(colour, str) and colour in COLOURS:
        return colour
    try:
        return as_number(colour, "guideline colour")
    except (TypeError, ValueError):
        raise ValueError("unknown guideline colour %r (a number, or one of %s)"
                         % (colour, ", ".join(COLOURS))) from None


def _time(time: Any) -> Number:
    number = as_number(time, "guideline time")
    if number < 0:
        raise ValueError("guideline time must not be negative: %r" % number)
    return number


def _text(points: Iterable[Point]) -> str:
    return SEPARATOR.join(
        "%s%s%s" % (number_text(time), SEPARATOR,
                    colour if isinstance(colour, str) else number_text(colour))
        for time, colour in points)


class Guidelines:
    """An immutable sequence of (time, colour) points.

    A pickle holds the text and is read back through `from_string`."""

    __slots__ = ("_points", "_text")

    def __init__(self, points: Iterable[Tuple[Union[Number, str], Colour]] = ()) -> None:
        self._points = tuple((_time(time), _colour(colour)) for time, colour in points)
        self._text = _text(self._points)

    @property
    def points(self) -> Tuple[Point, ...]:
        """The points as a tuple of (time, colour) pairs."""
        return self._points

    @classmethod
    def from_string(cls, text: str) -> "Guidelines":
        """Read the text form; bad text raises ValueError."""
        if not text:
            return cls()
        fields = text.split(SEPARATOR)
        if len(fields) % 2:
            raise ValueError("guidelines text needs time and colour pairs: %r" % text)
        times = [read_number(field, "guideline time") for field in fields[0::2]]
        guidelines = cls(zip(times, fields[1::2]))
        # Joined again rather than kept as given: equal text, but always a
        # str itself, as the native module writes it.
        guidelines._text = SEPARATOR.join(fields)
        return guidelines

    def dump(self) -> str:
        """The text form of these guidelines."""
        return self._text

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self).from_string, (self._text,)

    def __iter__(self) -> Iterator[Point]:
        return iter(self._points)

    def __len__(self) -> int:
        return len(self._points)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Guidelines):
            return NotImplemented
        return self._points == other._points

    def __hash__(self) -> int:
        return hash(self._points)

    def __repr__(self) -> str:
        return "Guidelines(%r)" % (list(self._points),)
