"""HSV values: a hue shift with saturation and value factors.

Text form, as records store it: five fields separated by "a",

    hue a saturation a value a saturation_checked a value_checked

for instance ``"-20a0.5a1.0a1a0"``: the hue as a whole number of degrees,
saturation and value as decimals (Python's shortest float form), and the two
flags as "0" or "1". The text holds no "," "_" "|" or "." separator, so it
can stand as a value inside object and colour records. ``dump`` writes this
form and ``from_string`` reads it back; non-finite numbers are refused so that
the separator never appears inside a field.
"""
import math
import operator

__all__ = ["HSV"]

SEPARATOR = "a"
_FLAGS = {"0": False, "1": True}


def _finite(number, name):
    number = float(number)
    if not math.isfinite(number):
        raise ValueError("HSV %s must be finite, not %r" % (name, number))
    return number


class HSV:
    """An immutable HSV adjustment.

    `hue` is an integer, `saturation` and `value` are floats; the two flags
    say whether saturation and value are taken as offsets ("checked") rather
    than as factors.
    """

    __slots__ = ("_hue", "_saturation", "_value", "_saturation_checked", "_value_checked")

    def __init__(self, hue=0, saturation=1.0, value=1.0,
                 saturation_checked=False, value_checked=False):
        self._hue = operator.index(hue)
        self._saturation = _finite(saturation, "saturation")
        self._value = _finite(value, "value")
        self._saturation_checked = bool(saturation_checked)
        self._value_checked = bool(value_checked)

    hue = property(lambda self: self._hue)
    saturation = property(lambda self: self._saturation)
    value = property(lambda self: self._value)
    saturation_checked = property(lambda self: self._saturation_checked)
    value_checked = property(lambda self: self._value_checked)

    @classmethod
    def from_string(cls, text):
        """Read the record text of an HSV value; bad text raises ValueError."""
        fields = text.split(SEPARATOR)
        if len(fields) != 5:
            raise ValueError("HSV text needs 5 fields separated by %r: %r" % (SEPARATOR, text))
        hue, saturation, value, saturation_checked, value_checked = fields
        try:
            flags = _FLAGS[saturation_checked], _FLAGS[value_checked]
        except KeyError:
            raise ValueError("HSV flags must be '0' or '1': %r" % text) from None
        return cls(int(hue), float(saturation), float(value), *flags)

    def dump(self):
        """The record text of this value, which `from_string` reads back."""
        return SEPARATOR.join((
            str(self._hue),
            repr(self._saturation),
            repr(self._value),
            str(int(self._saturation_checked)),
            str(int(self._value_checked)),
        ))

    def _key(self):
        return (self._hue, self._saturation, self._value,
                self._saturation_checked, self._value_checked)

    def __eq__(self, other):
        if not isinstance(other, HSV):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        return ("HSV(hue=%r, saturation=%r, value=%r, saturation_checked=%r, "
                "value_checked=%r)" % self._key())
