"""Numbers that keep their written form.

Levels write the numbers inside HSV values and guidelines either whole ("1",
"-20") or as decimals ("1.0", "71.99999999999994"), and a value that nobody
changed must be written back exactly as it was read. So a whole number is
read as an ``int`` and written as its digits, a decimal as a ``float``
written in Python's shortest form (``repr``): "1" and "1.0" both come back
unchanged, and only a spelling that Python would not write is normalised
("0.50" comes back "0.5"). Non-finite numbers are refused, so that a number
is never written as "inf" or "nan".
"""
import math

__all__ = ["read_number", "as_number", "number_text"]

def read_number(text, name="number"):
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


def as_number(value, name="number"):
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


def number_text(number):
    """The written form of a number made by `read_number` or `as_number`."""
    return repr(number)
