"""A pure-Python model of the native record codec ``velk._velkc``.

Every function here behaves as its native namesake: same results, same result
types, same exception types and messages. The tests compare the two on random
records, and the benchmarks use this module as the baseline the native code
is measured against.

Like the native module, the model looks ``Coder``, ``HSV``, ``PlayerColor``,
``Enum`` and ``chain`` up as module globals at every call, so rebinding one of
them here takes effect at the next call; the property tables keep the objects
they were built with.

Two behaviours are deliberately kept by both implementations: ``_iter_to_str``
puts the element it probed back in front of a one-shot iterator, and
``byte_xor`` reads every byte of its argument, zero bytes included.
"""
import warnings
from itertools import chain

from enums import Enum
from velk.api.enums import *  # noqa: F401,F403 (the nine enumeration classes)
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV
from velk.utils.crypto.coders import Coder

# Object-record key tables, tested by `_from_str` in this order.
_INT = {"1", "7", "8", "9", "12", "20", "21", "22", "23", "24", "25", "50", "51",
        "61", "71", "76", "77", "80", "95", "108"}
_BOOL = {"4", "5", "11", "13", "14", "15", "16", "17", "34", "36", "41", "42", "56",
         "58", "59", "60", "62", "64", "65", "66", "67", "70", "78", "81", "86", "87",
         "89", "93", "94", "96", "98", "99", "100", "102", "103", "106"}
_FLOAT = {"2", "3", "6", "10", "28", "29", "32", "35", "45", "46", "47", "54", "63",
          "68", "69", "72", "73", "75", "84", "85", "90", "91", "92", "97", "105", "107"}
_GROUPS = "57"
_HSV = {"43", "44", "49"}
_TEXT = "31"

# The enumeration keys. "24" is in `_INT` as well, which is tested first.
_Z_LAYER = "24"
_EASING = "30"
_PULSE_MODE = "48"
_PULSE_TYPE = "52"
_PICKUP_MODE = "79"
_TOUCH_TOGGLE = "82"
_COMP = "88"
_TARGET_COORDS = "101"
_ENUMS = {
    _Z_LAYER: ZLayer,
    _EASING: Easing,
    _PULSE_MODE: PulseMode,
    _PULSE_TYPE: PulseType,
    _PICKUP_MODE: PickupItemMode,
    _TOUCH_TOGGLE: TouchToggleMode,
    _COMP: InstantCountComparison,
    _TARGET_COORDS: TargetPosCoordinates,
}

# Colour-record key tables, tested by `_parse_color` in this order.
_COLOR_INT = {"1", "2", "3", "6", "9", "11", "12", "13"}
_COLOR_BOOL = {"5", "8", "15", "17", "18"}
_COLOR_FLOAT = "7"
_COLOR_HSV = "10"
_COLOR_PLAYER = "4"

# The default table of additional dumpers of `_dump`; never written to.
_NO_DUMPERS = {}

_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def _type_name(obj):
    """The name that the interpreter's C-level messages give the type of `obj`.

    Built-in types outside ``builtins`` carry their module in that name
    ("collections.OrderedDict"); classes defined in Python do not."""
    cls = type(obj)
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return "%s.%s" % (cls.__module__, cls.__name__)


def _require_exact(name, value, kind):
    """Refuse an argument that is neither None nor exactly of type `kind`."""
    if value is not None and type(value) is not kind:
        raise TypeError("Argument '%s' has incorrect type (expected %s, got %s)"
                        % (name, kind.__name__, _type_name(value)))


# Record codec ------------------------------------------------------------------


def _prepare(string, delim):
    """Split `string` at `delim` and pair the pieces lazily: (0, 1), (2, 3), ...

    An unpaired last piece is dropped."""
    if delim is None and string is not None:
        # The split behind this takes the separator as given: None is not
        # "split on whitespace" here.
        raise TypeError("must be str, not NoneType")
    pieces = iter(string.split(delim))
    return zip(pieces, pieces)


def _convert(string, delim="_", func=None):
    """Read a record string into a dict, through ``func(key, value)`` if given.

    A repeated key keeps its first position and takes the last value."""
    _require_exact("string", string, str)
    _require_exact("delim", delim, str)
    pairs = _prepare(string, delim)
    if func is None:
        return dict(pairs)
    record = {}
    for key, value in pairs:
        record[key] = func(key, value)
    return record


def _identity(some_object):
    return some_object


def _dump(some_dict, additional=_NO_DUMPERS):
    """Turn typed values into plain ones: `_convert_type`, then the dumper that
    `additional` lists for the key, if any."""
    _require_exact("some_dict", some_dict, dict)
    _require_exact("additional", additional, dict)
    dumped = {}
    for key, value in some_dict.items():
        dumper = additional.get(key, _identity)
        dumped[key] = dumper(_convert_type(value))
    return dumped


def _collect(some_dict, char="_"):
    """Join keys and values, each through `str`, with `char`."""
    _require_exact("some_dict", some_dict, dict)
    _require_exact("char", char, str)
    return char.join(map(str, chain.from_iterable(some_dict.items())))


def _text_dumper(value):
    """The dumper of the text key of object records: base64-encode the text."""
    if value is not None and type(value) is not str:
        raise TypeError("Expected unicode, got %s" % _type_name(value))
    return _b64_failsafe(value, encode=True)


# Scalar value codecs -----------------------------------------------------------


def _maybefloat(string):
    """A number: a float when the text holds ".", else an int."""
    if string is None:
        raise TypeError("'NoneType' object is not iterable")
    return float(string) if "." in string else int(string)


def _bool(string):
    """A flag: exactly "1" is true."""
    return string == "1"


def _ints_from_str(string):
    """A group list: the set of the "."-separated integers ("" gives none)."""
    if not string:
        return set()
    return set(map(int, string.split(".")))


def _b64_failsafe(string, encode=True):
    """Base64-encode (or decode) through ``Coder.do_base64``; on any failure,
    or a result that is neither exactly a str nor None, return the input."""
    try:
        result = Coder.do_base64(string, encode=encode)
    except Exception:
        return string
    if result is None or type(result) is str:
        return result
    return string


def _restore_first(first, rest):
    """Yield `first`, then what is left of the iterator `rest`."""
    yield first
    yield from rest


def _iter_to_str(collection, /):
    """Join a collection into one value text.

    The elements are printed with `str` and joined by "."; when the first
    element is exactly a dict, every element must be a dict (or None) and the
    elements are written as dumped "_"-joined records, joined by "|"."""
    iterator = iter(collection)
    try:
        first = next(iterator)
    except StopIteration:
        return ".".join(map(str, collection))
    if iterator is collection:
        # A one-shot iterator cannot be started again: keep the probed element.
        collection = _restore_first(first, iterator)
    if type(first) is not dict:
        return ".".join(map(str, collection))
    records = []
    for record in collection:
        if record is not None and type(record) is not dict:
            raise TypeError("Expected dict, got %s" % _type_name(record))
        records.append(_collect(_dump(record)))
    return "|".join(records)


# Key-typed conversion ----------------------------------------------------------


def _from_str(key, value):
    """Read the text value of an object record by its key."""
    if key in _INT:
        return int(value)
    if key in _BOOL:
        return _bool(value)
    if key in _FLOAT:
        return _maybefloat(value)
    if key == _GROUPS:
        return _ints_from_str(value)
    if key in _HSV:
        return HSV.from_string(value)
    if key in _ENUMS:
        return _ENUMS[key](int(value))
    if key == _TEXT:
        return _b64_failsafe(value, encode=False)
    return value


def _convert_type(value):
    """The plain form of a typed value, chosen by its exact class."""
    cls = value.__class__
    dumper = _MAPPING.get(cls)
    if dumper is not None:
        return dumper(value)
    if Enum in cls.__mro__:
        return value.value
    return value


# Object records ----------------------------------------------------------------
# The codec functions check the argument, with the same message.


def _object_convert(string, /):
    """Read an object record ("1,1,2,15") into a typed dict."""
    return _convert(string, ",", _from_str)


def _object_dump(some_dict, /):
    """Dump a typed object dict; the text under "31" is base64-encoded."""
    return _dump(some_dict, _OBJECT_ADDITIONAL)


def _object_collect(some_dict, /):
    """Join a dumped object dict into its record string."""
    return _collect(some_dict, ",")


# Colour records ----------------------------------------------------------------


def _parse_color(key, value):
    """Read the text value of a colour record by its key."""
    if key in _COLOR_INT:
        return int(value)
    if key in _COLOR_BOOL:
        return _bool(value)
    if key == _COLOR_FLOAT:
        return _maybefloat(value)
    if key == _COLOR_HSV:
        return HSV.from_string(value)
    if key == _COLOR_PLAYER:
        return PlayerColor(int(value))
    return value


def _color_convert(string, /):
    """Read a colour record ("1_255_5_1") into a typed dict."""
    return _convert(string, "_", _parse_color)


def _color_dump(some_dict, /):
    """Dump a typed colour dict."""
    return _dump(some_dict)


def _color_collect(some_dict, /):
    """Join a dumped colour dict into its record string."""
    return _collect(some_dict, "_")


# Byte XOR ----------------------------------------------------------------------

_DEPRECATED_INT = ("__int__ returned non-int (type %s).  The ability to return an "
                   "instance of a strict subclass of int is deprecated, and may be "
                   "removed in a future version of Python.")


def _as_c_int(key):
    """`key` as a signed 32-bit integer, converting through ``__int__``."""
    if issubclass(type(key), int):
        number = int.__int__(key)  # its own value, whatever a subclass says
    else:
        try:
            convert = type(key).__int__
        except AttributeError:
            raise TypeError("an integer is required") from None
        number = convert(key)
        if type(number) is not int:
            if not issubclass(type(number), int):
                raise TypeError("__int__ returned non-int (type %s)" % _type_name(number))
            warnings.warn(_DEPRECATED_INT % _type_name(number), DeprecationWarning,
                          stacklevel=3)
            number = int.__int__(number)
    if not -2**31 <= number < 2**31:
        raise OverflowError("Python int too large to convert to C int")
    return number


def byte_xor(stream, key):
    """XOR every byte of `stream` with the low byte of `key`; decode the
    outcome as UTF-8, dropping what does not decode."""
    key_byte = _as_c_int(key) & 0xFF
    _require_exact("stream", stream, bytes)
    if stream is None:
        raise TypeError("expected bytes, NoneType found")
    return bytes(byte ^ key_byte for byte in stream).decode("utf-8", "ignore")


# Dump-side tables: built last, since they hold functions of this module.

_OBJECT_ADDITIONAL = {_TEXT: _text_dumper}

_MAPPING = {
    bool: int,
    list: _iter_to_str,
    tuple: _iter_to_str,
    set: _iter_to_str,
    dict: _iter_to_str,
    Guidelines: Guidelines.dump,
    HSV: HSV.dump,
}
