"""HSV values: a hue shift with saturation and value factors.

Text form, as records store it: five fields separated by "a",

    hue a saturation a value a saturation_checked a value_checked

for instance ``"0a1a1a0a0"``, ``"-20a0.5a1.0a1a0"`` or
``"71.99999999999994a0.13698630136986292a0.28627450980392155a0a0"``: hue,
saturation and value are numbers, whole or decimal, and the two flags are
"0" or "1". Each number keeps the form it was written in (see
``velk.api.numbers``), so ``dump`` writes an unchanged value back exactly as
``from_string`` read it. The separator is none of "," "_" "|" ".", so the
text can stand as a value inside object and colour records.
"""
from velk.api.numbers import as_number, number_text, read_number

__all__ = ["HSV"]

SEPARATOR = "a"
_FLAGS = {"0": False, "1": True}
_FLAG_TEXTS = {False: "0", True: "1"}

# Distinct HSV texts kept by `HSV.from_string`. A level uses a few hundred at
# most; past the limit the table starts again, so that hostile input cannot
# make it grow without end.
CACHE_LIMIT = 4096


class _ByText(dict):
    """HSV values by their text, made on first use."""

    __slots__ = ()

    def __missing__(self, text):
        hsv = _parse(text)
        if len(self) >= CACHE_LIMIT:
            self.clear()
        self[text] = hsv
        return hsv


def _parse(text):
    fields = text.split(SEPARATOR)
    if len(fields) != 5:
        raise ValueError("HSV text needs 5 fields separated by %r: %r" % (SEPARATOR, text))
    hue, saturation, value, saturation_checked, value_checked = fields
    try:
        flags = _FLAGS[saturation_checked], _FLAGS[value_checked]
    except KeyError:
        raise ValueError("HSV flags must be '0' or '1': %r" % text) from None
    return HSV(read_number(hue, "HSV hue"), read_number(saturation, "HSV saturation"),
               read_number(value, "HSV value"), *flags)


class HSV:
    """An immutable HSV adjustment.

    `hue`, `saturation` and `value` are numbers, each an int or a float as
    given (text is read as in the text form); the two flags say whether
    saturation and value are taken as offsets ("checked") rather than as
    factors. Equal numbers make equal values whatever their form
    (``HSV(0, 1, 1) == HSV(0, 1.0, 1.0)``), but each is written in its own.
    """

    __slots__ = ("_hue", "_saturation", "_value", "_saturation_checked", "_value_checked",
                 "_text")

    def __init__(self, hue=0, saturation=1.0, value=1.0,
                 saturation_checked=False, value_checked=False):
        self._hue = as_number(hue, "HSV hue")
        self._saturation = as_number(saturation, "HSV saturation")
        self._value = as_number(value, "HSV value")
        self._saturation_checked = bool(saturation_checked)
        self._value_checked = bool(value_checked)
        # Written once: records are written far more often than made.
        self._text = SEPARATOR.join((
            number_text(self._hue),
            number_text(self._saturation),
            number_text(self._value),
            _FLAG_TEXTS[self._saturation_checked],
            _FLAG_TEXTS[self._value_checked],
        ))

    hue = property(lambda self: self._hue)
    saturation = property(lambda self: self._saturation)
    value = property(lambda self: self._value)
    saturation_checked = property(lambda self: self._saturation_checked)
    value_checked = property(lambda self: self._value_checked)

    # HSV.from_string(text): the value written as `text`; bad text raises
    # ValueError. Levels carry an HSV on most objects, mostly the same few
    # texts, and reading them is most of the cost of reading such an object.
    # The values are immutable, so one shared value per text is handed out,
    # and a text already seen costs one dictionary lookup with no Python
    # frame. The result is always of this class, also when called through a
    # subclass.
    from_string = staticmethod(_ByText().__getitem__)

    def dump(self):
        """The record text of this value, which `from_string` reads back."""
        return self._text

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
