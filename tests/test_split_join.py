"""Splitting a record string into a dictionary (`_convert`) and joining a
dictionary into a record string (`_collect`)."""
import builtins
import itertools

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import assert_no_leaks, native_frames, raising


class Text(str):
    pass


class Recorder:
    """A converter that records its calls and returns a tagged value."""

    def __init__(self, fail_at=None):
        self.calls = []
        self.fail_at = fail_at

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if len(self.calls) == self.fail_at:
            raise LookupError("converter failed at %d" % self.fail_at)
        return "<%s=%s>" % args


# ------------------------------------------------------------------ split


@pytest.mark.parametrize(
    "string, delim, expected",
    [
        ("", "_", {}),
        ("1_2", "_", {"1": "2"}),
        ("1_2_3", "_", {"1": "2"}),
        ("1_2_", "_", {"1": "2"}),
        ("1_2_3_", "_", {"1": "2", "3": ""}),
        ("_", "_", {"": ""}),
        ("__", "_", {"": ""}),
        ("___", "_", {"": ""}),
        ("1__2", "_", {"1": ""}),
        ("1_a_1_b", "_", {"1": "b"}),
        ("1,2,3,4", ",", {"1": "2", "3": "4"}),
        ("1,2,3,4", "_", {}),
        ("1--2", "--", {"1": "2"}),
        ("1--2-3--4", "--", {"1": "2-3"}),
        ("1-2--3", "--", {"1-2": "3"}),
        ("01_5", "_", {"01": "5"}),
        (" 1 _ 2 ", "_", {" 1 ": " 2 "}),
        ("a b_c d", "_", {"a b": "c d"}),
        ("ключ_значение_é_ü", "_", {"ключ": "значение", "é": "ü"}),
        ("1☃2☃3☃4", "☃", {"1": "2", "3": "4"}),
        ("x\U0001f600y\U0001f600z\U0001f600w", "\U0001f600", {"x": "y", "z": "w"}),
        ("1\x002", "\x00", {"1": "2"}),
    ],
)
def test_convert_without_converter(velkc, string, delim, expected):
    result = velkc._convert(string, delim)
    assert type(result) is dict
    assert result == expected
    assert list(result) == list(expected)
    assert all(type(k) is str and type(v) is str for k, v in result.items())


def test_convert_default_delimiter(velkc):
    assert velkc._convert("1_2_3_4") == {"1": "2", "3": "4"}
    assert velkc._convert("1,2") == {}


def test_repeated_key_keeps_first_position_and_last_value(velkc):
    result = velkc._convert("1_a_2_b_1_c")
    assert list(result.items()) == [("1", "c"), ("2", "b")]
    converted = velkc._convert("1_a_2_b_1_c", "_", Recorder())
    assert list(converted.items()) == [("1", "<1=c>"), ("2", "<2=b>")]


def test_converter_called_once_per_pair_in_order(velkc):
    func = Recorder()
    result = velkc._convert("1_a_2_b_1_c_9", "_", func)
    assert func.calls == [(("1", "a"), {}), (("2", "b"), {}), (("1", "c"), {})]
    assert result == {"1": "<1=c>", "2": "<2=b>"}
    for args, _ in func.calls:
        assert all(type(a) is str for a in args)


def test_converter_not_called_without_pairs(velkc):
    func = Recorder()
    assert velkc._convert("", "_", func) == {}
    assert velkc._convert("lonely", "_", func) == {}
    assert func.calls == []


def test_converter_result_is_stored_as_it_is(velkc):
    marker = object()
    result = velkc._convert("1_2_3_4", "_", lambda k, v: marker if k == "1" else None)
    assert result["1"] is marker
    assert result["3"] is None


def test_none_converter_is_the_default(velkc):
    assert velkc._convert("1,2", ",", None) == velkc._convert("1,2", ",") == {"1": "2"}


@pytest.mark.parametrize("fail_at", [1, 2, 3])
def test_converter_that_raises_gives_nothing(velkc, fail_at):
    func = Recorder(fail_at=fail_at)
    with pytest.raises(LookupError) as excinfo:
        velkc._convert("1_a_2_b_3_c", "_", func)
    assert str(excinfo.value) == "converter failed at %d" % fail_at
    assert len(func.calls) == fail_at
    assert native_frames(excinfo) == ["_velkc._convert"]


def test_non_callable_converter(velkc):
    with pytest.raises(TypeError) as excinfo:
        velkc._convert("1_2", "_", 5)
    assert "'int' object is not callable" in str(excinfo.value)
    assert native_frames(excinfo) == ["_velkc._convert"]


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((None,), AttributeError, "'NoneType' object has no attribute 'split'"),
        ((None, None), AttributeError, "'NoneType' object has no attribute 'split'"),
        ((None, "_", Recorder()), AttributeError, "'NoneType' object has no attribute 'split'"),
        (("1_2", None), TypeError, "must be str, not NoneType"),
        (("", None), TypeError, "must be str, not NoneType"),
        (("1 2 3 4", None), TypeError, "must be str, not NoneType"),
        (("1_2", ""), ValueError, "empty separator"),
        (("", ""), ValueError, "empty separator"),
    ],
)
def test_convert_errors_inside_the_split(velkc, args, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        velkc._convert(*args)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc._convert", "_velkc._prepare"]


def test_convert_refuses_str_subclasses(velkc):
    for args in [(Text("1_2"),), ("1_2", Text("_"))]:
        with pytest.raises(TypeError) as excinfo:
            velkc._convert(*args)
        assert "has incorrect type (expected str, got Text)" in str(excinfo.value)


def test_convert_does_not_modify_its_input(velkc):
    string = "1_2_3_4"
    velkc._convert(string, "_", Recorder())
    assert string == "1_2_3_4"


def test_zip_is_captured_at_initialisation(velkc, monkeypatch):
    def broken_zip(*args):
        raise AssertionError("builtins.zip looked up at call time")

    monkeypatch.setattr(builtins, "zip", broken_zip)
    try:
        result = velkc._convert("1_2_3_4")
        converted = velkc._convert("1_2", "_", lambda k, v: v)
    finally:
        monkeypatch.undo()
    assert result == {"1": "2", "3": "4"}
    assert converted == {"1": "2"}


# ------------------------------------------------------------------- join


@pytest.mark.parametrize(
    "some_dict, char, expected",
    [
        ({}, "_", ""),
        ({}, "", ""),
        ({"1": "2", "3": "4"}, ",", "1,2,3,4"),
        ({"1": "2", "3": "4"}, "_", "1_2_3_4"),
        ({"1": 1, "2": 0.5, "3": None, "4": True}, ",", "1,1,2,0.5,3,None,4,True"),
        ({1: 2}, "_", "1_2"),
        ({None: 0.25, (1, 2): False}, "|", "None|0.25|(1, 2)|False"),
        ({"1": "a,b"}, ",", "1,a,b"),
        ({"1": "2", "3": "4"}, "", "1234"),
        ({"1": "2"}, "--", "1--2"),
        ({"ключ": "значение", "é": "ü"}, "☃", "ключ☃значение☃é☃ü"),
        ({Text("1"): Text("2")}, "_", "1_2"),
        ({"1": ""}, ",", "1,"),
        ({"": ""}, "_", "_"),
    ],
)
def test_collect(velkc, some_dict, char, expected):
    result = velkc._collect(some_dict, char)
    assert type(result) is str
    assert result == expected


def test_collect_default_delimiter(velkc):
    assert velkc._collect({"1": "2", "3": "4"}) == "1_2_3_4"


def test_collect_keeps_insertion_order(velkc):
    some_dict = {}
    for key in ("9", "1", "5"):
        some_dict[key] = key * 2
    assert velkc._collect(some_dict, ",") == "9,99,1,11,5,55"


def test_collect_does_not_modify_its_input(velkc):
    some_dict = {"1": True, "2": [1, 2]}
    velkc._collect(some_dict, ",")
    assert some_dict == {"1": True, "2": [1, 2]}


@pytest.mark.parametrize(
    "args, message",
    [
        (({}, None), "'NoneType' object has no attribute 'join'"),
        # The delimiter is checked before the dictionary is looked at.
        ((None, None), "'NoneType' object has no attribute 'join'"),
        (({"1": "2"}, None), "'NoneType' object has no attribute 'join'"),
        ((None,), "'NoneType' object has no attribute 'items'"),
        ((None, ","), "'NoneType' object has no attribute 'items'"),
    ],
)
def test_collect_none_arguments(velkc, args, message):
    with pytest.raises(AttributeError) as excinfo:
        velkc._collect(*args)
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc._collect"]


class BadStr:
    def __str__(self):
        raise LookupError("no text")


class WrongStr:
    def __str__(self):
        return 5


@pytest.mark.parametrize(
    "some_dict, exc_type, message",
    [
        ({"1": BadStr()}, LookupError, "no text"),
        ({BadStr(): "1"}, LookupError, "no text"),
        ({"1": "2", "3": WrongStr()}, TypeError, "__str__ returned non-string (type int)"),
    ],
)
def test_collect_str_failure(velkc, some_dict, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        velkc._collect(some_dict, ",")
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc._collect"]


def test_collect_refuses_subclasses(velkc):
    from collections import OrderedDict

    for args in [(OrderedDict(),), ({}, Text(","))]:
        with pytest.raises(TypeError) as excinfo:
            velkc._collect(*args)
        assert "has incorrect type" in str(excinfo.value)


def test_map_is_captured_at_initialisation(velkc, monkeypatch):
    def broken(*args):
        raise AssertionError("builtins.map looked up at call time")

    monkeypatch.setattr(builtins, "map", broken)
    try:
        result = velkc._collect({"1": 2, 3: 0.5}, ",")
    finally:
        monkeypatch.undo()
    assert result == "1,2,3,0.5"


# ---------------------------------------------------- rebinding of chain


class CountingChain:
    """Stands in for itertools.chain and counts the uses of from_iterable."""

    uses = 0

    @classmethod
    def from_iterable(cls, iterable):
        cls.uses += 1
        return itertools.chain.from_iterable(iterable)


class ReplacingChain:
    @staticmethod
    def from_iterable(iterable):
        return iter(["x", 1, "y"])


def test_rebinding_chain_takes_effect_at_next_call(velkc):
    original = velkc.chain
    assert original is itertools.chain
    try:
        CountingChain.uses = 0
        velkc.chain = CountingChain
        assert velkc._collect({"1": "2"}, ",") == "1,2"
        assert velkc._collect({"3": "4"}) == "3_4"
        assert CountingChain.uses == 2

        # What from_iterable returns is what gets joined.
        velkc.chain = ReplacingChain
        assert velkc._collect({"1": "2"}, ",") == "x,1,y"

        del velkc.chain
        with pytest.raises(NameError) as excinfo:
            velkc._collect({"1": "2"})
        assert str(excinfo.value) == "name 'chain' is not defined"
        assert native_frames(excinfo) == ["_velkc._collect"]

        # The name is looked up before the dictionary is used ...
        with pytest.raises(NameError):
            velkc._collect(None, ",")
        # ... and after the delimiter is checked.
        with pytest.raises(AttributeError) as excinfo:
            velkc._collect({}, None)
        assert "'join'" in str(excinfo.value)

        # Found in neither place, then in the builtins.
        builtins.chain = CountingChain
        try:
            CountingChain.uses = 0
            assert velkc._collect({"5": 6}) == "5_6"
            assert CountingChain.uses == 1
        finally:
            del builtins.chain
        with pytest.raises(NameError):
            velkc._collect({"1": "2"})

        # A module binding wins over the builtins.
        builtins.chain = ReplacingChain
        try:
            velkc.chain = original
            assert velkc._collect({"1": "2"}) == "1_2"
        finally:
            del builtins.chain
    finally:
        velkc.chain = original
    assert velkc._collect({"1": "2"}) == "1_2"


def test_chain_without_from_iterable(velkc):
    original = velkc.chain
    try:
        velkc.chain = object()
        with pytest.raises(AttributeError) as excinfo:
            velkc._collect({"1": "2"})
        assert "from_iterable" in str(excinfo.value)
        assert native_frames(excinfo) == ["_velkc._collect"]
    finally:
        velkc.chain = original


# ------------------------------------------------------------ round trip


def record_pieces(delim):
    piece = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6).filter(
        lambda s: delim not in s
    )
    return st.lists(st.tuples(piece, piece), max_size=8, unique_by=lambda kv: kv[0])


@pytest.mark.parametrize("delim", ["_", ",", "--", "é"])
def test_round_trip_examples(velkc, delim):
    for pairs in ([], [("1", "2")], [("1", ""), ("", "2")], [("a", "b"), ("c", "d"), ("e", "f")]):
        string = delim.join(itertools.chain.from_iterable(pairs))
        assert velkc._collect(velkc._convert(string, delim), delim) == string


@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_round_trip_property(velkc, data):
    delim = data.draw(st.sampled_from(["_", ",", "ab", "\u2603"]))
    pairs = data.draw(record_pieces(delim))
    string = delim.join(itertools.chain.from_iterable(pairs))
    parsed = velkc._convert(string, delim)
    assert list(parsed.items()) == pairs
    assert velkc._collect(parsed, delim) == string


# ------------------------------------------------------------------ leaks


def _failing_converter(key, value):
    raise LookupError(key)


def _later_failing_converter(key, value):
    if key == "3":
        raise LookupError(key)
    return [value]


LEAK_CASES = [
    ("convert", lambda v: v._convert("1_2_3_4_5_6_7")),
    ("convert-delim", lambda v: v._convert("1--2--3--4", "--")),
    ("convert-converter", lambda v: v._convert("1_a_2_b_1_c", "_", lambda k, x: (k, x))),
    ("convert-keywords", lambda v: v._convert(string="1,2", delim=",", func=None)),
    ("convert-none", lambda v: raising(AttributeError, v._convert, None)()),
    ("convert-none-delim", lambda v: raising(TypeError, v._convert, "1_2", None)()),
    ("convert-empty-delim", lambda v: raising(ValueError, v._convert, "1_2", "")()),
    ("convert-converter-raises", lambda v: raising(LookupError, v._convert, "1_2", "_", _failing_converter)()),
    ("convert-converter-raises-later",
     lambda v: raising(LookupError, v._convert, "1_2_3_4", "_", _later_failing_converter)()),
    ("convert-count", lambda v: raising(TypeError, v._convert)()),
    ("convert-keyword", lambda v: raising(TypeError, v._convert, "1_2", bogus=1)()),
    ("convert-type", lambda v: raising(TypeError, v._convert, Text("1_2"))()),
    ("collect", lambda v: v._collect({"1": 2, "3": 4.5, 6: None}, ",")),
    ("collect-empty", lambda v: v._collect({})),
    ("collect-none-char", lambda v: raising(AttributeError, v._collect, {"1": 2}, None)()),
    ("collect-none-dict", lambda v: raising(AttributeError, v._collect, None)()),
    ("collect-bad-str", lambda v: raising(LookupError, v._collect, {"1": BadStr()})()),
    ("collect-wrong-str", lambda v: raising(TypeError, v._collect, {"1": WrongStr()})()),
    ("collect-keywords", lambda v: v._collect(some_dict={"1": "2"}, char="")),
    ("collect-count", lambda v: raising(TypeError, v._collect, {}, "_", "_")()),
]


@pytest.mark.parametrize("case", [c[1] for c in LEAK_CASES], ids=[c[0] for c in LEAK_CASES])
def test_no_leaks(velkc, case):
    assert_no_leaks(lambda: case(velkc))


def test_no_leaks_when_chain_is_missing(velkc):
    original = velkc.chain
    try:
        del velkc.chain
        assert_no_leaks(raising(NameError, velkc._collect, {"1": "2"}))
    finally:
        velkc.chain = original
