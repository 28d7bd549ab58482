"""Value texts read by their key, and the base64 fallback.

The converters that pick a reading by key are internal to the module, so they
are driven here through the record entry points: a record "key,value" (or
"key_value" for colours) holds exactly one value, and the dictionary that comes
back holds its typed form."""
import builtins
import importlib
import math

import pytest

from support import native_frames

# The record vocabulary: which object key reads how.
OBJECT_INT = (
    "1 7 8 9 12 20 21 22 23 24 25 50 51 61 71 76 77 80 95 108".split()
)
OBJECT_BOOL = (
    "4 5 11 13 14 15 16 17 34 36 41 42 56 58 59 60 62 64 65 66 67 70 78 81 86 "
    "87 89 93 94 96 98 99 100 102 103 106"
).split()
OBJECT_FLOAT = (
    "2 3 6 10 28 29 32 35 45 46 47 54 63 68 69 72 73 75 84 85 90 91 92 97 105 107"
).split()
OBJECT_GROUPS = ["57"]
OBJECT_HSV = ["43", "44", "49"]
OBJECT_ENUMS = {
    "24": "ZLayer",
    "30": "Easing",
    "48": "PulseMode",
    "52": "PulseType",
    "79": "PickupItemMode",
    "82": "TouchToggleMode",
    "88": "InstantCountComparison",
    "101": "TargetPosCoordinates",
}
OBJECT_TEXT = ["31"]
OBJECT_UNTYPED = "18 19 26 27 33 37 38 39 40 53 55 74 83 104".split()

COLOR_INT = "1 2 3 6 9 11 12 13".split()
COLOR_BOOL = "5 8 15 17 18".split()
COLOR_FLOAT = ["7"]
COLOR_HSV = ["10"]
COLOR_PLAYER = ["4"]
COLOR_UNTYPED = ["14", "16", "19", "20", "31", "43", "57", "108"]

# Texts that look like keys but are not: keys match by string equality only.
NEAR_KEYS = ["01", " 1", "1 ", "+1", "1.0", "", "0", "109", "٣", "１", "abc", "\ud800"]


def object_value(velkc, key, text):
    return velkc._object_convert("%s,%s" % (key, text))[key]


def color_value(velkc, key, text):
    return velkc._color_convert("%s_%s" % (key, text))[key]


READERS = {"object": object_value, "colour": color_value}
DELIMITERS = {"object": ",", "colour": "_"}


def table_cases(tables, texts):
    """(kind, keys, text) for every table and text, leaving out the texts
    that hold the delimiter of the table's records: they cannot stand as
    one value there."""
    cases = []
    for name, (kind, keys) in tables.items():
        for text in texts:
            if DELIMITERS[kind] not in text:
                cases.append(pytest.param(kind, keys, text, id="%s-%s" % (name, short(text))))
    return cases


def short(text):
    """A readable test id for a value text."""
    text = repr(text)
    return text if len(text) <= 24 else text[:16] + "...%d" % len(text)


def host_error(func, text):
    """The message that the interpreter's own `func(text)` fails with."""
    try:
        func(text)
    except ValueError as exc:
        return str(exc)
    raise AssertionError("%s(%r) did not fail" % (func.__name__, text))


def enums_module():
    return importlib.import_module("velk.api.enums")


def test_vocabulary_is_consistent():
    # Guards the tables above: together they name every key from 1 to 108
    # once, except "24", which reads as an integer and is an enumeration key.
    object_keys = (
        OBJECT_INT + OBJECT_BOOL + OBJECT_FLOAT + OBJECT_GROUPS + OBJECT_HSV
        + [k for k in OBJECT_ENUMS if k != "24"] + OBJECT_TEXT + OBJECT_UNTYPED
    )
    assert sorted(object_keys, key=int) == [str(i) for i in range(1, 109)]
    assert (len(OBJECT_INT), len(OBJECT_BOOL), len(OBJECT_FLOAT)) == (20, 36, 26)


# --- integers -------------------------------------------------------------

INT_TEXTS = [
    "15", "+5", "015", " 7 ", "\t42\n", "1_0", "٣", "١٢", "-0", "-12",
    "00000", "9" * 19, "9" * 20, "-" + "9" * 40, "1" * 4300, "１２",
    "\u2003-4\u3000", "𝟗",
]
INT_REJECTS = [
    "15.5", "", " ", "1e5", "x", "1__0", "_1", "1_", "0x10", "1 2", "++1",
    "1\x002", "\x00", "١.٥", "inf", "9" * 4301, "\ud800", "1\udfff",
    "😀", "½", "²",
]
INT_TABLES = {
    "object": ("object", OBJECT_INT),
    "colour": ("colour", COLOR_INT),
}


@pytest.mark.parametrize("kind,keys,text", table_cases(INT_TABLES, INT_TEXTS))
def test_integer_keys_read_like_int(velkc, kind, keys, text):
    expected = int(text)
    for key in keys:
        got = READERS[kind](velkc, key, text)
        assert type(got) is int, key
        assert got == expected, key


# Every key whose text goes through int(): the integer tables, the
# enumeration keys (int() comes before the class is called) and the player
# colour.
INT_READING = {
    "int": ("object", OBJECT_INT),
    "enums": ("object", list(OBJECT_ENUMS)),
    "colour-int": ("colour", COLOR_INT),
    "player": ("colour", COLOR_PLAYER),
}


@pytest.mark.parametrize("kind,keys,text", table_cases(INT_READING, INT_REJECTS))
def test_integer_keys_reject_like_int(velkc, kind, keys, text):
    message = host_error(int, text)
    for key in keys:
        with pytest.raises(ValueError) as excinfo:
            READERS[kind](velkc, key, text)
        assert str(excinfo.value) == message, key


def test_z_layer_key_reads_as_plain_int(velkc):
    # "24" is an integer key before it is an enumeration key.
    z_layer = enums_module().ZLayer
    texts = [str(m.value) for m in z_layer] + ["123456", "-7"]
    for text in texts:
        got = velkc._object_convert("24," + text)["24"]
        assert type(got) is int and got == int(text)


# --- flags ----------------------------------------------------------------

FALSE_TEXTS = [
    "0", "", "01", " 1", "1 ", "11", "true", "True", "-1", "+1", "1.0", "١",
    "1\x00", "I", "\ud800", "１",
]
BOOL_TABLES = {"object": ("object", OBJECT_BOOL), "colour": ("colour", COLOR_BOOL)}


@pytest.mark.parametrize("kind,keys,text", table_cases(BOOL_TABLES, ["1"] + FALSE_TEXTS))
def test_flag_keys_are_true_only_for_1(velkc, kind, keys, text):
    for key in keys:
        got = READERS[kind](velkc, key, text)
        assert got is (text == "1"), key


# --- numbers that may be floats --------------------------------------------

NUMBER_TEXTS = [
    "15", "15.0", "15.50", "-0.5", ".5", "5.", " 7 ", " 1.5 ", "1_0.5",
    "٣.٥", "-0", "-0.0", "1.5e3", "1.5E-3", "+.5", "0." + "1" * 400,
    "1" * 30, "1_000", "1.7976931348623157e308", "1.5e999",
]
NUMBER_REJECTS = [
    "1e5", "", "inf", "nan", "x", "1.2.3", ".", "1._5", "in.f", "1.\x005",
    "1,5", "1_.5", "٣e٥", "0x1.8", "1.\ud800", "\ud800", "½.5", "1.5😀",
]
FLOAT_TABLES = {"object": ("object", OBJECT_FLOAT), "colour": ("colour", COLOR_FLOAT)}


def maybefloat(text):
    """How a number text reads: a "." anywhere makes it a float."""
    return float(text) if "." in text else int(text)


@pytest.mark.parametrize("kind,keys,text", table_cases(FLOAT_TABLES, NUMBER_TEXTS))
def test_number_keys_read_int_or_float(velkc, kind, keys, text):
    expected = maybefloat(text)
    for key in keys:
        got = READERS[kind](velkc, key, text)
        assert type(got) is type(expected), key
        assert got == expected, key
        if type(got) is float:
            assert math.copysign(1.0, got) == math.copysign(1.0, expected)


@pytest.mark.parametrize("kind,keys,text", table_cases(FLOAT_TABLES, NUMBER_REJECTS))
def test_number_keys_reject_like_int_or_float(velkc, kind, keys, text):
    message = host_error(float if "." in text else int, text)
    for key in keys:
        with pytest.raises(ValueError) as excinfo:
            READERS[kind](velkc, key, text)
        assert str(excinfo.value) == message, key


# --- group lists ----------------------------------------------------------

GROUP_TEXTS = [
    "", "5", "1.2.2", "-3.4", "3.1.3", " 1. 2", "+1.٣", "1_0.2", "0.-0",
    ".".join(str(i) for i in range(300, 0, -1)), "9" * 40 + ".1",
]
GROUP_REJECTS = ["1..2", "1.", ".1", ".", "a", "1.2.x", "1.5e1", "1._2"]


def groups(text):
    return set(map(int, text.split("."))) if text else set()


@pytest.mark.parametrize("text", GROUP_TEXTS, ids=short)
def test_group_list_reads_as_set_of_int(velkc, text):
    got = velkc._object_convert("57," + text)["57"]
    assert type(got) is set
    assert got == groups(text)
    assert all(type(n) is int for n in got)


@pytest.mark.parametrize("text", GROUP_REJECTS, ids=short)
def test_group_list_rejects_bad_pieces(velkc, text):
    try:
        groups(text)
    except ValueError as exc:
        message = str(exc)
    with pytest.raises(ValueError) as excinfo:
        velkc._object_convert("57," + text)
    assert str(excinfo.value) == message


def test_group_list_result_is_a_fresh_set(velkc):
    first = velkc._object_convert("57,")["57"]
    second = velkc._object_convert("57,")["57"]
    first.add(1)
    assert second == set()


# --- HSV values -----------------------------------------------------------

def hsv_class():
    return importlib.import_module("velk.api.hsv").HSV


def hsv_texts():
    """Record texts of a few HSV values, as the companion class writes them."""
    hsv = hsv_class()
    samples = []
    for args in [(), (0, 0, 0), (10, 0.5, 1.0), (-180, 1, 1), (180, 0.25, 0.75),
                 (-20, 0.5, 1.0, True, False), (7, 1e-05, 12.5, False, True)]:
        try:
            samples.append(hsv(*args).dump())
        except TypeError:
            continue
    assert samples, "no HSV value could be made"
    return samples


@pytest.mark.parametrize(
    "kind,keys", [("object", OBJECT_HSV), ("colour", COLOR_HSV)],
    ids=["object", "colour"],
)
def test_hsv_keys_read_through_from_string(velkc, kind, keys):
    hsv = hsv_class()
    for text in hsv_texts():
        expected = hsv.from_string(text)
        for key in keys:
            got = READERS[kind](velkc, key, text)
            assert type(got) is hsv
            assert got == expected


@pytest.mark.parametrize(
    "kind,keys", [("object", OBJECT_HSV), ("colour", COLOR_HSV)],
    ids=["object", "colour"],
)
@pytest.mark.parametrize("text", ["", "x", "1a2a3", "nan"])
def test_hsv_keys_pass_on_what_from_string_does(velkc, kind, keys, text):
    # Whatever the companion makes of a text, the record gets; whatever it
    # raises, the reader raises.
    hsv = hsv_class()
    try:
        expected = hsv.from_string(text)
    except Exception as exc:
        for key in keys:
            with pytest.raises(type(exc)) as excinfo:
                READERS[kind](velkc, key, text)
            assert str(excinfo.value) == str(exc)
    else:
        for key in keys:
            got = READERS[kind](velkc, key, text)
            assert type(got) is type(expected)
            assert got.dump() == expected.dump()


# --- enumerations ---------------------------------------------------------

@pytest.mark.parametrize("key", [k for k in OBJECT_ENUMS if k != "24"])
def test_enumeration_keys_read_as_members(velkc, key):
    cls = getattr(enums_module(), OBJECT_ENUMS[key])
    members = list(cls)
    assert members
    for member in members:
        got = object_value(velkc, key, str(member.value))
        assert got is cls(member.value)
    # A spelling that int() accepts selects the same member.
    first = members[0]
    assert object_value(velkc, key, " +%d " % first.value) is cls(first.value)


@pytest.mark.parametrize("key", [k for k in OBJECT_ENUMS if k != "24"])
def test_enumeration_keys_pass_on_what_the_class_raises(velkc, key):
    cls = getattr(enums_module(), OBJECT_ENUMS[key])
    missing = max(m.value for m in cls) + 1000
    with pytest.raises(Exception) as expected:
        cls(missing)
    with pytest.raises(expected.type) as excinfo:
        object_value(velkc, key, str(missing))
    assert str(excinfo.value) == str(expected.value)


def test_player_colour_key_reads_as_member(velkc):
    cls = enums_module().PlayerColor
    for member in cls:
        assert color_value(velkc, "4", str(member.value)) is cls(member.value)
    missing = max(m.value for m in cls) + 1000
    with pytest.raises(Exception) as expected:
        cls(missing)
    with pytest.raises(expected.type) as excinfo:
        color_value(velkc, "4", str(missing))
    assert str(excinfo.value) == str(expected.value)


# --- text kept as it is ---------------------------------------------------

UNTYPED_TABLES = {
    "object": ("object", OBJECT_UNTYPED + NEAR_KEYS),
    "colour": ("colour", COLOR_UNTYPED + NEAR_KEYS),
}


@pytest.mark.parametrize(
    "kind,keys,text",
    table_cases(UNTYPED_TABLES, [
        "abc", "", "1", "1.5", "٣", "x" * 1000, "a,b", "a_b", "😀", "\ud800",
        "ü\x00",
    ]),
)
def test_untyped_keys_keep_their_text(velkc, kind, keys, text):
    for key in keys:
        got = READERS[kind](velkc, key, text)
        assert type(got) is str and got == text, key


def test_colour_keys_are_not_object_keys(velkc):
    # Each record kind has its own tables: "2" is a float key of objects but
    # an integer key of colours, "4" a flag of objects but a player colour.
    with pytest.raises(ValueError):
        velkc._color_convert("2_1.5")
    assert velkc._object_convert("2,1.5") == {"2": 1.5}
    assert velkc._object_convert("4,1") == {"4": True}
    assert velkc._color_convert("4_1")["4"] is enums_module().PlayerColor(1)
    assert velkc._object_convert("10,0.5") == {"10": 0.5}
    assert velkc._object_convert("5,1") == {"5": True}
    assert velkc._color_convert("14_1") == {"14": "1"}


# --- base64 text ----------------------------------------------------------

def coder_class():
    return importlib.import_module("velk.utils.crypto.coders").Coder


def failsafe(coder, text, encode):
    """What the base64 fallback makes of `text` with a given coder."""
    try:
        result = coder.do_base64(text, encode=encode)
    except Exception:
        return text
    if result is None or type(result) is str:
        return result
    return text


@pytest.mark.parametrize("plain", ["hello", "", "a,b_c", "ünï", "1" * 500])
def test_text_key_is_decoded_and_encoded(velkc, plain):
    coder = coder_class()
    encoded = coder.do_base64(plain, encode=True)
    assert type(encoded) is str and "," not in encoded
    assert velkc._object_convert("31," + encoded) == {
        "31": failsafe(coder, encoded, False)
    }
    assert velkc._object_dump({"31": plain}) == {"31": encoded}


@pytest.mark.parametrize("text", ["!!!", "a", "abc", "====", "\x00", "é", "\ud800", "/+"])
def test_text_key_that_does_not_decode(velkc, text):
    coder = coder_class()
    got = velkc._object_convert("31," + text)["31"]
    assert got == failsafe(coder, text, False)


class SpyCoder:
    """Stands in for the companion coder; records its calls."""

    calls = []
    outcome = None

    @classmethod
    def do_base64(cls, *args, **kwargs):
        cls.calls.append((args, kwargs))
        outcome = cls.outcome
        if isinstance(outcome, BaseException) or (
            isinstance(outcome, type) and issubclass(outcome, BaseException)
        ):
            raise outcome
        if callable(outcome):
            return outcome(*args)
        return outcome


class StrSub(str):
    pass


@pytest.fixture
def spy(velkc, monkeypatch):
    SpyCoder.calls = []
    SpyCoder.outcome = None
    monkeypatch.setattr(velkc, "Coder", SpyCoder)
    return SpyCoder


def test_coder_is_called_with_text_and_encode_flag(velkc, spy):
    spy.outcome = lambda text: "<" + text + ">"
    assert velkc._object_convert("31,abc") == {"31": "<abc>"}
    assert velkc._object_dump({"31": "xyz"}) == {"31": "<xyz>"}
    (args1, kw1), (args2, kw2) = spy.calls
    assert args1 == ("abc",) and list(kw1) == ["encode"] and kw1["encode"] is False
    assert args2 == ("xyz",) and list(kw2) == ["encode"] and kw2["encode"] is True


@pytest.mark.parametrize(
    "outcome",
    [
        ValueError("bad"), TypeError, NameError, LookupError, RuntimeError,
        MemoryError, StopIteration, b"bytes", 5, ["x"], lambda t: StrSub(t),
    ],
    ids=[
        "ValueError", "TypeError", "NameError", "LookupError", "RuntimeError",
        "MemoryError", "StopIteration", "bytes", "int", "list", "str-subclass",
    ],
)
def test_coder_failure_keeps_the_input(velkc, spy, outcome):
    spy.outcome = outcome
    # Parsing: the value piece that the coder saw is what the record holds.
    got = velkc._object_convert("31,abc")["31"]
    (args, _), = spy.calls
    assert got is args[0]
    # Dumping: the very object that was dumped.
    text = "x" * 50
    assert velkc._object_dump({"31": text})["31"] is text


def test_coder_returning_none_gives_none(velkc, spy):
    spy.outcome = None
    assert velkc._object_convert("31,abc") == {"31": None}
    assert velkc._object_dump({"31": "abc"}) == {"31": None}


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_coder_base_exceptions_propagate(velkc, spy, exc):
    spy.outcome = exc
    with pytest.raises(exc) as excinfo:
        velkc._object_convert("31,abc")
    assert native_frames(excinfo) == [
        "_velkc._object_convert", "_velkc._convert", "_velkc._from_str",
        "_velkc._b64_failsafe",
    ]
    with pytest.raises(exc) as excinfo:
        velkc._object_dump({"31": "abc"})
    assert native_frames(excinfo) == [
        "_velkc._object_dump", "_velkc._dump", "_velkc.lambda",
        "_velkc._b64_failsafe",
    ]


def test_coder_without_do_base64_keeps_the_input(velkc, monkeypatch):
    monkeypatch.setattr(velkc, "Coder", object())
    text = "y" * 40
    assert velkc._object_dump({"31": text})["31"] is text
    assert velkc._object_convert("31,abc") == {"31": "abc"}


def test_unbound_coder_keeps_the_input(velkc, monkeypatch):
    monkeypatch.delattr(velkc, "Coder")
    assert not hasattr(builtins, "Coder")
    text = "z" * 40
    assert velkc._object_dump({"31": text})["31"] is text
    assert velkc._object_convert("31,abc") == {"31": "abc"}


def test_coder_found_in_builtins(velkc, monkeypatch, spy):
    monkeypatch.delattr(velkc, "Coder")
    monkeypatch.setattr(builtins, "Coder", SpyCoder, raising=False)
    spy.outcome = lambda text: text.upper()
    assert velkc._object_convert("31,abc") == {"31": "ABC"}


def test_coder_failure_leaves_no_exception_behind(velkc, spy):
    # The swallowed error must not surface later as a stray exception or as
    # the context of an unrelated one.
    spy.outcome = ValueError("swallowed")
    velkc._object_convert("31,abc")
    with pytest.raises(ValueError) as excinfo:
        velkc._object_convert("31,abc,1,x")
    assert excinfo.value.__context__ is None
    assert "swallowed" not in str(excinfo.value)
