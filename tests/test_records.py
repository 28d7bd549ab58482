"""The object and colour record entry points: reading, dumping and joining,
their failures and traceback entries, and the companion names they look up
at call time."""
import builtins
import collections
import importlib
import sys

import pytest

from support import assert_no_leaks, native_frames, raising


def companion(module, name):
    return getattr(importlib.import_module(module), name)


HSV = companion("velk.api.hsv", "HSV")
Guidelines = companion("velk.api.guidelines", "Guidelines")
Coder = companion("velk.utils.crypto.coders", "Coder")
enums = importlib.import_module("velk.api.enums")
Easing = enums.Easing
PlayerColor = enums.PlayerColor
TargetPosCoordinates = enums.TargetPosCoordinates

HSV_TEXT = "-20a0.5a1.0a1a0"


class StrSub(str):
    pass


class DictSub(dict):
    pass


def b64(text):
    return Coder.do_base64(text, encode=True)


# --- the worked example ---------------------------------------------------

def test_worked_example(velkc):
    record = velkc._object_convert("1,1,2,15,3,15.5,57,3.1.3,4,1")
    assert record == {"1": 1, "2": 15, "3": 15.5, "57": {1, 3}, "4": True}
    assert [type(v) for v in record.values()] == [int, int, float, set, bool]
    dumped = velkc._object_dump(record)
    assert dumped == {"1": 1, "2": 15, "3": 15.5, "57": "1.3", "4": 1}
    assert type(dumped["4"]) is int
    assert velkc._object_collect(dumped) == "1,1,2,15,3,15.5,57,1.3,4,1"


def test_overview_example(velkc):
    record = velkc._object_convert("1,1,4,1,57,3.1")
    assert record == {"1": 1, "4": True, "57": {1, 3}}
    assert velkc._object_collect(velkc._object_dump(record)) == "1,1,4,1,57,1.3"


# --- reading --------------------------------------------------------------

@pytest.mark.parametrize(
    "text,expected",
    [
        ("", {}),
        ("1", {}),
        (",", {"": ""}),
        ("1,5,", {"1": 5}),
        ("1,5,1,6", {"1": 6}),
        ("24,3", {"24": 3}),
        ("30,3", {"30": Easing(3)}),
        ("101,1", {"101": TargetPosCoordinates(1)}),
        ("999,a,b,c", {"999": "a", "b": "c"}),
        ("4,2", {"4": False}),
        ("18,x,104,y,01,5", {"18": "x", "104": "y", "01": "5"}),
        ("57,", {"57": set()}),
        ("43," + HSV_TEXT, {"43": HSV.from_string(HSV_TEXT)}),
        ("31," + b64("hi there"), {"31": "hi there"}),
        ("31,not base64!", {"31": "not base64!"}),
        ("1_2,3", {"1_2": "3"}),
        ("2,1.5,2,7", {"2": 7}),
    ],
)
def test_object_convert(velkc, text, expected):
    got = velkc._object_convert(text)
    assert got == expected
    assert list(got) == list(expected)
    assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]


def test_object_convert_repeated_key_keeps_first_position(velkc):
    got = velkc._object_convert("1,1,2,2.5,1,3")
    assert list(got.items()) == [("1", 3), ("2", 2.5)]


def test_object_convert_checks_every_repeated_value(velkc):
    # Each pair is converted, also one that a later pair overwrites.
    with pytest.raises(ValueError):
        velkc._object_convert("1,x,1,5")


@pytest.mark.parametrize(
    "text,expected",
    [
        ("", {}),
        ("1_255_2", {"1": 255}),
        ("1_255_", {"1": 255}),
        ("_1_255", {"": "1"}),
        ("1_1_1_2", {"1": 2}),
        ("5_1_8_0_7_0.5_7_2", {"5": True, "8": False, "7": 2}),
        ("4_1", {"4": PlayerColor(1)}),
        ("10_" + HSV_TEXT, {"10": HSV.from_string(HSV_TEXT)}),
        ("14_abc_16_d_99_e", {"14": "abc", "16": "d", "99": "e"}),
        ("7_0.5", {"7": 0.5}),
        ("7_1", {"7": 1}),
        ("13_-1_2_ 7 ", {"13": -1, "2": 7}),
        ("01_5", {"01": "5"}),
        ("1,2_3", {"1,2": "3"}),
    ],
)
def test_color_convert(velkc, text, expected):
    got = velkc._color_convert(text)
    assert got == expected
    assert list(got) == list(expected)
    assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]


def test_color_convert_player_colour_member_identity(velkc):
    for member in PlayerColor:
        assert velkc._color_convert("4_%d" % member.value)["4"] is member


# --- dumping and joining --------------------------------------------------

@pytest.mark.parametrize(
    "some_dict,expected",
    [
        ({}, {}),
        ({"4": True, "57": set()}, {"4": 1, "57": ""}),
        ({31: "abc"}, {31: "abc"}),
        ({"1": [{"1": 2}, {"3": 4}]}, {"1": "1_2|3_4"}),
        ({"31": "abc"}, {"31": b64("abc")}),
        ({"30": Easing(3), "43": HSV(5, 0.25)}, {"30": 3, "43": HSV(5, 0.25).dump()}),
        ({"g": Guidelines([(1.5, "green")])}, {"g": Guidelines([(1.5, "green")]).dump()}),
    ],
)
def test_object_dump(velkc, some_dict, expected):
    before = dict(some_dict)
    got = velkc._object_dump(some_dict)
    assert got == expected
    assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]
    assert some_dict == before


@pytest.mark.parametrize(
    "some_dict,expected",
    [
        ({}, {}),
        ({"5": True, "1": 255, "99": "x"}, {"5": 1, "1": 255, "99": "x"}),
        ({"4": PlayerColor(2), "10": HSV(1)}, {"4": 2, "10": HSV(1).dump()}),
        ({"31": "abc"}, {"31": "abc"}),
    ],
)
def test_color_dump(velkc, some_dict, expected):
    got = velkc._color_dump(some_dict)
    assert got == expected
    assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]


@pytest.mark.parametrize(
    "func,some_dict,expected",
    [
        ("_object_collect", {}, ""),
        ("_object_collect", {"1": 1, "2": 1.5}, "1,1,2,1.5"),
        ("_object_collect", {"1": None}, "1,None"),
        ("_object_collect", {1: 2}, "1,2"),
        ("_object_collect", {"999": "a,b"}, "999,a,b"),
        ("_object_collect", {"4": True}, "4,True"),
        ("_color_collect", {}, ""),
        ("_color_collect", {"1": 255, "5": 1}, "1_255_5_1"),
        ("_color_collect", {"5": True}, "5_True"),
        ("_color_collect", {1: 2}, "1_2"),
        ("_color_collect", {"10": HSV(3)}, "10_" + str(HSV(3))),
    ],
)
def test_collect(velkc, func, some_dict, expected):
    assert getattr(velkc, func)(some_dict) == expected


def test_unescaped_value_reads_back_differently(velkc):
    assert velkc._object_convert(velkc._object_collect({"999": "a,b"})) == {"999": "a"}


# --- writing back what was read -------------------------------------------

OBJECT_RECORDS = [
    "1,1,2,15,3,15.5,57,1.3,4,1",
    "1,-7,7,0,24,-3,2,-0.25,6,1.5e-07,4,0,5,1,57,5",
    "30,2,48,1,52,0,79,2,82,1,88,0,101,2",
    "43," + HSV_TEXT + ",44,0a1.0a1.0a0a0,49,360a0.0a2.5a0a1",
    "31," + b64("free text, with commas_and_underscores") + ",18,plain,104,",
    "999,a,abc,,,x",
    "",
]


@pytest.mark.parametrize("text", OBJECT_RECORDS)
def test_object_record_round_trip(velkc, text):
    record = velkc._object_convert(text)
    assert velkc._object_collect(velkc._object_dump(record)) == text


COLOR_RECORDS = [
    "1_255_2_0_3_-1_5_1_8_0",
    "4_1_7_0.5_10_" + HSV_TEXT + "_14_x_16_",
    "6_3_9_12_11_1_12_0_13_1000_15_0_17_1_18_1_7_12",
    "",
]


@pytest.mark.parametrize("text", COLOR_RECORDS)
def test_color_record_round_trip(velkc, text):
    record = velkc._color_convert(text)
    assert velkc._color_collect(velkc._color_dump(record)) == text


@pytest.mark.parametrize(
    "text,normalised",
    [
        ("1,+5,2,15.50,4,2,57,3.1.3,3,5.", "1,5,2,15.5,4,0,57,1.3,3,5.0"),
        ("1, 07 ,2,1_0,3,.5", "1,7,2,10,3,0.5"),
        ("1,1,2,2,1,3,9", "1,3,2,2"),
        ("30,+2,24,٣", "30,2,24,3"),
    ],
)
def test_object_record_normalised(velkc, text, normalised):
    record = velkc._object_convert(text)
    assert velkc._object_collect(velkc._object_dump(record)) == normalised


def test_long_records_like_model(velkc):
    import model

    keys = [str(k) for k in range(1, 110)]
    values = ["1", "0", "2", "15", "-3", "1.5"]
    pairs = [(keys[i % len(keys)], values[i % len(values)]) for i in range(20000)]
    # Leave out the pairs that the model refuses, to keep the record readable.
    usable = []
    for key, value in pairs:
        try:
            model._object_convert(key + "," + value)
        except ValueError:
            continue
        usable += [key, value]
    text = ",".join(usable)
    got = velkc._object_convert(text)
    expected = model._object_convert(text)
    assert got == expected and list(got) == list(expected)
    assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]
    dumped = velkc._object_dump(got)
    assert dumped == model._object_dump(expected)
    assert velkc._object_collect(dumped) == model._object_collect(dumped)


# --- argument errors ------------------------------------------------------

ENTRY_POINTS = [
    ("_object_convert", "string", "str"),
    ("_color_convert", "string", "str"),
    ("_object_dump", "some_dict", "dict"),
    ("_object_collect", "some_dict", "dict"),
    ("_color_dump", "some_dict", "dict"),
    ("_color_collect", "some_dict", "dict"),
]


@pytest.mark.parametrize("func,param,kind", ENTRY_POINTS)
@pytest.mark.parametrize(
    "value,type_name",
    [
        (b"1,1", "bytes"), (5, "int"), ([], "list"),
        (StrSub("1,1"), "StrSub"), (DictSub(), "DictSub"),
        (collections.OrderedDict(), "collections.OrderedDict"),
        ({}, "dict"), ("", "str"),
    ],
    ids=["bytes", "int", "list", "str-sub", "dict-sub", "ordered", "dict", "str"],
)
def test_entry_point_refuses_other_types(velkc, func, param, kind, value, type_name):
    if type_name == kind:
        getattr(velkc, func)(value)
        return
    with pytest.raises(TypeError) as excinfo:
        getattr(velkc, func)(value)
    assert str(excinfo.value) == (
        "Argument '%s' has incorrect type (expected %s, got %s)"
        % (param, kind, type_name)
    )
    assert native_frames(excinfo) == []


@pytest.mark.parametrize("func,param,kind", ENTRY_POINTS)
def test_entry_point_takes_one_argument(velkc, func, param, kind):
    f = getattr(velkc, func)
    for args in [(), ({}, {})]:
        with pytest.raises(TypeError) as excinfo:
            f(*args)
        assert str(excinfo.value) == "%s() takes exactly one argument (%d given)" % (
            func, len(args))
    with pytest.raises(TypeError) as excinfo:
        f(**{param: "" if kind == "str" else {}})
    assert str(excinfo.value) == "%s() takes no keyword arguments" % func


@pytest.mark.parametrize(
    "func,name,frames",
    [
        ("_object_convert", "split",
         ["_velkc._object_convert", "_velkc._convert", "_velkc._prepare"]),
        ("_color_convert", "split",
         ["_velkc._color_convert", "_velkc._convert", "_velkc._prepare"]),
        ("_object_dump", "items", ["_velkc._object_dump", "_velkc._dump"]),
        ("_color_dump", "items", ["_velkc._color_dump", "_velkc._dump"]),
        ("_object_collect", "items", ["_velkc._object_collect", "_velkc._collect"]),
        ("_color_collect", "items", ["_velkc._color_collect", "_velkc._collect"]),
    ],
)
def test_entry_point_given_none(velkc, func, name, frames):
    with pytest.raises(AttributeError) as excinfo:
        getattr(velkc, func)(None)
    assert str(excinfo.value) == "'NoneType' object has no attribute '%s'" % name
    assert native_frames(excinfo) == frames


# --- conversion failures and their traceback entries ----------------------

OBJ = ["_velkc._object_convert", "_velkc._convert", "_velkc._from_str"]
COL = ["_velkc._color_convert", "_velkc._convert", "_velkc._parse_color"]


@pytest.mark.parametrize(
    "func,text,exc,frames",
    [
        ("_object_convert", "1,x", ValueError, OBJ),
        ("_object_convert", "1,5,2,", ValueError, OBJ + ["_velkc._maybefloat"]),
        ("_object_convert", "2,1e5", ValueError, OBJ + ["_velkc._maybefloat"]),
        ("_object_convert", "3,1.2.3", ValueError, OBJ + ["_velkc._maybefloat"]),
        ("_object_convert", "57,1..2", ValueError, OBJ + ["_velkc._ints_from_str"]),
        ("_object_convert", "43,bad", ValueError, OBJ),
        ("_object_convert", "30,x", ValueError, OBJ),
        ("_object_convert", "30,99", ValueError, OBJ),
        ("_object_convert", "24,1.5", ValueError, OBJ),
        ("_color_convert", "1_x", ValueError, COL),
        ("_color_convert", "1__2_3", ValueError, COL),
        ("_color_convert", "1_1.5", ValueError, COL),
        ("_color_convert", "7_1e5", ValueError, COL + ["_velkc._maybefloat"]),
        ("_color_convert", "10_bad", ValueError, COL),
        ("_color_convert", "4_x", ValueError, COL),
        ("_color_convert", "4_9", ValueError, COL),
    ],
)
def test_conversion_failures(velkc, func, text, exc, frames):
    import model

    with pytest.raises(exc) as expected:
        getattr(model, func)(text)
    with pytest.raises(exc) as excinfo:
        getattr(velkc, func)(text)
    assert str(excinfo.value) == str(expected.value)
    assert native_frames(excinfo) == frames


def test_dump_failure_leaves_the_input(velkc):
    some = {"1": [1, 2], "31": 5, "4": True}
    copy = dict(some)
    with pytest.raises(TypeError) as excinfo:
        velkc._object_dump(some)
    assert str(excinfo.value) == "Expected unicode, got int"
    assert native_frames(excinfo) == [
        "_velkc._object_dump", "_velkc._dump", "_velkc.lambda",
    ]
    assert some == copy and some["1"] == [1, 2]


@pytest.mark.parametrize("func", ["_object_collect", "_color_collect"])
def test_collect_str_that_raises(velkc, func):
    error = ZeroDivisionError("no text")

    class Unprintable:
        def __str__(self):
            raise error

    with pytest.raises(ZeroDivisionError) as excinfo:
        getattr(velkc, func)({"1": 1, "2": Unprintable()})
    assert excinfo.value is error
    assert native_frames(excinfo) == ["_velkc." + func, "_velkc._collect"]


# --- companion names looked up at call time -------------------------------

class FakeHSV:
    @staticmethod
    def from_string(text):
        return ("fake-hsv", text)


def test_rebinding_hsv_takes_effect_at_next_call(velkc):
    original = velkc.HSV
    try:
        velkc.HSV = FakeHSV
        assert velkc._object_convert("43,abc") == {"43": ("fake-hsv", "abc")}
        assert velkc._color_convert("10_abc") == {"10": ("fake-hsv", "abc")}
    finally:
        velkc.HSV = original
    assert velkc._object_convert("43," + HSV_TEXT) == {"43": HSV.from_string(HSV_TEXT)}


def test_rebinding_hsv_does_not_change_dumping(velkc, monkeypatch):
    # The dump side holds the class and its dump captured at start-up.
    value = HSV(12, 0.5)
    monkeypatch.setattr(velkc, "HSV", FakeHSV)
    assert velkc._dump({"1": value}) == {"1": value.dump()}
    fake = FakeHSV()
    assert velkc._dump({"1": fake})["1"] is fake


def test_rebinding_tables_sources_does_not_change_tables(velkc, monkeypatch):
    monkeypatch.setattr(velkc, "Easing", PlayerColor)
    monkeypatch.setattr(velkc, "Guidelines", FakeHSV)
    monkeypatch.setattr(velkc, "_iter_to_str", lambda c: "rebound")
    assert velkc._object_convert("30,2") == {"30": Easing(2)}
    assert velkc._dump({"1": [1, 2]}) == {"1": "1.2"}
    guidelines = Guidelines([(2.0, "yellow")])
    assert velkc._dump({"1": guidelines}) == {"1": guidelines.dump()}


@pytest.mark.parametrize(
    "func,text,key",
    [("_object_convert", "43,abc", "43"), ("_color_convert", "10_abc", "10")],
)
def test_unbound_hsv(velkc, monkeypatch, func, text, key):
    monkeypatch.delattr(velkc, "HSV")
    with pytest.raises(NameError) as excinfo:
        getattr(velkc, func)(text)
    assert str(excinfo.value) == "name 'HSV' is not defined"
    monkeypatch.setattr(builtins, "HSV", FakeHSV, raising=False)
    assert getattr(velkc, func)(text) == {key: ("fake-hsv", "abc")}


def test_rebinding_player_colour(velkc, monkeypatch):
    seen = []

    def fake(number):
        seen.append(number)
        return ("player", number)

    monkeypatch.setattr(velkc, "PlayerColor", fake)
    assert velkc._color_convert("4_ +2 ") == {"4": ("player", 2)}
    assert seen == [2] and type(seen[0]) is int
    monkeypatch.undo()
    assert velkc._color_convert("4_2") == {"4": PlayerColor(2)}


def test_unbound_player_colour(velkc, monkeypatch):
    monkeypatch.delattr(velkc, "PlayerColor")
    assert not hasattr(builtins, "PlayerColor")
    # The name is looked up before the value is converted.
    for text in ("4_1", "4_x"):
        with pytest.raises(NameError) as excinfo:
            velkc._color_convert(text)
        assert str(excinfo.value) == "name 'PlayerColor' is not defined"
        assert native_frames(excinfo) == COL
    # Other colour keys do not need it.
    assert velkc._color_convert("1_2_5_1") == {"1": 2, "5": True}
    monkeypatch.setattr(builtins, "PlayerColor", lambda n: -n, raising=False)
    assert velkc._color_convert("4_3") == {"4": -3}


def test_rebinding_coder_takes_effect_at_next_call(velkc):
    class Upper:
        @staticmethod
        def do_base64(text, encode=True):
            return text.upper() if encode else text.lower()

    original = velkc.Coder
    try:
        velkc.Coder = Upper
        assert velkc._object_convert("31,AbC") == {"31": "abc"}
        assert velkc._object_dump({"31": "AbC"}) == {"31": "ABC"}
    finally:
        velkc.Coder = original
    assert velkc._object_dump({"31": "AbC"}) == {"31": b64("AbC")}


def test_deleting_coder_keeps_text_unchanged(velkc, monkeypatch):
    monkeypatch.delattr(velkc, "Coder")
    encoded = b64("hello")
    assert velkc._object_convert("31," + encoded) == {"31": encoded}
    text = "".join(["plain", " text"])
    assert velkc._object_dump({"31": text})["31"] is text


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_coder_base_exception_propagates(velkc, monkeypatch, exc):
    class Interrupting:
        @staticmethod
        def do_base64(text, encode=True):
            raise exc

    monkeypatch.setattr(velkc, "Coder", Interrupting)
    with pytest.raises(exc):
        velkc._object_convert("31,abc")
    with pytest.raises(exc):
        velkc._object_dump({"31": "abc"})


def test_coder_value_error_falls_back(velkc, monkeypatch):
    class Refusing:
        @staticmethod
        def do_base64(text, encode=True):
            raise ValueError("refused")

    monkeypatch.setattr(velkc, "Coder", Refusing)
    assert velkc._object_convert("31,abc") == {"31": "abc"}
    assert velkc._object_dump({"31": "abc"}) == {"31": "abc"}


def test_rebinding_enum(velkc, monkeypatch):
    class Other:
        pass

    class Derived(Other):
        value = "derived value"

    member = Easing(2)
    monkeypatch.setattr(velkc, "Enum", Other)
    assert velkc._dump({"1": member})["1"] is member
    assert velkc._dump({"1": Derived()}) == {"1": "derived value"}
    assert velkc._dump({"1": True}) == {"1": 1}
    monkeypatch.undo()
    assert velkc._dump({"1": member}) == {"1": 2}


def test_unbound_enum(velkc, monkeypatch):
    monkeypatch.delattr(velkc, "Enum")
    assert not hasattr(builtins, "Enum")
    # Only a value whose class has no dumping entry needs the name.
    assert velkc._dump({"1": True, "2": [1]}) == {"1": 1, "2": "1"}
    with pytest.raises(NameError) as excinfo:
        velkc._object_dump({"1": 5})
    assert str(excinfo.value) == "name 'Enum' is not defined"
    assert native_frames(excinfo) == [
        "_velkc._object_dump", "_velkc._dump", "_velkc._convert_type",
    ]


def test_rebinding_chain(velkc, monkeypatch):
    class FakeChain:
        @staticmethod
        def from_iterable(items):
            return ["x", "y"]

    monkeypatch.setattr(velkc, "chain", FakeChain)
    assert velkc._object_collect({"1": 2}) == "x,y"
    assert velkc._color_collect({"1": 2}) == "x_y"
    monkeypatch.delattr(velkc, "chain")
    with pytest.raises(NameError) as excinfo:
        velkc._object_collect({"1": 2})
    assert str(excinfo.value) == "name 'chain' is not defined"


# --- references -----------------------------------------------------------

def _fresh(text):
    return "".join(list(text))


SUCCESS_CALLS = [
    ("_object_convert", lambda m: m._object_convert(
        "1,1,2,1.5,4,1,57,1.2,43," + HSV_TEXT + ",30,2,31,YWJj,18,x,1,2")),
    ("_color_convert", lambda m: m._color_convert(
        "1_255_5_1_7_0.5_10_" + HSV_TEXT + "_4_1_14_x")),
    ("_object_dump", lambda m: m._object_dump(
        {"1": 1, "4": True, "57": {1, 2}, "30": Easing(2), "43": HSV(1),
         "31": "abc", "9": [{"1": [1]}], "g": Guidelines([(1.0, "green")])})),
    ("_color_dump", lambda m: m._color_dump(
        {"5": True, "4": PlayerColor(1), "10": HSV(2), "1": 255})),
    ("_object_collect", lambda m: m._object_collect({"1": 1, 2: 2.5, "3": None})),
    ("_color_collect", lambda m: m._color_collect({"1": 255, "5": 1})),
    ("_convert", lambda m: m._convert("1_2_3_4")),
    ("_convert-func", lambda m: m._convert("1,2", ",", lambda k, v: k + v)),
    ("_dump", lambda m: m._dump({"1": True}, {"1": str})),
    ("_collect", lambda m: m._collect({"1": 2}, char="-")),
    ("_iter_to_str", lambda m: m._iter_to_str([{"1": 2}, {"3": (4, 5)}])),
    ("byte_xor", lambda m: m.byte_xor(b"abc\xc3\xa9", 0)),
    ("byte_xor-kw", lambda m: m.byte_xor(key=1, stream=b"xyz")),
]


@pytest.mark.parametrize("name,call", SUCCESS_CALLS, ids=[c[0] for c in SUCCESS_CALLS])
def test_no_leaks_on_success(velkc, name, call):
    assert_no_leaks(lambda: call(velkc))


def _broken_coder_call(m):
    original = m.Coder
    m.Coder = None
    try:
        return m._object_dump({"31": "abc"}), m._object_convert("31,abc")
    finally:
        m.Coder = original


FAILURE_CALLS = [
    ("_object_convert-int", ValueError, lambda m: m._object_convert("9,1,2,x")),
    ("_object_convert-float", ValueError, lambda m: m._object_convert("1,1,2,1e5")),
    ("_object_convert-groups", ValueError, lambda m: m._object_convert("57,1..2")),
    ("_object_convert-hsv", ValueError, lambda m: m._object_convert("43,bad")),
    ("_object_convert-enum", ValueError, lambda m: m._object_convert("30,99")),
    ("_object_convert-none", AttributeError, lambda m: m._object_convert(None)),
    ("_object_convert-type", TypeError, lambda m: m._object_convert(b"")),
    ("_object_convert-count", TypeError, lambda m: m._object_convert()),
    ("_color_convert-int", ValueError, lambda m: m._color_convert("1_255_2_x")),
    ("_color_convert-player", ValueError, lambda m: m._color_convert("4_7")),
    ("_color_convert-hsv", ValueError, lambda m: m._color_convert("10_bad")),
    ("_color_convert-none", AttributeError, lambda m: m._color_convert(None)),
    ("_object_dump-text", TypeError, lambda m: m._object_dump({"1": [1], "31": 5})),
    ("_object_dump-none", AttributeError, lambda m: m._object_dump(None)),
    ("_object_dump-type", TypeError, lambda m: m._object_dump([])),
    ("_color_dump-none", AttributeError, lambda m: m._color_dump(None)),
    ("_color_dump-mixed", TypeError, lambda m: m._color_dump({"1": [{"1": 1}, 2]})),
    ("_object_collect-none", AttributeError, lambda m: m._object_collect(None)),
    ("_color_collect-type", TypeError, lambda m: m._color_collect(DictSub())),
    ("_convert", ValueError, lambda m: m._convert("1_2", "")),
    ("_convert-func", ZeroDivisionError, lambda m: m._convert("1_2", "_", lambda k, v: 1 / 0)),
    ("_convert-count", TypeError, lambda m: m._convert()),
    ("_dump", AttributeError, lambda m: m._dump({"1": 1}, None)),
    ("_dump-kw", TypeError, lambda m: m._dump({}, x=1)),
    ("_collect", AttributeError, lambda m: m._collect({}, None)),
    ("_iter_to_str", TypeError, lambda m: m._iter_to_str(5)),
    ("byte_xor", TypeError, lambda m: m.byte_xor(bytearray(), 1)),
    ("byte_xor-key", TypeError, lambda m: m.byte_xor(b"", "k")),
    ("byte_xor-count", TypeError, lambda m: m.byte_xor(b"")),
    ("byte_xor-overflow", OverflowError, lambda m: m.byte_xor(b"", 2 ** 40)),
]


@pytest.mark.parametrize(
    "name,exc,call", FAILURE_CALLS, ids=[c[0] for c in FAILURE_CALLS]
)
def test_no_leaks_on_failure(velkc, name, exc, call):
    assert_no_leaks(raising(exc, call, velkc))


def test_no_leaks_with_coder_fallback(velkc):
    assert_no_leaks(lambda: _broken_coder_call(velkc))


def test_no_leaks_with_base_exception_from_coder(velkc, monkeypatch):
    class Interrupting:
        @staticmethod
        def do_base64(text, encode=True):
            raise KeyboardInterrupt

    monkeypatch.setattr(velkc, "Coder", Interrupting)
    assert_no_leaks(raising(KeyboardInterrupt, velkc._object_convert, "31,abc"))
    assert_no_leaks(raising(KeyboardInterrupt, velkc._object_dump, {"31": "abc"}))


def test_input_refcounts_unchanged(velkc):
    text = _fresh("1,1,2,1.5,4,1,57,1.2,43," + HSV_TEXT + ",30,2,31,YWJj,18,x")
    colour = _fresh("1_255_5_1_4_1_10_" + HSV_TEXT)
    member = Easing(2)
    player = PlayerColor(1)
    hsv = HSV(3, 0.5)
    groups = {1, 2}
    records = [{"1": 2}, {"3": [4]}]
    key = _fresh("31")
    value = _fresh("some text")
    typed = {"1": 1, "4": True, "57": groups, "30": member, "43": hsv,
             key: value, "9": records}
    watched = [text, colour, member, player, hsv, groups, records, key, value,
               typed, True, False]

    def calls():
        velkc._object_convert(text)
        velkc._color_convert(colour)
        velkc._object_collect(velkc._object_dump(typed))
        velkc._color_collect(velkc._color_dump({"4": player, "10": hsv}))
        velkc._iter_to_str(records)
        velkc._dump(typed, {key: str})

    calls()  # whatever is set up on first use stays out of the count
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(500):
        calls()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


def test_input_refcounts_unchanged_on_failure(velkc):
    text = _fresh("1,1,4,1,2,x")
    value = _fresh("some text")
    inner = [1, 2]
    typed = {"1": inner, "2": value, "31": 5}
    member = Easing(2)
    watched = [text, value, inner, typed, member]

    def calls():
        for call, arg in [
            (velkc._object_convert, text),
            (velkc._object_dump, typed),
            (velkc._iter_to_str, [{"1": member}, inner]),
        ]:
            try:
                call(arg)
            except (ValueError, TypeError):
                pass
            else:
                raise AssertionError("%r did not fail" % (call,))

    calls()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(500):
        calls()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before
