"""HSV values: a hue shift with saturation and value factors.

Text form, as records store it: five fields separated by "a",

    hue a saturation a value a saturation_checked a value_checked

for instance ``"0a1a1a0a0"``, ``"-20a0.5a1.0a1a0"`` or
``"71.99999999999994a0.13698630136986292a0.28627450980392155a0a0"``: hue,
saturation and value are numbers, whole or decimal, and the two flags are
"0" or "1". A value read by ``from_string`` keeps the text it was read from,
so ``dump`` writes an unchanged value back exactly as it was read, whatever
the spelling ("-0", "0.50", "1e-05"); a value made in Python is written in
the form of ``velk.api.numbers``. The separator is none of "," "_" "|" ".",
so the text can stand as a value inside object and colour records.

Values are immutable, because ``from_string`` hands the same value to every
record that holds the same text. Setting or deleting any attribute raises
AttributeError, also through ``object.__setattr__``, and so does calling
``__init__`` on a value already made. What pure Python cannot prevent:
``object.__setattr__(value, "__class__", C)`` for a class ``C`` of the same
slots, and code that digs the field descriptors out of this module (for
instance through ``gc``) or writes memory through ``ctypes``.
"""
from typing import Any, Callable, Dict, Tuple, Union

from velk.api.numbers import Number, as_number, number_text, read_number

__all__ = ["HSV"]

SEPARATOR = "a"
_FLAGS = {"0": False, "1": True}
_FLAG_TEXTS = {False: "0", True: "1"}

# Distinct HSV texts kept by `HSV.from_string`. A level uses a few hundred at
# most; past the limit the table starts again, so that hostile input cannot
# make it grow without end.
CACHE_LIMIT = 4096
# Longest text the table keeps. Real texts are under 80 characters; longer
# ones are read anew each time, so that the table holds at most
# CACHE_LIMIT * CACHED_TEXT_LIMIT characters of text whatever the input.
CACHED_TEXT_LIMIT = 256


# hue, saturation, value, saturation_checked, value_checked
_Fields = Tuple[Number, Number, Number, bool, bool]


class _ByText(Dict[str, "HSV"]):
    """HSV values by their text, made on first use."""

    __slots__ = ()

    def __missing__(self, text: str) -> "HSV":
        hsv = _parse(text)
        if len(text) <= CACHED_TEXT_LIMIT:
            if len(self) >= CACHE_LIMIT:
                self.clear()
            self[text] = hsv
        return hsv


def _parse(text: str) -> "HSV":
    fields = text.split(SEPARATOR)
    if len(fields) != 5:
        raise ValueError("HSV text needs 5 fields separated by %r: %r" % (SEPARATOR, text))
    hue, saturation, value, saturation_checked, value_checked = fields
    try:
        flags = _FLAGS[saturation_checked], _FLAGS[value_checked]
    except KeyError:
        raise ValueError("HSV flags must be '0' or '1': %r" % text) from None
    numbers = (read_number(hue, "HSV hue"), read_number(saturation, "HSV saturation"),
               read_number(value, "HSV value"))
    # Joined again rather than kept as given: equal text, but always a str
    # itself, which is what the native module writes without conversion.
    return _fill(object.__new__(HSV), numbers + flags, SEPARATOR.join(fields))


def _from_pickle(text: str) -> "HSV":
    """The value a pickle holds as `text`: the one a record with it reads to."""
    return HSV.from_string(text)


class HSV:
    """An immutable HSV adjustment.

    `hue`, `saturation` and `value` are numbers, each an int or a float as
    given (text is read as in the text form); the two flags say whether
    saturation and value are taken as offsets ("checked") rather than as
    factors. Equal numbers make equal values whatever their form
    (``HSV(0, 1, 1) == HSV(0, 1.0, 1.0)``, and -0 equals 0), but each value
    is written in its own. Copies are the value itself; a pickle holds the
    text and is read back through `from_string`, so it unpickles as `HSV`.
    """

    __slots__ = ("_fields", "_text")

    def __init__(self, hue: Union[Number, str] = 0, saturation: Union[Number, str] = 1.0,
                 value: Union[Number, str] = 1.0, saturation_checked: bool = False,
                 value_checked: bool = False) -> None:
        _refuse_made(self)
        fields: _Fields = (as_number(hue, "HSV hue"), as_number(saturation, "HSV saturation"),
                  as_number(value, "HSV value"), bool(saturation_checked), bool(value_checked))
        # Written once: records are written far more often than made.
        text = SEPARATOR.join([number_text(number) for number in fields[:3]]
                              + [_FLAG_TEXTS[flag] for flag in fields[3:]])
        _fill(self, fields, text)

    @property
    def hue(self) -> Number:
        return _fields_of(self)[0]

    @property
    def saturation(self) -> Number:
        return _fields_of(self)[1]

    @property
    def value(self) -> Number:
        return _fields_of(self)[2]

    @property
    def saturation_checked(self) -> bool:
        return _fields_of(self)[3]

    @property
    def value_checked(self) -> bool:
        return _fields_of(self)[4]

    # HSV.from_string(text): the value written as `text`; bad text raises
    # ValueError. Levels carry an HSV on most objects, mostly the same few
    # texts, and reading them is most of the cost of reading such an object.
    # The values are immutable, so one shared value per text is handed out,
    # and a text already seen costs one dictionary lookup with no Python
    # frame. The result is always of this class, also when called through a
    # subclass.
    from_string = staticmethod(_ByText().__getitem__)

    def dump(self) -> str:
        """The record text of this value, which `from_string` reads back."""
        return _text_of(self)

    def __setattr__(self, name: str, value: Any) -> None:
        raise _refusal("attribute %r" % name)

    def __delattr__(self, name: str) -> None:
        raise _refusal("attribute %r" % name)

    def __reduce__(self) -> Tuple[Any, ...]:
        return _from_pickle, (_text_of(self),)

    def __copy__(self) -> "HSV":
        return self

    def __deepcopy__(self, memo: Any) -> "HSV":
        return self

    def _key(self) -> _Fields:
        return _fields_of(self)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, HSV):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        return ("HSV(hue=%r, saturation=%r, value=%r, saturation_checked=%r, "
                "value_checked=%r)" % self._key())


# The descriptors of the two slots leave the class and live on only here:
# without them no attribute assignment, not even object.__setattr__, reaches
# a value's fields, so a value the cache shares stays as it was read.
_FIELDS = HSV.__dict__["_fields"]
_TEXT = HSV.__dict__["_text"]
delattr(HSV, "_fields")
delattr(HSV, "_text")
_fields_of: Callable[[HSV], _Fields] = _FIELDS.__get__
_text_of: Callable[[HSV], str] = _TEXT.__get__


def _refuse_made(hsv: HSV) -> None:
    try:
        _text_of(hsv)
    except AttributeError:
        return
    raise _refusal("__init__ of a value already made")


def _refusal(what: str) -> AttributeError:
    return AttributeError("HSV values cannot be changed (%s); make a new one" % what)


def _fill(hsv: HSV, fields: _Fields, text: str) -> HSV:
    _FIELDS.__set__(hsv, fields)
    _TEXT.__set__(hsv, text)
    return hsv
