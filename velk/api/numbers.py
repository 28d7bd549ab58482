"""Numbers as HSV values and guidelines hold them.

Levels write these numbers either whole ("1", "-20") or as decimals ("1.0",
"71.99999999999994"). A whole number is read as an ``int``, a decimal (a
point or an exponent) as a ``float``, so that a value keeps which of the two
it was. The text itself is kept by the value that read it, which writes it
back unchanged; ``number_text`` gives the form of a number made in Python:
an int as its digits, a float in Python's shortest form (``repr``).
Non-finite numbers are refused, so that a number is never written as "inf"
or "nan".
"""
import math
from typing import Union

__all__ = ["read_number", "as_number", "number_text"]

Number = Union[int, float]


def read_number(text: str, name: str = "number") -> Number:
    """The number written as `text`: an int when whole, else a finite float.

    Bad text raises ValueError naming `name`."""
    try:
        # A decimal point or an exponent makes a decimal; the rest is int().
        if "." in text or "e" in text or "E" in text:
            number = float(text)
        else:
            return int(text)
    except ValueError:
        raise ValueError("%s is not a number: %r" % (name, text)) from None
    if not math.isfinite(number):
        raise ValueError("%s must be finite, not %r" % (name, text))
    return number


def as_number(value: Union[str, int, float], name: str = "number") -> Number:
    """`value` as an int or a finite float, keeping which of the two it is.

    Text is read as `read_number` reads it; a bool counts as the int 0 or 1.
    """
    if isinstance(value, str):
        return read_number(value, name)
    if isinstance(value, int):
        return int(value)
    number = float(value)
    if not math.isfinite(number):
        raise ValueError("%s must be finite, not %r" % (name, number))
    return number


def number_text(number: Number) -> str:
    """The written form of a number made in Python (by `as_number`)."""
    return repr(number)
