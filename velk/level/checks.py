"""Why a written value would not read back, and the repair of the ones that can.

The native codec writes every value with ``str()``, unescaped, so some values
come back different or not at all: a text holding a delimiter splits its
record, a float in exponent form ("1e-05") reads as a malformed integer,
None and objects without a record form come back as text. Writing levels
checks each record by reading it back (see ``velk.level.level``); this
module is the slow side of that check, used only for a record that failed
it: it finds the pair at fault and says why, in a message that names the
value and, where it can, what to give instead:

    the text 'a;2,7' holds ';', which ends a record
    the str '5' reads back as the int 5; give an int

Floats are the one repair: a finite float whose shortest form has an
exponent is written in positional form ("0.00001"), which reads back to the
same float, under the keys that read numbers.

Separators are those of a level string: a record's own pair delimiter and
the ends of what holds it (an object record ends with ";"; a colour record
with "|", inside the header's "kS38" value, whose pairs are ","-delimited).
"""
import math
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional

from velk.api.hsv import HSV
from velk.level.errors import RecordError, describe
from velk.level.text import COLOURS_KEY, COLOUR_END, HEADER_DELIM, RECORD_END

if TYPE_CHECKING:
    from velk.level.level import RecordCodec

__all__ = ["HEADER", "OBJECT_SEPARATORS", "COLOUR_SEPARATORS", "HEADER_SEPARATORS", "Refusal",
           "first_separator", "positional", "with_positional_floats", "checked_value",
           "check_header"]

HEADER = "header"

_ENDS_RECORD = "ends a record"
# Each separator of a kind of text, and what it does there, for messages;
# the outermost first, since a text that holds it splits the most.
OBJECT_SEPARATORS = {
    RECORD_END: _ENDS_RECORD,
    ",": "separates the pairs of an object record",
}
COLOUR_SEPARATORS = {
    RECORD_END: _ENDS_RECORD,
    HEADER_DELIM: "separates the pairs of the header, which holds the colour records",
    COLOUR_END: "ends a colour record",
    "_": "separates the pairs of a colour record",
}
HEADER_SEPARATORS = {
    RECORD_END: _ENDS_RECORD,
    HEADER_DELIM: "separates the pairs of the header",
}

# Texts that each kind of key reads (a number, a decimal, an HSV value): the
# types they read as tell what to give under a key.
_PROBES = ("1", "0.5", HSV().dump())

# Longest shown form of a value in a message.
_SHOWN = 60


class Refusal(ValueError):
    """A key or value that would not read back as it is; the message says
    why and, where it can, what to give instead."""


def first_separator(text: str, separators: Iterable[str]) -> Optional[str]:
    """The first of `separators` (a dict, in its order) that `text` holds, or None."""
    for separator in separators:
        if separator in text:
            return separator
    return None


def positional(number: float) -> Optional[str]:
    """The text of the float `number` with a "." and no exponent, which
    ``float()`` reads back to the same float; None for inf and nan."""
    if not math.isfinite(number):
        return None
    # The shortest form's digits, placed: "1e-05" -> "0.00001", "1e+16" ->
    # "10000000000000000.0". They are exactly the float, so it reads back.
    text = format(Decimal(float.__repr__(number)), "f")
    if "." not in text:
        text += ".0"
    return text if float(text) == number else None


def with_positional_floats(record: Dict[str, Any]) -> Dict[str, Any]:
    """A copy of the dict `record` with every float whose shortest form has an
    exponent replaced by its positional text; `record` itself when it has no
    such float or is no dict."""
    if type(record) is not dict:
        return record
    fixed = record
    for key, value in list(record.items()):
        if _is_float(value) and "e" in float.__repr__(value):
            text = positional(value)
            if text is not None:
                if fixed is record:
                    fixed = dict(record)
                fixed[key] = text
    return fixed


def _is_float(value: object) -> bool:
    # By the type alone: isinstance() would ask the value's own __class__.
    return issubclass(type(value), float)


def _short(text: str) -> str:
    text = text.replace("\n", "\\n").replace("\r", "\\r")
    return text if len(text) <= _SHOWN else text[:_SHOWN - 3] + "..."


def _repr(value: object) -> str:
    try:
        return _short(repr(value))
    except Exception:
        return "<%s>" % type(value).__name__


def shown(value: object) -> str:
    """`value` as a message shows it, short and on one line: "the str 'a;2'",
    "None", "HSV(hue=0, ...)"."""
    if value is None:
        return "None"
    name = type(value).__name__
    try:
        text = _short(repr(value))
    except Exception:
        # An int too long for its text, or a repr that fails.
        return _a(name)
    # Reprs that name their type already ("HSV(...)", "Easing.EASE_IN").
    return text if text.startswith(name) else "the %s %s" % (name, text)


def _a(name: str) -> str:
    # "an int", "an HSV", "a float", "a PlayerColor".
    vowel = name[0] in "aeiouAEIOU" or name.isupper() and name[0] in "FHLMNRSX"
    return ("an " if vowel else "a ") + name


def wanted(codec: "RecordCodec", key: str, value: object) -> str:
    """What `key` reads, as the end of a message ("; give an int or a
    float"), or "" when none of the probes reads under it or `value` is of a
    type it reads already."""
    names: List[str] = []
    for probe in _PROBES:
        try:
            back = codec.read(key + codec.delim + probe)
        except Exception:
            continue
        for found in back.values():
            name = type(found).__name__
            if name not in names:
                names.append(name)
    if not names or type(value).__name__ in names:
        return ""
    return "; give " + " or ".join(map(_a, names))


_NO_FORM = "None has no record form; leave the key out"


def _key_problem(key: Any, separators: Mapping[str, str]) -> Optional[str]:
    if not issubclass(type(key), str):
        return "the key %s is %s; give a str" % (_repr(key), _a(type(key).__name__))
    separator = first_separator(key, separators)
    if separator is not None:
        return "the key %r holds %r, which %s" % (key, separator, separators[separator])
    return None


def _holding(value: object, written: str, separator: str, separators: Mapping[str, str]
             ) -> str:
    what = ("the text %s" % _repr(written) if type(value) is str and written == value
            else "%s is written %s, which" % (shown(value), _repr(written)))
    return "%s holds %r, which %s" % (what, separator, separators[separator])


def _read_back_problem(codec: "RecordCodec", key: str, value: object, text: str
                       ) -> Optional[str]:
    """Why the pair text `text` of (key, value) does not read back to an equal
    pair, with what to give instead where that is known; None when it reads
    back equal."""
    written = text[len(key) + 1:]
    try:
        back = codec.read(text)
    except Exception as exc:
        return "%s is written %s, which does not read back (%s)%s" % (
            shown(value), _repr(written), describe(exc), wanted(codec, key, value))
    try:
        if back == {key: value}:
            return None
    except Exception as exc:
        return "%s cannot be compared with what it reads back as (%s)" % (
            shown(value), describe(exc))
    found = back.get(key, written)
    if type(found) is type(value):
        return "%s reads back as %s" % (shown(value), shown(found))
    return "%s reads back as %s; give %s" % (shown(value), shown(found), _a(type(found).__name__))


def checked_value(codec: "RecordCodec", key: str, value: Any) -> Any:
    """What to write for the pair (key, value) of a record of `codec` (a
    RecordCodec) so that it reads back equal: `value` itself, or for a float
    in exponent form its positional text. Raises Refusal, saying why, for a
    pair that cannot be written so."""
    problem = _key_problem(key, codec.separators)
    if problem is not None:
        raise Refusal(problem)
    if value is None:
        raise Refusal(_NO_FORM)
    if _is_float(value) and not math.isfinite(value):
        raise Refusal("%s is not a finite number: only finite numbers can be written"
                      % shown(value))
    try:
        text = codec.write({key: value})
    except Exception as exc:
        raise Refusal("%s cannot be written (%s)%s"
                      % (shown(value), describe(exc), wanted(codec, key, value))) from exc
    written = text[len(key) + 1:]
    separator = first_separator(written, codec.separators)
    if separator is not None:
        raise Refusal(_holding(value, written, separator, codec.separators))
    problem = _read_back_problem(codec, key, value, text)
    if problem is None:
        return value
    if _is_float(value):
        fixed = positional(value)
        if fixed is not None and fixed != written and _read_back_problem(
                codec, key, value, key + codec.delim + fixed) is None:
            return fixed
    raise Refusal(problem)


def check_header(header: object) -> None:
    """Raise RecordError (kind "header", naming the key) for the first pair of
    `header` that would not read back as it is. The header's values are
    texts; the one under "kS38" is not checked, since the colour records are
    written in its place."""
    if not isinstance(header, dict):
        raise RecordError(HEADER, None, TypeError("not a dict"), writing=True,
                          reason="the header is %s; give a dict of texts" % shown(header))
    for key, value in list(header.items()):
        try:
            problem = _key_problem(key, HEADER_SEPARATORS)
            if problem is None and key != COLOURS_KEY:
                problem = _header_value_problem(value)
        except Exception as exc:
            raise RecordError(HEADER, None, exc, key=key, writing=True) from exc
        if problem is not None:
            refusal = Refusal(problem)
            raise RecordError(HEADER, None, refusal, key=key, writing=True,
                              reason=problem) from refusal


def _header_value_problem(value: Any) -> Optional[str]:
    if value is None:
        return _NO_FORM
    if not issubclass(type(value), str):
        return "%s is not a text: the header holds texts; give a str" % shown(value)
    separator = first_separator(value, HEADER_SEPARATORS)
    if separator is not None:
        return _holding(value, value, separator, HEADER_SEPARATORS)
    return None
